// Opening a VMDK output: a new image, or the continuation of an incomplete
// one whose resume data is checked before anything is written.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "libvmdk/vmdk_priv.h"

namespace {

constexpr bool is_pow2(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Directory and tables above this size are refused: the tables of 64 TiB.
constexpr uint64_t k_max_meta_bytes = 4ull << 30;

struct ctx_deleter {
    void operator()(vmdk_ctx* h) const noexcept { vmdk_free(h); }
};
using ctx_ptr = std::unique_ptr<vmdk_ctx, ctx_deleter>;

// Resume data or a header that cannot be trusted: -147 with the reason.
void untrusted(vmdk_ctx* h, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void untrusted(vmdk_ctx* h, const char* fmt, ...) {
    char why[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    LOG2(LOG2_ERR, VMDK_TAG, "[%s] %s\n", h->path ? h->path : "", why);
    verr_set_detail(h->err, __FILE__, __LINE__, __func__, VERR_INVALID_FILE_HEAD, why, "%s",
                    verr2str(VERR_INVALID_FILE_HEAD));
}

// Names that would break the quoted extent line of the descriptor.
bool name_fits_descriptor(const char* path) {
    const char* name = path_get_name(path);
    return strpbrk(name, "\"\n\r") == nullptr;
}

int start_new(vmdk_ctx* h) {
    h->version = VMDK_VERSION;
    h->flags = VMDK_FLAGS;
    h->gtes_per_gt = VMDK_GTES_PER_GT;
    h->compress_algorithm = VMDK_COMPRESS_DEFLATE;
    h->grain_size = VMDK_GRAIN_SECTORS;
    h->capacity = static_cast<uint64_t>(h->fsize) / VMDK_SECTOR + (h->fsize % VMDK_SECTOR ? 1 : 0);
    h->grain_bytes = static_cast<uint32_t>(h->grain_size * VMDK_SECTOR);
    h->desc_offset = VMDK_DESC_OFFSET;
    h->desc_size = VMDK_DESC_SECTORS;
    h->gd_offset = h->desc_offset + h->desc_size;
    if (vmdk_init_grain_tables(h) != 0) return -1;
    for (uint64_t t = 0; t < h->geo.tables; ++t)
        mem_set_u32(0, h->meta, static_cast<size_t>(t * 4),
                    static_cast<uint32_t>(h->first_table_sector + h->geo.table_sectors * t));
    h->next_free = static_cast<uint32_t>(h->overhead);
    if (vmdk_init_zlib(h, h->pack_level) != 0) return -1;
    h->is_new = true;
    return 0;
}

// Checks the tables of an incomplete image against its resume data. Entries
// of grains from the resume point on that lie past the next free sector come
// from a close that did not finish its header: they are dropped.
int check_tables(vmdk_ctx* h) {
    for (uint64_t t = 0; t < h->geo.tables; ++t) {
        uint64_t want = h->first_table_sector + h->geo.table_sectors * t;
        if (vmdk_gde(h, t) != want) {
            untrusted(h, "grain directory entry %llu is %u, not %llu", static_cast<unsigned long long>(t),
                      vmdk_gde(h, t), static_cast<unsigned long long>(want));
            return -1;
        }
    }
    uint64_t done_grains = static_cast<uint64_t>(h->w_offset) / h->grain_bytes;
    uint32_t last = 0;
    for (uint64_t g = 0; g < h->geo.grains; ++g) {
        uint32_t e = vmdk_gte(h, g);
        if (e == 0) continue;
        if (g >= done_grains) {
            if (e >= h->next_free) {
                vmdk_set_gte(h, g, 0);
                continue;
            }
            untrusted(h, "grain %llu at sector %u lies behind the resume point", static_cast<unsigned long long>(g), e);
            return -1;
        }
        if (e < h->overhead || e >= h->next_free || e <= last) {
            untrusted(h, "grain %llu has a table entry of %u outside %llu-%u", static_cast<unsigned long long>(g), e,
                      static_cast<unsigned long long>(h->overhead), h->next_free);
            return -1;
        }
        last = e;
    }
    return 0;
}

int resume_existing(vmdk_ctx* h, int64_t file_size) {
    uint8_t head[VMDK_HEADER_SIZE];
    errno = 0;
    int64_t n = os_file_pread(h->file, head, sizeof head, 0);
    if (n != static_cast<int64_t>(sizeof head)) {
        if (n < 0) VMDK_ERRNO(h);
        else VMDK_ERR(h, VERR_INVALID_FILE_HEAD, "%s", verr2str(VERR_INVALID_FILE_HEAD));
        return -1;
    }
    if (vmdk_decode_header(h, head) != 0) {
        untrusted(h, "not a sparse extent header of version %u", VMDK_VERSION);
        return -1;
    }
    if (h->grain_size == 0 || h->grain_size > VMDK_GRAIN_SECTORS || !is_pow2(h->grain_size)) {
        untrusted(h, "grain size %llu", static_cast<unsigned long long>(h->grain_size));
        return -1;
    }
    h->grain_bytes = static_cast<uint32_t>(h->grain_size * VMDK_SECTOR);
    uint64_t bytes;
    if (__builtin_mul_overflow(h->capacity, static_cast<uint64_t>(VMDK_SECTOR), &bytes) ||
        bytes != static_cast<uint64_t>(h->fsize)) {
        LOG2(LOG2_ERR, VMDK_TAG, "n_fize=%ld != o_fize=%ld\n", static_cast<long>(h->fsize),
             static_cast<long>(h->capacity));
        VMDK_ERR(h, VERR_INVALID_PARAMETER, "n_fize=%ld != o_fize=%ld", static_cast<long>(h->fsize),
                 static_cast<long>(h->capacity));
        return -1;
    }
    if (h->complete) {
        // A finished image takes no more data: its tail is its end, so every
        // write is refused and the close writes nothing.
        h->w_offset = h->fsize;
        return 0;
    }
    if (h->resume_done >= static_cast<uint64_t>(h->fsize)) {
        LOG2(LOG2_ERR, VMDK_TAG, "w_offset=%ld > o_fize=%ld\n", static_cast<long>(h->resume_done),
             static_cast<long>(h->fsize));
        untrusted(h, "bytes done %llu not below the image size", static_cast<unsigned long long>(h->resume_done));
        return -1;
    }
    if (h->resume_done % h->grain_bytes != 0) {
        untrusted(h, "bytes done %llu is not a whole number of grains", static_cast<unsigned long long>(h->resume_done));
        return -1;
    }
    if (!(h->flags & VMDK_FLAG_COMPRESSED) || h->compress_algorithm != VMDK_COMPRESS_DEFLATE) {
        untrusted(h, "grains are not deflate-compressed (flags 0x%x, algorithm %u)", h->flags, h->compress_algorithm);
        return -1;
    }
    if (h->desc_offset != VMDK_DESC_OFFSET || h->desc_size == 0 || h->desc_size > 0xffffffffull ||
        h->gd_offset != h->desc_size + 1 || h->rgd_offset != 0) {
        untrusted(h, "descriptor at %llu (%llu sectors), directory at %llu",
                  static_cast<unsigned long long>(h->desc_offset), static_cast<unsigned long long>(h->desc_size),
                  static_cast<unsigned long long>(h->gd_offset));
        return -1;
    }
    if (h->resume_level > 9) {
        untrusted(h, "pack level %u", h->resume_level);
        return -1;
    }
    if (h->pack_level != h->resume_level) {
        LOG2(LOG2_WARN, VMDK_TAG, "zflag=%d !=old_zflag=%d\n", h->pack_level, h->resume_level);
        h->pack_level = h->resume_level;
    }
    uint64_t stored_overhead = h->overhead;
    h->gd_offset = h->desc_size + 1;
    if (vmdk_init_grain_tables(h) != 0) return -1;
    if (stored_overhead != h->overhead) {
        untrusted(h, "overhead %llu, the tables end at %llu", static_cast<unsigned long long>(stored_overhead),
                  static_cast<unsigned long long>(h->overhead));
        return -1;
    }
    uint64_t file_sectors = static_cast<uint64_t>(file_size) / VMDK_SECTOR;
    if (h->resume_next_sector < h->overhead || h->resume_next_sector > file_sectors) {
        untrusted(h, "next free sector %u outside %llu-%llu", h->resume_next_sector,
                  static_cast<unsigned long long>(h->overhead), static_cast<unsigned long long>(file_sectors));
        return -1;
    }
    errno = 0;
    n = os_file_pread(h->file, h->meta, h->meta_size, static_cast<int64_t>(h->dir_sector) * VMDK_SECTOR);
    if (n != static_cast<int64_t>(h->meta_size)) {
        if (n < 0) {
            VMDK_ERRNO(h);
        } else {
            LOG2(LOG2_ERR, VMDK_TAG, "Short read, %zu instead of %zu\n", static_cast<size_t>(n), h->meta_size);
            VMDK_ERR(h, VERR_INVALID_FILE_HEAD, "Short read, %zu instead of %zu", static_cast<size_t>(n), h->meta_size);
        }
        return -1;
    }
    h->w_offset = static_cast<int64_t>(h->resume_done);
    h->next_free = h->resume_next_sector;
    if (check_tables(h) != 0) return -1;
    return vmdk_init_zlib(h, h->pack_level);
}

}  // namespace

int vmdk_init_grain_tables(vmdk_ctx* h) {
    if (h->grain_size == 0 || h->grain_size > VMDK_GRAIN_SECTORS || !is_pow2(h->grain_size) ||
        h->gtes_per_gt < 128 || !is_pow2(h->gtes_per_gt)) {
        LOG2(LOG2_ERR, VMDK_TAG, "grain_size=%llu gtes_per_gt=%u\n", static_cast<unsigned long long>(h->grain_size),
             h->gtes_per_gt);
        VMDK_ERR(h, VERR_INVALID_FILE_HEAD, "%s", verr2str(VERR_INVALID_FILE_HEAD));
        return -1;
    }
    uint64_t sectors = 0, overhead = 0, bytes = 0;
    bool bad = vmdk_calc_geometry(h->capacity, h->grain_size, h->gtes_per_gt, &h->geo) != 0 ||
               __builtin_mul_overflow(h->geo.tables, h->geo.table_sectors, &sectors) ||
               __builtin_add_overflow(sectors, h->geo.dir_sectors, &sectors) ||
               __builtin_add_overflow(sectors, h->gd_offset, &overhead) || overhead > UINT32_MAX ||
               __builtin_mul_overflow(sectors, static_cast<uint64_t>(VMDK_SECTOR), &bytes) || bytes > k_max_meta_bytes;
    if (bad) {
        LOG2(LOG2_ERR, VMDK_TAG, "capacity=%llu sectors: too big for the grain tables\n",
             static_cast<unsigned long long>(h->capacity));
        VMDK_ERR(h, VERR_FILE_TOO_BIG, "%s", verr2str(VERR_FILE_TOO_BIG));
        return -1;
    }
    h->meta = static_cast<uint8_t*>(pl_zalloc(static_cast<size_t>(bytes)));
    if (!h->meta) {
        VMDK_ERR(h, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    h->meta_size = static_cast<size_t>(bytes);
    h->dir_sector = static_cast<uint32_t>(h->gd_offset);
    h->first_table_sector = static_cast<uint32_t>(h->gd_offset + h->geo.dir_sectors);
    h->overhead = overhead;
    return 0;
}

int vmdk_init_zlib(vmdk_ctx* h, int level) {
    h->grain = static_cast<uint8_t*>(pl_malloc(h->grain_bytes));
    h->cur_grain = -1;
    h->low = h->high = 0;
    if (h->grain && deflateInit(&h->zs, level) == Z_OK) {
        h->zs_init = true;
        uint64_t size = deflateBound(&h->zs, h->grain_bytes) + VMDK_MARKER_SIZE;
        size = (size + VMDK_SECTOR - 1) / VMDK_SECTOR * VMDK_SECTOR;
        h->out = static_cast<uint8_t*>(pl_zalloc(static_cast<size_t>(size)));
        h->out_size = static_cast<size_t>(size);
    }
    if (!h->grain || !h->zs_init || !h->out) {
        VMDK_ERR(h, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    return 0;
}

void vmdk_free(vmdk_ctx* h) {
    if (!h) return;
    if (h->zs_init) deflateEnd(&h->zs);
    if (h->file) os_file_close(h->file);
    pl_free(h->out);
    pl_free(h->grain);
    pl_free(h->meta);
    pl_free(h->path);
    pl_free(h);
}

vmdk_ctx* vmdk_open(const char* url, uint32_t oflag, verr_info* err) {
    char path[PATH_SIZE];
    if (!url || url_get_path(url, path, sizeof path) != 0) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    int64_t fsize = url_query_get_int64(url, "fsize", 0);
    if (fsize <= 0) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "Need to specify file length");
        return nullptr;
    }
    int32_t sector_size = url_query_get_int(url, "sector_size", 512);
    if (sector_size != 512) LOG2(LOG2_WARN, VMDK_TAG, "sector_size=%d vmdk Only supports 512\n", sector_size);
    int32_t level = url_query_get_int(url, "pack_level", 0);
    if (level == Z_DEFAULT_COMPRESSION) level = 6;
    if (level < 0 || level > 9) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "pack_level=%d: deflate levels are 0-9", level);
        return nullptr;
    }
    char norm[PATH_SIZE];
    if (str_safecopy(norm, sizeof norm, path) != 0 || !path_normalize_local(norm)) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }

    ctx_ptr h(static_cast<vmdk_ctx*>(pl_zalloc(sizeof(vmdk_ctx))));
    if (!h) {
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->err = err;
    h->fsize = fsize;
    h->pack_level = level;
    h->cur_grain = -1;
    h->path = pl_strdup(norm);
    if (!h->path) {
        VMDK_ERR(h.get(), VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }

    // Grains and metadata are written at their own offsets from unaligned
    // buffers: never appended, never direct.
    uint32_t flags = oflag & ~OS_PF_DIRECT;
    if (flags & (OS_PF_WRONLY | OS_PF_RDWR)) flags = (flags & ~(OS_PF_ACCESS_MASK | OS_PF_APPEND)) | OS_PF_RDWR;
    // The descriptor names the image in a quoted line: a name that would
    // break it is refused before the open can create or truncate anything.
    if (!name_fits_descriptor(norm)) {
        VMDK_ERR(h.get(), VERR_INVALID_NAME, "file name [%s] cannot be written into the descriptor",
                 path_get_name(norm));
        return nullptr;
    }
    errno = 0;
    h->file = os_file_open(path, flags);
    if (!h->file) {
        VMDK_ERRNO(h.get());
        return nullptr;
    }
    int64_t size = os_file_size(h->file);
    if (size < 0) {
        VMDK_ERRNO(h.get());
        return nullptr;
    }
    if (size == 0) {
        if (start_new(h.get()) != 0) return nullptr;
    } else if (size < static_cast<int64_t>(VMDK_HEADER_SIZE)) {
        VMDK_ERR(h.get(), VERR_INVALID_FILE_HEAD, "%s", verr2str(VERR_INVALID_FILE_HEAD));
        return nullptr;
    } else if (resume_existing(h.get(), size) != 0) {
        return nullptr;
    }
    return h.release();
}

int64_t vmdk_size(vmdk_ctx* h) { return h->complete ? h->fsize : h->w_offset; }

uint32_t vmdk_sector_size(vmdk_ctx*) { return VMDK_SECTOR; }

uint32_t vmdk_size_type(vmdk_ctx* h) { return h->complete ? 5 : 2; }

int64_t vmdk_pread(vmdk_ctx*, void*, int64_t, int64_t) { return 0; }

int vmdk_sync(vmdk_ctx*) { return 0; }
