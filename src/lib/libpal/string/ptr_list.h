// Pointer lists and the sorting of pointer arrays by a compare mode.
#pragma once

#include <cstddef>
#include <cstdint>

// Compare modes, the low four bits of a list's flags. A list made with none
// of them gets PTR_CMP_U64.
enum : uint32_t {
    PTR_CMP_TEXT = 0x1,      // items are texts (strcmp); also set for owned texts
    PTR_CMP_TEXT2 = 0x2,     // items are texts (strcmp)
    PTR_CMP_U64 = 0x4,       // items are 64-bit numbers (compared as unsigned)
    PTR_CMP_REC = 0x8,       // items point to records whose first field is a text pointer
    PTR_CMP_MASK = 0xf,
};

// Pointer list: the item after the last one is always NULL.
enum : uint32_t {
    PTR_LIST_OWN = 0x1,  // pushed texts are copied, and freed with the list
};
struct ptr_list {
    void** items;  // capacity plus one slots
    size_t count;
    size_t cap;
    uint32_t flags;  // PTR_LIST_OWN and a compare mode
};

// A new list with room for capacity items, or nothing.
ptr_list* ptr_list_new(size_t capacity, uint32_t flags);
// Appends an item (a copy of the text with PTR_LIST_OWN), growing the slots
// when full. Returns 0, or -1 with the list unchanged.
int ptr_list_push(ptr_list* list, const void* item);
// Drops the items from n on (freeing owned ones).
void ptr_list_truncate(ptr_list* list, size_t n);
void ptr_list_free(ptr_list* list);
// Sorts the items ascending by the compare mode of the flags.
void ptr_list_sort(ptr_list* list);
// Sorts, then drops repeated neighbours; returns the new count.
size_t ptr_list_sort_uniq(ptr_list* list);

// The same over a bare array of count items with a compare mode.
void ptr_array_sort(void** items, size_t count, uint32_t mode);
void ptr_array_sort(char** items, size_t count, uint32_t mode);
// Moves the first item of every run of equal neighbours to the front; the
// removed items end up after the returned count (the new count).
size_t ptr_array_uniq(void** items, size_t count, uint32_t mode);
size_t ptr_array_uniq(char** items, size_t count, uint32_t mode);

// Ascending sorts of arrays of texts, of pointers to records led by a text
// pointer, and of 64-bit numbers.
void str_array_sort(const char** items, size_t count);
void str_array_sort_rec(void** items, size_t count);
void u64_array_sort(uint64_t* items, size_t count);
// Halving searches of sorted arrays: the index of an item equal to key, or -1.
ptrdiff_t str_array_bsearch(const char* const* items, size_t count, const char* key);
ptrdiff_t str_array_bsearch_rec(void* const* items, size_t count, const char* key);
