// What the scripted client shares with its streams (fake_streams.cpp) and with
// nothing else: the streams drive its requests on the fake clock.
#pragma once

#include <cstdint>
#include <string>

#include "net/transport.hpp"

namespace fake_net {

// A request that a stream opened: a download, whose bounded range a mirror
// that honours ranges answers, and whose reads take no time of read_time_ms()
// themselves, the stream's own clock counting it instead.
void mark_streamed(NetRequest* request);
// The time from a stream's start until its answer.
uint64_t answer_delay_ms(const NetRequest* request);
// The time the request's next step will take once the stream reads on, read
// with at most capacity bytes: the read's time at the response's rate (0 when
// it reads nothing), the session's receive timeout when it is stalled, 0 at
// the end of the body or a cut. Counts that read against the rate, so it is
// asked once per step.
uint64_t next_step_ms(NetRequest* request, uint32_t capacity);
void pass_time(uint64_t ms);  // read_time_ms() grows by ms
void log_call(const std::string& entry);
void reset_streams();  // every slot free, without touching handles

}  // namespace fake_net
