#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "manifest/manifest.hpp"
#include "net/transport.hpp"
#include "test_support.hpp"

namespace {

const std::string DIGEST = "89abcdef0123456789abcdef0123456789abcdef0123456789abcdef01234567";
const std::string VALID = "v1.4.0\r\nTrevalon-setup-1.4.0.exe\r\n1048576\r\n" + DIGEST + "\r\n";
const std::string HEADER = "[1/4] 获取版本清单 / Fetching version manifest...\n";
const std::string VALID_LINE =
    "   版本/Version v1.4.0  文件/File Trevalon-setup-1.4.0.exe  大小/Size 1.0 MB  来源/Source: ";
const std::string BUILTIN_LINE =
    "   版本/Version v0.7.19  文件/File Trevalon-setup-0.7.19.exe  大小/Size 19.2 MB  "
    "来源/Source: 程序内置/Built-in\n";

std::string source(int i) {
    return MANIFEST_SOURCES[i];
}
fake_net::Response status(uint32_t code, const std::string& bytes) {
    fake_net::Response r = fake_net::body(bytes);
    r.status = code;
    return r;
}
fake_net::Response chunks(const std::vector<std::string>& parts) {
    fake_net::Response r;
    r.chunks = parts;
    return r;
}
fake_net::Response failing(fake_net::Step step) {
    fake_net::Response r = fake_net::body(VALID);
    r.fail_at = step;
    return r;
}

struct StageRun {
    std::string out;
    std::vector<std::string> sent;  // the URLs requested, in order
    ReleaseRecord release;
};

StageRun run_stage(const char* const* sources = nullptr, int count = 0) {
    StageRun run;
    std::memset(&run.release, 0, sizeof run.release);
    NetSession* session = open_session();
    run.out = transcript([&] {
        if (sources == nullptr) {
            fetch_manifest(session, run.release);
        } else {
            fetch_manifest(session, run.release, sources, count);
        }
    });
    EXPECT_EQ(fake_net::open_handles(), 1) << "every connection and request closed, session open";
    close_handle(session);
    for (const auto& call : fake_net::calls()) {
        if (call.rfind("send ", 0) == 0) run.sent.push_back(call.substr(5, call.find(' ', 5) - 5));
    }
    return run;
}

std::vector<std::string> first_sources(int n) {
    std::vector<std::string> urls;
    for (int i = 0; i < n; ++i)
        urls.push_back(source(i));
    return urls;
}

class FetchManifest : public testing::Test {
protected:
    void SetUp() override { fake_net::reset(); }
};

TEST_F(FetchManifest, WithNoNetworkTheBuiltInReleaseIsUsed) {
    StageRun run = run_stage();
    EXPECT_EQ(run.out, HEADER + BUILTIN_LINE);
    EXPECT_EQ(run.sent, first_sources(5));
    EXPECT_STREQ(run.release.version, "0.7.19");
    EXPECT_STREQ(run.release.file_name, "Trevalon-setup-0.7.19.exe");
    EXPECT_EQ(run.release.size, 20140875u);
    EXPECT_EQ(std::memcmp(run.release.sha256, BUILTIN_RELEASE.sha256, sizeof run.release.sha256),
              0);
    EXPECT_EQ(std::strlen(run.release.sha256), 64u);
}

TEST_F(FetchManifest, SourcesAreTheFiveCompiledIn) {
    static const char* const expected[MANIFEST_SOURCE_COUNT] = {
        "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/manifest.txt",
        "https://www.trevalon.app/dl/manifest/trevalon.txt",
        "https://raw.githubusercontent.com/norwick/trevalon/master/manifest.txt",
        "https://raw.githubusercontent.com/norwick/trevalon/main/manifest.txt",
        "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/manifest.txt",
    };
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i)
        EXPECT_STREQ(MANIFEST_SOURCES[i], expected[i]);
    EXPECT_NE(std::strstr(MANIFEST_SOURCES[1], VENDOR_SITE_HOST), nullptr);
}

struct StageCase {
    const char* name;
    std::vector<std::pair<int, fake_net::Response>> served;  // by source index
    std::string line;                                        // the release line
    int asked;                                               // sources requested: 1..asked
};

TEST_F(FetchManifest, TheFirstAcceptedSourceDecidesTheReleaseAndItsLabel) {
    const std::string body_4094 = VALID + std::string(4094 - VALID.size(), 'z');
    const std::string body_4095 = VALID + std::string(4095 - VALID.size(), 'z');
    const std::string bad_digest = "v9.9.9\nOther-9.9.9.exe\n999999\n" + DIGEST.substr(1) + "\n";
    static const StageCase cases[] = {
        {"404 then valid",
         {{0, status(404, VALID)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"206 accepted", {{0, status(206, VALID)}}, VALID_LINE + "节点A/Node A\n", 1},
        {"third source", {{2, fake_net::body(VALID)}}, VALID_LINE + "节点C/Node C\n", 3},
        {"only the fourth source", {{3, fake_net::body(VALID)}}, VALID_LINE + "节点C/Node C\n", 4},
        {"fifth source", {{4, fake_net::body(VALID)}}, VALID_LINE + "节点D/Node D\n", 5},
        {"4094 bytes accepted", {{0, fake_net::body(body_4094)}}, VALID_LINE + "节点A/Node A\n", 1},
        {"4094 bytes in two chunks",
         {{0, chunks({body_4094.substr(0, 4000), body_4094.substr(4000)})}},
         VALID_LINE + "节点A/Node A\n",
         1},
        {"4095 bytes refused",
         {{0, fake_net::body(body_4095)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"4095 bytes in two chunks refused",
         {{0, chunks({body_4095.substr(0, 4000), body_4095.substr(4000)})},
          {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"a long body refused",
         {{0, fake_net::body(VALID + std::string(20000, '\n'))}},
         BUILTIN_LINE,
         5},
        {"empty body",
         {{0, fake_net::body("")}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"invalid manifest skipped",
         {{0, fake_net::body(bad_digest)}, {2, fake_net::body(VALID)}},
         VALID_LINE + "节点C/Node C\n",
         3},
        {"every source invalid",
         {{0, fake_net::body(bad_digest)},
          {1, fake_net::body(bad_digest)},
          {2, fake_net::body(bad_digest)},
          {3, fake_net::body(bad_digest)},
          {4, fake_net::body(bad_digest)}},
         BUILTIN_LINE,
         5},
        {"version without v",
         {{0, fake_net::body(VALID.substr(1))}},
         VALID_LINE + "节点A/Node A\n",
         1},
        {"one byte at a time",
         {{0, chunks({"v", "1.4.0\r", "\n", VALID.substr(8)})}},
         VALID_LINE + "节点A/Node A\n",
         1},
        {"500",
         {{0, status(500, VALID)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"connect fails",
         {{0, failing(fake_net::Step::connect)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"request cannot be opened",
         {{0, failing(fake_net::Step::open_request)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"receive fails",
         {{0, failing(fake_net::Step::receive)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"status unreadable",
         {{0, failing(fake_net::Step::query_status)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"data available fails",
         {{0, failing(fake_net::Step::data_available)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
        {"read fails",
         {{0, failing(fake_net::Step::read)}, {1, fake_net::body(VALID)}},
         VALID_LINE + "节点B/Node B\n",
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        for (const auto& s : c.served)
            fake_net::serve(source(s.first), s.second);
        StageRun run = run_stage();
        EXPECT_EQ(run.out, HEADER + c.line);
        std::vector<std::string> asked = first_sources(c.asked);
        const std::string name = c.name;
        if (name == "connect fails" || name == "request cannot be opened")
            asked.erase(asked.begin());  // never sent
        EXPECT_EQ(run.sent, asked);
        const std::string& digest = c.line == BUILTIN_LINE ? BUILTIN_RELEASE.sha256 : DIGEST;
        EXPECT_EQ(std::string(run.release.sha256), digest);
    }
}

// A pinned build takes nothing below the built-in release (0.7.19) from a
// source: a source that changed hands could name an older release the
// publisher really signed. An unpinned build takes any version.
TEST_F(FetchManifest, APinnedBuildPassesOverReleasesBelowTheBuiltIn) {
    auto manifest = [](const std::string& version, char digit) {
        return "v" + version + "\nTrevalon-setup-" + version + ".exe\n1048576\n" +
               std::string(64, digit) + "\n";
    };
    auto line = [](const std::string& version, const std::string& label) {
        return "   版本/Version v" + version + "  文件/File Trevalon-setup-" + version +
               ".exe  大小/Size 1.0 MB  来源/Source: " + label + "\n";
    };
    struct FloorCase {
        const char* name;
        bool pinned;
        std::vector<std::pair<int, std::string>> served;  // by source index
        std::string line;
        int asked;
        char digest;  // of the release taken; 0 for the built-in one
    };
    const std::vector<FloorCase> cases = {
        {"an older signed release first, the current one next",
         true,
         {{0, manifest("0.7.5", 'a')}, {1, manifest("0.8.0", 'b')}},
         line("0.8.0", "节点B/Node B"),
         2,
         'b'},
        {"every source older: the built-in release",
         true,
         {{0, manifest("0.7.5", 'a')},
          {1, manifest("0.7.18", 'b')},
          {2, manifest("0.7.19-rc1", 'c')},
          {3, manifest("0.7", 'd')},
          {4, manifest("0.6.99", 'e')}},
         BUILTIN_LINE,
         5,
         0},
        {"the built-in version itself is not below it",
         true,
         {{0, manifest("0.7.19.0", 'a')}},
         line("0.7.19.0", "节点A/Node A"),
         1,
         'a'},
        {"unpinned: an older release is taken",
         false,
         {{0, manifest("0.7.5", 'a')}, {1, manifest("0.8.0", 'b')}},
         line("0.7.5", "节点A/Node A"),
         1,
         'a'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        if (c.pinned) fake_os::set_signer_pins({std::string(64, '1')});
        for (const auto& s : c.served)
            fake_net::serve(source(s.first), fake_net::body(s.second));
        StageRun run = run_stage();
        EXPECT_EQ(run.out, HEADER + c.line);
        EXPECT_EQ(run.sent, first_sources(c.asked));
        const std::string digest =
            c.digest == 0 ? BUILTIN_RELEASE.sha256 : std::string(64, c.digest);
        EXPECT_EQ(std::string(run.release.sha256), digest);
    }
    fake_os::reset();
}

// The one attempt names the floor as its reason, and leaves the record as it was.
TEST_F(FetchManifest, ASourceBelowTheFloorIsRefusedWithItsReason) {
    fake_os::reset();
    fake_os::set_signer_pins({std::string(64, '1')});
    fake_net::serve(source(0), fake_net::body("v0.7.5\nTrevalon-setup-0.7.5.exe\n5\n" + DIGEST));
    NetSession* session = open_session();
    ReleaseRecord release;
    std::memset(&release, 0x5A, sizeof release);
    ReleaseRecord before = release;
    const char* reason = nullptr;
    EXPECT_EQ(fetch_manifest_source(session, MANIFEST_SOURCES[0], release, &reason),
              SourceOutcome::refused);
    close_handle(session);
    EXPECT_EQ(std::memcmp(&release, &before, sizeof release), 0);
    ASSERT_NE(reason, nullptr);
    EXPECT_STREQ(reason,
                 "line 1, version: 0.7.5 is below the built-in release 0.7.19, which a pinned "
                 "program refuses");
    fake_os::reset();
}

TEST_F(FetchManifest, A404IsClosedAndTheNextSourceAskedOnce) {
    fake_net::serve(source(0), status(404, VALID));
    fake_net::serve(source(1), fake_net::body(VALID));
    StageRun run = run_stage();
    const std::string N = std::to_string(VALID.size());
    EXPECT_EQ(run.out, HEADER + VALID_LINE + "节点B/Node B\n");
    // Every source is opened before the first is sent; once the second has
    // been chosen, the three after it are stopped unanswered.
    EXPECT_EQ(fake_net::calls_text(),
              "open agent=setupvane/1.2 access=4\n"
              "connect www.modelscope.cn:443\n"
              "request GET /datasets/tallisbrook/trevalon_r/resolve/master/manifest.txt "
              "flags=0x800000\n"
              "connect www.trevalon.app:443\n"
              "request GET /dl/manifest/trevalon.txt flags=0x800000\n"
              "connect raw.githubusercontent.com:443\n"
              "request GET /norwick/trevalon/master/manifest.txt flags=0x800000\n"
              "connect raw.githubusercontent.com:443\n"
              "request GET /norwick/trevalon/main/manifest.txt flags=0x800000\n"
              "connect huggingface.co:443\n"
              "request GET /datasets/fernhollow/trevalon_r/resolve/main/manifest.txt "
              "flags=0x800000\n"
              "send " +
                  source(0) +
                  "\n"
                  "receive\n"
                  "query 0x20000013\n"
                  "query 0x20000013\n"
                  "send " +
                  source(1) +
                  "\n"
                  "receive\n"
                  "query 0x20000013\n"
                  "query 0x20000013\n"
                  "available " +
                  N + "\nread " + N + " -> " + N +
                  "\n"
                  "available 0\n"
                  "stop " +
                  source(2) + "\nstop " + source(3) + "\nstop " + source(4) +
                  "\n"
                  "close request\nclose connection\nclose request\nclose connection\n"
                  "close request\nclose connection\nclose request\nclose connection\n"
                  "close request\nclose connection\n"
                  "close session 1\n");
}

TEST_F(FetchManifest, ReadsStopAtTheBufferLimit) {
    struct ReadCase {
        const char* name;
        std::vector<std::string> parts;
        std::string reads;
    };
    static const ReadCase cases[] = {
        {"4095 in one",
         {VALID + std::string(4095 - VALID.size(), 'z')},
         "available 4095\nread 4095 -> 4095\n"},
        {"5000 in one",
         {VALID + std::string(5000 - VALID.size(), 'z')},
         "available 5000\nread 4095 -> 4095\n"},
        {"4000 then 1000",
         {VALID + std::string(4000 - VALID.size(), 'z'), std::string(1000, 'z')},
         "available 4000\nread 4000 -> 4000\navailable 1000\nread 95 -> 95\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        const std::string url = "https://one.example/m.txt";
        fake_net::serve(url, chunks(c.parts));
        const char* const sources[] = {url.c_str()};
        StageRun run = run_stage(sources, 1);
        EXPECT_EQ(run.out, HEADER + BUILTIN_LINE);
        EXPECT_EQ(fake_net::calls_text(),
                  "open agent=setupvane/1.2 access=4\nconnect one.example:443\n"
                  "request GET /m.txt flags=0x800000\nsend https://one.example/m.txt\nreceive\n"
                  "query 0x20000013\n"
                  "query 0x20000013\n" +
                      c.reads + "close request\nclose connection\nclose session 1\n");
    }
}

TEST_F(FetchManifest, AnEmptyEntryOpensNoConnection) {
    const std::string url = "https://one.example/m.txt";
    fake_net::serve(url, fake_net::body(VALID));
    const char* const sources[] = {"", url.c_str()};
    StageRun run = run_stage(sources, 2);
    const std::string N = std::to_string(VALID.size());
    EXPECT_EQ(run.out, HEADER + VALID_LINE + "程序内置/Built-in\n");
    EXPECT_EQ(fake_net::calls_text(),
              "open agent=setupvane/1.2 access=4\nconnect one.example:443\n"
              "request GET /m.txt flags=0x800000\nsend https://one.example/m.txt\nreceive\n"
              "query 0x20000013\n"
              "query 0x20000013\navailable " +
                  N + "\nread " + N + " -> " + N +
                  "\navailable 0\n"
                  "close request\nclose connection\nclose session 1\n");
}

TEST_F(FetchManifest, TheLabelComesFromTheUrlText) {
    struct LabelCase {
        const char* url;
        const char* label;
    };
    static const LabelCase cases[] = {
        {"https://mirror.example/modelscope/m.txt", "节点A/Node A"},
        {"https://cdn.example/www.trevalon.app/m.txt", "节点B/Node B"},
        {"https://trevalon.app/m.txt", "程序内置/Built-in"},
        {"https://github.example/m.txt", "节点C/Node C"},
        {"https://GitHub.example/m.txt", "程序内置/Built-in"},
        {"https://huggingface.example/m.txt", "节点D/Node D"},
        {"https://huggingface.example/github/modelscope", "节点A/Node A"},
        {"https://huggingface.example/github", "节点C/Node C"},
        {"https://plain.example/m.txt", "程序内置/Built-in"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        fake_net::reset();
        fake_net::serve(c.url, fake_net::body(VALID));
        const char* const sources[] = {c.url};
        StageRun run = run_stage(sources, 1);
        EXPECT_EQ(run.out, HEADER + VALID_LINE + c.label + "\n");
    }
}

TEST_F(FetchManifest, TheSizeIsShownInMebibytesWithOneDecimal) {
    struct SizeCase {
        const char* size;
        const char* shown;
    };
    static const SizeCase cases[] = {
        {"1048576", "1.0"},
        {"1", "0.0"},
        {"20140875", "19.2"},
        {"104805", "0.1"},
        {"18446744073709551615", "17592186044416.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        fake_net::reset();
        fake_net::serve(source(0),
                        fake_net::body(std::string("1\na.exe\n") + c.size + "\n" + DIGEST));
        StageRun run = run_stage();
        EXPECT_EQ(run.out, HEADER + "   版本/Version v1  文件/File a.exe  大小/Size " + c.shown +
                               " MB  来源/Source: 节点A/Node A\n");
    }
}

}  // namespace

namespace {

fake_net::Response after(uint64_t ms, fake_net::Response r) {
    r.delay_ms = ms;
    return r;
}

// The sources are asked at once; each answer comes after its delay_ms. The
// choice must be the one that asking them in turn would give, made as soon as
// every source before the chosen one has failed, and nothing is waited for
// once it is made.
TEST_F(FetchManifest, AskedAtOnceTheTableOrderStillDecidesAndNoMoreIsWaitedFor) {
    struct TimedCase {
        const char* name;
        std::vector<std::pair<int, fake_net::Response>> served;  // by source index
        std::string line;
        uint64_t elapsed_ms;       // when the stage had its answer
        std::vector<int> stopped;  // sources given up unanswered
    };
    const fake_net::Response valid = fake_net::body(VALID);
    const fake_net::Response timeout = failing(fake_net::Step::send);
    const TimedCase cases[] = {
        {"every source answers: the first wins",
         {{0, after(300, valid)},
          {1, after(100, valid)},
          {2, after(100, valid)},
          {3, after(300, valid)},
          {4, after(300, valid)}},
         VALID_LINE + "节点A/Node A\n",
         300,
         {3, 4}},
        {"every source answers together: the first wins, the rest are stopped",
         {{0, after(200, valid)},
          {1, after(200, valid)},
          {2, after(200, valid)},
          {3, after(200, valid)},
          {4, after(200, valid)}},
         VALID_LINE + "节点A/Node A\n",
         200,
         {1, 2, 3, 4}},
        {"source 1 after 4 s, source 5 after 0.1 s: source 1 still wins",
         {{0, after(4000, valid)}, {4, after(100, valid)}},
         VALID_LINE + "节点A/Node A\n",
         4000,
         {}},
        {"source 1 slow, source 2 fast: source 1 still wins",
         {{0, after(4000, valid)},
          {1, after(100, valid)},
          {2, after(9000, valid)},
          {3, after(9000, valid)},
          {4, after(9000, valid)}},
         VALID_LINE + "节点A/Node A\n",
         4000,
         {2, 3, 4}},
        {"source 1 fails late, source 2 succeeded early: 2 is chosen when 1 fails",
         {{0, after(4000, timeout)},
          {1, after(100, valid)},
          {2, after(9000, valid)},
          {3, after(9000, valid)},
          {4, after(9000, valid)}},
         VALID_LINE + "节点B/Node B\n",
         4000,
         {2, 3, 4}},
        {"source 1 refused late, source 5 early, the others fail at once",
         {{0, after(3000, status(404, VALID))}, {4, after(100, valid)}},
         VALID_LINE + "节点D/Node D\n",
         3000,
         {}},
        {"every source fails: the built-in release after the slowest failure",
         {{0, after(4000, timeout)},
          {1, after(100, status(500, VALID))},
          {2, after(50, fake_net::body("not a manifest"))},
          {4, after(3000, status(404, VALID))}},
         BUILTIN_LINE,
         4000,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        for (const auto& s : c.served)
            fake_net::serve(source(s.first), s.second);
        StageRun run = run_stage();
        EXPECT_EQ(run.out, HEADER + c.line);
        EXPECT_EQ(fake_net::read_time_ms(), c.elapsed_ms);
        std::vector<std::string> stopped;
        for (const auto& call : fake_net::calls()) {
            if (call.rfind("stop ", 0) == 0) stopped.push_back(call.substr(5));
        }
        std::vector<std::string> expected;
        for (int i : c.stopped)
            expected.push_back(source(i));
        EXPECT_EQ(stopped, expected);
    }
}

TEST_F(FetchManifest, EmptyEntriesAmongTimedSourcesOpenNothing) {
    const std::string slow = "https://slow.example/m.txt";
    const std::string fast = "https://fast.example/m.txt";
    fake_net::serve(slow, after(2000, status(404, VALID)));
    fake_net::serve(fast, after(100, fake_net::body(VALID)));
    const char* const sources[] = {"", slow.c_str(), "", fast.c_str(), ""};
    StageRun run = run_stage(sources, 5);
    EXPECT_EQ(run.out, HEADER + VALID_LINE + "程序内置/Built-in\n");
    EXPECT_EQ(fake_net::read_time_ms(), 2000u);
    int connects = 0;
    for (const auto& call : fake_net::calls())
        connects += call.rfind("connect ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(connects, 2);
}

}  // namespace
