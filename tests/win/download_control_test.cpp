// The download's state machine (download/control.cpp) on a real window under
// Wine, against stand-ins for the screen and the engine: Stop, No while waiting to
// reconnect. Wine's own removal handles no messages while it works, so the stand-in
// removal handles them for longer than the 5 s wait, as Windows' progress window does;
// the reconnect timer must not start an attempt meanwhile.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "download/control.h"
#include "download/product.h"
#include "download/state.h"
#include "foundation/path_win.h"
#include "foundation/util.h"
#include "notice_guard.h"
#include "resources/token_block.h"
#include "shell/main_thread.h"

// ---- stand-ins for the screen and the engine (screens/download.cpp, download/worker.cpp) ----

wchar_t download_dir[MAX_PATH];
CRITICAL_SECTION critical_section;
HANDLE current_file_handle = INVALID_HANDLE_VALUE;
char* error_message = nullptr;
std::uint32_t last_net_error = 0;
void (*interrupted_callback)() = nullptr;
net_context* request_context = nullptr;
int state = 0;
bool completed = false;
HWND pause_button = nullptr;

void set_status(const char* text, bool owned) {
    if (owned) {
        std::free(const_cast<char*>(text));
    }
}
void make_status_text() {}

namespace {

int attempts = 0;
std::wstring product_folder() {
    return std::wstring(download_dir) + L"\\" + widen(product_identifier());
}

} // namespace

// An attempt recreates the product's folder before its request goes out.
void start_thread() {
    ++attempts;
    state = 2;
    CreateDirectoryW(download_dir, nullptr);
    CreateDirectoryW(product_folder().c_str(), nullptr);
}

namespace {

LRESULT CALLBACK test_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == call_message) {
        return on_call_message(lparam);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

ULONGLONG wait_began = 0;

// The real removal, then messages for longer than the rest of the reconnect wait.
int remove_while_handling_messages(const wchar_t* directory, const char* product) {
    const int removed = delete_product_files(directory, product);
    while (GetTickCount64() - wait_began < 5500) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return removed;
            }
            DispatchMessageA(&message);
        }
    }
    return removed;
}

BOOL CALLBACK press_no(HWND window, LPARAM) {
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) == "#32770") {
        PostMessageA(window, WM_COMMAND, IDNO, 0);
    }
    return TRUE;
}

// Answers every stop question from inside its own message loop.
void CALLBACK answer_no(HWND, UINT, UINT_PTR, DWORD) {
    EnumThreadWindows(GetCurrentThreadId(), press_no, 0);
}

} // namespace

TEST(DownloadControl, StopNoWhileWaitingToReconnectStartsNothingWhileTheFilesGo) {
    InitializeCriticalSection(&critical_section);
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = test_window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "DownloadControlTest";
    ASSERT_NE(RegisterClassA(&window_class), 0);
    main_window = CreateWindowExA(0, "DownloadControlTest", "", WS_OVERLAPPED, 0, 0, 50, 50,
                                  nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(main_window, nullptr);
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring top =
        std::wstring(temp) + L"qv-control-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    const std::wstring dir = top + L"\\Quarryvale temporary files";
    ASSERT_LT(dir.size(), static_cast<std::size_t>(MAX_PATH));
    dir.copy(download_dir, dir.size());
    download_dir[dir.size()] = L'\0';
    start_thread(); // the first attempt, which made the folder and then lost its connection
    ASSERT_NE(GetFileAttributesW(product_folder().c_str()), INVALID_FILE_ATTRIBUTES);
    attempts = 0;

    last_net_error = 12029; // the connection failed
    wait_began = GetTickCount64();
    on_net_error();
    ASSERT_EQ(state, 3);
    remove_product_files = remove_while_handling_messages;
    const UINT_PTR answering = SetTimer(nullptr, 0, 20, answer_no);
    ASSERT_NE(answering, 0u);
    download_stop();

    EXPECT_GE(GetTickCount64() - wait_began, 5500u);
    EXPECT_EQ(attempts, 0) << "an attempt started after the buyer said stop";
    EXPECT_EQ(GetFileAttributesW(download_dir), INVALID_FILE_ATTRIBUTES);
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    // A click or a close that arrives while the files go asks and starts nothing (a
    // question that does come is answered, so that a failure cannot hang the test).
    download_process_message(100, 0);
    download_process_message(101, 0);
    download_stop();
    KillTimer(nullptr, answering);
    EXPECT_EQ(attempts, 0);
    RemoveDirectoryW(top.c_str());
    DestroyWindow(main_window);
}
