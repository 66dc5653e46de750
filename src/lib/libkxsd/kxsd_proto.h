// Framing of the remote storage protocol: the 8-byte message header, the
// request write and reply read, the client status codes, the reply fields
// every command requires and the error record of a status.
//
// A message is 'K', 'X', the protocol byte, the command number, then the
// body's root attribute word (its big-endian raw length in bits 0-23) and
// the rest of the body padded to 4. Requests and replies strictly alternate.
#pragma once

#include <cstdint>

#include "libkxsd/blobmsg.h"
#include "libkxsd/kxsd_cli_ctx.h"

inline constexpr int KXSD_HEAD_LEN = 8;
inline constexpr uint8_t KXSD_PROTO_REQ = 1;  // protocol byte of every request

// The header, as its fields; kxsd_head_put / kxsd_head_get move it to and
// from its 8 wire bytes.
struct kxsd_msg_head {
    uint8_t magic[2];    // 'K', 'X'
    uint8_t proto;       // 1 in a request; the server's protocol byte in a reply
    uint8_t cmd;         // command number in a request; not read in a reply
    uint32_t root_word;  // the body's root attribute word
};

void kxsd_head_put(uint8_t out[KXSD_HEAD_LEN], const kxsd_msg_head* head);
void kxsd_head_get(const uint8_t in[KXSD_HEAD_LEN], kxsd_msg_head* head);

// Client status codes.
enum : int32_t {
    KXSD_CLI_OK = 0,
    KXSD_CLI_NET_ERR = 1,      // a channel read failed, or replies are withheld
    KXSD_CLI_DATA_ERR = 2,     // bad magic, bad root length, or required fields missing
    KXSD_CLI_TIMEOUT = 3,      // the header read got nothing, or the connection is unrecoverable
    KXSD_CLI_SRV_ERR = 4,      // the server answered with a non-zero "errno"
    KXSD_CLI_MEM_ERR = 5,      // the reply buffer or a request field cannot be allocated
    KXSD_CLI_USER_STOP = 6,
    KXSD_CLI_UNPACK_ERR = 7,   // data cannot be packed or unpacked, or is larger than allowed
    KXSD_CLI_DATA_LEN_ERR = 8, // fewer header or body bytes arrived than announced
};

// "ok", "net error", ... "unkown error" for codes outside the table.
const char* cli_status_str(int32_t status);

// Writes header and body (len: the body's padded length). Status 0 or 3; a
// failed write shows in the reply read that follows. A body shorter than
// its own root word (a request buffer that could not be set up) gives 5
// without writing anything.
int32_t kxsd_send_request(kxsd_cli_ctx* conn, uint8_t cmd, const void* body, int32_t len);
// One header and body read into the reply buffer; *len gets the padded
// body length. Status.
int32_t client_recv_response_imp(kxsd_cli_ctx* conn, int32_t* len);
// client_recv_response_imp; a failure drops the link, or, with resume
// enabled (kxsd_cli_enable_resume), runs client_fix_last_error.
int32_t client_recv_response(kxsd_cli_ctx* conn, int32_t* len);

// Resumes the last request after a failed reply read: reconnects, asks the
// server's context whether it got the request, has it re-deliver the reply
// (ioctl2 105) or takes the request again (104, then the kept request is
// sent again), reads the reply and restarts the server's request count. On
// success the reply is in the reply buffer (*len: its padded length) and
// the send mode is back to normal: 0. On failure the connection is marked
// unrecoverable (every later request gives 3) and the status is 3.
int32_t client_fix_last_error(kxsd_cli_ctx* conn, int32_t* len);
// The inner step, run with fixing set: reconnect, the context queries and
// the reply read. body and body_len are the kept request and cmd its
// command. Status.
int32_t client_fix_last_error_imp(kxsd_cli_ctx* conn, const void* body, int32_t body_len, uint8_t cmd,
                                  int32_t* len);

// blobmsg_parse plus the rule that rows 0 and 1 ("errno" int32, "errno_str"
// string) are always present and every further row is present when
// "errno" is 0. 0 or -1.
int cli_blobmsg_parse(const blobmsg_policy* policy, int rows, const msg_attr** out, const void* data, int32_t len);

// The reply's attributes: after the root word, the root's raw length - 4 bytes.
const uint8_t* kxsd_reply_data(const kxsd_cli_ctx* conn);
int32_t kxsd_reply_data_len(const kxsd_cli_ctx* conn);

// The common request procedure over the body already built in conn->req:
// send, read the reply, parse it with the command's policy (errno and
// errno_str first), keep a non-zero "errno" and its text in the connection
// (status 4) or clear the server errno (status 0). out gets the parsed
// fields, valid until the next reply.
int32_t kxsd_cli_call(kxsd_cli_ctx* conn, uint8_t cmd, const blobmsg_policy* policy, int rows,
                      const msg_attr** out);

// The server's verdict in a parsed reply (out[0] "errno", out[1]
// "errno_str"): a non-zero errno and its text are kept in the connection
// (status 4), else the server errno is cleared (status 0).
int32_t kxsd_reply_verdict(kxsd_cli_ctx* conn, const msg_attr* const* out);

// Fills the connection's error record from a client status.
void kxsd_cli_set_last_error(kxsd_cli_ctx* conn, int32_t status);
