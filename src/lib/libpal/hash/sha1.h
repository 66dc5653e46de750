// SHA-1 (FIPS 180-1) with a printable state text.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_sha1_ctx {
    uint32_t state[5];
    uint32_t count[2];  // message length in bits, low word first
    uint8_t buffer[64];
};

inline constexpr size_t PL_SHA1_DIGEST_LEN = 20;
// Longest state text (71 fields), terminator included.
inline constexpr size_t PL_SHA1_TEXT_SIZE = 255;

// The initial state of the standard, length 0, every other byte zero.
void pl_sha1_init(pl_sha1_ctx* ctx);
// Any length, split anywhere, gives the same digest as one call.
void pl_sha1_update(pl_sha1_ctx* ctx, const void* data, size_t len);
// Writes the 20-byte digest, then zeroes the whole context.
void pl_sha1_final(pl_sha1_ctx* ctx, uint8_t* out);
// The state text: state[0..4], count[0..1] and the 64 buffer bytes as
// lower-case hexadecimal numbers joined by ",". A buffer too small keeps the
// beginning of the text. Returns 0 (-1 for an absent or empty buffer).
int pl_sha1_get_ctx(const pl_sha1_ctx* ctx, char* text, size_t size);
// Loads a state text. -1, with the context untouched, when the text does not
// hold exactly 71 fields of hexadecimal digits that fit their fields, or its
// bit count is not a whole number of bytes.
int pl_sha1_set_ctx(pl_sha1_ctx* ctx, const char* text);
// One-shot digest.
void pl_sha1_buf(const void* data, size_t len, uint8_t* out);
