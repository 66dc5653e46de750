#include "libpal/memory/mem_add.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/hash/crc.h"
#include "support/log_capture.h"

namespace {

struct acc_deleter {
    void operator()(mem_add_ctx* c) const { mem_add_free(c); }
};
using acc_ptr = std::unique_ptr<mem_add_ctx, acc_deleter>;

std::string sums_of(mem_add_ctx* a) {
    char text[256];
    EXPECT_EQ(mem_add_get_sum(a, text, sizeof text), 0);
    return text;
}

TEST(MemAdd, SumsRecordsAndDigest) {
    acc_ptr a(mem_add_malloc(2, 3, nullptr));
    ASSERT_TRUE(a);
    const uint8_t d0[] = {0xFF, 0x01}, d1[] = {0x01, 0x02}, d2[] = {0x00, 0xA0};
    mem_add_buf(a.get(), d0, 0);
    mem_add_buf(a.get(), d1, 1);
    mem_add_buf(a.get(), d2, 2);
    EXPECT_EQ(sums_of(a.get()), "100,a3");
    EXPECT_EQ(mem_add_get_total(a.get()), 3u);

    char rec[64];
    EXPECT_EQ(mem_add_get_record(a.get(), rec, sizeof rec), 0);
    EXPECT_STREQ(rec, "FF01|0102|00A0");

    // A sum of 256 gives the CRC-8 of 00 01 00 00.
    uint8_t digest[2];
    EXPECT_EQ(mem_add_get_digest(a.get(), digest, 1), -1);
    EXPECT_EQ(mem_add_get_digest(a.get(), digest, sizeof digest), 0);
    EXPECT_EQ(digest[0], 0x6B);
    const uint8_t le_a3[] = {0xA3, 0, 0, 0};
    EXPECT_EQ(digest[1], hash_crc8(le_a3, 4, 0));

    mem_add_clear_record(a.get());
    EXPECT_EQ(mem_add_get_record(a.get(), rec, sizeof rec), 0);
    EXPECT_STREQ(rec, "");
    EXPECT_EQ(sums_of(a.get()), "100,a3");
    mem_add_clear_sum(a.get());
    EXPECT_EQ(sums_of(a.get()), "0,0");
    EXPECT_EQ(mem_add_get_total(a.get()), 3u);
}

TEST(MemAdd, SetSumNeedsExactlyNHexFields) {
    acc_ptr a(mem_add_malloc(3, 2, nullptr));
    ASSERT_TRUE(a);
    struct set_case {
        const char* text;
        int rc;
        const char* sums;
    };
    const set_case cases[] = {
        {"1,2,3", 0, "1,2,3"},
        {"ffffffff,A0,123456789", 0, "ffffffff,a0,23456789"},  // the low 32 bits
        {"1,2", -1, "ffffffff,a0,23456789"},                   // n - 1 fields
        {"1,2,3,4", -1, "ffffffff,a0,23456789"},
        {"1,,3", -1, "ffffffff,a0,23456789"},
        {"1,zz,3", -1, "ffffffff,a0,23456789"},
        {"1,-2,3", -1, "ffffffff,a0,23456789"},
        {"", -1, "ffffffff,a0,23456789"},
        {"10,20,30\r", 0, "10,20,30"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        mem_add_buf(a.get(), "abc", 0);
        mem_add_set_sum(a.get(), "0,0,0");
        ASSERT_EQ(mem_add_set_sum(a.get(), "ffffffff,A0,123456789"), 0);
        mem_add_buf(a.get(), "\0\0\0", 1);
        EXPECT_EQ(mem_add_set_sum(a.get(), c.text), c.rc);
        EXPECT_EQ(sums_of(a.get()), c.sums);
        EXPECT_EQ(a->now_r_count, 0) << "the record count restarts either way";
    }
    // A sum text round-trips.
    std::string saved = sums_of(a.get());
    acc_ptr b(mem_add_malloc(3, 2, saved.c_str()));
    ASSERT_TRUE(b);
    EXPECT_EQ(sums_of(b.get()), saved);
}

// A saved text that does not load must not give an accumulator silently
// restarted from zero sums.
TEST(MemAdd, UnloadableSavedSumsFailTheCreation) {
    log_capture cap;
    EXPECT_EQ(mem_add_malloc(4, 1, "1,2,3"), nullptr);
    EXPECT_TRUE(cap.contains("set_sum [1,2,3] failed")) << cap.all();
    acc_ptr fresh(mem_add_malloc(4, 1, ""));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(sums_of(fresh.get()), "0,0,0,0");
}

// An index outside the record slots is logged and not stored (nothing is
// written past the records), but the digest still counts in the sums; the
// record text covers only the slots that exist.
TEST(MemAdd, OutOfRangeRecordIndexIsNotStored) {
    acc_ptr a(mem_add_malloc(2, 2, nullptr));
    ASSERT_TRUE(a);
    log_capture cap;
    const uint8_t d[] = {1, 2};
    mem_add_buf(a.get(), d, 0);
    mem_add_buf(a.get(), d, 1);
    mem_add_buf(a.get(), d, 2);
    mem_add_buf(a.get(), d, -1);
    mem_add_buf(a.get(), nullptr, 0);
    EXPECT_TRUE(cap.contains("expr[r_idx >= 0 && r_idx < ctx->r_count]: assert failed"));
    EXPECT_TRUE(cap.contains("expr[buf != NULL]: assert failed"));
    EXPECT_EQ(sums_of(a.get()), "4,8");
    char rec[64];
    EXPECT_EQ(mem_add_get_record(a.get(), rec, sizeof rec), 0);
    EXPECT_STREQ(rec, "0102|0102");
    EXPECT_TRUE(cap.contains("expr[ctx->now_r_count <= ctx->r_count]: assert failed"));
}

// Texts that do not fit are refused whole, never cut into a shorter text
// that would still load.
TEST(MemAdd, TextsThatDoNotFitAreRefused) {
    acc_ptr a(mem_add_malloc(2, 2, "1234,5678"));
    ASSERT_TRUE(a);
    char small[9];
    EXPECT_EQ(mem_add_get_sum(a.get(), small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    char exact[10];
    EXPECT_EQ(mem_add_get_sum(a.get(), exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "1234,5678");
    mem_add_buf(a.get(), "\x01\x02", 0);
    EXPECT_EQ(mem_add_get_record(a.get(), small, 4), -1);
    EXPECT_STREQ(small, "");
}

// Pool tasks add their digests concurrently.
TEST(MemAdd, ConcurrentAddsAllCount) {
    constexpr int k_threads = 4;
    constexpr int k_per_thread = 2000;
    for (int round = 0; round < 5; round++) {
        acc_ptr a(mem_add_malloc(4, k_threads * k_per_thread, nullptr));
        ASSERT_TRUE(a);
        std::vector<std::thread> tasks;
        for (int t = 0; t < k_threads; t++)
            tasks.emplace_back([&, t] {
                for (int i = 0; i < k_per_thread; i++) {
                    const uint8_t d[4] = {1, static_cast<uint8_t>(t), 0xFF, static_cast<uint8_t>(i)};
                    mem_add_buf(a.get(), d, t * k_per_thread + i);
                }
            });
        for (auto& t : tasks) t.join();
        EXPECT_EQ(mem_add_get_total(a.get()), uint64_t{k_threads} * k_per_thread);
        uint64_t want3 = 0;
        for (int i = 0; i < k_per_thread; i++) want3 += static_cast<uint8_t>(i);
        char want[64];
        snprintf(want, sizeof want, "%x,%x,%x,%x", k_threads * k_per_thread, (0 + 1 + 2 + 3) * k_per_thread,
                 0xFF * k_threads * k_per_thread, static_cast<unsigned>(want3 * k_threads));
        EXPECT_EQ(sums_of(a.get()), want);
        EXPECT_EQ(a->records[(3 * k_per_thread + 7) * 4 + 1], 3);
        EXPECT_EQ(a->records[(3 * k_per_thread + 7) * 4 + 3], 7);
    }
}

// Going back to a mark takes back the sums, the counters and the records
// added since; a mark of another accumulator's size changes nothing.
TEST(MemAdd, RestoringAMarkTakesBackWhatCameAfterIt) {
    acc_ptr a(mem_add_malloc(2, 4, "10,20"));
    ASSERT_TRUE(a);
    const uint8_t d0[] = {0x01, 0x02}, d1[] = {0xFF, 0xFF};
    mem_add_buf(a.get(), d0, 0);
    mem_add_mark m{};
    ASSERT_EQ(mem_add_mark_take(a.get(), &m), 0);
    mem_add_buf(a.get(), d1, 1);
    mem_add_buf(a.get(), d1, 2);
    EXPECT_EQ(sums_of(a.get()), "20f,220");
    ASSERT_EQ(mem_add_mark_restore(a.get(), &m), 0);
    EXPECT_EQ(sums_of(a.get()), "11,22");
    EXPECT_EQ(mem_add_get_total(a.get()), 1u);
    char rec[64];
    EXPECT_EQ(mem_add_get_record(a.get(), rec, sizeof rec), 0);
    EXPECT_STREQ(rec, "0102");

    acc_ptr other(mem_add_malloc(3, 0, nullptr));
    ASSERT_TRUE(other);
    EXPECT_EQ(mem_add_mark_restore(other.get(), &m), -1);
    EXPECT_EQ(sums_of(other.get()), "0,0,0");
    mem_add_mark empty{};
    EXPECT_EQ(mem_add_mark_restore(a.get(), &empty), -1);
    acc_ptr wide(mem_add_malloc(MEM_ADD_MARK_MAX + 1, 0, nullptr));
    ASSERT_TRUE(wide);
    EXPECT_EQ(mem_add_mark_take(wide.get(), &m), -1);
    EXPECT_EQ(m.n, 0);
}

}  // namespace
