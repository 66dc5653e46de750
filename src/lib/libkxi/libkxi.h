// The cache image: a copy-on-write cache in front of any device, reached as
// the "kxi" block driver. It takes
//   - any device URL whose query has the key "wcache" (the value names the
//     cache file: empty for the default name in the cache directory
//     KX_CACHE, "memory" for a cache in memory), and
//   - a local path ending ".kxi": a project file written earlier.
//
// Project file (ini):
//   [base]
//   type=cache_wfile
//
//   [cache_wfile]
//   raw_file=<the base device's URL or path>
//   cache_file=<the cache file; relative names are taken in the project's directory>
//
// The driver's functions forward to the cache table "cache_wfile" (see
// fcache.h). Log tag "kxi".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libkxi/fcache.h"
#include "libpal/basic/verr.h"

// The cache table: the operations the driver's functions forward to.
struct kxi_cache_drv {
    const char* name;
    fcache_ctx* (*open)(const fcache_open_param* p);
    int (*close)(fcache_ctx* h);
    int64_t (*size)(const fcache_ctx* h);
    uint32_t (*sector_size)(const fcache_ctx* h);
    int64_t (*pread)(fcache_ctx* h, void* buf, int64_t len, int64_t off);
    int64_t (*pwrite)(fcache_ctx* h, const void* buf, int64_t len, int64_t off);
    int (*sync)(fcache_ctx* h);
};

// Stores the "cache_wfile" table (at the driver's registration).
void kxi_cache_drv_init();
// The stored table, none before kxi_cache_drv_init.
const kxi_cache_drv* kxi_cache_drv_get();

// ---- the driver's functions (internal plugin slots)
// (url as resolved by the block layer, open flags, the caller's parameter,
// the device's error record, the URL as the caller gave it) -> handle, or
// none with the record filled.
void* kxi_open(const char* url, uint32_t oflag, uint64_t opaque, verr_info* err, const char* full_url);
int kxi_close(void* h);
int64_t kxi_size(void* h);
uint32_t kxi_sector_size(void* h);
int64_t kxi_pread(void* h, void* buf, int64_t len, int64_t off);
int64_t kxi_pwrite(void* h, const void* buf, int64_t len, int64_t off);
int kxi_sync(void* h);

// Writes a project file (parent directories created): 0, or -1 with errno
// set (EINVAL for a value that holds a line break and cannot be stored).
int kxi_create_wcache_proj(const char* proj_path, const char* raw_url, const char* cache_path);
// The default cache file name of a text: "%KX_CACHE%\<crc32 in lower-case
// hex>.cache", expanded from the environment and normalised. 0, or -1 when
// it does not fit out.
int kxi_default_cache_name(const char* text, char* out, size_t size);
