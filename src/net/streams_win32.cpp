// The streams on Windows: one thread per stream, each running the shared
// request sequence (stream_request.hpp) over the synchronous WinHTTP client
// and the download session, as the batch does for its exchanges. The caller's
// thread opens a stream's handles and hands them to its thread, which sends,
// receives and reads into a buffer of its worker's own, and closes them when
// it ends. After each answer or buffer it posts one event and waits on its
// worker's condition variable until the caller resumes or stops it, so a
// stream stopped there ends at once and nothing reads ahead of the caller.
// Events are numbered as they are posted, and the caller takes the lowest
// number, so they come in the order they happened; a stopped stream's event,
// handed or not, is dropped with it.
//
// A synchronous WinHTTP handle may not be closed while another thread is in
// a call on it, so stopping a stream never touches its handles: it marks the
// stream stopped and returns. A thread stopped inside a network call (a
// connection attempt, or a read from a server that has gone quiet) finishes
// that call within the session's timeouts (30 s for a download's receive),
// finds itself stopped, closes its handles and ends. The caller never waits
// for it: the worker stays taken until its thread has ended, and the pool
// holds twice as many workers as there are streams, so that a stopped stream
// may linger while a new one takes its slot. Beyond that, start_stream waits
// for a stopped thread to end, which its timeouts bound. The process's exit
// does not wait for such a thread: ExitProcess ends it.
#include <windows.h>

#include "net/stream_request.hpp"
#include "net/transport.hpp"

namespace {

constexpr int WORKER_COUNT = 2 * MAX_STREAMS;

struct Worker {
    HANDLE thread;      // null: the worker is free
    StreamRequest own;  // the thread's handles, which it closes when it ends
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

// The caller's side of each slot: its worker (null: free).
Worker* g_slots[MAX_STREAMS];

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

// Runs the stream to its end or until the caller lets go; the last event it
// posts, if any, is ended.
void run_stream(Worker& worker, StreamEvent& event) {
    event.stream = -1;  // the caller knows the slot
    event.kind = StreamEventKind::ended;
    StreamAnswer answer;
    if (!receive_stream_answer(worker.own, &answer)) return;
    event.kind = StreamEventKind::answered;
    event.answer = answer;
    if (!post(worker, event)) return;
    for (;;) {
        uint32_t count = 0;
        const StreamRead read =
            read_stream_bytes(worker.own, worker.buffer, STREAM_BUFFER_BYTES, &count);
        event = StreamEvent{};
        event.stream = -1;
        if (read != StreamRead::data) {
            event.kind = StreamEventKind::ended;
            event.complete = read == StreamRead::complete;
            return;
        }
        event.kind = StreamEventKind::data;
        event.data = worker.buffer;
        event.count = count;
        if (!post(worker, event)) return;
    }
}

DWORD WINAPI perform(void* argument) {
    Worker& worker = *static_cast<Worker*>(argument);
    StreamEvent event{};
    run_stream(worker, event);
    // Its last call has returned: the handles are closed before the end is
    // posted, so that a stream handed as ended holds nothing open.
    close_stream_request(worker.own);
    if (event.kind == StreamEventKind::ended) post(worker, event);
    return 0;
}

bool has_ended(const Worker& worker) {
    return WaitForSingleObject(worker.thread, 0) == WAIT_OBJECT_0;
}

void free_worker(Worker& worker) {
    CloseHandle(worker.thread);
    worker.thread = nullptr;
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
// more, and its thread, if waiting, ends now; one in a network call ends when
// that call returns. Its handles are its thread's to close.
void let_go(int32_t stream) {
    Worker& worker = *g_slots[stream];
    AcquireSRWLockExclusive(&g_lock);
    worker.stopped = true;
    worker.posted = false;
    WakeConditionVariable(&worker.go);
    ReleaseSRWLockExclusive(&g_lock);
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
    Worker* worker = free_worker_slot();
    if (worker == nullptr) return false;
    // Opened here, before the thread exists: from then on the handles are
    // the thread's alone.
    if (!open_stream_request(session, url, first, end, worker->own)) return false;
    worker->stopped = worker->waiting = worker->resumed = worker->finished = false;
    worker->posted = false;
    worker->thread = CreateThread(nullptr, 0, perform, worker, 0, nullptr);
    if (worker->thread == nullptr) {
        close_stream_request(worker->own);
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
    if (event->kind == StreamEventKind::ended) let_go(found);  // its thread is ending
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
    let_go(stream);
}
