// The engine's decisions, in-process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "libdd/dd.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_console.h"
#include "libpal/string/str_codec.h"
#include "support/fd_capture.h"
#include "support/log_capture.h"

namespace {

struct ctx_ptr {
    dd_ctx* c = dd_open();
    ~ctx_ptr() { dd_close(c); }
    dd_ctx* operator->() const { return c; }
};

TEST(DdEngine, ReadAndWriteClassification) {
    struct row {
        int32_t code;
        int read;
        int noerror_local;
        int noerror_remote;
        int write_local;
        int write_remote;
    };
    const row rows[] = {
        {-250, 0, -1, -3, -1, -4},  {-254, 0, -1, -3, -1, -4},  {-258, -1, -1, -1, -1, -1},
        {-102, -1, -1, -1, -1, -1}, {-12, -3, -1, -1, -1, -1},  {-152, -3, -1, -3, -1, -1},
        {-1, -3, -1, -3, -1, -4},   {-301, -3, -1, -3, -1, -4}, {-40, -3, -1, -3, -1, -4},
    };
    ctx_ptr ctx;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(dd_read_errno(r.code), r.read);
        EXPECT_EQ(dd_noerror_errno(1, r.code), r.noerror_local);
        EXPECT_EQ(dd_noerror_errno(4, r.code), r.noerror_remote);
        ctx->out_scheme = 1;
        EXPECT_EQ(dd_write_errno(ctx.c, r.code), r.write_local);
        ctx->out_scheme = 4;
        EXPECT_EQ(dd_write_errno(ctx.c, r.code), r.write_remote);
    }
}

TEST(DdEngine, OpenErrorsOfMissingFilesAreFatal) {
    verr_info e{};
    e.code = -102;
    EXPECT_EQ(dd_open_errno(&e), -1);
    e.code = -103;
    EXPECT_EQ(dd_open_errno(&e), -1);
    e.code = -156;
    EXPECT_EQ(dd_open_errno(&e), -2);
    e.code = -38;
    EXPECT_EQ(dd_open_errno(&e), -2);
}

TEST(DdEngine, ProxyParametersOnlyForRemoteNames) {
    dd_opts o;
    dd_opts_init(&o);
    char out[DD_URL_SIZE];
    dd_url_add_proxy("/tmp/a.img", &o, out);
    EXPECT_STREQ(out, "/tmp/a.img");
    char name[] = "p1", url[] = "http://proxy:3128";
    o.proxy = name;
    o.proxy_url = url;
    dd_url_add_proxy("/tmp/a.img", &o, out);
    EXPECT_STREQ(out, "/tmp/a.img");
    dd_url_add_proxy("kxp://h/f", &o, out);
    EXPECT_STREQ(out, "kxp://h/f?proxy=p1");
    o.proxy = nullptr;
    dd_url_add_proxy("http://h/f", &o, out);
    std::string s(out);
    ASSERT_EQ(s.rfind("http://h/f?proxy_url=", 0), 0u) << s;
    o.proxy_url = nullptr;
}

TEST(DdEngine, WorkRefusesWhatItCannotRun) {
    struct row {
        const char* name;
        void (*set)(dd_opts&);
        const char* message;
    };
    const row rows[] = {
        {"ibs 0", [](dd_opts& o) { o.ibs = 0; }, "ibs=0 error range: [1-9223372036854775807]"},
        {"obs negative", [](dd_opts& o) { o.obs = -5; }, "obs=-5 error range: [1-9223372036854775807]"},
        {"wipe step over 2 GiB",
         [](dd_opts& o) {
             o.mode = DD_MODE_CLEAR;
             o.ibs = 1 << 30;
             o.bs_count = 4;
         },
         "ibs=4294967296 error range: [1-2147483647]"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        log_capture cap;
        ctx_ptr ctx;
        dd_opts o;
        dd_opts_init(&o);
        r.set(o);
        EXPECT_EQ(dd_work(ctx.c, &o), 1);
        EXPECT_TRUE(cap.contains(r.message)) << cap.all();
        EXPECT_EQ(ctx->worker, nullptr);
    }
}

TEST(DdEngine, RetryDecisionTable) {
    ctx_ptr ctx;
    ctx->total_bytes = 100;
    ctx->retry_delay = 0;
    ctx->retry_mode = 2;
    ctx->retry_open = 2;
    // Up to retry_open + 1 re-opens in a row, then the last failure stands.
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 1);
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 1);
    EXPECT_EQ(dd_retry_decide(ctx.c, -4), 1);
    EXPECT_EQ(dd_retry_decide(ctx.c, -2), 0);
    ctx->retry_fails = 0;  // a block moved
    EXPECT_EQ(dd_retry_decide(ctx.c, -7), 1);
    for (int r : {0, -1, -5}) EXPECT_EQ(dd_retry_decide(ctx.c, r), 0) << r;
    ctx->retry_fails = 0;
    ctx->total_bytes = 0;
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 0);  // nothing moved yet
    ctx->total_bytes = 1;
    ctx->flags |= DD_F_NOERROR;
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 0);
    ctx->flags &= ~DD_F_NOERROR;
    ctx->retry_mode = 1;
    ctx->retry_timeout_ms = 3600000;
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 1);
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 1);
    dd_stop(ctx.c);
    EXPECT_EQ(dd_retry_decide(ctx.c, -3), 0);
}

TEST(DdEngine, RestCountsDownAndAStopEndsIt) {
    ctx_ptr ctx;
    ctx->cool_down_work = 1;
    ctx->cool_down_rest = 2000;
    ctx->cool_start_ms = os_mono_ms() - 10;
    ctx->count = static_cast<int64_t>(DD_ALL);
    fd_capture cap;
    EXPECT_EQ(dd_cool_down(ctx.c), 0);
    std::string out = cap.text();
    EXPECT_NE(out.find("SLEEP 2S"), std::string::npos) << out;
    EXPECT_NE(out.find("SLEEP 1S"), std::string::npos) << out;
    // A new work period starts after the rest.
    ctx->cool_down_work = 3600000;
    fd_capture quiet;
    EXPECT_EQ(dd_cool_down(ctx.c), 0);
    EXPECT_EQ(quiet.text(), "");
    ctx->cool_down_work = 1;
    ctx->cool_start_ms = os_mono_ms() - 10;
    ctx->cool_down_rest = 600000;
    dd_stop(ctx.c);
    EXPECT_EQ(dd_cool_down(ctx.c), DD_STOPPED);
}

// With no worker there is nothing to wait for: the close frees every block
// of the context before it returns, without a wait for a thread.
TEST(DdEngine, CloseWithoutAWorkerFreesAtOnce) {
    log_capture cap;
    const pl_mem_stat before = pl_mem_stat_get();
    dd_ctx* c = dd_open();
    ASSERT_NE(c, nullptr);
    EXPECT_GT(pl_mem_stat_get().malloc_count, before.malloc_count);
    EXPECT_EQ(dd_close(c), 0);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, before.malloc_count);
    EXPECT_EQ(pl_mem_stat_get().malloc_bytes, before.malloc_bytes);
    EXPECT_FALSE(cap.contains("for_wait")) << cap.all();
    EXPECT_FALSE(cap.contains("left behind")) << cap.all();
}

}  // namespace

namespace {

// A progress line of a counted run, two seconds after the one before, with
// records of the count's steps read: ten steps of 1 MB (10^6 bytes) each.
std::string progress_at(int64_t records) {
    ctx_ptr ctx;
    ctx->ibs = 1000000;
    ctx->count = 10;
    ctx->records_in_full = records;
    ctx->total_bytes = static_cast<uint64_t>(records) * 1000000;
    ctx->progress_bytes = 0;
    ctx->progress_ms = os_mono_ms() - 2000;
    fd_capture cap;
    dd_print_progress(ctx.c, ctx->count, -1, -1);
    os_console_end_progress();
    return cap.text();
}

}  // namespace

// Every field of the counted progress line is filled, the time left too:
// at the last step there is none left, and it says so as the other lines
// say a time.
TEST(DdEngine, ProgressLineShowsTheTimeLeftUpToTheEnd) {
    struct row {
        int64_t records;
        const char* line;
    };
    const row rows[] = {
        {5, R"(\r5000000 bytes \(4\.8M\), [0-9.]+MB/S, [0-9.]+ seconds?, 50%\n)"},
        {9, R"(\r9000000 bytes \(8\.6M\), [0-9.]+MB/S, 0\.[0-9]{3} second, 90%\n)"},
        {10, R"(\r10000000 bytes \(9\.5M\), [0-9.]+MB/S, 0\.000 second, 100%\n)"},
    };
    for (const row& r : rows) {
        std::string out = progress_at(r.records);
        EXPECT_TRUE(std::regex_match(out, std::regex(r.line))) << "[" << out << "]";
    }
}
