// The command's operands: the key table, the comma-list words, the usage text.
#pragma once

#include <cstdint>

#include "libdd/dd_opts.h"

// Word lists: runs of terminated words ended by an empty word.
extern const char k_dd_keys[];
extern const char k_conv_words[];
extern const char k_iflag_words[];
extern const char k_oflag_words[];
extern const char k_status_words[];

// Bit mask of the words of a comma list; a word not in the list is a crit
// message, which ends the process with status 1.
uint32_t parse_comma_flags(char* text, const char* words, const char* key);

// Prints the usage text on standard error and ends the process with status 1.
[[noreturn]] void usage();

// Parses every operand (argv[1] on) into the settings; ends the process
// with status 1 on a bad operand.
void kxdd_parse_operands(dd_opts* o, int argc, char** argv);
