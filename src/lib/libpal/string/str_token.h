// Tokens, lines and words of a text. The tokenizer keeps no hidden state,
// so these are safe to call from several threads.
#pragma once

#include <cstddef>

// 0 when a field of list (cut at any character of seps), trimmed of white
// space, equals word; else -1.
int str_list_has_trimmed(const char* list, const char* seps, const char* word);
// The n-th token (from 0) of text, which is cut in place at delimiters (runs
// of delimiters count as one); nothing when there are fewer tokens.
char* str_token_n(char* text, const char* delims, size_t n);
// The same on a copy: a new text (pl_free) or nothing.
char* str_token_n_dup(const char* text, const char* delims, size_t n);
// For the first line of text whose token key_index equals key: a new
// trimmed copy of its token val_index, or nothing.
char* str_find_line_field(const char* text, const char* delims, const char* key, size_t key_index, size_t val_index);
// For the first line of text holding search: a new trimmed copy of its n-th
// token, or nothing.
char* str_find_line_token(const char* text, const char* search, const char* delims, size_t n);
// A new text of at most length characters of text from start (empty when
// start is past the end). length 0 and an absent text log an assertion and
// give nothing.
char* str_substr(const char* text, size_t start, size_t length);
// The text up to its first blank (at most size-1 characters), or the whole
// text (strict copy) when it holds no blank. Returns out, or nothing.
char* str_first_word(const char* text, char* out, size_t size);
// word, then the text from its first blank on (nothing of it when it holds no
// blank). Returns out, or nothing when it does not fit.
char* str_replace_first_word(const char* text, const char* word, char* out, size_t size);
