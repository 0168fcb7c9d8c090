/* Started by the shell: writes MARKER (its own path with ".running") at once,
   sleeps fifteen seconds, then removes it. */
#include <windows.h>

int main(void) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatA(path, ".running");
    HANDLE f = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(f);
    Sleep(15000);
    DeleteFileA(path);
    return 0;
}
