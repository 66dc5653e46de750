// Reading a source for the hash and byte-count jobs: the caller's read call
// (or the file layer's positional read) and a read cache in front of it, so
// that small blocks are read in large pieces.
#pragma once

#include <cstdint>

#include "libpal/basic/verr.h"

// (argument, buffer, length, offset) -> bytes read, 0 at the end of the
// data, negative on failure. Absent: the argument is an os_file_ctx read
// with os_file_pread.
using file_read_fn = int64_t (*)(void* arg, void* buf, int64_t len, int64_t off);
// (argument, error record): puts the caller's explanation of a failed read
// into the record.
using file_error_fn = int (*)(void* arg, verr_info* err);

inline constexpr uint64_t READ_CACHE_SIZE = 0x200000;  // 2 MiB

// One call of the read function: what it returns. A result above len is a
// broken read call; it is refused as -1 (errno EIO).
int64_t file_read_once(file_read_fn fn, void* arg, void* buf, uint64_t len, int64_t off);
// Repeats the read call until len bytes are in or the data ends: the bytes
// read (fewer only at the end of the data), or the failing call's negative
// result (errno as it left it).
int64_t file_read_full(file_read_fn fn, void* arg, void* buf, uint64_t len, int64_t off);

struct read_cache_param {
    uint64_t size;   // 0: READ_CACHE_SIZE
    int64_t total;   // size of the source; 0 when unknown (read to the end of the data)
    file_read_fn pread;
    void* arg;
};

struct read_cache {
    uint64_t size;  // bytes of data
    uint8_t* data;
    uint64_t pos;   // index of the next unread cached byte
    uint64_t len;   // filled length (0: empty)
    int64_t total;  // size of the source, 0 unknown
    int64_t off;    // source offset of data[0]
    void* arg;
    file_read_fn pread;
};

// A new empty cache, or nothing without memory.
read_cache* read_cache_new(const read_cache_param* param);
void read_cache_free(read_cache* cache);
// Drops the cached bytes.
void read_cache_reset(read_cache* cache);
// Reads len bytes at off, from the cache where it holds them and otherwise
// in pieces of the cache size; a len of at least the cache size is read
// directly. A known total size is never read past. Returns the bytes read
// (fewer only at the end of the data, 0 at or past it) or the failing read
// call's negative result, errno as that call left it.
int64_t read_cache_pread(read_cache* cache, void* buf, uint64_t len, int64_t off);
// Reads len bytes at off straight into buf, bypassing and dropping the
// cache (for reads large enough on their own); a known total size is never
// read past. Results as read_cache_pread.
int64_t read_cache_pread_direct(read_cache* cache, void* buf, uint64_t len, int64_t off);
