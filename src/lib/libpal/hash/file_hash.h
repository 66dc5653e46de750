// Hash jobs: the set of digest algorithms a job computes.
#pragma once

#include <cstdint>

// hash_flag: a 12-bit set of algorithms.
enum : uint32_t {
    HASH_MD5 = 0x1,
    HASH_SHA1 = 0x2,
    HASH_PMD5 = 0x4,
    HASH_PSHA1 = 0x8,
    HASH_SHA256 = 0x10,
    HASH_PSHA256 = 0x20,
    HASH_SHA512 = 0x40,
    HASH_PSHA512 = 0x80,
    HASH_SM3 = 0x100,
    HASH_PSM3 = 0x200,
    HASH_XXH3 = 0x400,
    HASH_PXXH3 = 0x800,
    HASH_ALL = 0xFFF,
};

// A comma-separated list of algorithm words -> hash_flag; words outside the
// table are ignored; -1 when the list holds no known word.
int32_t file_hash_flag_parse(const char* text);
// The words of the set bits joined by "|", in the fixed algorithm order.
const char* file_hash_flag_str(uint32_t flag);
