// Framing over a socket pair: the exact bytes of a request and of a reply,
// the statuses and their error records.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kxsd_test_conn.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/string/str_safe.h"
#include "support/log_capture.h"

namespace {

std::vector<uint8_t> unhex(const std::string& h) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

// A client connection on one end of a socket pair; the test plays the server on the other.
struct pair_conn {
    uint64_t pair[2] = {0, 0};
    std::unique_ptr<test_conn> c;
    explicit pair_conn(int timeout_ms = 2000) {
        EXPECT_EQ(os_socket_pair(OS_SOCKET_STREAM, pair), 1);
        c = std::make_unique<test_conn>(pair[0], timeout_ms);
    }
    ~pair_conn() {
        c.reset();
        if (pair[1]) os_socket_exit(pair[1]);
    }
    void peer_send(const std::string& h) {
        auto b = unhex(h);
        ASSERT_EQ(os_socket_send_all(pair[1], b.data(), b.size()), 1);
    }
    std::vector<uint8_t> peer_recv(size_t n) {
        std::vector<uint8_t> b(n);
        EXPECT_EQ(os_socket_recv_all(pair[1], b.data(), n), 1);
        return b;
    }
    void peer_close() {
        os_socket_exit(pair[1]);
        pair[1] = 0;
    }
};

const std::string kErrno0 = "86000010" "00056572726e6f00" "00000000";
const std::string kErrnoStrEmpty = "84000011" "0009" "6572726e6f5f737472" "00" "00" "000000";

}  // namespace

TEST(KxsdFrame, SyncRequestIsTheGoldenBytes) {
    pair_conn p;
    msg_buf* b = p.c->body();
    ASSERT_EQ(blobmsg_add_i64(b, "fd", 3), 0);
    ASSERT_EQ(kxsd_send_request(p.c->get(), 14, b->buf, msg_buf_len(b)), KXSD_CLI_OK);
    EXPECT_EQ(hex(p.peer_recv(28)), "4b58010e" "02000018" "85000014" "00026664" "00000000" "0000000000000003");
    EXPECT_EQ((*p.c)->cmd_send_count, 1u);
    EXPECT_EQ((*p.c)->last_cmd, 14u);
}

TEST(KxsdFrame, GoldenReplyIsReadAndParsed) {
    pair_conn p;
    // 44 bytes: header with protocol byte 2, root word 0x28, errno and errno_str.
    p.peer_send("4b5802ff" "02000028" + kErrno0 + kErrnoStrEmpty);
    int32_t len = 0;
    ASSERT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_OK);
    EXPECT_EQ(len, 40);
    EXPECT_EQ((*p.c)->srv_proto, 2);
    EXPECT_EQ(kxsd_reply_data_len(p.c->get()), 36);
    auto pol = reply_policy({});
    const msg_attr* out[2];
    ASSERT_EQ(cli_blobmsg_parse(pol.data(), 2, out, kxsd_reply_data(p.c->get()), kxsd_reply_data_len(p.c->get())), 0);
    EXPECT_EQ(blobmsg_get_i32(out[0]), 0);
    EXPECT_STREQ(blobmsg_get_string(out[1]), "");
}

TEST(KxsdFrame, RootLengthsBelowFourAreRejectedAndEndTheLink) {
    // The reply announces fewer bytes than its own root word: nothing more
    // is read, and the link is dropped, since whatever follows on the stream
    // cannot be trusted to be the answer of a later request.
    log_capture cap;
    for (const char* root : {"02000000", "02000001", "02000003"}) {
        SCOPED_TRACE(root);
        pair_conn p(60000);
        p.peer_send(std::string("4b580100") + root);
        int32_t len = -7;
        EXPECT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_DATA_ERR);
        EXPECT_EQ(len, -7);
        EXPECT_EQ((*p.c)->srv_proto, 0);  // not learnt from a rejected reply
        EXPECT_EQ((*p.c)->chan.handle, 0u);
        // The next receive fails at once, without waiting for the peer.
        EXPECT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_NET_ERR);
        EXPECT_EQ((*p.c)->net_errno, ENOTCONN);
    }
    EXPECT_TRUE(cap.contains("reply root len=0 < 4"));
}

TEST(KxsdFrame, ShortHeadersAndBodies) {
    struct row {
        const char* what;
        std::string bytes;  // then the peer closes
        int32_t status;
        const char* log;
    };
    const row rows[] = {
        {"nothing at all", "", KXSD_CLI_TIMEOUT, nullptr},
        {"half a header", "4b5801", KXSD_CLI_DATA_LEN_ERR, "net_read head len=3 need=8"},
        {"body cut short", "4b580100" "02000028" + kErrno0, KXSD_CLI_DATA_LEN_ERR, "net_read len=16 need=36"},
        {"bad first magic letter", "4a580100" "02000004", KXSD_CLI_DATA_ERR, "magic error 4a 58"},
        {"bad second magic letter", "4b590100" "02000004", KXSD_CLI_DATA_ERR, "magic error 4b 59"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        log_capture cap;
        pair_conn p;
        if (!r.bytes.empty()) p.peer_send(r.bytes);
        p.peer_close();
        int32_t len = 0;
        EXPECT_EQ(client_recv_response(p.c->get(), &len), r.status);
        if (r.log) {
            EXPECT_TRUE(cap.contains(r.log)) << cap.all();
        }
    }
}

TEST(KxsdFrame, AnnouncedLengthsBoundTheReplyBuffer) {
    // Whatever the peer claims, the buffer is sized from the 24-bit length
    // alone (flag and type bits ignored), at most 16 MiB + 4, and a body
    // that never comes ends as a short read.
    for (const char* word : {"02ffffff", "ffffffff", "82fffffd"}) {
        SCOPED_TRACE(word);
        pair_conn p;
        p.peer_send(std::string("4b580100") + word + kErrno0);
        p.peer_close();
        int32_t len = 0;
        EXPECT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_DATA_LEN_ERR);
        EXPECT_EQ((*p.c)->reply_cap, 0x1000000 + 4);
    }
}

TEST(KxsdFrame, AnEmptyBodyIsNotSentAndFailsAtOnce) {
    pair_conn p;
    msg_buf* b = p.c->body();
    EXPECT_EQ(kxsd_send_request(p.c->get(), 14, b->buf, 0), KXSD_CLI_MEM_ERR);
    EXPECT_EQ(kxsd_send_request(p.c->get(), 14, nullptr, 24), KXSD_CLI_MEM_ERR);
    uint8_t byte = 0;
    EXPECT_EQ(os_socket_recv(p.pair[1], &byte, 1), 0);  // nothing arrived
}

TEST(KxsdFrame, FixFailedAndSendModes) {
    {
        pair_conn p;
        (*p.c)->fix_failed = 1;
        msg_buf* b = p.c->body();
        int32_t len = 0;
        EXPECT_EQ(kxsd_send_request(p.c->get(), 14, b->buf, msg_buf_len(b)), KXSD_CLI_TIMEOUT);
        EXPECT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_TIMEOUT);
        EXPECT_EQ((*p.c)->cmd_send_count, 0u);
    }
    {
        // Mode 2 counts without sending; mode 1 sends; both withhold replies.
        pair_conn p;
        msg_buf* b = p.c->body();
        (*p.c)->send_mode = 2;
        EXPECT_EQ(kxsd_send_request(p.c->get(), 14, b->buf, msg_buf_len(b)), KXSD_CLI_OK);
        uint8_t byte = 0;
        EXPECT_EQ(os_socket_recv(p.pair[1], &byte, 1), 0);
        (*p.c)->send_mode = 1;
        EXPECT_EQ(kxsd_send_request(p.c->get(), 14, b->buf, msg_buf_len(b)), KXSD_CLI_OK);
        EXPECT_EQ(hex(p.peer_recv(8)), "4b58010e02000004");
        p.peer_send("4b580100" "02000028" + kErrno0 + kErrnoStrEmpty);
        int32_t len = 0;
        EXPECT_EQ(client_recv_response(p.c->get(), &len), KXSD_CLI_NET_ERR);
        EXPECT_EQ((*p.c)->cmd_send_count, 2u);
    }
}

TEST(KxsdFrame, StatusTexts) {
    const std::pair<int32_t, const char*> rows[] = {
        {0, "ok"}, {1, "net error"}, {2, "net data error"}, {3, "timeout error"}, {4, "kxsd srv error"},
        {5, "memory error"}, {6, "user stop error"}, {7, "unpack data error"}, {8, "data len error"},
        {9, "unkown error"}, {-1, "unkown error"},
    };
    for (auto [status, text] : rows) EXPECT_STREQ(cli_status_str(status), text) << status;
}

TEST(KxsdFrame, ErrorRecordOfEachStatus) {
    struct row {
        int32_t status;
        int net_errno;
        int32_t code;
        const char* msg;
    };
    const row rows[] = {
        {KXSD_CLI_OK, 0, 0, ""},
        {KXSD_CLI_NET_ERR, 0, VERR_NET_IO_ERROR, "read data net error"},
        {KXSD_CLI_NET_ERR, ECONNRESET, os_verr_get(ECONNRESET), os_errno_str(ECONNRESET)},
        {KXSD_CLI_DATA_ERR, 0, -466, "read data content error"},
        {KXSD_CLI_TIMEOUT, 0, VERR_TIMEOUT, "read data timeout"},
        {KXSD_CLI_DATA_LEN_ERR, 0, VERR_TIMEOUT, "read data timeout"},
        {KXSD_CLI_MEM_ERR, 0, VERR_NO_MEMORY, "memory allocation failed"},
        {KXSD_CLI_USER_STOP, 0, VERR_GENERAL_FAILURE, "unkown error=6"},
        {KXSD_CLI_UNPACK_ERR, 0, VERR_GENERAL_FAILURE, "unkown error=7"},
        {42, 0, VERR_GENERAL_FAILURE, "unkown error=42"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.status);
        pair_conn p;
        (*p.c)->net_errno = r.net_errno;
        errno = EACCES;  // whatever errno holds now must not matter
        kxsd_cli_set_last_error(p.c->get(), r.status);
        EXPECT_EQ(p.c->err->code, r.code);
        EXPECT_STREQ(p.c->err->message, r.msg);
    }
    pair_conn p;
    (*p.c)->srv_errno = -102;
    str_safecopy_trunc((*p.c)->errno_str, sizeof (*p.c)->errno_str, "no such file [%s]");
    kxsd_cli_set_last_error(p.c->get(), KXSD_CLI_SRV_ERR);
    EXPECT_EQ(p.c->err->code, -102);
    EXPECT_STREQ(p.c->err->message, "no such file [%s]");  // taken as text, not as a format
}
