// The SHA-256 compression forms behind sha256_update, and the choice between
// them. Every form gives the same state for the same blocks; they differ only
// in the instructions they need. Only src/install and its tests include this.
#pragma once

#include <cstdint>

#include "install/sha256.hpp"

// Compresses count whole 64-byte blocks, one after the other, into state.
using Sha256Compress = void (*)(uint32_t state[8], const uint8_t* blocks, uint64_t count);

// The form of the engine; every engine has one, whatever this CPU runs.
Sha256Compress sha256_engine_compress(Sha256Engine engine);

// The form in use: chosen on the first call, or by sha256_select_engine.
void sha256_compress(uint32_t state[8], const uint8_t* blocks, uint64_t count);
