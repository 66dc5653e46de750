#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "libnet/net_chan.h"
#include "libpal/hash/sha256.h"
#include "libssl/ssl_cli.h"
#include "support/log_capture.h"
#include "tls_test_util.h"

using namespace tls_test;

namespace {

struct tls_client : ::testing::Test {
    void SetUp() override {
        TLS_TEST_REQUIRE_TOOLS();
        conf.reset(ssl_cli_conf_new());
        ASSERT_NE(conf, nullptr);
    }
    // Connects a channel to the peer and runs the handshake.
    ssl_cli_session* connect(channel& ch, const char* cipher) {
        EXPECT_NE(ch.chan.handle, 0u) << verr_msg(&ch.err);
        ssl_cli_session* s = ssl_cli_connect(conf.get(), &ch.chan, cipher, 1);
        return s;
    }
    conf_ptr conf;
};

// The layer keeps no state of its own: a session needs no start before it,
// and one that is open when the layer ends still carries data and ends with
// its close-notify; the start and end log nothing.
TEST(TlsLayer, StartAndEndDoNothing) {
    TLS_TEST_REQUIRE_TOOLS();
    conf_ptr conf(ssl_cli_conf_new());
    ASSERT_NE(conf, nullptr);
    peer srv("ALL", {"recv:1000", "sha", "wait_close"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port());
    ssl_cli_session* s = ssl_cli_connect(conf.get(), &ch.chan, "", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(srv.line().rfind("cipher ", 0), 0u);
    {
        log_capture cap;
        EXPECT_EQ(ssl_init(), 0);
        EXPECT_EQ(ssl_exit(), 0);
        EXPECT_EQ(cap.count(), 0u) << cap.all();
    }
    std::vector<uint8_t> up(1000);
    for (size_t i = 0; i < up.size(); ++i) up[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(net_write(&ch.chan, up.data(), 1000), 1000);
    uint8_t want[32], got[32];
    pl_sha256_buf(up.data(), up.size(), want);
    ASSERT_EQ(net_read(&ch.chan, got, sizeof got), 32);
    EXPECT_EQ(memcmp(got, want, 32), 0);
    EXPECT_EQ(ssl_cli_free(s), 0);
    EXPECT_EQ(srv.line(), "peer_close=notify");
}

TEST_F(tls_client, SuiteChoice) {
    const struct {
        const char* cipher;          // the client's "ssl-cipher"
        const char* server_ciphers;  // what the server offers
        const char* want;            // start of the suite the server reports, or none: no handshake
    } rows[] = {
        // A self-signed certificate is accepted: the client does not verify.
        {"", "ALL", "ECDHE-"},
        {nullptr, "ALL", "ECDHE-"},
        {"aes_256_ecb", "ALL", "AES256-SHA "},
        {"AES_256_ECB", "ALL", "AES256-SHA "},
        {"aes_256_cbc", "ALL", "ECDHE-"},  // any other text: every suite
        {"", "AES256-SHA", "AES256-SHA "},
        {"Aes_256_Ecb", "ECDHE-RSA-AES128-GCM-SHA256", nullptr},  // only other suites
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.cipher ? r.cipher : "(none)") + " / " + r.server_ciphers);
        log_capture cap(7);
        peer srv(r.server_ciphers, {"wait_close"});
        ASSERT_NE(srv.port(), 0);
        channel ch(srv.port());
        ssl_cli_session* s = connect(ch, r.cipher);
        std::string reply = srv.line();
        if (!r.want) {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(reply.rfind("handshake_error", 0), 0u) << reply;
            // The library's text of the failure, and the channel left plain.
            EXPECT_TRUE(cap.contains("mbedtls_ssl_handshake eno=-")) << cap.all();
            EXPECT_TRUE(cap.contains("err=[SSL - ")) << cap.all();
            EXPECT_EQ(ch.chan.ssl, nullptr);
            EXPECT_EQ(ch.chan.read_proc, nullptr);
            EXPECT_EQ(ch.chan.write_proc, nullptr);
            continue;
        }
        ASSERT_NE(s, nullptr) << cap.all();
        EXPECT_EQ(reply.rfind(std::string("cipher ") + r.want, 0), 0u) << reply;
        EXPECT_EQ(reply.substr(reply.size() - 8), " TLSv1.2") << reply;
        EXPECT_EQ(ch.chan.ssl, s);
        EXPECT_EQ(ch.chan.read_proc, ssl_recv_proc);
        EXPECT_EQ(ch.chan.write_proc, ssl_send_proc);
        EXPECT_TRUE(cap.contains("Proto=[TLSv1.2] Cipher=[")) << cap.all();
        bool forced = r.cipher && strcasecmp(r.cipher, "aes_256_ecb") == 0;
        EXPECT_EQ(cap.contains("force_ciphersuite=53"), forced);
        if (forced) {
            EXPECT_TRUE(cap.contains("Cipher=[TLS-RSA-WITH-AES-256-CBC-SHA]"));
        }
        // The end sends the close-notify alert and detaches the session.
        EXPECT_EQ(ssl_cli_free(s), 0);
        EXPECT_EQ(ch.chan.ssl, nullptr);
        EXPECT_EQ(ch.chan.read_proc, nullptr);
        EXPECT_EQ(srv.line(), "peer_close=notify");
    }
}

TEST_F(tls_client, LargeBuffersMoveInOneCall) {
    constexpr uint32_t k_up = 8u << 20;     // many records each way
    constexpr uint32_t k_down = 10u << 20;
    peer srv("ALL", {"recv:" + std::to_string(k_up), "sha", "send:" + std::to_string(k_down), "wait_close"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port());
    ASSERT_NE(connect(ch, ""), nullptr);
    EXPECT_EQ(srv.line().rfind("cipher ", 0), 0u);

    std::vector<uint8_t> up(k_up);
    for (uint32_t i = 0; i < k_up; ++i) up[i] = static_cast<uint8_t>(i * 31 + (i >> 13));
    EXPECT_EQ(net_write(&ch.chan, up.data(), k_up), static_cast<int32_t>(k_up));
    uint8_t want[32], got[32];
    pl_sha256_buf(up.data(), up.size(), want);
    ASSERT_EQ(net_read(&ch.chan, got, sizeof got), 32);
    EXPECT_EQ(memcmp(got, want, 32), 0);

    std::vector<uint8_t> down(k_down);
    ASSERT_EQ(net_read(&ch.chan, down.data(), k_down), static_cast<int32_t>(k_down));
    uint64_t bad = 0;
    for (uint64_t i = 0; i < k_down; ++i) bad += down[i] != pattern_byte(i);
    EXPECT_EQ(bad, 0u);
}

TEST_F(tls_client, PeerEndingTheSessionGivesTheBytesItHad) {
    const struct {
        const char* end;  // how the server ends
        const char* what;
    } rows[] = {
        {"notify", "close-notify alert"},
        {"abort", "connection closed without the alert"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        peer srv("ALL", {"send:100000", r.end});
        ASSERT_NE(srv.port(), 0);
        channel ch(srv.port());
        ASSERT_NE(connect(ch, ""), nullptr);
        std::vector<uint8_t> buf(1 << 20);
        EXPECT_EQ(net_read(&ch.chan, buf.data(), static_cast<uint32_t>(buf.size())), 100000);
        for (uint32_t i = 0; i < 100000; ++i) ASSERT_EQ(buf[i], pattern_byte(i)) << i;
        // Later reads fail at once instead of waiting for the deadline.
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(net_read(&ch.chan, buf.data(), 16), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
        // The answer to the alert lets the server finish its shutdown.
        EXPECT_EQ(ssl_cli_free(static_cast<ssl_cli_session*>(ch.chan.ssl)), 0);
        EXPECT_EQ(srv.wait(), 0);
    }
}

TEST_F(tls_client, SilentPeerEndsTheReadAtTheDeadline) {
    peer srv("ALL", {"send:1000", "hold"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port(), 400);
    ASSERT_NE(connect(ch, ""), nullptr);
    std::vector<uint8_t> buf(1 << 20);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(net_read(&ch.chan, buf.data(), static_cast<uint32_t>(buf.size())), 1000);
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(spent, std::chrono::milliseconds(400));
    EXPECT_LT(spent, std::chrono::seconds(10));
}

TEST_F(tls_client, StopRequestFailsTheRead) {
    peer srv("ALL", {"hold"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port());
    ASSERT_NE(connect(ch, ""), nullptr);
    ch.chan.stop = 1;
    uint8_t buf[16];
    log_capture cap;
    EXPECT_EQ(net_read(&ch.chan, buf, sizeof buf), -1);
    EXPECT_TRUE(cap.contains("mbedtls_ssl_read = "));
    ch.chan.stop = 0;
}

TEST_F(tls_client, WritingToAClosedPeerFails) {
    peer srv("ALL", {"abort"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port());
    ASSERT_NE(connect(ch, ""), nullptr);
    EXPECT_EQ(srv.wait(), 0);
    // More than the socket buffers hold: the reset shows before the end.
    std::vector<uint8_t> buf(16u << 20, 0x5A);
    log_capture cap;
    EXPECT_EQ(net_write(&ch.chan, buf.data(), static_cast<uint32_t>(buf.size())), -1);
    EXPECT_TRUE(cap.contains("mbedtls_ssl_write = ")) << cap.all();
}

TEST_F(tls_client, PeerThatReadsNothingFailsTheWrite) {
    peer srv("ALL", {"stall"});
    ASSERT_NE(srv.port(), 0);
    channel ch(srv.port(), 300);
    ASSERT_NE(connect(ch, ""), nullptr);
    // Writes until the socket buffers are full. A call cut by the deadline
    // gives the whole records it sent; once a record is stuck half-sent the
    // session is unusable and the write fails, instead of reporting records
    // as sent that still wait in the session.
    std::vector<uint8_t> buf(4u << 20, 0x5A);
    log_capture cap;
    int32_t r = 0;
    int calls = 0;
    do {
        r = net_write(&ch.chan, buf.data(), static_cast<uint32_t>(buf.size()));
        ++calls;
    } while (r > 0 && calls < 30);
    EXPECT_EQ(r, -1) << calls;
    EXPECT_TRUE(cap.contains("mbedtls_ssl_write = -1")) << cap.all();
    srv.release();
}

TEST_F(tls_client, HooksRefuseAChannelWithoutSession) {
    net_chan chan{};
    uint8_t buf[4] = {};
    log_capture cap;
    EXPECT_EQ(ssl_recv_proc(&chan, buf, sizeof buf), -1);
    EXPECT_EQ(ssl_send_proc(&chan, buf, sizeof buf), -1);
    EXPECT_EQ(ssl_recv_proc(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(ssl_cli_connect(nullptr, &chan, "", 0), nullptr);
    EXPECT_EQ(ssl_cli_free(nullptr), 0);
}

}  // namespace
