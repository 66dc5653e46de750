// The AVX2/BMI2 block routine of SHA-512 (and so SHA-384), and the switch
// between it and the portable block routine.
//
// Both routines read and write the context's state words in their canonical
// order, so a context (and its state text) is the same whichever routine
// ran.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 when the processor (and the system) offer AVX2, BMI1 and BMI2.
int pl_sha512_avx2_available();
// 1 when SHA-512 uses the AVX2/BMI2 routine.
int pl_sha512_avx2_active();
// Chooses the block routine: on = 1 the AVX2/BMI2 routine (only when the
// processor has it), on = 0 the portable code. Returns the previous choice.
// Meant for tests and benchmarks; contexts in use may switch freely.
int pl_sha512_avx2_set(int on);

// nblocks whole 128-byte blocks from data, which needs no alignment.
// Callers check pl_sha512_avx2_active first.
void pl_sha512_avx2_blocks(uint64_t state[8], const uint8_t* data, size_t nblocks);
