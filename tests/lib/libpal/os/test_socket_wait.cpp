// Readiness waits and the whole-buffer send and receive loops.
#include "libpal/os/posix/os_socket_wait.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_socket.h"
#include "socket_fixture.h"
#include "support/log_capture.h"

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

TEST(SocketWait, ReadinessAndTimeouts) {
    auto [c, s] = tcp_pair("127.0.0.1");
    ASSERT_TRUE(c && s);
    // Nothing to read: 0 at once for 0 ms, and not before the time is up.
    EXPECT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ, 0), 0);
    uint64_t t0 = os_mono_ms();
    EXPECT_EQ(os_socket_wait_impl(s.get(), OS_SOCKET_WAIT_READ, 60), 0);
    EXPECT_GE(os_mono_ms() - t0, 60u);
    // Only the events asked for are reported.
    EXPECT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_WRITE, 0), OS_SOCKET_WAIT_WRITE);
    EXPECT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, 0), OS_SOCKET_WAIT_WRITE);
    ASSERT_EQ(os_socket_send(c.get(), "x", 1), 1);
    EXPECT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ, k_hang_ms), OS_SOCKET_WAIT_READ);
    EXPECT_EQ(os_socket_wait(s.get(), OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, k_hang_ms),
              OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE);
}

TEST(SocketWait, BadHandles) {
    log_capture cap;
    EXPECT_EQ(os_socket_wait_impl(0, OS_SOCKET_WAIT_READ, 0), -1);
    EXPECT_TRUE(cap.contains("expr[sock]: assert failed"));
    EXPECT_EQ(os_socket_wait_impl(uint64_t{1} << 40, OS_SOCKET_WAIT_READ, 0), -1);
    EXPECT_TRUE(cap.contains("expr[fd >= 0]: assert failed"));
    // A descriptor that is not open.
    errno = 0;
    EXPECT_EQ(os_socket_wait_impl(1000001, OS_SOCKET_WAIT_READ, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

// Descriptors above the select() limit (1024) are waited for like any other.
TEST(SocketWait, HighDescriptor) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlimit old = lim;
    const rlim_t need = 1600;
    if (lim.rlim_cur < need) {
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need) GTEST_SKIP() << "open-file limit too low";
        lim.rlim_cur = need;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    uint64_t pair[2];
    ASSERT_EQ(os_socket_pair(OS_SOCKET_STREAM, pair), 1);
    sock_ptr a(pair[0]), b(pair[1]);
    ASSERT_EQ(dup2(a.fd(), 1500), 1500);
    sock_ptr high(1501);
    EXPECT_EQ(os_socket_wait(high.get(), OS_SOCKET_WAIT_READ, 0), 0);
    ASSERT_EQ(os_socket_send(b.get(), "hi", 2), 2);
    EXPECT_EQ(os_socket_wait(high.get(), OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE, k_hang_ms),
              OS_SOCKET_WAIT_READ | OS_SOCKET_WAIT_WRITE);
    high.reset();
    setrlimit(RLIMIT_NOFILE, &old);
}

// A large buffer, sent whole by one thread and received whole by another
// (many times what the socket buffers hold), arrives unchanged.
TEST(SocketAll, LargeBufferBetweenThreads) {
    std::vector<const char*> ips{"127.0.0.1"};
    if (ipv6_loopback_available()) ips.push_back("::1");
    const size_t n = 24u << 20;
    const auto data = pattern(n, 7);
    for (const char* ip : ips) {
        auto ends = tcp_pair(ip);
        sock_ptr& c = ends.first;
        sock_ptr& s = ends.second;
        ASSERT_TRUE(c && s) << ip;
        std::vector<uint8_t> got(n, 0);
        int recv_ok = -1;
        std::thread reader([&] { recv_ok = os_socket_recv_all(s.get(), got.data(), n); });
        int send_ok = os_socket_send_all(c.get(), data.data(), n);
        reader.join();
        EXPECT_EQ(send_ok, 1) << ip;
        EXPECT_EQ(recv_ok, 1) << ip;
        EXPECT_TRUE(got == data) << ip;
    }
}

TEST(SocketAll, PeerClosesHalfway) {
    auto [c, s] = tcp_pair("127.0.0.1");
    ASSERT_TRUE(c && s);
    const auto data = pattern(1000, 3);
    ASSERT_EQ(os_socket_send_all(c.get(), data.data(), 500), 1);
    c.reset();
    std::vector<uint8_t> got(1000, 0);
    EXPECT_EQ(os_socket_recv_all(s.get(), got.data(), got.size()), 0);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 500, data.begin()));
}

TEST(SocketAll, EmptyLengthTouchesNoSocket) {
    log_capture cap;
    char buf[1];
    EXPECT_EQ(os_socket_recv_all(0, buf, 0), 1);
    EXPECT_EQ(os_socket_send_all(0, buf, 0), 1);
    EXPECT_EQ(cap.count(), 0u);  // not even the missing-socket message
}

TEST(SocketAll, SendToClosedPeerFails) {
    auto [c, s] = tcp_pair("127.0.0.1");
    ASSERT_TRUE(c && s);
    ASSERT_EQ(os_socket_kill(c.get(), 1), 1);
    const auto data = pattern(1 << 16, 1);
    errno = 0;
    EXPECT_EQ(os_socket_send_all(c.get(), data.data(), data.size()), 0);
    EXPECT_EQ(errno, EPIPE);
}

// ----------------------------------------------------------- signals

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1); }

// Installs a handler for SIGUSR2 that interrupts system calls (no restart).
struct interrupting_signal {
    struct sigaction old {};
    interrupting_signal() {
        struct sigaction sa {};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR2, &sa, &old);
    }
    ~interrupting_signal() { sigaction(SIGUSR2, &old, nullptr); }
};

// True once the thread sleeps in the kernel (state S), within the hang limit.
bool wait_until_sleeping(pid_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    uint64_t end = os_mono_ms() + static_cast<uint64_t>(k_hang_ms);
    while (os_mono_ms() < end) {
        std::ifstream f(path);
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        size_t close_paren = stat.rfind(')');
        if (close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] == 'S')
            return true;
        sched_yield();
    }
    return false;
}

// Joins a thread when it goes, first unblocking it (so that a failed
// assertion never leaves a thread behind).
template <typename F>
struct join_guard {
    std::thread& t;
    F unblock;
    ~join_guard() {
        if (t.joinable()) {
            unblock();
            t.join();
        }
    }
};
template <typename F>
join_guard(std::thread&, F) -> join_guard<F>;

// Signals that arrive while the loops wait do not end the transfer.
TEST(SocketAll, SignalsDuringWaitsDoNotEndTheTransfer) {
    interrupting_signal guard;
    auto ends = tcp_pair("127.0.0.1");
    sock_ptr& c = ends.first;
    sock_ptr& s = ends.second;
    ASSERT_TRUE(c && s);
    const auto data = pattern(64, 5);
    std::vector<uint8_t> got(64, 0);
    std::atomic<pid_t> tid{0};
    std::atomic<int> recv_ok{-1};
    std::thread reader([&] {
        tid = gettid();
        recv_ok = os_socket_recv_all(s.get(), got.data(), got.size());
    });
    join_guard joiner{reader, [&] { os_socket_kill(c.get(), 2); }};
    pthread_t handle = reader.native_handle();
    while (tid.load() == 0) sched_yield();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(wait_until_sleeping(tid.load())) << "the reader never waited";
        int before = g_signals.load();
        pthread_kill(handle, SIGUSR2);
        while (g_signals.load() == before) sched_yield();
        EXPECT_EQ(recv_ok.load(), -1) << "the signal ended the receive";
        // Half of the data in the first round: the loop waits again for the rest.
        if (round == 0) {
            ASSERT_EQ(os_socket_send_all(c.get(), data.data(), 32), 1);
        }
    }
    ASSERT_EQ(os_socket_send_all(c.get(), data.data() + 32, 32), 1);
    reader.join();
    EXPECT_EQ(recv_ok.load(), 1);
    EXPECT_TRUE(got == data);
}

// A loopback TCP pair whose socket buffers are a few KiB on both ends, set
// before the connection is made (the accepted socket takes the listener's):
// a send of much more than that cannot end before the other end reads,
// whatever the system's buffer limits and autotuning allow.
std::pair<sock_ptr, sock_ptr> small_buffer_pair() {
    static constexpr int k_buf = 4096;
    auto shrink = [](const sock_ptr& sk) {
        return setsockopt(sk.fd(), SOL_SOCKET, SO_SNDBUF, &k_buf, sizeof k_buf) == 0 &&
               setsockopt(sk.fd(), SOL_SOCKET, SO_RCVBUF, &k_buf, sizeof k_buf) == 0;
    };
    os_ipaddr bound;
    sock_ptr l = bound_socket(OS_SOCKET_TCP, "127.0.0.1", &bound);
    if (!l || !shrink(l) || !os_socket_listen(l.get(), 16)) return {};
    sock_ptr c(os_socket_init(OS_SOCKET_TCP, os_ipaddr_family(&bound)));
    if (!c || !shrink(c) || connect_and_wait(c.get(), &bound) != 1) return {};
    sock_ptr s = accept_one(l.get());
    return {std::move(c), std::move(s)};
}

// Bytes the socket holds that the peer has not acknowledged.
int send_queue(const sock_ptr& sk) {
    int n = -1;
    return ioctl(sk.fd(), SIOCOUTQ, &n) == 0 ? n : -1;
}

TEST(SocketAll, SignalsDuringSendWaitsDoNotEndTheTransfer) {
    interrupting_signal guard;
    auto ends = small_buffer_pair();
    sock_ptr& c = ends.first;
    sock_ptr& s = ends.second;
    ASSERT_TRUE(c && s);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    ASSERT_EQ(getsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
    ASSERT_LT(rcvbuf, 64 * 1024);
    const size_t n = 1u << 20;  // far more than the buffers hold
    const auto data = pattern(n, 9);
    std::atomic<pid_t> tid{0};
    std::atomic<int> send_ok{-1};
    std::thread writer([&] {
        tid = gettid();
        send_ok = os_socket_send_all(c.get(), data.data(), n);
    });
    join_guard joiner{writer, [&] { os_socket_kill(s.get(), 2); }};
    while (tid.load() == 0) sched_yield();
    for (int round = 0; round < 3; ++round) {
        // The writer has queued bytes the reader does not take and sleeps:
        // the send waits for room, which only the reader can make.
        uint64_t end = os_mono_ms() + static_cast<uint64_t>(k_hang_ms);
        while (send_queue(c) <= 0 && os_mono_ms() < end) sched_yield();
        ASSERT_GT(send_queue(c), 0) << "the writer never sent";
        ASSERT_TRUE(wait_until_sleeping(tid.load())) << "the writer never waited";
        ASSERT_EQ(send_ok.load(), -1) << "the send ended before the reader read";
        int before = g_signals.load();
        pthread_kill(writer.native_handle(), SIGUSR2);
        while (g_signals.load() == before) sched_yield();
    }
    std::vector<uint8_t> got(n, 0);
    int recv_ok = os_socket_recv_all(s.get(), got.data(), n);
    writer.join();
    EXPECT_EQ(send_ok.load(), 1);
    EXPECT_EQ(recv_ok, 1);
    EXPECT_TRUE(got == data);
}

}  // namespace
