#include "libpal/basic/thread_pool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

using namespace std::chrono_literals;

namespace {

struct pool_closer {
    void operator()(thread_pool* p) const noexcept { thread_ctx_exit(p); }
};
using pool_ptr = std::unique_ptr<thread_pool, pool_closer>;

pool_ptr make_pool(uint32_t count, const char* name = "tp") {
    thread_pool_param param{count, name, nullptr};
    return pool_ptr(thread_pool_init(&param));
}

// Waits the way the callers do: 1 ms steps while anything is pending.
void wait_idle(thread_pool* pool) {
    while (thread_pool_pending(pool) != 0) thread_pool_wait(pool, 1);
}

// A task that records which thread ran it and how often.
struct probe {
    std::atomic<int> runs{0};
    char thread_name[128] = {};
    static void run(void* arg) {
        auto* p = static_cast<probe*>(arg);
        os_thread_name_get(p->thread_name, sizeof p->thread_name);
        p->runs.fetch_add(1);
    }
};

// Holds a worker until released; tells when it has started.
struct gate {
    std::atomic<int> started{0};
    std::atomic<bool> open{false};
    static void run(void* arg) {
        auto* g = static_cast<gate*>(arg);
        g->started.fetch_add(1);
        while (!g->open.load()) std::this_thread::yield();
    }
};

void wait_for(const std::atomic<int>& v, int want) {
    while (v.load() < want) std::this_thread::yield();
}

bool all_stopping(const thread_pool* pool) {
    for (uint32_t i = 0; i < pool->count; i++)
        if (pool->workers[i].running.load()) return false;
    return true;
}

// ------------------------------------------------------- workers and turns

TEST(ThreadPool, WorkersAreNamedAfterThePoolAndTakeTasksInTurn) {
    auto pool = make_pool(4, "tp");
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(pool->count, 4u);
    for (uint32_t i = 0; i < 4; i++) EXPECT_STREQ(pool->workers[i].name, ("tp_" + std::to_string(i)).c_str());

    constexpr int k_tasks = 40;
    std::vector<probe> probes(k_tasks);
    for (auto& p : probes) ASSERT_EQ(thread_pool_dispatch(pool.get(), &probe::run, &p), 0);
    wait_idle(pool.get());

    // Task k goes to worker (k + 1) mod 4: the first to worker 1.
    for (int k = 0; k < k_tasks; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(probes[k].runs.load(), 1);
        std::regex want("^tp_" + std::to_string((k + 1) % 4) + "_[0-9a-f]{4}_[0-9]+$");
        EXPECT_TRUE(std::regex_match(probes[k].thread_name, want)) << probes[k].thread_name;
    }
}

TEST(ThreadPool, OnePoolThreadTakesEveryTask) {
    auto pool = make_pool(1, "one");
    ASSERT_NE(pool, nullptr);
    std::vector<probe> probes(5);
    for (auto& p : probes) ASSERT_EQ(thread_pool_dispatch(pool.get(), &probe::run, &p), 0);
    wait_idle(pool.get());
    for (auto& p : probes) {
        EXPECT_EQ(p.runs.load(), 1);
        EXPECT_EQ(std::string(p.thread_name).rfind("one_0_", 0), 0u) << p.thread_name;
    }
}

TEST(ThreadPool, CountZeroMeansOnePerProcessorAndIsWrittenBack) {
    thread_pool_param param{0, "cpu", nullptr};
    thread_pool* pool = thread_pool_init(&param);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(param.count, os_cpu_count());
    EXPECT_EQ(pool->count, os_cpu_count());
    EXPECT_STREQ(pool->workers[pool->count - 1].name, ("cpu_" + std::to_string(pool->count - 1)).c_str());
    EXPECT_EQ(thread_ctx_exit(pool), 0);
}

TEST(ThreadPool, TaskWithoutCallIsSkippedAndCounted) {
    auto pool = make_pool(2);
    ASSERT_EQ(thread_pool_dispatch(pool.get(), nullptr, nullptr), 0);
    EXPECT_EQ(thread_pool_wait(pool.get(), OS_WAIT_FOREVER), 0);
    EXPECT_EQ(thread_pool_pending(pool.get()), 0u);
}

TEST(ThreadPool, MissingPoolIsRefused) {
    log_capture cap;
    EXPECT_EQ(thread_pool_dispatch(nullptr, &probe::run, nullptr), -1);
    EXPECT_EQ(thread_pool_pending(nullptr), 0u);
    EXPECT_EQ(thread_pool_wait(nullptr, 1), -1);
    EXPECT_EQ(thread_ctx_exit(nullptr), 0);
    EXPECT_TRUE(cap.contains("expr[pool!=NULL]: assert failed"));
    EXPECT_EQ(thread_pool_init(nullptr), nullptr);
}

// ---------------------------------------------------------------- batches

// Tasks of uneven length; the pending count reaches 0 only once every task
// has returned, and each ran exactly once.
TEST(ThreadPool, BatchesFinishCompletelyBeforePendingReachesZero) {
    auto pool = make_pool(4);
    ASSERT_NE(pool, nullptr);
    constexpr int k_tasks = 100;
    struct slot {
        std::atomic<int>* finished;
        std::atomic<int> runs{0};
        int spin;
    };
    std::atomic<int> finished{0};
    std::vector<slot> slots(k_tasks);
    for (int batch = 0; batch < 200; batch++) {
        finished = 0;
        for (int k = 0; k < k_tasks; k++) {
            slots[k].finished = &finished;
            slots[k].runs = 0;
            slots[k].spin = (k * 7919 + batch * 31) % 2000;
            ASSERT_EQ(thread_pool_dispatch(
                          pool.get(),
                          [](void* arg) {
                              auto* s = static_cast<slot*>(arg);
                              volatile int sink = 0;
                              for (int i = 0; i < s->spin; i++) sink = sink + i;
                              s->runs.fetch_add(1);
                              s->finished->fetch_add(1);
                          },
                          &slots[k]),
                      0);
        }
        if (batch % 2)
            wait_idle(pool.get());
        else
            ASSERT_EQ(thread_pool_wait(pool.get(), OS_WAIT_FOREVER), 0);
        ASSERT_EQ(finished.load(), k_tasks) << "batch " << batch;
        ASSERT_EQ(thread_pool_pending(pool.get()), 0u);
        for (int k = 0; k < k_tasks; k++) ASSERT_EQ(slots[k].runs.load(), 1) << batch << "/" << k;
    }
}

// Several dispatching threads: the turn counter and the queues take them all.
TEST(ThreadPool, TasksFromManyDispatchersEachRunOnce) {
    auto pool = make_pool(3);
    constexpr int k_dispatchers = 4;
    constexpr int k_each = 2000;
    std::vector<std::atomic<int>> runs(k_dispatchers * k_each);
    std::vector<std::thread> dispatchers;
    for (int d = 0; d < k_dispatchers; d++)
        dispatchers.emplace_back([&, d] {
            for (int k = 0; k < k_each; k++)
                EXPECT_EQ(thread_pool_dispatch(
                              pool.get(), [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); },
                              &runs[d * k_each + k]),
                          0);
        });
    for (auto& t : dispatchers) t.join();
    ASSERT_EQ(thread_pool_wait(pool.get(), OS_WAIT_FOREVER), 0);
    int wrong = 0;
    for (auto& r : runs) wrong += r.load() != 1;
    EXPECT_EQ(wrong, 0);
    uint32_t per_worker = 0;
    for (uint32_t i = 0; i < pool->count; i++) per_worker += pool->workers[i].pending.load();
    EXPECT_EQ(per_worker, 0u);
}

// --------------------------------------------------------------- idle wait

TEST(ThreadPool, IdleWaitEndsWhenTheWorkIsDoneAndNotBefore) {
    auto pool = make_pool(2);
    // Nothing pending: at once, even without limit.
    EXPECT_EQ(thread_pool_wait(pool.get(), OS_WAIT_FOREVER), 0);

    gate g;
    ASSERT_EQ(thread_pool_dispatch(pool.get(), &gate::run, &g), 0);
    wait_for(g.started, 1);
    EXPECT_EQ(thread_pool_pending(pool.get()), 1u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(thread_pool_wait(pool.get(), 20), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);
    EXPECT_EQ(thread_pool_wait(pool.get(), 0), -2);

    // A waiter without limit returns once the last task has returned.
    std::atomic<int> rc{99};
    std::thread waiter([&] { rc = thread_pool_wait(pool.get(), OS_WAIT_FOREVER); });
    g.open = true;
    waiter.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(thread_pool_pending(pool.get()), 0u);
}

// ------------------------------------------------------------------- exit

// Both workers busy, ten tasks queued behind them: the exit lets the running
// tasks finish, frees the queued ones without running them, and joins.
TEST(ThreadPool, ExitDropsQueuedTasksAndJoinsEveryWorker) {
    thread_pool_param param{2, "ex", nullptr};
    // The first threads of the process set up the name registry, which
    // stays: the baseline is taken after one pool has come and gone.
    ASSERT_EQ(thread_ctx_exit(thread_pool_init(&param)), 0);
    pl_mem_stat before = pl_mem_stat_get();
    thread_pool* pool = thread_pool_init(&param);
    ASSERT_NE(pool, nullptr);

    struct holder {
        thread_pool* pool;
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
    } h{pool};
    auto hold = [](void* arg) {
        auto* hh = static_cast<holder*>(arg);
        hh->started.fetch_add(1);
        // Busy until the exit has asked every worker to stop.
        while (!all_stopping(hh->pool)) std::this_thread::yield();
        hh->finished.fetch_add(1);
    };
    ASSERT_EQ(thread_pool_dispatch(pool, hold, &h), 0);
    ASSERT_EQ(thread_pool_dispatch(pool, hold, &h), 0);
    wait_for(h.started, 2);
    std::vector<probe> queued(10);
    for (auto& p : queued) ASSERT_EQ(thread_pool_dispatch(pool, &probe::run, &p), 0);
    EXPECT_EQ(thread_pool_pending(pool), 12u);

    EXPECT_EQ(thread_ctx_exit(pool), 0);
    EXPECT_EQ(h.finished.load(), 2);
    for (auto& p : queued) EXPECT_EQ(p.runs.load(), 0);
    // The queued tasks, queues, workers and pool are all freed.
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

// A task that outlasts the exit's 1000 ms limit is not waited for without
// end: the exit reports its worker, leaves it behind and comes back with -1.
// The task still completes, the queued task never runs, and the worker,
// the last to hold the pool, frees it.
TEST(ThreadPool, ExitLeavesATaskLongerThanItsLimitBehind) {
    log_capture cap(LOG2_WARN);
    thread_pool_param param{1, "slow", nullptr};
    ASSERT_EQ(thread_ctx_exit(thread_pool_init(&param)), 0);
    pl_mem_stat before = pl_mem_stat_get();
    thread_pool* pool = thread_pool_init(&param);
    ASSERT_NE(pool, nullptr);
    struct slow {
        gate g;
        std::atomic<bool> done{false};
        static void run(void* arg) {
            auto* s = static_cast<slow*>(arg);
            gate::run(&s->g);
            s->done = true;
        }
    };
    auto* task = new slow;  // outlives the test body when the worker is slow
    ASSERT_EQ(thread_pool_dispatch(pool, &slow::run, task), 0);
    wait_for(task->g.started, 1);
    probe queued;
    ASSERT_EQ(thread_pool_dispatch(pool, &probe::run, &queued), 0);

    EXPECT_EQ(thread_ctx_exit(pool), -1);
    EXPECT_FALSE(task->done.load()) << "the exit came back before the task ended";
    EXPECT_TRUE(cap.contains("did not end within 1000 ms")) << cap.all();
    EXPECT_TRUE(cap.contains("[slow_0] still runs a task after 1000 ms: it is left behind")) << cap.all();
    task->g.open = true;
    while (!task->done.load()) std::this_thread::sleep_for(1ms);
    delete task;  // its last use was the store above
    // The worker ends on its own and frees the pool with the queued task.
    while (pl_mem_stat_get().malloc_count != before.malloc_count) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(pl_mem_stat_get().malloc_bytes, before.malloc_bytes);
    EXPECT_EQ(queued.runs.load(), 0);
}

// Idle workers wake to the exit and are joined: nothing is left behind or
// waited out, and the pool's memory is free when the exit returns.
TEST(ThreadPool, ExitOfAnIdlePoolJoinsAtOnce) {
    // The first pool of the process sets up what its threads share for good.
    thread_pool_param first{1, "first", nullptr};
    EXPECT_EQ(thread_ctx_exit(thread_pool_init(&first)), 0);
    for (int round = 0; round < 20; round++) {
        log_capture cap;
        const pl_mem_stat before = pl_mem_stat_get();
        thread_pool_param param{4, "idle", nullptr};
        thread_pool* pool = thread_pool_init(&param);
        ASSERT_NE(pool, nullptr);
        EXPECT_GT(pl_mem_stat_get().malloc_count, before.malloc_count);
        EXPECT_EQ(thread_ctx_exit(pool), 0);
        EXPECT_EQ(pl_mem_stat_get().malloc_count, before.malloc_count) << "round " << round;
        EXPECT_EQ(pl_mem_stat_get().malloc_bytes, before.malloc_bytes) << "round " << round;
        EXPECT_EQ(cap.count(LOG2_WARN) + cap.count(LOG2_ERR), 0u) << cap.all();
    }
}

// A worker that cannot be started fails the whole pool (a pool short of a
// worker would deal it tasks that never run); the workers already started
// are stopped.
std::string read_text(const char* path) {
    std::string s;
    if (FILE* f = fopen(path, "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        fclose(f);
    }
    return s;
}

// Runs in a child: as a user of its own with room for two threads, a pool of
// four cannot be made. Exit status 0 when init refused it.
[[noreturn]] void init_with_two_threads_allowed() {
    constexpr uid_t k_uid = 47113;
    if (setgid(k_uid) != 0 || setuid(k_uid) != 0) _exit(3);
    // The user's count is this process's threads (a sanitizer may run one
    // of its own); room for two more.
    rlim_t threads = 0;
    std::string status = read_text("/proc/self/status");
    size_t at = status.find("Threads:");
    if (at != std::string::npos) threads = std::strtoul(status.c_str() + at + 8, nullptr, 10);
    if (threads == 0) _exit(5);
    rlimit lim{threads + 2, threads + 2};
    if (setrlimit(RLIMIT_NPROC, &lim) != 0) _exit(4);
    thread_pool_param param{4, "lim", nullptr};
    thread_pool* pool = thread_pool_init(&param);
    _exit(pool == nullptr ? 0 : 1);
}

TEST(ThreadPool, InitFailsWhenAWorkerCannotBeStarted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to a user without other processes";
    EXPECT_EXIT(init_with_two_threads_allowed(), ::testing::ExitedWithCode(0), "pthread_create name:lim_[1-3] error");
}

}  // namespace
