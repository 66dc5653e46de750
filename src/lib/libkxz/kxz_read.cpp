// Reading an image: the record walker, packed reads and unpacked reads.
#include <algorithm>
#include <cstring>

#include "libkxz/kxz_priv.h"
#include "libpal/os/os_file.h"
#include "liblog/log2.h"

namespace {

using ull = unsigned long long;

// kxz_preadz_imp: the record does not fit the caller's buffer.
constexpr int64_t k_too_small = -2;

int64_t broken(kxz_image* img) {
    KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
    return -1;
}

// Steps over the records from the one of the block at *boff (file offset
// *foff) to the record of the block at `to`; with learn, each record met is
// offered to the offset cache.
enum class walk { reached, ended, broken, io_error };
walk skip_records(kxz_image* img, uint64_t* boff, uint64_t* foff, uint64_t to, bool learn) {
    while (*boff < to) {
        uint32_t w = 0;
        int r = kxz_read_u32(img, *foff, &w);
        if (r < 0) return walk::io_error;
        // The records end (or the trailer starts) before the offset; a
        // trailer's length word anywhere but where the header puts the
        // trailer is a damaged record.
        if (r == 0) return walk::ended;
        if (w & KXZ_TRAILER_FLAG)
            return img->hdr.off_cache == 0 || *foff == static_cast<uint64_t>(img->hdr.off_cache) ? walk::ended
                                                                                                 : walk::broken;
        if (w > kxz_max_zlen(img)) {
            LOG2(LOG2_ERR, "kxz", "zlen=0x%x data baby error!\n", w);
            return walk::broken;
        }
        *foff += kxz_record_size(w);
        *boff += img->hdr.block_len;
        if (learn && img->cache_loaded) off_cache_add(&img->cache, *boff, *foff);
    }
    return walk::reached;
}

// What the records say of an index entry, seen from one of its neighbours.
enum class verdict { agree, disagree, unknown, io_error };

// Walks from (boff, foff) to the block at `to` and compares the place reached
// with `want`. Records that end before `to` disagree; a walk that breaks on
// a damaged length word tells nothing.
verdict walk_to(kxz_image* img, uint64_t boff, uint64_t foff, uint64_t to, uint64_t want) {
    switch (skip_records(img, &boff, &foff, to, false)) {
    case walk::io_error: return verdict::io_error;
    case walk::broken: return verdict::unknown;
    case walk::ended: return verdict::disagree;
    case walk::reached: break;
    }
    return foff == want ? verdict::agree : verdict::disagree;
}

// An entry read from a trailer or a side file is used only once the records
// agree with it. They carry no block number, so the entry is held against its
// neighbours: the walk from the entry below (from the first record for entry
// 1) must meet it, and the walk from it must meet the entry above, or, behind
// the last block, the trailer. An entry moved by a record or more, or into a
// record's data, fails one of the walks. A walk broken by a damaged record
// tells nothing, so one that agrees is enough; none that agrees is not.
// 1 confirmed, 0 not, -1 read failure (errno set).
int confirm_entry(kxz_image* img, uint32_t i) {
    off_cache& c = img->cache;
    const auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    const uint64_t boff = i * c.step;
    const uint64_t foff = c.entries[i].foff;
    verdict below = walk_to(img, boff - c.step, i == 1 ? KXZ_HEADER_SIZE : c.entries[i - 1].foff, boff, foff);
    if (below == verdict::io_error) return -1;
    if (below == verdict::disagree) return 0;

    verdict above = verdict::unknown;
    uint64_t up_to = std::min(boff + c.step, file_len);
    if (i + 1 < c.filled) {
        above = walk_to(img, boff, foff, up_to, c.entries[i + 1].foff);
    } else if (up_to == file_len && img->hdr.off_cache != 0) {
        above = walk_to(img, boff, foff, up_to, static_cast<uint64_t>(img->hdr.off_cache));
    } else if (up_to == file_len) {
        // No trailer: the records end with the file, unless the header's
        // length is behind the records (an image whose writer stopped).
        uint64_t b = boff, f = foff;
        walk r = skip_records(img, &b, &f, up_to, false);
        if (r == walk::io_error) return -1;
        if (r == walk::ended) above = verdict::disagree;
        if (r == walk::reached) {
            uint32_t w = 0;
            int n = kxz_read_u32(img, f, &w);
            if (n < 0) return -1;
            if (n == 0 || (w & KXZ_TRAILER_FLAG)) above = verdict::agree;
        }
    }
    if (above == verdict::io_error) return -1;
    if (above == verdict::disagree || (below != verdict::agree && above != verdict::agree)) return 0;
    c.checked[i] = 1;
    return 1;
}

// Walks from the nearest known record at or below off to the record of the
// block at off; its file offset goes to *foff. 0, or -1.
int find_record(kxz_image* img, uint64_t off, uint64_t* foff) {
    if (off == 0) {
        *foff = KXZ_HEADER_SIZE;
        return 0;
    }
    if (off == img->walk_boff && img->walk_foff != 0) {
        if (img->cache_loaded) off_cache_add(&img->cache, off, img->walk_foff);
        *foff = img->walk_foff;
        return 0;
    }
    off_cache_entry at = img->cache_loaded ? off_cache_find(&img->cache, off) : off_cache_entry{0, 0};
    if (at.foff != 0) {
        auto i = static_cast<uint32_t>(at.boff / img->cache.step);
        int r = img->cache.checked[i] ? 1 : confirm_entry(img, i);
        if (r < 0) {
            KXZ_ERRNO(img);
            return -1;
        }
        if (r == 0) {
            LOG2(LOG2_WARN, "kxz",
                 "offset index entry %u foff=%llu does not match the records at offset %llu: index ignored\n", i,
                 static_cast<ull>(at.foff), static_cast<ull>(at.boff));
            off_cache_drop(&img->cache);
            at = {0, 0};
        }
    }
    if (at.foff == 0) at = {0, KXZ_HEADER_SIZE};
    if (at.boff > off) {
        LOG2(LOG2_DBG, "kxz", "op.boff=%llu > offset=%llu error\n", static_cast<ull>(at.boff), static_cast<ull>(off));
        return static_cast<int>(broken(img));
    }
    walk w = skip_records(img, &at.boff, &at.foff, off, true);
    if (w == walk::io_error) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (w != walk::reached) return static_cast<int>(broken(img));
    *foff = at.foff;
    return 0;
}

}  // namespace

int64_t kxz_preadz_imp(kxz_image* img, int64_t off, void* dst, uint64_t cap, uint64_t* zlen, bool read_data) {
    if (read_data && cap == 0) return 0;
    uint64_t block_len = img->hdr.block_len;
    auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    uint64_t uoff = off == -1 ? img->walk_boff : static_cast<uint64_t>(off);
    if (off < -1) {
        KXZ_ERR_CODE(img, VERR_INVALID_PARAMETER);
        return -1;
    }
    if (uoff >= file_len) {
        LOG2(LOG2_DBG, "kxz", "offset=%llu>=f_len return 0\n", static_cast<ull>(uoff));
        return 0;
    }
    if (block_len == 0 || uoff % block_len != 0) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "offset=%llu is not a multiple of block_len=%u", static_cast<ull>(uoff),
                img->hdr.block_len);
        return -1;
    }
    uint64_t foff = 0;
    if (find_record(img, uoff, &foff) != 0) return -1;

    uint32_t w = 0;
    int r = kxz_read_u32(img, foff, &w);
    if (r < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (r == 0) {
        LOG2(LOG2_DBG, "kxz", "offset=%llu foffset=%llu pread ret=0\n", static_cast<ull>(uoff), static_cast<ull>(foff));
        return 0;
    }
    if (w & KXZ_TRAILER_FLAG) {
        img->at_trailer = 1;
        img->walk_boff = uoff;
        img->walk_foff = foff;
        if ((w & ~KXZ_TRAILER_FLAG) <= kxz_max_zlen(img))
            LOG2(LOG2_DBG, "kxz", "offset=%llu foffset=%llu last_file_off ret=0\n", static_cast<ull>(uoff),
                 static_cast<ull>(foff));
        else
            LOG2(LOG2_ERR, "kxz", "offset=%llu foffset=%llu zlen=0x%x baby_error\n", static_cast<ull>(uoff),
                 static_cast<ull>(foff), w);
        return 0;
    }
    uint64_t n = std::min(block_len, file_len - uoff);
    if (w == 0) {
        // A bad block: its record is the two zero length words.
        LOG2(LOG2_DBG, "kxz", "zlen==0 bad block\n");
        KXZ_ERR_CODE(img, VERR_DEV_IO_ERROR);
        img->walk_boff = uoff + n;
        img->walk_foff = foff + kxz_record_size(0);
        return -1;
    }
    if (w > kxz_max_zlen(img) || (img->hdr.pack_type == PACK_NONE && w != n)) {
        LOG2(LOG2_ERR, "kxz", "offset=%llu foffset=%llu zlen=0x%x baby_error\n", static_cast<ull>(uoff),
             static_cast<ull>(foff), w);
        return broken(img);
    }
    if (read_data) {
        if (w > cap) return k_too_small;
        int64_t got = os_file_pread(img->file, dst, w, static_cast<int64_t>(foff + 4));
        if (got < 0) {
            KXZ_ERRNO(img);
            return -1;
        }
        if (got < static_cast<int64_t>(w)) {
            KXZ_ERR_CODE(img, VERR_DEV_IO_ERROR);
            img->walk_boff = uoff + n;
            img->walk_foff = foff + kxz_record_size(w);
            return -1;
        }
    }
    if (zlen) *zlen = w;
    img->walk_boff = uoff + n;
    img->walk_foff = foff + kxz_record_size(w);
    return static_cast<int64_t>(n);
}

int64_t kxz_preadz(kxz_image* img, int64_t off, void* buf, int64_t size, int64_t* zlen) {
    if (!img || !buf || size < 0) return -1;
    if (zlen) *zlen = 0;
    if (size == 0) return 0;
    uint64_t z = 0;
    int64_t n = kxz_preadz_imp(img, off, buf, static_cast<uint64_t>(size), &z, true);
    if (n != k_too_small) {
        if (n <= 0) return n;
        // A record that does not unpack is a bad block here as on a plain
        // read: it is never handed on as if it were sound.
        if (kxz_pack_setup(img) != 0) return -1;
        img->kept_valid = 0;
        if (kxz_unpack_exact(img, buf, z, img->block_buf, static_cast<uint64_t>(n)) != 0) return -1;
        img->kept_valid = 1;
        img->kept_off = img->walk_boff - static_cast<uint64_t>(n);
        img->kept_len = static_cast<uint64_t>(n);
        if (zlen) *zlen = static_cast<int64_t>(z);
        return n;
    }
    // The packed record is longer than the buffer: hand over the plain block
    // when that fits, marked by a packed length of 0.
    if (kxz_pack_setup(img) != 0) return -1;
    img->kept_valid = 0;
    n = kxz_preadz_imp(img, off, img->packed_buf, kxz_max_zlen(img), &z, true);
    if (n <= 0) return n;
    if (n > size) {
        KXZ_ERR(img, VERR_BUFFER_OVERFLOW, "buffer of %lld bytes cannot hold the block of %lld bytes (zlen=%llu)",
                static_cast<long long>(size), static_cast<long long>(n), static_cast<ull>(z));
        return -1;
    }
    if (kxz_unpack_exact(img, img->packed_buf, z, buf, static_cast<uint64_t>(n)) != 0) return -1;
    return n;
}

int64_t kxz_pread_block(kxz_image* img, int64_t off, void* buf, int64_t len) {
    if (!img || !buf || len < 0) return -1;
    if (img->kept_valid && buf == img->block_buf && img->kept_off == static_cast<uint64_t>(off))
        return static_cast<int64_t>(img->kept_len);
    if (kxz_pack_setup(img) != 0) return -1;
    uint64_t z = 0;
    int64_t n = kxz_preadz_imp(img, off, img->packed_buf, kxz_max_zlen(img), &z, true);
    if (n <= 0) return n;
    if (n > len) {
        KXZ_ERR(img, VERR_BUFFER_OVERFLOW, "buffer of %lld bytes cannot hold the block of %lld bytes",
                static_cast<long long>(len), static_cast<long long>(n));
        return -1;
    }
    bool keep = buf == img->block_buf;
    if (keep) img->kept_valid = 0;
    if (kxz_unpack_exact(img, img->packed_buf, z, buf, static_cast<uint64_t>(n)) != 0) return -1;
    if (keep) {
        img->kept_valid = 1;
        img->kept_off = static_cast<uint64_t>(off == -1 ? static_cast<int64_t>(img->walk_boff) - n : off);
        img->kept_len = static_cast<uint64_t>(n);
    }
    return n;
}

int64_t kxz_pread(kxz_image* img, int64_t off, void* buf, int64_t len) {
    if (!img || !buf || len < 0) return -1;
    if (off == -1) off = static_cast<int64_t>(img->offset);
    if (off < 0) {
        KXZ_ERR_CODE(img, VERR_INVALID_PARAMETER);
        return -1;
    }
    auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    auto start = static_cast<uint64_t>(off);
    if (start >= file_len) return 0;
    uint64_t n = std::min<uint64_t>(file_len - start, static_cast<uint64_t>(len));
    if (n == 0) return 0;
    if (kxz_pack_setup(img) != 0) return -1;
    uint64_t block_len = img->hdr.block_len;
    auto* out = static_cast<uint8_t*>(buf);
    uint64_t done = 0;
    while (done < n) {
        uint64_t p = start + done;
        uint64_t bstart = p - p % block_len;
        uint64_t bsize = std::min(block_len, file_len - bstart);
        uint64_t in_block = p - bstart;
        uint64_t want = std::min(bsize - in_block, n - done);
        int64_t r;
        if (in_block == 0 && want == bsize) {
            r = kxz_pread_block(img, static_cast<int64_t>(bstart), out + done, static_cast<int64_t>(bsize));
        } else {
            r = kxz_pread_block(img, static_cast<int64_t>(bstart), img->block_buf, block_len);
            if (r > 0 && static_cast<uint64_t>(r) >= in_block + want) memcpy(out + done, img->block_buf + in_block, want);
        }
        if (r <= 0 || static_cast<uint64_t>(r) < in_block + want) {
            if (done > 0) break;  // what was read is delivered; the next read meets the error
            return r < 0 ? r : 0;
        }
        done += want;
    }
    img->offset = start + done;
    return static_cast<int64_t>(done);
}
