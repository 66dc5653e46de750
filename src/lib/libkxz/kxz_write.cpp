// Writing an image: appending records, the length in the header, sync and
// truncation, and the header values.
#include <sys/uio.h>

#include <cstring>

#include "libkxz/kxz_priv.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/os/os_file.h"
#include "liblog/log2.h"

namespace {

using ull = unsigned long long;

// Writes one record (length word, packed bytes, padding, length word) at
// append_pos in one call; true on success.
bool write_record(kxz_image* img, const void* data, uint32_t zlen) {
    int s = kxz_swap(img->endian);
    uint8_t head[4];
    uint8_t tail[8] = {};
    mem_set_u32(s, head, 0, zlen);
    uint64_t pad = kxz_record_pad(zlen);
    mem_set_u32(s, tail, static_cast<size_t>(pad), zlen);
    iovec v[3] = {{head, sizeof head}, {const_cast<void*>(data), zlen}, {tail, static_cast<size_t>(pad + 4)}};
    uint64_t total = kxz_record_size(zlen);
    int64_t n = os_file_pwritv(img->file, v, 3, static_cast<int64_t>(img->append_pos));
    return n == static_cast<int64_t>(total);
}

// The side file of a writable image, opened before the first record.
int side_ready(kxz_image* img) {
    if (img->trailer_pending) return kxz_trailer_to_side(img);
    if (img->side_open) return 0;
    if (write_cache_info_init(&img->side, img->side_name, img->hdr.guid, img->endian, img->hdr.off_blksize,
                              img->hdr.block_len, img->header_pending) != 0) {
        KXZ_ERR(img, VERR_WRITE_PROTECT, "side file [%s] error: %s", img->side_name, verr2str(VERR_WRITE_PROTECT));
        return -1;
    }
    img->side_open = 1;
    return 0;
}

// A failed write: the file is cut back to the last whole record.
int64_t write_failed(kxz_image* img) {
    KXZ_ERRNO(img);
    os_file_ftruncate(img->file, static_cast<int64_t>(img->append_pos));
    return -1;
}

// A new image whose block length was never set takes the length of its
// first block.
int default_block_len(kxz_image* img, int64_t len) {
    if (img->hdr.block_len != 0 || !img->header_pending || len <= 0 || len > UINT32_MAX) return 0;
    LOG2(LOG2_DBG, "kxz", "block_len unset: the first block's len=%lld\n", static_cast<long long>(len));
    return kxz_set_block_len(img, static_cast<uint32_t>(len));
}

}  // namespace

int64_t kxz_pwrite(kxz_image* img, int64_t off, const void* buf, int64_t len) {
    if (!img || !buf || len < 0) return -1;
    if (len == 0) return 0;
    if (default_block_len(img, len) != 0) return -1;
    if (len > static_cast<int64_t>(img->hdr.block_len)) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "len=%lld > block_len=%u", static_cast<long long>(len), img->hdr.block_len);
        return -1;
    }
    if (kxz_pack_setup(img) != 0) return -1;
    int64_t z = zcomp_pack(&img->zc, buf, len, img->packed_buf, 2 * len);
    if (z <= 0) {
        KXZ_ERR(img, VERR_GENERAL_FAILURE, "pack of %lld bytes failed ret=%lld", static_cast<long long>(len),
                static_cast<long long>(z));
        return -1;
    }
    return kxz_pwritez(img, off, img->packed_buf, len, z);
}

int64_t kxz_pwritez(kxz_image* img, int64_t off, const void* buf, int64_t len, int64_t zlen) {
    if (!img || !buf || len < 0 || zlen < 0) return -1;
    if (img->final) {
        KXZ_ERR_CODE(img, VERR_WRITE_PROTECT);
        return -1;
    }
    if (!kxz_writable(img)) {
        KXZ_ERR(img, VERR_WRITE_PROTECT, "%s (opened read-only)", verr2str(VERR_WRITE_PROTECT));
        return -1;
    }
    if (zlen == 0) return kxz_pwrite(img, off, buf, len);
    auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    if (off != -1 && static_cast<uint64_t>(off) != file_len) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "Only supports tail write data");
        return -1;
    }
    if (len == 0) return 0;
    if (default_block_len(img, len) != 0) return -1;
    if (img->hdr.block_len == 0 || len > static_cast<int64_t>(img->hdr.block_len)) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "len=%lld > block_len=%u", static_cast<long long>(len), img->hdr.block_len);
        return -1;
    }
    // A record the readers would refuse is never written.
    if (static_cast<uint64_t>(zlen) > kxz_max_zlen(img) || static_cast<uint64_t>(zlen) >= KXZ_TRAILER_FLAG ||
        (img->hdr.pack_type == PACK_NONE && zlen != len)) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "zlen=%lld for len=%lld error", static_cast<long long>(zlen),
                static_cast<long long>(len));
        return -1;
    }
    if (side_ready(img) != 0) return -1;
    if (img->header_pending) {
        uint8_t h[KXZ_HEADER_SIZE];
        kxz_header_encode(&img->hdr, img->endian, h);
        img->append_pos = 0;
        if (!kxz_write_at(img, h, sizeof h, 0)) return write_failed(img);
        img->append_pos = KXZ_HEADER_SIZE;
        img->header_pending = 0;
    }
    if (!write_record(img, buf, static_cast<uint32_t>(zlen))) return write_failed(img);
    img->hdr.file_len += len;
    img->len_dirty = 1;
    if (len < static_cast<int64_t>(img->hdr.block_len)) {
        img->final = 1;
        if (kxz_update_len(img, -1) != 1) {
            img->hdr.file_len -= len;
            img->final = 0;
            return write_failed(img);
        }
    }
    write_cache_info_set(&img->side, file_len, img->append_pos);
    img->append_pos += kxz_record_size(static_cast<uint64_t>(zlen));
    img->offset = file_len + static_cast<uint64_t>(len);
    return len;
}

int kxz_update_len(kxz_image* img, int64_t len) {
    if (!img) return 0;
    if (len != -1) img->hdr.file_len = len;
    // A header not yet written gets the length when it is written.
    if (img->header_pending) {
        img->len_dirty = 0;
        return 1;
    }
    // The records reach the disk before the header counts them.
    if (os_file_fsync(img->file) != 1 ||
        !kxz_write_header_u64(img, KXZ_H_FILE_LEN, static_cast<uint64_t>(img->hdr.file_len))) {
        LOG2(LOG2_DBG, "kxz", "os_file_pwrit 8 error\n");
        KXZ_ERRNO(img);
        return 0;
    }
    img->len_dirty = 0;
    return 1;
}

int kxz_sync(kxz_image* img) {
    if (!img) return 0;
    // An image that was final when opened takes no writes: nothing to flush.
    if (img->final_at_open) {
        KXZ_ERR_CODE(img, VERR_WRITE_PROTECT);
        return 0;
    }
    if (os_file_fsync(img->file) != 1) {
        KXZ_ERRNO(img);
        return 0;
    }
    return 1;
}

int kxz_truncate(kxz_image* img, int64_t len) {
    if (!img) return 0;
    if (len != 0) {
        KXZ_ERR_CODE(img, VERR_NOT_IMPLEMENTED);
        return 0;
    }
    if (os_file_ftruncate(img->file, 0) != 1) {
        KXZ_ERRNO(img);
        return 0;
    }
    // An emptied image is a new image again: its header and side file are
    // written afresh with the first block.
    write_cache_info_close(&img->side);
    img->side_open = 0;
    img->hdr.file_len = 0;
    img->hdr.off_cache = 0;
    img->final = img->final_at_open = 0;
    img->is_new = 1;
    img->header_pending = 1;
    img->trailer_pending = 0;
    img->len_dirty = 0;
    img->at_trailer = 0;
    img->append_pos = 0;
    img->walk_boff = img->walk_foff = 0;
    img->offset = 0;
    img->kept_valid = 0;
    return 1;
}

uint32_t kxz_get_block_len(const kxz_image* img) { return img ? img->hdr.block_len : 0; }
uint32_t kxz_get_pack_type(const kxz_image* img) { return img ? img->hdr.pack_type : 0; }
uint32_t kxz_get_sector_size(const kxz_image* img) { return img ? img->hdr.sector_size : 0; }
int kxz_is_new(const kxz_image* img) { return img && img->is_new ? 1 : 0; }
uint32_t kxz_type_code(const kxz_image* img) { return img && img->final ? 5 : 2; }

int kxz_set_pack_type(kxz_image* img, uint32_t type) {
    if (!img) return -1;
    if (type == img->hdr.pack_type) return 0;
    // The records of an image all use one method.
    if (!img->header_pending) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "pack_type=%u error: the image holds records of pack_type=%u", type,
                img->hdr.pack_type);
        return -1;
    }
    img->hdr.pack_type = type;
    kxz_pack_reset(img);
    return 0;
}

int kxz_set_sector_size(kxz_image* img, uint32_t size) {
    if (!img) return -1;
    img->hdr.sector_size = size;
    return 0;
}

int kxz_set_block_len(kxz_image* img, uint32_t len) {
    if (!img) return -1;
    if (!img->is_new || !img->header_pending) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "block_len=%u error: not a new image", len);
        return -1;
    }
    if (len == 0 || len >= KXZ_CREATE_BLOCK_LEN) {
        LOG2(LOG2_ERR, "kxz", "len=%u error: max=%u\n", len, KXZ_CREATE_BLOCK_LEN);
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "len=%u error: max=%u", len, KXZ_CREATE_BLOCK_LEN);
        return -1;
    }
    if (len != img->hdr.block_len) kxz_pack_reset(img);
    img->hdr.block_len = len;
    return 0;
}
