// Cache files whose length is off the block grid: a partial block behind the
// last whole one. A writable open cuts the file back to the grid and every
// write made then is still there at the next open; a read-only open reads the
// file as it is and leaves it unchanged.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "lib/libblock/kxi_test_util.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

using namespace kxi_test;

using KxiDamaged = KxiFixture;

TEST_F(KxiDamaged, DamagedImageFiles) {
    const std::string cache = cache_dir + "/g.cache";
    const std::string a(512, 'a');
    std::string model = base_data;
    {
        dev_ptr dev(open(wcache("g.cache"), OS_PF_RDWR));
        ASSERT_TRUE(dev) << verr_msg(&err);
        ASSERT_TRUE(write_at(dev.get(), model, MiB + 512, a));
    }
    const std::string good = read_file(cache);
    const std::string good_model = model;
    ASSERT_EQ(static_cast<int64_t>(good.size()), k_data_start + MiB);

    struct row {
        const char* what;
        std::function<void(std::string&)> damage;
    };
    const row rows[] = {
        {"one byte past the last block", [](std::string& f) { f += 'x'; }},
        {"half a block past the last block", [](std::string& f) { f += random_bytes(MiB / 2, 7); }},
        {"one sector short of a second block", [](std::string& f) { f += std::string(MiB - 512, 'y'); }},
        // Header and table on the disk, no block yet, and a stray byte.
        {"a byte behind the table alone",
         [](std::string& f) {
             f.resize(k_data_start);
             for (int64_t i = 0; i < k_count; ++i) put_le64(f, static_cast<size_t>(24 + 8 * i), 0);
             f += 'z';
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::string bad = good;
        r.damage(bad);
        const bool had_block = le64(bad, 32) != 0;
        model = had_block ? good_model : base_data;
        write_file(cache, bad);

        // Read-only: every byte as cached, the file untouched.
        {
            dev_ptr dev(open(wcache("g.cache"), OS_PF_RDONLY));
            ASSERT_TRUE(dev) << verr_msg(&err);
            EXPECT_TRUE(read_dev(dev.get()) == model);
        }
        EXPECT_TRUE(read_file(cache) == bad) << "a read-only open changed the cache file";

        // Writable: cut back to the grid with a log line, then writes into a
        // new block, into the cached one and into the short last block.
        {
            log_capture cap;
            dev_ptr dev(open(wcache("g.cache"), OS_PF_RDWR));
            ASSERT_TRUE(dev) << verr_msg(&err);
            EXPECT_TRUE(cap.contains("off the block grid")) << cap.all();
            EXPECT_EQ((size_of(cache) - k_data_start) % MiB, 0) << size_of(cache);
            ASSERT_TRUE(write_at(dev.get(), model, 0, std::string(1024, 'b')));
            ASSERT_TRUE(write_at(dev.get(), model, MiB, std::string(512, 'c')));
            ASSERT_TRUE(write_at(dev.get(), model, 3 * MiB + 1024, std::string(512, 'd')));
            EXPECT_TRUE(read_dev(dev.get()) == model);
        }
        const long long size = size_of(cache);
        EXPECT_EQ(size, k_data_start + 3 * MiB) << "three cached blocks, nothing else";

        // The next opens find every write of that run.
        for (uint32_t oflag : {uint32_t{OS_PF_RDWR}, uint32_t{OS_PF_RDONLY}}) {
            log_capture cap;
            dev_ptr dev(open(wcache("g.cache"), oflag));
            ASSERT_TRUE(dev) << verr_msg(&err);
            EXPECT_TRUE(read_dev(dev.get()) == model);
            EXPECT_FALSE(cap.contains("off the block grid")) << cap.all();
        }
        EXPECT_EQ(size_of(cache), size);
    }
    EXPECT_TRUE(read_file(base) == base_data) << "the base was written";
}

}  // namespace
