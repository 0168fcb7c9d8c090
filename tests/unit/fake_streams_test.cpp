// The scripted streams are the clock of every test of a download from several
// mirrors, so their timing, their ranges and their failures are checked here
// on their own: a wrong time in the fake would pass for a wrong choice in the
// stage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_net.hpp"
#include "fake_os.hpp"
#include "net/transport.hpp"

namespace {

constexpr uint64_t SIZE = 200000;  // three whole stream buffers and a bit
const fake_net::Bytes& release() {
    static const fake_net::Bytes bytes = fake_net::pattern(1, SIZE);
    return bytes;
}

// The mirrors every case can ask; times in the comments are per 64 KiB read.
void serve_mirrors() {
    using fake_net::mirror;
    fake_net::serve("https://fast.test/r.exe", mirror(release(), 131072));  // 500 ms
    fake_net::serve("https://slow.test/r.exe", mirror(release(), 65536));   // 1000 ms
    fake_net::Response far = mirror(release(), 100000);                     // 655.36 ms
    far.delay_ms = 300;
    fake_net::serve("https://far.test/r.exe", far);
    fake_net::Response cut = mirror(release(), 65536);
    cut.cut_after_bytes = 100000;
    fake_net::serve("https://cut.test/r.exe", cut);
    fake_net::Response stall = mirror(release(), 65536);
    stall.stall_after_bytes = 65536;
    fake_net::serve("https://stall.test/r.exe", stall);
    fake_net::Response ignores = mirror(release(), 131072);
    ignores.honours_ranges = false;
    fake_net::serve("https://ignores.test/r.exe", ignores);
    fake_net::Response busy = mirror(release(), 131072);
    busy.download_status = 503;
    fake_net::serve("https://busy.test/r.exe", busy);
}

std::string describe(const StreamEvent& e) {
    switch (e.kind) {
        case StreamEventKind::answered: {
            std::string text = "answered " + std::to_string(e.answer.status);
            if (e.answer.has_range) {
                text += " range " + std::to_string(e.answer.range_first) + "/" +
                        std::to_string(e.answer.range_total);
            }
            if (e.answer.has_length) text += " length " + std::to_string(e.answer.length);
            return text;
        }
        case StreamEventKind::data:
            return "data " + std::to_string(e.count);
        case StreamEventKind::ended:
            return e.complete ? "complete" : "failed";
    }
    return "?";
}

struct StreamStart {
    const char* url;
    uint64_t first, end;
};

// What a caller that reads every stream to its end sees: "@TIME SLOT EVENT",
// TIME the fake clock when the event was handed out. After the event of index
// stop_after (counted from 0), the caller stops stop_slot.
struct DriveCase {
    const char* name;
    std::vector<StreamStart> starts;  // in slots 0, 1, ... at time 0
    std::vector<std::string> events;
    int stop_after = -1;
    int32_t stop_slot = -1;
    uint32_t receive_ms = DOWNLOAD_PROFILE.receive_ms;
};

class FakeStreamsTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
        serve_mirrors();
    }

    NetSession* open_download_session(uint32_t receive_ms) {
        NetSession* session = open_session();
        TimeoutProfile profile = DOWNLOAD_PROFILE;
        profile.receive_ms = receive_ms;
        apply_timeouts(session, profile);
        return session;
    }

    // Runs the case; every stream's bytes must be the release's from where
    // its answer says they start.
    std::vector<std::string> drive(const DriveCase& c) {
        NetSession* session = open_download_session(c.receive_ms);
        for (size_t i = 0; i < c.starts.size(); ++i) {
            const StreamStart& s = c.starts[i];
            EXPECT_TRUE(start_stream(session, static_cast<int32_t>(i), s.url, s.first, s.end));
        }
        std::vector<std::string> seen;
        std::string bytes[MAX_STREAMS];
        uint64_t from[MAX_STREAMS] = {};
        StreamEvent e;
        while (seen.size() < 100 && next_stream_event(&e)) {
            seen.push_back("@" + std::to_string(fake_os::moved_ms()) + " " +
                           std::to_string(e.stream) + " " + describe(e));
            if (e.kind == StreamEventKind::answered && e.answer.has_range)
                from[e.stream] = e.answer.range_first;
            if (e.kind == StreamEventKind::data)
                bytes[e.stream].append(reinterpret_cast<const char*>(e.data), e.count);
            const bool stopped = static_cast<int>(seen.size()) - 1 == c.stop_after;
            if (stopped) stop_stream(c.stop_slot);
            if (e.kind != StreamEventKind::ended && !(stopped && c.stop_slot == e.stream))
                resume_stream(e.stream);
        }
        for (int32_t i = 0; i < MAX_STREAMS; ++i) {
            SCOPED_TRACE("stream " + std::to_string(i));
            EXPECT_TRUE(bytes[i] == release()->substr(from[i], bytes[i].size()));
        }
        close_handle(session);
        EXPECT_EQ(fake_net::open_handles(), 0);
        return seen;
    }
};

TEST_F(FakeStreamsTest, EventsComeInTheOrderOfTheirScriptedTimes) {
    static const DriveCase cases[] = {
        {"two rates interleave, the lower slot first at the same time",
         {{"https://slow.test/r.exe", 0, 131072}, {"https://fast.test/r.exe", 65536, 196608}},
         {"@0 0 answered 206 range 0/200000 length 131072",
          "@0 1 answered 206 range 65536/200000 length 131072", "@500 1 data 65536",
          "@1000 0 data 65536", "@1000 1 data 65536", "@1000 1 complete", "@2000 0 data 65536",
          "@2000 0 complete"}},
        {"the answer after the delay, the rate held over reads that do not divide it",
         {{"https://far.test/r.exe", 0, STREAM_TO_END}},
         {"@300 0 answered 200 length 200000", "@955 0 data 65536", "@1610 0 data 65536",
          "@2266 0 data 65536", "@2300 0 data 3392", "@2300 0 complete"}},
        {"a stream stopped while it reads hands out nothing more",
         {{"https://slow.test/r.exe", 0, 131072}, {"https://fast.test/r.exe", 0, 131072}},
         {"@0 0 answered 206 range 0/200000 length 131072",
          "@0 1 answered 206 range 0/200000 length 131072", "@500 1 data 65536",
          "@1000 1 data 65536", "@1000 1 complete"},
         2,
         0},
        {"a stream stopped at its answer: a mirror too busy to serve the file",
         {{"https://busy.test/r.exe", 0, 131072}},
         {"@0 0 answered 503 length 200000"},
         0,
         0},
        {"a cut fails the read after the last byte, at once",
         {{"https://cut.test/r.exe", 0, STREAM_TO_END}},
         {"@0 0 answered 200 length 200000", "@1000 0 data 65536", "@1525 0 data 34464",
          "@1525 0 failed"}},
        {"a stall fails at the session's receive timeout",
         {{"https://stall.test/r.exe", 0, 131072}},
         {"@0 0 answered 206 range 0/200000 length 131072", "@1000 0 data 65536",
          "@31000 0 failed"}},
        {"a stall on a session with a shorter receive timeout",
         {{"https://stall.test/r.exe", 0, 131072}},
         {"@0 0 answered 206 range 0/200000 length 131072", "@1000 0 data 65536", "@4000 0 failed"},
         -1,
         -1,
         3000},
        {"bounded ranges, one cut at the end of the body",
         {{"https://fast.test/r.exe", 1000, 71000}, {"https://slow.test/r.exe", 196608, 300000}},
         {"@0 0 answered 206 range 1000/200000 length 70000",
          "@0 1 answered 206 range 196608/200000 length 3392", "@51 1 data 3392", "@51 1 complete",
          "@500 0 data 65536", "@534 0 data 4464", "@534 0 complete"}},
        {"a mirror that ignores ranges sends the whole body",
         {{"https://ignores.test/r.exe", 1000, 71000}},
         {"@0 0 answered 200 length 200000", "@500 0 data 65536", "@1000 0 data 65536",
          "@1500 0 data 65536", "@1525 0 data 3392", "@1525 0 complete"}},
        {"a range past the end",
         {{"https://fast.test/r.exe", 200000, 200100}},
         {"@0 0 answered 416 length 0", "@0 0 complete"}},
        {"a host nobody serves", {{"https://nobody.test/r.exe", 0, 1000}}, {"@0 0 failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        EXPECT_EQ(drive(c), c.events);
    }
}

TEST_F(FakeStreamsTest, LogsItsCallsAndItsChoices) {
    NetSession* session = open_download_session(DOWNLOAD_PROFILE.receive_ms);
    const size_t opened = fake_net::calls().size();
    ASSERT_TRUE(start_stream(session, 2, "https://fast.test/r.exe", 196608, STREAM_TO_END));
    StreamEvent e;
    ASSERT_TRUE(next_stream_event(&e));
    resume_stream(2);
    ASSERT_TRUE(next_stream_event(&e));
    resume_stream(2);
    ASSERT_TRUE(next_stream_event(&e));
    EXPECT_EQ(e.kind, StreamEventKind::ended);
    EXPECT_FALSE(start_stream(session, 3, "https://fast.test/r.exe", 10, 10));
    ASSERT_TRUE(start_stream(session, 3, "https://slow.test/r.exe", 0, STREAM_TO_END));
    stop_stream(3);
    stop_stream(3);  // a free slot: nothing
    EXPECT_FALSE(next_stream_event(&e));
    std::string log;
    for (size_t i = opened; i < fake_net::calls().size(); ++i)
        log += fake_net::calls()[i] + "\n";
    EXPECT_EQ(log,
              "connect fast.test:443\n"
              "request GET /r.exe flags=0x800000\n"
              "header Range: bytes=196608- flags=0x20000000\n"
              "stream 2 start https://fast.test/r.exe 196608-\n"
              "send https://fast.test/r.exe\n"
              "receive\n"
              "query 0x20000013\n"
              "query 0x20000013\n"
              "query 0x35\n"
              "query 0x5\n"
              "available 3392\n"
              "read 3392 -> 3392\n"
              "available 0\n"
              "close request\n"
              "close connection\n"
              "stream 2 end\n"
              "stream 3 start https://fast.test/r.exe 10-9 FAILED\n"
              "connect slow.test:443\n"
              "request GET /r.exe flags=0x800000\n"
              "stream 3 start https://slow.test/r.exe 0-\n"
              "close request\n"
              "close connection\n"
              "stream 3 stop\n");
    EXPECT_EQ(fake_net::stream_calls_text(),
              "stream 2 start https://fast.test/r.exe 196608-\n"
              "stream 2 end\n"
              "stream 3 start https://fast.test/r.exe 10-9 FAILED\n"
              "stream 3 start https://slow.test/r.exe 0-\n"
              "stream 3 stop\n");
    close_handle(session);
    EXPECT_EQ(fake_net::open_handles(), 0);
}

TEST_F(FakeStreamsTest, AStoppedSlotTakesANewStreamAtOnce) {
    NetSession* session = open_download_session(DOWNLOAD_PROFILE.receive_ms);
    ASSERT_TRUE(start_stream(session, 0, "https://slow.test/r.exe", 0, 65536));
    StreamEvent e;
    ASSERT_TRUE(next_stream_event(&e));
    resume_stream(0);  // its read would come at 1000 ms
    stop_stream(0);
    ASSERT_TRUE(start_stream(session, 0, "https://fast.test/r.exe", 65536, 131072));
    std::vector<std::string> seen;
    while (next_stream_event(&e)) {
        seen.push_back("@" + std::to_string(fake_os::moved_ms()) + " " + describe(e));
        if (e.kind != StreamEventKind::ended) resume_stream(0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"@0 answered 206 range 65536/200000 length 65536",
                                              "@500 data 65536", "@500 complete"}));
    close_handle(session);
    EXPECT_EQ(fake_net::open_handles(), 0);
}

TEST_F(FakeStreamsTest, WaitingForEveryStreamFailsInsteadOfHanging) {
    NetSession* session = open_download_session(DOWNLOAD_PROFILE.receive_ms);
    StreamEvent e;
    EXPECT_FALSE(next_stream_event(&e));  // none started
    ASSERT_TRUE(start_stream(session, 1, "https://fast.test/r.exe", 0, 100));
    ASSERT_TRUE(next_stream_event(&e));
    EXPECT_FALSE(next_stream_event(&e));  // not resumed
    EXPECT_EQ(fake_net::calls().back(), "stream wait FAILED");
    stop_stream(1);
    close_handle(session);
    EXPECT_EQ(fake_net::open_handles(), 0);
}

// The single download's reads take the same scripted faults and rate.
TEST_F(FakeStreamsTest, ADownloadOutsideAStreamStallsAndCutsAlike) {
    struct Case {
        const char* url;
        uint64_t bytes, read_ms;  // what it delivers before failing, and when
    };
    static const Case cases[] = {
        {"https://stall.test/r.exe", 65536, 1000 + 30000},
        {"https://cut.test/r.exe", 100000, 1525},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        SetUp();
        NetSession* session = open_download_session(DOWNLOAD_PROFILE.receive_ms);
        Exchange exchange{};
        exchange.url = c.url;
        exchange.body = ExchangeBody::whole;
        std::string buffer(SIZE, '\0');
        exchange.buffer = &buffer[0];
        exchange.limit = static_cast<uint32_t>(buffer.size() + 1);
        EXPECT_EQ(run_exchange(session, exchange), ExchangeEnd::read_failed);
        EXPECT_EQ(exchange.received, c.bytes);
        EXPECT_TRUE(buffer.compare(0, c.bytes, *release(), 0, c.bytes) == 0);
        EXPECT_EQ(fake_net::read_time_ms(), c.read_ms);
        close_handle(session);
    }
}

TEST(FakePattern, SameSeedSameBytesOtherSeedOthers) {
    const fake_net::Bytes a = fake_net::pattern(1, 1000), longer = fake_net::pattern(1, 1003);
    EXPECT_EQ(*a, *fake_net::pattern(1, 1000));
    EXPECT_EQ(longer->substr(0, 1000), *a);
    const fake_net::Bytes other = fake_net::pattern(2, 1000);
    size_t same = 0;
    for (size_t i = 0; i < 1000; ++i)
        same += (*a)[i] == (*other)[i];
    EXPECT_LT(same, 20u);  // about 4 expected from unrelated bytes
}

}  // namespace
