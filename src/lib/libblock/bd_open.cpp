// Opening and closing block devices.
#include <algorithm>
#include <cstring>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libkxcli/kx_conf.h"
#include "libpart/part.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_url_size = 8192;

// Puts the access word of the "flags" key in place of the caller's and adds the rest.
uint32_t apply_flag_words(uint32_t oflag, const char* url) {
    char words[k_url_size];
    url_query_get_str(url, "flags", "", words, sizeof words);
    if (!words[0]) return oflag;
    uint32_t pf = os_sflag2pf(words);
    if (pf & OS_PF_ACCESS_MASK) oflag = (oflag & ~OS_PF_ACCESS_MASK) | (pf & OS_PF_ACCESS_MASK);
    return oflag | (pf & ~OS_PF_ACCESS_MASK);
}

// Fails the open: the caller's record gets the device's, the device is closed or freed.
bd_dev* open_failed(bd_dev* dev, verr_info* err, bool opened) {
    if (err) verr_copy(err, &dev->verr);
    if (opened) {
        bd_close(dev);
    } else {
        pl_free(dev);
    }
    return nullptr;
}

// The window of partition vol_idx, looked up on the whole device as this
// open would see it (image parsing as the caller asked); a partition of size 0
// is refused rather than taken for the whole device.
int take_partition(bd_dev* dev, char* real, int vol_idx, uint32_t oflag) {
    char text[VERR_MSG_SIZE] = "";
    bd_vol vol{};
    url_set_query_int_mode(real, "vol_idx", 0, set_exist);
    int rc = libpart_get_vol(real, vol_idx, &vol, text, OS_PF_RDONLY | (oflag & BD_OFLAG_IMAGE));
    url_set_query_int_mode(real, "vol_idx", vol_idx, set_exist);
    if (rc != 0) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", text);
        return -1;
    }
    if (vol.vol_size == 0) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "volume size error [start=%llu size=%llu]",
                   static_cast<unsigned long long>(vol.vol_start), 0ull);
        return -1;
    }
    dev->vol = vol;
    dev->vol_bounded = 1;
    return 0;
}

}  // namespace

bd_dev* bd_open2s(const char* url, uint32_t oflag, uint64_t param, verr_info* err) {
    char real[k_url_size];
    char shown[k_url_size];
    bd_url_for_log(url, shown, sizeof shown);
    if (!url || url_conf_2_real(url, real) != 0) {
        verr_set(err, __FILE__, __LINE__, __func__, VERR_INVALID_PARAMETER, "url_conf_2_real [%s] failed", shown);
        return nullptr;
    }
    kx_conf_url_add_timeout(real);

    // The device's record with its jobs' state behind it (bd_priv.h).
    auto* dev = static_cast<bd_dev*>(pl_zalloc(sizeof(bd_dev_alloc)));
    if (!dev) {
        verr_set(err, __FILE__, __LINE__, __func__, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }

    bd_open_ctx ctx{};
    ctx.param = param;
    dev->stop = reinterpret_cast<const stop_flag*>(param);
    ctx.oflag = oflag;
    ctx.url = url;
    if (strchr(real, '?')) {
        ctx.oflag = apply_flag_words(ctx.oflag, real);
        dev->sector_size = url_query_get_int(real, "sector_size", 0);
        int vol_idx = url_query_get_int(real, "vol_idx", 0);
        if (vol_idx != 0) {
            ctx.vol_idx = static_cast<uint32_t>(vol_idx);
            if (take_partition(dev, real, vol_idx, oflag) != 0) return open_failed(dev, err, false);
            // The window is inside an existing device: truncating would cut off the other volumes.
            ctx.oflag &= ~OS_PF_TRUNC;
        }
    }
    url_set_query_int_mode(real, "connect_timeout", 6, set_not_exist);
    url_set_query_int_mode(real, "read_timeout", 15, set_not_exist);
    url_set_query_int_mode(real, "write_timeout", 8, set_not_exist);

    bd_drv* drv = (url_has_no_scheme(real) && !(oflag & BD_OFLAG_IMAGE)) ? bd_file_drv() : bd_probe_driver(real, oflag);
    if (!drv || !drv->bdrv_open) {
        BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "no driver for [%s]: the block layer is not started", shown);
        return open_failed(dev, err, false);
    }
    bd_url_for_log(real, shown, sizeof shown);
    LOG2(LOG2_DBG, "block2", "open [%s] flag=0x%x vol_idx=%d vol_start=%lld vol_size=%lld drv_type=[%s]\n", shown,
         ctx.oflag, static_cast<int>(ctx.vol_idx), static_cast<long long>(dev->vol.vol_start),
         static_cast<long long>(dev->vol.vol_size), drv->name);

    ctx.dev = dev;
    ctx.priv = drv->priv;
    dev->drv = drv;
    dev->handle = drv->bdrv_open(real, &ctx);
    if (!dev->handle) return open_failed(dev, err, false);

    int32_t ss = 0;
    if (bd_ioctl(dev, BLOCK_GET_SECTOR_SIZE, &ss, sizeof ss) < 0) return open_failed(dev, err, true);
    dev->sector_size = ss;
    LOG2(LOG2_DBG, "block2", "fsize=%lld sector_size=%d\n", static_cast<long long>(dev->fsize), dev->sector_size);

    int64_t sector_off = url_query_get_int64(real, "sector_off", 0);
    LOG2(LOG2_DBG, "block2", "sector_offset=%lld\n", static_cast<long long>(sector_off));
    if (sector_off < 0 || __builtin_mul_overflow(sector_off, static_cast<int64_t>(dev->sector_size), &dev->dev_offset)) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "sector_off=%lld error: out of range", static_cast<long long>(sector_off));
        return open_failed(dev, err, true);
    }
    if (dev->dev_offset != 0 && dev->dev_offset >= dev->fsize) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "dev_offset=%llu >= %llu", static_cast<unsigned long long>(dev->dev_offset),
                   static_cast<unsigned long long>(dev->fsize));
        return open_failed(dev, err, true);
    }
    if (dev->dev_offset != 0 && bd_seek(dev, dev->dev_offset) < 0) return open_failed(dev, err, true);

    if (dev->vol_bounded) {
        uint64_t fsize = static_cast<uint64_t>(dev->fsize);
        if (__builtin_add_overflow(dev->vol.vol_start, static_cast<uint64_t>(dev->dev_offset), &dev->vol.vol_start))
            dev->vol.vol_start = UINT64_MAX;
        dev->vol.vol_size = fsize > dev->vol.vol_start ? std::min(fsize - dev->vol.vol_start, dev->vol.vol_size) : 0;
        if (dev->vol.vol_size == 0) {
            BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "volume size error [start=%llu size=%llu]",
                       static_cast<unsigned long long>(dev->vol.vol_start), 0ull);
            return open_failed(dev, err, true);
        }
        LOG2(LOG2_DBG, "block2", "1_vol_start=%lld vol_size=%lld\n", static_cast<long long>(dev->vol.vol_start),
             static_cast<long long>(dev->vol.vol_size));
    } else {
        dev->vol.vol_start = static_cast<uint64_t>(dev->dev_offset);
        dev->vol.vol_size = static_cast<uint64_t>(dev->fsize - dev->dev_offset);
        LOG2(LOG2_DBG, "block2", "2_vol_start=%lld vol_size=%lld\n", static_cast<long long>(dev->vol.vol_start),
             static_cast<long long>(dev->vol.vol_size));
    }

    dev->url = pl_strdup(url);
    if (!dev->url) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return open_failed(dev, err, true);
    }
    return dev;
}

bd_dev* bd_open_err(const char* url, uint32_t oflag, verr_info* err) { return bd_open2s(url, oflag, 0, err); }

bd_dev* bd_open_param_errtext(const char* url, uint32_t oflag, uint64_t param, char* text) {
    verr_info err{};
    bd_dev* dev = bd_open2s(url, oflag, param, &err);
    if (!dev && text) (void)str_safecopy(text, VERR_MSG_SIZE, verr_msg(&err));
    return dev;
}

bd_dev* bd_open_errtext(const char* url, uint32_t oflag, char* text) { return bd_open_param_errtext(url, oflag, 0, text); }

int bd_close(bd_dev* dev) {
    if (!dev) return -1;
    if (bd_release_jobs(dev) != 0) {
        // A job thread left behind may still be inside a read of this device:
        // the device, its handle and its descriptor stay as they are, so that
        // the read returns into memory that is still its own.
        LOG2(LOG2_ERR, "block2", "a job thread still reads the device: it stays open\n");
        return BD_CLOSE_KEPT;
    }
    int rc = 0;
    if (dev->drv && dev->drv->bdrv_close && dev->handle) rc = dev->drv->bdrv_close(dev->handle);
    pl_free(dev->url);
    pl_free(dev);
    return rc;
}

int32_t bd_errno(const bd_dev* dev) { return dev ? dev->verr.code : VERR_INVALID_PARAMETER; }

const char* bd_errmsg(const bd_dev* dev) { return dev ? verr_msg(&dev->verr) : verr2str(VERR_INVALID_PARAMETER); }

int bd_get_error(void* dev, verr_info* out) {
    if (dev && out) verr_copy(out, &static_cast<bd_dev*>(dev)->verr);
    return 0;
}
