#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/ptr_list.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> items_of(const str_vector& v) {
    std::vector<std::string> out;
    for (size_t i = 0; i < v.count; ++i) out.emplace_back(v.items[i]);
    return out;
}

// The items form a NULL-terminated list of exactly count texts.
void expect_terminated(const str_vector& v) {
    ASSERT_NE(v.items, nullptr);
    size_t n = 0;
    while (v.items[n]) ++n;
    EXPECT_EQ(n, v.count);
}

using words = std::vector<std::string>;

TEST(StrVector, SplitTable) {
    const struct {
        const char* text;
        const char* seps;
        uint32_t flags;
        words want;
    } rows[] = {
        {"a,,b", ",", 0, {"a", "", "b"}},
        {"a,,b", ",", STR_VECTOR_SKIP_EMPTY, {"a", "b"}},
        {"", ",", 0, {""}},
        {"", ",", STR_VECTOR_SKIP_EMPTY, {}},
        {",", ",", 0, {"", ""}},
        {"x&y&x", "&", STR_VECTOR_UNIQUE, {"x", "y"}},
        {"X&y&x", "&", STR_VECTOR_UNIQUE | STR_VECTOR_NOCASE, {"X", "y"}},
        {"1.2-3", ".-", 0, {"1", "2", "3"}},
        {"a,b", ",", STR_VECTOR_OWN, {"a", "b"}},
        {"no separator", ",", 0, {"no separator"}},
    };
    for (const auto& r : rows) {
        str_vector v;
        str_vector_init(&v, r.flags);
        ASSERT_EQ(str_split(r.text, r.seps, &v), 0) << r.text;
        EXPECT_EQ(items_of(v), r.want) << r.text << " flags " << r.flags;
        expect_terminated(v);
        str_vector_exit(&v);
    }
}

TEST(StrVector, SplitBufferIsReusedAndSelfSplitIsSafe) {
    str_vector v;
    str_vector_init(&v, 0);
    std::string longer(300, 'x');
    longer += ",tail";
    ASSERT_EQ(str_split(longer.c_str(), ",", &v), 0);
    char* buf = v.split_buf;
    size_t size = v.split_buf_size;
    ASSERT_EQ(str_split("p,q", ",", &v), 0);  // fits: same buffer
    EXPECT_EQ(v.split_buf, buf);
    EXPECT_EQ(items_of(v), (words{"p", "q"}));
    expect_terminated(v);
    ASSERT_EQ(str_split(longer.c_str(), ",", &v), 0);
    EXPECT_EQ(v.split_buf, buf);
    EXPECT_EQ(v.split_buf_size, size);
    EXPECT_EQ(v.count, 2u);
    // Splitting an item of the vector's own split: the text lives in the
    // buffer being reused (overlapping copy).
    ASSERT_EQ(str_split("a.b,c", ",", &v), 0);
    ASSERT_EQ(str_split(v.items[0], ".", &v), 0);
    EXPECT_EQ(items_of(v), (words{"a", "b"}));
    str_vector_exit(&v);
    EXPECT_EQ(v.items, nullptr);
    EXPECT_EQ(v.split_buf, nullptr);
}

TEST(StrVector, OwnedSplitKeepsNoLeaks) {
    pl_mem_stat before = pl_mem_stat_get();
    str_vector* v = str_vector_new(STR_VECTOR_OWN);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->allocated, 1u);
    ASSERT_EQ(str_split("a,b,c", ",", v), 0);
    // A second split into an owning vector frees the first split's copies.
    ASSERT_EQ(str_split(v->items[1], ",", v), 0);
    EXPECT_EQ(items_of(*v), (words{"b"}));
    str_vector_free(v);
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(StrVector, SplitWithQuotes) {
    str_vector v;
    str_vector_init(&v, 0);
    ASSERT_EQ(str_split_esape("a \"b c\" d", " ", "\"", &v), 0);
    EXPECT_EQ(items_of(v), (words{"a", "\"b c\"", "d"}));
    expect_terminated(v);
    // Empty fields between separators stay; an empty last field does not.
    ASSERT_EQ(str_split_esape("a  'x;y' ", " ", "'", &v), 0);
    EXPECT_EQ(items_of(v), (words{"a", "", "'x;y'"}));
    // Without quotes in the text it is a plain split (empty last field kept).
    ASSERT_EQ(str_split_esape("a b ", " ", "\"", &v), 0);
    EXPECT_EQ(items_of(v), (words{"a", "b", ""}));
    ASSERT_EQ(str_split_esape("a b", " ", nullptr, &v), 0);
    EXPECT_EQ(items_of(v), (words{"a", "b"}));
    {
        log_capture cap;
        EXPECT_EQ(str_split_esape("a \"b c d", " ", "\"", &v), -1);
        EXPECT_TRUE(cap.contains("syntax error"));
        EXPECT_EQ(cap.count(LOG2_ERR), 1u);
    }
    EXPECT_EQ(items_of(v), (words{"a", "b"}));  // unchanged by the failure
    str_vector_exit(&v);
}

TEST(StrVector, PushFindDel) {
    str_vector v;
    str_vector_init(&v, 0);
    EXPECT_EQ(v.flags, 4u);  // no compare bits given
    EXPECT_EQ(v.cap, 0u);
    EXPECT_EQ(str_vector_push(&v, nullptr), -1);
    const char* texts[] = {"a", "B", "a", "c"};
    for (const char* t : texts) ASSERT_EQ(str_vector_push(&v, t), 0);
    EXPECT_EQ(v.cap, 16u);
    EXPECT_EQ(v.items[0], texts[0]);  // not owned: the caller's pointer
    EXPECT_EQ(str_vector_find(&v, "c"), 3);
    EXPECT_EQ(str_vector_find(&v, "b"), -1);
    EXPECT_EQ(str_vector_del(&v, "a"), 0);  // every equal item
    EXPECT_EQ(items_of(v), (words{"B", "c"}));
    EXPECT_EQ(str_vector_del(&v, "a"), -1);
    str_vector_exit(&v);

    str_vector_init(&v, STR_VECTOR_OWN | STR_VECTOR_NOCASE);
    char text[] = "abc";
    ASSERT_EQ(str_vector_push(&v, text), 0);
    text[0] = 'z';
    EXPECT_STREQ(v.items[0], "abc");  // copied
    EXPECT_EQ(str_vector_find(&v, "ABC"), 0);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(str_vector_push(&v, std::to_string(i).c_str()), 0);
    EXPECT_EQ(v.cap, 64u);
    EXPECT_EQ(str_vector_del(&v, "Abc"), 0);
    EXPECT_EQ(v.count, 40u);
    expect_terminated(v);
    str_vector_exit(&v);
}

TEST(StrVector, SortAndUniqCompareTexts) {
    // Not owning: the texts are still ordered by content, not by address.
    std::string c = "c", a = "a", b = "b", a2 = "a";
    str_vector v;
    str_vector_init(&v, 0);
    for (std::string* s : {&c, &a, &b, &a2}) str_vector_push(&v, s->c_str());
    str_vector_sort(&v);
    EXPECT_EQ(items_of(v), (words{"a", "a", "b", "c"}));
    EXPECT_EQ(str_vector_uniq(&v), 3u);
    EXPECT_EQ(items_of(v), (words{"a", "b", "c"}));
    expect_terminated(v);
    str_vector_exit(&v);

    str_vector_init(&v, STR_VECTOR_OWN);
    ASSERT_EQ(str_split("x", ",", &v), 0);
    EXPECT_EQ(str_vector_uniq(&v), 1u);  // one item is kept
    ASSERT_EQ(str_split("b,a,b,b,a", ",", &v), 0);
    EXPECT_EQ(str_vector_uniq(&v), 2u);  // the duplicates are freed
    EXPECT_EQ(items_of(v), (words{"a", "b"}));
    str_vector_exit(&v);
}

TEST(PtrList, SortModes) {
    ptr_list* l = ptr_list_new(2, PTR_LIST_OWN);
    ASSERT_NE(l, nullptr);
    for (const char* t : {"pear", "apple", "fig", "apple"}) ASSERT_EQ(ptr_list_push(l, t), 0);
    EXPECT_EQ(l->count, 4u);
    EXPECT_EQ(l->items[4], nullptr);
    EXPECT_EQ(ptr_list_sort_uniq(l), 3u);
    EXPECT_STREQ(static_cast<char*>(l->items[0]), "apple");
    EXPECT_STREQ(static_cast<char*>(l->items[2]), "pear");
    ptr_list_truncate(l, 1);
    EXPECT_EQ(l->count, 1u);
    EXPECT_EQ(ptr_list_sort_uniq(l), 1u);
    ptr_list_free(l);

    // Without compare bits the items are numbers.
    ptr_list* n = ptr_list_new(0, 0);
    EXPECT_EQ(n->flags, PTR_CMP_U64);
    for (uintptr_t x : {30u, 10u, 20u, 10u}) ASSERT_EQ(ptr_list_push(n, reinterpret_cast<void*>(x)), 0);
    EXPECT_EQ(ptr_list_sort_uniq(n), 3u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(n->items[0]), 10u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(n->items[2]), 30u);
    ptr_list_free(n);
}

TEST(PtrList, ArraySortAndSearch) {
    const char* texts[] = {"m", "b", "x", "a"};
    str_array_sort(texts, 4);
    EXPECT_STREQ(texts[0], "a");
    EXPECT_STREQ(texts[3], "x");
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(str_array_bsearch(texts, 4, texts[i]), static_cast<ptrdiff_t>(i));
    EXPECT_EQ(str_array_bsearch(texts, 4, "c"), -1);
    EXPECT_EQ(str_array_bsearch(texts, 0, "a"), -1);

    struct rec {
        const char* name;
        int v;
    } r1{"k2", 2}, r2{"k1", 1}, r3{"k3", 3};
    void* recs[] = {&r1, &r2, &r3};
    str_array_sort_rec(recs, 3);
    EXPECT_EQ(static_cast<rec*>(recs[0])->v, 1);
    EXPECT_EQ(static_cast<rec*>(recs[2])->v, 3);
    EXPECT_EQ(str_array_bsearch_rec(recs, 3, "k2"), 1);
    EXPECT_EQ(str_array_bsearch_rec(recs, 3, "k0"), -1);

    uint64_t nums[] = {5, UINT64_MAX, 0, 7};
    u64_array_sort(nums, 4);
    EXPECT_EQ(nums[0], 0u);
    EXPECT_EQ(nums[3], UINT64_MAX);
}

}  // namespace
