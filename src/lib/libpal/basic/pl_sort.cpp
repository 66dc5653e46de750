#include "libpal/basic/pl_sort.h"

#include <algorithm>
#include <cstring>

namespace {

// Ranges of at most this many elements are left to the final insertion sort.
constexpr size_t k_small = 4;
// Elements up to this size are moved through a buffer on the stack.
constexpr size_t k_buf = 256;

struct elems {
    char* base;
    size_t size;
    char* operator[](size_t i) const { return base + i * size; }
};

void swap_bytes(char* a, char* b, size_t size) {
    if (a == b) return;
    char tmp[64];
    while (size) {
        size_t n = std::min(size, sizeof tmp);
        memcpy(tmp, a, n);
        memcpy(a, b, n);
        memcpy(b, tmp, n);
        a += n;
        b += n;
        size -= n;
    }
}

// Moves the element at `from` down to `to` (to < from), shifting the
// elements between up by one.
void rotate_down(char* to, char* from, size_t size) {
    if (size <= k_buf) {
        char tmp[k_buf];
        memcpy(tmp, from, size);
        memmove(to + size, to, static_cast<size_t>(from - to));
        memcpy(to, tmp, size);
        return;
    }
    for (size_t k = 0; k < size; k++) {
        char c = from[k];
        char* hi = from + k;
        for (char* lo = hi - size; lo >= to + k; hi = lo, lo -= size) *hi = *lo;
        *hi = c;
    }
}

// Orders the first, middle and last elements of [lo, hi], then partitions
// around the middle one's value. The left part ends at *right, the right
// part starts at *left.
void partition(const elems& e, size_t lo, size_t hi, pl_cmp_r_fn cmp, void* arg, size_t* out_left,
               size_t* out_right) {
    size_t mid = lo + (hi - lo) / 2;
    if (cmp(e[mid], e[lo], arg) < 0) swap_bytes(e[mid], e[lo], e.size);
    if (cmp(e[hi], e[mid], arg) < 0) {
        swap_bytes(e[mid], e[hi], e.size);
        if (cmp(e[mid], e[lo], arg) < 0) swap_bytes(e[mid], e[lo], e.size);
    }
    // e[lo] <= pivot <= e[hi] stop both scans inside the range.
    size_t pivot = mid;
    size_t left = lo + 1;
    size_t right = hi - 1;
    do {
        while (cmp(e[left], e[pivot], arg) < 0) left++;
        while (cmp(e[pivot], e[right], arg) < 0) right--;
        if (left < right) {
            swap_bytes(e[left], e[right], e.size);
            if (pivot == left)
                pivot = right;
            else if (pivot == right)
                pivot = left;
            left++;
            right--;
        } else if (left == right) {
            left++;
            right--;
            break;
        }
    } while (left <= right);
    *out_left = left;
    *out_right = right;
}

void insertion_sort(const elems& e, size_t count, pl_cmp_r_fn cmp, void* arg) {
    // The smallest of the first elements is the smallest of all (the
    // partitions left at most k_small unsorted elements in front), so it
    // stops every scan below as a sentinel.
    size_t lim = std::min(count, k_small + 1);
    size_t least = 0;
    for (size_t i = 1; i < lim; i++)
        if (cmp(e[i], e[least], arg) < 0) least = i;
    swap_bytes(e[0], e[least], e.size);

    for (size_t i = 1; i < count; i++) {
        size_t j = i;
        while (cmp(e[i], e[j - 1], arg) < 0) j--;
        if (j != i) rotate_down(e[j], e[i], e.size);
    }
}

int call_two(const void* a, const void* b, void* arg) { return (*static_cast<pl_cmp_fn*>(arg))(a, b); }

}  // namespace

void pl_qsort(void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg) {
    if (!base || !compare || size == 0 || count < 2) return;
    elems e{static_cast<char*>(base), size};
    if (count > k_small) {
        struct range {
            size_t lo, hi;
        };
        // The larger part is stacked and the smaller processed first, so the
        // depth stays below log2(count).
        range stack[64];
        size_t top = 0;
        size_t lo = 0;
        size_t hi = count - 1;
        for (;;) {
            size_t left, right;
            partition(e, lo, hi, compare, arg, &left, &right);
            bool small_left = right - lo + 1 <= k_small;
            bool small_right = hi - left + 1 <= k_small;
            if (small_left && small_right) {
                if (top == 0) break;
                top--;
                lo = stack[top].lo;
                hi = stack[top].hi;
            } else if (small_left) {
                lo = left;
            } else if (small_right) {
                hi = right;
            } else if (right - lo > hi - left) {
                stack[top++] = {lo, right};
                lo = left;
            } else {
                stack[top++] = {left, hi};
                hi = right;
            }
        }
    }
    insertion_sort(e, count, compare, arg);
}

void pl_qsort_r(void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg) {
    pl_qsort(base, count, size, compare, arg);
}

void pl_sort(void* base, size_t count, size_t size, pl_cmp_fn compare) {
    if (!compare) return;
    pl_qsort(base, count, size, call_two, &compare);
}

int64_t pl_bsearch(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg) {
    if (!base || !compare) return -1;
    const char* b = static_cast<const char*>(base);
    size_t lo = 0;
    size_t hi = count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = compare(key, b + mid * size, arg);
        if (c < 0)
            hi = mid;
        else if (c > 0)
            lo = mid + 1;
        else
            return static_cast<int64_t>(mid);
    }
    return -1;
}

int64_t pl_bsearch(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare) {
    return compare ? pl_bsearch(key, base, count, size, call_two, &compare) : -1;
}

int64_t pl_find(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg) {
    if (!base || !compare) return -1;
    const char* b = static_cast<const char*>(base);
    for (size_t i = 0; i < count; i++)
        if (compare(key, b + i * size, arg) == 0) return static_cast<int64_t>(i);
    return -1;
}

int64_t pl_find(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare) {
    return compare ? pl_find(key, base, count, size, call_two, &compare) : -1;
}

size_t pl_count(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg) {
    if (!base || !compare) return 0;
    const char* b = static_cast<const char*>(base);
    size_t n = 0;
    for (size_t i = 0; i < count; i++)
        if (compare(key, b + i * size, arg) == 0) n++;
    return n;
}

size_t pl_count(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare) {
    return compare ? pl_count(key, base, count, size, call_two, &compare) : 0;
}

int pl_check_order(const void* base, size_t count, size_t size, pl_cmp_fn compare) {
    if (!base || !compare || count < 2) return PL_ORDER_EQUAL;
    const char* b = static_cast<const char*>(base);
    bool up = false;
    bool down = false;
    for (size_t i = 1; i < count && !(up && down); i++) {
        int c = compare(b + (i - 1) * size, b + i * size);
        if (c < 0) up = true;
        if (c > 0) down = true;
    }
    if (up && down) return PL_ORDER_MIXED;
    if (up) return PL_ORDER_ASCENDING;
    return down ? PL_ORDER_DESCENDING : PL_ORDER_EQUAL;
}

// A single element is its own run and is kept.
size_t pl_uniq(void* base, size_t count, size_t size, pl_cmp_fn compare) {
    if (!base || !compare || count < 2) return count;
    elems e{static_cast<char*>(base), size};
    size_t kept = 0;
    for (size_t i = 1; i < count; i++) {
        if (compare(e[kept], e[i]) == 0) continue;
        kept++;
        swap_bytes(e[kept], e[i], size);
    }
    return kept + 1;
}

void pl_bubble_sort(void* base, size_t count, size_t size, pl_cmp_fn compare) {
    if (!base || !compare || count < 2) return;
    elems e{static_cast<char*>(base), size};
    size_t end = count;  // elements from end on are in place
    while (end > 1) {
        size_t last_swap = 0;
        for (size_t i = 1; i < end; i++) {
            if (compare(e[i - 1], e[i]) > 0) {
                swap_bytes(e[i - 1], e[i], size);
                last_swap = i;
            }
        }
        end = last_swap;
    }
}

int64_t pl_find_u32(const uint32_t* array, size_t count, uint32_t value) {
    if (!array) return -1;
    for (size_t i = 0; i < count; i++)
        if (array[i] == value) return static_cast<int64_t>(i);
    return -1;
}

uint32_t pl_log2_32(uint32_t value) { return value < 2 ? 0 : 31u - static_cast<uint32_t>(__builtin_clz(value)); }

uint32_t pl_log2_64(uint64_t value) { return value < 2 ? 0 : 63u - static_cast<uint32_t>(__builtin_clzll(value)); }
