#include "libpal/network/ipaddr.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr uint8_t k_v4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

uint8_t family_of(const os_ipaddr* a) { return a->state & OS_IPADDR_FAMILY_MASK; }
bool is_set(const os_ipaddr* a) { return (a->state & OS_IPADDR_SET) != 0; }
bool family_known(uint8_t f) { return f <= OS_IPADDR_UNIX; }

void set_v4(os_ipaddr* a, const os_ipv4& v4) {
    a->state = OS_IPADDR_SET | OS_IPADDR_IPV4;
    memset(&a->ipv6, 0, sizeof a->ipv6);
    a->ipv4 = v4;
}

void set_v6(os_ipaddr* a, const os_ipv6& v6) {
    a->state = OS_IPADDR_SET | OS_IPADDR_IPV6;
    a->ipv6 = v6;
}

void v4_to_mapped(const os_ipv4& v4, os_ipv6* v6) {
    v6->scope_id = 0;
    memcpy(v6->addr, k_v4_mapped_prefix, sizeof k_v4_mapped_prefix);
    memcpy(v6->addr + 12, &v4.addr, 4);
}

bool mapped_to_v4(const os_ipv6& v6, os_ipv4* v4) {
    if (memcmp(v6.addr, k_v4_mapped_prefix, sizeof k_v4_mapped_prefix) != 0) return false;
    memcpy(&v4->addr, v6.addr + 12, 4);
    return true;
}

// Parses text as an address of family f into out (state and address only).
bool parse_family(os_ipaddr* out, const char* text, uint8_t f) {
    switch (f) {
    case OS_IPADDR_IPV4: {
        os_ipv4 v4{};
        if (!os_ipv4_cstr_set(&v4, text)) return false;
        set_v4(out, v4);
        return true;
    }
    case OS_IPADDR_IPV6: {
        os_ipv6 v6{};
        if (!os_ipv6_cstr_set(&v6, text)) return false;
        set_v6(out, v6);
        return true;
    }
    case OS_IPADDR_UNIX: {
        os_unixaddr un{};
        if (!os_unixaddr_cstr_set(&un, text, 0)) return false;
        os_ipaddr_unix_set(out, &un);
        return true;
    }
    default:
        return parse_family(out, text, OS_IPADDR_IPV4) || parse_family(out, text, OS_IPADDR_IPV6);
    }
}

}  // namespace

void os_ipaddr_clear(os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return;
    memset(ipaddr, 0, sizeof *ipaddr);
}

void os_ipaddr_ip_clear(os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return;
    ipaddr->state &= OS_IPADDR_FAMILY_MASK;
}

void os_ipaddr_copy(os_ipaddr* ipaddr, const os_ipaddr* copied) {
    if (!PL_CHECK("pal", ipaddr && copied)) return;
    if (ipaddr == copied) return;
    if (is_set(copied)) {
        *ipaddr = *copied;
        return;
    }
    ipaddr->port = copied->port;
    // The destination's address means nothing in another family.
    if (family_of(ipaddr) == family_of(copied) && family_of(copied) != OS_IPADDR_NONE)
        ipaddr->state = static_cast<uint8_t>((ipaddr->state & OS_IPADDR_SET) | family_of(copied));
    else
        ipaddr->state = family_of(copied);
}

int os_ipaddr_is_empty(const os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return 1;
    return !is_set(ipaddr);
}

int os_ipaddr_ip_is_empty(const os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return 1;
    return !is_set(ipaddr);
}

int os_ipaddr_is_equal(const os_ipaddr* ipaddr, const os_ipaddr* other) {
    if (!PL_CHECK("pal", ipaddr && other)) return 0;
    return ipaddr->port == other->port && os_ipaddr_ip_is_equal(ipaddr, other);
}

int os_ipaddr_ip_is_equal(const os_ipaddr* ipaddr, const os_ipaddr* other) {
    if (!PL_CHECK("pal", ipaddr && other)) return 0;
    if (!is_set(ipaddr) || !is_set(other)) return !is_set(ipaddr) && !is_set(other);
    uint8_t fa = family_of(ipaddr), fb = family_of(other);
    if (fa == fb) {
        switch (fa) {
        case OS_IPADDR_IPV4: return os_ipv4_is_equal(&ipaddr->ipv4, &other->ipv4);
        case OS_IPADDR_IPV6: return os_ipv6_is_equal(&ipaddr->ipv6, &other->ipv6);
        case OS_IPADDR_UNIX: return os_unixaddr_is_equal(&ipaddr->unixaddr, &other->unixaddr);
        default: PL_CHECK_TEXT("pal", false, "0"); return 0;
        }
    }
    // IPv4 against its mapped IPv6 form.
    const os_ipaddr* v4 = fa == OS_IPADDR_IPV4 ? ipaddr : other;
    const os_ipaddr* v6 = fa == OS_IPADDR_IPV4 ? other : ipaddr;
    if (family_of(v4) != OS_IPADDR_IPV4 || family_of(v6) != OS_IPADDR_IPV6) return 0;
    os_ipv4 m{};
    return mapped_to_v4(v6->ipv6, &m) && m.addr == v4->ipv4.addr;
}

uint8_t os_ipaddr_family(const os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return OS_IPADDR_NONE;
    return family_of(ipaddr);
}

uint16_t os_ipaddr_port(const os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return 0;
    return ipaddr->port;
}

void os_ipaddr_port_set(os_ipaddr* ipaddr, uint16_t port) {
    if (!PL_CHECK("pal", ipaddr)) return;
    ipaddr->port = port;
}

int os_ipaddr_family_set(os_ipaddr* ipaddr, uint8_t family) {
    if (!PL_CHECK("pal", ipaddr)) return 0;
    uint8_t cur = family_of(ipaddr);
    if (!PL_CHECK_TEXT("pal", family_known(family), "0")) return 0;
    if (family == cur) return 1;
    if (!PL_CHECK_TEXT("pal", cur != OS_IPADDR_UNIX && family != OS_IPADDR_UNIX, "0")) return 0;
    if (family == OS_IPADDR_NONE) {
        ipaddr->state = 0;
        return 1;
    }
    if (!is_set(ipaddr) || cur == OS_IPADDR_NONE) {
        ipaddr->state = family;
        return 1;
    }
    if (family == OS_IPADDR_IPV6) {
        os_ipv6 v6{};
        v4_to_mapped(ipaddr->ipv4, &v6);
        set_v6(ipaddr, v6);
        return 1;
    }
    // IPv6 to IPv4: a mapped address keeps its IPv4 part; any other has no
    // IPv4 form and is dropped.
    os_ipv4 v4{};
    if (mapped_to_v4(ipaddr->ipv6, &v4))
        set_v4(ipaddr, v4);
    else
        ipaddr->state = OS_IPADDR_IPV4;
    return 1;
}

void os_ipaddr_ipv4_set(os_ipaddr* ipaddr, const os_ipv4* ipv4) {
    if (!PL_CHECK("pal", ipaddr)) return;
    if (!ipv4) {
        ipaddr->state &= OS_IPADDR_FAMILY_MASK;
        return;
    }
    set_v4(ipaddr, *ipv4);
}

void os_ipaddr_ipv6_set(os_ipaddr* ipaddr, const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipaddr && ipv6)) return;
    set_v6(ipaddr, *ipv6);
}

void os_ipaddr_unix_set(os_ipaddr* ipaddr, const os_unixaddr* unixaddr) {
    if (!PL_CHECK("pal", ipaddr && unixaddr)) return;
    ipaddr->state = OS_IPADDR_SET | OS_IPADDR_UNIX;
    ipaddr->unixaddr = *unixaddr;
}

int os_ipaddr_ip_set(os_ipaddr* ipaddr, const os_ipaddr* other) {
    if (!PL_CHECK("pal", ipaddr)) return 0;
    if (!other) {
        ipaddr->state &= OS_IPADDR_FAMILY_MASK;
        return 1;
    }
    uint8_t f = family_of(other);
    if (!PL_CHECK_TEXT("pal", f >= OS_IPADDR_IPV4 && f <= OS_IPADDR_UNIX, "0")) return 0;
    if (ipaddr == other) return 1;
    ipaddr->state = other->state;
    switch (f) {
    case OS_IPADDR_IPV4: memset(&ipaddr->ipv6, 0, sizeof ipaddr->ipv6); ipaddr->ipv4 = other->ipv4; break;
    case OS_IPADDR_IPV6: ipaddr->ipv6 = other->ipv6; break;
    default: ipaddr->unixaddr = other->unixaddr; break;
    }
    return 1;
}

os_ipv4* os_ipaddr_ipv4(os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return nullptr;
    if (!is_set(ipaddr)) return nullptr;
    switch (family_of(ipaddr)) {
    case OS_IPADDR_IPV4: return &ipaddr->ipv4;
    case OS_IPADDR_IPV6: {
        os_ipv4 v4{};
        if (!mapped_to_v4(ipaddr->ipv6, &v4)) return nullptr;
        set_v4(ipaddr, v4);
        return &ipaddr->ipv4;
    }
    default: return nullptr;
    }
}

os_ipv6* os_ipaddr_ipv6(os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return nullptr;
    if (!is_set(ipaddr)) return nullptr;
    switch (family_of(ipaddr)) {
    case OS_IPADDR_IPV4: {
        os_ipv6 v6{};
        v4_to_mapped(ipaddr->ipv4, &v6);
        set_v6(ipaddr, v6);
        return &ipaddr->ipv6;
    }
    case OS_IPADDR_IPV6: return &ipaddr->ipv6;
    default: return nullptr;
    }
}

os_unixaddr* os_ipaddr_unix(os_ipaddr* ipaddr) {
    if (!PL_CHECK("pal", ipaddr)) return nullptr;
    return ipaddr->state == (OS_IPADDR_SET | OS_IPADDR_UNIX) ? &ipaddr->unixaddr : nullptr;
}

void os_ipaddr_ipv4_to_ipv6(const os_ipv4* ipv4, os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6 && ipv4)) return;
    v4_to_mapped(*ipv4, ipv6);
}

int os_ipaddr_ipv6_to_ipv4(const os_ipv6* ipv6, os_ipv4* ipv4) {
    if (!PL_CHECK("pal", ipv6 && ipv4)) return 0;
    return mapped_to_v4(*ipv6, ipv4);
}

char* os_ipaddr_ip_cstr(const os_ipaddr* ipaddr, char* data, size_t maxn) {
    if (!PL_CHECK("pal", ipaddr && data)) return nullptr;
    bool set = is_set(ipaddr);
    switch (family_of(ipaddr)) {
    case OS_IPADDR_IPV4:
        if (!PL_CHECK("pal", maxn >= OS_IPV4_CSTR_MAXN)) return nullptr;
        if (set) return os_ipv4_cstr(&ipaddr->ipv4, data, maxn);
        str_sprintf_s(data, maxn, "0.0.0.0");
        return data;
    case OS_IPADDR_IPV6:
        if (!PL_CHECK("pal", maxn >= OS_IPV6_CSTR_MAXN)) return nullptr;
        if (set) return os_ipv6_cstr(&ipaddr->ipv6, data, maxn);
        str_sprintf_s(data, maxn, "::");
        return data;
    case OS_IPADDR_UNIX:
        if (!PL_CHECK("pal", maxn >= OS_UNIXADDR_CSTR_MAXN)) return nullptr;
        if (set) return os_unixaddr_cstr(&ipaddr->unixaddr, data, maxn);
        memset(data, 0, maxn);
        return data;
    default:
        PL_CHECK_TEXT("pal", false, "0");
        return nullptr;
    }
}

char* os_ipaddr_cstr(const os_ipaddr* ipaddr, char* data, size_t maxn) {
    if (!PL_CHECK("pal", ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN)) return nullptr;
    if (!is_set(ipaddr)) {
        str_sprintf_s(data, maxn, "0.0.0.0:0");
        return data;
    }
    uint8_t f = family_of(ipaddr);
    if (f == OS_IPADDR_UNIX) {
        if (!PL_CHECK("pal", maxn >= OS_UNIXADDR_CSTR_MAXN)) return nullptr;
        return os_unixaddr_cstr(&ipaddr->unixaddr, data, maxn);
    }
    char ip[OS_IPV6_CSTR_MAXN];
    if (!os_ipaddr_ip_cstr(ipaddr, ip, sizeof ip)) return nullptr;
    bool v6 = f == OS_IPADDR_IPV6;
    str_sprintf_s(data, maxn, "%s%s%s:%u", v6 ? "[" : "", ip, v6 ? "]" : "", static_cast<unsigned>(ipaddr->port));
    return data;
}

char* os_ipaddr_host_cstr(const os_ipaddr* ipaddr, char* data, size_t maxn) {
    if (!os_ipaddr_cstr(ipaddr, data, maxn)) return nullptr;
    // A unix path has no port to cut.
    if (ipaddr->state == (OS_IPADDR_SET | OS_IPADDR_UNIX)) return data;
    if (char* colon = strrchr(data, ':')) *colon = 0;
    return data;
}

int os_ipaddr_ip_cstr_set(os_ipaddr* ipaddr, const char* text, uint8_t family) {
    if (!PL_CHECK_TEXT("pal", family_known(family), "0")) return 0;
    if (!text) {
        if (ipaddr) ipaddr->state = family;
        return 1;
    }
    os_ipaddr parsed{};
    if (!parse_family(&parsed, text, family)) return 0;
    if (ipaddr) os_ipaddr_ip_set(ipaddr, &parsed);
    return 1;
}

int os_ipaddr_set(os_ipaddr* ipaddr, const char* text, uint16_t port, uint8_t family) {
    if (!PL_CHECK("pal", ipaddr)) return 0;
    ipaddr->port = family == OS_IPADDR_UNIX ? 0 : port;
    return os_ipaddr_ip_cstr_set(ipaddr, text, family);
}

int os_ipaddr_unix_set_cstr(os_ipaddr* ipaddr, const char* path, uint8_t abstract) {
    if (!PL_CHECK("pal", ipaddr) || !PL_CHECK("pal", path)) return 0;
    os_unixaddr un{};
    if (!os_unixaddr_cstr_set(&un, path, abstract)) return 0;
    os_ipaddr_unix_set(ipaddr, &un);
    return 1;
}
