// The vector block routines of SHA-512 (and so SHA-384): AVX2/BMI2, and the
// same with the message schedule's rotates in AVX-512VL; and the switch
// between them and the portable block routine.
//
// Every routine reads and writes the context's state words in their
// canonical order, so a context (and its state text) is the same whichever
// routine ran.
#pragma once

#include <cstddef>
#include <cstdint>

// The block routines, each needing the instructions of those before it.
enum : int {
    PL_SHA512_PORTABLE = 0,
    PL_SHA512_AVX2 = 1,    // AVX2, BMI1, BMI2
    PL_SHA512_AVX512 = 2,  // and AVX-512F, AVX-512VL
};

// 1 when the processor (and the system) offer AVX2, BMI1 and BMI2.
int pl_sha512_avx2_available();
// 1 when they also offer AVX-512F and AVX-512VL (the system saving the
// AVX-512 registers).
int pl_sha512_avx512_available();
// The block routine SHA-512 uses: one of PL_SHA512_*. By default the best
// one the processor has.
int pl_sha512_avx2_active();
// Chooses the block routine (PL_SHA512_*); one the processor lacks gives
// the best one below it that it has. Returns the previous choice. Meant for
// tests and benchmarks; contexts in use may switch freely.
int pl_sha512_avx2_set(int routine);

// nblocks whole 128-byte blocks from data, which needs no alignment.
// Callers check pl_sha512_avx2_active first.
void pl_sha512_avx2_blocks(uint64_t state[8], const uint8_t* data, size_t nblocks);
void pl_sha512_avx512_blocks(uint64_t state[8], const uint8_t* data, size_t nblocks);
