// The "vdi" driver: VirtualBox disk images, read-only, through the VDI reader.
#include <algorithm>

#include "libblock/bd.h"
#include "libblock/bd_img.h"
#include "libblock/bd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "libvdi/vdi.h"
#include "liblog/log2.h"

namespace {

struct vdi_handle {
    vdi_ctx* vdi;
    uint64_t pos;  // absolute: the window start included
};

int vdi_probe(const char* url, uint32_t, void*) { return url_local_path_ends_with(url, ".vdi") ? 0 : -1; }

void* vdi_drv_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    if ((ctx->oflag & OS_PF_ACCESS_MASK) != OS_PF_RDONLY) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "oflag=0x%x Only read-only open files are supported", ctx->oflag);
        return nullptr;
    }
    char path[URL_PART_SIZE];
    if (!bd_img_local_path(url, path, sizeof path)) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    auto* h = static_cast<vdi_handle*>(pl_zalloc(sizeof(vdi_handle)));
    if (!h) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    h->vdi = vdi_open(path, ctx->oflag & ~BD_OFLAG_IMAGE, &dev->verr);
    if (!h->vdi) {
        pl_free(h);
        return nullptr;
    }
    h->pos = dev->vol.vol_start;
    dev->fsize = vdi_size(h->vdi);
    if (dev->fsize < 0) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "failed to get VDI file size");
        vdi_close(h->vdi);
        pl_free(h);
        return nullptr;
    }
    return h;
}

int vdi_drv_close(void* handle) {
    auto* h = static_cast<vdi_handle*>(handle);
    int rc = vdi_close(h->vdi);
    pl_free(h);
    return rc;
}

int64_t vdi_drv_pread(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    auto* h = static_cast<vdi_handle*>(handle);
    int64_t pos = bd_img_read_pos(dev, off, h->pos);
    if (pos < 0) return -1;
    int64_t n = bd_img_read_len(dev, pos, len);
    if (n == 0) return 0;
    if (vdi_seek(h->vdi, pos, 0) != pos) {
        BD_SET_ERR(dev, VERR_SEEK, "%s", verr2str(VERR_SEEK));
        return -1;
    }
    int64_t got = vdi_read(h->vdi, buf, n);
    if (got < 0) return -1;
    h->pos = static_cast<uint64_t>(pos + got);
    return got;
}

int64_t vdi_drv_pwrite(bd_dev* dev, void*, int64_t, const void*, int64_t) {
    bd_img_not_supported(dev);
    return -1;
}

int64_t vdi_drv_size(bd_dev* dev, void*) { return bd_img_size(dev); }

int vdi_drv_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    return bd_img_ioctl(dev, &static_cast<vdi_handle*>(handle)->pos, "vdi", cmd, arg, arglen);
}

bd_drv g_vdi_drv = {
    BD_DRV_VDI, nullptr, "vdi", "", 0, &vdi_probe, &vdi_drv_open, &vdi_drv_close, &vdi_drv_pread, nullptr,
    &vdi_drv_pwrite, nullptr, &vdi_drv_size, &vdi_drv_ioctl,
};

}  // namespace

bd_drv* bdrv_vdi_register() {
    bd_drv_add(&g_vdi_drv);
    return &g_vdi_drv;
}
