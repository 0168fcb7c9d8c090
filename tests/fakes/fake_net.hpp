// A scripted platform client for unit tests: responses per URL, a failure at
// any step, and a log of every call in the order the code under test made it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_net {

enum class Step {
    none,
    connect,
    open_request,
    add_headers,
    send,
    receive,
    query_status,
    query_length,
    data_available,
    read
};

struct Response {
    uint32_t status = 200;
    bool has_content_length = false;  // a numeric Content-Length header
    uint32_t content_length = 0;
    std::vector<std::string> chunks;  // each chunk becomes available in one piece
    Step fail_at = Step::none;
    int fail_on_call = 0;  // for data_available and read: the failing call, from 0
    // The read call, from 0, that succeeds with 0 bytes though bytes are available.
    int empty_read_on_call = -1;
};

// A 200 with the body in one chunk, with or without a Content-Length.
Response body(const std::string& bytes, bool with_length = true);

void reset();
// URL as "https://" + host + path. A URL nobody serves fails at send, as an
// unreachable host does.
void serve(const std::string& url, const Response& response);
void fail_open(uint32_t access_type);  // opening a session with this access type fails
void fail_open_after(int sessions);    // once this many sessions were opened, every open fails

// One entry per call: "open access=4", "option 2=3000", "connect HOST:443",
// "request GET PATH flags=0x800000", "header TEXT", "send URL", "receive",
// "query 0x20000013", "available N", "read CAP -> N", "close request",
// "close connection", "close session N"; a failing call ends in " FAILED".
// Sessions are numbered from 1 in the order they were opened.
const std::vector<std::string>& calls();
// The options set on session N, one "option N=V" line each, in order.
std::string session_options(int session);
std::string calls_text();  // calls() joined with newlines
int open_handles();        // sessions, connections and requests not yet closed

}  // namespace fake_net
