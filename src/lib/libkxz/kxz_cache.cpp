// The in-memory offset cache of a reader.
#include <algorithm>

#include "libkxz/kxz_format.h"
#include "libkxz/kxz_index.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

// No trailer can hold more entries than this; a larger count comes from a
// header no writer produced, and such an image is read without an index.
constexpr uint64_t k_max_entries = KXZ_TRAILER_MAX / 8 + 1;
// Entries held from the start; the arrays double from there as needed.
constexpr uint64_t k_first_cap = 16;

// Grows the arrays to hold at least n (<= count) entries: true, or false
// when memory runs out (the cache stays as it was).
bool off_cache_reserve(off_cache* c, uint64_t n) {
    if (n <= c->cap) return true;
    if (n > c->count) return false;
    uint64_t cap = std::min<uint64_t>(c->count, std::max<uint64_t>(n, uint64_t{c->cap} * 2));
    auto* e = static_cast<off_cache_entry*>(pl_realloc(c->entries, static_cast<size_t>(cap) * sizeof(off_cache_entry)));
    if (!e) return false;
    c->entries = e;
    auto* k = static_cast<uint8_t*>(pl_realloc(c->checked, static_cast<size_t>(cap)));
    if (!k) return false;
    c->checked = k;
    for (uint64_t i = c->cap; i < cap; ++i) {
        c->entries[i] = {i * c->step, 0};
        c->checked[i] = 0;
    }
    c->cap = static_cast<uint32_t>(cap);
    return true;
}

}  // namespace

int off_cache_init(off_cache* c, uint64_t file_len, uint32_t off_blksize, uint32_t block_len) {
    *c = off_cache{};
    c->step = kxz_step(off_blksize, block_len);
    if (c->step == 0) return 0;  // blocks longer than the stride: no index
    uint64_t count = file_len / c->step + 1;
    if (count > k_max_entries) {
        LOG2(LOG2_DBG, "kxz", "file_len=%llu step=%llu: no offset index\n", static_cast<unsigned long long>(file_len),
             static_cast<unsigned long long>(c->step));
        return 0;
    }
    c->count = static_cast<uint32_t>(count);
    if (!off_cache_reserve(c, std::min<uint64_t>(count, k_first_cap))) {
        off_cache_free(c);
        return -1;
    }
    c->checked[0] = 1;
    c->filled = 1;
    return 0;
}

void off_cache_free(off_cache* c) {
    pl_free(c->entries);
    pl_free(c->checked);
    *c = off_cache{};
}

void off_cache_add(off_cache* c, uint64_t boff, uint64_t foff) {
    if (c->count == 0 || boff == 0 || c->filled >= c->count) return;
    if (boff != uint64_t{c->filled} * c->step || !off_cache_reserve(c, uint64_t{c->filled} + 1)) return;
    off_cache_entry& e = c->entries[c->filled];
    if (e.boff != boff) return;
    e.foff = foff;
    c->checked[c->filled] = 1;
    c->filled++;
}

void off_cache_drop(off_cache* c) {
    for (uint32_t i = 1; i < c->cap; ++i) {
        c->entries[i].foff = 0;
        c->checked[i] = 0;
    }
    if (c->count) c->filled = 1;
}

off_cache_entry off_cache_find(const off_cache* c, uint64_t off) {
    if (c->count == 0 || off == 0 || c->step == 0 || off / c->step == 0) return {0, 0};
    // Entries at or above cap are not known.
    uint64_t i = std::min<uint64_t>(c->filled, off / c->step);
    if (i >= c->cap) i = c->cap - 1;
    for (;; --i) {
        if (c->entries[i].foff != 0) return c->entries[i];
        if (i == 0) break;
    }
    return {0, 0};
}

int off_cache_set_buf(off_cache* c, int mode, uint32_t endian, void* buf, uint32_t len) {
    if (c->count == 0) return 0;
    uint32_t n = len / 8;
    if (n >= c->count) {
        LOG2(LOG2_DBG, "kxz", "last_idx=%d max_idx=%d\n", static_cast<int>(n), static_cast<int>(c->count));
        return -2;
    }
    if (!off_cache_reserve(c, uint64_t{n} + 1)) return -1;
    int s = kxz_swap(endian);
    auto* b = static_cast<uint8_t*>(buf);
    for (uint32_t i = 0; i < n; ++i) {
        off_cache_entry& e = c->entries[i + 1];
        switch (mode) {
        case OFF_CACHE_LOAD:
            e.foff = mem_get_u64(s, b, 8 * i);
            c->checked[i + 1] = 0;
            break;
        case OFF_CACHE_COMPARE: {
            uint64_t v = mem_get_u64(s, b, 8 * i);
            if (v != e.foff) {
                LOG2(LOG2_DBG, "kxz", "foff=%llx != eoff=%llx error\n", static_cast<unsigned long long>(e.foff),
                     static_cast<unsigned long long>(v));
                return -2;
            }
            break;
        }
        case OFF_CACHE_STORE:
            mem_set_u64(s, b, 8 * i, e.foff);
            break;
        default:
            return -2;
        }
    }
    c->filled = n + 1;
    return 0;
}

int off_entries_valid(const void* buf, uint64_t len, uint32_t endian, uint64_t end) {
    int s = kxz_swap(endian);
    auto* b = static_cast<const uint8_t*>(buf);
    uint64_t prev = KXZ_HEADER_SIZE;  // the record at offset 0
    for (uint64_t i = 0; i + 8 <= len; i += 8) {
        uint64_t v = mem_get_u64(s, b, static_cast<size_t>(i));
        if (v <= prev || v >= end) {
            LOG2(LOG2_DBG, "kxz", "entry %llu foff=%llu out of order or range error\n",
                 static_cast<unsigned long long>(i / 8), static_cast<unsigned long long>(v));
            return 0;
        }
        prev = v;
    }
    return 1;
}
