// kxdd while it runs: SIGUSR1 (the summary so far, the copy goes on),
// SIGINT (stop, exit 8), and the progress line. The copies read from a pipe
// the test feeds itself, or from a file whose reads the fault-injection
// library slows down, so each step waits for something it can see.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <utility>
#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "support/faultinject.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

constexpr int k_wait_ms = 60000;  // generous: only reached when something is wrong

// A copy from standard input in 4 KiB input blocks to a file (output
// blocks of obs bytes): the test feeds the input and sees the output grow.
struct fed_copy {
    temp_dir dir;
    std::string out = dir.file("out");
    size_t obs;
    std::string fed;
    live_proc p;

    explicit fed_copy(const std::vector<std::string>& ops, size_t obs_ = 4096)
        : obs(obs_), p(argv(ops), {.pipe_in = true}) {}

    std::vector<std::string> argv(const std::vector<std::string>& ops) const {
        std::vector<std::string> args{"ibs=4096", "obs=" + std::to_string(obs), "of=" + out};
        args.insert(args.end(), ops.begin(), ops.end());
        return kxdd_argv(args);
    }

    // Feeds data (whole input blocks) and waits until every whole output
    // block of the input fed so far is in the output: the worker then waits
    // for more input.
    ::testing::AssertionResult feed_and_wait(const std::string& data) {
        if (!p.feed(data)) return ::testing::AssertionFailure() << "input closed: " << p.err();
        fed += data;
        long long want = static_cast<long long>(fed.size() / obs * obs);
        if (!p.wait_until([&] { return file_size(out) == want; }, k_wait_ms))
            return ::testing::AssertionFailure() << "output has " << file_size(out) << " of " << want << " bytes\n"
                                                 << p.err();
        return ::testing::AssertionSuccess();
    }
};

TEST(KxddSignals, Usr1PrintsTheSummarySoFarAndTheCopyGoesOn) {
    std::string data = random_bytes(200000, 31);
    fed_copy c({});
    ASSERT_TRUE(c.feed_and_wait(data.substr(0, 65536)));
    c.p.send(SIGUSR1);
    ASSERT_TRUE(c.p.wait_until([&] { return contains(clean_err(c.p.err()), " copied, "); }, k_wait_ms)) << c.p.err();
    EXPECT_FALSE(c.p.ended()) << "the copy still waits for input";
    EXPECT_TRUE(contains(clean_err(c.p.err()), "16+0 records in\n16+0 records out\n65536 bytes (64.0K) copied, "))
        << c.p.err();

    // The last, partial block is read when the input ends.
    ASSERT_TRUE(c.p.feed(data.substr(65536)));
    EXPECT_EQ(c.p.finish(), 0) << c.p.err();
    EXPECT_TRUE(read_file(c.out) == data);
    std::string err = clean_err(c.p.err());
    EXPECT_EQ(count_of(err, "records in"), 2u) << err;
    EXPECT_TRUE(contains(err, "48+1 records in\n48+1 records out\n200000 bytes (")) << err;
}

struct int_case {
    const char* name;
    std::vector<std::string> ops;
    bool summary;
    size_t obs;
};

const int_case k_int_cases[] = {
    {"with_summary", {}, true, 4096},
    {"status_none", {"status=none"}, false, 4096},
    {"status_noxfer", {"status=noxfer"}, true, 4096},
    // The partial output block is written before the run ends.
    {"reblocking", {}, true, 3000},
};

class KxddSigint : public testing::TestWithParam<int_case> {};

// SIGINT stops the copy at the next block: exit 8, every byte read so far in
// the output, and a summary unless status=none. The worker waits for input
// when the signal comes, so blocks are fed until it has gone.
TEST_P(KxddSigint, StopsWithExit8) {
    const int_case& t = GetParam();
    fed_copy c(t.ops, t.obs);
    ASSERT_TRUE(c.feed_and_wait(random_bytes(65536, 7)));
    c.p.send(SIGINT);
    std::string more = random_bytes(4096 * 4096, 8);
    size_t offered = 0;
    while (offered < more.size() && c.p.feed(more.substr(offered, 4096))) offered += 4096;
    EXPECT_LT(offered, more.size()) << "the copy did not stop";
    EXPECT_EQ(c.p.finish(), 8) << c.p.err();

    std::string got = read_file(c.out);
    std::string all = c.fed + more.substr(0, offered);
    EXPECT_GE(got.size(), 65536u);
    EXPECT_EQ(got.size() % 4096, 0u) << "whole input blocks";
    EXPECT_TRUE(got == all.substr(0, got.size())) << "the output is the input's beginning";

    std::string err = clean_err(c.p.err());
    std::string in_blocks = std::to_string(got.size() / 4096);
    std::string out_full = std::to_string(got.size() / t.obs), out_part = got.size() % t.obs ? "1" : "0";
    if (t.summary) {
        EXPECT_TRUE(contains(err, in_blocks + "+0 records in\n" + out_full + "+" + out_part + " records out\n" +
                                      std::to_string(got.size()) + " bytes ("))
            << err;
    } else {
        EXPECT_FALSE(contains(err, "records in")) << err;
        EXPECT_FALSE(contains(err, " copied, ")) << err;
    }
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddSigint, testing::ValuesIn(k_int_cases),
                         [](const testing::TestParamInfo<int_case>& i) { return std::string(i.param.name); });

// SIGINT while the worker waits for input that does not come: the copy
// ends with exit 8 instead of waiting until the producer writes again.
TEST(KxddSignals, SigintEndsACopyWaitingForInput) {
    fed_copy c({});
    ASSERT_TRUE(c.feed_and_wait(random_bytes(65536, 9)));
    c.p.send(SIGINT);
    bool ended = c.p.wait_until([&] { return c.p.ended(); }, 10000);
    EXPECT_TRUE(ended) << "still running 10 s after SIGINT";
    EXPECT_EQ(c.p.finish(), 8) << c.p.err();
}

// A stop request that the worker only notices when its read returns the end
// of the input is still a stop: exit 8, not 0.
TEST(KxddSignals, SigintFollowedByTheEndOfInputIsExit8) {
    fed_copy c({"level=dbg"});
    ASSERT_TRUE(c.feed_and_wait(random_bytes(65536, 10)));
    c.p.send(SIGINT);
    // The signal thread handles one signal after the other and logs each
    // first: once SIGUSR1's summary is out, the stop request has been made.
    ASSERT_TRUE(c.p.wait_until([&] { return contains(c.p.err(), "signum=2"); }, k_wait_ms)) << c.p.err();
    c.p.send(SIGUSR1);
    ASSERT_TRUE(c.p.wait_until([&] { return contains(clean_err(c.p.err()), " copied, "); }, k_wait_ms)) << c.p.err();
    EXPECT_EQ(c.p.finish(), 8) << clean_err(c.p.err());
    EXPECT_EQ(file_size(c.out), 65536);
}

// A swab copy stopped while its odd byte waits for its partner: the output
// keeps only bytes in their final places (never that byte alone), and a
// resume completes it to the bytes of an uninterrupted run.
TEST(KxddSignals, SigintKeepsTheWaitingSwabByteBack) {
    temp_dir dir;
    const std::string out = dir.file("out"), in = dir.file("in");
    const std::string data = random_bytes(10000, 12);
    write_file(in, data);
    live_proc p(kxdd_argv({"bs=999", "conv=swab", "of=" + out}), {.pipe_in = true});
    ASSERT_TRUE(p.feed(data.substr(0, 999)));
    // The worker has read the block (its last byte now waits) and waits for the next.
    ASSERT_TRUE(p.wait_until([&] { return p.unread_input() == 0; }, k_wait_ms)) << p.err();
    p.send(SIGINT);
    // The stop ends the wait for input: the input stays open until the end.
    EXPECT_TRUE(p.wait_until([&] { return p.ended(); }, k_wait_ms)) << "still running after SIGINT";
    EXPECT_EQ(p.finish(), 8) << p.err();
    const std::string want = swabbed(data);
    const std::string got = read_file(out);
    EXPECT_EQ(got.size(), 998u);
    EXPECT_TRUE(got == want.substr(0, got.size())) << "a byte of the stopped output is wrong";

    proc_result r = run_kxdd({"if=" + in, "of=" + out, "bs=999", "conv=swab,resume"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out) == want);
}

// A file copy whose read of block 16 (sector 2049) fails, under the
// library's entries of this test.
struct failing_copy {
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string data = random_bytes(4u << 20, 13);

    fi_options injection(const char* err, long stall_ms) {
        write_file(in, data);
        fi_options o;
        o.path = in;
        o.err = err;
        o.ranges = {{1049088, 1049600}};
        o.stall_ms = stall_ms;
        return o;
    }
};

// A walk that would try the bad sector 100000 times (20 ms each) ends at
// the stop request: exit 8 with the 16 blocks read before it in the output.
void stop_a_walk(const std::vector<std::string>& ops, const std::string& records_out) {
    failing_copy f;
    fi_env_guard env(f.injection("EIO", 20));
    std::vector<std::string> args{"if=" + f.in, "of=" + f.out, "conv=bad_read", "bad_retry_count=100000"};
    args.insert(args.end(), ops.begin(), ops.end());
    live_proc p(kxdd_argv(args), {});
    ASSERT_TRUE(p.wait_until([&] { return contains(p.err(), "read s_offset=2049 "); }, k_wait_ms)) << p.err();
    p.send(SIGINT);
    EXPECT_EQ(p.finish(), 8) << clean_err(p.err());
    std::string got = read_file(f.out);
    EXPECT_TRUE(got == f.data.substr(0, 1048576)) << got.size();
    EXPECT_TRUE(contains(clean_err(p.err()), "16+0 records in\n" + records_out + " records out\n1048576 bytes ("))
        << p.err();
}

TEST(KxddSignals, SigintStopsABadSectorWalk) { stop_a_walk({"bs=64K"}, "16+0"); }

// The same with output blocks of 24 KiB: the 16 KiB waiting in the output
// block are written before the run ends, as after a stop seen between
// blocks.
TEST(KxddSignals, SigintInABadSectorWalkWritesThePendingOutputBlock) {
    stop_a_walk({"ibs=64K", "obs=24K"}, "42+1");
}

// SIGINT while the worker waits 30 s before a re-open: the wait ends
// within a second, the source is not read again, and the run ends with 8
// wherever the stop landed.
TEST(KxddSignals, SigintCutsTheRetryWaitShort) {
    failing_copy f;
    fi_env_guard env(f.injection("ENODATA", 0));
    live_proc p(kxdd_argv({"if=" + f.in, "of=" + f.out, "bs=64K", "retry_open=3", "retry_delay_seconds=30"}), {});
    ASSERT_TRUE(p.wait_until([&] { return contains(p.err(), "errno=-304"); }, k_wait_ms)) << p.err();
    p.send(SIGINT);
    EXPECT_TRUE(p.wait_until([&] { return p.ended(); }, 10000)) << "still waiting 10 s after SIGINT";
    int status = p.finish();
    EXPECT_EQ(status, 8) << "\n" << p.err();
    std::string err = clean_err(p.err());
    EXPECT_EQ(count_of(err, "errno=-304"), 1u) << err;
    EXPECT_TRUE(contains(err, "16+0 records in\n16+0 records out\n")) << err;
}

// A source whose every read takes a second and gives at most 64 KiB: a step
// of 64 MiB would take over a thousand reads. The library notes each read
// as it begins, so SIGINT comes once the run is demonstrably reading.
struct stalling_source {
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string mark = dir.file("mark");
    static constexpr long long k_size = 64ll << 20;

    explicit stalling_source(bool with_output) {
        // Sparse: big without costing the disk anything.
        write_file(in, "");
        EXPECT_EQ(truncate(in.c_str(), k_size), 0);
        if (with_output) {
            write_file(out, "");
            EXPECT_EQ(truncate(out.c_str(), k_size), 0);
        }
    }

    fi_options injection(long stall_ms) const {
        fi_options o;
        o.path = in;
        o.stall_ms = stall_ms;
        o.short_max = 65536;
        o.mark = mark;
        return o;
    }

    struct stopped {
        double secs;         // from the signal to the end; -1: still running after the limit
        int status;
        long reads_after;    // reads of the source begun after the signal
        long threads;        // threads of the process when the signal went
    };

    // Runs kxdd and sends SIGINT once a read of the source has begun.
    stopped stop_while_reading(const std::vector<std::string>& ops, long stall_ms, int limit_s) {
        fi_env_guard env(injection(stall_ms));
        std::vector<std::string> args{"if=" + in, "of=" + out};
        args.insert(args.end(), ops.begin(), ops.end());
        live_proc p(kxdd_argv(args), {});
        EXPECT_TRUE(p.wait_until([&] { return file_size(mark) > 0; }, k_wait_ms)) << p.err();
        long threads = 0;
        const std::string tasks = "/proc/" + std::to_string(p.pid()) + "/task";
        for ([[maybe_unused]] const auto& t : std::filesystem::directory_iterator(tasks)) ++threads;
        // Every read begun so far stalls for stall_ms: the signal lands
        // before any of them ends.
        const long before = static_cast<long>(file_size(mark));
        p.send(SIGINT);
        auto t0 = std::chrono::steady_clock::now();
        bool ended = p.wait_until([&] { return p.ended(); }, limit_s * 1000);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        int status = p.finish(1000);
        if (!ended) ADD_FAILURE() << "still running " << limit_s << " s after SIGINT\n" << clean_err(p.err());
        return {ended ? secs : -1, status, static_cast<long>(file_size(mark)) - before, threads};
    }
};

// A stop ends every mode within about one read of the source, whatever the
// step: the hash and byte-count jobs and the compare's and sync's digest
// tasks look at the stop request before each read.
TEST(KxddStop, EveryModeEndsWithinAboutOneRead) {
    struct stop_case {
        const char* name;
        std::vector<std::string> ops;
        bool output;  // the mode needs an existing output
    };
    const stop_case cases[] = {
        {"copy", {"bs=64K"}, false},
        {"hash", {"hash_mode=md5", "bs=64K", "bs_count=1024"}, false},
        // The pool's threads read the file's runs themselves.
        {"per-block hash", {"hash_mode=pxxh3,psha256", "bs=64K", "bs_count=1024"}, false},
        {"byte count", {"bcount_mode=1", "bs=64K", "bs_count=1024"}, false},
        {"compare by digests", {"diff_mode=byte", "bs=64K", "bs_count=1024"}, true},
        {"compare byte for byte", {"diff_mode=bin", "bs=64K"}, true},
        {"sync", {"sync_mode=1", "bs=64K", "bs_count=1024"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stalling_source src(c.output);
        const auto r = src.stop_while_reading(c.ops, 1000, 20);
        EXPECT_EQ(r.status, 8);
        EXPECT_GE(r.secs, 0.0);
        // A reader that had passed its look at the stop finishes that one
        // read; none begins another.
        EXPECT_LE(r.reads_after, r.threads);
    }
}

// A read that does not come back for minutes: the process does not wait for
// it. After a bounded wait it reports the worker left behind and exits with
// the status of the stop.
TEST(KxddStop, AReadThatDoesNotReturnDoesNotHoldTheExit) {
    stalling_source src(false);
    const auto r = src.stop_while_reading({"bs=64K"}, 300000, 30);
    EXPECT_EQ(r.status, 8);
    EXPECT_GE(r.secs, 0.0);
}

// The per-block digests' pool threads read the file themselves. One whose
// read outlasts the bounded join is left behind: the input device, its
// descriptor and the run's stop request stay in memory and open for it,
// since the read it is in comes back into them and may read again.
TEST(KxddStop, AJobThreadLeftBehindKeepsTheDeviceItReads) {
    stalling_source src(false);
    // Only the reads of the pool's runs in the middle of the file stall,
    // not those of the open.
    fi_options o = src.injection(1500);
    o.ranges = {{32ll << 20, 33ll << 20}};
    fi_env_guard env(o);
    live_proc p(kxdd_argv({"if=" + src.in, "of=" + src.out, "hash_mode=psha256", "bs=64K", "bs_count=1024"}), {});
    ASSERT_TRUE(p.wait_until([&] { return file_size(src.mark) > 0; }, k_wait_ms)) << p.err();
    p.send(SIGINT);
    EXPECT_TRUE(p.wait_until([&] { return p.ended(); }, 30000)) << "still running 30 s after SIGINT";
    EXPECT_EQ(p.finish(1000), 8) << clean_err(p.err());
    std::string err = p.err();
    EXPECT_TRUE(contains(err, "a job thread still reads the device: it stays open")) << err;
    EXPECT_FALSE(contains(err, "AddressSanitizer")) << err;
}

// A copy made slow by the library: 16 blocks of 256 KiB, every read of a
// stalled block held back for 200 ms. A block of this size is one read of
// the input however the input is read (alone or ahead of the writes), so
// every stalled block costs its 200 ms.
constexpr size_t k_slow_block = 256u << 10;

struct slow_copy {
    temp_dir dir;
    std::string in = dir.file("in");
    std::string out = dir.file("out");
    std::string data;

    proc_result run(size_t stalled_blocks, const std::vector<std::string>& ops) {
        data = random_bytes(16 * k_slow_block, 12);
        write_file(in, data);
        fi_options o;
        o.path = in;
        o.ranges = {{k_slow_block, k_slow_block * (1 + stalled_blocks)}};
        o.stall_ms = 200;
        std::vector<std::string> args{"if=" + in, "of=" + out, "bs=256K"};
        args.insert(args.end(), ops.begin(), ops.end());
        fi_env_guard env(o);
        return run_kxdd(args);
    }
};

// 15 reads of at least 200 ms each: the progress line is offered after every
// block and printed when a second has passed since the last one, so at least
// two lines appear; the last one is ended by a line break before the summary.
TEST(KxddProgress, SlowCopyShowsProgressLinesThenTheSummary) {
    slow_copy s;
    proc_result r = s.run(15, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(s.out) == s.data);
    std::vector<std::string> lines = progress_lines(r.err);
    EXPECT_GE(lines.size(), 2u) << r.err;
    static const std::regex re(R"(^(\d+) bytes \([^)]*\), [^,]+, [^,]*, (\d+)%$)");
    int last_pct = -1;
    long long last_bytes = -1;
    for (const std::string& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, re)) << "[" << l << "]";
        long long bytes = std::stoll(m[1]);
        int pct = std::stoi(m[2]);
        EXPECT_EQ(bytes % static_cast<long long>(k_slow_block), 0);
        EXPECT_EQ(pct, static_cast<int>(bytes / static_cast<long long>(k_slow_block) * 100 / 16)) << l;
        EXPECT_GE(pct, last_pct);
        EXPECT_GT(bytes, last_bytes);
        last_pct = pct;
        last_bytes = bytes;
    }
    size_t cr = r.err.rfind('\r');
    ASSERT_NE(cr, std::string::npos);
    size_t nl = r.err.find('\n', cr);
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(r.err.substr(nl + 1, 16), "16+0 records in\n") << "the summary starts on a line of its own";
    EXPECT_TRUE(contains(clean_err(r.err), "16+0 records in\n16+0 records out\n4194304 bytes (4.0M) copied, "))
        << r.err;
}

// Long enough (8 reads of 200 ms) that a progress line would be printed.
TEST(KxddProgress, NoxferHidesProgressButNotTheSummary) {
    slow_copy s;
    proc_result r = s.run(8, {"status=noxfer"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), "16+0 records in\n16+0 records out\n4194304 bytes (4.0M) copied, "))
        << r.err;
}

TEST(KxddProgress, NoneHidesProgressAndSummary) {
    slow_copy s;
    proc_result r = s.run(8, {"status=none"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(s.out) == s.data);
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    std::string err = clean_err(r.err);
    EXPECT_FALSE(contains(err, "records in")) << err;
    EXPECT_FALSE(contains(err, " copied, ")) << err;
}

}  // namespace
