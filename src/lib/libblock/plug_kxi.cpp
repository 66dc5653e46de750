// The cache-image driver: its choice of names and its registration over an
// internal plugin record whose functions are the cache image's own.
#include "libblock/bd_kxi.h"
#include "libblock/plug_comm.h"
#include "libkxi/libkxi.h"
#include "libpal/network/url.h"

namespace {

bd_plugin g_plugin;
bd_drv g_drv;

}  // namespace

int bdrv_kxi_probe(const char* url, uint32_t, void*) {
    if (!url) return -1;
    if (url_query_has_key(url, "wcache")) return 0;
    return url_local_path_ends_with(url, ".kxi") ? 0 : -1;
}

void bdrv_kxi_exit() {}

bd_drv* bd_kxi_register() {
    bd_plugin_internal_drv(&g_drv, &g_plugin, BD_DRV_KXI, "kxi", &bdrv_kxi_probe);
    g_plugin.in.open = &kxi_open;
    g_plugin.in.close = &kxi_close;
    g_plugin.in.size = &kxi_size;
    g_plugin.in.sector_size = &kxi_sector_size;
    g_plugin.in.size_type = nullptr;  // a fixed size: the base's
    g_plugin.in.pread = &kxi_pread;
    g_plugin.in.pwrite = &kxi_pwrite;
    g_plugin.in.sync = &kxi_sync;
    kxi_cache_drv_init();
    bd_drv_add(&g_drv);
    return &g_drv;
}

bd_drv* bd_kxi_drv() { return &g_drv; }
