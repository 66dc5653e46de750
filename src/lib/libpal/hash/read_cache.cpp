// The read cache of the hash jobs.
#include "libpal/hash/read_cache.h"

#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"

int64_t file_read_once(file_read_fn fn, void* arg, void* buf, uint64_t len, int64_t off) {
    if (len > static_cast<uint64_t>(INT64_MAX)) len = static_cast<uint64_t>(INT64_MAX);
    int64_t rc = fn ? fn(arg, buf, static_cast<int64_t>(len), off)
                    : os_file_pread(static_cast<os_file_ctx*>(arg), buf, static_cast<size_t>(len), off);
    if (rc > static_cast<int64_t>(len)) {
        PL_CHECK_TEXT("pal", false, "rc<=len");
        errno = EIO;
        return -1;
    }
    return rc;
}

int64_t file_read_full(file_read_fn fn, void* arg, void* buf, uint64_t len, int64_t off) {
    auto* p = static_cast<uint8_t*>(buf);
    uint64_t done = 0;
    while (done < len) {
        int64_t rc = file_read_once(fn, arg, p + done, len - done, off + static_cast<int64_t>(done));
        if (rc < 0) return rc;
        if (rc == 0) break;
        done += static_cast<uint64_t>(rc);
    }
    return static_cast<int64_t>(done);
}

read_cache* read_cache_new(const read_cache_param* param) {
    if (!PL_CHECK_TEXT("pal", param != nullptr, "param!=NULL")) return nullptr;
    auto* cache = static_cast<read_cache*>(pl_zalloc(sizeof(read_cache)));
    if (!cache) return nullptr;
    cache->size = param->size ? param->size : READ_CACHE_SIZE;
    cache->data = cache->size <= SIZE_MAX ? static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(cache->size))) : nullptr;
    if (!cache->data) {
        pl_free(cache);
        return nullptr;
    }
    cache->total = param->total > 0 ? param->total : 0;
    cache->pread = param->pread;
    cache->arg = param->arg;
    return cache;
}

void read_cache_free(read_cache* cache) {
    if (!cache) return;
    pl_free(cache->data);
    pl_free(cache);
}

void read_cache_reset(read_cache* cache) {
    if (!cache) return;
    cache->pos = 0;
    cache->len = 0;
    cache->off = 0;
}

namespace {

// Checks a read's arguments and cuts its length at a known end of the
// source: -1 a bad argument, 0 nothing to read (at or past the end, or no
// length), 1 read *len bytes.
int bound_read(read_cache* cache, const void* buf, uint64_t* len, int64_t off) {
    if (!PL_CHECK_TEXT("pal", cache != nullptr && buf != nullptr, "cache!=NULL && buf!=NULL")) return -1;
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    if (cache->total > 0) {
        if (off >= cache->total) return 0;
        uint64_t left = static_cast<uint64_t>(cache->total - off);
        if (*len > left) *len = left;
    }
    return *len == 0 ? 0 : 1;
}

}  // namespace

int64_t read_cache_pread_direct(read_cache* cache, void* buf, uint64_t len, int64_t off) {
    if (int b = bound_read(cache, buf, &len, off); b <= 0) return b;
    read_cache_reset(cache);
    return file_read_full(cache->pread, cache->arg, buf, len, off);
}

int64_t read_cache_pread(read_cache* cache, void* buf, uint64_t len, int64_t off) {
    if (int b = bound_read(cache, buf, &len, off); b <= 0) return b;
    if (len >= cache->size) {
        read_cache_reset(cache);
        return file_read_full(cache->pread, cache->arg, buf, len, off);
    }

    auto* out = static_cast<uint8_t*>(buf);
    uint64_t copied = 0;
    while (copied < len) {
        const int64_t at = off + static_cast<int64_t>(copied);
        // Served from the cache when it holds the byte at `at`.
        if (cache->len && at >= cache->off && at < cache->off + static_cast<int64_t>(cache->len)) {
            uint64_t idx = static_cast<uint64_t>(at - cache->off);
            uint64_t n = cache->len - idx;
            if (n > len - copied) n = len - copied;
            memcpy(out + copied, cache->data + idx, static_cast<size_t>(n));
            copied += n;
            cache->pos = idx + n;
            continue;
        }
        uint64_t want = cache->size;
        if (cache->total > 0) {
            uint64_t left = static_cast<uint64_t>(cache->total - at);
            if (want > left) want = left;
        }
        int64_t rc = file_read_once(cache->pread, cache->arg, cache->data, want, at);
        if (rc <= 0) {
            read_cache_reset(cache);
            if (rc < 0) return rc;
            break;  // the end of the data
        }
        cache->off = at;
        cache->len = static_cast<uint64_t>(rc);
        cache->pos = 0;
    }
    return static_cast<int64_t>(copied);
}
