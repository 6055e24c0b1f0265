// Checking the product's files against the hashes its store published: the resume
// scan's reading of the bytes already on disk (once per run of the program: what an
// earlier attempt of this run wrote or read is already in the running hashes), and the
// installer's last check through the handle that holds it while it starts.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "download/product.h"
#include "download/state.h"
#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

std::vector<file_hash>& hashes = *new std::vector<file_hash>;

namespace {

// Reads of a megabyte: a read costs tens of µs under Wine whatever its size.
constexpr DWORD disk_read_size = 1 << 20;
// A scan that ends sooner than this shows nothing; a longer one shows its progress.
constexpr DWORD quiet_ms = 400;
constexpr DWORD progress_period_ms = 250;

char* read_buffer = nullptr; // the installer's check's, made on first use, kept for the run
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

enum class read_result { hashed, unreadable, interrupted };

// One file's bytes still to hash, and how that went.
struct scan_job {
    std::size_t index;
    std::int64_t size;                             // on disk: hashed up to here
    read_result result = read_result::interrupted; // until a thread has read it
    DWORD error = 0;
};

// The resume scan hashes several files at once, one per processor, each thread taking
// the next file to read (the largest first, so that none is left alone at the end): a
// file's hash is one sequence, but files are independent, and while one thread waits
// for a read another hashes. Only the worker shows progress and hands things over.
struct scan_state {
    std::vector<scan_job> jobs;
    const std::vector<const char*>* names = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<std::int64_t> checked{0};
    std::atomic<bool> stopping{false}; // a pause or stop is pending: every thread ends
    std::int64_t total = 0;
    DWORD start = GetTickCount();
    DWORD shown = 0; // the worker's
};

void show(scan_state& scan) {
    const DWORD now = GetTickCount();
    if (now - scan.start < quiet_ms || (scan.shown != 0 && now - scan.shown < progress_period_ms)) {
        return;
    }
    scan.shown = now | 1;
    const std::string text = checking_text(scan.checked.load(), scan.total);
    std::memcpy(progress_text, text.c_str(), std::min(text.size() + 1, sizeof progress_text));
    call_in_main_thread(on_checking);
}

// Hashes the file's bytes from where its running hash ends up to size, reading into
// buffer. With scan, a pending pause or stop ends it, and the worker (shows) reports
// progress.
read_result hash_from_disk(HANDLE file, file_hash& entry, std::int64_t size, char* buffer,
                           scan_state* scan, bool shows) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(entry.running.length);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        return read_result::unreadable;
    }
    while (static_cast<std::int64_t>(entry.running.length) < size) {
        if (scan != nullptr && (scan->stopping.load() || interrupted())) {
            scan->stopping = true;
            return read_result::interrupted;
        }
        const DWORD want = static_cast<DWORD>(std::min<std::int64_t>(
            disk_read_size, size - static_cast<std::int64_t>(entry.running.length)));
        DWORD got = 0;
        if (!ReadFile(file, buffer, want, &got, nullptr)) {
            return read_result::unreadable;
        }
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF); // shorter than its size said a moment ago
            return read_result::unreadable;
        }
        sha256_update(entry.running, buffer, got);
        if (scan != nullptr) {
            scan->checked += got;
            if (shows) {
                show(*scan);
            }
        }
    }
    return read_result::hashed;
}

std::wstring path_of(const char* name) {
    return download_dir + widen(format_string("\\%1!s!\\%2!s!", product_identifier(), name));
}

// Reads files until none is left (or a pause or stop is pending).
void scan_files(scan_state& scan, char* buffer, bool shows) {
    while (!scan.stopping.load()) {
        const std::size_t next = scan.next++;
        if (next >= scan.jobs.size()) {
            return;
        }
        scan_job& job = scan.jobs[next];
        // Writers are let be: only an earlier copy of this program, ending, can still hold
        // a file here, and one that stopped writing.
        const HANDLE handle = CreateFileW(path_of((*scan.names)[job.index]).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        read_result result = read_result::unreadable;
        if (handle != INVALID_HANDLE_VALUE) {
            result = hash_from_disk(handle, hashes[job.index], job.size, buffer, &scan, shows);
        }
        job.error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
        job.result = result;
    }
}

struct helper {
    scan_state* scan;
    std::unique_ptr<char[]> buffer;
    HANDLE thread = nullptr;
};

DWORD WINAPI helper_proc(LPVOID parameter) {
    helper& self = *static_cast<helper*>(parameter);
    scan_files(*self.scan, self.buffer.get(), false);
    return 0;
}

// Hashes every job's file, the worker's thread and one more per further processor
// together; returns once no thread reads any more.
void run_scan(scan_state& scan) {
    if (scan.jobs.empty()) {
        return;
    }
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::size_t threads = std::clamp<std::size_t>(system.dwNumberOfProcessors, 1, 8);
    std::vector<helper> helpers(std::min(threads, scan.jobs.size()) - 1);
    std::vector<HANDLE> running;
    for (helper& h : helpers) {
        h.scan = &scan;
        h.buffer.reset(new char[disk_read_size]);
        // Without another thread the worker reads alone.
        h.thread = CreateThread(nullptr, 0, helper_proc, &h, 0, nullptr);
        if (h.thread != nullptr) {
            running.push_back(h.thread);
        }
    }
    const std::unique_ptr<char[]> buffer(new char[disk_read_size]);
    scan_files(scan, buffer.get(), true);
    // The worker's own files are done: it still shows the others' progress, and passes a
    // pause or stop on to them.
    while (!running.empty() &&
           WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), TRUE,
                                  progress_period_ms) == WAIT_TIMEOUT) {
        if (interrupted()) {
            scan.stopping = true;
        }
        show(scan);
    }
    if (!running.empty()) {
        // Nothing of scan is used until every thread has ended, whatever the wait said.
        WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), TRUE, INFINITE);
    }
    for (const HANDLE thread : running) {
        CloseHandle(thread);
    }
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
    scan_state scan;
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
            scan.total += size - static_cast<std::int64_t>(entry.running.length);
        }
        names.push_back(file.name);
        listed.push_back(file.size);
        on_disk.push_back(size);
    }
    // Then the bytes this run has not hashed yet, each read once.
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (on_disk[i] >= 0 && !hashes[i].matches &&
            static_cast<std::int64_t>(hashes[i].running.length) < on_disk[i]) {
            scan.jobs.push_back({i, on_disk[i]});
        }
    }
    std::stable_sort(scan.jobs.begin(), scan.jobs.end(), [](const scan_job& a, const scan_job& b) {
        return a.size - static_cast<std::int64_t>(hashes[a.index].running.length) >
               b.size - static_cast<std::int64_t>(hashes[b.index].running.length);
    });
    scan.names = &names;
    run_scan(scan);
    std::vector<const scan_job*> job_of(names.size(), nullptr);
    for (const scan_job& job : scan.jobs) {
        job_of[job.index] = &job;
    }
    // Judged in the list's order, as if read one after another.
    for (std::size_t i = 0; i < names.size(); ++i) {
        file_hash& entry = hashes[i];
        if (on_disk[i] < 0 || entry.matches) {
            continue;
        }
        if (const scan_job* job = job_of[i]; job != nullptr) {
            if (job->result == read_result::interrupted) {
                return 1;
            }
            // A file that cannot be read is neither trusted nor thrown away: the download
            // pauses, and Unpause reads on from where the hash stands.
            if (job->result == read_result::unreadable) {
                *error = job->error;
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
        if (read_buffer == nullptr) {
            read_buffer = new char[disk_read_size];
        }
        return hash_from_disk(installer, entry, file.size, read_buffer, nullptr, false) ==
                   read_result::hashed &&
               running_hash_matches(entry);
    }
    // The store vouched for every file but this one: a launch file left on disk by
    // someone else is nothing it published.
    return false;
}
