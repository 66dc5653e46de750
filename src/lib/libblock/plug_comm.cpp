// The adapter between the block layer and a plugin record: positions, the
// device size, error records and the control codes a plugin device answers.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

#include "libblock/plug_comm.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

bd_plug_handle* as_handle(void* h) { return static_cast<bd_plug_handle*>(h); }

bool external(const bd_plugin* p) { return p->kind == BD_PLUGIN_EXTERNAL; }

// The device's error record from the plugin's last errno (a failure that
// names no errno still counts as one).
void plugin_err(bd_dev* dev, bd_plug_handle* h, int32_t fallback) {
    int e = h->plug->ext.last_errno(h->handle);
    int32_t code = verr_of_failed_errno(e, fallback);
    BD_SET_ERR(dev, code, "%s", verr2str(code));
}

// A failure of the plugin's transfer or sync. The internal record has filled
// the error record itself; an empty one still gets a code.
void op_failed(bd_dev* dev, bd_plug_handle* h, int32_t fallback) {
    if (external(h->plug)) plugin_err(dev, h, fallback);
    else if (dev->verr.code == 0) BD_SET_ERR(dev, fallback, "%s", verr2str(fallback));
}

// The absolute position of a transfer: off + the volume start, or the
// current position for -1. False (with the error record) for a bad offset.
bool position(bd_dev* dev, bd_plug_handle* h, int64_t off, int64_t* pos) {
    if (off == -1) {
        *pos = h->offset;
        return true;
    }
    if (off < 0 || __builtin_add_overflow(off, static_cast<int64_t>(dev->vol.vol_start), pos)) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "offset %lld out of range", static_cast<long long>(off));
        return false;
    }
    return true;
}

// A partition has the size of its window; otherwise the device's size from
// the window start, which grows with the writes of an extensible device.
int64_t device_size(bd_dev* dev) {
    if (dev->vol_bounded) return static_cast<int64_t>(dev->vol.vol_size);
    int64_t start = static_cast<int64_t>(dev->vol.vol_start);
    return dev->fsize > start ? dev->fsize - start : 0;
}

int not_supported(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
    return -1;
}

int bad_arg(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

}  // namespace

int bdrv_plugin_probe(const char* url, uint32_t oflag, void* priv) {
    auto* p = static_cast<bd_plugin*>(priv);
    if (!p || !external(p) || !p->ext.probe) return -1;
    int rc = p->ext.probe(url, oflag, p);
    if (rc == 0 && !p->ext.first_use) {
        LOG2(LOG2_DBG | LOG2_BSV, "block2", "use plugin [%s] [%s]\n", p->ext.path, p->ext.name);
        p->ext.first_use = 1;
    }
    return rc;
}

void* comm_plugin_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    auto* p = static_cast<bd_plugin*>(ctx->priv);
    void* ph;
    if (external(p)) {
        char text[KX_DISK_PLUG_ERR_SIZE] = {};
        ph = p->ext.open(url, ctx->oflag, text);
        if (!ph) {
            text[sizeof text - 1] = 0;  // the plugin may not have terminated it
            BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "%s", text);
            return nullptr;
        }
    } else {
        ph = p->in.open(url, ctx->oflag, ctx->param, &dev->verr, ctx->url);
        if (!ph) {
            if (dev->verr.code == 0) BD_SET_ERR(dev, VERR_OPEN_FAILED, "%s", verr2str(VERR_OPEN_FAILED));
            return nullptr;
        }
    }
    auto* h = static_cast<bd_plug_handle*>(pl_zalloc(sizeof(bd_plug_handle)));
    auto close_plugin = [&] {
        if (external(p)) p->ext.close(ph);
        else p->in.close(ph);
    };
    if (!h) {
        close_plugin();
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->handle = ph;
    h->plug = p;
    h->offset = static_cast<int64_t>(dev->vol.vol_start);
    int64_t size;
    uint32_t sector;
    if (external(p)) {
        h->size_type = p->ext.is_fixed_size(ph) ? BD_PLUG_SIZE_FIXED : BD_PLUG_SIZE_EXTENSIBLE;
        size = p->ext.fsize(ph);
        sector = p->ext.sector_size(ph);
    } else {
        h->size_type = p->in.size_type ? p->in.size_type(ph) : BD_PLUG_SIZE_FIXED;
        size = p->in.size(ph);
        sector = p->in.sector_size(ph);
    }
    if (size < 0) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "device size %lld", static_cast<long long>(size));
        close_plugin();
        pl_free(h);
        return nullptr;
    }
    dev->fsize = size;
    dev->sector_size = static_cast<int32_t>(sector);
    return h;
}

int comm_plugin_close(void* handle) {
    bd_plug_handle* h = as_handle(handle);
    if (!h) return 0;
    if (external(h->plug)) h->plug->ext.close(h->handle);
    else h->plug->in.close(h->handle);
    pl_free(h);
    return 0;
}

int64_t comm_plugin_read(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    bd_plug_handle* h = as_handle(handle);
    int64_t pos;
    if (len < 0 || !position(dev, h, off, &pos)) return -1;
    if (pos >= dev->fsize) return 0;
    int64_t n = std::min(len, dev->fsize - pos);
    if (n == 0) return 0;
    int64_t r = external(h->plug) ? h->plug->ext.pread(h->handle, buf, n, pos) : h->plug->in.pread(h->handle, buf, n, pos);
    if (r < 0) {
        op_failed(dev, h, VERR_READ_ERROR);
        return -1;
    }
    if (r > n) {
        BD_SET_ERR(dev, VERR_READ_ERROR, "read of %lld bytes returned %lld", static_cast<long long>(n),
                   static_cast<long long>(r));
        return -1;
    }
    h->offset = pos + r;
    return r;
}

int64_t comm_plugin_write(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len) {
    bd_plug_handle* h = as_handle(handle);
    int64_t pos;
    if (len < 0 || !position(dev, h, off, &pos)) return -1;
    int64_t n = len;
    if (h->size_type == BD_PLUG_SIZE_FIXED) {
        if (pos > dev->fsize) {
            LOG2(LOG2_ERR, "block2", "roffset=%ld > fsize=%ld\n", static_cast<long>(pos), static_cast<long>(dev->fsize));
            BD_SET_ERR(dev, VERR_DISK_FULL, "roffset=%ld > fsize=%ld", static_cast<long>(pos),
                       static_cast<long>(dev->fsize));
            return 0;
        }
        n = std::min(n, dev->fsize - pos);
        if (n == 0) {
            BD_SET_ERR(dev, VERR_DISK_FULL, "%s", verr2str(VERR_DISK_FULL));
            return 0;
        }
    }
    if (n == 0) return 0;
    int64_t r = external(h->plug) ? h->plug->ext.pwrite(h->handle, buf, n, pos)
                                  : h->plug->in.pwrite(h->handle, buf, n, pos);
    if (r < 0) {
        op_failed(dev, h, VERR_WRITE_ERROR);
        return -1;
    }
    if (r > n) {
        BD_SET_ERR(dev, VERR_WRITE_ERROR, "write of %lld bytes returned %lld", static_cast<long long>(n),
                   static_cast<long long>(r));
        return -1;
    }
    h->offset = pos + r;
    // A device that grows is as large as what was written into it.
    if (h->size_type != BD_PLUG_SIZE_FIXED && h->offset > dev->fsize) dev->fsize = h->offset;
    return r;
}

int64_t comm_plugin_size(bd_dev* dev, void*) { return device_size(dev); }

int comm_plugin_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    bd_plug_handle* h = as_handle(handle);
    bd_plugin* p = h->plug;
    int64_t start = static_cast<int64_t>(dev->vol.vol_start);
    switch (cmd) {
    case BLOCK_SYNC: {
        int (*sync)(void*) = external(p) ? p->ext.sync : p->in.sync;
        if (!sync) return not_supported(dev);
        if (sync(h->handle) < 0) {
            op_failed(dev, h, VERR_WRITE_ERROR);
            return -1;
        }
        return 0;
    }
    case BLOCK_SEEK: {
        if (!arg || arglen < 8) return bad_arg(dev);
        uint64_t to = *static_cast<uint64_t*>(arg);
        int64_t pos;
        if (to > INT64_MAX || __builtin_add_overflow(static_cast<int64_t>(to), start, &pos)) return bad_arg(dev);
        h->offset = pos;
        return 0;
    }
    case BLOCK_GET_PACK_TYPE:
        if (!arg || arglen < 4) return bad_arg(dev);
        *static_cast<uint32_t*>(arg) = 0;
        return 0;
    case BLOCK_GET_VOL:
        if (!arg || arglen < static_cast<int64_t>(sizeof(bd_vol))) return bad_arg(dev);
        *static_cast<bd_vol*>(arg) = dev->vol;
        return 0;
    case BLOCK_GET_DRV_INFO: {
        if (!arg || arglen < static_cast<int64_t>(sizeof(os_file_info))) return bad_arg(dev);
        auto* fi = static_cast<os_file_info*>(arg);
        *fi = os_file_info{};
        fi->type = h->size_type;
        fi->size = static_cast<uint64_t>(device_size(dev));
        fi->offset = static_cast<uint64_t>(h->offset > start ? h->offset - start : 0);
        fi->sector_size = static_cast<uint32_t>(dev->sector_size);
        const char* name = external(p) ? p->ext.name : (p->in.drv ? p->in.drv->name : "");
        str_sprintf_s(fi->description, sizeof fi->description, "bd_type=%s", name ? name : "");
        return 0;
    }
    default:
        return not_supported(dev);
    }
}

void bd_plugin_internal_drv(bd_drv* drv, bd_plugin* plug, uint32_t type, const char* name,
                            int (*probe)(const char* url, uint32_t oflag, void* priv)) {
    plug->kind = BD_PLUGIN_INTERNAL;
    plug->in.drv = drv;
    *drv = bd_drv{};
    drv->type = type;
    drv->priv = plug;
    drv->name = name;
    drv->support_exts = "";
    drv->support_open = 0;
    drv->bdrv_probe = probe;
    drv->bdrv_open = &comm_plugin_open;
    drv->bdrv_close = &comm_plugin_close;
    drv->bdrv_pread = &comm_plugin_read;
    drv->bdrv_pwrite = &comm_plugin_write;
    drv->bdrv_size = &comm_plugin_size;
    drv->bdrv_ioctl = &comm_plugin_ioctl;
}

