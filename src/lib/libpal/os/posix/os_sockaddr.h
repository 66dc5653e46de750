// Conversion between the system's socket addresses and os_ipaddr records.
// Socket addresses are whole sockaddr_storage areas (128 bytes), zeroed by
// whoever fills them, so that no conversion reads or writes past the area.
#pragma once

#include <sys/socket.h>

#include <cstddef>

struct os_ipaddr;

// Fills ipaddr from saddr (AF_INET, AF_INET6 or AF_UNIX). Returns the length
// of the socket address used, or 0 (ipaddr cleared) for another family or a
// unix path that does not fit. An IPv6 scope id is kept only for link-local
// unicast and link-local multicast addresses. A unix path that starts with a
// zero byte is an abstract name; an empty one is an unnamed socket.
socklen_t os_sockaddr_save(os_ipaddr* ipaddr, const sockaddr_storage* saddr);
// The reverse: fills saddr (zeroed first) from ipaddr. Returns the length to
// pass to the system (for unix addresses exactly the name's length, as
// abstract names are told apart by it), or 0 for a record of no family or a
// path that does not fit. An unset record gives the any address.
socklen_t os_sockaddr_load(sockaddr_storage* saddr, const os_ipaddr* ipaddr);
