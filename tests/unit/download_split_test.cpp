// A download from several nodes at once, over the scripted streams on the
// fake clock: which nodes join and when, what a failing or lying node costs,
// and what a break leaves for the next run. Every case checks the file that
// came out against the release's bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "fake_net.hpp"
#include "fake_os.hpp"
#include "net/transport.hpp"
#include "test_support.hpp"
#include "verify/sha256.hpp"

namespace {

constexpr uint64_t MIB = 1048576;
constexpr uint64_t SIZE = 8 * MIB;

const fake_net::Bytes& release_bytes() {
    static const fake_net::Bytes bytes = fake_net::pattern(1, SIZE);
    return bytes;
}
const fake_net::Bytes& stale_bytes() {
    // Another file of the same size, alike in its first 4 KiB as a stale
    // build of the same installer would be.
    static const fake_net::Bytes bytes = [] {
        std::string text = *fake_net::pattern(2, SIZE);
        text.replace(0, 4096, release_bytes()->substr(0, 4096));
        return std::make_shared<const std::string>(std::move(text));
    }();
    return bytes;
}

const fake_net::Bytes& other_stale_bytes() {
    // A third file of the same size.
    static const fake_net::Bytes bytes = fake_net::pattern(3, SIZE);
    return bytes;
}
const fake_net::Bytes& last_byte_differs() {
    // The release but for its last byte, which no compare ever looks at: no
    // range starts past it.
    static const fake_net::Bytes bytes = [] {
        std::string text = *release_bytes();
        text.back() = static_cast<char>(text.back() ^ 1);
        return std::make_shared<const std::string>(std::move(text));
    }();
    return bytes;
}

const char* const HOSTS[] = {"a.test", "b.test", "c.test", "d.test"};
const char ADDED[] = "加入辅助节点 / Helper added: ";
const char DROPPED[] = "辅助节点已停用 / Helper dropped: ";
const char ASKED_AGAIN[] = " MB held, asking the node again";
const char WRONG[] =
    "节点内容与其他节点不同, 留作后备 / Node serves other bytes, kept in reserve: ";

// A node as the cases script it: its rate, and what goes wrong.
struct NodeScript {
    uint64_t rate = MIB;         // bytes per second
    bool stale = false;          // serves another file of the same size
    bool other_stale = false;    // a third file of that size
    bool last_byte = false;      // the release but for its last byte
    bool ranges_to_end = false;  // answers a range to the file's end, without a length
    bool ignores_ranges = false;
    uint32_t download_status = 0;
    uint64_t cut_after = fake_net::NEVER;
    bool gone_after_cut = false;
    uint64_t stall_after = fake_net::NEVER;
    const char* host = nullptr;  // another node's host, to share it
};

std::string url_of(int i, const NodeScript& n) {
    return std::string("https://") + (n.host != nullptr ? n.host : HOSTS[i]) + "/r" +
           std::to_string(i) + ".exe";
}

// How many body bytes each stream was sent, from the fake's log: the reads.
uint64_t bytes_sent() {
    uint64_t total = 0;
    for (const std::string& call : fake_net::calls()) {
        const size_t arrow = call.find(" -> ");
        if (call.rfind("read ", 0) == 0 && arrow != std::string::npos &&
            call.find("FAILED") == std::string::npos && call[arrow + 4] != '-')
            total += std::stoull(call.substr(arrow + 4));
    }
    return total;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class SplitDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
        fake_os::set_temp_dir(dir_.path());
        path_ = dir_.file("trevalon-setup.exe");
        part_ = dir_.file(PART_FILE_NAME);
        char record[PART_RANGES_PATH_SIZE];
        compose_part_ranges_path(path_.c_str(), record);
        record_ = record;
        release_.size = SIZE;
        std::snprintf(release_.sha256, sizeof release_.sha256, "%s",
                      sha256_hex_of(*release_bytes()).c_str());
    }

    void serve(const std::vector<NodeScript>& nodes) {
        table_ = NodeTable{};
        table_.count = static_cast<int32_t>(nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            const NodeScript& n = nodes[i];
            const fake_net::Bytes& bytes = n.stale         ? stale_bytes()
                                           : n.other_stale ? other_stale_bytes()
                                           : n.last_byte   ? last_byte_differs()
                                                           : release_bytes();
            fake_net::Response r = fake_net::mirror(bytes, n.rate);
            r.honours_ranges = !n.ignores_ranges;
            r.ranges_run_to_end = n.ranges_to_end;
            r.download_status = n.download_status;
            r.cut_after_bytes = n.cut_after;
            r.gone_after_cut = n.gone_after_cut;
            r.stall_after_bytes = n.stall_after;
            fake_net::serve(url_of(static_cast<int>(i), n), r);
            MirrorNode& node = table_.nodes[i];
            std::snprintf(node.url, sizeof node.url, "%s", url_of(static_cast<int>(i), n).c_str());
            node.label = NODE_LABELS[i];
            node.reachable = 1;
            node.latency_ms = static_cast<uint32_t>(10 * (i + 1));
        }
    }

    DownloadOutcome download(int32_t first = 0, bool leave_if_too_slow = false) {
        NetSession* session = open_session();
        apply_timeouts(session, DOWNLOAD_PROFILE);
        DownloadOutcome outcome = DownloadOutcome::cannot_write;
        out_ = transcript([&] {
            outcome = download_from_nodes(session, table_, first, release_, path_.c_str(),
                                          leave_if_too_slow, standing_, &record_of_part_);
        });
        close_handle(session);
        return outcome;
    }

    bool installed_is_release() const {
        return file_exists(path_) && read_file(path_) == *release_bytes();
    }

    TestDir dir_;
    std::string path_, part_, record_;
    ReleaseRecord release_{};
    NodeTable table_{};
    NodeStanding standing_[MAX_NODES] = {};
    PartRecord record_of_part_{};
    std::string out_;
};

TEST_F(SplitDownloadTest, OneNodeThatFinishesSoonIsAloneAndPrintsTheOneNodeTranscript) {
    // 8 MiB at 8 MiB/s: half a second in, the rest takes half a second more.
    serve({{8 * MIB}, {}, {}, {}});
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    EXPECT_EQ(fake_net::stream_calls_text().find("stream 1"), std::string::npos)
        << fake_net::stream_calls_text();
    EXPECT_EQ(bytes_sent(), SIZE);
    EXPECT_FALSE(file_exists(part_));
    EXPECT_FALSE(file_exists(record_));

    // The same node through the download from one node prints the same.
    const std::string split_out = out_;
    fake_net::reset();
    serve({{8 * MIB}, {}, {}, {}});
    NetSession* session = open_session();
    const std::string one_out = transcript([&] {
        EXPECT_EQ(download_from_node(session, table_.nodes[0], release_, path_.c_str(), false),
                  DownloadOutcome::complete);
    });
    close_handle(session);
    EXPECT_EQ(split_out, one_out);
}

TEST_F(SplitDownloadTest, ANodeAloneAskedAgainAfterABreakPrintsTheOneNodeTranscript) {
    // Its first answer breaks at 3 MiB; the next one, asked for the rest, ends well.
    const auto serve_breaking_once = [&] {
        serve({{8 * MIB}});
        fake_net::Response broken = fake_net::mirror(release_bytes(), 8 * MIB);
        broken.honours_ranges = true;
        broken.cut_after_bytes = 3 * MIB;
        fake_net::Response whole = fake_net::mirror(release_bytes(), 8 * MIB);
        whole.honours_ranges = true;
        fake_net::serve_in_turn(table_.nodes[0].url, {broken, whole});
    };
    serve_breaking_once();
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    EXPECT_EQ(
        count_of(out_,
                 "连接中断, 已有 3.0 MB, 重新请求该节点 / Connection broken with 3.0 MB held"),
        1)
        << out_;
    EXPECT_LE(bytes_sent(), SIZE);

    const std::string split_out = out_;
    SetUp();
    serve_breaking_once();
    NetSession* session = open_session();
    const std::string one_out = transcript([&] {
        EXPECT_EQ(download_from_node(session, table_.nodes[0], release_, path_.c_str(), false),
                  DownloadOutcome::complete);
    });
    close_handle(session);
    EXPECT_EQ(split_out, one_out);
}

struct JoinCase {
    const char* name;
    std::vector<NodeScript> nodes;
    std::vector<std::string> lines;  // event lines, in order
    // Body bytes sent per release byte, at most: each helper fetches 64 KiB
    // twice (its overlap and its spot check), 1.6 % of this release apiece.
    double most_sent;
    bool asked_again = false;  // a node is asked again after a break
};

TEST_F(SplitDownloadTest, HelpersJoinInRankOrderAndFailuresCostAHelperNeverTheFile) {
    NodeScript shared_host;
    shared_host.host = "b.test";
    NodeScript cut;
    cut.cut_after = MIB / 2 + 4096;
    NodeScript ignores;
    ignores.ignores_ranges = true;
    NodeScript busy;
    busy.download_status = 503;
    NodeScript stall;
    stall.stall_after = 300000;
    const JoinCase cases[] = {
        {"four limited nodes",
         {{}, {}, {}, {}},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点C/Node C",
          std::string(ADDED) + "节点D/Node D"},
         1.07},
        {"one connection per host: C shares B's host",
         {{}, {}, shared_host, {}},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点D/Node D"},
         1.07},
        // Asked again at once for the rest of its range, each time.
        {"a helper whose answers break mid-range",
         {{}, {}, {}, cut},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点C/Node C",
          std::string(ADDED) + "节点D/Node D"},
         1.07,
         true},
        {"a helper that answers a range with the whole file",
         {{}, ignores, {}, {}},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点C/Node C",
          std::string(ADDED) + "节点D/Node D", std::string(DROPPED) + "节点B/Node B"},
         1.07},
        {"a busy helper",
         {{}, {}, busy, {}},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点C/Node C",
          std::string(ADDED) + "节点D/Node D", std::string(DROPPED) + "节点C/Node C"},
         1.07},
        {"a helper that stalls",
         {{}, stall, {}, {}},
         {std::string(ADDED) + "节点B/Node B", std::string(ADDED) + "节点C/Node C",
          std::string(ADDED) + "节点D/Node D"},
         1.07},
    };
    for (const JoinCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::fill(std::begin(standing_), std::end(standing_), NodeStanding::usable);
        serve(c.nodes);
        ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
        EXPECT_TRUE(installed_is_release());
        EXPECT_FALSE(file_exists(part_));
        EXPECT_FALSE(file_exists(record_));
        std::vector<std::string> lines;
        size_t at = 0;
        while ((at = out_.find("\n   ", at)) != std::string::npos) {
            const size_t end = out_.find('\n', at + 1);
            const std::string line = out_.substr(at + 4, end - at - 4);
            if (line.find(": 节点") != std::string::npos) lines.push_back(line);
            at = end;
        }
        EXPECT_EQ(lines, c.lines) << out_;
        EXPECT_EQ(out_.find(ASKED_AGAIN) != std::string::npos, c.asked_again) << out_;
        EXPECT_LE(static_cast<double>(bytes_sent()), c.most_sent * SIZE) << out_;
        // The progress line names the first node and its helpers.
        EXPECT_NE(out_.find("[节点A/Node A +"), std::string::npos) << out_;
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

struct StaleCase {
    const char* name;
    std::vector<NodeScript> nodes;
    const char* wrong;  // the label the line names
    int32_t first;
    double most_sent;  // body bytes sent per release byte, at most
};

TEST_F(SplitDownloadTest, AStaleNodeIsFoundAtOnceAndItsBytesFetchedAgain) {
    NodeScript stale;
    stale.stale = true;
    const StaleCase cases[] = {
        // Found at once by the spot checks, each helper's node asked for bytes
        // the first node wrote, not where its range meets another's (which
        // would cost its whole share, a quarter again).
        {"the first node is stale", {stale, {}, {}, {}}, "节点A/Node A", 0, 1.15},
        {"a helper is stale", {{}, {}, {}, stale}, "节点D/Node D", 0, 1.15},
        {"the second helper is stale", {{}, {}, stale, {}}, "节点C/Node C", 0, 1.15},
    };
    for (const StaleCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::fill(std::begin(standing_), std::end(standing_), NodeStanding::usable);
        serve(c.nodes);
        ASSERT_EQ(download(c.first), DownloadOutcome::complete) << out_;
        EXPECT_TRUE(installed_is_release());
        EXPECT_EQ(count_of(out_, std::string(WRONG) + c.wrong), 1) << out_;
        // Found by the overlap, not by a failed digest.
        EXPECT_EQ(out_.find("Hash mismatch"), std::string::npos) << out_;
        EXPECT_LE(static_cast<double>(bytes_sent()), c.most_sent * SIZE) << out_;
    }
}

TEST_F(SplitDownloadTest, TwoNodesThatDisagreeAreSettledByTheDigestInEitherOrder) {
    // Nobody can say which of two nodes is right but the digest: the
    // best-ranked one's class writes the file, the other waits in reserve,
    // and completes the file when the first one's fails.
    NodeScript stale;
    stale.stale = true;
    struct Case {
        const char* name;
        std::vector<NodeScript> nodes;
        bool mismatch;  // the first file made fails its digest
        NodeStanding first, second;
    } const cases[] = {
        {"the right node first", {{}, stale}, false, NodeStanding::usable, NodeStanding::usable},
        {"the stale node first",
         {stale, {}},
         true,
         NodeStanding::class_failed,
         NodeStanding::usable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::fill(std::begin(standing_), std::end(standing_), NodeStanding::usable);
        serve(c.nodes);
        ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
        EXPECT_TRUE(installed_is_release());
        EXPECT_EQ(count_of(out_, "Hash mismatch"), c.mismatch ? 1 : 0) << out_;
        EXPECT_EQ(standing_[0], c.first);
        EXPECT_EQ(standing_[1], c.second);
        EXPECT_FALSE(record_of_part_.several_failed);
        EXPECT_FALSE(file_exists(record_));
    }
}

struct JudgeCase {
    const char* name;
    std::vector<NodeScript> nodes;
    DownloadOutcome outcome;
    std::vector<NodeStanding> standing;  // of each node, after
    int mismatches;                      // files that failed the digest; -1: any
    bool several_failed;
    double most_sent;      // body bytes sent per release byte, at most
    uint64_t most_ms = 0;  // on the fake clock, at most; 0: not judged
};

TEST_F(SplitDownloadTest, TheDigestIsTheOnlyJudge) {
    using S = NodeStanding;
    NodeScript stale;
    stale.stale = true;
    NodeScript other;
    other.other_stale = true;
    NodeScript last_byte;
    last_byte.last_byte = true;
    NodeScript slow;
    slow.rate = 256 * 1024;
    NodeScript fast_stale;
    fast_stale.stale = true;
    fast_stale.rate = 4 * MIB;
    NodeScript goes_down;
    goes_down.cut_after = 3 * MIB;
    goes_down.gone_after_cut = true;
    NodeScript ignores;
    ignores.ignores_ranges = true;
    NodeScript to_end;
    to_end.ranges_to_end = true;
    NodeScript fast;
    fast.rate = 8 * MIB;
    NodeScript trickle;
    trickle.rate = 512;
    const JudgeCase cases[] = {
        // The stale pair outnumbers the right node and writes first: their
        // file fails, and the right node, in reserve, completes it.
        {"the right node first, two helpers with one stale file",
         {{}, stale, stale},
         DownloadOutcome::complete,
         {S::usable, S::class_failed, S::class_failed},
         1,
         false,
         2.3},
        {"three files of one size: right, stale, other stale, right",
         {{}, stale, other, {}},
         DownloadOutcome::complete,
         {S::usable, S::usable, S::usable, S::usable},
         -1,
         false,
         2.3},
        // Every compare agreed: nothing tells the nodes apart, the part goes
        // and the run fetches the file whole, one node at a time.
        {"a helper whose file differs outside every compared window",
         {{}, last_byte},
         DownloadOutcome::failed,
         {S::usable, S::usable},
         1,
         true,
         1.1},
        {"a slow right node first, a fast stale helper",
         {slow, fast_stale},
         DownloadOutcome::complete,
         {S::usable, S::usable},
         0,
         false,
         1.2},
        // B is dropped as a helper; when A goes down, nobody is left here,
        // but B stays a whole source for the run.
        {"a helper's hiccup, then the first node goes down",
         {goes_down, ignores},
         DownloadOutcome::failed,
         {S::failed, S::dropped},
         0,
         false,
         1.1},
        {"checks answered to the file's end read only their window",
         {{}, to_end, to_end, to_end},
         DownloadOutcome::complete,
         {S::usable, S::usable, S::usable, S::usable},
         0,
         false,
         1.1},
        // The fast node takes the trickler's rest as soon as it would finish
        // it sooner, though its last piece was too short to measure.
        {"a trickling helper beside a fast node",
         {fast, trickle},
         DownloadOutcome::complete,
         {S::usable},
         0,
         false,
         1.1,
         4000},
    };
    for (const JudgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        std::remove(path_.c_str());
        std::fill(std::begin(standing_), std::end(standing_), NodeStanding::usable);
        serve(c.nodes);
        const uint64_t start = fake_os::moved_ms();
        ASSERT_EQ(download(), c.outcome) << out_;
        EXPECT_EQ(installed_is_release(), c.outcome == DownloadOutcome::complete);
        EXPECT_EQ(file_exists(path_), c.outcome == DownloadOutcome::complete);
        for (size_t i = 0; i < c.standing.size(); ++i)
            EXPECT_EQ(standing_[i], c.standing[i]) << "node " << i;
        if (c.mismatches >= 0) {
            EXPECT_EQ(count_of(out_, "Hash mismatch"), c.mismatches) << out_;
        }
        EXPECT_EQ(record_of_part_.several_failed, c.several_failed);
        EXPECT_LE(static_cast<double>(bytes_sent()), c.most_sent * SIZE) << out_;
        if (c.most_ms != 0) {
            EXPECT_LE(fake_os::moved_ms() - start, c.most_ms) << out_;
        }
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

TEST_F(SplitDownloadTest, AFailedSaveOfTheRecordIsTriedAgainNotAFailedDownload) {
    // The record's first save fails: the helpers wait for the next one.
    serve({{}, {}, {}, {}});
    fake_os::set_moves_failing(1);
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    EXPECT_NE(out_.find(ADDED), std::string::npos) << out_;
    EXPECT_FALSE(file_exists(record_));
}

TEST_F(SplitDownloadTest, AWholePartThatCannotBePlacedStaysForTheNextRun) {
    // Helpers join and the file is proven, but the installer path cannot be
    // replaced (an installer still running there, or a scanner holding a
    // file for longer than the move waits). The part stays whole with its
    // digest and without its record: the next run places it.
    serve({{}, {}, {}, {}});
    fake_os::set_move_fails_into(path_);
    ASSERT_EQ(download(), DownloadOutcome::cannot_replace) << out_;
    EXPECT_NE(out_.find(ADDED), std::string::npos) << out_;
    EXPECT_FALSE(file_exists(path_));
    ASSERT_TRUE(file_exists(part_));
    EXPECT_EQ(read_file(part_), *release_bytes());
    EXPECT_FALSE(file_exists(record_));
    EXPECT_EQ(adopt_earlier_part(path_.c_str(), release_), SIZE) << "taken for whole";
    fake_os::set_move_fails_into("");
    ASSERT_TRUE(place_earlier_whole_part(path_.c_str()));
    EXPECT_TRUE(installed_is_release());
}

TEST_F(SplitDownloadTest, ThePartIsSparseBeforeItsFirstByteLandsAtAnOffset) {
    serve({{}, {}, {}, {}});
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_NE(out_.find(ADDED), std::string::npos) << out_;
    ASSERT_FALSE(fake_os::sparse_marks().empty());
    EXPECT_EQ(fake_os::sparse_marks().front(), 0) << "marked while still empty";
}

TEST_F(SplitDownloadTest, ANodeDroppedAsAHelperIsNotLeftForTheRun) {
    // B serves another file and waits in reserve; C answers ranges with the
    // whole file and is dropped as a helper: a whole source for the run still.
    NodeScript stale;
    stale.stale = true;
    NodeScript ignores;
    ignores.ignores_ranges = true;
    serve({{}, stale, ignores, {}});
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    EXPECT_EQ(count_of(out_, std::string(DROPPED) + "节点C/Node C"), 1) << out_;
    EXPECT_EQ(count_of(out_, std::string(WRONG) + "节点B/Node B"), 1) << out_;
    EXPECT_EQ(count_of(out_, "Hash mismatch"), 0) << out_;
    EXPECT_EQ(standing_[0], NodeStanding::usable);
    EXPECT_EQ(standing_[2], NodeStanding::dropped);
    EXPECT_EQ(standing_[3], NodeStanding::usable);
}

TEST_F(SplitDownloadTest, ABreakKeepsEveryRangeAndTheNextRunFetchesOnlyTheHoles) {
    // Every node goes down after 1.5 MiB: the first run ends with holes.
    NodeScript cut;
    cut.cut_after = 3 * MIB / 2;
    cut.gone_after_cut = true;
    serve({cut, cut, cut, cut});
    EXPECT_EQ(download(), DownloadOutcome::failed) << out_;
    ASSERT_TRUE(file_exists(part_));
    ASSERT_TRUE(file_exists(record_));
    HeldRanges held;
    ASSERT_EQ(load_held_ranges(record_.c_str(), part_.c_str(), release_, &held),
              HeldRecordCheck::valid);
    EXPECT_GT(held.count, 1);  // not a front only
    const uint64_t first_run_sent = bytes_sent();
    const uint64_t first_run_held = held_bytes(held);
    EXPECT_GE(first_run_held + MIB, first_run_sent);  // at most a MiB not on record

    // The next run: every node works again.
    fake_net::reset();
    std::fill(std::begin(standing_), std::end(standing_), NodeStanding::usable);
    serve({{}, {}, {}, {}});
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    EXPECT_NE(out_.find("Resuming at"), std::string::npos) << out_;
    EXPECT_LE(static_cast<double>(first_run_sent + bytes_sent()), 1.1 * SIZE);
    EXPECT_FALSE(file_exists(record_));
}

TEST_F(SplitDownloadTest, AStragglersShareIsTakenByTheFastOnes) {
    // D gives 64 KiB/s: alone it would need two minutes for its quarter.
    NodeScript slow;
    slow.rate = 65536;
    serve({{}, {}, {}, slow});
    const uint64_t start = fake_os::moved_ms();
    ASSERT_EQ(download(), DownloadOutcome::complete) << out_;
    EXPECT_TRUE(installed_is_release());
    // Three nodes at 1 MiB/s fetch 8 MiB in under 3 s; a few more for the
    // start and the last ranges, never D's two minutes.
    EXPECT_LT(fake_os::moved_ms() - start, 6000u) << out_ << fake_net::stream_calls_text();
    EXPECT_LE(static_cast<double>(bytes_sent()), 1.1 * SIZE);
}

}  // namespace
