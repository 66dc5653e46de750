// The command catalogue against the Python test server: what each request
// carries on the wire, what each reply fills, the version-chosen forms,
// packed and raw data, the control commands, directories, and the replies
// that must be refused.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kxsd_conn_rig.h"
#include "libkxsd/kxsd_cmd.h"
#include "libpack/pack.h"
#include "libpal/hash/md5.h"
#include "support/log_capture.h"

using namespace kxsd_rig;

namespace {

// Bytes that do not pack: every block of LZ4 stays as long as it was.
std::string noise(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& ch : s) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        ch = static_cast<char>(x);
    }
    return s;
}

// A server with a file "img" of the given data, and a connection to it.
struct served {
    kxsd_server_proc srv;
    std::unique_ptr<connected> c;
    served(const std::string& data, const std::vector<std::string>& args = {}, const std::string& query = "")
        : srv(args) {
        if (!srv.started()) return;
        write_file(srv.file("img"), data);
        c = std::make_unique<connected>(url_of(srv.port(), query));
    }
    bool ok() const { return srv.started() && c && *c; }
    std::string why() const { return srv.started() ? (c ? c->why() : "no connect") : srv.error(); }
    kxsd_cli_ctx* conn() const { return c->get(); }
    int64_t open(const char* path = "/img", uint32_t flags = 0x4) {
        int64_t fd = -1;
        EXPECT_EQ(cli_open(conn(), path, flags, &fd), KXSD_CLI_OK);
        return fd;
    }
    // The last request the server logged.
    mini_json last() const {
        auto r = srv.requests();
        return r.empty() ? mini_json{} : r.back();
    }
};

std::vector<std::string> names_of(const mini_json& order) {
    std::vector<std::string> out;
    for (size_t i = 0; i < order.size(); i++) out.push_back(order[i].s());
    return out;
}

}  // namespace

TEST(KxsdCmdFile, EachRequestsFieldsAndReply) {
    served s("0123456789abcdef");
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    constexpr int I32 = BLOBMSG_TYPE_INT32, I64 = BLOBMSG_TYPE_INT64, STR = BLOBMSG_TYPE_STRING;
    struct row {
        const char* what;
        int cmd;
        std::vector<std::string> order;
        std::vector<int> types;
    };
    std::vector<row> rows;

    int64_t fd = -1;
    ASSERT_EQ(cli_open(c, "/img", 0x4, &fd), KXSD_CLI_OK);
    EXPECT_GT(fd, 0);
    rows.push_back({"open", 10, {"path", "mode"}, {STR, I64}});
    EXPECT_EQ(s.last()["fields"]["mode"].i(), 0x4);

    os_file_info info{};
    ASSERT_EQ(cli_file_info(c, fd, &info), KXSD_CLI_OK);
    EXPECT_EQ(info.type, 2u);
    EXPECT_EQ(info.size, 16u);
    EXPECT_EQ(info.offset, 0u);
    EXPECT_EQ(info.sector_size, 512u);
    EXPECT_STREQ(info.description, "kxsd test file");
    rows.push_back({"file info", 19, {"fd"}, {I64}});

    int64_t at = -1;
    ASSERT_EQ(cli_seek(c, fd, 5, 0, &at), KXSD_CLI_OK);
    EXPECT_EQ(at, 5);
    ASSERT_EQ(cli_seek(c, fd, 3, 1, &at), KXSD_CLI_OK);
    EXPECT_EQ(at, 8);
    rows.push_back({"seek", 15, {"fd", "offset", "mode"}, {I64, I64, I64}});
    ASSERT_EQ(cli_file_info(c, fd, &info), KXSD_CLI_OK);
    EXPECT_EQ(info.offset, 8u);

    ASSERT_EQ(cli_sync(c, fd), KXSD_CLI_OK);
    rows.push_back({"sync", 14, {"fd"}, {I64}});
    ASSERT_EQ(cli_truncate(c, fd, 10), KXSD_CLI_OK);
    rows.push_back({"truncate", 16, {"fd", "len"}, {I64, I64}});
    EXPECT_EQ(read_file(s.srv.file("img")), "0123456789");

    const os_file_lock_req lock{2, 100, 50};
    ASSERT_EQ(cli_lock(c, fd, &lock), KXSD_CLI_OK);
    rows.push_back({"lock", 23, {"fd", "type", "offset", "len"}, {I64, I32, I64, I64}});
    EXPECT_EQ(s.last()["fields"]["type"].i(), 2);
    EXPECT_EQ(s.last()["fields"]["offset"].i(), 100);
    EXPECT_EQ(s.last()["fields"]["len"].i(), 50);

    ASSERT_EQ(cli_close(c, fd), KXSD_CLI_OK);
    rows.push_back({"close", 11, {"fd"}, {I64}});
    // The fd is gone: the server's refusal comes back as its errno.
    EXPECT_EQ(cli_close(c, fd), KXSD_CLI_SRV_ERR);
    EXPECT_EQ(c->srv_errno, -4);

    int64_t fd2 = -1;
    ASSERT_EQ(cli_open2(c, "/new2", 0x2 | 0x4, 0644, &fd2), KXSD_CLI_OK);
    EXPECT_GT(fd2, fd);
    rows.push_back({"open2", 25, {"path", "flag", "mode"}, {STR, I32, I32}});
    int64_t fd3 = -1;
    ASSERT_EQ(cli_wopen(c, "/new3", 1, 2, 3, 4, 5, &fd3), KXSD_CLI_OK);
    EXPECT_GT(fd3, fd2);
    rows.push_back({"wopen",
                    24,
                    {"path", "desire_access", "share_mode", "sec_attrib", "creat_disp", "flag_attrib", "temp_handle"},
                    {STR, I32, I32, STR, I32, I32, I64}});
    EXPECT_EQ(s.last()["fields"]["sec_attrib"].s(), "");
    EXPECT_EQ(s.last()["fields"]["temp_handle"].i(), 5);

    int64_t none = 99;
    EXPECT_EQ(cli_open(c, "/missing", 0x1, &none), KXSD_CLI_SRV_ERR);
    EXPECT_EQ(none, 99);  // untouched on a refusal
    EXPECT_EQ(c->srv_errno, -102);

    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        auto reqs = s.srv.requests(r.cmd);
        ASSERT_FALSE(reqs.empty());
        EXPECT_EQ(names_of(reqs[0]["order"]), r.order);
        for (size_t i = 0; i < r.order.size(); i++) EXPECT_EQ(reqs[0]["types"][r.order[i]].i(), r.types[i]) << i;
        EXPECT_FALSE(reqs[0].has("error"));
    }
}

TEST(KxsdCmdStat, TheFormFollowsTheServersVersion) {
    struct row {
        const char* ver;
        int stat_cmd, fstat_cmd, times_cmd;
        bool long_form;
    };
    for (const row& r : {row{"1.5.2", 6, 21, 22, false}, row{"1.5.3", 7, 26, 27, true}}) {
        SCOPED_TRACE(r.ver);
        served s("stat me", {"--ver", r.ver});
        ASSERT_TRUE(s.ok()) << s.why();
        kxsd_cli_ctx* c = s.conn();
        const int64_t fd = s.open();

        const os_file_times t{{1600000000, 123456789}, {1500000000, 987654321}, {1400000000, 5}};
        ASSERT_EQ(cli_set_times(c, fd, &t), KXSD_CLI_OK);
        auto times = s.srv.requests(r.times_cmd);
        ASSERT_EQ(times.size(), 1u);
        EXPECT_EQ(times[0]["fields"]["time_write"].i(), 1500000000);
        EXPECT_EQ(times[0]["fields"]["time_create"].i(), 1400000000);
        EXPECT_EQ(times[0].has("fields") && times[0]["fields"].has("time_write_ns"), r.long_form);

        struct stat st{};
        ASSERT_EQ(::stat(s.srv.file("img").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, r.long_form ? 987654321 : 0);

        // The short form leaves the st_ fields as they were.
        constexpr uint64_t kUntouched = 0xABABABABABABABABull;
        for (int which = 0; which < 3; which++) {
            SCOPED_TRACE(which);
            os_file_attr a{};
            a.nlink = a.dev = a.rdev = a.ino = a.blksize = a.blocks = kUntouched;
            a.mtime.nsec = 77;
            int32_t status = which == 0   ? cli_stat(c, "/img", &a)
                             : which == 1 ? cli_fstat(c, fd, &a)
                                          : cli_stat2(c, "/img", &a);
            ASSERT_EQ(status, KXSD_CLI_OK);
            EXPECT_EQ(a.type, 2u);
            EXPECT_EQ(a.size, 7u);
            EXPECT_EQ(a.mode, st.st_mode);
            EXPECT_EQ(a.uid, st.st_uid);
            EXPECT_EQ(a.mtime.sec, 1500000000u);
            EXPECT_EQ(a.mtime.nsec, r.long_form ? 987654321u : 0u);
            EXPECT_EQ(a.ino, r.long_form ? st.st_ino : kUntouched);
            EXPECT_EQ(a.nlink, r.long_form ? st.st_nlink : kUntouched);
            EXPECT_EQ(a.blksize, r.long_form ? static_cast<uint64_t>(st.st_blksize) : kUntouched);
        }
        EXPECT_EQ(s.srv.requests(r.stat_cmd).size(), 1u);
        EXPECT_EQ(s.srv.requests(r.fstat_cmd).size(), 1u);
        EXPECT_EQ(s.srv.requests(28).size(), 1u);
        // The refusal of a missing path.
        os_file_attr a{};
        EXPECT_EQ(cli_stat(c, "/missing", &a), KXSD_CLI_SRV_ERR);
        EXPECT_EQ(c->srv_errno, -102);
    }
}

TEST(KxsdCmdData, ReadsPlainAndRaw) {
    const std::string data = noise(300000) + std::string(300000, 'z');
    for (const char* pack : {"lz4", "none"}) {
        SCOPED_TRACE(pack);
        served s(data, {}, std::string("pack=") + pack);
        ASSERT_TRUE(s.ok()) << s.why();
        kxsd_cli_ctx* c = s.conn();
        const int64_t fd = s.open();
        const int32_t n = 250000;

        // At an offset (29), then at the position it left (12).
        std::vector<char> buf(n);
        int32_t plain = -1, packed = -1;
        ASSERT_EQ(cli_read_imp(c, fd, buf.data(), n, &plain, &packed, 0, 200000), KXSD_CLI_OK);
        EXPECT_EQ(plain, n);
        EXPECT_TRUE(std::string(buf.data(), n) == data.substr(200000, n));
        auto r29 = s.last();
        EXPECT_EQ(r29["cmd"].i(), KXSD_CMD_PREAD);
        EXPECT_EQ(names_of(r29["order"]), (std::vector<std::string>{"fd", "len", "offset"}));
        EXPECT_EQ(r29["fields"]["offset"].i(), 200000);
        ASSERT_EQ(cli_read_imp(c, fd, buf.data(), n, &plain, nullptr, 0, KXSD_OFFSET_CUR), KXSD_CLI_OK);
        EXPECT_EQ(plain, 600000 - 450000);  // the end of the file
        EXPECT_TRUE(std::string(buf.data(), plain) == data.substr(450000));
        EXPECT_EQ(s.last()["cmd"].i(), KXSD_CMD_READ);
        EXPECT_EQ(names_of(s.last()["order"]), (std::vector<std::string>{"fd", "len"}));

        // Raw: the packed bytes as they came, the plain length beside them.
        std::vector<char> raw(2 * static_cast<size_t>(n));
        ASSERT_EQ(cli_read_imp(c, fd, raw.data(), n, &plain, &packed, 1, 320000), KXSD_CLI_OK);
        EXPECT_EQ(plain, n);
        zcomp_ctx z{};
        std::strcpy(z.name, pack);
        ASSERT_EQ(zcomp_open_ex(&z), 0);
        std::vector<char> back(n);
        EXPECT_EQ(zcomp_unpack(&z, raw.data(), packed, back.data(), n), n);
        zcomp_close(&z);
        EXPECT_TRUE(std::string(back.data(), n) == data.substr(320000, n));
        if (std::strcmp(pack, "lz4") == 0) {
            EXPECT_LT(packed, n);
        } else {
            EXPECT_EQ(packed, n);
        }

        // Past the end: nothing.
        ASSERT_EQ(cli_read_imp(c, fd, buf.data(), n, &plain, &packed, 0, 600000), KXSD_CLI_OK);
        EXPECT_EQ(plain, 0);
        EXPECT_EQ(packed, 0);
    }
}

TEST(KxsdCmdData, RepliesThatAreRefused) {
    struct row {
        const char* what;
        std::string fault;
        const char* pack;
        int raw;
        int32_t status;
        const char* log;  // a line the client logged, or none
    };
    const row rows[] = {
        // Within the room, but not the packed form of the reply's length.
        {"raw: packed data of exactly twice the length", "datalen:cmd=29,value=2x", "lz4", 1, KXSD_CLI_UNPACK_ERR,
         "reply len=1000: its 2000 bytes of data do not unpack to it"},
        {"raw: one byte more", "datalen:cmd=29,value=2x+1", "lz4", 1, KXSD_CLI_UNPACK_ERR, "pack_len=2001 > 2*len=2000"},
        {"raw: a plain length above the request", "payload:cmd=29,field=len,hex=7fffffff", "none", 1,
         KXSD_CLI_UNPACK_ERR, "plain len=2147483647 > len=1000"},
        {"raw: a negative plain length", "payload:cmd=29,field=len,hex=ffffffff", "none", 1, KXSD_CLI_UNPACK_ERR,
         "plain len=-1"},
        {"plain, none: more data than asked", "datalen:cmd=29,value=+100", "none", 0, KXSD_CLI_UNPACK_ERR,
         "sdcomp_unpack pack_len=1100 buf_len=1000"},
        {"plain, lz4: data that does not unpack", "datalen:cmd=29,value=+100", "lz4", 0, KXSD_CLI_UNPACK_ERR,
         "sdcomp_unpack pack_len=1100 buf_len=1000"},
        // Data short of the reply's own length: no read at all, plain or packed.
        {"plain, none: data short of its len", "shortdata:cmd=29,by=5", "none", 0, KXSD_CLI_UNPACK_ERR,
         "reply len=1000: its 995 bytes of data unpack to 995"},
        {"plain, lz4: data short of its len", "shortdata:cmd=29,by=5", "lz4", 0, KXSD_CLI_UNPACK_ERR,
         "reply len=1000"},
        {"raw, none: data short of its len", "shortdata:cmd=29,by=5", "none", 1, KXSD_CLI_UNPACK_ERR,
         "reply len=1000: its 995 bytes of data do not unpack to it"},
        {"raw, lz4: data short of its len", "shortdata:cmd=29,by=5", "lz4", 1, KXSD_CLI_UNPACK_ERR,
         "do not unpack to it"},
        {"reply without its data", "drop:cmd=29,field=data", "lz4", 0, KXSD_CLI_DATA_ERR, "parse data error"},
        {"server refuses", "errno:cmd=29,value=-258,text=media gone", "lz4", 0, KXSD_CLI_SRV_ERR, nullptr},
        {"server closes", "close:cmd=29", "lz4", 0, KXSD_CLI_TIMEOUT, "client_recv_response ret=3"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        served s(noise(5000), {"--fault", r.fault}, std::string("pack=") + r.pack);
        ASSERT_TRUE(s.ok()) << s.why();
        const int64_t fd = s.open();
        log_capture cap;
        // Exactly the room the call may use, so that any overrun shows.
        const int32_t len = 1000;
        std::vector<char> buf(r.raw ? 2 * len : len);
        int32_t plain = -1, packed = -1;
        EXPECT_EQ(cli_read_imp(s.conn(), fd, buf.data(), len, &plain, &packed, r.raw, 0), r.status);
        EXPECT_EQ(plain, -1);
        EXPECT_EQ(packed, -1);
        if (r.status == KXSD_CLI_SRV_ERR) {
            kxsd_cli_set_last_error(s.conn(), r.status);
            EXPECT_EQ(s.c->err->code, -258);
            EXPECT_STREQ(s.c->err->message, "media gone");
        }
        if (r.log) {
            EXPECT_TRUE(cap.contains(r.log)) << cap.all();
        }
    }
}

TEST(KxsdCmdData, Writes) {
    for (const char* pack : {"lz4", "none"}) {
        SCOPED_TRACE(pack);
        served s("", {}, std::string("pack=") + pack);
        ASSERT_TRUE(s.ok()) << s.why();
        kxsd_cli_ctx* c = s.conn();
        const int64_t fd = s.open();
        const std::string a = noise(70000), b(90000, 'b');

        int32_t wrote = -1;
        ASSERT_EQ(cli_write_imp(c, fd, b.data(), static_cast<int32_t>(b.size()), &wrote, 0, 0, 1000), KXSD_CLI_OK);
        EXPECT_EQ(wrote, static_cast<int32_t>(b.size()));
        EXPECT_EQ(c->written, 1u);
        auto w30 = s.last();
        EXPECT_EQ(w30["cmd"].i(), KXSD_CMD_PWRITE);
        EXPECT_EQ(names_of(w30["order"]), (std::vector<std::string>{"fd", "flags", "len", "offset", "data"}));
        EXPECT_EQ(w30["fields"]["flags"].i(), 0);
        EXPECT_EQ(w30["plain_len"].i(), 90000);
        if (std::strcmp(pack, "lz4") == 0) {
            EXPECT_LT(w30["fields"]["data"]["len"].i(), 1000);
        }

        // At the position (13) after a seek to 0.
        ASSERT_EQ(cli_seek(c, fd, 0, 0, nullptr), KXSD_CLI_OK);
        ASSERT_EQ(cli_write_imp(c, fd, a.data(), 1000, &wrote, 0, 0, KXSD_OFFSET_CUR), KXSD_CLI_OK);
        EXPECT_EQ(s.last()["cmd"].i(), KXSD_CMD_WRITE);
        EXPECT_EQ(names_of(s.last()["order"]), (std::vector<std::string>{"fd", "flags", "len", "data"}));

        // Raw: bytes packed by the caller go as they are; "len" is the plain length.
        zcomp_ctx z{};
        std::strcpy(z.name, pack);
        ASSERT_EQ(zcomp_open_ex(&z), 0);
        std::vector<char> packed(zcomp_bound(a.size()));
        const int64_t plen = zcomp_pack(&z, a.data(), static_cast<int64_t>(a.size()), packed.data(),
                                        static_cast<int64_t>(packed.size()));
        zcomp_close(&z);
        ASSERT_GT(plen, 0);
        ASSERT_EQ(cli_write_imp(c, fd, packed.data(), static_cast<int32_t>(a.size()), &wrote,
                                static_cast<int32_t>(plen), 1, 91000),
                  KXSD_CLI_OK);
        EXPECT_EQ(wrote, static_cast<int32_t>(a.size()));
        EXPECT_EQ(s.last()["fields"]["data"]["len"].i(), plen);
        EXPECT_EQ(s.last()["fields"]["len"].i(), static_cast<int64_t>(a.size()));

        // Nothing to write.
        ASSERT_EQ(cli_write_imp(c, fd, nullptr, 0, &wrote, 0, 0, 0), KXSD_CLI_OK);
        EXPECT_EQ(wrote, 0);

        EXPECT_TRUE(read_file(s.srv.file("img")) == a.substr(0, 1000) + b + a);
    }
}

TEST(KxsdCmdData, WriteFailures) {
    // Rules are tried in order and count only the requests they are asked about.
    served s("", {"--fault", "payload:cmd=30,nth=2,field=len,hex=00100000", "--fault", "shortwrite:cmd=30,by=10"});
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    const int64_t fd = s.open();
    const std::string data = noise(5000);
    int32_t wrote = -1;
    // A short write is the server's count, not an error.
    ASSERT_EQ(cli_write_imp(c, fd, data.data(), 5000, &wrote, 0, 0, 0), KXSD_CLI_OK);
    EXPECT_EQ(wrote, 4990);
    // A count above what was sent is not believed.
    wrote = -1;
    EXPECT_EQ(cli_write_imp(c, fd, data.data(), 5000, &wrote, 0, 0, 0), KXSD_CLI_DATA_ERR);
    EXPECT_EQ(wrote, -1);

    // The largest block, incompressible, fits one body even packed.
    const std::string big = noise(KXSD_BLOCK_SIZE_MAX, 7);
    ASSERT_EQ(cli_write_imp(c, fd, big.data(), KXSD_BLOCK_SIZE_MAX, &wrote, 0, 0, 0), KXSD_CLI_OK);
    EXPECT_EQ(wrote, KXSD_BLOCK_SIZE_MAX);
    // One that cannot fit is refused before anything is sent.
    const size_t sent = s.srv.requests().size();
    const std::string huge = noise(16 << 20, 9);
    EXPECT_EQ(cli_write_imp(c, fd, huge.data(), 16 << 20, &wrote, 0, 0, 0), KXSD_CLI_MEM_ERR);
    EXPECT_EQ(cli_write_imp(c, fd, huge.data(), 100, &wrote, 16 << 20, 1, 0), KXSD_CLI_MEM_ERR);
    EXPECT_EQ(s.srv.requests().size(), sent);
    // The connection is still in step.
    EXPECT_EQ(cli_sync(c, fd), KXSD_CLI_OK);
}

TEST(KxsdCmdData, StoredFilesAndPatternWrites) {
    served s("", {"--ver", "1.6.1"});
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    const std::string data = noise(30000) + std::string(30000, 'q');
    int32_t n = -1;
    ASSERT_EQ(::mkdir(s.srv.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(cli_put_data(c, "/dir", "stored.bin", 0, data.data(), static_cast<int32_t>(data.size()), &n),
              KXSD_CLI_OK);
    EXPECT_EQ(n, static_cast<int32_t>(data.size()));
    EXPECT_TRUE(read_file(s.srv.file("dir/stored.bin")) == data);
    EXPECT_EQ(names_of(s.last()["order"]), (std::vector<std::string>{"path", "name", "flags", "len", "data"}));

    const int64_t fd = s.open();
    ASSERT_EQ(cli_pwritex(c, fd, 0x5A, 3000, 100, &n), KXSD_CLI_OK);
    EXPECT_EQ(n, 3000);
    EXPECT_EQ(names_of(s.last()["order"]), (std::vector<std::string>{"fd", "mode", "len", "offset"}));
    EXPECT_EQ(read_file(s.srv.file("img")), std::string(100, '\0') + std::string(3000, 'Z'));
}

TEST(KxsdCmdIoctl, FileControlAndThePackSwitch) {
    served s(std::string(50000, 'p'));
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    const int64_t fd = s.open();

    struct row {
        const char* what;
        int64_t fd;
        int32_t code;
        const char* data;
        int32_t dlen;
        int32_t sent_len;
    };
    const row rows[] = {
        {"pack name with its NUL", 0, KXSD_IOCTL_PACK, "lz4", KXSD_DATA_TEXT, 4},
        {"read time-out of a file", fd, KXSD_IOCTL_READ_TIMEOUT, "9000", KXSD_DATA_TEXT, 5},
        {"explicit length", fd, KXSD_IOCTL_TEXT, "abcdef", 2, 2},
        {"no data", fd, KXSD_IOCTL_WRITE_TIMEOUT, nullptr, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(cli_file_ioctl(c, r.fd, r.code, r.data, r.dlen), KXSD_CLI_OK);
        const mini_json q = s.last();
        EXPECT_EQ(names_of(q["order"]), (std::vector<std::string>{"fd", "cmd", "len", "data"}));
        EXPECT_EQ(q["fields"]["fd"].i(), r.fd);
        EXPECT_EQ(q["code"].i(), r.code);
        EXPECT_EQ(q["fields"]["len"].i(), r.sent_len);
        EXPECT_EQ(q["fields"]["data"]["len"].i(), r.sent_len);
    }

    // Switching to "none": both ends change; data still comes back whole.
    ASSERT_EQ(cli_file_ioctl(c, 0, KXSD_IOCTL_PACK, "none", KXSD_DATA_TEXT), KXSD_CLI_OK);
    EXPECT_STREQ(c->pack.name, "none");
    EXPECT_EQ(pack_handle_id(c->pack.handle), PACK_NONE);
    std::vector<char> buf(50000);
    int32_t plain = 0, packed = 0;
    ASSERT_EQ(cli_read_imp(c, fd, buf.data(), 50000, &plain, &packed, 0, 0), KXSD_CLI_OK);
    EXPECT_EQ(packed, 50000);
    EXPECT_TRUE(std::string(buf.data(), 50000) == std::string(50000, 'p'));

    // A method the server refuses changes nothing on this side.
    EXPECT_EQ(cli_file_ioctl(c, 0, KXSD_IOCTL_PACK, "zstd", KXSD_DATA_TEXT), KXSD_CLI_SRV_ERR);
    EXPECT_EQ(c->srv_errno, -37);
    EXPECT_STREQ(c->pack.name, "none");
    ASSERT_NE(c->pack.handle, nullptr);

    // Back to lz4 through the connection's own switch.
    std::strcpy(c->pack.name, "lz4");
    ASSERT_EQ(kxsd_cli_pack_switch(c), 0);
    EXPECT_EQ(pack_handle_id(c->pack.handle), PACK_LZ4);
    EXPECT_EQ(s.last()["text"].s(), "lz4");
    ASSERT_EQ(cli_read_imp(c, fd, buf.data(), 50000, &plain, &packed, 0, 0), KXSD_CLI_OK);
    EXPECT_LT(packed, 1000);
}

TEST(KxsdCmdIoctl, AnswersOfTheControlCommand) {
    served s(noise(100000));
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    const std::string conf = "allow_set_readonly=1\n";  // sent with its NUL

    {
        SCOPED_TRACE("whole answer, terminated");
        char buf[64];
        std::memset(buf, 'x', sizeof buf);
        int32_t n = -1;
        ASSERT_EQ(cli_ioctl2(c, 0, KXSD_IOCTL2_SRV_CONF, nullptr, 0, buf, sizeof buf, &n), KXSD_CLI_OK);
        EXPECT_EQ(n, static_cast<int32_t>(conf.size() + 1));
        EXPECT_STREQ(buf, conf.c_str());
        const mini_json q = s.last();
        EXPECT_EQ(names_of(q["order"]), (std::vector<std::string>{"fd", "cmd", "data", "olen"}));
        EXPECT_EQ(q["fields"]["olen"].i(), 64);
        EXPECT_EQ(q["fields"]["data"]["len"].i(), 0);
    }
    {
        SCOPED_TRACE("cut to the buffer");
        std::vector<char> buf(8);  // exactly, so that an overrun shows
        int32_t n = -1;
        ASSERT_EQ(cli_ioctl2(c, 0, KXSD_IOCTL2_SRV_CONF, nullptr, 0, buf.data(), 8, &n), KXSD_CLI_OK);
        EXPECT_EQ(n, 8);
        EXPECT_EQ(std::string(buf.data(), 8), conf.substr(0, 8));
        std::vector<char> text(8);
        ASSERT_EQ(cli_ioctl2_text(c, 0, KXSD_IOCTL2_SRV_CONF, nullptr, 0, text.data(), 8, &n), KXSD_CLI_OK);
        EXPECT_EQ(n, 7);
        EXPECT_STREQ(text.data(), conf.substr(0, 7).c_str());
    }
    {
        SCOPED_TRACE("a raw digest with its data as text");
        int64_t fd = -1;
        ASSERT_EQ(cli_open(c, "/img", 0x1, &fd), KXSD_CLI_OK);
        char start[128];
        std::snprintf(start, sizeof start, "%llx\t%u\t%u\t%u\t%s", static_cast<unsigned long long>(fd), 1u,
                      1u << 20, 1u, "");
        ASSERT_EQ(cli_ioctl2(c, fd, KXSD_IOCTL2_HASH_INIT, start, KXSD_DATA_TEXT, nullptr, 0, nullptr), KXSD_CLI_OK);
        EXPECT_EQ(s.last()["text"].s(), start);
        char state[256];
        int32_t n = 0;
        ASSERT_EQ(cli_ioctl2_text(c, fd, KXSD_IOCTL2_HASH_CAL, "0\t100000", KXSD_DATA_TEXT, state, sizeof state, &n),
                  KXSD_CLI_OK);
        EXPECT_EQ(std::string(state).rfind("md5 ", 0), 0u) << state;
        uint8_t digest[16];
        ASSERT_EQ(cli_ioctl2(c, fd, KXSD_IOCTL2_HASH_GET, "1", KXSD_DATA_TEXT, digest, sizeof digest, &n),
                  KXSD_CLI_OK);
        EXPECT_EQ(n, 16);
        uint8_t want[16];
        const std::string data = read_file(s.srv.file("img"));
        pl_md5_buf(data.data(), data.size(), want);
        EXPECT_EQ(std::memcmp(digest, want, 16), 0);
    }
    {
        SCOPED_TRACE("no reply for 105, and the stream stays in step");
        int32_t n = -1;
        char buf[16];
        ASSERT_EQ(cli_ioctl2(c, 0, KXSD_IOCTL2_ATTACH_CTX_REPLY, "7", KXSD_DATA_TEXT, buf, sizeof buf, &n),
                  KXSD_CLI_OK);
        EXPECT_EQ(n, 0);
        ASSERT_EQ(cli_ioctl2(c, 0, KXSD_IOCTL2_CTX_OPEN, "0", KXSD_DATA_TEXT, nullptr, 0, nullptr), KXSD_CLI_OK);
        c->resume_enabled = 1;
        ASSERT_EQ(cli_ioctl2_text(c, 0, KXSD_IOCTL2_CTX_ID, nullptr, 0, buf, sizeof buf, &n), KXSD_CLI_OK);
        EXPECT_STREQ(buf, "4100");  // the server's first context
        EXPECT_EQ(c->resume_enabled, 1);  // restored after the read
        c->resume_enabled = 0;
        // The server has answered the request after it, so its log holds both.
        auto reqs = s.srv.requests(KXSD_CMD_IOCTL2);
        ASSERT_GE(reqs.size(), 3u);
        EXPECT_EQ(reqs[reqs.size() - 3]["code"].i(), KXSD_IOCTL2_ATTACH_CTX_REPLY);
        EXPECT_TRUE(reqs[reqs.size() - 3]["no_reply"].b);
    }
    {
        SCOPED_TRACE("a code the server does not know");
        char buf[16];
        EXPECT_EQ(cli_ioctl2(c, 0, 31337, nullptr, 0, buf, sizeof buf, nullptr), KXSD_CLI_SRV_ERR);
        EXPECT_EQ(c->srv_errno, -37);
    }
}

TEST(KxsdCmdDir, ListingsByVersion) {
    for (const char* ver : {"1.5.2", "1.6.8"}) {
        SCOPED_TRACE(ver);
        served s("", {"--ver", ver});
        ASSERT_TRUE(s.ok()) << s.why();
        kxsd_cli_ctx* c = s.conn();
        ASSERT_EQ(::mkdir(s.srv.file("d").c_str(), 0755), 0);
        write_file(s.srv.file("d/a.bin"), std::string(123, 'a'));
        write_file(s.srv.file("d/b c.bin"), std::string(45, 'b'));
        write_file(s.srv.file("d/skip.txt"), "x");

        int64_t fd = -1;
        ASSERT_EQ(cli_opendir(c, "/d", "*.bin", &fd), KXSD_CLI_OK);
        EXPECT_EQ(names_of(s.last()["order"]), (std::vector<std::string>{"path", "pattern"}));
        std::vector<char> list(4096);
        int32_t n = -1;
        ASSERT_EQ(cli_readdir(c, fd, list.data(), 4096, &n), KXSD_CLI_OK);
        const bool long_form = c->long_stat != 0;
        EXPECT_EQ(s.last()["cmd"].i(), long_form ? KXSD_CMD_READDIR_LONG : KXSD_CMD_READDIR);
        EXPECT_EQ(s.last()["fields"]["len"].i(), 4096);

        std::string text(list.data(), static_cast<size_t>(n));
        std::vector<kxsd_dir_entry> entries;
        size_t at = 0;
        for (size_t nl; (nl = text.find('\n', at)) != std::string::npos && nl > at; at = nl + 1) {
            kxsd_dir_entry e;
            ASSERT_EQ(kxsd_dir_line_parse(std::string_view(text).substr(at, nl - at), long_form, &e), 0);
            entries.push_back(e);
        }
        EXPECT_EQ(text.substr(at), "\n");  // the empty line that ends the listing
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_STREQ(entries[0].name, "a.bin");
        EXPECT_EQ(entries[0].attr.size, 123u);
        EXPECT_STREQ(entries[1].name, "b c.bin");
        EXPECT_EQ(entries[1].attr.size, 45u);
        EXPECT_STREQ(entries[1].text, "-");
        struct stat st{};
        ASSERT_EQ(::stat(s.srv.file("d/a.bin").c_str(), &st), 0);
        EXPECT_EQ(entries[0].attr.mtime.sec, static_cast<uint64_t>(st.st_mtim.tv_sec));
        EXPECT_EQ(entries[0].attr.ino, long_form ? st.st_ino : 0u);

        ASSERT_EQ(cli_closedir(c, fd), KXSD_CLI_OK);
        EXPECT_EQ(cli_readdir(c, fd, list.data(), 4096, &n), KXSD_CLI_SRV_ERR);
    }
}

TEST(KxsdCmdDir, ListingLines) {
    struct row {
        const char* what;
        std::string line;
        bool long_form;
        int ret;
        const char* text;
        const char* name;
        uint64_t size, nlink;
    };
    const std::string long_name(5000, 'n');
    const std::string cut_name = long_name.substr(0, 4095);
    const row rows[] = {
        {"short", "2\t420\t0\t0\t1\t2\t3\t99\tt\tname", false, 0, "t", "name", 99, 0},
        {"long", "2\t420\t0\t0\t1\t2\t3\t99\t4\t5\t6\t7\t8\t9\t10\t11\t12\tt\tname", true, 0, "t", "name", 99, 7},
        {"name with blanks, no text", "1\t0\t0\t0\t0\t0\t0\t0\ta b", false, 0, "", "a b", 0, 0},
        {"text holding a tab", "1\t0\t0\t0\t0\t0\t0\t5\tx\ty\tz", false, 0, "x\ty", "z", 5, 0},
        {"too few numbers", "1\t2\t3", false, -1, nullptr, nullptr, 0, 0},
        {"short line read as long", "2\t420\t0\t0\t1\t2\t3\t99\tt\tname", true, -1, nullptr, nullptr, 0, 0},
        {"not a number", "2\t4x0\t0\t0\t1\t2\t3\t99\tt\tname", false, -1, nullptr, nullptr, 0, 0},
        {"name cut to its room", "1\t0\t0\t0\t0\t0\t0\t0\t-\t" + long_name, false, 0, "-",
         cut_name.c_str(), 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kxsd_dir_entry e;
        ASSERT_EQ(kxsd_dir_line_parse(r.line, r.long_form, &e), r.ret);
        if (r.ret != 0) continue;
        EXPECT_STREQ(e.text, r.text);
        EXPECT_STREQ(e.name, r.name);
        EXPECT_EQ(e.attr.size, r.size);
        EXPECT_EQ(e.attr.nlink, r.nlink);
    }
}
