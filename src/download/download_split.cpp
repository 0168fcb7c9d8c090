// Stage 3 from several nodes at once. The download starts at one node exactly
// as a download from one node does, writing the part from its front; while
// that node alone is enough (the rest would take at most HELPERS_AFTER_MS at
// its recent rate) nothing else happens and the transcript is the one node's.
// Beyond that, further reachable nodes join as helpers, in rank order, one
// connection per host, each fetching a range the plan (split_plan.hpp) gives
// it, and the part is written at offsets. The record of the ranges held
// (held_ranges.hpp) stands beside the part from the moment the first helper
// joins, before any byte lands past the front, and follows the writes; so a
// run that ends at any moment leaves a part that the next run continues
// range by range.
//
// Every connection is a stream of the transport; the stage runs on the
// caller's thread alone and takes the streams' bytes as they come, one buffer
// at a time. Bytes that another node already wrote are not written again but
// compared: where a helper's range starts early by CHECK_OVERLAP_BYTES, two
// nodes have fetched the same bytes. When they differ, a third node's copy of
// those bytes decides which node serves another file; that node's bytes leave
// the record and are fetched again from the others. A helper that fails or
// refuses is dropped and its range goes back to the others; the download ends
// in failure only when no node is left to fetch what is missing. The final
// digest remains the proof: a file that several nodes made is hashed before it
// is moved into place, and when it fails, the ranges of the nodes the checks
// blamed are fetched again; when none can be blamed the part goes, and the
// run fetches the whole file from one node.
#include <cstdio>
#include <cstring>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "download/split_plan.hpp"
#include "os/os.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

namespace {

constexpr uint64_t NO_PERCENTAGE_PRINTED = ~static_cast<uint64_t>(0);
constexpr int32_t JUDGE_STREAM = MAX_CONNECTIONS;
static_assert(MAX_STREAMS > MAX_CONNECTIONS, "a stream for the judge");

// A connection's rate is known once this long has passed since its answer;
// until then the plan counts it as unmeasured and no helper joins on its
// account. TCP's slow start doubles the rate every round trip and is within a
// factor of two of the link after some six of them: 300 ms at a far mirror's
// 50 ms. A rate still low by that much only adds a helper to a download that
// would have taken two to three seconds.
constexpr uint64_t RATE_FIRST_MS = 300;
// A connection without an answer this long after its request counts as a
// straggler (rate 1), so that others may take its range.
constexpr uint64_t SILENT_MS = 2000;
// The recent rate: bytes since a mark between one and two windows old.
constexpr uint64_t RATE_WINDOW_MS = 1000;
// The record follows the writes at least every this many bytes: a run that
// ends at any moment costs at most this much again (and what was in flight),
// 1 % of a 24 MiB release. At 10 MiB/s that is some forty small records a
// second, each a flush, a write and a move: far below the transfer's cost.
constexpr uint64_t RECORD_EVERY_BYTES = 262144;

uint8_t g_compare_buffer[STREAM_BUFFER_BYTES];

// One connection's stream and what the stage knows of it.
struct Link {
    uint64_t asked_first;
    uint64_t asked_end;  // STREAM_TO_END: open-ended
    bool answered;       // its answer was accepted
    bool helper;         // joined as a helper (not the node that started)
    bool counted;        // counted in the progress label's helpers
    uint64_t bytes;      // body bytes taken from it
    uint64_t start_ms;   // its request started
    uint64_t answer_ms;  // its answer was accepted
    uint64_t mark_ms, mark_bytes, next_ms, next_bytes;
};

struct Judge {
    bool active;
    int32_t check;  // the index in the log's checks
    int32_t node;
    uint64_t at;  // the next byte of the check's range it sends
    bool same;    // its bytes so far equal the part's
    bool spot;    // a node's copy of bytes another node wrote, not a third node's word
};

// The whole state of one download, a static: it holds the record and the log,
// a few KiB that the stack of a small program had better not carry.
struct Split {
    NetSession* session;
    const NodeTable* table;
    const ReleaseRecord* release;
    const char* path;
    char part[PART_PATH_SIZE];
    char record[PART_RANGES_PATH_SIZE];
    int32_t first_node;
    bool leave_if_too_slow;
    bool* left;  // per node, the run's: nodes not to ask again
    PartRecord* part_record;

    FILE* file;
    HeldRanges held;
    SplitLog log;
    bool log_complete;  // every write is in the log, so blame can be laid
    SplitConnection connections[MAX_CONNECTIONS];
    Link links[MAX_CONNECTIONS];
    Judge judge;
    bool record_active;         // the record stands beside the part
    uint64_t unrecorded_bytes;  // written since the record was last saved
    int32_t helpers_joined;
    int32_t helpers_shown;
    bool repaired;                 // a failed digest's ranges were fetched again once
    bool spot_checked[MAX_NODES];  // the node was asked for bytes another node wrote
    bool started;                  // a connection was started
    bool resume_said;              // the first answer was taken (and a resume said)
    bool resumed;                  // it continues bytes that stood before it

    // Progress.
    bool progress_shown;
    uint64_t last_percentage;
    int32_t last_helpers_shown;

    // The one-node rule: a far-too-slow node alone is left.
    RateWatch alone;
};

Split g_split;

SplitView view_of(const Split& s) {
    return SplitView{&s.held, s.table, s.left, s.connections, &s.log};
}

const char* label_of(const Split& s, int32_t node) {
    return s.table->nodes[node].label;
}

// A line of its own under the progress line, which is drawn again after it.
void print_event_line(Split& s, const char* chinese, const char* english, int32_t node) {
    if (s.progress_shown) out_printf("\n");
    out_printf("   %s / %s: %s\n", chinese, english, label_of(s, node));
    s.progress_shown = false;
    s.last_percentage = NO_PERCENTAGE_PRINTED;
}

// A connection that goes while others go on.
void print_dropped(Split& s, int32_t c, int32_t node) {
    if (s.links[c].helper) {
        print_event_line(s, "辅助节点已停用", "Helper dropped", node);
    } else {
        print_event_line(s, "节点已停用", "Node dropped", node);
    }
}

void draw_progress(Split& s) {
    const uint64_t whole = s.release->size;
    const uint64_t total = held_bytes(s.held);
    const uint64_t percentage = percentage_of(total, whole);
    if (percentage == s.last_percentage && s.helpers_shown == s.last_helpers_shown) return;
    s.last_percentage = percentage;
    s.last_helpers_shown = s.helpers_shown;
    char label[96];
    if (s.helpers_shown == 0) {
        std::snprintf(label, sizeof label, "%s", label_of(s, s.first_node));
    } else {
        std::snprintf(label, sizeof label, "%s +%d", label_of(s, s.first_node),
                      static_cast<int>(s.helpers_shown));
    }
    print_progress(label, percentage, total, whole);
    s.progress_shown = true;
}

// The part and everything beside it go: the digest first, so that a part
// whose delete fails is never continued, and the record last, so that a part
// with holes never stands without the record that tells them.
void drop_everything(Split& s) {
    if (s.file != nullptr) std::fclose(s.file);
    s.file = nullptr;
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(s.path, side);
    std::remove(side);
    delete_file(s.part);
    drop_held_ranges(s.record);
    s.record_active = false;
}

// Steps 1 to 3 of the record's protocol: the part's bytes out of the
// program's buffers, then the record that claims them.
bool save_record(Split& s) {
    if (std::fflush(s.file) != 0) return false;
    if (!save_held_ranges(s.record, s.held)) return false;
    s.unrecorded_bytes = 0;
    return true;
}

void stop_link(Split& s, int32_t c) {
    stop_stream(c);
    s.connections[c].open = false;
}

void stop_everything(Split& s) {
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        if (s.connections[c].open) stop_link(s, c);
    }
    if (s.judge.active) stop_stream(JUDGE_STREAM);
    s.judge.active = false;
}

bool start_link(Split& s, int32_t c, int32_t node, ByteRange range, uint64_t asked_end,
                bool helper) {
    SplitConnection& connection = s.connections[c];
    connection = SplitConnection{true, node, range, 0, 0};
    Link& link = s.links[c];
    const bool was_helper = helper || (link.helper && s.connections[c].node == node);
    link = Link{};
    link.asked_first = range.start;
    link.asked_end = asked_end;
    link.helper = was_helper;
    link.start_ms = link.mark_ms = link.next_ms = tick_ms();
    if (start_stream(s.session, c, s.table->nodes[node].url, range.start, asked_end)) return true;
    connection.open = false;
    return false;
}

// Applies a step of the plan: the range, a connection shortened, a check.
bool apply_step(Split& s, const SplitStep& step, bool helper) {
    if (step.shortened >= 0) s.connections[step.shortened].range.end = step.new_end;
    if (step.check.end > step.check.start && s.log.check_count < MAX_SPLIT_CHECKS) {
        s.log.checks[s.log.check_count++] =
            OverlapCheck{step.check, step.check_with, step.node, OverlapVerdict::pending};
    }
    return start_link(s, step.connection, step.node, step.range, step.range.end, helper);
}

// The recent rate of each open connection, for the plan, counted from its
// answer: the connection's set-up (TCP, TLS, a far mirror's round trips) is
// not its rate. Once measured a rate never falls below 1 (0 is "not measured
// yet"), so a connection that stalls, or that has not answered after
// SILENT_MS, shows as the straggler it is and others take its share.
void measure(Split& s, uint64_t now) {
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        if (!s.connections[c].open) continue;
        Link& link = s.links[c];
        if (!link.answered) {
            if (now - link.start_ms >= SILENT_MS) s.connections[c].rate = 1;
            continue;
        }
        if (now - link.next_ms >= RATE_WINDOW_MS) {
            link.mark_ms = link.next_ms;
            link.mark_bytes = link.next_bytes;
            link.next_ms = now;
            link.next_bytes = link.bytes;
        }
        if (now - link.answer_ms < RATE_FIRST_MS || now <= link.mark_ms) continue;
        const uint64_t rate = (link.bytes - link.mark_bytes) * 1000 / (now - link.mark_ms);
        s.connections[c].rate = rate != 0 ? rate : 1;
    }
}

enum class Taken { ok, cannot_write };

// Compares the bytes of the part at offset with data; false on a read error
// too (the check then counts as a disagreement, which a third node settles).
bool part_has(Split& s, uint64_t offset, const uint8_t* data, uint32_t count) {
    if (std::fflush(s.file) != 0 || !seek_file(s.file, offset)) return false;
    if (std::fread(g_compare_buffer, 1, count, s.file) != count) return false;
    return std::memcmp(g_compare_buffer, data, count) == 0;
}

// The check whose range holds offset between these two nodes, or -1.
int32_t check_at(const Split& s, uint64_t offset, int32_t node) {
    for (int32_t k = 0; k < s.log.check_count; ++k) {
        const OverlapCheck& check = s.log.checks[k];
        if (check.range.start <= offset && offset < check.range.end &&
            (check.first == node || check.second == node))
            return k;
    }
    return -1;
}

void settle_check(Split& s, int32_t k, bool same) {
    OverlapCheck& check = s.log.checks[k];
    if (check.verdict != OverlapVerdict::pending) return;
    check.verdict = same ? OverlapVerdict::agree : OverlapVerdict::differ;
}

// Takes count bytes at offset from node: written where nothing is held,
// compared where something is.
Taken take_bytes(Split& s, int32_t node, uint64_t offset, const uint8_t* data, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        const uint64_t at = offset + done;
        // The stretch from at that is held, or not held, as a whole.
        bool is_held = false;
        uint64_t stretch_end = offset + count;
        for (int32_t i = 0; i < s.held.count; ++i) {
            const ByteRange& r = s.held.ranges[i];
            if (r.end <= at) continue;
            if (r.start <= at) {
                is_held = true;
                if (r.end < stretch_end) stretch_end = r.end;
            } else if (r.start < stretch_end) {
                stretch_end = r.start;
            }
            break;
        }
        const uint32_t n = static_cast<uint32_t>(stretch_end - at);
        if (is_held) {
            const bool same = part_has(s, at, data + done, n);
            const int32_t k = check_at(s, at, node);
            if (k >= 0) {
                if (!same) {
                    settle_check(s, k, false);
                } else if (at + n >= s.log.checks[k].range.end) {
                    settle_check(s, k, true);
                }
            } else if (!same) {
                // Bytes compared outside any planned check (a range taken
                // whole from a straggler): a disagreement all the same.
                if (s.log.check_count < MAX_SPLIT_CHECKS) {
                    int32_t writer = EARLIER_RUN;
                    for (int32_t p = s.log.piece_count - 1; p >= 0; --p) {
                        const WrittenPiece& piece = s.log.pieces[p];
                        if (piece.range.start <= at && at < piece.range.end) {
                            writer = piece.node;
                            break;
                        }
                    }
                    s.log.checks[s.log.check_count++] =
                        OverlapCheck{{at, at + n}, writer, node, OverlapVerdict::differ};
                }
            }
        } else {
            if (!seek_file(s.file, at) || std::fwrite(data + done, 1, n, s.file) != n)
                return Taken::cannot_write;
            if (!add_held_range(&s.held, at, at + n)) {
                // The record is full: the bytes stay unclaimed and are
                // fetched again; nothing wrong is ever claimed.
            } else {
                s.unrecorded_bytes += n;
            }
            if (!log_written(&s.log, node, at, at + n)) s.log_complete = false;
            if (s.part_record != nullptr) {
                s.part_record->wrote = true;
                if (s.resumed || s.helpers_joined != 0) s.part_record->appended = true;
            }
        }
        done += n;
    }
    return Taken::ok;
}

// Whether the answer of connection c fits what it asked.
enum class Answer { accept, whole, refuse };

Answer judge_answer(const Split& s, int32_t c, const StreamAnswer& a) {
    const Link& link = s.links[c];
    const uint64_t size = s.release->size;
    const uint64_t end = link.asked_end == STREAM_TO_END ? size : link.asked_end;
    const bool ranged = !(link.asked_first == 0 && link.asked_end == STREAM_TO_END);
    if (a.status == 200) {
        if (a.has_length && a.length != size) return Answer::refuse;
        return ranged ? Answer::whole : Answer::accept;
    }
    if (a.status != 206 || !ranged) return Answer::refuse;
    if (!a.has_range || a.range_first != link.asked_first || a.range_total != size)
        return Answer::refuse;
    if (a.has_length && a.length != end - link.asked_first) return Answer::refuse;
    return Answer::accept;
}

int32_t open_count(const Split& s) {
    int32_t n = 0;
    for (const SplitConnection& c : s.connections)
        n += c.open ? 1 : 0;
    return n;
}

// How the download goes on after an event; ended: the outcome is final.
struct Flow {
    bool ended;
    DownloadOutcome outcome;
};
constexpr Flow GO_ON = {false, DownloadOutcome::failed};
Flow end_with(DownloadOutcome outcome) {
    return Flow{true, outcome};
}

// Opens the part for writing at offsets, at the first accepted answer: a
// refused answer leaves the part as it was. A part that holds nothing is
// made anew, marked with its release before its first byte.
bool ensure_file(Split& s) {
    if (s.file != nullptr) return true;
    if (held_bytes(s.held) == 0 && !s.record_active) {
        if (!mark_part_release(s.path, *s.release)) return false;
        s.file = std::fopen(s.part, "w+b");
    } else {
        s.file = std::fopen(s.part, "r+b");
    }
    return s.file != nullptr;
}

Flow cannot_write(Split& s) {
    stop_everything(s);
    drop_everything(s);
    return end_with(DownloadOutcome::cannot_write);
}

// The part stays for the next node or run, its record brought up to date.
Flow keep_part_and_end(Split& s, DownloadOutcome outcome) {
    stop_everything(s);
    bool written = true;
    if (s.file != nullptr) {
        if (s.record_active && !save_record(s)) written = false;
        if (std::fclose(s.file) != 0) written = false;
        s.file = nullptr;
    }
    if (!written) {
        drop_everything(s);
        return end_with(DownloadOutcome::cannot_write);
    }
    return end_with(outcome);
}

// A node whose bytes were found wrong: they leave the record (saved at once,
// so that no record claims them) and are fetched again from the others.
Flow found_wrong(Split& s, int32_t node) {
    if (node >= 0) {
        print_event_line(s, "节点内容与其他节点不一致", "Node serves different bytes, dropped",
                         node);
        s.left[node] = true;
        for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
            if (s.connections[c].open && s.connections[c].node == node) {
                stop_link(s, c);
                if (s.links[c].counted) --s.helpers_shown;
            }
        }
        drop_node_bytes(&s.log, &s.held, node);
    } else if (s.log_complete) {
        // An earlier run's bytes: the record keeps only what this run wrote.
        start_held_ranges(&s.held, *s.release);
        for (int32_t p = 0; p < s.log.piece_count; ++p)
            add_held_range(&s.held, s.log.pieces[p].range.start, s.log.pieces[p].range.end);
    } else {
        start_held_ranges(&s.held, *s.release);
        s.log.piece_count = 0;
    }
    for (int32_t k = 0; k < s.log.check_count; ++k) {
        OverlapCheck& check = s.log.checks[k];
        if (check.verdict == OverlapVerdict::differ || check.verdict == OverlapVerdict::pending) {
            if (check.first == node) check.verdict = OverlapVerdict::first_odd;
            if (check.second == node) check.verdict = OverlapVerdict::second_odd;
        }
    }
    if (s.record_active && !save_record(s)) return cannot_write(s);
    return GO_ON;
}

// The node whose bytes the part holds at offset, by the log.
int32_t writer_in_part(const Split& s, uint64_t offset) {
    for (int32_t p = s.log.piece_count - 1; p >= 0; --p) {
        const WrittenPiece& piece = s.log.pieces[p];
        if (piece.range.start <= offset && offset < piece.range.end) return piece.node;
    }
    return EARLIER_RUN;
}

// Asks a third node for the bytes of the first check that two nodes disagree
// on, when no such question is open.
void start_judge(Split& s) {
    if (s.judge.active) return;
    const SplitView view = view_of(s);
    for (int32_t k = 0; k < s.log.check_count; ++k) {
        OverlapCheck& check = s.log.checks[k];
        if (check.verdict != OverlapVerdict::differ) continue;
        const int32_t node = plan_judge(view, check);
        if (node == NO_NODE || !start_stream(s.session, JUDGE_STREAM, s.table->nodes[node].url,
                                             check.range.start, check.range.end)) {
            check.verdict = OverlapVerdict::unresolved;
            continue;
        }
        s.judge = Judge{true, k, node, check.range.start, true, false};
        return;
    }
}

Flow on_judge_event(Split& s, const StreamEvent& e) {
    OverlapCheck& check = s.log.checks[s.judge.check];
    if (e.kind == StreamEventKind::answered) {
        const StreamAnswer& a = e.answer;
        if (a.status == 206 && a.has_range && a.range_first == check.range.start &&
            a.range_total == s.release->size &&
            (!a.has_length || a.length == check.range.end - check.range.start)) {
            resume_stream(JUDGE_STREAM);
            return GO_ON;
        }
        stop_stream(JUDGE_STREAM);
        s.judge.active = false;
        // A spot check that cannot be made says nothing against anyone.
        check.verdict = s.judge.spot ? OverlapVerdict::agree : OverlapVerdict::unresolved;
        start_judge(s);
        return GO_ON;
    }
    if (e.kind == StreamEventKind::data) {
        uint32_t count = e.count;
        if (count > check.range.end - s.judge.at)
            count = static_cast<uint32_t>(check.range.end - s.judge.at);
        // Compared where the part holds bytes; the rest of the check may
        // not be written yet.
        for (int32_t i = 0; i < s.held.count && count > 0; ++i) {
            const ByteRange& r = s.held.ranges[i];
            const uint64_t from = r.start > s.judge.at ? r.start : s.judge.at;
            const uint64_t to = r.end < s.judge.at + count ? r.end : s.judge.at + count;
            if (from >= to) continue;
            if (!part_has(s, from, e.data + (from - s.judge.at), static_cast<uint32_t>(to - from)))
                s.judge.same = false;
        }
        s.judge.at += count;
        resume_stream(JUDGE_STREAM);
        return GO_ON;
    }
    s.judge.active = false;
    if (s.judge.at != check.range.end) {
        check.verdict = s.judge.spot ? OverlapVerdict::agree : OverlapVerdict::unresolved;
        start_judge(s);
        return GO_ON;
    }
    if (s.judge.spot) {
        // The first node's bytes against a second node's copy: when they
        // differ, a third node decides as for any check.
        check.verdict = s.judge.same ? OverlapVerdict::agree : OverlapVerdict::differ;
        start_judge(s);
        return GO_ON;
    }
    // The part holds the bytes of the node that wrote them first: the third
    // node agrees with it, or not.
    const int32_t in_part = writer_in_part(s, check.range.start);
    const int32_t other = in_part == check.first ? check.second : check.first;
    const int32_t odd = s.judge.same ? other : in_part;
    check.verdict = odd == check.first ? OverlapVerdict::first_odd : OverlapVerdict::second_odd;
    const Flow flow = found_wrong(s, odd);
    if (!flow.ended) start_judge(s);
    return flow;
}

// The overlaps of the helpers' ranges are reached only when a connection
// gets to another's range, which may be near the end: a node that serves
// another file would spoil its whole share first. So each node that fetches
// is also asked, once, at once, for 64 KiB that another node already wrote
// (the last 64 KiB of the first such piece in the log, the first node's
// front as a rule), in the judge's slot, one node at a time; when they
// differ, a third node decides as for any check. 64 KiB per node, and one
// short request to a host that also serves a range: the one time two
// connections go to one host.
void start_spot_check(Split& s) {
    if (s.judge.active || s.log.check_count >= MAX_SPLIT_CHECKS) return;
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        const SplitConnection& connection = s.connections[c];
        if (!connection.open || s.spot_checked[connection.node]) continue;
        const int32_t node = connection.node;
        for (int32_t p = 0; p < s.log.piece_count; ++p) {
            const WrittenPiece& piece = s.log.pieces[p];
            if (piece.node == node || piece.node < 0 ||
                piece.range.end - piece.range.start < CHECK_OVERLAP_BYTES)
                continue;
            const ByteRange range = {piece.range.end - CHECK_OVERLAP_BYTES, piece.range.end};
            s.spot_checked[node] = true;
            if (!start_stream(s.session, JUDGE_STREAM, s.table->nodes[node].url, range.start,
                              range.end))
                return;
            const int32_t k = s.log.check_count++;
            s.log.checks[k] = OverlapCheck{range, piece.node, node, OverlapVerdict::pending};
            s.judge = Judge{true, k, node, range.start, true, true};
            return;
        }
    }
}

// Starts the record beside the part, before any byte lands past its front.
bool start_record(Split& s) {
    if (s.record_active) return true;
    if (!ensure_file(s) || !save_record(s)) return false;
    s.record_active = true;
    return true;
}

Flow maybe_add_helper(Split& s) {
    if (s.part_record == nullptr) return GO_ON;
    for (;;) {
        const SplitStep step = plan_helper(view_of(s));
        if (step.move != SplitMove::add_helper) return GO_ON;
        if (!start_record(s)) return cannot_write(s);
        print_event_line(s, "加入辅助节点", "Helper added", step.node);
        if (!apply_step(s, step, true)) {
            print_event_line(s, "辅助节点已停用", "Helper dropped", step.node);
            s.left[step.node] = true;
            continue;
        }
        s.links[step.connection].counted = true;
        ++s.helpers_joined;
        ++s.helpers_shown;
    }
}

// The connection's range is done: it takes the next one, or closes.
Flow next_range(Split& s, int32_t c) {
    SplitConnection& connection = s.connections[c];
    stop_stream(c);
    connection.done = connection.range.end - connection.range.start;
    const SplitStep step = plan_next_range(view_of(s), c, connection.node);
    if (step.move == SplitMove::none) {
        connection.open = false;
        return GO_ON;
    }
    if (!start_record(s)) return cannot_write(s);
    if (step.shortened >= 0) {
        const SplitConnection& victim = s.connections[step.shortened];
        // A straggler's rest taken whole: it is asked no more in this run.
        if (step.new_end <= victim.range.start + victim.done) {
            s.left[victim.node] = true;
            stop_link(s, step.shortened);
        }
    }
    const int32_t node = connection.node;
    if (!apply_step(s, step, false)) {
        if (s.links[c].counted) --s.helpers_shown;
        print_dropped(s, c, node);
        s.left[node] = true;
    }
    return GO_ON;
}

// A connection that failed or refused: alone at the start of a download it
// is a failed node, as in a download from one node; otherwise it is dropped
// and its range goes back to the others.
Flow connection_fails(Split& s, int32_t c) {
    const int32_t node = s.connections[c].node;
    stop_link(s, c);
    if (s.helpers_joined == 0 && open_count(s) == 0) {
        out_line(
            "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
            "switching...");
        return keep_part_and_end(s, DownloadOutcome::failed);
    }
    if (s.links[c].counted) --s.helpers_shown;
    print_dropped(s, c, node);
    s.left[node] = true;
    return GO_ON;
}

Flow on_answer(Split& s, int32_t c, const StreamAnswer& answer) {
    const Answer verdict = judge_answer(s, c, answer);
    if (verdict == Answer::refuse) return connection_fails(s, c);
    if (verdict == Answer::whole) {
        // The whole file to a ranged request: the node that started, still
        // alone, replaces the part with it, as a download from one node does;
        // a helper is dropped.
        if (s.links[c].helper || s.helpers_joined != 0 || open_count(s) != 1)
            return connection_fails(s, c);
        if (s.file != nullptr) std::fclose(s.file);
        s.file = nullptr;
        drop_held_ranges(s.record);
        s.record_active = false;
        start_held_ranges(&s.held, *s.release);
        s.log.piece_count = 0;
        s.connections[c].range = ByteRange{0, s.release->size};
        s.connections[c].done = 0;
        s.links[c].asked_first = 0;
        s.links[c].asked_end = STREAM_TO_END;
    } else if (!s.resume_said && held_bytes(s.held) != 0) {
        s.resumed = true;
        // Said only once a node has taken up the range.
        const double mb = static_cast<double>(held_bytes(s.held)) * BYTES_TO_MB;
        out_printf("   从 %.1f MB 处继续下载 / Resuming at %.1f MB\n", mb, mb);
    }
    s.resume_said = true;
    if (!ensure_file(s)) return cannot_write(s);
    s.links[c].answered = true;
    s.links[c].answer_ms = s.links[c].mark_ms = s.links[c].next_ms = tick_ms();
    s.links[c].mark_bytes = s.links[c].next_bytes = s.links[c].bytes;
    resume_stream(c);
    return GO_ON;
}

// A connection that asked for the rest of the file and has all of it: it is
// waited for until its body ends, since more bytes would show that it does
// not serve the release.
bool draining(const Split& s, int32_t c) {
    const SplitConnection& connection = s.connections[c];
    return connection.open && s.links[c].asked_end == STREAM_TO_END &&
           connection.range.end == s.release->size &&
           connection.done == connection.range.end - connection.range.start;
}

Flow on_data(Split& s, int32_t c, const StreamEvent& e, uint64_t now) {
    SplitConnection& connection = s.connections[c];
    Link& link = s.links[c];
    const uint64_t at = connection.range.start + connection.done;
    const uint64_t rest = connection.range.end - at;
    // A body that runs past the release's size is not the release: none of
    // it reaches the disk. Alone, the node fails and the part goes, as in a
    // download from one node; beside helpers, its bytes go.
    if (link.asked_end == STREAM_TO_END && connection.range.end == s.release->size &&
        e.count > rest) {
        const int32_t node = connection.node;
        stop_link(s, c);
        if (s.helpers_joined == 0 && open_count(s) == 0) {
            out_line(
                "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
                "switching...");
            stop_everything(s);
            drop_everything(s);
            return end_with(DownloadOutcome::failed);
        }
        if (s.links[c].counted) --s.helpers_shown;
        print_dropped(s, c, node);
        s.left[node] = true;
        drop_node_bytes(&s.log, &s.held, node);
        if (s.record_active && !save_record(s)) return cannot_write(s);
        return GO_ON;
    }
    const uint32_t count = e.count < rest ? e.count : static_cast<uint32_t>(rest);
    if (count > 0) {
        if (take_bytes(s, connection.node, at, e.data, count) == Taken::cannot_write)
            return cannot_write(s);
    }
    link.bytes += count;
    connection.done += count;
    start_judge(s);
    if (s.record_active && s.unrecorded_bytes >= RECORD_EVERY_BYTES && !save_record(s))
        return cannot_write(s);
    // More than the range's rest: a node that sends past what it was asked
    // (or a range shortened under it) has done its part.
    if (connection.done == connection.range.end - connection.range.start) {
        // A request that asked exactly this far ends by itself, and its
        // connection may serve the next range; one that asked to the end of
        // the file must end there too, or it was not the release.
        if (e.count == count && (link.asked_end == connection.range.end || draining(s, c))) {
            resume_stream(c);
            return GO_ON;
        }
        return next_range(s, c);
    }
    // While no helper has joined, the node is alone with the file, as in a
    // download from one node (the plan adds none to a file too small to
    // split): the one-node rule on slow nodes holds.
    const uint64_t total = held_bytes(s.held);
    if (s.leave_if_too_slow && s.helpers_joined == 0 && total < s.release->size &&
        s.alone.too_slow_at(total, now)) {
        out_line("\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...");
        return keep_part_and_end(s, DownloadOutcome::too_slow);
    }
    resume_stream(c);
    return GO_ON;
}

// A stream that ended, complete or not: what counts is whether its range is
// written (a body that ends early, or a read that fails past the range's end,
// is judged by the bytes).
Flow on_end(Split& s, int32_t c) {
    const SplitConnection& connection = s.connections[c];
    if (connection.done == connection.range.end - connection.range.start) return next_range(s, c);
    return connection_fails(s, c);
}

enum class Restart { started, first_failed, none_left };

// Starts a connection when none is open but bytes are missing: at the node
// that starts the download, or after it went, at the next free node.
Restart restart(Split& s) {
    const SplitView view = view_of(s);
    if (!s.started) {
        s.started = true;
        const int32_t node = s.first_node;
        if (!s.record_active) {
            // As a download from one node: open-ended from the part's end,
            // without a Range header from byte 0.
            const uint64_t from = held_bytes(s.held);
            s.connections[0] = SplitConnection{true, node, {from, s.release->size}, 0, 0};
            s.links[0] = Link{};
            s.links[0].start_ms = s.links[0].mark_ms = s.links[0].next_ms = tick_ms();
            s.links[0].asked_first = from;
            s.links[0].asked_end = STREAM_TO_END;
            if (start_stream(s.session, 0, s.table->nodes[node].url, from, STREAM_TO_END))
                return Restart::started;
            s.connections[0].open = false;
            return Restart::first_failed;
        }
        const SplitStep step = plan_next_range(view, 0, node);
        if (step.move != SplitMove::none && apply_step(s, step, false)) return Restart::started;
        return Restart::first_failed;
    }
    for (;;) {
        const int32_t node = next_helper_node(view_of(s));
        if (node == NO_NODE) return Restart::none_left;
        const SplitStep step = plan_next_range(view_of(s), 0, node);
        if (step.move == SplitMove::none) return Restart::none_left;
        if (apply_step(s, step, node != s.first_node)) return Restart::started;
        s.left[node] = true;
    }
}

// Every byte is held: the part becomes the installer.
Flow finish(Split& s) {
    stop_everything(s);
    bool written = true;
    if (s.file != nullptr) {
        if (std::fclose(s.file) != 0) written = false;
        s.file = nullptr;
    }
    if (!written) {
        drop_everything(s);
        return end_with(DownloadOutcome::cannot_write);
    }
    // A part that several sources made is proven before it takes the
    // installer's name: what a failed digest blames is fetched again.
    if (s.record_active) {
        char hex[SHA256_HEX_SIZE];
        uint64_t size = 0;
        const bool read = sha256_file(s.part, hex, size);
        if (!read || size != s.release->size || !digest_text_matches(s.release->sha256, hex)) {
            if (s.progress_shown) out_printf("\n");
            s.progress_shown = false;
            out_printf(
                "   哈希不匹配 / Hash mismatch!\n   期望/Expected: %s\n   实际/Actual:   %s\n",
                s.release->sha256, read ? hex : "-");
            ByteRange blamed[MAX_HELD_RANGES];
            const int32_t count =
                s.repaired || !s.log_complete ? 0 : blamed_ranges(s.log, blamed, MAX_HELD_RANGES);
            if (count == 0) {
                drop_everything(s);
                if (s.part_record != nullptr) s.part_record->several_failed = true;
                return end_with(DownloadOutcome::failed);
            }
            out_line("   重新下载有误的部分 / Fetching the wrong ranges again");
            for (int32_t k = 0; k < s.log.check_count; ++k) {
                const OverlapCheck& check = s.log.checks[k];
                if (check.verdict == OverlapVerdict::differ ||
                    check.verdict == OverlapVerdict::unresolved) {
                    if (check.first >= 0) s.left[check.first] = true;
                    if (check.second >= 0) s.left[check.second] = true;
                }
                if (odd_node(check) >= 0) s.left[odd_node(check)] = true;
            }
            for (int32_t i = 0; i < count; ++i)
                remove_held_range(&s.held, blamed[i].start, blamed[i].end);
            s.repaired = true;
            s.started = true;
            if (!ensure_file(s) || !save_record(s)) return cannot_write(s);
            s.last_percentage = NO_PERCENTAGE_PRINTED;
            return GO_ON;
        }
    }
    if (!move_file_replacing(s.part, s.path)) {
        drop_everything(s);
        return end_with(DownloadOutcome::cannot_replace);
    }
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(s.path, side);
    std::remove(side);
    drop_held_ranges(s.record);
    out_printf("\n");
    return end_with(DownloadOutcome::complete);
}

Flow step(Split& s) {
    bool any_draining = false;
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c)
        any_draining = any_draining || draining(s, c);
    if (held_bytes(s.held) == s.release->size && !any_draining) return finish(s);
    if (open_count(s) == 0) {
        const Restart restarted = restart(s);
        if (restarted != Restart::started) {
            if (restarted == Restart::none_left && s.progress_shown) out_printf("\n");
            out_line(
                "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
                "switching...");
            return keep_part_and_end(s, DownloadOutcome::failed);
        }
    }
    StreamEvent e;
    if (!next_stream_event(&e)) return keep_part_and_end(s, DownloadOutcome::failed);
    const uint64_t now = tick_ms();
    if (e.stream == JUDGE_STREAM) return on_judge_event(s, e);
    measure(s, now);
    const int32_t c = e.stream;
    if (c < 0 || c >= MAX_CONNECTIONS || !s.connections[c].open) return GO_ON;
    Flow flow = GO_ON;
    if (e.kind == StreamEventKind::answered) {
        flow = on_answer(s, c, e.answer);
    } else if (e.kind == StreamEventKind::data) {
        flow = on_data(s, c, e, now);
        if (!flow.ended) draw_progress(s);
    } else {
        flow = on_end(s, c);
    }
    if (flow.ended) return flow;
    flow = maybe_add_helper(s);
    if (!flow.ended && s.helpers_joined != 0) start_spot_check(s);
    return flow;
}

}  // namespace

DownloadOutcome download_from_nodes(NetSession* session, const NodeTable& table, int32_t first,
                                    const ReleaseRecord& release, const char* path,
                                    bool leave_if_too_slow, bool left[MAX_NODES],
                                    PartRecord* part_record) {
    const MirrorNode& node = table.nodes[first];
    out_printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
    Split& s = g_split;
    std::memset(&s, 0, sizeof s);
    s.session = session;
    s.table = &table;
    s.release = &release;
    s.path = path;
    s.first_node = first;
    s.leave_if_too_slow = leave_if_too_slow;
    s.left = left;
    s.part_record = part_record;
    s.log_complete = true;
    s.alone.whole = release.size;
    // The node that starts is compared with each helper by that helper's
    // spot check.
    s.spot_checked[first] = true;
    s.last_percentage = NO_PERCENTAGE_PRINTED;
    s.last_helpers_shown = -1;
    compose_part_path(path, s.part);
    compose_part_ranges_path(path, s.record);
    if (part_record != nullptr) *part_record = PartRecord{};

    // What the part holds: the ranges of its record, or without one the
    // bytes from its front, when its digest names this release.
    start_held_ranges(&s.held, release);
    uint64_t part_bytes = 0;
    if (file_size(s.part, &part_bytes) && part_is_of_release(path, release)) {
        HeldRanges loaded;
        const HeldRecordCheck check = load_held_ranges(s.record, s.part, release, &loaded);
        if (check == HeldRecordCheck::valid) {
            s.held = loaded;
            s.record_active = true;
        } else if (check == HeldRecordCheck::absent && part_bytes < release.size) {
            add_held_range(&s.held, 0, part_bytes);
        } else if (check != HeldRecordCheck::absent) {
            drop_everything(s);
        }
    }

    for (;;) {
        const Flow flow = step(s);
        if (flow.ended) return flow.outcome;
    }
}
