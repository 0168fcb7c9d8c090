// A second reading of the manifest format, written for the fuzz targets with
// std::string and none of the parser's code: the lines, the field rules in
// their order, and the size conversion with strtoull's rules (white space, one
// sign, saturation) spelt out; a minus sign or a saturated value refuses. The targets hold
// parse_manifest to it, and hold every accepted record to the field rules on its own.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "records.hpp"

namespace model {

// Which rule refused a body, in the order the parser tests them.
enum class Rule { none, lines, version, file_name, digest, size };

struct Manifest {
    Rule broken = Rule::lines;
    std::string version, file_name, sha256;
    uint64_t size = 0;
    std::string raw_size_line;  // line 3 as it stood before its trailing blanks were cut
};

inline bool is_token_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_';
}

inline bool is_token(const std::string& text, size_t bound) {
    if (text.empty() || text.size() > bound) return false;
    for (unsigned char c : text)
        if (!is_token_char(c)) return false;
    return true;
}

inline bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool ends_with_exe(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return tail == ".exe";
}

// strtoull(text, &end, 10) with the whole text used: false when it is not.
// *cut (when asked for) tells whether the value was negated by a minus sign
// or saturated at 2^64 - 1, which the installer refuses.
inline bool convert_size(const std::string& text, uint64_t& value, bool* cut = nullptr) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\v' || text[i] == '\f' || text[i] == '\r'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    size_t first_digit = i;
    bool saturated = false;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) saturated = true;
        if (!saturated) v = v * 10 + digit;
    }
    // Without a digit the end stays at the start of the text: only an empty
    // text then counts as used whole, and it converts to 0.
    if (i == first_digit) {
        value = 0;
        return text.empty();
    }
    if (i != text.size()) return false;
    value = saturated ? UINT64_MAX : (negative ? 0 - v : v);
    if (cut != nullptr) *cut = negative || saturated;
    return true;
}

inline Manifest parse(const uint8_t* data, size_t size) {
    Manifest m;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));  // the body is a C string

    std::vector<std::string> lines, raw;
    size_t start = 0;
    while (lines.size() < 4) {
        size_t lf = text.find('\n', start);
        std::string line =
            text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        raw.push_back(line);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(line);
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    if (lines.size() < 4) return m;

    std::string version = lines[0];
    if (!version.empty() && (version[0] == 'v' || version[0] == 'V')) version.erase(0, 1);
    m.broken = Rule::version;
    if (!is_token(version, 16)) return m;

    const std::string& name = lines[1];
    m.broken = Rule::file_name;
    if (!is_token(name, 96) || name.size() < 5 || !ends_with_exe(name) ||
        name.find("..") != std::string::npos)
        return m;

    m.broken = Rule::digest;
    if (lines[3].size() != 64) return m;
    for (unsigned char c : lines[3])
        if (!is_hex(c)) return m;

    m.broken = Rule::size;
    uint64_t value = 0;
    bool cut = false;
    if (!convert_size(lines[2], value, &cut) || value == 0 || cut) return m;

    m.broken = Rule::none;
    m.version = version;
    m.file_name = name;
    m.sha256 = lines[3];
    m.size = value;
    m.raw_size_line = raw[2];
    return m;
}

// The start every refusal reason of that rule has.
inline const char* reason_prefix(Rule rule) {
    switch (rule) {
        case Rule::lines:
            return "fewer than four lines";
        case Rule::version:
            return "line 1, version:";
        case Rule::file_name:
            return "line 2, file name:";
        case Rule::digest:
            return "line 4, SHA-256:";
        case Rule::size:
            return "line 3, size:";
        case Rule::none:
            break;
    }
    return "";
}

// A text field that ends inside its array.
inline bool terminated(const char* field, size_t capacity) {
    return std::memchr(field, '\0', capacity) != nullptr;
}

// Every rule an accepted record must obey, read from the record alone.
inline const char* broken_field_rule(const ReleaseRecord& r) {
    if (!terminated(r.version, sizeof r.version)) return "version not terminated";
    if (!terminated(r.file_name, sizeof r.file_name)) return "file name not terminated";
    if (!terminated(r.sha256, sizeof r.sha256)) return "digest not terminated";
    std::string version = r.version, name = r.file_name, digest = r.sha256;
    if (!is_token(version, 16)) return "version not 1 to 16 token characters";
    if (!is_token(name, 96)) return "file name not 1 to 96 token characters";
    if (name.size() < 5 || !ends_with_exe(name)) return "file name not ending in .exe";
    if (name.find("..") != std::string::npos) return "file name holding ..";
    if (digest.size() != 64) return "digest not 64 characters";
    for (unsigned char c : digest)
        if (!is_hex(c)) return "digest not hexadecimal";
    if (r.size == 0) return "size 0";
    return nullptr;
}

}  // namespace model
