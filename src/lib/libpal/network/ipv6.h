// IPv6 addresses with a scope id: predicates, equality, the full text form
// and its parser.
#pragma once

#include <cstddef>
#include <cstdint>

// Smallest text buffer that os_ipv6_cstr accepts.
inline constexpr size_t OS_IPV6_CSTR_MAXN = 60;

struct os_ipv6 {
    uint32_t scope_id;
    uint8_t addr[16];  // network order
};

void os_ipv6_clear(os_ipv6* ipv6);
// Predicates: 1 when the address is of the kind (1 for a missing record,
// after the check message).
int os_ipv6_is_any(const os_ipv6* ipv6);           // ::
int os_ipv6_is_loopback(const os_ipv6* ipv6);      // ::1
int os_ipv6_is_linklocal(const os_ipv6* ipv6);     // fe80::/10
int os_ipv6_is_sitelocal(const os_ipv6* ipv6);     // fec0::/10
int os_ipv6_is_multicast(const os_ipv6* ipv6);     // ff00::/8
int os_ipv6_is_mc_linklocal(const os_ipv6* ipv6);  // ffx2::/16
// 1 when the addresses are equal and, for a link-local or multicast
// link-local address, the scope ids too (0 for a missing record).
int os_ipv6_is_equal(const os_ipv6* ipv6, const os_ipv6* other);
// All eight groups as four lower-case hexadecimal digits, never shortened,
// followed by "%" and the scope id for a link-local or multicast link-local
// address. None when maxn < OS_IPV6_CSTR_MAXN.
char* os_ipv6_cstr(const os_ipv6* ipv6, char* text, size_t maxn);
// 1 when cstr is an IPv6 address: eight groups of one to four hexadecimal
// digits, at most one "::" standing for one or more zero groups, then
// optionally "%" and a scope (its decimal value when it starts with a
// digit, else 0); or "::ffff:" or "::" followed by a dotted IPv4 address
// (these two keep the record's scope id). With no record only the test is
// made; a text that does not parse leaves the record untouched.
int os_ipv6_cstr_set(os_ipv6* ipv6, const char* cstr);
