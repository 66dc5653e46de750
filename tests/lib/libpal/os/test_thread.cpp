#include "libpal/os/os_thread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "support/log_capture.h"
#include "text_shape.h"

using namespace std::chrono_literals;

namespace {

// ------------------------------------------------------------------ mutexes

TEST(OsMutex, LocksExcludeOtherThreads) {
    os_mutex* m = os_mutex_new();
    ASSERT_NE(m, nullptr);
    {
        os_mutex_guard g(m);
        int other = -1;
        std::thread([&] { other = os_mutex_trylock(m); }).join();
        EXPECT_EQ(other, 0);
    }
    EXPECT_EQ(os_mutex_trylock(m), 1);
    EXPECT_EQ(os_mutex_unlock(m), 1);

    long counter = 0;
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; i++)
        workers.emplace_back([&] {
            for (int k = 0; k < 10000; k++) {
                EXPECT_EQ(os_mutex_lock(m), 1);
                counter++;
                EXPECT_EQ(os_mutex_unlock(m), 1);
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(counter, 40000);
    os_mutex_free(m);
}

TEST(OsMutex, NullMutexFails) {
    EXPECT_EQ(os_mutex_lock(nullptr), 0);
    EXPECT_EQ(os_mutex_unlock(nullptr), 0);
    EXPECT_EQ(os_mutex_trylock(nullptr), 0);
    os_mutex_free(nullptr);
}

// --------------------------------------------------------------- conditions

TEST(OsCond, TimedWaitWithoutSignalTimesOut) {
    os_cond* c = os_cond_new();
    ASSERT_NE(c, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(os_cond_wait(c, 50), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
    EXPECT_EQ(os_cond_wait(c, 0), -2);
    os_cond_free(c);
}

// A signal while nobody waits is lost, so the signaller repeats it until the
// waiter reports that its wait has returned.
TEST(OsCond, ForeverWaitEndsWhenSignalled) {
    for (bool broadcast : {false, true}) {
        os_cond* c = os_cond_new();
        ASSERT_NE(c, nullptr);
        std::atomic<int> rc{99};
        std::atomic<bool> back{false};
        std::thread waiter([&] {
            rc = os_cond_wait(c, OS_WAIT_FOREVER);
            back = true;
        });
        while (!back) {
            EXPECT_EQ(broadcast ? os_cond_broadcast(c) : os_cond_signal(c), 0);
            std::this_thread::yield();
        }
        waiter.join();
        EXPECT_EQ(rc, 0);
        os_cond_free(c);
    }
}

TEST(OsCond, NullConditionFails) {
    EXPECT_EQ(os_cond_wait(nullptr, 10), -1);
    EXPECT_EQ(os_cond_init(nullptr), -1);
    os_cond_free(nullptr);
}

// ------------------------------------------------------------------ threads

// A thread that runs until its gate opens, polling it the way job threads
// poll their stop flag.
struct gate {
    std::atomic<bool> open{false};
    std::atomic<bool> ran_to_end{false};
    std::atomic<pid_t> tid{0};
};

int32_t gated_fn(void* arg) {
    auto* g = static_cast<gate*>(arg);
    g->tid = gettid();
    while (!g->open) os_msleep(1);
    g->ran_to_end = true;
    return 5;
}

bool task_exists(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

int32_t quick_fn(void*) { return -123456; }

// The thread has ended and broadcast before the wait begins: the wait must
// not miss it, even without a limit.
TEST(OsThread, WaitAfterTheThreadEndedReturnsAtOnce) {
    os_thread_ctx* t = os_thread_create("quick", quick_fn, nullptr, 0);
    ASSERT_NE(t, nullptr);
    while (!t->finished.load()) std::this_thread::yield();
    int32_t r = 0;
    EXPECT_EQ(os_thread_wait(t, OS_WAIT_FOREVER, &r), 0);
    EXPECT_EQ(r, -123456);
    EXPECT_EQ(t->joined, 1u);
    r = 0;
    EXPECT_EQ(os_thread_wait(t, 0, &r), 0);  // a second wait keeps the result
    EXPECT_EQ(r, -123456);
    os_thread_free(t);
}

TEST(OsThread, WaitThatRunsOutLeavesTheThreadRunning) {
    gate g;
    os_thread_ctx* t = os_thread_create("gated", gated_fn, &g, 0);
    ASSERT_NE(t, nullptr);
    int32_t r = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(os_thread_wait(t, 20, &r), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);
    EXPECT_EQ(t->joined, 0u);
    EXPECT_EQ(r, 0);

    g.open = true;
    EXPECT_EQ(os_thread_wait(t, OS_WAIT_FOREVER, &r), 0);
    EXPECT_EQ(r, 5);
    EXPECT_TRUE(g.ran_to_end);  // not cancelled: it ran its function to the end
    os_thread_free(t);
}

// The owner lets a running thread go; the thread then releases the handle
// itself (ASan sees any use after free, LSan a leaked handle).
TEST(OsThread, FreedHandleOfARunningThreadIsReleasedByTheThread) {
    gate g;
    os_thread_ctx* t = os_thread_create("gated", gated_fn, &g, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(os_thread_wait(t, 0, nullptr), -1);
    while (!g.tid) std::this_thread::yield();
    os_thread_free(t);
    g.open = true;
    while (task_exists(g.tid)) os_msleep(1);
    EXPECT_TRUE(g.ran_to_end);
}

TEST(OsThread, KillSendsNoSignalAndLogsAtErr) {
    gate g;
    os_thread_ctx* t = os_thread_create("gated", gated_fn, &g, 0);
    ASSERT_NE(t, nullptr);
    {
        log_capture cap;
        EXPECT_EQ(os_thread_kill(t), 0);
        EXPECT_EQ(cap.count(LOG2_ERR), 1u);
        EXPECT_TRUE(cap.contains("did not stop in time"));
    }
    g.open = true;
    int32_t r = 0;
    EXPECT_EQ(os_thread_join_or_leave(t, OS_WAIT_FOREVER, &r), 0);
    EXPECT_EQ(r, 5);
}

// A thread slower than the limit is reported and left behind, never waited
// for without end: the call comes back after the limit with -1, and the
// thread, detached, still runs to its end with its handle safe to drop.
TEST(OsThread, WaitKillExitLeavesASlowThreadBehind) {
    log_capture cap;
    gate g;
    os_thread_ctx* t = os_thread_create("slow", gated_fn, &g, 0);
    ASSERT_NE(t, nullptr);
    int32_t r = 0;
    EXPECT_EQ(os_thread_join_or_leave(t, 20, &r), -1);
    EXPECT_FALSE(g.ran_to_end) << "the call came back before the thread ended";
    EXPECT_TRUE(cap.contains("did not end within 20 ms")) << cap.all();
    EXPECT_TRUE(cap.contains("left running")) << cap.all();
    // The gate outlives the thread: open it and see it end.
    g.open = true;
    while (!g.ran_to_end) os_msleep(1);
    pid_t tid = g.tid;
    while (task_exists(tid)) os_msleep(1);
}

int32_t exiting_fn(void*) {
    os_thread_exit(77);
}

TEST(OsThread, ThreadExitAnnouncesTheEnd) {
    os_thread_ctx* t = os_thread_create("exiting", exiting_fn, nullptr, 0);
    ASSERT_NE(t, nullptr);
    int32_t r = 0;
    EXPECT_EQ(os_thread_join_or_leave(t, OS_WAIT_FOREVER, &r), 0);
    EXPECT_EQ(r, 77);
}

struct thread_facts {
    size_t stack = 0;
    int cancel_state = -1;
};

int32_t facts_fn(void* arg) {
    auto* f = static_cast<thread_facts*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &f->stack);
        pthread_attr_destroy(&attr);
    }
    int old = -1;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    f->cancel_state = old;
    return 0;
}

TEST(OsThread, StackSizeAndNoCancellation) {
    struct row {
        size_t asked;
        size_t least;
    };
    for (row c : {row{0, OS_THREAD_STACK_DEFAULT}, row{0x200000, 0x200000}}) {
        SCOPED_TRACE(c.asked);
        thread_facts f;
        os_thread_ctx* t = os_thread_create("facts", facts_fn, &f, c.asked);
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(os_thread_join_or_leave(t, OS_WAIT_FOREVER, nullptr), 0);
        EXPECT_GE(f.stack, c.least);
        EXPECT_EQ(f.cancel_state, PTHREAD_CANCEL_DISABLE);
    }
}

TEST(OsThread, FailedCreateIsLoggedAndReturnsNothing) {
    log_capture cap;
    // Larger than the whole user address space.
    EXPECT_EQ(os_thread_create("huge", quick_fn, nullptr, size_t{1} << 47), nullptr);
    EXPECT_TRUE(cap.contains("pthread_create name:huge error: "));
    EXPECT_EQ(os_thread_create("nofn", nullptr, nullptr, 0), nullptr);
}

TEST(OsThread, NullHandle) {
    int32_t r = 3;
    EXPECT_EQ(os_thread_wait(nullptr, 0, &r), -1);
    EXPECT_EQ(r, 3);
    os_thread_free(nullptr);
}

// ---------------------------------------------------------- identity, names

std::string name_here() {
    char buf[128];
    return os_thread_name_get(buf, sizeof buf);
}

int32_t name_probe_fn(void* arg) {
    auto* out = static_cast<std::pair<std::string, pid_t>*>(arg);
    *out = {name_here(), gettid()};
    return 0;
}

TEST(OsThreadName, NamedThreadShowsNameTagAndId) {
    std::pair<std::string, pid_t> seen;
    os_thread_ctx* t = os_thread_create("dd_work", name_probe_fn, &seen, 0);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(os_thread_join_or_leave(t, OS_WAIT_FOREVER, nullptr), 0);
    EXPECT_TRUE(has_shape(seen.first, "dd_work_????_" + std::to_string(seen.second))) << seen.first;
}

TEST(OsThreadName, UnnamedThreadShowsTheBareId) {
    std::string name;
    pid_t tid = 0;
    std::thread([&] {
        name = name_here();
        tid = gettid();
    }).join();
    EXPECT_EQ(name, std::to_string(tid));
}

TEST(OsThreadName, SetDeleteFreeAndSetAgain) {
    const std::string tid = std::to_string(gettid());
    ASSERT_EQ(os_thread_name_set("main"), 0);
    EXPECT_TRUE(has_shape(name_here(), "main_????_" + tid)) << name_here();
    ASSERT_EQ(os_thread_name_set("again"), 0);  // replaces the earlier entry
    EXPECT_TRUE(has_shape(name_here(), "again_????_" + tid)) << name_here();
    os_thread_name_del();
    EXPECT_EQ(name_here(), tid);

    ASSERT_EQ(os_thread_name_set("main"), 0);
    os_thread_name_free();
    os_thread_name_free();  // a second free is harmless
    EXPECT_EQ(name_here(), tid);
    os_thread_name_del();

    ASSERT_EQ(os_thread_name_init(), 0);  // set up anew
    ASSERT_EQ(os_thread_name_set("main"), 0);
    EXPECT_TRUE(has_shape(name_here(), "main_????_" + tid)) << name_here();
    os_thread_name_del();
}

TEST(OsThreadName, GetIntoASmallBufferIsCutWithoutLogging) {
    log_capture cap;
    ASSERT_EQ(os_thread_name_set("a_long_thread_name"), 0);
    char buf[6];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(os_thread_name_get(buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "a_lon");
    EXPECT_EQ(os_thread_name_get(buf, 0), buf);
    os_thread_name_del();
    EXPECT_EQ(cap.count(), 0u);
}

// Threads register, read and remove names while the registry is freed and
// set up again underneath them (ASan reports any use of a freed table).
TEST(OsThreadName, RegistryFreedWhileInUse) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int i = 0; i < 4; i++)
        users.emplace_back([&] {
            while (!stop) {
                os_thread_name_set("user");
                std::string n = name_here();
                EXPECT_FALSE(n.empty());
                os_thread_name_del();
            }
        });
    for (int i = 0; i < 200; i++) {
        os_thread_name_free();
        os_thread_name_init();
        std::this_thread::yield();
    }
    stop = true;
    for (auto& u : users) u.join();
    os_thread_name_free();
}

TEST(OsThreadId, IsTheKernelThreadId) {
    EXPECT_EQ(os_thread_id64(), static_cast<uint64_t>(gettid()));
    EXPECT_EQ(os_thread_id(), static_cast<uint32_t>(gettid()));
    EXPECT_EQ(os_getpid(), getpid());
    uint64_t other = 0;
    std::thread([&] { other = os_thread_id64(); }).join();
    EXPECT_NE(other, os_thread_id64());
}

// The id is cached per thread: a forked child must see its own.
TEST(OsThreadId, ForkedChildHasItsOwnId) {
    ASSERT_NE(os_thread_id64(), 0u);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(os_thread_id64() == static_cast<uint64_t>(gettid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(OsHost, HostNameIsNeverEmpty) {
    char buf[256];
    EXPECT_EQ(os_get_hostname(buf, sizeof buf), buf);
    EXPECT_GT(strlen(buf), 0u);
    char sys[256] = {};
    gethostname(sys, sizeof sys - 1);
    if (sys[0] && strcmp(sys, "(none)") != 0) {
        EXPECT_STREQ(buf, sys);
    }
    char tiny[3];
    EXPECT_EQ(strlen(os_get_hostname(tiny, sizeof tiny)), 2u);
}

// ------------------------------------------------------------ processors

TEST(OsCpu, CountIsStableAndFollowsTheAffinity) {
    uint32_t n = os_cpu_count();
    EXPECT_GE(n, 1u);
    EXPECT_EQ(os_cpu_count(), n);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        EXPECT_EQ(n, static_cast<uint32_t>(CPU_COUNT(&set)));
    }
    EXPECT_EQ(std::string(os_cpu_info_str()), "unkown cpu [" + std::to_string(n) + " Core]");
}

}  // namespace
