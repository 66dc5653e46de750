#include "libpal/memory/lbuf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/memory/mem_alloc_mgr.h"
#include "support/log_capture.h"

namespace {

struct hook_log {
    std::vector<std::string> events;
};

void init_hook(void* p, void* user) {
    *static_cast<char*>(p) = 0;
    static_cast<hook_log*>(user)->events.push_back("init");
}

void free_hook(void* p, void* user) {
    static_cast<hook_log*>(user)->events.push_back("free:" + std::string(static_cast<const char*>(p)));
}

TEST(Lbuf, SlabItemsIterateOldestFirst) {
    lbuf_conf conf{"slab16", nullptr, nullptr, nullptr, 16};
    lbuf_ctx* l = lbuf_create(&conf);
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->name, "slab16");
    EXPECT_NE(l->name, conf.name) << "the name is copied";
    void* items[3];
    for (int i = 0; i < 3; i++) {
        items[i] = lbuf_slab_malloc(l);
        ASSERT_NE(items[i], nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(items[i]) % 16, 0u);
        memset(items[i], i, 16);
    }
    void* zero = lbuf_slab_malloc0(l);
    ASSERT_NE(zero, nullptr);
    EXPECT_TRUE(std::all_of(static_cast<uint8_t*>(zero), static_cast<uint8_t*>(zero) + 16, [](uint8_t b) { return b == 0; }));
    lbuf_free(l, zero);
    EXPECT_EQ(lbuf_count(l), 3u);

    lbuf_iter it;
    lbuf_iter_init(l, &it);
    for (void* want : items) EXPECT_EQ(lbuf_iter_next(&it), want);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);
    EXPECT_EQ(lbuf_iter_next(&it), nullptr);

    EXPECT_EQ(lbuf_contains(l, items[1]), 1);
    lbuf_free(l, items[1]);
    EXPECT_EQ(lbuf_contains(l, items[1]), 0);
    lbuf_free(l, nullptr);
    EXPECT_EQ(lbuf_count(l), 2u);
    lbuf_destroy(l);
}

TEST(Lbuf, SlabNeedsAnItemSize) {
    lbuf_conf conf{};
    lbuf_ctx* l = lbuf_create(&conf);
    ASSERT_NE(l, nullptr);
    log_capture cap;
    EXPECT_EQ(lbuf_slab_malloc(l), nullptr);
    EXPECT_EQ(lbuf_slab_malloc0(l), nullptr);
    EXPECT_TRUE(cap.contains("expr[B->item_size != 0]: assert failed")) << cap.all();
    EXPECT_EQ(lbuf_count(l), 0u);
    lbuf_destroy(l);
}

TEST(Lbuf, HooksRunOncePerItem) {
    hook_log log;
    lbuf_conf conf{nullptr, init_hook, free_hook, &log, 0};
    lbuf_ctx* l = lbuf_create(&conf);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->name, nullptr);
    char* a = lbuf_strdup(l, "alpha");
    char* b = lbuf_strndup(l, "bravo-long", 5);
    char* c = lbuf_asprintf(l, "%s-%d", "charlie", 3);
    ASSERT_TRUE(a && b && c);
    EXPECT_STREQ(b, "bravo");
    EXPECT_STREQ(c, "charlie-3");
    lbuf_free(l, b);
    lbuf_clear(l);
    EXPECT_EQ(lbuf_count(l), 0u);
    EXPECT_EQ(log.events, (std::vector<std::string>{"init", "init", "init", "free:bravo", "free:alpha", "free:charlie-3"}));
    // The list is usable after a clear.
    EXPECT_NE(lbuf_strdup(l, "again"), nullptr);
    EXPECT_EQ(lbuf_count(l), 1u);
    lbuf_destroy(l);
    EXPECT_EQ(log.events.back(), "free:again");
}

TEST(Lbuf, Realloc) {
    lbuf_conf conf{};
    lbuf_ctx* l = lbuf_create(&conf);
    ASSERT_NE(l, nullptr);
    auto* p = static_cast<char*>(lbuf_realloc(l, nullptr, 8));
    ASSERT_NE(p, nullptr);
    memcpy(p, "1234567", 8);
    EXPECT_EQ(lbuf_realloc(l, p, 4), p) << "shrinking keeps the payload";
    EXPECT_EQ(lbuf_realloc(l, p, 8), p);
    auto* q = static_cast<char*>(lbuf_realloc(l, p, 64));
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "1234567");
    EXPECT_EQ(lbuf_count(l), 1u);
    EXPECT_EQ(lbuf_contains(l, q), 1);
    EXPECT_EQ(lbuf_realloc(l, q, 0), nullptr);
    EXPECT_EQ(lbuf_count(l), 0u);
    lbuf_destroy(l);
}

// While a thread holds the list through lbuf_lock it works on it without
// locking again (allocation included); every other thread waits for the
// lock. Two threads racing on one list keep it consistent.
TEST(Lbuf, HeldLockBelongsToItsThread) {
    lbuf_conf conf{nullptr, nullptr, nullptr, nullptr, 32};
    lbuf_ctx* l = lbuf_create(&conf);
    ASSERT_NE(l, nullptr);

    lbuf_lock(l);
    void* mine = lbuf_slab_malloc(l);
    EXPECT_EQ(lbuf_count(l), 1u);
    lbuf_free(l, mine);
    lbuf_unlock(l);

    for (int round = 0; round < 20; round++) {
        std::atomic<bool> go{false};
        std::thread holder([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 300; i++) {
                lbuf_lock(l);
                void* a = lbuf_slab_malloc(l);
                void* b = lbuf_slab_malloc(l);
                lbuf_free(l, a);
                lbuf_free_nolock(l, b);
                lbuf_unlock(l);
            }
        });
        std::thread other([&] {
            while (!go.load()) {
            }
            for (int i = 0; i < 300; i++) {
                void* a = lbuf_slab_malloc(l);
                lbuf_free(l, a);
            }
        });
        go.store(true);
        holder.join();
        other.join();
        ASSERT_EQ(lbuf_count(l), 0u);
        ASSERT_NE(list_check(&l->head, nullptr), nullptr);
        lbuf_iter it;
        lbuf_iter_init(l, &it);
        ASSERT_EQ(lbuf_iter_next(&it), nullptr);
    }
    lbuf_destroy(l);
}

// ---------------------------------------------------------------- managers

TEST(MemMgr, SlabAndPool) {
    {
        log_capture cap;
        EXPECT_EQ(mem_slab_mgr_init(1, 0, 40), nullptr);
        EXPECT_EQ(mem_pool_mgr_init(-1, 0), nullptr);
        EXPECT_TRUE(cap.contains("expr[0]: assert failed")) << cap.all();
    }
    mem_mgr* slab = mem_slab_mgr_init(0, 0xFFFF, 40);
    ASSERT_NE(slab, nullptr);
    EXPECT_EQ(slab->list->item_size, 40u);
    void* n1 = mem_slab_mgr_alloc(slab);
    void* n2 = mem_slab_mgr_alloc(slab);
    ASSERT_TRUE(n1 && n2);
    memset(n1, 0xAB, 40);
    mem_slab_mgr_free(slab, n2);
    EXPECT_EQ(lbuf_count(slab->list), 1u);
    mem_slab_mgr_clear(slab);
    EXPECT_EQ(lbuf_count(slab->list), 0u);
    mem_slab_mgr_alloc(slab);
    mem_slab_mgr_exit(slab);

    mem_mgr* pool = mem_pool_mgr_init(0, 0);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->list->item_size, 0u);
    char* k = mem_pool_mgr_strdup(pool, "a key");
    void* v = mem_pool_mgr_alloc(pool, 1000);
    ASSERT_TRUE(k && v);
    EXPECT_STREQ(k, "a key");
    mem_pool_mgr_free(pool, k);
    EXPECT_EQ(lbuf_count(pool->list), 1u);
    mem_pool_mgr_clear(pool);
    EXPECT_EQ(lbuf_count(pool->list), 0u);
    mem_pool_mgr_strdup(pool, "left for exit");
    mem_pool_mgr_exit(pool);
}

}  // namespace
