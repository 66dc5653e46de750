#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/string/str_codec.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

std::string b64(const std::string& in, int url_safe) {
    std::vector<char> out(PL_BASE64_ENCODE_LEN(in.size()));
    int n = str_base64_encode_imp(in.data(), in.size(), out.data(), out.size(), url_safe);
    EXPECT_EQ(n, static_cast<int>(out.size()) - 1);
    return std::string(out.data());
}

TEST(Base64, EncodeTable) {
    const struct {
        std::string in;
        const char* std_text;
        const char* url_text;
    } rows[] = {
        {"", "", ""},
        {"a", "YQ==", "YQ=="},
        {"ab", "YWI=", "YWI="},
        {"abc", "YWJj", "YWJj"},
        {"\xFB\xFF", "+/8=", "-_8="},
        {std::string("\0\0\0\0", 4), "AAAAAA==", "AAAAAA=="},
        {"\xFF\xFF\xFF", "////", "____"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(b64(r.in, 0), r.std_text);
        EXPECT_EQ(b64(r.in, 1), r.url_text);
    }
    char out[8];
    EXPECT_EQ(str_base64url_encode_str("ab", out, sizeof out), 4);  // "ab" and its zero
    EXPECT_STREQ(out, "YWIA");
}

TEST(Base64, EncodeRefusesSmallOutput) {
    log_capture cap;
    char out[4];
    EXPECT_EQ(str_base64_encode("abc", 3, out, sizeof out), -1);  // needs 5
    EXPECT_TRUE(cap.contains("expr[ib && ob && !(in >= UINT32_MAX / 4 || on < PL_BASE64_ENCODE_LEN(in))]"));
}

TEST(Base64, DecodeTable) {
    const struct {
        const char* in;
        int n;
        std::string out;
    } rows[] = {
        {"YWJj", 3, "abc"},
        {"YWI=", 2, "ab"},
        {"YQ==", 1, "a"},
        {"-_8=", 2, "\xFB\xFF"},
        {"+/8=", 2, "\xFB\xFF"},
        {"", 0, ""},
        {"YWJj\nYWJj", -1, ""},
        {"YW Jj", -1, ""},
        {"YW*j", -1, ""},
    };
    for (const auto& r : rows) {
        unsigned char out[16] = {};
        EXPECT_EQ(str_base64_decode(r.in, out, sizeof out), r.n) << r.in;
        if (r.n > 0) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(r.n)), r.out) << r.in;
        }
    }
    // The output bound is kept.
    unsigned char two[2];
    EXPECT_EQ(str_base64_decode("YWJj", two, sizeof two), -1);
}

TEST(Base64, RoundTripsAgainstSystemTool) {
    std::mt19937 rng(7);
    for (size_t len = 0; len <= 64; ++len) {
        std::string in(len, '\0');
        for (auto& c : in) c = static_cast<char>(rng());
        for (int url_safe : {0, 1}) {
            std::string enc = b64(in, url_safe);
            std::vector<unsigned char> dec(len + 1);
            ASSERT_EQ(str_base64_decode(enc.c_str(), dec.data(), dec.size()), static_cast<int>(len));
            EXPECT_EQ(memcmp(dec.data(), in.data(), len), 0);
        }
        if (len % 8 != 1) continue;
        proc_result r;
        try {
            r = run_proc({"basenc", "--base64url", "-w0"}, in);
        } catch (...) {
            continue;
        }
        if (r.status == 0) {
            EXPECT_EQ(r.out, b64(in, 1)) << "length " << len;
        }
    }
}

TEST(Escape, UrlArgsTable) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"a=b&c d", "a%3Db%26c%20d"},
        {"\xE9", "%E9"},
        {"#%&+;=?", "%23%25%26%2B%3B%3D%3F"},
        {"/:@!$'()*,~", "/:@!$'()*,~"},
        {"\x01\x7F", "%01%7F"},
        {"", ""},
    };
    for (const auto& r : rows) {
        char out[64] = "junk";
        EXPECT_EQ(str_escape_url_args(r.in, out, sizeof out), 0);
        EXPECT_STREQ(out, r.out);
    }
    log_capture cap;
    char small[6] = "junk";
    EXPECT_EQ(str_escape_url_args("a b", small, 5), -1);  // needs 6
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(cap.contains("expr[rlen<=bsize]"));
    char exact[6];
    EXPECT_EQ(str_escape_url_args("a b", exact, sizeof exact), 0);
}

TEST(Escape, ClassesAgainstPythonQuote) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    // Python's quote keeps letters, digits, "-._~" and the safe set; class 1
    // keeps every other printable character except "#%&+;=?".
    std::string script =
        "import sys,urllib.parse;"
        "d=sys.stdin.buffer.read();"
        "print(urllib.parse.quote(d,safe=\"!\\\"$'()*,/:<>@[\\\\]^`{|}\"),end='')";
    proc_result r;
    try {
        r = run_proc({"python3", "-c", script}, all);
    } catch (...) {
        GTEST_SKIP() << "python3 is missing";
    }
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<char> out(str_escape_imp(nullptr, all.data(), all.size(), STR_ESCAPE_URL_ARGS));
    EXPECT_EQ(out.size(), r.out.size() + 1);
    ASSERT_EQ(str_escape_url_args(all.c_str(), out.data(), out.size()), 0);
    EXPECT_EQ(std::string(out.data()), r.out);
}

TEST(Escape, OtherClasses) {
    const struct {
        int cls;
        const char* in;
        const char* out;
    } rows[] = {
        {STR_ESCAPE_URI, "a b#?%&", "a%20b%23%3F%25&"},
        {STR_ESCAPE_UNRESERVED, "a-._~/b", "a-._~%2Fb"},
        {STR_ESCAPE_QUOTES_PCT, "\"'#%&", "%22%27%23%25&"},
        {STR_ESCAPE_QUOTES, "\"'#", "%22%27#"},
        {STR_ESCAPE_PCT, "% \xE9\x7F", "%25%20\xE9\x7F"},
    };
    for (const auto& r : rows) {
        char out[64];
        size_t need = str_escape_imp(nullptr, r.in, strlen(r.in), r.cls);
        ASSERT_LE(need, sizeof out);
        EXPECT_EQ(str_escape_imp(out, r.in, strlen(r.in), r.cls), need - 1);
        EXPECT_STREQ(out, r.out) << r.cls;
    }
}

TEST(Unescape, Table) {
    const struct {
        int mode;
        const char* in;
        const char* out;
    } rows[] = {
        {STR_UNESCAPE_URL_ARGS, "a+b%2Fc", "a+b/c"},
        {STR_UNESCAPE_URL_ARGS, "100%zz", "100zz"},
        {STR_UNESCAPE_URL_ARGS, "ab%4", "ab"},
        {STR_UNESCAPE_URL_ARGS, "ab%", "ab"},
        {STR_UNESCAPE_URL_ARGS, "%4x%41", "A"},
        {STR_UNESCAPE_URL_ARGS, "%e9%C3%a9", "\xE9\xC3\xA9"},
        {STR_UNESCAPE_URL_ARGS, "a%00b", "a"},
        {STR_UNESCAPE_URL_ARGS, "%%41", "%41"},
        {STR_UNESCAPE_URL_ARGS, "a?b%3Fc", "a?b?c"},
        {STR_UNESCAPE_URI, "a%41?b%42", "aA?"},
        {STR_UNESCAPE_URI, "a%3Fb", "a?"},
        {STR_UNESCAPE_URI_SAFE, "%20%41%7F?x", "%20A%7F?"},
    };
    for (const auto& r : rows) {
        char out[32];
        memset(out, 'Z', sizeof out);
        char* o = out;
        const char* in = r.in;
        str_unescape_imp(&o, &in, strlen(r.in) + 1, r.mode);
        EXPECT_STREQ(out, r.out) << r.in;
        EXPECT_EQ(*o, 0) << r.in;
    }
    // In place, and the size check.
    char buf[16] = "x%41%42y";
    EXPECT_EQ(str_unescape_url_args(buf, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "xABy");
    char small[4] = "zz";
    EXPECT_EQ(str_unescape_url_args("abcd", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

TEST(Escape, UrlSets) {
    EXPECT_STREQ(STR_URL_KEY_BAN_SET, ";/\\\"'?:@# &=");
    EXPECT_EQ(strlen(STR_URL_KEY_BAN_SET), 12u);
    for (const char* bad : {"a;b", "a/b", "a\\b", "a\"b", "a'b", "a?b", "a:b", "a@b", "a#b", "a b", "a&b", "a=b"})
        EXPECT_EQ(str_check_url_key(bad), 0) << bad;
    EXPECT_EQ(str_check_url_key("sector_size-2.x"), 1);
    EXPECT_EQ(str_check_url_val("a=b"), 1);
    EXPECT_EQ(str_check_url_val("a&b"), 0);
    EXPECT_EQ(str_check_escape_val("a&b=c"), 1);
    EXPECT_EQ(str_check_escape_val("a b"), 0);
    EXPECT_EQ(str_check_escape_val(nullptr), 1);
}

}  // namespace
