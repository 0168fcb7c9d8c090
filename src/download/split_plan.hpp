// Which node fetches which range next, when a download takes more than one
// node: pure functions of the record of what is held, the ranked node table,
// each connection's range, progress and recent rate, and the log of who wrote
// what and which overlaps were compared. They never read a clock, a file or
// the network, so every choice is a row of a table in the unit tests; the run
// applies the steps they return behind the transport and OS seams.
//
// The rules: a download starts at the best node. Helpers join, in rank order,
// only when the bytes outstanding would still take more than HELPERS_AFTER_MS
// at the recent rate; at most one connection per host, at most
// MAX_CONNECTIONS in all. A new helper, and a connection whose range is done,
// takes a range nobody fetches when there is one, else the back half of the
// largest range still outstanding; a straggler's rest is taken whole by a
// faster connection. A connection that goes leaves its rest unassigned, and
// the next step gives it to another. Every range that starts next to bytes of
// another node starts CHECK_OVERLAP_BYTES early, so those bytes are fetched
// twice and compared: a mirror that serves another file of the same size is
// caught there. A compare only sorts nodes into classes that serve different
// files (split_machine.hpp); the digest alone says which class is right.
#pragma once

#include <cstdint>

#include "download/held_ranges.hpp"
#include "records.hpp"

// Four connections fill a link several times faster than one mirror's limit
// per client, and stay few enough for a mirror that counts each connection
// as a new client.
constexpr int MAX_CONNECTIONS = 4;
// Helpers only when the rest would take longer than this at the recent rate.
// A helper costs a connection, a TLS handshake with a mirror that may be far
// away (half a second and more, longer under Wine) and TCP's slow start;
// below about three seconds that eats most of what it could save, and a
// download that one node finishes this fast keeps today's transcript.
constexpr uint64_t HELPERS_AFTER_MS = 3000;
// No range is split into halves smaller than this: a request for less is
// dominated by its round trips and slow start (at 2.5 MB/s a MiB takes 0.4 s,
// about the cost of one new request), and 1 MiB pieces keep the record of a
// release of any size far below MAX_HELD_RANGES ranges at a time.
constexpr uint64_t MIN_PIECE_BYTES = 1048576;
// Bytes fetched twice where a range meets another node's, and compared:
// 64 KiB is one transfer buffer, under 0.3 % of a 24 MiB release per helper,
// and two different files of the same size almost never agree on it.
constexpr uint64_t CHECK_OVERLAP_BYTES = 65536;
// A faster connection takes a straggler's whole rest (less than two pieces)
// when it would finish it this much sooner than the straggler.
constexpr uint64_t STRAGGLER_MARGIN_MS = 1000;
constexpr int MAX_SPLIT_PIECES = 128;
constexpr int MAX_SPLIT_CHECKS = 32;
constexpr uint64_t UNKNOWN_MS = ~static_cast<uint64_t>(0);

struct SplitConnection {
    bool open;
    int32_t node;     // index in the ranked table
    ByteRange range;  // what it fetches, from range.start on
    uint64_t done;    // bytes of it written
    uint64_t rate;    // recent bytes per second; 0 while not measured
    // The node's rate on its range before this one, when this one is not
    // measured yet: a fast node that finishes a short piece stays fast.
    uint64_t last_rate;
};

// Bytes that one node wrote, or the record of an earlier run held.
struct WrittenPiece {
    ByteRange range;
    int32_t node;  // or EARLIER_RUN
};

enum class OverlapVerdict {
    pending,  // not both fetched yet
    agree,
    differ,
};

// Bytes that two nodes fetched both.
struct OverlapCheck {
    ByteRange range;
    int32_t first;   // the node whose bytes were there first (or EARLIER_RUN)
    int32_t second;  // the node whose range starts early
    OverlapVerdict verdict;
};

struct SplitLog {
    int32_t piece_count;
    WrittenPiece pieces[MAX_SPLIT_PIECES];
    int32_t check_count;
    OverlapCheck checks[MAX_SPLIT_CHECKS];
};

// What a decision looks at.
struct SplitView {
    const HeldRanges* held;
    const NodeTable* nodes;              // ranked: the best first
    const bool* barred;                  // per node: may not fetch now; nullptr: none
    const SplitConnection* connections;  // MAX_CONNECTIONS slots
    const SplitLog* log;                 // nullptr: nothing written or compared yet
};

enum class SplitMove { none, add_helper, take_range };

struct SplitStep {
    SplitMove move;
    int32_t connection;  // the slot that fetches range: a free one for a helper
    int32_t node;
    ByteRange range;
    int32_t shortened;  // the connection whose range now ends at new_end; -1 when none
    uint64_t new_end;
    ByteRange check;     // the front of range, fetched twice and compared; empty when none
    int32_t check_with;  // the node whose bytes check is compared with
};

// The time the outstanding bytes would take at the open connections' recent
// rates together; UNKNOWN_MS while no rate is measured.
uint64_t still_needed_ms(const SplitView& view);

// The node whose bytes the part holds at offset, by the log; EARLIER_RUN for
// a held byte the log does not name, NO_NODE for a byte not held.
int32_t writer_of(const SplitLog* log, const HeldRanges& held, uint64_t offset);

// The first node in rank order that may open a connection: reachable, not
// barred, and of a host that no open connection uses; NO_NODE when none.
int32_t next_helper_node(const SplitView& view);

// Whether to add a helper now, and what it fetches.
SplitStep plan_helper(const SplitView& view);

// The next range of the connection in that slot, on node: a connection whose
// range is done, or the first one of a download (its slot free). none: it
// has nothing left to take.
SplitStep plan_next_range(const SplitView& view, int32_t connection, int32_t node);

// A connection that no other can ever help keeps the slow-node rule of a
// download from one node: the only one open, and no helper left to add.
bool connection_is_alone(const SplitView& view, int32_t connection);

// Drops the node's bytes from the record and the log, to be fetched again.
void drop_node_bytes(SplitLog* log, HeldRanges* held, int32_t node);

// Records that node wrote [start, end), merged with its own piece just before
// and taken out of every piece that held those bytes before: the log names
// the last writer of each byte. False when the log is full (some bytes then
// are named by no piece, never by a wrong one).
bool log_written(SplitLog* log, int32_t node, uint64_t start, uint64_t end);
