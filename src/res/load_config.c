// The load configuration of the Windows programs, there for one field: with
// DependentLoadFlags at LOAD_LIBRARY_SEARCH_SYSTEM32, Windows 10 1607 and
// later resolve even the static imports (kernel32, msvcrt) from System32
// alone, before any of the program's own code runs. Every other field is
// zero: no security cookie, no guard tables. GNU ld does not point the PE's
// directory entry at this structure; scripts/pe-load-config does, after the
// link. The mingw-w64 headers still call the field Reserved1.
#include <windows.h>

const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
