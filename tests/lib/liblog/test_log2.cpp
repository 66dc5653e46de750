#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"
#include "libpal/os/os_console.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"
#include "support/pty_capture.h"

namespace {

// Logs one message with the process-wide logger at the given flags and
// returns what reached standard error (a file, or with terminal a
// pseudo-terminal).
std::string stderr_of(uint32_t flags, uint32_t level, const char* path, int line, const char* func, const char* msg,
                      bool terminal = false) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 8, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, flags, 0);
    if (terminal) {
        pty_capture cap;
        log2_printf(nullptr, level, "t", path, line, func, "%s", msg);
        return cap.text();
    }
    fd_capture cap;
    log2_printf(nullptr, level, "t", path, line, func, "%s", msg);
    return cap.text();
}

TEST(Log2, LevelFilter) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 6, 0);
    fd_capture cap;
    EXPECT_EQ(log2_printf(nullptr, LOG2_DBG, "t", "a.c", 1, "f", "hidden\n"), 0);
    EXPECT_GT(log2_printf(nullptr, LOG2_INFO, "t", "a.c", 1, "f", "shown\n"), 0);
    std::string out = cap.text();
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find("shown"), std::string::npos);
}

TEST(Log2, PrefixFlags) {
    struct row {
        const char* name;
        uint32_t flags;
        const char* path;
        const char* expect_re;
    };
    const row rows[] = {
        {"bare", 0, "src/x.c", "^msg\n$"},
        {"both time bits show seconds", 0x42, "src/x.c", "^[0-9]{2}:[0-9]{2}:[0-9]{2} msg\n$"},
        {"time_ms", 0x40, "src/x.c", "^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} msg\n$"},
        {"tid", 0x1, "src/x.c", "^\\[[0-9]+\\] msg\n$"},
        {"file cut after slash", 0x18, "src/lib/libdd/dd.c", "^\\[dd\\.c:123\\] msg\n$"},
        {"file cut after backslash", 0x18, "src\\lib\\dd.c", "^\\[dd\\.c:123\\] msg\n$"},
        {"whole path", 0x8, "src/lib/libdd/dd.c", "^\\[src/lib/libdd/dd\\.c:123\\] msg\n$"},
        {"func", 0x4, "src/x.c", "^fn\\(\\): msg\n$"},
        {"order", 0x0F, "a/b.c", "^[0-9:]{8} \\[[0-9]+\\] \\[a/b\\.c:123\\] fn\\(\\): msg\n$"},
    };
    for (const auto& r : rows) {
        std::string out = stderr_of(r.flags, LOG2_INFO, r.path, 123, "fn", "msg");
        EXPECT_TRUE(testing::internal::RE::FullMatch(out, testing::internal::RE(r.expect_re)))
            << r.name << ": [" << out << "]";
    }
}

TEST(Log2, ExactlyOneLineBreak) {
    EXPECT_EQ(stderr_of(0, LOG2_INFO, "x", 1, nullptr, "a"), "a\n");
    EXPECT_EQ(stderr_of(0, LOG2_INFO, "x", 1, nullptr, "a\n"), "a\n");
}

// Colours by level on a terminal; a file, or a terminal without the colour
// flag, gets the line alone.
TEST(Log2, ColoursByLevelOnlyOnATerminal) {
    REQUIRE_PTY(pty_pair().ok());
    struct row {
        uint32_t level;
        const char* terminal;
    };
    const row rows[] = {
        {LOG2_ERR, "\033[01;31mm\n\033[0m"},
        {LOG2_INFO, "m\n"},
        {LOG2_VERB, "\033[32mm\n\033[0m"},
        {LOG2_WARN, "\033[01;33mm\n\033[0m"},
        {LOG2_CRIT | LOG2_NOEXIT, "\033[01;07;31mm\n\033[0m"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.level);
        EXPECT_EQ(stderr_of(LOG2_F_COLOR, r.level, "x", 1, nullptr, "m", true), r.terminal);
        EXPECT_EQ(stderr_of(LOG2_F_COLOR, r.level, "x", 1, nullptr, "m"), "m\n");
        EXPECT_EQ(stderr_of(0, r.level, "x", 1, nullptr, "m", true), "m\n");
    }
}

// A log line written while a progress line shows starts a line of its own.
TEST(Log2, ALineAfterAProgressLineStartsALineOfItsOwn) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 8, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0, 0);
    fd_capture cap;
    os_console_progress("1024 bytes (1.0K), 1.00KB/S");
    log2_printf(nullptr, LOG2_ERR, "t", "x", 1, nullptr, "read error\n");
    log2_printf(nullptr, LOG2_ERR, "t", "x", 1, nullptr, "again\n");
    EXPECT_EQ(cap.text(), "\r1024 bytes (1.0K), 1.00KB/S\nread error\nagain\n");
}

TEST(Log2, ErrnoSuffixAndErrnoKept) {
    errno = 0;
    EXPECT_EQ(stderr_of(0, LOG2_ERR | LOG2_ERRNO, "x", 1, nullptr, "open: "), "open: ok\n");
    errno = ENOENT;
    EXPECT_EQ(stderr_of(0, LOG2_ERR | LOG2_ERRNO, "x", 1, nullptr, "open: "), "open: No such file or directory\n");
    EXPECT_EQ(errno, ENOENT);
}

TEST(Log2, LongMessageIsCutNotOverrun) {
    std::string big(20000, 'x');
    std::string out = stderr_of(0, LOG2_INFO, "x", 1, nullptr, big.c_str());
    EXPECT_EQ(out.size(), 8191u);
    EXPECT_EQ(out.back(), '\n');
}

// A finished line handed to the output stage is cut like a formatted one:
// at most 8191 bytes, ending with its line break, also on the coloured path.
TEST(Log2, WriteLineIsCutAtTheLineSize) {
    struct row {
        const char* name;
        size_t size;    // bytes of the line, the last one a line break
        bool by_len;    // length given, else taken from the text
        size_t shown;   // bytes that reach standard error
    };
    const row rows[] = {
        {"far over", 20000, true, 8191},
        {"far over, length from the text", 20000, false, 8191},
        {"exactly at the bound", 8191, true, 8191},
        {"one over", 8192, true, 8191},
        {"one over, length from the text", 8192, false, 8191},
        {"short", 10, true, 10},
    };
    REQUIRE_PTY(pty_pair().ok());
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 8, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, LOG2_F_COLOR, 0);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string line(r.size - 1, 'x');
        line += '\n';
        pty_capture cap;
        int64_t n = log2_write_line(nullptr, LOG2_ERR, "t", line.c_str(),
                                    r.by_len ? static_cast<uint32_t>(line.size()) : 0xFFFFFFFFu);
        std::string out = cap.text();
        EXPECT_EQ(n, static_cast<int64_t>(r.shown));
        std::string want = "\033[01;31m" + std::string(r.shown - 1, 'x') + "\n\033[0m";
        EXPECT_TRUE(out == want) << out.size();
    }
}

TEST(Log2Death, CritEndsTheProcessWithStatus1) {
    EXPECT_EXIT(
        {
            log2_printf(nullptr, LOG2_CRIT, "t", "x.c", 1, "f", "fatal thing\n");
            _exit(0);
        },
        testing::ExitedWithCode(1), "fatal thing");
    EXPECT_EXIT(
        {
            errno = EACCES;
            log2_printf(nullptr, LOG2_CRIT | LOG2_ERRNO, "t", "x.c", 1, "f", "with errno: ");
            _exit(0);
        },
        testing::ExitedWithCode(1), "with errno: Permission denied");
}

TEST(Log2Death, CritFromAWorkerThreadEndsTheProcess) {
    EXPECT_EXIT(
        {
            std::thread t([] { log2_printf(nullptr, LOG2_CRIT, "t", "x.c", 1, "f", "from worker\n"); });
            t.join();
            _exit(0);
        },
        testing::ExitedWithCode(1), "from worker");
}

TEST(Log2, CritThatDoesNotEnd) {
    EXPECT_EXIT(
        {
            log2_printf(nullptr, LOG2_CRIT | LOG2_NOEXIT, "t", "x.c", 1, "f", "still here\n");
            log2_printf(nullptr, LOG2_CRIT | LOG2_BSV_ONLY, "t", "x.c", 1, "f", "record only\n");
            _exit(0);
        },
        testing::ExitedWithCode(0), "still here");
    fd_capture cap;
    log2_printf(nullptr, LOG2_CRIT | LOG2_BSV_ONLY, "t", "x.c", 1, "f", "record only\n");
    EXPECT_EQ(cap.text(), "");
}

TEST(Log2, TailKeepsNewestWholeLines) {
    log2_ctx* c = log2_new();
    ASSERT_NE(c, nullptr);
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    log2_ioctl(c, LOG2_IOC_FLAGS, 0, 0);
    for (int i = 0; i < 200; ++i) log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "line %03d\n", i);
    std::string tail = log2_get_last_msg(c);
    EXPECT_LE(tail.size(), 1023u);
    EXPECT_EQ(tail.substr(tail.size() - 9), "line 199\n");
    EXPECT_EQ(tail.substr(0, 5), "line ");  // begins at a whole line
    std::string longline(1500, 'y');
    log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "%s", longline.c_str());
    EXPECT_EQ(std::string(log2_get_last_msg(c)), tail);  // too long: not stored
    std::string big(900, 'z');
    log2_printf(c, LOG2_INFO, "t", "x", 1, nullptr, "%s", big.c_str());
    tail = log2_get_last_msg(c);
    EXPECT_LE(tail.size(), 1023u);
    EXPECT_EQ(tail.substr(0, 5), "line ");
    EXPECT_EQ(tail.substr(tail.size() - 901), big + "\n");
    log2_exit(c);
}

TEST(Log2, FlagWordsApplyInOrder) {
    EXPECT_EQ(log_flags_2_int("time|tid|func"), 0x27u);
    EXPECT_EQ(log_flags_2_int("time_ms|time"), 0x62u);
    EXPECT_EQ(log_flags_2_int("time|time_ms"), 0x60u);
    EXPECT_EQ(log_flags_2_int("no_colour|file"), 0x18u);
    fd_capture cap;
    EXPECT_EQ(log_flags_2_int("tid|bogus"), 0x21u);
    EXPECT_EQ(cap.text(), "Invalid tags: [bogus]\n");
}

TEST(Log2, LevelNamesAndControlCodes) {
    EXPECT_EQ(log_level_2_int("verb"), 8);
    EXPECT_EQ(log_level_2_int("crit"), 2);
    EXPECT_STREQ(log_level_2_str(5), "noti");
    EXPECT_STREQ(log_level_2_prefix(3), "ERROR");
    EXPECT_STREQ(log_level_2_str(9), "unkown(9)");
    EXPECT_EQ(log_prefix_2_int("DEBUG"), 7);
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 6, 0);
    {
        fd_capture cap;
        EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, "bogus"), -1);
        EXPECT_EQ(log2_ioctl(nullptr, 99, 0, 0), -1);
        EXPECT_EQ(cap.text(), "error: invalid level [bogus]\nInvalid command code\n");
    }
    EXPECT_EQ(log2_get_level(nullptr), 6);
    uint32_t lv = 0;
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, reinterpret_cast<uintptr_t>(&lv), 2), -1);
    EXPECT_EQ(log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, reinterpret_cast<uintptr_t>(&lv), 4), 0);
    EXPECT_EQ(lv, 6u);
    EXPECT_STREQ(log_level_names(), "verb|dbg|info|noti|warn|err|crit");
    EXPECT_STREQ(log_level_help(), "log.verb=8\nlog.dbg=7\nlog.info=6\nlog.noti=5\nlog.warn=4\nlog.err=3\nlog.crit=2");
}

TEST(Log2, InitTakesTheProcessLoggerOnceThenMakesSeparateOnes) {
    log2_exit(nullptr);
    log2_ctx* first = log2_init(nullptr, nullptr);
    log2_ctx* second = log2_init(nullptr, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    log2_ioctl(second, LOG2_IOC_LEVEL, 3, 0);
    EXPECT_NE(log2_get_level(first), 3);
    log2_exit(second);
}

TEST(Log2, ExitTwiceAndLogAfterExit) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 3, 0);
    EXPECT_EQ(log2_exit(nullptr), 0);
    EXPECT_EQ(log2_exit(nullptr), 0);
    // A later call finds a fresh logger with the defaults.
    EXPECT_EQ(log2_get_level(nullptr), 7);
    fd_capture cap;
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0, 0);
    log2_printf(nullptr, LOG2_INFO, "t", "x", 1, nullptr, "after\n");
    EXPECT_EQ(cap.text(), "after\n");
}

TEST(Log2, ReplaceHookTakesEveryCall) {
    static int calls;
    static std::string seen;
    calls = 0;
    log2_ctx* c = log2_new();
    log2_set_hook(c, [](uint32_t, const char*, const char*, int32_t, const char*, int, const char* fmt, va_list ap) {
        char buf[64];
        vsnprintf(buf, sizeof buf, fmt, ap);
        seen = buf;
        ++calls;
    });
    log2_ioctl(c, LOG2_IOC_LEVEL, 2, 0);
    fd_capture cap;
    EXPECT_EQ(log2_printf(c, LOG2_VERB, "t", "x", 1, nullptr, "v=%d", 5), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, "v=5");
    EXPECT_EQ(cap.text(), "");
    log2_exit(c);
}

TEST(Log2, CallbackThatLogsDoesNotDeadlock) {
    log2_ctx* c = log2_new();
    log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
    static int n;
    n = 0;
    log2_cb cb = [](uint32_t, const char*, const char*, uint32_t) {
        ++n;
        return static_cast<int>(log2_printf(nullptr, LOG2_ERR, "t", "x", 1, nullptr, "nested\n"));
    };
    log2_ioctl(c, LOG2_IOC_CB_HIGH, reinterpret_cast<uintptr_t>(cb), 0);
    log2_ioctl(c, LOG2_IOC_CB_LOW, reinterpret_cast<uintptr_t>(cb), 0);
    log2_printf(c, LOG2_ERR, "t", "x", 1, nullptr, "outer\n");
    EXPECT_EQ(n, 1);
    log2_exit(c);
}

TEST(Log2, ConcurrentLinesStayWhole) {
    log_capture cap(8);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < 2000; ++i)
                log2_printf(nullptr, LOG2_INFO, "t", "x", 1, nullptr, "thread %d line %d end\n", t, i);
        });
    for (auto& t : ts) t.join();
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 16000u);
    std::vector<int> next(8, 0);
    for (const auto& l : lines) {
        int t, i;
        char end[8];
        ASSERT_EQ(sscanf(l.text.c_str(), "thread %d line %d %3s", &t, &i, end), 3) << l.text;
        ASSERT_EQ(std::string(end), "end");
        ASSERT_EQ(i, next[t]++);  // per thread in order, none lost
    }
}

TEST(Log2, InfoSnapshotText) {
    char* text = log2_info_text(nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(strstr(text, "log_level="), nullptr);
    EXPECT_NE(strstr(text, "log_shell_enale_out=1"), nullptr);
    pl_free(text);
}

}  // namespace

namespace {

// Messages held on a worker thread reach no output there; written on
// another thread they come out in order, each as it would have (level
// filter of the time, errno text of the worker's call), and dropped ones
// never appear. A thread that holds no more logs again.
TEST(Log2, HeldMessagesAreWrittenByTheTakerOrDropped) {
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, 6, 0);
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, 0, 0);
    log2_held kept, dropped;
    std::string during;
    {
        fd_capture cap;
        std::thread worker([&] {
            log2_hold(&kept);
            log2_printf(nullptr, LOG2_ERR, "t", "a.c", 1, "f", "first %d\n", 1);
            log2_printf(nullptr, LOG2_DBG, "t", "a.c", 2, "f", "filtered\n");
            errno = ENOENT;
            log2_printf(nullptr, LOG2_ERR | LOG2_ERRNO, "t", "a.c", 3, "f", "open: ");
            log2_hold(&dropped);
            log2_printf(nullptr, LOG2_ERR, "t", "a.c", 4, "f", "dropped\n");
            log2_hold(nullptr);
            log2_printf(nullptr, LOG2_ERR, "t", "a.c", 5, "f", "direct\n");
        });
        worker.join();
        during = cap.text();
    }
    EXPECT_EQ(during, "direct\n");
    ASSERT_EQ(kept.msgs.size(), 2u);
    log2_held_clear(&dropped);
    errno = EPERM;
    fd_capture cap;
    log2_held_write(&kept);
    log2_held_write(&dropped);
    EXPECT_EQ(cap.text(), "first 1\nopen: No such file or directory\n");
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(kept.msgs.empty());
}

}  // namespace
