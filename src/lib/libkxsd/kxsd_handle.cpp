// Handles of a connection: from any handle back to its connection, the
// connection's error record, and the memory of file and directory handles.
#include <cstring>

#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_handle.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_size.h"

void kxsd_file_free(kxsd_file_ctx* file) {
    if (!file) return;
    pl_free(file->path);
    pl_free(file);
}

void kxsd_dir_free(kxsd_dir_ctx* dir) {
    if (!dir) return;
    pl_free(dir->list);
    pl_free(dir);
}

kxsd_cli_ctx* cli_get_ctx(void* handle, int64_t* fd) {
    if (!handle) return nullptr;
    // Every handle record starts with its kind.
    uint32_t kind = 0;
    std::memcpy(&kind, handle, sizeof kind);
    switch (kind) {
        case KXSD_KIND_CONN: return static_cast<kxsd_cli_ctx*>(handle);
        case KXSD_KIND_FILE: {
            auto* f = static_cast<kxsd_file_ctx*>(handle);
            if (fd) *fd = f->fd;
            return f->conn;
        }
        case KXSD_KIND_DIR: {
            auto* d = static_cast<kxsd_dir_ctx*>(handle);
            if (fd) *fd = d->fd;
            return d->conn;
        }
        default: LOG2(LOG2_ERR, "sdcli", "invalid handle\n"); return nullptr;
    }
}

int cli_refuse(void* handle) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (conn && conn->err) VERR_SET(conn->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

const char* kxsd_cli_get_last_error(void* handle) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn) return "invalid handle";
    return conn->err ? verr_msg(conn->err) : "";
}

int32_t kxsd_cli_get_last_errno(void* handle) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn) return -1;
    return conn->err ? conn->err->code : 0;
}

int kxsd_cli_set_last_errno(void* handle, int32_t code) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn) return -1;
    if (conn->err) VERR_SET(conn->err, code, "%s", "");
    return 0;
}

int kxsd_cli_copy_last_error(void* handle, verr_info* out) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    if (!conn || !conn->err || !out) return -1;
    verr_copy(out, conn->err);
    return 0;
}

int kxsd_cli_not_supported(kxsd_cli_ctx* conn) {
    if (conn && conn->err) VERR_SET(conn->err, VERR_NOT_IMPLEMENTED, "%s", KXSD_UPGRADE_TEXT);
    return -1;
}

int kxsd_cli_ver_at_least(const kxsd_cli_ctx* conn, const char* ver) {
    return conn && ver && version_compare(conn->srv_ver, ver) >= 0 ? 1 : 0;
}

int kxsd_cli_get_os_type(kxsd_cli_ctx* conn, int32_t* os_type) {
    if (conn && os_type) *os_type = conn->os_type;
    return 0;
}

int kxsd_cli_info(kxsd_cli_ctx* conn, char* buf, size_t size) {
    if (!conn) return -1;
    const int32_t status = cli_info(conn, buf, size);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

int kxsd_cli_lsblk(kxsd_cli_ctx* conn, char* buf, size_t size) {
    if (!conn) return -1;
    const int32_t status = cli_lsblk(conn, buf, size);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

int kxsd_cli_volume_info(kxsd_cli_ctx* conn, const char* path, kxsd_volume_info* info) {
    if (!conn) return -1;
    const int32_t status = cli_volume_info(conn, path, info);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

void kxsd_cli_clear_stop(kxsd_cli_ctx* conn) {
    if (conn) conn->chan.stop_req = nullptr;
}
