#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_os.hpp"
#include "install/install.hpp"
#include "test_support.hpp"

namespace {

const char HEADER[] = "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n";
const char ABC_DIGEST[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct VerifyCase {
    const char* name;
    const char* expected;  // the release's digest text
    bool verified;
    std::string output;  // after the header
};

TEST(VerifyDownload, ComparesIgnoringCaseAndDeletesOnMismatch) {
    const std::string mismatch_of = "   哈希不匹配 / Hash mismatch!\n   期望/Expected: ";
    const std::string actual = std::string("\n   实际/Actual:   ") + ABC_DIGEST + "\n";
    static const char UPPER[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    static const char MIXED[] = "Ba7816bf8F01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD";
    static const char OTHER[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae";
    static const char FIRST[] = "ca7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    static const char MIDDLE[] = "ba7816bf8f01cfea414140de5dae2223c00361a396177a9cb410ff61f20015ad";
    static const char SHORT[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015a";
    const VerifyCase cases[] = {
        {"lower case", ABC_DIGEST, true,
         std::string("   校验通过 / Verified  SHA-256 ") + ABC_DIGEST + "\n"},
        {"upper case, shown as stored", UPPER, true,
         std::string("   校验通过 / Verified  SHA-256 ") + UPPER + "\n"},
        {"mixed case", MIXED, true, std::string("   校验通过 / Verified  SHA-256 ") + MIXED + "\n"},
        {"first digit differs", FIRST, false, mismatch_of + FIRST + actual},
        {"a middle digit differs", MIDDLE, false, mismatch_of + MIDDLE + actual},
        {"last digit differs", OTHER, false, mismatch_of + OTHER + actual},
        {"expected text too short", SHORT, false, mismatch_of + SHORT + actual},
        {"expected text empty", "", false, mismatch_of + actual},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_os::reset();
        TestDir dir;
        const std::string path = dir.file("trevalon-setup.exe");
        write_file(path, "abc");
        ReleaseRecord release{};
        std::snprintf(release.sha256, sizeof release.sha256, "%s", c.expected);

        bool ok = !c.verified;
        std::string out = transcript([&] { ok = verify_download(path.c_str(), release); });

        EXPECT_EQ(ok, c.verified);
        EXPECT_EQ(out, HEADER + c.output);
        EXPECT_EQ(file_exists(path), c.verified);
        EXPECT_EQ(fake_os::calls(), c.verified ? std::vector<std::string>{}
                                               : std::vector<std::string>{"delete " + path});
    }
}

TEST(VerifyDownload, AFileThatCannotBeReadIsNotDeleted) {
    struct Case {
        const char* what;
        void (*make)(const std::string& path);
    };
    static const Case cases[] = {
        {"removed after the download", [](const std::string&) {}},
        // Opens for reading, then fails at the first read: an error, not an
        // empty file whose digest would be a mismatch.
        {"a folder at the path",
         [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_os::reset();
        TestDir dir;
        const std::string path = dir.file("trevalon-setup.exe");
        c.make(path);
        if (HasFatalFailure()) return;
        ReleaseRecord release{};
        std::snprintf(release.sha256, sizeof release.sha256, "%s", ABC_DIGEST);

        bool ok = true;
        std::string out = transcript([&] { ok = verify_download(path.c_str(), release); });

        EXPECT_FALSE(ok);
        EXPECT_EQ(out, std::string(HEADER) +
                           "   校验失败: 无法读取已下载文件 / Verify failed: "
                           "cannot read downloaded file\n");
        EXPECT_TRUE(fake_os::calls().empty());
    }
}

}  // namespace
