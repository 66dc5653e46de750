// Connected UDP sockets: the transport of the logger's syslog and binary
// log records.
#pragma once

#include <cstddef>
#include <cstdint>

// Resolves host and port for datagrams and connects a new non-blocking
// socket to the first address found. The handle (descriptor plus one), or 0
// (a failed resolution is logged at dbg).
uint64_t os_udp_open(const char* host, int port);
void os_udp_close(uint64_t sock);
// Sends one datagram: the bytes sent, or -1 (errno kept; also when the
// socket's buffer is full).
int64_t os_udp_send(uint64_t sock, const void* data, size_t length);
