// Hexadecimal texts: byte encoders and decoders, and the byte patterns with
// "?" wildcards of the memory search.
#pragma once

#include <cstddef>
#include <cstdint>

// Length value of str_bin_encode_hex that takes the length of the bytes as a text.
inline constexpr size_t STR_HEX_LEN_TEXT = SIZE_MAX;

// ---------------------------------------------------------------- digits

// 0 to 15 for a hexadecimal digit of either case, else 255.
uint8_t hex_char_to_val(char c);
// 1 with the digit's value in *out, or 0 (out untouched).
int hex_char_value(uint8_t* out, char c);
// 0 to 15 for a hexadecimal digit of either case, else all ones.
uint32_t hex_digit_value(char c);

// ---------------------------------------------------------------- encoders

// Upper-case digits of len bytes (STR_HEX_LEN_TEXT: the length of the bytes
// as a text) into out. Without out: the size needed, 2n+1. With out: -1 when
// 2n+1 exceeds out_size, else the terminated digits are written and 2n returned.
int64_t str_bin_encode_hex(const void* bytes, size_t len, char* out, size_t out_size);
// Lower-case digits into out: 1, or 0 with an empty out when 2n+1 exceeds out_size.
int str_bin_encode_hex_lower(const void* bytes, size_t len, char* out, size_t out_size);
// Upper-case digits in a new text (pl_free), or nothing.
char* str_bin_encode_hex_dup(const void* bytes, size_t len);

// ---------------------------------------------------------------- decoders

// Decodes pairs of digits (either case) into out, with a zero byte after them
// when terminate is set. Returns the bytes written (the zero not counted);
// without out, the size needed (n/2, plus 1 with terminate). -1 for an odd
// length, a bad digit or an out smaller than the size needed (nothing written
// then); a bad digit may leave the bytes before it in out.
int64_t str_hex_decode_bin(const char* text, int terminate, void* out, size_t out_size);
// The decoded bytes in a new block (pl_free) with a zero byte after them, the
// byte count through len_out; nothing (and *len_out 0) on failure.
void* str_hex_decode_dup(const char* text, size_t* len_out);
// Removes blanks, tabs, carriage returns and line feeds from the text in
// place, then str_hex_decode_dup.
void* str_hex_decode_dup_ws(char* text, size_t* len_out = nullptr);
// The decoded bytes plus a terminating zero, as a new text; nothing on failure.
char* str_hex_decode_text(const char* text);

// Byte pattern: a sequence of items, each two digits (a byte that must match;
// mask character "_") or one "?" (any byte; value 0, mask character "?").
// On success *bytes_out and *mask_out are new blocks (pl_free) of the
// returned item count each (the mask is not terminated) and the count is also
// stored in *len_out. -1 (outputs cleared) for any other character, a
// character between the two digits of a pair included, a byte of 0x80 or
// above, or a single digit left at the end.
int64_t str_hex_mask_decode(const char* pattern, uint8_t** bytes_out, size_t* len_out, char** mask_out);

// Pairs of digits, each pair followed by the separator's first character or
// the end of the text. At most out_size bytes are written. 0 when the text
// ended on a pair boundary, 1 on a bad digit, a lone digit, another character
// after a pair, or an out that is full.
int str_hex_sep_to_bin(const char* text, const char* sep, uint8_t* out, size_t out_size);
// Pairs of digits with blanks, "-", ".", ":" and "_" allowed between pairs.
// Needs len >= 2 and out_size > len/3. Returns the byte count, or -1 for a
// bad or lone digit or an out that is full.
int64_t str_hex_skip_sep_to_bin(const char* text, size_t len, uint8_t* out, size_t out_size);
// Converts pairs until fewer than two characters remain. 1 when the text was
// all valid pairs, 0 on a bad digit or when out_max bytes are written and
// another pair remains. The byte count goes to *count_out in both cases.
int str_hex_to_bin_n(const char* text, size_t len, uint8_t* out, size_t out_max, size_t* count_out);
// Decodes the digits to a text that must have an even, non-zero length. With
// keep set the decoded text is returned; without it the two characters of
// every pair are swapped, and a pair that is not two decimal digits makes the
// result nothing. A new text (pl_free), or nothing.
char* str_hex_decode_swap_digits(const char* text, int keep);
