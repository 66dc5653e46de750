#include "libpal/os/os_console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "libpal/os/os_thread.h"
#include "support/fd_capture.h"
#include "support/pty_capture.h"
#include "text_shape.h"

namespace {

// What a call writes to a stream.
std::string written(const std::function<void(FILE*)>& fn) {
    FILE* f = tmpfile();
    if (!f) return "<no tmpfile>";
    fn(f);
    fflush(f);
    std::string out;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

TEST(OsConsole, ColourTable) {
    struct row {
        int code;
        const char* escape;
    };
    const row rows[] = {
        {-1, "\033[37m"},       {0, "\033[37m"},     {1, "\033[37m"},        {2, "\033[07;37m"},
        {3, "\033[32m"},        {4, "\033[37m"},     {5, "\033[36m"},        {6, "\033[37m"},
        {7, "\033[01;33m"},     {8, "\033[01;31m"},  {9, "\033[01;07;31m"},  {10, "\033[37m"},
    };
    for (const row& r : rows) EXPECT_STREQ(os_console_color(r.code), r.escape) << r.code;
}

// What a call writes to a stream on a terminal.
std::string on_terminal(const std::function<void(FILE*)>& fn) {
    pty_pair pty;
    if (!pty.ok()) return "<no pty>";
    FILE* f = fdopen(dup(pty.writer), "w");
    if (!f) return "<no stream>";
    fn(f);
    fclose(f);
    pty.close_writer();
    std::string out;
    while (pty.read_some(out, 5000) == 1) {
    }
    return out;
}

// Colour is for a terminal: a file gets the text alone, and the switch
// takes the colour off a terminal too.
TEST(OsConsole, PutsColoursOnlyOnATerminal) {
    REQUIRE_PTY(pty_pair().ok());
    struct row {
        int code;
        const char* text;
        const char* terminal;
    };
    const row rows[] = {
        {8, "x", "\033[01;31mx\033[0m"},
        {1, "x", "\033[37mx\033[0m"},
        {0, "x", "x"},
        {0, "100%s", "100%s"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.code);
        auto puts = [&r](FILE* f) { EXPECT_EQ(os_console_puts(f, r.code, r.text), 0); };
        EXPECT_EQ(on_terminal(puts), r.terminal);
        EXPECT_EQ(written(puts), r.text);
        os_console_set_colour(false);
        EXPECT_EQ(on_terminal(puts), r.text);
        os_console_set_colour(true);
    }
    EXPECT_EQ(os_console_puts(nullptr, 0, "x"), -1);
}

TEST(OsConsole, PrintfFormatsAndCutsAt8192Bytes) {
    REQUIRE_PTY(pty_pair().ok());
    EXPECT_EQ(on_terminal([](FILE* f) { EXPECT_EQ(os_console_printf(f, 3, "n=%d %s\n", 5, "ok"), 0); }),
              "\033[32mn=5 ok\n\033[0m");
    EXPECT_EQ(written([](FILE* f) { os_console_printf(f, 3, "n=%d %s\n", 5, "ok"); }), "n=5 ok\n");
    std::string longer(10000, 'a');
    EXPECT_EQ(written([&](FILE* f) { os_console_printf(f, 0, "%s", longer.c_str()); }), std::string(8191, 'a'));
}

// The progress line is rewritten in place, blank-padded over a longer one;
// any other line on standard error (through the console or the raw write)
// first ends it, so nothing runs on from it and its text stays. Ending it
// twice, or with none showing, writes nothing.
TEST(OsConsole, OtherLinesEndTheProgressLineFirst) {
    struct row {
        const char* name;
        std::function<void()> steps;
        const char* expect;
    };
    const row rows[] = {
        {"rewritten and padded",
         [] {
             os_console_progress("12345");
             os_console_progress("678");
         },
         "\r12345\r678  "},
        {"a raw line after it",
         [] {
             os_console_progress("50%");
             os_console_err_write("log line\n", 9);
             os_console_progress("60%");
         },
         "\r50%\nlog line\n\r60%"},
        {"a console line after it, then no padding on the new line",
         [] {
             os_console_progress("long progress");
             os_console_puts(stderr, 8, "error\n");
             os_console_progress("short");
         },
         "\rlong progress\nerror\n\rshort"},
        {"ended once",
         [] {
             os_console_progress("p");
             os_console_end_progress();
             os_console_end_progress();
             os_console_printf(stderr, 0, "summary\n");
         },
         "\rp\nsummary\n"},
        {"nothing to end", [] { os_console_err_write("a\n", 2); }, "a\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fd_capture cap;
        r.steps();
        os_console_end_progress();
        std::string out = cap.text();
        // The final end adds a line break only where a progress line showed.
        std::string want = r.expect;
        if (!want.empty() && want.back() != '\n') want += '\n';
        EXPECT_EQ(out, want);
    }
}

// Standard input replaced by a descriptor for the life of the object.
struct stdin_swap {
    int saved;
    explicit stdin_swap(int fd) : saved(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
    ~stdin_swap() {
        dup2(saved, STDIN_FILENO);
        close(saved);
        clearerr(stdin);
    }
};

TEST(OsConsole, GetsReadsLinesWithoutTheirBreaks) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const char text[] = "line one\r\nsecond\n";
    ASSERT_EQ(write(p[1], text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(p[1]);
    {
        stdin_swap swap(p[0]);
        clearerr(stdin);
        char buf[64];
        ASSERT_NE(os_console_gets(buf, sizeof buf), nullptr);
        EXPECT_STREQ(buf, "line one");
        ASSERT_NE(os_console_gets(buf, sizeof buf), nullptr);
        EXPECT_STREQ(buf, "second");
        EXPECT_EQ(os_console_gets(buf, sizeof buf), nullptr);
    }
    close(p[0]);
}

TEST(OsConsole, RawModeAndWaitKeyOnATerminal) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    {
        stdin_swap swap(slave);
        termios tio{};
        ASSERT_EQ(os_console_raw(1), 0);
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &tio), 0);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
        ASSERT_EQ(os_console_raw(0), 0);
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &tio), 0);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
        EXPECT_EQ(os_console_raw(0), 0);  // nothing saved: nothing to restore

        // A pending key ends the wait and stays unread.
        ASSERT_EQ(write(master, "k\n", 2), 2);
        os_console_wait_key();
        int pending = 0;
        ASSERT_EQ(ioctl(STDIN_FILENO, FIONREAD, &pending), 0);
        EXPECT_GT(pending, 0);
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &tio), 0);
        EXPECT_EQ(tio.c_lflag & ICANON, static_cast<tcflag_t>(ICANON));
    }
    close(slave);
    close(master);
}

TEST(OsConsole, RawModeFailsWithoutATerminal) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        stdin_swap swap(p[0]);
        EXPECT_EQ(os_console_raw(1), -1);
        EXPECT_EQ(os_console_raw(0), 0);
    }
    close(p[0]);
    close(p[1]);
}

// ------------------------------------------------------------ time texts

// Runs a test in a fixed time zone and restores the old one afterwards.
class TimeZone : public testing::Test {
protected:
    void use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    void SetUp() override {
        const char* old = getenv("TZ");
        had_tz_ = old != nullptr;
        if (old) old_tz_ = old;
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(TimeZone, TimeToTextInUtc) {
    use("UTC");
    char buf[32];
    EXPECT_STREQ(os_time_to_str(0, buf, sizeof buf), "1970-01-01 00:00:00");
    EXPECT_STREQ(os_time_to_str(1709899200, buf, sizeof buf), "2024-03-08 12:00:00");
    EXPECT_STREQ(os_time_to_str(INT64_MAX, buf, sizeof buf), "0000-00-00 00:00:00");
}

// Summer dates are read with the zone's daylight saving, not an hour off.
TEST_F(TimeZone, TextToTimeFollowsDaylightSaving) {
    use("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(os_str_to_time("2024-07-01 12:00:00"), 1719828000);
    EXPECT_EQ(os_str_to_time("2024-01-15 12:00:00"), 1705316400);
    char buf[32];
    EXPECT_STREQ(os_time_to_str(os_str_to_time("2024-07-01 12:00:00"), buf, sizeof buf), "2024-07-01 12:00:00");
    EXPECT_EQ(os_str_to_time("2024-07-01"), -1);
    EXPECT_EQ(os_str_to_time(nullptr), -1);
}

TEST_F(TimeZone, DateByWord) {
    use("UTC");
    const time_t now = 1709899200;  // 2024-03-08 12:00:00
    struct row {
        const char* word;
        const char* date;
    };
    const row rows[] = {
        {"today", "2024-03-08"},
        {"last_week", "2024-03-01"},
        {"last_mon", "2024-02-07"},
        {"last_year", "2023-03-09"},
        {"yesterday", "unchanged"},
        {"Today", "unchanged"},
        {"", "unchanged"},
    };
    for (const row& r : rows) {
        char buf[16] = "unchanged";
        EXPECT_EQ(os_date_by_word_at(r.word, now, buf, sizeof buf), buf);
        EXPECT_STREQ(buf, r.date) << r.word;
    }
    char buf[16] = "unchanged";
    EXPECT_TRUE(has_shape(os_date_by_word("today", buf, sizeof buf), "####-##-##")) << buf;
}

TEST(OsTimeText, FormsOfTheCurrentTime) {
    char buf[64];
    EXPECT_TRUE(has_shape(os_time_str(buf, sizeof buf), "####-##-## ##:##:##.### ")) << buf;
    EXPECT_TRUE(has_shape(os_time_compact(buf, sizeof buf), std::string(14, '#'))) << buf;
    EXPECT_TRUE(has_shape(os_time_compact_ms(buf, sizeof buf), std::string(17, '#'))) << buf;
    EXPECT_TRUE(has_shape(os_time_compact_us(buf, sizeof buf), std::string(20, '#'))) << buf;

    os_localtime lt{};
    int wday = os_localtime_get(&lt);
    EXPECT_EQ(wday, lt.wday);
    EXPECT_GE(lt.year, 2024);
    EXPECT_TRUE(lt.month >= 1 && lt.month <= 12);
    EXPECT_TRUE(lt.day >= 1 && lt.day <= 31);
    EXPECT_LT(lt.msec, 1000);
    uint32_t packed = os_date_packed();
    EXPECT_TRUE((packed & 0xff) >= 1 && (packed & 0xff) <= 31);
    EXPECT_LE((packed >> 8) & 0xff, 11u);
    EXPECT_GE(packed >> 16, 124u);
}

TEST(OsTimeText, ElapsedSeconds) {
    char buf[32];
    uint64_t start = os_time_us() - 3000000;
    os_elapsed_str(start, buf, sizeof buf);
    char* dot = strchr(buf, '.');
    ASSERT_NE(dot, nullptr) << buf;
    EXPECT_TRUE(has_shape(dot, ".######")) << buf;
    EXPECT_GE(strtod(buf, nullptr), 3.0);
    EXPECT_STREQ(os_elapsed_str(os_time_us() + 60000000, buf, sizeof buf), "0.000000");
}

// --------------------------------------------------------------- progress

TEST(PlProgress, PercentLeft) {
    struct row {
        pl_progress in;
        double left;
        uint64_t done_after;
    };
    const row rows[] = {
        {{0, 0}, 0.0, 0},        {{25, 100}, 75.0, 25},    {{1, 3}, 200.0 / 3, 1},
        {{0, 7}, 100.0, 0},      {{150, 100}, 0.0, 100},   {{1, 1ull << 62}, 100.0 - 100.0 / (1ull << 62), 1},
    };
    for (const row& r : rows) {
        pl_progress p = r.in;
        EXPECT_DOUBLE_EQ(pl_percent_left(&p), r.left) << r.in.done << "/" << r.in.total;
        EXPECT_EQ(p.done, r.done_after);
    }
    EXPECT_EQ(pl_percent_left(nullptr), 0.0);
}

}  // namespace
