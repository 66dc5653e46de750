// Typed growable arrays: vec_i8, vec_i32, vec_u64 and vec_ptr differ only
// in their element type.
//
// The element block always holds capacity + 1 elements, and every element
// past `count` is zero. Growth doubles the capacity through pl_realloc; a
// failed growth leaves the array as it was and gives -1. Indexes are
// returned as int64_t, -1 meaning "absent"; VEC_LAST (all ones) names the
// last element where the operation allows it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libpal/basic/pl_cmp.h"
#include "libpal/basic/pl_sort.h"
#include "libpal/memory/pl_mem.h"

template <class T, int32_t Code>
struct pl_vec {
    using value_type = T;
    static constexpr int32_t type_code = Code;  // compare procedures by pointer

    T* items;
    uint64_t count;
    uint64_t capacity;
};

using vec_i8 = pl_vec<int8_t, PL_VAL_PI8>;
using vec_i32 = pl_vec<int32_t, PL_VAL_PI32>;
using vec_u64 = pl_vec<uint64_t, PL_VAL_PU64>;
using vec_ptr = pl_vec<uintptr_t, PL_VAL_PUPTR>;

inline constexpr uint64_t VEC_LAST = ~uint64_t{0};
inline constexpr uint64_t VEC_DEFAULT_CAPACITY = 8;

// The operations, for any of the families above.

// A new array (record and block from the counting allocator); capacity 0
// means 8. Nothing when an allocation fails.
template <class V>
V* vec_new(uint64_t capacity);
// The same for a record the caller owns (for arrays embedded in a larger
// record): 0 or -1. vec_exit frees the block only and leaves an empty record.
template <class V>
int vec_init(V* v, uint64_t capacity);
template <class V>
void vec_exit(V* v);
template <class V>
void vec_free(V* v);

template <class V>
int vec_push(V* v, typename V::value_type value);
// index <= count; the tail moves up.
template <class V>
int vec_insert(V* v, uint64_t index, typename V::value_type value);
// An empty array gives 0; VEC_LAST is the last element; an index past the
// elements gives -1.
template <class V>
int vec_erase(V* v, uint64_t index);
// An empty array gives 0; an index past the last element gives -1; the
// number (VEC_LAST: to the end) is cut to the elements that exist.
template <class V>
int vec_erase_range(V* v, uint64_t index, uint64_t number);
// Erases the first element equal to value; its index, or -1.
template <class V>
int64_t vec_remove(V* v, typename V::value_type value);
template <class V>
int64_t vec_find(const V* v, typename V::value_type value);
template <class V>
uint64_t vec_count(const V* v, typename V::value_type value);
// Zeroes the elements; count 0.
template <class V>
void vec_clear(V* v);

template <class V>
void vec_sort(V* v, int descending);
// pl_check_order of the elements (PL_ORDER_*).
template <class V>
int vec_check_order(const V* v);
template <class V>
void vec_reverse(V* v);
// Removes neighbouring duplicates, keeping the first of each run.
template <class V>
void vec_uniq(V* v);
// Index of an element equal to value in an ascending array, or -1.
template <class V>
int64_t vec_bsearch(const V* v, typename V::value_type value);

// Sorts the elements of a vec_u64 with the given compare.
void pl_sort_u64_array(vec_u64* v, pl_cmp_fn compare);

// ------------------------------------------------------------ definitions

namespace pl_vec_detail {

template <class T>
void zero(T* from, uint64_t n) {
    if (n) memset(static_cast<void*>(from), 0, n * sizeof(T));
}

// Bytes of an element block of n elements, or 0 when that does not fit.
template <class T>
size_t block_bytes(uint64_t n) {
    return n > SIZE_MAX / sizeof(T) ? 0 : static_cast<size_t>(n) * sizeof(T);
}

// Makes room for one more element: the capacity doubles (a record whose
// capacity is 0 gets the default). Elements past count stay zero.
template <class V>
int grow(V* v) {
    using T = typename V::value_type;
    if (v->count < v->capacity) return 0;
    uint64_t cap = v->capacity ? v->capacity * 2 : VEC_DEFAULT_CAPACITY;
    if (cap < v->capacity) return -1;
    size_t bytes = block_bytes<T>(cap + 1);
    if (bytes == 0) return -1;
    auto* items = static_cast<T*>(pl_realloc(v->items, bytes));
    if (!items) return -1;
    uint64_t old_total = v->items ? v->capacity + 1 : 0;
    pl_vec_detail::zero(items + old_total, cap + 1 - old_total);
    v->items = items;
    v->capacity = cap;
    return 0;
}

}  // namespace pl_vec_detail

template <class V>
int vec_init(V* v, uint64_t capacity) {
    using T = typename V::value_type;
    if (!v) return -1;
    if (capacity == 0) capacity = VEC_DEFAULT_CAPACITY;
    size_t bytes = capacity == VEC_LAST ? 0 : pl_vec_detail::block_bytes<T>(capacity + 1);
    auto* items = bytes ? static_cast<T*>(pl_zalloc(bytes)) : nullptr;
    if (!items) return -1;
    v->items = items;
    v->count = 0;
    v->capacity = capacity;
    return 0;
}

template <class V>
V* vec_new(uint64_t capacity) {
    auto* v = static_cast<V*>(pl_zalloc(sizeof(V)));
    if (!v) return nullptr;
    if (vec_init(v, capacity) != 0) {
        pl_free(v);
        return nullptr;
    }
    return v;
}

template <class V>
void vec_exit(V* v) {
    if (!v) return;
    pl_free(v->items);
    v->items = nullptr;
    v->count = 0;
    v->capacity = 0;
}

template <class V>
void vec_free(V* v) {
    if (!v) return;
    pl_free(v->items);
    pl_free(v);
}

template <class V>
int vec_push(V* v, typename V::value_type value) {
    if (!v || pl_vec_detail::grow(v) != 0) return -1;
    v->items[v->count++] = value;
    return 0;
}

template <class V>
int vec_insert(V* v, uint64_t index, typename V::value_type value) {
    using T = typename V::value_type;
    if (!v || index > v->count || pl_vec_detail::grow(v) != 0) return -1;
    memmove(v->items + index + 1, v->items + index, (v->count - index) * sizeof(T));
    v->items[index] = value;
    v->count++;
    return 0;
}

template <class V>
int vec_erase(V* v, uint64_t index) {
    if (!v) return -1;
    if (v->count == 0) return 0;
    if (index == VEC_LAST) index = v->count - 1;
    return vec_erase_range(v, index, 1);
}

template <class V>
int vec_erase_range(V* v, uint64_t index, uint64_t number) {
    using T = typename V::value_type;
    if (!v) return -1;
    if (v->count == 0) return 0;
    if (index >= v->count) return -1;
    number = std::min(number, v->count - index);
    uint64_t tail = v->count - index - number;
    memmove(v->items + index, v->items + index + number, tail * sizeof(T));
    v->count -= number;
    pl_vec_detail::zero(v->items + v->count, number);
    return 0;
}

template <class V>
int64_t vec_find(const V* v, typename V::value_type value) {
    if (!v) return -1;
    for (uint64_t i = 0; i < v->count; i++)
        if (v->items[i] == value) return static_cast<int64_t>(i);
    return -1;
}

template <class V>
int64_t vec_remove(V* v, typename V::value_type value) {
    int64_t i = vec_find(v, value);
    if (i >= 0) vec_erase_range(v, static_cast<uint64_t>(i), 1);
    return i;
}

template <class V>
uint64_t vec_count(const V* v, typename V::value_type value) {
    if (!v) return 0;
    return static_cast<uint64_t>(std::count(v->items, v->items + v->count, value));
}

template <class V>
void vec_clear(V* v) {
    if (!v) return;
    pl_vec_detail::zero(v->items, v->count);
    v->count = 0;
}

template <class V>
void vec_sort(V* v, int descending) {
    if (!v) return;
    pl_sort(v->items, v->count, sizeof *v->items, cmp_val_get_proc(V::type_code, descending));
}

template <class V>
int vec_check_order(const V* v) {
    if (!v) return PL_ORDER_EQUAL;
    return pl_check_order(v->items, v->count, sizeof *v->items, cmp_val_get_proc(V::type_code, 0));
}

template <class V>
void vec_reverse(V* v) {
    if (v && v->count) std::reverse(v->items, v->items + v->count);
}

template <class V>
void vec_uniq(V* v) {
    if (!v) return;
    uint64_t kept = pl_uniq(v->items, v->count, sizeof *v->items, cmp_val_get_proc(V::type_code, 0));
    pl_vec_detail::zero(v->items + kept, v->count - kept);
    v->count = kept;
}

template <class V>
int64_t vec_bsearch(const V* v, typename V::value_type value) {
    if (!v) return -1;
    return pl_bsearch(&value, v->items, v->count, sizeof *v->items, cmp2_val_get_find_proc(V::type_code));
}

// The named members of each family.
inline constexpr auto vec_i8_new = &vec_new<vec_i8>;
inline constexpr auto vec_i8_free = &vec_free<vec_i8>;
inline constexpr auto vec_i8_push = &vec_push<vec_i8>;
inline constexpr auto vec_i8_insert = &vec_insert<vec_i8>;
inline constexpr auto vec_i8_erase = &vec_erase<vec_i8>;
inline constexpr auto vec_i8_erase_range = &vec_erase_range<vec_i8>;
inline constexpr auto vec_i8_remove = &vec_remove<vec_i8>;
inline constexpr auto vec_i8_find = &vec_find<vec_i8>;
inline constexpr auto vec_i8_count = &vec_count<vec_i8>;
inline constexpr auto vec_i8_clear = &vec_clear<vec_i8>;
inline constexpr auto vec_i8_sort = &vec_sort<vec_i8>;
inline constexpr auto vec_i8_check_order = &vec_check_order<vec_i8>;
inline constexpr auto vec_i8_reverse = &vec_reverse<vec_i8>;
inline constexpr auto vec_i8_uniq = &vec_uniq<vec_i8>;
inline constexpr auto vec_i8_bsearch = &vec_bsearch<vec_i8>;

inline constexpr auto vec_i32_new = &vec_new<vec_i32>;
inline constexpr auto vec_i32_free = &vec_free<vec_i32>;
inline constexpr auto vec_i32_push = &vec_push<vec_i32>;
inline constexpr auto vec_i32_insert = &vec_insert<vec_i32>;
inline constexpr auto vec_i32_erase = &vec_erase<vec_i32>;
inline constexpr auto vec_i32_erase_range = &vec_erase_range<vec_i32>;
inline constexpr auto vec_i32_remove = &vec_remove<vec_i32>;
inline constexpr auto vec_i32_find = &vec_find<vec_i32>;
inline constexpr auto vec_i32_count = &vec_count<vec_i32>;
inline constexpr auto vec_i32_clear = &vec_clear<vec_i32>;
inline constexpr auto vec_i32_sort = &vec_sort<vec_i32>;
inline constexpr auto vec_i32_check_order = &vec_check_order<vec_i32>;
inline constexpr auto vec_i32_reverse = &vec_reverse<vec_i32>;
inline constexpr auto vec_i32_uniq = &vec_uniq<vec_i32>;
inline constexpr auto vec_i32_bsearch = &vec_bsearch<vec_i32>;

inline constexpr auto vec_u64_new = &vec_new<vec_u64>;
inline constexpr auto vec_u64_free = &vec_free<vec_u64>;
inline constexpr auto vec_u64_push = &vec_push<vec_u64>;
inline constexpr auto vec_u64_insert = &vec_insert<vec_u64>;
inline constexpr auto vec_u64_erase = &vec_erase<vec_u64>;
inline constexpr auto vec_u64_erase_range = &vec_erase_range<vec_u64>;
inline constexpr auto vec_u64_remove = &vec_remove<vec_u64>;
inline constexpr auto vec_u64_find = &vec_find<vec_u64>;
inline constexpr auto vec_u64_count = &vec_count<vec_u64>;
inline constexpr auto vec_u64_clear = &vec_clear<vec_u64>;
inline constexpr auto vec_u64_sort = &vec_sort<vec_u64>;
inline constexpr auto vec_u64_check_order = &vec_check_order<vec_u64>;
inline constexpr auto vec_u64_reverse = &vec_reverse<vec_u64>;
inline constexpr auto vec_u64_uniq = &vec_uniq<vec_u64>;
inline constexpr auto vec_u64_bsearch = &vec_bsearch<vec_u64>;

inline constexpr auto vec_ptr_new = &vec_new<vec_ptr>;
inline constexpr auto vec_ptr_free = &vec_free<vec_ptr>;
inline constexpr auto vec_ptr_push = &vec_push<vec_ptr>;
inline constexpr auto vec_ptr_insert = &vec_insert<vec_ptr>;
inline constexpr auto vec_ptr_erase = &vec_erase<vec_ptr>;
inline constexpr auto vec_ptr_erase_range = &vec_erase_range<vec_ptr>;
inline constexpr auto vec_ptr_remove = &vec_remove<vec_ptr>;
inline constexpr auto vec_ptr_find = &vec_find<vec_ptr>;
inline constexpr auto vec_ptr_count = &vec_count<vec_ptr>;
inline constexpr auto vec_ptr_clear = &vec_clear<vec_ptr>;
inline constexpr auto vec_ptr_sort = &vec_sort<vec_ptr>;
inline constexpr auto vec_ptr_check_order = &vec_check_order<vec_ptr>;
inline constexpr auto vec_ptr_reverse = &vec_reverse<vec_ptr>;
inline constexpr auto vec_ptr_uniq = &vec_uniq<vec_ptr>;
inline constexpr auto vec_ptr_bsearch = &vec_bsearch<vec_ptr>;
