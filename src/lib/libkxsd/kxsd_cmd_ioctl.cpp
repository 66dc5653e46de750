// The two generic control commands: 20 (per-file control codes, the pack
// switch among them) and 8 (server services with an answer).
#include <cstring>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"
#include "liblog/log2.h"
#include "libpack/pack.h"

using namespace kxsd_cmd;

namespace {

constexpr blobmsg_policy k_ioctl2[] = {k_errno, k_errno_str, {"data", BLOBMSG_TYPE_BINARY}};

// The data length to send: KXSD_DATA_TEXT takes the text with its NUL; no
// data sends nothing. -1 for a length that cannot be sent.
int32_t data_len(const void* data, int32_t dlen) {
    if (!data) return 0;
    if (dlen == KXSD_DATA_TEXT) {
        const size_t n = std::strlen(static_cast<const char*>(data)) + 1;
        return n < static_cast<size_t>(MSG_ATTR_MAX_LEN) ? static_cast<int32_t>(n) : -1;
    }
    return dlen;
}

// Takes the accepted pack method name into the connection and opens its
// pack context by it. 0, or the negative result of the open.
int pack_switched(kxsd_cli_ctx* conn, const void* data, int32_t len) {
    const auto* text = static_cast<const char*>(data);
    const size_t n = text ? strnlen(text, static_cast<size_t>(len)) : 0;
    char name[sizeof conn->pack.name] = {};
    if (n) std::memcpy(name, text, n < sizeof name ? n : sizeof name - 1);
    if (std::strcmp(conn->pack.name, name) != 0) std::memcpy(conn->pack.name, name, sizeof name);
    const int ret = zcomp_open_ex(&conn->pack);
    if (ret < 0) LOG2(LOG2_DBG, "sdcli", "cli_ioctl_imp ret=%d\n", ret);
    return ret;
}

// The common part of both ioctl2 forms: the answer's bytes and count, or
// none for code 105 (no reply). Status.
int32_t ioctl2_call(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen, int32_t olen,
                    const uint8_t** ans, int32_t* ans_len) {
    *ans = nullptr;
    *ans_len = 0;
    const int32_t n = data_len(data, dlen);
    if (n < 0) return KXSD_CLI_MEM_ERR;
    req r(conn);
    r.i64("fd", fd).i32("cmd", code).bin("data", data, n).i32("olen", olen);
    if (!r.ok) return KXSD_CLI_MEM_ERR;
    if (code == KXSD_IOCTL2_ATTACH_CTX_REPLY) {
        // The server answers by re-delivering the reply of the lost request.
        return kxsd_send_request(conn, KXSD_CMD_IOCTL2, conn->req.buf, msg_buf_len(&conn->req));
    }
    // The resume procedure must not run inside its own control requests.
    const bool hold = code >= 100 && code <= 110;
    const uint8_t resume = conn->resume_enabled;
    if (hold) conn->resume_enabled = 0;
    const msg_attr* out[3];
    const int32_t status = call(conn, KXSD_CMD_IOCTL2, k_ioctl2, out);
    if (hold) conn->resume_enabled = resume;
    if (status != KXSD_CLI_OK) return status;
    *ans = bin_data(out[2]);
    *ans_len = bin_len(out[2]);
    return KXSD_CLI_OK;
}

}  // namespace

int32_t cli_file_ioctl(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen) {
    const int32_t n = data_len(data, dlen);
    if (n < 0) return KXSD_CLI_MEM_ERR;
    const msg_attr* out[2];
    const int32_t status =
        call(req(conn).i64("fd", fd).i32("cmd", code).i32("len", n).bin("data", data, n), conn, KXSD_CMD_FILE_IOCTL,
             k_reply_none, out);
    if (status != KXSD_CLI_OK || code != KXSD_IOCTL_PACK) return status;
    const int ret = pack_switched(conn, data, n);
    return ret < 0 ? ret : KXSD_CLI_OK;
}

int32_t cli_ioctl2(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen, void* ans,
                   int32_t ans_size, int32_t* ans_len) {
    if (ans_size < 0 || (ans_size > 0 && !ans)) return KXSD_CLI_MEM_ERR;
    const uint8_t* got = nullptr;
    int32_t got_len = 0;
    const int32_t status = ioctl2_call(conn, fd, code, data, dlen, ans_size, &got, &got_len);
    if (status != KXSD_CLI_OK) return status;
    const int32_t n = got_len < ans_size ? got_len : ans_size;
    if (n > 0) std::memcpy(ans, got, static_cast<size_t>(n));
    // Room left: a NUL after the answer, so that a text answer is a text.
    if (n < ans_size) static_cast<uint8_t*>(ans)[n] = 0;
    if (ans_len) *ans_len = n;
    return KXSD_CLI_OK;
}

int32_t cli_ioctl2_text(kxsd_cli_ctx* conn, int64_t fd, int32_t code, const void* data, int32_t dlen, char* ans,
                        int32_t ans_size, int32_t* ans_len) {
    if (ans_size < 0 || (ans_size > 0 && !ans)) return KXSD_CLI_MEM_ERR;
    const uint8_t* got = nullptr;
    int32_t got_len = 0;
    const int32_t status = ioctl2_call(conn, fd, code, data, dlen, ans_size, &got, &got_len);
    if (status != KXSD_CLI_OK) return status;
    int32_t n = 0;
    if (ans_size > 0) {
        n = got_len < ans_size - 1 ? got_len : ans_size - 1;
        if (n > 0) std::memcpy(ans, got, static_cast<size_t>(n));
        ans[n] = 0;
    }
    if (ans_len) *ans_len = n;
    return KXSD_CLI_OK;
}
