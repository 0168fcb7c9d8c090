// Operating-system services on Windows. Console text is UTF-8 throughout the
// program; when standard output is a console it is converted to UTF-16 and
// written with WriteConsoleW, because byte-wise stdio on a console depends on
// the console's code page and font handling (and Wine's terminal bridge garbles
// UTF-8 written that way), while wide console writes show correctly. Output to
// a pipe or file stays the program's UTF-8 bytes, written through stdio in text
// mode, so each "\n" reaches it as CR LF.
//
// Output to a pipe or a file is flushed after every print, so that a log shows
// each stage as it happens instead of all of it at the end.
//
// A console that counts this process alone is one Windows made for it (the
// program was double-clicked), and it closes the moment the program exits; a
// shell that shares its console counts itself and any helper too.
//
// For the run the console's code pages are UTF-8 and its QuickEdit mode is
// off: on the classic console a click starts a selection that blocks every
// write to the console until it ends, and the main thread, which alone
// drives the streams, would wait with it while servers drop the connections.
// The user's console is given back its code pages and input mode when the
// program exits, after a Ctrl+C, Ctrl+Break or a closed window too.
#include <windows.h>

#include <shellapi.h>
#include <winioctl.h>

#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/library.hpp"
#include "os/os.hpp"

namespace {

// Room for the longest formatted message, the launch warning with a
// 539-character path, several times over. A longer formatted text is written
// through stdio unconverted rather than cut; plain lines of any length are
// converted piece by piece.
constexpr int OUT_BUFFER_BYTES = 2048;

char g_text[OUT_BUFFER_BYTES];
wchar_t g_wide[OUT_BUFFER_BYTES];  // UTF-16 never needs more units than UTF-8 has bytes

// The console handle behind standard output, or nullptr when it is redirected.
HANDLE console_output() {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return nullptr;
    }
    return handle;
}

// Writes one piece that fits the wide buffer; false when the console refused it.
bool write_console(HANDLE console, const char* text, int length) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text, length, g_wide, OUT_BUFFER_BYTES);
    if (units <= 0) return false;
    DWORD written = 0;
    return WriteConsoleW(console, g_wide, static_cast<DWORD>(units), &written, nullptr) != FALSE;
}

void write_text(const char* text, size_t length) {
    HANDLE console = console_output();
    if (console != nullptr) {
        (void)std::fflush(stdout);  // whatever stdio still holds goes first
        while (length > 0) {
            // Pieces end on a character boundary, never inside a UTF-8 sequence.
            size_t piece = length;
            if (piece > OUT_BUFFER_BYTES) {
                piece = OUT_BUFFER_BYTES;
                while (piece > OUT_BUFFER_BYTES - 4 && (text[piece] & 0xC0) == 0x80)
                    --piece;
            }
            if (!write_console(console, text, static_cast<int>(piece))) break;
            text += piece;
            length -= piece;
        }
        if (length == 0) return;
    }
    (void)std::fwrite(text, 1, length, stdout);
}

void write_formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(g_text, sizeof g_text, format, args);
    if (length >= 0 && length < OUT_BUFFER_BYTES) {
        write_text(g_text, static_cast<size_t>(length));
    } else if (length >= OUT_BUFFER_BYTES) {
        (void)std::fflush(stdout);
        (void)std::vfprintf(stdout, format, again);
    }
    va_end(again);
}

// The console as the program found it; 0 where there was nothing to take.
UINT g_output_code_page = 0;
UINT g_input_code_page = 0;
DWORD g_input_mode = 0;
bool g_input_mode_taken = false;
LONG g_console_restored = 1;  // 0 while the run holds the console's settings

void restore_console() {
    if (InterlockedExchange(&g_console_restored, 1) != 0) return;
    if (g_output_code_page != 0) SetConsoleOutputCP(g_output_code_page);
    if (g_input_code_page != 0) SetConsoleCP(g_input_code_page);
    if (!g_input_mode_taken) return;
    // QuickEdit comes back on only together with ENABLE_EXTENDED_FLAGS.
    DWORD mode = g_input_mode;
    if ((mode & ENABLE_QUICK_EDIT_MODE) != 0) mode |= ENABLE_EXTENDED_FLAGS;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), mode);
}

// Runs on a thread of its own; the next handler (the default one, which
// ends the process) still runs.
BOOL WINAPI restore_on_signal(DWORD) {
    restore_console();
    return FALSE;
}

}  // namespace

void set_console_utf8() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // The console as the user has it, taken once until it is given back.
    if (g_console_restored != 0) {
        g_output_code_page = GetConsoleOutputCP();
        g_input_code_page = GetConsoleCP();
        g_input_mode_taken = input != nullptr && input != INVALID_HANDLE_VALUE &&
                             GetConsoleMode(input, &g_input_mode) != FALSE;
        InterlockedExchange(&g_console_restored, 0);
        static bool registered = false;
        if (!registered) {
            registered = true;
            std::atexit(restore_console);
            SetConsoleCtrlHandler(restore_on_signal, TRUE);
        }
    }
    SetConsoleOutputCP(CONSOLE_CODE_PAGE_UTF8);
    SetConsoleCP(CONSOLE_CODE_PAGE_UTF8);
    // QuickEdit is changed only together with ENABLE_EXTENDED_FLAGS.
    if (g_input_mode_taken) {
        SetConsoleMode(input, (g_input_mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE);
    }
}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_formatted(format, args);
    va_end(args);
    (void)std::fflush(stdout);
}

void out_line(const char* text) {
    write_text(text, std::strlen(text));
    write_text("\n", 1);
    (void)std::fflush(stdout);
}

void out_flush() {
    (void)std::fflush(stdout);
}

uint64_t tick_ms() {
    return GetTickCount64();
}

bool delete_file(const char* path) {
    return DeleteFileA(path) != FALSE;
}

// shell32 is taken from System32 when the launch comes, not imported: under
// Wine its own imports (user32, and through it version.dll) would otherwise be
// looked for beside the program while the process starts, before main could
// restrict the search. Without it the launch fails as the shell does when it
// cannot start anything. The program starts in the folder that holds it, our
// private one, not the caller's (often Downloads): the base of its relative
// paths and the last place where it looks for a DLL.
intptr_t shell_open(const char* path) {
    const char* const names[] = {"ShellExecuteA"};
    void* function = nullptr;
    if (!resolve_functions(system_library_loader(), "shell32.dll", names, &function, 1)) {
        return SE_ERR_OOM;
    }
    char folder[MAX_PATH * 3];
    const char* separator = std::strrchr(path, '\\');
    size_t length = separator != nullptr ? static_cast<size_t>(separator - path) : 0;
    if (length != 0 && path[length - 1] == ':') ++length;  // a drive's root keeps its separator
    if (length >= sizeof folder) return SE_ERR_OOM;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    auto execute = reinterpret_cast<decltype(&ShellExecuteA)>(function);
    HINSTANCE result =
        execute(nullptr, "open", path, nullptr, length != 0 ? folder : nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(result);
}

HeldFile* hold_file(const char* path) {
    // Shared for reading only: while the handle is open, nobody (this process
    // included) can open the file for writing, rename or delete it, and a
    // file that someone already holds for writing is not opened at all. The
    // loader may still map it for the launch: that asks only to read and run.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return reinterpret_cast<HeldFile*>(file);
}

bool read_held_file(HeldFile* file, void* buffer, uint32_t capacity, uint32_t* count) {
    DWORD read = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, capacity, &read, nullptr)) return false;
    *count = read;
    return true;
}

bool read_held_file_at(HeldFile* file, uint64_t offset, void* buffer, uint32_t capacity,
                       uint32_t* count) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > INT64_MAX ||
        !SetFilePointerEx(reinterpret_cast<HANDLE>(file), position, nullptr, FILE_BEGIN))
        return false;
    // A file's ReadFile stops short only at its end.
    return read_held_file(file, buffer, capacity, count);
}

void release_file(HeldFile* file) {
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool console_is_own() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) {
        return false;
    }
    if (console_output() == nullptr) return false;
    // With room for two, a shared console reports 2 or more (the count it
    // would need when there are more) and a lone one 1.
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void wait_for_enter() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // Keys pressed while the run was busy would otherwise answer the prompt
    // before it could be read.
    (void)FlushConsoleInputBuffer(input);
    wchar_t keys[64];
    DWORD count = 0;
    while (ReadConsoleW(input, keys, 64, &count, nullptr) && count > 0) {
        for (DWORD i = 0; i < count; ++i) {
            if (keys[i] == L'\r' || keys[i] == L'\n') return;
        }
    }
}

// ---- Local conditions: free space, a download moved into place (the single-copy
// lock is in os_win32_folder.cpp, beside the folder it lives in).

bool free_disk_space(const char* dir, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(dir, &available, nullptr, nullptr)) return false;
    *bytes = available.QuadPart;
    return true;
}

bool file_size(const char* path, uint64_t* bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    *bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

namespace {

// The errors of a file that another process holds open without sharing what
// we ask: a sharing violation (an open's access or a rename against its share
// mode), a lock violation (a byte range locked), and access denied, which a
// move over a file that is open, or of a file that is being scanned, gives.
bool held_by_another(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Tries attempt() until it succeeds, fails for another reason, or
// HELD_FILE_WAIT_MS have passed, pausing HELD_FILE_RETRY_FIRST_MS and then
// twice as long each time up to HELD_FILE_RETRY_MAX_MS. attempt() gives
// true on success and leaves the error in GetLastError() otherwise.
template <typename Attempt>
bool try_while_held(Attempt attempt) {
    const uint64_t start = GetTickCount64();
    uint64_t pause = HELD_FILE_RETRY_FIRST_MS;
    for (;;) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        const uint64_t waited = GetTickCount64() - start;
        if (!held_by_another(error) || waited >= HELD_FILE_WAIT_MS) {
            SetLastError(error);
            return false;
        }
        const uint64_t left = HELD_FILE_WAIT_MS - waited;
        Sleep(static_cast<DWORD>(pause < left ? pause : left));
        pause = pause * 2 < HELD_FILE_RETRY_MAX_MS ? pause * 2 : HELD_FILE_RETRY_MAX_MS;
    }
}

}  // namespace

bool move_file_replacing(const char* from, const char* to) {
    return try_while_held(
        [&] { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE; });
}

bool move_file_replacing_at_once(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// The C runtime keeps the system's error of a failed open in _doserrno; the
// last error may have been overwritten by its own calls since.
std::FILE* open_file(const char* path, const char* mode) {
    std::FILE* file = nullptr;
    const bool writes = std::strpbrk(mode, "wa+") != nullptr;
    try_while_held([&] {
        _doserrno = 0;
        file = std::fopen(path, mode);
        if (file != nullptr) return true;
        SetLastError(writes && _doserrno != 0 ? static_cast<DWORD>(_doserrno)
                                              : ERROR_FILE_NOT_FOUND);
        return false;
    });
    return file;
}

bool allow_sparse_writes(std::FILE* file) {
    const intptr_t handle = _get_osfhandle(_fileno(file));
    if (handle == -1) return false;
    DWORD returned = 0;
    return DeviceIoControl(reinterpret_cast<HANDLE>(handle), FSCTL_SET_SPARSE, nullptr, 0, nullptr,
                           0, &returned, nullptr) != FALSE;
}

bool seek_file(std::FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}
