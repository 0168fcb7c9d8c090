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

namespace {

const char ABC_SHA256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char DIGEST[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string GOOD = std::string("v0.7.19\nTrevalon-setup-0.7.19.exe\n20140875\n") + DIGEST + "\n";
const char GOOD_LINE[] =
    "   版本/Version v0.7.19  文件/File Trevalon-setup-0.7.19.exe  大小/Size 19.2 MB  来源/Source: 节点A/Node A\n";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string quoted(const std::string& path) { return "'" + replace_all(path, "'", "'\\''") + "'"; }

// Standard output of a shell command and its exit status.
std::string shell(const std::string& command, int* status) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
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
    const char* name;
    const char* content;
    std::vector<std::string> options;
    int code;
    const char* out;
    const char* err;  // {PATH} stands for the installer's path
};

TEST_F(ToolManifestTest, CreatePrintsTheManifestOrNamesTheBrokenRule) {
    const std::string long_name = std::string(93, 'n') + ".exe";  // 97 characters
    const std::string ok_name = std::string(92, 'n') + ".exe";    // 96 characters
    static const CreateCase cases[] = {
        {"Trevalon-setup-0.7.19.exe", "abc", {}, 0,
         "0.7.19\nTrevalon-setup-0.7.19.exe\n3\nba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n", ""},
        {"Trevalon-setup-v0.8.0.EXE", "abc", {}, 0,
         "v0.8.0\nTrevalon-setup-v0.8.0.EXE\n3\nba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n", ""},
        {"SETUP.EXE", "abc", {"--version", "V2.0"}, 0,
         "V2.0\nSETUP.EXE\n3\nba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n", ""},
        {"a.exe", "abc", {"--version=1"}, 0,
         "1\na.exe\n3\nba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n", ""},
        {"Trevalon-setup-1.0.exe", "abc", {"--version", "v1234567890123456"}, 0,
         "v1234567890123456\nTrevalon-setup-1.0.exe\n3\nba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n",
         ""},
        // The file name.
        {"Trevalon-setup-0.7.19.zip", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: file name \"Trevalon-setup-0.7.19.zip\" must end in \".exe\" (any "
         "letter case)\n"},
        {"Trevalon-setup-0.7.19.exe.txt", "abc", {"--version", "1"}, 1, "",
         "trevalon-manifest: create: refused: file name \"Trevalon-setup-0.7.19.exe.txt\" must end in \".exe\" "
         "(any letter case)\n"},
        {"setup..x-1.0.exe", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: file name \"setup..x-1.0.exe\" must not contain \"..\"\n"},
        {"my setup-1.0.exe", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: file name \"my setup-1.0.exe\" has a space at column 3; only 0-9 "
         "A-Z a-z . _ - are allowed\n"},
        {"Trévalon-1.0.exe", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: file name \"Trévalon-1.0.exe\" has byte 0xC3 at column 3; only 0-9 "
         "A-Z a-z . _ - are allowed\n"},
        {".exe", "abc", {"--version", "1"}, 1, "",
         "trevalon-manifest: create: refused: file name \".exe\" has 4 characters; at least 5 are needed\n"},
        // The version.
        {"Trevalon-setup-1.0+beta.exe", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: file name \"Trevalon-setup-1.0+beta.exe\" has '+' at column 19; "
         "only 0-9 A-Z a-z . _ - are allowed\n"
         "trevalon-manifest: create: refused: version \"1.0+beta\" has '+' at column 4; only 0-9 A-Z a-z . _ - "
         "are allowed\n"},
        {"Trevalon-setup.exe", "abc", {"--version", "12345678901234567"}, 1, "",
         "trevalon-manifest: create: refused: version \"12345678901234567\" has 17 characters; at most 16 are "
         "allowed\n"},
        {"Trevalon-setup.exe", "abc", {"--version", "v12345678901234567"}, 1, "",
         "trevalon-manifest: create: refused: version \"v12345678901234567\" has 17 characters; at most 16 are "
         "allowed after the leading \"v\"\n"},
        {"Trevalon-setup-v.exe", "abc", {}, 1, "",
         "trevalon-manifest: create: refused: version \"v\" is only a \"v\"; the number must follow it\n"},
        {"Trevalon-setup.exe", "abc", {"--version", "1.0\nx.exe"}, 1, "",
         "trevalon-manifest: create: refused: version \"1.0\nx.exe\" has byte 0x0A at column 4; only 0-9 A-Z "
         "a-z . _ - are allowed\n"},
        {"Trevalon-setup.exe", "abc", {"--version", "1.0 "}, 1, "",
         "trevalon-manifest: create: refused: version \"1.0 \" has a space at column 4; only 0-9 A-Z a-z . _ - "
         "are allowed\n"},
        // The size.
        {"Trevalon-setup-1.0.exe", "", {}, 1, "",
         "trevalon-manifest: create: refused: size \"0\" must not be 0\n"},
    };
    std::vector<CreateCase> all(std::begin(cases), std::end(cases));
    all.push_back({ok_name.c_str(), "abc", {"--version", "1"}, 0, nullptr, ""});
    all.push_back({long_name.c_str(), "abc", {"--version", "1"}, 1, "", nullptr});
    for (const auto& c : all) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        write_file(path, c.content);
        std::vector<std::string> args{"create", path};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = run_tool(args);
        EXPECT_EQ(run.code, c.code);
        if (c.out != nullptr) {
            EXPECT_EQ(run.out, c.out);
        } else {
            EXPECT_EQ(run.out, std::string("1\n") + c.name + "\n3\n" + ABC_SHA256 + "\n");
        }
        if (c.err != nullptr) {
            EXPECT_EQ(run.err, c.err);
        } else {
            EXPECT_EQ(run.err, "trevalon-manifest: create: refused: file name \"" + std::string(c.name) +
                                   "\" has 97 characters; at most 96 are allowed\n");
        }
        std::remove(path.c_str());
    }
}

TEST_F(ToolManifestTest, CreateNeedsAVersionAndAReadableFile) {
    write_file(dir.file("Trevalon.exe"), "abc");
    ToolRun run = run_tool({"create", dir.file("Trevalon.exe")});
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "trevalon-manifest: create: no version in the file name 'Trevalon.exe' (no -<version>.exe); give "
              "--version V (try 'trevalon-manifest create --help')\n");

    run = run_tool({"create", dir.file("Trevalon-setup-1.0.exe")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "trevalon-manifest: create: cannot read '" + dir.file("Trevalon-setup-1.0.exe") + "'\n");
}

// What create prints, check and the installer's own parser accept, for a file
// larger than one read buffer; the digest is the one sha256sum gives.
TEST_F(ToolManifestTest, CreatedManifestIsAcceptedByCheckAndByTheParser) {
    std::string content;
    for (uint32_t i = 0; i < 3 * 1048576 + 17; ++i) content += static_cast<char>((i * 2654435761u) >> 24);
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
              "   版本/Version v2.1.0  文件/File Trevalon-setup-2.1.0.exe  大小/Size 3.0 MB  来源/Source: 节点A/Node A\n");
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

struct CheckCase {
    const char* what;
    std::string body;
    int code;
    std::string out;  // {P} stands for the manifest's path
};

std::vector<CheckCase> check_cases() {
    const std::string D = DIGEST;
    const std::string name = "Trevalon-setup-0.7.19.exe\n";
    const std::string only = "only 0-9 A-Z a-z . _ - are allowed";
    std::string at_limit = GOOD + std::string(4094 - GOOD.size(), '#');
    return {
        {"good, LF", GOOD, 0, GOOD_LINE},
        {"good, CR LF and trailing blanks, no final line end",
         "0.7.19 \r\nTrevalon-setup-0.7.19.exe\r \r\n20140875  \r\n" + D, 0, GOOD_LINE},
        {"lines after the fourth are ignored", GOOD + "anything at all\n\xff\xfe\n", 0, GOOD_LINE},
        {"4094 bytes", at_limit, 0, GOOD_LINE},
        {"size with a plus sign and leading zeros", "0.7.19\n" + name + "+0020140875\n" + D, 0, GOOD_LINE},
        {"upper-case digest", "0.7.19\n" + name + "20140875\n0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n",
         0, GOOD_LINE},

        {"empty", "", 1, "{P}: the manifest is empty\n"},
        {"4095 bytes", at_limit + "#", 1,
         "{P}: the manifest is 4095 bytes; the installer refuses 4095 bytes or more\n"},
        {"10000 bytes", GOOD + std::string(10000 - GOOD.size(), '#'), 1,
         "{P}: the manifest is 10000 bytes; the installer refuses 4095 bytes or more\n"},
        {"three lines", "0.7.19\n" + name + "20140875", 1,
         "{P}: the manifest has 3 lines; four are needed: version, file name, size, SHA-256\n"},
        {"three lines and a final LF", "0.7.19\n" + name + "20140875\n", 1,
         "{P}:4: SHA-256 has 0 characters; exactly 64 hexadecimal digits are needed\n"},
        {"CR line ends only", "0.7.19\r" + std::string("Trevalon-setup-0.7.19.exe\r20140875\r") + D + "\r", 1,
         "{P}: the manifest has 1 line; four are needed: version, file name, size, SHA-256 (a CR alone does not "
         "end a line; lines end with LF)\n"},
        {"byte-order mark", "\xEF\xBB\xBF" + GOOD, 1,
         "{P}:1: version starts with a UTF-8 byte-order mark; save the manifest without one\n"},
        {"blank line shifts the fields", "0.7.19\n\n" + name + "20140875\n" + D + "\n", 1,
         "{P}:2: file name is empty\n"
         "{P}:3: size \"Trevalon-setup-0.7.19.exe\" is not a decimal number of bytes\n"
         "{P}:4: SHA-256 has 8 characters; exactly 64 hexadecimal digits are needed\n"},
        {"NUL inside the digest", std::string("0.7.19\n") + name + "20140875\n0123" + std::string(1, '\0') +
                                      D.substr(5) + "\n",
         1,
         "{P}:4: SHA-256 has 4 characters; exactly 64 hexadecimal digits are needed (byte 47 is a NUL, which "
         "ends the text)\n"},
        // Version.
        {"version only v", "v\n" + name + "20140875\n" + D, 1,
         "{P}:1: version is only a \"v\"; the number must follow it\n"},
        {"version with a plus sign", "1.2+3\n" + name + "20140875\n" + D, 1,
         "{P}:1: version has '+' at column 4; " + only + "\n"},
        {"version with a leading space", " 0.7.19\n" + name + "20140875\n" + D, 1,
         "{P}:1: version has a space at column 1; " + only + "\n"},
        {"version of 17", "12345678901234567\n" + name + "20140875\n" + D, 1,
         "{P}:1: version has 17 characters; at most 16 are allowed\n"},
        {"version of 18 after v", "V123456789012345678\n" + name + "20140875\n" + D, 1,
         "{P}:1: version has 18 characters; at most 16 are allowed after the leading \"V\"\n"},
        // File name.
        {"file name .exe.txt", "0.7.19\nsetup.exe.txt\n20140875\n" + D, 1,
         "{P}:2: file name must end in \".exe\" (any letter case)\n"},
        {"file name with ..", "0.7.19\nsetup..exe\n20140875\n" + D, 1, "{P}:2: file name must not contain \"..\"\n"},
        {"file name with a slash", "0.7.19\ndir/setup.exe\n20140875\n" + D, 1,
         "{P}:2: file name has '/' at column 4; " + only + "\n"},
        {"file name .exe", "0.7.19\n.exe\n20140875\n" + D, 1,
         "{P}:2: file name has 4 characters; at least 5 are needed\n"},
        {"file name of 97", "0.7.19\n" + std::string(93, 'x') + ".exe\n20140875\n" + D, 1,
         "{P}:2: file name has 97 characters; at most 96 are allowed\n"},
        // Size.
        {"size 0", "0.7.19\n" + name + "0\n" + D, 1, "{P}:3: size must not be 0\n"},
        {"size empty", "0.7.19\n" + name + "\n" + D, 1, "{P}:3: size \"\" is not a decimal number of bytes\n"},
        {"size with a letter", "0.7.19\n" + name + "12a\n" + D, 1,
         "{P}:3: size \"12a\" is not a decimal number of bytes\n"},
        {"size in hexadecimal", "0.7.19\n" + name + "0x10\n" + D, 1,
         "{P}:3: size \"0x10\" is not a decimal number of bytes\n"},
        {"size and a tab", "0.7.19\n" + name + "12\t\n" + D, 1,
         "{P}:3: size \"12\t\" is not a decimal number of bytes\n"},
        // Digest.
        {"digest of 63", "0.7.19\n" + name + "20140875\n" + D.substr(1), 1,
         "{P}:4: SHA-256 has 63 characters; exactly 64 hexadecimal digits are needed\n"},
        {"digest of 65", "0.7.19\n" + name + "20140875\n" + D + "0", 1,
         "{P}:4: SHA-256 has 65 characters; exactly 64 hexadecimal digits are needed\n"},
        {"digest with g", "0.7.19\n" + name + "20140875\n" + D.substr(0, 10) + "g" + D.substr(11), 1,
         "{P}:4: SHA-256 has 'g' at column 11; only 0-9 a-f A-F are allowed\n"},
        // Every line at once.
        {"all four broken", "1 2\nsetup.msi\n-\n" + D.substr(0, 10) + "\n", 1,
         "{P}:1: version has a space at column 2; " + only + "\n"
         "{P}:2: file name must end in \".exe\" (any letter case)\n"
         "{P}:3: size \"-\" is not a decimal number of bytes\n"
         "{P}:4: SHA-256 has 10 characters; exactly 64 hexadecimal digits are needed\n"},
    };
}

TEST_F(ToolManifestTest, CheckPrintsTheReleaseLineOrWhichLineBreaksWhichRule) {
    const std::string path = dir.file("manifest.txt");
    for (const auto& c : check_cases()) {
        SCOPED_TRACE(c.what);
        write_file(path, c.body);
        ToolRun run = run_tool({"check", path});
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.out, replace_all(c.out, "{P}", path));
        EXPECT_EQ(run.err, "");
    }
}

// The diagnostic layer finds a broken rule exactly when the parser refuses.
TEST_F(ToolManifestTest, DiagnosisAgreesWithTheParser) {
    for (const auto& c : check_cases()) {
        SCOPED_TRACE(c.what);
        bool accepted = false;
        if (!c.body.empty() && c.body.size() < MANIFEST_BODY_SIZE - 1) {
            std::string copy = c.body;
            ReleaseRecord release = {};
            accepted = parse_manifest(&copy[0], release);
        }
        ManifestDiagnosis diagnosis;
        diagnose_manifest(c.body.data(), c.body.size(), diagnosis);
        EXPECT_EQ(accepted, diagnosis.count == 0);
        EXPECT_EQ(accepted, c.code == 0);
    }
}

TEST_F(ToolManifestTest, CheckOfAMissingFile) {
    ToolRun run = run_tool({"check", dir.file("none.txt")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "trevalon-manifest: check: cannot read '" + dir.file("none.txt") + "'\n");
}

// ---- hash ------------------------------------------------------------------------------

TEST_F(ToolManifestTest, HashAgreesWithSha256sum) {
    struct File {
        std::string name;
        size_t size;
    };
    const std::vector<File> files = {
        {"empty", 0},        {"b55", 55},          {"b56", 56},    {"b63", 63},
        {"b64", 64},         {"b65", 65},          {"big.exe", 1048576 * 2 + 3},
        {"with space", 10},  {"back\\slash", 11},  {"new\nline", 12}, {"carriage\rreturn", 13},
    };
    std::vector<std::string> args{"hash"};
    std::string command = "cd " + quoted(dir.path()) + " && sha256sum";
    for (const auto& f : files) {
        std::string content;
        for (size_t i = 0; i < f.size; ++i) content += static_cast<char>((i * 131 + f.size) & 0xFF);
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
        {{"frob"}, 2, "", "trevalon-manifest: unknown command 'frob' (try 'trevalon-manifest --help')\n"},
        {{"create"}, 2, "", "trevalon-manifest: create: missing INSTALLER (try 'trevalon-manifest create --help')\n"},
        {{"create", "a", "b"}, 2, "",
         "trevalon-manifest: create: one INSTALLER only, got 2 (try 'trevalon-manifest create --help')\n"},
        {{"create", "a.exe", "--version"}, 2, "",
         "trevalon-manifest: create: --version needs a value (try 'trevalon-manifest create --help')\n"},
        {{"create", "a.exe", "--version", "1", "--version=2"}, 2, "",
         "trevalon-manifest: create: --version given twice (try 'trevalon-manifest create --help')\n"},
        {{"create", "--force", "a.exe"}, 2, "",
         "trevalon-manifest: create: unknown option '--force' (try 'trevalon-manifest create --help')\n"},
        {{"check"}, 2, "", "trevalon-manifest: check: missing MANIFEST (try 'trevalon-manifest check --help')\n"},
        {{"check", "--version", "1", "m"}, 2, "",
         "trevalon-manifest: check: unknown option '--version' (try 'trevalon-manifest check --help')\n"},
        {{"hash"}, 2, "", "trevalon-manifest: hash: missing FILE (try 'trevalon-manifest hash --help')\n"},
        {{"mirrors", "a", "b"}, 2, "",
         "trevalon-manifest: mirrors: one MANIFEST only, got 2 (try 'trevalon-manifest mirrors --help')\n"},
        {{"--help"}, 0, "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n", ""},
        {{"-h"}, 0, "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n", ""},
        {{"create", "--help"}, 0, "Usage: trevalon-manifest create INSTALLER [--version V]\n", ""},
        {{"create", "x", "--bogus", "-h"}, 0, "Usage: trevalon-manifest create INSTALLER [--version V]\n", ""},
        {{"check", "--help"}, 0, "Usage: trevalon-manifest check MANIFEST\n", ""},
        {{"hash", "--help"}, 0, "Usage: trevalon-manifest hash FILE...\n", ""},
        {{"mirrors", "--help"}, 0, "Usage: trevalon-manifest mirrors MANIFEST\n", ""},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
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
