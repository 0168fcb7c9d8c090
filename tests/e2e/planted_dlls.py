"""Planted libraries: DLLs named as system libraries, put beside a Windows program.

Each one exports, as stubs, the functions that Wine's own library of that name
exports, and its DllMain writes a marker file naming itself into the folder it
was loaded from. A program that takes a library from its own folder instead of
System32 leaves such a marker behind.
"""
import os
import subprocess
import tempfile

NAMES = ["winhttp", "crypt32", "wintrust", "version", "dnsapi", "secur32", "sspicli", "bcrypt",
         "ncrypt", "schannel", "rsaenh", "cryptbase", "iphlpapi", "userenv", "profapi", "propsys",
         "uxtheme", "dwmapi", "apphelp", "urlmon", "wininet"]
WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
OBJDUMP = "x86_64-w64-mingw32-objdump"
GCC = "x86_64-w64-mingw32-gcc"
MARKER_SUFFIX = ".planted-loaded"

SOURCE = r"""
#include <windows.h>

__declspec(dllexport) int planted_stub(void) { return 0; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 64];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    lstrcatW(path, L"%s");
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return TRUE;
}
"""


def exports(name):
    """Named exports of Wine's own library, or none when Wine has no such library."""
    path = os.path.join(WINE_DLLS, name + ".dll")
    if not os.path.exists(path):
        return []
    text = subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True, text=True).stdout
    names, inside = [], False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            inside = True
            continue
        if inside:
            line = line.strip()
            if not line.startswith("["):
                break
            names.append(line.split("]", 1)[1].strip())
    return names


def build(folder):
    """Builds every planted library into folder; returns the names."""
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, "planted.c")
        with open(source, "w") as f:
            f.write(SOURCE % MARKER_SUFFIX)
        obj = os.path.join(work, "planted.o")
        subprocess.run([GCC, "-O1", "-c", source, "-o", obj], check=True)
        for name in NAMES:
            definition = os.path.join(work, name + ".def")
            with open(definition, "w") as f:
                f.write("LIBRARY %s\nEXPORTS\n" % name)
                for export in exports(name):
                    if export != "planted_stub" and export.isidentifier():
                        f.write("    %s=planted_stub\n" % export)
            subprocess.run([GCC, "-shared", "-o", os.path.join(folder, name + ".dll"), obj,
                            definition, "-Wl,--enable-stdcall-fixup", "-s"], check=True)
    return list(NAMES)


def overrides():
    """WINEDLLOVERRIDES entries that make Wine search for these as Windows does."""
    return ",".join(NAMES) + "=n,b"


def markers(folder):
    return sorted(f[:-len(MARKER_SUFFIX)] for f in os.listdir(folder) if f.endswith(MARKER_SUFFIX))
