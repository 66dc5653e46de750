// Block packing: the method table, the pack context, round trips that plain
// liblz4 reads and writes, and hostile packed data.
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libpack/pack.h"
#include "libpal/memory/pl_mem.h"
#include "support/log_capture.h"

namespace {

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

// Runs of text, zeros and noise: what a disk image looks like.
std::string mixed_bytes(size_t n) {
    std::string s;
    std::mt19937 gen(7);
    while (s.size() < n) {
        switch (gen() % 3) {
        case 0: s += std::string(gen() % 70000, '\0'); break;
        case 1: for (int i = 0; i < 2000; ++i) s += "block " + std::to_string(i) + " of the image; "; break;
        default: s += random_bytes(gen() % 50000, gen()); break;
        }
    }
    s.resize(n);
    return s;
}

// A pack context that is closed at the end of the scope.
struct ctx_guard {
    zcomp_ctx c{};
    ctx_guard(const char* name, uint32_t id) {
        snprintf(c.name, sizeof c.name, "%s", name);
        c.id = id;
    }
    ~ctx_guard() { zcomp_close(&c); }
};

TEST(PackOpen, NameWinsOverIdAndUnknownMethodsStayClosed) {
    struct row {
        const char* name;
        uint32_t id;
        int rc;
        uint32_t opened_id;
    };
    const row rows[] = {
        {"lz4", 0, 0, PACK_LZ4},
        {"none", 1, 0, PACK_NONE},
        {"", 0, 0, PACK_NONE},
        {"", 1, 0, PACK_LZ4},
        {"zstd", 1, -1, 0},
        {"LZ4", 1, -1, 0},  // names compare exactly
        {"", 7, -1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string("name=") + r.name + " id=" + std::to_string(r.id));
        ctx_guard g(r.name, r.id);
        ASSERT_EQ(zcomp_open_ex(&g.c), r.rc);
        char src[64] = "some bytes", dst[128];
        if (r.rc == 0) {
            EXPECT_EQ(g.c.id, r.opened_id);
            EXPECT_GT(zcomp_pack(&g.c, src, sizeof src, dst, sizeof dst), 0);
        } else {
            EXPECT_EQ(g.c.handle, nullptr);
            EXPECT_EQ(zcomp_pack(&g.c, src, sizeof src, dst, sizeof dst), -1);
            EXPECT_EQ(zcomp_unpack(&g.c, src, 8, dst, sizeof dst), -1);
        }
    }
}

TEST(PackOpen, UnterminatedNameIsReadWithinItsField) {
    zcomp_ctx c{};
    memset(c.name, 'a', sizeof c.name);
    EXPECT_EQ(zcomp_open_ex(&c), -1);
    EXPECT_EQ(c.handle, nullptr);
    zcomp_close(&c);
}

TEST(PackOpen, ReopenAndCloseReleaseEverything) {
    pl_mem_stat before = pl_mem_stat_get();
    {
        ctx_guard g("lz4", 0);
        ASSERT_EQ(zcomp_open_ex(&g.c), 0);
        ASSERT_NE(zcomp_alloc_align_pagesize(&g.c, 10000), nullptr);
        // Re-opening releases the old method state first (LeakSanitizer
        // would report a lost LZ4 state at exit).
        g.c.name[0] = 0;
        g.c.id = PACK_NONE;
        ASSERT_EQ(zcomp_open_ex(&g.c), 0);
        snprintf(g.c.name, sizeof g.c.name, "%s", "lz4");
        ASSERT_EQ(zcomp_open_ex(&g.c), 0);
        EXPECT_EQ(g.c.id, PACK_LZ4);
    }
    pl_mem_stat after = pl_mem_stat_get();
    EXPECT_EQ(after.malloc_count, before.malloc_count);
    EXPECT_EQ(after.malloc_bytes, before.malloc_bytes);
}

TEST(PackBound, Formula) {
    EXPECT_EQ(zcomp_bound(255), 272u);
    EXPECT_EQ(zcomp_bound(0), 16u);
    EXPECT_EQ(zcomp_bound(0x7E000000), uint64_t{0x7E000000} + 0x7E000000 / 255 + 16);
    EXPECT_EQ(zcomp_bound(0x7E000001), 0u);
    EXPECT_EQ(zcomp_bound(4096), static_cast<uint64_t>(LZ4_compressBound(4096)));
}

TEST(PackRoundTrip, EveryMethodOverATableOfInputs) {
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"empty", ""},
        {"one byte", "x"},
        {"4095 zeros", std::string(4095, '\0')},
        {"4096 zeros", std::string(4096, '\0')},
        {"1 MiB random", random_bytes(1 << 20, 1)},
        {"10 MiB mixed", mixed_bytes(10 << 20)},
    };
    for (const char* method : {"none", "lz4"}) {
        ctx_guard g(method, 0);
        ASSERT_EQ(zcomp_open_ex(&g.c), 0);
        for (const auto& [label, in] : inputs) {
            SCOPED_TRACE(std::string(method) + ": " + label);
            auto len = static_cast<int64_t>(in.size());
            std::vector<char> packed(zcomp_bound(in.size()));
            int64_t z = zcomp_pack(&g.c, in.data(), len, packed.data(), static_cast<int64_t>(packed.size()));
            if (len == 0 && strcmp(method, "none") == 0) {
                EXPECT_EQ(z, 0);
                continue;
            }
            ASSERT_GT(z, 0);
            EXPECT_LE(static_cast<uint64_t>(z), zcomp_bound(in.size()));
            std::vector<char> out(in.size() + 1);
            ASSERT_EQ(zcomp_unpack(&g.c, packed.data(), z, out.data(), len), len);
            EXPECT_EQ(0, memcmp(out.data(), in.data(), in.size()));
            if (strcmp(method, "lz4") != 0) {
                EXPECT_EQ(z, len);
                continue;
            }
            // Our blocks are plain LZ4 blocks, and plain LZ4 blocks are ours.
            std::vector<char> plain(in.size() + 1);
            EXPECT_EQ(LZ4_decompress_safe(packed.data(), plain.data(), static_cast<int>(z), static_cast<int>(len)), len);
            EXPECT_EQ(0, memcmp(plain.data(), in.data(), in.size()));
            std::vector<char> theirs(LZ4_compressBound(static_cast<int>(len)));
            int tz = LZ4_compress_default(in.data(), theirs.data(), static_cast<int>(len), static_cast<int>(theirs.size()));
            ASSERT_GT(tz, 0);
            std::fill(out.begin(), out.end(), 0);
            EXPECT_EQ(zcomp_unpack(&g.c, theirs.data(), tz, out.data(), len), len);
            EXPECT_EQ(0, memcmp(out.data(), in.data(), in.size()));
        }
    }
}

TEST(PackRoundTrip, ZeroPageShrinksWithLz4AndNotWithNone) {
    std::string zeros(4096, '\0');
    std::vector<char> packed(8192);
    for (const char* method : {"lz4", "none"}) {
        ctx_guard g(method, 0);
        ASSERT_EQ(zcomp_open_ex(&g.c), 0);
        int64_t z = zcomp_pack(&g.c, zeros.data(), 4096, packed.data(), 8192);
        if (strcmp(method, "lz4") == 0) EXPECT_LT(z, 100);
        else EXPECT_EQ(z, 4096);
        void* out = nullptr;
        ASSERT_EQ(zcomp_unpack_buf(&g.c, packed.data(), z, &out, 4096), 0);
        EXPECT_EQ(0, memcmp(out, zeros.data(), 4096));
    }
}

TEST(PackHostile, UnpackNeverWritesPastTheCapacity) {
    std::string in = mixed_bytes(100000);
    ctx_guard lz("lz4", 0);
    ctx_guard none("none", 0);
    ASSERT_EQ(zcomp_open_ex(&lz.c), 0);
    ASSERT_EQ(zcomp_open_ex(&none.c), 0);
    std::vector<char> packed(zcomp_bound(in.size()));
    int64_t z = zcomp_pack(&lz.c, in.data(), static_cast<int64_t>(in.size()), packed.data(),
                           static_cast<int64_t>(packed.size()));
    ASSERT_GT(z, 0);

    // Exactly-sized heap buffers, so that ASan sees any write beyond them.
    auto unpack_into = [](zcomp_ctx* c, const char* src, int64_t zlen, size_t cap) {
        std::unique_ptr<char[]> out(new char[cap ? cap : 1]);
        return zcomp_unpack(c, src, zlen, out.get(), static_cast<int64_t>(cap));
    };
    EXPECT_LT(unpack_into(&lz.c, packed.data(), z / 2, in.size()), 0) << "truncated";
    std::vector<char> bad(packed.begin(), packed.begin() + z);
    for (size_t i = 0; i < bad.size(); i += 97) bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    int64_t r = unpack_into(&lz.c, bad.data(), z, in.size());
    EXPECT_TRUE(r < 0 || r <= static_cast<int64_t>(in.size())) << "corrupted";
    EXPECT_LT(unpack_into(&lz.c, packed.data(), z, in.size() - 1), 0) << "one byte too small";
    // "none" with a packed length larger than the buffer.
    EXPECT_EQ(unpack_into(&none.c, in.data(), 5000, 4096), -1);
    EXPECT_EQ(zcomp_pack(&none.c, in.data(), 5000, bad.data(), 4096), -1);
    // The exact-length unpack refuses one byte short.
    void* out = nullptr;
    EXPECT_EQ(zcomp_unpack_buf(&lz.c, packed.data(), z, &out, static_cast<int64_t>(in.size()) + 1), -1);
    EXPECT_EQ(zcomp_unpack_buf(&none.c, in.data(), 4095, &out, 4096), -1);
    EXPECT_EQ(zcomp_unpack_buf(&none.c, in.data(), 4097, &out, 4096), -1);
    // Lengths beyond what LZ4 takes are refused, not truncated.
    char small[16];
    EXPECT_EQ(zcomp_pack(&lz.c, small, int64_t{0x7E000001}, small, sizeof small), -1);
    EXPECT_EQ(zcomp_unpack(&lz.c, small, int64_t{1} << 32, small, sizeof small), -1);
}

TEST(PackBuffer, PageAlignedAndReusedWhileLargeEnough) {
    ctx_guard g("none", 0);
    void* a = zcomp_alloc_align_pagesize(&g.c, 10000);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4096, 0u);
    EXPECT_EQ(zcomp_alloc_align_pagesize(&g.c, 5000), a);
    EXPECT_EQ(zcomp_alloc_align_pagesize(&g.c, 10000), a);
    void* b = zcomp_alloc_align_pagesize(&g.c, 100000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 4096, 0u);
    EXPECT_GE(g.c.buf_size, 100000u);
    memset(b, 1, 100000);
    // A request that cannot be met leaves no buffer behind.
    EXPECT_EQ(zcomp_alloc_align_pagesize(&g.c, SIZE_MAX - 4096), nullptr);
    EXPECT_EQ(g.c.buf_size, 0u);
    void* c = zcomp_alloc_align_pagesize(&g.c, 100);
    ASSERT_NE(c, nullptr);
    memset(c, 2, 100);
}

}  // namespace
