// The rule-text parser: which texts are statements, the exact error texts
// with their line and column, the length limits and hostile inputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qexpr_fixture.h"

using namespace qexpr_test;

namespace {

// Every statement the parser hands on, as one line "used kind name op value expand".
std::string statements(const std::string& text, std::string* err_out = nullptr) {
    std::string out;
    auto cb = [](void* arg, int used, const char* var, int opcode, const char* value, int expand, int kind) {
        auto* o = static_cast<std::string*>(arg);
        const char* op = kind == QEXPR_KIND_CMD ? "-" : qexpr_op_text(opcode);
        *o += std::to_string(used) + " " + std::to_string(kind) + " " + var + " " + (op ? op : "?") + " [" +
              value + "] " + std::to_string(expand) + "\n";
        return 0;
    };
    char err[QEXPR_ERR_SIZE] = "";
    int r = qexpr_parse(text.c_str(), err, cb, &out);
    if (err_out) *err_out = err;
    return r == 0 ? out : "error";
}

}  // namespace

TEST(QexprParse, StatementsAndTheirParts) {
    struct row {
        const char* text;
        const char* parsed;
    };
    const row rows[] = {
        {"", ""},
        {"level <= 3", "1 0 level <= [3] 1\n"},
        {"level<=3", "1 0 level <= [3] 1\n"},
        {"level<3", "1 0 level < [3] 1\n"},
        {"tag==dd", "1 0 tag == [dd] 1\n"},
        {"level != 3", "1 0 level != [3] 1\n"},
        {"level!= 3", "1 0 level != [3] 1\n"},
        {"tag !find x", "1 0 tag !find [x] 1\n"},
        {"  \t tag find x  \t ", "1 0 tag find [x] 1\n"},
        {"!tag == a", "1 1 tag == [a] 1\n"},
        {"! \ttag == a", "1 1 tag == [a] 1\n"},
        {"~tag == a", "0 0 tag == [a] 1\n"},
        {"~ ! tag == a", "0 1 tag == [a] 1\n"},
        {"~@ rule_mode and", "0 2 rule_mode - [and] 0\n"},
        {"@rule_mode or", "1 2 rule_mode - [or] 0\n"},
        {"@ include \"/tmp/a b\"", "1 2 include - [/tmp/a b] 0\n"},
        {"_x.y@z-1 == v", "1 0 _x.y@z-1 == [v] 1\n"},
        {"lev\rel == 1", "1 0 level == [1] 1\n"},
        {"level\t<= 3", "1 0 level <= [3] 1\n"},
        {"a == 1;b == 2\nc == 3", "1 0 a == [1] 1\n1 0 b == [2] 1\n1 0 c == [3] 1\n"},
        {"a == 1\r\nb == 2\r\n", "1 0 a == [1] 1\n1 0 b == [2] 1\n"},
        {"a == 1 ; b == 2 ;", "1 0 a == [1] 1\n1 0 b == [2] 1\n"},
        {"# note\na == 1 # note\nb == 2#x", "1 0 a == [1] 1\n1 0 b == [2] 1\n"},
        {"# note; a == 1", "1 0 a == [1] 1\n"},
        {"'one\ntwo; a == 0' a == 1", "1 0 a == [1] 1\n"},
        {"msg == \"a b\tc\"", "1 0 msg == [a b\tc] 1\n"},
        {"msg == \"tab\\there\"", "1 0 msg == [tab\there] 1\n"},
        {"msg == \"q\\\"q\"", "error"},  // a double-quoted value ends at the next double quote
        {"msg == '  a b '", "1 0 msg == [a b ] 0\n"},
        {"msg == 'x\\ty'", "1 0 msg == [x\\ty] 0\n"},
        {"msg == a\\tb", "1 0 msg == [a\\tb] 1\n"},
        {"msg == \"two\nlines\"", "1 0 msg == [two\nlines] 1\n"},
        {"msg == ;", "1 0 msg == [] 1\n"},
        {"msg == 'x'#c", "1 0 msg == [x] 0\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(statements(r.text), r.parsed);
    }
}

TEST(QexprParse, ErrorTextsNameLineColumnAndCharacter) {
    struct row {
        const char* text;
        const char* err;
    };
    const row rows[] = {
        {"1abc == 2", "1:1 [1-0x31] error: Var must start with letter or underscore"},
        {"a == 1\n  1b == 2", "2:3 [1-0x31] error: Var must start with letter or underscore"},
        {"!1 == 2", "1:2 [1-0x31] error: Var must start with letter or underscore"},
        {"@ =x", "1:3 [=-0x3d] error: Var must start with letter or underscore"},
        {"~1", "1:2 [1-0x31] error:  ban_cmd character cannot appear"},
        {"~~a == 1", "1:2 [~-0x7e] error:  ban_cmd character cannot appear"},
        {"lev,el == 1", "1:4 [,-0x2c] syntax error=2"},
        {"@rule_mode=and", "1:11 [=-0x3d] syntax error=2"},
        {"level\n", "1:6 [\n-0x a] syntax error=2"},
        {"level ?= 1", "1:7 [?-0x3f] syntax error=3"},
        {"level \n<= 1", "1:7 [\n-0x a] syntax error=3"},
        {"level ==\"3\"", "1:9 [\"-0x22] syntax error=4"},
        {"level!=3\n", "1:9 [\n-0x a] syntax error=4"},
        {"level == \n3", "1:10 [\n-0x a] syntax error=5"},
        {"level == \r3", "1:10 [\r-0x d] syntax error=5"},
        {"level == 3 x", "1:12 [x-0x78] syntax error=6"},
        {"level == 'x'y", "1:13 [y-0x79] syntax error=6"},
        {"level bogus 3", "1:0 opcode=[bogus] Unsupported"},
        {"a == 1\nlevel =! 3", "2:0 opcode=[=!] Unsupported"},
        {"\xff == 1", "1:1 [\xff-0xff] error: Var must start with letter or underscore"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(check(r.text), r.err);
    }
}

TEST(QexprParse, TextEndingInsideAStatementNamesTheParserState) {
    struct row {
        const char* text;
        const char* err;  // "" when the end is a valid one
    };
    const row rows[] = {
        {"a == 1", ""},               // inside a bare value: completes it
        {"a == 1 ", ""},              // after a value
        {"a == 1 # c", ""},           // in a "#" comment
        {"a == 1;  ", ""},            // between statements
        {"!", "1:0 mode=1 Incomplete expression error"},
        {"'open", "1:0 mode=3 Incomplete expression error"},
        {"~", "1:0 mode=4 Incomplete expression error"},
        {"a == 1\nlevel", "2:0 mode=5 Incomplete expression error"},
        {"@include", "1:0 mode=5 Incomplete expression error"},
        {"level ", "1:0 mode=6 Incomplete expression error"},
        {"level ==", "1:0 mode=7 Incomplete expression error"},
        {"level!=3", "1:0 mode=7 Incomplete expression error"},  // "!" operators take digits
        {"level == ", "1:0 mode=8 Incomplete expression error"},
        {"@include ", "1:0 mode=8 Incomplete expression error"},
        {"tag == \"abc", "1:0 mode=9 Incomplete expression error"},
        {"tag == 'abc\n", "2:0 mode=9 Incomplete expression error"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(check(r.text), r.err);
    }
}

TEST(QexprParse, SpacedAndUnspacedOperatorsGiveTheSameNormalForm) {
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(take(qexpr_format_text("level<=3", err)), take(qexpr_format_text("level <= 3", err)));
    EXPECT_EQ(take(qexpr_format_text("level>3", err)), take(qexpr_format_text("level   >\t3", err)));
    EXPECT_EQ(take(qexpr_format_text("level != 3", err)), " level != 3\n");
    EXPECT_EQ(qexpr_format_text("level!=3", err), nullptr);
    EXPECT_STREQ(err, "1:0 mode=7 Incomplete expression error");
}

TEST(QexprParse, PartsAtTheirLimitParseAndOneMoreFails) {
    const std::string name(QEXPR_NAME_MAX, 'n');
    const std::string value(QEXPR_VALUE_MAX, 'v');
    EXPECT_EQ(check(name + " == 1"), "");
    EXPECT_EQ(check("a == " + value), "");
    EXPECT_EQ(check("a == \"" + value + "\""), "");
    EXPECT_EQ(check(name + "n == 1"), "1:256 error: var longer than 255 characters");
    EXPECT_EQ(check("a == " + value + "v"), "1:261 error: value longer than 255 characters");
    EXPECT_EQ(check("a == '" + value + "v'"), "1:262 error: value longer than 255 characters");
    // An operator may only be as long as 63 characters; a longer one fails
    // on its length, a shorter unknown one on the table.
    EXPECT_EQ(check("a " + std::string(QEXPR_OP_MAX, 'o') + " 1"), "1:0 opcode=[" + std::string(63, 'o') + "] Unsupported");
    EXPECT_EQ(check("a " + std::string(QEXPR_OP_MAX + 1, 'o') + " 1"), "1:66 error: opcode longer than 63 characters");
}

TEST(QexprParse, HostileTextsFailFastAndCleanly) {
    // A megabyte of marks, of one name, of one quoted value, of one operator.
    EXPECT_EQ(check(std::string(1 << 20, '!')), "1:2 [!-0x21] error: Var must start with letter or underscore");
    EXPECT_EQ(check(std::string(1 << 20, 'a')), "1:256 error: var longer than 255 characters");
    EXPECT_EQ(check("a == \"" + std::string(1 << 20, 'x')), "1:262 error: value longer than 255 characters");
    EXPECT_EQ(check("a " + std::string(1 << 20, '=')), "1:66 error: opcode longer than 63 characters");
    // Deep "nesting" has no meaning here: brackets are plain value bytes.
    EXPECT_EQ(check("msg match " + std::string(120, '(') + "a" + std::string(120, ')')), "");
    // Long runs of empty statements and comments.
    EXPECT_EQ(check(std::string(1 << 20, ';')), "");
    EXPECT_EQ(check(std::string(1 << 20, '\n') + "1"),
              std::to_string((1 << 20) + 1) + ":1 [1-0x31] error: Var must start with letter or underscore");
    std::string comments;
    for (int i = 0; i < 100000; i++) comments += "#c\n'q'";
    EXPECT_EQ(check(comments), "");
}

TEST(QexprParse, AbsentTextAndAbsentErrorBuffer) {
    char err[QEXPR_ERR_SIZE] = "old";
    EXPECT_EQ(qexpr_check_text(nullptr, err), -1);
    EXPECT_STRNE(err, "old");
    EXPECT_EQ(qexpr_check_text("1", nullptr), -1);
    EXPECT_EQ(qexpr_check_text("a == 1", nullptr), 0);
}

TEST(QexprParse, AddCallbackFailuresStopTheParse) {
    auto unknown = [](void*, int, const char*, int, const char*, int, int) { return -2; };
    auto no_memory = [](void*, int, const char*, int, const char*, int, int) { return -1; };
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qexpr_parse("lvl == 1; a == 2", err, unknown, nullptr), -2);
    EXPECT_STREQ(err, "var [lvl] does not exist");
    EXPECT_EQ(qexpr_parse("lvl == 1", err, no_memory, nullptr), -1);
    EXPECT_STREQ(err, "expr malloc failed");
}
