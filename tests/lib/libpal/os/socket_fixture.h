// Helpers of the socket tests: owned handles, loopback listeners and
// connected pairs, all waited for with generous limits (never slept for).
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/os_socket.h"
#include "libpal/os/posix/os_socket_wait.h"

// Limit of every wait that only guards against a hang.
inline constexpr int64_t k_hang_ms = 20000;

// A socket handle closed when it goes.
class sock_ptr {
public:
    sock_ptr() = default;
    explicit sock_ptr(uint64_t h) : h_(h) {}
    ~sock_ptr() { reset(); }
    sock_ptr(sock_ptr&& o) noexcept : h_(std::exchange(o.h_, 0)) {}
    sock_ptr& operator=(sock_ptr&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, 0);
        }
        return *this;
    }
    uint64_t get() const { return h_; }
    int fd() const { return static_cast<int>(h_) - 1; }
    uint64_t release() { return std::exchange(h_, 0); }
    void reset() {
        if (h_) os_socket_exit(h_);
        h_ = 0;
    }
    explicit operator bool() const { return h_ != 0; }

private:
    uint64_t h_ = 0;
};

// A record for an address text and port (family 0: IPv4 then IPv6).
inline os_ipaddr addr_of(const char* text, uint16_t port, uint8_t family = OS_IPADDR_NONE) {
    os_ipaddr a;
    memset(&a, 0, sizeof a);
    EXPECT_EQ(os_ipaddr_set(&a, text, port, family), 1) << text;
    return a;
}

// True when this machine can bind ::1.
inline bool ipv6_loopback_available() {
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A bound socket of the type on ip (port 0 picks one); its local address in
// *bound.
inline sock_ptr bound_socket(uint32_t type, const char* ip, os_ipaddr* bound) {
    os_ipaddr a = addr_of(ip, 0);
    sock_ptr s(os_socket_init(type, os_ipaddr_family(&a)));
    if (!s) return {};
    if (!os_socket_bind(s.get(), &a) || !os_socket_local(s.get(), bound)) return {};
    return s;
}

// A TCP listener on ip; its address in *bound.
inline sock_ptr tcp_listener(const char* ip, os_ipaddr* bound) {
    sock_ptr s = bound_socket(OS_SOCKET_TCP, ip, bound);
    if (s && !os_socket_listen(s.get(), 16)) return {};
    return s;
}

// Connects sock to addr the way the network channels do: connect, wait for
// writability, connect again. The last connect result (1, or -1 with errno).
inline int connect_and_wait(uint64_t sock, const os_ipaddr* addr) {
    for (;;) {
        int r = os_socket_connect(sock, addr);
        if (r != 0) return r;
        int w = os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, k_hang_ms);
        if (w < 0) return -1;
        if (w == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
}

// Accepts one connection, waiting for it.
inline sock_ptr accept_one(uint64_t listener, os_ipaddr* peer = nullptr) {
    for (;;) {
        uint64_t h = os_socket_accept(listener, peer);
        if (h) return sock_ptr(h);
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {};
        if (os_socket_wait(listener, OS_SOCKET_WAIT_READ, k_hang_ms) < 1) return {};
    }
}

// A connected TCP pair over ip (client, server side).
inline std::pair<sock_ptr, sock_ptr> tcp_pair(const char* ip) {
    os_ipaddr bound;
    sock_ptr l = tcp_listener(ip, &bound);
    if (!l) return {};
    sock_ptr c(os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&bound)));
    if (!c || connect_and_wait(c.get(), &bound) != 1) return {};
    sock_ptr s = accept_one(l.get());
    return {std::move(c), std::move(s)};
}
