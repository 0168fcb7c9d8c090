// Libraries on Windows come from System32 only. A program that is started
// from a Downloads folder shares that folder with whatever else the browser
// saved there, and the loader looks for a library beside the program before
// System32 unless it is a known DLL. So the programs import statically only
// known DLLs (kernel32, msvcrt, shell32), restrict the search to System32
// before anything else runs, and load every other library through here.
#include <windows.h>

#include "os/library.hpp"
#include "os/os.hpp"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

constexpr int LIBRARY_PATH_UNITS = MAX_PATH + 32;

// Windows 7 without KB2533623 knows neither SetDefaultDllDirectories nor the
// search flags of LoadLibraryExW; these tell which world the process is in.
bool g_search_flags = false;

// The library from System32: by the search flag, or by its full path where
// the flag is unknown. Never by the plain name, which searches the program's
// folder first.
HMODULE load_from_system32(const wchar_t* name) {
    if (g_search_flags) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[LIBRARY_PATH_UNITS];
    UINT length = GetSystemDirectoryW(path, LIBRARY_PATH_UNITS);
    if (length == 0 || length >= LIBRARY_PATH_UNITS) return nullptr;
    UINT at = length;
    if (path[at - 1] != L'\\') path[at++] = L'\\';
    for (const wchar_t* c = name; *c != 0; ++c) {
        if (at + 1 >= LIBRARY_PATH_UNITS) return nullptr;
        path[at++] = *c;
    }
    path[at] = 0;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* load(const char* library) {
    wchar_t name[64];
    if (MultiByteToWideChar(CP_UTF8, 0, library, -1, name, 64) <= 0) return nullptr;
    return reinterpret_cast<void*>(load_from_system32(name));
}

void* find(void* library, const char* function) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), function));
}

const LibraryLoader LOADER = {load, find};

// Libraries that the system's own code loads later by name, without the
// process's search restriction. Wine's delay-loads ignore the default DLL
// directories and search the program's folder first; a library that is
// already loaded is what such a load gets, so these are loaded from System32
// before any of them could be asked for. Windows honours the restriction for
// them anyway; there loading them early costs only the time.
const wchar_t* const PRELOADED[] = {
    // WinHTTP delay-loads it for certificates and when a request handle closes.
    L"crypt32.dll",
    // WinHTTP's TLS goes through the security packages, which Wine's loader
    // otherwise looks for beside the program.
    L"secur32.dll",
};

}  // namespace

void restrict_library_search() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
    auto set_default = reinterpret_cast<SetDefaultDirectories>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_search_flags = true;
    } else {
        // Without the restriction, at least take the current folder out of
        // the search.
        (void)SetDllDirectoryW(L"");
    }
    for (const wchar_t* name : PRELOADED)
        (void)load_from_system32(name);
}

const LibraryLoader& system_library_loader() {
    return LOADER;
}
