// The compressed-image library: opens, reads, creates and appends to ".kxz"
// images. The block driver "kxz" over it lives in the block layer.
//
// Reads unpack whole blocks and keep the last one. Writes are append-only,
// one whole block at a time at the image's current length, packed with the
// image's method or handed over already packed. While an image is written
// its offset index grows in the side file "<image>_off"; the finish request
// turns it into the image's trailer.
//
// Every failure is reported in the caller's error record given to kxz_open.
// An image is used by one thread at a time.
#pragma once

#include <cstdint>

#include "libpal/basic/verr.h"

struct kxz_image;

// ---- open and close
// oflag: the os_pf_flags word; 0x2 or 0x4 open for writing (the append flag
// 0x10 reuses an existing side file). An empty file is a new image.
kxz_image* kxz_open(const char* path, uint32_t oflag, verr_info* err);
int kxz_close(kxz_image* img);

// ---- size and position
int64_t kxz_size(kxz_image* img);
int kxz_set_offset(kxz_image* img, int64_t off);
int64_t kxz_get_offset(const kxz_image* img);

// ---- reads (off -1: the current position)
// Unpacked bytes at any offset: the count, 0 at the end, -1. Advances the
// current position by the bytes delivered.
int64_t kxz_pread(kxz_image* img, int64_t off, void* buf, int64_t len);
// The record of the block at off (a multiple of the block length): its
// packed bytes to buf (capacity size) and their count to *zlen; the result is
// the block's unpacked length, 0 at the end, -1. When the packed bytes do not
// fit but the unpacked block does, buf gets the plain block and *zlen is 0.
int64_t kxz_preadz(kxz_image* img, int64_t off, void* buf, int64_t size, int64_t* zlen);
// The unpacked block at off into buf (capacity len): its length, 0, -1.
int64_t kxz_pread_block(kxz_image* img, int64_t off, void* buf, int64_t len);

// ---- writes (off -1: the image's length; any other offset must equal it)
// Packs and appends one block of at most the block length: len or -1.
int64_t kxz_pwrite(kxz_image* img, int64_t off, const void* buf, int64_t len);
// Appends one block already packed (zlen bytes for len unpacked bytes); zlen
// 0 means buf is plain and is packed first. len or -1.
int64_t kxz_pwritez(kxz_image* img, int64_t off, const void* buf, int64_t len, int64_t zlen);
// 1 or 0.
int kxz_sync(kxz_image* img);
int kxz_truncate(kxz_image* img, int64_t len);
// With len other than -1 sets the length; writes the length into the header:
// 1, or 0 on failure.
int kxz_update_len(kxz_image* img, int64_t len);
// The finish request: the side file's entries become the image's trailer and
// the side file is removed. 0 or -1.
int kxz_woff_cache_write_to_file(kxz_image* img);

// ---- header values and flags
uint32_t kxz_get_block_len(const kxz_image* img);
uint32_t kxz_get_pack_type(const kxz_image* img);
uint32_t kxz_get_sector_size(const kxz_image* img);
int kxz_is_new(const kxz_image* img);
// 5 for a final image (its last block is short), else 2.
uint32_t kxz_type_code(const kxz_image* img);
int kxz_set_pack_type(kxz_image* img, uint32_t type);
int kxz_set_sector_size(kxz_image* img, uint32_t size);
int kxz_set_block_len(kxz_image* img, uint32_t len);
