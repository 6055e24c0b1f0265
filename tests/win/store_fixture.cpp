// The local store's configuration and record, and the stand-in main window.
#include "store_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "shell/main_thread.h"

namespace {

std::string state_path(const char* name) {
    const char* state = std::getenv("QV_STORE_STATE");
    if (state == nullptr) {
        throw std::runtime_error("QV_STORE_STATE is not set: run through with-store.sh");
    }
    return std::string("Z:") + state + "/" + name;
}

test_window* current = nullptr;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == call_message) {
        reinterpret_cast<void (*)()>(lparam)();
        return 1;
    }
    if (message == status_message) {
        if (current != nullptr) {
            const char* text = reinterpret_cast<const char*>(lparam);
            current->status_texts.push_back(text != nullptr ? text : "<null>");
            if (current->status_handler != nullptr) {
                current->status_handler(text);
            }
        }
        return 0;
    }
    if (message == WM_COMMAND && current != nullptr && current->command_handler != nullptr) {
        current->command_handler(LOWORD(wparam), HIWORD(wparam));
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

void store_configure(const std::string& json) {
    const std::string config = state_path("config.json");
    const std::string temporary = config + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << json;
    }
    if (!MoveFileExA(temporary.c_str(), config.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        throw std::runtime_error("cannot write the store's configuration");
    }
    DeleteFileA(state_path("requests.jsonl").c_str());
}

std::vector<std::string> store_requests() {
    std::ifstream file(state_path("requests.jsonl"), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    return lines;
}

test_window::test_window() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "qv test window";
    RegisterClassA(&window_class);
    window = CreateWindowExA(0, "qv test window", "", WS_OVERLAPPEDWINDOW, 0, 0, 480, 192, nullptr,
                             nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) {
        throw std::runtime_error("cannot create the test window");
    }
    main_window = window;
    instance = window_class.hInstance;
    current = this;
}

test_window::~test_window() {
    current = nullptr;
    main_window = nullptr;
    DestroyWindow(window);
}

void test_window::pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

bool test_window::pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  static_cast<DWORD>(std::min<long long>(left.count(), 50)),
                                  QS_ALLINPUT);
        pump();
    }
    return true;
}

const std::vector<std::string>& progress_texts() {
    static const std::vector<std::string> texts = {"Resolving name...", "Connecting to server...",
                                                   "Sending request...", "Recieving response..."};
    return texts;
}

bool is_one_request_progress(const std::vector<std::string>& texts) {
    const auto& all = progress_texts();
    std::size_t next = 0;
    for (const std::string& text : texts) {
        while (next < all.size() && all[next] != text) {
            ++next;
        }
        if (next == all.size()) {
            return false;
        }
        ++next;
    }
    return texts.size() >= 3 && texts.back() == all.back() && texts[texts.size() - 2] == all[2];
}
