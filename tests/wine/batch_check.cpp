// Under Wine: a batch stopped while a connection attempt is under way to a
// host that drops packets. Wine lets such an attempt run on to its timeout
// after its request handle is closed, so the stage goes on while the
// attempt's thread still holds the closed handle's value; WinHTTP gives freed
// values to new handles. A new request must never get that value while the
// thread may still pass it to WinHTTP, and gets it again once the thread has
// ended (nothing kept aside is left open). And an exchange that ends carries
// the time its worker noted.
//
//   batch_check.exe https://DROPPING-ADDRESS/PATH
#include <windows.h>

#include <cstdio>

#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

char g_body[64];

Exchange exchange_for(const char* url) {
    Exchange exchange{};
    exchange.url = url;
    exchange.body = ExchangeBody::whole;
    exchange.buffer = g_body;
    exchange.limit = sizeof g_body;
    return exchange;
}

int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    restrict_library_search();
    NetSession* session = open_session();
    check(session != nullptr, "a session opens");
    if (session == nullptr) return 1;
    apply_timeouts(session, PROBE_PROFILE);

    Exchange stopped = exchange_for(argv[1]);
    check(open_exchange(session, stopped), "the exchange to the dropping host opens");
    NetRequest* const stale = stopped.request;
    start_exchanges(&stopped, 1);
    Sleep(500);  // its thread is now waiting for the connection
    stop_exchanges();
    check(stopped.end == ExchangeEnd::none && stopped.request == nullptr,
          "stopped: no end, its handles closed");

    Exchange next = exchange_for(argv[1]);
    check(open_exchange(session, next), "a new exchange opens while the stopped one's thread runs");
    check(next.request != stale, "the new request does not get the stopped thread's handle value");
    close_exchange(next);

    // The stopped thread ends with its own connect timeout. The request kept
    // aside is closed by the next open that finds the thread ended, after which
    // WinHTTP gives its value (the lowest free one) to the next request again.
    Sleep(PROBE_PROFILE.connect_ms + 2000);
    Exchange later = exchange_for(argv[1]);
    check(open_exchange(session, later), "an exchange opens after the stopped thread has ended");
    close_exchange(later);
    check(open_exchange(session, later) && later.request == stale,
          "then the request kept aside has been closed: its value is given again");
    close_exchange(later);

    // A worker notes when its exchange ended, on the clock the stages use:
    // here one refused at once (nothing listens on 127.0.0.10).
    Exchange refused = exchange_for("https://127.0.0.10/f");
    check(open_exchange(session, refused), "an exchange to a refusing host opens");
    const uint64_t started = tick_ms();
    start_exchanges(&refused, 1);
    const int slot = next_ended_exchange();
    const uint64_t handed = tick_ms();
    check(slot == 0 && refused.end == ExchangeEnd::unreachable, "it ends, unreachable");
    check(refused.ended_ms >= started && refused.ended_ms <= handed,
          "its end time is its worker's, between the start and its handing back");
    stop_exchanges();
    close_handle(session);
    return failures == 0 ? 0 : 1;
}
