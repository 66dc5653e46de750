// Connections: URL options, connect and login against the Python test
// server, pack switch, server information, TLS, proxy, reconnect, stop
// requests, the end of a connection and the handle functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kxsd_conn_rig.h"
#include "libblock/bd.h"
#include "liblog/log2.h"
#include "libkxsd/kxsd_cmd.h"
#include "libpack/pack.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "support/log_capture.h"

using namespace kxsd_rig;

namespace {

// The process-wide client for every test of the program.
class client_env : public ::testing::Environment {
public:
    void SetUp() override { kxsd_cli_init(); }
    void TearDown() override { kxsd_cli_uninit(); }
};
[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new client_env);

// Sets (or unsets) an environment variable while it lives.
class env_var {
public:
    env_var(const char* name, const char* value) : name_(name) {
        if (const char* v = getenv(name)) old_ = v, had_ = true;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~env_var() {
        if (had_) setenv(name_, old_.c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

std::string b64_text(const std::string& text) {
    char out[1024];
    EXPECT_GT(str_base64_encode_str(text.c_str(), out, sizeof out), 0);
    return out;
}

int connects_of(const kxsd_server_proc& srv) {
    int n = 0;
    for (const mini_json& r : srv.log()) n += r["event"].s() == "connect";
    return n;
}

}  // namespace

TEST(KxsdConnOpts, UrlKeysAndTheirDefaults) {
    struct row {
        const char* url;
        uint32_t bssl;
        uint16_t port;
        int32_t connect, read, write;
        int32_t block;
        uint32_t rdir, sockbuf;
        const char* pack;
        const char* cipher;
    };
    const int32_t B = KXSD_BLOCK_SIZE_DEF;
    const uint32_t R = KXSD_RDIR_SIZE_DEF, S = KXSD_SOCK_BUFSIZE_DEF;
    const row rows[] = {
        {"KXPS://u:p@h/img", 1, 6686, 4000, 10000, 8000, B, R, S, "lz4", ""},
        {"kxps://u:p@h:6000/img", 1, 6000, 4000, 10000, 8000, B, R, S, "lz4", ""},
        {"kxp://u:p@h:7000/img", 0, 7000, 4000, 10000, 8000, B, R, S, "lz4", ""},
        {"kxp://h/img", 0, 6688, 4000, 10000, 8000, B, R, S, "lz4", ""},
        {"kxp://h/img?write_timeout=30&read_timeout=10", 0, 6688, 4000, 10000, 9000, B, R, S, "lz4", ""},
        {"kxp://h/img?connect_timeout=3&read_timeout=20&write_timeout=12", 0, 6688, 3000, 20000, 12000, B, R, S,
         "lz4", ""},
        {"kxp://h/img?connect_timeout=0&read_timeout=0&write_timeout=-3", 0, 6688, 4000, 10000, 8000, B, R, S, "lz4",
         ""},
        {"kxp://h/img?read_timeout=2", 0, 6688, 4000, 2000, 1000, B, R, S, "lz4", ""},
        // One second leaves no room below it: half of it, never 0.
        {"kxp://h/img?read_timeout=1", 0, 6688, 4000, 1000, 500, B, R, S, "lz4", ""},
        {"kxp://h/img?connect_timeout=99999999999", 0, 6688, 2147483000, 10000, 8000, B, R, S, "lz4", ""},
        {"kxp://h/img?mblock-size=1M&rdir-size=64k&sock-bufsize=1M", 0, 6688, 4000, 10000, 8000, 1 << 20, 65536,
         1 << 20, "lz4", ""},
        {"kxp://h/img?mblock-size=0&rdir-size=junk", 0, 6688, 4000, 10000, 8000, B, R, S, "lz4", ""},
        // A block must fit one message body: larger sizes are cut.
        {"kxp://h/img?mblock-size=64M&rdir-size=8G&sock-bufsize=1T", 0, 6688, 4000, 10000, 8000,
         KXSD_BLOCK_SIZE_MAX, KXSD_RDIR_SIZE_MAX, KXSD_SOCK_BUFSIZE_MAX, "lz4", ""},
        {"kxp://h/img?pack=none&ssl-cipher=RC4-SHA", 0, 6688, 4000, 10000, 8000, B, R, S, "none", "RC4-SHA"},
        {"kxp://h/img?pack=&ssl-cipher=aes_256_ecb", 0, 6688, 4000, 10000, 8000, B, R, S, "lz4", "aes_256_ecb"},
        {"kxp://h/img?pack=averyverylongpackname", 0, 6688, 4000, 10000, 8000, B, R, S, "averyverylongpa", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.url);
        auto buf = std::make_unique<char[]>(URL_SIZE);
        url_ctx u{};
        ASSERT_EQ(url_parser(&u, buf.get(), r.url), 0);
        auto o = std::make_unique<kxsd_conn_opts>();
        ASSERT_EQ(kxsd_cli_url_opts(&u, o.get(), nullptr), 0);
        EXPECT_EQ(o->bssl, r.bssl);
        EXPECT_EQ(o->port, r.port);
        EXPECT_EQ(o->connect_timeout, r.connect);
        EXPECT_EQ(o->read_timeout, r.read);
        EXPECT_EQ(o->write_timeout, r.write);
        EXPECT_EQ(o->block_size, r.block);
        EXPECT_EQ(o->rdir_size, r.rdir);
        EXPECT_EQ(o->sock_bufsize, r.sockbuf);
        EXPECT_STREQ(o->pack, r.pack);
        EXPECT_STREQ(o->cipher, r.cipher);
        EXPECT_STREQ(o->proxy_url, "");
    }
}

TEST(KxsdConnOpts, ProxyKeys) {
    auto buf = std::make_unique<char[]>(URL_SIZE);
    auto o = std::make_unique<kxsd_conn_opts>();
    verr_info err{};
    url_ctx u{};
    const std::string good = "kxp://h/img?proxy=office&proxy_url=" + b64_text("http://pu:pp@10.0.0.1:3128");
    ASSERT_EQ(url_parser(&u, buf.get(), good.c_str()), 0);
    ASSERT_EQ(kxsd_cli_url_opts(&u, o.get(), &err), 0);
    EXPECT_STREQ(o->proxy_url, "http://pu:pp@10.0.0.1:3128");
    EXPECT_STREQ(o->proxy, "office");

    // A proxy URL that cannot be read fails the options rather than
    // letting the connect go around the proxy.
    ASSERT_EQ(url_parser(&u, buf.get(), "kxp://h/img?proxy_url=not*base64"), 0);
    EXPECT_EQ(kxsd_cli_url_opts(&u, o.get(), &err), -1);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_STREQ(err.message, "proxy_url is not base64");
}

TEST(KxsdConnLogin, EachMethodAndItsRefusals) {
    struct row {
        const char* what;
        std::vector<std::string> args;
        std::string account;
        bool ok;
        std::vector<int> cmds;  // what the server received (the connect only)
        int32_t code;           // of the error record after a failed connect
        const char* message;
    };
    const row rows[] = {
        {"probe accepted: no real login", {"--probe", "accept"}, "user:pass", true, {1, 20, 4}, 0, ""},
        {"protocol 1: the {SHA} form", {}, "user:pass", true, {1, 1, 20, 4}, 0, ""},
        {"protocol 1, empty password: sent empty", {"--password", ""}, "user:", true, {1, 1, 20, 4}, 0, ""},
        {"protocol 2: the challenge login", {"--proto", "2"}, "user:pass", true, {1, 90, 91, 20, 4}, 0, ""},
        {"protocol 1, wrong password", {}, "user:wrong", false, {1, 1}, 1, "Wrong user or password"},
        {"protocol 2, wrong password", {"--proto", "2"}, "user:wrong", false, {1, 90, 91}, 1,
         "Wrong user or password"},
        {"protocol 2, unknown user", {"--proto", "2"}, "nobody:pass", false, {1, 90, 91}, 1, "Wrong user or password"},
        {"probe refused with another errno", {"--fault", "errno:cmd=1,value=-10,text=account locked"}, "user:pass",
         false, {1}, -10, "account locked"},
        {"challenge step refused", {"--proto", "2", "--fault", "errno:cmd=90,value=-38,text=no challenge for you"},
         "user:pass", false, {1, 90}, -38, "no challenge for you"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kxsd_server_proc srv(r.args);
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port(), "", "kxp", r.account));
        EXPECT_EQ(static_cast<bool>(c), r.ok) << c.why();
        EXPECT_EQ(cmds_of(srv), r.cmds);
        auto logins = srv.requests(1);
        ASSERT_FALSE(logins.empty());
        EXPECT_EQ(logins[0]["fields"]["user"].s(), ":");
        EXPECT_EQ(logins[0]["fields"]["passwd"].s(), "");
        if (r.ok) {
            EXPECT_EQ(c.err->code, 0);
            EXPECT_EQ(c->srv_proto, r.args.size() >= 2 && r.args[0] == "--proto" ? 2 : 1);
        } else {
            EXPECT_EQ(c.err->code, r.code);
            EXPECT_STREQ(c.err->message, r.message);
        }
    }
}

TEST(KxsdConnLogin, WhatEachMethodSends) {
    {
        SCOPED_TRACE("{SHA}");
        kxsd_server_proc srv;
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port()));
        ASSERT_TRUE(c) << c.why();
        auto logins = srv.requests(1);
        ASSERT_EQ(logins.size(), 2u);
        EXPECT_EQ(logins[1]["fields"]["user"].s(), "user");
        // base64 of the SHA-1 of "pass", worked out independently.
        EXPECT_EQ(logins[1]["fields"]["passwd"].s(), "{SHA}nU4eI71bcnBGqeO0t9tXvY1u5oQ=");
        EXPECT_STREQ(c->login_key, "");
    }
    {
        SCOPED_TRACE("challenge");
        kxsd_server_proc srv({"--proto", "2", "--cert", std::string(256, 'c')});
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port()));
        ASSERT_TRUE(c) << c.why();
        auto step1 = srv.requests(90), step2 = srv.requests(91);
        ASSERT_EQ(step1.size(), 1u);
        ASSERT_EQ(step2.size(), 1u);
        EXPECT_EQ(step1[0]["fields"]["user"].s(), "user");
        EXPECT_EQ(step1[0]["fields"]["ver"].i(), 1);
        EXPECT_EQ(step1[0]["types"]["ver"].i(), BLOBMSG_TYPE_INT32);
        // The server accepted the key; it is the one kept.
        EXPECT_EQ(step2[0]["fields"]["lkey"].s(), std::string(c->login_key));
        EXPECT_EQ(std::strlen(c->login_key), 40u);
    }
}

TEST(KxsdConnLogin, OsTypeIsKeptFromAnErrorReply) {
    kxsd_server_proc srv({"--no-login-check", "--os-type", "1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    connected c(url_of(srv.port()), nullptr, 0);
    ASSERT_TRUE(c) << c.why();
    EXPECT_EQ(cmds_of(srv), (std::vector<int>{20, 4}));
    EXPECT_EQ(c->os_type, 0);
    EXPECT_EQ(cli_login(c.get(), "user", "wrong"), KXSD_CLI_SRV_ERR);
    EXPECT_EQ(c->srv_errno, 1);
    EXPECT_EQ(c->os_type, 1);
    int32_t os_type = -5;
    EXPECT_EQ(kxsd_cli_get_os_type(c.get(), &os_type), 0);
    EXPECT_EQ(os_type, 1);
}

TEST(KxsdConnPack, TheSwitchAgreesWithTheServer) {
    const std::string data(100000, 'k');
    struct row {
        const char* query;
        const char* name;
        int32_t len;  // of the switch's data: the name and its NUL
        uint32_t id;
    };
    for (const row& r : {row{"", "lz4", 4, PACK_LZ4}, row{"pack=none", "none", 5, PACK_NONE},
                         row{"pack=lz4", "lz4", 4, PACK_LZ4}}) {
        SCOPED_TRACE(r.name);
        kxsd_server_proc srv;
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), data);
        connected c(url_of(srv.port(), r.query));
        ASSERT_TRUE(c) << c.why();
        auto sw = srv.requests(20);
        ASSERT_EQ(sw.size(), 1u);
        EXPECT_EQ(sw[0]["code"].i(), KXSD_IOCTL_PACK);
        EXPECT_EQ(sw[0]["fields"]["fd"].i(), 0);
        EXPECT_EQ(sw[0]["text"].s(), r.name);
        EXPECT_EQ(sw[0]["fields"]["len"].i(), r.len);
        EXPECT_EQ(sw[0]["fields"]["data"]["len"].i(), r.len);
        EXPECT_STREQ(c->pack.name, r.name);
        ASSERT_NE(c->pack.handle, nullptr);
        EXPECT_EQ(pack_handle_id(c->pack.handle), r.id);
        // Both ends now use the method: a read comes back whole.
        int64_t fd = 0;
        ASSERT_EQ(cli_open(c.get(), "/img", 0x1, &fd), KXSD_CLI_OK);
        std::string got(data.size(), '\0');
        int32_t plain = 0, packed = 0;
        ASSERT_EQ(cli_read_imp(c.get(), fd, got.data(), static_cast<int32_t>(got.size()), &plain, &packed, 0, 0),
                  KXSD_CLI_OK);
        EXPECT_EQ(plain, static_cast<int32_t>(data.size()));
        EXPECT_TRUE(got == data);
        if (r.id == PACK_LZ4) {
            EXPECT_LT(packed, 2000);
        } else {
            EXPECT_EQ(packed, plain);
        }
    }
}

TEST(KxsdConnPack, AMethodTheServerRefusesFailsTheConnect) {
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    connected c(url_of(srv.port(), "pack=zstd"));
    EXPECT_FALSE(c);
    EXPECT_EQ(c.err->code, -37);
    EXPECT_STREQ(c.err->message, "unknown pack method [zstd]");
    EXPECT_EQ(cmds_of(srv), (std::vector<int>{1, 1, 20}));
}

TEST(KxsdConnInfo, TheServersVersionSetsTheFeatures) {
    struct row {
        const char* ver;
        const char* plat;
        uint8_t long_stat, offsets, windows;
        int pwritex_gate;  // kxsd_cli_ver_at_least(conn, "1.6.2")
    };
    const row rows[] = {
        {"1.5.2", "linux", 0, 0, 0, 0},   {"1.5.3", "linux", 1, 0, 0, 0},    {"1.6.2", "linux", 1, 0, 0, 1},
        {"1.6.3", "darwin", 1, 0, 0, 1},  {"1.6.4", "windows", 1, 1, 1, 1},  {"1.10.0", "Windows", 1, 1, 0, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.ver);
        kxsd_server_proc srv({"--ver", r.ver, "--plat", r.plat});
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port()));
        ASSERT_TRUE(c) << c.why();
        EXPECT_STREQ(c->srv_ver, r.ver);
        EXPECT_EQ(c->long_stat, r.long_stat);
        EXPECT_EQ(c->offsets, r.offsets);
        EXPECT_EQ(c->windows, r.windows);
        EXPECT_EQ(kxsd_cli_ver_at_least(c.get(), "1.6.2"), r.pwritex_gate);
        auto info = srv.requests(4);
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(info[0]["fields"]["param"].s(), "");
    }
}

TEST(KxsdConnInfo, ServerServices) {
    kxsd_server_proc srv({"--lsblk", "[{\"name\":\"sda\"}]", "--os-type", "0"});
    ASSERT_TRUE(srv.started()) << srv.error();
    connected c(url_of(srv.port()));
    ASSERT_TRUE(c) << c.why();

    char text[4096];
    ASSERT_EQ(kxsd_cli_lsblk(c.get(), text, sizeof text), 0);
    EXPECT_STREQ(text, "[{\"name\":\"sda\"}]");
    char small[8];
    ASSERT_EQ(kxsd_cli_info(c.get(), small, sizeof small), 0);
    EXPECT_STREQ(small, "ver=[1.");  // cut to the buffer
    ASSERT_EQ(kxsd_cli_info(c.get(), text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("plat=[linux]"), std::string::npos);

    kxsd_volume_info vol{};
    ASSERT_EQ(kxsd_cli_volume_info(c.get(), "/", &vol), 0);
    EXPECT_STREQ(vol.fs_name, "kxtestfs");
    EXPECT_STREQ(vol.vol_name, "kxtest");
    EXPECT_GT(vol.total_bytes, 0u);
    EXPECT_GE(vol.total_bytes, vol.free_bytes);
    EXPECT_EQ(c.err->code, 0);
    // A refusal is in the record, and a later success clears it.
    EXPECT_EQ(kxsd_cli_volume_info(c.get(), "/no/such/dir", &vol), -1);
    EXPECT_EQ(c.err->code, -102);
    EXPECT_EQ(kxsd_cli_get_last_errno(c.get()), -102);
    EXPECT_NE(std::string(kxsd_cli_get_last_error(c.get())).find("No such file"), std::string::npos);
    ASSERT_EQ(kxsd_cli_info(c.get(), text, sizeof text), 0);
    EXPECT_EQ(kxsd_cli_get_last_errno(c.get()), 0);
}

TEST(KxsdConnect, Failures) {
    struct row {
        const char* what;
        std::vector<std::string> args;
        std::string query;
        int32_t code;
        const char* message;
    };
    const row rows[] = {
        {"server closes at the login", {"--fault", "close:cmd=1"}, "", VERR_TIMEOUT, "read data timeout"},
        {"bad magic in the pack switch's reply", {"--fault", "magic:cmd=20"}, "", -466, "read data content error"},
        {"info reply lacks its text", {"--fault", "drop:cmd=4,field=info"}, "", -466, "read data content error"},
        {"info reply cut short", {"--fault", "truncate:cmd=4"}, "", VERR_TIMEOUT, "read data timeout"},
        {"server stalls at the info", {"--fault", "stall:cmd=4"}, "read_timeout=1", VERR_TIMEOUT, "read data timeout"},
        {"server refuses the info", {"--fault", "errno:cmd=4,value=-1,text=busy"}, "", -1, "busy"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kxsd_server_proc srv(r.args);
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port(), r.query));
        EXPECT_FALSE(c);
        EXPECT_EQ(c.err->code, r.code);
        EXPECT_STREQ(c.err->message, r.message);
    }
}

TEST(KxsdConnect, FailuresBeforeAnyRequest) {
    verr_info err{};
    // A URL too long for the parser.
    const std::string long_url = "kxp://h/" + std::string(9000, 'a');
    err.code = 99;
    EXPECT_EQ(kxsd_cli_connect(long_url.c_str(), nullptr, &err), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_STREQ(err.message, "");
    EXPECT_EQ(kxsd_cli_connect(nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);

    uint16_t dead_port;
    {
        kxsd_server_proc srv;
        ASSERT_TRUE(srv.started()) << srv.error();
        dead_port = srv.port();
    }
    connected refused(url_of(dead_port));
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.err->code, 0);
    EXPECT_NE(std::string(refused.err->message).find("connect 127.0.0.1"), std::string::npos) << refused.why();

    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    {
        SCOPED_TRACE("unreadable proxy_url");
        connected c(url_of(srv.port(), "proxy_url=not*base64"));
        EXPECT_FALSE(c);
        EXPECT_STREQ(c.err->message, "proxy_url is not base64");
    }
    {
        SCOPED_TRACE("named proxy without a proxy file");
        env_var no_file("KX_PROXY_FILE", nullptr);
        connected c(url_of(srv.port(), "proxy=office"));
        EXPECT_FALSE(c);
        EXPECT_STREQ(c.err->message, "%KX_ENV_PROXY_FILE% Is NULL");
    }
    {
        SCOPED_TRACE("TLS to a plain server");
        connected c(url_of(srv.port(), "", "kxps"));
        EXPECT_FALSE(c);
        EXPECT_EQ(c.err->code, VERR_GENERAL_FAILURE);
        EXPECT_STREQ(c.err->message, "ssl_cli_connect failed");
    }
    // None of them came as far as a request (the TLS hello is no request).
    for (const mini_json& r : srv.requests()) EXPECT_TRUE(r.has("error")) << r["cmd"].i();
}

TEST(KxsdConnect, NoPasswordInAnyLogLine) {
    const std::string pw = "s3cret-pw";
    for (const char* proto : {"1", "2"}) {
        SCOPED_TRACE(proto);
        kxsd_server_proc srv({"--proto", proto, "--password", pw});
        ASSERT_TRUE(srv.started()) << srv.error();
        log_capture cap(LOG2_VERB);
        connected c(url_of(srv.port(), "", "kxp", "user:" + pw));
        ASSERT_TRUE(c) << c.why();
        const std::string all = cap.all();
        EXPECT_EQ(all.find(pw), std::string::npos) << all;
        EXPECT_EQ(all.find("XHFEJM09of"), std::string::npos) << all;  // its {SHA} form
        if (c->login_key[0]) {
            EXPECT_EQ(all.find(c->login_key), std::string::npos) << all;
        }
        EXPECT_NE(all.find("user=[user] passwd=[***] pack=[lz4] bssl=[0] cipher=[]"), std::string::npos) << all;
        EXPECT_NE(all.find("connect_timeout=4000 read_timeout=10000 write_timeout=8000"), std::string::npos);
        EXPECT_NE(all.find("ver=1.6.8 os=linux.x86_64.64 order=little"), std::string::npos);
    }
}

TEST(KxsdConnect, TlsSessions) {
    if (!keys().ok) GTEST_SKIP() << "openssl is missing";
    struct row {
        const char* what;
        const char* server_ciphers;  // empty: the library's defaults
        const char* query;
        bool ok;
    };
    const row rows[] = {
        {"default suites", "", "", true},
        {"aes_256_ecb against a server that has it", "AES256-SHA", "ssl-cipher=AES_256_ECB", true},
        {"another cipher text changes nothing", "ECDHE-RSA-AES128-GCM-SHA256", "ssl-cipher=RC4-SHA", true},
        {"aes_256_ecb against a server without it", "ECDHE-RSA-AES128-GCM-SHA256", "ssl-cipher=aes_256_ecb", false},
    };
    const std::string data(3 << 20, 't');
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> args = {"--tls-cert", keys().cert(), "--tls-key", keys().key()};
        if (*r.server_ciphers) args.insert(args.end(), {"--tls-ciphers", r.server_ciphers});
        kxsd_server_proc srv(args);
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), data);
        connected c(url_of(srv.port(), r.query, "kxps"));
        ASSERT_EQ(static_cast<bool>(c), r.ok) << c.why();
        if (!r.ok) {
            EXPECT_EQ(c.err->code, VERR_GENERAL_FAILURE);
            EXPECT_STREQ(c.err->message, "ssl_cli_connect failed");
            continue;
        }
        EXPECT_EQ(c->bssl, 1u);
        EXPECT_NE(c->chan.ssl, nullptr);
        // A reply of many TLS records in one read.
        int64_t fd = 0;
        ASSERT_EQ(cli_open(c.get(), "/img", 0x1, &fd), KXSD_CLI_OK);
        std::string got(data.size(), '\0');
        int32_t plain = 0;
        ASSERT_EQ(cli_read_imp(c.get(), fd, got.data(), static_cast<int32_t>(got.size()), &plain, nullptr, 0, 0),
                  KXSD_CLI_OK);
        EXPECT_EQ(plain, static_cast<int32_t>(data.size()));
        EXPECT_TRUE(got == data);
        // A reconnect runs TLS and the login again.
        ASSERT_EQ(kxsd_cli_reconnect(c.get()), 0) << c.why();
        EXPECT_NE(c->chan.ssl, nullptr);
        char text[4096];
        EXPECT_EQ(kxsd_cli_info(c.get(), text, sizeof text), 0);
        EXPECT_EQ(connects_of(srv), 2);
    }
}

TEST(KxsdReconnect, TakesTheProxyOfTheConnect) {
    connect_relay relay;
    ASSERT_NE(relay.port(), 0);
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    env_var no_env_proxy("http_proxy", nullptr);
    const std::string proxy = b64_text("http://127.0.0.1:" + std::to_string(relay.port()));
    connected c(url_of(srv.port(), "proxy_url=" + proxy));
    ASSERT_TRUE(c) << c.why();
    EXPECT_EQ(relay.tunnels(), 1);
    ASSERT_EQ(kxsd_cli_reconnect(c.get()), 0) << c.why();
    EXPECT_EQ(relay.tunnels(), 2);
    char text[4096];
    ASSERT_EQ(kxsd_cli_info(c.get(), text, sizeof text), 0);
    // The new connection logged in before its first request.
    std::vector<int> second;
    for (const mini_json& r : srv.requests()) {
        if (r["conn"].i() == 2) second.push_back(static_cast<int>(r["cmd"].i()));
    }
    EXPECT_EQ(second, (std::vector<int>{1, 1, 4}));
}

TEST(KxsdReconnect, Failures) {
    {
        SCOPED_TRACE("server gone");
        auto srv = std::make_unique<kxsd_server_proc>();
        ASSERT_TRUE(srv->started()) << srv->error();
        connected c(url_of(srv->port()));
        ASSERT_TRUE(c) << c.why();
        srv.reset();
        EXPECT_EQ(kxsd_cli_reconnect(c.get()), -1);
        EXPECT_EQ(c.err->code, VERR_TIMEOUT);
        EXPECT_STREQ(c.err->message, "connect timeout error");
        EXPECT_EQ(c->chan.handle, 0u);
    }
    {
        SCOPED_TRACE("login refused on the new connection");
        kxsd_server_proc srv({"--fault", "errno:cmd=1,conn=2,value=5,text=denied"});
        ASSERT_TRUE(srv.started()) << srv.error();
        connected c(url_of(srv.port()));
        ASSERT_TRUE(c) << c.why();
        EXPECT_EQ(kxsd_cli_reconnect(c.get()), -1);
        EXPECT_EQ(c.err->code, 5);
        EXPECT_STREQ(c.err->message, "denied");
    }
}

TEST(KxsdConnStop, TheStopRequestEndsAWaitAndCanBeDetached) {
    // The third information request gets no answer at all.
    kxsd_server_proc srv({"--fault", "stall:cmd=4,nth=3"});
    ASSERT_TRUE(srv.started()) << srv.error();
    stop_flag stop{};
    connected c(url_of(srv.port()), &stop);
    ASSERT_TRUE(c) << c.why();
    EXPECT_EQ(c->chan.stop_req, &stop);
    char text[4096];

    // Detached, a set stop request no longer ends a wait.
    stop.stop = 1;
    kxsd_cli_clear_stop(c.get());
    EXPECT_EQ(kxsd_cli_info(c.get(), text, sizeof text), 0) << c.why();

    // Attached, it does: the reply is not waited for (the read timeout is
    // 10 s; the stop is seen before the first wait).
    c->chan.stop_req = &stop;
    EXPECT_EQ(kxsd_cli_info(c.get(), text, sizeof text), -1);
    EXPECT_EQ(c.err->code, VERR_CANCELLED) << c.why();
}

TEST(KxsdConnExit, ClosesWhatIsOpenThenLogsOut) {
    kxsd_server_proc srv({"--max-conns", "1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), "data");
    connected c(url_of(srv.port()));
    ASSERT_TRUE(c) << c.why();

    // Handles as the remote-file code keeps them.
    auto* f = static_cast<kxsd_file_ctx*>(pl_calloc(1, sizeof(kxsd_file_ctx)));
    f->kind = KXSD_KIND_FILE;
    f->conn = c.get();
    f->path = pl_strdup("/img");
    ASSERT_EQ(cli_open(c.get(), "/img", 0x1, &f->fd), KXSD_CLI_OK);
    ASSERT_EQ(mem_ptr_add(&c->files, f), 0);
    auto* d = static_cast<kxsd_dir_ctx*>(pl_calloc(1, sizeof(kxsd_dir_ctx)));
    d->kind = KXSD_KIND_DIR;
    d->conn = c.get();
    ASSERT_EQ(cli_opendir(c.get(), "/", nullptr, &d->fd), KXSD_CLI_OK);
    ASSERT_EQ(mem_ptr_add(&c->dirs, d), 0);
    const int64_t file_fd = f->fd, dir_fd = d->fd;

    log_capture cap(LOG2_VERB);
    EXPECT_EQ(kxsd_cli_exit(c.conn.release()), 0);
    EXPECT_TRUE(cap.contains("==>"));
    EXPECT_TRUE(cap.contains("<=="));
    ASSERT_EQ(srv.wait_exit(10000), 0);
    auto reqs = srv.requests();
    ASSERT_GE(reqs.size(), 3u);
    const size_t n = reqs.size();
    EXPECT_EQ(reqs[n - 3]["cmd"].i(), KXSD_CMD_CLOSE);
    EXPECT_EQ(reqs[n - 3]["fields"]["fd"].i(), file_fd);
    EXPECT_EQ(reqs[n - 2]["cmd"].i(), KXSD_CMD_CLOSEDIR);
    EXPECT_EQ(reqs[n - 2]["fields"]["fd"].i(), dir_fd);
    EXPECT_EQ(reqs[n - 1]["cmd"].i(), KXSD_CMD_LOGOUT);
    EXPECT_TRUE(reqs[n - 1]["no_reply"].b);
}

TEST(KxsdConnExit, WithoutASocketNothingIsSent) {
    kxsd_server_proc srv({"--max-conns", "1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    connected c(url_of(srv.port()));
    ASSERT_TRUE(c) << c.why();
    auto* f = static_cast<kxsd_file_ctx*>(pl_calloc(1, sizeof(kxsd_file_ctx)));
    f->kind = KXSD_KIND_FILE;
    f->conn = c.get();
    f->fd = 7;
    ASSERT_EQ(mem_ptr_add(&c->files, f), 0);
    net_close(&c->chan);
    EXPECT_EQ(kxsd_cli_exit(c.conn.release()), 0);
    ASSERT_EQ(srv.wait_exit(10000), 0);
    EXPECT_EQ(cmds_of(srv), (std::vector<int>{1, 1, 20, 4}));
}

TEST(KxsdHandles, AnyHandleLeadsToItsConnection) {
    kxsd_cli_ctx conn{};
    verr_info err{};
    conn.err = &err;
    kxsd_file_ctx file{};
    file.kind = KXSD_KIND_FILE;
    file.conn = &conn;
    file.fd = 41;
    kxsd_dir_ctx dir{};
    dir.kind = KXSD_KIND_DIR;
    dir.conn = &conn;
    dir.fd = 42;
    uint32_t bogus = 9;

    int64_t fd = 0;
    EXPECT_EQ(cli_get_ctx(&conn, &fd), &conn);
    EXPECT_EQ(fd, 0);  // untouched
    EXPECT_EQ(cli_get_ctx(&file, &fd), &conn);
    EXPECT_EQ(fd, 41);
    EXPECT_EQ(cli_get_ctx(&dir, &fd), &conn);
    EXPECT_EQ(fd, 42);
    EXPECT_EQ(cli_get_ctx(nullptr, &fd), nullptr);
    {
        log_capture cap;
        EXPECT_EQ(cli_get_ctx(&bogus, &fd), nullptr);
        EXPECT_TRUE(cap.contains("invalid handle"));
        EXPECT_STREQ(kxsd_cli_get_last_error(&bogus), "invalid handle");
        EXPECT_EQ(kxsd_cli_get_last_errno(&bogus), -1);
        EXPECT_EQ(kxsd_cli_set_last_errno(&bogus, 3), -1);
    }

    // The record through any handle: a code with an empty message reads
    // as the code's own text.
    EXPECT_EQ(kxsd_cli_set_last_errno(&file, VERR_TIMEOUT), 0);
    EXPECT_EQ(kxsd_cli_get_last_errno(&dir), VERR_TIMEOUT);
    EXPECT_STREQ(kxsd_cli_get_last_error(&conn), verr2str(VERR_TIMEOUT));
    EXPECT_EQ(kxsd_cli_not_supported(&conn), -1);
    EXPECT_EQ(err.code, VERR_NOT_IMPLEMENTED);
    EXPECT_STREQ(kxsd_cli_get_last_error(&dir), KXSD_UPGRADE_TEXT);
    verr_info copy{};
    EXPECT_EQ(kxsd_cli_copy_last_error(&file, &copy), 0);
    EXPECT_EQ(copy.code, VERR_NOT_IMPLEMENTED);
    EXPECT_STREQ(copy.message, KXSD_UPGRADE_TEXT);
}
