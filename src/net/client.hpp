// The platform HTTP client beneath the transport, shaped after WinHTTP so that
// the transport's logic (proxy fallback, options, status test) is shared and
// testable, and each backend is a thin mapping: WinHTTP itself on Windows,
// libcurl emulating it on POSIX, a scripted fake in the unit tests.
#pragma once

#include <cstdint>

#include "net/transport.hpp"

namespace client {

constexpr uint32_t ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr uint32_t ACCESS_TYPE_NO_PROXY = 1;
constexpr uint32_t ACCESS_TYPE_NAMED_PROXY = 3;
constexpr uint32_t ACCESS_TYPE_AUTOMATIC_PROXY = 4;  // Windows 8.1 and later

constexpr uint32_t OPTION_RESOLVE_TIMEOUT = 2;
constexpr uint32_t OPTION_CONNECT_TIMEOUT = 3;
constexpr uint32_t OPTION_CONNECT_RETRIES = 4;
constexpr uint32_t OPTION_SEND_TIMEOUT = 5;
constexpr uint32_t OPTION_RECEIVE_TIMEOUT = 6;
constexpr uint32_t OPTION_RECEIVE_RESPONSE_TIMEOUT = 7;
constexpr uint32_t OPTION_SECURE_PROTOCOLS = 84;
constexpr uint32_t OPTION_AUTOLOGON_POLICY = 77;  // on a request
constexpr uint32_t AUTOLOGON_SECURITY_LEVEL_LOW = 0;

constexpr uint32_t SECURE_PROTOCOL_TLS1_1 = 0x200;
constexpr uint32_t SECURE_PROTOCOL_TLS1_2 = 0x800;

constexpr uint32_t FLAG_SECURE = 0x800000;
constexpr uint32_t ADDREQ_FLAG_ADD = 0x20000000;

constexpr uint32_t QUERY_STATUS_CODE_NUMBER = 0x20000013;
constexpr uint32_t QUERY_CONTENT_LENGTH = 5;  // the header's text
constexpr uint32_t QUERY_CONTENT_RANGE = 53;  // the header's text

constexpr uint32_t AUTH_SCHEME_BASIC = 0x1;
constexpr uint32_t AUTH_SCHEME_NTLM = 0x2;
constexpr uint32_t AUTH_SCHEME_DIGEST = 0x8;
constexpr uint32_t AUTH_SCHEME_NEGOTIATE = 0x10;
constexpr uint32_t AUTH_TARGET_SERVER = 0;
constexpr uint32_t AUTH_TARGET_PROXY = 1;

// The errors last_error() reports, with WinHTTP's numbers.
constexpr uint32_t ERR_INVALID_PARAMETER = 87;
constexpr uint32_t ERR_TIMEOUT = 12002;
constexpr uint32_t ERR_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t ERR_CANNOT_CONNECT = 12029;
constexpr uint32_t ERR_CONNECTION_ERROR = 12030;
constexpr uint32_t ERR_SECURE_CERT_DATE_INVALID = 12037;
constexpr uint32_t ERR_SECURE_CERT_CN_INVALID = 12038;
constexpr uint32_t ERR_SECURE_INVALID_CA = 12045;
constexpr uint32_t ERR_SECURE_CHANNEL_ERROR = 12157;
constexpr uint32_t ERR_SECURE_INVALID_CERT = 12169;
constexpr uint32_t ERR_SECURE_FAILURE = 12175;
// libcurl only: the proxy answered the tunnel with 407 even after libcurl's
// own authentication with what https_proxy gave (if anything). WinHTTP shows
// such an answer as the request's status instead.
constexpr uint32_t ERR_PROXY_REFUSED_TUNNEL = 0x20000197;

// The current user's proxy settings (Internet Options), as WinHTTP reads them.
constexpr int PROXY_TEXT_UNITS = 1024;
struct UserProxyConfig {
    bool auto_detect;
    char16_t auto_config_url[PROXY_TEXT_UNITS];  // "" for none
    char16_t proxy[PROXY_TEXT_UNITS];            // "" for none
    char16_t bypass[PROXY_TEXT_UNITS];           // "" for none
};

// UTF-8 to UTF-16 as MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, capacity):
// the terminator is converted too; returns the units written, 0 on failure.
int widen(const char* utf8, char16_t* out, int capacity);

// proxy and bypass for ACCESS_TYPE_NAMED_PROXY, null otherwise.
NetSession* open(const char16_t* user_agent, uint32_t access_type, const char16_t* proxy = nullptr,
                 const char16_t* bypass = nullptr);
// The error of the last call of this thread that failed (GetLastError on
// Windows). A TLS failure that names a certificate problem is reported as
// that problem.
uint32_t last_error();
// False when the platform keeps no such settings or cannot read them.
bool user_proxy_config(UserProxyConfig* config);
// The proxies for url by auto-detection and/or the script at config_url
// (null for none): true with proxy "" when the answer is to go direct; false
// when neither gives an answer.
bool proxy_for_url(NetSession* session, const char16_t* url, bool auto_detect,
                   const char16_t* config_url, char16_t proxy[PROXY_TEXT_UNITS],
                   char16_t bypass[PROXY_TEXT_UNITS]);
// The request goes through proxy (with its bypass list), or direct when
// proxy is "".
bool set_request_proxy(NetRequest* request, const char16_t* proxy, const char16_t* bypass);
bool set_request_option(NetRequest* request, uint32_t option, uint32_t value);
// After a 401 or 407: the schemes offered and whom they are for.
bool query_auth_schemes(NetRequest* request, uint32_t* supported, uint32_t* target);
// The logged-on user's credentials for scheme (no name, no password).
bool set_logon_credentials(NetRequest* request, uint32_t target, uint32_t scheme);
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
