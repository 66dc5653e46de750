// Resuming a request after a lost connection, against the test server:
// the request or its reply is lost once, and a connection with resume
// enabled takes the server's context over on a new connection and gets
// the right answer; without resume the loss stays a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kxsd_file_rig.h"
#include "libkxsd/kxsd_cmd.h"

using namespace kxsd_file_rig;

namespace {

constexpr int64_t kChunk = 65536;  // small enough that the read's own restart never applies

// The command-8 codes the server got, in order, as "code@conn".
std::string ctx_codes(const served& s) {
    std::string out;
    for (const mini_json& r : s.srv.requests(KXSD_CMD_IOCTL2)) {
        const int64_t code = r["code"].i();
        if (code < 101 || code > 107) continue;
        if (!out.empty()) out += ' ';
        out += std::to_string(code) + "@" + std::to_string(r["conn"].i());
    }
    return out;
}

// The connections that positioned reads arrived on, in order.
std::string read_conns(const served& s) {
    std::string out;
    for (const mini_json& r : s.srv.requests(KXSD_CMD_PREAD)) out += std::to_string(r["conn"].i());
    return out;
}

}  // namespace

TEST(KxsdResume, ALostRequestOrReplyIsResumedOnANewConnection) {
    struct row {
        const char* what;
        std::vector<std::string> args;
        uint32_t send_mode;       // of the first read
        const char* codes;        // context requests: code@connection
        const char* reads;        // connections of the positioned reads
    };
    const row rows[] = {
        {"request lost, twice",
         {"--fault", "lose:cmd=29", "--fault", "lose:cmd=29,nth=2"}, KXSD_SEND_NORMAL,
         "101@1 102@1 107@2 106@2 103@2 104@2 103@2 107@3 106@3 103@3 104@3 103@3", "1223"},
        {"reply lost, twice",
         {"--fault", "lose:cmd=29,part=reply", "--fault", "lose:cmd=29,part=reply"}, KXSD_SEND_NORMAL,
         "101@1 102@1 107@2 106@2 103@2 105@2 103@2 107@3 106@3 103@3 105@3 103@3", "12"},
        {"request only counted (send mode 2)", {}, KXSD_SEND_COUNT_ONLY,
         "101@1 102@1 107@2 106@2 103@2 104@2 103@2", "22"},
        {"reply not read (send mode 1)", {}, KXSD_SEND_NO_REPLY, "101@1 102@1 107@2 106@2 103@2 105@2 103@2", "12"},
    };
    const std::string data = noise(4 * kChunk, 7);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        served s(data, r.args);
        ASSERT_TRUE(s.ok()) << s.why();
        ASSERT_EQ(kxsd_cli_enable_resume(s.conn()), 0) << s.msg();
        EXPECT_EQ(s.conn()->resume_enabled, 1);
        EXPECT_EQ(s.conn()->srv_ctx_id, 4100u);
        file_ptr f(kxsd_cli_open(s.conn(), "/img", 0x1));
        ASSERT_NE(f, nullptr) << s.msg();

        ASSERT_EQ(kxsd_cli_set_send_mode(s.conn(), r.send_mode), 0);
        std::string got(kChunk, '\0');
        ASSERT_EQ(kxsd_cli_read(f.get(), got.data(), kChunk, kChunk), kChunk) << s.msg();
        EXPECT_TRUE(got == data.substr(kChunk, kChunk));
        EXPECT_EQ(s.conn()->send_mode, KXSD_SEND_NORMAL);
        EXPECT_EQ(s.err().code, 0);
        // The counts agree again after the resume: a second loss resumes too.
        ASSERT_EQ(kxsd_cli_read(f.get(), got.data(), kChunk, 3 * kChunk), kChunk) << s.msg();
        EXPECT_TRUE(got == data.substr(3 * kChunk, kChunk));
        EXPECT_EQ(kxsd_cli_sync(f.get()), 0) << s.msg();
        // The connection that took the context over has the file too.
        EXPECT_EQ(kxsd_cli_close(f.release()), 0) << s.msg();

        EXPECT_EQ(ctx_codes(s), r.codes);
        EXPECT_EQ(read_conns(s), r.reads);
        // A request sent again is the same request.
        auto reads = s.srv.requests(KXSD_CMD_PREAD);
        ASSERT_GE(reads.size(), 2u);
        EXPECT_EQ(reads[0]["fields"]["offset"].i(), kChunk);
        EXPECT_EQ(reads[0]["fields"]["len"].i(), kChunk);
        EXPECT_EQ(reads.back()["fields"]["offset"].i(), 3 * kChunk);
    }
}

TEST(KxsdResume, WithoutResumeALostRequestStaysAFailure) {
    const std::string data = noise(4 * kChunk, 8);
    served s(data, {"--fault", "lose:cmd=29"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f(kxsd_cli_open(s.conn(), "/img", 0x1));
    ASSERT_NE(f, nullptr) << s.msg();
    std::string got(kChunk, '\0');
    EXPECT_EQ(kxsd_cli_read(f.get(), got.data(), kChunk, kChunk), -1);
    EXPECT_EQ(s.err().code, -40);
    EXPECT_EQ(s.msg(), "read data timeout");
    EXPECT_EQ(s.connects(), 1u);
    EXPECT_EQ(ctx_codes(s), "");
    EXPECT_EQ(read_conns(s), "1");
}

TEST(KxsdResume, AFailedResumeMarksTheConnectionUnrecoverable) {
    const std::string data = noise(4 * kChunk, 9);
    served s(data, {"--fault", "lose:cmd=29", "--fault", "errno:cmd=8,code=104,value=-2,text=no such context"});
    ASSERT_TRUE(s.ok()) << s.why();
    ASSERT_EQ(kxsd_cli_enable_resume(s.conn()), 0) << s.msg();
    file_ptr f(kxsd_cli_open(s.conn(), "/img", 0x1));
    ASSERT_NE(f, nullptr) << s.msg();
    std::string got(kChunk, '\0');
    EXPECT_EQ(kxsd_cli_read(f.get(), got.data(), kChunk, 0), -1);
    EXPECT_EQ(s.err().code, -40);
    EXPECT_EQ(s.conn()->fix_failed, 1);
    EXPECT_EQ(ctx_codes(s), "101@1 102@1 107@2 106@2 103@2 104@2");
    // From now on nothing reaches the server.
    const size_t before = s.srv.requests().size();
    EXPECT_EQ(kxsd_cli_sync(f.get()), -1);
    EXPECT_EQ(s.err().code, -40);
    EXPECT_EQ(s.srv.requests().size(), before);
    EXPECT_EQ(read_conns(s), "1");
}

TEST(KxsdResume, SendModesWithoutResume) {
    const std::string data = noise(kChunk, 10);
    served s(data, {"--max-conns", "1"});
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    EXPECT_EQ(kxsd_cli_set_send_mode(c, 3), -1);
    int64_t fd = 0;
    ASSERT_EQ(cli_open(c, "/img", 0x1, &fd), KXSD_CLI_OK);

    // Counted, not sent: the connection stays usable.
    const uint64_t count = c->cmd_send_count;
    ASSERT_EQ(kxsd_cli_set_send_mode(c, KXSD_SEND_COUNT_ONLY), 0);
    EXPECT_EQ(cli_sync(c, fd), KXSD_CLI_NET_ERR);
    EXPECT_EQ(c->cmd_send_count, count + 1);
    EXPECT_EQ(c->last_cmd, KXSD_CMD_SYNC);
    EXPECT_TRUE(s.srv.requests(KXSD_CMD_SYNC).empty());
    ASSERT_EQ(kxsd_cli_set_send_mode(c, KXSD_SEND_NORMAL), 0);
    EXPECT_EQ(cli_sync(c, fd), KXSD_CLI_OK);

    // Sent, reply not read: the stream is out of step, so the link goes.
    ASSERT_EQ(kxsd_cli_set_send_mode(c, KXSD_SEND_NO_REPLY), 0);
    EXPECT_EQ(cli_sync(c, fd), KXSD_CLI_NET_ERR);
    ASSERT_EQ(kxsd_cli_set_send_mode(c, KXSD_SEND_NORMAL), 0);
    EXPECT_NE(cli_sync(c, fd), KXSD_CLI_OK);
    // The server's only connection has ended: its log is complete.
    ASSERT_EQ(s.srv.wait_exit(20000), 0);
    EXPECT_EQ(s.srv.requests(KXSD_CMD_SYNC).size(), 2u);
}
