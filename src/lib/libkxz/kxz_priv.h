// The image context and the helpers shared by the library's files.
#pragma once

#include <cstdint>

#include "libkxz/kxz.h"
#include "libkxz/kxz_format.h"
#include "libkxz/kxz_index.h"
#include "libpack/pack.h"
#include "libpal/basic/verr.h"

struct os_file_ctx;

struct kxz_image {
    os_file_ctx* file;
    uint32_t oflag;   // the flags the file was opened with
    uint32_t endian;  // 0 "KXZ0" (little-endian), 1 "KXZ1"
    verr_info* err;   // the caller's error record
    char* side_name;  // the image path followed by "_off"
    uint8_t final;    // file_len is not a multiple of block_len: no more writes
    uint8_t is_new;   // this open created the image
    uint8_t header_pending;
    uint8_t cache_loaded;
    uint8_t at_trailer;
    uint8_t side_open;
    uint8_t len_dirty;
    // A writable image whose trailer is still in place: the next record first
    // moves the trailer's entries into a new side file and cuts the trailer.
    uint8_t trailer_pending;
    // The image was already final when it was opened.
    uint8_t final_at_open;
    uint64_t append_pos;  // file offset of the next record
    uint64_t walk_foff;   // the record walker: file and uncompressed offset of the next record
    uint64_t walk_boff;
    uint64_t offset;      // current uncompressed position
    kxz_header hdr;
    // packing
    uint8_t pack_ready;
    zcomp_ctx zc;
    uint8_t* block_buf;   // block_len bytes
    uint8_t* packed_buf;  // 2 x block_len bytes
    uint8_t kept_valid;
    uint64_t kept_off;
    uint64_t kept_len;
    off_cache cache;
    side_writer side;
};

// The image is open for writing.
inline bool kxz_writable(const kxz_image* img) { return (img->oflag & 0x6) != 0; }
// Largest packed length of a record: 2 x block_len.
inline uint64_t kxz_max_zlen(const kxz_image* img) { return uint64_t{img->hdr.block_len} * 2; }

// Error records: a fixed code with a text, or errno with the system's text.
void kxz_err_set(kxz_image* img, const char* file, uint32_t line, const char* func, int32_t code, const char* fmt, ...)
    __attribute__((format(printf, 6, 7)));
void kxz_err_errno(kxz_image* img, const char* file, uint32_t line, const char* func);
#define KXZ_ERR(img, code, ...) kxz_err_set((img), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
#define KXZ_ERR_CODE(img, code) kxz_err_set((img), __FILE__, __LINE__, __func__, (code), "%s", verr2str(code))
#define KXZ_ERRNO(img) kxz_err_errno((img), __FILE__, __LINE__, __func__)

// Exact transfers on the image file: true when all len bytes moved.
bool kxz_read_at(kxz_image* img, void* buf, uint64_t len, uint64_t off);
bool kxz_write_at(kxz_image* img, const void* buf, uint64_t len, uint64_t off);
// A 32-bit or 64-bit word of the image at off, in its byte order: 1 read, 0
// the file ends before it, -1 failure (errno set).
int kxz_read_u32(kxz_image* img, uint64_t off, uint32_t* v);
// Writes a 64-bit header field in the image's byte order; true on success.
bool kxz_write_header_u64(kxz_image* img, size_t field, uint64_t v);

// Packing set-up on the first read or write: 0 or -1.
int kxz_pack_setup(kxz_image* img);
// Drops the packing state (after the pack type or block length changed).
void kxz_pack_reset(kxz_image* img);
// Unpacks exactly n bytes into dst: 0, or -1 with error -250.
int kxz_unpack_exact(kxz_image* img, const void* src, uint64_t zlen, void* dst, uint64_t n);

// The record walker: the record of the block at off (-1: the walker's
// position). With dst it reads the packed bytes into dst (capacity cap);
// a record longer than cap gives -2 without moving the walker, and no
// error record. Result: the block's unpacked length, 0 at the end, -1.
int64_t kxz_preadz_imp(kxz_image* img, int64_t off, void* dst, uint64_t cap, uint64_t* zlen, bool read_data);

// Open for writing an image that exists and is not final: check the records
// against the header, the side file and the trailer, cut a torn tail and
// bring the length and the side file up to date. reuse_side: keep the
// entries of an existing side file (else it is created afresh). 0 or -1.
int kxz_open_for_append(kxz_image* img, bool reuse_side);
// Moves a kept trailer's entries into a new side file and cuts the trailer
// off, so that records can follow. 0 or -1.
int kxz_trailer_to_side(kxz_image* img);
