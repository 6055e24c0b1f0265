// The download worker: measures what earlier attempts left on disk, then fetches the
// rest of the product stream part by part and cuts it into the product's files. One
// worker per attempt; whatever must happen on the window's thread it hands over with
// call_in_main_thread and waits for.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "foundation/path_win.h"
#include "foundation/util.h"
#include "resources/token_block.h"
#include "screens/download.h"
#include "screens/download_internal.h"
#include "screens/download_stream.h"
#include "shell/main_thread.h"

namespace {

constexpr const char* error_template =
    "An error has occured while downloading. The download is now paused. You may unpause the "
    "download to try again. Error message: %1!s!";

// The one read buffer: every read lands here and goes straight to its file.
char buffer[32768];

const char* after_field(const char* field) {
    return field + std::strlen(field) + 1;
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

void done() {
    withdraw_request();
    std::string().swap(product.request_path);
    call_in_main_thread(on_done);
}

// 0 when the next file is open; non-zero when the worker must stop: the product is
// complete (done has run) or an error has been reported.
int begin_next_file() {
    if (current_file_handle != INVALID_HANDLE_VALUE) {
        const BOOL closed = CloseHandle(current_file_handle);
        current_file_handle = INVALID_HANDLE_VALUE;
        if (!closed) {
            report_system_error("Failed to close file", GetLastError());
            return 1;
        }
    }
    if (past_last_file()) {
        done();
        return 1;
    }
    // Every directory on the way is made as needed, the temporary files' own included.
    std::wstring path =
        download_dir + widen(format_string("/%1!s!/%2!s!", product_identifier(), current_file));
    for (wchar_t& c : path) {
        if (c != L'/') {
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
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        report_system_error(format_string("Failed to create file %1!s!", narrow(path)).c_str(),
                            error);
        return 1;
    }
    current_file_handle = file;
    current_file_size = current_file_size_left = listed_size(current_file);
    current_file = after_field(after_field(current_file));
    return 0;
}

// Writes the bytes of one read into the files they belong to, opening each next file
// as the one before is complete. False when the worker must stop (reported, or done).
bool hand_out(const char* bytes, DWORD count, net_context& context) {
    while (true) {
        if (current_file_size_left == 0) {
            if (begin_next_file() != 0) {
                net_close(&context);
                return false;
            }
            continue;
        }
        if (count == 0) {
            return true;
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
            return false;
        }
        done_size += written;
        bytes += written;
        count -= written;
        current_file_size_left -= written;
    }
}

void request() {
    if (done_size >= product.total_size && current_file_size_left == 0) {
        // Only empty files are left: the server has nothing to send for them.
        while (begin_next_file() == 0) {
        }
        return;
    }
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
            if (current_file_handle != INVALID_HANDLE_VALUE) {
                CloseHandle(current_file_handle);
                current_file_handle = INVALID_HANDLE_VALUE;
            }
            call_in_main_thread(run_interrupted_callback);
            return;
        }
        request_context = &context;
        LeaveCriticalSection(&critical_section);

        if (net_request(&context, product.request_secure ? 1 : 0, "GET", product.request_host,
                        path.c_str(), header.empty() ? nullptr : header.c_str(), nullptr,
                        net_redirects::upgrading) != 0) {
            report_net_error(context.error_code);
            return;
        }

        const std::uint32_t expected = expected_status(at.offset);
        if (context.status_code != expected) {
            net_close(&context);
            report_error(format_string("Server did not accept the request. (Server replied with "
                                       "HTTP status: %1!d!, expected %2!d!)",
                                       static_cast<std::int32_t>(context.status_code),
                                       static_cast<std::int32_t>(expected))
                             .c_str());
            return;
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
            return;
        }
        post_status(nullptr);

        while (done_size < at.part_end) {
            std::uint32_t count = 0;
            if (net_read(&context, buffer, sizeof buffer, &count) != 0) {
                report_net_error(context.error_code);
                return;
            }
            if (count == 0) {
                net_close(&context);
                report_error("Unexpected end of stream while reading from server.");
                return;
            }
            if (!hand_out(buffer, count, context)) {
                return;
            }
            call_in_main_thread(on_progress);
        }
        withdraw_request();
        net_close(&context);
        at = {part + 1, 0, at.part_end + stream_part_size};
    }
}

// The resume scan: files already complete count as done, the first short one is
// continued, and the first missing or overlong one is (re)created with all after it.
// Sizes are read from the directory first: opening a file costs several times as much,
// and only the one file that is continued needs a handle.
DWORD WINAPI thread_proc(LPVOID) {
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
        current_file = after_field(after_field(current_file));
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
    current_file_size_left = 0;
    interrupted_callback = nullptr;
    state = 2;
    request_context = nullptr;
    const HANDLE thread = CreateThread(nullptr, 0, thread_proc, nullptr, 0, nullptr);
    system_assert_("CreateThread", thread);
    CloseHandle(thread);
}
