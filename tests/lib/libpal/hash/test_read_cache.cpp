// The read cache: small reads come from few large reads of the source, a
// known size is never read past, an unknown size (0) is read to the end of
// the data, partial reads are completed, failures pass through.
#include <gtest/gtest.h>

#include <string>

#include "file_job_fixture.h"
#include "libpal/hash/read_cache.h"

using namespace job_test;

namespace {

struct cache_fixture : ::testing::Test {
    mem_source src;
    read_cache* cache = nullptr;
    void open(int64_t total, uint64_t size = 0) {
        read_cache_param p{size, total, mem_source::read, &src};
        cache = read_cache_new(&p);
        ASSERT_NE(cache, nullptr);
    }
    void TearDown() override { read_cache_free(cache); }
    // Reads the source in pieces of n bytes from off to the end: the bytes.
    std::string read_all(uint64_t n, int64_t off = 0) {
        std::string out, buf(n, '\0');
        for (;;) {
            int64_t rc = read_cache_pread(cache, buf.data(), n, off);
            EXPECT_GE(rc, 0);
            if (rc <= 0) break;
            out.append(buf.data(), static_cast<size_t>(rc));
            off += rc;
            if (static_cast<uint64_t>(rc) < n) break;
        }
        return out;
    }
};

TEST_F(cache_fixture, SmallReadsComeFromLargeOnes) {
    src.data = pattern_bytes(5 * 1024 * 1024 + 7, 41);
    open(static_cast<int64_t>(src.data.size()));
    EXPECT_EQ(read_all(4096), src.data);
    // Three pieces of at most 2 MiB, the last one up to the known end.
    ASSERT_EQ(src.log.size(), 3u);
    EXPECT_EQ(src.log[0], std::make_pair(int64_t{0}, int64_t{READ_CACHE_SIZE}));
    EXPECT_EQ(src.log[2], std::make_pair(int64_t{2 * READ_CACHE_SIZE}, int64_t{1024 * 1024 + 7}));
}

TEST_F(cache_fixture, KnownSizeIsNeverReadPast) {
    // The source holds more than its stated size.
    src.data = pattern_bytes(300000, 42);
    open(200000);
    EXPECT_EQ(read_all(65536), src.data.substr(0, 200000));
    for (auto& [off, len] : src.log) EXPECT_LE(off + len, 200000);
    char b[16];
    EXPECT_EQ(read_cache_pread(cache, b, sizeof b, 200000), 0);
    EXPECT_EQ(read_cache_pread(cache, b, sizeof b, 250000), 0);
}

TEST_F(cache_fixture, UnknownSizeReadsToTheEnd) {
    src.data = pattern_bytes(3 * 1024 * 1024 + 123, 43);
    open(0);
    std::string buf(4096, '\0');
    // The first small block of an unknown size comes back whole.
    EXPECT_EQ(read_cache_pread(cache, buf.data(), 4096, 0), 4096);
    EXPECT_EQ(buf, src.data.substr(0, 4096));
    EXPECT_EQ(read_all(4096), src.data);
    EXPECT_EQ(read_cache_pread(cache, buf.data(), 4096, static_cast<int64_t>(src.data.size())), 0);
}

TEST_F(cache_fixture, PartialReadsAreCompleted) {
    src.data = pattern_bytes(1000000, 44);
    src.max_piece = 777;
    for (int64_t total : {int64_t{0}, int64_t{1000000}}) {
        SCOPED_TRACE(total);
        open(total);
        EXPECT_EQ(read_all(65536), src.data);
        // At and above the cache size the reads go direct, also completed.
        std::string big(3 * 1024 * 1024, '\0');
        EXPECT_EQ(read_cache_pread(cache, big.data(), big.size(), 1000), 1000000 - 1000);
        EXPECT_EQ(big.substr(0, 999000), src.data.substr(1000));
        read_cache_free(cache);
        cache = nullptr;
    }
}

TEST_F(cache_fixture, RandomOffsetsAndFailures) {
    src.data = pattern_bytes(1 << 20, 45);
    open(1 << 20, 65536);
    char b[1000];
    for (int64_t off : {int64_t{5}, int64_t{70000}, int64_t{3}, int64_t{65530}, int64_t{(1 << 20) - 10}}) {
        int64_t want = std::min<int64_t>(1000, (1 << 20) - off);
        ASSERT_EQ(read_cache_pread(cache, b, 1000, off), want);
        EXPECT_EQ(std::string(b, static_cast<size_t>(want)), src.data.substr(static_cast<size_t>(off), 1000));
    }
    src.fail_at = 500000;
    EXPECT_LT(read_cache_pread(cache, b, 1000, 499990), 0);
    EXPECT_LT(read_cache_pread(cache, b, 1000, -1), 0);
}

}  // namespace
