// The dd engine: one transfer between two block devices on a worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "libblock/bd.h"
#include "libdd/dd_crypt.h"
#include "libdd/dd_opts.h"
#include "libpal/os/os_thread.h"

// Worker results; the exit status is the negated value.
enum : int32_t {
    DD_DONE = 0,
    DD_FATAL = -1,
    DD_ERR_OPEN = -2,
    DD_ERR_READ = -3,
    DD_ERR_WRITE = -4,
    DD_DIFF = -5,
    DD_DIFF_LEN = -6,
    DD_NO_DATA = -7,
    DD_STOPPED = -8,
    DD_REFUSED = -9,
};

// "All ones": until the input ends (count), the output's size (seek, skip).
inline constexpr uint64_t DD_ALL = ~0ull;
inline constexpr size_t DD_URL_SIZE = 8192;

// The wipe's record: the fill value (0-255, 256 random bytes), the pattern
// unit (the given input block size) and the blocks per step.
struct dd_clear_rec {
    uint32_t value;
    uint64_t unit;
    int32_t bs_count;
};

// The hash mode's record: the job's parameters (with the state text of the
// last completed range), the blocks per step and the final digests, indexed
// by the algorithm's bit number.
struct dd_hash_rec {
    bd_hash_param param;
    int32_t bs_count;
    uint8_t digest[12][64];
    uint32_t fetched;  // algorithm bits whose digest was fetched
};

// The byte-count mode's record.
struct dd_bcount_rec {
    bd_count_param param;
    int32_t bs_count;
};

struct mem_diff_ctx;
struct thread_pool;

// The ranges [off, off + len) of a device that a read could not give: the
// buffer holds zero bytes or the fill pattern there, never the device's data.
struct dd_hole {
    uint64_t off;
    uint64_t len;
};
struct dd_holes {
    std::vector<dd_hole> list;  // in the order found
};
void dd_holes_add(dd_holes* h, uint64_t off, uint64_t len);

// The compare and sync modes' record.
struct dd_diff_rec {
    uint32_t flags;      // recorder flags: byte or block records
    int32_t max_count;   // records the recorder keeps
    int32_t bs_count;    // sub-blocks per step
    uint64_t in_bytes;   // bytes the input task read (byte compare)
    uint64_t out_bytes;  // bytes the output task read
    int32_t in_result;
    int32_t out_result;
    uint64_t step_len;
    uint64_t sub_bs;     // sub-block size: the given block size
    uint8_t* in_buf;     // one sub-block
    uint8_t* out_buf;    // one sub-block; one step in the byte compare
    char* in_list;       // per-block digest lists
    char* out_list;
    uint64_t list_size;
    std::atomic<uint64_t> sync_bytes;
    uint8_t hash_auto;   // the digest is chosen by what both sides offer
    // What the reads of the current step could not give, per side.
    dd_holes in_holes;
    dd_holes out_holes;
    // The run ended before the compare reached its end (a failure or a stop).
    std::atomic<uint8_t> incomplete;
    mem_diff_ctx* recorder;
    bd_hash_param in_param;
    bd_hash_param out_param;
};

struct dd_confirm {
    const char* in_name;
    const char* out_name;
    uint64_t in_size;
    uint64_t out_size;
};

struct dd_ctx {
    uint32_t mode;
    char in_url[DD_URL_SIZE];
    char out_url[DD_URL_SIZE];
    uint8_t* ibuf;
    uint8_t* obuf;
    uint64_t ibuf_size;  // bytes the read buffer holds
    int64_t ibs;
    int64_t obs;
    uint64_t seek;
    uint64_t skip;
    std::atomic<uint32_t> flags;
    uint32_t out_oflag;
    uint32_t opened;
    uint8_t need_in;
    uint8_t need_out;
    stop_flag in_stop;
    stop_flag out_stop;
    bd_pack_mode pack;
    uint8_t disable_os_hibernate;
    uint8_t disable_pack_transport;
    uint64_t cool_down_work;
    uint64_t cool_down_rest;
    bd_dev_info in_info;
    bd_dev_info out_info;
    uint64_t i_offset;
    uint64_t o_offset;
    uint64_t in_size;
    uint64_t out_size;
    uint32_t in_sector_size;
    uint32_t out_sector_size;
    uint64_t obuf_fill;
    int64_t count;
    int64_t all_count;
    int64_t off_count;
    std::atomic<uint64_t> total_bytes;
    std::atomic<int64_t> records_out_full;
    std::atomic<int64_t> records_out_part;
    std::atomic<int64_t> records_in_full;
    std::atomic<int64_t> records_in_part;
    uint64_t start_ms;
    uint64_t progress_ms;
    uint32_t retry_mode;
    uint32_t retry_open;
    uint32_t retry_delay;
    uint32_t retry_fails;
    int64_t retry_timeout_ms;
    uint64_t retry_deadline_ms;
    uint64_t cool_start_ms;
    uint32_t bad_retry_count;
    uint32_t bad_skip_sectors;
    uint32_t bad_chunk;
    char bad_fill_str[33];
    std::atomic<uint64_t> bad_bytes;
    uint32_t in_scheme;
    uint32_t out_scheme;
    uint32_t in_size_type;
    uint32_t out_size_type;
    bd_dev* in_dev;
    bd_dev* out_dev;
    os_thread_ctx* worker;
    int (*confirm_text_hook)(void* arg, const char* text);
    int (*confirm_hook)(void* arg, const dd_confirm* c);
    void* confirm_arg;
    std::atomic<uint32_t> running;
    uint64_t progress_bytes;
    std::atomic<uint8_t> progress_shown;
    dd_clear_rec* clear_rec;
    dd_bcount_rec* bcount_rec;
    dd_hash_rec* hash_rec;
    dd_diff_rec* diff_rec;
    thread_pool* pool;
    // Input and output bytes a read could not give (zero-filled or patterned):
    // a compare that met them cannot call the data the same.
    std::atomic<uint64_t> unread_in;
    std::atomic<uint64_t> unread_out;
    // Where the input's data ends when the size is known and no count was
    // given: the run ends there, whatever the number of records.
    uint64_t in_end;
    // The input cannot seek: "skip" reads and drops.
    uint8_t in_stream;
    // The output's name for messages: as given, password masked.
    char out_shown[DD_URL_SIZE];
    // MD5 and SHA-1 of the written data, on a thread of their own.
    struct dd_digest* wdigest;
    // The copy's read-ahead while the block loop runs (dd_ahead.cpp).
    struct dd_ahead* ahead;
    // The block cipher applied to every block a copy reads.
    dd_crypt crypt;
    // The first open found that packed blocks give exactly the bytes of a
    // plain copy: re-opens ask for pass-through again only then.
    uint8_t pack_fits;
    // conv=swab: the odd byte of the byte stream waiting for its partner.
    uint8_t swab_held;
    uint8_t swab_byte;
    // Bytes of the current step already taken into the output buffer when a
    // write failed: the step, read again after a re-open, goes on behind them.
    uint64_t step_taken;
    // The worker did not end within the bounded wait after a stop: it is
    // left behind, and the context with everything it uses stays in memory.
    std::atomic<uint8_t> abandoned;
    // A device could not be freed: a hash or count thread left behind may
    // still read it, and it refers to the context's stop requests, so the
    // context stays in memory as well.
    std::atomic<uint8_t> devices_kept;
    // The input is read where the loop stands (i_offset) with positioned
    // reads, not from the device's own position: a plain local regular file
    // or an image whose reads repeat. Streams, devices and remote inputs are
    // read in order, as their drivers' calls are made.
    bool in_positioned;
};

// ---- lifecycle
int dd_global_init();
int dd_global_exit();
int dd_env_init();
dd_ctx* dd_open();
int dd_work(dd_ctx* ctx, const dd_opts* opts);
// Waits for the worker: without limit while it runs, at most
// DD_STOP_GRACE_MS once a stop was requested; a worker that takes longer is
// logged and left behind (dd_abandoned), and the result is -8.
int dd_wait_stop(dd_ctx* ctx);
inline constexpr uint32_t DD_STOP_GRACE_MS = 10000;
inline bool dd_abandoned(const dd_ctx* ctx) { return ctx->abandoned.load() != 0; }
int dd_stop(dd_ctx* ctx);
int dd_close(dd_ctx* ctx);
void dd_close_now(dd_ctx* ctx);
int32_t dd_work_thread(void* ctx);
int dd_is_running(const dd_ctx* ctx);
int dd_stop_check(const dd_ctx* ctx);
void dd_url_add_proxy(const char* name, const dd_opts* opts, char* out);

// ---- opening
int dd_init_in_out3(dd_ctx* ctx);
int dd_pack_mode(dd_ctx* ctx, int first);
int dd_open_errno(const verr_info* err);

// ---- the block loop and writing
int dd_work_imp(dd_ctx* ctx);
int dd_write_and_stats(dd_ctx* ctx, const void* buf, uint64_t len, uint64_t zlen);
int dd_write_errno(const dd_ctx* ctx, int32_t code);

// ---- reading
int64_t dd_read_imp(dd_ctx* ctx, uint64_t* zlen);
int64_t dd_preadz_imp(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off, uint64_t* zlen);
int64_t dd_pread(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off);
// The same, noting in holes (when given) the ranges that could not be read.
int64_t dd_pread_holes(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off, dd_holes* holes);
// The result of a run that ended but could not read some bytes: the status
// of a failed read of that side (-1 local, -3 otherwise).
int dd_unread_result(const dd_ctx* ctx);
int dd_read_errno(int32_t code);
int dd_noerror_errno(uint32_t scheme, int32_t code);

// ---- hash, byte-count, compare and sync modes
int dd_cal_errno(const dd_ctx* ctx, bd_dev* dev);
// The offset a failed job step names: where its failing read was, else the
// step's own offset.
int64_t dd_cal_fail_offset(const bd_dev* dev, uint64_t step_off);
void dd_hash_fetch(dd_ctx* ctx);
int dd_hash_print(dd_ctx* ctx);
void dd_bcount_print(dd_ctx* ctx);
int diff_sync(dd_ctx* ctx);
void diff_hash_cal_i(void* ctx);
void diff_hash_cal_o(void* ctx);
void diff_read_i(void* ctx);
void diff_read_o(void* ctx);
int dd_diff_or_sync(dd_ctx* ctx, uint64_t length);
int dd_sync(dd_ctx* ctx, uint64_t ioff, uint64_t ooff, uint64_t length);
// The verdict of a compare (0, -5, -6, -8); prints it and the records when print is set.
int dd_diff_print(dd_ctx* ctx, bool print);
// Sets up the modes' records, buffers and pool in dd_work; 0 or 1 (refused).
int dd_modes_setup(dd_ctx* ctx, const dd_opts* o);
void dd_modes_free(dd_ctx* ctx);
// Starts the devices' jobs at every open: 0 or a worker result.
int dd_modes_open_input(dd_ctx* ctx);
int dd_modes_open_both(dd_ctx* ctx);

// ---- retry
// After a pass ended with result r: 1 when the worker should re-open and go on.
int dd_retry_decide(dd_ctx* ctx, int r);

// ---- progress, duty cycle, summary
void dd_print_progress(dd_ctx* ctx, int64_t count, int64_t bad_offset, int32_t rest_seconds);
int dd_cool_down(dd_ctx* ctx);
void dd_print_stat(dd_ctx* ctx, int32_t result);

// True once a stop was requested.
inline bool dd_stopped(const dd_ctx* ctx) { return (ctx->flags.load(std::memory_order_relaxed) & DD_F_STOP) != 0; }
