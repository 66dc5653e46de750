// Default cache names, project files and the cache file header.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libconf/ini/conf.h"
#include "libkxi/fcache.h"
#include "libkxi/libkxi.h"
#include "libpal/os/os_fileutil.h"
#include "support/proc.h"

namespace {

// Sets (or with nullptr unsets) an environment variable for the scope.
struct env_guard {
    std::string name;
    std::string old;
    bool had;
    env_guard(const char* n, const char* value) : name(n) {
        const char* o = getenv(n);
        had = o != nullptr;
        if (had) old = o;
        if (value) setenv(n, value, 1);
        else unsetenv(n);
    }
    ~env_guard() {
        if (had) setenv(name.c_str(), old.c_str(), 1);
        else unsetenv(name.c_str());
    }
};

TEST(KxiNames, DefaultCacheNameIsTheCrcInTheCacheDirectory) {
    struct row {
        const char* cache_dir;  // nullptr: KX_CACHE unset
        const char* text;
        const char* expect;
    };
    const row rows[] = {
        // CRC-32 (IEEE) of "123456789" is cbf43926; of the empty text 0.
        {"/var/kx/cache", "123456789", "/var/kx/cache/cbf43926.cache"},
        {"/var/kx/cache/", "", "/var/kx/cache/0.cache"},
        {"C:\\kx\\cache", "123456789", "C:/kx/cache/cbf43926.cache"},
        {"/c", "/data/base.img", "/c/7d65887d.cache"},  // zlib.crc32(b"/data/base.img")
        // Without a cache directory the reference stays as written.
        {nullptr, "123456789", "%KX_CACHE%/cbf43926.cache"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        env_guard env("KX_CACHE", r.cache_dir);
        char out[4096];
        ASSERT_EQ(kxi_default_cache_name(r.text, out, sizeof out), 0);
        EXPECT_STREQ(out, r.expect);
    }
    env_guard env("KX_CACHE", "/var/kx/cache");
    char small[16];
    EXPECT_EQ(kxi_default_cache_name("123456789", small, sizeof small), -1);
}

TEST(KxiNames, ProjectFileHasItsFormatAndReadsBackExactly) {
    temp_dir dir;
    std::string proj = dir.file("sub/p.kxi");
    ASSERT_EQ(kxi_create_wcache_proj(proj.c_str(), "/data/base.img", "c.cache"), 0);
    EXPECT_EQ(read_file(proj),
              "[base]\ntype=cache_wfile\n\n[cache_wfile]\nraw_file=/data/base.img\ncache_file=c.cache\n");

    const char* values[][2] = {
        {"/d/a b=c&d;e#f.img?x=1&y=2", "/c/my cache.cache"},
        {"\"quoted\" start", "trailing\\"},
        {" edge blanks ", ""},
        {"kxp://u:p@h:6688/x?wcache_read=1", "memory"},
    };
    for (const auto& v : values) {
        SCOPED_TRACE(v[0]);
        ASSERT_EQ(kxi_create_wcache_proj(proj.c_str(), v[0], v[1]), 0);
        conf_ctx* c = conf_load(proj.c_str());
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(conf_get_string(c, "base", "type", "?"), "cache_wfile");
        EXPECT_STREQ(conf_get_string(c, "cache_wfile", "raw_file", "?"), v[0]);
        EXPECT_STREQ(conf_get_string(c, "cache_wfile", "cache_file", "?"), v[1]);
        conf_close(c);
    }

    // A line break cannot be stored: nothing is written.
    std::string other = dir.file("other.kxi");
    errno = 0;
    EXPECT_EQ(kxi_create_wcache_proj(other.c_str(), "/d/a\nb", "c.cache"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os_file_exist(other.c_str()), -1);
}

TEST(KxiNames, HeaderBytesInBothByteOrders) {
    fcache_head h{{'K', 'X', 'I', '0'}, 1, 0, 512, 0x100000, 0x0102030405060708ull};
    uint8_t le[FCACHE_HEAD_SIZE];
    fcache_head_encode(&h, le);
    const uint8_t want_le[FCACHE_HEAD_SIZE] = {'K', 'X', 'I', '0', 1, 0,   0,   0,   0,   2,   0,   0,
                                               0,   0,   0x10, 0,  8, 7,   6,   5,   4,   3,   2,   1};
    EXPECT_EQ(memcmp(le, want_le, sizeof le), 0);

    memcpy(h.magic, "KXI1", 4);
    uint8_t be[FCACHE_HEAD_SIZE];
    fcache_head_encode(&h, be);
    const uint8_t want_be[FCACHE_HEAD_SIZE] = {'K', 'X', 'I', '1', 0, 1,   0,   0,   0,   0,   2,   0,
                                               0,   0x10, 0,  0,   1, 2,   3,   4,   5,   6,   7,   8};
    EXPECT_EQ(memcmp(be, want_be, sizeof be), 0);

    for (const uint8_t* bytes : {static_cast<const uint8_t*>(le), static_cast<const uint8_t*>(be)}) {
        fcache_head d{};
        uint8_t endian = 9;
        ASSERT_EQ(fcache_head_decode(bytes, &d, &endian), 0);
        EXPECT_EQ(endian, bytes == be ? 1 : 0);
        EXPECT_EQ(d.major, 1u);
        EXPECT_EQ(d.minor, 0u);
        EXPECT_EQ(d.sector_size, 512u);
        EXPECT_EQ(d.block_size, 0x100000u);
        EXPECT_EQ(d.file_size, 0x0102030405060708ull);
    }
    uint8_t bad[FCACHE_HEAD_SIZE];
    memcpy(bad, le, sizeof bad);
    bad[3] = '2';
    fcache_head d{};
    uint8_t endian = 0;
    EXPECT_EQ(fcache_head_decode(bad, &d, &endian), -1);
}

}  // namespace
