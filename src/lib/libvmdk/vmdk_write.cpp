// Tail writes into grains, grain compression, and the close that writes the
// tables, the descriptor and the header.
#include <algorithm>
#include <cstring>

#include "libpal/os/os_file.h"
#include "liblog/log2.h"
#include "libvmdk/vmdk_priv.h"

namespace {

constexpr int64_t k_no_grain = -1;

// Bytes of a grain: a whole grain, the last partial one, or 0 past the end.
uint32_t grain_len(const vmdk_ctx* h, uint64_t grain) {
    if (grain < h->geo.full_grains) return h->grain_bytes;
    if (grain == h->geo.full_grains) return h->geo.last_grain_bytes;
    return 0;
}

bool all_zero(const uint8_t* p, size_t len) {
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        if (w) return false;
    }
    for (; i < len; ++i)
        if (p[i]) return false;
    return true;
}

// Completes the current grain with zeros before and after the bytes written,
// so that the buffer holds the whole grain from its start.
int fill_grain(vmdk_ctx* h) {
    uint64_t g = static_cast<uint64_t>(h->cur_grain);
    if (vmdk_gte(h, g) != 0) {
        LOG2(LOG2_ERR, VMDK_TAG, "Unimplemented read-modify-write.\n");
        VMDK_ERR(h, VERR_NOT_IMPLEMENTED, "Unimplemented read-modify-write.");
        return -1;
    }
    uint32_t len = grain_len(h, g);
    if (h->low > 0) memset(h->grain, 0, std::min(h->low, len));
    if (h->high < len) memset(h->grain + h->high, 0, len - h->high);
    h->low = 0;
    h->high = len;
    return 0;
}

// Compresses the current grain and writes it behind the last one. A grain of
// zeros is left out: its table entry stays 0. The entry is set only once the
// grain is on disk, so a failed write can be tried again.
int flush_grain(vmdk_ctx* h) {
    if (h->cur_grain == k_no_grain || h->high == 0) return 0;
    if (fill_grain(h) != 0) return -1;
    uint64_t g = static_cast<uint64_t>(h->cur_grain);
    if (vmdk_gte(h, g) != 0) {
        LOG2(LOG2_ERR, VMDK_TAG, "Cannot update already written grain\n");
        VMDK_ERR(h, VERR_ALREADY_EXISTS, "Cannot update already written grain");
        return -1;
    }
    uint32_t len = h->high;
    if (all_zero(h->grain, len)) {
        h->high = 0;
        return 0;
    }
    if (deflateReset(&h->zs) != Z_OK) {
        LOG2(LOG2_ERR, VMDK_TAG, "DeflateReset failed\n");
        VMDK_ERR(h, VERR_GENERAL_FAILURE, "DeflateReset failed");
        return -1;
    }
    h->zs.next_in = h->grain;
    h->zs.avail_in = len;
    h->zs.next_out = h->out + VMDK_MARKER_SIZE;
    h->zs.avail_out = static_cast<uInt>(h->out_size - VMDK_MARKER_SIZE);
    if (deflate(&h->zs, Z_FINISH) != Z_STREAM_END) {
        LOG2(LOG2_ERR, VMDK_TAG, "Deflate failed\n");
        VMDK_ERR(h, VERR_GENERAL_FAILURE, "Deflate failed");
        return -1;
    }
    size_t clen = h->out_size - VMDK_MARKER_SIZE - h->zs.avail_out;
    mem_set_u64(0, h->out, 0, g * h->grain_size);
    mem_set_u32(0, h->out, 8, static_cast<uint32_t>(clen));
    size_t total = VMDK_MARKER_SIZE + clen;
    size_t padded = (total + VMDK_SECTOR - 1) / VMDK_SECTOR * VMDK_SECTOR;
    memset(h->out + total, 0, padded - total);
    // Sector numbers are 32 bits wide: past them the image cannot grow.
    uint64_t sectors = padded / VMDK_SECTOR;
    if (static_cast<uint64_t>(h->next_free) + sectors > UINT32_MAX) {
        LOG2(LOG2_ERR, VMDK_TAG, "next_free=%u: the image has no room for grain %llu\n", h->next_free,
             static_cast<unsigned long long>(g));
        VMDK_ERR(h, VERR_DISK_FULL, "%s", verr2str(VERR_DISK_FULL));
        return -1;
    }
    if (vmdk_safe_write(h, h->out, padded, static_cast<int64_t>(h->next_free) * VMDK_SECTOR) != 0) return -1;
    vmdk_set_gte(h, g, h->next_free);
    h->next_free += static_cast<uint32_t>(sectors);
    h->high = 0;
    return 0;
}

int sync_file(vmdk_ctx* h) {
    if (os_file_fsync(h->file) == 1) return 0;
    VMDK_ERRNO(h);
    return -1;
}

// Writes what the image needs besides its grains. done: where a later open
// continues (ignored once complete).
int write_metadata(vmdk_ctx* h, bool complete, uint64_t done) {
    if (complete) {
        uint8_t eos[VMDK_SECTOR] = {};
        if (vmdk_safe_write(h, eos, sizeof eos, static_cast<int64_t>(h->next_free) * VMDK_SECTOR) != 0) return -1;
    }
    if (vmdk_safe_write(h, h->meta, h->meta_size, static_cast<int64_t>(h->dir_sector) * VMDK_SECTOR) != 0) return -1;
    if (h->is_new) {
        uint8_t desc[VMDK_DESC_SECTORS * VMDK_SECTOR];
        if (vmdk_build_descriptor(h, desc, sizeof desc) != 0) {
            VMDK_ERR(h, VERR_BUFFER_OVERFLOW, "%s", verr2str(VERR_BUFFER_OVERFLOW));
            return -1;
        }
        if (vmdk_safe_write(h, desc, sizeof desc, static_cast<int64_t>(h->desc_offset) * VMDK_SECTOR) != 0) return -1;
    }
    // Grains and tables reach the disk before the header that points at them.
    if (sync_file(h) != 0) return -1;
    uint8_t head[VMDK_HEADER_SIZE];
    vmdk_encode_header(h, complete, done, head);
    if (vmdk_safe_write(h, head, sizeof head, 0) != 0) return -1;
    if (sync_file(h) != 0) return -1;
    // Anything an earlier, longer attempt left behind the end marker goes.
    if (complete && os_file_ftruncate(h->file, (static_cast<int64_t>(h->next_free) + 1) * VMDK_SECTOR) != 1) {
        VMDK_ERRNO(h);
        return -1;
    }
    return 0;
}

}  // namespace

int64_t vmdk_pwrite(vmdk_ctx* h, const void* buf, int64_t len, int64_t off) {
    if (!h || (!buf && len > 0) || len < 0 || off < 0) {
        if (h) VMDK_ERR(h, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    if (off < h->w_offset) {
        LOG2(LOG2_ERR, VMDK_TAG, "pos=%ld < w_offset=%ld\n", static_cast<long>(off), static_cast<long>(h->w_offset));
        VMDK_ERR(h, VERR_INVALID_PARAMETER, "Only supports tail write data");
        return -1;
    }
    if (off > h->fsize) {
        LOG2(LOG2_ERR, VMDK_TAG, "pos=%ld > fsize=%ld\n", static_cast<long>(off), static_cast<long>(h->fsize));
        VMDK_ERR(h, VERR_DISK_FULL, "pos=%ld > fsize=%ld", static_cast<long>(off), static_cast<long>(h->fsize));
        return 0;
    }
    int64_t n = std::min(len, h->fsize - off);
    if (n == 0) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    int64_t pos = off;
    int64_t left = n;
    while (left > 0) {
        int64_t g = pos / h->grain_bytes;
        uint32_t in = static_cast<uint32_t>(pos % h->grain_bytes);
        uint32_t piece = static_cast<uint32_t>(std::min<int64_t>(left, h->grain_bytes - in));
        if (g != h->cur_grain) {
            if (flush_grain(h) != 0) return -1;
            h->cur_grain = g;
            h->low = h->high = 0;
        }
        if (h->high != 0 && (in + piece < h->low || in > h->high)) {
            if (fill_grain(h) != 0) return -1;
        }
        memcpy(h->grain + in, p, piece);
        if (h->high == 0) {
            h->low = in;
            h->high = in + piece;
        } else {
            h->low = std::min(h->low, in);
            h->high = std::max(h->high, in + piece);
        }
        pos += piece;
        p += piece;
        left -= piece;
    }
    // A failure above leaves the tail where it was: the same write may be
    // tried again, since the grain it filled is not on disk yet.
    h->w_offset = off + n;
    return n;
}

int vmdk_close(vmdk_ctx* h) {
    if (!h) return -1;
    if (h->complete) {
        vmdk_free(h);
        return 0;
    }
    int rc = 0;
    bool complete = h->w_offset == h->fsize;
    uint64_t done = static_cast<uint64_t>(h->w_offset) / h->grain_bytes * h->grain_bytes;
    // An incomplete image drops a grain it is still filling: a later open
    // continues at its start.
    if (complete || h->w_offset % h->grain_bytes == 0) {
        if (flush_grain(h) != 0) {
            // The grain is not on disk: record the image as ending before it,
            // so that it stays a valid image that can be continued.
            rc = -1;
            complete = false;
            if (h->cur_grain != k_no_grain) done = static_cast<uint64_t>(h->cur_grain) * h->grain_bytes;
        }
    }
    if (write_metadata(h, complete, done) != 0) rc = -1;
    vmdk_free(h);
    return rc;
}
