// Matching and replacing with POSIX extended regular expressions.
#pragma once

// 1 when the extended expression pattern matches anywhere in text, else 0;
// a pattern that does not compile is logged at err and gives 0.
int regmatch_imp(const char* pattern, const char* text, int icase);
// regmatch_imp with the text first: case-sensitive and ignoring case.
int regmatch(const char* text, const char* pattern);
int regmatch_icase(const char* text, const char* pattern);

// A new text (pl_free) with every match of the extended expression pattern
// in text replaced by replacement (taken literally), scanning left to right
// as sed's "s/pattern/replacement/g" does: matches do not overlap, an empty
// match counts once per position but not right after another match, and "^"
// only matches at the start of the text. Nothing when no match was replaced
// or the pattern does not compile or the search fails (both logged at err).
// A literal pattern (no special characters) equal to the replacement gives
// a copy of the text.
char* cns_reg(const char* text, const char* pattern, const char* replacement);
