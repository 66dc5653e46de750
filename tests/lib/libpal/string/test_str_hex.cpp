#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_hex.h"
#include "support/proc.h"

namespace {

using pl_text = std::unique_ptr<char, pl_mem_deleter>;

std::string as_string(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

TEST(HexDigits, AllBytes) {
    for (int c = 0; c < 256; ++c) {
        int want = -1;
        if (c >= '0' && c <= '9') want = c - '0';
        if (c >= 'a' && c <= 'f') want = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') want = c - 'A' + 10;
        char ch = static_cast<char>(c);
        uint8_t v = 99;
        EXPECT_EQ(hex_char_to_val(ch), want < 0 ? 255 : want) << c;
        EXPECT_EQ(hex_char_value(&v, ch), want < 0 ? 0 : 1) << c;
        EXPECT_EQ(v, want < 0 ? 99 : want) << c;
        EXPECT_EQ(hex_digit_value(ch), want < 0 ? UINT32_MAX : static_cast<uint32_t>(want)) << c;
    }
}

TEST(HexEncode, Table) {
    const struct {
        std::string in;
        const char* upper;
        const char* lower;
    } rows[] = {
        {"\x0A\xFF", "0AFF", "0aff"},
        {"", "", ""},
        {std::string("\0\x10", 2), "0010", "0010"},
        {"\xDE\xAD\xBE\xEF", "DEADBEEF", "deadbeef"},
    };
    for (const auto& r : rows) {
        size_t n = r.in.size();
        EXPECT_EQ(str_bin_encode_hex(r.in.data(), n, nullptr, 0), static_cast<int64_t>(2 * n + 1));
        std::vector<char> out(2 * n + 1, 'Z');
        EXPECT_EQ(str_bin_encode_hex(r.in.data(), n, out.data(), out.size()), static_cast<int64_t>(2 * n));
        EXPECT_STREQ(out.data(), r.upper);
        std::fill(out.begin(), out.end(), 'Z');
        EXPECT_EQ(str_bin_encode_hex_lower(r.in.data(), n, out.data(), out.size()), 1);
        EXPECT_STREQ(out.data(), r.lower);
        pl_text dup(str_bin_encode_hex_dup(r.in.data(), n));
        ASSERT_TRUE(dup);
        EXPECT_STREQ(dup.get(), r.upper);
        // One byte short.
        if (n) {
            std::vector<char> small(2 * n, 'Z');
            EXPECT_EQ(str_bin_encode_hex(r.in.data(), n, small.data(), small.size()), -1);
            EXPECT_EQ(str_bin_encode_hex_lower(r.in.data(), n, small.data(), small.size()), 0);
            EXPECT_EQ(small[0], 0);
        }
    }
    // The length of the bytes as a text.
    char out[16];
    EXPECT_EQ(str_bin_encode_hex("AB", STR_HEX_LEN_TEXT, out, sizeof out), 4);
    EXPECT_STREQ(out, "4142");
}

TEST(HexDecode, Table) {
    const struct {
        const char* in;
        int64_t n;
        std::string out;
    } rows[] = {
        {"0a1B", 2, "\x0A\x1B"},
        {"", 0, ""},
        {"abc", -1, ""},
        {"0g", -1, ""},
        {"0 ", -1, ""},
        {"\xC3\xA9", -1, ""},
        {"ffFF00", 3, std::string("\xFF\xFF\x00", 3)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        unsigned char out[8];
        memset(out, 0x55, sizeof out);
        EXPECT_EQ(str_hex_decode_bin(r.in, 0, out, sizeof out), r.n);
        if (r.n >= 0) {
            EXPECT_EQ(as_string(out, static_cast<size_t>(r.n)), r.out);
            EXPECT_EQ(out[r.n], 0x55);  // no terminator without the flag
            EXPECT_EQ(str_hex_decode_bin(r.in, 0, nullptr, 0), r.n);
            EXPECT_EQ(str_hex_decode_bin(r.in, 1, nullptr, 0), r.n + 1);
            memset(out, 0x55, sizeof out);
            EXPECT_EQ(str_hex_decode_bin(r.in, 1, out, sizeof out), r.n);
            EXPECT_EQ(out[r.n], 0);
            // Exactly the size needed, and one byte less.
            EXPECT_EQ(str_hex_decode_bin(r.in, 1, out, static_cast<size_t>(r.n + 1)), r.n);
            EXPECT_EQ(str_hex_decode_bin(r.in, 1, out, static_cast<size_t>(r.n)), -1);
        }
        size_t len = 99;
        std::unique_ptr<void, pl_mem_deleter> dup(str_hex_decode_dup(r.in, &len));
        EXPECT_EQ(dup != nullptr, r.n >= 0);
        EXPECT_EQ(len, r.n >= 0 ? static_cast<size_t>(r.n) : 0u);
        if (dup) {
            EXPECT_EQ(as_string(dup.get(), len), r.out);
        }
    }
    pl_text text(str_hex_decode_text("414200"));
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), "AB");
    char ws[] = " 41\t42\r\n 43 ";
    size_t len = 0;
    std::unique_ptr<void, pl_mem_deleter> d(str_hex_decode_dup_ws(ws, &len));
    ASSERT_TRUE(d);
    EXPECT_EQ(as_string(d.get(), len), "ABC");
    EXPECT_STREQ(ws, "414243");
}

TEST(HexMask, Table) {
    const struct {
        const char* in;
        int64_t n;
        std::string bytes;
        std::string mask;
    } rows[] = {
        {"11?33", 3, std::string("\x11\x00\x33", 3), "_?_"},
        {"??", 2, std::string(2, '\0'), "??"},
        {"aB", 1, "\xAB", "_"},
        {"", 0, "", ""},
        {"1?2", -1, "", ""},    // a character between the digits of a pair
        {"112", -1, "", ""},    // a single digit left at the end
        {"11 22", -1, "", ""},  // any other character
        {"11\xC3", -1, "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        uint8_t* bytes = nullptr;
        char* mask = nullptr;
        size_t len = 99;
        EXPECT_EQ(str_hex_mask_decode(r.in, &bytes, &len, &mask), r.n);
        std::unique_ptr<uint8_t, pl_mem_deleter> bg(bytes);
        std::unique_ptr<char, pl_mem_deleter> mg(mask);
        if (r.n < 0) {
            EXPECT_EQ(bytes, nullptr);
            EXPECT_EQ(mask, nullptr);
            EXPECT_EQ(len, 0u);
            continue;
        }
        ASSERT_TRUE(bytes && mask);
        EXPECT_EQ(len, static_cast<size_t>(r.n));
        EXPECT_EQ(as_string(bytes, len), r.bytes);
        EXPECT_EQ(std::string(mask, len), r.mask);
    }
}

TEST(HexSeparated, SepToBin) {
    const struct {
        const char* in;
        const char* sep;
        int rc;
        std::string out;
    } rows[] = {
        {"AA:bb:0C", ":", 0, "\xAA\xBB\x0C"},
        {"AA:", ":", 0, "\xAA"},
        {"", ":", 0, ""},
        {"AA-BB", ":", 1, "\xAA"},
        {"AA:B", ":", 1, "\xAA"},
        {"AABB", ":", 1, "\xAA"},
        {"AABB", "", 1, "\xAA"},
        {"AA:BB:CC:DD", ":", 1, "\xAA\xBB\xCC"},  // out holds three bytes
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        uint8_t out[3] = {};
        EXPECT_EQ(str_hex_sep_to_bin(r.in, r.sep, out, sizeof out), r.rc);
        EXPECT_EQ(as_string(out, r.out.size()), r.out);
    }
}

TEST(HexSeparated, SkipSepToBin) {
    uint8_t out[4];
    EXPECT_EQ(str_hex_skip_sep_to_bin("aa-bb.cc:dd", 11, out, sizeof out), 4);
    EXPECT_EQ(as_string(out, 4), "\xAA\xBB\xCC\xDD");
    EXPECT_EQ(str_hex_skip_sep_to_bin("aa _bb", 6, out, sizeof out), 2);
    EXPECT_EQ(str_hex_skip_sep_to_bin("a-a", 3, out, sizeof out), -1);
    EXPECT_EQ(str_hex_skip_sep_to_bin("aab", 3, out, sizeof out), -1);
    EXPECT_EQ(str_hex_skip_sep_to_bin("a", 1, out, sizeof out), -1);
    EXPECT_EQ(str_hex_skip_sep_to_bin("zz", 2, out, sizeof out), -1);
    // Eight digits allow an out of three bytes by the size rule; the fourth
    // byte is refused rather than written past it.
    uint8_t three[3];
    EXPECT_EQ(str_hex_skip_sep_to_bin("aabbccdd", 8, three, sizeof three), -1);
    EXPECT_EQ(str_hex_skip_sep_to_bin("aabbcc", 6, three, 2), -1);
}

TEST(HexSeparated, ToBinN) {
    uint8_t out[2];
    size_t n = 9;
    EXPECT_EQ(str_hex_to_bin_n("0102x", 5, out, sizeof out, &n), 1);  // a last lone character is left
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(str_hex_to_bin_n("010203", 6, out, sizeof out, &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(str_hex_to_bin_n("01zz", 4, out, sizeof out, &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(str_hex_to_bin_n("0102", 2, out, sizeof out, &n), 1);  // the length bounds the text
    EXPECT_EQ(n, 1u);
}

TEST(HexSeparated, SwapDigits) {
    const struct {
        const char* in;
        int keep;
        const char* out;  // nullptr: nothing
    } rows[] = {
        {"31323334", 0, "2143"},
        {"31323334", 1, "1234"},
        {"3132", 0, "21"},
        {"313233", 0, nullptr},  // odd decoded length
        {"", 0, nullptr},
        {"31413334", 0, nullptr},  // "1A" is not two digits
        {"31413334", 1, "1A34"},
        {"3x", 0, nullptr},
    };
    for (const auto& r : rows) {
        pl_text t(str_hex_decode_swap_digits(r.in, r.keep));
        if (!r.out) {
            EXPECT_FALSE(t) << r.in;
        } else {
            ASSERT_TRUE(t) << r.in;
            EXPECT_STREQ(t.get(), r.out);
        }
    }
}

TEST(Hex, AgreesWithXxd) {
    std::mt19937 rng(1552);
    for (size_t len : {0, 1, 2, 15, 16, 31, 64, 100}) {
        std::string in(len, '\0');
        for (auto& c : in) c = static_cast<char>(rng());
        proc_result r;
        try {
            r = run_proc({"xxd", "-p", "-c", "200"}, in);
        } catch (...) {
            GTEST_SKIP() << "xxd is missing";
        }
        ASSERT_EQ(r.status, 0);
        std::string want = r.out.substr(0, r.out.find('\n'));
        std::vector<char> out(2 * len + 1);
        ASSERT_EQ(str_bin_encode_hex_lower(in.data(), len, out.data(), out.size()), 1);
        EXPECT_EQ(std::string(out.data()), want);
        // Our upper-case form read back by the tool.
        ASSERT_EQ(str_bin_encode_hex(in.data(), len, out.data(), out.size()), static_cast<int64_t>(2 * len));
        proc_result back = run_proc({"xxd", "-r", "-p"}, std::string(out.data()));
        EXPECT_EQ(back.out, in);
    }
}

}  // namespace
