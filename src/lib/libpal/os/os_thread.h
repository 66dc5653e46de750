// Named threads, mutexes, conditions, the thread-name registry, the
// processor count, sleeps and clocks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Mutex (not recursive). Lock and unlock return 1 on success, 0 on failure.
struct os_mutex {
    pthread_mutex_t mutex;
};
os_mutex* os_mutex_new();
void os_mutex_free(os_mutex* m);
int os_mutex_lock(os_mutex* m);
int os_mutex_unlock(os_mutex* m);
int os_mutex_trylock(os_mutex* m);
// Locks m waiting at most wait_ms on the monotonic clock (without limit when
// negative); true when m is now held.
bool os_pthread_lock_within(pthread_mutex_t* m, int64_t wait_ms);

// Scoped lock of an os_mutex; a null mutex is no lock at all (a state that
// has no owner to share it with).
class os_mutex_guard {
public:
    explicit os_mutex_guard(os_mutex* m) : m_(m) { os_mutex_lock(m_); }
    ~os_mutex_guard() { os_mutex_unlock(m_); }
    os_mutex_guard(const os_mutex_guard&) = delete;
    os_mutex_guard& operator=(const os_mutex_guard&) = delete;

private:
    os_mutex* m_;
};

// Condition with its own mutex, locked only during a wait. A signal while
// nobody waits is lost: every waiter keeps and re-checks its own state.
// Timed waits run on the monotonic clock.
inline constexpr uint32_t OS_WAIT_FOREVER = 0xFFFFFFFFu;
struct os_cond {
    pthread_cond_t cond;
    os_mutex* mutex;
};
os_cond* os_cond_new();
void os_cond_free(os_cond* c);
int os_cond_init(os_cond* c);
int os_cond_signal(os_cond* c);
int os_cond_broadcast(os_cond* c);
// 0 woken, -2 timed out, -1 other error; OS_WAIT_FOREVER waits without limit.
int os_cond_wait(os_cond* c, uint32_t ms);

// Thread handle. The handle is shared with the thread until both the thread
// has ended and the owner has freed it, so a thread that outlives its
// owner's wait never touches freed memory.
struct os_thread_ctx {
    pthread_t thread;
    uint32_t joined;
    os_cond* done;
    std::atomic<uint32_t> finished;  // set under done's mutex before the broadcast
    std::atomic<uint32_t> refs;
    int32_t result;
};

using os_thread_fn = int32_t (*)(void* arg);

inline constexpr size_t OS_THREAD_STACK_DEFAULT = 0x100000;  // 1 MiB

os_thread_ctx* os_thread_init2(const char* name, os_thread_fn fn, void* arg, size_t stack_size, const void* opts);
os_thread_ctx* os_thread_create(const char* name, os_thread_fn fn, void* arg, size_t stack_size);
// 0 joined (the thread's result in *result), -1 not joined within ms.
int os_thread_wait(os_thread_ctx* t, uint32_t ms, int32_t* result);
int os_thread_kill(os_thread_ctx* t);
void os_thread_free(os_thread_ctx* t);
// Waits at most ms for the thread, then frees the handle: 0 joined; -1 not
// joined within ms, logged, and the thread is left behind (detached; what it
// uses must outlive it).
int os_thread_join_or_leave(os_thread_ctx* t, uint32_t ms, int32_t* result);
[[noreturn]] void os_thread_exit(int32_t result);

uint32_t os_cpu_count();
const char* os_cpu_info_str();

// Thread identity and names.
uint32_t os_thread_id();
uint64_t os_thread_id64();
int os_getpid();
int os_thread_name_init();
int os_thread_name_set(const char* name);
char* os_thread_name_get(char* buf, size_t size);
void os_thread_name_del();
void os_thread_name_free();
char* os_get_hostname(char* buf, size_t size);

// Sleeps (resumed after signals) and clocks.
struct os_clock_val {
    uint64_t sec;
    uint32_t nsec;
};
void os_usleep(uint64_t us);
void os_msleep(uint64_t ms);
void os_sleep(uint64_t seconds);
int64_t os_time_ms();
uint64_t os_time_us();
// Milliseconds of the monotonic clock, for intervals and deadlines.
uint64_t os_mono_ms();
void os_clock_realtime(os_clock_val* out);
void os_time_deadline(os_clock_val* out, uint64_t ms);
// The same from a given start value: ms after now, the nanoseconds carried
// into the seconds; a sum past the largest time stays at the largest time.
void os_time_deadline_from(os_clock_val* out, const os_clock_val* now, uint64_t ms);
// The monotonic time ms from now, for pthread_cond_timedwait on a condition
// that runs on CLOCK_MONOTONIC (os_cond_init sets that clock).
timespec os_mono_deadline(uint64_t ms);
