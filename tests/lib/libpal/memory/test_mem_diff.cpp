#include "libpal/memory/mem_diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libpal/memory/lbuf.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

namespace {

using bytes = std::vector<uint8_t>;

struct diff_deleter {
    void operator()(mem_diff_ctx* c) const { mem_diff_destroy(c); }
};
using diff_ptr = std::unique_ptr<mem_diff_ctx, diff_deleter>;

diff_ptr make(uint32_t flag, int32_t max_count) {
    diff_ptr d(mem_diff_create(flag, max_count));
    EXPECT_NE(d, nullptr);
    return d;
}

bytes random_bytes(size_t n, uint64_t seed) {
    std::mt19937_64 gen(seed);
    bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// A copy of a with the bytes at the given offsets changed.
bytes plant(const bytes& a, const std::vector<size_t>& at) {
    bytes b = a;
    for (size_t i : at) b[i] = static_cast<uint8_t>(b[i] ^ 0x5A);
    return b;
}

struct byte_diff {
    uint64_t offset;
    uint8_t first;
    uint8_t second;
    bool operator==(const byte_diff&) const = default;
};

// The reference: every differing byte of the common length, in order.
std::vector<byte_diff> reference(const bytes& a, const bytes& b) {
    std::vector<byte_diff> out;
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++)
        if (a[i] != b[i]) out.push_back({i, a[i], b[i]});
    return out;
}

std::vector<byte_diff> byte_records(mem_diff_ctx* d) {
    std::vector<byte_diff> out;
    lbuf_iter it;
    lbuf_iter_init(mem_diff_get_list(d), &it);
    while (void* p = lbuf_iter_next(&it)) {
        auto* r = static_cast<mem_diff_byte_rec*>(p);
        out.push_back({r->offset, r->first, r->second});
    }
    return out;
}

std::vector<uint64_t> block_records(mem_diff_ctx* d) {
    std::vector<uint64_t> out;
    lbuf_iter it;
    lbuf_iter_init(mem_diff_get_list(d), &it);
    while (void* p = lbuf_iter_next(&it)) out.push_back(static_cast<mem_diff_block_rec*>(p)->offset);
    return out;
}

using cmp_fn = int32_t (*)(mem_diff_ctx*, const uint8_t*, uint64_t, const uint8_t*, uint64_t);

// Hands both streams to the recorder in ranges of `step` bytes; the last
// range may be shorter. The first negative result ends the walk.
int32_t walk(mem_diff_ctx* d, cmp_fn fn, const bytes& a, const bytes& b, size_t step) {
    for (size_t off = 0; off < a.size(); off += step) {
        size_t n = std::min(step, a.size() - off);
        if (int32_t r = fn(d, a.data() + off, n, b.data() + off, n); r < 0) return r;
    }
    return 0;
}

TEST(MemDiff, CreateChoosesRecordSizeByMode) {
    for (uint32_t flag : {0u, MDIFF_BYTE_MODE, MDIFF_BS_MODE, MDIFF_BS_MODE | MDIFF_STOP_AT_LIMIT}) {
        auto d = make(flag, 8);
        EXPECT_EQ(mem_diff_get_list(d.get())->item_size, (flag & MDIFF_BS_MODE) ? 8u : 16u) << flag;
        EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_SAME);
        EXPECT_EQ(mem_diff_get_count(d.get()), 0);
        EXPECT_EQ(mem_diff_get_offset(d.get()), 0u);
        EXPECT_EQ(mem_diff_get_list_count(d.get()), 0u);
        EXPECT_EQ(d->full, 0);
        EXPECT_EQ(d->flag, flag) << "the flag word is carried as given";
    }
}

// Byte mode against the reference: planted differences, several range sizes
// and limits, both entry points.
TEST(MemDiff, ByteModeMatchesReference) {
    struct row {
        const char* name;
        size_t size;
        std::vector<size_t> at;
        size_t step;
        int32_t max;
    };
    const row rows[] = {
        {"equal buffers", 65536, {}, 65536, 8},
        {"ten differences, max 8", 4096, {1, 7, 100, 101, 102, 1000, 2047, 2048, 4000, 4095}, 4096, 8},
        {"ten differences over ranges, max 8", 4096, {1, 7, 100, 101, 102, 1000, 2047, 2048, 4000, 4095}, 512, 8},
        {"range edges", 3000, {0, 255, 256, 511, 512, 2999}, 256, 100},
        {"one difference, max 1", 1000, {999}, 100, 1},
        {"max 0 stores one", 1000, {3, 400, 800}, 100, 0},
        {"negative max stores one", 1000, {3, 400, 800}, 100, -5},
        {"exactly the limit", 1000, {10, 20, 30}, 64, 3},
        {"uneven last range", 1001, {0, 999, 1000}, 77, 8},
    };
    for (cmp_fn fn : {&mem_diff_cmp, &mem_diff_cmp_bytes}) {
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(r.name) + (fn == &mem_diff_cmp ? " / cmp" : " / cmp_bytes"));
            bytes a = random_bytes(r.size, r.size);
            bytes b = plant(a, r.at);
            auto want = reference(a, b);
            auto d = make(MDIFF_BYTE_MODE, r.max);

            EXPECT_EQ(walk(d.get(), fn, a, b, r.step), 0);

            size_t stored = std::min(want.size(), static_cast<size_t>(std::max(r.max, 1)));
            EXPECT_EQ(byte_records(d.get()), std::vector<byte_diff>(want.begin(), want.begin() + stored));
            EXPECT_EQ(mem_diff_get_list_count(d.get()), stored);
            EXPECT_EQ(mem_diff_get_count(d.get()), static_cast<int64_t>(want.size())) << "counting goes on past the limit";
            EXPECT_EQ(mem_diff_get_offset(d.get()), r.size);
            EXPECT_EQ(mem_diff_get_state(d.get()), want.empty() ? MDIFF_ST_SAME : MDIFF_ST_DIFF);
            EXPECT_EQ(d->full, want.size() >= static_cast<size_t>(std::max(r.max, 1)) ? 1 : 0);
            EXPECT_EQ(mem_diff_get_len_diff(d.get()), 0u);
        }
    }
}

// Block mode: one record per differing range (or per mem_diff_bs step) with
// the range's stream offset; equal ranges only advance.
TEST(MemDiff, BlockModeRecordsBlockOffsets) {
    constexpr size_t bs = 4096;
    bytes a = random_bytes(16 * bs, 7);
    // Blocks 1, 2, 9 and 15 differ (block 2 twice).
    bytes b = plant(a, {bs, 2 * bs + 5, 3 * bs - 1, 9 * bs + 100, 16 * bs - 1});
    for (cmp_fn fn : {&mem_diff_cmp, &mem_diff_cmp_bytes}) {
        struct row {
            int32_t max;
            std::vector<uint64_t> want;
            uint8_t full;
        };
        for (const row& r : {row{8, {bs, 2 * bs, 9 * bs, 15 * bs}, 0}, row{2, {bs, 2 * bs}, 1}, row{0, {bs}, 1}}) {
            SCOPED_TRACE(r.max);
            auto d = make(MDIFF_BS_MODE, r.max);
            EXPECT_EQ(walk(d.get(), fn, a, b, bs), 0);
            EXPECT_EQ(block_records(d.get()), r.want);
            EXPECT_EQ(mem_diff_get_count(d.get()), 4) << "differing blocks, not bytes";
            EXPECT_EQ(mem_diff_get_offset(d.get()), 16 * bs);
            EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_DIFF);
            EXPECT_EQ(d->full, r.full);
        }
    }

    // Two ranges of 4096, the second differs.
    auto d = make(MDIFF_BS_MODE, 8);
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), bs, a.data(), bs), 0);
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data() + bs, bs, b.data() + bs, bs), 0);
    EXPECT_EQ(block_records(d.get()), std::vector<uint64_t>{bs});
    EXPECT_EQ(mem_diff_get_count(d.get()), 1);
    EXPECT_EQ(mem_diff_get_offset(d.get()), 2 * bs);
}

// The engine's walk: equal ranges skipped with mem_diff_add_offset, differing
// ones recorded by mem_diff_bs or compared byte by byte; offsets above 4 GiB
// keep all 64 bits.
TEST(MemDiff, OffsetsAdvanceOverManyCalls) {
    constexpr uint64_t sub = 65536;
    constexpr uint64_t base = (5ull << 32) + 3 * sub;

    auto blocks = make(MDIFF_BS_MODE, 100);
    mem_diff_add_offset(blocks.get(), base);
    std::vector<uint64_t> want;
    for (uint64_t k = 0; k < 1000; k++) {
        if (k % 7 == 3) {
            want.push_back(base + k * sub);
            EXPECT_EQ(mem_diff_bs(blocks.get(), sub), 0);
        } else {
            EXPECT_EQ(mem_diff_add_offset(blocks.get(), sub), 0);
        }
    }
    EXPECT_EQ(mem_diff_get_offset(blocks.get()), base + 1000 * sub);
    EXPECT_EQ(block_records(blocks.get()), std::vector<uint64_t>(want.begin(), want.begin() + 100));
    EXPECT_EQ(mem_diff_get_count(blocks.get()), static_cast<int64_t>(want.size()));

    auto bytes_mode = make(MDIFF_BYTE_MODE, 1000);
    bytes a = random_bytes(sub, 11);
    bytes b = plant(a, {0, 12345, sub - 1});
    mem_diff_add_offset(bytes_mode.get(), base);
    std::vector<byte_diff> want_bytes;
    for (uint64_t k = 0; k < 20; k++) {
        uint64_t at = base + k * sub;
        if (k % 3 == 0) {
            for (auto x : reference(a, b)) want_bytes.push_back({at + x.offset, x.first, x.second});
            EXPECT_EQ(mem_diff_cmp_bytes(bytes_mode.get(), a.data(), sub, b.data(), sub), 0);
        } else if (k % 3 == 1) {
            EXPECT_EQ(mem_diff_cmp_bytes(bytes_mode.get(), a.data(), sub, a.data(), sub), 0) << "equal: no record";
        } else {
            EXPECT_EQ(mem_diff_add_offset(bytes_mode.get(), sub), 0);
        }
    }
    EXPECT_EQ(byte_records(bytes_mode.get()), want_bytes);
    EXPECT_EQ(mem_diff_get_offset(bytes_mode.get()), base + 20 * sub);
}

TEST(MemDiff, EmptyRangeIsEqual) {
    for (uint32_t flag : {MDIFF_BYTE_MODE, MDIFF_BS_MODE}) {
        auto d = make(flag, 8);
        mem_diff_add_offset(d.get(), 10);
        EXPECT_EQ(mem_diff_cmp(d.get(), nullptr, 0, nullptr, 0), 0);
        EXPECT_EQ(mem_diff_cmp_bytes(d.get(), nullptr, 0, nullptr, 0), 0);
        EXPECT_EQ(mem_diff_get_offset(d.get()), 10u);
        EXPECT_EQ(mem_diff_get_count(d.get()), 0);
        EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_SAME);
    }
}

// Stop-at-limit ends the walk at the limit: the records up to it, the count
// up to it, and the offset of the range at which the walk stopped.
TEST(MemDiff, StopAtLimit) {
    bytes a = random_bytes(100, 3);
    bytes b = plant(a, {10, 20, 30});

    auto d = make(MDIFF_BYTE_MODE | MDIFF_STOP_AT_LIMIT, 2);
    mem_diff_add_offset(d.get(), 500);
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), a.size(), b.data(), b.size()), MDIFF_ST_STOP);
    EXPECT_EQ(byte_records(d.get()), (std::vector<byte_diff>{{510, a[10], b[10]}, {520, a[20], b[20]}}));
    EXPECT_EQ(mem_diff_get_count(d.get()), 2);
    EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_STOP);
    EXPECT_EQ(mem_diff_get_offset(d.get()), 500u);
    EXPECT_EQ(d->full, 1);

    auto blocks = make(MDIFF_BS_MODE | MDIFF_STOP_AT_LIMIT, 2);
    EXPECT_EQ(mem_diff_bs(blocks.get(), 512), 0);
    EXPECT_EQ(mem_diff_get_state(blocks.get()), MDIFF_ST_DIFF);
    EXPECT_EQ(mem_diff_bs(blocks.get(), 512), MDIFF_ST_STOP);
    EXPECT_EQ(block_records(blocks.get()), (std::vector<uint64_t>{0, 512}));
    EXPECT_EQ(mem_diff_get_state(blocks.get()), MDIFF_ST_STOP);
    EXPECT_EQ(mem_diff_get_offset(blocks.get()), 1024u);
}

// Unequal lengths: the common part is compared and recorded, the offset
// advances over it, the surplus is counted as a length difference, and the
// state and result say so.
TEST(MemDiff, UnequalLengthsCompareTheCommonPart) {
    bytes a = random_bytes(11, 5);
    bytes b = plant(a, {4});
    struct row {
        uint32_t flag;
        size_t la, lb;
        size_t records;
        uint64_t offset;
    };
    const row rows[] = {
        {MDIFF_BYTE_MODE, 10, 11, 1, 10},
        {MDIFF_BYTE_MODE, 11, 10, 1, 10},
        {MDIFF_BYTE_MODE, 0, 11, 0, 0},
        {MDIFF_BYTE_MODE, 4, 11, 0, 4},  // the common part is equal
        {MDIFF_BS_MODE, 10, 11, 1, 10},
        {MDIFF_BS_MODE, 11, 0, 0, 0},
    };
    for (cmp_fn fn : {&mem_diff_cmp, &mem_diff_cmp_bytes}) {
        for (const row& r : rows) {
            SCOPED_TRACE(testing::Message() << r.flag << " " << r.la << "/" << r.lb);
            auto d = make(r.flag, 8);
            EXPECT_EQ(fn(d.get(), a.data(), r.la, b.data(), r.lb), MDIFF_ST_UNEQUAL_LEN);
            EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_UNEQUAL_LEN);
            EXPECT_EQ(mem_diff_get_list_count(d.get()), r.records);
            EXPECT_EQ(mem_diff_get_count(d.get()), static_cast<int64_t>(r.records));
            EXPECT_EQ(mem_diff_get_offset(d.get()), r.offset);
            EXPECT_EQ(mem_diff_get_len_diff(d.get()), 1u + (r.la == 0 || r.lb == 0 ? 10 : 0) + (r.la == 4 ? 6 : 0));
            if (r.records && r.flag == MDIFF_BYTE_MODE) {
                EXPECT_EQ(byte_records(d.get()), (std::vector<byte_diff>{{4, a[4], b[4]}}));
            }
        }
    }
}

// The byte compare of whole steps when the second side comes up short: the
// differences after the short step keep their true offsets, and the length
// difference outlives them.
TEST(MemDiff, ShortSideKeepsLaterOffsets) {
    constexpr size_t step = 4096;
    bytes in = random_bytes(10 * step, 9);
    bytes out = plant(in, {5, step + 17, 3 * step, 7 * step + 1, 9 * step + 2});
    out.resize(9 * step + 1000);  // the output ends inside the last step
    auto want = reference(in, out);
    ASSERT_EQ(want.size(), 5u);

    auto d = make(MDIFF_BYTE_MODE, 8);
    for (size_t off = 0; off < in.size(); off += step) {
        size_t got = std::min(step, out.size() - std::min(out.size(), off));
        int32_t r = mem_diff_cmp(d.get(), in.data() + off, step, out.data() + off, got);
        EXPECT_EQ(r, got == step ? 0 : MDIFF_ST_UNEQUAL_LEN) << off;
    }
    EXPECT_EQ(byte_records(d.get()), want);
    EXPECT_EQ(mem_diff_get_offset(d.get()), out.size()) << "the bytes compared";
    EXPECT_EQ(mem_diff_get_len_diff(d.get()), in.size() - out.size());
    EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_UNEQUAL_LEN);

    // A short step in the middle, then full steps again: the later records
    // are placed by the caller's own offsets, as it hands them in.
    auto mid = make(MDIFF_BYTE_MODE, 8);
    EXPECT_EQ(mem_diff_cmp(mid.get(), in.data(), step, out.data(), step), 0);
    EXPECT_EQ(mem_diff_cmp(mid.get(), in.data() + step, step, out.data() + step, 100), MDIFF_ST_UNEQUAL_LEN);
    EXPECT_EQ(mem_diff_get_offset(mid.get()), step + 100u);
    EXPECT_EQ(byte_records(mid.get()), (std::vector<byte_diff>{want[0], want[1]}));
}

// A size difference noted by the caller is not hidden by differences found
// later, nor the other way round.
TEST(MemDiff, LengthStateIsNotHiddenByLaterDifferences) {
    bytes a = random_bytes(64, 1);
    bytes b = plant(a, {1, 2});

    auto d = make(MDIFF_BYTE_MODE, 8);
    EXPECT_EQ(mem_diff_set_state(d.get(), MDIFF_ST_UNEQUAL_LEN), 0);
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), a.size(), b.data(), b.size()), 0);
    EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_UNEQUAL_LEN);
    EXPECT_EQ(mem_diff_get_list_count(d.get()), 2u) << "the differences are still stored";

    auto blocks = make(MDIFF_BS_MODE, 8);
    EXPECT_EQ(mem_diff_bs(blocks.get(), 64), 0);
    EXPECT_EQ(mem_diff_get_state(blocks.get()), MDIFF_ST_DIFF);
    mem_diff_set_state(blocks.get(), MDIFF_ST_UNEQUAL_LEN);
    EXPECT_EQ(mem_diff_bs(blocks.get(), 64), 0);
    EXPECT_EQ(mem_diff_get_state(blocks.get()), MDIFF_ST_UNEQUAL_LEN);
    EXPECT_EQ(mem_diff_get_count(blocks.get()), 2);
}

// A record that cannot be allocated: state and result -1, the differences
// met so far counted.
TEST(MemDiff, RecordAllocationFailure) {
    bytes a = random_bytes(32, 2);
    bytes b = plant(a, {3, 9});

    auto d = make(MDIFF_BYTE_MODE, 8);
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), 32, a.data(), 32), 0);
    mem_diff_get_list(d.get())->item_size = UINT64_MAX;  // no item of that size can be had
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), 32, b.data(), 32), MDIFF_ST_NOMEM);
    EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_NOMEM);
    EXPECT_EQ(mem_diff_get_count(d.get()), 1);
    EXPECT_EQ(mem_diff_get_list_count(d.get()), 0u);
    EXPECT_EQ(mem_diff_get_offset(d.get()), 32u) << "the failed range is not walked over";
    mem_diff_get_list(d.get())->item_size = 16;

    auto blocks = make(MDIFF_BS_MODE, 8);
    mem_diff_get_list(blocks.get())->item_size = UINT64_MAX;
    EXPECT_EQ(mem_diff_bs(blocks.get(), 512), MDIFF_ST_NOMEM);
    EXPECT_EQ(mem_diff_get_state(blocks.get()), MDIFF_ST_NOMEM);
    EXPECT_EQ(mem_diff_get_count(blocks.get()), 1);
    EXPECT_EQ(mem_diff_get_offset(blocks.get()), 512u);
    mem_diff_get_list(blocks.get())->item_size = 8;
}

// A block step on a byte-mode recorder: the check is logged, and the block
// offset is stored in a zeroed 16-byte item.
TEST(MemDiff, BlockStepInByteModeIsLoggedAndDone) {
    log_capture cap;
    auto d = make(MDIFF_BYTE_MODE, 8);
    mem_diff_add_offset(d.get(), 1ull << 33);
    EXPECT_EQ(mem_diff_bs(d.get(), 4096), 0);
    EXPECT_TRUE(cap.contains("expr[ctx->flag & MDIFF_BS_MODE]: assert failed")) << cap.all();
    EXPECT_EQ(byte_records(d.get()), (std::vector<byte_diff>{{1ull << 33, 0, 0}}));
    EXPECT_EQ(mem_diff_get_offset(d.get()), (1ull << 33) + 4096);
    EXPECT_EQ(mem_diff_get_state(d.get()), MDIFF_ST_DIFF);

    cap.clear();
    auto blocks = make(MDIFF_BS_MODE, 8);
    EXPECT_EQ(mem_diff_bs(blocks.get(), 4096), 0);
    EXPECT_EQ(cap.count(), 0u) << cap.all();
}

// The inputs of the summary's percentage: differing bytes over the bytes
// walked, or differing blocks over the blocks walked (the last one partial).
TEST(MemDiff, PercentOfWalkedUnits) {
    bytes a = random_bytes(1000, 4);
    bytes b = plant(a, {1, 2, 3, 4, 5});
    auto d = make(MDIFF_BYTE_MODE, 2);
    EXPECT_EQ(mem_diff_get_percent(d.get(), 1), 0.0) << "nothing walked";
    EXPECT_EQ(mem_diff_cmp(d.get(), a.data(), 1000, b.data(), 1000), 0);
    EXPECT_EQ(mem_diff_get_count(d.get()), 5);
    EXPECT_EQ(mem_diff_get_offset(d.get()), 1000u);
    EXPECT_DOUBLE_EQ(mem_diff_get_percent(d.get(), 1), 0.5);
    EXPECT_EQ(mem_diff_get_percent(d.get(), 0), 0.0);

    auto blocks = make(MDIFF_BS_MODE, 8);
    mem_diff_bs(blocks.get(), 65536);
    mem_diff_add_offset(blocks.get(), 2 * 65536);
    mem_diff_bs(blocks.get(), 100);  // a short last sub-block is one block
    EXPECT_EQ(mem_diff_get_offset(blocks.get()), 3 * 65536u + 100);
    EXPECT_DOUBLE_EQ(mem_diff_get_percent(blocks.get(), 65536), 50.0);
}

TEST(MemDiff, ContinueOnlyWithMaxZero) {
    auto zero = make(MDIFF_BYTE_MODE, 0);
    EXPECT_EQ(mem_diff_continue(zero.get()), 0);
    EXPECT_EQ(mem_diff_get_state(zero.get()), MDIFF_ST_DIFF);

    auto eight = make(MDIFF_BYTE_MODE, 8);
    EXPECT_EQ(mem_diff_continue(eight.get()), -1);
    EXPECT_EQ(mem_diff_get_state(eight.get()), MDIFF_ST_SAME);
}

TEST(MemDiff, DestroyFreesEveryRecord) {
    pl_mem_stat before = pl_mem_stat_get();
    mem_diff_ctx* d = mem_diff_create(MDIFF_BYTE_MODE, 1000);
    ASSERT_NE(d, nullptr);
    bytes a = random_bytes(500, 8);
    bytes b = plant(a, {1, 50, 100, 499});
    EXPECT_EQ(mem_diff_cmp(d, a.data(), 500, b.data(), 500), 0);
    EXPECT_EQ(mem_diff_get_list_count(d), 4u);
    EXPECT_EQ(mem_diff_destroy(d), 0);
    EXPECT_EQ(pl_mem_stat_get().malloc_count, before.malloc_count);
    EXPECT_EQ(mem_diff_destroy(nullptr), 0);
}

}  // namespace
