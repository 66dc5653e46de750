// Remote files: open and close, seek, position, size, sync, truncate, the
// control calls and the stat requests.
#include "libkxsd/kxsd_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file_priv.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"

namespace {

// A new handle for the connection (not yet registered), or none with the
// error record filled.
kxsd_file_ctx* new_file(kxsd_cli_ctx* conn, const char* path, uint32_t flags) {
    auto* f = static_cast<kxsd_file_ctx*>(pl_calloc(1, sizeof(kxsd_file_ctx)));
    char* p = pl_strdup(path ? path : "");
    if (!f || !p) {
        pl_free(f);
        pl_free(p);
        if (conn->err) VERR_SET(conn->err, VERR_NO_MEMORY, "memory allocation failed");
        return nullptr;
    }
    f->kind = KXSD_KIND_FILE;
    f->conn = conn;
    f->path = p;
    f->flags = flags;
    f->need_read_timeout = conn->windows;
    f->need_write_timeout = conn->windows;
    return f;
}

// Takes the status of an open request: registers the handle with its
// remote fd, or frees it. The handle or none.
kxsd_file_ctx* opened(kxsd_file_ctx* f, int32_t status, int64_t fd) {
    kxsd_cli_ctx* conn = f->conn;
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) {
        kxsd_file_free(f);
        return nullptr;
    }
    f->fd = fd;
    if (mem_ptr_add(&conn->files, f) != 0) {
        cli_close(conn, fd);
        kxsd_file_free(f);
        if (conn->err) VERR_SET(conn->err, VERR_NO_MEMORY, "memory allocation failed");
        return nullptr;
    }
    return f;
}

// The status of a request as the public result: 0 or -1.
int result_of(kxsd_cli_ctx* conn, int32_t status) {
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

// A size or position the server reports is a file offset: 2^63 and above
// is none, and would turn negative on its way to the caller. -1 with the
// value named in the error record.
int out_of_range(kxsd_cli_ctx* conn, const char* what, uint64_t value) {
    LOG2(LOG2_ERR, "sdcli", "server answered %s=%llu: out of range\n", what, static_cast<unsigned long long>(value));
    if (conn->err)
        VERR_SET(conn->err, -466, "server answered %s=%llu: out of range", what,
                 static_cast<unsigned long long>(value));
    return -1;
}

bool is_file_offset(uint64_t v) { return v <= static_cast<uint64_t>(INT64_MAX); }

}  // namespace

bool kxsd_file_ok(const kxsd_file_ctx* file) { return file && file->kind == KXSD_KIND_FILE && file->conn; }

int kxsd_file_bad(const kxsd_file_ctx* file) {
    if (file && file->conn && file->conn->err) {
        VERR_SET(file->conn->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    }
    return -1;
}

kxsd_file_ctx* kxsd_cli_open(kxsd_cli_ctx* conn, const char* path, uint32_t flags) {
    if (!conn || !path) return nullptr;
    if ((flags & OS_PF_VSS) && !kxsd_cli_ver_at_least(conn, "1.6.7")) {
        kxsd_cli_not_supported(conn);
        return nullptr;
    }
    kxsd_file_ctx* f = new_file(conn, path, flags);
    if (!f) return nullptr;
    int64_t fd = 0;
    const int32_t status = cli_open(conn, path, flags, &fd);
    return opened(f, status, fd);
}

kxsd_file_ctx* kxsd_cli_open2(kxsd_cli_ctx* conn, const char* path, int32_t flag, int32_t mode) {
    if (!conn || !path) return nullptr;
    kxsd_file_ctx* f = new_file(conn, path, 0);
    if (!f) return nullptr;
    int64_t fd = 0;
    const int32_t status = cli_open2(conn, path, flag, mode, &fd);
    return opened(f, status, fd);
}

kxsd_file_ctx* kxsd_cli_wopen(kxsd_cli_ctx* conn, const char* path, int32_t desire_access, int32_t share_mode,
                              int32_t creat_disp, int32_t flag_attrib, int64_t temp_handle) {
    if (!conn || !path) return nullptr;
    kxsd_file_ctx* f = new_file(conn, path, 0);
    if (!f) return nullptr;
    int64_t fd = 0;
    const int32_t status =
        cli_wopen(conn, path, desire_access, share_mode, creat_disp, flag_attrib, temp_handle, &fd);
    return opened(f, status, fd);
}

int kxsd_cli_close(kxsd_file_ctx* file) {
    if (!kxsd_file_ok(file)) return -1;
    kxsd_cli_ctx* conn = file->conn;
    int rc = 0;
    if (conn->chan.handle) rc = result_of(conn, cli_close(conn, file->fd));
    mem_ptr_del(&conn->files, file);
    kxsd_file_free(file);
    return rc;
}

int64_t kxsd_cli_seek(kxsd_file_ctx* file, int64_t offset, int32_t mode) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    int64_t at = 0;
    if (result_of(file->conn, cli_seek(file->conn, file->fd, offset, mode, &at)) != 0) return -1;
    if (at < 0) return out_of_range(file->conn, "offset", static_cast<uint64_t>(at));
    file->pos = static_cast<uint64_t>(at);
    return at;
}

namespace {

int file_info(kxsd_file_ctx* file, os_file_info* info) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    *info = os_file_info{};
    return kxsd_cli_ioctl(file, OS_FILE_GET_INFO, info, sizeof *info);
}

}  // namespace

int64_t kxsd_cli_tell(kxsd_file_ctx* file) {
    os_file_info info;
    return file_info(file, &info) == 0 ? static_cast<int64_t>(info.offset) : -1;
}

int64_t kxsd_cli_size(kxsd_file_ctx* file) {
    os_file_info info;
    return file_info(file, &info) == 0 ? static_cast<int64_t>(info.size) : -1;
}

int kxsd_cli_sync(kxsd_file_ctx* file) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    return result_of(file->conn, cli_sync(file->conn, file->fd));
}

int kxsd_cli_truncate(kxsd_file_ctx* file, int64_t size) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    if (result_of(file->conn, cli_truncate(file->conn, file->fd, size)) != 0) return -1;
    return kxsd_cli_seek(file, 0, 1) < 0 ? -1 : 0;
}

int32_t kxsd_cli_get_pack_type(void* handle) {
    kxsd_cli_ctx* conn = cli_get_ctx(handle);
    return conn ? static_cast<int32_t>(conn->pack.id) : -1;
}

int kxsd_cli_ioctl(void* handle, int32_t code, void* data, int32_t len) {
    int64_t fd = 0;
    kxsd_cli_ctx* conn = cli_get_ctx(handle, &fd);
    if (!conn) return -1;
    const bool needs_record = code >= 0 && code <= static_cast<int32_t>(OS_FILE_LOCK);
    if (needs_record && !data) {
        if (conn->err) VERR_SET(conn->err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return -1;
    }
    int32_t status = KXSD_CLI_OK;
    switch (static_cast<uint32_t>(code)) {
        case OS_FILE_GET_INFO: status = cli_file_info(conn, fd, static_cast<os_file_info*>(data)); break;
        case OS_FILE_GET_ERROR:
            // From what the last error reply said; no request.
            *static_cast<uint64_t*>(data) =
                static_cast<uint64_t>(os_file_err_class(conn->os_type == 1 ? 1 : 0, conn->srv_errno));
            return 0;
        case OS_FILE_GET_STAT: status = cli_fstat(conn, fd, static_cast<os_file_attr*>(data)); break;
        case OS_FILE_SET_TIMES: status = cli_set_times(conn, fd, static_cast<const os_file_times*>(data)); break;
        case OS_FILE_LOCK: status = cli_lock(conn, fd, static_cast<const os_file_lock_req*>(data)); break;
        default: status = cli_file_ioctl(conn, fd, code, data, len); break;
    }
    // A pack method the client cannot open comes back as a negative result,
    // which the error record shows as "unkown error=%d".
    if (result_of(conn, status) != 0) return -1;
    if (code == static_cast<int32_t>(OS_FILE_GET_INFO)) {
        const auto* info = static_cast<const os_file_info*>(data);
        if (!is_file_offset(info->size)) return out_of_range(conn, "size", info->size);
        if (!is_file_offset(info->offset)) return out_of_range(conn, "offset", info->offset);
    }
    return 0;
}

namespace {

int set_fd_timeout(kxsd_file_ctx* file, int32_t code, int32_t ms) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    char text[32];
    std::snprintf(text, sizeof text, "%d", ms);
    return kxsd_cli_ioctl(file, code, text, KXSD_DATA_TEXT);
}

}  // namespace

int kxsd_cli_set_fd_read_timeout(kxsd_file_ctx* file, int32_t ms) {
    const int rc = set_fd_timeout(file, KXSD_IOCTL_READ_TIMEOUT, ms);
    if (rc != 0) LOG2(LOG2_WARN, "sdcli", "warn: set_read_timeout %s\n", kxsd_cli_get_last_error(file));
    return rc;
}

int kxsd_cli_set_fd_write_timeout(kxsd_file_ctx* file, int32_t ms) {
    const int rc = set_fd_timeout(file, KXSD_IOCTL_WRITE_TIMEOUT, ms);
    if (rc != 0) LOG2(LOG2_WARN, "sdcli", "warn: set_write_timeout %s\n", kxsd_cli_get_last_error(file));
    return rc;
}

int kxsd_cli_fstat(void* handle, os_file_attr* attr) { return kxsd_cli_ioctl(handle, OS_FILE_GET_STAT, attr, 0); }

int kxsd_cli_set_times(void* handle, const os_file_times* times) {
    return kxsd_cli_ioctl(handle, OS_FILE_SET_TIMES, const_cast<os_file_times*>(times), 0);
}

int kxsd_cli_lock(void* handle, const os_file_lock_req* req) {
    return kxsd_cli_ioctl(handle, OS_FILE_LOCK, const_cast<os_file_lock_req*>(req), 0);
}

int kxsd_cli_ioctl_text(void* handle, const char* text) {
    return kxsd_cli_ioctl(handle, KXSD_IOCTL_TEXT, const_cast<char*>(text ? text : ""), KXSD_DATA_TEXT);
}

int kxsd_cli_stat(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr) {
    if (!conn || !attr) return -1;
    return result_of(conn, cli_stat(conn, path, attr));
}

int kxsd_cli_stat2(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr) {
    if (!conn || !attr) return -1;
    return result_of(conn, cli_stat2(conn, path, attr));
}
