/* Writes MARKER beside itself (its own path with ".ran"), holding the folder
   it was started in. */
#include <windows.h>

int main(void) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatA(path, ".ran");
    char folder[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return 1;
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(f, folder, length, &written, NULL) && written == length;
    CloseHandle(f);
    return ok ? 0 : 1;
}
