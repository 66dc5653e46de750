// Stat commands (6, 7, 21, 26, 28) and the file times (22, 27).
#include <iterator>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"

using namespace kxsd_cmd;

namespace {

// The long form; the short form is its first 10 rows.
constexpr blobmsg_policy k_stat[] = {k_errno,
                                     k_errno_str,
                                     {"type", BLOBMSG_TYPE_INT32},
                                     {"attrib_mode", BLOBMSG_TYPE_INT32},
                                     {"uid", BLOBMSG_TYPE_INT32},
                                     {"gid", BLOBMSG_TYPE_INT32},
                                     {"len", BLOBMSG_TYPE_INT64},
                                     {"time_access", BLOBMSG_TYPE_INT64},
                                     {"time_write", BLOBMSG_TYPE_INT64},
                                     {"time_create", BLOBMSG_TYPE_INT64},
                                     {"time_access_ns", BLOBMSG_TYPE_INT32},
                                     {"time_write_ns", BLOBMSG_TYPE_INT32},
                                     {"time_create_ns", BLOBMSG_TYPE_INT32},
                                     {"st_nlink", BLOBMSG_TYPE_INT64},
                                     {"st_dev", BLOBMSG_TYPE_INT64},
                                     {"st_rdev", BLOBMSG_TYPE_INT64},
                                     {"st_ino", BLOBMSG_TYPE_INT64},
                                     {"st_blksize", BLOBMSG_TYPE_INT64},
                                     {"st_blocks", BLOBMSG_TYPE_INT64}};
constexpr int k_stat_short_rows = 10;
constexpr int k_stat_long_rows = 19;
static_assert(std::size(k_stat) == k_stat_long_rows);

uint32_t u32(const msg_attr* a) { return static_cast<uint32_t>(blobmsg_get_i32(a)); }
uint64_t u64(const msg_attr* a) { return static_cast<uint64_t>(blobmsg_get_i64(a)); }

// Sends the body of r as cmd and fills attr from the reply, in the long
// form when long_form is set.
int32_t stat_call(const req& r, kxsd_cli_ctx* conn, uint8_t cmd, bool long_form, os_file_attr* attr) {
    if (!r.ok) return KXSD_CLI_MEM_ERR;
    const msg_attr* out[k_stat_long_rows];
    const int rows = long_form ? k_stat_long_rows : k_stat_short_rows;
    const int32_t status = call(conn, cmd, k_stat, rows, out);
    if (status != KXSD_CLI_OK || !attr) return status;
    attr->type = u32(out[2]);
    attr->mode = u32(out[3]);
    attr->uid = u32(out[4]);
    attr->gid = u32(out[5]);
    attr->size = u64(out[6]);
    attr->atime = {u64(out[7]), long_form ? u32(out[10]) : 0};
    attr->mtime = {u64(out[8]), long_form ? u32(out[11]) : 0};
    attr->ctime = {u64(out[9]), long_form ? u32(out[12]) : 0};
    if (long_form) {
        attr->nlink = u64(out[13]);
        attr->dev = u64(out[14]);
        attr->rdev = u64(out[15]);
        attr->ino = u64(out[16]);
        attr->blksize = u64(out[17]);
        attr->blocks = u64(out[18]);
    }
    return KXSD_CLI_OK;
}

}  // namespace

int32_t cli_stat(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr) {
    const bool long_form = conn->long_stat != 0;
    return stat_call(req(conn).str("path", path), conn, long_form ? KXSD_CMD_STAT_LONG : KXSD_CMD_STAT, long_form,
                     attr);
}

int32_t cli_stat2(kxsd_cli_ctx* conn, const char* path, os_file_attr* attr) {
    return stat_call(req(conn).str("path", path), conn, KXSD_CMD_STAT2, conn->long_stat != 0, attr);
}

int32_t cli_fstat(kxsd_cli_ctx* conn, int64_t fd, os_file_attr* attr) {
    const bool long_form = conn->long_stat != 0;
    return stat_call(req(conn).i64("fd", fd), conn, long_form ? KXSD_CMD_FSTAT_LONG : KXSD_CMD_FSTAT, long_form,
                     attr);
}

int32_t cli_set_times(kxsd_cli_ctx* conn, int64_t fd, const os_file_times* times) {
    if (!times) return KXSD_CLI_MEM_ERR;
    req r(conn);
    r.i64("fd", fd)
        .i64("time_access", static_cast<int64_t>(times->atime.sec))
        .i64("time_write", static_cast<int64_t>(times->mtime.sec))
        .i64("time_create", static_cast<int64_t>(times->third.sec));
    uint8_t cmd = KXSD_CMD_SET_TIMES;
    if (conn->long_stat) {
        cmd = KXSD_CMD_SET_TIMES_LONG;
        r.i32("time_access_ns", static_cast<int32_t>(times->atime.nsec))
            .i32("time_write_ns", static_cast<int32_t>(times->mtime.nsec))
            .i32("time_create_ns", static_cast<int32_t>(times->third.nsec));
    }
    const msg_attr* out[2];
    return call(r, conn, cmd, k_reply_none, out);
}
