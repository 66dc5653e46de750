// MD5 (IETF RFC 1321) with a printable state text.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_md5_ctx {
    uint32_t state[4];
    uint32_t count[2];  // message length in bits, low word first
    uint8_t buffer[64];
};

inline constexpr size_t PL_MD5_DIGEST_LEN = 16;
// Longest state text (70 fields), terminator included.
inline constexpr size_t PL_MD5_TEXT_SIZE = 246;

// The initial state of the standard, length 0, every other byte zero.
void pl_md5_init(pl_md5_ctx* ctx);
// Any length, split anywhere, gives the same digest as one call.
void pl_md5_update(pl_md5_ctx* ctx, const void* data, size_t len);
// Writes the 16-byte digest, then zeroes the whole context.
void pl_md5_final(pl_md5_ctx* ctx, uint8_t* out);
// The state text: state[0..3], count[0..1] and the 64 buffer bytes as
// lower-case hexadecimal numbers joined by ",". A buffer too small keeps the
// beginning of the text. Returns 0 (-1 for an absent or empty buffer).
int pl_md5_get_ctx(const pl_md5_ctx* ctx, char* text, size_t size);
// Loads a state text. -1, with the context untouched, when the text does not
// hold exactly 70 fields of hexadecimal digits that fit their fields, or its
// bit count is not a whole number of bytes.
int pl_md5_set_ctx(pl_md5_ctx* ctx, const char* text);
// One-shot digest.
void pl_md5_buf(const void* data, size_t len, uint8_t* out);

// Lower-case hexadecimal MD5 of the text (without its terminator) into out
// (33 bytes); an empty text gives an empty out. Returns out.
char* pl_md5_str_hex(const char* text, char* out);
// MD5 of a whole file. -1 when it cannot be read or is empty.
int pl_md5_file(const char* path, uint8_t* out);
// Lower-case hexadecimal MD5 of a whole file into out (33 bytes), which is
// emptied first. -1 when the file cannot be read or is empty.
int pl_md5_file_hex(const char* path, char* out);
