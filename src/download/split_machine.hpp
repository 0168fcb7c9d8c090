// The download from several nodes as a state machine that does no I/O: the
// loop in download_split.cpp feeds it one event at a time (a stream's answer,
// its bytes, its end, the result of a compare or of the part's digest) and
// carries out the commands it returns (start, resume or stop a stream, write
// or compare bytes at an offset, save the record, print a line, finish).
// Every judgement of the download is made here, so each one is a row of a
// table in the unit tests, with no clock, file or network.
//
// The digest is the only judge. Bytes that two nodes fetched both are
// compared, and a compare that differs says only that the two serve different
// files: the nodes fall into classes. One class at a time writes the part,
// the class with more nodes (the best-ranked node's on a tie); the other
// waits in reserve and takes no ranges, and the bytes of the class that does
// not go on leave the record. A file that fails its digest takes its class's
// bytes out of the record, and the reserve completes the file; the failed
// class's nodes are left for the run only when that file was theirs alone.
// When nothing told the classes apart, the part goes and the run fetches
// the file whole, one node at a time, every node included.
//
// A connection whose answer breaks after it brought bytes asks its node
// again, at once, for the rest of its range, by the rule of a download from
// one node (QUIET_ANSWERS_IN_A_ROW, ANSWER_NEW_BYTES in download.hpp); an ask
// that gets no answer, or a refused range, gives the node up.
#pragma once

#include <cstdint>

#include "download/download.hpp"
#include "download/held_ranges.hpp"
#include "download/split_plan.hpp"
#include "net/transport.hpp"
#include "records.hpp"

// The stream of the short requests that compare a node's bytes with the part.
constexpr int32_t CHECK_STREAM = MAX_CONNECTIONS;
static_assert(MAX_STREAMS > MAX_CONNECTIONS, "a stream for the checks");

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

enum class ConnectionPhase : uint8_t {
    free,      // no node
    asked,     // its request is out, no answer taken yet
    fetching,  // its answer was accepted; bytes come
    idle,      // its range is done and nothing was left to take; it may take a straggler's rest
};

struct Connection {
    ConnectionPhase phase;
    SplitConnection plan;  // node, range, bytes done, rate, as the plan sees them
    uint64_t asked_first;
    uint64_t asked_end;     // STREAM_TO_END: open-ended
    bool helper;            // its node is not the one that started the download
    bool again;             // its request asks again after a break
    uint32_t empty_asks;    // answers in a row after a break that brought too little
    uint64_t answer_bytes;  // body bytes of its current answer
    uint64_t start_ms;      // its request started
    uint64_t answer_ms;     // its answer was accepted
    uint64_t mark_ms, mark_bytes, next_ms, next_bytes;
};

// The short request that compares a node's bytes with the part's.
struct PartCheck {
    bool active;
    int32_t node;
    int32_t with;  // the node whose bytes the part holds there
    ByteRange range;
    uint64_t at;  // the next byte of range it sends
    bool same;
};

constexpr int32_t NO_CLASS = -1;

struct SplitState {
    const NodeTable* table;
    uint64_t size;
    int32_t first_node;
    bool leave_if_too_slow;
    bool helpers_allowed;  // the run keeps a record of the part (it may resume)

    HeldRanges held;
    SplitLog log;
    bool log_complete;  // every write is in the log, so a class's bytes can be taken out
    Connection connections[MAX_CONNECTIONS];
    PartCheck check;
    NodeStanding standing[MAX_NODES];
    int32_t node_class[MAX_NODES];  // NO_CLASS until a compare or a write says
    bool spot_checked[MAX_NODES];   // compared once with bytes another node wrote
    int32_t active_class;
    int32_t next_class;
    bool classes_told_apart;  // some compare differed in this download

    bool file_open;
    bool record_active;        // the record stands beside the part
    bool record_asked;         // its first save is out
    uint64_t record_retry_at;  // held bytes at which a failed first save is tried again
    bool save_wanted;          // the record is saved at the end of this step, after its writes
    uint64_t unrecorded_bytes;
    uint64_t window_seed;       // from the release's digest: where spot checks compare
    uint32_t failed_classes;    // a bit per class whose file failed the digest
    bool confirmed[MAX_NODES];  // its class was found by a compare, or it founded it

    // A compare handed to the loop whose result has not come back.
    bool compare_out;
    int32_t compare_stream;
    int32_t compare_node;
    int32_t compare_writer;
    uint64_t compare_first, compare_end;
    bool check_done;  // the check stream has read its range; it settles with the compare

    bool closing;                     // the part is being closed; then:
    bool closing_to_check;            // the whole file is checked and placed
    DownloadOutcome closing_outcome;  // or the download ends with this
    bool started;
    bool resume_said;
    bool resumed;  // it continues bytes that stood before it
    int32_t helpers_joined;
    RateWatch alone;  // the slow-node rule of a node fetching alone

    bool progress_shown;
    uint64_t last_percentage;
    int32_t last_helpers_shown;

    // What the run learns of the part.
    bool wrote;
    bool appended;
    bool several_failed;

    bool ended;
};

enum class SplitEventKind {
    begin,     // the download starts; held and record_active are set
    answered,  // a stream's final answer
    data,      // count bytes in a stream's buffer
    ended,     // a stream ended (complete: its body ended as its length said)
    compared,  // the result of the last step's compare commands: ok when all were the same
    wrote,     // a write, or opening the part, failed: ok false
    closed,    // the part was closed: ok when its bytes reached the disk
    saved,     // a save of the record: ok
    hashed,    // the part's digest: ok when it is the release's
    placed,    // the part was moved to the installer path: ok
    stalled,   // no stream can bring another event
};

struct SplitEvent {
    SplitEventKind kind;
    int32_t stream;
    uint64_t now_ms;
    StreamAnswer answer;
    uint32_t count;
    bool complete;
    bool ok;
};

// The lines a download from several nodes prints, by name; download_split.cpp
// holds their texts.
enum class SplitLine : uint8_t {
    helper_added,
    helper_dropped,
    node_dropped,
    node_differs,   // a compare differed: the node is held in reserve
    asked_again,    // after a break, with the megabytes held
    resuming,       // with the megabytes held
    hash_mismatch,  // the part's digest
    next_class,     // the reserve completes the file
    node_failed,    // the one-node failure line
    node_too_slow,  // the one-node slow line
};

enum class SplitCommandKind : uint8_t {
    start,      // stream, node, first, end
    resume,     // stream
    stop,       // stream
    write,      // the stream's buffer [from, from + count) to the part at offset
    compare,    // the same bytes with the part's at offset; a compared event follows
    open_part,  // fresh: a new part marked with the release; else the part as it is
    save_record,
    drop_record,
    close_part,  // a closed event follows
    drop_part,   // the part and everything beside it
    hash_part,   // a hashed event follows
    place_part,  // a placed event follows
    line,        // what, node, total (the bytes held); newline: end the progress line first
    progress,    // helpers, percentage, total
    finish,      // outcome
};

struct SplitCommand {
    SplitCommandKind kind;
    int32_t stream;
    int32_t node;
    uint64_t first, end;         // start
    uint64_t offset;             // write, compare
    uint32_t from, count;        // write, compare
    bool fresh;                  // open_part
    SplitLine what;              // line
    bool newline;                // line: the progress line is ended first
    int32_t helpers;             // progress
    uint64_t percentage, total;  // progress; total also the bytes held for a line
    DownloadOutcome outcome;     // finish
};

constexpr int MAX_SPLIT_COMMANDS = 48;

struct SplitCommands {
    int32_t count;
    SplitCommand items[MAX_SPLIT_COMMANDS];
};

// The state of a download from table.nodes[first], before its begin event:
// nothing held, no record. The caller then fills held (and record_active)
// from what the part holds. standing is what the run learnt of the nodes in
// its earlier downloads: a node whose class failed, or that failed or was
// dropped, fetches nothing here unless it is the node that starts.
void start_split(SplitState* s, const NodeTable& table, int32_t first, uint64_t size,
                 const char* sha256, bool leave_if_too_slow, bool helpers_allowed,
                 const NodeStanding standing[MAX_NODES]);

// One event in, the commands to carry out in order. After a finish command
// the state takes no more events.
void split_step(SplitState* s, const SplitEvent& event, SplitCommands* out);

// What the run learns of each node when the download has ended.
NodeStanding split_standing(const SplitState& s, int32_t node);
