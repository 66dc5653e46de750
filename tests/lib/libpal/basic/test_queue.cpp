#include "libpal/basic/pl_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/log_capture.h"

using namespace std::chrono_literals;

namespace {

struct queue_closer {
    void operator()(queue_ctx* q) const noexcept { queue_close(q); }
};
using queue_ptr = std::unique_ptr<queue_ctx, queue_closer>;

queue_ptr make_queue(uint32_t max = 0, queue_item_free_fn item_free = nullptr, void* ctx = nullptr) {
    queue_param p{ctx, max, item_free};
    return queue_ptr(queue_new(&p));
}

// Items are small integers carried in the pointer (never 0).
void* item(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t value(void* p) { return reinterpret_cast<uintptr_t>(p); }

// Counts the item-free callbacks per item value.
struct free_log {
    std::vector<int> calls = std::vector<int>(64, 0);
    static void cb(void* ctx, void* it) { static_cast<free_log*>(ctx)->calls.at(value(it))++; }
};

std::vector<uintptr_t> drain(queue_ctx* q) {
    std::vector<uintptr_t> out;
    while (void* p = queue_pop(q)) out.push_back(value(p));
    return out;
}

// ------------------------------------------------------------- basic use

TEST(Queue, ItemsPopInPushOrderAndCountsFollow) {
    auto q = make_queue();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(queue_empty(q.get()), 1);
    EXPECT_EQ(queue_isfull(q.get()), 0);
    for (uintptr_t v = 1; v <= 3; v++) ASSERT_EQ(queue_push(q.get(), item(v)), 0);
    EXPECT_EQ(queue_size(q.get()), 3u);
    EXPECT_EQ(queue_empty(q.get()), 0);
    EXPECT_EQ(queue_isfull(q.get()), 0);  // unbounded: never full
    EXPECT_EQ(value(queue_pop(q.get())), 1u);
    // Pushed while the consumer holds a batch: comes after it.
    ASSERT_EQ(queue_push(q.get(), item(4)), 0);
    EXPECT_EQ(drain(q.get()), (std::vector<uintptr_t>{2, 3, 4}));
    EXPECT_EQ(queue_size(q.get()), 0u);
}

TEST(Queue, EmptyPopReturnsNothingAfterItsLimit) {
    auto q = make_queue();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop(q.get()), nullptr);
    EXPECT_EQ(queue_pop_wait(q.get(), 20), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);
}

TEST(Queue, BoundedPushWaitsForRoomThenTimesOut) {
    auto q = make_queue(2);
    ASSERT_EQ(queue_push(q.get(), item(1)), 0);
    ASSERT_EQ(queue_push(q.get(), item(2)), 0);
    EXPECT_EQ(queue_isfull(q.get()), 1);
    EXPECT_EQ(queue_push(q.get(), item(3)), -2);  // 0 ms: no wait
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_push_wait(q.get(), item(3), 10), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 10ms);
    EXPECT_EQ(queue_size(q.get()), 2u);

    EXPECT_EQ(value(queue_pop(q.get())), 1u);
    EXPECT_EQ(queue_isfull(q.get()), 0);
    EXPECT_EQ(queue_push(q.get(), item(3)), 0);
    EXPECT_EQ(drain(q.get()), (std::vector<uintptr_t>{2, 3}));
}

TEST(Queue, MissingQueueOrItemIsRefusedWithAnAssertion) {
    log_capture cap;
    EXPECT_EQ(queue_push(nullptr, item(1)), -1);
    EXPECT_EQ(queue_pop_wait(nullptr, 5), nullptr);
    EXPECT_EQ(queue_size(nullptr), 0u);
    EXPECT_EQ(queue_isfull(nullptr), 0);
    EXPECT_EQ(queue_empty(nullptr), 0);
    EXPECT_EQ(queue_del(nullptr, item(1)), -1);
    EXPECT_EQ(queue_clear(nullptr), -1);
    EXPECT_EQ(queue_close(nullptr), -1);
    EXPECT_EQ(cap.count(), 8u);
    EXPECT_TRUE(cap.contains("expr[hq!=NULL]: assert failed"));

    // A null item would read as "nothing" at the consumer: not queued.
    auto q = make_queue();
    cap.clear();
    EXPECT_EQ(queue_push(q.get(), nullptr), -1);
    EXPECT_TRUE(cap.contains("expr[node!=NULL]: assert failed"));
    EXPECT_EQ(queue_size(q.get()), 0u);
    EXPECT_EQ(queue_pop(q.get()), nullptr);
}

// --------------------------------------------------- delete, clear, close

// Items 1..5 pushed; `popped` of them taken first, so that the rest sit in
// the consumer's list; `pushed_after` more pushed after the take-over.
struct del_case {
    const char* name;
    int popped;
    std::vector<uintptr_t> pushed_after;
    uintptr_t del;
    int want_rc;
    std::vector<uintptr_t> want_rest;  // pop order after the delete and a push of 9
};

TEST(Queue, DeleteRemovesOneItemAndKeepsTheRestReachable) {
    const std::vector<del_case> cases = {
        {"head of producer list", 0, {}, 1, 0, {2, 3, 4, 5, 9}},
        {"middle of producer list", 0, {}, 3, 0, {1, 2, 4, 5, 9}},
        {"newest item (tail)", 0, {}, 5, 0, {1, 2, 3, 4, 9}},
        {"from consumer list", 1, {}, 3, 0, {2, 4, 5, 9}},
        {"consumer list head", 1, {}, 2, 0, {3, 4, 5, 9}},
        {"tail of later batch", 1, {6, 7}, 7, 0, {2, 3, 4, 5, 6, 9}},
        {"absent item", 0, {}, 8, -1, {1, 2, 3, 4, 5, 9}},
        {"item already popped", 1, {}, 1, -1, {2, 3, 4, 5, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        free_log freed;
        auto q = make_queue(0, &free_log::cb, &freed);
        for (uintptr_t v = 1; v <= 5; v++) ASSERT_EQ(queue_push(q.get(), item(v)), 0);
        for (int i = 0; i < c.popped; i++) ASSERT_NE(queue_pop(q.get()), nullptr);
        for (uintptr_t v : c.pushed_after) ASSERT_EQ(queue_push(q.get(), item(v)), 0);
        uint32_t before = queue_size(q.get());

        EXPECT_EQ(queue_del(q.get(), item(c.del)), c.want_rc);
        EXPECT_EQ(queue_size(q.get()), before - (c.want_rc == 0 ? 1 : 0));
        EXPECT_EQ(freed.calls[c.del], c.want_rc == 0 ? 1 : 0);
        ASSERT_EQ(queue_push(q.get(), item(9)), 0);
        EXPECT_EQ(drain(q.get()), c.want_rest);
        EXPECT_EQ(queue_size(q.get()), 0u);
    }
}

TEST(Queue, DeletingFromAFullBoundedQueueMakesRoom) {
    auto q = make_queue(2);
    ASSERT_EQ(queue_push(q.get(), item(1)), 0);
    ASSERT_EQ(queue_push(q.get(), item(2)), 0);
    EXPECT_EQ(queue_del(q.get(), item(2)), 0);
    EXPECT_EQ(queue_push(q.get(), item(3)), 0);
    EXPECT_EQ(drain(q.get()), (std::vector<uintptr_t>{1, 3}));
}

TEST(Queue, ClearAndCloseHandEveryItemToTheCallbackOnce) {
    free_log freed;
    queue_param p{&freed, 0, &free_log::cb};
    queue_ctx* q = queue_new(&p);
    ASSERT_NE(q, nullptr);
    for (uintptr_t v = 1; v <= 4; v++) ASSERT_EQ(queue_push(q, item(v)), 0);
    ASSERT_EQ(value(queue_pop(q)), 1u);  // 2..4 now in the consumer's list
    for (uintptr_t v = 5; v <= 6; v++) ASSERT_EQ(queue_push(q, item(v)), 0);

    EXPECT_EQ(queue_clear(q), 0);
    EXPECT_EQ(queue_size(q), 0u);
    EXPECT_EQ(queue_pop(q), nullptr);
    std::vector<int> want(64, 0);
    for (int v = 2; v <= 6; v++) want[v] = 1;
    EXPECT_EQ(freed.calls, want);

    // Still usable after a clear; close discards what is left.
    for (uintptr_t v = 10; v <= 12; v++) ASSERT_EQ(queue_push(q, item(v)), 0);
    EXPECT_EQ(value(queue_pop(q)), 10u);
    EXPECT_EQ(queue_close(q), 0);
    want[11] = want[12] = 1;
    EXPECT_EQ(freed.calls, want);
}

// ------------------------------------------------------------ wake-ups

// The push may come before or after the consumer starts its wait: either
// way the consumer gets the item (no wake-up is lost).
TEST(Queue, AWaitingConsumerAlwaysGetsThePush) {
    auto q = make_queue();
    for (int round = 0; round < 2000; round++) {
        void* got = nullptr;
        std::thread consumer([&] { got = queue_pop_wait(q.get(), OS_WAIT_FOREVER); });
        ASSERT_EQ(queue_push(q.get(), item(static_cast<uintptr_t>(round + 1))), 0);
        consumer.join();
        ASSERT_EQ(value(got), static_cast<uintptr_t>(round + 1));
    }
}

TEST(Queue, WakeEndsAnEmptyWaitOnce) {
    auto q = make_queue();
    // Before the wait: the next empty wait returns at once.
    ASSERT_EQ(queue_wake(q.get()), 0);
    EXPECT_EQ(queue_pop_wait(q.get(), OS_WAIT_FOREVER), nullptr);

    // During the wait (or just before it): the same.
    void* got = item(1);
    std::thread consumer([&] { got = queue_pop_wait(q.get(), OS_WAIT_FOREVER); });
    ASSERT_EQ(queue_wake(q.get()), 0);
    consumer.join();
    EXPECT_EQ(got, nullptr);

    // Items come first; the wake is then used up.
    ASSERT_EQ(queue_push(q.get(), item(7)), 0);
    ASSERT_EQ(queue_wake(q.get()), 0);
    EXPECT_EQ(value(queue_pop_wait(q.get(), OS_WAIT_FOREVER)), 7u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop_wait(q.get(), 10), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 10ms);
}

// --------------------------------------------------------- concurrency

constexpr uintptr_t k_tag_shift = 24;

// Many producers against one consumer on a small bound: nobody gives up
// while the other side keeps going, each producer's order holds, and every
// item arrives exactly once.
TEST(Queue, ManyProducersOneConsumerLoseNothing) {
    constexpr int k_producers = 6;
    constexpr uintptr_t k_items = 3000;
    for (uint32_t bound : {0u, 1u, 3u}) {
        SCOPED_TRACE(bound);
        auto q = make_queue(bound);
        std::atomic<int> push_failures{0};
        std::vector<std::thread> producers;
        for (int p = 0; p < k_producers; p++)
            producers.emplace_back([&, p] {
                for (uintptr_t i = 1; i <= k_items; i++) {
                    uintptr_t v = (static_cast<uintptr_t>(p + 1) << k_tag_shift) | i;
                    if (queue_push_wait(q.get(), item(v), OS_WAIT_FOREVER) != 0) push_failures++;
                }
            });

        std::vector<uintptr_t> last(k_producers + 1, 0);
        int empty_pops = 0;
        int out_of_order = 0;
        for (uintptr_t n = 0; n < k_producers * k_items;) {
            void* p = queue_pop_wait(q.get(), 10000);
            if (!p) {
                empty_pops++;
                if (empty_pops > 3) break;
                continue;
            }
            uintptr_t v = value(p);
            uintptr_t tag = v >> k_tag_shift;
            uintptr_t seq = v & ((uintptr_t{1} << k_tag_shift) - 1);
            ASSERT_GE(tag, 1u);
            ASSERT_LE(tag, static_cast<uintptr_t>(k_producers));
            if (seq != last[tag] + 1) out_of_order++;
            last[tag] = seq;
            n++;
        }
        for (auto& t : producers) t.join();
        EXPECT_EQ(push_failures, 0);
        EXPECT_EQ(empty_pops, 0);
        EXPECT_EQ(out_of_order, 0);
        for (int p = 1; p <= k_producers; p++) EXPECT_EQ(last[p], k_items) << p;
        EXPECT_EQ(queue_size(q.get()), 0u);
        EXPECT_EQ(queue_pop(q.get()), nullptr);
    }
}

// Pushes racing the consumer's clears: the count always matches the lists,
// so that every item is either popped or discarded once and an empty queue
// pops nothing.
TEST(Queue, PushesRacingClearsKeepTheCountExact) {
    std::atomic<uint64_t> discarded{0};
    queue_param p{&discarded, 0, [](void* ctx, void*) { static_cast<std::atomic<uint64_t>*>(ctx)->fetch_add(1); }};
    queue_ctx* q = queue_new(&p);
    ASSERT_NE(q, nullptr);
    constexpr int k_producers = 4;
    constexpr int k_items = 5000;
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int i = 0; i < k_producers; i++)
        producers.emplace_back([&] {
            for (int k = 0; k < k_items; k++) EXPECT_EQ(queue_push(q, item(1)), 0);
            done++;
        });
    uint64_t popped = 0;
    for (int round = 0; done.load() < k_producers; round++) {
        if (round % 3 == 0)
            queue_clear(q);
        else if (queue_pop(q))
            popped++;
    }
    for (auto& t : producers) t.join();
    while (queue_pop(q)) popped++;
    EXPECT_EQ(queue_size(q), 0u);
    EXPECT_EQ(queue_empty(q), 1);
    EXPECT_EQ(popped + discarded.load(), uint64_t{k_producers} * k_items);
    queue_close(q);
}

}  // namespace
