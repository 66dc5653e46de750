// The binary-record output over UDP: packets of the messages with 0x400 or
// 0x800, the "bsvnet" opener thread and the packet held until it is done.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "lib/libbsv/bsv_oracle.h"
#include "lib/liblog/log_net_peer.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libpal/env/pl_init.h"
#include "libpal/env/pl_sysinfo.h"
#include "libpal/os/posix/os_udp.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

using namespace log_net_peer;

std::string url_of(const udp_receiver& r, const char* scheme = "udp") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(r.port);
}

// The message text of a packet, read by the independent decoder.
std::string message_of(const std::vector<uint8_t>& packet, bsv_oracle::packet* out = nullptr) {
    bsv_oracle::packet p = bsv_oracle::read_packet(packet, BSV_NET_KEY, sizeof BSV_NET_KEY);
    if (out) *out = p;
    if (!p.ok || !p.crc_ok) return "<bad packet>";
    bsv_oracle::record r = bsv_oracle::read_record(p.data.data(), p.data.size());
    return r.ok ? r.texts[5] : "<bad record>";
}

struct scramble_reset {
    ~scramble_reset() { bsv_net_set_scramble(0); }
};

TEST(LogBsvnet, PacketsThroughTheLogger) {
    pl_init();
    udp_receiver r;
    ASSERT_GE(r.fd, 0);
    log2_ctx* c = log2_new();
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    ASSERT_EQ(log2_ioctl(c, LOG2_IOC_BSV_URL, url_of(r).c_str()), 0);
    // The first packet is delivered whether it came before or after the
    // socket was open; after it the socket is open.
    log2_printf(c, LOG2_ERR | LOG2_BSV, "dd_a", "src/x.cpp", 5, "fn", "first\n");
    bsv_oracle::packet p;
    EXPECT_EQ(message_of(r.next(), &p), "first\n");
    EXPECT_EQ(p.flags, 2);
    EXPECT_EQ(p.type_id, 1);
    EXPECT_EQ(p.host, std::string(g_sysinfo.hostname));
    log2_printf(c, LOG2_INFO, "dd_a", "src/x.cpp", 5, "fn", "not for the network\n");
    log2_printf(c, LOG2_INFO | LOG2_BSV, "bsv", "src/x.cpp", 5, "fn", "own tag\n");
    log2_printf(c, LOG2_CRIT | LOG2_BSV_ONLY, "dd_a", "src/x.cpp", 5, "fn", "only here\n");
    EXPECT_EQ(message_of(r.next()), "only here\n");
    log2_info info{};
    log2_get_info(c, &info);
    EXPECT_EQ(std::string(info.bsv_url), url_of(r));
    log2_exit(c);
    // Closed: nothing is sent any more.
    log2_printf(nullptr, LOG2_INFO | LOG2_BSV_ONLY, "dd_a", "x", 1, "fn", "after close\n");
    EXPECT_TRUE(r.next(0).empty());
}

TEST(LogBsvnet, ScrambledWithUdps) {
    scramble_reset reset;
    udp_receiver r;
    log2_ctx* c = log2_new();
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    ASSERT_EQ(log2_ioctl(c, LOG2_IOC_BSV_URL, url_of(r, "UDPS").c_str()), 0);
    log2_printf(c, LOG2_ERR | LOG2_BSV, "dd_a", "x", 1, "fn", "scrambled\n");
    std::vector<uint8_t> got = r.next();
    ASSERT_GT(got.size(), 4u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), std::string("bsv\x06", 4));
    EXPECT_EQ(std::string(got.begin(), got.end()).find("scrambled"), std::string::npos);
    EXPECT_EQ(message_of(got), "scrambled\n");
    log2_exit(c);
}

TEST(LogBsvnet, BadUrl) {
    log_capture cap(8);
    log_bsv_udp_state* s = new log_bsv_udp_state;
    log_bsv_udp_init(s);
    std::string huge = "udp://" + std::string(9000, 'h');
    EXPECT_EQ(log_bsv_udp_open(s, huge.c_str()), -1);
    EXPECT_TRUE(cap.contains("url_parser")) << cap.all();
    EXPECT_EQ(s->link, nullptr);
    log_bsv_udp_close(s);
    delete s;
}

// An opener that waits until the test lets it go, then opens the socket.
struct gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    bool returned = false;
    void release() {
        std::lock_guard<std::mutex> g(mu);
        open = true;
        cv.notify_all();
    }
    void wait_returned() {
        std::unique_lock<std::mutex> g(mu);
        cv.wait(g, [this] { return returned; });
    }
};
gate* g_gate = nullptr;

uint64_t gated_open(const char* host, int port) {
    gate* g = g_gate;
    std::unique_lock<std::mutex> lk(g->mu);
    g->cv.wait(lk, [g] { return g->open; });
    uint64_t sock = os_udp_open(host, port);
    g->returned = true;
    g->cv.notify_all();
    return sock;
}

std::vector<uint8_t> packet_of(const std::string& msg) {
    // Any bytes do: the sink sends what it is given.
    return std::vector<uint8_t>(msg.begin(), msg.end());
}

TEST(LogBsvnet, FirstPacketIsHeldUntilTheSocketIsOpen) {
    udp_receiver r;
    gate gt;
    g_gate = &gt;
    auto s = std::make_unique<log_bsv_udp_state>();
    log_bsv_udp_init(s.get());
    s->opener = gated_open;
    ASSERT_EQ(log_bsv_udp_open(s.get(), url_of(r).c_str()), 0);
    for (const char* m : {"held", "dropped 1", "dropped 2"}) {
        auto p = packet_of(m);
        log_bsv_udp_sink(LOG2_INFO | LOG2_BSV, p.data(), static_cast<uint32_t>(p.size()), s.get());
    }
    gt.release();
    EXPECT_EQ(r.next_text(), "held");
    // Open now: the next packet goes out at once, and the dropped ones never do.
    auto p = packet_of("direct");
    log_bsv_udp_sink(LOG2_INFO | LOG2_BSV, p.data(), static_cast<uint32_t>(p.size()), s.get());
    EXPECT_EQ(r.next_text(), "direct");
    EXPECT_EQ(log_bsv_udp_send(p.data(), static_cast<uint32_t>(p.size()), s.get()), static_cast<int64_t>(p.size()));
    EXPECT_EQ(r.next_text(), "direct");
    log_bsv_udp_close(s.get());
    // Without a socket the length is reported as sent.
    EXPECT_EQ(log_bsv_udp_send(p.data(), static_cast<uint32_t>(p.size()), s.get()), static_cast<int64_t>(p.size()));
    EXPECT_TRUE(r.next(0).empty());
    g_gate = nullptr;
}

// The logger goes away while "bsvnet" still waits for its socket: the thread
// finishes later without touching the freed logger, and sends nothing.
TEST(LogBsvnet, LoggerFreedWhileTheOpenerWaits) {
    udp_receiver r;
    gate gt;
    g_gate = &gt;
    log2_ctx* c = log2_new();
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    c->bsv.opener = gated_open;
    ASSERT_EQ(log2_ioctl(c, LOG2_IOC_BSV_URL, url_of(r).c_str()), 0);
    log2_printf(c, LOG2_ERR | LOG2_BSV, "dd_a", "x", 1, "fn", "held, then dropped at close\n");
    log2_exit(c);  // waits a short while for the thread, then lets it go
    gt.release();
    gt.wait_returned();
    EXPECT_TRUE(r.next(0).empty());
    g_gate = nullptr;
}

}  // namespace
