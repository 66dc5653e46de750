// The logger's hook: sinks and the "log" channel with its subscribers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/libbsv/bsv_oracle.h"
#include "libbsv/bsv_chan.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_record.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

// What a sink received.
struct sink_log {
    std::mutex mu;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> got;
    static void fn(uint32_t level, const uint8_t* data, uint32_t len, void* ctx) {
        auto* s = static_cast<sink_log*>(ctx);
        std::lock_guard<std::mutex> g(s->mu);
        s->got.emplace_back(level, std::vector<uint8_t>(data, data + len));
    }
    size_t size() {
        std::lock_guard<std::mutex> g(mu);
        return got.size();
    }
};

struct sinks {
    sink_log udp, file;
    sinks() {
        bsv_set_udp_sink(sink_log::fn, &udp);
        bsv_set_file_sink(sink_log::fn, &file);
    }
    ~sinks() {
        bsv_set_udp_sink(nullptr, nullptr);
        bsv_set_file_sink(nullptr, nullptr);
    }
};

#define LOGX(level, tag, ...) log2_printf(nullptr, (level), (tag), "src/x.cpp", 77, "fx", __VA_ARGS__)

TEST(BsvHook, RecordsGoToTheSinksByLevelWord) {
    log_capture cap(8);
    sinks s;
    LOGX(LOG2_INFO, "dd_a", "plain %d\n", 1);
    LOGX(LOG2_INFO | LOG2_BSV, "dd_a", "also udp\n");
    LOGX(LOG2_ERR | LOG2_BSV_ONLY, "dd_a", "udp only\n");
    LOGX(LOG2_INFO | LOG2_BSV, "bsv", "own tag\n");
    LOGX(LOG2_INFO | LOG2_BSV, "net", "own tag\n");
    LOGX(LOG2_VERB | LOG2_BSV, "dd_a", "below the level\n");  // capture level 8 passes it
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, LOG2_DBG, 0);
    LOGX(LOG2_VERB | LOG2_BSV, "dd_a", "filtered\n");

    ASSERT_EQ(s.file.size(), 4u);  // every message past the filter but the own tags
    ASSERT_EQ(s.udp.size(), 3u);   // only those with 0x400 or 0x800
    bsv_oracle::record r = bsv_oracle::read_record(s.file.got[0].second.data(), s.file.got[0].second.size());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.texts[0], "dd_a");
    EXPECT_EQ(r.texts[2], "src/x.cpp");
    EXPECT_EQ(r.texts[3], "77");
    EXPECT_EQ(r.texts[4], "fx");
    EXPECT_EQ(r.texts[5], "plain 1\n");
    EXPECT_EQ(s.udp.got[1].first, LOG2_ERR | LOG2_BSV_ONLY);
    bsv_oracle::packet p = bsv_oracle::read_packet(s.udp.got[1].second, BSV_NET_KEY, 16);
    ASSERT_TRUE(p.ok && p.crc_ok);
    r = bsv_oracle::read_record(p.data.data(), p.data.size());
    EXPECT_EQ(r.texts[5], "udp only\n");
    // 0x800 wrote nothing locally.
    EXPECT_FALSE(cap.contains("udp only"));
    EXPECT_TRUE(cap.contains("also udp"));
}

TEST(BsvHook, ErrnoTextIsInTheRecord) {
    log_capture cap(8);
    sinks s;
    errno = ENOENT;
    LOGX(LOG2_ERR | LOG2_ERRNO, "t", "open failed: ");
    ASSERT_EQ(s.file.size(), 1u);
    bsv_oracle::record r = bsv_oracle::read_record(s.file.got[0].second.data(), s.file.got[0].second.size());
    EXPECT_EQ(r.texts[5], std::string("open failed: ") + strerror(ENOENT) + "\n");
}

TEST(BsvHook, OversizedMessageStillReachesFileSinkAndSubscribers) {
    log_capture cap(8);
    sinks s;
    char err[BSV_ERR_SIZE];
    bsv_reg_log();
    bsv_sub* sub = bsv_open("log", err);
    ASSERT_NE(sub, nullptr) << err;
    std::string big(3000, 'b');
    LOGX(LOG2_INFO | LOG2_BSV, "t", "%s", big.c_str());
    EXPECT_EQ(s.udp.size(), 0u);
    ASSERT_EQ(s.file.size(), 1u);
    EXPECT_EQ(s.file.got[0].second.size(), BSV_LOG_RECORD_MAX);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(bsv_read(sub, buf.data(), buf.size()), static_cast<int64_t>(BSV_LOG_RECORD_MAX));
    bsv_close(sub);
}

// A sink that logs: the line is dropped instead of re-entering the hook.
void logging_sink(uint32_t, const uint8_t*, uint32_t, void* ctx) {
    ++*static_cast<int*>(ctx);
    LOG2(LOG2_ERR, "bsvf", "from inside the sink\n");
}

TEST(BsvHook, SinkThatLogsDoesNotReenter) {
    log_capture cap(8);
    int calls = 0;
    bsv_set_file_sink(logging_sink, &calls);
    LOGX(LOG2_INFO, "t", "outer\n");
    bsv_set_file_sink(nullptr, nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(cap.contains("outer"));
}

TEST(BsvHook, UnsetOnlyClearsItsOwnSink) {
    log_capture cap(8);
    sink_log a, b;
    bsv_set_file_sink(sink_log::fn, &a);
    bsv_set_file_sink(sink_log::fn, &b);  // a second output took the sink
    bsv_unset_file_sink(&a);              // the first one closes
    LOGX(LOG2_INFO, "t", "x\n");
    bsv_unset_file_sink(&b);
    LOGX(LOG2_INFO, "t", "y\n");
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(b.size(), 1u);
}

TEST(BsvChan, SubscribersFiltersAndTheLogReader) {
    log_capture cap(8);
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    EXPECT_EQ(bsv_open("nosuch", err), nullptr);
    EXPECT_STREQ(err, "name does not exist");

    bsv_log_reader* reader = bsv_open_log("log?bsv_rbuf_size=64k");
    ASSERT_NE(reader, nullptr);
    bsv_sub* errors_only = bsv_open("log", err);
    ASSERT_NE(errors_only, nullptr);
    ASSERT_EQ(bsv_set_filter(errors_only, "level <= 3", err), 0) << err;
    EXPECT_EQ(bsv_set_filter(errors_only, "level ~~ 3", err), -1);
    EXPECT_NE(err[0], 0);
    EXPECT_EQ(bsv_find_subscription(errors_only), 0);

    LOGX(LOG2_INFO, "dd_a", "first %d\n", 1);
    LOGX(LOG2_ERR, "dd_a", "second\n");
    LOGX(LOG2_INFO, "bsv", "not recorded\n");

    char line[2048];
    uint32_t level = 0;
    int n = bsv_read_log(reader, &level, line, sizeof line);
    ASSERT_GT(n, 0);
    EXPECT_EQ(level, LOG2_INFO);
    std::string text(line, static_cast<size_t>(n));
    EXPECT_NE(text.find(" INFO  " + std::to_string(getpid()) + " --- ["), std::string::npos) << text;
    EXPECT_NE(text.find("] dd_a fx(): first 1\n"), std::string::npos) << text;
    ASSERT_GT(bsv_read_log(reader, &level, line, sizeof line), 0);
    EXPECT_EQ(level, LOG2_ERR);
    EXPECT_EQ(bsv_read_log(reader, &level, line, sizeof line), 0);
    char* stat = bsv_log_stat_text(reader);
    ASSERT_NE(stat, nullptr);
    EXPECT_NE(strstr(stat, "write_count=2\n"), nullptr) << stat;
    EXPECT_NE(strstr(stat, "drop_count=0\n"), nullptr) << stat;
    pl_free(stat);

    // The filtered subscription got only the error.
    std::vector<uint8_t> buf(4096);
    int64_t got = bsv_read(errors_only, buf.data(), buf.size());
    ASSERT_GT(got, 0);
    EXPECT_EQ(buf[20], LOG2_ERR);
    EXPECT_EQ(bsv_read(errors_only, buf.data(), buf.size()), 0);

    // A stopped subscription gets nothing.
    bsv_stop(errors_only);
    LOGX(LOG2_ERR, "dd_a", "third\n");
    EXPECT_EQ(bsv_read(errors_only, buf.data(), buf.size()), 0);
    bsv_start(errors_only);

    bsv_close(errors_only);
    EXPECT_EQ(bsv_find_subscription(errors_only), -1);
    bsv_close_log(reader);
}

TEST(BsvChan, FullTableAndExit) {
    log_capture cap(8);
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    std::vector<bsv_sub*> subs;
    for (int i = 0; i < 8; ++i) {
        subs.push_back(bsv_open("log?bsv_rbuf_size=8k", err));
        ASSERT_NE(subs.back(), nullptr) << err;
    }
    // A ninth would never be listed, so it is refused.
    EXPECT_EQ(bsv_open("log", err), nullptr);
    EXPECT_NE(std::string(err), "");
    bsv_close(subs[3]);
    subs[3] = bsv_open("log", err);
    EXPECT_NE(subs[3], nullptr);

    // Exit closes them all; the handles are no longer listed and a close of
    // one leaves it alone. The channel comes back at the next message.
    bsv_exit();
    EXPECT_EQ(g_bsv_chan_log.sub_count.load(), 0u);
    EXPECT_EQ(bsv_find_subscription(subs[0]), -1);
    bsv_close(subs[0]);
    EXPECT_EQ(bsv_open("log", err), nullptr);
    LOGX(LOG2_INFO, "t", "registers again\n");
    bsv_sub* again = bsv_open("log", err);
    EXPECT_NE(again, nullptr) << err;
    bsv_close(again);
}

TEST(BsvChan, FirstMessagesFromManyThreadsRegisterOnce) {
    log_capture cap(8);
    bsv_exit();
    std::vector<std::thread> ts;
    std::atomic<int> go{0};
    for (int t = 0; t < 8; ++t)
        ts.emplace_back([&go] {
            while (!go.load()) std::this_thread::yield();
            LOGX(LOG2_INFO, "t", "hello\n");
        });
    go.store(1);
    for (auto& t : ts) t.join();
    char err[BSV_ERR_SIZE];
    bsv_sub* sub = bsv_open("log", err);
    ASSERT_NE(sub, nullptr) << err;
    // One registration: a second "log" channel would leave this one empty.
    LOGX(LOG2_INFO, "t", "seen\n");
    std::vector<uint8_t> buf(4096);
    EXPECT_GT(bsv_read(sub, buf.data(), buf.size()), 0);
    bsv_close(sub);
}

}  // namespace
