#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mirrors/mirrors.hpp"
#include "records.hpp"

namespace {

struct Entry {
    const char* label;
    std::string url;
};

ReleaseRecord release(const char* version, const char* file_name) {
    ReleaseRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.version, sizeof r.version, "%s", version);
    std::snprintf(r.file_name, sizeof r.file_name, "%s", file_name);
    r.size = 1;
    return r;
}

NodeTable empty_table() {
    NodeTable t;
    std::memset(&t, 0, sizeof t);
    return t;
}

// The table's entries in slot order, each checked to be freshly added.
std::vector<Entry> entries(const NodeTable& t) {
    std::vector<Entry> out;
    for (int i = 0; i < t.count; ++i) {
        EXPECT_EQ(t.nodes[i].reachable, 0) << "slot " << i;
        EXPECT_EQ(t.nodes[i].latency_ms, 0xFFFFFFFFu) << "slot " << i;
        out.push_back({t.nodes[i].label, t.nodes[i].url});
    }
    return out;
}

void expect_entries(const NodeTable& t, const std::vector<Entry>& expected) {
    ASSERT_EQ(t.count, static_cast<int>(expected.size()));
    std::vector<Entry> got = entries(t);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("slot " + std::to_string(i));
        EXPECT_STREQ(got[i].label, expected[i].label);
        EXPECT_EQ(got[i].label, NODE_LABELS[i]) << "label is the slot's constant, not a copy";
        EXPECT_EQ(got[i].url, expected[i].url);
    }
    for (int i = t.count; i < MAX_NODES; ++i) {
        EXPECT_EQ(t.nodes[i].label, nullptr) << "slot " << i << " stays empty";
        EXPECT_EQ(t.nodes[i].url[0], '\0') << "slot " << i << " stays empty";
    }
}

const char GH[] =
    "https://github.com/norwick/trevalon/releases/download/v0.7.19/Trevalon-setup-0.7.19.exe";
const char MS[] =
    "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/"
    "Trevalon-setup-0.7.19.exe";
const char HF[] =
    "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/Trevalon-setup-0.7.19.exe";

TEST(BuildCandidates, TheSixCompiledInNodesOfTheBuiltInRelease) {
    NodeTable t = empty_table();
    build_candidates(release("0.7.19", "Trevalon-setup-0.7.19.exe"), t);
    expect_entries(t, {
                          {"节点A/Node A", MS},
                          {"节点B/Node B", GH},
                          {"节点C/Node C", std::string("https://ghfast.top/") + GH},
                          {"节点D/Node D", std::string("https://gh-proxy.com/") + GH},
                          {"节点E/Node E", std::string("https://ghproxy.net/") + GH},
                          {"节点F/Node F", HF},
                      });
}

TEST(BuildCandidates, SwitchedOffProxiesMoveTheLaterEntriesAndTheirLabelsUp) {
    struct Case {
        const char* name;
        const char* prefixes[GITHUB_PROXY_COUNT];
        std::vector<Entry> expected;
    };
    const std::string gh = GH;
    const Case cases[] = {
        {"second off",
         {"https://ghfast.top/", "", "https://ghproxy.net/"},
         {{"节点A/Node A", MS},
          {"节点B/Node B", gh},
          {"节点C/Node C", "https://ghfast.top/" + gh},
          {"节点D/Node D", "https://ghproxy.net/" + gh},
          {"节点E/Node E", HF}}},
        {"first off",
         {"", "https://gh-proxy.com/", "https://ghproxy.net/"},
         {{"节点A/Node A", MS},
          {"节点B/Node B", gh},
          {"节点C/Node C", "https://gh-proxy.com/" + gh},
          {"节点D/Node D", "https://ghproxy.net/" + gh},
          {"节点E/Node E", HF}}},
        {"all off",
         {"", "", ""},
         {{"节点A/Node A", MS}, {"节点B/Node B", gh}, {"节点C/Node C", HF}}},
        {"test proxies",
         {"https://p1.test/", "https://p2.test/x/", "https://p3.test/"},
         {{"节点A/Node A", MS},
          {"节点B/Node B", gh},
          {"节点C/Node C", "https://p1.test/" + gh},
          {"节点D/Node D", "https://p2.test/x/" + gh},
          {"节点E/Node E", "https://p3.test/" + gh},
          {"节点F/Node F", HF}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NodeTable t = empty_table();
        build_candidates(release("0.7.19", "Trevalon-setup-0.7.19.exe"), t, c.prefixes);
        expect_entries(t, c.expected);
    }
}

TEST(BuildCandidates, VersionAndFileNameGoInAsTheyStand) {
    NodeTable t = empty_table();
    static const char* const prefixes[GITHUB_PROXY_COUNT] = {"https://p.test/", "", ""};
    build_candidates(release("2.0.0-rc_1", "A.b_c-d.exe"), t, prefixes);
    const std::string gh =
        "https://github.com/norwick/trevalon/releases/download/v2.0.0-rc_1/A.b_c-d.exe";
    expect_entries(
        t,
        {{"节点A/Node A",
          "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/A.b_c-d.exe"},
         {"节点B/Node B", gh},
         {"节点C/Node C", "https://p.test/" + gh},
         {"节点D/Node D",
          "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/A.b_c-d.exe"}});
}

TEST(BuildCandidates, AProxyEntryPastTheUrlBufferIsCutAt599Bytes) {
    // A 536-byte prefix pushes the proxy entry past 599 bytes; the GitHub
    // entry and the others are whole.
    const std::string long_prefix = "https://p.test/" + std::string(520, 'x') + "/";
    const char* prefixes[GITHUB_PROXY_COUNT] = {"", long_prefix.c_str(), ""};
    NodeTable t = empty_table();
    build_candidates(release("0.7.19", "Trevalon-setup-0.7.19.exe"), t, prefixes);
    const std::string whole = long_prefix + GH;
    ASSERT_GT(whole.size(), 599u);
    expect_entries(t, {{"节点A/Node A", MS},
                       {"节点B/Node B", GH},
                       {"节点C/Node C", whole.substr(0, 599)},
                       {"节点D/Node D", HF}});
}

TEST(AddCandidate, FormatsIntoTheNextSlotAndCutsAt599Bytes) {
    struct Case {
        size_t length;  // bytes the format produces
    };
    static const Case cases[] = {{0}, {1}, {598}, {599}, {600}, {601}, {2000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        NodeTable t = empty_table();
        const std::string text(c.length, 'u');
        add_candidate(t, NODE_LABELS[0], "%s", text.c_str());
        expect_entries(t, {{"节点A/Node A", text.substr(0, 599)}});
    }
}

TEST(AddCandidate, TakesPrintfArguments) {
    NodeTable t = empty_table();
    add_candidate(t, NODE_LABELS[0], "https://%s/%s-%d", "h.test", "f", 42);
    expect_entries(t, {{"节点A/Node A", "https://h.test/f-42"}});
}

TEST(AddCandidate, AFullTableIgnoresTheNinthInsertion) {
    NodeTable t = empty_table();
    std::vector<Entry> expected;
    for (int i = 0; i < MAX_NODES; ++i) {
        const std::string url = "https://n" + std::to_string(i) + ".test/f";
        add_candidate(t, NODE_LABELS[i], "%s", url.c_str());
        expected.push_back({NODE_LABELS[i], url});
    }
    const NodeTable before = t;
    add_candidate(t, NODE_LABELS[0], "%s", "https://ninth.test/f");
    EXPECT_EQ(t.count, MAX_NODES);
    EXPECT_EQ(std::memcmp(&before, &t, sizeof t), 0);
    expect_entries(t, expected);
    EXPECT_STREQ(t.nodes[7].label, "节点H/Node H");
}

TEST(AddCandidate, ResetsAnEntryLeftDirtyInTheSlot) {
    NodeTable t = empty_table();
    t.nodes[0].reachable = 1;
    t.nodes[0].latency_ms = 7;
    add_candidate(t, NODE_LABELS[0], "%s", "https://a.test/f");
    expect_entries(t, {{"节点A/Node A", "https://a.test/f"}});
}

TEST(BuildCandidates, OnAFullTableNothingChanges) {
    NodeTable t = empty_table();
    for (int i = 0; i < MAX_NODES; ++i)
        add_candidate(t, NODE_LABELS[i], "https://n%d.test/f", i);
    const NodeTable before = t;
    build_candidates(release("0.7.19", "Trevalon-setup-0.7.19.exe"), t);
    EXPECT_EQ(std::memcmp(&before, &t, sizeof t), 0);
}

TEST(BuildCandidates, LabelsFollowTheSlotWhenTheTableIsNotEmpty) {
    // Two entries already present: the six candidates take slots 2 to 7, and
    // their labels are those of the slots, C to H.
    NodeTable t = empty_table();
    add_candidate(t, NODE_LABELS[0], "%s", "https://x.test/0");
    add_candidate(t, NODE_LABELS[1], "%s", "https://x.test/1");
    build_candidates(release("0.7.19", "Trevalon-setup-0.7.19.exe"), t);
    const std::string gh = GH;
    expect_entries(t, {{"节点A/Node A", "https://x.test/0"},
                       {"节点B/Node B", "https://x.test/1"},
                       {"节点C/Node C", MS},
                       {"节点D/Node D", gh},
                       {"节点E/Node E", "https://ghfast.top/" + gh},
                       {"节点F/Node F", "https://gh-proxy.com/" + gh},
                       {"节点G/Node G", "https://ghproxy.net/" + gh},
                       {"节点H/Node H", HF}});
}

}  // namespace
