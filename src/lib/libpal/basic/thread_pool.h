// A small fixed-size pool of named worker threads, each with its own task
// queue, onto which tasks are dealt in turn.
//
// The caller dispatches a batch of tasks and waits until none is pending;
// tasks write their results into memory the caller owns. Only the pool's
// creator dispatches, waits and exits the pool.
//
// Workers wake on their queue as soon as a task arrives (a 10 ms bounded
// wait is their safety net). The exit stops every worker cooperatively: it
// clears their running flags, wakes them and joins them. A task already
// running is given a bounded time to finish; tasks still queued are freed
// without being run.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/basic/pl_queue.h"
#include "libpal/os/os_thread.h"

using thread_pool_fn = void (*)(void* arg);

// The argument of thread_pool_init.
struct thread_pool_param {
    uint32_t count;    // 0: one per processor (written back)
    const char* name;  // the workers are named "%s_%d" from it
    const void* attr;  // thread options (os_thread_init2) or none
};

struct thread_pool;

inline constexpr size_t THREAD_POOL_NAME_SIZE = 256;

struct thread_pool_worker {
    std::atomic<uint32_t> running;  // 1 while the worker should go on
    os_thread_ctx* thread;
    queue_ctx* queue;
    std::atomic<uint32_t> pending;  // tasks queued on this worker, not yet finished
    char name[THREAD_POOL_NAME_SIZE];
    thread_pool* pool;
};

struct thread_pool {
    uint32_t count;
    std::atomic<uint32_t> next;  // round-robin counter
    thread_pool_worker* workers;
    os_cond* idle;                  // broadcast under its mutex when pending reaches 0
    std::atomic<uint32_t> pending;  // the sum of the workers' pending counts
    std::atomic<uint32_t> refs;     // the owner and every running worker
};

struct thread_pool_task {
    thread_pool_fn call;
    void* arg;
};

// A pool, or nothing when memory, a queue or a thread could not be had.
thread_pool* thread_pool_init(thread_pool_param* param);
// 0, or -1 (counters unchanged) when the task cannot be allocated or queued.
int thread_pool_dispatch(thread_pool* pool, thread_pool_fn call, void* arg);
// Tasks dispatched and not yet finished.
uint32_t thread_pool_pending(thread_pool* pool);
// Waits at most ms for no task to be pending: 0 when none is, -2 when the
// time ran out first, -1 without a pool or on a failed wait.
int thread_pool_wait(thread_pool* pool, uint32_t ms);
// Stops and joins every worker, frees the tasks still queued without running
// them, and frees the pool: 0. A worker still busy after a bounded wait is
// logged and left behind: -1; the pool is then freed when the last such
// worker ends, and what its task uses must outlive it.
int thread_ctx_exit(thread_pool* pool);
