// The pattern writer: fills a range of a target with one repeated byte or
// with random bytes, in pieces of at most the buffer size, through a
// positioned write call.
#pragma once

#include <cstdint>

#include "libpal/basic/verr.h"

inline constexpr int32_t PWRITEX_RANDOM = 256;  // value: fresh random bytes for every piece

// (target, buffer, length, offset) -> bytes written or a negative status.
using pwritex_write_fn = int64_t (*)(void* target, const void* buf, int64_t len, int64_t off);
// (target, error record): fills the record after a failed write call.
using pwritex_error_fn = int (*)(void* target, verr_info* err);

// The caller sets pwrite, vperror and verr before pwritex_init; a zeroed
// record is a valid empty writer. Without a write call the target is an
// os_file_ctx written with os_file_pwrit.
struct pwritex_ctx {
    int32_t value;  // 0-255 a fill byte, 256 random bytes
    void* target;
    uint8_t* buf;
    uint64_t size;  // buffer size, the piece size
    pwritex_write_fn pwrite;
    pwritex_error_fn vperror;
    verr_info* verr;
    // The byte the whole buffer holds, or -1 when it holds random bytes.
    int32_t filled;
};

// Makes the buffer of size bytes for value: 0, or -1 with the error record
// filled (no memory, a value outside 0-256, a size of 0).
int pwritex_init(pwritex_ctx* ctx, void* target, int32_t value, uint64_t size);
// Writes len bytes of the pattern from off (-1: the target's current
// position, for every piece). The bytes written (fewer after a short write),
// or -1 with the error record filled.
int64_t pwritex_exec(pwritex_ctx* ctx, int64_t len, int64_t off);
// One positioned write of size bytes of a pattern to target, growing the
// buffer as needed: the write's result, -8 without memory, -2 for a value
// outside 0-256.
int64_t pwritex_write(pwritex_ctx* ctx, void* target, int32_t value, uint64_t size, int64_t off);
// Frees the buffer. 0.
int pwritex_free(pwritex_ctx* ctx);
