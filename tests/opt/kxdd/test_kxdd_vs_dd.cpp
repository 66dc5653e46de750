// kxdd against GNU dd: the same operands on the same input give the same
// output bytes and the same "records in" / "records out" lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support/proc.h"

namespace {

// Bytes of a fixed generator, so every run sees the same data.
std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

// The lines of standard error without colours; progress lines end in "\r"
// rather than a line break, so both split.
std::vector<std::string> err_lines(const std::string& err) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : strip_ansi(err)) {
        if (c == '\n' || c == '\r') {
            if (!cur.empty()) lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The "N+M records in" and "N+M records out" lines, in order.
std::vector<std::string> records_lines(const std::string& err) {
    std::vector<std::string> out;
    for (auto& l : err_lines(err))
        if (ends_with(l, " records in") || ends_with(l, " records out")) out.push_back(l);
    return out;
}

// The byte count of the summary's bytes line, or -1 when no line matches.
long long kxdd_summary_bytes(const std::string& err) {
    static const std::regex re(R"(^(\d+) bytes \(.*\) copied, \[.*\], .*$)");
    long long bytes = -1;
    int found = 0;
    for (auto& l : err_lines(err)) {
        std::smatch m;
        if (std::regex_match(l, m, re)) {
            bytes = std::stoll(m[1]);
            ++found;
        }
    }
    return found == 1 ? bytes : -1;
}

long long dd_summary_bytes(const std::string& err) {
    static const std::regex re(R"(^(\d+) bytes .*copied, .*$)");
    for (auto& l : err_lines(err)) {
        std::smatch m;
        if (std::regex_match(l, m, re)) return std::stoll(m[1]);
    }
    return -1;
}

size_t first_difference(const std::string& a, const std::string& b) {
    return static_cast<size_t>(std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
                               a.begin());
}

bool have_gnu_dd() {
    proc_result r = run_proc({"dd", "--version"});
    return r.status == 0 && r.out.find("coreutils") != std::string::npos;
}

struct vs_case {
    const char* name;
    size_t in_size;
    std::vector<std::string> ops;     // operands of both programs
    std::vector<std::string> kx_ops;  // kxdd only
    std::vector<std::string> dd_ops;  // GNU dd only
    size_t old_out = 0;               // an existing output of this many other bytes; 0: none
    bool pipe_in = false;             // input on standard input, no "if="
    bool pipe_out = false;            // output on standard output, no "of="
    // Where kxdd ends differently from GNU dd on purpose: its exit status and a
    // text its standard error holds. Bytes and records must still agree.
    int kx_status = 0;
    const char* kx_err = nullptr;
};

// gtest names a failing row by this.
void PrintTo(const vs_case& c, std::ostream* os) { *os << c.name; }

// On pipe inputs kxdd always reads whole blocks; GNU dd needs fullblock for that.
const std::string fullblock = "iflag=fullblock";

const vs_case k_cases[] = {
    {.name = "bs4096_on_5000", .in_size = 5000, .ops = {"bs=4096"}},
    {.name = "bs512_on_8KiB", .in_size = 8192, .ops = {"bs=512"}},
    {.name = "ibs1000_obs300_on_1000", .in_size = 1000, .ops = {"ibs=1000", "obs=300"}},
    {.name = "ibs1000_obs300_on_10000", .in_size = 10000, .ops = {"ibs=1000", "obs=300"}},
    {.name = "ibs300_obs1000_on_10000", .in_size = 10000, .ops = {"ibs=300", "obs=1000"}},
    {.name = "ibs300_obs1000_on_10050", .in_size = 10050, .ops = {"ibs=300", "obs=1000"}},
    {.name = "count2", .in_size = 20000, .ops = {"bs=4096", "count=2"}},
    {.name = "count0", .in_size = 20000, .ops = {"bs=4096", "count=0"}},
    // A given count that the input does not reach is a failure for kxdd, after
    // it has copied what there was.
    {.name = "count_past_end", .in_size = 5000, .ops = {"bs=1000", "count=9"}, .kx_status = 1,
     .kx_err = "Unread completed"},
    {.name = "skip_past_end", .in_size = 5000, .ops = {"bs=1000", "skip=7"}},
    {.name = "skip_to_end", .in_size = 5000, .ops = {"bs=1000", "skip=5"}},
    {.name = "empty_input", .in_size = 0, .ops = {"bs=4096"}},
    {.name = "skip2_seek3_blocks", .in_size = 10000, .ops = {"bs=1000", "skip=2", "seek=3"}},
    {.name = "skip_blocks_ibs_seek_blocks_obs", .in_size = 10000, .ops = {"ibs=700", "obs=300", "skip=2", "seek=3"}},
    {.name = "skip_bytes1000", .in_size = 10000, .ops = {"bs=4096", "iflag=skip_bytes", "skip=1000"}},
    {.name = "seek_bytes1000", .in_size = 10000, .ops = {"bs=4096", "oflag=seek_bytes", "seek=1000"}},
    {.name = "skip_bytes_seek_bytes_apart", .in_size = 10000,
     .ops = {"bs=4096", "iflag=skip_bytes", "skip=777", "oflag=seek_bytes", "seek=1234"}},
    {.name = "no_notrunc_truncates_longer_output", .in_size = 5000, .ops = {"bs=1000"}, .old_out = 20000},
    {.name = "notrunc_over_longer_output", .in_size = 5000, .ops = {"bs=1000", "conv=notrunc"}, .old_out = 20000},
    {.name = "notrunc_seek3_count2_in_place", .in_size = 5000, .ops = {"bs=1000", "conv=notrunc", "seek=3", "count=2"},
     .old_out = 20000},
    {.name = "notrunc_seek_past_old_end", .in_size = 5000, .ops = {"bs=1000", "conv=notrunc", "seek=18"},
     .old_out = 20000},
    {.name = "notrunc_seek_bytes_in_place", .in_size = 5000,
     .ops = {"bs=4096", "conv=notrunc", "oflag=seek_bytes", "seek=1000"}, .old_out = 20000},
    {.name = "sync_pads_short_block", .in_size = 5000, .ops = {"bs=4096", "conv=sync"}},
    {.name = "sync_with_count", .in_size = 5000, .ops = {"bs=3000", "conv=sync", "count=2"}},
    {.name = "sync_reblocked", .in_size = 5000, .ops = {"ibs=3000", "obs=1000", "conv=sync"}},
    // Byte swapping is one stream of pairs: an odd step hands its last byte to
    // the next one, and a byte left at the end is written alone.
    {.name = "swab_even_blocks", .in_size = 5000, .ops = {"bs=1000", "conv=swab"}},
    {.name = "swab_odd_bs", .in_size = 5000, .ops = {"bs=333", "conv=swab"}},
    {.name = "swab_odd_length", .in_size = 5001, .ops = {"bs=1000", "conv=swab"}},
    {.name = "swab_count_odd_bytes", .in_size = 5000, .ops = {"bs=333", "count=3", "conv=swab"}},
    {.name = "swab_sync_odd_bs", .in_size = 5001, .ops = {"bs=999", "conv=swab,sync"}},
    {.name = "swab_reblocked", .in_size = 5001, .ops = {"ibs=777", "obs=500", "conv=swab"}},
    {.name = "swab_stdin_odd_bs", .in_size = 5001, .ops = {"bs=333", "conv=swab"}, .dd_ops = {fullblock},
     .pipe_in = true, .pipe_out = true},
    {.name = "stdin_to_file", .in_size = 5000, .ops = {"bs=1000"}, .dd_ops = {fullblock}, .pipe_in = true},
    {.name = "file_to_stdout", .in_size = 5000, .ops = {"bs=1000"}, .pipe_out = true},
    {.name = "stdin_to_stdout", .in_size = 70000, .ops = {"bs=4096"}, .dd_ops = {fullblock}, .pipe_in = true,
     .pipe_out = true},
    {.name = "stdin_reblocked", .in_size = 10000, .ops = {"ibs=300", "obs=1000"}, .dd_ops = {fullblock},
     .pipe_in = true, .pipe_out = true},
    {.name = "stdin_skip_reads_past", .in_size = 5000, .ops = {"bs=1000", "skip=2"}, .dd_ops = {fullblock},
     .pipe_in = true},
    {.name = "stdin_skip_bytes_reads_past", .in_size = 5000, .ops = {"bs=1000", "iflag=skip_bytes", "skip=1500"},
     .dd_ops = {fullblock}, .pipe_in = true},
    {.name = "explicit_dev_stdin_stdout", .in_size = 5000, .ops = {"bs=1000", "if=/dev/stdin", "of=/dev/stdout"},
     .dd_ops = {fullblock}, .pipe_in = true, .pipe_out = true},
    {.name = "empty_stdin", .in_size = 0, .ops = {"bs=1000"}, .dd_ops = {fullblock}, .pipe_in = true, .pipe_out = true},
    {.name = "stdin_sync", .in_size = 5000, .ops = {"bs=3000", "conv=sync"}, .dd_ops = {fullblock}, .pipe_in = true},
    {.name = "stdin_count", .in_size = 50000, .ops = {"bs=4096", "count=3"}, .dd_ops = {fullblock}, .pipe_in = true},
    {.name = "offset_bytes", .in_size = 5000, .ops = {"bs=1000"}, .kx_ops = {"offset=1500"},
     .dd_ops = {"skip=1500", "seek=1500", "iflag=skip_bytes", "oflag=seek_bytes"}},
    {.name = "offset_notrunc_in_place", .in_size = 5000, .ops = {"bs=1000", "conv=notrunc"}, .kx_ops = {"offset=1500"},
     .dd_ops = {"skip=1500", "seek=1500", "iflag=skip_bytes", "oflag=seek_bytes"}, .old_out = 20000},
    {.name = "double_dash_ignored", .in_size = 5000, .ops = {"--", "bs=1000"}, .kx_ops = {"--"}},
    {.name = "suffix_c", .in_size = 5000, .ops = {"bs=700c"}},
    {.name = "suffix_w", .in_size = 5000, .ops = {"bs=300w"}},
    {.name = "suffix_b", .in_size = 5000, .ops = {"bs=2b"}},
    {.name = "suffix_k", .in_size = 5000, .ops = {"bs=1k"}},
    {.name = "suffix_K", .in_size = 5000, .ops = {"bs=1K"}},
    {.name = "suffix_kB_KB", .in_size = 5500, .ops = {"ibs=1kB", "obs=1KB"}},
    {.name = "suffix_count_w_skip_b", .in_size = 20000, .ops = {"bs=10", "skip=1b", "count=20w"}},
    {.name = "suffix_M", .in_size = 2621440 + 333, .ops = {"bs=1M"}},
    {.name = "suffix_MB", .in_size = 2621440 + 333, .ops = {"bs=1MB"}},
    // Inputs of several pieces of 256 KiB or more: a file is read ahead of the
    // writes, small blocks in pieces that hold several, large blocks alone.
    // The end of the data, a count, conv=sync and odd offsets all fall
    // inside a piece or on its edge.
    {.name = "ahead_bs512", .in_size = (1u << 20) + 333, .ops = {"bs=512"}},
    {.name = "ahead_bs1000_skip_seek_count", .in_size = (3u << 20) + 77,
     .ops = {"bs=1000", "skip=5", "seek=3", "count=2500"}},
    {.name = "ahead_bs256K_tail", .in_size = (2u << 20) + 100, .ops = {"bs=256K"}},
    {.name = "ahead_bs2M_sync", .in_size = (5u << 20) + 1, .ops = {"bs=2M", "conv=sync"}},
    {.name = "ahead_reblocked", .in_size = (2u << 20) + 7, .ops = {"ibs=64K", "obs=24K"}},
    {.name = "ahead_swab_odd_bs", .in_size = (1u << 20) + 3, .ops = {"bs=333", "conv=swab"}},
    {.name = "ahead_skip_bytes_bs256K", .in_size = 3u << 20, .ops = {"bs=256K", "iflag=skip_bytes", "skip=1000"}},
    {.name = "ahead_notrunc_seek_in_place", .in_size = 1u << 20, .ops = {"bs=64K", "conv=notrunc", "seek=3"},
     .old_out = 4u << 20},
    {.name = "ahead_count_past_end", .in_size = (1u << 20) + 5, .ops = {"bs=64K", "count=40"}, .kx_status = 1,
     .kx_err = "Unread completed"},
};

class KxddVsDd : public testing::TestWithParam<vs_case> {};

TEST_P(KxddVsDd, SameBytesAndRecords) {
    if (!have_gnu_dd()) GTEST_SKIP() << "GNU dd not found";
    const vs_case& c = GetParam();
    temp_dir dir;
    const std::string input = random_bytes(c.in_size, 0x6b78dd00u + static_cast<uint32_t>(c.in_size));
    const std::string old = random_bytes(c.old_out, 0x01dda7a0u);
    const std::string in_path = dir.file("in");
    write_file(in_path, input);

    // Runs one program with its operands; answers the run and the output bytes.
    auto run = [&](const std::string& prog, const std::vector<std::string>& own) {
        const std::string out_path = dir.file(prog + ".out");
        if (c.old_out) write_file(out_path, old);
        std::vector<std::string> args = c.ops;
        args.insert(args.end(), own.begin(), own.end());
        if (!c.pipe_in) args.push_back("if=" + in_path);
        if (!c.pipe_out) args.push_back("of=" + out_path);
        const std::string stdin_data = c.pipe_in ? input : std::string();
        if (prog == "dd") args.insert(args.begin(), "dd");
        proc_result r = prog == "dd" ? run_proc(args, stdin_data) : run_kxdd(args, stdin_data);
        std::string out = c.pipe_out ? r.out : read_file(out_path);
        return std::make_pair(r, out);
    };

    auto [dd, dd_out] = run("dd", c.dd_ops);
    ASSERT_EQ(dd.status, 0) << dd.err;
    auto [kx, kx_out] = run("kxdd", c.kx_ops);
    EXPECT_EQ(kx.status, c.kx_status) << kx.err;
    if (c.kx_err) {
        EXPECT_NE(strip_ansi(kx.err).find(c.kx_err), std::string::npos) << kx.err;
    }

    EXPECT_EQ(kx_out.size(), dd_out.size());
    EXPECT_TRUE(kx_out == dd_out) << "output bytes differ first at offset " << first_difference(kx_out, dd_out);
    if (!c.pipe_out) {
        EXPECT_EQ(kx.out, "") << "kxdd wrote to standard output";
    }

    const auto dd_rec = records_lines(dd.err);
    ASSERT_EQ(dd_rec.size(), 2u) << dd.err;
    EXPECT_EQ(records_lines(kx.err), dd_rec) << kx.err;

    EXPECT_EQ(kxdd_summary_bytes(kx.err), dd_summary_bytes(dd.err)) << kx.err;
}

INSTANTIATE_TEST_SUITE_P(Table, KxddVsDd, testing::ValuesIn(k_cases),
                         [](const testing::TestParamInfo<vs_case>& i) { return std::string(i.param.name); });

// A copy within one file: blocks written before later ones are read are
// read back as written, as GNU dd reads them, whether the data moves toward
// the end of the file or toward its start.
TEST(KxddCopy, WithinOneFileReadsWhatItWrote) {
    if (!have_gnu_dd()) GTEST_SKIP() << "GNU dd not found";
    const std::string data = random_bytes(3u << 20, 0x5e1f);
    const std::vector<std::vector<std::string>> cases = {
        {"bs=64K", "seek=1", "count=40", "conv=notrunc"},
        {"bs=1000", "seek=3", "conv=notrunc", "count=2000"},
        {"bs=64K", "skip=1", "conv=notrunc"},
    };
    for (const auto& ops : cases) {
        std::string trace;
        for (const auto& o : ops) trace += o + " ";
        SCOPED_TRACE(trace);
        temp_dir dir;
        const std::string kx_file = dir.file("kx");
        const std::string dd_file = dir.file("dd");
        write_file(kx_file, data);
        write_file(dd_file, data);
        std::vector<std::string> dd_args{"dd", "if=" + dd_file, "of=" + dd_file};
        dd_args.insert(dd_args.end(), ops.begin(), ops.end());
        proc_result dd = run_proc(dd_args);
        ASSERT_EQ(dd.status, 0) << dd.err;
        std::vector<std::string> kx_args{"if=" + kx_file, "of=" + kx_file};
        kx_args.insert(kx_args.end(), ops.begin(), ops.end());
        proc_result kx = run_kxdd(kx_args);
        EXPECT_EQ(kx.status, 0) << kx.err;
        const std::string kx_out = read_file(kx_file);
        const std::string dd_out = read_file(dd_file);
        ASSERT_NE(dd_out, data) << "the case moves nothing";
        EXPECT_EQ(kx_out.size(), dd_out.size());
        EXPECT_TRUE(kx_out == dd_out) << "bytes differ first at offset " << first_difference(kx_out, dd_out);
        EXPECT_EQ(records_lines(kx.err), records_lines(dd.err)) << kx.err;
    }
}

// The record counts of the worked examples, so the table above cannot pass on
// two programs that agree on a wrong answer.
TEST(KxddCopy, RecordCountsOfWorkedExamples) {
    struct row {
        size_t in_size;
        std::vector<std::string> ops;
        std::vector<std::string> records;
        size_t out_size;
    };
    const row rows[] = {
        {5000, {"bs=4096"}, {"1+1 records in", "1+1 records out"}, 5000},
        {5000, {"bs=4096", "conv=sync"}, {"1+1 records in", "2+0 records out"}, 8192},
        {1000, {"ibs=1000", "obs=300"}, {"1+0 records in", "3+1 records out"}, 1000},
        {20000, {"bs=4096", "count=2"}, {"2+0 records in", "2+0 records out"}, 8192},
        {20000, {"bs=4096", "count=0"}, {"0+0 records in", "0+0 records out"}, 0},
        {0, {"bs=4096"}, {"0+0 records in", "0+0 records out"}, 0},
    };
    for (const auto& w : rows) {
        temp_dir dir;
        const std::string input = random_bytes(w.in_size, 7);
        write_file(dir.file("in"), input);
        std::vector<std::string> args = w.ops;
        args.push_back("if=" + dir.file("in"));
        args.push_back("of=" + dir.file("out"));
        std::string trace;
        for (auto& a : w.ops) trace += a + " ";
        SCOPED_TRACE(trace + "on " + std::to_string(w.in_size) + " bytes");
        proc_result r = run_kxdd(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(records_lines(r.err), w.records) << r.err;
        const std::string out = read_file(dir.file("out"));
        EXPECT_EQ(out.size(), w.out_size);
        const size_t n = std::min(out.size(), input.size());
        EXPECT_TRUE(out.compare(0, n, input, 0, n) == 0);
        EXPECT_EQ(out.find_first_not_of('\0', n), std::string::npos) << "padding is not zero";
        EXPECT_EQ(kxdd_summary_bytes(r.err), static_cast<long long>(out.size())) << r.err;
    }
}

// Without notrunc kxdd truncates the output when it opens it, then cuts it to
// the seek offset: the blocks before the seek read back as zeros, where GNU dd
// would keep the old bytes. The length is the same as GNU dd's.
TEST(KxddCopy, SeekWithoutNotruncZeroesTheBlocksBefore) {
    struct row {
        std::vector<std::string> ops;
        size_t old_size;
        size_t zeros;  // bytes of zeros before the data
        size_t data;   // bytes of input after them
    };
    const size_t in_size = 5000;
    const row rows[] = {
        {{"bs=1000", "seek=3"}, 20000, 3000, 5000},
        {{"bs=1000", "seek=3"}, 1000, 3000, 5000},
        {{"ibs=500", "obs=1000", "seek=2"}, 20000, 2000, 5000},
        {{"bs=4096", "oflag=seek_bytes", "seek=1500"}, 20000, 1500, 5000},
        {{"bs=1000", "seek=3", "count=2"}, 20000, 3000, 2000},
        {{"bs=1000", "seek=3", "count=0"}, 20000, 3000, 0},
    };
    const std::string input = random_bytes(in_size, 11);
    const std::string old = random_bytes(20000, 12);
    for (const auto& w : rows) {
        temp_dir dir;
        write_file(dir.file("in"), input);
        write_file(dir.file("out"), old.substr(0, w.old_size));
        std::vector<std::string> args = w.ops;
        args.push_back("if=" + dir.file("in"));
        args.push_back("of=" + dir.file("out"));
        std::string trace;
        for (auto& a : w.ops) trace += a + " ";
        SCOPED_TRACE(trace + "over " + std::to_string(w.old_size) + " bytes");
        proc_result r = run_kxdd(args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string out = read_file(dir.file("out"));
        ASSERT_EQ(out.size(), w.zeros + w.data);
        EXPECT_TRUE(out.compare(0, w.zeros, std::string(w.zeros, '\0')) == 0) << "old bytes before the seek offset";
        EXPECT_TRUE(out.compare(w.zeros, w.data, input, 0, w.data) == 0) << "data after the seek offset";
    }
}

}  // namespace
