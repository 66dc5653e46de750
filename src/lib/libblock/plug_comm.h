// The plugin record and the adapter that turns a plugin's entry points into
// a driver's operations. Loaded plugin libraries (external) and the built-in
// drivers that fill a record with their own functions (internal: "vmdk2",
// "kxi") share it.
#pragma once

#include <cstdint>

#include "libblock/bd.h"
#include "libblock/kx_disk_plug.h"

enum : uint32_t {
    BD_PLUGIN_EXTERNAL = 0,
    BD_PLUGIN_INTERNAL = 1,
};

// A loaded library's entry points, in their order of resolution.
struct bd_plugin_ext {
    char* path;   // own copy
    char* name;   // own copy of what kx_disk_plug_name returned
    uint32_t first_use;
    kx_disk_plug_name_fn name_fn;
    kx_disk_plug_version_fn version;
    kx_disk_plug_support_exts_fn support_exts;
    kx_disk_plug_support_open_fn support_open;
    kx_disk_plug_init_fn init;
    kx_disk_plug_probe_fn probe;
    kx_disk_plug_open_fn open;
    kx_disk_plug_close_fn close;
    kx_disk_plug_last_errno_fn last_errno;
    kx_disk_plug_fsize_fn fsize;
    kx_disk_plug_sector_size_fn sector_size;
    kx_disk_plug_is_fixed_size_fn is_fixed_size;
    kx_disk_plug_pread_fn pread;
    kx_disk_plug_pwrite_fn pwrite;
    kx_disk_plug_sync_fn sync;  // may be missing
    char* exts;                 // own copy of the support_exts text
    void* lib;
};

// A built-in driver's functions. size_type and sync may be missing.
struct bd_plugin_int {
    bd_drv* drv;
    // (url, oflag, the caller parameter of the open, the device's error
    // record, the URL as the caller gave it) -> handle; none with the record
    // filled.
    void* (*open)(const char* url, uint32_t oflag, uint64_t opaque, verr_info* err, const char* full_url);
    int (*close)(void* h);
    int64_t (*size)(void* h);
    uint32_t (*sector_size)(void* h);
    uint32_t (*size_type)(void* h);
    // Bytes, or -1 with the device's error record filled.
    int64_t (*pread)(void* h, void* buf, int64_t len, int64_t off);
    int64_t (*pwrite)(void* h, const void* buf, int64_t len, int64_t off);
    int (*sync)(void* h);
};

struct bd_plugin {
    uint32_t kind;  // BD_PLUGIN_EXTERNAL or BD_PLUGIN_INTERNAL
    bd_plugin_ext ext;
    bd_plugin_int in;
};

// Size types of the adapter handle (the type code of BLOCK_GET_DRV_INFO).
enum : uint32_t {
    BD_PLUG_SIZE_EXTENSIBLE = 2,
    BD_PLUG_SIZE_FIXED_DONE = 5,
    BD_PLUG_SIZE_FIXED = 6,
};

// The driver handle of every device opened through a plugin record.
struct bd_plug_handle {
    void* handle;        // the plugin's handle
    int64_t offset;      // current position, volume start included
    uint32_t size_type;
    bd_plugin* plug;
};

// The driver operations over a plugin record (the driver's priv).
int bdrv_plugin_probe(const char* url, uint32_t oflag, void* priv);
void* comm_plugin_open(const char* url, bd_open_ctx* ctx);
int comm_plugin_close(void* handle);
int64_t comm_plugin_read(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len);
int64_t comm_plugin_write(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len);
int64_t comm_plugin_size(bd_dev* dev, void* handle);
int comm_plugin_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen);

// Fills a built-in driver's record over its internal plugin record (whose
// functions the caller has set): the comm_plugin operations, no supported
// names or open kinds.
void bd_plugin_internal_drv(bd_drv* drv, bd_plugin* plug, uint32_t type, const char* name,
                            int (*probe)(const char* url, uint32_t oflag, void* priv));

// The cache-image driver's choice of names and its (empty) exit work: a
// name whose query has the key "wcache", or a local path ending ".kxi".
int bdrv_kxi_probe(const char* url, uint32_t oflag, void* priv);
void bdrv_kxi_exit();
