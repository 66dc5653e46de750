// Small text operations on zero-terminated texts.
#pragma once

#include <cstddef>

// Strips white space from both ends, in place; returns the text.
char* str_trim(char* text);
// The head of a text for log lines: at most size-1 characters, line breaks removed.
char* str_get_head(const char* text, char* buf, size_t size);
// Index of word in a list of terminated words ended by an empty word; -1 when absent.
int str_list_index(const char* list, const char* word);
