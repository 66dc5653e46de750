// The image's offset index: loading it for a reader, the trailer, and the
// finish request that turns the side file into the trailer.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "libkxz/kxz_priv.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

// RAII owner of an entry buffer.
struct entry_buf {
    uint8_t* p = nullptr;
    uint32_t len = 0;
    ~entry_buf() { pl_free(p); }
};

bool side_file_exists(const char* name) {
    struct stat st;
    return stat(name, &st) == 0 || errno != ENOENT;
}

void remove_side_file(kxz_image* img) {
    if (os_remove(img->side_name) != 0 && errno != ENOENT)
        LOG2(LOG2_WARN | LOG2_ERRNO, "kxz", "remove [%s] error: ", img->side_name);
}

}  // namespace

int kxz_has_trailer(const kxz_image* img) { return img && img->hdr.off_cache != 0; }

int kxz_read_trailer(kxz_image* img, uint8_t** entries, uint32_t* length) {
    *entries = nullptr;
    *length = 0;
    if (img->hdr.off_cache == 0) return 0;
    int64_t size = os_file_size(img->file);
    if (size < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    auto off = static_cast<uint64_t>(img->hdr.off_cache);
    if (off + 8 >= static_cast<uint64_t>(size)) return -2;
    uint64_t len = static_cast<uint64_t>(size) - off - 8;
    uint32_t tlen = 0, tlen1 = 0;
    int r0 = kxz_read_u32(img, off, &tlen);
    int r1 = r0 == 1 ? kxz_read_u32(img, off + 4 + len, &tlen1) : r0;
    if (r0 < 0 || r1 < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (r0 == 0 || r1 == 0) return -2;
    if (tlen != tlen1) {
        LOG2(LOG2_DBG, "kxz", "off_cache tlen=%x != tlen1=%x\n", tlen, tlen1);
        return -2;
    }
    if (!(tlen & KXZ_TRAILER_FLAG)) {
        LOG2(LOG2_DBG, "kxz", "off cache len data error\n");
        return -2;
    }
    tlen &= ~KXZ_TRAILER_FLAG;
    if (tlen < 8 || tlen > KXZ_TRAILER_MAX) {
        LOG2(LOG2_DBG, "kxz", "tlen=%u off cache len data error2\n", tlen);
        return -2;
    }
    if (tlen != len) {
        LOG2(LOG2_DBG, "kxz", "len=%u tlen=%u off cache len data error3\n", static_cast<unsigned>(len), tlen);
        return -2;
    }
    auto* buf = static_cast<uint8_t*>(pl_malloc(tlen));
    if (!buf) {
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return -1;
    }
    if (!kxz_read_at(img, buf, tlen, off + 4)) {
        KXZ_ERRNO(img);
        pl_free(buf);
        return -1;
    }
    // Entries that cannot point at records before the trailer are not an index.
    if (!off_entries_valid(buf, tlen, img->endian, off)) {
        pl_free(buf);
        return -2;
    }
    *entries = buf;
    *length = tlen;
    return 0;
}

int kxz_off_cache_file(kxz_image* img, int mode) {
    if (img->hdr.off_cache == 0) return 0;
    entry_buf e;
    int rc = kxz_read_trailer(img, &e.p, &e.len);
    if (rc != 0) return rc;
    rc = off_cache_set_buf(&img->cache, mode, img->endian, e.p, e.len);
    if (rc == -1) {
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return -1;
    }
    return rc == 0 ? 0 : -2;
}

int kxz_off_cache_init_form_file(kxz_image* img) {
    if (img->cache_loaded) return 0;
    img->cache_loaded = 1;
    if (img->hdr.off_blksize == 0) img->hdr.off_blksize = KXZ_OFF_BLKSIZE;
    if (off_cache_init(&img->cache, static_cast<uint64_t>(img->hdr.file_len), img->hdr.off_blksize,
                       img->hdr.block_len) != 0) {
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return -1;
    }
    if (img->hdr.off_cache != 0) {
        int rc = kxz_off_cache_file(img, OFF_CACHE_LOAD);
        if (rc != 0) LOG2(LOG2_DBG, "kxz", "kxz_off_cache_init_form_file failed\n");
        return rc;
    }
    LOG2(LOG2_DBG, "kxz", "load woff_name %s\n", img->side_name);
    entry_buf e;
    if (write_cache_info_get(img->side_name, img->hdr.guid, &e.p, &e.len) != 0 || e.len == 0) return 0;
    int64_t size = os_file_size(img->file);
    if (size < 0 || !off_entries_valid(e.p, e.len, img->endian, static_cast<uint64_t>(size))) return 0;
    int rc = off_cache_set_buf(&img->cache, OFF_CACHE_LOAD, img->endian, e.p, e.len);
    LOG2(LOG2_DBG, "kxz", "off_cache_set_buf woff_wlen=%u ret=%d\n", e.len, rc);
    return 0;
}

int kxz_write_trailer(kxz_image* img, const void* entries, uint32_t length) {
    if (img->hdr.off_cache == 0) img->hdr.off_cache = static_cast<int64_t>(img->append_pos);
    auto pos = static_cast<uint64_t>(img->hdr.off_cache);
    uint64_t total = uint64_t{length} + 8;
    auto* buf = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(total)));
    if (!buf) {
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return -1;
    }
    int s = kxz_swap(img->endian);
    mem_set_u32(s, buf, 0, length | KXZ_TRAILER_FLAG);
    memcpy(buf + 4, entries, length);
    mem_set_u32(s, buf, 4 + length, length | KXZ_TRAILER_FLAG);
    bool ok = kxz_write_at(img, buf, total, pos);
    pl_free(buf);
    // The trailer ends the file: whatever an earlier, longer one left behind it goes.
    int64_t size = ok ? os_file_size(img->file) : -1;
    ok = size >= 0 && (static_cast<uint64_t>(size) == pos + total ||
                       os_file_ftruncate(img->file, static_cast<int64_t>(pos + total)) == 1);
    // The header names the trailer only once the trailer is on the disk.
    if (ok) ok = os_file_fsync(img->file) == 1;
    if (ok) ok = kxz_write_header_u64(img, KXZ_H_OFF_CACHE, pos);
    if (!ok) {
        KXZ_ERRNO(img);
        return -1;
    }
    return 0;
}

int kxz_off_cache_fix_del(kxz_image* img) {
    if (img->at_trailer && img->walk_foff != static_cast<uint64_t>(img->hdr.off_cache))
        img->hdr.off_cache = static_cast<int64_t>(img->walk_foff);
    if (img->hdr.off_cache == 0) return 0;
    if (!kxz_write_header_u64(img, KXZ_H_OFF_CACHE, 0)) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (os_file_size(img->file) < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (os_file_ftruncate(img->file, img->hdr.off_cache) != 1) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "truncate error: ");
        KXZ_ERRNO(img);
        return -1;
    }
    img->append_pos = static_cast<uint64_t>(img->hdr.off_cache);
    img->hdr.off_cache = 0;
    img->at_trailer = 0;
    return 0;
}

int kxz_trailer_to_side(kxz_image* img) {
    entry_buf e;
    int rc = kxz_read_trailer(img, &e.p, &e.len);
    if (rc != 0) {
        if (rc == -2) KXZ_ERR(img, VERR_INVALID_FILE_HEAD, "off_cache=%lld: the trailer is not valid",
                              static_cast<long long>(img->hdr.off_cache));
        return -1;
    }
    if (write_cache_info_init(&img->side, img->side_name, img->hdr.guid, img->endian, img->hdr.off_blksize,
                              img->hdr.block_len, 1) != 0 ||
        write_cache_info_append(&img->side, e.p, e.len) != 0 || os_file_fsync(img->side.file) != 1) {
        write_cache_info_close(&img->side);
        KXZ_ERR(img, VERR_WRITE_PROTECT, "side file [%s] error: %s", img->side_name, verr2str(VERR_WRITE_PROTECT));
        return -1;
    }
    img->side_open = 1;
    if (kxz_off_cache_fix_del(img) != 0) return -1;
    img->trailer_pending = 0;
    return 0;
}

int kxz_woff_cache_write_to_file(kxz_image* img) {
    if (!img) return -1;
    LOG2(LOG2_VERB, "kxz", "==>\n");
    // A read-only open never changes the image or its side file.
    if (!kxz_writable(img)) return 0;
    if (img->side_open) {
        write_cache_info_close(&img->side);
        img->side_open = 0;
    }
    if (img->trailer_pending) {
        // Nothing was appended since the trailer was written: it stands.
        remove_side_file(img);
        return 0;
    }
    entry_buf e;
    if (side_file_exists(img->side_name) && write_cache_info_get(img->side_name, img->hdr.guid, &e.p, &e.len) != 0) {
        // Keep the side file: it may still be read or repaired.
        KXZ_ERR(img, VERR_INVALID_FILE_HEAD, "side file [%s] cannot be read", img->side_name);
        return -1;
    }
    if (e.len > 0 && !img->header_pending) {
        bool ok = os_file_fsync(img->file) == 1;
        if (!ok) KXZ_ERRNO(img);
        if (ok && img->len_dirty) ok = kxz_update_len(img, -1) == 1;
        uint64_t records_end = img->append_pos;
        if (ok && kxz_write_trailer(img, e.p, e.len) != 0) {
            ok = false;
            // Back to the records alone; the side file keeps the index.
            kxz_write_header_u64(img, KXZ_H_OFF_CACHE, 0);
            os_file_ftruncate(img->file, static_cast<int64_t>(records_end));
            img->hdr.off_cache = 0;
        }
        if (ok && os_file_fsync(img->file) != 1) {
            KXZ_ERRNO(img);
            ok = false;
        }
        if (!ok) return -1;
        img->trailer_pending = 1;
    }
    remove_side_file(img);
    return 0;
}

int kxz_off_cache_verify(kxz_image* img) { return kxz_off_cache_file(img, OFF_CACHE_COMPARE); }

int kxz_off_cache_save(kxz_image* img) {
    off_cache& c = img->cache;
    // Entries are kept for the block starts below file_len only: an entry at
    // file_len itself names no record.
    auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    uint32_t n = c.count;
    while (n > 1 && (n - 1) * c.step >= file_len) --n;
    if (n < 2) return 0;
    if (c.filled < n) return -1;
    uint32_t len = (n - 1) * 8;
    entry_buf e;
    e.p = static_cast<uint8_t*>(pl_malloc(len));
    if (!e.p) return -1;
    e.len = len;
    if (off_cache_set_buf(&c, OFF_CACHE_STORE, img->endian, e.p, len) != 0) return -1;
    return kxz_write_trailer(img, e.p, len);
}

int64_t kxz_off_cache_test(kxz_image* img) {
    uint64_t cap = kxz_max_zlen(img);
    auto* buf = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(cap ? cap : 1)));
    if (!buf) return -1;
    LOG2(LOG2_DBG, "kxz", "count=%d\n", static_cast<int>(img->cache.filled));
    int64_t rc = 0;
    for (uint32_t i = 0; i < img->cache.filled; ++i) {
        const off_cache_entry& en = img->cache.entries[i];
        LOG2(LOG2_DBG, "kxz", "off=%llu foff=%llu\n", static_cast<unsigned long long>(en.boff),
             static_cast<unsigned long long>(en.foff));
        rc = kxz_pread_block(img, static_cast<int64_t>(en.boff), buf, static_cast<int64_t>(cap));
        if (rc < 0) LOG2(LOG2_DBG, "kxz", "read errno=%d error:%s\n", img->err ? img->err->code : 0,
                         img->err ? verr_msg(img->err) : "");
    }
    pl_free(buf);
    return rc;
}
