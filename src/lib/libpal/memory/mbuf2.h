// Equal-block buffer: the blocks of one chunk, handed out one by one to pool
// tasks. One thread hands the blocks out (no lock); each task owns its block
// until the chunk is done, then the owner resets the buffer.
#pragma once

#include <cstdint>

// One block: the buffer fills the pointer, the caller the rest.
struct mbuf2_block {
    uint8_t* ptr;
    uint64_t len;
    uint64_t idx;
    void* owner;
};

struct mbuf2_ctx {
    uint64_t block_size;
    uint64_t max_idx;    // all_size / block_size, rounded down
    uint64_t alloc_idx;  // next block to hand out
    uint8_t* data;       // ceil(all_size / block_size) blocks
    mbuf2_block* blocks;
};

// A new buffer, or nothing: all_size must exceed 2 and block_size be non-zero.
mbuf2_ctx* mbuf2_init(uint64_t all_size, uint32_t block_size);
// The next block record with its pointer set, or nothing (an assertion
// message) when every block has been handed out.
mbuf2_block* mbuf2_get_block(mbuf2_ctx* ctx);
void mbuf2_reset(mbuf2_ctx* ctx);
void mbuf2_exit(mbuf2_ctx* ctx);
