// Framing against the Python test server over TCP on 127.0.0.1: its fault
// switches, the protocol byte, large replies, the request log.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "kxsd_server/kxsd_server_proc.h"
#include "kxsd_test_conn.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

// Open (command 10) of "/img" read-only; the reply carries "fd".
int32_t open_img(test_conn& c, const msg_attr** out) {
    msg_buf* b = c.body();
    blobmsg_add_string(b, "path", "/img");
    blobmsg_add_i64(b, "mode", 0x1);
    static const auto pol = reply_policy({{"fd", BLOBMSG_TYPE_INT64}});
    return kxsd_cli_call(c.get(), 10, pol.data(), static_cast<int>(pol.size()), out);
}

// Positioned read (command 29) of len bytes at offset.
int32_t read_at(test_conn& c, int64_t fd, int32_t len, int64_t offset, const msg_attr** out) {
    msg_buf* b = c.body();
    blobmsg_add_i64(b, "fd", fd);
    blobmsg_add_i32(b, "len", len);
    blobmsg_add_i64(b, "offset", offset);
    static const auto pol =
        reply_policy({{"len", BLOBMSG_TYPE_INT32}, {"flags", BLOBMSG_TYPE_INT32}, {"data", BLOBMSG_TYPE_BINARY}});
    return kxsd_cli_call(c.get(), 29, pol.data(), static_cast<int>(pol.size()), out);
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (auto& ch : s) {
        x = x * 1103515245u + 12345u;
        ch = static_cast<char>(x >> 16);
    }
    return s;
}

}  // namespace

TEST(KxsdFrameServer, FaultSwitches) {
    struct row {
        const char* what;
        std::string fault;
        int32_t status;
        int32_t code;         // of the error record
        const char* message;  // of the error record
        const char* log;      // a line the client logged, or none
    };
    const std::string long_text(5000, 'e');
    const row rows[] = {
        {"bad second magic letter", "magic:cmd=10,bytes=4B59", KXSD_CLI_DATA_ERR, -466, "read data content error",
         "magic error 4b 59"},
        {"root length 4: an empty table", "rootlen:cmd=10,value=4", KXSD_CLI_DATA_ERR, -466,
         "read data content error", "ba[0]=NULL error"},
        {"root length 0", "rootlen:cmd=10,value=0", KXSD_CLI_DATA_ERR, -466, "read data content error",
         "reply root len=0 < 4"},
        {"root length 3", "rootlen:cmd=10,value=3", KXSD_CLI_DATA_ERR, -466, "read data content error",
         "reply root len=3 < 4"},
        {"peer closes instead of replying", "close:cmd=10", KXSD_CLI_TIMEOUT, VERR_TIMEOUT, "read data timeout",
         nullptr},
        {"error reply with errno 2 and a text", "errno:cmd=10,value=2,text=no such image", KXSD_CLI_SRV_ERR, 2,
         "no such image", nullptr},
        {"errno -102", "errno:cmd=10,value=-102,text=File not found.", KXSD_CLI_SRV_ERR, -102, "File not found.",
         nullptr},
        {"errno -258", "errno:cmd=10,value=-258,text=gone", KXSD_CLI_SRV_ERR, -258, "gone", nullptr},
        {"missing third field", "drop:cmd=10,field=fd", KXSD_CLI_DATA_ERR, -466, "read data content error",
         "ba[2]=NULL error"},
        {"truncated body", "truncate:cmd=10,cut=6", KXSD_CLI_DATA_LEN_ERR, VERR_TIMEOUT, "read data timeout",
         "net_read len="},
        {"truncated header", "cuthead:cmd=10,n=5", KXSD_CLI_DATA_LEN_ERR, VERR_TIMEOUT, "read data timeout",
         "net_read head len=5 need=8"},
        {"errno as int64", "errno64:cmd=10", KXSD_CLI_DATA_ERR, -466, "read data content error", "ba[0]=NULL error"},
        {"errno_str as binary", "retype:cmd=10,field=errno_str,type=3", KXSD_CLI_DATA_ERR, -466,
         "read data content error", "ba[1]=NULL error"},
        {"fd as int32", "retype:cmd=10,field=fd,type=6", KXSD_CLI_DATA_ERR, -466, "read data content error",
         "ba[2]=NULL error"},
        {"fd with 5 payload bytes", "payload:cmd=10,field=fd,hex=0102030405", KXSD_CLI_DATA_ERR, -466,
         "read data content error", "ba[2]=NULL error"},
        {"fd whose name header overruns it", "overrun:cmd=10,field=fd", KXSD_CLI_DATA_ERR, -466,
         "read data content error", "ba[2]=NULL error"},
        {"errno_str longer than the record", "errno:cmd=10,value=-5,text=" + long_text, KXSD_CLI_SRV_ERR, -5,
         nullptr, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        kxsd_server_proc srv({"--no-login-check", "--fault", r.fault});
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), "0123456789");
        log_capture cap;
        test_conn c(srv.port());
        ASSERT_TRUE(c.connected());
        const msg_attr* out[3];
        const int32_t status = open_img(c, out);
        EXPECT_EQ(status, r.status) << cli_status_str(status);
        kxsd_cli_set_last_error(c.get(), status);
        EXPECT_EQ(c.err->code, r.code);
        if (r.message) {
            EXPECT_STREQ(c.err->message, r.message);
        } else {
            // Kept up to the record's size, cut, terminated.
            EXPECT_EQ(std::string(c->errno_str), long_text.substr(0, KXSD_ERRNO_STR_SIZE - 1));
        }
        if (r.log) {
            EXPECT_TRUE(cap.contains(r.log)) << cap.all();
        }
        // The server saw exactly one well-formed open request.
        auto reqs = srv.requests(10);
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0]["fields"]["path"].s(), "/img");
        EXPECT_EQ(reqs[0]["fields"]["mode"].i(), 1);
        EXPECT_FALSE(reqs[0].has("error"));
    }
}

TEST(KxsdFrameServer, SuccessfulCallAndItsLog) {
    kxsd_server_proc srv({"--no-login-check"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), "0123456789");
    test_conn c(srv.port());
    const msg_attr* out[3];
    ASSERT_EQ(open_img(c, out), KXSD_CLI_OK);
    EXPECT_GT(blobmsg_get_i64(out[2]), 0);
    EXPECT_EQ(c->srv_errno, 0);
    EXPECT_EQ(c->srv_proto, 1);
    auto reqs = srv.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0]["cmd"].i(), 10);
    EXPECT_EQ(reqs[0]["proto"].i(), 1);
    EXPECT_EQ(reqs[0]["root_type"].i(), 2);
    EXPECT_EQ(reqs[0]["root_len"].i(), 4 + 20 + 20);  // "path" "/img" and "mode"
    ASSERT_EQ(reqs[0]["order"].size(), 2u);
    EXPECT_EQ(reqs[0]["order"][0].s(), "path");
    EXPECT_EQ(reqs[0]["types"]["mode"].i(), BLOBMSG_TYPE_INT64);
}

TEST(KxsdFrameServer, TheFirstReplysProtocolByteSticks) {
    kxsd_server_proc srv({"--no-login-check", "--proto", "2", "--fault", "proto:at=2,value=1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), "x");
    test_conn c(srv.port());
    const msg_attr* out[3];
    ASSERT_EQ(open_img(c, out), KXSD_CLI_OK);
    EXPECT_EQ(c->srv_proto, 2);
    ASSERT_EQ(open_img(c, out), KXSD_CLI_OK);
    EXPECT_EQ(c->srv_proto, 2);
}

TEST(KxsdFrameServer, ARejectedFirstReplyTeachesNoProtocolByte) {
    kxsd_server_proc srv({"--no-login-check", "--proto", "3", "--fault", "rootlen:at=1,value=2", "--fault",
                          "proto:at=2,value=1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), "x");
    test_conn c(srv.port());
    const msg_attr* out[3];
    ASSERT_EQ(open_img(c, out), KXSD_CLI_DATA_ERR);
    EXPECT_EQ(c->srv_proto, 0);
    // The link is dropped with the bad reply: the good one that would
    // follow is never read, so nothing is learnt from it either.
    ASSERT_EQ(open_img(c, out), KXSD_CLI_NET_ERR);
    EXPECT_EQ(c->srv_proto, 0);
}

TEST(KxsdFrameServer, ALargeReplyAfterASmallOneGrowsTheBufferOnce) {
    kxsd_server_proc srv({"--no-login-check"});
    ASSERT_TRUE(srv.started()) << srv.error();
    const std::string data = pattern(6 << 20);
    write_file(srv.file("img"), data);
    test_conn c(srv.port());
    const msg_attr* out[5];
    ASSERT_EQ(open_img(c, out), KXSD_CLI_OK);
    const int64_t fd = blobmsg_get_i64(out[2]);
    const int32_t small_cap = c->reply_cap;
    EXPECT_EQ(small_cap, msg_pad_len(kxsd_reply_data_len(c.get()) + 4) + 4);

    const int32_t big = 5 << 20;
    ASSERT_EQ(read_at(c, fd, big, 7, out), KXSD_CLI_OK);
    EXPECT_EQ(blobmsg_get_i32(out[2]), big);
    ASSERT_EQ(blobmsg_data_len(out[4]), big);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(blobmsg_data(out[4])), big) == data.substr(7, big));
    // Exactly the reply's padded length plus the root word's room.
    const int32_t big_cap = c->reply_cap;
    EXPECT_EQ(big_cap, msg_pad_len(kxsd_reply_data_len(c.get()) + 4) + 4);
    const uint8_t* storage = c->reply;

    // Smaller replies reuse it.
    ASSERT_EQ(read_at(c, fd, 100, 0, out), KXSD_CLI_OK);
    EXPECT_EQ(c->reply_cap, big_cap);
    EXPECT_EQ(c->reply, storage);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(blobmsg_data(out[4])), 100) == data.substr(0, 100));
}

TEST(KxsdFrameServer, AStalledServerEndsAtTheDeadline) {
    kxsd_server_proc srv({"--no-login-check", "--fault", "stall:cmd=10"});
    ASSERT_TRUE(srv.started()) << srv.error();
    test_conn c(srv.port(), 300);
    const msg_attr* out[3];
    const int32_t status = open_img(c, out);
    EXPECT_EQ(status, KXSD_CLI_TIMEOUT);
    kxsd_cli_set_last_error(c.get(), status);
    EXPECT_EQ(c.err->code, VERR_TIMEOUT);
}

TEST(KxsdFrameServer, AReadAfterTheConnectionBrokeReportsNoStaleErrno) {
    // The first reply is cut short and the server closes; the link is
    // dropped, and the next request fails without touching the socket: the
    // record says the link is gone, not whatever errno held.
    kxsd_server_proc srv({"--no-login-check", "--fault", "truncate:at=1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), "x");
    test_conn c(srv.port());
    const msg_attr* out[3];
    ASSERT_EQ(open_img(c, out), KXSD_CLI_DATA_LEN_ERR);
    errno = ENOSPC;
    const int32_t status = open_img(c, out);
    EXPECT_EQ(status, KXSD_CLI_NET_ERR);
    kxsd_cli_set_last_error(c.get(), status);
    EXPECT_EQ(c.err->code, os_verr_get(ENOTCONN));
    EXPECT_STREQ(c.err->message, os_errno_str(ENOTCONN));
}

TEST(KxsdFrameServer, ServerExitsAfterItsConnections) {
    kxsd_server_proc srv({"--no-login-check", "--max-conns", "1"});
    ASSERT_TRUE(srv.started()) << srv.error();
    {
        test_conn c(srv.port());
        msg_buf* b = c.body();
        ASSERT_EQ(kxsd_send_request(c.get(), 2, b->buf, msg_buf_len(b)), KXSD_CLI_OK);  // logout: no reply
    }
    EXPECT_EQ(srv.wait_exit(30000), 0);
    auto log = srv.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["event"].s(), "connect");
    EXPECT_EQ(log[1]["cmd"].i(), 2);
    EXPECT_TRUE(log[1]["no_reply"].b);
    EXPECT_EQ(log[2]["event"].s(), "close");
}
