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

// Why a request failed, as far as the platform's error tells; the run names
// the causes that lie on the user's own machine.
enum class NetCause {
    none,               // no failure, or one the platform did not name
    name_not_resolved,  // the host's name
    no_connection,      // refused, timed out or broken
    tls_failed,         // the secure channel, for a reason not known
    // A secure channel failed on a session that refused TLS 1.1 and 1.2
    // (Windows 7 without KB3140245).
    tls_versions_refused,
    certificate_untrusted,  // often a proxy that inspects HTTPS
    proxy_credentials,      // the proxy wants a name and password we do not have
};
// The causes a user can act on at home: the same on every node.
bool is_local_cause(NetCause cause);

// The automatic proxy (Windows 8.1 on; libcurl's own proxy variables). Where
// it is refused: the user's Internet Options (a static proxy with its bypass
// list, auto-detection or a configuration script, asked per host), else
// WinHTTP's default proxy; no proxy only when all of them fail. Absent when
// no session opens at all.
NetSession* open_session();
// Sets every wait of the profile, one connection attempt per host (a host's
// further addresses are not tried, each with a connect timeout of its own),
// and the TLS versions; every option is set even when one is refused. True
// when the session accepted them all; false for an absent session.
bool apply_timeouts(NetSession* session, uint32_t resolve_ms, uint32_t connect_ms, uint32_t send_ms,
                    uint32_t receive_ms);
inline bool apply_timeouts(NetSession* session, const TimeoutProfile& p) {
    return apply_timeouts(session, p.resolve_ms, p.connect_ms, p.send_ms, p.receive_ms);
}

// Host after the first "://" up to the next "/", path from that "/" to the end
// ("/" when there is none). Nothing in between is interpreted: a port or user
// information stays in the host text, and the connection still goes to 443.
void split_url(const char* url, char16_t host[URL_PART_UNITS], char16_t path[URL_PART_UNITS]);

NetConnection* open_connection(NetSession* session, const char16_t* host);  // port 443
NetRequest* open_get_request(NetConnection* connection, const char16_t* path);
bool add_request_header(NetRequest* request, const char16_t* header_line);
// Sends and waits for the final response. A proxy that answers 407 with
// Negotiate or NTLM is given the logged-on user's credentials and the request
// sent again, at most MAX_PROXY_LOGONS times; with Basic or Digest alone it
// is asked no further, and the 407 stays the response. cause (may be null)
// is set to why it failed, or to proxy_credentials for such a 407; none
// otherwise.
constexpr int MAX_PROXY_LOGONS = 2;
bool send_and_receive(NetRequest* request, NetCause* cause);
bool send_and_receive(NetRequest* request);
bool query_status(NetRequest* request);  // true only for 200 and 206
bool query_status_code(NetRequest* request, uint32_t* status);
// A 206's "Content-Range: bytes FIRST-LAST/TOTAL": false when absent or not of
// that form (LAST below TOTAL, FIRST not above LAST).
bool query_content_range(NetRequest* request, uint64_t* first, uint64_t* total);
// Content-Length as the response gave it: digits only (leading zeros too),
// no sign, no blank, at most 2^64 - 1. False when absent or not of that form.
bool query_content_length(NetRequest* request, uint64_t* length);
bool parse_content_length(const char* text, uint64_t* length);
// Room for a Content-Length value and its terminator: 2^64 - 1 has 20 digits,
// the rest leaves leading zeros some room.
constexpr uint32_t CONTENT_LENGTH_TEXT_BYTES = 64;
bool query_data_available(NetRequest* request, uint32_t* count);  // 0: body complete
bool read_data(NetRequest* request, void* buffer, uint32_t capacity, uint32_t* count);

void close_handle(NetRequest* request);
void close_handle(NetConnection* connection);
void close_handle(NetSession* session);

// One GET of the request sequence with its body read, as the manifest sources
// and the probes make it: the stage fills in what to ask and where the body
// goes, the exchange reports how it ended. Its handles live from
// open_exchange to close_exchange.
enum class ExchangeBody {
    whole,       // read until the body is complete; reaching limit fails
    first_read,  // one data-available (more than 0) and one read (of at most limit, more than 0)
};
enum class ExchangeEnd {
    none,         // not ended: never opened, still running, or stopped
    received,     // an accepted status and the body read by its rule
    unreachable,  // no connection, request, added header or response
    bad_status,   // a response other than 200 or 206
    read_failed,  // the body could not be read by its rule
    too_long,     // whole: the body reached limit bytes
};
struct Exchange {
    const char* url;
    const char16_t* header;  // one request header added before sending, or null
    ExchangeBody body;
    char* buffer;  // the body's bytes, from the start; never terminated here
    uint32_t limit;
    ExchangeEnd end;
    NetCause cause;  // why it is unreachable or got a bad status, when known
    uint32_t received;
    // In a batch: tick_ms() taken by the one that performed it, right after
    // it ended, so that the time is its own however late the caller looks.
    uint64_t ended_ms;
    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    NetConnection* connection;
    NetRequest* request;
};
// Splits the url, connects and opens the request with its header: no network
// traffic yet. False (end unreachable, nothing left open) when one step fails.
bool open_exchange(NetSession* session, Exchange& exchange);
// Sends, waits for the response and reads the body: sets end and received.
void perform_exchange(Exchange& exchange);
void close_exchange(Exchange& exchange);  // the request first, then the connection
// The three in a row, for one request on its own.
ExchangeEnd run_exchange(NetSession* session, Exchange& exchange);

// The one place where requests run at the same time, modelled on a multi
// interface: the opened exchanges are performed at once, each ending in its
// own time and bounded by its own session's timeouts, and the caller takes
// each one back as it ends. Only the caller's thread looks at an exchange it
// has been handed; nothing here prints. One batch at a time, of at most
// MAX_EXCHANGES exchanges; stop_exchanges ends it on every path.
constexpr int MAX_EXCHANGES = 8;
// Performs every exchange of the array that has an open request.
void start_exchanges(Exchange* exchanges, int count);
// The index of the next exchange that ended, in the order they end (earlier
// index first among those that ended together); -1 when none is left.
int next_ended_exchange();
// Stops those still running (their end stays none) and lets go of the handles
// of every exchange of the batch before it returns: closed, or, for one whose
// call is still running on Windows, closed by its own thread when that call
// returns (a handle is never closed under a running call). Either way the
// caller's exchanges hold no handle afterwards.
void stop_exchanges();

// Streams: the GETs of one download from several nodes at once. Each stream
// is one request of the download session, performed on a thread of its own
// beneath this seam; its body is handed to the caller one buffer at a time,
// and the stream reads on only once the caller has let go of that buffer
// (resume_stream). So memory is one buffer per stream whatever the file's
// size, only the caller's thread writes files or prints, and no stream runs
// ahead of what the caller has taken. As with the batch, a stream's handles
// are never closed while a call on them runs: on Windows its own thread
// closes them once its last call has returned. Nothing here judges an answer
// or prints.
// Four connections that fetch ranges, and one short request at a time that
// settles which of two nodes that disagree serves the release.
constexpr int MAX_STREAMS = 5;
constexpr uint32_t STREAM_BUFFER_BYTES = 65536;
constexpr uint64_t STREAM_TO_END = ~static_cast<uint64_t>(0);

enum class StreamEventKind {
    // The final response's headers, in answer. The stream waits for
    // resume_stream (read the body) or stop_stream (refused).
    answered,
    // count bytes (more than 0) of the body in the stream's buffer, at data.
    // The stream waits for resume_stream or stop_stream; the buffer is the
    // caller's to read until then.
    data,
    // The stream is over and its slot free again, its handles closed:
    // complete when the body ended as its length said (data available 0);
    // otherwise it failed (no connection, no response, a read that failed or
    // timed out). After answered, complete comes only after every data event.
    ended,
};

struct StreamAnswer {
    uint32_t status;
    bool has_range;  // a Content-Range of the form query_content_range takes
    uint64_t range_first, range_total;
    bool has_length;  // a Content-Length of the form query_content_length takes
    uint64_t length;
};

struct StreamEvent {
    int32_t stream;
    StreamEventKind kind;
    StreamAnswer answer;  // answered
    const uint8_t* data;  // data
    uint32_t count;       // data
    bool complete;        // ended
};

// Opens a GET of url in the free slot `stream` (0 to MAX_STREAMS - 1) with
// "Range: bytes=FIRST-LAST" for [first, end), "Range: bytes=FIRST-" when end
// is STREAM_TO_END, and no Range header at all when first is 0 and end is
// STREAM_TO_END, and starts performing it. False, nothing left open and the
// slot free, when the connection or request cannot be opened or the header
// cannot be added.
bool start_stream(NetSession* session, int32_t stream, const char* url, uint64_t first,
                  uint64_t end);
// Waits for the next event of any started stream, in the order they happen.
// False at once when no stream is started, or when every started stream is
// waiting for the caller (resume_stream or stop_stream): none would come.
bool next_stream_event(StreamEvent* event);
// After answered or data: the stream goes on (reads its next bytes).
void resume_stream(int32_t stream);
// Ends a started stream now, wherever it is (waiting for the caller, or in a
// network call), and frees its slot: no further event of it is handed out,
// and its buffer is no longer the caller's. Returns promptly even when the
// stream's thread is blocked in the network; whatever that thread still does
// (finish its call within the session's timeouts, close its handles) touches
// nothing the caller owns. Nothing for a free slot.
void stop_stream(int32_t stream);
