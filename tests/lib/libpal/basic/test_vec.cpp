// Typed growable arrays, checked against std::vector.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "libpal/basic/pl_vec.h"
#include "libpal/memory/pl_mem.h"

namespace {

// The elements match the model and every element past count, up to and
// including the spare one, is zero.
template <class V>
void expect_state(const V* v, const std::vector<typename V::value_type>& model) {
    ASSERT_EQ(v->count, model.size());
    ASSERT_LE(v->count, v->capacity);
    for (size_t i = 0; i < model.size(); i++) ASSERT_EQ(v->items[i], model[i]) << "index " << i;
    for (uint64_t i = v->count; i <= v->capacity; i++) ASSERT_EQ(v->items[i], 0) << "index " << i;
}

TEST(PlVec, NewPushAndGrowth) {
    vec_i32* v = vec_i32_new(0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->capacity, 8u);
    std::vector<int32_t> model;
    for (int32_t i = 1; i <= 8; i++) {
        ASSERT_EQ(vec_i32_push(v, i), 0);
        model.push_back(i);
    }
    EXPECT_EQ(v->capacity, 8u);
    ASSERT_EQ(vec_i32_push(v, 9), 0);  // the ninth grows it
    model.push_back(9);
    EXPECT_EQ(v->capacity, 16u);
    expect_state(v, model);  // reads all 17 elements (ASan checks the block)
    vec_i32_free(v);

    vec_u64* w = vec_u64_new(3);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->capacity, 3u);
    vec_u64_free(w);
    vec_u64_free(nullptr);
}

// Random operations on all edges (index 0, count, past count, VEC_LAST).
template <class V>
void run_model(uint32_t seed) {
    using T = typename V::value_type;
    std::mt19937 rng(seed);
    V* v = vec_new<V>(1);
    ASSERT_NE(v, nullptr);
    std::vector<T> model;
    for (int step = 0; step < 3000; step++) {
        T value = static_cast<T>(rng() % 7 + 1);  // never 0: zero marks the free tail
        uint64_t n = model.size();
        switch (rng() % 9) {
            case 0:
            case 1:
                ASSERT_EQ(vec_push(v, value), 0);
                model.push_back(value);
                break;
            case 2: {
                uint64_t at = rng() % (n + 2);  // sometimes one past the end: refused
                int rc = vec_insert(v, at, value);
                if (at > n) {
                    ASSERT_EQ(rc, -1);
                } else {
                    ASSERT_EQ(rc, 0);
                    model.insert(model.begin() + static_cast<ptrdiff_t>(at), value);
                }
                break;
            }
            case 3: {
                uint64_t at = rng() % 4 == 0 ? VEC_LAST : rng() % (n + 2);
                int rc = vec_erase(v, at);
                if (n == 0) {
                    ASSERT_EQ(rc, 0);
                } else if (at == VEC_LAST) {
                    ASSERT_EQ(rc, 0);
                    model.pop_back();
                } else if (at >= n) {
                    ASSERT_EQ(rc, -1);
                } else {
                    ASSERT_EQ(rc, 0);
                    model.erase(model.begin() + static_cast<ptrdiff_t>(at));
                }
                break;
            }
            case 4: {
                uint64_t at = rng() % (n + 2);
                uint64_t num = rng() % 3 == 0 ? VEC_LAST : rng() % 4;
                int rc = vec_erase_range(v, at, num);
                if (n == 0) {
                    ASSERT_EQ(rc, 0);
                } else if (at >= n) {
                    ASSERT_EQ(rc, -1);
                } else {
                    ASSERT_EQ(rc, 0);
                    uint64_t cut = std::min(num, n - at);
                    model.erase(model.begin() + static_cast<ptrdiff_t>(at),
                                model.begin() + static_cast<ptrdiff_t>(at + cut));
                }
                break;
            }
            case 5: {
                auto it = std::find(model.begin(), model.end(), value);
                int64_t want = it == model.end() ? -1 : it - model.begin();
                ASSERT_EQ(vec_find(v, value), want);
                ASSERT_EQ(vec_count(v, value), static_cast<uint64_t>(std::count(model.begin(), model.end(), value)));
                ASSERT_EQ(vec_remove(v, value), want);
                if (it != model.end()) model.erase(it);
                break;
            }
            case 6:
                vec_reverse(v);
                std::reverse(model.begin(), model.end());
                break;
            case 7:
                vec_uniq(v);
                model.erase(std::unique(model.begin(), model.end()), model.end());
                break;
            default:
                if (rng() % 10 == 0) {
                    vec_clear(v);
                    model.clear();
                }
                break;
        }
        expect_state(v, model);
    }
    vec_free(v);
}

TEST(PlVec, ModelBasedAllFamilies) {
    run_model<vec_i8>(1);
    run_model<vec_i32>(2);
    run_model<vec_u64>(3);
    run_model<vec_ptr>(4);
}

TEST(PlVec, Uniq) {
    struct row {
        std::vector<int8_t> in;
        std::vector<int8_t> out;
    };
    const row rows[] = {
        {{1, 1, 2, 2, 3}, {1, 2, 3}}, {{5, 6}, {5, 6}}, {{9}, {9}}, {{}, {}}, {{4, 4, 4}, {4}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.in));
        vec_i8* v = vec_i8_new(0);
        ASSERT_NE(v, nullptr);
        for (int8_t x : r.in) ASSERT_EQ(vec_i8_push(v, x), 0);
        vec_i8_uniq(v);
        expect_state(v, r.out);  // the freed places are zero again
        vec_i8_free(v);
    }
}

TEST(PlVec, SortCheckOrderAndBsearch) {
    std::mt19937 rng(11);
    vec_i32* v = vec_i32_new(0);
    ASSERT_NE(v, nullptr);
    std::vector<int32_t> model;
    for (int i = 0; i < 500; i++) {
        auto x = static_cast<int32_t>(rng() % 300) - 150;
        ASSERT_EQ(vec_i32_push(v, x), 0);
        model.push_back(x);
    }
    vec_i32_sort(v, 1);
    std::sort(model.rbegin(), model.rend());
    expect_state(v, model);
    EXPECT_EQ(vec_i32_check_order(v), PL_ORDER_DESCENDING);

    vec_i32_sort(v, 0);
    std::sort(model.begin(), model.end());
    expect_state(v, model);
    EXPECT_EQ(vec_i32_check_order(v), PL_ORDER_ASCENDING);
    for (int32_t key = -155; key <= 155; key++) {
        bool present = std::binary_search(model.begin(), model.end(), key);
        int64_t at = vec_i32_bsearch(v, key);
        if (present) {
            ASSERT_GE(at, 0);
            EXPECT_EQ(v->items[at], key);
        } else {
            EXPECT_EQ(at, -1) << key;
        }
    }
    vec_i32_free(v);

    // Unsigned 64-bit values above the signed range sort as unsigned.
    vec_u64* u = vec_u64_new(0);
    ASSERT_NE(u, nullptr);
    for (uint64_t x : {0x8000000000000000ull, 1ull, 0xFFFFFFFFFFFFFFFFull, 0ull}) vec_u64_push(u, x);
    vec_u64_sort(u, 0);
    expect_state(u, std::vector<uint64_t>{0, 1, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull});
    EXPECT_EQ(vec_u64_bsearch(u, 0xFFFFFFFFFFFFFFFFull), 3);
    pl_sort_u64_array(u, cmp_puint64_desc);
    EXPECT_EQ(u->items[0], 0xFFFFFFFFFFFFFFFFull);
    vec_u64_free(u);
}

TEST(PlVec, ErasePastTheEndAndEmptyArrays) {
    vec_u64* v = vec_u64_new(0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(vec_u64_erase(v, 0), 0);  // empty: nothing to do
    EXPECT_EQ(vec_u64_erase_range(v, 5, 1), 0);
    for (uint64_t x : {10, 20, 30}) ASSERT_EQ(vec_u64_push(v, x), 0);
    EXPECT_EQ(vec_u64_erase(v, VEC_LAST), 0);
    expect_state(v, std::vector<uint64_t>{10, 20});
    EXPECT_EQ(vec_u64_erase(v, 2), -1);
    EXPECT_EQ(vec_u64_erase_range(v, 2, VEC_LAST), -1);
    EXPECT_EQ(vec_u64_erase_range(v, 0, VEC_LAST), 0);
    expect_state(v, std::vector<uint64_t>{});
    EXPECT_EQ(vec_u64_insert(v, 1, 5), -1);
    EXPECT_EQ(vec_u64_insert(v, 0, 5), 0);
    expect_state(v, std::vector<uint64_t>{5});
    vec_u64_free(v);
}

// A record embedded in a larger one, set up and released by its owner; a
// zeroed record grows on its first push.
TEST(PlVec, EmbeddedRecords) {
    struct owner {
        vec_ptr ptrs;
        uint32_t flags;
    };
    uint64_t blocks = pl_mem_stat_get().malloc_count;
    owner o{};
    for (uintptr_t i = 1; i <= 20; i++) ASSERT_EQ(vec_ptr_push(&o.ptrs, i), 0);
    EXPECT_EQ(o.ptrs.count, 20u);
    EXPECT_EQ(vec_ptr_find(&o.ptrs, 17), 16);
    vec_exit(&o.ptrs);
    EXPECT_EQ(o.ptrs.items, nullptr);
    ASSERT_EQ(vec_init(&o.ptrs, 16), 0);
    EXPECT_EQ(o.ptrs.capacity, 16u);
    vec_exit(&o.ptrs);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, blocks);
}

}  // namespace
