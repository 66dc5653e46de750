// A partition inside an image: the image drivers serve the window the
// partition table gives, from its first byte to its last.
#include "bd_test_util.h"
#include "img_test_util.h"
#include "libblock/bd_aff4.h"
#include "libblock/bd_smif.h"
#include "libpal/os/os_fileutil.h"

namespace {

using namespace img_test;

TEST(BdImageWindow, PartitionOfEveryImageKind) {
    IMG_NEED_TOOL("qemu-img");
    IMG_NEED_TOOL("sfdisk");
    bd_init2();
    IMG_REQUIRE(smif_module_find("d.qcow2") != nullptr, "the library libqcow");
    temp_dir dir;
    std::string raw = dir.file("disk.raw");
    write_file(raw, disk_data(8 << 20, 3));
    // Partition 2: 4000 sectors from sector 6000, across the image's block boundaries.
    proc_result r = run_proc({find_tool("sfdisk"), "-q", raw},
                             "label: dos\nstart=2048,size=2048,type=83\nstart=6000,size=4000,type=83\n");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string data = read_file(raw);
    std::string part = data.substr(6000 * 512, 4000 * 512);

    std::vector<std::string> images;
    images.push_back(dir.file("d.vdi"));
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", raw, images.back()}));
    images.push_back(dir.file("d.qcow2"));
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", raw, images.back()}));
    bdrv_aff4_set_library(KXDD_AFF4_STUB);
    images.push_back(dir.file("d.aff4"));
    uint64_t n = data.size(), never = UINT64_MAX;
    write_file(images.back(), std::string("AFF4STUB") + std::string(reinterpret_cast<const char*>(&n), 8) +
                                  std::string(reinterpret_cast<const char*>(&never), 8) + data);

    for (const std::string& img : images) {
        SCOPED_TRACE(img);
        verr_info err{};
        dev_ptr dev(bd_open2s((img + "?vol_idx=2").c_str(), OS_PF_RDONLY | BD_OFLAG_IMAGE, 0, &err));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(part.size()));
        bd_dev_info info = dev_info(dev.get());
        EXPECT_EQ(info.vol_start, 6000u * 512);
        EXPECT_EQ(info.size, part.size());
        EXPECT_EQ(info.offset, 0u);
        EXPECT_TRUE(same_bytes(read_all(dev.get(), 65536), part));
        char buf[512];
        ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 512), 512);
        EXPECT_EQ(std::string(buf, sizeof buf), part.substr(512, 512));
        // A copy reads the window ahead of its writes through the driver: the
        // same bytes, up to the window's end; not when it writes to the null
        // device or to the image itself.
        file_read_fn ahead = bd_read_ahead_fn(dev.get(), nullptr);
        ASSERT_NE(ahead, nullptr);
        std::string got(8192, '\0');
        EXPECT_EQ(ahead(dev.get(), got.data(), 8192, 4096), 8192);
        EXPECT_TRUE(got == part.substr(4096, 8192));
        EXPECT_EQ(ahead(dev.get(), got.data(), 8192, static_cast<int64_t>(part.size()) - 1024), 1024);
        EXPECT_TRUE(got.substr(0, 1024) == part.substr(part.size() - 1024));
        dev_ptr null_out(bd_open2s("/dev/null", OS_PF_RDWR, 0, &err));
        ASSERT_TRUE(null_out) << verr_msg(&err);
        EXPECT_EQ(bd_read_ahead_fn(dev.get(), null_out.get()), nullptr);
        EXPECT_EQ(bd_read_ahead_fn(dev.get(), dev.get()), nullptr);
        ASSERT_EQ(bd_seek(dev.get(), 1024), 0);
        EXPECT_EQ(dev_info(dev.get()).offset, 1024u);
        ASSERT_EQ(bd_read(dev.get(), buf, sizeof buf), 512);
        EXPECT_EQ(std::string(buf, sizeof buf), part.substr(1024, 512));
    }
    bdrv_aff4_set_library(nullptr);
}

}  // namespace
