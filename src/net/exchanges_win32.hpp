// What the WinHTTP client asks of the Windows batch (exchanges_win32.cpp) and
// streams (streams_win32.cpp).
#pragma once

#include "net/transport.hpp"

// Called with every request handle the client opens, on the caller's thread.
// True when a stopped exchange's thread, still running, may yet pass this
// same handle value to WinHTTP: the batch then keeps the handle, open and
// unused, until that thread has ended, and the client opens another.
bool keep_aside_if_stale(NetRequest* request);
// The same for a stopped stream's thread.
bool keep_stream_request_aside_if_stale(NetRequest* request);
