// Binary-record channels: named streams of records that in-process readers
// subscribe to. Each subscription has its own ring buffer (a full ring drops
// its oldest message) and optional filter rules. The registry holds up to 8
// channels; subscription lists and publishing share one registry mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct bsv_sub;
struct rbuf_ctx;
struct bsv_value_ctx;
struct qexpr_ctx;

inline constexpr uint32_t BSV_CHAN_MAX = 8;
inline constexpr size_t BSV_ERR_SIZE = 4096;

struct bsv_chan {
    const char* name;
    const char* format;
    uint32_t type;
    uint32_t swap;
    uint32_t max_size;  // largest record
    uint32_t max_sub;
    std::atomic<uint32_t> sub_count;
    bsv_sub** subs;         // max_sub slots while registered
    bsv_sub** fixed_subs;   // a table of the channel's own (none: bsv_reg allocates one)
};

struct bsv_sub {
    rbuf_ctx* ring;
    bsv_value_ctx* value;  // reads the channel's records for the filter
    qexpr_ctx* rules;
    std::atomic<uint32_t> active;
    bsv_chan* chan;
};

// The channel of log records (type 1, at most 1472 bytes, 8 subscribers).
extern bsv_chan g_bsv_chan_log;

// Registers a channel: 0 (also when it already is), -1 when the registry is
// full or memory runs out.
int bsv_reg(bsv_chan* chan);
// Registers the "log" channel once per registry life: 0 or -1.
int bsv_reg_log();
// Copies the record into the ring of every active subscription whose
// filter keeps it. 0.
int bsv_publish(bsv_chan* chan, const void* record, uint32_t len);
// Closes every subscription of every channel and empties the registry.
// Subscription handles held elsewhere become invalid. 0.
int bsv_exit();

// Subscribes to the channel named by the text before "?"; the query key
// "bsv_rbuf_size" (a size text, default "1m"; 0 means 1 MiB) sizes the ring.
// The subscription is active. Nothing, with the reason in err (BSV_ERR_SIZE
// bytes), when the channel does not exist, its subscriber table is full or
// memory runs out.
bsv_sub* bsv_open(const char* text, char* err);
// Removes the subscription from its channel and frees it. A handle that is
// no longer listed (closed already, or by bsv_exit) is left alone.
void bsv_close(bsv_sub* sub);
int bsv_start(bsv_sub* sub);
int bsv_stop(bsv_sub* sub);
// The next record into buf (at least the channel's largest record): its
// length, 0 when none waits, -1 for bad arguments.
int64_t bsv_read(bsv_sub* sub, void* buf, uint64_t len);
// The ring's counters: write bytes, read bytes, drop bytes, write count,
// read count, drop count. 0 or -1.
int bsv_get_stat(bsv_sub* sub, uint64_t stat[6]);

struct bsv_chan_info {
    uint32_t type;
    uint32_t swap;
    uint32_t max_size;
    char format[512];
};
int bsv_get_info(bsv_sub* sub, bsv_chan_info* info);
// 0 when the subscription is listed in a channel, else -1.
int bsv_find_subscription(const bsv_sub* sub);

// Filter rules (the rule language): loads the rule text into the
// subscription's rule set, made on first use. 0, or -1 with the reason in err.
int bsv_set_filter(bsv_sub* sub, const char* rules, char* err);
// 1 when the subscription's rules drop the record, 0 when they keep it (or
// there are none).
int bsv_filter_check(bsv_sub* sub, const void* record, uint32_t len);
// Frees the rule set (at close).
void bsv_filter_free(bsv_sub* sub);

// The log reader: a subscription to "log" that renders its records as text.
struct bsv_log_reader;
// Nothing when the channel cannot be opened (logged).
bsv_log_reader* bsv_open_log(const char* text);
void bsv_close_log(bsv_log_reader* h);
// The next raw record: its address (valid until the next call) and length
// in *len, or nothing when none waits.
const uint8_t* bsv_read_raw_log(bsv_log_reader* h, uint32_t* len);
// The next record rendered as "YYYY-MM-DD hh:mm:ss.mmm LEVEL pid --- [thread]
// tag func(): msg" into buf: its length and level, 0 when none waits, -1
// for a record that cannot be read.
int bsv_read_log(bsv_log_reader* h, uint32_t* level, char* buf, size_t size);
// The ring's counters as "write_byte=...\n" ... "drop_count=...\n" in a new
// text (pl_free), or nothing.
char* bsv_log_stat_text(bsv_log_reader* h);
