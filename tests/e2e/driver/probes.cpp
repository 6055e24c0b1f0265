// Hooks into the program under test. The probe library answers by posting to a
// message-only window that it finds by its title, so every answer arrives in this
// thread's queue and is collected while the driver waits (always with a deadline).
#include "probes.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "commands.h"

namespace {

std::map<HWND, font_info> font_answers;
std::map<HWND, int> show_answers;
std::vector<HHOOK> show_hooks;
std::map<HWND, std::string> menu_answers;

UINT font_message() {
    static const UINT message = RegisterWindowMessageA("qv-driver-font-probe");
    return message;
}

UINT show_message() {
    static const UINT message = RegisterWindowMessageA("qv-driver-show-probe");
    return message;
}

UINT menu_message() {
    static const UINT message = RegisterWindowMessageA("qv-driver-menu-probe");
    return message;
}

LRESULT CALLBACK reply_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(l);
        menu_answers[reinterpret_cast<HWND>(data->dwData)] =
            std::string(static_cast<const char*>(data->lpData), data->cbData);
        return TRUE;
    }
    return DefWindowProcA(window, message, w, l);
}

HWND reply_window() {
    static HWND window = [] {
        WNDCLASSA kind{};
        kind.lpfnWndProc = reply_procedure;
        kind.lpszClassName = "qv-driver-reply";
        RegisterClassA(&kind);
        return CreateWindowExA(0, "qv-driver-reply", "qv-driver-reply", 0, 0, 0, 0, 0, HWND_MESSAGE,
                               nullptr, nullptr, nullptr);
    }();
    return window;
}

HMODULE probe_module() {
    static HMODULE module = [] {
        char path[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, path, sizeof path);
        std::string dll = path;
        dll = dll.substr(0, dll.find_last_of('\\') + 1) + "qv-probe.dll";
        return LoadLibraryA(dll.c_str());
    }();
    return module;
}

HOOKPROC probe_function(const char* name) {
    HMODULE module = probe_module();
    return module == nullptr
               ? HOOKPROC{}
               : reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Collects answers until done() holds or the deadline passes.
template <typename Done> void pump(ULONGLONG deadline, Done done) {
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.hwnd == reply_window() && message.message == font_message()) {
                const auto packed = static_cast<std::uint64_t>(message.lParam);
                font_answers[reinterpret_cast<HWND>(message.wParam)] = {
                    static_cast<std::int16_t>(packed & 0xFFFF),
                    static_cast<std::int16_t>((packed >> 16) & 0xFFFF),
                    static_cast<int>(packed >> 32)};
            } else if (message.hwnd == reply_window() && message.message == show_message()) {
                show_answers.emplace(reinterpret_cast<HWND>(message.wParam),
                                     static_cast<int>(message.lParam));
            } else {
                DispatchMessageA(&message);
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (done() || now >= deadline) {
            return;
        }
        // Woken by answers, and every 20 ms for conditions that no message announces.
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT);
    }
}

} // namespace

std::map<HWND, font_info> probe_fonts(const std::vector<HWND>& controls) {
    font_answers.clear();
    HOOKPROC hook = probe_function("probe_hook");
    if (hook == nullptr || reply_window() == nullptr) {
        return {};
    }
    std::map<DWORD, HHOOK> hooks;
    for (HWND control : controls) {
        const DWORD thread = GetWindowThreadProcessId(control, nullptr);
        if (hooks.count(thread) == 0) {
            hooks[thread] = SetWindowsHookExA(WH_GETMESSAGE, hook, probe_module(), thread);
        }
        PostMessageA(control, font_message(), reinterpret_cast<WPARAM>(reply_window()), 0);
    }
    // A control destroyed after the listing (the screen changed meanwhile) never answers;
    // waiting the full time for it made a poll across a change of screens take 3 s.
    pump(GetTickCount64() + send_timeout_ms, [&] {
        for (HWND control : controls) {
            if (font_answers.count(control) == 0 && IsWindow(control)) {
                return false;
            }
        }
        return true;
    });
    for (const auto& [thread, handle] : hooks) {
        if (handle != nullptr) {
            UnhookWindowsHookEx(handle);
        }
    }
    return font_answers;
}

bool watch_show(DWORD thread) {
    HOOKPROC hook = probe_function("show_hook");
    if (hook == nullptr || reply_window() == nullptr) {
        return false;
    }
    HHOOK handle = SetWindowsHookExA(WH_CALLWNDPROC, hook, probe_module(), thread);
    if (handle != nullptr) {
        show_hooks.push_back(handle);
    }
    return handle != nullptr;
}

int children_at_show(HWND window, ULONGLONG deadline) {
    pump(deadline, [&] { return show_answers.count(window) != 0; });
    const auto found = show_answers.find(window);
    return found == show_answers.end() ? -1 : found->second;
}

std::string probe_system_menu(HWND window) {
    menu_answers.erase(window);
    HOOKPROC hook = probe_function("probe_hook");
    if (hook == nullptr || reply_window() == nullptr) {
        return {};
    }
    HHOOK handle = SetWindowsHookExA(WH_GETMESSAGE, hook, probe_module(),
                                     GetWindowThreadProcessId(window, nullptr));
    if (handle == nullptr) {
        return {};
    }
    PostMessageA(window, menu_message(), reinterpret_cast<WPARAM>(reply_window()), 0);
    pump(GetTickCount64() + send_timeout_ms, [&] { return menu_answers.count(window) != 0; });
    UnhookWindowsHookEx(handle);
    const auto found = menu_answers.find(window);
    return found == menu_answers.end() ? std::string() : found->second;
}
