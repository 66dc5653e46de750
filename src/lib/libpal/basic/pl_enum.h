// Code-to-name tables, used to print and parse enumerations.
#pragma once

#include <cstddef>
#include <cstdint>

struct pl_enum_row {
    int32_t code;
    const char* name;
};

// The name of a code: the row at index `code` when code is below
// `direct_limit` and that row holds the code, else the first row with the
// code, else "unkown(<code>)" in a buffer of the calling thread (valid until
// its next call).
const char* pl_enum_name(int32_t code, int32_t direct_limit, const pl_enum_row* table, size_t rows);
// The code of the first row whose name equals `name` (rows without a name
// are skipped), or -1.
int32_t pl_enum_value(const char* name, const pl_enum_row* table, size_t rows);
// The code of the row that holds this very name pointer, or -1.
int32_t pl_enum_find_ptr(const char* name, const pl_enum_row* table, size_t rows);
