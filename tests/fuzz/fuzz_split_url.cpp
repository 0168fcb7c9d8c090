// split_url over any text, against a model of the split: the host runs from
// after the first "://" (or from the start) to the next "/", cut at 511 bytes;
// the path is the rest from that "/", or "/". Both buffers are always
// terminated in their last unit. Each part must come out as the platform
// converter makes it of the model's bytes and, when those bytes are
// well-formed UTF-8, as a plain decoder of the model's own makes it.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"

namespace {

struct Parts {
    std::string host, path;
};

Parts model_split(const std::string& url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t slash = url.find('/', start);
    Parts parts;
    parts.host = url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (parts.host.size() > static_cast<size_t>(HOST_MAX_BYTES)) parts.host.resize(HOST_MAX_BYTES);
    parts.path = slash == std::string::npos ? "/" : url.substr(slash);
    return parts;
}

// UTF-16 of well-formed UTF-8; false when the bytes are not well-formed.
bool decode_strict(const std::string& text, std::u16string& out) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) return false;
        char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k) {
            unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const char32_t MIN[] = {0, 0x80, 0x800, 0x10000};
        if (cp < MIN[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

// The part as split_url must have left it in its buffer, when it fits.
void check_part(const char16_t* buffer, const std::string& bytes, const char* what) {
    FUZZ_CHECK(buffer[URL_PART_UNITS - 1] == u'\0', what);
    std::vector<char16_t> converted(URL_PART_UNITS);
    if (utf8_to_utf16(bytes.c_str(), converted.data(), URL_PART_UNITS) == 0) return;  // too long
    std::u16string expected(converted.data());
    FUZZ_CHECK(std::u16string(buffer) == expected, what);
    std::u16string decoded;
    if (decode_strict(bytes, decoded)) FUZZ_CHECK(decoded == expected, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string url(reinterpret_cast<const char*>(data), size);
    url.resize(url.find('\0') == std::string::npos ? url.size() : url.find('\0'));

    // Buffers on the heap at their exact size, full of a pattern that is no
    // terminator, so that a short write or a write past the end shows.
    std::vector<char16_t> host(URL_PART_UNITS, u'\xAAAA'), path(URL_PART_UNITS, u'\xAAAA');
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    split_url(text.data(), host.data(), path.data());

    Parts expected = model_split(url);
    check_part(host.data(), expected.host, "host differs from the model's");
    check_part(path.data(), expected.path, "path differs from the model's");
    return 0;
}
