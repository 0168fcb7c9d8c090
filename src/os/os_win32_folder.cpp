// The program's private folder on Windows, and the single-copy lock in it.
//
// The folder is <temp>\Trevalon.OnlineInstaller.<SID>\, named for the user, where
// <temp> comes from GetTempPath2W when kernel32 has it (Windows 11, Server 2022 and the builds
// of Windows 10 that got it): for a process running as SYSTEM it answers
// C:\Windows\SystemTemp\, closed to processes that do not run as SYSTEM,
// instead of C:\Windows\Temp\, where every local user may create files; for
// everybody else it answers what GetTempPathW does, which is used elsewhere.
//
// The folder is made with its own security descriptor: the user owns it,
// and its access list, cut off from the parent's, gives full control to the
// user, SYSTEM and the administrators and to nobody else; what is made in it
// inherits that. A folder that is already there is used only when its owner
// is the user, it is a directory and no reparse point, and nobody else may
// change it (private_folder.hpp decides). The folder is then looked at once
// more, also right after it was made, so that a file system that keeps no
// owners or access lists is refused as well.
//
// A temporary folder that all users share (C:\Temp set by policy, or
// C:\Windows\Temp for SYSTEM without GetTempPath2W) lets anybody make that
// name first. Such a folder blocks nobody: the run makes a fresh one,
// <name>.<8 hex digits from the system's random generator>, with the same
// descriptor, and keeps it for the rest of the run. CreateDirectoryW fails on
// a name that is there, so a folder made so is always the user's own; the run
// takes its lock as it makes it and holds it for its life, and removes the
// fresh folders of earlier runs whose locks nobody holds. Such a run cannot
// resume a part of an earlier one.
//
// The shared folder lets its other users rename what it holds, so an earlier
// run's fresh folder is removed through handles alone: it is opened once, as
// itself and without FILE_SHARE_DELETE, so that nobody can rename it or put a
// link in its place, judged through that handle, listed through it, each
// entry opened relative to it (NtOpenFile, the openat of Windows), checked
// and deleted through its own handle, and the folder last through its own.
//
// advapi32 is loaded from System32 at the first call; without it there is no
// private folder, and the run stops with the temporary-directory message.
// ntdll and bcrypt, loaded the same way, serve only the fresh folders.
#include <windows.h>

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "os/folder_pause.hpp"
#include "os/library.hpp"
#include "os/os.hpp"
#include "os/private_folder.hpp"

namespace {

struct Advapi {
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::CreateWellKnownSid) CreateWellKnownSid;
    decltype(&::EqualSid) EqualSid;
    decltype(&::InitializeAcl) InitializeAcl;
    decltype(&::AddAccessAllowedAceEx) AddAccessAllowedAceEx;
    decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor;
    decltype(&::SetSecurityDescriptorOwner) SetSecurityDescriptorOwner;
    decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl;
    decltype(&::SetSecurityDescriptorControl) SetSecurityDescriptorControl;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::GetAce) GetAce;
    decltype(&::ConvertSidToStringSidW) ConvertSidToStringSidW;
};
const char* const ADVAPI_FUNCTIONS[] = {"OpenProcessToken",
                                        "GetTokenInformation",
                                        "CreateWellKnownSid",
                                        "EqualSid",
                                        "InitializeAcl",
                                        "AddAccessAllowedAceEx",
                                        "InitializeSecurityDescriptor",
                                        "SetSecurityDescriptorOwner",
                                        "SetSecurityDescriptorDacl",
                                        "SetSecurityDescriptorControl",
                                        "GetSecurityInfo",
                                        "GetAce",
                                        "ConvertSidToStringSidW"};
static_assert(sizeof(Advapi) == sizeof ADVAPI_FUNCTIONS, "one name per function");

// The accounts that may hold the folder: the user, SYSTEM, the administrators.
struct Accounts {
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];
    PSID user_sid() { return reinterpret_cast<TOKEN_USER*>(user)->User.Sid; }
};

Advapi g_advapi;
Accounts g_accounts;

// The longest text of a SID: "S-1-", an authority of up to 15 digits and 15
// parts of up to 10 digits, each after a dash.
constexpr DWORD SID_TEXT_UNITS = 4 + 15 + 15 * 11 + 1;
// The private folder's name for this user: "Trevalon.OnlineInstaller.<SID>".
wchar_t g_folder_name[sizeof PRIVATE_FOLDER_NAME + SID_TEXT_UNITS];

constexpr wchar_t INSTANCE_LOCK_FILE_W[] = L"online-installer.lock";
static_assert(sizeof INSTANCE_LOCK_FILE_W == sizeof INSTANCE_LOCK_FILE * sizeof(wchar_t),
              "the same name");

// Room for the temporary folder, the private folder's name with the SID, the
// mark of a fresh folder and a file in it.
constexpr DWORD FOLDER_PATH_UNITS = MAX_PATH + sizeof g_folder_name / sizeof(wchar_t) + 64;

bool well_known(const Advapi& advapi, WELL_KNOWN_SID_TYPE type, unsigned char* sid) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    return advapi.CreateWellKnownSid(type, nullptr, sid, &size) != FALSE;
}

bool read_accounts(const Advapi& advapi, Accounts* accounts) {
    HANDLE token = nullptr;
    if (!advapi.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    const bool user = advapi.GetTokenInformation(token, TokenUser, accounts->user,
                                                 sizeof accounts->user, &size) != FALSE;
    CloseHandle(token);
    return user && well_known(advapi, WinLocalSystemSid, accounts->system) &&
           well_known(advapi, WinBuiltinAdministratorsSid, accounts->administrators);
}

// Spells the private folder's name with the user's SID into g_folder_name.
bool name_folder(const Advapi& advapi, Accounts* accounts) {
    wchar_t* sid = nullptr;
    if (!advapi.ConvertSidToStringSidW(accounts->user_sid(), &sid)) return false;
    DWORD length = 0;
    for (const char* c = PRIVATE_FOLDER_NAME; *c != 0; ++c)
        g_folder_name[length++] = static_cast<wchar_t>(*c);
    g_folder_name[length++] = L'.';
    const size_t sid_length = wcslen(sid);
    const bool fits = length + sid_length < sizeof g_folder_name / sizeof(wchar_t);
    if (fits) wmemcpy(g_folder_name + length, sid, sid_length + 1);
    LocalFree(sid);
    return fits;
}

// advapi32's functions and the accounts, once; false when either is missing.
bool ready() {
    static bool tried = false;
    static bool loaded = false;
    if (!tried) {
        tried = true;
        void* functions[sizeof ADVAPI_FUNCTIONS / sizeof(void*)];
        loaded = resolve_functions(system_library_loader(), "advapi32.dll", ADVAPI_FUNCTIONS,
                                   functions, sizeof functions / sizeof functions[0]);
        if (loaded) {
            static_assert(sizeof functions == sizeof g_advapi, "the same slots");
            std::memcpy(&g_advapi, functions, sizeof g_advapi);
            loaded = read_accounts(g_advapi, &g_accounts) && name_folder(g_advapi, &g_accounts);
        }
    }
    return loaded;
}

Trustee trustee_of(PSID sid) {
    if (g_advapi.EqualSid(sid, g_accounts.user_sid())) return Trustee::user;
    if (g_advapi.EqualSid(sid, g_accounts.system)) return Trustee::system;
    if (g_advapi.EqualSid(sid, g_accounts.administrators)) return Trustee::administrators;
    return Trustee::other;
}

AccessEntry entry_of(PACL list, DWORD index) {
    void* ace = nullptr;
    if (!g_advapi.GetAce(list, index, &ace)) return {Trustee::other, false, false, 0};
    const BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) {
        return {Trustee::other, false, false, 0};
    }
    // Allowing and denying entries have the same layout.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    return {trustee_of(&entry->SidStart), type == ACCESS_ALLOWED_ACE_TYPE, true, entry->Mask};
}

// The part of a path after its last separator.
const wchar_t* last_part(const wchar_t* path) {
    const wchar_t* part = path;
    for (const wchar_t* c = path; *c != 0; ++c) {
        if (*c == L'\\') part = c + 1;
    }
    return part;
}

// Whether the opened folder's own name, the last part of its final path, is
// not the last part of path. Windows opens a reparse point as itself here;
// Wine follows a Unix symbolic link without showing it as one, and only the
// name of the folder it arrived at tells. Asked without the volume's name,
// which some RAM-disk drivers cannot give.
bool named_otherwise(HANDLE folder, const wchar_t* path) {
    wchar_t final_path[FOLDER_PATH_UNITS];
    const DWORD length =
        GetFinalPathNameByHandleW(folder, final_path, FOLDER_PATH_UNITS, VOLUME_NAME_NONE);
    if (length == 0 || length >= FOLDER_PATH_UNITS) return true;
    return CompareStringOrdinal(last_part(final_path), -1, last_part(path), -1, TRUE) != CSTR_EQUAL;
}

// What the folder open as folder (opened by path, as itself) is.
FolderFacts facts_of(HANDLE folder, const wchar_t* path) {
    FolderFacts facts = {};
    facts.exists = true;
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetFileInformationByHandle(folder, &info) &&
        g_advapi.GetSecurityInfo(folder, SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                 nullptr, &list, nullptr, &descriptor) == ERROR_SUCCESS) {
        facts.readable = owner != nullptr;
        facts.is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.is_reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts.named_otherwise = named_otherwise(folder, path);
        if (owner != nullptr) facts.owner = trustee_of(owner);
        facts.has_access_list = list != nullptr;
        if (list != nullptr) {
            facts.entry_count = list->AceCount;
            for (DWORD i = 0; i < list->AceCount && i < FOLDER_MAX_ENTRIES; ++i)
                facts.entries[i] = entry_of(list, i);
        }
        LocalFree(descriptor);
    }
    return facts;
}

// What the folder at path is: opened as itself, never through a reparse point.
FolderFacts inspect(const wchar_t* path) {
    HANDLE folder =
        CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        FolderFacts facts = {};
        facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        return facts;
    }
    const FolderFacts facts = facts_of(folder, path);
    CloseHandle(folder);
    return facts;
}

// Room for the list of three entries of full control.
constexpr DWORD FOLDER_ACL_BYTES =
    sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE);

// Makes the folder at path with its own security descriptor. A folder that is
// there already counts as made only when may_exist: it is judged afterwards.
bool make_folder(const wchar_t* path, bool may_exist) {
    alignas(8) unsigned char list_bytes[FOLDER_ACL_BYTES];
    auto* list = reinterpret_cast<PACL>(list_bytes);
    if (!g_advapi.InitializeAcl(list, sizeof list_bytes, ACL_REVISION)) return false;
    PSID accounts[] = {g_accounts.user_sid(), g_accounts.system, g_accounts.administrators};
    for (PSID account : accounts) {
        if (!g_advapi.AddAccessAllowedAceEx(list, ACL_REVISION,
                                            OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                            FILE_ALL_ACCESS, account)) {
            return false;
        }
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!g_advapi.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !g_advapi.SetSecurityDescriptorOwner(&descriptor, g_accounts.user_sid(), FALSE) ||
        !g_advapi.SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
        !g_advapi.SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return CreateDirectoryW(path, &attributes) != FALSE ||
           (may_exist && GetLastError() == ERROR_ALREADY_EXISTS);
}

// The temporary folder, ending in its separator; its length, 0 when none fits.
DWORD temp_base(wchar_t* base, DWORD capacity) {
    using GetTempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
    auto get_temp_path2 = reinterpret_cast<GetTempPath2>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    const DWORD length =
        get_temp_path2 != nullptr ? get_temp_path2(capacity, base) : GetTempPathW(capacity, base);
    // Too small a buffer makes both report the size they need instead.
    if (length == 0 || length > capacity - 1) return 0;
    return length;
}

// Appends text at path[length], with its terminating zero; the new length.
// 0 when it does not fit, path then ending where it did.
DWORD append(wchar_t (&path)[FOLDER_PATH_UNITS], DWORD length, const wchar_t* text) {
    const size_t text_length = wcslen(text);
    if (length >= FOLDER_PATH_UNITS || text_length >= FOLDER_PATH_UNITS - length) {
        if (length < FOLDER_PATH_UNITS) path[length] = 0;
        return 0;
    }
    wmemcpy(path + length, text, text_length + 1);
    return length + static_cast<DWORD>(text_length);
}

// The lock file's handle, open until the process ends with one byte of it
// locked (LockFileEx). It is not inheritable, so the started installer never
// holds it, and the byte lock goes with the handle.
HANDLE g_instance_lock = INVALID_HANDLE_VALUE;

// The byte that a running copy locks: far past the end of the lock file,
// which stays empty, so that whoever reads the file never meets the lock.
constexpr uint64_t INSTANCE_LOCK_BYTE = 1ull << 40;

// The fresh folder this process made because the usual one was refused, with
// its separator; empty while there is none.
wchar_t g_fresh[FOLDER_PATH_UNITS];

// Antivirus, backup and sync agents open the files of the folder, the lock
// file too, just after a process lets go of them, and hold them for a
// moment, denying writers and delete. A lock file opened without sharing
// would make any such reader look like a second copy ("already running"). So
// the lock is a byte of the file locked with LockFileEx, which only another
// copy of the program takes, on a handle that asks nothing but to read and
// shares reading and writing: it opens beside such a reader, and the reader
// beside it. It does not share deleting: nobody can delete or rename the lock
// file while a copy holds it, and put a new one, free, in its place.
//
// Opens the lock file of the folder (path, its separator at length - 1) with
// access and that sharing, waiting for a file held for a moment
// (HELD_FILE_WAIT_MS), and locks its byte; INVALID_HANDLE_VALUE when either
// fails, with ERROR_LOCK_VIOLATION when the byte is locked already.
HANDLE open_lock(wchar_t (&path)[FOLDER_PATH_UNITS], DWORD length, DWORD disposition,
                 ACCESS_MASK access) {
    if (append(path, length, INSTANCE_LOCK_FILE_W) == 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE lock = INVALID_HANDLE_VALUE;
    const uint64_t start = GetTickCount64();
    uint64_t pause = HELD_FILE_RETRY_FIRST_MS;
    for (;;) {
        lock = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (lock != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount64() - start >= HELD_FILE_WAIT_MS) {
            break;
        }
        Sleep(static_cast<DWORD>(pause));
        pause = pause * 2 < HELD_FILE_RETRY_MAX_MS ? pause * 2 : HELD_FILE_RETRY_MAX_MS;
    }
    DWORD error = GetLastError();
    path[length] = 0;
    if (lock != INVALID_HANDLE_VALUE) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(INSTANCE_LOCK_BYTE);
        at.OffsetHigh = static_cast<DWORD>(INSTANCE_LOCK_BYTE >> 32);
        if (!LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            error = GetLastError();
            CloseHandle(lock);
            lock = INVALID_HANDLE_VALUE;
        }
    }
    SetLastError(error);
    return lock;
}

using OpenFileFunction = decltype(&::NtOpenFile);
using RandomFunction = decltype(&::BCryptGenRandom);

// A function of a library in System32, resolved by the one loader; nullptr
// when the library or the function is missing.
void* system_function(const char* library, const char* name) {
    const char* const names[] = {name};
    void* function = nullptr;
    return resolve_functions(system_library_loader(), library, names, &function, 1) ? function
                                                                                    : nullptr;
}

// Resolved once. Plain statics, not initialised statics: those would take the
// C++ runtime's thread-safe guards and, with them, its exception machinery
// (some 70 KiB of the program); the run resolves these on its main thread.
OpenFileFunction g_nt_open_file = nullptr;
bool g_nt_open_file_tried = false;

OpenFileFunction nt_open_file() {
    if (!g_nt_open_file_tried) {
        g_nt_open_file_tried = true;
        g_nt_open_file =
            reinterpret_cast<OpenFileFunction>(system_function("ntdll.dll", "NtOpenFile"));
    }
    return g_nt_open_file;
}

// Opens the file called name (name_bytes long, not terminated) in the folder
// open as folder, by the folder's handle and not by a path, as itself even
// when it is a reparse point, shared with nobody; INVALID_HANDLE_VALUE when
// that fails, a folder included.
HANDLE open_in_folder(HANDLE folder, const wchar_t* name, DWORD name_bytes, ACCESS_MASK access) {
    const OpenFileFunction open_file = nt_open_file();
    if (open_file == nullptr || name_bytes > 0xfffe) return INVALID_HANDLE_VALUE;
    UNICODE_STRING text;
    text.Length = static_cast<USHORT>(name_bytes);
    text.MaximumLength = static_cast<USHORT>(name_bytes);
    text.Buffer = const_cast<wchar_t*>(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE file = nullptr;
    if (open_file(
            &file, access | SYNCHRONIZE, &attributes, &status, 0,
            FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT) < 0) {
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Marks the file or folder open as file (with DELETE access) for deletion,
// which happens when its last handle closes; a folder must be empty.
bool delete_by_handle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

bool is_name(const FILE_ID_BOTH_DIR_INFO& entry, const wchar_t* name, size_t units) {
    return entry.FileNameLength == units * sizeof(wchar_t) &&
           wmemcmp(entry.FileName, name, units) == 0;
}

// Whether the entry opened is the file that was listed: on the folder's
// volume, the same file id, neither a folder nor a reparse point.
bool is_listed_file(HANDLE file, const FILE_ID_BOTH_DIR_INFO& listed, DWORD volume) {
    BY_HANDLE_FILE_INFORMATION info;
    const auto id = static_cast<uint64_t>(listed.FileId.QuadPart);
    return GetFileInformationByHandle(file, &info) && info.dwVolumeSerialNumber == volume &&
           info.nFileIndexHigh == static_cast<DWORD>(id >> 32) &&
           info.nFileIndexLow == static_cast<DWORD>(id) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Deletes every file of the folder open as folder but its lock, each checked
// and deleted through its own handle; false when anything stays (a folder, a
// reparse point, a file that is open, such as an installer that still runs).
bool remove_entries(HANDLE folder, DWORD volume) {
    alignas(8) unsigned char listing[16384];
    constexpr size_t NAME_AT = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    constexpr size_t LOCK_UNITS = sizeof INSTANCE_LOCK_FILE_W / sizeof(wchar_t) - 1;
    bool emptied = true;
    FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, next, listing, sizeof listing)) {
        next = FileIdBothDirectoryInfo;
        size_t offset = 0;
        for (;;) {
            const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing + offset);
            if (offset + NAME_AT > sizeof listing ||
                entry.FileNameLength > sizeof listing - offset - NAME_AT) {
                return false;
            }
            if (!is_name(entry, L".", 1) && !is_name(entry, L"..", 2) &&
                !is_name(entry, INSTANCE_LOCK_FILE_W, LOCK_UNITS)) {
                HANDLE file = INVALID_HANDLE_VALUE;
                if ((entry.FileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
                    file = open_in_folder(folder, entry.FileName, entry.FileNameLength,
                                          DELETE | FILE_READ_ATTRIBUTES);
                }
                if (file == INVALID_HANDLE_VALUE || !is_listed_file(file, entry, volume) ||
                    !delete_by_handle(file)) {
                    emptied = false;
                }
                if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            }
            if (entry.NextEntryOffset == 0) break;
            offset += entry.NextEntryOffset;
        }
    }
    return emptied && GetLastError() == ERROR_NO_MORE_FILES;
}

// Removes what a fresh folder of an earlier run (at path) holds, and the
// folder, when it is this user's alone (as judged for any folder of ours) and
// no running copy holds its lock. The folder is held from the judgement to
// its removal without FILE_SHARE_DELETE, so nobody can rename it, nor the
// folders above it, and nothing after the open goes by its path. The lock
// goes last, and only when everything else went: a started installer that
// still runs keeps its file, and the folder its lock, for the next run to try
// again. A folder without its lock file is being made.
void remove_stale_fresh_folder(const wchar_t* path) {
    HANDLE folder = CreateFileW(
        path, READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | DELETE | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (judge_private_folder(facts_of(folder, path)) == FolderVerdict::use &&
        GetFileInformationByHandle(folder, &info)) {
        lock = open_in_folder(folder, INSTANCE_LOCK_FILE_W,
                              sizeof INSTANCE_LOCK_FILE_W - sizeof(wchar_t),
                              GENERIC_READ | GENERIC_WRITE | DELETE);
    }
    if (lock != INVALID_HANDLE_VALUE) {
        before_removing_stale_folder(path);
        if (remove_entries(folder, info.dwVolumeSerialNumber) && delete_by_handle(lock)) {
            CloseHandle(lock);
            lock = INVALID_HANDLE_VALUE;
            delete_by_handle(folder);
        }
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    }
    CloseHandle(folder);
}

// Removes the fresh folders of earlier runs in the temporary folder (path,
// base_length units long): "<the folder's name>.<8 hex digits>".
void remove_stale_fresh_folders(wchar_t (&path)[FOLDER_PATH_UNITS], DWORD base_length) {
    const DWORD length = append(path, base_length, g_folder_name);
    if (length == 0 || append(path, length, L".*") == 0) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    const size_t name_length = wcslen(g_folder_name);
    do {
        const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                               (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (directory && wcslen(found.cFileName) == name_length + 9 &&
            append(path, base_length, found.cFileName) != 0) {
            remove_stale_fresh_folder(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Four bytes from the system's random generator, for a fresh folder's name:
// nobody can tell the next name and make it first. False when bcrypt is
// missing or the generator fails.
RandomFunction g_generate = nullptr;
bool g_generate_tried = false;

bool random_mark(uint32_t* mark) {
    if (!g_generate_tried) {
        g_generate_tried = true;
        g_generate =
            reinterpret_cast<RandomFunction>(system_function("bcrypt.dll", "BCryptGenRandom"));
    }
    const RandomFunction generate = g_generate;
    return generate != nullptr && generate(nullptr, reinterpret_cast<PUCHAR>(mark), sizeof *mark,
                                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

// Names that are taken are skipped; so many taken at random means somebody
// makes them as fast as they are tried.
constexpr int FRESH_FOLDER_TRIES = 64;

// A fresh folder of this run's own, "<the folder's name>.<8 hex digits>" in
// the temporary folder (path, base_length units long), made with the same
// security descriptor. CreateDirectoryW fails when the name is taken, so what
// it makes is always ours; its lock is taken at once, so that no other run
// takes it for an earlier one's. Returns the length without the separator;
// 0 when none can be made.
DWORD fresh_folder(wchar_t (&path)[FOLDER_PATH_UNITS], DWORD base_length) {
    remove_stale_fresh_folders(path, base_length);
    for (int attempt = 0; attempt < FRESH_FOLDER_TRIES; ++attempt) {
        uint32_t mark = 0;
        if (!random_mark(&mark)) return 0;
        wchar_t suffix[10] = {L'.'};
        for (int digit = 0; digit < 8; ++digit)
            suffix[1 + digit] = L"0123456789abcdef"[(mark >> (28 - 4 * digit)) & 15];
        DWORD length = append(path, base_length, g_folder_name);
        // Room for the suffix, the separator and the lock file's name.
        if (length == 0 || (length = append(path, length, suffix)) == 0 ||
            length + 1 + sizeof INSTANCE_LOCK_FILE_W / sizeof(wchar_t) > FOLDER_PATH_UNITS) {
            return 0;
        }
        if (!make_folder(path, false)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return 0;
        }
        path[length] = L'\\';
        // Able to delete it, which also keeps everybody else from opening it
        // (none of them shares deleting): a run that removes earlier fresh
        // folders can never take this one's lock between its open and its
        // byte lock.
        HANDLE lock = open_lock(path, length + 1, CREATE_NEW, GENERIC_READ | DELETE);
        path[length] = 0;
        if (lock == INVALID_HANDLE_VALUE ||
            judge_private_folder(inspect(path)) != FolderVerdict::use) {
            // Nothing of ours is left behind: the lock file, then the folder.
            if (lock != INVALID_HANDLE_VALUE) {
                delete_by_handle(lock);
                CloseHandle(lock);
            }
            RemoveDirectoryW(path);
            return 0;
        }
        if (g_instance_lock != INVALID_HANDLE_VALUE) CloseHandle(g_instance_lock);
        g_instance_lock = lock;
        wmemcpy(g_fresh, path, length);
        g_fresh[length] = L'\\';
        g_fresh[length + 1] = 0;
        return length;
    }
    return 0;
}

// Fills path with the private folder, made or checked, without a separator at
// its end, and returns its length; 0 when there is none to be had. The usual
// one, "<temp>\Trevalon.OnlineInstaller.<SID>", keeps a part for the next
// run; when anybody else could change what is there, a fresh one is used,
// and once made it is the answer for the rest of the run, whatever becomes of
// the usual one: its lock is the one this run holds.
DWORD private_folder(wchar_t (&path)[FOLDER_PATH_UNITS]) {
    if (!ready()) return 0;
    const DWORD base_length = temp_base(path, MAX_PATH + 1);
    if (base_length == 0) return 0;
    const DWORD fresh_length = static_cast<DWORD>(wcslen(g_fresh));
    if (fresh_length != 0 && wcsncmp(g_fresh, path, base_length) == 0 &&
        wcschr(g_fresh + base_length, L'\\') == g_fresh + fresh_length - 1) {
        const DWORD length = fresh_length - 1;
        wmemcpy(path, g_fresh, length);
        path[length] = 0;
        return judge_private_folder(inspect(path)) == FolderVerdict::use ? length : 0;
    }
    const DWORD length = append(path, base_length, g_folder_name);
    if (length == 0) return 0;
    FolderVerdict verdict = judge_private_folder(inspect(path));
    if (verdict == FolderVerdict::create) {
        verdict =
            make_folder(path, true) ? judge_private_folder(inspect(path)) : FolderVerdict::refuse;
    }
    return verdict == FolderVerdict::use ? length : fresh_folder(path, base_length);
}

}  // namespace

uint32_t temp_directory(char* dir, uint32_t capacity) {
    wchar_t path[FOLDER_PATH_UNITS];
    DWORD length = private_folder(path);
    if (length == 0 || capacity == 0) return 0;
    path[length++] = L'\\';
    path[length] = 0;
    // In the process's code page, which the rest of the program's file calls
    // take: UTF-8 where the manifest applies (Windows 10 1903 and later), the
    // legacy code page before. A name that the legacy code page cannot spell
    // is no folder those calls could open.
    const UINT code_page = GetACP();
    BOOL lossy = FALSE;
    const int bytes = WideCharToMultiByte(
        code_page, code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, path, -1, dir,
        static_cast<int>(capacity), nullptr, code_page == CP_UTF8 ? nullptr : &lossy);
    // The count includes the terminating zero; 0 also when it does not fit.
    if (bytes <= 1 || lossy) {
        dir[0] = '\0';
        return 0;
    }
    return static_cast<uint32_t>(bytes - 1);
}

InstanceLock take_instance_lock() {
    wchar_t path[FOLDER_PATH_UNITS];
    DWORD length = private_folder(path);
    if (length == 0) return InstanceLock::unavailable;
    // Held already, and always in a fresh folder, whose lock is taken as it is
    // made: no other copy can see that one, nor use the folder, each of them
    // working in its own.
    if (g_instance_lock != INVALID_HANDLE_VALUE) return InstanceLock::held;
    path[length++] = L'\\';
    // Its byte locked means another copy runs. A sharing violation that
    // lasts longer than any scanner's hold is a copy of an earlier version of
    // the program, which opened the file without sharing.
    HANDLE lock = open_lock(path, length, OPEN_ALWAYS, GENERIC_READ);
    if (lock == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION
                   ? InstanceLock::taken
                   : InstanceLock::unavailable;
    }
    g_instance_lock = lock;
    return InstanceLock::held;
}
