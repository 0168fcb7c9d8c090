// Stage 1: the five places that publish the manifest, asked one after another
// over the probe session, and the release compiled into the program for when
// none of them answers with a valid one. A source that fails, however it
// fails, is passed over without a word: the user learns where the release came
// from only through the source label of the one release line.
#include <cstring>

#include "manifest/manifest.hpp"
#include "os/os.hpp"

const char VENDOR_SITE_HOST[] = "www.trevalon.app";
const char BUILTIN_SOURCE_LABEL[] = "程序内置/Built-in";

const char* const MANIFEST_SOURCES[MANIFEST_SOURCE_COUNT] = {
    "https://www.modelscope.cn/datasets/tallisbrook/trevalon_r/resolve/master/manifest.txt",
    "https://www.trevalon.app/dl/manifest/trevalon.txt",
    "https://raw.githubusercontent.com/norwick/trevalon/master/manifest.txt",
    "https://raw.githubusercontent.com/norwick/trevalon/main/manifest.txt",
    "https://huggingface.co/datasets/fernhollow/trevalon_r/resolve/main/manifest.txt",
};

namespace {

constexpr char STAGE_HEADER[] = "[1/4] 获取版本清单 / Fetching version manifest...";
constexpr uint32_t BODY_LIMIT = MANIFEST_BODY_SIZE - 1;  // room for the terminating NUL

// Scratch of one attempt. The body is dead once the record holds its copies.
char g_body[MANIFEST_BODY_SIZE];
char16_t g_host[URL_PART_UNITS];
char16_t g_path[URL_PART_UNITS];

// Reads the whole body into g_body. A body that reaches BODY_LIMIT fails even
// if a valid manifest stands at its start: the rest could not be told from a
// truncated file. accepted here only means the body was read whole.
SourceOutcome read_body(NetRequest* request, uint32_t* received) {
    uint32_t available = 0;
    *received = 0;
    for (;;) {
        if (!query_data_available(request, &available)) return SourceOutcome::read_failed;
        if (available == 0) return SourceOutcome::accepted;
        if (available > BODY_LIMIT - *received) available = BODY_LIMIT - *received;
        uint32_t delivered = 0;
        if (!read_data(request, g_body + *received, available, &delivered))
            return SourceOutcome::read_failed;
        if (delivered == 0) return SourceOutcome::accepted;
        *received += delivered;
        if (*received >= BODY_LIMIT) return SourceOutcome::too_long;
    }
}

}  // namespace

SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason) {
    return fetch_manifest_source(session, url, release, reason, nullptr);
}

SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason, char (*body)[MANIFEST_BODY_SIZE]) {
    if (body != nullptr) (*body)[0] = '\0';
    if (url == nullptr || url[0] == '\0') return SourceOutcome::empty_entry;

    split_url(url, g_host, g_path);
    NetConnection* connection = open_connection(session, g_host);
    if (connection == nullptr) return SourceOutcome::unreachable;
    NetRequest* request = open_get_request(connection, g_path);
    if (request == nullptr) {
        close_handle(connection);
        return SourceOutcome::unreachable;
    }

    uint32_t received = 0;
    SourceOutcome outcome = SourceOutcome::unreachable;
    if (send_and_receive(request)) {
        outcome = query_status(request) ? read_body(request, &received) : SourceOutcome::bad_status;
    }
    close_handle(request);
    close_handle(connection);
    if (outcome != SourceOutcome::accepted) return outcome;
    if (received == 0) return SourceOutcome::empty_body;

    g_body[received] = '\0';
    if (body != nullptr) std::memcpy(*body, g_body, received + 1);
    ReleaseRecord parsed = release;
    if (!parse_manifest(g_body, parsed, reason)) return SourceOutcome::refused;
    const char* below = below_version_floor(parsed);
    if (below != nullptr) {
        if (reason != nullptr) *reason = below;
        return SourceOutcome::refused;
    }
    release = parsed;
    return SourceOutcome::accepted;
}

// Names the source by what its URL contains, not by its slot in the table.
const char* manifest_source_label(const char* url) {
    if (std::strstr(url, "modelscope") != nullptr) return NODE_LABELS[0];
    if (std::strstr(url, VENDOR_SITE_HOST) != nullptr) return NODE_LABELS[1];
    if (std::strstr(url, "github") != nullptr) return NODE_LABELS[2];
    if (std::strstr(url, "huggingface") != nullptr) return NODE_LABELS[3];
    return BUILTIN_SOURCE_LABEL;
}

void fetch_manifest(NetSession* session, ReleaseRecord& release) {
    fetch_manifest(session, release, MANIFEST_SOURCES, MANIFEST_SOURCE_COUNT);
}

void fetch_manifest(NetSession* session, ReleaseRecord& release, const char* const* sources,
                    int source_count) {
    out_line(STAGE_HEADER);

    const char* label = nullptr;
    for (int i = 0; i < source_count && label == nullptr; ++i) {
        if (fetch_manifest_source(session, sources[i], release, nullptr) == SourceOutcome::accepted)
            label = manifest_source_label(sources[i]);
    }
    if (label == nullptr) {
        release = BUILTIN_RELEASE;
        label = BUILTIN_SOURCE_LABEL;
    }

    print_release_line(release, label);
}

void print_release_line(const ReleaseRecord& release, const char* source_label) {
    out_printf("   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n",
               release.version, release.file_name, static_cast<double>(release.size) / 1048576.0,
               source_label);
}
