#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/mem_find.h"
#include "libpal/string/str_search.h"
#include "libpal/string/str_util.h"
#include "support/log_capture.h"

namespace {

using pl_text = std::unique_ptr<char, pl_mem_deleter>;

// Offset of a search result in its text, -1 for nothing.
long off(const char* text, const char* hit) { return hit ? hit - text : -1; }
long off(const void* block, const void* hit) {
    return hit ? static_cast<const char*>(hit) - static_cast<const char*>(block) : -1;
}

TEST(StrPrefixes, Table) {
    const struct {
        const char* text;
        const char* affix;
        int starts, istarts, ends, iends;
    } rows[] = {
        {"Hello World", "HELLO", 0, 1, 0, 0},
        {"Hello World", "Hello", 1, 1, 0, 0},
        {"Hello World", "Hello W", 1, 0, 0, 0},  // the blank ends the case-free comparison
        {"Hello World", "world", 0, 0, 0, 1},
        {"Hello World", "o World", 0, 0, 1, 0},  // a suffix with a blank never matches case-free
        {"Hello World", "", 1, 1, 1, 1},
        {"ab", "abc", 0, 0, 0, 0},
        {"[x", "{X", 0, 0, 0, 0},  // only letters fold
        {"", "", 1, 1, 1, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " / " + r.affix);
        EXPECT_EQ(str_starts_with(r.text, r.affix), r.starts);
        EXPECT_EQ(str_istarts_with(r.text, r.affix), r.istarts);
        EXPECT_EQ(str_ends_with(r.text, r.affix), r.ends);
        EXPECT_EQ(str_iends_with(r.text, r.affix), r.iends);
    }
    EXPECT_EQ(str_wrapped_in("[x]", '[', ']'), 1);
    EXPECT_EQ(str_wrapped_in("[]", '[', ']'), 1);
    EXPECT_EQ(str_wrapped_in("\"", '"', '"'), 0);
    EXPECT_EQ(str_wrapped_in("[x", '[', ']'), 0);
}

TEST(StrSearch, Table) {
    const char* t = "xab ab AB.ab";
    EXPECT_EQ(off(t, str_istr(t, "aB.")), 7);
    EXPECT_EQ(off(t, str_istr(t, "")), 0);
    EXPECT_EQ(off(t, str_istr(t, "abc")), -1);
    EXPECT_EQ(off(t, str_rstr(t, "ab")), 10);
    EXPECT_EQ(off(t, str_rstr(t, "xab")), 0);
    EXPECT_EQ(off(t, str_rstr(t, "xabx")), -1);
    EXPECT_EQ(off(t, str_find_word(t, "ab")), 4);
    EXPECT_EQ(off(t, str_find_word_nocase(t, "Ab")), 4);
    EXPECT_EQ(off("abc", str_find_word("abc", "ab")), -1);
    EXPECT_EQ(off("ab", str_find_word("ab", "")), -1);
    // Adjacent and overlapping occurrences: every start is tried.
    EXPECT_EQ(off("abab ab", str_find_word("abab ab", "ab")), 5);
    EXPECT_EQ(off("xa-a-a", str_find_word("xa-a-a", "a-a")), 3);
    EXPECT_EQ(off("a.AB", str_find_word_nocase("a.AB", "ab")), 2);
    EXPECT_EQ(off("abc", str_find_any("abc", "cb")), 2);  // the set's order decides
    EXPECT_EQ(off("abc", str_find_any("abc", "xa")), 0);
    EXPECT_EQ(off("abc", str_find_any("abc", "xy")), -1);
    EXPECT_EQ(off("a/b\\c/d", str_find_last_any("a/b\\c/d", "\\")), 3);
    EXPECT_EQ(off("a/b\\c/d", str_find_last_any("a/b\\c/d", "/\\")), 5);
    EXPECT_EQ(off("a.b.c", str_find_nth_chr("a.b.c", '.', 2)), 3);
    EXPECT_EQ(off("a.b.c", str_find_nth_chr("a.b.c", '.', 3)), -1);
    EXPECT_EQ(off("a.b.c", str_find_nth_chr("a.b.c", '.', 0)), -1);
    EXPECT_EQ(str_count_chr("a.b.c", '.'), 2u);
    EXPECT_EQ(str_count_set("a.b,c", ".,"), 2u);
    // The writable forms return writable positions.
    char w[] = "key=val";
    char* eq = str_find_any(w, "=");
    ASSERT_NE(eq, nullptr);
    *eq = 0;
    EXPECT_STREQ(w, "key");
}

TEST(StrSearch, AbsentArgumentsAreLogged) {
    log_capture cap;
    EXPECT_EQ(str_istr(static_cast<const char*>(nullptr), nullptr), nullptr);
    EXPECT_TRUE(cap.contains("expr[pstr!=NULL]"));
    EXPECT_TRUE(cap.contains("expr[psubstr!=NULL]"));
    EXPECT_EQ(str_rstr(static_cast<const char*>(nullptr), "x"), nullptr);
    EXPECT_TRUE(cap.contains("expr[dst]"));
}

TEST(StrSearch, ListsAndTokens) {
    EXPECT_EQ(str_list_find("b", "a,b,c", ','), 0);
    EXPECT_EQ(str_list_find("c", "a,b,c", ','), 0);
    EXPECT_EQ(str_list_find("", "a,,c", ','), 0);
    EXPECT_EQ(str_list_find("a,b", "a,b,c", ','), -1);
    EXPECT_EQ(str_list_find("ab", "a,b", ','), -1);
    char buf[4];
    const char* t = "abc:def";
    EXPECT_EQ(off(t, str_get_token(t, ":;", buf, sizeof buf)), 3);  // a token of size-1
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(str_get_token("abcd:e", ":", buf, sizeof buf), nullptr);  // a token of size
    EXPECT_STREQ(buf, "");
    const char* u = "ab";
    EXPECT_EQ(off(u, str_get_token(u, ":", buf, sizeof buf)), 2);
    EXPECT_STREQ(buf, "ab");
}

TEST(StrSearch, CmpShowDbgStaysInsideBothTexts) {
    log_capture cap;
    std::unique_ptr<char[]> shorter(new char[3]);
    memcpy(shorter.get(), "aX", 3);
    EXPECT_EQ(str_cmp_show_dbg("abcdef", shorter.get()), 0);
    EXPECT_EQ(cap.count(), 1u);
    EXPECT_TRUE(cap.contains("off=1 b=X"));
}

TEST(StrNewTexts, ConcatAndAppend) {
    EXPECT_STREQ(pl_text(str_concat_dup("ab", "cd")).get(), "abcd");
    EXPECT_STREQ(pl_text(str_concat_dup("ab", nullptr)).get(), "ab");
    EXPECT_EQ(str_concat_dup(nullptr, "cd"), nullptr);
    EXPECT_STREQ(pl_text(str_append_chr_dup("ab", '/')).get(), "ab/");
    EXPECT_EQ(str_append_chr_dup("ab", 0), nullptr);
    EXPECT_EQ(str_append_chr_dup(nullptr, 'x'), nullptr);
}

TEST(StrReplace, Table) {
    const struct {
        const char* text;
        const char* find;
        const char* repl;
        size_t n;
        const char* out;
    } rows[] = {
        {"aaaa", "aa", "b", 0, "bb"},        // no overlap
        {"aaa", "aa", "b", 0, "ba"},
        {"a.b.c", ".", "::", 1, "a::b.c"},
        {"a.b.c", ".", "", 0, "abc"},
        {"a.b.c", ".", nullptr, 2, "abc"},
        {"abc", "", "x", 0, "abc"},          // an empty find replaces nothing
        {"abc", "abc", "", 0, ""},
        {"x", "y", "z", 0, "x"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " / " + r.find);
        EXPECT_STREQ(pl_text(str_replace_dup(r.text, r.find, r.repl, r.n)).get(), r.out);
        size_t need = strlen(r.out) + 1;
        std::vector<char> out(need, 'Z');
        EXPECT_EQ(str_replace(r.text, r.find, r.repl, r.n, out.data(), out.size()), out.data());
        EXPECT_STREQ(out.data(), r.out);
        if (r.n == 0) {
            EXPECT_EQ(str_replace_all(r.text, r.find, r.repl, out.data(), out.size()), out.data());
        }
        std::vector<char> small(need - 1 ? need - 1 : 1, 'Z');
        if (need > 1) {
            EXPECT_EQ(str_replace(r.text, r.find, r.repl, r.n, small.data(), small.size()), nullptr);
        }
    }
    // In place, the result growing inside the buffer.
    char buf[16] = "a/b/c";
    EXPECT_EQ(str_replace_all(buf, "/", "//", buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "a//b//c");
}

// ------------------------------------------------------------ memory search

TEST(MemFind, MatchesNaiveSearch) {
    std::mt19937 rng(156);
    for (int round = 0; round < 3000; ++round) {
        size_t len = rng() % 40;
        size_t plen = 1 + rng() % 5;
        int alpha = 2 + static_cast<int>(rng() % 3);  // small alphabets give many partial matches
        // Exact-size heap blocks: ASan catches a read past either.
        std::unique_ptr<uint8_t[]> block(new uint8_t[len ? len : 1]);
        std::unique_ptr<uint8_t[]> pat(new uint8_t[plen]);
        for (size_t i = 0; i < len; ++i) block[i] = static_cast<uint8_t>(rng() % alpha);
        for (size_t i = 0; i < plen; ++i) pat[i] = static_cast<uint8_t>(rng() % alpha);
        // Sometimes plant the pattern in the last window.
        if (round % 4 == 0 && len >= plen) memcpy(block.get() + len - plen, pat.get(), plen);
        long want = -1;
        for (size_t i = 0; i + plen <= len && want < 0; ++i)
            if (memcmp(block.get() + i, pat.get(), plen) == 0) want = static_cast<long>(i);
        ASSERT_EQ(off(block.get(), mem_find(block.get(), len, pat.get(), plen)), want)
            << "round " << round;
        // A mask of "_" only is the same search.
        std::string mask(plen, '_');
        ASSERT_EQ(off(block.get(), mem_find_mask(block.get(), len, pat.get(), plen, mask.data())), want);
    }
}

TEST(MemFind, EdgeCases) {
    const uint8_t b[] = {0x00, 0x11, 0x22, 0x33};
    EXPECT_EQ(mem_find(b, 4, b, 0), nullptr);
    EXPECT_EQ(off(b, mem_find(b, 4, b, 4)), 0);
    EXPECT_EQ(mem_find(b, 3, b, 4), nullptr);
    const char* t = "xaab";
    EXPECT_EQ(off(t, mem_find_str(t, 4, "aab")), 1);
    const char* a = "aaab";  // the match starts inside a failed partial match
    EXPECT_EQ(off(a, mem_find_mask(a, 4, "aab", 3, nullptr)), 1);
    EXPECT_EQ(off(a, mem_find_mask(a, 4, "aab", 3, "___")), 1);
    EXPECT_EQ(off(a, mem_find_mask(a, 4, "xb", 2, "?_")), 2);
}

TEST(MemFind, HexPatterns) {
    const uint8_t b[] = {0x00, 0x11, 0x22, 0x33, 0x11, 0x44};
    const struct {
        const char* pattern;
        long at;
    } rows[] = {
        {"11?33", 1},
        {"1122", 1},
        {"2211", -1},
        {"?11", 0},      // wildcard first
        {"11?", 1},      // wildcard last
        {"11??44", -1},
        {"22?11", 2},
        {"33??", 3},
        {"33???", -1},   // past the end
        {"33?", 3},
        {"1144", 4},
        {"??????", 0},
        {"", -1},
        {"?", 0},
        {"1", -1},       // odd digits
        {"1?1", -1},
        {"zz", -1},
    };
    for (const auto& r : rows) EXPECT_EQ(off(b, mem_find_hex(b, sizeof b, r.pattern)), r.at) << r.pattern;
    const char* a = "aaab";
    EXPECT_EQ(off(a, mem_find_hex(a, 4, "616162")), 1);
    EXPECT_EQ(off(a, mem_find_hex(a, 4, "?6162")), 1);
    EXPECT_EQ(off(a, mem_find_hex(a, 4, "61?162")), -1);  // "61", "?", "16" and a lone "2"
}

// A pattern whose pieces match the empty text: every loop still ends.
TEST(StrWildcardLoops, EmptyMatchingPiecesAdvance) {
    std::string long_text(2000, 'a');
    const struct {
        const char* pattern;
        int want;
    } rows[] = {
        {"***", 1}, {"*|*", 1}, {"||", 0}, {"*a*a*a*b", 0}, {"*?*?*", 1}, {"\\", 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(str_wildcard(long_text.c_str(), r.pattern), r.want) << r.pattern;
        EXPECT_EQ(str_wildcard_nocase(long_text.c_str(), r.pattern), r.want) << r.pattern;
    }
    EXPECT_EQ(str_wildcard("", "||"), 1);
    EXPECT_EQ(str_wildcard("x.E01", "*.e01"), 0);
    EXPECT_EQ(str_wildcard_nocase("x.E01", "*.e01"), 1);
    EXPECT_EQ(str_wildcard_nocase("x.e01.bak", "*.e01"), 0);
}

}  // namespace
