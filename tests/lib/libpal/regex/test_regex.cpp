// Regular expressions: matching against grep -E, replacing against
// sed -E 's/.../.../g'.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/regex/regex_ex.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

// 1 match, 0 no match, 2 bad pattern, as grep -E reports them.
int grep_e(const std::string& pattern, const std::string& text, bool icase) {
    // grep refuses a bad pattern without reading its input: our write to it
    // must fail with EPIPE rather than end this process.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv{"grep", "-E", "-q"};
    if (icase) argv.push_back("-i");
    argv.push_back("-e");
    argv.push_back(pattern);
    proc_result r = run_proc(argv, text + "\n");
    return r.status == 0 ? 1 : r.status == 1 ? 0 : 2;
}

TEST(Regmatch, AgreesWithGrep) {
    struct row {
        const char* text;
        const char* pattern;
    };
    const row rows[] = {
        {"disk0s2", "^disk[0-9]+s[0-9]+$"},
        {"disk0", "^disk[0-9]+s[0-9]+$"},
        {"DISK0", "^disk"},
        {"rdisk12", "disk"},
        {"/dev/sda1", "^/dev/(sd|nvme)[a-z0-9]+$"},
        {"/dev/nvme0n1p2", "^/dev/(sd|nvme)[a-z0-9]+$"},
        {"image.E01", "\\.[eE]0[0-9]$"},
        {"abcabc", "(abc){2}"},
        {"ab", "a{2,}"},
        {"", "^$"},
        {"x", ""},
        {"tab\there", "[[:space:]]"},
        {"Straße", "ß"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " ~ " + r.pattern);
        EXPECT_EQ(regmatch(r.text, r.pattern), grep_e(r.pattern, r.text, false));
        EXPECT_EQ(regmatch_icase(r.text, r.pattern), grep_e(r.pattern, r.text, true));
    }
    EXPECT_EQ(regmatch("disk0s2", "^disk[0-9]+s[0-9]+$"), 1);
    EXPECT_EQ(regmatch_icase("DISK0", "^disk"), 1);
    EXPECT_EQ(regmatch("DISK0", "^disk"), 0);
    EXPECT_EQ(regmatch_imp("^disk", "disk1", 0), 1) << "pattern first here";
}

TEST(Regmatch, BadPatternIsLoggedAndNeverMatches) {
    for (const char* pattern : {"(", "a{2", "[z-a]", "*a"}) {
        SCOPED_TRACE(pattern);
        if (grep_e(pattern, "a", false) != 2) continue;  // only patterns the system refuses
        log_capture cap;
        EXPECT_EQ(regmatch("(a", pattern), 0);
        ASSERT_EQ(cap.count(), 1u);
        EXPECT_EQ(cap.lines()[0].level, 3u);
        EXPECT_EQ(cap.lines()[0].text.rfind("regcomp: ", 0), 0u) << cap.lines()[0].text;
    }
    EXPECT_EQ(regmatch(nullptr, "a"), 0);
    EXPECT_EQ(regmatch("a", nullptr), 0);
}

struct owned {
    char* p;
    ~owned() { pl_free(p); }
    std::string str() const { return p ? p : "<none>"; }
};

std::string sed_g(const std::string& pattern, const std::string& repl, const std::string& text) {
    proc_result r = run_proc({"sed", "-E", "s/" + pattern + "/" + repl + "/g"}, text + "\n");
    return r.out.substr(0, r.out.size() - 1);
}

TEST(CnsReg, ReplacesEveryMatchLikeSed) {
    struct row {
        const char* text;
        const char* pattern;
        const char* repl;
    };
    // Patterns and replacements without "/", "&" and "\" so that sed takes them as they are.
    const row rows[] = {
        {"a-b-c", "-", "+"},
        {"aaa", "^a", "+"},        // only at the start of the text
        {"aaa", "a$", "+"},
        {"abc", "x*", "-"},        // empty matches, each position once
        {"abc", "b*", "-"},        // no empty match right after a match
        {"baaac", "a*", "-"},
        {"one two  three", " +", "_"},
        {"word words sword", "\\bword\\b", "W"},
        {"aaaa", "aa", "a"},
        {"x.y.z", "\\.", ".."},
        {"", "^", "start"},
        {"abc", "$", "!"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " s/" + r.pattern + "/" + r.repl + "/g");
        owned got{cns_reg(r.text, r.pattern, r.repl)};
        std::string expect = sed_g(r.pattern, r.repl, r.text);
        if (expect == r.text && !got.p) continue;  // nothing replaced: none
        EXPECT_EQ(got.str(), expect);
    }
}

TEST(CnsReg, NoneWithoutMatchOrWithABadPattern) {
    owned none{cns_reg("abc", "x", "y")};
    EXPECT_EQ(none.p, nullptr);
    log_capture cap;
    owned bad{cns_reg("abc", "(", "y")};
    EXPECT_EQ(bad.p, nullptr);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.lines()[0].level, 3u);
    EXPECT_NE(cap.lines()[0].text.find(": regex '('\n"), std::string::npos) << cap.lines()[0].text;
}

TEST(CnsReg, PatternEqualToReplacement) {
    // A literal pattern replaced by itself changes nothing: a copy.
    owned same{cns_reg("abc", "b", "b")};
    EXPECT_EQ(same.str(), "abc");
    owned same_absent{cns_reg("abc", "x", "x")};
    EXPECT_EQ(same_absent.str(), "abc");
    // With special characters the pattern matches other text, which is replaced.
    owned dot{cns_reg("abc", "a.", "a.")};
    EXPECT_EQ(dot.str(), "a.c");
}

}  // namespace
