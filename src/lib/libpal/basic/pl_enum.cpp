#include "libpal/basic/pl_enum.h"

#include <cstdio>
#include <cstring>

const char* pl_enum_name(int32_t code, int32_t direct_limit, const pl_enum_row* table, size_t rows) {
    if (table) {
        if (code >= 0 && code < direct_limit && static_cast<size_t>(code) < rows && table[code].code == code)
            return table[code].name;
        for (size_t i = 0; i < rows; i++)
            if (table[i].code == code) return table[i].name;
    }
    // One buffer per thread, wide enough for any 32-bit code.
    thread_local char unknown[32];
    snprintf(unknown, sizeof unknown, "unkown(%d)", code);
    return unknown;
}

int32_t pl_enum_value(const char* name, const pl_enum_row* table, size_t rows) {
    if (!name || !table) return -1;
    for (size_t i = 0; i < rows; i++)
        if (table[i].name && strcmp(table[i].name, name) == 0) return table[i].code;
    return -1;
}

int32_t pl_enum_find_ptr(const char* name, const pl_enum_row* table, size_t rows) {
    if (!table) return -1;
    for (size_t i = 0; i < rows; i++)
        if (table[i].name == name) return table[i].code;
    return -1;
}
