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
// <name>.<8 hex digits>, with the same descriptor. CreateDirectoryW fails on a
// name that is there, so a folder made so is always the user's own; the run
// takes its lock as it makes it and holds it for its life, and removes the
// fresh folders of earlier runs whose locks nobody holds. Such a run cannot
// resume a part of an earlier one.
//
// advapi32 is loaded from System32 at the first call; without it there is no
// private folder, and the run stops with the temporary-directory message.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>

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

// What the folder at path is: opened as itself, never through a reparse point.
FolderFacts inspect(const wchar_t* path) {
    FolderFacts facts = {};
    HANDLE folder =
        CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        facts.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        return facts;
    }
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
DWORD append(wchar_t* path, DWORD length, const wchar_t* text) {
    while (*text != 0)
        path[length++] = *text++;
    path[length] = 0;
    return length;
}

// The lock file's handle, open without sharing until the process ends. It is
// not inheritable, so the started installer never holds it.
HANDLE g_instance_lock = INVALID_HANDLE_VALUE;

// The fresh folder this process made because the usual one was refused, with
// its separator; empty while there is none.
wchar_t g_fresh[FOLDER_PATH_UNITS];

// Opens the lock file of the folder (path, its separator at length - 1)
// without sharing; INVALID_HANDLE_VALUE when that fails.
HANDLE open_lock(wchar_t* path, DWORD length, DWORD disposition) {
    append(path, length, INSTANCE_LOCK_FILE_W);
    HANDLE lock = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD error = GetLastError();
    path[length] = 0;
    SetLastError(error);
    return lock;
}

// Removes what a fresh folder of an earlier run holds, and the folder, when
// it is this user's alone (as judged for any folder of ours) and no running
// copy holds its lock. The lock goes last, and only when everything else went:
// a started installer that still runs keeps its file, and the folder its lock,
// for the next run to try again. A folder without its lock file is being made.
void remove_stale_fresh_folder(wchar_t* path, DWORD length) {
    if (judge_private_folder(inspect(path)) != FolderVerdict::use) return;
    length = append(path, length, L"\\");
    HANDLE lock = open_lock(path, length, OPEN_EXISTING);
    if (lock == INVALID_HANDLE_VALUE) return;
    append(path, length, L"*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    bool emptied = search != INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const wchar_t* name = found.cFileName;
            if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 ||
                wcscmp(name, INSTANCE_LOCK_FILE_W) == 0) {
                continue;
            }
            append(path, length, name);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !DeleteFileW(path)) {
                emptied = false;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    CloseHandle(lock);
    append(path, length, INSTANCE_LOCK_FILE_W);
    if (emptied && DeleteFileW(path)) {
        path[length - 1] = 0;
        RemoveDirectoryW(path);
    }
}

// Removes the fresh folders of earlier runs in the temporary folder (path,
// base_length units long): "<the folder's name>.<8 hex digits>".
void remove_stale_fresh_folders(wchar_t* path, DWORD base_length) {
    const DWORD length = append(path, base_length, g_folder_name);
    append(path, length, L".*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    const size_t name_length = wcslen(g_folder_name);
    do {
        const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                               (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (directory && wcslen(found.cFileName) == name_length + 9) {
            remove_stale_fresh_folder(path, append(path, base_length, found.cFileName));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// A fresh folder of this run's own, "<the folder's name>.<8 hex digits>" in
// the temporary folder (path, base_length units long), made with the same
// security descriptor. CreateDirectoryW fails when the name is taken, so what
// it makes is always ours; its lock is taken at once, so that no other run
// takes it for an earlier one's. Returns the length without the separator;
// 0 when none can be made.
DWORD fresh_folder(wchar_t (&path)[FOLDER_PATH_UNITS], DWORD base_length) {
    if (g_fresh[0] != 0 && wcsncmp(g_fresh, path, base_length) == 0) {
        const DWORD length = static_cast<DWORD>(wcslen(g_fresh)) - 1;
        wmemcpy(path, g_fresh, length);
        path[length] = 0;
        return judge_private_folder(inspect(path)) == FolderVerdict::use ? length : 0;
    }
    remove_stale_fresh_folders(path, base_length);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t mark = static_cast<uint32_t>(counter.QuadPart) ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 16; ++attempt, mark = mark * 1664525u + 1013904223u) {
        DWORD length = append(path, base_length, g_folder_name);
        path[length++] = L'.';
        for (int shift = 28; shift >= 0; shift -= 4)
            path[length++] = L"0123456789abcdef"[(mark >> shift) & 15];
        path[length] = 0;
        if (!make_folder(path, false)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return 0;
        }
        path[length] = L'\\';
        HANDLE lock = open_lock(path, length + 1, CREATE_NEW);
        path[length] = 0;
        if (lock == INVALID_HANDLE_VALUE ||
            judge_private_folder(inspect(path)) != FolderVerdict::use) {
            // Nothing of ours is left behind: the lock file, then the folder.
            if (lock != INVALID_HANDLE_VALUE) {
                CloseHandle(lock);
                path[length] = L'\\';
                append(path, length + 1, INSTANCE_LOCK_FILE_W);
                DeleteFileW(path);
                path[length] = 0;
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
// run; when anybody else could change what is there, a fresh one is used.
DWORD private_folder(wchar_t (&path)[FOLDER_PATH_UNITS]) {
    if (!ready()) return 0;
    const DWORD base_length = temp_base(path, MAX_PATH + 1);
    if (base_length == 0) return 0;
    const DWORD length = append(path, base_length, g_folder_name);
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
    // No sharing at all: while this handle is open, every other open of the
    // file fails with a sharing violation, whoever tries it.
    HANDLE lock = open_lock(path, length, OPEN_ALWAYS);
    if (lock == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? InstanceLock::taken
                                                         : InstanceLock::unavailable;
    }
    g_instance_lock = lock;
    return InstanceLock::held;
}
