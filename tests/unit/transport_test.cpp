#include <gtest/gtest.h>

#include <string>

#include "fake_net.hpp"
#include "net/client.hpp"
#include "net/stream_request.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"

namespace {

std::string narrow(const char16_t* text) {
    char out[4096];
    EXPECT_TRUE(utf16_to_utf8(text, out, sizeof out));
    return out;
}

struct SplitCase {
    const char* url;
    const char* host;
    const char* path;
};

TEST(SplitUrl, HostAndPathAsTheClientSeesThem) {
    static const SplitCase cases[] = {
        {"https://example.com", "example.com", "/"},
        {"https://example.com/", "example.com", "/"},
        {"https://example.com/a/b.exe?x=1&y=2#frag", "example.com", "/a/b.exe?x=1&y=2#frag"},
        {"https://example.com:8443/f", "example.com:8443", "/f"},
        {"http://example.com/f", "example.com", "/f"},
        {"example.com/a/b", "example.com", "/a/b"},
        {"https://user@example.com/f", "user@example.com", "/f"},
        {"https://example.com?q=1", "example.com?q=1", "/"},
        {"https://ghfast.top/https://github.com/x/y", "ghfast.top", "/https://github.com/x/y"},
        {"https://节点.example/路径", "节点.example", "/路径"},
        {"", "", "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
        split_url(c.url, host, path);
        EXPECT_EQ(narrow(host), c.host);
        EXPECT_EQ(narrow(path), c.path);
    }
}

TEST(SplitUrl, CutsALongHostAt511Bytes) {
    std::string url = "https://" + std::string(600, 'h') + "/path";
    char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
    split_url(url.c_str(), host, path);
    EXPECT_EQ(narrow(host), std::string(511, 'h'));
    EXPECT_EQ(narrow(path), "/path");
}

class SessionTest : public testing::Test {
protected:
    void SetUp() override { fake_net::reset(); }
};

TEST_F(SessionTest, OpensWithAutomaticProxyAndTheProgramsIdentity) {
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(fake_net::calls_text(), "open agent=setupvane/1.2 access=4\n");
    close_handle(session);
    EXPECT_EQ(fake_net::open_handles(), 0);
}

// Before Windows 8.1 the automatic type fails (error 87): the user's own
// settings come next, and no proxy only when nothing else opens.
TEST_F(SessionTest, TheUsersProxyWhenTheAutomaticTypeIsRefused) {
    struct ChainCase {
        const char* name;
        void (*script)();
        const char* calls;
    };
    static const ChainCase cases[] = {
        {"settings unreadable: WinHTTP's default proxy", [] {},
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy FAILED\n"
         "open agent=setupvane/1.2 access=0\n"},
        {"a static proxy and its bypass list",
         [] { fake_net::user_proxy(false, "", "proxy.corp:8080", "*.corp;<local>"); },
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy\n"
         "open agent=setupvane/1.2 access=3 proxy=proxy.corp:8080 bypass=*.corp;<local>\n"},
        {"a static proxy without a bypass list",
         [] { fake_net::user_proxy(false, "", "proxy.corp:8080", ""); },
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy\n"
         "open agent=setupvane/1.2 access=3 proxy=proxy.corp:8080\n"},
        {"no proxy set: WinHTTP's default proxy", [] { fake_net::user_proxy(false, "", "", ""); },
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy\n"
         "open agent=setupvane/1.2 access=0\n"},
        {"a static proxy refused: the default proxy",
         [] {
             fake_net::user_proxy(false, "", "proxy.corp:8080", "");
             fake_net::fail_open(client::ACCESS_TYPE_NAMED_PROXY);
         },
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy\n"
         "open agent=setupvane/1.2 access=3 proxy=proxy.corp:8080 FAILED\n"
         "open agent=setupvane/1.2 access=0\n"},
        {"no proxy after all of them",
         [] {
             fake_net::user_proxy(false, "", "proxy.corp:8080", "");
             fake_net::fail_open(client::ACCESS_TYPE_NAMED_PROXY);
             fake_net::fail_open(client::ACCESS_TYPE_DEFAULT_PROXY);
         },
         "open agent=setupvane/1.2 access=4 FAILED\n"
         "user proxy\n"
         "open agent=setupvane/1.2 access=3 proxy=proxy.corp:8080 FAILED\n"
         "open agent=setupvane/1.2 access=0 FAILED\n"
         "open agent=setupvane/1.2 access=1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_net::fail_open(client::ACCESS_TYPE_AUTOMATIC_PROXY);
        c.script();
        NetSession* session = open_session();
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(fake_net::calls_text(), c.calls);
        close_handle(session);
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

// A script or auto-detection is asked once per connection, for the host, and
// its answer goes to every request of that connection; a host it has no
// answer for keeps the session's proxy.
TEST_F(SessionTest, AScriptIsAskedForEachHost) {
    fake_net::fail_open(client::ACCESS_TYPE_AUTOMATIC_PROXY);
    fake_net::user_proxy(true, "http://wpad.corp/proxy.pac", "", "");
    fake_net::script_proxy("a.example", "pac.corp:3128");
    fake_net::script_proxy("b.example", "");
    fake_net::serve("https://a.example/f", fake_net::body("x"));
    NetSession* session = open_session();
    ASSERT_NE(session, nullptr);
    for (const char* host : {u8"a.example", u8"b.example", u8"c.example"}) {
        char16_t wide_host[64];
        ASSERT_GT(utf8_to_utf16(host, wide_host, 64), 0);
        NetConnection* connection = open_connection(session, wide_host);
        NetRequest* request = open_get_request(connection, u"/f");
        ASSERT_NE(request, nullptr);
        close_handle(request);
        close_handle(connection);
    }
    close_handle(session);
    EXPECT_EQ(fake_net::calls_text(),
              "open agent=setupvane/1.2 access=4 FAILED\n"
              "user proxy\n"
              "open agent=setupvane/1.2 access=0\n"
              "connect a.example:443\n"
              "proxy for https://a.example/ -> pac.corp:3128\n"
              "request GET /f flags=0x800000\n"
              "request proxy pac.corp:3128 bypass=\n"
              "close request\nclose connection\n"
              "connect b.example:443\n"
              "proxy for https://b.example/ -> \n"
              "request GET /f flags=0x800000\n"
              "request proxy  bypass=\n"
              "close request\nclose connection\n"
              "connect c.example:443\n"
              "proxy for https://c.example/ -> - FAILED\n"
              "request GET /f flags=0x800000\n"
              "close request\nclose connection\n"
              "close session 1\n");
    EXPECT_EQ(fake_net::open_handles(), 0);
    // A session opened afterwards without the settings asks nothing.
    fake_net::reset();
    NetSession* plain = open_session();
    NetConnection* connection = open_connection(plain, u"a.example");
    EXPECT_EQ(fake_net::calls_text(), "open agent=setupvane/1.2 access=4\nconnect a.example:443\n");
    close_handle(connection);
    close_handle(plain);
}

TEST_F(SessionTest, AbsentWhenEveryAttemptFails) {
    fake_net::fail_open(client::ACCESS_TYPE_AUTOMATIC_PROXY);
    fake_net::fail_open(client::ACCESS_TYPE_DEFAULT_PROXY);
    fake_net::fail_open(client::ACCESS_TYPE_NO_PROXY);
    EXPECT_EQ(open_session(), nullptr);
}

TEST_F(SessionTest, ProfilesSetEveryWaitAndTheTlsVersions) {
    struct ProfileCase {
        const char* name;
        TimeoutProfile profile;
        const char* options;
    };
    static const ProfileCase cases[] = {
        {"probe", PROBE_PROFILE,
         "option 2=3000\noption 3=4000\noption 4=1\noption 5=3000\noption 6=3000\noption "
         "7=13000\noption "
         "84=2560\n"},
        {"download", DOWNLOAD_PROFILE,
         "option 2=10000\noption 3=15000\noption 4=1\noption 5=15000\noption 6=30000\noption "
         "7=70000\n"
         "option 84=2560\n"},
        {"a sum past 32 bits stays unlimited",
         {UINT32_MAX, 1, 1, 1},
         "option 2=4294967295\noption 3=1\noption 4=1\noption 5=1\noption 6=1\noption "
         "7=4294967295\n"
         "option 84=2560\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        NetSession* session = open_session();
        apply_timeouts(session, c.profile);
        EXPECT_EQ(fake_net::calls_text(),
                  std::string("open agent=setupvane/1.2 access=4\n") + c.options);
        close_handle(session);
    }
}

// A refused option is told, and the others are set all the same: a WinHTTP
// that refuses one attempt per host still gets every wait of the profile.
TEST_F(SessionTest, ProfilesSayWhenTheSessionRefusesAnOption) {
    struct RefusedCase {
        const char* name;
        uint32_t refused;  // 0: none
        bool accepted;
    };
    static const RefusedCase cases[] = {
        {"every option accepted", 0, true},
        {"one attempt per host refused", client::OPTION_CONNECT_RETRIES, false},
        {"the TLS versions refused", client::OPTION_SECURE_PROTOCOLS, false},
        {"the resolve timeout refused", client::OPTION_RESOLVE_TIMEOUT, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        if (c.refused != 0) fake_net::refuse_option(c.refused);
        NetSession* session = open_session();
        EXPECT_EQ(apply_timeouts(session, PROBE_PROFILE), c.accepted);
        int options_set = 0;
        for (const std::string& call : fake_net::calls())
            options_set += call.rfind("option ", 0) == 0 ? 1 : 0;
        EXPECT_EQ(options_set, 7);
        close_handle(session);
    }
}

TEST_F(SessionTest, AnAbsentSessionSetsNothingAndConnectsNowhere) {
    EXPECT_FALSE(apply_timeouts(nullptr, PROBE_PROFILE));
    EXPECT_EQ(open_connection(nullptr, u"example.com"), nullptr);
    EXPECT_EQ(open_get_request(nullptr, u"/"), nullptr);
    EXPECT_FALSE(send_and_receive(nullptr));
    EXPECT_FALSE(query_status(nullptr));
    uint32_t n = 0;
    uint64_t length = 0;
    EXPECT_FALSE(query_content_length(nullptr, &length));
    EXPECT_FALSE(query_data_available(nullptr, &n));
    EXPECT_FALSE(read_data(nullptr, &n, sizeof n, &n));
    close_handle(static_cast<NetRequest*>(nullptr));
    close_handle(static_cast<NetConnection*>(nullptr));
    close_handle(static_cast<NetSession*>(nullptr));
    EXPECT_TRUE(fake_net::calls().empty());
}

TEST_F(SessionTest, OnlyStatus200And206Pass) {
    struct StatusCase {
        uint32_t status;
        bool accepted;
    };
    static const StatusCase cases[] = {{200, true},  {206, true},  {204, false}, {301, false},
                                       {403, false}, {404, false}, {500, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        fake_net::reset();
        fake_net::Response response = fake_net::body("x");
        response.status = c.status;
        fake_net::serve("https://h.example/f", response);
        NetSession* session = open_session();
        NetConnection* connection = open_connection(session, u"h.example");
        NetRequest* request = open_get_request(connection, u"/f");
        ASSERT_TRUE(send_and_receive(request));
        EXPECT_EQ(query_status(request), c.accepted);
        close_handle(request);
        close_handle(connection);
        close_handle(session);
        EXPECT_EQ(fake_net::calls_text(),
                  "open agent=setupvane/1.2 access=4\n"
                  "connect h.example:443\n"
                  "request GET /f flags=0x800000\n"
                  "send https://h.example/f\nreceive\nquery 0x20000013\nquery 0x20000013\n"
                  "close request\nclose connection\nclose session 1\n");
    }
}

TEST_F(SessionTest, AnUnreadableStatusFails) {
    fake_net::Response response = fake_net::body("x");
    response.fail_at = fake_net::Step::query_status;
    fake_net::serve("https://h.example/f", response);
    NetSession* session = open_session();
    NetConnection* connection = open_connection(session, u"h.example");
    NetRequest* request = open_get_request(connection, u"/f");
    ASSERT_TRUE(send_and_receive(request));
    EXPECT_FALSE(query_status(request));
    close_handle(request);
    close_handle(connection);
    close_handle(session);
}

// A request to https://h.example/f, answered by the response, sent and
// received; its handles are closed when it goes.
struct Answered {
    NetSession* session;
    NetConnection* connection;
    NetRequest* request;
    explicit Answered(const fake_net::Response& response) {
        fake_net::serve("https://h.example/f", response);
        session = open_session();
        connection = open_connection(session, u"h.example");
        request = open_get_request(connection, u"/f");
        EXPECT_TRUE(send_and_receive(request));
    }
    ~Answered() {
        close_handle(request);
        close_handle(connection);
        close_handle(session);
    }
};

TEST_F(SessionTest, AContentRangeIsReadOnlyInItsOneForm) {
    struct RangeCase {
        const char* header;  // "" for none
        bool ok;
        uint64_t first, total;
    };
    static const RangeCase cases[] = {
        {"bytes 60-99/100", true, 60, 100},
        {"bytes 0-0/1", true, 0, 0 + 1},
        {"bytes 5000000000-5000000009/5000000010", true, 5000000000u, 5000000010u},
        {"", false, 0, 0},
        {"bytes 60-99/*", false, 0, 0},     // total unknown
        {"bytes */100", false, 0, 0},       // a 416's form
        {"bytes 99-60/100", false, 0, 0},   // backwards
        {"bytes 60-100/100", false, 0, 0},  // past the total
        {"60-99/100", false, 0, 0},         // no unit
        {"items 60-99/100", false, 0, 0},   // another unit of the same length
        {"bytes=60-99/100", false, 0, 0},
        {"bytes 60-99/100 ", false, 0, 0},  // trailing text
        {"bytes -60-99/100", false, 0, 0},
        {"bytes 60-99/99999999999999999999", false, 0, 0},  // overflows 64 bits
        {"bytes 0-2/18446744073709551615", true, 0, UINT64_MAX},
        // 2^64 + 3: only its last digit overflows, to 3 were it not caught.
        {"bytes 0-2/18446744073709551619", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        fake_net::reset();
        fake_net::Response response = fake_net::body("x");
        response.status = 206;
        response.content_range = c.header;
        Answered answered(response);
        uint32_t status = 0;
        EXPECT_TRUE(query_status_code(answered.request, &status));
        EXPECT_EQ(status, 206u);
        uint64_t first = 7, total = 7;
        EXPECT_EQ(query_content_range(answered.request, &first, &total), c.ok);
        EXPECT_EQ(first, c.ok ? c.first : 7);
        EXPECT_EQ(total, c.ok ? c.total : 7);
    }
    EXPECT_FALSE(query_content_range(nullptr, nullptr, nullptr));
}

// One parser for every backend, each of which hands over the header's text.
TEST_F(SessionTest, AContentLengthIsDigitsUpTo64Bits) {
    struct LengthCase {
        const char* text;  // the header's value; null for no header
        bool ok;
        uint64_t length;
    };
    static const LengthCase cases[] = {
        {"0", true, 0},
        {"4294967295", true, 4294967295u},  // 2^32 - 1
        {"4294967296", true, 4294967296u},  // 2^32
        {"4831838208", true, 4831838208u},  // 4.5 GiB
        {"18446744073709551615", true, UINT64_MAX},
        {"00000000000000000000000012", true, 12},  // leading zeros
        {"18446744073709551616", false, 0},        // 2^64
        {"18446744073709551619", false, 0},        // 2^64 + 3: the last digit overflows
        {"99999999999999999999", false, 0},
        {"+12", false, 0},
        {"-12", false, 0},
        {"1 2", false, 0},
        {"12 ", false, 0},
        {" ", false, 0},
        {"", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
        {nullptr, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
        fake_net::reset();
        fake_net::Response response = fake_net::body("x");
        response.has_content_length = c.text != nullptr;
        response.content_length_text = c.text;
        Answered answered(response);
        uint64_t length = 7;
        EXPECT_EQ(query_content_length(answered.request, &length), c.ok);
        EXPECT_EQ(length, c.ok ? c.length : 7);
        uint64_t parsed = 7;
        EXPECT_EQ(parse_content_length(c.text != nullptr ? c.text : "", &parsed), c.ok);
        EXPECT_EQ(parsed, c.ok ? c.length : 7);
    }
}

}  // namespace

namespace {

const char PROXY_URL[] = "https://h.example/f";

struct LogonCase {
    const char* name;
    uint32_t schemes;
    bool accepts_logon;
    uint32_t status;  // the final response's
    NetCause cause;
    const char* calls;  // after the request is opened
};

}  // namespace

// A proxy's 407: Negotiate or NTLM get the logged-on user and the same
// request again, a bounded number of times; Basic or Digest alone end the
// asking at once. Only the proxy's credentials are named as the cause.
TEST(ProxyLogon, TheLoggedOnUserForNegotiateAndNtlmOnly) {
    static const LogonCase cases[] = {
        {"NTLM: the user is taken", client::AUTH_SCHEME_NTLM, true, 200, NetCause::none,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x2 target 1\nrequest option 77=0\n"
         "logon credentials target=1 scheme=0x2\n"
         "send https://h.example/f\nreceive\nquery 0x20000013\n"},
        {"Negotiate before NTLM", client::AUTH_SCHEME_NTLM | client::AUTH_SCHEME_NEGOTIATE, true,
         200, NetCause::none,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x12 target 1\nrequest option 77=0\n"
         "logon credentials target=1 scheme=0x10\n"
         "send https://h.example/f\nreceive\nquery 0x20000013\n"},
        {"NTLM beside Basic", client::AUTH_SCHEME_BASIC | client::AUTH_SCHEME_NTLM, true, 200,
         NetCause::none,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x3 target 1\nrequest option 77=0\n"
         "logon credentials target=1 scheme=0x2\n"
         "send https://h.example/f\nreceive\nquery 0x20000013\n"},
        {"Basic alone: no second send", client::AUTH_SCHEME_BASIC, true, 407,
         NetCause::proxy_credentials,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x1 target 1\n"},
        {"Basic and Digest: no second send", client::AUTH_SCHEME_BASIC | client::AUTH_SCHEME_DIGEST,
         true, 407, NetCause::proxy_credentials,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x9 target 1\n"},
        {"NTLM refusing the user: asked twice, then left", client::AUTH_SCHEME_NTLM, false, 407,
         NetCause::proxy_credentials,
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x2 target 1\nrequest option 77=0\n"
         "logon credentials target=1 scheme=0x2\n"
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"
         "auth schemes 0x2 target 1\nrequest option 77=0\n"
         "logon credentials target=1 scheme=0x2\n"
         "send https://h.example/f -> 407\nreceive\nquery 0x20000013\n"},
    };
    static_assert(MAX_PROXY_LOGONS == 2, "the last case sends three times");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_net::reset();
        fake_net::serve(PROXY_URL, fake_net::body("x"));
        fake_net::proxy_wants(c.schemes, c.accepts_logon);
        NetSession* session = open_session();
        NetConnection* connection = open_connection(session, u"h.example");
        NetRequest* request = open_get_request(connection, u"/f");
        const size_t opened = fake_net::calls().size();
        NetCause cause = NetCause::tls_failed;
        ASSERT_TRUE(send_and_receive(request, &cause));
        EXPECT_EQ(cause, c.cause);
        uint32_t status = 0;
        std::string calls;
        for (size_t i = opened; i < fake_net::calls().size(); ++i)
            calls += fake_net::calls()[i] + "\n";
        EXPECT_EQ(calls, c.calls);
        EXPECT_TRUE(query_status_code(request, &status));
        EXPECT_EQ(status, c.status);
        close_handle(request);
        close_handle(connection);
        close_handle(session);
        EXPECT_EQ(fake_net::open_handles(), 0);
    }
}

// The no-proxy session of the fallback is never asked by a proxy.
TEST(ProxyLogon, ASessionWithoutProxyMeetsNone) {
    fake_net::reset();
    fake_net::serve(PROXY_URL, fake_net::body("x"));
    fake_net::proxy_wants(client::AUTH_SCHEME_BASIC);
    fake_net::fail_open(client::ACCESS_TYPE_AUTOMATIC_PROXY);
    fake_net::fail_open(client::ACCESS_TYPE_DEFAULT_PROXY);
    NetSession* session = open_session();
    NetConnection* connection = open_connection(session, u"h.example");
    NetRequest* request = open_get_request(connection, u"/f");
    NetCause cause = NetCause::tls_failed;
    ASSERT_TRUE(send_and_receive(request, &cause));
    EXPECT_EQ(cause, NetCause::none);
    EXPECT_TRUE(query_status(request));
    close_handle(request);
    close_handle(connection);
    close_handle(session);
}

// A stream's Range header belongs to its request, so the resend after the
// logon asks for the same bytes and the mirror answers the range.
TEST(ProxyLogon, AStreamsRangeSurvivesTheResend) {
    fake_net::reset();
    fake_net::serve(PROXY_URL, fake_net::mirror(fake_net::pattern(1, 1000), 0));
    fake_net::proxy_wants(client::AUTH_SCHEME_NEGOTIATE);
    NetSession* session = open_session();
    StreamRequest stream;
    ASSERT_TRUE(open_stream_request(session, PROXY_URL, 100, STREAM_TO_END, stream));
    StreamAnswer answer;
    ASSERT_TRUE(receive_stream_answer(stream, &answer));
    EXPECT_NE(fake_net::calls_text().find("logon credentials target=1 scheme=0x10\n"
                                          "send https://h.example/f\n"),
              std::string::npos)
        << fake_net::calls_text();
    EXPECT_EQ(answer.status, 206u);
    EXPECT_TRUE(answer.has_range);
    EXPECT_EQ(answer.range_first, 100u);
    EXPECT_EQ(answer.range_total, 1000u);
    EXPECT_TRUE(answer.has_length);
    EXPECT_EQ(answer.length, 900u);
    close_stream_request(stream);
    close_handle(session);
    EXPECT_EQ(fake_net::open_handles(), 0);
}

// The platform's error, read where a send or receive fails.
TEST(NetCauses, FromThePlatformsError) {
    struct CauseCase {
        uint32_t error;
        fake_net::Step step;
        bool versions_refused;
        NetCause cause;
    };
    static const CauseCase cases[] = {
        {client::ERR_NAME_NOT_RESOLVED, fake_net::Step::send, false, NetCause::name_not_resolved},
        {client::ERR_CANNOT_CONNECT, fake_net::Step::send, false, NetCause::no_connection},
        {client::ERR_TIMEOUT, fake_net::Step::receive, false, NetCause::no_connection},
        {client::ERR_SECURE_INVALID_CA, fake_net::Step::send, false,
         NetCause::certificate_untrusted},
        {client::ERR_SECURE_CERT_CN_INVALID, fake_net::Step::send, true,
         NetCause::certificate_untrusted},
        {client::ERR_SECURE_CHANNEL_ERROR, fake_net::Step::send, false, NetCause::tls_failed},
        {client::ERR_SECURE_CHANNEL_ERROR, fake_net::Step::send, true,
         NetCause::tls_versions_refused},
        {client::ERR_SECURE_FAILURE, fake_net::Step::send, true, NetCause::tls_versions_refused},
        {client::ERR_PROXY_REFUSED_TUNNEL, fake_net::Step::send, false,
         NetCause::proxy_credentials},
        {0, fake_net::Step::send, false, NetCause::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.error) + (c.versions_refused ? " refused" : ""));
        fake_net::reset();
        fake_net::Response failing = fake_net::body("x");
        failing.fail_at = c.step;
        failing.error = c.error;
        fake_net::serve(PROXY_URL, failing);
        if (c.versions_refused) fake_net::refuse_option(client::OPTION_SECURE_PROTOCOLS);
        NetSession* session = open_session();
        EXPECT_EQ(apply_timeouts(session, PROBE_PROFILE), !c.versions_refused);
        Exchange exchange{};
        char buffer[16];
        exchange.url = PROXY_URL;
        exchange.body = ExchangeBody::whole;
        exchange.buffer = buffer;
        exchange.limit = sizeof buffer;
        EXPECT_EQ(run_exchange(session, exchange), ExchangeEnd::unreachable);
        EXPECT_EQ(exchange.cause, c.cause);
        EXPECT_EQ(is_local_cause(c.cause), c.cause == NetCause::certificate_untrusted ||
                                               c.cause == NetCause::tls_versions_refused ||
                                               c.cause == NetCause::proxy_credentials);
        close_handle(session);
    }
}
