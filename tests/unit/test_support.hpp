// Small helpers shared by the unit tests: a private folder per test, file
// contents, the count of open descriptors, and the standard output of a call
// as one string.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "verify/sha256.hpp"

class TestDir {
public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;
    const std::string& path() const { return path_; }  // ends in "/"
    std::string file(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// The descriptors this process has open, the one that lists them not counted.
int open_descriptors();

template <class F>
std::string transcript(F&& call) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The SHA-256 of bytes as 64 lower-case hex digits, as a release names it.
inline std::string sha256_hex_of(const std::string& bytes) {
    Sha256Context context;
    sha256_init(context);
    sha256_update(context, bytes.data(), bytes.size());
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    char hex[SHA256_HEX_SIZE];
    sha256_digest_hex(digest, hex);
    return hex;
}
