#include "libpal/string/ptr_list.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "libpal/memory/pl_mem.h"

namespace {

const char* rec_text(const void* rec) {
    const char* t;
    memcpy(&t, rec, sizeof t);
    return t;
}

// Three-way compare of two items by mode.
int item_cmp(const void* a, const void* b, uint32_t mode) {
    if (mode & (PTR_CMP_TEXT | PTR_CMP_TEXT2)) return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    if (mode & PTR_CMP_U64) {
        auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
        return x < y ? -1 : x > y;
    }
    return strcmp(rec_text(a), rec_text(b));
}

bool grow(ptr_list* l) {
    if (l->count < l->cap) return true;
    size_t cap = l->cap ? l->cap * 2 : 16;
    auto* items = static_cast<void**>(pl_realloc(l->items, (cap + 1) * sizeof(void*)));
    if (!items) return false;
    std::fill(items + l->count, items + cap + 1, nullptr);
    l->items = items;
    l->cap = cap;
    return true;
}

ptrdiff_t bsearch_by(size_t count, const char* key, auto text_at) {
    size_t lo = 0, hi = count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = strcmp(key, text_at(mid));
        if (c == 0) return static_cast<ptrdiff_t>(mid);
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return -1;
}

template <typename T>
void sort_items(T* items, size_t count, uint32_t mode) {
    if (!items || count == 0) return;
    std::sort(items, items + count, [mode](const void* a, const void* b) { return item_cmp(a, b, mode) < 0; });
}

// A run of one item is kept too.
template <typename T>
size_t uniq_items(T* items, size_t count, uint32_t mode) {
    if (!items || count < 2) return items ? count : 0;
    size_t kept = 1;
    for (size_t i = 1; i < count; ++i)
        if (item_cmp(items[kept - 1], items[i], mode) != 0) std::swap(items[kept++], items[i]);
    return kept;
}

}  // namespace

void ptr_array_sort(void** items, size_t count, uint32_t mode) { sort_items(items, count, mode); }
void ptr_array_sort(char** items, size_t count, uint32_t mode) { sort_items(items, count, mode); }
size_t ptr_array_uniq(void** items, size_t count, uint32_t mode) { return uniq_items(items, count, mode); }
size_t ptr_array_uniq(char** items, size_t count, uint32_t mode) { return uniq_items(items, count, mode); }

ptr_list* ptr_list_new(size_t capacity, uint32_t flags) {
    auto* l = static_cast<ptr_list*>(pl_zalloc(sizeof(ptr_list)));
    if (!l) return nullptr;
    l->items = static_cast<void**>(pl_calloc(capacity + 1, sizeof(void*)));
    if (!l->items) {
        pl_free(l);
        return nullptr;
    }
    l->cap = capacity;
    l->flags = (flags & PTR_CMP_MASK) ? flags : flags + PTR_CMP_U64;
    return l;
}

int ptr_list_push(ptr_list* list, const void* item) {
    if (!list) return -1;
    if (!grow(list)) return -1;
    void* p = const_cast<void*>(item);
    if (list->flags & PTR_LIST_OWN) {
        if (!item) return -1;
        p = pl_strdup(static_cast<const char*>(item));
        if (!p) return -1;
    }
    list->items[list->count++] = p;
    list->items[list->count] = nullptr;
    return 0;
}

void ptr_list_truncate(ptr_list* list, size_t n) {
    if (!list || n >= list->count) return;
    for (size_t i = n; i < list->count; ++i) {
        if (list->flags & PTR_LIST_OWN) pl_free(list->items[i]);
        list->items[i] = nullptr;
    }
    list->count = n;
}

void ptr_list_free(ptr_list* list) {
    if (!list) return;
    ptr_list_truncate(list, 0);
    pl_free(list->items);
    pl_free(list);
}

void ptr_list_sort(ptr_list* list) {
    if (list) ptr_array_sort(list->items, list->count, list->flags & PTR_CMP_MASK);
}

size_t ptr_list_sort_uniq(ptr_list* list) {
    if (!list) return 0;
    ptr_list_sort(list);
    ptr_list_truncate(list, ptr_array_uniq(list->items, list->count, list->flags & PTR_CMP_MASK));
    return list->count;
}

void str_array_sort(const char** items, size_t count) { sort_items(items, count, PTR_CMP_TEXT); }

void str_array_sort_rec(void** items, size_t count) { sort_items(items, count, PTR_CMP_REC); }

void u64_array_sort(uint64_t* items, size_t count) {
    if (items) std::sort(items, items + count);
}

ptrdiff_t str_array_bsearch(const char* const* items, size_t count, const char* key) {
    if (!items || !key) return -1;
    return bsearch_by(count, key, [items](size_t i) { return items[i]; });
}

ptrdiff_t str_array_bsearch_rec(void* const* items, size_t count, const char* key) {
    if (!items || !key) return -1;
    return bsearch_by(count, key, [items](size_t i) { return rec_text(items[i]); });
}
