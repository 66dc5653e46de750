// Value readers over format texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libbsv/bsv_value.h"
#include "support/log_capture.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

TEST(BsvValue, OffsetsOfIntegersAndStrings) {
    bsv_value_ctx* v = bsv_value_init("a-u8,b-u32,c|d-str", 0);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(bsv_value_get_count(v), 4u);
    const uint32_t offsets[] = {0, 1, 5};
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(bsv_value_get_name(v, i)->offset, offsets[i]);
    EXPECT_EQ(bsv_value_get_name(v, 3)->type, VALUE_TYPE_STRING);
    EXPECT_EQ(bsv_value_get_name(v, 4), nullptr);

    auto rec = bytes({0x7f, 0x01, 0x02, 0x03, 0x04, 'h', 'e', 'y', 0, 'y', 'o', 0});
    auto n = static_cast<uint32_t>(rec.size());
    EXPECT_EQ(bsv_value_get_u8(v, rec.data(), n, 0), 0x7f);
    EXPECT_EQ(bsv_value_get_u32(v, rec.data(), n, 1), 0x04030201u);
    EXPECT_STREQ(bsv_value_get_str(v, rec.data(), n, 2), "hey");
    EXPECT_STREQ(bsv_value_get_str(v, rec.data(), n, 3), "yo");
    EXPECT_EQ(bsv_value_get_name(v, 3)->offset, 5u + 3 + 1);  // per record
    uint64_t val = 0;
    EXPECT_EQ(bsv_value_find(v, rec.data(), n, "b", &val), static_cast<int>(VALUE_TYPE_U32));
    EXPECT_EQ(val, 0x04030201u);
    EXPECT_EQ(bsv_value_find(v, rec.data(), n, "zz", &val), -1);
    bsv_value_exit(v);

    // The other byte order.
    v = bsv_value_init("a-u8,b-u32,c|d-str", 1);
    EXPECT_EQ(bsv_value_get_u32(v, rec.data(), n, 1), 0x01020304u);
    bsv_value_exit(v);
}

TEST(BsvValue, MalformedFormatsMakeNoReader) {
    const char* bad[] = {"a", "a-u24", "a-u8,b", "-u8", "a-u8,|b-str", "s-str,a-u8",
                         "abcdefghijklmnopqrstuvwxyz0123456-u8"};
    for (const char* f : bad) {
        log_capture cap(8);
        EXPECT_EQ(bsv_value_init(f, 0), nullptr) << f;
        EXPECT_TRUE(cap.contains("value_get_info failed")) << f << ": " << cap.all();
    }
    log_capture cap(8);
    EXPECT_EQ(bsv_value_init("a-u24", 0), nullptr);
    EXPECT_TRUE(cap.contains("type=[u24] error"));
}

TEST(BsvValue, ReadsStayInsideTheRecord) {
    bsv_value_ctx* v = bsv_value_init("a-u16,b-u64,c|d-str", 0);
    ASSERT_NE(v, nullptr);
    // Too short for b, and texts without terminators.
    auto rec = bytes({1, 0, 2, 2, 'x', 'y'});
    auto n = static_cast<uint32_t>(rec.size());
    EXPECT_EQ(bsv_value_get_u16(v, rec.data(), n, 0), 1);
    EXPECT_EQ(bsv_value_get_u64(v, rec.data(), n, 1), 0u);
    EXPECT_STREQ(bsv_value_get_str(v, rec.data(), n, 2), "");
    EXPECT_STREQ(bsv_value_get_str(v, rec.data(), n, 3), "");
    // The first text terminated, the second running off the end.
    auto rec2 = bytes({1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 'o', 'k', 0, 'n', 'o'});
    EXPECT_STREQ(bsv_value_get_str(v, rec2.data(), static_cast<uint32_t>(rec2.size()), 2), "ok");
    EXPECT_STREQ(bsv_value_get_str(v, rec2.data(), static_cast<uint32_t>(rec2.size()), 3), "");

    // Failed checks are logged and give 0.
    log_capture cap(8);
    EXPECT_EQ(bsv_value_get(v, rec.data(), n, 9), 0u);
    EXPECT_TRUE(cap.contains("idx<ctx->count_idx"));
    EXPECT_EQ(bsv_value_get_u32(v, rec2.data(), static_cast<uint32_t>(rec2.size()), 2), 0u);
    EXPECT_TRUE(cap.contains("ctx->val[idx].type!=VALUE_TYPE_STRING"));
    EXPECT_EQ(bsv_value_get_str(v, rec2.data(), static_cast<uint32_t>(rec2.size()), 0), nullptr);
    EXPECT_TRUE(cap.contains("ctx->val[idx].type==VALUE_TYPE_STRING"));
    bsv_value_exit(v);
}

}  // namespace
