#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mirrors/mirrors.hpp"

namespace {

constexpr uint32_t NONE = 0xFFFFFFFFu;

struct Probe {
    int32_t reachable;
    uint32_t latency_ms;
};

struct RankCase {
    const char* name;
    std::vector<Probe> slots;  // slot 0 is A
    const char* order;         // slot letters after ranking
};

// Slot letter of an entry, from its label ("节点A/Node A" ends in the letter).
char letter(const MirrorNode& node) {
    return node.label[std::strlen(node.label) - 1];
}

TEST(RankNodes, ReachableFirstFastestFirstStableAmongEquals) {
    static const RankCase cases[] = {
        {"A, E unreachable; B, D 120; C, F 80",
         {{0, NONE}, {1, 120}, {1, 80}, {1, 120}, {0, NONE}, {1, 80}},
         "CFBDAE"},
        {"only slot 5 reachable",
         {{0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}, {1, 300}},
         "FABCDE"},
        {"only slot 2 reachable",
         {{0, NONE}, {0, NONE}, {1, 40}, {0, NONE}, {0, NONE}, {0, NONE}},
         "CABDEF"},
        {"none reachable",
         {{0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}},
         "ABCDEF"},
        {"A and F tie", {{1, 50}, {0, NONE}, {0, NONE}, {0, NONE}, {0, NONE}, {1, 50}}, "AFBCDE"},
        {"all tie", {{1, 7}, {1, 7}, {1, 7}, {1, 7}, {1, 7}, {1, 7}}, "ABCDEF"},
        {"latency 0 ranks before every larger one",
         {{1, 1}, {1, 2}, {1, 0}, {0, NONE}, {1, 0}, {1, 3}},
         "CEABFD"},
        {"descending latencies reverse",
         {{1, 60}, {1, 50}, {1, 40}, {1, 30}, {1, 20}, {1, 10}},
         "FEDCBA"},
        {"latencies compare unsigned", {{1, 0x80000000u}, {1, 1}, {1, 0x7FFFFFFFu}}, "BCA"},
        {"a reachable node measured at 0xFFFFFFFF still beats an unreachable one",
         {{0, NONE}, {1, NONE}},
         "BA"},
        {"eight entries",
         {{1, 9}, {0, NONE}, {1, 3}, {1, 9}, {0, NONE}, {1, 1}, {1, 3}, {0, NONE}},
         "FCGADBEH"},
        {"one entry", {{0, NONE}}, "A"},
        {"no entries", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NodeTable t;
        std::memset(&t, 0, sizeof t);
        for (size_t i = 0; i < c.slots.size(); ++i) {
            add_candidate(t, NODE_LABELS[i], "https://node-%c.test/f", static_cast<char>('A' + i));
            t.nodes[i].reachable = c.slots[i].reachable;
            t.nodes[i].latency_ms = c.slots[i].latency_ms;
        }

        rank_nodes(t);

        ASSERT_EQ(t.count, static_cast<int>(c.slots.size()));
        std::string order;
        for (int i = 0; i < t.count; ++i) {
            const MirrorNode& n = t.nodes[i];
            const char slot = letter(n);
            order += slot;
            // Whole entries move: URL, reachability and latency stay with the label.
            EXPECT_EQ(std::string(n.url), std::string("https://node-") + slot + ".test/f");
            EXPECT_EQ(n.label, NODE_LABELS[slot - 'A']);
            EXPECT_EQ(n.reachable, c.slots[slot - 'A'].reachable);
            EXPECT_EQ(n.latency_ms, c.slots[slot - 'A'].latency_ms);
        }
        EXPECT_EQ(order, c.order);
        bool any_reachable = false;
        for (const auto& p : c.slots)
            any_reachable = any_reachable || p.reachable;
        if (t.count > 0) {
            EXPECT_EQ(t.nodes[0].reachable != 0, any_reachable);
        }
    }
}

}  // namespace
