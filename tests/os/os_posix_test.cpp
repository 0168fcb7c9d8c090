// The POSIX services themselves: the private temporary folder and the cases it
// must refuse, file deletion, console output and input, and the detached launch
// with the shell's result codes.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

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
        // A umask that temp_directory's own (0) differs from, whatever an
        // earlier test left.
        saved_mask_ = umask(022);
    }
    void TearDown() override {
        restore_tmpdir();
        umask(saved_mask_);
    }
    // temp_directory, on any path it takes, leaves the umask and the open
    // descriptors as it found them.
    uint32_t temp_directory_leaving_no_trace(char* dir, uint32_t capacity) {
        const mode_t mask = umask(0);
        umask(mask);
        const int descriptors = open_descriptors();
        const uint32_t length = temp_directory(dir, capacity);
        EXPECT_EQ(umask(mask), mask) << "the umask is changed";
        EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor is left open";
        return length;
    }
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
    mode_t saved_mask_ = 0;
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

// The fresh folder that temp_directory gave when the usual one was refused:
// "<base>trevalon-<uid>.XXXXXX/", a directory of the user's, 0700, whose lock
// this process holds.
void expect_fresh_folder(const std::string& dir, const std::string& base) {
    const std::string prefix = base + private_name() + ".";
    ASSERT_EQ(dir.size(), prefix.size() + 7) << dir;
    EXPECT_EQ(dir.compare(0, prefix.size(), prefix), 0) << dir;
    EXPECT_EQ(dir.back(), '/');
    const Entry made = entry(dir.substr(0, dir.size() - 1));
    EXPECT_TRUE(S_ISDIR(made.mode));
    EXPECT_EQ(made.mode & 07777, 0700u);
    EXPECT_EQ(made.uid, geteuid());
    EXPECT_TRUE(file_exists(dir + "online-installer.lock"));
    EXPECT_EQ(take_instance_lock(), InstanceLock::held);
}

// The names in a folder, sorted; empty when it cannot be listed.
std::vector<std::string> names_in(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const struct dirent* e = readdir(dir)) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
            names.push_back(e->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Whatever holds the usual name (a link, a file, another user's folder), the
// run gets a fresh folder of its own beside it and leaves that one as it was.
TEST_F(TempDirectoryTest, MakesAFreshFolderWhenItsOwnIsRefused) {
    static const RefusalCase cases[] = {
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
        {"directory 0755 owned by another user",
         [](const std::string& at, const std::string&) {
             plant_dir(at, 0755);
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
        const std::vector<std::string> planted = names_in(at);
        setenv("TMPDIR", base.path().c_str(), 1);

        const mode_t mask = umask(0);
        umask(mask);
        char dir[261];
        const uint32_t length = temp_directory(dir, sizeof dir);
        EXPECT_EQ(umask(mask), mask) << "the umask is changed";
        ASSERT_EQ(length, strlen(dir));
        expect_fresh_folder(dir, base.path());
        // The same folder for the rest of the run, and no more descriptors.
        const int descriptors = open_descriptors();
        char again[261];
        EXPECT_EQ(temp_directory(again, sizeof again), length);
        EXPECT_EQ(std::string(again), std::string(dir));
        EXPECT_EQ(open_descriptors(), descriptors);

        const Entry after = entry(at);
        EXPECT_EQ(after.mode, before.mode);
        EXPECT_EQ(after.uid, before.uid);
        EXPECT_EQ(names_in(at), planted) << "written into the refused folder";
        EXPECT_FALSE(file_exists(base.path() + "not-there"));
    }
}

// Fresh folders of earlier runs go once nobody holds their lock; whatever is
// not surely such a folder stays.
TEST_F(TempDirectoryTest, RemovesTheFreshFoldersOfEarlierRuns) {
    TestDir base;
    const std::string name = base.path() + private_name();
    plant_dir(name, 0755);
    ASSERT_EQ(chown(name.c_str(), NOBODY, NOBODY), 0) << "needs root";
    // An earlier run's, ended: its files and its lock go, and the folder.
    const std::string ended = name + ".endrun";
    plant_dir(ended, 0700);
    write_file(ended + "/online-installer.lock", "");
    write_file(ended + "/Trevalon-setup.exe.part", "part");
    write_file(ended + "/Trevalon-setup.exe", "installer");
    // A copy that still runs holds its lock.
    const std::string running = name + ".runnin";
    plant_dir(running, 0700);
    write_file(running + "/online-installer.lock", "");
    const int held = open((running + "/online-installer.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // Being made: no lock yet.
    const std::string unlocked = name + ".nolock";
    plant_dir(unlocked, 0700);
    write_file(unlocked + "/kept", "");
    // Another user's, a folder others may change, a link, a longer name.
    const std::string foreign = name + ".foreig";
    plant_dir(foreign, 0700);
    write_file(foreign + "/online-installer.lock", "");
    ASSERT_EQ(chown(foreign.c_str(), NOBODY, NOBODY), 0);
    const std::string open_mode = name + ".opened";
    plant_dir(open_mode, 0777);
    write_file(open_mode + "/online-installer.lock", "");
    plant_dir(base.path() + "target", 0700);
    write_file(base.path() + "target/online-installer.lock", "");
    write_file(base.path() + "target/kept", "");
    ASSERT_EQ(symlink((base.path() + "target").c_str(), (name + ".linked").c_str()), 0);
    const std::string longer = name + ".longer-name";
    plant_dir(longer, 0700);
    write_file(longer + "/online-installer.lock", "");
    if (HasFatalFailure()) return;

    setenv("TMPDIR", base.path().c_str(), 1);
    char dir[261];
    ASSERT_NE(temp_directory(dir, sizeof dir), 0u);
    expect_fresh_folder(dir, base.path());
    close(held);

    EXPECT_FALSE(entry(ended).exists);
    EXPECT_EQ(names_in(running), std::vector<std::string>{"online-installer.lock"});
    EXPECT_EQ(names_in(unlocked), std::vector<std::string>{"kept"});
    EXPECT_EQ(names_in(foreign), std::vector<std::string>{"online-installer.lock"});
    EXPECT_EQ(names_in(open_mode), std::vector<std::string>{"online-installer.lock"});
    EXPECT_EQ(names_in(base.path() + "target"),
              (std::vector<std::string>{"kept", "online-installer.lock"}));
    EXPECT_TRUE(entry(name + ".linked").exists);
    EXPECT_EQ(names_in(longer), std::vector<std::string>{"online-installer.lock"});
    EXPECT_TRUE(names_in(name).empty());
}

// A folder of the user's own with another mode (made under an odd umask, or
// opened up by hand) is set back to 0700 and used, rather than failing every
// run until someone finds it; unless others could write to it, who may have
// left anything there: then it is refused as it stands, for a fresh folder.
TEST_F(TempDirectoryTest, SetsItsOwnFolderTo0700UnlessOthersCouldWriteToIt) {
    struct Case {
        mode_t mode;
        bool used;
    };
    static const Case cases[] = {
        {0755, true},  {0701, true},  {0500, true},  {0300, true},  {0000, true},   {02700, true},
        {0770, false}, {0720, false}, {0702, false}, {0777, false}, {01777, false},
    };
    for (const auto& c : cases) {
        char octal[16];
        snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(c.mode));
        SCOPED_TRACE(std::string("mode ") + octal);
        restore_tmpdir();
        TestDir base;
        const std::string at = base.path() + private_name();
        plant_dir(at, c.mode);
        if (HasFatalFailure()) return;
        write_file(at + "/left-over", "kept");
        setenv("TMPDIR", base.path().c_str(), 1);

        char dir[261];
        // A fresh folder's lock stays open for the run.
        const uint32_t length = c.used ? temp_directory_leaving_no_trace(dir, sizeof dir)
                                       : temp_directory(dir, sizeof dir);
        if (c.used) {
            EXPECT_EQ(length, at.size() + 1);
            EXPECT_EQ(std::string(dir), at + "/");
            EXPECT_EQ(entry(at).mode & 07777, 0700u);
        } else {
            expect_fresh_folder(dir, base.path());
            EXPECT_EQ(entry(at).mode & 07777, c.mode);
        }
        EXPECT_TRUE(S_ISDIR(entry(at).mode));
        EXPECT_EQ(names_in(at), std::vector<std::string>{"left-over"});
        EXPECT_EQ(read_file(at + "/left-over"), "kept");
    }
}

// Once the run has made a fresh folder, that folder is the answer to every
// later call, even when whatever held the usual name has gone meanwhile: the
// run holds the fresh folder's lock, not the usual one's.
TEST_F(TempDirectoryTest, KeepsItsFreshFolderForTheRestOfTheRun) {
    static const RefusalCase cases[] = {
        {"symlink to a private directory",
         [](const std::string& at, const std::string& base) {
             plant_dir(base + "elsewhere", 0700);
             ASSERT_EQ(symlink((base + "elsewhere").c_str(), at.c_str()), 0);
         }},
        {"directory others may write to",
         [](const std::string& at, const std::string&) { plant_dir(at, 0777); }},
        {"regular file", [](const std::string& at, const std::string&) { write_file(at, "x"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        restore_tmpdir();
        TestDir base;
        const std::string at = base.path() + private_name();
        c.plant(at, base.path());
        if (HasFatalFailure()) return;
        setenv("TMPDIR", base.path().c_str(), 1);

        char dir[261];
        ASSERT_NE(temp_directory(dir, sizeof dir), 0u);
        expect_fresh_folder(dir, base.path());
        ASSERT_EQ(remove(at.c_str()), 0) << strerror(errno);
        char again[261];
        EXPECT_EQ(temp_directory(again, sizeof again), strlen(dir));
        EXPECT_EQ(std::string(again), std::string(dir));
        EXPECT_FALSE(entry(at).exists) << "the usual folder is made again";
    }
}

// The exit status of a forked child once it has ended; -1 when it did not exit.
int exit_status(pid_t child) {
    int status = -1;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One run of the program in a forked child, in the temporary folder under
// base, whose usual name the test has made unusable: takes its folder and,
// given a script, puts it there and starts it. The exit status: 0 when all
// of that went.
int run_in_fresh_folder(const std::string& base, const std::string& script) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        setenv("TMPDIR", base.c_str(), 1);
        char dir[261];
        if (temp_directory(dir, sizeof dir) == 0) _exit(1);
        if (script.empty()) _exit(0);
        const std::string program = std::string(dir) + "installer.sh";
        write_file(program, script);
        _exit(shell_open(program.c_str()) > 32 ? 0 : 1);
    }
    return exit_status(child);
}

// An installer that a run started from its fresh folder keeps that folder
// while it runs: the next run leaves its files and its working folder alone,
// and removes the folder once it has ended.
TEST_F(TempDirectoryTest, KeepsTheFreshFolderOfAnInstallerThatStillRuns) {
    TestDir base;
    ASSERT_EQ(symlink((base.path() + "not-there").c_str(), (base.path() + private_name()).c_str()),
              0);
    const std::string pid_file = base.path() + "installer.pid";
    const std::string release = base.path() + "release";
    std::string script = "#!/bin/sh\necho $$ > '" + pid_file + ".part' && mv '" + pid_file +
                         ".part' '" + pid_file + "'\n";
    script += "i=0\n";
    script +=
        "while [ ! -e '" + release + "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n";
    ASSERT_EQ(run_in_fresh_folder(base.path(), script), 0);
    ASSERT_TRUE(wait_for_file(pid_file));
    const pid_t installer = static_cast<pid_t>(std::stol(read_file(pid_file)));
    std::vector<std::string> fresh;
    for (const std::string& name : names_in(base.path())) {
        if (name.compare(0, private_name().size() + 1, private_name() + ".") == 0) {
            fresh.push_back(base.path() + name);
        }
    }
    ASSERT_EQ(fresh.size(), 1u);
    const std::string folder = fresh[0];

    struct Phase {
        const char* what;
        bool ended;  // the installer has ended before the next run
    };
    static const Phase phases[] = {{"while the installer runs", false},
                                   {"once the installer has ended", true}};
    for (const auto& phase : phases) {
        SCOPED_TRACE(phase.what);
        if (phase.ended) {
            write_file(release, "");
            EXPECT_TRUE(wait_for_exit(installer));
        }
        EXPECT_EQ(run_in_fresh_folder(base.path(), ""), 0);
        if (phase.ended) {
            EXPECT_FALSE(entry(folder).exists);
        } else {
            EXPECT_EQ(names_in(folder),
                      (std::vector<std::string>{"installer.sh", "online-installer.lock"}));
            EXPECT_EQ(kill(installer, 0), 0) << "the installer is no longer running";
        }
    }
}

// A folder of the user's own whose mode cannot be set is refused, not used
// as it stands: a fresh folder beside it is used instead. Here it is on a
// read-only bind mount, made in a forked child with a mount namespace of its
// own, so that the mount ends with the child. Gives the child's exit status:
// 0 refused for a fresh folder, 1 otherwise, 2 no namespace or user.
int temp_directory_on_read_only_mount(const std::string& base, const std::string& at, uid_t uid) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            _exit(2);
        }
        if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(2);
        setenv("TMPDIR", base.c_str(), 1);
        char dir[261];
        const uint32_t length = temp_directory(dir, sizeof dir);
        const std::string fresh = at + ".";
        _exit(length != 0 && strncmp(dir, fresh.c_str(), fresh.size()) == 0 ? 0 : 1);
    }
    return exit_status(child);
}

TEST_F(TempDirectoryTest, RefusesItsOwnFolderWhenTheModeCannotBeSet) {
    struct Case {
        const char* what;
        uid_t uid;
        mode_t mode;
    };
    const Case cases[] = {
        {"mode 0755", geteuid(), 0755},
        {"mode 0300, which its owner opens as a path only", NOBODY, 0300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unsetenv("TMPDIR");  // the folder must be reachable by NOBODY: straight under /tmp
        TestDir base;
        const std::string at = base.path() + "trevalon-" + std::to_string(c.uid);
        ASSERT_EQ(chown(base.path().c_str(), c.uid, c.uid), 0);
        plant_dir(at, c.mode);
        ASSERT_EQ(chown(at.c_str(), c.uid, c.uid), 0);
        if (HasFatalFailure()) return;

        EXPECT_EQ(temp_directory_on_read_only_mount(base.path(), at, c.uid), 0)
            << "2: no mount namespace of its own (needs root)";
        EXPECT_EQ(entry(at).mode & 07777, c.mode);
    }
}

TEST_F(TempDirectoryTest, CreatesTheFolderPrivateWhateverTheUmask) {
    static const mode_t masks[] = {0, 022, 077, 0277, 0700, 0777};
    for (mode_t mask : masks) {
        char octal[16];
        snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mask));
        SCOPED_TRACE(std::string("umask ") + octal);
        restore_tmpdir();
        TestDir base;
        setenv("TMPDIR", base.path().c_str(), 1);

        mode_t old_mask = umask(mask);
        char dir[261];
        uint32_t length = temp_directory_leaving_no_trace(dir, sizeof dir);
        umask(old_mask);

        const std::string at = base.path() + private_name();
        EXPECT_EQ(length, at.size() + 1);
        const Entry made = entry(at);
        ASSERT_TRUE(made.exists);
        EXPECT_TRUE(S_ISDIR(made.mode));
        EXPECT_EQ(made.mode & 07777, 0700u);
    }
}

// What a user without root sees: runs temp_directory as NOBODY in a forked
// child, under the given umask, and gives the child's exit status (0 when the
// folder was returned, 1 when refused, 2 when the child could not become NOBODY).
int temp_directory_as_nobody(const std::string& base, mode_t mask) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(2);
        setenv("TMPDIR", base.c_str(), 1);
        umask(mask);
        char dir[261];
        const std::string expected = base + "trevalon-" + std::to_string(NOBODY) + "/";
        _exit(temp_directory(dir, sizeof dir) == expected.size() && dir == expected ? 0 : 1);
    }
    return exit_status(child);
}

TEST_F(TempDirectoryTest, AUserWithoutRootGetsAPrivateFolderWhateverTheUmaskOrMode) {
    struct Case {
        const char* what;
        bool planted;  // the folder exists before the run, with mode
        mode_t mode;
        mode_t mask;
    };
    static const Case cases[] = {
        {"created under umask 0477", false, 0, 0477},
        {"created under umask 0777", false, 0, 0777},
        {"found with mode 0300, not readable by its owner", true, 0300, 022},
        {"found with mode 0000", true, 0000, 022},
        {"found with mode 0755", true, 0755, 022},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unsetenv("TMPDIR");  // the folder must be reachable by NOBODY: straight under /tmp
        TestDir base;
        ASSERT_EQ(chown(base.path().c_str(), NOBODY, NOBODY), 0) << "needs root";
        const std::string at = base.path() + "trevalon-" + std::to_string(NOBODY);
        if (c.planted) {
            plant_dir(at, c.mode);
            ASSERT_EQ(chown(at.c_str(), NOBODY, NOBODY), 0);
        }
        if (HasFatalFailure()) return;

        EXPECT_EQ(temp_directory_as_nobody(base.path(), c.mask), 0);
        const Entry after = entry(at);
        EXPECT_TRUE(S_ISDIR(after.mode));
        EXPECT_EQ(after.mode & 07777, 0700u);
        EXPECT_EQ(after.uid, NOBODY);
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
    std::string argv0, argc, pid, ppid, sid, stdin_target, folder;
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
    std::getline(in, l.folder);
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
    script += "  pwd -P\n";
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
    // In the folder that holds it, not the caller's.
    char* folder = realpath(dir.path().c_str(), nullptr);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(l.folder, folder);
    free(folder);
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

constexpr int HELPER_EXIT = 73;

struct HelperRun {
    int status;                        // the helper's wait status
    std::vector<std::string> reports;  // "RESULT FDS_BEFORE FDS_AFTER", one per return
};

// Calls shell_open in a forked helper, which writes one report line and ends
// with HELPER_EXIT. Every process that comes back out of shell_open writes a
// report of its own, so a forked child that returned where it should have
// ended shows as a second line, whatever its own exit status.
HelperRun shell_open_in_helper(const std::string& path) {
    HelperRun run = {-1, {}};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return run;
    fflush(nullptr);
    pid_t helper = fork();
    if (helper == 0) {
        close(report[0]);
        const int before = open_descriptors();
        const intptr_t result = shell_open(path.c_str());
        const int after = open_descriptors();
        char line[64];
        int n =
            snprintf(line, sizeof line, "%ld %d %d\n", static_cast<long>(result), before, after);
        ssize_t ignored = write(report[1], line, static_cast<size_t>(n));
        (void)ignored;
        _exit(HELPER_EXIT);
    }
    close(report[1]);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(report[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
    }
    close(report[0]);
    if (helper > 0) {
        while (waitpid(helper, &run.status, 0) < 0 && errno == EINTR) {
        }
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        run.reports.push_back(line);
    return run;
}

TEST(ShellOpen, ReturnsOnceToItsCallerAndLeavesNoDescriptorOpen) {
    static const FailureCase cases[] = {
        // A copy of true(1): once started it needs nothing from the folder,
        // which goes away with the test.
        {"a program that ends at once",
         [](const std::string& path) {
             write_file(path, read_file("/bin/true"));
             ASSERT_EQ(chmod(path.c_str(), 0700), 0);
         },
         42},
        {"missing file", [](const std::string&) {}, 2},
        {"unknown format",
         [](const std::string& path) { write_file(path, std::string("\0\1\2\3 data", 9)); }, 11},
        {"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        const std::string path = dir.file("installer");
        c.make(path);
        if (HasFatalFailure()) return;

        const HelperRun run = shell_open_in_helper(path);

        ASSERT_TRUE(WIFEXITED(run.status)) << "wait status " << run.status;
        EXPECT_EQ(WEXITSTATUS(run.status), HELPER_EXIT);
        ASSERT_EQ(run.reports.size(), 1u);
        std::istringstream report(run.reports[0]);
        long result = -1;
        int before = -1, after = -2;
        report >> result >> before >> after;
        EXPECT_EQ(result, c.code);
        EXPECT_GT(before, 0);
        EXPECT_EQ(after, before) << "descriptors open before and after the launch";
    }
}

}  // namespace
