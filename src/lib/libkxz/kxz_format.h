// The bytes of a compressed image: the 64-byte header, the block records,
// the offset trailer and the side file, with their limits.
//
// The magic decides the byte order of every integer in the file: "KXZ0"
// little-endian, "KXZ1" big-endian. A record is the packed length (zlen),
// the packed bytes, zero padding to a multiple of 4 and zlen again; a zlen of
// 0 is a bad block (a record of 8 bytes). A length word with bit 31 set ends
// the records: it starts the trailer.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t KXZ_HEADER_SIZE = 64;
inline constexpr uint32_t KXZ_MAJOR = 1;
inline constexpr uint32_t KXZ_MINOR = 0;
// Readers accept block lengths 1..KXZ_MAX_BLOCK_LEN; images created here
// stay below KXZ_CREATE_BLOCK_LEN.
inline constexpr uint32_t KXZ_MAX_BLOCK_LEN = 0x40000000;
inline constexpr uint32_t KXZ_CREATE_BLOCK_LEN = 0x8000000;
// Default stride of the offset index (uncompressed bytes).
inline constexpr uint32_t KXZ_OFF_BLKSIZE = 0x8000000;
inline constexpr uint32_t KXZ_TRAILER_FLAG = 0x80000000;
inline constexpr uint32_t KXZ_TRAILER_MAX = 0x6400000;
// The side file starts with the image's guid.
inline constexpr size_t KXZ_GUID_SIZE = 16;
inline constexpr size_t KXZ_SIDE_HEAD = KXZ_GUID_SIZE;

// Header field offsets.
enum : size_t {
    KXZ_H_MAGIC = 0,
    KXZ_H_MAJOR = 4,
    KXZ_H_MINOR = 6,
    KXZ_H_PACK_TYPE = 8,
    KXZ_H_BLOCK_LEN = 12,
    KXZ_H_SECTOR_SIZE = 16,
    KXZ_H_FILE_LEN = 24,
    KXZ_H_OFF_BLKSIZE = 32,
    KXZ_H_OFF_CACHE = 40,
    KXZ_H_GUID = 48,
};

// The header in host values.
struct kxz_header {
    char magic[4];
    uint16_t major_ver;
    uint16_t minor_ver;
    uint32_t pack_type;
    uint32_t block_len;
    uint32_t sector_size;
    int64_t file_len;
    uint32_t off_blksize;
    int64_t off_cache;
    uint8_t guid[KXZ_GUID_SIZE];
};

// The swap word of the mem_endian calls for an image byte order (0 little,
// 1 big) on this host.
int kxz_swap(uint32_t endian);
// Header bytes <-> values. decode: 0, or -3 for an unknown magic (endian is
// set from the magic otherwise).
void kxz_header_encode(const kxz_header* h, uint32_t endian, uint8_t out[KXZ_HEADER_SIZE]);
int kxz_header_decode(const uint8_t in[KXZ_HEADER_SIZE], kxz_header* h, uint32_t* endian);

// Bytes a record of zlen packed bytes occupies: round4(zlen) + 8.
constexpr uint64_t kxz_record_size(uint64_t zlen) { return ((zlen + 3) & ~uint64_t{3}) + 8; }
// Zero bytes after the packed data of a record.
constexpr uint64_t kxz_record_pad(uint64_t zlen) { return (4 - (zlen & 3)) & 3; }
// Index stride: off_blksize (0 meaning the default) rounded down to a
// multiple of block_len; 0 (no index) when the block is longer.
constexpr uint64_t kxz_step(uint32_t off_blksize, uint32_t block_len) {
    uint64_t o = off_blksize ? off_blksize : KXZ_OFF_BLKSIZE;
    return block_len ? o - o % block_len : 0;
}
