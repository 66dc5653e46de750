// String vector: the fields of a split text, or a list of texts. After a
// split the item after the last one is NULL.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    STR_VECTOR_OWN = 0x1,          // pushed texts are copied and freed with the vector
    STR_VECTOR_NOCASE = 0x10,      // finding ignores case
    STR_VECTOR_SKIP_EMPTY = 0x20,  // a push of the empty text is skipped
    STR_VECTOR_UNIQUE = 0x40,      // a push of a text already present is skipped
};

struct str_vector {
    char** items;
    size_t count;
    size_t cap;               // slots in items; 0 until the first push, then 16, doubling
    uint32_t flags;           // STR_VECTOR_*; 4 is added when the low four bits are 0
    unsigned allocated : 1;   // made by str_vector_new, so str_vector_free frees the record
    char* split_buf;          // the vector's copy of the last split text
    size_t split_buf_size;
};

// Clears the record and stores the flags.
void str_vector_init(str_vector* v, uint32_t flags);
// A new initialised record, or nothing; freed with str_vector_free.
str_vector* str_vector_new(uint32_t flags);
// Appends a text (see the flags). Returns 0 (also when skipped), or -1 for an
// absent text or a failed allocation, with the vector unchanged.
int str_vector_push(str_vector* v, const char* text);
// Index of the first item equal to text, or -1.
ptrdiff_t str_vector_find(const str_vector* v, const char* text);
// Removes every item equal to text. Returns 0 when one was removed, else -1.
int str_vector_del(str_vector* v, const char* text);
// Stores a NULL after the last item. Returns 0 or -1.
int str_vector_terminate(str_vector* v);
// Cuts the split buffer at every character of seps and pushes each field.
int str_vector_split_into(str_vector* v, const char* seps);
// Replaces the items by the fields of text cut at every character of seps
// (empty fields kept unless STR_VECTOR_SKIP_EMPTY). Returns 0 or -1.
int str_split(const char* text, const char* seps, str_vector* v);
// Like str_split, but a separator between two characters of the quote set
// does not cut; quotes stay in the fields, and an empty last field is
// dropped. An odd number of quote characters logs "syntax error" and gives -1
// with the vector unchanged.
int str_split_esape(const char* text, const char* seps, const char* quotes, str_vector* v);
// Frees owned items and the split buffer; count 0.
void str_vector_clear(str_vector* v);
// str_vector_clear, then the item array.
void str_vector_exit(str_vector* v);
// str_vector_exit, then the record when str_vector_new made it.
void str_vector_free(str_vector* v);
// Sorts the items as texts (strcmp).
void str_vector_sort(str_vector* v);
// Sorts and drops repeated texts; returns the new count.
size_t str_vector_uniq(str_vector* v);
