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

// Reads the whole pattern body; false with a message on any failure or a wrong byte.
bool read_pattern(std::size_t size, bool hand_over) {
    net_context net;
    if (net_request(&net, 0, "GET", "localhost", ("/pattern/" + std::to_string(size)).c_str(),
                    nullptr, nullptr) != 0) {
        std::fprintf(stderr, "request failed: %s\n", net_format_error(net.error_code).c_str());
        return false;
    }
    std::vector<char> buffer(read_size);
    std::size_t total = 0;
    std::uint32_t count = 0;
    while (net_read(&net, buffer.data(), read_size, &count) == 0 && count != 0) {
        if (buffer[0] != static_cast<char>(total % 251)) {
            std::fprintf(stderr, "wrong byte at %zu\n", total);
            return false;
        }
        total += count;
        if (hand_over) {
            call_in_main_thread(note_progress);
        }
    }
    net_close(&net);
    if (total != size) {
        std::fprintf(stderr, "%zu of %zu bytes, error %u\n", total, size, net.error_code);
        return false;
    }
    return true;
}

void report(const char* what, std::size_t size, double seconds) {
    std::printf("%-40s %8.2f s %8.0f MB/s\n", what, seconds, size / seconds / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const std::size_t size = megabytes << 20;
    if (size == 0) {
        std::fprintf(stderr, "usage: net_bench [MEGABYTES]\n");
        return 2;
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
    const std::size_t reads = (size + read_size - 1) / read_size;
    std::printf("%zu MB in %u-byte reads (%zu reads)\n", megabytes, read_size, reads);

    bool ok = true;
    auto start = clock_type::now();
    auto read_only = [&] { ok = read_pattern(size, false) && ok; };
    run_on_worker(read_only);
    report("read loop only", size, seconds_since(start));

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
