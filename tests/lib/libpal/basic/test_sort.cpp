// Sorting, searching, order checks, duplicate removal and the compare
// procedures, checked against the standard library on random data.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/basic/pl_cmp.h"
#include "libpal/basic/pl_sort.h"
#include "support/log_capture.h"

namespace {

// An element of N bytes ordered by its first 4 bytes (a key with many
// duplicates); the other bytes carry the element's identity, so a sort that
// mangles bytes or loses elements shows.
template <size_t N>
struct rec {
    std::array<unsigned char, N> b;
};

template <size_t N>
uint32_t rec_key(const rec<N>& r) {
    uint32_t k = 0;
    memcpy(&k, r.b.data(), std::min<size_t>(N, 4));
    return k;
}

template <size_t N>
int rec_cmp(const void* a, const void* b) {
    uint32_t x = rec_key(*static_cast<const rec<N>*>(a));
    uint32_t y = rec_key(*static_cast<const rec<N>*>(b));
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Counts the comparisons, to see the extra argument arrive.
int counting_cmp(const void* a, const void* b, void* arg) {
    ++*static_cast<size_t*>(arg);
    return cmp_pint32(a, b);
}

enum class shape { random, sorted, reversed, equal };

template <size_t N>
std::vector<rec<N>> make_input(size_t count, shape s, std::mt19937& rng) {
    std::vector<rec<N>> v(count);
    for (size_t i = 0; i < count; i++) {
        for (auto& byte : v[i].b) byte = static_cast<unsigned char>(rng());
        uint32_t key = s == shape::equal ? 7u : static_cast<uint32_t>(rng() % (count / 2 + 1));
        if (N >= 4) memcpy(v[i].b.data(), &key, 4);
        else memcpy(v[i].b.data(), &key, N);
    }
    auto less = [](const rec<N>& a, const rec<N>& b) { return rec_key(a) < rec_key(b); };
    if (s == shape::sorted) std::sort(v.begin(), v.end(), less);
    if (s == shape::reversed) std::sort(v.rbegin(), v.rend(), less);
    return v;
}

template <size_t N>
void check_sorts() {
    std::mt19937 rng(1234 + N);
    for (size_t count : {0, 1, 2, 3, 4, 5, 6, 7, 16, 1000}) {
        for (shape s : {shape::random, shape::sorted, shape::reversed, shape::equal}) {
            SCOPED_TRACE(testing::Message() << "size " << N << " count " << count << " shape " << int(s));
            auto input = make_input<N>(count, s, rng);
            auto ours = input;
            pl_sort(ours.data(), ours.size(), N, rec_cmp<N>);

            // Ordered by key, and a permutation of the input (whole bytes).
            auto by_key = [](const rec<N>& a, const rec<N>& b) { return rec_key(a) < rec_key(b); };
            EXPECT_TRUE(std::is_sorted(ours.begin(), ours.end(), by_key));
            auto bytes_less = [](const rec<N>& a, const rec<N>& b) { return a.b < b.b; };
            auto want = input;
            std::sort(want.begin(), want.end(), bytes_less);
            auto got = ours;
            std::sort(got.begin(), got.end(), bytes_less);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin(), got.end(),
                                   [](const rec<N>& a, const rec<N>& b) { return a.b == b.b; }));
        }
    }
}

TEST(PlSort, OrdersAnyElementSizeAndShape) {
    check_sorts<1>();
    check_sorts<2>();
    check_sorts<4>();
    check_sorts<8>();
    check_sorts<12>();
    check_sorts<24>();
    check_sorts<300>();  // larger than the on-stack move buffer
}

TEST(PlSort, QsortMatchesStdSortAndPassesTheArgument) {
    std::mt19937 rng(42);
    for (size_t count : {2, 4, 5, 100, 5000}) {
        std::vector<int32_t> v(count);
        for (auto& x : v) x = static_cast<int32_t>(rng() % 1000) - 500;
        auto want = v;
        std::sort(want.begin(), want.end());
        size_t calls = 0;
        pl_qsort(v.data(), v.size(), sizeof v[0], counting_cmp, &calls);
        EXPECT_EQ(v, want);
        EXPECT_GT(calls, 0u);
    }
}

// Adversarial for a pivot chosen badly: organ-pipe and sawtooth inputs
// must still come out sorted (and the explicit stack never overflows).
TEST(PlSort, AwkwardInputs) {
    std::vector<std::vector<int32_t>> inputs;
    std::vector<int32_t> pipe, saw;
    for (int i = 0; i < 3000; i++) pipe.push_back(i < 1500 ? i : 3000 - i);
    for (int i = 0; i < 3000; i++) saw.push_back(i % 7);
    inputs = {pipe, saw};
    for (auto v : inputs) {
        auto want = v;
        std::sort(want.begin(), want.end());
        pl_sort(v.data(), v.size(), sizeof v[0], cmp_pint32);
        EXPECT_EQ(v, want);
    }
}

TEST(PlSort, DescendingProcedures) {
    std::vector<uint64_t> v = {5, 1, 0xFFFFFFFFFFFFFFFFull, 3, 3, 0};
    pl_sort(v.data(), v.size(), sizeof v[0], cmp_val_get_proc(PL_VAL_PU64, 1));
    EXPECT_EQ(v, (std::vector<uint64_t>{0xFFFFFFFFFFFFFFFFull, 5, 3, 3, 1, 0}));

    std::vector<const char*> t = {"pear", "apple", "fig", "apple"};
    pl_sort(t.data(), t.size(), sizeof t[0], cmp_array_get_proc(CMP_ARRAY_STR, nullptr, 0));
    EXPECT_STREQ(t[0], "apple");
    EXPECT_STREQ(t[3], "pear");
    pl_sort(t.data(), t.size(), sizeof t[0], cmp_array_get_proc(CMP_ARRAY_STR, nullptr, 1));
    EXPECT_STREQ(t[0], "pear");
}

TEST(PlSort, BsearchMatchesLowerBound) {
    std::mt19937 rng(7);
    std::vector<int32_t> v(2000);
    for (auto& x : v) x = static_cast<int32_t>(rng() % 4000) - 2000;
    std::sort(v.begin(), v.end());
    for (size_t count : {size_t{0}, size_t{1}, size_t{2}, v.size()}) {
        for (int32_t key = -2005; key <= 2005; key++) {
            auto end = v.begin() + static_cast<ptrdiff_t>(count);
            auto it = std::lower_bound(v.begin(), end, key);
            bool present = it != end && *it == key;
            int64_t got = pl_bsearch(&key, v.data(), count, sizeof v[0], cmp2_pint32);
            if (!present) {
                ASSERT_EQ(got, -1) << key;
            } else {
                ASSERT_GE(got, 0) << key;
                ASSERT_EQ(v[static_cast<size_t>(got)], key);
            }
        }
    }
}

TEST(PlSort, BsearchOfTextKeysAgainstTextPointers) {
    std::vector<const char*> t = {"alpha", "beta", "delta", "gamma"};
    pl_cmp_fn find = cmp2_val_get_find_proc(PL_VAL_PSTR);
    ASSERT_NE(find, nullptr);
    EXPECT_EQ(pl_bsearch("delta", t.data(), t.size(), sizeof t[0], find), 2);
    EXPECT_EQ(pl_bsearch("alpha", t.data(), t.size(), sizeof t[0], find), 0);
    EXPECT_EQ(pl_bsearch("epsilon", t.data(), t.size(), sizeof t[0], find), -1);
}

TEST(PlSort, FindAndCount) {
    std::vector<int32_t> v = {4, 9, 4, 1, 4};
    struct row {
        int32_t key;
        int64_t first;
        size_t count;
    };
    for (row r : {row{4, 0, 3}, row{9, 1, 1}, row{1, 3, 1}, row{7, -1, 0}}) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(pl_find(&r.key, v.data(), v.size(), sizeof v[0], cmp_pint32), r.first);
        EXPECT_EQ(pl_count(&r.key, v.data(), v.size(), sizeof v[0], cmp_pint32), r.count);
        size_t calls = 0;
        EXPECT_EQ(pl_count(&r.key, v.data(), v.size(), sizeof v[0], counting_cmp, &calls), r.count);
        EXPECT_EQ(calls, v.size());
    }
    int32_t key = 4;
    EXPECT_EQ(pl_find(&key, v.data(), 0, sizeof v[0], cmp_pint32), -1);
    EXPECT_EQ(pl_find_u32(nullptr, 3, 1), -1);
    uint32_t u[] = {3, 8, 8};
    EXPECT_EQ(pl_find_u32(u, 3, 8), 1);
    EXPECT_EQ(pl_find_u32(u, 3, 9), -1);
}

TEST(PlSort, CheckOrder) {
    struct row {
        std::vector<int32_t> v;
        int want;
    };
    const row rows[] = {
        {{}, PL_ORDER_EQUAL},           {{5}, PL_ORDER_EQUAL},
        {{3, 3, 3}, PL_ORDER_EQUAL},    {{1, 2, 2}, PL_ORDER_ASCENDING},
        {{3, 1}, PL_ORDER_DESCENDING},  {{1, 3, 2}, PL_ORDER_MIXED},
        {{2, 2, 1, 1}, PL_ORDER_DESCENDING}, {{5, 4, 6, 1, 9}, PL_ORDER_MIXED},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.v));
        EXPECT_EQ(pl_check_order(r.v.data(), r.v.size(), sizeof(int32_t), cmp_pint32), r.want);
    }
}

// pl_uniq keeps the first of every run and leaves the dropped elements past
// the new count (a permutation); a single element is kept.
TEST(PlSort, Uniq) {
    struct row {
        std::vector<int32_t> in;
        std::vector<int32_t> kept;
    };
    const row rows[] = {
        {{}, {}},
        {{7}, {7}},
        {{5, 6}, {5, 6}},
        {{5, 5}, {5}},
        {{1, 1, 2, 2, 3}, {1, 2, 3}},
        {{1, 2, 1}, {1, 2, 1}},
        {{4, 4, 4, 4}, {4}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.in));
        auto v = r.in;
        size_t n = pl_uniq(v.data(), v.size(), sizeof(int32_t), cmp_pint32);
        ASSERT_EQ(n, r.kept.size());
        EXPECT_EQ(std::vector<int32_t>(v.begin(), v.begin() + static_cast<ptrdiff_t>(n)), r.kept);
        auto a = v, b = r.in;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
    }
}

// Owned texts: the dropped duplicates stay reachable past the count, so the
// owner can release them.
TEST(PlSort, UniqOfTextPointersKeepsTheDroppedOnes) {
    std::string a1 = "a", a2 = "a", b1 = "b";
    std::vector<const char*> v = {a1.c_str(), a2.c_str(), b1.c_str()};
    size_t n = pl_uniq(v.data(), v.size(), sizeof v[0], cmp_array_get_proc(CMP_ARRAY_STR, nullptr, 0));
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(v[0], a1.c_str());
    EXPECT_EQ(v[1], b1.c_str());
    EXPECT_EQ(v[2], a2.c_str());
}

TEST(PlSort, BubbleSort) {
    std::mt19937 rng(3);
    for (size_t count : {0, 1, 2, 50}) {
        std::vector<int32_t> v(count);
        for (auto& x : v) x = static_cast<int32_t>(rng() % 20);
        auto want = v;
        std::stable_sort(want.begin(), want.end());
        pl_bubble_sort(v.data(), v.size(), sizeof v[0], cmp_pint32);
        EXPECT_EQ(v, want);
    }
}

TEST(PlSort, Log2) {
    struct row {
        uint64_t v;
        uint32_t want;
    };
    for (row r : {row{0, 0}, row{1, 0}, row{2, 1}, row{3, 1}, row{4, 2}, row{4096, 12}, row{0xFFFFFFFF, 31}}) {
        EXPECT_EQ(pl_log2_32(static_cast<uint32_t>(r.v)), r.want) << r.v;
        EXPECT_EQ(pl_log2_64(r.v), r.want) << r.v;
    }
    EXPECT_EQ(pl_log2_64(uint64_t{1} << 40), 40u);
    EXPECT_EQ(pl_log2_64(~uint64_t{0}), 63u);
}

// ------------------------------------------------------ compare procedures

uintptr_t as_arg(int64_t v) { return static_cast<uintptr_t>(v); }

TEST(PlCmp, TablesGiveSignsPerTypeCode) {
    int8_t i8[] = {-3, 4};
    int32_t i32[] = {-70000, 70000};
    uint64_t u64[] = {1, 0x8000000000000000ull};
    uintptr_t up[] = {2, ~uintptr_t{0}};
    const char* txt[] = {"abc", "abd"};
    struct row {
        int32_t code;
        const void* lo;
        const void* hi;
    };
    const row rows[] = {
        {PL_VAL_U64, reinterpret_cast<const void*>(as_arg(1)), reinterpret_cast<const void*>(~uintptr_t{0})},
        {PL_VAL_PU64, &u64[0], &u64[1]},
        {PL_VAL_I8, reinterpret_cast<const void*>(as_arg(-3)), reinterpret_cast<const void*>(as_arg(4))},
        {PL_VAL_PI8, &i8[0], &i8[1]},
        {PL_VAL_I32, reinterpret_cast<const void*>(as_arg(-70000)), reinterpret_cast<const void*>(as_arg(70000))},
        {PL_VAL_PI32, &i32[0], &i32[1]},
        {PL_VAL_UPTR, reinterpret_cast<const void*>(as_arg(2)), reinterpret_cast<const void*>(~uintptr_t{0})},
        {PL_VAL_PUPTR, &up[0], &up[1]},
        {PL_VAL_STR, txt[0], txt[1]},
        {PL_VAL_PSTR, &txt[0], &txt[1]},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        pl_cmp_fn up_fn = cmp_val_get_proc(r.code, 0);
        pl_cmp_fn down_fn = cmp_val_get_proc(r.code, 1);
        ASSERT_NE(up_fn, nullptr);
        ASSERT_NE(down_fn, nullptr);
        EXPECT_EQ(up_fn(r.lo, r.hi), -1);
        EXPECT_EQ(up_fn(r.hi, r.lo), 1);
        EXPECT_EQ(up_fn(r.lo, r.lo), 0);
        EXPECT_EQ(down_fn(r.lo, r.hi), 1);
        EXPECT_EQ(down_fn(r.hi, r.lo), -1);
    }
}

TEST(PlCmp, UnknownCodesAndModesLogAndGiveNothing) {
    log_capture cap;
    EXPECT_EQ(cmp_val_get_proc(13, 0), nullptr);
    EXPECT_TRUE(cap.contains("val_type=13 not support"));
    EXPECT_EQ(cmp2_val_get_find_proc(PL_VAL_STR), nullptr);
    EXPECT_TRUE(cap.contains("val_type=20 not support"));
    EXPECT_EQ(cmp_array_get_proc(0x10, nullptr, 0), nullptr);
    EXPECT_TRUE(cap.contains("mode=0x10 not support"));
    EXPECT_EQ(cap.count(LOG2_ERR), 3u);
}

TEST(PlCmp, ArrayProcedures) {
    EXPECT_EQ(cmp_array_get_proc(0, cmp_pint32, 1), cmp_pint32);  // a given one is kept

    uint64_t u[] = {9, 2};
    pl_cmp_fn f = cmp_array_get_proc(CMP_ARRAY_U64, nullptr, 0);
    EXPECT_EQ(f(&u[0], &u[1]), 1);
    EXPECT_EQ(cmp_array_get_proc(CMP_ARRAY_U64, nullptr, 1)(&u[0], &u[1]), -1);

    struct named {
        const char* name;
        int other;
    };
    named a{"zeta", 1}, b{"eta", 2};
    const named* recs[] = {&a, &b};
    pl_cmp_fn r = cmp_array_get_proc(CMP_ARRAY_RECSTR, nullptr, 0);
    EXPECT_EQ(r(&recs[0], &recs[1]), 1);
    pl_sort(recs, 2, sizeof recs[0], r);
    EXPECT_EQ(recs[0], &b);

    // The halving search of unsigned 64-bit keys stays quiet.
    log_capture cap;
    uint64_t sorted[] = {1, 5, 9};
    uint64_t key = 9;
    EXPECT_EQ(pl_bsearch(&key, sorted, 3, sizeof sorted[0], cmp2_val_get_find_proc(PL_VAL_PU64)), 2);
    EXPECT_EQ(cap.count(), 0u);
}

TEST(PlCmp, OtherTypedProcedures) {
    int64_t s[] = {-5, 3};
    double d[] = {-0.5, 2.25};
    EXPECT_EQ(cmp_pint64(&s[0], &s[1]), -1);
    EXPECT_EQ(cmp_pint64_desc(&s[0], &s[1]), 1);
    EXPECT_EQ(cmp_int64(reinterpret_cast<const void*>(as_arg(-5)), reinterpret_cast<const void*>(as_arg(3))), -1);
    EXPECT_EQ(cmp_pdouble(&d[1], &d[0]), 1);
    EXPECT_EQ(pl_sign(-42), -1);
    EXPECT_EQ(pl_sign(0), 0);
    EXPECT_EQ(pl_sign(INT64_MAX), 1);
}

}  // namespace
