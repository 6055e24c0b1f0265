#!/usr/bin/env python3
"""Checks the release build of the program as a buyer receives it: small enough to
download in a moment, importing only Windows' KnownDLLs the usual way (the other DLLs
that Windows ships only late, once the program has limited DLLs to System32), stripped,
and carrying its version information and manifest. Reads the PE file itself. Then makes a buyer's
copy of it with tools/store/make-copy (and a throwaway authority from make-certs.sh):
the signed copy verifies and keeps its resources, a changed byte breaks it, and a signed
copy, a key of another certificate and a certificate that cannot sign code are refused
without a trace.

Usage: check_release.py PROGRAM.exe
Prints the size and the imported DLLs, one line per check, and a closing line in
ctest's form that tests/run-all.sh counts.
"""
import os
import struct
import subprocess
import sys
import tempfile

SIZE_LIMIT = 400_000  # bytes; 400 KB however one counts a kilobyte
# Windows' KnownDLLs (the registry's Session Manager\KnownDLLs, those of Windows 7 that
# Windows 10 and 11 still list): the loader takes them from System32 whatever lies beside
# the program, so only these may be imported the usual way; the other DLLs that Windows
# ships (WinINet, the common controls) are delay-loaded once main has limited DLLs to
# System32.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll",
              "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
              "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
              "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
              "wldap32.dll", "ws2_32.dll"}
IMPORT, RESOURCE, SECURITY = 1, 2, 4  # data directory indices
RT_VERSION, RT_MANIFEST = 16, 24


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, self.symbol_table, self.symbols, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic not in (0x10B, 0x20B):
            raise ValueError(f"unknown optional header {magic:#x}")
        self.pe32_plus = magic == 0x20B
        directories = optional + (112 if self.pe32_plus else 96)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((address, max(size, raw_size), raw))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"address {rva:#x} lies in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imported_dlls(self):
        """The DLLs of the import table: the ones the loader resolves before the program
        runs. (GNU ld leaves the delay-import directory empty: the delay-load helper finds
        its descriptors by symbol.)"""
        dlls = []
        rva, _ = self.directory(IMPORT)
        while rva:
            entry = self.data[self.offset(rva):self.offset(rva) + 20]
            if not any(entry):
                break
            dlls.append(self.text(struct.unpack_from("<I", entry, 12)[0]))
            rva += 20
        return dlls

    def resource_types(self):
        rva, _ = self.directory(RESOURCE)
        if not rva:
            return set()
        root = self.offset(rva)
        named, numbered = struct.unpack_from("<HH", self.data, root + 12)
        entries = root + 16 + 8 * named  # the numbered types follow the named ones
        return {struct.unpack_from("<I", self.data, entries + 8 * i)[0]
                for i in range(numbered)}


def copy_checks(program):
    """(passed, what) for a buyer's copy made by make-copy and for its refusals."""
    store = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "store")
    with tempfile.TemporaryDirectory(prefix="qv-copy-") as work, open(program, "rb") as f:
        before, certs, out = f.read(), f"{work}/certs", f"{work}/out"
        os.mkdir(out)
        subprocess.run([f"{store}/make-certs.sh", certs, "localhost"], check=True)

        def make(source, target, cert="signer", key="signer"):
            return subprocess.run([f"{store}/make-copy", source, f"{out}/{target}", "Signed42",
                                   "4711", "--ca", f"{certs}/ca.pem", "--cert",
                                   f"{certs}/{cert}.pem", "--key", f"{certs}/{key}.key"],
                                  capture_output=True, text=True)

        def verifies(data):
            with open(f"{work}/check.exe", "wb") as copy:
                copy.write(data)
            return subprocess.run(["osslsigncode", "verify", "-in", f"{work}/check.exe", "-CAfile",
                                   f"{certs}/ca.pem"], capture_output=True).returncode == 0

        made = make(program, "copy.exe")
        print(f"release: make-copy: {made.stderr.strip() or 'made'}")
        data = open(f"{out}/copy.exe", "rb").read() if made.returncode == 0 else b"MZ"
        signed = PE(data) if made.returncode == 0 else None
        checks = [
            (verifies(data) and b"Signed42\x004711\x00" in data,
             "a buyer's copy made by make-copy is stamped and verifies against its authority"),
            (signed and signed.directory(SECURITY)[1] > 0 and
             {RT_VERSION, RT_MANIFEST} <= signed.resource_types(),
             "the signed copy keeps its version information and manifest"),
            (signed and not verifies(data[:99999] + bytes([data[99999] ^ 1]) + data[100000:]),
             "a copy with one byte changed fails verification")]
        for what, args, says in (
                ("a signed copy", (f"{out}/copy.exe", "again.exe"), "stamped before it is signed"),
                ("a key of another certificate", (program, "b.exe", "signer", "server"),
                 "do not belong together"),
                ("a certificate that cannot sign code", (program, "c.exe", "server", "server"),
                 "cannot sign code")):
            refused = make(*args)
            checks.append((refused.returncode == 1 and says in refused.stderr and
                           os.listdir(out) == ["copy.exe"], f"make-copy refuses {what}"))
        with open(program, "rb") as f:
            checks.append((f.read() == before, "make-copy leaves the program as it was"))
        return checks


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    checks = []
    try:
        with open(path, "rb") as f:
            data = f.read()
        pe = PE(data)
        dlls = pe.imported_dlls()
        types = pe.resource_types()
    except (OSError, ValueError, struct.error) as error:
        print(f"release: cannot read {path}: {error}")
        checks.append(False)
    else:
        print(f"release: {path}")
        print(f"release: size {len(data)} bytes ({len(data) / 1024:.1f} KiB)")
        print(f"release: imports {', '.join(dlls)}")
        foreign = [dll for dll in dlls if dll.lower() not in KNOWN_DLLS]
        for passed, what in (
                (len(data) < SIZE_LIMIT, f"smaller than {SIZE_LIMIT} bytes"),
                (not foreign, "imports only KnownDLLs, which come from System32 whatever lies "
                              "beside it" + (f" (not: {', '.join(foreign)})" if foreign else "")),
                (pe.machine == 0x8664 and pe.pe32_plus, "a 64-bit x86-64 executable"),
                (pe.symbol_table == 0 and pe.symbols == 0, "stripped of symbols"),
                (RT_VERSION in types, "carries its version information"),
                (RT_MANIFEST in types, "carries its manifest")):
            print(f"release: {'passed' if passed else 'FAILED'}: {what}")
            checks.append(passed)
        try:
            copies = copy_checks(path)
        except (OSError, subprocess.SubprocessError) as error:
            copies = [(False, f"a buyer's copy could be made and checked ({error})")]
        for passed, what in copies:
            print(f"release: {'passed' if passed else 'FAILED'}: {what}")
            checks.append(bool(passed))
    failed = checks.count(False)
    percent = (len(checks) - failed) * 100 // len(checks)
    print(f"{percent}% tests passed, {failed} tests failed out of {len(checks)}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
