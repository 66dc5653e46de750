// SHA-256 (FIPS 180-2) with a printable state text.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_sha256_ctx {
    uint64_t total;  // message length in bits
    uint32_t state[8];
    uint32_t buffered;  // bytes waiting in buffer (0 to 63)
    uint8_t buffer[64];
};

inline constexpr size_t PL_SHA256_DIGEST_LEN = 32;
// Longest state text (74 fields), terminator included.
inline constexpr size_t PL_SHA256_TEXT_SIZE = 284;

// The initial state of the standard, length 0, every other byte zero.
void pl_sha256_init(pl_sha256_ctx* ctx);
// Any length, split anywhere, gives the same digest as one call.
void pl_sha256_update(pl_sha256_ctx* ctx, const void* data, size_t len);
// Pads the message; writes the 32-byte digest when out is given. The context
// is left padded.
void pl_sha256_final(pl_sha256_ctx* ctx, uint8_t* out);
// The state text: total, state[0..7], buffered and the 64 buffer bytes as
// lower-case hexadecimal numbers joined by ",". A buffer too small keeps the
// beginning of the text. Returns 0 (-1 for an absent or empty buffer).
int pl_sha256_get_ctx(const pl_sha256_ctx* ctx, char* text, size_t size);
// Loads a state text. -1, with the context untouched, when the text does not
// hold exactly 74 fields of hexadecimal digits that fit their fields, when
// buffered is 64 or more, or when it disagrees with the bit count.
int pl_sha256_set_ctx(pl_sha256_ctx* ctx, const char* text);
// One-shot digest.
void pl_sha256_buf(const void* data, size_t len, uint8_t* out);
