// SHA-256 of FIPS 180-4, streaming, with no allocation. sha256_update gathers
// input in the context's block until it is full and hands whole blocks of the
// input to the compression directly, so a digest never depends on how the
// input was split. The compression forms, all with identical results, and the
// choice between them are in sha256_engines.cpp; reading a file back for its
// digest is in file_hash.cpp.
#include "verify/sha256.hpp"

#include "verify/sha256_engines.hpp"

#include <cstdio>
#include <cstring>

namespace {

const uint32_t INITIAL_STATE[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

void feed_byte(Sha256Context& context, uint8_t byte) {
    sha256_update(context, &byte, 1);
}

}  // namespace

void sha256_init(Sha256Context& context) {
    std::memcpy(context.state, INITIAL_STATE, sizeof context.state);
    context.total = 0;
    context.fill = 0;
}

void sha256_update(Sha256Context& context, const void* data, uint64_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    context.total += length;
    if (length == 0) return;  // data may then be null, which memcpy must not see
    if (context.fill > 0) {
        uint64_t take = 64 - context.fill;
        if (take > length) take = length;
        std::memcpy(context.block + context.fill, bytes, take);
        context.fill += take;
        bytes += take;
        length -= take;
        if (context.fill < 64) return;
        sha256_compress(context.state, context.block, 1);
        context.fill = 0;
    }
    if (length >= 64) {
        // Whole blocks go to the engine in one call, straight from the input:
        // the AVX2 engine works on two at a time. The block is left holding
        // the last of them, as if it had passed through there.
        const uint64_t whole = length / 64;
        sha256_compress(context.state, bytes, whole);
        std::memcpy(context.block, bytes + 64 * (whole - 1), 64);
        bytes += 64 * whole;
        length -= 64 * whole;
    }
    if (length > 0) std::memcpy(context.block, bytes, length);
    context.fill = length;
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

void sha256_digest_hex(const uint8_t digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]) {
    for (int i = 0; i < SHA256_DIGEST_BYTES; ++i)
        std::snprintf(hex + 2 * i, SHA256_HEX_SIZE - 2 * i, "%02x", digest[i]);
    hex[SHA256_HEX_SIZE - 1] = '\0';
}
