// Under Wine: the held installer against a second process. Run as
//   held_file_check PROGRAM_TO_HOLD MARKER
// it holds PROGRAM_TO_HOLD with hold_file, starts itself as a second process
// that tries to open the file for writing, to delete it and to rename it (each
// must fail), starts the held program through shell_open (it must run: it
// writes MARKER), and after release_file lets the second process delete it.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "child_process.hpp"
#include "os/os.hpp"

namespace {

// The second process: 0 when every change to the file was refused.
int try_to_change(const char* path) {
    int changed = 0;
    HANDLE write =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (write != INVALID_HANDLE_VALUE) {
        std::printf("opened for writing\n");
        CloseHandle(write);
        changed |= 1;
    }
    if (DeleteFileA(path)) {
        std::printf("deleted\n");
        changed |= 2;
    }
    char moved[MAX_PATH + 8];
    std::snprintf(moved, sizeof moved, "%s.moved", path);
    if (MoveFileA(path, moved)) {
        std::printf("renamed\n");
        changed |= 4;
    }
    return changed;
}

int run_second(const char* self, const char* mode, const char* path) {
    char command[3 * MAX_PATH];
    std::snprintf(command, sizeof command, "\"%s\" %s \"%s\"", self, mode, path);
    return run_child(command, false, true);
}

}  // namespace

int main(int argc, char** argv) {
    restrict_library_search();
    if (argc == 3 && std::strcmp(argv[1], "change") == 0) return try_to_change(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "delete") == 0) return DeleteFileA(argv[2]) ? 0 : 1;
    if (argc != 3) return 64;
    const char* program = argv[1];
    const char* marker = argv[2];
    int failures = 0;

    HeldFile* held = hold_file(program);
    if (held == nullptr) {
        std::printf("FAIL hold_file\n");
        return 1;
    }
    char first[2] = {0, 0};
    uint32_t count = 0;
    if (!read_held_file(held, first, 2, &count) || count != 2 || first[0] != 'M') {
        std::printf("FAIL read through the held file\n");
        ++failures;
    }
    const int changed = run_second(argv[0], "change", program);
    std::printf("%s a second process cannot write, delete or rename the held file (%d)\n",
                changed == 0 ? "PASS" : "FAIL", changed);
    failures += changed != 0;

    const intptr_t started = shell_open(program);
    bool ran = false;
    for (int i = 0; i < 300 && !ran; ++i) {
        ran = GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES;
        if (!ran) Sleep(100);
    }
    std::printf("%s the held file starts through shell_open (result %d, marker %s)\n",
                started > 32 && ran ? "PASS" : "FAIL", static_cast<int>(started),
                ran ? "written" : "missing");
    failures += !(started > 32 && ran);

    release_file(held);
    for (int i = 0; i < 50 && run_second(argv[0], "delete", program) != 0; ++i)
        Sleep(100);  // the started program may still be running
    const bool gone = GetFileAttributesA(program) == INVALID_FILE_ATTRIBUTES;
    std::printf("%s once released, a second process deletes it\n", gone ? "PASS" : "FAIL");
    failures += !gone;
    return failures == 0 ? 0 : 1;
}
