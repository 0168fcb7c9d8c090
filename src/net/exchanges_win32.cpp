// The batch on Windows: one thread per exchange, each running the same
// synchronous request sequence as a single request does, over the session
// that every request of the stage shares (a synchronous WinHTTP session may be
// used from several threads). Threads rather than WinHTTP's asynchronous
// mode, because the sequence (status test, body rules) then exists once,
// shared with the POSIX batch and the single requests, and the client keeps
// its synchronous calls. A thread only performs its own exchange; the
// caller's thread opens and closes every handle, waits for the threads and
// is the only one that prints.
//
// Stopping closes the request handles of the exchanges still running: that is
// how WinHTTP cancels a synchronous call made on another thread. No handle is
// opened while a batch stops, so a stale handle value in a thread that has
// not yet made its next call can only fail. Wine keeps a connection attempt
// that is already under way running to its own timeout after the handle is
// closed, so there a stopped exchange may still hold its thread that long.
#include <windows.h>

#include "net/client.hpp"
#include "net/transport.hpp"

namespace {

struct Worker {
    Exchange* exchange;
    HANDLE thread;  // null when never started or already waited for
    bool handed;    // ended and handed to the caller, or never started
    bool cut;       // its request was closed to stop it
};

Worker g_workers[MAX_EXCHANGES];
int g_count = 0;

DWORD WINAPI perform(void* argument) {
    perform_exchange(*static_cast<Worker*>(argument)->exchange);
    return 0;
}

}  // namespace

void start_exchanges(Exchange* exchanges, int count) {
    g_count = count < MAX_EXCHANGES ? count : MAX_EXCHANGES;
    for (int i = 0; i < g_count; ++i) {
        Worker& worker = g_workers[i];
        worker.exchange = &exchanges[i];
        worker.thread = nullptr;
        worker.cut = false;
        worker.handed = exchanges[i].request == nullptr;
        if (worker.handed) continue;
        worker.thread = CreateThread(nullptr, 0, perform, &worker, 0, nullptr);
        if (worker.thread == nullptr) perform(&worker);  // no thread: this one runs in turn
    }
}

int next_ended_exchange() {
    HANDLE waiting[MAX_EXCHANGES];
    int index_of[MAX_EXCHANGES];
    int n = 0;
    for (int i = 0; i < g_count; ++i) {
        if (g_workers[i].handed) continue;
        if (g_workers[i].thread == nullptr) {  // ran in turn: it has ended
            g_workers[i].handed = true;
            return i;
        }
        waiting[n] = g_workers[i].thread;
        index_of[n++] = i;
    }
    if (n == 0) return -1;
    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(n), waiting, FALSE, INFINITE);
    if (woken >= WAIT_OBJECT_0 + static_cast<DWORD>(n)) return -1;
    Worker& worker = g_workers[index_of[woken - WAIT_OBJECT_0]];
    CloseHandle(worker.thread);
    worker.thread = nullptr;
    worker.handed = true;
    return index_of[woken - WAIT_OBJECT_0];
}

void stop_exchanges() {
    HANDLE waiting[MAX_EXCHANGES];
    int n = 0;
    for (int i = 0; i < g_count; ++i) {
        Worker& worker = g_workers[i];
        if (worker.thread == nullptr) continue;
        if (WaitForSingleObject(worker.thread, 0) != WAIT_OBJECT_0) {
            client::close(worker.exchange->request);
            worker.cut = true;
        }
        waiting[n++] = worker.thread;
    }
    if (n > 0) WaitForMultipleObjects(static_cast<DWORD>(n), waiting, TRUE, INFINITE);
    for (int i = 0; i < g_count; ++i) {
        Worker& worker = g_workers[i];
        if (worker.thread != nullptr) CloseHandle(worker.thread);
        worker.thread = nullptr;
        if (worker.cut) worker.exchange->request = nullptr;  // closed already
        if (!worker.handed) worker.exchange->end = ExchangeEnd::none;
        close_exchange(*worker.exchange);
    }
    g_count = 0;
}
