// The cache-image driver: writes land in the cache, reads combine cache and
// base, projects reopen a cache, and the base is never written.
#include <gtest/gtest.h>

#include <string>

#include "kxi_test_util.h"
#include "libconf/ini/conf.h"

namespace {

using namespace kxi_test;

using BdKxi = KxiFixture;

TEST_F(BdKxi, FirstWriteCopiesItsBlockAndTheBaseStaysUntouched) {
    std::string model = base_data;
    std::string cache = cache_dir + "/c.cache";
    {
        // The flags the engine opens an output with (truncate included).
        dev_ptr dev(open(wcache("c.cache"), OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_STREQ(bd_drv_name(dev.get()), "kxi");
        bd_dev_info info{};
        ASSERT_EQ(bd_ioctl(dev.get(), GET_DEV_INFO, &info, sizeof info), 0);
        EXPECT_STREQ(info.bd_type, "kxi");
        EXPECT_EQ(info.size_type, static_cast<uint32_t>(BLOCK_SIZE_FIXED));
        EXPECT_EQ(info.size, static_cast<uint64_t>(k_base_size));
        EXPECT_EQ(info.sector_size, 512u);
        // Nothing is on disk before the first write.
        EXPECT_EQ(size_of(cache), 0);

        ASSERT_TRUE(write_at(dev.get(), model, MiB + 1024, std::string(512, '\xab'))) << bd_errmsg(dev.get());
        std::string file = read_file(cache);
        ASSERT_EQ(static_cast<int64_t>(file.size()), k_data_start + MiB);
        const unsigned char head[24] = {'K', 'X', 'I', '0', 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0x10, 0,
                                        0x00, 0x06, 0x30, 0, 0, 0, 0, 0};
        EXPECT_EQ(file.compare(0, 24, std::string(reinterpret_cast<const char*>(head), 24)), 0);
        EXPECT_EQ(le64(file, 24), 0u);
        EXPECT_EQ(le64(file, 32), static_cast<uint64_t>(k_data_start));
        EXPECT_EQ(le64(file, 40), 0u);
        EXPECT_EQ(le64(file, 48), 0u);
        EXPECT_TRUE(file.compare(static_cast<size_t>(k_data_start), MiB, model, MiB, MiB) == 0)
            << "the cached block is not the base's block with the write laid over it";
        EXPECT_TRUE(read_dev(dev.get()) == model);
        EXPECT_EQ(bd_sync(dev.get()), 0);
    }
    EXPECT_TRUE(read_file(base) == base_data) << "the base was written";

    // The project beside the cache names the base by its absolute path.
    std::string proj = cache_dir + "/c.kxi";
    conf_ctx* c = conf_load(proj.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get_string(c, "cache_wfile", "raw_file", ""), base.c_str());
    EXPECT_STREQ(conf_get_string(c, "cache_wfile", "cache_file", ""), "c.cache");
    conf_close(c);

    for (const std::string& again : {proj, wcache("c.cache")}) {
        SCOPED_TRACE(again);
        dev_ptr dev(open(again, OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(read_dev(dev.get()) == model) << "reopening lost or changed the cached data";
    }
    EXPECT_EQ(size_of(cache), k_data_start + MiB);
}

TEST_F(BdKxi, WritesMatchAPlainCopyInFileAndMemoryCaches) {
    struct piece {
        int64_t off;
        int64_t len;
    };
    const piece pieces[] = {
        {0, 512},                   // start of block 0
        {MiB - 512, 1024},          // across blocks 0 and 1
        {2 * MiB, MiB},             // all of block 2
        {3 * MiB, 1536},            // all of the short last block
        {0, 4096},                  // again into a cached block
        {MiB + 4096, 3 * 512},      // inside block 1, cached by the second write
    };
    for (const char* value : {"c.cache", "memory"}) {
        SCOPED_TRACE(value);
        std::string model = base_data;
        {
            dev_ptr dev(open(wcache(value), OS_PF_RDWR));
            ASSERT_TRUE(dev) << verr_msg(&err);
            uint32_t seed = 1;
            for (const auto& p : pieces) {
                std::string data = random_bytes(static_cast<size_t>(p.len), seed++);
                ASSERT_TRUE(write_at(dev.get(), model, p.off, data)) << p.off << ": " << bd_errmsg(dev.get());
                ASSERT_TRUE(read_dev(dev.get()) == model) << "after the write at " << p.off;
            }
        }
        EXPECT_TRUE(read_file(base) == base_data);
        if (std::string(value) == "memory") continue;
        EXPECT_EQ(size_of(cache_dir + "/c.cache"), k_data_start + 4 * MiB);
        dev_ptr dev(open(wcache(value), OS_PF_RDONLY));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(read_dev(dev.get()) == model);
    }
}

TEST_F(BdKxi, MemoryCacheIsSeenByItsDeviceOnlyAndLeavesNoFile) {
    std::string model = base_data;
    {
        dev_ptr dev(open(wcache("memory"), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), model, 3 * MiB, std::string(1024, 'm')));
        EXPECT_TRUE(read_dev(dev.get()) == model);
        EXPECT_EQ(bd_sync(dev.get()), 0);
    }
    dev_ptr dev(open(wcache("memory"), OS_PF_RDWR));
    ASSERT_TRUE(dev);
    EXPECT_TRUE(read_dev(dev.get()) == base_data) << "a memory cache outlived its device";
    EXPECT_EQ(os_file_exist(cache_dir.c_str()), -1) << "a memory cache created files";
    EXPECT_TRUE(read_file(base) == base_data);
}

TEST_F(BdKxi, DefaultCacheIsNamedByTheDeviceNotByTheOpen) {
    char expect[4096];
    ASSERT_EQ(kxi_default_cache_name(base.c_str(), expect, sizeof expect), 0);
    std::string name = expect;
    ASSERT_EQ(name.rfind(cache_dir + "/", 0), 0u) << name;
    std::string model = base_data;
    {
        // An output as the engine opens it: flags and keys it adds.
        dev_ptr dev(open(wcache("", "&fsize=3146240&sector_size=512&flags=rw"), OS_PF_RDWR | OS_PF_CREATE));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), model, 2 * MiB, std::string(512, 'd')));

        bd_cache_name_req req{base.c_str(), expect, sizeof expect};
        ASSERT_EQ(bd_ioctl(dev.get(), BLOCK_GET_CACHE_NAME, &req, sizeof req), 0);
        EXPECT_EQ(name, expect);
        char small[8];
        bd_cache_name_req too_small{base.c_str(), small, sizeof small};
        EXPECT_LT(bd_ioctl(dev.get(), BLOCK_GET_CACHE_NAME, &too_small, sizeof too_small), 0);
    }
    EXPECT_EQ(size_of(name), k_data_start + MiB);
    std::string proj = name.substr(0, name.size() - 6) + ".kxi";
    EXPECT_EQ(os_file_exist(proj.c_str()), 1);
    // The same device read later, plainly or through the project, finds it.
    for (const std::string& again : {wcache(""), proj}) {
        SCOPED_TRACE(again);
        dev_ptr dev(open(again, OS_PF_RDONLY));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(read_dev(dev.get()) == model);
    }
}

TEST_F(BdKxi, CacheOnReadOnlyInAWritableOpen) {
    std::string cache = cache_dir + "/r.cache";
    {
        dev_ptr dev(open(wcache("r.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev);
        ASSERT_EQ(bd_pwrite(dev.get(), base_data.data(), 512, 0), 512);  // block 0 cached
    }
    const int64_t one = k_data_start + MiB;
    struct row {
        const char* query;
        uint32_t oflag;
        long long size_after;
    };
    const row rows[] = {
        {"&wcache_read=0", OS_PF_RDWR, one},
        {"&wcache_read=1", OS_PF_RDONLY, one},  // a read-only open never writes
        {"&wcache_read=1", OS_PF_RDWR, one + MiB},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.query) + (r.oflag == OS_PF_RDONLY ? " read-only" : " rw"));
        dev_ptr dev(open(wcache("r.cache", r.query), r.oflag));
        ASSERT_TRUE(dev) << verr_msg(&err);
        std::string got(4096, '\0');
        ASSERT_EQ(bd_pread(dev.get(), &got[0], 4096, 2 * MiB + 4096), 4096) << bd_errmsg(dev.get());
        EXPECT_EQ(got, base_data.substr(2 * MiB + 4096, 4096));
        EXPECT_EQ(size_of(cache), r.size_after);
    }
    // The block cached by reading holds the base's data.
    std::string file = read_file(cache);
    ASSERT_EQ(le64(file, 24 + 2 * 8), static_cast<uint64_t>(one));
    EXPECT_TRUE(file.compare(static_cast<size_t>(one), MiB, base_data, 2 * MiB, MiB) == 0);
}

TEST_F(BdKxi, ReadOnlyOpensRefuseWrites) {
    {
        dev_ptr dev(open(wcache("w.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev);
        ASSERT_EQ(bd_pwrite(dev.get(), std::string(512, 'w').data(), 512, 0), 512);
    }
    std::string before = read_file(cache_dir + "/w.cache");
    for (const char* value : {"w.cache", "missing.cache", "memory"}) {
        SCOPED_TRACE(value);
        dev_ptr dev(open(wcache(value), OS_PF_RDONLY));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(bd_pwrite(dev.get(), std::string(512, 'x').data(), 512, MiB), -1);
        EXPECT_EQ(bd_errno(dev.get()), VERR_WRITE_PROTECT);
        EXPECT_STREQ(bd_errmsg(dev.get()), "Write protect error.");
        std::string got(512, '\0');
        ASSERT_EQ(bd_pread(dev.get(), &got[0], 512, MiB), 512);
        EXPECT_EQ(got, base_data.substr(MiB, 512));
        EXPECT_EQ(bd_sync(dev.get()), 0);
    }
    EXPECT_TRUE(read_file(cache_dir + "/w.cache") == before);
    EXPECT_EQ(os_file_exist((cache_dir + "/missing.cache").c_str()), -1);
}

TEST_F(BdKxi, SectorRulesAndAFinalPartialSector) {
    // A base whose size is not a whole number of sectors.
    std::string odd = dir.file("odd.img");
    std::string odd_data = random_bytes(1000, 7);
    write_file(odd, odd_data);
    std::string model = odd_data;
    dev_ptr dev(open(odd + "?wcache=memory", OS_PF_RDWR));
    ASSERT_TRUE(dev) << verr_msg(&err);
    ASSERT_EQ(bd_size(dev.get()), 1000);
    struct row {
        int64_t off;
        int64_t len;
        bool ok;
    };
    const row rows[] = {
        {0, 512, true},
        {512, 488, true},  // the final piece ends at the base's end
        {0, 1000, true},
        {100, 512, false},
        {0, 100, false},
    };
    uint32_t seed = 10;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.off) + "+" + std::to_string(r.len));
        std::string buf(static_cast<size_t>(r.len), '\0');
        EXPECT_EQ(bd_pread(dev.get(), &buf[0], r.len, r.off), r.ok ? r.len : -1);
        if (r.ok) {
            EXPECT_EQ(buf, model.substr(static_cast<size_t>(r.off), static_cast<size_t>(r.len)));
            EXPECT_TRUE(write_at(dev.get(), model, r.off, random_bytes(static_cast<size_t>(r.len), seed++)));
        } else {
            EXPECT_EQ(bd_errno(dev.get()), VERR_INVALID_PARAMETER);
            EXPECT_EQ(bd_pwrite(dev.get(), buf.data(), r.len, r.off), -1);
            EXPECT_EQ(bd_errno(dev.get()), VERR_INVALID_PARAMETER);
        }
    }
    std::string all(1000, '\0');
    ASSERT_EQ(bd_pread(dev.get(), &all[0], 1000, 0), 1000);
    EXPECT_EQ(all, model);
    EXPECT_EQ(read_file(odd), odd_data);
}

TEST_F(BdKxi, ProjectsResolveRelativeNamesInTheirDirectory) {
    // A hand-written project one directory below the base, with a base name
    // that needs quoting in the ini file.
    std::string odd_base = dir.file("b a=&;x.img");
    write_file(odd_base, base_data);
    std::string proj = dir.file("proj/p.kxi");
    ASSERT_EQ(kxi_create_wcache_proj(proj.c_str(), "../b a=&;x.img", "sub/p.cache"), 0);
    std::string model = base_data;
    {
        dev_ptr dev(open(proj, OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), model, MiB, std::string(1024, 'p')));
    }
    EXPECT_EQ(size_of(dir.file("proj/sub/p.cache")), k_data_start + MiB);
    EXPECT_TRUE(read_file(odd_base) == base_data);

    // A "wcache" open of that base writes a project that reads back the same.
    {
        dev_ptr dev(open(odd_base + "?wcache=" + dir.file("proj/sub/p.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_TRUE(read_dev(dev.get()) == model);
    }
    conf_ctx* c = conf_load(dir.file("proj/sub/p.kxi").c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(conf_get_string(c, "cache_wfile", "raw_file", ""), odd_base.c_str());
    EXPECT_STREQ(conf_get_string(c, "cache_wfile", "cache_file", ""), "p.cache");
    conf_close(c);
    dev_ptr dev(open(dir.file("proj/sub/p.kxi"), OS_PF_RDONLY));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_TRUE(read_dev(dev.get()) == model);
}

TEST_F(BdKxi, ACacheOverAProjectKeepsBothLowerLayersUnchanged) {
    std::string model = base_data;
    {
        dev_ptr dev(open(wcache("low.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev);
        ASSERT_TRUE(write_at(dev.get(), model, 0, std::string(512, 'L')));
    }
    std::string low = read_file(cache_dir + "/low.cache");
    std::string top = model;
    {
        dev_ptr dev(open(cache_dir + "/low.kxi?wcache=top.cache", OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), top, 0, std::string(512, 'T')));
        ASSERT_TRUE(write_at(dev.get(), top, 2 * MiB, std::string(512, 'T')));
        EXPECT_TRUE(read_dev(dev.get()) == top);
    }
    EXPECT_TRUE(read_file(cache_dir + "/low.cache") == low);
    EXPECT_TRUE(read_file(base) == base_data);
    dev_ptr dev(open(cache_dir + "/low.kxi", OS_PF_RDONLY));
    ASSERT_TRUE(dev);
    EXPECT_TRUE(read_dev(dev.get()) == model);
}

}  // namespace
