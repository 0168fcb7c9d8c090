// The POSIX services themselves: the private temporary folder and the cases it
// must refuse, file deletion, console output and input, and the detached launch
// with the shell's result codes.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "os/os.hpp"
#include "test_support.hpp"

namespace {

constexpr uid_t NOBODY = 65534;

std::string private_name() {
    return "trevalon-" + std::to_string(geteuid());
}

struct Entry {
    bool exists;
    mode_t mode;
    uid_t uid;
};

Entry entry(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {false, 0, 0};
    return {true, st.st_mode, st.st_uid};
}

// Polls for a file that another process writes; gives up after about 20 s.
bool wait_for_file(const std::string& path) {
    for (int i = 0; i < 2000; ++i) {
        if (file_exists(path)) return true;
        struct timespec pause = {0, 10L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// True once the process has ended (gone, or a zombie its new parent has not
// reaped yet); gives up after about 20 s.
bool wait_for_exit(pid_t pid) {
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 2000; ++i) {
        std::string stat = read_file(stat_path);
        size_t paren = stat.rfind(')');
        if (stat.empty() || (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0)) {
            return true;
        }
        struct timespec pause = {0, 10L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// No child of this process is left behind, running or as a zombie.
bool no_children_left() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class TempDirectoryTest : public testing::Test {
protected:
    void SetUp() override {
        const char* saved = getenv("TMPDIR");
        had_tmpdir_ = saved != nullptr;
        if (had_tmpdir_) saved_tmpdir_ = saved;
    }
    void TearDown() override { restore_tmpdir(); }
    // Each case makes its folder where the test run keeps its files.
    void restore_tmpdir() {
        if (had_tmpdir_)
            setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    bool had_tmpdir_ = false;
    std::string saved_tmpdir_;
};

TEST_F(TempDirectoryTest, CreatesAPrivateFolderUnderTmpdir) {
    static const char* const suffixes[] = {"", "/", "//"};
    for (const char* suffix : suffixes) {
        SCOPED_TRACE(std::string("TMPDIR ends in \"") + suffix + "\"");
        restore_tmpdir();
        TestDir base;
        std::string root = base.path().substr(0, base.path().size() - 1);
        setenv("TMPDIR", (root + suffix).c_str(), 1);
        const std::string expected = root + "/" + private_name() + "/";

        mode_t old_mask = umask(0);
        char dir[261];
        uint32_t length = temp_directory(dir, sizeof dir);
        umask(old_mask);

        ASSERT_EQ(length, expected.size());
        EXPECT_EQ(std::string(dir), expected);
        Entry made = entry(root + "/" + private_name());
        ASSERT_TRUE(made.exists);
        EXPECT_TRUE(S_ISDIR(made.mode));
        EXPECT_EQ(made.mode & 07777, 0700u);
        EXPECT_EQ(made.uid, geteuid());

        // The folder stays and is taken as it is on the next run.
        char again[261];
        EXPECT_EQ(temp_directory(again, sizeof again), expected.size());
        EXPECT_EQ(std::string(again), expected);
    }
}

TEST_F(TempDirectoryTest, FallsBackToTmpWhenTmpdirIsUnsetOrEmpty) {
    static const char* const values[] = {nullptr, ""};
    for (const char* value : values) {
        SCOPED_TRACE(value == nullptr ? "unset" : "empty");
        if (value == nullptr)
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", value, 1);
        char dir[261];
        uint32_t length = temp_directory(dir, sizeof dir);
        const std::string expected = "/tmp/" + private_name() + "/";
        ASSERT_EQ(length, expected.size());
        EXPECT_EQ(std::string(dir), expected);
    }
}

struct RefusalCase {
    const char* what;
    void (*plant)(const std::string& at, const std::string& base);
};

void plant_dir(const std::string& at, mode_t mode) {
    ASSERT_EQ(mkdir(at.c_str(), 0700), 0);
    ASSERT_EQ(chmod(at.c_str(), mode), 0);
}

TEST_F(TempDirectoryTest, RefusesAFolderThatIsNotPrivate) {
    static const RefusalCase cases[] = {
        {"directory 0755", [](const std::string& at, const std::string&) { plant_dir(at, 0755); }},
        {"directory 0770", [](const std::string& at, const std::string&) { plant_dir(at, 0770); }},
        {"directory 0701", [](const std::string& at, const std::string&) { plant_dir(at, 0701); }},
        {"directory 0500, not writable by its owner",
         [](const std::string& at, const std::string&) { plant_dir(at, 0500); }},
        {"symlink to a private directory",
         [](const std::string& at, const std::string& base) {
             plant_dir(base + "elsewhere", 0700);
             ASSERT_EQ(symlink((base + "elsewhere").c_str(), at.c_str()), 0);
         }},
        {"dangling symlink",
         [](const std::string& at, const std::string& base) {
             ASSERT_EQ(symlink((base + "not-there").c_str(), at.c_str()), 0);
         }},
        {"regular file",
         [](const std::string& at, const std::string&) {
             write_file(at, "x");
             ASSERT_EQ(chmod(at.c_str(), 0700), 0);
         }},
        {"directory 0700 owned by another user",
         [](const std::string& at, const std::string&) {
             plant_dir(at, 0700);
             ASSERT_EQ(chown(at.c_str(), NOBODY, NOBODY), 0) << "needs root: " << strerror(errno);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        restore_tmpdir();
        TestDir base;
        const std::string at = base.path() + private_name();
        c.plant(at, base.path());
        if (HasFatalFailure()) return;
        const Entry before = entry(at);
        setenv("TMPDIR", base.path().c_str(), 1);

        char dir[261];
        EXPECT_EQ(temp_directory(dir, sizeof dir), 0u);
        const Entry after = entry(at);
        EXPECT_EQ(after.mode, before.mode);
        EXPECT_EQ(after.uid, before.uid);
        EXPECT_FALSE(file_exists(base.path() + "not-there"));
    }
}

TEST_F(TempDirectoryTest, ReturnsZeroWhenThePathDoesNotFit) {
    TestDir base;
    setenv("TMPDIR", base.path().c_str(), 1);
    const std::string expected = base.path() + private_name() + "/";
    struct Case {
        uint32_t capacity;
        uint32_t length;
    };
    const uint32_t n = static_cast<uint32_t>(expected.size());
    const Case cases[] = {{0, 0}, {1, 0}, {n - 1, 0}, {n, 0}, {n + 1, n}};
    for (const auto& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity));
        char dir[600];
        memset(dir, 'z', sizeof dir);
        EXPECT_EQ(temp_directory(dir, c.capacity), c.length);
        if (c.length != 0) {
            EXPECT_EQ(std::string(dir), expected);
        } else {
            // Refused before anything was made.
            EXPECT_FALSE(file_exists(base.path() + private_name()));
            if (c.capacity > 0) {
                EXPECT_EQ(dir[0], '\0');
            }
        }
    }
}

TEST_F(TempDirectoryTest, ReturnsZeroForATmpdirLongerThanTheBuffer) {
    setenv("TMPDIR", ("/tmp/" + std::string(400, 'd')).c_str(), 1);
    char dir[261];
    EXPECT_EQ(temp_directory(dir, sizeof dir), 0u);
}

TEST(DeleteFile, RemovesFilesOnly) {
    TestDir dir;
    write_file(dir.file("present"), "bytes");
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    struct Case {
        const char* name;
        bool deleted;
        bool remains;
    };
    static const Case cases[] = {
        {"present", true, false},
        {"present", false, false},  // already gone
        {"missing", false, false},
        {"folder", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(delete_file(dir.file(c.name).c_str()), c.deleted);
        EXPECT_EQ(file_exists(dir.file(c.name)), c.remains);
    }
}

TEST(ConsoleOutput, WritesTheBytesAsGiven) {
    const std::string long_line(5000, 'L');
    std::string out = transcript([&] {
        set_console_utf8();
        out_printf("=== %s 在线安装器 / Online Installer v%s ===\n", "Trevalon", "1.2.0");
        out_line("将自动检测多个下载节点");
        out_printf("\r   [%s] %3llu%%  (%.1f / %.1f MB)", "节点", 7ULL, 1.0, 2.5);
        out_flush();
        out_line(long_line.c_str());
    });
    EXPECT_EQ(out,
              "=== Trevalon 在线安装器 / Online Installer v1.2.0 ===\n"
              "将自动检测多个下载节点\n"
              "\r   [节点]   7%  (1.0 / 2.5 MB)" +
                  long_line + "\n");
}

// A terminal outlives the programs started in it, so the run never holds one
// open, not even when both its input and output are that terminal.
TEST(ConsoleIsOwn, IsFalseEvenOnATerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_TRUE(isatty(terminal));
    int saved_in = dup(STDIN_FILENO);
    int saved_out = dup(STDOUT_FILENO);
    dup2(terminal, STDIN_FILENO);
    dup2(terminal, STDOUT_FILENO);
    bool own = console_is_own();
    dup2(saved_in, STDIN_FILENO);
    dup2(saved_out, STDOUT_FILENO);
    close(saved_in);
    close(saved_out);
    close(terminal);
    close(master);
    EXPECT_FALSE(own);
}

// wait_for_enter consumes one line of input, and returns at the end of input
// when no line end ever comes.
TEST(WaitForEnter, ReadsOneLineOrUpToTheEndOfInput) {
    struct Case {
        const char* input;
        int next;  // what the following read from stdin gives
    };
    static const Case CASES[] = {
        {"\nafter", 'a'},
        {"typed ahead\nsecond\n", 's'},
        {"no line end", EOF},
        {"", EOF},
    };
    int saved = dup(STDIN_FILENO);
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.input);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.input, strlen(c.input)), static_cast<ssize_t>(strlen(c.input)));
        close(fds[1]);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        clearerr(stdin);
        wait_for_enter();
        EXPECT_EQ(getchar(), c.next);
        // Drop whatever stdio still buffers from this case's pipe.
        while (getchar() != EOF) {
        }
    }
    dup2(saved, STDIN_FILENO);
    close(saved);
    clearerr(stdin);
}

TEST(TickMs, CountsMilliseconds) {
    uint64_t before = tick_ms();
    struct timespec pause = {0, 30L * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    EXPECT_GE(tick_ms() - before, 30u);
}

// What the started program saw, as it wrote it down.
struct Launched {
    std::string argv0, argc, pid, ppid, sid, stdin_target;
};

Launched read_launch_record(const std::string& path) {
    std::istringstream in(read_file(path));
    Launched l;
    std::getline(in, l.argv0);
    std::getline(in, l.argc);
    std::getline(in, l.pid);
    in >> l.ppid >> l.sid;
    in.ignore(1);
    std::getline(in, l.stdin_target);
    return l;
}

// Runs shell_open with this process's stdin on a pipe, so that the program's
// own stdin shows whether the launch replaced it.
intptr_t shell_open_with_piped_stdin(const char* path) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    int saved = dup(STDIN_FILENO);
    dup2(fds[0], STDIN_FILENO);
    intptr_t result = shell_open(path);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(fds[0]);
    close(fds[1]);
    return result;
}

TEST(ShellOpen, StartsTheFileDetachedAndMakesItExecutable) {
    TestDir dir;
    const std::string program = dir.file("installer.sh");
    const std::string marker = dir.file("launched");
    const std::string release = dir.file("release");
    // Records what it was given, then keeps running until the test lets it go.
    std::string script = "#!/bin/sh\n{\n";
    script += "  printf '%s\\n' \"$0\" \"$#\" \"$$\"\n";
    script += "  cut -d' ' -f4,6 /proc/$$/stat\n";
    script += "  readlink /proc/$$/fd/0\n";
    script += "} > '" + marker + ".part' && mv '" + marker + ".part' '" + marker + "'\n";
    script += "i=0\n";
    script +=
        "while [ ! -e '" + release + "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n";
    write_file(program, script);
    ASSERT_EQ(chmod(program.c_str(), 0644), 0);

    EXPECT_EQ(shell_open_with_piped_stdin(program.c_str()), 42);
    EXPECT_EQ(entry(program).mode & 07777, 0744u);
    EXPECT_TRUE(no_children_left());

    ASSERT_TRUE(wait_for_file(marker));
    const Launched l = read_launch_record(marker);
    const pid_t pid = static_cast<pid_t>(std::stol(l.pid));
    EXPECT_EQ(kill(pid, 0), 0) << "not running after the launch";
    write_file(release, "");
    EXPECT_TRUE(wait_for_exit(pid));
    EXPECT_EQ(l.argv0, program);
    EXPECT_EQ(l.argc, "0");
    EXPECT_EQ(l.stdin_target, "/dev/null");
    EXPECT_NE(l.ppid, std::to_string(getpid()));
    EXPECT_NE(l.sid, std::to_string(getsid(0)));  // a session of its own...
    EXPECT_NE(l.sid, l.pid);                      // ...that it does not lead
}

struct FailureCase {
    const char* what;
    void (*make)(const std::string& path);
    intptr_t code;
};

TEST(ShellOpen, ReportsFailuresAsTheShellsCodes) {
    static const FailureCase cases[] = {
        {"missing file", [](const std::string&) {}, 2},
        {"unknown format",
         [](const std::string& path) {
             static const char bytes[] = "\0\1\2\3 not a program";
             write_file(path, std::string(bytes, sizeof bytes - 1));
         },
         11},
        {"interpreter missing",
         [](const std::string& path) { write_file(path, "#!/nonexistent/interpreter\n"); }, 2},
        {"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        const std::string path = dir.file("installer");
        c.make(path);
        if (HasFatalFailure()) return;
        EXPECT_EQ(shell_open(path.c_str()), c.code);
        EXPECT_TRUE(no_children_left());
    }
}

}  // namespace
