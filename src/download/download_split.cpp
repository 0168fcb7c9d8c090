// Stage 3 from several nodes at once. The download starts at one node exactly
// as a download from one node does, writing the part from its front; while
// that node alone is enough nothing else happens and the transcript is the
// one node's. Beyond that, further reachable nodes join as helpers, each
// fetching a range, and the part is written at offsets. The record of the
// ranges held (held_ranges.hpp) stands beside the part from the moment the
// first helper joins, before any byte lands past the front, and follows the
// writes; so a run that ends at any moment leaves a part that the next run
// continues range by range.
//
// Every decision is the state machine's (split_machine.hpp): this file only
// carries out its commands (the streams of the transport, the part's writes
// and compares, the record, the lines) and hands it each event, on the
// caller's thread alone.
#include <cstdio>
#include <cstring>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "download/split_machine.hpp"
#include "download/split_plan.hpp"
#include "os/os.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

namespace {

uint8_t g_compare_buffer[STREAM_BUFFER_BYTES];

// Events that carrying out a step's commands gives; a step gives few.
constexpr int MAX_PENDING_EVENTS = 16;

struct Loop {
    NetSession* session;
    const NodeTable* table;
    const ReleaseRecord* release;
    const char* path;
    char part[PART_PATH_SIZE];
    char record[PART_RANGES_PATH_SIZE];
    FILE* file;
    const uint8_t* data[MAX_STREAMS];  // each stream's buffer of its last data event
    char hex[SHA256_HEX_SIZE];         // the part's digest, for the mismatch line
    bool hex_read;
    SplitEvent pending[MAX_PENDING_EVENTS];
    int32_t pending_count;
    bool compared_out;  // compare commands ran in this step
    bool compared_same;
    bool finished;
    DownloadOutcome outcome;
};

// The whole state of one download, statics: the machine holds the record and
// the log, a few KiB that the stack of a small program had better not carry.
SplitState g_state;
Loop g_loop;

SplitEvent event_of(SplitEventKind kind, int32_t stream, bool ok) {
    SplitEvent e;
    std::memset(&e, 0, sizeof e);
    e.kind = kind;
    e.stream = stream;
    e.ok = ok;
    e.now_ms = tick_ms();
    return e;
}

void queue(Loop& l, const SplitEvent& e) {
    if (l.pending_count < MAX_PENDING_EVENTS) l.pending[l.pending_count++] = e;
}

const char* label_of(const Loop& l, int32_t node) {
    return node >= 0 ? l.table->nodes[node].label : "";
}

void print_line(Loop& l, const SplitCommand& c) {
    if (c.newline) out_printf("\n");
    const char* label = label_of(l, c.node);
    switch (c.what) {
        case SplitLine::helper_added:
            out_printf("   加入辅助节点 / Helper added: %s\n", label);
            break;
        case SplitLine::helper_dropped:
            out_printf("   辅助节点已停用 / Helper dropped: %s\n", label);
            break;
        case SplitLine::node_dropped:
            out_printf("   节点已停用 / Node dropped: %s\n", label);
            break;
        case SplitLine::node_differs:
            out_printf(
                "   节点内容与其他节点不同, 留作后备 / Node serves other bytes, kept in "
                "reserve: %s\n",
                label);
            break;
        case SplitLine::asked_again:
            print_asked_again(c.total);
            break;
        case SplitLine::resuming:
            print_resuming(c.total);
            break;
        case SplitLine::hash_mismatch:
            out_printf(
                "   哈希不匹配 / Hash mismatch!\n   期望/Expected: %s\n   实际/Actual:   %s\n",
                l.release->sha256, l.hex_read ? l.hex : "-");
            break;
        case SplitLine::next_class:
            out_printf(
                "   改由其他节点重新下载 / Fetching the file again from the nodes in reserve: "
                "%s\n",
                label);
            break;
        case SplitLine::node_failed:
            out_line(
                "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, "
                "switching...");
            break;
        case SplitLine::node_too_slow:
            out_line("\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...");
            break;
    }
}

void draw_progress(Loop& l, const SplitCommand& c, int32_t first_node) {
    char label[96];
    if (c.helpers == 0) {
        std::snprintf(label, sizeof label, "%s", label_of(l, first_node));
    } else {
        std::snprintf(label, sizeof label, "%s +%d", label_of(l, first_node),
                      static_cast<int>(c.helpers));
    }
    print_progress(label, c.percentage, c.total, l.release->size);
}

// The part and everything beside it go: the digest first, so that a part
// whose delete fails is never continued, and the record last, so that a part
// with holes never stands without the record that tells them.
void drop_everything(Loop& l) {
    if (l.file != nullptr) std::fclose(l.file);
    l.file = nullptr;
    char side[PART_DIGEST_PATH_SIZE];
    compose_part_digest_path(l.path, side);
    std::remove(side);
    delete_file(l.part);
    drop_held_ranges(l.record);
}

// Opens the part for writing at offsets: a fresh one is marked with its
// release before its first byte and emptied.
bool open_part(Loop& l, bool fresh) {
    if (l.file != nullptr) std::fclose(l.file);
    l.file = nullptr;
    if (fresh) {
        if (!mark_part_release(l.path, *l.release)) return false;
        l.file = open_file(l.part, "w+b");
    } else {
        l.file = open_file(l.part, "r+b");
    }
    // Before any write at an offset: a gap stays a hole instead of being
    // filled with zeros inside the write (see allow_sparse_writes). Where the
    // file system cannot, the writes are merely slower.
    if (l.file != nullptr) (void)allow_sparse_writes(l.file);
    return l.file != nullptr;
}

// Compares the bytes of the part at offset with data; a read error counts
// as a difference.
bool part_has(Loop& l, uint64_t offset, const uint8_t* data, uint32_t count) {
    if (l.file == nullptr || std::fflush(l.file) != 0 || !seek_file(l.file, offset)) return false;
    if (std::fread(g_compare_buffer, 1, count, l.file) != count) return false;
    return std::memcmp(g_compare_buffer, data, count) == 0;
}

void carry_out(Loop& l, SplitState& s, const SplitCommand& c) {
    switch (c.kind) {
        case SplitCommandKind::start:
            if (!start_stream(l.session, c.stream, l.table->nodes[c.node].url, c.first, c.end))
                queue(l, event_of(SplitEventKind::ended, c.stream, false));
            break;
        case SplitCommandKind::resume:
            resume_stream(c.stream);
            break;
        case SplitCommandKind::stop:
            stop_stream(c.stream);
            break;
        case SplitCommandKind::write: {
            const uint8_t* data = l.data[c.stream] + c.from;
            if (l.file == nullptr || !seek_file(l.file, c.offset) ||
                std::fwrite(data, 1, c.count, l.file) != c.count)
                queue(l, event_of(SplitEventKind::wrote, c.stream, false));
            break;
        }
        case SplitCommandKind::compare:
            l.compared_same =
                part_has(l, c.offset, l.data[c.stream] + c.from, c.count) && l.compared_same;
            l.compared_out = true;
            break;
        case SplitCommandKind::open_part:
            if (!open_part(l, c.fresh)) queue(l, event_of(SplitEventKind::wrote, -1, false));
            break;
        case SplitCommandKind::save_record: {
            // Steps 1 to 3 of the record's protocol: the part's bytes out of
            // the program's buffers, then the record that claims them.
            const bool saved =
                l.file != nullptr && std::fflush(l.file) == 0 && save_held_ranges(l.record, s.held);
            queue(l, event_of(SplitEventKind::saved, -1, saved));
            break;
        }
        case SplitCommandKind::drop_record:
            drop_held_ranges(l.record);
            break;
        case SplitCommandKind::close_part: {
            // Buffered bytes reach the disk only here: a full disk may show itself now.
            const bool closed = l.file == nullptr || std::fclose(l.file) == 0;
            l.file = nullptr;
            queue(l, event_of(SplitEventKind::closed, -1, closed));
            break;
        }
        case SplitCommandKind::drop_part:
            drop_everything(l);
            break;
        case SplitCommandKind::hash_part: {
            uint64_t size = 0;
            l.hex_read = sha256_file(l.part, l.hex, size);
            const bool ok = l.hex_read && size == l.release->size &&
                            digest_text_matches(l.release->sha256, l.hex);
            queue(l, event_of(SplitEventKind::hashed, -1, ok));
            break;
        }
        case SplitCommandKind::place_part: {
            const bool placed = move_file_replacing(l.part, l.path);
            if (placed) {
                char side[PART_DIGEST_PATH_SIZE];
                compose_part_digest_path(l.path, side);
                std::remove(side);
                out_printf("\n");
            }
            // Whole (and proven, when several nodes made it), the part stays
            // with its digest when it cannot take the installer's name; without
            // its record the next run takes it for whole, places it and checks
            // it, instead of fetching again what a record saved before its
            // last bytes would call missing.
            drop_held_ranges(l.record);
            queue(l, event_of(SplitEventKind::placed, -1, placed));
            break;
        }
        case SplitCommandKind::line:
            print_line(l, c);
            break;
        case SplitCommandKind::progress:
            draw_progress(l, c, s.first_node);
            break;
        case SplitCommandKind::finish:
            l.finished = true;
            l.outcome = c.outcome;
            break;
    }
}

SplitCommands g_commands;

// Hands the machine one event and carries out its commands, then the events
// those gave, until none is left.
void feed(Loop& l, SplitState& s, const SplitEvent& first) {
    l.pending_count = 0;
    queue(l, first);
    int32_t next = 0;
    while (next < l.pending_count && !l.finished) {
        const SplitEvent e = l.pending[next++];
        split_step(&s, e, &g_commands);
        l.compared_out = false;
        l.compared_same = true;
        for (int32_t i = 0; i < g_commands.count; ++i)
            carry_out(l, s, g_commands.items[i]);
        if (l.compared_out) queue(l, event_of(SplitEventKind::compared, -1, l.compared_same));
        if (next == l.pending_count) {
            l.pending_count = 0;
            next = 0;
        }
    }
}

SplitEvent event_of_stream(const StreamEvent& e) {
    SplitEvent out = event_of(SplitEventKind::ended, e.stream, false);
    if (e.kind == StreamEventKind::answered) {
        out.kind = SplitEventKind::answered;
        out.answer = e.answer;
    } else if (e.kind == StreamEventKind::data) {
        out.kind = SplitEventKind::data;
        out.count = e.count;
    } else {
        out.complete = e.complete;
    }
    return out;
}

}  // namespace

DownloadOutcome download_from_nodes(NetSession* session, const NodeTable& table, int32_t first,
                                    const ReleaseRecord& release, const char* path,
                                    bool leave_if_too_slow, NodeStanding standing[MAX_NODES],
                                    PartRecord* part_record) {
    const MirrorNode& node = table.nodes[first];
    out_printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
    Loop& l = g_loop;
    std::memset(&l, 0, sizeof l);
    l.session = session;
    l.table = &table;
    l.release = &release;
    l.path = path;
    compose_part_path(path, l.part);
    compose_part_ranges_path(path, l.record);
    if (part_record != nullptr) *part_record = PartRecord{};

    SplitState& s = g_state;
    start_split(&s, table, first, release.size, release.sha256, leave_if_too_slow,
                part_record != nullptr, standing);
    // What the part holds: the ranges of its record, or without one the
    // bytes from its front, when its digest names this release.
    uint64_t part_bytes = 0;
    if (file_size(l.part, &part_bytes) && part_is_of_release(path, release)) {
        HeldRanges loaded;
        const HeldRecordCheck check = load_held_ranges(l.record, l.part, release, &loaded);
        if (check == HeldRecordCheck::valid) {
            s.held = loaded;
            s.record_active = true;
        } else if (check == HeldRecordCheck::absent && part_bytes < release.size) {
            add_held_range(&s.held, 0, part_bytes);
        } else if (check != HeldRecordCheck::absent) {
            drop_everything(l);
        }
    }

    feed(l, s, event_of(SplitEventKind::begin, -1, true));
    while (!l.finished) {
        StreamEvent e;
        if (!next_stream_event(&e)) {
            feed(l, s, event_of(SplitEventKind::stalled, -1, false));
            continue;
        }
        if (e.kind == StreamEventKind::data && e.stream >= 0 && e.stream < MAX_STREAMS)
            l.data[e.stream] = e.data;
        feed(l, s, event_of_stream(e));
    }
    if (l.file != nullptr) std::fclose(l.file);
    l.file = nullptr;
    for (int32_t i = 0; i < MAX_NODES; ++i) {
        const NodeStanding found = split_standing(s, i);
        standing[i] = found == NodeStanding::reserve ? NodeStanding::usable : found;
    }
    if (part_record != nullptr) {
        part_record->wrote = s.wrote;
        part_record->appended = s.appended;
        part_record->several_failed = s.several_failed;
    }
    return l.outcome;
}
