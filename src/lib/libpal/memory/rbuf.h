// Message ring: fixed slots, each a length header and one message. A writer
// never blocks: a full ring drops its oldest message and counts the drop.
// Writers serialise on the ring's lock; readers take messages under it.
//
// The header is the message length in host byte order, 2 bytes, or 4 when
// the largest message is 65536 bytes or more (the wide header).
#pragma once

#include <atomic>
#include <cstdint>

struct os_mutex;
struct os_cond;

struct rbuf_ctx {
    uint64_t all_size;
    uint64_t block_size;  // slot size: largest message + header size
    uint64_t count;       // messages in the ring
    uint64_t max_count;   // slot count, at least 2
    uint8_t* data;
    uint64_t read_counter;  // messages taken since creation
    uint64_t write_counter;  // messages put since creation (slot = counter mod slot count)
    uint64_t write_bytes;
    uint64_t write_msgs;
    uint64_t read_bytes;
    uint64_t read_calls;
    uint64_t drop_bytes;
    uint64_t drop_msgs;
    std::atomic<uint32_t> pending;  // bytes of the messages in the ring
    os_mutex* lock;
    os_cond* written;  // signalled after every write
    os_cond* read;     // signalled after every read
    uint8_t wide;      // 4-byte headers
    uint32_t bs_byte;  // header size: 2 or 4
};

// A new ring of all_size bytes for messages of at most block_size bytes, or
// nothing: all_size must exceed 2, block_size 2; fewer than 2 slots logs
// "MaxQueueSize=%d <2 error".
rbuf_ctx* rbuf_init(uint64_t all_size, uint32_t block_size);
// 0, or -1 without a ring.
int rbuf_exit(rbuf_ctx* ctx);
// Empties the ring and zeroes every counter: 0, or -1 without a ring.
int rbuf_clear(rbuf_ctx* ctx);

// Takes the lock and reserves the next slot for size bytes (1 to slot size -
// header size), dropping the oldest message when every slot is in use.
// Returns where the message goes, with the lock held; rbuf_unlock publishes
// it. Nothing (no lock held) for a refused size.
uint8_t* rbuf_alloc_lock(rbuf_ctx* ctx, uint32_t size);
// Releases the lock rbuf_alloc_lock took and wakes a waiting reader.
void rbuf_unlock(rbuf_ctx* ctx);
// Puts one message: 0 or -1.
int rbuf_write(rbuf_ctx* ctx, const void* block, uint32_t size);
// Waits (up to twice ms) while rbuf_is_full, then rbuf_write: 0, -2 when the
// wait timed out, -1 on failure or a ring still full.
int rbuf_write_wait(rbuf_ctx* ctx, const void* block, uint32_t size, uint32_t ms);

// Readers. Each takes messages oldest first while the buffer has room for a
// further message of the largest size; the wait forms first wait up to ms
// for a message (0 when none came).
//
// Mode 0 (raw): header and message, for rbuf_raw_next; len >= slot size.
// Mode 1: one message without header; len + header size >= slot size.
// Mode 2: the callback gets every message (under the ring's lock: it must
//         not call the ring); returns 0.
// Mode 3: as many messages as fit, without headers, one after the other.
// Returns the bytes copied, or -1 for bad arguments.
using rbuf_read_fn = void (*)(const uint8_t* msg, uint32_t len, uint64_t slot, uint64_t read_counter);
int64_t rbuf_read_imp(rbuf_ctx* ctx, void* buf, rbuf_read_fn cb, uint64_t len, int mode, uint32_t ms);
int64_t rbuf_read(rbuf_ctx* ctx, void* buf, uint64_t len);
int64_t rbuf_read_wait(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms);
int64_t rbuf_read_cb(rbuf_ctx* ctx, rbuf_read_fn cb);
int64_t rbuf_read_raw(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms);
int64_t rbuf_read_many(rbuf_ctx* ctx, void* buf, uint64_t len);
int64_t rbuf_read_many_wait(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms);

// Counters, copied under the lock.
void rbuf_get_stat(rbuf_ctx* ctx, uint64_t* write_bytes, uint64_t* read_bytes, uint64_t* drop_bytes,
                   uint64_t* write_msgs, uint64_t* read_calls, uint64_t* drop_msgs);
uint64_t rbuf_get_drop_count(rbuf_ctx* ctx);
uint32_t rbuf_get_pending(rbuf_ctx* ctx);
int rbuf_has_dropped(rbuf_ctx* ctx);
int rbuf_is_empty(rbuf_ctx* ctx);
// 1 when a write would leave no free slot (count + 1 >= slot count).
int rbuf_is_full(rbuf_ctx* ctx);

// Walks a buffer filled by rbuf_read_raw. hdr_size is the ring's bs_byte
// (0 is taken as 2, the narrow header).
struct rbuf_raw_cursor {
    const uint8_t* buf;
    uint64_t len;
    uint64_t pos;
    uint32_t hdr_size;
};
// The next message and its length, or nothing at the end of the buffer or
// when a header claims more bytes than the buffer holds.
const uint8_t* rbuf_raw_next(rbuf_raw_cursor* cur, uint32_t* len);
