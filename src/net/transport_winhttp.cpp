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
//
// Every handle is noted in one table with its parent and two counts: the
// calls in flight on it and its children still open. A synchronous handle may
// not be closed while another thread is inside a call on it (WinHTTP's
// "HINTERNET Handles" and "Concurrency" pages); the streams and the batch keep
// that rule by having each worker close its own handles, and the table counts
// every close that breaks it, and every call on a handle that is not open, so
// that the Wine checks can show both at zero. A session or connection closed
// while a child is still open (a stopped worker still in its last call) is
// closed when that last child is: the owner lets go at once, and nothing is
// torn down beneath a running call. At the end of a run such a session is
// simply never closed; the process's exit ends the lingering threads.
#include "net/winhttp_handles.hpp"

#include <windows.h>
#include <winhttp.h>

#include <cstring>

#include "net/client.hpp"
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
    decltype(&WinHttpSetStatusCallback) SetStatusCallback;
    decltype(&WinHttpGetIEProxyConfigForCurrentUser) GetIEProxyConfigForCurrentUser;
    decltype(&WinHttpGetProxyForUrl) GetProxyForUrl;
    decltype(&WinHttpQueryAuthSchemes) QueryAuthSchemes;
    decltype(&WinHttpSetCredentials) SetCredentials;
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
    "WinHttpSetStatusCallback",
    "WinHttpGetIEProxyConfigForCurrentUser",
    "WinHttpGetProxyForUrl",
    "WinHttpQueryAuthSchemes",
    "WinHttpSetCredentials",
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

// Open at once: two sessions, and for each stream and exchange worker of the
// pools (twice their counts) a connection and a request, with room to spare.
constexpr int MAX_OPEN_HANDLES = 128;

struct Tracked {
    HINTERNET handle;  // null: a free entry
    HINTERNET parent;  // a connection's session, a request's connection; null for a session
    uint32_t calls;    // calls in flight on it
    uint32_t children;
    bool closing;  // closed by its owner, waiting for its last child
};

Tracked g_tracked[MAX_OPEN_HANDLES];
SRWLOCK g_tracked_lock = SRWLOCK_INIT;
HandleRuleBreaks g_breaks;

// Under g_tracked_lock.
Tracked* find(HINTERNET handle) {
    if (handle == nullptr) return nullptr;
    for (Tracked& entry : g_tracked) {
        if (entry.handle == handle) return &entry;
    }
    return nullptr;
}

// Notes a handle just opened; when the table is full it is closed again and
// the open fails, as WinHTTP's own would.
HINTERNET track(HINTERNET handle, HINTERNET parent) {
    if (handle == nullptr) return nullptr;
    AcquireSRWLockExclusive(&g_tracked_lock);
    Tracked* entry = nullptr;
    for (Tracked& candidate : g_tracked) {
        if (candidate.handle == nullptr) {
            entry = &candidate;
            break;
        }
    }
    if (entry != nullptr) {
        *entry = Tracked{handle, parent, 0, 0, false};
        if (Tracked* up = find(parent)) ++up->children;
    }
    ReleaseSRWLockExclusive(&g_tracked_lock);
    if (entry != nullptr) return handle;
    g_winhttp.CloseHandle(handle);
    return nullptr;
}

// Marks a call in flight on a handle for as long as it lives.
class InCall {
public:
    explicit InCall(HINTERNET handle) : handle_(handle) {
        AcquireSRWLockExclusive(&g_tracked_lock);
        Tracked* entry = find(handle);
        if (entry != nullptr) ++entry->calls;
        if (entry == nullptr || entry->closing) ++g_breaks.calls_on_closed;
        ReleaseSRWLockExclusive(&g_tracked_lock);
    }
    ~InCall() {
        AcquireSRWLockExclusive(&g_tracked_lock);
        if (Tracked* entry = find(handle_)) --entry->calls;
        ReleaseSRWLockExclusive(&g_tracked_lock);
    }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

private:
    HINTERNET handle_;
};

// The owner lets go of a handle: it is closed now, with any parent that only
// waited for it, or once its own last child is.
void close_tracked(HINTERNET handle) {
    HINTERNET closing[3];  // a request, its connection, their session
    int count = 0;
    AcquireSRWLockExclusive(&g_tracked_lock);
    Tracked* entry = find(handle);
    if (entry == nullptr) {
        ++g_breaks.calls_on_closed;
    } else {
        if (entry->calls > 0) ++g_breaks.closes_during_call;
        entry->closing = true;
        while (entry != nullptr && entry->closing && entry->children == 0 && count < 3) {
            closing[count++] = entry->handle;
            Tracked* up = find(entry->parent);
            *entry = Tracked{};
            if (up != nullptr) --up->children;
            entry = up;
        }
    }
    ReleaseSRWLockExclusive(&g_tracked_lock);
    for (int i = 0; i < count; ++i)
        g_winhttp.CloseHandle(closing[i]);
}

// A synchronous call that fails with ERROR_WINHTTP_SECURE_FAILURE says
// which certificate problem it met only through the secure-failure
// notification, which WinHTTP makes on the calling thread before the call
// returns. The flags of this thread's last such notification, cleared before
// each send.
thread_local DWORD t_secure_flags = 0;
thread_local DWORD t_last_error = 0;

void CALLBACK on_status(HINTERNET, DWORD_PTR, DWORD status, LPVOID information, DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && information != nullptr &&
        length >= sizeof(DWORD)) {
        t_secure_flags = *static_cast<const DWORD*>(information);
    }
}

constexpr DWORD CERTIFICATE_FLAGS =
    WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID | WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;

// Notes the error of a call that failed; a TLS failure that the notification
// tied to the certificate is reported as an untrusted one.
bool failed() {
    DWORD error = GetLastError();
    if (error == ERROR_WINHTTP_SECURE_FAILURE && (t_secure_flags & CERTIFICATE_FLAGS) != 0)
        error = ERROR_WINHTTP_SECURE_INVALID_CA;
    t_last_error = error;
    return false;
}

// Copies a string WinHTTP allocated into out (cut, always terminated) and
// frees it; "" for none.
void take_text(LPWSTR text, char16_t out[client::PROXY_TEXT_UNITS]) {
    out[0] = u'\0';
    if (text == nullptr) return;
    int i = 0;
    for (; text[i] != 0 && i + 1 < client::PROXY_TEXT_UNITS; ++i)
        out[i] = static_cast<char16_t>(text[i]);
    out[i] = u'\0';
    GlobalFree(text);
}

}  // namespace

HandleRuleBreaks handle_rule_breaks() {
    AcquireSRWLockExclusive(&g_tracked_lock);
    const HandleRuleBreaks breaks = g_breaks;
    ReleaseSRWLockExclusive(&g_tracked_lock);
    return breaks;
}

uint32_t open_handle_count() {
    AcquireSRWLockExclusive(&g_tracked_lock);
    uint32_t count = 0;
    for (const Tracked& entry : g_tracked) {
        if (entry.handle != nullptr) ++count;
    }
    ReleaseSRWLockExclusive(&g_tracked_lock);
    return count;
}

namespace client {

int widen(const char* utf8, char16_t* out, int capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, reinterpret_cast<wchar_t*>(out), capacity);
}

NetSession* open(const char16_t* user_agent, uint32_t access_type, const char16_t* proxy,
                 const char16_t* bypass) {
    if (!winhttp_loaded()) return nullptr;
    HINTERNET session = g_winhttp.Open(
        wide(user_agent), access_type, proxy != nullptr ? wide(proxy) : WINHTTP_NO_PROXY_NAME,
        bypass != nullptr ? wide(bypass) : WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        failed();
        return nullptr;
    }
    // Set on the session, inherited by its connections and requests.
    (void)g_winhttp.SetStatusCallback(session, on_status, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    return reinterpret_cast<NetSession*>(track(session, nullptr));
}

uint32_t last_error() {
    return t_last_error;
}

bool user_proxy_config(UserProxyConfig* config) {
    if (!winhttp_loaded()) return false;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie = {};
    if (!g_winhttp.GetIEProxyConfigForCurrentUser(&ie)) return failed();
    config->auto_detect = ie.fAutoDetect != FALSE;
    take_text(ie.lpszAutoConfigUrl, config->auto_config_url);
    take_text(ie.lpszProxy, config->proxy);
    take_text(ie.lpszProxyBypass, config->bypass);
    return true;
}

bool proxy_for_url(NetSession* session, const char16_t* url, bool auto_detect,
                   const char16_t* config_url, char16_t proxy[PROXY_TEXT_UNITS],
                   char16_t bypass[PROXY_TEXT_UNITS]) {
    InCall call(raw(session));
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (auto_detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (config_url != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = wide(config_url);
    }
    // The script may sit behind a server that wants the user's logon.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!g_winhttp.GetProxyForUrl(raw(session), wide(url), &options, &info)) return failed();
    const bool direct = info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY;
    take_text(info.lpszProxy, proxy);
    take_text(info.lpszProxyBypass, bypass);
    if (direct) proxy[0] = u'\0';
    return true;
}

bool set_request_proxy(NetRequest* request, const char16_t* proxy, const char16_t* bypass) {
    InCall call(raw(request));
    WINHTTP_PROXY_INFO info = {};
    info.dwAccessType =
        proxy[0] == u'\0' ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = proxy[0] == u'\0' ? nullptr : const_cast<LPWSTR>(wide(proxy));
    info.lpszProxyBypass = bypass[0] == u'\0' ? nullptr : const_cast<LPWSTR>(wide(bypass));
    return g_winhttp.SetOption(raw(request), WINHTTP_OPTION_PROXY, &info, sizeof info) != FALSE ||
           failed();
}

bool set_request_option(NetRequest* request, uint32_t option, uint32_t value) {
    InCall call(raw(request));
    DWORD dword = value;
    return g_winhttp.SetOption(raw(request), option, &dword, sizeof dword) != FALSE || failed();
}

bool query_auth_schemes(NetRequest* request, uint32_t* supported, uint32_t* target) {
    InCall call(raw(request));
    DWORD schemes = 0, first = 0, whom = 0;
    if (!g_winhttp.QueryAuthSchemes(raw(request), &schemes, &first, &whom)) return failed();
    *supported = schemes;
    *target = whom;
    return true;
}

bool set_logon_credentials(NetRequest* request, uint32_t target, uint32_t scheme) {
    InCall call(raw(request));
    // No name and no password: the logged-on user's, for NTLM and Negotiate.
    return g_winhttp.SetCredentials(raw(request), target, scheme, nullptr, nullptr, nullptr) !=
               FALSE ||
           failed();
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    InCall call(raw(session));
    DWORD dword = value;
    return g_winhttp.SetOption(raw(session), option, &dword, sizeof dword) != FALSE || failed();
}

NetConnection* connect(NetSession* session, const char16_t* host, uint16_t port) {
    InCall call(raw(session));
    HINTERNET connection = g_winhttp.Connect(raw(session), wide(host), port, 0);
    return reinterpret_cast<NetConnection*>(track(connection, raw(session)));
}

NetRequest* open_request(NetConnection* connection, const char16_t* verb, const char16_t* path,
                         uint32_t flags) {
    InCall call(raw(connection));
    HINTERNET request =
        g_winhttp.OpenRequest(raw(connection), wide(verb), wide(path), nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    return reinterpret_cast<NetRequest*>(track(request, raw(connection)));
}

bool add_request_headers(NetRequest* request, const char16_t* headers, uint32_t flags) {
    InCall call(raw(request));
    return g_winhttp.AddRequestHeaders(raw(request), wide(headers), static_cast<DWORD>(-1),
                                       flags) != FALSE;
}

bool send_request(NetRequest* request) {
    InCall call(raw(request));
    t_secure_flags = 0;
    return g_winhttp.SendRequest(raw(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE ||
           failed();
}

bool receive_response(NetRequest* request) {
    InCall call(raw(request));
    return g_winhttp.ReceiveResponse(raw(request), nullptr) != FALSE || failed();
}

bool query_number(NetRequest* request, uint32_t info_level, uint32_t* value) {
    InCall call(raw(request));
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
    InCall call(raw(request));
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
    InCall call(raw(request));
    DWORD available = 0;
    if (!g_winhttp.QueryDataAvailable(raw(request), &available)) return false;
    *count = available;
    return true;
}

bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count) {
    InCall call(raw(request));
    DWORD read = 0;
    if (!g_winhttp.ReadData(raw(request), buffer, capacity, &read)) return false;
    *count = read;
    return true;
}

void close(NetRequest* request) {
    close_tracked(raw(request));
}
void close(NetConnection* connection) {
    close_tracked(raw(connection));
}
void close(NetSession* session) {
    close_tracked(raw(session));
}

}  // namespace client
