// Sorting, searching, counting, order checks and duplicate removal over
// arrays of fixed-size elements of any size, plus base-2 logarithms.
//
// Indexes are returned as int64_t, -1 meaning "absent".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_cmp.h"

// Quicksort (median of three, explicit stack, insertion sort at the end);
// not stable. The compare receives `arg` as its third argument.
void pl_qsort(void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg);
void pl_qsort_r(void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg);
void pl_sort(void* base, size_t count, size_t size, pl_cmp_fn compare);

// Halving search of an ascending array with compare(key, element[, arg]):
// an index of an equal element, or -1.
int64_t pl_bsearch(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg);
int64_t pl_bsearch(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare);

// First index whose compare(key, element[, arg]) is 0, or -1.
int64_t pl_find(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg);
int64_t pl_find(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare);
// Number of elements whose compare(key, element[, arg]) is 0.
size_t pl_count(const void* key, const void* base, size_t count, size_t size, pl_cmp_r_fn compare, void* arg);
size_t pl_count(const void* key, const void* base, size_t count, size_t size, pl_cmp_fn compare);

// Order of the neighbour pairs.
enum : int {
    PL_ORDER_MIXED = 0,       // both increases and decreases
    PL_ORDER_EQUAL = 1,       // all equal (also 0 or 1 elements)
    PL_ORDER_ASCENDING = 2,   // non-decreasing with at least one increase
    PL_ORDER_DESCENDING = 3,  // non-increasing with at least one decrease
};
int pl_check_order(const void* base, size_t count, size_t size, pl_cmp_fn compare);

// Keeps the first element of every run of equal neighbours and returns how
// many were kept. Later distinct elements are swapped forward, so the
// dropped elements end up (in some order) past the returned count: the
// array stays a permutation of its input.
size_t pl_uniq(void* base, size_t count, size_t size, pl_cmp_fn compare);

// Bubble sort: swaps neighbours whose compare is positive.
void pl_bubble_sort(void* base, size_t count, size_t size, pl_cmp_fn compare);

int64_t pl_find_u32(const uint32_t* array, size_t count, uint32_t value);

// Floor of the base-2 logarithm; 0 for 0 and 1.
uint32_t pl_log2_32(uint32_t value);
uint32_t pl_log2_64(uint64_t value);
