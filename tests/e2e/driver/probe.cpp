// qv-probe.dll: loaded into the program under test by message hooks, to see what can
// only be seen from inside it, and posting the answers to the driver's window.
// - probe_hook (WH_GETMESSAGE), on the font probe message: the control's font, because
//   a font handle means nothing outside the process that made it. wParam = the control,
//   lParam = cell height | character height << 16 | weight << 32 (heights as signed
//   16-bit values; all zero when the control has no font).
// - probe_hook, on the menu probe message to a window: its system menu's items, one line
//   each ("id<TAB>separator<TAB>text"), sent back as WM_COPYDATA whose dwData is the
//   window, since menus too belong to the process that made them.
// - show_hook (WH_CALLWNDPROC), on WM_SHOWWINDOW of the main window: its number of child
//   windows at the moment it is shown, which polling from outside could miss.
#include <windows.h>

#include <cstdint>
#include <string>

extern "C" __declspec(dllexport) LRESULT CALLBACK probe_hook(int code, WPARAM w, LPARAM l);
extern "C" __declspec(dllexport) LRESULT CALLBACK show_hook(int code, WPARAM w, LPARAM l);

LRESULT CALLBACK show_hook(int code, WPARAM w, LPARAM l) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(l);
    if (code == HC_ACTION && call->message == WM_SHOWWINDOW && call->wParam != 0 &&
        GetParent(call->hwnd) == nullptr) {
        char name[64] = "";
        GetClassNameA(call->hwnd, name, sizeof name);
        if (lstrcmpA(name, "Quarryvale Downloader") == 0) {
            int children = 0;
            for (HWND child = GetWindow(call->hwnd, GW_CHILD); child != nullptr;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                ++children;
            }
            HWND driver = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, "qv-driver-reply");
            PostMessageA(driver, RegisterWindowMessageA("qv-driver-show-probe"),
                         reinterpret_cast<WPARAM>(call->hwnd), children);
        }
    }
    return CallNextHookEx(nullptr, code, w, l);
}

namespace {

void answer_menu(HWND window, HWND driver) {
    std::string lines;
    HMENU menu = GetSystemMenu(window, FALSE);
    const int count = menu != nullptr ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        MENUITEMINFOA item{};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = sizeof text;
        if (GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &item)) {
            lines += std::to_string(item.wID) + "\t" +
                     ((item.fType & MFT_SEPARATOR) != 0 ? "1" : "0") + "\t" + text + "\n";
        }
    }
    COPYDATASTRUCT data{};
    data.dwData = reinterpret_cast<ULONG_PTR>(window);
    data.cbData = static_cast<DWORD>(lines.size());
    data.lpData = lines.data();
    DWORD_PTR result = 0;
    SendMessageTimeoutA(driver, WM_COPYDATA, reinterpret_cast<WPARAM>(window),
                        reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 3000, &result);
}

} // namespace

LRESULT CALLBACK probe_hook(int code, WPARAM w, LPARAM l) {
    static const UINT probe_message = RegisterWindowMessageA("qv-driver-font-probe");
    static const UINT menu_message = RegisterWindowMessageA("qv-driver-menu-probe");
    auto* message = reinterpret_cast<MSG*>(l);
    if (code == HC_ACTION && w == PM_REMOVE && message->message == menu_message) {
        answer_menu(message->hwnd, reinterpret_cast<HWND>(message->wParam));
        message->message = WM_NULL;
    }
    if (code == HC_ACTION && w == PM_REMOVE && message->message == probe_message) {
        HWND control = message->hwnd;
        HWND driver = reinterpret_cast<HWND>(message->wParam);
        auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
        std::uint64_t answer = 0;
        LOGFONTA description{};
        if (font != nullptr && GetObjectA(font, sizeof description, &description) != 0) {
            HDC dc = GetDC(control);
            HGDIOBJ previous = SelectObject(dc, font);
            TEXTMETRICA metrics{};
            GetTextMetricsA(dc, &metrics);
            SelectObject(dc, previous);
            ReleaseDC(control, dc);
            answer =
                static_cast<std::uint16_t>(metrics.tmHeight) |
                static_cast<std::uint64_t>(static_cast<std::uint16_t>(description.lfHeight)) << 16 |
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(description.lfWeight)) << 32;
        }
        PostMessageA(driver, probe_message, reinterpret_cast<WPARAM>(control),
                     static_cast<LPARAM>(answer));
        message->message = WM_NULL;
    }
    return CallNextHookEx(nullptr, code, w, l);
}
