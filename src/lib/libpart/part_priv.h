// Working state and helpers shared by the partition readers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpart/part.h"

// At most this many tables are read in one walk of extended partitions (the
// MBR included), and at most this many Amiga partition blocks.
inline constexpr uint32_t PART_MAX_TABLES = 128;

struct part_ctx {
    bd_dev* dev;
    uint32_t sector_size;
    uint64_t image_size;
    uint8_t* buf;         // one sector
    uint64_t buf_sector;  // the sector buf holds, UINT64_MAX for none
    int64_t last_len;     // bytes of the last sector read
    part_vol* vols;
    uint32_t count;
    uint32_t cap;
    uint32_t scheme;
    bool no_memory;
    // Extended walk: the last table read, the tables read so far and their sectors.
    uint64_t last_ext;
    uint32_t tables;
    uint64_t seen[PART_MAX_TABLES];
};

// Reads sector n into ctx->buf: 1, 0 when the device ends before the sector
// is complete, -2 on a read failure (the device's error record tells why).
int part_read_sector(part_ctx* ctx, uint64_t n);
// Reads len bytes at byte offset off, at any alignment: 1, 0, -2 as above.
int part_read_bytes(part_ctx* ctx, uint64_t off, void* out, size_t len);
// Adds a volume (start and size in sectors); name may be absent.
void part_add_vol(part_ctx* ctx, uint32_t scheme, uint64_t start, uint64_t size, const char* name);

// The scheme readers: each adds what it finds to ctx; -2 on a read failure.
int dvh_get_parts(part_ctx* ctx);
int amiga_get_parts(part_ctx* ctx);
int apple_get_parts(part_ctx* ctx);
int dos_get_parts(part_ctx* ctx);
int gpt_get_parts(part_ctx* ctx);
// One table of an MBR walk at sector, logical starts being relative to it
// and links relative to base. 0, -1 (the walk ended at a damaged table) or -2.
int get_extended_parts(part_ctx* ctx, uint64_t sector, uint64_t base);

inline uint16_t part_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t part_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}
inline uint32_t part_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 |
           p[0];
}
inline uint64_t part_le64(const uint8_t* p) { return static_cast<uint64_t>(part_le32(p + 4)) << 32 | part_le32(p); }
