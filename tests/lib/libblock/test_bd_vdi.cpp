// The "vdi" driver through the block layer and the built kxdd.
#include "bd_test_util.h"
#include "img_test_util.h"
#include "lib/libvdi/vdi_test_util.h"
#include "libpal/os/os_fileutil.h"

namespace {

using namespace img_test;

constexpr size_t k_size = 3 * 1024 * 1024 + 4096;
constexpr uint32_t k_read = OS_PF_RDONLY | BD_OFLAG_IMAGE;

class BdVdi : public ::testing::Test {
protected:
    void SetUp() override {
        IMG_NEED_TOOL("qemu-img");
        bd_init2();
        data = disk_data(k_size);
        raw = dir.file("src.raw");
        write_file(raw, data);
        img = dir.file("x.VDI");  // the suffix in any case
        ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", raw, img}));
    }
    bd_dev* open(const std::string& name, uint32_t oflag = k_read) {
        err = verr_info{};
        return bd_open2s(name.c_str(), oflag, 0, &err);
    }
    temp_dir dir;
    std::string data;
    std::string raw;
    std::string img;
    verr_info err{};
};

TEST_F(BdVdi, ReadsThroughTheBlockLayer) {
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bd_drv_type(dev.get()), BD_DRV_VDI);
    EXPECT_STREQ(bd_drv_name(dev.get()), "vdi");
    bd_dev_info info = dev_info(dev.get());
    EXPECT_STREQ(info.bd_type, "vdi");
    EXPECT_EQ(info.size, k_size);
    EXPECT_EQ(info.size_type, static_cast<uint32_t>(BLOCK_SIZE_FIXED));
    EXPECT_EQ(info.sector_size, 512u);
    EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(k_size));
    EXPECT_TRUE(same_bytes(read_all(dev.get(), 100000), data));
    EXPECT_EQ(bd_offset(dev.get()), static_cast<int64_t>(k_size));

    struct row {
        int64_t off;
        int64_t len;
        int64_t want;
    };
    const int64_t size = static_cast<int64_t>(k_size);
    const row rows[] = {{(1 << 20) - 3, 6, 6}, {size - 10, 4096, 10}, {size, 512, 0}, {size + 4096, 512, 0}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.off);
        std::string buf(static_cast<size_t>(r.len), '\0');
        ASSERT_EQ(bd_pread(dev.get(), buf.data(), r.len, r.off), r.want) << bd_errmsg(dev.get());
        if (r.want > 0) {
            EXPECT_EQ(buf.substr(0, static_cast<size_t>(r.want)),
                      data.substr(static_cast<size_t>(r.off), static_cast<size_t>(r.want)));
        }
    }
    // A seek moves the current position; reads go on from it.
    ASSERT_EQ(bd_seek(dev.get(), 2 << 20), 0);
    EXPECT_EQ(bd_offset(dev.get()), 2 << 20);
    char buf[4096];
    ASSERT_EQ(bd_read(dev.get(), buf, sizeof buf), 4096);
    EXPECT_EQ(std::string(buf, sizeof buf), data.substr(2 << 20, 4096));
    EXPECT_EQ(bd_offset(dev.get()), (2 << 20) + 4096);
}

TEST_F(BdVdi, WritesAndOtherControlCodesAreRefused) {
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bd_pwrite(dev.get(), "x", 1, 0), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
    EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    EXPECT_LT(bd_sync(dev.get()), 0);
    EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
    EXPECT_LT(bd_truncate(dev.get(), 0), 0);
    EXPECT_EQ(bd_get_pack_type(dev.get()), 0);
    bd_vol vol{};
    ASSERT_EQ(bd_get_vol(dev.get(), &vol), 0);
    EXPECT_EQ(vol.vol_size, k_size);
}

TEST_F(BdVdi, WritableOpenIsRefused) {
    for (uint32_t access : {OS_PF_RDWR, OS_PF_WRONLY}) {
        uint32_t oflag = access | BD_OFLAG_IMAGE;
        EXPECT_EQ(open(img, oflag), nullptr);
        EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
        char want[128];
        snprintf(want, sizeof want, "oflag=0x%x Only read-only open files are supported", oflag);
        EXPECT_STREQ(verr_msg(&err), want);
    }
}

TEST_F(BdVdi, DamagedImageFailsTheOpen) {
    std::string f = read_file(img);
    vdi_test::put_le32(f, VDI_OFF_BLOCK_SIZE, 0);
    std::string bad = dir.file("bad.vdi");
    write_file(bad, f);
    EXPECT_EQ(open(bad), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_FILE_HEAD);
    EXPECT_STREQ(verr_msg(&err), "Invalid VDI header: block size 0.");
}

TEST_F(BdVdi, KxddCopiesImagesToTheirData) {
    std::string st = dir.file("static.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", "-o", "static=on", raw, st}));
    for (const std::string& in : {img, st}) {
        SCOPED_TRACE(in);
        std::string out = dir.file("out.raw");
        proc_result r = run_kxdd({"if=" + in, "of=" + out, "bs=256k"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(same_bytes(read_file(out), data));
    }
    // skip and count: a window of the disk that crosses a block boundary.
    std::string out = dir.file("part.raw");
    proc_result r = run_kxdd({"if=" + img, "of=" + out, "bs=4k", "skip=255", "count=3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same_bytes(read_file(out), data.substr(255 * 4096, 3 * 4096)));
}

}  // namespace
