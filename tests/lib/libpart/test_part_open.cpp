// Opening one volume of a partitioned image through the block layer.
#include <string>

#include "libpal/os/os_fileutil.h"
#include "part_test_util.h"
#include "support/log_capture.h"

namespace part_test {
namespace {

// An image of 8192 sectors with two primary partitions made by sfdisk:
// 2048 sectors at 2048 and 1001 sectors at 4096.
class PartOpen : public PartTest {
protected:
    void SetUp() override {
        PartTest::SetUp();
        std::string sfdisk = find_tool("sfdisk");
        if (sfdisk.empty()) GTEST_SKIP() << "sfdisk is not installed";
        img = dir.file("d.img");
        write_file(img, sector_data(8192));
        proc_result r =
            run_proc({sfdisk, "-q", img}, "label: dos\nstart=2048,size=2048,type=83\nstart=4096,size=1001,type=83\n");
        ASSERT_EQ(r.status, 0) << r.err;
        data = read_file(img);
    }
    bd_dev* open(const std::string& name, uint32_t oflag = OS_PF_RDONLY) {
        err = verr_info{};
        return bd_open_err(name.c_str(), oflag, &err);
    }
    std::string img;
    std::string data;
    verr_info err{};
};

struct dev_guard {
    bd_dev* d;
    ~dev_guard() {
        if (d) bd_close(d);
    }
};

TEST_F(PartOpen, WindowTable) {
    struct row {
        const char* query;
        uint64_t start;  // sectors
        uint64_t size;
    };
    const row rows[] = {
        {"?vol_idx=1", 2048, 2048},
        {"?vol_idx=2", 4096, 1001},
        // The table is read on the device that starts at the sector offset: no table there.
        {"?sector_off=2048&vol_idx=1", 2048, 8192 - 2048},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.query);
        dev_guard dev{open(img + r.query)};
        ASSERT_NE(dev.d, nullptr) << verr_msg(&err);
        bd_vol vol{};
        ASSERT_EQ(bd_get_vol(dev.d, &vol), 0);
        EXPECT_EQ(vol.vol_start, r.start * k_sector);
        EXPECT_EQ(vol.vol_size, r.size * k_sector);
        EXPECT_EQ(bd_size(dev.d), static_cast<int64_t>(r.size * k_sector));
        std::string buf(k_sector, '\0');
        ASSERT_EQ(bd_read(dev.d, buf.data(), k_sector), static_cast<int64_t>(k_sector));  // starts at the window
        EXPECT_EQ(index_at(buf, 0), r.start);
        ASSERT_EQ(bd_pread(dev.d, buf.data(), k_sector, 0), static_cast<int64_t>(k_sector));
        EXPECT_EQ(index_at(buf, 0), r.start);
        ASSERT_EQ(bd_seek(dev.d, 0), 0);
        ASSERT_EQ(bd_pread(dev.d, buf.data(), k_sector, -1), static_cast<int64_t>(k_sector));
        EXPECT_EQ(index_at(buf, 0), r.start);
        // Reads end at the end of the volume.
        std::string two(2 * k_sector, '\0');
        int64_t last = static_cast<int64_t>((r.size - 1) * k_sector);
        ASSERT_EQ(bd_pread(dev.d, two.data(), 2 * k_sector, last), static_cast<int64_t>(k_sector));
        EXPECT_EQ(index_at(two, 0), r.start + r.size - 1);
        EXPECT_EQ(bd_pread(dev.d, two.data(), k_sector, last + static_cast<int64_t>(k_sector)), 0);
    }
}

TEST_F(PartOpen, NumbersOutOfRange) {
    for (int idx : {3, -1}) {
        EXPECT_EQ(open(img + "?vol_idx=" + std::to_string(idx)), nullptr);
        EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
        EXPECT_EQ(std::string(verr_msg(&err)), "vol_idx=" + std::to_string(idx) + " valid values: 1-2");
    }
}

TEST_F(PartOpen, BlankDeviceIsVolumeOne) {
    std::string blank = dir.file("blank.img");
    write_file(blank, sector_data(64));
    dev_guard dev{open(blank + "?vol_idx=1")};
    ASSERT_NE(dev.d, nullptr) << verr_msg(&err);
    EXPECT_EQ(bd_size(dev.d), static_cast<int64_t>(64 * k_sector));
    EXPECT_EQ(open(blank + "?vol_idx=2"), nullptr);
    EXPECT_STREQ(verr_msg(&err), "vol_idx=2 valid values: 1-1");
}

TEST_F(PartOpen, EmptyWindowsAreRefusedAndNothingIsWritten) {
    // An entry of size 0, and one that starts behind the end of the device.
    std::string d = data;
    mbr_entry(d, 0, 2, 0x83, 6000, 0);
    mbr_entry(d, 0, 3, 0x83, 9000, 16);
    write_file(img, d);
    const uint32_t write_flags = OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC;
    EXPECT_EQ(open(img + "?vol_idx=3", write_flags), nullptr);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_STREQ(verr_msg(&err), "volume size error [start=3072000 size=0]");
    EXPECT_EQ(open(img + "?vol_idx=4", write_flags), nullptr);
    EXPECT_STREQ(verr_msg(&err), "volume size error [start=4608000 size=0]");
    EXPECT_TRUE(read_file(img) == d);
}

TEST_F(PartOpen, WritesStayInsideThePartition) {
    // Opened as an output is: create and truncate are asked for.
    dev_guard dev{open(img + "?vol_idx=2", OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC)};
    ASSERT_NE(dev.d, nullptr) << verr_msg(&err);
    ASSERT_EQ(read_file(img).size(), data.size());
    uint32_t size_type = 0;
    ASSERT_EQ(bd_ioctl(dev.d, BLOCK_GET_SIZE_TYPE, &size_type, sizeof size_type), 0);
    EXPECT_EQ(size_type, BLOCK_SIZE_FIXED);  // nothing truncates or extends a partition

    const int64_t size = 1001 * k_sector;
    std::string w(2 * k_sector, 'W');
    EXPECT_EQ(bd_pwrite(dev.d, w.data(), 2 * k_sector, size - static_cast<int64_t>(k_sector)), -1);
    EXPECT_EQ(bd_errno(dev.d), VERR_DISK_FULL);
    EXPECT_EQ(bd_pwrite(dev.d, w.data(), k_sector, size), -1);
    EXPECT_EQ(bd_pwrite(dev.d, w.data(), k_sector, size - static_cast<int64_t>(k_sector)),
              static_cast<int64_t>(k_sector));
    EXPECT_EQ(bd_pwrite(dev.d, w.data(), k_sector, 0), static_cast<int64_t>(k_sector));

    std::string after = read_file(img);
    ASSERT_EQ(after.size(), data.size());
    std::string expect = data;
    expect.replace(4096 * k_sector, k_sector, k_sector, 'W');
    expect.replace((4096 + 1000) * k_sector, k_sector, k_sector, 'W');
    EXPECT_TRUE(after == expect);
}

TEST_F(PartOpen, LookupParsesImagesAsTheCallerAsked) {
    for (uint32_t image : {0u, BD_OFLAG_IMAGE}) {
        log_capture cap(8);
        dev_guard dev{open(img + "?vol_idx=1", OS_PF_RDONLY | image)};
        ASSERT_NE(dev.d, nullptr) << verr_msg(&err);
        char want[64];
        snprintf(want, sizeof want, "flag=0x%x vol_idx=0 ", OS_PF_RDONLY | image);
        EXPECT_TRUE(cap.contains(want)) << cap.all();
        EXPECT_TRUE(cap.contains("vol_idx=1 vol_start=1048576 vol_size=1048576")) << cap.all();
    }
}

}  // namespace
}  // namespace part_test
