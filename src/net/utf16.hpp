// Portable UTF-8/UTF-16 conversion for the backends that have no platform
// converter (libcurl and the test fake). Ill-formed input becomes U+FFFD, as
// the Windows converter does.
#pragma once

// As MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, capacity): converts up to
// and including the terminator; 0 when it does not fit.
int utf8_to_utf16(const char* utf8, char16_t* out, int capacity);

// Converts a terminated UTF-16 text back to UTF-8; false when it does not fit.
bool utf16_to_utf8(const char16_t* text, char* out, int capacity);
