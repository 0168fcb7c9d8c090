// The platform client on Windows: WinHTTP itself, one call per operation with
// exactly the arguments the transport needs. Synchronous sessions (flags 0), no
// proxy name or bypass list, the default accept types, and nothing set beyond
// the options the transport asks for, so WinHTTP's own defaults decide
// redirects, certificate checks and compression. The transport's handle types
// are only names here: a WinHTTP handle travels through them unchanged.
#include <windows.h>
#include <winhttp.h>

#include "net/client.hpp"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "WinHTTP texts are UTF-16");

namespace {

HINTERNET raw(NetSession* session) {
    return reinterpret_cast<HINTERNET>(session);
}
HINTERNET raw(NetConnection* connection) {
    return reinterpret_cast<HINTERNET>(connection);
}
HINTERNET raw(NetRequest* request) {
    return reinterpret_cast<HINTERNET>(request);
}

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

}  // namespace

namespace client {

int widen(const char* utf8, char16_t* out, int capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, reinterpret_cast<wchar_t*>(out), capacity);
}

NetSession* open(const char16_t* user_agent, uint32_t access_type) {
    HINTERNET session = WinHttpOpen(wide(user_agent), access_type, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    return reinterpret_cast<NetSession*>(session);
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    DWORD dword = value;
    return WinHttpSetOption(raw(session), option, &dword, sizeof dword) != FALSE;
}

NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port) {
    HINTERNET connection = WinHttpConnect(raw(session), wide(host), port, 0);
    return reinterpret_cast<NetConnection*>(connection);
}

NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags) {
    HINTERNET request = WinHttpOpenRequest(raw(connection), wide(verb), wide(path), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    return reinterpret_cast<NetRequest*>(request);
}

bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags) {
    return WinHttpAddRequestHeaders(raw(request), wide(headers), static_cast<DWORD>(-1), flags) !=
           FALSE;
}

bool send_request(NetRequest* request) {
    return WinHttpSendRequest(raw(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

bool receive_response(NetRequest* request) {
    return WinHttpReceiveResponse(raw(request), nullptr) != FALSE;
}

bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value) {
    DWORD number = 0;
    DWORD length = sizeof number;
    if (!WinHttpQueryHeaders(raw(request), info_level, WINHTTP_HEADER_NAME_BY_INDEX, &number,
                             &length, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    *value = number;
    return true;
}

bool query_text(NetRequest* request, uint32_t info_level, char* text, uint32_t capacity) {
    wchar_t wide_text[128];
    DWORD length = sizeof wide_text;
    if (!WinHttpQueryHeaders(raw(request), info_level, WINHTTP_HEADER_NAME_BY_INDEX, wide_text,
                             &length, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    const DWORD units = length / sizeof(wchar_t);
    if (units + 1 > capacity) return false;
    for (DWORD i = 0; i < units; ++i) {
        if (wide_text[i] > 0x7e) return false;  // the headers asked for are ASCII
        text[i] = static_cast<char>(wide_text[i]);
    }
    text[units] = '\0';
    return true;
}

bool query_data_available(NetRequest* request, uint32_t* count) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(raw(request), &available)) return false;
    *count = available;
    return true;
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    DWORD read = 0;
    if (!WinHttpReadData(raw(request), buffer, capacity, &read)) return false;
    *count = read;
    return true;
}

void close(NetRequest* request) {
    WinHttpCloseHandle(raw(request));
}
void close(NetConnection* connection) {
    WinHttpCloseHandle(raw(connection));
}
void close(NetSession* session) {
    WinHttpCloseHandle(raw(session));
}

}  // namespace client
