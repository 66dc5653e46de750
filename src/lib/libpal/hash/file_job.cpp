// Reading ranges and feeding the job's lanes or pool.
#include "libpal/hash/file_job.h"

#include <cerrno>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/thread_pool.h"
#include "libpal/memory/mem_wait.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

namespace {

// How long a wait sleeps before it looks at the stop byte again. A stop
// also wakes the waits at once; the limit covers a wake-up that raced it.
constexpr uint32_t k_wait_ms = 100;
// Bytes per piece of the lanes' ring, and its slots: small enough that the
// whole ring stays in the processor's caches between the read into a slot
// and the lanes' passes over it, large enough that a piece costs few
// hand-overs and reads.
constexpr uint64_t k_piece_bytes = 256 * 1024;
constexpr uint32_t k_ring_slots = 8;
// Reads of at least this size go straight into the ring, not through the
// read cache.
constexpr uint64_t k_direct_bytes = 64 * 1024;
// Bytes per pool task: small blocks go in runs, so that the dispatch cost
// stays small next to the digesting.
constexpr uint64_t k_task_bytes = 512 * 1024;
// Pool slots beyond one per worker: the reader fills the next while every
// worker digests one.
constexpr uint32_t k_pool_spare_slots = 2;
constexpr size_t k_page = 4096;
// How long the exit waits for the consumer thread.
constexpr uint32_t k_join_ms = 1000;

// Spins before a thread sleeps: a piece takes some tens of microseconds to
// read or digest, far less than a sleep and a wake-up cost on a busy machine.
constexpr uint32_t k_spin_rounds = 4096;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The lowest count of pieces any lane is through with.
uint64_t min_consumed(const file_job* j) {
    uint64_t m = j->consumed[0].load(std::memory_order_acquire);
    for (uint32_t l = 1; l < j->started; l++) {
        uint64_t c = j->consumed[l].load(std::memory_order_acquire);
        if (c < m) m = c;
    }
    return m;
}

bool stopped(const file_job* j) {
    return j->stop.load(std::memory_order_acquire) != 0 || pl_stop_requested(j->caller_stop);
}

// Waits until ready() holds: false when a stop came first. Spins a while,
// then sleeps on c counted in sleepers (the waker's test of that count and
// this thread's test of ready() after counting itself cannot both miss).
template <class Ready>
bool wait_ready(file_job* j, os_cond* c, std::atomic<uint32_t>& sleepers, Ready ready) {
    for (uint32_t i = 0; i < k_spin_rounds; i++) {
        if (ready()) return true;
        if (stopped(j)) return false;
        cpu_relax();
    }
    os_mutex_guard g(j->lock);
    sleepers.fetch_add(1);
    bool ok = true;
    while (!ready()) {
        if (stopped(j)) {
            ok = false;
            break;
        }
        mem_wait_locked(c, j->lock, k_wait_ms, [&] { return ready() || stopped(j); });
    }
    sleepers.fetch_sub(1);
    return ok;
}

// Wakes the sleepers of c after a change their ready() looks at.
void wake(file_job* j, os_cond* c, const std::atomic<uint32_t>& sleepers) {
    if (sleepers.load() == 0) return;
    os_mutex_guard g(j->lock);
    os_cond_broadcast(c);
}

// Lane 0 also does the work of the lanes that got no thread.
void lane_pieces(file_job* j, uint32_t lane, const uint8_t* data, const file_job_piece& p) {
    j->ops->piece(j->owner, lane, data, p.len, p.pos, p.end);
    if (lane == 0)
        for (uint32_t l = j->started; l < j->lanes; l++) j->ops->piece(j->owner, l, data, p.len, p.pos, p.end);
}

int32_t lane_loop(void* arg) {
    auto* la = static_cast<file_job_lane*>(arg);
    file_job* j = la->job;
    const uint32_t me = la->index;
    for (;;) {
        const uint64_t mine = j->consumed[me].load(std::memory_order_relaxed);
        if (!wait_ready(j, j->more, j->more_sleepers,
                        [j, mine] { return j->produced.load(std::memory_order_acquire) != mine; }))
            return 0;
        auto slot = static_cast<uint32_t>(mine % j->nslots);
        file_job_piece p = j->pieces[slot];
        lane_pieces(j, me, j->ring + slot * j->piece, p);
        j->consumed[me].store(mine + 1);
        wake(j, j->room, j->room_sleepers);
    }
}

void task_run(void* arg) {
    auto* s = static_cast<file_job_slot*>(arg);
    file_job* j = s->job;
    j->ops->batch(j->owner, s->data, s->len, s->first);
    os_mutex_guard g(j->lock);
    s->next_free = j->free_slots;
    j->free_slots = s;
    os_cond_broadcast(j->room);
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
    if (!j->cache) return file_read_full(j->pread, j->arg, buf, len, off);
    return len >= k_direct_bytes ? read_cache_pread_direct(j->cache, buf, len, off)
                                 : read_cache_pread(j->cache, buf, len, off);
}

// Reads one piece of a range: 1 all of it, 0 the end of the data within
// the range (a short piece, or none at all after the first piece),
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
    if (!stopped(j)) return false;
    file_job_fail(j, VERR_CANCELLED, "stopped");
    return true;
}

// The next piece of a range whose first done bytes are read: whole blocks,
// or the rest of one block, at most the piece size.
uint64_t next_piece(const file_job* j, uint64_t done, uint64_t len) {
    uint64_t n = j->piece;
    if (j->bs > n) {
        uint64_t in_block = j->bs - done % j->bs;
        if (in_block < n) n = in_block;
    }
    return len - done < n ? len - done : n;
}

int run_lanes(file_job* j, int64_t off, uint64_t len) {
    int rc = 0;
    for (uint64_t done = 0;;) {
        if (stop_check(j)) return -1;
        uint64_t want = next_piece(j, done, len);
        const uint64_t seq = j->produced.load(std::memory_order_relaxed);
        if (!wait_ready(j, j->room, j->room_sleepers, [j, seq] { return seq - min_consumed(j) < j->nslots; })) {
            stop_check(j);
            return -1;
        }
        auto slot = static_cast<uint32_t>(seq % j->nslots);
        uint64_t got = 0;
        int r = read_one(j, j->ring + slot * j->piece, want, off + static_cast<int64_t>(done), done == 0, &got);
        if (r < 0 || stop_check(j)) {  // a stop during the read ends the range here
            rc = -1;
            break;
        }
        bool end = r == 0 || done + got == len;
        j->pieces[slot] = file_job_piece{got, done, end};
        j->produced.store(seq + 1);
        wake(j, j->more, j->more_sleepers);
        done += got;
        if (end) break;
    }
    // Also after a failure: the pieces handed over are done before the job
    // is touched again.
    const uint64_t seq = j->produced.load(std::memory_order_relaxed);
    if (!wait_ready(j, j->room, j->room_sleepers, [j, seq] { return min_consumed(j) == seq; })) {
        stop_check(j);
        return -1;
    }
    return rc;
}

int run_pool(file_job* j, int64_t off, uint64_t len) {
    int rc = 0;
    uint32_t idx = 0;
    const uint64_t run = j->piece;
    for (uint64_t done = 0; done < len;) {
        if (stop_check(j)) {
            rc = -1;
            break;
        }
        file_job_slot* s = nullptr;
        {
            os_mutex_guard g(j->lock);
            while (!j->free_slots && !stopped(j))
                mem_wait_locked(j->room, j->lock, k_wait_ms, [j] { return j->free_slots != nullptr || stopped(j); });
            if (!j->free_slots) {
                rc = -1;
                break;
            }
            s = j->free_slots;
            j->free_slots = s->next_free;
        }
        uint64_t want = len - done < run ? len - done : run;
        uint64_t got = 0;
        int r = read_one(j, s->data, want, off + static_cast<int64_t>(done), done == 0, &got);
        bool stopped = r >= 0 && stop_check(j);  // a stop during the read ends the range here
        if (r < 0 || stopped || got == 0) {
            os_mutex_guard g(j->lock);
            s->next_free = j->free_slots;
            j->free_slots = s;
            if (r < 0 || stopped) rc = -1;
            break;
        }
        s->len = got;
        s->first = idx;
        // Without a task record of the pool the run is done here.
        if (thread_pool_dispatch(j->pool, task_run, s) != 0) task_run(s);
        idx += static_cast<uint32_t>(got / j->bs + (got % j->bs ? 1 : 0));
        done += got;
        if (r == 0) break;
    }
    // Also after a failure: no task may still use a slot when this returns.
    for (;;) {
        int w = thread_pool_wait(j->pool, k_wait_ms);
        if (w == 0) break;
        if (stopped(j)) {
            stop_check(j);
            return -1;
        }
        if (w == -1) os_msleep(1);  // a failed wait must not turn into a spin
    }
    if (rc != 0) stop_check(j);
    return rc;
}

// Whether the pool's tasks read for themselves: a shared read call and an
// owner that can go back to a mark.
bool reads_shared(const file_job* j) { return j->shared_read && j->ops->mark && j->ops->rollback; }

// A pool task of a range read through the shared read call: takes the
// range's runs in turn, reads each into its own slot and hands it to the
// owner, until none is left or the range has failed. A failed, short or
// stopped read fails the range and is not reported: the range is read
// again on the caller's thread.
void shared_task(void* arg) {
    auto* s = static_cast<file_job_slot*>(arg);
    file_job* j = s->job;
    while (!j->shared_failed.load(std::memory_order_acquire)) {
        if (stopped(j)) {
            j->shared_failed.store(1, std::memory_order_release);
            return;
        }
        const uint64_t r = j->shared_next.fetch_add(1, std::memory_order_relaxed);
        if (r >= j->shared_runs) return;
        const uint64_t pos = r * j->piece;
        const uint64_t n = j->shared_len - pos < j->piece ? j->shared_len - pos : j->piece;
        int64_t got = file_read_full(j->shared_read, j->arg, s->data, n, j->shared_off + static_cast<int64_t>(pos));
        if (got != static_cast<int64_t>(n)) {
            j->shared_failed.store(1, std::memory_order_release);
            return;
        }
        j->ops->batch(j->owner, s->data, n, static_cast<uint32_t>(pos / j->bs));
    }
}

// Whether a range may be read by the pool's tasks: a shared read call, an
// owner that can go back, and a range that lies inside the known size (a
// range reaching past it ends short, which only the caller's thread tells).
bool shared_fits(const file_job* j, int64_t off, uint64_t len) {
    return reads_shared(j) && j->total > 0 && len > 0 && off <= j->total &&
           len <= static_cast<uint64_t>(j->total - off);
}

// Reads a range on the pool's tasks, one task per worker: 1 done, 0 it
// failed and must be read again (the tasks have ended), -1 the job was
// stopped (error record filled).
int run_shared(file_job* j, int64_t off, uint64_t len) {
    j->shared_off = off;
    j->shared_len = len;
    j->shared_runs = len / j->piece + (len % j->piece ? 1 : 0);
    j->shared_next.store(0, std::memory_order_relaxed);
    j->shared_failed.store(0, std::memory_order_relaxed);
    uint64_t tasks = j->nslots < j->cpus ? j->nslots : j->cpus;
    if (tasks > j->shared_runs) tasks = j->shared_runs;
    // When the pool takes no more tasks, the caller's thread is the last
    // task: it takes runs beside the others until none is left.
    for (uint64_t i = 0; i < tasks; i++) {
        if (thread_pool_dispatch(j->pool, shared_task, &j->slots[i]) != 0) {
            shared_task(&j->slots[i]);
            break;
        }
    }
    for (;;) {
        int w = thread_pool_wait(j->pool, k_wait_ms);
        if (w == 0) break;
        if (stopped(j)) {
            stop_check(j);
            return -1;
        }
        if (w == -1) os_msleep(1);  // a failed wait must not turn into a spin
    }
    if (stop_check(j)) return -1;
    return j->shared_failed.load(std::memory_order_acquire) ? 0 : 1;
}

int run_inline(file_job* j, int64_t off, uint64_t len) {
    for (uint64_t done = 0;;) {
        if (stop_check(j)) return -1;
        uint64_t want = next_piece(j, done, len);
        uint64_t got = 0;
        int r = read_one(j, j->one, want, off + static_cast<int64_t>(done), done == 0, &got);
        if (r < 0 || stop_check(j)) return -1;
        bool end = r == 0 || done + got == len;
        file_job_piece p{got, done, end};
        for (uint32_t l = 0; l < j->lanes; l++) j->ops->piece(j->owner, l, j->one, p.len, p.pos, p.end);
        done += got;
        if (end) return 0;
    }
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
    j->cpus = os_cpu_count();
    j->lanes = 1;
    if (attr) {
        memcpy(j->attr, attr, sizeof j->attr);
        j->has_attr = true;
    }
    j->stop.store(0, std::memory_order_relaxed);
    j->caller_stop = nullptr;
}

int file_job_pool_start(file_job* j, const char* name) {
    thread_pool_param p{};
    p.count = j->cpus;
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

namespace {

bool make_sync(file_job* j) {
    j->lock = os_mutex_new();
    j->more = os_cond_new();
    j->room = os_cond_new();
    return j->lock && j->more && j->room;
}

void free_ring(file_job* j) {
    pl_aligned_free(j->ring);
    j->ring = nullptr;
    pl_free(j->pieces);
    j->pieces = nullptr;
    pl_free(j->slots);
    j->slots = nullptr;
    j->free_slots = nullptr;
    os_cond_free(j->more);
    j->more = nullptr;
    os_cond_free(j->room);
    j->room = nullptr;
    os_mutex_free(j->lock);
    j->lock = nullptr;
}

uint8_t* ring_alloc(uint64_t slots, uint64_t bytes) {
    if (bytes == 0 || slots > SIZE_MAX / bytes) return nullptr;
    // Page-aligned: the reads land on whole pages.
    return static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(slots * bytes), k_page));
}

// The pool's slots: runs of whole blocks, one per worker and a few spare.
int setup_pool(file_job* j) {
    uint64_t per_slot = j->bs >= k_task_bytes ? 1 : k_task_bytes / j->bs;
    if (per_slot > j->blocks) per_slot = j->blocks;
    uint64_t need = j->blocks / per_slot + (j->blocks % per_slot ? 1 : 0);
    // Slots beyond what the busy workers need only push the ring out of
    // the processor's caches. Workers that read for themselves are all busy.
    uint32_t busy = !reads_shared(j) && j->pool_busy && j->pool_busy < j->cpus ? j->pool_busy : j->cpus;
    uint64_t n = uint64_t{busy} + k_pool_spare_slots;
    if (n > need) n = need;
    j->piece = per_slot * j->bs;
    j->nslots = static_cast<uint32_t>(n);
    bool ok = make_sync(j);
    if (ok) {
        j->ring = ring_alloc(n, j->piece);
        j->slots = static_cast<file_job_slot*>(pl_calloc(static_cast<size_t>(n), sizeof(file_job_slot)));
        ok = j->ring && j->slots;
    }
    if (!ok) {
        if (j->ops->pool_buf_fail_fmt) LOG2(LOG2_ERR, "pal", j->ops->pool_buf_fail_fmt, static_cast<long long>(j->chunk));
        free_ring(j);
        file_job_fail(j, VERR_NO_MEMORY, verr2str(VERR_NO_MEMORY));
        return VERR_NO_MEMORY;
    }
    for (uint32_t i = 0; i < j->nslots; i++) {
        file_job_slot* s = &j->slots[i];
        s->job = j;
        s->data = j->ring + i * j->piece;
        s->next_free = j->free_slots;
        j->free_slots = s;
    }
    return 0;
}

// The lanes' ring and threads: true when at least the consumer thread runs.
bool setup_lanes(file_job* j) {
    j->piece = j->bs <= k_piece_bytes ? k_piece_bytes / j->bs * j->bs : k_piece_bytes;
    if (j->piece > j->chunk) j->piece = j->chunk;
    j->nslots = k_ring_slots;
    if (!make_sync(j) || !(j->ring = ring_alloc(j->nslots, j->piece)) ||
        !(j->pieces = static_cast<file_job_piece*>(pl_calloc(j->nslots, sizeof(file_job_piece))))) {
        LOG2(LOG2_ERR, "pal", j->ops->queue_fail_fmt, static_cast<long long>(j->ops->queue_fail_bs ? j->bs : j->chunk));
        free_ring(j);
        return false;
    }
    const void* attr = j->has_attr ? j->attr : nullptr;
    for (uint32_t l = 0; l < j->lanes; l++) {
        j->lane_arg[l] = file_job_lane{j, l};
        os_thread_ctx* t = os_thread_init2(l == 0 ? j->ops->thread_name : j->ops->helper_name, lane_loop,
                                           &j->lane_arg[l], 0, attr);
        if (!t) break;  // lane 0 does the work of the lanes without a thread
        (l == 0 ? j->thread : j->helpers[l]) = t;
        os_mutex_guard g(j->lock);
        j->started = l + 1;
    }
    if (j->started == 0) {
        free_ring(j);
        return false;
    }
    return true;
}

}  // namespace

int file_job_setup(file_job* j, uint64_t chunk, uint32_t lanes) {
    uint64_t blocks = chunk / j->bs + (chunk % j->bs ? 1 : 0);
    if (blocks == 0 || blocks > INT32_MAX) {
        file_job_fail(j, VERR_INVALID_PARAMETER, "chunk size out of range");
        return VERR_INVALID_PARAMETER;
    }
    j->blocks = blocks;
    j->chunk = blocks * j->bs;
    j->lanes = lanes == 0 ? 1 : lanes < FILE_JOB_LANES ? lanes : FILE_JOB_LANES;
    // Threads need more than two bytes a range to be worth it; a smaller
    // chunk is read and handled on the caller's thread.
    if (j->pool && j->chunk > 2) return setup_pool(j);
    if (j->pool || j->chunk <= 2 || j->inline_only || !setup_lanes(j)) {
        j->piece = j->bs <= k_piece_bytes ? k_piece_bytes / j->bs * j->bs : k_piece_bytes;
        if (j->piece > j->chunk) j->piece = j->chunk;
        j->one = ring_alloc(1, j->piece);
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
        if (j->slots && j->ops->pool_block_fail_text)
            LOG2(LOG2_ERR, "pal", "%s", j->ops->pool_block_fail_text);
        else
            LOG2(LOG2_ERR, "pal", "len=%llu > max_len=%llu\n", static_cast<unsigned long long>(len),
                 static_cast<unsigned long long>(j->chunk));
        VERR_SET(j->verr, VERR_INVALID_PARAMETER, "len=%llu > max_len=%llu", static_cast<unsigned long long>(len),
                 static_cast<unsigned long long>(j->chunk));
        return -1;
    }
    if (j->slots) {
        if (shared_fits(j, off, len) && j->ops->mark(j->owner)) {
            int r = run_shared(j, off, len);
            if (r != 0) {
                if (r > 0) j->last_len = len;
                return r > 0 ? 0 : -1;
            }
            // Nothing of the failed range counts: it is read again, and
            // whatever went wrong is reported, the one way it always is.
            if (!j->ops->rollback(j->owner)) {
                file_job_fail(j, VERR_INVALID_STATE, "the sums before the range cannot be restored");
                return -1;
            }
            if (j->cache) read_cache_reset(j->cache);
        }
        return run_pool(j, off, len);
    }
    if (j->thread) return run_lanes(j, off, len);
    return run_inline(j, off, len);
}

void file_job_stop(file_job* j) {
    if (j) j->stop.store(1, std::memory_order_release);
}

bool file_job_stopped(const file_job* j) { return stopped(j); }

bool file_job_exit(file_job* j) {
    file_job_stop(j);
    // The lanes look at the stop flag at once, not at the end of their
    // bounded wait.
    if (j->lock) {
        os_mutex_guard g(j->lock);
        os_cond_broadcast(j->more);
        os_cond_broadcast(j->room);
    }
    // The threads go first: nothing they use is freed before they have
    // ended. A thread left behind by a bounded join keeps all of it.
    bool joined = true;
    if (j->pool) {
        joined = thread_ctx_exit(j->pool) == 0;
        j->pool = nullptr;
    }
    for (uint32_t l = 0; l < j->started; l++) {
        os_thread_ctx*& t = l == 0 ? j->thread : j->helpers[l];
        int32_t result = 0;
        if (t && os_thread_join_or_leave(t, k_join_ms, &result) != 0) joined = false;
        t = nullptr;
    }
    if (!joined) {
        LOG2(LOG2_ERR, "pal", "%s: a job thread did not end: its buffers are left in memory\n", j->ops->thread_name);
        return false;
    }
    j->started = 0;
    free_ring(j);
    pl_aligned_free(j->one);
    j->one = nullptr;
    return true;
}
