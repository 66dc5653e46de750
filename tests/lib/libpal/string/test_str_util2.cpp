#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "libpal/string/str_edit.h"
#include "libpal/string/str_util.h"
#include "support/log_capture.h"

namespace {

// Runs an in-place edit on a copy of the text and returns the result.
template <typename Fn>
std::string edit(const char* in, Fn fn) {
    char buf[64];
    strcpy(buf, in);
    char* r = fn(buf);
    EXPECT_EQ(r, buf);
    return buf;
}

// ------------------------------------------------------------------ trims

TEST(StrTrims, Table) {
    const struct {
        const char* in;
        const char* trim;
        const char* unquote;
    } rows[] = {
        {"   ", "", ""},
        {" \t\r\n\v\fab c \n", "ab c", "ab c"},
        {" a \xC3", "a \xC3", "a \xC3"},  // a last byte from 0x80 stops the end
        {"\xA0 a ", "\xA0 a", "\xA0 a"},
        {"  \" in side \"  ", "\" in side \"", "in side"},
        {"'\"x\"'", "'\"x\"'", "x"},
        {"", "", ""},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(edit(r.in, str_trim), r.trim) << r.in;
        EXPECT_EQ(edit(r.in, str_trim_unquote), r.unquote) << r.in;
    }
}

TEST(StrTrims, SetCharAndBlank) {
    EXPECT_EQ(edit("--a-b--", [](char* t) { return str_trim_chr(t, '-'); }), "a-b");
    EXPECT_EQ(edit("---", [](char* t) { return str_trim_chr(t, '-'); }), "");
    EXPECT_EQ(edit("12ab34", [](char* t) { return str_trim_set(t, isdigit, 0); }), "ab");
    EXPECT_EQ(edit("x1ab1x", [](char* t) { return str_trim_set(t, isdigit, 'x'); }), "ab");
    EXPECT_EQ(edit("xabx", [](char* t) { return str_trim_set(t, nullptr, 'x'); }), "ab");
    // A test that would accept high bytes is never offered them.
    EXPECT_EQ(edit("\xFF" "a\xFF", [](char* t) { return str_trim_set(t, [](int) { return 1; }, 0); }),
              "\xFF" "a\xFF");
    EXPECT_EQ(edit(" a \t\v\f", str_rtrim_blank), " a");
    EXPECT_EQ(edit(" a \n", str_rtrim_blank), " a \n");
    EXPECT_EQ(str_trim_set(nullptr, isdigit, 'x'), nullptr);
}

// ------------------------------------------------------------------ edits

TEST(StrEdits, Table) {
    using fn = char* (*)(char*);
    const struct {
        const char* what;
        const char* in;
        fn f;
        const char* out;
    } rows[] = {
        {"lower", "AbC-\xC3\x89", str_tolower, "abc-\xC3\x89"},
        {"upper", "aBc[{", str_toupper, "ABC[{"},
        {"del chars", "a-b_c-", [](char* t) { return str_del_chars(t, "-_"); }, "abc"},
        {"del chr", "/a//b/", [](char* t) { return str_del_chr(t, '/'); }, "ab"},
        {"rdel", "a.b.c", [](char* t) { return str_rdelchar(t, '.'); }, "a.bc"},
        {"rdel none", "abc", [](char* t) { return str_rdelchar(t, '.'); }, "abc"},
        {"squeeze", "//a///b/", [](char* t) { return str_squeeze_chr(t, '/'); }, "/a/b/"},
        {"strip ends", "[x]", str_strip_ends, "x"},
        {"strip ends 2", "ab", str_strip_ends, ""},
        {"strip ends 1", "a", str_strip_ends, ""},
        {"del suffix", "img.e01", [](char* t) { return str_del_suffix(t, ".e01"); }, "img"},
        {"del suffix no", "img.e01", [](char* t) { return str_del_suffix(t, ".E01"); }, "img.e01"},
        {"del suffix long", "e01", [](char* t) { return str_del_suffix(t, "xe01"); }, "e01"},
        {"del range", "abcdef", [](char* t) { return str_del_range(t, 1, 2); }, "adef"},
        {"del range tail", "abcdef", [](char* t) { return str_del_range(t, 4, 100); }, "abcd"},
        {"del range past", "abc", [](char* t) { return str_del_range(t, 3, 1); }, "abc"},
        {"reverse", "abcd", str_reverse, "dcba"},
        {"reverse odd", "abc", str_reverse, "cba"},
        {"replace", "a.b.c", [](char* t) { return str_replace_chr(t, '.', '/'); }, "a/b/c"},
        {"replace to zero", "a.b.c", [](char* t) { return str_replace_chr(t, '.', 0); }, "a"},
        {"replace n", "a.b.c.d", [](char* t) { return str_replace_chr_n(t, 2, '.', '/'); }, "a/b/c.d"},
        {"replace n 0", "a.b.c", [](char* t) { return str_replace_chr_n(t, 0, '.', '/'); }, "a/b/c"},
        {"in quotes", "a b 'c d' e \"f g\" 'h i",
         [](char* t) { return str_replace_chr_in_quotes(t, '\'', ' ', '_'); }, "a b 'c_d' e \"f g\" 'h i"},
        {"set last", "ab", [](char* t) { return str_set_last_chr(t, 'x'); }, "ax"},
        {"set last 0", "ab", [](char* t) { return str_set_last_chr(t, 0); }, "a"},
        {"set last empty", "", [](char* t) { return str_set_last_chr(t, 'x'); }, ""},
        {"resplit", "a,b;;c", [](char* t) { return str_resplit_join(t, ",;"); }, "a,;b,;"},
        {"resplit short", "a b  c", [](char* t) { return str_resplit_join(t, " "); }, "a b c"},
    };
    for (const auto& r : rows) EXPECT_EQ(edit(r.in, r.f), r.out) << r.what;
}

TEST(StrEdits, WideAndWipe) {
    wchar_t w[] = L"a.b.c";
    str_wreplace_chr(w, L'.', L'\x4E2D');
    EXPECT_EQ(std::wstring(w), L"a\x4E2D" L"b\x4E2D" L"c");
    char secret[] = "pass";
    str_wipe(secret);
    EXPECT_EQ(memcmp(secret, "\0\0\0\0\0", 5), 0);
    str_wipe(nullptr);
    log_capture cap;
    EXPECT_EQ(str_rdelchar(nullptr, 'x'), nullptr);
    EXPECT_TRUE(cap.contains("expr[str!=NULL]: assert failed"));
}

TEST(StrEdits, DelSubstrAndRangeCopy) {
    char t[] = "abcabc";
    EXPECT_EQ(str_del_substr(t, "bc"), 1);
    EXPECT_STREQ(t, "aabc");
    EXPECT_EQ(str_del_substr(t, "x"), 0);
    EXPECT_EQ(str_del_substr(t, ""), 0);
    char out[4];
    EXPECT_EQ(str_del_range_copy(out, sizeof out, "abcdef", 1, 3), 0);
    EXPECT_STREQ(out, "aef");
    log_capture cap;
    EXPECT_NE(str_del_range_copy(out, sizeof out, "abcdef", 1, 1), 0);  // "acdef" does not fit
    EXPECT_STREQ(out, "");
}

TEST(StrEdits, AddTailCharacter) {
    const struct {
        const char* in;
        size_t size;
        int rc;
        const char* out;
    } rows[] = {
        {"/a", 4, 0, "/a/"},
        {"/a/", 4, 0, "/a/"},
        {"", 2, 0, "/"},
        {"/a", 3, -1, "/a"},  // no room: refused, not turned into "//"
        {"", 1, -1, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.in) + " in " + std::to_string(r.size));
        log_capture cap;
        char buf[8] = {};
        strcpy(buf, r.in);
        EXPECT_EQ(str_add_chr_not_exist_tail(buf, r.size, '/'), r.rc);
        EXPECT_STREQ(buf, r.out);
        EXPECT_EQ(cap.count() != 0, r.rc != 0);
    }
    // The specified check for a one-byte buffer that the text does not fit.
    log_capture cap;
    char two[2] = {'a', 'b'};  // not terminated within its size
    EXPECT_EQ(str_add_chr_not_exist_tail(two, 1, '/'), -1);
    EXPECT_TRUE(cap.contains("expr[len+1 <= slen || slen >= 2]"));
    EXPECT_EQ(str_add_chr_not_exist_tail(two, 2, '/'), -1);
    EXPECT_EQ(two[0], 'a');
    EXPECT_EQ(two[1], 'b');
}

TEST(StrEdits, Prepend) {
    char buf[8] = "disk";
    EXPECT_EQ(str_prepend(buf, sizeof buf, "/d/"), 0);
    EXPECT_STREQ(buf, "/d/disk");
    log_capture cap;
    EXPECT_NE(str_prepend(buf, sizeof buf, "x"), 0);  // 9 bytes
    EXPECT_STREQ(buf, "");
}

}  // namespace
