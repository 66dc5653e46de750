// Block queue: fixed-size blocks handed from one producer thread to one
// consumer thread, filled and read in place.
//
// The queue serves one batch of at most max_count blocks: the producer
// resets it, takes and commits blocks, then waits until the consumer has
// released every one; the indices only grow within the batch. Count, indices
// and lengths change under the queue's lock, and the waits test their state
// under it, so a commit or release is never missed and a block is never seen
// before it is committed.
//
// Typical use:
//   producer: mbuf_reset; per block mbuf_get_write_block, fill,
//             mbuf_alloc_unref(size); then mbuf_wait_empty(1) until 1.
//   consumer: mbuf_get_read_block(&len, 1); use; mbuf_release.
#pragma once

#include <cstdint>

struct os_mutex;
struct os_cond;

struct mbuf_ctx {
    uint64_t all_size;    // bytes of the data area
    uint64_t block_size;  // bytes of one block
    uint64_t count;       // blocks committed and not yet released
    uint64_t max_count;   // all_size / block_size
    uint8_t* data;
    uint8_t* last_block;  // the last committed block shorter than block_size
    uint64_t last_len;
    uint32_t read_idx;   // next block to read
    uint32_t write_idx;  // next block to fill
    os_mutex* lock;
    os_cond* committed;  // signalled when a block is committed
    os_cond* consumed;   // signalled when a block is released
    uint32_t* lens;      // committed length of every block of the batch
    uint8_t woken;       // set by mbuf_wake_reader until a read wait takes it
};

// A new queue, or nothing: all_size must exceed 2 and block_size be
// non-zero; a block_size above all_size logs "max_queue_size=%d <=0 error".
mbuf_ctx* mbuf_init(uint64_t all_size, uint32_t block_size);
// 0, or -1 without a queue.
int mbuf_exit(mbuf_ctx* ctx);
// Empties the queue for the next batch (under the lock).
void mbuf_reset(mbuf_ctx* ctx);

// Producer side.
// The block at write_idx, or nothing when the queue is full or the batch has
// used every block.
uint8_t* mbuf_get_write_block(mbuf_ctx* ctx);
// Commits the block just filled with size bytes (1 to block_size): 0, or -1
// when the size is refused or no block was free.
int mbuf_alloc_unref(mbuf_ctx* ctx, uint64_t size);
// Copies size bytes into the next block and commits it: 0 or -1.
int mbuf_write(mbuf_ctx* ctx, const void* block, uint64_t size);
// mbuf_write after waiting up to twice ms for a free block: 0 or -1.
int mbuf_write_wait(mbuf_ctx* ctx, const void* block, uint64_t size, uint32_t ms);
// 1 when no further block can be taken in this batch, else 0.
int mbuf_is_full(mbuf_ctx* ctx);
// 1 when every committed block has been read (read_idx >= write_idx).
int mbuf_is_empty(mbuf_ctx* ctx);
// Waits up to ms for the queue to become empty: 1 empty, 0 not.
int mbuf_wait_empty(mbuf_ctx* ctx, uint32_t ms);

// Consumer side.
// The block at read_idx and its committed length, or nothing.
uint8_t* mbuf_peek(mbuf_ctx* ctx, uint64_t* len);
// Waits up to ms for a committed block, then mbuf_peek.
uint8_t* mbuf_get_read_block(mbuf_ctx* ctx, uint64_t* len, uint32_t ms);
// Ends the reader's current or next wait in mbuf_get_read_block at once,
// with or without a block (to make it look at a stop flag).
void mbuf_wake_reader(mbuf_ctx* ctx);
// Releases the block at read_idx: 0, or -1 when none was committed.
int mbuf_release(mbuf_ctx* ctx);
// Copies the next block into buf (len must be at least block_size) and
// releases it: the bytes read, 0 when no block came within ms, -1 for bad
// arguments.
int64_t mbuf_read_wait(mbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms);
