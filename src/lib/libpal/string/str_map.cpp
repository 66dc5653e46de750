#include "libpal/string/str_map.h"

#include <algorithm>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

namespace {

bool copies_key(const str_map* m) { return (m->flags & STR_MAP_COPY_KEY) != 0; }
bool copies_val(const str_map* m) { return (m->flags & STR_MAP_COPY_VAL) != 0; }

// Pointers inside an entry block may sit at any byte offset.
const char* load_ptr(const char* at) {
    const char* p;
    memcpy(&p, at, sizeof p);
    return p;
}
void store_ptr(char* at, const char* p) { memcpy(at, &p, sizeof p); }

const char* entry_key(const str_map* m, const char* e) { return copies_key(m) ? e : load_ptr(e); }

// Offset of the value part inside an entry block.
size_t val_offset(const str_map* m, const char* e) { return copies_key(m) ? strlen(e) + 1 : sizeof(char*); }

const char* entry_val(const str_map* m, const char* e) {
    const char* at = e + val_offset(m, e);
    return copies_val(m) ? at : load_ptr(at);
}

// A new entry block for key and val, laid out by the map's flags.
char* entry_new(const str_map* m, const char* key, const char* val) {
    if (copies_val(m) && !val) val = "";
    size_t klen = copies_key(m) ? strlen(key) + 1 : sizeof(char*);
    size_t vlen = copies_val(m) ? strlen(val) + 1 : sizeof(char*);
    auto* e = static_cast<char*>(pl_malloc(klen + vlen));
    if (!e) return nullptr;
    if (copies_key(m))
        memcpy(e, key, klen);
    else
        store_ptr(e, key);
    if (copies_val(m))
        memcpy(e + klen, val, vlen);
    else
        store_ptr(e + klen, val);
    return e;
}

void entry_free(const str_map* m, char* e) {
    if (!e) return;
    if (!copies_val(m) && (m->flags & STR_MAP_FREE_VAL)) pl_free(const_cast<char*>(entry_val(m, e)));
    pl_free(e);
}

bool grow(str_map* m) {
    if (m->count < m->cap && m->entries) return true;
    size_t cap = m->cap ? m->cap * 2 : 16;
    auto* slots = static_cast<char**>(pl_realloc(m->entries, cap * sizeof(char*)));
    if (!slots) return false;
    std::fill(slots + m->count, slots + cap, nullptr);
    m->entries = slots;
    m->cap = cap;
    return true;
}

// First index whose key is not below key (sorted maps).
size_t lower_bound(const str_map* m, const char* key) {
    size_t lo = 0, hi = m->count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (strcmp(entry_key(m, m->entries[mid]), key) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace

int str_map_init(str_map* map, uint32_t flags) {
    if (!map) return -1;
    size_t cap = map->cap;
    *map = str_map{};
    map->flags = (flags & 0xf) ? flags : flags + 8;
    if (cap) {
        map->entries = static_cast<char**>(pl_calloc(cap, sizeof(char*)));
        if (!map->entries) return -1;
        map->cap = cap;
    }
    return 0;
}

str_map* str_map_new(uint32_t flags) {
    auto* m = static_cast<str_map*>(pl_zalloc(sizeof(str_map)));
    if (m) str_map_init(m, flags);
    return m;
}

void str_map_clear(str_map* map) {
    if (!map) return;
    for (size_t i = 0; i < map->count; ++i) {
        entry_free(map, map->entries[i]);
        map->entries[i] = nullptr;
    }
    map->count = 0;
}

void str_map_exit(str_map* map) {
    if (!map) return;
    str_map_clear(map);
    pl_free(map->entries);
    map->entries = nullptr;
    map->cap = 0;
}

void str_map_free(str_map* map) {
    if (!map) return;
    str_map_exit(map);
    pl_free(map);
}

ptrdiff_t str_map_find_index(const str_map* map, const char* key) {
    if (!map || !key) return -1;
    if (map->flags & STR_MAP_SORTED) {
        size_t i = lower_bound(map, key);
        return i < map->count && strcmp(entry_key(map, map->entries[i]), key) == 0 ? static_cast<ptrdiff_t>(i) : -1;
    }
    for (size_t i = 0; i < map->count; ++i)
        if (strcmp(entry_key(map, map->entries[i]), key) == 0) return static_cast<ptrdiff_t>(i);
    return -1;
}

int str_map_add(str_map* map, const char* key, const char* val) {
    if (!map || !key) return -1;
    if (str_map_find_index(map, key) >= 0) return -1;
    if (!grow(map)) return -1;
    char* p = entry_new(map, key, val);
    if (!PL_CHECK("pal", p)) return -1;
    size_t at = (map->flags & STR_MAP_SORTED) ? lower_bound(map, key) : map->count;
    std::move_backward(map->entries + at, map->entries + map->count, map->entries + map->count + 1);
    map->entries[at] = p;
    ++map->count;
    return 0;
}

int str_map_set(str_map* map, const char* key, const char* val) {
    ptrdiff_t i = str_map_find_index(map, key);
    if (i < 0) return str_map_add(map, key, val);
    char*& e = map->entries[i];
    char* at = e + val_offset(map, e);
    if (!copies_val(map)) {
        const char* old = load_ptr(at);
        store_ptr(at, val);
        if ((map->flags & STR_MAP_FREE_VAL) && old != val) pl_free(const_cast<char*>(old));
        return 0;
    }
    if (!val) val = "";
    size_t len = strlen(val);
    if (len <= strlen(at)) {
        memmove(at, val, len + 1);
        return 0;
    }
    char* nval = entry_new(map, entry_key(map, e), val);
    if (!PL_CHECK("pal", nval)) return -1;
    pl_free(e);
    e = nval;
    return 0;
}

const char* str_map_find(const str_map* map, const char* key) {
    ptrdiff_t i = str_map_find_index(map, key);
    return i < 0 ? nullptr : entry_val(map, map->entries[i]);
}

const char* str_map_key(const str_map* map, size_t i) {
    return map && i < map->count ? entry_key(map, map->entries[i]) : nullptr;
}

const char* str_map_value(const str_map* map, size_t i) {
    return map && i < map->count ? entry_val(map, map->entries[i]) : nullptr;
}

void str_map_sort(str_map* map) {
    if (!map) return;
    map->flags |= STR_MAP_SORTED;
    std::sort(map->entries, map->entries + map->count,
              [map](const char* a, const char* b) { return strcmp(entry_key(map, a), entry_key(map, b)) < 0; });
}
