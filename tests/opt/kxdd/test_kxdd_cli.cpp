// The built kxdd binary: argv -> exit status and what it prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/proc.h"

namespace {

struct cli_case {
    std::vector<std::string> args;
    int status;
    const char* first_stderr_re;  // regular expression for the first line of standard error, or nullptr
};

TEST(KxddCli, VersionOnStandardOutput) {
    proc_result r = run_kxdd({"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.7.2.0\n");
    EXPECT_EQ(r.err, "");
}

TEST(KxddCli, UsageTextIsExact) {
    proc_result r = run_kxdd({"nokey"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string err = r.err;
    size_t lines = 0;
    for (char ch : err) lines += ch == '\n';
    EXPECT_EQ(lines, 55u);
    EXPECT_EQ(err.substr(0, err.find('\n')), "kxdd v1.7.2.0 (2024-2-29) [little] - convert and copy a file [staic]");
    EXPECT_NE(err.find("\tcount=N     copy only N input blocksn\n"), std::string::npos);
    EXPECT_NE(err.find("\tbs_count=[1-4096] The number of hash blocks is cal each time\n"), std::string::npos);
    EXPECT_NE(err.find("\tdiff_max_count=[1-8192] Record the maximum number of different positions\n"), std::string::npos);
    EXPECT_NE(err.find("\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n\n\nmay be suffixed by b(512), "
                       "kB(1000), k(1024), MB(1000000), M, GB, G, TB, T\n"),
              std::string::npos);
}

TEST(KxddCli, ExitStatusAndFirstLine) {
    const cli_case cases[] = {
        {{"-v", "if=x"}, 1, "^kxdd v1\\.7\\.2\\.0 "},
        {{"x"}, 1, "^kxdd v1\\.7\\.2\\.0 "},
        {{"bogus=1"}, 1, "^kxdd v1\\.7\\.2\\.0 "},
        {{"conv=notrunc,,sync"}, 1, "error: invalid arg \\[\\] in \\[conv\\]$"},
        {{"oflag=sparse"}, 1, "error: invalid arg \\[sparse\\] in \\[oflag\\]$"},
        {{"hash_mode=foo"}, 1, "^kxdd v1\\.7\\.2\\.0 "},
        {{"cool_down=5"}, 1, "^kxdd v1\\.7\\.2\\.0 "},
        {{"seek=1KiB"}, 1, "error: invalid value \\[1KiB\\] in \\[seek\\]$"},
        {{"bs=3G"}, 1, "ibs=3221225472 error range: \\[1-2147483647\\]$"},
        {{"clear_mode=1ff"}, 1, "error: invalid value \\[1ff\\] in \\[clear_mode\\]$"},
        {{"level=bogus", "x"}, 1, "^error: invalid level \\[bogus\\]$"},
    };
    for (const auto& c : cases) {
        proc_result r = run_kxdd(c.args);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, "");
        if (c.first_stderr_re) {
            EXPECT_TRUE(testing::internal::RE::PartialMatch(first_line(r.err), testing::internal::RE(c.first_stderr_re)))
                << first_line(r.err);
        }
    }
}

TEST(KxddCli, CritLineCarriesTimeThreadAndFunctionPrefixes) {
    proc_result r = run_kxdd({"conv=bogus"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        first_line(r.err), testing::internal::RE("[0-9]{2}:[0-9]{2}:[0-9]{2} \\[[0-9]+\\] [a-z_]+\\(\\): error: invalid arg \\[bogus\\] in \\[conv\\]")))
        << r.err;
    // crit lines are coloured bold reverse red and reset after the line break
    EXPECT_EQ(r.err.rfind("\033[01;07;31m", 0), 0u);
    EXPECT_NE(r.err.find("\n\033[0m"), std::string::npos);
}

}  // namespace
