// Stage 3: the installer is fetched from one node with a plain GET and written
// to a part file next to the installer path through one static 64 KiB buffer,
// with a progress line redrawn in place. The byte count is checked against the
// server's Content-Length and the release's size before the file is opened,
// against the release's size before each write, and again at the end; only
// then is the part moved to the installer path, so an interrupted run never
// leaves a partial file under the installer's name. A failure at the node
// prints one line, deletes the part and lets the run try the next node. When
// the run allows it, the node's rate is measured from its first body byte and
// a node far too slow is left like a failed one. A part that cannot be
// created or written (a read-only folder, a disk that fills up), or an
// installer path that cannot be replaced, is reported to the run without a
// line: no node can help, and the run names the cause.
#include <cstdio>

#include "install/install.hpp"
#include "os/os.hpp"

namespace {

constexpr uint64_t NO_PERCENTAGE_PRINTED = ~static_cast<uint64_t>(0);

uint8_t g_transfer_buffer[TRANSFER_BUFFER_SIZE];

DownloadOutcome fail_attempt(const char* part) {
    out_line(
        "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...");
    delete_file(part);
    return DownloadOutcome::failed;
}

DownloadOutcome leave_slow_node(const char* part) {
    out_line("\r   该节点速度过慢, 切换下一节点 / Node too slow, switching...");
    delete_file(part);
    return DownloadOutcome::too_slow;
}

// The rate of one attempt, from its first body byte on the OS's tick.
struct RateWatch {
    uint64_t whole;  // bytes the body will have; 0 when unknown (never judged)
    bool started;
    uint64_t start_ms;
    uint64_t start_total;  // bytes already in by the first read

    // True when, with the bytes in so far, the node projects too slow.
    bool too_slow(uint64_t total) {
        // Unknown size, or a body already past it (the end check fails that).
        if (whole == 0 || total >= whole) return false;
        const uint64_t now = tick_ms();
        if (!started) {
            started = true;
            start_ms = now;
            start_total = total;
            return false;
        }
        const uint64_t elapsed = now - start_ms;
        return elapsed >= SLOW_GRACE_MS &&
               projects_too_slow(elapsed, total - start_total, whole - start_total);
    }
};

void close_request(NetRequest* request, NetConnection* connection) {
    close_handle(request);
    close_handle(connection);
}

}  // namespace

bool prepare_installer_path(const ReleaseRecord& release, char path[INSTALLER_PATH_SIZE]) {
    char dir[TEMP_DIR_SIZE];
    if (temp_directory(dir, TEMP_DIR_SIZE) == 0) {
        out_line("错误: 无法获取临时目录 / Error: cannot get temp directory");
        return false;
    }
    // At most 260 + 127 characters: the buffer never cuts the path.
    std::snprintf(path, INSTALLER_PATH_SIZE, "%s%s", dir, release.file_name);
    return true;
}

void compose_part_path(const char* path, char part[PART_PATH_SIZE]) {
    // An installer path has at most 539 characters: the buffer never cuts.
    std::snprintf(part, PART_PATH_SIZE, "%s%s", path, PART_SUFFIX);
}

bool projects_too_slow(uint64_t elapsed_ms, uint64_t received, uint64_t whole) {
    if (received == 0) return whole != 0;
    // In floating point: elapsed times sizes up to 2^64 would overflow.
    return static_cast<double>(elapsed_ms) * static_cast<double>(whole) >
           static_cast<double>(SLOW_WHOLE_BODY_MS) * static_cast<double>(received);
}

DownloadOutcome download_from_node(NetSession* session, const MirrorNode& node,
                                   const ReleaseRecord& release, const char* path,
                                   bool leave_if_too_slow) {
    out_printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);
    char part[PART_PATH_SIZE];
    compose_part_path(path, part);

    const uint64_t expected_size = release.size;
    uint32_t content_length = 0;
    uint32_t available = 0;

    static char16_t host[URL_PART_UNITS];
    static char16_t object_path[URL_PART_UNITS];
    split_url(node.url, host, object_path);

    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return fail_attempt(part);
    NetRequest* request = open_get_request(connection, object_path);
    if (request == nullptr) {
        close_handle(connection);
        return fail_attempt(part);
    }
    if (!send_and_receive(request) || !query_status(request)) {
        close_request(request, connection);
        return fail_attempt(part);
    }

    if (!query_content_length(request, &content_length)) content_length = 0;
    if (expected_size != 0 && content_length != 0 && content_length != expected_size) {
        close_request(request, connection);
        return fail_attempt(part);
    }

    FILE* file = std::fopen(part, "wb");
    if (file == nullptr) {
        close_request(request, connection);
        delete_file(part);
        return DownloadOutcome::cannot_write;
    }

    bool transfer_ok = query_data_available(request, &available);
    uint64_t last_percentage = NO_PERCENTAGE_PRINTED;
    uint64_t total = 0;
    RateWatch rate{};
    if (leave_if_too_slow) rate.whole = content_length != 0 ? content_length : expected_size;
    bool slow = false;
    bool write_failed = false;
    while (transfer_ok && available != 0) {
        if (available > TRANSFER_BUFFER_SIZE) available = TRANSFER_BUFFER_SIZE;
        uint32_t bytes_read = 0;
        if (!read_data(request, g_transfer_buffer, available, &bytes_read)) {
            transfer_ok = false;
            break;
        }
        if (bytes_read == 0) break;
        // A body longer than the release could never verify: stop before the
        // first byte past the size reaches the disk, so an endless body cannot
        // fill it.
        if (expected_size != 0 && bytes_read > expected_size - total) {
            transfer_ok = false;
            break;
        }
        const size_t written = std::fwrite(g_transfer_buffer, 1, bytes_read, file);
        if (written != bytes_read) {
            write_failed = true;
            break;
        }
        total += written;

        if (content_length != 0) {
            const uint64_t percentage = total * 100 / content_length;
            if (percentage != last_percentage) {
                last_percentage = percentage;
                out_printf("\r   [%s] %3llu%%  (%.1f / %.1f MB)", node.label,
                           static_cast<unsigned long long>(percentage),
                           static_cast<double>(total) * BYTES_TO_MB,
                           static_cast<double>(content_length) * BYTES_TO_MB);
                out_flush();
            }
        }
        // Judged only as data arrives: a node that sends nothing at all ends
        // through the receive timeout instead.
        if (rate.too_slow(total)) {
            slow = true;
            break;
        }
        transfer_ok = query_data_available(request, &available);
    }

    // Buffered bytes reach the disk only here: a full disk may show itself now.
    if (std::fclose(file) != 0) write_failed = true;
    close_request(request, connection);
    if (write_failed) {
        delete_file(part);
        return DownloadOutcome::cannot_write;
    }
    if (slow) return leave_slow_node(part);
    if (!transfer_ok) return fail_attempt(part);
    if (content_length != 0 && total != content_length) return fail_attempt(part);
    if (expected_size != 0 && total != expected_size) return fail_attempt(part);
    if (!move_file_replacing(part, path)) {
        delete_file(part);
        return DownloadOutcome::cannot_replace;
    }
    out_printf("\n");
    return DownloadOutcome::complete;
}
