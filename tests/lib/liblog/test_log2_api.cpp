// The logger's entry points beside log2_printf: the output stage for a
// finished line, a finished text, the plugin entry with its own error number,
// the level by name, and the split between the two output callbacks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"

namespace {

struct seen_line {
    uint32_t level;
    std::string tag;
    std::string text;
};

std::vector<seen_line> g_low, g_high;

int low_cb(uint32_t level, const char* tag, const char* line, uint32_t len) {
    g_low.push_back({level & 0xff, tag, std::string(line, len)});
    return 0;
}

int high_cb(uint32_t level, const char* tag, const char* line, uint32_t len) {
    g_high.push_back({level & 0xff, tag, std::string(line, len)});
    return 0;
}

// A logger of its own with both callbacks, no prefixes and no shell output.
struct own_logger {
    log2_ctx* c = log2_new();
    own_logger() {
        g_low.clear();
        g_high.clear();
        log2_ioctl(c, LOG2_IOC_SHELL_OUT, 0, 0);
        log2_ioctl(c, LOG2_IOC_FLAGS, 0, 0);
        log2_ioctl(c, LOG2_IOC_LEVEL, 8, 0);
        log2_ioctl(c, LOG2_IOC_CB_HIGH, reinterpret_cast<uintptr_t>(&high_cb), 0);
        log2_ioctl(c, LOG2_IOC_CB_LOW, reinterpret_cast<uintptr_t>(&low_cb), 0);
    }
    ~own_logger() { log2_exit(c); }
};

std::vector<uint32_t> levels_of(const std::vector<seen_line>& v) {
    std::vector<uint32_t> out;
    for (const auto& l : v) out.push_back(l.level);
    return out;
}

TEST(Log2Api, CallbacksSplitAtNotice) {
    own_logger g;
    for (uint32_t level = 2; level <= 8; level++)
        log2_printf(g.c, level | (level == 2 ? uint32_t{LOG2_NOEXIT} : 0u), "t", "x", 1, nullptr, "level %u\n", level);
    EXPECT_EQ(levels_of(g_low), (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_EQ(levels_of(g_high), (std::vector<uint32_t>{5, 6, 7, 8}));
    ASSERT_EQ(g_high.size(), 4u);
    EXPECT_EQ(g_high[0].text, "level 5\n");
    EXPECT_EQ(g_high[0].tag, "t");

    // With only one callback set, neither is called.
    log2_ioctl(g.c, LOG2_IOC_CB_LOW, 0, 0);
    g_high.clear();
    log2_printf(g.c, LOG2_INFO, "t", "x", 1, nullptr, "alone\n");
    EXPECT_TRUE(g_high.empty());
}

TEST(Log2Api, WriteLineHandsTheLineOnAsItIs) {
    own_logger g;
    log2_ioctl(g.c, LOG2_IOC_FLAGS, LOG2_F_DEFAULT & ~LOG2_F_COLOR, 0);
    EXPECT_EQ(log2_write_line(g.c, LOG2_ERR, "w", "raw %s line\n", 0xFFFFFFFFu), 12);
    EXPECT_EQ(log2_write_line(g.c, LOG2_INFO, "w", "cut here", 3), 3);
    ASSERT_EQ(g_low.size(), 1u);
    EXPECT_EQ(g_low[0].text, "raw %s line\n") << "no prefix and no formatting";
    ASSERT_EQ(g_high.size(), 1u);
    EXPECT_EQ(g_high[0].text, "cut");
    // The level filter still applies.
    log2_ioctl(g.c, LOG2_IOC_LEVEL, 3, 0);
    EXPECT_EQ(log2_write_line(g.c, LOG2_DBG, "w", "hidden\n", 0xFFFFFFFFu), 0);
    EXPECT_EQ(g_high.size(), 1u);
    EXPECT_EQ(log2_write_line(g.c, LOG2_ERR, "w", nullptr, 5), 0);
}

TEST(Log2Api, PutsLogsAFinishedTextPastTheReplaceHook) {
    own_logger g;
    static int hook_calls;
    hook_calls = 0;
    log2_set_hook(g.c, [](uint32_t, const char*, const char*, int32_t, const char*, int, const char*, va_list) {
        ++hook_calls;
    });
    log2_ioctl(g.c, LOG2_IOC_FLAGS, LOG2_F_FUNC, 0);
    EXPECT_GT(log2_puts(g.c, LOG2_ERR, "p", "x.c", 7, "fn", "100% %s %d"), 0);
    EXPECT_EQ(hook_calls, 0);
    ASSERT_EQ(g_low.size(), 1u);
    EXPECT_NE(g_low[0].text.find("fn"), std::string::npos) << g_low[0].text;
    EXPECT_NE(g_low[0].text.find("100% %s %d\n"), std::string::npos) << "the text is not a format";
    log2_printf(g.c, LOG2_ERR, "p", "x.c", 7, "fn", "formatted\n");
    EXPECT_EQ(hook_calls, 1) << "log2_printf goes to the hook";
    EXPECT_EQ(g_low.size(), 1u);

    log2_ioctl(g.c, LOG2_IOC_LEVEL, 3, 0);
    EXPECT_EQ(log2_puts(g.c, LOG2_INFO, "p", "x.c", 7, "fn", "filtered"), 0);
    EXPECT_TRUE(g_high.empty());
}

TEST(Log2Api, PluginEntryAppendsTheTextOfItsOwnErrorNumber) {
    log_capture cap;
    errno = 0;
    log2_printf_plug(LOG2_ERR | LOG2_ERRNO, "plug", "p.c", 3, "f", ENOENT, "open %s: ", "disk");
    log2_printf_plug(LOG2_WARN, "plug", "p.c", 4, "f", EACCES, "no errno text\n");
    ASSERT_EQ(cap.count(), 2u);
    EXPECT_EQ(cap.lines()[0].text, std::string("open disk: ") + strerror(ENOENT) + "\n");
    EXPECT_EQ(cap.lines()[0].tag, "plug");
    EXPECT_EQ(cap.lines()[1].text, "no errno text\n");
}

void via_va_list(int err, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log2_vprintf_errno(LOG2_ERR | LOG2_ERRNO, "t", "v.c", 1, "f", err, fmt, ap);
    va_end(ap);
}

TEST(Log2Api, VprintfErrnoTakesTheGivenNumber) {
    log_capture cap;
    errno = EINTR;
    via_va_list(EPERM, "n=%d ", 9);
    ASSERT_EQ(cap.count(), 1u);
    EXPECT_EQ(cap.lines()[0].text, std::string("n=9 ") + strerror(EPERM) + "\n");
}

TEST(Log2Api, LevelByName) {
    log2_ctx* c = log2_new();
    EXPECT_EQ(log2_set_level_str(c, "warn"), 0);
    EXPECT_EQ(log2_get_level(c), 4);
    EXPECT_STREQ(log2_get_level_str(c), "warn");
    fd_capture err;
    EXPECT_EQ(log2_set_level_str(c, "WARN"), -1) << "names are case-sensitive";
    EXPECT_EQ(log2_set_level_str(c, nullptr), -1);
    EXPECT_EQ(log2_get_level(c), 4) << "a bad name keeps the level";
    EXPECT_NE(err.text().find("error: invalid level [WARN]\n"), std::string::npos);
    EXPECT_EQ(log2_set_level_str(c, "verb"), 0);
    EXPECT_EQ(log2_get_level(c), 8);
    log2_exit(c);
}

TEST(Log2Api, FourWordLevelNames) {
    const struct {
        int value;
        const char* name;
    } rows[] = {{8, "debug"}, {7, "debug"}, {6, "info"}, {5, "warning"},
                {4, "warning"}, {3, "error"}, {2, "error"}, {9, "unkown(9)"}};
    for (const auto& r : rows) EXPECT_STREQ(log_level_2_std(r.value), r.name) << r.value;
}

}  // namespace
