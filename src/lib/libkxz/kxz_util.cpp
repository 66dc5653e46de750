// Error records, exact file transfers and the packing state of an image.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "libkxz/kxz_priv.h"
#include "libpal/memory/mem_endian.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "liblog/log2.h"

void kxz_err_set(kxz_image* img, const char* file, uint32_t line, const char* func, int32_t code, const char* fmt, ...) {
    if (!img || !img->err) return;
    char text[VERR_MSG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    verr_set(img->err, file, line, func, code, "%s", text);
}

void kxz_err_errno(kxz_image* img, const char* file, uint32_t line, const char* func) {
    int e = errno;
    if (!img || !img->err) return;
    verr_set_errno_at(img->err, file, line, func, e, VERR_FILE_IO_ERROR);
}

bool kxz_read_at(kxz_image* img, void* buf, uint64_t len, uint64_t off) {
    int64_t n = os_file_pread(img->file, buf, static_cast<size_t>(len), static_cast<int64_t>(off));
    if (n == static_cast<int64_t>(len)) return true;
    if (n >= 0) errno = EIO;  // the file ends inside the range
    return false;
}

bool kxz_write_at(kxz_image* img, const void* buf, uint64_t len, uint64_t off) {
    int64_t n = os_file_pwrit(img->file, buf, static_cast<size_t>(len), static_cast<int64_t>(off));
    if (n == static_cast<int64_t>(len)) return true;
    if (n >= 0 && errno == 0) errno = EIO;
    return false;
}

int kxz_read_u32(kxz_image* img, uint64_t off, uint32_t* v) {
    uint8_t b[4];
    int64_t n = os_file_pread(img->file, b, sizeof b, static_cast<int64_t>(off));
    if (n < 0) return -1;
    if (n < 4) return 0;
    *v = mem_get_u32(kxz_swap(img->endian), b, 0);
    return 1;
}

bool kxz_write_header_u64(kxz_image* img, size_t field, uint64_t v) {
    uint8_t b[8];
    mem_set_u64(kxz_swap(img->endian), b, 0, v);
    return kxz_write_at(img, b, sizeof b, field);
}

int kxz_pack_setup(kxz_image* img) {
    if (img->pack_ready) return 0;
    if (img->hdr.block_len == 0 || img->hdr.block_len > KXZ_MAX_BLOCK_LEN) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "block_len=%u error: set the block length first", img->hdr.block_len);
        return -1;
    }
    img->zc.name[0] = 0;
    img->zc.id = img->hdr.pack_type;
    if (zcomp_open_ex(&img->zc) != 0) {
        LOG2(LOG2_DBG, "kxz", "zcomp_open_ex pack_type=%d failed\n", static_cast<int>(img->hdr.pack_type));
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "pack_type=%u: %s", img->hdr.pack_type, verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    img->block_buf = static_cast<uint8_t*>(pl_malloc(img->hdr.block_len));
    img->packed_buf = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(kxz_max_zlen(img))));
    if (!img->block_buf || !img->packed_buf) {
        kxz_pack_reset(img);
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return -1;
    }
    img->pack_ready = 1;
    return 0;
}

void kxz_pack_reset(kxz_image* img) {
    zcomp_close(&img->zc);
    pl_free(img->block_buf);
    pl_free(img->packed_buf);
    img->block_buf = nullptr;
    img->packed_buf = nullptr;
    img->kept_valid = 0;
    img->pack_ready = 0;
}

int kxz_unpack_exact(kxz_image* img, const void* src, uint64_t zlen, void* dst, uint64_t n) {
    int64_t got = zcomp_unpack(&img->zc, src, static_cast<int64_t>(zlen), dst, static_cast<int64_t>(n));
    if (got == static_cast<int64_t>(n)) return 0;
    LOG2(LOG2_DBG, "kxz", "unpack zlen=%llu ret=%lld want=%llu error\n", static_cast<unsigned long long>(zlen),
         static_cast<long long>(got), static_cast<unsigned long long>(n));
    KXZ_ERR_CODE(img, VERR_DEV_IO_ERROR);
    return -1;
}
