// Loopback peers for the network log outputs: a UDP receiver and a TCP
// listener on 127.0.0.1, with waits bounded for things that must arrive.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace log_net_peer {

// Waits at most ms for fd to become readable.
inline bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

inline int bind_loopback(int type, int* port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

struct udp_receiver {
    int fd = -1;
    int port = 0;
    udp_receiver() { fd = bind_loopback(SOCK_DGRAM, &port); }
    ~udp_receiver() {
        if (fd >= 0) close(fd);
    }
    udp_receiver(const udp_receiver&) = delete;
    udp_receiver& operator=(const udp_receiver&) = delete;
    // The next datagram, waiting at most ms; empty when none came.
    std::vector<uint8_t> next(int ms = 5000) const {
        if (!readable(fd, ms)) return {};
        std::vector<uint8_t> b(65536);
        ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    std::string next_text(int ms = 5000) const {
        auto b = next(ms);
        return std::string(b.begin(), b.end());
    }
};

struct tcp_listener {
    int fd = -1;
    int port = 0;
    explicit tcp_listener(int backlog = 16) {
        fd = bind_loopback(SOCK_STREAM, &port);
        if (fd >= 0 && listen(fd, backlog) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~tcp_listener() {
        if (fd >= 0) close(fd);
    }
    tcp_listener(const tcp_listener&) = delete;
    tcp_listener& operator=(const tcp_listener&) = delete;
    // The next connection, waiting at most ms; -1 when none came.
    int accept_within(int ms = 5000) const {
        if (!readable(fd, ms)) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::string url(const char* scheme = "tcp") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    }
};

// Reads from a stream until count zero bytes (message ends) arrived or
// nothing more comes within ms.
inline std::string read_messages(int fd, int count, int ms = 5000) {
    std::string got;
    int zeros = 0;
    char buf[4096];
    while (zeros < count && readable(fd, ms)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) zeros += buf[i] == 0;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace log_net_peer
