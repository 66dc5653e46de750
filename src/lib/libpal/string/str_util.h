// Small text operations on zero-terminated texts.
#pragma once

#include <cstddef>
#include <string_view>

// White space as the C locale has it: blank, tab, line feed, vertical tab,
// form feed and carriage return.
constexpr bool str_is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// The view without the white space at its start, at its end, or at both.
constexpr std::string_view str_lstrip(std::string_view s) {
    while (!s.empty() && str_is_space(s.front())) s.remove_prefix(1);
    return s;
}
constexpr std::string_view str_rstrip(std::string_view s) {
    while (!s.empty() && str_is_space(s.back())) s.remove_suffix(1);
    return s;
}
constexpr std::string_view str_strip(std::string_view s) { return str_lstrip(str_rstrip(s)); }

// Trims work in place and return the text. A byte of 0x80 or above is never
// stripped and stops the stripping at its end.

// Strips from both ends the characters that test accepts (test may be absent)
// or that equal c.
char* str_trim_set(char* text, int (*test)(int), char c);
// Strips white space from both ends.
char* str_trim(char* text);
// Strips the character c from both ends.
char* str_trim_chr(char* text, char c);
// Strips blanks, tabs, vertical tabs and form feeds from the end only.
char* str_rtrim_blank(char* text);
// Strips double and single quote characters from both ends.
char* str_trim_quotes(char* text);
// White space, then quotes, then white space again.
char* str_trim_unquote(char* text);
// The head of a text for log lines: at most size-1 characters, line breaks removed.
char* str_get_head(const char* text, char* buf, size_t size);
// Index of word in a list of terminated words ended by an empty word; -1 when absent.
int str_list_index(const char* list, const char* word);

// Wildcard match of a whole text: "|" separates alternatives, "?" is any one
// character, "*" skips to the first place where the piece after it matches
// (no backtracking), "\" makes the next pattern character plain. 1 on a match.
int str_wildcard(const char* text, const char* pattern);
// The same, comparing ASCII letters without regard to case.
int str_wildcard_nocase(const char* text, const char* pattern);
