// Main-thread calls and timers on a real window under Wine: a worker's function runs on
// the window's thread while the worker waits, and timers that workers start and stop go
// through the window's thread, since only the owner of a window may set its timers.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "foundation/util.h"
#include "notice_guard.h"
#include "shell/main_thread.h"

namespace {

LRESULT CALLBACK test_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == call_message) {
        return on_call_message(lparam);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// Runs messages of this thread until done() holds or the limit passes.
bool pump_until(const std::function<bool()>& done, ULONGLONG limit_ms) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > limit_ms) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
    }
    return true;
}

DWORD WINAPI worker_entry(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return 0;
}

// Runs body on a worker thread while this (the window's) thread handles messages. A
// worker stuck in a sent message would keep the process alive forever, so a worker
// that overruns ends the test program with a failure status.
void run_worker(std::function<void()> body) {
    HANDLE thread = CreateThread(nullptr, 0, worker_entry, &body, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const bool ended =
        pump_until([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 10000);
    if (!ended) {
        std::fprintf(stderr, "worker thread did not finish within 10 s\n");
        std::fflush(stderr);
        ExitProcess(3);
    }
    CloseHandle(thread);
}

std::atomic<int> ticks{0};
std::atomic<int> ticks_off_thread{0};
DWORD window_thread = 0;

void CALLBACK count_tick(HWND, UINT, UINT_PTR, DWORD) {
    if (GetCurrentThreadId() != window_thread) {
        ++ticks_off_thread;
    }
    ++ticks;
}

std::atomic<int> other_ticks{0};
void CALLBACK count_other_tick(HWND, UINT, UINT_PTR, DWORD) {
    ++other_ticks;
}

// A fatal check ends the program with status 0, which would pass for success here.
int fail_on_notice(const char* text, notice_kind) {
    std::fprintf(stderr, "unexpected notice: %s\n", text);
    std::fflush(stderr);
    ExitProcess(4);
}

class MainThread : public ::testing::Test {
  protected:
    void SetUp() override {
        set_notice_hook(fail_on_notice);
        static const ATOM registered = [] {
            WNDCLASSA window_class{};
            window_class.lpfnWndProc = test_window_proc;
            window_class.hInstance = GetModuleHandleA(nullptr);
            window_class.lpszClassName = "MainThreadTest";
            return RegisterClassA(&window_class);
        }();
        ASSERT_NE(registered, 0);
        main_window = CreateWindowExA(0, "MainThreadTest", "", WS_OVERLAPPED, 0, 0, 50, 50, nullptr,
                                      nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(main_window, nullptr);
        window_thread = GetCurrentThreadId();
        ticks = 0;
        ticks_off_thread = 0;
        other_ticks = 0;
    }
    void TearDown() override {
        DestroyWindow(main_window);
        main_window = nullptr;
        set_notice_hook(guard_notice);
    }
};

DWORD called_on = 0;
DWORD send_state = ISMEX_NOSEND;
std::atomic<bool> called{false};
void record_call() {
    called_on = GetCurrentThreadId();
    // Whether the caller is blocked until this returns, as the system sees it.
    send_state = InSendMessageEx(nullptr);
    called = true;
}

bool timers_set_on_window_thread() {
    return last_main_timer_threads().set_timer == window_thread;
}
bool timers_killed_on_window_thread() {
    return last_main_timer_threads().kill_timer == window_thread;
}

} // namespace

TEST_F(MainThread, WorkerCallRunsOnTheWindowThreadAndTheWorkerWaitsForIt) {
    called = false;
    bool seen_by_worker = false;
    run_worker([&] {
        call_in_main_thread(record_call);
        seen_by_worker = called;
    });
    EXPECT_TRUE(seen_by_worker);
    EXPECT_EQ(called_on, window_thread);
    EXPECT_EQ(send_state & (ISMEX_SEND | ISMEX_REPLIED), static_cast<DWORD>(ISMEX_SEND));
}

TEST_F(MainThread, TimerStartedByAWorkerTicksOnTheWindowThreadUntilAWorkerStopsIt) {
    run_worker([] { set_main_timer(1, 10, count_tick); });
    EXPECT_TRUE(timers_set_on_window_thread());
    ASSERT_TRUE(pump_until([] { return ticks >= 3; }, 5000)) << "ticks: " << ticks;
    EXPECT_EQ(ticks_off_thread, 0);

    run_worker([] { kill_main_timer(1); });
    EXPECT_TRUE(timers_killed_on_window_thread());
    EXPECT_FALSE(KillTimer(main_window, 1)); // already stopped
}

TEST_F(MainThread, TheTimerBelongsToTheWindow) {
    run_worker([] { set_main_timer(2, 5000, count_tick); });
    EXPECT_TRUE(timers_set_on_window_thread());
    // Only a timer of main_window can be stopped through main_window.
    EXPECT_TRUE(KillTimer(main_window, 2));
}

TEST_F(MainThread, RestartingATimerFromAWorkerChangesItsPeriod) {
    run_worker([] { set_main_timer(1, 5000, count_tick); });
    run_worker([] { set_main_timer(1, 10, count_tick); });
    EXPECT_TRUE(timers_set_on_window_thread());
    EXPECT_TRUE(pump_until([] { return ticks >= 3; }, 3000)) << "ticks: " << ticks;
    kill_main_timer(1);
}

TEST_F(MainThread, OnTheWindowThreadTimersActAtOnce) {
    set_main_timer(1, 10, count_tick);
    EXPECT_TRUE(timers_set_on_window_thread());
    ASSERT_TRUE(pump_until([] { return ticks >= 2; }, 5000));
    kill_main_timer(1);
    EXPECT_TRUE(timers_killed_on_window_thread());
    EXPECT_FALSE(KillTimer(main_window, 1)); // already stopped
}

TEST_F(MainThread, TwoWorkersKeepTheirRequestsApart) {
    HANDLE threads[2];
    std::function<void()> bodies[2] = {[] { set_main_timer(1, 10, count_tick); },
                                       [] { set_main_timer(2, 10, count_other_tick); }};
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, worker_entry, &bodies[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    const bool ended = pump_until(
        [&] { return WaitForMultipleObjects(2, threads, TRUE, 0) == WAIT_OBJECT_0; }, 10000);
    if (!ended) {
        std::fprintf(stderr, "worker threads did not finish within 10 s\n");
        std::fflush(stderr);
        ExitProcess(3);
    }
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    EXPECT_TRUE(timers_set_on_window_thread());
    EXPECT_TRUE(pump_until([] { return ticks >= 2 && other_ticks >= 2; }, 5000))
        << ticks << " and " << other_ticks;
    kill_main_timer(1);
    kill_main_timer(2);
}
