// Reads, writes, control codes and device information of block devices.
#include <algorithm>
#include <cstring>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libkxi/libkxi.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr int32_t k_sector_sizes[] = {512, 1024, 2048, 4096};

bool usable(bd_dev* dev) { return dev && dev->drv; }

int64_t not_implemented(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_NOT_IMPLEMENTED, "%s", verr2str(VERR_NOT_IMPLEMENTED));
    return -1;
}

int64_t bad_args(bd_dev* dev) {
    if (dev) BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

// On a partition window, reads end at the window's end: the bytes behind it
// belong to another volume. off -1 is the current position.
int64_t clamp_read(bd_dev* dev, int64_t off, int64_t len) {
    if (!dev->vol_bounded) return len;
    int64_t pos = off == -1 ? bd_offset(dev) : off;
    if (pos < 0) return -1;
    uint64_t end = dev->vol.vol_size;
    if (static_cast<uint64_t>(pos) >= end) return 0;
    return std::min<int64_t>(len, static_cast<int64_t>(end - static_cast<uint64_t>(pos)));
}

// On a partition window, a write that would cross its end is refused whole.
bool write_fits(bd_dev* dev, int64_t off, int64_t len) {
    if (!dev->vol_bounded) return true;
    int64_t pos = off == -1 ? bd_offset(dev) : off;
    if (pos < 0) return false;
    uint64_t end;
    if (!__builtin_add_overflow(static_cast<uint64_t>(pos), static_cast<uint64_t>(len), &end) &&
        end <= dev->vol.vol_size)
        return true;
    BD_SET_ERR(dev, VERR_DISK_FULL, "write of %lld bytes at %lld crosses the end of the volume (%llu bytes)",
               static_cast<long long>(len), static_cast<long long>(pos),
               static_cast<unsigned long long>(dev->vol.vol_size));
    return false;
}

int64_t get_u64_code(bd_dev* dev, int32_t cmd) {
    int64_t v = 0;
    if (bd_ioctl(dev, cmd, &v, sizeof v) < 0) return -1;
    return v;
}

}  // namespace

// ---- reads and writes

int64_t bd_pread(bd_dev* dev, void* buf, int64_t len, int64_t off) {
    if (!usable(dev) || !buf || len < 0) return bad_args(dev);
    if (!dev->drv->bdrv_pread) return not_implemented(dev);
    int64_t n = clamp_read(dev, off, len);
    if (n <= 0) return n;
    return dev->drv->bdrv_pread(dev, dev->handle, off, buf, n);
}

int64_t bd_read(bd_dev* dev, void* buf, int64_t len) { return bd_pread(dev, buf, len, -1); }

int64_t bd_preadz(bd_dev* dev, void* buf, int64_t len, int64_t* zlen, int64_t off) {
    if (!usable(dev) || !buf || len < 0) return bad_args(dev);
    if (!dev->readz_on) {
        if (zlen) *zlen = 0;
        return bd_pread(dev, buf, len, off);
    }
    if (!PL_CHECK_TEXT("block2", dev->drv->bdrv_readz != nullptr, "dev->drv->bdrv_readz!=NULL"))
        return not_implemented(dev);
    int64_t pos = 0;
    if (dev->vol_bounded) {
        pos = off == -1 ? bd_offset(dev) : off;
        if (pos < 0) return -1;
        if (static_cast<uint64_t>(pos) >= dev->vol.vol_size) return 0;
    }
    int64_t z = 0;
    int64_t n = dev->drv->bdrv_readz(dev, dev->handle, off, buf, len, &z);
    // A packed block is whole or nothing: one that crosses the end of a
    // partition window would hand over bytes of the next volume.
    if (n > 0 && dev->vol_bounded && static_cast<uint64_t>(pos) + static_cast<uint64_t>(n) > dev->vol.vol_size) {
        if (off == -1) bd_seek(dev, pos);
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER,
                   "packed block of %lld bytes at %lld crosses the end of the volume (%llu bytes)",
                   static_cast<long long>(n), static_cast<long long>(pos),
                   static_cast<unsigned long long>(dev->vol.vol_size));
        if (zlen) *zlen = 0;
        return -1;
    }
    if (zlen) *zlen = z;
    return n;
}

int64_t bd_readz(bd_dev* dev, void* buf, int64_t len, int64_t* zlen) { return bd_preadz(dev, buf, len, zlen, -1); }

int64_t bd_pwrite(bd_dev* dev, const void* buf, int64_t len, int64_t off) {
    if (!usable(dev) || !buf || len < 0) return bad_args(dev);
    if (!dev->drv->bdrv_pwrite) return not_implemented(dev);
    if (!write_fits(dev, off, len)) return -1;
    return dev->drv->bdrv_pwrite(dev, dev->handle, off, buf, len);
}

int64_t bd_write(bd_dev* dev, const void* buf, int64_t len) { return bd_pwrite(dev, buf, len, -1); }

int64_t bd_write_packed(bd_dev* dev, const void* packed, int64_t len, int64_t zlen) {
    if (!usable(dev) || !packed || len < 0 || zlen <= 0) return bad_args(dev);
    if (!dev->drv->bdrv_pwrite || !dev->drv->bdrv_writez) return not_implemented(dev);
    if (!write_fits(dev, -1, len)) return -1;
    return dev->drv->bdrv_writez(dev, dev->handle, -1, packed, len, zlen);
}

int64_t bd_pwritez(bd_dev* dev, const void* buf, int64_t len, int64_t zlen, int64_t off) {
    if (!usable(dev) || !buf || len < 0) return bad_args(dev);
    if (!dev->drv->bdrv_pwrite) return not_implemented(dev);
    if (!dev->writez_on) return bd_pwrite(dev, buf, len, off);
    if (!PL_CHECK_TEXT("block2", dev->drv->bdrv_writez != nullptr, "dev->drv->bdrv_writez!=NULL"))
        return not_implemented(dev);
    return dev->drv->bdrv_writez(dev, dev->handle, off, buf, len, zlen);
}

int64_t bd_writez(bd_dev* dev, const void* buf, int64_t len, int64_t zlen) {
    return bd_pwritez(dev, buf, len, zlen, -1);
}

// ---- size and position

int64_t bd_size(bd_dev* dev) {
    if (!usable(dev)) return bad_args(dev);
    if (!dev->drv->bdrv_size) return not_implemented(dev);
    return dev->drv->bdrv_size(dev, dev->handle);
}

int64_t bd_offset(bd_dev* dev) { return get_u64_code(dev, BLOCK_TELL); }

int bd_seek(bd_dev* dev, int64_t off) { return bd_ioctl(dev, BLOCK_SEEK, &off, sizeof off); }

int bd_truncate(bd_dev* dev, int64_t size) { return bd_ioctl(dev, BLOCK_TRUNCATE, &size, sizeof size); }

int bd_sync(bd_dev* dev) { return bd_ioctl(dev, BLOCK_SYNC, nullptr, 0); }

int bd_get_vol(bd_dev* dev, bd_vol* vol) { return bd_ioctl(dev, BLOCK_GET_VOL, vol, sizeof *vol); }

uint32_t bd_drv_type(const bd_dev* dev) { return dev && dev->drv ? dev->drv->type : 0; }

const char* bd_drv_name(const bd_dev* dev) { return dev && dev->drv ? dev->drv->name : "unkown"; }

// ---- sector and size types

int bd_is_valid_sector_size(int64_t size) {
    for (int32_t s : k_sector_sizes)
        if (s == size) return 1;
    return 0;
}

const char* bd_sector_size_text() { return "512 1024 2048 4096"; }

uint32_t bd_sector_size_by_index(int index) {
    return index >= 1 && index <= 4 ? static_cast<uint32_t>(k_sector_sizes[index - 1]) : 0;
}

uint32_t bd_size_type_of(uint32_t type) {
    if (type == 5 || type == 6) return BLOCK_SIZE_FIXED;
    if (type == 2) return BLOCK_SIZE_EXTENSIBLE;
    return BLOCK_SIZE_UNLIMITED;
}

const char* bd_size_type_name(uint32_t size_type) {
    switch (size_type) {
    case BLOCK_SIZE_FIXED: return "fixed size type";
    case BLOCK_SIZE_EXTENSIBLE: return "extensible size type";
    case BLOCK_SIZE_UNLIMITED: return "unlimited size type";
    default: return "error size type";
    }
}

int bd_info(bd_dev* dev, bd_dev_info* info) {
    if (!usable(dev) || !info) return static_cast<int>(bad_args(dev));
    os_file_info fi{};
    int rc = dev->drv->bdrv_ioctl ? dev->drv->bdrv_ioctl(dev, dev->handle, BLOCK_GET_DRV_INFO, &fi, sizeof fi) : -1;
    if (rc < 0) {
        if (!dev->drv->bdrv_ioctl) BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
        return rc;
    }
    memset(info, 0, sizeof *info);
    info->type = fi.type;
    info->size_type = bd_size_type_of(fi.type);
    // A partition has the size of its window, like a disk partition: nothing
    // may truncate or extend the device that holds it.
    if (dev->vol_bounded) info->size_type = BLOCK_SIZE_FIXED;
    info->size_type_name = bd_size_type_name(info->size_type);
    info->vol_start = dev->vol.vol_start;
    info->size = fi.size;
    info->offset = fi.offset;
    info->sector_size = bd_is_valid_sector_size(fi.sector_size) ? fi.sector_size : 512;
    fi.description[sizeof fi.description - 1] = 0;
    if (strncmp(fi.description, "bd_type=", 8) == 0) {
        str_safecopy_trunc(info->bd_type, sizeof info->bd_type, fi.description + 8);
        return 0;
    }
    const char* kind = "file";
    switch (fi.type) {
    case 3: kind = "dev"; break;
    case 5: kind = "disk"; break;
    case 6: kind = "bdev"; break;
    default: break;
    }
    str_safecopy_trunc(info->bd_type, sizeof info->bd_type, kind);
    if (fi.type != 6) str_safecopy_trunc(info->info, sizeof info->info, fi.description);
    return 0;
}

// ---- control codes

int bd_ioctl(bd_dev* dev, int32_t cmd, void* arg, int64_t arglen) {
    if (cmd == BLOCK_GET_CACHE_NAME) {
        // The cache image's default name for a path; the device is not consulted.
        auto* req = static_cast<bd_cache_name_req*>(arg);
        if (!req || arglen < static_cast<int64_t>(sizeof *req) || !req->path || !req->buf ||
            kxi_default_cache_name(req->path, req->buf, static_cast<size_t>(req->size)) != 0)
            return static_cast<int>(bad_args(dev));
        return 0;
    }
    if (!usable(dev)) return static_cast<int>(bad_args(dev));
    bool remote = dev->drv->type == BD_DRV_KXSD;
    // A partition has the size of its window: cutting it would cut the disk.
    if (cmd == BLOCK_TRUNCATE && dev->vol_bounded) {
        BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "truncate of a partition window refused");
        return VERR_NOT_SUPPORTED;
    }
    switch (cmd) {
    case BLOCK_TELL:
    case BLOCK_GET_SECTOR_SIZE:
    case BLOCK_GET_SIZE_TYPE: {
        if (!arg) return static_cast<int>(bad_args(dev));
        bd_dev_info info{};
        int rc = bd_info(dev, &info);
        if (rc < 0) return rc;
        if (cmd == BLOCK_TELL) *static_cast<int64_t*>(arg) = static_cast<int64_t>(info.offset);
        else if (cmd == BLOCK_GET_SECTOR_SIZE) *static_cast<int32_t*>(arg) = static_cast<int32_t>(info.sector_size);
        else *static_cast<uint32_t*>(arg) = info.size_type;
        return 0;
    }
    case GET_DEV_INFO:
        return bd_info(dev, static_cast<bd_dev_info*>(arg));
    case BLOCK_GET_ERROR:
        if (!arg) return static_cast<int>(bad_args(dev));
        verr_copy(static_cast<verr_info*>(arg), &dev->verr);
        return 0;
    case BLOCK_GET_URL:
        if (!arg) return static_cast<int>(bad_args(dev));
        *static_cast<const char**>(arg) = dev->url;
        return 0;
    default:
        break;
    }
    if (!remote) {
        switch (cmd) {
        case BLOCK_GET_HASH_ALGO:
            if (!arg) return static_cast<int>(bad_args(dev));
            *static_cast<uint64_t*>(arg) = 4095;
            return 0;
        case BLOCK_PWRITEX:
        case BLOCK_PWRITEX_INIT:
            return bd_pwritex_ioctl(dev, cmd, arg, arglen);
        default:
            break;
        }
    }
    if (!dev->drv->bdrv_ioctl) {
        BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
        return VERR_NOT_SUPPORTED;
    }
    return dev->drv->bdrv_ioctl(dev, dev->handle, cmd, arg, arglen);
}

// ---- compressed-block pass-through

int32_t bd_get_pack_type(bd_dev* dev) {
    int32_t t = 0;
    if (bd_ioctl(dev, BLOCK_GET_PACK_TYPE, &t, sizeof t) < 0) return -1;
    return t;
}

int bd_get_pack_param(bd_dev* dev, bd_pack_param* p) { return bd_ioctl(dev, BLOCK_GET_PACK_PARAM, p, sizeof *p); }

int bd_set_pack_param(bd_dev* dev, const bd_pack_param* p) {
    return bd_ioctl(dev, BLOCK_SET_PACK_PARAM, const_cast<bd_pack_param*>(p), sizeof *p);
}

namespace {

// The pass-through decision; with `apply` a new output image takes its
// parameters and both devices switch their packed slots.
int decide_pack_mode(bd_dev* in, bd_dev* out, bd_pack_mode* mode, bool apply) {
    if (!usable(in) || !usable(out) || !mode) return -1;
    int32_t tin = bd_get_pack_type(in);
    int32_t tout = bd_get_pack_type(out);
    if (tin < 0 || tout < 0) return -1;
    bool in_kxz = in->drv->type == BD_DRV_KXZ;
    bool out_kxz = out->drv->type == BD_DRV_KXZ;
    uint32_t on = 0;
    if (out_kxz && !in_kxz) {
        bd_pack_param po{};
        if (bd_get_pack_param(out, &po) < 0) return -1;
        if (!po.new_image) {
            on = tin != 0 && static_cast<uint32_t>(tin) == po.pack_type;
            mode->block_len = po.block_len;
        } else {
            if (tin != 0) {
                po.pack_type = static_cast<uint32_t>(tin);
                on = 1;
            }
            po.block_len = mode->block_len;
            po.sector_size = mode->sector_size;
            if (apply && bd_set_pack_param(out, &po) < 0) return -1;
        }
    } else if (in_kxz && !out_kxz) {
        bd_pack_param pi{};
        if (bd_get_pack_param(in, &pi) < 0) return -1;
        on = tin != 0 && tin == tout;
        mode->block_len = pi.block_len;
    } else if (in_kxz && out_kxz) {
        bd_pack_param pi{}, po{};
        if (bd_get_pack_param(in, &pi) < 0 || bd_get_pack_param(out, &po) < 0) return -1;
        if (!po.new_image) {
            // Packed blocks fit an existing image only when the block lengths agree.
            on = static_cast<uint32_t>(tin) == po.pack_type && pi.block_len == po.block_len;
            mode->block_len = po.block_len;
        } else {
            po.pack_type = static_cast<uint32_t>(tin);
            on = 1;
            mode->block_len = pi.block_len;
            po.block_len = pi.block_len;
            po.sector_size = mode->sector_size;
            if (apply && bd_set_pack_param(out, &po) < 0) return -1;
        }
    } else {
        on = tin != 0 && tin == tout;
    }
    // Pass-through needs the packed slots on both sides.
    if (on && (!in->drv->bdrv_readz || !out->drv->bdrv_writez)) on = 0;
    mode->on = on;
    if (apply) {
        in->readz_on = static_cast<uint8_t>(on);
        out->writez_on = static_cast<uint8_t>(on);
    }
    return 0;
}

}  // namespace

int bd_set_best_pack_mode(bd_dev* in, bd_dev* out, bd_pack_mode* mode) { return decide_pack_mode(in, out, mode, true); }

int bd_peek_pack_mode(bd_dev* in, bd_dev* out, bd_pack_mode* mode) { return decide_pack_mode(in, out, mode, false); }

int bd_set_no_pack_mode(bd_dev* in, bd_dev* out) {
    if (in) in->readz_on = 0;
    if (out) out->writez_on = 0;
    return 0;
}

// ---- other services

int bd_extend_test(bd_dev* dev, int64_t off, int64_t len) {
    uint32_t type = bd_drv_type(dev);
    if (type != BD_DRV_FILE && type != BD_DRV_KXSD) {
        LOG2(LOG2_DBG, "block2", "not support\n");
        return 0;
    }
    bd_dev_info info{};
    if (bd_ioctl(dev, GET_DEV_INFO, &info, sizeof info) < 0) {
        LOG2(LOG2_DBG, "block2", "bd_ioctl GET_DEV_INFO failed\n");
        return -1;
    }
    if (info.size_type == BLOCK_SIZE_UNLIMITED) return 0;
    if (off == -1) off = static_cast<int64_t>(info.offset);
    uint64_t end;
    if (off < 0 || len < 0 || __builtin_add_overflow(static_cast<uint64_t>(off), static_cast<uint64_t>(len), &end))
        return 1;
    if (end <= info.size) return 0;
    if (info.size_type == BLOCK_SIZE_FIXED || dev->vol_bounded) {
        LOG2(LOG2_DBG, "block2", "type==BLOCK_SIZE_FIXED failed\n");
        return 1;
    }
    // Grow the whole file and cut it back: sizes are relative to the window,
    // truncation counts from the start of the file.
    int64_t base = static_cast<int64_t>(dev->vol.vol_start);
    int64_t grown = base + static_cast<int64_t>(end);
    int64_t old_size = base + static_cast<int64_t>(info.size);
    int grow_failed = bd_truncate(dev, grown) < 0;
    bd_truncate(dev, old_size);
    bd_seek(dev, static_cast<int64_t>(info.offset));
    return grow_failed ? 1 : 0;
}

int64_t bd_pread_unaligned(bd_dev* dev, void* buf, int64_t len, int64_t off) {
    if (!usable(dev) || !buf || len < 0 || off < 0 || !dev->drv->bdrv_pread) return bad_args(dev);
    int64_t s = dev->sector_size;
    if (!bd_is_valid_sector_size(s)) s = 512;
    unsigned char sector[4096];
    auto* out = static_cast<unsigned char*>(buf);
    int64_t done = 0;
    int64_t pos = off - off % s;
    int64_t skip = off % s;
    while (done < len) {
        int64_t n = dev->drv->bdrv_pread(dev, dev->handle, pos, sector, s);
        int64_t want = std::min(s - skip, len - done);
        // A sector that ends before the bytes we need: never hand out stale bytes.
        if (n < skip + want) return -1;
        memcpy(out + done, sector + skip, static_cast<size_t>(want));
        done += want;
        pos += s;
        skip = 0;
    }
    return len;
}

int bd_is_iso(const char* url) {
    char text[VERR_MSG_SIZE];
    bd_dev* dev = bd_open_errtext(url, 1, text);
    if (!dev) return 0;
    unsigned char d[7] = {};
    int64_t n = dev->drv->bdrv_pread ? dev->drv->bdrv_pread(dev, dev->handle, 32768, d, sizeof d) : -1;
    bd_close(dev);
    if (n != static_cast<int64_t>(sizeof d)) return 0;
    static const unsigned char iso[7] = {0x01, 'C', 'D', '0', '0', '1', 0x01};
    static const unsigned char udf[7] = {0x00, 'B', 'E', 'A', '0', '1', 0x01};
    return memcmp(d, iso, 7) == 0 || memcmp(d, udf, 7) == 0;
}
