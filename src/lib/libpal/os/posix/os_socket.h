// Sockets: thin wrappers over the system's sockets taking os_ipaddr records.
//
// A socket handle is the descriptor plus 1 (0: no socket). Every socket
// made here is non-blocking and closed on exec. Transfers move what the
// system takes at once: they return the byte count, 0 when the call would
// block or was interrupted (and for a length of 0), and -1 with errno kept
// for any other failure. A receive of 0 bytes for a non-empty request is
// either "nothing there" or "peer closed": a readiness wait tells them apart.
// Sends never raise SIGPIPE: a closed connection fails with EPIPE.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

struct os_ipaddr;

// Type words: the kind in the high byte, the protocol in the low byte.
enum : uint32_t {
    OS_SOCKET_STREAM = 0x100,
    OS_SOCKET_DGRAM = 0x200,
    OS_SOCKET_RAW = 0x300,
    OS_SOCKET_PROTO_TCP = 1,
    OS_SOCKET_PROTO_UDP = 2,
    OS_SOCKET_PROTO_ICMP = 3,  // ICMP for IPv4, ICMPv6 for IPv6
    OS_SOCKET_TCP = OS_SOCKET_STREAM | OS_SOCKET_PROTO_TCP,
    OS_SOCKET_UDP = OS_SOCKET_DGRAM | OS_SOCKET_PROTO_UDP,
};

// Control codes of os_socket_ctrl (the argument type in brackets).
enum : uint32_t {
    OS_SOCKET_CTRL_SET_BLOCK = 0,           // [int] non-zero: blocking
    OS_SOCKET_CTRL_GET_BLOCK = 1,           // [uint8_t*] 1 when blocking
    OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE = 2,  // [int] SO_RCVBUF
    OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE = 3,  // [int*]
    OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE = 4,  // [int] SO_SNDBUF
    OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE = 5,  // [int*]
    OS_SOCKET_CTRL_SET_TCP_NODELAY = 6,     // [int]
    OS_SOCKET_CTRL_GET_TCP_NODELAY = 7,     // [int*]
    OS_SOCKET_CTRL_SET_TCP_KEEPINTVL = 8,   // [int] seconds between keep-alive probes
    OS_SOCKET_CTRL_SET_KEEPALIVE = 9,       // [int] SO_KEEPALIVE
    OS_SOCKET_CTRL_SET_NOSIGPIPE = 10,      // [int] accepted; sends never raise SIGPIPE anyway
    OS_SOCKET_CTRL_SET_TCP_KEEPCNT = 12,    // [int] keep-alive probe count
    OS_SOCKET_CTRL_ADD_MEMBERSHIP = 13,     // [const char*] IPv4 multicast group to join on any interface
};

// Ignores SIGPIPE for the whole process. 1, or 0 when that fails.
int os_socket_init_env();
void os_socket_exit_env();

// A new socket of the type word's kind and protocol in the family (1 IPv4,
// 2 IPv6, 3 unix; others IPv4). The handle, or 0 with errno kept.
uint64_t os_socket_init(uint32_t type, uint8_t family);
// A connected pair of unix sockets of the type word's kind. 1 or 0.
int os_socket_pair(uint32_t type, uint64_t pair[2]);

// Socket options by control code; 1 done, 0 failed (errno kept) or a code
// that does not exist or does not take this argument type.
int os_socket_ctrl(uint64_t sock, uint32_t code, int value);
int os_socket_ctrl(uint64_t sock, uint32_t code, int* out);
int os_socket_ctrl(uint64_t sock, uint32_t code, uint8_t* out);
int os_socket_ctrl(uint64_t sock, uint32_t code, const char* text);

// 1 connected (also when it already was), 0 in progress (wait for the
// socket to become writable and call again), -1 failed with errno kept.
int os_socket_connect(uint64_t sock, const os_ipaddr* addr);

int64_t os_socket_send(uint64_t sock, const void* data, size_t length);
int64_t os_socket_recv(uint64_t sock, void* buffer, size_t length);
// One datagram to addr (which must hold an address) / from anyone, the
// sender stored in addr when given.
int64_t os_socket_usend(uint64_t sock, const os_ipaddr* addr, const void* data, size_t length);
int64_t os_socket_urecv(uint64_t sock, os_ipaddr* addr, void* buffer, size_t length);

// Shuts down reading (0), writing (1) or both (other values). 1 or 0.
int os_socket_kill(uint64_t sock, int how);
// Closes the socket. 1 or 0.
int os_socket_exit(uint64_t sock);

// Server side and vectored forms.
// Binds with SO_REUSEADDR (and SO_REUSEPORT for a non-zero port; IPv6
// sockets take IPv6 only). 1 or 0.
int os_socket_bind(uint64_t sock, const os_ipaddr* addr);
int os_socket_listen(uint64_t sock, int backlog);
// The new connection (non-blocking, TCP_NODELAY on for TCP), its peer in
// addr when given; 0 when none is waiting or on failure (errno kept).
uint64_t os_socket_accept(uint64_t sock, os_ipaddr* addr);
// The local address of the socket. 1 or 0.
int os_socket_local(uint64_t sock, os_ipaddr* addr);
int64_t os_socket_recvv(uint64_t sock, const iovec* list, size_t size);
int64_t os_socket_sendv(uint64_t sock, const iovec* list, size_t size);
int64_t os_socket_urecvv(uint64_t sock, os_ipaddr* addr, const iovec* list, size_t size);
int64_t os_socket_usendv(uint64_t sock, const os_ipaddr* addr, const iovec* list, size_t size);
