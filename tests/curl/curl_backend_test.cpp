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

#include "net/client.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

bool in_test_network() {
    return std::getenv("TREVALON_CURL_NETNS") != nullptr;
}

#define REQUIRE_TEST_NETWORK() \
    if (!in_test_network()) GTEST_SKIP() << "run through tests/curl/netns_run.py"

std::string pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

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

}  // namespace
