#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/string/str_argv.h"
#include "libpal/string/str_quote.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

using words = std::vector<std::string>;

// Runs a python3 script on input; false when python3 cannot be started.
bool python(const char* script, const std::string& input, proc_result* r) {
    try {
        *r = run_proc({"python3", "-c", script}, input);
    } catch (...) {
        return false;
    }
    return true;
}

std::vector<std::string> cut(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t end; (end = s.find(sep, at)) != std::string::npos; at = end + 1) out.push_back(s.substr(at, end - at));
    return out;
}

// argv_split in its two passes, with arrays of exactly the counted sizes.
words split(const char* line, size_t* argc_out = nullptr, size_t* nchars_out = nullptr) {
    size_t argc = 0, nchars = 0;
    EXPECT_EQ(argv_split(line, nullptr, nullptr, &argc, &nchars), 0) << line;
    std::vector<char*> argv(argc);
    std::vector<char> buf(nchars);
    size_t argc2 = argc, nchars2 = nchars;
    EXPECT_EQ(argv_split(line, argv.data(), buf.data(), &argc2, &nchars2), 0) << line;
    EXPECT_EQ(argc2, argc);
    EXPECT_EQ(nchars2, nchars);
    EXPECT_EQ(argv.back(), nullptr);
    if (argc_out) *argc_out = argc;
    if (nchars_out) *nchars_out = nchars;
    words out;
    for (size_t i = 0; i + 1 < argc; ++i) out.emplace_back(argv[i]);
    return out;
}

TEST(StrQuote, QuoteIfFamily) {
    const struct {
        char* (*fn)(const char*, char*, size_t);
        const char* word;
        const char* want;
    } rows[] = {
        {str_quote_ini, "a#b", "\"a#b\""},
        {str_quote_ini, "\"a#b", "\"a#b"},  // already starts with the quote
        {str_quote_ini, "", "\"\""},
        {str_quote_ini, nullptr, "\"\""},
        {str_quote_ini, "a\tb", "a\tb"},  // a tab does not need quotes in ini text
        {str_quote_ini, "x;y", "\"x;y\""},
        {str_quote_dq, "a b", "\"a b\""},
        {str_quote_dq, "a\tb", "\"a\tb\""},
        {str_quote_dq, "a#b", "a#b"},
        {str_quote_dq, "a$b", "a$b"},
        {str_quote_sq, "a;b", "'a;b'"},
        {str_quote_sq, "", "''"},
        {str_quote_dq_shell, "$HOME", "\"$HOME\""},
        {str_quote_sq_shell, "50%", "'50%'"},
        {str_quote_sq_shell, "'a b'", "'a b'"},
    };
    for (const auto& r : rows) {
        char out[16] = "junk";
        EXPECT_EQ(r.fn(r.word, out, sizeof out), out);
        EXPECT_STREQ(out, r.want) << (r.word ? r.word : "(null)");
    }
    log_capture cap;
    char small[6];
    EXPECT_STREQ(str_quote_dq("ab cd", small, sizeof small), "");  // 7 characters quoted
    EXPECT_TRUE(cap.contains("need_size=8 buf_size=6"));

    char text[32] = "my file";
    EXPECT_STREQ(str_quote_dq_inplace(text, sizeof text), "\"my file\"");
    char text2[32] = "x y";
    EXPECT_STREQ(str_quote_sq_inplace(text2, sizeof text2), "'x y'");
}

TEST(StrQuote, ShellQuoteForms) {
    const struct {
        const char* text;
        const char* want;
    } rows[] = {
        {"abc", "'abc'"},
        {"it's", "'it'\\''s'"},
        {"a''b", "'a'\"''\"'b'"},
        {"'", "\\'"},
        {"'''", "\"'''\""},
        {"", "''"},
        {"$x `y` \\z", "'$x `y` \\z'"},
    };
    for (const auto& r : rows) {
        char out[32];
        EXPECT_STREQ(str_shell_quote(r.text, out, sizeof out), r.want) << r.text;
    }
    char out[6];
    EXPECT_NE(str_shell_quote("abc", out, sizeof out), nullptr);  // 5 characters and the terminator
    EXPECT_EQ(str_shell_quote("abcd", out, sizeof out), nullptr);
}

// The quoted forms read back as the original word by /bin/sh and by
// Python's shlex.
TEST(StrQuote, ShellQuoteRoundTripsThroughShells) {
    const char* texts[] = {"plain", "two words", "it's", "''", "a'''b'", "'", "$HOME", "`id`", "back\\slash",
                           "new\nline", "tab\there", "*?[x]", "\"dq\"", "", "-n", "%s;&|<>"};
    std::string script, input;
    for (const char* t : texts) {
        char q[128];
        ASSERT_NE(str_shell_quote(t, q, sizeof q), nullptr) << t;
        script += std::string("printf '%s\\036' ") + q + "\n";
        input += std::string(q) + '\x1e';
    }
    proc_result sh = run_proc({"sh", "-c", script});
    ASSERT_EQ(sh.status, 0) << sh.err;
    words got = cut(sh.out, '\x1e');
    ASSERT_EQ(got.size(), std::size(texts));
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], texts[i]);

    proc_result py;
    const char* pyscript =
        "import sys, shlex\n"
        "for q in sys.stdin.read().split('\\x1e')[:-1]:\n"
        "    w = shlex.split(q)\n"
        "    sys.stdout.write(str(len(w)) + '\\x1f' + '\\x1f'.join(w) + '\\x1e')\n";
    if (!python(pyscript, input, &py)) GTEST_SKIP() << "python3 is missing";
    ASSERT_EQ(py.status, 0) << py.err;
    words recs = cut(py.out, '\x1e');
    ASSERT_EQ(recs.size(), std::size(texts));
    for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(recs[i], std::string("1\x1f") + texts[i]) << texts[i];
}

TEST(ArgvSplit, RulesTable) {
    const struct {
        const char* line;
        words want;
    } rows[] = {
        {"prog a \"b c\" d\\\"e", {"prog", "a", "b c", "d\"e"}},
        {"prog \"a\\\\\" b", {"prog", "a\\", "b"}},
        {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},        // three backslashes: one, and the quote
        {"prog a\\\\b c\\", {"prog", "a\\\\b", "c\\"}},  // no quote after: unchanged
        {"prog \"a\"\"b\" c", {"prog", "a\"b", "c"}},     // "" inside quotes
        {"prog \"a\"\"b c\"", {"prog", "a\"b c"}},        // ... and quoting goes on
        {"prog \"unclosed arg", {"prog", "unclosed arg"}},
        {"prog \"\" x", {"prog", "", "x"}},
        {"C:\\dir\\\"x y\"\\p.exe \\\"a", {"C:\\dir\\x y\\p.exe", "\"a"}},  // program: backslashes plain
        {"\t prog\t\ta  b\t", {"prog", "a", "b"}},
        {"a\"b c\"d", {"ab cd"}},
        {"", {}},
        {" \t ", {}},
    };
    for (const auto& r : rows) EXPECT_EQ(split(r.line), r.want) << r.line;

    size_t argc, nchars;
    split("prog a \"b c\" d\\\"e", &argc, &nchars);
    EXPECT_EQ(argc, 5u);
    EXPECT_EQ(nchars, 5u + 2 + 4 + 4);
    split("", &argc, &nchars);
    EXPECT_EQ(argc, 1u);
    EXPECT_EQ(nchars, 0u);

    // Arrays smaller than the line needs are refused, not overrun.
    char* argv[2];
    char buf[64];
    argc = 2;
    nchars = sizeof buf;
    EXPECT_EQ(argv_split("a b c", argv, buf, &argc, &nchars), -1);
    char* argv4[4];
    argc = 4;
    nchars = 5;
    EXPECT_EQ(argv_split("a b c", argv4, buf, &argc, &nchars), -1);
    EXPECT_EQ(argv_split(nullptr, nullptr, nullptr, &argc, &nchars), -1);
}

// Python's list2cmdline writes arguments for these rules: splitting its
// output gives the arguments back.
TEST(ArgvSplit, InvertsList2cmdline) {
    std::mt19937 rng(1234);
    const char alphabet[] = {'a', 'b', ' ', '\t', '"', '\\', '\'', 'x'};
    std::vector<words> cases;
    for (int i = 0; i < 300; ++i) {
        words args(1 + rng() % 4);
        for (auto& a : args)
            for (size_t n = rng() % 7; n; --n) a += alphabet[rng() % sizeof alphabet];
        cases.push_back(args);
    }
    std::string input;
    for (const auto& args : cases) {
        for (const auto& a : args) input += a + '\x1f';
        input += '\x1e';
    }
    const char* script =
        "import sys, subprocess\n"
        "for r in sys.stdin.read().split('\\x1e')[:-1]:\n"
        "    sys.stdout.write(subprocess.list2cmdline(r.split('\\x1f')[:-1]) + '\\x1e')\n";
    proc_result py;
    if (!python(script, input, &py)) GTEST_SKIP() << "python3 is missing";
    ASSERT_EQ(py.status, 0) << py.err;
    words lines = cut(py.out, '\x1e');
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        words want = cases[i];
        want.insert(want.begin(), "prog");
        EXPECT_EQ(split(("prog " + lines[i]).c_str()), want) << lines[i];
    }
}

// Without backslashes and single quotes the rules agree with a POSIX shell's
// word splitting as Python's shlex does it (two double quotes inside
// quotes, which give a quote character here, are left out).
TEST(ArgvSplit, AgreesWithShlexOnPlainQuoting) {
    const char* lines[] = {
        "prog a \"b c\" d", "a\"b c\"d e",       "\"\" x",  "  lead  trail  ", "\"my prog\" -v",
        "p\t\"tab\there\"", "p a=\"1 2\" b=3", "p \"\"", "one",
    };
    std::string input;
    for (const char* l : lines) input += std::string(l) + '\x1e';
    const char* script =
        "import sys, shlex\n"
        "for l in sys.stdin.read().split('\\x1e')[:-1]:\n"
        "    sys.stdout.write(''.join(w + '\\x1f' for w in shlex.split(l)) + '\\x1e')\n";
    proc_result py;
    if (!python(script, input, &py)) GTEST_SKIP() << "python3 is missing";
    ASSERT_EQ(py.status, 0) << py.err;
    words recs = cut(py.out, '\x1e');
    ASSERT_EQ(recs.size(), std::size(lines));
    for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(split(lines[i]), cut(recs[i], '\x1f')) << lines[i];
}

TEST(ArgvJoin, QuotesArgumentsWithBlanks) {
    char out[64];
    const char* two[] = {"ls", "my dir"};
    EXPECT_EQ(argv_join(2, two, out, sizeof out), 0);
    EXPECT_STREQ(out, "ls \"my dir\" ");
    EXPECT_EQ(argv_join(0, two, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    // Cut to the buffer (the bounded print logs the cut).
    log_capture cap;
    char small[8];
    EXPECT_EQ(argv_join(2, two, small, sizeof small), 0);
    EXPECT_STREQ(small, "ls \"my ");
    // An argument beyond 4095 characters is logged and left empty.
    std::string huge(5000, 'x');
    const char* three[] = {"a", huge.c_str(), "b"};
    EXPECT_EQ(argv_join(3, three, out, sizeof out), 0);
    EXPECT_STREQ(out, "a  b ");
    EXPECT_TRUE(cap.contains("need_size=5001 buf_size=4096"));
}

}  // namespace
