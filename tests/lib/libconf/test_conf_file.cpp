// Loading and saving ini files: comments, quoting, sections, byte-order
// mark, long and continued lines, syntax errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf_test_util.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"

namespace {

// A real-looking file: a byte-order mark, comments before keys and
// sections, keys before any section, quoted values, inline comments, empty
// values and sections, sections differing only in case, a tail comment.
const std::string k_source = std::string(k_bom) +
                             "; written by hand\n"
                             "top=1\n"
                             "name = \"quoted ; value\"   \n"
                             "\n"
                             "# the network\n"
                             "[Net]\n"
                             "host = example.org   ; where to go\n"
                             "  ; indented comment\n"
                             "port=8080\n"
                             "empty=\n"
                             "semi=;\n"
                             "blank = ''\n"
                             "dq = \"\"\n"
                             "sq = 'a # b'\n"
                             "path = C:\\dir\\sub\n"
                             "Key=upper\n"
                             "key=lower\n"
                             "\n"
                             "[net]\n"
                             "host=lower\n"
                             "\n"
                             "[empty]\n"
                             "\n"
                             "; the end\n";

// What a save of it writes.
const std::string k_saved = std::string(k_bom) +
                            "; written by hand\n"
                            "top=1\n"
                            "name=\"quoted ; value\"\n"
                            "\n"
                            "# the network\n"
                            "[Net]\n"
                            "host=example.org\n"
                            "  ; indented comment\n"
                            "port=8080\n"
                            "empty=\n"
                            "semi=\n"
                            "blank=\n"
                            "dq=\n"
                            "sq=\"a # b\"\n"
                            "path=C:\\dir\\sub\n"
                            "Key=upper\n"
                            "key=lower\n"
                            "\n"
                            "[net]\n"
                            "host=lower\n"
                            "\n"
                            "[empty]\n"
                            "\n"
                            "; the end\n";

TEST(ConfFile, RealFileLoadsAndSavesLineByLine) {
    temp_dir dir;
    conf_handle c(load_text(dir, "client.ini", k_source));
    ASSERT_TRUE(c);

    struct row {
        const char* section;
        const char* key;
        const char* value;
    };
    const row rows[] = {
        {"", "top", "1"},
        {"", "name", "quoted ; value"},
        {"Net", "host", "example.org"},
        {"Net", "port", "8080"},
        {"Net", "empty", ""},
        {"Net", "semi", ""},
        {"Net", "blank", ""},
        {"Net", "dq", ""},
        {"Net", "sq", "a # b"},
        {"Net", "path", "C:\\dir\\sub"},
        {"Net", "Key", "upper"},
        {"Net", "key", "lower"},
        {"net", "host", "lower"},
        {"net", "port", "<absent>"},
        {"empty", "x", "<absent>"},
    };
    for (const row& r : rows) EXPECT_STREQ(c.get(r.section, r.key), r.value) << r.section << "/" << r.key;
    EXPECT_EQ(take(conf_get_sections(c.h)), (std::vector<std::string>{"Net", "net", "empty"}));
    EXPECT_EQ(take(conf_get_keys(c.h, "")), (std::vector<std::string>{"top", "name"}));
    EXPECT_EQ(take(conf_get_keys(c.h, "empty")), std::vector<std::string>{});

    ASSERT_EQ(conf_save(c.h), 0);
    std::string saved = read_file(dir.file("client.ini"));
    EXPECT_EQ(lines_of(saved), lines_of(k_saved));
    EXPECT_EQ(saved, k_saved);

    // The saved file reads back to the same values and saves to the same bytes.
    conf_handle again(conf_load(dir.file("client.ini").c_str()));
    ASSERT_TRUE(again);
    for (const row& r : rows) EXPECT_STREQ(again.get(r.section, r.key), r.value) << r.section << "/" << r.key;
    ASSERT_EQ(conf_save(again.h), 0);
    EXPECT_EQ(read_file(dir.file("client.ini")), k_saved);
}

TEST(ConfFile, ByteOrderMarkIsOptionalOnReadAndAlwaysWritten) {
    temp_dir dir;
    conf_handle with(load_text(dir, "a.ini", std::string(k_bom) + "[s]\nk=v\n"));
    conf_handle without(load_text(dir, "b.ini", "[s]\nk=v\n"));
    ASSERT_TRUE(with);
    ASSERT_TRUE(without);
    EXPECT_STREQ(with.get("s", "k"), "v");
    EXPECT_STREQ(without.get("s", "k"), "v");
    // The mark is not part of the first section's name.
    EXPECT_EQ(take(conf_get_sections(with.h)), std::vector<std::string>{"s"});
    ASSERT_EQ(conf_save(without.h), 0);
    EXPECT_EQ(read_file(dir.file("b.ini")), std::string(k_bom) + "[s]\nk=v\n\n");
}

TEST(ConfFile, KeysBeforeTheFirstSectionSurviveASave) {
    temp_dir dir;
    conf_handle c(load_text(dir, "a.ini", "# head\nversion=3\n[s]\nk=v\n"));
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_set_string(c.h, "", "added", "yes"), 0);
    ASSERT_EQ(conf_set_string(c.h, "s", "k2", "v2"), 0);
    ASSERT_EQ(conf_save(c.h), 0);
    EXPECT_EQ(read_file(dir.file("a.ini")),
              std::string(k_bom) + "# head\nversion=3\nadded=yes\n[s]\nk=v\nk2=v2\n\n");

    conf_handle again(conf_load(dir.file("a.ini").c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(again.get("", "version"), "3");
    EXPECT_STREQ(again.get("", "added"), "yes");
    // No section without a name appears.
    EXPECT_EQ(take(conf_get_sections(again.h)), std::vector<std::string>{"s"});
}

TEST(ConfFile, FileWithoutSectionsKeepsItsCommentsAndKeys) {
    temp_dir dir;
    conf_handle c(load_text(dir, "a.ini", "; one\na = 1\n\nb=2\n; tail\n"));
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_save(c.h), 0);
    EXPECT_EQ(read_file(dir.file("a.ini")), std::string(k_bom) + "; one\na=1\n\nb=2\n; tail\n");
}

TEST(ConfFile, ValuesComeBackAsTheyWereSet) {
    // Each would be cut, stripped, unquoted or joined with the next line if
    // it were written as it is.
    const char* values[] = {
        "a;b",        "a#b",       "#",          ";",       " lead",     "trail ",     "   ",
        "\"quoted\"", "'single'",  "ends\\",     "x\"y;z",  "mid\"dle",  "\"",         "'",
        "",           "plain",     "a=b=c",      "[x]",     "tab\there", "C:\\dir\\",  "\"a\" ; \"b\"",
    };
    temp_dir dir;
    {
        conf_handle c(conf_create_load(dir.file("v.ini").c_str()));
        ASSERT_TRUE(c);
        for (size_t i = 0; i < std::size(values); i++)
            ASSERT_EQ(conf_set_string(c.h, "v", std::to_string(i).c_str(), values[i]), 0) << values[i];
        ASSERT_EQ(conf_save(c.h), 0);
    }
    conf_handle c(conf_load(dir.file("v.ini").c_str()));
    ASSERT_TRUE(c) << read_file(dir.file("v.ini"));
    for (size_t i = 0; i < std::size(values); i++)
        EXPECT_STREQ(c.get("v", std::to_string(i).c_str()), values[i]) << "[" << values[i] << "]";
}

// A key line whose key starts with "[" and whose value ends with "]" (a
// comment after the value keeps it from reading as a section) is written
// so that it reads back as the same key, not as a section.
TEST(ConfFile, KeyLinesThatWouldWriteASectionLineComeBackAsKeys) {
    struct row {
        const char* line;
        const char* key;
        const char* value;
    };
    const row rows[] = {
        {"[=];", "[", "]"},
        {"[a = b] # note", "[a", "b]"},
        {"[x]=];", "[x]", "]"},
        {"[[=a=b];", "[[", "a=b]"},
    };
    for (const char* section : {"", "s"}) {
        SCOPED_TRACE(section);
        temp_dir dir;
        std::string text = *section ? std::string("[") + section + "]\n" : "";
        for (const row& r : rows) text += std::string(r.line) + "\n";
        const std::string path = dir.file("k.ini");
        {
            conf_handle c(load_text(dir, "k.ini", text));
            ASSERT_TRUE(c);
            ASSERT_EQ(conf_save(c.h), 0);
        }
        conf_handle c(conf_load(path.c_str()));
        ASSERT_TRUE(c) << read_file(path);
        for (const row& r : rows) EXPECT_STREQ(c.get(section, r.key), r.value) << r.line << "\n" << read_file(path);
        EXPECT_EQ(take(conf_get_sections(c.h)),
                  *section ? std::vector<std::string>{section} : std::vector<std::string>{});
    }
}

TEST(ConfFile, LongLinesLoadAndRoundTrip) {
    temp_dir dir;
    std::string at_limit(1022 - 2, 'a');  // "k=" + value: 1022 characters
    std::string longer(100000, 'b');
    conf_handle c(load_text(dir, "l.ini", "[s]\nk=" + at_limit + "\nlong=" + longer + "\nafter=1\n"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c.get("s", "k"), at_limit);
    EXPECT_EQ(c.get("s", "long"), longer);
    EXPECT_STREQ(c.get("s", "after"), "1");
    std::string huge(300000, 'c');
    ASSERT_EQ(conf_set_string(c.h, "s", "huge", huge.c_str()), 0);
    ASSERT_EQ(conf_save(c.h), 0);
    conf_handle again(conf_load(dir.file("l.ini").c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(again.get("s", "long"), longer);
    EXPECT_EQ(again.get("s", "huge"), huge);
}

TEST(ConfFile, ContinuationLinesAreJoined) {
    temp_dir dir;
    conf_handle c(load_text(dir, "c.ini",
                            "[s]\n"
                            "k = abc\\\n"
                            "   def\n"
                            "two = 1\\  \n"
                            "2\\\n"
                            "3\n"
                            "last = end\\"));
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.get("s", "k"), "abc   def");
    EXPECT_STREQ(c.get("s", "two"), "123");
    // A backslash on the very last line has nothing to join.
    EXPECT_STREQ(c.get("s", "last"), "end\\");
}

TEST(ConfFile, AZeroByteEndsItsLine) {
    using namespace std::string_literals;
    temp_dir dir;
    conf_handle c(load_text(dir, "z.ini", "\0junk=1\n[s]\0x\nk=v\0=w\nj=2\n"s));
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.get("", "junk"), "<absent>");
    EXPECT_STREQ(c.get("s", "k"), "v");
    EXPECT_STREQ(c.get("s", "j"), "2");
    // What is left reads back after a save.
    ASSERT_EQ(conf_save(c.h), 0);
    conf_handle again(conf_load(dir.file("z.ini").c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(read_file(dir.file("z.ini")), std::string(k_bom) + "\n[s]\nk=v\nj=2\n\n");
    // A key line cut before its "=" is malformed.
    log_capture cap;
    EXPECT_EQ(load_text(dir, "bad.ini", "[s]\nkey\0=1\n"s), nullptr);
}

TEST(ConfFile, CrLfLinesAndBlanksAroundNames) {
    temp_dir dir;
    conf_handle c(load_text(dir, "w.ini", "[ spaced ]\r\n  key  =  value  \r\n\r\n"));
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.get("spaced", "key"), "value");
}

TEST(ConfFile, OneMalformedLineFailsTheLoad) {
    struct row {
        const char* text;
        const char* bad_line;
    };
    const row rows[] = {
        {"[s]\nok=1\nno equals sign\nok2=2\n", "no equals sign"},
        {"[s]\n= no key\n", "= no key"},
        {"[s]\n[half\n", "[half"},
        {"[a\tb]\nk=v\n", "[a\tb]"},
    };
    temp_dir dir;
    for (const row& r : rows) {
        log_capture cap;
        EXPECT_EQ(load_text(dir, "bad.ini", r.text), nullptr) << r.text;
        EXPECT_TRUE(cap.contains(std::string("iniparser: syntax error in ") + dir.file("bad.ini")))
            << cap.all();
        EXPECT_TRUE(cap.contains(std::string("-> ") + r.bad_line)) << cap.all();
    }
}

TEST(ConfFile, DuplicatesKeepTheLastValueAndEveryComment) {
    temp_dir dir;
    conf_handle c(load_text(dir, "d.ini", "[s]\nk=1\n# second\nk=2\n[t]\n; again\n[s]\nj=3\n"));
    ASSERT_TRUE(c);
    EXPECT_STREQ(c.get("s", "k"), "2");
    EXPECT_STREQ(c.get("s", "j"), "3");
    ASSERT_EQ(conf_save(c.h), 0);
    // A comment before a repeated key or section goes with the next new entry.
    EXPECT_EQ(read_file(dir.file("d.ini")), std::string(k_bom) + "[s]\nk=2\n; again\nj=3\n# second\n[t]\n\n");
}

TEST(ConfFile, LoadFailures) {
    temp_dir dir;
    write_file(dir.file("a.txt"), "[s]\nk=v\n");
    mkdir(dir.file("d.ini").c_str(), 0700);
    std::vector<std::string> paths = {dir.file("missing.ini"), dir.file("a.txt"), dir.file("d.ini"), dir.file("ini")};
    fd_capture err;
    for (const std::string& p : paths) EXPECT_EQ(conf_load(p.c_str()), nullptr) << p;
    EXPECT_EQ(conf_load(nullptr), nullptr);
    (void)err.text();
    // Nothing was created by a plain load.
    EXPECT_NE(access(dir.file("missing.ini").c_str(), F_OK), 0);
}

TEST(ConfFile, ProbeTakesIniAndKxiInAnyCase) {
    temp_dir dir;
    for (const char* name : {"a.ini", "b.INI", "c.kxi", "d.KxI"}) {
        conf_handle c(load_text(dir, name, "[s]\nk=v\n"));
        EXPECT_TRUE(c) << name;
    }
}

TEST(ConfFile, DumpWritesTheTextToStandardOutputAndNothingElseDoes) {
    temp_dir dir;
    fd_capture out(1);
    {
        log_capture cap;
        conf_handle c(load_text(dir, "a.ini", "; c\n[s]\nk=a;b\n"));
        ASSERT_TRUE(c);
        EXPECT_EQ(load_text(dir, "bad.ini", "[s]\nbad\n"), nullptr);
        conf_set_string(c.h, "t", "x", "1");
        conf_set_string(c.h, "t", "bad=key", "1");
        conf_rename_section(c.h, "s", "t");
        ASSERT_EQ(conf_save(c.h), 0);
        ASSERT_EQ(conf_dump(c.h), 0);
    }
    EXPECT_EQ(out.text(), "; c\n[s]\nk=a\n\n[t]\nx=1\n\n");
}

TEST(ConfFile, CreateLoadMakesAPrivateEmptyFile) {
    temp_dir dir;
    std::string p = dir.file("new.kxi");
    conf_handle c(conf_create_load(p.c_str()));
    ASSERT_TRUE(c);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(take(conf_get_sections(c.h)), std::vector<std::string>{});
}

}  // namespace
