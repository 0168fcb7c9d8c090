// The streams on Windows: one thread per stream, each running the shared
// request sequence (stream_request.hpp) over the synchronous WinHTTP client
// and the download session, as the batch does for its exchanges. The caller's
// thread opens and closes every handle; a stream's thread only sends,
// receives and reads, into a buffer of its worker's own. After each answer or
// buffer it posts one event and waits on its worker's condition variable
// until the caller resumes or stops it, so a stream stopped there ends at once
// and nothing reads ahead of the caller. Events are numbered as they are
// posted, and the caller takes the lowest number, so they come in the order
// they happened; a stopped stream's event, handed or not, is dropped with it.
//
// Stopping a stream whose thread is in a network call closes its request
// handle: that is how WinHTTP cancels a synchronous call made on another
// thread. Wine does not cancel it: a connection attempt, or a read from a
// server that has gone quiet, runs on to its own timeout (30 s for a
// download's receive). So the caller never waits for a stopped thread: the
// worker stays taken until its thread has ended, and the pool holds twice as
// many workers as there are streams, so that a stream stopped that way can
// linger while a new one takes its slot. Beyond that, start_stream waits for
// a stopped thread to end, which its timeouts bound. Such a thread may still
// pass its closed handle's value to WinHTTP, which may by then have given it
// to a new request: keep_stream_request_aside_if_stale holds that request
// back, unused, until the thread has ended, as the batch does for its own.
#include <windows.h>

#include "net/client.hpp"
#include "net/exchanges_win32.hpp"
#include "net/stream_request.hpp"
#include "net/transport.hpp"

namespace {

constexpr int WORKER_COUNT = 2 * MAX_STREAMS;

struct Worker {
    HANDLE thread;      // null: the worker is free
    bool stale;         // let go while its thread was in a network call
    NetRequest* kept;   // a request kept aside for that thread's stale handle
    StreamRequest own;  // the handles the thread uses, copied from its slot
    // Under g_lock, shared with the thread:
    bool stopped;   // the caller has let go (stopped, or handed the end)
    bool waiting;   // answered or data posted: the thread waits for the caller
    bool resumed;   // the caller has let the thread read on
    bool finished;  // ended posted: the thread makes no further call
    bool posted;    // event is not yet handed to the caller
    uint64_t order;
    StreamEvent event;
    CONDITION_VARIABLE go;
    uint8_t buffer[STREAM_BUFFER_BYTES];
};

Worker g_workers[WORKER_COUNT];
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_event_posted = CONDITION_VARIABLE_INIT;
uint64_t g_posted_count = 0;

// The caller's side of each slot: its worker (null: free) and its handles.
Worker* g_slots[MAX_STREAMS];
StreamRequest g_requests[MAX_STREAMS];

// The thread's side: posts an event; for answered and data, waits until the
// caller resumes (true) or stops (false) the stream.
bool post(Worker& worker, const StreamEvent& event) {
    AcquireSRWLockExclusive(&g_lock);
    bool go_on = false;
    if (!worker.stopped) {
        worker.event = event;
        worker.posted = true;
        worker.order = ++g_posted_count;
        worker.finished = event.kind == StreamEventKind::ended;
        worker.waiting = !worker.finished;
        worker.resumed = false;
        WakeConditionVariable(&g_event_posted);
        while (worker.waiting && !worker.resumed && !worker.stopped)
            SleepConditionVariableSRW(&worker.go, &g_lock, INFINITE, 0);
        go_on = worker.waiting && !worker.stopped;
        worker.waiting = false;
    }
    ReleaseSRWLockExclusive(&g_lock);
    return go_on;
}

DWORD WINAPI perform(void* argument) {
    Worker& worker = *static_cast<Worker*>(argument);
    StreamEvent event{};
    event.stream = -1;  // the caller knows the slot
    event.kind = StreamEventKind::ended;
    StreamAnswer answer;
    if (receive_stream_answer(worker.own, &answer)) {
        event.kind = StreamEventKind::answered;
        event.answer = answer;
        if (!post(worker, event)) return 0;
        event = StreamEvent{};
        for (;;) {
            uint32_t count = 0;
            const StreamRead read =
                read_stream_bytes(worker.own, worker.buffer, STREAM_BUFFER_BYTES, &count);
            if (read != StreamRead::data) {
                event.kind = StreamEventKind::ended;
                event.complete = read == StreamRead::complete;
                break;
            }
            event.kind = StreamEventKind::data;
            event.data = worker.buffer;
            event.count = count;
            if (!post(worker, event)) return 0;
        }
    }
    post(worker, event);
    return 0;
}

bool has_ended(const Worker& worker) {
    return WaitForSingleObject(worker.thread, 0) == WAIT_OBJECT_0;
}

void free_worker(Worker& worker) {
    CloseHandle(worker.thread);
    worker.thread = nullptr;
    if (worker.kept != nullptr) client::close(worker.kept);
    worker.kept = nullptr;
    worker.stale = false;
}

// Frees the workers let go whose threads have ended.
void reap() {
    for (Worker& worker : g_workers) {
        if (worker.thread != nullptr && worker.stopped && has_ended(worker)) free_worker(worker);
    }
}

Worker* free_worker_slot() {
    reap();
    for (;;) {
        HANDLE lingering[WORKER_COUNT];
        DWORD n = 0;
        for (Worker& worker : g_workers) {
            if (worker.thread == nullptr) return &worker;
            if (worker.stopped) lingering[n++] = worker.thread;
        }
        // Every worker is taken, and at least half by stopped threads, each
        // bounded by its own timeouts: wait for one.
        if (n == 0) return nullptr;
        WaitForMultipleObjects(n, lingering, FALSE, INFINITE);
        reap();
    }
}

// The caller's side of letting a stream go: no event of it is handed out any
// more, and its thread, if waiting, ends now. Returns whether the thread may
// still be in a network call.
bool let_go(Worker& worker) {
    AcquireSRWLockExclusive(&g_lock);
    worker.stopped = true;
    worker.posted = false;
    const bool in_network = !worker.waiting && !worker.finished;
    WakeConditionVariable(&worker.go);
    ReleaseSRWLockExclusive(&g_lock);
    return in_network;
}

void free_slot(int32_t stream) {
    close_stream_request(g_requests[stream]);  // the request first: cancels a call on Windows
    g_slots[stream] = nullptr;
    reap();
}

bool is_slot(int32_t stream) {
    return stream >= 0 && stream < MAX_STREAMS;
}

}  // namespace

bool start_stream(NetSession* session, int32_t stream, const char* url, uint64_t first,
                  uint64_t end) {
    if (!is_slot(stream) || g_slots[stream] != nullptr) return false;
    StreamRequest& request = g_requests[stream];
    if (!open_stream_request(session, url, first, end, request)) return false;
    Worker* worker = free_worker_slot();
    if (worker == nullptr) {
        close_stream_request(request);
        return false;
    }
    worker->own = request;
    worker->stale = false;
    worker->kept = nullptr;
    worker->stopped = worker->waiting = worker->resumed = worker->finished = false;
    worker->posted = false;
    worker->thread = CreateThread(nullptr, 0, perform, worker, 0, nullptr);
    if (worker->thread == nullptr) {
        close_stream_request(request);
        return false;
    }
    g_slots[stream] = worker;
    return true;
}

bool next_stream_event(StreamEvent* event) {
    AcquireSRWLockExclusive(&g_lock);
    int32_t found = -1;
    for (;;) {
        bool started = false;
        bool running = false;  // a started stream that does not wait for the caller
        for (int32_t i = 0; i < MAX_STREAMS; ++i) {
            const Worker* worker = g_slots[i];
            if (worker == nullptr) continue;
            started = true;
            if (!worker->waiting || worker->posted || worker->resumed) running = true;
            if (worker->posted && (found < 0 || worker->order < g_slots[found]->order)) found = i;
        }
        // Every stream waiting for the caller: no event would ever come.
        if (found >= 0 || !started || !running) break;
        SleepConditionVariableSRW(&g_event_posted, &g_lock, INFINITE, 0);
    }
    if (found >= 0) {
        g_slots[found]->posted = false;
        *event = g_slots[found]->event;
        event->stream = found;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (found < 0) return false;
    if (event->kind == StreamEventKind::ended) {
        let_go(*g_slots[found]);  // finished: makes no further call
        free_slot(found);
    }
    return true;
}

void resume_stream(int32_t stream) {
    if (!is_slot(stream) || g_slots[stream] == nullptr) return;
    Worker& worker = *g_slots[stream];
    AcquireSRWLockExclusive(&g_lock);
    if (worker.waiting && !worker.posted) {
        worker.resumed = true;
        WakeConditionVariable(&worker.go);
    }
    ReleaseSRWLockExclusive(&g_lock);
}

void stop_stream(int32_t stream) {
    if (!is_slot(stream) || g_slots[stream] == nullptr) return;
    Worker& worker = *g_slots[stream];
    worker.stale = let_go(worker);
    free_slot(stream);
}

bool keep_stream_request_aside_if_stale(NetRequest* request) {
    for (Worker& worker : g_workers) {
        if (worker.thread == nullptr || !worker.stopped) continue;
        if (has_ended(worker)) {
            free_worker(worker);
            continue;
        }
        if (worker.stale && worker.own.request == request && worker.kept == nullptr) {
            worker.kept = request;
            return true;
        }
    }
    return false;
}
