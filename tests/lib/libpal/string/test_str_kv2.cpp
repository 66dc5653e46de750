#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_token.h"
#include "support/log_capture.h"

namespace {

TEST(StrKvRead, BracketCrlfUnquoteFindKey) {
    const char* reply = "ver=[1.2.3]\nplat=[Linux x]\r\nbit=64\nodd=]x[\nnested=[[a]]\n";
    const struct {
        const char* key;
        int rc;
        const char* out;
    } rows[] = {
        {"ver", 0, "1.2.3"}, {"plat", 0, "Linux x"}, {"bit", -1, ""},
        {"odd", -1, ""},     {"nested", 0, "[a]"},   {"none", -1, ""},
    };
    for (const auto& r : rows) {
        char out[16] = "";
        EXPECT_EQ(str_kv_get_bracket(reply, r.key, out, sizeof out), r.rc) << r.key;
        if (r.rc == 0) {
            EXPECT_STREQ(out, r.out) << r.key;
        }
    }
    char small[6];
    EXPECT_EQ(str_kv_get_bracket(reply, "ver", small, sizeof small), 0);  // 5 characters fit
    EXPECT_EQ(str_kv_get_bracket(reply, "plat", small, sizeof small), -1);

    char out[16];
    EXPECT_EQ(str_kv_get_crlf("a=1\r\nb=2\r\n", "b", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");

    const struct {
        const char* text;
        const char* out;
    } unq[] = {
        {"k='v w'", "v w"}, {"k=\"v\"", "v"}, {"k=[v]", "v"}, {"k='v\"", "'v\""}, {"k='", "'"}, {"k=''", ""},
    };
    for (const auto& u : unq) {
        EXPECT_EQ(str_kv_get_unquote_lf(u.text, "k", out, sizeof out), 0) << u.text;
        EXPECT_STREQ(out, u.out) << u.text;
    }
    EXPECT_EQ(str_kv_get_unquote("x:1;k:'2'", ";", ':', "k", out, sizeof out), 0);
    EXPECT_STREQ(out, "2");

    EXPECT_EQ(str_kv_find_key("ro;a = 1 ;b=2", ";", '=', "1", out, sizeof out), 0);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(str_kv_find_key("a=1;b=2", ";", '=', "3", out, sizeof out), -1);
}

TEST(StrKvSet, ModesTable) {
    const struct {
        const char* text;
        int mode;
        const char* key;
        const char* val;
        const char* want;
    } rows[] = {
        {"a;b=1;c", STR_KV_SET_ALWAYS, "b", "2", "a;b=2;c"},
        {"a;b=1;c", STR_KV_SET_ALWAYS, "d", "2", "a;b=1;c;d=2"},
        {"a;b=1;c", STR_KV_DEL_EXIST, "b", "", "a;c"},
        {"a;b=1;c", STR_KV_DEL_EXIST, "d", "", "a;b=1;c"},
        {"a;b=1;c", STR_KV_SET_NOT_EXIST, "b", "2", "a;b=1;c"},
        {"a;b=1;c", STR_KV_SET_NOT_EXIST, "d", "2", "a;b=1;c;d=2"},
        {"a;b=1;c", STR_KV_SET_EXIST, "b", "2", "a;b=2;c"},
        {"a;b=1;c", STR_KV_SET_EXIST, "d", "2", "a;b=1;c"},
        // every field of the key; empty fields dropped; "bb=" is another key
        {";b=1;;bb=3;b=4;", STR_KV_SET_ALWAYS, "b", "x", "b=x;bb=3;b=x"},
        {"b=1", STR_KV_DEL_EXIST, "b", "", ""},
        {"", STR_KV_SET_ALWAYS, "k", "v", "k=v"},
        {"user=u\r\npasswd=p", STR_KV_SET_EXIST, "passwd", "Zm9v", "user=u\r\npasswd=Zm9v"},
    };
    for (const auto& r : rows) {
        char text[64];
        ASSERT_EQ(str_safecopy(text, r.text), 0);
        const char* sep = strchr(r.text, '\r') ? "\r\n" : ";";
        EXPECT_EQ(str_kv_set(text, sizeof text, sep, r.mode, r.key, r.val), 0) << r.text << " " << r.mode;
        EXPECT_STREQ(text, r.want) << r.text << " mode " << r.mode;
    }
}

TEST(StrKvSet, RefusesWithTheTextUnchanged) {
    const struct {
        const char* key;
        const char* val;
        int mode;
        size_t size;
    } rows[] = {
        {"b", "1;evil=1", STR_KV_SET_ALWAYS, 64},  // a separator in the value
        {"b;c", "1", STR_KV_SET_ALWAYS, 64},       // ... in the key
        {"b=c", "1", STR_KV_SET_ALWAYS, 64},
        {"", "1", STR_KV_SET_ALWAYS, 64},
        {"b", "1", 0, 64},
        {"b", "1", 5, 64},
        {"b", "a-much-longer-value", STR_KV_SET_ALWAYS, 16},  // does not fit: nothing cut
    };
    for (const auto& r : rows) {
        char text[64] = "a;b=1;c";
        EXPECT_EQ(str_kv_set(text, r.size, ";", r.mode, r.key, r.val), -1) << r.key << " " << r.val;
        EXPECT_STREQ(text, "a;b=1;c");
    }
}

TEST(StrKvArgs, AddEncodesValues) {
    char out[32] = "";
    EXPECT_EQ(str_args_add(out, sizeof out, "a", "x y"), 0);
    EXPECT_EQ(str_args_add(out, sizeof out, "b", "1&2=3"), 0);
    EXPECT_STREQ(out, "a=x%20y&b=1%262%3D3");
    EXPECT_EQ(str_args_add(out, sizeof out, "c", "0123456789"), -1);  // does not fit
    EXPECT_STREQ(out, "a=x%20y&b=1%262%3D3");
}

TEST(StrToBool, Words) {
    const struct {
        const char* text;
        int want;
    } rows[] = {
        {"Yes", 1},       {"OFF", 0},          {"maybe", -1},         {"", -1},        {"t", 1},
        {"N", 0},         {"Running", 1},      {"unavailable", 0},    {"available", 1}, {"enabled ", -1},
        {"tru", -1},      {"yes,no", -1},
    };
    for (const auto& r : rows) EXPECT_EQ(str_to_bool(r.text), r.want) << r.text;
    log_capture cap;
    EXPECT_EQ(str_to_bool("0123456789abcdef"), -1);  // 16 characters: an overflow
    EXPECT_TRUE(cap.contains("need_size=17"));
    EXPECT_EQ(str_to_bool(nullptr), -1);
}

TEST(StrToken, TokensLinesAndWords) {
    EXPECT_EQ(str_list_has_trimmed("a, b ,c", ",", "b"), 0);
    EXPECT_EQ(str_list_has_trimmed("a, b ,c", ",", "d"), -1);

    char text[] = "  one  two,three";
    EXPECT_STREQ(str_token_n(text, " ,", 2), "three");
    char text2[] = "one";
    EXPECT_EQ(str_token_n(text2, " ", 1), nullptr);

    auto take = [](char* p) {
        std::string s = p ? p : "(null)";
        pl_free(p);
        return s;
    };
    EXPECT_EQ(take(str_token_n_dup(" a  b ", " ", 1)), "b");
    EXPECT_EQ(take(str_token_n_dup(" a  b ", " ", 2)), "(null)");

    const char* table = "name: disk0 : 512\nsize : 1024\nmodel:x y\n";
    EXPECT_EQ(take(str_find_line_field(table, ":", "size ", 0, 1)), "1024");
    EXPECT_EQ(take(str_find_line_field(table, ":", "model", 0, 1)), "x y");
    EXPECT_EQ(take(str_find_line_field(table, ":", "name", 0, 5)), "(null)");
    EXPECT_EQ(take(str_find_line_field(table, ":", "absent", 0, 1)), "(null)");
    EXPECT_EQ(take(str_find_line_token(table, "disk", ":", 2)), "512");
    EXPECT_EQ(take(str_find_line_token(table, "nothing", ":", 0)), "(null)");

    EXPECT_EQ(take(str_substr("abcdef", 2, 3)), "cde");
    EXPECT_EQ(take(str_substr("abc", 1, 10)), "bc");
    EXPECT_EQ(take(str_substr("abc", 9, 2)), "");  // start past the end
    {
        log_capture cap;
        EXPECT_EQ(str_substr("abc", 0, 0), nullptr);
        EXPECT_TRUE(cap.contains("expr[length > 0]: assert failed"));
        EXPECT_EQ(str_substr(nullptr, 0, 1), nullptr);
        EXPECT_TRUE(cap.contains("expr[srcstr != NULL]: assert failed"));
    }

    char out[8];
    EXPECT_STREQ(str_first_word("ls -l", out, sizeof out), "ls");
    EXPECT_STREQ(str_first_word("verylongword x", out, sizeof out), "verylon");
    EXPECT_STREQ(str_first_word("single", out, sizeof out), "single");
    char big[32];
    EXPECT_STREQ(str_replace_first_word("ls -l /x", "dir", big, sizeof big), "dir -l /x");
    EXPECT_STREQ(str_replace_first_word("ls", "dir", big, sizeof big), "dir");
}

}  // namespace
