#include "libpal/memory/mem_add_str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/log_capture.h"

namespace {

std::string bytes(const char* b, int64_t n) { return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string(); }

TEST(MemAddStr, StrictCopies) {
    char buf[10];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(mem_add_str(buf, sizeof buf, "abc", 3), 3);
    {
        log_capture cap;
        EXPECT_EQ(mem_add_str(buf, 2, "abc", 3), -1);
        EXPECT_TRUE(cap.contains("expr[slen <= blen]: assert failed"));
    }
    struct strs_case {
        size_t size;
        int64_t rc;
        std::string want;
    };
    const strs_case cases[] = {
        {10, 9, std::string("abc\0defg\0", 9)},
        {9, 9, std::string("abc\0defg\0", 9)},
        {8, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        memset(buf, '#', sizeof buf);
        log_capture cap;
        int64_t n = mem_add_strs(buf, c.size, "abc", "defg", nullptr);
        EXPECT_EQ(n, c.rc);
        EXPECT_EQ(bytes(buf, n), c.want);
    }
    EXPECT_EQ(mem_add_strs(buf, sizeof buf, "x", nullptr, "ignored"), 2) << "an absent text ends the list";
    EXPECT_EQ(mem_add_strs(buf, sizeof buf), 0);

    const iovec pieces[] = {{const_cast<char*>("12"), 2}, {nullptr, 0}, {const_cast<char*>("345"), 3}};
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(mem_add_iov(buf, sizeof buf, pieces, 3), 5);
    EXPECT_EQ(bytes(buf, 5), "12345");
    log_capture cap;
    EXPECT_EQ(mem_add_iov(buf, 4, pieces, 3), -1);
}

TEST(MemAddStr, TruncatingCopies) {
    struct trunc_case {
        size_t size;
        int64_t rc;
        std::string want;
    };
    const trunc_case cases[] = {
        {6, 6, std::string("abc\0d\0", 6)},      // the second text cut, its last byte 0
        {9, 9, std::string("abc\0defg\0", 9)},   // an exact fit
        {20, 9, std::string("abc\0defg\0", 9)},  // everything fits
        {4, 4, std::string("abc\0", 4)},         // the first fills the buffer
        {2, 2, std::string("a\0", 2)},
        {1, 1, std::string("\0", 1)},
        {0, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        char buf[24];
        memset(buf, '#', sizeof buf);
        int64_t n = mem_add_strs_trunc(buf, c.size, "abc", "defg", nullptr);
        EXPECT_EQ(n, c.rc);
        EXPECT_EQ(bytes(buf, n), c.want);
        EXPECT_EQ(buf[c.size], '#') << "nothing past the size";
    }

    // Pieces: a cut piece ends in 0 as well.
    const iovec pieces[] = {{const_cast<char*>("12"), 2}, {const_cast<char*>("345"), 3}};
    const trunc_case iov_cases[] = {
        {4, 4, std::string("123\0", 4)},
        {5, 5, std::string("1234\0", 5)},
        {6, 5, "12345"},
    };
    for (const auto& c : iov_cases) {
        SCOPED_TRACE(c.size);
        char buf[8];
        memset(buf, '#', sizeof buf);
        int64_t n = mem_add_iov_trunc(buf, c.size, pieces, 2);
        EXPECT_EQ(n, c.rc);
        EXPECT_EQ(bytes(buf, n), c.want);
    }
}

}  // namespace
