// The two records that carry everything from one stage of the run to the next:
// which release is installed, and the candidate download nodes with what the
// probes found. Plain data, zero-filled statics in the program; tests make their own.
#pragma once

#include <cstdint>

struct ReleaseRecord {
    char version[32];     // without a leading "v"; a manifest supplies at most 16 characters
    char file_name[128];  // ends in ".exe"; a manifest supplies at most 96 characters
    uint64_t size;        // bytes; never 0 once written
    char sha256[65];      // 64 hex digits, in the case the source wrote them
};

constexpr int MAX_NODES = 8;
constexpr uint32_t LATENCY_NOT_MEASURED = 0xFFFFFFFFu;

struct MirrorNode {
    char url[600];      // cut at 599 bytes by bounded formatting
    const char* label;  // one of NODE_LABELS, bound to the url at insertion
    int32_t reachable;
    uint32_t latency_ms;  // LATENCY_NOT_MEASURED until a probe succeeds
};

struct NodeTable {
    int32_t count;
    MirrorNode nodes[MAX_NODES];
};

inline constexpr const char* NODE_LABELS[MAX_NODES] = {
    "节点A/Node A", "节点B/Node B", "节点C/Node C", "节点D/Node D",
    "节点E/Node E", "节点F/Node F", "节点G/Node G", "节点H/Node H",
};
