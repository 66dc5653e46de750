// TCP connects with a deadline, socket buffer sizes, no-delay and a stop
// request, direct or through a proxy; thin wrappers over the UDP sockets.
//
// Every socket is non-blocking. A connect waits in slices of at most
// 200 ms, so that a stop request or the deadline is noticed within one
// slice. Log tag "net".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libnet/proxy_conf.h"

struct stop_flag;
struct verr_info;
struct os_ipaddr;

// Longest wait of a connect between two looks at the stop request.
inline constexpr int32_t SOCK_CONNECT_SLICE_MS = 200;

// The options of one connect; zero the record, then fill what applies.
struct sock_opts {
    int32_t connect_timeout;  // ms
    uint32_t buf_size;        // receive and send buffer size; 0 keeps the system's
    uint32_t no_wait;         // non-zero: one connect call without waiting
    conf_proxy proxy;         // kind CONF_PROXY_NONE: a direct connection
    stop_flag* stop;          // stop request, or none
};

// Connects to host and port: through the options' proxy when its kind is
// not 0 (proxy_tcp_connect), else directly, trying each address the host
// resolves to within the one connect deadline. Returns the socket handle,
// or 0 with the error record (when given) filled:
//   -2 "addrinfo_addr %s failed"           the host does not resolve
//   errno "os_socket_init error: : ..."    no socket could be made
//   errno "connect %s : ..."               the connect or its wait failed
//   -1 "connect %s timeout"                the deadline was reached
//   -1 "User request stop"                 the stop request was seen
uint64_t sock_tcp_init(const char* host, uint16_t port, const sock_opts* opts, verr_info* err);

// A UDP socket connected to host and port, or 0 (error record filled when
// given, except for a failed socket creation).
uint64_t sock_udp_open(const char* host, uint16_t port, verr_info* err);
// Closes the socket. 0.
int sock_close(uint64_t sock);
// Shuts down reading (0), writing (1) or both (other values). 0 or -1.
int sock_shutdown(uint64_t sock, int how);
// The platform calls: bytes moved, 0 when nothing could move, -1 (errno).
int64_t sock_send(uint64_t sock, const void* data, size_t length);
int64_t sock_recv(uint64_t sock, void* buffer, size_t length);
int64_t sock_usend(uint64_t sock, const os_ipaddr* addr, const void* data, size_t length);
int64_t sock_urecv(uint64_t sock, os_ipaddr* addr, void* buffer, size_t length);
