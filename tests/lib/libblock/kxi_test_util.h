// Fixtures for the tests of the cache-image driver: a base image, the cache
// directory KX_CACHE, and the bytes of cache files.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "bd_test_util.h"
#include "libblock/bd.h"
#include "libkxi/libkxi.h"
#include "libpal/os/os_fileutil.h"
#include "support/proc.h"

namespace kxi_test {

inline constexpr int64_t MiB = 1 << 20;
// Four blocks, the last one 1536 bytes long.
inline constexpr int64_t k_base_size = 3 * MiB + 1536;
inline constexpr int64_t k_count = 4;
inline constexpr int64_t k_data_start = 24 + 8 * k_count;

inline std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = gen();
        for (size_t k = 0; k < 4 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

inline uint64_t le64(const std::string& s, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

inline void put_le64(std::string& s, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

inline void put_le32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

inline long long size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A started block layer, KX_CACHE pointing into the test's directory (put
// back afterwards) and a base image of k_base_size random bytes.
class KxiFixture : public testing::Test {
protected:
    void SetUp() override {
        bd_init2();
        const char* old = getenv("KX_CACHE");
        had_cache_env = old != nullptr;
        if (old) old_cache_env = old;
        cache_dir = dir.file("cache");
        setenv("KX_CACHE", cache_dir.c_str(), 1);
        base_data = random_bytes(static_cast<size_t>(k_base_size), 2126);
        base = dir.file("base.img");
        write_file(base, base_data);
    }
    void TearDown() override {
        if (had_cache_env) setenv("KX_CACHE", old_cache_env.c_str(), 1);
        else unsetenv("KX_CACHE");
    }

    bd_dev* open(const std::string& name, uint32_t oflag) {
        err = verr_info{};
        return bd_open_err(name.c_str(), oflag | BD_OFLAG_IMAGE, &err);
    }
    // The base with a cache given by its "wcache" value.
    std::string wcache(const std::string& value, const std::string& more = "") const {
        return base + "?wcache=" + value + more;
    }
    // The whole device, read in pieces of one block.
    static std::string read_dev(bd_dev* dev) {
        int64_t size = bd_size(dev);
        std::string out(static_cast<size_t>(size), '\0');
        for (int64_t at = 0; at < size; at += MiB) {
            int64_t n = std::min<int64_t>(MiB, size - at);
            EXPECT_EQ(bd_pread(dev, &out[static_cast<size_t>(at)], n, at), n) << bd_errmsg(dev);
        }
        return out;
    }
    static bool write_at(bd_dev* dev, std::string& model, int64_t off, const std::string& data) {
        if (bd_pwrite(dev, data.data(), static_cast<int64_t>(data.size()), off) != static_cast<int64_t>(data.size()))
            return false;
        model.replace(static_cast<size_t>(off), data.size(), data);
        return true;
    }

    temp_dir dir;
    std::string cache_dir;
    std::string base;
    std::string base_data;
    verr_info err{};
    bool had_cache_env = false;
    std::string old_cache_env;
};

}  // namespace kxi_test
