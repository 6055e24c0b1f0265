// The child controls of a window. Fonts are read inside the program under test by
// qv-probe.dll, which a WH_GETMESSAGE hook loads there for the duration of one listing:
// a font handle cannot be described from outside the process that owns it.
#include <cstdint>
#include <map>

#include "commands.h"
#include "probes.h"

// Rectangles are in window coordinates (the window's client area is the whole window).
// Fonts: font_height is the font's character height as created (negative) and
// font_cell_height its cell height on screen; both null when unknown.
std::string cmd_children(const command_args& args, json_writer& reply) {
    HWND window = nullptr;
    if (args.empty() || !parse_window(args[0], window)) {
        return "no such window";
    }
    RECT origin{};
    GetWindowRect(window, &origin);
    std::vector<HWND> controls;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        controls.push_back(child);
    }
    const std::map<HWND, font_info> fonts = probe_fonts(controls);
    reply.key("controls").begin_array();
    for (HWND child : controls) {
        RECT r{};
        GetWindowRect(child, &r);
        OffsetRect(&r, -origin.left, -origin.top);
        const std::string kind = window_class(child);
        reply.begin_object();
        reply.key("hwnd");
        add_window(reply, child);
        reply.key("id").value(static_cast<std::int64_t>(GetDlgCtrlID(child)));
        reply.key("class").value(kind).key("text").value(window_text(child));
        reply.key("rect");
        add_rect(reply, r);
        reply.key("style").value(static_cast<std::int64_t>(GetWindowLongA(child, GWL_STYLE)));
        reply.key("visible").value(IsWindowVisible(child) != FALSE);
        reply.key("enabled").value(IsWindowEnabled(child) != FALSE);
        DWORD_PTR check = 0;
        reply.key("checked");
        if (_stricmp(kind.c_str(), "Button") == 0 &&
            SendMessageTimeoutA(child, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms,
                                &check)) {
            reply.value(check == BST_CHECKED);
        } else {
            reply.null();
        }
        const auto font = fonts.find(child);
        const bool known = font != fonts.end() && font->second.cell_height != 0;
        reply.key("font_height");
        known ? reply.value(font->second.character_height) : reply.null();
        reply.key("font_cell_height");
        known ? reply.value(font->second.cell_height) : reply.null();
        reply.key("font_weight");
        known ? reply.value(font->second.weight) : reply.null();
        reply.end_object();
    }
    reply.end_array();
    return {};
}

// The system's message font as this prefix has it: what the program's default font
// should be, and the base of its title font.
std::string cmd_message_font(const command_args&, json_writer& reply) {
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return "SystemParametersInfo failed";
    }
    HFONT font = CreateFontIndirectA(&metrics.lfMessageFont);
    HDC screen = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(screen, font);
    TEXTMETRICA text{};
    GetTextMetricsA(screen, &text);
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    DeleteObject(font);
    reply.key("face").value(metrics.lfMessageFont.lfFaceName);
    reply.key("height").value(static_cast<std::int64_t>(metrics.lfMessageFont.lfHeight));
    reply.key("weight").value(static_cast<std::int64_t>(metrics.lfMessageFont.lfWeight));
    reply.key("cell_height").value(static_cast<std::int64_t>(text.tmHeight));
    return {};
}

std::string cmd_system_menu(const command_args& args, json_writer& reply) {
    HWND window = nullptr;
    if (args.empty() || !parse_window(args[0], window)) {
        return "no such window";
    }
    const std::string lines = probe_system_menu(window);
    if (lines.empty()) {
        return "the program did not answer";
    }
    reply.key("items").begin_array();
    size_t start = 0;
    while (start < lines.size()) {
        const size_t end = lines.find('\n', start);
        const std::string line = lines.substr(start, end - start);
        start = end == std::string::npos ? lines.size() : end + 1;
        const size_t tab1 = line.find('\t');
        const size_t tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos) {
            continue;
        }
        reply.begin_object();
        reply.key("id").value(static_cast<std::int64_t>(std::stoll(line.substr(0, tab1))));
        reply.key("separator").value(line.substr(tab1 + 1, tab2 - tab1 - 1) == "1");
        reply.key("text").value(line.substr(tab2 + 1)).end_object();
    }
    reply.end_array();
    return {};
}
