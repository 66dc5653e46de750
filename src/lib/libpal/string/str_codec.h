// Byte encodings for text channels: base64 (standard and URL-safe) and the
// percent-encoding of URL query values.
#pragma once

#include <cstddef>
#include <cstdint>

// ------------------------------------------------------------------ base64

// Characters of the padded encoding of n bytes, plus the terminator.
#define PL_BASE64_ENCODE_LEN(n) ((((n) + 2) / 3) * 4 + 1)

// Encodes len bytes into out (padded with "=" to a multiple of four, then
// terminated), with the URL-safe alphabet ("-", "_") when url_safe is set.
// Returns the length of the text, or -1 (with an assertion line) when an
// argument is absent, len is 2^30 - 1 or more, or out cannot hold the text.
int str_base64_encode_imp(const void* bytes, size_t len, char* out, size_t out_size, int url_safe);
int str_base64_encode(const void* bytes, size_t len, char* out, size_t out_size);
int str_base64url_encode(const void* bytes, size_t len, char* out, size_t out_size);
// Encode a text including its terminating zero.
int str_base64_encode_str(const char* text, char* out, size_t out_size);
int str_base64url_encode_str(const char* text, char* out, size_t out_size);
// New text (pl_free) of PL_BASE64_ENCODE_LEN(len) zeroed bytes holding the
// standard encoding, or nothing.
char* str_base64_encode_dup(const void* bytes, size_t len);
// Appends the standard encoding of text (without its terminator) to the text
// in out, four characters at a time with the strict append of str_safecat:
// 0, or str_safecat's failure (out emptied) when it does not fit.
int str_base64_cat(const char* text, char* out, size_t out_size);
// Decodes up to the end, a zero or the first "="; both alphabets are
// accepted. Returns the number of bytes, or -1 for a character outside the
// alphabets (white space included) or an output that would pass out_size.
int str_base64_decode(const char* text, void* out, size_t out_size);

// -------------------------------------------------------- percent-encoding

// Byte classes of str_escape_imp. Every class encodes the control bytes and
// the blank; classes 0 to 4 also DEL and every byte from 0x80.
enum : int {
    STR_ESCAPE_URI = 0,        // "#", "%", "?"
    STR_ESCAPE_URL_ARGS = 1,   // "#", "%", "&", "+", ";", "=", "?" (URL query values)
    STR_ESCAPE_UNRESERVED = 2, // everything except letters, digits and "-._~"
    STR_ESCAPE_QUOTES_PCT = 3, // double quote, "#", "%", single quote
    STR_ESCAPE_QUOTES = 4,     // double quote, single quote
    STR_ESCAPE_PCT = 5,        // "%" only (DEL and high bytes kept)
};

// Without out: the size the encoding needs, terminator included. With out
// (which must hold that size): writes the terminated encoding and returns the
// number of characters written. An unknown class gives 0.
size_t str_escape_imp(char* out, const void* bytes, size_t len, int cls);
// Class STR_ESCAPE_URL_ARGS into out. Returns 0, or -1 (with the assertion
// line "rlen<=bsize" and an empty out) when the encoding does not fit.
int str_escape_url_args(const char* text, char* out, size_t out_size);

// Decoding modes of str_unescape_imp.
enum : int {
    STR_UNESCAPE_URI = 1,       // stop after the first "?", raw or decoded
    STR_UNESCAPE_URL_ARGS = 2,  // decode everything
    STR_UNESCAPE_URI_SAFE = 4,  // stop at "?", keep sequences of bytes below 38 or above 126
};
// Decodes len input bytes (normally the text with its terminator) from *in to
// *out, advancing both. "%" and two hexadecimal digits give that byte (a zero
// byte ends the text); "%" before a non-digit is dropped; "%", one digit and
// a non-digit are all dropped; "+" stays "+". The output never grows beyond
// the input and is always terminated, so *out must have room for len bytes
// plus one. Decoding in place (out == in) is allowed.
void str_unescape_imp(char** out, const char** in, size_t len, int mode);
// Decodes a URL query value into out. Returns 0, or -1 (empty out) when the
// text with its terminator exceeds out_size. text may equal out.
int str_unescape_url_args(const char* text, char* out, size_t out_size);
// The same in STR_UNESCAPE_URI mode: the text ends after the first "?".
int str_unescape_uri(const char* text, char* out, size_t out_size);

// ------------------------------------------------------ URL character sets

// Characters a URL query key must not hold: semicolon, slash, backslash,
// double quote, single quote, question mark, colon, at sign, hash, blank,
// ampersand, equals sign.
inline constexpr const char STR_URL_KEY_BAN_SET[] = ";/\\\"'?:@# &=";
// The same set without "&" and "=".
inline constexpr const char STR_URL_VAL_BAN_SET[] = ";/\\\"'?:@# ";

// 1 when the text holds none of STR_URL_KEY_BAN_SET.
int str_check_url_key(const char* text);
// 1 when the text holds no "&".
int str_check_url_val(const char* text);
// 1 when the text is absent or holds none of STR_URL_VAL_BAN_SET.
int str_check_escape_val(const char* text);
