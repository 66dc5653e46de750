// Hand-made and damaged images: refused where the header is impossible,
// readable where only a block or the index is damaged, and never a write
// beyond a buffer (the tests run under ASan).
#include <memory>
#include <random>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"
#include "support/log_capture.h"

namespace {

using namespace kxz_test;

constexpr uint32_t BL = 4096;

std::string block_of(uint64_t index, bool noise = false) { return marked_data(BL, noise, static_cast<uint32_t>(index + 1)); }

// A valid image of n blocks (the last `last` bytes long when not 0).
image_bytes lz4_image(int n, uint32_t last = 0, bool noise = false) {
    image_bytes im;
    int64_t len = static_cast<int64_t>(n) * BL - (last ? BL - last : 0);
    im.header(PACK_LZ4, BL, len);
    for (int i = 0; i < n; ++i) {
        std::string b = block_of(static_cast<uint64_t>(i), noise);
        if (i == n - 1 && last) b.resize(last);
        im.record(lz4_block(b));
    }
    return im;
}

TEST_F(KxzFixture, ImpossibleHeadersAreRefused) {
    struct row {
        const char* what;
        std::string bytes;
        int32_t code;
    };
    auto with = [](auto f) {
        image_bytes im = lz4_image(2);
        f(im);
        return im.bytes;
    };
    const row rows[] = {
        {"one byte", "K", VERR_INVALID_FILE_HEAD},
        {"63 bytes", lz4_image(1).bytes.substr(0, 63), VERR_INVALID_FILE_HEAD},
        {"magic", with([](image_bytes& im) { im.bytes[3] = '7'; }), VERR_INVALID_MAGIC},
        {"block_len 0", with([](image_bytes& im) { memset(&im.bytes[KXZ_H_BLOCK_LEN], 0, 4); }), VERR_INVALID_FILE_HEAD},
        {"block_len 2^30+1", with([](image_bytes& im) {
             uint32_t v = 0x40000001;
             memcpy(&im.bytes[KXZ_H_BLOCK_LEN], &v, 4);
         }), VERR_INVALID_FILE_HEAD},
        {"negative file_len", with([](image_bytes& im) { im.set_u64(KXZ_H_FILE_LEN, ~uint64_t{0}); }),
         VERR_INVALID_FILE_HEAD},
        {"negative off_cache", with([](image_bytes& im) { im.set_u64(KXZ_H_OFF_CACHE, uint64_t{1} << 63); }),
         VERR_INVALID_FILE_HEAD},
    };
    log_capture cap;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string img = path("bad.kxz");
        write_file(img, r.bytes);
        for (uint32_t flags : {k_open_read, k_open_append}) {
            EXPECT_FALSE(dev_ptr(open(img, flags)));
            EXPECT_EQ(err.code, r.code) << verr_msg(&err);
            EXPECT_TRUE(read_file(img) == r.bytes) << "a refused open changes nothing";
        }
        EXPECT_FALSE(file_exists(img + "_off"));
    }
    EXPECT_TRUE(cap.contains("file_len=-1 < 0 error")) << cap.all();
    EXPECT_TRUE(cap.contains("block_len=0 error"));
}

// One damaged block among good ones: that block fails with its code, the
// others read right, before and after it, walked to or reached directly.
TEST_F(KxzFixture, DamagedBlocksFailAloneWithTheirCode) {
    struct row {
        const char* what;
        std::string z;  // packed bytes of block 1
        uint32_t zlen;  // its length words
        int32_t code;
    };
    std::string b1 = block_of(1);
    const row rows[] = {
        {"a bad block (zlen 0): an 8-byte record", "", 0, VERR_DEV_IO_ERROR},
        {"data that does not unpack", std::string(700, '\xff'), 700, VERR_DEV_IO_ERROR},
        {"data that unpacks one byte short", lz4_block(b1.substr(0, BL - 1)), 0, VERR_DEV_IO_ERROR},
        {"a length no writer produces", std::string(8, 'x'), 2 * BL + 1, VERR_INVALID_FILE_HEAD},
    };
    log_capture cap;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        image_bytes im;
        im.header(PACK_LZ4, BL, 4 * BL);
        im.record(lz4_block(block_of(0)));
        im.record_len(r.z, r.zlen ? r.zlen : static_cast<uint32_t>(r.z.size()));
        im.record(lz4_block(block_of(2)));
        im.record(lz4_block(block_of(3)));
        std::string img = path("damaged.kxz");
        write_file(img, im.bytes);

        verr_info e{};
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &e));
        ASSERT_TRUE(k) << verr_msg(&e);
        std::unique_ptr<char[]> buf(new char[BL]);
        ASSERT_EQ(kxz_pread(k.get(), 0, buf.get(), BL), BL);
        EXPECT_TRUE(std::string(buf.get(), BL) == block_of(0));
        EXPECT_EQ(kxz_pread(k.get(), BL, buf.get(), BL), -1);
        EXPECT_EQ(e.code, r.code) << verr_msg(&e);
        if (r.code == VERR_DEV_IO_ERROR) {
            EXPECT_STREQ(verr_msg(&e), "Device i/o error.");
            // The walker has stepped over the record: the next block at its
            // position, then one reached afresh by walking from the start.
            int64_t zl = 0;
            std::unique_ptr<char[]> packed(new char[2 * BL]);
            ASSERT_EQ(kxz_preadz(k.get(), -1, packed.get(), 2 * BL, &zl), BL);
            ASSERT_EQ(kxz_pread(k.get(), 3 * BL, buf.get(), BL), BL);
            EXPECT_TRUE(std::string(buf.get(), BL) == block_of(3));
            image_ptr fresh(kxz_open(img.c_str(), OS_PF_RDONLY, &e));
            ASSERT_EQ(kxz_pread(fresh.get(), 2 * BL, buf.get(), BL), BL);
            EXPECT_TRUE(std::string(buf.get(), BL) == block_of(2));
        }
    }
    EXPECT_TRUE(cap.contains("zlen==0 bad block"));
    EXPECT_TRUE(cap.contains("baby_error"));
}

TEST_F(KxzFixture, UnpackedRecordsMustHoldExactlyTheirBlock) {
    image_bytes im;
    im.header(PACK_NONE, BL, 2 * BL);
    im.record(block_of(0));
    im.record(block_of(1).substr(0, BL / 2));  // claims a whole block, holds half
    std::string img = path("none.kxz");
    write_file(img, im.bytes);
    dev_ptr d(open(img, k_open_read));
    ASSERT_TRUE(d);
    std::string buf(2 * BL, '\0');
    EXPECT_EQ(bd_pread(d.get(), buf.data(), 2 * BL, 0), static_cast<int64_t>(BL)) << "the good block is delivered";
    EXPECT_EQ(bd_pread(d.get(), buf.data(), BL, BL), -1);
    EXPECT_EQ(bd_errno(d.get()), VERR_INVALID_FILE_HEAD);
}

TEST_F(KxzFixture, RecordsLongerThanTheCallersBufferNeverOverflowIt) {
    // Noise does not pack: every record is longer than its block.
    std::mt19937 gen(2);
    std::string noise(2 * BL + 1000, '\0');
    for (auto& c : noise) c = static_cast<char>(gen());
    image_bytes im;
    im.header(PACK_LZ4, BL, static_cast<int64_t>(noise.size()));
    for (size_t at = 0; at < noise.size(); at += BL) im.record(lz4_block(noise.substr(at, BL)));
    std::string img = path("noise.kxz");
    write_file(img, im.bytes);
    verr_info e{};
    image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &e));
    ASSERT_TRUE(k);
    // A buffer of the block's size gets the plain block, marked by zlen 0.
    std::unique_ptr<char[]> buf(new char[BL]);
    int64_t zlen = -1;
    ASSERT_EQ(kxz_preadz(k.get(), 0, buf.get(), BL, &zlen), BL);
    EXPECT_EQ(zlen, 0);
    EXPECT_TRUE(std::string(buf.get(), BL) == noise.substr(0, BL));
    // A buffer that holds neither is refused.
    std::unique_ptr<char[]> small(new char[100]);
    EXPECT_EQ(kxz_preadz(k.get(), BL, small.get(), 100, &zlen), -1);
    EXPECT_EQ(e.code, VERR_BUFFER_OVERFLOW);
    EXPECT_EQ(kxz_pread_block(k.get(), BL, small.get(), 100), -1);
    // The short last block fits a small buffer, packed.
    std::unique_ptr<char[]> last(new char[1100]);
    int64_t n = kxz_preadz(k.get(), 2 * BL, last.get(), 1100, &zlen);
    EXPECT_EQ(n, 1000);
    EXPECT_GT(zlen, 1000);
}

TEST_F(KxzFixture, ABadIndexNeverHidesTheData) {
    struct row {
        const char* what;
        std::vector<uint64_t> entries;  // trailer entries (one per 2 blocks)
        int64_t off_cache_delta;        // added to the trailer's real position
        bool corrupt_words;
    };
    const row rows[] = {
        {"entries out of order", {0, 0}, 0, false},  // filled in below
        {"entries past the records", {1u << 20, 2u << 20}, 0, false},
        {"entries inside the header", {8, 16}, 0, false},
        {"unequal length words", {}, 0, true},
        {"trailer position inside the header", {}, -1, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        image_bytes im;
        im.header(PACK_LZ4, BL, 6 * BL, 2 * BL);
        std::vector<size_t> at;
        for (int i = 0; i < 6; ++i) at.push_back(im.record(lz4_block(block_of(static_cast<uint64_t>(i)))));
        std::vector<uint64_t> entries = r.entries;
        if (entries.empty() || entries[0] == 0) entries = {at[2], at[4]};
        if (std::string(r.what) == "entries out of order") std::swap(entries[0], entries[1]);
        size_t trailer = im.bytes.size();
        im.trailer(entries);
        if (r.corrupt_words) im.bytes[im.bytes.size() - 3] ^= 1;
        im.set_u64(KXZ_H_OFF_CACHE, r.off_cache_delta < 0 ? 8 : trailer);
        std::string img = path("idx.kxz");
        write_file(img, im.bytes);
        log_capture cap;
        dev_ptr d(open(img, k_open_read));
        ASSERT_TRUE(d) << verr_msg(&err);
        std::string want;
        for (int i = 0; i < 6; ++i) want += block_of(static_cast<uint64_t>(i));
        for (int i : {5, 3, 1, 4, 0, 2}) {
            std::string buf(BL, '\0');
            ASSERT_EQ(bd_pread(d.get(), buf.data(), BL, i * BL), static_cast<int64_t>(BL)) << i << bd_errmsg(d.get());
            EXPECT_TRUE(buf == want.substr(static_cast<size_t>(i) * BL, BL)) << i;
        }
    }
}

TEST_F(KxzFixture, AStrideShorterThanTheBlockMeansNoIndex) {
    image_bytes im;
    im.header(PACK_LZ4, BL, 3 * BL, 100);
    for (int i = 0; i < 3; ++i) im.record(lz4_block(block_of(static_cast<uint64_t>(i))));
    std::string img = path("nostep.kxz");
    write_file(img, im.bytes);
    std::string want = block_of(0) + block_of(1) + block_of(2);
    EXPECT_TRUE(same_bytes(read_image(img), want));
    {
        dev_ptr d(open(img, k_open_append));
        ASSERT_TRUE(d) << verr_msg(&err);
        ASSERT_EQ(bd_seek(d.get(), 3 * BL), 0);
        ASSERT_EQ(bd_write(d.get(), block_of(3).data(), BL), static_cast<int64_t>(BL));
        ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    }
    EXPECT_TRUE(same_bytes(read_image(img), want + block_of(3)));
    EXPECT_FALSE(file_exists(img + "_off"));
}

// Random damage anywhere in a small image: opening, reading, appending and
// finishing either work or fail with a code, and nothing crashes.
TEST_F(KxzFixture, RandomDamageNeverCrashes) {
    image_bytes base;
    base.header(PACK_LZ4, BL, 7 * BL + 500, 2 * BL);
    std::vector<uint64_t> entries;
    for (int i = 0; i < 8; ++i) {
        std::string b = block_of(static_cast<uint64_t>(i), i % 2);
        if (i == 7) b.resize(500);
        size_t at = base.record(lz4_block(b));
        if (i && i % 2 == 0) entries.push_back(at);
    }
    size_t trailer = base.bytes.size();
    base.trailer(entries);
    base.set_u64(KXZ_H_OFF_CACHE, trailer);
    std::mt19937 gen(11);
    std::string img = path("fuzz.kxz");
    std::unique_ptr<char[]> buf(new char[3 * BL]);
    log_capture quiet(2);
    for (int round = 0; round < 300; ++round) {
        std::string bytes = base.bytes;
        int flips = 1 + static_cast<int>(gen() % 4);
        for (int f = 0; f < flips; ++f) {
            size_t at = gen() % bytes.size();
            bytes[at] = static_cast<char>(gen() % 3 == 0 ? 0xff : gen());
        }
        if (gen() % 5 == 0) bytes.resize(gen() % bytes.size());
        write_file(img, bytes);
        unlink((img + "_off").c_str());
        verr_info e{};
        if (image_ptr k{kxz_open(img.c_str(), OS_PF_RDONLY, &e)}) {
            for (int i = 0; i < 6; ++i)
                kxz_pread(k.get(), static_cast<int64_t>(gen() % (9 * BL)), buf.get(), static_cast<int64_t>(gen() % (3 * BL)));
            int64_t zl;
            kxz_preadz(k.get(), 0, buf.get(), BL, &zl);
            kxz_preadz(k.get(), -1, buf.get(), 3 * BL, &zl);
        }
        if (image_ptr k{kxz_open(img.c_str(), OS_PF_RDWR | OS_PF_APPEND, &e)}) {
            kxz_pwrite(k.get(), -1, block_of(9).data(), BL);
            kxz_woff_cache_write_to_file(k.get());
        }
    }
}

}  // namespace
