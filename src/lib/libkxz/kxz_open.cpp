// Opening and closing an image; its size and current position.
#include <cerrno>
#include <cstring>

#include "libkxz/kxz_priv.h"
#include "libpal/hash/guid.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"

namespace {

using ull = unsigned long long;

void free_image(kxz_image* img) {
    off_cache_free(&img->cache);
    write_cache_info_close(&img->side);
    kxz_pack_reset(img);
    pl_free(img->side_name);
    if (img->file) os_file_close(img->file);
    pl_free(img);
}

kxz_image* open_failed(kxz_image* img) {
    free_image(img);
    return nullptr;
}

void new_header(kxz_image* img) {
    kxz_header& h = img->hdr;
    memcpy(h.magic, "KXZ0", 4);
    h.major_ver = KXZ_MAJOR;
    h.minor_ver = KXZ_MINOR;
    h.pack_type = PACK_LZ4;
    h.block_len = 0;
    h.sector_size = 512;
    h.file_len = 0;
    h.off_blksize = KXZ_OFF_BLKSIZE;
    h.off_cache = 0;
    img->endian = 0;
}

// Reads and checks the header of an existing image: 0, or -1.
int read_header(kxz_image* img, int64_t size) {
    uint8_t b[KXZ_HEADER_SIZE];
    int64_t n = os_file_pread(img->file, b, sizeof b, 0);
    if (n < 0) {
        KXZ_ERRNO(img);
        return -1;
    }
    if (n < static_cast<int64_t>(sizeof b)) {
        KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
        return -1;
    }
    if (kxz_header_decode(b, &img->hdr, &img->endian) != 0) {
        KXZ_ERR_CODE(img, VERR_INVALID_MAGIC);
        return -1;
    }
    kxz_header& h = img->hdr;
    if (h.block_len < 1 || h.block_len > KXZ_MAX_BLOCK_LEN) {
        LOG2(LOG2_ERR, "kxz", "block_len=%u error\n", h.block_len);
        KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
        return -1;
    }
    // Negative values come from no writer; such an image is not opened.
    if (h.file_len < 0) {
        LOG2(LOG2_ERR, "kxz", "file_len=%lld < 0 error\n", static_cast<long long>(h.file_len));
        KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
        return -1;
    }
    if (h.off_cache < 0) {
        LOG2(LOG2_ERR, "kxz", "off_cache=%lld < 0 error\n", static_cast<long long>(h.off_cache));
        KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
        return -1;
    }
    if (h.off_cache != 0) {
        auto oc = static_cast<uint64_t>(h.off_cache);
        auto sz = static_cast<uint64_t>(size);
        if (oc < KXZ_HEADER_SIZE || oc + 8 >= sz) {
            LOG2(LOG2_ERR, "kxz", "off_cache=%llu error\n", static_cast<ull>(oc));
            h.off_cache = 0;
        } else if ((sz - oc) % 8 != 0) {
            LOG2(LOG2_ERR, "kxz", "off_cache=%llu error2\n", static_cast<ull>(oc));
            h.off_cache = 0;
        }
    }
    return 0;
}

void log_opened(const kxz_image* img) {
    const kxz_header& h = img->hdr;
    LOG2(LOG2_DBG, "kxz", "endian=%d major_ver=%u minor_ver=%u\n", static_cast<int>(img->endian), h.major_ver,
         h.minor_ver);
    LOG2(LOG2_DBG, "kxz", "pack_type=%u block_len=%u  read_only=%u\n", h.pack_type, h.block_len, img->final);
    LOG2(LOG2_DBG, "kxz", "file_len=%llu sector_size=%u\n", static_cast<ull>(h.file_len), h.sector_size);
    LOG2(LOG2_DBG, "kxz", "off_cache=%llu off_cache_size=%u off_blksize=%u\n", static_cast<ull>(h.off_cache),
         img->cache.filled > 0 ? (img->cache.filled - 1) * 8 : 0, h.off_blksize);
}

}  // namespace

kxz_image* kxz_open(const char* path, uint32_t oflag, verr_info* err) {
    if (!path) {
        if (err) VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    bool writing = (oflag & (OS_PF_WRONLY | OS_PF_RDWR)) != 0;
    uint32_t flags = writing ? ((oflag & ~(OS_PF_WRONLY | OS_PF_APPEND | OS_PF_RDONLY)) | OS_PF_RDWR) : oflag;
    os_file_ctx* f = os_file_open(path, flags);
    if (!f) {
        int e = errno;
        LOG2(LOG2_DBG | LOG2_ERRNO, "kxz", "os_file_open [%s] flag=0x%x error: ", path, flags);
        VERR_SET_ERRNO(err, e, VERR_OPEN_FAILED);
        return nullptr;
    }
    auto* img = static_cast<kxz_image*>(pl_zalloc(sizeof(kxz_image)));
    if (!img) {
        os_file_close(f);
        if (err) VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    img->file = f;
    img->oflag = flags;
    img->err = err;
    if (os_asprintf(&img->side_name, "%s_off", path) < 0 || !img->side_name) {
        KXZ_ERR_CODE(img, VERR_NO_MEMORY);
        return open_failed(img);
    }
    int64_t size = os_file_size(f);
    if (size < 0) {
        KXZ_ERRNO(img);
        return open_failed(img);
    }
    if (size == 0) {
        new_header(img);
        if (guid_get_buf(img->hdr.guid, sizeof img->hdr.guid) != 0) {
            KXZ_ERR(img, VERR_GENERAL_FAILURE, "guid_get_buf failed");
            return open_failed(img);
        }
        img->is_new = 1;
        img->header_pending = 1;
        LOG2(LOG2_DBG, "kxz", "new image [%s]\n", path);
        return img;
    }
    if (size < static_cast<int64_t>(KXZ_HEADER_SIZE)) {
        KXZ_ERR_CODE(img, VERR_INVALID_FILE_HEAD);
        return open_failed(img);
    }
    if (read_header(img, size) != 0) return open_failed(img);
    img->final = static_cast<uint64_t>(img->hdr.file_len) % img->hdr.block_len != 0;
    img->final_at_open = img->final;
    img->append_pos = static_cast<uint64_t>(size);

    if (!writing) {
        LOG2(LOG2_DBG, "kxz", "ro flag\n");
        int rc = kxz_off_cache_init_form_file(img);
        if (rc == -2) {
            // The records stay readable without the index; the walker stops
            // at the bad trailer's length word.
            LOG2(LOG2_WARN, "kxz", "[%s] off_cache=%llu: the trailer is not valid, read without it\n", path,
                 static_cast<ull>(img->hdr.off_cache));
        } else if (rc != 0) {
            return open_failed(img);
        }
    } else if (!img->final) {
        // A refused open leaves no side file it made itself behind.
        const bool side_existed = os_file_exist(img->side_name) >= 0;
        if (kxz_open_for_append(img, (oflag & OS_PF_APPEND) != 0) != 0) {
            write_cache_info_close(&img->side);
            if (!side_existed) os_remove(img->side_name);
            return open_failed(img);
        }
    }
    log_opened(img);
    return img;
}

int kxz_close(kxz_image* img) {
    if (!img) return 0;
    LOG2(LOG2_DBG, "kxz", "h=0x%p oflag=%x\n", static_cast<void*>(img), img->oflag);
    if (kxz_writable(img) && img->len_dirty) kxz_update_len(img, -1);
    free_image(img);
    return 0;
}

int64_t kxz_size(kxz_image* img) {
    if (!img) return -1;
    LOG2(LOG2_DBG, "kxz", "file_len=%lld\n", static_cast<long long>(img->hdr.file_len));
    return img->hdr.file_len;
}

int kxz_set_offset(kxz_image* img, int64_t off) {
    if (!img) return -1;
    if (off < 0 || (kxz_writable(img) && off > img->hdr.file_len)) {
        KXZ_ERR(img, VERR_INVALID_PARAMETER, "Offset cannot be greater than file length");
        return -1;
    }
    img->offset = static_cast<uint64_t>(off);
    return 0;
}

int64_t kxz_get_offset(const kxz_image* img) { return img ? static_cast<int64_t>(img->offset) : -1; }
