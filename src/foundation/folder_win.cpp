// The product's folders: made so that only SYSTEM and the administrators can change them,
// trusted when found only if nobody else could have changed them, and removed without
// following links (foundation/folder_win.h).
#include "foundation/folder_win.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "foundation/path_win.h"
#include "foundation/util.h"

namespace {

// Every right that changes a folder, what it holds, or who may do so. A right to write
// attributes or extended attributes counts too: nobody but the trusted needs it.
constexpr ACCESS_MASK write_rights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// Read, list and traverse (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
constexpr const wchar_t* read_execute = L"0x1200a9";

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

struct local_freer {
    void operator()(void* p) const { LocalFree(p); }
};

// The account the program runs as: the buyer (under elevation still the buyer's own
// account, whose folders an earlier copy made in Downloads belong to).
std::unique_ptr<BYTE[]> token_user() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    const unique_handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return nullptr;
    }
    auto data = std::make_unique<BYTE[]>(size);
    if (!GetTokenInformation(token, TokenUser, data.get(), size, &size)) {
        return nullptr;
    }
    return data;
}

PSID sid_of(const std::unique_ptr<BYTE[]>& user) {
    return reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
}

struct well_known {
    BYTE data[SECURITY_MAX_SID_SIZE];
    explicit well_known(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof data;
        if (!CreateWellKnownSid(type, nullptr, data, &size)) {
            data[0] = 0; // an invalid SID: equal to none
        }
    }
    PSID sid() { return data; }
};

// SIDs that stand for "whoever creates the object" in an entry that only passes on to
// what the folder will hold; they never give anyone else a right.
bool is_creator(PSID sid) {
    well_known owner(WinCreatorOwnerSid);
    well_known group(WinCreatorGroupSid);
    well_known rights(WinCreatorOwnerRightsSid);
    return EqualSid(sid, owner.sid()) || EqualSid(sid, group.sid()) || EqualSid(sid, rights.sid());
}

class trusted_accounts {
  public:
    trusted_accounts()
        : user_(token_user()), admins_(WinBuiltinAdministratorsSid), system_(WinLocalSystemSid) {}
    bool contains(PSID sid) {
        return IsValidSid(sid) && (EqualSid(sid, admins_.sid()) || EqualSid(sid, system_.sid()) ||
                                   (user_ && EqualSid(sid, sid_of(user_))));
    }

  private:
    std::unique_ptr<BYTE[]> user_;
    well_known admins_;
    well_known system_;
};

// True when an entry of the list lets someone outside the trusted accounts change the
// folder, or (through inheritance) what the program will create in it. Denying entries
// are not weighed against allowing ones: a folder that needs them to be safe is refused.
bool others_may_write(PACL dacl, trusted_accounts& trusted) {
    if (dacl == nullptr) {
        return true; // no list at all: everyone may do everything
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            return true;
        }
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both lay out the mask and the SID alike.
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            const PSID sid = &ace->SidStart;
            if ((ace->Mask & write_rights) == 0 || trusted.contains(sid)) {
                break;
            }
            if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 && is_creator(sid)) {
                break;
            }
            return true;
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            // Not made for files; whoever it names, a right to write is not trusted.
            if ((reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask & write_rights) != 0) {
                return true;
            }
            break;
        default:
            break; // denying, auditing and label entries give nobody a right
        }
    }
    return false;
}

std::wstring sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

bool remove_entry(const std::wstring& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A directory link is removed as a directory: that takes the link, not its target.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str()) != 0
                                                        : DeleteFileW(path.c_str()) != 0;
}

// Where the system resolves an open file or folder to, or empty when it cannot say.
std::wstring final_path(HANDLE h) {
    std::wstring buffer(2 * MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                        FILE_NAME_NORMALIZED);
    if (n >= buffer.size()) { // the size it needs, with its NUL
        buffer.resize(n);
        n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED);
    }
    return n == 0 || n >= buffer.size() ? std::wstring() : buffer.substr(0, n);
}

// Where the system resolves a path to, or empty when it cannot be opened. Wine shows a Unix
// link to a file as a plain file and opens, and deletes, what it points at even when asked
// for the link itself; only the resolved path gives it away.
std::wstring resolved(const std::wstring& path) {
    const HANDLE h = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring result = final_path(h);
    CloseHandle(h);
    return result;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// "Quarryvale temporary files" and the product folder, while held (null when not).
HANDLE held_folders[2] = {nullptr, nullptr};

void close_folders(HANDLE (&folders)[2]) {
    for (HANDLE& folder : folders) {
        if (folder != nullptr) {
            CloseHandle(folder);
            folder = nullptr;
        }
    }
}

} // namespace

folder_verdict check_folder(const wchar_t* path, DWORD& error, HANDLE* hold) {
    error = 0;
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never what it points at. A handle
    // that holds the folder lists it, and leaves out delete sharing: that is what stops a
    // rename or a removal of the folder (the program still works inside it).
    const HANDLE h = CreateFileW(
        path, READ_CONTROL | FILE_READ_ATTRIBUTES | (hold != nullptr ? FILE_LIST_DIRECTORY : 0),
        FILE_SHARE_READ | FILE_SHARE_WRITE | (hold != nullptr ? 0 : FILE_SHARE_DELETE), nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? folder_verdict::missing
                   : folder_verdict::unreadable;
    }
    unique_handle folder(h);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        error = GetLastError();
        return folder_verdict::unreadable;
    }
    // Wine opens what a Unix link points at, and reports the link only when asked by name.
    const DWORD by_name = GetFileAttributesW(path);
    if (((info.dwFileAttributes | (by_name == INVALID_FILE_ATTRIBUTES ? 0 : by_name)) &
         FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return folder_verdict::link;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return folder_verdict::not_a_folder;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error =
        GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return folder_verdict::unreadable;
    }
    const std::unique_ptr<void, local_freer> owned(descriptor);
    trusted_accounts trusted;
    if (owner == nullptr || !trusted.contains(owner)) {
        return folder_verdict::foreign_owner;
    }
    if (others_may_write(dacl, trusted)) {
        return folder_verdict::others_may_write;
    }
    if (hold != nullptr) {
        *hold = folder.release();
    }
    return folder_verdict::trusted;
}

bool volume_keeps_permissions(DWORD file_system_flags) {
    return (file_system_flags & FILE_PERSISTENT_ACLS) != 0;
}

bool volume_flags(const wchar_t* path, DWORD& flags) {
    // Asked of the folder itself, not of a root path: a drive mounted in a folder of
    // another is its own drive, and a link leads to where the files would really go.
    const HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const unique_handle folder(h);
    return GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) !=
           FALSE;
}

std::wstring protected_folder_sddl() {
    const std::unique_ptr<BYTE[]> user = token_user();
    if (!user) {
        return {};
    }
    // P: nothing is inherited from the folder above. OICI: files and folders made inside
    // get the same entries.
    return std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;") + read_execute + L";;;" +
           sid_text(sid_of(user)) + L")(A;OICI;" + read_execute + L";;;BU)";
}

bool create_protected_folder(const wchar_t* path, DWORD& error) {
    const std::wstring sddl = protected_folder_sddl();
    if (sddl.empty()) {
        error = GetLastError();
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        error = GetLastError();
        return false;
    }
    const std::unique_ptr<void, local_freer> owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryW(path, &attributes)) {
        error = GetLastError();
        return false;
    }
    error = 0;
    return true;
}

std::string folder_refusal(const wchar_t* path, folder_verdict verdict, DWORD) {
    const char* why = nullptr;
    switch (verdict) {
    case folder_verdict::trusted:
    case folder_verdict::missing:
        return {};
    case folder_verdict::not_a_folder:
        why = "there is a file of that name";
        break;
    case folder_verdict::link:
        why = "it is a link to another place (a junction or a symbolic link)";
        break;
    case folder_verdict::foreign_owner:
        why = "it belongs to another account";
        break;
    case folder_verdict::others_may_write:
        why = "other users may change what is in it";
        break;
    case folder_verdict::unreadable:
        return format_string("The folder %1!s! is not used because its owner and permissions "
                             "cannot be read",
                             narrow(path).c_str());
    case folder_verdict::no_permissions:
        return format_string("The folder %1!s! is not used because it is on a drive that keeps "
                             "no permissions (such as a FAT32 or exFAT drive, or some network "
                             "drives), so this drive cannot protect the files that this program "
                             "would start as administrator. Copy this program to a folder on "
                             "the computer's own drive (Downloads, for instance) and run it from "
                             "there.",
                             narrow(path).c_str());
    }
    return format_string("The folder %1!s! is not used because %2!s!. It may have been made by "
                         "another user, and this program would start what is in it as "
                         "administrator. Move or delete the folder, then unpause the download.",
                         narrow(path).c_str(), why);
}

bool product_folders_usable(const std::wstring& download_dir, const std::wstring& product_dir,
                            bool create, folder_problem& problem) {
    // Asked of the folder the program runs from, which exists, before anything is made
    // in it. When the flags cannot be read, the folders' own checks below still apply.
    const std::wstring beside = download_dir.substr(0, download_dir.find_last_of(L'\\') + 1);
    DWORD flags = 0;
    if (volume_flags(beside.c_str(), flags) && !volume_keeps_permissions(flags)) {
        release_product_folders();
        problem = {folder_refusal(download_dir.c_str(), folder_verdict::no_permissions, 0), 0};
        return false;
    }
    HANDLE checked[2] = {nullptr, nullptr};
    // The new hold is taken before the old one goes, so the folders are never let go
    // between two checks.
    const auto hold_checked = [&checked] {
        close_folders(held_folders);
        held_folders[0] = checked[0];
        held_folders[1] = checked[1];
    };
    const std::wstring* paths[2] = {&download_dir, &product_dir};
    for (int i = 0; i < 2; ++i) {
        const std::wstring& path = *paths[i];
        DWORD error = 0;
        folder_verdict verdict = check_folder(path.c_str(), error, &checked[i]);
        if (verdict == folder_verdict::missing) {
            if (!create) {
                hold_checked();
                return true; // nothing further in can exist either
            }
            // Made here, or by someone else in the meantime: either way judged as found.
            if (!create_protected_folder(path.c_str(), error) && error != ERROR_ALREADY_EXISTS) {
                close_folders(checked);
                release_product_folders();
                problem = {format_string("Failed to create directory %1!s!", narrow(path).c_str()),
                           error};
                return false;
            }
            verdict = check_folder(path.c_str(), error, &checked[i]);
        }
        if (verdict != folder_verdict::trusted) {
            close_folders(checked);
            release_product_folders();
            problem = {folder_refusal(path.c_str(), verdict, error),
                       verdict == folder_verdict::unreadable ? error : 0};
            return false;
        }
    }
    hold_checked();
    return true;
}

void release_product_folders() {
    close_folders(held_folders);
}

bool inside_held_product_folder(HANDLE file) {
    if (held_folders[1] == nullptr) {
        return false;
    }
    const std::wstring folder = final_path(held_folders[1]);
    const std::wstring path = final_path(file);
    return !folder.empty() && path.size() > folder.size() + 1 && path[folder.size()] == L'\\' &&
           same_path(path.substr(0, folder.size()), folder);
}

bool remove_tree(const std::wstring& path) {
    bool removed = true;
    const std::wstring here = resolved(path);
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring inner = path + L"\\" + name;
            const DWORD attributes = entry.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                removed = remove_entry(inner, attributes) && removed; // the link itself
            } else if (const std::wstring there = resolved(inner);
                       !here.empty() && !there.empty() && !same_path(there, here + L"\\" + name)) {
                // A link the system does not show as one: deleting it would hit its target.
                removed = false;
            } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                removed = remove_tree(inner) && removed;
            } else {
                removed = remove_entry(inner, attributes) && removed;
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != 0 && removed;
}
