// Text maps from keys to values. Each entry is one block from the counting
// allocator holding the key and the value, as texts or as pointers by flags.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    STR_MAP_COPY_KEY = 0x1,    // the key text is copied into the entry
    STR_MAP_SORTED = 0x80,     // kept sorted by key, searched by halving
    STR_MAP_COPY_VAL = 0x100,  // the value text is copied into the entry
    STR_MAP_FREE_VAL = 0x200,  // values not copied are freed with pl_free when cleared or replaced
};

struct str_map {
    char** entries;  // entry blocks
    size_t count;
    size_t cap;      // slots; a capacity preset before str_map_init is allocated there
    uint32_t flags;  // STR_MAP_*; 8 is added when the low four bits are 0
};

// Empties the record (keeping a preset cap, whose slots are allocated) and
// stores the flags. Returns 0 or -1.
int str_map_init(str_map* map, uint32_t flags);
// A new initialised map, or nothing; freed with str_map_free.
str_map* str_map_new(uint32_t flags);
// Frees every entry; count 0.
void str_map_clear(str_map* map);
// str_map_clear, then the slot array; cap 0.
void str_map_exit(str_map* map);
// str_map_exit, then the record made by str_map_new.
void str_map_free(str_map* map);

// Adds an entry; a key already present is refused. Returns 0 or -1.
int str_map_add(str_map* map, const char* key, const char* val);
// Replaces the value of a present key, or adds the key. Returns 0 or -1.
int str_map_set(str_map* map, const char* key, const char* val);
// Index of the key (byte comparison), or -1.
ptrdiff_t str_map_find_index(const str_map* map, const char* key);
// Value of the key, or nothing.
const char* str_map_find(const str_map* map, const char* key);
// Key and value of entry i, or nothing for i at or beyond count.
const char* str_map_key(const str_map* map, size_t i);
const char* str_map_value(const str_map* map, size_t i);
// Sorts the entries by key and keeps them sorted from now on.
void str_map_sort(str_map* map);
