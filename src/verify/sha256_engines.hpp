// The SHA-256 compression forms behind sha256_update, and the choice between
// them. Every form gives the same state for the same blocks; they differ only
// in the instructions they need. Only src/install and its tests include this.
#pragma once

#include <cstdint>

#include "verify/sha256.hpp"

// Compresses count whole 64-byte blocks, one after the other, into state.
using Sha256Compress = void (*)(uint32_t state[8], const uint8_t* blocks, uint64_t count);

// The form of the engine; every engine has one, whatever this CPU runs.
Sha256Compress sha256_engine_compress(Sha256Engine engine);

// What cpuid and xgetbv say about the CPU: the highest basic leaf, ecx of
// leaf 1, ebx of leaf 7 (subleaf 0) and XCR0. A word beyond the highest leaf,
// or XCR0 without OSXSAVE, is read as 0; the choice ignores it either way.
struct CpuidWords {
    uint32_t max_leaf;
    uint32_t leaf1_ecx;
    uint32_t leaf7_ebx;
    uint64_t xcr0;
};

CpuidWords sha256_read_cpuid();
// Whether a CPU that gives these words runs the engine; depends on them alone.
bool sha256_engine_runs_on(Sha256Engine engine, const CpuidWords& cpu);
// The first of the SHA extensions, AVX2 with BMI2 and SSSE3 that it runs, or portable.
Sha256Engine sha256_best_engine_on(const CpuidWords& cpu);

// The form in use: chosen on the first call, or by sha256_select_engine.
void sha256_compress(uint32_t state[8], const uint8_t* blocks, uint64_t count);
