// Packed blocks passed from one compressed image to another: every run gives
// exactly what the same run gives with pass-through switched off (the same
// unpacked bytes, records and exit status); pass-through is taken only where
// whole image blocks make up the run.
#include <random>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"

namespace {

using namespace kxz_test;

constexpr uint64_t k_sector = 512;
constexpr uint64_t k_block = 64 * 1024;  // block length of the images below

std::string find_tool(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Text and noise in turns, so that records of different lengths follow each other.
std::string disk_data(size_t n) {
    std::string s = marked_data(n);
    std::mt19937 gen(21);
    for (size_t at = 0; at < n; at += 3 * 40000)
        for (size_t i = at; i < std::min(n, at + 40000); ++i) s[i] = static_cast<char>(gen());
    return s;
}

// The "N+M records in" and "N+M records out" lines of a run.
std::vector<std::string> records_lines(const std::string& err) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : strip_ansi(err) + "\n") {
        if (c != '\n' && c != '\r') {
            cur += c;
            continue;
        }
        for (const char* tail : {" records in", " records out"}) {
            std::string t = tail;
            if (cur.size() >= t.size() && cur.compare(cur.size() - t.size(), t.size(), t) == 0) out.push_back(cur);
        }
        cur.clear();
    }
    return out;
}

// File offset of the record of block k of an image written by the tool.
size_t record_at(const std::string& img, size_t k) {
    size_t at = KXZ_HEADER_SIZE;
    for (size_t i = 0; i < k; ++i) {
        uint32_t z = 0;
        memcpy(&z, img.data() + at, 4);
        at += kxz_record_size(z & 0x7fffffffu);
    }
    return at;
}

struct pass_row {
    const char* name;
    const char* in;  // input file and query
    std::vector<std::string> args;
    int status;   // exit status of both runs
    bool passes;  // pass-through is taken
};

class KxzPass : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.file(name); }
    temp_dir dir;
};

TEST_F(KxzPass, EveryRunGivesThePlainCopy) {
    std::string sfdisk = find_tool("sfdisk");
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk is not installed";
    // 8192 sectors; partition 1 holds whole blocks, partition 2 ends inside
    // one, partition 3 starts inside one.
    write_file(path("disk.img"), disk_data(8192 * k_sector));
    proc_result t = run_proc({sfdisk, "-q", path("disk.img")},
                             "label: dos\nstart=2048,size=2048,type=83\nstart=4096,size=1001,type=83\n"
                             "start=5200,size=1000,type=83\n");
    ASSERT_EQ(t.status, 0) << t.err;
    // An image whose last block is short.
    write_file(path("odd.img"), disk_data(5 * k_block + 3333));
    for (const char* name : {"disk", "odd"}) {
        proc_result r = run_kxdd({"if=" + path(std::string(name) + ".img"), "of=" + path(std::string(name) + ".kxz"),
                                  "bs=64k"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // A copy with a block that does not unpack.
    std::string bad = read_file(path("disk.kxz"));
    size_t rec = record_at(bad, 3);
    for (size_t i = 0; i < 64; ++i) bad[rec + 4 + i] = static_cast<char>(0xff);
    write_file(path("bad.kxz"), bad);

    const pass_row rows[] = {
        {"whole image", "disk.kxz", {"bs=64k"}, 0, true},
        {"partition of whole blocks", "disk.kxz?vol_idx=1", {"bs=64k"}, 0, true},
        {"partition ending inside a block", "disk.kxz?vol_idx=2", {"bs=64k"}, 0, false},
        {"partition starting inside a block", "disk.kxz?vol_idx=3", {"bs=64k"}, 0, false},
        {"window not on a block", "disk.kxz?sector_off=1", {"bs=64k"}, 0, false},
        {"window on a block", "disk.kxz?sector_off=256", {"bs=64k"}, 0, true},
        {"partition count inside", "disk.kxz?vol_idx=1", {"bs=64k", "count=3"}, 0, true},
        {"partition count past its end", "disk.kxz?vol_idx=1", {"bs=64k", "count=40"}, 1, true},
        {"partition skip", "disk.kxz?vol_idx=1", {"bs=64k", "skip=5"}, 0, true},
        {"block size other than the image's", "disk.kxz?vol_idx=1", {"bs=1M"}, 0, false},
        {"bs=1000 count=1", "disk.kxz", {"bs=1000", "count=1"}, 0, false},
        {"bs=512K count=3", "disk.kxz", {"bs=512K", "count=3"}, 0, false},
        {"bs=4M count=1", "disk.kxz", {"bs=4M", "count=1"}, 0, false},
        {"bs=1000 skip=1", "disk.kxz", {"bs=1000", "skip=1"}, 0, false},
        {"skip in whole blocks", "disk.kxz", {"bs=64k", "skip=3", "count=4"}, 0, true},
        {"skip bytes off a block", "disk.kxz", {"bs=64k", "iflag=skip_bytes", "skip=1000"}, 0, false},
        {"skip bytes on a block", "disk.kxz", {"bs=64k", "iflag=skip_bytes", "skip=131072"}, 0, true},
        {"ibs and obs differ", "disk.kxz", {"ibs=64k", "obs=32k", "count=3"}, 0, false},
        {"short last block", "odd.kxz", {"bs=64k"}, 0, true},
        {"sync pads the last block", "odd.kxz", {"bs=64k", "conv=sync"}, 0, false},
        {"swab", "odd.kxz", {"bs=64k", "conv=swab"}, 0, false},
        {"digest of the written data", "odd.kxz", {"bs=64k", "status=md5"}, 0, false},
        // A block that does not unpack: zero-filled, or walked sector by sector.
        {"bad block", "bad.kxz", {"bs=64k"}, 0, true},
        {"bad block read again", "bad.kxz", {"bs=64k", "conv=bad_read"}, 0, true},
        {"bad block with a fill text", "bad.kxz", {"bs=64k", "conv=bad_read", "bad_fill_str=BAD"}, 0, true},
        {"bad block ends the run", "bad.kxz", {"bs=64k", "conv=noerror"}, 1, true},
        {"bad block in a window", "bad.kxz?sector_off=128", {"bs=64k", "count=4"}, 0, true},
    };
    int i = 0;
    for (const pass_row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string runs[2][3];  // status, records, unpacked bytes of each run
        for (int plain = 0; plain < 2; ++plain) {
            std::string out = path("out" + std::to_string(i) + (plain ? "p" : "z") + ".kxz");
            std::vector<std::string> args{"if=" + path(row.in), "of=" + out, "level=dbg"};
            args.insert(args.end(), row.args.begin(), row.args.end());
            if (plain) args.push_back("disable_pack_transport=1");
            proc_result r = run_kxdd(args);
            EXPECT_EQ(r.status, row.status) << (plain ? "plain: " : "packed: ") << r.err;
            if (!plain) {
                EXPECT_EQ(r.err.find("pack mode start") != std::string::npos, row.passes) << r.err;
            }
            std::vector<std::string> rec = records_lines(r.err);
            EXPECT_EQ(rec.size(), 2u) << r.err;
            runs[plain][0] = std::to_string(r.status);
            for (const auto& l : rec) runs[plain][1] += l + "\n";
            proc_result back = run_kxdd({"if=" + out, "of=" + out + ".raw"});
            EXPECT_EQ(back.status, 0) << (plain ? "plain: " : "packed: ") << back.err;
            runs[plain][2] = read_file(out + ".raw");
        }
        EXPECT_EQ(runs[0][1], runs[1][1]);
        EXPECT_TRUE(same_bytes(runs[0][2], runs[1][2]));
        ++i;
    }
}

// The packed records of the first n blocks of an image, its header and
// trailer left out; empty when the image holds fewer.
std::string records_of(const std::string& img, size_t n) {
    size_t end = KXZ_HEADER_SIZE;
    for (size_t i = 0; i < n; ++i) {
        uint32_t z = 0;
        if (end + 4 > img.size()) return {};
        memcpy(&z, img.data() + end, 4);
        end += kxz_record_size(z & 0x7fffffffu);
    }
    return end <= img.size() ? img.substr(KXZ_HEADER_SIZE, end - KXZ_HEADER_SIZE) : std::string();
}

// A whole image copied into a new one passes its packed blocks through at its
// own block length whatever bs says, so its records come over as they are,
// also when a copy of whole blocks is resumed (where plain steps of another
// length do not fit the image's blocks); a window, a transform or a digest
// of the written data keeps the plain copy in the steps asked for.
TEST_F(KxzPass, AWholeImagePassesAtItsOwnBlockLength) {
    constexpr size_t k_blocks = 6;  // the last one short
    const std::string data = disk_data(5 * k_block + 3333);
    write_file(path("odd.img"), data);
    proc_result made = run_kxdd({"if=" + path("odd.img"), "of=" + path("odd.kxz"), "bs=64k"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string image = read_file(path("odd.kxz"));
    ASSERT_FALSE(records_of(image, k_blocks).empty());

    struct row {
        const char* name;
        const char* query;
        std::vector<std::string> args;
        bool passes;
        std::vector<std::string> before;  // a first run into the same output
    };
    const row rows[] = {
        {"default bs", "", {}, true, {}},
        {"bs=1M", "", {"bs=1M"}, true, {}},
        {"bs=1000", "", {"bs=1000"}, true, {}},
        {"resumed after whole blocks", "", {"conv=resume"}, true, {"bs=64k", "count=2"}},
        {"count", "", {"bs=1M", "count=1"}, false, {}},
        {"skip", "", {"bs=1000", "skip=1"}, false, {}},
        {"window", "?sector_off=128", {"bs=1M"}, false, {}},
        {"ibs and obs differ", "", {"ibs=1M", "obs=512K"}, false, {}},
        {"sync", "", {"bs=1M", "conv=sync"}, false, {}},
        {"swab", "", {"bs=1M", "conv=swab"}, false, {}},
        {"digest of the written data", "", {"bs=1M", "status=md5"}, false, {}},
    };
    int i = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string runs[2][2];  // status and unpacked bytes of each run
        for (int plain = 0; plain < (r.passes ? 1 : 2); ++plain) {
            const std::string out = path("whole" + std::to_string(i) + (plain ? "p" : "z") + ".kxz");
            const std::string in = "if=" + path("odd.kxz") + r.query;
            if (!r.before.empty()) {
                std::vector<std::string> args{in, "of=" + out};
                args.insert(args.end(), r.before.begin(), r.before.end());
                proc_result b = run_kxdd(args);
                ASSERT_EQ(b.status, 0) << b.err;
            }
            std::vector<std::string> args{in, "of=" + out, "level=dbg"};
            args.insert(args.end(), r.args.begin(), r.args.end());
            if (plain) args.push_back("disable_pack_transport=1");
            proc_result p = run_kxdd(args);
            if (!plain) {
                EXPECT_EQ(p.err.find("pack mode start") != std::string::npos, r.passes) << p.err;
                // Passed through: the input's records, one for one.
                if (r.passes) {
                    EXPECT_TRUE(records_of(read_file(out), k_blocks) == records_of(image, k_blocks));
                }
            }
            runs[plain][0] = std::to_string(p.status);
            proc_result back = run_kxdd({"if=" + out, "of=" + out + ".raw"});
            EXPECT_EQ(back.status, 0) << back.err;
            runs[plain][1] = read_file(out + ".raw");
        }
        if (r.passes) {
            EXPECT_EQ(runs[0][0], "0");
            EXPECT_TRUE(same_bytes(runs[0][1], data));
        } else {
            EXPECT_EQ(runs[0][0], runs[1][0]);
            EXPECT_TRUE(same_bytes(runs[0][1], runs[1][1]));
        }
        ++i;
    }
}

}  // namespace
