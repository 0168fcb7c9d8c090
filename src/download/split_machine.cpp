// The download from several nodes as a pure state machine; its rules are in
// split_machine.hpp. Every function here reads only the state and the event.
#include "download/split_machine.hpp"

#include <cstring>

namespace {

constexpr uint64_t NO_PERCENTAGE = ~static_cast<uint64_t>(0);

void empty_held(HeldRanges* held, const char* sha256, uint64_t size) {
    char digest[HELD_DIGEST_LENGTH + 1];
    std::memcpy(digest, sha256, sizeof digest - 1);
    digest[HELD_DIGEST_LENGTH] = '\0';
    std::memset(held, 0, sizeof *held);
    std::memcpy(held->sha256, digest, sizeof digest);
    held->size = size;
}

SplitCommand command(SplitCommandKind kind) {
    SplitCommand c;
    std::memset(&c, 0, sizeof c);
    c.kind = kind;
    return c;
}

void push(SplitCommands* out, const SplitCommand& c) {
    if (out->count < MAX_SPLIT_COMMANDS) out->items[out->count++] = c;
}

void stream_command(SplitCommands* out, SplitCommandKind kind, int32_t stream) {
    SplitCommand c = command(kind);
    c.stream = stream;
    push(out, c);
}

// A line of its own; with newline, under the progress line, which is drawn
// again after it.
void line(SplitState* s, SplitCommands* out, SplitLine what, int32_t node, bool newline) {
    SplitCommand c = command(SplitCommandKind::line);
    c.what = what;
    c.node = node;
    c.newline = newline;
    c.total = held_bytes(s->held);
    push(out, c);
    s->progress_shown = false;
    s->last_percentage = NO_PERCENTAGE;
}

void event_line(SplitState* s, SplitCommands* out, SplitLine what, int32_t node) {
    line(s, out, what, node, s->progress_shown);
}

bool fetching(const Connection& k) {
    return k.phase == ConnectionPhase::asked || k.phase == ConnectionPhase::fetching;
}

int32_t fetching_count(const SplitState* s) {
    int32_t n = 0;
    for (const Connection& k : s->connections)
        n += fetching(k) ? 1 : 0;
    return n;
}

bool barred(const SplitState* s, int32_t node) {
    if (s->standing[node] != NodeStanding::usable) return true;
    const int32_t cls = s->node_class[node];
    return cls != NO_CLASS && cls != s->active_class;
}

// What the plan looks at, built afresh for each decision.
struct Plan {
    bool barred[MAX_NODES];
    SplitConnection connections[MAX_CONNECTIONS];
    SplitView view;
};

void make_plan(const SplitState* s, Plan* p) {
    for (int32_t i = 0; i < MAX_NODES; ++i)
        p->barred[i] = barred(s, i);
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        p->connections[c] = s->connections[c].plan;
        p->connections[c].open = fetching(s->connections[c]);
    }
    p->view = SplitView{&s->held, s->table, p->barred, p->connections, &s->log};
}

// The held bytes whose last writer in this download is a node of `in`, by
// the log; nothing when the log lost track.
void claimed_by(const SplitState* s, const bool in[MAX_NODES], HeldRanges* out) {
    *out = s->held;
    out->count = 0;
    if (!s->log_complete) return;
    const SplitLog& log = s->log;
    for (int32_t i = 0; i < log.piece_count; ++i) {
        const WrittenPiece& p = log.pieces[i];
        if (p.node >= 0 && in[p.node]) add_held_range(out, p.range.start, p.range.end);
    }
    ByteRange missing[MAX_HELD_RANGES + 1];
    const int32_t count = missing_ranges(s->held, missing, MAX_HELD_RANGES + 1);
    if (count > MAX_HELD_RANGES + 1) {
        out->count = 0;
        return;
    }
    for (int32_t i = 0; i < count; ++i)
        remove_held_range(out, missing[i].start, missing[i].end);
}

void class_members(const SplitState* s, int32_t cls, bool in[MAX_NODES]) {
    for (int32_t i = 0; i < MAX_NODES; ++i)
        in[i] = s->node_class[i] == cls;
}

void stop_connection(SplitCommands* out, Connection& k, int32_t c) {
    if (fetching(k)) stream_command(out, SplitCommandKind::stop, c);
    k.phase = ConnectionPhase::free;
    k.plan.open = false;
}

void stop_everything(SplitState* s, SplitCommands* out) {
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c)
        stop_connection(out, s->connections[c], c);
    if (s->check.active) stream_command(out, SplitCommandKind::stop, CHECK_STREAM);
    s->check.active = false;
}

void finish(SplitState* s, SplitCommands* out, DownloadOutcome outcome) {
    SplitCommand c = command(SplitCommandKind::finish);
    c.outcome = outcome;
    push(out, c);
    s->ended = true;
}

void on_closed(SplitState* s, SplitCommands* out, bool ok);

// Stops every stream, brings the record up to date and closes the part; the
// closed event ends the download with outcome or, with to_check, goes on to
// the whole file's digest.
void close_and_end(SplitState* s, SplitCommands* out, DownloadOutcome outcome, bool to_check) {
    stop_everything(s, out);
    s->closing = true;
    s->closing_to_check = to_check;
    s->closing_outcome = outcome;
    if (!s->file_open) {
        on_closed(s, out, true);
        return;
    }
    if (s->record_active) {
        push(out, command(SplitCommandKind::save_record));
        s->save_wanted = false;
        s->unrecorded_bytes = 0;
    }
    push(out, command(SplitCommandKind::close_part));
    s->file_open = false;
}

void cannot_write(SplitState* s, SplitCommands* out) {
    stop_everything(s, out);
    push(out, command(SplitCommandKind::drop_part));
    s->file_open = false;
    s->record_active = false;
    s->save_wanted = false;
    finish(s, out, DownloadOutcome::cannot_write);
}

void open_part(SplitState* s, SplitCommands* out, bool fresh) {
    SplitCommand c = command(SplitCommandKind::open_part);
    c.fresh = fresh;
    push(out, c);
    s->file_open = true;
}

void start_connection(SplitState* s, SplitCommands* out, int32_t c, int32_t node, ByteRange range,
                      uint64_t asked_first, uint64_t asked_end, bool helper, uint64_t now) {
    Connection& k = s->connections[c];
    const uint64_t last_rate =
        k.plan.node == node ? (k.plan.rate != 0 ? k.plan.rate : k.plan.last_rate) : 0;
    std::memset(&k, 0, sizeof k);
    k.phase = ConnectionPhase::asked;
    k.plan = SplitConnection{true, node, range, 0, 0, last_rate};
    k.asked_first = asked_first;
    k.asked_end = asked_end;
    k.helper = helper;
    k.start_ms = k.mark_ms = k.next_ms = now;
    SplitCommand cmd = command(SplitCommandKind::start);
    cmd.stream = c;
    cmd.node = node;
    cmd.first = asked_first;
    cmd.end = asked_end;
    push(out, cmd);
}

// A step of the plan: a connection shortened, a check logged, the range asked.
void apply_step(SplitState* s, SplitCommands* out, const SplitStep& step, bool helper,
                uint64_t now) {
    if (step.shortened >= 0) {
        Connection& victim = s->connections[step.shortened];
        victim.plan.range.end = step.new_end;
        // A straggler's rest taken whole: the node is dropped as a helper.
        if (step.new_end <= victim.plan.range.start + victim.plan.done) {
            s->standing[victim.plan.node] = NodeStanding::dropped;
            stop_connection(out, victim, step.shortened);
        }
    }
    if (step.check.end > step.check.start && s->log.check_count < MAX_SPLIT_CHECKS) {
        s->log.checks[s->log.check_count++] =
            OverlapCheck{step.check, step.check_with, step.node, OverlapVerdict::pending};
    }
    start_connection(s, out, step.connection, step.node, step.range, step.range.start,
                     step.range.end, helper, now);
}

// Saving the record follows the step's writes; the first save is asked for
// here and the record counts only once it stands.
void want_record(SplitState* s, SplitCommands* out) {
    if (s->record_active || s->record_asked) return;
    if (held_bytes(s->held) < s->record_retry_at) return;
    if (!s->file_open) open_part(s, out, held_bytes(s->held) == 0);
    s->record_asked = true;
    s->save_wanted = true;
}

// ---------------------------------------------------------------------------
// Classes.

int32_t class_size(const SplitState* s, int32_t cls) {
    int32_t n = 0;
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == cls && s->confirmed[i] &&
            s->standing[i] != NodeStanding::class_failed && s->standing[i] != NodeStanding::dropped)
            ++n;
    }
    return n;
}

int32_t best_of_class(const SplitState* s, int32_t cls) {
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == cls && s->standing[i] != NodeStanding::class_failed) return i;
    }
    return NO_NODE;
}

// The class that waits in reserve: the best-ranked node's of those that
// neither write nor failed, or NO_CLASS.
int32_t reserve_class(const SplitState* s) {
    for (int32_t i = 0; i < s->table->count; ++i) {
        const int32_t cls = s->node_class[i];
        if (s->standing[i] == NodeStanding::reserve && cls != NO_CLASS && cls != s->active_class &&
            (s->failed_classes & (1u << cls)) == 0)
            return cls;
    }
    return NO_CLASS;
}

// The bytes that the active class alone wrote stay held; the rest goes.
void keep_active_bytes(SplitState* s) {
    bool in[MAX_NODES];
    class_members(s, s->active_class, in);
    HeldRanges kept;
    claimed_by(s, in, &kept);
    s->held = kept;
    s->save_wanted = s->save_wanted || s->record_active;
}

// Sets the node aside in reserve: its connections stop, its bytes leave the record.
void to_reserve(SplitState* s, SplitCommands* out, int32_t node) {
    s->standing[node] = NodeStanding::reserve;
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        Connection& k = s->connections[c];
        if (k.phase != ConnectionPhase::free && k.plan.node == node) stop_connection(out, k, c);
    }
    if (s->check.active && s->check.node == node) {
        stream_command(out, SplitCommandKind::stop, CHECK_STREAM);
        s->check.active = false;
    }
    event_line(s, out, SplitLine::node_differs, node);
}

// The class cls writes the part from now on; every other writing node waits.
void make_active(SplitState* s, SplitCommands* out, int32_t cls) {
    const int32_t old = s->active_class;
    s->active_class = cls;
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == cls && s->standing[i] == NodeStanding::reserve)
            s->standing[i] = NodeStanding::usable;
    }
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == old && old != cls && s->confirmed[i] &&
            s->standing[i] == NodeStanding::usable)
            to_reserve(s, out, i);
    }
    // What the new class's nodes wrote stays; what nodes not compared yet
    // wrote goes with the old class's bytes.
    keep_active_bytes(s);
    // Nodes not confirmed in the new class belong to it until their own
    // compare says otherwise.
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == cls && s->confirmed[i]) continue;
        s->spot_checked[i] = false;
        if (s->standing[i] == NodeStanding::usable) {
            s->node_class[i] = cls;
            s->confirmed[i] = false;
        }
    }
    const int32_t founder = best_of_class(s, cls);
    if (founder != NO_NODE) s->spot_checked[founder] = true;
}

// A compare found the same bytes at both nodes.
void nodes_agree(SplitState* s, int32_t node, int32_t writer) {
    if (writer < 0) return;  // an earlier run's bytes say nothing of a class
    const int32_t cls = s->node_class[writer];
    if (cls == NO_CLASS || !s->confirmed[writer]) return;
    if (s->node_class[node] == NO_CLASS || !s->confirmed[node]) {
        s->node_class[node] = cls;
        s->confirmed[node] = true;
    }
}

// A compare found different bytes: the two nodes serve different files. The
// node joins the other side; the side with more confirmed nodes (the
// best-ranked one's on a tie) writes the part.
void nodes_differ(SplitState* s, SplitCommands* out, int32_t node, int32_t writer) {
    if (writer < 0) {
        // An earlier run's bytes: the record keeps only what this run wrote.
        keep_active_bytes(s);
        return;
    }
    s->classes_told_apart = true;
    // Against a writer not confirmed in its class, a difference does not say
    // which of the two the class serves: their own spot checks will.
    if (!s->confirmed[writer] || s->node_class[writer] != s->active_class) return;
    int32_t other = reserve_class(s);
    if (other == NO_CLASS) other = s->next_class++;
    s->node_class[node] = other;
    s->confirmed[node] = true;
    const int32_t mine = class_size(s, s->active_class);
    const int32_t theirs = class_size(s, other);
    const int32_t best_mine = best_of_class(s, s->active_class);
    const int32_t best_theirs = best_of_class(s, other);
    const bool switch_over = theirs > mine || (theirs == mine && best_theirs != NO_NODE &&
                                               (best_mine == NO_NODE || best_theirs < best_mine));
    if (switch_over) {
        s->standing[node] = NodeStanding::usable;
        make_active(s, out, other);
    } else {
        to_reserve(s, out, node);
        keep_active_bytes(s);
    }
}

// ---------------------------------------------------------------------------
// Progress.

int32_t helpers_working(const SplitState* s) {
    int32_t n = 0;
    for (const Connection& k : s->connections)
        n += fetching(k) && k.plan.node != s->first_node ? 1 : 0;
    return n;
}

void draw_progress(SplitState* s, SplitCommands* out) {
    const uint64_t total = held_bytes(s->held);
    const uint64_t percentage = percentage_of(total, s->size);
    const int32_t helpers = helpers_working(s);
    if (percentage == s->last_percentage && helpers == s->last_helpers_shown) return;
    s->last_percentage = percentage;
    s->last_helpers_shown = helpers;
    SplitCommand c = command(SplitCommandKind::progress);
    c.helpers = helpers;
    c.percentage = percentage;
    c.total = total;
    push(out, c);
    s->progress_shown = true;
}

// ---------------------------------------------------------------------------
// Connections.

void measure(SplitState* s, uint64_t now) {
    for (Connection& k : s->connections) {
        if (k.phase == ConnectionPhase::asked) {
            if (now - k.start_ms >= SILENT_MS) k.plan.rate = 1;
            continue;
        }
        if (k.phase != ConnectionPhase::fetching) continue;
        if (now - k.next_ms >= RATE_WINDOW_MS) {
            k.mark_ms = k.next_ms;
            k.mark_bytes = k.next_bytes;
            k.next_ms = now;
            k.next_bytes = k.answer_bytes;
        }
        if (now - k.answer_ms < RATE_FIRST_MS || now <= k.mark_ms) continue;
        const uint64_t rate = (k.answer_bytes - k.mark_bytes) * 1000 / (now - k.mark_ms);
        k.plan.rate = rate != 0 ? rate : 1;
    }
}

void keep_part_and_end(SplitState* s, SplitCommands* out, DownloadOutcome outcome) {
    close_and_end(s, out, outcome, false);
}

// A connection that failed or refused and is not asked again: alone at the
// start of a download it is a failed node, as in a download from one node;
// otherwise its node is dropped and its range goes back to the others.
void connection_fails(SplitState* s, SplitCommands* out, int32_t c) {
    Connection& k = s->connections[c];
    const int32_t node = k.plan.node;
    const bool helper = k.helper;
    stop_connection(out, k, c);
    if (s->helpers_joined == 0 && fetching_count(s) == 0) {
        s->standing[node] = NodeStanding::failed;
        line(s, out, SplitLine::node_failed, node, false);
        keep_part_and_end(s, out, DownloadOutcome::failed);
        return;
    }
    s->standing[node] = helper ? NodeStanding::dropped : NodeStanding::failed;
    event_line(s, out, helper ? SplitLine::helper_dropped : SplitLine::node_dropped, node);
}

// The node's answer broke after it brought bytes: the rest of its range is
// asked for again at once, on the same connection's slot.
void ask_again(SplitState* s, SplitCommands* out, int32_t c, uint64_t now) {
    Connection& k = s->connections[c];
    const uint64_t at = k.plan.range.start + k.plan.done;
    line(s, out, SplitLine::asked_again, k.plan.node, false);
    const uint32_t empty_asks = k.empty_asks;
    const ByteRange range = k.plan.range;
    const uint64_t done = k.plan.done;
    const uint64_t asked_end = k.asked_end;
    const bool helper = k.helper;
    start_connection(s, out, c, k.plan.node, range, at, asked_end, helper, now);
    k.plan.done = done;
    k.again = true;
    k.empty_asks = empty_asks;
}

// Whether the answer of connection c fits what it asked.
enum class Answer { accept, whole, refuse };

Answer judge_answer(const SplitState* s, const Connection& k, const StreamAnswer& a) {
    const uint64_t end = k.asked_end == STREAM_TO_END ? s->size : k.asked_end;
    const bool ranged = !(k.asked_first == 0 && k.asked_end == STREAM_TO_END);
    if (a.status == 200) {
        if (a.has_length && a.length != s->size) return Answer::refuse;
        return ranged ? Answer::whole : Answer::accept;
    }
    if (a.status != 206 || !ranged) return Answer::refuse;
    if (!a.has_range || a.range_first != k.asked_first || a.range_total != s->size)
        return Answer::refuse;
    if (a.has_length && a.length != end - k.asked_first) return Answer::refuse;
    return Answer::accept;
}

void on_answer(SplitState* s, SplitCommands* out, int32_t c, const StreamAnswer& answer,
               uint64_t now) {
    Connection& k = s->connections[c];
    if (k.phase != ConnectionPhase::asked) return;
    const Answer verdict = judge_answer(s, k, answer);
    if (verdict == Answer::refuse) {
        connection_fails(s, out, c);
        return;
    }
    if (verdict == Answer::whole) {
        // The whole file to a ranged request: the node that started, still
        // alone, replaces the part with it, as a download from one node does.
        // The part is emptied before its record goes, so that no part with
        // holes ever stands without the record that tells them.
        if (k.again || k.helper || s->helpers_joined != 0 || fetching_count(s) != 1) {
            connection_fails(s, out, c);
            return;
        }
        empty_held(&s->held, s->held.sha256, s->size);
        s->log.piece_count = 0;
        open_part(s, out, true);
        if (s->record_active || s->record_asked) push(out, command(SplitCommandKind::drop_record));
        s->record_active = false;
        s->record_asked = false;
        s->save_wanted = false;
        k.plan.range = ByteRange{0, s->size};
        k.plan.done = 0;
        k.asked_first = 0;
        k.asked_end = STREAM_TO_END;
    } else if (!k.again && !s->resume_said && held_bytes(s->held) != 0) {
        s->resumed = true;
        // Said only once a node has taken up the range.
        line(s, out, SplitLine::resuming, k.plan.node, false);
    }
    s->resume_said = true;
    if (!s->file_open) open_part(s, out, held_bytes(s->held) == 0 && !s->record_active);
    k.phase = ConnectionPhase::fetching;
    k.answer_ms = k.mark_ms = k.next_ms = now;
    k.answer_bytes = k.mark_bytes = k.next_bytes = 0;
    if (s->node_class[k.plan.node] == NO_CLASS) s->node_class[k.plan.node] = s->active_class;
    stream_command(out, SplitCommandKind::resume, c);
}

void note_compare(SplitState* s, int32_t stream, int32_t node, uint64_t at, uint32_t n) {
    if (!s->compare_out) {
        s->compare_out = true;
        s->compare_stream = stream;
        s->compare_node = node;
        s->compare_writer = writer_of(&s->log, s->held, at);
        s->compare_first = at;
    }
    s->compare_end = at + n;
}

// Takes count bytes at offset from the connection's buffer, from byte from:
// written where nothing is held, compared where something is.
void take_bytes(SplitState* s, SplitCommands* out, int32_t c, uint64_t offset, uint32_t from,
                uint32_t count) {
    const int32_t node = s->connections[c].plan.node;
    uint32_t done = 0;
    while (done < count) {
        const uint64_t at = offset + done;
        bool is_held = false;
        uint64_t stretch_end = offset + count;
        for (int32_t i = 0; i < s->held.count; ++i) {
            const ByteRange& r = s->held.ranges[i];
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
        SplitCommand cmd = command(is_held ? SplitCommandKind::compare : SplitCommandKind::write);
        cmd.stream = c;
        cmd.offset = at;
        cmd.from = from + done;
        cmd.count = n;
        push(out, cmd);
        if (is_held) {
            note_compare(s, c, node, at, n);
        } else {
            if (add_held_range(&s->held, at, at + n)) s->unrecorded_bytes += n;
            // A full record leaves the bytes unclaimed, fetched again: nothing
            // wrong is ever claimed.
            if (!log_written(&s->log, node, at, at + n)) s->log_complete = false;
            s->wrote = true;
            if (s->resumed || s->helpers_joined != 0) s->appended = true;
        }
        done += n;
    }
}

// A connection that asked for the rest of the file and has all of it: it is
// waited for until its body ends, since more bytes would show that it does
// not serve the release.
bool draining(const SplitState* s, const Connection& k) {
    return k.phase == ConnectionPhase::fetching && k.asked_end == STREAM_TO_END &&
           k.plan.range.end == s->size && k.plan.done == k.plan.range.end - k.plan.range.start;
}

void next_range(SplitState* s, SplitCommands* out, int32_t c, uint64_t now);

void on_data(SplitState* s, SplitCommands* out, int32_t c, uint32_t count, uint64_t now) {
    Connection& k = s->connections[c];
    if (k.phase != ConnectionPhase::fetching) return;
    const uint64_t at = k.plan.range.start + k.plan.done;
    const uint64_t rest = k.plan.range.end - at;
    // A body that runs past the release's size is not the release: none of
    // it reaches the disk. Alone, the node fails and the part goes, as in a
    // download from one node; beside helpers, its bytes go.
    if (k.asked_end == STREAM_TO_END && k.plan.range.end == s->size && count > rest) {
        const int32_t node = k.plan.node;
        const bool helper = k.helper;
        stop_connection(out, k, c);
        s->standing[node] = helper ? NodeStanding::dropped : NodeStanding::failed;
        if (s->helpers_joined == 0 && fetching_count(s) == 0) {
            line(s, out, SplitLine::node_failed, node, false);
            stop_everything(s, out);
            push(out, command(SplitCommandKind::drop_part));
            s->file_open = false;
            s->record_active = false;
            s->save_wanted = false;
            finish(s, out, DownloadOutcome::failed);
            return;
        }
        event_line(s, out, helper ? SplitLine::helper_dropped : SplitLine::node_dropped, node);
        drop_node_bytes(&s->log, &s->held, node);
        s->save_wanted = s->save_wanted || s->record_active;
        return;
    }
    const uint32_t n = count < rest ? count : static_cast<uint32_t>(rest);
    if (n > 0) take_bytes(s, out, c, at, 0, n);
    k.answer_bytes += n;
    k.plan.done += n;
    if (s->record_active && s->unrecorded_bytes >= RECORD_EVERY_BYTES) s->save_wanted = true;
    if (k.plan.done == k.plan.range.end - k.plan.range.start) {
        // A request that asked exactly this far ends by itself, and its
        // connection may serve the next range; one that asked to the end of
        // the file must end there too, or it was not the release.
        if (count == n && (k.asked_end == k.plan.range.end || draining(s, k))) {
            stream_command(out, SplitCommandKind::resume, c);
            return;
        }
        next_range(s, out, c, now);
        return;
    }
    // A node fetching alone keeps the slow-node rule of a download from one
    // node: before any helper joined, and again when it is the last one
    // fetching and no helper is left to add.
    const uint64_t total = held_bytes(s->held);
    const bool too_slow = total < s->size && s->alone.too_slow_at(total, now);
    if (s->leave_if_too_slow && too_slow) {
        Plan p;
        make_plan(s, &p);
        if (s->helpers_joined == 0 || connection_is_alone(p.view, c)) {
            line(s, out, SplitLine::node_too_slow, k.plan.node, false);
            keep_part_and_end(s, out, DownloadOutcome::too_slow);
            return;
        }
    }
    stream_command(out, SplitCommandKind::resume, c);
}

// The connection's range is done: it takes the next one, or waits idle for
// a straggler's rest while others fetch.
void next_range(SplitState* s, SplitCommands* out, int32_t c, uint64_t now) {
    Connection& k = s->connections[c];
    if (fetching(k)) stream_command(out, SplitCommandKind::stop, c);
    k.phase = ConnectionPhase::idle;
    k.plan.open = false;
    k.plan.last_rate = k.plan.rate != 0 ? k.plan.rate : k.plan.last_rate;
    k.plan.done = k.plan.range.end - k.plan.range.start;
    if (!s->record_active) return;
    Plan p;
    make_plan(s, &p);
    p.connections[c].open = true;  // its own range is done: it takes no share of it
    const SplitStep step = plan_next_range(p.view, c, k.plan.node);
    if (step.move == SplitMove::none || barred(s, k.plan.node)) return;
    apply_step(s, out, step, k.helper, now);
}

void on_end(SplitState* s, SplitCommands* out, int32_t c, uint64_t now) {
    Connection& k = s->connections[c];
    if (!fetching(k)) return;
    if (k.phase == ConnectionPhase::fetching &&
        k.plan.done == k.plan.range.end - k.plan.range.start) {
        next_range(s, out, c, now);
        return;
    }
    // A body that ended early, or a read that failed: the node is asked
    // again when its answer brought bytes (or was itself an answer to an ask
    // after a break), until it brings too little too often. An ask that gets
    // no answer at all gives the node up: it is gone for now, and waiting for
    // it again would cost a connect timeout each time.
    const bool answered = k.phase == ConnectionPhase::fetching;
    if (answered && (k.answer_bytes > 0 || k.again)) {
        if (k.answer_bytes < ANSWER_NEW_BYTES) {
            ++k.empty_asks;
        } else {
            k.empty_asks = 0;
        }
        if (k.empty_asks < static_cast<uint32_t>(QUIET_ANSWERS_IN_A_ROW)) {
            k.phase = ConnectionPhase::free;
            ask_again(s, out, c, now);
            return;
        }
    }
    connection_fails(s, out, c);
}

// ---------------------------------------------------------------------------
// Checks: each node that fetches is asked, once, at once, for 64 KiB that
// another node of the writing class wrote, in the check stream, one node at a
// time. The window's place comes from the release's digest: the front of two
// builds of one installer (the PE headers) is alike far more often than a
// place anywhere in the file.

bool pick_window(const SplitState* s, int32_t node, ByteRange* window, int32_t* with) {
    bool in[MAX_NODES];
    for (int32_t i = 0; i < MAX_NODES; ++i) {
        in[i] = i != node && s->node_class[i] == s->active_class && s->confirmed[i] &&
                s->standing[i] != NodeStanding::class_failed;
    }
    HeldRanges theirs;
    claimed_by(s, in, &theirs);
    uint64_t choices = 0;
    for (int32_t i = 0; i < theirs.count; ++i) {
        const uint64_t length = theirs.ranges[i].end - theirs.ranges[i].start;
        if (length >= CHECK_OVERLAP_BYTES) choices += length - CHECK_OVERLAP_BYTES + 1;
    }
    if (choices == 0) return false;
    uint64_t pick = s->window_seed % choices;
    for (int32_t i = 0; i < theirs.count; ++i) {
        const uint64_t length = theirs.ranges[i].end - theirs.ranges[i].start;
        if (length < CHECK_OVERLAP_BYTES) continue;
        const uint64_t here = length - CHECK_OVERLAP_BYTES + 1;
        if (pick < here) {
            window->start = theirs.ranges[i].start + pick;
            window->end = window->start + CHECK_OVERLAP_BYTES;
            *with = writer_of(&s->log, s->held, window->start);
            return true;
        }
        pick -= here;
    }
    return false;
}

void start_spot_check(SplitState* s, SplitCommands* out) {
    if (s->check.active || s->compare_out) return;
    for (const Connection& k : s->connections) {
        const int32_t node = k.plan.node;
        if (!fetching(k) || s->spot_checked[node] || s->confirmed[node]) continue;
        ByteRange window;
        int32_t with = NO_NODE;
        if (!pick_window(s, node, &window, &with)) continue;
        s->spot_checked[node] = true;
        s->check = PartCheck{true, node, with, window, window.start, true};
        s->check_done = false;
        SplitCommand c = command(SplitCommandKind::start);
        c.stream = CHECK_STREAM;
        c.node = node;
        c.first = window.start;
        c.end = window.end;
        push(out, c);
        return;
    }
}

void settle_spot_check(SplitState* s, SplitCommands* out) {
    const PartCheck check = s->check;
    s->check.active = false;
    s->check_done = false;
    if (s->standing[check.node] == NodeStanding::class_failed) return;
    if (check.same) {
        nodes_agree(s, check.node, check.with);
    } else {
        nodes_differ(s, out, check.node, check.with);
    }
}

void on_check_event(SplitState* s, SplitCommands* out, const SplitEvent& e) {
    PartCheck& check = s->check;
    if (!check.active) return;
    if (e.kind == SplitEventKind::answered) {
        const StreamAnswer& a = e.answer;
        if (a.status == 206 && a.has_range && a.range_first == check.range.start &&
            a.range_total == s->size &&
            (!a.has_length || a.length == check.range.end - check.range.start)) {
            stream_command(out, SplitCommandKind::resume, CHECK_STREAM);
            return;
        }
        // A check that cannot be made says nothing for or against anyone.
        stream_command(out, SplitCommandKind::stop, CHECK_STREAM);
        check.active = false;
        return;
    }
    if (e.kind == SplitEventKind::data) {
        uint32_t count = e.count;
        if (count > check.range.end - check.at)
            count = static_cast<uint32_t>(check.range.end - check.at);
        // Compared where the part still holds bytes.
        for (int32_t i = 0; i < s->held.count && count > 0; ++i) {
            const ByteRange& r = s->held.ranges[i];
            const uint64_t from = r.start > check.at ? r.start : check.at;
            const uint64_t to = r.end < check.at + count ? r.end : check.at + count;
            if (from >= to) continue;
            SplitCommand c = command(SplitCommandKind::compare);
            c.stream = CHECK_STREAM;
            c.offset = from;
            c.from = static_cast<uint32_t>(from - check.at);
            c.count = static_cast<uint32_t>(to - from);
            push(out, c);
            note_compare(s, CHECK_STREAM, check.node, from, c.count);
            s->compare_writer = check.with;
        }
        check.at += count;
        if (check.at < check.range.end) {
            stream_command(out, SplitCommandKind::resume, CHECK_STREAM);
            return;
        }
        // Only what was asked for is read, whatever the answer's headers say.
        stream_command(out, SplitCommandKind::stop, CHECK_STREAM);
        s->check_done = true;
        if (!s->compare_out) settle_spot_check(s, out);
        return;
    }
    // It ended before its range was read: nothing is said.
    check.active = false;
}

void on_compared(SplitState* s, SplitCommands* out, bool same) {
    if (!s->compare_out) return;
    s->compare_out = false;
    const int32_t node = s->compare_node;
    if (s->compare_stream == CHECK_STREAM) {
        if (!same) s->check.same = false;
        if (s->check_done && s->check.active) settle_spot_check(s, out);
        return;
    }
    // A range's overlap with bytes another node wrote.
    for (int32_t k = 0; k < s->log.check_count; ++k) {
        OverlapCheck& check = s->log.checks[k];
        if (check.verdict != OverlapVerdict::pending || check.second != node) continue;
        if (check.range.end <= s->compare_first || check.range.start >= s->compare_end) continue;
        if (!same) {
            check.verdict = OverlapVerdict::differ;
        } else if (s->compare_end >= check.range.end) {
            check.verdict = OverlapVerdict::agree;
            nodes_agree(s, node, check.first);
        }
    }
    if (!same && s->standing[node] == NodeStanding::usable) {
        nodes_differ(s, out, node, s->compare_writer);
    }
}

// ---------------------------------------------------------------------------
// The download as a whole.

void maybe_add_helper(SplitState* s, SplitCommands* out, uint64_t now) {
    if (!s->helpers_allowed) return;
    for (;;) {
        Plan p;
        make_plan(s, &p);
        const SplitStep step = plan_helper(p.view);
        if (step.move != SplitMove::add_helper) return;
        if (!s->record_active) {
            want_record(s, out);
            return;
        }
        event_line(s, out, SplitLine::helper_added, step.node);
        apply_step(s, out, step, true, now);
        ++s->helpers_joined;
    }
}

// Idle connections take a straggler's rest when the plan finds one for them.
void wake_idle(SplitState* s, SplitCommands* out, uint64_t now) {
    for (int32_t c = 0; c < MAX_CONNECTIONS; ++c) {
        Connection& k = s->connections[c];
        if (k.phase != ConnectionPhase::idle || barred(s, k.plan.node)) continue;
        Plan p;
        make_plan(s, &p);
        bool host_busy = false;
        for (int32_t o = 0; o < MAX_CONNECTIONS; ++o) {
            if (o != c && fetching(s->connections[o]) && s->connections[o].plan.node == k.plan.node)
                host_busy = true;
        }
        if (host_busy) continue;
        const SplitStep step = plan_next_range(p.view, c, k.plan.node);
        if (step.move == SplitMove::none) continue;
        apply_step(s, out, step, k.helper, now);
    }
}

// Starts a connection when none fetches but bytes are missing: at the node
// that starts the download, or after it went, at the next usable node; when
// the writing class has nobody left, the reserve takes over. False: nobody.
bool restart(SplitState* s, SplitCommands* out, uint64_t now) {
    if (!s->started) {
        s->started = true;
        const int32_t node = s->first_node;
        if (!s->record_active) {
            // As a download from one node: open-ended from the part's end,
            // without a Range header from byte 0.
            const uint64_t from = held_bytes(s->held);
            start_connection(s, out, 0, node, ByteRange{from, s->size}, from, STREAM_TO_END, false,
                             now);
            return true;
        }
        Plan p;
        make_plan(s, &p);
        const SplitStep step = plan_next_range(p.view, 0, node);
        if (step.move == SplitMove::none) return false;
        apply_step(s, out, step, false, now);
        return true;
    }
    for (int32_t round = 0; round < 2; ++round) {
        Plan p;
        make_plan(s, &p);
        const int32_t node = next_helper_node(p.view);
        if (node != NO_NODE) {
            int32_t slot = 0;
            for (int32_t c = MAX_CONNECTIONS - 1; c >= 0; --c) {
                if (!fetching(s->connections[c])) slot = c;
            }
            const SplitStep step = plan_next_range(p.view, slot, node);
            if (step.move == SplitMove::none) return false;
            apply_step(s, out, step, node != s->first_node, now);
            return true;
        }
        const int32_t reserve = reserve_class(s);
        if (reserve == NO_CLASS) return false;
        make_active(s, out, reserve);
    }
    return false;
}

// The file's digest failed. The writing class's bytes leave the record; a
// class in reserve completes the file. The failed class's nodes are left for
// the run only when the file was theirs alone.
void digest_failed(SplitState* s, SplitCommands* out) {
    s->closing = false;
    line(s, out, SplitLine::hash_mismatch, NO_NODE, s->progress_shown);
    // The file was the class's alone when every byte's last writer is a node
    // that a compare put in it; a node not compared yet leaves it unproven.
    const int32_t failed = s->active_class;
    bool in[MAX_NODES];
    for (int32_t i = 0; i < MAX_NODES; ++i)
        in[i] = s->node_class[i] == failed && s->confirmed[i];
    HeldRanges theirs;
    claimed_by(s, in, &theirs);
    const bool alone = held_bytes(theirs) == s->size;
    s->failed_classes |= 1u << failed;
    const int32_t next = reserve_class(s);
    if (next == NO_CLASS && !s->classes_told_apart) {
        // Nothing told the classes apart: the run fetches the file whole,
        // one node at a time, every node included.
        push(out, command(SplitCommandKind::drop_part));
        s->several_failed = true;
        finish(s, out, DownloadOutcome::failed);
        return;
    }
    for (int32_t i = 0; i < s->table->count; ++i) {
        if (s->node_class[i] == failed)
            s->standing[i] =
                alone && s->confirmed[i] ? NodeStanding::class_failed : NodeStanding::dropped;
    }
    if (next == NO_CLASS) {
        push(out, command(SplitCommandKind::drop_part));
        finish(s, out, DownloadOutcome::failed);
        return;
    }
    line(s, out, SplitLine::next_class, best_of_class(s, next), false);
    make_active(s, out, next);
    open_part(s, out, false);
    s->save_wanted = true;
}

void finish_download(SplitState* s, SplitCommands* out) {
    close_and_end(s, out, DownloadOutcome::complete, true);
}

void on_closed(SplitState* s, SplitCommands* out, bool ok) {
    if (!s->closing) return;
    if (!ok) {
        push(out, command(SplitCommandKind::drop_part));
        s->record_active = false;
        s->save_wanted = false;
        finish(s, out, DownloadOutcome::cannot_write);
        return;
    }
    if (!s->closing_to_check) {
        finish(s, out, s->closing_outcome);
        return;
    }
    // A part that several sources made is proven before it takes the
    // installer's name; the download stays closing until that is settled.
    if (s->record_active) {
        push(out, command(SplitCommandKind::hash_part));
    } else {
        push(out, command(SplitCommandKind::place_part));
    }
}

void advance(SplitState* s, SplitCommands* out, uint64_t now) {
    if (s->ended || s->closing) return;
    bool any_draining = false;
    for (const Connection& k : s->connections)
        any_draining = any_draining || draining(s, k);
    if (held_bytes(s->held) == s->size && !any_draining && !s->compare_out) {
        finish_download(s, out);
        return;
    }
    if (fetching_count(s) == 0) {
        if (!restart(s, out, now)) {
            line(s, out, SplitLine::node_failed, NO_NODE, s->progress_shown);
            keep_part_and_end(s, out, DownloadOutcome::failed);
            return;
        }
    }
    maybe_add_helper(s, out, now);
    wake_idle(s, out, now);
    if (s->helpers_joined != 0) start_spot_check(s, out);
}

uint64_t seed_of(const char* sha256) {
    uint64_t seed = 0;
    for (int i = 0; i < 16 && sha256[i] != '\0'; ++i) {
        const char ch = sha256[i];
        const uint64_t digit = ch >= '0' && ch <= '9'   ? static_cast<uint64_t>(ch - '0')
                               : ch >= 'a' && ch <= 'f' ? static_cast<uint64_t>(ch - 'a' + 10)
                               : ch >= 'A' && ch <= 'F' ? static_cast<uint64_t>(ch - 'A' + 10)
                                                        : 0;
        seed = seed << 4 | digit;
    }
    return seed;
}

}  // namespace

void start_split(SplitState* s, const NodeTable& table, int32_t first, uint64_t size,
                 const char* sha256, bool leave_if_too_slow, bool helpers_allowed,
                 const NodeStanding standing[MAX_NODES]) {
    std::memset(s, 0, sizeof *s);
    s->table = &table;
    s->size = size;
    s->first_node = first;
    s->leave_if_too_slow = leave_if_too_slow;
    s->helpers_allowed = helpers_allowed;
    empty_held(&s->held, sha256, size);
    s->log_complete = true;
    for (int32_t i = 0; i < MAX_NODES; ++i) {
        s->node_class[i] = NO_CLASS;
        // Classes are of one download; the rest the run remembers.
        s->standing[i] = standing[i] == NodeStanding::reserve ? NodeStanding::usable : standing[i];
    }
    s->standing[first] = NodeStanding::usable;
    s->active_class = 0;
    s->next_class = 1;
    s->node_class[first] = 0;
    s->confirmed[first] = true;
    // The node that starts is compared with each helper by that helper's
    // spot check.
    s->spot_checked[first] = true;
    s->window_seed = seed_of(sha256);
    s->alone.whole = size;
    s->last_percentage = NO_PERCENTAGE;
    s->last_helpers_shown = -1;
}

void split_step(SplitState* s, const SplitEvent& e, SplitCommands* out) {
    out->count = 0;
    if (s->ended) return;
    const uint64_t now = e.now_ms;
    switch (e.kind) {
        case SplitEventKind::begin:
            break;
        case SplitEventKind::answered:
        case SplitEventKind::data:
        case SplitEventKind::ended:
            if (e.stream == CHECK_STREAM) {
                on_check_event(s, out, e);
                break;
            }
            if (e.stream < 0 || e.stream >= MAX_CONNECTIONS) break;
            measure(s, now);
            if (e.kind == SplitEventKind::answered) {
                on_answer(s, out, e.stream, e.answer, now);
            } else if (e.kind == SplitEventKind::data) {
                on_data(s, out, e.stream, e.count, now);
                if (!s->ended && !s->closing) draw_progress(s, out);
            } else {
                on_end(s, out, e.stream, now);
            }
            break;
        case SplitEventKind::compared:
            on_compared(s, out, e.ok);
            break;
        case SplitEventKind::wrote:
            if (!e.ok) {
                cannot_write(s, out);
                return;
            }
            break;
        case SplitEventKind::closed:
            on_closed(s, out, e.ok);
            break;
        case SplitEventKind::saved:
            // A failed save leaves the old record, which is still true: it is
            // tried again later, and only a failed write of the part's bytes
            // ends the download.
            if (s->record_asked && !s->record_active) {
                s->record_asked = false;
                if (e.ok) {
                    s->record_active = true;
                } else {
                    s->record_retry_at = held_bytes(s->held) + RECORD_EVERY_BYTES;
                }
            } else if (!e.ok) {
                s->unrecorded_bytes = RECORD_EVERY_BYTES;
            }
            break;
        case SplitEventKind::stalled:
            line(s, out, SplitLine::node_failed, NO_NODE, false);
            keep_part_and_end(s, out, DownloadOutcome::failed);
            return;
        case SplitEventKind::hashed:
            if (e.ok) {
                push(out, command(SplitCommandKind::place_part));
                return;
            }
            digest_failed(s, out);
            break;
        case SplitEventKind::placed:
            // A whole part that cannot be placed is kept for the next run.
            finish(s, out, e.ok ? DownloadOutcome::complete : DownloadOutcome::cannot_replace);
            return;
    }
    advance(s, out, now);
    if (s->save_wanted && (s->record_active || s->record_asked) && s->file_open) {
        s->save_wanted = false;
        s->unrecorded_bytes = 0;
        push(out, command(SplitCommandKind::save_record));
    }
}

NodeStanding split_standing(const SplitState& s, int32_t node) {
    return s.standing[node];
}
