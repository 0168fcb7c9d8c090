// The download from several mirrors over the real libcurl streams and the
// real file calls, against the four mirrors of tests/curl/netns_run.py, each
// of which gives one connection 1 MiB/s: a release of 8 MiB would keep one
// mirror busy for eight seconds, so the download takes helpers at once. One
// round per network of the table: every mirror serves the release; one serves
// another file of the same size, ranked first or among the helpers; one cuts
// every answer off mid-body; one answers a range with the whole file. Each
// round must install the release byte for byte, leave nothing beside it, and
// drop the one mirror at fault while the others finish. Built by the tsan
// preset it lets ThreadSanitizer watch the stage take the streams' buffers,
// stop streams and start new ones while the others go on.
// TREVALON_SPLIT_PASSES runs the table more than once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "curl_test_support.hpp"
#include "download/download.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"
#include "test_support.hpp"
#include "verify/sha256.hpp"

namespace {

// netns_run.py's SPLIT: the release's size; its bytes are pattern()'s.
constexpr uint64_t SPLIT_SIZE = 8 * 1024 * 1024 + 13;
constexpr int MIRRORS = 4;

const char RELEASE[] = "/split/release.exe";
const char STALE[] = "/split/stale.exe";
const char CUT[] = "/split/cut.exe";
const char WHOLE[] = "/split/whole.exe";

const char ADDED[] = "加入辅助节点 / Helper added: ";
const char DROPPED[] = "辅助节点已停用 / Helper dropped: ";
const char AGAIN[] = " MB held, asking the node again";
const char WRONG[] =
    "节点内容与其他节点不同, 留作后备 / Node serves other bytes, kept in reserve: ";

const std::string& release_bytes() {
    static const std::string bytes = pattern(SPLIT_SIZE);
    return bytes;
}

// The transcript without its progress line: what was said, one line each.
std::string said(const std::string& out) {
    std::string lines;
    size_t from = 0;
    while (from < out.size()) {
        size_t end = out.find('\n', from);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(from, end - from);
        const size_t back = line.rfind('\r');
        if (back != std::string::npos) line.erase(0, back + 1);
        if (!line.empty() && line.rfind("   [", 0) != 0) lines += line + "\n";
        from = end + 1;
    }
    return lines;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// What each mirror serves, in rank order, and which one is at fault.
struct Network {
    const char* name;
    const char* routes[MIRRORS];
    int32_t faulty;          // the node to be dropped; -1 when none
    const char* fault_line;  // the line that names it when it goes
};

const Network NETWORKS[] = {
    {"four limited mirrors", {RELEASE, RELEASE, RELEASE, RELEASE}, -1, nullptr},
    {"a stale mirror ranked first", {STALE, RELEASE, RELEASE, RELEASE}, 0, WRONG},
    {"a stale mirror among the helpers", {RELEASE, RELEASE, STALE, RELEASE}, 2, WRONG},
    // Asked again at once for the rest, each time: it stays a helper.
    {"a mirror that cuts its answers mid-body", {RELEASE, CUT, RELEASE, RELEASE}, 1, AGAIN},
    {"a mirror that answers a range with a 200", {RELEASE, WHOLE, RELEASE, RELEASE}, 1, DROPPED},
};

class CurlSplitDownload : public testing::Test {
protected:
    void SetUp() override {
        release_.size = SPLIT_SIZE;
        std::snprintf(release_.file_name, sizeof release_.file_name, "trevalon-setup.exe");
        std::snprintf(release_.sha256, sizeof release_.sha256, "%s",
                      sha256_hex_of(release_bytes()).c_str());
        session_ = open_session();
        ASSERT_NE(session_, nullptr);
        apply_timeouts(session_, DOWNLOAD_PROFILE);
    }

    void TearDown() override { close_handle(session_); }

    // One download in a fresh folder; checks what it leaves there.
    void round(const Network& network) {
        NodeTable table{};
        table.count = MIRRORS;
        for (int32_t i = 0; i < MIRRORS; ++i) {
            MirrorNode& node = table.nodes[i];
            std::snprintf(node.url, sizeof node.url, "https://mirror%d.test%s", i + 1,
                          network.routes[i]);
            node.label = NODE_LABELS[i];
            node.reachable = 1;
            node.latency_ms = static_cast<uint32_t>(10 * (i + 1));
        }
        TestDir dir;
        const std::string path = dir.file(release_.file_name);
        char part[PART_PATH_SIZE], side[PART_DIGEST_PATH_SIZE], record[PART_RANGES_PATH_SIZE];
        compose_part_path(path.c_str(), part);
        compose_part_digest_path(path.c_str(), side);
        compose_part_ranges_path(path.c_str(), record);

        NodeStanding standing[MAX_NODES] = {};
        PartRecord part_record{};
        DownloadOutcome outcome = DownloadOutcome::failed;
        const uint64_t started = tick_ms();
        const std::string out = transcript([&] {
            outcome = download_from_nodes(session_, table, 0, release_, path.c_str(), false,
                                          standing, &part_record);
        });
        const uint64_t elapsed = tick_ms() - started;
        SCOPED_TRACE(said(out));

        ASSERT_EQ(outcome, DownloadOutcome::complete);
        EXPECT_TRUE(read_file(path) == release_bytes()) << "the installed file is not the release";
        EXPECT_FALSE(file_exists(part));
        EXPECT_FALSE(file_exists(side));
        EXPECT_FALSE(file_exists(record));
        EXPECT_TRUE(part_record.wrote);
        EXPECT_TRUE(part_record.appended) << "no helper wrote";
        EXPECT_FALSE(part_record.several_failed);
        // Helpers join in rank order while the rates are unmeasured, so all
        // three join together the moment the first mirror's rate is known (a
        // node back from reserve joins again).
        for (int32_t i = 1; i < MIRRORS; ++i)
            EXPECT_GE(count_of(out, std::string(ADDED) + NODE_LABELS[i]), 1) << NODE_LABELS[i];
        EXPECT_EQ(count_of(out, AGAIN) != 0, network.fault_line == AGAIN);
        for (int32_t i = 0; i < MIRRORS; ++i) {
            SCOPED_TRACE(NODE_LABELS[i]);
            const int expected = i == network.faulty ? 1 : 0;
            // A node that serves other bytes waits in reserve: the stale one,
            // and, while the compares are a tie, perhaps a good one for a moment.
            if (network.fault_line == WRONG && i == network.faulty) {
                EXPECT_EQ(count_of(out, std::string(WRONG) + NODE_LABELS[i]), 1);
            }
            if (network.fault_line != WRONG) {
                EXPECT_EQ(count_of(out, std::string(WRONG) + NODE_LABELS[i]), 0);
            }
            EXPECT_EQ(standing[i] == NodeStanding::dropped,
                      network.fault_line == DROPPED && i == network.faulty);
            EXPECT_EQ(count_of(out, std::string(DROPPED) + NODE_LABELS[i]),
                      network.fault_line == DROPPED ? expected : 0);
        }
        EXPECT_EQ(out.find("Hash mismatch"), std::string::npos)
            << "a wrong range was written before the digest";
        std::printf("[ figures  ] %s: %llu ms\n%s", network.name,
                    static_cast<unsigned long long>(elapsed), said(out).c_str());
    }

    ReleaseRecord release_{};
    NetSession* session_ = nullptr;
};

TEST_F(CurlSplitDownload, EveryNetworkInstallsTheReleaseAndDropsOnlyTheMirrorAtFault) {
    REQUIRE_TEST_NETWORK();
    const char* text = std::getenv("TREVALON_SPLIT_PASSES");
    const unsigned long passes = text != nullptr ? std::strtoul(text, nullptr, 10) : 1;
    for (unsigned long pass = 0; pass < passes; ++pass) {
        for (const Network& network : NETWORKS) {
            SCOPED_TRACE(std::string(network.name) + ", pass " + std::to_string(pass + 1));
            round(network);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
