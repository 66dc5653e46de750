#include "libpal/network/ipv4.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"

namespace {

// The address bytes in memory order (the first dotted part first).
void ipv4_bytes(const os_ipv4* ipv4, uint8_t out[4]) { memcpy(out, &ipv4->addr, 4); }

}  // namespace

void os_ipv4_clear(os_ipv4* ipv4) {
    if (!PL_CHECK("pal", ipv4)) return;
    ipv4->addr = 0;
}

int os_ipv4_is_any(const os_ipv4* ipv4) {
    if (!PL_CHECK("pal", ipv4)) return 1;
    return ipv4->addr == 0;
}

int os_ipv4_is_loopback(const os_ipv4* ipv4) {
    if (!PL_CHECK("pal", ipv4)) return 0;
    uint8_t b[4];
    ipv4_bytes(ipv4, b);
    return b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

int os_ipv4_is_equal(const os_ipv4* ipv4, const os_ipv4* other) {
    if (!PL_CHECK("pal", ipv4 && other)) return 0;
    return ipv4->addr == other->addr;
}

char* os_ipv4_cstr(const os_ipv4* ipv4, char* data, size_t maxn) {
    if (!PL_CHECK("pal", ipv4 && data && maxn >= OS_IPV4_CSTR_MAXN)) return nullptr;
    uint8_t b[4];
    ipv4_bytes(ipv4, b);
    str_sprintf_s(data, maxn, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return data;
}

int os_ipv4_cstr_set(os_ipv4* ipv4, const char* cstr) {
    if (!PL_CHECK("pal", cstr)) return 0;
    uint8_t b[4] = {0, 0, 0, 0};
    size_t parts = 0;  // parts closed so far
    unsigned part = 0;
    bool ok = *cstr != 0;
    for (const char* p = cstr; ok; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            part = part * 10 + static_cast<unsigned>(c - '0');
            if (part > 255) ok = false;
        } else if (c == '.' || c == 0) {
            // A fifth part has no byte to go to: the text is no address.
            if (parts == 4) {
                ok = false;
                break;
            }
            b[parts++] = static_cast<uint8_t>(part);
            part = 0;
            if (c == 0) break;
        } else {
            ok = false;
        }
    }
    if (ipv4) memcpy(&ipv4->addr, b, 4);
    return ok && parts == 4;
}
