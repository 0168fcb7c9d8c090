#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/split_plan.hpp"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t KiB = 1024;
constexpr uint64_t SIZE = 24 * MiB;
constexpr uint64_t OVERLAP = CHECK_OVERLAP_BYTES;

std::string show(const ByteRange& r) {
    return "[" + std::to_string(r.start) + "," + std::to_string(r.end) + ")";
}

std::string show(const ByteRange* ranges, int32_t count) {
    std::string text;
    for (int32_t i = 0; i < count; ++i)
        text += show(ranges[i]);
    return text;
}

struct NodeCase {
    const char* url;
    bool reachable;
};

// A download in progress: the ranked nodes, the record, the connections and
// the log, and a view over them for the plan.
class Download {
public:
    explicit Download(const std::vector<NodeCase>& nodes) {
        std::memset(&table_, 0, sizeof table_);
        for (const NodeCase& given : nodes) {
            MirrorNode& node = table_.nodes[table_.count++];
            std::snprintf(node.url, sizeof node.url, "%s", given.url);
            node.reachable = given.reachable;
        }
        ReleaseRecord release{};
        release.size = SIZE;
        start_held_ranges(&held, release);
        std::memset(connections, 0, sizeof connections);
        std::memset(&log, 0, sizeof log);
        std::memset(barred, 0, sizeof barred);
    }

    SplitView view() const { return {&held, &table_, barred, connections, &log}; }

    void open(int32_t slot, int32_t node, ByteRange range, uint64_t done, uint64_t rate) {
        connections[slot] = {true, node, range, done, rate, 0};
        write(slot, done);
    }

    // The connection's last n bytes, up to its progress, reached the part:
    // the record and the log take them.
    void write(int32_t slot, uint64_t n) {
        if (n == 0) return;
        const SplitConnection& c = connections[slot];
        const uint64_t end = c.range.start + c.done;
        add_held_range(&held, end - n, end);
        log_written(&log, c.node, end - n, end);
    }

    // Applies a step as the run would.
    void apply(const SplitStep& step) {
        ASSERT_NE(step.move, SplitMove::none);
        if (step.shortened >= 0) connections[step.shortened].range.end = step.new_end;
        connections[step.connection] = {true, step.node, step.range, 0, 0, 0};
        if (step.check.end > step.check.start) {
            log.checks[log.check_count++] = {step.check, step.check_with, step.node,
                                             OverlapVerdict::pending};
        }
    }

    HeldRanges held;
    SplitConnection connections[MAX_CONNECTIONS];
    SplitLog log;
    bool barred[MAX_NODES];

private:
    NodeTable table_;
};

const std::vector<NodeCase> FOUR_HOSTS = {
    {"https://a.example/r.exe", true},
    {"https://b.example/r.exe", true},
    {"https://c.example/r.exe", true},
    {"https://d.example/r.exe", true},
};

struct HelperCase {
    const char* name;
    uint64_t done;  // of the first node, on [0, SIZE)
    uint64_t rate;
    bool helper;
};

TEST(SplitPlan, NoHelperWhenTheFirstNodeFinishesInTime) {
    const HelperCase cases[] = {
        {"rate not measured yet", 0, 0, false},
        {"12 MiB/s: 2 s to go", 0, 12 * MiB, false},
        {"exactly the threshold to go", SIZE - 3 * MiB, MiB, false},
        {"a little past the threshold", SIZE - 3 * MiB - 2 * KiB, MiB, true},
        {"2.5 MiB/s: 9.6 s to go", 0, 2560 * KiB, true},
        {"slow, but nearly done", SIZE - 100 * KiB, 50 * KiB, false},
        {"slow, and too little left to split", SIZE - 2 * MiB + 1, 100 * KiB, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Download d(FOUR_HOSTS);
        d.open(0, 0, {0, SIZE}, c.done, c.rate);
        const SplitStep step = plan_helper(d.view());
        EXPECT_EQ(step.move == SplitMove::add_helper, c.helper);
        if (c.helper) {
            EXPECT_EQ(step.node, 1);
            EXPECT_EQ(step.connection, 1);
        }
    }
    Download d(FOUR_HOSTS);
    d.open(0, 0, {0, SIZE}, 0, 12 * MiB);
    EXPECT_EQ(still_needed_ms(d.view()), 2000u);
}

struct RankCase {
    const char* name;
    std::vector<NodeCase> nodes;
    std::vector<int32_t> barred;
    std::vector<int32_t> helpers;  // the nodes added, in order
};

TEST(SplitPlan, HelpersJoinInRankOrderOnePerHost) {
    const RankCase cases[] = {
        {"four hosts: three helpers", FOUR_HOSTS, {}, {1, 2, 3}},
        {"six hosts: no more than four connections",
         {{"https://a.example/r", true},
          {"https://b.example/r", true},
          {"https://c.example/r", true},
          {"https://d.example/r", true},
          {"https://e.example/r", true},
          {"https://f.example/r", true}},
         {},
         {1, 2, 3}},
        {"a node of the first node's host is passed over",
         {{"https://a.example/one", true},
          {"https://A.Example:443/two", true},
          {"https://b.example/r", true}},
         {},
         {2}},
        {"unreachable and barred nodes are passed over",
         {{"https://a.example/r", true},
          {"https://b.example/r", false},
          {"https://c.example/r", true},
          {"https://d.example/r", true},
          {"https://e.example/r", true}},
         {2},
         {3, 4}},
        {"no other node", {{"https://a.example/r", true}}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Download d(c.nodes);
        for (int32_t node : c.barred)
            d.barred[node] = true;
        d.open(0, 0, {0, SIZE}, MiB, 2 * MiB);
        std::vector<int32_t> added;
        for (int round = 0; round < MAX_NODES; ++round) {
            const SplitStep step = plan_helper(d.view());
            if (step.move == SplitMove::none) break;
            ASSERT_EQ(step.move, SplitMove::add_helper);
            added.push_back(step.node);
            d.apply(step);
        }
        EXPECT_EQ(added, c.helpers);
        EXPECT_EQ(connection_is_alone(d.view(), 0), c.helpers.empty());
    }
}

// Each step on the same download, in turn: a helper splits the first node's
// range, the next helper splits the largest rest, and a helper that finished
// takes half of the largest outstanding range.
TEST(SplitPlan, RangesAreSplitAndStolen) {
    Download d(FOUR_HOSTS);
    d.open(0, 0, {0, SIZE}, 4 * MiB, 2 * MiB);

    SplitStep step = plan_helper(d.view());
    ASSERT_EQ(step.move, SplitMove::add_helper);
    EXPECT_EQ(step.node, 1);
    EXPECT_EQ(show(step.range), show({14 * MiB - OVERLAP, SIZE}));
    EXPECT_EQ(step.shortened, 0);
    EXPECT_EQ(step.new_end, 14 * MiB);
    EXPECT_EQ(show(step.check), show({14 * MiB - OVERLAP, 14 * MiB}));
    EXPECT_EQ(step.check_with, 0);
    d.apply(step);

    // B wrote 2 MiB of its own: the largest rest is the first node's
    // [4, 14) MiB, halved at 9.
    d.connections[1].done = 2 * MiB + OVERLAP;
    d.write(1, 2 * MiB);
    step = plan_helper(d.view());
    ASSERT_EQ(step.move, SplitMove::add_helper);
    EXPECT_EQ(step.node, 2);
    EXPECT_EQ(show(step.range), show({9 * MiB - OVERLAP, 14 * MiB}));
    EXPECT_EQ(step.shortened, 0);
    d.apply(step);

    // Node B finishes [14 MiB - 64 KiB, 24 MiB); A is at 6 MiB of [0, 9),
    // C at 10 MiB of [9 - 64 KiB, 14). B takes the back half of C's rest,
    // the larger one (4 MiB against 3).
    d.connections[0].done = 6 * MiB;
    d.connections[1].done = d.connections[1].range.end - d.connections[1].range.start;
    d.connections[2].done = 10 * MiB - d.connections[2].range.start;
    step = plan_next_range(d.view(), 1, 1);
    ASSERT_EQ(step.move, SplitMove::take_range);
    EXPECT_EQ(step.connection, 1);
    EXPECT_EQ(step.shortened, 2);
    EXPECT_EQ(step.new_end, 12 * MiB);
    EXPECT_EQ(show(step.range), show({12 * MiB - OVERLAP, 14 * MiB}));
    EXPECT_EQ(step.check_with, 2);
}

struct StragglerCase {
    const char* name;
    uint64_t slow_rest;  // of the slow node's range
    uint64_t slow_rate;
    uint64_t fast_rate;
    const char* taken;           // "half", "whole" or "none"
    bool taker_measured = true;  // else the taker's piece ended before its rate was known
};

// A fast node finished; a slow one has slow_rest left of [8 MiB, 16 MiB).
TEST(SplitPlan, AStragglersShareIsTaken) {
    const StragglerCase cases[] = {
        {"much left: halved", 4 * MiB, 210 * KiB, 2560 * KiB, "half"},
        {"little left, far slower: taken whole", 1536 * KiB, 210 * KiB, 2560 * KiB, "whole"},
        {"little left, a little slower: kept", 1536 * KiB, 2 * MiB, 2560 * KiB, "none"},
        {"little left, faster than the taker: kept", 1536 * KiB, 4 * MiB, 2560 * KiB, "none"},
        {"little left, its rate not known: kept", 1536 * KiB, 0, 2560 * KiB, "none"},
        // A trickle must not hold the end because the fast node's last piece
        // was too short to measure: it counts at the best rate measured.
        {"little left, far slower, the taker not measured yet", 1536 * KiB, 512, 2560 * KiB,
         "whole", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Download d(FOUR_HOSTS);
        d.open(0, 0, {0, 8 * MiB}, 8 * MiB, c.taker_measured ? c.fast_rate : 0);
        d.open(1, 3, {8 * MiB, 16 * MiB}, 8 * MiB - c.slow_rest, c.slow_rate);
        d.open(2, 1, {16 * MiB, SIZE}, 8 * MiB, c.fast_rate);
        const uint64_t at = 16 * MiB - c.slow_rest;
        const SplitStep step = plan_next_range(d.view(), 0, 0);
        if (std::strcmp(c.taken, "none") == 0) {
            EXPECT_EQ(step.move, SplitMove::none);
            continue;
        }
        ASSERT_EQ(step.move, SplitMove::take_range);
        EXPECT_EQ(step.shortened, 1);
        const uint64_t from = std::strcmp(c.taken, "half") == 0 ? at + c.slow_rest / 2 : at;
        EXPECT_EQ(step.new_end, from);
        EXPECT_EQ(show(step.range), show({from - OVERLAP, 16 * MiB}));
        EXPECT_EQ(show(step.check), show({from - OVERLAP, from}));
        EXPECT_EQ(step.check_with, 3);
    }
}

// Helper C had [12 MiB, 24 MiB) and fails after 2 MiB: its rest is nobody's,
// and the next step gives it away whole, overlapping the bytes C wrote.
TEST(SplitPlan, AFailedHelpersRangeIsFinishedByOthers) {
    struct Case {
        const char* name;
        bool helper;  // a new helper joins; else A, done, takes the next range
    } const cases[] = {{"a new helper", true}, {"a node that finished", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Download d(FOUR_HOSTS);
        d.open(0, 0, {0, 12 * MiB}, c.helper ? 2 * MiB : 12 * MiB, 2 * MiB);
        d.open(1, 2, {12 * MiB, SIZE}, 2 * MiB, 2 * MiB);
        d.connections[1].open = false;  // dropped
        d.barred[2] = true;
        const SplitStep step = c.helper ? plan_helper(d.view()) : plan_next_range(d.view(), 0, 0);
        ASSERT_NE(step.move, SplitMove::none);
        EXPECT_EQ(step.node, c.helper ? 1 : 0);
        EXPECT_EQ(step.shortened, -1);
        EXPECT_EQ(show(step.range), show({14 * MiB - OVERLAP, SIZE}));
        EXPECT_EQ(show(step.check), show({14 * MiB - OVERLAP, 14 * MiB}));
        EXPECT_EQ(step.check_with, 2);
    }
}

// Node A (first, [0, 14 MiB)) serves the release; helper B serves another
// file of the same size from 14 MiB - 64 KiB. Its range starts early by the
// overlap, which is logged as a check between A and B; once B's bytes leave
// the record a finished A fetches them again and none of them is kept.
TEST(SplitPlan, AHelpersRangeOverlapsAndItsBytesCanBeTakenOut) {
    Download d(FOUR_HOSTS);
    d.open(0, 0, {0, SIZE}, 4 * MiB, 2 * MiB);
    const SplitStep helper = plan_helper(d.view());
    d.apply(helper);
    d.connections[1].done = 3 * MiB;
    d.write(1, 3 * MiB);
    ASSERT_EQ(d.log.check_count, 1);
    const OverlapCheck& check = d.log.checks[0];
    EXPECT_EQ(check.first, 0);
    EXPECT_EQ(check.second, 1);

    d.barred[1] = true;
    d.connections[1].open = false;
    drop_node_bytes(&d.log, &d.held, 1);
    EXPECT_EQ(show(d.held.ranges, d.held.count), show({0, 4 * MiB}));
    ASSERT_EQ(d.log.piece_count, 1);
    d.connections[0].done = 14 * MiB;
    d.write(0, 10 * MiB);
    const SplitStep again = plan_next_range(d.view(), 0, 0);
    ASSERT_EQ(again.move, SplitMove::take_range);
    EXPECT_EQ(show(again.range), show({14 * MiB, SIZE}));
    EXPECT_EQ(again.check_with, NO_NODE) << "A compared with itself";
}

// An earlier run left [0, 5), [9, 20) MiB. The first node takes a hole,
// overlapping the bytes before it; helpers take the other hole, then split.
TEST(SplitPlan, AFileWithHolesResumesTheHoles) {
    Download d(FOUR_HOSTS);
    add_held_range(&d.held, 0, 5 * MiB);
    add_held_range(&d.held, 9 * MiB, 20 * MiB);

    SplitStep step = plan_next_range(d.view(), 0, 0);
    ASSERT_EQ(step.move, SplitMove::take_range);
    EXPECT_EQ(show(step.range), show({5 * MiB - OVERLAP, 9 * MiB}));
    EXPECT_EQ(show(step.check), show({5 * MiB - OVERLAP, 5 * MiB}));
    EXPECT_EQ(step.check_with, EARLIER_RUN);
    d.apply(step);
    d.connections[0].rate = MiB;
    EXPECT_EQ(still_needed_ms(d.view()), 8000u + 62u);  // 8 MiB and the overlap at 1 MiB/s

    step = plan_helper(d.view());
    ASSERT_EQ(step.move, SplitMove::add_helper);
    EXPECT_EQ(step.node, 1);
    EXPECT_EQ(step.shortened, -1);
    EXPECT_EQ(show(step.range), show({20 * MiB - OVERLAP, SIZE}));
    EXPECT_EQ(step.check_with, EARLIER_RUN);
    d.apply(step);

    // Both holes are taken: the next helper halves the first node's rest.
    step = plan_helper(d.view());
    ASSERT_EQ(step.move, SplitMove::add_helper);
    EXPECT_EQ(step.node, 2);
    EXPECT_EQ(step.shortened, 0);
    const uint64_t middle = 5 * MiB - OVERLAP + (4 * MiB + OVERLAP) / 2;
    EXPECT_EQ(show(step.range), show({middle - OVERLAP, 9 * MiB}));

    // A record with nothing missing gives nothing to fetch.
    Download whole(FOUR_HOSTS);
    add_held_range(&whole.held, 0, SIZE);
    EXPECT_EQ(plan_next_range(whole.view(), 0, 0).move, SplitMove::none);
}

TEST(SplitPlan, TheLogMergesANodesConsecutiveBytes) {
    SplitLog log;
    std::memset(&log, 0, sizeof log);
    ASSERT_TRUE(log_written(&log, 0, 0, 100));
    ASSERT_TRUE(log_written(&log, 1, 500, 600));
    ASSERT_TRUE(log_written(&log, 0, 100, 200));
    ASSERT_TRUE(log_written(&log, 1, 700, 800));
    ASSERT_EQ(log.piece_count, 3);
    EXPECT_EQ(show(log.pieces[0].range), "[0,200)");
    EXPECT_EQ(show(log.pieces[1].range), "[500,600)");
    EXPECT_EQ(show(log.pieces[2].range), "[700,800)");
    for (int32_t i = log.piece_count; i < MAX_SPLIT_PIECES; ++i)
        ASSERT_TRUE(log_written(&log, 2, 1000 + 10 * i, 1005 + 10 * i));
    EXPECT_FALSE(log_written(&log, 3, 5000, 5001));
    EXPECT_TRUE(log_written(&log, 0, 200, 300)) << "a merge needs no room";
}

}  // namespace
