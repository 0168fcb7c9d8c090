// The release manifest: four lines (version, installer file name, size in
// bytes, SHA-256) turned into a ReleaseRecord, whole or not at all. The body is
// data from the network, so every field is held to a closed set of characters
// and a length before any of it reaches the record; the file name in particular
// ends up in a local path and in URLs, hence no separators and no "..".
// This file depends on nothing but the C library, so that the build can run
// the same checks over the built-in release before the program exists.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "manifest/manifest.hpp"

namespace {

constexpr int MANIFEST_LINES = 4;

bool is_token_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_';
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ends_with_exe(const char* name, size_t length) {
    static const char EXE[] = ".exe";
    if (length < 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        if (ascii_lower(name[length - 4 + i]) != EXE[i]) return false;
    }
    return true;
}

// Copies at most capacity - 1 bytes and always terminates.
void copy_text(char* dest, size_t capacity, const char* src) {
    size_t length = std::strlen(src);
    if (length > capacity - 1) length = capacity - 1;
    std::memcpy(dest, src, length);
    dest[length] = '\0';
}

bool reject(const char** reason, const char* why) {
    if (reason != nullptr) *reason = why;
    return false;
}

}  // namespace

bool is_safe_token(const char* text, int32_t bound) {
    size_t length = std::strlen(text);
    if (length == 0 || bound < 0 || length > static_cast<size_t>(bound)) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!is_token_char(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

bool parse_manifest(char* body, ReleaseRecord& release) {
    return parse_manifest(body, release, nullptr);
}

bool parse_manifest(char* body, ReleaseRecord& release, const char** reason) {
    char* lines[MANIFEST_LINES];
    int count = 0;
    char* start = body;
    while (count < MANIFEST_LINES) {
        char* lf = std::strchr(start, '\n');
        if (lf != nullptr) *lf = '\0';
        size_t length = std::strlen(start);
        while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\r')) {
            start[--length] = '\0';
        }
        lines[count++] = start;
        if (lf == nullptr) break;
        start = lf + 1;
    }
    if (count < MANIFEST_LINES) {
        return reject(reason,
                      "fewer than four lines: the text needs at least three line feeds "
                      "(a CR alone ends no line)");
    }

    char* version = lines[0];
    if (version[0] == 'v' || version[0] == 'V') {
        std::memmove(version, version + 1, std::strlen(version + 1) + 1);
    }
    if (!is_safe_token(version, VERSION_MAX_CHARS)) {
        // Editors that add a byte-order mark leave a version that looks right.
        if (std::strncmp(version, "\xEF\xBB\xBF", 3) == 0) {
            return reject(reason, "line 1, version: starts with a UTF-8 byte-order mark");
        }
        return reject(reason,
                      "line 1, version: after one optional leading v, 1 to 16 characters "
                      "of 0-9 A-Z a-z . _ -");
    }

    const char* file_name = lines[1];
    if (!is_safe_token(file_name, FILE_NAME_MAX_CHARS)) {
        return reject(reason, "line 2, file name: 1 to 96 characters of 0-9 A-Z a-z . _ -");
    }
    size_t name_length = std::strlen(file_name);
    if (name_length < static_cast<size_t>(FILE_NAME_MIN_CHARS) ||
        !ends_with_exe(file_name, name_length)) {
        return reject(reason, "line 2, file name: at least 5 characters, ending in .exe");
    }
    if (std::strstr(file_name, "..") != nullptr) {
        return reject(reason, "line 2, file name: must not contain ..");
    }

    // The digest is tested before the size.
    const char* digest = lines[3];
    bool digest_ok = std::strlen(digest) == static_cast<size_t>(SHA256_HEX_CHARS);
    for (int i = 0; digest_ok && i < SHA256_HEX_CHARS; ++i) {
        digest_ok = std::isxdigit(static_cast<unsigned char>(digest[i])) != 0;
    }
    if (!digest_ok) return reject(reason, "line 4, SHA-256: exactly 64 hexadecimal digits");

    // strtoull's own rules stand for the spellings stored manifests may use:
    // blanks before the digits, a plus sign, leading zeros. A minus sign is
    // not one of them: the conversion negates the value modulo 2^64, so "-1"
    // would announce 2^64 - 1 bytes. Nor is a value the conversion had to cut
    // to 2^64 - 1. Either names a size no disk holds, so the manifest is as
    // useless as one with a bad digest.
    const char* size_line = lines[2];
    char* end = nullptr;
    errno = 0;
    unsigned long long size = std::strtoull(size_line, &end, 10);
    bool out_of_range = errno == ERANGE;
    if (end == nullptr || *end != '\0' || size == 0) {
        return reject(reason,
                      "line 3, size: a decimal number of bytes, not zero, and nothing else");
    }
    if (out_of_range || std::strchr(size_line, '-') != nullptr) {
        return reject(reason, "line 3, size: no minus sign, and not above 18446744073709551615");
    }

    copy_text(release.version, sizeof release.version, version);
    copy_text(release.file_name, sizeof release.file_name, file_name);
    copy_text(release.sha256, sizeof release.sha256, digest);
    release.size = static_cast<uint64_t>(size);
    return true;
}
