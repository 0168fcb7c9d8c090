#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "manifest/manifest.hpp"
#include "test_support.hpp"
#include "tool_test_support.hpp"
#include "verify/sha256.hpp"

namespace {

const char ABC_SHA256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char DIGEST[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string GOOD =
    std::string("v0.7.19\nTrevalon-setup-0.7.19.exe\n20140875\n") + DIGEST + "\n";
const char GOOD_LINE[] =
    "   版本/Version v0.7.19  文件/File Trevalon-setup-0.7.19.exe  大小/Size 19.2 MB  来源/Source: "
    "节点A/Node A\n";

// The parser's reasons, one for each rule of the format.
const std::string LINES_RULE =
    "fewer than four lines: the text needs at least three line feeds (a CR alone ends no line)";
const std::string VERSION_RULE =
    "line 1, version: after one optional leading v, 1 to 16 characters of 0-9 A-Z a-z . _ -";
const std::string BOM_RULE = "line 1, version: starts with a UTF-8 byte-order mark";
const std::string NAME_CHARACTERS_RULE =
    "line 2, file name: 1 to 96 characters of 0-9 A-Z a-z . _ -";
const std::string NAME_EXE_RULE = "line 2, file name: at least 5 characters, ending in .exe";
const std::string NAME_DOTS_RULE = "line 2, file name: must not contain ..";
const std::string SIZE_RULE = "line 3, size: a decimal number of bytes, not zero, and nothing else";
const std::string NO_DISK_SIZE = "line 3, size: no minus sign, and not above 18446744073709551615";
const std::string DIGEST_RULE = "line 4, SHA-256: exactly 64 hexadecimal digits";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string quoted(const std::string& path) {
    return "'" + replace_all(path, "'", "'\\''") + "'";
}

// Standard output of a shell command and its exit status.
std::string shell(const std::string& command, int* status) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
}

class ToolManifestTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
    }
    TestDir dir;
};

// ---- create ----------------------------------------------------------------------

struct CreateCase {
    std::string name;
    std::string content;
    std::vector<std::string> options;
    int code;
    std::string out;
    std::string refusal;  // what follows "create: refused: " on standard error
};

TEST_F(ToolManifestTest, CreatePrintsTheManifestOrNamesTheBrokenRule) {
    const std::string abc_tail = std::string("\n3\n") + ABC_SHA256 + "\n";
    const std::string ok_name = std::string(92, 'n') + ".exe";  // 96 characters
    const std::string long_version(5000, '1');
    const std::vector<CreateCase> cases = {
        {"Trevalon-setup-0.7.19.exe",
         "abc",
         {},
         0,
         "0.7.19\nTrevalon-setup-0.7.19.exe" + abc_tail,
         ""},
        {"Trevalon-setup-v0.8.0.EXE",
         "abc",
         {},
         0,
         "v0.8.0\nTrevalon-setup-v0.8.0.EXE" + abc_tail,
         ""},
        {"SETUP.EXE", "abc", {"--version", "V2.0"}, 0, "V2.0\nSETUP.EXE" + abc_tail, ""},
        {"a.exe", "abc", {"--version=1"}, 0, "1\na.exe" + abc_tail, ""},
        {"Trevalon-setup-1.0.exe",
         "abc",
         {"--version", "v1234567890123456"},
         0,
         "v1234567890123456\nTrevalon-setup-1.0.exe" + abc_tail,
         ""},
        {ok_name, "abc", {"--version", "1"}, 0, "1\n" + ok_name + abc_tail, ""},
        // The file name.
        {"Trevalon-setup-0.7.19.zip", "abc", {}, 1, "", NAME_EXE_RULE},
        {"Trevalon-setup-0.7.19.exe.txt", "abc", {"--version", "1"}, 1, "", NAME_EXE_RULE},
        {".exe", "abc", {"--version", "1"}, 1, "", NAME_EXE_RULE},
        {"setup..x-1.0.exe", "abc", {}, 1, "", NAME_DOTS_RULE},
        {"my setup-1.0.exe", "abc", {}, 1, "", NAME_CHARACTERS_RULE},
        {"Trévalon-1.0.exe", "abc", {}, 1, "", NAME_CHARACTERS_RULE},
        {std::string(93, 'n') + ".exe", "abc", {"--version", "1"}, 1, "", NAME_CHARACTERS_RULE},
        {"new\nline-1.0.exe", "abc", {}, 1, "", "file name \"new\nline-1.0.exe\" holds a line end"},
        // The installer trims blanks and CRs at a line's end: the name must come back as given.
        {"Trevalon-setup-1.0.exe ",
         "abc",
         {},
         1,
         "",
         "file name \"Trevalon-setup-1.0.exe \" would be read as \"Trevalon-setup-1.0.exe\""},
        {"Trevalon-setup-1.0.exe\r",
         "abc",
         {},
         1,
         "",
         "file name \"Trevalon-setup-1.0.exe\r\" would be read as \"Trevalon-setup-1.0.exe\""},
        {"Trevalon-setup-1.0.exe \r ",
         "abc",
         {},
         1,
         "",
         "file name \"Trevalon-setup-1.0.exe \r \" would be read as \"Trevalon-setup-1.0.exe\""},
        // The version; it is line 1, so it is named before a bad file name.
        {"Trevalon-setup-1.0+beta.exe", "abc", {}, 1, "", VERSION_RULE},
        {"Trevalon-setup.exe", "abc", {"--version", "12345678901234567"}, 1, "", VERSION_RULE},
        {"Trevalon-setup.exe", "abc", {"--version", "v12345678901234567"}, 1, "", VERSION_RULE},
        {"Trevalon-setup-v.exe", "abc", {}, 1, "", VERSION_RULE},
        {"Trevalon-setup.exe",
         "abc",
         {"--version", "1.0\nx.exe"},
         1,
         "",
         "version \"1.0\nx.exe\" holds a line end"},
        {"Trevalon-setup.exe",
         "abc",
         {"--version", "1.0 "},
         1,
         "",
         "version \"1.0 \" would be read as \"1.0\""},
        {"Trevalon-setup.exe",
         "abc",
         {"--version", "1.0\r"},
         1,
         "",
         "version \"1.0\r\" would be read as \"1.0\""},
        // The size, and the size of the whole manifest.
        {"Trevalon-setup-1.0.exe", "", {}, 1, "", SIZE_RULE},
        {"a.exe",
         "abc",
         {"--version", long_version},
         1,
         "",
         "the manifest is 5074 bytes; the installer refuses 4095 bytes or more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        write_file(path, c.content);
        std::vector<std::string> args{"create", path};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = run_tool(args);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.refusal.empty()
                               ? ""
                               : "trevalon-manifest: create: refused: " + c.refusal + "\n");
        std::remove(path.c_str());
    }
}

TEST_F(ToolManifestTest, CreateNeedsAVersionAndAReadableFile) {
    write_file(dir.file("Trevalon.exe"), "abc");
    ToolRun run = run_tool({"create", dir.file("Trevalon.exe")});
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "trevalon-manifest: create: no version in the file name 'Trevalon.exe' (no "
              "-<version>.exe); give "
              "--version V (try 'trevalon-manifest create --help')\n");

    run = run_tool({"create", dir.file("Trevalon-setup-1.0.exe")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "trevalon-manifest: create: cannot read '" +
                           dir.file("Trevalon-setup-1.0.exe") + "'\n");
}

// What create prints, check and the installer's own parser accept, for a file
// larger than one read buffer; the digest is the one sha256sum gives.
TEST_F(ToolManifestTest, CreatedManifestIsAcceptedByCheckAndByTheParser) {
    std::string content;
    for (uint32_t i = 0; i < 3 * 1048576 + 17; ++i)
        content += static_cast<char>((i * 2654435761u) >> 24);
    const std::string installer = dir.file("Trevalon-setup-2.1.0.exe");
    write_file(installer, content);

    ToolRun created = run_tool({"create", installer});
    ASSERT_EQ(created.code, 0) << created.err;
    int status = -1;
    std::string expected_digest = shell("sha256sum " + quoted(installer), &status).substr(0, 64);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(created.out, "2.1.0\nTrevalon-setup-2.1.0.exe\n3145745\n" + expected_digest + "\n");

    write_file(dir.file("manifest.txt"), created.out);
    ToolRun checked = run_tool({"check", dir.file("manifest.txt")});
    EXPECT_EQ(checked.code, 0);
    EXPECT_EQ(checked.out,
              "   版本/Version v2.1.0  文件/File Trevalon-setup-2.1.0.exe  大小/Size 3.0 MB  "
              "来源/Source: 节点A/Node A\n");
    EXPECT_EQ(checked.err, "");

    std::string body = created.out;
    ReleaseRecord release = {};
    ASSERT_TRUE(parse_manifest(&body[0], release));
    EXPECT_STREQ(release.version, "2.1.0");
    EXPECT_STREQ(release.file_name, "Trevalon-setup-2.1.0.exe");
    EXPECT_EQ(release.size, content.size());
    EXPECT_EQ(release.sha256, expected_digest);
}

// ---- check ---------------------------------------------------------------------------

std::string misread(const std::string& line, const std::string& read_as) {
    return "{P}: line 3, size: the installer reads \"" + line + "\" as " + read_as +
           "; write plain decimal digits, no sign, no leading zeros\n";
}

struct CheckCase {
    const char* what;
    std::string body;
    int code;
    std::string out;  // {P} stands for the manifest's path
};

// Every rule of the format is named; a manifest that breaks several is
// refused for the first one the parser tests.
TEST_F(ToolManifestTest, CheckPrintsTheReleaseLineOrTheFirstBrokenRule) {
    const std::string D = DIGEST;
    const std::string name = "Trevalon-setup-0.7.19.exe\n";
    const std::string at_limit = GOOD + std::string(4094 - GOOD.size(), '#');
    const std::vector<CheckCase> cases = {
        {"good, LF", GOOD, 0, GOOD_LINE},
        {"good, CR LF and trailing blanks, no final line end",
         "0.7.19 \r\nTrevalon-setup-0.7.19.exe\r \r\n20140875  \r\n" + D, 0, GOOD_LINE},
        {"lines after the fourth are ignored", GOOD + "anything at all\n\xff\xfe\n", 0, GOOD_LINE},
        {"4094 bytes", at_limit, 0, GOOD_LINE},
        {"the largest size", "0.7.19\n" + name + "18446744073709551615\n" + D, 0,
         "   版本/Version v0.7.19  文件/File Trevalon-setup-0.7.19.exe  大小/Size 17592186044416.0 "
         "MB  来源/Source: 节点A/Node A\n"},
        {"upper-case digest",
         "0.7.19\n" + name +
             "20140875\n0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n",
         0, GOOD_LINE},

        {"empty", "", 1, "{P}: the manifest is empty\n"},
        {"4095 bytes", at_limit + "#", 1,
         "{P}: the manifest is 4095 bytes; the installer refuses 4095 bytes or more\n"},
        {"10000 bytes", GOOD + std::string(10000 - GOOD.size(), '#'), 1,
         "{P}: the manifest is 10000 bytes; the installer refuses 4095 bytes or more\n"},
        {"three lines", "0.7.19\n" + name + "20140875", 1, "{P}: " + LINES_RULE + "\n"},
        {"three lines and a final LF", "0.7.19\n" + name + "20140875\n", 1,
         "{P}: " + DIGEST_RULE + "\n"},
        {"CR line ends only",
         "0.7.19\r" + std::string("Trevalon-setup-0.7.19.exe\r20140875\r") + D + "\r", 1,
         "{P}: " + LINES_RULE + "\n"},
        {"byte-order mark", "\xEF\xBB\xBF" + GOOD, 1, "{P}: " + BOM_RULE + "\n"},
        {"byte-order mark after the v", "v\xEF\xBB\xBF" + GOOD.substr(1), 1,
         "{P}: " + BOM_RULE + "\n"},
        {"two of the three byte-order-mark bytes", "\xEF\xBB" + GOOD, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"two byte-order-mark bytes and another", "\xEF\xBB\xBE" + GOOD, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"version of only two byte-order-mark bytes", "\xEF\xBB\n" + name + "20140875\n" + D, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"blank line shifts the fields", "0.7.19\n\n" + name + "20140875\n" + D + "\n", 1,
         "{P}: " + NAME_CHARACTERS_RULE + "\n"},
        {"NUL inside the digest",
         std::string("0.7.19\n") + name + "20140875\n0123" + std::string(1, '\0') + D.substr(5) +
             "\n",
         1, "{P}: " + DIGEST_RULE + "\n"},
        // Version.
        {"version only v", "v\n" + name + "20140875\n" + D, 1, "{P}: " + VERSION_RULE + "\n"},
        {"version with a plus sign", "1.2+3\n" + name + "20140875\n" + D, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"version with a leading space", " 0.7.19\n" + name + "20140875\n" + D, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"version of 17", "12345678901234567\n" + name + "20140875\n" + D, 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"version of 18 after V", "V123456789012345678\n" + name + "20140875\n" + D, 1,
         "{P}: " + VERSION_RULE + "\n"},
        // File name.
        {"file name .exe.txt", "0.7.19\nsetup.exe.txt\n20140875\n" + D, 1,
         "{P}: " + NAME_EXE_RULE + "\n"},
        {"file name with ..", "0.7.19\nsetup..exe\n20140875\n" + D, 1,
         "{P}: " + NAME_DOTS_RULE + "\n"},
        {"file name with a slash", "0.7.19\ndir/setup.exe\n20140875\n" + D, 1,
         "{P}: " + NAME_CHARACTERS_RULE + "\n"},
        {"file name .exe", "0.7.19\n.exe\n20140875\n" + D, 1, "{P}: " + NAME_EXE_RULE + "\n"},
        {"file name of 97", "0.7.19\n" + std::string(93, 'x') + ".exe\n20140875\n" + D, 1,
         "{P}: " + NAME_CHARACTERS_RULE + "\n"},
        // Size.
        {"size 0", "0.7.19\n" + name + "0\n" + D, 1, "{P}: " + SIZE_RULE + "\n"},
        {"size empty", "0.7.19\n" + name + "\n" + D, 1, "{P}: " + SIZE_RULE + "\n"},
        {"size with a letter", "0.7.19\n" + name + "12a\n" + D, 1, "{P}: " + SIZE_RULE + "\n"},
        {"size in hexadecimal", "0.7.19\n" + name + "0x10\n" + D, 1, "{P}: " + SIZE_RULE + "\n"},
        {"size and a tab", "0.7.19\n" + name + "12\t\n" + D, 1, "{P}: " + SIZE_RULE + "\n"},
        // A size that no disk holds: the installer refuses it too.
        {"size -1", "0.7.19\n" + name + "-1\n" + D, 1, "{P}: " + NO_DISK_SIZE + "\n"},
        {"size 2^64", "0.7.19\n" + name + "18446744073709551616\n" + D, 1,
         "{P}: " + NO_DISK_SIZE + "\n"},
        {"size -(2^64 - 1)", "0.7.19\n" + name + "-18446744073709551615\n" + D, 1,
         "{P}: " + NO_DISK_SIZE + "\n"},
        // A size the installer accepts but reads as another number than the line shows.
        {"size with a plus sign and leading zeros", "0.7.19\n" + name + "+0020140875\n" + D, 1,
         misread("+0020140875", "20140875")},
        {"size with a leading zero", "0.7.19\n" + name + "020140875\r\n" + D, 1,
         misread("020140875", "20140875")},
        {"size after a blank", "0.7.19\n" + name + " 20140875\n" + D, 1,
         misread(" 20140875", "20140875")},
        // Digest.
        {"digest of 63", "0.7.19\n" + name + "20140875\n" + D.substr(1), 1,
         "{P}: " + DIGEST_RULE + "\n"},
        {"digest of 65", "0.7.19\n" + name + "20140875\n" + D + "0", 1,
         "{P}: " + DIGEST_RULE + "\n"},
        {"digest with g", "0.7.19\n" + name + "20140875\n" + D.substr(0, 10) + "g" + D.substr(11),
         1, "{P}: " + DIGEST_RULE + "\n"},
        // Several rules at once: the first one tested, and the digest before the size.
        {"all four broken", "1 2\nsetup.msi\n-\n" + D.substr(0, 10) + "\n", 1,
         "{P}: " + VERSION_RULE + "\n"},
        {"size and digest broken", "0.7.19\n" + name + "0\n" + D.substr(1) + "\n", 1,
         "{P}: " + DIGEST_RULE + "\n"},
    };
    const std::string path = dir.file("manifest.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path, c.body);
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out, replace_all(c.out, "{P}", path));
        EXPECT_EQ(run.err, "");
    }
}

// A pinned build of the tool refuses what a pinned installer passes over: a
// release below its built-in one (0.7.19). An unpinned build takes it.
TEST_F(ToolManifestTest, CheckInAPinnedBuildNamesAReleaseBelowTheBuiltIn) {
    const std::string D = DIGEST;
    const std::string older = "0.7.5\nTrevalon-setup-0.7.5.exe\n20140875\n" + D + "\n";
    const std::string older_line =
        "   版本/Version v0.7.5  文件/File Trevalon-setup-0.7.5.exe  大小/Size 19.2 MB  "
        "来源/Source: 节点A/Node A\n";
    const std::string below =
        "{P}: line 1, version: 0.7.5 is below the built-in release 0.7.19, which a pinned "
        "program refuses\n";
    struct PinnedCase {
        const char* what;
        bool pinned;
        std::string body;
        int code;
        std::string out;
    };
    const std::vector<PinnedCase> cases = {
        {"pinned, older", true, older, 1, below},
        {"pinned, the built-in version", true, GOOD, 0, GOOD_LINE},
        {"pinned, a broken rule comes first", true, "0.7.5\nsetup.msi\n5\n" + D, 1,
         "{P}: line 2, file name: at least 5 characters, ending in .exe\n"},
        {"unpinned, older", false, older, 0, older_line},
    };
    const std::string path = dir.file("manifest.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_os::reset();
        if (c.pinned) fake_os::set_signer_pins({std::string(64, '2')});
        write_file(path, c.body);
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out, replace_all(c.out, "{P}", path));
        EXPECT_EQ(run.err, "");
    }
}

// A pinned tool warns of the version order's trap: a hotfix named after the
// built-in release with text after its number sorts below it. A release that
// is plainly older (0.7.5, in the test above) gets no warning.
TEST_F(ToolManifestTest, CheckInAPinnedBuildWarnsOfHotfixNamesBelowTheBuiltIn) {
    const std::string D = DIGEST;
    const std::string warning =
        "{P}: warning: {V} sorts below the built-in release 0.7.19: a part with text after its "
        "number comes before the plain number, so 0.7.19-1, 0.7.19a and 0.7.19.hotfix all come "
        "before 0.7.19; name a hotfix 0.7.19.1 or a higher release\n";
    const std::string path = dir.file("manifest.txt");
    for (const char* version : {"0.7.19-1", "0.7.19a", "0.7.19.hotfix", "0.7.19.rc1"}) {
        SCOPED_TRACE(version);
        fake_os::reset();
        fake_os::set_signer_pins({std::string(64, '2')});
        write_file(path, std::string(version) + "\nTrevalon-setup.exe\n20140875\n" + D + "\n");
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out,
                  replace_all(replace_all("{P}: line 1, version: {V} is below the built-in "
                                          "release 0.7.19, which a pinned program "
                                          "refuses\n" +
                                              warning,
                                          "{P}", path),
                              "{V}", version));
        EXPECT_EQ(run.err, "");
    }
    // The same versions above the built-in release, and any version unpinned: no warning.
    for (bool pinned : {true, false}) {
        SCOPED_TRACE(pinned ? "pinned, 0.7.20-1" : "unpinned, 0.7.19-1");
        fake_os::reset();
        if (pinned) fake_os::set_signer_pins({std::string(64, '2')});
        write_file(path, std::string(pinned ? "0.7.20-1" : "0.7.19-1") +
                             "\nTrevalon-setup.exe\n20140875\n" + D + "\n");
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
    }
}

// check --installer: the file that the manifest names, judged as a pinned
// installer judges it, by its size, digest and version resource (the
// fixtures of tests/resource, with the build's product name "Trevalon").
TEST_F(ToolManifestTest, CheckOfTheInstallerReadsItsVersionResource) {
    struct Case {
        const char* what;
        bool pinned;
        const char* fixture;
        const char* version;  // the manifest's
        int code;
        std::string last_line;  // {I} is the installer's path
    };
    static const Case cases[] = {
        {"the installer", false, "installer-0.8.0.0.exe", "0.8.0", 0,
         "{I}: product \"Trevalon\", version 0.8.0.0: the installer the manifest names"},
        {"the installer, pinned", true, "installer-0.8.0.0.exe", "v0.8.0.0", 0,
         "{I}: product \"Trevalon\", version 0.8.0.0: the installer the manifest names"},
        {"three numbers in its script", true, "installer-three-part.exe", "0.9.1", 0,
         "{I}: product \"Trevalon\", version 0.9.1.0: the installer the manifest names"},
        {"another version", true, "installer-0.8.0.0.exe", "0.8.1", 1,
         "{I}: refused: its product version 0.8.0.0 is not the manifest's version 0.8.1"},
        {"a hotfix name", true, "installer-0.8.0.0.exe", "0.8.0-1", 1,
         "{I}: refused: its product version 0.8.0.0 is not the manifest's version 0.8.0-1"},
        {"another product", false, "installer-other-product.exe", "0.8.0", 1,
         "{I}: refused: its ProductName is \"Trevalon Online Installer\", not \"Trevalon\""},
        {"the programs' own resource", true, "program.exe", "1.2.0", 1,
         "{I}: refused: its ProductName is \"Trevalon Online Installer\", not \"Trevalon\""},
        {"no version resource", true, "no-resource.exe", "0.8.0", 1,
         "{I}: refused: no version resource; a pinned installer starts only a file whose version "
         "resource names the product \"Trevalon\" and the manifest's version"},
        {"an older release named as the built-in one, pinned", true, "installer-old.exe", "0.7.19",
         1, "{I}: refused: its product version 0.7.5.0 is below the built-in release 0.7.19"},
        {"an older release named as the built-in one, unpinned", false, "installer-old.exe",
         "0.7.19", 1,
         "{I}: refused: its product version 0.7.5.0 is not the manifest's version 0.7.19"},
        {"another helper of the product", true, "installer-other-name.exe", "0.8.0", 1,
         "{I}: refused: its OriginalFilename is \"Trevalon-helper.exe\", not "
         "\"Trevalon-setup.exe\""},
        {"a DLL", true, "installer-dll.exe", "0.8.0", 1,
         "{I}: refused: it is a DLL (IMAGE_FILE_DLL), not a program"},
        {"file type VFT_DLL", true, "installer-vft-dll.exe", "0.8.0", 1,
         "{I}: refused: its file type is VFT_DLL, not VFT_APP"},
        {"debug and prerelease", true, "installer-debug.exe", "0.8.0", 1,
         "{I}: refused: its version resource marks it as a DEBUG|PRERELEASE build"},
        {"ID 1 in two languages", true, "two-languages.exe", "0.8.0", 1,
         "{I}: refused: its version resource is in more than one language (RT_VERSION ID 1 in "
         "several languages, or several string tables)"},
        {"a named resource and ID 1", true, "two-resources.exe", "0.8.0", 1,
         "{I}: refused: its ProductName is \"Other Product\", not \"Trevalon\""},
    };
    const std::string manifest = dir.file("manifest.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_os::reset();
        if (c.pinned) fake_os::set_signer_pins({std::string(64, '2')});
        const std::string installer = std::string(VERSION_RESOURCE_FIXTURES) + c.fixture;
        char hex[SHA256_HEX_SIZE];
        uint64_t size = 0;
        ASSERT_TRUE(sha256_file(installer.c_str(), hex, size));
        write_file(manifest, std::string(c.version) + "\nTrevalon-setup.exe\n" +
                                 std::to_string(size) + "\n" + hex + "\n");
        ToolRun run = run_tool({"check", manifest, "--installer", installer});
        EXPECT_EQ(run.code, c.code);
        const size_t last = run.out.rfind('\n', run.out.size() - 2);
        ASSERT_NE(last, std::string::npos) << run.out;
        EXPECT_EQ(run.out.substr(last + 1), replace_all(c.last_line, "{I}", installer) + "\n");
        EXPECT_EQ(run.out.rfind("   版本/Version v", 0), 0u) << run.out;  // the release line first
        EXPECT_EQ(run.err, "");
    }
}

// check --installer refuses a file that is not the one the manifest names
// before it looks at its resource, and one it cannot read.
TEST_F(ToolManifestTest, CheckOfTheInstallerComparesItsSizeAndDigest) {
    const std::string installer = std::string(VERSION_RESOURCE_FIXTURES) + "installer-0.8.0.0.exe";
    char hex[SHA256_HEX_SIZE];
    uint64_t size = 0;
    ASSERT_TRUE(sha256_file(installer.c_str(), hex, size));
    const std::string manifest = dir.file("manifest.txt");
    const std::string other_digest(64, 'a');
    struct Case {
        const char* what;
        std::string body;
        std::string installer;
        std::string out_tail;
        std::string err;
    };
    const Case cases[] = {
        {"another size", "0.8.0\nTrevalon-setup.exe\n3\n" + std::string(hex) + "\n", installer,
         installer + ": refused: " + std::to_string(size) + " bytes; the manifest names 3\n", ""},
        {"another digest",
         "0.8.0\nTrevalon-setup.exe\n" + std::to_string(size) + "\n" + other_digest + "\n",
         installer,
         installer + ": refused: SHA-256 " + hex + "; the manifest names " + other_digest + "\n",
         ""},
        {"no such file", "0.8.0\nTrevalon-setup.exe\n3\n" + std::string(hex) + "\n",
         dir.file("none.exe"), "",
         "trevalon-manifest: check: cannot read '" + dir.file("none.exe") + "'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(manifest, c.body);
        ToolRun run = run_tool({"check", manifest, "--installer=" + c.installer});
        EXPECT_EQ(run.code, 1);
        ASSERT_GE(run.out.size(), c.out_tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - c.out_tail.size()), c.out_tail);
        EXPECT_EQ(run.err, c.err);
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"check", manifest, "--installer"},
             {"check", manifest, "--installer", "a", "--installer", "b"}}) {
        ToolRun run = run_tool(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.err.find("--installer"), std::string::npos) << run.err;
    }
}

// A folder opens as a file on POSIX and fails only at the read: it is no
// empty manifest.
TEST_F(ToolManifestTest, CheckOfAMissingFileOrAFolder) {
    const std::string folder = dir.path().substr(0, dir.path().size() - 1);
    for (const std::string& path : {dir.file("none.txt"), folder}) {
        SCOPED_TRACE(path);
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "trevalon-manifest: check: cannot read '" + path + "'\n");
    }
}

// ---- hash ------------------------------------------------------------------------------

TEST_F(ToolManifestTest, HashAgreesWithSha256sum) {
    struct File {
        std::string name;
        size_t size;
    };
    const std::vector<File> files = {
        {"empty", 0},
        {"b55", 55},
        {"b56", 56},
        {"b63", 63},
        {"b64", 64},
        {"b65", 65},
        {"big.exe", 1048576 * 2 + 3},
        {"with space", 10},
        {"back\\slash", 11},
        {"new\nline", 12},
        {"carriage\rreturn", 13},
    };
    std::vector<std::string> args{"hash"};
    std::string command = "cd " + quoted(dir.path()) + " && sha256sum";
    for (const auto& f : files) {
        std::string content;
        for (size_t i = 0; i < f.size; ++i)
            content += static_cast<char>((i * 131 + f.size) & 0xFF);
        write_file(dir.file(f.name), content);
        args.push_back(f.name);
        command += " " + quoted(f.name);
    }
    args.push_back("missing");
    command += " missing 2>/dev/null";

    int status = -1;
    std::string expected = shell(command, &status);
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(status, 1);

    // Relative names, as people type them; the tool runs in the folder too.
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ToolRun run = run_tool(args);
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "trevalon-manifest: hash: cannot read 'missing'\n");
}

// --engine names the engine in use; --engine=NAME runs the digests on that one.
TEST_F(ToolManifestTest, HashOnEachEngineTheCpuRuns) {
    const std::string path = dir.file("abc");
    write_file(path, "abc");
    const std::string line = std::string(ABC_SHA256) + "  " + path + "\n";
    for (int e = 0; e < SHA256_ENGINE_COUNT; ++e) {
        const Sha256Engine engine = static_cast<Sha256Engine>(e);
        const std::string name = sha256_engine_name(engine);
        SCOPED_TRACE(name);
        ToolRun run = run_tool({"hash", "--engine=" + name, path});
        if (sha256_cpu_runs(engine)) {
            EXPECT_EQ(run.code, 0);
            EXPECT_EQ(run.out, "SHA-256 engine: " + name + "\n" + line);
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.code, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err,
                      "trevalon-manifest: hash: this CPU cannot run the " + name + " engine\n");
        }
    }
    sha256_select_engine(sha256_best_engine());

    ToolRun shown = run_tool({"hash", "--engine"});
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(shown.out,
              std::string("SHA-256 engine: ") + sha256_engine_name(sha256_best_engine()) + "\n");

    ToolRun unknown = run_tool({"hash", "--engine=avx512", path});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err,
              "trevalon-manifest: hash: no engine 'avx512': sha-ext, avx2, ssse3 or portable (try "
              "'trevalon-manifest hash --help')\n");
}

// ---- usage -------------------------------------------------------------------------------

struct UsageCase {
    std::vector<std::string> args;
    int code;
    const char* out_starts;
    const char* err;
};

TEST_F(ToolManifestTest, HelpAndUsageErrors) {
    static const UsageCase cases[] = {
        {{}, 2, "", "trevalon-manifest: missing command (try 'trevalon-manifest --help')\n"},
        {{"frob"},
         2,
         "",
         "trevalon-manifest: unknown command 'frob' (try 'trevalon-manifest --help')\n"},
        {{"create"},
         2,
         "",
         "trevalon-manifest: create: missing INSTALLER (try 'trevalon-manifest create --help')\n"},
        {{"create", "a", "b"},
         2,
         "",
         "trevalon-manifest: create: one INSTALLER only, got 2 (try 'trevalon-manifest create "
         "--help')\n"},
        {{"create", "a.exe", "--version"},
         2,
         "",
         "trevalon-manifest: create: --version needs a value (try 'trevalon-manifest create "
         "--help')\n"},
        {{"create", "a.exe", "--version", "1", "--version=2"},
         2,
         "",
         "trevalon-manifest: create: --version given twice (try 'trevalon-manifest create "
         "--help')\n"},
        {{"create", "--force", "a.exe"},
         2,
         "",
         "trevalon-manifest: create: unknown option '--force' (try 'trevalon-manifest create "
         "--help')\n"},
        {{"check"},
         2,
         "",
         "trevalon-manifest: check: missing MANIFEST (try 'trevalon-manifest check --help')\n"},
        {{"check", "a", "b"},
         2,
         "",
         "trevalon-manifest: check: one MANIFEST only, got 2 (try 'trevalon-manifest check "
         "--help')\n"},
        {{"check", "--version", "1", "m"},
         2,
         "",
         "trevalon-manifest: check: unknown option '--version' (try 'trevalon-manifest check "
         "--help')\n"},
        {{"hash"},
         2,
         "",
         "trevalon-manifest: hash: missing FILE (try 'trevalon-manifest hash --help')\n"},
        {{"hash", "--engines", "f"},
         2,
         "",
         "trevalon-manifest: hash: unknown option '--engines' (try 'trevalon-manifest hash "
         "--help')\n"},
        {{"mirrors", "a", "b"},
         2,
         "",
         "trevalon-manifest: mirrors: one MANIFEST only, got 2 (try 'trevalon-manifest mirrors "
         "--help')\n"},
        {{"--help"}, 0, "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n", ""},
        {{"-h"}, 0, "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n", ""},
        {{"create", "--help"}, 0, "Usage: trevalon-manifest create INSTALLER [--version V]\n", ""},
        {{"create", "x", "--bogus", "-h"},
         0,
         "Usage: trevalon-manifest create INSTALLER [--version V]\n",
         ""},
        {{"check", "--help"},
         0,
         "Usage: trevalon-manifest check MANIFEST [--installer FILE]\n",
         ""},
        {{"hash", "--help"}, 0, "Usage: trevalon-manifest hash FILE...\n", ""},
        {{"mirrors", "--help"}, 0, "Usage: trevalon-manifest mirrors MANIFEST\n", ""},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out.rfind(c.out_starts, 0), 0u) << run.out;
        if (c.code == 0) {
            EXPECT_GT(run.out.size(), std::strlen(c.out_starts));
        } else {
            EXPECT_EQ(run.out, "");
        }
        EXPECT_EQ(run.err, c.err);
    }
    EXPECT_TRUE(fake_net::calls().empty());
}

// "--" ends the options: a file may be named like one.
TEST_F(ToolManifestTest, DoubleDashEndsTheOptions) {
    write_file(dir.file("--help"), "abc");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ToolRun run = run_tool({"hash", "--", "--help"});
    ASSERT_EQ(chdir(here), 0);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, std::string(ABC_SHA256) + "  --help\n");
}

}  // namespace
