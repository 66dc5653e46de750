// The "kxsd" driver through the block layer against the Python test
// server: the probe, windows (a partition of a remote disk image, a device
// offset) with reads, writes, packed blocks and server jobs placed inside
// them and kept from what lies behind a partition, what the server reports
// (size, type, sector size, pack method), the control codes the driver
// refuses, open failures, ranges and pattern writes too long for one
// request, and the caller's stop request.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bd_test_util.h"
#include "kxsd_server/kxsd_server_proc.h"
#include "libblock/bd.h"
#include "libpal/hash/file_hash.h"
#include "libpal/hash/md5.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

constexpr uint64_t k_sec = 512;
constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t GiB = 1ull << 30;

// The 64-sector image of the block tests with an MBR of two partitions:
// sectors 8-39 and 40-55.
std::string disk_image() {
    std::string d = sector_file_data(64);
    auto entry = [&](int idx, uint32_t start, uint32_t count) {
        const size_t e = 446 + 16 * static_cast<size_t>(idx);
        d[e + 4] = static_cast<char>(0x83);
        std::memcpy(&d[e + 8], &start, 4);
        std::memcpy(&d[e + 12], &count, 4);
    };
    std::memset(&d[446], 0, 64);
    entry(0, 8, 32);
    entry(1, 40, 16);
    d[510] = '\x55';
    d[511] = '\xaa';
    return d;
}

std::string url_of(const kxsd_server_proc& srv, const std::string& query = "", const std::string& path = "/img",
                   const std::string& account = "user:pass") {
    std::string u = "kxp://" + account + "@127.0.0.1:" + std::to_string(srv.port()) + path;
    return query.empty() ? u : u + "?" + query;
}

std::string served_bytes(const kxsd_server_proc& srv) { return read_file(srv.file("img")); }

class BdKxsd : public testing::Test {
protected:
    void SetUp() override { bd_init2(); }
    bd_dev* open(const std::string& url, uint32_t oflag = OS_PF_RDONLY) {
        err = verr_info{};
        return bd_open_err(url.c_str(), oflag, &err);
    }
    verr_info err{};
};

TEST_F(BdKxsd, ProbeTakesBothSchemesInAnyCase) {
    struct probe_case {
        const char* url;
        bool kxsd;
    };
    const probe_case cases[] = {
        {"kxp://h/x", true},   {"KXP://h/x", true},     {"kxps://h/x", true}, {"KxPs://h/x", true},
        {"kxp:/h/x", false},   {"kxpx://h/x", false},   {"kx://h/x", false},  {"http://h/x", false},
        {"/tmp/kxp://", false},
    };
    for (const probe_case& c : cases) {
        SCOPED_TRACE(c.url);
        const bd_drv* drv = bd_probe_driver(c.url, OS_PF_RDONLY);
        EXPECT_EQ(drv && std::strcmp(drv->name, "kxsd") == 0, c.kxsd);
        if (c.kxsd && drv) {
            EXPECT_EQ(drv->type, BD_DRV_KXSD);
        }
    }
}

// A window opened inside the remote image: the open leaves the server at
// its start, reads at the current position go on from there, explicit
// offsets are window-relative, and the position reported is too.
TEST_F(BdKxsd, WindowsStartWhereTheyShould) {
    struct window_case {
        const char* query;
        uint64_t first_sector;
        uint64_t sectors;
    };
    const window_case cases[] = {
        {"", 0, 64},
        {"vol_idx=1", 8, 32},
        {"vol_idx=2", 40, 16},
        {"sector_off=3", 3, 61},
        // The partition table is looked up behind the device offset, where
        // there is none: the one volume is the rest of the device.
        {"vol_idx=1&sector_off=2", 2, 62},
    };
    const std::string image = disk_image();
    for (const window_case& c : cases) {
        SCOPED_TRACE(c.query);
        kxsd_server_proc srv;
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), image);
        dev_ptr dev(open(url_of(srv, c.query)));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(bd_drv_type(dev.get()), BD_DRV_KXSD);
        bd_vol vol{};
        ASSERT_EQ(bd_get_vol(dev.get(), &vol), 0);
        EXPECT_EQ(vol.vol_start, c.first_sector * k_sec);
        EXPECT_EQ(vol.vol_size, c.sectors * k_sec);
        EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(c.sectors * k_sec));
        EXPECT_EQ(bd_offset(dev.get()), 0);

        // The current position is the window's start.
        std::string buf(k_sec, '\0');
        ASSERT_EQ(bd_read(dev.get(), buf.data(), k_sec), static_cast<int64_t>(k_sec)) << bd_errmsg(dev.get());
        EXPECT_EQ(sector_at(buf.data()), c.first_sector);
        ASSERT_EQ(bd_read(dev.get(), buf.data(), k_sec), static_cast<int64_t>(k_sec));
        EXPECT_EQ(sector_at(buf.data()), c.first_sector + 1);
        EXPECT_EQ(bd_offset(dev.get()), static_cast<int64_t>(2 * k_sec));
        // Reads at the current position ask the server for its own.
        for (const mini_json& r : srv.requests(29)) EXPECT_GE(r["fields"]["offset"].i(), 0);

        ASSERT_EQ(bd_pread(dev.get(), buf.data(), k_sec, 0), static_cast<int64_t>(k_sec));
        EXPECT_EQ(sector_at(buf.data()), c.first_sector);
        ASSERT_EQ(bd_pread(dev.get(), buf.data(), k_sec, 5 * k_sec), static_cast<int64_t>(k_sec));
        EXPECT_EQ(sector_at(buf.data()), c.first_sector + 5);
        bd_dev_info info{};
        ASSERT_EQ(bd_info(dev.get(), &info), 0);
        EXPECT_EQ(info.offset, 6 * k_sec);
        EXPECT_EQ(info.vol_start, c.first_sector * k_sec);
        EXPECT_STREQ(info.info, "kxsd test file");

        // A seek is window-relative too.
        ASSERT_EQ(bd_seek(dev.get(), 3 * k_sec), 0);
        ASSERT_EQ(bd_read(dev.get(), buf.data(), k_sec), static_cast<int64_t>(k_sec));
        EXPECT_EQ(sector_at(buf.data()), c.first_sector + 3);
        // The whole window, and nothing behind it.
        std::string all(64 * k_sec, '\0');
        EXPECT_EQ(bd_pread(dev.get(), all.data(), static_cast<int64_t>(all.size()), 0),
                  static_cast<int64_t>(c.sectors * k_sec));
        EXPECT_TRUE(all.substr(0, c.sectors * k_sec) == image.substr(c.first_sector * k_sec, c.sectors * k_sec));
    }
}

// Writes, pattern writes, hashing and counting on a partition all land in
// the partition.
TEST_F(BdKxsd, WritesAndServerJobsStayInTheWindow) {
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    std::string image = disk_image();
    write_file(srv.file("img"), image);
    dev_ptr dev(open(url_of(srv, "vol_idx=1"), OS_PF_RDWR));
    ASSERT_TRUE(dev) << verr_msg(&err);
    const uint64_t start = 8 * k_sec, size = 32 * k_sec;

    const std::string w(k_sec, 'W');
    ASSERT_EQ(bd_pwrite(dev.get(), w.data(), k_sec, k_sec), static_cast<int64_t>(k_sec)) << bd_errmsg(dev.get());
    image.replace(start + k_sec, k_sec, w);
    ASSERT_EQ(bd_pwritex_init(dev.get(), 0x5a, 1024), 0) << bd_errmsg(dev.get());
    ASSERT_EQ(bd_pwritex(dev.get(), 0, 3 * k_sec, 4 * k_sec), static_cast<int64_t>(3 * k_sec)) << bd_errmsg(dev.get());
    image.replace(start + 4 * k_sec, 3 * k_sec, std::string(3 * k_sec, '\x5a'));
    EXPECT_TRUE(served_bytes(srv) == image);

    // The partition's digest, computed by the server in two ranges.
    bd_hash_param hp{};
    hp.hash_flag = HASH_MD5;
    hp.bs = 4096;
    ASSERT_EQ(bd_hash_init(dev.get(), &hp), 0) << bd_errmsg(dev.get());
    char state[BD_HASH_CTX_SIZE];
    ASSERT_EQ(bd_hash_cal(dev.get(), 0, 8192, state, sizeof state), 0) << bd_errmsg(dev.get());
    ASSERT_EQ(bd_hash_cal(dev.get(), 8192, static_cast<int64_t>(size) - 8192, state, sizeof state), 0);
    uint8_t md5[16], want[16];
    ASSERT_EQ(bd_hash_get(dev.get(), HASH_MD5, md5, sizeof md5), 0) << bd_errmsg(dev.get());
    pl_md5_buf(image.data() + start, size, want);
    EXPECT_EQ(std::memcmp(md5, want, 16), 0);

    bd_count_param cp{};
    cp.bs = 4096;
    ASSERT_EQ(bd_count_init(dev.get(), &cp), 0) << bd_errmsg(dev.get());
    char counters[BD_COUNT_CTX_SIZE];
    ASSERT_EQ(bd_count_cal(dev.get(), 0, static_cast<int64_t>(size), counters, sizeof counters), 0);
    // 0x5a only in the pattern: the sectors' own bytes are their indexes, below 64.
    const std::string text = counters;
    size_t field = 0, pos = 0;
    for (; field < 0x5a; field++) pos = text.find(',', pos) + 1;
    EXPECT_EQ(std::stoull(text.substr(pos), nullptr, 16), 3 * k_sec) << text;

    // The ranges the server received.
    std::vector<std::pair<int64_t, int64_t>> got;
    for (const mini_json& r : srv.requests(8))
        if (r.has("range")) got.emplace_back(r["range"][0].i(), r["range"][1].i());
    const std::vector<std::pair<int64_t, int64_t>> want_ranges{
        {start + 4 * k_sec, 3 * k_sec}, {start, 8192}, {start + 8192, size - 8192}, {start, size}};
    EXPECT_EQ(got, want_ranges);
}

// Nothing a server job does reaches behind a partition: a hash or count
// range longer than the window ends at its end, as a local read does, and
// a pattern write that would cross it is refused before anything is
// written, as a local write is.
TEST_F(BdKxsd, ServerJobsEndAtThePartitionsEnd) {
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    const std::string image = disk_image();
    write_file(srv.file("img"), image);
    dev_ptr dev(open(url_of(srv, "vol_idx=1"), OS_PF_RDWR));
    ASSERT_TRUE(dev) << verr_msg(&err);
    const uint64_t start = 8 * k_sec, size = 32 * k_sec;

    bd_hash_param hp{};
    hp.hash_flag = HASH_MD5;
    hp.bs = 4096;
    ASSERT_EQ(bd_hash_init(dev.get(), &hp), 0) << bd_errmsg(dev.get());
    char state[BD_HASH_CTX_SIZE];
    ASSERT_EQ(bd_hash_cal(dev.get(), 8192, 16384, state, sizeof state), 0) << bd_errmsg(dev.get());
    uint8_t md5[16], want[16];
    ASSERT_EQ(bd_hash_get(dev.get(), HASH_MD5, md5, sizeof md5), 0) << bd_errmsg(dev.get());
    pl_md5_buf(image.data() + start + 8192, size - 8192, want);
    EXPECT_EQ(std::memcmp(md5, want, 16), 0);

    bd_count_param cp{};
    cp.bs = 4096;
    ASSERT_EQ(bd_count_init(dev.get(), &cp), 0) << bd_errmsg(dev.get());
    char counters[BD_COUNT_CTX_SIZE];
    ASSERT_EQ(bd_count_cal(dev.get(), static_cast<int64_t>(size), 4096, counters, sizeof counters), 0);
    // Behind the window: nothing counted.
    std::string zeros = "0";
    for (int i = 1; i < 256; i++) zeros += ",0";
    EXPECT_EQ(std::string(counters), zeros);

    std::vector<std::pair<int64_t, int64_t>> got;
    for (const mini_json& r : srv.requests(8))
        if (r.has("range")) got.emplace_back(r["range"][0].i(), r["range"][1].i());
    const std::vector<std::pair<int64_t, int64_t>> want_ranges{{start + 8192, size - 8192}, {start + size, 0}};
    EXPECT_EQ(got, want_ranges);

    ASSERT_EQ(bd_pwritex_init(dev.get(), 0x5a, 1024), 0) << bd_errmsg(dev.get());
    const size_t before = srv.requests().size();
    EXPECT_EQ(bd_pwritex(dev.get(), 0, 2 * k_sec, size - k_sec), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_DISK_FULL);
    EXPECT_EQ(srv.requests().size(), before);
    EXPECT_TRUE(served_bytes(srv) == image);
    // Up to the end is fine.
    EXPECT_EQ(bd_pwritex(dev.get(), 0, k_sec, size - k_sec), static_cast<int64_t>(k_sec)) << bd_errmsg(dev.get());
}

// What the server reports: the sector size unless the URL gives one, the
// size type from the server's file type, the pack method of the connection.
TEST_F(BdKxsd, ServerInformation) {
    struct info_case {
        const char* name;
        std::vector<std::string> args;
        const char* query;
        int32_t sector_size;
        uint32_t size_type;
        int32_t pack;
    };
    const std::string sector_4096 = "payload:cmd=19,field=sector_bytes,hex=00001000,times=0";
    const info_case cases[] = {
        {"defaults", {}, "", 512, BLOCK_SIZE_EXTENSIBLE, 1},
        {"server's 4096", {"--fault", sector_4096}, "", 4096, BLOCK_SIZE_EXTENSIBLE, 1},
        {"URL's 1024 over the server's 4096", {"--fault", sector_4096}, "sector_size=1024", 1024,
         BLOCK_SIZE_EXTENSIBLE, 1},
        {"URL's 4096", {}, "sector_size=4096", 4096, BLOCK_SIZE_EXTENSIBLE, 1},
        {"a disk", {"--fault", "payload:cmd=19,field=type,hex=00000005,times=0"}, "", 512, BLOCK_SIZE_FIXED, 1},
        {"pack none", {}, "pack=none", 512, BLOCK_SIZE_EXTENSIBLE, 0},
        {"pack lz4", {}, "pack=lz4", 512, BLOCK_SIZE_EXTENSIBLE, 1},
    };
    for (const info_case& c : cases) {
        SCOPED_TRACE(c.name);
        kxsd_server_proc srv(c.args);
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), sector_file_data(16));
        dev_ptr dev(open(url_of(srv, c.query)));
        ASSERT_TRUE(dev) << verr_msg(&err);
        int32_t ss = 0;
        ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_SECTOR_SIZE, &ss, sizeof ss), 0);
        EXPECT_EQ(ss, c.sector_size);
        EXPECT_EQ(dev->sector_size, c.sector_size);
        uint32_t st = 0;
        ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_SIZE_TYPE, &st, sizeof st), 0);
        EXPECT_EQ(st, c.size_type);
        EXPECT_EQ(bd_get_pack_type(dev.get()), c.pack);
        os_file_info fi{};
        ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_DRV_INFO, &fi, sizeof fi), 0);
        EXPECT_EQ(fi.sector_size, static_cast<uint32_t>(c.sector_size));
        EXPECT_EQ(fi.size, 16 * k_sec);
    }
}

// Codes the driver does not know answer -37 with the log line; the block
// layer answers the position, sector size and size type itself.
TEST_F(BdKxsd, UnknownControlCodes) {
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), sector_file_data(16));
    dev_ptr dev(open(url_of(srv)));
    ASSERT_TRUE(dev) << verr_msg(&err);
    for (int32_t code : {int32_t{BLOCK_GET_PACK_PARAM}, int32_t{BLOCK_SET_PACK_PARAM}, int32_t{99}}) {
        SCOPED_TRACE(code);
        log_capture cap;
        bd_pack_param p{};
        EXPECT_EQ(bd_ioctl(dev.get(), code, &p, sizeof p), -1);
        EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
        EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
        EXPECT_TRUE(cap.contains("invliad cmd_code=" + std::to_string(code) + "\n")) << cap.all();
    }
    int64_t pos = -1;
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_TELL, &pos, sizeof pos), 0);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_FINISH, nullptr, 0), 0);
    EXPECT_EQ(bd_sync(dev.get()), 0);
    EXPECT_EQ(srv.requests(14).size(), 1u);
    // A record too short for its code is refused, not overrun.
    int32_t small = 0;
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_GET_DRV_INFO, &small, sizeof small), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_INVALID_PARAMETER);
}

// A failed open leaves the reason in the caller's error record: the
// server's refusal of the login, of the open or of a later step.
TEST_F(BdKxsd, OpenFailuresKeepTheServersReason) {
    struct fail_case {
        const char* name;
        std::vector<std::string> args;
        std::string path;
        std::string account;
        int32_t code;
        const char* text;
    };
    const fail_case cases[] = {
        {"wrong password", {}, "/img", "user:wrong", 1, "Wrong user or password"},
        {"missing file", {}, "/missing", "user:pass", -102, "No such file"},
        {"open refused", {"--fault", "errno:cmd=10,value=-13,text=access denied"}, "/img", "user:pass", -13,
         "access denied"},
        {"information refused", {"--fault", "errno:cmd=19,value=-5,text=info gone"}, "/img", "user:pass", -5,
         "info gone"},
        {"seek refused", {"--fault", "errno:cmd=15,value=-107,text=bad seek"}, "/img", "user:pass", -107,
         "bad seek"},
    };
    for (const fail_case& c : cases) {
        SCOPED_TRACE(c.name);
        kxsd_server_proc srv(c.args);
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), sector_file_data(16));
        EXPECT_EQ(open(url_of(srv, "", c.path, c.account)), nullptr);
        EXPECT_EQ(err.code, c.code);
        EXPECT_NE(std::string(verr_msg(&err)).find(c.text), std::string::npos) << verr_msg(&err);
    }
}

// A size or position the server answers at or above 2^63 is no file offset:
// the open fails with the value named, never with a cleared error record.
TEST_F(BdKxsd, SizesAndOffsetsBeyondInt64FailTheOpen) {
    struct range_case {
        const char* name;
        std::string fault;
        const char* text;
    };
    const range_case cases[] = {
        {"size 2^63", "payload:cmd=19,field=len,hex=8000000000000000,times=0",
         "server answered size=9223372036854775808: out of range"},
        {"size 2^64-1", "payload:cmd=19,field=len,hex=ffffffffffffffff,times=0",
         "server answered size=18446744073709551615: out of range"},
        {"position 2^63", "payload:cmd=19,field=offset,hex=8000000000000000,times=0",
         "server answered offset=9223372036854775808: out of range"},
        {"seek answer 2^63+1", "payload:cmd=15,field=offset,hex=8000000000000001,times=0",
         "server answered offset=9223372036854775809: out of range"},
    };
    for (const range_case& c : cases) {
        SCOPED_TRACE(c.name);
        kxsd_server_proc srv({"--fault", c.fault});
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), sector_file_data(16));
        log_capture quiet;
        EXPECT_EQ(open(url_of(srv)), nullptr);
        EXPECT_EQ(err.code, -466);
        EXPECT_STREQ(verr_msg(&err), c.text);
    }
    // The largest offset there is still is one.
    kxsd_server_proc srv({"--fault", "payload:cmd=19,field=len,hex=7fffffffffffffff,times=0"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), sector_file_data(16));
    bd_dev* dev = open(url_of(srv));
    ASSERT_NE(dev, nullptr) << verr_msg(&err);
    EXPECT_EQ(bd_size(dev), INT64_MAX);
    bd_close(dev);
}

// Hash and count ranges longer than one request carries are cut at a
// multiple of the job's block size; the pieces follow each other from the
// window's start and add up to the range.
TEST_F(BdKxsd, LongRangesAreSplitAtBlockMultiples) {
    kxsd_server_proc srv({"--hash-dry"});
    ASSERT_TRUE(srv.started()) << srv.error();
    const uint64_t len = 9 * GiB;
    write_file(srv.file("img"), "");
    ASSERT_EQ(truncate(srv.file("img").c_str(), static_cast<off_t>(len + 4096)), 0);
    dev_ptr dev(open(url_of(srv, "sector_off=8")));
    ASSERT_TRUE(dev) << verr_msg(&err);

    struct split_case {
        const char* name;
        bool hash;
        uint64_t bs;
        uint64_t piece;
    };
    const split_case cases[] = {
        {"hash, 128 MiB blocks", true, 128 * MiB, 31 * 128 * MiB},
        {"count, 1 MiB blocks", false, MiB, 4095 * MiB},
        {"count, 3000-byte blocks", false, 3000, 4294965000},
        {"hash, 3 GiB blocks", true, 3 * GiB, 3 * GiB},
    };
    size_t seen = 0;
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        char text[BD_HASH_CTX_SIZE];
        if (c.hash) {
            bd_hash_param p{};
            p.hash_flag = HASH_MD5;
            p.bs = c.bs;
            ASSERT_EQ(bd_hash_init(dev.get(), &p), 0) << bd_errmsg(dev.get());
            ASSERT_EQ(bd_hash_cal(dev.get(), 0, static_cast<int64_t>(len), text, sizeof text), 0)
                << bd_errmsg(dev.get());
        } else {
            bd_count_param p{};
            p.bs = c.bs;
            ASSERT_EQ(bd_count_init(dev.get(), &p), 0) << bd_errmsg(dev.get());
            ASSERT_EQ(bd_count_cal(dev.get(), 0, static_cast<int64_t>(len), text, sizeof text), 0)
                << bd_errmsg(dev.get());
        }
        std::vector<mini_json> ranges;
        for (const mini_json& r : srv.requests(8))
            if (r.has("range")) ranges.push_back(r);
        ASSERT_GT(ranges.size(), seen);
        uint64_t off = 4096, total = 0;
        for (size_t i = seen; i < ranges.size(); i++) {
            const mini_json& r = ranges[i];
            EXPECT_EQ(r["code"].i(), c.hash ? 10104 : 10107);
            EXPECT_EQ(static_cast<uint64_t>(r["range"][0].i()), off);
            const uint64_t n = static_cast<uint64_t>(r["range"][1].i());
            const bool last = i + 1 == ranges.size();
            EXPECT_EQ(n, last ? len - total : c.piece) << i;
            off += n;
            total += n;
        }
        EXPECT_EQ(total, len);
        EXPECT_EQ(ranges.size() - seen, (len + c.piece - 1) / c.piece);
        seen = ranges.size();
    }
}

// Packed blocks pass from one remote window to another as they are: the
// reads and writes go to the windows' offsets and the plain bytes arrive.
TEST_F(BdKxsd, PackedBlocksPassBetweenWindows) {
    kxsd_server_proc srv;
    ASSERT_TRUE(srv.started()) << srv.error();
    const std::string image = disk_image();
    write_file(srv.file("img"), image);
    write_file(srv.file("copy"), std::string(64 * k_sec, '\0'));
    dev_ptr in(open(url_of(srv, "vol_idx=1")));
    ASSERT_TRUE(in) << verr_msg(&err);
    dev_ptr out(open(url_of(srv, "sector_off=4", "/copy"), OS_PF_RDWR));
    ASSERT_TRUE(out) << verr_msg(&err);
    bd_pack_mode mode{};
    ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
    ASSERT_EQ(mode.on, 1u);

    // The buffer holds a block's packed bytes, which may take twice its
    // plain length: the block is half the buffer.
    std::vector<char> z(8192);
    for (int64_t off = 0; off < 16384; off += 4096) {
        SCOPED_TRACE(off);
        int64_t zlen = 0;
        ASSERT_EQ(bd_preadz(in.get(), z.data(), 8192, &zlen, off), 4096) << bd_errmsg(in.get());
        EXPECT_GT(zlen, 0);
        EXPECT_LT(zlen, 4096) << "the sectors pack";
        ASSERT_EQ(bd_pwritez(out.get(), z.data(), 4096, zlen, off), 4096) << bd_errmsg(out.get());
    }
    const std::string got = read_file(srv.file("copy"));
    EXPECT_TRUE(got.substr(4 * k_sec, 16384) == image.substr(8 * k_sec, 16384));
    EXPECT_TRUE(got.substr(0, 4 * k_sec) == std::string(4 * k_sec, '\0'));
    // The partition lookup reads on a connection of its own: the device's
    // reads are the last ones.
    std::vector<int64_t> reads, writes;
    for (const mini_json& r : srv.requests(29)) reads.push_back(r["fields"]["offset"].i());
    if (reads.size() > 4) reads.erase(reads.begin(), reads.end() - 4);
    for (const mini_json& r : srv.requests(30)) writes.push_back(r["fields"]["offset"].i());
    EXPECT_EQ(reads, (std::vector<int64_t>{4096, 8192, 12288, 16384}));
    EXPECT_EQ(writes, (std::vector<int64_t>{2048, 6144, 10240, 14336}));
}

// Pattern writes go in pieces below 2 GiB, which both request forms can
// carry, from the window's start; a count short of a piece fails with the
// bytes done.
TEST_F(BdKxsd, PatternWritesInPiecesAndShortOnesFail) {
    struct piece_case {
        const char* ver;
        bool by_cmd50;
    };
    for (const piece_case& c : {piece_case{"1.6.1", true}, piece_case{"1.6.2", false}}) {
        SCOPED_TRACE(c.ver);
        // Nothing is written: the server reports every piece as 0 bytes.
        kxsd_server_proc srv({"--ver", c.ver, "--fault", "shortwrite:by=1099511627776,times=0"});
        ASSERT_TRUE(srv.started()) << srv.error();
        write_file(srv.file("img"), sector_file_data(16));
        dev_ptr dev(open(url_of(srv, "sector_off=2"), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_EQ(bd_pwritex_init(dev.get(), 0, 4096), 0) << bd_errmsg(dev.get());
        EXPECT_EQ(bd_pwritex(dev.get(), 0, static_cast<int64_t>(5 * GiB), 512), -1);
        EXPECT_EQ(bd_errno(dev.get()), VERR_WRITE_ERROR);
        EXPECT_STREQ(bd_errmsg(dev.get()), "short write: 0 of 5368709120 bytes");
        int64_t off = -1, len = -1;
        if (c.by_cmd50) {
            const auto r = srv.requests(50);
            ASSERT_EQ(r.size(), 1u);
            off = r[0]["fields"]["offset"].i();
            len = r[0]["fields"]["len"].i();
        } else {
            std::vector<mini_json> r;
            for (const mini_json& q : srv.requests(8))
                if (q.has("range")) r.push_back(q);
            ASSERT_EQ(r.size(), 1u);
            off = r[0]["range"][0].i();
            len = r[0]["range"][1].i();
        }
        EXPECT_EQ(off, 1024 + 512);
        EXPECT_EQ(len, 0x7FF00000);
    }
    kxsd_server_proc srv({"--fault", "shortwrite:cmd=8,code=10108,by=7"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), std::string(4096, 'x'));
    dev_ptr dev(open(url_of(srv), OS_PF_RDWR));
    ASSERT_TRUE(dev) << verr_msg(&err);
    ASSERT_EQ(bd_pwritex_init(dev.get(), 'p', 4096), 0);
    EXPECT_EQ(bd_pwritex(dev.get(), 0, 1000, 0), 993);
    EXPECT_EQ(bd_errno(dev.get()), VERR_WRITE_ERROR);
    EXPECT_STREQ(bd_errmsg(dev.get()), "short write: 993 of 1000 bytes");
    EXPECT_TRUE(served_bytes(srv) == std::string(993, 'p') + std::string(4096 - 993, 'x'));
}

// The caller's stop request given at open reaches the connection: a read
// after it fails as cancelled, with the reason in the device's record.
TEST_F(BdKxsd, StopRequestGivenAtOpenEndsReads) {
    // The second read gets no answer: only the stop request can end it (a
    // read whose answer is already there may complete despite the stop).
    kxsd_server_proc srv({"--fault", "stall:cmd=29,nth=2"});
    ASSERT_TRUE(srv.started()) << srv.error();
    write_file(srv.file("img"), sector_file_data(16));
    stop_flag stop{};
    const std::string url = url_of(srv);
    bd_dev* d = bd_open2s(url.c_str(), OS_PF_RDONLY, reinterpret_cast<uint64_t>(&stop), &err);
    ASSERT_NE(d, nullptr) << verr_msg(&err);
    std::string buf(k_sec, '\0');
    EXPECT_EQ(bd_pread(d, buf.data(), k_sec, 0), static_cast<int64_t>(k_sec));
    stop.stop = 1;
    EXPECT_EQ(bd_pread(d, buf.data(), k_sec, k_sec), -1);
    EXPECT_EQ(bd_errno(d), VERR_CANCELLED) << bd_errmsg(d);
    stop.stop = 0;
    EXPECT_EQ(bd_close(d), 0);
}

}  // namespace

namespace {

// A reply that comes after the read gave up must never be taken as the
// answer of the next request: that would hand out the bytes of another
// offset as if they were read.
TEST_F(BdKxsd, LateReplyIsNeverTheAnswerOfTheNextRead) {
    // The reply to sector 2 comes half a second after its read gave up, in
    // the middle of the next read's wait.
    kxsd_server_proc srv({"--fault", "delay:ms=1500,cmd=29,nth=2"});
    ASSERT_TRUE(srv.started()) << srv.error();
    const std::string data = sector_file_data(16);
    write_file(srv.file("img"), data);
    dev_ptr dev(open(url_of(srv, "read_timeout=1&pack=none")));
    ASSERT_TRUE(dev) << verr_msg(&err);
    std::string buf(k_sec, '\0');
    ASSERT_EQ(bd_pread(dev.get(), buf.data(), k_sec, 0), static_cast<int64_t>(k_sec));
    // Sector 2 is answered after the read timeout has run out.
    const int64_t late = bd_pread(dev.get(), buf.data(), k_sec, 2 * k_sec);
    if (late == static_cast<int64_t>(k_sec)) {
        // A starved client may still have seen the reply in time.
        EXPECT_TRUE(buf == data.substr(2 * k_sec, k_sec));
        GTEST_SKIP() << "the delayed reply arrived within the read timeout";
    }
    ASSERT_EQ(late, -1);
    // The next read either fails or brings sector 5, never sector 2.
    const int64_t next = bd_pread(dev.get(), buf.data(), k_sec, 5 * k_sec);
    if (next >= 0) {
        ASSERT_EQ(next, static_cast<int64_t>(k_sec));
        EXPECT_TRUE(buf == data.substr(5 * k_sec, k_sec)) << "got the bytes of sector " << int(buf[0]);
    } else {
        EXPECT_NE(bd_errno(dev.get()), 0);
    }
}

}  // namespace
