#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <thread>

#include "libpal/basic/pl_cond_wait.h"
#include "libpal/memory/mem_wait.h"
#include "libpal/os/os_thread.h"

using namespace std::chrono_literals;

namespace {

TEST(OsClock, DeadlineCarriesIntoTheSeconds) {
    struct row {
        os_clock_val now;
        uint64_t ms;
        os_clock_val want;
    };
    const row rows[] = {
        {{100, 1500000}, 999, {101, 500000}},
        {{100, 1500000}, 1000, {101, 1500000}},
        {{100, 1500000}, 0, {100, 1500000}},
        {{100, 999999999}, 1, {101, 999999}},
        {{100, 0}, 4294967295ull, {100 + 4294967, 295000000}},
        {{100, 500000000}, 86400500, {100 + 86401, 0}},
        // A sum past the largest time stays there instead of wrapping into the past.
        {{UINT64_MAX - 1, 999999999}, 1, {UINT64_MAX, 999999}},
        {{UINT64_MAX - 1, 999999999}, 1000, {UINT64_MAX, 999999999}},
        {{UINT64_MAX, 0}, UINT64_MAX, {UINT64_MAX, 999999999}},
        {{1, 0}, UINT64_MAX, {1 + UINT64_MAX / 1000, 615000000}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.now.sec << "." << r.now.nsec << " + " << r.ms << " ms");
        os_clock_val out{};
        os_time_deadline_from(&out, &r.now, r.ms);
        EXPECT_EQ(out.sec, r.want.sec);
        EXPECT_EQ(out.nsec, r.want.nsec);
    }
}

TEST(OsClock, DeadlineFromNowLiesBetweenTheClockReadings) {
    os_clock_val before{}, after{}, d{};
    os_clock_realtime(&before);
    os_time_deadline(&d, 2500);
    os_clock_realtime(&after);
    auto ns = [](const os_clock_val& v) { return v.sec * 1000000000ull + v.nsec; };
    EXPECT_LT(d.nsec, 1000000000u);
    EXPECT_GE(ns(d), ns(before) + 2500000000ull);
    EXPECT_LE(ns(d), ns(after) + 2500000000ull);
}

TEST(OsClock, MonotonicDeadlineLiesAheadOfTheClock) {
    const uint64_t waits[] = {0, 1, 999, 1000, 2500, OS_WAIT_FOREVER - 1ull, UINT64_MAX};
    for (uint64_t ms : waits) {
        SCOPED_TRACE(ms);
        timespec before{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        timespec d = os_mono_deadline(ms);
        clock_gettime(CLOCK_MONOTONIC, &after);
        EXPECT_GE(d.tv_nsec, 0);
        EXPECT_LT(d.tv_nsec, 1000000000);
        auto ns = [](const timespec& t) { return static_cast<__int128>(t.tv_sec) * 1000000000 + t.tv_nsec; };
        const __int128 want = static_cast<__int128>(ms) * 1000000;
        EXPECT_GE(ns(d), ns(before) + want);
        EXPECT_LE(ns(d), ns(after) + want);
    }
}

// The one predicate wait under the caller's lock: no wait at all for 0, a
// limit that passes, no limit at all, and a state that is already there.
TEST(OsClock, WaitUntilZeroLimitAndForever) {
    os_cond* c = os_cond_new();
    ASSERT_NE(c, nullptr);
    os_mutex* m = os_mutex_new();
    ASSERT_NE(m, nullptr);
    bool ready = false;
    int asked = 0;
    auto is_ready = [&] {
        ++asked;
        return ready;
    };
    {
        os_mutex_guard g(m);
        EXPECT_EQ(pl_wait_until(c, m, 0, is_ready), -2);
        EXPECT_EQ(pl_wait_until(c, m, 1, is_ready), -2);
        EXPECT_EQ(mem_wait_locked(c, m, 2, is_ready), -2);
        ready = true;
        asked = 0;
        EXPECT_EQ(pl_wait_until(c, m, 0, is_ready), 0);
        EXPECT_EQ(pl_wait_until(c, m, OS_WAIT_FOREVER, is_ready), 0);
        EXPECT_EQ(asked, 2);  // already there: no wait, one look each
        EXPECT_EQ(pl_wait_limit(0).wait(c, m), -2);
        ready = false;
    }
    // No limit: the waiter sleeps until the state changes under the lock.
    std::thread setter;
    {
        os_mutex_guard g(m);
        setter = std::thread([&] {
            os_mutex_guard g2(m);  // taken only once the waiter sleeps
            ready = true;
            pthread_cond_broadcast(&c->cond);
        });
        EXPECT_EQ(pl_wait_until(c, m, OS_WAIT_FOREVER, is_ready), 0);
        EXPECT_TRUE(ready);
    }
    setter.join();
    os_mutex_free(m);
    os_cond_free(c);
}

// A lock held elsewhere: a limited wait gives up (0 at once), an unlimited
// one gets it once it is let go; a free lock is taken whatever the limit.
TEST(OsClock, LockWithinALimit) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    for (int64_t ms : {int64_t{-1}, int64_t{0}, int64_t{5}}) {
        EXPECT_TRUE(os_pthread_lock_within(&m, ms)) << ms;
        pthread_mutex_unlock(&m);
    }
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::atomic<bool> got{false};
    pthread_mutex_lock(&m);
    std::thread other([&] {
        EXPECT_FALSE(os_pthread_lock_within(&m, 0));
        EXPECT_FALSE(os_pthread_lock_within(&m, 3));
        char c = 1;
        EXPECT_EQ(write(p[1], &c, 1), 1);  // the limited tries are over
        got = os_pthread_lock_within(&m, -1);
        if (got) pthread_mutex_unlock(&m);
    });
    char c = 0;
    EXPECT_EQ(read(p[0], &c, 1), 1);
    pthread_mutex_unlock(&m);
    other.join();
    EXPECT_TRUE(got);
    close(p[0]);
    close(p[1]);
}

TEST(OsClock, WallClockReadingsAgree) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t ms = os_time_ms();
    uint64_t us = os_time_us();
    int64_t sys_ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    EXPECT_GE(ms, sys_ms);
    EXPECT_GE(static_cast<int64_t>(us / 1000), ms);
    uint64_t m0 = os_mono_ms();
    EXPECT_GE(os_mono_ms(), m0);
}

std::atomic<int> g_usr2_hits{0};
void on_usr2(int) { g_usr2_hits.fetch_add(1); }

// Scheduler state of a thread of this process ('S' while it sleeps).
char task_state(pid_t tid) {
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return 0;
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    std::string s(buf, n);
    size_t close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() ? s[close + 2] : 0;
}

// Each signal lands while the sleeper is blocked in its sleep; the sleep
// still lasts the whole time asked for.
TEST(OsSleep, MsleepSleepsTheWholeTimeThroughSignals) {
    struct sigaction sa {}, old {};
    sa.sa_handler = on_usr2;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: the sleep sees EINTR
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    g_usr2_hits = 0;

    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration elapsed{};
    std::thread sleeper([&] {
        tid = gettid();
        auto t0 = std::chrono::steady_clock::now();
        os_msleep(300);
        elapsed = std::chrono::steady_clock::now() - t0;
        done = true;
    });
    while (!tid) std::this_thread::yield();
    for (int i = 0; i < 3 && !done; i++) {
        while (!done && task_state(tid) != 'S') std::this_thread::yield();
        if (done) break;
        int before = g_usr2_hits;
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        while (!done && g_usr2_hits == before) std::this_thread::yield();
    }
    sleeper.join();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_GE(g_usr2_hits.load(), 1);
    EXPECT_GE(elapsed, 300ms);
}

TEST(OsSleep, ShortSleepsLastAtLeastTheirTime) {
    auto t0 = std::chrono::steady_clock::now();
    os_usleep(1500);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1500us);
    os_msleep(0);
    os_usleep(0);
    os_sleep(0);
}

}  // namespace
