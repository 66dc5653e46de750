// The VMDK output driver over the writer's functions.
#include "libblock/bd_vmdk2.h"
#include "libblock/plug_comm.h"
#include "libpal/network/url.h"
#include "libpal/os/os_fileutil.h"
#include "libvmdk/libvmdk.h"

namespace {

void* vmdk_plug_open(const char* url, uint32_t oflag, uint64_t, verr_info* err, const char*) {
    return vmdk_open(url, oflag, err);
}
int plug_close(void* h) { return vmdk_close(static_cast<vmdk_ctx*>(h)); }
int64_t plug_size(void* h) { return vmdk_size(static_cast<vmdk_ctx*>(h)); }
uint32_t plug_sector_size(void* h) { return vmdk_sector_size(static_cast<vmdk_ctx*>(h)); }
uint32_t plug_size_type(void* h) { return vmdk_size_type(static_cast<vmdk_ctx*>(h)); }
int64_t plug_pread(void* h, void* buf, int64_t len, int64_t off) {
    return vmdk_pread(static_cast<vmdk_ctx*>(h), buf, len, off);
}
int64_t plug_pwrite(void* h, const void* buf, int64_t len, int64_t off) {
    return vmdk_pwrite(static_cast<vmdk_ctx*>(h), buf, len, off);
}
int plug_sync(void* h) { return vmdk_sync(static_cast<vmdk_ctx*>(h)); }

bd_plugin g_plugin;
bd_drv g_drv;

}  // namespace

int bdrv_vmdk2_probe(const char* url, uint32_t oflag, void*) {
    if (oflag & OS_PF_RDONLY) return -1;
    return url_local_path_ends_with(url, ".vmdk") ? 0 : -1;
}

void bdrv_vmdk2_exit() {}

void bd_vmdk2_register() {
    bd_plugin_internal_drv(&g_drv, &g_plugin, BD_DRV_VMDK2, "vmdk2", &bdrv_vmdk2_probe);
    g_plugin.in.open = &vmdk_plug_open;
    g_plugin.in.close = &plug_close;
    g_plugin.in.size = &plug_size;
    g_plugin.in.sector_size = &plug_sector_size;
    g_plugin.in.size_type = &plug_size_type;
    g_plugin.in.pread = &plug_pread;
    g_plugin.in.pwrite = &plug_pwrite;
    g_plugin.in.sync = &plug_sync;
    bd_drv_add(&g_drv);
}

bd_drv* bd_vmdk2_drv() { return &g_drv; }
