// Stage 3: the installer is fetched from one node with a GET and written to a
// part file next to the installer path through one static 64 KiB buffer, with
// a progress line redrawn in place. The byte count is checked against the
// server's Content-Length and the release's size before the file is opened,
// against the release's size before each write, and again at the end; only
// then is the part moved to the installer path, so an interrupted run never
// leaves a partial file under the installer's name. A failure at the node
// prints one line and lets the run try the next node. When the run allows it,
// the node's recent rate is measured and a node far too slow is left like a
// failed one. A part that cannot be created or written (a read-only folder, a
// disk that fills up), or an installer path that cannot be replaced, is
// reported to the run without a line: no node can help, and the run names the
// cause.
//
// A resumable attempt continues a part of this release with a ranged request.
// A 206 is appended only when its Content-Range starts where the part ends and
// names the release's size; an accepted 200 replaces the part. An answer that
// is refused says nothing about the bytes already in the part, which stays for
// the next node: a busy mirror must not cost what others sent. The part is
// deleted only when it can no longer be a prefix of the release (a body that
// runs past the size) or cannot be written.
//
// An answer that breaks within the release's size, after the attempt had
// bytes, is not yet the node's failure: the same node is asked at once for
// the rest with "Range: bytes=N-", N the bytes now in the part, as often as
// the answers bring something (QUIET_ANSWERS_IN_A_ROW). Only a 206 that starts
// at N and names the release's size continues; anything else is the node's
// failure, with the part treated as the break alone would have left it.
#include <cstdio>
#include <cstring>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "os/os.hpp"
#include "verify/verify.hpp"

namespace {

constexpr uint64_t NO_PERCENTAGE_PRINTED = ~static_cast<uint64_t>(0);
constexpr int DIGEST_TEXT_LENGTH = 64;

uint8_t g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// The part goes, its digest first: a part whose delete fails (a scanner
// holding it) then stands without a digest, and no attempt continues it.
void drop_part(const char* path, const char* part) {
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(path, side);
    std::remove(side);
    delete_file(part);
    char record[PART_RANGES_PATH_SIZE];
    compose_part_ranges_path(path, record);
    drop_held_ranges(record);
}

DownloadOutcome fail_attempt(const char* path, const char* part, bool keep_part) {
    out_line(
        "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...");
    if (!keep_part) drop_part(path, part);
    return DownloadOutcome::failed;
}

DownloadOutcome leave_slow_node(const char* path, const char* part, bool keep_part) {
    out_line("\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...");
    if (!keep_part) drop_part(path, part);
    return DownloadOutcome::too_slow;
}

void close_request(NetRequest* request, NetConnection* connection) {
    close_handle(request);
    close_handle(connection);
}

// "Range: bytes=N-" as UTF-16, for the request.
void compose_resume_header(uint64_t from, char16_t header[64]) {
    char text[64];
    std::snprintf(text, sizeof text, "Range: bytes=%llu-", static_cast<unsigned long long>(from));
    size_t i = 0;
    for (; text[i] != '\0'; ++i)
        header[i] = static_cast<char16_t>(text[i]);
    header[i] = u'\0';
}

}  // namespace

void print_resuming(uint64_t held) {
    const double mb = static_cast<double>(held) * BYTES_TO_MB;
    out_printf("   从 %.1f MB 处继续下载 / Resuming at %.1f MB\n", mb, mb);
}

// No "Resuming at" line follows it: the attempt goes on rather than starting
// from a part.
void print_asked_again(uint64_t held) {
    const double mb = static_cast<double>(held) * BYTES_TO_MB;
    out_printf(
        "\r   连接中断, 已有 %.1f MB, 重新请求该节点 / Connection broken with %.1f MB held, asking "
        "the node again\n",
        mb, mb);
}

// Whether the digest beside the part names this release.
bool RateWatch::too_slow(uint64_t total) {
    // Unknown size, or a body already past it (the end check fails that).
    if (whole == 0 || total >= whole) return false;
    return too_slow_at(total, tick_ms());
}

bool RateWatch::too_slow_at(uint64_t total, uint64_t now) {
    if (!started) {
        started = true;
        first_ms = mark_ms = next_ms = now;
        mark_total = next_total = total;
        return false;
    }
    if (now - next_ms >= RECENT_RATE_WINDOW_MS) {
        mark_ms = next_ms;
        mark_total = next_total;
        next_ms = now;
        next_total = total;
    }
    return now - first_ms >= SLOW_GRACE_MS &&
           projects_too_slow(now - mark_ms, total - mark_total, whole - total);
}

// Past 2^57 bytes total * 100 would overflow; a hundredth of such a size is
// at least 2^50, so dividing by it is off by less than one percent in 2^50
// and still gives exactly 100 at the end.
uint64_t percentage_of(uint64_t total, uint64_t whole) {
    constexpr uint64_t EXACT_UP_TO = UINT64_MAX / 100;
    if (whole <= EXACT_UP_TO) return total * 100 / whole;
    return total / (whole / 100);
}

void print_progress(const char* label, uint64_t percentage, uint64_t total, uint64_t whole) {
    out_printf("\r   [%s] %3llu%%  (%.1f / %.1f MB)", label,
               static_cast<unsigned long long>(percentage),
               static_cast<double>(total) * BYTES_TO_MB, static_cast<double>(whole) * BYTES_TO_MB);
    out_flush();
}

bool part_is_of_release(const char* path, const ReleaseRecord& release) {
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(path, side);
    FILE* file = std::fopen(side, "rb");
    if (file == nullptr) return false;
    char digest[DIGEST_TEXT_LENGTH + 2] = {};
    const size_t count = std::fread(digest, 1, DIGEST_TEXT_LENGTH + 1, file);
    std::fclose(file);
    return count == DIGEST_TEXT_LENGTH && digest_text_matches(release.sha256, digest);
}

// Writes the release's digest beside the part; false when it cannot be written.
bool mark_part_release(const char* path, const ReleaseRecord& release) {
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(path, side);
    FILE* file = open_file(side, "wb");
    if (file == nullptr) return false;
    const size_t length = std::strlen(release.sha256);
    const bool written = std::fwrite(release.sha256, 1, length, file) == length;
    return (std::fclose(file) == 0) && written;
}

bool prepare_installer_path(const ReleaseRecord& release, char path[INSTALLER_PATH_SIZE]) {
    char dir[TEMP_DIR_SIZE];
    if (temp_directory(dir, TEMP_DIR_SIZE) == 0) {
        out_line("错误: 无法获取临时目录 / Error: cannot get temp directory");
        return false;
    }
    // At most 260 + 127 characters: the buffer never cuts the path.
    std::snprintf(path, INSTALLER_PATH_SIZE, "%s%s", dir, release.file_name);
    return true;
}

namespace {

// The installer path's folder, up to its last separator, and the file name.
// The folder is shorter than the installer path: the buffer never cuts.
void compose_beside(const char* path, const char* name, char* out, int capacity) {
    int folder = 0;
    for (int i = 0; path[i] != '\0'; ++i) {
        if (path[i] == '/' || path[i] == '\\') folder = i + 1;
    }
    std::snprintf(out, capacity, "%.*s%s", folder, path, name);
}

}  // namespace

void compose_part_path(const char* path, char part[PART_PATH_SIZE]) {
    compose_beside(path, PART_FILE_NAME, part, PART_PATH_SIZE);
}

void compose_part_ranges_path(const char* path, char record[PART_RANGES_PATH_SIZE]) {
    char part[PART_PATH_SIZE];
    compose_part_path(path, part);
    std::snprintf(record, PART_RANGES_PATH_SIZE, "%s%s", part, PART_RANGES_SUFFIX);
}

void compose_part_digest_path(const char* path, char side[PART_DIGEST_PATH_SIZE]) {
    compose_beside(path, PART_DIGEST_FILE_NAME, side, PART_DIGEST_PATH_SIZE);
}

bool projects_too_slow(uint64_t elapsed_ms, uint64_t received, uint64_t remaining) {
    if (received == 0) return remaining != 0;
    // In floating point: elapsed times sizes up to 2^64 would overflow. Each
    // product is within 2^-52 of the true one, which can only change a verdict
    // on a rate within that fraction of the limit: no rate worth telling apart.
    return static_cast<double>(elapsed_ms) * static_cast<double>(remaining) >
           static_cast<double>(SLOW_STILL_NEEDED_MS) * static_cast<double>(received);
}

uint64_t adopt_earlier_part(const char* path, const ReleaseRecord& release) {
    char part[PART_PATH_SIZE];
    compose_part_path(path, part);
    uint64_t held = 0;
    if (!file_size(part, &held)) return 0;
    if (release.size != 0 && held <= release.size && part_is_of_release(path, release)) {
        // A part that several nodes wrote holds what its record says.
        char record[PART_RANGES_PATH_SIZE];
        compose_part_ranges_path(path, record);
        HeldRanges ranges;
        const HeldRecordCheck check = load_held_ranges(record, part, release, &ranges);
        if (check == HeldRecordCheck::valid) return held_bytes(ranges);
        if (check == HeldRecordCheck::absent) return held;
    }
    drop_part(path, part);
    return 0;
}

bool place_earlier_whole_part(const char* path) {
    char part[PART_PATH_SIZE];
    compose_part_path(path, part);
    if (!move_file_replacing(part, path)) return false;
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(path, side);
    std::remove(side);
    char record[PART_RANGES_PATH_SIZE];
    compose_part_ranges_path(path, record);
    drop_held_ranges(record);
    return true;
}

namespace {

// One node's attempt, from the request to the part's last byte: what each
// step of download_from_node leaves for the next.
struct NodeAttempt {
    const MirrorNode& node;
    const ReleaseRecord& release;
    const char* path;
    char part[PART_PATH_SIZE] = {};
    bool resumable = false;  // a part record was given and the release names its size
    uint64_t held = 0;       // the part's bytes that the request asks to continue
    // The request asks again after a broken answer of this attempt: only a
    // 206 that continues the part will do.
    bool asked_again = false;
    NetConnection* connection = nullptr;
    NetRequest* request = nullptr;
    uint64_t content_length = 0;  // the answer's, 0 when it names none
    uint64_t base = 0;            // the part's bytes the answer continues
    uint64_t start = 0;           // the part's bytes that the first answer continued
    RateWatch rate{};             // across every answer of the attempt
    int quiet_answers = 0;        // broken answers in a row that brought too little
};

// How the body ended; everything false is the end of the body.
struct BodyEnd {
    bool transfer_failed;
    bool past_size;  // the node sent bytes past the release's size
    bool write_failed;
    bool slow;
    uint64_t total;  // the file's bytes now in the part, base included
};

// Opens the request, asks for the rest of a held part, sends it and reads the
// status; false when any of that fails or the status is neither 200 nor 206.
// Nothing has touched the part before the answer is judged.
bool open_and_send(NetSession* session, NodeAttempt& a, uint32_t* status) {
    static char16_t host[URL_PART_UNITS];
    static char16_t object_path[URL_PART_UNITS];
    split_url(a.node.url, host, object_path);
    a.request = nullptr;
    a.connection = open_connection(session, host);
    if (a.connection == nullptr) return false;
    a.request = open_get_request(a.connection, object_path);
    if (a.request == nullptr) return false;
    if (a.held != 0) {
        char16_t range[64];
        compose_resume_header(a.held, range);
        if (!add_request_header(a.request, range)) return false;
    }
    if (!send_and_receive(a.request) || !query_status_code(a.request, status)) return false;
    return *status == 200 || *status == 206;
}

// Whether the answer fits the release, and from which byte it writes: only a
// 206 to the ranged request, starting where the part ends and naming the
// release's size, continues the part; a 200 is the whole file, except to a
// request asked again, which only a 206 answers.
bool judge_answer(NodeAttempt& a, uint32_t status) {
    if (!query_content_length(a.request, &a.content_length)) a.content_length = 0;
    const uint64_t expected_size = a.release.size;
    a.base = 0;
    if (a.held != 0 && status == 206) {
        uint64_t first = 0, whole = 0;
        if (!query_content_range(a.request, &first, &whole) || first != a.held ||
            whole != expected_size ||
            (a.content_length != 0 && a.content_length != expected_size - a.held)) {
            return false;
        }
        a.base = a.held;
        if (a.asked_again) return true;
        // Said only now that the node has taken up the range: an answer
        // refused or a 200 would have made the line untrue.
        print_resuming(a.held);
        return true;
    }
    if (a.asked_again) return false;
    return expected_size == 0 || a.content_length == 0 || a.content_length == expected_size;
}

// The file's size as the progress line shows it: the release's, which every
// accepted answer agrees with, or the node's word when the release names none.
uint64_t shown_size(const NodeAttempt& a) {
    if (a.release.size != 0) return a.release.size;
    return a.content_length != 0 ? a.content_length + a.base : 0;
}

// The part, opened to append behind the bytes the answer continues or
// emptied for a whole file; a new part is marked with its release before its
// first byte. nullptr when it cannot be.
FILE* open_part(const NodeAttempt& a) {
    if (a.base != 0) return open_file(a.part, "ab");
    if (!a.resumable || mark_part_release(a.path, a.release)) return open_file(a.part, "wb");
    return nullptr;
}

// Reads the body into the part through the transfer buffer, with the
// progress line, until it ends, fails, runs past the release's size, cannot
// be written or, with a rate to watch, proves too slow.
BodyEnd write_body(NodeAttempt& a, FILE* file, PartRecord* part_record) {
    const uint64_t expected_size = a.release.size;
    BodyEnd end{false, false, false, false, a.base};
    uint32_t available = 0;
    bool transfer_ok = query_data_available(a.request, &available);
    uint64_t last_percentage = NO_PERCENTAGE_PRINTED;
    // The progress line counts the whole file, the part's bytes included.
    const uint64_t shown_whole = shown_size(a);
    while (transfer_ok && available != 0) {
        if (available > TRANSFER_BUFFER_SIZE) available = TRANSFER_BUFFER_SIZE;
        uint32_t bytes_read = 0;
        if (!read_data(a.request, g_transfer_buffer, available, &bytes_read)) {
            transfer_ok = false;
            break;
        }
        if (bytes_read == 0) break;
        // A body longer than the release could never verify: stop before the
        // first byte past the size reaches the disk, so an endless body cannot
        // fill it.
        if (expected_size != 0 && bytes_read > expected_size - end.total) {
            transfer_ok = false;
            end.past_size = true;
            break;
        }
        const size_t written = std::fwrite(g_transfer_buffer, 1, bytes_read, file);
        if (part_record != nullptr) *part_record = PartRecord{true, a.start != 0, false};
        if (written != bytes_read) {
            end.write_failed = true;
            break;
        }
        end.total += written;

        if (shown_whole != 0) {
            const uint64_t percentage = percentage_of(end.total, shown_whole);
            if (percentage != last_percentage) {
                last_percentage = percentage;
                print_progress(a.node.label, percentage, end.total, shown_whole);
            }
        }
        // Judged only as data arrives: a node that sends nothing at all ends
        // through the receive timeout instead.
        if (a.rate.too_slow(end.total)) {
            end.slow = true;
            break;
        }
        transfer_ok = query_data_available(a.request, &available);
    }
    end.transfer_failed = !transfer_ok;
    return end;
}

// Whether the node is asked again after this body: it broke within the
// release's size after the attempt had bytes, and the node has not brought
// too little QUIET_ANSWERS_IN_A_ROW times in a row. Counts this answer.
bool asks_again(NodeAttempt& a, const BodyEnd& end) {
    if (a.release.size == 0 || end.write_failed || end.slow || end.past_size) return false;
    if (end.total >= a.release.size || end.total == a.start) return false;
    if (end.total - a.base < ANSWER_NEW_BYTES) {
        ++a.quiet_answers;
    } else {
        a.quiet_answers = 0;
    }
    return a.quiet_answers < QUIET_ANSWERS_IN_A_ROW;
}

// Judges the ended body against the sizes and moves a whole part to the
// installer path.
DownloadOutcome finish(const NodeAttempt& a, const BodyEnd& end) {
    if (end.write_failed) {
        drop_part(a.path, a.part);
        return DownloadOutcome::cannot_write;
    }
    // Everything written so far lies within the release's size: a prefix,
    // unless the node sent more than the size.
    const bool keep_part = a.resumable && !end.past_size;
    if (end.slow) return leave_slow_node(a.path, a.part, keep_part);
    if (end.transfer_failed) return fail_attempt(a.path, a.part, keep_part);
    const uint64_t shown_whole = shown_size(a);
    if (shown_whole != 0 && end.total != shown_whole)
        return fail_attempt(a.path, a.part, keep_part);
    if (a.release.size != 0 && end.total != a.release.size)
        return fail_attempt(a.path, a.part, keep_part);
    // A whole part that cannot take the installer's name (a running
    // installer there, a scanner that held a file for longer than the move
    // waits) stays, with its digest, for the next run to place and check.
    if (!move_file_replacing(a.part, a.path)) {
        if (!a.resumable) (void)mark_part_release(a.path, a.release);
        return DownloadOutcome::cannot_replace;
    }
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(a.path, side);
    std::remove(side);
    out_printf("\n");
    return DownloadOutcome::complete;
}

}  // namespace

DownloadOutcome download_from_node(NetSession* session, const MirrorNode& node,
                                   const ReleaseRecord& release, const char* path,
                                   bool leave_if_too_slow, PartRecord* part_record) {
    out_printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
    NodeAttempt a{node, release, path};
    compose_part_path(path, a.part);
    a.resumable = part_record != nullptr && release.size != 0;
    if (part_record != nullptr) *part_record = PartRecord{false, false, false};

    // A part of this release shorter than the release is continued where it
    // ends. Its digest is read again here: a part whose delete failed (a
    // scanner holding it) may still stand, of another release.
    if (a.resumable && (!file_size(a.part, &a.held) || a.held >= release.size ||
                        !part_is_of_release(path, release))) {
        a.held = 0;
    }

    // Ask, judge, write the body; again while a broken answer may be continued.
    FILE* file = nullptr;
    BodyEnd end{};
    for (;;) {
        uint32_t status = 0;
        const bool accepted = open_and_send(session, a, &status) && judge_answer(a, status);
        if (!accepted) {
            close_request(a.request, a.connection);
            if (file == nullptr) return fail_attempt(path, a.part, a.resumable);
            // A refused continuation: the node failed as the broken body says.
            break;
        }
        if (file == nullptr) {
            file = open_part(a);
            if (file == nullptr) {
                close_request(a.request, a.connection);
                drop_part(path, a.part);
                return DownloadOutcome::cannot_write;
            }
            a.start = a.base;
            if (leave_if_too_slow) a.rate.whole = release.size != 0 ? release.size : shown_size(a);
        }
        end = write_body(a, file, part_record);
        close_request(a.request, a.connection);
        if (!asks_again(a, end)) break;
        print_asked_again(end.total);
        a.held = end.total;
        a.asked_again = true;
    }
    // Buffered bytes reach the disk only here: a full disk may show itself now.
    if (std::fclose(file) != 0) end.write_failed = true;
    return finish(a, end);
}
