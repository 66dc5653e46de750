// The cache-image driver's functions, project files and default cache names.
#include "libkxi/libkxi.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "libconf/ini/conf.h"
#include "libconf/ini/iniparser.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/path.h"
#include "libpal/string/str_expand.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr const char* TAG = "kxi";

const kxi_cache_drv k_cache_wfile = {
    "cache_wfile",  &libfcache_open,   &libfcache_close,  &libfcache_size,
    &libfcache_sector_size, &libfcache_pread, &libfcache_pwrite, &libfcache_sync,
};

const kxi_cache_drv* g_cache_drv = nullptr;

// The driver's handle: the cache table and the cache handle.
struct kxi_handle {
    const kxi_cache_drv* drv;
    fcache_ctx* cache;
};

kxi_handle* as_kxi(void* h) { return static_cast<kxi_handle*>(h); }

struct kxi_texts {
    char raw[URL_SIZE];
    char cache[PATH_SIZE];
    char proj[PATH_SIZE];
};

struct conf_closer {
    void operator()(conf_ctx* c) const { conf_close(c); }
};

// The project file of url: its raw and cache file into t. 0, or -1 with the
// error record filled.
int read_project(const char* url, verr_info* err, kxi_texts* t) {
    if (url_get_path(url, t->proj, sizeof t->proj) != 0) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    path_normalize_local(t->proj);
    errno = 0;
    std::unique_ptr<conf_ctx, conf_closer> conf(conf_load(t->proj));
    if (!conf) {
        int e = errno;
        LOG2(LOG2_ERR, TAG, "conf_load [%s] failed\n", t->proj);
        VERR_SET(err, verr_of_failed_errno(e, VERR_OPEN_FAILED), "conf_load [%s] failed", t->proj);
        return -1;
    }
    const char* type = conf_get_string(conf.get(), "base", "type", "");
    if (strcmp(type, "cache_wfile") != 0) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "Unsupported type=[%s]", type);
        return -1;
    }
    const char* raw = conf_get_string(conf.get(), "cache_wfile", "raw_file", "");
    const char* cache = conf_get_string(conf.get(), "cache_wfile", "cache_file", "");
    if (!*raw) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "[%s] raw_file is empty", t->proj);
        return -1;
    }
    if (str_safecopy(t->raw, sizeof t->raw, raw) != 0 || str_safecopy(t->cache, sizeof t->cache, cache) != 0) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "[%s] raw_file or cache_file too long", t->proj);
        return -1;
    }
    return 0;
}

// An ini value that reads back exactly: wrapped in double quotes where the
// parser would otherwise cut or trim it.
std::string ini_value(const char* v) {
    if (!*v || strpbrk(v, " \t#;") || ini_value_needs_quotes(v)) return std::string("\"") + v + "\"";
    return v;
}

}  // namespace

void kxi_cache_drv_init() { g_cache_drv = &k_cache_wfile; }

const kxi_cache_drv* kxi_cache_drv_get() { return g_cache_drv; }

void* kxi_open(const char* url, uint32_t oflag, uint64_t opaque, verr_info* err, const char* full_url) {
    if (!err) return nullptr;
    const kxi_cache_drv* drv = g_cache_drv;
    if (!url || !drv) {
        VERR_SET(err, drv ? VERR_INVALID_PARAMETER : VERR_NOT_IMPLEMENTED, "%s",
                 verr2str(drv ? VERR_INVALID_PARAMETER : VERR_NOT_IMPLEMENTED));
        return nullptr;
    }
    std::unique_ptr<kxi_texts, pl_mem_deleter> t(static_cast<kxi_texts*>(pl_zalloc(sizeof(kxi_texts))));
    if (!t) {
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    fcache_open_param p{};
    p.url = full_url && *full_url ? full_url : url;
    p.oflag = oflag;
    p.cache_read = url_query_get_int(url, "wcache_read", 0) != 0;
    p.opaque = opaque;
    p.err = err;
    if (url_query_has_key(url, "wcache")) {
        if (url_query_get(url, "wcache", "", t->cache, sizeof t->cache) != 0) {
            VERR_SET(err, VERR_INVALID_PARAMETER, "wcache value too long");
            return nullptr;
        }
        p.raw_file = url;
        p.query = "";
    } else {
        if (read_project(url, err, t.get()) != 0) return nullptr;
        p.raw_file = t->raw;
        p.proj_file = t->proj;
        const char* q = strchr(url, '?');
        p.query = q ? q + 1 : "";
    }
    p.cache_file = t->cache;
    fcache_ctx* cache = drv->open(&p);
    if (!cache) return nullptr;
    auto* h = static_cast<kxi_handle*>(pl_zalloc(sizeof(kxi_handle)));
    if (!h) {
        drv->close(cache);
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->drv = drv;
    h->cache = cache;
    return h;
}

int kxi_close(void* h) {
    kxi_handle* k = as_kxi(h);
    if (!k) return 0;
    k->drv->close(k->cache);
    pl_free(k);
    return 0;
}

int64_t kxi_size(void* h) { return as_kxi(h)->drv->size(as_kxi(h)->cache); }

uint32_t kxi_sector_size(void* h) { return as_kxi(h)->drv->sector_size(as_kxi(h)->cache); }

int64_t kxi_pread(void* h, void* buf, int64_t len, int64_t off) {
    return as_kxi(h)->drv->pread(as_kxi(h)->cache, buf, len, off);
}

int64_t kxi_pwrite(void* h, const void* buf, int64_t len, int64_t off) {
    return as_kxi(h)->drv->pwrite(as_kxi(h)->cache, buf, len, off);
}

int kxi_sync(void* h) { return as_kxi(h)->drv->sync(as_kxi(h)->cache); }

int kxi_create_wcache_proj(const char* proj_path, const char* raw_url, const char* cache_path) {
    if (!proj_path || !raw_url || !cache_path || strpbrk(raw_url, "\r\n") || strpbrk(cache_path, "\r\n")) {
        errno = EINVAL;
        return -1;
    }
    std::string text = "[base]\ntype=cache_wfile\n\n[cache_wfile]\nraw_file=" + ini_value(raw_url) +
                       "\ncache_file=" + ini_value(cache_path) + "\n";
    return os_file_write_text(proj_path, text.c_str()) == 0 ? 0 : -1;
}

int kxi_default_cache_name(const char* text, char* out, size_t size) {
    if (!text || !out || size == 0) return -1;
    char name[PATH_SIZE];
    uint32_t crc = hash_crc32(text, strlen(text), 0);
    int32_t n = str_sprintf_s(name, sizeof name, "%%%s%%\\%x.cache", "KX_CACHE", crc);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) return -1;
    if (str_expand_pct_env(name, out, size) != 0) return -1;
    path_normalize(out);
    return 0;
}
