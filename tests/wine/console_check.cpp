// Under Wine, in a terminal: the installer gives the console back as it found
// it. This program shares its console with the installer, which it starts
// twice: once to run to its end (nothing is reachable, so it ends with 1 at
// once, the console being shared), once stopped by a Ctrl+C as soon as it has
// taken the console. Before each start the console has code pages other
// than UTF-8 and QuickEdit on; while the installer runs, the output code page
// is seen to be UTF-8 and QuickEdit off; after it ends, the code pages and
// the input mode are those of before. The lines go to RESULT_FILE, since the
// console is the installer's too.
//
//   console_check.exe INSTALLER RESULT_FILE
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr UINT OUTPUT_CODE_PAGE = 437;
constexpr UINT INPUT_CODE_PAGE = 850;
constexpr UINT UTF8 = 65001;
constexpr DWORD CTRL_C_EXIT_CODE = 0xC000013A;

std::FILE* g_out = nullptr;
int failures = 0;

void check(bool ok, const char* what) {
    std::fprintf(g_out, "%s %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(g_out);
    if (!ok) ++failures;
}

BOOL WINAPI stay(DWORD) {
    return TRUE;  // the Ctrl+C is meant for the installer
}

struct Seen {
    bool utf8;            // the output code page was UTF-8
    bool quick_edit_off;  // QuickEdit was off
    DWORD exit_code;
};

// Starts the installer on this console and watches the console until it
// ends; with interrupt, sends Ctrl+C to the console once the installer has
// set its code page.
bool run_installer(const char* installer, bool interrupt, Seen* seen) {
    *seen = Seen{};
    char command[3 * MAX_PATH];
    std::snprintf(command, sizeof command, "\"%s\"", installer);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    bool interrupted = false;
    const ULONGLONG until = GetTickCount64() + 60000;
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT && GetTickCount64() < until) {
        DWORD mode = 0;
        if (GetConsoleOutputCP() == UTF8) seen->utf8 = true;
        if (GetConsoleMode(input, &mode) && (mode & ENABLE_QUICK_EDIT_MODE) == 0)
            seen->quick_edit_off = true;
        if (interrupt && !interrupted && seen->utf8) {
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            interrupted = true;
        }
    }
    const bool ended = WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 255);
    GetExitCodeProcess(process.hProcess, &seen->exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ended;
}

// The console as the user has it: not UTF-8, QuickEdit on. False when it
// cannot be set.
bool set_users_console(DWORD* mode) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD current = 0;
    if (!SetConsoleOutputCP(OUTPUT_CODE_PAGE) || !SetConsoleCP(INPUT_CODE_PAGE) ||
        !GetConsoleMode(input, &current) ||
        !SetConsoleMode(input, current | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE) ||
        !GetConsoleMode(input, mode)) {
        return false;
    }
    return (*mode & ENABLE_QUICK_EDIT_MODE) != 0;
}

void after_run(const char* label, DWORD mode) {
    char what[160];
    DWORD now = 0;
    GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &now);
    std::snprintf(what, sizeof what, "%s: the code pages are given back (%u, %u)", label,
                  GetConsoleOutputCP(), GetConsoleCP());
    check(GetConsoleOutputCP() == OUTPUT_CODE_PAGE && GetConsoleCP() == INPUT_CODE_PAGE, what);
    std::snprintf(what, sizeof what, "%s: the input mode is given back (0x%lx, was 0x%lx)", label,
                  static_cast<unsigned long>(now), static_cast<unsigned long>(mode));
    check(now == mode, what);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    g_out = std::fopen(argv[2], "w");
    if (g_out == nullptr) return 2;
    SetConsoleCtrlHandler(stay, TRUE);

    DWORD mode = 0;
    check(set_users_console(&mode), "the console takes other code pages and QuickEdit on");
    Seen seen;
    check(run_installer(argv[1], false, &seen) && seen.exit_code == 1,
          "a run that ends: exit code 1 (nothing reachable)");
    check(seen.utf8 && seen.quick_edit_off, "while it runs: UTF-8 and QuickEdit off");
    after_run("a run that ends", mode);

    check(set_users_console(&mode), "the console is set as before again");
    const bool ended = run_installer(argv[1], true, &seen);
    char what[160];
    std::snprintf(what, sizeof what,
                  "a run stopped by Ctrl+C ends as Ctrl+C ends a program (exit code 0x%lx)",
                  static_cast<unsigned long>(seen.exit_code));
    // Windows ends the program with STATUS_CONTROL_C_EXIT; Wine 8's default
    // handler with 0. Left alone, the run here ends with 1.
    check(ended && (seen.exit_code == CTRL_C_EXIT_CODE || seen.exit_code == 0), what);
    after_run("a run stopped by Ctrl+C", mode);
    std::fclose(g_out);
    return failures == 0 ? 0 : 1;
}
