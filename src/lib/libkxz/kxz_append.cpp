// Opening an existing image for appending.
//
// The header's length reaches the disk only at close, at the finish, or when
// a short block ends the image; after a crash it counts fewer blocks than
// the records hold, and the last record may be torn. A finished image ends
// with its trailer. Before anything is appended the records are checked
// from the last indexed one: a torn or stray tail is cut off, the length is
// brought up to the complete records, and the side file gets exactly the
// entries of those records. An image whose records end before its header's
// length is damaged and is not opened for writing.
#include <algorithm>
#include <vector>

#include "libkxz/kxz_priv.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "liblog/log2.h"

namespace {

using ull = unsigned long long;

enum class stop_kind {
    end,     // the file (or the trailer) ends here
    marker,  // a length word with bit 31: a trailer
    torn,    // a record that the file does not hold whole
    broken,  // a length no writer produces, or unequal length words
    io,      // a read failed (errno set)
};

struct walk_state {
    uint64_t boff = 0;  // uncompressed offset of the next record
    uint64_t foff = 0;  // its file offset
    uint64_t records = 0;
    uint64_t last_foff = 0;
    uint32_t last_zlen = 0;
    stop_kind stop = stop_kind::end;
    std::vector<uint64_t> entries;  // file offsets of the indexed records passed after the start
};

// Walks whole records from (boff, foff) up to limit. Bad-block records are
// taken only where the header counts blocks: no writer appends them, while a
// crash can leave a tail of zeros, which reads as a run of them.
walk_state walk_records(kxz_image* img, uint64_t boff, uint64_t foff, uint64_t limit, uint64_t step) {
    auto counted = static_cast<uint64_t>(img->hdr.file_len);
    walk_state w;
    w.boff = boff;
    w.foff = foff;
    uint64_t block_len = img->hdr.block_len;
    for (;;) {
        if (w.foff == limit) {
            w.stop = stop_kind::end;
            return w;
        }
        if (w.foff + 4 > limit) {
            w.stop = stop_kind::torn;
            return w;
        }
        uint32_t zlen = 0;
        int r = kxz_read_u32(img, w.foff, &zlen);
        if (r <= 0) {
            w.stop = r < 0 ? stop_kind::io : stop_kind::torn;
            return w;
        }
        if (zlen & KXZ_TRAILER_FLAG) {
            w.stop = stop_kind::marker;
            return w;
        }
        if (zlen > kxz_max_zlen(img) || (zlen == 0 && w.boff >= counted)) {
            w.stop = stop_kind::broken;
            return w;
        }
        uint64_t size = kxz_record_size(zlen);
        if (w.foff + size > limit) {
            w.stop = stop_kind::torn;
            return w;
        }
        uint32_t again = 0;
        r = kxz_read_u32(img, w.foff + size - 4, &again);
        if (r <= 0 || again != zlen) {
            w.stop = r < 0 ? stop_kind::io : stop_kind::broken;
            return w;
        }
        if (w.boff != boff && step != 0 && w.boff % step == 0) w.entries.push_back(w.foff);
        w.last_foff = w.foff;
        w.last_zlen = zlen;
        w.records++;
        w.boff += block_len;
        w.foff += size;
    }
}

const char* stop_name(stop_kind k) {
    switch (k) {
    case stop_kind::end: return "end";
    case stop_kind::marker: return "trailer";
    case stop_kind::torn: return "torn record";
    case stop_kind::broken: return "broken record";
    default: return "read error";
    }
}

// The unpacked length of the record at foff; -1 when it does not unpack.
int64_t record_length(kxz_image* img, uint64_t foff, uint32_t zlen) {
    if (zlen == 0) return img->hdr.block_len;  // a bad block stands for a whole one
    if (img->hdr.pack_type == PACK_NONE) return zlen;
    if (kxz_pack_setup(img) != 0) return -2;
    img->kept_valid = 0;
    if (!kxz_read_at(img, img->packed_buf, zlen, foff + 4)) return -1;
    int64_t n = zcomp_unpack(&img->zc, img->packed_buf, zlen, img->block_buf, img->hdr.block_len);
    return n > 0 ? n : -1;
}

std::vector<uint64_t> decode_entries(const uint8_t* p, uint32_t len, uint32_t endian) {
    std::vector<uint64_t> v;
    int s = kxz_swap(endian);
    for (uint32_t i = 0; i + 8 <= len; i += 8) v.push_back(mem_get_u64(s, p, i));
    return v;
}

// Keeps the longest prefix of entries that increase strictly inside (64, end).
void trim_entries(std::vector<uint64_t>* e, uint64_t end) {
    uint64_t prev = KXZ_HEADER_SIZE;
    size_t keep = 0;
    while (keep < e->size() && (*e)[keep] > prev && (*e)[keep] < end) prev = (*e)[keep++];
    e->resize(keep);
}

struct owned_bytes {
    uint8_t* p = nullptr;
    uint32_t len = 0;
    ~owned_bytes() { pl_free(p); }
};

}  // namespace

int kxz_open_for_append(kxz_image* img, bool reuse_side) {
    int64_t fsize = os_file_size(img->file);
    if (fsize < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    auto size = static_cast<uint64_t>(fsize);
    uint64_t block_len = img->hdr.block_len;
    uint64_t step = kxz_step(img->hdr.off_blksize, img->hdr.block_len);
    auto file_len = static_cast<uint64_t>(img->hdr.file_len);
    bool header_names_trailer = img->hdr.off_cache != 0;

    std::vector<uint64_t> entries;
    bool trailer = false;
    if (header_names_trailer) {
        owned_bytes t;
        int rc = kxz_read_trailer(img, &t.p, &t.len);
        if (rc == -1) return -1;
        if (rc == 0) {
            entries = decode_entries(t.p, t.len, img->endian);
            trailer = true;
        } else {
            LOG2(LOG2_WARN, "kxz", "off_cache=%llu: the trailer is not valid, ignored\n",
                 static_cast<ull>(img->hdr.off_cache));
        }
    }

    for (int attempt = 0; attempt < 2; ++attempt) {
        uint64_t limit = trailer ? static_cast<uint64_t>(img->hdr.off_cache) : size;
        // The side file is only read here: it is opened for writing (and made
        // or cut) once the records are found fit to append to, so that a
        // refused open leaves it as it was.
        if (!trailer && reuse_side) {
            owned_bytes s;
            if (write_cache_info_get(img->side_name, img->hdr.guid, &s.p, &s.len) == 0)
                entries = decode_entries(s.p, s.len, img->endian);
        }
        trim_entries(&entries, limit);

        // Start at the last entry that leads to a whole record.
        walk_state w;
        size_t k = entries.size();
        for (;; --k) {
            uint64_t b = k ? k * step : 0;
            uint64_t f = k ? entries[k - 1] : KXZ_HEADER_SIZE;
            w = walk_records(img, b, f, limit, step);
            if (w.stop == stop_kind::io) {
                KXZ_ERRNO(img);
                return -1;
            }
            if (k == 0 || w.records > 0) break;
        }
        entries.resize(k);

        uint64_t covered = w.boff;
        bool final = false;
        if (covered > file_len && w.records > 0) {
            // Blocks the header does not count: the last one may be short.
            int64_t n = record_length(img, w.last_foff, w.last_zlen);
            if (n == -2) return -1;
            if (n < 0 || static_cast<uint64_t>(n) > block_len) {
                w.stop = stop_kind::broken;
                w.foff = w.last_foff;
                w.boff -= block_len;
                w.records--;
                covered = w.boff;
            } else if (static_cast<uint64_t>(n) < block_len) {
                covered = w.boff - block_len + static_cast<uint64_t>(n);
                final = true;
            }
        }
        if (covered < file_len) {
            LOG2(LOG2_ERR, "kxz", "records end at foff=%llu (%s) after %llu bytes, file_len=%llu: image damaged\n",
                 static_cast<ull>(w.foff), stop_name(w.stop), static_cast<ull>(covered), static_cast<ull>(file_len));
            KXZ_ERR(img, VERR_INVALID_FILE_HEAD,
                    "the records end at file offset %llu (%s) after %llu of %llu bytes: the image is damaged",
                    static_cast<ull>(w.foff), stop_name(w.stop), static_cast<ull>(covered), static_cast<ull>(file_len));
            return -1;
        }

        if (trailer) {
            uint64_t want_entries = step && file_len ? (file_len - 1) / step : 0;
            if (w.stop == stop_kind::end && w.foff == limit && covered == file_len &&
                entries.size() + w.entries.size() == want_entries) {
                // A finished image: the trailer stays until a record is appended.
                img->trailer_pending = 1;
                img->append_pos = limit;
                return 0;
            }
            LOG2(LOG2_WARN, "kxz", "off_cache=%llu: the trailer does not match the records, ignored\n",
                 static_cast<ull>(img->hdr.off_cache));
            trailer = false;
            entries.clear();
            continue;
        }

        // The side file: the entries checked, then those of the records walked.
        if (write_cache_info_init(&img->side, img->side_name, img->hdr.guid, img->endian, img->hdr.off_blksize,
                                  img->hdr.block_len, reuse_side ? 0 : 1) != 0) {
            KXZ_ERR(img, VERR_INVALID_FILE_HEAD, "side file [%s] error: %s", img->side_name,
                    verr2str(VERR_INVALID_FILE_HEAD));
            return -1;
        }
        img->side_open = 1;
        std::erase_if(w.entries, [&](uint64_t f) { return f >= w.foff; });
        if (write_cache_info_keep(&img->side, static_cast<uint32_t>(entries.size())) != 0) {
            KXZ_ERR(img, VERR_INVALID_FILE_HEAD, "side file [%s] error", img->side_name);
            return -1;
        }
        for (uint64_t f : w.entries) {
            uint64_t b = (uint64_t{img->side.count} + 1) * step;
            if (write_cache_info_set(&img->side, b, f) != 0) {
                KXZ_ERR(img, VERR_INVALID_FILE_HEAD, "side file [%s] error", img->side_name);
                return -1;
            }
        }

        bool cut = w.foff < size;
        if (cut && os_file_ftruncate(img->file, static_cast<int64_t>(w.foff)) != 1) {
            KXZ_ERRNO(img);
            return -1;
        }
        if (header_names_trailer) {
            if (!kxz_write_header_u64(img, KXZ_H_OFF_CACHE, 0)) {
                KXZ_ERRNO(img);
                return -1;
            }
            img->hdr.off_cache = 0;
        }
        img->append_pos = w.foff;
        if (covered != file_len) {
            img->final = final;
            if (kxz_update_len(img, static_cast<int64_t>(covered)) != 1) return -1;
        }
        if (cut || covered != file_len || header_names_trailer)
            LOG2(LOG2_WARN, "kxz", "recovered: file_len=%llu -> %llu, records end at %llu (%s), %llu bytes cut\n",
                 static_cast<ull>(file_len), static_cast<ull>(covered), static_cast<ull>(w.foff), stop_name(w.stop),
                 static_cast<ull>(size - w.foff));
        return 0;
    }
    return -1;
}
