#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "support/log_capture.h"

namespace {

TEST(UrlQuery, GetStrTable) {
    const struct {
        const char* url;
        const char* key;
        const char* want;  // with the default "DEF"
    } rows[] = {
        // a field without "=" does not hide the keys after it
        {"img?ro&vol_idx=2", "vol_idx", "2"},
        {"ro&sector_size=512", "sector_size", "512"},
        {"sector_size=512&ro", "sector_size", "512"},
        {"img?ro", "ro", "DEF"},
        {"x? a = 1 &b=2", "a", "1"},
        {"x?a=%41%42", "a", "AB"},
        {"x?a=1+2", "a", "1+2"},
        {"x?a=b=c", "a", "b=c"},
        {"x?a=100%zz", "a", "100zz"},
        {"x?a=ab%4", "a", "ab"},
        {"x?a=", "a", ""},
        {"x?A=1", "a", "DEF"},
        {"x?a=1&a=2", "a", "1"},
        {"x?&&a=1&", "a", "1"},
        {"x?b=1", "a", "DEF"},
        {"x?a=1#frag", "a", "1#frag"},
        {"kxp://h/p?x=1&proxy=p1", "proxy", "p1"},
        {"/dev/sda", "a", "DEF"},
    };
    for (const auto& r : rows) {
        char out[64] = "junk";
        EXPECT_EQ(url_query_get(r.url, r.key, "DEF", out, sizeof out), 0) << r.url;
        EXPECT_STREQ(out, r.want) << r.url;
        EXPECT_STREQ(url_query_get_str(r.url, r.key, "DEF", out, sizeof out), r.want) << r.url;
    }
    char out[8];
    EXPECT_STREQ(url_query_get_str(nullptr, "a", "d", out, sizeof out), "d");
    EXPECT_STREQ(url_query_get_str("x?b=1", "a", nullptr, out, sizeof out), "");
}

TEST(UrlQuery, ValueTooLongForOutFails) {
    log_capture cap;
    char out[4] = "zz";
    EXPECT_EQ(url_query_get("x?a=%41BCDE", "a", "d", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(cap.contains("need_size=6 buf_size=4 head=[ABCDE]"));
    // A value longer than any work text of the readers (the text read need
    // not be an 8192-byte URL buffer).
    cap.clear();
    std::string big = "x?a=" + std::string(URL_SIZE, 'v') + "&b=1";
    char out2[16] = "zz";
    EXPECT_EQ(url_query_get(big.c_str(), "a", "d", out2, sizeof out2), -1);
    EXPECT_STREQ(out2, "");
    EXPECT_TRUE(cap.contains("need_size=8193 buf_size=8192"));
    EXPECT_EQ(url_query_get_int(big.c_str(), "a", 5), 5);
    EXPECT_EQ(url_query_get_int(big.c_str(), "b", 5), 1);
}

TEST(UrlQuery, GetIntTable) {
    const struct {
        const char* url;
        int32_t want32;
        int64_t want64;
    } rows[] = {
        {"x?n=42", 42, 42},
        {"x?n=abc", 0, 0},
        {"x?n=", -1, -1},
        {"x?m=3", -1, -1},
        {"x?n=-7", -7, -7},
        {"x?n=+8", 8, 8},
        {"x?n=12abc", 12, 12},
        {"x?n=%31%32", 12, 12},
        {"x?n= 5 ", 5, 5},
        {"x?ro&n=9", 9, 9},
        {"x?n=4096&n=512", 4096, 4096},
        {"x?n=99999999999", INT32_MAX, 99999999999},
        {"x?n=-99999999999", INT32_MIN, -99999999999},
        {"x?n=9223372036854775807", INT32_MAX, INT64_MAX},
        {"x?n=9223372036854775808", INT32_MAX, INT64_MAX},
        {"x?n=-9223372036854775808", INT32_MIN, INT64_MIN},
        {"x?n=-99999999999999999999", INT32_MIN, INT64_MIN},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(url_query_get_int(r.url, "n", -1), r.want32) << r.url;
        EXPECT_EQ(url_query_get_int64(r.url, "n", -1), r.want64) << r.url;
    }
    EXPECT_EQ(url_query_get_int(nullptr, "n", 3), 3);
    // A value of 64 characters or more does not fit the 64-byte number text:
    // the default, with the overflow line.
    log_capture cap;
    std::string url = "x?n=" + std::string(64, '1');
    EXPECT_EQ(url_query_get_int64(url.c_str(), "n", 77), 77);
    EXPECT_TRUE(cap.contains("need_size=65 buf_size=64"));
    EXPECT_EQ(url_query_get_int64(("x?n=" + std::string(63, '0') ).c_str(), "n", 77), 0);
}

TEST(UrlQuery, HasKeyArgsDup) {
    EXPECT_EQ(url_query_has_key("x?a=1", "a"), 1);
    EXPECT_EQ(url_query_has_key("x?a=", "a"), 1);
    EXPECT_EQ(url_query_has_key("x?ro", "ro"), 0);
    EXPECT_EQ(url_query_has_key("x?ro&a=1", "a"), 1);
    EXPECT_EQ(url_query_has_key("x?b=1", "a"), 0);
    EXPECT_EQ(url_query_has_key(nullptr, "a"), 0);

    char out[16];
    EXPECT_EQ(str_args_get("a=1&b=%2Fx+y", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "/x+y");
    EXPECT_EQ(str_args_get("ro&a=1", "a", out, sizeof out), 0);
    EXPECT_STREQ(out, "1");
    // No "?" handling: the whole text is the query.
    EXPECT_EQ(str_args_get("x?a=1", "a", out, sizeof out), -1);
    EXPECT_EQ(str_args_get("a=1", "b", out, sizeof out), -1);

    char* v = url_query_get_dup("x?a=%7Ev", "a", "d");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "~v");
    pl_free(v);
    v = url_query_get_dup("x?b=1", "a", "d");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "d");
    pl_free(v);
    EXPECT_EQ(url_query_get_dup("x?b=1", "a", nullptr), nullptr);
}

TEST(UrlQuery, QueryMap) {
    log_capture cap;
    str_map* m = url_get_query_map("kxp://h/x?ro&a=1&b=%41&&a=9&c=x=y&e=");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->flags, 0x101u);
    ASSERT_EQ(m->count, 4u);
    EXPECT_STREQ(str_map_find(m, "a"), "1");
    EXPECT_STREQ(str_map_find(m, "b"), "A");
    EXPECT_STREQ(str_map_find(m, "c"), "x");
    EXPECT_STREQ(str_map_find(m, "e"), "");
    EXPECT_EQ(str_map_find(m, "ro"), nullptr);
    EXPECT_TRUE(cap.contains("str_get_key_and_val [ro] failed"));
    str_map_free(m);
    EXPECT_EQ(url_get_query_map("kxp://h/x?"), nullptr);
    EXPECT_EQ(url_get_query_map(nullptr), nullptr);
}

}  // namespace
