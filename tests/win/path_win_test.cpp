// The wide-character path helper against the real system under Wine: names from the
// store widen exactly as the A functions widen them, and a folder named outside the ANSI
// code page is made, found and removed under its own name, not under its look-alike.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "foundation/path_win.h"
#include "foundation/util.h"

namespace {

class PathOnWindows : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root = std::wstring(temp) + L"qv-path-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    }
    void TearDown() override {
        std::wstring list = root + L'\0';
        SHFILEOPSTRUCTW operation{};
        operation.wFunc = FO_DELETE;
        operation.pFrom = list.c_str();
        operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
        SHFileOperationW(&operation);
    }
    static bool exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static void make_file(const std::wstring& path) {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    std::wstring root;
};

TEST_F(PathOnWindows, WidensAStoreNameAsTheAnsiFunctionsDo) {
    // Every byte above ASCII, in names made by the A function, is found under the widened
    // name exactly, and the name comes back unchanged for messages. Two names: a Unix
    // name holds 255 bytes.
    const std::string ansi_root = narrow(root);
    for (int first : {0x80, 0xc0}) {
        std::string name = "n-";
        for (int c = first; c < first + 0x40; ++c) {
            name += static_cast<char>(c);
        }
        const HANDLE file = CreateFileA((ansi_root + "\\" + name).c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        CloseHandle(file);
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileW((root + L"\\n-*").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        FindClose(search);
        EXPECT_EQ(std::wstring(found.cFileName), widen(name));
        EXPECT_EQ(narrow(widen(name)), name);
        ASSERT_TRUE(DeleteFileW((root + L"\\" + widen(name)).c_str()));
    }
    EXPECT_EQ(widen(""), L"");
    EXPECT_EQ(widen(std::string("Quarry Quest")), L"Quarry Quest");
}

TEST_F(PathOnWindows, AFolderOutsideTheCodePageKeepsItsOwnName) {
    const std::wstring own = root + L"\\\x141ukasz-\x65e5\x672c";
    const std::wstring look_alike = root + L"\\Lukasz";
    if (GetACP() == 1252) {
        // What the A functions would have used instead: "?" or the closest match.
        EXPECT_EQ(narrow(L"\x141ukasz-\x65e5\x672c"), "Lukasz-??");
    }
    ASSERT_TRUE(CreateDirectoryW(own.c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(CreateDirectoryW(look_alike.c_str(), nullptr));
    make_file(look_alike + L"\\keep.txt");

    // The product's files go, then the directory of temporary files once it is empty.
    const std::wstring temporary = own + L"\\Quarryvale temporary files";
    for (const wchar_t* directory : {L"", L"\\42", L"\\42\\sub", L"\\7"}) {
        ASSERT_TRUE(CreateDirectoryW((temporary + directory).c_str(), nullptr));
    }
    make_file(temporary + L"\\42\\sub\\a.bin");
    EXPECT_EQ(delete_product_files(temporary.c_str(), "42"), 0); // product 7 is left
    EXPECT_FALSE(exists(temporary + L"\\42"));
    EXPECT_TRUE(exists(temporary + L"\\7"));
    EXPECT_NE(delete_product_files(temporary.c_str(), "7"), 0);
    EXPECT_FALSE(exists(temporary));
    EXPECT_TRUE(exists(own));
    EXPECT_TRUE(exists(look_alike + L"\\keep.txt"));
}

} // namespace
