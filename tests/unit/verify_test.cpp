#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_os.hpp"
#include "test_support.hpp"
#include "verify/verify.hpp"

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
        std::string out = transcript(
            [&] { ok = verify_download(path.c_str(), release) == Verification::verified; });
        release_checked_file();  // as the launch would

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
        std::string out = transcript(
            [&] { ok = verify_download(path.c_str(), release) == Verification::verified; });

        EXPECT_FALSE(ok);
        EXPECT_EQ(out, std::string(HEADER) +
                           "   校验失败: 无法读取已下载文件 / Verify failed: "
                           "cannot read downloaded file\n");
        EXPECT_TRUE(fake_os::calls().empty());
    }
}

const char PIN_A[] = "1111111111111111111111111111111111111111111111111111111111111111";
const char PIN_B[] = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";

// A pinned build asks about the signature once the digest has passed, with
// every pin, and refuses with the reason: the line, the file deleted.
TEST(VerifyDownload, APinnedBuildStartsOnlyAFileSignedByAPinnedKey) {
    struct Case {
        SignatureCheck check;
        const char* refusal;  // nullptr: verified
    };
    static const Case cases[] = {
        {SignatureCheck::valid, nullptr},
        {SignatureCheck::not_signed, "   签名无效: 文件未签名 / Signature refused: not signed"},
        {SignatureCheck::file_changed,
         "   签名无效: 签名与文件不符 / Signature refused: the signature does not match the file"},
        {SignatureCheck::other_signer,
         "   签名无效: 非本发布者签名 / Signature refused: signed by another publisher"},
        {SignatureCheck::not_trusted,
         "   签名无效: 证书不受信任 / Signature refused: certificate not trusted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal != nullptr ? c.refusal : "valid");
        fake_os::reset();
        fake_os::set_signer_pins({PIN_A, PIN_B});
        fake_os::set_signature_results({c.check});
        TestDir dir;
        const std::string path = dir.file("trevalon-setup.exe");
        write_file(path, "abc");
        ReleaseRecord release{};
        std::snprintf(release.sha256, sizeof release.sha256, "%s", ABC_DIGEST);

        bool ok = c.refusal != nullptr;
        std::string out = transcript(
            [&] { ok = verify_download(path.c_str(), release) == Verification::verified; });
        release_checked_file();  // as the launch would

        const bool verified = c.refusal == nullptr;
        EXPECT_EQ(ok, verified);
        EXPECT_EQ(out, std::string(HEADER) + "   校验通过 / Verified  SHA-256 " + ABC_DIGEST +
                           "\n" + (verified ? "" : std::string(c.refusal) + "\n"));
        EXPECT_EQ(file_exists(path), verified);
        std::vector<std::string> calls = {"signature " + path + " " + PIN_A + "," + PIN_B};
        if (!verified) calls.push_back("delete " + path);
        EXPECT_EQ(fake_os::calls(), calls);
    }
}

// The signature is never asked about for a file whose digest is wrong, nor
// in an unpinned build (the table-driven test above it runs unpinned).
TEST(VerifyDownload, AMismatchedFileIsNeverAskedAboutItsSignature) {
    fake_os::reset();
    fake_os::set_signer_pins({PIN_A});
    TestDir dir;
    const std::string path = dir.file("trevalon-setup.exe");
    write_file(path, "abd");
    ReleaseRecord release{};
    std::snprintf(release.sha256, sizeof release.sha256, "%s", ABC_DIGEST);

    bool ok = true;
    transcript([&] { ok = verify_download(path.c_str(), release) == Verification::verified; });

    EXPECT_FALSE(ok);
    EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"delete " + path});
}

// The installer is held from the start of its check until the launch has
// returned: the digest and the signature are read through the held file, and
// nothing opens it by its path in between. A file put at the path after the
// hold (which Windows would refuse; the fake allows it) is never what gets
// checked. A refused file is let go before it is deleted.
TEST(VerifyDownload, TheCheckedFileIsHeldUntilTheLaunchHasReturned) {
    struct Case {
        const char* name;
        const char* content;  // of the downloaded file; nullptr: none
        SignatureCheck check;
        bool launched;
        std::vector<std::string> events;  // P stands for the path
    };
    const Case cases[] = {
        {"verified and started",
         "abc",
         SignatureCheck::valid,
         true,
         {"hold P", "signature held P", "identity held P", "open P", "release P"}},
        {"digest mismatch",
         "abd",
         SignatureCheck::valid,
         false,
         {"hold P", "release P", "delete P"}},
        {"signature refused",
         "abc",
         SignatureCheck::other_signer,
         false,
         {"hold P", "signature held P", "release P", "delete P"}},
        {"cannot be held", nullptr, SignatureCheck::valid, false, {"hold P"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_os::reset();
        fake_os::set_signer_pins({PIN_A});
        fake_os::set_signature_results({c.check});
        TestDir dir;
        const std::string path = dir.file("trevalon-setup.exe");
        if (c.content != nullptr) write_file(path, c.content);
        fake_os::swap_after_hold("abd");
        ReleaseRecord release{};
        std::snprintf(release.sha256, sizeof release.sha256, "%s", ABC_DIGEST);

        bool launched = false;
        transcript([&] {
            if (verify_download(path.c_str(), release) == Verification::verified)
                launched = launch_installer(path.c_str());
        });

        EXPECT_EQ(launched, c.launched);
        std::vector<std::string> events;
        for (const std::string& e : c.events)
            events.push_back(e.substr(0, e.size() - 1) + path);
        EXPECT_EQ(fake_os::file_events(), events);
    }
}

}  // namespace
