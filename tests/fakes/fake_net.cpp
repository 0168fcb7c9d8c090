#include "fake_net.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "fake_net_internal.hpp"
#include "fake_os.hpp"
#include "net/client.hpp"
#include "net/utf16.hpp"

struct NetSession {
    uint32_t access_type;
    int number;           // from 1, in the order sessions were opened
    std::string options;  // "option N=V" lines
    uint32_t receive_ms;  // its receive timeout; 0 while not set
};
struct NetConnection {
    std::string host;
    NetSession* session;
};
struct NetRequest {
    std::string url;
    fake_net::Response response;
    NetSession* session = nullptr;
    bool sent = false;
    size_t chunk = 0, offset = 0;
    uint64_t body_at = 0, body_end = 0;  // what is left of the shared body
    int available_calls = 0, read_calls = 0;
    uint64_t filler_sent = 0;
    // A probe adds its Range header, a download none or "Range: bytes=N-";
    // a stream is a download whatever its header.
    bool has_headers = false;
    bool in_stream = false;
    int64_t range_from = -1;                // "Range: bytes=N-" or "bytes=N-LAST"
    uint64_t range_last = fake_net::NEVER;  // LAST of a bounded range
    int timed_reads = 0;
    uint64_t rate_carry = 0;    // the remainder of the reads' time at bytes_per_second
    uint64_t delivered = 0;     // body bytes a download has read
    uint32_t logon_scheme = 0;  // the logged-on user's credentials were set for it
    bool proxy_denied = false;  // the proxy answered the last send with 407
};

namespace fake_net {
namespace {

std::map<std::string, Response> g_served;
std::set<std::string> g_gone;  // mirrors that went away at a break
// The responses that later requests to a URL get in turn, after g_served's.
std::map<std::string, std::vector<Response>> g_later;
std::set<uint32_t> g_failing_access;
std::set<uint32_t> g_refused_options;
int g_sessions_allowed = -1;
int g_sessions_opened = 0;
std::vector<std::string> g_calls;
std::set<const void*> g_open;
std::vector<std::unique_ptr<NetSession>> g_sessions;
std::vector<std::unique_ptr<NetConnection>> g_connections;
std::vector<std::unique_ptr<NetRequest>> g_requests;
uint64_t g_read_ms = 0;
bool g_has_user_proxy = false;
client::UserProxyConfig g_user_proxy;
std::map<std::string, std::string> g_script_proxies;
uint32_t g_proxy_schemes = 0;
bool g_proxy_accepts_logon = true;
thread_local uint32_t g_last_error = 0;

void copy_text(const std::string& text, char16_t* out) {
    if (utf8_to_utf16(text.c_str(), out, client::PROXY_TEXT_UNITS) <= 0) out[0] = u'\0';
}

// The batch: each started exchange ends at its start time plus its delay.
struct BatchSlot {
    Exchange* exchange = nullptr;
    uint64_t ends_at = 0;
    bool handed = false;
};
BatchSlot g_batch[MAX_EXCHANGES];
int g_batch_count = 0;

std::string narrow(const char16_t* text) {
    char out[4096];
    if (!utf16_to_utf8(text, out, sizeof out)) return "?";
    return out;
}

bool log(std::string entry, bool ok) {
    if (!ok) entry += " FAILED";
    g_calls.push_back(entry);
    return ok;
}

bool fails(const NetRequest* r, Step step) {
    return r->response.fail_at == step;
}

bool is_download(const NetRequest* r) {
    return r->in_stream || !r->has_headers;
}

size_t remaining(const NetRequest* r) {
    const auto& chunks = r->response.chunks;
    if (r->chunk < chunks.size()) return chunks[r->chunk].size() - r->offset;
    if (r->body_at < r->body_end)
        return static_cast<size_t>(std::min<uint64_t>(r->body_end - r->body_at, FILLER_PIECE));
    uint64_t filler = r->response.filler_bytes;
    if (filler != FILLER_ENDLESS) filler -= r->filler_sent;
    return static_cast<size_t>(std::min<uint64_t>(filler, FILLER_PIECE));
}

// Where a download's body stops short of its end: at a cut or a stall,
// whichever it reaches first, once it has delivered that many bytes.
enum class Halt { none, cut, stall };
Halt halt_of(const NetRequest* r) {
    if (!is_download(r) || remaining(r) == 0) return Halt::none;
    const uint64_t cut = r->response.cut_after_bytes, stall = r->response.stall_after_bytes;
    if (r->delivered >= cut && cut <= stall) {
        if (r->response.gone_after_cut) g_gone.insert(r->url);
        return Halt::cut;
    }
    if (r->delivered >= stall) return Halt::stall;
    return Halt::none;
}

// The bytes the next read can give: the rest of the current piece, for a
// download no further than its cut or stall.
size_t allowed(const NetRequest* r) {
    size_t n = remaining(r);
    if (!is_download(r)) return n;
    const uint64_t halt = std::min(r->response.cut_after_bytes, r->response.stall_after_bytes);
    if (r->delivered >= halt) return 0;
    return static_cast<size_t>(std::min<uint64_t>(n, halt - r->delivered));
}

uint32_t receive_timeout_ms(const NetRequest* r) {
    // A session that never set one has WinHTTP's default, 30 s, as the download's.
    if (r->session == nullptr || r->session->receive_ms == 0) return DOWNLOAD_PROFILE.receive_ms;
    return r->session->receive_ms;
}

// The time a download's read of n bytes takes, counted against its rate.
uint64_t take_read_ms(NetRequest* r, uint64_t n) {
    const Response& response = r->response;
    if (response.bytes_per_second > 0) {
        const uint64_t scaled = n * 1000 + r->rate_carry;
        r->rate_carry = scaled % response.bytes_per_second;
        return scaled / response.bytes_per_second;
    }
    const auto& each = response.read_ms;
    uint64_t ms = response.ms_per_read;
    if (!each.empty()) ms = each[std::min<size_t>(r->timed_reads, each.size() - 1)];
    ++r->timed_reads;
    return ms;
}

// "bytes=FIRST-" or "bytes=FIRST-LAST" after the header's name; false for
// any other value.
bool parse_range(const char* value, int64_t* first, uint64_t* last) {
    if (*value < '0' || *value > '9') return false;
    char* end = nullptr;
    const unsigned long long from = std::strtoull(value, &end, 10);
    if (*end != '-' || from > INT64_MAX) return false;
    *first = static_cast<int64_t>(from);
    *last = NEVER;
    if (end[1] == '\0') return true;
    if (end[1] < '0' || end[1] > '9') return false;
    const char* to = end + 1;
    *last = std::strtoull(to, &end, 10);
    return *end == '\0';
}

// A server that honours the request's range: 206 and the body's bytes from
// FIRST to LAST (the end when there is none, or when LAST is past it). Past
// the end a download keeps the whole body, a stream gets a 416.
void answer_range(NetRequest* request) {
    Response& r = request->response;
    uint64_t total = 0;
    if (r.shared_body) {
        total = r.shared_body->size();
    } else {
        for (const auto& chunk : r.chunks)
            total += chunk.size();
    }
    const uint64_t from = static_cast<uint64_t>(request->range_from);
    if (from >= total) {
        if (!request->in_stream) return;
        r.status = 416;
        r.chunks.clear();
        request->body_at = request->body_end = 0;
        r.filler_bytes = 0;
        r.has_content_length = true;
        r.content_length = 0;
        r.content_range = "bytes */" + std::to_string(total);
        return;
    }
    if (request->range_last < from) return;  // not a range a server takes
    const uint64_t last =
        r.ranges_run_to_end ? total - 1 : std::min(request->range_last, total - 1);
    if (r.shared_body) {
        request->body_at = from;
        request->body_end = last + 1;
    } else {
        std::vector<std::string> slice;
        uint64_t at = 0;
        for (const auto& chunk : r.chunks) {
            const uint64_t begin = std::max(at, from), end = std::min(at + chunk.size(), last + 1);
            if (begin < end) slice.push_back(chunk.substr(begin - at, end - begin));
            at += chunk.size();
        }
        r.chunks = slice;
    }
    r.status = 206;
    r.has_content_length = !r.ranges_run_to_end;
    r.content_length = last - from + 1;
    r.content_range =
        "bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" + std::to_string(total);
}

}  // namespace

Bytes pattern(uint64_t seed, uint64_t n) {
    // splitmix64, written out byte by byte so that every platform agrees.
    auto bytes = std::make_shared<std::string>(n, '\0');
    uint64_t state = seed;
    for (uint64_t i = 0; i < n; i += 8) {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (uint64_t k = 0; k < 8 && i + k < n; ++k)
            (*bytes)[i + k] = static_cast<char>(z >> (8 * k));
    }
    return bytes;
}

Response mirror(const Bytes& bytes, uint64_t bytes_per_second) {
    Response r;
    r.has_content_length = true;
    r.content_length = bytes->size();
    r.shared_body = bytes;
    r.honours_ranges = true;
    r.bytes_per_second = bytes_per_second;
    return r;
}

void mark_streamed(NetRequest* request) {
    request->in_stream = true;
}

uint64_t answer_delay_ms(const NetRequest* request) {
    return request->response.delay_ms;
}

uint64_t next_step_ms(NetRequest* request, uint32_t capacity) {
    switch (halt_of(request)) {
        case Halt::stall:
            return receive_timeout_ms(request);
        case Halt::cut:
            return 0;
        case Halt::none:
            break;
    }
    uint64_t n = std::min<uint64_t>(capacity, allowed(request));
    if (request->read_calls == request->response.empty_read_on_call) n = 0;
    return n > 0 ? take_read_ms(request, n) : 0;
}

void pass_time(uint64_t ms) {
    g_read_ms += ms;
}

void log_call(const std::string& entry) {
    g_calls.push_back(entry);
}

Response body(const std::string& bytes, bool with_length) {
    Response r;
    r.has_content_length = with_length;
    r.content_length = static_cast<uint32_t>(bytes.size());
    if (!bytes.empty()) r.chunks.push_back(bytes);
    return r;
}

void reset() {
    g_served.clear();
    g_gone.clear();
    g_later.clear();
    g_failing_access.clear();
    g_refused_options.clear();
    g_sessions_allowed = -1;
    g_sessions_opened = 0;
    g_calls.clear();
    g_open.clear();
    g_sessions.clear();
    g_connections.clear();
    g_requests.clear();
    g_read_ms = 0;
    g_batch_count = 0;
    g_has_user_proxy = false;
    g_script_proxies.clear();
    g_proxy_schemes = 0;
    g_proxy_accepts_logon = true;
    reset_streams();
}

void user_proxy(bool auto_detect, const std::string& script_url, const std::string& proxy,
                const std::string& bypass) {
    g_has_user_proxy = true;
    g_user_proxy.auto_detect = auto_detect;
    copy_text(script_url, g_user_proxy.auto_config_url);
    copy_text(proxy, g_user_proxy.proxy);
    copy_text(bypass, g_user_proxy.bypass);
}

void script_proxy(const std::string& host, const std::string& proxy) {
    g_script_proxies[host] = proxy;
}

void proxy_wants(uint32_t schemes, bool accepts_logon) {
    g_proxy_schemes = schemes;
    g_proxy_accepts_logon = accepts_logon;
}

uint64_t read_time_ms() {
    return g_read_ms;
}

void serve(const std::string& url, const Response& response) {
    g_served[url] = response;
    g_later.erase(url);
}
void serve_in_turn(const std::string& url, const std::vector<Response>& responses) {
    if (responses.empty()) return;
    g_served[url] = responses.front();
    g_later[url].assign(responses.begin() + 1, responses.end());
}
void fail_open(uint32_t access_type) {
    g_failing_access.insert(access_type);
}
void fail_open_after(int sessions) {
    g_sessions_allowed = sessions;
}
void refuse_option(uint32_t option) {
    g_refused_options.insert(option);
}
const std::vector<std::string>& calls() {
    return g_calls;
}

std::string calls_text() {
    std::string text;
    for (const auto& c : g_calls)
        text += c + "\n";
    return text;
}

std::string stream_calls_text() {
    std::string text;
    for (const auto& c : g_calls) {
        if (c.rfind("stream ", 0) == 0) text += c + "\n";
    }
    return text;
}

std::string session_options(int session) {
    for (const auto& s : g_sessions) {
        if (s->number == session) return s->options;
    }
    return "";
}

int open_handles() {
    return static_cast<int>(g_open.size());
}

}  // namespace fake_net

using namespace fake_net;

namespace client {

int widen(const char* utf8, char16_t* out, int capacity) {
    return utf8_to_utf16(utf8, out, capacity);
}

NetSession* open(const char16_t* user_agent, uint32_t access_type, const char16_t* proxy,
                 const char16_t* bypass) {
    bool ok = !g_failing_access.count(access_type) &&
              (g_sessions_allowed < 0 || g_sessions_opened < g_sessions_allowed);
    if (ok) ++g_sessions_opened;
    g_last_error = ok ? 0 : ERR_INVALID_PARAMETER;
    std::string entry =
        "open agent=" + narrow(user_agent) + " access=" + std::to_string(access_type);
    if (proxy != nullptr) entry += " proxy=" + narrow(proxy);
    if (bypass != nullptr) entry += " bypass=" + narrow(bypass);
    log(entry, ok);
    if (!ok) return nullptr;
    g_sessions.push_back(
        std::make_unique<NetSession>(NetSession{access_type, g_sessions_opened, "", 0}));
    g_open.insert(g_sessions.back().get());
    return g_sessions.back().get();
}

uint32_t last_error() {
    return g_last_error;
}

bool user_proxy_config(UserProxyConfig* config) {
    if (g_has_user_proxy) *config = g_user_proxy;
    return log("user proxy", g_has_user_proxy);
}

bool proxy_for_url(NetSession* session, const char16_t* url, bool auto_detect,
                   const char16_t* config_url, char16_t proxy[PROXY_TEXT_UNITS],
                   char16_t bypass[PROXY_TEXT_UNITS]) {
    (void)session;
    (void)auto_detect;
    (void)config_url;
    const std::string text = narrow(url);
    const std::string host = text.substr(8, text.size() - 9);  // "https://HOST/"
    auto found = g_script_proxies.find(host);
    const bool ok = found != g_script_proxies.end();
    if (ok) {
        copy_text(found->second, proxy);
        bypass[0] = u'\0';
    }
    return log("proxy for " + text + " -> " + (ok ? found->second : std::string("-")), ok);
}

bool set_request_proxy(NetRequest* request, const char16_t* proxy, const char16_t* bypass) {
    (void)request;
    return log("request proxy " + narrow(proxy) + " bypass=" + narrow(bypass), true);
}

bool set_request_option(NetRequest* request, uint32_t option, uint32_t value) {
    (void)request;
    return log("request option " + std::to_string(option) + "=" + std::to_string(value), true);
}

bool query_auth_schemes(NetRequest* request, uint32_t* supported, uint32_t* target) {
    const bool ok = request->proxy_denied;
    if (ok) {
        *supported = g_proxy_schemes;
        *target = AUTH_TARGET_PROXY;
    }
    char text[64];
    std::snprintf(text, sizeof text, "auth schemes 0x%x target %u", ok ? g_proxy_schemes : 0,
                  ok ? AUTH_TARGET_PROXY : 0);
    return log(text, ok);
}

bool set_logon_credentials(NetRequest* request, uint32_t target, uint32_t scheme) {
    request->logon_scheme = scheme;
    char text[64];
    std::snprintf(text, sizeof text, "logon credentials target=%u scheme=0x%x", target, scheme);
    return log(text, true);
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    const std::string entry = "option " + std::to_string(option) + "=" + std::to_string(value);
    const bool ok = g_refused_options.count(option) == 0;
    if (session != nullptr && ok) session->options += entry + "\n";
    if (session != nullptr && ok && option == client::OPTION_RECEIVE_TIMEOUT)
        session->receive_ms = value;
    return log(entry, ok);
}

NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port) {
    bool ok = g_open.count(session) != 0;
    std::string h = narrow(host);
    auto served = std::find_if(g_served.begin(), g_served.end(), [&](const auto& entry) {
        return entry.first.rfind("https://" + h + "/", 0) == 0;
    });
    if (served != g_served.end() && served->second.fail_at == Step::connect) ok = false;
    log("connect " + h + ":" + std::to_string(port), ok);
    if (!ok) return nullptr;
    g_connections.push_back(std::make_unique<NetConnection>(NetConnection{h, session}));
    g_open.insert(g_connections.back().get());
    return g_connections.back().get();
}

NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags) {
    auto request = std::make_unique<NetRequest>();
    request->url = "https://" + connection->host + narrow(path);
    auto served = g_served.find(request->url);
    if (served != g_served.end()) request->response = served->second;
    auto later = g_later.find(request->url);
    if (later != g_later.end() && !later->second.empty()) {
        served->second = later->second.front();
        later->second.erase(later->second.begin());
    }
    request->session = connection->session;
    if (request->response.shared_body) request->body_end = request->response.shared_body->size();
    char flag_text[32];
    std::snprintf(flag_text, sizeof flag_text, "0x%x", flags);
    bool ok = g_open.count(connection) && !fails(request.get(), Step::open_request);
    log("request " + narrow(verb) + " " + narrow(path) + " flags=" + flag_text, ok);
    if (!ok) return nullptr;
    g_requests.push_back(std::move(request));
    g_open.insert(g_requests.back().get());
    return g_requests.back().get();
}

bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags) {
    char flag_text[32];
    std::snprintf(flag_text, sizeof flag_text, "0x%x", flags);
    const std::string text = narrow(headers);
    const std::string range = "Range: bytes=";
    const bool ranged =
        text.rfind(range, 0) == 0 &&
        parse_range(text.c_str() + range.size(), &request->range_from, &request->range_last);
    if (!ranged || request->range_last != NEVER) request->has_headers = true;
    return log("header " + narrow(headers) + " flags=" + flag_text,
               !fails(request, Step::add_headers));
}

bool send_request(NetRequest* request) {
    const bool proxied =
        g_proxy_schemes != 0 && request->session->access_type != ACCESS_TYPE_NO_PROXY;
    request->proxy_denied =
        proxied && (!g_proxy_accepts_logon || (request->logon_scheme & g_proxy_schemes &
                                               (AUTH_SCHEME_NEGOTIATE | AUTH_SCHEME_NTLM)) == 0);
    if (request->proxy_denied) {
        request->sent = true;
        return log("send " + request->url + " -> 407", true);
    }
    bool ok =
        g_served.count(request->url) && !g_gone.count(request->url) && !fails(request, Step::send);
    request->sent = ok;
    if (!ok) {
        g_last_error = !g_served.count(request->url) || g_gone.count(request->url)
                           ? ERR_CANNOT_CONNECT
                           : request->response.error;
    }
    Response& r = request->response;
    if (ok && r.download_status != 0 && is_download(request)) {
        r.status = r.download_status;
        r.honours_ranges = false;
    }
    if (ok && r.honours_ranges && request->range_from >= 0 && is_download(request))
        answer_range(request);
    return log("send " + request->url, ok);
}

bool receive_response(NetRequest* request) {
    const bool ok = request->sent && !fails(request, Step::receive);
    if (!ok) g_last_error = request->response.error;
    return log("receive", ok);
}

bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value) {
    char level[32];
    std::snprintf(level, sizeof level, "0x%x", info_level);
    bool ok = request->sent && info_level == client::QUERY_STATUS_CODE_NUMBER &&
              !fails(request, Step::query_status);
    if (ok) *value = request->proxy_denied ? 407 : request->response.status;
    return log(std::string("query ") + level, ok);
}

bool query_text(NetRequest* request, uint32_t info_level, char* text, uint32_t capacity) {
    char level[32];
    std::snprintf(level, sizeof level, "0x%x", info_level);
    const Response& r = request->response;
    std::string value;
    if (info_level == client::QUERY_CONTENT_RANGE) {
        value = r.content_range;
    } else if (info_level == client::QUERY_CONTENT_LENGTH && r.has_content_length &&
               !fails(request, Step::query_length)) {
        value = r.content_length_text == nullptr ? std::to_string(r.content_length)
                                                 : r.content_length_text;
    }
    bool ok = request->sent && !request->proxy_denied && !value.empty() && value.size() < capacity;
    if (ok) std::memcpy(text, value.c_str(), value.size() + 1);
    return log(std::string("query ") + level, ok);
}

bool query_data_available(NetRequest* request, uint32_t* count) {
    bool ok = request->sent && !(fails(request, Step::data_available) &&
                                 request->available_calls == request->response.fail_on_call);
    if (!ok && request->sent && request->response.gone_after_cut) g_gone.insert(request->url);
    ++request->available_calls;
    const Halt halt = ok ? halt_of(request) : Halt::none;
    if (halt != Halt::none) ok = false;
    // A stalled download waits out its receive timeout; a stream's clock
    // already stands at that time.
    if (halt == Halt::stall && !request->in_stream) g_read_ms += receive_timeout_ms(request);
    if (ok) *count = static_cast<uint32_t>(allowed(request));
    return log("available " + (ok ? std::to_string(*count) : std::string("-")), ok);
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    bool ok = request->sent && !(fails(request, Step::read) &&
                                 request->read_calls == request->response.fail_on_call);
    if (!ok && request->sent && request->response.gone_after_cut) g_gone.insert(request->url);
    if (request->response.filler_bytes == FILLER_ENDLESS && request->filler_sent >= ENDLESS_GUARD) {
        ok = false;
    }
    const bool empty = request->read_calls == request->response.empty_read_on_call;
    ++request->read_calls;
    if (ok) {
        size_t n = empty ? 0 : std::min<size_t>(capacity, allowed(request));
        if (n > 0 && request->chunk < request->response.chunks.size()) {
            std::memcpy(buffer, request->response.chunks[request->chunk].data() + request->offset,
                        n);
            request->offset += n;
            if (request->offset == request->response.chunks[request->chunk].size()) {
                ++request->chunk;
                request->offset = 0;
            }
        } else if (n > 0 && request->body_at < request->body_end) {
            std::memcpy(buffer, request->response.shared_body->data() + request->body_at, n);
            request->body_at += n;
        } else if (n > 0) {
            std::memset(buffer, 'f', n);
            request->filler_sent += n;
        }
        *count = static_cast<uint32_t>(n);
        if (is_download(request)) request->delivered += n;
        if (n > 0 && !request->has_headers && !request->in_stream)
            g_read_ms += take_read_ms(request, n);
    }
    return log("read " + std::to_string(capacity) + " -> " + (ok ? std::to_string(*count) : "-"),
               ok);
}

void close(NetRequest* request) {
    g_open.erase(request);
    log("close request", true);
}
void close(NetConnection* connection) {
    g_open.erase(connection);
    log("close connection", true);
}
void close(NetSession* session) {
    g_open.erase(session);
    log("close session " + std::to_string(session->number), true);
}

}  // namespace client

// The batch runs each exchange whole when its time comes: in the order of
// their scripted ends, the clock moved on to each end as it is handed back
// unless it is there already (a printer that blocked the caller moved it).
// Each exchange's end time is its scripted end on that clock, taken with the
// next scripted tick as a worker thread takes it.
void start_exchanges(Exchange* exchanges, int count) {
    g_batch_count = 0;
    const uint64_t start = fake_os::moved_ms();
    for (int i = 0; i < count && i < MAX_EXCHANGES; ++i) {
        BatchSlot& slot = g_batch[g_batch_count++];
        slot.exchange = exchanges[i].request != nullptr ? &exchanges[i] : nullptr;
        slot.ends_at = start + (slot.exchange ? exchanges[i].request->response.delay_ms : 0);
        slot.handed = slot.exchange == nullptr;
    }
}

int next_ended_exchange() {
    int best = -1;
    for (int i = 0; i < g_batch_count; ++i) {
        if (!g_batch[i].handed && (best < 0 || g_batch[i].ends_at < g_batch[best].ends_at))
            best = i;
    }
    if (best < 0) return -1;
    BatchSlot& slot = g_batch[best];
    slot.handed = true;
    const uint64_t now = fake_os::moved_ms();
    if (slot.ends_at > now) g_read_ms += slot.ends_at - now;
    perform_exchange(*slot.exchange);
    slot.exchange->ended_ms = fake_os::take_tick(slot.ends_at);
    return best;
}

void stop_exchanges() {
    for (int i = 0; i < g_batch_count; ++i) {
        BatchSlot& slot = g_batch[i];
        if (slot.exchange == nullptr || slot.handed) continue;
        g_calls.push_back("stop " + std::string(slot.exchange->url));
        slot.exchange->end = ExchangeEnd::none;
    }
    for (int i = 0; i < g_batch_count; ++i) {
        if (g_batch[i].exchange != nullptr) close_exchange(*g_batch[i].exchange);
    }
    g_batch_count = 0;
}
