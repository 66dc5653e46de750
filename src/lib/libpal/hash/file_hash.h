// Hash jobs: any set of twelve digest algorithms over ranges of a source
// read through a read call. Six digest the whole stream (md5, sha1, sha256,
// sha512, sm3, xxh3); six ("p" algorithms) digest every block on its own and
// combine the block digests position by position: byte i of the result is
// the CRC-8 (polynomial 0x07, from 0) of the four little-endian bytes of the
// 32-bit sum of byte i of every block digest.
//
// The caller hands the job one range after another; the job reads each range
// on the caller's thread, in pieces straight into a small ring of buffers
// (small reads through a 2 MiB read cache), and digests it on its thread
// "hash_cal" while it reads on or, when only "p" algorithms are asked for
// and threads are allowed, on the pool "phash_thread_pool" (whose threads
// also read, when the owner gives a read call fit for that). With threads
// allowed, several algorithms run side by side on "hash_cal" and helper
// threads ("hash_lane"), each over every piece in order. After a range
// the caller can take the state text of every algorithm (a job opened from
// it continues where this one stopped) and the block digests of the range;
// at the end, each final digest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"
#include "libpal/hash/file_job.h"
#include "libpal/hash/read_cache.h"
#include "libpal/memory/mem_add.h"

// hash_flag: a 12-bit set of algorithms.
enum : uint32_t {
    HASH_MD5 = 0x1,
    HASH_SHA1 = 0x2,
    HASH_PMD5 = 0x4,
    HASH_PSHA1 = 0x8,
    HASH_SHA256 = 0x10,
    HASH_PSHA256 = 0x20,
    HASH_SHA512 = 0x40,
    HASH_PSHA512 = 0x80,
    HASH_SM3 = 0x100,
    HASH_PSM3 = 0x200,
    HASH_XXH3 = 0x400,
    HASH_PXXH3 = 0x800,
    HASH_ALL = 0xFFF,
};

// A comma-separated list of algorithm words -> hash_flag; words outside the
// table are ignored; -1 when the list holds no known word.
int32_t file_hash_flag_parse(const char* text);
// The words of the set bits joined by "|", in the fixed algorithm order.
const char* file_hash_flag_str(uint32_t flag);

// What file_hash_open receives.
struct file_hash_param {
    uint32_t hash_flag;
    void* arg;              // handed to the read and error calls
    file_read_fn pread;     // none: os_file_pread with arg as the file
    file_error_fn vperror;  // explains a failed caller's read in the error record
    // None, or a read call on arg that may run on several threads at once at
    // distinct offsets and reports nothing (it touches no state that pread or
    // vperror share). With it, a job on the pool reads a range inside the
    // total size on the pool's threads; any failure, short read or stop of
    // such a read sends the range back to pread on the caller's thread, from
    // its start, so that what is reported is what pread reports.
    file_read_fn pread_shared;
    int64_t total_size;     // size of the source, >= 0; 0 when unknown
    uint64_t bs;            // block size (1 to 4 GiB - 1)
    uint32_t bs_count;      // blocks per range at most; 0: sized by the first range
    uint8_t thread;         // non-zero: "p" algorithms alone may run on a pool,
                            // several whole-stream digests side by side
    const char* ctx;        // saved state text (file_hash_get_ctx), or none
    const void* attr;       // 16-byte thread options of the job's threads, or none
    // The caller's stop request, or none: once set, the job ends as after
    // file_hash_stop, also while the pool's tasks read (its callback is not asked).
    const stop_flag* stop;
};

struct text_buf;

inline constexpr size_t FILE_HASH_ALGS = 6;  // of each kind

struct file_hash_ctx {
    uint32_t hash_flag;
    verr_info* verr;  // where every failure is reported
    uint64_t bs;
    uint32_t bs_count;
    uint64_t chunk_size;  // bytes per range at most; 0 until the first range
    char* saved;          // the saved state text (a copy)
    uint8_t thread;
    uint8_t threads_allowed;  // the caller's thread flag as given
    int8_t setup;  // 0 not yet, 1 done, -1 failed (every later range fails)
    mem_add_ctx* padd[FILE_HASH_ALGS];  // per-block accumulators, pmd5 ... pxxh3
    void* whole[FILE_HASH_ALGS];        // whole-stream contexts, md5 ... xxh3
    text_buf* text;
    read_cache* cache;
    file_job job;  // ring or pool, the "hash_cal" thread, the stop byte
    // With the thread flag, several algorithms and more than one processor,
    // the algorithms share out over "hash_cal" and helper threads (lanes),
    // each of which takes every piece of the stream (1: all on "hash_cal").
    // share[lane]: bit i for whole[i], bit FILE_HASH_ALGS + i for padd[i].
    uint32_t lanes;
    uint32_t share[FILE_JOB_LANES];
    // A block's own digest while the block spans several pieces, pmd5 ... pxxh3.
    void* pctx[FILE_HASH_ALGS];
    // The per-block sums before a range read on the pool's threads.
    mem_add_mark marks[FILE_HASH_ALGS];
    verr_info own_err;  // the error record when the caller gives none
};

// A job, or nothing with the error record filled: -37 for a hash_flag of
// 4096 or more (logged "flag=0x%x"), -2 for an empty hash_flag, a negative
// total size, a block size of 0 or a saved state text that does not restore,
// -8 without memory.
file_hash_ctx* file_hash_open(const file_hash_param* param, verr_info* err);
// Stops and joins the job's threads, then frees it: 0. A thread that does
// not end within a bounded wait is logged and left behind with the job: -1.
int file_hash_close(file_hash_ctx* job);
// Digests the range [off, off + len): 0, or -1 with the error record filled
// (a read failure: the error call's explanation or the file layer's errno;
// no data at off, or the source ending before its known size: -110). A
// range longer than the first one logs "len=%u > max_len=%u". A range that
// reaches past the end of the data ends there and succeeds; with a total
// size of 0 (unknown) the data is read until it ends.
int file_hash_cal(file_hash_ctx* job, int64_t off, uint64_t len);
// Bytes the last file_hash_cal read: less than its length when the data ended.
uint64_t file_hash_last_len(const file_hash_ctx* job);
// Asks a running file_hash_cal to end (from any thread, the read call
// included): it returns -1 at the next block or wait, and the job is then
// good only for file_hash_close.
void file_hash_stop(file_hash_ctx* job);
// The final digest of the first algorithm, in the fixed order, that is both
// in the job and in alg: 0, or -1 when none is or size is below its digest
// size. The job can go on after it.
int file_hash_final(file_hash_ctx* job, uint32_t alg, void* buf, size_t size);
// The block digests of the last range, one line per "p" algorithm: its
// word, a blank and the lower-case hexadecimal digests joined by "|"; lines
// joined by "\n". Then the records are cleared (without buf: only that).
// 0, or -1 with an empty buf when the text does not fit.
int file_hash_get_record(file_hash_ctx* job, char* buf, size_t size);
// The state text: a line "word state" for every algorithm of the job,
// joined by "\n". 0, or -1 with an empty buf when it does not fit.
int file_hash_get_ctx(file_hash_ctx* job, char* buf, size_t size);
// Restores every context from such a text (a "p" algorithm's sums are
// cleared first): 0 or the first failing restore's status.
int file_hash_set_ctx(file_hash_ctx* job, const char* text);
// What follows the word of alg and a blank on the first line of text that
// starts so, copied into buf; an empty text when there is none. 0, or -1
// with an empty buf when it does not fit.
int file_hash_find_ctx(const char* text, uint32_t alg, char* buf, size_t size);
// Digest bytes of one algorithm bit; 0 for anything else.
size_t file_hash_digest_len(uint32_t alg);
