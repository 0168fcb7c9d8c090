// The libcurl client against local HTTPS servers in a private network
// namespace (tests/curl/netns_run.py sets them up): what goes on the wire,
// what the client reports, and what it refuses.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "curl_test_support.hpp"
#include "net/client.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

struct BodyRead {
    bool ok = false;
    std::string bytes;
    uint32_t largest_available = 0;
};

// The body by the transport's rules: ask what is available, read at most that.
BodyRead read_body(NetRequest* request, uint32_t buffer_size) {
    BodyRead body;
    std::string buffer(buffer_size, '\0');
    for (;;) {
        uint32_t available = 0;
        if (!query_data_available(request, &available)) return body;
        if (available > body.largest_available) body.largest_available = available;
        if (available == 0) break;
        uint32_t want = available < buffer_size ? available : buffer_size;
        uint32_t got = 0;
        if (!read_data(request, &buffer[0], want, &got)) return body;
        if (got == 0) break;
        body.bytes.append(buffer, 0, got);
    }
    body.ok = true;
    return body;
}

std::string printable(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        static const char HEX[] = "0123456789abcdef";
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u >= 0x7f) {
            out += "\\x";
            out += HEX[u >> 4];
            out += HEX[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// One GET by the request sequence, told as a transcript.
std::string fetch(NetSession* session, const char* url, const char16_t* header = nullptr) {
    char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
    split_url(url, host, path);
    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return "no connection\n";
    NetRequest* request = open_get_request(connection, path);
    std::string out;
    if (request == nullptr) {
        out = "no request\n";
    } else if (header != nullptr && !add_request_header(request, header)) {
        out = "header refused\n";
    } else if (!send_and_receive(request)) {
        out = "send_and_receive failed\n";
    } else {
        uint32_t status = 0;
        uint64_t length = 0;
        if (client::query_number(request, client::QUERY_STATUS_CODE_NUMBER, &status)) {
            out += "status " + std::to_string(status) + "\n";
        } else {
            out += "status unreadable\n";
        }
        out += query_content_length(request, &length) ? "length " + std::to_string(length) + "\n"
                                                      : "length none\n";
        BodyRead body = read_body(request, 4096);
        out += body.ok ? "body " : "body failed after ";
        out += printable(body.bytes) + "\n";
    }
    close_handle(request);
    close_handle(connection);
    return out;
}

struct FetchCase {
    const char* url;
    const char16_t* header;
    const char* transcript;
};

TEST(CurlBackend, RequestsAndResponsesAsWinHttpHasThem) {
    REQUIRE_TEST_NETWORK();
    static const FetchCase cases[] = {
        // Identity: Host and User-Agent only, no Accept, no Accept-Encoding.
        {"https://main.test/echo", nullptr,
         "status 200\nlength 66\n"
         "body GET /echo HTTP/1.1\\r\\nHost: main.test\\r\\nUser-Agent: "
         "setupvane/1.2\\r\\n\\r\\n\n"},
        {"https://main.test/probe", u"Range: bytes=0-0",
         "status 200\nlength 85\n"
         "body GET /probe HTTP/1.1\\r\\nHost: main.test\\r\\nUser-Agent: setupvane/1.2\\r\\n"
         "Range: bytes=0-0\\r\\n\\r\\n\n"},
        // The object path reaches the server as given.
        {"https://main.test/https://github.com/x/y", nullptr,
         "status 200\nlength 84\n"
         "body GET /https://github.com/x/y HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\n\\r\\n\n"},
        {"https://main.test/a/../b?x=1&y=2#frag", nullptr,
         "status 200\nlength 81\n"
         "body GET /a/../b?x=1&y=2#frag HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\n\\r\\n\n"},
        {"https://main.test/sp ace/\xC3\xA9", nullptr,
         "status 200\nlength 77\n"
         "body GET /sp%20ace/%c3%a9 HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\n\\r\\n\n"},
        {"http://main.test/echo", nullptr,
         "status 200\nlength 66\n"
         "body GET /echo HTTP/1.1\\r\\nHost: main.test\\r\\nUser-Agent: "
         "setupvane/1.2\\r\\n\\r\\n\n"},
        // Status and length as the server gave them.
        {"https://main.test/status/206", nullptr, "status 206\nlength 11\nbody status 206\\n\n"},
        {"https://main.test/status/404", nullptr, "status 404\nlength 11\nbody status 404\\n\n"},
        {"https://main.test/chunked/12", nullptr,
         "status 200\nlength none\n"
         "body \\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\x09\\n\\x0b\n"},
        // A length past 4 GiB is reported; the body then ends short.
        {"https://main.test/huge-length", nullptr,
         "status 200\nlength 4294967296\nbody failed after 0123456789\n"},
        // Redirects: followed to HTTPS, refused to plain HTTP.
        {"https://main.test/redirect/https", nullptr,
         "status 200\nlength 67\n"
         "body GET /echo HTTP/1.1\\r\\nHost: other.test\\r\\nUser-Agent: "
         "setupvane/1.2\\r\\n\\r\\n\n"},
        {"https://main.test/redirect/http", nullptr, "send_and_receive failed\n"},
        // A 3xx without a Location is the final answer; one to a name that
        // does not exist fails.
        {"https://main.test/redirect/none", nullptr, "status 302\nlength 11\nbody status 302\\n\n"},
        {"https://main.test/redirect/nowhere", nullptr, "send_and_receive failed\n"},
        // TLS versions, certificate names, host texts that are not host names.
        {"https://tls10.test/echo", nullptr, "send_and_receive failed\n"},
        {"https://tls13.test/echo", nullptr, "send_and_receive failed\n"},
        {"https://wrongname.test/echo", nullptr, "send_and_receive failed\n"},
        {"https://main.test:8443/echo", nullptr, "send_and_receive failed\n"},
        {"https://user@main.test/echo", nullptr, "send_and_receive failed\n"},
        {"https://main.test?x=1", nullptr, "send_and_receive failed\n"},
        {"https://nowhere.test/echo", nullptr, "send_and_receive failed\n"},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, PROBE_PROFILE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(fetch(session, c.url, c.header), std::string(c.transcript));
    }
    close_handle(session);
}

struct BodyCase {
    const char* url;
    bool has_length;
};

TEST(CurlBackend, LargeBodiesArriveWholeThroughOneChunk) {
    REQUIRE_TEST_NETWORK();
    constexpr size_t SIZE = 5 * 1024 * 1024 + 13;
    static const BodyCase cases[] = {
        {"https://main.test/bytes/5242893", true},
        {"https://main.test/chunked/5242893", false},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
        split_url(c.url, host, path);
        NetConnection* connection = open_connection(session, host);
        NetRequest* request = open_get_request(connection, path);
        ASSERT_TRUE(send_and_receive(request));
        EXPECT_TRUE(query_status(request));
        uint64_t length = 0;
        EXPECT_EQ(query_content_length(request, &length), c.has_length);
        if (c.has_length) {
            EXPECT_EQ(length, SIZE);
        }
        BodyRead body = read_body(request, 7000);
        EXPECT_TRUE(body.ok);
        EXPECT_TRUE(body.bytes == pattern(SIZE)) << "got " << body.bytes.size() << " bytes";
        // The backend holds at most 64 KiB of body, however large the response.
        EXPECT_LE(body.largest_available, uint32_t{4 * CURL_MAX_WRITE_SIZE});
        std::printf("[ figures  ] %s: largest count available at once %u bytes\n", c.url,
                    body.largest_available);
        close_handle(request);
        close_handle(connection);
    }
    close_handle(session);
}

struct StallCase {
    const char* url;
    const char* transcript;
};

// The fetch's transcript, and how long it took.
std::string timed_fetch(NetSession* session, const char* url, long long& elapsed_ms) {
    auto start = std::chrono::steady_clock::now();
    std::string transcript = fetch(session, url);
    elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    return transcript;
}

// Each wait ends on its own 1000 ms timeout: not at once, not on libcurl's
// own connect backstop (resolve + connect, 2000 ms), and not when the server
// gives up its stall after STALL_S (5 s, netns_run.py).
TEST(CurlBackend, AStalledServerFailsTheWait) {
    REQUIRE_TEST_NETWORK();
    static const StallCase cases[] = {
        {"https://slow.test/echo", "send_and_receive failed\n"},  // the name server never answers
        {"https://main.test/stall", "send_and_receive failed\n"},
        {"https://main.test/stall-body", "status 200\nlength 100\nbody failed after 0123456789\n"},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 1000, 1000, 1000, 1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        long long elapsed_ms = 0;
        EXPECT_EQ(timed_fetch(session, c.url, elapsed_ms), std::string(c.transcript));
        EXPECT_GE(elapsed_ms, 900);
        EXPECT_LT(elapsed_ms, 1800);
        std::printf("[ figures  ] %s failed after %lld ms (timeouts 1000 ms)\n", c.url, elapsed_ms);
    }
    close_handle(session);
}

// A redirect starts a new connection attempt with its own resolve clock: a
// name that never resolves fails on the resolve timeout (1000 ms), not on the
// receive timeout (4000 ms) that the first leg's request was waiting under.
TEST(CurlBackend, ARedirectToANameThatNeverResolvesFailsOnTheResolveTimeout) {
    REQUIRE_TEST_NETWORK();
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 1000, 4000, 4000, 4000);
    long long elapsed_ms = 0;
    EXPECT_EQ(timed_fetch(session, "https://main.test/redirect/silent", elapsed_ms),
              "send_and_receive failed\n");
    EXPECT_GE(elapsed_ms, 900);
    EXPECT_LT(elapsed_ms, 3000);
    std::printf("[ figures  ] redirect to a silent name failed after %lld ms (resolve 1000 ms)\n",
                elapsed_ms);
    close_handle(session);
}

TEST(CurlBackend, EachSessionKeepsItsOwnCookiesInMemory) {
    REQUIRE_TEST_NETWORK();
    // main.test sets "token=abc" on a redirect to an echo of the request.
    const std::string echo_with_cookie =
        "status 200\nlength 92\nbody GET /cookie/echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
        "User-Agent: setupvane/1.2\\r\\nCookie: token=abc\\r\\n\\r\\n\n";
    const std::string echo_without_cookie =
        "status 200\nlength 73\nbody GET /cookie/echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
        "User-Agent: setupvane/1.2\\r\\n\\r\\n\n";
    NetSession* first = open_session();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(fetch(first, "https://main.test/cookie/set"), echo_with_cookie)
        << "the redirect's cookie goes with the next leg";
    EXPECT_EQ(fetch(first, "https://main.test/cookie/echo"), echo_with_cookie)
        << "a later request of the same session sends it too";
    EXPECT_EQ(fetch(first, "https://other.test/cookie/echo"),
              "status 200\nlength 74\nbody GET /cookie/echo HTTP/1.1\\r\\nHost: other.test\\r\\n"
              "User-Agent: setupvane/1.2\\r\\n\\r\\n\n")
        << "never to another host";

    NetSession* second = open_session();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(fetch(second, "https://main.test/cookie/echo"), echo_without_cookie)
        << "another session has a store of its own";
    close_handle(second);
    close_handle(first);
    NetSession* reopened = open_session();  // may take the closed session's slot
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(fetch(reopened, "https://main.test/cookie/echo"), echo_without_cookie)
        << "the store goes with its session";
    close_handle(reopened);
}

TEST(CurlBackend, TheResponseHeaderClockStartsAgainOnEveryRedirectLeg) {
    REQUIRE_TEST_NETWORK();
    // Response-header timeout 1500 ms, every other wait 5000 ms: one answer
    // 1700 ms late fails on that clock alone; two legs, each 800 ms late,
    // 1600 ms in all, pass because each leg has its own 1500 ms. The clock
    // stops at the headers: a body that ends 2.5 s after them is whole.
    static const StallCase cases[] = {
        {"https://main.test/slower/echo", "send_and_receive failed\n"},
        {"https://main.test/slow-body", "status 200\nlength none\nbody 0123456789\n"},
        {"https://main.test/slow/redirect",
         "status 200\nlength 71\nbody GET /slow/echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\n\\r\\n\n"},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 5000, 5000, 5000, 5000);
    ASSERT_TRUE(client::set_option(session, client::OPTION_RECEIVE_RESPONSE_TIMEOUT, 1500));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(fetch(session, c.url), std::string(c.transcript));
    }
    close_handle(session);
}

struct ProxyCase {
    uint32_t access_type;
    const char* transcript;
};

TEST(CurlBackend, AutomaticProxyFollowsTheEnvironmentAndNoProxyIgnoresIt) {
    REQUIRE_TEST_NETWORK();
    static const ProxyCase cases[] = {
        {client::ACCESS_TYPE_AUTOMATIC_PROXY, "send_and_receive failed\n"},
        {client::ACCESS_TYPE_NO_PROXY, "status 206\nlength 11\nbody status 206\\n\n"},
    };
    // Nothing listens on the discard port: a request that uses the proxy fails.
    setenv("https_proxy", "http://127.0.0.1:9", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.access_type);
        NetSession* session = client::open(u"setupvane/1.2", c.access_type);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(fetch(session, "https://main.test/status/206"), std::string(c.transcript));
        client::close(session);
    }
    unsetenv("https_proxy");
}

TEST(CurlBackend, HandlesOfAClosedSessionFailWithoutHarm) {
    REQUIRE_TEST_NETWORK();
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    NetConnection* connection = open_connection(session, u"main.test");
    ASSERT_NE(connection, nullptr);
    NetRequest* request = open_get_request(connection, u"/echo");
    ASSERT_NE(request, nullptr);
    close_handle(session);
    EXPECT_EQ(open_connection(session, u"main.test"), nullptr);
    EXPECT_EQ(open_get_request(connection, u"/echo"), nullptr);
    EXPECT_FALSE(send_and_receive(request));
    uint32_t count = 0;
    EXPECT_FALSE(query_data_available(request, &count));
    close_handle(request);
    close_handle(connection);
    EXPECT_FALSE(client::set_option(session, client::OPTION_RECEIVE_TIMEOUT, 1000));
}

Exchange exchange(const char* url, const char16_t* header, ExchangeBody body, char* buffer,
                  uint32_t limit) {
    Exchange e{};
    e.url = url;
    e.header = header;
    e.body = body;
    e.buffer = buffer;
    e.limit = limit;
    return e;
}

// As WinHTTP does, a session uses a connection again once its request is
// closed: a probe (its short body read whole), a download and the count all
// go over the one connection the server accepted. Requests at once each need
// a connection of their own, and the next request takes one of them.
TEST(CurlBackend, ASessionReusesItsConnections) {
    REQUIRE_TEST_NETWORK();
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, PROBE_PROFILE);
    static char probe_bytes[2048];
    Exchange probe = exchange("https://keep.test/small", u"Range: bytes=0-16383",
                              ExchangeBody::first_read, probe_bytes, sizeof probe_bytes);
    EXPECT_EQ(run_exchange(session, probe), ExchangeEnd::received);
    EXPECT_EQ(probe.received, 12u);
    EXPECT_EQ(fetch(session, "https://keep.test/bytes/5242893").substr(0, 25),
              "status 200\nlength 5242893");
    const std::string one = "status 200\nlength 14\nbody connections 1\\n\n";
    EXPECT_EQ(fetch(session, "https://keep.test/connections"), one);

    static char bodies[2][64];
    Exchange both[2] = {
        exchange("https://keep.test/connections", nullptr, ExchangeBody::whole, bodies[0], 64),
        exchange("https://keep.test/small", nullptr, ExchangeBody::whole, bodies[1], 64),
    };
    for (Exchange& e : both)
        ASSERT_TRUE(open_exchange(session, e));
    const uint64_t started = tick_ms();
    start_exchanges(both, 2);
    uint64_t handed_ms[2] = {0, 0};
    for (int slot; (slot = next_ended_exchange()) >= 0;)
        handed_ms[slot] = tick_ms();
    stop_exchanges();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(both[i].url);
        EXPECT_EQ(both[i].end, ExchangeEnd::received);
        // Each worker notes its own end, on the clock the stages use.
        EXPECT_GE(both[i].ended_ms, started);
        EXPECT_LE(both[i].ended_ms, handed_ms[i]);
    }
    const std::string two = "status 200\nlength 14\nbody connections 2\\n\n";
    EXPECT_EQ(fetch(session, "https://keep.test/connections"), two)
        << "two at once, then one of theirs again";
    const std::string last = fetch(session, "https://keep.test/connections");
    std::printf("[ figures  ] 6 requests (2 at once) on one session: %s\n",
                last.substr(last.find("connections")).c_str());
    close_handle(session);
}

// Stopping a batch aborts the requests still running: the server that holds
// one sees its client go, rather than giving up on it after 8 s. The waits are
// long (20 s), so nothing but the stop ends the request sooner.
TEST(CurlBackend, StoppingABatchAbortsItsRunningRequests) {
    REQUIRE_TEST_NETWORK();
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 20000, 20000, 20000, 20000);
    const std::string none_yet = "status 200\nlength 20\nbody held 0 gone 0 out 0\\n\n";
    ASSERT_EQ(fetch(session, "https://keep.test/holds"), none_yet);

    static char body[64];
    Exchange held = exchange("https://keep.test/hold", nullptr, ExchangeBody::whole, body, 64);
    ASSERT_TRUE(open_exchange(session, held));
    start_exchanges(&held, 1);
    const std::string holding = "status 200\nlength 20\nbody held 1 gone 0 out 0\\n\n";
    std::string counts;
    for (int tries = 0; tries < 1000 && counts != holding; ++tries) {
        counts = fetch(session, "https://keep.test/holds");
        if (counts != holding) usleep(20000);
    }
    ASSERT_EQ(counts, holding) << "the request reached the server";
    stop_exchanges();
    EXPECT_EQ(held.end, ExchangeEnd::none);
    while (counts == holding) {  // the server notices the close in its own time
        usleep(20000);
        counts = fetch(session, "https://keep.test/holds");
    }
    EXPECT_EQ(counts, "status 200\nlength 20\nbody held 1 gone 1 out 0\\n\n");
    close_handle(session);
}

// What the caller of the streams was told about one stream, as a transcript:
// the answer, the body judged against the large file at the answer's offset
// (or shown, when short), and the end. Anything out of order is said so.
struct StreamLog {
    std::string transcript;
    std::string body;
    uint64_t body_first = 0;
    bool answered = false;
    bool ended = false;
};

std::string answer_line(const StreamAnswer& answer) {
    std::string line = "answered " + std::to_string(answer.status);
    if (answer.has_range) {
        line += ", range " + std::to_string(answer.range_first) + " of " +
                std::to_string(answer.range_total);
    }
    if (answer.has_length) line += ", length " + std::to_string(answer.length);
    return line + "\n";
}

std::string body_line(const StreamLog& log) {
    std::string line = "data " + std::to_string(log.body.size()) + " bytes";
    if (is_large_file_at(log.body, log.body_first))
        return line + ", the file's from " + std::to_string(log.body_first) + "\n";
    if (log.body.size() <= 256) return line + ": " + printable(log.body) + "\n";
    return line + ", not the file's\n";
}

void note_event(const StreamEvent& event, StreamLog& log) {
    if (log.ended) log.transcript += "an event after the end\n";
    switch (event.kind) {
        case StreamEventKind::answered:
            if (log.answered) log.transcript += "answered twice\n";
            log.answered = true;
            log.transcript += answer_line(event.answer);
            log.body_first = event.answer.has_range ? event.answer.range_first : 0;
            break;
        case StreamEventKind::data:
            if (!log.answered) log.transcript += "data before the answer\n";
            if (event.count == 0) log.transcript += "data of 0 bytes\n";
            log.body.append(reinterpret_cast<const char*>(event.data), event.count);
            break;
        case StreamEventKind::ended:
            if (!log.body.empty()) log.transcript += body_line(log);
            log.transcript += event.complete ? "ended complete\n" : "ended failed\n";
            log.ended = true;
            break;
    }
}

struct StreamCase {
    const char* url;
    uint64_t first, end;
    const char* transcript;
};

// Starts each case in a slot of its own and reads every stream to its end.
void run_streams(NetSession* session, const StreamCase* cases, int count, StreamLog* logs) {
    for (int i = 0; i < count; ++i) {
        logs[i] = StreamLog{};
        if (!start_stream(session, i, cases[i].url, cases[i].first, cases[i].end)) {
            logs[i].transcript = "not started\n";
            logs[i].ended = true;
        }
    }
    StreamEvent event;
    while (next_stream_event(&event)) {
        ASSERT_GE(event.stream, 0);
        ASSERT_LT(event.stream, count);
        note_event(event, logs[event.stream]);
        if (event.kind != StreamEventKind::ended) resume_stream(event.stream);
    }
    for (int i = 0; i < count; ++i) {
        if (!logs[i].ended) logs[i].transcript += "no end\n";
    }
}

// The answer and the bytes of each stream, a slot's worth at once (the table
// is taken MAX_STREAMS cases at a time, each batch in the slots the one before
// freed). The echo shows the Range header as it went out.
TEST(CurlStreams, EachStreamHandsOverItsAnswerAndItsBody) {
    REQUIRE_TEST_NETWORK();
    static const StreamCase cases[] = {
        {"https://mirror1.test/bytes/5242893", 1000, 5000,
         "answered 206, range 1000 of 5242893, length 4000\n"
         "data 4000 bytes, the file's from 1000\nended complete\n"},
        {"https://mirror2.test/bytes/5242893", 0, 100,
         "answered 206, range 0 of 5242893, length 100\n"
         "data 100 bytes, the file's from 0\nended complete\n"},
        // Open-ended, and no Range header at all.
        {"https://mirror3.test/bytes/5242893", 5142893, STREAM_TO_END,
         "answered 206, range 5142893 of 5242893, length 100000\n"
         "data 100000 bytes, the file's from 5142893\nended complete\n"},
        {"https://mirror4.test/bytes/5242893", 0, STREAM_TO_END,
         "answered 200, length 5242893\ndata 5242893 bytes, the file's from 0\nended complete\n"},
        {"https://main.test/echo", 1000, 5000,
         "answered 200, length 90\ndata 90 bytes: GET /echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\nRange: bytes=1000-4999\\r\\n\\r\\n\nended complete\n"},
        {"https://main.test/echo", 5, STREAM_TO_END,
         "answered 200, length 83\ndata 83 bytes: GET /echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\nRange: bytes=5-\\r\\n\\r\\n\nended complete\n"},
        {"https://main.test/echo", 0, STREAM_TO_END,
         "answered 200, length 66\ndata 66 bytes: GET /echo HTTP/1.1\\r\\nHost: main.test\\r\\n"
         "User-Agent: setupvane/1.2\\r\\n\\r\\n\nended complete\n"},
        // A 200 to a range is reported as it came: the whole file, no range.
        {"https://main.test/whole/5242893", 1000, 5000,
         "answered 200, length 5242893\ndata 5242893 bytes, the file's from 0\nended complete\n"},
        // A connection cut in the body fails the stream after the bytes it brought.
        {"https://main.test/cut/5242893", 0, 1000000,
         "answered 206, range 0 of 5242893, length 1000000\n"
         "data 100000 bytes, the file's from 0\nended failed\n"},
        // Answers that are no range of the file are handed over all the same.
        {"https://mirror1.test/bytes/5242893", 5242893, 5242903,
         "answered 416, length 0\nended complete\n"},
        {"https://main.test/status/404", 0, 10,
         "answered 404, length 11\ndata 11 bytes: status 404\\n\nended complete\n"},
        {"https://main.test/chunked/5242893", 0, STREAM_TO_END,
         "answered 200\ndata 5242893 bytes, the file's from 0\nended complete\n"},
        // No answer at all.
        {"https://nowhere.test/bytes/5242893", 0, 100, "ended failed\n"},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    constexpr int COUNT = static_cast<int>(sizeof cases / sizeof cases[0]);
    for (int at = 0; at < COUNT; at += MAX_STREAMS) {
        const int count = COUNT - at < MAX_STREAMS ? COUNT - at : MAX_STREAMS;
        StreamLog logs[MAX_STREAMS];
        run_streams(session, cases + at, count, logs);
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE(std::string(cases[at + i].url) + " from " +
                         std::to_string(cases[at + i].first));
            EXPECT_EQ(logs[i].transcript, cases[at + i].transcript);
        }
    }
    close_handle(session);
}

// Four quarters of the file from four hosts: each answer is held until all
// four have answered, so the four requests are open at once.
TEST(CurlStreams, FourStreamsFromFourHostsMakeTheFile) {
    REQUIRE_TEST_NETWORK();
    constexpr int HOSTS = 4;
    static_assert(HOSTS <= MAX_STREAMS, "a slot for each host");
    static const char* const URLS[HOSTS] = {
        "https://mirror1.test/slow/bytes/5242893", "https://mirror2.test/slow/bytes/5242893",
        "https://mirror3.test/slow/bytes/5242893", "https://mirror4.test/slow/bytes/5242893"};
    constexpr uint64_t QUARTER = (LARGE / 4) & ~uint64_t{65535};
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    const uint64_t started = tick_ms();
    StreamLog logs[HOSTS];
    uint64_t firsts[HOSTS];
    for (int i = 0; i < HOSTS; ++i) {
        firsts[i] = QUARTER * static_cast<uint64_t>(i);
        const uint64_t end = i + 1 < HOSTS ? firsts[i] + QUARTER : LARGE;
        ASSERT_TRUE(start_stream(session, i, URLS[i], firsts[i], end));
    }
    int answered = 0;
    StreamEvent event;
    while (next_stream_event(&event)) {
        ASSERT_GE(event.stream, 0);
        ASSERT_LT(event.stream, HOSTS);
        note_event(event, logs[event.stream]);
        if (event.kind == StreamEventKind::answered && ++answered == HOSTS) {
            for (int i = 0; i < HOSTS; ++i)
                resume_stream(i);
        } else if (event.kind == StreamEventKind::data) {
            resume_stream(event.stream);
        }
    }
    EXPECT_EQ(answered, HOSTS);
    std::string file;
    for (int i = 0; i < HOSTS; ++i) {
        SCOPED_TRACE(URLS[i]);
        const uint64_t length = (i + 1 < HOSTS ? firsts[i] + QUARTER : LARGE) - firsts[i];
        const std::string first = std::to_string(firsts[i]), size = std::to_string(length);
        EXPECT_EQ(logs[i].transcript, "answered 206, range " + first + " of 5242893, length " +
                                          size + "\ndata " + size + " bytes, the file's from " +
                                          first + "\nended complete\n");
        file += logs[i].body;
    }
    EXPECT_TRUE(file == large_file());
    std::printf("[ figures  ] 4 streams at 1 MiB/s each: %llu ms for %llu bytes\n",
                static_cast<unsigned long long>(tick_ms() - started),
                static_cast<unsigned long long>(file.size()));
    close_handle(session);
}

TEST(CurlStreams, AStreamThatCannotStartLeavesItsSlotAsItWas) {
    REQUIRE_TEST_NETWORK();
    StreamEvent event;
    EXPECT_FALSE(next_stream_event(&event)) << "nothing started";
    EXPECT_FALSE(start_stream(nullptr, 0, "https://mirror1.test/bytes/5242893", 0, 10));
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    const char* url = "https://mirror1.test/bytes/5242893";
    EXPECT_FALSE(start_stream(session, -1, url, 0, 10));
    EXPECT_FALSE(start_stream(session, MAX_STREAMS, url, 0, 10));
    EXPECT_FALSE(start_stream(session, 0, url, 10, 10)) << "an empty range";
    EXPECT_FALSE(start_stream(session, 0, url, 11, 10));
    EXPECT_FALSE(next_stream_event(&event)) << "still nothing started";
    ASSERT_TRUE(start_stream(session, 2, url, 0, 10));
    EXPECT_FALSE(start_stream(session, 2, url, 10, 20)) << "the slot is taken";
    StreamLog log;
    while (next_stream_event(&event)) {
        ASSERT_EQ(event.stream, 2);
        note_event(event, log);
        if (event.kind != StreamEventKind::ended) resume_stream(event.stream);
    }
    EXPECT_EQ(log.transcript,
              "answered 206, range 0 of 5242893, length 10\n"
              "data 10 bytes, the file's from 0\nended complete\n");
    stop_stream(2);  // a free slot: nothing
    EXPECT_FALSE(next_stream_event(&event));
    close_handle(session);
}

struct Holds {
    int held = -1, gone = -1, out = -1;
};

// main.test's count of the requests it held, and how each hold ended.
Holds main_holds(NetSession* session) {
    const std::string text = fetch(session, "https://main.test/holds");
    Holds h;
    const size_t at = text.find("held ");
    if (at != std::string::npos)
        std::sscanf(text.c_str() + at, "held %d gone %d out %d", &h.held, &h.gone, &h.out);
    return h;
}

// Waits until main.test's holds are no longer `than` (each step a request of
// its own), for at most about 40 s: longer than any hold.
Holds holds_other_than(NetSession* session, const Holds& than) {
    Holds now = main_holds(session);
    for (int tries = 0; tries < 2000; ++tries) {
        if (now.held != than.held || now.gone != than.gone || now.out != than.out) break;
        usleep(20000);
        now = main_holds(session);
    }
    return now;
}

struct StopCase {
    const char* name;
    const char* url;
    int events;   // taken before the stop
    bool resume;  // the last of them resumed, so the stream is back in the network
    bool held;    // main.test holds the request until the client goes (30 s)
};

// A stop returns whatever the stream's thread is doing. The waits are long
// (60 s), so nothing but the stop ends a stream that waits for the network;
// main.test sees the client of a held request go, well before it would give
// up on it itself. After the stop no event of the stream comes, and its slot
// takes a new stream at once.
TEST(CurlStreams, AStopEndsTheStreamWhereverItIs) {
    REQUIRE_TEST_NETWORK();
    static const StopCase cases[] = {
        {"resolving a name that never resolves", "https://slow.test/bytes/5242893", 0, false,
         false},
        {"connecting to a host that drops every attempt", "https://drop.test/bytes/5242893", 0,
         false, false},
        {"waiting for headers", "https://main.test/hold", 0, false, true},
        {"waiting in the middle of a body", "https://main.test/hold-body", 2, true, true},
        {"reading a slow body without end", "https://main.test/endless", 4, true, false},
        {"waiting for the caller after the answer", "https://mirror1.test/bytes/5242893", 1, false,
         false},
        {"waiting for the caller after data", "https://mirror1.test/bytes/5242893", 2, false,
         false},
    };
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 60000, 60000, 60000, 60000);
    constexpr int32_t SLOT = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Holds before = main_holds(session);
        ASSERT_GE(before.held, 0);
        ASSERT_TRUE(start_stream(session, SLOT, c.url, 0, STREAM_TO_END));
        StreamEvent event;
        for (int i = 0; i < c.events; ++i) {
            ASSERT_TRUE(next_stream_event(&event));
            ASSERT_EQ(event.stream, SLOT);
            ASSERT_NE(event.kind, StreamEventKind::ended);
            if (i + 1 < c.events || c.resume) resume_stream(SLOT);
        }
        Holds holding = before;
        if (c.held) {
            holding = holds_other_than(session, before);
            ASSERT_EQ(holding.held, before.held + 1) << "the request reached the server";
        }
        usleep(200000);  // the stream's thread well into the wait it is stopped in
        const auto stop_started = std::chrono::steady_clock::now();
        stop_stream(SLOT);
        const long long stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - stop_started)
                                      .count();
        EXPECT_FALSE(next_stream_event(&event)) << "no event of the stopped stream";
        if (c.held) {
            const Holds after = holds_other_than(session, holding);
            EXPECT_EQ(after.gone, holding.gone + 1) << "the client went";
            EXPECT_EQ(after.out, holding.out) << "the server did not give up first";
        }
        std::printf("[ figures  ] stop_stream %s: %lld ms\n", c.name, stop_ms);

        ASSERT_TRUE(start_stream(session, SLOT, "https://mirror2.test/bytes/5242893", 7, 70007));
        StreamLog log;
        while (next_stream_event(&event)) {
            ASSERT_EQ(event.stream, SLOT);
            note_event(event, log);
            if (event.kind != StreamEventKind::ended) resume_stream(SLOT);
        }
        EXPECT_EQ(log.transcript,
                  "answered 206, range 7 of 5242893, length 70000\n"
                  "data 70000 bytes, the file's from 7\nended complete\n")
            << "the slot takes a new stream";
    }
    close_handle(session);
}

// A mirror that stops sending in the middle of its body is stopped while
// three others, at 1 MiB/s each, are still sending: they finish, and nothing
// more of the stopped one comes.
TEST(CurlStreams, AStalledMirrorIsStoppedAndTheOthersGoOn) {
    REQUIRE_TEST_NETWORK();
    constexpr int HOSTS = 4;
    static_assert(HOSTS <= MAX_STREAMS, "a slot for each host");
    static const char* const URLS[HOSTS] = {
        "https://mirror1.test/slow/bytes/5242893", "https://mirror2.test/slow/bytes/5242893",
        "https://mirror3.test/slow/bytes/5242893", "https://main.test/hold-body"};
    constexpr int32_t STALLED = 3;
    constexpr uint64_t SHARE = 1 << 20;
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, 60000, 60000, 60000, 60000);
    const Holds before = main_holds(session);
    for (int32_t i = 0; i < HOSTS; ++i)
        ASSERT_TRUE(
            start_stream(session, i, URLS[i], SHARE * static_cast<uint64_t>(i),
                         i == STALLED ? STREAM_TO_END : SHARE * static_cast<uint64_t>(i + 1)));
    StreamLog logs[HOSTS];
    bool stopped = false, stalled_data = false;
    long long stop_ms = -1;
    int events_after_stop = 0;
    StreamEvent event;
    while (next_stream_event(&event)) {
        ASSERT_GE(event.stream, 0);
        ASSERT_LT(event.stream, HOSTS);
        note_event(event, logs[event.stream]);
        if (stopped) ++events_after_stop;
        if (event.stream == STALLED) {
            ASSERT_FALSE(stopped) << "an event of the stopped stream";
            stalled_data = stalled_data || event.kind == StreamEventKind::data;
        } else if (stalled_data && !stopped) {
            // The stalled stream has had its ten bytes and waits in the network.
            const auto stop_started = std::chrono::steady_clock::now();
            stop_stream(STALLED);
            stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - stop_started)
                          .count();
            stopped = true;
        }
        if (event.kind != StreamEventKind::ended) resume_stream(event.stream);
    }
    ASSERT_TRUE(stopped);
    EXPECT_GT(events_after_stop, 0) << "the others were still sending";
    EXPECT_EQ(logs[STALLED].transcript, "answered 200, length 100\n");
    EXPECT_EQ(logs[STALLED].body, "0123456789");
    for (int i = 0; i < STALLED; ++i) {
        SCOPED_TRACE(URLS[i]);
        const std::string first = std::to_string(SHARE * static_cast<uint64_t>(i));
        EXPECT_EQ(logs[i].transcript, "answered 206, range " + first +
                                          " of 5242893, length 1048576\ndata 1048576 bytes, "
                                          "the file's from " +
                                          first + "\nended complete\n");
    }
    const Holds held = {before.held + 1, before.gone, before.out};
    const Holds after = holds_other_than(session, held);
    EXPECT_EQ(after.gone, before.gone + 1) << "the client went";
    EXPECT_EQ(after.out, before.out) << "the server did not give up first";
    std::printf("[ figures  ] stop_stream of a stalled mirror among three at 1 MiB/s: %lld ms\n",
                stop_ms);
    close_handle(session);
}

// An event that the stopped stream had already queued is dropped with it: a
// pause gives the second stream time to queue its answer while the caller
// still holds the first one's. Either way no event of it may follow the stop.
TEST(CurlStreams, AStoppedStreamsQueuedEventIsNeverHandedOut) {
    REQUIRE_TEST_NETWORK();
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    apply_timeouts(session, DOWNLOAD_PROFILE);
    ASSERT_TRUE(start_stream(session, 0, "https://mirror1.test/bytes/5242893", 0, 1000));
    ASSERT_TRUE(start_stream(session, 1, "https://mirror2.test/bytes/5242893", 0, 1000));
    StreamEvent event;
    ASSERT_TRUE(next_stream_event(&event));
    ASSERT_EQ(event.kind, StreamEventKind::answered);
    const int32_t kept = event.stream, stopped = 1 - event.stream;
    usleep(300000);
    stop_stream(stopped);
    StreamLog log;
    note_event(event, log);
    resume_stream(kept);
    while (next_stream_event(&event)) {
        ASSERT_EQ(event.stream, kept) << "an event of the stopped stream";
        note_event(event, log);
        if (event.kind != StreamEventKind::ended) resume_stream(kept);
    }
    EXPECT_EQ(log.transcript,
              "answered 206, range 0 of 5242893, length 1000\n"
              "data 1000 bytes, the file's from 0\nended complete\n");
    close_handle(session);
}

}  // namespace
