// The cache file ("cache_wfile"): a copy-on-write cache in front of a base
// device. The base is opened read-only and never written; every write lands
// in the cache, one whole block at a time, and reads take a block from the
// cache when it holds one, else from the base.
//
// Cache file layout (integers in the byte order its magic names):
//   0   4  magic "KXI0" (little-endian) or "KXI1" (big-endian)
//   4   2  major version 1
//   6   2  minor version 0
//   8   4  sector size
//   12  4  block size
//   16  8  size of the base device in bytes
//   24  8 x count  block table: file offset of block i, 0 = not cached
//   then whole blocks in the order they were first written.
//
// Log tag "kxi". One thread per handle.
#pragma once

#include <cstdint>

#include "libpal/basic/verr.h"

struct bd_dev;
struct os_file_ctx;

inline constexpr uint16_t FCACHE_MAJOR = 1;
inline constexpr uint16_t FCACHE_MINOR = 0;
inline constexpr uint32_t FCACHE_HEAD_SIZE = 24;
inline constexpr uint32_t FCACHE_BLOCK_SIZE = 0x100000;
// The largest block size an existing cache file may declare.
inline constexpr uint32_t FCACHE_BLOCK_SIZE_MAX = 0x4000000;
// How deep cache images may stand on one another (a project whose raw file is
// a project ...).
inline constexpr int FCACHE_MAX_NESTING = 4;

// What the cache-image driver hands to libfcache_open.
struct fcache_open_param {
    const char* raw_file;    // URL or path of the base
    const char* url;         // the full URL of the open
    const char* cache_file;  // "" for the default name, "memory" for a cache in memory
    const char* proj_file;   // the project file, none for a "wcache" open
    const char* query;       // the project URL's query text, else ""
    uint32_t oflag;          // os_pf_flags of the open
    uint32_t cache_read;     // cache the blocks that are read
    uint64_t opaque;         // the caller's parameter, passed on to the base open
    verr_info* err;          // the device's error record
};

// The header as read or made, in host values.
struct fcache_head {
    char magic[4];
    uint16_t major;
    uint16_t minor;
    uint32_t sector_size;
    uint32_t block_size;
    uint64_t file_size;
};

inline constexpr uint8_t FCACHE_ENDIAN_NONE = 0xff;

struct fcache_ctx {
    uint8_t cache_read;
    verr_info* err;
    bd_dev* base;
    os_file_ctx* file;  // none in memory mode or for a read-only open without a cache file
    fcache_head head;
    uint8_t memory;
    uint8_t is_new;     // header and table not yet on disk
    uint8_t read_only;
    uint8_t endian;     // 0 little, 1 big, FCACHE_ENDIAN_NONE until known
    uint64_t* table;    // file offset of each block, or in memory mode the block's memory
    int64_t count;
    uint8_t* block_buf; // one block (page-aligned), where a new block is put together before it is written
};

// The handle, or none with p->err filled.
fcache_ctx* libfcache_open(const fcache_open_param* p);
// Closes the base and the cache file and frees everything; nothing is
// written (the cache file is complete after every write). 0.
int libfcache_close(fcache_ctx* h);
// Bytes read or written (len), or -1 with the error record filled. off and
// len are whole sectors inside the base; only a final piece that ends exactly
// at the base's end may be shorter.
int64_t libfcache_pread(fcache_ctx* h, void* buf, int64_t len, int64_t off);
int64_t libfcache_pwrite(fcache_ctx* h, const void* buf, int64_t len, int64_t off);
// The cache file's sync: 0, or -1 with the error record filled. Nothing to do
// (0) without a cache file.
int libfcache_sync(fcache_ctx* h);
int64_t libfcache_size(const fcache_ctx* h);
uint32_t libfcache_sector_size(const fcache_ctx* h);

// The 24-byte header: encode in the byte order its magic names; decode sets
// *endian from the magic (0 little, 1 big) and gives 0, or -1 for an unknown
// magic.
void fcache_head_encode(const fcache_head* head, uint8_t out[FCACHE_HEAD_SIZE]);
int fcache_head_decode(const uint8_t in[FCACHE_HEAD_SIZE], fcache_head* head, uint8_t* endian);
