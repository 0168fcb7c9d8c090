// The program's own streaming SHA-256 (FIPS 180-4). Every input byte passes
// through the block buffer; the compression uses the CPU's SHA extensions when
// it has them and a portable form otherwise, with identical results.
#pragma once

#include <cstdint>

constexpr int SHA256_DIGEST_BYTES = 32;
constexpr int SHA256_HEX_SIZE = 65;  // 64 digits and the terminator
constexpr uint32_t HASH_READ_BUFFER_SIZE = 1048576;

struct Sha256Context {
    uint32_t state[8];
    uint64_t total;  // bytes fed since init, padding included
    uint8_t block[64];
    uint64_t fill;  // bytes of block in use, 0 to 63 between calls
};

void sha256_init(Sha256Context& context);
void sha256_update(Sha256Context& context, const void* data, uint64_t length);
void sha256_final(Sha256Context& context, uint8_t digest[SHA256_DIGEST_BYTES]);

// The digest of the file as 64 lower-case hex digits, or "" when it cannot be
// opened or read to its end.
void sha256_file_hex(const char* path, char hex[SHA256_HEX_SIZE]);
// The same, with the number of bytes read; false (hex "", size 0) on any failure.
bool sha256_file(const char* path, char hex[SHA256_HEX_SIZE], uint64_t& size);

// Which compression form is used; the tests and the benchmark run both.
enum class Sha256Engine { portable, sha_ni };
bool sha256_cpu_has_sha_ni();
void sha256_select_engine(Sha256Engine engine);  // sha_ni only when the CPU has it
