// The x86 SHA instructions for SHA-1 and SHA-256, and the switch between
// them and the portable block routines.
//
// Both routines read and write the context's state words in their canonical
// order, so a context (and its state text) is the same whichever routine
// ran.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 when the processor has the SHA instructions (with SSSE3 and SSE4.1).
int pl_sha_ni_available();
// 1 when SHA-1 and SHA-256 use the SHA instructions.
int pl_sha_ni_active();
// Chooses the block routine: on = 1 the SHA instructions (only when the
// processor has them), on = 0 the portable code. Returns the previous
// choice. Meant for tests and benchmarks; contexts in use may switch freely.
int pl_sha_ni_set(int on);

// Block routines of the SHA instructions: nblocks whole 64-byte blocks from
// data, which needs no alignment. Callers check pl_sha_ni_active first.
void pl_sha1_ni_blocks(uint32_t state[5], const uint8_t* data, size_t nblocks);
void pl_sha256_ni_blocks(uint32_t state[8], const uint8_t* data, size_t nblocks);
