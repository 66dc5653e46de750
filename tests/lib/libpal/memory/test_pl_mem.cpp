#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/text_buf.h"
#include "support/log_capture.h"

namespace {

bool aligned(const void* p, uintptr_t a) { return (reinterpret_cast<uintptr_t>(p) & (a - 1)) == 0; }

TEST(PlMem, CountersReturnToBaselineAndPeaksRise) {
    pl_mem_stat before = pl_mem_stat_get();
    void* p = pl_malloc(100);
    ASSERT_NE(p, nullptr);
    pl_mem_stat mid = pl_mem_stat_get();
    EXPECT_EQ(mid.malloc_count, before.malloc_count + 1);
    EXPECT_EQ(mid.malloc_bytes, before.malloc_bytes + 100);
    EXPECT_GE(mid.malloc_max_size, 100u);
    EXPECT_GE(mid.malloc_max_count, mid.malloc_count);
    EXPECT_GE(mid.malloc_max_bytes, mid.malloc_bytes);
    pl_free(p);
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
    pl_free(nullptr);
}

TEST(PlMem, EveryBlockKeeps16ByteAlignment) {
    std::vector<void*> blocks;
    for (size_t n : {0, 1, 3, 4, 7, 15, 16, 17, 100, 4095, 65537}) {
        void* p = pl_malloc(n);
        ASSERT_NE(p, nullptr) << n;
        EXPECT_TRUE(aligned(p, 16)) << n;
        memset(p, 0xAB, n);
        blocks.push_back(p);
    }
    for (void* p : blocks) pl_free(p);
}

TEST(PlMem, ReallocNeverShrinksZeroFreesGrowCopies) {
    auto* p = static_cast<unsigned char*>(pl_malloc(100));
    for (int i = 0; i < 100; ++i) p[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(pl_realloc(p, 50), p);
    auto* q = static_cast<unsigned char*>(pl_realloc(p, 200));
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(q[i], i);
    pl_mem_stat before = pl_mem_stat_get();
    EXPECT_EQ(pl_realloc(q, 0), nullptr);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, before.malloc_count - 1);
    void* r = pl_realloc(nullptr, 64);
    EXPECT_NE(r, nullptr);
    pl_free(r);
}

TEST(PlMem, CallocZeroesAndStrdupCopies) {
    auto* p = static_cast<unsigned char*>(pl_calloc(10, 10));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    pl_free(p);
    char* s = pl_strdup("abc");
    EXPECT_STREQ(s, "abc");
    pl_free(s);
    EXPECT_EQ(pl_strdup(nullptr), nullptr);
    char* n = pl_strndup("abcdef", 3);
    EXPECT_STREQ(n, "abc");
    pl_free(n);
    EXPECT_EQ(pl_strnlen("abcdef", 4), 4u);
    EXPECT_EQ(pl_strnlen("ab", 4), 2u);
}

TEST(PlMem, RequestsThatCannotFitFailWithoutAllocating) {
    log_capture cap;
    pl_mem_stat before = pl_mem_stat_get();
    EXPECT_EQ(pl_calloc(SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(pl_calloc(0x100000000ull, 0x100000000ull), nullptr);
    EXPECT_EQ(pl_malloc(SIZE_MAX), nullptr);
    EXPECT_EQ(pl_malloc(SIZE_MAX - 8), nullptr);
    EXPECT_EQ(pl_aligned_alloc(SIZE_MAX - 4, 64), nullptr);
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
    EXPECT_TRUE(cap.contains("malloc failed"));
    EXPECT_EQ(cap.count(3), cap.count());
}

TEST(PlMem, ReallocFailureKeepsOldBlock) {
    log_capture cap;
    char* p = static_cast<char*>(pl_malloc(8));
    strcpy(p, "keep");
    EXPECT_EQ(pl_realloc(p, SIZE_MAX), nullptr);
    EXPECT_STREQ(p, "keep");
    pl_free(p);
}

TEST(PlMem, AlignedBlocks) {
    pl_mem_stat before = pl_mem_stat_get();
    for (size_t a : {1, 2, 8, 16, 64, 4096}) {
        void* p = pl_aligned_alloc(1000, a);
        ASSERT_NE(p, nullptr) << a;
        EXPECT_TRUE(aligned(p, a)) << a;
        memset(p, 0x5A, 1000);
        pl_aligned_free(p);
    }
    pl_aligned_free(nullptr);
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
    log_capture cap;
    EXPECT_EQ(pl_aligned_alloc(100, 48), nullptr);
    EXPECT_EQ(pl_aligned_alloc(100, 0), nullptr);
    EXPECT_EQ(cap.count(3), 2u);
}

TEST(PlMem, CountersExactUnderEightThreads) {
    pl_mem_stat before = pl_mem_stat_get();
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < 20000; ++i) {
                void* p = pl_malloc(static_cast<size_t>(1 + (i + t) % 300));
                void* q = pl_aligned_alloc(64, 32);
                pl_free(p);
                pl_aligned_free(q);
            }
        });
    for (auto& t : ts) t.join();
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(PlMem, AllocatingPrint) {
    char* out = nullptr;
    EXPECT_EQ(os_asprintf(&out, "%d-%s", 7, "abc"), 5);
    EXPECT_STREQ(out, "7-abc");
    pl_free(out);
    std::unique_ptr<text_buf, text_buf_deleter> s(pl_mem_stat_str());
    ASSERT_NE(s, nullptr);
    // Five lines, in this order, each ending in a line break.
    std::string text(text_buf_str(s.get()));
    EXPECT_EQ(text.size(), s->len);
    size_t at = 0;
    for (const char* k : {"malloc_count=", "malloc_bytes=", "malloc_max_size=", "malloc_max_count=", "malloc_max_bytes="}) {
        EXPECT_EQ(text.compare(at, strlen(k), k), 0) << k;
        at = text.find('\n', at);
        ASSERT_NE(at, std::string::npos) << k;
        ++at;
    }
    EXPECT_EQ(at, text.size());
}

}  // namespace
