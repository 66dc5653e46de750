// The AVL tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

#include "libpal/basic/avl.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

namespace {

const void* ikey(uintptr_t k) { return reinterpret_cast<const void*>(k); }
void* ival(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t as_int(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Heights worked out from the links alone; the balance of every node must
// match, and stay within -1..1.
int height_of(const avl_node* n, bool* ok) {
    if (!n) return 0;
    int l = height_of(n->left, ok);
    int r = height_of(n->right, ok);
    if (n->balance != r - l || r - l < -1 || r - l > 1) *ok = false;
    return std::max(l, r) + 1;
}

void expect_balanced(const avl_ctx* t) {
    bool ok = true;
    int h = height_of(t->root, &ok);
    EXPECT_TRUE(ok) << "a balance is wrong";
    // An AVL tree of n nodes is at most 1.44 log2(n + 2) high.
    EXPECT_LE(h, 1.4405 * std::log2(static_cast<double>(t->count) + 2.0));
    EXPECT_EQ(avl_check(t), 1);
}

std::vector<uintptr_t> walk(const avl_ctx* t, int direction) {
    std::vector<uintptr_t> keys;
    avl_iter it;
    for (avl_iter_init(&it, t, direction); it.node; avl_iter_next(&it)) {
        EXPECT_EQ(it.key, it.node->key);
        EXPECT_EQ(it.value, it.node->value);
        keys.push_back(as_int(it.key));
    }
    return keys;
}

TEST(Avl, IncreasingKeysThenEveryEvenOneDeleted) {
    avl_ctx* t = avl_new(nullptr);
    ASSERT_NE(t, nullptr);
    for (uintptr_t k = 1; k <= 1000; k++) ASSERT_EQ(avl_set(t, ikey(k), ival(k * 10)), 1);
    EXPECT_EQ(avl_count(t), 1000u);
    expect_balanced(t);
    for (uintptr_t k = 2; k <= 1000; k += 2) ASSERT_EQ(avl_del(t, ikey(k)), 1);
    EXPECT_EQ(avl_count(t), 500u);
    expect_balanced(t);
    EXPECT_EQ(avl_get(t, ikey(501)), ival(5010));
    EXPECT_EQ(avl_get(t, ikey(500)), nullptr);
    EXPECT_EQ(avl_find_node(t, ikey(500)), nullptr);
    EXPECT_EQ(avl_del(t, ikey(500)), 0);
    ASSERT_EQ(avl_set(t, ikey(501), ival(1)), 0);  // replaced: count unchanged
    EXPECT_EQ(avl_count(t), 500u);
    EXPECT_EQ(avl_get(t, ikey(501)), ival(1));
    avl_free(t);
}

// Random inserts and deletes against std::map with a fixed seed; the tree
// stays balanced after every step and walks in order both ways.
TEST(Avl, RandomOperationsStayBalanced) {
    std::mt19937 rng(20240611);
    avl_ctx* t = avl_new(nullptr);
    ASSERT_NE(t, nullptr);
    std::map<uintptr_t, uintptr_t> model;
    for (int step = 0; step < 20000; step++) {
        uintptr_t k = rng() % 2000;
        if (rng() % 3 == 0) {
            ASSERT_EQ(avl_del(t, ikey(k)), model.erase(k) ? 1 : 0);
        } else {
            uintptr_t v = rng();
            ASSERT_EQ(avl_set(t, ikey(k), ival(v)), model.count(k) ? 0 : 1);
            model[k] = v;
        }
        ASSERT_EQ(avl_count(t), model.size());
        if (step % 97 == 0) {
            expect_balanced(t);
            if (HasFailure()) return;
        }
    }
    expect_balanced(t);
    std::vector<uintptr_t> keys;
    for (auto& [k, v] : model) {
        keys.push_back(k);
        ASSERT_EQ(avl_get(t, ikey(k)), ival(v));
    }
    EXPECT_EQ(walk(t, 0), keys);
    std::reverse(keys.begin(), keys.end());
    EXPECT_EQ(walk(t, 1), keys);

    // Empty it again in random order.
    std::vector<uintptr_t> order(keys);
    std::shuffle(order.begin(), order.end(), rng);
    for (uintptr_t k : order) ASSERT_EQ(avl_del(t, ikey(k)), 1);
    EXPECT_EQ(avl_count(t), 0u);
    EXPECT_EQ(t->root, nullptr);
    EXPECT_TRUE(walk(t, 0).empty());
    EXPECT_EQ(avl_check(t), 1);
    avl_free(t);
}

TEST(Avl, CheckFindsBrokenTrees) {
    avl_ctx* t = avl_new(nullptr);
    ASSERT_NE(t, nullptr);
    for (uintptr_t k = 1; k <= 7; k++) ASSERT_EQ(avl_set(t, ikey(k), nullptr), 1);
    ASSERT_EQ(avl_check(t), 1);
    t->root->balance = 1;  // no longer the height difference
    EXPECT_EQ(avl_check(t), 0);
    t->root->balance = 0;
    const void* k = t->root->key;
    t->root->key = ikey(100);  // order broken
    EXPECT_EQ(avl_check(t), 0);
    t->root->key = k;
    t->count++;  // count broken
    EXPECT_EQ(avl_check(t), 0);
    t->count--;
    EXPECT_EQ(avl_check(t), 1);
    avl_free(t);
}

// Keys and values copied into the pool: the caller's buffers do not matter
// after the call, and freeing the tree returns every block.
TEST(Avl, TextCopies) {
    uint64_t blocks = pl_mem_stat_get().malloc_count;
    avl_opts o{};
    o.flags = AVL_KEY_STR_COPY | AVL_VAL_STR_COPY;
    avl_ctx* t = avl_new(&o);
    ASSERT_NE(t, nullptr);
    char key[32], value[32];
    for (int i = 0; i < 300; i++) {
        snprintf(key, sizeof key, "key-%03d", i);
        snprintf(value, sizeof value, "value-%d", i);
        ASSERT_EQ(avl_set(t, key, value), 1);
    }
    strcpy(key, "key-999");
    strcpy(value, "scribbled");
    EXPECT_STREQ(static_cast<const char*>(avl_get(t, "key-042")), "value-42");
    EXPECT_EQ(avl_get(t, "key-999"), nullptr);

    // Replacing with the stored copy itself keeps it intact.
    auto* stored = static_cast<char*>(avl_get(t, "key-042"));
    ASSERT_EQ(avl_set(t, "key-042", stored), 0);
    EXPECT_STREQ(static_cast<const char*>(avl_get(t, "key-042")), "value-42");
    ASSERT_EQ(avl_set(t, "key-042", "new"), 0);
    EXPECT_STREQ(static_cast<const char*>(avl_get(t, "key-042")), "new");
    ASSERT_EQ(avl_set(t, "key-043", nullptr), 0);
    EXPECT_EQ(avl_get(t, "key-043"), nullptr);
    EXPECT_EQ(avl_set(t, nullptr, "x"), -1);  // text keys: a missing key is refused
    EXPECT_EQ(avl_del(t, nullptr), 0);

    for (int i = 0; i < 300; i += 3) {
        snprintf(key, sizeof key, "key-%03d", i);
        ASSERT_EQ(avl_del(t, key), 1);
    }
    EXPECT_EQ(avl_count(t), 200u);
    expect_balanced(t);
    avl_free(t);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, blocks);
}

int freed_values = 0;
void count_free(void* v) {
    freed_values++;
    pl_free(v);
}

// Values owned by the tree are released when replaced or deleted, never
// when the same pointer is set again.
TEST(Avl, OwnedValues) {
    for (uint32_t flag : {uint32_t{AVL_VAL_FREE}, uint32_t{AVL_VAL_FREE_PROC}}) {
        SCOPED_TRACE(flag);
        freed_values = 0;
        avl_opts o{};
        o.flags = AVL_KEY_STR | flag;
        o.val_free = count_free;
        avl_ctx* t = avl_new(&o);
        ASSERT_NE(t, nullptr);
        char* v = pl_strdup("kept");
        ASSERT_EQ(avl_set(t, "k", v), 1);
        ASSERT_EQ(avl_set(t, "k", v), 0);
        EXPECT_STREQ(static_cast<const char*>(avl_get(t, "k")), "kept");  // ASan: still alive
        ASSERT_EQ(avl_set(t, "k", pl_strdup("second")), 0);
        ASSERT_EQ(avl_del(t, "k"), 1);
        EXPECT_EQ(freed_values, flag == AVL_VAL_FREE_PROC ? 2 : 0);
        // Values still in the tree stay the caller's when it is freed.
        char* left = pl_strdup("left");
        ASSERT_EQ(avl_set(t, "j", left), 1);
        avl_free(t);
        pl_free(left);
    }
}

int descending(const void* a, const void* b) {
    int c = strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    return c < 0 ? 1 : (c > 0 ? -1 : 0);
}

TEST(Avl, CustomCompare) {
    avl_opts o{};
    o.flags = AVL_KEY_STR;
    o.cmp = descending;
    avl_ctx* t = avl_new(&o);
    ASSERT_NE(t, nullptr);
    for (const char* k : {"b", "d", "a", "c"}) ASSERT_EQ(avl_set(t, k, nullptr), 1);
    std::string order;
    avl_iter it;
    for (avl_iter_init(&it, t, 0); it.node; avl_iter_next(&it)) order += static_cast<const char*>(it.key);
    EXPECT_EQ(order, "dcba");
    EXPECT_EQ(avl_check(t), 1);
    avl_free(t);
}

// An upstream that refuses chunks once armed.
class failing_resource final : public std::pmr::memory_resource {
public:
    bool armed = false;

private:
    void* do_allocate(size_t bytes, size_t alignment) override {
        if (armed) throw std::bad_alloc();
        return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* p, size_t bytes, size_t alignment) override {
        std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const std::pmr::memory_resource& o) const noexcept override { return this == &o; }
};

// Fills the tree until a node finds no memory; that set reports -1 and
// leaves the tree as it was.
void run_out_of_nodes(avl_ctx* t, failing_resource* up) {
    for (uintptr_t k = 1; k <= 100; k++) ASSERT_EQ(avl_set(t, ikey(k), ival(k)), 1);
    up->armed = true;
    uintptr_t k = 101;
    int rc = 1;
    for (; k < 1000000 && rc == 1; k++) rc = avl_set(t, ikey(k), ival(k));
    ASSERT_EQ(rc, -1);
    uint64_t count = avl_count(t);
    EXPECT_EQ(count, k - 2);
    EXPECT_EQ(avl_get(t, ikey(k - 1)), nullptr);
    EXPECT_EQ(avl_check(t), 1);
    // Replacing and deleting need no new memory.
    EXPECT_EQ(avl_set(t, ikey(5), ival(55)), 0);
    EXPECT_EQ(avl_del(t, ikey(6)), 1);
    EXPECT_EQ(avl_count(t), count - 1);
    up->armed = false;
}

TEST(Avl, NoMemoryIsReportedNotHidden) {
    failing_resource up;
    avl_opts o{};
    o.upstream = &up;
    avl_ctx* t = avl_new(&o);
    ASSERT_NE(t, nullptr);
    log_capture cap;
    run_out_of_nodes(t, &up);
    EXPECT_TRUE(cap.contains("expr[node != NULL]: assert failed")) << cap.all();
    avl_free(t);
}

// A quiet tree never logs from set, get or delete, even when out of memory.
TEST(Avl, QuietTreeNeverLogs) {
    failing_resource up;
    avl_opts o{};
    o.flags = AVL_NOLOG;
    o.upstream = &up;
    avl_ctx* t = avl_new(&o);
    ASSERT_NE(t, nullptr);
    o.flags = AVL_NOLOG | AVL_VAL_STR_COPY;
    avl_ctx* texts = avl_new(&o);
    ASSERT_NE(texts, nullptr);

    log_capture cap;
    run_out_of_nodes(t, &up);

    // A value copy that needs a new chunk from the upstream: with no memory
    // the replace fails and the old value stays.
    ASSERT_EQ(avl_set(texts, ikey(1), "small"), 1);
    std::string big(100000, 'x');
    up.armed = true;
    EXPECT_EQ(avl_set(texts, ikey(1), big.c_str()), -1);
    EXPECT_STREQ(static_cast<const char*>(avl_get(texts, ikey(1))), "small");
    up.armed = false;
    EXPECT_EQ(avl_set(texts, ikey(1), big.c_str()), 0);
    EXPECT_EQ(strlen(static_cast<const char*>(avl_get(texts, ikey(1)))), big.size());
    EXPECT_EQ(avl_del(texts, ikey(1)), 1);
    EXPECT_EQ(cap.count(), 0u) << cap.all();
    avl_free(texts);
    avl_free(t);
}

TEST(Avl, MissingTree) {
    EXPECT_EQ(avl_set(nullptr, ikey(1), nullptr), -1);
    EXPECT_EQ(avl_get(nullptr, ikey(1)), nullptr);
    EXPECT_EQ(avl_del(nullptr, ikey(1)), 0);
    EXPECT_EQ(avl_count(nullptr), 0u);
    EXPECT_EQ(avl_check(nullptr), 0);
    avl_free(nullptr);
    avl_iter it;
    avl_iter_init(&it, nullptr, 0);
    EXPECT_EQ(it.node, nullptr);
}

}  // namespace
