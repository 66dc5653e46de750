// Byte-pattern search in memory blocks.
#pragma once

#include <cstddef>

// First occurrence of the pattern in the block, or nothing (also for an empty
// pattern or one longer than the block). No byte past the block is read.
const void* mem_find(const void* block, size_t len, const void* pattern, size_t pattern_len);
// Start of the first window where every pattern byte matches or its mask
// character is "?". The mask, when present, has pattern_len characters
// ("_" or "?"; it need not be terminated). Nothing for an empty pattern.
const void* mem_find_mask(const void* block, size_t len, const void* pattern, size_t pattern_len, const char* mask);
// Search for a hexadecimal pattern text: one holding "?" is decoded as a
// byte pattern with wildcards (str_hex_mask_decode), any other as plain
// digits (str_hex_decode_dup). A pattern that does not decode, or decodes to
// nothing, gives nothing.
const void* mem_find_hex(const void* block, size_t len, const char* pattern);
// mem_find with the bytes of the text (without its terminator).
const void* mem_find_str(const void* block, size_t len, const char* text);
