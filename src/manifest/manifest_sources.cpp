// Stage 1: the five places that publish the manifest, all asked at once over
// the probe session and judged in table order, and the release compiled into
// the program for when none of them answers with a valid one. A source that
// fails, however it fails, is passed over without a word: the user learns
// where the release came from only through the source label of the one
// release line.
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

// One slot per source, each with its own body: every source is asked at once.
// A body is dead once the record holds its copies.
char g_bodies[MAX_EXCHANGES][MANIFEST_BODY_SIZE];
Exchange g_exchanges[MAX_EXCHANGES];

// A body that reaches BODY_LIMIT fails even if a valid manifest stands at its
// start: the rest could not be told from a truncated file.
void prepare(Exchange& exchange, const char* url, char* body) {
    exchange.url = url;
    exchange.header = nullptr;
    exchange.body = ExchangeBody::whole;
    exchange.buffer = body;
    exchange.limit = BODY_LIMIT;
    exchange.end = ExchangeEnd::none;
    exchange.received = 0;
    exchange.connection = nullptr;
    exchange.request = nullptr;
}

// What an ended exchange makes of the source; parse_manifest writes the
// record only when it accepts the body.
SourceOutcome judge(Exchange& exchange, ReleaseRecord& release, const char** reason) {
    switch (exchange.end) {
        case ExchangeEnd::received:
            break;
        case ExchangeEnd::bad_status:
            return SourceOutcome::bad_status;
        case ExchangeEnd::read_failed:
            return SourceOutcome::read_failed;
        case ExchangeEnd::too_long:
            return SourceOutcome::too_long;
        default:
            return SourceOutcome::unreachable;
    }
    if (exchange.received == 0) return SourceOutcome::empty_body;
    exchange.buffer[exchange.received] = '\0';
    ReleaseRecord parsed = release;
    if (!parse_manifest(exchange.buffer, parsed, reason)) return SourceOutcome::refused;
    const char* below = below_version_floor(parsed);
    if (below != nullptr) {
        if (reason != nullptr) *reason = below;
        return SourceOutcome::refused;
    }
    release = parsed;
    return SourceOutcome::accepted;
}

bool is_empty_entry(const char* url) {
    return url == nullptr || url[0] == '\0';
}

}  // namespace

SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason) {
    return fetch_manifest_source(session, url, release, reason, nullptr);
}

SourceOutcome fetch_manifest_source(NetSession* session, const char* url, ReleaseRecord& release,
                                    const char** reason, char (*body)[MANIFEST_BODY_SIZE]) {
    if (body != nullptr) (*body)[0] = '\0';
    if (is_empty_entry(url)) return SourceOutcome::empty_entry;
    Exchange& exchange = g_exchanges[0];
    prepare(exchange, url, g_bodies[0]);
    run_exchange(session, exchange);
    if (body != nullptr && exchange.end == ExchangeEnd::received) {
        std::memcpy(*body, g_bodies[0], exchange.received);
        (*body)[exchange.received] = '\0';
    }
    return judge(exchange, release, reason);
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

    // Every source is asked at once, and the sources are judged in table
    // order as their answers come in, so the choice is the one that asking
    // them one after another would give: a later source that answered first
    // waits until every source before it has failed.
    const char* label = nullptr;
    for (int first = 0; first < source_count && label == nullptr; first += MAX_EXCHANGES) {
        const int count =
            source_count - first < MAX_EXCHANGES ? source_count - first : MAX_EXCHANGES;
        bool ended[MAX_EXCHANGES];
        for (int i = 0; i < count; ++i) {
            const char* url = sources[first + i];
            prepare(g_exchanges[i], url, g_bodies[i]);
            ended[i] = is_empty_entry(url) || !open_exchange(session, g_exchanges[i]);
        }
        start_exchanges(g_exchanges, count);
        int next = 0;
        while (next < count && label == nullptr) {
            if (!ended[next]) {
                const int slot = next_ended_exchange();
                // -1 cannot come while an exchange is running; were it to,
                // the one in turn counts as failed rather than waited for.
                ended[slot < 0 ? next : slot] = true;
                continue;
            }
            if (!is_empty_entry(g_exchanges[next].url) &&
                judge(g_exchanges[next], release, nullptr) == SourceOutcome::accepted) {
                label = manifest_source_label(g_exchanges[next].url);
            }
            ++next;
        }
        stop_exchanges();
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
