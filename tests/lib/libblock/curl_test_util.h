// Fixture pieces of the URL driver tests.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "bd_test_util.h"
#include "curl_servers.h"
#include "libblock/bd.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/str_codec.h"

namespace curl_test {

// The environment's proxy settings would route the tests' transfers
// elsewhere: every test starts without them.
inline void clear_proxy_env() {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
                          "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        unsetenv(v);
}

// The query value of a proxy URL: base64 of the text and its terminator.
inline std::string proxy_param(const std::string& proxy_url) {
    std::string out(PL_BASE64_ENCODE_LEN(proxy_url.size() + 1), '\0');
    int n = str_base64url_encode_str(proxy_url.c_str(), out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

inline std::string base64(const std::string& text) {
    std::string out(PL_BASE64_ENCODE_LEN(text.size()), '\0');
    int n = str_base64_encode(text.data(), text.size(), out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

class CurlFixture : public ::testing::Test {
protected:
    void SetUp() override {
        clear_proxy_env();
        bd_init2();
    }
    bd_dev* open(const std::string& url, uint32_t oflag = OS_PF_RDONLY, stop_flag* stop = nullptr) {
        err = verr_info{};
        return bd_open2s(url.c_str(), oflag, reinterpret_cast<uint64_t>(stop), &err);
    }
    // The bytes of a read, or "" with a test failure.
    std::string pread(bd_dev* dev, int64_t off, int64_t len) {
        std::string buf(static_cast<size_t>(len), '\0');
        int64_t n = bd_pread(dev, buf.data(), len, off);
        EXPECT_GE(n, 0) << bd_errmsg(dev);
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    verr_info err{};
};

}  // namespace curl_test
