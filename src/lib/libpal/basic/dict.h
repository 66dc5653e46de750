// String-keyed hash dictionary with open addressing.
//
// Each slot keeps its key's hash beside it; probes compare pointers first,
// then hashes, then texts. Deleted slots become tombstones that new keys
// reuse. The table grows (or is rebuilt at the same size, dropping the
// tombstones) whenever two thirds of its slots are taken, so a probe always
// ends at an empty slot. The dictionary does not lock: its owner does.
#pragma once

#include <cstdint>
#include <cstdio>

// Flags of dict_new.
enum : uint32_t {
    DICT_KEY_COPY = 0x1,    // the dictionary keeps its own copies of keys
    DICT_VAL_COPY = 0x100,  // it keeps its own copies of values (texts)
    DICT_VAL_FREE = 0x200,  // it frees (pl_free) values it no longer holds
};

struct dict_slot {
    const char* key;  // nothing: empty; DICT_TOMBSTONE: deleted
    void* value;
    uint32_t hash;
};

struct dict_ctx {
    uint32_t flags;
    uint32_t used;   // slots taken since the last rebuild (tombstones included)
    uint32_t count;  // live keys
    uint32_t size;   // number of slots, a power of two
    dict_slot* slots;
};

inline constexpr uint32_t DICT_INITIAL_SIZE = 8;

// A new dictionary of DICT_INITIAL_SIZE empty slots, or nothing.
dict_ctx* dict_new(uint32_t flags);
// 0, or -1 for a missing dictionary or key or a failed copy. An existing
// key gets its value replaced (the old value released by the flags, unless
// it is the very same pointer).
int dict_set(dict_ctx* d, const char* key, const void* value);
// The key's value, or `def` when it is absent or an argument is missing.
void* dict_get(const dict_ctx* d, const char* key, void* def);
// 0 when the key was deleted, -1 when it was absent or an argument missing.
int dict_unset(dict_ctx* d, const char* key);
uint32_t dict_count(const dict_ctx* d);
// Walks the live slots: from slot `pos` (0 to start) the first live slot at
// or after it is stored in *key and *value and its position + 1 returned;
// past the last slot both become nothing and -1 is returned.
int64_t dict_next(const dict_ctx* d, int64_t pos, const char** key, void** value);
void dict_free(dict_ctx* d);
// Rebuilds the slots at the size the live keys need (at least the current
// size is kept only when it is still right), dropping tombstones. 0 or -1.
int dict_resize(dict_ctx* d);

// One line "[rank=%d] %20s: %s\n" per live key (values printed as texts).
void dict_dump(const dict_ctx* d, FILE* out);

// Copies of the keys in slot order; freed with dict_keys_free.
struct dict_key_node {
    char* key;
    dict_key_node* next;
};
// 0, or -1 when an allocation failed (nothing is returned then).
int dict_keys(const dict_ctx* d, dict_key_node** out);
void dict_keys_free(dict_key_node* list);

// MurmurHash2 with the seed 0xbadcafe; an empty or missing text hashes to 0.
uint32_t dict_hash(const char* text, uint32_t length);
