// Login commands (1, 90, 91), the logout (2) and the server's information
// texts (3, 4, 5).
#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"
#include "liblog/log2.h"
#include "libpal/string/str_safe.h"

using namespace kxsd_cmd;

namespace {

constexpr blobmsg_policy k_init1[] = {k_errno, k_errno_str, {"os_type", BLOBMSG_TYPE_INT32}};
constexpr blobmsg_policy k_init2[] = {k_errno, k_errno_str, {"ver", BLOBMSG_TYPE_INT32}, {"cert", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_lsblk[] = {k_errno, k_errno_str, {"lsblk", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_info[] = {k_errno, k_errno_str, {"info", BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy k_volume[] = {k_errno,
                                       k_errno_str,
                                       {"flags", BLOBMSG_TYPE_INT32},
                                       {"name_len", BLOBMSG_TYPE_INT32},
                                       {"avail_bytes", BLOBMSG_TYPE_INT64},
                                       {"free_bytes", BLOBMSG_TYPE_INT64},
                                       {"total_bytes", BLOBMSG_TYPE_INT64},
                                       {"fs_name", BLOBMSG_TYPE_STRING},
                                       {"vol_name", BLOBMSG_TYPE_STRING}};

#define SDCLI_LOG(level, func, ...) log2_printf(nullptr, (level), "sdcli", __FILE__, __LINE__, (func), __VA_ARGS__)

// The common procedure with the step lines of the login commands, logged
// under the command's own name.
template <size_t N>
int32_t login_call(const req& r, kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy (&policy)[N],
                   const msg_attr* (&out)[N], const char* func) {
    int at = STEP_SEND;
    int32_t len = 0;
    int32_t status = KXSD_CLI_MEM_ERR;
    if (r.ok) status = call(conn, cmd, policy, static_cast<int>(N), out, &at, &len);
    SDCLI_LOG(LOG2_VERB, func, "client_send_reqest ret=%d\n", at == STEP_SEND ? status : 0);
    if (at == STEP_SEND) return status;
    if (at == STEP_RECV) {
        SDCLI_LOG(LOG2_DBG, func, "client_recv_response ret=%d error: %s\n", status, cli_status_str(status));
        return status;
    }
    SDCLI_LOG(LOG2_VERB, func, "client_recv_response len=%d\n", len);
    SDCLI_LOG(LOG2_VERB, func, "blobmsg_parse ret=%d\n", at == STEP_PARSE ? -1 : 0);
    return status;
}

// A text command of an empty "param": the answer cut into buf.
int32_t text_call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy (&policy)[3], char* buf, size_t size,
                  const char* func) {
    const msg_attr* out[3];
    int at = STEP_SEND;
    const int32_t status = call(req(conn).str("param", ""), conn, cmd, policy, out, &at);
    if (cmd == KXSD_CMD_LSBLK) SDCLI_LOG(LOG2_VERB, func, "client_send_reqest ret=%d\n", at == STEP_SEND ? status : 0);
    if (at == STEP_RECV) SDCLI_LOG(LOG2_DBG, func, "client_recv_response ret=%d\n", status);
    if (status != KXSD_CLI_OK) return status;
    if (buf && size) str_safecopy_trunc(buf, size, blobmsg_get_string(out[2]));
    return KXSD_CLI_OK;
}

}  // namespace

int32_t cli_init1(kxsd_cli_ctx* conn, const char* user, const char* passwd) {
    const msg_attr* out[3];
    const int32_t status =
        login_call(req(conn).str("user", user).str("passwd", passwd), conn, KXSD_CMD_LOGIN, k_init1, out, __func__);
    // Kept also from an error reply: a refused login still tells the server's kind.
    if ((status == KXSD_CLI_OK || status == KXSD_CLI_SRV_ERR) && out[2]) conn->os_type = blobmsg_get_i32(out[2]);
    return status;
}

int32_t cli_init2(kxsd_cli_ctx* conn, const char* user, int32_t* ver, char* cert, size_t cert_size) {
    const msg_attr* out[4];
    const int32_t status =
        login_call(req(conn).str("user", user).i32("ver", 1), conn, KXSD_CMD_LOGIN2, k_init2, out, __func__);
    if (status != KXSD_CLI_OK) return status;
    if (ver) *ver = blobmsg_get_i32(out[2]);
    if (cert && cert_size) str_safecopy_trunc(cert, cert_size, blobmsg_get_string(out[3]));
    return KXSD_CLI_OK;
}

int32_t cli_init3(kxsd_cli_ctx* conn, const char* lkey) {
    const msg_attr* out[2];
    return login_call(req(conn).str("lkey", lkey), conn, KXSD_CMD_LOGIN3, k_reply_none, out, __func__);
}

int32_t cli_logout(kxsd_cli_ctx* conn) {
    const req r(conn);
    if (!r.ok) return KXSD_CLI_MEM_ERR;
    return kxsd_send_request(conn, KXSD_CMD_LOGOUT, conn->req.buf, msg_buf_len(&conn->req));
}

int32_t cli_lsblk(kxsd_cli_ctx* conn, char* buf, size_t size) {
    return text_call(conn, KXSD_CMD_LSBLK, k_lsblk, buf, size, __func__);
}

int32_t cli_info(kxsd_cli_ctx* conn, char* buf, size_t size) {
    return text_call(conn, KXSD_CMD_INFO, k_info, buf, size, __func__);
}

int32_t cli_volume_info(kxsd_cli_ctx* conn, const char* path, kxsd_volume_info* info) {
    const msg_attr* out[9];
    const int32_t status = call(req(conn).str("path", path), conn, KXSD_CMD_VOLUME_INFO, k_volume, out);
    if (status != KXSD_CLI_OK || !info) return status;
    info->flags = static_cast<uint32_t>(blobmsg_get_i32(out[2]));
    info->name_len = static_cast<uint32_t>(blobmsg_get_i32(out[3]));
    info->avail_bytes = static_cast<uint64_t>(blobmsg_get_i64(out[4]));
    info->free_bytes = static_cast<uint64_t>(blobmsg_get_i64(out[5]));
    info->total_bytes = static_cast<uint64_t>(blobmsg_get_i64(out[6]));
    str_safecopy_trunc(info->fs_name, sizeof info->fs_name, blobmsg_get_string(out[7]));
    str_safecopy_trunc(info->vol_name, sizeof info->vol_name, blobmsg_get_string(out[8]));
    return KXSD_CLI_OK;
}
