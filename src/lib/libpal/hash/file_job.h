// The engine room shared by the hash and the byte-count jobs: ranges of a
// source are read on the caller's thread and handed to the job's workers,
// which are either
//   - "lanes": one consumer thread and, when the owner asks for more, helper
//     threads, each of which takes every piece of the range in order from a
//     small ring of buffers. A piece is read straight into its ring slot and
//     every lane reads it there; the slot is read into again once every lane
//     is through with it. The ring is a few MiB whatever the range, so the
//     bytes read are still in the processor's caches when they are digested.
//   - a thread pool fed runs of whole blocks from a ring of slots, each slot
//     given back by its task; with a read call that may run on several
//     threads at once, the pool's tasks read their runs themselves, each
//     into a slot of its own, or
//   - the caller's thread itself, piece by piece right after each read: when
//     the work costs less than the reading (XXH3 alone), where a lane would
//     only fetch every byte from the reader's caches, or when neither of
//     the others can be had.
// Every wait is a bounded wait on a condition that re-checks the stop byte.
//
// Used by the files of this directory only.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/basic/stop_flag.h"
#include "libpal/basic/verr.h"
#include "libpal/hash/read_cache.h"

struct thread_pool;
struct os_thread_ctx;
struct os_mutex;
struct os_cond;
struct file_job;

// At most this many lanes (consumer thread and helpers) per job.
inline constexpr uint32_t FILE_JOB_LANES = 12;

// What a job does with its data, and its own log texts.
struct file_job_ops {
    // Bytes [pos, pos + len) of the current range (pos counted from the
    // range's start), on lane `lane`: every lane sees every piece of a range
    // in order. A piece holds whole blocks or lies inside one block; end
    // marks the last piece of the range (then len may be 0).
    void (*piece)(void* owner, uint32_t lane, const uint8_t* data, uint64_t len, uint64_t pos, bool end);
    // A run of blocks on a pool thread: len bytes of whole blocks (the last
    // possibly short), the first of them block number first of the range.
    void (*batch)(void* owner, const uint8_t* data, uint64_t len, uint32_t first);
    const char* thread_name;  // the consumer thread (lane 0)
    const char* helper_name;  // the helper threads (lanes 1 ...)
    // Logged when the ring cannot be made: the format takes one long long,
    // the chunk size or (queue_fail_bs) the block size.
    const char* queue_fail_fmt;
    bool queue_fail_bs;
    // Logged when the pool's slots cannot be made (none: not logged).
    const char* pool_buf_fail_fmt;
    // Logged in pool mode for a range longer than the chunk (none:
    // "len=... > max_len=...").
    const char* pool_block_fail_text;
    // Pool mode with a shared read call: before a range read on the pool's
    // threads, mark notes what the owner has added up (false: it cannot,
    // and the range is read on the caller's thread); when that range must
    // be read again on the caller's thread, rollback returns to the mark
    // (false: it could not, and the range fails). None: ranges are always
    // read on the caller's thread.
    bool (*mark)(void* owner);
    bool (*rollback)(void* owner);
};

// A lane's thread argument.
struct file_job_lane {
    file_job* job;
    uint32_t index;
};

// One piece in the ring of the lanes.
struct file_job_piece {
    uint64_t len;
    uint64_t pos;
    bool end;
};

// One slot of the pool: a run of blocks and its task.
struct file_job_slot {
    file_job* job;
    uint8_t* data;
    uint64_t len;
    uint32_t first;
    file_job_slot* next_free;
};

struct file_job {
    const file_job_ops* ops;
    void* owner;
    void* arg;
    file_read_fn pread;      // none: os_file_pread on arg
    // A read call on arg that may run on several threads at once at distinct
    // offsets, touches nothing the job or pread shares and reports nothing
    // (none: ranges are read on the caller's thread only). With a pool, a
    // range inside the known total size is read by the pool's tasks through
    // it; when any of its reads fails, comes back short or meets a stop, the
    // range is taken back and read again through pread on the caller's
    // thread, which reports what went wrong.
    file_read_fn shared_read;
    file_error_fn vperror;   // with a caller's read call: explains its failures
    verr_info* verr;
    read_cache* cache;       // none: blocks are read directly
    int64_t total;           // size of the source, 0 unknown
    uint64_t bs;
    uint64_t chunk;          // bytes per range at most; 0 before the set-up
    uint64_t blocks;         // blocks per chunk
    uint8_t attr[16];        // thread options of the job's threads
    bool has_attr;
    uint32_t cpus;           // processors the job spreads over (the pool's size)
    // The owner's work costs less than reading its data: it runs on the
    // caller's thread right after each read, while the piece is still in
    // that processor's caches (a lane on another processor would have to
    // fetch every byte from there).
    uint8_t inline_only;
    uint32_t pool_busy;      // pool: workers the owner's work can keep busy
                             // while one thread reads (0: every worker)
    thread_pool* pool;
    // The ring: nslots slots of piece bytes (lanes), or of runs of blocks (pool).
    uint8_t* ring;
    uint64_t piece;
    uint32_t nslots;
    file_job_piece* pieces;     // lanes: what each slot holds
    file_job_slot* slots;       // pool: every slot
    file_job_slot* free_slots;  // pool: the slots no task holds
    os_mutex* lock;
    os_cond* more;  // lanes: a piece was committed
    os_cond* room;  // a slot came free
    // Lanes: pieces committed since the set-up, and those each lane is
    // through with. A thread that finds nothing to do spins a little, then
    // sleeps on its condition after counting itself in its sleepers; the
    // other side wakes it only when it counts sleepers.
    std::atomic<uint64_t> produced;
    std::atomic<uint64_t> consumed[FILE_JOB_LANES];
    std::atomic<uint32_t> more_sleepers;
    std::atomic<uint32_t> room_sleepers;
    uint32_t lanes;    // lanes the owner shares its work over (1 or more)
    uint32_t started;  // lanes with a thread of their own; lane 0 also does
                       // the work of lanes [started, lanes)
    file_job_lane lane_arg[FILE_JOB_LANES];
    os_thread_ctx* thread;                       // lane 0, the consumer thread
    os_thread_ctx* helpers[FILE_JOB_LANES];      // lanes 1 ...
    uint8_t* one;            // the caller's own piece buffer (no threads)
    std::atomic<uint32_t> stop;
    // The caller's stop request, or none: set, it stops the job as
    // file_job_stop does, also while a pool task is inside a read.
    const stop_flag* caller_stop;
    uint64_t last_len;       // bytes the last range read (its end may come early)
    // The range the pool's tasks read through shared_read: its runs of one
    // slot each are taken in turn from next; failed ends the taking.
    int64_t shared_off;
    uint64_t shared_len;
    uint64_t shared_runs;
    std::atomic<uint64_t> shared_next;
    std::atomic<uint32_t> shared_failed;
};

// Fills the record's fields from the arguments; no threads yet.
void file_job_init(file_job* j, const file_job_ops* ops, void* owner, void* arg, file_read_fn pread,
                   file_error_fn vperror, verr_info* verr, uint64_t bs, const void* attr);
// Starts the pool of one thread per processor: 0, or -8 with
// "thread_pool_init failed" logged and the error record filled.
int file_job_pool_start(file_job* j, const char* name);
// Sizes the job for ranges of at most chunk bytes (rounded up to whole
// blocks): with a pool its slots, otherwise the ring, the consumer thread
// and lanes - 1 helpers, or the caller's own buffer when they cannot be
// had. 0, or -8 with the error record filled.
int file_job_setup(file_job* j, uint64_t chunk, uint32_t lanes);
// 0 for a range of the offset space, else -1 with the error record filled.
int file_job_check_range(file_job* j, int64_t off, uint64_t len);
// Reads [off, off + len) and hands its blocks over, then waits until all
// are done: 0, or -1 with the error record filled. The range must be set up
// and may not exceed the chunk. The end of the data inside the range ends
// it; no data at off, or the data ending short of a known total size, is
// the end of the file (-110).
int file_job_run(file_job* j, int64_t off, uint64_t len);
// Asks a running range to end (from any thread): it returns -1 at the next
// block or wait. The job is then good only for file_job_exit.
void file_job_stop(file_job* j);
bool file_job_stopped(const file_job* j);
// Stops and joins the job's threads, then frees what the set-up made: true.
// A thread that does not end within a bounded wait is left behind with
// everything it may use: false, and the owner must keep the record too.
bool file_job_exit(file_job* j);
// Fills the error record for a failed range.
void file_job_fail(file_job* j, int32_t code, const char* text);
