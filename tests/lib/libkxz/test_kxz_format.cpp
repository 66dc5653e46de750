// The bytes of the format and the offset cache.
#include <cstring>

#include <gtest/gtest.h>

#include "libkxz/kxz_format.h"
#include "libkxz/kxz_index.h"
#include "libpal/memory/mem_endian.h"

namespace {

TEST(KxzFormat, RecordSizesAndIndexStride) {
    EXPECT_EQ(kxz_record_size(5), 16u);  // 5 bytes, 3 of padding
    EXPECT_EQ(kxz_record_pad(5), 3u);
    EXPECT_EQ(kxz_record_size(8), 16u);
    EXPECT_EQ(kxz_record_pad(8), 0u);
    EXPECT_EQ(kxz_record_size(0), 8u);  // a bad block: the two length words
    EXPECT_EQ(kxz_record_size(1), 12u);

    constexpr uint32_t MiB = 1 << 20;
    EXPECT_EQ(kxz_step(0x8000000, MiB), 128u * MiB);
    EXPECT_EQ(kxz_step(0x8000000, 3 * MiB), 126u * MiB);
    EXPECT_EQ(kxz_step(0, MiB), 128u * MiB);  // 0 means the default stride
    EXPECT_EQ(kxz_step(4096, 8192), 0u);      // blocks longer than the stride: no index
    EXPECT_EQ(kxz_step(0x8000000, 0), 0u);
}

TEST(KxzFormat, HeaderInBothByteOrders) {
    kxz_header h{};
    memcpy(h.magic, "KXZ1", 4);
    h.major_ver = 1;
    h.pack_type = 1;
    h.block_len = 0x100000;
    h.sector_size = 4096;
    h.file_len = 0x123456789;
    h.off_blksize = 0x8000000;
    h.off_cache = 0x1000;
    for (int i = 0; i < 16; ++i) h.guid[i] = static_cast<uint8_t>(i);
    for (uint32_t endian : {0u, 1u}) {
        memcpy(h.magic, endian ? "KXZ1" : "KXZ0", 4);
        uint8_t b[KXZ_HEADER_SIZE];
        kxz_header_encode(&h, endian, b);
        // The fixed positions, in the file's byte order.
        EXPECT_EQ(mem_get_u32(endian ? 1 : 0, b, KXZ_H_BLOCK_LEN), 0x100000u);
        EXPECT_EQ(mem_get_u64(endian ? 1 : 0, b, KXZ_H_FILE_LEN), 0x123456789u);
        EXPECT_EQ(b[endian ? KXZ_H_OFF_CACHE + 6 : KXZ_H_OFF_CACHE + 1], 0x10);
        EXPECT_EQ(b[20] | b[21] | b[22] | b[23] | b[36] | b[37] | b[38] | b[39], 0);
        kxz_header d{};
        uint32_t e = 9;
        ASSERT_EQ(kxz_header_decode(b, &d, &e), 0);
        EXPECT_EQ(e, endian);
        EXPECT_EQ(d.block_len, h.block_len);
        EXPECT_EQ(d.sector_size, h.sector_size);
        EXPECT_EQ(d.file_len, h.file_len);
        EXPECT_EQ(d.off_cache, h.off_cache);
        EXPECT_EQ(0, memcmp(d.guid, h.guid, 16));
        b[3] = '2';
        EXPECT_EQ(kxz_header_decode(b, &d, &e), -3);
    }
}

TEST(KxzOffCache, FillsInOrderAndFindsTheNearestKnownEntry) {
    off_cache c{};
    ASSERT_EQ(off_cache_init(&c, 1000, 100, 10), 0);  // step 100: entries 0..10
    EXPECT_EQ(c.count, 11u);
    EXPECT_EQ(c.step, 100u);
    EXPECT_EQ(c.filled, 1u);
    off_cache_add(&c, 200, 999);  // not the next expected entry: ignored
    EXPECT_EQ(c.filled, 1u);
    off_cache_add(&c, 100, 500);
    off_cache_add(&c, 200, 900);
    EXPECT_EQ(c.filled, 3u);
    struct row {
        uint64_t off, boff, foff;
    };
    for (row r : {row{0, 0, 0}, row{99, 0, 0}, row{100, 100, 500}, row{250, 200, 900}, row{999, 200, 900}}) {
        off_cache_entry e = off_cache_find(&c, r.off);
        EXPECT_EQ(e.boff, r.boff) << r.off;
        EXPECT_EQ(e.foff, r.foff) << r.off;
    }

    // Load, compare and store entries 1.. in the image's byte order.
    uint8_t buf[24];
    for (int i = 0; i < 3; ++i) mem_set_u64(1, buf, 8 * i, 1000 + i);
    EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_LOAD, 1, buf, sizeof buf), 0);
    EXPECT_EQ(c.filled, 4u);
    EXPECT_EQ(off_cache_find(&c, 300).foff, 1002u);
    EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_COMPARE, 1, buf, sizeof buf), 0);
    mem_set_u64(1, buf, 8, 7);
    EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_COMPARE, 1, buf, sizeof buf), -2);
    uint8_t out[24];
    EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_STORE, 0, out, sizeof out), 0);
    EXPECT_EQ(mem_get_u64(0, out, 16), 1002u);
    uint8_t too_many[8 * 11] = {};
    EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_LOAD, 0, too_many, sizeof too_many), -2);
    off_cache_free(&c);

    // A stride shorter than the block, and a length no trailer could index,
    // give a cache without entries that finds nothing.
    for (auto [len, blk, bl] : {std::tuple<uint64_t, uint32_t, uint32_t>{1000, 4, 10}, {uint64_t{1} << 50, 1, 1}}) {
        ASSERT_EQ(off_cache_init(&c, len, blk, bl), 0);
        EXPECT_EQ(c.count, 0u);
        off_cache_add(&c, 100, 5);
        EXPECT_EQ(off_cache_find(&c, 500).foff, 0u);
        EXPECT_EQ(off_cache_set_buf(&c, OFF_CACHE_LOAD, 0, buf, sizeof buf), 0);
        off_cache_free(&c);
    }
}

TEST(KxzOffCache, EntriesMustIncreaseInsideTheRecords) {
    auto entries = [](std::initializer_list<uint64_t> v) {
        std::vector<uint8_t> b(v.size() * 8);
        size_t i = 0;
        for (uint64_t x : v) mem_set_u64(0, b.data(), 8 * i++, x);
        return b;
    };
    struct row {
        std::vector<uint8_t> b;
        int ok;
    };
    const row rows[] = {
        {entries({100, 200, 300}), 1},
        {entries({64, 200}), 0},    // the record at offset 0 is never indexed
        {entries({200, 200}), 0},   // not increasing
        {entries({300, 200}), 0},
        {entries({100, 1000}), 0},  // at the end
    };
    for (const row& r : rows) EXPECT_EQ(off_entries_valid(r.b.data(), r.b.size(), 0, 1000), r.ok);
}

}  // namespace
