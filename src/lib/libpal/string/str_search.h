// Searches and comparisons on zero-terminated texts, new joined texts, and
// text replacement. Comparing without regard to case folds only the ASCII
// letters; every other byte must be equal. Searches return a position in the
// text, or nothing; each has a form for writable texts.
#pragma once

#include <cstddef>

// 1 when text begins with prefix, byte for byte (an empty prefix matches).
int str_starts_with(const char* text, const char* prefix);
// The same without regard to case; the comparison ends at a blank in the
// text, so a prefix holding a blank never matches.
int str_istarts_with(const char* text, const char* prefix);
// 1 when text ends with suffix, byte for byte.
int str_ends_with(const char* text, const char* suffix);
// The same without regard to case; a suffix holding a blank never matches.
int str_iends_with(const char* text, const char* suffix);
// 1 when the text has at least two characters, starts with first and ends with last.
int str_wrapped_in(const char* text, char first, char last);

// First occurrence of part without regard to case (absent arguments log an assertion).
const char* str_istr(const char* text, const char* part);
// Last occurrence of part, byte for byte (absent arguments log an assertion).
const char* str_rstr(const char* text, const char* part);
// First occurrence of word that is neither preceded nor followed by a letter
// or digit; every occurrence is tried in turn. An empty word gives nothing.
const char* str_find_word(const char* text, const char* word);
const char* str_find_word_nocase(const char* text, const char* word);
// For the characters of set in set order, the first occurrence of the first
// one that occurs in the text.
const char* str_find_any(const char* text, const char* set);
// The last character of the text that is in set.
const char* str_find_last_any(const char* text, const char* set);
// The n-th occurrence of c, counted from 1.
const char* str_find_nth_chr(const char* text, char c, size_t n);
// Occurrences of c, and of any character of set.
size_t str_count_chr(const char* text, char c);
size_t str_count_set(const char* text, const char* set);
// 0 when word equals one of the items of list (separated by sep), else -1.
int str_list_find(const char* word, const char* list, char sep);
// Copies the text up to its first character of seps into buf and returns the
// position of that character (or of the terminator). Nothing, with an empty
// buf, when the token has size or more characters.
const char* str_get_token(const char* text, const char* seps, char* buf, size_t size);
// Logs "off=%u %c=%c" at level err for every position where both texts have
// a character and they differ. Returns 0.
int str_cmp_show_dbg(const char* a, const char* b);

// Writable-text forms of the searches.
inline char* str_istr(char* text, const char* part) {
    return const_cast<char*>(str_istr(static_cast<const char*>(text), part));
}
inline char* str_rstr(char* text, const char* part) {
    return const_cast<char*>(str_rstr(static_cast<const char*>(text), part));
}
inline char* str_find_word(char* text, const char* word) {
    return const_cast<char*>(str_find_word(static_cast<const char*>(text), word));
}
inline char* str_find_word_nocase(char* text, const char* word) {
    return const_cast<char*>(str_find_word_nocase(static_cast<const char*>(text), word));
}
inline char* str_find_any(char* text, const char* set) {
    return const_cast<char*>(str_find_any(static_cast<const char*>(text), set));
}
inline char* str_find_last_any(char* text, const char* set) {
    return const_cast<char*>(str_find_last_any(static_cast<const char*>(text), set));
}
inline char* str_find_nth_chr(char* text, char c, size_t n) {
    return const_cast<char*>(str_find_nth_chr(static_cast<const char*>(text), c, n));
}
inline char* str_get_token(char* text, const char* seps, char* buf, size_t size) {
    return const_cast<char*>(str_get_token(static_cast<const char*>(text), seps, buf, size));
}

// New texts (pl_free). a joined with b (a copy of a when b is absent,
// nothing when a is absent).
char* str_concat_dup(const char* a, const char* b);
// The text with c added (nothing for an absent text or a zero c).
char* str_append_chr_dup(const char* text, char c);

// Replaces the first n occurrences of find (n 0: all), scanning left to right
// without overlap. With out: the result goes there and out is returned, or
// nothing (out untouched) when the result with its terminator exceeds
// out_size; out may be the text itself. Without out: a new text of the exact
// size. An empty find replaces nothing; an absent replacement is empty.
char* str_replace(const char* text, const char* find, const char* repl, size_t n, char* out, size_t out_size);
char* str_replace_all(const char* text, const char* find, const char* repl, char* out, size_t out_size);
// Always a new text.
char* str_replace_dup(const char* text, const char* find, const char* repl, size_t n);
