// The program's private folder on Windows, and the single-copy lock in it.
//
// The folder is <temp>\Trevalon.OnlineInstaller\, where <temp> comes from
// GetTempPath2W when kernel32 has it (Windows 11, Server 2022 and the builds
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
// advapi32 is loaded from System32 at the first call; without it there is no
// private folder, and the run stops with the temporary-directory message.
#include <windows.h>

#include <aclapi.h>

#include <cstring>

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
                                        "GetAce"};
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

// Room for the temporary folder, the private folder's name and a file in it.
constexpr DWORD FOLDER_PATH_UNITS = MAX_PATH + 64;

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
            loaded = read_accounts(g_advapi, &g_accounts);
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

bool make_folder(const wchar_t* path) {
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
    return CreateDirectoryW(path, &attributes) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
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

// Fills path with the private folder, made or checked, without a separator at
// its end, and returns its length; 0 when there is none to be had.
DWORD private_folder(wchar_t (&path)[FOLDER_PATH_UNITS]) {
    if (!ready()) return 0;
    DWORD length = temp_base(path, MAX_PATH + 1);
    if (length == 0) return 0;
    for (const char* c = PRIVATE_FOLDER_NAME; *c != 0; ++c)
        path[length++] = static_cast<wchar_t>(*c);
    path[length] = 0;
    if (judge_private_folder(inspect(path)) == FolderVerdict::create && !make_folder(path)) {
        return 0;
    }
    return judge_private_folder(inspect(path)) == FolderVerdict::use ? length : 0;
}

// The lock file's handle, open without sharing until the process ends. It is
// not inheritable, so the started installer never holds it.
HANDLE g_instance_lock = INVALID_HANDLE_VALUE;

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
    if (g_instance_lock != INVALID_HANDLE_VALUE) return InstanceLock::held;
    wchar_t path[FOLDER_PATH_UNITS];
    DWORD length = private_folder(path);
    if (length == 0) return InstanceLock::unavailable;
    path[length++] = L'\\';
    for (const char* c = INSTANCE_LOCK_FILE; *c != 0; ++c)
        path[length++] = static_cast<wchar_t>(*c);
    path[length] = 0;
    // No sharing at all: while this handle is open, every other open of the
    // file fails with a sharing violation, whoever tries it.
    HANDLE lock = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? InstanceLock::taken
                                                         : InstanceLock::unavailable;
    }
    g_instance_lock = lock;
    return InstanceLock::held;
}
