// Stream-optimized VMDK writer: a sparse image of deflate-compressed grains
// ("createType" "streamOptimized"), written from data that arrives at
// increasing offsets. The writer never reads back what it wrote and never
// rewrites a grain.
//
// Layout (sectors of 512 bytes, integers little-endian): the sparse extent
// header in sector 0 (written last, at close), the descriptor text in
// sectors 1-20, the grain directory from sector 21, then the grain tables
// (4 sectors each), then the grains, each a marker (u64 first sector, u32
// compressed length, one zlib stream) padded to whole sectors, and, once the
// image is complete, a 512-byte end-of-stream marker.
//
// An interrupted copy leaves the image marked incomplete ("kdmv") with resume
// data in its header (bytes done, next free sector, deflate level); a later
// open for writing with the same size continues it at the recorded grain.
//
// Failures fill the caller's error record given at open; results are a
// handle or nothing, byte counts or -1.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

#include "libpal/basic/verr.h"

struct os_file_ctx;

inline constexpr uint32_t VMDK_SECTOR = 512;
inline constexpr uint32_t VMDK_HEADER_SIZE = 512;
inline constexpr uint32_t VMDK_VERSION = 3;
inline constexpr uint32_t VMDK_FLAGS = 0x30001;  // new-line test, compressed grains, markers
inline constexpr uint32_t VMDK_FLAG_NL_TEST = 0x1;
inline constexpr uint32_t VMDK_FLAG_COMPRESSED = 0x10000;
inline constexpr uint32_t VMDK_FLAG_MARKERS = 0x20000;
inline constexpr uint64_t VMDK_GRAIN_SECTORS = 128;
inline constexpr uint32_t VMDK_GTES_PER_GT = 512;
inline constexpr uint64_t VMDK_DESC_OFFSET = 1;
inline constexpr uint64_t VMDK_DESC_SECTORS = 20;
inline constexpr uint16_t VMDK_COMPRESS_DEFLATE = 1;
inline constexpr uint32_t VMDK_MARKER_SIZE = 12;
// Capacity from which the descriptor's cylinder count stays at 65535.
inline constexpr uint64_t VMDK_MAX_CHS_SECTORS = 1052819776;

// Field offsets of the sparse extent header.
enum : uint32_t {
    VMDK_H_MAGIC = 0,
    VMDK_H_VERSION = 4,
    VMDK_H_FLAGS = 8,
    VMDK_H_CAPACITY = 12,
    VMDK_H_GRAIN_SIZE = 20,
    VMDK_H_DESC_OFFSET = 28,
    VMDK_H_DESC_SIZE = 36,
    VMDK_H_GTES_PER_GT = 44,
    VMDK_H_RGD_OFFSET = 48,
    VMDK_H_GD_OFFSET = 56,
    VMDK_H_OVERHEAD = 64,
    VMDK_H_UNCLEAN = 72,
    VMDK_H_NL_CHARS = 73,
    VMDK_H_COMPRESS = 77,
    VMDK_H_DONE = 79,
    VMDK_H_NEXT_FREE = 87,
    VMDK_H_PACK_LEVEL = 91,
};

// Counts that follow from a capacity.
struct vmdk_geometry {
    uint64_t grains;            // G
    uint64_t tables;            // T
    uint64_t dir_sectors;       // D
    uint64_t table_sectors;     // sectors of one grain table
    uint64_t full_grains;       // grains holding grain_size sectors
    uint32_t last_grain_bytes;  // bytes of a last partial grain, 0 when none
};

// One open image.
struct vmdk_ctx {
    // Header fields.
    uint32_t version;
    uint32_t flags;
    uint32_t gtes_per_gt;
    uint16_t compress_algorithm;
    uint8_t unclean_shutdown;
    uint64_t capacity;
    uint64_t grain_size;
    uint64_t desc_offset;
    uint64_t desc_size;
    uint64_t rgd_offset;
    uint64_t gd_offset;
    uint64_t overhead;
    // Resume data of an existing header.
    uint64_t resume_done;
    uint32_t resume_next_sector;
    uint8_t resume_level;

    vmdk_geometry geo;

    // Directory and tables, as written at close: D + T x table_sectors
    // sectors. The entries of the tables follow the directory.
    uint8_t* meta;
    size_t meta_size;

    uint32_t dir_sector;
    uint32_t first_table_sector;
    uint32_t next_free;  // where the next grain goes

    z_stream zs;
    bool zs_init;
    uint8_t* out;  // marker room, then the zlib stream
    size_t out_size;

    os_file_ctx* file;
    char* path;

    uint8_t* grain;       // the grain being filled
    int64_t cur_grain;    // its index, -1 for none
    uint32_t low;         // lowest byte written into it
    uint32_t high;        // highest byte written into it; 0 means empty

    verr_info* err;

    bool is_new;
    bool complete;  // opened with magic "KDMV"

    uint32_t grain_bytes;
    int64_t fsize;     // image size in bytes
    int64_t w_offset;  // the tail: writes go at or after it
    int32_t pack_level;
};

// The counts of a capacity: 0, or -1 when they do not fit the format.
int vmdk_calc_geometry(uint64_t capacity, uint64_t grain_size, uint32_t gtes_per_gt, vmdk_geometry* geo);
// The descriptor's cylinder count for a capacity (255 heads x 63 sectors).
uint32_t vmdk_cylinders(uint64_t capacity);

// URL keys: "fsize" (image size in bytes, required), "sector_size" (only 512),
// "pack_level" (deflate level, default 0: stored grains). A writable oflag
// opens the file read-write; create and truncate stay as asked.
vmdk_ctx* vmdk_open(const char* url, uint32_t oflag, verr_info* err);
// Finishes the image (grains, tables, descriptor, header) and frees the
// handle in every case: 0, or -1.
int vmdk_close(vmdk_ctx* h);
// The image size once complete, else the bytes written so far.
int64_t vmdk_size(vmdk_ctx* h);
uint32_t vmdk_sector_size(vmdk_ctx* h);
// 5 (fixed) for a complete image, 2 (extensible) while writing.
uint32_t vmdk_size_type(vmdk_ctx* h);
// The writer reads nothing: 0.
int64_t vmdk_pread(vmdk_ctx* h, void* buf, int64_t len, int64_t off);
// Takes bytes at or after the tail: the bytes taken, 0 past the image size,
// or -1.
int64_t vmdk_pwrite(vmdk_ctx* h, const void* buf, int64_t len, int64_t off);
int vmdk_sync(vmdk_ctx* h);
