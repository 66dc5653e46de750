// Packed blocks passing unchanged from a compressed input to a compressed
// output, and the decision that turns it on.
#include "kxz_test_util.h"
#include <random>

#include "libkxz/kxz_format.h"

namespace {

using namespace kxz_test;

constexpr uint64_t BL = 4096;

// Copies in to out the way the copy engine does with pass-through on: one
// block per step at the current positions, with a buffer of `cap` bytes.
::testing::AssertionResult copy_packed(bd_dev* in, bd_dev* out, int64_t cap) {
    std::string buf(static_cast<size_t>(cap), '\0');
    for (;;) {
        int64_t zlen = -1;
        int64_t n = bd_readz(in, buf.data(), cap, &zlen);
        if (n == 0) return ::testing::AssertionSuccess();
        if (n < 0) return ::testing::AssertionFailure() << "readz: " << bd_errmsg(in);
        int64_t w = bd_writez(out, buf.data(), n, zlen);
        if (w != n) return ::testing::AssertionFailure() << "writez: " << bd_errmsg(out);
    }
}

TEST_F(KxzFixture, CompressedImageToNewImagePassesPackedBlocksThrough) {
    for (uint32_t pack : {PACK_LZ4, PACK_NONE}) {
        SCOPED_TRACE(pack);
        std::string data = marked_data(20 * BL + 333, pack == PACK_LZ4);
        std::string src = path("src.kxz"), dst = path("dst.kxz");
        make_image(src, data, pack, BL);
        dev_ptr in(open(src, k_open_read));
        dev_ptr out(open(dst, k_open_write));
        ASSERT_TRUE(in && out);
        bd_pack_mode mode{0, 4096, 8 * BL};  // the caller's values for a new image
        ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
        EXPECT_EQ(mode.on, 1u);
        EXPECT_EQ(mode.block_len, BL) << "the input's block length wins";
        bd_pack_param p{};
        ASSERT_EQ(bd_get_pack_param(out.get(), &p), 0);
        EXPECT_EQ(p.pack_type, pack);
        EXPECT_EQ(p.block_len, BL);
        EXPECT_EQ(p.sector_size, 4096u);
        ASSERT_TRUE(copy_packed(in.get(), out.get(), static_cast<int64_t>(2 * BL)));
        EXPECT_EQ(bd_offset(in.get()), static_cast<int64_t>(data.size())) << "a packed read advances the position";
        ASSERT_EQ(bd_ioctl(out.get(), BLOCK_FINISH, nullptr, 0), 0);
        out.reset();
        // The records are the input's, byte for byte; only the guid differs.
        std::string a = read_file(src), b = read_file(dst);
        EXPECT_TRUE(a.substr(KXZ_HEADER_SIZE) == b.substr(KXZ_HEADER_SIZE));
        EXPECT_TRUE(a.substr(0, KXZ_H_SECTOR_SIZE) == b.substr(0, KXZ_H_SECTOR_SIZE));
        EXPECT_TRUE(same_bytes(read_image(dst), data));
    }
}

TEST_F(KxzFixture, PlainInputToNewImageKeepsPassThroughOff) {
    std::string plain = path("plain.bin");
    write_file(plain, marked_data(10 * BL));
    dev_ptr in(open(plain, k_open_read));
    dev_ptr out(open(path("out.kxz"), k_open_write));
    ASSERT_TRUE(in && out);
    bd_pack_mode mode{0, 2048, 2 * BL};
    ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
    EXPECT_EQ(mode.on, 0u);
    EXPECT_EQ(in->readz_on, 0);
    EXPECT_EQ(out->writez_on, 0);
    bd_pack_param p{};
    ASSERT_EQ(bd_get_pack_param(out.get(), &p), 0);
    EXPECT_EQ(p.new_image, 1u);
    EXPECT_EQ(p.pack_type, PACK_LZ4) << "a new image packs with lz4";
    EXPECT_EQ(p.block_len, 2 * BL) << "the caller's block length";
    EXPECT_EQ(p.sector_size, 2048u);
    // A compressed input to a plain output: nothing to pass through either.
    make_image(path("in.kxz"), marked_data(3 * BL), PACK_LZ4, BL);
    dev_ptr kin(open(path("in.kxz"), k_open_read));
    dev_ptr fout(open(path("out.bin"), OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC));
    ASSERT_TRUE(kin && fout);
    bd_pack_mode m2{0, 512, 0};
    ASSERT_EQ(bd_set_best_pack_mode(kin.get(), fout.get(), &m2), 0);
    EXPECT_EQ(m2.on, 0u);
    EXPECT_EQ(m2.block_len, BL);
}

TEST_F(KxzFixture, ExistingOutputImagePassesThroughOnlyWithTheSameMethod) {
    make_image(path("a.kxz"), marked_data(4 * BL), PACK_LZ4, BL);
    make_image(path("lz4.kxz"), marked_data(2 * BL, false, 3), PACK_LZ4, BL, false);
    make_image(path("none.kxz"), marked_data(2 * BL, false, 3), PACK_NONE, BL, false);
    for (auto [name, on] : {std::pair<const char*, uint32_t>{"lz4.kxz", 1}, {"none.kxz", 0}}) {
        SCOPED_TRACE(name);
        dev_ptr in(open(path("a.kxz"), k_open_read));
        dev_ptr out(open(path(name), k_open_append));
        ASSERT_TRUE(in && out) << verr_msg(&err);
        bd_pack_mode mode{0, 512, 99};
        ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
        EXPECT_EQ(mode.on, on);
        EXPECT_EQ(mode.block_len, BL) << "the existing output's block length";
        if (!on) continue;
        // Appended after its own records, the input's blocks pass unchanged.
        ASSERT_EQ(bd_seek(out.get(), 2 * BL), 0);
        ASSERT_TRUE(copy_packed(in.get(), out.get(), static_cast<int64_t>(2 * BL)));
        out.reset();
        EXPECT_TRUE(same_bytes(read_image(path(name)), marked_data(2 * BL, false, 3) + marked_data(4 * BL)));
    }
}

TEST_F(KxzFixture, PackedRecordLargerThanTheBufferArrivesPlain) {
    // Noise packs to records longer than the block; a caller whose buffer
    // holds one block gets those blocks plain (zlen 0), and the output
    // packs them itself.
    std::mt19937 gen(4);
    std::string data(6 * BL + 10, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    std::string src = path("noise.kxz"), dst = path("copy.kxz");
    make_image(src, data, PACK_LZ4, BL);
    dev_ptr in(open(src, k_open_read));
    dev_ptr out(open(dst, k_open_write));
    ASSERT_TRUE(in && out);
    bd_pack_mode mode{0, 512, BL};
    ASSERT_EQ(bd_set_best_pack_mode(in.get(), out.get(), &mode), 0);
    ASSERT_EQ(mode.on, 1u);
    ASSERT_TRUE(copy_packed(in.get(), out.get(), static_cast<int64_t>(BL)));
    ASSERT_EQ(bd_ioctl(out.get(), BLOCK_FINISH, nullptr, 0), 0);
    out.reset();
    EXPECT_TRUE(same_bytes(read_image(dst), data));
}

}  // namespace
