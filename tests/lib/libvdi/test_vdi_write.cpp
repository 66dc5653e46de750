// Writes of the VDI reader (the driver does not use them): blocks without
// data get a block of their own, and qemu-img reads the result back.
#include "vdi_test_util.h"

namespace {

using namespace img_test;
using namespace vdi_test;

class VdiWrite : public ::testing::Test {
protected:
    void SetUp() override { IMG_NEED_TOOL("qemu-img"); }
    // The image's disk as qemu-img converts it to raw.
    std::string qemu_raw(const std::string& img) {
        std::string out = img + ".raw";
        EXPECT_TRUE(run_ok({"qemu-img", "convert", "-f", "vdi", "-O", "raw", img, out}));
        return read_file(out);
    }
    int64_t write_at(vdi_ctx* v, int64_t off, const std::string& bytes) {
        if (vdi_seek(v, off, 0) != off) return -2;
        return vdi_write(v, bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    temp_dir dir;
};

TEST_F(VdiWrite, WritesLandWhereQemuReadsThem) {
    const size_t size = 3 * 1024 * 1024 + 4096;
    std::string want = disk_data(size);
    std::string raw = dir.file("src.raw");
    write_file(raw, want);
    std::string img = dir.file("x.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", raw, img}));
    {
        vdi_ptr v(img, OS_PF_RDWR);
        ASSERT_TRUE(v) << verr_msg(&v.err);
        uint32_t allocated = v.get()->allocated;
        struct row {
            int64_t off;
            std::string bytes;
            int64_t written;
        };
        const row rows[] = {
            {(1 << 20) + 100, std::string(1000, 'w'), 1000},                        // into the hole of block 1
            {(3 << 20) - 4096, std::string(8192, 'x'), 8192},                       // across blocks 2 and 3
            {static_cast<int64_t>(size) - 10, std::string(100, 'y'), 10},           // cut at the disk's end
        };
        for (const row& r : rows) {
            SCOPED_TRACE(r.off);
            ASSERT_EQ(write_at(v.get(), r.off, r.bytes), r.written) << verr_msg(&v.err);
            memcpy(&want[static_cast<size_t>(r.off)], r.bytes.data(), static_cast<size_t>(r.written));
        }
        EXPECT_EQ(v.get()->allocated, allocated + 1);
        // The context reads its own writes before they reach the map on disk.
        EXPECT_TRUE(same_bytes(read_whole(v.get(), 1 << 20), want));
        ASSERT_EQ(vdi_close(v.v), 0);
        v.v = nullptr;
    }
    EXPECT_TRUE(same_bytes(qemu_raw(img), want));
    EXPECT_TRUE(run_ok({"qemu-img", "check", "-f", "vdi", img}));
    vdi_ptr again(img);
    ASSERT_TRUE(again) << verr_msg(&again.err);
    EXPECT_TRUE(same_bytes(read_whole(again.get(), 1 << 20), want));
}

TEST_F(VdiWrite, WholeAndPartialBlocksOfAnEmptyImage) {
    std::string img = dir.file("e.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", img, "4M"}));
    std::string want(4 << 20, '\0');
    {
        vdi_ptr v(img, OS_PF_RDWR);
        ASSERT_TRUE(v) << verr_msg(&v.err);
        std::string whole(1 << 20, 'W');
        ASSERT_EQ(write_at(v.get(), 2 << 20, whole), 1 << 20);
        ASSERT_EQ(write_at(v.get(), 10, "part"), 4);
        memcpy(&want[2 << 20], whole.data(), whole.size());
        memcpy(&want[10], "part", 4);
        EXPECT_EQ(v.get()->allocated, 2u);
    }
    EXPECT_TRUE(same_bytes(qemu_raw(img), want));
    EXPECT_TRUE(run_ok({"qemu-img", "check", "-f", "vdi", img}));
}

TEST_F(VdiWrite, ReadOnlyContextRefusesWrites) {
    std::string img = dir.file("e.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", img, "1M"}));
    std::string before = read_file(img);
    {
        vdi_ptr v(img);
        ASSERT_TRUE(v) << verr_msg(&v.err);
        EXPECT_EQ(vdi_write(v.get(), "abc", 3), -1);
        EXPECT_EQ(v.err.code, VERR_WRITE_PROTECT);
    }
    EXPECT_EQ(read_file(img), before);
}

}  // namespace
