// Stage 1: which release to install. Five sources are asked in order and the
// first body that parses as a manifest fills the ReleaseRecord; when none does,
// the release compiled into the program is used. The stage cannot fail.
#pragma once

#include <cstdint>

#include "net/transport.hpp"
#include "records.hpp"

constexpr int MANIFEST_SOURCE_COUNT = 5;
constexpr int MANIFEST_BODY_SIZE = 4096;  // a body of 4095 bytes or more is refused
constexpr int VERSION_MAX_CHARS = 16;
constexpr int FILE_NAME_MAX_CHARS = 96;
constexpr int FILE_NAME_MIN_CHARS = 5;
constexpr int SHA256_HEX_CHARS = 64;

extern const char* const MANIFEST_SOURCES[MANIFEST_SOURCE_COUNT];
extern const char VENDOR_SITE_HOST[];  // "www.trevalon.app"; also the source-label search text
extern const ReleaseRecord BUILTIN_RELEASE;  // generated from release/builtin.manifest
extern const char BUILTIN_SOURCE_LABEL[];    // "程序内置/Built-in"

// True when text is 1 to bound characters of 0-9 A-Z a-z . _ -
bool is_safe_token(const char* text, int32_t bound);

// Accepts the body whole or not at all. Works in place (the body is cut into
// lines); the record is written only when every test has passed.
bool parse_manifest(char* body, ReleaseRecord& release);
// The same; on rejection *reason names the line and the rule it broke (for the
// build's check of the built-in release; the program does not ask).
bool parse_manifest(char* body, ReleaseRecord& release, const char** reason);

// The order of release versions: below zero when a comes before b, zero when
// they are the same release, above zero when a comes after b. Versions are
// compared part by part, parts separated by dots:
// - a part that starts with digits is compared by the number they make (any
//   length, leading zeros ignored: 0.7.5 comes before 0.7.19 and 07 equals 7);
//   at the same number, a part with text after its digits comes before the
//   plain number (1.2.0-rc1 before 1.2.0), and two such texts compare byte by
//   byte (1.2.0-rc1 before 1.2.0-rc2; upper case before lower case);
// - a part that starts with no digit comes before any numbered part and is
//   compared with another such part as text (1.beta before 1.0);
// - a missing part counts as 0: 1.2 equals 1.2.0, and a version without dots
//   is a single part (7 comes after 0.7.19).
int compare_versions(const char* a, const char* b);
// Why a parsed release below the built-in one is refused; nullptr when it is
// not below.
const char* version_floor_refusal(const ReleaseRecord& release);
// The same in a pinned build, which holds manifests to the built-in release;
// always nullptr in an unpinned one (generated, so that an unpinned program
// carries none of the order).
const char* below_version_floor(const ReleaseRecord& release);

// How one attempt at one source ended, in the order the attempt can fail.
enum class SourceOutcome {
    accepted,     // a valid manifest; the record holds it
    empty_entry,  // no URL in the table's slot: nothing was asked
    unreachable,  // no connection, no request or no response
    bad_status,   // a response other than 200 or 206
    read_failed,  // the body could not be read to its end
    empty_body,   // 200 or 206 with nothing in it
    too_long,     // MANIFEST_BODY_SIZE - 1 bytes or more
    refused,      // parse_manifest refused the body, or the version is below the floor
};

// One attempt at the source url, exactly as stage 1 makes it; the record is
// written only when the result is accepted. On refused, *reason (when asked
// for) names the line and rule the body broke.
SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason);
// The same; body, when not null, receives the bytes the source served,
// terminated, before the parser cuts them into lines (empty unless a whole
// body was read). For the publisher's tool, which judges a manifest by
// stricter rules than the installer's.
SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason, char (*body)[MANIFEST_BODY_SIZE]);
// The label the release line gives a manifest from url.
const char* manifest_source_label(const char* url);

// Prints the stage header and the release line; always leaves a complete record.
void fetch_manifest(NetSession* session, ReleaseRecord& release);
// The same over another table of sources (for tests and the publisher's tool).
void fetch_manifest(NetSession* session, ReleaseRecord& release, const char* const* sources,
                    int source_count);
// The line that ends stage 1: the release's version, file, size in MB and
// where it came from.
void print_release_line(const ReleaseRecord& release, const char* source_label);
