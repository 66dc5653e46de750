// kxdd on damaged sources: unreadable sectors injected with the
// fault-injection library (zero fill, sector-by-sector re-reads with a fill
// pattern, reads that come back short in front of a bad sector), read errors
// that end the run, and the exit statuses of failures at open and write.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "support/faultinject.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

constexpr uint64_t k_ss = 512;
constexpr uint64_t k_block = 65536;
constexpr size_t k_in_size = 4u << 20;

// Byte ranges of whole sectors.
std::vector<std::pair<uint64_t, uint64_t>> sector_ranges(const std::vector<uint64_t>& sectors) {
    std::vector<std::pair<uint64_t, uint64_t>> r;
    for (uint64_t s : sectors) r.push_back({s * k_ss, (s + 1) * k_ss});
    return r;
}

// Byte ranges of the 64 KiB blocks that hold the sectors.
std::vector<std::pair<uint64_t, uint64_t>> block_ranges(const std::vector<uint64_t>& sectors) {
    std::set<uint64_t> blocks;
    for (uint64_t s : sectors) blocks.insert(s * k_ss / k_block);
    std::vector<std::pair<uint64_t, uint64_t>> r;
    for (uint64_t b : blocks) r.push_back({b * k_block, (b + 1) * k_block});
    return r;
}

// The fill of one unreadable sector: 32-byte groups of the pattern text
// followed by zero bytes.
std::string fill_sector(const std::string& pattern) {
    std::string group = pattern;
    group.resize(32, '\0');
    std::string s;
    while (s.size() < k_ss) s += group;
    return s;
}

std::string with_ranges_replaced(std::string data, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                                 const std::string& unit) {
    for (auto& [a, b] : ranges)
        for (uint64_t o = a; o < b; o += unit.size()) data.replace(o, unit.size(), unit);
    return data;
}

// Offsets of the first differing bytes, for messages.
std::string first_difference(const std::string& got, const std::string& want) {
    if (got.size() != want.size())
        return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != want[i]) return "first difference at byte " + std::to_string(i);
    return "equal";
}

class KxddBadSectors : public testing::Test {
protected:
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string data = random_bytes(k_in_size, 4242);
    void SetUp() override { write_file(in, data); }

    fi_options injection(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, const char* err = "EIO") const {
        fi_options o;
        o.path = in;
        o.err = err;
        o.ranges = ranges;
        return o;
    }

    // kxdd under the injection, stopped after two minutes so that a walk
    // that never ends fails instead of hanging; standard error goes to a file.
    proc_result kxdd_under(const fi_options& o, std::vector<std::string> ops) const {
        std::vector<std::string> argv{"timeout", "120", kxdd_bin(), "if=" + in, "of=" + out};
        argv.insert(argv.end(), ops.begin(), ops.end());
        fi_env_guard env(o);
        return run_err_file(dir.path, argv);
    }

    proc_result dd_under(const fi_options& o, const std::string& dst, std::vector<std::string> ops) const {
        std::vector<std::string> argv{"dd", "if=" + in, "of=" + dst};
        argv.insert(argv.end(), ops.begin(), ops.end());
        fi_env_guard env(o);
        return run_proc(argv);
    }
};

// Without bad_read a media error turns the whole block into zero bytes, as
// GNU dd's conv=noerror,sync does. A device fails the whole request that
// touches a bad sector; the library instead hands back the bytes in front
// of it (a short read GNU dd would keep as a short record), so GNU dd runs
// with the whole block failing, kxdd with the single sectors.
TEST_F(KxddBadSectors, ZeroFillOfTheWholeBlockMatchesDdNoerrorSync) {
    const std::vector<uint64_t> sectors = {2049, 2176, 8191};  // blocks 16, 17 (first sector), 63 (last sector)
    proc_result r = kxdd_under(injection(sector_ranges(sectors)), {"bs=64K"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string got = read_file(out);
    std::string want = with_ranges_replaced(data, block_ranges(sectors), std::string(k_block, '\0'));
    EXPECT_TRUE(got == want) << first_difference(got, want);
    std::string err = clean_err(r.err);
    EXPECT_TRUE(contains(err, "64+0 records in\n64+0 records out\n")) << err;
    EXPECT_TRUE(contains(err, "4194304 bytes (")) << err;
    EXPECT_FALSE(contains(err, "bad_bytes")) << "only bad_read counts bad bytes: " << err;
    EXPECT_EQ(count_of(err, "errno=-250"), 3u) << err;
    // Three whole blocks became zero bytes, and the summary says so.
    EXPECT_TRUE(contains(err, "196608 bytes (192.0K) of the input could not be read: the output holds zero bytes there\n"))
        << err;

    if (!have_gnu_dd()) GTEST_SKIP() << "GNU dd not installed";
    std::string ref = dir.file("ref");
    proc_result d = dd_under(injection(block_ranges(sectors)), ref, {"bs=64K", "conv=noerror,sync"});
    ASSERT_EQ(d.status, 0) << d.err;
    std::string oracle = read_file(ref);
    EXPECT_TRUE(got == oracle) << first_difference(got, oracle);
}

// The same behind a window start ("?sector_off="): after the zero-filled
// block the copy reads on at the window's offsets, not the file's.
TEST_F(KxddBadSectors, ZeroFillBehindAWindowStart) {
    const uint64_t start = 8 * k_ss;
    fi_options o = injection(sector_ranges({2049 + 8}));
    fi_env_guard env(o);
    proc_result r = run_proc({"timeout", "120", kxdd_bin(), "if=" + in + "?sector_off=8", "of=" + out, "bs=64K"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want = data.substr(start);
    want.replace(16 * k_block, k_block, std::string(k_block, '\0'));
    std::string got = read_file(out);
    EXPECT_TRUE(got == want) << first_difference(got, want);
    EXPECT_EQ(count_of(clean_err(r.err), "errno=-250"), 1u) << r.err;
}

struct bad_read_case {
    const char* name;
    std::vector<uint64_t> sectors;
    size_t short_max;              // reads of the input return at most this many bytes; 0: off
    std::vector<std::string> ops;  // besides bs=64K conv=bad_read bad_retry_count=3 bad_fill_str=abc
};

// Sectors 2049..2176 lie in block 16 (2048..2175) and the first one of block
// 17; 2175 is the last sector of a block and of a 4-sector chunk.
const std::vector<uint64_t> k_scattered = {2049, 2100, 2101, 2102, 2175, 2176};

const bad_read_case k_bad_read_cases[] = {
    {"one_sector", {2049}, 0, {}},
    {"one_sector_reads_short_1000", {2049}, 1000, {}},
    {"one_sector_reads_short_300", {2049}, 300, {}},
    {"scattered_default_chunks", k_scattered, 0, {}},
    {"scattered_4_sector_chunks", k_scattered, 0, {"bad_skip_sectors=4"}},
    {"scattered_4_sector_chunks_reads_short", k_scattered, 1000, {"bad_skip_sectors=4"}},
    {"scattered_1_sector_chunks", k_scattered, 0, {"bad_skip_sectors=1"}},
    // 8388608 sectors of 512 bytes are 4 GiB: the chunk length must not wrap to 0.
    {"huge_bad_skip_sectors", {2049}, 0, {"bad_skip_sectors=8388608"}},
    {"huge_bad_skip_sectors_reads_short", k_scattered, 1000, {"bad_skip_sectors=8388608"}},
    {"last_sector_of_the_input", {8191}, 0, {"bad_skip_sectors=4"}},
};

class KxddBadRead : public KxddBadSectors, public testing::WithParamInterface<bad_read_case> {};

// With bad_read only the unreadable sectors carry the fill pattern, every
// readable byte is kept (reads that come back short leave no stale bytes of
// an earlier block behind), each sector is tried bad_retry_count times and
// the summary counts the bad bytes.
TEST_P(KxddBadRead, OnlyTheUnreadableSectorsCarryThePattern) {
    const bad_read_case& c = GetParam();
    fi_options o = injection(sector_ranges(c.sectors));
    o.short_max = c.short_max;
    std::vector<std::string> ops{"bs=64K", "conv=bad_read", "bad_retry_count=3", "bad_fill_str=abc"};
    ops.insert(ops.end(), c.ops.begin(), c.ops.end());
    proc_result r = kxdd_under(o, ops);
    ASSERT_EQ(r.status, 0) << r.err;

    std::string got = read_file(out);
    std::string want = with_ranges_replaced(data, sector_ranges(c.sectors), fill_sector("abc"));
    EXPECT_TRUE(got == want) << first_difference(got, want);

    std::string err = clean_err(r.err);
    for (uint64_t s : c.sectors)
        EXPECT_EQ(count_of(err, "read s_offset=" + std::to_string(s) + " bs=512 errno=-250 error: "), 3u)
            << "sector " << s << ":\n" << err;
    EXPECT_EQ(count_of(err, "read s_offset="), 3 * c.sectors.size()) << err;
    EXPECT_TRUE(contains(err, "64+0 records in\n64+0 records out\n")) << err;
    std::string bad = std::to_string(k_ss * c.sectors.size());
    EXPECT_TRUE(contains(err, "4194304 bytes (4.0M) copied, bad_bytes: " + bad + " (")) << err;
    // The summary names what the output holds where the input could not be read.
    EXPECT_TRUE(contains(err, "\n" + bad + " bytes (")) << err;
    EXPECT_TRUE(contains(err, " of the input could not be read: the output holds the fill pattern \"abc\" there\n")) << err;
    EXPECT_FALSE(contains(err, "holds zero bytes")) << err;
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddBadRead, testing::ValuesIn(k_bad_read_cases),
                         [](const testing::TestParamInfo<bad_read_case>& i) { return std::string(i.param.name); });

TEST_F(KxddBadSectors, OneSectorWithPatternAbcIsExact) {
    proc_result r = kxdd_under(injection(sector_ranges({2049})),
                               {"bs=64K", "conv=bad_read", "bad_retry_count=3", "bad_fill_str=abc"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string got = read_file(out);
    ASSERT_EQ(got.size(), data.size());
    std::string group("abc", 3);
    group.append(29, '\0');
    for (int i = 0; i < 16; ++i) EXPECT_EQ(got.substr(1049088 + 32 * i, 32), group) << "group " << i;
    EXPECT_TRUE(got.compare(0, 1049088, data, 0, 1049088) == 0);
    EXPECT_TRUE(got.compare(1049600, std::string::npos, data, 1049600, std::string::npos) == 0);
    EXPECT_TRUE(contains(clean_err(r.err), "bad_bytes: 512 (512), ")) << r.err;
}

// With an empty pattern an unreadable sector becomes zero bytes: the same
// as GNU dd reading sector by sector with conv=noerror,sync.
TEST_F(KxddBadSectors, BadReadWithoutPatternMatchesDdSectorCopy) {
    if (!have_gnu_dd()) GTEST_SKIP() << "GNU dd not installed";
    for (const auto& sectors : {std::vector<uint64_t>{2049}, k_scattered}) {
        SCOPED_TRACE(sectors.size());
        fi_options o = injection(sector_ranges(sectors));
        proc_result r = kxdd_under(o, {"bs=64K", "conv=bad_read"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string err = clean_err(r.err);
        EXPECT_EQ(count_of(err, "read s_offset="), sectors.size()) << "one try per sector by default: " << err;
        std::string ref = dir.file("ref");
        proc_result d = dd_under(o, ref, {"bs=512", "conv=noerror,sync"});
        ASSERT_EQ(d.status, 0) << d.err;
        std::string got = read_file(out), oracle = read_file(ref);
        EXPECT_TRUE(got == oracle) << first_difference(got, oracle);
        EXPECT_TRUE(got == with_ranges_replaced(data, sector_ranges(sectors), std::string(k_ss, '\0')));
    }
}

// A sector that reads on a later try keeps its data, at its place.
TEST_F(KxddBadSectors, SectorThatReadsOnALaterTryIsKept) {
    fi_options o = injection(sector_ranges({2049}));
    o.fail_count = 4;  // the block, the chunk, then two tries of the sector
    proc_result r = kxdd_under(o, {"bs=64K", "conv=bad_read", "bad_retry_count=5", "bad_fill_str=abc"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string got = read_file(out);
    EXPECT_TRUE(got == data) << first_difference(got, data);
    std::string err = clean_err(r.err);
    size_t tries = count_of(err, "read s_offset=2049 ");
    EXPECT_GE(tries, 1u) << err;
    EXPECT_LT(tries, 5u) << err;
    EXPECT_TRUE(contains(err, "bad_bytes: 0 (0), ")) << err;
}

// The first block, where the input's probes read too.
TEST_F(KxddBadSectors, BadSectorsInTheFirstBlock) {
    for (const char* flag : {"iflag=file", "bs=64K"}) {
        SCOPED_TRACE(flag);
        proc_result r = kxdd_under(injection(sector_ranges({0, 2})), {"bs=64K", "conv=bad_read", "bad_fill_str=Q", flag});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string got = read_file(out);
        std::string want = with_ranges_replaced(data, sector_ranges({0, 2}), fill_sector("Q"));
        EXPECT_TRUE(got == want) << first_difference(got, want);
        EXPECT_TRUE(contains(clean_err(r.err), "bad_bytes: 1024 (")) << r.err;
    }
}

// An input that ends inside a sector: the unreadable piece at the end gets
// the whole 32-byte groups that fit, the output keeps the input's length.
TEST_F(KxddBadSectors, UnreadablePieceAtTheEndOfTheInput) {
    data += random_bytes(1000, 77);
    write_file(in, data);
    const uint64_t tail = k_in_size + k_ss;  // 488 bytes up to the end
    fi_options o = injection({{tail, data.size()}});
    proc_result r = kxdd_under(o, {"bs=64K", "conv=bad_read", "bad_fill_str=abc"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want = data.substr(0, tail) + fill_sector("abc").substr(0, 480) + std::string(8, '\0');
    std::string got = read_file(out);
    EXPECT_TRUE(got == want) << first_difference(got, want);
    std::string err = clean_err(r.err);
    EXPECT_TRUE(contains(err, "64+1 records in\n64+1 records out\n")) << err;
    EXPECT_TRUE(contains(err, "bad_bytes: 488 (488), ")) << err;

    // Without bad_read the whole short block is zero, and no longer than the input.
    r = kxdd_under(o, {"bs=64K"});
    ASSERT_EQ(r.status, 0) << r.err;
    want = data.substr(0, k_in_size) + std::string(1000, '\0');
    got = read_file(out);
    EXPECT_TRUE(got == want) << first_difference(got, want);
}

TEST_F(KxddBadSectors, BlockNotAMultipleOfTheSectorIsRefused) {
    proc_result r = kxdd_under(injection(sector_ranges({2049})), {"bs=1000", "conv=bad_read"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(clean_err(r.err), "ibs=1000 ibs must be sector_size (512) aligned\n")) << r.err;
}

struct ending_case {
    const char* name;
    const char* err;
    std::vector<std::string> ops;
};

// Read errors that end the run at once, without zero fill, re-reading or
// retry (retry_open=3 would otherwise re-open): exit 1 with the blocks
// before the error written.
const ending_case k_ending_cases[] = {
    {"noerror_media_error_local", "EIO", {"conv=noerror"}},
    {"noerror_other_error_local", "ENODATA", {"conv=noerror"}},
    {"noerror_with_bad_read", "EIO", {"conv=noerror,bad_read"}},
    {"device_gone", "ENXIO", {}},
    {"device_gone_with_bad_read", "ENXIO", {"conv=bad_read"}},
};

class KxddReadErrorEndsRun : public KxddBadSectors, public testing::WithParamInterface<ending_case> {};

TEST_P(KxddReadErrorEndsRun, Exit1AfterTheBlocksBeforeTheError) {
    const ending_case& c = GetParam();
    std::vector<std::string> ops{"bs=64K", "retry_open=3", "retry_delay_seconds=1"};
    ops.insert(ops.end(), c.ops.begin(), c.ops.end());
    proc_result r = kxdd_under(injection(sector_ranges({2049}), c.err), ops);
    EXPECT_EQ(r.status, 1) << r.err;
    std::string got = read_file(out);
    EXPECT_TRUE(got == data.substr(0, 16 * k_block)) << first_difference(got, data.substr(0, 16 * k_block));
    std::string err = clean_err(r.err);
    EXPECT_EQ(count_of(err, "read [" + in), 1u) << "no retry: " << err;
    EXPECT_FALSE(contains(err, "s_offset=")) << err;
    EXPECT_TRUE(contains(err, "16+0 records in\n16+0 records out\n")) << err;
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddReadErrorEndsRun, testing::ValuesIn(k_ending_cases),
                         [](const testing::TestParamInfo<ending_case>& i) { return std::string(i.param.name); });

// Exit statuses of failures at open and at write.
class KxddExitStatus : public testing::Test {
protected:
    temp_dir dir;
    std::string out = dir.file("out");
};

TEST_F(KxddExitStatus, MissingInputIs1AndCreatesNoOutput) {
    for (const std::string& in : {dir.file("none"), dir.file("none/deeper")}) {
        proc_result r = run_kxdd({"if=" + in, "of=" + out, "retry_open=3"});
        EXPECT_EQ(r.status, 1) << in << ": " << r.err;
        EXPECT_FALSE(exists(out)) << in;
        std::string err = clean_err(r.err);
        EXPECT_TRUE(contains(err, "open [" + in + "] error: ")) << err;
        EXPECT_FALSE(contains(err, "records in")) << "nothing moved, no summary: " << err;
    }
}

TEST_F(KxddExitStatus, InputUnderAFileIs1) {
    // ENOTDIR: the path cannot exist.
    std::string file = dir.file("file");
    write_file(file, "x");
    proc_result r = run_kxdd({"if=" + file + "/x", "of=" + out});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "open [" + file + "/x] error: Not a directory\n")) << r.err;
    EXPECT_FALSE(exists(out));
}

TEST_F(KxddExitStatus, InputThatFailsToOpenForAnotherReasonIs2) {
    std::string loop = dir.file("loop");
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);
    // With and without the image probes of the input.
    for (const char* flag : {"iflag=file", "bs=64K"}) {
        proc_result r = run_kxdd({"if=" + loop, "of=" + out, flag, "retry_open=3"});
        EXPECT_EQ(r.status, 2) << flag << ": " << r.err;
        EXPECT_FALSE(exists(out)) << flag;
        EXPECT_TRUE(contains(clean_err(r.err), "open [" + loop + "] error: ")) << r.err;
    }
}

TEST_F(KxddExitStatus, OutputThatCannotBeOpenedIs1) {
    // Missing directories of an output are created; a regular file in the
    // way cannot become one.
    std::string in = dir.file("in");
    write_file(in, random_bytes(5000, 1));
    std::string bad = in + "/out";
    proc_result r = run_kxdd({"if=" + in, "of=" + bad, "retry_open=3"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "open [" + bad)) << r.err;
    EXPECT_FALSE(contains(clean_err(r.err), "records in")) << r.err;

    r = run_kxdd({"if=" + in, "of=" + dir.file("new/dirs/out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(dir.file("new/dirs/out")), 5000);
}

TEST_F(KxddExitStatus, FullDiskIs1) {
    std::string in = dir.file("in");
    write_file(in, random_bytes(200000, 2));
    proc_result r = run_kxdd({"if=" + in, "of=/dev/full", "bs=64K", "retry_open=3"});
    EXPECT_EQ(r.status, 1) << r.err;
    std::string err = clean_err(r.err);
    // The status code is -152 ("Disk is full."); the text is the system's.
    EXPECT_EQ(count_of(err, "writing '/dev/full"), 1u) << "no retry: " << err;
    EXPECT_TRUE(contains(err, "offset=0 len=65536 eno=-152 error: ")) << err;
}

// The output may grow to 150 KiB only (a file size limit, with the signal
// it raises ignored): the third block is written in part, then the write
// fails. Exit 1, and the summary counts the bytes that reached the output,
// as GNU dd does.
TEST_F(KxddExitStatus, PartialWriteIsCountedInTheSummary) {
    std::string in = dir.file("in");
    write_file(in, random_bytes(1u << 20, 3));
    proc_result r = run_proc({"sh", "-c", "trap '' XFSZ; exec prlimit --fsize=153600 \"$@\"", "sh", kxdd_bin(),
                              "if=" + in, "of=" + out, "bs=64K"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(file_size(out), 153600);
    std::string err = clean_err(r.err);
    EXPECT_TRUE(contains(err, "eno=-128 error: ")) << err;
    EXPECT_TRUE(contains(err, "2+1 records out\n153600 bytes (")) << err;
}

}  // namespace
