// Operating-system services on POSIX. The console needs no code page: output is
// the program's UTF-8 bytes on stdout. The temporary directory is a private
// per-user folder under $TMPDIR (or /tmp), because a shared /tmp would let
// another user plant or swap the installer between its check and its launch.
// "Open" starts the verified file as a program of its own: detached into a new
// session and not a child of the run, so the run can exit at once, with exec
// failures reported back through a close-on-exec pipe and mapped to the
// Windows shell's codes. It gets /dev/null for its standard streams: a pipe
// the run writes to would otherwise stay open until the installer ends. Every
// print is flushed, so a pipe or a log file sees each line as it happens.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "os/library.hpp"
#include "os/os.hpp"
#include "os/private_folder.hpp"

namespace {

constexpr intptr_t SHELL_OK = 42;
constexpr intptr_t SHELL_FILE_NOT_FOUND = 2;
constexpr intptr_t SHELL_ACCESS_DENIED = 5;
constexpr intptr_t SHELL_OUT_OF_MEMORY = 8;
constexpr intptr_t SHELL_BAD_FORMAT = 11;
constexpr intptr_t SHELL_OTHER_FAILURE = 31;

intptr_t shell_code(int error) {
    switch (error) {
        case ENOENT:
            return SHELL_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return SHELL_ACCESS_DENIED;
        case ENOMEM:
            return SHELL_OUT_OF_MEMORY;
        case ENOEXEC:
            return SHELL_BAD_FORMAT;
        default:
            return SHELL_OTHER_FAILURE;
    }
}

constexpr mode_t PRIVATE_MODE = S_IRWXU;

// Sets 0700 on the folder open at fd. A descriptor opened as a path only
// cannot take fchmod; its /proc entry still leads to the very folder that was
// opened, whatever has since been put at its path.
bool set_private_mode(int fd, bool path_only) {
    if (!path_only) return fchmod(fd, PRIVATE_MODE) == 0;
    char self[48];
    int length = snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return length > 0 && static_cast<size_t>(length) < sizeof self &&
           chmod(self, PRIVATE_MODE) == 0;
}

// Makes the folder at path a private one of ours, creating it when it is not
// there: it must be a real directory (no symlink is followed) owned by us, and
// its mode becomes exactly 0700 whatever the umask or a past run left. A folder
// of another user, a symlink or anything else is refused as it stands. One
// that its owner may not read (left by a umask such as 0477) cannot be opened
// for reading, so it is opened as a path only.
bool make_private_directory(const char* path, uid_t uid) {
    const mode_t old_mask = umask(0);
    const bool made = mkdir(path, PRIVATE_MODE) == 0 || errno == EEXIST;
    umask(old_mask);
    if (!made) return false;

    bool path_only = false;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
#ifdef O_PATH
    if (fd < 0 && errno == EACCES) {
        fd = open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        path_only = true;
    }
#endif
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
    if (ok && (st.st_mode & 07777) != PRIVATE_MODE) ok = set_private_mode(fd, path_only);
    close(fd);
    return ok;
}

// Reports errno to the waiting parent and ends the child without touching
// anything the parent owns (no stdio flush, no atexit handlers).
[[noreturn]] void child_fail(int report_fd) {
    int error = errno;
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// The grandchild: standard input, output and error on /dev/null, then the
// program itself with only its path as argv[0].
[[noreturn]] void exec_detached(const char* path, int report_fd) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) child_fail(report_fd);
    const int standard_fds[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    for (int standard_fd : standard_fds) {
        if (dup2(null_fd, standard_fd) < 0) child_fail(report_fd);
    }
    if (null_fd > STDERR_FILENO) close(null_fd);
    char* const argv[] = {const_cast<char*>(path), nullptr};
    execv(path, argv);
    child_fail(report_fd);
}

}  // namespace

void restrict_library_search() {}

namespace {

void* load_nothing(const char*) {
    return nullptr;
}
void* find_nothing(void*, const char*) {
    return nullptr;
}
const LibraryLoader NO_LOADER = {load_nothing, find_nothing};

}  // namespace

const LibraryLoader& system_library_loader() {
    return NO_LOADER;
}

void set_console_utf8() {}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    (void)fflush(stdout);
}

void out_line(const char* text) {
    puts(text);
    (void)fflush(stdout);
}

void out_flush() {
    (void)fflush(stdout);
}

uint64_t tick_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t temp_directory(char* dir, uint32_t capacity) {
    if (capacity == 0) return 0;
    const char* base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    size_t base_length = strlen(base);
    while (base_length > 0 && base[base_length - 1] == '/')
        --base_length;
    if (base_length > static_cast<size_t>(capacity)) {
        dir[0] = '\0';
        return 0;
    }

    uid_t uid = geteuid();
    int length = snprintf(dir, capacity, "%.*s/trevalon-%lu/", static_cast<int>(base_length), base,
                          static_cast<unsigned long>(uid));
    if (length <= 0 || static_cast<uint32_t>(length) > capacity - 1) {
        dir[0] = '\0';
        return 0;
    }

    // Opened without its trailing separator, so that O_NOFOLLOW sees a symlink
    // as itself.
    dir[length - 1] = '\0';
    if (!make_private_directory(dir, uid)) {
        dir[0] = '\0';
        return 0;
    }
    dir[length - 1] = '/';
    return static_cast<uint32_t>(length);
}

bool delete_file(const char* path) {
    return unlink(path) == 0;
}

intptr_t shell_open(const char* path) {
    // The download wrote the file without any execute bit; its owner gets one.
    struct stat st;
    if (stat(path, &st) != 0) return shell_code(errno);
    if (S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) == 0) {
        chmod(path, (st.st_mode & 07777) | S_IXUSR);  // a failure shows as the exec's
    }

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return shell_code(errno);
    // Keep the report pipe clear of the standard descriptors the child rewires.
    if (report[1] <= STDERR_FILENO) {
        int moved = fcntl(report[1], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            int error = errno;
            close(report[0]);
            close(report[1]);
            return shell_code(error);
        }
        close(report[1]);
        report[1] = moved;
    }

    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return shell_code(error);
    }
    if (child == 0) {
        // A new session, then a second fork: the program is no session leader
        // (it can never take a controlling terminal), and its parent exits at
        // once so that it is adopted and reaped by init, never by the run.
        close(report[0]);
        if (setsid() < 0) child_fail(report[1]);
        pid_t program = fork();
        if (program < 0) child_fail(report[1]);
        if (program > 0) _exit(0);
        exec_detached(path, report[1]);
    }

    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    // End of file: the exec closed the pipe. Otherwise the child sent errno.
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == 0) return SHELL_OK;
    if (got == static_cast<ssize_t>(sizeof error)) return shell_code(error);
    return SHELL_OTHER_FAILURE;
}

// A terminal stays open after the program ends, so there is nothing to hold.
bool console_is_own() {
    return false;
}

void wait_for_enter() {
    int c;
    do {
        c = getchar();
    } while (c != '\n' && c != EOF);
}

// ---- Local conditions: one copy at a time, free space, a download moved into place.

namespace {

constexpr int TEMP_DIRECTORY_CAPACITY = 261;

// Open for the life of the process: the lock goes with the last descriptor of
// this open file, and close-on-exec keeps the started installer from holding it.
int g_instance_lock_fd = -1;

}  // namespace

InstanceLock take_instance_lock() {
    if (g_instance_lock_fd >= 0) return InstanceLock::held;
    char dir[TEMP_DIRECTORY_CAPACITY];
    if (temp_directory(dir, sizeof dir) == 0) return InstanceLock::unavailable;
    char path[TEMP_DIRECTORY_CAPACITY + sizeof INSTANCE_LOCK_FILE];
    int length = snprintf(path, sizeof path, "%s%s", dir, INSTANCE_LOCK_FILE);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) return InstanceLock::unavailable;

    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return InstanceLock::unavailable;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? InstanceLock::taken : InstanceLock::unavailable;
    }
    g_instance_lock_fd = fd;
    return InstanceLock::held;
}

// A descriptor, kept as its value plus one so that nullptr means none. It
// does not keep others from writing: on POSIX the private temporary folder
// does that.
HeldFile* hold_file(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return reinterpret_cast<HeldFile*>(static_cast<intptr_t>(fd) + 1);
}

bool read_held_file(HeldFile* file, void* buffer, uint32_t capacity, uint32_t* count) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
    for (;;) {
        const ssize_t n = read(fd, buffer, capacity);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        *count = static_cast<uint32_t>(n);
        return true;
    }
}

bool read_held_file_at(HeldFile* file, uint64_t offset, void* buffer, uint32_t capacity,
                       uint32_t* count) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        return false;
    // Reads until capacity or the end, so that a short count means the end.
    uint32_t total = 0;
    while (total < capacity) {
        uint32_t got = 0;
        if (!read_held_file(file, static_cast<unsigned char*>(buffer) + total, capacity - total,
                            &got))
            return false;
        if (got == 0) break;
        total += got;
    }
    *count = total;
    return true;
}

void release_file(HeldFile* file) {
    close(static_cast<int>(reinterpret_cast<intptr_t>(file) - 1));
}

bool free_disk_space(const char* dir, uint64_t* bytes) {
    struct statvfs fs;
    if (statvfs(dir, &fs) != 0) return false;
    *bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
    return true;
}

bool file_size(const char* path, uint64_t* bytes) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

bool move_file_replacing(const char* from, const char* to) {
    return rename(from, to) == 0;
}
