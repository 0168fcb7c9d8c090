// What the tests of the libcurl backend share: whether they run in the
// simulated network (tests/curl/netns_run.py), and the bytes of the files its
// servers serve.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

inline bool in_test_network() {
    return std::getenv("TREVALON_CURL_NETNS") != nullptr;
}

#define REQUIRE_TEST_NETWORK() \
    if (!in_test_network()) GTEST_SKIP() << "run through tests/curl/netns_run.py"

// The served files' bytes: i % 251 at offset i (netns_run.py's PATTERN).
inline std::string pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// The size of the large file every mirror serves.
constexpr uint64_t LARGE = 5 * 1024 * 1024 + 13;

inline const std::string& large_file() {
    static const std::string bytes = pattern(LARGE);
    return bytes;
}

// Whether bytes are the large file's from offset on.
inline bool is_large_file_at(const std::string& bytes, uint64_t offset) {
    return offset <= LARGE && bytes.size() <= LARGE - offset &&
           large_file().compare(offset, bytes.size(), bytes) == 0;
}
