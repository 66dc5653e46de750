// Shared pieces of the request functions: the request builder, the reply
// policy rows and the common request procedure that tells the caller at
// which step it stopped, so that each command logs its own lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libkxsd/blobmsg.h"
#include "libkxsd/kxsd_cli_ctx.h"
#include "libkxsd/kxsd_proto.h"

namespace kxsd_cmd {

// Builds a request body in the connection's request buffer; every add
// after a failed one does nothing, and ok tells whether all succeeded.
struct req {
    msg_buf* b;
    bool ok;
    explicit req(kxsd_cli_ctx* conn) : b(&conn->req), ok(msg_buf_init(&conn->req, BLOBMSG_TYPE_TABLE) == 0) {}
    req& str(const char* name, const char* text) {
        ok = ok && blobmsg_add_string(b, name, text ? text : "") == 0;
        return *this;
    }
    req& i32(const char* name, int32_t v) {
        ok = ok && blobmsg_add_i32(b, name, v) == 0;
        return *this;
    }
    req& i64(const char* name, int64_t v) {
        ok = ok && blobmsg_add_i64(b, name, v) == 0;
        return *this;
    }
    req& bin(const char* name, const void* data, int32_t len) {
        ok = ok && blobmsg_add_binary(b, name, data, len) == 0;
        return *this;
    }
};

// The first two rows of every reply policy.
inline constexpr blobmsg_policy k_errno = {"errno", BLOBMSG_TYPE_INT32};
inline constexpr blobmsg_policy k_errno_str = {"errno_str", BLOBMSG_TYPE_STRING};
inline constexpr blobmsg_policy k_reply_none[] = {k_errno, k_errno_str};
// The reply of an open (files and directories alike): the remote fd.
inline constexpr blobmsg_policy k_reply_fd[] = {k_errno, k_errno_str, {"fd", BLOBMSG_TYPE_INT64}};

// The step at which the common procedure stopped.
enum step : int {
    STEP_SEND = 0,   // the send failed (or nothing could be sent)
    STEP_RECV = 1,   // the reply read failed
    STEP_PARSE = 2,  // the reply lacks required fields
    STEP_REPLY = 3,  // a reply was parsed: status 0, or 4 for a non-zero "errno"
};

// Sends the body built in conn->req as command cmd, reads the reply and
// parses it by the policy into out (rows entries). A non-zero "errno" is
// kept in the connection with its text (status 4); otherwise the server
// errno is cleared (status 0). *at gets the step reached, *reply_len the
// reply's padded length (both may be none).
int32_t call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy* policy, int rows, const msg_attr** out,
             int* at = nullptr, int32_t* reply_len = nullptr);

template <size_t N>
int32_t call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy (&policy)[N], const msg_attr* (&out)[N],
             int* at = nullptr, int32_t* reply_len = nullptr) {
    return call(conn, cmd, policy, static_cast<int>(N), out, at, reply_len);
}

// The common request procedure for a body built by r: KXSD_CLI_MEM_ERR
// when the body could not be built, else call().
template <size_t N>
int32_t call(const req& r, kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy (&policy)[N],
             const msg_attr* (&out)[N], int* at = nullptr) {
    if (!r.ok) {
        if (at) *at = STEP_SEND;
        return KXSD_CLI_MEM_ERR;
    }
    return call(conn, cmd, policy, out, at);
}

// Payload bytes of a binary reply field, and their count.
inline const uint8_t* bin_data(const msg_attr* a) { return blobmsg_data(a); }
inline int32_t bin_len(const msg_attr* a) { return blobmsg_data_len(a); }

}  // namespace kxsd_cmd
