// The engine room shared by the hash and the byte-count jobs: ranges of a
// source are read block by block on the caller's thread and handed to the
// job's own worker, which is either
//   - one consumer thread fed through a block queue (mbuf_ctx), so that a
//     block is digested while the next one is read, or
//   - a thread pool fed runs of blocks of one chunk buffer (mbuf2_ctx), or
//   - when neither can be had, the caller's thread itself, block by block.
// Every wait is a bounded wait on a condition that re-checks the stop byte.
//
// Used by the files of this directory only.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/hash/read_cache.h"

struct mbuf_ctx;
struct mbuf2_ctx;
struct mbuf2_block;
struct thread_pool;
struct os_thread_ctx;

// What a job does with its blocks, and its own log texts.
struct file_job_ops {
    // One block of a range, numbered from 0 in the range (the consumer
    // thread, or the caller's thread without one).
    void (*block)(void* owner, const uint8_t* data, uint64_t len, uint32_t idx);
    // A run of blocks on a pool thread.
    void (*batch)(void* owner, const mbuf2_block* blocks, uint32_t count);
    const char* thread_name;  // the consumer thread
    // Logged when the queue cannot be made: the format takes one long long,
    // the chunk size or (queue_fail_bs) the block size.
    const char* queue_fail_fmt;
    bool queue_fail_bs;
    // Logged when the pool's chunk buffer cannot be made (none: not logged).
    const char* pool_buf_fail_fmt;
    // Logged in pool mode when a range wants more blocks than the chunk
    // buffer holds (none: "len=... > max_len=..." for a range longer than
    // the chunk, "mbuf2_get_block failed" for a block that is not there).
    const char* pool_block_fail_text;
};

struct file_job_task;

struct file_job {
    const file_job_ops* ops;
    void* owner;
    void* arg;
    file_read_fn pread;      // none: os_file_pread on arg
    file_error_fn vperror;   // with a caller's read call: explains its failures
    verr_info* verr;
    read_cache* cache;       // none: blocks are read directly
    int64_t total;           // size of the source, 0 unknown
    uint64_t bs;
    uint64_t chunk;          // bytes per range at most; 0 before the set-up
    uint64_t blocks;         // blocks per chunk
    uint8_t attr[16];        // thread options of the job's threads
    bool has_attr;
    thread_pool* pool;
    mbuf2_ctx* pbuf;
    file_job_task* tasks;
    uint32_t per_task;       // blocks per pool task
    mbuf_ctx* queue;
    os_thread_ctx* thread;
    uint8_t* one;            // one-block buffer of the caller's thread
    std::atomic<uint32_t> stop;
    uint64_t last_len;       // bytes the last range read (its end may come early)
};

// Fills the record's fields from the arguments; no threads yet.
void file_job_init(file_job* j, const file_job_ops* ops, void* owner, void* arg, file_read_fn pread,
                   file_error_fn vperror, verr_info* verr, uint64_t bs, const void* attr);
// Starts the pool of one thread per processor: 0, or -8 with
// "thread_pool_init failed" logged and the error record filled.
int file_job_pool_start(file_job* j, const char* name);
// Sizes the job for ranges of at most chunk bytes (rounded up to whole
// blocks): with a pool its chunk buffer, otherwise the queue and the
// consumer thread, or the one-block buffer when they cannot be had. 0, or
// -8 with the error record filled.
int file_job_setup(file_job* j, uint64_t chunk);
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
