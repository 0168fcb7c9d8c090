// `mirrors MANIFEST`: whether every download node serves the exact installer
// the manifest names. It builds the installer's candidate list for the release,
// probes each node as the installer does, then downloads the whole file from
// every reachable node, hashing it as it arrives, and prints a table of
// latency, throughput, size and digest verdicts. Nothing is written to disk.
#include <cstdio>
#include <cstring>

#include "download/download.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"
#include "tool_core.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

namespace tool {

namespace {

constexpr double BYTES_PER_MB = 1048576.0;

// What one node served.
struct NodeReport {
    bool reachable;
    bool responded;           // the download request got a 200 or 206
    bool transfer_ok;         // the body was read to its end without an error
    uint64_t content_length;  // 0: none
    uint64_t received;
    uint64_t elapsed_ms;
    char sha256[SHA256_HEX_SIZE];
};

// A plain GET of the whole file, hashed as it arrives; nothing touches the disk.
void download_node(NetSession* session, const MirrorNode& node, const ReleaseRecord& release,
                   NodeReport& report) {
    report.responded = false;
    report.transfer_ok = false;
    report.content_length = 0;
    report.received = 0;
    report.elapsed_ms = 0;
    report.sha256[0] = '\0';
    const char* name = english_label(node.label);
    show_progress("   %s  downloading", name);

    char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
    split_url(node.url, host, path);
    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return;
    NetRequest* request = open_get_request(connection, path);
    if (request == nullptr) {
        close_handle(connection);
        return;
    }
    uint64_t start = tick_ms();
    if (send_and_receive(request) && query_status(request)) {
        report.responded = true;
        if (!query_content_length(request, &report.content_length)) report.content_length = 0;
        Sha256Context context;
        sha256_init(context);
        uint64_t last_percent = ~0ull;
        for (;;) {
            uint32_t available = 0, count = 0;
            if (!query_data_available(request, &available)) break;
            if (available == 0) {
                report.transfer_ok = true;
                break;
            }
            if (available > TRANSFER_BUFFER_SIZE) available = TRANSFER_BUFFER_SIZE;
            if (!read_data(request, g_transfer_buffer, available, &count)) break;
            if (count == 0) {
                report.transfer_ok = true;
                break;
            }
            sha256_update(context, g_transfer_buffer, count);
            report.received += count;
            uint64_t percent = report.received * 100 / release.size;
            if (percent != last_percent) {
                last_percent = percent;
                show_progress("   %s  %3llu%%  (%.1f / %.1f MB)", name,
                              static_cast<unsigned long long>(percent),
                              static_cast<double>(report.received) / BYTES_PER_MB,
                              static_cast<double>(release.size) / BYTES_PER_MB);
            }
        }
        report.elapsed_ms = tick_ms() - start;
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256_final(context, digest);
        sha256_digest_hex(digest, report.sha256);
    }
    close_handle(request);
    close_handle(connection);
}

const char* size_verdict(const NodeReport& report, const ReleaseRecord& release) {
    if (!report.reachable) return "-";
    if (!report.responded) return "no file";
    if (report.received < release.size) return "short";
    if (report.received > release.size) return "long";
    if (!report.transfer_ok) return "broken";
    if (report.content_length != 0 && report.content_length != release.size) return "bad length";
    return "ok";
}

const char* digest_verdict(const NodeReport& report, const ReleaseRecord& release) {
    if (!report.reachable || !report.responded) return "-";
    return digest_text_matches(release.sha256, report.sha256) ? "ok" : "mismatch";
}

constexpr char TABLE_ROW_FORMAT[] = "%-6s  %-24s  %-9s  %8s  %8s  %10s  %-10s  %s\n";

void print_row(const MirrorNode& node, const NodeReport& report, const ReleaseRecord& release) {
    char host[URL_PART_UNITS * 3];
    url_host(node.url, host, sizeof host);
    char latency[16] = "-", speed[16] = "-", bytes[24] = "-";
    if (report.reachable) std::snprintf(latency, sizeof latency, "%u ms", node.latency_ms);
    if (report.responded) {
        std::snprintf(bytes, sizeof bytes, "%llu",
                      static_cast<unsigned long long>(report.received));
        if (report.elapsed_ms > 0 && report.received > 0) {
            double mb_per_s = static_cast<double>(report.received) / BYTES_PER_MB /
                              (static_cast<double>(report.elapsed_ms) / 1000.0);
            std::snprintf(speed, sizeof speed, "%.2f", mb_per_s);
        }
    }
    say(Stream::out, TABLE_ROW_FORMAT, english_label(node.label), host,
        report.reachable ? "yes" : "no", latency, speed, bytes, size_verdict(report, release),
        digest_verdict(report, release));
}

}  // namespace

int command_mirrors(const Arguments& args) {
    if (args.count == 0) return usage_error("mirrors", "missing MANIFEST");
    if (args.count > 1) return usage_error("mirrors", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("mirrors", args.operands[0], release);
    if (result != EXIT_TOOL_OK) return result;

    static NodeTable table;
    std::memset(&table, 0, sizeof table);
    build_candidates(release, table);

    NetSession* probe_session = open_session();
    if (probe_session == nullptr) {
        say(Stream::err, "%s: mirrors: cannot open an HTTPS session\n", TOOL);
        return EXIT_TOOL_FAILED;
    }
    apply_timeouts(probe_session, PROBE_PROFILE);
    NetSession* download_session = open_session();
    apply_timeouts(download_session, DOWNLOAD_PROFILE);

    say(Stream::out, "Release v%s  %s  %llu bytes  SHA-256 %s\n", release.version,
        release.file_name, static_cast<unsigned long long>(release.size), release.sha256);
    say(Stream::out, TABLE_ROW_FORMAT, "NODE", "HOST", "REACHABLE", "LATENCY", "MB/S", "BYTES",
        "SIZE", "SHA-256");
    int good = 0;
    for (int i = 0; i < table.count; ++i) {
        MirrorNode& node = table.nodes[i];
        NodeReport report = {};
        show_progress("   %s  probing", english_label(node.label));
        report.reachable = probe_node(probe_session, node);
        if (report.reachable) download_node(download_session, node, release, report);
        clear_progress();
        print_row(node, report, release);
        if (report.reachable && std::strcmp(size_verdict(report, release), "ok") == 0 &&
            std::strcmp(digest_verdict(report, release), "ok") == 0)
            ++good;
    }
    close_handle(download_session);
    close_handle(probe_session);

    if (good == table.count) {
        say(Stream::out, "All %d nodes serve the exact file.\n", table.count);
        return EXIT_TOOL_OK;
    }
    say(Stream::out, "%d of %d nodes do not serve the exact file.\n", table.count - good,
        table.count);
    return EXIT_TOOL_FAILED;
}

}  // namespace tool
