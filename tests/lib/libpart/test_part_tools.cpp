// Tables made by the system's partitioning tools: the volumes found, and a
// volume read with kxdd against the same bytes cut out with dd.
#include <string>
#include <vector>

#include "part_test_util.h"

namespace part_test {
namespace {

struct tool_case {
    const char* label;
    const char* tool;
    std::vector<std::string> args;  // after the tool, before the image
    std::string input;              // the tool's standard input
    const char* scheme;
    std::vector<vol_row> vols;  // expected, in order
    bool exact;                 // false: the tool adds entries of its own
};

std::ostream& operator<<(std::ostream& os, const tool_case& c) { return os << c.label; }

const tool_case k_cases[] = {
    {"dos_logical",
     "sfdisk",
     {"-q"},
     "label: dos\nstart=2048,size=4096,type=7\nstart=6144,size=20480,type=5\n"
     "start=8192,size=2048,type=83\nstart=12288,size=3001,type=82\n",
     "MBR",
     {{2048, 4096, "HPFS, NTFS"}, {8192, 2048, "Linux (EXT2fs/xiafs)"}, {12288, 3001, "Linux Swap partition"}},
     true},
    {"gpt_utf8_names",
     "sgdisk",
     {"-o", "-n1:2048:+1M", "-c1:données", "-n2:0:+512K", "-c2:Ω-data"},
     "",
     "GPT",
     {{2048, 2048, "données"}, {4096, 1024, "Ω-data"}},
     true},
    // LBAs of 4096 bytes on a device of 512-byte sectors: the header sits at
    // LBA 8 and every start and size counts 8 times.
    {"gpt_4096_lba",
     "fdisk",
     {"-b", "4096"},
     "g\nn\n1\n256\n+255\nn\n2\n512\n+127\nw\n",
     "GPT",
     {{2048, 2048, ""}, {4096, 1024, ""}},
     true},
    {"mac", "parted", {"-s"}, "", "APPLE", {{1, 63, "Apple"}, {2048, 2048, "p1"}, {4096, 1024, "p2"}}, false},
    {"amiga", "parted", {"-s"}, "", "AMIGA", {{2048, 2048, ""}, {4096, 1024, ""}}, true},
    // The volume header (entry 8) is a volume too; the whole-volume entry is not.
    {"dvh", "parted", {"-s"}, "", "DVH", {{4096, 4096, ""}, {8192, 1024, ""}, {0, 4096, ""}}, true},
};

// parted takes its commands after the image name.
std::vector<std::string> parted_commands(const std::string& label) {
    if (label == "dvh")
        return {"mklabel", "dvh",    "mkpart",  "primary", "ext2",  "4096s",
                "8191s",   "mkpart", "primary", "ext2",    "8192s", "9215s"};
    return {"mklabel", label, "mkpart", "p1", "ext2", "2048s", "4095s", "mkpart", "p2", "ext2", "4096s", "5119s"};
}

class PartTools : public testing::TestWithParam<tool_case> {
protected:
    void SetUp() override { bd_init2(); }
    temp_dir dir;
};

TEST_P(PartTools, VolumesAndExtraction) {
    const tool_case& c = GetParam();
    std::string tool = find_tool(c.tool);
    if (tool.empty()) GTEST_SKIP() << c.tool << " is not installed";
    std::string img = dir.file("disk.img");
    write_file(img, sector_data(32768));
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(img);
    if (std::string(c.tool) == "parted") {
        auto cmds = parted_commands(c.label);
        argv.insert(argv.end(), cmds.begin(), cmds.end());
    }
    proc_result made = run_proc(argv, c.input);
    ASSERT_EQ(made.status, 0) << made.out << made.err;

    listing l = list_of(img);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(l.scheme, c.scheme);
    EXPECT_EQ(l.sector_size, 512u);
    if (c.exact) {
        EXPECT_EQ(l.vols, c.vols);
    } else {
        for (const vol_row& v : c.vols) EXPECT_NE(std::find(l.vols.begin(), l.vols.end(), v), l.vols.end()) << v;
    }

    // Every expected volume read through its number equals dd's cut of the image.
    for (const vol_row& v : c.vols) {
        auto it = std::find(l.vols.begin(), l.vols.end(), v);
        if (it == l.vols.end()) continue;
        int n = static_cast<int>(it - l.vols.begin()) + 1;
        SCOPED_TRACE("vol_idx=" + std::to_string(n));
        std::string out = dir.file("vol" + std::to_string(n));
        proc_result r = run_kxdd({"if=" + img + "?vol_idx=" + std::to_string(n), "of=" + out});
        ASSERT_EQ(r.status, 0) << r.err;
        proc_result cut = run_proc({"dd", "if=" + img, "bs=512", "skip=" + std::to_string(v.start),
                                    "count=" + std::to_string(v.size), "status=none"});
        ASSERT_EQ(cut.status, 0) << cut.err;
        ASSERT_EQ(cut.out.size(), v.size * k_sector);
        EXPECT_TRUE(read_file(out) == cut.out);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, PartTools, testing::ValuesIn(k_cases),
                         [](const testing::TestParamInfo<tool_case>& i) { return std::string(i.param.label); });

}  // namespace
}  // namespace part_test
