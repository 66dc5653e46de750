// Name resolution into os_ipaddr records.
#pragma once

#include <cstddef>

struct os_ipaddr;

// Resolves name (a host name or a numeric address) for stream sockets in
// the record's family (1 IPv4 only, 2 IPv6 only, else either), with the
// record's port as the service when it is not 0, and stores the first answer
// (family, address, port) in the record. 1, or 0 when nothing resolves.
// Blocks for as long as the resolver takes.
int os_addrinfo_addr(const char* name, os_ipaddr* addr);
// The host name of the record's address (reverse lookup, a name required),
// or none.
char* os_addrinfo_name(const os_ipaddr* addr, char* name, size_t maxn);
