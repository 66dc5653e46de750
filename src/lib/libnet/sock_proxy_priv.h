// The handshakes of the proxy connect, each over the socket to the proxy.
#pragma once

#include <cstdint>

#include "libnet/net_chan.h"

struct conf_proxy;
struct verr_info;

// The socket to the proxy wrapped as a channel, and the handshake's deadline.
struct proxy_tunnel {
    net_chan chan;
    uint64_t start;     // net_now_us
    int32_t budget_ms;  // the connect timeout
    bool stopped;       // a read or write gave way to the stop request
};

// What is left of the deadline, never negative.
int32_t proxy_tunnel_left_ms(const proxy_tunnel& t);
// Exactly len bytes within what is left of the deadline; the count (or -1)
// through got when given.
bool proxy_tunnel_read(proxy_tunnel& t, void* buf, uint32_t len, int32_t* got = nullptr);
bool proxy_tunnel_write(proxy_tunnel& t, const void* buf, uint32_t len);

// 0, or -1 with the error record filled.
int proxy_http_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err);
int proxy_socks4_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err);
int proxy_socks5_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err);
