// kxdd writing into one partition of an image: nothing outside it changes.
#include <iostream>
#include <string>

#include "part_test_util.h"

namespace part_test {
namespace {

constexpr uint64_t k_p2_start = 4096;
constexpr uint64_t k_p2_size = 1001;  // not a multiple of any block size used below

class PartKxdd : public PartTest {
protected:
    void SetUp() override {
        PartTest::SetUp();
        std::string sfdisk = find_tool("sfdisk");
        if (sfdisk.empty()) GTEST_SKIP() << "sfdisk is not installed";
        img = dir.file("d.img");
        write_file(img, sector_data(8192));
        proc_result r =
            run_proc({sfdisk, "-q", img}, "label: dos\nstart=2048,size=2048,type=83\nstart=4096,size=1001,type=83\n");
        ASSERT_EQ(r.status, 0) << r.err;
        before = read_file(img);
    }
    // The image outside partition 2 is as before.
    void expect_outside_unchanged(const std::string& after) const {
        ASSERT_EQ(after.size(), before.size());
        size_t a = k_p2_start * k_sector, b = (k_p2_start + k_p2_size) * k_sector;
        EXPECT_TRUE(after.compare(0, a, before, 0, a) == 0) << "bytes before the partition changed";
        EXPECT_TRUE(after.compare(b, std::string::npos, before, b, std::string::npos) == 0)
            << "bytes after the partition changed";
    }
    std::string inside(const std::string& d) const { return d.substr(k_p2_start * k_sector, k_p2_size * k_sector); }
    std::string img;
    std::string before;
};

TEST_F(PartKxdd, RandomDataFillsOnlyThePartition) {
    struct row {
        std::vector<std::string> args;
        bool fills;  // the whole partition is written
    };
    const row rows[] = {
        // More blocks than the partition holds: the copy stops at its end.
        {{"bs=4096", "count=200"}, true},
        // Output blocks re-cut from smaller input blocks: the block that would
        // cross the end is refused whole.
        {{"ibs=512", "obs=4096", "count=2000"}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[0]);
        write_file(img, before);
        std::vector<std::string> args{"if=/dev/urandom", "of=" + img + "?vol_idx=2"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        proc_result res = run_kxdd(args);
        EXPECT_NE(res.status, 0) << res.err;  // the count asked for was not copied
        std::string after = read_file(img);
        expect_outside_unchanged(after);
        std::string was = inside(before), now = inside(after);
        size_t written = r.fills ? now.size() : 125 * 4096;
        EXPECT_NE(now.substr(0, k_sector), was.substr(0, k_sector));
        EXPECT_NE(now.substr(written - k_sector, k_sector), was.substr(written - k_sector, k_sector));
        EXPECT_EQ(now.substr(written), was.substr(written));
        if (!r.fills) {
            EXPECT_NE(res.err.find("crosses the end of the volume"), std::string::npos) << res.err;
        }
    }
}

TEST_F(PartKxdd, SeekInsideThePartitionTruncatesNothing) {
    std::string src = dir.file("src");
    write_file(src, std::string(5 * k_sector, 'S'));
    proc_result res = run_kxdd({"if=" + src, "of=" + img + "?vol_idx=2", "bs=512", "seek=10"});
    ASSERT_EQ(res.status, 0) << res.err;
    std::string after = read_file(img);
    expect_outside_unchanged(after);
    std::string expect = inside(before);
    expect.replace(10 * k_sector, 5 * k_sector, 5 * k_sector, 'S');
    EXPECT_TRUE(inside(after) == expect);
}

TEST_F(PartKxdd, ReadingAPartitionEqualsDdCut) {
    std::string out = dir.file("p2");
    proc_result res = run_kxdd({"if=" + img + "?vol_idx=2", "of=" + out, "bs=4096"});
    ASSERT_EQ(res.status, 0) << res.err;
    proc_result cut = run_proc({"dd", "if=" + img, "bs=512", "skip=" + std::to_string(k_p2_start),
                                "count=" + std::to_string(k_p2_size), "status=none"});
    ASSERT_EQ(cut.status, 0);
    EXPECT_EQ(cut.out.size(), k_p2_size * k_sector);
    EXPECT_TRUE(read_file(out) == cut.out);
}

// A count past the end of a fixed-size output: the run fails saying the
// output is full, after filling it. The outputs: a partition of the image
// and, where the system lets us attach one, a loop device.
TEST_F(PartKxdd, CountPastAFullOutputSaysItIsFull) {
    std::string src = dir.file("src");
    write_file(src, std::string(4 * 1024 * 1024, 'F'));
    std::vector<std::string> outs{img + "?vol_idx=2"};
    std::string loop_file = dir.file("loop.img");
    std::string loop_dev;
    std::string losetup = find_tool("losetup");
    if (!losetup.empty()) {
        write_file(loop_file, std::string(1024 * 1024, '\0'));
        proc_result l = run_proc({losetup, "-f", "--show", loop_file});
        if (l.status == 0 && !l.out.empty()) loop_dev = l.out.substr(0, l.out.find('\n'));
    }
    if (!loop_dev.empty()) outs.push_back(loop_dev);
    for (const std::string& out : outs) {
        SCOPED_TRACE(out);
        proc_result res = run_kxdd({"if=" + src, "of=" + out, "bs=4096", "count=300"});
        EXPECT_EQ(res.status, 1) << res.err;
        EXPECT_NE(res.err.find("Disk is full."), std::string::npos) << res.err;
        EXPECT_EQ(res.err.find("Unread completed"), std::string::npos) << res.err;
    }
    if (!loop_dev.empty()) {
        run_proc({losetup, "-d", loop_dev});
        std::string data = read_file(loop_file);
        EXPECT_EQ(data, std::string(1024 * 1024, 'F'));
    } else {
        std::cerr << "no loop device could be attached: the partition alone was tested\n";
    }
    std::string after = read_file(img);
    expect_outside_unchanged(after);
    EXPECT_EQ(inside(after), std::string(k_p2_size * k_sector, 'F'));
}

TEST_F(PartKxdd, BadNumberLeavesTheImageAlone) {
    proc_result res = run_kxdd({"if=/dev/zero", "of=" + img + "?vol_idx=3", "count=1"});
    EXPECT_NE(res.status, 0);
    EXPECT_NE(res.err.find("vol_idx=3 valid values: 1-2"), std::string::npos) << res.err;
    EXPECT_TRUE(read_file(img) == before);
}

}  // namespace
}  // namespace part_test
