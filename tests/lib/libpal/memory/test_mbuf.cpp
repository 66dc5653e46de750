#include "libpal/memory/mbuf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "libpal/memory/mbuf2.h"
#include "support/log_capture.h"

namespace {

// ------------------------------------------------------------- block queue

TEST(Mbuf, InitRefusesBadSizes) {
    struct init_case {
        uint64_t all_size;
        uint32_t block_size;
        const char* message;
    };
    const init_case cases[] = {
        {2, 1, "expr[all_size>2]: assert failed"},
        {4096, 0, "expr[block_size>0]: assert failed"},
        {1000, 1024, "max_queue_size=0 <=0 error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        log_capture cap;
        EXPECT_EQ(mbuf_init(c.all_size, c.block_size), nullptr);
        EXPECT_TRUE(cap.contains(c.message)) << cap.all();
    }
    log_capture cap;
    EXPECT_EQ(mbuf_exit(nullptr), -1);
    EXPECT_TRUE(cap.contains("expr[h!=NULL]: assert failed"));
}

TEST(Mbuf, FullAfterMaxCountCommitsUntilReset) {
    mbuf_ctx* q = mbuf_init(4 * 64, 64);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->max_count, 4u);
    uint8_t* first = mbuf_get_write_block(q);
    ASSERT_EQ(first, q->data);
    for (int i = 0; i < 4; i++) {
        uint8_t* b = mbuf_get_write_block(q);
        ASSERT_EQ(b, q->data + 64 * i);
        EXPECT_EQ(mbuf_alloc_unref(q, 64), 0);
    }
    EXPECT_EQ(mbuf_get_write_block(q), nullptr);
    EXPECT_EQ(mbuf_is_full(q), 1);
    EXPECT_EQ(mbuf_alloc_unref(q, 64), -1) << "nothing to commit into";
    EXPECT_EQ(q->count, 4u);

    mbuf_reset(q);
    EXPECT_EQ(mbuf_is_empty(q), 1);
    EXPECT_EQ(mbuf_get_write_block(q), first);
    EXPECT_EQ(mbuf_exit(q), 0);
}

// Releases in the middle of a batch free room, but the batch still ends at
// max_count blocks: the next block would lie past the data area.
TEST(Mbuf, ReleasesDoNotLetABatchRunPastTheDataArea) {
    mbuf_ctx* q = mbuf_init(4 * 32, 32);
    ASSERT_NE(q, nullptr);
    uint8_t payload[32];
    for (int i = 0; i < 4; i++) {
        memset(payload, i, sizeof payload);
        ASSERT_EQ(mbuf_write(q, payload, sizeof payload), 0);
        uint64_t len = 0;
        ASSERT_NE(mbuf_peek(q, &len), nullptr);
        ASSERT_EQ(mbuf_release(q), 0);
    }
    EXPECT_EQ(q->count, 0u);
    EXPECT_EQ(mbuf_get_write_block(q), nullptr);
    EXPECT_EQ(mbuf_write(q, payload, sizeof payload), -1);
    EXPECT_EQ(mbuf_write_wait(q, payload, sizeof payload, 1), -1);
    EXPECT_EQ(mbuf_is_full(q), 1);
    EXPECT_EQ(mbuf_wait_empty(q, 0), 1);
    mbuf_exit(q);
}

TEST(Mbuf, PeekReportsEachBlocksCommittedLength) {
    mbuf_ctx* q = mbuf_init(4 * 4096, 4096);
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 2; i++) {
        ASSERT_NE(mbuf_get_write_block(q), nullptr);
        mbuf_alloc_unref(q, 4096);
    }
    mbuf_alloc_unref(q, 100);
    EXPECT_EQ(q->last_block, q->data + 2 * 4096);
    EXPECT_EQ(q->last_len, 100u);

    const uint64_t want[] = {4096, 4096, 100};
    for (uint64_t w : want) {
        uint64_t len = 0;
        uint8_t* b = mbuf_get_read_block(q, &len, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(len, w);
        mbuf_release(q);
    }
    uint64_t len = 7;
    EXPECT_EQ(mbuf_peek(q, &len), nullptr);
    EXPECT_EQ(len, 0u);
    mbuf_exit(q);
}

// Several short blocks in one batch each keep their own length.
TEST(Mbuf, ShortBlocksKeepTheirLengthsThroughCopies) {
    mbuf_ctx* q = mbuf_init(8 * 16, 16);
    ASSERT_NE(q, nullptr);
    const char* texts[] = {"abc", "0123456789abcdef", "xy"};
    for (const char* t : texts) ASSERT_EQ(mbuf_write(q, t, strlen(t)), 0);
    for (const char* t : texts) {
        char out[16];
        ASSERT_EQ(mbuf_read_wait(q, out, sizeof out, 0), static_cast<int64_t>(strlen(t)));
        EXPECT_EQ(std::string(out, strlen(t)), t);
    }
    char out[16];
    EXPECT_EQ(mbuf_read_wait(q, out, sizeof out, 0), 0) << "nothing committed";
    mbuf_exit(q);
}

TEST(Mbuf, BadArgumentsAreRefused) {
    mbuf_ctx* q = mbuf_init(4 * 16, 16);
    ASSERT_NE(q, nullptr);
    uint8_t buf[16] = {};
    log_capture cap;
    EXPECT_EQ(mbuf_alloc_unref(q, 0), -1);
    EXPECT_EQ(mbuf_alloc_unref(q, 17), -1);
    EXPECT_EQ(mbuf_write(q, nullptr, 4), -1);
    EXPECT_EQ(mbuf_write(q, buf, 17), -1);
    EXPECT_EQ(mbuf_read_wait(nullptr, buf, 16, 0), -1);
    EXPECT_EQ(mbuf_read_wait(q, nullptr, 16, 0), -1);
    EXPECT_EQ(mbuf_read_wait(q, buf, 15, 0), -1);
    EXPECT_EQ(mbuf_release(q), -1) << "nothing to release";
    EXPECT_EQ(q->count, 0u);
    for (const char* m : {"expr[size>0 && size<=ctx->block_size]", "expr[block!=NULL]", "expr[h!=NULL]",
                          "expr[buf!=NULL]", "expr[len>=ctx->block_size]"})
        EXPECT_TRUE(cap.contains(m)) << m;
    mbuf_exit(q);
}

TEST(Mbuf, WaitsTimeOutWhenNothingHappens) {
    mbuf_ctx* q = mbuf_init(2 * 16, 16);
    ASSERT_NE(q, nullptr);
    uint64_t len = 0;
    EXPECT_EQ(mbuf_get_read_block(q, &len, 2), nullptr);
    EXPECT_EQ(mbuf_wait_empty(q, 2), 1) << "an empty queue is empty at once";
    uint8_t buf[16] = {};
    ASSERT_EQ(mbuf_write(q, buf, 16), 0);
    EXPECT_EQ(mbuf_wait_empty(q, 2), 0);
    ASSERT_EQ(mbuf_write(q, buf, 16), 0);
    EXPECT_EQ(mbuf_is_full(q), 1);
    EXPECT_EQ(mbuf_write_wait(q, buf, 16, 1), -1);
    mbuf_exit(q);
}

// A wake that comes before the reader waits is kept: the reader's next wait
// ends at once without a block (a lost wake would hold this test until the
// test runner's time limit), and only that one wait.
TEST(Mbuf, WakeEndsTheReadersWaitEvenBeforeItWaits) {
    mbuf_ctx* q = mbuf_init(2 * 16, 16);
    ASSERT_NE(q, nullptr);
    uint64_t len = 0;
    mbuf_wake_reader(q);
    EXPECT_EQ(mbuf_get_read_block(q, &len, 3600 * 1000), nullptr);
    uint8_t buf[16] = {7};
    ASSERT_EQ(mbuf_write(q, buf, 16), 0);
    mbuf_wake_reader(q);
    EXPECT_NE(mbuf_get_read_block(q, &len, 3600 * 1000), nullptr) << "a committed block is still handed out";
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(mbuf_release(q), 0);
    EXPECT_EQ(mbuf_get_read_block(q, &len, 2), nullptr) << "the wake was taken by one wait";

    // A reader already waiting on another thread is woken too.
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        uint64_t n = 0;
        EXPECT_EQ(mbuf_get_read_block(q, &n, 3600 * 1000), nullptr);
        returned = true;
    });
    mbuf_wake_reader(q);
    reader.join();
    EXPECT_TRUE(returned);
    mbuf_exit(q);
}

// The job hand-over on real threads: the producer resets, fills a batch of
// random length (a short last block now and then) and waits until every block
// is released; the consumer takes blocks as they are committed. Every block
// carries (batch, index), so a block read twice, skipped, or read before its
// commit or after a reset shows as a break in the sequence.
struct stamp {
    uint32_t batch;
    uint32_t index;
    uint32_t check;
};

TEST(Mbuf, ProducerAndConsumerHandOverEveryBlockOnce) {
    constexpr uint32_t k_block = 256;
    constexpr uint32_t k_blocks = 8;
    constexpr int k_rounds = 20;
    constexpr uint32_t k_batches = 150;
    std::mt19937 rng(1234);
    for (int round = 0; round < k_rounds; round++) {
        SCOPED_TRACE(round);
        // Odd rounds: a consumer that polls without sleeping, so that it is
        // peeking while the producer resets.
        const uint32_t wait_ms = round % 2 ? 0 : 1;
        mbuf_ctx* q = mbuf_init(k_blocks * k_block, k_block);
        ASSERT_NE(q, nullptr);
        std::vector<uint32_t> lengths(k_batches);
        std::vector<uint64_t> want_lens;
        for (uint32_t b = 0; b < k_batches; b++) lengths[b] = 1 + rng() % k_blocks;

        std::atomic<bool> stop{false};
        std::vector<stamp> seen;
        std::vector<uint64_t> seen_lens;
        uint64_t bad_fill = 0;
        std::thread consumer([&] {
            while (!stop.load()) {
                uint64_t len = 0;
                uint8_t* b = mbuf_get_read_block(q, &len, wait_ms);
                if (!b) continue;
                stamp s;
                memcpy(&s, b, sizeof s);
                seen.push_back(s);
                seen_lens.push_back(len);
                for (uint64_t i = sizeof s; i < len; i++)
                    if (b[i] != static_cast<uint8_t>(s.check + i)) bad_fill++;
                mbuf_release(q);
            }
        });

        bool produced = true;
        for (uint32_t b = 0; b < k_batches && produced; b++) {
            mbuf_reset(q);
            for (uint32_t i = 0; i < lengths[b]; i++) {
                uint8_t* blk = mbuf_get_write_block(q);
                if (!blk) {
                    produced = false;
                    break;
                }
                stamp s{b, i, b * 31 + i};
                memcpy(blk, &s, sizeof s);
                uint32_t len = (i + 1 == lengths[b] && b % 3 == 0) ? 12 + b % 200 : k_block;
                for (uint32_t k = sizeof s; k < len; k++) blk[k] = static_cast<uint8_t>(s.check + k);
                want_lens.push_back(len);
                mbuf_alloc_unref(q, len);
            }
            while (!mbuf_wait_empty(q, 1)) {
            }
        }
        stop.store(true);
        consumer.join();

        ASSERT_TRUE(produced) << "a free block was missing";
        ASSERT_EQ(seen.size(), want_lens.size());
        size_t k = 0;
        for (uint32_t b = 0; b < k_batches; b++)
            for (uint32_t i = 0; i < lengths[b]; i++, k++) {
                ASSERT_EQ(seen[k].batch, b) << "block " << k;
                ASSERT_EQ(seen[k].index, i) << "block " << k;
                ASSERT_EQ(seen_lens[k], want_lens[k]) << "block " << k;
            }
        EXPECT_EQ(bad_fill, 0u);
        mbuf_exit(q);
    }
}

// The copying writer and reader: the reader takes each block as it is
// committed, in order.
TEST(Mbuf, ReadWaitTakesBlocksAsTheyAreWritten) {
    constexpr uint32_t k_blocks = 64;
    for (int round = 0; round < 50; round++) {
        SCOPED_TRACE(round);
        mbuf_ctx* q = mbuf_init(k_blocks * 8, 8);
        ASSERT_NE(q, nullptr);
        std::vector<uint64_t> got;
        std::thread reader([&] {
            while (got.size() < k_blocks) {
                uint64_t v = 0;
                int64_t n = mbuf_read_wait(q, &v, sizeof v, 1);
                if (n == 8) got.push_back(v);
            }
        });
        for (uint64_t i = 0; i < k_blocks; i++) {
            ASSERT_EQ(mbuf_write_wait(q, &i, sizeof i, 1), 0);
        }
        reader.join();
        for (uint64_t i = 0; i < k_blocks; i++) ASSERT_EQ(got[i], i);
        mbuf_exit(q);
    }
}

// --------------------------------------------------------- equal-block buffer

TEST(Mbuf2, HandsOutWholeBlocksUntilReset) {
    log_capture cap;
    EXPECT_EQ(mbuf2_init(2, 1), nullptr);
    EXPECT_EQ(mbuf2_init(100, 0), nullptr);

    // 10 bytes in blocks of 4: three blocks of memory, two whole ones.
    mbuf2_ctx* m = mbuf2_init(10, 4);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->max_idx, 2u);
    mbuf2_block* a = mbuf2_get_block(m);
    mbuf2_block* b = mbuf2_get_block(m);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->ptr, m->data);
    EXPECT_EQ(b->ptr, m->data + 4);
    memset(b->ptr, 0x5A, 4);
    cap.clear();
    EXPECT_EQ(mbuf2_get_block(m), nullptr);
    EXPECT_TRUE(cap.contains("expr[ctx->alloc_idx<ctx->max_idx]: assert failed")) << cap.all();

    mbuf2_reset(m);
    EXPECT_EQ(mbuf2_get_block(m), a);
    mbuf2_exit(m);
}

// One thread hands the blocks out, a task per block fills its own block
// concurrently.
TEST(Mbuf2, TasksFillTheirOwnBlocks) {
    constexpr uint32_t k_block = 512;
    mbuf2_ctx* m = mbuf2_init(16 * k_block, k_block);
    ASSERT_NE(m, nullptr);
    for (int round = 0; round < 20; round++) {
        mbuf2_reset(m);
        std::vector<std::thread> tasks;
        std::vector<mbuf2_block*> blocks;
        for (uint64_t i = 0; i < 16; i++) {
            mbuf2_block* b = mbuf2_get_block(m);
            ASSERT_NE(b, nullptr);
            b->idx = i;
            b->len = k_block;
            blocks.push_back(b);
            tasks.emplace_back([b, round] { memset(b->ptr, static_cast<int>(b->idx + round), b->len); });
        }
        for (auto& t : tasks) t.join();
        for (mbuf2_block* b : blocks)
            for (uint32_t k = 0; k < k_block; k++) ASSERT_EQ(b->ptr[k], static_cast<uint8_t>(b->idx + round));
    }
    mbuf2_exit(m);
}

}  // namespace
