// The program's own folder inside the temporary folder, where the part file,
// the installer and the single-copy lock live. A temporary folder that other
// users may write to (C:\Windows\Temp for a program started as SYSTEM) would
// let one of them plant the part file ahead of the run, with rights that keep
// it writable, and change the installer between its check and its start. So
// the program keeps its files in a folder that only the user, SYSTEM and the
// administrators may change, and refuses one that anybody else could, for a
// fresh folder of its own.
//
// The decision is made here, from facts that the platform reads off the
// folder, so that every refusal can be tried without the platform.
#pragma once

#include <cstdint>

constexpr char PRIVATE_FOLDER_NAME[] = "Trevalon.OnlineInstaller";
constexpr char INSTANCE_LOCK_FILE[] = "online-installer.lock";

// Who an entry of the folder's access list or its owner is.
enum class Trustee : uint8_t { user, system, administrators, other };

// Rights (Windows access-mask bits) that let their holder put, replace or
// remove what the folder holds, or change who may: add a file or a folder,
// write extended attributes or attributes, delete a child or the folder,
// rewrite the access list or the owner, and the generic rights that include
// any of them.
constexpr uint32_t FOLDER_WRITE_RIGHTS = 0x00000002u     // add a file
                                         | 0x00000004u   // add a folder
                                         | 0x00000010u   // write extended attributes
                                         | 0x00000040u   // delete a child
                                         | 0x00000100u   // write attributes
                                         | 0x00010000u   // delete
                                         | 0x00040000u   // write the access list
                                         | 0x00080000u   // take ownership
                                         | 0x10000000u   // generic all
                                         | 0x40000000u;  // generic write

// One entry of the access list. Entries that are inherited only by what the
// folder will hold count as much as the folder's own: the part file would
// get them.
struct AccessEntry {
    Trustee trustee;
    bool allows;  // false: it denies (which never widens anybody's rights)
    bool known;   // false: an entry of a kind the platform could not read
    uint32_t rights;
};

constexpr uint32_t FOLDER_MAX_ENTRIES = 16;  // ours has three; more is refused

struct FolderFacts {
    bool exists;
    bool readable;  // its kind, owner and access list could be read
    bool is_directory;
    bool is_reparse_point;  // a junction or link would lead somewhere else
    bool named_otherwise;   // what was opened by the name calls itself otherwise:
                            // a link that the system followed without saying so
    Trustee owner;
    bool has_access_list;  // false: no list at all, which lets everybody do anything
    uint32_t entry_count;  // the list's length, even past FOLDER_MAX_ENTRIES
    AccessEntry entries[FOLDER_MAX_ENTRIES];
};

enum class FolderVerdict {
    create,  // there is none: make it, then look at it again
    use,     // it is the user's and nobody else may change it
    refuse,  // anything else
};

FolderVerdict judge_private_folder(const FolderFacts& facts);
