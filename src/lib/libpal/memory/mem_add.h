// Per-position accumulator of block digests: every digest added is kept as
// the record of its block and each of its bytes is added to the 32-bit sum
// of its position. The digest over all blocks is the CRC-8 of each sum.
// Additions are serialised on the accumulator's lock, so pool tasks may add
// their digests concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_mutex;

struct mem_add_ctx {
    int32_t n;        // digest size
    int32_t r_count;  // record slots
    uint32_t* sums;   // n sums
    uint8_t* records;  // r_count records of n bytes; absent when r_count is 0
    char* hex;        // one record as text: 2n + 1 bytes
    size_t hex_size;
    size_t sums_size;     // bytes of sums
    int32_t now_r_count;  // records added since the last clearing
    uint64_t total;       // records ever added
    os_mutex* lock;
};

// A new accumulator with zero sums, or nothing. A saved sums text (as
// mem_add_get_sum writes it) that is given and not empty is loaded; when it
// cannot be, "set_sum [%s] failed" is logged and the result is nothing, so
// that a digest never silently restarts from zero.
mem_add_ctx* mem_add_malloc(int32_t n, int32_t r_count, const char* saved);
void mem_add_free(mem_add_ctx* ctx);

// Adds an n-byte digest as record r_idx (0 to r_count - 1). An r_idx outside
// that range is logged and the record is not stored; its bytes still go to
// the sums.
void mem_add_buf(mem_add_ctx* ctx, const void* digest, int32_t r_idx);

// Byte i of out = CRC-8 (from 0) of the four little-endian bytes of sums[i]:
// 0, or -1 when size < n.
int mem_add_get_digest(mem_add_ctx* ctx, void* out, size_t size);
// The sums as "%x" fields separated by ",": 0, or -1 with an empty text when
// they do not fit.
int mem_add_get_sum(mem_add_ctx* ctx, char* text, size_t size);
// Loads sums from such a text: exactly n hexadecimal fields (the low 32 bits
// of each kept), else -1 with the sums unchanged. The record count returns to
// 0 in both cases.
int mem_add_set_sum(mem_add_ctx* ctx, const char* text);
// The records added since the last clearing, each as upper-case hexadecimal,
// separated by "|": 0, or -1 with an empty text when they do not fit.
int mem_add_get_record(mem_add_ctx* ctx, char* text, size_t size);
// Sums and record count to 0.
void mem_add_clear_sum(mem_add_ctx* ctx);
// Record count to 0.
void mem_add_clear_record(mem_add_ctx* ctx);
uint64_t mem_add_get_total(mem_add_ctx* ctx);

// What an accumulator has added up at one moment, to go back to it: its
// sums and counters. The records are not kept: going back also takes back
// every record added since.
inline constexpr int32_t MEM_ADD_MARK_MAX = 64;  // digest bytes a mark holds
struct mem_add_mark {
    int32_t n;  // 0: nothing marked
    uint32_t sums[MEM_ADD_MARK_MAX];
    int32_t now_r_count;
    uint64_t total;
};
// Takes the mark: 0, or -1 (mark empty) for a digest longer than a mark holds.
int mem_add_mark_take(mem_add_ctx* ctx, mem_add_mark* mark);
// Returns the accumulator to the mark taken from it: 0, or -1 (nothing
// changed) for an empty mark or one of another digest size.
int mem_add_mark_restore(mem_add_ctx* ctx, const mem_add_mark* mark);
