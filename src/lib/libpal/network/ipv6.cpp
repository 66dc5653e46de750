#include "libpal/network/ipv6.h"

#include <strings.h>

#include <cstring>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "libpal/network/ipv4.h"
#include "libpal/string/str_safe.h"

namespace {

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

bool is_linklocal(const uint8_t* a) { return a[0] == 0xfe && (a[1] & 0xc0) == 0x80; }
bool is_mc_linklocal(const uint8_t* a) { return a[0] == 0xff && (a[1] & 0x0f) == 2; }
// Addresses whose meaning depends on the interface: their scope id counts.
bool has_scope(const uint8_t* a) { return is_linklocal(a) || is_mc_linklocal(a); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "::ffff:a.b.c.d" and "::a.b.c.d". 1 with out filled, 0 when the text is
// not of these forms.
int parse_v4_embedded(const char* cstr, uint8_t out[16]) {
    if (strncmp(cstr, "::", 2) != 0) return 0;
    os_ipv4 v4;
    memset(out, 0, 16);
    if (strncasecmp(cstr, "::ffff:", 7) == 0 && os_ipv4_cstr_set(&v4, cstr + 7)) {
        out[10] = out[11] = 0xff;
    } else if (!os_ipv4_cstr_set(&v4, cstr + 2)) {
        return 0;
    }
    memcpy(out + 12, &v4.addr, 4);
    return 1;
}

// The decimal scope after "%": digits up to the first other character,
// held at the largest u32 value; 0 when the text starts with no digit
// (interface names are not looked up).
uint32_t parse_scope(const char* p) {
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(v);
}

// Groups of one to four hexadecimal digits separated by ":"; "true" with
// their values appended to out. An empty last group (the text ends with a
// single colon) reads as 0 when trailing_zero is set; any other empty group
// fails.
bool split_groups(std::string_view s, bool trailing_zero, uint16_t* out, size_t* n, size_t cap) {
    if (s.empty()) return true;
    for (;;) {
        size_t colon = s.find(':');
        std::string_view g = s.substr(0, colon);
        bool last = colon == std::string_view::npos;
        if (g.empty() && !(last && trailing_zero)) return false;
        if (g.size() > 4 || *n == cap) return false;
        unsigned v = 0;
        for (char c : g) {
            int h = hex_value(c);
            if (h < 0) return false;
            v = v * 16 + static_cast<unsigned>(h);
        }
        out[(*n)++] = static_cast<uint16_t>(v);
        if (last) return true;
        s.remove_prefix(colon + 1);
    }
}

// Groups with at most one "::" standing for one or more zero groups, then
// an optional "%" and scope.
int parse_groups(const char* cstr, uint8_t out[16], uint32_t* scope) {
    std::string_view s(cstr);
    const char* pct = nullptr;
    if (size_t at = s.find('%'); at != std::string_view::npos) {
        pct = cstr + at + 1;
        if (*pct == 0) return 0;
        s = s.substr(0, at);
    }
    if (s.empty() || s.find(":::") != std::string_view::npos) return 0;
    uint16_t before[8], after[8];
    size_t b = 0, k = 0;
    size_t gap = s.find("::");
    if (gap == std::string_view::npos) {
        if (!split_groups(s, true, before, &b, 8) || b != 8) return 0;
    } else {
        if (s.find("::", gap + 2) != std::string_view::npos) return 0;
        if (!split_groups(s.substr(0, gap), false, before, &b, 8)) return 0;
        if (!split_groups(s.substr(gap + 2), true, after, &k, 8)) return 0;
        bool ok = (b >= 1 && k >= 1 && b + k <= 7) || (k == 0 && b <= 6) || (b == 0 && k <= 6);
        if (!ok) return 0;
    }
    memset(out, 0, 16);
    for (size_t i = 0; i < b; ++i) {
        out[2 * i] = static_cast<uint8_t>(before[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(before[i]);
    }
    for (size_t i = 0; i < k; ++i) {
        size_t g = 8 - k + i;
        out[2 * g] = static_cast<uint8_t>(after[i] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(after[i]);
    }
    *scope = pct ? parse_scope(pct) : 0;
    return 1;
}

}  // namespace

void os_ipv6_clear(os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return;
    memset(ipv6, 0, sizeof *ipv6);
}

int os_ipv6_is_any(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return all_zero(ipv6->addr, 16);
}

int os_ipv6_is_loopback(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return all_zero(ipv6->addr, 15) && ipv6->addr[15] == 1;
}

int os_ipv6_is_linklocal(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return is_linklocal(ipv6->addr);
}

int os_ipv6_is_sitelocal(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return ipv6->addr[0] == 0xfe && ipv6->addr[1] >= 0xc0;
}

int os_ipv6_is_multicast(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return ipv6->addr[0] == 0xff;
}

int os_ipv6_is_mc_linklocal(const os_ipv6* ipv6) {
    if (!PL_CHECK("pal", ipv6)) return 1;
    return is_mc_linklocal(ipv6->addr);
}

int os_ipv6_is_equal(const os_ipv6* ipv6, const os_ipv6* other) {
    if (!PL_CHECK("pal", ipv6 && other)) return 0;
    if (memcmp(ipv6->addr, other->addr, 16) != 0) return 0;
    return !has_scope(ipv6->addr) || ipv6->scope_id == other->scope_id;
}

char* os_ipv6_cstr(const os_ipv6* ipv6, char* data, size_t maxn) {
    if (!PL_CHECK("pal", ipv6 && data && maxn >= OS_IPV6_CSTR_MAXN)) return nullptr;
    const uint8_t* a = ipv6->addr;
    auto g = [a](int i) { return static_cast<unsigned>(a[2 * i] << 8 | a[2 * i + 1]); };
    char scope[16] = "";
    if (has_scope(a)) str_sprintf_s(scope, sizeof scope, "%%%u", ipv6->scope_id);
    str_sprintf_s(data, maxn, "%04x:%04x:%04x:%04x:%04x:%04x:%04x:%04x%s", g(0), g(1), g(2), g(3), g(4), g(5), g(6),
                  g(7), scope);
    return data;
}

int os_ipv6_cstr_set(os_ipv6* ipv6, const char* cstr) {
    if (!PL_CHECK("pal", cstr)) return 0;
    uint8_t addr[16];
    if (parse_v4_embedded(cstr, addr)) {
        if (ipv6) memcpy(ipv6->addr, addr, 16);
        return 1;
    }
    uint32_t scope = 0;
    if (!parse_groups(cstr, addr, &scope)) return 0;
    if (ipv6) {
        ipv6->scope_id = scope;
        memcpy(ipv6->addr, addr, 16);
    }
    return 1;
}
