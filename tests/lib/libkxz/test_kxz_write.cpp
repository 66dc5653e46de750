// Appending to images: tail-only writes, final images, the side file, the
// finish request and appending after a trailer.
#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"
#include "support/log_capture.h"

namespace {

using namespace kxz_test;

constexpr uint64_t BL = 4096;

uint64_t header_u64(const std::string& img, size_t field) {
    std::string b = read_file(img);
    uint64_t v = 0;
    if (b.size() >= 64) memcpy(&v, b.data() + field, 8);
    return v;
}

TEST_F(KxzFixture, WritesOnlyAtTheTailOneBlockAtATime) {
    std::string img = path("tail.kxz");
    make_image(img, marked_data(2 * BL), PACK_LZ4, BL, false);
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d) << verr_msg(&err);
    std::string blk = marked_data(BL);
    EXPECT_EQ(bd_pwrite(d.get(), blk.data(), BL, 0), -1);
    EXPECT_NE(std::string(bd_errmsg(d.get())).find("Only supports tail write data"), std::string::npos);
    EXPECT_EQ(bd_seek(d.get(), 3 * BL), -1);
    EXPECT_NE(std::string(bd_errmsg(d.get())).find("Offset cannot be greater than file length"), std::string::npos);
    std::string two = marked_data(2 * BL);
    EXPECT_EQ(bd_pwrite(d.get(), two.data(), 2 * BL, 2 * BL), -1) << "longer than a block";
    EXPECT_EQ(bd_errno(d.get()), VERR_INVALID_PARAMETER);
    EXPECT_EQ(bd_pwrite(d.get(), blk.data(), BL, 2 * BL), static_cast<int64_t>(BL));
    EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(3 * BL));
    // Truncation empties the image or is refused.
    EXPECT_EQ(bd_truncate(d.get(), 5), -1);
    EXPECT_EQ(bd_errno(d.get()), VERR_NOT_IMPLEMENTED);
    ASSERT_EQ(bd_truncate(d.get(), 0), 0);
    EXPECT_EQ(file_size(img), 0u);
    EXPECT_EQ(bd_size(d.get()), 0);
    // An emptied image is new again: its parameters may be set and it is
    // written from the start.
    ASSERT_EQ(set_params(d.get(), PACK_NONE, 2 * BL), 0);
    EXPECT_EQ(bd_write(d.get(), two.data(), 2 * BL), static_cast<int64_t>(2 * BL));
    d.reset();
    EXPECT_TRUE(same_bytes(read_image(img), two));
}

TEST_F(KxzFixture, AShortBlockMakesTheImageFinal) {
    std::string img = path("final.kxz");
    std::string data = marked_data(2 * BL + 100);
    {
        dev_ptr d(open(img, k_open_write));
        ASSERT_TRUE(d);
        ASSERT_EQ(set_params(d.get(), PACK_LZ4, BL), 0);
        ASSERT_TRUE(append_blocks(d.get(), data, BL));
        // The header holds the length at once; a sync after the short block
        // still flushes what was written.
        EXPECT_EQ(header_u64(img, KXZ_H_FILE_LEN), data.size());
        EXPECT_EQ(bd_sync(d.get()), 0);
        EXPECT_EQ(bd_write(d.get(), data.data(), 10), -1);
        EXPECT_EQ(bd_errno(d.get()), VERR_WRITE_PROTECT);
    }
    unlink((img + "_off").c_str());
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d) << verr_msg(&err);
    bd_dev_info info{};
    ASSERT_EQ(bd_info(d.get(), &info), 0);
    EXPECT_EQ(info.type, 5u);
    EXPECT_EQ(info.size_type, BLOCK_SIZE_FIXED);
    EXPECT_STREQ(info.size_type_name, "fixed size type");
    EXPECT_EQ(info.size, data.size());
    ASSERT_EQ(bd_seek(d.get(), static_cast<int64_t>(data.size())), 0);
    EXPECT_EQ(bd_write(d.get(), data.data(), 10), -1);
    EXPECT_EQ(bd_errno(d.get()), VERR_WRITE_PROTECT);
    EXPECT_STREQ(bd_errmsg(d.get()), "Write protect error.");
    EXPECT_EQ(bd_sync(d.get()), -1);
    EXPECT_FALSE(file_exists(img + "_off")) << "a final image opens no side file";
    d.reset();
    EXPECT_TRUE(same_bytes(read_image(img), data));
}

TEST_F(KxzFixture, WholeBlocksLeaveTheImageOpenForAppending) {
    std::string img = path("grow.kxz");
    std::string data = marked_data(5 * BL, true);
    make_image(img, data.substr(0, 3 * BL), PACK_LZ4, BL);
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d);
    bd_dev_info info{};
    ASSERT_EQ(bd_info(d.get(), &info), 0);
    EXPECT_EQ(info.type, 2u);
    EXPECT_EQ(info.size_type, BLOCK_SIZE_EXTENSIBLE);
    bd_pack_param p{};
    ASSERT_EQ(bd_get_pack_param(d.get(), &p), 0);
    EXPECT_EQ(p.new_image, 0u);
    EXPECT_EQ(p.block_len, BL);
    // An existing image keeps its block length and its pack method.
    EXPECT_EQ(set_params(d.get(), PACK_LZ4, 2 * BL), -1);
    EXPECT_EQ(set_params(d.get(), PACK_NONE, BL), -1);
    EXPECT_EQ(bd_get_pack_type(d.get()), static_cast<int32_t>(PACK_LZ4));
    ASSERT_EQ(bd_seek(d.get(), 3 * BL), 0);
    ASSERT_TRUE(append_blocks(d.get(), data.substr(3 * BL), BL));
    EXPECT_EQ(bd_sync(d.get()), 0);
    d.reset();
    EXPECT_TRUE(same_bytes(read_image(img), data));
}

TEST_F(KxzFixture, BlockLengthLimitOfNewImages) {
    log_capture cap;
    dev_ptr d(open(path("limit.kxz"), k_open_write));
    ASSERT_TRUE(d);
    EXPECT_EQ(set_params(d.get(), PACK_LZ4, 0x8000000), -1);
    EXPECT_TRUE(cap.contains("len=134217728 error: max=134217728")) << cap.all();
    EXPECT_EQ(set_params(d.get(), PACK_LZ4, 0x8000000 - 512), 0);
    // A block length never set is the first block's.
    std::string data = marked_data(3 * BL);
    {
        dev_ptr e(open(path("nolen.kxz"), k_open_write));
        ASSERT_TRUE(e);
        ASSERT_TRUE(append_blocks(e.get(), data, BL));
        EXPECT_EQ(bd_write(e.get(), data.data(), BL + 1), -1);
    }
    dev_ptr r(open(path("nolen.kxz"), k_open_read));
    ASSERT_TRUE(r);
    bd_pack_param p{};
    ASSERT_EQ(bd_get_pack_param(r.get(), &p), 0);
    EXPECT_EQ(p.block_len, BL);
    EXPECT_TRUE(same_bytes(read_all(r.get()), data));
}

TEST_F(KxzFixture, PackedBlocksTheReadersWouldRefuseAreNotWritten) {
    for (uint32_t pack : {PACK_NONE, PACK_LZ4}) {
        std::string img = path("refuse.kxz");
        verr_info e{};
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC, &e));
        ASSERT_TRUE(k) << verr_msg(&e);
        ASSERT_EQ(kxz_set_pack_type(k.get(), pack), 0);
        ASSERT_EQ(kxz_set_block_len(k.get(), BL), 0);
        std::string z(3 * BL, 'z');
        EXPECT_EQ(kxz_pwritez(k.get(), -1, z.data(), BL, 2 * BL + 1), -1) << "longer than 2 x block_len";
        EXPECT_EQ(kxz_pwritez(k.get(), -1, z.data(), BL, BL - 1), pack == PACK_NONE ? -1 : static_cast<int64_t>(BL))
            << "an unpacked block is exactly as long as its record";
        EXPECT_EQ(file_size(img) == 0, pack == PACK_NONE) << "a refused block writes nothing, not even the header";
    }
}

TEST_F(KxzFixture, SideFileGrowsWhileWrittenAndTheFinishRemovesIt) {
    std::string img = path("side.kxz");
    {
        dev_ptr d(open(img, k_open_write));
        ASSERT_TRUE(d);
        ASSERT_EQ(set_params(d.get(), PACK_LZ4, BL), 0);
        ASSERT_TRUE(append_blocks(d.get(), marked_data(3 * BL), BL));
        EXPECT_EQ(file_size(img + "_off"), 16u) << "the guid, no entry below the stride";
        std::string side = read_file(img + "_off");
        EXPECT_EQ(side, read_file(img).substr(KXZ_H_GUID, 16));
    }
    EXPECT_TRUE(file_exists(img + "_off")) << "a close without finish keeps the side file";
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d);
    ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    EXPECT_FALSE(file_exists(img + "_off"));
    EXPECT_EQ(header_u64(img, KXZ_H_OFF_CACHE), 0u) << "no entries, no trailer";
}

TEST_F(KxzFixture, SideFileOfAnotherImageIsRefused) {
    std::string img = path("guid.kxz");
    make_image(img, marked_data(2 * BL), PACK_LZ4, BL, false);
    std::string side = read_file(img + "_off");
    side[3] ^= 0x40;
    write_file(img + "_off", side);
    log_capture cap;
    dev_ptr d(open(img, k_open_append));
    EXPECT_FALSE(d);
    EXPECT_TRUE(cap.contains("guid unequal error")) << cap.all();
    EXPECT_EQ(err.code, VERR_INVALID_FILE_HEAD);
    // A side file that is not 16 bytes plus whole entries is refused too.
    write_file(img + "_off", read_file(img).substr(KXZ_H_GUID, 16) + "abc");
    cap.clear();
    EXPECT_FALSE(dev_ptr(open(img, k_open_append)));
    EXPECT_TRUE(cap.contains("cache_file len=19 error")) << cap.all();
    // Readers never depend on it.
    EXPECT_TRUE(same_bytes(read_image(img), marked_data(2 * BL)));
}

// An image of the independent writer with an index entry every 4 blocks.
class KxzIndexed : public KxzFixture {
protected:
    void SetUp() override {
        KxzFixture::SetUp();
        KXZ_NEED_ORACLE();
        data = marked_data(100 * BL, true, 9);
        img = path("idx.kxz");
        ASSERT_EQ(oracle_write(data.substr(0, 50 * BL), img, BL, PACK_LZ4, 0, 4 * BL, true), 0);
    }
    // The image is sound: every byte, and a trailer that indexes every stride.
    void check_image(uint64_t len) {
        std::string unpacked;
        oracle_result o = oracle_read(img, &unpacked);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data.substr(0, len)));
        EXPECT_EQ(o.list("trailer"), o.list("step_entries"));
        EXPECT_NE(o.list("trailer"), "[]");
        EXPECT_FALSE(file_exists(img + "_off"));
        EXPECT_TRUE(same_bytes(read_image(img), data.substr(0, len)));
    }
    std::string data;
    std::string img;
};

TEST_F(KxzIndexed, AppendingAfterTheTrailerKeepsEveryRecord) {
    std::string before = read_file(img);
    {
        dev_ptr d(open(img, k_open_append));
        ASSERT_TRUE(d) << verr_msg(&err);
        EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(50 * BL));
        // Opening changes nothing before a block is appended.
        EXPECT_TRUE(read_file(img) == before);
        ASSERT_EQ(bd_seek(d.get(), 50 * BL), 0);
        ASSERT_TRUE(append_blocks(d.get(), data.substr(50 * BL, 20 * BL), BL));
        ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    }
    check_image(70 * BL);
    // Again, closing without the finish: the side file carries the index.
    {
        dev_ptr d(open(img, k_open_append));
        ASSERT_TRUE(d);
        ASSERT_EQ(bd_seek(d.get(), 70 * BL), 0);
        ASSERT_TRUE(append_blocks(d.get(), data.substr(70 * BL, 10 * BL), BL));
    }
    EXPECT_EQ(header_u64(img, KXZ_H_OFF_CACHE), 0u);
    EXPECT_EQ(file_size(img + "_off"), 16u + 8 * (80 / 4 - 1));
    EXPECT_TRUE(same_bytes(read_image(img), data.substr(0, 80 * BL)));
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d);
    ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    // A second finish finds nothing to do.
    ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    d.reset();
    check_image(80 * BL);
}

TEST_F(KxzIndexed, FinishOnAnImageLeftAsItWasKeepsItsTrailer) {
    std::string before = read_file(img);
    dev_ptr d(open(img, k_open_append));
    ASSERT_TRUE(d);
    ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    d.reset();
    EXPECT_TRUE(read_file(img) == before);
    EXPECT_FALSE(file_exists(img + "_off"));
}

TEST_F(KxzIndexed, ReopenWithoutTheAppendFlagKeepsTheIndex) {
    uint32_t reopen = OS_PF_RDWR | OS_PF_CREATE | BD_OFLAG_IMAGE;  // a retry's re-open
    uint64_t len = 50 * BL;
    for (int round = 0; round < 3; ++round) {
        dev_ptr d(open(img, reopen));
        ASSERT_TRUE(d) << verr_msg(&err);
        ASSERT_EQ(bd_seek(d.get(), static_cast<int64_t>(len)), 0);
        ASSERT_TRUE(append_blocks(d.get(), data.substr(len, 9 * BL), BL));
        len += 9 * BL;
    }
    dev_ptr d(open(img, reopen));
    ASSERT_TRUE(d);
    ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    d.reset();
    check_image(len);
}

TEST_F(KxzIndexed, UnfinishedImagesAreReadThroughTheirSideFile) {
    {
        dev_ptr d(open(img, k_open_append));
        ASSERT_TRUE(d);
        ASSERT_EQ(bd_seek(d.get(), 50 * BL), 0);
        ASSERT_TRUE(append_blocks(d.get(), data.substr(50 * BL, 30 * BL), BL));
    }
    // Record 1 made unreadable: a reader that walked from the start could
    // reach no later block, one that starts at an indexed record can.
    std::string bytes = read_file(img);
    uint32_t zlen0;
    memcpy(&zlen0, bytes.data() + 64, 4);
    size_t rec1 = 64 + kxz_record_size(zlen0);
    uint32_t huge = 0x7fffffff;
    memcpy(&bytes[rec1], &huge, 4);
    write_file(img, bytes);
    dev_ptr d(open(img, k_open_read));
    ASSERT_TRUE(d) << verr_msg(&err);
    std::string buf(BL, '\0');
    EXPECT_EQ(bd_pread(d.get(), buf.data(), BL, BL), -1);
    EXPECT_EQ(bd_errno(d.get()), VERR_INVALID_FILE_HEAD);
    for (uint64_t blk : {77u, 4u, 60u, 9u}) {
        ASSERT_EQ(bd_pread(d.get(), buf.data(), BL, static_cast<int64_t>(blk * BL)), static_cast<int64_t>(BL)) << blk;
        EXPECT_TRUE(buf == data.substr(blk * BL, BL)) << blk;
    }
}

}  // namespace
