#include "libpal/basic/dict.h"

#include <cstring>

#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"

namespace {

// Sizes above this grow to twice the live keys instead of four times.
constexpr uint64_t k_large_size = 64000;
constexpr uint64_t k_max_size = uint64_t{1} << 31;

const char* tombstone() { return reinterpret_cast<const char*>(~uintptr_t{0}); }

bool is_live(const dict_slot* s) { return s->key && s->key != tombstone(); }

uint32_t key_hash(const char* key) { return dict_hash(key, static_cast<uint32_t>(strlen(key))); }

// The slot of `key`; for an absent key the first tombstone met, else the
// empty slot that ended the probe. The walk is bounded: once the perturbation
// is spent (7 steps) the index recurrence visits every slot within `size`
// steps, so a table without any empty slot still gives an answer (the first
// tombstone, or nothing).
dict_slot* lookup(const dict_ctx* d, const char* key, uint32_t hash) {
    uint64_t mask = d->size - 1;
    uint64_t i = hash & mask;
    uint64_t perturb = hash;
    dict_slot* first_tomb = nullptr;
    for (uint64_t step = 0; step < uint64_t{d->size} + 8; step++) {
        dict_slot* s = &d->slots[i];
        if (!s->key) return first_tomb ? first_tomb : s;
        if (s->key == tombstone()) {
            if (!first_tomb) first_tomb = s;
        } else if (s->key == key || (s->hash == hash && strcmp(s->key, key) == 0)) {
            return s;
        }
        i = (i * 5 + perturb + 1) & mask;
        perturb >>= 5;
    }
    return first_tomb;
}

// Releases what the dictionary owns of a slot's key and value.
void release_key(const dict_ctx* d, const char* key) {
    if (d->flags & DICT_KEY_COPY) pl_free(const_cast<char*>(key));
}

void release_value(const dict_ctx* d, void* value) {
    if (d->flags & (DICT_VAL_COPY | DICT_VAL_FREE)) pl_free(value);
}

// The value as the dictionary keeps it: a copy under DICT_VAL_COPY. False
// when the copy failed.
bool take_value(const dict_ctx* d, const void* value, void** out) {
    if ((d->flags & DICT_VAL_COPY) && value) {
        *out = pl_strdup(static_cast<const char*>(value));
        return *out != nullptr;
    }
    *out = const_cast<void*>(value);
    return true;
}

}  // namespace

uint32_t dict_hash(const char* text, uint32_t length) {
    if (!text || length == 0) return 0;
    constexpr uint32_t m = 0x5bd1e995;
    constexpr int r = 24;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    uint32_t h = 0xbadcafe ^ length;
    uint32_t n = length;
    while (n >= 4) {
        uint32_t k = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                     static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        p += 4;
        n -= 4;
    }
    switch (n) {
        case 3: h ^= static_cast<uint32_t>(p[2]) << 16; [[fallthrough]];
        case 2: h ^= static_cast<uint32_t>(p[1]) << 8; [[fallthrough]];
        case 1:
            h ^= p[0];
            h *= m;
            break;
        default: break;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

dict_ctx* dict_new(uint32_t flags) {
    auto* d = static_cast<dict_ctx*>(pl_calloc(1, sizeof(dict_ctx)));
    if (!d) return nullptr;
    d->slots = static_cast<dict_slot*>(pl_calloc(DICT_INITIAL_SIZE, sizeof(dict_slot)));
    if (!d->slots) {
        pl_free(d);
        return nullptr;
    }
    d->flags = flags;
    d->size = DICT_INITIAL_SIZE;
    return d;
}

// The new size is the current one doubled until it exceeds four times the
// live keys (twice, for large tables). At the same size the slots are still
// rebuilt when tombstones are present: otherwise endless insert and delete
// cycles would fill every slot with tombstones and leave no empty one.
int dict_resize(dict_ctx* d) {
    if (!d) return -1;
    uint64_t size = d->size;
    while (size <= (size > k_large_size ? 2 : 4) * uint64_t{d->count}) size *= 2;
    if (size > k_max_size) return -1;
    if (size == d->size && d->used == d->count) return 0;

    auto* slots = static_cast<dict_slot*>(pl_calloc(size, sizeof(dict_slot)));
    if (!slots) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "%s: malloc failed ", "dict_resize");
        return -1;
    }
    dict_slot* old = d->slots;
    uint32_t old_size = d->size;
    d->slots = slots;
    d->size = static_cast<uint32_t>(size);
    d->used = 0;
    d->count = 0;
    for (uint32_t i = 0; i < old_size; i++) {
        if (!is_live(&old[i])) continue;
        uint32_t hash = key_hash(old[i].key);
        dict_slot* s = lookup(d, old[i].key, hash);  // an empty slot: keys are unique
        *s = {old[i].key, old[i].value, hash};
        d->used++;
        d->count++;
    }
    pl_free(old);
    return 0;
}

int dict_set(dict_ctx* d, const char* key, const void* value) {
    if (!d || !key) return -1;
    uint32_t hash = key_hash(key);
    dict_slot* s = lookup(d, key, hash);
    if (!s) return -1;  // no free slot (only after failed growth)

    if (is_live(s)) {
        void* kept;
        if (!take_value(d, value, &kept)) return -1;
        void* old = s->value;
        s->value = kept;
        if (old != kept) release_value(d, old);
        return 0;
    }

    const char* k = key;
    if (d->flags & DICT_KEY_COPY) {
        k = pl_strdup(key);
        if (!k) return -1;
    }
    void* v;
    if (!take_value(d, value, &v)) {
        release_key(d, k);
        return -1;
    }
    bool was_empty = s->key == nullptr;  // a reused tombstone is already counted in `used`
    *s = {k, v, hash};
    d->count++;
    if (was_empty) d->used++;
    // A failed growth keeps the old slots; the key is stored all the same,
    // so the caller is told it succeeded.
    if (uint64_t{d->used} * 3 >= uint64_t{d->size} * 2) (void)dict_resize(d);
    return 0;
}

void* dict_get(const dict_ctx* d, const char* key, void* def) {
    if (!d || !key) return def;
    const dict_slot* s = lookup(d, key, key_hash(key));
    return s && is_live(s) ? s->value : def;
}

int dict_unset(dict_ctx* d, const char* key) {
    if (!d || !key) return -1;
    dict_slot* s = lookup(d, key, key_hash(key));
    if (!s || !is_live(s)) return -1;
    release_key(d, s->key);
    release_value(d, s->value);
    s->key = tombstone();
    s->value = nullptr;
    d->count--;
    return 0;
}

uint32_t dict_count(const dict_ctx* d) { return d ? d->count : 0; }

int64_t dict_next(const dict_ctx* d, int64_t pos, const char** key, void** value) {
    if (d && pos >= 0) {
        for (auto i = static_cast<uint64_t>(pos); i < d->size; i++) {
            if (!is_live(&d->slots[i])) continue;
            if (key) *key = d->slots[i].key;
            if (value) *value = d->slots[i].value;
            return static_cast<int64_t>(i + 1);
        }
    }
    if (key) *key = nullptr;
    if (value) *value = nullptr;
    return -1;
}

void dict_free(dict_ctx* d) {
    if (!d) return;
    for (uint32_t i = 0; i < d->size; i++) {
        if (!is_live(&d->slots[i])) continue;
        release_key(d, d->slots[i].key);
        release_value(d, d->slots[i].value);
    }
    pl_free(d->slots);
    pl_free(d);
}

void dict_dump(const dict_ctx* d, FILE* out) {
    if (!d || !out) return;
    const char* key;
    void* value;
    for (int64_t pos = dict_next(d, 0, &key, &value); pos >= 0; pos = dict_next(d, pos, &key, &value))
        fprintf(out, "[rank=%d] %20s: %s\n", static_cast<int>(pos), key,
                value ? static_cast<const char*>(value) : "UNDEF");
}

int dict_keys(const dict_ctx* d, dict_key_node** out) {
    if (!out) return -1;
    *out = nullptr;
    if (!d) return -1;
    dict_key_node* head = nullptr;
    dict_key_node** tail = &head;
    for (uint32_t i = 0; i < d->size; i++) {
        if (!is_live(&d->slots[i])) continue;
        auto* n = static_cast<dict_key_node*>(pl_zalloc(sizeof(dict_key_node)));
        char* k = n ? pl_strdup(d->slots[i].key) : nullptr;
        if (!k) {
            pl_free(n);
            dict_keys_free(head);
            return -1;
        }
        n->key = k;
        *tail = n;
        tail = &n->next;
    }
    *out = head;
    return 0;
}

void dict_keys_free(dict_key_node* list) {
    while (list) {
        dict_key_node* next = list->next;
        pl_free(list->key);
        pl_free(list);
        list = next;
    }
}
