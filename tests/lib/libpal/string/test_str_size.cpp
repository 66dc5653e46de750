#include "libpal/string/str_size.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = KiB * 1024;

struct size_case {
    const char* text;
    uint64_t want;
};

TEST(StrToSize, Table) {
    const std::string digits255 = std::string(254, '0') + "1";
    const std::string digits256 = std::string(255, '0') + "1";
    const std::string suffixed256 = std::string(253, '0') + "1k";
    const std::string long257 = std::string(255, '0') + "1k";
    const size_case cases[] = {
        // refused starts and letters-only texts
        {"", 0},
        {" 1", 0},
        {"\t1", 0},
        {"-1", 0},
        {"+1", 0},
        {"kB", 0},
        {"k", 0},
        // plain numbers and every suffix
        {"0", 0},
        {"1", 1},
        {"1c", 1},
        {"1w", 2},
        {"3b", 1536},
        {"4b", 2048},
        {"4B", 2048},
        {"1k", 1024},
        {"1K", 1024},
        {"1kd", 1000},
        {"1KD", 1000},
        {"2kB", 2000},
        {"2KB", 2000},
        {"1M", MiB},
        {"1MB", 1000000},
        {"1md", 1000000},
        {"1G", 1ULL << 30},
        {"1GB", 1000000000},
        {"1T", 1ULL << 40},
        {"1TB", 1000000000000ULL},
        {"1P", 1ULL << 50},
        {"1PB", 1000000000000000ULL},
        // two single-letter suffixes multiply
        {"2bk", 1048576},
        {"1kk", MiB},
        {"1cc", 1},
        // fractions and exponents
        {"1.5k", 1536},
        {"1.5M", 1572864},
        {"0.5k", 512},
        {"1.5", 1},
        {"0.5", 0},
        {"1e3", 1000},
        {"1e3k", 1024000},
        {"1e-999", 0},
        // unknown and too long suffixes
        {"7q", 0},
        {"5x", 0},
        {"1E", 0},
        {"3KiB", 0},
        // number part read up to what cannot continue it
        {"1x2k", 1024},
        {"1.2.3", 1},
        {"1 ", 1},
        {"inf5", 0},
        {".k", 0},
        // lengths
        {digits255.c_str(), 1},
        {digits256.c_str(), 0},
        {suffixed256.c_str(), 1024},
        {long257.c_str(), 0},
        // integers keep every digit; 2^64 and more is unusable
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", 0},
        {"9007199254740993", 9007199254740993ULL},
        {"9007199254740993k", 9007199254740993ULL * 1024},
        {"16383P", 16383ULL << 50},
        {"16384P", 0},
        {"100000P", 0},
        {"8PP", 0},
        {"1e30", 0},
        {"1e999", 0},
        {"17179869184.5G", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(str_to_size(c.text), c.want) << "text [" << c.text << "]";
    EXPECT_EQ(str_to_size(nullptr), 0u);
}

TEST(StrToSize, OwnTable) {
    const size_suffix table[] = {{"x", 3}, {"xy", 100}, {nullptr, 0}};
    EXPECT_EQ(str_to_size_imp("2x", table), 6u);
    // first matching row wins: "x" then "y", which no row names
    EXPECT_EQ(str_to_size_imp("2xy", table), 0u);
    EXPECT_EQ(str_to_size_imp("2k", table), 0u);
    EXPECT_EQ(str_to_size_imp("2", table), 2u);
}

TEST(StrToSizeChecked, Valid) {
    const size_case cases[] = {
        {"0", 0},
        {"0k", 0},
        {"1", 1},
        {"512", 512},
        {"3b", 1536},
        {"2k", 2048},
        {"1kB", 1000},
        {"2bk", 1048576},
        {"1.5M", 1572864},
        {"1.5", 1},
        {"1.", 1},
        {".5k", 512},
        {"1e3k", 1024000},
        {"18446744073709551615", UINT64_MAX},
        {"16383P", 16383ULL << 50},
    };
    for (const auto& c : cases) {
        uint64_t v = 12345;
        EXPECT_EQ(str_to_size_checked(c.text, &v), 0) << "text [" << c.text << "]";
        EXPECT_EQ(v, c.want) << "text [" << c.text << "]";
        EXPECT_EQ(str_to_size(c.text), c.want) << "text [" << c.text << "]";
    }
}

TEST(StrToSizeChecked, Invalid) {
    const std::string long257 = std::string(256, '1') + "k";
    const char* texts[] = {
        "",      " 1",   "-1",    "+1",   "1 ",    "1k ",   "k",    "kB",
        "7q",    "3KiB", "1E",    "1x2k", "1.2.3", "1e+",   ".k",   ".",
        "0x10",  "inf",  "nan",   "inf5", "1e30",  "1e999", "8PP",  "100000P",
        "16384P", "18446744073709551616", long257.c_str(),
    };
    for (const char* t : texts) {
        uint64_t v = 777;
        EXPECT_EQ(str_to_size_checked(t, &v), -1) << "text [" << t << "]";
        EXPECT_EQ(v, 777u) << "text [" << t << "]";
    }
    uint64_t v = 777;
    EXPECT_EQ(str_to_size_checked(nullptr, &v), -1);
    EXPECT_EQ(str_to_size_checked("1", nullptr), -1);
}

// GNU dd reads the same single suffixes; its block size is the oracle.
TEST(StrToSize, AgreesWithGnuDd) {
    if (run_proc({"sh", "-c", "command -v dd"}).status != 0) GTEST_SKIP() << "dd not installed";
    const char* texts[] = {"1", "512", "4097", "7c", "1w", "17w", "3b", "2k", "2K",
                           "1kB", "1KB", "5kB", "1M", "3M", "1MB", "2MB"};
    for (const char* t : texts) {
        std::string cmd = std::string("dd if=/dev/zero bs=") + t + " count=1 status=none | wc -c";
        proc_result r = run_proc({"sh", "-c", cmd});
        ASSERT_EQ(r.status, 0) << cmd << ": " << r.err;
        EXPECT_EQ(str_to_size(t), std::stoull(r.out)) << "text [" << t << "]";
    }
}

TEST(SizeToText, Steps) {
    struct {
        uint64_t value;
        uint32_t divisor;
        const char* want;
    } cases[] = {
        {1, 0, "1"},
        {1023, 0, "1023"},
        {1024, 0, "1.0K"},
        {1536, 0, "1.5K"},
        {2047, 0, "2.0K"},
        {1048575, 0, "1024.0K"},
        {1048576, 0, "1.0M"},
        {(1ULL << 30) * 3 / 2, 0, "1.5G"},
        {UINT64_MAX, 0, "16.0E"},
        {1500, 1000, "2"},
        {1499, 1000, "1"},
        {UINT64_MAX, 1, "18446744073709551615"},
        {UINT64_MAX, 1000, "18446744073709552"},
    };
    for (const auto& c : cases) {
        char buf[32];
        EXPECT_STREQ(size_to_text_buf(c.value, c.divisor, buf, sizeof buf), c.want) << c.value << "/" << c.divisor;
        EXPECT_STREQ(size_to_text(c.value, c.divisor), c.want) << c.value << "/" << c.divisor;
    }
}

TEST(SizeToText, ZeroIsConstantText) {
    char buf[8] = "xyz";
    const char* t = size_to_text_buf(0, 0, buf, sizeof buf);
    EXPECT_STREQ(t, "0");
    EXPECT_NE(t, buf);
    EXPECT_STREQ(buf, "xyz");
}

TEST(SizeToText, EachThreadHasItsOwnText) {
    const char* mine = size_to_text(1536, 0);
    const char* theirs = nullptr;
    std::thread th([&] {
        theirs = size_to_text(2048, 0);
        EXPECT_STREQ(theirs, "2.0K");
    });
    th.join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "1.5K");
}

TEST(Printers, Speed) {
    struct {
        double speed;
        const char* want;
    } cases[] = {
        {0, "0B/S"},
        {1024, "1024B/S"},
        {1025, "1.0KB/S"},
        {1048576, "1024.0KB/S"},
        {1048577, "1.00MB/S"},
        {1073741824.0 * 1.5, "1.500GB/S"},
    };
    for (const auto& c : cases) {
        char buf[32];
        EXPECT_STREQ(speed_to_text(buf, sizeof buf, c.speed), c.want) << c.speed;
    }
}

TEST(Printers, Count) {
    struct {
        uint64_t count;
        const char* want;
    } cases[] = {
        {0, "0 B"},         {1000, "1000 B"},       {1001, "1.00 Q"},      {10000, "10.00 Q"},
        {10001, "1.00 W"},  {100000000, "10000.00 W"}, {250000000, "2.50 Y"},
    };
    for (const auto& c : cases) {
        char buf[32];
        EXPECT_STREQ(count_to_text(c.count, buf, sizeof buf), c.want) << c.count;
    }
}

TEST(Printers, Seconds) {
    struct {
        double seconds;
        const char* text;
        const char* clock;
    } cases[] = {
        {0, "0.000 second", "00:00"},
        {1.0, "1.000 second", "00:01"},
        {59.25, "59.250 seconds", "00:59"},
        {60, "1 minute", "01:00"},
        {3661.5, "1 hour 1 minute", "01:01:01"},
        {7322, "2 hours 2 minutes", "02:02:02"},
        {7201, "2 hours 1.000 second", "02:00:01"},
        {86400, "1 day 0.000 second", "1_00:00:00"},
        {172800, "2 days 0.000 second", "2_00:00:00"},
        {90061, "1 day 1 hour 1 minute", "1_01:01:01"},
        // estimates from a zero or broken speed print, never overflow
        {-5, "0.000 second", "00:00"},
        {std::nan(""), "0.000 second", "00:00"},
    };
    for (const auto& c : cases) {
        char buf[64];
        EXPECT_STREQ(str_seconds_text(buf, sizeof buf, c.seconds), c.text) << c.seconds;
        EXPECT_STREQ(str_seconds_clock(buf, sizeof buf, c.seconds), c.clock) << c.seconds;
    }
    char buf[64];
    EXPECT_NE(strstr(str_seconds_text(buf, sizeof buf, std::numeric_limits<double>::infinity()), " days "), nullptr);
}

TEST(Printers, Hours) {
    struct {
        uint64_t hours;
        const char* want;
    } cases[] = {
        {0, "0 hour "},
        {1, "1 hour "},
        {25, "1 day 1 hour "},
        {720, "1 month 0 hour "},
        {8760 + 720 * 2 + 48 + 2, "1 year 2 months 2 days 2 hours "},
    };
    for (const auto& c : cases) {
        char buf[64];
        EXPECT_STREQ(str_hours_text(c.hours, buf, sizeof buf), c.want) << c.hours;
    }
}

struct number_case {
    const char* text;
    int base;
    uint32_t kind;
    uint64_t u;  // kind int
    double d;    // kind float
};

TEST(ParseNumber, Table) {
    log_capture quiet;  // the over-long text logs a dbg line
    const std::string ones1024(1024, '1');
    const std::string octal1023 = std::string(1022, '0') + "1";
    const number_case cases[] = {
        {"0", 10, NUM_KIND_INT, 0, 0},
        {"42", 10, NUM_KIND_INT, 42, 0},
        {"09", 10, NUM_KIND_INT, 0, 0},
        {"0777", 10, NUM_KIND_INT, 511, 0},
        {"017", 10, NUM_KIND_INT, 15, 0},
        {"017", 16, NUM_KIND_INT, 23, 0},
        {"0x10", 10, NUM_KIND_INT, 16, 0},
        {"0X10", 16, NUM_KIND_INT, 16, 0},
        {"0b101", 10, NUM_KIND_INT, 5, 0},
        {"0B101", 16, NUM_KIND_INT, 5, 0},
        {"0b", 16, NUM_KIND_INT, 0, 0},
        {"1e3", 10, NUM_KIND_FLOAT, 0, 1000.0},
        {"1e3", 16, NUM_KIND_INT, 0x1e3, 0},
        {"12abc", 10, NUM_KIND_INT, 12, 0},
        {"123ul", 10, NUM_KIND_INT, 123, 0},
        {"123LU", 10, NUM_KIND_INT, 123, 0},
        {"1lul", 10, NUM_KIND_INT, 1, 0},
        {"ffu", 16, NUM_KIND_INT, 255, 0},
        {"1uu", 10, NUM_KIND_INT, 0, 0},
        {"1lll", 10, NUM_KIND_INT, 0, 0},
        {"1.5", 10, NUM_KIND_FLOAT, 0, 1.5},
        {".5", 10, NUM_KIND_FLOAT, 0, 0.5},
        {"017.5", 10, NUM_KIND_FLOAT, 0, 17.5},
        {"1.5e-3x", 10, NUM_KIND_FLOAT, 0, 1.5e-3},
        {"1e-999", 10, NUM_KIND_FLOAT, 0, 0.0},
        {"1e999", 10, NUM_KIND_INT, 0, 0},
        {"1e", 10, NUM_KIND_INT, 0, 0},
        {"1e+", 10, NUM_KIND_INT, 0, 0},
        {".", 10, NUM_KIND_INT, 0, 0},
        {"0x1.8p1", 16, NUM_KIND_FLOAT, 0, 3.0},
        {"0x1.8p1", 10, NUM_KIND_FLOAT, 0, 3.0},
        {"0x1p-1", 16, NUM_KIND_FLOAT, 0, 0.5},
        {".8p1", 16, NUM_KIND_FLOAT, 0, 1.0},
        {"0b1.1p0", 10, NUM_KIND_FLOAT, 0, 1.5},
        {"0x1000000000000000000p0", 16, NUM_KIND_FLOAT, 0, std::ldexp(1.0, 72)},
        {"0x1p99999", 16, NUM_KIND_INT, 0, 0},
        {"0x1p", 16, NUM_KIND_INT, 0, 0},
        {"ffffffffffffffff", 16, NUM_KIND_INT, UINT64_MAX, 0},
        {"18446744073709551615", 10, NUM_KIND_INT, UINT64_MAX, 0},
        // values that wrap 64 bits give 0
        {"18446744073709551616", 10, NUM_KIND_INT, 0, 0},
        {"30000000000000000000", 10, NUM_KIND_INT, 0, 0},
        {"10000000000000000", 16, NUM_KIND_INT, 0, 0},
        {"0x1000000000000000000", 16, NUM_KIND_INT, 0, 0},
        {"02000000000000000000000", 10, NUM_KIND_INT, 0, 0},
        // no number at the start
        {"", 10, NUM_KIND_INT, 0, 0},
        {"abc", 10, NUM_KIND_INT, 0, 0},
        {"g1", 16, NUM_KIND_INT, 0, 0},
        {"-1", 10, NUM_KIND_INT, 0, 0},
        {" 1", 10, NUM_KIND_INT, 0, 0},
        {"0x", 16, NUM_KIND_INT, 0, 0},
        {"0xg", 16, NUM_KIND_INT, 0, 0},
        // length limit
        {octal1023.c_str(), 10, NUM_KIND_INT, 1, 0},
        {ones1024.c_str(), 10, NUM_KIND_INT, 0, 0},
    };
    for (const auto& c : cases) {
        num_parse_result r;
        r.kind = 99;
        r.value.u = 99;
        ASSERT_EQ(str_parse_all_number(&r, c.text, c.base), &r);
        std::string what = std::string("text [") + c.text + "] base " + std::to_string(c.base);
        ASSERT_EQ(r.kind, c.kind) << what;
        if (c.kind == NUM_KIND_INT)
            EXPECT_EQ(r.value.u, c.u) << what;
        else
            EXPECT_EQ(r.value.d, c.d) << what;
    }
    num_parse_result r;
    str_parse_all_number(&r, nullptr, 10);
    EXPECT_EQ(r.kind, NUM_KIND_INT);
    EXPECT_EQ(r.value.u, 0u);
}

TEST(ParseNumber, DebugLines) {
    struct {
        const char* text;
        const char* line;
    } cases[] = {
        {"0x1.8", "exponent\n"},
        {"0x1.8gp1", "invalid digit\n"},
        {"0x1.8 p1", "invalid digit\n"},
    };
    for (const auto& c : cases) {
        log_capture cap(LOG2_DBG);
        num_parse_result r;
        str_parse_all_number(&r, c.text, 16);
        EXPECT_EQ(r.kind, NUM_KIND_INT) << c.text;
        EXPECT_EQ(r.value.u, 0u) << c.text;
        auto lines = cap.lines();
        ASSERT_EQ(lines.size(), 1u) << c.text;
        EXPECT_EQ(lines[0].level, LOG2_DBG);
        EXPECT_EQ(lines[0].tag, "pal");
        EXPECT_EQ(lines[0].text, c.line);
    }
    log_capture cap(LOG2_DBG);
    const std::string long_number(1024, '1');
    const std::string long_float = std::string(1022, '1') + ".5";
    EXPECT_EQ(str_to_u64(long_number.c_str()), 0u);
    EXPECT_EQ(str_to_double(long_float.c_str()), 0.0);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "number too long\n");
    EXPECT_EQ(lines[1].text, "number too long\n");
}

TEST(ParseNumber, Wrappers) {
    EXPECT_EQ(str_to_u64("1.9"), 1u);
    EXPECT_EQ(str_to_u64("1e3"), 1000u);
    EXPECT_EQ(str_to_u64("1e30"), 0u);
    EXPECT_EQ(str_to_u64("017"), 15u);
    EXPECT_EQ(str_to_u64(nullptr), 0u);
    EXPECT_EQ(str_hex_to_u64("017"), 23u);
    EXPECT_EQ(str_hex_to_u64("1e3"), 483u);
    EXPECT_EQ(str_hex_to_u64("0x1.8p1"), 3u);
    EXPECT_EQ(str_hex_to_u64("0x1p64"), 0u);
    EXPECT_EQ(str_hex_to_u64("0x1p63"), 1ULL << 63);
    EXPECT_EQ(str_hex_to_u64("ffffffffffffffff"), UINT64_MAX);
    EXPECT_EQ(str_hex_to_int("ffffffff"), -1);
    EXPECT_EQ(str_hex_to_int("7fffffff"), 0x7fffffff);
    EXPECT_EQ(str_to_double("2.5"), 2.5);
    EXPECT_EQ(str_to_double("12"), 12.0);
    EXPECT_EQ(str_to_ll("-0x10"), -16);
    EXPECT_EQ(str_to_ll("010"), 8);
    EXPECT_EQ(str_to_ll(nullptr), 0);
}

TEST(GroupedDigits, U64Sep) {
    struct {
        uint64_t value;
        size_t size;
        int sep;
        const char* want;
    } cases[] = {
        {0, 32, 1, "0"},
        {999, 32, 1, "999"},
        {1000, 32, 1, "1,000"},
        {1234567, 32, 1, "1,234,567"},
        {1234567, 32, 0, "1234567"},
        {UINT64_MAX, 32, 1, "18,446,744,073,709,551,615"},
        {1234567, 4, 1, "567"},
        {1234567, 6, 1, "4,567"},
        {1234567, 2, 0, "7"},
    };
    for (const auto& c : cases) {
        char buf[32];
        EXPECT_EQ(u64_to_text_sep(c.value, buf, c.size, c.sep), static_cast<int>(strlen(c.want))) << c.want;
        EXPECT_STREQ(buf, c.want);
    }
    char buf[4] = "abc";
    EXPECT_EQ(u64_to_text_sep(5, buf, 1, 1), 0);
    EXPECT_STREQ(buf, "abc");
}

TEST(GroupedDigits, Commas) {
    struct {
        int64_t value;
        const char* want;
    } cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {-123456, "-123,456"},
        {-1234567, "-1,234,567"},
        {INT64_MAX, "9,223,372,036,854,775,807"},
        {INT64_MIN, "-9,223,372,036,854,775,808"},
    };
    for (const auto& c : cases) {
        char buf[64];
        EXPECT_STREQ(i64_to_text_commas(c.value, buf, sizeof buf), c.want);
        EXPECT_STREQ(i64_to_text_commas(c.value), c.want);
    }
    EXPECT_STREQ(int_to_text(-42), "-42");
    EXPECT_STREQ(int_to_text(INT32_MIN), "-2147483648");
}

TEST(Versions, Compare) {
    struct {
        const char* a;
        const char* b;
        int want;
    } cases[] = {
        {"1.10", "1.9", 1},
        {"1.9", "1.10", -1},
        {"2", "2.0.0.0", 0},
        {"0.9", "0.1", 0},
        {"1.2.3.4.5", "0", 0},
        {"1.6.4", "1.5.3", 1},
        {"1.5.3", "1.5.3", 0},
        {"1..3", "1.0.3", 0},
        {"1.2beta", "1.2", 0},
        {"2.65536", "3", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(version_compare(c.a, c.b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(version_to_u64("1.2.3.4"), 0x0001000200030004ULL);
    EXPECT_EQ(version_to_u64("1.2.3.4."), 0u);
    EXPECT_EQ(version_to_u64(""), 0u);
    EXPECT_EQ(version_to_u64(nullptr), 0u);
    // a part beyond 64 bits saturates instead of wrapping
    EXPECT_EQ(version_to_u64("99999999999999999999999"), UINT64_MAX << 48);
}

TEST(ScanSepNumber, StoresEachType) {
    uint64_t a = 0, c = 0;
    size_t e = 0;
    uint32_t b = 0;
    int d = 0;
    EXPECT_EQ(str_scan_sep_number("1\t4294967297\tff\t-\t1.5k\textra", "\t", 0, "u64|u32|x64|int|size", &a, &b, &c, &d, &e),
              0);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 1u);  // cut to 32 bits
    EXPECT_EQ(c, 255u);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(e, 1u);

    a = b = c = 0;
    EXPECT_EQ(str_scan_sep_number("7,8 9", ", ", 1, "u64|u32|x64", &a, sizeof a, &b, sizeof b, &c, sizeof c), 0);
    EXPECT_EQ(a, 7u);
    EXPECT_EQ(b, 8u);
    EXPECT_EQ(c, 9u);
}

TEST(ScanSepNumber, FewerFields) {
    log_capture cap;
    uint64_t a = 5, b = 5, c = 5;
    errno = 0;
    EXPECT_EQ(str_scan_sep_number("1\t2", "\t", 0, "u64|u64|u64", &a, &b, &c), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));
    EXPECT_EQ(a, 5u);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG2_ERR);
    EXPECT_EQ(lines[0].tag, "pal");
    EXPECT_EQ(lines[0].text, "error: 2 < 3\n");
}

TEST(ScanSepNumber, BadTypeOrPointer) {
    uint64_t a = 0, b = 5;
    errno = 0;
    EXPECT_EQ(str_scan_sep_number("1\t2", "\t", 0, "u64|float", &a, &b), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));
    EXPECT_EQ(a, 1u);  // stored before the failure
    EXPECT_EQ(b, 5u);

    errno = 0;
    EXPECT_EQ(str_scan_sep_number("1\t2", "\t", 0, "u64|u64", &a, static_cast<uint64_t*>(nullptr)), -1);
    EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER));
}

TEST(ScanSepNumber, LengthMismatch) {
    struct {
        const char* type;
        size_t len;
        const char* expr;
    } cases[] = {
        {"u64", 4, "vlen==sizeof(uint64_t)"},
        {"x64", 4, "vlen==sizeof(uint64_t)"},
        {"size", 4, "vlen==sizeof(size_t)"},
        {"int", 8, "vlen==sizeof(int)"},
        {"u32", 8, "vlen==sizeof(uint32_t)"},
    };
    for (const auto& c : cases) {
        log_capture cap;
        uint64_t v = 5;
        EXPECT_EQ(str_scan_sep_number("1", "\t", 1, c.type, &v, c.len), -1) << c.type;
        EXPECT_EQ(v, 5u);
        EXPECT_TRUE(cap.contains(std::string(c.expr) + "]: assert failed")) << c.type << ": " << cap.all();
    }
}

}  // namespace
