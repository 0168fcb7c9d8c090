// The batch on Windows: one thread per exchange, each running the same
// synchronous request sequence as a single request does, over the session
// that every request of the stage shares (a synchronous WinHTTP session may be
// used from several threads). Threads rather than WinHTTP's asynchronous
// mode, because the sequence (status test, body rules) then exists once,
// shared with the POSIX batch and the single requests, and the client keeps
// its synchronous calls. The caller's thread opens each exchange's handles
// and hands them to its thread, which performs the exchange and then closes
// them itself; the caller's thread is the only one that prints. Each thread
// notes when its exchange ended, so a caller held up (by a console that
// blocks its output) still learns each one's own time.
//
// A synchronous WinHTTP handle may not be closed while another thread is in
// a call on it, so stopping never touches a running exchange's handles: the
// stage lets go of it and goes on, and its thread finishes its call within
// the session's timeouts (up to 4 s for a host that drops packets), closes
// its handles and ends. The thread performs a copy of its exchange that reads
// into the worker's own bytes, so whatever it still does touches nothing the
// caller owns; the worker stays taken until the thread has ended, and the
// next batch sees to that. The process's exit does not wait for such a
// thread: ExitProcess ends it.
#include <windows.h>

#include <cstring>

#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

// Room for the largest body a batch reads (a manifest). An exchange with a
// larger limit reads into the caller's buffer and is waited for when stopped.
constexpr uint32_t WORKER_BYTES = 4096;

// Twice a batch: one batch's stopped threads may still run while the next
// batch runs. Beyond that a batch waits for a stopped thread to end.
constexpr int WORKER_COUNT = 2 * MAX_EXCHANGES;

struct Worker {
    HANDLE thread;     // null: the worker is free
    Exchange* caller;  // null once the batch has let go of the worker
    Exchange own;      // what the thread performs, with the handles it closes
    bool handed;       // its end was handed to the caller
    char bytes[WORKER_BYTES];
};

Worker g_workers[WORKER_COUNT];

// The batch: its exchanges, and for each the worker that performs it, or null
// when it has none (never opened, or performed in turn on this thread).
Exchange* g_exchanges = nullptr;
Worker* g_batch[MAX_EXCHANGES];
bool g_pending[MAX_EXCHANGES];  // performed in turn, not yet handed to the caller
int g_count = 0;

DWORD WINAPI perform(void* argument) {
    Exchange& own = static_cast<Worker*>(argument)->own;
    perform_exchange(own);
    own.ended_ms = tick_ms();
    close_exchange(own);  // its last call has returned
    return 0;
}

bool has_ended(const Worker& worker) {
    return WaitForSingleObject(worker.thread, 0) == WAIT_OBJECT_0;
}

void free_worker(Worker& worker) {
    CloseHandle(worker.thread);
    worker.thread = nullptr;
    worker.caller = nullptr;
}

// Frees the workers of stopped exchanges whose threads have ended.
void reap() {
    for (Worker& worker : g_workers) {
        if (worker.thread != nullptr && worker.caller == nullptr && has_ended(worker))
            free_worker(worker);
    }
}

Worker* free_worker_slot() {
    reap();
    for (;;) {
        HANDLE stopped[WORKER_COUNT];
        DWORD n = 0;
        for (Worker& worker : g_workers) {
            if (worker.thread == nullptr) return &worker;
            if (worker.caller == nullptr) stopped[n++] = worker.thread;
        }
        // Every worker is taken: wait for a stopped thread, which its own
        // timeouts bound. A batch being half the pool, some are stopped ones.
        if (n == 0) return nullptr;
        WaitForMultipleObjects(n, stopped, FALSE, INFINITE);
        reap();
    }
}

// The thread's end, handed to the caller's exchange.
void hand(Worker& worker) {
    Exchange& caller = *worker.caller;
    caller.end = worker.own.end;
    caller.received = worker.own.received;
    caller.ended_ms = worker.own.ended_ms;
    if (worker.own.buffer != caller.buffer && worker.own.received > 0)
        std::memcpy(caller.buffer, worker.own.buffer, worker.own.received);
    worker.handed = true;
}

Worker* start_worker(Exchange& exchange) {
    Worker* worker = free_worker_slot();
    if (worker == nullptr) return nullptr;
    worker->caller = &exchange;
    worker->own = exchange;
    if (worker->own.limit <= WORKER_BYTES) worker->own.buffer = worker->bytes;
    worker->handed = false;
    worker->thread = CreateThread(nullptr, 0, perform, worker, 0, nullptr);
    if (worker->thread == nullptr) {
        worker->caller = nullptr;
        return nullptr;
    }
    // The handles are the thread's from now on.
    exchange.connection = nullptr;
    exchange.request = nullptr;
    return worker;
}

}  // namespace

void start_exchanges(Exchange* exchanges, int count) {
    g_exchanges = exchanges;
    g_count = count < MAX_EXCHANGES ? count : MAX_EXCHANGES;
    for (int i = 0; i < g_count; ++i) {
        g_batch[i] = nullptr;
        g_pending[i] = false;
        if (exchanges[i].request == nullptr) continue;
        g_batch[i] = start_worker(exchanges[i]);
        if (g_batch[i] == nullptr) {  // no thread: this one runs in turn
            perform_exchange(exchanges[i]);
            exchanges[i].ended_ms = tick_ms();
            g_pending[i] = true;
        }
    }
}

int next_ended_exchange() {
    HANDLE waiting[MAX_EXCHANGES];
    int index_of[MAX_EXCHANGES];
    DWORD n = 0;
    for (int i = 0; i < g_count; ++i) {
        if (g_pending[i]) {
            g_pending[i] = false;
            return i;
        }
        if (g_batch[i] == nullptr || g_batch[i]->handed) continue;
        waiting[n] = g_batch[i]->thread;
        index_of[n++] = i;
    }
    if (n == 0) return -1;
    const DWORD woken = WaitForMultipleObjects(n, waiting, FALSE, INFINITE);
    if (woken >= WAIT_OBJECT_0 + n) return -1;
    const int index = index_of[woken - WAIT_OBJECT_0];
    hand(*g_batch[index]);
    return index;
}

void stop_exchanges() {
    for (int i = 0; i < g_count; ++i) {
        Exchange& exchange = g_exchanges[i];
        Worker* worker = g_batch[i];
        if (g_pending[i] || (worker != nullptr && !worker->handed)) {
            exchange.end = ExchangeEnd::none;
            exchange.received = 0;
        }
        if (worker != nullptr) {
            if (!has_ended(*worker) && worker->own.buffer == exchange.buffer)
                WaitForSingleObject(worker->thread, INFINITE);  // it writes the caller's bytes
            worker->caller = nullptr;
            if (has_ended(*worker)) free_worker(*worker);
        }
        close_exchange(exchange);  // those performed in turn
        g_batch[i] = nullptr;
        g_pending[i] = false;
    }
    g_count = 0;
    g_exchanges = nullptr;
}
