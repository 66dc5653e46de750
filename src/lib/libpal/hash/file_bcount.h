// Byte-count jobs: how often each of the 256 byte values occurs in ranges of
// a source read through a read call. The caller's thread reads; the counting
// runs on the job's thread "bcount_cal" or on the pool "bcount_thread_pool".
// The state is the 256 counters as text ("%llx" fields joined by ","), from
// which a job continues and from which the result table is printed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/hash/file_job.h"
#include "libpal/hash/read_cache.h"

inline constexpr uint64_t FILE_BCOUNT_BS = 0x200000;  // default block size, 2 MiB
// counts[256] of the percentage calls holds the total.
inline constexpr size_t FILE_BCOUNT_COUNTS = 257;
// pct[0..255] the share of each value in percent, then the smallest share,
// the largest share, and the largest share of the values 1 to 255.
inline constexpr size_t FILE_BCOUNT_PCTS = 259;

// What file_bcount_open receives.
struct file_bcount_param {
    void* arg;              // handed to the read and error calls
    file_read_fn pread;     // none: os_file_pread with arg as the file
    file_error_fn vperror;  // explains a failed caller's read in the error record
    uint64_t bs;            // block size; 0: FILE_BCOUNT_BS
    uint8_t thread;         // non-zero: count on a pool
    const char* ctx;        // saved counters text, or none
    const void* attr;       // 16-byte thread options of the job's threads, or none
    const stop_flag* stop;  // the caller's stop request, or none (as file_bcount_stop)
};

struct os_mutex;

struct file_bcount_ctx {
    verr_info* verr;  // where every failure is reported
    uint8_t thread;
    uint64_t bs;
    uint64_t counters[256];
    os_mutex* lock;  // the pool's tasks add their counts under it
    file_job job;    // queue or pool, the "bcount_cal" thread, the stop byte
    verr_info own_err;  // the error record when the caller gives none
};

// A job, or nothing with the error record filled (-2 for a block size the
// queues cannot take, -8 without memory or pool, logged "thread_pool_init
// failed"). A saved text of exactly 256 fields gives the counters; any other
// text is ignored.
file_bcount_ctx* file_bcount_open(const file_bcount_param* param, verr_info* err);
// Stops and joins the job's threads, then frees it: 0. A thread that does
// not end within a bounded wait is logged and left behind with the job: -1.
int file_bcount_close(file_bcount_ctx* job);
// Counts the range [off, off + len): 0, or -1 with the error record filled
// (a read failure: the error call's explanation or the file layer's errno;
// no data at off: -110). The first range fixes the longest range; a longer
// one fails (pool: logged "alloc_wait_wctx failed"). A range that reaches
// past the end of the data ends there and succeeds.
int file_bcount_cal(file_bcount_ctx* job, int64_t off, uint64_t len);
// Bytes the last file_bcount_cal read: less than its length when the data ended.
uint64_t file_bcount_last_len(const file_bcount_ctx* job);
// Asks a running file_bcount_cal to end (from any thread, the read call
// included); the job is then good only for file_bcount_close.
void file_bcount_stop(file_bcount_ctx* job);
// The counters text: 0, or -1 with an empty buf when it does not fit.
int file_bcount_get_ctx(file_bcount_ctx* job, char* buf, size_t size);

// The table "Hex\tDec\tChr\tNo\t%\n" and one line per byte value: the value
// in hexadecimal and decimal, the character ("." outside 32-126), its count
// and its share of total in percent (0.00 for a total of 0). A new text
// (pl_free), or nothing.
char* file_bcount_table(const uint64_t* counters, uint64_t total);
// The table of a counters text, with the sum of the counters as total;
// nothing unless the text holds exactly 256 hexadecimal fields.
char* file_bcount_ctx_table(const char* text);
// counts[0..255] from a counters text, counts[256] their sum, and the shares
// in pct (FILE_BCOUNT_PCTS values): 0, or -1 unless the text holds exactly
// 256 hexadecimal fields.
int file_bcount_ctx_percent(const char* text, uint64_t* counts, double* pct);
// Counts a whole file in ranges of chunk bytes (0: FILE_BCOUNT_BS) on one
// thread and fills counts (total: the file's size) and pct as above: 0, or
// -1 when the file cannot be opened or read.
int file_bcount_file(const char* path, uint64_t chunk, uint64_t* counts, double* pct);
// Adds every byte of data to its counter.
void file_bcount_count(uint64_t* counters, const void* data, uint64_t len);
