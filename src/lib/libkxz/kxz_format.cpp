// Header bytes of a compressed image.
#include "libkxz/kxz_format.h"

#include <cstring>

#include "libpal/memory/mem_endian.h"

int kxz_swap(uint32_t endian) { return mem_swap_of(endian != 0); }

void kxz_header_encode(const kxz_header* h, uint32_t endian, uint8_t out[KXZ_HEADER_SIZE]) {
    int s = kxz_swap(endian);
    memset(out, 0, KXZ_HEADER_SIZE);
    memcpy(out + KXZ_H_MAGIC, h->magic, 4);
    mem_set_u16(s, out, KXZ_H_MAJOR, h->major_ver);
    mem_set_u16(s, out, KXZ_H_MINOR, h->minor_ver);
    mem_set_u32(s, out, KXZ_H_PACK_TYPE, h->pack_type);
    mem_set_u32(s, out, KXZ_H_BLOCK_LEN, h->block_len);
    mem_set_u32(s, out, KXZ_H_SECTOR_SIZE, h->sector_size);
    mem_set_u64(s, out, KXZ_H_FILE_LEN, static_cast<uint64_t>(h->file_len));
    mem_set_u32(s, out, KXZ_H_OFF_BLKSIZE, h->off_blksize);
    mem_set_u64(s, out, KXZ_H_OFF_CACHE, static_cast<uint64_t>(h->off_cache));
    memcpy(out + KXZ_H_GUID, h->guid, KXZ_GUID_SIZE);
}

int kxz_header_decode(const uint8_t in[KXZ_HEADER_SIZE], kxz_header* h, uint32_t* endian) {
    uint32_t e;
    if (memcmp(in, "KXZ0", 4) == 0) e = 0;
    else if (memcmp(in, "KXZ1", 4) == 0) e = 1;
    else return -3;
    int s = kxz_swap(e);
    memcpy(h->magic, in + KXZ_H_MAGIC, 4);
    h->major_ver = mem_get_u16(s, in, KXZ_H_MAJOR);
    h->minor_ver = mem_get_u16(s, in, KXZ_H_MINOR);
    h->pack_type = mem_get_u32(s, in, KXZ_H_PACK_TYPE);
    h->block_len = mem_get_u32(s, in, KXZ_H_BLOCK_LEN);
    h->sector_size = mem_get_u32(s, in, KXZ_H_SECTOR_SIZE);
    h->file_len = static_cast<int64_t>(mem_get_u64(s, in, KXZ_H_FILE_LEN));
    h->off_blksize = mem_get_u32(s, in, KXZ_H_OFF_BLKSIZE);
    h->off_cache = static_cast<int64_t>(mem_get_u64(s, in, KXZ_H_OFF_CACHE));
    memcpy(h->guid, in + KXZ_H_GUID, KXZ_GUID_SIZE);
    *endian = e;
    return 0;
}
