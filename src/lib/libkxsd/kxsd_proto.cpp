// Framing: header, request write, reply read, required fields, error record.
#include "libkxsd/kxsd_proto.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "libkxsd/kxsd_conn.h"
#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr const char* kStatusText[] = {
    "ok",           "net error",       "net data error",    "timeout error",  "kxsd srv error",
    "memory error", "user stop error", "unpack data error", "data len error",
};

}  // namespace

void kxsd_head_put(uint8_t out[KXSD_HEAD_LEN], const kxsd_msg_head* head) {
    out[0] = head->magic[0];
    out[1] = head->magic[1];
    out[2] = head->proto;
    out[3] = head->cmd;
    be_put32(out + 4, head->root_word);
}

void kxsd_head_get(const uint8_t in[KXSD_HEAD_LEN], kxsd_msg_head* head) {
    head->magic[0] = in[0];
    head->magic[1] = in[1];
    head->proto = in[2];
    head->cmd = in[3];
    head->root_word = be_get32(in + 4);
}

const char* cli_status_str(int32_t status) {
    if (status < 0 || status >= static_cast<int32_t>(std::size(kStatusText))) return "unkown error";
    return kStatusText[status];
}

// A TCP channel whose socket was dropped (or never opened) carries
// nothing: the request fails as a lost connection.
static bool link_up(kxsd_cli_ctx* conn) {
    if ((conn->chan.kind != NET_CHAN_TCP && conn->chan.kind != NET_CHAN_TCP1) || conn->chan.handle) return true;
    conn->net_errno = ENOTCONN;
    return false;
}

int32_t kxsd_send_request(kxsd_cli_ctx* conn, uint8_t cmd, const void* body, int32_t len) {
    if (conn->fix_failed) return KXSD_CLI_TIMEOUT;
    if (!conn->fixing) {
        conn->cmd_send_count++;
        conn->last_cmd = cmd;
        if (conn->send_mode == 2) return KXSD_CLI_OK;
    }
    if (len < 4 || !body) {
        // Nothing to send: reading a reply now would only wait out the deadline.
        LOG2(LOG2_DBG, "sdcli", "reqest need len >= 4 [len=%d]\n", len);
        return KXSD_CLI_MEM_ERR;
    }
    if (!link_up(conn)) return KXSD_CLI_NET_ERR;
    const auto* b = static_cast<const uint8_t*>(body);
    uint8_t head[KXSD_HEAD_LEN];
    const kxsd_msg_head h{{'K', 'X'}, KXSD_PROTO_REQ, cmd, be_get32(b)};
    kxsd_head_put(head, &h);
    if (net_write(&conn->chan, head, KXSD_HEAD_LEN) != KXSD_HEAD_LEN) {
        LOG2(LOG2_DBG, "sdcli", "net_write head len=%d error\n", KXSD_HEAD_LEN);
        return KXSD_CLI_OK;
    }
    if (net_write(&conn->chan, b + 4, static_cast<uint32_t>(len - 4)) != len - 4) {
        LOG2(LOG2_DBG, "sdcli", "net_write data len=%d error\n", len - 4);
    }
    return KXSD_CLI_OK;
}

int32_t client_recv_response_imp(kxsd_cli_ctx* conn, int32_t* len) {
    conn->net_errno = 0;
    if (!conn->fixing && conn->send_mode != 0) return KXSD_CLI_NET_ERR;

    if (!link_up(conn)) return KXSD_CLI_NET_ERR;
    uint8_t raw_head[KXSD_HEAD_LEN];
    // errno is kept only when it comes from this read.
    errno = 0;
    const int32_t got = net_read(&conn->chan, raw_head, KXSD_HEAD_LEN);
    if (got < 0) {
        conn->net_errno = errno;
        return KXSD_CLI_NET_ERR;
    }
    if (got == 0) return KXSD_CLI_TIMEOUT;
    if (got != KXSD_HEAD_LEN) {
        LOG2(LOG2_DBG, "sdcli", "net_read head len=%d need=%d\n", got, KXSD_HEAD_LEN);
        return KXSD_CLI_DATA_LEN_ERR;
    }
    kxsd_msg_head head;
    kxsd_head_get(raw_head, &head);
    if (head.magic[0] != 'K' || head.magic[1] != 'X') {
        LOG2(LOG2_DBG, "sdcli", "magic error %02x %02x\n", head.magic[0], head.magic[1]);
        return KXSD_CLI_DATA_ERR;
    }
    // The root word counts itself: a length below 4 would make the body
    // read negative.
    const int32_t raw = static_cast<int32_t>(head.root_word & MSG_ATTR_LEN_MASK);
    if (raw < 4) {
        LOG2(LOG2_DBG, "sdcli", "reply root len=%d < 4\n", raw);
        return KXSD_CLI_DATA_ERR;
    }
    const int32_t padded = msg_pad_len(raw);  // at most 0x1000000: the 24-bit length bounds every allocation
    if (conn->reply_cap < padded + 4) {
        auto* p = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(padded) + 4));
        if (!p) {
            LOG2(LOG2_ERR, "sdcli", "malloc [%d] erorr\n", padded);
            pl_free(conn->reply);
            conn->reply = nullptr;
            conn->reply_cap = 0;
            return KXSD_CLI_MEM_ERR;
        }
        pl_free(conn->reply);
        conn->reply = p;
        conn->reply_cap = padded + 4;
    }
    if (padded > 4) {
        const int32_t need = padded - 4;
        errno = 0;
        const int32_t n = net_read(&conn->chan, conn->reply + 4, static_cast<uint32_t>(need));
        if (n < 0) {
            conn->net_errno = errno;
            return KXSD_CLI_NET_ERR;
        }
        if (n != need) {
            LOG2(LOG2_DBG, "sdcli", "net_read len=%d need=%d\n", n, need);
            return KXSD_CLI_DATA_LEN_ERR;
        }
    }
    // Learnt from the first reply that arrived whole.
    if (conn->srv_proto == 0) conn->srv_proto = head.proto;
    be_put32(conn->reply, head.root_word);
    if (len) *len = padded;
    return KXSD_CLI_OK;
}

int32_t client_recv_response(kxsd_cli_ctx* conn, int32_t* len) {
    if (conn->fix_failed) {
        LOG2(LOG2_DBG, "sdcli", "have_fix_error_fail return\n");
        return KXSD_CLI_TIMEOUT;
    }
    const int32_t status = client_recv_response_imp(conn, len);
    if (status == KXSD_CLI_OK || status == KXSD_CLI_MEM_ERR) return status;
    LOG2(LOG2_DBG, "sdcli", "ret=%d error:[%s]\n", status, cli_status_str(status));
    if (!conn->resume_enabled || conn->fixing) {
        if (!conn->resume_enabled) {
            LOG2(LOG2_DBG, "sdcli", "!net_error_reconnect return\n");
        } else {
            LOG2(LOG2_DBG, "sdcli", "now_fix_last_error return\n");
        }
        // A request that was only counted leaves nothing to read; after any
        // other failure the stream is out of step with the requests, and
        // nothing more is read from it.
        if (conn->fixing || conn->send_mode != KXSD_SEND_COUNT_ONLY) kxsd_cli_drop_link(conn);
        return status;
    }
    LOG2(LOG2_DBG, "sdcli", "start fix..\n");
    return client_fix_last_error(conn, len);
}

int cli_blobmsg_parse(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len) {
    if (rows < 2 || !out) return -1;
    blobmsg_parse(policy, rows, out, data, len);
    for (int i = 0; i < 2; i++) {
        if (!out[i]) {
            LOG2(LOG2_DBG, "sdcli", "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    if (blobmsg_get_i32(out[0]) != 0) return 0;
    for (int i = 2; i < rows; i++) {
        if (!out[i]) {
            LOG2(LOG2_ERR, "sdcli", "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    return 0;
}

const uint8_t* kxsd_reply_data(const kxsd_cli_ctx* conn) { return conn->reply ? conn->reply + 4 : nullptr; }

int32_t kxsd_reply_data_len(const kxsd_cli_ctx* conn) {
    return conn->reply ? msg_attr_raw_len(reinterpret_cast<const msg_attr*>(conn->reply)) - 4 : 0;
}

int32_t kxsd_cli_call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy* policy, int rows,
                      const msg_attr** out) {
    int32_t status = kxsd_send_request(conn, cmd, conn->req.buf, msg_buf_len(&conn->req));
    if (status != KXSD_CLI_OK) return status;
    int32_t len = 0;
    status = client_recv_response(conn, &len);
    if (status != KXSD_CLI_OK) return status;
    if (cli_blobmsg_parse(policy, rows, out, kxsd_reply_data(conn), kxsd_reply_data_len(conn)) != 0) {
        return KXSD_CLI_DATA_ERR;
    }
    return kxsd_reply_verdict(conn, out);
}

int32_t kxsd_reply_verdict(kxsd_cli_ctx* conn, const msg_attr* const* out) {
    const int32_t eno = blobmsg_get_i32(out[0]);
    if (eno != 0) {
        conn->srv_errno = eno;
        str_safecopy_trunc(conn->errno_str, sizeof conn->errno_str, blobmsg_get_string(out[1]));
        return KXSD_CLI_SRV_ERR;
    }
    conn->srv_errno = 0;
    return KXSD_CLI_OK;
}

void kxsd_cli_set_last_error(kxsd_cli_ctx* conn, int32_t status) {
    verr_info* err = conn->err;
    if (!err) return;
    switch (status) {
        case KXSD_CLI_OK: VERR_SET(err, 0, "%s", ""); break;
        case KXSD_CLI_NET_ERR:
            // The errno saved when the read failed, not whatever errno holds now.
            if (conn->net_errno != 0) {
                VERR_SET(err, os_verr_get(conn->net_errno), "%s", os_errno_str(conn->net_errno));
            } else {
                VERR_SET(err, VERR_NET_IO_ERROR, "read data net error");
            }
            break;
        case KXSD_CLI_DATA_ERR: VERR_SET(err, -466, "read data content error"); break;
        case KXSD_CLI_TIMEOUT:
        case KXSD_CLI_DATA_LEN_ERR: VERR_SET(err, VERR_TIMEOUT, "read data timeout"); break;
        case KXSD_CLI_SRV_ERR: VERR_SET(err, conn->srv_errno, "%s", conn->errno_str); break;
        case KXSD_CLI_MEM_ERR: VERR_SET(err, VERR_NO_MEMORY, "memory allocation failed"); break;
        default: VERR_SET(err, VERR_GENERAL_FAILURE, "unkown error=%d", status); break;
    }
}
