#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libnet/net_chan.h"
#include "libpal/os/posix/os_socket.h"
#include "libssl/ssl_cli.h"
#include "support/log_capture.h"
#include "tls_test_util.h"

using namespace tls_test;

namespace {

struct srv_conf_deleter {
    void operator()(ssl_srv_conf* c) const { sd_srv_ssl_conf_free(c); }
};

TEST(TlsServer, OwnClientAndServerOverASocketPair) {
    if (!test_keys().ok) GTEST_SKIP() << "openssl is missing";
    std::unique_ptr<ssl_srv_conf, srv_conf_deleter> sconf(
        sd_srv_ssl_conf_new(test_keys().cert().c_str(), test_keys().key().c_str()));
    ASSERT_NE(sconf, nullptr);
    conf_ptr cconf(ssl_cli_conf_new());
    ASSERT_NE(cconf, nullptr);
    uint64_t pair[2];
    ASSERT_EQ(os_socket_pair(OS_SOCKET_STREAM, pair), 1);
    net_chan cli{}, srv{};
    cli.kind = srv.kind = NET_CHAN_TCP;
    cli.handle = pair[0];
    srv.handle = pair[1];
    cli.timeout = srv.timeout = 15000;

    constexpr uint32_t k_len = 3u << 20;
    log_capture cap(7);
    ssl_cli_session* ss = nullptr;
    int32_t srv_got = 0;
    std::thread server([&] {
        ss = ssl_srv_new(sconf.get(), &srv);
        if (!ss) return;
        char ping[4];
        srv_got = net_read(&srv, ping, sizeof ping);
        std::vector<uint8_t> data(k_len);
        for (uint32_t i = 0; i < k_len; ++i) data[i] = pattern_byte(i);
        net_write(&srv, data.data(), k_len);
    });
    ssl_cli_session* cs = ssl_cli_connect(cconf.get(), &cli, "AES_256_ECB", 0);
    EXPECT_NE(cs, nullptr);
    if (cs) {
        EXPECT_EQ(net_write(&cli, "ping", 4), 4);
        std::vector<uint8_t> got(k_len);
        EXPECT_EQ(net_read(&cli, got.data(), k_len), static_cast<int32_t>(k_len));
        uint64_t bad = 0;
        for (uint32_t i = 0; i < k_len; ++i) bad += got[i] != pattern_byte(i);
        EXPECT_EQ(bad, 0u);
    }
    server.join();
    EXPECT_EQ(srv_got, 4);
    ASSERT_NE(ss, nullptr);
    // Both sides log the suite: the only one the client offered.
    size_t both = 0;
    for (const auto& l : cap.lines()) both += l.text.find("Proto=[TLSv1.2] Cipher=[TLS-RSA-WITH-AES-256-CBC-SHA]") == 0;
    EXPECT_EQ(both, 2u) << cap.all();
    EXPECT_EQ(ssl_srv_free(ss), 0);
    EXPECT_EQ(srv.ssl, nullptr);
    // The client sees the server's close-notify as the end of the data.
    if (cs) {
        uint8_t b[8];
        EXPECT_EQ(net_read(&cli, b, sizeof b), 0);
        EXPECT_EQ(ssl_cli_free(cs), 0);
    }
    net_close(&cli);
    net_close(&srv);
}

TEST(TlsServer, ConfigurationFailuresAreLogged) {
    if (!test_keys().ok) GTEST_SKIP() << "openssl is missing";
    const std::string cert = test_keys().cert(), key = test_keys().key();
    const struct {
        std::string cert, key, log;
    } rows[] = {
        {"/nonexistent/c.pem", key, "mbedtls_x509_crt_parse_file /nonexistent/c.pem failed"},
        {cert, "/nonexistent/k.pem", "mbedtls_pk_parse_keyfile /nonexistent/k.pem failed"},
        {cert, cert, "mbedtls_pk_parse_keyfile " + cert + " failed"},  // a certificate is no key
    };
    for (const auto& r : rows) {
        log_capture cap;
        EXPECT_EQ(sd_srv_ssl_conf_new(r.cert.c_str(), r.key.c_str()), nullptr);
        EXPECT_TRUE(cap.contains(r.log)) << cap.all();
    }
}

TEST(TlsServer, DebugCallbackAndSuiteDump) {
    log_capture cap(7);
    my_debug(nullptr, 1, "ssl_tls.c", 42, "hello\n");
    EXPECT_TRUE(cap.contains("ssl_tls.c:0042: hello"));
    mbedtls_ssl_ciphersuite_dump();
    bool seen = false;
    for (const auto& l : cap.lines())
        if (l.tag == "tag" && l.text.find("[TLS-RSA-WITH-AES-256-CBC-SHA]") != std::string::npos) seen = true;
    EXPECT_TRUE(seen);
}

}  // namespace
