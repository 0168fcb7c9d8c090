// Operating-system services on POSIX. The console needs no code page: output is
// the program's UTF-8 bytes on stdout. The temporary directory is a private
// per-user folder under $TMPDIR (or /tmp), because a shared /tmp would let
// another user plant or swap the installer between its check and its launch.
// Anybody may make $TMPDIR/trevalon-<uid> first, so when that name holds
// anything but a folder of ours that nobody else could have written to, the
// run makes a fresh one with mkdtemp ($TMPDIR/trevalon-<uid>.XXXXXX), keeps it
// for the rest of the run, holds its lock for its life, and removes the fresh
// folders of earlier runs whose locks nobody holds any more. An installer
// started from a fresh folder holds that lock too, for as long as it runs.
// "Open" starts the verified file as a program of its own: detached into a new
// session and not a child of the run, in the folder that holds the file, so
// the run can exit at once, with exec
// failures reported back through a close-on-exec pipe and mapped to the
// Windows shell's codes. It gets /dev/null for its standard streams: a pipe
// the run writes to would otherwise stay open until the installer ends. Every
// print is flushed, so a pipe or a log file sees each line as it happens.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

// Write for the group or for others: somebody else may have put files in the
// folder. A POSIX access list that grants anybody write shows here too, in
// the group bits, which are its mask.
constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;

// Makes the folder at path a private one of ours, creating it when it is not
// there: it must be a real directory (no symlink is followed) owned by us
// that nobody else could write to, and its mode becomes exactly 0700 whatever
// the umask or a past run left. A folder of another user, one that others
// could write to (whatever they left in it would be taken for ours), a
// symlink or anything else is refused as it stands. One that its owner may
// not read (left by a umask such as 0477) cannot be opened for reading, so it
// is opened as a path only.
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
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
              (st.st_mode & OTHERS_WRITE) == 0;
    if (ok && (st.st_mode & 07777) != PRIVATE_MODE) ok = set_private_mode(fd, path_only);
    close(fd);
    return ok;
}

// Makes the folder that holds the file at path the current one; after fork,
// so without allocating.
bool enter_folder_of(const char* path) {
    const char* slash = strrchr(path, '/');
    // A relative path is found from the current folder, which then stays.
    if (slash == nullptr || path[0] != '/') return true;
    char folder[PATH_MAX];
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length >= sizeof folder) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(folder, path, length);
    folder[length] = '\0';
    return chdir(folder) == 0;
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
// program itself with only its path as argv[0]. keep_fd, when not -1, stays
// open across the exec, away from the standard descriptors.
[[noreturn]] void exec_detached(const char* path, int report_fd, int keep_fd) {
    if (keep_fd >= 0 && keep_fd <= STDERR_FILENO) {
        keep_fd = fcntl(keep_fd, F_DUPFD, STDERR_FILENO + 1);  // not close-on-exec
        if (keep_fd < 0) child_fail(report_fd);
    } else if (keep_fd >= 0 && fcntl(keep_fd, F_SETFD, 0) != 0) {
        child_fail(report_fd);
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) child_fail(report_fd);
    const int standard_fds[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    for (int standard_fd : standard_fds) {
        if (dup2(null_fd, standard_fd) < 0) child_fail(report_fd);
    }
    if (null_fd > STDERR_FILENO) close(null_fd);
    // It runs in the folder that holds it, our private one, not the caller's:
    // the base of its relative paths and the last place it looks for DLLs.
    if (!enter_folder_of(path)) child_fail(report_fd);
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

namespace {

// Room for a temporary folder's path, as the stages ask for it.
constexpr int TEMP_DIRECTORY_CAPACITY = 261;
constexpr char FRESH_TEMPLATE[] = ".XXXXXX";  // mkdtemp's six letters after the name
constexpr size_t FRESH_SUFFIX_LENGTH = sizeof FRESH_TEMPLATE - 1;

// A fresh folder that this process made because its usual one was refused,
// the TMPDIR it was made under, and the lock it holds in it for its life.
struct FreshFolder {
    char base[TEMP_DIRECTORY_CAPACITY];
    char path[TEMP_DIRECTORY_CAPACITY];  // with its separator
    int lock_fd = -1;
};
FreshFolder g_fresh;

// Opens the lock file of the folder at dir (ending in its separator) and takes
// its flock before the file can be seen under its name: it is made under
// another name and renamed when held, so that a later run never finds the
// name of a folder in use without its lock. -1 when that fails.
int take_fresh_lock(const char* dir) {
    char path[TEMP_DIRECTORY_CAPACITY + sizeof INSTANCE_LOCK_FILE];
    char made[sizeof path + 4];
    if (snprintf(path, sizeof path, "%s%s", dir, INSTANCE_LOCK_FILE) >=
            static_cast<int>(sizeof path) ||
        snprintf(made, sizeof made, "%s.new", path) >= static_cast<int>(sizeof made)) {
        return -1;
    }
    const int fd =
        open(made, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || rename(made, path) != 0) {
        unlink(made);
        close(fd);
        return -1;
    }
    return fd;
}

// Removes what the folder called name under base_fd holds, and the folder,
// when it is a fresh folder of this user's that no running copy holds: a real
// directory of ours, mode 0700, whose lock can be taken. A folder without its
// lock file is left alone: it may be one that is being made.
void remove_stale_fresh_folder(int base_fd, const char* name, uid_t uid) {
    const int dir_fd = openat(base_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir_fd < 0) return;
    struct stat st;
    int lock_fd = -1;
    if (fstat(dir_fd, &st) == 0 && st.st_uid == uid && (st.st_mode & 07777) == PRIVATE_MODE) {
        lock_fd = openat(dir_fd, INSTANCE_LOCK_FILE, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        if (lock_fd >= 0) close(lock_fd);
        close(dir_fd);
        return;
    }
    bool emptied = false;
    const int list_fd = dup(dir_fd);
    DIR* entries = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (entries == nullptr && list_fd >= 0) close(list_fd);
    if (entries != nullptr) {
        emptied = true;
        while (const struct dirent* entry = readdir(entries)) {
            const char* entry_name = entry->d_name;
            if (strcmp(entry_name, ".") == 0 || strcmp(entry_name, "..") == 0 ||
                strcmp(entry_name, INSTANCE_LOCK_FILE) == 0) {
                continue;
            }
            if (unlinkat(dir_fd, entry_name, 0) != 0) emptied = false;
        }
        closedir(entries);
    }
    // The lock goes last: a folder that keeps anything keeps its lock too, and
    // the next run tries again.
    if (emptied) emptied = unlinkat(dir_fd, INSTANCE_LOCK_FILE, 0) == 0;
    close(lock_fd);
    close(dir_fd);
    if (emptied) unlinkat(base_fd, name, AT_REMOVEDIR);
}

// Removes the fresh folders of earlier runs under base: "<prefix>XXXXXX".
void remove_stale_fresh_folders(const char* base, const char* prefix, uid_t uid) {
    const int base_fd = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (base_fd < 0) return;
    const int list_fd = dup(base_fd);
    DIR* entries = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (entries == nullptr) {
        if (list_fd >= 0) close(list_fd);
        close(base_fd);
        return;
    }
    const size_t prefix_length = strlen(prefix);
    while (const struct dirent* entry = readdir(entries)) {
        if (strncmp(entry->d_name, prefix, prefix_length) == 0 &&
            strlen(entry->d_name) == prefix_length + FRESH_SUFFIX_LENGTH - 1) {
            remove_stale_fresh_folder(base_fd, entry->d_name, uid);
        }
    }
    closedir(entries);
    close(base_fd);
}

// The fresh folder for base, made when this process has none there yet:
// "<base>/trevalon-<uid>.XXXXXX", made by mkdtemp, which fails rather than
// take a name that is there, so the folder is always this user's own. Fills
// dir and returns its length; 0 when none can be made.
uint32_t fresh_folder(const char* base, size_t base_length, uid_t uid, char* dir,
                      uint32_t capacity) {
    if (g_fresh.lock_fd < 0 || strncmp(g_fresh.base, base, base_length) != 0 ||
        g_fresh.base[base_length] != '\0') {
        if (g_fresh.lock_fd >= 0) close(g_fresh.lock_fd);
        g_fresh.lock_fd = -1;
        char base_path[TEMP_DIRECTORY_CAPACITY];
        char prefix[40];
        char made[TEMP_DIRECTORY_CAPACITY];
        const int length =
            snprintf(made, sizeof made, "%.*s/trevalon-%lu%s", static_cast<int>(base_length), base,
                     static_cast<unsigned long>(uid), FRESH_TEMPLATE);
        // Room for the separator that ends it.
        if (length <= 0 || static_cast<size_t>(length) + 1 >= sizeof made) return 0;
        snprintf(base_path, sizeof base_path, "%.*s", static_cast<int>(base_length), base);
        snprintf(prefix, sizeof prefix, "trevalon-%lu.", static_cast<unsigned long>(uid));
        remove_stale_fresh_folders(base_length == 0 ? "/" : base_path, prefix, uid);
        // mkdtemp makes it 0700 less the umask; the mode is set as for any folder of ours.
        if (mkdtemp(made) == nullptr || !make_private_directory(made, uid)) return 0;
        made[length] = '/';
        made[length + 1] = '\0';
        g_fresh.lock_fd = take_fresh_lock(made);
        if (g_fresh.lock_fd < 0) {
            made[length] = '\0';
            rmdir(made);
            return 0;
        }
        memcpy(g_fresh.base, base_path, sizeof base_path);
        memcpy(g_fresh.path, made, sizeof made);
    }
    const size_t length = strlen(g_fresh.path);
    if (length > static_cast<size_t>(capacity) - 1) return 0;
    memcpy(dir, g_fresh.path, length + 1);
    return static_cast<uint32_t>(length);
}

}  // namespace

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

    // A fresh folder, once made, is the answer for the rest of the run,
    // whatever becomes of the usual one: its lock is the one this run holds.
    if (g_fresh.lock_fd >= 0 && strncmp(g_fresh.base, base, base_length) == 0 &&
        g_fresh.base[base_length] == '\0') {
        const uint32_t fresh = fresh_folder(base, base_length, uid, dir, capacity);
        if (fresh == 0) dir[0] = '\0';
        return fresh;
    }

    int length = snprintf(dir, capacity, "%.*s/trevalon-%lu/", static_cast<int>(base_length), base,
                          static_cast<unsigned long>(uid));
    if (length <= 0 || static_cast<uint32_t>(length) > capacity - 1) {
        dir[0] = '\0';
        return 0;
    }

    // Opened without its trailing separator, so that O_NOFOLLOW sees a symlink
    // as itself.
    dir[length - 1] = '\0';
    if (make_private_directory(dir, uid)) {
        dir[length - 1] = '/';
        return static_cast<uint32_t>(length);
    }
    // Someone else's folder, a link or a file holds the name: a folder of our
    // own elsewhere, without whatever an earlier run left to resume.
    const uint32_t fresh = fresh_folder(base, base_length, uid, dir, capacity);
    if (fresh == 0) dir[0] = '\0';
    return fresh;
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

    // An installer started from a fresh folder holds the folder's lock while it
    // runs, so that no later run removes its files and its working folder
    // under it; the lock goes when it and whatever it started have ended.
    const size_t fresh_length = strlen(g_fresh.path);
    const int keep_fd =
        g_fresh.lock_fd >= 0 && fresh_length != 0 && strncmp(path, g_fresh.path, fresh_length) == 0
            ? g_fresh.lock_fd
            : -1;

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
        exec_detached(path, report[1], keep_fd);
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

// Open for the life of the process: the lock goes with the last descriptor of
// this open file, and close-on-exec keeps the started installer from holding
// it (unlike a fresh folder's, which no other copy could take anyway).
int g_instance_lock_fd = -1;

}  // namespace

InstanceLock take_instance_lock() {
    if (g_instance_lock_fd >= 0) return InstanceLock::held;
    char dir[TEMP_DIRECTORY_CAPACITY];
    if (temp_directory(dir, sizeof dir) == 0) return InstanceLock::unavailable;
    // A fresh folder's lock is held since the folder was made. No other copy
    // can see it, nor use the folder: each one of them works in its own.
    if (g_fresh.lock_fd >= 0 && strcmp(dir, g_fresh.path) == 0) return InstanceLock::held;
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

bool move_file_replacing_at_once(const char* from, const char* to) {
    return rename(from, to) == 0;
}

// An open file locks nothing here: no wait.
std::FILE* open_file(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool allow_sparse_writes(std::FILE*) {
    return true;
}

bool seek_file(std::FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
