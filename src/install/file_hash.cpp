// Hashing a file from disk, shared by the installer's check and the
// publisher's tool so that both read a file the same way: once, through one
// static 1 MiB buffer, with nothing from the heap. A read that stops on an
// error is not the end of the file: hashing what came before would report a
// shorter file's digest, which the check takes for a mismatch and deletes,
// and which the tool would publish.
#include <cstdio>

#include "install/sha256.hpp"

namespace {

uint8_t g_hash_read_buffer[HASH_READ_BUFFER_SIZE];

}  // namespace

bool sha256_file(const char* path, char hex[SHA256_HEX_SIZE], uint64_t& size) {
    hex[0] = '\0';
    size = 0;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;

    Sha256Context context;
    sha256_init(context);
    uint64_t total = 0;
    for (;;) {
        const size_t count = std::fread(g_hash_read_buffer, 1, HASH_READ_BUFFER_SIZE, file);
        if (count == 0) break;
        sha256_update(context, g_hash_read_buffer, count);
        total += count;
    }
    const bool read_to_end = std::ferror(file) == 0;
    std::fclose(file);
    if (!read_to_end) return false;

    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    sha256_digest_hex(digest, hex);
    size = total;
    return true;
}

void sha256_file_hex(const char* path, char hex[SHA256_HEX_SIZE]) {
    uint64_t size = 0;
    sha256_file(path, hex, size);
}
