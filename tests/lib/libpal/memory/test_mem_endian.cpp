#include "libpal/memory/mem_endian.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Usable in constant expressions.
constexpr uint8_t k_be16[2] = {0x12, 0x34};
static_assert(mem_get_u16(0, k_be16, 0) == 0x3412);
static_assert(mem_get_u16(1, k_be16, 0) == 0x1234);
constexpr uint64_t stored_be64() {
    uint8_t b[9]{};
    mem_set_u64(1, b, 1, 0x0102030405060708ull);
    return mem_get_u64(0, b, 1);
}
static_assert(stored_be64() == 0x0807060504030201ull);

const uint8_t k_bytes[] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

struct get_case {
    int swap;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
};

// Loads at offset 1 (unaligned): swap 0 is host (little-endian) order; any
// other swap value reverses.
TEST(MemEndian, LoadsReverseForEveryNonZeroSwap) {
    const get_case cases[] = {
        {0, 0x0201, 0x04030201, 0x0807060504030201ull},
        {1, 0x0102, 0x01020304, 0x0102030405060708ull},
        {2, 0x0102, 0x01020304, 0x0102030405060708ull},
        {-1, 0x0102, 0x01020304, 0x0102030405060708ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swap);
        EXPECT_EQ(mem_get_u16(c.swap, k_bytes, 1), c.u16);
        EXPECT_EQ(mem_get_u32(c.swap, k_bytes, 1), c.u32);
        EXPECT_EQ(mem_get_u64(c.swap, k_bytes, 1), c.u64);
        // The void* forms agree.
        EXPECT_EQ(mem_get_u32(c.swap, static_cast<const void*>(k_bytes), 1), c.u32);
    }
}

// Stores reverse only for swap 1: swap 2 stores in host order.
TEST(MemEndian, StoresReverseOnlyForSwapOne) {
    struct set_case {
        int swap;
        bool reversed;
    };
    const set_case cases[] = {{0, false}, {1, true}, {2, false}, {-1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swap);
        uint8_t b[12];
        memset(b, 0xEE, sizeof b);
        EXPECT_EQ(mem_set_u16(c.swap, b, 1, 0x0102), 0x0102);
        const uint8_t want16[] = {0xEE, uint8_t(c.reversed ? 0x01 : 0x02), uint8_t(c.reversed ? 0x02 : 0x01), 0xEE};
        EXPECT_EQ(memcmp(b, want16, sizeof want16), 0);

        mem_set_u32(c.swap, b, 3, 0x01020304);
        EXPECT_EQ(mem_get_u32(c.reversed ? 1 : 0, b, 3), 0x01020304u);
        mem_set_u64(c.swap, static_cast<void*>(b), 3, 0x0102030405060708ull);
        EXPECT_EQ(mem_get_u64(c.reversed ? 1 : 0, b, 3), 0x0102030405060708ull);
        EXPECT_EQ(b[2], c.reversed ? 0x02 : 0x01) << "the u16 before it is untouched";
        EXPECT_EQ(b[11], 0xEE);
    }
}

}  // namespace
