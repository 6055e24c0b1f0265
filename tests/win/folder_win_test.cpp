// The product's folders against the real system under Wine: the permissions the program
// makes them with, and who the judgement of a folder found lets write. Wine keeps no
// security descriptor of its own for a file: it derives one from the Unix mode (owner and
// SYSTEM full control, Everyone from the mode's other bits) and turns one it is given into
// a mode. So under Wine the folder reads back as that mode allows, while Windows gives
// back the very entries it was made with.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/folder_win.h"

namespace {

bool under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

struct entry {
    std::wstring sid;
    ACCESS_MASK mask;
    BYTE flags;
    bool operator==(const entry&) const = default;
};

std::vector<entry> entries(PACL dacl) {
    std::vector<entry> list;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        EXPECT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        wchar_t* sid = nullptr;
        EXPECT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &sid));
        list.push_back({sid, ace->Mask, static_cast<BYTE>(ace->Header.AceFlags & ~INHERITED_ACE)});
        LocalFree(sid);
    }
    return list;
}

std::wstring own_sid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, size, &size));
    CloseHandle(token);
    wchar_t* sid = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
    std::wstring text(sid);
    LocalFree(sid);
    return text;
}

class FolderOnWindows : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root = std::wstring(temp) + L"qv-folder-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    }
    void TearDown() override { remove_tree(root); }

    // A folder given the permissions, judged. Set after the folder is made: under Wine a
    // folder made with them would lose what the umask takes.
    folder_verdict judged(const wchar_t* name, const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        std::wstring path = root + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
        EXPECT_EQ(
            SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
        LocalFree(descriptor);
        DWORD error = 0;
        return check_folder(path.c_str(), error);
    }

    std::wstring root;
};

TEST_F(FolderOnWindows, TheProgramsOwnFolderIsMadeForAdministratorsToChange) {
    const std::wstring user = own_sid();
    const BYTE inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const std::vector<entry> made = {
        {L"S-1-5-18", FILE_ALL_ACCESS, inherited},
        {L"S-1-5-32-544", FILE_ALL_ACCESS, inherited},
        {user, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, inherited},
        {L"S-1-5-32-545", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, inherited}};

    // What the program asks for.
    PSECURITY_DESCRIPTOR asked = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        protected_folder_sddl().c_str(), SDDL_REVISION_1, &asked, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(asked, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(asked, &present, &dacl, &defaulted));
    EXPECT_EQ(entries(dacl), made);
    LocalFree(asked);

    // What the folder holds once made, and what is made inside it.
    const std::wstring folder = root + L"\\Quarryvale temporary files";
    DWORD error = 0;
    ASSERT_TRUE(create_protected_folder(folder.c_str(), error)) << error;
    EXPECT_FALSE(create_protected_folder(folder.c_str(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const std::wstring inner = folder + L"\\1000";
    ASSERT_TRUE(CreateDirectoryW(inner.c_str(), nullptr));
    for (const std::wstring& path : {folder, inner}) {
        EXPECT_EQ(check_folder(path.c_str(), error), folder_verdict::trusted);
        PSECURITY_DESCRIPTOR found = nullptr;
        PACL found_dacl = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &found_dacl, nullptr, &found),
                  static_cast<DWORD>(ERROR_SUCCESS));
        if (under_wine()) {
            // The mode Wine made of it: the owner (the buyer's own account here) and SYSTEM
            // may change it, nobody else may.
            constexpr ACCESS_MASK changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                            DELETE | WRITE_DAC | WRITE_OWNER;
            for (const entry& e : entries(found_dacl)) {
                EXPECT_TRUE(e.sid == L"S-1-5-18" || e.sid == user || (e.mask & changes) == 0)
                    << e.sid.c_str();
            }
        } else {
            EXPECT_EQ(entries(found_dacl), made);
        }
        LocalFree(found);
    }
}

TEST_F(FolderOnWindows, AFolderIsTrustedOnlyWhenNobodyElseMayWrite) {
    // Under Wine, Everyone's entry becomes the mode's other bits and back.
    EXPECT_EQ(judged(L"everyone-writes", L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)"),
              folder_verdict::others_may_write);
    EXPECT_EQ(judged(L"everyone-reads", L"D:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)"),
              folder_verdict::trusted);
    DWORD error = 0;
    EXPECT_EQ(check_folder((root + L"\\missing").c_str(), error), folder_verdict::missing);
    const std::wstring file = root + L"\\a file";
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(check_folder(file.c_str(), error), folder_verdict::not_a_folder);
}

// A drive that keeps no permissions (FAT32, exFAT, some network shares) lets anyone change
// what the program would start as administrator, whatever it asks for: told by the drive's
// flags alone, and said so in the box, which names the folder and where to go instead.
TEST(DriveWithoutPermissions, IsToldByTheDrivesFlagsAndNamedInTheBox) {
    // As Windows reports them for NTFS and ReFS, which keep permissions, and for FAT32
    // and exFAT, which do not; and as Wine reports its drives and a FAT32 device.
    constexpr DWORD ntfs = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                           FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION |
                           FILE_VOLUME_QUOTAS | FILE_SUPPORTS_SPARSE_FILES |
                           FILE_SUPPORTS_REPARSE_POINTS | FILE_NAMED_STREAMS |
                           FILE_SUPPORTS_OBJECT_IDS | FILE_SUPPORTS_ENCRYPTION;
    constexpr DWORD refs = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                           FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS |
                           FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS;
    constexpr DWORD fat32 = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    constexpr DWORD exfat = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    EXPECT_TRUE(volume_keeps_permissions(ntfs));
    EXPECT_TRUE(volume_keeps_permissions(refs));
    EXPECT_TRUE(volume_keeps_permissions(FILE_CASE_PRESERVED_NAMES | FILE_PERSISTENT_ACLS));
    EXPECT_FALSE(volume_keeps_permissions(fat32));
    EXPECT_FALSE(volume_keeps_permissions(exfat));
    EXPECT_FALSE(volume_keeps_permissions(FILE_CASE_PRESERVED_NAMES));
    EXPECT_FALSE(volume_keeps_permissions(ntfs & ~FILE_PERSISTENT_ACLS));
    EXPECT_FALSE(volume_keeps_permissions(0));

    EXPECT_EQ(
        folder_refusal(L"E:\\Games\\Quarryvale temporary files", folder_verdict::no_permissions, 0),
        "The folder E:\\Games\\Quarryvale temporary files is not used because it is on a "
        "drive that keeps no permissions (such as a FAT32 or exFAT drive, or some network "
        "drives), so this drive cannot protect the files that this program would start as "
        "administrator. Copy this program to a folder on the computer's own drive "
        "(Downloads, for instance) and run it from there.");

    // The drive the tests run from keeps them (Wine says so of every drive it has no
    // FAT device for).
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    DWORD flags = 0;
    ASSERT_TRUE(volume_flags(temp, flags)) << GetLastError();
    std::printf("[ measured ] flags of the temporary folder's drive: 0x%08lx\n",
                static_cast<unsigned long>(flags));
    EXPECT_TRUE(volume_keeps_permissions(flags));
    EXPECT_FALSE(volume_flags(L"Z:\\no such folder\\here", flags));
}

TEST_F(FolderOnWindows, CheckedFoldersAreHeldAgainstRenamingUntilReleased) {
    const std::wstring outer = root + L"\\Quarryvale temporary files";
    const std::wstring product = outer + L"\\7";
    folder_problem problem;
    ASSERT_TRUE(product_folders_usable(outer, product, true, problem)) << problem.text;
    const auto rename_error = [](const std::wstring& from, const std::wstring& to) {
        return MoveFileW(from.c_str(), to.c_str()) ? DWORD{0} : GetLastError();
    };
    EXPECT_EQ(rename_error(product, product + L"-moved"),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(rename_error(outer, outer + L"-moved"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // The program still makes and renames files inside; what lies inside counts as inside,
    // a neighbour whose name merely begins with the folder's does not.
    const auto open = [](const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, 0, nullptr);
    };
    const HANDLE inside = open(product + L"\\launch");
    ASSERT_NE(inside, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(inside_held_product_folder(inside));
    CloseHandle(inside);
    EXPECT_EQ(rename_error(product + L"\\launch", product + L"\\setup.exe"), 0u);
    ASSERT_TRUE(CreateDirectoryW((product + L"-x").c_str(), nullptr));
    const HANDLE beside = open(product + L"-x\\launch");
    ASSERT_NE(beside, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(inside_held_product_folder(beside));

    // Let go (as before the program's own removal): the folders move again, and nothing is
    // inside a folder no longer held.
    release_product_folders();
    EXPECT_FALSE(inside_held_product_folder(beside));
    CloseHandle(beside);
    EXPECT_EQ(rename_error(product, product + L"-moved"), 0u);
    EXPECT_EQ(rename_error(outer, outer + L"-moved"), 0u);
}

} // namespace
