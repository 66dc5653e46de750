#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/tail_text.h"
#include "libpal/string/text_buf.h"

namespace {

using buf_ptr = std::unique_ptr<text_buf, text_buf_deleter>;

// Every byte past the text up to cap is zero.
bool zero_tail(const text_buf* b) {
    for (size_t i = b->len; i < b->cap; ++i)
        if (b->data[i]) return false;
    return true;
}

TEST(TextBuf, GrowsInWholeStepsAndStaysTerminated) {
    buf_ptr b(text_buf_new());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->cap, 4096u);
    EXPECT_EQ(b->len, 0u);
    EXPECT_EQ(text_buf_str(b.get()), nullptr);
    // 4095 characters and the terminator fill the first step exactly.
    std::string a(4095, 'a');
    ASSERT_EQ(text_buf_add_str(b.get(), a.c_str()), 0);
    EXPECT_EQ(b->cap, 4096u);
    ASSERT_EQ(text_buf_add_chr(b.get(), 'b'), 0);
    EXPECT_EQ(b->cap, 8192u);
    EXPECT_TRUE(zero_tail(b.get()));
    // One large add reaches the same capacity the step-by-step growth would.
    std::string big(3 * 4096 + 10, 'c');
    ASSERT_EQ(text_buf_add(b.get(), big.data(), big.size()), 0);
    EXPECT_EQ(b->len, 4096u + big.size());
    EXPECT_EQ(b->cap, 5u * 4096);
    EXPECT_TRUE(zero_tail(b.get()));
    EXPECT_EQ(std::string(text_buf_str(b.get())), a + "b" + big);
}

TEST(TextBuf, FiveThousandCharacters) {
    buf_ptr b(text_buf_new());
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(text_buf_add_chr(b.get(), 'x'), 0);
    EXPECT_EQ(b->cap, 8192u);
    EXPECT_EQ(b->len, 5000u);
    EXPECT_EQ(strlen(b->data), 5000u);
}

TEST(TextBuf, PrintfPopCutClear) {
    buf_ptr b(text_buf_new());
    EXPECT_EQ(text_buf_printf(b.get(), "%s=%d;", "k", 42), 5);
    EXPECT_EQ(text_buf_printf(b.get(), "%s", ""), 0);
    EXPECT_EQ(text_buf_add(b.get(), "zz", 0), 0);  // n = 0 adds nothing
    EXPECT_STREQ(text_buf_str(b.get()), "k=42;");
    EXPECT_EQ(text_buf_pop(b.get()), 5u);
    EXPECT_STREQ(text_buf_str(b.get()), "k=42");
    text_buf_cut(b.get(), 2);
    EXPECT_STREQ(text_buf_str(b.get()), "k=");
    EXPECT_TRUE(zero_tail(b.get()));
    text_buf_cut(b.get(), 100);  // more than the text: all of it
    EXPECT_EQ(b->len, 0u);
    EXPECT_EQ(text_buf_pop(b.get()), 0u);
    text_buf_add_str(b.get(), "again");
    text_buf_clear(b.get());
    EXPECT_EQ(text_buf_str(b.get()), nullptr);
    EXPECT_TRUE(zero_tail(b.get()));
    EXPECT_EQ(text_buf_add(nullptr, "x", 1), -1);
    EXPECT_EQ(text_buf_add_str(b.get(), nullptr), -1);
}

TEST(TextBuf, DetachHandsOverTheText) {
    pl_mem_stat before = pl_mem_stat_get();
    EXPECT_EQ(text_buf_detach(text_buf_new()), nullptr);  // empty: freed
    char* e = text_buf_detach_str(text_buf_new());
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    pl_free(e);
    text_buf* b = text_buf_new();
    text_buf_add_str(b, "kept");
    char* t = text_buf_detach(b);
    EXPECT_STREQ(t, "kept");
    pl_free(t);
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(TailText, DropsWholeLinesFromTheFront) {
    char buf[16];
    tail_text t;
    tail_text_init(&t, buf, sizeof buf);
    EXPECT_EQ(tail_text_add(&t, "one\n"), 0);
    EXPECT_EQ(tail_text_add(&t, "two\n"), 0);
    EXPECT_EQ(tail_text_add(&t, "three\n"), 0);
    EXPECT_STREQ(buf, "one\ntwo\nthree\n");
    EXPECT_EQ(tail_text_add(&t, "x"), 0);  // 15 characters: full
    EXPECT_STREQ(buf, "one\ntwo\nthree\nx");
    // 2 more characters: dropping "one\n" (4 >= 2) makes room.
    EXPECT_EQ(tail_text_add(&t, "yz"), 0);
    EXPECT_STREQ(buf, "two\nthree\nxyz");
    // 6 characters: "two\n" is only 4, so the drop runs through "three\n".
    EXPECT_EQ(tail_text_add(&t, "abcdef"), 0);
    EXPECT_STREQ(buf, "xyzabcdef");
    EXPECT_EQ(t.len, 9u);
    // No line break left to drop at: nothing is added.
    EXPECT_EQ(tail_text_add(&t, "1234567"), -1);
    EXPECT_STREQ(buf, "xyzabcdef");
    // A text that can never fit.
    EXPECT_EQ(tail_text_add(&t, "0123456789abcdefg"), -1);
}

}  // namespace
