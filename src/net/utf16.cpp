#include "net/utf16.hpp"

#include <cstdint>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes one code point; advances p past the bytes it used (one byte of an
// ill-formed sequence, so decoding resynchronises at the next byte).
char32_t decode(const unsigned char*& p) {
    unsigned char b = *p++;
    if (b < 0x80) return b;
    int extra;
    char32_t cp, min;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1;
        cp = b & 0x1F;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2;
        cp = b & 0x0F;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3;
        cp = b & 0x07;
        min = 0x10000;
    } else
        return REPLACEMENT;
    const unsigned char* q = p;
    for (int i = 0; i < extra; ++i, ++q) {
        if ((*q & 0xC0) != 0x80) return REPLACEMENT;
        cp = (cp << 6) | (*q & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return REPLACEMENT;
    p = q;
    return cp;
}

}  // namespace

int utf8_to_utf16(const char* utf8, char16_t* out, int capacity) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    int n = 0;
    for (;;) {
        char32_t cp = decode(p);
        int need = cp >= 0x10000 ? 2 : 1;
        if (n + need > capacity) return 0;
        if (need == 2) {
            // cp stays as decoded: U+10000 less 0x10000 would pass for the terminator.
            char32_t above = cp - 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (above >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (above & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(cp);
        }
        if (cp == 0) return n;
    }
}

bool utf16_to_utf8(const char16_t* text, char* out, int capacity) {
    int n = 0;
    for (;; ++text) {
        char32_t cp = *text;
        if (cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = REPLACEMENT;
        }
        unsigned char bytes[4];
        int len;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            bytes[0] = 0xC0 | (cp >> 6);
            bytes[1] = 0x80 | (cp & 0x3F);
            len = 2;
        } else if (cp < 0x10000) {
            bytes[0] = 0xE0 | (cp >> 12);
            bytes[1] = 0x80 | ((cp >> 6) & 0x3F);
            bytes[2] = 0x80 | (cp & 0x3F);
            len = 3;
        } else {
            bytes[0] = 0xF0 | (cp >> 18);
            bytes[1] = 0x80 | ((cp >> 12) & 0x3F);
            bytes[2] = 0x80 | ((cp >> 6) & 0x3F);
            bytes[3] = 0x80 | (cp & 0x3F);
            len = 4;
        }
        if (n + len > capacity) return false;
        for (int i = 0; i < len; ++i)
            out[n++] = static_cast<char>(bytes[i]);
        if (cp == 0) return true;
    }
}
