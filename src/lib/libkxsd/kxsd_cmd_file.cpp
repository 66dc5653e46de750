// File commands: open (10, 24, 25), close, sync, seek, truncate, file
// information and lock.
#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"
#include "liblog/log2.h"
#include "libpal/string/str_safe.h"

using namespace kxsd_cmd;

namespace {

constexpr blobmsg_policy k_seek[] = {k_errno, k_errno_str, {"offset", BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy k_file_info[] = {k_errno,
                                          k_errno_str,
                                          {"type", BLOBMSG_TYPE_INT32},
                                          {"len", BLOBMSG_TYPE_INT64},
                                          {"offset", BLOBMSG_TYPE_INT64},
                                          {"sector_bytes", BLOBMSG_TYPE_INT32},
                                          {"info", BLOBMSG_TYPE_STRING}};

// An open of any kind: the reply's fd into *fd.
int32_t open_call(const req& r, kxsd_cli_ctx* conn, uint8_t cmd, int64_t* fd) {
    const msg_attr* out[3];
    int at = STEP_SEND;
    const int32_t status = call(r, conn, cmd, k_reply_fd, out, &at);
    if (at == STEP_PARSE) LOG2(LOG2_ERR, "sdcli", "parse data error\n");
    if (status == KXSD_CLI_OK && fd) *fd = blobmsg_get_i64(out[2]);
    return status;
}

// A request of only the fd, with a reply of only errno and errno_str.
int32_t fd_call(kxsd_cli_ctx* conn, uint8_t cmd, int64_t fd) {
    const msg_attr* out[2];
    return call(req(conn).i64("fd", fd), conn, cmd, k_reply_none, out);
}

}  // namespace

int32_t cli_open(kxsd_cli_ctx* conn, const char* path, uint32_t flags, int64_t* fd) {
    LOG2(LOG2_VERB, "sdcli", "%s mode=%d\n", path ? path : "", static_cast<int>(flags));
    return open_call(req(conn).str("path", path).i64("mode", flags), conn, KXSD_CMD_OPEN, fd);
}

int32_t cli_open2(kxsd_cli_ctx* conn, const char* path, int32_t flag, int32_t mode, int64_t* fd) {
    return open_call(req(conn).str("path", path).i32("flag", flag).i32("mode", mode), conn, KXSD_CMD_OPEN2, fd);
}

int32_t cli_wopen(kxsd_cli_ctx* conn, const char* path, int32_t desire_access, int32_t share_mode,
                  int32_t creat_disp, int32_t flag_attrib, int64_t temp_handle, int64_t* fd) {
    req r(conn);
    r.str("path", path)
        .i32("desire_access", desire_access)
        .i32("share_mode", share_mode)
        .str("sec_attrib", "")
        .i32("creat_disp", creat_disp)
        .i32("flag_attrib", flag_attrib)
        .i64("temp_handle", temp_handle);
    return open_call(r, conn, KXSD_CMD_WOPEN, fd);
}

int32_t cli_close(kxsd_cli_ctx* conn, int64_t fd) { return fd_call(conn, KXSD_CMD_CLOSE, fd); }

int32_t cli_sync(kxsd_cli_ctx* conn, int64_t fd) { return fd_call(conn, KXSD_CMD_SYNC, fd); }

int32_t cli_seek(kxsd_cli_ctx* conn, int64_t fd, int64_t offset, int64_t mode, int64_t* new_offset) {
    LOG2(LOG2_VERB, "sdcli", "offset=%llu mode=%d\n", static_cast<unsigned long long>(offset), static_cast<int>(mode));
    const msg_attr* out[3];
    const int32_t status = call(req(conn).i64("fd", fd).i64("offset", offset).i64("mode", mode), conn, KXSD_CMD_SEEK,
                                k_seek, out);
    if (status == KXSD_CLI_OK && new_offset) *new_offset = blobmsg_get_i64(out[2]);
    return status;
}

int32_t cli_truncate(kxsd_cli_ctx* conn, int64_t fd, int64_t len) {
    const msg_attr* out[2];
    return call(req(conn).i64("fd", fd).i64("len", len), conn, KXSD_CMD_TRUNCATE, k_reply_none, out);
}

int32_t cli_file_info(kxsd_cli_ctx* conn, int64_t fd, os_file_info* info) {
    const msg_attr* out[7];
    const int32_t status = call(req(conn).i64("fd", fd), conn, KXSD_CMD_FILE_INFO, k_file_info, out);
    if (status != KXSD_CLI_OK || !info) return status;
    info->type = static_cast<uint32_t>(blobmsg_get_i32(out[2]));
    info->size = static_cast<uint64_t>(blobmsg_get_i64(out[3]));
    info->offset = static_cast<uint64_t>(blobmsg_get_i64(out[4]));
    info->sector_size = static_cast<uint32_t>(blobmsg_get_i32(out[5]));
    str_safecopy_trunc(info->description, sizeof info->description, blobmsg_get_string(out[6]));
    return KXSD_CLI_OK;
}

int32_t cli_lock(kxsd_cli_ctx* conn, int64_t fd, const os_file_lock_req* lock) {
    if (!lock) return KXSD_CLI_MEM_ERR;
    const msg_attr* out[2];
    return call(req(conn)
                    .i64("fd", fd)
                    .i32("type", static_cast<int32_t>(lock->op))
                    .i64("offset", static_cast<int64_t>(lock->start))
                    .i64("len", static_cast<int64_t>(lock->length)),
                conn, KXSD_CMD_LOCK, k_reply_none, out);
}
