#include "libpal/memory/random.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
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

TEST(MemoryRandom, U32AndRangeFollowRand) {
    srand(11);
    uint32_t r1 = static_cast<uint32_t>(rand()), r2 = static_cast<uint32_t>(rand());
    srand(11);
    EXPECT_EQ(memory_random_u32(), (r1 << 16) | (r2 & 0xffff));

    srand(12);
    for (int i = 0; i < 200; i++) {
        uint32_t v = memory_random_range(10, 20);
        ASSERT_GE(v, 10u);
        ASSERT_LT(v, 20u);
    }
    for (int i = 0; i < 50; i++) {
        auto v = static_cast<int32_t>(memory_random_range(-10, -5));
        ASSERT_GE(v, -10);
        ASSERT_LT(v, -5);
    }
}

// A one-value range far from 0 is hit by no draw and no low half: the
// answer still comes after a bounded number of draws. An empty range is
// refused rather than drawing for ever.
TEST(MemoryRandom, RangeNeverDrawsForEver) {
    EXPECT_EQ(memory_random_range(70000, 70001), 70000u);
    log_capture cap;
    EXPECT_EQ(memory_random_range(5, 5), 5u);
    EXPECT_EQ(memory_random_range(9, 3), 9u);
    EXPECT_EQ(cap.count(3), 2u) << cap.all();
}

TEST(MemoryRandom, AlnumText) {
    memory_random_seed(1001);
    char text[9];
    std::memset(text, 'Z', sizeof text);
    memory_random_alnum(text, sizeof text);
    uint64_t x = 1000;
    for (int i = 0; i < 8; i++) {
        x = xorshift(x);
        EXPECT_EQ(text[i], k_alnum_alphabet[static_cast<uint32_t>(x) % 62]) << i;
    }
    EXPECT_EQ(text[8], 0);

    // A one-byte buffer gets its terminator, a zero-size one nothing.
    char one[2] = {'Z', 'Z'};
    memory_random_alnum(one, 1);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], 'Z');
    memory_random_alnum(one + 1, 0);
    EXPECT_EQ(one[1], 'Z');
}

TEST(MemoryRandom, AdditiveGenerator) {
    // The definition: 31 words from a 64-bit congruential walk, word 0 made
    // odd, indices 3 and 0, each draw adds and returns the sum shifted right.
    uint32_t w[31];
    uint64_t s = 0xC0FFEE;
    for (auto& v : w) {
        s = s * 0x5851f42d4c957f2dULL + 1;
        v = static_cast<uint32_t>(s >> 32);
    }
    w[0] |= 1;
    memory_srandom(0xC0FFEE);
    unsigned i = 3, j = 0;
    for (int n = 0; n < 100; n++) {
        w[i] += w[j];
        ASSERT_EQ(memory_random31(), w[i] >> 1) << n;
        i = (i + 1) % 31;
        j = (j + 1) % 31;
    }
}

// Keys and identifiers come from the system: texts of the alphabet only,
// every character reachable, two texts never alike, rand() left alone.
TEST(MemoryRandom, StrongAlnumText) {
    srand(99);
    int expect = rand();
    srand(99);
    std::vector<char> a(4096, 'Z'), b(4096, 'Z');
    ASSERT_EQ(memory_random_alnum_strong(a.data(), a.size()), 0);
    ASSERT_EQ(memory_random_alnum_strong(b.data(), b.size()), 0);
    EXPECT_EQ(a[4095], 0);
    EXPECT_EQ(strlen(a.data()), 4095u);
    std::set<char> used;
    for (size_t k = 0; k < 4095; k++) {
        ASSERT_NE(strchr(k_alnum_alphabet, a[k]), nullptr) << k;
        used.insert(a[k]);
    }
    EXPECT_EQ(used.size(), 62u);
    EXPECT_NE(std::string(a.data()), std::string(b.data()));
    EXPECT_EQ(rand(), expect);

    char none = 'Z';
    EXPECT_EQ(memory_random_alnum_strong(&none, 0), 0);
    EXPECT_EQ(none, 'Z');
    unsigned char raw[33] = {};
    EXPECT_EQ(memory_random_strong(raw, sizeof raw), 0);
}

}  // namespace
