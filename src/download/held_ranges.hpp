// What a download from several nodes holds: the ranges of the part file that
// are written and on disk, with the digest and size of the release they
// belong to. It is kept as a small text file beside the part, so that the
// next run continues every range instead of only the front of the file.
//
// The record is read back from a folder that an earlier run, or anyone who
// could write there, left behind, so it is parsed strictly: one form, every
// range inside the release, sorted, apart from each other (a writer always
// merges touching ranges), and the release's digest and size. Anything else
// is refused whole; a refused record claims nothing, which costs a download
// and never a wrong byte, because the final digest is checked anyway.
//
// Crash safety is a protocol between the part and the record:
//   1. the bytes of a range are written to the part and flushed out of the
//      program's buffers (fflush) before any record claims them;
//   2. the new record is written whole to a file of its own, the record's
//      path with HELD_NEW_SUFFIX appended, and closed;
//   3. that file is moved over the record (move_file_replacing).
// A crash before 3 leaves the old record, which claims only bytes flushed
// before it was written; a crash after 3 leaves the new one, whose bytes were
// flushed in 1. A torn new file is never read: the reader reads the record's
// own path only. So every record a reader sees claims only bytes the part
// has. The protocol holds against the program's end (a crash, Ctrl+C, a kill);
// against the loss of the machine's power the file system may keep the move
// and lose the data, and then the digest check finds the wrong bytes.
#pragma once

#include <cstdint>

#include "records.hpp"

// Room for the ranges of one download. Four connections that each split the
// largest range leave a handful of holes at any time; 64 is far more than a
// download from MAX_CONNECTIONS nodes makes, and keeps the record under 4 KiB.
constexpr int MAX_HELD_RANGES = 64;
constexpr int HELD_DIGEST_LENGTH = 64;
// The longest record text: its head, 64 ranges of two 20-digit numbers, "end".
constexpr uint32_t HELD_RECORD_TEXT_SIZE = 4096;
constexpr char HELD_NEW_SUFFIX[] = ".new";
constexpr int HELD_PATH_SIZE = 600;

// Who wrote a byte of the part: a node's index in the ranked table, or one of these.
constexpr int32_t NO_NODE = -1;      // nobody: the byte is not held
constexpr int32_t EARLIER_RUN = -2;  // a run before this one

// [start, end) in bytes of the release.
struct ByteRange {
    uint64_t start;
    uint64_t end;
};

struct HeldRanges {
    char sha256[HELD_DIGEST_LENGTH + 1];  // the release's digest, 64 hex digits
    uint64_t size;                        // the release's size
    int32_t count;
    ByteRange ranges[MAX_HELD_RANGES];  // sorted, apart, none empty, all within size
};

// Why a record was taken or refused.
enum class HeldRecordCheck {
    valid,
    absent,           // no record file, or it cannot be read
    malformed,        // not the record's form: a bad line, a number, trailing bytes, too long
    bad_digest,       // the digest is not 64 hexadecimal digits
    other_release,    // a well-formed record of another digest or size
    out_of_range,     // a range empty, or past the release's size
    not_in_order,     // ranges unsorted, overlapping or touching
    too_many,         // more than MAX_HELD_RANGES ranges
    claims_too_much,  // a range past the end of the part file
};

// An empty record of this release.
void start_held_ranges(HeldRanges* held, const ReleaseRecord& release);

// Adds [start, end) as written, merged with the ranges it overlaps or
// touches. False, and the record unchanged, when the range is empty or past
// the size, or when it would need more than MAX_HELD_RANGES ranges: the
// bytes then stay unclaimed and are fetched again, which is always safe.
bool add_held_range(HeldRanges* held, uint64_t start, uint64_t end);

// Takes [start, end) out of the record, as bytes found wrong. A range cut in
// two that would need more than MAX_HELD_RANGES ranges is dropped whole
// instead: claiming less is always safe.
void remove_held_range(HeldRanges* held, uint64_t start, uint64_t end);

uint64_t held_bytes(const HeldRanges& held);

// The ranges of the release not held, in order, at most capacity of them;
// returns how many there are in all (at most MAX_HELD_RANGES + 1).
int32_t missing_ranges(const HeldRanges& held, ByteRange* out, int32_t capacity);

// The record as text; its length, or 0 when it does not fit in capacity
// (never with HELD_RECORD_TEXT_SIZE).
uint32_t format_held_ranges(const HeldRanges& held, char* text, uint32_t capacity);

// Parses a record's text and checks it against the release; *held is
// written only when the answer is valid.
HeldRecordCheck parse_held_ranges(const char* text, uint32_t length, const ReleaseRecord& release,
                                  HeldRanges* held);

// Steps 2 and 3 of the protocol for a record whose bytes the part already
// has; false when either fails, and then the record at path is the old one.
bool save_held_ranges(const char* path, const HeldRanges& held);
// Step 2 alone (save_held_ranges is this and then step 3): the new file
// beside the record. Tests use it to leave what a crash between the two
// would leave.
bool write_new_held_record(const char* path, const HeldRanges& held);

// Reads the record at path for this release, and refuses one that claims
// bytes past the end of the part file at part_path.
HeldRecordCheck load_held_ranges(const char* path, const char* part_path,
                                 const ReleaseRecord& release, HeldRanges* held);

// Deletes the record and a new file a crash may have left beside it.
void drop_held_ranges(const char* path);
