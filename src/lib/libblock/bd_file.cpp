// The file driver: local files, disk and partition devices and the
// pseudo-files, through the platform file layer.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/stat.h>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

struct file_handle {
    os_file_ctx* file;
    os_file_info info;
};

// The device's error from errno, with the system's text.
#define FILE_ERR(dev) VERR_SET_ERRNO(&(dev)->verr, errno, VERR_FILE_IO_ERROR)

int file_probe(const char*, uint32_t, void*) { return 0; }

// Seconds of a URL option as milliseconds; the file layer clamps the range.
int32_t seconds_to_ms(int32_t s) {
    int64_t ms = static_cast<int64_t>(s) * 1000;
    return static_cast<int32_t>(std::clamp<int64_t>(ms, INT32_MIN, INT32_MAX));
}

void* file_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    char path[4096];
    // The driver of last resort takes every name, but opens only local ones:
    // a remote URL whose driver is missing must never become a local path.
    if (url_scheme_type(url) != 1) {
        char shown[8192];
        bd_url_for_log(url, shown, sizeof shown);
        BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "no driver for [%s]", shown);
        return nullptr;
    }
    if (url_get_path(url, path) != 0) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    os_file_ctx* f = os_file_open(path, ctx->oflag);
    if (!f) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "block2", "os_file_open [%s] error: ", path);
        LOG2(LOG2_DBG | LOG2_ERRNO, "block2", "os_file_open [%s] SHWRIT error: ", path);
        FILE_ERR(dev);
        return nullptr;
    }
    os_file_info info{};
    if (os_file_ioctl(f, OS_FILE_GET_INFO, &info, sizeof info) != 1) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "block2", "OS_FILE_GET_INFO error: ");
        FILE_ERR(dev);
        os_file_close(f);
        return nullptr;
    }
    // A stream (pipe, terminal) cannot seek; its window always starts at 0.
    if (dev->vol.vol_start != 0 &&
        os_file_seek(f, static_cast<int64_t>(dev->vol.vol_start), 0) < 0) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "block2", "os_file_seek %llu error: ", static_cast<unsigned long long>(dev->vol.vol_start));
        FILE_ERR(dev);
        os_file_close(f);
        return nullptr;
    }
    // A stop request of the caller ends waits for a stream.
    if (ctx->param) os_file_set_stop(f, &reinterpret_cast<stop_flag*>(ctx->param)->stop);
    os_file_set_read_timeout(f, seconds_to_ms(url_query_get_int(url, "read_timeout", 15)));
    os_file_set_write_timeout(f, seconds_to_ms(url_query_get_int(url, "write_timeout", 8)));
    auto* h = static_cast<file_handle*>(pl_zalloc(sizeof(file_handle)));
    if (!h) {
        os_file_close(f);
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->file = f;
    h->info = info;
    if (dev->sector_size == 0) dev->sector_size = static_cast<int32_t>(info.sector_size);
    dev->fsize = static_cast<int64_t>(info.size);
    return h;
}

int file_close(void* handle) {
    auto* h = static_cast<file_handle*>(handle);
    os_file_close(h->file);
    pl_free(h);
    return 0;
}

// A transfer the file kind has no slot for is refused here, before the
// file layer would report the empty slot as a failed internal check: a
// positioned one on a stream cannot be positioned; one in a direction the
// kind does not move data at all (writing "zero", reading "stdout") is
// unsupported.
bool slot_refused(bd_dev* dev, const file_handle* h, int64_t off, bool write) {
    const auto* ops = h->file->ops;
    const bool sequential = write ? ops->writ != nullptr : ops->read != nullptr;
    const bool positioned = write ? ops->pwrit != nullptr : ops->pread != nullptr;
    if (off == -1 ? sequential : positioned) return false;
    if (off != -1 && sequential) {
        BD_SET_ERR(dev, VERR_SEEK_ON_DEVICE, "%s (a stream cannot be %s at offset %lld)", verr2str(VERR_SEEK_ON_DEVICE),
                   write ? "written" : "read", static_cast<long long>(off));
        return true;
    }
    errno = EOPNOTSUPP;
    FILE_ERR(dev);
    return true;
}

int64_t file_pread(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    auto* h = static_cast<file_handle*>(handle);
    if (slot_refused(dev, h, off, false)) return -1;
    int64_t n = off == -1 ? os_file_read(h->file, buf, static_cast<size_t>(len))
                          : os_file_pread(h->file, buf, static_cast<size_t>(len), off + static_cast<int64_t>(dev->vol.vol_start));
    if (n < 0) FILE_ERR(dev);
    return n;
}

int64_t file_pwrite(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len) {
    auto* h = static_cast<file_handle*>(handle);
    if (slot_refused(dev, h, off, true)) return -1;
    int64_t n = off == -1 ? os_file_write(h->file, buf, static_cast<size_t>(len))
                          : os_file_pwrit(h->file, buf, static_cast<size_t>(len), off + static_cast<int64_t>(dev->vol.vol_start));
    if (n >= 0 && n < len && errno == 0)
        BD_SET_ERR(dev, VERR_WRITE_ERROR, "short write: %lld of %lld bytes", static_cast<long long>(n),
                   static_cast<long long>(len));
    else if (n < len) FILE_ERR(dev);  // also a write that stopped part-way
    return n;
}

// A partition window has its fixed size; otherwise the size is the file's
// as it is now, from the window start, so a growing output is seen growing.
int64_t file_size(bd_dev* dev, void* handle) {
    auto* h = static_cast<file_handle*>(handle);
    if (dev->vol_bounded) return static_cast<int64_t>(dev->vol.vol_size);
    int64_t n = os_file_size(h->file);
    if (n < 0) {
        FILE_ERR(dev);
        return -1;
    }
    int64_t start = static_cast<int64_t>(dev->vol.vol_start);
    return n > start ? n - start : 0;
}

int file_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    auto* h = static_cast<file_handle*>(handle);
    int64_t start = static_cast<int64_t>(dev->vol.vol_start);
    switch (cmd) {
    case BLOCK_SYNC:
        if (os_file_fsync(h->file) != 1) {
            FILE_ERR(dev);
            return -1;
        }
        return 0;
    case BLOCK_SEEK: {
        if (!arg || arglen < 8) break;
        int64_t to = *static_cast<int64_t*>(arg) + start;
        if (os_file_seek(h->file, to, 0) < 0) {
            FILE_ERR(dev);
            return -1;
        }
        return 0;
    }
    case BLOCK_TRUNCATE:
        if (!arg || arglen < 8) break;
        if (os_file_ftruncate(h->file, *static_cast<int64_t*>(arg)) != 1) {
            FILE_ERR(dev);
            return -1;
        }
        return 0;
    case BLOCK_FINISH:
        return 0;
    case BLOCK_GET_PACK_TYPE:
        if (!arg || arglen < 4) break;
        *static_cast<int32_t*>(arg) = 0;
        return 0;
    case BLOCK_GET_VOL:
        if (!arg || arglen < static_cast<int64_t>(sizeof(bd_vol))) break;
        *static_cast<bd_vol*>(arg) = dev->vol;
        return 0;
    case BLOCK_GET_DRV_INFO: {
        if (!arg || arglen < static_cast<int64_t>(sizeof(os_file_info))) break;
        int64_t pos = os_file_offset(h->file);
        if (pos < 0 && errno == ESPIPE) pos = 0;  // a stream has no position
        if (pos < 0) {
            FILE_ERR(dev);
            return -1;
        }
        int64_t size = file_size(dev, handle);
        if (size < 0) return -1;
        auto* fi = static_cast<os_file_info*>(arg);
        fi->type = h->info.type;
        fi->size = static_cast<uint64_t>(size);
        fi->offset = static_cast<uint64_t>(pos > start ? pos - start : 0);
        fi->sector_size = static_cast<uint32_t>(dev->sector_size);
        memcpy(fi->description, h->info.description, sizeof fi->description);
        fi->description[sizeof fi->description - 1] = 0;
        return 0;
    }
    default:
        BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
        return VERR_NOT_SUPPORTED;
    }
    BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return VERR_INVALID_PARAMETER;
}

// The positioned read for several threads at once (bd_file_shared_read):
// the file layer's positioned read of the descriptor at the window's start,
// and nothing else. Nothing is recorded on the device - no error, no
// position - and a stop request fails it at once; -1 with errno on failure.
int64_t file_pread_shared(void* arg, void* buf, int64_t len, int64_t off) {
    auto* dev = static_cast<bd_dev*>(arg);
    if (dev->stop && dev->stop->stop.load(std::memory_order_relaxed)) {
        errno = EINTR;
        return -1;
    }
    if (len < 0 || off < 0) {
        errno = EINVAL;
        return -1;
    }
    auto* h = static_cast<file_handle*>(dev->handle);
    return os_file_pread(h->file, buf, static_cast<size_t>(len), off + static_cast<int64_t>(dev->vol.vol_start));
}

bd_drv g_file_drv = {
    BD_DRV_FILE, nullptr, "file", "", 0, &file_probe, &file_open, &file_close, &file_pread, nullptr,
    &file_pwrite, nullptr, &file_size, &file_ioctl,
};

}  // namespace

void bd_file_register() { bd_drv_add(&g_file_drv); }

void bd_file_exit() {}

bd_drv* bd_file_drv() { return &g_file_drv; }

namespace {

// The shared read of a plain local regular file (bd_file_shared_read), with
// the file's attributes from the one stat that tells it.
file_read_fn shared_read_of(const bd_dev* dev, os_file_attr* attr) {
    if (!dev || dev->drv != &g_file_drv || !dev->handle || dev->vol_bounded) return nullptr;
    // A stop callback is asked only where the device's reads ask it.
    if (dev->stop && dev->stop->cb) return nullptr;
    const auto* h = static_cast<const file_handle*>(dev->handle);
    // Regular files only: no device (a failing disk is read by one reader,
    // in order), no stream, no pseudo-file.
    if (h->info.type != OS_FILE_TYPE_FILE) return nullptr;
    if (os_file_stat(h->file, attr) != 1 || !S_ISREG(attr->mode)) return nullptr;
    return &file_pread_shared;
}

}  // namespace

file_read_fn bd_file_shared_read(const bd_dev* dev) {
    os_file_attr attr{};
    return shared_read_of(dev, &attr);
}

namespace {

// The read-ahead of an image: the device's own positioned read.
int64_t image_read_ahead(void* arg, void* buf, int64_t len, int64_t off) {
    return bd_pread(static_cast<bd_dev*>(arg), buf, len, off);
}

// Images whose reads give the same bytes whenever they are made: the
// compressed image, VirtualBox images, the image libraries' kinds, AFF4.
bool image_reads_repeat(const bd_dev* dev) {
    switch (dev->drv->type) {
    case BD_DRV_KXZ:
    case BD_DRV_VDI:
    case BD_DRV_SMIF:
    case BD_DRV_AFF4:
        return true;
    default:
        return false;
    }
}

bool is_null_device(const bd_dev* dev) {
    if (!dev || dev->drv != &g_file_drv || !dev->handle) return false;
    const auto* h = static_cast<const file_handle*>(dev->handle);
    return h->info.type == OS_FILE_TYPE_VIRTUAL && h->file->ops && h->file->ops->name &&
           strcmp(h->file->ops->name, "null") == 0;
}

}  // namespace

file_read_fn bd_read_ahead_fn(const bd_dev* dev, const bd_dev* out) {
    if (dev && dev->drv && dev->drv != &g_file_drv) {
        if (!dev->handle || !image_reads_repeat(dev) || (dev->stop && dev->stop->cb)) return nullptr;
        // An output of the same kind may share the driver's state (or be the
        // same image); the null device leaves nothing to overlap.
        if (out && (out == dev || out->drv == dev->drv || is_null_device(out))) return nullptr;
        return &image_read_ahead;
    }
    os_file_attr in_attr{};
    file_read_fn fn = shared_read_of(dev, &in_attr);
    if (!fn || !out || out->drv != &g_file_drv || !out->handle) return fn;
    // A pseudo-file ("null", "zero", standard output) is never the input.
    // Writing to "null" takes no time: there is nothing for reads ahead to
    // overlap, and the loop's own reads into one buffer are faster.
    const auto* oh = static_cast<const file_handle*>(out->handle);
    if (oh->info.type == OS_FILE_TYPE_VIRTUAL)
        return oh->file->ops && oh->file->ops->name && strcmp(oh->file->ops->name, "null") == 0 ? nullptr : fn;
    os_file_attr out_attr{};
    if (os_file_stat(oh->file, &out_attr) != 1) return nullptr;
    return in_attr.dev == out_attr.dev && in_attr.ino == out_attr.ino ? nullptr : fn;
}
