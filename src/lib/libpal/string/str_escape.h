// Backslash, JSON and HTML escapes, and character checks of texts.
#pragma once

#include <cstddef>

// A new text (pl_free) with the backslash sequences of text decoded:
// \" \' \? \\; one to three octal digits; \a \b \e \f \n \r \t \v; \x, \u and
// \U with any number of hexadecimal digits (the low byte of the value). A
// sequence giving a zero byte ends the text. An unknown sequence is logged
// and gives its character; a backslash at the very end is logged and ends the
// text. Nothing for an absent text or an empty result.
char* str_unescape_cstr(const char* text);

// JSON string escapes of len bytes: \b \t \n \f \r, \u00XX for other bytes
// below 32, a backslash before "\" and double quote. Without out: the number
// of characters the escaped text has. With out (room for that many): writes
// them, without a terminator, and returns the number written.
size_t json_escape_imp(char* out, const char* text, size_t len);
// The terminated escape of text into out: 0, or -1 with an empty out when it
// does not fit.
int str_escape_json(char* out, size_t out_size, const char* text);
// The same, needing two bytes more; an escaped text holding "," that does not
// start with a double quote is wrapped in double quotes.
int str_escape_json_csv(char* out, size_t out_size, const char* text);

// HTML escapes of len bytes: double quote, "&", ">", "<" become "&quot;",
// "&amp;", "&gt;", "&lt;". Without out: the extra bytes the escapes need.
// With out (room for len plus the extra bytes): writes the escaped text,
// without a terminator, and returns the number of characters written.
size_t html_escape_imp(char* out, const char* text, size_t len);

// 1 when every character is a decimal digit (also for the empty text).
int str_is_digits(const char* text);
// 1 when the text holds ":" at least twice.
int str_has_two_colons(const char* text);

// Flags of str_check_chars, tested in this order.
enum : int {
    STR_CHECK_NOT_EMPTY = 1,  // "Can't be empty"
    STR_CHECK_URL_VAL = 2,    // none of the URL key ban set without "&" and "="
    STR_CHECK_NO_AMP_EQ = 4,  // neither "&" nor "="
    STR_CHECK_NO_AMP = 8,     // no "&"
    STR_CHECK_NO_BRACKET = 16,  // neither "[" nor "]"
};
inline constexpr size_t STR_CHECK_ERR_SIZE = 4096;
// 1 when the text passes every test of flags; else 0 with the reason in err
// (STR_CHECK_ERR_SIZE bytes; may be absent).
int str_check_chars(const char* text, int flags, char* err);
