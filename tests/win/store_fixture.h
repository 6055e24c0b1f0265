// What the Windows tests of the network modules share: the local store that
// with-store.sh starts (its configuration and its record of requests), and a hidden
// window on the test's thread that stands in for the main window, so that status
// messages and main-thread calls reach the test.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Replaces the store's configuration (JSON text) for the following requests.
void store_configure(const std::string& json);
// The requests the store received since the last store_configure, one JSON line each.
std::vector<std::string> store_requests();

// A hidden window on the calling thread that runs main-thread calls and records
// status texts; it becomes main_window while it lives.
class test_window {
  public:
    test_window();
    ~test_window();
    test_window(const test_window&) = delete;
    test_window& operator=(const test_window&) = delete;

    // Handles messages until done() holds or the time is up; returns done().
    bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Handles the messages already queued.
    void pump();

    std::vector<std::string> status_texts;
    // What the window procedure passes on, as the shell's would; null for nothing.
    void (*status_handler)(const char* text) = nullptr;
    void (*command_handler)(unsigned id, unsigned code) = nullptr;

    HWND handle() const { return window; }

  private:
    HWND window = nullptr;
};

// The four progress texts of one request, in order.
const std::vector<std::string>& progress_texts();
// True when texts are the progress texts of one request in order, as far as the
// platform reports the steps: a name it has resolved before is not resolved again.
bool is_one_request_progress(const std::vector<std::string>& texts);
