// The ini text: parsing a file into a dictionary and writing one back.
//
// Lines may be of any length; a line ending in a backslash continues on the
// next one. "#" or ";" starts a comment line; "[name]" starts a section;
// other lines are key = value, where the value is either quoted (double or
// single quotes) or runs to the first ";" or "#". Any syntax error fails the
// whole load. Values that would not read back as written (holding ";" or
// "#", with blanks at either end, starting with a quote or ending with a
// backslash) are written between double quotes.
#pragma once

#include <cstdint>
#include <cstdio>

struct dictionary;
struct text_buf;

// The parser's error printer (printf-style); by default standard error.
// Nothing restores the default.
using ini_error_fn = int (*)(const char* fmt, ...);
void ini_set_error_hook(ini_error_fn fn);

// Parses the file at path: the dictionary, or nothing (the reason printed or
// logged under "conf").
dictionary* iniparser_load(const char* path);
// The same for a stream opened for reading; path names it in messages.
dictionary* iniparser_load_file(FILE* in, const char* path);

// Appends the file text (without the byte-order mark): keys before any
// section, then each section with its keys, then the tail comment.
void ini_write_text(const dictionary* d, text_buf* out);
// 1 when a value must be quoted to read back as written.
int ini_value_needs_quotes(const char* value);

// Readers of one value (section, key); def when absent.
long ini_get_long(const dictionary* d, const char* section, const char* key, long def);
int32_t ini_get_i32(const dictionary* d, const char* section, const char* key, int32_t def);
double ini_get_double(const dictionary* d, const char* section, const char* key, double def);
// 1 for a value starting with 1, y, Y, t or T; 0 for 0, n, N, f or F; else def.
int ini_get_bool(const dictionary* d, const char* section, const char* key, int def);
// "[%s]=[%s]\n" per entry ("[%s]=UNDEF\n" for a section entry).
void ini_print_entries(const dictionary* d, FILE* out);
// The current error printer.
ini_error_fn ini_get_error_hook();
