// The syslog output: the message text, priorities, UDP and TCP transports,
// peers that close or never answer.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>

#include "lib/liblog/log_net_peer.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"

namespace {

using namespace log_net_peer;

std::string host_name() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    std::string h = buf;
    if (h.empty() || h == "(none)") h = "unknown";
    return h.substr(0, 32);
}

// A logger of its own sending to syslog only.
struct syslog_logger {
    log2_ctx* c = log2_new();
    syslog_logger(const std::string& url, uint32_t flags) {
        log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
        log2_ioctl(c, LOG2_IOC_LEVEL, LOG2_VERB, 0);
        log2_ioctl(c, LOG2_IOC_FLAGS, flags, 0);
        EXPECT_GE(log2_ioctl(c, LOG2_IOC_SYSLOG_URL, url.c_str()), 0);
        log2_ioctl(c, LOG2_IOC_SYSLOG_OUT, 1, 0);
    }
    ~syslog_logger() { log2_exit(c); }
    void log(uint32_t level, const char* tag, const char* msg) {
        log2_printf(c, level, tag, "src/x.cpp", 1, "fn", "%s", msg);
    }
};

std::string udp_url(const udp_receiver& r, const char* scheme = "udp") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(r.port);
}

// The expected message without its time stamp, which is checked apart.
std::string expect_message(int pri, const char* tag, const std::string& text) {
    return "<" + std::to_string(pri) + ">TIME " + host_name() + " " + tag + "[" + std::to_string(getpid()) +
           "]: " + text + std::string(1, '\0');
}

// Replaces the 15-character time stamp after the priority with "TIME".
std::string mask_time(const std::string& m) {
    size_t gt = m.find('>');
    if (gt == std::string::npos || m.size() < gt + 16) return m;
    std::string stamp = m.substr(gt + 1, 15);
    if (!std::regex_match(stamp, std::regex(R"([A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d)"))) return m;
    return m.substr(0, gt + 1) + "TIME" + m.substr(gt + 16);
}

TEST(LogSyslog, UdpMessageText) {
    udp_receiver r;
    ASSERT_GE(r.fd, 0);
    {
        syslog_logger s(udp_url(r), LOG2_F_TIME | LOG2_F_TID | LOG2_F_FUNC);
        s.log(LOG2_INFO, "dd_a", "hello\n");
    }
    // The time prefix goes; the thread and function prefixes and the line
    // break stay; the terminating zero is sent.
    std::string got = r.next_text();
    std::string tid = "[" + std::to_string(os_thread_id()) + "] ";
    EXPECT_EQ(mask_time(got), expect_message(14, "dd_a", tid + "fn(): hello\n")) << got;

    struct row {
        uint32_t flags;
        const char* tag;
        const char* text;
    } rows[] = {
        {LOG2_F_TIME_MS, "dd_a", "ms prefix gone\n"},  // 13 characters
        {0, "dd_a", "no prefix\n"},
        {LOG2_F_TIME, "", "no tag\n"},
    };
    for (const row& w : rows) {
        {
            syslog_logger s(udp_url(r), w.flags);
            s.log(LOG2_INFO, w.tag, w.text);
        }
        got = r.next_text();
        EXPECT_EQ(mask_time(got), expect_message(14, *w.tag ? w.tag : "<someone>", w.text)) << got;
    }
}

TEST(LogSyslog, PriorityByLevel) {
    udp_receiver r;
    syslog_logger s(udp_url(r), 0);
    struct row {
        uint32_t level;
        int pri;
    } rows[] = {{LOG2_CRIT | LOG2_NOEXIT, 10}, {LOG2_ERR, 11}, {LOG2_WARN, 12}, {LOG2_NOTI, 13},
                {LOG2_INFO, 14},              {LOG2_DBG, 15}, {LOG2_VERB, 15}};
    for (const row& w : rows) {
        s.log(w.level, "t", "m\n");
        std::string got = r.next_text();
        EXPECT_EQ(got.substr(0, got.find('>') + 1), "<" + std::to_string(w.pri) + ">") << w.level;
    }
    // A message sent only as a binary record does not reach syslog.
    s.log(LOG2_INFO | LOG2_BSV_ONLY, "t", "record only\n");
    s.log(LOG2_INFO, "t", "after\n");
    EXPECT_NE(r.next_text().find("after"), std::string::npos);
}

// With standard input closed the socket may be descriptor 0: it is a
// socket like any other, kept for the next message.
TEST(LogSyslog, SocketOnDescriptorZero) {
    udp_receiver r;
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    {
        syslog_logger s(udp_url(r), 0);
        s.log(LOG2_INFO, "t", "one\n");
        EXPECT_EQ(s.c->net.sock, 0);
        s.log(LOG2_INFO, "t", "two\n");
        EXPECT_EQ(s.c->net.sock, 0);
    }
    dup2(saved, 0);
    close(saved);
    EXPECT_NE(r.next_text().find("one"), std::string::npos);
    EXPECT_NE(r.next_text().find("two"), std::string::npos);
}

TEST(LogSyslog, TcpStream) {
    tcp_listener l;
    ASSERT_GE(l.fd, 0);
    syslog_logger s(l.url(), 0);
    s.log(LOG2_WARN, "dd_b", "one\n");
    s.log(LOG2_WARN, "dd_b", "two\n");
    int peer = l.accept_within();
    ASSERT_GE(peer, 0);
    std::string got = read_messages(peer, 2);
    close(peer);
    size_t z = got.find('\0');
    ASSERT_NE(z, std::string::npos);
    EXPECT_EQ(mask_time(got.substr(0, z + 1)), expect_message(12, "dd_b", "one\n"));
    EXPECT_EQ(mask_time(got.substr(z + 1)), expect_message(12, "dd_b", "two\n"));
}

// A peer that drops the connection: sends fail, the output reconnects, and
// no SIGPIPE reaches the process (whose default would end it).
TEST(LogSyslog, ClosedPeerRaisesNoSignal) {
    struct sigaction dfl {}, old {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    tcp_listener l;
    syslog_logger s(l.url(), 0);
    fd_capture err;
    s.log(LOG2_INFO, "t", "first\n");
    int peer = l.accept_within();
    ASSERT_GE(peer, 0);
    linger lg{1, 0};  // close with a reset
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);
    // Once the reset has arrived and its error was taken, the next send on
    // the connection fails with EPIPE: the case that raises SIGPIPE.
    int sock = s.c->net.sock;
    ASSERT_GE(sock, 0);
    pollfd p{sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    int e = 0;
    socklen_t el = sizeof e;
    getsockopt(sock, SOL_SOCKET, SO_ERROR, &e, &el);
    for (int i = 0; i < 20; ++i) s.log(LOG2_INFO, "t", "to a closed peer\n");
    // The output went on to a new connection.
    int again = l.accept_within();
    EXPECT_GE(again, 0);
    if (again >= 0) {
        EXPECT_NE(read_messages(again, 1).find("to a closed peer"), std::string::npos);
        close(again);
    }
    err.text();
    sigaction(SIGPIPE, &old, nullptr);
}

// A host that never answers a connect costs one bounded connect, then the
// output rests: logging does not wait on it for each message.
TEST(LogSyslog, SilentHostDoesNotHoldTheLogger) {
    tcp_listener l(0);
    ASSERT_GE(l.fd, 0);
    // Fill the listener's accept queue: further connects go unanswered.
    int fill = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(l.port));
    connect(fill, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{probe, POLLOUT, 0};
    bool answered = poll(&p, 1, 1000) == 1;
    close(probe);
    if (answered) {
        close(fill);
        GTEST_SKIP() << "this system answers connects beyond the accept queue";
    }
    fd_capture err;
    auto start = std::chrono::steady_clock::now();
    {
        syslog_logger s(l.url(), 0);
        for (int i = 0; i < 100; ++i) s.log(LOG2_INFO, "t", "into the void\n");
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string said = err.text();
    close(fill);
    // One connect limit (2 s), not one per message.
    EXPECT_LT(secs, 20.0);
    EXPECT_NE(said.find("failed to connect to 127.0.0.1 port " + std::to_string(l.port)), std::string::npos) << said;
}

TEST(LogSyslog, DefaultPortsAndBadUrls) {
    // "udp" without a port: the "syslog" service (514).
    log_net_state s{};
    log_net_init(&s, nullptr);
    ASSERT_EQ(log_net_open(&s, "udp://127.0.0.1"), 0);
    int fd = log_net_connect(&s);
    ASSERT_GE(fd, 0);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), 514);
    EXPECT_EQ(s.transport, static_cast<uint32_t>(LOG_NET_DGRAM));
    log_net_close(&s);
    EXPECT_EQ(s.sock, -1);

    // "tcp" without a port: "syslog-conn", or its registered port 601 where
    // the services table lacks it; the name resolves either way.
    ASSERT_EQ(log_net_open(&s, "tcp://127.0.0.1"), 0);
    EXPECT_EQ(s.transport, static_cast<uint32_t>(LOG_NET_STREAM));
    {
        fd_capture err;
        int r = log_net_connect(&s);
        std::string said = err.text();
        if (r >= 0) syslog_close(r);
        EXPECT_EQ(said.find("failed to resolve"), std::string::npos) << said;
    }
    log_net_close(&s);

    // A name that does not resolve.
    {
        fd_capture err;
        EXPECT_EQ(syslog_open("no-such-host.invalid", "514", LOG_NET_DGRAM), -1);
        EXPECT_NE(err.text().find("failed to resolve name no-such-host.invalid port 514"), std::string::npos);
    }
    // A URL that does not parse: logged under "tag", the output stays unset.
    log_capture cap(8);
    std::string huge = "udp://" + std::string(9000, 'h');
    EXPECT_EQ(log_net_open(&s, huge.c_str()), -1);
    EXPECT_TRUE(cap.contains("url_parser ")) << cap.all();
    EXPECT_EQ(s.state, static_cast<uint32_t>(LOG_NET_UNSET));
    EXPECT_EQ(log_net_write(&s, LOG2_INFO, "t", "x\n", 2), 0);
}

TEST(LogSyslog, NameTables) {
    EXPECT_EQ(syslog_decode("LOCAL3", k_syslog_facilities), 152);
    EXPECT_EQ(syslog_decode("user", k_syslog_facilities), 8);
    EXPECT_EQ(syslog_decode("Warning", k_syslog_priorities), 4);
    EXPECT_EQ(syslog_decode("16", k_syslog_priorities), 16);
    EXPECT_EQ(syslog_decode("17", k_syslog_priorities), -1);
    EXPECT_EQ(syslog_decode("5x", k_syslog_priorities), -1);
    EXPECT_EQ(syslog_decode("bogus", k_syslog_priorities), -1);
    const char* names[] = {"panic", "alert", "crit", "error", "warn", "notice", "info", "debug", "debug"};
    for (uint32_t i = 0; i < 9; ++i) EXPECT_STREQ(syslog_level_name(i), names[i]);
    EXPECT_EQ(syslog_level_name(9), nullptr);

    udp_receiver r;
    int fd = syslog_open("127.0.0.1", std::to_string(r.port).c_str(), LOG_NET_DGRAM);
    ASSERT_GE(fd, 0);
    EXPECT_GT(syslog_send(nullptr, fd, "local7.notice", "t", "x\n"), 0);
    EXPECT_EQ(r.next_text().substr(0, 5), "<189>");
    EXPECT_GT(syslog_send(nullptr, fd, "err", "t", "x\n"), 0);  // facility user
    EXPECT_EQ(r.next_text().substr(0, 4), "<11>");
    {
        fd_capture err;
        EXPECT_EQ(syslog_send(nullptr, fd, "nosuch.info", "t", "x\n"), -1);
        EXPECT_EQ(syslog_send(nullptr, fd, "user.nosuch", "t", "x\n"), -1);
        std::string said = err.text();
        EXPECT_NE(said.find("unknown facility name: nosuch"), std::string::npos);
        EXPECT_NE(said.find("unknown priority name: nosuch"), std::string::npos);
    }
    syslog_close(fd);
}

}  // namespace
