// Hash jobs, per-block ("p") algorithms: the combined digest equals an
// independent Python oracle for one range and many, on the caller's side and
// on the pool; the block records of a range; the choice of thread or pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "file_job_fixture.h"
#include "libpal/hash/file_hash.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/xxh.h"
#include "lib/libblock/img_test_util.h"
#include "support/proc.h"

using namespace job_test;

namespace {

// Digests every bs block of the file, sums byte i of the block digests in
// 32 bits, and gives byte i of the result as the CRC-8 (poly 0x07, from 0,
// MSB first) of the sum's four little-endian bytes. XXH3-128 per block
// comes from xxhsum when Python has no xxhash module.
const char* k_oracle = R"PY(
import hashlib, subprocess, sys
path, bs, algs = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(',')
data = open(path, 'rb').read()
def crc8(b):
    c = 0
    for x in b:
        c ^= x
        for _ in range(8):
            c = ((c << 1) ^ 0x07) & 0xff if c & 0x80 else (c << 1) & 0xff
    return c
assert crc8(b'123456789') == 0xF4
def xxh3(b):
    try:
        import xxhash
        return xxhash.xxh3_128(b).digest()
    except ImportError:
        out = subprocess.run(['xxhsum', '-H2', '-'], input=b, capture_output=True, check=True).stdout
        return bytes.fromhex(out.split()[0].decode())
sizes = {'md5': 16, 'sha1': 20, 'sha256': 32, 'sha512': 64, 'sm3': 32, 'xxh3': 16}
for a in algs:
    n = sizes[a]
    sums = [0] * n
    for i in range(0, len(data), bs):
        d = xxh3(data[i:i + bs]) if a == 'xxh3' else hashlib.new(a, data[i:i + bs]).digest()
        for k in range(n):
            sums[k] = (sums[k] + d[k]) & 0xffffffff
    print('p' + a, bytes(crc8(s.to_bytes(4, 'little')) for s in sums).hex())
)PY";

// bit -> expected hex of each algorithm the oracle could compute; the names
// of the others go to *missing.
std::map<uint32_t, std::string> python_oracle(const std::string& path, uint64_t bs, std::string* missing) {
    std::map<uint32_t, std::string> out;
    const std::pair<uint32_t, const char*> algs[] = {{HASH_PMD5, "md5"},       {HASH_PSHA1, "sha1"},
                                                      {HASH_PSHA256, "sha256"}, {HASH_PSHA512, "sha512"},
                                                      {HASH_PSM3, "sm3"},       {HASH_PXXH3, "xxh3"}};
    for (const auto& [bit, name] : algs) {
        proc_result r = run_proc({"python3", "-c", k_oracle, path, std::to_string(bs), name});
        if (r.status != 0) {  // no python3, no sm3 in hashlib, no xxhsum
            *missing += std::string(missing->empty() ? "" : ", ") + name;
            continue;
        }
        std::istringstream in(r.out);
        std::string word, hex;
        in >> word >> hex;
        out[bit] = hex;
    }
    return out;
}

struct block_case {
    const char* name;
    uint32_t blocks_per_range;
    uint32_t bs_count;
    uint8_t thread;
};

TEST(FileHashBlock, CombinedDigestsEqualThePythonOracle) {
    temp_dir dir;
    const uint64_t bs = 32769;
    const size_t size = 40 * bs + 77;  // 41 blocks, the last one short
    mem_source src;
    src.data = pattern_bytes(size, 11);
    write_file(dir.file("src"), src.data);
    std::string missing;
    auto want = python_oracle(dir.file("src"), bs, &missing);
    IMG_REQUIRE(!want.empty(), std::string("python3 to run the oracle"));
    ASSERT_EQ(want.count(HASH_PMD5), 1u);  // hashlib always has MD5

    const block_case cases[] = {
        {"one range, caller's thread", 41, 0, 0},
        {"one range, pool", 41, 41, 1},
        {"ranges of 3 blocks, caller's thread", 3, 0, 0},
        {"ranges of 3 blocks, pool", 3, 3, 1},
        {"ranges of 1 block, pool", 1, 0, 1},
    };
    for (const block_case& c : cases) {
        SCOPED_TRACE(c.name);
        verr_info err{};
        file_hash_param p = hash_param(k_block_all, &src, mem_source::read, static_cast<int64_t>(size), bs,
                                       c.bs_count, c.thread);
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr) << verr_msg(&err);
        ASSERT_EQ(hash_ranges(job, 0, static_cast<int64_t>(size), bs * c.blocks_per_range), 0) << verr_msg(&err);
        // "p" algorithms alone with threads allowed run on the pool.
        EXPECT_EQ(job->job.pool != nullptr, c.thread != 0);
        auto got = finals(job, k_block_all);
        for (const auto& [bit, hex] : want) EXPECT_EQ(got[bit], hex) << file_hash_flag_str(bit);
        file_hash_close(job);
    }
    // The algorithms the oracle could not compute were not checked.
    IMG_REQUIRE(missing.empty(), "the oracle of " + missing);
}

// Small blocks go to the pool in runs; many runs per range, many ranges.
TEST(FileHashBlock, SmallBlocksOnThePoolEqualTheCallersThread) {
    const uint64_t bs = 1000;
    const size_t size = 3 * 1024 * 1024 + 5;
    mem_source src;
    src.data = pattern_bytes(size, 12);
    std::map<uint32_t, std::string> results[2];
    for (uint8_t thread = 0; thread <= 1; thread++) {
        file_hash_param p = hash_param(HASH_PMD5 | HASH_PXXH3, &src, mem_source::read, static_cast<int64_t>(size), bs,
                                       0, thread);
        verr_info err{};
        file_hash_ctx* job = file_hash_open(&p, &err);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(hash_ranges(job, 0, static_cast<int64_t>(size), bs * 700), 0) << verr_msg(&err);
        results[thread] = finals(job, HASH_PMD5 | HASH_PXXH3);
        file_hash_close(job);
    }
    EXPECT_EQ(results[0], results[1]);
}

TEST(FileHashBlock, MixedJobUsesTheHashThread) {
    mem_source src;
    src.data = pattern_bytes(100000, 13);
    file_hash_param p = hash_param(HASH_MD5 | HASH_PMD5, &src, mem_source::read, 100000, 10000, 0, 1);
    file_hash_ctx* job = file_hash_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_cal(job, 0, 50000), 0);
    EXPECT_EQ(job->job.pool, nullptr);
    EXPECT_NE(job->job.thread, nullptr);
    file_hash_close(job);
}

// Two ranges of 3 blocks: the records of the second range only, each the
// digest of its own block, in block order and lower case.
TEST(FileHashBlock, RecordsDescribeTheLastRange) {
    const uint64_t bs = 4096;
    mem_source src;
    src.data = pattern_bytes(6 * bs, 14);
    for (uint8_t thread = 0; thread <= 1; thread++) {
        SCOPED_TRACE(thread ? "pool" : "caller's thread");
        file_hash_param p = hash_param(HASH_PMD5 | HASH_PSHA1, &src, mem_source::read, 6 * bs, bs, 0, thread);
        file_hash_ctx* job = file_hash_open(&p, nullptr);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(file_hash_cal(job, 0, 3 * bs), 0);
        ASSERT_EQ(file_hash_cal(job, 3 * bs, 3 * bs), 0);
        std::string want_md5, want_sha1;
        for (int b = 3; b < 6; b++) {
            std::string block = src.data.substr(b * bs, bs);
            std::string m = run_proc({"md5sum"}, block).out.substr(0, 32);
            std::string s = run_proc({"sha1sum"}, block).out.substr(0, 40);
            want_md5 += (want_md5.empty() ? "" : "|") + m;
            want_sha1 += (want_sha1.empty() ? "" : "|") + s;
        }
        char buf[1024];
        ASSERT_EQ(file_hash_get_record(job, buf, sizeof buf), 0);
        EXPECT_EQ(std::string(buf), "pmd5 " + want_md5 + "\npsha1 " + want_sha1);
        // Taking the records clears them.
        ASSERT_EQ(file_hash_get_record(job, buf, sizeof buf), 0);
        EXPECT_EQ(std::string(buf), "pmd5 \npsha1 ");
        // A buffer too small: -1 and an empty text, never a cut one.
        ASSERT_EQ(file_hash_cal(job, 0, 3 * bs), 0);
        char small[40];
        EXPECT_EQ(file_hash_get_record(job, small, sizeof small), -1);
        EXPECT_STREQ(small, "");
        file_hash_close(job);
    }
}

TEST(FileHashBlock, RecordsWithoutBufferOnlyClear) {
    mem_source src;
    src.data = pattern_bytes(8192, 15);
    file_hash_param p = hash_param(HASH_PMD5, &src, mem_source::read, 8192, 4096);
    file_hash_ctx* job = file_hash_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_cal(job, 0, 8192), 0);
    EXPECT_EQ(file_hash_get_record(job, nullptr, 0), 0);
    char buf[256];
    ASSERT_EQ(file_hash_get_record(job, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "pmd5 ");
    file_hash_close(job);
}

// The block digests of every range - the records a run prints - and the
// combined digests are the same whatever the threads: the caller's thread,
// the pool or the lanes with one to eight processors, the pool's threads
// reading for themselves or not, blocks far smaller than a read, blocks a
// read splits in two or three (the last part short), blocks of several
// reads, and a short last block, asked for exactly or as a whole range that
// reaches past the end of the data. Each record equals the one-shot digest
// of its block; a whole-stream digest beside them is the digest of all the
// data.
TEST(FileHashBlock, RecordsAndSumsDoNotDependOnTheThreads) {
    struct thread_case {
        const char* name;
        uint8_t thread;
        uint32_t cpus;
        bool shared;    // the pool's threads may read
        bool past_end;  // the last range is asked for whole, past the end
    };
    const thread_case threads[] = {
        {"caller's thread", 0, 1, false, false},
        {"1 cpu", 1, 1, false, false},
        {"2 cpus", 1, 2, false, true},
        {"3 cpus", 1, 3, false, false},
        {"8 cpus", 1, 8, false, false},
        {"1 cpu, pool reads", 1, 1, true, false},
        {"3 cpus, pool reads", 1, 3, true, false},
        {"8 cpus, pool reads", 1, 8, true, false},
        {"8 cpus, pool reads, last range past the end", 1, 8, true, true},
    };
    const uint64_t block_sizes[] = {1000, 4096, 256 * 1024 + 1, 600000, 2 * 1024 * 1024 + 3};
    const uint32_t flag_sets[] = {HASH_PMD5 | HASH_PSHA256 | HASH_PXXH3, HASH_MD5 | HASH_PSHA256 | HASH_PXXH3};
    const uint32_t blocks_per_range = 3;
    for (uint64_t bs : block_sizes) {
        // Two ranges and a bit: the last range is one short block.
        const size_t size = static_cast<size_t>(2 * blocks_per_range * bs + bs / 3 + 1);
        mem_source src;
        src.data = pattern_bytes(size, bs);
        // The records of every range, computed block by block here.
        std::vector<std::string> want_records;
        for (size_t off = 0; off < size; off += blocks_per_range * bs) {
            std::string lines[3];
            for (size_t b = off; b < std::min(size, off + blocks_per_range * bs); b += bs) {
                size_t n = std::min<size_t>(bs, size - b);
                uint8_t d[32];
                const char* sep = b == off ? "" : "|";
                pl_md5_buf(src.data.data() + b, n, d);
                lines[0] += sep + to_hex(d, 16);
                pl_sha256_buf(src.data.data() + b, n, d);
                lines[1] += sep + to_hex(d, 32);
                pl_xxh3_128_buf(src.data.data() + b, n, d);
                lines[2] += sep + to_hex(d, 16);
            }
            want_records.push_back("pmd5 " + lines[0] + "\n");
            want_records.back() += "psha256 " + lines[1] + "\npxxh3 " + lines[2];
        }
        uint8_t md5_all[16];
        pl_md5_buf(src.data.data(), size, md5_all);
        for (uint32_t flags : flag_sets) {
            std::map<uint32_t, std::string> first_sums;
            for (const thread_case& t : threads) {
                SCOPED_TRACE(std::string(t.name) + " bs " + std::to_string(bs) + " " + file_hash_flag_str(flags));
                verr_info err{};
                file_hash_param p = hash_param(flags, &src, mem_source::read, static_cast<int64_t>(size), bs, 0,
                                               t.thread, nullptr, t.shared);
                file_hash_ctx* job = file_hash_open(&p, &err);
                ASSERT_NE(job, nullptr) << verr_msg(&err);
                job->job.cpus = t.cpus;  // before the set-up at the first range
                src.shared_reads = 0;
                size_t range = 0;
                for (size_t off = 0; off < size; off += blocks_per_range * bs, range++) {
                    uint64_t len = std::min<uint64_t>(blocks_per_range * bs, size - off);
                    if (t.past_end) len = blocks_per_range * bs;
                    ASSERT_EQ(file_hash_cal(job, static_cast<int64_t>(off), len), 0) << verr_msg(&err);
                    EXPECT_EQ(file_hash_last_len(job), std::min<uint64_t>(blocks_per_range * bs, size - off));
                    std::string records(64 * 1024, '\0');
                    ASSERT_EQ(file_hash_get_record(job, records.data(), records.size()), 0);
                    records.resize(strlen(records.c_str()));
                    std::string want = want_records[range];
                    if (!(flags & HASH_PMD5)) want.erase(0, want.find('\n') + 1);
                    EXPECT_EQ(records, want) << "range " << range;
                }
                if (flags & HASH_MD5) {
                    EXPECT_EQ(finals(job, HASH_MD5)[HASH_MD5], to_hex(md5_all, 16));
                }
                // The pool's threads read every range that lies inside the data.
                if (t.shared && !(flags & HASH_MD5)) {
                    EXPECT_GT(src.shared_reads.load(), 0);
                } else {
                    EXPECT_EQ(src.shared_reads.load(), 0);
                }
                auto sums = finals(job, flags & k_block_all);
                if (first_sums.empty()) first_sums = sums;
                EXPECT_EQ(sums, first_sums);
                file_hash_close(job);
            }
        }
    }
}

}  // namespace
