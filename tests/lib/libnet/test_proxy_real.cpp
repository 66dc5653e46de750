// Tunnels through real proxies started by the test on 127.0.0.1: tinyproxy
// (HTTP CONNECT, with and without BasicAuth), microsocks (SOCKS5, with and
// without user and password) and dante (SOCKS4), each in front of an echo
// server of the test. A test whose proxy program is not installed is skipped.
#include "libpal/network/url.h"
#include "net_rig.h"

using namespace net_test;

namespace {

bool is_root() { return geteuid() == 0; }

// A proxy daemon of the test, listening on its own port.
class proxy_daemon {
public:
    // argv_of builds the command line from the port.
    proxy_daemon(const temp_dir& dir, const std::string& name,
                 const std::function<std::vector<std::string>(uint16_t)>& argv_of)
        : port_(free_port()), log_(dir.file(name + ".log")) {
        proc_ = std::make_unique<daemon_proc>(argv_of(port_), log_);
        ready_ = proc_->started() && proc_->wait_listening(port_);
    }
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string log() const { return read_file(log_); }

private:
    uint16_t port_;
    std::string log_;
    std::unique_ptr<daemon_proc> proc_;
    bool ready_ = false;
};

// A connect to the echo server through the proxy; the error text on failure.
struct tunnel_result {
    uint64_t sock = 0;
    std::string msg;
    ~tunnel_result() {
        if (sock) sock_close(sock);
    }
};

std::unique_ptr<tunnel_result> tunnel(const sock_opts& o, uint16_t target_port) {
    auto r = std::make_unique<tunnel_result>();
    auto err = new_err();
    r->sock = sock_tcp_init("127.0.0.1", target_port, &o, err.get());
    if (!r->sock) r->msg = verr_msg(err.get());
    return r;
}

class ProxyReal : public ::testing::Test {
protected:
    proxy_env_guard env;
    temp_dir dir;
    echo_server echo;

    // tinyproxy allowing CONNECT to the echo server only.
    std::unique_ptr<proxy_daemon> start_tinyproxy(const char* basic_auth) {
        const std::string bin = find_program("tinyproxy");
        if (bin.empty()) return nullptr;
        return std::make_unique<proxy_daemon>(dir, "tinyproxy", [&](uint16_t port) {
            std::string conf = "Port " + std::to_string(port) +
                               "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nLogLevel Info\n"
                               "ConnectPort " +
                               std::to_string(echo.port()) + "\n";
            if (basic_auth) conf += std::string("BasicAuth ") + basic_auth + "\n";
            if (is_root()) conf += "User nobody\nGroup nogroup\n";
            write_file(dir.file("tinyproxy.conf"), conf);
            return std::vector<std::string>{bin, "-d", "-c", dir.file("tinyproxy.conf")};
        });
    }

    std::unique_ptr<proxy_daemon> start_microsocks(const char* user, const char* pwd) {
        const std::string bin = find_program("microsocks");
        if (bin.empty()) return nullptr;
        return std::make_unique<proxy_daemon>(dir, "microsocks", [&](uint16_t port) {
            std::vector<std::string> argv{bin, "-i", "127.0.0.1", "-p", std::to_string(port)};
            if (user) argv.insert(argv.end(), {"-u", user, "-P", pwd});
            return argv;
        });
    }

    std::unique_ptr<proxy_daemon> start_danted() {
        const std::string bin = find_program("danted");
        if (bin.empty()) return nullptr;
        return std::make_unique<proxy_daemon>(dir, "danted", [&](uint16_t port) {
            std::string conf = "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                               "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n";
            // Settings come before the rules.
            if (is_root()) conf += "user.privileged: root\nuser.unprivileged: nobody\n";
            conf += "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                    "socks pass {\n from: 127.0.0.0/8 to: 127.0.0.0/8\n command: connect\n protocol: tcp\n}\n";
            write_file(dir.file("danted.conf"), conf);
            return std::vector<std::string>{bin, "-f", dir.file("danted.conf"), "-N", "1"};
        });
    }
};

#define REQUIRE_DAEMON(d, name)                                               \
    do {                                                                      \
        if (!(d)) GTEST_SKIP() << name " is not installed";                   \
        ASSERT_TRUE((d)->ready()) << name " did not start:\n" << (d)->log();  \
    } while (0)

}  // namespace

TEST_F(ProxyReal, TinyproxyConnect) {
    auto tp = start_tinyproxy(nullptr);
    REQUIRE_DAEMON(tp, "tinyproxy");
    auto o = opts_with(5000, CONF_PROXY_HTTP, tp->port());
    auto t = tunnel(*o, echo.port());
    ASSERT_NE(t->sock, 0u) << t->msg;
    EXPECT_EQ(echo_through(t->sock, "through tinyproxy"), "through tinyproxy");
    // Longer than one segment, both ways.
    const std::string big(300000, 'b');
    EXPECT_TRUE(echo_through(t->sock, big) == big);
}

TEST_F(ProxyReal, TinyproxyBasicAuth) {
    auto tp = start_tinyproxy("alice s3cret");
    REQUIRE_DAEMON(tp, "tinyproxy");
    struct row {
        const char* user;
        const char* pwd;
        const char* msg;  // nullptr: the tunnel works
    } rows[] = {
        {"alice", "s3cret", nullptr},
        {"alice", "wrong", "proxy user or pwd error"},
        {"", "", "proxy user or pwd error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.user) + ":" + r.pwd);
        auto o = opts_with(5000, CONF_PROXY_HTTP, tp->port(), r.user, r.pwd);
        auto t = tunnel(*o, echo.port());
        if (!r.msg) {
            ASSERT_NE(t->sock, 0u) << t->msg;
            EXPECT_EQ(echo_through(t->sock, "auth ok"), "auth ok");
        } else {
            EXPECT_EQ(t->sock, 0u);
            EXPECT_EQ(t->msg, r.msg);
        }
    }
}

TEST_F(ProxyReal, NamedProxyAndEnvironmentReachTinyproxy) {
    auto tp = start_tinyproxy("alice s3cret");
    REQUIRE_DAEMON(tp, "tinyproxy");
    // The proxy file, the password in hexadecimal ("s3cret").
    const std::string file = dir.file("kx_proxy.ini");
    write_file(file, "[office]\nproto=http\nip=127.0.0.1\nport=" + std::to_string(tp->port()) +
                         "\nuser=alice\npwd=733363726574\n");
    setenv("KX_PROXY_FILE", file.c_str(), 1);
    auto o = opts_with(5000);
    auto err = new_err();
    ASSERT_EQ(conf_proxy_get("", "office", &o->proxy, err.get()), 0) << verr_msg(err.get());
    auto t = tunnel(*o, echo.port());
    ASSERT_NE(t->sock, 0u) << t->msg;
    EXPECT_EQ(echo_through(t->sock, "named"), "named");

    // http_proxy without a scheme, as it is often written.
    const std::string env_value = "alice:s3cret@127.0.0.1:" + std::to_string(tp->port());
    setenv("http_proxy", env_value.c_str(), 1);
    auto o2 = opts_with(5000);
    ASSERT_EQ(conf_proxy_get("", "", &o2->proxy, err.get()), 0) << verr_msg(err.get());
    auto t2 = tunnel(*o2, echo.port());
    ASSERT_NE(t2->sock, 0u) << t2->msg;
    EXPECT_EQ(echo_through(t2->sock, "env"), "env");
}

TEST_F(ProxyReal, MicrosocksWithoutAuthentication) {
    auto ms = start_microsocks(nullptr, nullptr);
    REQUIRE_DAEMON(ms, "microsocks");
    // Through a proxy URL, as the remote client chooses it.
    auto o = opts_with(5000);
    const std::string url = "socks5://127.0.0.1:" + std::to_string(ms->port());
    ASSERT_EQ(conf_proxy_get(url.c_str(), "", &o->proxy, nullptr), 0);
    auto t = tunnel(*o, echo.port());
    ASSERT_NE(t->sock, 0u) << t->msg;
    EXPECT_EQ(echo_through(t->sock, "socks5"), "socks5");
}

TEST_F(ProxyReal, MicrosocksUserAndPassword) {
    auto ms = start_microsocks("alice", "s3cret");
    REQUIRE_DAEMON(ms, "microsocks");
    struct row {
        const char* user;
        const char* pwd;
        const char* msg;
    } rows[] = {
        {"alice", "s3cret", nullptr},
        {"alice", "wrong", "Proxy password or user name error"},
        {"", "", "Proxy read return error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.user) + ":" + r.pwd);
        auto o = opts_with(5000, CONF_PROXY_SOCKS5, ms->port(), r.user, r.pwd);
        auto t = tunnel(*o, echo.port());
        if (!r.msg) {
            ASSERT_NE(t->sock, 0u) << t->msg;
            EXPECT_EQ(echo_through(t->sock, "socks5 auth"), "socks5 auth");
        } else {
            EXPECT_EQ(t->sock, 0u);
            EXPECT_EQ(t->msg, r.msg);
        }
    }
}

TEST_F(ProxyReal, DanteSocks4) {
    auto d = start_danted();
    REQUIRE_DAEMON(d, "danted");
    auto o = opts_with(5000, CONF_PROXY_SOCKS4, d->port(), "nobody");
    auto t = tunnel(*o, echo.port());
    ASSERT_NE(t->sock, 0u) << t->msg << "\n" << d->log();
    EXPECT_EQ(echo_through(t->sock, "socks4"), "socks4");
    // A port nobody listens on: dante refuses the request.
    auto refused = tunnel(*o, free_port());
    EXPECT_EQ(refused->sock, 0u);
    EXPECT_EQ(refused->msg, "proxy read return error");
}
