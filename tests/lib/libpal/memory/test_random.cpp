#include "libpal/memory/random.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/log_capture.h"

namespace {

uint64_t xorshift(uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

TEST(MemoryRandom, XorshiftFillFromTheSeed) {
    memory_random_seed(12346);  // state 12345
    unsigned char buf[13];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(memory_random(buf, sizeof buf), 13u);
    uint64_t first = xorshift(12345), second = xorshift(first);
    unsigned char want[16];
    std::memcpy(want, &first, 8);
    std::memcpy(want + 8, &second, 8);
    EXPECT_EQ(std::memcmp(buf, want, 13), 0) << "one whole word, then the first 5 bytes of the next";
    EXPECT_EQ(memory_xorshift64(), xorshift(second)) << "the fill advanced the shared state";
}

TEST(MemoryRandom, SeedOneGivesZeros) {
    memory_random_seed(1);
    std::vector<unsigned char> buf(37, 0xEE);
    memory_random(buf.data(), buf.size());
    EXPECT_EQ(buf, std::vector<unsigned char>(37, 0));
    EXPECT_EQ(memory_random_u64(), 0u);
    memory_random_seed(99);
}

TEST(MemoryRandom, RandModeFollowsRand) {
    srand(7);
    uint64_t words[2];
    for (uint64_t& w : words) {
        uint64_t r1 = static_cast<uint32_t>(rand()), r2 = static_cast<uint32_t>(rand());
        uint64_t r3 = static_cast<uint32_t>(rand()), r4 = static_cast<uint32_t>(rand());
        w = ((((r1 << 16) | (r2 & 0xffff)) & 0xffffffffu) << 32) | (((r3 << 16) | (r4 & 0xffff)) & 0xffffffffu);
    }
    srand(7);
    unsigned char buf[11];
    EXPECT_EQ(memory_random_imp(1, buf, sizeof buf), 11u);
    EXPECT_EQ(std::memcmp(buf, &words[0], 8), 0);
    EXPECT_EQ(std::memcmp(buf + 8, &words[1], 3), 0);

    unsigned char seeded[9];
    EXPECT_EQ(memory_random_seeded(seeded, sizeof seeded), 9u);
}

TEST(MemoryRandom, EmptyAndMissingBuffers) {
    unsigned char b = 0x11;
    EXPECT_EQ(memory_random(&b, 0), 0u);
    EXPECT_EQ(b, 0x11);
    log_capture cap;
    EXPECT_EQ(memory_random(nullptr, 8), ~0ULL);
    EXPECT_TRUE(cap.contains("expr[buf]: assert failed")) << cap.all();
}

}  // namespace
