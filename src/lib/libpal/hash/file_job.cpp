// Reading ranges and feeding the job's thread or pool.
#include "libpal/hash/file_job.h"

#include <cerrno>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/thread_pool.h"
#include "libpal/memory/mbuf.h"
#include "libpal/memory/mbuf2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

// A run of blocks handed to one pool task.
struct file_job_task {
    file_job* job;
    const mbuf2_block* first;
    uint32_t count;
};

namespace {

// How long a wait sleeps before it looks at the stop byte again. A stop
// also wakes the waits at once; the limit covers a wake-up that raced it.
constexpr uint32_t k_wait_ms = 100;
// Bytes per pool task: small blocks go in runs, so that the dispatch cost
// stays small next to the digesting.
constexpr uint64_t k_task_bytes = 512 * 1024;
// How long the exit waits for the consumer thread.
constexpr uint32_t k_join_ms = 1000;

int32_t consumer_loop(void* arg) {
    auto* j = static_cast<file_job*>(arg);
    mbuf_ctx* q = j->queue;
    while (!j->stop.load(std::memory_order_acquire)) {
        uint64_t len = 0;
        uint8_t* block = mbuf_get_read_block(q, &len, k_wait_ms);
        if (!block) continue;
        // The number travels with the block: its place in the batch.
        auto idx = static_cast<uint32_t>(static_cast<uint64_t>(block - q->data) / q->block_size);
        j->ops->block(j->owner, block, len, idx);
        mbuf_release(q);
    }
    return 0;
}

void task_run(void* arg) {
    auto* t = static_cast<file_job_task*>(arg);
    t->job->ops->batch(t->job->owner, t->first, t->count);
}

// Fills the error record for a failed read whose result was rc.
void report_read_failure(file_job* j, int64_t rc, uint64_t len, int64_t off) {
    if (!j->pread) {
        int e = errno;
        VERR_SET(j->verr, os_verr_get(e), "%s", os_errno_str(e));
        return;
    }
    if (j->vperror) {
        j->vperror(j->arg, j->verr);
        if (j->verr->code != 0) return;
    }
    // No explanation from the caller: the read call's own status, if it is one.
    int32_t code = rc < -1 && rc > INT32_MIN ? static_cast<int32_t>(rc) : VERR_READ_ERROR;
    VERR_SET(j->verr, code, "read len=%llu off=%lld failed", static_cast<unsigned long long>(len),
             static_cast<long long>(off));
}

int64_t read_block(file_job* j, uint8_t* buf, uint64_t len, int64_t off) {
    return j->cache ? read_cache_pread(j->cache, buf, len, off) : file_read_full(j->pread, j->arg, buf, len, off);
}

// Reads one block of a range: 1 a whole block, 0 the end of the data
// within the range (a short block, or none at all after the first block),
// -1 a failure (error record filled). Nothing at the start of a range, or
// the data ending short of a known total size, is the end of the file
// (-110): the range cannot be what the caller counts it as.
int read_one(file_job* j, uint8_t* buf, uint64_t blen, int64_t boff, bool first, uint64_t* got) {
    int64_t rc = read_block(j, buf, blen, boff);
    if (rc < 0) {
        report_read_failure(j, rc, blen, boff);
        return -1;
    }
    *got = static_cast<uint64_t>(rc);
    j->last_len += *got;
    if (*got == blen) return 1;
    if (rc == 0 && first) {
        file_job_fail(j, VERR_EOF, verr2str(VERR_EOF));
        return -1;
    }
    if (j->total > 0 && boff + rc < j->total) {
        VERR_SET(j->verr, VERR_EOF, "%s (offset=%lld size=%lld)", verr2str(VERR_EOF),
                 static_cast<long long>(boff + rc), static_cast<long long>(j->total));
        return -1;
    }
    return 0;
}

bool stop_check(file_job* j) {
    if (!j->stop.load(std::memory_order_acquire)) return false;
    file_job_fail(j, VERR_CANCELLED, "stopped");
    return true;
}

int run_queue(file_job* j, int64_t off, uint64_t len) {
    mbuf_ctx* q = j->queue;
    mbuf_reset(q);
    int rc = 0;
    for (uint64_t done = 0; done < len;) {
        if (stop_check(j)) return -1;
        uint64_t blen = len - done < j->bs ? len - done : j->bs;
        int64_t boff = off + static_cast<int64_t>(done);
        uint8_t* buf = mbuf_get_write_block(q);
        if (!PL_CHECK_TEXT("pal", buf != nullptr, "mbuf_get_write_block!=NULL")) {
            file_job_fail(j, VERR_GENERAL_FAILURE, "no free queue block");
            rc = -1;
            break;
        }
        uint64_t got = 0;
        int r = read_one(j, buf, blen, boff, done == 0, &got);
        if (r < 0) {
            rc = -1;
            break;
        }
        if (got) mbuf_alloc_unref(q, got);
        if (r == 0) break;
        done += blen;
    }
    // Also after a failure: the blocks handed over are done before the job
    // is touched again.
    while (!mbuf_wait_empty(q, k_wait_ms))
        if (stop_check(j)) return -1;
    return rc;
}

int run_pool(file_job* j, int64_t off, uint64_t len) {
    mbuf2_reset(j->pbuf);
    int rc = 0;
    uint32_t ntask = 0;
    const mbuf2_block* run_first = nullptr;
    uint32_t run_count = 0;
    auto flush = [&] {
        if (!run_count) return;
        file_job_task* t = &j->tasks[ntask++];
        t->job = j;
        t->first = run_first;
        t->count = run_count;
        // Without a task record of the pool the run is done here.
        if (thread_pool_dispatch(j->pool, task_run, t) != 0) task_run(t);
        run_first = nullptr;
        run_count = 0;
    };
    uint32_t idx = 0;
    for (uint64_t done = 0; done < len; idx++) {
        if (stop_check(j)) {
            rc = -1;
            break;
        }
        uint64_t blen = len - done < j->bs ? len - done : j->bs;
        int64_t boff = off + static_cast<int64_t>(done);
        mbuf2_block* b = mbuf2_get_block(j->pbuf);
        if (!b) {
            LOG2(LOG2_ERR, "pal", "%s", j->ops->pool_block_fail_text ? j->ops->pool_block_fail_text : "mbuf2_get_block failed\n");
            file_job_fail(j, VERR_GENERAL_FAILURE, "no free block");
            rc = -1;
            break;
        }
        uint64_t got = 0;
        int r = read_one(j, b->ptr, blen, boff, done == 0, &got);
        if (r < 0) {
            rc = -1;
            break;
        }
        if (got == 0) break;
        b->len = got;
        b->idx = idx;
        b->owner = j->owner;
        if (!run_first) run_first = b;
        if (++run_count == j->per_task) flush();
        if (r == 0) break;
        done += blen;
    }
    flush();
    // Also after a failure: no task may still use a block when this returns.
    for (;;) {
        int w = thread_pool_wait(j->pool, k_wait_ms);
        if (w == 0) break;
        if (j->stop.load(std::memory_order_acquire)) {
            stop_check(j);
            return -1;
        }
        if (w == -1) os_msleep(1);  // a failed wait must not turn into a spin
    }
    return rc;
}

int run_inline(file_job* j, int64_t off, uint64_t len) {
    uint32_t idx = 0;
    for (uint64_t done = 0; done < len; idx++) {
        if (stop_check(j)) return -1;
        uint64_t blen = len - done < j->bs ? len - done : j->bs;
        uint64_t got = 0;
        int r = read_one(j, j->one, blen, off + static_cast<int64_t>(done), done == 0, &got);
        if (r < 0) return -1;
        if (got) j->ops->block(j->owner, j->one, got, idx);
        if (r == 0) break;
        done += blen;
    }
    return 0;
}

}  // namespace

void file_job_fail(file_job* j, int32_t code, const char* text) { VERR_SET(j->verr, code, "%s", text); }

void file_job_init(file_job* j, const file_job_ops* ops, void* owner, void* arg, file_read_fn pread,
                   file_error_fn vperror, verr_info* verr, uint64_t bs, const void* attr) {
    j->ops = ops;
    j->owner = owner;
    j->arg = arg;
    j->pread = pread;
    j->vperror = vperror;
    j->verr = verr;
    j->bs = bs;
    if (attr) {
        memcpy(j->attr, attr, sizeof j->attr);
        j->has_attr = true;
    }
    j->stop.store(0, std::memory_order_relaxed);
}

int file_job_pool_start(file_job* j, const char* name) {
    thread_pool_param p{};
    p.count = os_cpu_count();
    p.name = name;
    p.attr = j->has_attr ? j->attr : nullptr;
    j->pool = thread_pool_init(&p);
    if (!j->pool) {
        LOG2(LOG2_ERR, "pal", "thread_pool_init failed\n");
        file_job_fail(j, VERR_NO_MEMORY, verr2str(VERR_NO_MEMORY));
        return VERR_NO_MEMORY;
    }
    return 0;
}

int file_job_setup(file_job* j, uint64_t chunk) {
    uint64_t blocks = chunk / j->bs + (chunk % j->bs ? 1 : 0);
    if (blocks == 0 || blocks > INT32_MAX) {
        file_job_fail(j, VERR_INVALID_PARAMETER, "chunk size out of range");
        return VERR_INVALID_PARAMETER;
    }
    j->blocks = blocks;
    j->chunk = blocks * j->bs;
    // A chunk buffer and a queue need more than two bytes; a smaller chunk
    // is read and handled block by block on the caller's thread.
    if (j->pool && j->chunk > 2) {
        j->per_task = static_cast<uint32_t>(j->bs >= k_task_bytes ? 1 : k_task_bytes / j->bs);
        uint64_t ntasks = blocks / j->per_task + 1;
        j->pbuf = j->chunk > 2 ? mbuf2_init(j->chunk, static_cast<uint32_t>(j->bs)) : nullptr;
        j->tasks = static_cast<file_job_task*>(pl_calloc(static_cast<size_t>(ntasks), sizeof(file_job_task)));
        if (!j->pbuf || !j->tasks) {
            if (j->ops->pool_buf_fail_fmt)
                LOG2(LOG2_ERR, "pal", j->ops->pool_buf_fail_fmt, static_cast<long long>(j->chunk));
            mbuf2_exit(j->pbuf);
            j->pbuf = nullptr;
            pl_free(j->tasks);
            j->tasks = nullptr;
            file_job_fail(j, VERR_NO_MEMORY, verr2str(VERR_NO_MEMORY));
            return VERR_NO_MEMORY;
        }
        return 0;
    }
    if (!j->pool && j->chunk > 2) {
        j->queue = mbuf_init(j->chunk, static_cast<uint32_t>(j->bs));
        if (!j->queue) {
            LOG2(LOG2_ERR, "pal", j->ops->queue_fail_fmt,
                 static_cast<long long>(j->ops->queue_fail_bs ? j->bs : j->chunk));
        } else {
            j->thread = os_thread_init2(j->ops->thread_name, consumer_loop, j, 0, j->has_attr ? j->attr : nullptr);
            if (!j->thread) {
                mbuf_exit(j->queue);
                j->queue = nullptr;
            }
        }
    }
    if (!j->queue) {
        j->one = j->bs <= SIZE_MAX ? static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(j->bs))) : nullptr;
        if (!j->one) {
            file_job_fail(j, VERR_NO_MEMORY, verr2str(VERR_NO_MEMORY));
            return VERR_NO_MEMORY;
        }
    }
    return 0;
}

int file_job_check_range(file_job* j, int64_t off, uint64_t len) {
    if (off >= 0 && len <= static_cast<uint64_t>(INT64_MAX - off)) return 0;
    VERR_SET(j->verr, VERR_INVALID_PARAMETER, "off=%lld len=%llu", static_cast<long long>(off),
             static_cast<unsigned long long>(len));
    return -1;
}

int file_job_run(file_job* j, int64_t off, uint64_t len) {
    j->last_len = 0;
    if (stop_check(j)) return -1;
    if (file_job_check_range(j, off, len) != 0) return -1;
    if (len > j->chunk) {
        if (j->pbuf && j->ops->pool_block_fail_text)
            LOG2(LOG2_ERR, "pal", "%s", j->ops->pool_block_fail_text);
        else
            LOG2(LOG2_ERR, "pal", "len=%llu > max_len=%llu\n", static_cast<unsigned long long>(len),
                 static_cast<unsigned long long>(j->chunk));
        VERR_SET(j->verr, VERR_INVALID_PARAMETER, "len=%llu > max_len=%llu", static_cast<unsigned long long>(len),
                 static_cast<unsigned long long>(j->chunk));
        return -1;
    }
    if (j->pbuf) return run_pool(j, off, len);
    if (j->queue) return run_queue(j, off, len);
    return run_inline(j, off, len);
}

void file_job_stop(file_job* j) {
    if (j) j->stop.store(1, std::memory_order_release);
}

bool file_job_stopped(const file_job* j) { return j->stop.load(std::memory_order_acquire) != 0; }

bool file_job_exit(file_job* j) {
    file_job_stop(j);
    // The consumer looks at the stop flag at once, not at the end of its
    // bounded wait; the wake is kept for a consumer not yet waiting.
    mbuf_wake_reader(j->queue);
    // The threads go first: nothing they use is freed before they have
    // ended. A thread left behind by a bounded join keeps all of it.
    bool joined = true;
    if (j->pool) {
        joined = thread_ctx_exit(j->pool) == 0;
        j->pool = nullptr;
    }
    if (j->thread) {
        int32_t result = 0;
        if (os_thread_wait_kill_exit(j->thread, k_join_ms, &result) != 0) joined = false;
        j->thread = nullptr;
    }
    if (!joined) {
        LOG2(LOG2_ERR, "pal", "%s: a job thread did not end: its buffers are left in memory\n", j->ops->thread_name);
        return false;
    }
    mbuf2_exit(j->pbuf);
    j->pbuf = nullptr;
    pl_free(j->tasks);
    j->tasks = nullptr;
    if (j->queue) mbuf_exit(j->queue);
    j->queue = nullptr;
    pl_free(j->one);
    j->one = nullptr;
    return true;
}
