// Operands -> settings, in-process.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kxdd_opts.h"
#include "kxdd_sig.h"
#include "libdd/dd_opts.h"
#include "libpal/os/os_thread.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

struct parsed {
    dd_opts o;
    parsed() { dd_opts_init(&o); }
    ~parsed() { dd_opts_free(&o); }
};

// Parses the operands into fresh settings.
void parse(parsed& p, std::vector<std::string> args) {
    std::vector<std::vector<char>> store;
    std::vector<char*> argv{const_cast<char*>("kxdd")};
    for (auto& a : args) {
        store.emplace_back(a.begin(), a.end());
        store.back().push_back(0);
        argv.push_back(store.back().data());
    }
    kxdd_parse_operands(&p.o, static_cast<int>(argv.size()), argv.data());
}

TEST(KxddOpts, Defaults) {
    parsed p;
    EXPECT_EQ(p.o.mode, DD_MODE_COPY);
    EXPECT_EQ(p.o.flags, (1u << 18) | (1u << 22));
    EXPECT_EQ(p.o.ibs, 2097152);
    EXPECT_EQ(p.o.obs, 2097152);
    EXPECT_EQ(p.o.retry_mode, 1u);
    EXPECT_EQ(p.o.retry_delay_seconds, 5u);
    EXPECT_EQ(p.o.retry_timeout_minutes, 1u);
    EXPECT_EQ(p.o.disable_os_hibernate, 1);
    EXPECT_EQ(p.o.in_name, nullptr);
    EXPECT_EQ(p.o.out_name, nullptr);
}

struct opt_case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const dd_opts&)> check;
};

TEST(KxddOpts, OperandTable) {
    const opt_case cases[] = {
        {"bs sets both", {"bs=1M"}, [](const dd_opts& o) { EXPECT_EQ(o.ibs, 1 << 20); EXPECT_EQ(o.obs, 1 << 20); }},
        {"ibs obs apart", {"ibs=4k", "obs=512"}, [](const dd_opts& o) { EXPECT_EQ(o.ibs, 4096); EXPECT_EQ(o.obs, 512); }},
        {"bs before diff_mode", {"bs=1M", "diff_mode=byte"},
         [](const dd_opts& o) {
             EXPECT_EQ(o.ibs, 65536);
             EXPECT_EQ(o.mode, DD_MODE_DIFF);
             EXPECT_EQ(o.diff_mode, 2u);
             EXPECT_EQ(o.diff_max_count, 8);
             EXPECT_EQ(o.bs_count, 512);
         }},
        {"bs after diff_mode", {"diff_mode=bs", "bs=1M"},
         [](const dd_opts& o) { EXPECT_EQ(o.ibs, 1 << 20); EXPECT_EQ(o.diff_mode, 4u); }},
        {"diff_mode bin", {"diff_mode=bin"},
         [](const dd_opts& o) { EXPECT_EQ(o.mode, DD_MODE_DIFF_BIN); EXPECT_EQ(o.diff_mode, 2u); }},
        {"count sizes and flag", {"count=2k"},
         [](const dd_opts& o) { EXPECT_EQ(o.count, 2048u); EXPECT_TRUE(o.flags & (1u << 29)); }},
        {"seek skip", {"seek=3b", "skip=1.5k"}, [](const dd_opts& o) { EXPECT_EQ(o.seek, 1536u); EXPECT_EQ(o.skip, 1536u); }},
        {"offset counts bytes", {"offset=10"},
         [](const dd_opts& o) {
             EXPECT_EQ(o.seek, 10u);
             EXPECT_EQ(o.skip, 10u);
             EXPECT_TRUE(o.flags & (1u << 16));
             EXPECT_TRUE(o.flags & (1u << 20));
         }},
        {"offset with off_blocks either order", {"conv=off_blocks", "offset=10"},
         [](const dd_opts& o) { EXPECT_TRUE(o.flags & (1u << 7)); EXPECT_TRUE(o.flags & (1u << 16)); }},
        {"names and repeats", {"if=a", "of=b", "if=c", "proxy=p", "proxy_url=http://h"},
         [](const dd_opts& o) {
             EXPECT_STREQ(o.in_name, "c");
             EXPECT_STREQ(o.out_name, "b");
             EXPECT_STREQ(o.proxy, "p");
             EXPECT_STREQ(o.proxy_url, "http://h");
         }},
        {"value with equals signs", {"if=a=b=c"}, [](const dd_opts& o) { EXPECT_STREQ(o.in_name, "a=b=c"); }},
        {"every conv word", {"conv=notrunc,sync,noerror,fsync,swab,resume,bad_read,off_blocks,cal_one_task,cal_force_local"},
         [](const dd_opts& o) { EXPECT_EQ(o.flags & 0x3FFu, 0x3FFu); }},
        {"iflag words", {"iflag=skip_bytes,direct,vss"},
         [](const dd_opts& o) { EXPECT_EQ(o.flags & 0xF0000u, 0xF0000u); }},
        {"iflag file clears image parsing", {"iflag=file,direct"},
         [](const dd_opts& o) { EXPECT_TRUE(o.flags & (1u << 17)); EXPECT_FALSE(o.flags & (1u << 18)); }},
        {"oflag direct keeps image parsing", {"oflag=direct"},
         [](const dd_opts& o) { EXPECT_TRUE(o.flags & (1u << 21)); EXPECT_TRUE(o.flags & (1u << 22)); }},
        {"oflag file", {"oflag=seek_bytes,file"},
         [](const dd_opts& o) { EXPECT_TRUE(o.flags & (1u << 20)); EXPECT_FALSE(o.flags & (1u << 22)); }},
        {"status words", {"status=none,noxfer,md5,sha1"}, [](const dd_opts& o) { EXPECT_EQ(o.flags >> 24 & 0xF, 0xFu); }},
        {"cool_down with underscore", {"cool_down=5_1"},
         [](const dd_opts& o) { EXPECT_EQ(o.cool_down_work, 300000u); EXPECT_EQ(o.cool_down_rest, 60000u); }},
        {"cool_down dash wins", {"cool_down=2-3"},
         [](const dd_opts& o) { EXPECT_EQ(o.cool_down_work, 120000u); EXPECT_EQ(o.cool_down_rest, 180000u); }},
        {"bs_count at least 1", {"bs_count=0"}, [](const dd_opts& o) { EXPECT_EQ(o.bs_count, 1); }},
        {"bs_count negative", {"bs_count=-5"}, [](const dd_opts& o) { EXPECT_EQ(o.bs_count, 1); }},
        {"diff_max_count at least 0", {"diff_max_count=-3"}, [](const dd_opts& o) { EXPECT_EQ(o.diff_max_count, 0); }},
        {"clear_mode hex random", {"clear_mode=100"},
         [](const dd_opts& o) { EXPECT_EQ(o.clear_mode, 256u); EXPECT_EQ(o.mode, DD_MODE_CLEAR); }},
        {"clear_mode hex byte", {"clear_mode=ff"}, [](const dd_opts& o) { EXPECT_EQ(o.clear_mode, 255u); }},
        {"clear_mode 0x prefix", {"clear_mode=0x1A"}, [](const dd_opts& o) { EXPECT_EQ(o.clear_mode, 26u); }},
        {"retry_open then timeout", {"retry_open=3", "retry_timeout_minutes=2"},
         [](const dd_opts& o) {
             EXPECT_EQ(o.retry_mode, 1u);
             EXPECT_EQ(o.retry_open, 3u);
             EXPECT_EQ(o.retry_timeout_minutes, 2u);
         }},
        {"timeout then retry_open", {"retry_timeout_minutes=2", "retry_open=3"},
         [](const dd_opts& o) { EXPECT_EQ(o.retry_mode, 2u); }},
        {"bad sector settings", {"bad_fill_str=BAD!", "bad_skip_sectors=16", "bad_retry_count=3", "retry_delay_seconds=9"},
         [](const dd_opts& o) {
             EXPECT_STREQ(o.bad_fill_str, "BAD!");
             EXPECT_EQ(o.bad_skip_sectors, 16u);
             EXPECT_EQ(o.bad_retry_count, 3u);
             EXPECT_EQ(o.retry_delay_seconds, 9u);
         }},
        {"fill pattern longer than 32 stays empty", {"bad_fill_str=" + std::string(33, 'x')},
         [](const dd_opts& o) { EXPECT_STREQ(o.bad_fill_str, ""); }},
        {"fill pattern of 32 fits", {"bad_fill_str=" + std::string(32, 'x')},
         [](const dd_opts& o) { EXPECT_EQ(strlen(o.bad_fill_str), 32u); }},
        {"disable bytes", {"disable_os_hibernate=0", "disable_pack_transport=1"},
         [](const dd_opts& o) { EXPECT_EQ(o.disable_os_hibernate, 0); EXPECT_EQ(o.disable_pack_transport, 1); }},
        {"hash_mode", {"hash_mode=md5,psha256,bogus"},
         [](const dd_opts& o) {
             EXPECT_EQ(o.mode, DD_MODE_HASH);
             EXPECT_EQ(o.hash_mode, 0x21u);
             EXPECT_EQ(o.bs_count, 32);
         }},
        {"bcount_mode value unread", {"bcount_mode=anything"},
         [](const dd_opts& o) { EXPECT_EQ(o.mode, DD_MODE_BCOUNT); EXPECT_EQ(o.bs_count, 32); }},
        {"sync_mode", {"bs=1M", "sync_mode=auto"},
         [](const dd_opts& o) { EXPECT_EQ(o.mode, DD_MODE_SYNC); EXPECT_EQ(o.ibs, 65536); EXPECT_EQ(o.bs_count, 512); }},
        {"double dash skipped anywhere", {"--", "bs=512", "--"}, [](const dd_opts& o) { EXPECT_EQ(o.ibs, 512); }},
        {"largest block size", {"bs=2147483647"}, [](const dd_opts& o) { EXPECT_EQ(o.ibs, 2147483647); }},
        {"large exact count", {"count=18446744073709551615"},
         [](const dd_opts& o) { EXPECT_EQ(o.count, 18446744073709551615ull); }},
    };
    for (const auto& c : cases) {
        parsed p;
        parse(p, c.args);
        SCOPED_TRACE(c.name);
        c.check(p.o);
    }
}

TEST(KxddOpts, LevelOperandSetsTheLogger) {
    log_capture cap(6);
    parsed p;
    parse(p, {"level=verb"});
    EXPECT_EQ(log2_get_level(nullptr), 8);
    parse(p, {"level=bogus"});
    EXPECT_EQ(log2_get_level(nullptr), 8);
}

TEST(KxddOpts, CommaListsAreRestored) {
    char text[] = "notrunc,sync";
    EXPECT_EQ(parse_comma_flags(text, k_conv_words, "conv"), 0x3u);
    EXPECT_STREQ(text, "notrunc,sync");
}

struct bad_case {
    std::vector<std::string> args;
    const char* stderr_re;
};

TEST(KxddOptsDeath, BadOperandsEndWithStatus1) {
    const bad_case cases[] = {
        {{"foo"}, "usage: kxdd"},
        {{"-v", "if=x"}, "usage: kxdd"},
        {{"bogus=1"}, "usage: kxdd"},
        {{"conv=notrunc,,sync"}, "error: invalid arg \\[\\] in \\[conv\\]"},
        {{"conv=notrunc,"}, "error: invalid arg \\[\\] in \\[conv\\]"},
        {{"iflag=bogus"}, "error: invalid arg \\[bogus\\] in \\[iflag\\]"},
        {{"status=md5,fast"}, "error: invalid arg \\[fast\\] in \\[status\\]"},
        {{"hash_mode=foo"}, "usage: kxdd"},
        {{"diff_mode=fast"}, "usage: kxdd"},
        {{"cool_down=5"}, "usage: kxdd"},
        {{"cool_down=a-b"}, "invalid value \\[a-b\\] in \\[cool_down\\]"},
        {{"seek=1KiB"}, "invalid value \\[1KiB\\] in \\[seek\\]"},
        {{"count=x"}, "invalid value \\[x\\] in \\[count\\]"},
        {{"skip=-1"}, "invalid value \\[-1\\] in \\[skip\\]"},
        {{"skip=1x2k"}, "invalid value"},
        {{"count=18446744073709551616"}, "invalid value"},
        {{"count=100000P"}, "invalid value"},
        {{"bs="}, "invalid value \\[\\] in \\[ibs\\]"},
        {{"bs=4294967808"}, "ibs=4294967808 error range: \\[1-2147483647\\]"},
        {{"obs=3G"}, "obs=3221225472 error range: \\[1-2147483647\\]"},
        {{"retry_open=abc"}, "invalid value \\[abc\\] in \\[retry_open\\]"},
        {{"retry_open=-1"}, "invalid value"},
        {{"retry_open=4294967296"}, "invalid value"},
        {{"disable_os_hibernate=256"}, "invalid value"},
        {{"bs_count=1.5"}, "invalid value"},
        {{"clear_mode=101"}, "invalid value \\[101\\] in \\[clear_mode\\]"},
        {{"clear_mode=zz"}, "invalid value"},
        {{"clear_mode="}, "invalid value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        EXPECT_EXIT(
            {
                parsed p;
                parse(p, c.args);
                _exit(0);
            },
            testing::ExitedWithCode(1), c.stderr_re);
    }
}

TEST(KxddSig, SignalsReachTheirWorkOnTheSignalThread) {
    static std::atomic<int> stops{0}, stats{0};
    static std::atomic<uint64_t> stat_thread{0};
    ASSERT_EQ(kxdd_sig_start(), 0);
    kxdd_sig_ops ops{[](void*) { ++stops; },
                     [](void*) {
                         stat_thread = os_thread_id64();
                         ++stats;
                     },
                     nullptr};
    kxdd_sig_set_ops(&ops);
    auto wait_for = [](std::atomic<int>& v, int want) {
        for (int i = 0; i < 100000 && v.load() < want; ++i) os_msleep(1);
        return v.load();
    };
    raise(SIGUSR1);
    EXPECT_EQ(wait_for(stats, 1), 1);
    EXPECT_NE(stat_thread.load(), os_thread_id64());
    EXPECT_FALSE(kxdd_sig_stop_requested());
    raise(SIGINT);
    EXPECT_EQ(wait_for(stops, 1), 1);
    EXPECT_TRUE(kxdd_sig_stop_requested());
    raise(SIGPIPE);
    EXPECT_EQ(wait_for(stops, 2), 2);
    kxdd_sig_stop();
}

}  // namespace
