// The block driver "kxz": compressed images behind the device interface.
// Explicit offsets are window-relative; the driver adds vol_start. -1 means
// the image's current position.
#include <cstring>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libkxz/kxz.h"
#include "libpal/network/url.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

kxz_image* image_of(void* handle) { return static_cast<kxz_image*>(handle); }

int64_t at(const bd_dev* dev, int64_t off) { return off == -1 ? -1 : off + static_cast<int64_t>(dev->vol.vol_start); }

int kxz_probe(const char* url, uint32_t, void*) {
    return url_local_path_ends_with(url, ".kxz") ? 0 : -1;
}

void* kxz_drv_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    char path[4096];
    if (url_get_path(url, path, sizeof path) != 0) return nullptr;
    path_normalize_local(path);
    kxz_image* img = kxz_open(path, ctx->oflag, &dev->verr);
    if (!img) return nullptr;
    int64_t size = kxz_size(img);
    if (size < 0) {
        LOG2(LOG2_ERR, "block2", "kxz_size failed\n");
        kxz_close(img);
        return nullptr;
    }
    if (kxz_set_offset(img, static_cast<int64_t>(dev->vol.vol_start)) != 0) {
        LOG2(LOG2_ERR, "block2", "kxz_set_offset failed\n");
        kxz_close(img);
        return nullptr;
    }
    dev->fsize = size;
    // The imaged device's sector size, unless the name gives one.
    if (dev->sector_size == 0 && !kxz_is_new(img) && bd_is_valid_sector_size(kxz_get_sector_size(img)))
        dev->sector_size = static_cast<int32_t>(kxz_get_sector_size(img));
    return img;
}

int kxz_drv_close(void* handle) {
    kxz_close(image_of(handle));
    return 0;
}

int64_t kxz_drv_pread(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    return kxz_pread(image_of(handle), at(dev, off), buf, len);
}

int64_t kxz_drv_readz(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len, int64_t* zlen) {
    kxz_image* img = image_of(handle);
    int64_t pos = off == -1 ? kxz_get_offset(img) : at(dev, off);
    int64_t n = kxz_preadz(img, pos, buf, len, zlen);
    // The position moves past the block; a block read whole ends inside the
    // image, so the move holds (a failure would leave a stale position).
    if (n > 0 && kxz_set_offset(img, pos + n) != 0) return -1;
    return n;
}

int64_t kxz_drv_pwrite(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len) {
    kxz_image* img = image_of(handle);
    return kxz_pwrite(img, off == -1 ? kxz_get_offset(img) : at(dev, off), buf, len);
}

int64_t kxz_drv_writez(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len, int64_t zlen) {
    kxz_image* img = image_of(handle);
    return kxz_pwritez(img, off == -1 ? kxz_get_offset(img) : at(dev, off), buf, len, zlen);
}

// A partition window has its fixed size; otherwise the image's length from
// the window start, so that a growing image is seen growing.
int64_t kxz_drv_size(bd_dev* dev, void* handle) {
    if (dev->vol_bounded) return static_cast<int64_t>(dev->vol.vol_size);
    int64_t n = kxz_size(image_of(handle));
    if (n < 0) return -1;
    auto start = static_cast<int64_t>(dev->vol.vol_start);
    return n > start ? n - start : 0;
}

int not_supported(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
    return -1;
}

int bad_arg(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

int kxz_drv_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    kxz_image* img = image_of(handle);
    auto fits = [&](size_t n) { return arg && arglen >= static_cast<int64_t>(n); };
    switch (cmd) {
    case BLOCK_SYNC:
        return kxz_sync(img) == 1 ? 0 : -1;
    case BLOCK_SEEK:
        if (!fits(8)) return bad_arg(dev);
        return kxz_set_offset(img, *static_cast<int64_t*>(arg) + static_cast<int64_t>(dev->vol.vol_start)) == 0 ? 0 : -1;
    case BLOCK_TRUNCATE:
        if (!fits(8)) return bad_arg(dev);
        return kxz_truncate(img, *static_cast<int64_t*>(arg)) == 1 ? 0 : -1;
    case BLOCK_FINISH:
        return kxz_woff_cache_write_to_file(img);
    case BLOCK_GET_PACK_TYPE:
        if (!fits(4)) return bad_arg(dev);
        *static_cast<int32_t*>(arg) = static_cast<int32_t>(kxz_get_pack_type(img));
        return 0;
    case BLOCK_GET_PACK_PARAM: {
        if (!fits(sizeof(bd_pack_param))) return bad_arg(dev);
        auto* p = static_cast<bd_pack_param*>(arg);
        p->new_image = static_cast<uint32_t>(kxz_is_new(img));
        p->pack_type = kxz_get_pack_type(img);
        p->sector_size = static_cast<uint32_t>(dev->sector_size);
        p->block_len = kxz_get_block_len(img);
        return 0;
    }
    case BLOCK_SET_PACK_PARAM: {
        if (!fits(sizeof(bd_pack_param))) return bad_arg(dev);
        const auto* p = static_cast<const bd_pack_param*>(arg);
        auto len = static_cast<uint32_t>(p->block_len > UINT32_MAX ? UINT32_MAX : p->block_len);
        if (kxz_set_pack_type(img, p->pack_type) != 0) return -1;
        if (kxz_set_block_len(img, len) != 0) return -1;
        kxz_set_sector_size(img, p->sector_size);
        dev->sector_size = static_cast<int32_t>(kxz_get_sector_size(img));
        return 0;
    }
    case BLOCK_GET_VOL:
        if (!fits(sizeof(bd_vol))) return bad_arg(dev);
        *static_cast<bd_vol*>(arg) = dev->vol;
        return 0;
    case BLOCK_GET_DRV_INFO: {
        if (!fits(sizeof(os_file_info))) return bad_arg(dev);
        int64_t size = kxz_drv_size(dev, handle);
        if (size < 0) return -1;
        auto* fi = static_cast<os_file_info*>(arg);
        int64_t pos = kxz_get_offset(img) - static_cast<int64_t>(dev->vol.vol_start);
        fi->type = kxz_type_code(img);
        fi->size = static_cast<uint64_t>(size);
        fi->offset = static_cast<uint64_t>(pos > 0 ? pos : 0);
        fi->sector_size = static_cast<uint32_t>(dev->sector_size);
        str_safecopy_trunc(fi->description, sizeof fi->description, "bd_type=kxz");
        return 0;
    }
    default:
        return not_supported(dev);
    }
}

bd_drv g_kxz_drv = {
    BD_DRV_KXZ, nullptr, "kxz", "", 0, &kxz_probe, &kxz_drv_open, &kxz_drv_close, &kxz_drv_pread, &kxz_drv_readz,
    &kxz_drv_pwrite, &kxz_drv_writez, &kxz_drv_size, &kxz_drv_ioctl,
};

}  // namespace

void bd_kxz_register() { bd_drv_add(&g_kxz_drv); }

void bd_kxz_exit() {}

bd_drv* bd_kxz_drv() { return &g_kxz_drv; }
