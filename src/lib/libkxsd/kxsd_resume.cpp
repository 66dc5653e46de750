// Resuming a request after a lost connection: the server keeps a context
// for the connection (switched on by kxsd_cli_enable_resume) that a new
// connection can take over. The client finds out whether the server got
// the last request and has it either re-deliver the reply or take the
// request again. Also the send modes that withhold replies.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

namespace {

// A decimal answer of the server; false when it is not one.
bool answer_u64(const char* text, uint64_t* out) {
    if (!text || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || (*end != 0 && *end != '\n' && *end != '\r')) return false;
    *out = v;
    return true;
}

// A control request of the resume procedure about the context: its id as
// "%llu" (or the text given), the answer as a text.
int32_t ctx_request(kxsd_cli_ctx* conn, int32_t code, const char* text, char* ans, int32_t ans_size) {
    char id[32];
    if (!text) {
        std::snprintf(id, sizeof id, "%llu", static_cast<unsigned long long>(conn->srv_ctx_id));
        text = id;
    }
    if (ans) return cli_ioctl2_text(conn, 0, code, text, KXSD_DATA_TEXT, ans, ans_size, nullptr);
    return cli_ioctl2(conn, 0, code, text, KXSD_DATA_TEXT, nullptr, 0, nullptr);
}

// Reconnects up to 3 times while the failure is a time-out. 0 or -1.
int reconnect(kxsd_cli_ctx* conn) {
    verr_info local{};
    verr_info* const keep = conn->err;
    if (!keep) conn->err = &local;
    int rc = -1;
    for (int i = 0; i < 3; i++) {
        rc = kxsd_cli_reconnect(conn);
        if (rc == 0) break;
        LOG2(LOG2_DBG, "sdcli", "kxsd_cli_reconnect eno=%d erorr: %s\n", conn->err->code, verr_msg(conn->err));
        if (conn->err->code != VERR_TIMEOUT) break;
    }
    conn->err = keep;
    if (rc == 0) LOG2(LOG2_DBG, "sdcli", "kxsd_cli_reconnect ok\n");
    return rc;
}

}  // namespace

int32_t client_fix_last_error_imp(kxsd_cli_ctx* conn, const void* body, int32_t body_len, uint8_t cmd,
                                  int32_t* len) {
    if (reconnect(conn) != 0) return KXSD_CLI_NET_ERR;
    const char* addr = conn->host ? conn->host : "";

    char ans[4096];
    int32_t status = ctx_request(conn, KXSD_IOCTL2_CTX_REQ_STOP, nullptr, nullptr, 0);
    if (status != KXSD_CLI_OK) {
        LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_CTX_REQ_STOP addr=%s ret=%d error:%s\n", addr, status,
             cli_status_str(status));
        return status;
    }
    // The context's worker gets a moment to stop.
    os_sleep(1);

    status = ctx_request(conn, KXSD_IOCTL2_CTX_RUN_STATUS, nullptr, ans, sizeof ans);
    if (status != KXSD_CLI_OK) {
        LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_CTX_RUN_STATUS addr=%s ret=%d failed\n", addr, status);
        return status;
    }
    LOG2(LOG2_DBG, "sdcli", "run status=[%s]\n", ans);
    if (std::strtol(ans, nullptr, 10) == 1) {
        LOG2(LOG2_DBG, "sdcli", "ctx thread now is runing\n");
        return KXSD_CLI_NET_ERR;
    }

    status = ctx_request(conn, KXSD_IOCTL2_GET_LAST_CMD_IDX, nullptr, ans, sizeof ans);
    if (status != KXSD_CLI_OK) {
        LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_GET_LAST_CMD_IDX addr=%s ret=%d failed\n", addr, status);
        return status;
    }
    uint64_t srv_idx = 0;
    const bool known = answer_u64(ans, &srv_idx);
    if (known && srv_idx == conn->cmd_send_count) {
        // The server has the request; only its reply was lost.
        LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_ATTACH_CTX_REPLY\n");
        status = ctx_request(conn, KXSD_IOCTL2_ATTACH_CTX_REPLY, nullptr, nullptr, 0);
        if (status != KXSD_CLI_OK) {
            LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_ATTACH_CTX_REPLY addr=%s ret=%d failed\n", addr, status);
            return status;
        }
        return client_recv_response_imp(conn, len);
    }
    if (known && conn->cmd_send_count == srv_idx + 1) {
        // The request itself was lost: send it again.
        LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_ATTACH_CTX\n");
        status = ctx_request(conn, KXSD_IOCTL2_ATTACH_CTX, nullptr, nullptr, 0);
        if (status != KXSD_CLI_OK) {
            LOG2(LOG2_DBG, "sdcli", "KXSD_IOCTL2_ATTACH_CTX addr=%s ret=%d failed\n", addr, status);
            return status;
        }
        status = kxsd_send_request(conn, cmd, body, body_len);
        if (status != KXSD_CLI_OK) return status;
        return client_recv_response_imp(conn, len);
    }
    LOG2(LOG2_ERR, "sdcli", "cmd_send_count=%llu srv_last_idx=%llu [%s]\n",
         static_cast<unsigned long long>(conn->cmd_send_count), static_cast<unsigned long long>(srv_idx), ans);
    return KXSD_CLI_NET_ERR;
}

namespace {

// The end of a failed resume: the connection cannot be trusted any more.
int32_t fix_failed(kxsd_cli_ctx* conn, int32_t status) {
    LOG2(LOG2_DBG, "sdcli", "ret=%d fix failed need reopen...\n", status);
    conn->fix_failed = 1;
    kxsd_cli_drop_link(conn);
    return KXSD_CLI_TIMEOUT;
}

}  // namespace

int32_t client_fix_last_error(kxsd_cli_ctx* conn, int32_t* len) {
    LOG2(LOG2_DBG, "sdcli", "==>\n");
    // The control requests of the procedure reuse the request buffer: the
    // lost request is kept aside.
    const int32_t body_len = msg_buf_len(&conn->req);
    std::unique_ptr<uint8_t, pl_mem_deleter> body(static_cast<uint8_t*>(pl_malloc(body_len > 0 ? body_len : 1)));
    if (!body) return fix_failed(conn, KXSD_CLI_MEM_ERR);
    if (body_len > 0) std::memcpy(body.get(), conn->req.buf, static_cast<size_t>(body_len));
    const auto cmd = static_cast<uint8_t>(conn->last_cmd);

    conn->fixing = 1;
    int32_t got = 0;
    int32_t status = client_fix_last_error_imp(conn, body.get(), body_len, cmd, &got);
    conn->fixing = 0;
    body.reset();
    if (status != KXSD_CLI_OK) return fix_failed(conn, status);

    conn->send_mode = 0;
    // The reply is the answer to the caller's request; the count request
    // below reads its own reply into the same buffer.
    const int32_t reply_len = msg_attr_pad_len(reinterpret_cast<const msg_attr*>(conn->reply));
    std::unique_ptr<uint8_t, pl_mem_deleter> reply(static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(reply_len))));
    if (!reply) return fix_failed(conn, KXSD_CLI_MEM_ERR);
    std::memcpy(reply.get(), conn->reply, static_cast<size_t>(reply_len));

    // The server starts counting again from here.
    char ans[64];
    status = ctx_request(conn, KXSD_IOCTL2_GET_LAST_CMD_IDX, "0", ans, sizeof ans);
    uint64_t srv_idx = 0;
    if (status == KXSD_CLI_OK && !answer_u64(ans, &srv_idx)) status = KXSD_CLI_DATA_ERR;
    if (status != KXSD_CLI_OK) {
        LOG2(LOG2_ERR, "sdcli", "KXSD_IOCTL2_GET_LAST_CMD_IDX addr=[%s] ret=%d failed\n", conn->host ? conn->host : "",
             status);
        return fix_failed(conn, status);
    }
    conn->cmd_send_count = srv_idx + 1;
    // The buffer only grows: it still holds the kept reply.
    std::memcpy(conn->reply, reply.get(), static_cast<size_t>(reply_len));
    if (len) *len = reply_len;
    LOG2(LOG2_DBG, "sdcli", "last_cmd_len=%d cmd_send_count=%llu fix ok\n", reply_len,
         static_cast<unsigned long long>(conn->cmd_send_count));
    return KXSD_CLI_OK;
}

int kxsd_cli_enable_resume(kxsd_cli_ctx* conn) {
    if (!conn) return -1;
    int32_t status = ctx_request(conn, KXSD_IOCTL2_CTX_OPEN, "0", nullptr, 0);
    if (status == KXSD_CLI_OK) {
        char ans[64];
        status = cli_ioctl2_text(conn, 0, KXSD_IOCTL2_CTX_ID, nullptr, 0, ans, sizeof ans, nullptr);
        uint64_t id = 0;
        if (status == KXSD_CLI_OK && !answer_u64(ans, &id)) status = KXSD_CLI_DATA_ERR;
        if (status == KXSD_CLI_OK) {
            conn->srv_ctx_id = id;
            conn->resume_enabled = 1;
        }
    }
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

int kxsd_cli_set_send_mode(kxsd_cli_ctx* conn, uint32_t mode) {
    if (!conn || mode > KXSD_SEND_COUNT_ONLY) return -1;
    conn->send_mode = mode;
    return 0;
}
