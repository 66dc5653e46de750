// Conversion between UTF-16, UTF-32 and UTF-8, and 16-bit texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Character encodings of utf_conv.
enum : int {
    UTF_16BE = 0,
    UTF_16LE = 1,
    UTF_32 = 4,  // host byte order
    UTF_8 = 5,
};

// Converts characters from *in (*in_left bytes) to *out (*out_left bytes
// free), one whole character at a time, advancing the pointers and counters
// past every character converted. Without out (out or *out absent) only the
// count is made. Returns the bytes produced, 0 for an absent or empty input.
// Failures set errno and return -1: the output is full (E2BIG), the input
// holds a malformed sequence, an unpaired surrogate, an overlong form or a
// code point above 10FFFF (EILSEQ), or an encoding is not one of the four
// above (EBADF). An incomplete sequence at the end of the input sets EINVAL
// and returns the bytes produced so far, with *in at its start.
// UTF-16 surrogate pairs are decoded; UTF-8 refuses the noncharacters
// U+FFFE and U+FFFF.
int64_t utf_conv(int from, int to, const char** in, size_t* in_left, char** out, size_t* out_left);

// UTF-8 of a code point into out (absent: only counted); a code point above
// 10FFFF gives "?". Returns the byte count, 1 to 4.
int utf8_put_char(char* out, uint32_t cp);

// UTF-16LE text (units in little-endian byte order, at any alignment) to a
// UTF-8 text in out. out is always left terminated within out_size (when
// out_size is not 0), holding the characters converted before a failure.
// Returns out, or nothing when the text is malformed or does not fit.
char* str_utf16_to_utf8_conv(const void* text, char* out, size_t out_size);
// The same after emptying out.
char* str_utf16_to_utf8(const void* text, char* out, size_t out_size);
// The same for a text of at most max_units units that need not be terminated
// (a name field of a fixed size); nothing past max_units units is read.
char* str_utf16_to_utf8_n(const void* text, size_t max_units, char* out, size_t out_size);
// UTF-8 text to a UTF-16LE text in out (out_size in bytes); out is always left
// terminated by a zero unit when out_size is 2 or more. Returns out or nothing.
char* str_utf8_to_utf16_conv(const char* text, void* out, size_t out_size);
// The same after emptying out.
char* str_utf8_to_utf16(const char* text, void* out, size_t out_size);
// Bytes the converted text needs with its terminator, or -1 when malformed.
int64_t str_utf16_to_utf8_len(const void* text);
int64_t str_utf8_to_utf16_len(const char* text);
// Without out: stores the size needed (terminator included) in *size.
// With out: converts into *size bytes and stores the size used. 1, or 0 when
// the text is malformed or does not fit.
int str_utf16_to_utf8_ex(char* out, size_t* size, const void* text);

// 16-bit texts in host byte order. The copies take the destination's size in
// units and are strict: a text that does not fit leaves an empty destination
// and gives -1; otherwise 0.
size_t u16_strlen(const uint16_t* text);
size_t u16_strnlen(const uint16_t* text, size_t max_units);
int u16_strcpy(uint16_t* dst, size_t size, const uint16_t* src);
int u16_strcat(uint16_t* dst, size_t size, const uint16_t* src);
