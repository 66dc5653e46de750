// Expansion of "$NAME", "${NAME}" and "%NAME%" references in texts.
#pragma once

#include <cstddef>

// Lookup of a reference: receives the name (a terminated text), the caller's
// argument and the name's length; returns a new text (pl_malloc, freed by the
// expander after copying it) or nothing when the name has no value.
using str_lookup_fn = char* (*)(const char* name, void* arg, size_t len);

// A new copy (pl_free) of the environment variable's value, or nothing.
char* env_dup(const char* name);

// "$" references: a plain name runs to the end of the text or to the next
// "$", "-", "/", ":", "=" or "\" (blanks do not end it); the character that
// ended it is copied after the value, except a "$", which starts the next
// name. A "{" in a name starts the braced form: the name is then what follows
// the "{" up to "}", which is dropped. A name without a value inserts
// nothing; an unclosed braced name is copied without its "$" and "{". The
// result is a new text (pl_free), empty when nothing was produced; nothing
// only for an absent text or a failed allocation.
char* str_expand_vars(const char* text, str_lookup_fn lookup, void* arg);
// str_expand_vars with the environment as lookup.
char* str_expand_env_vars(const char* text);

// "%" references: a name between two "%" is replaced by its value; a name
// without a value stays as written, with both "%"; "%%" gives nothing; an
// unclosed "%" is copied with the rest of the text. A new text (pl_free).
char* str_expand_pct(const char* text, str_lookup_fn lookup, void* arg);
// str_expand_pct with the environment as lookup.
char* str_expand_pct_env_dup(const char* text);
// The same, copied strictly into out: 0, or the failure of str_safecopy
// (an empty out) when it does not fit.
int str_expand_pct_env(const char* text, char* out, size_t out_size);
