// The bare bones of a download, to hold the real program's figures against: one GET over
// WinINet, read in the program's 32 KB pieces, each piece written to a file. With
// "handoff", every read is also handed to a window that the main thread owns, with one
// SendMessage round trip, as the program hands its progress over. Nothing else: no
// screen, no status texts, no abort path, so whatever the program spends beyond this is
// the program's own. With "shown" the window is also on screen, as the program's is:
// under Wine a thread with a mapped window pays the display driver's event check
// whenever it wakes.
//
// Usage: download_loop.exe HOST PATH OUTPUT_FILE [handoff|shown]
// HOST may begin with "https://": then the GET goes over TLS to port 443, as the
// program's does for a store that names https.
// Prints one JSON line: bytes, reads, seconds (from InternetOpen to the file's close), and the
// CPU seconds of the window's thread and the worker.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr UINT progress_message = WM_APP + 1;
constexpr UINT finished_message = WM_APP + 2;

struct job {
    const char* host = nullptr;
    bool secure = false;
    const char* path = nullptr;
    const char* output = nullptr;
    bool handoff = false;
    HWND window = nullptr;
    unsigned long long bytes = 0;
    unsigned long long reads = 0;
    double seconds = 0;
    double worker_cpu = 0;
    const char* failed_step = nullptr; // null on success
    DWORD error = 0;
};

// Written by the window's thread only, so that the hand-off does a little real work.
unsigned long long handed_bytes = 0;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == progress_message) {
        handed_bytes += static_cast<unsigned long long>(lparam);
        return 1;
    }
    if (message == finished_message) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

double now_seconds() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// User and kernel time of a thread, in seconds.
double thread_cpu_seconds(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
        return -1;
    }
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

bool fail(job& j, const char* step) {
    j.failed_step = step;
    j.error = GetLastError();
    return false;
}

bool download(job& j) {
    static char buffer[32768];
    const HINTERNET internet =
        InternetOpenA("download_loop", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet == nullptr) {
        return fail(j, "InternetOpen");
    }
    const HINTERNET connection = InternetConnectA(
        internet, j.host, j.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT,
        nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    const HINTERNET request =
        connection == nullptr
            ? nullptr
            : HttpOpenRequestA(connection, "GET", j.path, nullptr, nullptr, nullptr,
                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   (j.secure ? INTERNET_FLAG_SECURE : 0),
                               0);
    bool ok = request != nullptr || fail(j, "InternetConnect/HttpOpenRequest");
    ok = ok && (HttpSendRequestA(request, nullptr, 0, nullptr, 0) || fail(j, "HttpSendRequest"));
    DWORD status = 0;
    DWORD size = sizeof status;
    ok = ok && (HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                               &size, nullptr) ||
                fail(j, "HttpQueryInfo"));
    if (ok && status != 200) {
        SetLastError(status);
        ok = fail(j, "HTTP status");
    }
    const HANDLE file = ok ? CreateFileA(j.output, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                           : INVALID_HANDLE_VALUE;
    ok = ok && (file != INVALID_HANDLE_VALUE || fail(j, "CreateFile"));
    while (ok) {
        DWORD count = 0;
        if (!InternetReadFile(request, buffer, sizeof buffer, &count)) {
            ok = fail(j, "InternetReadFile");
            break;
        }
        if (count == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer, count, &written, nullptr) || written != count) {
            ok = fail(j, "WriteFile");
            break;
        }
        j.bytes += count;
        ++j.reads;
        if (j.handoff) {
            SendMessageA(j.window, progress_message, 0, static_cast<LPARAM>(count));
        }
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    InternetCloseHandle(internet); // closes the connection and the request with it
    return ok;
}

DWORD WINAPI worker(void* parameter) {
    job& j = *static_cast<job*>(parameter);
    const double start = now_seconds();
    download(j);
    j.seconds = now_seconds() - start;
    // Here, not from the main thread once this one has ended: Wine reads a thread's
    // times from the system only while it runs.
    j.worker_cpu = thread_cpu_seconds(GetCurrentThread());
    PostMessageA(j.window, finished_message, 0, 0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const bool shown = argc == 5 && std::strcmp(argv[4], "shown") == 0;
    if (argc < 4 || (argc == 5 && !shown && std::strcmp(argv[4], "handoff") != 0) || argc > 5) {
        std::fprintf(stderr, "usage: download_loop HOST PATH OUTPUT_FILE [handoff|shown]\n");
        return 2;
    }
    job j;
    j.host = argv[1];
    if (std::strncmp(j.host, "https://", 8) == 0) {
        j.host += 8;
        j.secure = true;
    }
    j.path = argv[2];
    j.output = argv[3];
    j.handoff = argc == 5;

    WNDCLASSA window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "download_loop";
    RegisterClassA(&window_class);
    // A top-level window, shown only on request, owned by this thread: the worker's hand-off has to
    // cross to this thread as the program's does.
    j.window = CreateWindowExA(0, "download_loop", "download_loop", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                               100, nullptr, nullptr, window_class.hInstance, nullptr);
    if (j.window == nullptr) {
        std::fprintf(stderr, "CreateWindowEx failed: %lu\n", GetLastError());
        return 1;
    }
    if (shown) {
        ShowWindow(j.window, SW_SHOWNORMAL);
        UpdateWindow(j.window);
    }
    const HANDLE thread = CreateThread(nullptr, 0, worker, &j, 0, nullptr);
    if (thread == nullptr) {
        std::fprintf(stderr, "CreateThread failed: %lu\n", GetLastError());
        return 1;
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    // The worker has posted its last message; it only has to return.
    WaitForSingleObject(thread, 10000);
    const double window_cpu = thread_cpu_seconds(GetCurrentThread());
    CloseHandle(thread);

    std::printf("{\"bytes\": %llu, \"reads\": %llu, \"handed_bytes\": %llu, \"seconds\": %.6f, "
                "\"window_cpu\": %.3f, \"worker_cpu\": %.3f",
                j.bytes, j.reads, handed_bytes, j.seconds, window_cpu, j.worker_cpu);
    if (j.failed_step != nullptr) {
        std::printf(", \"failed\": \"%s\", \"error\": %lu", j.failed_step, j.error);
    }
    std::printf("}\n");
    std::fflush(stdout);
    return j.failed_step == nullptr ? 0 : 1;
}
