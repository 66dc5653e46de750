#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "bd_test_util.h"
#include "libblock/bd.h"
#include "libpal/hash/file_hash.h"
#include "libpal/os/os_fileutil.h"

namespace {

using BdIo = BdFixture;

TEST_F(BdIo, DeviceInformationTable) {
    struct row {
        std::string name;
        uint32_t type;
        uint32_t size_type;
        const char* size_type_name;
        const char* bd_type;
    };
    const row rows[] = {
        {img, 2, BLOCK_SIZE_EXTENSIBLE, "extensible size type", "file"},
        {"/dev/zero", 3, BLOCK_SIZE_UNLIMITED, "unlimited size type", "dev"},
        {"/dev/null", 3, BLOCK_SIZE_UNLIMITED, "unlimited size type", "dev"},
        {"/dev/urandom", 2, BLOCK_SIZE_EXTENSIBLE, "extensible size type", "file"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        dev_ptr dev(open(r.name));
        ASSERT_TRUE(dev) << verr_msg(&err);
        bd_dev_info info{};
        ASSERT_EQ(bd_ioctl(dev.get(), GET_DEV_INFO, &info, sizeof info), 0);
        EXPECT_EQ(info.type, r.type);
        EXPECT_EQ(info.size_type, r.size_type);
        EXPECT_STREQ(info.size_type_name, r.size_type_name);
        EXPECT_STREQ(info.bd_type, r.bd_type);
        EXPECT_EQ(info.sector_size, 512u);
        uint32_t st = 0;
        ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_SIZE_TYPE, &st, sizeof st), 0);
        EXPECT_EQ(st, r.size_type);
    }
}

TEST_F(BdIo, ControlCodesOfTheLayerAndTheDriver) {
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev);
    EXPECT_EQ(bd_ioctl(dev.get(), 99, nullptr, 0), VERR_NOT_SUPPORTED);
    EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_GET_PACK_PARAM, nullptr, 0), VERR_NOT_SUPPORTED);
    uint64_t algos = 0;
    ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_HASH_ALGO, &algos, sizeof algos), 0);
    EXPECT_EQ(algos, 4095u);
    verr_info copy{};
    ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_ERROR, &copy, sizeof copy), 0);
    EXPECT_EQ(copy.code, VERR_NOT_SUPPORTED);
    EXPECT_EQ(bd_get_pack_type(dev.get()), 0);
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_FINISH, nullptr, 0), 0);
    EXPECT_EQ(bd_sync(dev.get()), 0);
    EXPECT_EQ(bd_ioctl(dev.get(), BLOCK_GET_CACHE_NAME, nullptr, 0), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_INVALID_PARAMETER);
}

TEST_F(BdIo, TruncateCountsTheWholeFile) {
    dev_ptr dev(open(img + "?sector_off=8", OS_PF_RDWR));
    ASSERT_TRUE(dev);
    ASSERT_EQ(bd_truncate(dev.get(), 0), 0);
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(BdIo, UnalignedReads) {
    struct row {
        const char* query;
        int64_t off;
        int64_t len;
    };
    const row rows[] = {
        {"", 100, 1000}, {"", 511, 2}, {"", 4095, 1}, {"", 32768 - 10, 10},
        {"?sector_size=4096", 100, 1000}, {"?sector_size=4096", 4095, 2}, {"?sector_off=2", 7, 600},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.query) + " " + std::to_string(r.off));
        dev_ptr dev(open(img + r.query));
        ASSERT_TRUE(dev);
        std::string buf(static_cast<size_t>(r.len), '?');
        ASSERT_EQ(bd_pread_unaligned(dev.get(), buf.data(), r.len, r.off), r.len);
        bd_vol vol{};
        bd_get_vol(dev.get(), &vol);
        EXPECT_EQ(buf, data.substr(vol.vol_start + r.off, r.len));
    }
    dev_ptr dev(open(img));
    char tail[20];
    EXPECT_EQ(bd_pread_unaligned(dev.get(), tail, sizeof tail, 32768 - 10), -1);  // no stale bytes past the end
}

TEST_F(BdIo, ExtendTestNeverLosesData) {
    {
        dev_ptr dev(open(img, OS_PF_RDWR));
        ASSERT_TRUE(dev);
        EXPECT_EQ(bd_extend_test(dev.get(), 0, 1000), 0);
        EXPECT_EQ(bd_extend_test(dev.get(), 32768, 1 << 20), 0);
    }
    EXPECT_EQ(read_file(img), data);
    {
        dev_ptr dev(open(img + "?sector_off=16", OS_PF_RDWR));
        ASSERT_TRUE(dev);
        ASSERT_EQ(bd_seek(dev.get(), 512), 0);
        EXPECT_EQ(bd_extend_test(dev.get(), 0, 1 << 20), 0);
        EXPECT_EQ(bd_offset(dev.get()), 512);
    }
    EXPECT_EQ(read_file(img), data);
    dev_ptr zero(open("/dev/zero"));
    EXPECT_EQ(bd_extend_test(zero.get(), 0, 1 << 30), 0);
}

TEST_F(BdIo, ExtendTestReportsAFileThatCannotGrow) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit rl{40000, 40000};
        setrlimit(RLIMIT_FSIZE, &rl);
        verr_info e{};
        bd_dev* dev = bd_open_err(img.c_str(), OS_PF_RDWR, &e);
        if (!dev) _exit(10);
        int rc = bd_extend_test(dev, 32768, 1 << 20);
        bd_close(dev);
        _exit(rc == 1 ? 0 : 11);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(read_file(img), data);
}

TEST_F(BdIo, PartitionWindowBoundsReadsAndWrites) {
    // The window of a partition: reads end at its end, a write across it is refused.
    dev_ptr dev(open(img + "?sector_off=8", OS_PF_RDWR));
    ASSERT_TRUE(dev);
    dev->vol_bounded = 1;
    dev->vol.vol_size = 1024;
    char buf[2048];
    EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, 0), 1024);
    EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, 1024), 0);
    EXPECT_EQ(bd_size(dev.get()), 1024);
    std::string w(1024, 'Z');
    EXPECT_EQ(bd_pwrite(dev.get(), w.data(), 1024, 512), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_DISK_FULL);
    EXPECT_EQ(bd_pwrite(dev.get(), w.data(), 512, 512), 512);
    EXPECT_EQ(bd_extend_test(dev.get(), 0, 4096), 1);
    EXPECT_EQ(bd_truncate(dev.get(), 0), VERR_NOT_SUPPORTED);
    std::string after = read_file(img);
    ASSERT_EQ(after.size(), data.size());
    EXPECT_EQ(after.substr(0, 9 * 512), data.substr(0, 9 * 512));
    EXPECT_EQ(after.substr(10 * 512), data.substr(10 * 512));
}

TEST_F(BdIo, IsoAndUdfDescriptors) {
    std::string iso(40000, '\0');
    memcpy(&iso[32768], "\x01" "CD001" "\x01", 7);
    write_file(dir.file("a.iso"), iso);
    std::string udf(40000, '\0');
    memcpy(&udf[32768], "\x00" "BEA01" "\x01", 7);
    write_file(dir.file("b.img"), udf);
    write_file(dir.file("short.img"), std::string(32770, '\0'));
    EXPECT_EQ(bd_is_iso(dir.file("a.iso").c_str()), 1);
    EXPECT_EQ(bd_is_iso(dir.file("b.img").c_str()), 1);
    EXPECT_EQ(bd_is_iso(img.c_str()), 0);
    EXPECT_EQ(bd_is_iso(dir.file("short.img").c_str()), 0);
    EXPECT_EQ(bd_is_iso(dir.file("missing").c_str()), 0);
}

TEST_F(BdIo, PlainFilesNeverPassPackedBlocks) {
    write_file(dir.file("out.img"), "");
    dev_ptr in(open(img));
    dev_ptr out(open(dir.file("out.img"), OS_PF_RDWR));
    bd_pack_mode mode{1, 512, 65536};
    ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
    EXPECT_EQ(mode.on, 0u);
    EXPECT_EQ(mode.block_len, 65536u);
    EXPECT_EQ(in->readz_on, 0);
    EXPECT_EQ(out->writez_on, 0);
    int64_t zlen = -1;
    char buf[512];
    EXPECT_EQ(bd_preadz(in.get(), buf, sizeof buf, &zlen, 0), 512);
    EXPECT_EQ(zlen, 0);
}

TEST_F(BdIo, SectorSizeHelpers) {
    for (int64_t s : {512, 1024, 2048, 4096}) EXPECT_EQ(bd_is_valid_sector_size(s), 1) << s;
    for (int64_t s : {0, 100, 513, 8192, -512}) EXPECT_EQ(bd_is_valid_sector_size(s), 0) << s;
    EXPECT_STREQ(bd_sector_size_text(), "512 1024 2048 4096");
    EXPECT_EQ(bd_sector_size_by_index(1), 512u);
    EXPECT_EQ(bd_sector_size_by_index(4), 4096u);
    EXPECT_EQ(bd_sector_size_by_index(5), 0u);
    EXPECT_STREQ(bd_size_type_name(7), "error size type");
}

TEST_F(BdIo, LoopDevices) {
    for (int ss : {512, 4096}) {
        SCOPED_TRACE(ss);
        std::string backing = dir.file("loop" + std::to_string(ss) + ".img");
        write_file(backing, sector_file_data(2048));
        loop_dev loop(backing, ss);
        if (loop.path.empty()) GTEST_SKIP() << "no loop device can be attached here";
        dev_ptr dev(open(loop.path, OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(dev->sector_size, ss);
        EXPECT_EQ(bd_size(dev.get()), 2048 * 512);
        bd_dev_info info{};
        ASSERT_EQ(bd_info(dev.get(), &info), 0);
        EXPECT_EQ(info.type, 5u);
        EXPECT_EQ(info.size_type, BLOCK_SIZE_FIXED);
        EXPECT_STREQ(info.bd_type, "disk");
        EXPECT_NE(std::string(info.info).find(backing), std::string::npos) << info.info;
        char buf[4096];
        ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 8192), 4096);
        EXPECT_EQ(sector_at(buf), 16u);
        std::string w(4096, 'L');
        ASSERT_EQ(bd_pwrite(dev.get(), w.data(), 4096, 4096), 4096);
        ASSERT_EQ(bd_sync(dev.get()), 0);
        EXPECT_EQ(bd_extend_test(dev.get(), 2048 * 512 - 10, 4096), 1);
        ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 4096), 4096);
        EXPECT_EQ(std::string(buf, 4096), w);
    }
}

// The hash job of a device reads on its pool's threads only from a plain
// local regular file: never from a partition window, a device node, a FIFO
// or a pseudo-file.
TEST_F(BdIo, OnlyPlainRegularFilesAreHashedOnSeveralReaders) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(dir.file("one"), data);
    loop_dev loop(dir.file("one"), 512);
    struct row {
        std::string name;
        bool bounded;
        bool shared;
    };
    std::vector<row> rows = {
        {img, false, true},
        {img + "?sector_off=8", false, true},
        {img + "?sector_off=8", true, false},
        {fifo, false, false},
        {"/dev/zero", false, false},
    };
    if (!loop.path.empty()) rows.push_back({loop.path, false, false});
    for (const row& r : rows) {
        SCOPED_TRACE(r.name + (r.bounded ? " window" : ""));
        dev_ptr dev(open(r.name, OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        if (r.bounded) {
            dev->vol_bounded = 1;
            dev->vol.vol_size = 4096;
        }
        bd_hash_param p{};
        p.hash_flag = HASH_PMD5;
        p.bs = 4096;
        p.thread = 1;
        ASSERT_EQ(bd_hash_init(dev.get(), &p), 0) << bd_errmsg(dev.get());
        EXPECT_EQ(dev->hash->job.shared_read != nullptr, r.shared);
        // A copy reads ahead of its writes on the same inputs.
        EXPECT_EQ(bd_read_ahead_fn(dev.get(), nullptr) != nullptr, r.shared);
    }
}

// The read-ahead of a copy stays off when the copy writes the file it reads,
// under any name, and when it writes to the null device; another file or a
// device as output leave it on.
TEST_F(BdIo, AFileIsNotReadAheadOfWritesToItself) {
    write_file(dir.file("other"), data);
    ASSERT_EQ(link(img.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(symlink(img.c_str(), dir.file("soft").c_str()), 0);
    dev_ptr in(open(img, OS_PF_RDONLY));
    ASSERT_TRUE(in) << verr_msg(&err);
    struct row {
        std::string out;
        bool ahead;
    };
    const row rows[] = {
        {img, false},
        {img + "?sector_off=8", false},
        {dir.file("hard"), false},
        {dir.file("soft"), false},
        {dir.file("other"), true},
        {"/dev/zero", true},
        {"/dev/null", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.out);
        dev_ptr out(open(r.out, OS_PF_RDWR));
        ASSERT_TRUE(out) << verr_msg(&err);
        file_read_fn fn = bd_read_ahead_fn(in.get(), out.get());
        EXPECT_EQ(fn != nullptr, r.ahead);
        if (!fn) continue;
        // It reads what the device reads, and leaves the device's position.
        std::string got(4096, '\0');
        EXPECT_EQ(fn(in.get(), got.data(), 4096, 8192), 4096);
        EXPECT_TRUE(got == data.substr(8192, 4096));
        EXPECT_EQ(bd_offset(in.get()), 0);
    }
}

// The several readers of a file read what the device reads, from the start
// of its window on; at a stop request they fail at once and leave nothing
// on the device.
TEST_F(BdIo, SeveralReadersReadWhatTheDeviceReads) {
    stop_flag stop{};
    dev_ptr dev(bd_open2s((img + "?sector_off=8").c_str(), OS_PF_RDONLY, reinterpret_cast<uint64_t>(&stop), &err));
    ASSERT_TRUE(dev) << verr_msg(&err);
    bd_hash_param p{};
    p.hash_flag = HASH_PMD5;
    p.bs = 4096;
    p.thread = 1;
    ASSERT_EQ(bd_hash_init(dev.get(), &p), 0) << bd_errmsg(dev.get());
    file_read_fn rd = dev->hash->job.shared_read;
    ASSERT_NE(rd, nullptr);
    std::string buf(2048, '\0');
    ASSERT_EQ(rd(dev.get(), buf.data(), 2048, 1024), 2048);
    EXPECT_EQ(buf, data.substr(8 * 512 + 1024, 2048));
    EXPECT_EQ(rd(dev.get(), buf.data(), 2048, static_cast<int64_t>(data.size()) - 8 * 512), 0);
    stop.stop = 1;
    EXPECT_EQ(rd(dev.get(), buf.data(), 2048, 0), -1);
    EXPECT_EQ(bd_errno(dev.get()), 0);
}

}  // namespace
