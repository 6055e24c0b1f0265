// Message boxes of the program under test: ordinary "#32770" dialogs. The icon's object
// lives in the other process, so it is recognised by its pixels: the screen under the
// icon control is compared with the driver's own drawing of each system icon.
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "screen.h"

namespace {

struct dialog_search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_dialog(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<dialog_search*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window) && window_class(window) == "#32770") {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> dialogs_of(DWORD pid) {
    dialog_search search{pid, {}};
    EnumWindows(collect_dialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct icon_match {
    const char* name = "none";
    double mismatch = 1.0;
};

// Share of the icon's opaque pixels that differ from the screen; opaque pixels are those
// that come out the same on a black and on a white background.
double mismatch(HICON icon, const pixel_block& shown) {
    pixel_block on_black;
    pixel_block on_white;
    if (!render_icon(icon, shown.width, shown.height, 0x000000, on_black) ||
        !render_icon(icon, shown.width, shown.height, 0xFFFFFF, on_white)) {
        return 1.0;
    }
    int opaque = 0;
    int differing = 0;
    for (size_t i = 0; i < shown.data.size(); ++i) {
        if (on_black.data[i] != on_white.data[i]) {
            continue;
        }
        ++opaque;
        for (int shift = 0; shift < 24; shift += 8) {
            const int a = static_cast<int>((shown.data[i] >> shift) & 0xFF);
            const int b = static_cast<int>((on_black.data[i] >> shift) & 0xFF);
            if (std::abs(a - b) > 8) {
                ++differing;
                break;
            }
        }
    }
    return opaque == 0 ? 1.0 : static_cast<double>(differing) / opaque;
}

icon_match recognise_icon(HWND control) {
    struct candidate {
        const char* name;
        LPCSTR id;
    };
    static const candidate candidates[] = {
        {"information", IDI_ASTERISK}, {"warning", IDI_EXCLAMATION},     {"error", IDI_HAND},
        {"question", IDI_QUESTION},    {"application", IDI_APPLICATION},
    };
    RECT r{};
    GetWindowRect(control, &r);
    pixel_block shown;
    icon_match best;
    if (!grab_screen(r, shown)) {
        return best;
    }
    for (const candidate& c : candidates) {
        const double score = mismatch(LoadIconA(nullptr, c.id), shown);
        if (score < best.mismatch) {
            best = {c.name, score};
        }
    }
    return best;
}

void describe(json_writer& reply, HWND dialog) {
    reply.begin_object();
    reply.key("hwnd").value(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(dialog)));
    HWND owner = GetWindow(dialog, GW_OWNER);
    reply.key("owner").value(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(owner)));
    reply.key("caption").value(window_text(dialog));
    std::string text;
    HWND icon_control = nullptr;
    reply.key("buttons").begin_array();
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string kind = window_class(child);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (_stricmp(kind.c_str(), "Button") == 0) {
            if (style & WS_VISIBLE) {
                reply.begin_object();
                reply.key("id").value(static_cast<std::int64_t>(GetDlgCtrlID(child)));
                reply.key("text").value(window_text(child)).end_object();
            }
        } else if (_stricmp(kind.c_str(), "Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                icon_control = child;
            } else if (GetDlgCtrlID(child) == 0xFFFF || text.empty()) {
                text = window_text(child);
            }
        }
    }
    reply.end_array();
    reply.key("text").value(text);
    const icon_match icon = icon_control != nullptr ? recognise_icon(icon_control) : icon_match{};
    reply.key("icon").value(icon_control == nullptr ? "none"
                            : icon.mismatch < 0.05  ? icon.name
                                                    : "unknown");
    reply.key("icon_nearest").value(icon.name);
    reply.key("icon_mismatch").value(static_cast<int>(icon.mismatch * 1000));
    reply.end_object();
}

bool parse_pid(const command_args& args, DWORD& pid) {
    if (args.empty()) {
        return false;
    }
    char* end = nullptr;
    pid = static_cast<DWORD>(std::strtoul(args[0].c_str(), &end, 10));
    return *end == '\0';
}

} // namespace

std::string cmd_dialogs(const command_args& args, json_writer& reply) {
    DWORD pid = 0;
    if (!parse_pid(args, pid)) {
        return "usage: dialogs PID";
    }
    reply.key("dialogs").begin_array();
    for (HWND dialog : dialogs_of(pid)) {
        describe(reply, dialog);
    }
    reply.end_array();
    return {};
}

// Waits until the process shows a message box and its icon has been painted (or the
// time is up, when the icon is reported as whatever the screen showed).
std::string cmd_wait_dialog(const command_args& args, json_writer& reply) {
    DWORD pid = 0;
    if (!parse_pid(args, pid) || args.size() < 2) {
        return "usage: wait_dialog PID TIMEOUT_MS";
    }
    const ULONGLONG deadline = GetTickCount64() + std::strtoull(args[1].c_str(), nullptr, 10);
    for (;;) {
        const std::vector<HWND> found = dialogs_of(pid);
        if (!found.empty()) {
            json_writer probe;
            describe(probe, found.front());
            const bool painted =
                std::strstr(probe.text().c_str(), "\"icon\":\"unknown\"") == nullptr;
            if (painted || GetTickCount64() >= deadline) {
                reply.key("dialog");
                describe(reply, found.front());
                return {};
            }
        } else if (GetTickCount64() >= deadline) {
            return "no dialog";
        }
        Sleep(20);
    }
}

// Posts the button's command and waits (bounded) until the box has gone.
std::string cmd_press(const command_args& args, json_writer& reply) {
    HWND dialog = nullptr;
    if (args.size() < 2 || !parse_window(args[0], dialog)) {
        return "usage: press DIALOG_HWND BUTTON_ID";
    }
    const int id = std::atoi(args[1].c_str());
    HWND button = GetDlgItem(dialog, id);
    if (!PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button))) {
        return "PostMessage failed";
    }
    const ULONGLONG deadline = GetTickCount64() + send_timeout_ms;
    while (IsWindow(dialog) && IsWindowVisible(dialog) && GetTickCount64() < deadline) {
        Sleep(5);
    }
    reply.key("closed").value(!IsWindow(dialog) || !IsWindowVisible(dialog));
    return {};
}
