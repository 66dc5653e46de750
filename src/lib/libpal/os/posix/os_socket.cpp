#include "libpal/os/posix/os_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/network/ipaddr.h"
#include "libpal/os/posix/os_sockaddr.h"
#include "liblog/log2.h"

namespace {

// The descriptor of a handle, or -1 (errno EBADF) for a handle that cannot
// hold one.
int sock_fd(uint64_t sock) {
    if (sock == 0 || sock - 1 > static_cast<uint64_t>(INT_MAX)) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(sock - 1);
}

uint64_t fd_handle(int fd) { return static_cast<uint64_t>(fd) + 1; }

// The socket's descriptor with addr loaded into ss (its length in *len), or
// -1 (EINVAL for an address that cannot be loaded).
int addressed_fd(uint64_t sock, const os_ipaddr* addr, sockaddr_storage* ss, socklen_t* len) {
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    *len = os_sockaddr_load(ss, addr);
    if (!*len) {
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// One call moves less than 2 GiB.
size_t clamp_len(size_t n) { return n > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : n; }

// The byte result of a transfer: the count, 0 for a call that would block or
// was interrupted, -1 (errno kept) for any other failure.
int64_t io_result(ssize_t r) {
    if (r >= 0) return r;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
}

int os_socket_type(uint32_t type) {
    switch (type >> 8 & 0xff) {
    case 1: return SOCK_STREAM;
    case 2: return SOCK_DGRAM;
    case 3: return SOCK_RAW;
    default: return -1;
    }
}

int os_socket_proto(uint32_t type, uint8_t family) {
    if (family == OS_IPADDR_UNIX) return 0;
    switch (type & 0xff) {
    case 1: return IPPROTO_TCP;
    case 2: return IPPROTO_UDP;
    case 3:
        if (family == OS_IPADDR_IPV4) return IPPROTO_ICMP;
        if (family == OS_IPADDR_IPV6) return IPPROTO_ICMPV6;
        PL_CHECK_TEXT("pal", false, "0");
        return -1;
    default: return -1;
    }
}

int os_socket_af(uint8_t family) {
    switch (family) {
    case OS_IPADDR_IPV6: return AF_INET6;
    case OS_IPADDR_UNIX: return AF_UNIX;
    default: return AF_INET;
    }
}

int set_int_opt(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

int get_int_opt(int fd, int level, int name, int* out) {
    socklen_t len = sizeof *out;
    return getsockopt(fd, level, name, out, &len) == 0;
}

int set_block(int fd, bool block) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return 0;
    int want = block ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
    return want == fl || fcntl(fd, F_SETFL, want) == 0;
}

int join_group(int fd, const char* text) {
    os_ipv4 group{};
    if (!os_ipv4_cstr_set(&group, text)) {
        errno = EINVAL;
        return 0;
    }
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = group.addr;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
}

// The argument of one os_socket_ctrl call, by the overload that took it.
struct ctrl_arg {
    bool has_value = false;
    int value = 0;
    int* pint = nullptr;
    uint8_t* pu8 = nullptr;
    const char* text = nullptr;
};

int ctrl_impl(uint64_t sock, uint32_t code, const ctrl_arg& a) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return 0;
    auto setter = [&](int level, int name) {
        if (!PL_CHECK_TEXT("pal", a.has_value, "value")) return 0;
        return set_int_opt(fd, level, name, a.value);
    };
    auto getter = [&](int level, int name, const char* arg_name) {
        if (!PL_CHECK_TEXT("pal", a.pint, arg_name)) return 0;
        return get_int_opt(fd, level, name, a.pint);
    };
    switch (code) {
    case OS_SOCKET_CTRL_SET_BLOCK:
        if (!PL_CHECK_TEXT("pal", a.has_value, "value")) return 0;
        return set_block(fd, a.value != 0);
    case OS_SOCKET_CTRL_GET_BLOCK: {
        if (!PL_CHECK_TEXT("pal", a.pu8, "pis_block")) return 0;
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0) return 0;
        *a.pu8 = (fl & O_NONBLOCK) ? 0 : 1;
        return 1;
    }
    case OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE: return setter(SOL_SOCKET, SO_RCVBUF);
    case OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE: return getter(SOL_SOCKET, SO_RCVBUF, "pbuff_size");
    case OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE: return setter(SOL_SOCKET, SO_SNDBUF);
    case OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE: return getter(SOL_SOCKET, SO_SNDBUF, "pbuff_size");
    case OS_SOCKET_CTRL_SET_TCP_NODELAY: return setter(IPPROTO_TCP, TCP_NODELAY);
    case OS_SOCKET_CTRL_GET_TCP_NODELAY: return getter(IPPROTO_TCP, TCP_NODELAY, "penable");
    case OS_SOCKET_CTRL_SET_TCP_KEEPINTVL: return setter(IPPROTO_TCP, TCP_KEEPINTVL);
    case OS_SOCKET_CTRL_SET_KEEPALIVE: return setter(SOL_SOCKET, SO_KEEPALIVE);
    case OS_SOCKET_CTRL_SET_NOSIGPIPE:
        // Every send passes MSG_NOSIGNAL, so no socket raises SIGPIPE.
        return PL_CHECK_TEXT("pal", a.has_value, "value") ? 1 : 0;
    case OS_SOCKET_CTRL_SET_TCP_KEEPCNT: return setter(IPPROTO_TCP, TCP_KEEPCNT);
    case OS_SOCKET_CTRL_ADD_MEMBERSHIP:
        if (!PL_CHECK_TEXT("pal", a.text, "text")) return 0;
        return join_group(fd, a.text);
    default:
        LOG2(LOG2_ERR, "pal", "unknown socket ctrl: %lu\n", static_cast<unsigned long>(code));
        return 0;
    }
}

// Stores the peer address of a receive when the caller asked for it.
void save_peer(os_ipaddr* addr, const sockaddr_storage& ss, socklen_t len) {
    if (!addr) return;
    if (len == 0) {
        os_ipaddr_clear(addr);
        return;
    }
    os_sockaddr_save(addr, &ss);
}

}  // namespace

int os_socket_init_env() { return signal(SIGPIPE, SIG_IGN) == SIG_ERR ? 0 : 1; }

void os_socket_exit_env() {}

uint64_t os_socket_init(uint32_t type, uint8_t family) {
    if (!PL_CHECK("pal", type)) return 0;
    int t = os_socket_type(type);
    int p = os_socket_proto(type, family);
    PL_CHECK("pal", t >= 0 && p >= 0);
    int fd = socket(os_socket_af(family), t | SOCK_NONBLOCK | SOCK_CLOEXEC, p);
    if (!PL_CHECK("pal", fd >= 0)) return 0;
    return fd_handle(fd);
}

int os_socket_pair(uint32_t type, uint64_t pair[2]) {
    if (!PL_CHECK("pal", type && pair)) return 0;
    int t = os_socket_type(type);
    if (!PL_CHECK("pal", t >= 0)) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, t | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    pair[0] = fd_handle(fds[0]);
    pair[1] = fd_handle(fds[1]);
    return 1;
}

int os_socket_ctrl(uint64_t sock, uint32_t code, int value) {
    ctrl_arg a;
    a.has_value = true;
    a.value = value;
    return ctrl_impl(sock, code, a);
}

int os_socket_ctrl(uint64_t sock, uint32_t code, int* out) {
    ctrl_arg a;
    a.pint = out;
    return ctrl_impl(sock, code, a);
}

int os_socket_ctrl(uint64_t sock, uint32_t code, uint8_t* out) {
    ctrl_arg a;
    a.pu8 = out;
    return ctrl_impl(sock, code, a);
}

int os_socket_ctrl(uint64_t sock, uint32_t code, const char* text) {
    ctrl_arg a;
    a.text = text;
    return ctrl_impl(sock, code, a);
}

int os_socket_connect(uint64_t sock, const os_ipaddr* addr) {
    if (!PL_CHECK("pal", sock && addr)) return -1;
    if (!PL_CHECK("pal", !os_ipaddr_is_empty(addr))) return -1;
    sockaddr_storage ss;
    socklen_t len = 0;
    int fd = addressed_fd(sock, addr, &ss, &len);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ss), len) == 0) return 1;
    switch (errno) {
    case EISCONN: return 1;
    case EINPROGRESS:
    case EALREADY:
    case EAGAIN:
    case EINTR: return 0;
    default: return -1;
    }
}

int64_t os_socket_send(uint64_t sock, const void* data, size_t length) {
    if (!PL_CHECK("pal", sock && data)) return -1;
    if (length == 0) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    return io_result(send(fd, data, clamp_len(length), MSG_NOSIGNAL));
}

int64_t os_socket_recv(uint64_t sock, void* buffer, size_t length) {
    if (!PL_CHECK_TEXT("pal", sock && buffer, "sock && data")) return -1;
    if (length == 0) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    return io_result(recv(fd, buffer, clamp_len(length), 0));
}

int64_t os_socket_usend(uint64_t sock, const os_ipaddr* addr, const void* data, size_t length) {
    if (!PL_CHECK("pal", sock && addr && data)) return -1;
    if (!PL_CHECK("pal", !os_ipaddr_is_empty(addr))) return -1;
    if (length == 0) return 0;
    sockaddr_storage ss;
    socklen_t len = 0;
    int fd = addressed_fd(sock, addr, &ss, &len);
    if (fd < 0) return -1;
    return io_result(
        sendto(fd, data, clamp_len(length), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&ss), len));
}

int64_t os_socket_urecv(uint64_t sock, os_ipaddr* addr, void* buffer, size_t length) {
    if (!PL_CHECK_TEXT("pal", sock && buffer, "sock && data")) return -1;
    // A read of nothing would still take a datagram off the queue.
    if (length == 0) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ssize_t r = recvfrom(fd, buffer, clamp_len(length), 0, reinterpret_cast<sockaddr*>(&ss), &len);
    if (r >= 0) save_peer(addr, ss, len);
    return io_result(r);
}

int os_socket_kill(uint64_t sock, int how) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    int mode = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (fd < 0 || shutdown(fd, mode) != 0) {
        LOG2(LOG2_ERR, "pal", "kill: %p failed, errno: %d\n", reinterpret_cast<void*>(sock), errno);
        return 0;
    }
    return 1;
}

int os_socket_exit(uint64_t sock) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    // Linux frees the descriptor even when close reports EINTR: never retry.
    if (fd < 0 || close(fd) != 0) {
        LOG2(LOG2_ERR, "pal", "close: %p failed, errno: %d\n", reinterpret_cast<void*>(sock), errno);
        return 0;
    }
    return 1;
}

int os_socket_bind(uint64_t sock, const os_ipaddr* addr) {
    if (!PL_CHECK("pal", sock && addr)) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return 0;
    if (!set_int_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1)) LOG2(LOG2_DBG | LOG2_ERRNO, "pal", "reuseaddr: error: ");
    uint16_t port = os_ipaddr_port(addr);
    if (port && !set_int_opt(fd, SOL_SOCKET, SO_REUSEPORT, 1))
        LOG2(LOG2_DBG | LOG2_ERRNO, "pal", "reuseport: %u error: ", static_cast<unsigned>(port));
    if (os_ipaddr_family(addr) == OS_IPADDR_IPV6 && !set_int_opt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1))
        LOG2(LOG2_DBG | LOG2_ERRNO, "pal", "set only ipv6 error: ");
    sockaddr_storage ss;
    socklen_t len = os_sockaddr_load(&ss, addr);
    if (!len) {
        errno = EINVAL;
        return 0;
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&ss), len) == 0;
}

int os_socket_listen(uint64_t sock, int backlog) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    return fd >= 0 && listen(fd, backlog) == 0;
}

uint64_t os_socket_accept(uint64_t sock, os_ipaddr* addr) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int nfd;
    do {
        nfd = accept4(fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (nfd < 0 && errno == EINTR);
    if (nfd < 0) return 0;
    if (ss.ss_family == AF_INET || ss.ss_family == AF_INET6) {
        int saved = errno;
        set_int_opt(nfd, IPPROTO_TCP, TCP_NODELAY, 1);
        errno = saved;
    }
    save_peer(addr, ss, len);
    return fd_handle(nfd);
}

int os_socket_local(uint64_t sock, os_ipaddr* addr) {
    if (!PL_CHECK("pal", sock)) return 0;
    int fd = sock_fd(sock);
    if (fd < 0) return 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    save_peer(addr, ss, len);
    return 1;
}

int64_t os_socket_recvv(uint64_t sock, const iovec* list, size_t size) {
    if (!PL_CHECK("pal", sock && list && size)) return -1;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    if (size > static_cast<size_t>(INT_MAX)) {
        errno = EINVAL;
        return -1;
    }
    return io_result(readv(fd, list, static_cast<int>(size)));
}

int64_t os_socket_sendv(uint64_t sock, const iovec* list, size_t size) {
    if (!PL_CHECK("pal", sock && list && size)) return -1;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(list);
    msg.msg_iovlen = size;
    return io_result(sendmsg(fd, &msg, MSG_NOSIGNAL));
}

int64_t os_socket_urecvv(uint64_t sock, os_ipaddr* addr, const iovec* list, size_t size) {
    if (!PL_CHECK("pal", sock && list && size)) return -1;
    int fd = sock_fd(sock);
    if (fd < 0) return -1;
    sockaddr_storage ss{};
    msghdr msg{};
    msg.msg_name = &ss;
    msg.msg_namelen = sizeof ss;
    msg.msg_iov = const_cast<iovec*>(list);
    msg.msg_iovlen = size;
    ssize_t r = recvmsg(fd, &msg, 0);
    if (r >= 0) save_peer(addr, ss, msg.msg_namelen);
    return io_result(r);
}

int64_t os_socket_usendv(uint64_t sock, const os_ipaddr* addr, const iovec* list, size_t size) {
    if (!PL_CHECK("pal", sock && addr && list && size)) return -1;
    if (!PL_CHECK("pal", !os_ipaddr_is_empty(addr))) return -1;
    sockaddr_storage ss;
    socklen_t len = 0;
    int fd = addressed_fd(sock, addr, &ss, &len);
    if (fd < 0) return -1;
    msghdr msg{};
    msg.msg_name = &ss;
    msg.msg_namelen = len;
    msg.msg_iov = const_cast<iovec*>(list);
    msg.msg_iovlen = size;
    return io_result(sendmsg(fd, &msg, MSG_NOSIGNAL));
}
