// Stage 2: the candidate download nodes of a release, one ranged probe each,
// and the ranking that puts the reachable nodes first, the fastest first.
#pragma once

#include "net/transport.hpp"
#include "records.hpp"

constexpr int GITHUB_PROXY_COUNT = 3;
constexpr int GITHUB_RELEASE_URL_SIZE = 320;
constexpr uint32_t PROBE_READ_MAX = 2048;
constexpr char16_t PROBE_RANGE_HEADER[] = u"Range: bytes=0-16383";  // the first 16 KiB

extern const char MODELSCOPE_BASE_URL[];
extern const char GITHUB_RELEASE_URL_FORMAT[];
extern const char* const GITHUB_PROXY_PREFIXES[GITHUB_PROXY_COUNT];
extern const char HUGGINGFACE_BASE_URL[];

// Appends an entry labelled label with a url formatted like printf (cut at
// 599 bytes); a full table is left as it is.
void add_candidate(NodeTable& table, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Fills the table with the release's candidates. An empty proxy prefix
// switches that proxy off and the later entries move up a slot.
void build_candidates(const ReleaseRecord& release, NodeTable& table,
                      const char* const* proxy_prefixes = GITHUB_PROXY_PREFIXES);

void print_probe_header();
// One ranged probe of node, without a word: sets its reachable and latency_ms
// (LATENCY_NOT_MEASURED when unreachable) and returns reachable.
bool probe_node(NetSession* session, MirrorNode& node);
// One report line per node. Returns the local cause (is_local_cause) when
// every node failed for that same one; none otherwise.
NetCause probe_nodes(NetSession* session, NodeTable& table);
void rank_nodes(NodeTable& table);  // stable: reachable first, then by latency
