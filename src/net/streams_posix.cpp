// The streams on POSIX: one thread per stream, each running the shared
// request sequence of stream_request.hpp over its own libcurl request, so no
// two threads ever drive the same libcurl handle. A thread only sends,
// receives and reads; the caller's thread opens and closes every handle (a
// closed request's multi handle is parked in the session, which only the
// caller's thread may touch) and is the only one that prints or writes. The
// hand-over is one lock and one condition: a thread that has an event puts it
// at the end of the queue and waits until the caller says go on or stop, so
// each stream has at most one event out and one buffer of body bytes, and
// the queue never holds more than MAX_STREAMS events. Stopping asks libcurl
// to give up at once (client::abort wakes the waiting call), so the join that
// follows is short whatever the server does: one that stalls, one that sends
// slowly, or a name that never resolves (the request's quick exit leaves a
// resolver thread behind rather than waiting for it).
#include <pthread.h>

#include "net/client.hpp"
#include "net/stream_request.hpp"
#include "net/transport.hpp"

namespace {

enum class Phase {
    free,     // no stream in the slot
    running,  // its thread works in the network; an event will come
    queued,   // its event waits in the queue
    handed,   // its answered or data event is the caller's; the thread waits for the gate
    ended,    // its ended event waits in the queue; the thread is over
};

// What the caller said after the stream's last event.
enum class Gate { wait, go, stop };

struct Stream {
    StreamRequest request;  // the caller's thread opens and closes it
    pthread_t thread;
    // Under g_lock.
    Phase phase;
    Gate gate;
    StreamEvent event;  // the event queued, or the last one handed out
    uint8_t buffer[STREAM_BUFFER_BYTES];
};

Stream g_streams[MAX_STREAMS];
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
// The caller waits on it for an event, a stream's thread for its gate.
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
int g_queue[MAX_STREAMS];  // streams whose event waits, in the order they happened
int g_queued = 0;

bool is_slot(int32_t stream) {
    return stream >= 0 && stream < MAX_STREAMS;
}

// Under g_lock: the stream's event goes to the end of the queue, unless the
// caller has stopped the stream. False when stopped.
bool queue_event(Stream& s, const StreamEvent& event) {
    if (s.gate == Gate::stop) return false;
    s.event = event;
    s.phase = event.kind == StreamEventKind::ended ? Phase::ended : Phase::queued;
    g_queue[g_queued++] = static_cast<int>(&s - g_streams);
    pthread_cond_broadcast(&g_changed);
    return true;
}

// The stream's thread: hands the event over and waits for the caller's word.
// True to go on, false when the caller stopped the stream.
bool hand_over(Stream& s, const StreamEvent& event) {
    pthread_mutex_lock(&g_lock);
    bool go = queue_event(s, event);
    while (go && s.gate == Gate::wait)
        pthread_cond_wait(&g_changed, &g_lock);
    go = go && s.gate == Gate::go;
    if (go) s.gate = Gate::wait;
    pthread_mutex_unlock(&g_lock);
    return go;
}

void end_stream(Stream& s, bool complete) {
    StreamEvent event{};
    event.stream = static_cast<int32_t>(&s - g_streams);
    event.kind = StreamEventKind::ended;
    event.complete = complete;
    pthread_mutex_lock(&g_lock);
    queue_event(s, event);
    pthread_mutex_unlock(&g_lock);
}

void* perform(void* argument) {
    Stream& s = *static_cast<Stream*>(argument);
    StreamEvent event{};
    event.stream = static_cast<int32_t>(&s - g_streams);
    event.kind = StreamEventKind::answered;
    if (!receive_stream_answer(s.request, &event.answer)) {
        end_stream(s, false);
        return nullptr;
    }
    if (!hand_over(s, event)) return nullptr;
    event.kind = StreamEventKind::data;
    event.data = s.buffer;
    for (;;) {
        const StreamRead read =
            read_stream_bytes(s.request, s.buffer, sizeof s.buffer, &event.count);
        if (read != StreamRead::data) {
            end_stream(s, read == StreamRead::complete);
            return nullptr;
        }
        if (!hand_over(s, event)) return nullptr;
    }
}

// The caller's thread, once the stream's thread is over: its handles are
// closed and the slot is free.
void release_stream(Stream& s) {
    pthread_join(s.thread, nullptr);
    close_stream_request(s.request);
    pthread_mutex_lock(&g_lock);
    s.phase = Phase::free;
    pthread_mutex_unlock(&g_lock);
}

}  // namespace

bool start_stream(NetSession* session, int32_t stream, const char* url, uint64_t first,
                  uint64_t end) {
    if (!is_slot(stream)) return false;
    Stream& s = g_streams[stream];
    pthread_mutex_lock(&g_lock);
    const bool is_free = s.phase == Phase::free;
    pthread_mutex_unlock(&g_lock);
    // A free slot has no thread, and only this thread makes it busy.
    if (!is_free || !open_stream_request(session, url, first, end, s.request)) return false;
    pthread_mutex_lock(&g_lock);
    s.phase = Phase::running;
    s.gate = Gate::wait;
    pthread_mutex_unlock(&g_lock);
    if (pthread_create(&s.thread, nullptr, perform, &s) == 0) return true;
    close_stream_request(s.request);
    pthread_mutex_lock(&g_lock);
    s.phase = Phase::free;
    pthread_mutex_unlock(&g_lock);
    return false;
}

bool next_stream_event(StreamEvent* event) {
    pthread_mutex_lock(&g_lock);
    for (;;) {
        if (g_queued > 0) break;
        // Nothing queued: wait only while some stream is still working
        // towards an event. Streams all waiting for the caller (or none
        // started) can bring none.
        bool running = false;
        for (const Stream& s : g_streams)
            running = running || s.phase == Phase::running;
        if (!running) {
            pthread_mutex_unlock(&g_lock);
            return false;
        }
        pthread_cond_wait(&g_changed, &g_lock);
    }
    Stream& s = g_streams[g_queue[0]];
    --g_queued;
    for (int i = 0; i < g_queued; ++i)
        g_queue[i] = g_queue[i + 1];
    *event = s.event;
    const bool ended = s.phase == Phase::ended;
    if (!ended) s.phase = Phase::handed;
    pthread_mutex_unlock(&g_lock);
    if (ended) release_stream(s);
    return true;
}

void resume_stream(int32_t stream) {
    if (!is_slot(stream)) return;
    Stream& s = g_streams[stream];
    pthread_mutex_lock(&g_lock);
    if (s.phase == Phase::handed) {
        s.phase = Phase::running;
        s.gate = Gate::go;
        pthread_cond_broadcast(&g_changed);
    }
    pthread_mutex_unlock(&g_lock);
}

void stop_stream(int32_t stream) {
    if (!is_slot(stream)) return;
    Stream& s = g_streams[stream];
    pthread_mutex_lock(&g_lock);
    if (s.phase == Phase::free) {
        pthread_mutex_unlock(&g_lock);
        return;
    }
    s.gate = Gate::stop;
    // Its event still queued is never handed out.
    int kept = 0;
    for (int i = 0; i < g_queued; ++i) {
        if (g_queue[i] != stream) g_queue[kept++] = g_queue[i];
    }
    g_queued = kept;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
    client::abort(s.request.request);
    release_stream(s);
}
