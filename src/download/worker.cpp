// The download worker: measures what earlier attempts left on disk, then fetches the
// rest of the product stream part by part and cuts it into the product's files. One
// worker per attempt; whatever must happen on the window's thread it hands over with
// call_in_main_thread and waits for.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "download/hash_feed_win.h"
#include "download/product.h"
#include "download/state.h"
#include "download/stream_parts.h"
#include "foundation/folder_win.h"
#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

namespace {

constexpr const char* error_template =
    "An error has occured while downloading. The download is now paused. You may unpause the "
    "download to try again. Error message: %1!s!";

// The read buffers: every read lands in one and goes straight to its file. Without
// hashes the first serves every read; with them the worker takes each in turn and hands
// what it wrote to the hashing thread, reading into a buffer again only once that thread
// is done with it.
constexpr std::size_t buffer_count = 8;
char buffers[buffer_count][32768];
std::size_t buffer_slot = 0;
std::uint64_t buffer_tickets[buffer_count] = {}; // the last piece of each to be hashed

// The process's one hashing thread: made with the first attempt that hashes, never
// ended. Only the current attempt's worker hands it pieces, and the worker drains it
// before it judges a file, reports or stops, so that whoever looks at a running hash
// next sees exactly the bytes on disk.
hash_feed<system_sync>* feed = nullptr;

DWORD WINAPI hash_thread_proc(LPVOID) {
    feed->run();
    return 0;
}

void start_hashing() {
    if (feed != nullptr || hashes.empty()) {
        return;
    }
    // Woken for half the ring: a wake per four full reads, hashed while the worker reads
    // on into the other half.
    feed = new hash_feed<system_sync>(buffer_count / 2 * sizeof buffers[0]);
    const HANDLE thread = CreateThread(nullptr, 0, hash_thread_proc, nullptr, 0, nullptr);
    system_assert_("CreateThread", thread);
    CloseHandle(thread);
}

// Every byte written so far is in its running hash once this returns.
void settle_hashes() {
    if (feed != nullptr) {
        feed->drain();
    }
}

// With hashes: the index of the list entry current_file points at, and the name and
// index of the file being written (whose bytes are hashed as they are written).
std::size_t next_index = 0;
const char* writing_name = nullptr;
std::size_t writing_index = 0;

// The worker's: whether this attempt has made (or found and judged) the product's two
// folders, so that the files' walk only makes folders below them.
bool folders_ready = false;

const char* after_field(const char* field) {
    return field + std::strlen(field) + 1;
}

// The next list entry after the one that starts with name.
const char* after_file(const char* name) {
    const char* next = after_field(after_field(name));
    return hashes.empty() ? next : after_field(next);
}

std::int64_t listed_size(const char* name) {
    std::int64_t size = 0;
    read_size(after_field(name), size); // the parse has checked every size
    return size;
}

bool past_last_file() {
    return current_file > product.specification_end;
}

// The worker's exchange stops being reachable from the window's thread before the
// worker reports: after the report a new attempt may already own the shared state.
void withdraw_request() {
    settle_hashes();
    EnterCriticalSection(&critical_section);
    request_context = nullptr;
    LeaveCriticalSection(&critical_section);
}

void report_error(const char* text) {
    withdraw_request();
    error_message = my_strdup(format_string(error_template, text).c_str());
    call_in_main_thread(on_error);
}

void report_system_error(const char* text, DWORD code) {
    report_error(system_error(text, code).c_str());
}

void report_net_error(DWORD code) {
    withdraw_request();
    last_net_error = code;
    call_in_main_thread(on_net_error);
}

void report_mismatch(const char* name) {
    report_error(format_string(mismatch_template, name).c_str());
}

std::wstring product_dir() {
    return std::wstring(download_dir) + widen(format_string("\\%1!s!", product_identifier()));
}

// False when the product's folders must not be used (or could not be made): reported.
// With create, missing ones are made with the program's own permissions.
bool folders_usable(bool create) {
    folder_problem problem;
    if (product_folders_usable(download_dir, product_dir(), create, problem)) {
        return true;
    }
    if (problem.error != 0) {
        report_system_error(problem.text.c_str(), problem.error);
    } else {
        report_error(problem.text.c_str());
    }
    return false;
}

void done() {
    withdraw_request();
    std::string().swap(product.request_path);
    call_in_main_thread(on_done);
}

// The file just completed, judged against its published hash. 0 when it matches; 2 when
// it did not and is now empty, open, to be fetched again from its first byte; 1 when the
// worker must stop (it failed for the second time in this run, reported).
int judge_written_file() {
    file_hash& entry = hashes[writing_index];
    if (running_hash_matches(entry)) {
        entry.matches = true;
        return 0;
    }
    restart_hash(entry);
    done_size -= current_file_size;
    if (!SetFilePointerEx(current_file_handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(current_file_handle)) {
        const DWORD error = GetLastError();
        CloseHandle(current_file_handle);
        current_file_handle = INVALID_HANDLE_VALUE;
        report_system_error("Failed to write to file", error);
        return 1;
    }
    if (++entry.mismatches >= 2) {
        CloseHandle(current_file_handle);
        current_file_handle = INVALID_HANDLE_VALUE;
        report_mismatch(writing_name);
        return 1;
    }
    current_file_size_left = current_file_size;
    return 2;
}

// 0 when the next file is open; non-zero when the worker must stop: the product is
// complete (done has run) or an error has been reported. With hashes also 2: the file
// just completed did not match and is open again, empty; and files that already match
// are passed over (done_size moves past them).
int begin_next_file() {
    settle_hashes();
    if (!hashes.empty() && current_file_handle != INVALID_HANDLE_VALUE) {
        if (const int judged = judge_written_file(); judged != 0) {
            return judged;
        }
    }
    if (current_file_handle != INVALID_HANDLE_VALUE) {
        const BOOL closed = CloseHandle(current_file_handle);
        current_file_handle = INVALID_HANDLE_VALUE;
        if (!closed) {
            report_system_error("Failed to close file", GetLastError());
            return 1;
        }
    }
    for (; !hashes.empty() && !past_last_file() && hashes[next_index].matches; ++next_index) {
        done_size += listed_size(current_file);
        current_file = after_file(current_file);
    }
    if (past_last_file()) {
        done();
        return 1;
    }
    if (!folders_ready) {
        if (!folders_usable(true)) {
            return 1;
        }
        folders_ready = true;
    }
    // Bytes on disk that the running hash covers are kept; any other file is made anew.
    const std::int64_t kept =
        hashes.empty() ? 0 : static_cast<std::int64_t>(hashes[next_index].running.length);
    // Every directory below the product's folder is made as needed; made inside it, each
    // takes on its permissions. The store may separate folders with either slash; read in
    // the ANSI code page first, so a trail byte 0x5C is part of its character, no slash.
    const std::wstring base = product_dir();
    std::wstring path = base + L"\\" + widen(current_file);
    for (std::size_t i = base.size() + 1; i < path.size(); ++i) {
        wchar_t& c = path[i];
        if (c != L'/' && c != L'\\') {
            continue;
        }
        c = L'\0';
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) {
                report_system_error(
                    format_string("Failed to create directory %1!s!", narrow(path.c_str())).c_str(),
                    error);
                return 1;
            }
        }
        c = L'\\';
    }
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    kept != 0 ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end{};
    if (file == INVALID_HANDLE_VALUE ||
        (kept != 0 &&
         (!SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END) || end.QuadPart != kept))) {
        // The resume scan found exactly the kept bytes; a file that changed since has
        // its bytes judged from the start at the next attempt.
        const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_FILE_INVALID;
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            restart_hash(hashes[next_index]);
        }
        report_system_error(format_string("Failed to create file %1!s!", narrow(path)).c_str(),
                            error);
        return 1;
    }
    current_file_handle = file;
    current_file_size = listed_size(current_file);
    current_file_size_left = current_file_size - kept;
    done_size += kept;
    writing_name = current_file;
    writing_index = next_index++;
    current_file = after_file(current_file);
    return 0;
}

// Writes the bytes of one read into the files they belong to, opening each next file
// as the one before is complete. 0 to read on; 1 when the worker must stop (reported,
// or done); 2 when the stream must be asked for again from done_size (with hashes: a
// file is fetched again, or files that match are passed over), the rest of this read
// being bytes nobody needs.
int hand_out(const char* bytes, DWORD count, net_context& context) {
    while (true) {
        if (current_file_size_left == 0) {
            const std::int64_t position = done_size;
            const int next = begin_next_file();
            if (next == 1) {
                net_close(&context);
                return 1;
            }
            if (next == 2 || done_size != position) {
                return 2;
            }
            continue;
        }
        if (count == 0) {
            return 0;
        }
        const DWORD size =
            static_cast<DWORD>(std::min<std::int64_t>(count, current_file_size_left));
        DWORD written = 0;
        const BOOL ok = WriteFile(current_file_handle, bytes, size, &written, nullptr);
        if (!ok || written == 0) {
            // A write that reports success without writing would never end.
            const DWORD error = ok ? ERROR_WRITE_FAULT : GetLastError();
            net_close(&context);
            report_system_error("Failed to write to file", error);
            return 1;
        }
        if (!hashes.empty()) {
            buffer_tickets[buffer_slot] = feed->hand(hashes[writing_index].running, bytes, written);
        }
        done_size += written;
        bytes += written;
        count -= written;
        current_file_size_left -= written;
    }
}

// Fetches the stream from done_size on. True when it must be asked for again from a new
// done_size; false when the worker must stop.
bool fetch() {
    net_context context;
    stream_position at = stream_position_of(done_size);
    for (std::int64_t part = at.part;; ++part) {
        const std::string header = stream_range_header(at.offset);
        const std::string path = stream_part_path(product.request_path.c_str(), part);
        // Published before the request goes out, so that a pause or stop breaks off a
        // connection attempt or a wait for headers too, not only a read.
        EnterCriticalSection(&critical_section);
        if (interrupted_callback != nullptr) {
            LeaveCriticalSection(&critical_section);
            settle_hashes();
            if (current_file_handle != INVALID_HANDLE_VALUE) {
                CloseHandle(current_file_handle);
                current_file_handle = INVALID_HANDLE_VALUE;
            }
            call_in_main_thread(run_interrupted_callback);
            return false;
        }
        request_context = &context;
        LeaveCriticalSection(&critical_section);

        if (net_request(&context, product.request_secure ? 1 : 0, "GET", product.request_host,
                        path.c_str(), header.empty() ? nullptr : header.c_str(), nullptr,
                        net_redirects::upgrading) != 0) {
            report_net_error(context.error_code);
            return false;
        }

        const std::uint32_t expected = expected_status(at.offset);
        if (context.status_code != expected) {
            net_close(&context);
            report_error(format_string("Server did not accept the request. (Server replied with "
                                       "HTTP status: %1!d!, expected %2!d!)",
                                       static_cast<std::int32_t>(context.status_code),
                                       static_cast<std::int32_t>(expected))
                             .c_str());
            return false;
        }
        if (at.offset != 0 && context.range_start != at.offset) {
            // A range from elsewhere (a misconfigured cache) would land at the wrong place.
            net_close(&context);
            report_error(format_string("Server did not accept the request. (Server replied with "
                                       "a range starting at byte %1!s!, expected %2!s!)",
                                       context.range_start < 0
                                           ? std::string("(none)")
                                           : std::to_string(context.range_start),
                                       std::to_string(at.offset))
                             .c_str());
            return false;
        }
        post_status(nullptr);

        while (done_size < at.part_end) {
            char* const buffer = buffers[buffer_slot];
            if (feed != nullptr) {
                feed->wait_for(buffer_tickets[buffer_slot]);
            }
            std::uint32_t count = 0;
            if (net_read(&context, buffer, sizeof buffers[0], &count) != 0) {
                report_net_error(context.error_code);
                return false;
            }
            if (count == 0) {
                net_close(&context);
                report_error("Unexpected end of stream while reading from server.");
                return false;
            }
            const int handed = hand_out(buffer, count, context);
            if (!hashes.empty()) {
                buffer_slot = (buffer_slot + 1) % buffer_count;
            }
            if (handed == 1) {
                return false;
            }
            call_in_main_thread(on_progress);
            if (handed == 2) {
                withdraw_request();
                net_close(&context);
                return true;
            }
        }
        withdraw_request();
        net_close(&context);
        at = {part + 1, 0, at.part_end + stream_part_size};
    }
}

void request() {
    do {
        if (done_size >= product.total_size && current_file_size_left == 0) {
            // Only empty files are left: the server has nothing to send for them.
            while (begin_next_file() != 1) {
            }
            return;
        }
    } while (fetch());
}

// The start of an attempt on a product with hashes: every file on disk is judged (each
// byte read at most once per run), then the first file that does not match is opened
// where its good bytes end, and the stream is asked for from there.
DWORD checked_start() {
    const char* failed = nullptr;
    DWORD error = 0;
    switch (check_files_on_disk(&failed, &error)) {
    case 1:
        call_in_main_thread(run_interrupted_callback);
        return 0;
    case 2:
        report_mismatch(failed);
        return 0;
    case 3:
        report_system_error(format_string("Failed to read file %1!s!", failed).c_str(), error);
        return 0;
    default:
        break;
    }
    if (begin_next_file() == 1) {
        return 0;
    }
    call_in_main_thread(on_progress);
    request();
    return 0;
}

// The resume scan: files already complete count as done, the first short one is
// continued, and the first missing or overlong one is (re)created with all after it.
// Sizes are read from the directory first: opening a file costs several times as much,
// and only the one file that is continued needs a handle.
DWORD WINAPI thread_proc(LPVOID) {
    // Nothing found in a folder someone else could have changed is trusted, not even
    // its sizes.
    if (!folders_usable(false)) {
        return 0;
    }
    if (!hashes.empty()) {
        return checked_start();
    }
    while (!past_last_file()) {
        const std::wstring path =
            download_dir +
            widen(format_string("\\%1!s!\\%2!s!", product_identifier(), current_file));
        current_file_size = listed_size(current_file);
        WIN32_FILE_ATTRIBUTE_DATA info{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            break;
        }
        std::int64_t on_disk =
            static_cast<std::int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        HANDLE file = INVALID_HANDLE_VALUE;
        if (on_disk < current_file_size) {
            file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_APPEND_DATA,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                break;
            }
            LARGE_INTEGER end{};
            if (!SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END)) {
                const DWORD error = GetLastError();
                CloseHandle(file);
                report_system_error(
                    format_string("Failed to get size of file %1!s!", narrow(path)).c_str(), error);
                return 0;
            }
            on_disk = end.QuadPart; // the size that counts is the one appended to
        }
        if (on_disk > current_file_size) {
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
            break;
        }
        current_file = after_file(current_file);
        done_size += on_disk;
        if (on_disk < current_file_size) {
            current_file_size_left = current_file_size - on_disk;
            current_file_handle = file;
            break;
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    if (past_last_file() && current_file_handle == INVALID_HANDLE_VALUE) {
        done();
        return 0;
    }
    call_in_main_thread(on_progress);
    request();
    return 0;
}

} // namespace

void start_thread() {
    done_size = 0;
    current_file = product.first_file;
    next_index = 0;
    current_file_size_left = 0;
    folders_ready = false;
    interrupted_callback = nullptr;
    state = 2;
    request_context = nullptr;
    start_hashing();
    const HANDLE thread = CreateThread(nullptr, 0, thread_proc, nullptr, 0, nullptr);
    system_assert_("CreateThread", thread);
    CloseHandle(thread);
}
