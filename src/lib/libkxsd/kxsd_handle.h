// The handles opened on a connection: remote files and remote directories.
// Every handle starts with its kind (KXSD_KIND_*) and its connection, so
// that any handle leads back to the connection (cli_get_ctx, kxsd_conn.h).
// The connection keeps every open handle in its files and dirs arrays and
// closes what is still open when it ends (kxsd_cli_exit).
#pragma once

#include <cstdint>

#include "libkxsd/kxsd_cli_ctx.h"
#include "libpal/os/os_file_types.h"

// A file opened on a connection (allocated zeroed).
struct kxsd_file_ctx {
    uint32_t kind;                // KXSD_KIND_FILE
    kxsd_cli_ctx* conn;
    char* path;                   // owned copy of the path as opened
    uint32_t flags;               // open flags (os_pf_flags)
    int64_t fd;                   // the server's handle
    uint64_t pos;                 // where the next chunk of a positioned transfer goes
    uint8_t need_read_timeout;    // a "windows" server: send the read time-out first
    uint8_t need_write_timeout;   // likewise for the write time-out
};

// A directory opened on a connection (allocated zeroed).
struct kxsd_dir_ctx {
    uint32_t kind;                // KXSD_KIND_DIR
    kxsd_cli_ctx* conn;
    int64_t fd;                   // the server's handle
    char* list;                   // listing buffer (the connection's listing size), at the first read
    int64_t list_pos;             // read position in the listing; -1: fetch the next listing
    uint32_t list_len;            // unpacked listing length
    os_file_attr attr;            // the current entry
    char text[512];
    char name[4096];
    uint64_t index;               // entry index
};

// Free the handle's memory (the path, the listing buffer, the record); no
// request, no change to the connection's arrays. None is accepted.
void kxsd_file_free(kxsd_file_ctx* file);
void kxsd_dir_free(kxsd_dir_ctx* dir);
