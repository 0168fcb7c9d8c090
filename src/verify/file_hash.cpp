// Hashing a file from disk, shared by the installer's check and the
// publisher's tool so that both read a file the same way: once, through one
// static 1 MiB buffer, with nothing from the heap. A read that stops on an
// error is not the end of the file: hashing what came before would report a
// shorter file's digest, which the check takes for a mismatch and deletes,
// and which the tool would publish.
#include <cstdio>

#include "os/os.hpp"
#include "verify/sha256.hpp"

namespace {

uint8_t g_hash_read_buffer[HASH_READ_BUFFER_SIZE];

}  // namespace

namespace {

// Reads the next piece of the source into the buffer: false on an error, a
// count of 0 at its end.
using ReadPiece = bool (*)(void* source, uint8_t* buffer, uint32_t capacity, uint32_t* count);

bool hash_pieces(ReadPiece read, void* source, char hex[SHA256_HEX_SIZE], uint64_t& size) {
    Sha256Context context;
    sha256_init(context);
    uint64_t total = 0;
    for (;;) {
        uint32_t count = 0;
        if (!read(source, g_hash_read_buffer, HASH_READ_BUFFER_SIZE, &count)) return false;
        if (count == 0) break;
        sha256_update(context, g_hash_read_buffer, count);
        total += count;
    }
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    sha256_digest_hex(digest, hex);
    size = total;
    return true;
}

bool read_stdio(void* source, uint8_t* buffer, uint32_t capacity, uint32_t* count) {
    std::FILE* file = static_cast<std::FILE*>(source);
    *count = static_cast<uint32_t>(std::fread(buffer, 1, capacity, file));
    return *count > 0 || std::ferror(file) == 0;
}

bool read_held(void* source, uint8_t* buffer, uint32_t capacity, uint32_t* count) {
    return read_held_file(static_cast<HeldFile*>(source), buffer, capacity, count);
}

}  // namespace

bool sha256_file(const char* path, char hex[SHA256_HEX_SIZE], uint64_t& size) {
    hex[0] = '\0';
    size = 0;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const bool hashed = hash_pieces(read_stdio, file, hex, size);
    std::fclose(file);
    if (!hashed) hex[0] = '\0';
    return hashed;
}

void sha256_held_file_hex(HeldFile* file, char hex[SHA256_HEX_SIZE]) {
    uint64_t size = 0;
    hex[0] = '\0';
    if (!hash_pieces(read_held, file, hex, size)) hex[0] = '\0';
}

void sha256_file_hex(const char* path, char hex[SHA256_HEX_SIZE]) {
    uint64_t size = 0;
    sha256_file(path, hex, size);
}
