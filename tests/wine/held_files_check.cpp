// Under Wine: the files of the private folder against a scanner, a second
// process that opens a file as soon as its writer lets go of it and holds it
// for a moment, shared for reading only (it denies writers and delete), as
// antivirus, backup and sync agents do. Run as
//   held_files_check check HOLD_MS
// it plays the part, the installer, the record of the ranges and the lock in
// turn against a scanner that holds each for HOLD_MS (within
// HELD_FILE_WAIT_MS):
//   - the part, closed and held, still takes the installer's name;
//   - an installer that is held is still replaced;
//   - a record that is held is still opened for writing;
//   - a lock file that is held is no other copy: a second process takes the
//     lock, and finds it taken only while another copy holds it.
// Each case first shows that the hold is real (the same call without waiting
// fails). The other modes are the check's own second processes:
//   held_files_check scanner PATH HOLD_MS   the scanner
//   held_files_check copy                   take_instance_lock(): 0 held,
//                                           1 taken, 2 unavailable
// Every line starts with PASS, FAIL or INFO; the exit code counts failures.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process.hpp"
#include "os/os.hpp"
#include "os/private_folder.hpp"

namespace {

constexpr char HOLDING_EVENT[] = "Local\\TrevalonScannerHolding";
constexpr DWORD SCANNER_LOOKS_MS = 20000;  // how long the scanner waits for its file

int g_failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

// The scanner: opens the file as soon as it can, shared for reading only,
// says so through the event, holds it, and lets go.
int scan(const char* path, DWORD hold_ms) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, HOLDING_EVENT);
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < SCANNER_LOOKS_MS) {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            if (event != nullptr) SetEvent(event);
            Sleep(hold_ms);
            CloseHandle(file);
            return 0;
        }
        Sleep(1);
    }
    return 1;
}

// A second copy of the program asking for the lock.
int copy() {
    const InstanceLock lock = take_instance_lock();
    return lock == InstanceLock::held ? 0 : lock == InstanceLock::taken ? 1 : 2;
}

struct Scanner {
    HANDLE process;
    HANDLE event;
};

Scanner start_scanner(const char* self, const std::string& path, DWORD hold_ms) {
    Scanner s{nullptr, CreateEventA(nullptr, TRUE, FALSE, HOLDING_EVENT)};
    ResetEvent(s.event);
    char command[3 * MAX_PATH];
    std::snprintf(command, sizeof command, "\"%s\" scanner \"%s\" %lu", self, path.c_str(),
                  static_cast<unsigned long>(hold_ms));
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        s.process = process.hProcess;
    }
    return s;
}

// Whether the scanner holds its file within 10 s.
bool holds(const Scanner& s) {
    return s.process != nullptr && WaitForSingleObject(s.event, 10000) == WAIT_OBJECT_0;
}

// Waits for the scanner to end; whether it held its file and let go.
bool ended(Scanner& s) {
    DWORD code = 1;
    if (s.process != nullptr && WaitForSingleObject(s.process, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(s.process, &code);
    if (s.process != nullptr) CloseHandle(s.process);
    CloseHandle(s.event);
    s.process = nullptr;
    return code == 0;
}

bool write_text(const std::string& path, const char* text) {
    std::FILE* file = open_file(path.c_str(), "wb");
    if (file == nullptr) return false;
    const size_t length = std::strlen(text);
    const bool written = std::fwrite(text, 1, length, file) == length;
    return std::fclose(file) == 0 && written;
}

std::string read_text(const std::string& path) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return "(none)";
    char buffer[256];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    std::fclose(file);
    return text;
}

std::string with_hold(const char* what, DWORD hold_ms) {
    return std::string(what) + " (held " + std::to_string(hold_ms) + " ms)";
}

// The part, written and closed, is taken by the scanner at once; its move
// into place waits for it.
void the_part(const char* self, const std::string& dir, DWORD hold_ms) {
    const std::string part = dir + "online-installer.part";
    const std::string installer = dir + "Trevalon-setup.exe";
    DeleteFileA(installer.c_str());
    std::FILE* file = open_file(part.c_str(), "wb");
    check(file != nullptr, with_hold("the part is made", hold_ms));
    if (file == nullptr) return;
    Scanner scanner = start_scanner(self, part, hold_ms);
    std::fputs("the whole release", file);
    Sleep(200);  // the scanner waits while the part is open for writing
    check(WaitForSingleObject(scanner.event, 0) == WAIT_TIMEOUT,
          with_hold("the scanner cannot open the part while it is written", hold_ms));
    std::fclose(file);
    check(holds(scanner), with_hold("the scanner holds the part once it is closed", hold_ms));
    check(!move_file_replacing_at_once(part.c_str(), installer.c_str()),
          with_hold("a move that does not wait fails while the part is held", hold_ms));
    const ULONGLONG start = GetTickCount64();
    check(move_file_replacing(part.c_str(), installer.c_str()),
          with_hold("the part takes the installer's name", hold_ms));
    std::printf("INFO the move waited %llu ms\n",
                static_cast<unsigned long long>(GetTickCount64() - start));
    check(read_text(installer) == "the whole release",
          with_hold("the installer is the part", hold_ms));
    check(ended(scanner), with_hold("the scanner let go of the part", hold_ms));
}

// An installer at the installer path, held: the next part still replaces it.
void the_installer(const char* self, const std::string& dir, DWORD hold_ms) {
    const std::string part = dir + "online-installer.part";
    const std::string installer = dir + "Trevalon-setup.exe";
    check(write_text(installer, "an earlier installer"),
          with_hold("an installer is there", hold_ms));
    Scanner scanner = start_scanner(self, installer, hold_ms);
    check(holds(scanner), with_hold("the scanner holds the installer", hold_ms));
    check(write_text(part, "the next release"), with_hold("a part is made", hold_ms));
    check(!move_file_replacing_at_once(part.c_str(), installer.c_str()),
          with_hold("a move that does not wait cannot replace the held installer", hold_ms));
    check(move_file_replacing(part.c_str(), installer.c_str()),
          with_hold("the part replaces the installer", hold_ms));
    check(read_text(installer) == "the next release",
          with_hold("the installer is the part", hold_ms));
    HeldFile* held = hold_file(installer.c_str());
    check(held != nullptr, with_hold("the installer is held for its check", hold_ms));
    if (held != nullptr) release_file(held);
    check(ended(scanner), with_hold("the scanner let go of the installer", hold_ms));
}

// The record of the ranges, held: opening it for writing waits.
void the_record(const char* self, const std::string& dir, DWORD hold_ms) {
    const std::string record = dir + "online-installer.part.ranges";
    check(write_text(record, "ranges"), with_hold("a record is there", hold_ms));
    Scanner scanner = start_scanner(self, record, hold_ms);
    check(holds(scanner), with_hold("the scanner holds the record", hold_ms));
    std::FILE* at_once = std::fopen(record.c_str(), "r+b");
    check(at_once == nullptr, with_hold("std::fopen cannot write to the held record", hold_ms));
    if (at_once != nullptr) std::fclose(at_once);
    std::FILE* file = open_file(record.c_str(), "r+b");
    check(file != nullptr, with_hold("open_file writes to the record once it is let go", hold_ms));
    if (file != nullptr) std::fclose(file);
    check(ended(scanner), with_hold("the scanner let go of the record", hold_ms));
    DeleteFileA(record.c_str());
}

int run_copy(const char* self) {
    char command[2 * MAX_PATH];
    std::snprintf(command, sizeof command, "\"%s\" copy", self);
    return run_child(command, false, true);
}

// The lock file, held by a scanner, is no other copy.
void the_lock(const char* self, const std::string& dir, DWORD hold_ms) {
    const std::string lock = dir + INSTANCE_LOCK_FILE;
    check(run_copy(self) == 0, with_hold("a copy takes the lock and ends", hold_ms));
    Scanner scanner = start_scanner(self, lock, hold_ms);
    check(holds(scanner), with_hold("the scanner holds the lock file", hold_ms));
    const ULONGLONG start = GetTickCount64();
    check(run_copy(self) == 0, with_hold("a copy takes the lock beside the scanner", hold_ms));
    check(GetTickCount64() - start < hold_ms || hold_ms < 1000,
          with_hold("without waiting for the scanner", hold_ms));
    check(take_instance_lock() == InstanceLock::held,
          with_hold("this copy takes the lock beside the scanner", hold_ms));
    check(run_copy(self) == 1, with_hold("a second copy finds it taken", hold_ms));
    check(ended(scanner), with_hold("the scanner let go of the lock file", hold_ms));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "scanner") == 0)
        return scan(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
    if (argc == 2 && std::strcmp(argv[1], "copy") == 0) return copy();
    if (argc != 3 || std::strcmp(argv[1], "check") != 0) return 2;
    const DWORD hold_ms = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    char dir[400];
    if (temp_directory(dir, sizeof dir) == 0) {
        check(false, "the private folder");
        return g_failures;
    }
    the_part(argv[0], dir, hold_ms);
    the_installer(argv[0], dir, hold_ms);
    the_record(argv[0], dir, hold_ms);
    the_lock(argv[0], dir, hold_ms);
    return g_failures;
}
