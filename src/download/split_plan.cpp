// The plan of a download from several nodes; its rules are in split_plan.hpp.
// Every function here reads only its arguments.
#include "download/split_plan.hpp"

#include <cctype>
#include <cstring>

namespace {

const ByteRange NO_RANGE = {0, 0};

// The host of a URL: between "://" and the next '/', ':' or the end.
void host_of(const char* url, const char** begin, size_t* length) {
    const char* scheme_end = std::strstr(url, "://");
    const char* host = scheme_end != nullptr ? scheme_end + 3 : url;
    size_t n = 0;
    while (host[n] != '\0' && host[n] != '/' && host[n] != ':')
        ++n;
    *begin = host;
    *length = n;
}

bool same_host(const char* url_a, const char* url_b) {
    const char *a, *b;
    size_t length_a, length_b;
    host_of(url_a, &a, &length_a);
    host_of(url_b, &b, &length_b);
    if (length_a != length_b) return false;
    for (size_t i = 0; i < length_a; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool node_barred(const SplitView& view, int32_t node) {
    return view.barred != nullptr && view.barred[node];
}

uint64_t rest_of(const SplitConnection& c) {
    return c.open ? c.range.end - c.range.start - c.done : 0;
}

}  // namespace

int32_t writer_of(const SplitLog* log, const HeldRanges& held, uint64_t offset) {
    if (log != nullptr) {
        for (int32_t i = log->piece_count - 1; i >= 0; --i) {
            const WrittenPiece& piece = log->pieces[i];
            if (piece.range.start <= offset && offset < piece.range.end) return piece.node;
        }
    }
    for (int32_t i = 0; i < held.count; ++i) {
        if (held.ranges[i].start <= offset && offset < held.ranges[i].end) return EARLIER_RUN;
    }
    return NO_NODE;
}

int32_t next_helper_node(const SplitView& view) {
    for (int32_t i = 0; i < view.nodes->count; ++i) {
        const MirrorNode& node = view.nodes->nodes[i];
        if (!node.reachable || node_barred(view, i)) continue;
        bool host_busy = false;
        for (int c = 0; c < MAX_CONNECTIONS; ++c) {
            const SplitConnection& connection = view.connections[c];
            if (connection.open && same_host(view.nodes->nodes[connection.node].url, node.url))
                host_busy = true;
        }
        if (!host_busy) return i;
    }
    return NO_NODE;
}

namespace {

// The bytes neither held nor in an open connection's range: the largest such
// range (the first of equals) and the total of them all.
ByteRange largest_unassigned(const SplitView& view, uint64_t* total) {
    ByteRange missing[MAX_HELD_RANGES + 1];
    const int32_t count = missing_ranges(*view.held, missing, MAX_HELD_RANGES + 1);
    ByteRange best = NO_RANGE;
    *total = 0;
    for (int32_t m = 0; m < count; ++m) {
        // Walk the range from its start, skipping whatever a connection covers.
        uint64_t at = missing[m].start;
        while (at < missing[m].end) {
            uint64_t next_taken = missing[m].end;
            uint64_t taken_end = at;
            for (int c = 0; c < MAX_CONNECTIONS; ++c) {
                const SplitConnection& connection = view.connections[c];
                if (!connection.open || connection.range.end <= at) continue;
                if (connection.range.start <= at) {
                    if (connection.range.end > taken_end) taken_end = connection.range.end;
                } else if (connection.range.start < next_taken) {
                    next_taken = connection.range.start;
                }
            }
            if (taken_end > at) {
                at = taken_end;
                continue;
            }
            const ByteRange free_range = {at, next_taken};
            *total += free_range.end - free_range.start;
            if (free_range.end - free_range.start > best.end - best.start) best = free_range;
            at = next_taken;
        }
    }
    return best;
}

// The work for the connection in slot `taker` on node: an unassigned range,
// the back half of the largest outstanding one, or a straggler's rest.
SplitStep take_work(const SplitView& view, SplitMove move, int32_t taker, int32_t node,
                    uint64_t taker_rate) {
    SplitStep step = {};
    step.move = SplitMove::none;
    step.connection = taker;
    step.node = node;
    step.shortened = -1;
    step.check_with = NO_NODE;

    uint64_t unassigned_total = 0;
    const ByteRange free_range = largest_unassigned(view, &unassigned_total);
    if (free_range.end > free_range.start) {
        step.move = move;
        step.range = free_range;
        // Bytes another node wrote just before: fetch them again and compare.
        if (free_range.start >= CHECK_OVERLAP_BYTES) {
            const uint64_t from = free_range.start - CHECK_OVERLAP_BYTES;
            const int32_t writer = writer_of(view.log, *view.held, from);
            if (writer != NO_NODE && writer != node &&
                writer_of(view.log, *view.held, free_range.start - 1) == writer) {
                step.range.start = from;
                step.check = {from, free_range.start};
                step.check_with = writer;
            }
        }
        return step;
    }

    int32_t victim = -1;
    for (int c = 0; c < MAX_CONNECTIONS; ++c) {
        if (c == taker || rest_of(view.connections[c]) == 0) continue;
        if (victim < 0 || rest_of(view.connections[c]) > rest_of(view.connections[victim]))
            victim = c;
    }
    if (victim < 0) return step;
    const SplitConnection& v = view.connections[victim];
    const uint64_t at = v.range.start + v.done;
    const uint64_t rest = v.range.end - at;
    if (rest >= 2 * MIN_PIECE_BYTES) {
        const uint64_t middle = at + rest / 2;
        step.move = move;
        step.range = {middle - CHECK_OVERLAP_BYTES, v.range.end};
        step.shortened = victim;
        step.new_end = middle;
        step.check = {middle - CHECK_OVERLAP_BYTES, middle};
        step.check_with = v.node;
        return step;
    }
    // Too little to halve: taken whole when the straggler is far slower. A
    // taker not measured yet counts at the best rate measured on any
    // connection: a piece that ends before its rate is known must not leave
    // the last bytes to a trickle.
    if (taker_rate == 0 && move == SplitMove::take_range) {
        for (int c = 0; c < MAX_CONNECTIONS; ++c) {
            const SplitConnection& other = view.connections[c];
            const uint64_t r = other.rate != 0 ? other.rate : other.last_rate;
            if (c != victim && r > taker_rate) taker_rate = r;
        }
    }
    if (v.rate == 0 || taker_rate == 0 || taker_rate <= v.rate) return step;
    const uint64_t victim_ms = rest * 1000 / v.rate;
    const uint64_t taker_ms = rest * 1000 / taker_rate;
    if (victim_ms <= taker_ms + STRAGGLER_MARGIN_MS) return step;
    step.move = move;
    step.range = {at, v.range.end};
    step.shortened = victim;
    step.new_end = at;
    if (v.done >= CHECK_OVERLAP_BYTES && v.node != node) {
        step.range.start = at - CHECK_OVERLAP_BYTES;
        step.check = {at - CHECK_OVERLAP_BYTES, at};
        step.check_with = v.node;
    }
    return step;
}

}  // namespace

uint64_t still_needed_ms(const SplitView& view) {
    uint64_t outstanding = 0;
    largest_unassigned(view, &outstanding);
    uint64_t rate = 0;
    for (int c = 0; c < MAX_CONNECTIONS; ++c) {
        outstanding += rest_of(view.connections[c]);
        if (view.connections[c].open) rate += view.connections[c].rate;
    }
    if (rate == 0) return UNKNOWN_MS;
    return outstanding / rate * 1000 + outstanding % rate * 1000 / rate;
}

SplitStep plan_helper(const SplitView& view) {
    SplitStep none = {};
    none.move = SplitMove::none;
    none.shortened = -1;
    none.check_with = NO_NODE;
    int32_t free_slot = -1;
    for (int c = MAX_CONNECTIONS - 1; c >= 0; --c) {
        if (!view.connections[c].open) free_slot = c;
    }
    if (free_slot < 0) return none;
    const uint64_t needed = still_needed_ms(view);
    if (needed == UNKNOWN_MS || needed <= HELPERS_AFTER_MS) return none;
    const int32_t node = next_helper_node(view);
    if (node == NO_NODE) return none;
    return take_work(view, SplitMove::add_helper, free_slot, node, 0);
}

SplitStep plan_next_range(const SplitView& view, int32_t connection, int32_t node) {
    const SplitConnection& own = view.connections[connection];
    const uint64_t rate = own.rate != 0 ? own.rate : own.last_rate;
    return take_work(view, SplitMove::take_range, connection, node, own.node == node ? rate : 0);
}

bool connection_is_alone(const SplitView& view, int32_t connection) {
    for (int c = 0; c < MAX_CONNECTIONS; ++c) {
        if (c != connection && view.connections[c].open) return false;
    }
    return next_helper_node(view) == NO_NODE;
}

bool log_written(SplitLog* log, int32_t node, uint64_t start, uint64_t end) {
    // The bytes are this node's now, whoever wrote them before: the log
    // stays a map of the part's last writers, with no two pieces overlapping.
    bool complete = true;
    const int32_t count = log->piece_count;
    for (int32_t i = 0; i < count; ++i) {
        WrittenPiece& piece = log->pieces[i];
        if (piece.range.end <= start || piece.range.start >= end) continue;
        if (piece.range.start < start && piece.range.end > end) {
            if (log->piece_count < MAX_SPLIT_PIECES) {
                log->pieces[log->piece_count++] = {{end, piece.range.end}, piece.node};
            } else {
                complete = false;  // the piece's tail is forgotten, never misnamed
            }
            piece.range.end = start;
        } else if (piece.range.start < start) {
            piece.range.end = start;
        } else if (piece.range.end > end) {
            piece.range.start = end;
        } else {
            piece.range.end = piece.range.start;  // emptied: removed below
        }
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < log->piece_count; ++i) {
        if (log->pieces[i].range.end > log->pieces[i].range.start)
            log->pieces[kept++] = log->pieces[i];
    }
    log->piece_count = kept;
    for (int32_t i = log->piece_count - 1; i >= 0; --i) {
        WrittenPiece& piece = log->pieces[i];
        if (piece.node == node && piece.range.end == start) {
            piece.range.end = end;
            return complete;
        }
    }
    if (log->piece_count == MAX_SPLIT_PIECES) return false;
    log->pieces[log->piece_count++] = {{start, end}, node};
    return complete;
}

void drop_node_bytes(SplitLog* log, HeldRanges* held, int32_t node) {
    int32_t kept = 0;
    for (int32_t i = 0; i < log->piece_count; ++i) {
        const WrittenPiece piece = log->pieces[i];
        if (piece.node == node) {
            remove_held_range(held, piece.range.start, piece.range.end);
        } else {
            log->pieces[kept++] = piece;
        }
    }
    log->piece_count = kept;
}
