// Many rounds of streams against the four local mirrors (tests/curl/netns_run.py),
// each event answered at random: read on, hold the buffer a while, stop this
// stream or another one, start a new stream in a freed slot at once. Built by
// the tsan preset it lets ThreadSanitizer watch every hand-over between a
// stream's thread and the caller; in any build it checks what the caller is
// handed: each stream's answer first and as asked, its bytes the file's and
// in order, its end complete, and nothing of a stream once it is stopped.
// TREVALON_STRESS_ROUNDS and TREVALON_STRESS_SEED change the run; the seed is
// printed, though the threads' timing makes no two runs alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "curl_test_support.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

constexpr int DEFAULT_ROUNDS = 60;
constexpr uint32_t DEFAULT_SEED = 31;
constexpr uint64_t MAX_RANGE = 512 * 1024;
constexpr uint64_t MAX_SLOW_RANGE = 96 * 1024;  // the slow route gives 1 MiB/s
constexpr int MAX_STARTS_PER_ROUND = 10;

const char* const FAST_URLS[] = {
    "https://mirror1.test/bytes/5242893", "https://mirror2.test/bytes/5242893",
    "https://mirror3.test/bytes/5242893", "https://mirror4.test/bytes/5242893"};
const char* const SLOW_URLS[] = {
    "https://mirror1.test/slow/bytes/5242893", "https://mirror2.test/slow/bytes/5242893",
    "https://mirror3.test/slow/bytes/5242893", "https://mirror4.test/slow/bytes/5242893"};

// What the caller expects of the stream in a slot.
struct Expected {
    bool active = false;  // started, and neither ended nor stopped
    bool handed = false;  // its answer or data is the caller's, not yet resumed
    bool answered = false;
    uint64_t first = 0, end = 0;  // the bytes asked for
    uint64_t at = 0;              // the next byte expected
    const char* url = nullptr;
};

struct Tally {
    int started = 0, completed = 0, stopped_handed = 0, stopped_other = 0, restarted = 0;
    int events = 0, held = 0;
    uint64_t bytes = 0;
};

uint32_t from_environment(const char* name, uint32_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

class Stress {
public:
    Stress(NetSession* session, uint32_t seed) : session_(session), random_(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    uint64_t below(uint64_t n) {
        return std::uniform_int_distribution<uint64_t>(0, n - 1)(random_);
    }

    // A new stream of a random range in the slot: most from the fast route,
    // some open-ended to the file's end, a few from the slow route.
    void start(int32_t slot) {
        Expected e;
        const int kind = below(10);
        const int mirror = below(4);
        if (kind < 7) {
            e.url = FAST_URLS[mirror];
            e.first = below(LARGE - 1);
            e.end = e.first + 1 + below(MAX_RANGE);
            if (e.end > LARGE) e.end = LARGE;
        } else if (kind < 9) {
            e.url = FAST_URLS[mirror];
            e.first = LARGE - 1 - below(MAX_RANGE);
            e.end = STREAM_TO_END;
        } else {
            e.url = SLOW_URLS[mirror];
            e.first = below(LARGE - MAX_SLOW_RANGE);
            e.end = e.first + 1 + below(MAX_SLOW_RANGE);
        }
        e.at = e.first;
        ASSERT_TRUE(start_stream(session_, slot, e.url, e.first, e.end)) << e.url;
        e.active = true;
        expected_[slot] = e;
        ++tally_.started;
        ++starts_;
    }

    void stop(int32_t slot) {
        stop_stream(slot);
        expected_[slot].active = false;
    }

    int32_t random_active_slot() {
        int32_t slots[MAX_STREAMS];
        int count = 0;
        for (int32_t i = 0; i < MAX_STREAMS; ++i) {
            if (expected_[i].active) slots[count++] = i;
        }
        return count == 0 ? -1 : slots[below(count)];
    }

    // Lets some held streams go on; when every live stream is held, one at least,
    // or no event could come.
    void resume_some() {
        bool running = false;
        for (int32_t i = 0; i < MAX_STREAMS; ++i) {
            Expected& e = expected_[i];
            if (e.active && e.handed && below(2) == 0) {
                e.handed = false;
                resume_stream(i);
            }
            running = running || (e.active && !e.handed);
        }
        if (running) return;
        for (int32_t i = 0; i < MAX_STREAMS; ++i) {
            if (expected_[i].active) {
                expected_[i].handed = false;
                resume_stream(i);
                return;
            }
        }
    }

    void check(const StreamEvent& event) {
        ASSERT_GE(event.stream, 0);
        ASSERT_LT(event.stream, MAX_STREAMS);
        Expected& e = expected_[event.stream];
        SCOPED_TRACE(std::string(e.url != nullptr ? e.url : "") + " from " +
                     std::to_string(e.first) + " to " + std::to_string(e.end));
        ASSERT_TRUE(e.active) << "an event of a stream that was stopped or had ended";
        ASSERT_FALSE(e.handed) << "an event while the caller holds the last one";
        ++tally_.events;
        const uint64_t end = e.end == STREAM_TO_END ? LARGE : e.end;
        switch (event.kind) {
            case StreamEventKind::answered:
                ASSERT_FALSE(e.answered) << "answered twice";
                EXPECT_EQ(event.answer.status, 206u);
                EXPECT_TRUE(event.answer.has_range);
                EXPECT_EQ(event.answer.range_first, e.first);
                EXPECT_EQ(event.answer.range_total, LARGE);
                EXPECT_TRUE(event.answer.has_length);
                EXPECT_EQ(event.answer.length, end - e.first);
                e.answered = true;
                e.handed = true;
                break;
            case StreamEventKind::data: {
                ASSERT_TRUE(e.answered) << "data before the answer";
                ASSERT_GT(event.count, 0u);
                ASSERT_LE(event.count, STREAM_BUFFER_BYTES);
                ASSERT_LE(e.at + event.count, end) << "more than the range";
                const std::string bytes(reinterpret_cast<const char*>(event.data), event.count);
                ASSERT_TRUE(is_large_file_at(bytes, e.at)) << "not the file's bytes at " << e.at;
                e.at += event.count;
                tally_.bytes += event.count;
                e.handed = true;
                break;
            }
            case StreamEventKind::ended:
                EXPECT_TRUE(event.complete);
                EXPECT_TRUE(e.answered);
                EXPECT_EQ(e.at, end) << "ended short";
                e.active = false;
                ++tally_.completed;
                break;
        }
    }

    // What the caller does with an event it has checked.
    void answer(const StreamEvent& event) {
        const int32_t slot = event.stream;
        if (event.kind == StreamEventKind::ended) {
            if (starts_ < MAX_STARTS_PER_ROUND && below(2) == 0) start(slot);
            return;
        }
        const int choice = below(100);
        if (choice < 75) {
            expected_[slot].handed = false;
            resume_stream(slot);
        } else if (choice < 87) {
            ++tally_.held;  // resumed later, while others go on
        } else if (choice < 92) {
            stop(slot);
            ++tally_.stopped_handed;
        } else if (choice < 96) {
            // Another stream, wherever it is: running, its event queued, or held.
            const int32_t other = random_active_slot();
            if (other >= 0 && other != slot) {
                stop(other);
                ++tally_.stopped_other;
            }
            expected_[slot].handed = false;
            resume_stream(slot);
        } else {
            stop(slot);
            ++tally_.stopped_handed;
            if (starts_ < MAX_STARTS_PER_ROUND) {
                start(slot);
                ++tally_.restarted;
            }
        }
    }

    void round() {
        starts_ = 0;
        const int count = 2 + below(MAX_STREAMS - 1);
        for (int32_t i = 0; i < count; ++i) {
            start(i);
            if (testing::Test::HasFatalFailure()) return;
        }
        StreamEvent event;
        while (random_active_slot() >= 0) {
            resume_some();
            ASSERT_TRUE(next_stream_event(&event)) << "no event while streams are live";
            check(event);
            if (testing::Test::HasFatalFailure()) return;
            answer(event);
            if (testing::Test::HasFatalFailure()) return;
        }
        EXPECT_FALSE(next_stream_event(&event)) << "an event after every stream was done";
    }

    const Tally& tally() const { return tally_; }

private:
    NetSession* session_;
    std::mt19937 random_;
    Expected expected_[MAX_STREAMS];
    Tally tally_;
    int starts_ = 0;
};

TEST(CurlStreamsStress, RandomResumesStopsAndRestarts) {
    REQUIRE_TEST_NETWORK();
    const uint32_t rounds = from_environment("TREVALON_STRESS_ROUNDS", DEFAULT_ROUNDS);
    const uint32_t seed = from_environment("TREVALON_STRESS_SEED", DEFAULT_SEED);
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    Stress stress(session, seed);
    const uint64_t started = tick_ms();
    for (uint32_t i = 0; i < rounds; ++i) {
        SCOPED_TRACE("round " + std::to_string(i) + ", seed " + std::to_string(seed));
        stress.round();
        if (HasFatalFailure()) break;
    }
    const Tally& t = stress.tally();
    std::printf(
        "[ figures  ] seed %u, %u rounds in %llu ms: %d streams started, %d complete, %d "
        "stopped when handed (%d started again at once), %d stopped from another's event; "
        "%d events, %d held a while, %llu bytes\n",
        seed, rounds, static_cast<unsigned long long>(tick_ms() - started), t.started, t.completed,
        t.stopped_handed, t.restarted, t.stopped_other, t.events, t.held,
        static_cast<unsigned long long>(t.bytes));
    EXPECT_GT(t.completed, 0);
    EXPECT_GT(t.stopped_handed, 0);
    EXPECT_GT(t.stopped_other, 0);
    close_handle(session);
}

}  // namespace
