// Wiping an output with a fixed byte or random bytes ("clear_mode").
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "kxdd_e2e.h"
#include "support/proc.h"

namespace {

using kxdd_e2e::clean_err;
using kxdd_e2e::random_bytes;

struct wipe_case {
    const char* name;
    size_t size;
    std::vector<std::string> ops;
    size_t from;  // first byte wiped
    size_t to;    // end of the wiped bytes
    int value;    // the fill byte, or -1 for random
    const char* bytes_line;
};

TEST(KxddWipe, Table) {
    const wipe_case cases[] = {
        {"whole file", 5u << 20, {"clear_mode=ab", "bs=2M"}, 0, 5u << 20, 0xab, "5242880 bytes (5.0M) clear"},
        {"zeros, odd size", 100001, {"clear_mode=0", "bs=4096"}, 0, 100001, 0, "100001 bytes"},
        {"random", 300000, {"clear_mode=100", "bs=64K"}, 0, 300000, -1, "300000 bytes"},
        {"count limits the steps", 100000, {"clear_mode=ff", "bs=1000", "count=3"}, 0, 3000, 0xff, "3000 bytes"},
        {"blocks per step", 100000, {"clear_mode=11", "bs=1000", "bs_count=3", "count=2"}, 0, 6000, 0x11, "6000 bytes"},
        {"seek in steps", 100000, {"clear_mode=22", "bs=1000", "seek=2", "count=1"}, 2000, 3000, 0x22, "1000 bytes"},
        {"seek in bytes", 100000, {"clear_mode=33", "bs=1000", "oflag=seek_bytes", "seek=10", "count=1"}, 10, 1010, 0x33,
         "1000 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        std::string data = random_bytes(c.size, 21);
        write_file(dir.file("out"), data);
        std::vector<std::string> args{"of=" + dir.file("out")};
        args.insert(args.end(), c.ops.begin(), c.ops.end());
        proc_result p = run_kxdd(args);
        ASSERT_EQ(p.status, 0) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_NE(err.find(c.bytes_line), std::string::npos) << err;
        EXPECT_NE(err.find("out type=[file]"), std::string::npos) << err;
        EXPECT_EQ(err.find("in type="), std::string::npos) << err;
        EXPECT_EQ(err.find("records in"), std::string::npos) << err;
        std::string after = read_file(dir.file("out"));
        ASSERT_EQ(after.size(), c.size);
        EXPECT_TRUE(after.substr(0, c.from) == data.substr(0, c.from));
        EXPECT_TRUE(after.substr(c.to) == data.substr(c.to));
        std::string wiped = after.substr(c.from, c.to - c.from);
        if (c.value >= 0) {
            EXPECT_TRUE(wiped == std::string(wiped.size(), static_cast<char>(c.value)));
        } else {
            std::set<char> seen(wiped.begin(), wiped.end());
            EXPECT_GT(seen.size(), 200u);
            EXPECT_FALSE(wiped == data.substr(c.from, c.to - c.from));
        }
    }
}

TEST(KxddWipe, MissingOutputIsNotCreated) {
    temp_dir dir;
    proc_result p = run_kxdd({"of=" + dir.file("missing"), "clear_mode=0"});
    EXPECT_EQ(p.status, 1) << p.err;
    EXPECT_NE(clean_err(p.err).find("open [" + dir.file("missing") + "] error: No such file or directory\n"),
              std::string::npos)
        << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(KxddWipe, EmptyFileDoesNotGrow) {
    temp_dir dir;
    write_file(dir.file("empty"), "");
    proc_result p = run_kxdd({"of=" + dir.file("empty"), "clear_mode=0"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(read_file(dir.file("empty")).size(), 0u);
    EXPECT_NE(clean_err(p.err).find("nothing to wipe"), std::string::npos) << p.err;
}

TEST(KxddWipe, StatusDigestsAreNotPrintedForAWipe) {
    temp_dir dir;
    write_file(dir.file("out"), random_bytes(5000, 22));
    proc_result p = run_kxdd({"of=" + dir.file("out"), "clear_mode=1", "status=md5"});
    EXPECT_EQ(p.status, 0) << p.err;
    // The wipe ran and said so, without a digest.
    EXPECT_TRUE(read_file(dir.file("out")) == std::string(5000, '\x01'));
    EXPECT_NE(clean_err(p.err).find("\n5000 bytes ("), std::string::npos) << p.err;
    EXPECT_EQ(clean_err(p.err).find("MD5:"), std::string::npos) << p.err;
}

TEST(KxddWipe, LoopDeviceOfFixedSize) {
    temp_dir dir;
    std::string backing = dir.file("disk.img");
    write_file(backing, random_bytes(5u << 20, 23));
    proc_result a = run_proc({"losetup", "-f", "--show", backing});
    if (a.status != 0) GTEST_SKIP() << "no loop device can be attached here";
    std::string loop = a.out.substr(0, a.out.find('\n'));
    proc_result p = run_kxdd({"of=" + loop, "clear_mode=5a", "bs=2M"});
    run_proc({"losetup", "-d", loop});
    ASSERT_EQ(p.status, 0) << p.err;
    std::string err = clean_err(p.err);
    EXPECT_NE(err.find("out type=[disk]"), std::string::npos) << err;
    EXPECT_NE(err.find("5242880 bytes"), std::string::npos) << err;
    EXPECT_TRUE(read_file(backing) == std::string(5u << 20, '\x5a'));
}



// The pseudo-files as input or output: what each kind can do works (a wipe
// of "null" discards, "null" reads as empty), what it cannot do fails as
// unsupported; no failed internal check ever reaches the user.
TEST(KxddWipe, PseudoFilesAsInputAndOutput) {
    struct row {
        const char* name;
        std::vector<std::string> args;  // "@" stands for a file of the test
        int status;
        const char* says;
    };
    const row rows[] = {
        {"wipe null", {"of=/dev/null", "clear_mode=00", "bs=4096", "count=2"}, 0, "8192 bytes (8.0K) clear"},
        {"random wipe of null", {"of=/dev/null", "clear_mode=100", "bs=4096", "count=1"}, 0, "4096 bytes"},
        {"copy from null", {"if=/dev/null", "of=@"}, 0, "0+0 records in"},
        {"copy to null at an offset", {"if=/dev/zero", "of=/dev/null", "bs=4096", "count=2", "seek=5"}, 0,
         "2+0 records out"},
        {"copy from random at an offset", {"if=/dev/random", "of=@", "bs=4096", "count=2", "skip=3"}, 0,
         "2+0 records in"},
        {"wipe zero", {"of=/dev/zero", "clear_mode=00", "bs=4096", "count=2"}, 1, "Operation not supported"},
        {"copy to zero", {"if=/dev/zero", "of=/dev/zero", "bs=4096", "count=1"}, 1, "Operation not supported"},
        {"copy from stdout", {"if=/dev/stdout", "of=@"}, 3, "Operation not supported"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir dir;
        std::vector<std::string> args;
        for (const std::string& a : r.args) args.push_back(a.back() == '@' ? a.substr(0, a.size() - 1) + dir.file("f") : a);
        proc_result p = run_kxdd(args);
        EXPECT_EQ(p.status, r.status) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_NE(err.find(r.says), std::string::npos) << err;
        EXPECT_EQ(err.find("assert failed"), std::string::npos) << err;
    }
}
}  // namespace
