// SHA-256 of FIPS 180-4, streaming, with no allocation. sha256_update copies
// every input byte into the context's block and compresses when it is full, so
// a digest never depends on how the input was split. The compression has two
// forms with identical results: one on the x86-64 SHA extensions, used when
// cpuid reports them, and a portable one for every other CPU. The file digest
// reads through one static 1 MiB buffer, so memory does not grow with the file.
#include "install/sha256.hpp"

#include <cpuid.h>
#include <immintrin.h>

#include <cstdio>
#include <cstring>

namespace {

alignas(16) const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const uint32_t INITIAL_STATE[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Also in size-optimised builds: called out of line, the rounds run at half speed.
#define ALWAYS_INLINE inline __attribute__((always_inline))

ALWAYS_INLINE uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}
ALWAYS_INLINE uint32_t big_sigma0(uint32_t x) {
    return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22);
}
ALWAYS_INLINE uint32_t big_sigma1(uint32_t x) {
    return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25);
}
// The schedule's sigmas rotate a rotated copy (rotr(rotr(x, 11) ^ x, 7) is
// rotr(x, 18) ^ rotr(x, 7)): without a non-destructive rotate (x86-64 before
// BMI2) that saves a register copy per word, and the schedule is off the
// rounds' critical path, so the longer chain costs nothing.
ALWAYS_INLINE uint32_t small_sigma0(uint32_t x) {
    return rotr(rotr(x, 11) ^ x, 7) ^ (x >> 3);
}
ALWAYS_INLINE uint32_t small_sigma1(uint32_t x) {
    return rotr(rotr(x, 2) ^ x, 17) ^ (x >> 10);
}
ALWAYS_INLINE uint32_t choose(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}

ALWAYS_INLINE uint32_t load_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// The portable form unrolls all 64 rounds: the roles of the eight working
// variables rotate through the macro arguments instead of their values moving,
// the schedule is extended in a ring of 16 words as the rounds need it, and
// majority reuses the a ^ b of the previous round as its b ^ c.
#define PORTABLE_ROUND(a, b, c, d, e, f, g, h, i, word)                                  \
    do {                                                                                 \
        uint32_t t1 = h + big_sigma1(e) + choose(e, f, g) + ROUND_CONSTANTS[i] + (word); \
        d += t1;                                                                         \
        a_xor_b = a ^ b;                                                                 \
        h = t1 + big_sigma0(a) + (b ^ (a_xor_b & b_xor_c));                              \
        b_xor_c = a_xor_b;                                                               \
    } while (0)

#define LOADED_WORD(i) w[i]
#define SCHEDULED_WORD(i) \
    (w[(i)&15] += small_sigma1(w[((i)-2) & 15]) + w[((i)-7) & 15] + small_sigma0(w[((i)-15) & 15]))

#define PORTABLE_EIGHT_ROUNDS(i, WORD)                              \
    PORTABLE_ROUND(a, b, c, d, e, f, g, h, (i) + 0, WORD((i) + 0)); \
    PORTABLE_ROUND(h, a, b, c, d, e, f, g, (i) + 1, WORD((i) + 1)); \
    PORTABLE_ROUND(g, h, a, b, c, d, e, f, (i) + 2, WORD((i) + 2)); \
    PORTABLE_ROUND(f, g, h, a, b, c, d, e, (i) + 3, WORD((i) + 3)); \
    PORTABLE_ROUND(e, f, g, h, a, b, c, d, (i) + 4, WORD((i) + 4)); \
    PORTABLE_ROUND(d, e, f, g, h, a, b, c, (i) + 5, WORD((i) + 5)); \
    PORTABLE_ROUND(c, d, e, f, g, h, a, b, (i) + 6, WORD((i) + 6)); \
    PORTABLE_ROUND(b, c, d, e, f, g, h, a, (i) + 7, WORD((i) + 7))

void compress_portable(uint32_t state[8], const uint8_t block[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = load_be32(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t a_xor_b, b_xor_c = b ^ c;

    PORTABLE_EIGHT_ROUNDS(0, LOADED_WORD);
    PORTABLE_EIGHT_ROUNDS(8, LOADED_WORD);
    PORTABLE_EIGHT_ROUNDS(16, SCHEDULED_WORD);
    PORTABLE_EIGHT_ROUNDS(24, SCHEDULED_WORD);
    PORTABLE_EIGHT_ROUNDS(32, SCHEDULED_WORD);
    PORTABLE_EIGHT_ROUNDS(40, SCHEDULED_WORD);
    PORTABLE_EIGHT_ROUNDS(48, SCHEDULED_WORD);
    PORTABLE_EIGHT_ROUNDS(56, SCHEDULED_WORD);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#undef PORTABLE_ROUND
#undef LOADED_WORD
#undef SCHEDULED_WORD
#undef PORTABLE_EIGHT_ROUNDS

// The SHA extensions keep the state as the pairs ABEF and CDGH; each
// sha256rnds2 does two rounds, and msg1/msg2 extend the schedule four words
// at a time.
#define SHA_NI_FOUR_ROUNDS(group, words)                                                      \
    do {                                                                                      \
        __m128i kw = _mm_add_epi32(                                                           \
            words,                                                                            \
            _mm_load_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS + 4 * (group)))); \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);                                         \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(kw, 0x0E));                \
    } while (0)

// next := the four schedule words after w3, written over w0 (the oldest).
#define SHA_NI_SCHEDULE(w0, w1, w2, w3) \
    w0 = _mm_sha256msg2_epu32(          \
        _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4)), w3)

__attribute__((target("sha,sse4.1"))) void compress_sha_ni(uint32_t state[8],
                                                           const uint8_t block[64]) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    const __m128i abef_start = abef, cdgh_start = cdgh;

    const __m128i* in = reinterpret_cast<const __m128i*>(block);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);

    SHA_NI_FOUR_ROUNDS(0, m0);
    SHA_NI_FOUR_ROUNDS(1, m1);
    SHA_NI_FOUR_ROUNDS(2, m2);
    SHA_NI_FOUR_ROUNDS(3, m3);
    for (int group = 4; group < 16; group += 4) {
        SHA_NI_SCHEDULE(m0, m1, m2, m3);
        SHA_NI_FOUR_ROUNDS(group, m0);
        SHA_NI_SCHEDULE(m1, m2, m3, m0);
        SHA_NI_FOUR_ROUNDS(group + 1, m1);
        SHA_NI_SCHEDULE(m2, m3, m0, m1);
        SHA_NI_FOUR_ROUNDS(group + 2, m2);
        SHA_NI_SCHEDULE(m3, m0, m1, m2);
        SHA_NI_FOUR_ROUNDS(group + 3, m3);
    }

    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#undef SHA_NI_FOUR_ROUNDS
#undef SHA_NI_SCHEDULE

using CompressFunction = void (*)(uint32_t state[8], const uint8_t block[64]);

void compress_first_use(uint32_t state[8], const uint8_t block[64]);

// Chosen on the first compression, so that no static initialiser runs cpuid.
CompressFunction g_compress = compress_first_use;

void compress_first_use(uint32_t state[8], const uint8_t block[64]) {
    g_compress = sha256_cpu_has_sha_ni() ? compress_sha_ni : compress_portable;
    g_compress(state, block);
}

void feed_byte(Sha256Context& context, uint8_t byte) {
    sha256_update(context, &byte, 1);
}

}  // namespace

bool sha256_cpu_has_sha_ni() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

void sha256_select_engine(Sha256Engine engine) {
    g_compress = engine == Sha256Engine::sha_ni && sha256_cpu_has_sha_ni() ? compress_sha_ni
                                                                           : compress_portable;
}

void sha256_init(Sha256Context& context) {
    std::memcpy(context.state, INITIAL_STATE, sizeof context.state);
    context.total = 0;
    context.fill = 0;
}

void sha256_update(Sha256Context& context, const void* data, uint64_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    context.total += length;
    while (length > 0) {
        uint64_t take = 64 - context.fill;
        if (take > length) take = length;
        std::memcpy(context.block + context.fill, bytes, take);
        context.fill += take;
        if (context.fill == 64) {
            g_compress(context.state, context.block);
            context.fill = 0;
        }
        bytes += take;
        length -= take;
    }
}

void sha256_final(Sha256Context& context, uint8_t digest[SHA256_DIGEST_BYTES]) {
    const uint64_t bit_length = context.total * 8;
    feed_byte(context, 0x80);
    while (context.fill != 56)
        feed_byte(context, 0x00);
    for (int shift = 56; shift >= 0; shift -= 8)
        feed_byte(context, static_cast<uint8_t>(bit_length >> shift));
    for (int i = 0; i < 8; ++i) {
        digest[4 * i + 0] = static_cast<uint8_t>(context.state[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(context.state[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(context.state[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(context.state[i]);
    }
}
