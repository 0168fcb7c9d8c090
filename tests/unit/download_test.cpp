#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "download/download.hpp"
#include "fake_net.hpp"
#include "fake_os.hpp"
#include "net/transport.hpp"
#include "test_support.hpp"

namespace {

using fake_net::Response;
using fake_net::Step;

const char URL[] = "https://n.example/dl/trevalon-setup.exe";
const char HEADER[] = "\n[3/4] 通过最快可用节点下载 / Downloading via node: 节点B/Node B\n";
const char FAILED[] =
    "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...\n";
const char SENT[] =
    "connect n.example:443\n"
    "request GET /dl/trevalon-setup.exe flags=0x800000\n"
    "send https://n.example/dl/trevalon-setup.exe\n"
    "receive\n"
    "query 0x20000013\n"
    "query 0x20000013\n";
const char CLOSED[] = "close request\nclose connection\n";
const std::string BODY = std::string(50, 'M') + std::string(50, 'Z');  // 100 bytes
// The release's digest as the part's side file holds it; the downloads here
// are not verified, so it need not be BODY's.
const char RELEASE_DIGEST[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char OTHER_DIGEST[] = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

Response respond(uint32_t status, bool has_length, uint64_t length, std::vector<std::string> chunks,
                 Step fail_at = Step::none, int fail_on_call = 0) {
    Response r;
    r.status = status;
    r.has_content_length = has_length;
    r.content_length = length;
    r.chunks = std::move(chunks);
    r.fail_at = fail_at;
    r.fail_on_call = fail_on_call;
    return r;
}

// An attempt without the rule on slow nodes; true when it came out complete.
bool downloaded(NetSession* session, const MirrorNode& node, const ReleaseRecord& release,
                const std::string& path) {
    return download_from_node(session, node, release, path.c_str(), false) ==
           DownloadOutcome::complete;
}

std::string progress(const char* percent_and_sizes) {
    return std::string("\r   [节点B/Node B] ") + percent_and_sizes;
}

class DownloadTest : public testing::Test {
protected:
    void SetUp() override {
        fake_net::reset();
        fake_os::reset();
        fake_os::set_temp_dir(dir_.path());
        path_ = dir_.file("trevalon-setup.exe");
        part_ = dir_.file(PART_FILE_NAME);
        side_ = dir_.file(PART_DIGEST_FILE_NAME);
        release_.size = BODY.size();
        std::snprintf(release_.sha256, sizeof release_.sha256, "%s", RELEASE_DIGEST);
        node_.label = NODE_LABELS[1];
        std::snprintf(node_.url, sizeof node_.url, "%s", URL);
        node_.reachable = 1;
    }

    // The transport's calls after the session was opened.
    static std::string attempt_calls() {
        std::string text = fake_net::calls_text();
        size_t first_line = text.find('\n');
        EXPECT_EQ(text.substr(0, first_line), "open agent=setupvane/1.2 access=4");
        return text.substr(first_line + 1);
    }

    // One attempt of a run that may resume, at node_ unless another is given;
    // its transcript goes to *out when asked for.
    DownloadOutcome resumable_attempt(NetSession* session, PartRecord* record,
                                      std::string* out = nullptr,
                                      const MirrorNode* node = nullptr) {
        DownloadOutcome outcome = DownloadOutcome::cannot_write;
        const std::string text = transcript([&] {
            outcome = download_from_node(session, node != nullptr ? *node : node_, release_,
                                         path_.c_str(), false, record);
        });
        if (out != nullptr) *out = text;
        return outcome;
    }

    TestDir dir_;
    std::string path_;
    std::string part_;  // where the download is written before it is moved to path_
    std::string side_;  // the digest of the part's release
    ReleaseRecord release_{};
    MirrorNode node_{};
};

struct AttemptCase {
    const char* name;
    Response response;
    uint64_t release_size;
    std::string calls;   // the transport's calls after the session was opened
    std::string output;  // after the header
};

const std::string CONNECTED =
    "connect n.example:443\nrequest GET /dl/trevalon-setup.exe flags=0x800000\n";
const std::string LENGTH = std::string(SENT) + "query 0x5\n";
const std::string NO_LENGTH = std::string(SENT) + "query 0x5 FAILED\n";

// The line before a node whose answer broke is asked again for the rest.
std::string asking_again(const char* mb) {
    return std::string("\r   连接中断, 已有 ") + mb +
           " MB, 重新请求该节点 / Connection broken with " + mb +
           " MB held, asking the node again\n";
}

// The node asked again for "bytes=FROM-" answers with the 200 it gave before,
// which does not continue the part.
std::string refused_again(const std::string& from, const std::string& length_query) {
    return CONNECTED + "header Range: bytes=" + from + " flags=0x20000000\n" +
           std::string(SENT).substr(CONNECTED.size()) + length_query + CLOSED;
}

TEST_F(DownloadTest, EveryFailureDeletesTheFileAndClosesWhatWasOpened) {
    const AttemptCase cases[] = {
        {"no connection", respond(200, true, 100, {BODY}, Step::connect), 100,
         "connect n.example:443 FAILED\n", FAILED},
        {"no request", respond(200, true, 100, {BODY}, Step::open_request), 100,
         "connect n.example:443\nrequest GET /dl/trevalon-setup.exe flags=0x800000 FAILED\n"
         "close connection\n",
         FAILED},
        {"send fails", respond(200, true, 100, {BODY}, Step::send), 100,
         CONNECTED + "send https://n.example/dl/trevalon-setup.exe FAILED\n" + CLOSED, FAILED},
        {"receive fails", respond(200, true, 100, {BODY}, Step::receive), 100,
         CONNECTED + "send https://n.example/dl/trevalon-setup.exe\nreceive FAILED\n" + CLOSED,
         FAILED},
        {"status 404", respond(404, true, 100, {BODY}), 100, SENT + std::string(CLOSED), FAILED},
        {"status 301", respond(301, true, 100, {BODY}), 100, SENT + std::string(CLOSED), FAILED},
        {"status unreadable", respond(200, true, 100, {BODY}, Step::query_status), 100,
         CONNECTED +
             "send https://n.example/dl/trevalon-setup.exe\nreceive\nquery 0x20000013 "
             "FAILED\nquery 0x20000013 FAILED\n" +
             CLOSED,
         FAILED},
        {"Content-Length differs from the size", respond(200, true, 101, {BODY}), 100,
         LENGTH + CLOSED, FAILED},
        {"first query of available data fails",
         respond(200, true, 100, {BODY}, Step::data_available, 0), 100,
         LENGTH + "available - FAILED\n" + CLOSED, FAILED},
        {"later query of available data fails",
         respond(200, true, 100, {BODY}, Step::data_available, 1), 100,
         LENGTH + "available 100\nread 100 -> 100\navailable - FAILED\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + FAILED},
        {"first read fails", respond(200, true, 100, {BODY}, Step::read, 0), 100,
         LENGTH + "available 100\nread 100 -> - FAILED\n" + CLOSED, FAILED},
        {"later read fails",
         respond(200, true, 100, {BODY.substr(0, 30), BODY.substr(30)}, Step::read, 1), 100,
         LENGTH + "available 30\nread 30 -> 30\navailable 70\nread 70 -> - FAILED\n" + CLOSED +
             refused_again("30-", "query 0x5\n"),
         progress(" 30%  (0.0 / 0.0 MB)") + asking_again("0.0") + FAILED},
        {"short body", respond(200, true, 100, {BODY.substr(0, 60)}), 100,
         LENGTH + "available 60\nread 60 -> 60\navailable 0\n" + CLOSED +
             refused_again("60-", "query 0x5\n"),
         progress(" 60%  (0.0 / 0.0 MB)") + asking_again("0.0") + FAILED},
        {"short body without Content-Length: the release's size in the progress",
         respond(200, false, 0, {BODY.substr(0, 60)}), 100,
         NO_LENGTH + "available 60\nread 60 -> 60\navailable 0\n" + CLOSED +
             refused_again("60-", "query 0x5 FAILED\n"),
         progress(" 60%  (0.0 / 0.0 MB)") + asking_again("0.0") + FAILED},
        {"long body", respond(200, true, 100, {BODY, BODY.substr(0, 50)}), 100,
         LENGTH + "available 100\nread 100 -> 100\navailable 50\nread 50 -> 50\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + FAILED},
        {"long body without Content-Length", respond(200, false, 0, {BODY, BODY.substr(0, 50)}),
         100, NO_LENGTH + "available 100\nread 100 -> 100\navailable 50\nread 50 -> 50\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        release_.size = c.release_size;
        write_file(path_, "left by an earlier run");
        write_file(part_, "part left by an interrupted run");
        NetSession* session = open_session();

        bool ok = true;
        std::string out = transcript([&] { ok = downloaded(session, node_, release_, path_); });

        EXPECT_FALSE(ok);
        EXPECT_EQ(out, HEADER + c.output);
        EXPECT_EQ(attempt_calls(), c.calls);
        EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"delete " + part_});
        EXPECT_FALSE(file_exists(part_));
        // A failed attempt never touches the installer path: the file there
        // may be an installer that an earlier run started.
        EXPECT_EQ(read_file(path_), "left by an earlier run");
        EXPECT_EQ(fake_net::open_handles(), 1) << "only the session stays open";
        close_handle(session);
    }
}

TEST_F(DownloadTest, WithoutADownloadSessionNothingIsTriedAndTheFileGoes) {
    fake_net::serve(URL, fake_net::body(BODY));
    write_file(path_, "left by an earlier run");
    write_file(part_, "part left by an interrupted run");
    bool ok = true;
    std::string out = transcript([&] { ok = downloaded(nullptr, node_, release_, path_); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, HEADER + std::string(FAILED));
    EXPECT_EQ(fake_net::calls_text(), "");
    EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"delete " + part_});
    EXPECT_FALSE(file_exists(part_));
    EXPECT_EQ(read_file(path_), "left by an earlier run");
}

// No node could help with a part file that cannot be created, so the attempt
// says so to the run instead of blaming the node: no failure line.
TEST_F(DownloadTest, AnUnwritableFolderIsReportedBeforeTheTransfer) {
    fake_net::serve(URL, fake_net::body(BODY));
    const std::string unwritable = dir_.file("no-such-folder/trevalon-setup.exe");
    NetSession* session = open_session();
    DownloadOutcome outcome = DownloadOutcome::complete;
    std::string out = transcript(
        [&] { outcome = download_from_node(session, node_, release_, unwritable.c_str(), true); });
    EXPECT_EQ(outcome, DownloadOutcome::cannot_write);
    EXPECT_EQ(out, HEADER);
    EXPECT_EQ(attempt_calls(), LENGTH + CLOSED);
    EXPECT_EQ(fake_os::calls(),
              std::vector<std::string>{"delete " + dir_.file("no-such-folder/") + PART_FILE_NAME});
    EXPECT_EQ(fake_net::open_handles(), 1);
    close_handle(session);
}

TEST_F(DownloadTest, AFullDiskIsReportedAsALocalFailure) {
    // A full device accepts the open and refuses the bytes; the link is what
    // gets deleted. A whole chunk is refused by fwrite itself; a small body
    // stays in the stream's buffer until fclose, which then fails, and the
    // short file must not pass as complete either. The next node would fill
    // the same disk, so the node is not blamed: the run names the cause.
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    struct FullDiskCase {
        const char* name;
        std::string body;
        std::string calls;
        std::string output;  // after the header
    };
    const FullDiskCase cases[] = {
        {"refused by the write", std::string(TRANSFER_BUFFER_SIZE, 'x'),
         LENGTH + "available 65536\nread 65536 -> 65536\n" + CLOSED, ""},
        {"refused only when the file is closed", BODY,
         LENGTH + "available 100\nread 100 -> 100\navailable 0\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        ASSERT_EQ(symlink("/dev/full", part_.c_str()), 0);
        release_.size = c.body.size();
        fake_net::serve(URL, fake_net::body(c.body));
        NetSession* session = open_session();
        DownloadOutcome outcome = DownloadOutcome::complete;
        std::string out = transcript(
            [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), true); });
        EXPECT_EQ(outcome, DownloadOutcome::cannot_write);
        EXPECT_EQ(out, HEADER + c.output);
        EXPECT_EQ(attempt_calls(), c.calls);
        EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"delete " + part_});
        EXPECT_FALSE(file_exists(part_));
        EXPECT_FALSE(file_exists(path_));
        EXPECT_TRUE(file_exists("/dev/full"));
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

struct SuccessCase {
    const char* name;
    Response response;
    uint64_t release_size;
    std::string calls;
    std::string output;  // after the header
};

TEST_F(DownloadTest, ACompleteBodyStandsAtThePath) {
    const std::string big = std::string(150000, 'b');
    const SuccessCase cases[] = {
        {"200 with Content-Length", fake_net::body(BODY), 100,
         LENGTH + "available 100\nread 100 -> 100\navailable 0\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + "\n"},
        {"206 is accepted like 200", respond(206, true, 100, {BODY}), 100,
         LENGTH + "available 100\nread 100 -> 100\navailable 0\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + "\n"},
        {"no Content-Length: the progress counts the release's size",
         respond(200, false, 0, {BODY.substr(0, 50), BODY.substr(50)}), 100,
         NO_LENGTH + "available 50\nread 50 -> 50\navailable 50\nread 50 -> 50\navailable 0\n" +
             CLOSED,
         progress(" 50%  (0.0 / 0.0 MB)") + progress("100%  (0.0 / 0.0 MB)") + "\n"},
        {"Content-Length 0 counts as absent", respond(200, true, 0, {BODY}), 100,
         LENGTH + "available 100\nread 100 -> 100\navailable 0\n" + CLOSED,
         progress("100%  (0.0 / 0.0 MB)") + "\n"},
        {"no size and no Content-Length: no progress line", fake_net::body(BODY, false), 0,
         NO_LENGTH + "available 100\nread 100 -> 100\navailable 0\n" + CLOSED, "\n"},
        {"a percentage prints once, when it changes",
         respond(200, true, 200, {"a", "b", "c", std::string(197, 'd')}), 200,
         LENGTH +
             "available 1\nread 1 -> 1\navailable 1\nread 1 -> 1\navailable 1\nread 1 -> 1\n"
             "available 197\nread 197 -> 197\navailable 0\n" +
             CLOSED,
         progress("  0%  (0.0 / 0.0 MB)") + progress("  1%  (0.0 / 0.0 MB)") +
             progress("100%  (0.0 / 0.0 MB)") + "\n"},
        {"more than 64 KiB available is read in 64 KiB chunks", respond(200, true, 150000, {big}),
         150000,
         LENGTH +
             "available 150000\nread 65536 -> 65536\navailable 84464\nread 65536 -> 65536\n"
             "available 18928\nread 18928 -> 18928\navailable 0\n" +
             CLOSED,
         progress(" 43%  (0.1 / 0.1 MB)") + progress(" 87%  (0.1 / 0.1 MB)") +
             progress("100%  (0.1 / 0.1 MB)") + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        release_.size = c.release_size;
        // A stale part longer than any body: the part starts afresh. The
        // installer path's old file is replaced whole.
        write_file(part_, std::string(300000, 'z'));
        write_file(path_, "an earlier release");
        NetSession* session = open_session();

        bool ok = false;
        std::string out = transcript([&] { ok = downloaded(session, node_, release_, path_); });

        EXPECT_TRUE(ok);
        EXPECT_EQ(out, HEADER + c.output);
        EXPECT_EQ(attempt_calls(), c.calls);
        EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"move " + part_ + " " + path_});
        EXPECT_FALSE(file_exists(part_));
        std::string body;
        for (const auto& chunk : c.response.chunks)
            body += chunk;
        EXPECT_EQ(read_file(path_), body);
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

// The file a failed attempt wrote, kept for inspection: the installer path is
// a link to it, and the attempt's delete takes only the link.
std::string keep_written_file(const TestDir& dir, const std::string& path) {
    const std::string kept = dir.file("kept-by-the-test");
    write_file(kept, "");
    EXPECT_EQ(symlink(kept.c_str(), path.c_str()), 0);
    return kept;
}

uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
}

Response with_filler(Response r, uint64_t filler_bytes) {
    r.filler_bytes = filler_bytes;
    return r;
}

TEST_F(DownloadTest, ABodyLongerThanTheReleaseStopsBeforeItsSizeIsPassed) {
    // Such a body can never verify, and without an end it would fill the disk:
    // the attempt fails at the first read that would pass the size, before
    // that read reaches the file, closing and deleting as the end check does.
    struct LongBodyCase {
        const char* name;
        Response response;
        uint64_t release_size;
        std::string calls;  // after the request was answered
        std::string output;
        uint64_t written;  // what the file held when it was deleted
    };
    const std::string cut = "\n" + std::string(CLOSED);
    const LongBodyCase cases[] = {
        {"endless, without Content-Length",
         with_filler(respond(200, false, 0, {}), fake_net::FILLER_ENDLESS), 150000,
         NO_LENGTH +
             "available 1048576\nread 65536 -> 65536\navailable 1048576\nread 65536 -> 65536\n"
             "available 1048576\nread 65536 -> 65536" +
             cut,
         progress(" 43%  (0.1 / 0.1 MB)") + progress(" 87%  (0.1 / 0.1 MB)") + FAILED, 131072},
        {"endless after as many bytes as announced",
         with_filler(respond(200, true, 150000, {std::string(150000, 'b')}),
                     fake_net::FILLER_ENDLESS),
         150000,
         LENGTH +
             "available 150000\nread 65536 -> 65536\navailable 84464\nread 65536 -> 65536\n"
             "available 18928\nread 18928 -> 18928\navailable 1048576\nread 65536 -> 65536" +
             cut,
         progress(" 43%  (0.1 / 0.1 MB)") + progress(" 87%  (0.1 / 0.1 MB)") +
             progress("100%  (0.1 / 0.1 MB)") + FAILED,
         150000},
        {"one byte more than the size", respond(200, false, 0, {BODY, "x"}), 100,
         NO_LENGTH + "available 100\nread 100 -> 100\navailable 1\nread 1 -> 1" + cut,
         progress("100%  (0.0 / 0.0 MB)") + FAILED, 100},
        {"no size to stop at: the end check fails it", respond(200, true, 100, {BODY, "xx"}), 0,
         LENGTH + "available 100\nread 100 -> 100\navailable 2\nread 2 -> 2\navailable 0" + cut,
         progress("100%  (0.0 / 0.0 MB)") + progress("102%  (0.0 / 0.0 MB)") + FAILED, 102},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        release_.size = c.release_size;
        const std::string kept = keep_written_file(dir_, part_);
        NetSession* session = open_session();

        bool ok = true;
        std::string out = transcript([&] { ok = downloaded(session, node_, release_, path_); });

        EXPECT_FALSE(ok);
        EXPECT_EQ(out, HEADER + c.output);
        EXPECT_EQ(attempt_calls(), c.calls);
        EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"delete " + part_});
        EXPECT_FALSE(file_exists(part_));
        EXPECT_FALSE(file_exists(path_));
        EXPECT_EQ(file_size(kept), c.written);
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
        std::remove(kept.c_str());
    }
}

TEST_F(DownloadTest, SizesAbove4GiBAreCountedIn64Bits) {
    // Bodies of about 4 GiB, generated by the fake and written to /dev/null
    // through a link, so that nothing of that size is held or stored.
    constexpr uint64_t ABOVE_4_GIB = (uint64_t{1} << 32) + 3;
    constexpr uint64_t LARGEST_LENGTH = UINT32_MAX;
    struct LargeCase {
        const char* name;
        Response response;
        uint64_t release_size;
        bool ok;
        std::string first_calls;
    };
    const LargeCase cases[] = {
        {"a Content-Length above 4 GiB is reported, with its progress",
         with_filler(respond(200, true, ABOVE_4_GIB, {}), ABOVE_4_GIB), ABOVE_4_GIB, true, LENGTH},
        {"one byte short of a size above 4 GiB",
         with_filler(respond(200, false, 0, {}), ABOVE_4_GIB - 1), ABOVE_4_GIB, false, NO_LENGTH},
        {"the largest Content-Length, with its progress",
         with_filler(respond(200, true, LARGEST_LENGTH, {}), LARGEST_LENGTH), LARGEST_LENGTH, true,
         LENGTH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        ASSERT_EQ(symlink("/dev/null", part_.c_str()), 0);
        fake_net::serve(URL, c.response);
        release_.size = c.release_size;
        NetSession* session = open_session();

        bool ok = !c.ok;
        std::string out = transcript([&] { ok = downloaded(session, node_, release_, path_); });

        EXPECT_EQ(ok, c.ok);
        const std::string calls = attempt_calls();
        EXPECT_EQ(calls.substr(0, c.first_calls.size()), c.first_calls);
        // The body one byte short: its node is asked for the last byte, and
        // answers with the whole body again.
        const std::string end =
            "available 0\n" + std::string(CLOSED) +
            (c.ok ? ""
                  : refused_again(std::to_string(ABOVE_4_GIB - 1) + "-", "query 0x5 FAILED\n"));
        ASSERT_GE(calls.size(), end.size());
        EXPECT_EQ(calls.substr(calls.size() - end.size()), end) << "the whole body was read";
        {
            // The release's size is known, so the progress shows with or
            // without a Content-Length: every percentage from 0 on once, in
            // order (total × 100 passes 2^32 after 42,949,673 bytes and must
            // not wrap), to 99 for the body one byte short.
            std::string expected = HEADER;
            for (int percent = 0; percent <= (c.ok ? 100 : 99); ++percent) {
                SCOPED_TRACE(percent);
                char sizes[64];
                std::snprintf(sizes, sizeof sizes, "%3d%%  (", percent);
                expected += progress(sizes);
                size_t at = out.find(progress(sizes), 0);
                ASSERT_NE(at, std::string::npos);
                expected += out.substr(at + progress(sizes).size(),
                                       out.find(')', at) + 1 - at - progress(sizes).size());
            }
            EXPECT_EQ(out, expected + (c.ok ? "\n" : asking_again("4096.0") + FAILED));
            if (c.ok) {
                EXPECT_NE(out.find(progress("100%  (4096.0 / 4096.0 MB)") + "\n"),
                          std::string::npos);
            }
        }
        const std::vector<std::string> deleted = {"delete " + part_};
        const std::vector<std::string> moved = {"move " + part_ + " " + path_};
        EXPECT_EQ(fake_os::calls(), c.ok ? moved : deleted);
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
        std::remove(path_.c_str());
        std::remove(part_.c_str());
    }
}

TEST_F(DownloadTest, ProgressLineShowsMegabytesOf2To20Bytes) {
    // 20140875 bytes announced, the first 16384 arrive, then the body ends.
    release_.size = 20140875;
    fake_net::serve(URL, respond(200, true, 20140875, {std::string(16384, 'p')}));
    NetSession* session = open_session();
    std::string out = transcript([&] { downloaded(session, node_, release_, path_); });
    EXPECT_EQ(out, HEADER + progress("  0%  (0.0 / 19.2 MB)") + asking_again("0.0") + FAILED);
    close_handle(session);
}

TEST_F(DownloadTest, TheNextNodeWritesTheSamePathFromTheStart) {
    MirrorNode second = node_;
    second.label = NODE_LABELS[2];
    std::snprintf(second.url, sizeof second.url, "https://m.example/trevalon-setup.exe");
    fake_net::serve(URL, respond(200, true, 100, {BODY, "extra bytes"}));
    fake_net::serve(second.url, fake_net::body(BODY));
    NetSession* session = open_session();

    bool first = true, then = false;
    std::string out = transcript([&] {
        first = downloaded(session, node_, release_, path_);
        then = downloaded(session, second, release_, path_);
    });

    EXPECT_FALSE(first);
    EXPECT_TRUE(then);
    EXPECT_EQ(out, HEADER + progress("100%  (0.0 / 0.0 MB)") + FAILED +
                       "\n[3/4] 通过最快可用节点下载 / Downloading via node: 节点C/Node C\n"
                       "\r   [节点C/Node C] 100%  (0.0 / 0.0 MB)\n");
    EXPECT_EQ(read_file(path_), BODY);
    EXPECT_EQ(fake_os::calls(),
              (std::vector<std::string>{"delete " + part_, "move " + part_ + " " + path_}));
    EXPECT_EQ(fake_net::open_handles(), 1);
    close_handle(session);
}

const char SLOW[] = "\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...\n";

// count chunks of `size` bytes, no Content-Length, each read taking ms on the
// fake clock. The rate is judged after each read from the first one on, so
// the whole body at that rate takes (count - 1) × ms.
Response paced(int count, size_t size, uint64_t ms) {
    Response r = respond(200, false, 0, std::vector<std::string>(count, std::string(size, 's')));
    r.ms_per_read = ms;
    return r;
}

int reads_made() {
    int reads = 0;
    for (const auto& call : fake_net::calls())
        reads += call.rfind("read ", 0) == 0;
    return reads;
}

// The file operations of the attempt, without the clock's ticks.
std::vector<std::string> file_calls() {
    std::vector<std::string> calls;
    for (const auto& call : fake_os::calls())
        if (call.rfind("tick ", 0) != 0) calls.push_back(call);
    return calls;
}

int ticks_taken() {
    return static_cast<int>(fake_os::calls().size() - file_calls().size());
}

// The transcript without its progress lines, for tests about other lines.
std::string without_progress(std::string out) {
    const std::string start = progress("");
    for (size_t at = out.find(start); at != std::string::npos; at = out.find(start, at))
        out.erase(at, out.find(')', at) + 1 - at);
    return out;
}

TEST_F(DownloadTest, ANodeFarTooSlowIsLeftWhenTheRunAllowsIt) {
    struct SlowCase {
        const char* name;
        Response response;
        uint64_t release_size;  // 0: take the body's size
        bool allowed;
        DownloadOutcome outcome;
        int reads;  // read calls made
    };
    const SlowCase cases[] = {
        // 100 more reads at 2 s: 200 s for the body. Judged first at the
        // fourth read, the first one 5 s or more after the first byte.
        {"far too slow, left after the grace", paced(101, 1, 2000), 0, true,
         DownloadOutcome::too_slow, 4},
        // At the second read 120 bytes remain at 10 bytes in 5 s: 60 s.
        {"60 s still needed at the recent rate: not beyond the limit", paced(14, 10, 5000), 0, true,
         DownloadOutcome::complete, 14},
        {"12 more reads at 5.001 s: beyond it, left at the second read", paced(14, 10, 5001), 0,
         true, DownloadOutcome::too_slow, 2},
        {"as slow, but the run keeps this node", paced(101, 1, 2000), 0, false,
         DownloadOutcome::complete, 101},
        {"a fast node", paced(100, 1000, 10), 0, true, DownloadOutcome::complete, 100},
        {"no size known: never judged", paced(101, 1, 2000), UINT64_MAX, true,
         DownloadOutcome::complete, 101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        uint64_t body_size = 0;
        for (const auto& chunk : c.response.chunks)
            body_size += chunk.size();
        release_.size = c.release_size == UINT64_MAX ? 0 : body_size;
        write_file(path_, "left by an earlier run");
        NetSession* session = open_session();

        DownloadOutcome outcome = DownloadOutcome::failed;
        std::string out = transcript([&] {
            outcome = download_from_node(session, node_, release_, path_.c_str(), c.allowed);
        });

        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(reads_made(), c.reads);
        EXPECT_FALSE(file_exists(part_));
        if (c.outcome == DownloadOutcome::too_slow) {
            EXPECT_EQ(without_progress(out), HEADER + std::string(SLOW));
            EXPECT_EQ(file_calls(), std::vector<std::string>{"delete " + part_});
            EXPECT_EQ(read_file(path_), "left by an earlier run");
        } else {
            EXPECT_EQ(without_progress(out), HEADER + std::string("\n"));
            EXPECT_EQ(file_calls(), std::vector<std::string>{"move " + part_ + " " + path_});
            EXPECT_EQ(read_file(path_).size(), body_size);
        }
        if (!c.allowed) {
            EXPECT_EQ(ticks_taken(), 0) << "the rate is not measured";
        }
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

TEST_F(DownloadTest, TheRateIsMeasuredFromTheFirstBodyByte) {
    // A slow start before the body (connection, headers) does not count: the
    // clock stands at 50 s when the first read returns, after which the node
    // sends fast. Ticks are taken once per read that gives data.
    fake_net::serve(URL, paced(10, 10, 100));
    release_.size = 100;
    fake_os::advance_ticks(50000);
    NetSession* session = open_session();
    DownloadOutcome outcome = DownloadOutcome::failed;
    transcript(
        [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), true); });
    EXPECT_EQ(outcome, DownloadOutcome::complete);
    // The last read fills the size: from then on there is nothing to judge.
    EXPECT_EQ(ticks_taken(), 9);
    close_handle(session);
}

TEST(SlowRule, ProjectsTheWholeBodyAtTheRateSoFar) {
    struct ProjectionCase {
        uint64_t elapsed_ms, received, whole;
        bool too_slow;
    };
    const ProjectionCase cases[] = {
        {6000, 100, 1000, false},            // 60 s: at the limit
        {6000, 99, 1000, true},              // just past it
        {5000, 1, uint64_t{1} << 62, true},  // no overflow for huge sizes
        {5000, (uint64_t{1} << 62) / 12 + 1, uint64_t{1} << 62, false},
        {5000, 0, 1000, true},  // nothing since the first read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.elapsed_ms) + " ms, " + std::to_string(c.received) + " of " +
                     std::to_string(c.whole));
        EXPECT_EQ(projects_too_slow(c.elapsed_ms, c.received, c.whole), c.too_slow);
    }
}

// The installer path held by a running installer, or read-only: the finished
// part cannot be moved there. No node is blamed, the file at the installer
// path stays as it was, and the whole part stays with its release's digest,
// for the next run to place and check.
TEST_F(DownloadTest, AnInstallerPathThatCannotBeReplacedIsReported) {
    fake_net::serve(URL, fake_net::body(BODY));
    write_file(path_, "an installer still running");
    fake_os::set_move_fails(true);
    NetSession* session = open_session();
    DownloadOutcome outcome = DownloadOutcome::complete;
    std::string out = transcript(
        [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), true); });
    EXPECT_EQ(outcome, DownloadOutcome::cannot_replace);
    EXPECT_EQ(out, HEADER + progress("100%  (0.0 / 0.0 MB)"));
    EXPECT_EQ(file_calls(), (std::vector<std::string>{"move " + part_ + " " + path_}));
    EXPECT_EQ(read_file(part_), BODY);
    EXPECT_TRUE(part_is_of_release(path_.c_str(), release_));
    EXPECT_EQ(read_file(path_), "an installer still running");
    EXPECT_EQ(fake_net::open_handles(), 1);
    close_handle(session);
}

// ---- Continuing a part: the attempts of a run that may resume.

const char RANGE_60[] = "header Range: bytes=60- flags=0x20000000\n";
const char RESUMING_0[] = "   从 0.0 MB 处继续下载 / Resuming at 0.0 MB\n";

bool has_call(const std::string& call) {
    for (const auto& c : fake_net::calls())
        if (c == call) return true;
    return false;
}

Response ranged(uint32_t status, uint64_t length, const std::string& range,
                std::vector<std::string> chunks) {
    Response r = respond(status, length != 0, length, std::move(chunks));
    r.content_range = range;
    return r;
}

// What a refused answer leaves: the part's 60 bytes and their digest.
const std::string REFUSED = FAILED;
const std::string RESUMED = RESUMING_0;

TEST_F(DownloadTest, APartIsContinuedOnlyWhereTheAnswerProvesItFits) {
    // 60 of the 100 bytes stand; the node is asked for the rest. The resume
    // line comes only once a 206 is accepted.
    struct ResumeCase {
        const char* name;
        Response response;
        DownloadOutcome outcome;
        std::string output;  // after the header
        bool part_left;      // with its 60 bytes
        PartRecord record;
    };
    const ResumeCase cases[] = {
        {"a 206 from byte 60 of 100 is appended",
         ranged(206, 40, "bytes 60-99/100", {BODY.substr(60)}),
         DownloadOutcome::complete,
         RESUMED + progress("100%  (0.0 / 0.0 MB)") + "\n",
         false,
         {true, true}},
        {"a 206 without Content-Length, with its progress",
         ranged(206, 0, "bytes 60-99/100", {BODY.substr(60)}),
         DownloadOutcome::complete,
         RESUMED + progress("100%  (0.0 / 0.0 MB)") + "\n",
         false,
         {true, true}},
        {"a 200 ignores the range: no resume line, the part emptied, the body taken whole",
         respond(200, true, 100, {BODY.substr(0, 50), BODY.substr(50)}),
         DownloadOutcome::complete,
         progress(" 50%  (0.0 / 0.0 MB)") + progress("100%  (0.0 / 0.0 MB)") + "\n",
         false,
         {true, false}},
        {"a 200 that breaks: the part holds its bytes from 0",
         respond(200, true, 100, {BODY.substr(0, 30), BODY.substr(30)}, Step::read, 1),
         DownloadOutcome::failed,
         progress(" 30%  (0.0 / 0.0 MB)") + asking_again("0.0") + FAILED,
         false,
         {true, false}},
        {"a 206 at another start, of the right length",
         ranged(206, 40, "bytes 50-89/100", {BODY.substr(50, 40)}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 206 at another start and length",
         ranged(206, 50, "bytes 50-99/100", {BODY.substr(50)}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 206 with another total",
         ranged(206, 40, "bytes 60-99/101", {BODY.substr(60)}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 206 without Content-Range",
         ranged(206, 40, "", {BODY.substr(60)}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 206 whose length contradicts its range",
         ranged(206, 41, "bytes 60-99/100", {BODY.substr(60)}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 200 whose length is not the release's",
         respond(200, true, 101, {BODY + "!"}),
         DownloadOutcome::failed,
         REFUSED,
         true,
         {false, false}},
        {"a 416", ranged(416, 0, "", {}), DownloadOutcome::failed, REFUSED, true, {false, false}},
        {"a 503", ranged(503, 0, "", {}), DownloadOutcome::failed, REFUSED, true, {false, false}},
        {"a 429", ranged(429, 0, "", {}), DownloadOutcome::failed, REFUSED, true, {false, false}},
        {"the connection fails",
         respond(200, true, 100, {BODY}, Step::connect),
         DownloadOutcome::failed,
         FAILED,
         true,
         {false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        std::remove(path_.c_str());
        write_file(part_, BODY.substr(0, 60));
        write_file(side_, RELEASE_DIGEST);
        NetSession* session = open_session();

        DownloadOutcome outcome = DownloadOutcome::cannot_write;
        PartRecord record{true, true};
        std::string out = transcript([&] {
            outcome = download_from_node(session, node_, release_, path_.c_str(), false, &record);
        });

        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(out, HEADER + c.output);
        if (c.response.fail_at != Step::connect) {
            EXPECT_TRUE(has_call(std::string(RANGE_60).substr(0, sizeof RANGE_60 - 2)));
        }
        EXPECT_EQ(record.wrote, c.record.wrote);
        EXPECT_EQ(record.appended, c.record.appended);
        if (c.outcome == DownloadOutcome::complete) {
            EXPECT_EQ(read_file(path_), BODY);
            EXPECT_FALSE(file_exists(side_)) << "the digest goes with the part";
        } else {
            EXPECT_FALSE(file_exists(path_));
            EXPECT_EQ(read_file(side_), RELEASE_DIGEST);
        }
        EXPECT_EQ(file_exists(part_), c.outcome != DownloadOutcome::complete);
        if (c.part_left) {
            EXPECT_EQ(read_file(part_), BODY.substr(0, 60));
        }
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

TEST_F(DownloadTest, ARefusedAnswerKeepsThePartForTheNextNode) {
    // A busy or confused mirror says nothing about the 60 bytes that stand.
    struct RefusalCase {
        const char* name;
        Response response;
    };
    const RefusalCase cases[] = {
        {"503", ranged(503, 0, "", {})},
        {"429", ranged(429, 0, "", {})},
        {"416", ranged(416, 0, "", {})},
        {"a 206 at the wrong start", ranged(206, 40, "bytes 50-89/100", {BODY.substr(50, 40)})},
        {"a 206 with the wrong total", ranged(206, 40, "bytes 60-99/200", {BODY.substr(60)})},
        {"a 200 with the wrong length", respond(200, true, 99, {BODY.substr(0, 99)})},
    };
    MirrorNode next = node_;
    next.label = NODE_LABELS[2];
    std::snprintf(next.url, sizeof next.url, "https://m.example/trevalon-setup.exe");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        Response whole = fake_net::body(BODY);
        whole.honours_ranges = true;
        fake_net::serve(next.url, whole);
        std::remove(path_.c_str());
        write_file(part_, BODY.substr(0, 60));
        write_file(side_, RELEASE_DIGEST);
        NetSession* session = open_session();

        PartRecord record{};
        const DownloadOutcome refused = resumable_attempt(session, &record);
        const DownloadOutcome then = resumable_attempt(session, &record, nullptr, &next);

        EXPECT_EQ(refused, DownloadOutcome::failed);
        EXPECT_EQ(then, DownloadOutcome::complete);
        int ranges = 0;
        for (const auto& call : fake_net::calls())
            ranges += call == "header Range: bytes=60- flags=0x20000000";
        EXPECT_EQ(ranges, 2) << "both nodes are asked for the rest";
        EXPECT_TRUE(record.appended);
        EXPECT_EQ(read_file(path_), BODY);
        EXPECT_FALSE(file_exists(part_));
        close_handle(session);
    }
}

TEST_F(DownloadTest, APartIsContinuedOnlyWhenItsDigestNamesTheReleaseAndIsShorter) {
    // Each part is taken whole from byte 0, without a range or a resume line.
    struct UnprovenCase {
        const char* name;
        std::string part;
        std::string side;  // "-" for none
    };
    const UnprovenCase cases[] = {
        {"another release's part", BODY.substr(0, 60), OTHER_DIGEST},
        {"a part without its digest (its delete failed)", BODY.substr(0, 60), "-"},
        {"a part of the whole size", BODY, RELEASE_DIGEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        Response r = fake_net::body(BODY);
        r.honours_ranges = true;
        fake_net::serve(URL, r);
        std::remove(path_.c_str());
        std::remove(side_.c_str());
        write_file(part_, c.part);
        if (c.side != "-") write_file(side_, c.side);
        NetSession* session = open_session();

        PartRecord record{};
        std::string out;
        const DownloadOutcome outcome = resumable_attempt(session, &record, &out);

        EXPECT_EQ(outcome, DownloadOutcome::complete);
        EXPECT_EQ(out, HEADER + progress("100%  (0.0 / 0.0 MB)") + "\n");
        for (const auto& call : fake_net::calls())
            EXPECT_EQ(call.find("Range"), std::string::npos) << call;
        EXPECT_FALSE(record.appended);
        EXPECT_EQ(read_file(path_), BODY);
        close_handle(session);
    }
}

TEST_F(DownloadTest, ARangeThatCannotBeAskedForFailsTheAttemptAndKeepsThePart) {
    fake_net::serve(URL, respond(200, true, 100, {BODY}, Step::add_headers));
    write_file(part_, BODY.substr(0, 60));
    write_file(side_, RELEASE_DIGEST);
    NetSession* session = open_session();
    PartRecord record{};
    std::string out;
    const DownloadOutcome outcome = resumable_attempt(session, &record, &out);
    EXPECT_EQ(outcome, DownloadOutcome::failed);
    EXPECT_EQ(out, HEADER + std::string(FAILED));
    EXPECT_EQ(attempt_calls(),
              CONNECTED + "header Range: bytes=60- flags=0x20000000 FAILED\n" + CLOSED);
    EXPECT_EQ(read_file(part_), BODY.substr(0, 60));
    EXPECT_FALSE(file_exists(path_));
    close_handle(session);
}

TEST_F(DownloadTest, APartWhoseDigestCannotBeWrittenIsNotStarted) {
    // A folder stands where the digest goes: the part would have no proof of
    // its release, so no byte is written.
    fake_net::serve(URL, fake_net::body(BODY));
    ASSERT_EQ(mkdir(side_.c_str(), 0700), 0);
    NetSession* session = open_session();
    PartRecord record{};
    const DownloadOutcome outcome = resumable_attempt(session, &record);
    EXPECT_EQ(outcome, DownloadOutcome::cannot_write);
    EXPECT_FALSE(record.wrote);
    EXPECT_FALSE(file_exists(part_));
    EXPECT_FALSE(file_exists(path_));
    close_handle(session);
}

TEST_F(DownloadTest, AnAttemptThatStopsCleanlyKeepsItsPartAndAnOversizedOneDoesNot) {
    struct KeepCase {
        const char* name;
        Response response;
        std::string part;  // what is left; "-" for no part
    };
    const KeepCase cases[] = {
        {"a read fails",
         respond(200, true, 100, {BODY.substr(0, 30), BODY.substr(30)}, Step::read, 1),
         BODY.substr(0, 30)},
        {"the body ends early", respond(200, true, 100, {BODY.substr(0, 60)}), BODY.substr(0, 60)},
        {"no data can be had", respond(200, true, 100, {BODY}, Step::data_available, 1), BODY},
        {"more bytes than the size", respond(200, false, 0, {BODY.substr(0, 70), BODY}), "-"},
        {"a Content-Length that contradicts the size: nothing written",
         respond(200, true, 101, {BODY}), "-"},
        {"a 404: nothing written", respond(404, true, 100, {BODY}), "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve(URL, c.response);
        std::remove(part_.c_str());
        std::remove(side_.c_str());
        NetSession* session = open_session();
        PartRecord record{};
        transcript(
            [&] { download_from_node(session, node_, release_, path_.c_str(), false, &record); });
        EXPECT_EQ(file_exists(part_), c.part != "-");
        if (c.part != "-") {
            EXPECT_EQ(read_file(part_), c.part);
            EXPECT_EQ(read_file(side_), std::string(release_.sha256))
                << "the release's digest stands beside the part";
        } else {
            EXPECT_FALSE(file_exists(side_)) << "no digest without its part";
        }
        EXPECT_FALSE(file_exists(path_));
        close_handle(session);
    }
}

TEST_F(DownloadTest, AResumedProgressLineCountsTheWholeFile) {
    // 2 MiB, of which 90 % (1887437 bytes) stand; the node honours the range.
    const std::string whole(2097152, 'w');
    release_.size = whole.size();
    Response r = fake_net::body(whole);
    r.honours_ranges = true;
    fake_net::serve(URL, r);
    write_file(part_, whole.substr(0, 1887437));
    write_file(side_, RELEASE_DIGEST);
    NetSession* session = open_session();
    PartRecord record{};
    std::string out = transcript(
        [&] { download_from_node(session, node_, release_, path_.c_str(), false, &record); });
    EXPECT_EQ(out, HEADER + std::string("   从 1.8 MB 处继续下载 / Resuming at 1.8 MB\n") +
                       progress(" 93%  (1.9 / 2.0 MB)") + progress(" 96%  (1.9 / 2.0 MB)") +
                       progress(" 99%  (2.0 / 2.0 MB)") + progress("100%  (2.0 / 2.0 MB)") + "\n");
    EXPECT_TRUE(has_call("header Range: bytes=1887437- flags=0x20000000"));
    EXPECT_EQ(read_file(path_), whole);
    close_handle(session);
}

TEST_F(DownloadTest, ABurstThenASlowTailIsJudgedByItsRecentRate) {
    // 120 KB in a burst, then 1 KB every 850 ms: the whole body projected
    // from the average since the first byte passes 60 s only at 98 %, when
    // the rest needs two seconds; at the recent rate the rest never needs
    // more than 60 s. The same tail at 100 B/s would need ten minutes more.
    // A burst of 1 MB and a tail of 20 KB at 100 B/s: the average since the
    // first byte never projects more than a few seconds for the rest, the
    // recent rate over 3 minutes, so only a window that moves leaves it.
    struct TailCase {
        const char* name;
        int burst_reads;  // of 1 KB, 1 ms each
        int reads;
        uint64_t tail_ms;
        DownloadOutcome outcome;
    };
    const TailCase cases[] = {
        {"1.2 KB/s after the burst: kept to the end", 120, 192, 850, DownloadOutcome::complete},
        {"100 B/s after the burst: left", 120, 192, 10000, DownloadOutcome::too_slow},
        {"100 B/s after a burst of 1 MB: left by the recent rate", 1000, 1020, 10000,
         DownloadOutcome::too_slow},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        Response r = paced(c.reads, 1000, 0);
        r.read_ms = std::vector<uint64_t>(c.burst_reads, 1);
        r.read_ms.push_back(c.tail_ms);
        fake_net::serve(URL, r);
        release_.size = c.reads * 1000;
        NetSession* session = open_session();
        DownloadOutcome outcome = DownloadOutcome::failed;
        transcript(
            [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), true); });
        EXPECT_EQ(outcome, c.outcome);
        if (c.outcome == DownloadOutcome::complete) {
            EXPECT_EQ(reads_made(), c.reads);
        }
        close_handle(session);
    }
}

// ---- A broken answer: the same node is asked again for the rest.

const char RANGE_30[] = "header Range: bytes=30- flags=0x20000000\n";

// A mirror that honours ranges and breaks every answer after `cut` bytes.
Response breaking(const std::string& body, uint64_t cut) {
    Response r = fake_net::body(body);
    r.honours_ranges = true;
    r.cut_after_bytes = cut;
    return r;
}

// The range each request asked for, in order: "N-", or "-" for none.
std::vector<std::string> ranges_asked() {
    const std::string header = "header Range: bytes=";
    std::vector<std::string> asked;
    const auto& calls = fake_net::calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].rfind("request GET ", 0) != 0) continue;
        const bool ranged = i + 1 < calls.size() && calls[i + 1].rfind(header, 0) == 0;
        asked.push_back(
            ranged ? calls[i + 1].substr(header.size(),
                                         calls[i + 1].find(' ', header.size()) - header.size())
                   : "-");
    }
    return asked;
}

TEST_F(DownloadTest, AnAnswerBrokenOnceIsContinuedByTheSameNode) {
    fake_net::serve_in_turn(URL, {breaking(BODY, 30), breaking(BODY, fake_net::NEVER)});
    NetSession* session = open_session();
    DownloadOutcome outcome = DownloadOutcome::failed;
    const std::string out = transcript(
        [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), false); });
    EXPECT_EQ(outcome, DownloadOutcome::complete);
    EXPECT_EQ(out, HEADER + progress(" 30%  (0.0 / 0.0 MB)") + asking_again("0.0") +
                       progress("100%  (0.0 / 0.0 MB)") + "\n");
    EXPECT_EQ(attempt_calls(),
              LENGTH + "available 30\nread 30 -> 30\navailable - FAILED\n" + CLOSED + CONNECTED +
                  RANGE_30 + std::string(SENT).substr(CONNECTED.size()) +
                  "query 0x5\nquery 0x35\navailable 70\nread 70 -> 70\navailable 0\n" + CLOSED);
    EXPECT_EQ(read_file(path_), BODY);
    EXPECT_EQ(fake_os::calls(), std::vector<std::string>{"move " + part_ + " " + path_});
    EXPECT_EQ(fake_net::open_handles(), 1);
    close_handle(session);
}

TEST_F(DownloadTest, ABrokenAnswerIsAskedAgainWhileTheAnswersBringBytes) {
    const std::string big = *fake_net::pattern(1, 204800);  // 200 KiB
    Response whole_200 = respond(200, true, 100, {BODY});
    whole_200.cut_after_bytes = 30;
    struct BreakCase {
        const char* name;
        std::vector<Response> answers;  // in turn, the last for every later request
        std::string body;               // the release; its size is the release's unless unsized
        bool unsized;                   // the release names no size
        std::string part;  // with the release's digest and a part record; "" for neither
        DownloadOutcome outcome;
        std::vector<std::string> ranges;  // asked by each request, in order
        std::string output;               // after the header, without the progress lines
        std::string left;                 // the part afterwards, "-" for none
    };
    const BreakCase cases[] = {
        {"every answer breaks after 64 KiB: complete",
         {breaking(big, 65536)},
         big,
         false,
         "",
         DownloadOutcome::complete,
         {"-", "65536-", "131072-", "196608-"},
         asking_again("0.1") + asking_again("0.1") + asking_again("0.2") + "\n",
         "-"},
        {"every answer breaks a byte short of 64 KiB: nothing new, given up after the third",
         {breaking(big, 65535)},
         big,
         false,
         "",
         DownloadOutcome::failed,
         {"-", "65535-", "131070-"},
         asking_again("0.1") + asking_again("0.1") + FAILED,
         "-"},
        {"bytes, then three answers that bring none: given up, the part kept",
         {breaking(big, 100000), breaking(big, 0)},
         big,
         false,
         big.substr(0, 1),
         DownloadOutcome::failed,
         {"1-", "100001-", "100001-", "100001-"},
         std::string(RESUMING_0) + asking_again("0.1") + asking_again("0.1") + asking_again("0.1") +
             FAILED,
         big.substr(0, 100001)},
        {"a part continued, broken, continued again: one resume line",
         {breaking(BODY, 20), breaking(BODY, fake_net::NEVER)},
         BODY,
         false,
         BODY.substr(0, 30),
         DownloadOutcome::complete,
         {"30-", "50-"},
         std::string(RESUMING_0) + asking_again("0.0") + "\n",
         "-"},
        {"a 200 takes the place of the part; asked again, a 200 is refused and the part kept",
         {whole_200},
         BODY,
         false,
         BODY.substr(0, 10),
         DownloadOutcome::failed,
         {"10-", "30-"},
         asking_again("0.0") + FAILED,
         BODY.substr(0, 30)},
        {"the second answer is a 206 at another start: given up, the part gone",
         {breaking(BODY, 30), ranged(206, 80, "bytes 20-99/100", {BODY.substr(20)})},
         BODY,
         false,
         "",
         DownloadOutcome::failed,
         {"-", "30-"},
         asking_again("0.0") + FAILED,
         "-"},
        {"no size known: the break fails the node",
         {breaking(BODY, 30)},
         BODY,
         true,
         "",
         DownloadOutcome::failed,
         {"-"},
         FAILED,
         "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_os::reset();
        fake_net::serve_in_turn(URL, c.answers);
        release_.size = c.unsized ? 0 : c.body.size();
        std::remove(path_.c_str());
        std::remove(part_.c_str());
        std::remove(side_.c_str());
        if (!c.part.empty()) {
            write_file(part_, c.part);
            write_file(side_, RELEASE_DIGEST);
        }
        NetSession* session = open_session();

        PartRecord record{};
        DownloadOutcome outcome = DownloadOutcome::cannot_write;
        const std::string out = transcript([&] {
            outcome = download_from_node(session, node_, release_, path_.c_str(), false,
                                         c.part.empty() ? nullptr : &record);
        });

        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(ranges_asked(), c.ranges);
        EXPECT_EQ(without_progress(out), HEADER + c.output);
        if (c.outcome == DownloadOutcome::complete) {
            EXPECT_EQ(read_file(path_), c.body);
        } else {
            EXPECT_FALSE(file_exists(path_));
        }
        EXPECT_EQ(file_exists(part_), c.left != "-");
        if (c.left != "-") {
            EXPECT_EQ(read_file(part_), c.left);
        }
        EXPECT_EQ(fake_net::open_handles(), 1);
        close_handle(session);
    }
}

TEST_F(DownloadTest, TheSlowRuleMeasuresAcrossTheAnswersAskedAgain) {
    // 2 MiB at 16 KiB/s, every answer broken after one read of 64 KiB (4 s).
    // Measured per answer, no answer would outlast the grace; measured over
    // the attempt, the third read is 8 s after the first and the rest would
    // need about two minutes.
    const std::string big = *fake_net::pattern(3, 2097152);
    Response r = breaking(big, 65536);
    r.bytes_per_second = 16384;
    fake_net::serve(URL, r);
    release_.size = big.size();
    NetSession* session = open_session();
    DownloadOutcome outcome = DownloadOutcome::failed;
    const std::string out = transcript(
        [&] { outcome = download_from_node(session, node_, release_, path_.c_str(), true); });
    EXPECT_EQ(outcome, DownloadOutcome::too_slow);
    EXPECT_EQ(ranges_asked(), (std::vector<std::string>{"-", "65536-", "131072-"}));
    EXPECT_EQ(without_progress(out),
              HEADER + asking_again("0.1") + asking_again("0.1") + std::string(SLOW));
    EXPECT_FALSE(file_exists(part_));
    EXPECT_EQ(fake_net::open_handles(), 1);
    close_handle(session);
}

TEST(PartPath, OneNameInTheInstallersFolderWhateverTheRelease) {
    const std::string folder = "/" + std::string(258, 'd') + "/";
    const std::string longest = folder + std::string(275, 'n') + ".exe";
    ASSERT_EQ(longest.size(), static_cast<size_t>(INSTALLER_PATH_SIZE - 1));
    struct PathCase {
        std::string path;
        std::string folder;
    };
    const PathCase cases[] = {
        {"/tmp/u/Trevalon-setup-0.8.0.exe", "/tmp/u/"},
        {"/tmp/u/Trevalon-setup-0.8.1.exe", "/tmp/u/"},
        {"C:\\Temp\\Trevalon.OnlineInstaller\\Trevalon-setup-0.8.0.exe",
         "C:\\Temp\\Trevalon.OnlineInstaller\\"},
        {longest, folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        char part[PART_PATH_SIZE];
        char side[PART_DIGEST_PATH_SIZE];
        compose_part_path(c.path.c_str(), part);
        compose_part_digest_path(c.path.c_str(), side);
        EXPECT_EQ(std::string(part), c.folder + "online-installer.part");
        EXPECT_EQ(std::string(side), c.folder + "online-installer.part.sha256");
    }
}

TEST(InstallerPath, TemporaryDirectoryAndFileName) {
    fake_os::reset();
    ReleaseRecord release{};
    std::snprintf(release.file_name, sizeof release.file_name, "Trevalon-2.4.1-setup.exe");
    fake_os::set_temp_dir("/tmp/user-folder/");
    char path[INSTALLER_PATH_SIZE] = "";
    bool ok = false;
    std::string out = transcript([&] { ok = prepare_installer_path(release, path); });
    EXPECT_TRUE(ok);
    EXPECT_STREQ(path, "/tmp/user-folder/Trevalon-2.4.1-setup.exe");
    EXPECT_EQ(out, "");

    fake_os::set_temp_dir("");
    out = transcript([&] { ok = prepare_installer_path(release, path); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, "错误: 无法获取临时目录 / Error: cannot get temp directory\n");
}

TEST(InstallerPath, TheLongestDirectoryAndNameFitUncut) {
    fake_os::reset();
    ReleaseRecord release{};
    const std::string name = std::string(123, 'n') + ".exe";  // 127 characters
    std::snprintf(release.file_name, sizeof release.file_name, "%s", name.c_str());
    const std::string dir = "/" + std::string(258, 'd') + "/";  // 260 characters
    fake_os::set_temp_dir(dir);
    char path[INSTALLER_PATH_SIZE] = "";
    EXPECT_TRUE(prepare_installer_path(release, path));
    EXPECT_EQ(std::string(path), dir + name);
}

}  // namespace
