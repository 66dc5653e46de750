// Quoting words for ini files, displays and POSIX shells.
#pragma once

#include <cstddef>

// An absent or empty word gives two quote characters; a word holding any
// character of seps and not starting with the quote character is written
// between two quote characters; any other word is copied unchanged. Quotes
// inside the word are not escaped. The result is strictly copied into out
// (empty, with an overflow line, when it does not fit). Returns out.
char* str_quote_if(const char* word, const char* seps, char quote, char* out, size_t size);
// Double or single quotes when the word holds a blank, a tab or ";".
char* str_quote_dq(const char* word, char* out, size_t size);
char* str_quote_sq(const char* word, char* out, size_t size);
// The same, also for "$" and "%".
char* str_quote_dq_shell(const char* word, char* out, size_t size);
char* str_quote_sq_shell(const char* word, char* out, size_t size);
// Double quotes when the value holds a blank, "#" or ";" (ini values).
char* str_quote_ini(const char* word, char* out, size_t size);
// str_quote_dq or str_quote_sq of a text in its own buffer of size bytes.
char* str_quote_dq_inplace(char* text, size_t size);
char* str_quote_sq_inplace(char* text, size_t size);

// Quotes text as one word for a POSIX shell: stretches without single quotes
// go between single quotes, a lone single quote becomes \', a run of them
// goes between double quotes; the empty text gives ''. Returns out, or
// nothing when the result with its terminator does not fit size.
char* str_shell_quote(const char* text, char* out, size_t size);
