// Tunnels through a proxy: HTTP CONNECT, SOCKS4 (with the SOCKS4a form) and
// SOCKS5 with user name and password authentication. Log tag "net".
#pragma once

#include <cstdint>

struct sock_opts;
struct verr_info;

// Longest header block of an HTTP CONNECT reply that is read and dropped.
inline constexpr uint32_t PROXY_HTTP_HEADER_MAX = 16384;

// Connects to the options' proxy (connect timeout, buffer size and stop
// request of the options) and opens a tunnel to host and port. The whole
// handshake has one deadline of the connect timeout and gives way to the
// stop request. Returns the socket, now a byte stream to the target, or 0
// with the error record filled (the socket to the proxy closed). The
// options are not changed.
uint64_t proxy_tcp_connect(const char* host, uint16_t port, const sock_opts* opts, verr_info* err);
