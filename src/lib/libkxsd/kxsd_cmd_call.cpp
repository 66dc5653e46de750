// The common request procedure of the command catalogue.
#include "libkxsd/kxsd_cmd_priv.h"

namespace kxsd_cmd {

int32_t call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy* policy, int rows, const msg_attr** out, int* at,
             int32_t* reply_len) {
    int dummy = 0;
    int& step = at ? *at : dummy;
    step = STEP_SEND;
    int32_t status = kxsd_send_request(conn, cmd, conn->req.buf, msg_buf_len(&conn->req));
    if (status != KXSD_CLI_OK) return status;
    step = STEP_RECV;
    int32_t len = 0;
    status = client_recv_response(conn, &len);
    if (reply_len) *reply_len = len;
    if (status != KXSD_CLI_OK) return status;
    step = STEP_PARSE;
    if (cli_blobmsg_parse(policy, rows, out, kxsd_reply_data(conn), kxsd_reply_data_len(conn)) != 0) {
        return KXSD_CLI_DATA_ERR;
    }
    step = STEP_REPLY;
    return kxsd_reply_verdict(conn, out);
}

}  // namespace kxsd_cmd
