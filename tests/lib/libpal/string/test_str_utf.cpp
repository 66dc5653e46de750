#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libpal/string/str_utf.h"
#include "support/proc.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string hex(const std::string& s) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
        out += ' ';
    }
    return out;
}

struct conv_result {
    int64_t rc;
    int err;
    std::string out;
    size_t consumed;
};

// Runs utf_conv on a heap copy of exactly the input's size (so ASan sees any
// read past it) into an output of out_size bytes.
conv_result conv(int from, int to, const std::string& in, size_t out_size = 64) {
    std::unique_ptr<char[]> src(new char[in.size() ? in.size() : 1]);
    memcpy(src.get(), in.data(), in.size());
    std::unique_ptr<char[]> dst(new char[out_size ? out_size : 1]);
    const char* ip = src.get();
    size_t left = in.size();
    char* op = dst.get();
    size_t room = out_size;
    errno = 0;
    int64_t rc = utf_conv(from, to, &ip, &left, &op, &room);
    int err = errno;
    EXPECT_EQ(static_cast<size_t>(op - dst.get()) + room, out_size);
    EXPECT_EQ(static_cast<size_t>(ip - src.get()) + left, in.size());
    return {rc, err, std::string(dst.get(), static_cast<size_t>(op - dst.get())), in.size() - left};
}

TEST(UtfConv, Table) {
    const struct {
        const char* what;
        int from, to;
        std::string in;
        int64_t rc;
        int err;  // 0: errno not checked
        std::string out;
        size_t consumed;
    } rows[] = {
        {"e-acute and zero", UTF_16LE, UTF_8, bytes({0xE9, 0, 0, 0}), 3, 0, bytes({0xC3, 0xA9, 0}), 4},
        {"big-endian source", UTF_16BE, UTF_8, bytes({0, 0x41, 0x20, 0xAC}), 4, 0, bytes({0x41, 0xE2, 0x82, 0xAC}), 4},
        {"lone high surrogate at the end", UTF_16LE, UTF_8, bytes({0x41, 0, 0x00, 0xD8}), 1, EINVAL, "A", 2},
        {"odd byte at the end", UTF_16LE, UTF_8, bytes({0x41, 0, 0x42}), 1, EINVAL, "A", 2},
        {"surrogate pair D800 DC00", UTF_16LE, UTF_8, bytes({0x00, 0xD8, 0x00, 0xDC}), 4, 0,
         bytes({0xF0, 0x90, 0x80, 0x80}), 4},
        {"surrogate pair DBFF DFFF", UTF_16LE, UTF_8, bytes({0xFF, 0xDB, 0xFF, 0xDF}), 4, 0,
         bytes({0xF4, 0x8F, 0xBF, 0xBF}), 4},
        {"high surrogate before a plain unit", UTF_16LE, UTF_8, bytes({0x41, 0, 0x00, 0xD8, 0x41, 0}), -1, EILSEQ,
         "A", 2},
        {"two high surrogates", UTF_16LE, UTF_8, bytes({0x00, 0xD8, 0x00, 0xD8}), -1, EILSEQ, "", 0},
        {"lone low surrogate", UTF_16LE, UTF_8, bytes({0x00, 0xDC, 0x41, 0}), -1, EILSEQ, "", 0},
        {"U+1F600 to UTF-16LE", UTF_8, UTF_16LE, bytes({0xF0, 0x9F, 0x98, 0x80}), 4, 0,
         bytes({0x3D, 0xD8, 0x00, 0xDE}), 4},
        {"U+1F600 to UTF-16BE", UTF_8, UTF_16BE, bytes({0xF0, 0x9F, 0x98, 0x80}), 4, 0,
         bytes({0xD8, 0x3D, 0xDE, 0x00}), 4},
        {"overlong zero", UTF_8, UTF_16LE, bytes({0xC0, 0x80}), -1, EILSEQ, "", 0},
        {"overlong three bytes", UTF_8, UTF_16LE, bytes({0xE0, 0x80, 0xAF}), -1, EILSEQ, "", 0},
        {"overlong four bytes", UTF_8, UTF_16LE, bytes({0xF0, 0x8F, 0xBF, 0xBF}), -1, EILSEQ, "", 0},
        {"encoded surrogate", UTF_8, UTF_16LE, bytes({0x41, 0xED, 0xA0, 0x80}), -1, EILSEQ, bytes({0x41, 0}), 1},
        {"above 10FFFF", UTF_8, UTF_16LE, bytes({0xF4, 0x90, 0x80, 0x80}), -1, EILSEQ, "", 0},
        {"five-byte lead", UTF_8, UTF_16LE, bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), -1, EILSEQ, "", 0},
        {"stray continuation", UTF_8, UTF_16LE, bytes({0x80}), -1, EILSEQ, "", 0},
        {"noncharacter FFFF", UTF_8, UTF_16LE, bytes({0xEF, 0xBF, 0xBF}), -1, EILSEQ, "", 0},
        {"noncharacter FFFE", UTF_8, UTF_16LE, bytes({0xEF, 0xBF, 0xBE}), -1, EILSEQ, "", 0},
        {"cut sequence", UTF_8, UTF_16LE, bytes({0x41, 0xE2, 0x82}), 2, EINVAL, bytes({0x41, 0}), 1},
        {"malformed before the cut", UTF_8, UTF_16LE, bytes({0xE2, 0x41}), -1, EILSEQ, "", 0},
        {"UTF-32 source", UTF_32, UTF_8, std::string("\x00\xF6\x01\x00", 4), 4, 0,
         bytes({0xF0, 0x9F, 0x98, 0x80}), 4},
        {"UTF-32 above 10FFFF", UTF_32, UTF_8, std::string("\x00\x00\x11\x00", 4), -1, EILSEQ, "", 0},
        {"UTF-32 target", UTF_8, UTF_32, "A", 4, 0, std::string("A\0\0\0", 4), 1},
        {"unsupported target", UTF_8, 2, "A", -1, EBADF, "", 0},
        {"unsupported source", 6, UTF_8, "A", -1, EBADF, "", 0},
        {"empty input", UTF_8, UTF_16LE, "", 0, 0, "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        conv_result c = conv(r.from, r.to, r.in);
        EXPECT_EQ(c.rc, r.rc);
        if (r.err) {
            EXPECT_EQ(c.err, r.err);
        }
        EXPECT_EQ(hex(c.out), hex(r.out));
        EXPECT_EQ(c.consumed, r.consumed);
    }
}

TEST(UtfConv, FullOutputStopsOnACharacterBoundary) {
    // "A", U+20AC (3 bytes), "B" into 3 bytes: the euro sign does not fit.
    conv_result c = conv(UTF_16LE, UTF_8, bytes({0x41, 0, 0xAC, 0x20, 0x42, 0}), 3);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, E2BIG);
    EXPECT_EQ(c.out, "A");
    EXPECT_EQ(c.consumed, 2u);
    // A surrogate pair needs four bytes of UTF-16 at once.
    c = conv(UTF_8, UTF_16LE, bytes({0xF0, 0x9F, 0x98, 0x80}), 3);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, E2BIG);
    EXPECT_EQ(c.out, "");
}

TEST(UtfConv, CountOnlyAndAbsentInput) {
    std::string in = bytes({0x3D, 0xD8, 0x00, 0xDE, 0x41, 0});
    const char* ip = in.data();
    size_t left = in.size();
    EXPECT_EQ(utf_conv(UTF_16LE, UTF_8, &ip, &left, nullptr, nullptr), 5);
    EXPECT_EQ(left, 0u);
    const char* none = nullptr;
    left = 4;
    EXPECT_EQ(utf_conv(UTF_16LE, UTF_8, &none, &left, nullptr, nullptr), 0);
    EXPECT_EQ(utf_conv(UTF_16LE, UTF_8, nullptr, &left, nullptr, nullptr), 0);
}

TEST(Utf8PutChar, Table) {
    const struct {
        uint32_t cp;
        std::string out;
    } rows[] = {
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0x80, bytes({0xC2, 0x80})},
        {0x7FF, bytes({0xDF, 0xBF})},
        {0x800, bytes({0xE0, 0xA0, 0x80})},
        {0xFFFF, bytes({0xEF, 0xBF, 0xBF})},
        {0x10000, bytes({0xF0, 0x90, 0x80, 0x80})},
        {0x10FFFF, bytes({0xF4, 0x8F, 0xBF, 0xBF})},
        {0x110000, "?"},
    };
    for (const auto& r : rows) {
        char out[4];
        int n = utf8_put_char(out, r.cp);
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), r.out) << std::hex << r.cp;
        EXPECT_EQ(utf8_put_char(nullptr, r.cp), n);
    }
}

// The UTF-16LE form of a list of units, with a terminating zero unit.
std::string u16le(std::initializer_list<uint16_t> units) {
    std::string s;
    for (uint16_t u : units) {
        s += static_cast<char>(u & 0xFF);
        s += static_cast<char>(u >> 8);
    }
    s += std::string(2, '\0');
    return s;
}

TEST(Utf16ToUtf8, ConvertsAndAlwaysTerminates) {
    const std::string text = u16le({'a', 0xE9, 0xD83D, 0xDE00, 'z'});  // a e-acute U+1F600 z
    const std::string want = "a\xC3\xA9\xF0\x9F\x98\x80z";
    // Exact size, then every size below it: the output is a terminated prefix
    // of whole characters, never a cut sequence, and nothing past the size.
    for (size_t size = want.size() + 1; size > 0; --size) {
        SCOPED_TRACE(size);
        std::unique_ptr<char[]> out(new char[size]);
        memset(out.get(), 'Z', size);
        char* r = str_utf16_to_utf8(text.data(), out.get(), size);
        size_t n = strnlen(out.get(), size);
        ASSERT_LT(n, size);
        EXPECT_EQ(want.compare(0, n, out.get()), 0);
        if (size == want.size() + 1) {
            EXPECT_EQ(r, out.get());
            EXPECT_EQ(n, want.size());
        } else {
            EXPECT_EQ(r, nullptr);
            EXPECT_TRUE(n == 0 || n == 1 || n == 3 || n == 7) << n;
        }
    }
}

TEST(Utf16ToUtf8, MalformedTextLeavesTerminatedPrefix) {
    const struct {
        std::string text;
        const char* prefix;
    } rows[] = {
        {u16le({'a', 'b', 0xDC00, 'c'}), "ab"},
        {u16le({'a', 0xD800}), "a"},  // a lone high surrogate before the terminator
        {u16le({0xD800, 'x'}), ""},
    };
    for (const auto& r : rows) {
        char out[16];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(str_utf16_to_utf8(r.text.data(), out, sizeof out), nullptr);
        EXPECT_STREQ(out, r.prefix);
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(str_utf16_to_utf8_conv(r.text.data(), out, sizeof out), nullptr);
        EXPECT_STREQ(out, r.prefix);
        EXPECT_EQ(str_utf16_to_utf8_len(r.text.data()), -1);
    }
}

TEST(Utf16ToUtf8, BoundedNameIsNotReadPastItsLength) {
    // A 36-unit name field filled completely, in a block of exactly its size.
    const size_t units = 36;
    std::unique_ptr<unsigned char[]> field(new unsigned char[2 * units]);
    for (size_t i = 0; i < units; ++i) {
        field[2 * i] = static_cast<unsigned char>('A' + i % 26);
        field[2 * i + 1] = 0;
    }
    char out[128];
    ASSERT_EQ(str_utf16_to_utf8_n(field.get(), units, out, sizeof out), out);
    EXPECT_EQ(strlen(out), units);
    EXPECT_EQ(out[35], 'J');
    // A shorter name stops at its zero unit; a pair cut by the field's end is
    // refused, with the characters before it kept.
    field[2 * 3] = 0;
    ASSERT_EQ(str_utf16_to_utf8_n(field.get(), units, out, sizeof out), out);
    EXPECT_STREQ(out, "ABC");
    field[2 * 3] = 'D';
    field[2 * 35] = 0x3D;
    field[2 * 35 + 1] = 0xD8;
    EXPECT_EQ(str_utf16_to_utf8_n(field.get(), units, out, sizeof out), nullptr);
    EXPECT_EQ(strlen(out), 35u);
    // An odd address is fine: the units are read byte by byte.
    std::string odd = "x" + u16le({0xE9});
    ASSERT_NE(str_utf16_to_utf8(odd.data() + 1, out, sizeof out), nullptr);
    EXPECT_STREQ(out, "\xC3\xA9");
}

TEST(Utf8ToUtf16, ConvertsTerminatesAndCounts) {
    const char* text = "a\xF0\x9F\x98\x80";
    EXPECT_EQ(str_utf8_to_utf16_len(text), 8);
    unsigned char out[8];
    memset(out, 0x55, sizeof out);
    ASSERT_NE(str_utf8_to_utf16(text, out, sizeof out), nullptr);
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 8)), hex(u16le({'a', 0xD83D, 0xDE00})));
    // One byte short: the pair does not fit, "a" and a zero unit remain.
    memset(out, 0x55, sizeof out);
    EXPECT_EQ(str_utf8_to_utf16(text, out, 7), nullptr);
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 4)), hex(u16le({'a'})));
    // A sequence cut by the terminator is malformed.
    EXPECT_EQ(str_utf8_to_utf16("a\xE2\x82", out, sizeof out), nullptr);
    EXPECT_EQ(out[2] | out[3], 0);
    EXPECT_EQ(str_utf8_to_utf16_len("a\xE2\x82"), -1);
    EXPECT_EQ(str_utf8_to_utf16_len(""), 2);
}

TEST(Utf16ToUtf8, ExReportsSize) {
    std::string text = u16le({'a', 0xE9});
    size_t size = 0;
    ASSERT_EQ(str_utf16_to_utf8_ex(nullptr, &size, text.data()), 1);
    EXPECT_EQ(size, 4u);
    char out[4];
    size = sizeof out;
    ASSERT_EQ(str_utf16_to_utf8_ex(out, &size, text.data()), 1);
    EXPECT_STREQ(out, "a\xC3\xA9");
    size = 3;
    EXPECT_EQ(str_utf16_to_utf8_ex(out, &size, text.data()), 0);
    EXPECT_EQ(str_utf16_to_utf8_len(text.data()), 4);
}

TEST(U16Text, CopyAndAppendAreBounded) {
    const uint16_t ab[] = {'a', 'b', 0};
    uint16_t buf[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(u16_strlen(ab), 2u);
    EXPECT_EQ(u16_strnlen(ab, 1), 1u);
    ASSERT_EQ(u16_strcpy(buf, 5, ab), 0);
    ASSERT_EQ(u16_strcat(buf, 5, ab), 0);
    EXPECT_EQ(u16_strlen(buf), 4u);
    EXPECT_EQ(buf[3], 'b');
    EXPECT_EQ(u16_strcat(buf, 5, ab), -1);  // six units do not fit five
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(u16_strcpy(buf, 2, ab), -1);
    EXPECT_EQ(buf[0], 0);
}

// Random valid texts (BMP and beyond) against the system converter, both ways.
TEST(UtfConv, AgreesWithIconv) {
    std::mt19937 rng(1155);
    for (int round = 0; round < 40; ++round) {
        std::string utf8;
        int len = static_cast<int>(rng() % 24);
        for (int i = 0; i < len; ++i) {
            uint32_t cp;
            switch (rng() % 4) {
            case 0: cp = 0x20 + rng() % 0x5F; break;
            case 1: cp = 0x80 + rng() % 0x780; break;
            case 2: cp = 0x800 + rng() % 0xF7FE; break;
            default: cp = 0x10000 + rng() % 0x100000; break;
            }
            if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) cp = 'x';
            char b[4];
            utf8.append(b, static_cast<size_t>(utf8_put_char(b, cp)));
        }
        proc_result r;
        try {
            r = run_proc({"iconv", "-f", "UTF-8", "-t", "UTF-16LE"}, utf8);
        } catch (...) {
            GTEST_SKIP() << "iconv is missing";
        }
        ASSERT_EQ(r.status, 0) << r.err;
        conv_result c = conv(UTF_8, UTF_16LE, utf8, 256);
        EXPECT_EQ(c.rc, static_cast<int64_t>(r.out.size()));
        EXPECT_EQ(hex(c.out), hex(r.out));
        conv_result back = conv(UTF_16LE, UTF_8, r.out, 256);
        EXPECT_EQ(back.out, utf8);
    }
}

// Malformed inputs that the system converter refuses as well.
TEST(UtfConv, RefusalsAgreeWithIconv) {
    const struct {
        const char* from;
        int enc;
        std::string in;
    } rows[] = {
        {"UTF-8", UTF_8, bytes({0xC0, 0x80})},
        {"UTF-8", UTF_8, bytes({0xED, 0xA0, 0x80})},
        {"UTF-8", UTF_8, bytes({0xF4, 0x90, 0x80, 0x80})},
        {"UTF-8", UTF_8, bytes({0xE0, 0x80, 0x8F})},
        {"UTF-8", UTF_8, bytes({0x80})},
        {"UTF-8", UTF_8, bytes({0x41, 0xE3})},
        {"UTF-16LE", UTF_16LE, bytes({0x00, 0xDC, 0x41, 0x00})},
        {"UTF-16LE", UTF_16LE, bytes({0x41, 0x00, 0x00, 0xD8})},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(hex(r.in));
        proc_result p;
        try {
            p = run_proc({"iconv", "-f", r.from, "-t", "UTF-32LE"}, r.in);
        } catch (...) {
            GTEST_SKIP() << "iconv is missing";
        }
        EXPECT_NE(p.status, 0);
        conv_result c = conv(r.enc, UTF_32, r.in);
        EXPECT_TRUE(c.rc == -1 || c.err == EINVAL);
        EXPECT_LT(c.consumed, r.in.size());
    }
}

}  // namespace
