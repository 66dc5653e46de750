// Loading: commands, includes, failed loads that leave the rule set as it
// was, files, and the expansion of "$" references and date words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/string/str_map.h"
#include "qexpr_fixture.h"
#include "support/log_capture.h"

using namespace qexpr_test;
namespace fs = std::filesystem;

namespace {

class QexprLoad : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qexpr_load_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& text) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }

    fs::path dir_;
};

// The values of the main rules, in order.
std::vector<std::string> values_of(qexpr_ctx* h) {
    std::vector<std::string> out;
    qexpr_walk(
        h,
        [](int, int, const char*, int, const char* value, int, void* arg) {
            static_cast<std::vector<std::string>*>(arg)->push_back(value);
            return 0;
        },
        &out);
    return out;
}

}  // namespace

TEST_F(QexprLoad, RuleModeCommand) {
    rule_set s;
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR);
    ASSERT_EQ(s.load("@rule_mode and"), "");
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_AND);
    ASSERT_EQ(s.load("tag == a"), "");
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_AND) << "a text without the command keeps the mode";
    ASSERT_EQ(s.load("@ rule_mode or"), "");
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR);
    ASSERT_EQ(s.load("~@ rule_mode and"), "");
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR) << "a disabled command does not run";
}

TEST_F(QexprLoad, FailedLoadsLeaveRulesAndModeAsTheyWere) {
    rule_set s;
    ASSERT_EQ(s.load("tag == a\ntag == b"), "");
    const std::string before = s.dump();
    const struct {
        const char* text;
        const char* err;
    } rows[] = {
        {"@rule_mode and\n@rule_mode xor", "rule_mode = xor error, [or and]"},
        {"@rule_mode and; @frobnicate now", "unsupprot cmd [frobnicate] error"},
        {"@rule_mode and\ntag == c\nlevel is 3", "3:0 opcode=[is] Unsupported"},
        {"@rule_mode and; tag == c; 9", "1:27 [9-0x39] error: Var must start with letter or underscore"},
        {"@rule_mode and; @include /nonexistent/qexpr/none.rules",
         "include [/nonexistent/qexpr/none.rules][/nonexistent/qexpr/none.rules] error: No such file or directory"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(s.load(r.text), r.err);
        EXPECT_EQ(s.dump(), before);
        EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR);
        EXPECT_EQ(s.drop(rec_tl("b", 6)), 0);
        EXPECT_EQ(s.drop(rec_tl("c", 6)), 1);
        EXPECT_EQ(mem_ptr_count(&s.h->build_main), 0u) << "nothing is left in the build lists";
    }
}

TEST_F(QexprLoad, IncludeLoadsAFileIntoTheIncludeRules) {
    const std::string inc = write("inc.rules", "# included\ntag == b\n@rule_mode or\n");
    setenv("QEXPR_TEST_DIR", dir_.c_str(), 1);
    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and\ntag == a\n@include $QEXPR_TEST_DIR/inc.rules\n"), "");
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR) << "the included file's command ran after the main one";
    EXPECT_EQ(s.dump(),
              "# rule_mode=or\n"
              "#main----------------------\n"
              "@ rule_mode and\n"
              " tag == a\n"
              "@ include $QEXPR_TEST_DIR/inc.rules\n"
              "#include-------------------\n"
              " tag == b\n"
              "@ rule_mode or\n"
              "#end-----------------------\n");
    char* main_only = qexpr_dump_main_rules(s.h);
    EXPECT_EQ(take(main_only),
              "# rule_mode=or\n"
              "#main----------------------\n"
              "@ rule_mode and\n"
              " tag == a\n"
              "@ include $QEXPR_TEST_DIR/inc.rules\n"
              "#end-----------------------\n");
    EXPECT_EQ(s.drop(rec_tl("b", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("c", 6)), 1);
    EXPECT_EQ(qexpr_main_rule_count(s.h), 3u);
    unsetenv("QEXPR_TEST_DIR");
}

TEST_F(QexprLoad, TwoIncludesAndTheirErrors) {
    const std::string a = write("a.rules", "tag == a\n");
    const std::string b = write("b.rules", "tag == b\n");
    const std::string nested = write("nested.rules", "tag == n\n@include " + a + "\n");
    const std::string broken = write("broken.rules", "tag == x\n\n  tag !! y\n");
    rule_set s;
    ASSERT_EQ(s.load("@include " + a + "\n@include " + b), "");
    EXPECT_EQ(s.drop(rec_tl("a", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("b", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("c", 6)), 1);
    const std::string before = s.dump();

    EXPECT_EQ(s.load("tag == z\n@include " + nested), "Only one level of include is supported");
    EXPECT_EQ(s.load("@include " + broken), "3:0 opcode=[!!] Unsupported");
    const std::string self = write("self.rules", "");
    std::ofstream(self) << "@include " << self << "\n";
    EXPECT_EQ(s.load("@include " + self), "Only one level of include is supported");
    EXPECT_EQ(s.load("@include " + dir_.string()).rfind("include [", 0), 0u) << "a directory cannot be read";
    EXPECT_EQ(s.dump(), before);
}

TEST_F(QexprLoad, LoadAndCheckFiles) {
    rule_set s;
    char err[QEXPR_ERR_SIZE];
    const std::string good = write("good.rules", "@rule_mode and\nlevel <= 3\n");
    ASSERT_EQ(qexpr_load_file(s.h, good.c_str(), err), 0) << err;
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_AND);
    EXPECT_EQ(qexpr_check_file(good.c_str(), err), 0);

    const std::string missing = (dir_ / "missing.rules").string();
    EXPECT_EQ(qexpr_load_file(s.h, missing.c_str(), err), -1) << "an unreadable file is a failed load";
    EXPECT_STREQ(err, "file open failed");
    EXPECT_EQ(qexpr_check_file(missing.c_str(), err), -1);
    EXPECT_STREQ(err, "file open failed");
    EXPECT_EQ(qexpr_format_file(missing.c_str(), err), nullptr);
    EXPECT_STREQ(err, "file open failed");
    EXPECT_EQ(qexpr_load_file(s.h, nullptr, err), -1);

    const std::string bad = write("bad.rules", "level <= 3\nlevel\n");
    EXPECT_EQ(qexpr_load_file(s.h, bad.c_str(), err), -1);
    EXPECT_STREQ(err, "2:6 [\n-0x a] syntax error=2");
    EXPECT_EQ(qexpr_check_file(bad.c_str(), err), -1);
    EXPECT_EQ(s.drop(rec_tl("x", 2)), 0);
    EXPECT_EQ(s.drop(rec_tl("x", 4)), 1);
    EXPECT_EQ(take(qexpr_format_file(good.c_str(), err)), "@ rule_mode \"and\"\n level <= 3\n");
}

TEST_F(QexprLoad, DollarReferencesInValues) {
    setenv("QEXPR_T_VAL", "hello", 1);
    unsetenv("QEXPR_T_UNSET");
    rule_set s;
    ASSERT_EQ(s.load("msg find $QEXPR_T_VAL\n"
                     "msg find '$QEXPR_T_VAL'\n"
                     "msg find \"${QEXPR_T_VAL}x y\"\n"
                     "msg find a${QEXPR_T_UNSET}b\n"
                     "@include_not_run '$QEXPR_T_VAL'\n"
                     "~ msg find $QEXPR_T_VAL"),
              "unsupprot cmd [include_not_run] error");
    ASSERT_EQ(s.load("msg find $QEXPR_T_VAL\n"
                     "msg find '$QEXPR_T_VAL'\n"
                     "msg find \"${QEXPR_T_VAL}x y\"\n"
                     "msg find a${QEXPR_T_UNSET}b\n"
                     "~ msg find $QEXPR_T_VAL"),
              "");
    EXPECT_EQ(values_of(s.h), (std::vector<std::string>{"hello", "$QEXPR_T_VAL", "hellox y", "ab", "hello"}));

    // Command values are not expanded when stored.
    ASSERT_EQ(qexpr_add_rules(s.h, 1, "rule_mode", nullptr, "$QEXPR_T_VAL", QEXPR_KIND_CMD), 0);
    ASSERT_EQ(qexpr_add_rules(s.h, 1, "msg", "find", "$QEXPR_T_VAL", QEXPR_KIND_PLAIN), 0);
    char err[QEXPR_ERR_SIZE];
    EXPECT_EQ(qexpr_commit(s.h, err), -1);
    EXPECT_STREQ(err, "rule_mode = $QEXPR_T_VAL error, [or and]");
    unsetenv("QEXPR_T_VAL");
}

TEST_F(QexprLoad, DateWordsAndTheHostDictionary) {
    str_map* texts = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    str_map* expand = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    ASSERT_EQ(str_map_add(texts, "msg", "x"), 0);
    ASSERT_EQ(str_map_add(expand, "who", "me"), 0);
    qexpr_vars vars{};
    vars.texts = texts;
    vars.expand = expand;
    vars.now = 1710504000;  // 2024-03-15 12:00 UTC: the same date in every zone within 11 hours
    setenv("who", "env", 1);
    setenv("today", "env-today", 1);
    rule_set s(&vars);
    ASSERT_EQ(s.load("msg == $today; msg == $last_week; msg == ${last_mon}; msg == $last_year; msg == $who"), "");
    EXPECT_EQ(values_of(s.h),
              (std::vector<std::string>{"2024-03-15", "2024-03-08", "2024-02-14", "2023-03-16", "me"}));
    ASSERT_EQ(str_map_set(expand, "today", "dictionary"), 0);
    ASSERT_EQ(s.load("msg == $today"), "");
    EXPECT_EQ(values_of(s.h), (std::vector<std::string>{"dictionary"}));
    unsetenv("who");
    unsetenv("today");
    str_map_free(texts);
    str_map_free(expand);
}

TEST_F(QexprLoad, AddRulesRefusesUnknownOperators) {
    log_capture cap;
    rule_set s;
    EXPECT_EQ(qexpr_add_rules(s.h, 1, "tag", "~=", "a", QEXPR_KIND_PLAIN), -1);
    EXPECT_TRUE(cap.contains("opcode=[~=] Unsupported\n"));
    EXPECT_EQ(qexpr_add_rules(s.h, 1, "tag", "==", "a", QEXPR_KIND_NOT), 0);
    qexpr_build_clear(s.h);
    EXPECT_EQ(qexpr_commit(s.h, nullptr), 0);
    EXPECT_EQ(qexpr_main_rule_count(s.h), 0u) << "the build was cleared before the commit";
    EXPECT_EQ(qexpr_add_rules(s.h, 1, "tag", "==", "a", QEXPR_KIND_NOT), 0);
    EXPECT_EQ(qexpr_commit(s.h, nullptr), 0);
    EXPECT_EQ(s.drop(rec_tl("a", 6)), 1);
    EXPECT_EQ(s.drop(rec_tl("b", 6)), 0);
}
