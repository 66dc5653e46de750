// Value readers: a record of a binary log type read field by field, by
// index or by name, as its format text lays it out.
//
// A format text is a list of comma-separated groups. "name-u8", "name-u16",
// "name-u32" and "name-u64" are unsigned integers of 1, 2, 4 and 8 bytes,
// packed in the order given from byte 0 without alignment; one group
// "a|b|c-str" names string fields, zero-terminated texts following the last
// integer one after the other. Field names are at most 31 characters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/string/str_map.h"

// Field types (the same words as the rule language's typed values).
enum : uint32_t {
    VALUE_TYPE_U8 = 0,
    VALUE_TYPE_U16 = 2,
    VALUE_TYPE_U32 = 4,
    VALUE_TYPE_U64 = 6,
    VALUE_TYPE_STRING = 20,
};

inline constexpr size_t BSV_VALUE_NAME_SIZE = 32;

struct bsv_value_row {
    char name[BSV_VALUE_NAME_SIZE];
    uint32_t type;    // VALUE_TYPE_*
    uint32_t width;   // 1, 2, 4, 8; 0 for strings
    uint32_t offset;  // integers and the first string; later strings per record
};

struct bsv_value_ctx {
    const uint8_t* record;  // the record last read (string offsets belong to it)
    uint32_t record_len;
    char* format;
    uint32_t count_idx;  // fields
    uint32_t str_idx;    // index of the first string field; count_idx when there is none
    uint32_t swap;       // integers are stored in the other byte order
    bsv_value_row* val;
    str_map names;  // field name -> index + 1 (as a decimal text), sorted
};

// A reader of the format, or nothing when the format text is malformed
// (logged under tag "bsv") or memory runs out. Freed with bsv_value_exit.
bsv_value_ctx* bsv_value_init(const char* format, uint32_t swap);
void bsv_value_exit(bsv_value_ctx* ctx);
uint32_t bsv_value_get_count(const bsv_value_ctx* ctx);
// The field-table row of idx, or nothing beyond the last field.
const bsv_value_row* bsv_value_get_name(const bsv_value_ctx* ctx, uint32_t idx);

// Reading one record of len bytes. Every read stays inside the record: an
// integer that would pass its end reads as 0, a string field that starts
// beyond it or lacks its terminator reads as the empty text.
//
// bsv_value_get gives an integer's value or, for a string field, the
// address of the text (as an integer); an index beyond the last field is a
// failed check and 0.
uint64_t bsv_value_get(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
// Typed getters: a failed index or type check is logged and gives 0 (or
// nothing for the string getter); integers are cut to the getter's width.
uint8_t bsv_value_get_u8(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
uint16_t bsv_value_get_u16(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
uint32_t bsv_value_get_u32(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
uint64_t bsv_value_get_u64(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
const char* bsv_value_get_str(bsv_value_ctx* ctx, const void* record, uint32_t len, uint32_t idx);
// The field of that name: its type (VALUE_TYPE_*) with the value in *value
// (a string's address for strings), or -1 for a name the format lacks.
int bsv_value_find(bsv_value_ctx* ctx, const void* record, uint32_t len, const char* name, uint64_t* value);
// The index of a field name, or -1.
int bsv_value_index(const bsv_value_ctx* ctx, const char* name);
