/* Writes the file named by its one argument-less run: MARKER beside itself. */
#include <windows.h>

int main(void) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatA(path, ".ran");
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(f);
    return 0;
}
