// In-place character edits of zero-terminated texts. Letters are the ASCII
// letters; functions returning char* return the text (absent stays absent).
#pragma once

#include <cstddef>

// Letters to lower or upper case.
char* str_tolower(char* text);
char* str_toupper(char* text);
// Overwrites the text's bytes with zeros over its length, in a way the
// compiler cannot drop (for secrets). An absent text is ignored.
void str_wipe(char* text);

// Removes every character of the text that is in set.
char* str_del_chars(char* text, const char* set);
// Removes every occurrence of c.
char* str_del_chr(char* text, char c);
// Removes the last occurrence of c; an absent text logs an assertion.
char* str_rdelchar(char* text, char c);
// Collapses every run of c into one c.
char* str_squeeze_chr(char* text, char c);
// Drops the first and the last character; a text shorter than three
// characters becomes empty.
char* str_strip_ends(char* text);
// Cuts ending off the text when the text ends with it.
char* str_del_suffix(char* text, const char* ending);
// Removes up to n characters from pos (nothing when pos is at or past the end).
char* str_del_range(char* text, size_t pos, size_t n);
// The same result written into out (strict: 0, or 34 with an empty out when
// it does not fit out_size; 22 for absent arguments).
int str_del_range_copy(char* out, size_t out_size, const char* text, size_t pos, size_t n);
// Removes the first occurrence of part; 1 when one was removed, else 0.
int str_del_substr(char* text, const char* part);
// Reverses the text.
char* str_reverse(char* text);

// Replaces every occurrence of from by to (a zero "to" cuts the text at the
// first occurrence; a zero "from" changes nothing).
char* str_replace_chr(char* text, char from, char to);
// Replaces the first n occurrences (n 0: all).
char* str_replace_chr_n(char* text, size_t n, char from, char to);
// The same as str_replace_chr on a wide text.
wchar_t* str_wreplace_chr(wchar_t* text, wchar_t from, wchar_t to);
// Replaces from by to only between pairs of the quote character (not after
// a last quote that has no partner).
char* str_replace_chr_in_quotes(char* text, char quote, char from, char to);
// Overwrites the last character of a non-empty text (0 cuts it).
char* str_set_last_chr(char* text, char c);

// Makes the text in a buffer of size bytes end with c: an empty text becomes
// c, a text already ending with c is left alone, any other text gets c
// appended. Returns 0, or -1 with the text unchanged when the text is not
// terminated within size, c is 0, or there is no room for c (the assertion
// line is logged then).
int str_add_chr_not_exist_tail(char* text, size_t size, char c);
// Puts prefix before the text, the whole copied strictly into size: 0, or
// str_safecopy's failure (an empty text) when it does not fit.
int str_prepend(char* text, size_t size, const char* prefix);
// Splits the text at any character of sep (empty pieces dropped) and joins
// the pieces again with the whole sep text, cut to the text's old length.
char* str_resplit_join(char* text, const char* sep);
