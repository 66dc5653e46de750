// Proxy handshakes against a scripted proxy: the exact bytes sent, the
// replies that succeed and fail, replies split across reads, the deadline and
// the stop request.
#include "net_rig.h"
#include "support/log_capture.h"

using namespace net_test;

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

// The outcome of one proxy connect to the target.
struct outcome {
    uint64_t sock = 0;
    int32_t code = 0;
    std::string msg;
    ~outcome() {
        if (sock) sock_close(sock);
    }
};

std::unique_ptr<outcome> connect_via(const fake_proxy& fp, uint32_t kind, const char* host, uint16_t port,
                                     const char* user = "", const char* pwd = "", int32_t timeout = 5000,
                                     stop_flag* stop = nullptr) {
    auto o = opts_with(timeout, kind, fp.port(), user, pwd);
    o->stop = stop;
    auto err = new_err();
    auto r = std::make_unique<outcome>();
    r->sock = sock_tcp_init(host, port, o.get(), err.get());
    if (!r->sock) {
        r->code = err->code;
        r->msg = verr_msg(err.get());
    }
    // The caller's options are left as they were.
    EXPECT_EQ(o->proxy.kind, kind);
    return r;
}

// Reads n bytes of the tunnel.
std::string tunnel_read(uint64_t sock, size_t n) {
    net_chan c = chan_of(sock, 5000);
    std::string s(n, '\0');
    int32_t got = net_read(&c, s.data(), static_cast<uint32_t>(n));
    s.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return s;
}

const std::string k_connect_80 = "CONNECT 127.0.0.1:80 HTTP/1.1\r\nHost: 127.0.0.1:80\r\n";

}  // namespace

class ProxyFake : public ::testing::Test {
protected:
    proxy_env_guard env;
};

// ------------------------------------------------------------------- HTTP

TEST_F(ProxyFake, HttpRepliesTable) {
    struct row {
        const char* what;
        std::string reply;
        bool split;
        const char* msg;  // nullptr: success
    } rows[] = {
        {"1.0 with headers", "HTTP/1.0 200 OK\r\nVia: x\r\nX-A: b\r\n\r\nTUNNEL", false, nullptr},
        {"1.1 established", "HTTP/1.1 200 Connection established\r\n\r\nTUNNEL", false, nullptr},
        {"one byte per read", "HTTP/1.1 200 OK\r\nProxy-Agent: fake\r\n\r\nTUNNEL", true, nullptr},
        {"bare CRs are skipped", "HTTP/1.1 200 OK\r\r\n\r\nTUNNEL", false, nullptr},
        {"no reason text", "HTTP/1.1 200\r\n\r\nTUNNEL", true, nullptr},
        {"407", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false, "proxy user or pwd error"},
        {"403", "HTTP/1.1 403 Forbidden\r\n\r\n", false, "proxy user or pwd error"},
        {"502", "HTTP/1.1 502 Bad Gateway\r\n\r\n", false, "proxy read return error"},
        {"short status line", "HTTP/1.1", false, "proxy recv len error"},
        {"headers end early", "HTTP/1.1 200 OK\r\nX: y\r\n", false, "proxy read return error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        fake_proxy fp({expect_until("\r\n\r\n"), reply(r.reply, r.split), hang_up()});
        auto res = connect_via(fp, CONF_PROXY_HTTP, "127.0.0.1", 80);
        if (!r.msg) {
            ASSERT_NE(res->sock, 0u) << res->msg;
            // Not one byte of the tunnel was taken by the handshake.
            EXPECT_EQ(tunnel_read(res->sock, 6), "TUNNEL");
        } else {
            EXPECT_EQ(res->sock, 0u);
            EXPECT_EQ(res->code, -1);
            EXPECT_EQ(res->msg, r.msg);
        }
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), k_connect_80 + "\r\n");
    }
}

TEST_F(ProxyFake, HttpRequestForms) {
    struct row {
        const char* host;
        const char* user;
        const char* pwd;
        std::string request;
    } rows[] = {
        {"::1", "", "", "CONNECT [::1]:80 HTTP/1.1\r\nHost: [::1]:80\r\n\r\n"},
        {"example.test", "u", "p",
         "CONNECT example.test:80 HTTP/1.1\r\nHost: example.test:80\r\nProxy-Authorization: Basic dTpw\r\n\r\n"},
        {"127.0.0.1", "user", "", k_connect_80 + "Proxy-Authorization: Basic dXNlcjo=\r\n\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.host);
        fake_proxy fp({expect_until("\r\n\r\n"), reply("HTTP/1.1 200 OK\r\n\r\n")});
        log_capture cap;
        auto res = connect_via(fp, CONF_PROXY_HTTP, r.host, 80, r.user, r.pwd);
        EXPECT_NE(res->sock, 0u) << res->msg;
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), r.request);
        // The request is logged, its credentials masked.
        if (*r.user) {
            EXPECT_TRUE(cap.contains("Proxy-Authorization: Basic ***\r\n")) << cap.all();
            EXPECT_EQ(cap.all().find("dTpw"), std::string::npos);
            EXPECT_EQ(cap.all().find("dXNlcjo="), std::string::npos);
        }
        EXPECT_TRUE(cap.contains("proxy init ok!!\n"));
    }
}

TEST_F(ProxyFake, HttpStatusLineIsLoggedWithinItsLength) {
    fake_proxy fp({expect_until("\r\n\r\n"), reply(std::string("HTTP/1.1 5\x01\x02") + "00 X\r\n\r\n")});
    log_capture cap;
    auto res = connect_via(fp, CONF_PROXY_HTTP, "127.0.0.1", 80);
    EXPECT_EQ(res->msg, "proxy read return error");
    EXPECT_TRUE(cap.contains("net_read [HTTP/1.1 5.] buf[9]=5 !=2 error\n")) << cap.all();
}

TEST_F(ProxyFake, HttpHeaderDrainIsBounded) {
    // A proxy that sends header lines without end: the drain stops at its
    // limit instead of reading for ever.
    std::string endless = "HTTP/1.1 200 OK\r\n";
    while (endless.size() < 2 * PROXY_HTTP_HEADER_MAX) endless += "X-Filler: abcdefghijklmnopqrstuvwxyz\r\n";
    fake_proxy fp({expect_until("\r\n\r\n"), reply(endless)});
    auto res = connect_via(fp, CONF_PROXY_HTTP, "127.0.0.1", 80, "", "", 20000);
    EXPECT_EQ(res->sock, 0u);
    EXPECT_EQ(res->msg, "proxy read return error");
}

TEST_F(ProxyFake, HttpHostThatWouldBreakTheRequestIsRefused) {
    fake_proxy fp({expect_until("\r\n\r\n")});
    auto res = connect_via(fp, CONF_PROXY_HTTP, "evil\r\nX-Injected: 1", 80);
    EXPECT_EQ(res->sock, 0u);
    EXPECT_EQ(res->msg, "proxy send error");
    fp.finish();
    EXPECT_EQ(fp.received(), "") << "nothing was sent";
}

TEST_F(ProxyFake, HandshakeHasOneDeadline) {
    // A reply that trickles in without ever ending the headers: every byte
    // arrives well within any per-read limit, yet the handshake as a whole
    // ends at the connect timeout.
    std::string trickle = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 200; ++i) trickle += "X\n";
    struct slow_proxy {
        tcp_peer peer;
        explicit slow_proxy(const std::string& text)
            : peer([text](int fd) {
                  std::string req;
                  char ch;
                  while (req.find("\r\n\r\n") == std::string::npos && read_exact(fd, &ch, 1)) req += ch;
                  for (char out : text) {
                      if (!write_all(fd, &out, 1)) return;
                      pollfd pf{fd, POLLIN, 0};
                      // The client's close ends the trickle early.
                      if (poll(&pf, 1, 20) == 1) return;
                  }
                  wait_eof(fd);
              }) {}
    } sp(trickle);
    auto o = opts_with(600, CONF_PROXY_HTTP, sp.peer.port());
    auto err = new_err();
    stopwatch w;
    EXPECT_EQ(sock_tcp_init("127.0.0.1", 80, o.get(), err.get()), 0u);
    EXPECT_GE(w.ms(), 600);
    EXPECT_STREQ(verr_msg(err.get()), "proxy read return error");
}

TEST_F(ProxyFake, SilentProxyEndsAtTheDeadlineOrTheStop) {
    {
        fake_proxy fp({expect_until("\r\n\r\n")});
        stopwatch w;
        auto res = connect_via(fp, CONF_PROXY_HTTP, "127.0.0.1", 80, "", "", 500);
        EXPECT_GE(w.ms(), 500);
        EXPECT_EQ(res->msg, "proxy recv len error");
    }
    {
        // The stop request reaches the handshake: the third look stops it.
        fake_proxy fp({expect_bytes(3)});
        struct counter {
            stop_flag flag{};
            int calls = 0;
        } c;
        c.flag.cb = [](void* arg, uint32_t) -> int { return ++static_cast<counter*>(arg)->calls >= 3; };
        c.flag.arg = &c;
        stopwatch w;
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80, "", "", 60000, &c.flag);
        EXPECT_EQ(res->sock, 0u);
        EXPECT_EQ(res->msg, "User request stop");
        EXPECT_LT(w.ms(), 60000);
        EXPECT_GE(c.calls, 3);
    }
}

TEST_F(ProxyFake, UnsupportedKindClosesTheProxyConnection) {
    fake_proxy fp({});
    auto res = connect_via(fp, 7, "127.0.0.1", 80);
    EXPECT_EQ(res->sock, 0u);
    EXPECT_EQ(res->msg, "Unsupported proxy type=7");
    fp.finish();  // the proxy saw its connection closed
}

// ------------------------------------------------------------------ SOCKS4

TEST_F(ProxyFake, Socks4RequestAndReplies) {
    const std::string req = bytes({4, 1, 0x1f, 0x90, 127, 0, 0, 1}) + "bob" + bytes({0});
    struct row {
        std::string reply;
        bool split;
        const char* msg;
    } rows[] = {
        {bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "TUNNEL", true, nullptr},
        {bytes({0, 91, 0, 0, 0, 0, 0, 0}), false, "proxy read return error"},
        {bytes({4, 90, 0, 0, 0, 0, 0, 0}), false, "proxy read return error"},
        {bytes({0, 90, 0}), false, "proxy read return error"},
    };
    for (const auto& r : rows) {
        fake_proxy fp({expect_bytes(req.size()), reply(r.reply, r.split), hang_up()});
        log_capture cap;
        auto res = connect_via(fp, CONF_PROXY_SOCKS4, "127.0.0.1", 8080, "bob");
        if (!r.msg) {
            ASSERT_NE(res->sock, 0u) << res->msg;
            EXPECT_EQ(tunnel_read(res->sock, 6), "TUNNEL");
            EXPECT_TRUE(cap.contains("hostaddr=7f000001\n")) << cap.all();
        } else {
            EXPECT_EQ(res->msg, r.msg);
            EXPECT_EQ(res->code, -1);
        }
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), req);
    }
}

TEST_F(ProxyFake, Socks4RefusesIPv6TargetsBeforeSendingAnything) {
    for (const char* host : {"::1", "fe80::1%lo"}) {
        fake_proxy fp({expect_bytes(1)});
        auto res = connect_via(fp, CONF_PROXY_SOCKS4, host, 80);
        EXPECT_EQ(res->msg, "SOCK4 does not support IPv6");
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), "");
    }
    fake_proxy fp({expect_bytes(1)});
    auto res = connect_via(fp, CONF_PROXY_SOCKS4, "no such host", 80);
    EXPECT_EQ(res->msg, "addrinfo_addr no such host error");
    EXPECT_EQ(res->code, -2);
}

TEST_F(ProxyFake, Socks4aFormCarriesTheHostName) {
    const std::string req = bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "u" + bytes({0}) + "255.255.255.255" + bytes({0});
    fake_proxy fp({expect_bytes(req.size()), reply(bytes({0, 90, 0, 0, 0, 0, 0, 0}))});
    log_capture cap;
    auto res = connect_via(fp, CONF_PROXY_SOCKS4, "255.255.255.255", 80, "u");
    EXPECT_NE(res->sock, 0u) << res->msg;
    EXPECT_TRUE(cap.contains("use socks4a\n"));
    res.reset();
    fp.finish();
    EXPECT_EQ(fp.received(), req);
}

// ------------------------------------------------------------------ SOCKS5

TEST_F(ProxyFake, Socks5ReplyCodesTable) {
    const std::string greet = bytes({5, 1, 0});
    const std::string req = bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80});
    const char* texts[] = {
        "General SOCKS server failure!", "Connection not allowed by ruleset!", "Network unreachable!",
        "Host unreachable!",             "Connection refused!",                "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",  "Address type not supported!",        "proxy unkown error: 9",
    };
    for (int code = 1; code <= 9; ++code) {
        SCOPED_TRACE(code);
        fake_proxy fp({expect_bytes(3), reply(bytes({5, 0})), expect_bytes(req.size()),
                       reply(bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}))});
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80);
        EXPECT_EQ(res->sock, 0u);
        EXPECT_EQ(res->code, -1);
        EXPECT_EQ(res->msg, texts[code - 1]);
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), greet + req);
    }
}

TEST_F(ProxyFake, Socks5BoundAddressIsDrainedWhole) {
    struct row {
        const char* what;
        std::string bound;  // type, address and port of the success reply
    } rows[] = {
        {"ipv4", bytes({1, 10, 0, 0, 1, 0x12, 0x34})},
        {"ipv6", bytes({4}) + std::string(16, '\x01') + bytes({0x12, 0x34})},
        {"name of 200 bytes", bytes({3, 200}) + std::string(200, 'n') + bytes({0x12, 0x34})},
        {"empty name", bytes({3, 0, 0x12, 0x34})},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        for (bool split : {false, true}) {
            fake_proxy fp({expect_bytes(3), reply(bytes({5, 0})), expect_bytes(10),
                           reply(bytes({5, 0, 0}) + r.bound + "TUNNEL", split), hang_up()});
            auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80);
            ASSERT_NE(res->sock, 0u) << res->msg;
            EXPECT_EQ(tunnel_read(res->sock, 6), "TUNNEL");
        }
    }
    // An address type whose length cannot be known fails rather than leave
    // its bytes in the stream.
    fake_proxy fp({expect_bytes(3), reply(bytes({5, 0})), expect_bytes(10), reply(bytes({5, 0, 0, 9, 1, 2, 3}))});
    auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80);
    EXPECT_EQ(res->sock, 0u);
    EXPECT_EQ(res->msg, "proxy read return error");
}

TEST_F(ProxyFake, Socks5TargetAddressForms) {
    struct row {
        const char* host;
        std::string addr;
    } rows[] = {
        {"192.0.2.1", bytes({1, 192, 0, 2, 1})},
        {"::1", bytes({4}) + std::string(15, '\0') + bytes({1})},
        {"example.test", bytes({3, 12}) + "example.test"},
        {"1:2", bytes({3, 3}) + "1:2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.host);
        const std::string req = bytes({5, 1, 0}) + r.addr + bytes({0x01, 0xbb});
        fake_proxy fp({expect_bytes(3), reply(bytes({5, 0})), expect_bytes(req.size()),
                       reply(bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}))});
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, r.host, 443);
        EXPECT_NE(res->sock, 0u) << res->msg;
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), bytes({5, 1, 0}) + req);
    }
    // A name longer than the one-byte length can say is refused, not cut.
    const std::string long_name(256, 'a');
    fake_proxy fp({expect_bytes(1)});
    auto res = connect_via(fp, CONF_PROXY_SOCKS5, long_name.c_str(), 443);
    EXPECT_EQ(res->msg, "proxy host name too long");
    res.reset();
    fp.finish();
    EXPECT_EQ(fp.received(), "") << "nothing was sent";
}

TEST_F(ProxyFake, Socks5MethodChoice) {
    const std::string req = bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80});
    const std::string ok = bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
    struct row {
        const char* what;
        const char* user;
        std::string method_reply;
        const char* msg;  // nullptr: success without authentication
    } rows[] = {
        {"no user, method 0", "", bytes({5, 0}), nullptr},
        {"user, proxy needs none", "u", bytes({5, 0}), nullptr},
        {"no user, proxy wants a password", "", bytes({5, 2}), "Proxy read return error"},
        {"no acceptable method", "u", bytes({5, 0xff}), "Proxy read return error"},
        {"method never offered", "u", bytes({5, 1}), "Proxy read return error"},
        {"wrong version", "", bytes({4, 0}), "Proxy read return error"},
        {"short reply", "", bytes({5}), "Proxy read return error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string greet = *r.user ? bytes({5, 2, 0, 2}) : bytes({5, 1, 0});
        std::vector<fake_step> script = {expect_bytes(greet.size()), reply(r.method_reply)};
        if (!r.msg) {
            script.push_back(expect_bytes(req.size()));
            script.push_back(reply(ok));
        } else {
            script.push_back(hang_up());
        }
        fake_proxy fp(script);
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80, r.user, "pw");
        if (!r.msg) {
            EXPECT_NE(res->sock, 0u) << res->msg;
        } else {
            EXPECT_EQ(res->sock, 0u);
            EXPECT_EQ(res->code, -2);
            EXPECT_EQ(res->msg, r.msg);
        }
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), r.msg ? greet : greet + req);
    }
}

TEST_F(ProxyFake, Socks5UserAndPassword) {
    const std::string greet = bytes({5, 2, 0, 2});
    const std::string auth = bytes({1, 5}) + "alice" + bytes({6}) + "s3cret";
    const std::string req = bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 80});
    {
        fake_proxy fp({expect_bytes(4), reply(bytes({5, 2})), expect_bytes(auth.size()), reply(bytes({1, 0})),
                       expect_bytes(req.size()), reply(bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}))});
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80, "alice", "s3cret");
        EXPECT_NE(res->sock, 0u) << res->msg;
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), greet + auth + req);
    }
    {
        fake_proxy fp({expect_bytes(4), reply(bytes({5, 2})), expect_bytes(auth.size()), reply(bytes({1, 1}))});
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80, "alice", "s3cret");
        EXPECT_EQ(res->code, -2);
        EXPECT_EQ(res->msg, "Proxy password or user name error");
    }
    // Credentials longer than a one-byte length are refused before they are
    // sent, rather than sent with a wrapped length.
    for (auto [user, pwd] : {std::pair{std::string(256, 'u'), std::string("p")},
                             std::pair{std::string("u"), std::string(300, 'p')}}) {
        fake_proxy fp({expect_bytes(4), reply(bytes({5, 2}))});
        auto res = connect_via(fp, CONF_PROXY_SOCKS5, "127.0.0.1", 80, user.c_str(), pwd.c_str());
        EXPECT_EQ(res->code, -2);
        EXPECT_EQ(res->msg, "Proxy password or user name error");
        res.reset();
        fp.finish();
        EXPECT_EQ(fp.received(), greet);
    }
}

TEST_F(ProxyFake, ProxyThatCannotBeReached) {
    const uint16_t closed_port = free_port();
    auto o = opts_with(3000, CONF_PROXY_SOCKS5, closed_port);
    auto err = new_err();
    log_capture cap;
    EXPECT_EQ(sock_tcp_init("127.0.0.1", 80, o.get(), err.get()), 0u);
    EXPECT_EQ(err->code, ECONNREFUSED);
    EXPECT_TRUE(cap.contains("connect proxy server 127.0.0.1:" + std::to_string(closed_port) + " failed\n"));
}
