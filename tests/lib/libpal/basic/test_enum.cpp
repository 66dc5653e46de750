// Code-to-name tables.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include "libpal/basic/pl_enum.h"

namespace {

TEST(PlEnum, NamesAndValues) {
    const pl_enum_row table[] = {
        {0, "none"}, {1, "read"}, {2, "write"}, {7, "seven"}, {8, nullptr}, {1, "again"},
    };
    const size_t rows = sizeof table / sizeof table[0];
    struct row {
        int32_t code;
        int32_t limit;
        const char* name;
    };
    const row cases[] = {
        {1, 3, "read"},
        {2, 3, "write"},
        {7, 3, "seven"},  // past the direct part: found by the search
        {3, 8, "unkown(3)"},  // the direct row holds another code, and no row has 3
        {-5, 3, "unkown(-5)"},
        {INT32_MIN, 3, "unkown(-2147483648)"},
        {7, 100, "seven"},  // a limit past the rows is not read beyond them
    };
    for (const row& r : cases) EXPECT_STREQ(pl_enum_name(r.code, r.limit, table, rows), r.name) << r.code;

    EXPECT_EQ(pl_enum_value("write", table, rows), 2);
    EXPECT_EQ(pl_enum_value("again", table, rows), 1);
    EXPECT_EQ(pl_enum_value("missing", table, rows), -1);
    EXPECT_EQ(pl_enum_value(nullptr, table, rows), -1);
    EXPECT_EQ(pl_enum_find_ptr(table[3].name, table, rows), 7);
    std::string copy = "seven";
    EXPECT_EQ(pl_enum_find_ptr(copy.c_str(), table, rows), -1);
}

// Each thread formats missing codes into its own text.
TEST(PlEnum, UnknownTextIsPerThread) {
    const pl_enum_row table[] = {{0, "zero"}};
    const char* mine = pl_enum_name(41, 1, table, 1);
    std::string theirs;
    std::thread([&] {
        theirs = pl_enum_name(42, 1, table, 1);
    }).join();
    EXPECT_STREQ(mine, "unkown(41)");
    EXPECT_EQ(theirs, "unkown(42)");
}

}  // namespace
