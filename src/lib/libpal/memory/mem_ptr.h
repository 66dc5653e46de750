// Pointer array: a growable array of pointers over the typed array vec_ptr,
// with a flag that refuses duplicates. It owns its slots only, never the
// objects pointed to, and does not lock.
#pragma once

#include <cstdint>

#include "libpal/basic/pl_vec.h"

// Flag: a pointer already present is not added again.
inline constexpr uint32_t MEM_PTR_UNIQUE = 64;

struct mem_ptr_ctx : vec_ptr {
    uint32_t flags;
};

// Count 0 and 16 zeroed slots; the flags are kept. 0 or -1.
int mem_ptr_init(mem_ptr_ctx* a);
// Frees the slots; count 0. 0.
int mem_ptr_exit(mem_ptr_ctx* a);
void mem_ptr_reset(mem_ptr_ctx* a);
// Appends the pointer (with MEM_PTR_UNIQUE, one already present is skipped):
// 0 or -1.
int mem_ptr_add(mem_ptr_ctx* a, const void* p);
// Removes the first slot holding the pointer (later slots move down): its
// index, or -1.
int64_t mem_ptr_del(mem_ptr_ctx* a, const void* p);
// -1 when there is no slot index, else 0.
int mem_ptr_erase(mem_ptr_ctx* a, uint64_t index);
// Erases the first n slots (all when there are fewer).
void mem_ptr_drop_head(mem_ptr_ctx* a, uint64_t n);
int mem_ptr_clear(mem_ptr_ctx* a);
// Index of the first slot holding the pointer, or all ones.
uint64_t mem_ptr_find(const mem_ptr_ctx* a, const void* p);
// Grows to n slots: 0, or -1 when it already has n or more (or memory runs
// out).
int mem_ptr_reserve(mem_ptr_ctx* a, uint64_t n);

inline uint64_t mem_ptr_count(const mem_ptr_ctx* a) { return a ? a->count : 0; }
// The pointer in slot i (nothing past the count).
inline void* mem_ptr_at(const mem_ptr_ctx* a, uint64_t i) {
    return a && i < a->count ? reinterpret_cast<void*>(a->items[i]) : nullptr;
}
