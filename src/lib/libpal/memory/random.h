// Pseudo-random numbers of the platform layer.
//
// Three process-wide generators: an xorshift64 state (seeded at start-up with
// memory_random_seed), the C library's rand() and an additive generator
// (memory_srandom / memory_random31). Draws from several threads are safe;
// they may then repeat each other's values. None of them is fit for keys or
// identifiers: those come from the operating system (memory_random_strong).
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

// (first rand() << 16) OR (second rand() AND 0xffff), in 32 bits.
uint32_t memory_random_u32();
// A value in [low, high) from memory_random_u32: the draw when it lies in the
// range, else its low 16 bits when they do, else a new draw. An empty range
// (high <= low) is an assertion message and low; after 64 misses the value
// is taken as low + draw mod the width, so a narrow range far from 0 cannot
// keep the caller drawing for billions of rounds.
uint32_t memory_random_range(int32_t low, int32_t high);

// The 62 letters and digits random texts are made of.
inline constexpr char k_alnum_alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// size - 1 characters of the alphabet, each alphabet[(low 32 bits of
// memory_xorshift64()) mod 62], then a NUL. A size of 1 gets the NUL only
// (the text is always terminated); 0 writes nothing.
void memory_random_alnum(char* text, size_t size);

// Seeds the additive generator (31 words, indices 3 and 0).
void memory_srandom(uint64_t seed);
// Next value of the additive generator, 31 bits.
uint32_t memory_random31();

// Fills buf from the operating system's random source (getrandom), for keys
// and identifiers. 0, or -1 (logged) when the source fails.
int32_t memory_random_strong(void* buf, size_t length);
// size - 1 unbiased characters of the alphabet from memory_random_strong,
// then a NUL; size 0 writes nothing. 0, or -1 with an empty text.
int32_t memory_random_alnum_strong(char* text, size_t size);
