// qv-probe.dll: loaded into the program under test by a message hook, because a font
// handle means nothing outside the process that made it. On the probe message it reads
// the control's font there and posts the answer back to the driver's window:
//   wParam = the control, lParam = cell height | character height << 16 | weight << 32
// (heights as signed 16-bit values; all zero when the control has no font).
#include <windows.h>

#include <cstdint>

extern "C" __declspec(dllexport) LRESULT CALLBACK probe_hook(int code, WPARAM w, LPARAM l);

LRESULT CALLBACK probe_hook(int code, WPARAM w, LPARAM l) {
    static const UINT probe_message = RegisterWindowMessageA("qv-driver-font-probe");
    auto* message = reinterpret_cast<MSG*>(l);
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
