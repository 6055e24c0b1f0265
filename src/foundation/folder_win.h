// The two folders the program keeps the product in ("Quarryvale temporary files" and the
// product's own folder below it). The program runs as administrator and starts what it
// finds there, so it makes them such that only SYSTEM and the administrators can change
// them, and uses a folder it finds only when nobody else could have changed it: not a link
// to somewhere else, owned by the administrators, SYSTEM or the buyer, and writable by
// none but them. Removal never follows a link inside the product's folder. Windows only.
#pragma once

#include <windows.h>

#include <string>

enum class folder_verdict {
    trusted,          // may be used
    missing,          // nothing there yet
    not_a_folder,     // a file of that name
    link,             // a reparse point: a junction or a symbolic link
    foreign_owner,    // owned by someone other than the administrators, SYSTEM or the buyer
    others_may_write, // someone else may change or delete what is in it
    unreadable,       // its owner or permissions cannot be read (error says why)
    no_permissions,   // on a drive that keeps no permissions (FAT32, exFAT, some shares)
};

// False for a drive that keeps no permissions, judged from its file system flags
// (GetVolumeInformationW: without FILE_PERSISTENT_ACLS): FAT32, exFAT and some network
// shares let anyone change what is on them, whatever permissions the program asks for.
bool volume_keeps_permissions(DWORD file_system_flags);

// The file system flags of the drive that holds the folder at path (a folder mounted in
// another drive's tree counts as its own drive); false when they cannot be read.
bool volume_flags(const wchar_t* path, DWORD& flags);

// Judges the folder at path as it is, without following a link at it. With hold, the folder
// is opened and judged on a handle that shares reading and writing but not deleting, and a
// trusted folder's handle is handed over: while it stays open nobody can rename, move or
// delete the folder, so what was judged is what stays at that path.
folder_verdict check_folder(const wchar_t* path, DWORD& error, HANDLE* hold = nullptr);

// The program's own permissions for its folders, as a security descriptor string; empty
// when the buyer's account cannot be read.
std::wstring protected_folder_sddl();

// Makes the folder with the program's own permissions: SYSTEM and the administrators full
// control, the buyer and the users read and execute, inherited by all it will hold. False
// with error set when it could not be made (ERROR_ALREADY_EXISTS when something is there).
bool create_protected_folder(const wchar_t* path, DWORD& error);

// Why a folder is not used, in the program's words for the box; empty for trusted and
// missing.
std::string folder_refusal(const wchar_t* path, folder_verdict verdict, DWORD error);

// What stops the product's folders from being used: a text for the box and, when the
// system gave one, its error code (the text is then joined with the system's description).
struct folder_problem {
    std::string text;
    DWORD error = 0;
};

// Checks the drive of the folder that holds "Quarryvale temporary files" (download_dir),
// then that folder and the product folder below it, outer first. On a drive that keeps
// no permissions nothing is made or used. With create, a missing one is made with the
// program's permissions (and checked like any other); without it, a missing one is left
// missing. False with the problem set when one of them must not be used or could not be
// made.
// The folders found usable are held from their check on (each call replaces the hold),
// until release_product_folders or the end of the program: a buyer's unelevated program
// that may delete in the folder beside the program cannot rename a checked folder away
// and put a tree of its own in its place.
bool product_folders_usable(const std::wstring& download_dir, const std::wstring& product_dir,
                            bool create, folder_problem& problem);

// Lets the held folders go: just before the program removes them itself. A worker that
// checks and a removal on the window's thread never run at once (a removal waits for the
// worker to stop), so the hold needs no lock.
void release_product_folders();

// True when the open file lies inside the product folder held now, as the system resolves
// both (after any link on the way): what starts as administrator is in the checked folder.
bool inside_held_product_folder(HANDLE file);

// Removes the folder and what it holds. A link inside it (a junction, a symbolic link) is
// removed as a link, or left where the system cannot remove it as one: what it points at
// always stays. False when something could not be removed.
bool remove_tree(const std::wstring& path);
