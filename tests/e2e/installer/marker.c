/* A stand-in for the Trevalon installer in the end-to-end tests and the demo.
 * Started by the online installer once the download is verified, it proves
 * that it ran by writing "<its own path>.ran" with its argument count and the
 * folder it runs in. Built
 * with -DDEMO_MESSAGE="..." it also prints that message, the demo's last line:
 * under Wine a program started through the shell gets a console of its own
 * that no one sees, so the message goes to the file that
 * TREVALON_DEMO_OUTPUT names (the demo passes its terminal, Z:\dev\pts\N)
 * when it is set, and to standard output otherwise. Bytes appended to the
 * file (to give it a realistic size) are ignored by the loader. Its own path
 * is taken and written with the wide calls: it has no manifest that makes
 * UTF-8 its code page, and its folder may be named outside the legacy one.
 * Built with -DHOLD_MS=N it keeps running N ms after writing the file, as a
 * real installer does while the user clicks through it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    (void)argv;
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 3;
    memcpy(path + n, L".ran", 5 * sizeof(wchar_t));
#ifdef DEMO_MESSAGE
    Sleep(300);  // an installer takes a moment; the online installer has ended by then
    const char* output = getenv("TREVALON_DEMO_OUTPUT");
    FILE* tty = output != NULL ? fopen(output, "wb") : NULL;
    if (tty != NULL) {
        fputs(DEMO_MESSAGE "\r\n", tty);
        fclose(tty);
    } else {
        fputs(DEMO_MESSAGE "\n", stdout);
        fflush(stdout);
    }
#endif
    /* The folder it was started in, in UTF-8: the online installer starts it
       in its own private folder, not in the caller's. */
    wchar_t folder[MAX_PATH + 1];
    char folder_utf8[4 * MAX_PATH + 4];
    DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return 5;
    if (WideCharToMultiByte(CP_UTF8, 0, folder, -1, folder_utf8, sizeof folder_utf8, NULL, NULL) ==
        0) {
        return 5;
    }
    FILE* f = _wfopen(path, L"wb");
    if (f == NULL) return 4;
    fprintf(f, "argc=%d\ncwd=%s\n", argc, folder_utf8);
    fclose(f);
#ifdef HOLD_MS
    Sleep(HOLD_MS);
#endif
    return 0;
}
