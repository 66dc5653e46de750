// The driver registry: the built-in drivers, the plugin list and the
// choice of a driver for a name.
#include <cstring>
#include <string>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libblock/bd_kxi.h"
#include "libblock/bd_plug.h"
#include "libblock/bd_vmdk2.h"
#include "libconf/ini/conf.h"
#include "libpal/string/str_vector.h"
#include "libkxcli/kx_conf.h"
#include "libpal/env/pl_env.h"
#include "libpal/env/pl_init.h"
#include "libpal/network/url.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_max_drivers = 16;

struct registry {
    bool initialised;
    bd_drv* builtin[k_max_drivers];
    size_t n_builtin;
    bd_drv* plugins[k_max_drivers];
    size_t n_plugins;
    bd_drv* file_drv;
    bd_drv* kxi_drv;
};

registry g_reg;

constexpr const char* k_raw_exts = "*.bin;*.dd;*.img;*.ima";
constexpr const char* k_lib_exts = "*.000;*.001;*.vmdk;*.vhd;*.vhdx;*.s01;*.e01;*.ex01;*.l01;*.lx01;*.qcow;*.qcow2;*.qcow3";

}  // namespace

void bd_drv_add(bd_drv* drv) {
    if (drv && g_reg.n_builtin < k_max_drivers) g_reg.builtin[g_reg.n_builtin++] = drv;
}

int bd_init2() {
    LOG2(LOG2_DBG, "block2", "==>\n");
    if (g_reg.initialised) return 0;
    pl_init();
    g_reg = registry{};
    g_reg.initialised = true;
    char dir[4096];
    if (os_exe_get_dir(dir, sizeof dir) != 0) dir[0] = 0;
    kx_conf_set_path(dir);
    // Built-in drivers in their fixed order: file, kxsd, kxz, kxi, curl, vdi,
    // smif, vmdk2, aff4 (the probe asks them from the last to the first).
    bd_file_register();
    g_reg.file_drv = bd_file_drv();
    bdrv_kxsd_register();
    bd_kxz_register();
    g_reg.kxi_drv = bd_kxi_register();
    bdrv_curl_register();
    bdrv_vdi_register();
    bdrv_smif_register();
    bd_vmdk2_register();
    bdrv_aff4_register();
    return 0;
}

int bd_exit2() {
    // Exits in their fixed order: file, kxsd, curl, kxz, kxi, aff4.
    bd_file_exit();
    bdrv_kxsd_exit();
    bdrv_curl_exit();
    bd_kxz_exit();
    bdrv_kxi_exit();
    bdrv_aff4_exit();
    g_reg.n_builtin = 0;
    for (size_t i = 0; i < g_reg.n_plugins; ++i) libplugin_free(g_reg.plugins[i]);
    g_reg.n_plugins = 0;
    g_reg.file_drv = nullptr;
    g_reg.kxi_drv = nullptr;
    return 0;
}

bd_drv* bd_probe_driver(const char* url, uint32_t oflag) {
    auto takes = [&](bd_drv* d) { return d && d->bdrv_probe && d->bdrv_probe(url, oflag, d->priv) == 0; };
    if (takes(g_reg.kxi_drv)) return g_reg.kxi_drv;
    for (size_t i = 0; i < g_reg.n_plugins; ++i)
        if (takes(g_reg.plugins[i])) return g_reg.plugins[i];
    for (size_t i = g_reg.n_builtin; i-- > 0;)
        if (takes(g_reg.builtin[i])) return g_reg.builtin[i];
    return nullptr;
}

bd_drv* bd_url_drv(const char* url) {
    char real[KX_URL_SIZE];
    if (!url || url_conf_2_real(url, real) != 0) return nullptr;
    return bd_probe_driver(real, 1);
}

uint32_t bd_url_drv_type(const char* url) {
    bd_drv* d = bd_url_drv(url);
    return d ? d->type : 0;
}

const char* bd_url_drv_name(const char* url) {
    bd_drv* d = bd_url_drv(url);
    return d ? d->name : "unkown";
}

int bd_load_conf_plugins(const char* ini_path) {
    conf_ctx* conf = ini_path ? conf_load(ini_path) : nullptr;
    if (!conf) {
        LOG2(LOG2_DBG, "block2", "load [%s] failed\n", ini_path ? ini_path : "");
        return -1;
    }
    // The paths are loaded as listed; the joined text is only for the log.
    str_vector* list = conf_get_list(conf, "bd_plugins_load");
    conf_close(conf);
    std::string joined;
    for (size_t i = 0; list && i < list->count; ++i) {
        if (!list->items[i] || !*list->items[i]) continue;
        if (!joined.empty()) joined += "|";
        joined += list->items[i];
    }
    if (joined.size() >= 4096) joined.resize(4095);
    LOG2(LOG2_DBG, "block2", "bd_plug_list=[%s]\n", joined.c_str());
    for (size_t i = 0; list && i < list->count; ++i) {
        const char* path = list->items[i];
        if (!path || !*path) continue;
        bd_drv* drv = libplugin_init(path);
        if (!drv) continue;
        if (g_reg.n_plugins >= k_max_drivers) {
            LOG2(LOG2_ERR, "block2", "plugin [%s] not added: %zu plugins are loaded\n", path, g_reg.n_plugins);
            libplugin_free(drv);
            continue;
        }
        g_reg.plugins[g_reg.n_plugins++] = drv;
    }
    if (list) str_vector_free(list);
    return 0;
}

const char* bd_support_exts(char* buf, size_t size) {
    std::string s = std::string(k_raw_exts) + ";" + k_lib_exts + ";*.iso;*.vdi;*.kxz;*.kxi";
    for (size_t i = 0; i < g_reg.n_plugins; ++i) {
        const char* ext = g_reg.plugins[i]->support_exts;
        if (!ext || !*ext) continue;
        const char* bar = strrchr(ext, '|');
        s += ";";
        s += bar ? bar + 1 : ext;
    }
    std::string t;
    for (char c : s)
        if (!(c == ';' && (t.empty() || t.back() == ';'))) t += c;
    while (!t.empty() && t.back() == ';') t.pop_back();
    str_safecopy_trunc(buf, size, t.c_str());
    return buf;
}

const char* bd_open_filter() {
    thread_local char text[8192];
    char exts[8192];
    bd_support_exts(exts, sizeof exts);
    std::string s = std::string("all supported images|") + exts + "|" +
                    "Raw Images(*.bin;*.dd;*.img;*.ima)|*.bin;*.dd;*.img;*.ima|Split Raw Images(*.000;*.001)|*.000;*.001|"
                    "ISO Images(*.iso)|*.iso|Forensics Images(*.s01;*.e01;*.ex01;*.l01;*.lx01;*.aff4)|*.s01;*.e01;*.ex01;"
                    "*.l01;*.lx01;*.aff4|VMWare Image(*.vmdk)|*.vmdk|VHD Images(*.vhd;*.vhdx)|*.vhd;*.vhdx|Qemu Images(*.qcow;"
                    "*.qcow2;*.qcow3)|*.qcow;*.qcow2;*.qcow3|VirtualBox Images(*.vdi)|*.vdi|KXZ Compress Images(*.kxz)|*.kxz|"
                    "KXI RW_Images(*.kxi)|*.kxi";
    for (size_t i = 0; i < g_reg.n_plugins; ++i)
        if (g_reg.plugins[i]->support_exts) s += std::string("|") + g_reg.plugins[i]->support_exts;
    s += "|All Files (*.*)|*.*||";
    str_safecopy_trunc(text, sizeof text, s.c_str());
    return text;
}

const char* bd_save_filter() {
    thread_local char text[8192];
    std::string s =
        "Raw Images (*.bin;*.dd;*.img;*.ima)|*.bin;*.dd;*.img;*.ima|Vmdk Image Files(*.vmdk)|*.vmdk|KXZ Image "
        "Files(*.kxz)|*.kxz|KXI RW_Images(*.kxi)|*.kxi";
    for (size_t i = 0; i < g_reg.n_plugins; ++i) {
        bd_drv* p = g_reg.plugins[i];
        if ((p->support_open == 2 || p->support_open == 3) && p->support_exts) s += std::string("|") + p->support_exts;
    }
    s += "|All Files (*.*)|*.*||";
    str_safecopy_trunc(text, sizeof text, s.c_str());
    return text;
}

const char* bd_rw_filter() {
    thread_local char text[8192];
    std::string s = "Raw Images (*.bin;*.dd;*.img;*.ima)|*.bin;*.dd;*.img;*.ima|KXI RW_Images(*.kxi)|*.kxi";
    for (size_t i = 0; i < g_reg.n_plugins; ++i) {
        bd_drv* p = g_reg.plugins[i];
        if (p->support_open == 3 && p->support_exts) s += std::string("|") + p->support_exts;
    }
    s += "|All Files (*.*)|*.*||";
    str_safecopy_trunc(text, sizeof text, s.c_str());
    return text;
}

void bd_url_for_log(const char* url, char* out, size_t size) { url_mask_password(url ? url : "", out, size); }
