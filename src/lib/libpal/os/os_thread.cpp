// Mutexes, conditions, threads, the thread-name registry, the processor
// count and the host name.
//
// Threads are never cancelled and never killed: a thread that does not end
// within its owner's limit keeps running, and the owner either waits for it
// after asking it to stop or lets it go (detached). The handle is shared by
// reference count, so the thread's final broadcast never touches memory its
// owner already released.
#include "libpal/os/os_thread.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "libpal/basic/avl.h"
#include "libpal/basic/pl_cond_wait.h"
#include "libpal/hash/crc.h"
#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

// ---------------------------------------------------------------- mutexes

os_mutex* os_mutex_new() {
    auto* m = static_cast<os_mutex*>(pl_aligned_alloc(sizeof(os_mutex), alignof(os_mutex)));
    if (!m) return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        pl_aligned_free(m);
        return nullptr;
    }
    return m;
}

void os_mutex_free(os_mutex* m) {
    if (!m) return;
    pthread_mutex_destroy(&m->mutex);
    pl_aligned_free(m);
}

int os_mutex_lock(os_mutex* m) { return m && pthread_mutex_lock(&m->mutex) == 0 ? 1 : 0; }

bool os_pthread_lock_within(pthread_mutex_t* m, int64_t wait_ms) {
    if (wait_ms < 0) return pthread_mutex_lock(m) == 0;
    const timespec until = os_mono_deadline(static_cast<uint64_t>(wait_ms));
    int r;
    do {
        r = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
    } while (r == EINTR);
    return r == 0;
}

int os_mutex_unlock(os_mutex* m) { return m && pthread_mutex_unlock(&m->mutex) == 0 ? 1 : 0; }

int os_mutex_trylock(os_mutex* m) { return m && pthread_mutex_trylock(&m->mutex) == 0 ? 1 : 0; }

// ------------------------------------------------------------- conditions

int os_cond_init(os_cond* c) {
    if (!c) return -1;
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return -1;
    int rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) rc = pthread_cond_init(&c->cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

os_cond* os_cond_new() {
    auto* c = static_cast<os_cond*>(pl_aligned_alloc(sizeof(os_cond), alignof(os_cond)));
    if (!c) return nullptr;
    c->mutex = os_mutex_new();
    if (!c->mutex) {
        pl_aligned_free(c);
        return nullptr;
    }
    if (os_cond_init(c) != 0) {
        os_mutex_free(c->mutex);
        pl_aligned_free(c);
        return nullptr;
    }
    return c;
}

void os_cond_free(os_cond* c) {
    if (!c) return;
    os_mutex_free(c->mutex);
    pthread_cond_destroy(&c->cond);
    pl_aligned_free(c);
}

int os_cond_signal(os_cond* c) {
    if (c) pthread_cond_signal(&c->cond);
    return 0;
}

int os_cond_broadcast(os_cond* c) {
    if (c) pthread_cond_broadcast(&c->cond);
    return 0;
}

// One wait, no state: a wake-up may be spurious or meant for another waiter,
// so callers re-check their own state.
int os_cond_wait(os_cond* c, uint32_t ms) {
    if (!c || !c->mutex) return -1;
    const pl_wait_limit limit(ms);
    if (pthread_mutex_lock(&c->mutex->mutex) != 0) return -1;
    int rc = limit.wait(c, c->mutex);
    pthread_mutex_unlock(&c->mutex->mutex);
    return rc;
}

// ---------------------------------------------------------------- threads

namespace {

constexpr size_t k_thread_name_size = 256;
constexpr size_t k_thread_opts_size = 16;

// Handed to the new thread, which frees it once it has read it.
struct os_thread_start {
    char name[k_thread_name_size];
    os_thread_fn fn;
    void* arg;
    uint8_t opts[k_thread_opts_size];
    os_thread_ctx* handle;
};

// The handle of the calling thread while it runs its function (for
// os_thread_exit); null in threads the platform layer did not start.
thread_local os_thread_ctx* tl_self = nullptr;

void thread_ctx_release(os_thread_ctx* t) {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    os_cond_free(t->done);
    t->~os_thread_ctx();
    pl_free(t);
}

// The end of a thread of ours: name removed, finished state and result
// published under done's mutex, broadcast, the thread's reference dropped.
void thread_finish(os_thread_ctx* t, int32_t result) {
    os_thread_name_del();
    pthread_mutex_lock(&t->done->mutex->mutex);
    t->result = result;
    t->finished.store(1, std::memory_order_release);
    pthread_cond_broadcast(&t->done->cond);
    pthread_mutex_unlock(&t->done->mutex->mutex);
    thread_ctx_release(t);
}

void* os_thread_proc(void* p) {
    // Nothing cancels our threads; a cancellation point in a log line or a
    // queue wait must never end one with a lock held.
    int old_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);

    auto* sb = static_cast<os_thread_start*>(p);
    os_thread_fn fn = sb->fn;
    void* arg = sb->arg;
    os_thread_ctx* t = sb->handle;
    if (sb->name[0]) os_thread_name_set(sb->name);
    pl_free(sb);

    tl_self = t;
    int32_t result = fn(arg);
    tl_self = nullptr;
    thread_finish(t, result);
    return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

}  // namespace

os_thread_ctx* os_thread_init2(const char* name, os_thread_fn fn, void* arg, size_t stack_size, const void* opts) {
    if (!fn) return nullptr;
    auto* sb = static_cast<os_thread_start*>(pl_zalloc(sizeof(os_thread_start)));
    if (!sb) return nullptr;
    if (name) (void)str_safecopy(sb->name, sizeof sb->name, name);
    sb->fn = fn;
    sb->arg = arg;
    if (opts) memcpy(sb->opts, opts, sizeof sb->opts);

    void* mem = pl_zalloc(sizeof(os_thread_ctx));
    if (!mem) {
        pl_free(sb);
        return nullptr;
    }
    auto* t = new (mem) os_thread_ctx{};
    t->done = os_cond_new();
    if (!t->done) {
        pl_free(t);
        pl_free(sb);
        return nullptr;
    }
    t->refs.store(2, std::memory_order_relaxed);  // the owner's and the thread's
    sb->handle = t;

    size_t stack = stack_size ? stack_size : OS_THREAD_STACK_DEFAULT;
    long stack_min = sysconf(_SC_THREAD_STACK_MIN);
    if (stack_min > 0 && stack < static_cast<size_t>(stack_min)) stack = static_cast<size_t>(stack_min);

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setstacksize(&attr, stack);
        if (rc == 0) rc = pthread_create(&t->thread, &attr, os_thread_proc, sb);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        errno = rc;
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "pthread_create name:%s error: ", sb->name);
        os_cond_free(t->done);
        pl_free(t);
        pl_free(sb);
        return nullptr;
    }
    return t;
}

os_thread_ctx* os_thread_create(const char* name, os_thread_fn fn, void* arg, size_t stack_size) {
    return os_thread_init2(name, fn, arg, stack_size, nullptr);
}

int os_thread_wait(os_thread_ctx* t, uint32_t ms, int32_t* result) {
    if (!t) return -1;
    if (!t->joined) {
        if (pthread_equal(t->thread, pthread_self())) {
            LOG2(LOG2_ERR, "pal", "a thread cannot wait for itself\n");
            return -1;
        }
        // The finished state is written under done's mutex before the
        // broadcast and read under it here, so a thread that ended before
        // this wait never leaves it waiting.
        pthread_mutex_t* mu = &t->done->mutex->mutex;
        pthread_mutex_lock(mu);
        pl_wait_until(t->done, t->done->mutex, ms, [t] { return t->finished.load(std::memory_order_acquire) != 0; });
        bool finished = t->finished.load(std::memory_order_acquire) != 0;
        pthread_mutex_unlock(mu);
        if (!finished) return -1;

        void* ret = nullptr;
        int rc = pthread_join(t->thread, &ret);
        if (rc != 0) {
            // Left to os_thread_free, which detaches a thread not joined.
            errno = rc;
            LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "pthread_join error: ");
            return -1;
        }
        t->joined = 1;
        t->result = static_cast<int32_t>(reinterpret_cast<intptr_t>(ret));
    }
    if (result) *result = t->result;
    return 0;
}

// Sends nothing: a signal to a thread would end or disturb the whole process,
// and a cancel could leave a lock held. The thread keeps running.
int os_thread_kill(os_thread_ctx* t) {
    if (!t) return 0;
    LOG2(LOG2_ERR, "pal", "thread did not stop in time; it is left running\n");
    return 0;
}

void os_thread_free(os_thread_ctx* t) {
    if (!t) return;
    if (!t->joined) pthread_detach(t->thread);
    thread_ctx_release(t);
}

int os_thread_join_or_leave(os_thread_ctx* t, uint32_t ms, int32_t* result) {
    if (!t) return -1;
    int rc = os_thread_wait(t, ms, result);
    if (rc != 0) {
        // The caller has asked the thread to stop and gave it ms to do so: it
        // is reported and left behind, never waited for without end.
        if (ms != OS_WAIT_FOREVER) LOG2(LOG2_WARN, "pal", "thread did not end within %u ms\n", ms);
        os_thread_kill(t);
    }
    os_thread_free(t);
    return rc;
}

void os_thread_exit(int32_t result) {
    if (os_thread_ctx* t = tl_self) {
        tl_self = nullptr;
        thread_finish(t, result);
    }
    pthread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(result)));
}

// ------------------------------------------------------- processor count

uint32_t os_cpu_count() {
    static std::atomic<uint32_t> cached{0};
    uint32_t n = cached.load(std::memory_order_relaxed);
    if (n) return n;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<uint32_t>(CPU_COUNT(&set));
    if (n == 0) {
        long v = sysconf(_SC_NPROCESSORS_ONLN);
        if (v <= 0) v = sysconf(_SC_NPROCESSORS_CONF);
        n = v > 0 ? static_cast<uint32_t>(v) : 0;
    }
    if (n == 0) n = 1;
    cached.store(n, std::memory_order_relaxed);
    return n;
}

const char* os_cpu_info_str() {
    static char text[256];
    static std::once_flag once;
    std::call_once(once, [] { snprintf(text, sizeof text, "unkown cpu [%u Core]", os_cpu_count()); });
    return text;
}

// ------------------------------------------------------- thread identity

namespace {

// The id is cached per thread; a forked child's thread has a new id, so the
// cache of the forking thread is cleared in the child.
thread_local uint64_t tl_tid = 0;

void clear_tid_cache_in_child() { tl_tid = 0; }

}  // namespace

uint64_t os_thread_id64() {
    if (tl_tid) return tl_tid;
    static const int registered = pthread_atfork(nullptr, nullptr, clear_tid_cache_in_child);
    (void)registered;
    tl_tid = static_cast<uint64_t>(gettid());
    return tl_tid;
}

uint32_t os_thread_id() { return static_cast<uint32_t>(os_thread_id64()); }

int os_getpid() { return static_cast<int>(getpid()); }

// ------------------------------------------------------ thread-name registry
//
// Texts keyed by thread id, in an AVL tree. The lock is a static mutex that
// lives as long as the process, so a log line after os_thread_name_free
// still finds a valid lock and an absent tree (and prints the bare id).
//
// Nothing may log while the lock is held: the logger itself reads the
// registry. So the tree is made and freed outside the lock, it is an
// AVL_NOLOG tree (set, get and delete report failures by result only, and
// its memory comes from an allocator that does not log), and failures are
// logged after the lock is released. Should a line be logged under the lock
// all the same, the lookup of that thread sees its own flag and prints the
// bare id instead of locking again.

namespace {

enum : int { k_reg_none = 0, k_reg_failed = 1, k_reg_ready = 2 };

std::mutex g_reg_mu;
avl_ctx* g_reg_tree = nullptr;  // guarded by g_reg_mu
std::atomic<int> g_reg_state{k_reg_none};
thread_local bool tl_reg_held = false;  // this thread holds g_reg_mu

class reg_lock {
public:
    reg_lock() {
        g_reg_mu.lock();
        tl_reg_held = true;
    }
    ~reg_lock() {
        tl_reg_held = false;
        g_reg_mu.unlock();
    }
    reg_lock(const reg_lock&) = delete;
    reg_lock& operator=(const reg_lock&) = delete;
};

const void* reg_key(uint64_t tid) { return reinterpret_cast<const void*>(static_cast<uintptr_t>(tid)); }

}  // namespace

int os_thread_name_init() {
    {
        reg_lock g;
        int state = g_reg_state.load(std::memory_order_relaxed);
        if (state == k_reg_ready) return 0;
        if (state == k_reg_failed) return -1;
    }
    avl_opts opts{};
    opts.flags = AVL_VAL_STR_COPY | AVL_NOLOG;
    avl_ctx* tree = avl_new(&opts);
    bool installed = false;
    int state;
    {
        reg_lock g;
        state = g_reg_state.load(std::memory_order_relaxed);
        if (state == k_reg_none) {
            state = tree ? k_reg_ready : k_reg_failed;
            g_reg_tree = tree;
            g_reg_state.store(state, std::memory_order_relaxed);
            installed = true;
        }
    }
    if (!installed) avl_free(tree);  // another thread set it up meanwhile
    if (installed && !tree) LOG2(LOG2_ERR, "pal", "avl_new filed\n");
    return state == k_reg_ready ? 0 : -1;
}

int os_thread_name_set(const char* name) {
    if (g_reg_state.load(std::memory_order_relaxed) != k_reg_ready && os_thread_name_init() != 0) return -1;

    // A short tag from the start time tells apart threads of the same name.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint8_t stamp[16] = {};
    auto sec = static_cast<uint64_t>(now.tv_sec);
    auto nsec = static_cast<uint32_t>(now.tv_nsec);
    for (int i = 0; i < 8; i++) stamp[i] = static_cast<uint8_t>(sec >> (8 * i));
    for (int i = 0; i < 4; i++) stamp[8 + i] = static_cast<uint8_t>(nsec >> (8 * i));
    char text[64];
    str_sprintf_s(text, sizeof text, "%s_%04x", name ? name : "", static_cast<unsigned>(hash_crc16(stamp, sizeof stamp, 0)));

    uint64_t tid = os_thread_id64();
    int rc = -1;
    bool no_memory = false;
    {
        reg_lock g;
        if (g_reg_tree) {
            rc = avl_set(g_reg_tree, reg_key(tid), text);
            no_memory = rc < 0;
        }
    }
    if (no_memory) LOG2(LOG2_ERR, "pal", "no memory for the thread name [%s]\n", text);
    return rc >= 0 ? 0 : -1;
}

char* os_thread_name_get(char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    auto tid = static_cast<unsigned long long>(os_thread_id64());
    char text[64];
    bool found = false;
    if (!tl_reg_held) {
        reg_lock g;
        if (g_reg_tree) {
            if (const auto* name = static_cast<const char*>(avl_get(g_reg_tree, reg_key(tid)))) {
                snprintf(text, sizeof text, "%s", name);
                found = true;
            }
        }
    }
    // Plain cut-to-fit prints: this runs inside the logger and must not log.
    if (found)
        snprintf(buf, size, "%s_%llu", text, tid);
    else
        snprintf(buf, size, "%llu", tid);
    return buf;
}

void os_thread_name_del() {
    uint64_t tid = os_thread_id64();
    reg_lock g;
    if (g_reg_tree) avl_del(g_reg_tree, reg_key(tid));
}

// Idempotent: the tree is taken out under the lock and freed outside it, and
// a second call finds nothing to free.
void os_thread_name_free() {
    avl_ctx* old;
    {
        reg_lock g;
        old = g_reg_tree;
        g_reg_tree = nullptr;
        g_reg_state.store(k_reg_none, std::memory_order_relaxed);
    }
    avl_free(old);
}

// -------------------------------------------------------------- host name

char* os_get_hostname(char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
    if (!name[0] || strcmp(name, "(none)") == 0) snprintf(name, sizeof name, "none");
    str_safecopy_trunc(buf, size, name);
    return buf;
}
