// Under Wine: the private temporary folder and the single-copy lock in it.
//   private_folder_check folder        the folder is made, reported and kept
//   private_folder_check name          prints the private folder's name
//   private_folder_check refused NAME  the folder that the script put in its
//                                      place is refused, and a fresh folder
//                                      of our own is used, its lock held
//   private_folder_check start PROGRAM PROGRAM, copied into the private
//                                      folder and started, runs in it
//   private_folder_check lock SLEEPER HEIR
//       the lock is held, a second process finds it taken, SLEEPER is started
//       through shell_open and HEIR as a child that inherits every
//       inheritable handle, and this one exits
//   private_folder_check relock MARK HEIR_MARK
//       while both still run (their markers are there), the lock can be
//       taken again: neither of them holds it
//   private_folder_check swap          while an earlier run's fresh folder is
//                                      removed, held after its judgement,
//                                      it cannot be renamed; the script puts
//                                      a link in its place if it could
// Every line starts with PASS, FAIL or INFO; the exit code counts failures.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "child_process.hpp"
#include "os/folder_pause.hpp"
#include "os/os.hpp"
#include "os/private_folder.hpp"

namespace {

int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    g_failures += !ok;
}

// The folder the program should use: GetTempPathW's (this Wine has no
// GetTempPath2W) followed by the folder's name and the user's SID.
void expected_folder(wchar_t* path, DWORD capacity) {
    DWORD length = GetTempPathW(capacity, path);
    for (const char* c = PRIVATE_FOLDER_NAME; *c != 0; ++c)
        path[length++] = static_cast<wchar_t>(*c);
    path[length++] = L'.';
    path[length] = 0;
    HANDLE token = nullptr;
    unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        wcscat(path, sid);
        LocalFree(sid);
    }
    if (token != nullptr) CloseHandle(token);
}

std::string utf8(const wchar_t* text) {
    char bytes[3 * (MAX_PATH + 256)];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    return bytes;
}

void print_security(const char* label, const wchar_t* path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE file = CreateFileW(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    PSID owner = nullptr;
    PACL list = nullptr;
    char* text = nullptr;
    if (file != INVALID_HANDLE_VALUE &&
        GetSecurityInfo(file, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &list, nullptr, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr)) {
        std::printf("INFO %s: %s\n", label, text);
        LocalFree(text);
    } else {
        std::printf("INFO %s: unreadable (%lu)\n", label, GetLastError());
    }
    if (descriptor != nullptr) LocalFree(descriptor);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int check_folder() {
    wchar_t expected[MAX_PATH + 256];
    expected_folder(expected, MAX_PATH + 1);
    char folder[3 * (MAX_PATH + 256)];
    WideCharToMultiByte(CP_UTF8, 0, expected, -1, folder, sizeof folder, nullptr, nullptr);
    char want[sizeof folder + 1];
    std::snprintf(want, sizeof want, "%s\\", folder);
    char dir[400];
    const uint32_t length = temp_directory(dir, sizeof dir);
    std::printf("INFO temp_directory: %s\n", length != 0 ? dir : "(none)");
    check(length != 0 && std::strcmp(dir, want) == 0, "the temporary directory is the own folder");
    print_security("the folder", expected);
    // A file made in it the way the download makes the part file.
    char part[300];
    std::snprintf(part, sizeof part, "%sexample.part", dir);
    FILE* file = std::fopen(part, "wb");
    check(file != nullptr, "a file can be made in it");
    if (file != nullptr) std::fclose(file);
    wchar_t wide_part[300];
    MultiByteToWideChar(CP_UTF8, 0, part, -1, wide_part, 300);
    print_security("a file made in it", wide_part);
    DeleteFileW(wide_part);
    check(temp_directory(dir, sizeof dir) == length, "a second call uses the folder it made");
    return g_failures;
}

// The folder that the script put in the way: refused, and a fresh folder of
// our own beside it, "<name>.<8 hex digits>\", is used instead; its lock is
// held. Nothing is written into the refused one (the script looks).
int check_refused(const char* name) {
    wchar_t folder[MAX_PATH + 256];
    expected_folder(folder, MAX_PATH + 1);
    print_security(name, folder);
    char dir[400];
    char what[200];
    const uint32_t length = temp_directory(dir, sizeof dir);
    std::printf("INFO temp_directory: %s\n", length != 0 ? dir : "(none)");
    const std::string usual = utf8(folder) + ".";
    bool fresh = length == usual.size() + 9 &&
                 std::strncmp(dir, usual.c_str(), usual.size()) == 0 && dir[length - 1] == '\\';
    for (size_t i = usual.size(); fresh && i < length - 1; ++i)
        fresh = std::strchr("0123456789abcdef", dir[i]) != nullptr;
    std::snprintf(what, sizeof what, "%s: a fresh folder of our own is used instead", name);
    check(fresh, what);
    wchar_t wide[400];
    MultiByteToWideChar(CP_UTF8, 0, dir, -1, wide, 400);
    print_security("the fresh folder", wide);
    wide[wcslen(wide) - 1] = 0;
    HANDLE opened = CreateFileW(wide, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool owned = opened != INVALID_HANDLE_VALUE &&
                       GetSecurityInfo(opened, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                       nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                       owner != nullptr;
    char* owner_text = nullptr;
    if (owned && ConvertSidToStringSidA(owner, &owner_text)) {
        std::printf("INFO its owner: %s\n", owner_text);
        LocalFree(owner_text);
    }
    if (descriptor != nullptr) LocalFree(descriptor);
    if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
    std::snprintf(what, sizeof what, "%s: its owner can be read", name);
    check(owned, what);
    char again[400];
    std::snprintf(what, sizeof what, "%s: the same fresh folder for the rest of the run", name);
    check(temp_directory(again, sizeof again) == length && std::strcmp(again, dir) == 0, what);
    std::snprintf(what, sizeof what, "%s: the lock in it is held", name);
    check(take_instance_lock() == InstanceLock::held, what);
    char lock[450];
    std::snprintf(lock, sizeof lock, "%s%s", dir, INSTANCE_LOCK_FILE);
    std::snprintf(what, sizeof what, "%s: another process cannot open the lock", name);
    HANDLE other = CreateFileA(lock, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    check(other == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION, what);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    return g_failures;
}

// Prints the private folder's name, for the script.
int print_name() {
    wchar_t folder[MAX_PATH + 256];
    expected_folder(folder, MAX_PATH + 1);
    const wchar_t* name = std::wcsrchr(folder, L'\\');
    std::printf("%s\n", utf8(name != nullptr ? name + 1 : folder).c_str());
    return 0;
}

// A program put in the private folder and started through shell_open runs
// in that folder, not in this process's current one: its marker says where.
int check_start(const char* program) {
    char dir[400];
    const uint32_t length = temp_directory(dir, sizeof dir);
    check(length != 0, "there is a private folder");
    if (length == 0) return g_failures;
    char copy[450];
    std::snprintf(copy, sizeof copy, "%smarker.exe", dir);
    check(CopyFileA(program, copy, FALSE) != FALSE, "a program is put in the private folder");
    char current[MAX_PATH + 1];
    GetCurrentDirectoryA(sizeof current, current);
    std::printf("INFO this process runs in %s\n", current);
    check(shell_open(copy) > 32, "it is started through shell_open");
    char marker[460];
    std::snprintf(marker, sizeof marker, "%s.ran", copy);
    bool ran = false;
    for (int i = 0; i < 100 && !ran; ++i) {
        HANDLE f =
            CreateFileA(marker, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            char folder[MAX_PATH + 1] = {};
            DWORD got = 0;
            ran = ReadFile(f, folder, MAX_PATH, &got, nullptr) && got != 0;
            CloseHandle(f);
            if (ran) {
                std::printf("INFO it ran in %s\n", folder);
                dir[length - 1] = 0;
                check(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, folder, -1, dir, -1) ==
                          CSTR_EQUAL,
                      "its working folder is the private folder");
            }
        }
        if (!ran) Sleep(100);
    }
    check(ran, "it ran");
    DeleteFileA(marker);
    DeleteFileA(copy);
    return g_failures;
}

// The swap: set by the swap command, for the removal it sets off.
bool g_swap = false;

// A file in the temporary folder, where the script meets this process.
std::wstring in_temp(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + name;
}

}  // namespace

// The worst moment: the folder has been judged, and nothing in it is removed
// yet. Another user of a shared temporary folder may rename its entries;
// here that user tries to move the judged folder aside, tells the script
// (swap.judged says "moved" or "refused"), which puts a link in its place if
// the name is free, and waits for it (swap.linked).
void before_removing_stale_folder(const wchar_t* folder) {
    if (!g_swap) return;
    const std::wstring aside = std::wstring(folder) + L".aside";
    const bool moved = MoveFileExW(folder, aside.c_str(), 0) != FALSE;
    std::printf("INFO moving the judged folder aside: %s (%lu)\n", moved ? "done" : "refused",
                moved ? 0ul : GetLastError());
    check(!moved, "the folder being removed cannot be renamed");
    HANDLE judged = CreateFileW(in_temp(L"swap.judged").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const char* said = moved ? "moved" : "refused";
    if (judged != INVALID_HANDLE_VALUE) {
        WriteFile(judged, said, static_cast<DWORD>(std::strlen(said)), &written, nullptr);
        CloseHandle(judged);
    }
    bool linked = false;
    for (int i = 0; i < 200 && !linked; ++i) {
        linked = GetFileAttributesW(in_temp(L"swap.linked").c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!linked) Sleep(100);
    }
    check(linked, "the script answered");
}

namespace {

// Removes the earlier runs' fresh folders with the swap armed, and makes a
// fresh folder of its own.
int check_swap() {
    g_swap = true;
    char dir[400];
    const uint32_t length = temp_directory(dir, sizeof dir);
    std::printf("INFO temp_directory: %s\n", length != 0 ? dir : "(none)");
    check(length != 0, "a fresh folder of our own is used");
    return g_failures;
}

int take(const char* self) {
    char command[MAX_PATH + 16];
    std::snprintf(command, sizeof command, "\"%s\" try", self);
    return run_child(command, true, true);
}

int lock_result(InstanceLock lock) {
    return lock == InstanceLock::held ? 0 : lock == InstanceLock::taken ? 1 : 2;
}

int check_lock(const char* self, const char* sleeper, const char* heir) {
    check(take_instance_lock() == InstanceLock::held, "the lock is taken");
    check(take_instance_lock() == InstanceLock::held, "taking it again in the same process holds");
    check(take(self) == 1, "a second process finds it taken");
    const intptr_t started = shell_open(sleeper);
    check(started > 32, "a program is started through shell_open");
    // Inheriting on purpose: the lock's handle must not be inheritable.
    check(run_child(heir, true, false) == 0, "a child that inherits handles is started");
    return g_failures;
}

// Waits up to ten seconds for the file to exist.
bool appears(const char* path) {
    for (int i = 0; i < 100; ++i) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(100);
    }
    return false;
}

int check_relock(const char* marker, const char* heir_marker) {
    check(appears(marker) && appears(heir_marker), "the started programs run");
    check(take_instance_lock() == InstanceLock::held,
          "with the first copy gone, the lock is free although the programs it started run");
    check(GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES &&
              GetFileAttributesA(heir_marker) != INVALID_FILE_ATTRIBUTES,
          "the started programs still ran then");
    return g_failures;
}

}  // namespace

int main(int argc, char** argv) {
    restrict_library_search();
    if (argc == 2 && std::strcmp(argv[1], "try") == 0) return lock_result(take_instance_lock());
    if (argc == 2 && std::strcmp(argv[1], "folder") == 0) return check_folder();
    if (argc == 2 && std::strcmp(argv[1], "name") == 0) return print_name();
    if (argc == 2 && std::strcmp(argv[1], "swap") == 0) return check_swap();
    if (argc == 3 && std::strcmp(argv[1], "start") == 0) return check_start(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "refused") == 0) return check_refused(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "lock") == 0) {
        return check_lock(argv[0], argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "relock") == 0) return check_relock(argv[2], argv[3]);
    return 64;
}
