#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "manifest/manifest.hpp"
#include "test_support.hpp"
#include "tool_test_support.hpp"

namespace {

using fake_net::Response;
using fake_net::Step;

const char HEADER[] = "#  SOURCE  HOST                       REACHABLE  MANIFEST  SERVES\n";
const char DIGEST[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char GOOD[] =
    "v2.4.0\nTrevalon-setup-2.4.0.exe\n3000000\n"
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n";
const char SERVES_GOOD[] = "v2.4.0  Trevalon-setup-2.4.0.exe  3000000 bytes  SHA-256 0123456789ab";

std::string row(int source, const char* reachable, const char* verdict, const std::string& serves) {
    static const char* const LABELS[] = {"Node A", "Node B", "Node C", "Node C", "Node D"};
    static const char* const HOSTS[] = {"www.modelscope.cn", "www.trevalon.app",
                                        "raw.githubusercontent.com", "raw.githubusercontent.com",
                                        "huggingface.co"};
    char text[512];
    std::snprintf(text, sizeof text, "%-2d %-6s  %-25s  %-9s  %-8s  %s\n", source + 1,
                  LABELS[source], HOSTS[source], reachable, verdict, serves.c_str());
    return text;
}

class ToolSourcesTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
    }
    TestDir dir;
};

// Every way a source can fail the installer, at the second source, with the
// other four serving the same manifest: the row names what the installer
// would have made of it, and the run fails unless the source passes.
TEST_F(ToolSourcesTest, NamesWhatEachSourceServes) {
    std::string padded_4094 = std::string(GOOD) + std::string(4094 - (sizeof GOOD - 1), 'x');
    std::string padded_4095 = padded_4094 + "x";
    std::string upper = GOOD;
    std::transform(upper.begin() + 42, upper.end(), upper.begin() + 42,
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    Response broken = served(GOOD);
    broken.fail_at = Step::read;
    Response late_break = fake_net::body("", false);
    late_break.chunks = {std::string(GOOD).substr(0, 20), std::string(GOOD).substr(20)};
    late_break.fail_at = Step::data_available;
    late_break.fail_on_call = 1;
    Response no_body = served("");
    Response stalls = served(GOOD);
    stalls.fail_at = Step::receive;

    struct Case {
        const char* name;
        bool served;
        Response response;
        int code;
        const char* reachable;
        const char* verdict;
        std::string serves;
    };
    const Case cases[] = {
        {"the same manifest", true, served(GOOD), 0, "yes", "same", SERVES_GOOD},
        {"the same manifest with a 206", true, served(GOOD, 206), 0, "yes", "same", SERVES_GOOD},
        {"the same manifest, digest in upper case", true, served(upper), 0, "yes", "same",
         "v2.4.0  Trevalon-setup-2.4.0.exe  3000000 bytes  SHA-256 0123456789AB"},
        {"the same manifest in 4094 bytes", true, served(padded_4094), 0, "yes", "same",
         SERVES_GOOD},
        {"the same manifest in 4095 bytes", true, served(padded_4095), 1, "yes", "-",
         "no manifest: a body of 4095 bytes or more"},
        {"an older release", true,
         served(std::string("2.3.9\nTrevalon-setup-2.3.9.exe\n2999000\n") + DIGEST + "\n"), 1,
         "yes", "differs", "v2.3.9  Trevalon-setup-2.3.9.exe  2999000 bytes  SHA-256 0123456789ab"},
        {"another version only", true,
         served(std::string("2.4.1\nTrevalon-setup-2.4.0.exe\n3000000\n") + DIGEST), 1, "yes",
         "differs", "v2.4.1  Trevalon-setup-2.4.0.exe  3000000 bytes  SHA-256 0123456789ab"},
        {"another file name only", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.1.exe\n3000000\n") + DIGEST), 1, "yes",
         "differs", "v2.4.0  Trevalon-setup-2.4.1.exe  3000000 bytes  SHA-256 0123456789ab"},
        {"another size only", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n3000001\n") + DIGEST), 1, "yes",
         "differs", "v2.4.0  Trevalon-setup-2.4.0.exe  3000001 bytes  SHA-256 0123456789ab"},
        {"another digest only", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n3000000\nf") + (DIGEST + 1)), 1,
         "yes", "differs", "v2.4.0  Trevalon-setup-2.4.0.exe  3000000 bytes  SHA-256 f123456789ab"},
        {"a short digest", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n3000000\n") + (DIGEST + 1)), 1, "yes",
         "-", "line 4, SHA-256: exactly 64 hexadecimal digits"},
        {"a size the installer reads as another number", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n+3000000\n") + DIGEST), 1, "yes", "-",
         "line 3, size: the installer reads \"+3000000\" as 3000000; write plain decimal "
         "digits, no sign, no leading zeros"},
        {"a size no disk holds", true,
         served(std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n-1\n") + DIGEST), 1, "yes", "-",
         "line 3, size: no minus sign, and not above 18446744073709551615"},
        {"a 404", true, served("Not here\n", 404), 1, "yes", "-",
         "no manifest: status other than 200 or 206"},
        {"an empty body", true, no_body, 1, "yes", "-", "no manifest: an empty body"},
        {"a read that fails", true, broken, 1, "yes", "-", "no manifest: the body broke off"},
        {"a body that breaks off", true, late_break, 1, "yes", "-",
         "no manifest: the body broke off"},
        {"no response", true, stalls, 1, "no", "-", "no response"},
        {"no server", false, {}, 1, "no", "-", "no response"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i) {
            if (i != 1) fake_net::serve(MANIFEST_SOURCES[i], served(GOOD));
        }
        if (c.served) fake_net::serve(MANIFEST_SOURCES[1], c.response);

        ToolRun run = run_tool({"sources"});
        EXPECT_EQ(run.code, c.code);
        EXPECT_EQ(run.err, "");
        std::string good_rows;
        EXPECT_EQ(visible(run.out),
                  std::string("Against the first source that serves a valid manifest\n") + HEADER +
                      row(0, "yes", "same", SERVES_GOOD) +
                      row(1, c.reachable, c.verdict, c.serves) +
                      row(2, "yes", "same", SERVES_GOOD) + row(3, "yes", "same", SERVES_GOOD) +
                      row(4, "yes", "same", SERVES_GOOD) +
                      (c.code == 0 ? "All 5 sources serve the same valid manifest.\n"
                                   : "1 of 5 sources do not serve the same valid manifest.\n"));
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

// Without MANIFEST, sources are compared with the first that serves a valid
// one, which need not be the first source; the sources before it count as
// failures, not as references.
TEST_F(ToolSourcesTest, ComparesWithTheFirstValidSource) {
    const std::string older = std::string("2.3.9\nTrevalon-setup-2.3.9.exe\n2999000\n") + DIGEST;
    fake_net::serve(MANIFEST_SOURCES[0], served("<html>\n<p>moved</p>\n</html>\n"));
    fake_net::serve(MANIFEST_SOURCES[1], served(older));
    fake_net::serve(MANIFEST_SOURCES[2], served(GOOD));
    fake_net::serve(MANIFEST_SOURCES[3], served(older + "\r\n"));
    fake_net::serve(MANIFEST_SOURCES[4], served("v" + older));

    ToolRun run = run_tool({"sources"});
    EXPECT_EQ(run.code, 1);
    const std::string older_serves =
        "v2.3.9  Trevalon-setup-2.3.9.exe  2999000 bytes  SHA-256 0123456789ab";
    EXPECT_EQ(visible(run.out),
              std::string("Against the first source that serves a valid manifest\n") + HEADER +
                  row(0, "yes", "-",
                      "line 1, version: after one optional leading v, 1 to 16 characters of 0-9 "
                      "A-Z a-z . _ -") +
                  row(1, "yes", "same", older_serves) + row(2, "yes", "differs", SERVES_GOOD) +
                  row(3, "yes", "same", older_serves) + row(4, "yes", "same", older_serves) +
                  "2 of 5 sources do not serve the same valid manifest.\n");
}

// A manifest that the installer's parser passes but check refuses, a size line
// the installer would read as another number, is refused at every source for
// check's own reason, and is never taken as the reference.
TEST_F(ToolSourcesTest, JudgesServedManifestsAsCheckDoes) {
    static const char* const SIZE_LINES[] = {"-1", "+3000000", "03000000", " 3000000",
                                             "18446744073709551616"};
    const std::string path = dir.file("served.txt");
    for (const char* size_line : SIZE_LINES) {
        SCOPED_TRACE(size_line);
        const std::string text =
            std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n") + size_line + "\n" + DIGEST + "\n";
        write_file(path, text);
        ToolRun checked = run_tool({"check", path});
        ASSERT_EQ(checked.code, 1);
        ASSERT_EQ(checked.out.rfind(path + ": line 3, size: ", 0), 0u) << checked.out;
        const std::string reason =
            checked.out.substr(path.size() + 2, checked.out.size() - path.size() - 3);

        fake_net::reset();
        for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
            fake_net::serve(MANIFEST_SOURCES[i], served(text));
        ToolRun run = run_tool({"sources"});
        EXPECT_EQ(run.code, 1);
        std::string expected =
            std::string("Against the first source that serves a valid manifest\n") + HEADER;
        for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
            expected += row(i, "yes", "-", reason);
        expected += "5 of 5 sources do not serve the same valid manifest.\n";
        EXPECT_EQ(visible(run.out), expected);
    }
}

// With MANIFEST, five sources that agree with each other but not with it fail.
TEST_F(ToolSourcesTest, ComparesWithTheGivenManifest) {
    write_file(dir.file("manifest.txt"), GOOD);
    const std::string newer = std::string("2.5.0\nTrevalon-setup-2.5.0.exe\n3000000\n") + DIGEST;
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
        fake_net::serve(MANIFEST_SOURCES[i], served(newer));

    ToolRun run = run_tool({"sources", dir.file("manifest.txt")});
    EXPECT_EQ(run.code, 1);
    const std::string newer_serves =
        "v2.5.0  Trevalon-setup-2.5.0.exe  3000000 bytes  SHA-256 0123456789ab";
    std::string expected =
        "Against " + dir.file("manifest.txt") + ": " + SERVES_GOOD + "\n" + HEADER;
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
        expected += row(i, "yes", "differs", newer_serves);
    expected += "5 of 5 sources do not serve the same valid manifest.\n";
    EXPECT_EQ(visible(run.out), expected);

    // And all five serving it passes.
    fake_net::reset();
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
        fake_net::serve(MANIFEST_SOURCES[i], served(GOOD));
    run = run_tool({"sources", dir.file("manifest.txt")});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(visible(run.out).find(row(4, "yes", "same", SERVES_GOOD) +
                                    "All 5 sources serve the same valid manifest.\n"),
              std::string::npos)
        << run.out;
}

// The installer's probe session: its agent, the probe profile, one plain GET
// per source in the table's order, and every handle closed.
TEST_F(ToolSourcesTest, AsksAsTheInstallerDoes) {
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
        fake_net::serve(MANIFEST_SOURCES[i], served(GOOD));
    ToolRun run = run_tool({"sources"});
    EXPECT_EQ(run.code, 0);
    const auto& calls = fake_net::calls();
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[0], "open agent=setupvane/1.2 access=4");
    EXPECT_EQ(calls[1], "option 2=3000");
    EXPECT_EQ(calls[2], "option 3=4000");
    EXPECT_EQ(calls[3], "option 4=1");
    EXPECT_EQ(calls[4], "option 5=3000");
    EXPECT_EQ(calls[5], "option 6=3000");
    std::vector<std::string> sent;
    for (const auto& c : calls) {
        if (c.rfind("send ", 0) == 0) sent.push_back(c.substr(5));
        EXPECT_EQ(c.rfind("header", 0), std::string::npos) << "no Range or other header: " << c;
    }
    EXPECT_EQ(sent, std::vector<std::string>(MANIFEST_SOURCES, MANIFEST_SOURCES + 5));
    EXPECT_EQ(fake_net::open_handles(), 0);
}

// A MANIFEST the installer would refuse ends the command before any request.
TEST_F(ToolSourcesTest, RefusesAnInvalidManifestBeforeAsking) {
    write_file(dir.file("bad.txt"), std::string("2.4.0\nTrevalon-setup-2.4.0.exe\n0\n") + DIGEST);
    ToolRun run = run_tool({"sources", dir.file("bad.txt")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out,
              dir.file("bad.txt") +
                  ": line 3, size: a decimal number of bytes, not zero, and nothing else\n");
    EXPECT_TRUE(fake_net::calls().empty()) << fake_net::calls_text();

    run = run_tool({"sources", "a", "b"});
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err,
              "trevalon-manifest: sources: one MANIFEST at most, got 2 (try 'trevalon-manifest "
              "sources --help')\n");
}

}  // namespace
