// Reading and changing a configuration in memory: sections and keys, int
// values, path forms, numbered lists, maps, storage order.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "conf_test_util.h"
#include "libpal/string/str_map.h"
#include "support/log_capture.h"

namespace {

class ConfOps : public ::testing::Test {
protected:
    temp_dir dir;
    conf_handle c{load_text(dir, "t.ini",
                            "[a]\nx=1\ny=2\n"
                            "[ab]\nz=3\n"
                            "[Net]\nhost=big\n"
                            "[net]\nhost=small\n"
                            "[ints]\nplain=12\nmixed=12abc\nletters=abc\nneg=-7\nhuge=99999999999\nnf=NOT_FOUND\n"
                            "[session/one]\nu=1\n[session/two]\nu=2\n[sessions]\nu=3\n")};

    std::string text_after_save() {
        EXPECT_EQ(conf_save(c.h), 0);
        return read_file(dir.file("t.ini"));
    }
};

TEST_F(ConfOps, SectionsAndKeysKeepTheirCase) {
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.get("Net", "host"), "big");
    EXPECT_STREQ(c.get("net", "host"), "small");
    EXPECT_STREQ(c.get("NET", "host"), "<absent>");
    EXPECT_EQ(conf_section_exist(c.h, "Net"), 1);
    EXPECT_EQ(conf_section_exist(c.h, "NET"), 0);
    EXPECT_EQ(conf_key_exist(c.h, "a", "x"), 1);
    EXPECT_EQ(conf_key_exist(c.h, "a", "X"), 0);
    ASSERT_EQ(conf_set_string(c.h, "a", "X", "upper"), 0);
    EXPECT_STREQ(c.get("a", "x"), "1");
    EXPECT_STREQ(c.get("a", "X"), "upper");
}

TEST_F(ConfOps, DeletingASectionKeepsSectionsThatShareItsPrefix) {
    ASSERT_TRUE(c);
    EXPECT_EQ(conf_del_section(c.h, "a"), 0);
    EXPECT_EQ(conf_section_exist(c.h, "a"), 0);
    EXPECT_STREQ(c.get("a", "x"), "<absent>");
    EXPECT_STREQ(c.get("ab", "z"), "3");
    EXPECT_EQ(conf_del_section(c.h, "a"), -2);
    EXPECT_EQ(conf_unset_key(c.h, "ab", "z"), 0);
    EXPECT_EQ(conf_unset_key(c.h, "ab", "z"), -1);
    EXPECT_EQ(conf_section_exist(c.h, "ab"), 1);  // an emptied section stays
}

TEST_F(ConfOps, RenamingSections) {
    ASSERT_TRUE(c);
    {
        log_capture cap;
        EXPECT_EQ(conf_rename_section(c.h, "a", "ab"), -1);
        EXPECT_TRUE(cap.contains("nsec=ab exist error"));
    }
    EXPECT_STREQ(c.get("a", "x"), "1");
    EXPECT_STREQ(c.get("ab", "z"), "3");
    EXPECT_EQ(conf_rename_section(c.h, "missing", "other"), -2);
    EXPECT_EQ(conf_section_exist(c.h, "other"), 0);

    EXPECT_EQ(conf_rename_section(c.h, "a", "renamed"), 0);
    EXPECT_STREQ(c.get("renamed", "x"), "1");
    EXPECT_STREQ(c.get("renamed", "y"), "2");
    EXPECT_STREQ(c.get("a", "x"), "<absent>");
    EXPECT_STREQ(c.get("ab", "z"), "3");  // not a key of "a"
    // The section keeps its place in the file.
    EXPECT_EQ(take(conf_get_sections(c.h))[0], "renamed");
    EXPECT_EQ(take(conf_get_keys(c.h, "renamed")), (std::vector<std::string>{"x", "y"}));
}

TEST_F(ConfOps, RenamingKeys) {
    ASSERT_TRUE(c);
    EXPECT_EQ(conf_rename_key(c.h, "a", "x", "y"), -1);  // y exists
    EXPECT_EQ(conf_rename_key(c.h, "a", "nope", "w"), -1);
    EXPECT_STREQ(c.get("a", "x"), "1");
    EXPECT_EQ(conf_rename_key(c.h, "a", "x", "w"), 0);
    EXPECT_STREQ(c.get("a", "w"), "1");
    EXPECT_STREQ(c.get("a", "x"), "<absent>");
    EXPECT_EQ(take(conf_get_keys(c.h, "a")), (std::vector<std::string>{"w", "y"}));
}

TEST_F(ConfOps, IntValues) {
    ASSERT_TRUE(c);
    struct row {
        const char* key;
        int32_t expect;
    };
    const row rows[] = {
        {"plain", 12}, {"mixed", 12}, {"letters", 0}, {"neg", -7}, {"huge", INT32_MAX}, {"nf", 42}, {"absent", 42},
    };
    for (const row& r : rows) EXPECT_EQ(conf_get_int(c.h, "ints", r.key, 42), r.expect) << r.key;
    ASSERT_EQ(conf_set_int(c.h, "ints", "set", -123), 0);
    EXPECT_STREQ(c.get("ints", "set"), "-123");
    EXPECT_EQ(conf_get_int(c.h, "nosection", "plain", 5), 5);
}

TEST_F(ConfOps, PathForms) {
    ASSERT_TRUE(c);
    EXPECT_STREQ(conf_get_string_path(c.h, "a\tx", "d"), "1");
    EXPECT_STREQ(conf_get_string_path(c.h, "a:y", "d"), "2");
    EXPECT_STREQ(conf_get_string_path(c.h, "no separator", "d"), "d");
    EXPECT_EQ(conf_get_int_path(c.h, "ints:plain", 0), 12);
    // The first TAB splits, before any colon.
    ASSERT_EQ(conf_set_string_path(c.h, "session/x:1\tport", "80"), 0);
    EXPECT_STREQ(c.get("session/x:1", "port"), "80");
    ASSERT_EQ(conf_set_int_path(c.h, "b:n", 7), 0);
    EXPECT_STREQ(c.get("b", "n"), "7");
    EXPECT_EQ(conf_set_string_path(c.h, "nothing", "v"), -1);
    std::string long_section(8192, 's');
    EXPECT_STREQ(conf_get_string_path(c.h, (long_section + ":k").c_str(), "d"), "d");
}

TEST_F(ConfOps, SectionsMatchingAPattern) {
    ASSERT_TRUE(c);
    EXPECT_EQ(take(conf_get_sections_match(c.h, "session/*")), (std::vector<std::string>{"session/one", "session/two"}));
    EXPECT_EQ(take(conf_get_sections_match(c.h, "a|ab")), (std::vector<std::string>{"a", "ab"}));
    EXPECT_EQ(take(conf_get_sections_match(c.h, "zzz*")), std::vector<std::string>{});
}

TEST_F(ConfOps, SetRefusesWhatAFileCannotHold) {
    ASSERT_TRUE(c);
    struct row {
        const char* section;
        const char* key;
        const char* value;
    };
    const row rows[] = {
        {"a", "k", "two\nlines"}, {"a", "k", "cr\r"},     {"a", "", "v"},       {"a", "k=j", "v"},
        {"a", " k", "v"},         {"a", "k ", "v"},       {"a", "#k", "v"},     {"a", ";k", "v"},
        {"a", "[k", "v"},         {"a", "k\n", "v"},      {"s]x", "k", "v"},    {"s\nx", "k", "v"},
        {"s\tx", "k", "v"},       {" s", "k", "v"},       {"a", nullptr, "v"},  {nullptr, "k", "v"},
        {"a", "k", nullptr},
    };
    std::string before = text_after_save();
    log_capture cap;
    for (const row& r : rows) {
        EXPECT_EQ(conf_set_string(c.h, r.section, r.key, r.value), -1)
            << (r.section ? r.section : "null") << "/" << (r.key ? r.key : "null");
    }
    EXPECT_EQ(text_after_save(), before);
    EXPECT_EQ(conf_rename_section(c.h, "a", "new]name"), -1);
    EXPECT_EQ(conf_rename_section(c.h, "a", ""), -1);
    EXPECT_EQ(conf_rename_key(c.h, "a", "x", "bad=key"), -1);
    EXPECT_EQ(text_after_save(), before);
}

TEST_F(ConfOps, NumberedLists) {
    ASSERT_TRUE(c);
    EXPECT_EQ(take(conf_get_list(c.h, "plugins")), std::vector<std::string>{});
    for (const char* v : {"p1", "p2", "p1", "p3", "p2"}) ASSERT_EQ(conf_list_add(c.h, "plugins", v), 0);
    EXPECT_EQ(take(conf_get_list(c.h, "plugins")), (std::vector<std::string>{"p1", "p2", "p3"}));
    EXPECT_EQ(take(conf_get_keys(c.h, "plugins")), (std::vector<std::string>{"0", "1", "2"}));

    // A list with repeated values and a gap: deleting leaves exactly the rest.
    ASSERT_EQ(conf_set_string(c.h, "l", "0", "x"), 0);
    ASSERT_EQ(conf_set_string(c.h, "l", "1", "y"), 0);
    ASSERT_EQ(conf_set_string(c.h, "l", "name", "not listed"), 0);
    ASSERT_EQ(conf_set_string(c.h, "l", "2", "x"), 0);
    ASSERT_EQ(conf_set_string(c.h, "l", "5", "z"), 0);
    EXPECT_EQ(take(conf_get_list(c.h, "l")), (std::vector<std::string>{"x", "y", "x", "z"}));
    ASSERT_EQ(conf_list_del(c.h, "l", "x"), 0);
    EXPECT_EQ(take(conf_get_list(c.h, "l")), (std::vector<std::string>{"y", "z"}));
    EXPECT_EQ(take(conf_get_keys(c.h, "l")), (std::vector<std::string>{"name", "0", "1"}));
    EXPECT_EQ(conf_list_del(c.h, "l", "absent"), 0);
    EXPECT_EQ(take(conf_get_list(c.h, "l")), (std::vector<std::string>{"y", "z"}));

    ASSERT_EQ(conf_list_clear(c.h, "l"), 0);
    EXPECT_EQ(take(conf_get_keys(c.h, "l")), std::vector<std::string>{"name"});
}

TEST_F(ConfOps, Maps) {
    ASSERT_TRUE(c);
    str_map* m = conf_get_map(c.h, "a");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->count, 2u);
    EXPECT_STREQ(str_map_find(m, "x"), "1");
    EXPECT_STREQ(str_map_find(m, "y"), "2");
    str_map_free(m);
}

TEST_F(ConfOps, NewEntriesGoAfterOlderOnesAfterRemovals) {
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_unset_key(c.h, "a", "x"), 0);
    ASSERT_EQ(conf_set_string(c.h, "a", "new", "n"), 0);
    ASSERT_EQ(conf_set_string(c.h, "a", "x", "again"), 0);
    EXPECT_EQ(take(conf_get_keys(c.h, "a")), (std::vector<std::string>{"y", "new", "x"}));
    ASSERT_EQ(conf_del_section(c.h, "Net"), 0);
    ASSERT_EQ(conf_set_string(c.h, "Net", "host", "back"), 0);
    EXPECT_EQ(take(conf_get_sections(c.h)).back(), "Net");
    // Replacing a value keeps the key's place.
    ASSERT_EQ(conf_set_string(c.h, "a", "y", "changed"), 0);
    EXPECT_EQ(take(conf_get_keys(c.h, "a")), (std::vector<std::string>{"y", "new", "x"}));
}

TEST(ConfMany, ThreeHundredKeysStayReadableAndInOrder) {
    temp_dir dir;
    std::vector<std::string> keys;
    {
        conf_handle c(conf_create_load(dir.file("many.ini").c_str()));
        ASSERT_TRUE(c);
        for (int i = 0; i < 300; i++) {
            std::string s = "sec" + std::to_string(i % 7), k = "key" + std::to_string(299 - i);
            ASSERT_EQ(conf_set_string(c.h, s.c_str(), k.c_str(), std::to_string(i).c_str()), 0);
        }
        for (int i = 0; i < 300; i++) {
            std::string s = "sec" + std::to_string(i % 7), k = "key" + std::to_string(299 - i);
            ASSERT_STREQ(c.get(s.c_str(), k.c_str()), std::to_string(i).c_str());
        }
        keys = take(conf_get_keys(c.h, "sec3"));
        ASSERT_EQ(keys.size(), 43u);
        ASSERT_EQ(conf_save(c.h), 0);
    }
    conf_handle c(conf_load(dir.file("many.ini").c_str()));
    ASSERT_TRUE(c);
    EXPECT_EQ(take(conf_get_keys(c.h, "sec3")), keys);
    EXPECT_EQ(take(conf_get_sections(c.h)),
              (std::vector<std::string>{"sec0", "sec1", "sec2", "sec3", "sec4", "sec5", "sec6"}));
    for (int i = 0; i < 300; i++) {
        std::string s = "sec" + std::to_string(i % 7), k = "key" + std::to_string(299 - i);
        EXPECT_EQ(conf_get_int(c.h, s.c_str(), k.c_str(), -1), i);
    }
}

TEST(ConfRead, ReadStringCopiesTheValueOrTheDefault) {
    temp_dir dir;
    write_file(dir.file("r.ini"), "[s]\nk=a long value\n");
    char buf[7];
    EXPECT_EQ(conf_read_string(dir.file("r.ini").c_str(), "s:k", "def", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "a long");
    EXPECT_EQ(conf_read_string(dir.file("r.ini").c_str(), "s:missing", "def", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(conf_read_string(dir.file("none.ini").c_str(), "s:k", "def", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "def");
}

TEST(ConfNull, AbsentHandleGivesDefaults) {
    EXPECT_STREQ(conf_get_string(nullptr, "s", "k", "d"), "d");
    EXPECT_EQ(conf_get_int(nullptr, "s", "k", 3), 3);
    EXPECT_EQ(conf_set_string(nullptr, "s", "k", "v"), -1);
    EXPECT_EQ(conf_save(nullptr), -1);
    EXPECT_EQ(conf_get_sections(nullptr), nullptr);
    EXPECT_EQ(conf_get_list(nullptr, "s"), nullptr);
    EXPECT_EQ(conf_close(nullptr), 0);
}

}  // namespace
