// kxdd reading "http://", "https://", "ftp://" and "ftps://" inputs from
// real servers (nginx, vsftpd, through tinyproxy), and from scripted ones
// that ignore Range or stall.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "lib/libblock/curl_servers.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;
using namespace curl_test;

constexpr int k_wait_ms = 60000;  // only reached when something is wrong
constexpr size_t k_size = 2 * 1024 * 1024 + 333;


struct copy_case {
    const char* name;
    std::vector<std::string> ops;
    size_t from, len;  // the bytes of the source the output holds
};

const copy_case k_cases[] = {
    {"whole", {"bs=512K"}, 0, k_size},
    {"small_blocks", {"bs=64K", "count=9"}, 0, 9 * 65536},
    {"skip_count", {"bs=4096", "skip=3", "count=5"}, 3 * 4096, 5 * 4096},
    {"odd_block_to_the_end", {"bs=100001", "skip=20"}, 2000020, k_size - 2000020},
};

class KxddCurl : public ::testing::Test {
protected:
    void SetUp() override {
        // The proxies of the environment would carry the transfers elsewhere.
        for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
                              "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            unsetenv(v);
    }
    proc_result copy(const std::string& url, const std::vector<std::string>& ops) {
        std::vector<std::string> args{"if=" + url, "of=" + dir.file("out.bin")};
        args.insert(args.end(), ops.begin(), ops.end());
        return run_kxdd(args);
    }
    // Every case, or (a slow server) only the first.
    void expect_copies(const std::string& url, bool all = true) {
        for (const copy_case& c : k_cases) {
            if (!all && &c != k_cases) break;
            SCOPED_TRACE(std::string(c.name) + " " + url);
            std::remove(dir.file("out.bin").c_str());
            proc_result r = copy(url, c.ops);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(read_file(dir.file("out.bin")) == data.substr(c.from, c.len)) << "the copy differs";
        }
    }
    temp_dir dir;
    std::string data = random_bytes(k_size, 2024);
};

TEST_F(KxddCurl, CopiesFromHttpAndHttps) {
    CURL_TEST_NEED("nginx");
    for (bool tls : {false, true}) {
        nginx_server srv(tls);
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.root() + "/disk.img", data);
        expect_copies(srv.url("/disk.img"));
    }
}

// Hashing reads the input through the driver too: the digest is that of
// the served file.
TEST_F(KxddCurl, HashModeDigestsTheServedFile) {
    CURL_TEST_NEED("nginx");
    nginx_server srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.root() + "/disk.img", data);
    proc_result md5 = run_proc({"md5sum", srv.root() + "/disk.img"});
    ASSERT_EQ(md5.status, 0) << md5.err;
    proc_result r = run_kxdd({"if=" + srv.url("/disk.img"), "hash_mode=md5", "bs=256K"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(strip_ansi(r.out + r.err), "MD5: " + md5.out.substr(0, 32))) << r.out << r.err;
}

TEST_F(KxddCurl, CopiesFromFtpAndFtps) {
    CURL_TEST_NEED("vsftpd");
    if (geteuid() != 0) GTEST_SKIP() << "vsftpd needs root";
    for (bool tls : {false, true}) {
        ftp_server srv(tls);
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.root() + "/disk.img", data);
        // Each ranged FTP read logs in anew; under TLS that takes a while.
        expect_copies(srv.url("/disk.img"), !tls);
    }
}

TEST_F(KxddCurl, ProxyUrlOperandCarriesTheTransfer) {
    CURL_TEST_NEED("nginx");
    CURL_TEST_NEED("tinyproxy");
    nginx_server srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.root() + "/disk.img", data);
    proxy_server proxy = proxy_server::tinyproxy();
    ASSERT_TRUE(proxy.started()) << proxy.error();
    proc_result r = copy(srv.url("/disk.img"), {"bs=1M", "proxy_url=http://127.0.0.1:" + std::to_string(proxy.port())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.bin")) == data);
    EXPECT_TRUE(contains(proxy.log(), "GET " + srv.url("/disk.img"))) << proxy.log();
}

TEST_F(KxddCurl, MissingResourceEndsTheRunWithTheLibrarysMessage) {
    CURL_TEST_NEED("nginx");
    nginx_server srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    proc_result r = copy(srv.url("/nosuch.img"), {"bs=64K"});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(clean_err(r.err), "open [" + srv.url("/nosuch.img") +
                                               "] error: HTTP response code said error"))
        << r.err;
    EXPECT_LE(file_size(dir.file("out.bin")), 0);
}

// A server that answers every Range with the whole file: a copy that skips
// must fail instead of writing the file's first bytes as later ones.
TEST_F(KxddCurl, ServerIgnoringRangeGivesAnErrorNotWrongData) {
    scripted_http srv([&](scripted_http&, int fd, const seen_request&) {
        send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(data.size()) +
                         "\r\nConnection: close\r\n\r\n" + data);
    });
    ASSERT_TRUE(srv.started());
    proc_result r = copy(srv.url("/disk.img"), {"bs=64K", "skip=1", "count=2"});
    EXPECT_NE(r.status, 0) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "not served: status=200")) << r.err;
    std::string out = read_file(dir.file("out.bin"));
    EXPECT_TRUE(out.empty() || out == data.substr(65536, out.size())) << "bytes from the wrong place were written";
}

// SIGINT while a read waits on a server that sends nothing: exit 8 long
// before the read time-out.
TEST_F(KxddCurl, SigintEndsAStalledRead) {
    scripted_http srv([&](scripted_http& s, int fd, const seen_request& req) {
        if (req.range_start < 0) {
            scripted_http::answer_range(fd, req, data);
            return;
        }
        send_all(fd, "HTTP/1.1 206 Partial Content\r\nContent-Length: 65536\r\nConnection: close\r\n\r\n");
        s.wait_end(fd);
    });
    ASSERT_TRUE(srv.started());
    live_proc p(kxdd_argv({"if=" + srv.url("/disk.img?read_timeout=600"), "of=" + dir.file("out.bin"), "bs=64K"}),
                {});
    ASSERT_TRUE(srv.wait_requests(2, k_wait_ms)) << p.err();
    p.send(SIGINT);
    EXPECT_TRUE(p.wait_until([&] { return p.ended(); }, k_wait_ms)) << "still running after SIGINT";
    EXPECT_EQ(p.finish(), 8) << p.err();
}

// The transfer library is loaded at the first URL, not at start-up: a run
// without one never loads it, and one that cannot use it ends with a text
// that names what is wrong with it.
TEST(KxddCurlLibrary, LoadedOnlyForAUrlAndAnUnusableOneIsNamed) {
    struct lib_case {
        const char* dir;
        const char* text;
    };
    const lib_case cases[] = {
        {KXDD_CURL_NOINIT_DIR, "libcurl.so.4 lacks the entry point curl_easy_init"},
        {KXDD_CURL_INITFAILS_DIR, "curl_global_init failed"},
    };
    const std::string loaded = "curl stub loaded";
    temp_dir dir;
    const std::string data = random_bytes(10000, 7);
    write_file(dir.file("in.bin"), data);
    for (const lib_case& c : cases) {
        SCOPED_TRACE(c.dir);
        const std::vector<std::string> env{std::string("LD_LIBRARY_PATH=") + c.dir};
        std::remove(dir.file("out.bin").c_str());
        proc_result local = run_kxdd({"if=" + dir.file("in.bin"), "of=" + dir.file("out.bin")}, {}, env);
        ASSERT_EQ(local.status, 0) << local.err;
        EXPECT_FALSE(contains(local.err, loaded)) << local.err;
        EXPECT_TRUE(read_file(dir.file("out.bin")) == data);

        // Nothing listens on the discard port: no transfer may be tried.
        const std::string url = "http://127.0.0.1:9/disk.img";
        proc_result r = run_kxdd({"if=" + url, "of=" + dir.file("url.bin")}, {}, env);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(contains(r.err, loaded)) << r.err;
        EXPECT_TRUE(contains(clean_err(r.err), "open [" + url + "] error: " + c.text)) << r.err;
    }
}

}  // namespace
