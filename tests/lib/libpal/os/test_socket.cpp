// Sockets over loopback and unix paths: creation, options, connects,
// transfers, datagrams and the server side.
#include "libpal/os/posix/os_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "libpal/basic/verr.h"
#include "libpal/network/ipaddr.h"
#include "liblog/log2.h"
#include "socket_fixture.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

int sockopt(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
    return v;
}

// The IP families to run a loopback test on: 127.0.0.1 always, ::1 when the
// machine has IPv6.
std::vector<const char*> loopbacks() {
    std::vector<const char*> ips{"127.0.0.1"};
    if (ipv6_loopback_available()) ips.push_back("::1");
    return ips;
}

TEST(Socket, InitKindsAndFamilies) {
    const struct {
        uint32_t type;
        uint8_t family;
        int domain, kind, proto;
    } rows[] = {
        {OS_SOCKET_TCP, OS_IPADDR_IPV4, AF_INET, SOCK_STREAM, IPPROTO_TCP},
        {OS_SOCKET_UDP, OS_IPADDR_IPV4, AF_INET, SOCK_DGRAM, IPPROTO_UDP},
        {OS_SOCKET_TCP, OS_IPADDR_NONE, AF_INET, SOCK_STREAM, IPPROTO_TCP},
        {OS_SOCKET_TCP, OS_IPADDR_IPV6, AF_INET6, SOCK_STREAM, IPPROTO_TCP},
        {OS_SOCKET_UDP, OS_IPADDR_IPV6, AF_INET6, SOCK_DGRAM, IPPROTO_UDP},
        {OS_SOCKET_STREAM | OS_SOCKET_PROTO_UDP, OS_IPADDR_UNIX, AF_UNIX, SOCK_STREAM, 0},
        {OS_SOCKET_DGRAM, OS_IPADDR_UNIX, AF_UNIX, SOCK_DGRAM, 0},
    };
    bool v6 = ipv6_loopback_available();
    for (const auto& r : rows) {
        if (r.domain == AF_INET6 && !v6) continue;
        sock_ptr s(os_socket_init(r.type, r.family));
        ASSERT_TRUE(s) << std::hex << r.type << " " << int(r.family) << ": " << strerror(errno);
        int fd = s.fd();
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_DOMAIN), r.domain);
        EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_TYPE), r.kind);
        EXPECT_EQ(sockopt(fd, SOL_SOCKET, SO_PROTOCOL), r.proto);
    }
    // The handle is the descriptor plus one.
    int next = dup(0);
    ASSERT_GE(next, 0);
    close(next);
    sock_ptr s(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4));
    ASSERT_TRUE(s);
    EXPECT_EQ(s.get(), static_cast<uint64_t>(next) + 1);
}

TEST(Socket, InitUndefinedTypes) {
    log_capture cap;
    errno = 0;
    EXPECT_EQ(os_socket_init(0x401, OS_IPADDR_IPV4), 0u);
    EXPECT_NE(errno, 0);  // kept for the caller's message
    EXPECT_TRUE(cap.contains("expr[t >= 0 && p >= 0]: assert failed"));
    EXPECT_TRUE(cap.contains("expr[fd >= 0]: assert failed"));
    cap.clear();
    EXPECT_EQ(os_socket_init(OS_SOCKET_STREAM | 9, OS_IPADDR_IPV4), 0u);
    EXPECT_TRUE(cap.contains("expr[t >= 0 && p >= 0]: assert failed"));
    cap.clear();
    EXPECT_EQ(os_socket_init(OS_SOCKET_RAW | OS_SOCKET_PROTO_ICMP, 7), 0u);
    EXPECT_TRUE(cap.contains("expr[0]: assert failed"));
    cap.clear();
    EXPECT_EQ(os_socket_init(0, OS_IPADDR_IPV4), 0u);
    EXPECT_TRUE(cap.contains("expr[type]: assert failed"));
    uint64_t pair[2] = {0, 0};
    EXPECT_EQ(os_socket_pair(0x500, pair), 0);
    EXPECT_TRUE(cap.contains("expr[t >= 0]: assert failed"));
    EXPECT_EQ(os_socket_pair(OS_SOCKET_STREAM, nullptr), 0);
    EXPECT_TRUE(cap.contains("expr[type && pair]: assert failed"));
}

TEST(SocketCtrl, Options) {
    sock_ptr s(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4));
    ASSERT_TRUE(s);
    uint8_t blocking = 9;
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_BLOCK, &blocking), 1);
    EXPECT_EQ(blocking, 0);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_BLOCK, 1), 1);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_BLOCK, &blocking), 1);
    EXPECT_EQ(blocking, 1);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_BLOCK, 0), 1);
    EXPECT_TRUE(fcntl(s.fd(), F_GETFL) & O_NONBLOCK);

    // The system may round buffer sizes up (Linux doubles them).
    int size = 0;
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE, 65536), 1);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, &size), 1);
    EXPECT_GE(size, 65536);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE, 65536), 1);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_SEND_BUFF_SIZE, &size), 1);
    EXPECT_GE(size, 65536);

    int on = -1;
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_TCP_NODELAY, 1), 1);
    ASSERT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_TCP_NODELAY, &on), 1);
    EXPECT_NE(on, 0);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_KEEPALIVE, 1), 1);
    EXPECT_NE(sockopt(s.fd(), SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_TCP_KEEPINTVL, 7), 1);
    EXPECT_EQ(sockopt(s.fd(), IPPROTO_TCP, TCP_KEEPINTVL), 7);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_TCP_KEEPCNT, 3), 1);
    EXPECT_EQ(sockopt(s.fd(), IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_SET_NOSIGPIPE, 1), 1);
}

TEST(SocketCtrl, UndefinedCodesAndMissingArguments) {
    sock_ptr s(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4));
    ASSERT_TRUE(s);
    log_capture cap;
    EXPECT_EQ(os_socket_ctrl(s.get(), 11, 1), 0);
    EXPECT_TRUE(cap.contains("unknown socket ctrl: 11"));
    EXPECT_EQ(os_socket_ctrl(s.get(), 14, 1), 0);
    EXPECT_TRUE(cap.contains("unknown socket ctrl: 14"));
    EXPECT_EQ(cap.count(LOG2_ERR), 2u);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_BLOCK, static_cast<uint8_t*>(nullptr)), 0);
    EXPECT_TRUE(cap.contains("expr[pis_block]: assert failed"));
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_RECV_BUFF_SIZE, static_cast<int*>(nullptr)), 0);
    EXPECT_TRUE(cap.contains("expr[pbuff_size]: assert failed"));
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_GET_TCP_NODELAY, static_cast<int*>(nullptr)), 0);
    EXPECT_TRUE(cap.contains("expr[penable]: assert failed"));
    EXPECT_EQ(os_socket_ctrl(0, OS_SOCKET_CTRL_SET_TCP_NODELAY, 1), 0);
    EXPECT_TRUE(cap.contains("expr[sock]: assert failed"));
}

TEST(SocketCtrl, MulticastMembership) {
    sock_ptr s(os_socket_init(OS_SOCKET_UDP, OS_IPADDR_IPV4));
    ASSERT_TRUE(s);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_ADD_MEMBERSHIP, "no.such.group"), 0);
    EXPECT_EQ(os_socket_ctrl(s.get(), OS_SOCKET_CTRL_ADD_MEMBERSHIP, "224.0.0.300"), 0);
    int r = os_socket_ctrl(s.get(), OS_SOCKET_CTRL_ADD_MEMBERSHIP, "224.0.0.251");
    if (r == 0 && (errno == ENODEV || errno == ENOBUFS || errno == EADDRNOTAVAIL || errno == ENOPROTOOPT))
        GTEST_SKIP() << "no multicast route here: " << strerror(errno);
    EXPECT_EQ(r, 1) << strerror(errno);
}

TEST(SocketConnect, RefusedMapsToStatusCode) {
    for (const char* ip : loopbacks()) {
        // A port that was just free: bound, then closed again.
        os_ipaddr target;
        {
            sock_ptr l = tcp_listener(ip, &target);
            ASSERT_TRUE(l) << ip;
        }
        sock_ptr c(os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&target)));
        ASSERT_TRUE(c);
        int r = os_socket_connect(c.get(), &target);
        if (r == 0) {
            r = os_socket_wait(c.get(), OS_SOCKET_WAIT_WRITE, k_hang_ms);
            ASSERT_EQ(r, -1) << ip << ": the wait reports the failure";
        } else {
            ASSERT_EQ(r, -1) << ip;
        }
        EXPECT_EQ(errno, ECONNREFUSED) << ip << ": " << strerror(errno);
        EXPECT_EQ(os_verr_get(errno), -461);
    }
}

TEST(SocketConnect, EmptyOrMissingAddress) {
    sock_ptr c(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4));
    ASSERT_TRUE(c);
    log_capture cap;
    os_ipaddr any{};
    ASSERT_EQ(os_ipaddr_ip_cstr_set(&any, nullptr, OS_IPADDR_IPV4), 1);
    EXPECT_EQ(os_socket_connect(c.get(), &any), -1);
    EXPECT_TRUE(cap.contains("expr[!os_ipaddr_is_empty(addr)]: assert failed"));
    EXPECT_EQ(os_socket_connect(c.get(), nullptr), -1);
    EXPECT_TRUE(cap.contains("expr[sock && addr]: assert failed"));
    sock_ptr u(os_socket_init(OS_SOCKET_UDP, OS_IPADDR_IPV4));
    char byte = 1;
    EXPECT_EQ(os_socket_usend(u.get(), &any, &byte, 1), -1);
    EXPECT_EQ(os_socket_usend(u.get(), nullptr, &byte, 1), -1);
    EXPECT_TRUE(cap.contains("expr[sock && addr && data]: assert failed"));
}

TEST(SocketTransfer, SendReceiveOverLoopback) {
    for (const char* ip : loopbacks()) {
        os_ipaddr bound;
        sock_ptr l = tcp_listener(ip, &bound);
        ASSERT_TRUE(l) << ip;
        EXPECT_NE(bound.port, 0);
        sock_ptr c(os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&bound)));
        ASSERT_EQ(connect_and_wait(c.get(), &bound), 1) << ip << ": " << strerror(errno);
        // Connecting an already connected socket reports success.
        EXPECT_EQ(os_socket_connect(c.get(), &bound), 1);
        os_ipaddr peer{}, local{};
        sock_ptr s = accept_one(l.get(), &peer);
        ASSERT_TRUE(s) << ip;
        ASSERT_EQ(os_socket_local(c.get(), &local), 1);
        EXPECT_EQ(os_ipaddr_is_equal(&peer, &local), 1) << ip;
        // Accepted connections are non-blocking and have no-delay on.
        EXPECT_TRUE(fcntl(s.fd(), F_GETFL) & O_NONBLOCK);
        EXPECT_NE(sockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY), 0);
        char buf[64];
        // Nothing there yet: 0 (would block), not a failure.
        errno = 0;
        EXPECT_EQ(os_socket_recv(s.get(), buf, sizeof buf), 0);
        EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
        EXPECT_EQ(os_socket_send(c.get(), "hello", 5), 5);
        ASSERT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
        EXPECT_EQ(os_socket_recv(s.get(), buf, sizeof buf), 5);
        EXPECT_EQ(std::string(buf, 5), "hello");
        // The peer closes: readable, then 0 bytes with no error.
        c.reset();
        ASSERT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
        errno = 0;
        EXPECT_EQ(os_socket_recv(s.get(), buf, sizeof buf), 0);
        EXPECT_EQ(errno, 0);
    }
}

TEST(SocketTransfer, ZeroLengthMakesNoCall) {
    // A handle whose descriptor is not open: any system call would fail.
    uint64_t dead = 1000001;
    char buf[1];
    EXPECT_EQ(os_socket_recv(dead, buf, 0), 0);
    EXPECT_EQ(os_socket_send(dead, buf, 0), 0);
    EXPECT_EQ(os_socket_urecv(dead, nullptr, buf, 0), 0);
    errno = 0;
    EXPECT_EQ(os_socket_recv(dead, buf, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

// A send on a connection that cannot carry data any more fails with EPIPE;
// the process is not ended by SIGPIPE even when the signal is not ignored.
void send_after_shutdown() {
    signal(SIGPIPE, SIG_DFL);
    auto [c, s] = tcp_pair("127.0.0.1");
    if (!c || !s) _exit(3);
    if (!os_socket_kill(c.get(), 1)) _exit(4);
    errno = 0;
    int64_t r = os_socket_send(c.get(), "x", 1);
    if (r != -1 || errno != EPIPE) _exit(5);
    char y[] = "y";
    iovec v{y, 1};
    errno = 0;
    int64_t rv = os_socket_sendv(c.get(), &v, 1);
    _exit(rv == -1 && errno == EPIPE ? 0 : 6);
}

TEST(SocketTransfer, SendOnClosedConnectionRaisesNoSignal) {
    EXPECT_EXIT(send_after_shutdown(), ::testing::ExitedWithCode(0), "");
}

// One call moves less than 2 GiB: longer lengths are cut to what fits a
// signed 32-bit count, never wrapped to a tiny or negative one.
TEST(SocketTransfer, HugeLengthIsCutNotWrapped) {
    auto [c, s] = tcp_pair("127.0.0.1");
    ASSERT_TRUE(c && s);
    size_t span = (size_t{1} << 32) + 4096;
    void* p = mmap(nullptr, span, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB of address space";
    for (size_t len : {(size_t{1} << 32) + 1, size_t{1} << 31, (size_t{1} << 32) + 4096}) {
        int64_t n = os_socket_send(c.get(), p, len);
        EXPECT_GT(n, 1) << len;
        // Drain what arrived so that the next send has room again.
        std::string sink(1 << 20, '\0');
        int64_t got = 0;
        while (got < n) {
            ASSERT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
            int64_t r = os_socket_recv(s.get(), sink.data(), sink.size());
            ASSERT_GT(r, 0);
            got += r;
        }
    }
    munmap(p, span);
}

TEST(SocketDatagram, SenderAddressOverLoopback) {
    for (const char* ip : loopbacks()) {
        os_ipaddr raddr, saddr;
        sock_ptr r = bound_socket(OS_SOCKET_UDP, ip, &raddr);
        sock_ptr s = bound_socket(OS_SOCKET_UDP, ip, &saddr);
        ASSERT_TRUE(r && s) << ip;
        char buf[32];
        EXPECT_EQ(os_socket_urecv(r.get(), nullptr, buf, sizeof buf), 0);  // nothing yet
        ASSERT_EQ(os_socket_usend(s.get(), &raddr, "ping", 4), 4);
        ASSERT_EQ(os_socket_wait(r.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
        os_ipaddr from{};
        ASSERT_EQ(os_socket_urecv(r.get(), &from, buf, sizeof buf), 4);
        EXPECT_EQ(std::string(buf, 4), "ping");
        EXPECT_EQ(os_ipaddr_is_equal(&from, &saddr), 1) << ip;
        // The vectored forms.
        char a[] = "ab", b[] = "cd";
        iovec out[2] = {{a, 2}, {b, 2}};
        ASSERT_EQ(os_socket_usendv(s.get(), &raddr, out, 2), 4);
        ASSERT_EQ(os_socket_wait(r.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
        char x[3] = {}, y[1] = {};
        iovec in[2] = {{x, 3}, {y, 1}};
        os_ipaddr from2{};
        ASSERT_EQ(os_socket_urecvv(r.get(), &from2, in, 2), 4);
        EXPECT_EQ(std::string(x, 3) + y[0], "abcd");
        EXPECT_EQ(os_ipaddr_is_equal(&from2, &saddr), 1);
    }
}

TEST(SocketBind, Ipv6SocketsTakeIpv6Only) {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 here";
    os_ipaddr bound;
    sock_ptr l = tcp_listener("::1", &bound);
    ASSERT_TRUE(l);
    EXPECT_EQ(sockopt(l.fd(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
    EXPECT_EQ(sockopt(l.fd(), SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_NE(bound.port, 0);
    EXPECT_EQ(os_ipaddr_family(&bound), OS_IPADDR_IPV6);
}

TEST(SocketUnix, StreamOverPathAndAbstractName) {
    temp_dir dir;
    std::string path = dir.file("kx.sock");
    std::string abstract = "kxdd-test-" + std::to_string(getpid());
    for (int abs = 0; abs < 2; ++abs) {
        os_ipaddr addr{};
        ASSERT_EQ(os_ipaddr_unix_set_cstr(&addr, abs ? abstract.c_str() : path.c_str(), abs), 1);
        sock_ptr l(os_socket_init(OS_SOCKET_STREAM, OS_IPADDR_UNIX));
        ASSERT_TRUE(l);
        ASSERT_EQ(os_socket_bind(l.get(), &addr), 1) << strerror(errno);
        ASSERT_EQ(os_socket_listen(l.get(), 4), 1);
        os_ipaddr local{};
        ASSERT_EQ(os_socket_local(l.get(), &local), 1);
        EXPECT_EQ(os_ipaddr_is_equal(&local, &addr), 1) << local.unixaddr.path;
        EXPECT_EQ(os_unixaddr_is_abstract(&local.unixaddr), abs);
        sock_ptr c(os_socket_init(OS_SOCKET_STREAM, OS_IPADDR_UNIX));
        ASSERT_EQ(connect_and_wait(c.get(), &addr), 1) << strerror(errno);
        os_ipaddr peer;
        memset(&peer, 0x11, sizeof peer);
        sock_ptr s = accept_one(l.get(), &peer);
        ASSERT_TRUE(s);
        EXPECT_EQ(peer.state, OS_IPADDR_SET | OS_IPADDR_UNIX);  // an unnamed client
        EXPECT_STREQ(peer.unixaddr.path, "");
        ASSERT_EQ(os_socket_send_all(c.get(), "unix", 4), 1);
        char buf[4];
        ASSERT_EQ(os_socket_recv_all(s.get(), buf, 4), 1);
        EXPECT_EQ(std::string(buf, 4), "unix");
    }
}

TEST(SocketUnix, DatagramsCarryTheSenderPath) {
    temp_dir dir;
    os_ipaddr ra{}, sa{};
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&ra, dir.file("r.sock").c_str(), 0), 1);
    ASSERT_EQ(os_ipaddr_unix_set_cstr(&sa, dir.file("s.sock").c_str(), 0), 1);
    sock_ptr r(os_socket_init(OS_SOCKET_DGRAM, OS_IPADDR_UNIX)), s(os_socket_init(OS_SOCKET_DGRAM, OS_IPADDR_UNIX));
    ASSERT_EQ(os_socket_bind(r.get(), &ra), 1);
    ASSERT_EQ(os_socket_bind(s.get(), &sa), 1);
    ASSERT_EQ(os_socket_usend(s.get(), &ra, "dg", 2), 2);
    char buf[8];
    os_ipaddr from{};
    ASSERT_EQ(os_socket_wait(r.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_urecv(r.get(), &from, buf, sizeof buf), 2);
    EXPECT_EQ(os_ipaddr_is_equal(&from, &sa), 1) << from.unixaddr.path;
}

TEST(SocketPair, ConnectedNonBlockingPair) {
    uint64_t pair[2];
    ASSERT_EQ(os_socket_pair(OS_SOCKET_STREAM, pair), 1);
    sock_ptr a(pair[0]), b(pair[1]);
    EXPECT_TRUE(fcntl(a.fd(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(b.fd(), F_GETFL) & O_NONBLOCK);
    char x[] = "vec", y[] = "tor";
    iovec out[2] = {{x, 3}, {y, 3}};
    ASSERT_EQ(os_socket_sendv(a.get(), out, 2), 6);
    char buf[6];
    iovec in[1] = {{buf, 6}};
    ASSERT_EQ(os_socket_wait(b.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
    ASSERT_EQ(os_socket_recvv(b.get(), in, 1), 6);
    EXPECT_EQ(std::string(buf, 6), "vector");
    // Shutting down writing: the other side reads the end.
    ASSERT_EQ(os_socket_kill(a.get(), 1), 1);
    ASSERT_EQ(os_socket_wait(b.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
    errno = 0;
    EXPECT_EQ(os_socket_recv(b.get(), buf, 6), 0);
    EXPECT_EQ(errno, 0);
}

TEST(SocketClose, FailuresAreLogged) {
    log_capture cap;
    sock_ptr u(os_socket_init(OS_SOCKET_TCP, OS_IPADDR_IPV4));
    EXPECT_EQ(os_socket_kill(u.get(), 2), 0);  // not connected
    EXPECT_TRUE(cap.contains("kill: 0x"));
    EXPECT_TRUE(cap.contains("failed, errno: " + std::to_string(ENOTCONN)));
    uint64_t dead = 1000001;
    EXPECT_EQ(os_socket_exit(dead), 0);
    EXPECT_TRUE(cap.contains("close: 0xf4241 failed, errno: " + std::to_string(EBADF)));
}

TEST(SocketEnv, InitIgnoresSigpipe) {
    struct sigaction old {};
    sigaction(SIGPIPE, nullptr, &old);
    signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(os_socket_init_env(), 1);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    os_socket_exit_env();
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
