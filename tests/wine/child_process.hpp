// Starting a second process from a Wine check program.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

// Starts the command line; with wait, returns the child's exit code (255 when
// it did not end within 30 s), without, 0 once it started. -1 when it could
// not be started. inherit passes every inheritable handle on to it.
inline int run_child(const char* command_line, bool inherit, bool wait) {
    char command[3 * MAX_PATH];
    std::snprintf(command, sizeof command, "%s", command_line);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, inherit ? TRUE : FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return -1;
    }
    DWORD code = 0;
    if (wait) {
        code = 255;
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &code);
        }
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(code);
}
