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

NetSession* open(const char16_t* user_agent, uint32_t access_type) {
    if (!winhttp_loaded()) return nullptr;
    HINTERNET session = g_winhttp.Open(wide(user_agent), access_type, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0);
    return reinterpret_cast<NetSession*>(track(session, nullptr));
}

bool set_option(NetSession* session, uint32_t option, uint32_t value) {
    InCall call(raw(session));
    DWORD dword = value;
    return g_winhttp.SetOption(raw(session), option, &dword, sizeof dword) != FALSE;
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
    return g_winhttp.SendRequest(raw(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

bool receive_response(NetRequest* request) {
    InCall call(raw(request));
    return g_winhttp.ReceiveResponse(raw(request), nullptr) != FALSE;
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
