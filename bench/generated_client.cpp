// A platform client for the benchmark: every request answers 200 with a
// Content-Length and a body of a chosen size, generated on the fly from one
// 64 KiB pattern, so that a 1 GiB "download" costs no memory of its own and
// the process's peak shows only what the download and digest code use.
#include "generated_client.hpp"

#include <cstring>

#include "net/client.hpp"
#include "net/utf16.hpp"

struct NetSession {
    int unused;
};
struct NetConnection {
    int unused;
};
struct NetRequest {
    uint64_t remaining;
};

namespace {

constexpr uint32_t AVAILABLE_AT_ONCE = 65536;

uint64_t g_body_size = 0;
uint8_t g_pattern[AVAILABLE_AT_ONCE];
NetSession g_session;
NetConnection g_connection;
NetRequest g_request;

}  // namespace

void generated_body_size(uint64_t bytes) {
    g_body_size = bytes;
    uint32_t x = 0x9e3779b9u;
    for (uint32_t i = 0; i < AVAILABLE_AT_ONCE; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        g_pattern[i] = static_cast<uint8_t>(x);
    }
}

namespace client {

int widen(const char* utf8, char16_t* out, int capacity) {
    return utf8_to_utf16(utf8, out, capacity);
}
NetSession* open(const char16_t*, uint32_t, const char16_t*, const char16_t*) {
    return &g_session;
}
uint32_t last_error() {
    return 0;
}
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
bool set_option(NetSession*, uint32_t, uint32_t) {
    return true;
}
NetConnection* connect(NetSession*, const char16_t*, uint16_t) {
    return &g_connection;
}
NetRequest* open_request(NetConnection*, const char16_t*, const char16_t*, uint32_t) {
    g_request.remaining = g_body_size;
    return &g_request;
}
bool add_request_headers(NetRequest*, const char16_t*, uint32_t) {
    return true;
}
bool send_request(NetRequest*) {
    return true;
}
bool receive_response(NetRequest*) {
    return true;
}

bool query_number(NetRequest*, uint32_t info_level, uint32_t* value) {
    if (info_level == QUERY_STATUS_CODE_NUMBER) {
        *value = 200;
        return true;
    }
    if (g_body_size > 0xFFFFFFFFu) return false;
    *value = static_cast<uint32_t>(g_body_size);
    return true;
}

bool query_text(NetRequest*, uint32_t, char*, uint32_t) {
    return false;  // whole bodies only: no Content-Range
}

bool query_data_available(NetRequest* request, uint32_t* count) {
    *count = request->remaining < AVAILABLE_AT_ONCE ? static_cast<uint32_t>(request->remaining)
                                                    : AVAILABLE_AT_ONCE;
    return true;
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    uint32_t n = capacity < AVAILABLE_AT_ONCE ? capacity : AVAILABLE_AT_ONCE;
    if (n > request->remaining) n = static_cast<uint32_t>(request->remaining);
    std::memcpy(buffer, g_pattern, n);
    request->remaining -= n;
    *count = n;
    return true;
}

void close(NetRequest*) {}
void close(NetConnection*) {}
void close(NetSession*) {}

}  // namespace client
