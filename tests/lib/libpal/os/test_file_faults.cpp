// Transfers under injected faults: short reads, interrupted reads, failing
// ranges, stalls. The fault-injection library is checked against GNU dd
// first, then the file layer is run under it.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "fi_reader_run.h"
#include "file_fixture.h"
#include "libpal/basic/verr.h"

namespace {

struct FileFaults : ::testing::Test {
    temp_dir dir;
    std::string path = dir.file("data");
    std::string data = byte_pattern(10000);
    void SetUp() override { write_file(path, data); }
    fi_options opt() const {
        fi_options o;
        o.path = path;
        return o;
    }
};

TEST_F(FileFaults, LibraryFailsTheChosenBlockForDd) {
    fi_options o = opt();
    o.err = "EIO";
    o.ranges = {{1024, 1536}};
    proc_result r;
    {
        fi_env_guard env(o);
        r = run_proc({"dd", "if=" + path, "of=/dev/null", "bs=512"});
    }
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("Input/output error"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("2+0 records in"), std::string::npos) << "blocks 0 and 1 were read: " << r.err;

    // Without the library's variables the same copy succeeds.
    r = run_proc({"dd", "if=" + path, "of=/dev/null", "bs=512"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(FileFaults, LibraryShortensReadsForDd) {
    fi_options o = opt();
    o.short_max = 100;
    std::string copy = dir.file("copy");
    proc_result r;
    {
        fi_env_guard env(o);
        r = run_proc({"dd", "if=" + path, "of=" + copy, "bs=2048", "count=1"});
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("0+1 records in"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(copy), data.substr(0, 100));
}

TEST_F(FileFaults, ShortReadsAreCompleted) {
    fi_options o = opt();
    o.short_max = 7;
    auto res = fi_run_reader(path, {"pread:100:5000", "read:3000", "read:3000", "pread:9000:5000"}, o);
    EXPECT_EQ(res[0].ret, 5000);
    EXPECT_EQ(res[0].digest, digest_of(data, 100, 5000));
    EXPECT_EQ(res[1].ret, 3000);
    EXPECT_EQ(res[1].digest, digest_of(data, 0, 3000));
    EXPECT_EQ(res[2].ret, 3000);
    EXPECT_EQ(res[2].digest, digest_of(data, 3000, 3000));
    EXPECT_EQ(res[3].ret, 1000) << "end of data";
    EXPECT_EQ(res[3].digest, digest_of(data, 9000, 1000));
}

// Once a stop is requested, a read that came back short is not repeated:
// it fails with EINTR, and its first system call is the only one.
TEST_F(FileFaults, AStopEndsAReadBetweenItsSystemCalls) {
    fi_options o = opt();
    o.short_max = 100;
    std::vector<fi_read> r = fi_run_reader(path, {"pread:0:1000", "stop", "pread:0:1000", "read:1000", "pread:200:100"}, o);
    EXPECT_EQ(r[0].ret, 1000);
    EXPECT_EQ(r[0].digest, digest_of(data, 0, 1000));
    EXPECT_EQ(r[2].ret, -1);
    EXPECT_EQ(r[2].err, EINTR);
    EXPECT_EQ(r[3].ret, -1);
    EXPECT_EQ(r[3].err, EINTR);
    // One call that brings the whole length is a whole read.
    EXPECT_EQ(r[4].ret, 100);
    EXPECT_EQ(r[4].digest, digest_of(data, 200, 100));
}

TEST_F(FileFaults, InterruptedReadsAreRepeated) {
    fi_options o = opt();
    o.err = "EINTR";
    o.fail_count = 3;
    auto res = fi_run_reader(path, {"pread:512:512", "read:512"}, o);
    EXPECT_EQ(res[0].ret, 512);
    EXPECT_EQ(res[0].digest, digest_of(data, 512, 512));
    EXPECT_EQ(res[1].ret, 512);
    EXPECT_EQ(res[1].digest, digest_of(data, 0, 512));
}

TEST_F(FileFaults, FailuresAreNeverShortReads) {
    // A read that starts before the bad range gets the good part first from
    // the system; the layer goes on, meets the error and reports it.
    fi_options o = opt();
    o.err = "EIO";
    o.ranges = {{1024, 1536}};
    auto res = fi_run_reader(path, {"pread:0:1024", "pread:512:1024", "pread:1024:512", "pread:1536:512"}, o);
    EXPECT_EQ(res[0].ret, 1024);
    for (int i : {1, 2}) {
        EXPECT_EQ(res[i].ret, -1) << i;
        EXPECT_EQ(res[i].err, EIO) << i;
        EXPECT_EQ(res[i].verr, VERR_DEV_IO_ERROR) << i;
        EXPECT_EQ(res[i].cls, 1u) << i;
    }
    EXPECT_EQ(res[3].ret, 512);
    EXPECT_EQ(res[3].digest, digest_of(data, 1536, 512));
}

TEST_F(FileFaults, FailuresThatPass) {
    fi_options o = opt();
    o.err = "EIO";
    o.fail_count = 1;
    auto res = fi_run_reader(path, {"pread:0:512", "pread:0:512"}, o);
    EXPECT_EQ(res[0].ret, -1);
    EXPECT_EQ(res[0].err, EIO);
    EXPECT_EQ(res[1].ret, 512);
}

TEST_F(FileFaults, ErrorsOfRegularFilesKeepTheirNumber) {
    // Only block devices turn sector errors into EIO (see the loop-device
    // tests); on a regular file the error comes through as it is.
    struct row {
        const char* name;
        int err;
        int verr;
        unsigned cls;
    };
    const row rows[] = {
        {"EIO", EIO, VERR_DEV_IO_ERROR, 1},
        {"ENXIO", ENXIO, -258, 2},
        {"ENODATA", ENODATA, -304, 3},
    };
    for (const row& r : rows) {
        fi_options o = opt();
        o.err = r.name;
        auto res = fi_run_reader(path, {"pread:0:512"}, o);
        EXPECT_EQ(res[0].ret, -1) << r.name;
        EXPECT_EQ(res[0].err, r.err) << r.name;
        EXPECT_EQ(res[0].verr, r.verr) << r.name;
        EXPECT_EQ(res[0].cls, r.cls) << r.name;
    }
}

TEST_F(FileFaults, StallsDelayReadsInTheRange) {
    fi_options o = opt();
    o.stall_ms = 300;
    o.ranges = {{4096, 8192}};
    auto t0 = std::chrono::steady_clock::now();
    auto res = fi_run_reader(path, {"pread:4096:512"}, o);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(res[0].ret, 512);
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

}  // namespace
