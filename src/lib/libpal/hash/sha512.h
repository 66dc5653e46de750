// SHA-512 (FIPS 180-2) with a printable state text.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_sha512_ctx {
    uint64_t state[8];
    uint64_t count[2];  // message length in bits, low word first
    uint8_t buffer[128];
};

inline constexpr size_t PL_SHA512_DIGEST_LEN = 64;
// Longest state text (138 fields), terminator included.
inline constexpr size_t PL_SHA512_TEXT_SIZE = 554;

// The initial state of the standard, length 0, every other byte zero.
void pl_sha512_init(pl_sha512_ctx* ctx);
// Any length, split anywhere, gives the same digest as one call.
void pl_sha512_update(pl_sha512_ctx* ctx, const void* data, size_t len);
// Without out: does nothing. Otherwise writes the 64-byte digest and leaves
// the state words in big-endian byte order in the context.
void pl_sha512_final(pl_sha512_ctx* ctx, uint8_t* out);
// The state text: state[0..7], count[0..1] and the 128 buffer bytes as
// lower-case hexadecimal numbers joined by ",". A buffer too small keeps the
// beginning of the text. Returns 0 (-1 for an absent or empty buffer).
int pl_sha512_get_ctx(const pl_sha512_ctx* ctx, char* text, size_t size);
// Loads a state text. -1, with the context untouched, when the text does not
// hold exactly 138 fields of hexadecimal digits that fit their fields, or
// its bit count is not a whole number of bytes.
int pl_sha512_set_ctx(pl_sha512_ctx* ctx, const char* text);
// One-shot digest.
void pl_sha512_buf(const void* data, size_t len, uint8_t* out);
