// The WinHTTP client's count of the rule that a handle belongs to the thread
// that calls on it (transport_winhttp.cpp), read by the Wine checks.
#pragma once

#include <cstdint>

struct HandleRuleBreaks {
    uint32_t closes_during_call;  // a handle closed while a call on it was in flight
    uint32_t calls_on_closed;     // a call on, or a close of, a handle that was not open
};

// Since the process started.
HandleRuleBreaks handle_rule_breaks();
// Handles open now, those whose close waits for a child included.
uint32_t open_handle_count();
