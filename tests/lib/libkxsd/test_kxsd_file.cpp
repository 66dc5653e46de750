// Remote files against the Python test server: open and close, reads in
// chunks of the block size with their one restart after a failed large
// request, writes, packed pass-through, position bookkeeping across a
// restart, the control calls and directories.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kxsd_file_rig.h"
#include "libblock/bd.h"
#include "libkxsd/kxsd_cmd.h"
#include "libpack/pack.h"
#include "libpal/os/os_file.h"
#include "support/log_capture.h"

using namespace kxsd_file_rig;

namespace {

constexpr int64_t MiB = 1 << 20;

file_ptr open_img(const served& s, uint32_t flags = 0x4) {
    return file_ptr(kxsd_cli_open(s.conn(), "/img", flags));
}

std::vector<int64_t> lens_of(const std::vector<mini_json>& reqs) {
    std::vector<int64_t> out;
    for (const mini_json& r : reqs) out.push_back(r["fields"]["len"].i());
    return out;
}

}  // namespace

TEST(KxsdFile, OpenRegistersAndCloseForgets) {
    served s("abc");
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_file_ctx* f = kxsd_cli_open(s.conn(), "/img", 0x4);
    ASSERT_NE(f, nullptr) << s.msg();
    EXPECT_EQ(f->kind, KXSD_KIND_FILE);
    EXPECT_STREQ(f->path, "/img");
    EXPECT_EQ(f->flags, 0x4u);
    EXPECT_EQ(f->fd, 7);  // the server's first handle
    EXPECT_EQ(mem_ptr_count(&s.conn()->files), 1u);
    EXPECT_EQ(kxsd_cli_close(f), 0);
    EXPECT_EQ(mem_ptr_count(&s.conn()->files), 0u);
    EXPECT_EQ(s.reqs(KXSD_CMD_CLOSE).size(), 1u);

    // A file still open when the connection ends is closed and freed with it.
    ASSERT_NE(kxsd_cli_open(s.conn(), "/img", 0x1), nullptr);
}

TEST(KxsdFile, RefusedCloseFailsAndFreesTheHandle) {
    served s("abc", {"--fault", "errno:cmd=11,value=-4,text=bad fd"});
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_file_ctx* f = kxsd_cli_open(s.conn(), "/img", 0x1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kxsd_cli_close(f), -1);
    EXPECT_EQ(s.err().code, -4);
    EXPECT_EQ(s.msg(), "bad fd");
    EXPECT_EQ(mem_ptr_count(&s.conn()->files), 0u);
}

TEST(KxsdFile, OpenFailuresCarryTheReason) {
    {
        SCOPED_TRACE("a missing file: the server's errno and text");
        served s("abc");
        ASSERT_TRUE(s.ok()) << s.why();
        EXPECT_EQ(kxsd_cli_open(s.conn(), "/missing", 0x1), nullptr);
        EXPECT_EQ(s.err().code, -102);
        EXPECT_NE(s.msg().find("No such file"), std::string::npos) << s.msg();
        EXPECT_EQ(mem_ptr_count(&s.conn()->files), 0u);
    }
    struct vss_case {
        const char* ver;
        bool sent;
    };
    for (const vss_case& c : {vss_case{"1.6.6", false}, vss_case{"1.6.7", true}}) {
        SCOPED_TRACE(c.ver);
        served s("abc", {"--ver", c.ver});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f(kxsd_cli_open(s.conn(), "/img", 0x10001));
        EXPECT_EQ(f != nullptr, c.sent) << s.msg();
        EXPECT_EQ(s.reqs(KXSD_CMD_OPEN).size(), c.sent ? 1u : 0u);
        if (!c.sent) {
            EXPECT_EQ(s.err().code, VERR_NOT_IMPLEMENTED);
            EXPECT_EQ(s.msg(), KXSD_UPGRADE_TEXT);
        }
    }
}

// Reads go in chunks of the block size; a reply shorter than asked is the
// end of the file. The server's version picks a seek with command 12 or
// command 29 with the offset.
TEST(KxsdFileRead, ChunksOfTheBlockSizeByVersion) {
    const std::string data = noise(5 * MiB / 2, 3);
    struct ver_case {
        const char* ver;
        int cmd;
        bool seeks;
    };
    for (const ver_case& c : {ver_case{"1.6.3", KXSD_CMD_READ, true}, ver_case{"1.6.4", KXSD_CMD_PREAD, false}}) {
        SCOPED_TRACE(c.ver);
        served s(data, {"--ver", c.ver}, "mblock-size=1M");
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f) << s.msg();
        std::string buf(3 * MiB, 'x');
        EXPECT_EQ(kxsd_cli_read(f.get(), buf.data(), 3 * MiB, 0), static_cast<int64_t>(data.size()));
        EXPECT_TRUE(buf.substr(0, data.size()) == data);
        EXPECT_EQ(lens_of(s.reqs(c.cmd)), (std::vector<int64_t>{MiB, MiB, MiB}));
        EXPECT_EQ(s.reqs(KXSD_CMD_SEEK).size(), c.seeks ? 1u : 0u);
        if (c.cmd == KXSD_CMD_PREAD) {
            auto r = s.reqs(c.cmd);
            EXPECT_EQ(r[1]["fields"]["offset"].i(), MiB);
            EXPECT_EQ(r[2]["fields"]["offset"].i(), 2 * MiB);
        }
        EXPECT_EQ(f->pos, data.size());
        EXPECT_EQ(s.conn()->max_reply, MiB);
        // At the end of the file: 0 bytes.
        EXPECT_EQ(kxsd_cli_read(f.get(), buf.data(), 10, KXSD_OFFSET_CUR), 0);
    }
}

struct recover_case {
    const char* name;
    std::vector<std::string> args;  // server options (faults)
    std::string query;
    int64_t len;
    bool ok;                 // the read returns len
    size_t connects;         // connections the server saw
    int32_t code;            // the error record's code on failure
    std::vector<int64_t> lens_after;  // read lengths on the second connection
};

// The recovery of a failed read: a large chunk on a connection that never
// carried a large reply restarts once and goes on in 204800-byte chunks;
// everything else gives up.
TEST(KxsdFileRead, RecoveryTable) {
    const std::string data = noise(9 * MiB, 5);
    const std::vector<int64_t> small = {204800, 204800, 204800, 204800, 204800, 204800, 204800, 204800, 204800, 204800,
                                        204800, 204800, 204800, 204800, 204800, 3 * MiB - 15 * 204800};
    const recover_case cases[] = {
        {"drop at the first large chunk", {"--fault", "close:cmd=29"}, "mblock-size=1M", 3 * MiB, true, 2, 0, small},
        {"drop again after the restart", {"--fault", "close:cmd=29,times=2"}, "mblock-size=1M", 3 * MiB, false, 2, -40,
         {204800}},
        {"drop after a 4 MiB reply", {"--fault", "close:cmd=29,nth=2"}, "mblock-size=4M", 8 * MiB, false, 1, -40, {}},
        {"file gone", {"--fault", "errno:cmd=29,value=-102,text=gone"}, "mblock-size=1M", 3 * MiB, false, 1, -102, {}},
        {"device gone", {"--fault", "errno:cmd=29,value=-258,text=gone"}, "mblock-size=1M", 3 * MiB, false, 1, -258, {}},
        {"a small chunk", {"--fault", "close:cmd=29"}, "mblock-size=1M", 204800, false, 1, -40, {}},
    };
    for (const recover_case& c : cases) {
        SCOPED_TRACE(c.name);
        served s(data, c.args, c.query);
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f) << s.msg();
        std::string buf(static_cast<size_t>(c.len), 'x');
        log_capture cap;
        const int64_t n = kxsd_cli_read(f.get(), buf.data(), c.len, 0);
        if (c.ok) {
            EXPECT_EQ(n, c.len) << s.msg();
            EXPECT_TRUE(buf == data.substr(0, static_cast<size_t>(c.len))) << "the data differs";
            EXPECT_EQ(f->pos, static_cast<uint64_t>(c.len));
        } else {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(s.err().code, c.code) << s.msg();
        }
        EXPECT_EQ(s.connects(), c.connects);
        if (c.connects == 2) {
            EXPECT_TRUE(cap.contains("ctx->block_size=204800!!")) << cap.all();
            EXPECT_EQ(s.conn()->block_size, KXSD_SMALL_BLOCK);
            // The restart: the path opened again, a seek to where the failed
            // chunk started, the pack switch, then the small chunks.
            std::vector<int> second;
            std::vector<mini_json> reads;
            for (const mini_json& r : s.srv.requests()) {
                if (r["conn"].i() != 2 || r["cmd"].i() == KXSD_CMD_LOGIN) continue;
                second.push_back(static_cast<int>(r["cmd"].i()));
                if (r["cmd"].i() == KXSD_CMD_PREAD) reads.push_back(r);
                if (r["cmd"].i() == KXSD_CMD_SEEK) {
                    EXPECT_EQ(r["fields"]["offset"].i(), 0);
                }
                if (r["cmd"].i() == KXSD_CMD_FILE_IOCTL) {
                    EXPECT_EQ(r["code"].i(), KXSD_IOCTL_PACK);
                }
            }
            ASSERT_GE(second.size(), 3u);
            EXPECT_EQ(std::vector<int>(second.begin(), second.begin() + 3),
                      (std::vector<int>{KXSD_CMD_OPEN, KXSD_CMD_SEEK, KXSD_CMD_FILE_IOCTL}));
            EXPECT_EQ(lens_of(reads), c.lens_after);
        } else {
            EXPECT_EQ(s.reqs(KXSD_CMD_OPEN).size(), 1u) << "no restart";
        }
    }
}

// After a restart the read goes on where the server was: positions that
// reads at the current position, packed reads and seeks moved are kept.
TEST(KxsdFileRead, RestartResumesAtTheServersPosition) {
    const std::string data = noise(3 * MiB, 9);
    // A server without offsets: every read is at its current position.
    served s(data, {"--ver", "1.6.3", "--fault", "close:cmd=12,nth=3"}, "mblock-size=1M");
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    std::string head(100000, 'x');
    ASSERT_EQ(kxsd_cli_read(f.get(), head.data(), 100000, KXSD_OFFSET_CUR), 100000);
    // A packed read moves the server's position as well.
    std::vector<char> packed(2 * 50000);
    int64_t zlen = 0;
    ASSERT_EQ(kxsd_cli_readz(f.get(), packed.data(), 50000, &zlen, KXSD_OFFSET_CUR), 50000);
    EXPECT_EQ(f->pos, 150000u);
    // The third read request drops the connection.
    std::string rest(2 * MiB, 'x');
    ASSERT_EQ(kxsd_cli_read(f.get(), rest.data(), 2 * MiB, KXSD_OFFSET_CUR), 2 * MiB) << s.msg();
    EXPECT_TRUE(rest == data.substr(150000, 2 * MiB)) << "the data after the restart is not where the read was";
    EXPECT_EQ(s.connects(), 2u);
    const auto seeks = s.reqs(KXSD_CMD_SEEK);
    ASSERT_FALSE(seeks.empty());
    EXPECT_EQ(seeks.back()["fields"]["offset"].i(), 150000);
    EXPECT_EQ(seeks.back()["conn"].i(), 2);
}

// The restart opens the file again without its create and truncate flags:
// what was written before it stays.
TEST(KxsdFileRead, RestartNeverTruncatesTheFile) {
    const std::string data = noise(2 * MiB, 13);
    served s("old", {"--fault", "close:cmd=29"}, "mblock-size=1M");
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s, 0x4 | 0x8 | 0x20);
    ASSERT_TRUE(f);
    ASSERT_EQ(kxsd_cli_write(f.get(), data.data(), 2 * MiB, 0), 2 * MiB) << s.msg();
    std::string buf(2 * MiB, 'x');
    ASSERT_EQ(kxsd_cli_read(f.get(), buf.data(), 2 * MiB, 0), 2 * MiB) << s.msg();
    EXPECT_TRUE(buf == data);
    EXPECT_TRUE(read_file(s.srv.file("img")) == data);
    const auto opens = s.reqs(KXSD_CMD_OPEN);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["fields"]["mode"].i(), 0x2c);
    EXPECT_EQ(opens[1]["fields"]["mode"].i(), 0x4);
}

// A read that sees the caller's stop request gives up at once: no restart.
TEST(KxsdFileRead, StopRequestIsNotRetried) {
    stop_flag stop{};
    served s(noise(2 * MiB), {}, "mblock-size=1M", &stop);
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    std::string buf(2 * MiB, 'x');
    stop.stop = 1;
    EXPECT_EQ(kxsd_cli_read(f.get(), buf.data(), 2 * MiB, 0), -1);
    EXPECT_EQ(s.err().code, VERR_CANCELLED) << s.msg();
    EXPECT_EQ(s.connects(), 1u);
    EXPECT_EQ(s.conn()->block_size, MiB);
}

TEST(KxsdFileWrite, ChunksAtOffsetsByVersion) {
    const std::string data = noise(5 * MiB / 2, 21);
    for (const char* ver : {"1.6.3", "1.6.8"}) {
        SCOPED_TRACE(ver);
        const bool offsets = std::string(ver) == "1.6.8";
        served s(std::string(200, 'a'), {"--ver", ver}, "mblock-size=1M");
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        EXPECT_EQ(kxsd_cli_write(f.get(), data.data(), static_cast<int64_t>(data.size()), 100),
                  static_cast<int64_t>(data.size()))
            << s.msg();
        EXPECT_TRUE(read_file(s.srv.file("img")) == std::string(100, 'a') + data);
        const auto reqs = s.reqs(offsets ? KXSD_CMD_PWRITE : KXSD_CMD_WRITE);
        EXPECT_EQ(lens_of(reqs), (std::vector<int64_t>{MiB, MiB, MiB / 2}));
        if (offsets) {
            EXPECT_EQ(reqs[2]["fields"]["offset"].i(), 100 + 2 * MiB);
        } else {
            EXPECT_EQ(s.reqs(KXSD_CMD_SEEK).size(), 1u);
        }
        EXPECT_EQ(f->pos, 100 + data.size());
        // A write at the current position follows on.
        EXPECT_EQ(kxsd_cli_write(f.get(), "zz", 2, KXSD_OFFSET_CUR), 2);
        EXPECT_EQ(read_file(s.srv.file("img")).substr(100 + data.size()), "zz");
        EXPECT_EQ(kxsd_cli_write(f.get(), "", 0, 0), 0);
    }
}

// A server that writes fewer bytes than a request carried fails the write:
// taken as success, the rest of the range would be lost or land shifted.
TEST(KxsdFileWrite, ShortServerWriteFails) {
    const std::string data = noise(300000, 22);
    struct short_case {
        const char* name;
        bool packed;
    };
    for (const short_case& c : {short_case{"plain", false}, short_case{"packed", true}}) {
        SCOPED_TRACE(c.name);
        served s("", {"--fault", "shortwrite:cmd=30,by=3"});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        int64_t n = 0;
        if (c.packed) {
            std::vector<char> z(data.size() + data.size() / 255 + 16);
            zcomp_ctx pack{};
            std::strcpy(pack.name, "lz4");
            ASSERT_EQ(zcomp_open_ex(&pack), 0);
            const int64_t zl = zcomp_pack(&pack, data.data(), static_cast<int64_t>(data.size()), z.data(),
                                          static_cast<int64_t>(z.size()));
            zcomp_close(&pack);
            ASSERT_GT(zl, 0);
            n = kxsd_cli_writez(f.get(), z.data(), static_cast<int64_t>(data.size()), zl, 0);
        } else {
            n = kxsd_cli_write(f.get(), data.data(), static_cast<int64_t>(data.size()), 0);
        }
        EXPECT_EQ(n, -1);
        EXPECT_EQ(s.err().code, VERR_WRITE_ERROR);
        EXPECT_EQ(s.msg(), "short write: 299997 of 300000 bytes");
        // Written again, the range is whole.
        ASSERT_EQ(kxsd_cli_write(f.get(), data.data(), static_cast<int64_t>(data.size()), 0),
                  static_cast<int64_t>(data.size()));
        EXPECT_TRUE(read_file(s.srv.file("img")) == data);
    }
}

// Packed blocks pass through as they are: what one file gives packed,
// another takes packed, and the plain bytes arrive.
TEST(KxsdFile, PackedReadAndWriteRoundTrip) {
    std::string data;
    while (data.size() < 200000) data += "remote storage block " + std::to_string(data.size()) + "\n";
    data.resize(200000);
    served s(data);
    ASSERT_TRUE(s.ok()) << s.why();
    write_file(s.srv.file("copy"), "");
    file_ptr in = open_img(s, 0x1);
    file_ptr out(kxsd_cli_open(s.conn(), "/copy", 0x4));
    ASSERT_TRUE(in && out);
    std::vector<char> z(2 * 100000);
    int64_t zlen = 0;
    for (int64_t off = 0; off < 200000; off += 100000) {
        ASSERT_EQ(kxsd_cli_readz(in.get(), z.data(), 100000, &zlen, off), 100000) << s.msg();
        EXPECT_GT(zlen, 0);
        EXPECT_LT(zlen, 100000) << "the data packs";
        ASSERT_EQ(kxsd_cli_writez(out.get(), z.data(), 100000, zlen, off), 100000) << s.msg();
    }
    EXPECT_TRUE(read_file(s.srv.file("copy")) == data);
    const auto raw = s.reqs(KXSD_CMD_PWRITE);
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[1]["fields"]["len"].i(), 100000);
    EXPECT_EQ(raw[1]["fields"]["data"]["len"].i(), zlen);
}

TEST(KxsdFile, SeekTellSizeTruncate) {
    served s(noise(1000), {"--fault", "errno:cmd=16,nth=2,value=-10,text=truncate denied"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    EXPECT_EQ(kxsd_cli_seek(f.get(), 300, 0), 300);
    EXPECT_EQ(kxsd_cli_seek(f.get(), 50, 1), 350);
    EXPECT_EQ(f->pos, 350u);
    EXPECT_EQ(kxsd_cli_tell(f.get()), 350);
    EXPECT_EQ(kxsd_cli_size(f.get()), 1000);
    EXPECT_EQ(kxsd_cli_sync(f.get()), 0);
    EXPECT_EQ(kxsd_cli_truncate(f.get(), 600), 0) << s.msg();
    EXPECT_EQ(kxsd_cli_size(f.get()), 600);
    EXPECT_EQ(f->pos, 350u);
    // Refused: the server's errno and text.
    EXPECT_EQ(kxsd_cli_truncate(f.get(), 10), -1);
    EXPECT_EQ(s.err().code, -10);
    EXPECT_EQ(s.msg(), "truncate denied");
    EXPECT_EQ(kxsd_cli_size(f.get()), 600);
    EXPECT_EQ(kxsd_cli_get_pack_type(f.get()), 1);
    EXPECT_EQ(kxsd_cli_get_pack_type(s.conn()), 1);
}

// A "windows" server gets each time-out once, before the first read and the
// first write of a file.
TEST(KxsdFile, WindowsServerGetsTheTimeoutsOnce) {
    served s(noise(100), {"--plat", "windows"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    char buf[10];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(kxsd_cli_read(f.get(), buf, 10, 0), 10);
        ASSERT_EQ(kxsd_cli_write(f.get(), buf, 10, 20), 10);
    }
    const auto rt = s.codes(KXSD_CMD_FILE_IOCTL, KXSD_IOCTL_READ_TIMEOUT);
    const auto wt = s.codes(KXSD_CMD_FILE_IOCTL, KXSD_IOCTL_WRITE_TIMEOUT);
    ASSERT_EQ(rt.size(), 1u);
    ASSERT_EQ(wt.size(), 1u);
    EXPECT_EQ(rt[0]["text"].s(), "9000");
    EXPECT_EQ(wt[0]["text"].s(), "8000");
    EXPECT_EQ(rt[0]["fields"]["fd"].i(), f->fd);
    EXPECT_LT(rt[0]["seq"].i(), s.reqs(KXSD_CMD_PREAD)[0]["seq"].i());
}

TEST(KxsdFile, ControlCalls) {
    served s(noise(100), {"--fault", "errno:cmd=29,value=-250,text=bad sector"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    char buf[10];
    ASSERT_EQ(kxsd_cli_read(f.get(), buf, 10, 0), -1);
    // The error class of the last server errno, without a request.
    const size_t before = s.srv.requests().size();
    uint64_t cls = 9;
    EXPECT_EQ(kxsd_cli_ioctl(f.get(), OS_FILE_GET_ERROR, &cls, sizeof cls), 0);
    EXPECT_EQ(s.srv.requests().size(), before);
    os_file_attr attr{};
    EXPECT_EQ(kxsd_cli_fstat(f.get(), &attr), 0) << s.msg();
    EXPECT_EQ(attr.size, 100u);
    EXPECT_EQ(s.srv.requests().back()["cmd"].i(), KXSD_CMD_FSTAT_LONG);
    EXPECT_EQ(kxsd_cli_stat(s.conn(), "/img", &attr), 0);
    EXPECT_EQ(kxsd_cli_ioctl_text(f.get(), "hello"), 0);
    const mini_json last = s.srv.requests().back();
    EXPECT_EQ(last["cmd"].i(), KXSD_CMD_FILE_IOCTL);
    EXPECT_EQ(last["code"].i(), KXSD_IOCTL_TEXT);
    EXPECT_EQ(last["text"].s(), "hello");
    EXPECT_EQ(last["fields"]["fd"].i(), f->fd);
    // Records are required for the file layer's codes.
    EXPECT_EQ(kxsd_cli_ioctl(f.get(), OS_FILE_GET_INFO, nullptr, 0), -1);
    EXPECT_EQ(kxsd_cli_ioctl(nullptr, 10013, nullptr, 0), -1);
}

TEST(KxsdFile, DirectoryListing) {
    served s("x");
    ASSERT_TRUE(s.ok()) << s.why();
    for (const char* n : {"a1", "a2", "b1"}) write_file(s.srv.file(n), n);
    kxsd_dir_ctx* d = kxsd_cli_opendir(s.conn(), "/", "a*");
    ASSERT_NE(d, nullptr) << s.msg();
    std::vector<std::string> names;
    while (const os_file_attr* a = kxsd_cli_readdir(d)) {
        names.push_back(d->name);
        EXPECT_EQ(a->size, 2u);
    }
    EXPECT_EQ(s.err().code, 0) << "the end of the listing is no error";
    EXPECT_EQ(names, (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(kxsd_cli_telldir(d), 2u);
    ASSERT_EQ(kxsd_cli_seekdir(d, 1), 0);
    ASSERT_NE(kxsd_cli_readdir(d), nullptr);
    EXPECT_STREQ(d->name, "a2");
    EXPECT_EQ(mem_ptr_count(&s.conn()->dirs), 1u);
    EXPECT_EQ(kxsd_cli_closedir(d), 0);
    EXPECT_EQ(mem_ptr_count(&s.conn()->dirs), 0u);
    // A directory still open when the connection ends is closed with it.
    EXPECT_NE(kxsd_cli_opendir_all(s.conn(), "/"), nullptr);
}
