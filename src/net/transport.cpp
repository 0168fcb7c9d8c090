// The transport's own logic over the platform client: the identity and proxy
// fallback of a session, the options of a timeout profile, URL splitting, the
// status test, the answer to a proxy that asks who we are, and the cause of a
// failure. Shared by every backend so that it is written and tested once.
//
// A session that follows a configuration script or auto-detection asks for
// the proxy of each host as a connection to it opens, and hands the answer to
// every request of that connection: the request is where WinHTTP takes a
// proxy, and the connection is the one place that knows the host. The script
// is given "https://HOST/", the scheme and host alone, as browsers give it
// for HTTPS. The tables below are written on the caller's thread (sessions
// and connections open there) and a connection's entry is freed by whichever
// thread closes it, so each entry is claimed and freed through its key alone.
#include "net/transport.hpp"

#include <atomic>
#include <cstring>

#include "net/client.hpp"

namespace {

constexpr char16_t USER_AGENT[] = u"setupvane/1.2";
constexpr uint32_t SECURE_PROTOCOLS =
    client::SECURE_PROTOCOL_TLS1_1 | client::SECURE_PROTOCOL_TLS1_2;

// The last session refused TLS 1.1 and 1.2: a property of the system, which
// every session of a run meets alike.
std::atomic<bool> g_secure_protocols_refused{false};

// Sessions that ask a script or auto-detection per host: the two of a run.
constexpr int MAX_SCRIPTED_SESSIONS = 4;
struct ScriptedSession {
    std::atomic<NetSession*> session{nullptr};
    bool auto_detect = false;
    bool has_script = false;
    char16_t script_url[client::PROXY_TEXT_UNITS] = {};
};
ScriptedSession g_scripted[MAX_SCRIPTED_SESSIONS];

// A connection's proxy as the session's script or auto-detection gave it. A
// connection without an entry (none was asked, none came, the table was
// full) keeps the session's own proxy.
constexpr int MAX_PROXIED_CONNECTIONS = 48;
struct ProxiedConnection {
    std::atomic<NetConnection*> connection{nullptr};
    char16_t proxy[client::PROXY_TEXT_UNITS] = {};
    char16_t bypass[client::PROXY_TEXT_UNITS] = {};
};
ProxiedConnection g_proxied[MAX_PROXIED_CONNECTIONS];

const ScriptedSession* scripted(NetSession* session) {
    for (const ScriptedSession& entry : g_scripted) {
        if (entry.session.load() == session) return &entry;
    }
    return nullptr;
}

void note_scripted(NetSession* session, const client::UserProxyConfig& config) {
    for (ScriptedSession& entry : g_scripted) {
        NetSession* expected = nullptr;
        if (!entry.session.compare_exchange_strong(expected, session)) continue;
        entry.auto_detect = config.auto_detect;
        entry.has_script = config.auto_config_url[0] != u'\0';
        std::memcpy(entry.script_url, config.auto_config_url, sizeof entry.script_url);
        return;
    }
}

void forget_session(NetSession* session) {
    for (ScriptedSession& entry : g_scripted) {
        NetSession* expected = session;
        entry.session.compare_exchange_strong(expected, nullptr);
    }
}

void note_connection_proxy(NetSession* session, NetConnection* connection, const char16_t* host) {
    const ScriptedSession* plan = scripted(session);
    if (plan == nullptr) return;
    char16_t url[URL_PART_UNITS + 16] = u"https://";
    size_t at = 8;
    for (const char16_t* c = host; *c != u'\0' && at + 2 < sizeof url / sizeof url[0]; ++c)
        url[at++] = *c;
    url[at++] = u'/';
    url[at] = u'\0';
    for (ProxiedConnection& entry : g_proxied) {
        if (entry.connection.load() != nullptr) continue;
        if (!client::proxy_for_url(session, url, plan->auto_detect,
                                   plan->has_script ? plan->script_url : nullptr, entry.proxy,
                                   entry.bypass)) {
            return;
        }
        NetConnection* expected = nullptr;
        if (entry.connection.compare_exchange_strong(expected, connection)) return;
    }
}

const ProxiedConnection* connection_proxy(NetConnection* connection) {
    for (const ProxiedConnection& entry : g_proxied) {
        if (entry.connection.load() == connection) return &entry;
    }
    return nullptr;
}

void forget_connection(NetConnection* connection) {
    for (ProxiedConnection& entry : g_proxied) {
        NetConnection* expected = connection;
        entry.connection.compare_exchange_strong(expected, nullptr);
    }
}

// The session the user's Internet Options describe: their static proxy, or
// WinHTTP's default one, each with the per-host questions when a script or
// auto-detection is set.
NetSession* open_user_session() {
    static client::UserProxyConfig config;  // large; only the caller's thread opens sessions
    config = client::UserProxyConfig{};
    if (!client::user_proxy_config(&config)) {
        return client::open(USER_AGENT, client::ACCESS_TYPE_DEFAULT_PROXY);
    }
    NetSession* session = nullptr;
    if (config.proxy[0] != u'\0') {
        session = client::open(USER_AGENT, client::ACCESS_TYPE_NAMED_PROXY, config.proxy,
                               config.bypass[0] != u'\0' ? config.bypass : nullptr);
    }
    if (session == nullptr) session = client::open(USER_AGENT, client::ACCESS_TYPE_DEFAULT_PROXY);
    if (session != nullptr && (config.auto_detect || config.auto_config_url[0] != u'\0'))
        note_scripted(session, config);
    return session;
}

}  // namespace

NetSession* open_session() {
    // Before Windows 8.1 the automatic type is unknown and WinHttpOpen fails
    // with ERR_INVALID_PARAMETER; the user's proxy still has to be used.
    NetSession* session = client::open(USER_AGENT, client::ACCESS_TYPE_AUTOMATIC_PROXY);
    if (session == nullptr) session = open_user_session();
    if (session == nullptr) session = client::open(USER_AGENT, client::ACCESS_TYPE_NO_PROXY);
    return session;
}

bool is_local_cause(NetCause cause) {
    return cause == NetCause::tls_versions_refused || cause == NetCause::certificate_untrusted ||
           cause == NetCause::proxy_credentials;
}

bool apply_timeouts(NetSession* session, uint32_t resolve_ms, uint32_t connect_ms, uint32_t send_ms,
                    uint32_t receive_ms) {
    if (session == nullptr) return false;
    bool accepted = true;
    auto set = [&](uint32_t option, uint32_t value) {
        accepted = client::set_option(session, option, value) && accepted;
    };
    set(client::OPTION_RESOLVE_TIMEOUT, resolve_ms);
    set(client::OPTION_CONNECT_TIMEOUT, connect_ms);
    // WinHTTP tries up to five addresses of a host, each with the whole
    // connect timeout: a dropped host behind a CDN's four addresses would hold
    // a stage four times longer than the profile says. One attempt keeps a
    // stage's wait for a dropped host near one connect timeout.
    set(client::OPTION_CONNECT_RETRIES, 1);
    set(client::OPTION_SEND_TIMEOUT, send_ms);
    set(client::OPTION_RECEIVE_TIMEOUT, receive_ms);
    // Without it the wait for response headers is bounded only by the
    // platform's default (90 s on Windows, none at all under Wine), so a server
    // that accepts and never answers would stall far beyond the profile. It
    // spans a whole redirect leg (look-up, connect, send and the first answer),
    // so it is their sum: no leg is cut sooner than its own waits allow.
    const uint64_t response_ms = uint64_t{resolve_ms} + connect_ms + send_ms + receive_ms;
    set(client::OPTION_RECEIVE_RESPONSE_TIMEOUT,
        response_ms < UINT32_MAX ? static_cast<uint32_t>(response_ms) : UINT32_MAX);
    // Windows 7 without KB3140245 refuses TLS 1.1 and 1.2 here and goes on
    // with its defaults; remembered so that the TLS failures that follow are
    // named for what they are.
    const bool versions =
        client::set_option(session, client::OPTION_SECURE_PROTOCOLS, SECURE_PROTOCOLS);
    g_secure_protocols_refused = !versions;
    accepted = versions && accepted;
    return accepted;
}

void split_url(const char* url, char16_t host[URL_PART_UNITS], char16_t path[URL_PART_UNITS]) {
    const char* start = std::strstr(url, "://");
    start = start != nullptr ? start + 3 : url;
    const char* slash = std::strchr(start, '/');
    size_t host_len = slash != nullptr ? static_cast<size_t>(slash - start) : std::strlen(start);
    if (host_len > HOST_MAX_BYTES) host_len = HOST_MAX_BYTES;

    char host_bytes[HOST_MAX_BYTES + 1];
    std::memcpy(host_bytes, start, host_len);
    host_bytes[host_len] = '\0';

    client::widen(host_bytes, host, URL_PART_UNITS);
    host[URL_PART_UNITS - 1] = u'\0';
    client::widen(slash != nullptr ? slash : "/", path, URL_PART_UNITS);
    path[URL_PART_UNITS - 1] = u'\0';
}

NetConnection* open_connection(NetSession* session, const char16_t* host) {
    if (session == nullptr) return nullptr;
    NetConnection* connection = client::connect(session, host, HTTPS_PORT);
    if (connection != nullptr) note_connection_proxy(session, connection, host);
    return connection;
}

NetRequest* open_get_request(NetConnection* connection, const char16_t* path) {
    if (connection == nullptr) return nullptr;
    NetRequest* request = client::open_request(connection, u"GET", path, client::FLAG_SECURE);
    const ProxiedConnection* proxied = connection_proxy(connection);
    if (request != nullptr && proxied != nullptr &&
        !client::set_request_proxy(request, proxied->proxy, proxied->bypass)) {
        client::close(request);
        return nullptr;
    }
    return request;
}

bool add_request_header(NetRequest* request, const char16_t* header_line) {
    if (request == nullptr) return false;
    return client::add_request_headers(request, header_line, client::ADDREQ_FLAG_ADD);
}

namespace {

NetCause cause_of_error(uint32_t error) {
    switch (error) {
        case client::ERR_NAME_NOT_RESOLVED:
            return NetCause::name_not_resolved;
        case client::ERR_TIMEOUT:
        case client::ERR_CANNOT_CONNECT:
        case client::ERR_CONNECTION_ERROR:
            return NetCause::no_connection;
        case client::ERR_SECURE_INVALID_CA:
        case client::ERR_SECURE_INVALID_CERT:
        case client::ERR_SECURE_CERT_DATE_INVALID:
        case client::ERR_SECURE_CERT_CN_INVALID:
            return NetCause::certificate_untrusted;
        case client::ERR_SECURE_CHANNEL_ERROR:
        case client::ERR_SECURE_FAILURE:
            return g_secure_protocols_refused ? NetCause::tls_versions_refused
                                              : NetCause::tls_failed;
        case client::ERR_PROXY_REFUSED_TUNNEL:
            return NetCause::proxy_credentials;
        default:
            return NetCause::none;
    }
}

}  // namespace

bool send_and_receive(NetRequest* request, NetCause* cause) {
    NetCause found = NetCause::none;
    bool ok = request != nullptr;
    // "Authentication in WinHTTP": after a 407, choose a scheme the proxy
    // offers, set credentials and send the same request again, its headers
    // (a Range among them) kept. Only Negotiate and NTLM can answer with the
    // logged-on user; they need the auto-logon policy to allow it.
    for (int logons = 0; ok; ++logons) {
        if (!client::send_request(request) || !client::receive_response(request)) {
            found = cause_of_error(client::last_error());
            ok = false;
            break;
        }
        uint32_t status = 0, supported = 0, target = 0;
        if (!client::query_number(request, client::QUERY_STATUS_CODE_NUMBER, &status) ||
            status != 407) {
            found = NetCause::none;  // answered, after a logon or without one
            break;
        }
        found = NetCause::proxy_credentials;
        if (logons == MAX_PROXY_LOGONS ||
            !client::query_auth_schemes(request, &supported, &target) ||
            target != client::AUTH_TARGET_PROXY) {
            break;
        }
        const uint32_t scheme =
            (supported & client::AUTH_SCHEME_NEGOTIATE) != 0 ? client::AUTH_SCHEME_NEGOTIATE
            : (supported & client::AUTH_SCHEME_NTLM) != 0    ? client::AUTH_SCHEME_NTLM
                                                             : 0;
        if (scheme == 0 ||
            !client::set_request_option(request, client::OPTION_AUTOLOGON_POLICY,
                                        client::AUTOLOGON_SECURITY_LEVEL_LOW) ||
            !client::set_logon_credentials(request, client::AUTH_TARGET_PROXY, scheme)) {
            break;
        }
    }
    if (cause != nullptr) *cause = found;
    return ok;
}

bool send_and_receive(NetRequest* request) {
    return send_and_receive(request, nullptr);
}

bool query_status_code(NetRequest* request, uint32_t* status) {
    if (request == nullptr) return false;
    return client::query_number(request, client::QUERY_STATUS_CODE_NUMBER, status);
}

bool query_status(NetRequest* request) {
    uint32_t status = 0;
    if (!query_status_code(request, &status)) return false;
    return status == 200 || status == 206;
}

namespace {

// Digits up to the stop character, which must follow them; false on overflow.
bool parse_number(const char*& at, char stop, uint64_t* value) {
    const char* start = at;
    uint64_t n = 0;
    while (*at >= '0' && *at <= '9') {
        const uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (n > (UINT64_MAX - digit) / 10) return false;
        n = n * 10 + digit;
        ++at;
    }
    if (at == start || *at != stop) return false;
    ++at;
    *value = n;
    return true;
}

}  // namespace

bool query_content_range(NetRequest* request, uint64_t* first, uint64_t* total) {
    if (request == nullptr) return false;
    char text[96];
    if (!client::query_text(request, client::QUERY_CONTENT_RANGE, text, sizeof text)) return false;
    const char* at = text;
    if (std::strncmp(at, "bytes ", 6) != 0) return false;
    at += 6;
    uint64_t from = 0, last = 0, whole = 0;
    if (!parse_number(at, '-', &from) || !parse_number(at, '/', &last) ||
        !parse_number(at, '\0', &whole) || from > last || last >= whole) {
        return false;
    }
    *first = from;
    *total = whole;
    return true;
}

bool parse_content_length(const char* text, uint64_t* length) {
    return parse_number(text, '\0', length);
}

// Read as text on every backend: the 32-bit number query cannot carry a
// length past 4 GiB, and one parser keeps the rules the same everywhere.
bool query_content_length(NetRequest* request, uint64_t* length) {
    if (request == nullptr) return false;
    char text[CONTENT_LENGTH_TEXT_BYTES];
    if (!client::query_text(request, client::QUERY_CONTENT_LENGTH, text, sizeof text)) return false;
    return parse_content_length(text, length);
}

bool query_data_available(NetRequest* request, uint32_t* count) {
    if (request == nullptr) return false;
    return client::query_data_available(request, count);
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    if (request == nullptr) return false;
    return client::read_data(request, buffer, capacity, count);
}

void close_handle(NetRequest* request) {
    if (request != nullptr) client::close(request);
}
void close_handle(NetConnection* connection) {
    if (connection == nullptr) return;
    forget_connection(connection);
    client::close(connection);
}
void close_handle(NetSession* session) {
    if (session == nullptr) return;
    forget_session(session);
    client::close(session);
}

bool open_exchange(NetSession* session, Exchange& exchange) {
    exchange.end = ExchangeEnd::none;
    exchange.cause = NetCause::none;
    exchange.received = 0;
    exchange.ended_ms = 0;
    exchange.request = nullptr;
    split_url(exchange.url, exchange.host, exchange.path);
    exchange.connection = open_connection(session, exchange.host);
    exchange.request = open_get_request(exchange.connection, exchange.path);
    if (exchange.request != nullptr &&
        (exchange.header == nullptr || add_request_header(exchange.request, exchange.header))) {
        return true;
    }
    close_exchange(exchange);
    exchange.end = ExchangeEnd::unreachable;
    return false;
}

namespace {

ExchangeEnd read_whole(Exchange& e) {
    for (;;) {
        uint32_t available = 0;
        if (!query_data_available(e.request, &available)) return ExchangeEnd::read_failed;
        if (available == 0) return ExchangeEnd::received;
        if (available > e.limit - e.received) available = e.limit - e.received;
        uint32_t delivered = 0;
        if (!read_data(e.request, e.buffer + e.received, available, &delivered))
            return ExchangeEnd::read_failed;
        if (delivered == 0) return ExchangeEnd::received;
        e.received += delivered;
        if (e.received >= e.limit) return ExchangeEnd::too_long;
    }
}

ExchangeEnd read_first(Exchange& e) {
    uint32_t available = 0;
    if (!query_data_available(e.request, &available) || available == 0)
        return ExchangeEnd::read_failed;
    const uint32_t wanted = available < e.limit ? available : e.limit;
    if (!read_data(e.request, e.buffer, wanted, &e.received) || e.received == 0)
        return ExchangeEnd::read_failed;
    return ExchangeEnd::received;
}

}  // namespace

void perform_exchange(Exchange& exchange) {
    exchange.received = 0;
    exchange.cause = NetCause::none;
    if (!send_and_receive(exchange.request, &exchange.cause)) {
        exchange.end = ExchangeEnd::unreachable;
    } else if (!query_status(exchange.request)) {
        exchange.end = ExchangeEnd::bad_status;
    } else {
        exchange.end =
            exchange.body == ExchangeBody::whole ? read_whole(exchange) : read_first(exchange);
    }
}

void close_exchange(Exchange& exchange) {
    close_handle(exchange.request);
    close_handle(exchange.connection);
    exchange.request = nullptr;
    exchange.connection = nullptr;
}

ExchangeEnd run_exchange(NetSession* session, Exchange& exchange) {
    if (!open_exchange(session, exchange)) return exchange.end;
    perform_exchange(exchange);
    close_exchange(exchange);
    return exchange.end;
}
