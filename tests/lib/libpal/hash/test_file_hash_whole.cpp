// Hash jobs, whole-stream algorithms: the six digests of real files equal
// the system's digest programs for odd sizes, block sizes and range splits,
// through the file layer's read and through a caller's read call, with the
// source size known or unknown.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "file_job_fixture.h"
#include "libpal/hash/file_hash.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_thread.h"
#include "support/proc.h"

using namespace job_test;

namespace {

struct oracle_cache {
    temp_dir dir;
    std::map<size_t, std::string> paths;
    std::map<std::pair<size_t, uint32_t>, std::string> hex;

    const std::string& file(size_t size) {
        auto it = paths.find(size);
        if (it != paths.end()) return it->second;
        std::string path = dir.file("src_" + std::to_string(size));
        write_file(path, pattern_bytes(size, size));
        return paths[size] = path;
    }
    // "" when the program is missing.
    const std::string& digest(size_t size, const whole_oracle& o) {
        auto key = std::make_pair(size, o.bit);
        auto it = hex.find(key);
        if (it != hex.end()) return it->second;
        return hex[key] = tool_hex(o.cmd, file(size));
    }
};

struct whole_case {
    const char* name;
    size_t size;
    uint64_t bs;
    uint32_t blocks_per_range;
    uint32_t bs_count;  // 0: the job sizes itself at the first range
    uint8_t thread;
    bool size_known;
    bool read_call;      // a caller's read call instead of the file layer
    uint64_t max_piece;  // the read call's partial reads
};

constexpr size_t MiB = 1024 * 1024;

const whole_case k_cases[] = {
    {"one byte", 1, 65537, 4, 0, 0, true, false, 0},
    {"bs-1", 65536, 65537, 4, 0, 0, true, false, 0},
    {"bs", 65537, 65537, 4, 0, 0, true, false, 0},
    {"bs+1", 65538, 65537, 4, 4, 0, true, false, 0},
    {"3.5 bs", 229379, 65537, 2, 0, 0, true, false, 0},
    {"few MiB, threads asked for", 3 * MiB + 123, 65537, 4, 0, 1, true, false, 0},
    {"small blocks, partial reads", 3 * MiB + 123, 512, 1024, 0, 0, true, true, 100001},
    {"blocks above the cache size", 5 * MiB + 17, 2 * MiB + 3, 1, 1, 0, true, true, 0},
    {"size unknown", 3 * MiB + 123, 4096, 64, 0, 0, false, true, 0},
    {"size unknown, one block per range", 200001, 65536, 1, 0, 0, false, false, 0},
    {"last range past the end", 3 * MiB + 123, MiB, 4, 0, 0, true, false, 0},
};

TEST(FileHashWhole, SixDigestsEqualTheSystemPrograms) {
    oracle_cache oracles;
    size_t tools = 0;
    for (const whole_oracle& o : whole_oracles()) tools += !oracles.digest(1, o).empty();
    if (tools == 0) GTEST_SKIP() << "none of the digest programs is installed";
    size_t compared = 0;
    for (const whole_case& c : k_cases) {
        SCOPED_TRACE(c.name);
        const std::string& path = oracles.file(c.size);
        mem_source src;
        src.data = read_file(path);
        src.max_piece = c.max_piece;
        os_file_ctx* f = nullptr;
        if (!c.read_call) {
            f = os_file_open(path.c_str(), OS_PF_RDONLY);
            ASSERT_NE(f, nullptr);
        }
        verr_info err{};
        file_hash_param p = hash_param(k_whole_all, c.read_call ? static_cast<void*>(&src) : f,
                                       c.read_call ? mem_source::read : nullptr,
                                       c.size_known ? static_cast<int64_t>(c.size) : 0, c.bs, c.bs_count, c.thread);
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr) << verr_msg(&err);

        // The last range may reach past the end of the data: it ends there.
        uint64_t range = c.bs * c.blocks_per_range;
        int64_t end = static_cast<int64_t>(c.size);
        if (std::string(c.name) == "last range past the end") end = static_cast<int64_t>(range);
        ASSERT_EQ(hash_ranges(job, 0, end, range), 0) << verr_msg(&err);
        // Whole-stream digests take their blocks in order on one thread.
        EXPECT_EQ(job->job.pool, nullptr);
        EXPECT_TRUE(job->job.thread != nullptr || job->job.one != nullptr);

        auto got = finals(job, k_whole_all);
        for (const whole_oracle& o : whole_oracles()) {
            const std::string& want = oracles.digest(c.size, o);
            if (want.empty()) continue;  // the program is missing: that digest is not checked
            EXPECT_EQ(got[o.bit], want) << file_hash_flag_str(o.bit);
            compared++;
        }
        // Past the end of the data nothing is read: -110.
        EXPECT_EQ(file_hash_cal(job, static_cast<int64_t>(c.size), 1), -1);
        EXPECT_EQ(err.code, VERR_EOF);
        file_hash_close(job);
        if (f) os_file_close(f);
    }
    EXPECT_EQ(compared, tools * std::size(k_cases));
}

// Several whole-stream digests of one job run side by side on "hash_cal"
// and helper threads, over the same blocks: each still equals its own
// program, across a job saved after a few ranges and opened again from its
// state text, with "p" algorithms on the lanes beside them; small blocks
// too, once the ranges are long. Without the
// thread flag the job keeps to one thread.
TEST(FileHashWhole, DigestsSideBySideEqualTheProgramsAcrossAResume) {
    // Small blocks, ranges of 2 MiB and more.
    const uint64_t bs = 32 * 1024 + 1;
    const uint64_t range = 64 * bs;
    const int64_t cut = 2 * static_cast<int64_t>(range);
    const size_t size = 6 * MiB + 4097;
    struct side_case {
        const char* name;
        uint32_t flags;
        uint8_t thread;
    };
    const side_case cases[] = {
        {"md5 sha1 sha256", HASH_MD5 | HASH_SHA1 | HASH_SHA256, 1},
        {"all six", k_whole_all, 1},
        {"with pmd5 and psha1", HASH_MD5 | HASH_SHA1 | HASH_SHA256 | HASH_PMD5 | HASH_PSHA1, 1},
        {"one thread", HASH_MD5 | HASH_SHA1 | HASH_SHA256, 0},
    };
    temp_dir dir;
    mem_source src;
    src.data = pattern_bytes(size, 41);
    const std::string path = dir.file("src");
    write_file(path, src.data);
    std::map<uint32_t, std::string> want;
    for (const whole_oracle& o : whole_oracles()) want[o.bit] = tool_hex(o.cmd, path);
    if (want[HASH_MD5].empty() && want[HASH_SHA1].empty() && want[HASH_SHA256].empty())
        GTEST_SKIP() << "md5sum, sha1sum and sha256sum are missing";

    for (const side_case& c : cases) {
        SCOPED_TRACE(c.name);
        // The "p" algorithms against one pass on one thread.
        std::map<uint32_t, std::string> per_block;
        if (c.flags & k_block_all) {
            file_hash_param p = hash_param(c.flags & k_block_all, &src, mem_source::read, size, bs);
            file_hash_ctx* job = file_hash_open(&p, nullptr);
            ASSERT_NE(job, nullptr);
            ASSERT_EQ(hash_ranges(job, 0, static_cast<int64_t>(size), range), 0);
            per_block = finals(job, c.flags & k_block_all);
            file_hash_close(job);
        }
        verr_info err{};
        file_hash_param p = hash_param(c.flags, &src, mem_source::read, size, bs, 0, c.thread);
        file_hash_ctx* a = file_hash_open(&p, &err);
        ASSERT_NE(a, nullptr) << verr_msg(&err);
        ASSERT_EQ(hash_ranges(a, 0, cut, range), 0) << verr_msg(&err);
        EXPECT_EQ(a->lanes > 1, c.thread && os_cpu_count() >= 2);
        std::string text = state_text(a);
        file_hash_close(a);

        p.ctx = text.c_str();
        file_hash_ctx* b = file_hash_open(&p, &err);
        ASSERT_NE(b, nullptr) << verr_msg(&err);
        ASSERT_EQ(hash_ranges(b, cut, static_cast<int64_t>(size), range), 0) << verr_msg(&err);
        EXPECT_EQ(b->lanes > 1, c.thread && os_cpu_count() >= 2);
        auto got = finals(b, c.flags);
        file_hash_close(b);
        for (uint32_t bit : bits_of(c.flags & k_whole_all)) {
            if (!want[bit].empty()) {
                EXPECT_EQ(got[bit], want[bit]) << file_hash_flag_str(bit);
            }
        }
        for (const auto& [bit, hex] : per_block) EXPECT_EQ(got[bit], hex) << file_hash_flag_str(bit);
    }
}

// Finals taken in the middle leave the job going: the digest of the prefix,
// then of the whole.
TEST(FileHashWhole, FinalKeepsTheJobGoing) {
    mem_source src;
    src.data = pattern_bytes(300000, 7);
    file_hash_param p = hash_param(HASH_MD5 | HASH_XXH3, &src, mem_source::read, 300000, 50000);
    verr_info err{};
    file_hash_ctx* job = file_hash_open(&p, &err);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_cal(job, 0, 150000), 0);
    auto half = finals(job, HASH_MD5 | HASH_XXH3);
    ASSERT_EQ(file_hash_cal(job, 150000, 150000), 0);
    auto whole = finals(job, HASH_MD5 | HASH_XXH3);
    file_hash_close(job);

    temp_dir dir;
    write_file(dir.file("half"), src.data.substr(0, 150000));
    write_file(dir.file("whole"), src.data);
    EXPECT_EQ(half[HASH_MD5], tool_hex({"md5sum"}, dir.file("half")));
    EXPECT_EQ(whole[HASH_MD5], tool_hex({"md5sum"}, dir.file("whole")));
    std::string xxh = tool_hex({"xxhsum", "-H2"}, dir.file("whole"));
    if (!xxh.empty()) {
        EXPECT_EQ(whole[HASH_XXH3], xxh);
    }
}

// A digest that costs less than reading its data (XXH3 alone) runs on the
// reading thread, each piece right after its read; one that costs more (MD5)
// has a thread of its own. Both give the digest of the data, in ranges of
// several pieces and with a short last one.
TEST(FileHashWhole, ACheapDigestRunsOnTheReadingThread) {
    mem_source src;
    src.data = pattern_bytes((3u << 20) + 1000, 9);
    const int64_t size = static_cast<int64_t>(src.data.size());
    std::map<uint32_t, std::string> got;
    for (uint32_t bit : {HASH_XXH3, HASH_MD5}) {
        SCOPED_TRACE(file_hash_flag_str(bit));
        file_hash_param p = hash_param(bit, &src, mem_source::read, size, 65536, 16, 1);
        verr_info err{};
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr) << verr_msg(&err);
        ASSERT_EQ(hash_ranges(job, 0, size, 1u << 20), 0) << verr_msg(&err);
        EXPECT_EQ(job->job.thread == nullptr, bit == HASH_XXH3);
        got[bit] = finals(job, bit)[bit];
        file_hash_close(job);
    }
    temp_dir dir;
    write_file(dir.file("data"), src.data);
    EXPECT_EQ(got[HASH_MD5], tool_hex({"md5sum"}, dir.file("data")));
    std::string xxh = tool_hex({"xxhsum", "-H2"}, dir.file("data"));
    if (xxh.empty()) {
        if (const char* ci = getenv("CI"); ci && *ci && strcmp(ci, "false") != 0) FAIL() << "xxhsum is missing";
        GTEST_SKIP() << "xxhsum is missing";
    }
    EXPECT_EQ(got[HASH_XXH3], xxh);
}

TEST(FileHashWhole, FinalPicksTheFirstAlgorithmAndChecksTheBuffer) {
    mem_source src;
    src.data = "abc";
    file_hash_param p = hash_param(HASH_SHA1 | HASH_MD5 | HASH_PMD5, &src, mem_source::read, 3, 4096);
    file_hash_ctx* job = file_hash_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_cal(job, 0, 3), 0);
    uint8_t d[64];
    // md5 comes first in the fixed order.
    ASSERT_EQ(file_hash_final(job, HASH_ALL, d, sizeof d), 0);
    EXPECT_EQ(to_hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
    ASSERT_EQ(file_hash_final(job, HASH_SHA1, d, sizeof d), 0);
    EXPECT_EQ(to_hex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(file_hash_final(job, HASH_MD5, d, 15), -1);
    EXPECT_EQ(file_hash_final(job, HASH_SHA256, d, sizeof d), -1);  // not in the job
    // One block: byte i of the result is the CRC-8 of (md5[i], 0, 0, 0).
    ASSERT_EQ(file_hash_final(job, HASH_PMD5, d, sizeof d), 0);
    const uint8_t md5_abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    for (int i = 0; i < 16; i++) {
        uint8_t crc = 0;
        const uint8_t le[4] = {md5_abc[i], 0, 0, 0};
        for (uint8_t b : le) {
            crc ^= b;
            for (int k = 0; k < 8; k++) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
        }
        EXPECT_EQ(d[i], crc) << i;
    }
    file_hash_close(job);
}

}  // namespace
