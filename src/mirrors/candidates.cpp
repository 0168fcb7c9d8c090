// The candidate download nodes of a release: the same installer file on a
// ModelScope dataset, GitHub's release download, three GitHub proxy mirrors
// and a Hugging Face dataset, in that order. A label belongs to the slot an
// entry takes, not to its server, so switching a proxy off moves the later
// entries and their labels up by one. Version and file name go into the URLs
// unescaped: the manifest admits only characters that need no escaping.
#include "mirrors/mirrors.hpp"

#include <cstdarg>
#include <cstdio>

const char MODELSCOPE_BASE_URL[] =
    "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master";
const char GITHUB_RELEASE_URL_FORMAT[] =
    "https://github.com/norwick/trevalon/releases/download/v%s/%s";
// Each proxy takes the whole GitHub URL, scheme included, after its own "/".
const char* const GITHUB_PROXY_PREFIXES[GITHUB_PROXY_COUNT] = {
    "https://ghfast.top/",
    "https://gh-proxy.com/",
    "https://ghproxy.net/",
};
const char HUGGINGFACE_BASE_URL[] =
    "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main";

void add_candidate(NodeTable& table, const char* label, const char* format, ...) {
    if (table.count < 0 || table.count >= MAX_NODES) return;
    MirrorNode& node = table.nodes[table.count];
    va_list args;
    va_start(args, format);
    // A longer URL is cut at 599 bytes; vsnprintf always terminates it.
    (void)std::vsnprintf(node.url, sizeof node.url, format, args);
    va_end(args);
    node.label = label;
    node.reachable = 0;
    node.latency_ms = LATENCY_NOT_MEASURED;
    ++table.count;
}

namespace {

// The label of the slot the next entry takes; none once the table is full,
// where add_candidate ignores the call anyway.
const char* next_label(const NodeTable& table) {
    return table.count >= 0 && table.count < MAX_NODES ? NODE_LABELS[table.count] : nullptr;
}

}  // namespace

void build_candidates(const ReleaseRecord& release, NodeTable& table,
                      const char* const* proxy_prefixes) {
    // Formatted once and shared by the GitHub entry and every proxy entry, so a
    // cut here (past 319 bytes) shows in all of them alike.
    char github_url[GITHUB_RELEASE_URL_SIZE];
    (void)std::snprintf(github_url, sizeof github_url, GITHUB_RELEASE_URL_FORMAT, release.version,
                        release.file_name);

    add_candidate(table, next_label(table), "%s/%s", MODELSCOPE_BASE_URL, release.file_name);
    add_candidate(table, next_label(table), "%s", github_url);
    for (int i = 0; i < GITHUB_PROXY_COUNT; ++i) {
        const char* prefix = proxy_prefixes[i];
        if (prefix == nullptr || prefix[0] == '\0') continue;  // this proxy is switched off
        add_candidate(table, next_label(table), "%s%s", prefix, github_url);
    }
    add_candidate(table, next_label(table), "%s/%s", HUGGINGFACE_BASE_URL, release.file_name);
}
