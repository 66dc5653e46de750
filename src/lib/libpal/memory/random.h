// Pseudo-random numbers of the platform layer.
//
// Two process-wide generators: an xorshift64 state (seeded at start-up with
// memory_random_seed) and the C library's rand(). Draws from several
// threads are safe; they may then repeat each other's values.
#pragma once

#include <cstddef>
#include <cstdint>

// Sets the xorshift64 state to seed - 1 (a seed of 1 gives state 0, from
// which every draw is 0).
void memory_random_seed(uint64_t seed);
// Next xorshift64 value.
uint64_t memory_xorshift64();
uint64_t memory_random_u64();
// Four rand() draws combined into 64 bits.
uint64_t memory_rand_u64();

// Fills buf with length bytes: mode 0 from xorshift64, mode 1 from rand().
// Whole 64-bit words go in host byte order; a tail of length % 8 bytes takes
// the first bytes of one more value. Returns the length, 0 for length 0,
// all ones (after an assertion message) without a buffer.
uint64_t memory_random_imp(int mode, void* buf, uint64_t length);
// memory_random_imp in mode 0.
uint64_t memory_random(void* buf, uint64_t length);
// Re-seeds rand() with the current time in milliseconds, then fills in mode 1.
uint64_t memory_random_seeded(void* buf, uint64_t length);
