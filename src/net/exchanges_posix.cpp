// The batch on POSIX: one thread per exchange, each running the same
// blocking request sequence as a single request does, over libcurl easy
// handles that each have their own multi handle, so no two threads ever drive
// the same libcurl handle. Threads rather than one multi loop, because the
// sequence (status test, body rules) then exists once, shared with the
// Windows batch and the single requests. A thread only performs its own
// exchange and reports its index; the caller's thread opens and closes every
// handle and is the only one that prints. Each thread notes when its
// exchange ended (tick_ms, which any thread may call), so a caller held up by
// a console that blocks its output still learns each one's own time.
// Stopping asks libcurl to give up at once (client::abort wakes the waiting call), so a stage never
// waits for an answer it no longer needs.
#include <pthread.h>

#include "net/client.hpp"
#include "net/transport.hpp"
#include "os/os.hpp"

namespace {

struct Worker {
    Exchange* exchange;
    pthread_t thread;
    bool running;  // a thread was started and not yet joined
    bool handed;   // ended and handed to the caller, or never started
};

Worker g_workers[MAX_EXCHANGES];
int g_count = 0;
int g_started = 0;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_ended_signal = PTHREAD_COND_INITIALIZER;
int g_ended[MAX_EXCHANGES];  // indexes in the order the exchanges ended
int g_ended_count = 0;
int g_handed_count = 0;

void* perform(void* argument) {
    Worker* worker = static_cast<Worker*>(argument);
    perform_exchange(*worker->exchange);
    worker->exchange->ended_ms = tick_ms();
    pthread_mutex_lock(&g_lock);
    g_ended[g_ended_count++] = static_cast<int>(worker - g_workers);
    pthread_cond_signal(&g_ended_signal);
    pthread_mutex_unlock(&g_lock);
    return nullptr;
}

}  // namespace

void start_exchanges(Exchange* exchanges, int count) {
    g_count = count < MAX_EXCHANGES ? count : MAX_EXCHANGES;
    g_started = g_ended_count = g_handed_count = 0;
    for (int i = 0; i < g_count; ++i) {
        Worker& worker = g_workers[i];
        worker.exchange = &exchanges[i];
        worker.running = false;
        worker.handed = exchanges[i].request == nullptr;
        if (worker.handed) continue;
        ++g_started;
        if (pthread_create(&worker.thread, nullptr, perform, &worker) == 0) {
            worker.running = true;
        } else {
            perform(&worker);  // no thread to be had: this one runs in turn
        }
    }
}

int next_ended_exchange() {
    pthread_mutex_lock(&g_lock);
    while (g_handed_count == g_ended_count && g_handed_count < g_started)
        pthread_cond_wait(&g_ended_signal, &g_lock);
    const int index = g_handed_count < g_ended_count ? g_ended[g_handed_count++] : -1;
    pthread_mutex_unlock(&g_lock);
    if (index >= 0) g_workers[index].handed = true;
    return index;
}

void stop_exchanges() {
    for (int i = 0; i < g_count; ++i) {
        if (g_workers[i].running && !g_workers[i].handed)
            client::abort(g_workers[i].exchange->request);
    }
    for (int i = 0; i < g_count; ++i) {
        Worker& worker = g_workers[i];
        if (worker.running) pthread_join(worker.thread, nullptr);
        worker.running = false;
        if (!worker.handed) worker.exchange->end = ExchangeEnd::none;
        close_exchange(*worker.exchange);
    }
    g_count = g_started = g_ended_count = g_handed_count = 0;
}
