// The program's own streaming SHA-256 (FIPS 180-4). The compression runs on
// the fastest engine the CPU has (see Sha256Engine below), with identical
// results on every one.
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
// The digest as 64 lower-case hex digits, terminated.
void sha256_digest_hex(const uint8_t digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]);

// The digest of the file as 64 lower-case hex digits, or "" when it cannot be
// opened or read to its end.
void sha256_file_hex(const char* path, char hex[SHA256_HEX_SIZE]);
// The same, with the number of bytes read; false (hex "", size 0) on any failure.
bool sha256_file(const char* path, char hex[SHA256_HEX_SIZE], uint64_t& size);
// The digest of a held file, read from where it stands to its end.
struct HeldFile;
void sha256_held_file_hex(HeldFile* file, char hex[SHA256_HEX_SIZE]);

// The compression forms. At first use the program takes the best one this
// CPU runs, in this order: the SHA extensions, AVX2 with BMI2, SSSE3, and the
// portable form, which runs everywhere. The tests and the benchmark run each.
enum class Sha256Engine { portable, ssse3, avx2, sha_ni };
constexpr int SHA256_ENGINE_COUNT = 4;

const char* sha256_engine_name(Sha256Engine engine);  // "portable", "ssse3", "avx2", "sha-ext"
bool sha256_cpu_runs(Sha256Engine engine);            // from cpuid, and xgetbv for AVX2
bool sha256_cpu_has_sha_ni();
Sha256Engine sha256_best_engine();
Sha256Engine sha256_engine_in_use();
// False, and nothing changes, when this CPU cannot run the engine.
bool sha256_select_engine(Sha256Engine engine);
