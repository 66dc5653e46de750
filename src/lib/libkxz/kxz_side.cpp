// The side file: the offset index of an image while it is written.
#include <cerrno>
#include <cstring>

#include "libkxz/kxz_format.h"
#include "libkxz/kxz_index.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

int fail_close(side_writer* w) {
    write_cache_info_close(w);
    return -1;
}

bool size_ok(int64_t size) { return size >= static_cast<int64_t>(KXZ_SIDE_HEAD) && (size - KXZ_SIDE_HEAD) % 8 == 0; }

}  // namespace

int write_cache_info_init(side_writer* w, const char* name, const uint8_t* guid, uint32_t endian, uint32_t off_blksize,
                          uint32_t block_len, int create) {
    write_cache_info_close(w);
    *w = side_writer{};
    if (create) {
        w->file = os_file_open(name, OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC);
    } else {
        w->file = os_file_open(name, OS_PF_RDWR);
        if (!w->file) w->file = os_file_open(name, OS_PF_RDWR | OS_PF_CREATE);
    }
    if (!w->file) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "open [%s] error: ", name);
        return -1;
    }
    int64_t size = os_file_size(w->file);
    if (size < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_size error: ");
        return fail_close(w);
    }
    if (size == 0) {
        if (os_file_pwrit(w->file, guid, KXZ_GUID_SIZE, 0) != static_cast<int64_t>(KXZ_GUID_SIZE)) {
            LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_pwrite error: ");
            return fail_close(w);
        }
        size = KXZ_SIDE_HEAD;
    } else {
        if (!size_ok(size)) {
            LOG2(LOG2_ERR, "kxz", "cache_file len=%d error\n", static_cast<int>(size));
            return fail_close(w);
        }
        uint8_t head[KXZ_GUID_SIZE];
        if (os_file_pread(w->file, head, sizeof head, 0) != static_cast<int64_t>(sizeof head)) {
            LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_pread error: ");
            return fail_close(w);
        }
        if (memcmp(head, guid, KXZ_GUID_SIZE) != 0) {
            LOG2(LOG2_ERR, "kxz", "guid unequal error\n");
            return fail_close(w);
        }
    }
    w->count = static_cast<uint32_t>((size - KXZ_SIDE_HEAD) / 8);
    w->endian = endian;
    w->step = kxz_step(off_blksize, block_len);
    LOG2(LOG2_VERB, "kxz", "ctx->last_idx=%d\n", static_cast<int>(w->count));
    return 0;
}

int write_cache_info_set(side_writer* w, uint64_t boff, uint64_t foff) {
    if (!w->file) return -1;
    if (w->step == 0 || boff != (uint64_t{w->count} + 1) * w->step) return 0;
    uint8_t b[8];
    mem_set_u64(kxz_swap(w->endian), b, 0, foff);
    int64_t at = static_cast<int64_t>(KXZ_SIDE_HEAD + 8 * uint64_t{w->count});
    if (os_file_pwrit(w->file, b, sizeof b, at) != static_cast<int64_t>(sizeof b)) {
        // Not counted: the next entry is written in its place.
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "error: ");
        return -1;
    }
    w->count++;
    return 0;
}

int write_cache_info_keep(side_writer* w, uint32_t n) {
    if (!w->file) return -1;
    if (n >= w->count) return 0;
    if (os_file_ftruncate(w->file, static_cast<int64_t>(KXZ_SIDE_HEAD + 8 * uint64_t{n})) != 1) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "truncate error: ");
        return -1;
    }
    w->count = n;
    return 0;
}

int write_cache_info_append(side_writer* w, const void* entries, uint32_t length) {
    if (!w->file) return -1;
    length -= length % 8;
    if (length == 0) return 0;
    int64_t at = static_cast<int64_t>(KXZ_SIDE_HEAD + 8 * uint64_t{w->count});
    if (os_file_pwrit(w->file, entries, length, at) != static_cast<int64_t>(length)) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_pwrite error: ");
        os_file_ftruncate(w->file, at);
        return -1;
    }
    w->count += length / 8;
    return 0;
}

int write_cache_info_get(const char* name, const uint8_t* guid, uint8_t** entries, uint32_t* length) {
    *entries = nullptr;
    *length = 0;
    os_file_ctx* f = os_file_open(name, OS_PF_RDONLY);
    if (!f) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "kxz", "name=%s error: ", name);
        return -1;
    }
    int rc = -1;
    int64_t size = os_file_size(f);
    uint8_t head[KXZ_GUID_SIZE];
    if (size < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_size error: ");
    } else if (size == static_cast<int64_t>(KXZ_SIDE_HEAD)) {
        LOG2(LOG2_DBG, "kxz", "no off_cache data\n");
        rc = 0;
    } else if (!size_ok(size) || size - KXZ_SIDE_HEAD > KXZ_TRAILER_MAX) {
        LOG2(LOG2_ERR, "kxz", "cache_file len=%d error\n", static_cast<int>(size));
    } else if (os_file_pread(f, head, sizeof head, 0) != static_cast<int64_t>(sizeof head)) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_pread error: ");
    } else if (memcmp(head, guid, KXZ_GUID_SIZE) != 0) {
        LOG2(LOG2_ERR, "kxz", "guid unequal error\n");
    } else {
        auto len = static_cast<uint32_t>(size - KXZ_SIDE_HEAD);
        auto* buf = static_cast<uint8_t*>(pl_malloc(len));
        if (!buf) {
            LOG2(LOG2_ERR, "kxz", "malloc %u error\n", len);
        } else if (os_file_pread(f, buf, len, KXZ_SIDE_HEAD) != static_cast<int64_t>(len)) {
            LOG2(LOG2_ERR | LOG2_ERRNO, "kxz", "os_file_pread error: ");
            pl_free(buf);
        } else {
            *entries = buf;
            *length = len;
            rc = 0;
        }
    }
    os_file_close(f);
    return rc;
}

void write_cache_info_close(side_writer* w) {
    if (w->file) os_file_close(w->file);
    w->file = nullptr;
}
