// SM3 (GB/T 32905-2016) with a printable state text.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_sm3_ctx {
    uint32_t total[2];  // message length in bytes, low word first
    uint32_t state[8];
    uint8_t buffer[64];
};

inline constexpr size_t PL_SM3_DIGEST_LEN = 32;
// Longest state text (74 fields), terminator included.
inline constexpr size_t PL_SM3_TEXT_SIZE = 282;

// The initial state of the standard, length 0, every other byte zero.
void pl_sm3_init(pl_sm3_ctx* ctx);
// Any length, split anywhere, gives the same digest as one call.
void pl_sm3_update(pl_sm3_ctx* ctx, const void* data, size_t len);
// Writes the 32-byte digest (when out is given); the context is left padded.
void pl_sm3_final(pl_sm3_ctx* ctx, uint8_t* out);
// The state text: total[0..1], state[0..7] and the 64 buffer bytes as
// lower-case hexadecimal numbers joined by ",". A buffer too small keeps the
// beginning of the text. Returns 0 (-1 for an absent or empty buffer).
int pl_sm3_get_ctx(const pl_sm3_ctx* ctx, char* text, size_t size);
// Loads a state text. -1, with the context untouched, when the text does not
// hold exactly 74 fields of hexadecimal digits that fit their fields.
int pl_sm3_set_ctx(pl_sm3_ctx* ctx, const char* text);
// One-shot digest.
void pl_sm3_buf(const void* data, size_t len, uint8_t* out);
