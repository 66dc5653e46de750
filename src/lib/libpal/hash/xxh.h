// XXH3 with a 128-bit result through the xxHash library, with a printable
// state text.
#pragma once

#include <cstddef>
#include <cstdint>

// The library's streaming state (XXH3_state_t).
struct XXH3_state_s;

inline constexpr size_t PL_XXH3_128_DIGEST_LEN = 16;
// Bytes of the library's state record.
inline constexpr size_t PL_XXH3_STATE_SIZE = 576;
// The state text: two digits per byte, terminator included.
inline constexpr size_t PL_XXH3_TEXT_SIZE = 2 * PL_XXH3_STATE_SIZE + 1;

// A state for hashing without seed and with the library's default secret;
// nullptr when the library cannot allocate it.
XXH3_state_s* pl_xxh3_128_new();
void pl_xxh3_128_free(XXH3_state_s* state);
// Starts the state afresh, as pl_xxh3_128_new leaves it.
void pl_xxh3_128_reset(XXH3_state_s* state);
void pl_xxh3_128_update(XXH3_state_s* state, const void* data, size_t len);
// The 16-byte digest in canonical form: the high 64 bits big-endian, then
// the low 64 bits big-endian.
void pl_xxh3_128_final(XXH3_state_s* state, uint8_t* out);
// The state text: the state record as 1152 upper-case hexadecimal digits.
// -1 with "str_bin_encode_hex failed" logged, and text unchanged, when size
// is below PL_XXH3_TEXT_SIZE.
int pl_xxh3_128_get_ctx(const XXH3_state_s* state, char* text, size_t size);
// Loads a state text, possibly taken in another process: the library's
// pointer to its secret is taken from a fresh state, never from the text.
// -1 with "str_hex_decode_bin failed" logged, and the state untouched, when
// the text is not exactly 1152 hexadecimal digits or holds no state of an
// unseeded hash with the default secret.
int pl_xxh3_128_set_ctx(XXH3_state_s* state, const char* text);
// One-shot XXH3-128 without seed, canonical form.
void pl_xxh3_128_buf(const void* data, size_t len, uint8_t* out);
