#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"
#include "support/log_capture.h"

namespace {

// A destination buffer with guard bytes on both sides.
struct guarded {
    static constexpr size_t pad = 16;
    char mem[256 + 2 * pad];
    size_t size;
    explicit guarded(size_t n, const char* init = "") : size(n) {
        memset(mem, 0x7E, sizeof mem);
        if (n) {
            strncpy(dest(), init, n - 1);
            dest()[n - 1] = 0;
        }
    }
    char* dest() { return mem + pad; }
    bool intact() const {
        for (size_t i = 0; i < pad; ++i)
            if (mem[i] != 0x7E || mem[pad + size + i] != 0x7E) return false;
        return true;
    }
};

struct copy_case {
    const char* name;
    int strict;
    size_t size;
    const char* src;
    int result;
    const char* expect;
    const char* log;  // expected log text, or nullptr for none
};

TEST(StrSafe, CopyTable) {
    const copy_case cases[] = {
        {"empty into 1", 1, 1, "", 0, "", nullptr},
        {"exact fit", 1, 4, "abc", 0, "abc", nullptr},
        {"one over", 1, 4, "abcd", 34, "", "need_size=5 buf_size=4 head=[abcd]"},
        {"truncating", 0, 4, "abcdef", 0, "abc", nullptr},
        {"truncating fit", 0, 7, "abcdef", 0, "abcdef", nullptr},
        {"head cut and line breaks removed", 1, 4, "ab\r\ncd", 34, "", "head=[abcd]"},
        {"head of long source", 1, 8, "0123456789abcdefghijklmnopqrstuvwxyz0123", 34, "", "need_size=41 buf_size=8 head=[0123456789abcde]"},
    };
    for (const auto& c : cases) {
        log_capture cap;
        guarded g(c.size, "zz");
        errno = 0;
        int r = str_safecopy_imp(g.dest(), c.size, c.src, c.strict);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_STREQ(g.dest(), c.expect) << c.name;
        EXPECT_TRUE(g.intact()) << c.name;
        EXPECT_EQ(errno, c.result) << c.name;
        if (c.log) {
            EXPECT_TRUE(cap.contains(c.log)) << c.name << ": " << cap.all();
            EXPECT_EQ(cap.count(3), 1u) << c.name;
        } else {
            EXPECT_EQ(cap.count(), 0u) << c.name << ": " << cap.all();
        }
    }
}

TEST(StrSafe, AppendTable) {
    struct cat_case {
        const char* name;
        int strict;
        size_t size;
        const char* init;
        const char* src;
        int result;
        const char* expect;
        const char* log;
    };
    const cat_case cases[] = {
        {"fits", 1, 8, "ab", "cde", 0, "abcde", nullptr},
        {"full plus empty", 1, 4, "abc", "", 0, "abc", nullptr},
        {"full plus one", 1, 4, "abc", "d", 34, "", "need_size=5 buf_size=4 head=[d]"},
        {"truncating keeps old text", 0, 6, "ab", "cdefgh", 0, "abcde", nullptr},
    };
    for (const auto& c : cases) {
        log_capture cap;
        guarded g(c.size, c.init);
        int r = str_safecat_imp(g.dest(), c.size, c.src, c.strict);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_STREQ(g.dest(), c.expect) << c.name;
        EXPECT_TRUE(g.intact()) << c.name;
        if (c.log) EXPECT_TRUE(cap.contains(c.log)) << c.name << ": " << cap.all();
        else EXPECT_EQ(cap.count(), 0u) << c.name;
    }
    char one[4] = "ab";
    EXPECT_EQ(str_safecat_chr(one, sizeof one, 'c'), 0);
    EXPECT_STREQ(one, "abc");
}

TEST(StrSafe, UnterminatedDestinationIsEmptied) {
    log_capture cap;
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(str_safecat(buf, sizeof buf, "x"), 22);
    EXPECT_EQ(buf[0], 0);
    EXPECT_TRUE(cap.contains("expr[_Expr_val]: (\"String is not null terminated\" && 0)"));
    char buf2[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcat_printf(buf2, sizeof buf2, "%d", 1), -1);
}

TEST(StrSafe, InvalidArgumentsWriteNothing) {
    log_capture cap;
    char buf[8] = "keep";
    EXPECT_EQ(str_safecopy(nullptr, 8, "x"), 22);
    EXPECT_EQ(str_safecopy(buf, 0, "x"), 22);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(str_safecat(nullptr, 8, "x"), 22);
    EXPECT_EQ(str_sprintf_s(nullptr, 8, "%d", 1), 22);
    EXPECT_EQ(str_sprintf_s(buf, 0, "%d", 1), 22);
    EXPECT_EQ(strcat_printf(nullptr, 8, "%d", 1), 22);
    EXPECT_EQ(str_lcpy(nullptr, "x", 8), 8u);
    EXPECT_STREQ(buf, "keep");
    EXPECT_TRUE(cap.contains("expr[_Expr_val]: (dest) != NULL && (size) > 0"));
    EXPECT_EQ(str_safecopy(buf, sizeof buf, nullptr), 22);
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(cap.contains("expr[_Expr_val]: (src) != NULL"));
}

TEST(StrSafe, FormattedPrint) {
    log_capture cap;
    char buf[8];
    EXPECT_EQ(str_sprintf_s(buf, sizeof buf, "%s", "1234567"), 7);
    EXPECT_EQ(cap.count(), 0u);
    EXPECT_EQ(str_sprintf_s(buf, sizeof buf, "%s", "12345678"), 8);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_TRUE(cap.contains("need_size=9 buf_size=8 fmt=[%s]"));

    cap.clear();
    char c8[8] = "ab";
    EXPECT_EQ(strcat_printf(c8, sizeof c8, "%d", 123), 5);
    EXPECT_STREQ(c8, "ab123");
    EXPECT_EQ(cap.count(), 0u);
    char c4[4] = "ab";
    EXPECT_EQ(strcat_printf(c4, sizeof c4, "%d", 123), 5);
    EXPECT_STREQ(c4, "ab1");
    EXPECT_TRUE(cap.contains("expr[ret<clen]: assert failed"));
}

TEST(StrSafe, LcpyReportsSourceLength) {
    std::string src(200, 'p');
    char field[104];
    EXPECT_EQ(str_lcpy(field, src.c_str(), sizeof field), 200u);
    EXPECT_EQ(strlen(field), 103u);
}

TEST(StrSafe, ArrayOverloadTakesTheArraySize) {
    log_capture cap;
    char small[4];
    EXPECT_EQ(str_safecopy(small, "abc"), 0);
    EXPECT_EQ(str_safecopy(small, "abcd"), 34);
}

TEST(StrSafeDeath, SafeStrdupOfNullEndsTheProcess) {
    EXPECT_EXIT(safe_strdup(nullptr), testing::ExitedWithCode(1),
                "safe_strdup called with NULL which would have crashed strdup. Bailing out");
}

TEST(StrSafe, SafeWrappersReturnUsableMemory) {
    auto* p = static_cast<unsigned char*>(safe_malloc(32));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(p[i], 0);
    p = static_cast<unsigned char*>(safe_realloc(p, 64));
    pl_free(p);
    char* s = safe_strdup("x");
    EXPECT_STREQ(s, "x");
    pl_free(s);
    char* f = nullptr;
    EXPECT_EQ(safe_asprintf(&f, "%s=%d", "a", 1), 3);
    EXPECT_STREQ(f, "a=1");
    pl_free(f);
}

TEST(StrUtil, TrimHeadAndListIndex) {
    char t[] = " \t abc \r\n";
    EXPECT_STREQ(str_trim(t), "abc");
    char h[16];
    EXPECT_STREQ(str_get_head("ab\r\ncd", h, sizeof h), "abcd");
    static const char list[] = "bs\0count\0seek\0";
    EXPECT_EQ(str_list_index(list, "bs"), 0);
    EXPECT_EQ(str_list_index(list, "seek"), 2);
    EXPECT_EQ(str_list_index(list, "Seek"), -1);
    EXPECT_EQ(str_list_index(list, ""), -1);
}

}  // namespace
