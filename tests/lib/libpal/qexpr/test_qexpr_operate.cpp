// Every operator over text and integer values, their case-insensitive
// forms, and the typed value's second form.
#include <gtest/gtest.h>

#include <string>

#include "liblog/log2.h"
#include "qexpr_fixture.h"
#include "support/log_capture.h"

using namespace qexpr_test;

namespace {

int op_text(const char* a, const char* b, int opcode) {
    qexpr_value va;
    qexpr_value vb;
    qexpr_value_set_str(&va, a);
    qexpr_value_set_str(&vb, b);
    return expr_operate(&va, &vb, opcode);
}

int op_int(uint32_t type, uint64_t a, const char* b, int opcode) {
    qexpr_value va;
    qexpr_value vb;
    qexpr_value_set_int(&va, type, a);
    qexpr_value_set_str(&vb, b);
    return expr_operate(&va, &vb, opcode);
}

}  // namespace

TEST(QexprOperate, OperatorTable) {
    const struct {
        const char* text;
        int code;
    } rows[] = {
        {"findhex", 0}, {"!findhex", 1}, {"==", 2}, {"!=", 3}, {"<", 6}, {">", 7}, {"<=", 10}, {">=", 11},
        {"find", 14}, {"!find", 15}, {"gfind", 18}, {"!gfind", 19}, {"startswith", 22}, {"!startswith", 23},
        {"endswith", 26}, {"!endswith", 27}, {"glob", 30}, {"!glob", 31}, {"match", 34}, {"!match", 35},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(qexpr_opcode(r.text), r.code) << r.text;
        EXPECT_STREQ(qexpr_op_text(r.code), r.text);
    }
    EXPECT_STREQ(qexpr_op_text(4), "==") << "a case-insensitive form shows as its plain operator";
    EXPECT_STREQ(qexpr_op_text(37), "!match");
    for (const char* bad : {"", "=", "=<", "FIND", "find ", "!", "<>", "~="}) EXPECT_EQ(qexpr_opcode(bad), -1) << bad;
    EXPECT_EQ(qexpr_opcode(nullptr), -1);
    EXPECT_EQ(qexpr_op_text(38), nullptr);
    EXPECT_EQ(qexpr_op_text(-1), nullptr);
}

TEST(QexprOperate, TextValues) {
    struct row {
        const char* a;
        const char* b;
        int opcode;
        int want;
    };
    const row rows[] = {
        // Comparisons in byte order; +2 ignores case.
        {"abc", "abc", 2, 1}, {"abc", "ABC", 2, 0}, {"abc", "ABC", 4, 1},
        {"abc", "abd", 3, 1}, {"abc", "abc", 3, 0}, {"abc", "ABC", 5, 0}, {"abc", "ABD", 5, 1},
        {"b", "C", 6, 0}, {"b", "C", 8, 1}, {"b", "a", 7, 1}, {"b", "C", 9, 0},
        {"a", "a", 10, 1}, {"b", "a", 10, 0}, {"B", "a", 12, 0}, {"A", "a", 12, 1},
        {"a", "b", 11, 0}, {"a", "a", 11, 1}, {"a", "B", 13, 0},
        {"\xc3\xa9", "z", 7, 1},  // bytes compare unsigned
        {"10", "9", 6, 1},        // texts compare as texts, not as numbers
        // Search operators.
        {"copy started", "started", 14, 1}, {"copy started", "STARTED", 14, 0}, {"copy started", "STARTED", 16, 1},
        {"copy started", "stopped", 15, 1}, {"copy started", "started", 15, 0}, {"copy started", "START", 17, 0},
        {"copy", "", 14, 1},
        {"disk error", "error", 18, 1}, {"errors", "error", 18, 0}, {"suberror error", "error", 18, 1},
        {"error_1", "error", 18, 1}, {"x-error.", "error", 18, 1}, {"error1", "error", 18, 0},
        {"DISK ERROR", "error", 18, 0}, {"DISK ERROR", "error", 20, 1}, {"errors", "error", 19, 1},
        {"ERRORS", "error", 21, 1}, {"ERROR", "error", 21, 0},
        {"dd_work", "dd_", 22, 1}, {"d", "dd", 22, 0}, {"DD_work", "dd_", 22, 0}, {"DD_work", "dd_", 24, 1},
        {"dd_work", "x", 23, 1}, {"DD_work", "dd", 25, 0},
        {"file.cpp", ".cpp", 26, 1}, {"cpp", ".cpp", 26, 0}, {"FILE.CPP", ".cpp", 28, 1}, {"file.h", ".cpp", 27, 1},
        {"FILE.CPP", ".cpp", 29, 0},
        // Wildcards: "*", "?", "\" escapes, "|" alternatives.
        {"dd_work", "dd_*", 30, 1}, {"dd_work", "x*|dd_w?rk", 30, 1}, {"a*b", "a\\*b", 30, 1},
        {"axb", "a\\*b", 30, 0}, {"DD_WORK", "dd_*", 30, 0}, {"DD_WORK", "dd_*", 32, 1}, {"dd_work", "x*", 31, 1},
        {"DD_WORK", "dd_*", 33, 0},
        // Extended regular expressions, anywhere in the text.
        {"err: disk 3", "^err: [a-z]+ [0-9]$", 34, 1}, {"ERR", "^err", 34, 0}, {"ERR", "^err", 36, 1},
        {"ok", "^err", 35, 1}, {"ERR", "^err", 37, 0},
        // Hexadecimal byte patterns over the text's bytes.
        {"xAB", "4142", 0, 1}, {"xAyB", "41?42", 0, 1}, {"xAyB", "4142", 0, 0}, {"AB", "4142", 1, 0},
        {"AB", "zz", 0, 0}, {"AB", "414", 0, 0},
        // Opcodes past the table.
        {"a", "a", 38, 0}, {"a", "a", -1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.a) + " op " + std::to_string(r.opcode) + " " + r.b);
        EXPECT_EQ(op_text(r.a, r.b, r.opcode), r.want);
    }
}

TEST(QexprOperate, BadRegularExpressionIsLoggedAndNeverMatches) {
    log_capture cap;
    EXPECT_EQ(op_text("(", "(", QEXPR_OP_MATCH), 0);
    EXPECT_EQ(cap.count(LOG2_ERR), 1u);
    // A very deep group still compiles and matches without trouble.
    const std::string deep = std::string(120, '(') + "a" + std::string(120, ')');
    EXPECT_EQ(op_text("xa", deep.c_str(), QEXPR_OP_MATCH), 1);
}

TEST(QexprOperate, IntegerValues) {
    struct row {
        uint32_t type;
        uint64_t a;
        const char* b;
        int opcode;
        int want;
    };
    const std::string nines(255, '9');
    const row rows[] = {
        {QEXPR_TYPE_U8, 6, "6", 2, 1}, {QEXPR_TYPE_U8, 6, "0x6", 2, 1}, {QEXPR_TYPE_U8, 6, "06", 2, 1},
        {QEXPR_TYPE_U8, 6, "0b110", 2, 1}, {QEXPR_TYPE_U8, 8, "010", 2, 1}, {QEXPR_TYPE_U8, 6, "6", 3, 0},
        {QEXPR_TYPE_U8, 6, "7", 6, 1}, {QEXPR_TYPE_U8, 6, "6", 6, 0}, {QEXPR_TYPE_U8, 6, "5", 7, 1},
        {QEXPR_TYPE_U8, 6, "6", 10, 1}, {QEXPR_TYPE_U8, 7, "6", 10, 0}, {QEXPR_TYPE_U8, 6, "6", 11, 1},
        {QEXPR_TYPE_U8, 5, "6", 11, 0},
        // Numbers are compared as numbers, not as texts.
        {QEXPR_TYPE_U32, 10, "9", 7, 1},
        // Case plays no part for integers: the +2 forms are the plain ones.
        {QEXPR_TYPE_U8, 6, "6", 4, 1}, {QEXPR_TYPE_U8, 6, "7", 5, 1}, {QEXPR_TYPE_U8, 2, "3", 8, 1},
        {QEXPR_TYPE_U8, 4, "3", 9, 1}, {QEXPR_TYPE_U8, 3, "3", 12, 1}, {QEXPR_TYPE_U8, 3, "4", 13, 0},
        // Only the low bytes of the type count.
        {QEXPR_TYPE_U8, 0x1ff, "255", 2, 1}, {QEXPR_TYPE_U16, 0x12345, "0x2345", 2, 1},
        {QEXPR_TYPE_U64, ~0ULL, "18446744073709551615", 2, 1}, {QEXPR_TYPE_U64, ~0ULL, "0xffffffffffffffff", 2, 1},
        // An unusable number is 0: signs, words, and literals past 64 bits.
        {QEXPR_TYPE_U8, 0, "abc", 2, 1}, {QEXPR_TYPE_U8, 1, "-1", 7, 1},
        {QEXPR_TYPE_U64, 5, "99999999999999999999999", 7, 1}, {QEXPR_TYPE_U64, 0, nines.c_str(), 2, 1},
        // Bytes as stored (this machine's order) for findhex.
        {QEXPR_TYPE_U32, 0x11223344, "4433", 0, 1}, {QEXPR_TYPE_U32, 0x11223344, "3344", 0, 0},
        {QEXPR_TYPE_U32, 0x11223344, "44?2211", 0, 1}, {QEXPR_TYPE_U32, 0x11223344, "4433", 1, 0},
        {QEXPR_TYPE_U8, 0x41, "41", 0, 1}, {QEXPR_TYPE_U16, 0x41, "4100", 0, 1}, {QEXPR_TYPE_U16, 0x41, "410000", 0, 0},
        {QEXPR_TYPE_U64, 0x0102030405060708ULL, "0807060504030201", 0, 1},
        // Text operators say nothing about integers.
        {QEXPR_TYPE_U8, 6, "6", 14, 0}, {QEXPR_TYPE_U8, 6, "6", 15, 0}, {QEXPR_TYPE_U8, 6, "*", 30, 0},
        {QEXPR_TYPE_U8, 6, "6", 34, 0}, {QEXPR_TYPE_U8, 6, "6", 22, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.a) + " op " + std::to_string(r.opcode) + " " + r.b);
        EXPECT_EQ(op_int(r.type, r.a, r.b, r.opcode), r.want);
    }
}

TEST(QexprOperate, UnknownTypesAndAbsentValuesAreFalse) {
    qexpr_value a;
    qexpr_value b;
    qexpr_value_set_str(&b, "1");
    qexpr_value_set_int(&a, 99, 1);
    EXPECT_EQ(expr_operate(&a, &b, QEXPR_OP_EQ), 0);
    EXPECT_EQ(expr_operate(&a, &b, QEXPR_OP_NE), 0);
    qexpr_value_set_int(&a, QEXPR_TYPE_U8, 1);
    EXPECT_EQ(expr_operate(nullptr, &b, QEXPR_OP_EQ), 0);
    EXPECT_EQ(expr_operate(&a, nullptr, QEXPR_OP_EQ), 0);
    a = qexpr_value{};
    a.type = QEXPR_TYPE_STR;  // a getter that forgot the text
    EXPECT_EQ(expr_operate(&a, &b, QEXPR_OP_NE), 0);
}

TEST(QexprOperate, SecondForms) {
    qexpr_value v;
    qexpr_value_set_int(&v, QEXPR_TYPE_U64, 18446744073709551615ULL);
    EXPECT_STREQ(qexpr_value_text(&v), "18446744073709551615");
    qexpr_value_set_int(&v, QEXPR_TYPE_U8, 0x102);
    EXPECT_STREQ(qexpr_value_text(&v), "2");
    for (const auto& [text, num] : {std::pair<const char*, uint64_t>{"42", 42}, {"0x2a", 42}, {"0b101010", 42},
                                    {"052", 42}, {"x42", 0}, {"", 0}}) {
        qexpr_value_set_str(&v, text);
        EXPECT_EQ(v.str_num, num) << text;
        EXPECT_STREQ(qexpr_value_text(&v), text);
    }
}

TEST(QexprOperate, TextComparisonWithCaseSwitchAndTrace) {
    log_capture cap;
    EXPECT_EQ(expr_operate_str("BSV", "bsv", QEXPR_OP_EQ, 0, 0), 0);
    EXPECT_EQ(expr_operate_str("BSV", "bsv", QEXPR_OP_EQ, 1, 0), 1);
    EXPECT_EQ(expr_operate_str("BSV", "bsv", QEXPR_OP_NE, 1, 0), 0);
    EXPECT_EQ(expr_operate_str("x BSV", "bsv", QEXPR_OP_GFIND, 1, 0), 1);
    EXPECT_EQ(cap.count(), 0u);
    EXPECT_EQ(expr_operate_str("BSV", "b*", QEXPR_OP_GLOB, 1, 1), 1);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.lines()[0].level, static_cast<uint32_t>(LOG2_DBG));
    EXPECT_EQ(cap.lines()[0].text, "[BSV glob b*]\n");
    EXPECT_EQ(expr_operate_str(nullptr, "a", QEXPR_OP_EQ, 0, 0), 0);
}
