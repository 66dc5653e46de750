// Channels: whole-length reads and writes, deadlines, peer close, stop
// requests, the dispatch by kind and the memory loopback.
#include <latch>

#include "net_rig.h"
#include "support/log_capture.h"

using namespace net_test;

namespace {

// A connected channel to a peer served by a function in its own thread.
struct chan_pair {
    tcp_peer peer;
    uint64_t sock = 0;
    net_chan chan{};

    chan_pair(std::function<void(int)> serve, int32_t timeout) : peer(std::move(serve)) {
        auto o = opts_with(5000);
        auto err = new_err();
        sock = sock_tcp_init("127.0.0.1", peer.port(), o.get(), err.get());
        EXPECT_NE(sock, 0u) << verr_msg(err.get());
        chan = chan_of(sock, timeout);
    }
    ~chan_pair() {
        net_close(&chan);
        peer.join();
    }
};

// A stop request whose callback answers "stop" from its n-th call on and
// counts its calls.
struct counting_stop {
    stop_flag flag{};
    int stop_at;
    std::atomic<int> calls{0};
    uint32_t last_ms = 0;

    explicit counting_stop(int n) : stop_at(n) {
        flag.cb = [](void* arg, uint32_t ms) -> int {
            auto* self = static_cast<counting_stop*>(arg);
            self->last_ms = ms;
            return ++self->calls >= self->stop_at ? 1 : 0;
        };
        flag.arg = this;
    }
};

}  // namespace

TEST(NetChan, ReadGathersChunksIntoOneWholeRead) {
    // The peer sends 1 MiB in uneven pieces while the read is waiting.
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    chan_pair p(
        [&](int fd) {
            for (size_t off = 0, step = 1; off < data.size(); off += step, step = step * 3 % 65521 + 1)
                ASSERT_TRUE(write_all(fd, data.data() + off, std::min(step, data.size() - off)));
            wait_eof(fd);
        },
        10000);
    std::string got(data.size(), '\0');
    EXPECT_EQ(net_read(&p.chan, got.data(), static_cast<uint32_t>(got.size())), static_cast<int32_t>(data.size()));
    EXPECT_TRUE(got == data);
    EXPECT_EQ(p.chan.disconnected, 0);
}

TEST(NetChan, WriteMovesTheWholeLengthToASlowReader) {
    // More than the socket buffers hold: the write must wait and go on.
    const std::string data(8 << 20, 'w');
    std::string seen;
    chan_pair p(
        [&](int fd) {
            char buf[65536];
            while (seen.size() < data.size()) {
                ssize_t r = read(fd, buf, sizeof buf);
                if (r <= 0) break;
                seen.append(buf, static_cast<size_t>(r));
            }
        },
        20000);
    EXPECT_EQ(net_write(&p.chan, data.data(), static_cast<uint32_t>(data.size())), static_cast<int32_t>(data.size()));
    p.peer.join();
    EXPECT_EQ(seen.size(), data.size());
}

TEST(NetChan, PeerCloseGivesThePartialCountThenFailsAtOnce) {
    chan_pair p([](int fd) { write_all(fd, "abc"); }, 10000);
    char buf[16];
    log_capture cap;
    stopwatch w;
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(p.chan.disconnected, 1);
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), -1);
    EXPECT_EQ(net_write(&p.chan, "x", 1), -1);
    EXPECT_LT(w.ms(), 10000) << "a closed peer must not wait for the deadline";
    EXPECT_TRUE(cap.contains("_disconnect!!\n"));
    // A reset clears the mark for a reconnect.
    net_chan_reset(&p.chan);
    EXPECT_EQ(p.chan.disconnected, 0);
}

TEST(NetChan, ReadDeadlineReturnsWhatArrived) {
    std::latch done(1);
    chan_pair p(
        [&](int fd) {
            write_all(fd, "12345");
            done.wait();
        },
        400);
    char buf[64];
    stopwatch w;
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), 5) << "a short count, not a failure";
    EXPECT_GE(w.ms(), 400);
    EXPECT_EQ(p.chan.disconnected, 0);
    done.count_down();
}

TEST(NetChan, ReadWithoutAnyDataEndsAtTheDeadline) {
    std::latch done(1);
    chan_pair p([&](int) { done.wait(); }, 350);
    char buf[8];
    stopwatch w;
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), 0);
    EXPECT_GE(w.ms(), 350);
    done.count_down();
}

TEST(NetChan, ReadSlicesAreAtMostTheTimeoutAndAtMost300ms) {
    // The stop request is asked once per slice; stopping at the third look
    // takes at least two whole slices, and ends long before the deadline.
    struct row {
        int32_t timeout;
        int64_t slice;
    };
    for (row r : {row{150, 150}, row{20000, 300}}) {
        SCOPED_TRACE(r.timeout);
        std::latch done(1);
        chan_pair p([&](int) { done.wait(); }, r.timeout);
        counting_stop stop(3);
        p.chan.stop_req = &stop.flag;
        char buf[8];
        stopwatch w;
        errno = 0;
        int32_t n = net_read(&p.chan, buf, sizeof buf);
        const int64_t took = w.ms();
        if (r.timeout == 150) {
            // The deadline comes first: one slice of 150 ms.
            EXPECT_EQ(n, 0);
            EXPECT_EQ(stop.calls.load(), 1);
            EXPECT_GE(took, 150);
        } else {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(errno, ECANCELED);
            EXPECT_EQ(stop.calls.load(), 3);
            EXPECT_EQ(stop.last_ms, 20000u) << "the callback gets the channel timeout";
            EXPECT_GE(took, 2 * r.slice);
            EXPECT_LT(took, r.timeout);
        }
        done.count_down();
    }
}

TEST(NetChan, StopWordFromAnotherThreadEndsAWaitingRead) {
    std::latch done(1);
    chan_pair p([&](int) { done.wait(); }, 60000);
    struct shared {
        stop_flag flag{};
        std::latch waiting{1};
        std::atomic<bool> signalled{false};
    } s;
    // The callback tells the other thread that the read is waiting.
    s.flag.cb = [](void* arg, uint32_t) -> int {
        auto* sh = static_cast<shared*>(arg);
        if (!sh->signalled.exchange(true)) sh->waiting.count_down();
        return 0;
    };
    s.flag.arg = &s;
    p.chan.stop_req = &s.flag;
    std::thread stopper([&] {
        s.waiting.wait();
        s.flag.stop.store(1);
    });
    char buf[8];
    stopwatch w;
    errno = 0;
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_LT(w.ms(), 60000) << "the stop, not the deadline, ended the read";
    stopper.join();
    done.count_down();
}

TEST(NetChan, ChannelStopFieldEndsReadsAndWritesAtTheirFirstWait) {
    std::latch done(1);
    chan_pair p([&](int) { done.wait(); }, 60000);
    p.chan.stop = 1;
    char buf[8];
    stopwatch w;
    EXPECT_EQ(net_read(&p.chan, buf, sizeof buf), -1);
    EXPECT_LT(w.ms(), 60000);
    net_chan_reset(&p.chan);
    EXPECT_EQ(p.chan.stop, 0u);
    done.count_down();
}

TEST(NetChan, WriteToAPeerThatNeverReadsEndsAtItsOwnDeadline) {
    // One write has the channel's deadline, as one read has.
    std::latch done(1);
    chan_pair p([&](int) { done.wait(); }, 400);
    const std::string data(64 << 20, 'x');
    stopwatch w;
    int32_t n = net_write(&p.chan, data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_GE(w.ms(), 400);
    EXPECT_LT(w.ms(), 60000);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int32_t>(data.size())) << "the bytes moved before the deadline";
    done.count_down();
}

TEST(NetChan, WriteGivesWayToTheStopRequest) {
    std::latch done(1);
    chan_pair p([&](int) { done.wait(); }, 60000);
    counting_stop stop(2);
    p.chan.stop_req = &stop.flag;
    const std::string data(64 << 20, 'x');
    errno = 0;
    stopwatch w;
    EXPECT_EQ(net_write(&p.chan, data.data(), static_cast<uint32_t>(data.size())), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_EQ(stop.calls.load(), 2);
    EXPECT_GE(w.ms(), 500) << "one whole write slice before the second look";
    EXPECT_LT(w.ms(), 60000);
    done.count_down();
}

namespace {
std::atomic<int> g_sigpipes{0};
void on_sigpipe(int) { ++g_sigpipes; }
}  // namespace

TEST(NetChan, WriteToAResetConnectionFailsWithoutSigpipe) {
    // The command turns SIGPIPE into a stop of the whole run: a dropped
    // connection must show as a failed write instead.
    struct sigaction sa{}, old{};
    sa.sa_handler = on_sigpipe;
    sigaction(SIGPIPE, &sa, &old);
    g_sigpipes = 0;
    {
        chan_pair p(
            [](int fd) {
                // Reset only once the connection is fully up: the client's
                // byte says so (a reset during the connect fails the connect).
                char c;
                (void)!read(fd, &c, 1);
                set_linger0(fd);  // close with RST
            },
            5000);
        ASSERT_NE(p.sock, 0u);
        ASSERT_EQ(send(static_cast<int>(p.sock - 1), "x", 1, MSG_NOSIGNAL), 1);
        p.peer.join();
        // The reset has arrived once the socket turns readable.
        pollfd pf{static_cast<int>(p.sock - 1), POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, k_rig_wait_ms), 1);
        const std::string data(1 << 16, 'x');
        int32_t n = 0;
        for (int i = 0; i < 3 && n >= 0; ++i) n = net_write(&p.chan, data.data(), static_cast<uint32_t>(data.size()));
        EXPECT_EQ(n, -1);
    }
    EXPECT_EQ(g_sigpipes.load(), 0);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(NetChan, ZeroLengthWriteTouchesNothing) {
    net_chan c{};
    c.kind = 99;  // no such kind: any real dispatch would fail
    EXPECT_EQ(net_write(&c, "x", 0), 0);
    EXPECT_EQ(net_write(&c, "x", 1), -1);
    EXPECT_EQ(net_read(&c, nullptr, 0), -1);
}

TEST(NetChan, CloseByKind) {
    struct row {
        uint32_t kind;
        int rc;
    };
    for (row r : {row{NET_CHAN_STDIO, 0}, row{NET_CHAN_NPIPE, 0}, row{NET_CHAN_SERIAL, -1}, row{42, -1}}) {
        net_chan c{};
        c.kind = r.kind;
        c.stop = 1;
        c.disconnected = 1;
        EXPECT_EQ(net_close(&c), r.rc) << r.kind;
        EXPECT_EQ(c.stop, 0u);
        EXPECT_EQ(c.disconnected, 0);
    }
    // A TCP channel without a socket closes nothing and succeeds.
    net_chan c{};
    EXPECT_EQ(net_close(&c), 0);
    EXPECT_EQ(c.handle, 0u);
}

namespace {
int32_t hook_read(net_chan*, void* buf, uint32_t len) {
    memset(buf, 'h', len);
    return static_cast<int32_t>(len);
}
int32_t hook_write(net_chan*, const void*, uint32_t len) { return static_cast<int32_t>(len) + 1000; }
int32_t global_read(net_chan*, void*, uint32_t) { return 4242; }
}  // namespace

TEST(NetChan, TlsSessionsGoThroughTheChannelHooksElseTheGlobalOnes) {
    int session = 0;
    net_chan c{};
    c.ssl = &session;
    char buf[4] = {};
    EXPECT_EQ(net_read(&c, buf, sizeof buf), -1) << "no hook at all";
    net_ssl_set_global_proc(global_read, nullptr);
    EXPECT_EQ(net_read(&c, buf, sizeof buf), 4242);
    net_chan_set_ssl_proc(&c, hook_read, hook_write);
    EXPECT_EQ(net_read(&c, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "hhhh");
    EXPECT_EQ(net_write(&c, "ab", 2), 1002);
    net_ssl_set_global_proc(nullptr, nullptr);
}

TEST(NetChanMem, WritesComeBackInReadsAndTheNextWriteStartsAfresh) {
    net_chan c{};
    ASSERT_EQ(net_open(&c, "net://mem", 1000), 0);
    EXPECT_EQ(c.kind, NET_CHAN_MEM);
    auto* mem = reinterpret_cast<net_mem_chan*>(c.handle);
    char buf[8];
    EXPECT_EQ(net_write(&c, "xyz", 3), 3);
    EXPECT_EQ(mem->wcount, 3u);
    EXPECT_EQ(net_read(&c, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "xy");
    EXPECT_EQ(mem->wcount, 0u) << "a read clears the written count";
    EXPECT_EQ(net_read(&c, buf, 2), 1);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(net_read(&c, buf, 2), 0);
    // After reads a write starts a fresh buffer...
    EXPECT_EQ(net_write(&c, "12345", 5), 5);
    EXPECT_EQ(mem->rpos, 0u);
    EXPECT_EQ(mem->buf.len, 5u);
    EXPECT_EQ(net_read(&c, buf, 3), 3);
    // ...but keeps the bytes that were not read yet.
    EXPECT_EQ(net_write(&c, "67", 2), 2);
    EXPECT_EQ(net_read(&c, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "4567");
    EXPECT_EQ(net_close(&c), 0);
    EXPECT_EQ(c.handle, 0u);
}

TEST(NetChanMem, GrowsPastItsFirstReservation) {
    net_chan c{};
    ASSERT_EQ(net_open(&c, "net://mem", 1000), 0);
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
    ASSERT_EQ(net_write(&c, data.data(), static_cast<uint32_t>(data.size())), 100000);
    std::string got(data.size(), '\0');
    EXPECT_EQ(net_read(&c, got.data(), static_cast<uint32_t>(got.size())), 100000);
    EXPECT_TRUE(got == data);
    net_close(&c);
}

TEST(NetOpen, UrlsOtherThanTcpAndTheExactMemoryNameFail) {
    log_capture cap;
    net_chan c{};
    EXPECT_EQ(net_open(&c, "net://memory", 1000), -1);
    EXPECT_TRUE(cap.contains("unkouwn protocol [net]\n")) << cap.all();
    EXPECT_EQ(net_open(&c, "udp://127.0.0.1:9", 1000), -1);
    EXPECT_TRUE(cap.contains("unkouwn protocol [udp]\n"));
}

TEST(NetOpen, TcpUrlConnectsWithTheTimeout) {
    tcp_peer peer([](int fd) { write_all(fd, "hi"); wait_eof(fd); });
    net_chan c{};
    const std::string url = "tcp://127.0.0.1:" + std::to_string(peer.port());
    ASSERT_EQ(net_open(&c, url.c_str(), 3000), 0);
    EXPECT_EQ(c.kind, NET_CHAN_TCP);
    EXPECT_EQ(c.timeout, 3000);
    char buf[2];
    EXPECT_EQ(net_read(&c, buf, 2), 2);
    net_close(&c);
}

TEST(NetOpen, UnknownProxyNameFailsWithTheLookupsCode) {
    proxy_env_guard env;
    log_capture cap;
    net_chan c{};
    EXPECT_EQ(net_open(&c, "tcp://127.0.0.1:9?proxy=nowhere", 1000), -1);
    EXPECT_TRUE(cap.contains("conf_proxy_get [nowhere] error: %KX_ENV_PROXY_FILE% Is NULL")) << cap.all();
    EXPECT_EQ(c.handle, 0u);
}
