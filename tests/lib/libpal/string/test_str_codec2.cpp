#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_escape.h"
#include "libpal/string/str_expand.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

using pl_text = std::unique_ptr<char, pl_mem_deleter>;

std::string text_of(char* p) {
    pl_text t(p);
    return t ? std::string(t.get()) : std::string("<none>");
}

// ------------------------------------------------------------------ base64

TEST(Base64More, DupAndCatAgreeWithSystemTool) {
    std::mt19937 rng(155);
    for (size_t len = 0; len <= 40; ++len) {
        std::string in(len, 'x');
        for (auto& c : in) c = static_cast<char>(1 + rng() % 255);  // no zero: str_base64_cat takes a text
        proc_result r;
        try {
            r = run_proc({"base64", "-w0"}, in);
        } catch (...) {
            GTEST_SKIP() << "base64 is missing";
        }
        ASSERT_EQ(r.status, 0);
        pl_text dup(str_base64_encode_dup(in.data(), len));
        ASSERT_TRUE(dup);
        EXPECT_EQ(std::string(dup.get()), r.out) << len;
        std::vector<char> out(3 + PL_BASE64_ENCODE_LEN(len));
        strcpy(out.data(), "p:");
        ASSERT_EQ(str_base64_cat(in.c_str(), out.data(), out.size()), 0);
        EXPECT_EQ(std::string(out.data()), "p:" + r.out) << len;
    }
}

TEST(Base64More, CatIsStrict) {
    log_capture cap;
    char out[8] = "ab";
    EXPECT_NE(str_base64_cat("abcd", out, sizeof out), 0);  // needs 2 + 8 + 1
    EXPECT_STREQ(out, "");
    char fits[11] = "ab";
    EXPECT_EQ(str_base64_cat("abcd", fits, sizeof fits), 0);
    EXPECT_STREQ(fits, "abYWJjZA==");
}

TEST(UnescapeUri, StopsAfterQuestionMark) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"a%2Fb?c%41", "a/b?"},
        {"a%3Fb", "a?"},
        {"plain", "plain"},
        {"%zz", "zz"},
    };
    for (const auto& r : rows) {
        char out[16];
        EXPECT_EQ(str_unescape_uri(r.in, out, sizeof out), 0);
        EXPECT_STREQ(out, r.out);
    }
    char small[3] = "zz";
    EXPECT_EQ(str_unescape_uri("abc", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

// ------------------------------------------------------- backslash escapes

TEST(UnescapeCstr, Table) {
    const struct {
        const char* in;
        const char* out;  // nullptr: nothing
    } rows[] = {
        {"\\x41\\102\\n", "AB\n"},
        {"\\\"\\'\\?\\\\", "\"'?\\"},
        {"\\a\\b\\e\\f\\r\\t\\v", "\a\b\x1B\f\r\t\v"},
        {"\\101\\1012", "AA2"},      // at most three octal digits
        {"\\777", "\xFF"},           // the low 8 bits
        {"\\x4142", "B"},            // any number of digits, the low byte
        {"\\u00e9\\U0001F600", "\xE9"},  // the low byte of 0x1F600 is zero and ends the text
        {"a\\xq", "a"},              // no digit: a zero byte
        {"a\\0b", "a"},
        {"", nullptr},
        {"\\x00", nullptr},
        {"plain", "plain"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        pl_text t(str_unescape_cstr(r.in));
        if (!r.out) {
            EXPECT_FALSE(t);
        } else {
            ASSERT_TRUE(t);
            EXPECT_STREQ(t.get(), r.out);
        }
    }
    EXPECT_EQ(str_unescape_cstr(nullptr), nullptr);
}

TEST(UnescapeCstr, UnknownSequencesAreLogged) {
    log_capture cap;
    EXPECT_EQ(text_of(str_unescape_cstr("\\q")), "q");
    EXPECT_TRUE(cap.contains("unknown escape sequence: '\\q'"));
    cap.clear();
    EXPECT_EQ(text_of(str_unescape_cstr("a\\\x01")), "a\x01");
    EXPECT_TRUE(cap.contains("unknown escape sequence: '\\x1'"));
    cap.clear();
    EXPECT_EQ(text_of(str_unescape_cstr("ab\\")), "ab");
    EXPECT_TRUE(cap.contains("unknown escape sequence: '\\x0'"));
    EXPECT_EQ(cap.count(LOG2_ERR), 1u);
}

// ------------------------------------------------------------ JSON and HTML

TEST(JsonEscape, Table) {
    const struct {
        const char* in;
        const char* json;
        const char* csv;
    } rows[] = {
        {"a\"b\\c", "a\\\"b\\\\c", "a\\\"b\\\\c"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r", "\\b\\t\\n\\f\\r"},
        {"\x01\x1F\x7F\xC3\xA9", "\\u0001\\u001F\x7F\xC3\xA9", "\\u0001\\u001F\x7F\xC3\xA9"},
        {"a,b", "a,b", "\"a,b\""},
        {"\"a,b", "\\\"a,b", "\"\\\"a,b\""},  // the escaped text starts with a backslash
        {"", "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        size_t need = json_escape_imp(nullptr, r.in, strlen(r.in));
        EXPECT_EQ(need, strlen(r.json));
        std::vector<char> out(need + 1, 'Z');
        EXPECT_EQ(str_escape_json(out.data(), out.size(), r.in), 0);
        EXPECT_STREQ(out.data(), r.json);
        EXPECT_EQ(str_escape_json(out.data(), need, r.in), -1);
        EXPECT_STREQ(out.data(), "");
        std::vector<char> csv(need + 3, 'Z');
        EXPECT_EQ(str_escape_json_csv(csv.data(), csv.size(), r.in), 0);
        EXPECT_STREQ(csv.data(), r.csv);
        EXPECT_EQ(str_escape_json_csv(csv.data(), need + 2, r.in), -1);
        EXPECT_STREQ(csv.data(), "");
    }
}

TEST(JsonEscape, AgreesWithPythonForControlBytes) {
    std::string all;
    for (int c = 1; c < 127; ++c) all += static_cast<char>(c);  // Python also escapes DEL
    proc_result r;
    try {
        r = run_proc({"python3", "-c",
                      "import sys,json;s=sys.stdin.buffer.read().decode('latin-1');print(json.dumps(s)[1:-1],end='')"},
                     all);
    } catch (...) {
        GTEST_SKIP() << "python3 is missing";
    }
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<char> out(json_escape_imp(nullptr, all.data(), all.size()) + 1);
    ASSERT_EQ(str_escape_json(out.data(), out.size(), all.c_str()), 0);
    // Python writes \u001f in lower case: compare without regard to case.
    std::string ours(out.data()), theirs = r.out;
    for (auto* s : {&ours, &theirs})
        for (auto& c : *s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(ours, theirs);
}

TEST(HtmlEscape, SizeAndText) {
    const char* in = "<a href=\"x&y\">";
    size_t len = strlen(in);
    size_t extra = html_escape_imp(nullptr, in, len);
    EXPECT_EQ(extra, 3u + 5 + 4 + 5 + 3);
    std::vector<char> out(len + extra, 'Z');
    EXPECT_EQ(html_escape_imp(out.data(), in, len), len + extra);
    EXPECT_EQ(std::string(out.data(), out.size()), "&lt;a href=&quot;x&amp;y&quot;&gt;");
    EXPECT_EQ(html_escape_imp(nullptr, "plain", 5), 0u);
}

// ------------------------------------------------------------------ checks

TEST(TextChecks, DigitsAndColons) {
    EXPECT_EQ(str_is_digits("0123456789"), 1);
    EXPECT_EQ(str_is_digits(""), 1);
    EXPECT_EQ(str_is_digits("12a"), 0);
    EXPECT_EQ(str_is_digits("-1"), 0);
    EXPECT_EQ(str_has_two_colons("a:b:c"), 1);
    EXPECT_EQ(str_has_two_colons("::"), 1);
    EXPECT_EQ(str_has_two_colons("a:b"), 0);
    EXPECT_EQ(str_has_two_colons("ab"), 0);
}

TEST(TextChecks, CheckChars) {
    const struct {
        const char* text;
        int flags;
        int rc;
        const char* err;
    } rows[] = {
        {"", 1, 0, "Can't be empty"},
        {nullptr, 1, 0, "Can't be empty"},
        {nullptr, 2, 1, ""},
        {"a b", 2, 0, "Can't Contain [;/\\\"'?:@# ]"},
        {"a=b", 2, 1, ""},
        {"a=b", 4, 0, "Can't Contain [&=]"},
        {"a=b", 8, 1, ""},
        {"a&b", 8, 0, "Can't Contain [&]"},
        {"a[0]", 16, 0, "Can't Contain [[]]"},
        {"a&b", 4 | 8, 0, "Can't Contain [&=]"},  // tested in flag order
        {"ok", 31, 1, ""},
    };
    for (const auto& r : rows) {
        char err[STR_CHECK_ERR_SIZE] = "junk";
        EXPECT_EQ(str_check_chars(r.text, r.flags, err), r.rc) << r.flags;
        EXPECT_STREQ(err, r.err);
    }
}

// --------------------------------------------------------------- expansion

char* table_lookup(const char* name, void* arg, size_t len) {
    EXPECT_EQ(strlen(name), len);
    auto* calls = static_cast<std::vector<std::string>*>(arg);
    calls->push_back(name);
    if (strcmp(name, "A") == 0) return pl_strdup("1");
    if (strcmp(name, "HOME") == 0) return pl_strdup("/u");
    if (strcmp(name, "B C") == 0) return pl_strdup("bc");
    if (strcmp(name, "E") == 0) return pl_strdup("");
    return nullptr;
}

TEST(ExpandVars, Table) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"$HOME/x", "/u/x"},
        {"${HOME}x", "/ux"},
        {"$A$A-$A", "11-1"},
        {"a$Ab", "a"},          // the name runs to the end: "Ab" has no value
        {"$A:$A=$A\\z", "1:1=1\\z"},
        {"$B C/", "bc/"},       // blanks do not end a name
        {"$X/y", "/y"},         // no value: nothing
        {"$E/", "/"},          // an empty value
        {"${HOME", "HOME"},     // unclosed: copied without "$" and "{"
        {"x${A}${HOME}", "x1/u"},
        {"$", ""},
        {"$$", ""},
        {"no refs", "no refs"},
        {"", ""},
    };
    for (const auto& r : rows) {
        std::vector<std::string> calls;
        EXPECT_EQ(text_of(str_expand_vars(r.in, table_lookup, &calls)), r.out) << r.in;
    }
    EXPECT_EQ(str_expand_vars(nullptr, table_lookup, nullptr), nullptr);
}

TEST(ExpandPct, Table) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"%HOME%/x", "/u/x"},
        {"%NOPE%/x", "%NOPE%/x"},
        {"%%", ""},
        {"a%%b", "ab"},
        {"%A%%A%", "11"},
        {"%A", "%A"},
        {"50% of %A%", "50% of %A%"},  // " of " is a name without a value; the last "%" is unclosed
        {"%E%x", "x"},
    };
    for (const auto& r : rows) {
        std::vector<std::string> calls;
        EXPECT_EQ(text_of(str_expand_pct(r.in, table_lookup, &calls)), r.out) << r.in;
    }
}

TEST(ExpandEnv, UsesTheEnvironment) {
    ASSERT_EQ(setenv("KXDD_T_HOME", "/u", 1), 0);
    unsetenv("KXDD_T_NONE");
    EXPECT_EQ(text_of(env_dup("KXDD_T_HOME")), "/u");
    EXPECT_EQ(env_dup("KXDD_T_NONE"), nullptr);
    EXPECT_EQ(text_of(str_expand_env_vars("$KXDD_T_HOME/x$KXDD_T_NONE")), "/u/x");
    EXPECT_EQ(text_of(str_expand_pct_env_dup("%KXDD_T_HOME%/x")), "/u/x");
    log_capture cap;
    char out[8];
    EXPECT_EQ(str_expand_pct_env("%KXDD_T_HOME%/x", out, sizeof out), 0);
    EXPECT_STREQ(out, "/u/x");
    EXPECT_EQ(str_expand_pct_env("%KXDD_T_NONE%/x", out, sizeof out), 34);  // "%KXDD_T_NONE%/x" does not fit
    EXPECT_STREQ(out, "");
    char big[32];
    EXPECT_EQ(str_expand_pct_env("%KXDD_T_NONE%/x", big, sizeof big), 0);
    EXPECT_STREQ(big, "%KXDD_T_NONE%/x");
    unsetenv("KXDD_T_HOME");
}

}  // namespace
