// Difference recorder: notes where two byte streams differ while a caller
// walks through them range by range.
//
// The caller hands in the same range of both streams one after the other; the
// recorder keeps the stream offset of the next range, counts the differences
// and stores at most a bounded number of them as records of an allocation
// list, in the order found. Byte mode records every differing byte with both
// byte values; block mode (MDIFF_BS_MODE) records one offset per differing
// block. The count goes on after the limit; only storing stops.
//
// The state is MDIFF_ST_SAME until the first stored difference turns it to
// MDIFF_ST_DIFF. A state already saying more (unequal lengths, a failure)
// is not replaced by MDIFF_ST_DIFF, so that a length difference noted early
// stays visible whatever is found later.
//
// A recorder is used by one thread at a time and takes no lock of its own.
#pragma once

#include <cstdint>

struct lbuf_ctx;

// Flag bits. The recorder acts on MDIFF_STOP_AT_LIMIT and MDIFF_BS_MODE;
// other bits are carried and ignored (MDIFF_BYTE_MODE names byte mode).
inline constexpr uint32_t MDIFF_STOP_AT_LIMIT = 1;  // end the walk when the limit is reached
inline constexpr uint32_t MDIFF_BYTE_MODE = 2;
inline constexpr uint32_t MDIFF_BS_MODE = 4;

// States, which are also the results of the compare calls and of
// mem_diff_bs (MDIFF_ST_DIFF is a state only, never a result).
inline constexpr int32_t MDIFF_ST_SAME = 0;           // no difference stored yet
inline constexpr int32_t MDIFF_ST_NOMEM = -1;         // allocating a record failed
inline constexpr int32_t MDIFF_ST_UNEQUAL_LEN = -2;   // the two sides differ in length
inline constexpr int32_t MDIFF_ST_DIFF = -3;          // differences were stored, the walk goes on
inline constexpr int32_t MDIFF_ST_STOP = -4;          // limit reached with MDIFF_STOP_AT_LIMIT

struct mem_diff_ctx {
    uint32_t flag;
    int64_t max_count;  // limit of stored records
    uint8_t full;       // 1 once the count reached the limit: nothing more is stored
    int64_t count;      // differing bytes (byte mode) or blocks (block mode)
    int32_t state;
    uint64_t offset;    // stream offset of the first byte of the next range
    lbuf_ctx* list;     // records, oldest first
    uint64_t len_diff;  // bytes handed in on one side only (unequal lengths)
};

// Item of the list in byte mode.
struct mem_diff_byte_rec {
    uint64_t offset;  // stream offset of the differing byte
    uint8_t first;    // its byte in the first buffer
    uint8_t second;   // its byte in the second buffer
    uint8_t pad[6];
};
static_assert(sizeof(mem_diff_byte_rec) == 16);

// Item of the list in block mode.
struct mem_diff_block_rec {
    uint64_t offset;  // stream offset of the first byte of the differing block
};
static_assert(sizeof(mem_diff_block_rec) == 8);

// A recorder with count 0, state 0, offset 0 and an empty list of 8-byte
// items (MDIFF_BS_MODE) or 16-byte items; nothing when memory runs out.
// A max count of 0 (or below) stores one record, as does 1.
mem_diff_ctx* mem_diff_create(uint32_t flag, int32_t max_count);
// Frees the records, the list and the recorder. 0.
int mem_diff_destroy(mem_diff_ctx* ctx);

// Compares one range of both streams, first as a whole. Results: 0 go on,
// MDIFF_ST_NOMEM, MDIFF_ST_UNEQUAL_LEN or MDIFF_ST_STOP; the caller stops
// walking at any negative result.
//
// Unequal lengths: the common part (the shorter length) is compared and
// recorded like any range and the offset advances over it; the surplus
// bytes of the longer side go to len_diff, and the state and result are
// MDIFF_ST_UNEQUAL_LEN (unless the common part gave NOMEM or STOP).
int32_t mem_diff_cmp(mem_diff_ctx* ctx, const uint8_t* buf1, uint64_t len1, const uint8_t* buf2, uint64_t len2);
// The same, except that byte mode walks the bytes at once, without the
// whole-range comparison: for ranges already known to differ.
int32_t mem_diff_cmp_bytes(mem_diff_ctx* ctx, const uint8_t* buf1, uint64_t len1, const uint8_t* buf2, uint64_t len2);
// Records one differing block of len bytes at the current offset without
// looking at data, and advances the offset over it. Meant for block mode: in
// byte mode the failed check is logged and the block is recorded all the
// same (its offset in a zeroed 16-byte item).
int32_t mem_diff_bs(mem_diff_ctx* ctx, uint64_t len);
// Advances the offset over n bytes known to be equal. 0.
int mem_diff_add_offset(mem_diff_ctx* ctx, uint64_t n);
// Sets the state as the caller says (MDIFF_ST_UNEQUAL_LEN when the two
// sources differ in size). 0.
int mem_diff_set_state(mem_diff_ctx* ctx, int32_t state);
// With a max count of 0: state MDIFF_ST_DIFF and 0; otherwise -1, nothing
// changed.
int32_t mem_diff_continue(mem_diff_ctx* ctx);

int32_t mem_diff_get_state(const mem_diff_ctx* ctx);
lbuf_ctx* mem_diff_get_list(const mem_diff_ctx* ctx);
// Records stored.
uint64_t mem_diff_get_list_count(const mem_diff_ctx* ctx);
// Differences counted, stored or not.
int64_t mem_diff_get_count(const mem_diff_ctx* ctx);
uint64_t mem_diff_get_offset(const mem_diff_ctx* ctx);
// Bytes handed in on one side only.
uint64_t mem_diff_get_len_diff(const mem_diff_ctx* ctx);
// The differences as a percentage of the units walked: unit 1 for byte mode
// (bytes up to the offset), the block size for block mode (ceil(offset /
// unit) blocks). 0 when nothing was walked or unit is 0.
double mem_diff_get_percent(const mem_diff_ctx* ctx, uint64_t unit);
