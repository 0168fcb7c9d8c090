// The compression forms of the installer's SHA-256 and the choice between
// them. The portable form runs on any CPU. The SHA extensions do the rounds in
// hardware. Between them, for the many x86-64 CPUs without SHA extensions, two
// vector forms do the rounds in scalar registers and extend the message
// schedule four words at a time in vector registers beside them, where the
// work costs the rounds almost nothing: SSSE3 for one block at a time, and
// AVX2 for the schedule of two blocks at once, one in each 128-bit half, so
// that the second block's rounds read a finished schedule; with BMI2's rorx
// the rotations do not copy their operand first.
//
// Every form is compiled with function-level target attributes, so the
// program itself still runs on any x86-64; the choice is made once, on the
// first compression, from cpuid, and for AVX2 also from xgetbv, since the
// YMM registers are only usable when the operating system saves them. The
// choice itself is a function of those words alone, so that it can be tried
// on CPUs that the tests do not run on.
#include "verify/sha256_engines.hpp"

#include <cpuid.h>
#include <immintrin.h>

namespace {

alignas(32) const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

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

ALWAYS_INLINE void compress_portable_block(uint32_t state[8], const uint8_t block[64]) {
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

__attribute__((target("sha,sse4.1"), always_inline)) inline void compress_sha_ni_block(
    uint32_t state[8], const uint8_t block[64]) {
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

// ---- vector schedule -----------------------------------------------------------------
//
// One step extends the schedule by the four words after x3, written over x0
// (the oldest four): W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16]. s1 of
// the two newest words needs words of the same step, so it is done in two
// halves; each half spreads two words over the 64-bit lanes as (w, w), where a
// 64-bit shift right by n leaves the 32-bit rotation of w by n in the low half.
// P and T name the width: (_mm, si128) or (_mm256, si256), whose shuffles and
// byte shifts act on each 128-bit half alone, so one step serves two blocks.
#define VECTOR_SIGMA0(P, T, x)                                                          \
    P##_xor_##T(P##_xor_##T(P##_xor_##T(P##_srli_epi32(x, 7), P##_slli_epi32(x, 25)),   \
                            P##_xor_##T(P##_srli_epi32(x, 18), P##_slli_epi32(x, 14))), \
                P##_srli_epi32(x, 3))

#define VECTOR_SIGMA1_PAIRS(P, T, v) \
    P##_xor_##T(P##_xor_##T(P##_srli_epi64(v, 17), P##_srli_epi64(v, 19)), P##_srli_epi32(v, 10))

#define VECTOR_SCHEDULE(P, T, x0, x1, x2, x3)                                    \
    do {                                                                         \
        auto t = P##_add_epi32(P##_add_epi32(x0, P##_alignr_epi8(x3, x2, 4)),    \
                               VECTOR_SIGMA0(P, T, P##_alignr_epi8(x1, x0, 4))); \
        auto s = VECTOR_SIGMA1_PAIRS(P, T, P##_shuffle_epi32(x3, 0xFA));         \
        t = P##_add_epi32(t, P##_shuffle_epi8(s, low_pair));                     \
        s = VECTOR_SIGMA1_PAIRS(P, T, P##_shuffle_epi32(t, 0x50));               \
        x0 = P##_add_epi32(t, P##_shuffle_epi8(s, high_pair));                   \
    } while (0)

// The scalar rounds of the vector forms take W[t] + K[t] ready from memory.
// VECTOR_CHOOSE is choose() for SSSE3; with BMI, (e & f) + (~e & g), the same
// value since the two never share a bit, is one andn and one and whose sums
// fold into the round's additions.
#define VECTOR_ROUND(a, b, c, d, e, f, g, h, wk)            \
    do {                                                    \
        h += (wk) + VECTOR_CHOOSE(e, f, g) + big_sigma1(e); \
        d += h;                                             \
        a_xor_b = a ^ b;                                    \
        h += big_sigma0(a) + (b ^ (a_xor_b & b_xor_c));     \
        b_xor_c = a_xor_b;                                  \
    } while (0)

// Rounds 8n to 8n+3 and 8n+4 to 8n+7: the roles of the working variables turn
// by one each round, and are back in place after eight.
#define VECTOR_ROUNDS_LOW(wk)                      \
    VECTOR_ROUND(a, b, c, d, e, f, g, h, (wk)[0]); \
    VECTOR_ROUND(h, a, b, c, d, e, f, g, (wk)[1]); \
    VECTOR_ROUND(g, h, a, b, c, d, e, f, (wk)[2]); \
    VECTOR_ROUND(f, g, h, a, b, c, d, e, (wk)[3])
#define VECTOR_ROUNDS_HIGH(wk)                     \
    VECTOR_ROUND(e, f, g, h, a, b, c, d, (wk)[0]); \
    VECTOR_ROUND(d, e, f, g, h, a, b, c, (wk)[1]); \
    VECTOR_ROUND(c, d, e, f, g, h, a, b, (wk)[2]); \
    VECTOR_ROUND(b, c, d, e, f, g, h, a, (wk)[3])

#define LOAD_STATE()                                                 \
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3]; \
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7]; \
    uint32_t a_xor_b, b_xor_c

// The working variables stay in general registers: left alone, GCC's
// vectoriser packs these eight additions into vector registers and back,
// which puts lane moves between one block's rounds and the next.
#define IN_REGISTER(x) __asm__("" : "+r"(x))
#define ADD_TO_STATE()                                                                  \
    a += state[0], b += state[1], c += state[2], d += state[3];                         \
    e += state[4], f += state[5], g += state[6], h += state[7];                         \
    IN_REGISTER(a);                                                                     \
    IN_REGISTER(b);                                                                     \
    IN_REGISTER(c);                                                                     \
    IN_REGISTER(d);                                                                     \
    IN_REGISTER(e);                                                                     \
    IN_REGISTER(f);                                                                     \
    IN_REGISTER(g);                                                                     \
    IN_REGISTER(h);                                                                     \
    state[0] = a, state[1] = b, state[2] = c, state[3] = d, state[4] = e, state[5] = f; \
    state[6] = g, state[7] = h

// Byte masks for pshufb: the two low 32-bit halves of the 64-bit lanes to the
// low two words (the high two zero), or to the high two words (the low zero).
#define LOW_PAIR_BYTES -1, -1, -1, -1, -1, -1, -1, -1, 11, 10, 9, 8, 3, 2, 1, 0
#define HIGH_PAIR_BYTES 11, 10, 9, 8, 3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1
#define BIG_ENDIAN_BYTES 12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3

#define VECTOR_CHOOSE(e, f, g) choose(e, f, g)
__attribute__((target("ssse3"))) void compress_ssse3(uint32_t state[8], const uint8_t* blocks,
                                                     uint64_t count) {
    const __m128i byte_swap = _mm_set_epi8(BIG_ENDIAN_BYTES);
    const __m128i low_pair = _mm_set_epi8(LOW_PAIR_BYTES);
    const __m128i high_pair = _mm_set_epi8(HIGH_PAIR_BYTES);
    alignas(16) uint32_t wk[16];
    LOAD_STATE();

    for (; count > 0; --count, blocks += 64) {
        const __m128i* in = reinterpret_cast<const __m128i*>(blocks);
        __m128i x0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
        __m128i x1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
        __m128i x2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
        __m128i x3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);
        b_xor_c = b ^ c;

#define SSSE3_ADD_CONSTANTS(slot, x, round)          \
    _mm_store_si128(                                 \
        reinterpret_cast<__m128i*>(wk + 4 * (slot)), \
        _mm_add_epi32(                               \
            x, _mm_load_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS + (round)))))

        for (int round = 0; round < 48; round += 16) {
            SSSE3_ADD_CONSTANTS(0, x0, round);
            VECTOR_SCHEDULE(_mm, si128, x0, x1, x2, x3);
            VECTOR_ROUNDS_LOW(wk);
            SSSE3_ADD_CONSTANTS(1, x1, round + 4);
            VECTOR_SCHEDULE(_mm, si128, x1, x2, x3, x0);
            VECTOR_ROUNDS_HIGH(wk + 4);
            SSSE3_ADD_CONSTANTS(2, x2, round + 8);
            VECTOR_SCHEDULE(_mm, si128, x2, x3, x0, x1);
            VECTOR_ROUNDS_LOW(wk + 8);
            SSSE3_ADD_CONSTANTS(3, x3, round + 12);
            VECTOR_SCHEDULE(_mm, si128, x3, x0, x1, x2);
            VECTOR_ROUNDS_HIGH(wk + 12);
        }
        SSSE3_ADD_CONSTANTS(0, x0, 48);
        SSSE3_ADD_CONSTANTS(1, x1, 52);
        SSSE3_ADD_CONSTANTS(2, x2, 56);
        SSSE3_ADD_CONSTANTS(3, x3, 60);
        VECTOR_ROUNDS_LOW(wk);
        VECTOR_ROUNDS_HIGH(wk + 4);
        VECTOR_ROUNDS_LOW(wk + 8);
        VECTOR_ROUNDS_HIGH(wk + 12);
        ADD_TO_STATE();
#undef SSSE3_ADD_CONSTANTS
    }
}

#undef VECTOR_CHOOSE
#define VECTOR_CHOOSE(e, f, g) (((e) & (f)) + (~(e) & (g)))

// Two blocks a pass: the low half of each YMM register holds the first
// block's schedule, the high half the second's. W + K of both is kept for the
// whole pass, as wk[8 * n .. 8 * n + 3] for the first block's words 4n to
// 4n + 3 and wk[8 * n + 4 .. 8 * n + 7] for the second's. An odd last block
// is loaded into both halves and the second pass of rounds is left out.
__attribute__((target("avx2,bmi,bmi2"))) void compress_avx2(uint32_t state[8],
                                                            const uint8_t* blocks, uint64_t count) {
    const __m256i byte_swap = _mm256_set_epi8(BIG_ENDIAN_BYTES, BIG_ENDIAN_BYTES);
    const __m256i low_pair = _mm256_set_epi8(LOW_PAIR_BYTES, LOW_PAIR_BYTES);
    const __m256i high_pair = _mm256_set_epi8(HIGH_PAIR_BYTES, HIGH_PAIR_BYTES);
    // 16-byte alignment only: mingw-w64's GCC does not realign the stack for
    // 32-byte locals, so nothing here may rely on more.
    alignas(16) uint32_t wk[128];
    LOAD_STATE();

    while (count > 0) {
        const uint8_t* second = count > 1 ? blocks + 64 : blocks;
#define AVX2_LOAD(i)                                                                              \
    _mm256_shuffle_epi8(_mm256_inserti128_si256(                                                  \
                            _mm256_castsi128_si256(                                               \
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks) + (i))), \
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(second) + (i)), 1),  \
                        byte_swap)
        __m256i x0 = AVX2_LOAD(0), x1 = AVX2_LOAD(1), x2 = AVX2_LOAD(2), x3 = AVX2_LOAD(3);
#undef AVX2_LOAD
        b_xor_c = b ^ c;

#define AVX2_ADD_CONSTANTS(slot, x)                                     \
    _mm256_storeu_si256(                                                \
        reinterpret_cast<__m256i*>(wk + 8 * (slot)),                    \
        _mm256_add_epi32(x, _mm256_broadcastsi128_si256(_mm_load_si128( \
                                reinterpret_cast<const __m128i*>(ROUND_CONSTANTS + 4 * (slot))))))

        for (int slot = 0; slot < 12; slot += 4) {
            AVX2_ADD_CONSTANTS(slot, x0);
            VECTOR_SCHEDULE(_mm256, si256, x0, x1, x2, x3);
            VECTOR_ROUNDS_LOW(wk + 8 * slot);
            AVX2_ADD_CONSTANTS(slot + 1, x1);
            VECTOR_SCHEDULE(_mm256, si256, x1, x2, x3, x0);
            VECTOR_ROUNDS_HIGH(wk + 8 * slot + 8);
            AVX2_ADD_CONSTANTS(slot + 2, x2);
            VECTOR_SCHEDULE(_mm256, si256, x2, x3, x0, x1);
            VECTOR_ROUNDS_LOW(wk + 8 * slot + 16);
            AVX2_ADD_CONSTANTS(slot + 3, x3);
            VECTOR_SCHEDULE(_mm256, si256, x3, x0, x1, x2);
            VECTOR_ROUNDS_HIGH(wk + 8 * slot + 24);
        }
        AVX2_ADD_CONSTANTS(12, x0);
        AVX2_ADD_CONSTANTS(13, x1);
        AVX2_ADD_CONSTANTS(14, x2);
        AVX2_ADD_CONSTANTS(15, x3);
#undef AVX2_ADD_CONSTANTS
        for (int slot = 12; slot < 16; slot += 2) {
            VECTOR_ROUNDS_LOW(wk + 8 * slot);
            VECTOR_ROUNDS_HIGH(wk + 8 * slot + 8);
        }
        ADD_TO_STATE();
        if (count == 1) break;

        b_xor_c = b ^ c;
        for (int slot = 0; slot < 16; slot += 2) {
            VECTOR_ROUNDS_LOW(wk + 8 * slot + 4);
            VECTOR_ROUNDS_HIGH(wk + 8 * slot + 12);
        }
        ADD_TO_STATE();
        blocks += 128;
        count -= 2;
    }
}

#undef VECTOR_CHOOSE
#undef VECTOR_SIGMA0
#undef VECTOR_SIGMA1_PAIRS
#undef VECTOR_SCHEDULE
#undef VECTOR_ROUND
#undef VECTOR_ROUNDS_LOW
#undef VECTOR_ROUNDS_HIGH
#undef LOAD_STATE
#undef ADD_TO_STATE
#undef IN_REGISTER
#undef LOW_PAIR_BYTES
#undef HIGH_PAIR_BYTES
#undef BIG_ENDIAN_BYTES

void compress_portable(uint32_t state[8], const uint8_t* blocks, uint64_t count) {
    for (; count > 0; --count, blocks += 64)
        compress_portable_block(state, blocks);
}

__attribute__((target("sha,sse4.1"))) void compress_sha_ni(uint32_t state[8], const uint8_t* blocks,
                                                           uint64_t count) {
    for (; count > 0; --count, blocks += 64)
        compress_sha_ni_block(state, blocks);
}

// ---- choice ---------------------------------------------------------------------------

// The feature bits, as the processor manuals number them.
constexpr uint32_t LEAF1_ECX_SSSE3 = 1u << 9;
constexpr uint32_t LEAF1_ECX_SSE4_1 = 1u << 19;
constexpr uint32_t LEAF1_ECX_OSXSAVE = 1u << 27;
constexpr uint32_t LEAF1_ECX_AVX = 1u << 28;
constexpr uint32_t LEAF7_EBX_BMI1 = 1u << 3;
constexpr uint32_t LEAF7_EBX_AVX2 = 1u << 5;
constexpr uint32_t LEAF7_EBX_BMI2 = 1u << 8;
constexpr uint32_t LEAF7_EBX_SHA = 1u << 29;
// XCR0 bits 1 and 2: the operating system saves the XMM and the YMM state.
constexpr uint64_t XCR0_XMM_YMM = 0x6;

const Sha256Compress ENGINE_COMPRESS[SHA256_ENGINE_COUNT] = {
    compress_portable,
    compress_ssse3,
    compress_avx2,
    compress_sha_ni,
};

const char* const ENGINE_NAMES[SHA256_ENGINE_COUNT] = {"portable", "ssse3", "avx2", "sha-ext"};

void compress_first_use(uint32_t state[8], const uint8_t* blocks, uint64_t count);

// Chosen on the first compression, so that no static initialiser runs cpuid.
Sha256Compress g_compress = compress_first_use;
Sha256Engine g_engine = Sha256Engine::portable;

void compress_first_use(uint32_t state[8], const uint8_t* blocks, uint64_t count) {
    sha256_select_engine(sha256_best_engine());
    g_compress(state, blocks, count);
}

}  // namespace

CpuidWords sha256_read_cpuid() {
    CpuidWords cpu{};
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    cpu.max_leaf = __get_cpuid_max(0, nullptr);
    if (cpu.max_leaf >= 1) {
        __cpuid(1, eax, ebx, ecx, edx);
        cpu.leaf1_ecx = ecx;
    }
    if (cpu.max_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        cpu.leaf7_ebx = ebx;
    }
    // xgetbv itself is an illegal instruction where OSXSAVE is clear.
    if ((cpu.leaf1_ecx & LEAF1_ECX_OSXSAVE) != 0) {
        unsigned xcr0_low = 0, xcr0_high = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        cpu.xcr0 = static_cast<uint64_t>(xcr0_high) << 32 | xcr0_low;
    }
    return cpu;
}

bool sha256_engine_runs_on(Sha256Engine engine, const CpuidWords& cpu) {
    const uint32_t ecx = cpu.max_leaf >= 1 ? cpu.leaf1_ecx : 0;
    const uint32_t ebx = cpu.max_leaf >= 7 ? cpu.leaf7_ebx : 0;
    const bool ssse3 = (ecx & LEAF1_ECX_SSSE3) != 0;
    switch (engine) {
        case Sha256Engine::portable:
            return true;
        case Sha256Engine::ssse3:
            return ssse3;
        case Sha256Engine::avx2: {
            const bool ymm_saved =
                (ecx & LEAF1_ECX_OSXSAVE) != 0 && (cpu.xcr0 & XCR0_XMM_YMM) == XCR0_XMM_YMM;
            const uint32_t avx2_bmi = LEAF7_EBX_AVX2 | LEAF7_EBX_BMI1 | LEAF7_EBX_BMI2;
            return ymm_saved && (ecx & LEAF1_ECX_AVX) != 0 && (ebx & avx2_bmi) == avx2_bmi;
        }
        case Sha256Engine::sha_ni:
            return (ebx & LEAF7_EBX_SHA) != 0 && ssse3 && (ecx & LEAF1_ECX_SSE4_1) != 0;
    }
    return false;
}

Sha256Engine sha256_best_engine_on(const CpuidWords& cpu) {
    static const Sha256Engine ORDER[] = {Sha256Engine::sha_ni, Sha256Engine::avx2,
                                         Sha256Engine::ssse3};
    for (Sha256Engine engine : ORDER)
        if (sha256_engine_runs_on(engine, cpu)) return engine;
    return Sha256Engine::portable;
}

bool sha256_cpu_runs(Sha256Engine engine) {
    return sha256_engine_runs_on(engine, sha256_read_cpuid());
}

bool sha256_cpu_has_sha_ni() {
    return sha256_cpu_runs(Sha256Engine::sha_ni);
}

Sha256Engine sha256_best_engine() {
    return sha256_best_engine_on(sha256_read_cpuid());
}

const char* sha256_engine_name(Sha256Engine engine) {
    return ENGINE_NAMES[static_cast<int>(engine)];
}

Sha256Compress sha256_engine_compress(Sha256Engine engine) {
    return ENGINE_COMPRESS[static_cast<int>(engine)];
}

bool sha256_select_engine(Sha256Engine engine) {
    if (!sha256_cpu_runs(engine)) return false;
    g_compress = sha256_engine_compress(engine);
    g_engine = engine;
    return true;
}

Sha256Engine sha256_engine_in_use() {
    if (g_compress == compress_first_use) sha256_select_engine(sha256_best_engine());
    return g_engine;
}

void sha256_compress(uint32_t state[8], const uint8_t* blocks, uint64_t count) {
    g_compress(state, blocks, count);
}
