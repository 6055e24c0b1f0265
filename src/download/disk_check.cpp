// Checking the product's files against the hashes its store published: the resume
// scan's reading of the bytes already on disk (once per run of the program: what an
// earlier attempt of this run wrote or read is already in the running hashes), and the
// installer's last check through the handle that holds it while it starts.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "download/product.h"
#include "download/state.h"
#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

std::vector<file_hash>& hashes = *new std::vector<file_hash>;

namespace {

// Reads of a megabyte: a read costs tens of µs under Wine whatever its size.
constexpr DWORD read_size = 1 << 20;
// A scan that ends sooner than this shows nothing; a longer one shows its progress.
constexpr DWORD quiet_ms = 400;
constexpr DWORD progress_period_ms = 250;

char* read_buffer = nullptr; // made on first use, kept for the run
// Written by the worker, read by on_checking while the worker waits for it.
char progress_text[64];

void on_checking() {
    if (!screen_open || state != 2) {
        return;
    }
    set_status(my_strdup(progress_text), true);
    make_status_text();
}

bool interrupted() {
    EnterCriticalSection(&critical_section);
    const bool pending = interrupted_callback != nullptr;
    LeaveCriticalSection(&critical_section);
    return pending;
}

struct scan_progress {
    std::int64_t checked = 0;
    std::int64_t total = 0;
    DWORD start = GetTickCount();
    DWORD shown = 0;
};

void show(scan_progress& progress) {
    const DWORD now = GetTickCount();
    if (now - progress.start < quiet_ms ||
        (progress.shown != 0 && now - progress.shown < progress_period_ms)) {
        return;
    }
    progress.shown = now | 1;
    const std::string text = checking_text(progress.checked, progress.total);
    std::memcpy(progress_text, text.c_str(), std::min(text.size() + 1, sizeof progress_text));
    call_in_main_thread(on_checking);
}

enum class read_result { hashed, unreadable, interrupted };

// Hashes the file's bytes from where its running hash ends up to size.
read_result hash_from_disk(HANDLE file, file_hash& entry, std::int64_t size,
                           scan_progress* progress) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(entry.running.length);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        return read_result::unreadable;
    }
    if (read_buffer == nullptr) {
        read_buffer = new char[read_size];
    }
    while (static_cast<std::int64_t>(entry.running.length) < size) {
        if (progress != nullptr && interrupted()) {
            return read_result::interrupted;
        }
        const DWORD want = static_cast<DWORD>(std::min<std::int64_t>(
            read_size, size - static_cast<std::int64_t>(entry.running.length)));
        DWORD got = 0;
        if (!ReadFile(file, read_buffer, want, &got, nullptr)) {
            return read_result::unreadable;
        }
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF); // shorter than its size said a moment ago
            return read_result::unreadable;
        }
        sha256_update(entry.running, read_buffer, got);
        if (progress != nullptr) {
            progress->checked += got;
            show(*progress);
        }
    }
    return read_result::hashed;
}

std::wstring path_of(const char* name) {
    return download_dir + widen(format_string("\\%1!s!\\%2!s!", product_identifier(), name));
}

} // namespace

int check_files_on_disk(const char** failed, DWORD* error) {
    // First the sizes, which cost little, so that the progress can say how much is left.
    std::vector<const char*> names;
    std::vector<std::int64_t> listed;
    std::vector<std::int64_t> on_disk; // -1: to be made anew
    names.reserve(hashes.size());
    listed.reserve(hashes.size());
    on_disk.reserve(hashes.size());
    scan_progress progress;
    product_file_cursor cursor(product);
    product_file file;
    for (std::size_t i = 0; cursor.next(file); ++i) {
        file_hash& entry = hashes[i];
        WIN32_FILE_ATTRIBUTE_DATA info{};
        std::int64_t size = -1;
        if (GetFileAttributesExW(path_of(file.name).c_str(), GetFileExInfoStandard, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            size = static_cast<std::int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        }
        const auto hashed = static_cast<std::int64_t>(entry.running.length);
        // A file that has shrunk, grown past its listed size or changed since it matched
        // is not what this run hashed: its bytes are judged from the first again.
        if (size < hashed || size > file.size || (entry.matches && size != file.size)) {
            restart_hash(entry);
        }
        if (size > file.size) {
            size = -1;
        }
        if (size >= 0 && !entry.matches) {
            progress.total += size - static_cast<std::int64_t>(entry.running.length);
        }
        names.push_back(file.name);
        listed.push_back(file.size);
        on_disk.push_back(size);
    }
    // Then the bytes this run has not hashed yet, each read once.
    for (std::size_t i = 0; i < names.size(); ++i) {
        file_hash& entry = hashes[i];
        if (on_disk[i] < 0 || entry.matches) {
            continue;
        }
        if (static_cast<std::int64_t>(entry.running.length) < on_disk[i]) {
            const std::wstring path = path_of(names[i]);
            // Writers are let be: only an earlier copy of this program, ending, can still
            // hold a file here, and one that stopped writing.
            const HANDLE handle =
                CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
            read_result result = read_result::unreadable;
            if (handle != INVALID_HANDLE_VALUE) {
                result = hash_from_disk(handle, entry, on_disk[i], &progress);
            }
            // A file that cannot be read is neither trusted nor thrown away: the download
            // pauses, and Unpause reads on from where the hash stands.
            *error = GetLastError();
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
            if (result == read_result::interrupted) {
                return 1;
            }
            if (result == read_result::unreadable) {
                *failed = names[i];
                return 3;
            }
        }
        if (on_disk[i] == listed[i]) {
            if (running_hash_matches(entry)) {
                entry.matches = true;
                continue;
            }
            restart_hash(entry); // emptied when its turn comes
            if (++entry.mismatches >= 2) {
                const HANDLE emptied = CreateFileW(path_of(names[i]).c_str(), GENERIC_WRITE, 0,
                                                   nullptr, CREATE_ALWAYS, 0, nullptr);
                if (emptied != INVALID_HANDLE_VALUE) {
                    CloseHandle(emptied);
                }
                *failed = names[i];
                return 2;
            }
        }
    }
    return 0;
}

bool download_installer_matches(void* installer) {
    if (hashes.empty()) {
        return true;
    }
    product_file_cursor cursor(product);
    product_file file;
    for (std::size_t i = 0; cursor.next(file); ++i) {
        if (lstrcmpiA(file.name, "launch") != 0) {
            continue;
        }
        // A fresh hash of what the held handle reads, not the download's running one:
        // the bytes that start are the bytes judged.
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(installer, &size) || size.QuadPart != file.size) {
            return false;
        }
        file_hash entry = hashes[i];
        restart_hash(entry);
        return hash_from_disk(installer, entry, file.size, nullptr) == read_result::hashed &&
               running_hash_matches(entry);
    }
    // The store vouched for every file but this one: a launch file left on disk by
    // someone else is nothing it published.
    return false;
}
