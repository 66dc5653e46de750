// VMDK outputs written through the block layer and by kxdd, checked with an
// independent image tool.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "libblock/bd.h"
#include "libpal/os/os_fileutil.h"
#include "libvmdk/libvmdk.h"
#include "support/proc.h"
#include "vmdk_test_util.h"

namespace {

constexpr uint32_t k_out = OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC | BD_OFLAG_IMAGE;

// The source as the image holds it: padded with zeros to whole sectors.
std::string padded(const std::string& d) { return d + std::string((512 - d.size() % 512) % 512, 0); }

int64_t file_size(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

void expect_tool_accepts(const std::string& img, const std::string& data, const std::string& raw) {
    proc_result c = tool_check(img);
    EXPECT_EQ(c.status, 0) << c.out << c.err;
    proc_result i = run_proc({"qemu-img", "info", "-f", "vmdk", "--output=json", img});
    EXPECT_EQ(i.status, 0) << i.err;
    EXPECT_NE(i.out.find("\"virtual-size\": " + std::to_string(padded(data).size())), std::string::npos) << i.out;
    EXPECT_NE(i.out.find("\"create-type\": \"streamOptimized\""), std::string::npos) << i.out;
    EXPECT_NE(i.out.find("\"compressed\": true"), std::string::npos) << i.out;
    std::string back = tool_to_raw(img, raw);
    EXPECT_EQ(back.size(), padded(data).size()) << back.substr(0, 200);
    EXPECT_TRUE(back == padded(data));
}

class VmdkImage : public testing::Test {
protected:
    void SetUp() override { bd_init2(); }
    temp_dir dir;
    std::string img = dir.file("out.vmdk");
    std::string raw = dir.file("back.raw");
};

TEST_F(VmdkImage, WrittenThroughTheBlockLayer) {
    REQUIRE_IMAGE_TOOL();
    const std::string data = pattern_data(3 * 1048576 + 1000, 11, 3);
    for (int level : {0, 6}) {
        SCOPED_TRACE(level);
        verr_info err{};
        std::string url = img + "?fsize=" + std::to_string(data.size()) + "&pack_level=" + std::to_string(level);
        bd_dev* dev = bd_open_err(url.c_str(), k_out, &err);
        ASSERT_NE(dev, nullptr) << verr_msg(&err);
        EXPECT_STREQ(bd_drv_name(dev), "vmdk2");
        bd_dev_info info{};
        ASSERT_EQ(bd_info(dev, &info), 0);
        EXPECT_EQ(info.size_type, static_cast<uint32_t>(BLOCK_SIZE_EXTENSIBLE));
        EXPECT_STREQ(info.bd_type, "vmdk2");
        EXPECT_EQ(dev->sector_size, 512);
        // Pieces of odd sizes at the current position, then one at an offset.
        size_t at = 0;
        for (size_t piece = 40000; at + piece < data.size() - 5000; at += piece)
            ASSERT_EQ(bd_write(dev, data.data() + at, static_cast<int64_t>(piece)), static_cast<int64_t>(piece));
        ASSERT_EQ(bd_pwrite(dev, data.data() + at, static_cast<int64_t>(data.size() - at), static_cast<int64_t>(at)),
                  static_cast<int64_t>(data.size() - at));
        EXPECT_EQ(bd_size(dev), static_cast<int64_t>(data.size()));
        EXPECT_EQ(bd_sync(dev), 0);
        EXPECT_EQ(bd_pwrite(dev, data.data(), 512, 0), -1);  // behind the tail
        EXPECT_STREQ(bd_errmsg(dev), "Only supports tail write data");
        ASSERT_EQ(bd_close(dev), 0);

        expect_tool_accepts(img, data, raw);
        EXPECT_EQ(read_back(read_file(img)), padded(data));
        // A third of the grains are zeros and cost nothing; level 6 also packs
        // the random ones a little.
        EXPECT_LT(file_size(img), static_cast<int64_t>(data.size() * 3 / 4));
    }
}

TEST_F(VmdkImage, UnfinishedImageIsRefusedByReaders) {
    REQUIRE_IMAGE_TOOL();
    verr_info err{};
    std::string url = img + "?fsize=1048576";
    bd_dev* dev = bd_open_err(url.c_str(), k_out, &err);
    ASSERT_NE(dev, nullptr) << verr_msg(&err);
    std::string data = pattern_data(98304, 12, 0);
    ASSERT_EQ(bd_write(dev, data.data(), 98304), 98304);
    ASSERT_EQ(bd_close(dev), 0);
    EXPECT_EQ(parse_head(read_file(img)).magic, "kdmv");
    EXPECT_NE(run_proc({"qemu-img", "info", "-f", "vmdk", img}).status, 0);

    // Reopened for writing it reports what it holds and continues there.
    dev = bd_open_err(url.c_str(), OS_PF_RDWR | OS_PF_CREATE | BD_OFLAG_IMAGE, &err);
    ASSERT_NE(dev, nullptr) << verr_msg(&err);
    EXPECT_EQ(bd_size(dev), 65536);
    std::string rest = pattern_data(1048576, 12, 0);
    ASSERT_EQ(bd_pwrite(dev, rest.data() + 65536, 1048576 - 65536, 65536), 1048576 - 65536);
    ASSERT_EQ(bd_close(dev), 0);
    std::string want = data.substr(0, 65536) + rest.substr(65536);
    expect_tool_accepts(img, want, raw);
}

class VmdkKxdd : public VmdkImage {
protected:
    void SetUp() override {
        VmdkImage::SetUp();
        // Whole sectors: only an image whose size is capacity x 512 can be
        // continued.
        data = pattern_data(2 * 1048576 + 3072, 21, 3);
        src = dir.file("src.raw");
        write_file(src, data);
    }
    std::string data;
    std::string src;
};

TEST_F(VmdkKxdd, CopyToAVmdk) {
    REQUIRE_IMAGE_TOOL();
    data.resize(data.size() - 72);  // a size that is no whole sector
    write_file(src, data);
    proc_result r = run_kxdd({"if=" + src, "of=" + img});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_tool_accepts(img, data, raw);
}

TEST_F(VmdkKxdd, InterruptedCopyIsResumed) {
    REQUIRE_IMAGE_TOOL();
    proc_result r = run_kxdd({"if=" + src, "of=" + img, "bs=32768", "count=3"});
    ASSERT_EQ(r.status, 0) << r.err;
    vmdk_head hd = parse_head(read_file(img));
    EXPECT_EQ(hd.magic, "kdmv");
    EXPECT_EQ(hd.done, 65536u);
    r = run_kxdd({"if=" + src, "of=" + img, "conv=resume"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_tool_accepts(img, data, raw);
    // Resuming a finished image has nothing left to copy and leaves it alone.
    std::string before = read_file(img);
    run_kxdd({"if=" + src, "of=" + img, "conv=resume"});
    EXPECT_EQ(read_file(img), before);
}

TEST_F(VmdkKxdd, CopyStoppedByAFullDiskIsResumed) {
    REQUIRE_IMAGE_TOOL();
    // The file size limit stands in for a full disk (SIGXFSZ ignored, so the
    // writes fail with EFBIG).
    proc_result r = run_proc({"bash", "-c", "trap '' XFSZ; ulimit -f 400; exec \"$0\" \"$@\"", kxdd_bin(), "if=" + src,
                              "of=" + img});
    EXPECT_NE(r.status, 0) << r.err;
    vmdk_head hd = parse_head(read_file(img));
    EXPECT_EQ(hd.magic, "kdmv") << r.err;
    EXPECT_EQ(hd.done % 65536, 0u);
    EXPECT_GT(hd.done, 0u);
    r = run_kxdd({"if=" + src, "of=" + img, "conv=resume"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_tool_accepts(img, data, raw);
}

}  // namespace
