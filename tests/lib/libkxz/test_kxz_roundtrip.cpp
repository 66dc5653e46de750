// Images written and read through the block layer, checked against the
// independent reader; random reads; the offset index and its trailer.
#include <algorithm>
#include <random>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"

namespace {

using namespace kxz_test;

constexpr uint64_t BL = 64 * 1024;

TEST_F(KxzFixture, DriverTakesKxzNamesWhateverTheirCase) {
    EXPECT_EQ(bd_url_drv_type(path("a.kxz").c_str()), BD_DRV_KXZ);
    EXPECT_EQ(bd_url_drv_type(path("a.KxZ").c_str()), BD_DRV_KXZ);
    EXPECT_EQ(bd_url_drv_type((path("a.kxz") + "?sector_size=4096").c_str()), BD_DRV_KXZ);
    EXPECT_EQ(bd_url_drv_type(path("a.kxz.bin").c_str()), BD_DRV_FILE);
    EXPECT_STREQ(bd_url_drv_name(path("b.kxz").c_str()), "kxz");
}

TEST_F(KxzFixture, RoundTripTable) {
    const uint64_t sizes[] = {0, 1, BL - 1, BL, 3 * BL, 3 * BL + 1};
    int i = 0;
    for (uint32_t pack : {PACK_NONE, PACK_LZ4}) {
        for (bool noise : {false, true}) {
            for (uint64_t size : sizes) {
                SCOPED_TRACE("pack=" + std::to_string(pack) + " noise=" + std::to_string(noise) +
                             " size=" + std::to_string(size));
                std::string data = marked_data(size, noise, static_cast<uint32_t>(size));
                std::string img = path("rt" + std::to_string(i++) + ".kxz");
                make_image(img, data, pack, BL);
                EXPECT_FALSE(file_exists(img + "_off")) << "the finish removes the side file";
                if (size == 0) {
                    EXPECT_EQ(file_size(img), 0u) << "no block, no header";
                    continue;
                }
                dev_ptr d(open(img, k_open_read));
                ASSERT_TRUE(d) << verr_msg(&err);
                EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(size));
                EXPECT_TRUE(same_bytes(read_all(d.get(), 100000), data));
                bd_dev_info info{};
                ASSERT_EQ(bd_info(d.get(), &info), 0);
                EXPECT_STREQ(info.bd_type, "kxz");
                EXPECT_EQ(info.type, size % BL ? 5u : 2u);
                EXPECT_EQ(info.size_type, size % BL ? BLOCK_SIZE_FIXED : BLOCK_SIZE_EXTENSIBLE);
                EXPECT_EQ(bd_get_pack_type(d.get()), static_cast<int32_t>(pack));
                if (!oracle_available()) continue;
                std::string unpacked;
                oracle_result o = oracle_read(img, &unpacked);
                ASSERT_EQ(o.status, 0) << o.err;
                EXPECT_TRUE(same_bytes(unpacked, data));
                EXPECT_EQ(o.num("records"), static_cast<long long>((size + BL - 1) / BL));
                EXPECT_EQ(o.num("pack_type"), pack);
                EXPECT_EQ(o.str("magic"), "KXZ0");
                EXPECT_EQ(o.num("off_cache"), 0);
            }
        }
    }
    // Without the oracle only the library's own reading was checked.
    KXZ_NEED_ORACLE();
}

TEST_F(KxzFixture, NewImageStaysEmptyUntilItsFirstBlock) {
    std::string img = path("new.kxz");
    dev_ptr d(open(img, k_open_write));
    ASSERT_TRUE(d) << verr_msg(&err);
    ASSERT_EQ(set_params(d.get(), PACK_LZ4, BL, 4096), 0);
    EXPECT_EQ(file_size(img), 0u);
    EXPECT_EQ(d->sector_size, 4096) << "the image's sector size becomes the device's";
    std::string data = marked_data(100);
    ASSERT_EQ(bd_write(d.get(), data.data(), 100), 100);
    zcomp_ctx z{};
    z.id = PACK_LZ4;
    ASSERT_EQ(zcomp_open_ex(&z), 0);
    std::string packed(1000, '\0');
    int64_t zlen = zcomp_pack(&z, data.data(), 100, packed.data(), 1000);
    zcomp_close(&z);
    EXPECT_EQ(file_size(img), 64u + kxz_record_size(static_cast<uint64_t>(zlen)));
    d.reset();
    // The header keeps the sector size, and a reader takes it.
    dev_ptr r(open(img, k_open_read));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sector_size, 4096);
    uint32_t ss = 0;
    ASSERT_EQ(bd_ioctl(r.get(), BLOCK_GET_SECTOR_SIZE, &ss, sizeof ss), 0);
    EXPECT_EQ(ss, 4096u);
}

// The source's bytes at (off, len) against what the image gives, in a
// shuffled order so that the walker and the index are both exercised.
void check_random_reads(bd_dev* d, const std::string& src, uint64_t bl) {
    const uint64_t n = src.size();
    std::vector<std::pair<uint64_t, uint64_t>> reads = {
        {0, 100}, {bl - 50, 100}, {3 * bl, bl}, {5 * bl + 7, 3 * bl}, {n - 10, 100}, {n - 1, 1}, {n, 10},
        {n / 2, n}, {bl, 1}, {n - n % bl, n % bl ? n % bl : bl}, {0, n},
    };
    std::mt19937 gen(3);
    for (int i = 0; i < 30; ++i) reads.push_back({gen() % n, gen() % (4 * bl)});
    std::shuffle(reads.begin(), reads.end(), gen);
    for (auto [off, len] : reads) {
        std::string buf(len, '\x55');
        int64_t got = bd_pread(d, buf.data(), static_cast<int64_t>(len), static_cast<int64_t>(off));
        uint64_t want = off >= n ? 0 : std::min(len, n - off);
        ASSERT_EQ(got, static_cast<int64_t>(want)) << "off=" << off << " len=" << len << " " << bd_errmsg(d);
        ASSERT_TRUE(buf.substr(0, want) == src.substr(off, want)) << "off=" << off << " len=" << len;
    }
}

TEST_F(KxzFixture, RandomReadsWithAndWithoutTheIndex) {
    const uint64_t bl = 4096;
    std::string data = marked_data(200 * bl + 1234, false);
    std::string ours = path("ours.kxz");
    make_image(ours, data, PACK_LZ4, bl);
    {
        dev_ptr d(open(ours, k_open_read));
        ASSERT_TRUE(d) << verr_msg(&err);
        check_random_reads(d.get(), data, bl);
        // A piecewise read at the current position goes on where the last ended.
        ASSERT_EQ(bd_seek(d.get(), 0), 0);
        std::string got;
        char buf[3000];
        for (int64_t n; (n = bd_read(d.get(), buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        EXPECT_TRUE(same_bytes(got, data));
    }
    KXZ_NEED_ORACLE();
    // An image with an index every 4 blocks, from the independent writer.
    std::string idx = path("idx.kxz");
    ASSERT_EQ(oracle_write(data, idx, bl, PACK_LZ4, 0, 4 * bl, true), 0);
    std::string bytes = read_file(idx);
    uint64_t off_cache = 0;
    memcpy(&off_cache, bytes.data() + KXZ_H_OFF_CACHE, 8);
    ASSERT_GT(off_cache, 0u);
    // The same image without its trailer, and with a trailer whose two
    // length words differ: both still read every byte.
    std::string plain = bytes.substr(0, off_cache);
    memset(&plain[KXZ_H_OFF_CACHE], 0, 8);
    write_file(path("stripped.kxz"), plain);
    std::string bad = bytes;
    bad[bad.size() - 2] ^= 1;
    write_file(path("badtrailer.kxz"), bad);
    std::string disorder = bytes;
    std::swap_ranges(disorder.begin() + static_cast<long>(off_cache) + 4,
                     disorder.begin() + static_cast<long>(off_cache) + 12,
                     disorder.begin() + static_cast<long>(off_cache) + 12);
    write_file(path("disorder.kxz"), disorder);
    for (const char* name : {"idx.kxz", "stripped.kxz", "badtrailer.kxz", "disorder.kxz"}) {
        SCOPED_TRACE(name);
        dev_ptr d(open(path(name), k_open_read));
        ASSERT_TRUE(d) << verr_msg(&err);
        check_random_reads(d.get(), data, bl);
    }
}

TEST_F(KxzFixture, BigEndianImagesReadAsLittleEndianOnes) {
    KXZ_NEED_ORACLE();
    std::string data = marked_data(10 * BL + 99, true);
    ASSERT_EQ(oracle_write(data, path("be.kxz"), BL, PACK_LZ4, 1, 2 * BL, true), 0);
    ASSERT_EQ(oracle_write(data, path("be_none.kxz"), BL, PACK_NONE, 1, 0x8000000, false), 0);
    EXPECT_TRUE(same_bytes(read_image(path("be.kxz")), data));
    EXPECT_TRUE(same_bytes(read_image(path("be_none.kxz")), data));
}

// 300 MiB in 1 MiB blocks: index entries at 128 MiB and 256 MiB.
TEST_F(KxzFixture, TrailerIndexesEveryStride) {
    const uint64_t MiB = 1 << 20;
    const uint64_t n = 300 * MiB;
    std::string img = path("big.kxz");
    std::string block = marked_data(MiB);
    auto block_at = [&](uint64_t off) {
        std::string b = block;
        for (uint64_t p = 0; p < MiB; p += 512) {
            uint64_t v = off + p;
            memcpy(&b[p], &v, 8);
        }
        return b;
    };
    {
        dev_ptr d(open(img, k_open_write));
        ASSERT_TRUE(d);
        ASSERT_EQ(set_params(d.get(), PACK_LZ4, MiB), 0);
        for (uint64_t off = 0; off < n; off += MiB)
            ASSERT_EQ(bd_write(d.get(), block_at(off).data(), MiB), static_cast<int64_t>(MiB));
        // While written, the side file holds the guid and the two entries.
        EXPECT_EQ(file_size(img + "_off"), 16u + 16u);
        ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0);
    }
    EXPECT_FALSE(file_exists(img + "_off"));
    std::string bytes = read_file(img);
    uint32_t last;
    memcpy(&last, bytes.data() + bytes.size() - 4, 4);
    EXPECT_EQ(last, 0x80000010u) << "a trailer of two entries";
    {
        dev_ptr d(open(img, k_open_read));
        ASSERT_TRUE(d);
        EXPECT_EQ(bd_size(d.get()), static_cast<int64_t>(n));
        for (uint64_t off : {uint64_t{0}, 128 * MiB - 1000, 128 * MiB, 200 * MiB + 5, 256 * MiB, n - MiB}) {
            std::string buf(2000, '\0');
            uint64_t want = std::min<uint64_t>(2000, n - off);
            ASSERT_EQ(bd_pread(d.get(), buf.data(), 2000, static_cast<int64_t>(off)), static_cast<int64_t>(want));
            uint64_t base = off - off % MiB;
            std::string ref = block_at(base) + (base + MiB < n ? block_at(base + MiB) : "");
            EXPECT_TRUE(buf.substr(0, want) == ref.substr(off - base, want)) << off;
        }
    }
    KXZ_NEED_ORACLE();
    oracle_result o = oracle_read(img, nullptr);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.num("records"), 300);
    EXPECT_EQ(o.list("trailer"), o.list("step_entries"));
    std::string entries = o.list("trailer");
    EXPECT_EQ(std::count(entries.begin(), entries.end(), ','), 1) << entries;
}

TEST_F(KxzFixture, TenMegabytesInMegabyteBlocksHaveNoTrailer) {
    const uint64_t MiB = 1 << 20;
    std::string img = path("ten.kxz");
    make_image(img, marked_data(10 * MiB), PACK_LZ4, MiB);
    EXPECT_FALSE(file_exists(img + "_off"));
    std::string bytes = read_file(img);
    uint64_t off_cache = 1;
    memcpy(&off_cache, bytes.data() + KXZ_H_OFF_CACHE, 8);
    EXPECT_EQ(off_cache, 0u);
    uint32_t last;
    memcpy(&last, bytes.data() + bytes.size() - 4, 4);
    EXPECT_LT(last, 0x80000000u) << "the file ends with a record";
}

}  // namespace
