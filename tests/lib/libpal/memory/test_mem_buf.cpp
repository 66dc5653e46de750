#include "libpal/memory/mem_buf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(MemBuf, GrowsInPageStepsToTwiceTheNeed) {
    mem_buf b;
    ASSERT_EQ(mem_buf_init(&b, 0), 0);
    EXPECT_EQ(b.cap, 0u);
    ASSERT_EQ(mem_buf_add(&b, "0123456789", 10), 0);
    EXPECT_EQ(b.len, 10u);
    EXPECT_EQ(b.cap, 4096u);

    // 4000 more: need 4011 fits; then 100 more: need 4111 > 4096, reserve
    // 8222, rounded to 12288.
    std::string big(4000, 'x');
    ASSERT_EQ(mem_buf_add(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.cap, 4096u);
    ASSERT_EQ(mem_buf_add(&b, big.data(), 100), 0);
    EXPECT_EQ(b.len, 4110u);
    EXPECT_EQ(b.cap, 12288u);
    EXPECT_EQ(memcmp(b.data, "0123456789", 10), 0);
    EXPECT_EQ(b.data[4109], 'x');

    EXPECT_EQ(mem_buf_reserve(&b, 100), 0);
    EXPECT_EQ(b.cap, 12288u) << "never shrinks";
    EXPECT_EQ(mem_buf_set_len(&b, 20000), 0);
    EXPECT_EQ(b.len, 20000u);
    EXPECT_EQ(b.cap, 20480u);
    EXPECT_EQ(mem_buf_clear(&b), 0);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(mem_buf_exit(&b), 0);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);

    ASSERT_EQ(mem_buf_init(&b, 1), 0);
    EXPECT_EQ(b.cap, 4096u);
    EXPECT_EQ(mem_buf_add(&b, nullptr, 0), 0);
    EXPECT_EQ(mem_buf_add(&b, nullptr, 3), -1);
    EXPECT_EQ(mem_buf_add(&b, "a", SIZE_MAX), -1) << "a size that cannot fit leaves the buffer";
    EXPECT_EQ(mem_buf_reserve(&b, SIZE_MAX), -1);
    EXPECT_EQ(b.cap, 4096u);
    mem_buf_exit(&b);
}

}  // namespace
