#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/string/path.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

std::string normalized(const std::string& in) {
    char buf[PATH_SIZE];
    strcpy(buf, in.c_str());
    return path_normalize(buf);
}

TEST(Path, NormalizeTable) {
    struct row {
        const char* in;
        const char* out;
    };
    const row rows[] = {
        // quotes and blanks around, backslashes, a doubled separator
        {"  \"\\tmp\\dir\\\\a.img\"  ", "/tmp/dir/a.img"},
        {"\t' x '\n", "x"},
        {"'a b'", "a b"},
        {"\"'/x'\"", "/x"},
        {"", ""},
        {"   ", ""},
        {"\"\"", ""},
        {"a//b\\\\c///", "a/b/c/"},
        {"//server//share", "/server/share"},
        // the file:// prefix, lower case only, also written with backslashes
        {"file:///tmp/a.img", "/tmp/a.img"},
        {"  \"file:///tmp//x//in.img\" ", "/tmp/x/in.img"},
        {"file:\\\\\\tmp\\a.img", "/tmp/a.img"},
        {"file://rel/x", "rel/x"},
        {"file://", ""},
        {"FILE:///tmp/a.img", "FILE:/tmp/a.img"},
        {"File:///tmp/a.img", "File:/tmp/a.img"},
        {"xfile:///a", "xfile:/a"},
        {"c:\\dir\\a.img", "c:/dir/a.img"},
    };
    for (const auto& r : rows) EXPECT_EQ(normalized(r.in), r.out) << "[" << r.in << "]";
}

// Names in UTF-8 (and any byte from 0x80): the trims stop at such a byte, so
// it and the blanks before it stay; nothing reads a high byte as a signed
// negative value (the sanitizers would catch an out-of-range lookup).
TEST(Path, NormalizeKeepsHighBytes) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"  \"/d/\xC3\xA9t\xC3\xA9.img\"  ", "/d/\xC3\xA9t\xC3\xA9.img"},
        {"\xC3\xA9  ", "\xC3\xA9"},
        {"  \xC3\xA9", "\xC3\xA9"},
        {"ab \xC3", "ab \xC3"},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {"\x85 /a \x85", "\x85 /a \x85"},
        {"\xFF\\\\\xFF", "\xFF/\xFF"},
    };
    for (const auto& r : rows) EXPECT_EQ(normalized(r.in), r.out) << r.in;
    // Every byte value passes through without trouble.
    char all[256];
    for (int i = 1; i < 256; ++i) all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    std::string s = normalized(all);
    EXPECT_EQ(s.back(), '\xFF');
    EXPECT_EQ(s.find('\\'), std::string::npos);
}

TEST(Path, NormalizeCopy) {
    char buf[16];
    EXPECT_STREQ(path_normalize_copy(" 'a\\\\b' ", buf, sizeof buf), "a/b");
    log_capture cap;
    const std::string longer(PATH_SIZE + 10, 'x');
    char big[PATH_SIZE];
    EXPECT_EQ(path_normalize_copy(longer.c_str(), big, sizeof big), nullptr);
    EXPECT_STREQ(big, "");
    EXPECT_TRUE(cap.contains("need_size=4107 buf_size=4096"));
}

TEST(Path, SetSep) {
    char a[] = "a/b//c\\\\d";
    EXPECT_STREQ(path_set_sep(a, '\\'), "a\\b\\c\\d");
    char b[] = "\\\\a\\b";
    EXPECT_STREQ(path_to_slash(b), "/a/b");
    uint32_t w[] = {'/', '/', 'a', '\\', '/', 'b', 0};
    EXPECT_EQ(path_wide_to_backslash(w), 1);
    const uint32_t want[] = {'\\', 'a', '\\', 'b', 0};
    EXPECT_EQ(memcmp(w, want, sizeof want), 0);
}

TEST(Path, NameAndCut) {
    const struct {
        const char* in;
        const char* name;
        const char* cut;
    } rows[] = {
        {"/a/b.img", "b.img", "/a/"},
        {"b.img", "b.img", "b.img"},
        {"/a/", "", "/a/"},
        {"c:\\x\\y.raw", "y.raw", "c:\\x\\"},
        {"/a\\b/c", "c", "/a\\b/"},
        {"/", "", "/"},
        {"", "", ""},
    };
    for (const auto& r : rows) {
        EXPECT_STREQ(path_get_name(r.in), r.name) << r.in;
        char buf[64];
        strcpy(buf, r.in);
        EXPECT_STREQ(path_cut_name(buf), r.cut) << r.in;
    }
}

TEST(Path, IsAbsolute) {
    const struct {
        const char* in;
        int abs;
    } rows[] = {
        {"~/x", 1},     {"/x", 1},        {"\\x", 1},       {"c:x", 1},  {"Z:\\x", 1}, {"kxp://h/x", 1},
        {"a:\\\\b", 1}, {"x/y", 0},       {"1:x", 0},       {"", 0},     {"x", 0},     {"ab:/y", 0},
        {"\xC3:x", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(path_is_absolute(r.in), r.abs) << r.in;
    log_capture cap;
    EXPECT_EQ(path_is_absolute(nullptr), 0);
    EXPECT_TRUE(cap.contains("expr[path]: assert failed"));
}

TEST(Path, SameAndSameDir) {
    const struct {
        const char* a;
        const char* b;
        int same;
        int same_dir;
    } rows[] = {
        {"/a//b/x", "/a/b/y", 0, 1},
        {"/a/b/x", "\"\\a\\b\\x\"", 1, 1},
        {"file:///a//b", "/a/b", 1, 1},
        {"/a/x", "/b/x", 0, 0},
        // bare names lie in the same (current) directory
        {"a", "b", 0, 1},
        {"a", "/a", 0, 0},
        {"x/", "x", 0, 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(path_is_same(r.a, r.b), r.same) << r.a << " " << r.b;
        EXPECT_EQ(path_is_same_dir(r.a, r.b), r.same_dir) << r.a << " " << r.b;
    }
}

TEST(Path, IsRoot) {
    for (const char* p : {"/", "\\", "//", "\\\\\\", "\\\\.\\", "//?/"}) EXPECT_EQ(path_is_root(p), 1) << p;
    for (const char* p : {"", "/a", "\\\\x\\", "////"}) EXPECT_EQ(path_is_root(p), 0) << p;
}

TEST(Path, Quote) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"a b", "\"a b\""}, {"a\tb", "\"a\tb\""}, {"a;b", "\"a;b\""}, {"ab", "ab"},
        {"", "\"\""},       {"\"a b\"", "\"a b\""},
    };
    for (const auto& r : rows) {
        char buf[PATH_SIZE];
        strcpy(buf, r.in);
        EXPECT_STREQ(path_quote(buf), r.out) << r.in;
    }
    // No room for the quotes: nothing changes.
    char small[6] = "a b c";
    EXPECT_EQ(path_quote(small, sizeof small), nullptr);
    EXPECT_STREQ(small, "a b c");
    char fits[8] = "a b c";
    EXPECT_STREQ(path_quote(fits, sizeof fits), "\"a b c\"");
}

TEST(Path, Realpath) {
    temp_dir dir;
    write_file(dir.file("f"), "x");
    char buf[PATH_SIZE];
    std::string odd = dir.path + "//./f";
    char base[PATH_SIZE];
    ASSERT_NE(path_realpath(dir.path.c_str(), base), nullptr);
    ASSERT_NE(path_realpath(odd.c_str(), buf), nullptr);
    EXPECT_EQ(std::string(buf), std::string(base) + "/f");
    EXPECT_EQ(path_realpath((dir.path + "/missing").c_str(), buf), nullptr);
}

}  // namespace
