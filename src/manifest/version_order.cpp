// The order of release versions, and the floor a pinned build holds manifests
// to. A pinned build starts only files its publisher signed, but a source that
// changed hands can still name an older signed release, one with a flaw fixed
// long ago; the release built into the program is the one the program itself
// vouches for, so nothing below it is taken from the network.
#include <cstdio>
#include <cstring>

#include "manifest/manifest.hpp"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One dot-separated part: its leading digits (zeros skipped) and the rest.
struct VersionPart {
    const char* digits;  // first significant digit
    size_t digit_count;  // significant digits; 0 for the number 0
    bool has_number;     // the part starts with a digit
    const char* suffix;  // what follows the leading digits
    size_t suffix_length;
};

// Reads the part that starts at *text and moves *text past it and its dot. A
// part that is not there (the text is used up) reads as the number 0.
VersionPart next_part(const char** text) {
    const char* start = *text;
    const char* end = std::strchr(start, '.');
    if (end == nullptr) end = start + std::strlen(start);
    VersionPart part = {start, 0, false, start, 0};
    const char* p = start;
    if (*start == '\0') {
        part.has_number = true;  // 1.2 is read as 1.2.0
    } else {
        while (p < end && *p == '0')
            ++p;
        part.digits = p;
        while (p < end && is_digit(*p))
            ++p;
        part.has_number = p > start;
        part.digit_count = static_cast<size_t>(p - part.digits);
        *text = *end == '.' ? end + 1 : end;
    }
    part.suffix = p;
    part.suffix_length = static_cast<size_t>(end - p);
    return part;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

int compare_text(const char* a, size_t a_length, const char* b, size_t b_length) {
    int order = std::memcmp(a, b, a_length < b_length ? a_length : b_length);
    if (order != 0) return sign(order);
    return a_length < b_length ? -1 : (a_length > b_length ? 1 : 0);
}

int compare_parts(const VersionPart& a, const VersionPart& b) {
    if (a.has_number != b.has_number) return a.has_number ? 1 : -1;
    if (!a.has_number) return compare_text(a.suffix, a.suffix_length, b.suffix, b.suffix_length);
    // Numbers of any length: more significant digits is larger, else digit by digit.
    if (a.digit_count != b.digit_count) return a.digit_count < b.digit_count ? -1 : 1;
    int order = std::memcmp(a.digits, b.digits, a.digit_count);
    if (order != 0) return sign(order);
    // 1.2.0-rc1 comes before 1.2.0: a suffix marks a part before its release.
    if ((a.suffix_length == 0) != (b.suffix_length == 0)) return a.suffix_length == 0 ? 1 : -1;
    return compare_text(a.suffix, a.suffix_length, b.suffix, b.suffix_length);
}

}  // namespace

int compare_versions(const char* a, const char* b) {
    while (*a != '\0' || *b != '\0') {
        VersionPart part_a = next_part(&a);
        VersionPart part_b = next_part(&b);
        int order = compare_parts(part_a, part_b);
        if (order != 0) return order;
    }
    return 0;
}

const char* version_floor_refusal(const ReleaseRecord& release) {
    if (compare_versions(release.version, BUILTIN_RELEASE.version) >= 0) return nullptr;
    static char reason[192];
    std::snprintf(reason, sizeof reason,
                  "line 1, version: %s is below the built-in release %s, which a pinned "
                  "program refuses",
                  release.version, BUILTIN_RELEASE.version);
    return reason;
}
