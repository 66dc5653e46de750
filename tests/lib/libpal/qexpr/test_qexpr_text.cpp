// Text forms: the dump, its CRC, the normal form, and texts that read back
// as the same rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/hash/crc.h"
#include "qexpr_fixture.h"
#include "support/log_capture.h"

using namespace qexpr_test;

TEST(QexprText, DumpLayout) {
    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and\n"
                     "~ !tag == a\n"
                     "level<=3\n"
                     "msg match \"a b\"\n"
                     "!func startswith dd_\n"
                     "~@ include '/tmp/x y'\n"
                     "@ rule_mode \"and\"\n"),
              "");
    EXPECT_EQ(s.dump(),
              "# rule_mode=and\n"
              "#main----------------------\n"
              "@ rule_mode and\n"
              "~ ! tag == a\n"
              " level <= 3\n"
              " msg match \"a b\"\n"
              "! func startswith dd_\n"
              "~ @ include '/tmp/x y'\n"
              "@ rule_mode and\n"
              "#end-----------------------\n");
    rule_set empty;
    EXPECT_EQ(empty.dump(), "# rule_mode=or\n#main----------------------\n#end-----------------------\n");
}

TEST(QexprText, DumpWithoutRuleSetIsAFailedCheck) {
    log_capture cap;
    EXPECT_EQ(qexpr_dump_rules_str(nullptr), nullptr);
    EXPECT_EQ(qexpr_dump_main_rules(nullptr), nullptr);
    EXPECT_EQ(qexpr_rules_crc(nullptr), 0u);
    EXPECT_TRUE(cap.contains("expr[h!=NULL]: assert failed")) << cap.all();
}

TEST(QexprText, CrcIsTheCrc64OfTheDump) {
    rule_set s;
    ASSERT_EQ(s.load("level <= 3; tag find net"), "");
    const std::string d = s.dump();
    const uint64_t crc = qexpr_rules_crc(s.h);
    EXPECT_EQ(crc, hash_crc64(d.data(), d.size(), 0));
    ASSERT_EQ(s.load("level <= 3\ntag find net\n# same rules, other text"), "");
    EXPECT_EQ(qexpr_rules_crc(s.h), crc);
    ASSERT_EQ(s.load("level <= 4; tag find net"), "");
    EXPECT_NE(qexpr_rules_crc(s.h), crc);
    qexpr_set_rule_mode(s.h, QEXPR_MODE_AND);
    ASSERT_EQ(s.load("level <= 3; tag find net"), "");
    EXPECT_NE(qexpr_rules_crc(s.h), crc) << "the mode is part of the dump";
}

TEST(QexprText, DumpReadsBackAsTheSameRules) {
    setenv("QEXPR_RT", "expanded", 1);
    const char* texts[] = {
        "@rule_mode and\n~ !tag == a\nlevel<=3\nmsg match \"a b\"\n~@ include '/tmp/x y'\n",
        "msg == \"back\\\\slash and space\"\n",           // backslash inside double quotes
        "msg == 'single \\d quoted'\n",                   // backslash from single quotes
        "msg == \"\"\nmsg == ';'\nmsg == 'a#b'\n",       // empty, ";" and "#" values
        "msg == '\"lead'\nmsg == \"'lead\"\n",           // leading quote characters
        "msg match 'err$'\nmsg == '$QEXPR_RT'\n",        // "$" that must not expand again
        "msg == $QEXPR_RT\nmsg == \"two\\nlines\"\n",
        "msg == '\"q\" x'\n~@include '\"q\";'\n",    // double quotes inside values
        "msg == \"a\\042b'c d\"\n~@include \"x\\042y'z w\"\n",  // both quote characters and a blank
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        rule_set a;
        ASSERT_EQ(a.load(text), "");
        rule_set b;
        ASSERT_EQ(b.load(a.dump()), "") << a.dump();
        EXPECT_EQ(b.dump(), a.dump());
        EXPECT_EQ(qexpr_rules_crc(b.h), qexpr_rules_crc(a.h));
    }
    // The values themselves survive.
    rule_set s;
    ASSERT_EQ(s.load("msg == \"back\\\\slash and space\"\nmsg match 'err$'\nmsg == \"\""), "");
    rule_set t;
    ASSERT_EQ(t.load(s.dump()), "");
    log_rec r;
    r.msg = "back\\slash and space";
    EXPECT_EQ(t.drop(r), 0);
    r.msg = "an err";
    EXPECT_EQ(t.drop(r), 0);
    r.msg = "";
    EXPECT_EQ(t.drop(r), 0);
    r.msg = "err: none";
    EXPECT_EQ(t.drop(r), 1);
    unsetenv("QEXPR_RT");
}

TEST(QexprText, NormalForm) {
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(take(qexpr_format_text("@rule_mode and;level<=3 # c\n'comment'~!tag find \"a b\";@include x", err)),
              "@ rule_mode \"and\"\n level <= 3\n~ ! tag find \"a b\"\n@ include \"x\"\n");
    // "$" references stay for later expansion; single-quoted ones stay unexpanded.
    EXPECT_EQ(take(qexpr_format_text("msg == $HOME\nmsg == '$HOME'", err)), " msg == $HOME\n msg == '$HOME'\n");
    EXPECT_EQ(take(qexpr_format_text("", err)), "");
    EXPECT_EQ(qexpr_format_text("level <=", err), nullptr);
    EXPECT_STREQ(err, "1:0 mode=7 Incomplete expression error");
    // The normal form reads back as itself.
    const std::string once = take(qexpr_format_text("a==1;!b find 'x y';@include '/p q'", err));
    EXPECT_EQ(take(qexpr_format_text(once.c_str(), err)), once);
    // A value holding both quote characters: the double quote goes as an octal
    // escape of three digits, so a digit after it is not taken into it.
    const std::string both = take(qexpr_format_text("msg == a\"b'c;@include d\"1'f", err));
    EXPECT_EQ(both, " msg == a\"b'c\n@ include \"d\\0421'f\"\n");
    EXPECT_EQ(take(qexpr_format_text(both.c_str(), err)), both);
}
