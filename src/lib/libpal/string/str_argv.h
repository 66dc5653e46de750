// Command lines and argument vectors.
#pragma once

#include <cstddef>

// Splits a command line into arguments:
// - leading blanks and tabs are skipped; the first argument (the program)
//   runs to the next blank or tab outside double quotes; a double quote only
//   toggles quoting and backslashes are plain characters there;
// - every further argument starts after a run of blanks and tabs and runs to
//   the next blank or tab outside double quotes, or to the end;
// - in those, n backslashes before a double quote give n/2 backslashes, and
//   the quote is a character when n is odd, else it toggles quoting; inside
//   quotes two double quotes in a row give one double quote character (and
//   quoting goes on); other backslashes are plain characters;
// - an unclosed quote runs to the end of the line.
// Call it first without argv and buf: *argc gets the number of arguments
// plus one (the NULL slot) and *nchars the characters of all arguments with
// their terminators. Then call it with argv of *argc pointers and buf of
// *nchars bytes (the two counts, passed back in, are their sizes): argv gets
// the arguments, pointing into buf, and a NULL. A line of blanks gives no
// argument. Returns 0, or -1 for an absent line or argument sizes too small.
int argv_split(const char* line, char** argv, char* buf, size_t* argc, size_t* nchars);

// Joins arguments into out: each is appended with one blank after it, in
// double quotes when it holds a blank (quotes inside are not escaped). Each
// argument is taken through a 4096-byte text (strict copy: a longer one is
// logged and left empty); the result is cut to size. Returns 0, or -1 for an
// absent out.
int argv_join(size_t count, const char* const* args, char* out, size_t size);
