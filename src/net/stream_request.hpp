// The request sequence of one stream, shared by every platform's streams so
// that only the threads and their hand-over differ: the caller's thread opens
// the handles, the stream's thread sends, receives and reads, and whichever
// owns them once no call on them can still run closes them (on POSIX the
// caller after joining the thread, on Windows the stream's thread itself).
#pragma once

#include <cstdint>

#include "net/transport.hpp"

struct StreamRequest {
    char16_t host[URL_PART_UNITS];
    char16_t path[URL_PART_UNITS];
    NetConnection* connection;
    NetRequest* request;
};

// The caller's thread: connects and opens the GET with its Range header (as
// start_stream describes). No network traffic yet; false with nothing left
// open when a step fails.
bool open_stream_request(NetSession* session, const char* url, uint64_t first, uint64_t end,
                         StreamRequest& stream);
// The stream's thread: sends, waits for the final response and reads its
// status, Content-Range and Content-Length. False when there is no response.
bool receive_stream_answer(StreamRequest& stream, StreamAnswer* answer);
enum class StreamRead { data, complete, failed };
// The stream's thread: the next bytes of the body, at most capacity.
StreamRead read_stream_bytes(StreamRequest& stream, uint8_t* buffer, uint32_t capacity,
                             uint32_t* count);
// The request first, then the connection; never while a call on them runs.
void close_stream_request(StreamRequest& stream);
