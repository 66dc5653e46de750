#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_map.h"
#include "support/log_capture.h"

namespace {

TEST(StrKv, GetTable) {
    const struct {
        const char* text;
        const char* key;
        int rc;
        const char* out;
    } rows[] = {
        {"sector_size=512&ro", "sector_size", 0, "512"},
        // a field without "=" does not hide the fields after it
        {"ro&sector_size=512", "sector_size", 0, "512"},
        {"ro", "ro", -1, ""},
        {"&&a=1&", "a", 0, "1"},
        {" a = x y &b=2", "a", 0, "x y"},
        {"a=b=c", "a", 0, "b=c"},
        {"a=", "a", 0, ""},
        {"A=1", "a", -1, ""},
        {"a=1&a=2", "a", 0, "1"},
        {"ab=1", "a", -1, ""},
        {"", "a", -1, ""},
    };
    for (const auto& r : rows) {
        char out[16] = "junk";
        EXPECT_EQ(str_kv_get_eq(r.text, "&", r.key, out, sizeof out), r.rc) << r.text;
        if (r.rc == 0) {
            EXPECT_STREQ(out, r.out) << r.text;
        }
    }
    char out[16];
    EXPECT_EQ(str_kv_get("k:v\r\nx:y", "\r\n", ':', "x", out, sizeof out), 0);
    EXPECT_STREQ(out, "y");
}

TEST(StrKv, ValueTooLongForOut) {
    log_capture cap;
    char out[4] = "zz";
    EXPECT_EQ(str_kv_get_eq("a=12345&b=1", "&", "a", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(cap.contains("need_size=6 buf_size=4 head=[12345]"));
}

TEST(StrKv, FieldAndKeyVal) {
    char out[8];
    EXPECT_STREQ(str_get_field("a,b,,c", ",", 1, out, sizeof out), "b");
    EXPECT_STREQ(str_get_field("a,b,,c", ",", 2, out, sizeof out), "");
    EXPECT_STREQ(str_get_field("a,b,,c", ",", 3, out, sizeof out), "c");
    EXPECT_EQ(str_get_field("a,b,,c", ",", 4, out, sizeof out), nullptr);
    EXPECT_EQ(str_get_field("abcdefgh", ",", 0, out, sizeof out), nullptr);
    char k[8], v[8];
    EXPECT_EQ(str_get_key_and_val("key=val=x", "=", k, sizeof k, v, sizeof v), 0);
    EXPECT_STREQ(k, "key");
    EXPECT_STREQ(v, "val");
    EXPECT_EQ(str_get_key_and_val("flag", "=", k, sizeof k, v, sizeof v), -1);
}

TEST(StrMap, CopiedEntries) {
    str_map* m = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->flags, 0x101u);
    EXPECT_EQ(str_map_add(m, "b", "2"), 0);
    EXPECT_EQ(str_map_add(m, "a", "1"), 0);
    EXPECT_EQ(str_map_add(m, "b", "9"), -1);  // present: refused, old value kept
    EXPECT_STREQ(str_map_find(m, "b"), "2");
    EXPECT_EQ(str_map_set(m, "b", "x"), 0);  // shorter or equal: in place
    EXPECT_STREQ(str_map_find(m, "b"), "x");
    EXPECT_EQ(str_map_set(m, "b", "a much longer value"), 0);  // a new entry block
    EXPECT_STREQ(str_map_find(m, "b"), "a much longer value");
    EXPECT_EQ(str_map_set(m, "c", ""), 0);
    ASSERT_EQ(m->count, 3u);
    EXPECT_STREQ(str_map_key(m, 0), "b");
    EXPECT_STREQ(str_map_value(m, 1), "1");
    EXPECT_STREQ(str_map_value(m, 2), "");
    EXPECT_EQ(str_map_key(m, 3), nullptr);
    EXPECT_EQ(str_map_find(m, "B"), nullptr);
    str_map_sort(m);
    EXPECT_STREQ(str_map_key(m, 0), "a");
    EXPECT_STREQ(str_map_key(m, 2), "c");
    EXPECT_EQ(str_map_add(m, "bb", "4"), 0);  // stays sorted
    EXPECT_STREQ(str_map_key(m, 2), "bb");
    EXPECT_EQ(str_map_find_index(m, "c"), 3);
    str_map_free(m);
}

TEST(StrMap, GrowsAndFreesOwnedValues) {
    str_map m{};
    m.cap = 2;  // a preset capacity
    ASSERT_EQ(str_map_init(&m, STR_MAP_FREE_VAL), 0);
    EXPECT_EQ(m.flags, STR_MAP_FREE_VAL + 8u);
    EXPECT_EQ(m.cap, 2u);
    static const char* keys[] = {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8", "k9",
                                 "ka", "kb", "kc", "kd", "ke", "kf", "kg", "kh", "ki", "kj"};
    for (const char* k : keys) ASSERT_EQ(str_map_add(&m, k, pl_strdup(k)), 0);
    EXPECT_EQ(m.count, 20u);
    EXPECT_GE(m.cap, 20u);
    EXPECT_STREQ(str_map_find(&m, "kj"), "kj");
    // Replacing an owned value frees the old one (the leak check of the
    // sanitizer build would report it otherwise).
    EXPECT_EQ(str_map_set(&m, "k0", pl_strdup("new")), 0);
    EXPECT_STREQ(str_map_find(&m, "k0"), "new");
    str_map_exit(&m);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(m.entries, nullptr);
}

}  // namespace
