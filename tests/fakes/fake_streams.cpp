// The streams of the scripted transport, as a discrete-event simulation on
// the fake clock: no threads, and every run of a test the same. Each started
// stream has the time of its next step: its answer delay_ms after its start,
// then each read the time its response's rate gives, counted from the moment
// the caller let it read on. next_stream_event moves the clock to the
// earliest step of the streams that are not waiting for the caller (the lower
// slot first among equal times) and performs that step through the same
// request sequence the platforms use, so the client's log shows every call in
// the order of the simulated time.
#include <cstdio>
#include <string>

#include "fake_net.hpp"
#include "fake_net_internal.hpp"
#include "fake_os.hpp"
#include "net/stream_request.hpp"
#include "net/transport.hpp"

namespace {

struct FakeStream {
    bool started;
    bool answered;  // the answer step is done; the steps are reads
    bool waiting;   // an answered or data event handed out, no resume yet
    uint64_t due_ms;
    StreamRequest request;
    uint8_t buffer[STREAM_BUFFER_BYTES];
};

FakeStream g_streams[MAX_STREAMS];

bool is_slot(int32_t stream) {
    return stream >= 0 && stream < MAX_STREAMS;
}

std::string stream_name(int32_t stream) {
    return "stream " + std::to_string(stream);
}

void end_stream(int32_t stream, bool complete, StreamEvent* event) {
    FakeStream& s = g_streams[stream];
    close_stream_request(s.request);
    s.started = false;
    fake_net::log_call(stream_name(stream) + (complete ? " end" : " end FAILED"));
    event->kind = StreamEventKind::ended;
    event->complete = complete;
}

}  // namespace

namespace fake_net {

void reset_streams() {
    for (FakeStream& s : g_streams)
        s.started = false;
}

}  // namespace fake_net

bool start_stream(NetSession* session, int32_t stream, const char* url, uint64_t first,
                  uint64_t end) {
    char range[48];
    if (end == STREAM_TO_END) {
        std::snprintf(range, sizeof range, "%llu-", static_cast<unsigned long long>(first));
    } else {
        std::snprintf(range, sizeof range, "%llu-%llu", static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(end - 1));
    }
    std::string entry =
        (is_slot(stream) ? stream_name(stream) : "stream ?") + " start " + url + " " + range;
    if (!is_slot(stream) || g_streams[stream].started) {
        fake_net::log_call(entry + " FAILED");
        return false;
    }
    FakeStream& s = g_streams[stream];
    if (!open_stream_request(session, url, first, end, s.request)) {
        fake_net::log_call(entry + " FAILED");
        return false;
    }
    fake_net::mark_streamed(s.request.request);
    fake_net::log_call(entry);
    s.started = true;
    s.answered = false;
    s.waiting = false;
    s.due_ms = fake_os::moved_ms() + fake_net::answer_delay_ms(s.request.request);
    return true;
}

bool next_stream_event(StreamEvent* event) {
    int32_t next = -1;
    bool any = false;
    for (int32_t i = 0; i < MAX_STREAMS; ++i) {
        const FakeStream& s = g_streams[i];
        if (!s.started) continue;
        any = true;
        if (!s.waiting && (next < 0 || s.due_ms < g_streams[next].due_ms)) next = i;
    }
    if (!any) return false;
    if (next < 0) {
        fake_net::log_call("stream wait FAILED");
        return false;
    }
    FakeStream& s = g_streams[next];
    const uint64_t now = fake_os::moved_ms();
    if (s.due_ms > now) fake_net::pass_time(s.due_ms - now);
    *event = StreamEvent{};
    event->stream = next;
    if (!s.answered) {
        if (!receive_stream_answer(s.request, &event->answer)) {
            end_stream(next, false, event);
            return true;
        }
        s.answered = true;
        s.waiting = true;
        event->kind = StreamEventKind::answered;
        return true;
    }
    uint32_t count = 0;
    switch (read_stream_bytes(s.request, s.buffer, STREAM_BUFFER_BYTES, &count)) {
        case StreamRead::data:
            s.waiting = true;
            event->kind = StreamEventKind::data;
            event->data = s.buffer;
            event->count = count;
            break;
        case StreamRead::complete:
            end_stream(next, true, event);
            break;
        case StreamRead::failed:
            end_stream(next, false, event);
            break;
    }
    return true;
}

void resume_stream(int32_t stream) {
    if (!is_slot(stream)) return;
    FakeStream& s = g_streams[stream];
    if (!s.started || !s.waiting) return;
    s.waiting = false;
    s.due_ms = fake_os::moved_ms() + fake_net::next_step_ms(s.request.request, STREAM_BUFFER_BYTES);
}

void stop_stream(int32_t stream) {
    if (!is_slot(stream) || !g_streams[stream].started) return;
    FakeStream& s = g_streams[stream];
    close_stream_request(s.request);
    s.started = false;
    fake_net::log_call(stream_name(stream) + " stop");
}
