// The "curl" driver through proxies (tinyproxy, microsocks) and from FTP
// and FTPS servers (vsftpd).
#include <curl/curl.h>

#include "curl_test_util.h"
#include "img_test_util.h"

namespace {

using namespace curl_test;
using img_test::same_bytes;

constexpr size_t k_size = 3 * 65536 + 1001;

class BdCurlProxy : public CurlFixture {
protected:
    void SetUp() override {
        CURL_TEST_NEED("nginx");
        CurlFixture::SetUp();
        data = img_test::disk_data(k_size, 77);
        ASSERT_TRUE(plain.started()) << plain.error();
        ASSERT_TRUE(tls.started()) << tls.error();
        write_file(plain.root() + "/data.bin", data);
        write_file(tls.root() + "/data.bin", data);
    }
    std::string data;
    nginx_server plain;
    nginx_server tls{true};
};

TEST_F(BdCurlProxy, HttpProxyCarriesPlainAndTunnelledTransfers) {
    CURL_TEST_NEED("tinyproxy");
    proxy_server proxy = proxy_server::tinyproxy();
    ASSERT_TRUE(proxy.started()) << proxy.error();
    const std::string via = "proxy_url=" + proxy_param("http://127.0.0.1:" + std::to_string(proxy.port()));
    const struct {
        std::string url;
        std::string logged;  // what the proxy notes about the request
    } rows[] = {
        {plain.url("/data.bin?") + via, "GET " + plain.url("/data.bin")},
        {tls.url("/data.bin?") + via, "CONNECT 127.0.0.1:" + std::to_string(tls.port())},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url);
        dev_ptr dev(open(r.url));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(k_size));
        EXPECT_TRUE(same_bytes(img_test::read_all(dev.get(), 65536 + 7), data));
        EXPECT_NE(proxy.log().find(r.logged), std::string::npos) << proxy.log();
    }
}

TEST_F(BdCurlProxy, Socks5ProxyWithLogin) {
    CURL_TEST_NEED("microsocks");
    proxy_server proxy = proxy_server::socks5("kx", "s0cks");
    ASSERT_TRUE(proxy.started()) << proxy.error();
    const std::string at = "@127.0.0.1:" + std::to_string(proxy.port());
    for (const std::string& url : {plain.url("/data.bin"), tls.url("/data.bin")}) {
        SCOPED_TRACE(url);
        dev_ptr dev(open(url + "?proxy_url=" + proxy_param("socks5://kx:s0cks" + at)));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(same_bytes(img_test::read_all(dev.get(), 100000), data));
        // Only the proxy could have carried it: a wrong password is refused.
        dev_ptr refused(open(url + "?proxy_url=" + proxy_param("socks5://kx:wrong" + at)));
        EXPECT_FALSE(refused);
        EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    }
}

TEST_F(BdCurlProxy, UnusableProxySettingsFailTheOpen) {
    const struct {
        std::string query;
        std::string msg;
    } rows[] = {
        {"proxy_url=not*base64", "proxy_url invalid"},
        {"proxy_url=" + proxy_param("gopher://127.0.0.1:1"), "proxy protocol [gopher] Unsupported\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.query);
        dev_ptr dev(open(plain.url("/data.bin?") + r.query));
        EXPECT_FALSE(dev);
        EXPECT_EQ(std::string(verr_msg(&err)), r.msg);
    }
}

// vsftpd changes its user and root directory: it runs only as root.
class BdCurlFtp : public CurlFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        CURL_TEST_NEED("vsftpd");
        if (geteuid() != 0) GTEST_SKIP() << "vsftpd needs root";
        CurlFixture::SetUp();
        srv = std::make_unique<ftp_server>(GetParam());
        ASSERT_TRUE(srv->started()) << srv->error();
        data = img_test::disk_data(k_size, 13);
        write_file(srv->root() + "/data.bin", data);
    }
    std::unique_ptr<ftp_server> srv;
    std::string data;
};

TEST_P(BdCurlFtp, ReadsTheServedFileByteForByte) {
    // The query is the device's: it never becomes part of the file name.
    dev_ptr dev(open(srv->url("/data.bin?x=1")));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(k_size));
    EXPECT_TRUE(same_bytes(img_test::read_all(dev.get(), 65536 + 3), data));
    const int64_t size = static_cast<int64_t>(k_size);
    const struct {
        int64_t off, len, want;
    } rows[] = {{1, 4095, 4095}, {65535, 3, 3}, {size - 7, 4096, 7}, {size, 512, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.off);
        std::string got = pread(dev.get(), r.off, r.len);
        ASSERT_EQ(static_cast<int64_t>(got.size()), r.want);
        EXPECT_TRUE(same_bytes(got, data.substr(static_cast<size_t>(std::min(r.off, size)), got.size())));
    }
}

TEST_P(BdCurlFtp, MissingFileFailsTheOpen) {
    dev_ptr dev(open(srv->url("/nosuch.bin")));
    EXPECT_FALSE(dev);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_EQ(std::string(verr_msg(&err)), curl_easy_strerror(CURLE_REMOTE_FILE_NOT_FOUND));
}

INSTANTIATE_TEST_SUITE_P(Plain, BdCurlFtp, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Tls, BdCurlFtp, ::testing::Values(true));

}  // namespace
