// Unix-socket addresses: a path, or an abstract name (a name outside the
// file system).
#pragma once

#include <cstddef>
#include <cstdint>

// Smallest text buffer that os_unixaddr_cstr accepts, and the size of the path.
inline constexpr size_t OS_UNIXADDR_CSTR_MAXN = 108;

struct os_unixaddr {
    uint8_t abstract;
    char path[OS_UNIXADDR_CSTR_MAXN];  // NUL-terminated: at most 107 characters
};

// Empties the path (the abstract flag stays).
void os_unixaddr_clear(os_unixaddr* unixaddr);
int os_unixaddr_is_abstract(const os_unixaddr* unixaddr);
// 1 when both are paths or both abstract names, and their texts are equal.
int os_unixaddr_is_equal(const os_unixaddr* unixaddr, const os_unixaddr* other);
// The path ("%s"); none when maxn < OS_UNIXADDR_CSTR_MAXN.
char* os_unixaddr_cstr(const os_unixaddr* unixaddr, char* text, size_t maxn);
// Sets the path and the abstract flag: 1 when the path has fewer than 108
// characters, else 0 with the path stored cut.
int os_unixaddr_cstr_set(os_unixaddr* unixaddr, const char* cstr, uint8_t abstract);
