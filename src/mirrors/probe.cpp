// One small ranged GET per candidate node, over the probe session: the node is
// reachable when it answers 200 or 206 and hands over at least one byte, and
// its latency is the time from sending the request to that first read. A probe
// asks for the first 16 KiB, reads at most one 2 KiB buffer and abandons the
// rest by closing its handles, so a server that ignores the range costs no
// more than one that honours it. The ranking then puts the reachable nodes
// first, the fastest first, keeping slot order among equals.
#include "mirrors/mirrors.hpp"

#include "os/os.hpp"

namespace {

// The request steps after the connection and request are open: true, with the
// latency, when the node answered with an accepted status and some body bytes.
bool measure(NetRequest* request, uint32_t* latency_ms) {
    if (!add_request_header(request, PROBE_RANGE_HEADER)) return false;
    // Taken right before sending, so the time covers the network round trip
    // and the first bytes, not the local preparation of the request.
    const uint64_t start = tick_ms();
    if (!send_and_receive(request) || !query_status(request)) return false;
    uint32_t available = 0;
    if (!query_data_available(request, &available) || available == 0) return false;
    char buffer[PROBE_READ_MAX];  // contents never looked at
    uint32_t read = 0;
    const uint32_t wanted = available < PROBE_READ_MAX ? available : PROBE_READ_MAX;
    if (!read_data(request, buffer, wanted, &read) || read == 0) return false;
    // The low 32 bits of both ticks: a tick that wraps between them still
    // gives the right difference.
    *latency_ms = static_cast<uint32_t>(tick_ms()) - static_cast<uint32_t>(start);
    return true;
}

// Entry a ranks after entry b: unreachable behind reachable, then slower
// behind faster. Equal entries never pass each other.
bool ranks_after(const MirrorNode& a, const MirrorNode& b) {
    if (a.reachable != b.reachable) return a.reachable < b.reachable;
    return a.latency_ms > b.latency_ms;
}

}  // namespace

bool probe_node(NetSession* session, MirrorNode& node) {
    node.reachable = 0;
    node.latency_ms = LATENCY_NOT_MEASURED;

    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    split_url(node.url, host, path);

    NetConnection* connection = open_connection(session, host);
    NetRequest* request = connection != nullptr ? open_get_request(connection, path) : nullptr;
    uint32_t latency_ms = 0;
    if (request != nullptr && measure(request, &latency_ms)) {
        node.latency_ms = latency_ms;
        node.reachable = 1;
    }
    close_handle(request);
    close_handle(connection);
    return node.reachable != 0;
}

void print_probe_header() {
    out_line("\n[2/4] 探测候选节点 / Probing candidate nodes...");
}

void probe_nodes(NetSession* session, NodeTable& table) {
    for (int i = 0; i < table.count && i < MAX_NODES; ++i) {
        MirrorNode& node = table.nodes[i];
        // %-24s pads by bytes: each 14-byte UTF-8 label is followed by 10 spaces.
        if (probe_node(session, node)) {
            out_printf("   %-24s  %5u ms  [可达/OK]\n", node.label, node.latency_ms);
        } else {
            out_printf("   %-24s  %5s ms  [不可达/FAIL]\n", node.label, "-");
        }
    }
}

void rank_nodes(NodeTable& table) {
    const int count = table.count < MAX_NODES ? table.count : MAX_NODES;
    for (int j = 1; j < count; ++j) {
        const MirrorNode key = table.nodes[j];
        int k = j;
        while (k > 0 && ranks_after(table.nodes[k - 1], key)) {
            table.nodes[k] = table.nodes[k - 1];
            --k;
        }
        table.nodes[k] = key;
    }
}
