// The cache file: open, close, reads, writes and sync.
#include "libkxi/fcache.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "libblock/bd.h"
#include "libkxi/libkxi.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/path.h"
#include "libpal/string/str_expand.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr const char* TAG = "kxi";
// Blocks are page-aligned: a base opened for direct I/O reads into them.
constexpr size_t k_align = 4096;

// Cache images opened by this thread that are still opening their base.
thread_local int t_nesting = 0;

// mem_endian's swap flag for data in the given byte order.
int swap_of(uint8_t endian) { return mem_swap_of(endian == 1); }

int64_t data_start(const fcache_ctx* h) { return FCACHE_HEAD_SIZE + 8 * h->count; }

// The error record with a code's own text; -1.
int fail(verr_info* err, int32_t code, const char* file, uint32_t line, const char* func) {
    verr_set(err, file, line, func, code, "%s", verr2str(code));
    return -1;
}
#define FC_FAIL(err, code) fail((err), (code), __FILE__, __LINE__, __func__)

// The error record with errno's code and the formatted explanation; -1.
__attribute__((format(printf, 5, 6))) int errno_fail(verr_info* err, const char* file, uint32_t line, const char* func,
                                                     const char* fmt, ...) {
    int32_t code = verr_of_failed_errno(errno, VERR_GENERAL_FAILURE);
    char text[VERR_MSG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    str_vsprintf_s(text, sizeof text, fmt, ap);
    va_end(ap);
    verr_set(err, file, line, func, code, "%s", text);
    return -1;
}
#define FC_ERRNO(err, ...) errno_fail((err), __FILE__, __LINE__, __func__, __VA_ARGS__)

// Scratch texts of an open, off the stack: opens nest through the base.
struct open_texts {
    char base_url[URL_SIZE];
    char cache[PATH_SIZE];
    char proj[PATH_SIZE];
    char raw[URL_SIZE];
    char shown[URL_SIZE];
};

struct nesting_scope {
    nesting_scope() { ++t_nesting; }
    ~nesting_scope() { --t_nesting; }
    nesting_scope(const nesting_scope&) = delete;
    nesting_scope& operator=(const nesting_scope&) = delete;
};

// The directory part of a path with its separator, "" for a bare name.
bool dir_of(const char* path, char* out, size_t size) {
    if (str_safecopy(out, size, path) != 0) return false;
    if (path_get_name(out) == out) out[0] = 0;
    else path_cut_name(out);
    return true;
}

bool join(char* out, size_t size, const char* a, const char* sep, const char* b) {
    int32_t n = str_sprintf_s(out, size, "%s%s%s", a, sep, b);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// The base's URL, without the keys that belong to this open.
int make_base_url(fcache_ctx* h, const fcache_open_param* p, open_texts* t) {
    if (p->proj_file) {
        url_mask_password(p->raw_file, t->shown, sizeof t->shown);
        LOG2(LOG2_DBG, TAG, "raw_file=[%s] param=[%s]\n", t->shown, p->query ? p->query : "");
        bool ok;
        if (path_is_absolute(p->raw_file)) {
            ok = str_safecopy(t->base_url, sizeof t->base_url, p->raw_file) == 0;
        } else {
            char dir[PATH_SIZE];
            ok = dir_of(p->proj_file, dir, sizeof dir) && join(t->base_url, sizeof t->base_url, dir, "", p->raw_file);
        }
        if (ok && p->query && *p->query) ok = url_add_query_raw(t->base_url, p->query) == 0;
        if (!ok) {
            VERR_SET(h->err, VERR_INVALID_PARAMETER, "raw_file=[%s] too long", p->raw_file);
            return -1;
        }
    } else {
        if (str_safecopy(t->base_url, sizeof t->base_url, p->raw_file) != 0 || url_del_query(t->base_url, "wcache") != 0) {
            VERR_SET(h->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
            return -1;
        }
    }
    for (const char* key : {"flags", "sector_off", "vol_idx"}) {
        if (url_del_query(t->base_url, key) != 0) {
            VERR_SET(h->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
            return -1;
        }
    }
    url_mask_password(t->base_url, t->shown, sizeof t->shown);
    LOG2(LOG2_DBG, TAG, "url=[%s]\n", t->shown);
    return 0;
}

// The base, opened read-only.
int open_base(fcache_ctx* h, const fcache_open_param* p, open_texts* t, bd_dev_info* info) {
    uint32_t oflag =
        (p->oflag & ~(OS_PF_RDONLY | OS_PF_WRONLY | OS_PF_RDWR | OS_PF_CREATE | OS_PF_APPEND | OS_PF_TRUNC)) | OS_PF_RDONLY;
    // A project naming itself (or a ring of projects) would open without end.
    if (t_nesting >= FCACHE_MAX_NESTING) {
        LOG2(LOG2_ERR, TAG, "bd_open2s url=%s oflag=0x%x error: more than %d cache images nested\n", t->shown, oflag,
             FCACHE_MAX_NESTING);
        VERR_SET(h->err, VERR_NOT_SUPPORTED, "url=[%s]: more than %d cache images nested", t->shown, FCACHE_MAX_NESTING);
        return -1;
    }
    {
        nesting_scope nest;
        h->base = bd_open2s(t->base_url, oflag, p->opaque, h->err);
    }
    if (!h->base) {
        LOG2(LOG2_ERR, TAG, "bd_open2s url=%s oflag=0x%x error: %s\n", t->shown, oflag, verr_msg(h->err));
        if (h->err->code == 0) VERR_SET(h->err, VERR_OPEN_FAILED, "%s", verr2str(VERR_OPEN_FAILED));
        return -1;
    }
    if (bd_ioctl(h->base, GET_DEV_INFO, info, sizeof *info) != 0) {
        verr_copy(h->err, &h->base->verr);
        if (h->err->code == 0) FC_FAIL(h->err, VERR_GENERAL_FAILURE);
        return -1;
    }
    return 0;
}

// A local relative path made absolute from the working directory; other
// names (URLs, sessions, absolute paths) unchanged.
bool absolute_raw(char* raw, size_t size) {
    if (url_scheme_type(raw) != URL_CLASS_FILE || path_is_absolute(raw)) return true;
    char cwd[PATH_SIZE];
    if (!getcwd(cwd, sizeof cwd)) return false;
    char rel[URL_SIZE];
    if (str_safecopy(rel, sizeof rel, raw) != 0) return false;
    return join(raw, size, cwd, "/", rel);
}

// The text that names the base of a "wcache" open for its default cache
// name: the caller's URL without the keys that only steer an open or that
// the engine adds to an output (a write and a later read of the same device
// must find the same cache), a local relative path made absolute (files of
// one name in two directories must not share a cache).
bool base_identity(const char* url, char* out, size_t size) {
    if (str_safecopy(out, size, url) != 0) return false;
    for (const char* key : {"wcache", "wcache_read", "flags", "fsize", "sector_size", "sector_off", "vol_idx",
                            "connect_timeout", "read_timeout", "write_timeout"})
        if (url_del_query(out, key) != 0) return false;
    return absolute_raw(out, size);
}

// The cache file's path (not for "memory").
int make_cache_path(fcache_ctx* h, const fcache_open_param* p, open_texts* t) {
    const char* name = p->cache_file ? p->cache_file : "";
    bool ok;
    if (*name) {
        ok = str_expand_pct_env(name, t->cache, sizeof t->cache) == 0;
    } else {
        LOG2(LOG2_DBG, TAG, "cache_file= use default\n");
        if (p->proj_file) {
            ok = kxi_default_cache_name(p->raw_file, t->cache, sizeof t->cache) == 0;
        } else {
            ok = base_identity(p->url, t->raw, sizeof t->raw) &&
                 kxi_default_cache_name(t->raw, t->cache, sizeof t->cache) == 0;
        }
    }
    if (!ok) {
        VERR_SET(h->err, VERR_INVALID_PARAMETER, "cache_file=[%s] too long", name);
        return -1;
    }
    path_normalize(t->cache);
    LOG2(LOG2_DBG, TAG, "cache_file_2=[%s]\n", t->cache);
    if (path_is_absolute(t->cache)) return 0;
    char rel[PATH_SIZE];
    if (str_safecopy(rel, sizeof rel, t->cache) != 0) return FC_FAIL(h->err, VERR_INVALID_PARAMETER);
    if (p->proj_file) {
        char dir[PATH_SIZE];
        ok = dir_of(p->proj_file, dir, sizeof dir) && join(t->cache, sizeof t->cache, dir, "", rel);
    } else {
        // A relative name of a "wcache" open lives in the cache directory;
        // without one it would land wherever the process happens to run.
        const char* cache_dir = getenv("KX_CACHE");
        if (!cache_dir || !*cache_dir) {
            LOG2(LOG2_ERR, TAG, "cache_file=[%s] error: KX_CACHE is not set\n", rel);
            VERR_SET(h->err, VERR_INVALID_PARAMETER, "cache_file=[%s]: no cache directory (KX_CACHE)", rel);
            return -1;
        }
        ok = join(t->cache, sizeof t->cache, cache_dir, "\\", rel);
        LOG2(LOG2_DBG, TAG, "t_path=[%s]\n", t->cache);
    }
    if (!ok) {
        VERR_SET(h->err, VERR_INVALID_PARAMETER, "cache_file=[%s] too long", rel);
        return -1;
    }
    path_normalize(t->cache);
    return 0;
}

// The project path of a cache file: its name's extension replaced by ".kxi"
// (added when the name has none). Only the last path component counts.
bool proj_path_of(const char* cache, char* out, size_t size) {
    if (str_safecopy(out, size, cache) != 0) return false;
    char* name = const_cast<char*>(path_get_name(out));
    char* dot = strrchr(name, '.');
    if (dot && dot != name) *dot = 0;
    return str_safecat(out, size, ".kxi") == 0;
}

// The project file beside the cache file of a "wcache" open. Its failure
// is only logged.
void write_wcache_proj(const fcache_open_param* p, open_texts* t) {
    if (!proj_path_of(t->cache, t->proj, sizeof t->proj)) {
        LOG2(LOG2_ERR, TAG, "kxi_create_wcache_proj error: cache_file=[%s] too long\n", t->cache);
        return;
    }
    char base_path[PATH_SIZE] = "";
    if (url_scheme_type(t->base_url) == URL_CLASS_FILE) url_get_path(t->base_url, base_path, sizeof base_path);
    // A cache file named ".kxi" would be overwritten by its own project, and
    // a base that is a project would be replaced by one naming itself.
    if (path_is_same(t->proj, t->cache) || (base_path[0] && path_is_same(t->proj, base_path))) {
        LOG2(LOG2_ERR, TAG, "kxi_create_wcache_proj error: project [%s] would overwrite [%s]\n", t->proj,
             path_is_same(t->proj, t->cache) ? t->cache : base_path);
        return;
    }
    bool ok = str_safecopy(t->raw, sizeof t->raw, p->url) == 0 && url_del_query(t->raw, "flags") == 0 &&
              url_del_query(t->raw, "wcache") == 0 && absolute_raw(t->raw, sizeof t->raw);
    const char* cache_value = path_is_same_dir(t->cache, t->proj) ? path_get_name(t->cache) : t->cache;
    if (!ok) {
        LOG2(LOG2_ERR, TAG, "kxi_create_wcache_proj error: raw_file too long\n");
    } else if (kxi_create_wcache_proj(t->proj, t->raw, cache_value) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "kxi_create_wcache_proj error: ");
    }
}

// The cache file itself. A writable open creates a missing one; it
// never truncates an existing one, whatever the caller's flags.
int open_cache_file(fcache_ctx* h, const fcache_open_param* p, open_texts* t) {
    if (os_is_dir(t->cache) == 1) {
        LOG2(LOG2_ERR, TAG, "cache_file=[%s] is_dir\n", t->cache);
        VERR_SET(h->err, VERR_INVALID_PARAMETER, "cache_file=[%s] is_dir", t->cache);
        return -1;
    }
    h->read_only = (p->oflag & (OS_PF_WRONLY | OS_PF_RDWR)) == 0;
    bool exists = os_file_exist(t->cache) == 1;
    if (!exists) {
        h->is_new = 1;
        if (h->read_only) return 0;
    }
    uint32_t flags = OS_PF_RDONLY;
    if (!h->read_only) flags = exists ? OS_PF_RDWR : (OS_PF_RDWR | OS_PF_CREATE);
    h->file = os_file_open(t->cache, flags);
    if (!h->file) {
        int e = errno;
        url_mask_password(t->cache, t->shown, sizeof t->shown);
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "os_file_open url=%s oflag=0x%x error: ", t->shown, flags);
        errno = e;
        FC_ERRNO(h->err, "open %s failed [%s]", t->cache, os_errno_str(e));
        return -1;
    }
    int64_t size = os_file_size(h->file);
    if (size < 0) {
        FC_ERRNO(h->err, "read [%s] failed [%s]", t->cache, os_strerror());
        return -1;
    }
    if (size == 0) h->is_new = 1;
    return 0;
}

// The header of an existing cache file, checked against the base.
int read_head(fcache_ctx* h, const char* path, const bd_dev_info* info) {
    uint8_t raw[FCACHE_HEAD_SIZE];
    int64_t r = os_file_pread(h->file, raw, sizeof raw, 0);
    if (r < 0) {
        FC_ERRNO(h->err, "read [%s] failed [%s]", path, os_strerror());
        return -1;
    }
    if (r < static_cast<int64_t>(sizeof raw)) {
        VERR_SET(h->err, VERR_INVALID_FILE_HEAD, "[%s] invalid head", path);
        return -1;
    }
    if (fcache_head_decode(raw, &h->head, &h->endian) != 0) {
        VERR_SET(h->err, VERR_INVALID_MAGIC, "[%s] invalid magic", path);
        return -1;
    }
    LOG2(LOG2_DBG, TAG, "endian=%d\n", h->endian);
    const fcache_head& hd = h->head;
    // Values from the disk are checked before anything divides by them or
    // sizes a buffer with them.
    if (hd.major != FCACHE_MAJOR || !bd_is_valid_sector_size(hd.sector_size) || hd.block_size == 0 ||
        hd.block_size % hd.sector_size != 0 || hd.block_size > FCACHE_BLOCK_SIZE_MAX) {
        LOG2(LOG2_ERR, TAG, "[%s] major=%u sector_size=%u block_size=%u error\n", path, hd.major, hd.sector_size,
             hd.block_size);
        VERR_SET(h->err, VERR_INVALID_FILE_HEAD, "[%s] invalid head", path);
        return -1;
    }
    if (hd.file_size != info->size) {
        LOG2(LOG2_ERR, TAG, "[%s] file_size=%llu base size=%llu error\n", path, static_cast<unsigned long long>(hd.file_size),
             static_cast<unsigned long long>(info->size));
        VERR_SET(h->err, -11, "[%s] mismatch file_size", path);
        return -1;
    }
    return 0;
}

// The block table of an existing cache file. Every entry must name a
// whole block of its own inside the file, behind the table.
int read_table(fcache_ctx* h, const char* path) {
    int64_t fsize = os_file_size(h->file);
    int64_t start = data_start(h);
    int64_t bs = h->head.block_size;
    if (fsize < start) {
        VERR_SET(h->err, VERR_INVALID_FILE_HEAD, "[%s] invalid head_2", path);
        return -1;
    }
    size_t n = static_cast<size_t>(h->count) * 8;
    int64_t r = os_file_pread(h->file, h->table, n, FCACHE_HEAD_SIZE);
    if (r < 0) {
        FC_ERRNO(h->err, "read [%s] failed [%s]", path, os_strerror());
        return -1;
    }
    if (r < static_cast<int64_t>(n)) {
        VERR_SET(h->err, VERR_INVALID_FILE_HEAD, "[%s] invalid head_2", path);
        return -1;
    }
    int swap = swap_of(h->endian);
    int64_t slots = (fsize - start) / bs;
    std::unique_ptr<uint8_t, pl_mem_deleter> used(static_cast<uint8_t*>(pl_zalloc(static_cast<size_t>(slots / 8 + 1))));
    if (!used) {
        LOG2(LOG2_ERR, TAG, "malloc blen=%zu alloc failed\n", static_cast<size_t>(slots / 8 + 1));
        return FC_FAIL(h->err, VERR_NO_MEMORY);
    }
    for (int64_t i = 0; i < h->count; ++i) {
        uint64_t e = mem_get_u64(swap, h->table, static_cast<size_t>(i) * 8);
        h->table[i] = e;
        if (e == 0) continue;
        bool ok = e >= static_cast<uint64_t>(start) && (e - static_cast<uint64_t>(start)) % static_cast<uint64_t>(bs) == 0;
        int64_t slot = ok ? static_cast<int64_t>((e - static_cast<uint64_t>(start)) / static_cast<uint64_t>(bs)) : 0;
        ok = ok && slot < slots && !(used.get()[slot / 8] & (1u << (slot % 8)));
        if (!ok) {
            LOG2(LOG2_ERR, TAG, "[%s] block=%lld offset=%llu error\n", path, static_cast<long long>(i),
                 static_cast<unsigned long long>(e));
            VERR_SET(h->err, VERR_INVALID_FILE_HEAD, "[%s] invalid head_2", path);
            return -1;
        }
        used.get()[slot / 8] |= static_cast<uint8_t>(1u << (slot % 8));
    }
    return 0;
}

// A writable cache file whose length is off the block grid (a partial block
// behind the last whole one, which no table entry can name) is cut back to
// the grid, so that every new block lands on it. A read-only open leaves the
// file as it is: the partial block is never read.
int fix_grid(fcache_ctx* h, const char* path) {
    if (h->read_only) return 0;
    int64_t fsize = os_file_size(h->file);
    if (fsize < 0) {
        FC_ERRNO(h->err, "read [%s] failed [%s]", path, os_strerror());
        return -1;
    }
    int64_t start = data_start(h);
    int64_t bs = h->head.block_size;
    int64_t on_grid = start + (fsize - start) / bs * bs;
    if (fsize == on_grid) return 0;
    LOG2(LOG2_WARN, TAG, "[%s] size=%lld is off the block grid: cut to %lld\n", path, static_cast<long long>(fsize),
         static_cast<long long>(on_grid));
    if (os_file_ftruncate(h->file, on_grid) != 1) {
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "ftruncate error: ");
        FC_ERRNO(h->err, "truncate [%s] failed [%s]", path, os_strerror());
        return -1;
    }
    return 0;
}

int open_steps(fcache_ctx* h, const fcache_open_param* p, open_texts* t) {
    if (make_base_url(h, p, t) != 0) return -1;
    bd_dev_info info{};
    if (open_base(h, p, t, &info) != 0) return -1;

    const char* name = p->cache_file ? p->cache_file : "";
    LOG2(LOG2_DBG, TAG, "cache_file=[%s]\n", name);
    h->memory = strcmp(name, "memory") == 0;
    if (h->memory) {
        h->is_new = 1;
        h->read_only = (p->oflag & (OS_PF_WRONLY | OS_PF_RDWR)) == 0;
    } else {
        if (make_cache_path(h, p, t) != 0) return -1;
        if (!p->proj_file) write_wcache_proj(p, t);
        LOG2(LOG2_DBG, TAG, "cache_file_real=[%s]\n", t->cache);
        if (open_cache_file(h, p, t) != 0) return -1;
    }

    if (h->file && !h->is_new) {
        if (read_head(h, t->cache, &info) != 0) return -1;
    } else {
        memcpy(h->head.magic, "KXI0", 4);
        h->head.major = FCACHE_MAJOR;
        h->head.minor = FCACHE_MINOR;
        h->head.sector_size = info.sector_size;
        h->head.block_size = FCACHE_BLOCK_SIZE;
        h->head.file_size = info.size;
        h->endian = 0;
    }

    uint64_t bs = h->head.block_size;
    h->count = static_cast<int64_t>(h->head.file_size / bs + (h->head.file_size % bs != 0));
    size_t blen = static_cast<size_t>(std::max<int64_t>(h->count, 1)) * 8;
    h->table = static_cast<uint64_t*>(pl_zalloc(blen));
    if (!h->table) {
        LOG2(LOG2_ERR, TAG, "malloc blen=%zu alloc failed\n", blen);
        return FC_FAIL(h->err, VERR_NO_MEMORY);
    }
    if (h->file && !h->is_new && (read_table(h, t->cache) != 0 || fix_grid(h, t->cache) != 0)) return -1;

    if (h->file) {
        h->block_buf = static_cast<uint8_t*>(pl_aligned_alloc(bs, k_align));
        if (!h->block_buf) return FC_FAIL(h->err, VERR_NO_MEMORY);
        memset(h->block_buf, 0, bs);
    }
    // A read-only open never writes: caching what it reads would need a
    // writable cache.
    h->cache_read = p->cache_read && !h->read_only;
    LOG2(LOG2_DBG, TAG, "cache_read=%d block_size=%d\n", h->cache_read, static_cast<int>(bs));
    return 0;
}

// off and len inside the base, whole sectors (a final piece may end at the
// base's end); false with -2.
bool check_range(fcache_ctx* h, int64_t off, int64_t len) {
    int64_t ss = h->head.sector_size;
    int64_t end;
    bool ok = off >= 0 && len >= 0 && ss > 0 && off % ss == 0 && !__builtin_add_overflow(off, len, &end) &&
              static_cast<uint64_t>(end) <= h->head.file_size &&
              (len % ss == 0 || static_cast<uint64_t>(end) == h->head.file_size);
    if (!ok) FC_FAIL(h->err, VERR_INVALID_PARAMETER);
    return ok;
}

// The base's bytes of block i into buf (a whole block, zero behind the base's end).
int read_base_block(fcache_ctx* h, int64_t i, uint8_t* buf) {
    int64_t bs = h->head.block_size;
    int64_t at = i * bs;
    int64_t blen = std::min<int64_t>(bs, static_cast<int64_t>(h->head.file_size) - at);
    memset(buf + blen, 0, static_cast<size_t>(bs - blen));
    int64_t r = bd_pread(h->base, buf, blen, at);
    if (r == blen) return 0;
    LOG2(LOG2_ERR, TAG, "pread error: offset=%lld len=%lld rlen=%lld %s\n", static_cast<long long>(at),
         static_cast<long long>(blen), static_cast<long long>(r), r < 0 ? bd_errmsg(h->base) : "");
    VERR_SET(h->err, -258, "pread base offset=%lld len=%lld failed: %s", static_cast<long long>(at),
             static_cast<long long>(blen), r < 0 ? bd_errmsg(h->base) : "short read");
    return -1;
}

int write_file_head(fcache_ctx* h) {
    size_t n = static_cast<size_t>(data_start(h));
    std::unique_ptr<uint8_t, pl_mem_deleter> buf(static_cast<uint8_t*>(pl_zalloc(n)));
    if (!buf) return FC_FAIL(h->err, VERR_NO_MEMORY);
    fcache_head_encode(&h->head, buf.get());
    int swap = swap_of(h->endian);
    for (int64_t i = 0; i < h->count; ++i) mem_set_u64(swap, buf.get(), FCACHE_HEAD_SIZE + static_cast<size_t>(i) * 8, h->table[i]);
    if (os_file_pwrit(h->file, buf.get(), n, 0) != static_cast<int64_t>(n)) {
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "pwrit error: ");
        return FC_FAIL(h->err, VERR_DISK_FULL);
    }
    h->is_new = 0;
    return 0;
}

// A block that is not cached yet: the base's block with the piece laid over
// it goes to a new place, and only then does the table name it, so a failure
// never leaves a block that reads as anything but the base's data.
int add_block(fcache_ctx* h, int64_t i, const uint8_t* src, int64_t in, int64_t n) {
    int64_t bs = h->head.block_size;
    int64_t blen = std::min<int64_t>(bs, static_cast<int64_t>(h->head.file_size) - i * bs);
    // A piece that covers the whole block needs nothing from the base.
    bool whole = in == 0 && n >= blen;
    if (h->memory) {
        auto* p = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(bs), k_align));
        if (!p) {
            LOG2(LOG2_ERR, TAG, "malloc %d failed\n", static_cast<int>(bs));
            return FC_FAIL(h->err, VERR_DISK_FULL);
        }
        if (whole) memset(p + blen, 0, static_cast<size_t>(bs - blen));
        else if (read_base_block(h, i, p) != 0) {
            pl_aligned_free(p);
            return -1;
        }
        memcpy(p + in, src, static_cast<size_t>(n));
        h->table[i] = reinterpret_cast<uintptr_t>(p);
        return 0;
    }
    // The next place on the block grid: a partial block at the end (which no
    // entry names) is written over, never extended off the grid.
    int64_t size = os_file_size(h->file);
    int64_t at = size < data_start(h) ? -1 : data_start(h) + (size - data_start(h)) / bs * bs;
    if (at != size && at >= 0)
        LOG2(LOG2_WARN, TAG, "size=%lld is off the block grid: block %lld goes to %lld\n", static_cast<long long>(size),
             static_cast<long long>(i), static_cast<long long>(at));
    if (at < 0 || os_file_ftruncate(h->file, at + bs) != 1) {
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "ftruncate error: ");
        return FC_FAIL(h->err, VERR_DISK_FULL);
    }
    auto undo = [&] { os_file_ftruncate(h->file, at); };
    if (whole) memset(h->block_buf + blen, 0, static_cast<size_t>(bs - blen));
    else if (read_base_block(h, i, h->block_buf) != 0) {
        undo();
        return -1;
    }
    memcpy(h->block_buf + in, src, static_cast<size_t>(n));
    uint8_t entry[8];
    mem_set_u64(swap_of(h->endian), entry, 0, static_cast<uint64_t>(at));
    if (os_file_pwrit(h->file, h->block_buf, static_cast<size_t>(bs), at) != bs ||
        os_file_pwrit(h->file, entry, sizeof entry, FCACHE_HEAD_SIZE + 8 * i) != static_cast<int64_t>(sizeof entry)) {
        LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "pwrit error: ");
        FC_FAIL(h->err, VERR_DISK_FULL);
        undo();
        return -1;
    }
    h->table[i] = static_cast<uint64_t>(at);
    return 0;
}

struct fcache_closer {
    void operator()(fcache_ctx* h) const { libfcache_close(h); }
};

}  // namespace

void fcache_head_encode(const fcache_head* head, uint8_t out[FCACHE_HEAD_SIZE]) {
    int swap = swap_of(head->magic[3] == '1' ? 1 : 0);
    memcpy(out, head->magic, 4);
    mem_set_u16(swap, out, 4, head->major);
    mem_set_u16(swap, out, 6, head->minor);
    mem_set_u32(swap, out, 8, head->sector_size);
    mem_set_u32(swap, out, 12, head->block_size);
    mem_set_u64(swap, out, 16, head->file_size);
}

int fcache_head_decode(const uint8_t in[FCACHE_HEAD_SIZE], fcache_head* head, uint8_t* endian) {
    uint8_t e;
    if (memcmp(in, "KXI0", 4) == 0) e = 0;
    else if (memcmp(in, "KXI1", 4) == 0) e = 1;
    else return -1;
    int swap = swap_of(e);
    memcpy(head->magic, in, 4);
    head->major = mem_get_u16(swap, in, 4);
    head->minor = mem_get_u16(swap, in, 6);
    head->sector_size = mem_get_u32(swap, in, 8);
    head->block_size = mem_get_u32(swap, in, 12);
    head->file_size = mem_get_u64(swap, in, 16);
    *endian = e;
    return 0;
}

fcache_ctx* libfcache_open(const fcache_open_param* p) {
    if (!p || !p->err) return nullptr;
    if (!p->raw_file || !p->url) {
        FC_FAIL(p->err, VERR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<fcache_ctx, fcache_closer> h(static_cast<fcache_ctx*>(pl_zalloc(sizeof(fcache_ctx))));
    std::unique_ptr<open_texts, pl_mem_deleter> t(static_cast<open_texts*>(pl_zalloc(sizeof(open_texts))));
    if (!h || !t) {
        FC_FAIL(p->err, VERR_NO_MEMORY);
        return nullptr;
    }
    h->err = p->err;
    h->endian = FCACHE_ENDIAN_NONE;
    if (open_steps(h.get(), p, t.get()) != 0) return nullptr;
    return h.release();
}

int libfcache_close(fcache_ctx* h) {
    if (!h) return 0;
    LOG2(LOG2_DBG, TAG, "==>\n");
    if (h->base) bd_close(h->base);
    if (h->file) os_file_close(h->file);
    if (h->memory && h->table)
        for (int64_t i = 0; i < h->count; ++i)
            if (h->table[i]) pl_aligned_free(reinterpret_cast<void*>(static_cast<uintptr_t>(h->table[i])));
    pl_free(h->table);
    if (h->block_buf) pl_aligned_free(h->block_buf);
    pl_free(h);
    return 0;
}

int64_t libfcache_pread(fcache_ctx* h, void* buf, int64_t len, int64_t off) {
    if (!h || (!buf && len > 0)) return -1;
    if (!check_range(h, off, len)) return -1;
    auto* dst = static_cast<uint8_t*>(buf);
    int64_t bs = h->head.block_size;
    for (int64_t done = 0; done < len;) {
        int64_t pos = off + done;
        int64_t i = pos / bs;
        int64_t in = pos % bs;
        int64_t n = std::min(len - done, bs - in);
        uint64_t e = h->table[i];
        if (e != 0 && h->memory) {
            memcpy(dst + done, reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(e)) + in, static_cast<size_t>(n));
        } else if (e != 0) {
            int64_t r = os_file_pread(h->file, dst + done, static_cast<size_t>(n), static_cast<int64_t>(e) + in);
            if (r != n) {
                LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "pread offset=%llilen=%d rlen=%d  error: ",
                     static_cast<long long>(e) + in, static_cast<int>(n), static_cast<int>(r));
                VERR_SET(h->err, -258, "pread cache offset=%lld len=%lld failed", static_cast<long long>(e) + in,
                         static_cast<long long>(n));
                return -1;
            }
        } else {
            int64_t r = bd_pread(h->base, dst + done, n, pos);
            if (r != n) {
                if (r < 0 && h->base->verr.code != 0) verr_copy(h->err, &h->base->verr);
                else VERR_SET(h->err, -258, "pread base offset=%lld len=%lld returned %lld", static_cast<long long>(pos),
                              static_cast<long long>(n), static_cast<long long>(r));
                return -1;
            }
            if (h->cache_read && libfcache_pwrite(h, dst + done, n, pos) != n) return -1;
        }
        done += n;
    }
    return len;
}

int64_t libfcache_pwrite(fcache_ctx* h, const void* buf, int64_t len, int64_t off) {
    if (!h || (!buf && len > 0)) return -1;
    if (!check_range(h, off, len)) return -1;
    if (h->read_only) {
        FC_FAIL(h->err, VERR_WRITE_PROTECT);
        return -1;
    }
    if (len == 0) return 0;
    if (!h->memory && h->is_new && write_file_head(h) != 0) return -1;
    const auto* src = static_cast<const uint8_t*>(buf);
    int64_t bs = h->head.block_size;
    for (int64_t done = 0; done < len;) {
        int64_t pos = off + done;
        int64_t i = pos / bs;
        int64_t in = pos % bs;
        int64_t n = std::min(len - done, bs - in);
        uint64_t e = h->table[i];
        if (e == 0) {
            if (add_block(h, i, src + done, in, n) != 0) return -1;
        } else if (h->memory) {
            memcpy(reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(e)) + in, src + done, static_cast<size_t>(n));
        } else if (os_file_pwrit(h->file, src + done, static_cast<size_t>(n), static_cast<int64_t>(e) + in) != n) {
            LOG2(LOG2_ERR | LOG2_ERRNO, TAG, "pwrit error: ");
            FC_FAIL(h->err, VERR_DISK_FULL);
            return -1;
        }
        done += n;
    }
    return len;
}

int libfcache_sync(fcache_ctx* h) {
    if (!h) return -1;
    if (!h->file) return 0;
    if (os_file_fsync(h->file) != 1) {
        FC_ERRNO(h->err, "fsync [%s] failed [%s]", os_file_path(h->file), os_strerror());
        return -1;
    }
    return 0;
}

int64_t libfcache_size(const fcache_ctx* h) { return h ? static_cast<int64_t>(h->head.file_size) : -1; }

uint32_t libfcache_sector_size(const fcache_ctx* h) { return h ? h->head.sector_size : 0; }
