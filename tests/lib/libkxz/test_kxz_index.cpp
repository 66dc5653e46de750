// The offset index against the records it indexes: verify holds the
// trailer against the cache the records built, save writes the cache as a
// trailer that a later open loads back, and the debug pass reads the block
// of every known entry.
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"
#include "libkxz/kxz_index.h"
#include "libkxz/kxz_priv.h"
#include "support/log_capture.h"

namespace {

using namespace kxz_test;

constexpr uint32_t BL = 4096;

std::string block_of(uint64_t index) { return marked_data(BL, index % 3 == 1, static_cast<uint32_t>(index + 7)); }

// An image of whole blocks and a last one of `last` bytes (0: none), its
// index stride two blocks, without a trailer; rec gets each record's offset.
struct small_image {
    image_bytes im;
    std::string data;
    std::vector<uint64_t> rec;
    uint64_t step = 2 * BL;

    // bad: a block written as a bad block (a record of length 0), or -1.
    small_image(int whole, uint32_t last, int bad = -1) {
        int64_t len = static_cast<int64_t>(whole) * BL + last;
        im.header(PACK_LZ4, BL, len, 2 * BL);
        for (int i = 0; i < whole + (last ? 1 : 0); ++i) {
            std::string b = block_of(static_cast<uint64_t>(i));
            if (i == whole) b.resize(last);
            data += b;
            rec.push_back(i == bad ? im.record_len("", 0) : im.record(lz4_block(b)));
        }
    }
    // The entries the records call for: one per multiple of the stride that
    // starts a block below the length.
    std::vector<uint64_t> entries() const {
        std::vector<uint64_t> e;
        for (uint64_t b = step / BL; b < rec.size(); b += step / BL) e.push_back(rec[b]);
        return e;
    }
    std::string with_trailer(const std::vector<uint64_t>& e) const {
        image_bytes t = im;
        size_t at = t.bytes.size();
        t.trailer(e);
        t.set_u64(KXZ_H_OFF_CACHE, at);
        return t.bytes;
    }
};

// The trailer's entries of an image file (none without a trailer).
std::vector<uint64_t> trailer_of(const std::string& bytes) {
    uint64_t off = 0;
    memcpy(&off, bytes.data() + KXZ_H_OFF_CACHE, 8);
    std::vector<uint64_t> e;
    if (off == 0) return e;
    uint32_t word = 0;
    memcpy(&word, bytes.data() + off, 4);
    uint32_t tlen = word & ~KXZ_TRAILER_FLAG;
    EXPECT_EQ(off + 8 + tlen, bytes.size()) << "the trailer ends the file";
    for (uint32_t i = 0; i < tlen; i += 8) {
        uint64_t v = 0;
        memcpy(&v, bytes.data() + off + 4 + i, 8);
        e.push_back(v);
    }
    return e;
}

std::string read_every_block(kxz_image* k, uint64_t len) {
    std::string out(len, '\0');
    // Backwards, so that every block is found through the index, not the walker.
    for (uint64_t b = (len + BL - 1) / BL; b-- > 0;) {
        uint64_t n = std::min<uint64_t>(BL, len - b * BL);
        EXPECT_EQ(kxz_pread(k, static_cast<int64_t>(b * BL), &out[b * BL], static_cast<int64_t>(n)),
                  static_cast<int64_t>(n))
            << b << " " << verr_msg(k->err);
    }
    return out;
}

// Verify compares the trailer with what the reads learnt from the records:
// it accepts the trailer the records call for and rejects any other.
TEST_F(KxzFixture, OffsetIndexVerify) {
    const small_image s(7, 500);  // entries for blocks 2, 4 and 6
    struct row {
        const char* what;
        std::function<void(std::vector<uint64_t>&)> damage;
        int want;
    };
    const row rows[] = {
        {"the records' own entries", [](std::vector<uint64_t>&) {}, 0},
        {"block 4 named at block 5's record", [&](std::vector<uint64_t>& e) { e[1] = s.rec[5]; }, -2},
        {"block 2 named inside its data", [&](std::vector<uint64_t>& e) { e[0] = s.rec[2] + 8; }, -2},
        {"every entry one record late",
         [&](std::vector<uint64_t>& e) {
             for (size_t i = 0; i < e.size(); ++i) e[i] = s.rec[2 * i + 3];
         },
         -2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint64_t> e = s.entries();
        r.damage(e);
        std::string img = path("v.kxz");
        write_file(img, s.with_trailer(e));
        verr_info ve{};
        log_capture quiet(2);
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
        ASSERT_TRUE(k) << verr_msg(&ve);
        EXPECT_TRUE(same_bytes(read_every_block(k.get(), s.data.size()), s.data));
        EXPECT_EQ(kxz_off_cache_verify(k.get()), r.want);
    }
    // The trailer changed on the disk behind a sound cache.
    std::string img = path("v.kxz");
    write_file(img, s.with_trailer(s.entries()));
    verr_info ve{};
    image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
    ASSERT_TRUE(k) << verr_msg(&ve);
    EXPECT_EQ(kxz_off_cache_verify(k.get()), 0);
    std::vector<uint64_t> moved = s.entries();
    moved[2] = s.rec[5];
    write_file(img, s.with_trailer(moved));
    EXPECT_EQ(kxz_off_cache_verify(k.get()), -2);
}

// Save writes the entries the records gave as a trailer; a read-only open
// loads exactly those back, and reads and verify agree with them.
TEST_F(KxzFixture, OffsetIndexSaveAndLoad) {
    struct row {
        const char* what;
        int whole;
        uint32_t last;
        bool old_trailer;  // the image had a longer trailer, with wrong entries, before
    };
    const row rows[] = {
        {"short last block", 7, 500, false},
        {"length a multiple of the stride", 8, 0, false},
        {"length a multiple of the block only", 7, 0, false},
        {"a wrong trailer replaced", 7, 500, true},
        {"one block: no entries", 1, 0, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const small_image s(r.whole, r.last);
        std::string img = path("s.kxz");
        unlink((img + "_off").c_str());
        std::vector<uint64_t> wrong = s.entries();
        if (r.old_trailer) {
            wrong.back() += 4;
            wrong.push_back(s.rec.back());  // one entry more than the length allows: not loaded
        }
        write_file(img, r.old_trailer ? s.with_trailer(wrong) : s.im.bytes);
        {
            verr_info ve{};
            log_capture quiet(2);
            image_ptr k(kxz_open(img.c_str(), OS_PF_RDWR, &ve));
            ASSERT_TRUE(k) << verr_msg(&ve);
            ASSERT_EQ(kxz_off_cache_init_form_file(k.get()), r.old_trailer ? -2 : 0);
            EXPECT_TRUE(same_bytes(read_every_block(k.get(), s.data.size()), s.data));
            ASSERT_EQ(kxz_off_cache_save(k.get()), 0) << verr_msg(&ve);
        }
        const std::string bytes = read_file(img);
        EXPECT_EQ(trailer_of(bytes), s.entries());
        verr_info ve{};
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
        ASSERT_TRUE(k) << verr_msg(&ve);
        const off_cache& c = k.get()->cache;
        ASSERT_EQ(c.filled, s.entries().size() + 1);
        for (size_t i = 0; i < s.entries().size(); ++i) EXPECT_EQ(c.entries[i + 1].foff, s.entries()[i]) << i;
        EXPECT_EQ(kxz_off_cache_verify(k.get()), 0);
        EXPECT_TRUE(same_bytes(read_every_block(k.get(), s.data.size()), s.data));
    }
}

// The debug pass logs the count and every entry and reads each entry's
// block: the last block's length, or -1 with a log line when it cannot. An
// entry the records contradict is not read from: the pass reads the block
// the records lead to.
TEST_F(KxzFixture, OffsetIndexTest) {
    const small_image sound(7, 500);
    const small_image bad6(7, 500, 6);
    auto entry_line = [](const small_image& s, uint64_t b) {
        return "off=" + std::to_string(b * BL) + " foff=" + std::to_string(b == 0 ? 0 : s.rec[b]) + "\n";
    };
    struct row {
        const char* what;
        const small_image& s;
        std::vector<uint64_t> entries;
        int64_t want;
        std::vector<std::string> lines;
        bool ignored;  // the index is found wrong
    };
    std::vector<uint64_t> late = sound.entries();
    late[2] = sound.rec[7];  // block 6 named at the short last block's record
    const row rows[] = {
        {"sound image", sound, sound.entries(), BL,
         {"count=4\n", entry_line(sound, 0), entry_line(sound, 2), entry_line(sound, 4), entry_line(sound, 6)}, false},
        {"block 6 a bad block", bad6, bad6.entries(), -1,
         {"count=4\n", entry_line(bad6, 4), entry_line(bad6, 6), "read errno="}, false},
        {"block 6 named at block 7's record", sound, late, BL, {"count=4\n", entry_line(sound, 4)}, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string img = path("t.kxz");
        write_file(img, r.s.with_trailer(r.entries));
        verr_info ve{};
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
        ASSERT_TRUE(k) << verr_msg(&ve);
        log_capture cap;
        EXPECT_EQ(kxz_off_cache_test(k.get()), r.want);
        for (const std::string& l : r.lines) EXPECT_TRUE(cap.contains(l)) << l << cap.all();
        EXPECT_EQ(cap.contains("index ignored"), r.ignored) << cap.all();
        EXPECT_EQ(cap.contains("read errno="), r.want < 0) << cap.all();
    }
}

// The cache holds entries only as far as they are known. A few records under
// a header claiming some 800 TB (over six million entries at the default
// stride) open at once and cost only the entries the records hold; reads
// past the records fail cleanly. A sound image whose records fill many
// entries grows the cache to all of them and saves and loads them back.
TEST_F(KxzFixture, OffsetIndexHoldsOnlyTheEntriesTheRecordsHold) {
    {
        image_bytes im;
        im.header(PACK_LZ4, BL, 800'000'000'000'000, 0x8000000);
        for (int i = 0; i < 3; ++i) im.record(lz4_block(block_of(static_cast<uint64_t>(i))));
        std::string img = path("huge.kxz");
        write_file(img, im.bytes);
        verr_info ve{};
        log_capture quiet(2);
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
        ASSERT_TRUE(k) << verr_msg(&ve);
        const off_cache& c = k.get()->cache;
        EXPECT_EQ(c.count, 800'000'000'000'000 / 0x8000000 + 1);
        EXPECT_LE(c.cap, 16u);
        std::string buf(BL, '\0');
        EXPECT_EQ(kxz_pread(k.get(), 0, buf.data(), BL), static_cast<int64_t>(BL));
        EXPECT_TRUE(buf == block_of(0));
        for (uint64_t off : {uint64_t{3} * 0x8000000, uint64_t{799'999'999'995'904}}) {
            SCOPED_TRACE(off);
            EXPECT_EQ(kxz_pread(k.get(), static_cast<int64_t>(off), buf.data(), BL), -1);
        }
        EXPECT_EQ(c.filled, 1u);
        EXPECT_LE(c.cap, 16u);
    }
    // A stride of one block: an entry per record, more than the cache holds at first.
    constexpr int n = 100;
    image_bytes im;
    im.header(PACK_LZ4, BL, int64_t{n} * BL, BL);
    std::vector<uint64_t> rec;
    std::string data;
    for (int i = 0; i < n; ++i) {
        data += block_of(static_cast<uint64_t>(i));
        rec.push_back(im.record(lz4_block(block_of(static_cast<uint64_t>(i)))));
    }
    std::string img = path("many.kxz");
    write_file(img, im.bytes);
    {
        verr_info ve{};
        image_ptr k(kxz_open(img.c_str(), OS_PF_RDWR, &ve));
        ASSERT_TRUE(k) << verr_msg(&ve);
        ASSERT_EQ(kxz_off_cache_init_form_file(k.get()), 0);
        EXPECT_TRUE(same_bytes(read_every_block(k.get(), data.size()), data));
        const off_cache& c = k.get()->cache;
        ASSERT_EQ(c.filled, static_cast<uint32_t>(n));
        for (int i = 1; i < n; ++i) EXPECT_EQ(c.entries[i].foff, rec[static_cast<size_t>(i)]) << i;
        ASSERT_EQ(kxz_off_cache_save(k.get()), 0) << verr_msg(&ve);
    }
    EXPECT_EQ(trailer_of(read_file(img)), std::vector<uint64_t>(rec.begin() + 1, rec.end()));
    verr_info ve{};
    image_ptr k(kxz_open(img.c_str(), OS_PF_RDONLY, &ve));
    ASSERT_TRUE(k) << verr_msg(&ve);
    ASSERT_EQ(k.get()->cache.filled, static_cast<uint32_t>(n));
    EXPECT_EQ(kxz_off_cache_verify(k.get()), 0);
    EXPECT_TRUE(same_bytes(read_every_block(k.get(), data.size()), data));
}

}  // namespace
