// kxdd with cache images: copies into a device through a copy-on-write
// cache ("?wcache=" and ".kxi" projects) leave the device as it was, and the
// cache, found through the cache directory of the client configuration,
// gives the written data back.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "kxdd_e2e.h"
#include "libpal/hash/crc.h"
#include "support/proc.h"

namespace {

using namespace kxdd_e2e;

constexpr size_t MiB = 1 << 20;

class KxddKxi : public ::testing::Test {
protected:
    void SetUp() override {
        base_data = random_bytes(3 * MiB + 5 * 512, 2126);
        base = dir.file("base.img");
        write_file(base, base_data);
        cache_dir = dir.file("cache");
        write_file(dir.file("kx_client.ini"), "[conf]\ncache_dir=" + cache_dir + "\n");
        char name[64];
        snprintf(name, sizeof name, "%x", hash_crc32(base.data(), base.size(), 0));
        default_cache = cache_dir + "/" + name + ".cache";
        default_proj = cache_dir + "/" + name + ".kxi";
    }
    proc_result run(const std::vector<std::string>& args) {
        return run_kxdd(args, {}, {"KX_ENV_CONF_DIR=" + dir.path});
    }
    // Writes data through the output name at byte offset seek, as dd with
    // conv=notrunc would, and applies it to the model.
    void patch(const std::string& out, const std::string& data, size_t seek, std::string& model) {
        ASSERT_LE(seek + data.size(), model.size());
        std::string in = dir.file("patch.bin");
        write_file(in, data);
        proc_result r = run({"if=" + in, "of=" + out, "bs=4096", "seek=" + std::to_string(seek / 4096), "conv=notrunc"});
        ASSERT_EQ(r.status, 0) << r.err;
        model.replace(seek, data.size(), data);
    }
    std::string read_back(const std::string& in) {
        std::string out = dir.file("out.bin");
        std::remove(out.c_str());
        proc_result r = run({"if=" + in, "of=" + out, "bs=64K"});
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(out);
    }

    temp_dir dir;
    std::string base;
    std::string base_data;
    std::string cache_dir;
    std::string default_cache;
    std::string default_proj;
};

TEST_F(KxddKxi, CopyThroughTheDefaultCacheAndReadItBack) {
    std::string model = base_data;
    patch(base + "?wcache=", random_bytes(8192, 1), 300 * 4096, model);
    EXPECT_TRUE(read_file(base) == base_data) << "the base was written";
    // Named by the CRC-32 of the device in the configured cache directory,
    // one block cached, with its project beside it.
    EXPECT_EQ(file_size(default_cache), static_cast<long long>(24 + 8 * 4 + MiB));
    EXPECT_TRUE(exists(default_proj));

    EXPECT_TRUE(read_back(base + "?wcache=") == model) << "reading through the cache differs from dd's copy";
    EXPECT_TRUE(read_back(default_proj) == model) << "reading through the project differs";

    // The project as an output goes on with the same cache.
    patch(default_proj, random_bytes(5 * 512, 2), 3 * MiB, model);  // up to the end of the short last block
    EXPECT_TRUE(read_back(base + "?wcache=") == model);
    EXPECT_EQ(file_size(default_cache), static_cast<long long>(24 + 8 * 4 + 2 * MiB));
    EXPECT_TRUE(read_file(base) == base_data);
    EXPECT_TRUE(read_back(base) == base_data);
}

TEST_F(KxddKxi, NamedAndMemoryCaches) {
    std::string model = base_data;
    patch(base + "?wcache=named.cache", random_bytes(4096, 3), MiB, model);
    EXPECT_EQ(file_size(cache_dir + "/named.cache"), static_cast<long long>(24 + 8 * 4 + MiB));
    EXPECT_TRUE(read_back(base + "?wcache=named.cache") == model);

    std::string unchanged = base_data;
    patch(base + "?wcache=memory", random_bytes(4096, 4), 0, unchanged);
    EXPECT_TRUE(read_file(base) == base_data);
    EXPECT_TRUE(read_back(base + "?wcache=named.cache") == model) << "the memory cache reached a file";
    EXPECT_FALSE(exists(default_cache));
}

TEST_F(KxddKxi, DamagedCacheIsRefusedWithoutOutput) {
    std::string model = base_data;
    patch(base + "?wcache=", random_bytes(4096, 5), 2 * MiB, model);
    const std::string good = read_file(default_cache);
    struct row {
        const char* what;
        std::string cache;
        std::string base;
        const char* text;
    };
    std::string bad_magic = good;
    bad_magic[0] = 'X';
    const row rows[] = {
        {"bad magic", bad_magic, base_data, "] invalid magic"},
        {"cut in the table", good.substr(0, 30), base_data, "] invalid head_2"},
        {"cut in the block", good.substr(0, good.size() - 4096), base_data, "] invalid head_2"},
        {"base grew", good, base_data + std::string(512, 'g'), "] mismatch file_size"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        write_file(default_cache, r.cache);
        write_file(base, r.base);
        std::string out = dir.file("out.bin");
        std::remove(out.c_str());
        proc_result p = run({"if=" + base + "?wcache=", "of=" + out, "bs=64K"});
        EXPECT_NE(p.status, 0);
        EXPECT_TRUE(contains(clean_err(p.err), "[" + default_cache + r.text)) << p.err;
        EXPECT_LE(file_size(out), 0);
        EXPECT_TRUE(read_file(default_cache) == r.cache) << "a refused cache was changed";
    }
}

TEST_F(KxddKxi, RelativeBaseNamesAreTheFileInTheWorkingDirectory) {
    // Two directories hold a "base.img" each, of the same size.
    std::string other_dir = dir.file("other");
    std::filesystem::create_directories(other_dir);
    std::string other_data = random_bytes(base_data.size(), 77);
    write_file(other_dir + "/base.img", other_data);
    auto run_in = [&](const std::string& cwd, const std::string& args) {
        return run_proc({"sh", "-c", "cd '" + cwd + "' && exec '" + kxdd_bin() + "' " + args}, {},
                        {"KX_ENV_CONF_DIR=" + dir.path});
    };
    write_file(dir.file("patch.bin"), random_bytes(4096, 6));
    proc_result w = run_in(dir.path, "if=patch.bin 'of=base.img?wcache=' bs=4096 seek=16 conv=notrunc");
    ASSERT_EQ(w.status, 0) << w.err;
    std::string model = base_data;
    model.replace(16 * 4096, 4096, read_file(dir.file("patch.bin")));

    // The other directory's file has a cache of its own (none yet) ...
    proc_result r = run_in(other_dir, "'if=base.img?wcache=' of=" + dir.file("out.bin") + " bs=64K");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.bin")) == other_data) << "another directory's file got this cache";
    // ... and the project names the base it was made for, wherever it is read.
    r = run_in(other_dir, "if=" + default_proj + " of=" + dir.file("out.bin") + " bs=64K");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.bin")) == model);
    EXPECT_TRUE(read_file(base) == base_data);
}

}  // namespace
