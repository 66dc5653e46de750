// The built kxdd binary: argv -> exit status and what it prints.
#include <gtest/gtest.h>
#include <unistd.h>

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
    // Every line, typos included: scripts and users compare against it.
    const std::string expected =
        "kxdd v1.7.2.0 (2024-2-29) [little] - convert and copy a file [staic]\n"
        "\n"
        "usage: kxdd [if=FILE] [of=FILE] [ibs=N] [obs=N] [bs=N] [count=N] [skip=N]\n"
        "[seek=N] conv=[notrunc|noerror|sync|fsync|resume]\n"
        "iflag=[skip_bytes|direct|file] oflag=[seek_bytes|direct|file]\n"
        "status=[noxfer|none|md5|sha1] retry=NUM level=[LEVEL]\n"
        "\tbs=BYTES    read and write BYTES bytes at a time\n"
        "\tibs=N       Read N bytes at a time\n"
        "\tobs=N       Write N bytes at a time\n"
        "\tcount=N     copy only N input blocksn\n"
        "\tseek=BLOCKS skip BLOCKS obs-sized blocks at start of output\n"
        "\tskip=BLOCKS skip BLOCKS ibs-sized blocks at start of input\n"
        "\toffset=BLOCKS offset BLOCKS at input and output default is bytes\n"
        "\tif=FILE     read from FILE instead of stdin\n"
        "\tof=FILE     write to FILE instead of stdout\n"
        "\tconv=CONVS  [notrunc,noerror,sync,fsync,swab,resume,]\n"
        "\tconv=notrunc   Don't truncate output file\n"
        "\tconv=noerror   Continue after read errors\n"
        "\tconv=bad_read  Allows damaged sector fills to continue reading\n"
        "\tconv=sync      Pad blocks with zeros\n"
        "\tconv=fsync     Physically write data out before finishing\n"
        "\tconv=swab      Swap every pair of bytes\n"
        "\tconv=resume    Continue writing at the end of the output file\n"
        "\tconv=off_blocks offset=N is in BLOCKS\n"
        "\tconv=cal_one_task [hash bcount] is computed using one thread\n"
        "\tconv=cal_force_local [hash bcount] force local calculation\n"
        "\tiflag=skip_bytes skip=N is in bytes\n"
        "\toflag=seek_bytes seek=N is in bytes\n"
        "\tiflag=direct   use direct I/O for data\n"
        "\tiflag=file Open as a file, otherwise parse as a supported image format\n"
        "\tiflag=vss   use windows shadow copy file\n"
        "\tretry_timeout_minutes=NUM  Retry limit time minutes\n"
        "\tretry_delay_seconds=NUM  Retry delay interval seconds\n"
        "\tbad_fill_str=STR Write Pattern dor damaged source sectors\n"
        "\tbad_skip_sectors=NUM Avoid damaged areas, skip sectors\n"
        "\tbad_retry_count=NUM maximum number of retries for a sector read error\n"
        "\tdisable_os_hibernate=[1|0] Prohibit os hibernate during operation\n"
        "\tdisable_pack_transport=[1|0] disable pack transport\n"
        "\tcool_down=[N-N] specify the duty-cycle for cooling down the device\n"
        "\tbs_count=[1-4096] The number of hash blocks is cal each time\n"
        "\tclear_mode=[00-100] 00-FF [100] clear characters for random\n"
        "\thash_mode=[md5|sha1|sha256|sha512|sm3|xxh3] Calculate hash [+p...]\n"
        "\tbcount_mode=[u8] Calculate the distribution of data\n"
        "\tdiff_mode=[byte|bs|bin] Compare mode\n"
        "\tdiff_max_count=[1-8192] Record the maximum number of different positions\n"
        "\tsync_mode=[auto] Synchronize file data\n"
        "\tstatus=noxfer  Suppress rate output\n"
        "\tstatus=none    Suppress all output\n"
        "\tstatus=md5     output MD5 value of copy data\n"
        "\tproxy_name=[name] kx_proxy.ini proxy_name\n"
        "\tproxy_url=[http|sock4|sock5] set proxy url\n"
        "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n"
        "\n"
        "\n"
        "may be suffixed by b(512), kB(1000), k(1024), MB(1000000), M, GB, G, TB, T\n";
    proc_result r = run_kxdd({"nokey"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
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
    // Standard error is a pipe, not a terminal: no colour (its colours on a
    // terminal are the console tests' business).
    EXPECT_EQ(r.err.find('\033'), std::string::npos) << r.err;
}

}  // namespace

namespace {

// A Linux file name may hold blanks, quotes and backslashes: the copy reads
// and writes exactly the files so named, not cleaned-up versions of them.
TEST(KxddCli, LocalNamesAreTakenAsTheyStand) {
    temp_dir d;
    const std::string names[] = {"back\\slash", " leading blank", "trailing blank ", "'quoted'", "\"dq\""};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string in = d.file("in " + name), out = d.file("out " + name);
        write_file(in, "data of " + name);
        proc_result r = run_kxdd({"if=" + in, "of=" + out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(out), "data of " + name);
    }
    // Nothing was written under a cleaned-up name.
    write_file(d.file("x\\y"), "xy");
    proc_result r = run_kxdd({"if=" + d.file("x\\y"), "of=" + d.file("z\\w")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(d.file("z\\w")), "xy");
    EXPECT_NE(access(d.file("z/w").c_str(), F_OK), 0);
}

}  // namespace
