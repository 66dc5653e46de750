// The configured time-outs added to device URLs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kxcli_fixture.h"
#include "libkxcli/kx_conf.h"
#include "support/log_capture.h"

namespace {

using kxcli_test::kxcli_fixture;

class KxcliTimeout : public kxcli_fixture {};

TEST_F(KxcliTimeout, AddedOnlyWhereAbsent) {
    log_capture quiet;
    const struct {
        const char* ini;  // nullptr: no client file
        const char* url;
        const char* want;
    } rows[] = {
        {nullptr, "/tmp/a.img", "/tmp/a.img?connect_timeout=6&read_timeout=15&write_timeout=8"},
        {nullptr, "kxp://h/x?read_timeout=30", "kxp://h/x?read_timeout=30&connect_timeout=6&write_timeout=8"},
        {nullptr, "a?write_timeout=1&connect_timeout=2&read_timeout=3", "a?write_timeout=1&connect_timeout=2&read_timeout=3"},
        {"[conf]\nconnect_timeout=1\nread_timeout=2\nwrite_timeout=3\n", "a.img", "a.img?connect_timeout=1&read_timeout=2&write_timeout=3"},
        {"[conf]\nread_timeout=40\n", "a.img?read_timeout=30", "a.img?read_timeout=30&connect_timeout=6&write_timeout=8"},
        // a client file that does not load gives the defaults
        {"[conf\nthis is no ini\n", "a.img", "a.img?connect_timeout=6&read_timeout=15&write_timeout=8"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.ini ? r.ini : "(no file)") + " " + r.url);
        if (r.ini) {
            use_client(r.ini);
        } else {
            std::remove(client.c_str());
            use_no_client();
        }
        char url[KX_URL_SIZE];
        strcpy(url, r.url);
        EXPECT_EQ(kx_conf_url_add_timeout(url), 0);
        EXPECT_STREQ(url, r.want);
    }
}

TEST_F(KxcliTimeout, AFullBufferIsLeftAlone) {
    log_capture quiet;
    use_no_client();
    std::string full = "/" + std::string(KX_URL_SIZE - 10, 'x');
    char url[KX_URL_SIZE];
    strcpy(url, full.c_str());
    EXPECT_EQ(kx_conf_url_add_timeout(url), -1);
    EXPECT_EQ(std::string(url), full);
}

}  // namespace
