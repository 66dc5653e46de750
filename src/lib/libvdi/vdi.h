// VirtualBox disk images (.vdi): the fixed 512-byte header, the block map
// that places each fixed-size block of the virtual disk in the file (read
// lazily in pages of 1024 entries), and reads and writes of the virtual disk.
// Blocks without data read as zeros.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/basic/verr.h"

struct os_file_ctx;

inline constexpr uint32_t VDI_SIGNATURE = 0xbeda107f;
inline constexpr size_t VDI_HEADER_SIZE = 512;
inline constexpr uint32_t VDI_PAGE_ENTRIES = 1024;
// Largest number of blocks (block map entries) an image may declare.
inline constexpr uint32_t VDI_MAX_BLOCKS = 0x3fffffff;
// Map entries from VDI_BLOCK_DISCARDED up hold no data: the block reads as zeros.
inline constexpr uint32_t VDI_BLOCK_DISCARDED = 0xfffffffe;
inline constexpr uint32_t VDI_BLOCK_FREE = 0xffffffff;

// Header fields (little-endian) by their offset.
enum : uint32_t {
    VDI_OFF_SIGNATURE = 0x40,
    VDI_OFF_IMAGE_TYPE = 0x4c,
    VDI_OFF_MAP = 0x154,
    VDI_OFF_DATA = 0x158,
    VDI_OFF_DISK_SIZE = 0x170,
    VDI_OFF_BLOCK_SIZE = 0x178,
    VDI_OFF_BLOCK_EXTRA = 0x17c,
    VDI_OFF_BLOCKS = 0x180,
    VDI_OFF_ALLOCATED = 0x184,
    VDI_OFF_UUID_LINK = 0x1a8,    // the parent image of a differencing image
    VDI_OFF_UUID_PARENT = 0x1b8,  // the parent's last modification
};

// Image type of a differencing image: its holes belong to a parent.
inline constexpr uint32_t VDI_TYPE_DIFF = 4;

// Reader context. The header fields the reader uses are kept decoded beside
// the header bytes; the header is checked at open, so every block offset the
// map gives stays inside 64 bits.
struct vdi_ctx {
    uint8_t header[VDI_HEADER_SIZE];
    os_file_ctx* file;
    uint64_t pos;             // position in the virtual disk
    uint32_t* map;            // number of blocks entries, host order
    uint8_t* page_bitmap;     // one bit per map page read
    uint8_t* dirty_bitmap;    // one bit per map page changed by writes
    verr_info* err;           // the caller's record (or the context's own)
    uint64_t disk_size;
    uint32_t block_size;
    uint32_t blocks;
    uint32_t allocated;
    uint32_t map_off;
    uint32_t data_off;
    uint8_t writable;
    uint8_t warned_short;     // a truncated image has been reported
    verr_info own_err;
};

// Opens an image with an os_pf_flags word; nothing on failure, with the code
// in err: -8, -147 (no VDI header, or a header that does not hold together)
// or the errno status.
vdi_ctx* vdi_open(const char* path, uint32_t oflag, verr_info* err);
// Writes back the map pages and the header that writes changed, closes the
// file and frees the context. 0, or -1 when the write-back failed.
int vdi_close(vdi_ctx* vdi);
// The size of the virtual disk in bytes; -1 without a context.
int64_t vdi_size(const vdi_ctx* vdi);
// Moves the position (whence 0 from the start, 1 from the position, 2 from
// the disk size); the new position, or -1 when it would lie outside
// [0, disk size).
int64_t vdi_seek(vdi_ctx* vdi, int64_t off, int whence);
// Reads from the position, never past the disk size: the bytes read (0 at
// the end), or -1 with the error record filled.
int64_t vdi_read(vdi_ctx* vdi, void* buf, int64_t len);
// Writes at the position, never past the disk size, giving blocks without
// data a block of their own: the bytes written, or -1.
int64_t vdi_write(vdi_ctx* vdi, const void* buf, int64_t len);
// The file offset of the position's data; 0 for a block without data or a
// position at or past the disk size; -1 (error record filled) when the map
// page cannot be read or the entry points outside the image's blocks.
int64_t vdi_lookup(vdi_ctx* vdi);
