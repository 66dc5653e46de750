// Evaluation: "or" and "and" modes with plain and negated rules, records
// without a value, disabled rules, the host record's maps, case and trace.
#include <gtest/gtest.h>

#include <string>

#include "liblog/log2.h"
#include "libpal/string/str_map.h"
#include "qexpr_fixture.h"
#include "support/log_capture.h"

using namespace qexpr_test;

TEST(QexprFilter, ModesWithPlainAndNegatedRules) {
    struct row {
        const char* rules;
        const char* tag;
        uint8_t level;
        int drop;
    };
    const row rows[] = {
        // "or": a rule that holds keeps the record; none holding drops it.
        {"tag == a; tag == b", "b", 6, 0},
        {"tag == a; tag == b", "c", 6, 1},
        {"tag == a; level <= 3", "x", 2, 0},
        // "and": a rule that fails drops the record; all holding keep it.
        {"@rule_mode and; level <= 3; tag find net", "sock", 2, 1},
        {"@rule_mode and; level <= 3; tag find net", "network", 2, 0},
        {"@rule_mode and; level <= 3; tag find net", "net", 5, 1},
        // A "!" rule drops when its comparison is true and keeps when it is
        // false; it ends the walk on a drop in "or" and on a keep in "and".
        {"!tag == a", "a", 6, 1},
        {"!tag == a", "b", 6, 0},
        {"!tag == a; level <= 3", "b", 9, 1},
        {"!tag == a; level <= 3", "a", 2, 1},
        {"!tag == a; level <= 3", "a", 9, 1},
        {"!tag == a; !tag == b", "c", 6, 0},
        {"@rule_mode and; !tag == a; level <= 3", "b", 9, 0},
        {"@rule_mode and; !tag == a; level <= 3", "a", 2, 0},
        {"@rule_mode and; !tag == a; level <= 3", "a", 9, 1},
        {"@rule_mode and; !tag == a; level <= 3", "b", 2, 0},
        {"@rule_mode and; !tag == a; !tag == b", "c", 6, 0},
        {"@rule_mode and; !tag == a; !tag == b", "b", 6, 0},
        {"@rule_mode and; !tag == a; !tag == b", "a", 6, 0},
        {"@rule_mode and; !tag == a; tag == b", "a", 6, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.rules) + " / tag " + r.tag + " level " + std::to_string(r.level));
        rule_set s;
        ASSERT_EQ(s.load(r.rules), "");
        EXPECT_EQ(s.drop(rec_tl(r.tag, r.level)), r.drop);
    }
}

TEST(QexprFilter, IntegerRulesWorkWhileTextsIgnoreCase) {
    // Without a host record texts compare ignoring case; integers keep
    // their comparisons (level <= 3 must not turn into "never").
    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and\ntag == BSV\nlevel <= 3\npid > 100\nsec >= 0x10\n"), "");
    EXPECT_EQ(s.drop(rec_tl("bsv", 2)), 0);
    EXPECT_EQ(s.drop(rec_tl("bsv", 3)), 0);
    EXPECT_EQ(s.drop(rec_tl("bsv", 4)), 1);
    EXPECT_EQ(s.drop(rec_tl("bsvx", 2)), 1);
    log_rec r = rec_tl("BSV", 0);
    r.pid = 100;
    EXPECT_EQ(s.drop(r), 1);
    r.pid = 101;
    EXPECT_EQ(s.drop(r), 0);
}

TEST(QexprFilter, EveryFieldTypeOfALogRecord) {
    log_rec r;
    r.sec = 0x123456789ULL;
    r.usec = 999999;
    r.pid = 0x11223344;
    r.line = "1234";
    struct row {
        const char* rule;
        int drop;
    };
    const row rows[] = {
        {"sec == 4886718345", 0}, {"sec > 0xffffffff", 0}, {"sec findhex 8967452301", 0}, {"sec < 1", 1},
        {"usec == 999999", 0},    {"usec >= 1000000", 1},  {"pid findhex 44332211", 0},     {"pid !findhex 4433", 1},
        {"tid != 7", 1},          {"level == 6", 0},       {"tid_name == MAIN", 0},         {"file endswith .cpp", 0},
        {"line == 1234", 0},      {"line > 999", 1},  // a text field compares as text: "1234" < "999"
        {"func glob dd_*", 0},    {"msg match ^copy", 0},  {"msg gfind start", 1},          {"msg findhex 636f7079", 0},
    };
    for (const auto& row : rows) {
        rule_set s;
        ASSERT_EQ(s.load(row.rule), "") << row.rule;
        EXPECT_EQ(s.drop(r), row.drop) << row.rule;
    }
}

TEST(QexprFilter, EmptySetsAndSetsWithoutEvaluatedRulesKeepEverything) {
    for (const char* rules : {"", "# nothing\n", "@rule_mode and", "~tag == zz", "~ !tag == dd; @rule_mode and"}) {
        rule_set s;
        ASSERT_EQ(s.load(rules), "") << rules;
        EXPECT_EQ(s.drop(rec_tl("dd", 6)), 0) << rules;
        EXPECT_EQ(s.drop(rec_tl("zz", 6)), 0) << rules;
    }
    EXPECT_EQ(qexpr_filter_drop(nullptr, rec_get, nullptr), 0);
}

TEST(QexprFilter, DisabledRuleStaysButIsNeverEvaluated) {
    rule_set s;
    ASSERT_EQ(s.load("~ tag == dd\ntag == zz"), "");
    EXPECT_EQ(s.drop(rec_tl("dd", 6)), 1);
    EXPECT_EQ(s.drop(rec_tl("zz", 6)), 0);
    EXPECT_NE(s.dump().find("\n~  tag == dd\n"), std::string::npos) << s.dump();
}

TEST(QexprFilter, VariableWithoutValueSkipsItsRule) {
    log_capture cap;
    rule_set s;
    ASSERT_EQ(s.load("nosuch == 1\ntag == dd"), "");
    EXPECT_EQ(s.drop(rec_tl("dd", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("zz", 6)), 1);
    ASSERT_GE(cap.count(), 1u);
    EXPECT_EQ(cap.lines()[0].text, "var_proc get_arg1 [nosuch] failed\n");
    EXPECT_EQ(cap.lines()[0].tag, "pal");
    EXPECT_EQ(cap.lines()[0].level, static_cast<uint32_t>(LOG2_ERR));

    // In "and" mode the rule counts as absent, not as failed.
    rule_set a;
    ASSERT_EQ(a.load("@rule_mode and; nosuch == 1; tag == dd"), "");
    EXPECT_EQ(a.drop(rec_tl("dd", 6)), 0);
    rule_set only;
    ASSERT_EQ(only.load("@rule_mode and; nosuch == 1"), "");
    EXPECT_EQ(only.drop(rec_tl("dd", 6)), 0);
}

TEST(QexprFilter, ValuesFromTheHostRecord) {
    str_map* values = str_map_new(STR_MAP_COPY_KEY);
    str_map* texts = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    ASSERT_TRUE(values && texts);
    qexpr_value level;
    qexpr_value_set_int(&level, QEXPR_TYPE_U8, 2);
    qexpr_value tag_typed;
    qexpr_value_set_str(&tag_typed, "typed");
    ASSERT_EQ(str_map_add(values, "level", reinterpret_cast<const char*>(&level)), 0);
    ASSERT_EQ(str_map_add(values, "tag", reinterpret_cast<const char*>(&tag_typed)), 0);
    ASSERT_EQ(str_map_add(texts, "tag", "text"), 0);
    ASSERT_EQ(str_map_add(texts, "msg", "Disk Error"), 0);
    ASSERT_EQ(str_map_add(texts, "gone", "x"), 0);

    qexpr_vars vars{};
    vars.values = values;
    vars.texts = texts;
    vars.ignore_case = 0;
    rule_set s(&vars);
    // A rule's variable must be one the host knows.
    EXPECT_EQ(s.load("level <= 3\nother == 1"), "var [other] does not exist");
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qexpr_load_rules(s.h, "other == 1", err), -2);

    auto drop_with = [&](const char* rules) {
        EXPECT_EQ(s.load(rules), "") << rules;
        return qexpr_filter_drop(s.h, nullptr, nullptr);
    };
    EXPECT_EQ(drop_with("level <= 3"), 0);
    EXPECT_EQ(drop_with("level > 3"), 1);
    EXPECT_EQ(drop_with("tag == typed"), 0) << "the typed map is looked up first";
    EXPECT_EQ(drop_with("msg == \"disk error\""), 1) << "the case switch is 0: case counts";
    vars.ignore_case = 1;
    EXPECT_EQ(drop_with("msg == \"disk error\""), 0);
    EXPECT_EQ(drop_with("level <= 3"), 0) << "integers are unaffected by the case switch";

    // A variable that left the maps after loading counts as absent.
    ASSERT_EQ(s.load("@rule_mode and; gone == x; level == 9"), "");
    str_map_clear(texts);
    EXPECT_EQ(qexpr_filter_drop(s.h, nullptr, nullptr), 1);
    ASSERT_EQ(s.load("level == 2"), "");
    str_map_clear(values);
    EXPECT_EQ(qexpr_filter_drop(s.h, nullptr, nullptr), 0);
    str_map_free(values);
    str_map_free(texts);
}

TEST(QexprFilter, CaseSwitchOfTheHostRecordWithAGetter) {
    str_map* texts = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    ASSERT_EQ(str_map_add(texts, "tag", ""), 0);
    qexpr_vars vars{};
    vars.texts = texts;
    rule_set s(&vars);
    ASSERT_EQ(s.load("tag == BSV"), "");
    EXPECT_EQ(s.drop(rec_tl("bsv", 6)), 1);
    EXPECT_EQ(s.drop(rec_tl("BSV", 6)), 0);
    vars.ignore_case = 1;
    EXPECT_EQ(s.drop(rec_tl("bsv", 6)), 0);
    str_map_free(texts);
}

TEST(QexprFilter, TraceLogsEveryEvaluatedRule) {
    str_map* texts = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    for (const char* k : {"level", "tag"}) ASSERT_EQ(str_map_add(texts, k, ""), 0);
    qexpr_vars vars{};
    vars.texts = texts;
    vars.trace = 1;
    vars.ignore_case = 1;
    rule_set s(&vars);
    ASSERT_EQ(s.load("@rule_mode and\n!tag == dd\nlevel <= 3\n~ tag == y"), "");
    log_capture cap;
    EXPECT_EQ(s.drop(rec_tl("dd", 2)), 0);
    ASSERT_EQ(cap.count(), 2u);
    EXPECT_EQ(cap.lines()[0].text, "[ ! tag(dd) == dd ] = 1\n");
    EXPECT_EQ(cap.lines()[1].text, "[  level(2) <= 3 ] = 1\n");
    EXPECT_EQ(cap.lines()[1].level, static_cast<uint32_t>(LOG2_DBG));
    str_map_free(texts);
}

TEST(QexprFilter, IncludedRulesAreEvaluatedAfterTheMainOnes) {
    // Built by hand: main rule, then include rule (the loader's include
    // command is tested with files).
    rule_set s;
    ASSERT_EQ(qexpr_add_rules(s.h, 1, "tag", "==", "a", QEXPR_KIND_PLAIN), 0);
    s.h->build_level = 1;
    ASSERT_EQ(qexpr_add_rules(s.h, 1, "tag", "==", "b", QEXPR_KIND_PLAIN), 0);
    s.h->build_level = 0;
    ASSERT_EQ(qexpr_commit(s.h, nullptr), 0);
    EXPECT_EQ(s.drop(rec_tl("a", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("b", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("c", 6)), 1);
    EXPECT_EQ(qexpr_main_rule_count(s.h), 1u);
}
