// The cache-image driver against damaged cache files, failing bases, bad
// projects and names that would make it overwrite its own files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>

#include "kxi_test_util.h"

namespace {

using namespace kxi_test;

using BdKxiHostile = KxiFixture;

TEST_F(BdKxiHostile, DamagedCacheFilesAreRefusedAndLeftAsTheyAre) {
    std::string cache = cache_dir + "/d.cache";
    {
        dev_ptr dev(open(wcache("d.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev);
        ASSERT_EQ(bd_pwrite(dev.get(), std::string(512, '1').data(), 512, MiB), 512);
        ASSERT_EQ(bd_pwrite(dev.get(), std::string(512, '3').data(), 512, 3 * MiB), 512);
    }
    const std::string good = read_file(cache);
    ASSERT_EQ(static_cast<int64_t>(good.size()), k_data_start + 2 * MiB);
    const uint64_t block1 = le64(good, 32);

    struct row {
        const char* what;
        std::function<void(std::string&)> damage;
        int32_t code;
        const char* text;
    };
    const row rows[] = {
        {"bad magic", [](std::string& f) { f[3] = '7'; }, VERR_INVALID_MAGIC, "] invalid magic"},
        {"short header", [](std::string& f) { f.resize(10); }, VERR_INVALID_FILE_HEAD, "] invalid head"},
        {"major version 2", [](std::string& f) { f[4] = 2; }, VERR_INVALID_FILE_HEAD, "] invalid head"},
        {"sector size 0", [](std::string& f) { put_le32(f, 8, 0); }, VERR_INVALID_FILE_HEAD, "] invalid head"},
        {"sector size 100", [](std::string& f) { put_le32(f, 8, 100); }, VERR_INVALID_FILE_HEAD, "] invalid head"},
        {"block size 0", [](std::string& f) { put_le32(f, 12, 0); }, VERR_INVALID_FILE_HEAD, "] invalid head"},
        {"block size not in sectors", [](std::string& f) { put_le32(f, 12, 1000); }, VERR_INVALID_FILE_HEAD,
         "] invalid head"},
        {"block size 2 GiB", [](std::string& f) { put_le32(f, 12, 0x80000000u); }, VERR_INVALID_FILE_HEAD,
         "] invalid head"},
        {"base size differs", [](std::string& f) { put_le64(f, 16, k_base_size - 512); }, -11,
         "] mismatch file_size"},
        {"short table", [](std::string& f) { f.resize(24 + 8); }, VERR_INVALID_FILE_HEAD, "] invalid head_2"},
        {"entry inside the header", [](std::string& f) { put_le64(f, 24, 8); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
        {"entry inside the table", [](std::string& f) { put_le64(f, 24, 40); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
        {"entry past the end", [&](std::string& f) { put_le64(f, 24, f.size()); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
        {"block cut short", [](std::string& f) { f.resize(f.size() - 512); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
        {"entry off the block grid", [&](std::string& f) { put_le64(f, 24, block1 + 512); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
        {"two blocks at one place", [&](std::string& f) { put_le64(f, 24, block1); }, VERR_INVALID_FILE_HEAD,
         "] invalid head_2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::string bad = good;
        r.damage(bad);
        write_file(cache, bad);
        for (uint32_t oflag : {uint32_t{OS_PF_RDONLY}, uint32_t{OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC}}) {
            dev_ptr dev(open(wcache("d.cache"), oflag));
            EXPECT_FALSE(dev);
            EXPECT_EQ(err.code, r.code) << verr_msg(&err);
            EXPECT_NE(std::string(verr_msg(&err)).find("[" + cache + r.text), std::string::npos) << verr_msg(&err);
        }
        EXPECT_TRUE(read_file(cache) == bad) << "a refused cache file was changed";
    }
    EXPECT_TRUE(read_file(base) == base_data);
    // The intact file still opens.
    write_file(cache, good);
    dev_ptr dev(open(wcache("d.cache"), OS_PF_RDONLY));
    EXPECT_TRUE(dev) << verr_msg(&err);
}

TEST_F(BdKxiHostile, BigEndianCacheFileIsReadAndExtendedInItsOwnOrder) {
    // A hand-made "KXI1" file with 64 KiB blocks (49 of them) and block 2 cached.
    const int64_t bs = 0x10000, count = 49, start = 24 + 8 * count;
    std::string f(static_cast<size_t>(start), '\0');
    const unsigned char head[24] = {'K', 'X', 'I', '1', 0, 1, 0, 0, 0, 0, 2, 0, 0, 1, 0, 0,
                                    0, 0, 0, 0, 0, 0x30, 0x06, 0x00};
    f.replace(0, 24, reinterpret_cast<const char*>(head), 24);
    f[24 + 2 * 8 + 6] = static_cast<char>(start >> 8);  // entry 2 = 416, big-endian
    f[24 + 2 * 8 + 7] = static_cast<char>(start);
    std::string cached = random_bytes(bs, 99);
    f += cached;
    std::string cache = cache_dir + "/be.cache";
    ASSERT_EQ(os_mkdirs(cache_dir.c_str()), 0);
    write_file(cache, f);

    std::string model = base_data;
    model.replace(2 * bs, bs, cached);
    {
        dev_ptr dev(open(wcache("be.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(read_dev(dev.get()) == model);
        ASSERT_TRUE(write_at(dev.get(), model, bs - 512, std::string(1024, 'b')));  // blocks 0 and 1
    }
    std::string after = read_file(cache);
    ASSERT_EQ(static_cast<int64_t>(after.size()), start + 3 * bs);
    // Entries 0 and 1 follow block 2 in the file: 416 + 64 KiB and 416 + 128 KiB, big-endian.
    const unsigned char entries[16] = {0, 0, 0, 0, 0, 1, 0x01, 0xa0, 0, 0, 0, 0, 0, 2, 0x01, 0xa0};
    EXPECT_EQ(after.compare(24, 16, std::string(reinterpret_cast<const char*>(entries), 16)), 0);
    dev_ptr dev(open(wcache("be.cache"), OS_PF_RDONLY));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_TRUE(read_dev(dev.get()) == model);
}

TEST_F(BdKxiHostile, FailedBaseReadLeavesNoBlockThatReadsAsZeros) {
    for (const char* value : {"f.cache", "memory"}) {
        SCOPED_TRACE(value);
        std::string model = base_data;
        dev_ptr dev(open(wcache(value), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        // The base loses its tail while the device is open: block 2 cannot be read.
        ASSERT_EQ(truncate(base.c_str(), MiB), 0);
        std::string patch(512, 'f');
        EXPECT_EQ(bd_pwrite(dev.get(), patch.data(), 512, 2 * MiB + 512), -1);
        EXPECT_EQ(bd_errno(dev.get()), -258) << bd_errmsg(dev.get());
        EXPECT_EQ(bd_pwrite(dev.get(), patch.data(), 512, 2 * MiB + 512), -1) << "a second try wrote into a block of zeros";
        if (std::string(value) != "memory") {
            std::string file = read_file(cache_dir + "/f.cache");
            EXPECT_EQ(static_cast<int64_t>(file.size()), k_data_start);
            EXPECT_EQ(le64(file, 24 + 2 * 8), 0u);
        }
        // With the base back, the block reads as the base and takes the write.
        write_file(base, base_data);
        std::string got(MiB, '\0');
        ASSERT_EQ(bd_pread(dev.get(), &got[0], MiB, 2 * MiB), MiB) << bd_errmsg(dev.get());
        EXPECT_TRUE(got == base_data.substr(2 * MiB, MiB)) << "the failed write left a block of zeros";
        ASSERT_TRUE(write_at(dev.get(), model, 2 * MiB + 512, patch)) << bd_errmsg(dev.get());
        EXPECT_TRUE(read_dev(dev.get()) == model);
    }
}

TEST_F(BdKxiHostile, ProjectsThatNameThemselvesAreRefused) {
    std::string self = dir.file("self.kxi");
    ASSERT_EQ(kxi_create_wcache_proj(self.c_str(), self.c_str(), "self.cache"), 0);
    std::string a = dir.file("a.kxi"), b = dir.file("b.kxi");
    ASSERT_EQ(kxi_create_wcache_proj(a.c_str(), "b.kxi", "a.cache"), 0);
    ASSERT_EQ(kxi_create_wcache_proj(b.c_str(), "a.kxi", "b.cache"), 0);
    for (const std::string& p : {self, a}) {
        SCOPED_TRACE(p);
        dev_ptr dev(open(p, OS_PF_RDWR));
        EXPECT_FALSE(dev);
        EXPECT_NE(std::string(verr_msg(&err)).find("cache images nested"), std::string::npos) << verr_msg(&err);
    }
}

TEST_F(BdKxiHostile, BadProjectsAndCachePathsFailCleanly) {
    std::string other = dir.file("other.kxi");
    write_file(other, "[base]\ntype=raw_file\n\n[cache_wfile]\nraw_file=" + base + "\ncache_file=o.cache\n");
    std::string empty_raw = dir.file("noraw.kxi");
    write_file(empty_raw, "[base]\ntype=cache_wfile\n\n[cache_wfile]\ncache_file=o.cache\n");
    ASSERT_EQ(os_mkdirs((cache_dir + "/adir").c_str()), 0);
    struct row {
        std::string name;
        int32_t code;
        std::string text;
    };
    const row rows[] = {
        {other, VERR_INVALID_PARAMETER, "Unsupported type=[raw_file]"},
        {empty_raw, VERR_INVALID_PARAMETER, "raw_file is empty"},
        {dir.file("none.kxi"), 0, "conf_load [" + dir.file("none.kxi") + "] failed"},
        {wcache("adir"), VERR_INVALID_PARAMETER, "cache_file=[" + cache_dir + "/adir] is_dir"},
        {dir.file("nobase.img") + "?wcache=n.cache", 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        dev_ptr dev(open(r.name, OS_PF_RDWR));
        EXPECT_FALSE(dev);
        EXPECT_LT(err.code, 0);
        if (r.code) {
            EXPECT_EQ(err.code, r.code);
        }
        EXPECT_NE(std::string(verr_msg(&err)).find(r.text), std::string::npos) << verr_msg(&err);
    }
    EXPECT_EQ(os_file_exist((cache_dir + "/n.cache").c_str()), -1) << "a cache was made for a base that failed";

    // Without a cache directory a relative cache name has no place.
    unsetenv("KX_CACHE");
    dev_ptr dev(open(wcache("rel.cache"), OS_PF_RDWR));
    EXPECT_FALSE(dev);
    EXPECT_NE(std::string(verr_msg(&err)).find("KX_CACHE"), std::string::npos) << verr_msg(&err);
}

TEST_F(BdKxiHostile, ProjectNeverOverwritesTheCacheOrLandsOutsideItsDirectory) {
    // The project takes the extension of the file name only.
    std::string dotted = dir.file("v1.2/cache/abc");
    {
        dev_ptr dev(open(wcache(dotted), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
    }
    EXPECT_EQ(os_file_exist((dotted + ".kxi").c_str()), 1);
    EXPECT_EQ(os_file_exist(dir.file("v1.kxi").c_str()), -1);

    // A cache file named like a project is not replaced by its project.
    std::string named = dir.file("x.kxi");
    std::string model = base_data;
    {
        dev_ptr dev(open(wcache(named), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), model, 0, std::string(512, 'x')));
    }
    EXPECT_EQ(read_file(named).compare(0, 4, "KXI0"), 0);
    dev_ptr dev(open(wcache(named), OS_PF_RDONLY));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_TRUE(read_dev(dev.get()) == model);
}

}  // namespace
