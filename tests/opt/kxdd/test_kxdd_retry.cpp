// kxdd on sources that fail for a while: read errors that are retried by
// re-opening both sides at the offsets reached, the limits of the retry
// policies, and resuming an interrupted copy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "support/faultinject.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

constexpr size_t k_in_size = 4u << 20;
constexpr uint64_t k_bad = 1049088;  // sector 2049, in block 16 of 64 KiB

class KxddRetry : public testing::Test {
protected:
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string data = random_bytes(k_in_size, 777);
    void SetUp() override { write_file(in, data); }

    // ENODATA is not a media error: the read fails with status -3, which
    // the retry policy may retry.
    fi_options failing(uint64_t from, long fail_count = -1) const {
        fi_options o;
        o.path = in;
        o.err = "ENODATA";
        o.ranges = {{from, from + 512}};
        o.fail_count = fail_count;
        return o;
    }

    proc_result kxdd_under(const fi_options& o, std::vector<std::string> ops) const {
        std::vector<std::string> argv{"timeout", "120", kxdd_bin(), "if=" + in, "of=" + out};
        argv.insert(argv.end(), ops.begin(), ops.end());
        fi_env_guard env(o);
        return run_err_file(dir.path, argv);
    }
};

// The lines that say a re-open at the block that failed.
size_t reopens_at_the_failure(const std::string& err) {
    return count_of(clean_err(err), "a read failed (ret=-3): re-opening both sides in 1 s, the copy goes on at input offset 1048576, output offset ");
}

size_t read_errors(const std::string& err, const std::string& in) {
    return count_of(clean_err(err), "read [" + in + "] offset=1048576 bs=65536 errno=-304 error: ");
}

struct recover_case {
    const char* name;
    std::vector<std::string> ops;
    size_t old_out = 0;  // an existing output of this many other bytes; 0: none
};

// The source fails twice in a row for the copy's own reads, then reads
// again: the copy re-opens twice, saying so each time, goes on where it
// stopped and ends complete. The input is read ahead of the writes, and on each pass the
// read-ahead meets the failure first and leaves that block to the copy's
// own read: four failures in a row give the copy its two.
const recover_case k_recover_cases[] = {
    {"count_policy", {"bs=64K", "retry_open=3", "retry_delay_seconds=1"}},
    // The partial output block kept across the re-opens goes out in order.
    {"count_policy_reblocking", {"ibs=64K", "obs=24K", "retry_open=3", "retry_delay_seconds=1"}},
    {"time_policy", {"bs=64K", "retry_timeout_minutes=1", "retry_delay_seconds=1"}},
    // The re-opened output is written at the offset reached, not appended to.
    {"notrunc_over_a_longer_output", {"bs=64K", "conv=notrunc", "retry_open=3", "retry_delay_seconds=1"}, 8u << 20},
};

class KxddRetryRecovers : public KxddRetry, public testing::WithParamInterface<recover_case> {};

TEST_P(KxddRetryRecovers, CopyEndsCompleteWithExit0) {
    const recover_case& c = GetParam();
    std::string old = random_bytes(c.old_out, 778);
    if (c.old_out) write_file(out, old);
    proc_result r = kxdd_under(failing(k_bad, 4), c.ops);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string got = read_file(out);
    std::string want = c.old_out > data.size() ? data + old.substr(data.size()) : data;
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "the output differs";
    EXPECT_EQ(read_errors(r.err, in), 2u) << r.err;
    EXPECT_EQ(reopens_at_the_failure(r.err), 2u) << r.err;
    std::string err = clean_err(r.err);
    EXPECT_TRUE(contains(err, "64+0 records in\n")) << err;
    EXPECT_TRUE(contains(err, "4194304 bytes (4.0M) copied, ")) << err;
    EXPECT_EQ(count_of(err, "records in"), 1u) << "one summary at the end: " << err;
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddRetryRecovers, testing::ValuesIn(k_recover_cases),
                         [](const testing::TestParamInfo<recover_case>& i) { return std::string(i.param.name); });

// A source that never recovers: retry_open=1 allows two re-opens in a row
// without a block moving, so the read fails three times; the run ends with
// exit 3 and what was copied before the failure.
TEST_F(KxddRetry, PolicySpentEndsWithExit3) {
    proc_result r = kxdd_under(failing(k_bad), {"bs=64K", "retry_open=1", "retry_delay_seconds=1"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(read_errors(r.err, in), 3u) << r.err;
    // Each re-open is said; the last failure ends the run without one.
    EXPECT_EQ(reopens_at_the_failure(r.err), 2u) << r.err;
    std::string got = read_file(out);
    EXPECT_TRUE(got == data.substr(0, 1048576)) << got.size();
    EXPECT_TRUE(contains(clean_err(r.err), "16+0 records in\n16+0 records out\n1048576 bytes (1.0M) copied, "))
        << r.err;
}

// A read that fails once, met by the read-ahead: the copy reads that block
// again itself, which succeeds, and ends whole with exit 0 and no error of
// the source.
TEST_F(KxddRetry, AFailureOnlyTheReadAheadMetLeavesACompleteCopy) {
    proc_result r = kxdd_under(failing(k_bad, 1), {"bs=64K"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == data);
    EXPECT_EQ(read_errors(r.err, in), 0u) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "64+0 records in\n64+0 records out\n4194304 bytes (4.0M) copied, ")) << r.err;
}

// Nothing has moved yet: a failure of the first block ends the run at once.
TEST_F(KxddRetry, FailureInTheFirstBlockIsNotRetried) {
    fi_options o = failing(0);
    o.ranges = {{4096, 4608}};
    proc_result r = kxdd_under(o, {"bs=64K", "retry_open=3", "retry_delay_seconds=1", "iflag=file"});
    EXPECT_EQ(r.status, 3) << r.err;
    std::string err = clean_err(r.err);
    EXPECT_EQ(count_of(err, "read [" + in + "] offset=0 bs=65536 errno=-304"), 1u) << err;
    EXPECT_FALSE(contains(err, "records in")) << "nothing moved, no summary: " << err;
}

// conv=resume continues an interrupted copy at the output's size; with
// nothing left it says so and ends with exit 7 and a summary of 0 bytes.
class KxddResume : public testing::Test {
protected:
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string data = random_bytes(10u << 20, 99);
    void SetUp() override { write_file(in, data); }
};

TEST_F(KxddResume, InterruptedCopyIsCompletedThenNothingIsLeft) {
    struct step {
        size_t kept;
        std::vector<std::string> ops;
    };
    // Cut at a block boundary of the default 2 MiB blocks, and in the middle of a block.
    for (const step& s : {step{3u << 20, {}}, step{(3u << 20) + 1000, {"bs=64K"}}}) {
        SCOPED_TRACE(s.kept);
        write_file(out, data.substr(0, s.kept));
        std::vector<std::string> args{"if=" + in, "of=" + out, "conv=resume"};
        args.insert(args.end(), s.ops.begin(), s.ops.end());
        proc_result r = run_kxdd(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string got = read_file(out);
        EXPECT_TRUE(got == data) << got.size();
        std::string err = clean_err(r.err);
        EXPECT_TRUE(contains(err, std::to_string(data.size() - s.kept) + " bytes (")) << err;
        EXPECT_TRUE(contains(err, "offset: " + std::to_string(s.kept) + " sector_size")) << err;

        r = run_kxdd_err_file(dir.path, args);
        EXPECT_EQ(r.status, 7) << r.err;
        err = clean_err(r.err);
        EXPECT_TRUE(contains(err, "0+0 records in\n0+0 records out\n0 bytes (0) copied, ")) << err;
        // The reason is said at the default level.
        EXPECT_TRUE(contains(err, "file [" + out + "] skip=" + std::to_string(data.size()) + " size=")) << err;
        EXPECT_TRUE(contains(err, " error: no data to copy\n")) << err;
        EXPECT_TRUE(read_file(out) == data);
    }
}

// From a pipe the part already in the output is read and dropped.
TEST_F(KxddResume, ResumeFromAPipeSkipsByReading) {
    write_file(out, data.substr(0, 3u << 20));
    proc_result r = run_kxdd({"of=" + out, "conv=resume", "bs=64K"}, data);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == data);
    EXPECT_TRUE(contains(clean_err(r.err), "112+0 records in\n112+0 records out\n7340032 bytes (")) << r.err;
}

TEST_F(KxddResume, OutputLongerThanInputIsLeftAlone) {
    std::string longer = data + random_bytes(5000, 5);
    write_file(out, longer);
    proc_result r = run_kxdd({"if=" + in, "of=" + out, "conv=resume"});
    EXPECT_EQ(r.status, 7) << r.err;
    std::string msg = "file [" + out + "] skip=" + std::to_string(longer.size()) + " size=" + std::to_string(data.size()) +
                      " error: offset is larger than file size\n";
    EXPECT_TRUE(contains(clean_err(r.err), msg)) << r.err;
    EXPECT_TRUE(read_file(out) == longer);
}

// A swab copy cut inside a pair (a write that ended at an odd length, then a
// full disk): the resume writes that pair again, from the even offset below
// the output's size, and the result is that of an uninterrupted run.
TEST_F(KxddResume, SwabResumeStartsAtAnEvenOffset) {
    const std::string in3 = dir.file("in3");
    const std::string src = data.substr(0, 3000000);
    write_file(in3, src);
    const std::string want = swabbed(src);
    const std::vector<std::vector<std::string>> runs = {
        {"bs=1001"}, {"bs=1000"}, {"bs=65536"}, {"ibs=1000", "obs=4096"}};
    for (const std::vector<std::string>& ops : runs) {
        SCOPED_TRACE(ops[0]);
        write_file(out, want.substr(0, 1000001));
        std::vector<std::string> args{"if=" + in3, "of=" + out, "conv=swab,resume"};
        args.insert(args.end(), ops.begin(), ops.end());
        proc_result r = run_kxdd(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(out) == want) << "the resumed output differs from an uninterrupted swab copy";
        EXPECT_TRUE(contains(clean_err(r.err), "offset: 1000000 sector_size")) << r.err;
    }
}

// Without resume, a larger output is simply overwritten (truncated first),
// not "nothing to copy".
TEST_F(KxddResume, WithoutResumeALargerOutputIsNoReasonToStop) {
    write_file(out, data + data);
    proc_result r = run_kxdd({"if=" + in, "of=" + out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == data);
    write_file(out, data);
    r = run_kxdd({"if=" + in, "of=" + out, "conv=notrunc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == data);
}

}  // namespace
