// Option tables: "k=v" texts kept per row, applied to their targets, freed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "libpal/env/os_opt.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

namespace {

struct targets {
    uint32_t port = 7;
    char* name = nullptr;
    ~targets() { pl_free(name); }
};

TEST(OsOpt, KeyValueTextsAreKeptAndApplied) {
    targets t;
    os_opt_row table[] = {{"A", &t.port, OS_OPT_U32, nullptr}, {"Name", &t.name, 0, nullptr}, {nullptr, nullptr, 0, nullptr}};
    struct row {
        const char* text;
        int result;
        const char* log;  // expected err line, or nullptr
    };
    const row rows[] = {
        {"a=1", 0, nullptr},
        {"NAME=first", 0, nullptr},
        {"name=second", 0, nullptr},  // replaces the kept value
        {"b=2", -1, "unsupported key [b]\n"},
        {"novalue", -1, "novalue syntax error Example: k=v\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        log_capture cap;
        EXPECT_EQ(os_opt_kv_get(table, r.text), r.result);
        if (r.log) {
            ASSERT_EQ(cap.count(), 1u);
            EXPECT_EQ(cap.lines()[0].text, r.log);
            EXPECT_EQ(cap.lines()[0].level, 3u);
        } else {
            EXPECT_EQ(cap.count(), 0u);
        }
    }
    EXPECT_EQ(t.port, 7u) << "nothing is written before os_opt_load";
    EXPECT_EQ(os_opt_load(table), 0);
    EXPECT_EQ(t.port, 1u);
    ASSERT_NE(t.name, nullptr);
    EXPECT_STREQ(t.name, "second");
    EXPECT_NE(t.name, table[1].value) << "the target gets its own copy";
    EXPECT_EQ(os_opt_free(table), 0);
    EXPECT_EQ(table[0].value, nullptr);
    EXPECT_EQ(table[1].value, nullptr);
    EXPECT_STREQ(t.name, "second");
}

TEST(OsOpt, SetWritesStraightToTheTarget) {
    targets t;
    os_opt_row table[] = {{"port", &t.port, OS_OPT_U32, nullptr}, {"name", &t.name, 0, nullptr}, {nullptr, nullptr, 0, nullptr}};
    EXPECT_EQ(os_opt_kv_set2(table, "PORT", "8080"), 0);
    EXPECT_EQ(t.port, 8080u);
    EXPECT_EQ(table[0].value, nullptr);
    log_capture cap;
    EXPECT_EQ(os_opt_kv_set2(table, "host", "x"), -1);
    EXPECT_TRUE(cap.contains("unsupported key=[host] val=[x]\n"));
}

TEST(OsOptDeathTest, ListPrintsTheKeysAndEndsWithZero) {
    uint32_t a = 0;
    os_opt_row table[] = {{"alpha", &a, OS_OPT_U32, nullptr}, {"beta", &a, OS_OPT_U32, nullptr}, {nullptr, nullptr, 0, nullptr}};
    EXPECT_EXIT(os_opt_kv_get(table, "list"), testing::ExitedWithCode(0),
                "^support the following key settings\nalpha\nbeta\n$");
}

}  // namespace
