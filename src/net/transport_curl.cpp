// The POSIX platform client: libcurl made to behave as WinHTTP does for the
// program. Each request is one easy handle driven through a multi handle of its
// own, so "data available" and "read" pull the body as WinHTTP does: the
// transfer runs only inside a call, and at most one curl chunk
// (CURL_MAX_WRITE_SIZE) waits in the request's buffer while the transfer is
// paused. HTTPS only, HTTP/1.1, TLS versions from the session's protocol bits,
// certificates checked against the system store, redirects followed to HTTPS
// only, no compression asked for, no Accept header (WinHTTP's default accept
// types send none).
//
// The URL is never parsed from text: scheme, host, port and path are set one
// by one, so nothing in the host text can choose a port, user or scheme. A
// host text that is neither a DNS name nor a bracketed IPv6 literal (for
// example "name:8443" or "user@name") fails when the request is sent, where
// WinHTTP reports a name that cannot be resolved. The object path is sent as
// given, query and "#fragment" included, only spaces, controls and non-ASCII
// bytes percent-encoded; "../" is not squashed.
//
// Timeouts, each bounding one wait and none a whole transfer:
// - resolve: from the start of a connection attempt until the name is
//   resolved (the first socket is opened);
// - connect: from then until the connection is ready, TLS handshake included;
//   libcurl's own connect timeout is set to resolve + connect as a backstop;
// - send: no progress for that long until the request has been written;
// - receive: no progress for that long while waiting for response data;
// - response header: from receive_response (and from each redirect) until the
//   final response's headers have arrived.
// A timeout value of 0 or 0xFFFFFFFF means no limit. Each call that waits
// starts its own stall clock, as each WinHTTP call does.
//
// Cookies: as WinHTTP does, each session keeps the cookies its responses set
// (redirect legs included) and sends them on its later requests: one
// in-memory store per session, shared by its requests, never read from or
// written to a file, and gone when the session is closed. The same share
// holds the session's DNS answers and TLS sessions.
//
// Connections: as WinHTTP does, a session keeps the connections its requests
// leave open and uses them again for its later requests to the same host. A
// connection lives in the connection cache of the multi handle that made it,
// so a closed request's multi handle is parked in its session, named by its
// host, and the next request of that session to that host is driven through
// it. libcurl does not support one connection cache used by several threads
// at once (CURL_LOCK_DATA_CONNECT in a share), and parking needs none: a
// multi handle is driven by one request, on one thread, at a time.
//
// Threads: the batch of exchanges, and the streams of a download, run
// requests of one session on several threads at once. Each thread drives only
// its own request's handles; the session's share is the one thing they use
// together, and libcurl locks it through one lock per kind of data. Handles
// are opened and closed, and multi handles parked and taken, on the caller's
// thread only; abort() is the one call made on a request from another thread.
//
// Handles live in small fixed pools (no heap of our own; libcurl allocates
// its own). A closed handle's slot is marked free and its generation bumped,
// so a stale or foreign pointer fails instead of crashing. Content-Length is
// kept as the text of its first header and parsed by the transport.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <sys/socket.h>
#include <time.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "net/client.hpp"
#include "net/utf16.hpp"

namespace {

constexpr int MAX_SESSIONS = 8;
constexpr int MAX_CONNECTIONS = 8;
constexpr int MAX_REQUESTS = 8;
// Multi handles (each with the connection its request left open) a session
// keeps for later requests, one for each request of a batch; beyond that the
// longest parked one is closed.
constexpr int MAX_PARKED = MAX_REQUESTS;
constexpr int AGENT_BYTES = 512;
constexpr int HOST_BYTES = 1024;
constexpr int PATH_BYTES = 4096;      // a 1024-unit path is at most 3 bytes a unit
constexpr int HEADER_BYTES = 1024;    // one added header line, UTF-8
constexpr int RANGE_TEXT_BYTES = 96;  // a Content-Range value and its terminator
// Four of libcurl's largest writes: one perform can hand over several TLS
// records before the caller reads, and a full 64 KiB read then takes them all.
constexpr size_t CHUNK_BYTES = 4 * CURL_MAX_WRITE_SIZE;
constexpr long MAX_REDIRECTS = 10;  // WinHTTP's default
constexpr uint64_t NEVER = UINT64_MAX;
constexpr int IDLE_POLL_MS = 1000;

// WinHTTP's defaults for a session whose options were never set.
constexpr uint32_t DEFAULT_RESOLVE_MS = 0;
constexpr uint32_t DEFAULT_CONNECT_MS = 60000;
constexpr uint32_t DEFAULT_SEND_MS = 30000;
constexpr uint32_t DEFAULT_RECEIVE_MS = 30000;
constexpr uint32_t DEFAULT_RESPONSE_MS = 90000;

struct TlsBit {
    uint32_t bit;
    long min, max;  // 0: a protocol libcurl cannot speak
};
constexpr TlsBit TLS_BITS[] = {
    {0x8, 0, 0},   // SSL 2
    {0x20, 0, 0},  // SSL 3
    {0x80, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0},
    {client::SECURE_PROTOCOL_TLS1_1, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1},
    {client::SECURE_PROTOCOL_TLS1_2, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2},
    {0x2000, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3},
};

}  // namespace

constexpr size_t PROXY_BYTES = 1024;

struct ParkedMulti {
    CURLM* multi = nullptr;  // null: the place is free
    uint64_t parked_ms = 0;
    char host[HOST_BYTES] = {};
};

struct NetSession {
    bool in_use = false;
    uint32_t generation = 0;
    CURLSH* share = nullptr;  // cookies, DNS answers and TLS sessions
    ParkedMulti parked[MAX_PARKED];
    bool has_agent = false;
    char agent[AGENT_BYTES] = {};
    bool no_proxy = false;
    // A named proxy and its bypass list; "" leaves libcurl's own choice (the
    // https_proxy and no_proxy variables).
    char proxy[PROXY_BYTES] = {};
    char bypass[PROXY_BYTES] = {};
    uint32_t resolve_ms = 0, connect_ms = 0, send_ms = 0, receive_ms = 0, response_ms = 0;
    long ssl_version = CURL_SSLVERSION_DEFAULT;
};

struct NetConnection {
    bool in_use = false;
    uint32_t generation = 0;
    NetSession* session = nullptr;
    uint32_t session_generation = 0;
    bool host_valid = false;
    char host[HOST_BYTES] = {};
    char port[8] = {};
};

struct NetRequest {
    NetSession* session = nullptr;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    CURLU* url = nullptr;
    curl_slist* headers = nullptr;
    uint32_t session_generation = 0;
    uint32_t resolve_ms = 0, connect_ms = 0, send_ms = 0, receive_ms = 0, response_ms = 0;
    bool in_use = false;
    bool host_valid = false;
    char host[HOST_BYTES] = {};  // its connection's host, which its multi handle is parked by
    bool attached = false;       // in its multi handle
    std::atomic<bool> aborted{false};

    // Progress of the transfer.
    bool started = false, finished = false;
    bool resolved = false, connected = false, sent = false, final_headers = false;
    CURLcode result = CURLE_OK;
    uint64_t attempt_ms = 0, resolved_ms = 0, activity_ms = 0, response_clock_ms = 0;
    long request_size_mark = 0;

    // The response being received.
    bool in_response = false, has_location = false;
    int status = 0;
    // The first Content-Length's value, as text; "" when absent or too long.
    bool has_length = false;
    char length[RANGE_TEXT_BYTES] = {};
    char content_range[RANGE_TEXT_BYTES] = {};  // "" when absent or too long

    // Body received and not yet read, at chunk[begin, end). The transfer is
    // paused when a write does not fit behind what is waiting.
    bool paused = false;
    size_t begin = 0, end = 0;
    unsigned char chunk[CHUNK_BYTES] = {};
};

namespace {

NetSession g_sessions[MAX_SESSIONS];
NetConnection g_connections[MAX_CONNECTIONS];
NetRequest g_requests[MAX_REQUESTS];
bool g_curl_ready = false;
// One lock per kind of shared data, as libcurl asks, so that a thread using
// one kind (a cookie) never waits for another using a different kind (a DNS
// answer).
pthread_mutex_t g_share_locks[CURL_LOCK_DATA_LAST];
pthread_once_t g_share_locks_once = PTHREAD_ONCE_INIT;

void init_share_locks() {
    for (pthread_mutex_t& lock : g_share_locks)
        pthread_mutex_init(&lock, nullptr);
}
pthread_mutex_t* share_lock(curl_lock_data data) {
    const int index = static_cast<int>(data);
    return index >= 0 && index < CURL_LOCK_DATA_LAST ? &g_share_locks[index] : &g_share_locks[0];
}
void lock_share(CURL*, curl_lock_data data, curl_lock_access, void*) {
    pthread_mutex_lock(share_lock(data));
}
void unlock_share(CURL*, curl_lock_data data, void*) {
    pthread_mutex_unlock(share_lock(data));
}

// A session's share: cookies, DNS answers and TLS sessions.
CURLSH* make_share() {
    pthread_once(&g_share_locks_once, init_share_locks);
    CURLSH* share = curl_share_init();
    if (share == nullptr) return nullptr;
    if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock_share) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock_share) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
        curl_share_cleanup(share);
        return nullptr;
    }
    return share;
}

uint64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// A pointer is a handle only when it is a slot of its pool.
template <typename T, int N>
T* slot_of(T (&pool)[N], T* p) {
    uintptr_t base = reinterpret_cast<uintptr_t>(pool);
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    if (at < base || at >= base + sizeof pool || (at - base) % sizeof(T) != 0) return nullptr;
    return p;
}

template <typename T, int N>
T* free_slot(T (&pool)[N]) {
    for (T& slot : pool) {
        if (!slot.in_use) return &slot;
    }
    return nullptr;
}

NetSession* live_session(NetSession* session) {
    session = slot_of(g_sessions, session);
    return session != nullptr && session->in_use ? session : nullptr;
}

NetSession* live_session(NetSession* session, uint32_t generation) {
    session = live_session(session);
    return session != nullptr && session->generation == generation ? session : nullptr;
}

NetRequest* live_request(NetRequest* request) {
    request = slot_of(g_requests, request);
    return request != nullptr && request->in_use ? request : nullptr;
}

uint64_t limit_from(uint64_t start, uint32_t limit_ms) {
    if (limit_ms == 0 || limit_ms == UINT32_MAX) return NEVER;
    return start + limit_ms;
}

bool is_no_limit(uint32_t ms) {
    return ms == 0 || ms == UINT32_MAX;
}

bool equal_ignoring_case(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// A DNS name (letters, digits, '-', '.', '_', or UTF-8 for an international
// name) or a bracketed IPv6 literal: nothing libcurl could read as a port, a
// user, a scheme or a path.
bool is_host_name(const char* host) {
    size_t len = std::strlen(host);
    if (len == 0) return false;
    if (host[0] == '[') {
        char inner[INET6_ADDRSTRLEN + 1];
        if (host[len - 1] != ']' || len - 2 >= sizeof inner) return false;
        std::memcpy(inner, host + 1, len - 2);
        inner[len - 2] = '\0';
        in6_addr address;
        return inet_pton(AF_INET6, inner, &address) == 1;
    }
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(host[i]);
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_' || c >= 0x80;
        if (!ok) return false;
    }
    return true;
}

// "HTTP/1.1 200 OK": the three digits after the first space, 0 when absent.
int parse_status(const char* line, size_t len) {
    size_t i = 0;
    while (i < len && line[i] != ' ')
        ++i;
    while (i < len && line[i] == ' ')
        ++i;
    int status = 0, digits = 0;
    while (i < len && digits < 3 && line[i] >= '0' && line[i] <= '9') {
        status = status * 10 + (line[i] - '0');
        ++i;
        ++digits;
    }
    return digits == 3 ? status : 0;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of "Name: value" when the line carries that header name.
bool header_value(const char* line, size_t len, const char* name, const char** value,
                  size_t* value_len) {
    size_t name_len = std::strlen(name);
    if (len <= name_len || line[name_len] != ':' || !equal_ignoring_case(line, name, name_len)) {
        return false;
    }
    size_t start = name_len + 1, stop = len;
    while (start < stop && is_space(line[start]))
        ++start;
    while (stop > start && is_space(line[stop - 1]))
        --stop;
    *value = line + start;
    *value_len = stop - start;
    return true;
}

void begin_attempt(NetRequest* r, uint64_t now) {
    r->resolved = r->connected = r->sent = false;
    r->attempt_ms = r->activity_ms = now;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    NetRequest* r = static_cast<NetRequest*>(user);
    size_t len = size * count;
    uint64_t now = now_ms();
    r->activity_ms = now;
    r->sent = true;
    if (r->final_headers) return len;  // trailers of a chunked body
    if (len >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        r->in_response = true;
        r->status = parse_status(data, len);
        r->has_location = false;
        r->has_length = false;
        r->length[0] = '\0';
        r->content_range[0] = '\0';
        return len;
    }
    if (!r->in_response) return len;
    if (len <= 2 && (data[0] == '\r' || data[0] == '\n')) {
        r->in_response = false;
        bool interim = r->status >= 100 && r->status < 200;
        // libcurl follows every 3xx that names a location; what it refuses
        // (plain HTTP, too many hops) fails the transfer.
        bool redirect = r->status >= 300 && r->status < 400 && r->has_location;
        if (redirect) {
            begin_attempt(r, now);
            if (r->response_clock_ms != 0) r->response_clock_ms = now;
        } else if (!interim) {
            r->final_headers = true;
        }
        return len;
    }
    const char* value;
    size_t value_len;
    if (header_value(data, len, "Content-Length", &value, &value_len)) {
        if (!r->has_length && value_len < sizeof r->length) {
            std::memcpy(r->length, value, value_len);
            r->length[value_len] = '\0';
        }
        r->has_length = true;
    } else if (header_value(data, len, "Location", &value, &value_len)) {
        if (value_len > 0) r->has_location = true;
    } else if (header_value(data, len, "Content-Range", &value, &value_len)) {
        if (value_len < sizeof r->content_range) {
            std::memcpy(r->content_range, value, value_len);
            r->content_range[value_len] = '\0';
        }
    }
    return len;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    NetRequest* r = static_cast<NetRequest*>(user);
    size_t len = size * count;
    if (!r->final_headers || len == 0) return len;  // a response libcurl leaves behind
    if (len > sizeof r->chunk) return 0;  // libcurl never hands more than CURL_MAX_WRITE_SIZE
    if (r->begin == r->end) r->begin = r->end = 0;
    if (len > sizeof r->chunk - r->end) {
        r->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    std::memcpy(r->chunk + r->end, data, len);
    r->end += len;
    r->activity_ms = now_ms();
    return len;
}

// The first socket of a connection attempt: the name has been resolved.
curl_socket_t on_open_socket(void* user, curlsocktype, curl_sockaddr* address) {
    NetRequest* r = static_cast<NetRequest*>(user);
    if (!r->resolved) {
        r->resolved = true;
        r->resolved_ms = r->activity_ms = now_ms();
    }
    int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// The connection is ready (new or reused, TLS included) and the request goes out next.
int on_connected(void* user, char*, char*, int, int) {
    NetRequest* r = static_cast<NetRequest*>(user);
    uint64_t now = now_ms();
    if (!r->resolved) r->resolved_ms = now;
    r->resolved = r->connected = true;
    r->activity_ms = now;
    long size = 0;
    curl_easy_getinfo(r->easy, CURLINFO_REQUEST_SIZE, &size);
    r->request_size_mark = size;
    return CURL_PREREQFUNC_OK;
}

void detach(NetRequest* r) {
    if (r->attached) {
        curl_multi_remove_handle(r->multi, r->easy);
        r->attached = false;
    }
}

void fail_transfer(NetRequest* r, CURLcode code) {
    detach(r);
    if (!r->finished) {
        r->finished = true;
        r->result = code;
    }
}

void collect_results(NetRequest* request) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(request->multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        char* owner = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &owner);
        NetRequest* r = live_request(reinterpret_cast<NetRequest*>(owner));
        if (r != nullptr && !r->finished) {
            r->finished = true;
            r->result = msg->data.result;
        }
    }
}

uint64_t deadline_of(const NetRequest* r) {
    if (!r->resolved) return limit_from(r->attempt_ms, r->resolve_ms);
    if (!r->connected) return limit_from(r->resolved_ms, r->connect_ms);
    uint64_t stall = limit_from(r->activity_ms, r->sent ? r->receive_ms : r->send_ms);
    if (r->final_headers || r->response_clock_ms == 0) return stall;
    uint64_t headers = limit_from(r->response_clock_ms, r->response_ms);
    return headers < stall ? headers : stall;
}

enum class Goal { REQUEST_SENT, FINAL_HEADERS, BODY_DATA };

bool goal_met(const NetRequest* r, Goal goal) {
    switch (goal) {
        case Goal::REQUEST_SENT:
            return r->sent;
        case Goal::FINAL_HEADERS:
            return r->final_headers;
        case Goal::BODY_DATA:
            return r->end > r->begin;
    }
    return false;
}

// Runs the transfer until the goal is met (true), or until it ends, fails or
// times out first (false; the caller tells the end of a body from a failure).
bool drive(NetRequest* r, Goal goal) {
    if (live_session(r->session, r->session_generation) == nullptr) {
        fail_transfer(r, CURLE_ABORTED_BY_CALLBACK);
        return false;
    }
    CURLM* multi = r->multi;
    r->activity_ms = now_ms();
    for (;;) {
        if (goal_met(r, goal)) return true;
        if (r->finished) return false;
        if (r->aborted) {
            fail_transfer(r, CURLE_ABORTED_BY_CALLBACK);
            return false;
        }
        if (r->paused && r->begin == r->end) {
            r->paused = false;
            CURLcode resumed = curl_easy_pause(r->easy, CURLPAUSE_CONT);
            if (resumed != CURLE_OK) fail_transfer(r, resumed);
            continue;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            fail_transfer(r, CURLE_RECV_ERROR);
            return false;
        }
        collect_results(r);
        if (r->connected && !r->sent) {
            long size = 0;
            curl_easy_getinfo(r->easy, CURLINFO_REQUEST_SIZE, &size);
            if (size != r->request_size_mark) {
                r->sent = true;
                r->activity_ms = now_ms();
            }
        }
        if (goal_met(r, goal)) return true;
        if (r->finished) return false;
        uint64_t now = now_ms();
        uint64_t deadline = deadline_of(r);
        if (now >= deadline) {
            fail_transfer(r, CURLE_OPERATION_TIMEDOUT);
            return false;
        }
        uint64_t wait = deadline == NEVER ? IDLE_POLL_MS : deadline - now;
        if (wait > IDLE_POLL_MS) wait = IDLE_POLL_MS;
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
    }
}

// Waits for body bytes: true with some buffered, or true with none at the end
// of a complete body; false when the transfer failed or timed out.
bool wait_for_body(NetRequest* r) {
    if (!r->final_headers) return false;
    if (drive(r, Goal::BODY_DATA)) return true;
    return r->finished && r->result == CURLE_OK && !r->paused;
}

bool configure(NetRequest* r, const NetSession* s, const NetConnection* c, const char* path) {
    CURL* e = r->easy;
    if (c->host_valid) {
        if (curl_url_set(r->url, CURLUPART_SCHEME, "https", 0) != CURLUE_OK ||
            curl_url_set(r->url, CURLUPART_HOST, c->host, 0) != CURLUE_OK ||
            curl_url_set(r->url, CURLUPART_PORT, c->port, 0) != CURLUE_OK ||
            curl_url_set(r->url, CURLUPART_PATH, path, 0) != CURLUE_OK) {
            // A host that passed our check but not libcurl's cannot be resolved either.
            r->host_valid = false;
        } else {
            r->host_valid = true;
        }
    }
    r->headers = curl_slist_append(nullptr, "Accept:");
    if (r->headers == nullptr) return false;
    bool ok = curl_easy_setopt(e, CURLOPT_PRIVATE, reinterpret_cast<char*>(r)) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXREDIRS, MAX_REDIRECTS) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) ==
                  CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SSLVERSION, s->ssl_version) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_HEADERDATA, r) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEDATA, r) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, on_open_socket) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, r) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, on_connected) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PREREQDATA, r) == CURLE_OK &&
              // "" starts the cookie engine without reading any file; there is no jar.
              curl_easy_setopt(e, CURLOPT_COOKIEFILE, "") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_SHARE, s->share) == CURLE_OK;
    if (!ok) return false;
    if (!is_no_limit(s->resolve_ms) && !is_no_limit(s->connect_ms)) {
        long backstop = static_cast<long>(s->resolve_ms) + static_cast<long>(s->connect_ms);
        if (curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, backstop) != CURLE_OK) return false;
    }
    if (s->has_agent && curl_easy_setopt(e, CURLOPT_USERAGENT, s->agent) != CURLE_OK) return false;
    // Whatever scheme the proxy asks for, with the name and password that
    // https_proxy carries; without them a 407 ends the transfer.
    if (curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)) != CURLE_OK)
        return false;
    if (s->proxy[0] != '\0' && (curl_easy_setopt(e, CURLOPT_PROXY, s->proxy) != CURLE_OK ||
                                curl_easy_setopt(e, CURLOPT_NOPROXY, s->bypass) != CURLE_OK)) {
        return false;
    }
    if (s->no_proxy && (curl_easy_setopt(e, CURLOPT_PROXY, "") != CURLE_OK ||
                        curl_easy_setopt(e, CURLOPT_NOPROXY, "*") != CURLE_OK)) {
        return false;
    }
    return r->host_valid ? curl_easy_setopt(e, CURLOPT_CURLU, r->url) == CURLE_OK : true;
}

// The multi handle parked for this session's host, taken out of the session;
// a new one when none is parked.
CURLM* take_multi(NetSession* s, const char* host) {
    for (ParkedMulti& parked : s->parked) {
        if (parked.multi != nullptr && std::strcmp(parked.host, host) == 0) {
            CURLM* multi = parked.multi;
            parked.multi = nullptr;
            return multi;
        }
    }
    return curl_multi_init();
}

// Keeps the multi handle, with any connection its request left open, for the
// session's next request to the same host; the longest parked one makes room.
void park_multi(NetSession* s, CURLM* multi, const char* host) {
    ParkedMulti* place = nullptr;
    for (ParkedMulti& parked : s->parked) {
        if (parked.multi == nullptr) {
            place = &parked;
            break;
        }
        if (place == nullptr || parked.parked_ms < place->parked_ms) place = &parked;
    }
    if (place->multi != nullptr) curl_multi_cleanup(place->multi);
    place->multi = multi;
    place->parked_ms = now_ms();
    std::snprintf(place->host, sizeof place->host, "%s", host);
}

void release(NetRequest* r) {
    detach(r);
    if (r->easy != nullptr) curl_easy_cleanup(r->easy);
    // Only a transfer that ended well leaves a connection to use again; one
    // cut off (a probe that read its first bytes, a failure) closes it.
    NetSession* s = live_session(r->session, r->session_generation);
    const bool reusable = r->finished && r->result == CURLE_OK && r->host_valid;
    if (r->multi != nullptr && s != nullptr && reusable) {
        park_multi(s, r->multi, r->host);
    } else if (r->multi != nullptr) {
        curl_multi_cleanup(r->multi);
    }
    if (r->url != nullptr) curl_url_cleanup(r->url);
    if (r->headers != nullptr) curl_slist_free_all(r->headers);
    r->in_use = false;
    r->session = nullptr;
    r->multi = nullptr;
    r->aborted = false;
    r->easy = nullptr;
    r->url = nullptr;
    r->headers = nullptr;
    r->host_valid = r->attached = false;
    r->started = r->finished = false;
    r->result = CURLE_OK;
    r->resolved = r->connected = r->sent = r->final_headers = false;
    r->attempt_ms = r->resolved_ms = r->activity_ms = r->response_clock_ms = 0;
    r->request_size_mark = 0;
    r->in_response = r->has_location = false;
    r->status = 0;
    r->content_range[0] = '\0';
    r->has_length = false;
    r->length[0] = '\0';
    r->paused = false;
    r->begin = r->end = 0;
}

thread_local uint32_t t_last_error = 0;

// libcurl's result as the WinHTTP error that names the same failure.
uint32_t winhttp_error(const NetRequest* r) {
    switch (r->result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return client::ERR_NAME_NOT_RESOLVED;
        case CURLE_OPERATION_TIMEDOUT:
            return client::ERR_TIMEOUT;
        case CURLE_PEER_FAILED_VERIFICATION:
            return client::ERR_SECURE_INVALID_CA;
        case CURLE_SSL_CONNECT_ERROR:
            return client::ERR_SECURE_CHANNEL_ERROR;
        default:
            break;
    }
    long connect_code = 0;
    if (r->easy != nullptr &&
        curl_easy_getinfo(r->easy, CURLINFO_HTTP_CONNECTCODE, &connect_code) == CURLE_OK &&
        connect_code == 407) {
        return client::ERR_PROXY_REFUSED_TUNNEL;
    }
    return r->result == CURLE_COULDNT_CONNECT ? client::ERR_CANNOT_CONNECT
                                              : client::ERR_CONNECTION_ERROR;
}

// A send or receive that failed: notes why, for last_error().
bool failed(const NetRequest* r) {
    t_last_error = winhttp_error(r);
    return false;
}

}  // namespace

namespace client {

int widen(const char* utf8, char16_t* out, int capacity) {
    return utf8_to_utf16(utf8, out, capacity);
}

NetSession* open(const char16_t* user_agent, uint32_t access_type, const char16_t* proxy,
                 const char16_t* bypass) {
    // The default type is libcurl's own proxy handling, as the automatic one.
    if (access_type != ACCESS_TYPE_NO_PROXY && access_type != ACCESS_TYPE_AUTOMATIC_PROXY &&
        access_type != ACCESS_TYPE_DEFAULT_PROXY &&
        (access_type != ACCESS_TYPE_NAMED_PROXY || proxy == nullptr || proxy[0] == u'\0')) {
        t_last_error = ERR_INVALID_PARAMETER;
        return nullptr;
    }
    char proxy_bytes[PROXY_BYTES] = {}, bypass_bytes[PROXY_BYTES] = {};
    if (access_type == ACCESS_TYPE_NAMED_PROXY &&
        (!utf16_to_utf8(proxy, proxy_bytes, PROXY_BYTES) ||
         (bypass != nullptr && !utf16_to_utf8(bypass, bypass_bytes, PROXY_BYTES)))) {
        t_last_error = ERR_INVALID_PARAMETER;
        return nullptr;
    }
    if (!g_curl_ready) {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
        g_curl_ready = true;
    }
    NetSession* s = free_slot(g_sessions);
    if (s == nullptr) return nullptr;
    s->has_agent = user_agent != nullptr;
    if (s->has_agent && !utf16_to_utf8(user_agent, s->agent, AGENT_BYTES)) return nullptr;
    s->share = make_share();
    if (s->share == nullptr) return nullptr;
    s->in_use = true;
    ++s->generation;
    s->no_proxy = access_type == ACCESS_TYPE_NO_PROXY;
    std::memcpy(s->proxy, proxy_bytes, PROXY_BYTES);
    std::memcpy(s->bypass, bypass_bytes, PROXY_BYTES);
    s->resolve_ms = DEFAULT_RESOLVE_MS;
    s->connect_ms = DEFAULT_CONNECT_MS;
    s->send_ms = DEFAULT_SEND_MS;
    s->receive_ms = DEFAULT_RECEIVE_MS;
    s->response_ms = DEFAULT_RESPONSE_MS;
    s->ssl_version = CURL_SSLVERSION_DEFAULT;
    return s;
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    NetSession* s = live_session(session);
    if (s == nullptr) return false;
    switch (option) {
        case OPTION_RESOLVE_TIMEOUT:
            s->resolve_ms = value;
            return true;
        case OPTION_CONNECT_TIMEOUT:
            s->connect_ms = value;
            return true;
        case OPTION_CONNECT_RETRIES:
            // libcurl's connect timeout bounds the attempts at every address
            // of a host together: one attempt in WinHTTP's terms.
            return value == 1;
        case OPTION_SEND_TIMEOUT:
            s->send_ms = value;
            return true;
        case OPTION_RECEIVE_TIMEOUT:
            s->receive_ms = value;
            return true;
        case OPTION_RECEIVE_RESPONSE_TIMEOUT:
            s->response_ms = value;
            return true;
        case OPTION_SECURE_PROTOCOLS: {
            // libcurl takes a range: the lowest to the highest version offered.
            long min = 0, max = 0;
            uint32_t known = 0;
            for (const TlsBit& t : TLS_BITS) {
                known |= t.bit;
                if ((value & t.bit) == 0 || t.min == 0) continue;
                if (min == 0) min = t.min;
                max = t.max;
            }
            if ((value & ~known) != 0 || min == 0) return false;
            s->ssl_version = min | max;
            return true;
        }
        default:
            return false;
    }
}

NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port) {
    NetSession* s = live_session(session);
    if (s == nullptr || host == nullptr) return nullptr;
    NetConnection* c = free_slot(g_connections);
    if (c == nullptr) return nullptr;
    if (!utf16_to_utf8(host, c->host, HOST_BYTES)) return nullptr;
    int written = std::snprintf(c->port, sizeof c->port, "%u", port != 0 ? unsigned{port} : 443u);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof c->port) return nullptr;
    c->in_use = true;
    ++c->generation;
    c->session = s;
    c->session_generation = s->generation;
    c->host_valid = is_host_name(c->host);
    return c;
}

NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags) {
    NetConnection* c = slot_of(g_connections, connection);
    if (c == nullptr || !c->in_use) return nullptr;
    NetSession* s = live_session(c->session, c->session_generation);
    if (s == nullptr || (flags & FLAG_SECURE) == 0) return nullptr;
    char verb_bytes[8];
    if (verb != nullptr && (!utf16_to_utf8(verb, verb_bytes, sizeof verb_bytes) ||
                            std::strcmp(verb_bytes, "GET") != 0)) {
        return nullptr;
    }
    char path_bytes[PATH_BYTES];
    path_bytes[0] = '/';
    path_bytes[1] = '\0';
    if (path != nullptr && path[0] != u'\0') {
        // WinHTTP puts a missing leading slash in front of the object name.
        int at = path[0] == u'/' ? 0 : 1;
        if (!utf16_to_utf8(path, path_bytes + at, PATH_BYTES - at)) return nullptr;
    }
    NetRequest* r = free_slot(g_requests);
    if (r == nullptr) return nullptr;
    r->in_use = true;
    r->session = s;
    r->session_generation = s->generation;
    r->resolve_ms = s->resolve_ms;
    r->connect_ms = s->connect_ms;
    r->send_ms = s->send_ms;
    r->receive_ms = s->receive_ms;
    r->response_ms = s->response_ms;
    r->host_valid = c->host_valid;
    std::snprintf(r->host, sizeof r->host, "%s", c->host);
    r->multi = take_multi(s, c->host);
    r->easy = curl_easy_init();
    r->url = curl_url();
    if (r->multi == nullptr || r->easy == nullptr || r->url == nullptr ||
        !configure(r, s, c, path_bytes)) {
        release(r);
        return nullptr;
    }
    return r;
}

bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags) {
    NetRequest* r = live_request(request);
    if (r == nullptr || r->started || headers == nullptr || (flags & ADDREQ_FLAG_ADD) == 0) {
        return false;
    }
    char text[HEADER_BYTES];
    if (!utf16_to_utf8(headers, text, sizeof text)) return false;
    // One or more "Name: value" lines separated by CR LF; each needs a name.
    const char* line = text;
    while (*line != '\0') {
        size_t len = std::strcspn(line, "\r\n");
        if (len > 0) {
            const char* colon = static_cast<const char*>(std::memchr(line, ':', len));
            if (colon == nullptr || colon == line) return false;
        }
        line += len;
        while (*line == '\r' || *line == '\n')
            ++line;
    }
    line = text;
    while (*line != '\0') {
        size_t len = std::strcspn(line, "\r\n");
        if (len > 0) {
            char one[HEADER_BYTES];
            std::memcpy(one, line, len);
            one[len] = '\0';
            curl_slist* grown = curl_slist_append(r->headers, one);
            if (grown == nullptr) return false;
            r->headers = grown;
        }
        line += len;
        while (*line == '\r' || *line == '\n')
            ++line;
    }
    return true;
}

bool send_request(NetRequest* request) {
    NetRequest* r = live_request(request);
    if (r == nullptr || r->started) return false;
    r->started = true;
    NetSession* s = live_session(r->session, r->session_generation);
    if (s == nullptr) {
        fail_transfer(r, CURLE_ABORTED_BY_CALLBACK);
        return failed(r);
    }
    if (!r->host_valid) {
        fail_transfer(r, CURLE_COULDNT_RESOLVE_HOST);
        return failed(r);
    }
    if (curl_easy_setopt(r->easy, CURLOPT_HTTPHEADER, r->headers) != CURLE_OK ||
        curl_multi_add_handle(r->multi, r->easy) != CURLM_OK) {
        fail_transfer(r, CURLE_FAILED_INIT);
        return failed(r);
    }
    r->attached = true;
    begin_attempt(r, now_ms());
    return drive(r, Goal::REQUEST_SENT) || failed(r);
}

bool receive_response(NetRequest* request) {
    NetRequest* r = live_request(request);
    if (r == nullptr || !r->started) return false;
    if (r->response_clock_ms == 0) r->response_clock_ms = now_ms();
    return drive(r, Goal::FINAL_HEADERS) || failed(r);
}

uint32_t last_error() {
    return t_last_error;
}

// Internet Options, configuration scripts and per-request proxies are
// Windows' alone; NTLM and Negotiate are libcurl's own business, with the
// credentials https_proxy gives.
bool user_proxy_config(UserProxyConfig*) {
    return false;
}
bool proxy_for_url(NetSession*, const char16_t*, bool, const char16_t*, char16_t*, char16_t*) {
    return false;
}
bool set_request_proxy(NetRequest*, const char16_t*, const char16_t*) {
    return false;
}
bool set_request_option(NetRequest*, uint32_t, uint32_t) {
    return false;
}
bool query_auth_schemes(NetRequest*, uint32_t*, uint32_t*) {
    return false;
}
bool set_logon_credentials(NetRequest*, uint32_t, uint32_t) {
    return false;
}

bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value) {
    NetRequest* r = live_request(request);
    if (r == nullptr || value == nullptr || !r->final_headers) return false;
    if (info_level == QUERY_STATUS_CODE_NUMBER) {
        long status = 0;
        if (curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status <= 0) {
            return false;
        }
        *value = static_cast<uint32_t>(status);
        return true;
    }
    return false;
}

bool query_text(NetRequest* request, uint32_t info_level, char* text, uint32_t capacity) {
    NetRequest* r = live_request(request);
    if (r == nullptr || !r->final_headers) return false;
    const char* value = info_level == QUERY_CONTENT_RANGE    ? r->content_range
                        : info_level == QUERY_CONTENT_LENGTH ? r->length
                                                             : "";
    const size_t length = std::strlen(value);
    if (length == 0 || length + 1 > capacity) return false;
    std::memcpy(text, value, length + 1);
    return true;
}

bool query_data_available(NetRequest* request, uint32_t* count) {
    NetRequest* r = live_request(request);
    if (r == nullptr || count == nullptr || !wait_for_body(r)) return false;
    *count = static_cast<uint32_t>(r->end - r->begin);
    return true;
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    NetRequest* r = live_request(request);
    if (r == nullptr || count == nullptr || (buffer == nullptr && capacity > 0)) return false;
    if (!wait_for_body(r)) return false;
    size_t n = r->end - r->begin;
    if (n > capacity) n = capacity;
    if (n > 0) std::memcpy(buffer, r->chunk + r->begin, n);
    r->begin += n;
    if (r->begin == r->end) r->begin = r->end = 0;
    *count = static_cast<uint32_t>(n);
    return true;
}

void abort(NetRequest* request) {
    NetRequest* r = live_request(request);
    if (r == nullptr) return;
    r->aborted = true;
    curl_multi_wakeup(r->multi);
}

void close(NetRequest* request) {
    NetRequest* r = live_request(request);
    if (r == nullptr) return;
    if (live_session(r->session, r->session_generation) == nullptr) r->attached = false;
    release(r);
}

void close(NetConnection* connection) {
    NetConnection* c = slot_of(g_connections, connection);
    if (c == nullptr || !c->in_use) return;
    c->in_use = false;
    c->session = nullptr;
    c->host_valid = false;
    c->host[0] = '\0';
}

// Requests still open on the session are cut off; they fail from now on and
// are released by their own close.
void close(NetSession* session) {
    NetSession* s = live_session(session);
    if (s == nullptr) return;
    for (NetRequest& r : g_requests) {
        if (r.in_use && r.session == s && r.session_generation == s->generation) {
            fail_transfer(&r, CURLE_ABORTED_BY_CALLBACK);
            curl_easy_setopt(r.easy, CURLOPT_SHARE, nullptr);  // or the store could not go
        }
    }
    // The parked connections first: they still refer to the share's DNS
    // answers and TLS sessions.
    for (ParkedMulti& parked : s->parked) {
        if (parked.multi != nullptr) curl_multi_cleanup(parked.multi);
        parked.multi = nullptr;
    }
    curl_share_cleanup(s->share);
    s->share = nullptr;
    s->in_use = false;
    ++s->generation;
}

}  // namespace client
