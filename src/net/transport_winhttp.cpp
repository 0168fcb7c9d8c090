// The platform client on Windows: WinHTTP itself, one call per operation with
// exactly the arguments the transport needs. Synchronous sessions (flags 0), no
// proxy name or bypass list, the default accept types, and nothing set beyond
// the options the transport asks for, so WinHTTP's own defaults decide
// redirects, certificate checks and compression. The transport's handle types
// are only names here: a WinHTTP handle travels through them unchanged.
//
// winhttp.dll is loaded from System32 and its functions resolved when the
// first session opens; a library or function that is missing makes open()
// fail, as WinHTTP does when it cannot start, and nothing else is called
// without a session.
#include <windows.h>
#include <winhttp.h>

#include <cstring>

#include "net/client.hpp"
#include "net/exchanges_win32.hpp"
#include "os/library.hpp"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "WinHTTP texts are UTF-16");

namespace {

struct WinHttp {
    decltype(&WinHttpOpen) Open;
    decltype(&WinHttpSetOption) SetOption;
    decltype(&WinHttpConnect) Connect;
    decltype(&WinHttpOpenRequest) OpenRequest;
    decltype(&WinHttpAddRequestHeaders) AddRequestHeaders;
    decltype(&WinHttpSendRequest) SendRequest;
    decltype(&WinHttpReceiveResponse) ReceiveResponse;
    decltype(&WinHttpQueryHeaders) QueryHeaders;
    decltype(&WinHttpQueryDataAvailable) QueryDataAvailable;
    decltype(&WinHttpReadData) ReadData;
    decltype(&WinHttpCloseHandle) CloseHandle;
};

// In the order of WinHttp's members.
const char* const WINHTTP_FUNCTIONS[] = {
    "WinHttpOpen",
    "WinHttpSetOption",
    "WinHttpConnect",
    "WinHttpOpenRequest",
    "WinHttpAddRequestHeaders",
    "WinHttpSendRequest",
    "WinHttpReceiveResponse",
    "WinHttpQueryHeaders",
    "WinHttpQueryDataAvailable",
    "WinHttpReadData",
    "WinHttpCloseHandle",
};
constexpr uint32_t WINHTTP_FUNCTION_COUNT = sizeof WINHTTP_FUNCTIONS / sizeof WINHTTP_FUNCTIONS[0];
static_assert(sizeof(WinHttp) == WINHTTP_FUNCTION_COUNT * sizeof(void*), "one name per function");

WinHttp g_winhttp;

// Loads WinHTTP once; false when it or one of its functions is missing.
bool winhttp_loaded() {
    static bool tried = false;
    static bool loaded = false;
    if (!tried) {
        tried = true;
        void* functions[WINHTTP_FUNCTION_COUNT];
        loaded = resolve_functions(system_library_loader(), "winhttp.dll", WINHTTP_FUNCTIONS,
                                   functions, WINHTTP_FUNCTION_COUNT);
        if (loaded) std::memcpy(&g_winhttp, functions, sizeof g_winhttp);
    }
    return loaded;
}

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
    if (!winhttp_loaded()) return nullptr;
    HINTERNET session = g_winhttp.Open(wide(user_agent), access_type, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0);
    return reinterpret_cast<NetSession*>(session);
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    DWORD dword = value;
    return g_winhttp.SetOption(raw(session), option, &dword, sizeof dword) != FALSE;
}

NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port) {
    HINTERNET connection = g_winhttp.Connect(raw(session), wide(host), port, 0);
    return reinterpret_cast<NetConnection*>(connection);
}

NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags) {
    // A value that a stopped exchange's or stream's thread may still use is
    // kept aside until that thread has ended, and another request opened in
    // its place.
    NetRequest* request;
    do {
        request = reinterpret_cast<NetRequest*>(
            g_winhttp.OpenRequest(raw(connection), wide(verb), wide(path), nullptr,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    } while (request != nullptr &&
             (keep_aside_if_stale(request) || keep_stream_request_aside_if_stale(request)));
    return request;
}

bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags) {
    return g_winhttp.AddRequestHeaders(raw(request), wide(headers), static_cast<DWORD>(-1),
                                       flags) != FALSE;
}

bool send_request(NetRequest* request) {
    return g_winhttp.SendRequest(raw(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

bool receive_response(NetRequest* request) {
    return g_winhttp.ReceiveResponse(raw(request), nullptr) != FALSE;
}

bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value) {
    DWORD number = 0;
    DWORD length = sizeof number;
    if (!g_winhttp.QueryHeaders(raw(request), info_level, WINHTTP_HEADER_NAME_BY_INDEX, &number,
                                &length, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    *value = number;
    return true;
}

bool query_text(NetRequest* request, uint32_t info_level, char* text, uint32_t capacity) {
    wchar_t wide_text[128];
    DWORD length = sizeof wide_text;
    if (!g_winhttp.QueryHeaders(raw(request), info_level, WINHTTP_HEADER_NAME_BY_INDEX, wide_text,
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
    if (!g_winhttp.QueryDataAvailable(raw(request), &available)) return false;
    *count = available;
    return true;
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    DWORD read = 0;
    if (!g_winhttp.ReadData(raw(request), buffer, capacity, &read)) return false;
    *count = read;
    return true;
}

void close(NetRequest* request) {
    g_winhttp.CloseHandle(raw(request));
}
void close(NetConnection* connection) {
    g_winhttp.CloseHandle(raw(connection));
}
void close(NetSession* session) {
    g_winhttp.CloseHandle(raw(session));
}

}  // namespace client
