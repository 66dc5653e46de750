// Hash jobs, failures: a failing read is reported through the error call
// and the error record, never as a digest; a source that ends before its
// size fails the range instead of hashing less; ranges that do not fit;
// stopping and closing a working job; idle threads burn no processor time.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "file_job_fixture.h"
#include "libpal/hash/file_hash.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_thread.h"
#include "support/log_capture.h"
#include "support/proc.h"

using namespace job_test;

namespace {

struct mode_case {
    const char* name;
    uint32_t flags;
    uint8_t thread;
};

// The hash thread, the pool, and the caller's thread.
const mode_case k_modes[] = {
    {"hash_cal thread", HASH_MD5 | HASH_PSHA1, 1},
    {"pool", HASH_PMD5 | HASH_PSHA1, 1},
};

TEST(FileHashFaults, FailedReadGoesThroughTheErrorCall) {
    const uint64_t bs = 65536;
    for (const mode_case& m : k_modes) {
        for (uint64_t block_size : {bs, uint64_t{3 * 1024 * 1024}}) {
            SCOPED_TRACE(std::string(m.name) + " bs=" + std::to_string(block_size));
            mem_source src;
            src.data = pattern_bytes(8 * block_size, 31);
            src.fail_at = static_cast<int64_t>(5 * block_size + 10);
            verr_info err{};
            file_hash_param p = hash_param(m.flags, &src, mem_source::read, static_cast<int64_t>(src.data.size()),
                                           block_size, 0, m.thread);
            file_hash_ctx* job = file_hash_open(&p, &err);
            ASSERT_NE(job, nullptr);
            EXPECT_EQ(file_hash_cal(job, 0, 8 * block_size), -1);
            EXPECT_EQ(src.errors.load(), 1);
            EXPECT_EQ(err.code, VERR_DEV_IO_ERROR);
            EXPECT_STREQ(verr_msg(&err), ("mem_source: media error at " + std::to_string(src.fail_at)).c_str());
            file_hash_close(job);
        }
    }
}

// Through the file layer: the errno error of the failed read.
TEST(FileHashFaults, FailedFileReadGivesTheErrnoError) {
    temp_dir dir;
    os_file_ctx* f = os_file_open(dir.path.c_str(), OS_PF_RDONLY);
    if (!f) GTEST_SKIP() << "the file layer does not open directories";
    verr_info err{};
    file_hash_param p = hash_param(HASH_MD5, f, nullptr, 0, 4096);
    file_hash_ctx* job = file_hash_open(&p, &err);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(file_hash_cal(job, 0, 8192), -1);
    EXPECT_EQ(err.code, os_verr_get(EISDIR));
    file_hash_close(job);
    os_file_close(f);
}

// A source shorter than its stated size: the range that reaches past the
// real end fails with -110 rather than hashing less as a success, and the
// next range fails at once instead of waiting for a consumer.
TEST(FileHashFaults, SourceEndingBeforeItsSizeFailsTheRange) {
    const uint64_t bs = 65536;
    for (const mode_case& m : k_modes) {
        SCOPED_TRACE(m.name);
        mem_source src;
        src.data = pattern_bytes(600000, 32);
        verr_info err{};
        file_hash_param p = hash_param(m.flags, &src, mem_source::read, 1 << 20, bs, 0, m.thread);
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(file_hash_cal(job, 0, 8 * bs), 0);
        EXPECT_EQ(file_hash_cal(job, 8 * bs, 8 * bs), -1);
        EXPECT_EQ(err.code, VERR_EOF);
        err = verr_info{};
        EXPECT_EQ(file_hash_cal(job, 16 * bs, 8 * bs), -1);
        EXPECT_EQ(err.code, VERR_EOF);
        file_hash_close(job);
    }
}

TEST(FileHashFaults, LongerSecondRangeIsRefused) {
    const uint64_t bs = 4096;
    for (const mode_case& m : k_modes) {
        SCOPED_TRACE(m.name);
        mem_source src;
        src.data = pattern_bytes(16 * bs, 33);
        file_hash_param p = hash_param(m.flags, &src, mem_source::read, 16 * bs, bs, 0, m.thread);
        verr_info err{};
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(file_hash_cal(job, 0, 3 * bs - 5), 0);  // the chunk becomes 3 blocks
        log_capture cap;
        EXPECT_EQ(file_hash_cal(job, 3 * bs, 3 * bs + 1), -1);
        EXPECT_TRUE(cap.contains("len=12289 > max_len=12288")) << cap.all();
        EXPECT_EQ(file_hash_cal(job, 3 * bs, 3 * bs), 0);
        file_hash_close(job);
    }
    // Blocks per range given at open: the same limit from the start.
    mem_source src;
    src.data = pattern_bytes(16 * bs, 34);
    file_hash_param p = hash_param(HASH_MD5, &src, mem_source::read, 16 * bs, bs, 2);
    file_hash_ctx* job = file_hash_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(file_hash_cal(job, 0, 3 * bs), -1);
    EXPECT_EQ(file_hash_cal(job, 0, 2 * bs), 0);
    file_hash_close(job);
}

TEST(FileHashFaults, OpenRefusesBadParameters) {
    struct row {
        const char* name;
        uint32_t flags;
        int64_t total;
        uint64_t bs;
        int32_t code;
    };
    const row rows[] = {
        {"flag 4096", 0x1000, 0, 4096, VERR_NOT_SUPPORTED}, {"no algorithm", 0, 0, 4096, VERR_INVALID_PARAMETER},
        {"negative size", HASH_MD5, -1, 4096, VERR_INVALID_PARAMETER},
        {"block size 0", HASH_MD5, 0, 0, VERR_INVALID_PARAMETER},
        {"block size 4 GiB", HASH_MD5, 0, uint64_t{1} << 32, VERR_INVALID_PARAMETER},
    };
    mem_source src;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        log_capture cap;
        verr_info err{};
        file_hash_param p = hash_param(r.flags, &src, mem_source::read, r.total, r.bs);
        EXPECT_EQ(file_hash_open(&p, &err), nullptr);
        EXPECT_EQ(err.code, r.code);
        if (r.code == VERR_NOT_SUPPORTED) {
            EXPECT_TRUE(cap.contains("flag=0x1000")) << cap.all();
        }
    }
    verr_info err{};
    EXPECT_EQ(file_hash_open(nullptr, &err), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
}

TEST(FileHashFaults, BadRangesAreRefused) {
    mem_source src;
    src.data = pattern_bytes(8192, 38);
    verr_info err{};
    file_hash_param p = hash_param(HASH_MD5, &src, mem_source::read, 8192, 4096);
    file_hash_ctx* job = file_hash_open(&p, &err);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(file_hash_cal(job, 0, 0), 0);  // nothing to do, and no set-up from it
    EXPECT_EQ(file_hash_cal(job, -1, 4096), -1);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_EQ(file_hash_cal(job, INT64_MAX - 10, 4096), -1);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_EQ(file_hash_cal(job, 0, 8192), 0);
    EXPECT_EQ(src.reads.load(), 1);
    file_hash_close(job);
}

// Chunks too small for a queue or a chunk buffer are digested on the
// caller's thread, to the same digests.
TEST(FileHashFaults, TinyRangesOnTheCallersThread) {
    mem_source src;
    src.data = "abc";
    file_hash_param p = hash_param(HASH_MD5, &src, mem_source::read, 3, 1);
    file_hash_ctx* job = file_hash_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_cal(job, 0, 2), 0);
    ASSERT_EQ(file_hash_cal(job, 2, 1), 0);
    EXPECT_EQ(job->job.thread, nullptr);
    auto f = finals(job, HASH_MD5);
    EXPECT_EQ(f[HASH_MD5], "900150983cd24fb0d6963f7d28e17f72");
    file_hash_close(job);

    // "p" algorithms with threads allowed: ranges of 2 one-byte blocks here,
    // one range of 3 on the pool.
    std::string digests[2];
    for (uint64_t range : {uint64_t{2}, uint64_t{3}}) {
        p = hash_param(HASH_PMD5, &src, mem_source::read, 3, 1, 0, 1);
        job = file_hash_open(&p, nullptr);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(hash_ranges(job, 0, 3, range), 0);
        digests[range - 2] = finals(job, HASH_PMD5)[HASH_PMD5];
        file_hash_close(job);
    }
    EXPECT_EQ(digests[0], digests[1]);
}

// A stop asked for in the middle of a range (here from the read call) ends
// it with -1; closing the job while its thread or pool still digests what
// was handed over neither hangs nor touches freed memory.
TEST(FileHashFaults, StopAndCloseWhileWorking) {
    const uint64_t bs = 256 * 1024;
    struct stop_case {
        const char* name;
        uint32_t flags;
        bool shared;
    };
    const stop_case modes[] = {
        {"hash_cal thread", HASH_SHA512 | HASH_SM3 | HASH_PSHA512, false},
        {"pool", HASH_PSHA512 | HASH_PSM3, false},
        {"pool, its threads reading", HASH_PSHA512 | HASH_PSM3, true},
    };
    for (const stop_case& m : modes) {
        SCOPED_TRACE(m.name);
        mem_source src;
        src.data = pattern_bytes(32 * bs, 35);
        verr_info err{};
        file_hash_param p = hash_param(m.flags, &src, mem_source::read, static_cast<int64_t>(src.data.size()), bs, 0,
                                       1, nullptr, m.shared);
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr);
        job->job.cpus = 4;
        // The first read at 20 blocks or later stops the job (several
        // threads may read at once).
        std::atomic<int> stop_reads{-1};
        src.on_read = [&](int64_t off, int64_t) {
            int none = -1;
            if (off >= static_cast<int64_t>(20 * bs) && stop_reads.compare_exchange_strong(none, src.reads.load()))
                file_hash_stop(job);
        };
        EXPECT_EQ(file_hash_cal(job, 0, 32 * bs), -1);
        EXPECT_EQ(err.code, VERR_CANCELLED);
        // Nothing more is read once the stop is seen: at most the reads
        // already under way on the other threads end.
        EXPECT_LE(src.reads.load(), stop_reads + (m.shared ? 4 : 1));
        if (m.shared) {
            EXPECT_GT(src.shared_reads.load(), 0);
        }
        // A stopped job only closes.
        EXPECT_EQ(file_hash_cal(job, 0, bs), -1);
        char text[8192];
        EXPECT_EQ(file_hash_get_ctx(job, text, sizeof text), -1);
        file_hash_close(job);
    }
}

// What a job reports of a run of ranges: per range its result, and the
// error record, the error calls, the records and the state text after it.
std::vector<std::string> run_report(mem_source& src, uint32_t flags, int64_t total, uint64_t bs, uint64_t range,
                                    uint64_t size, bool shared) {
    std::vector<std::string> out;
    verr_info err{};
    file_hash_param p = hash_param(flags, &src, mem_source::read, total, bs, 0, 1, nullptr, shared);
    file_hash_ctx* job = file_hash_open(&p, &err);
    EXPECT_NE(job, nullptr) << verr_msg(&err);
    if (!job) return out;
    job->job.cpus = 4;  // several tasks whatever the machine
    src.errors = 0;
    for (uint64_t off = 0; off < size; off += range) {
        err = verr_info{};
        int rc = file_hash_cal(job, static_cast<int64_t>(off), std::min(range, size - off));
        std::string records(1024 * 1024, '\0');
        EXPECT_EQ(file_hash_get_record(job, records.data(), records.size()), 0);
        records.resize(strlen(records.c_str()));
        out.push_back("rc " + std::to_string(rc) + " code " + std::to_string(err.code) + " [" + verr_msg(&err) +
                      "] errors " + std::to_string(src.errors.load()) + "\n" + records + "\n" + state_text(job));
        if (rc != 0) break;
    }
    file_hash_close(job);
    return out;
}

// With the pool's threads reading, a read that fails, data that ends before
// the size the job was given, and reads that come back in small pieces end
// as they do with the caller's thread reading: the same results, error
// texts, error calls, records and state texts, range by range. The sums of
// the blocks digested before the failing read are counted once.
TEST(FileHashFaults, PoolReadsFailAsTheCallersReadsDo) {
    const uint64_t bs = 65536;
    struct fault_case {
        const char* name;
        uint64_t bs;
        uint64_t range;
        int64_t fail_at;
        size_t data;     // bytes the source holds
        int64_t total;   // the size the job is given
        uint64_t max_piece;
    };
    const fault_case cases[] = {
        {"read error in the middle of a range", bs, 16 * bs, static_cast<int64_t>(9 * bs + 10), 32 * bs, 32 * bs, 0},
        {"small blocks, read error in the second range", 1000, 2000000, 3200000, 5000000, 5000000, 0},
        {"big blocks, read error in the first", 3 * 1024 * 1024, 9 * 1024 * 1024, 5, 9 * 1024 * 1024,
         9 * 1024 * 1024, 0},
        {"data ends inside the range", bs, 16 * bs, -1, 600000, 1 << 20, 0},
        {"reads in small pieces", 4096, 40 * 4096, -1, 100 * 4096 + 5, 100 * 4096 + 5, 1000},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        mem_source src;
        src.data = pattern_bytes(c.data, 40);
        src.fail_at = c.fail_at;
        src.max_piece = c.max_piece;
        const uint32_t flags = HASH_PMD5 | HASH_PSHA256 | HASH_PXXH3;
        const uint64_t size = static_cast<uint64_t>(c.total);
        auto callers = run_report(src, flags, c.total, c.bs, c.range, size, false);
        EXPECT_EQ(src.shared_reads.load(), 0);
        auto pools = run_report(src, flags, c.total, c.bs, c.range, size, true);
        EXPECT_GT(src.shared_reads.load(), 0);
        ASSERT_EQ(pools.size(), callers.size());
        for (size_t r = 0; r < callers.size(); r++) EXPECT_EQ(pools[r], callers[r]) << "range " << r;
        EXPECT_NE(callers.back().find(c.max_piece ? "rc 0 " : "rc -1 "), std::string::npos) << callers.back();
    }
}

// A read of the pool's threads that fails once: the range is read again,
// nothing is reported, and the records and sums are those of a clean run.
TEST(FileHashFaults, PoolReadFailingOnceLeavesNoTrace) {
    const uint64_t bs = 4096;
    const uint64_t size = 64 * bs + 100;
    const uint32_t flags = HASH_PMD5 | HASH_PSHA1 | HASH_PSM3;
    mem_source clean;
    clean.data = pattern_bytes(size, 41);
    auto want = run_report(clean, flags, static_cast<int64_t>(size), bs, 16 * bs, size, true);
    mem_source src;
    src.data = clean.data;
    src.fail_at = static_cast<int64_t>(20 * bs + 1);
    src.fail_left = 1;
    auto got = run_report(src, flags, static_cast<int64_t>(size), bs, 16 * bs, size, true);
    EXPECT_EQ(src.fail_left.load(), 0);  // the failure came
    EXPECT_EQ(got, want);
}

TEST(FileHashFaults, CloseIdleJobs) {
    mem_source src;
    src.data = pattern_bytes(4096, 36);
    for (uint32_t flags : {uint32_t{HASH_MD5}, uint32_t{HASH_PMD5}}) {
        // Threads made at open (blocks per range given) and never used.
        file_hash_param p = hash_param(flags, &src, mem_source::read, 4096, 1024, 4, 1);
        file_hash_ctx* job = file_hash_open(&p, nullptr);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(file_hash_close(job), 0);
        // And a job that never set up.
        p.bs_count = 0;
        job = file_hash_open(&p, nullptr);
        ASSERT_NE(job, nullptr);
        uint8_t d[64];
        EXPECT_EQ(file_hash_final(job, flags, d, sizeof d), 0);  // the digest of nothing
        EXPECT_EQ(file_hash_close(job), 0);
    }
    EXPECT_EQ(file_hash_close(nullptr), 0);
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// While the caller's read is slow, the hash thread and the pool's workers
// sleep on their conditions: the process uses little processor time.
TEST(FileHashFaults, IdleWorkersDoNotSpin) {
    const uint64_t bs = READ_CACHE_SIZE;  // every block one read of the source
    for (const mode_case& m : k_modes) {
        SCOPED_TRACE(m.name);
        mem_source src;
        src.data = pattern_bytes(4 * bs, 37);
        src.on_read = [](int64_t, int64_t) { os_msleep(150); };  // a slow device, not a synchronisation
        file_hash_param p = hash_param(m.flags, &src, mem_source::read, 4 * bs, bs, 0, m.thread);
        file_hash_ctx* job = file_hash_open(&p, nullptr);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(file_hash_cal(job, 0, bs), 0);  // threads up
        uint64_t wall0 = os_mono_ms();
        double cpu0 = cpu_seconds();
        ASSERT_EQ(file_hash_cal(job, bs, bs), 0);
        ASSERT_EQ(file_hash_cal(job, 2 * bs, bs), 0);
        double cpu = cpu_seconds() - cpu0;
        double wall = static_cast<double>(os_mono_ms() - wall0) / 1000.0;
        EXPECT_GE(wall, 0.29);
        EXPECT_LT(cpu, wall * 0.5) << "cpu " << cpu << " s over " << wall << " s";
        file_hash_close(job);
    }
}

}  // namespace
