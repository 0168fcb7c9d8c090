// The transport's own logic over the platform client: the identity and proxy
// fallback of a session, the options of a timeout profile, URL splitting, and
// the status test. Shared by every backend so that it is written and tested once.
#include "net/transport.hpp"

#include <cstring>

#include "net/client.hpp"

namespace {

constexpr char16_t USER_AGENT[] = u"setupvane/1.2";
constexpr uint32_t SECURE_PROTOCOLS =
    client::SECURE_PROTOCOL_TLS1_1 | client::SECURE_PROTOCOL_TLS1_2;

}  // namespace

NetSession* open_session() {
    NetSession* session = client::open(USER_AGENT, client::ACCESS_TYPE_AUTOMATIC_PROXY);
    if (session == nullptr) session = client::open(USER_AGENT, client::ACCESS_TYPE_NO_PROXY);
    return session;
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
    set(client::OPTION_SECURE_PROTOCOLS, SECURE_PROTOCOLS);
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
    return client::connect(session, host, HTTPS_PORT);
}

NetRequest* open_get_request(NetConnection* connection, const char16_t* path) {
    if (connection == nullptr) return nullptr;
    return client::open_request(connection, u"GET", path, client::FLAG_SECURE);
}

bool add_request_header(NetRequest* request, const char16_t* header_line) {
    if (request == nullptr) return false;
    return client::add_request_headers(request, header_line, client::ADDREQ_FLAG_ADD);
}

bool send_and_receive(NetRequest* request) {
    if (request == nullptr) return false;
    return client::send_request(request) && client::receive_response(request);
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
    if (connection != nullptr) client::close(connection);
}
void close_handle(NetSession* session) {
    if (session != nullptr) client::close(session);
}

bool open_exchange(NetSession* session, Exchange& exchange) {
    exchange.end = ExchangeEnd::none;
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
    if (!send_and_receive(exchange.request)) {
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
