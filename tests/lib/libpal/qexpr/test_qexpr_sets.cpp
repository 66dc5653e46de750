// Rule sets as objects: walking, copying, large sets, and loads racing
// evaluations on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qexpr_fixture.h"

using namespace qexpr_test;

TEST(QexprSets, WalkVisitsMainRulesInOrder) {
    rule_set s;
    ASSERT_EQ(s.load("@rule_mode and\n~ !tag == a\nlevel <= 3\n"), "");
    struct seen {
        std::vector<std::string> rows;
        size_t stop_at = 100;
    } v;
    auto fn = [](int used, int is_cmd, const char* var, int opcode, const char* value, int kind, void* arg) {
        auto* sv = static_cast<seen*>(arg);
        sv->rows.push_back(std::to_string(used) + std::to_string(is_cmd) + " " + var + " " + std::to_string(opcode) +
                           " " + value + " " + std::to_string(kind));
        return sv->rows.size() >= sv->stop_at ? 7 : 0;
    };
    EXPECT_EQ(qexpr_walk(s.h, fn, &v), 0);
    EXPECT_EQ(v.rows, (std::vector<std::string>{"11 rule_mode 0 and 0", "00 tag 2 a 1", "10 level 10 3 0"}));
    v.rows.clear();
    v.stop_at = 2;
    EXPECT_EQ(qexpr_walk(s.h, fn, &v), 7);
    EXPECT_EQ(v.rows.size(), 2u);
    EXPECT_EQ(qexpr_walk(nullptr, fn, &v), -1);
    EXPECT_EQ(qexpr_walk(s.h, nullptr, &v), -1);
}

TEST(QexprSets, CopyTakesRulesAndMode) {
    rule_set src;
    rule_set dst;
    ASSERT_EQ(src.load("@rule_mode and\nlevel <= 3\ntag find net"), "");
    ASSERT_EQ(dst.load("tag == zz"), "");
    ASSERT_EQ(qexpr_copy(dst.h, src.h), 0);
    EXPECT_EQ(dst.dump(), src.dump());
    EXPECT_EQ(dst.h->rule_mode, QEXPR_MODE_AND);
    // The copy is independent of its source.
    ASSERT_EQ(src.load("@rule_mode or; tag == x"), "");
    EXPECT_EQ(dst.drop(rec_tl("network", 2)), 0);
    EXPECT_EQ(dst.drop(rec_tl("sock", 2)), 1);
    EXPECT_EQ(qexpr_copy(dst.h, dst.h), 0);
    EXPECT_EQ(qexpr_copy(nullptr, src.h), -1);
    EXPECT_EQ(qexpr_main_rule_count(dst.h), 3u);
    EXPECT_EQ(qexpr_main_rule_count(nullptr), 0u);
}

TEST(QexprSets, SetRuleModeChangesTheVerdict) {
    rule_set s;
    ASSERT_EQ(s.load("level <= 3; tag find net"), "");
    EXPECT_EQ(s.drop(rec_tl("sock", 2)), 0);
    qexpr_set_rule_mode(s.h, QEXPR_MODE_AND);
    EXPECT_EQ(s.drop(rec_tl("sock", 2)), 1);
    qexpr_set_rule_mode(s.h, 5);
    EXPECT_EQ(s.h->rule_mode, QEXPR_MODE_OR);
}

TEST(QexprSets, LargeSetsLoadAndEvaluate) {
    std::string text;
    for (int i = 0; i < 50000; i++) text += "tag == t" + std::to_string(i) + "\n";
    rule_set s;
    ASSERT_EQ(s.load(text), "");
    EXPECT_EQ(qexpr_main_rule_count(s.h), 50000u);
    EXPECT_EQ(s.drop(rec_tl("t49999", 6)), 0);
    EXPECT_EQ(s.drop(rec_tl("none", 6)), 1);
}

TEST(QexprSets, LoadsRacingEvaluationsSeeWholeRuleSets) {
    // Both texts keep "keep" records and drop "drop" records, each by other
    // rules; a half-swapped set would give another verdict for one of them.
    const char* texts[] = {
        "@rule_mode and\n!tag != keep\ntag == never\n",
        "@rule_mode or\ntag == keep\nmsg == never\n",
    };
    rule_set s;
    ASSERT_EQ(s.load(texts[0]), "");
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; t++) {
        readers.emplace_back([&] {
            const log_rec keep = rec_tl("keep", 6);
            const log_rec drop = rec_tl("drop", 6);
            int rounds = 0;
            while (!done.load() || rounds < 100) {
                if (s.drop(keep) != 0 || s.drop(drop) != 1) wrong++;
                char* d = qexpr_dump_rules_str(s.h);
                pl_free(d);
                rounds++;
            }
        });
    }
    for (int i = 0; i < 400; i++) ASSERT_EQ(s.load(texts[i % 2]), "");
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}
