// What other programs do beside the program under test: a rename tried by another Windows
// process (as a buyer's own program would try it), and the windows of a program it started
// (an installer), found by its title since the driver did not start it.
#include "commands.h"

namespace {

// Paths come as UTF-8, so that a folder named in any script can be named here.
std::wstring wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

struct titled_search {
    std::string title;
    HWND found;
};

BOOL CALLBACK find_titled(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<titled_search*>(data);
    if (IsWindowVisible(window) && window_text(window).starts_with(search->title)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

// The system's answer to the rename: 0 when it went through, else its error code.
std::string cmd_rename(const command_args& args, json_writer& reply) {
    if (args.size() < 2) {
        return "usage: rename FROM TO";
    }
    const BOOL moved = MoveFileW(wide(args[0]).c_str(), wide(args[1]).c_str());
    reply.key("error").value(moved ? DWORD{0} : GetLastError());
    return {};
}

// A visible top-level window of any process whose title begins with this text (an
// installer adds its page's name to its title), or 0.
std::string cmd_find_window(const command_args& args, json_writer& reply) {
    if (args.empty()) {
        return "usage: find_window TITLE";
    }
    titled_search search{args[0], nullptr};
    EnumWindows(find_titled, reinterpret_cast<LPARAM>(&search));
    reply.key("hwnd");
    add_window(reply, search.found);
    return {};
}
