// IPv4 addresses: predicates, equality, the dotted text form and its parser.
#pragma once

#include <cstddef>
#include <cstdint>

// Smallest text buffer that os_ipv4_cstr accepts ("255.255.255.255" and its terminator).
inline constexpr size_t OS_IPV4_CSTR_MAXN = 16;

// An IPv4 address in network byte order: the first dotted part is the
// lowest-addressed byte.
struct os_ipv4 {
    uint32_t addr;
};

void os_ipv4_clear(os_ipv4* ipv4);
// 1 for 0.0.0.0 (and, after the check message, for a missing record).
int os_ipv4_is_any(const os_ipv4* ipv4);
// 1 for exactly 127.0.0.1 (0 for a missing record).
int os_ipv4_is_loopback(const os_ipv4* ipv4);
int os_ipv4_is_equal(const os_ipv4* ipv4, const os_ipv4* other);
// "%u.%u.%u.%u" into text; none when maxn < OS_IPV4_CSTR_MAXN.
char* os_ipv4_cstr(const os_ipv4* ipv4, char* text, size_t maxn);
// 1 when cstr is a dotted address: four decimal parts of at most 255
// separated by "."; an empty part reads as 0 ("1.2.3." is 1.2.3.0) and
// leading zeros are decimal. The parts read are stored into ipv4 (when
// given) even when the text turns out not to be an address.
int os_ipv4_cstr_set(os_ipv4* ipv4, const char* cstr);
