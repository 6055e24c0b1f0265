// What bounds a download's speed: the transport's 32 KB read loop alone, the hand-over
// of each read to the window's thread alone, and the two together as the download runs
// them (a worker reads and waits in call_in_main_thread once per read). Under Wine the
// hand-over costs far more than on Windows, so the split says which one to work on.
//
// Reads GET /pattern/N from the local store on localhost port 80; see bench/README.md.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"
#include "shell/main_thread.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint32_t read_size = 32768;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == call_message) {
        return on_call_message(lparam);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// Handles this thread's messages (the hand-overs and the status texts) until the worker
// has ended.
void pump_until_ended(HANDLE worker) {
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) {
            return;
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
    }
}

template <class Body> DWORD WINAPI worker_entry(void* body) {
    (*static_cast<Body*>(body))();
    return 0;
}

template <class Body> void run_on_worker(Body& body) {
    const HANDLE worker = CreateThread(nullptr, 0, worker_entry<Body>, &body, 0, nullptr);
    if (worker == nullptr) {
        std::fprintf(stderr, "cannot start a thread: %lu\n", GetLastError());
        std::exit(1);
    }
    pump_until_ended(worker);
    CloseHandle(worker);
}

std::size_t progress = 0;
void note_progress() {
    ++progress;
}

// Another source than the store's pattern: "https://HOST" or "HOST", and a path.
const char* other_host = nullptr;
const char* other_path = nullptr;
bool other_secure = false;

// Reads the whole pattern body; false with a message on any failure or a wrong byte.
// From another source, reads its whole body, unchecked, and says how big it was.
bool read_pattern(std::size_t& size, bool hand_over) {
    net_context net;
    const std::string pattern = "/pattern/" + std::to_string(size);
    if (net_request(&net, other_secure ? 1 : 0, "GET", other_host ? other_host : "localhost",
                    other_path ? other_path : pattern.c_str(), nullptr, nullptr) != 0) {
        std::fprintf(stderr, "request failed: %s\n", net_format_error(net.error_code).c_str());
        return false;
    }
    std::vector<char> buffer(read_size);
    std::size_t total = 0;
    std::uint32_t count = 0;
    while (net_read(&net, buffer.data(), read_size, &count) == 0 && count != 0) {
        if (other_host == nullptr && buffer[0] != static_cast<char>(total % 251)) {
            std::fprintf(stderr, "wrong byte at %zu\n", total);
            return false;
        }
        total += count;
        if (hand_over) {
            call_in_main_thread(note_progress);
        }
    }
    net_close(&net);
    if (other_host != nullptr && net.error_code == 0) {
        size = total;
    }
    if (total != size) {
        std::fprintf(stderr, "%zu of %zu bytes, error %u\n", total, size, net.error_code);
        return false;
    }
    return true;
}

void report(const char* what, std::size_t size, double seconds) {
    static net_read_counts last;
    const net_read_counts now = net_counts();
    const double per = 32768.0 / static_cast<double>(size);
    std::printf("%-40s %8.2f s %8.0f MB/s  per 32 KB: %.2f reads, %.2f platform reads, %.2f "
                "pending\n",
                what, seconds, size / seconds / 1e6,
                static_cast<double>(now.reads - last.reads) * per,
                static_cast<double>(now.platform_reads - last.platform_reads) * per,
                static_cast<double>(now.pending - last.pending) * per);
    last = now;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    std::size_t size = megabytes << 20;
    if (size == 0 || argc == 3 || argc > 4) {
        std::fprintf(stderr, "usage: net_bench [MEGABYTES [HOST PATH]]\n");
        return 2;
    }
    if (argc == 4) {
        other_host = argv[2];
        other_path = argv[3];
        if (std::strncmp(other_host, "https://", 8) == 0) {
            other_host += 8;
            other_secure = true;
        }
    }

    WNDCLASSA window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "qv bench";
    RegisterClassA(&window_class);
    main_window = CreateWindowExA(0, "qv bench", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
    if (main_window == nullptr) {
        std::fprintf(stderr, "cannot create the window: %lu\n", GetLastError());
        return 1;
    }
    std::printf("%s in %u-byte reads\n", other_host ? other_path : "the pattern", read_size);

    bool ok = true;
    auto start = clock_type::now();
    auto read_only = [&] { ok = read_pattern(size, false) && ok; };
    run_on_worker(read_only);
    report("read loop only", size, seconds_since(start));
    const std::size_t reads = (size + read_size - 1) / read_size;

    progress = 0;
    start = clock_type::now();
    auto hand_overs = [&] {
        for (std::size_t i = 0; i < reads; ++i) {
            call_in_main_thread(note_progress);
        }
    };
    run_on_worker(hand_overs);
    const double handing = seconds_since(start);
    std::printf("%-40s %8.2f s %8.1f us each\n", "hand-overs to the window's thread only", handing,
                handing / static_cast<double>(reads) * 1e6);

    progress = 0;
    start = clock_type::now();
    auto read_and_hand_over = [&] { ok = read_pattern(size, true) && ok; };
    run_on_worker(read_and_hand_over);
    report("read loop with a hand-over per read", size, seconds_since(start));

    DestroyWindow(main_window);
    return ok ? 0 : 1;
}
