#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "test_support.hpp"
#include "tool_test_support.hpp"

namespace {

using fake_net::Response;
using fake_net::Step;

const char HEADER[] =
    "NODE    HOST                      REACHABLE   LATENCY      MB/S       BYTES  SIZE        "
    "SHA-256\n";

class ToolMirrorsTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
    }

    // Publishes the installer with the tool's own create, as a publisher does,
    // and returns the candidate URLs of that release in slot order.
    std::vector<std::string> publish(const std::string& content) {
        installer = content;
        write_file(dir.file("Trevalon-setup-1.0.exe"), content);
        ToolRun created = run_tool({"create", dir.file("Trevalon-setup-1.0.exe")});
        EXPECT_EQ(created.code, 0) << created.err;
        manifest = dir.file("manifest.txt");
        write_file(manifest, created.out);
        digest = created.out.substr(created.out.size() - 65, 64);

        std::string body = created.out;
        ReleaseRecord release = {};
        EXPECT_TRUE(parse_manifest(&body[0], release));
        NodeTable table;
        std::memset(&table, 0, sizeof table);
        build_candidates(release, table);
        std::vector<std::string> urls;
        for (int i = 0; i < table.count; ++i)
            urls.push_back(table.nodes[i].url);
        return urls;
    }

    TestDir dir;
    std::string installer, manifest, digest;
};

std::string file_of(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return s;
}

// A node serving another file of the right size, one serving a short file, one
// that breaks off, an unreachable one: each is named for what it does wrong.
TEST_F(ToolMirrorsTest, ReportsWrongShortBrokenAndUnreachableNodes) {
    auto urls = publish(file_of(1048576, 1));
    ASSERT_EQ(urls.size(), 6u);
    fake_net::serve(urls[0], served(installer));
    fake_net::serve(urls[1], served(file_of(1048576, 2)));
    fake_net::serve(urls[2], served(installer.substr(0, 524288)));
    // urls[3] is served by nobody: unreachable.
    fake_net::serve(urls[4], served(installer, 206));
    Response broken = served(installer);
    broken.fail_at = Step::read;
    broken.fail_on_call = 5;
    fake_net::serve(urls[5], broken);
    fake_os::set_ticks({0,    12,   100,  600,     // A: probe, download
                        1000, 1030, 1100, 2100,    // B
                        3000, 3040, 3100, 3600,    // C
                        4000,                      // D: the probe's send fails
                        5000, 5005, 5100, 5350,    // E
                        6000, 6007, 6100, 6420});  // F

    ToolRun run = run_tool({"mirrors", manifest});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(visible(run.out), "Release v1.0  Trevalon-setup-1.0.exe  1048576 bytes  SHA-256 " +
                                    digest + "\n" + HEADER +
                                    "Node A  www.modelscope.cn         yes           12 ms      "
                                    "2.00     1048576  ok          ok\n"
                                    "Node B  github.com                yes           30 ms      "
                                    "1.00     1048576  ok          mismatch\n"
                                    "Node C  ghfast.top                yes           40 ms      "
                                    "1.00      524288  short       mismatch\n"
                                    "Node D  gh-proxy.com              no                -         "
                                    "-           -  -           -\n"
                                    "Node E  ghproxy.net               yes            5 ms      "
                                    "4.00     1048576  ok          ok\n"
                                    "Node F  huggingface.co            yes            7 ms      "
                                    "0.98      327680  short       mismatch\n"
                                    "4 of 6 nodes do not serve the exact file.\n");
    EXPECT_EQ(fake_net::open_handles(), 0);
}

TEST_F(ToolMirrorsTest, AllNodesServingTheFileExitWithZero) {
    auto urls = publish(file_of(200000, 3));
    for (const auto& url : urls)
        fake_net::serve(url, served(installer));
    fake_os::set_ticks({0, 10, 20, 1020});  // the last tick repeats: later nodes measure 0 ms

    ToolRun run = run_tool({"mirrors", manifest});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(visible(run.out), "Release v1.0  Trevalon-setup-1.0.exe  200000 bytes  SHA-256 " +
                                    digest + "\n" + HEADER +
                                    "Node A  www.modelscope.cn         yes           10 ms      "
                                    "0.19      200000  ok          ok\n"
                                    "Node B  github.com                yes            0 ms         "
                                    "-      200000  ok          ok\n"
                                    "Node C  ghfast.top                yes            0 ms         "
                                    "-      200000  ok          ok\n"
                                    "Node D  gh-proxy.com              yes            0 ms         "
                                    "-      200000  ok          ok\n"
                                    "Node E  ghproxy.net               yes            0 ms         "
                                    "-      200000  ok          ok\n"
                                    "Node F  huggingface.co            yes            0 ms         "
                                    "-      200000  ok          ok\n"
                                    "All 6 nodes serve the exact file.\n");

    // The installer's requests: probe profile, then download profile; a ranged
    // probe and a plain GET per node; every handle closed; nothing on disk.
    const auto& calls = fake_net::calls();
    auto count = [&](const std::string& entry) {
        return std::count(calls.begin(), calls.end(), entry);
    };
    EXPECT_EQ(calls[0], "open agent=setupvane/1.2 access=4");
    EXPECT_EQ(calls[1], "option 2=3000");
    EXPECT_EQ(count("option 2=10000"), 1);
    EXPECT_EQ(count("header Range: bytes=0-16383 flags=0x20000000"), 6);
    EXPECT_EQ(
        count("request GET /datasets/fernhollow/trevalon_r/resolve/main/Trevalon-setup-1.0.exe "
              "flags=0x800000"),
        2);
    EXPECT_EQ(fake_net::open_handles(), 0);
    for (const auto& c : fake_os::calls()) {
        EXPECT_EQ(c.rfind("temp", 0), std::string::npos) << c;
        EXPECT_EQ(c.rfind("delete", 0), std::string::npos) << c;
    }
}

// The whole transcript, progress included, for a body that arrives in three pieces.
TEST_F(ToolMirrorsTest, ShowsProgressWhileItDownloads) {
    auto urls = publish(file_of(3000, 4));
    Response pieces = fake_net::body("", true);
    pieces.content_length = 3000;
    pieces.chunks = {installer.substr(0, 1000), installer.substr(1000, 1000),
                     installer.substr(2000)};
    fake_net::serve(urls[0], pieces);
    fake_os::set_ticks({0, 1, 2, 3});

    ToolRun run = run_tool({"mirrors", manifest});
    EXPECT_EQ(run.code, 1);
    std::string expected = "Release v1.0  Trevalon-setup-1.0.exe  3000 bytes  SHA-256 " + digest +
                           "\n" + HEADER +
                           "\r   Node A  probing"
                           "\r   Node A  downloading"
                           "\r   Node A   33%  (0.0 / 0.0 MB)"
                           "\r   Node A   66%  (0.0 / 0.0 MB)"
                           "\r   Node A  100%  (0.0 / 0.0 MB)"
                           "\r" +
                           std::string(31, ' ') +
                           "\r"
                           "Node A  www.modelscope.cn         yes            1 ms      2.86        "
                           "3000  ok          ok\n";
    static const char* const unreachable[] = {
        "Node B  github.com                no                -         -           -  -           "
        "-\n",
        "Node C  ghfast.top                no                -         -           -  -           "
        "-\n",
        "Node D  gh-proxy.com              no                -         -           -  -           "
        "-\n",
        "Node E  ghproxy.net               no                -         -           -  -           "
        "-\n",
        "Node F  huggingface.co            no                -         -           -  -           "
        "-\n",
    };
    for (const char* row : unreachable)
        expected +=
            std::string("\r   Node ") + row[5] + "  probing\r" + std::string(18, ' ') + "\r" + row;
    expected += "5 of 6 nodes do not serve the exact file.\n";
    EXPECT_EQ(run.out, expected);
}

TEST_F(ToolMirrorsTest, ARefusedManifestIsReportedWithoutAnyRequest) {
    write_file(dir.file("manifest.txt"),
               "1.0\nTrevalon-setup-1.0.exe\n0\n" + std::string(64, 'a') + "\n");
    ToolRun run = run_tool({"mirrors", dir.file("manifest.txt")});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out,
              dir.file("manifest.txt") +
                  ": line 3, size: a decimal number of bytes, not zero, and nothing else\n");
    EXPECT_TRUE(fake_net::calls().empty());
}

TEST_F(ToolMirrorsTest, NoSessionNoTable) {
    publish("abc");
    fake_net::fail_open(4);
    fake_net::fail_open(0);
    fake_net::fail_open(1);
    ToolRun run = run_tool({"mirrors", manifest});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "trevalon-manifest: mirrors: cannot open an HTTPS session\n");
}

}  // namespace
