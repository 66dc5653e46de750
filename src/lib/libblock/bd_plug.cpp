// The plugin loader: one library, its entry points, its driver record.
#include <cstring>
#include <memory>

#include "libblock/bd_plug.h"
#include "libblock/plug_comm.h"
#include "libpal/env/os_dl.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

// Lives as long as the process: plugins may keep the pointer.
constinit const kx_disk_plug_host g_host = {sizeof(kx_disk_plug_host), &log2_printf_plug};

struct plugin_deleter {
    void operator()(bd_plugin* p) const noexcept {
        pl_free(p->ext.path);
        pl_free(p->ext.name);
        pl_free(p->ext.exts);
        pl_free(p);
    }
};
using plugin_ptr = std::unique_ptr<bd_plugin, plugin_deleter>;

char* dup_text(const char* text) { return pl_strdup(text ? text : ""); }

// Resolves one entry point into slot; false (logged) when it is missing.
template <class Fn>
bool resolve(void* lib, const char* path, const char* name, Fn* slot, bool first = false) {
    *slot = reinterpret_cast<Fn>(os_dlsym(lib, name));
    if (*slot) return true;
    if (first) LOG2(LOG2_DBG, "block2", "os_dlsym [%s] %s failed\n", path, name);
    else LOG2(LOG2_DBG, "block2", "os_dlsym %s failed\n", name);
    return false;
}

// The entry points in their order of resolution, with the calls made while
// resolving. False when a required one is missing or a text cannot be kept.
bool resolve_all(bd_plugin_ext& e, const char* path) {
    void* lib = e.lib;
    if (!resolve(lib, path, "kx_disk_plug_name", &e.name_fn, true)) return false;
    const char* name = e.name_fn();
    LOG2(LOG2_DBG, "block2", "plugin_name=[%s]\n", name ? name : "");
    e.name = dup_text(name);
    if (!e.name) return false;
    if (!resolve(lib, path, "kx_disk_plug_version", &e.version)) return false;
    const char* version = e.version();
    LOG2(LOG2_DBG, "block2", "plugin_version=[%s]\n", version ? version : "");
    if (!resolve(lib, path, "kx_disk_plug_support_exts", &e.support_exts)) return false;
    const char* exts = e.support_exts();
    LOG2(LOG2_DBG, "block2", "exts=[%s]\n", exts ? exts : "");
    if (!resolve(lib, path, "kx_disk_plug_support_open", &e.support_open)) return false;
    LOG2(LOG2_DBG, "block2", "support_open=[%d]\n", static_cast<int>(e.support_open()));
    if (!resolve(lib, path, "kx_disk_plug_init", &e.init)) return false;
    e.init(&g_host);
    return resolve(lib, path, "kx_disk_plug_probe", &e.probe) && resolve(lib, path, "kx_disk_plug_open", &e.open) &&
           resolve(lib, path, "kx_disk_plug_close", &e.close) &&
           resolve(lib, path, "kx_disk_plug_last_errno", &e.last_errno) &&
           resolve(lib, path, "kx_disk_plug_fsize", &e.fsize) &&
           resolve(lib, path, "kx_disk_plug_sector_size", &e.sector_size) &&
           resolve(lib, path, "kx_disk_plug_is_fixed_size", &e.is_fixed_size) &&
           resolve(lib, path, "kx_disk_plug_pread", &e.pread) && resolve(lib, path, "kx_disk_plug_pwrite", &e.pwrite) &&
           (resolve(lib, path, "kx_disk_plug_sync", &e.sync), true);
}

}  // namespace

const kx_disk_plug_host* bd_plug_host() { return &g_host; }

bd_drv* libplugin_init(const char* path) {
    if (!path) return nullptr;
    plugin_ptr p(static_cast<bd_plugin*>(pl_zalloc(sizeof(bd_plugin))));
    if (!p) return nullptr;
    p->kind = BD_PLUGIN_EXTERNAL;
    LOG2(LOG2_DBG, "block2", "[%s] ==>\n", path);
    p->ext.lib = os_dlopen2(path);
    if (!p->ext.lib) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "block2", "os_dlopen2 [%s] error: ", path);
        const char* why = os_dlerror();
        LOG2(LOG2_DBG, "block2", "%s\n", why ? why : "");
        return nullptr;
    }
    // A library that fails here stays loaded: its init may already have run.
    if (!resolve_all(p->ext, path)) return nullptr;
    p->ext.path = pl_strdup(path);
    p->ext.first_use = 0;
    p->ext.exts = dup_text(p->ext.support_exts());
    auto* drv = static_cast<bd_drv*>(pl_zalloc(sizeof(bd_drv)));
    if (!p->ext.path || !p->ext.exts || !drv) {
        pl_free(drv);
        return nullptr;
    }
    drv->type = BD_DRV_PLUGIN;
    drv->priv = p.get();
    drv->name = p->ext.name;
    drv->support_exts = p->ext.exts;
    drv->support_open = p->ext.support_open();
    drv->bdrv_probe = &bdrv_plugin_probe;
    drv->bdrv_open = &comm_plugin_open;
    drv->bdrv_close = &comm_plugin_close;
    drv->bdrv_pread = &comm_plugin_read;
    drv->bdrv_pwrite = &comm_plugin_write;
    drv->bdrv_size = &comm_plugin_size;
    drv->bdrv_ioctl = &comm_plugin_ioctl;
    p.release();
    return drv;
}

void libplugin_free(bd_drv* drv) {
    if (!drv) return;
    auto* p = static_cast<bd_plugin*>(drv->priv);
    if (p && p->kind == BD_PLUGIN_EXTERNAL) plugin_deleter{}(p);
    pl_free(drv);
}
