// Network address records: one IPv4, IPv6 or unix-socket address with a
// port, their comparison, text forms and parsing, and the conversions
// between IPv4 and IPv4-mapped IPv6 (::ffff:a.b.c.d).
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/network/ipv4.h"
#include "libpal/network/ipv6.h"
#include "libpal/network/unixaddr.h"

// Smallest text buffer that os_ipaddr_cstr accepts ("[v6%scope]:port").
inline constexpr size_t OS_IPADDR_CSTR_MAXN = 80;

// Families of a record.
enum : uint8_t {
    OS_IPADDR_NONE = 0,
    OS_IPADDR_IPV4 = 1,
    OS_IPADDR_IPV6 = 2,
    OS_IPADDR_UNIX = 3,
};
// Bit of the state byte that says an address is set; the low seven bits
// hold the family.
inline constexpr uint8_t OS_IPADDR_SET = 0x80;
inline constexpr uint8_t OS_IPADDR_FAMILY_MASK = 0x7f;

// A family and port, with or without an address: a record without one
// (OS_IPADDR_SET clear) stands for any address of its family.
struct os_ipaddr {
    uint8_t state;
    uint16_t port;  // host byte order
    union {
        os_ipv4 ipv4;
        os_ipv6 ipv6;
        os_unixaddr unixaddr;
    };
};

// Whole record empty (no family, port 0).
void os_ipaddr_clear(os_ipaddr* ipaddr);
// Drops the address only; family and port stay.
void os_ipaddr_ip_clear(os_ipaddr* ipaddr);
// A set source is copied whole. An unset source gives its family and port;
// the destination keeps its address only when that is of the same family.
void os_ipaddr_copy(os_ipaddr* ipaddr, const os_ipaddr* copied);
// 1 when no address is set (1 for a missing record).
int os_ipaddr_is_empty(const os_ipaddr* ipaddr);
int os_ipaddr_ip_is_empty(const os_ipaddr* ipaddr);
// Ports equal and addresses equal (os_ipaddr_ip_is_equal).
int os_ipaddr_is_equal(const os_ipaddr* ipaddr, const os_ipaddr* other);
// Addresses equal: both unset, or the same address, where an IPv4 address
// equals its IPv4-mapped IPv6 form. Ports are not compared.
int os_ipaddr_ip_is_equal(const os_ipaddr* ipaddr, const os_ipaddr* other);

uint8_t os_ipaddr_family(const os_ipaddr* ipaddr);
uint16_t os_ipaddr_port(const os_ipaddr* ipaddr);
void os_ipaddr_port_set(os_ipaddr* ipaddr, uint16_t port);
// Changes the family: IPv4 to IPv6 maps the address (::ffff:a.b.c.d), IPv6
// to IPv4 takes back a mapped address and drops any other; changes to or
// from unix are refused (0). Family 0 empties the state. 1 done, 0 refused.
int os_ipaddr_family_set(os_ipaddr* ipaddr, uint8_t family);

// Set the address part (the port stays). os_ipaddr_ipv4_set with none and
// os_ipaddr_ip_set with none drop the address.
void os_ipaddr_ipv4_set(os_ipaddr* ipaddr, const os_ipv4* ipv4);
void os_ipaddr_ipv6_set(os_ipaddr* ipaddr, const os_ipv6* ipv6);
void os_ipaddr_unix_set(os_ipaddr* ipaddr, const os_unixaddr* unixaddr);
// Takes the family and address of other. 1, or 0 for a record of no family.
int os_ipaddr_ip_set(os_ipaddr* ipaddr, const os_ipaddr* other);

// The address part of a set record. os_ipaddr_ipv4 converts an IPv4-mapped
// IPv6 record to IPv4 in place; os_ipaddr_ipv6 converts an IPv4 record to
// its mapped IPv6 form in place. None for another family or no address.
os_ipv4* os_ipaddr_ipv4(os_ipaddr* ipaddr);
os_ipv6* os_ipaddr_ipv6(os_ipaddr* ipaddr);
os_unixaddr* os_ipaddr_unix(os_ipaddr* ipaddr);

// ::ffff:a.b.c.d with scope 0.
void os_ipaddr_ipv4_to_ipv6(const os_ipv4* ipv4, os_ipv6* ipv6);
// 1 with the IPv4 address when ipv6 is IPv4-mapped, else 0.
int os_ipaddr_ipv6_to_ipv4(const os_ipv6* ipv6, os_ipv4* ipv4);

// The address without port; an unset record gives "0.0.0.0", "::" or an
// empty text by its family. maxn must reach the family's minimum.
char* os_ipaddr_ip_cstr(const os_ipaddr* ipaddr, char* text, size_t maxn);
// "a.b.c.d:port", "[v6]:port", or the unix path; "0.0.0.0:0" for an unset
// record. None when maxn < OS_IPADDR_CSTR_MAXN (OS_UNIXADDR_CSTR_MAXN for a
// unix record).
char* os_ipaddr_cstr(const os_ipaddr* ipaddr, char* text, size_t maxn);
// os_ipaddr_cstr without the ":port".
char* os_ipaddr_host_cstr(const os_ipaddr* ipaddr, char* text, size_t maxn);

// Parses text as an address of the family (1 IPv4, 2 IPv6, 3 unix path,
// 0 IPv4 then IPv6) into the record, keeping its port: 1 done, 0 when the
// text does not parse (record untouched). With no record only the test is
// made; with no text the record becomes an unset record of the family (1).
int os_ipaddr_ip_cstr_set(os_ipaddr* ipaddr, const char* text, uint8_t family);
// Sets the port (0 for unix) and then the address as os_ipaddr_ip_cstr_set.
int os_ipaddr_set(os_ipaddr* ipaddr, const char* text, uint16_t port, uint8_t family);
// A unix address from a path of fewer than 108 characters (the port stays).
int os_ipaddr_unix_set_cstr(os_ipaddr* ipaddr, const char* path, uint8_t abstract);
