// One small ranged GET per candidate node, all at once over the probe
// session: the node is reachable when it answers 200 or 206 and hands over at
// least one byte, and its latency is the time from sending the request to
// that first read. A probe
// asks for the first 16 KiB, reads at most one 2 KiB buffer and abandons the
// rest by closing its handles, so a server that ignores the range costs no
// more than one that honours it. The ranking then puts the reachable nodes
// first, the fastest first, keeping slot order among equals.
#include "mirrors/mirrors.hpp"

#include "os/os.hpp"

namespace {

// One slot per entry, each with its own read buffer (contents never looked
// at): every entry is probed at once.
char g_buffers[MAX_NODES][PROBE_READ_MAX];
Exchange g_exchanges[MAX_NODES];

// Opens the probe's request with its Range header; no traffic yet.
bool open_probe(NetSession* session, MirrorNode& node, Exchange& exchange, char* buffer) {
    node.reachable = 0;
    node.latency_ms = LATENCY_NOT_MEASURED;
    exchange.url = node.url;
    exchange.header = PROBE_RANGE_HEADER;
    exchange.body = ExchangeBody::first_read;
    exchange.buffer = buffer;
    exchange.limit = PROBE_READ_MAX;
    return open_exchange(session, exchange);
}

// The low 32 bits of both ticks: a tick that wraps between them still gives
// the right difference.
void mark_reachable(MirrorNode& node, uint64_t start, uint64_t end) {
    node.latency_ms = static_cast<uint32_t>(end) - static_cast<uint32_t>(start);
    node.reachable = 1;
}

void print_report_line(const MirrorNode& node) {
    // %-24s pads by bytes: each 14-byte UTF-8 label is followed by 10 spaces.
    if (node.reachable != 0) {
        out_printf("   %-24s  %5u ms  [可达/OK]\n", node.label, node.latency_ms);
    } else {
        out_printf("   %-24s  %5s ms  [不可达/FAIL]\n", node.label, "-");
    }
}

// Entry a ranks after entry b: unreachable behind reachable, then slower
// behind faster. Equal entries never pass each other.
bool ranks_after(const MirrorNode& a, const MirrorNode& b) {
    if (a.reachable != b.reachable) return a.reachable < b.reachable;
    return a.latency_ms > b.latency_ms;
}

}  // namespace

bool probe_node(NetSession* session, MirrorNode& node) {
    Exchange& exchange = g_exchanges[0];
    if (!open_probe(session, node, exchange, g_buffers[0])) return false;
    // Taken right before sending, so the time covers the network round trip
    // and the first bytes, not the local preparation of the request.
    const uint64_t start = tick_ms();
    perform_exchange(exchange);
    if (exchange.end == ExchangeEnd::received) mark_reachable(node, start, tick_ms());
    close_exchange(exchange);
    return node.reachable != 0;
}

void print_probe_header() {
    out_line("\n[2/4] 探测候选节点 / Probing candidate nodes...");
}

// Every entry is probed at once; each latency runs from the common start to
// the moment that probe's own first read ended, whatever the others do: the
// batch notes that moment where the probe ends, so a report line that is slow
// to print (a console that blocks its writer) delays no later probe's figure. The
// report lines still come in slot order: a line is printed once its probe and
// every probe before it have ended, so the table reads top to bottom.
NetCause probe_nodes(NetSession* session, NodeTable& table) {
    const int count = table.count < MAX_NODES ? table.count : MAX_NODES;
    bool ended[MAX_NODES];
    bool any_open = false;
    for (int i = 0; i < count; ++i) {
        ended[i] = !open_probe(session, table.nodes[i], g_exchanges[i], g_buffers[i]);
        any_open = any_open || !ended[i];
    }
    const uint64_t start = any_open ? tick_ms() : 0;
    start_exchanges(g_exchanges, count);
    int next = 0;
    while (next < count) {
        if (ended[next]) {
            print_report_line(table.nodes[next]);
            ++next;
            continue;
        }
        const int slot = next_ended_exchange();
        // -1 cannot come while an exchange is running; were it to, the one in
        // turn counts as failed rather than waited for.
        ended[slot < 0 ? next : slot] = true;
        if (slot >= 0 && g_exchanges[slot].end == ExchangeEnd::received)
            mark_reachable(table.nodes[slot], start, g_exchanges[slot].ended_ms);
    }
    stop_exchanges();
    // One cause for every node, or none: a node that failed otherwise, or
    // answered, shows that the cause is not the machine's.
    NetCause common = count > 0 ? g_exchanges[0].cause : NetCause::none;
    for (int i = 0; i < count; ++i) {
        if (table.nodes[i].reachable != 0 || g_exchanges[i].cause != common)
            common = NetCause::none;
    }
    return is_local_cause(common) ? common : NetCause::none;
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
