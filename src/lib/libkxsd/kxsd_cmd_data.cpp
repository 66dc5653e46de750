// Data commands: reads (12, 29), writes (13, 30), stored files (9) and
// the pattern write (50). Data crosses the wire packed with the
// connection's pack method.
#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_cmd_priv.h"
#include "liblog/log2.h"
#include "libpack/pack.h"

#include <cstring>

using namespace kxsd_cmd;

namespace {

constexpr blobmsg_policy k_read[] = {k_errno,
                                     k_errno_str,
                                     {"len", BLOBMSG_TYPE_INT32},
                                     {"flags", BLOBMSG_TYPE_INT32},
                                     {"data", BLOBMSG_TYPE_BINARY}};
constexpr blobmsg_policy k_len[] = {k_errno, k_errno_str, {"len", BLOBMSG_TYPE_INT32}};

// Appends the "data" field with len plain bytes of buf packed straight into
// it (nothing for len 0). Status.
int32_t add_packed(kxsd_cli_ctx* conn, const void* buf, int32_t len) {
    if (len == 0) return blobmsg_add_binary(&conn->req, "data", nullptr, 0) == 0 ? KXSD_CLI_OK : KXSD_CLI_MEM_ERR;
    const uint64_t room = zcomp_bound(static_cast<uint64_t>(len));
    void* at = nullptr;
    msg_attr* attr = room != 0 && room <= static_cast<uint64_t>(MSG_ATTR_MAX_LEN)
                         ? blobmsg_add_alloc(&conn->req, "data", static_cast<int32_t>(room), &at)
                         : nullptr;
    if (!attr) {
        LOG2(LOG2_DBG, "sdcli", "blobmsg_add_alloc len=%d error\n", len);
        return KXSD_CLI_MEM_ERR;
    }
    const int64_t packed = zcomp_pack(&conn->pack, buf, len, at, static_cast<int64_t>(room));
    if (packed <= 0 || packed > static_cast<int64_t>(room)) {
        LOG2(LOG2_DBG, "sdcli", "sdcomp_pack len=%d ret=%lld\n", len, static_cast<long long>(packed));
        return KXSD_CLI_UNPACK_ERR;
    }
    return blobmsg_set_len(&conn->req, attr, static_cast<int32_t>(packed)) == 0 ? KXSD_CLI_OK : KXSD_CLI_MEM_ERR;
}

// Sends the body built so far as cmd and takes the reply's "len" into
// *out_len; a count outside 0..max is not believed.
int32_t len_reply(kxsd_cli_ctx* conn, uint8_t cmd, int32_t max, int32_t* out_len) {
    const msg_attr* out[3];
    const int32_t status = call(conn, cmd, k_len, out);
    if (status != KXSD_CLI_OK) return status;
    const int32_t n = blobmsg_get_i32(out[2]);
    if (n < 0 || n > max) {
        LOG2(LOG2_ERR, "sdcli", "reply len=%d > request len=%d\n", n, max);
        return KXSD_CLI_DATA_ERR;
    }
    if (out_len) *out_len = n;
    return KXSD_CLI_OK;
}

}  // namespace

int32_t cli_read_imp(kxsd_cli_ctx* conn, int64_t fd, void* buf, int32_t len, int32_t* plain_len,
                     int32_t* packed_len, int raw, int64_t offset) {
    if (len < 0 || (len > 0 && !buf)) return KXSD_CLI_MEM_ERR;
    req r(conn);
    r.i64("fd", fd).i32("len", len);
    if (offset != KXSD_OFFSET_CUR) r.i64("offset", offset);
    const msg_attr* out[5];
    int at = STEP_SEND;
    const int32_t status =
        call(r, conn, offset == KXSD_OFFSET_CUR ? KXSD_CMD_READ : KXSD_CMD_PREAD, k_read, out, &at);
    if (at == STEP_RECV) LOG2(LOG2_DBG, "sdcli", "client_recv_response ret=%d\n", status);
    if (at == STEP_PARSE) LOG2(LOG2_ERR, "sdcli", "parse data error\n");
    if (status != KXSD_CLI_OK) return status;

    const uint8_t* data = bin_data(out[4]);
    const int32_t dlen = bin_len(out[4]);
    const int32_t reply_len = blobmsg_get_i32(out[2]);
    if (raw) {
        if (static_cast<int64_t>(dlen) > 2 * static_cast<int64_t>(len)) {
            LOG2(LOG2_DBG, "sdcli", "pack_len=%u > 2*len=%u\n", static_cast<unsigned>(dlen),
                 static_cast<unsigned>(2 * static_cast<int64_t>(len)));
            return KXSD_CLI_UNPACK_ERR;
        }
        // The plain length sizes the caller's unpack later: never more than asked.
        if (reply_len < 0 || reply_len > len) {
            LOG2(LOG2_DBG, "sdcli", "plain len=%d > len=%d\n", reply_len, len);
            return KXSD_CLI_UNPACK_ERR;
        }
        // The packed data is handed on as the block of "len" bytes: it must
        // unpack to exactly that, or every later byte lands at the wrong place.
        void* plain = nullptr;
        if (dlen != 0 || reply_len != 0) {
            if (zcomp_unpack_buf(&conn->pack, data, dlen, &plain, reply_len) != 0) {
                LOG2(LOG2_DBG, "sdcli", "reply len=%d: its %d bytes of data do not unpack to it\n", reply_len, dlen);
                return KXSD_CLI_UNPACK_ERR;
            }
        }
        if (dlen > 0) std::memcpy(buf, data, static_cast<size_t>(dlen));
        if (plain_len) *plain_len = reply_len;
        if (packed_len) *packed_len = dlen;
        return KXSD_CLI_OK;
    }
    int64_t n = 0;
    if (dlen > 0) {
        // Bounded by the caller's length: data that unpacks to more is refused.
        n = zcomp_unpack(&conn->pack, data, dlen, buf, len);
        if (n < 0 || n > len) {
            LOG2(LOG2_DBG, "sdcli", "sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", dlen, len, static_cast<int>(n));
            return KXSD_CLI_UNPACK_ERR;
        }
    }
    // A reply whose data and length disagree is no read: the server's
    // position moved by one of them, the caller's would move by the other.
    if (n != reply_len) {
        LOG2(LOG2_DBG, "sdcli", "reply len=%d: its %d bytes of data unpack to %lld\n", reply_len, dlen,
             static_cast<long long>(n));
        return KXSD_CLI_UNPACK_ERR;
    }
    if (plain_len) *plain_len = static_cast<int32_t>(n);
    if (packed_len) *packed_len = dlen;
    return KXSD_CLI_OK;
}

int32_t cli_write_imp(kxsd_cli_ctx* conn, int64_t fd, const void* buf, int32_t len, int32_t* out_len,
                      int32_t packed_len, int raw, int64_t offset) {
    if (len < 0 || (raw && packed_len < 0) || (!buf && (raw ? packed_len : len) > 0)) return KXSD_CLI_MEM_ERR;
    req r(conn);
    r.i64("fd", fd).i32("flags", 0).i32("len", len);
    if (offset != KXSD_OFFSET_CUR) r.i64("offset", offset);
    if (!r.ok) return KXSD_CLI_MEM_ERR;
    if (raw) {
        if (!r.bin("data", buf, packed_len).ok) return KXSD_CLI_MEM_ERR;
    } else if (const int32_t st = add_packed(conn, buf, len); st != KXSD_CLI_OK) {
        return st;
    }
    const int32_t status = len_reply(conn, offset == KXSD_OFFSET_CUR ? KXSD_CMD_WRITE : KXSD_CMD_PWRITE, len, out_len);
    if (status == KXSD_CLI_OK) conn->written = 1;
    return status;
}

int32_t cli_put_data(kxsd_cli_ctx* conn, const char* path, const char* name, int32_t flags, const void* buf,
                     int32_t len, int32_t* out_len) {
    if (len < 0 || (len > 0 && !buf)) return KXSD_CLI_MEM_ERR;
    if (!req(conn).str("path", path).str("name", name).i32("flags", flags).i32("len", len).ok) {
        return KXSD_CLI_MEM_ERR;
    }
    if (const int32_t st = add_packed(conn, buf, len); st != KXSD_CLI_OK) return st;
    return len_reply(conn, KXSD_CMD_PUT_DATA, len, out_len);
}

int32_t cli_pwritex(kxsd_cli_ctx* conn, int64_t fd, int32_t mode, int32_t len, int64_t offset, int32_t* out_len) {
    if (!req(conn).i64("fd", fd).i32("mode", mode).i32("len", len).i64("offset", offset).ok) {
        return KXSD_CLI_MEM_ERR;
    }
    return len_reply(conn, KXSD_CMD_PWRITEX, len < 0 ? 0 : len, out_len);
}
