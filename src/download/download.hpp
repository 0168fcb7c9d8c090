// Stage 3: the installer is downloaded, from one node or from several at once,
// to a part file of one fixed name in the program's temporary folder, and moved
// to the installer's path there once its size checks pass. A failed attempt
// never leaves a file at that path, and a download that did not finish never
// carries the installer's name; it stays as a part file for the next attempt
// or the next run when it can be continued.
#pragma once

#include <cstdint>

#include "net/transport.hpp"
#include "os/os.hpp"
#include "records.hpp"

constexpr int INSTALLER_PATH_SIZE = 540;
constexpr int TEMP_DIR_SIZE = 261;
constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;
// Sizes are shown in MB of 2^20 bytes, one decimal. A double holds any size
// up to 2^64 - 1 within one part in 2^53, far finer than that decimal.
constexpr double BYTES_TO_MB = 1.0 / 1048576.0;

// The download is written to this file in the installer's folder, whatever
// the release: a run finds the part any earlier run left, of any release, and
// deletes it when its digest names another one. No release can be called so,
// since a release's file name ends in ".exe".
constexpr char PART_FILE_NAME[] = "online-installer.part";
constexpr int PART_PATH_SIZE = INSTALLER_PATH_SIZE + sizeof PART_FILE_NAME - 1;

// A node's rate is judged from its first body byte, and only once this long
// has passed: by then a usable mirror shows its rate (and has delivered a
// release of a few MB outright), while TLS, TCP's slow start and a proxy's
// first burst no longer distort it.
constexpr uint64_t SLOW_GRACE_MS = 5000;
// The rate that counts is the recent one: the bytes of the last 5 to 10 s.
// Long enough that a node which hands over one 64 KiB read every few seconds
// (some 20 KB/s) is not taken for silent between two reads; short enough that
// a proxy's first burst of many MB is forgotten within ten seconds, instead of
// lifting the average for the rest of the transfer.
constexpr uint64_t RECENT_RATE_WINDOW_MS = 5000;
// Too slow: at its recent rate the node would still need longer than this
// for the rest of the body. A usable mirror serves the 19.2 MB release in well
// under half of it (2.6 Mbit/s meets it exactly); a throttled proxy at tens of
// KB/s would take a quarter of an hour. Leaving a node costs little, since the
// next one continues its part.
constexpr uint64_t SLOW_STILL_NEEDED_MS = 60000;

// A node whose answer breaks within the release's size, after it sent bytes,
// is asked again at once for the rest. An answer that brings fewer than
// ANSWER_NEW_BYTES counts as bringing nothing; the node is given up after
// QUIET_ANSWERS_IN_A_ROW of those. Three: on a flaky link one hiccup, and a
// retry that meets the same hiccup, are common; a third empty answer says the
// node is not going to deliver. One transfer buffer: every other answer moves
// the part on by at least that much, so a node that trickles a few bytes per
// answer cannot keep the run asking forever. An attempt makes at most
// QUIET_ANSWERS_IN_A_ROW * (size / ANSWER_NEW_BYTES + 1) requests: at most
// size / ANSWER_NEW_BYTES answers that bring something, each after at most
// two that bring nothing, and three that bring nothing at the end.
constexpr int QUIET_ANSWERS_IN_A_ROW = 3;
constexpr uint64_t ANSWER_NEW_BYTES = TRANSFER_BUFFER_SIZE;
// The line said before a node is asked again, with the bytes of the file held.
void print_asked_again(uint64_t held);
// The line said once a node has taken up the range that continues a part.
void print_resuming(uint64_t held);

// How an attempt ended. Only `complete` leaves a file, at the installer path.
enum class DownloadOutcome {
    complete,
    failed,          // the node's fault: its failure line was printed
    too_slow,        // left for slowness: its line was printed
    cannot_write,    // the part file could not be created or written (read-only folder, full disk)
    cannot_replace,  // the finished part could not be moved to the installer path
};

// Composes the temporary directory and the release's file name; prints the
// error and gives false when there is no temporary directory.
bool prepare_installer_path(const ReleaseRecord& release, char path[INSTALLER_PATH_SIZE]);

// The part file of an installer path: its folder and PART_FILE_NAME.
void compose_part_path(const char* path, char part[PART_PATH_SIZE]);

// Beside a part that may be continued stands the digest of the release it
// belongs to, written before its first byte: it tells one release's part
// from another's, and a publisher's fixed file from the one it replaced.
constexpr char PART_DIGEST_FILE_NAME[] = "online-installer.part.sha256";
constexpr int PART_DIGEST_PATH_SIZE = INSTALLER_PATH_SIZE + sizeof PART_DIGEST_FILE_NAME - 1;
void compose_part_digest_path(const char* path, char side[PART_DIGEST_PATH_SIZE]);
// Whether the digest beside the part of this installer path names the release.
bool part_is_of_release(const char* path, const ReleaseRecord& release);
// Writes the release's digest beside the part; false when it cannot be written.
bool mark_part_release(const char* path, const ReleaseRecord& release);

// Whether a transfer that took elapsed_ms for `received` bytes would need more
// than SLOW_STILL_NEEDED_MS for `remaining` bytes at that rate.
bool projects_too_slow(uint64_t elapsed_ms, uint64_t received, uint64_t remaining);

// The rate of one node alone, from its first body byte, over a window that
// moves on every RECENT_RATE_WINDOW_MS: the mark it is measured from is
// between one and two windows old. Zero-initialised before the first byte.
struct RateWatch {
    uint64_t whole;  // bytes the file will have; 0 when unknown (never judged)
    bool started;
    uint64_t first_ms;
    uint64_t mark_ms, mark_total;  // where the recent rate is measured from
    uint64_t next_ms, next_total;  // the mark once a window has passed

    // True when, with total bytes in so far, the rest would take too long
    // (projects_too_slow), at least SLOW_GRACE_MS after the first byte.
    bool too_slow(uint64_t total);                   // now is tick_ms()
    bool too_slow_at(uint64_t total, uint64_t now);  // total below whole
};

// total as a whole percentage of whole (total <= whole), rounded down, for
// sizes up to 2^64 - 1.
uint64_t percentage_of(uint64_t total, uint64_t whole);
// Draws the progress line "\r   [label] NN%  (X / Y MB)" in place.
void print_progress(const char* label, uint64_t percentage, uint64_t total, uint64_t whole);

// The part an earlier run left beside the installer path: its bytes when it
// belongs to this release (its digest beside it) and is no longer than the
// release; otherwise it and its digest are deleted and the answer is 0.
uint64_t adopt_earlier_part(const char* path, const ReleaseRecord& release);

// Moves an earlier run's part of the whole size to the installer path and
// deletes its digest; false when it cannot be moved (the part stays).
bool place_earlier_whole_part(const char* path);

// What a resumable attempt did to the part, for the run's judgement of a
// file that more than one node made.
struct PartRecord {
    bool wrote;     // bytes of this attempt reached the part
    bool appended;  // they were added behind a part that stood before it, or beside another node's
    // A file that several nodes made failed its digest and nothing could be
    // blamed: its part is gone, and the run fetches the file whole.
    bool several_failed = false;
};

// Downloads the node's file to the part file and, when its size checks pass,
// moves it to path. With leave_if_too_slow (the run's choice) an attempt whose
// rest projects_too_slow() at its recent rate ends as too_slow; without it the
// rate is not measured. Whatever the outcome, every handle it opened is
// closed; only a complete download stands at path. The run's own messages for
// a file that cannot be written are not printed here.
//
// Without a part record every attempt is whole and a failure deletes the part.
// With one, a part of N bytes (0 < N < size) whose digest names the release is
// continued with "Range: bytes=N-", and the part is kept for the next attempt
// unless this attempt proved it wrong: a refused answer (another status, a
// range or length that does not fit) and a transfer that stopped within the
// release's size keep it; bytes past the size and a failed local write delete
// it. The record says what was done.
//
// When the release names its size, an answer (200 or 206) that breaks within
// it after the attempt had bytes does not end the attempt: the node is asked
// again for the rest, with or without a part record, while its answers bring
// ANSWER_NEW_BYTES or more (QUIET_ANSWERS_IN_A_ROW). A continuation that is
// not a 206 from the part's end to the release's size ends the attempt as
// the break would have.
DownloadOutcome download_from_node(NetSession* session, const MirrorNode& node,
                                   const ReleaseRecord& release, const char* path,
                                   bool leave_if_too_slow, PartRecord* part_record = nullptr);

// Beside a part that several nodes write stands the record of the ranges it
// holds (held_ranges.hpp): the part's path and this suffix.
constexpr char PART_RANGES_SUFFIX[] = ".ranges";
constexpr int PART_RANGES_PATH_SIZE = PART_PATH_SIZE + sizeof PART_RANGES_SUFFIX - 1;
void compose_part_ranges_path(const char* path, char record[PART_RANGES_PATH_SIZE]);

// Why a node was set aside, for the download and for the run.
enum class NodeStanding : uint8_t {
    usable,
    dropped,       // as a helper: it failed, refused a range or was slow; a whole source still
    failed,        // the node that started failed, as in a download from one node
    reserve,       // serves another file than the class that writes the part; waits
    class_failed,  // a file that its class alone made failed the digest: left for the run
};

// Downloads the release starting at table.nodes[first] as download_from_node
// does with a part record, and, while the rest would take longer than one
// node should be left alone with, with helpers: further reachable nodes in
// rank order, each fetching ranges of the part (see split_machine.hpp).
// standing is the run's: what its earlier downloads found of each node, and
// what this one finds. The outcomes are download_from_node's; a helper's
// failure is not one.
DownloadOutcome download_from_nodes(NetSession* session, const NodeTable& table, int32_t first,
                                    const ReleaseRecord& release, const char* path,
                                    bool leave_if_too_slow, NodeStanding standing[MAX_NODES],
                                    PartRecord* part_record);
