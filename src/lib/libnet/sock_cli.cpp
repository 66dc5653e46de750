#include "libnet/sock_cli.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "libnet/net_priv.h"
#include "libnet/sock_proxy.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/stop_flag.h"
#include "libpal/basic/verr.h"
#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/addrinfo.h"
#include "libpal/os/posix/os_sockaddr.h"
#include "libpal/os/posix/os_socket.h"
#include "libpal/os/posix/os_socket_wait.h"
#include "liblog/log2.h"

namespace {

// Most addresses of one host that a connect tries.
constexpr size_t k_max_addrs = 16;

struct addrinfo_free {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Every stream address of host (in the resolver's order) with the port set.
size_t resolve_all(const char* host, uint16_t port, os_ipaddr* out, size_t max) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &raw) != 0) return 0;
    std::unique_ptr<addrinfo, addrinfo_free> answer(raw);
    size_t n = 0;
    for (const addrinfo* a = raw; a && n < max; a = a->ai_next) {
        if (!a->ai_addr || a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        sockaddr_storage ss{};
        memcpy(&ss, a->ai_addr, a->ai_addrlen);
        os_ipaddr found{};
        if (!os_sockaddr_save(&found, &ss)) continue;
        uint8_t family = os_ipaddr_family(&found);
        if (family != OS_IPADDR_IPV4 && family != OS_IPADDR_IPV6) continue;
        os_ipaddr_port_set(&found, port);
        bool seen = false;
        for (size_t i = 0; i < n; ++i) seen = seen || os_ipaddr_is_equal(&out[i], &found);
        if (!seen) out[n++] = found;
    }
    return n;
}

// How one address's attempt ended.
enum class attempt { connected, failed, final_failure };

// Socket options of a new connection; failures only warn.
void tune_socket(uint64_t sock, uint32_t buf_size) {
    if (buf_size) {
        const int size = static_cast<int>(std::min<uint32_t>(buf_size, INT_MAX));
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, size))
            LOG2(LOG2_WARN, "net", "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", size);
        if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, size))
            LOG2(LOG2_WARN, "net", "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", size);
    }
    if (!os_socket_ctrl(sock, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1))
        LOG2(LOG2_WARN, "net", "OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
}

// One address: the socket in *out when connected (or, with no-wait, when the
// one connect call did not fail).
attempt connect_addr(const os_ipaddr* addr, const sock_opts* opts, uint64_t start, verr_info* err,
                     uint64_t* out) {
    char shown[OS_IPADDR_CSTR_MAXN];
    os_ipaddr_cstr(addr, shown, sizeof shown);
    errno = 0;
    uint64_t sock = os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(addr));
    if (!sock) {
        int e = errno;
        NET_ERR(err, e, "os_socket_init error: : %s", os_errno_str(e));
        return attempt::failed;
    }
    tune_socket(sock, opts->buf_size);

    if (opts->no_wait) {
        if (os_socket_connect(sock, addr) >= 0) {
            *out = sock;
            return attempt::connected;
        }
        os_socket_exit(sock);
        return attempt::failed;
    }

    for (;;) {
        int c = os_socket_connect(sock, addr);
        if (c > 0) {
            *out = sock;
            return attempt::connected;
        }
        if (c < 0) {
            int e = errno;
            NET_ERR(err, e, "connect %s : %s", shown, os_errno_str(e));
            os_socket_exit(sock);
            return attempt::failed;
        }
        for (;;) {
            const int64_t elapsed = net_elapsed_ms(start);
            if (elapsed >= opts->connect_timeout) {
                NET_ERR(err, VERR_GENERAL_FAILURE, "connect %s timeout", shown);
                os_socket_exit(sock);
                return attempt::final_failure;
            }
            if (pl_stop_requested(opts->stop, opts->connect_timeout)) {
                NET_ERR(err, VERR_GENERAL_FAILURE, "User request stop");
                os_socket_exit(sock);
                return attempt::final_failure;
            }
            const int64_t slice = std::min<int64_t>(SOCK_CONNECT_SLICE_MS, opts->connect_timeout - elapsed);
            int w = os_socket_wait(sock, OS_SOCKET_WAIT_WRITE, slice);
            if (w < 0) {
                int e = errno;
                NET_ERR(err, e, "connect %s : %s", shown, os_errno_str(e));
                os_socket_exit(sock);
                return attempt::failed;
            }
            if (w & OS_SOCKET_WAIT_WRITE) break;
        }
    }
}

}  // namespace

uint64_t sock_tcp_init(const char* host, uint16_t port, const sock_opts* opts, verr_info* err) {
    if (!PL_CHECK("net", host && opts)) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "invalid parameter");
        return 0;
    }
    if (opts->proxy.kind != CONF_PROXY_NONE) return proxy_tcp_connect(host, port, opts, err);

    os_ipaddr addrs[k_max_addrs];
    const size_t n = resolve_all(host, port, addrs, k_max_addrs);
    if (n == 0) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s failed", host);
        return 0;
    }
    // One deadline for every address: a host whose first address refuses
    // (a name that resolves to ::1 first while the server listens on
    // 127.0.0.1 only) is still reached on the next one.
    const uint64_t start = net_now_us();
    for (size_t i = 0; i < n; ++i) {
        uint64_t sock = 0;
        switch (connect_addr(&addrs[i], opts, start, err, &sock)) {
        case attempt::connected: return sock;
        case attempt::final_failure: return 0;
        case attempt::failed: break;
        }
    }
    return 0;
}

uint64_t sock_udp_open(const char* host, uint16_t port, verr_info* err) {
    if (!PL_CHECK("net", host)) return 0;
    os_ipaddr addr{};
    os_ipaddr_port_set(&addr, port);
    if (!os_addrinfo_addr(host, &addr)) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s failed", host);
        return 0;
    }
    os_ipaddr_port_set(&addr, port);
    uint64_t sock = os_socket_init(OS_SOCKET_UDP, os_ipaddr_family(&addr));
    if (!sock) return 0;
    if (os_socket_connect(sock, &addr) < 0) {
        int e = errno;
        char shown[OS_IPADDR_CSTR_MAXN];
        os_ipaddr_cstr(&addr, shown, sizeof shown);
        NET_ERR(err, e, "connect %s : %s", shown, os_errno_str(e));
        os_socket_exit(sock);
        return 0;
    }
    return sock;
}

int sock_close(uint64_t sock) {
    if (sock) os_socket_exit(sock);
    return 0;
}

int sock_shutdown(uint64_t sock, int how) { return os_socket_kill(sock, how) ? 0 : -1; }

int64_t sock_send(uint64_t sock, const void* data, size_t length) { return os_socket_send(sock, data, length); }
int64_t sock_recv(uint64_t sock, void* buffer, size_t length) { return os_socket_recv(sock, buffer, length); }
int64_t sock_usend(uint64_t sock, const os_ipaddr* addr, const void* data, size_t length) {
    return os_socket_usend(sock, addr, data, length);
}
int64_t sock_urecv(uint64_t sock, os_ipaddr* addr, void* buffer, size_t length) {
    return os_socket_urecv(sock, addr, buffer, length);
}
