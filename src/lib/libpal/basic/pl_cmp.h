// Compare procedures of the value types, chosen by a type code.
//
// Every procedure returns -1, 0 or 1 (strcmp's sign for texts). "By
// pointer" procedures receive pointers to the values (array elements);
// direct procedures receive the values themselves, carried in the pointer
// arguments. Each ascending procedure has a descending twin with the
// opposite sign.
#pragma once

#include <cstdint>

using pl_cmp_fn = int (*)(const void* a, const void* b);
using pl_cmp_r_fn = int (*)(const void* a, const void* b, void* arg);

// Value type codes (shared with the option table, where 14 means an integer).
enum : int32_t {
    PL_VAL_U64 = 6,     // unsigned 64-bit values
    PL_VAL_PU64 = 7,    // unsigned 64-bit values by pointer
    PL_VAL_I8 = 8,      // signed 8-bit values
    PL_VAL_PI8 = 9,     // signed 8-bit values by pointer
    PL_VAL_I32 = 14,    // signed 32-bit values
    PL_VAL_PI32 = 15,   // signed 32-bit values by pointer
    PL_VAL_UPTR = 16,   // pointer-size unsigned values
    PL_VAL_PUPTR = 17,  // pointer-size unsigned values by pointer
    PL_VAL_STR = 20,    // texts
    PL_VAL_PSTR = 21,   // texts, by pointer to the text pointer
};

struct cmp_val_row {
    int32_t code;
    pl_cmp_fn proc;
};
// Ascending and descending tables, each ended by {-1, nothing}.
extern const cmp_val_row cmp_val_proc_tab[];
extern const cmp_val_row cmp_val_proc_tab_desc[];

int pl_sign(int64_t value);

// The typed procedures.
int cmp_uint64(const void* a, const void* b);
int cmp_puint64(const void* a, const void* b);
int cmp_int8(const void* a, const void* b);
int cmp_pint8(const void* a, const void* b);
int cmp_int32(const void* a, const void* b);
int cmp_pint32(const void* a, const void* b);
int cmp_int64(const void* a, const void* b);
int cmp_pint64(const void* a, const void* b);
int cmp_uptr(const void* a, const void* b);
int cmp_puptr(const void* a, const void* b);
int cmp_pdouble(const void* a, const void* b);
int cmp_str(const void* a, const void* b);
int cmp_pstr(const void* a, const void* b);
// Texts reached through a pointer to a record whose first field is the text.
int cmp_precstr(const void* a, const void* b);

int cmp_uint64_desc(const void* a, const void* b);
int cmp_puint64_desc(const void* a, const void* b);
int cmp_int8_desc(const void* a, const void* b);
int cmp_pint8_desc(const void* a, const void* b);
int cmp_int32_desc(const void* a, const void* b);
int cmp_pint32_desc(const void* a, const void* b);
int cmp_int64_desc(const void* a, const void* b);
int cmp_pint64_desc(const void* a, const void* b);
int cmp_uptr_desc(const void* a, const void* b);
int cmp_puptr_desc(const void* a, const void* b);
int cmp_pdouble_desc(const void* a, const void* b);
int cmp_str_desc(const void* a, const void* b);
int cmp_pstr_desc(const void* a, const void* b);
int cmp_precstr_desc(const void* a, const void* b);

// Key-against-element procedures for halving searches: the key points to a
// value of the element type (for texts the key is the text itself), the
// element is a pointer into the array.
int cmp2_pint8(const void* key, const void* elem);
int cmp2_pint32(const void* key, const void* elem);
int cmp2_puint64(const void* key, const void* elem);
int cmp2_puptr(const void* key, const void* elem);
int cmp2_pstr(const void* key, const void* elem);

// The procedure of a type code; an unknown code logs "val_type=%d not
// support" with the assertion hook and gives nothing.
pl_cmp_fn cmp_val_get_proc(int32_t code, int descending);
pl_cmp_fn cmp2_val_get_find_proc(int32_t code);

// Modes of cmp_array_get_proc.
enum : uint32_t {
    CMP_ARRAY_STR = 0x1,     // texts by pointer
    CMP_ARRAY_STR2 = 0x2,    // the same
    CMP_ARRAY_U64 = 0x4,     // unsigned 64-bit values by pointer
    CMP_ARRAY_RECSTR = 0x8,  // records led by a text pointer, by pointer
};
// A given procedure is returned unchanged; otherwise the mode chooses one
// (descending picks the reversed form). Any other mode logs "mode=0x%x not
// support" and gives nothing.
pl_cmp_fn cmp_array_get_proc(uint32_t mode, pl_cmp_fn proc, int descending);
