/* The interface of a disk plugin: a shared library that adds a storage kind
 * to the block layer by exporting the kx_disk_plug_* entry points below
 * (C linkage). Every entry point is required except kx_disk_plug_sync.
 *
 * The host resolves them in the order listed, calls name, version,
 * support_exts and support_open while doing so, and calls init with the host
 * record right after resolving it. A plugin's handle is used by one thread at
 * a time. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the host hands to kx_disk_plug_init; it lives as long as the process. */
typedef struct kx_disk_plug_host {
    uint64_t size; /* 16 */
    /* The host's logger: level word (bit 0x100: append the text of err),
     * tag, source file, line, function, an errno value, format. */
    void (*log)(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, int32_t err,
                const char* fmt, ...);
} kx_disk_plug_host;

/* Size of the error text buffer of kx_disk_plug_open. */
#define KX_DISK_PLUG_ERR_SIZE 4096

/* Open kinds of kx_disk_plug_support_open: 2 can be written, 3 read and written. */
#define KX_DISK_PLUG_OPEN_WRITE 2
#define KX_DISK_PLUG_OPEN_RW 3

typedef const char* (*kx_disk_plug_name_fn)(void);
typedef const char* (*kx_disk_plug_version_fn)(void);
/* "description|pattern;pattern..." */
typedef const char* (*kx_disk_plug_support_exts_fn)(void);
typedef uint32_t (*kx_disk_plug_support_open_fn)(void);
typedef int (*kx_disk_plug_init_fn)(const kx_disk_plug_host* host);
/* 0 when the plugin takes the URL; plugin is the host's record (opaque). */
typedef int (*kx_disk_plug_probe_fn)(const char* url, uint32_t oflag, void* plugin);
/* A handle, or nothing with err_text (KX_DISK_PLUG_ERR_SIZE bytes) filled. */
typedef void* (*kx_disk_plug_open_fn)(const char* url, uint32_t oflag, char* err_text);
typedef int (*kx_disk_plug_close_fn)(void* handle);
/* errno value of the handle's last failure. */
typedef int (*kx_disk_plug_last_errno_fn)(void* handle);
typedef int64_t (*kx_disk_plug_fsize_fn)(void* handle);
typedef uint32_t (*kx_disk_plug_sector_size_fn)(void* handle);
/* Non-zero for a device of fixed size. */
typedef int (*kx_disk_plug_is_fixed_size_fn)(void* handle);
/* Bytes transferred, negative on failure. */
typedef int64_t (*kx_disk_plug_pread_fn)(void* handle, void* buf, int64_t len, int64_t off);
typedef int64_t (*kx_disk_plug_pwrite_fn)(void* handle, const void* buf, int64_t len, int64_t off);
/* Negative on failure. */
typedef int (*kx_disk_plug_sync_fn)(void* handle);

#ifdef __cplusplus
}
#endif
