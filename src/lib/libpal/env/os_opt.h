// Key-value option tables: "key=value" settings given on a command line,
// kept as owned texts and applied to their targets in one step.
#pragma once

#include <cstdint>

// Row type whose target is an unsigned 32-bit integer; every other type
// means the target is a text pointer (char*) that receives an owned copy
// (pl_strdup; the program frees it).
inline constexpr uint32_t OS_OPT_U32 = 14;

// One row of a table; the table ends with a row without key.
struct os_opt_row {
    const char* key;
    void* target;
    uint32_t type;
    char* value;  // owned copy of the last given value, or nothing
};

// "list" prints "support the following key settings" and every key to
// standard error and ends the process with status 0. Otherwise the text is
// split at "=" into key and value (each at most 256 bytes) and the value is
// kept in the row whose key equals the key without regard to case. 0, or -1
// for a text that is not "k=v" or an unknown key (both logged at err).
int os_opt_kv_get(os_opt_row* table, const char* text);
// Writes every kept value to its target. Returns 0.
int os_opt_load(os_opt_row* table);
// Writes value straight to the target of the row named key (without regard
// to case). 0, or -1 for an unknown key.
int os_opt_kv_set2(os_opt_row* table, const char* key, const char* value);
// Frees every kept value. Returns 0.
int os_opt_free(os_opt_row* table);
