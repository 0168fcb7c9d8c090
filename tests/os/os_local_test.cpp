// The POSIX answers to the run's questions about local conditions: the lock
// that keeps a second copy out, the free space, the move into place, and how
// the program's output and its started installer meet a pipe.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "os/os.hpp"
#include "test_support.hpp"

namespace {

// Sets TMPDIR to a folder of the test's own for the life of the object.
class PrivateTmpdir {
public:
    PrivateTmpdir() {
        const char* saved = getenv("TMPDIR");
        had_ = saved != nullptr;
        if (had_) saved_ = saved;
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~PrivateTmpdir() {
        if (had_) {
            setenv("TMPDIR", saved_.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }
    std::string private_folder() const {
        return dir_.path() + "trevalon-" + std::to_string(geteuid()) + "/";
    }

private:
    TestDir dir_;
    bool had_ = false;
    std::string saved_;
};

// Reads what the pipe holds within timeout_ms; "" when nothing came.
std::string read_within(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return "";
    char buffer[256];
    ssize_t n = read(fd, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

// A copy of the program in a process of its own: takes the lock, reports its
// answer as one byte, then holds it until its release pipe ends. The write
// ends of every release pipe are closed in the child, so that each pipe ends
// when the test closes its own write end.
struct Copy {
    pid_t pid;
    char answer;
};

Copy start_copy(int release_fd_read, const int* write_ends, int write_end_count) {
    int report[2];
    if (pipe(report) != 0) return {-1, '?'};
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        for (int i = 0; i < write_end_count; ++i)
            close(write_ends[i]);
        const InstanceLock lock = take_instance_lock();
        const char answer = lock == InstanceLock::held    ? 'h'
                            : lock == InstanceLock::taken ? 't'
                                                          : 'u';
        ssize_t ignored = write(report[1], &answer, 1);
        (void)ignored;
        char go;
        ignored = read(release_fd_read, &go, 1);
        _exit(0);
    }
    close(report[1]);
    char answer = '?';
    if (read(report[0], &answer, 1) != 1) answer = '?';
    close(report[0]);
    return {pid, answer};
}

TEST(InstanceLock, ASecondCopyIsRefusedUntilTheFirstEnds) {
    PrivateTmpdir tmpdir;
    int first_release[2], second_release[2], third_release[2];
    ASSERT_EQ(pipe(first_release), 0);
    ASSERT_EQ(pipe(second_release), 0);
    ASSERT_EQ(pipe(third_release), 0);

    const int write_ends[] = {first_release[1], second_release[1], third_release[1]};
    const Copy first = start_copy(first_release[0], write_ends, 3);
    const Copy second = start_copy(second_release[0], write_ends, 3);
    EXPECT_EQ(first.answer, 'h');
    EXPECT_EQ(second.answer, 't');

    // The lock file lies in the private folder, readable by its owner alone.
    struct stat st;
    ASSERT_EQ(lstat((tmpdir.private_folder() + "online-installer.lock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    close(first_release[1]);  // the first copy ends; the lock goes with it
    int status = 0;
    ASSERT_EQ(waitpid(first.pid, &status, 0), first.pid);
    const Copy third = start_copy(third_release[0], write_ends + 1, 2);
    EXPECT_EQ(third.answer, 'h');

    close(second_release[1]);
    close(third_release[1]);
    waitpid(second.pid, &status, 0);
    waitpid(third.pid, &status, 0);
    for (int fd : {first_release[0], second_release[0], third_release[0]})
        close(fd);
}

TEST(InstanceLock, NoPrivateFolderMeansNoLockRatherThanARefusal) {
    PrivateTmpdir tmpdir;
    const std::string folder = tmpdir.private_folder();
    const std::string plain = folder.substr(0, folder.rfind("trevalon-")) + "plain-file";
    struct Case {
        const char* name;
        bool tmpdir_is_a_file;
        InstanceLock expected;
    };
    // A file where the private folder should be only moves the run to a fresh
    // folder of its own, whose lock it holds; a TMPDIR in which no folder can be
    // made at all leaves no lock, which is not a refusal either.
    static const Case cases[] = {
        {"a file at the folder's name", false, InstanceLock::held},
        {"no folder can be made", true, InstanceLock::unavailable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(folder.substr(0, folder.size() - 1), "");
        write_file(plain, "");
        int status = 0;
        pid_t pid = fork();
        if (pid == 0) {
            if (c.tmpdir_is_a_file) setenv("TMPDIR", plain.c_str(), 1);
            _exit(take_instance_lock() == c.expected ? 0 : 1);
        }
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

// The started installer must not inherit the lock: while it is still open,
// the next run of the program is a new copy, not "already running".
TEST(InstanceLock, DoesNotPassToTheStartedInstaller) {
    PrivateTmpdir tmpdir;
    TestDir dir;
    const std::string program = dir.file("installer.sh");
    const std::string pid_file = dir.file("pid");
    write_file(program, "#!/bin/sh\necho $$ > '" + pid_file + ".part' && mv '" + pid_file +
                            ".part' '" + pid_file + "'\nexec sleep 30\n");
    ASSERT_EQ(chmod(program.c_str(), 0700), 0);

    int status = 0;
    pid_t first = fork();
    if (first == 0) {
        if (take_instance_lock() != InstanceLock::held) _exit(1);
        _exit(shell_open(program.c_str()) > 32 ? 0 : 2);
    }
    ASSERT_EQ(waitpid(first, &status, 0), first);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int i = 0; i < 2000 && !file_exists(pid_file); ++i) {
        struct timespec pause = {0, 10L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    const pid_t installer = static_cast<pid_t>(atoi(read_file(pid_file).c_str()));
    ASSERT_GT(installer, 0);

    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const Copy second = start_copy(release[0], &release[1], 1);
    EXPECT_EQ(second.answer, 'h') << "the started installer still holds the lock";
    close(release[1]);
    waitpid(second.pid, &status, 0);
    close(release[0]);
    kill(installer, SIGKILL);
}

TEST(FreeDiskSpace, AnsweredForAFolderNotForAMissingOne) {
    TestDir dir;
    uint64_t bytes = 0;
    EXPECT_TRUE(free_disk_space(dir.path().c_str(), &bytes));
    EXPECT_GT(bytes, 0u);
    uint64_t untouched = 12345;
    EXPECT_FALSE(free_disk_space(dir.file("missing/").c_str(), &untouched));
    EXPECT_EQ(untouched, 12345u);
}

TEST(MoveFileReplacing, ReplacesTheTargetOrLeavesBothAlone) {
    TestDir dir;
    const std::string part = dir.file("setup.exe.part");
    const std::string path = dir.file("setup.exe");
    write_file(part, "new");
    write_file(path, "old");
    EXPECT_TRUE(move_file_replacing(part.c_str(), path.c_str()));
    EXPECT_EQ(read_file(path), "new");
    EXPECT_FALSE(file_exists(part));

    write_file(part, "newer");
    const std::string elsewhere = dir.file("missing/setup.exe");
    EXPECT_FALSE(move_file_replacing(part.c_str(), elsewhere.c_str()));
    EXPECT_EQ(read_file(part), "newer");
}

// Output to a pipe arrives as each print is made, not when the program ends:
// the child prints once and then waits for the test before it exits.
TEST(ConsoleOutput, EachPrintReachesAPipeAtOnce) {
    struct PrintCase {
        const char* name;
        void (*print)();
        std::string expected;
    };
    const PrintCase cases[] = {
        {"a line", [] { out_line("[1/4] one line"); }, "[1/4] one line\n"},
        {"a formatted text", [] { out_printf("%s %d\n", "stage", 3); }, "stage 3\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int output[2], hold[2];
        ASSERT_EQ(pipe(output), 0);
        ASSERT_EQ(pipe(hold), 0);
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            close(output[0]);
            close(hold[1]);
            dup2(output[1], STDOUT_FILENO);
            c.print();
            char go;
            ssize_t ignored = read(hold[0], &go, 1);
            (void)ignored;
            _exit(0);
        }
        close(output[1]);
        close(hold[0]);
        EXPECT_EQ(read_within(output[0], 20000), c.expected);
        close(hold[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        close(output[0]);
    }
}

// The started installer is a program of its own: it gets none of the run's
// standard streams, so `program | cat` ends when the program does.
TEST(ShellOpen, TheInstallerGetsDevNullForItsStandardStreams) {
    TestDir dir;
    const std::string program = dir.file("installer.sh");
    const std::string marker = dir.file("streams");
    // The links are read before the output goes to the marker: a simple
    // command's words are expanded before its redirection is made.
    write_file(
        program,
        "#!/bin/sh\nprintf '%s\\n' \"$(readlink /proc/$$/fd/0)\" \"$(readlink /proc/$$/fd/1)\" "
        "\"$(readlink /proc/$$/fd/2)\" > '" +
            marker + ".part' && mv '" + marker + ".part' '" + marker + "'\n");

    int output[2];
    ASSERT_EQ(pipe(output), 0);
    fflush(stdout);
    fflush(stderr);
    const int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    const intptr_t result = shell_open(program.c_str());
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    close(output[1]);
    EXPECT_EQ(result, 42);

    // The pipe ends at once: no process but the test held its write end.
    struct pollfd p = {output[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1);
    char byte;
    EXPECT_EQ(read(output[0], &byte, 1), 0) << "end of file, nothing written";
    close(output[0]);

    for (int i = 0; i < 2000 && !file_exists(marker); ++i) {
        struct timespec pause = {0, 10L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    EXPECT_EQ(read_file(marker), "/dev/null\n/dev/null\n/dev/null\n");
}

}  // namespace
