#include "libpal/network/unixaddr.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"

void os_unixaddr_clear(os_unixaddr* unixaddr) {
    if (!PL_CHECK("pal", unixaddr)) return;
    memset(unixaddr->path, 0, sizeof unixaddr->path);
}

int os_unixaddr_is_abstract(const os_unixaddr* unixaddr) {
    if (!PL_CHECK("pal", unixaddr)) return 0;
    return unixaddr->abstract != 0;
}

int os_unixaddr_is_equal(const os_unixaddr* unixaddr, const os_unixaddr* other) {
    if (!PL_CHECK("pal", unixaddr && other)) return 0;
    // An abstract name and a file of the same name are different sockets.
    if ((unixaddr->abstract != 0) != (other->abstract != 0)) return 0;
    return strncmp(unixaddr->path, other->path, sizeof unixaddr->path) == 0;
}

char* os_unixaddr_cstr(const os_unixaddr* unixaddr, char* data, size_t maxn) {
    if (!PL_CHECK("pal", unixaddr && data && maxn >= OS_UNIXADDR_CSTR_MAXN)) return nullptr;
    str_sprintf_s(data, maxn, "%.*s", static_cast<int>(sizeof unixaddr->path - 1), unixaddr->path);
    return data;
}

int os_unixaddr_cstr_set(os_unixaddr* unixaddr, const char* cstr, uint8_t abstract) {
    if (!PL_CHECK("pal", unixaddr) || !PL_CHECK("pal", cstr)) return 0;
    size_t n = strlen(cstr);
    size_t keep = n < sizeof unixaddr->path ? n : sizeof unixaddr->path - 1;
    memset(unixaddr->path, 0, sizeof unixaddr->path);
    memcpy(unixaddr->path, cstr, keep);
    unixaddr->abstract = abstract ? 1 : 0;
    return n < sizeof unixaddr->path;
}
