// Functions taken from a system library at run time, all of them or none.
// The Windows programs import statically only libraries that Windows always
// takes from System32; every other library comes through a loader that looks
// in System32 alone (os_win32_library.cpp), and its functions are resolved
// once, here, so that a missing library or function is one plain failure of
// the caller and never a call through a null pointer.
#pragma once

#include <cstdint>

struct LibraryLoader {
    void* (*load)(const char* library);                  // nullptr: not loaded
    void* (*find)(void* library, const char* function);  // nullptr: not found
};

// Loads the library and finds each named function, in order, into functions.
// True when every one was found; otherwise every slot is left nullptr.
bool resolve_functions(const LibraryLoader& loader, const char* library, const char* const* names,
                       void** functions, uint32_t count);

// The platform's loader: System32 only on Windows. POSIX has no use for it
// and answers nullptr to every library.
const LibraryLoader& system_library_loader();
