#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "mirrors/mirrors.hpp"
#include "test_support.hpp"

namespace {

using fake_net::Response;
using fake_net::Step;

const char OPEN_LINE[] = "open agent=setupvane/1.2 access=4\n";

// Report lines as the console shows them: each 14-byte label padded with 10
// spaces to 24 bytes.
const char A_FAIL[] = "   节点A/Node A                - ms  [不可达/FAIL]\n";

NodeTable empty_table() {
    NodeTable t;
    std::memset(&t, 0, sizeof t);
    return t;
}

// The platform calls after the session was opened.
std::string probe_calls() {
    std::string text = fake_net::calls_text();
    EXPECT_EQ(text.rfind(OPEN_LINE, 0), 0u);
    return text.substr(std::strlen(OPEN_LINE));
}

std::string tick_calls() {
    std::string text;
    for (const auto& c : fake_os::calls())
        text += c + "\n";
    return text;
}

Response status_with_body(uint32_t status, size_t bytes) {
    Response r = fake_net::body(std::string(bytes, 'z'));
    r.status = status;
    return r;
}

Response failing(Step step, uint32_t status = 206) {
    Response r = status_with_body(status, 16384);
    r.fail_at = step;
    return r;
}

Response empty_read() {
    Response r = status_with_body(206, 16384);
    r.empty_read_on_call = 0;
    return r;
}

const char HEAD[] =
    "connect a.test:443\n"
    "request GET /f flags=0x800000\n"
    "header Range: bytes=0-16383 flags=0x20000000\n";
const char SENT[] =
    "send https://a.test/f\n"
    "receive\n"
    "query 0x20000013\n"
    "query 0x20000013\n";
const char CLOSE_BOTH[] = "close request\nclose connection\n";

struct ProbeCase {
    const char* name;
    bool served;
    Response response;
    // The stage's start, then the tick the batch takes where the probe ends.
    std::vector<uint64_t> ticks;
    bool reachable;
    uint32_t latency_ms;
    std::string calls;        // platform calls after the session was opened
    std::string ticks_taken;  // by the stage itself: only its start
    std::string line;
};

TEST(ProbeNodes, OneNodeEachOutcome) {
    const std::string head = HEAD, sent = SENT, close_both = CLOSE_BOTH;
    const ProbeCase cases[] = {
        {"206 with the asked range",
         true,
         status_with_body(206, 16384),
         {1000, 1120},
         true,
         120,
         head + sent + "available 16384\nread 2048 -> 2048\n" + close_both,
         "tick 1000\n",
         "   节点A/Node A              120 ms  [可达/OK]\n"},
        {"200 ignoring the range: one read of 2048",
         true,
         status_with_body(200, 1 << 20),
         {1000, 1120},
         true,
         120,
         head + sent + "available 1048576\nread 2048 -> 2048\n" + close_both,
         "tick 1000\n",
         "   节点A/Node A              120 ms  [可达/OK]\n"},
        {"a short body is read whole",
         true,
         status_with_body(200, 10),
         {50, 57},
         true,
         7,
         head + sent + "available 10\nread 10 -> 10\n" + close_both,
         "tick 50\n",
         "   节点A/Node A                7 ms  [可达/OK]\n"},
        {"equal ticks give 0 ms",
         true,
         status_with_body(206, 16384),
         {5000, 5000},
         true,
         0,
         head + sent + "available 16384\nread 2048 -> 2048\n" + close_both,
         "tick 5000\n",
         "   节点A/Node A                0 ms  [可达/OK]\n"},
        {"the tick wraps its low 32 bits",
         true,
         status_with_body(206, 16384),
         {0xFFFFFFF0ull, 0x100000010ull},
         true,
         32,
         head + sent + "available 16384\nread 2048 -> 2048\n" + close_both,
         "tick 4294967280\n",
         "   节点A/Node A               32 ms  [可达/OK]\n"},
        {"a latency wider than five digits widens the field",
         true,
         status_with_body(206, 16384),
         {0, 123456},
         true,
         123456,
         head + sent + "available 16384\nread 2048 -> 2048\n" + close_both,
         "tick 0\n",
         "   节点A/Node A            123456 ms  [可达/OK]\n"},
        {"206 with nothing available",
         true,
         status_with_body(206, 0),
         {1000, 1120},
         false,
         0xFFFFFFFFu,
         head + sent + "available 0\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"200 with nothing available",
         true,
         status_with_body(200, 0),
         {1000, 1120},
         false,
         0xFFFFFFFFu,
         head + sent + "available 0\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"403",
         true,
         status_with_body(403, 100),
         {1000},
         false,
         0xFFFFFFFFu,
         head + sent + close_both,
         "tick 1000\n",
         A_FAIL},
        {"404",
         true,
         status_with_body(404, 100),
         {1000},
         false,
         0xFFFFFFFFu,
         head + sent + close_both,
         "tick 1000\n",
         A_FAIL},
        {"500",
         true,
         status_with_body(500, 100),
         {1000},
         false,
         0xFFFFFFFFu,
         head + sent + close_both,
         "tick 1000\n",
         A_FAIL},
        {"204",
         true,
         status_with_body(204, 100),
         {1000},
         false,
         0xFFFFFFFFu,
         head + sent + close_both,
         "tick 1000\n",
         A_FAIL},
        {"connect fails: nothing to close",
         true,
         failing(Step::connect),
         {1000},
         false,
         0xFFFFFFFFu,
         "connect a.test:443 FAILED\n",
         "",
         A_FAIL},
        {"opening the request fails",
         true,
         failing(Step::open_request),
         {1000},
         false,
         0xFFFFFFFFu,
         "connect a.test:443\nrequest GET /f flags=0x800000 FAILED\nclose connection\n",
         "",
         A_FAIL},
        {"adding the header fails: no tick",
         true,
         failing(Step::add_headers),
         {1000},
         false,
         0xFFFFFFFFu,
         "connect a.test:443\nrequest GET /f flags=0x800000\n"
         "header Range: bytes=0-16383 flags=0x20000000 FAILED\n" +
             close_both,
         "",
         A_FAIL},
        {"send fails (nobody serves the host)",
         false,
         Response{},
         {1000},
         false,
         0xFFFFFFFFu,
         head + "send https://a.test/f FAILED\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"receive fails",
         true,
         failing(Step::receive),
         {1000},
         false,
         0xFFFFFFFFu,
         head + "send https://a.test/f\nreceive FAILED\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"the status cannot be read",
         true,
         failing(Step::query_status),
         {1000},
         false,
         0xFFFFFFFFu,
         head +
             "send https://a.test/f\nreceive\nquery 0x20000013 FAILED\nquery 0x20000013 FAILED\n" +
             close_both,
         "tick 1000\n",
         A_FAIL},
        {"data available fails",
         true,
         failing(Step::data_available),
         {1000},
         false,
         0xFFFFFFFFu,
         head + sent + "available - FAILED\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"the read fails",
         true,
         failing(Step::read),
         {1000, 1120},
         false,
         0xFFFFFFFFu,
         head + sent + "available 16384\nread 2048 -> - FAILED\n" + close_both,
         "tick 1000\n",
         A_FAIL},
        {"the read succeeds with no bytes though some were available",
         true,
         empty_read(),
         {1000, 1120},
         false,
         0xFFFFFFFFu,
         head + sent + "available 16384\nread 2048 -> 0\n" + close_both,
         "tick 1000\n",
         A_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        if (c.served) fake_net::serve("https://a.test/f", c.response);
        NetSession* session = open_session();
        fake_os::set_ticks(c.ticks);
        NodeTable t = empty_table();
        add_candidate(t, NODE_LABELS[0], "%s", "https://a.test/f");

        const std::string out = transcript([&] { probe_nodes(session, t); });

        EXPECT_EQ(out, c.line);
        EXPECT_EQ(t.nodes[0].reachable, c.reachable ? 1 : 0);
        EXPECT_EQ(t.nodes[0].latency_ms, c.latency_ms);
        EXPECT_EQ(probe_calls(), c.calls);
        EXPECT_EQ(tick_calls(), c.ticks_taken);
        EXPECT_EQ(fake_net::open_handles(), 1) << "only the session stays open";
        close_handle(session);
    }
}

TEST(ProbeNodes, AProbeOverwritesWhatTheEntryHeldBefore) {
    struct Case {
        const char* name;
        bool served;
        int32_t reachable_before;
        uint32_t latency_before;
        int32_t reachable_after;
        uint32_t latency_after;
    };
    static const Case cases[] = {
        {"failed probe of an entry that was reachable", false, 1, 35, 0, 0xFFFFFFFFu},
        {"failed probe of an entry with latency 0", false, 1, 0, 0, 0xFFFFFFFFu},
        {"successful probe of an entry that had failed", true, 0, 0xFFFFFFFFu, 1, 20},
        {"successful probe replaces an old latency", true, 1, 999, 1, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        if (c.served) fake_net::serve("https://a.test/f", status_with_body(206, 16384));
        fake_os::set_ticks({100, 120});
        NetSession* session = open_session();
        NodeTable t = empty_table();
        add_candidate(t, NODE_LABELS[0], "%s", "https://a.test/f");
        t.nodes[0].reachable = c.reachable_before;
        t.nodes[0].latency_ms = c.latency_before;
        transcript([&] { probe_nodes(session, t); });
        EXPECT_EQ(t.nodes[0].reachable, c.reachable_after);
        EXPECT_EQ(t.nodes[0].latency_ms, c.latency_after);
        close_handle(session);
    }
}

TEST(ProbeNodes, AnAbsentSessionFailsEveryNodeWithoutAPlatformCall) {
    fake_net::reset();
    fake_os::reset();
    NodeTable t = empty_table();
    add_candidate(t, NODE_LABELS[0], "%s", "https://a.test/f");
    add_candidate(t, NODE_LABELS[1], "%s", "https://b.test/f");
    const std::string out = transcript([&] { probe_nodes(nullptr, t); });
    EXPECT_EQ(out,
              "   节点A/Node A                - ms  [不可达/FAIL]\n"
              "   节点B/Node B                - ms  [不可达/FAIL]\n");
    EXPECT_TRUE(fake_net::calls().empty());
    EXPECT_TRUE(fake_os::calls().empty());
}

const char* const TEST_PROXIES[GITHUB_PROXY_COUNT] = {
    "https://ghfast.top/", "https://gh-proxy.com/", "https://ghproxy.net/"};

ReleaseRecord builtin_like_release() {
    ReleaseRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.version, sizeof r.version, "0.7.19");
    std::snprintf(r.file_name, sizeof r.file_name, "Trevalon-setup-0.7.19.exe");
    r.size = 1;
    return r;
}

// The last letter of each entry's label, in table order: "DFBACE".
std::string slot_letters(const NodeTable& t) {
    std::string letters;
    for (int i = 0; i < t.count; ++i)
        letters += t.nodes[i].label[std::strlen(t.nodes[i].label) - 1];
    return letters;
}

// The fake answers only the URLs it is given; nothing is contacted.
struct StageCase {
    const char* name;
    std::vector<int> served_slots;    // answered with 206 and a body
    std::vector<uint64_t> delays_ms;  // each served slot's time to answer
    std::vector<uint64_t> ticks;
    std::string report;
    std::string ranked;  // slot letters after ranking
};

TEST(ProbeStage, ReportLinesInSlotOrderThenTheRanking) {
    static const char NO_NETWORK[] =
        "\n[2/4] 探测候选节点 / Probing candidate nodes...\n"
        "   节点A/Node A                - ms  [不可达/FAIL]\n"
        "   节点B/Node B                - ms  [不可达/FAIL]\n"
        "   节点C/Node C                - ms  [不可达/FAIL]\n"
        "   节点D/Node D                - ms  [不可达/FAIL]\n"
        "   节点E/Node E                - ms  [不可达/FAIL]\n"
        "   节点F/Node F                - ms  [不可达/FAIL]\n";
    const StageCase cases[] = {
        {"nothing reachable", {}, {}, {10, 20, 30, 40, 50, 60}, NO_NETWORK, "ABCDEF"},
        {"B, D and F reachable",
         {1, 3, 5},
         {120, 80, 80},
         {10},  // the common start; each probe ends after its own time
         "\n[2/4] 探测候选节点 / Probing candidate nodes...\n"
         "   节点A/Node A                - ms  [不可达/FAIL]\n"
         "   节点B/Node B              120 ms  [可达/OK]\n"
         "   节点C/Node C                - ms  [不可达/FAIL]\n"
         "   节点D/Node D               80 ms  [可达/OK]\n"
         "   节点E/Node E                - ms  [不可达/FAIL]\n"
         "   节点F/Node F               80 ms  [可达/OK]\n",
         "DFBACE"},
        {"only F reachable",
         {5},
         {0},
         {1000, 1005},  // the start, then the tick each probe's end is taken with
         "\n[2/4] 探测候选节点 / Probing candidate nodes...\n"
         "   节点A/Node A                - ms  [不可达/FAIL]\n"
         "   节点B/Node B                - ms  [不可达/FAIL]\n"
         "   节点C/Node C                - ms  [不可达/FAIL]\n"
         "   节点D/Node D                - ms  [不可达/FAIL]\n"
         "   节点E/Node E                - ms  [不可达/FAIL]\n"
         "   节点F/Node F                5 ms  [可达/OK]\n",
         "FABCDE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_os::set_ticks(c.ticks);
        NodeTable t = empty_table();
        build_candidates(builtin_like_release(), t, TEST_PROXIES);
        ASSERT_EQ(t.count, 6);
        for (size_t i = 0; i < c.served_slots.size(); ++i) {
            Response answer = status_with_body(206, 16384);
            answer.delay_ms = c.delays_ms[i];
            fake_net::serve(t.nodes[c.served_slots[i]].url, answer);
        }
        NetSession* session = open_session();
        apply_timeouts(session, PROBE_PROFILE);

        const std::string out = transcript([&] {
            print_probe_header();
            probe_nodes(session, t);
        });
        EXPECT_EQ(out, c.report);
        EXPECT_EQ(transcript([&] { rank_nodes(t); }), "") << "the ranking prints nothing";

        EXPECT_EQ(slot_letters(t), c.ranked);
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

TEST(ProbeStage, EveryNodeIsConnectedByItsOwnHostWithTheRangeHeader) {
    fake_net::reset();
    fake_os::reset();
    NodeTable t = empty_table();
    build_candidates(builtin_like_release(), t, TEST_PROXIES);
    NetSession* session = open_session();
    transcript([&] { probe_nodes(session, t); });
    const std::string gh_path =
        "/norwick/trevalon/releases/download/v0.7.19/Trevalon-setup-0.7.19.exe";
    const std::string gh = "https://github.com" + gh_path;
    const std::string tail = " flags=0x800000\nheader Range: bytes=0-16383 flags=0x20000000\n";
    const std::string ms =
        "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/"
        "Trevalon-setup-0.7.19.exe";
    const std::string hf =
        "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/"
        "Trevalon-setup-0.7.19.exe";
    // Every request is opened before the first is sent: they all go out at once.
    EXPECT_EQ(probe_calls(),
              "connect www.modelscope.cn:443\n"
              "request GET /datasets/tallisbrook/trevalon_r/resolve/master/"
              "Trevalon-setup-0.7.19.exe" +
                  tail + "connect github.com:443\nrequest GET " + gh_path + tail +
                  "connect ghfast.top:443\nrequest GET /" + gh + tail +
                  "connect gh-proxy.com:443\nrequest GET /" + gh + tail +
                  "connect ghproxy.net:443\nrequest GET /" + gh + tail +
                  "connect huggingface.co:443\n"
                  "request GET /datasets/fernhollow/trevalon_r/resolve/main/"
                  "Trevalon-setup-0.7.19.exe" +
                  tail + "send " + ms + " FAILED\nsend " + gh +
                  " FAILED\nsend https://ghfast.top/" + gh + " FAILED\nsend https://gh-proxy.com/" +
                  gh + " FAILED\nsend https://ghproxy.net/" + gh + " FAILED\nsend " + hf +
                  " FAILED\n" + CLOSE_BOTH + CLOSE_BOTH + CLOSE_BOTH + CLOSE_BOTH + CLOSE_BOTH +
                  CLOSE_BOTH);
    close_handle(session);
}

TEST(ProbeStage, AnEmptyTablePrintsNothing) {
    fake_net::reset();
    fake_os::reset();
    NodeTable t = empty_table();
    NetSession* session = open_session();
    EXPECT_EQ(transcript([&] { probe_nodes(session, t); }), "");
    EXPECT_EQ(probe_calls(), "");
    close_handle(session);
}

}  // namespace

namespace {

// Every node is probed at once; each answer comes after its delay_ms. Each
// entry's latency is its own, whatever order the answers come in; the lines
// stay in slot order; and the stage lasts as long as its slowest probe.
TEST(ProbeStage, AtOnceEachLatencyIsItsOwnAndTheStageLastsTheLongestProbe) {
    struct Node {
        bool served;
        Response response;
    };
    auto after = [](uint64_t ms, Response r) {
        r.delay_ms = ms;
        return r;
    };
    struct TimedCase {
        const char* name;
        std::vector<Node> nodes;  // slots A to F
        std::string report;
        uint64_t elapsed_ms;
        std::string ranked;
    };
    const Response ok = status_with_body(206, 16384);
    const TimedCase cases[] = {
        {"answers in an order of their own",
         {{true, after(750, ok)},
          {true, after(700, ok)},
          {true, after(800, ok)},
          {false, ok},
          {true, after(720, failing(Step::read))},
          {true, after(710, ok)}},
         "   节点A/Node A              750 ms  [可达/OK]\n"
         "   节点B/Node B              700 ms  [可达/OK]\n"
         "   节点C/Node C              800 ms  [可达/OK]\n"
         "   节点D/Node D                - ms  [不可达/FAIL]\n"
         "   节点E/Node E                - ms  [不可达/FAIL]\n"
         "   节点F/Node F              710 ms  [可达/OK]\n",
         800,
         "BFACDE"},
        {"two dropped hosts time out while the rest answer",
         {{true, after(40, ok)},
          {true, after(4000, failing(Step::send))},
          {true, after(30, ok)},
          {true, after(20, ok)},
          {true, after(10, ok)},
          {true, after(4000, failing(Step::send))}},
         "   节点A/Node A               40 ms  [可达/OK]\n"
         "   节点B/Node B                - ms  [不可达/FAIL]\n"
         "   节点C/Node C               30 ms  [可达/OK]\n"
         "   节点D/Node D               20 ms  [可达/OK]\n"
         "   节点E/Node E               10 ms  [可达/OK]\n"
         "   节点F/Node F                - ms  [不可达/FAIL]\n",
         4000,
         "EDCABF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_os::set_ticks({5000});  // the clock moves only as the answers come
        NodeTable t = empty_table();
        build_candidates(builtin_like_release(), t, TEST_PROXIES);
        ASSERT_EQ(t.count, 6);
        for (int slot = 0; slot < 6; ++slot) {
            if (c.nodes[slot].served) fake_net::serve(t.nodes[slot].url, c.nodes[slot].response);
        }
        NetSession* session = open_session();
        EXPECT_EQ(transcript([&] { probe_nodes(session, t); }), c.report);
        EXPECT_EQ(fake_net::read_time_ms(), c.elapsed_ms) << "the longest probe, not the sum";
        rank_nodes(t);
        EXPECT_EQ(slot_letters(t), c.ranked);
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

// A console that blocks each report line for 2 s (a selection in QuickEdit
// mode, Ctrl+S) holds up the stage, not the probes: each latency stays the
// time its own probe took, and the ranking follows them.
TEST(ProbeStage, APrinterThatBlocksLeavesEachLatencyItsOwn) {
    fake_net::reset();
    fake_os::reset();
    fake_os::set_ticks({5000});
    const char* const urls[] = {"https://a.test/f", "https://b.test/f", "https://c.test/f"};
    const uint64_t delays_ms[] = {100, 900, 300};
    NodeTable t = empty_table();
    for (int i = 0; i < 3; ++i) {
        add_candidate(t, NODE_LABELS[i], "%s", urls[i]);
        Response answer = status_with_body(206, 16384);
        answer.delay_ms = delays_ms[i];
        fake_net::serve(urls[i], answer);
    }
    NetSession* session = open_session();
    fake_os::set_print_ms(2000);
    EXPECT_EQ(transcript([&] { probe_nodes(session, t); }),
              "   节点A/Node A              100 ms  [可达/OK]\n"
              "   节点B/Node B              900 ms  [可达/OK]\n"
              "   节点C/Node C              300 ms  [可达/OK]\n");
    EXPECT_EQ(fake_os::moved_ms(), 100u + 3 * 2000u) << "the printer did block the stage";
    rank_nodes(t);
    EXPECT_EQ(slot_letters(t), "ACB");
    close_handle(session);
}

}  // namespace
