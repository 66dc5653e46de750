// kxdd with pipes on either side: skipping on an input that cannot seek,
// seeking on an output that cannot, a reader that goes away, and the modes
// that cannot work on a stream at all.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "kxdd_e2e.h"
#include "lib/libblock/img_test_util.h"
#include "support/faultinject.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

struct skip_case {
    const char* name;
    std::vector<std::string> ops;
    size_t skipped;
};

const skip_case k_skip_cases[] = {
    {"blocks", {"bs=1000", "skip=2"}, 2000},
    {"bytes", {"bs=1000", "iflag=skip_bytes", "skip=1500"}, 1500},
    {"more_than_one_block", {"bs=300", "skip=7"}, 2100},
    {"reblocking", {"ibs=700", "obs=300", "skip=3"}, 2100},
    {"past_the_end", {"bs=1000", "skip=9"}, 5000},
};

class KxddPipeSkip : public testing::TestWithParam<skip_case> {};

// "skip" on standard input reads the skipped bytes and drops them.
TEST_P(KxddPipeSkip, SkipsByReading) {
    const skip_case& c = GetParam();
    temp_dir dir;
    std::string data = random_bytes(5000, 21);
    std::vector<std::string> args{"of=" + dir.file("out")};
    args.insert(args.end(), c.ops.begin(), c.ops.end());
    proc_result r = run_kxdd(args, data);
    EXPECT_EQ(r.status, 0) << r.err;
    // The output is made even when nothing is left to copy, and the summary counts what was.
    EXPECT_TRUE(exists(dir.file("out")));
    EXPECT_TRUE(read_file(dir.file("out")) == data.substr(c.skipped)) << read_file(dir.file("out")).size();
    const std::string copied = "\n" + std::to_string(data.size() - c.skipped) + " bytes (";
    EXPECT_TRUE(contains("\n" + clean_err(r.err), copied)) << copied << r.err;
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddPipeSkip, testing::ValuesIn(k_skip_cases),
                         [](const testing::TestParamInfo<skip_case>& i) { return std::string(i.param.name); });

// Standard input ends where its writer stops: the copy ends there without a
// warning. A file whose reads find nothing before the size it claims has
// not ended, and that read is still warned about.
TEST(KxddPipes, TheEndOfAStreamIsNoWarning) {
    temp_dir dir;
    const std::string data = random_bytes(3000001, 25);
    const std::string in = dir.file("in"), out = dir.file("out");
    write_file(in, data);
    for (const std::vector<std::string>& ops : {std::vector<std::string>{}, std::vector<std::string>{"bs=64K"}}) {
        SCOPED_TRACE(ops.empty() ? "default blocks" : ops[0]);
        std::vector<std::string> args{"of=" + out};
        args.insert(args.end(), ops.begin(), ops.end());
        proc_result r = run_kxdd_err_file(dir.path, args, data);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(out) == data);
        const std::string err = clean_err(r.err);
        EXPECT_TRUE(contains(err, "3000001 bytes (")) << err;
        EXPECT_FALSE(contains(err, "ret=0 error")) << err;
    }

    fi_options o;
    o.path = in;
    o.data_end = 1000000;
    fi_env_guard env(o);
    proc_result r = run_kxdd_err_file(dir.path, {"if=" + in, "of=" + out, "bs=64K"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(clean_err(r.err), " rlen=65536 ret=0 error\n")) << r.err;
}

// "seek" on standard output cannot be done: like GNU dd, exit 1 before
// anything is written.
TEST(KxddPipes, SeekOnAPipeOutputFails) {
    const bool gnu_dd = have_gnu_dd();
    temp_dir dir;
    std::string in = dir.file("in");
    write_file(in, random_bytes(5000, 22));
    for (const std::vector<std::string>& ops :
         {std::vector<std::string>{"bs=1000", "seek=2"}, std::vector<std::string>{"oflag=seek_bytes", "seek=1"}}) {
        std::vector<std::string> args{"if=" + in};
        args.insert(args.end(), ops.begin(), ops.end());
        proc_result r = run_kxdd(args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, "");
        std::string err = clean_err(r.err);
        EXPECT_TRUE(contains(err, "error: Trying to seek on device.\n")) << err;
        EXPECT_FALSE(contains(err, "records in")) << err;

        if (!gnu_dd) continue;
        std::vector<std::string> dd{"dd", "if=" + in};
        dd.insert(dd.end(), ops.begin(), ops.end());
        proc_result d = run_proc(dd);
        EXPECT_EQ(d.status, 1) << d.err;
        EXPECT_EQ(d.out, "");
    }
    // Without GNU dd only kxdd's side was checked.
    IMG_REQUIRE(gnu_dd, std::string("GNU dd"));
}

// The reader of the output pipe takes one byte and goes away: the next
// write fails with a broken pipe, which stops the copy with exit 8.
TEST(KxddPipes, ClosedOutputPipeStopsWithExit8) {
    temp_dir dir;
    std::string in = dir.file("in");
    write_file(in, random_bytes(8u << 20, 23));
    for (const char* status : {"status=noxfer", "status=none"}) {
        live_proc p(kxdd_argv({"if=" + in, "bs=64K", status}), {.pipe_out = true});
        std::string head = p.read_out(1, 60000);
        ASSERT_EQ(head.size(), 1u) << p.err();
        p.close_out();
        EXPECT_EQ(p.finish(), 8) << p.err();
        std::string err = clean_err(p.err());
        EXPECT_TRUE(contains(err, "eno=-301 error: ")) << err;
        EXPECT_EQ(contains(err, "records in"), std::string(status) == "status=noxfer") << err;
    }
}

// Compare and sync read both sides at offsets of their own, again and again:
// a stream on either side is refused before anything is read or written,
// with exit 1 and a message naming the side, never an internal check's text.
TEST(KxddPipes, CompareAndSyncRefuseAStreamOnEitherSide) {
    struct stream_case {
        const char* name;
        std::vector<std::string> ops;
        bool stream_in;  // else the output is standard output
        const char* message;
    };
    const stream_case cases[] = {
        {"sync, input", {"sync_mode=1"}, true, "[if] is a stream: sync_mode needs"},
        {"compare by digests, input", {"diff_mode=byte"}, true, "[if] is a stream: diff_mode needs"},
        {"compare byte for byte, input", {"diff_mode=bin"}, true, "[if] is a stream: diff_mode needs"},
        {"sync, output", {"sync_mode=1"}, false, "[of] is a stream: sync_mode needs"},
        {"compare by digests, output", {"diff_mode=byte"}, false, "[of] is a stream: diff_mode needs"},
        {"compare byte for byte, output", {"diff_mode=bin"}, false, "[of] is a stream: diff_mode needs"},
    };
    temp_dir dir;
    std::string data = random_bytes(10u << 20, 24);
    std::string file = dir.file("file");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, data);
        // Bounded, so that a run that waits or retries fails instead of hanging.
        std::vector<std::string> args{"timeout", "60", kxdd_bin(), c.stream_in ? "of=" + file : "if=" + file};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result r = run_proc(args, c.stream_in ? data : std::string());
        EXPECT_EQ(r.status, 1) << r.err;
        std::string err = clean_err(r.err);
        EXPECT_TRUE(contains(err, std::string(c.message) + " an input and an output it can read at any offset\n"))
            << err;
        EXPECT_FALSE(contains(err, "assert failed")) << err;
        EXPECT_FALSE(contains(err, "diff_same=")) << err;
        EXPECT_FALSE(contains(err, "Check ")) << err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(read_file(file) == data) << "the file was changed";
    }
}

}  // namespace
