// TCP connects: options, error records, the deadline and the stop request.
#include <netinet/tcp.h>

#include <latch>

#include "net_rig.h"
#include "support/log_capture.h"

using namespace net_test;

namespace {

// A listener whose accept queue is full: a further connect is never
// answered (its SYN is dropped), so it can only end by its deadline or a stop.
struct silent_listener {
    tcp_listener lst{0};
    fd_guard filler{connect_raw(lst.port)};
    silent_listener() { EXPECT_GE(filler.get(), 0); }
};

int raw_fd(uint64_t sock) { return static_cast<int>(sock - 1); }

}  // namespace

TEST(SockConnect, ConnectsWithBufferSizesAndNoDelay) {
    tcp_peer peer([](int fd) { wait_eof(fd); });
    auto o = opts_with(3000);
    o->buf_size = 0x40000;
    auto err = new_err();
    uint64_t s = sock_tcp_init("127.0.0.1", peer.port(), o.get(), err.get());
    ASSERT_NE(s, 0u) << verr_msg(err.get());
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(raw_fd(s), IPPROTO_TCP, TCP_NODELAY, &v, &len);
    EXPECT_NE(v, 0);
    getsockopt(raw_fd(s), SOL_SOCKET, SO_RCVBUF, &v, &len);
    EXPECT_GE(v, 0x40000);
    getsockopt(raw_fd(s), SOL_SOCKET, SO_SNDBUF, &v, &len);
    EXPECT_GE(v, 0x40000);
    EXPECT_NE(fcntl(raw_fd(s), F_GETFL) & O_NONBLOCK, 0) << "sockets stay non-blocking";
    sock_close(s);
}

TEST(SockConnect, FailuresFillTheErrorRecord) {
    // A port nobody listens on: bound and closed again.
    const uint16_t closed_port = free_port();
    struct row {
        const char* host;
        uint16_t port;
        int32_t code;
        std::string msg;
    } rows[] = {
        {"no such host", 80, -2, "addrinfo_addr no such host failed"},
        {"127.0.0.1", closed_port, ECONNREFUSED,
         "connect 127.0.0.1:" + std::to_string(closed_port) + " : " + os_errno_str(ECONNREFUSED)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.host);
        auto o = opts_with(3000);
        auto err = new_err();
        EXPECT_EQ(sock_tcp_init(r.host, r.port, o.get(), err.get()), 0u);
        EXPECT_EQ(err->code, r.code);
        EXPECT_EQ(std::string(verr_msg(err.get())), r.msg);
        // And without an error record.
        EXPECT_EQ(sock_tcp_init(r.host, r.port, o.get(), nullptr), 0u);
    }
}

TEST(SockConnect, UnansweredConnectEndsAtTheDeadline) {
    silent_listener sl;
    auto o = opts_with(500);
    auto err = new_err();
    stopwatch w;
    EXPECT_EQ(sock_tcp_init("127.0.0.1", sl.lst.port, o.get(), err.get()), 0u);
    EXPECT_GE(w.ms(), 500);
    EXPECT_EQ(err->code, -1);
    EXPECT_EQ(std::string(verr_msg(err.get())), "connect 127.0.0.1:" + std::to_string(sl.lst.port) + " timeout");
}

TEST(SockConnect, StopCallbackEndsAConnectAfterWholeSlices) {
    // The stop request is asked before each 200 ms slice: stopping at the
    // third look means two whole slices, long before the deadline.
    silent_listener sl;
    auto o = opts_with(60000);
    struct counter {
        stop_flag flag{};
        int calls = 0;
        uint32_t ms = 0;
    } c;
    c.flag.cb = [](void* arg, uint32_t ms) -> int {
        auto* self = static_cast<counter*>(arg);
        self->ms = ms;
        return ++self->calls >= 3;
    };
    c.flag.arg = &c;
    o->stop = &c.flag;
    auto err = new_err();
    stopwatch w;
    EXPECT_EQ(sock_tcp_init("127.0.0.1", sl.lst.port, o.get(), err.get()), 0u);
    EXPECT_EQ(std::string(verr_msg(err.get())), "User request stop");
    EXPECT_EQ(err->code, -1);
    EXPECT_EQ(c.calls, 3);
    EXPECT_EQ(c.ms, 60000u) << "the callback gets the connect timeout";
    EXPECT_GE(w.ms(), 2 * SOCK_CONNECT_SLICE_MS);
    EXPECT_LT(w.ms(), 60000);
}

TEST(SockConnect, StopWordFromAnotherThreadEndsAConnect) {
    silent_listener sl;
    auto o = opts_with(60000);
    struct shared {
        stop_flag flag{};
        std::latch waiting{1};
        std::atomic<bool> told{false};
    } s;
    s.flag.cb = [](void* arg, uint32_t) -> int {
        auto* sh = static_cast<shared*>(arg);
        if (!sh->told.exchange(true)) sh->waiting.count_down();
        return 0;
    };
    s.flag.arg = &s;
    o->stop = &s.flag;
    std::thread stopper([&] {
        s.waiting.wait();
        s.flag.stop.store(1);
    });
    auto err = new_err();
    stopwatch w;
    EXPECT_EQ(sock_tcp_init("127.0.0.1", sl.lst.port, o.get(), err.get()), 0u);
    EXPECT_EQ(std::string(verr_msg(err.get())), "User request stop");
    EXPECT_LT(w.ms(), 60000);
    stopper.join();
}

TEST(SockConnect, NoWaitMakesOneCallAndHandsBackTheSocket) {
    silent_listener sl;
    auto o = opts_with(60000);
    o->no_wait = 1;
    stopwatch w;
    uint64_t s = sock_tcp_init("127.0.0.1", sl.lst.port, o.get(), nullptr);
    EXPECT_NE(s, 0u) << "still connecting, but not failed";
    EXPECT_LT(w.ms(), 60000);
    sock_close(s);
}

TEST(SockConnect, EveryResolvedAddressIsTried) {
    // "localhost" may resolve to ::1 before 127.0.0.1; the server listens on
    // 127.0.0.1 only, so a connect that tried only the first address could fail.
    tcp_peer peer([](int fd) { write_all(fd, "ok"); wait_eof(fd); });
    auto o = opts_with(3000);
    auto err = new_err();
    uint64_t s = sock_tcp_init("localhost", peer.port(), o.get(), err.get());
    ASSERT_NE(s, 0u) << verr_msg(err.get());
    net_chan c = chan_of(s, 3000);
    char buf[2];
    EXPECT_EQ(net_read(&c, buf, 2), 2);
    net_close(&c);
}

TEST(SockUdp, OpenSendsToTheAddress) {
    fd_guard rx(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(rx.get(), reinterpret_cast<sockaddr*>(&a), &len);
    auto err = new_err();
    uint64_t s = sock_udp_open("127.0.0.1", ntohs(a.sin_port), err.get());
    ASSERT_NE(s, 0u) << verr_msg(err.get());
    EXPECT_EQ(sock_send(s, "ping", 4), 4);
    char buf[8];
    pollfd pf{rx.get(), POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, k_rig_wait_ms), 1);
    EXPECT_EQ(recv(rx.get(), buf, sizeof buf, 0), 4);
    EXPECT_EQ(sock_close(s), 0);
    EXPECT_EQ(sock_udp_open("no such host", 9, err.get()), 0u);
    EXPECT_STREQ(verr_msg(err.get()), "addrinfo_addr no such host failed");
}
