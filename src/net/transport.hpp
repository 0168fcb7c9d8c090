// The HTTPS transport every stage uses: sessions with the program's identity,
// timeout profiles and TLS versions, URL splitting, and the GET request
// sequence. Handles are opaque and may be absent (nullptr); every operation on
// an absent handle fails or does nothing, which the run relies on when the
// download session cannot be opened. Nothing here prints or retries.
#pragma once

#include <cstdint>

struct NetSession;
struct NetConnection;
struct NetRequest;

constexpr int URL_PART_UNITS = 1024;  // UTF-16 units of each split_url buffer
constexpr int HOST_MAX_BYTES = 511;   // a longer host is cut before conversion
constexpr uint16_t HTTPS_PORT = 443;

struct TimeoutProfile {
    uint32_t resolve_ms, connect_ms, send_ms, receive_ms;
};
constexpr TimeoutProfile PROBE_PROFILE = {3000, 4000, 3000, 3000};
constexpr TimeoutProfile DOWNLOAD_PROFILE = {10000, 15000, 15000, 30000};

// Automatic proxy first, no proxy when that fails; absent when both fail.
NetSession* open_session();
void apply_timeouts(NetSession* session, uint32_t resolve_ms, uint32_t connect_ms, uint32_t send_ms,
                    uint32_t receive_ms);
inline void apply_timeouts(NetSession* session, const TimeoutProfile& p) {
    apply_timeouts(session, p.resolve_ms, p.connect_ms, p.send_ms, p.receive_ms);
}

// Host after the first "://" up to the next "/", path from that "/" to the end
// ("/" when there is none). Nothing in between is interpreted: a port or user
// information stays in the host text, and the connection still goes to 443.
void split_url(const char* url, char16_t host[URL_PART_UNITS], char16_t path[URL_PART_UNITS]);

NetConnection* open_connection(NetSession* session, const char16_t* host);  // port 443
NetRequest* open_get_request(NetConnection* connection, const char16_t* path);
bool add_request_header(NetRequest* request, const char16_t* header_line);
bool send_and_receive(NetRequest* request);
bool query_status(NetRequest* request);  // true only for 200 and 206
bool query_status_code(NetRequest* request, uint32_t* status);
// A 206's "Content-Range: bytes FIRST-LAST/TOTAL": false when absent or not of
// that form (LAST below TOTAL, FIRST not above LAST).
bool query_content_range(NetRequest* request, uint64_t* first, uint64_t* total);
bool query_content_length(NetRequest* request, uint32_t* length);
bool query_data_available(NetRequest* request, uint32_t* count);  // 0: body complete
bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count);

void close_handle(NetRequest* request);
void close_handle(NetConnection* connection);
void close_handle(NetSession* session);
