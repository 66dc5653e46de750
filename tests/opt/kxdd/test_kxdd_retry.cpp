// kxdd on sources that fail for a while: read errors that are retried by
// re-opening both sides at the offsets reached, the limits of the retry
// policies, and resuming an interrupted copy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
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

// Images are read ahead of the writes too, through their drivers. One row
// per driver; each image holds the same 4 MiB of noise, stored as it is, so
// that the bytes of the input near an offset lie near it in the image file.
struct image_kind {
    const char* name;
    const char* ext;
    // The command that makes the image `img` from the raw file `raw`.
    std::vector<std::string> (*make)(const std::string& raw, const std::string& img);
    const char* tool;  // the program it needs
    // Operands of the copy: the image libraries report any failed read as a
    // general failure, which a copy retries every few seconds without end
    // unless told to stop at read errors.
    std::vector<std::string> ops;
    uint64_t data_at;  // about where the image file holds the input's first byte
};

void PrintTo(const image_kind& k, std::ostream* os) { *os << k.name; }

std::vector<std::string> make_kxz(const std::string& raw, const std::string& img) {
    return {kxdd_bin(), "if=" + raw, "of=" + img, "bs=64K"};
}
std::vector<std::string> make_vdi(const std::string& raw, const std::string& img) {
    return {"qemu-img", "convert", "-q", "-f", "raw", "-O", "vdi", raw, img};
}
std::vector<std::string> make_qcow2(const std::string& raw, const std::string& img) {
    return {"qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", raw, img};
}
// The tests' own AFF4 writer: one stream of 32 KiB snappy chunks (noise
// stays stored), one map entry over it.
std::vector<std::string> make_aff4(const std::string& raw, const std::string& img) {
    std::string writer_dir = KXDD_AFF4_WRITER;
    writer_dir = writer_dir.substr(0, writer_dir.rfind('/'));
    std::string code = "import sys; sys.path.insert(0, sys.argv[1]); import make_aff4 as m\n"
                       "data = open(sys.argv[2], 'rb').read()\n"
                       "s = m.Stream('ahead/stream', data, 'snappy', 32768, 16)\n"
                       "a = m.Map('ahead/map', len(data), [(0, len(data), 0, s.uri)], gap=m.ZERO)\n"
                       "open(sys.argv[3], 'wb').write(m.Image('ahead', [s], a).container())\n";
    return {"/usr/bin/python3", "-c", code, writer_dir, raw, img};
}

const image_kind k_image_kinds[] = {
    {"kxz", ".kxz", make_kxz, nullptr, {}, 0},
    {"vdi", ".vdi", make_vdi, "qemu-img", {}, 1024},
    {"qcow2", ".qcow2", make_qcow2, "qemu-img", {"conv=noerror"}, 320u << 10},
    {"aff4", ".aff4", make_aff4, "/usr/bin/python3", {}, 0},
};

bool have_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
    return run_proc({"sh", "-c", "command -v " + name}).status == 0;
}

// The lines of a run that tell of failures, without their time and thread
// prefix, and the record counts.
std::string failure_lines(const std::string& raw) {
    std::string text = clean_err(raw), keep;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (contains(line, "records ") || contains(line, "rror")) {
            size_t body = line.find("): ");
            keep += (body == std::string::npos ? line : line.substr(body + 3)) + "\n";
        }
    }
    return keep;
}

class KxddImageAhead : public KxddRetry, public testing::WithParamInterface<image_kind> {
protected:
    std::string image = dir.file(std::string("img") + GetParam().ext);
    void SetUp() override {
        KxddRetry::SetUp();
        const image_kind& k = GetParam();
        if (k.tool && !have_program(k.tool)) {
            if (const char* ci = getenv("CI"); ci && *ci && strcmp(ci, "false") != 0) FAIL() << k.tool << " is missing";
            GTEST_SKIP() << k.tool << " is missing";
        }
        proc_result made = run_proc(k.make(in, image));
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }
    // kxdd copying the image to out under the fault, with the read-ahead
    // (a copy to a file) or without it (a duty cycle keeps it off; its work
    // period of ten hours never ends here).
    proc_result copy(const fi_options& o, bool ahead) const {
        std::vector<std::string> argv{"timeout", "120", kxdd_bin(), "if=" + image, "of=" + out, "bs=64K"};
        argv.insert(argv.end(), GetParam().ops.begin(), GetParam().ops.end());
        if (!ahead) argv.push_back("cool_down=600-1");
        fi_env_guard env(o);
        return run_proc(argv);
    }
    // Reads of 512 bytes of the image about `at` bytes into the input fail.
    fi_options fault(long fail_count, uint64_t at = 2u << 20) const {
        fi_options o;
        o.path = image;
        o.err = "EIO";
        at += GetParam().data_at;
        o.ranges = {{at, at + 512}};
        o.fail_count = fail_count;
        return o;
    }
};

// Read ahead, the image gives the copy exactly its bytes; a read of the image
// that fails once is met by the read-ahead only, and the copy's own read of
// that block succeeds: a whole copy, exit 0, not a word of the failure.
TEST_P(KxddImageAhead, AFailureOnlyTheReadAheadMetLeavesACompleteCopy) {
    proc_result r = copy(fault(1), true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == data) << "the copy differs";
    EXPECT_EQ(failure_lines(r.err), "64+0 records in\n64+0 records out\n") << r.err;
}

// A read of the image that keeps failing, in the first piece the read-ahead
// reads (nothing taken from it yet) or mid-way: the same exit status, the
// same messages once each, the same output with the same fills, whether the
// image was read ahead or not.
TEST_P(KxddImageAhead, AFailureEndsAsWithoutTheReadAhead) {
    for (uint64_t at : {uint64_t{128} << 10, uint64_t{2} << 20}) {
        SCOPED_TRACE(at);
        proc_result plain = copy(fault(-1, at), false);
        std::string plain_out = read_file(out);
        ASSERT_TRUE(contains(failure_lines(plain.err), "rror")) << "the fault was not met: " << plain.err;
        ASSERT_EQ(unlink(out.c_str()), 0);
        proc_result ahead = copy(fault(-1, at), true);
        EXPECT_EQ(ahead.status, plain.status) << ahead.err;
        EXPECT_EQ(failure_lines(ahead.err), failure_lines(plain.err));
        EXPECT_TRUE(read_file(out) == plain_out) << "the outputs differ";
        ASSERT_EQ(unlink(out.c_str()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddImageAhead, testing::ValuesIn(k_image_kinds),
                         [](const testing::TestParamInfo<image_kind>& i) { return std::string(i.param.name); });

}  // namespace
