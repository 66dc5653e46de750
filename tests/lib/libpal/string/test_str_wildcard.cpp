#include <gtest/gtest.h>

#include "libpal/string/str_util.h"

namespace {

struct wild_row {
    const char* text;
    const char* pattern;
    int exact;   // str_wildcard
    int nocase;  // str_wildcard_nocase
};

TEST(StrWildcard, Table) {
    const wild_row rows[] = {
        // driver file-name lists
        {"disk.VMDK", "*.vmdk|*.vhd", 0, 1},
        {"disk.vhd", "*.vmdk|*.vhd", 1, 1},
        {"disk.vmdk.bak", "*.vmdk|*.vhd", 0, 0},
        {"disk.vmdk", "*.VMDK", 0, 1},
        // "?" takes exactly one character
        {"a", "?", 1, 1},
        {"", "?", 0, 0},
        {"ab", "?", 0, 0},
        {"a|b", "a?b", 1, 1},
        // escapes
        {"*", "\\*", 1, 1},
        {"a", "\\*", 0, 0},
        {"x*", "\\*", 0, 0},
        {"a?", "a\\?", 1, 1},
        {"ab", "a\\?", 0, 0},
        {"a|b", "a\\|b", 1, 1},
        {"a", "a\\|b", 0, 0},
        // stars: the first place the piece matches, no backtracking
        {"ab", "a*b*", 1, 1},
        {"axxb", "a*b", 1, 1},
        {"b", "*b", 1, 1},
        {"ba", "a*", 0, 0},
        {"aXbXc", "a*X*c", 1, 1},
        {"abcd", "*b?d", 1, 1},
        {"abcbd", "*b*d", 1, 1},
        {"abcb", "*b*d", 0, 0},
        {"ab", "*b?", 0, 0},
        // a piece's "?" takes no "|", a last piece must end the text
        {"a|b", "*?b", 0, 0},
        {"xab", "*ab", 1, 1},
        {"abx", "*ab", 0, 0},
        // patterns that match the empty text
        {"", "", 1, 1},
        {"a", "", 0, 0},
        {"", "*", 1, 1},
        {"", "**", 1, 1},
        {"abc", "**", 1, 1},
        {"abc", "a**c", 1, 1},
        {"abc", "***c", 1, 1},
        {"", "*|x", 1, 1},
        {"x", "|x", 1, 1},
        {"y", "|x", 0, 0},
        {"", "x|", 1, 1},
        // only ASCII letters fold
        {"[", "{", 0, 0},
        {"\xc3\xa4", "\xc3\x84", 0, 0},
        // a lone backslash at the end is a plain character
        {"a\\", "a\\", 1, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string("text [") + r.text + "] pattern [" + r.pattern + "]");
        EXPECT_EQ(str_wildcard(r.text, r.pattern), r.exact);
        EXPECT_EQ(str_wildcard_nocase(r.text, r.pattern), r.nocase);
    }
}

TEST(StrWildcard, AbsentArguments) {
    EXPECT_EQ(str_wildcard(nullptr, "*"), 0);
    EXPECT_EQ(str_wildcard("a", nullptr), 0);
    EXPECT_EQ(str_wildcard_nocase(nullptr, nullptr), 0);
}

}  // namespace
