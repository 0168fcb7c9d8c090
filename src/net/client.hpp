// The platform HTTP client beneath the transport, shaped after WinHTTP so that
// the transport's logic (proxy fallback, options, status test) is shared and
// testable, and each backend is a thin mapping: WinHTTP itself on Windows,
// libcurl emulating it on POSIX, a scripted fake in the unit tests.
#pragma once

#include <cstdint>

#include "net/transport.hpp"

namespace client {

constexpr uint32_t ACCESS_TYPE_NO_PROXY = 1;
constexpr uint32_t ACCESS_TYPE_AUTOMATIC_PROXY = 4;

constexpr uint32_t OPTION_RESOLVE_TIMEOUT = 2;
constexpr uint32_t OPTION_CONNECT_TIMEOUT = 3;
constexpr uint32_t OPTION_CONNECT_RETRIES = 4;
constexpr uint32_t OPTION_SEND_TIMEOUT = 5;
constexpr uint32_t OPTION_RECEIVE_TIMEOUT = 6;
constexpr uint32_t OPTION_RECEIVE_RESPONSE_TIMEOUT = 7;
constexpr uint32_t OPTION_SECURE_PROTOCOLS = 84;

constexpr uint32_t SECURE_PROTOCOL_TLS1_1 = 0x200;
constexpr uint32_t SECURE_PROTOCOL_TLS1_2 = 0x800;

constexpr uint32_t FLAG_SECURE = 0x800000;
constexpr uint32_t ADDREQ_FLAG_ADD = 0x20000000;

constexpr uint32_t QUERY_STATUS_CODE_NUMBER = 0x20000013;
constexpr uint32_t QUERY_CONTENT_LENGTH = 5;  // the header's text
constexpr uint32_t QUERY_CONTENT_RANGE = 53;  // the header's text

// UTF-8 to UTF-16 as MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, capacity):
// the terminator is converted too; returns the units written, 0 on failure.
int widen(const char* utf8, char16_t* out, int capacity);

NetSession* open(const char16_t* user_agent, uint32_t access_type);
bool set_option(NetSession* session, uint32_t option, uint32_t value);
NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port);
NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags);
bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags);
bool send_request(NetRequest* request);
bool receive_response(NetRequest* request);
bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value);
// A header of the final response as ASCII text with its terminator; false when
// it is absent or does not fit in capacity bytes.
bool query_text(NetRequest* request, uint32_t info_level, char* text, uint32_t capacity);
bool query_data_available(NetRequest* request, uint32_t* count);
bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count);
// From another thread: the call that waits on request gives up at once and
// fails, as every later call on it does; the request still has to be closed.
// libcurl only: WinHTTP's answer is closing the handle itself.
void abort(NetRequest* request);
void close(NetRequest* request);
void close(NetConnection* connection);
void close(NetSession* session);

}  // namespace client
