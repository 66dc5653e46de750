// Remote files: reads with their recovery after a failed request, writes,
// the pass-through of packed blocks and the restart of a file's connection.
#include <algorithm>
#include <climits>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file.h"
#include "libkxsd/kxsd_file_priv.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/basic/stop_flag.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_fileutil.h"

namespace {

// The code the error record holds for the last request (the server's
// errno when there is no record).
int32_t last_code(const kxsd_cli_ctx* conn, int32_t status) {
    if (conn->err) return conn->err->code;
    return status == KXSD_CLI_SRV_ERR ? conn->srv_errno : 0;
}

// The first read of a file on a "windows" server sends the read time-out.
int read_timeout_once(kxsd_file_ctx* file) {
    if (!file->need_read_timeout) return 0;
    if (kxsd_cli_set_fd_read_timeout(file, file->conn->read_timeout - 1000) != 0) return -1;
    file->need_read_timeout = 0;
    return 0;
}

// Likewise for the write time-out, whose result is not checked.
void write_timeout_once(kxsd_file_ctx* file) {
    if (!file->need_write_timeout) return;
    kxsd_cli_set_fd_write_timeout(file, file->conn->write_timeout);
    file->need_write_timeout = 0;
}

// An explicit offset: servers without offsets in their requests get a seek
// first. The handle's position is the offset. 0 or -1.
int place(kxsd_file_ctx* file, int64_t offset) {
    if (offset == KXSD_OFFSET_CUR) return 0;
    if (!file->conn->offsets && kxsd_cli_seek(file, offset, 0) < 0) return -1;
    file->pos = static_cast<uint64_t>(offset);
    return 0;
}

// The offset a chunk's request carries: the handle's position for a server
// with offsets when the caller gave one, else the server's current position.
int64_t request_offset(const kxsd_file_ctx* file, int64_t offset) {
    return file->conn->offsets && offset != KXSD_OFFSET_CUR ? static_cast<int64_t>(file->pos) : KXSD_OFFSET_CUR;
}

// A server that took fewer bytes than a request carried: the rest is lost
// unless the caller writes the range again, so the write fails.
int64_t short_write(kxsd_cli_ctx* conn, int64_t wrote, int64_t len) {
    LOG2(LOG2_ERR, "sdcli", "short write: %lld of %lld bytes\n", static_cast<long long>(wrote),
         static_cast<long long>(len));
    if (conn->err) {
        VERR_SET(conn->err, VERR_WRITE_ERROR, "short write: %lld of %lld bytes", static_cast<long long>(wrote),
                 static_cast<long long>(len));
    }
    return -1;
}

bool bad_len(int64_t len, const void* buf) { return len < 0 || (len > 0 && !buf); }

}  // namespace

int kxsd_cli_restart_work(kxsd_file_ctx* file) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    LOG2(LOG2_DBG, "sdcli", "==>\n");
    if (kxsd_cli_reconnect(conn) != 0) return -1;
    // The file exists and holds data already moved: never create or cut it again.
    const uint32_t flags = file->flags & ~static_cast<uint32_t>(OS_PF_CREATE | OS_PF_TRUNC);
    int64_t fd = 0;
    const int32_t status = cli_open(conn, file->path, flags, &fd);
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) return -1;
    file->fd = fd;
    file->need_read_timeout = conn->windows;
    file->need_write_timeout = conn->windows;
    const uint64_t pos = file->pos;
    if (kxsd_cli_seek(file, static_cast<int64_t>(pos), 0) < 0 || file->pos != pos) {
        LOG2(LOG2_ERR, "sdcli", "seek: offset=%llu ctx->offset=%llu error\n", static_cast<unsigned long long>(-1),
             static_cast<unsigned long long>(pos));
        file->pos = pos;
        return -1;
    }
    char name[sizeof conn->pack.name];
    std::copy(std::begin(conn->pack.name), std::end(conn->pack.name), name);
    name[sizeof name - 1] = 0;
    if (kxsd_cli_ioctl(conn, KXSD_IOCTL_PACK, name, KXSD_DATA_TEXT) != 0) {
        LOG2(LOG2_ERR, "sdcli", "kxsd_cli_ioctl KXSD_IOCTL_PACK %s error=%d\n", name, kxsd_cli_get_last_errno(conn));
        return -1;
    }
    return 0;
}

int64_t kxsd_cli_read(kxsd_file_ctx* file, void* buf, int64_t len, int64_t offset) {
    if (!kxsd_file_ok(file) || bad_len(len, buf)) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    if (read_timeout_once(file) != 0 || place(file, offset) != 0) return -1;
    auto* out = static_cast<uint8_t*>(buf);
    int64_t total = 0;
    int retries = 0;  // of the chunk now asked for
    while (total < len) {
        // Sized anew each time: after a restart the block size is smaller,
        // and a full chunk of the new size is not the end of the file.
        const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(len - total, conn->block_size));
        int32_t got = 0;
        const int32_t status =
            cli_read_imp(conn, file->fd, out + total, chunk, &got, nullptr, 0, request_offset(file, offset));
        kxsd_cli_set_last_error(conn, status);
        if (status == KXSD_CLI_OK) {
            total += got;
            file->pos += static_cast<uint64_t>(got);
            conn->max_reply = std::max(conn->max_reply, got);
            retries = 0;
            if (got < chunk) break;
            continue;
        }
        const int32_t code = last_code(conn, status);
        if (code == -258 || code == VERR_FILE_NOT_FOUND || chunk <= KXSD_SMALL_BLOCK ||
            conn->max_reply > KXSD_LARGE_REPLY || pl_stop_requested(conn->chan.stop_req)) {
            return -1;
        }
        conn->block_size = KXSD_SMALL_BLOCK;
        LOG2(LOG2_DBG, "sdcli", "ctx->block_size=%d!!\n", conn->block_size);
        if (retries++ >= 1) {
            LOG2(LOG2_ERR, "sdcli", "error: count++>=1\n");
            return -1;
        }
        // Said at the default level: the connection is made again and the
        // file re-opened, and the read goes on where the lost chunk began.
        const unsigned long long at = file->pos;
        LOG2(LOG2_WARN, "sdcli",
             "read [%s] on %s offset=%llu len=%d error: %s: re-opening, the read goes on at offset %llu in chunks of %d bytes\n",
             file->path ? file->path : "", conn->host ? conn->host : "", at, chunk,
             conn->err && conn->err->code != 0 ? verr_msg(conn->err) : cli_status_str(status), at, conn->block_size);
        if (kxsd_cli_restart_work(file) != 0) return -1;
    }
    return total;
}

int64_t kxsd_cli_readz(kxsd_file_ctx* file, void* buf, int64_t len, int64_t* zlen, int64_t offset) {
    if (!kxsd_file_ok(file) || bad_len(len, buf) || len > INT32_MAX / 2) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    if (read_timeout_once(file) != 0 || place(file, offset) != 0) return -1;
    int32_t plain = 0, packed = 0;
    const int32_t status = cli_read_imp(conn, file->fd, buf, static_cast<int32_t>(len), &plain, &packed, 1,
                                        request_offset(file, offset));
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) return -1;
    // The server's position moved by the plain length: the handle follows,
    // so that a later restart seeks to where the server was.
    file->pos += static_cast<uint64_t>(plain);
    if (zlen) *zlen = packed;
    return plain;
}

int64_t kxsd_cli_write(kxsd_file_ctx* file, const void* buf, int64_t len, int64_t offset) {
    if (!kxsd_file_ok(file) || bad_len(len, buf)) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    write_timeout_once(file);
    if (place(file, offset) != 0) return -1;
    const auto* in = static_cast<const uint8_t*>(buf);
    int64_t total = 0;
    while (total < len) {
        const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(len - total, conn->block_size));
        int32_t wrote = 0;
        const int32_t status =
            cli_write_imp(conn, file->fd, in + total, chunk, &wrote, 0, 0, request_offset(file, offset));
        kxsd_cli_set_last_error(conn, status);
        if (status != KXSD_CLI_OK) return -1;
        total += wrote;
        file->pos += static_cast<uint64_t>(wrote);
        if (wrote < chunk) return short_write(conn, total, len);
    }
    return total;
}

int64_t kxsd_cli_writez(kxsd_file_ctx* file, const void* buf, int64_t len, int64_t zlen, int64_t offset) {
    if (!kxsd_file_ok(file) || bad_len(zlen, buf) || len < 0 || len > INT32_MAX || zlen > INT32_MAX) {
        return kxsd_file_bad(file);
    }
    kxsd_cli_ctx* conn = file->conn;
    write_timeout_once(file);
    if (place(file, offset) != 0) return -1;
    int32_t wrote = 0;
    const int32_t status = cli_write_imp(conn, file->fd, buf, static_cast<int32_t>(len), &wrote,
                                         static_cast<int32_t>(zlen), 1, request_offset(file, offset));
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) return -1;
    file->pos += static_cast<uint64_t>(wrote);
    if (wrote < len) return short_write(conn, wrote, len);
    return wrote;
}
