// Stage 3: the installer is fetched from one node with a plain GET and written
// to a fixed path in the temporary directory through one static 64 KiB buffer,
// with a progress line redrawn in place. The byte count is checked against the
// server's Content-Length and the release's size before the file is opened,
// against the release's size before each write, and again at the end; any
// failure prints one line, deletes the file (also one an earlier attempt or
// run left there) and lets the run try the next node.
#include <cstdio>

#include "install/install.hpp"
#include "os/os.hpp"

namespace {

constexpr uint64_t NO_PERCENTAGE_PRINTED = ~static_cast<uint64_t>(0);
constexpr double BYTES_TO_MB = 1.0 / 1048576.0;

uint8_t g_transfer_buffer[TRANSFER_BUFFER_SIZE];

bool fail_attempt(const char* path) {
    out_line(
        "\r   该节点传输失败或内容不完整, 切换下一节点 / Node failed or incomplete, switching...");
    delete_file(path);
    return false;
}

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

bool download_from_node(NetSession* session, const MirrorNode& node, const ReleaseRecord& release,
                        const char* path) {
    out_printf("\n[3/4] 通过最快可用节点下载 / Downloading via node: %s\n", node.label);

    const uint64_t expected_size = release.size;
    uint32_t content_length = 0;
    uint32_t available = 0;

    static char16_t host[URL_PART_UNITS];
    static char16_t object_path[URL_PART_UNITS];
    split_url(node.url, host, object_path);

    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return fail_attempt(path);
    NetRequest* request = open_get_request(connection, object_path);
    if (request == nullptr) {
        close_handle(connection);
        return fail_attempt(path);
    }
    if (!send_and_receive(request) || !query_status(request)) {
        close_request(request, connection);
        return fail_attempt(path);
    }

    if (!query_content_length(request, &content_length)) content_length = 0;
    if (expected_size != 0 && content_length != 0 && content_length != expected_size) {
        close_request(request, connection);
        return fail_attempt(path);
    }

    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        close_request(request, connection);
        return fail_attempt(path);
    }

    bool transfer_ok = query_data_available(request, &available);
    uint64_t last_percentage = NO_PERCENTAGE_PRINTED;
    uint64_t total = 0;
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
            transfer_ok = false;
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
        transfer_ok = query_data_available(request, &available);
    }

    // Buffered bytes reach the disk only here: a full disk may show itself now.
    if (std::fclose(file) != 0) transfer_ok = false;
    close_request(request, connection);
    if (!transfer_ok) return fail_attempt(path);
    if (content_length != 0 && total != content_length) return fail_attempt(path);
    if (expected_size != 0 && total != expected_size) return fail_attempt(path);
    out_printf("\n");
    return true;
}
