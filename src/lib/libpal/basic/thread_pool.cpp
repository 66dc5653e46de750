// The thread pool: per-worker queues, tasks dealt in turn, an idle wait on
// the pool-wide pending count, and a cooperative stop.
#include "libpal/basic/thread_pool.h"

#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_cond_wait.h"
#include "liblog/log2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

namespace {

// The workers' bounded wait on their queue: a push or the exit wakes them at
// once; the limit only re-checks the running flag now and then.
constexpr uint32_t k_poll_ms = 10;
// The exit waits this long for a busy worker; one that takes longer is
// logged and left behind.
constexpr uint32_t k_join_ms = 1000;

// Frees the pool with the queues and tasks still in it.
void pool_free(thread_pool* pool) {
    for (uint32_t i = 0; i < pool->count; i++) {
        thread_pool_worker* w = &pool->workers[i];
        if (!w->queue) continue;
        while (auto* task = static_cast<thread_pool_task*>(queue_pop(w->queue))) pl_free(task);
        queue_close(w->queue);
        w->queue = nullptr;
    }
    os_cond_free(pool->idle);
    pl_free(pool->workers);
    pool->~thread_pool();
    pl_free(pool);
}

// Drops one hold on the pool (its owner's or a running worker's); the last
// one frees it, so a worker left behind by the exit never sees it freed.
void pool_release(thread_pool* pool) {
    if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) pool_free(pool);
}

// One task fewer pending in the pool; waiters are woken when none is left.
// The broadcast is made under the idle condition's mutex, which the waiters
// hold while they check the count, so none of them can miss it.
void pool_pending_drop(thread_pool* pool) {
    if (pool->pending.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    os_mutex_guard lock(pool->idle->mutex);
    os_cond_broadcast(pool->idle);
}

void task_done(thread_pool_worker* w, thread_pool_task* task) {
    pl_free(task);
    w->pending.fetch_sub(1, std::memory_order_acq_rel);
    pool_pending_drop(w->pool);
}

int32_t thread_pool_worker_loop(void* arg) {
    auto* w = static_cast<thread_pool_worker*>(arg);
    LOG2(LOG2_VERB, "pal", "==>\n");
    while (w->running.load(std::memory_order_acquire)) {
        auto* task = static_cast<thread_pool_task*>(queue_pop_wait(w->queue, k_poll_ms));
        if (!task) continue;
        // A task taken after the exit began is dropped like the queued ones.
        if (task->call && w->running.load(std::memory_order_acquire)) task->call(task->arg);
        task_done(w, task);
    }
    LOG2(LOG2_VERB, "pal", "<==\n");
    pool_release(w->pool);
    return 0;
}

}  // namespace

thread_pool* thread_pool_init(thread_pool_param* param) {
    if (!PL_CHECK_TEXT("pal", param != nullptr, "param!=NULL")) return nullptr;
    void* mem = pl_zalloc(sizeof(thread_pool));
    if (!mem) return nullptr;
    auto* pool = new (mem) thread_pool{};
    pool->refs.store(1, std::memory_order_relaxed);
    if (param->count == 0) param->count = os_cpu_count();
    const uint32_t n = param->count;

    void* wmem = pl_calloc(n, sizeof(thread_pool_worker));
    if (!wmem) {
        LOG2(LOG2_ERR, "pal", "malloc workq failed!\n");
        pool->~thread_pool();
        pl_free(pool);
        return nullptr;
    }
    pool->workers = static_cast<thread_pool_worker*>(wmem);
    for (uint32_t i = 0; i < n; i++) new (&pool->workers[i]) thread_pool_worker{};

    pool->idle = os_cond_new();
    if (!pool->idle) {
        thread_ctx_exit(pool);
        return nullptr;
    }

    // pool->count covers the workers that run, so that a failure part-way
    // stops exactly those. A pool short of a worker would deal it tasks that
    // never run, so it is not handed out.
    for (uint32_t i = 0; i < n; i++) {
        thread_pool_worker* w = &pool->workers[i];
        str_sprintf_s(w->name, sizeof w->name, "%s_%u", param->name ? param->name : "", i);
        w->pool = pool;
        w->queue = queue_new(nullptr);
        if (!w->queue) {
            thread_ctx_exit(pool);
            return nullptr;
        }
        w->running.store(1, std::memory_order_release);
        pool->refs.fetch_add(1, std::memory_order_acq_rel);
        w->thread = os_thread_init2(w->name, thread_pool_worker_loop, w, 0, param->attr);
        if (!w->thread) {
            pool->refs.fetch_sub(1, std::memory_order_acq_rel);
            queue_close(w->queue);
            w->queue = nullptr;
            thread_ctx_exit(pool);
            return nullptr;
        }
        pool->count = i + 1;
    }
    pool->next.store(0, std::memory_order_relaxed);
    return pool;
}

int thread_pool_dispatch(thread_pool* pool, thread_pool_fn call, void* arg) {
    if (!PL_CHECK_TEXT("pal", pool != nullptr, "pool!=NULL")) return -1;
    if (pool->count == 0) return -1;
    uint32_t turn = pool->next.fetch_add(1, std::memory_order_relaxed) + 1;
    thread_pool_worker* w = &pool->workers[turn % pool->count];

    auto* task = static_cast<thread_pool_task*>(pl_zalloc(sizeof(thread_pool_task)));
    if (!task) return -1;
    task->call = call;
    task->arg = arg;
    // Counted before the worker can see it, so the count never drops below
    // the tasks not yet finished.
    w->pending.fetch_add(1, std::memory_order_acq_rel);
    pool->pending.fetch_add(1, std::memory_order_acq_rel);
    if (queue_push(w->queue, task) != 0) {
        w->pending.fetch_sub(1, std::memory_order_acq_rel);
        pool_pending_drop(pool);
        pl_free(task);
        return -1;
    }
    return 0;
}

uint32_t thread_pool_pending(thread_pool* pool) {
    if (!PL_CHECK_TEXT("pal", pool != nullptr, "pool!=NULL")) return 0;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < pool->count; i++) sum += pool->workers[i].pending.load(std::memory_order_acquire);
    return sum;
}

int thread_pool_wait(thread_pool* pool, uint32_t ms) {
    if (!PL_CHECK_TEXT("pal", pool != nullptr, "pool!=NULL")) return -1;
    pl_wait_limit limit(ms);
    os_mutex_guard lock(pool->idle->mutex);
    while (pool->pending.load(std::memory_order_acquire) != 0) {
        int rc = limit.wait(pool->idle, pool->idle->mutex);
        if (rc != 0) return pool->pending.load(std::memory_order_acquire) == 0 ? 0 : rc;
    }
    return 0;
}

int thread_ctx_exit(thread_pool* pool) {
    if (!pool) return 0;
    // Ask every worker to stop first, so that none starts another task while
    // an earlier one is being joined.
    for (uint32_t i = 0; i < pool->count; i++) {
        thread_pool_worker* w = &pool->workers[i];
        LOG2(LOG2_VERB, "pal", "[%s]\n", w->name);
        w->running.store(0, std::memory_order_release);
        queue_wake(w->queue);
    }
    bool all_joined = true;
    for (uint32_t i = 0; i < pool->count; i++) {
        thread_pool_worker* w = &pool->workers[i];
        int32_t result = 0;
        // A worker busy with a task longer than the limit is left behind.
        int rc = os_thread_join_or_leave(w->thread, k_join_ms, &result);
        w->thread = nullptr;
        if (rc < 0) {
            LOG2(LOG2_ERR, "pal", "[%s] still runs a task after %u ms: it is left behind\n", w->name, k_join_ms);
            all_joined = false;
            continue;
        }
        // The worker has ended: this thread is now the queue's only consumer.
        while (auto* task = static_cast<thread_pool_task*>(queue_pop(w->queue))) task_done(w, task);
        queue_close(w->queue);
        w->queue = nullptr;
    }
    // A worker left behind keeps its record, queue and pool: the last of
    // them to end frees the pool.
    pool_release(pool);
    return all_joined ? 0 : -1;
}
