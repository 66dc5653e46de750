// Sources, files and oracles shared by the hash-job and byte-count-job tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "libpal/basic/verr.h"
#include "libpal/hash/file_hash.h"
#include "support/proc.h"

namespace job_test {

// Deterministic bytes (xorshift), different for every seed.
inline std::string pattern_bytes(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 29);
    }
    return s;
}

inline std::string to_hex(const void* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        uint8_t b = static_cast<const uint8_t*>(p)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// An in-memory source with injectable faults. The read call is the job's
// read call with the source as its argument; error() its error call.
struct mem_source {
    std::string data;
    int64_t fail_at = -1;    // a read that covers this offset fails
    std::atomic<int> fail_left{-1};  // reads covering fail_at that fail (-1: every one)
    uint64_t max_piece = 0;  // every read returns at most this many bytes (0: all)
    std::function<void(int64_t off, int64_t len)> on_read;  // called before every read
    std::atomic<int> reads{0};
    std::atomic<int> shared_reads{0};  // reads through read_shared
    std::atomic<int> errors{0};
    std::mutex m;
    std::vector<std::pair<int64_t, int64_t>> log;  // (off, len) of every read

    static int64_t read(void* arg, void* buf, int64_t len, int64_t off) {
        auto* s = static_cast<mem_source*>(arg);
        s->reads++;
        {
            std::lock_guard<std::mutex> g(s->m);
            s->log.emplace_back(off, len);
        }
        if (s->on_read) s->on_read(off, len);
        if (s->fail_at >= 0 && off <= s->fail_at && s->fail_at < off + len) {
            int left = s->fail_left.load();
            while (left != 0 && !s->fail_left.compare_exchange_weak(left, left > 0 ? left - 1 : left)) {
            }
            if (left != 0) return -1;
        }
        if (off >= static_cast<int64_t>(s->data.size())) return 0;
        int64_t n = std::min<int64_t>(len, static_cast<int64_t>(s->data.size()) - off);
        if (s->max_piece && static_cast<uint64_t>(n) > s->max_piece) n = static_cast<int64_t>(s->max_piece);
        memcpy(buf, s->data.data() + off, static_cast<size_t>(n));
        return n;
    }
    // The same read as the job's read call for several threads at once.
    static int64_t read_shared(void* arg, void* buf, int64_t len, int64_t off) {
        static_cast<mem_source*>(arg)->shared_reads++;
        return read(arg, buf, len, off);
    }
    static int error(void* arg, verr_info* err) {
        auto* s = static_cast<mem_source*>(arg);
        s->errors++;
        VERR_SET(err, VERR_DEV_IO_ERROR, "mem_source: media error at %lld", static_cast<long long>(s->fail_at));
        return 0;
    }
};

// The six whole-stream algorithms and the system's programs that compute them.
struct whole_oracle {
    uint32_t bit;
    std::vector<std::string> cmd;  // the file's path is appended
};

inline const std::vector<whole_oracle>& whole_oracles() {
    static const std::vector<whole_oracle> rows = {
        {HASH_MD5, {"md5sum"}},       {HASH_SHA1, {"sha1sum"}},
        {HASH_SHA256, {"sha256sum"}}, {HASH_SHA512, {"sha512sum"}},
        {HASH_SM3, {"openssl", "dgst", "-sm3"}}, {HASH_XXH3, {"xxhsum", "-H2"}},
    };
    return rows;
}

// The hex digest a program prints for a file ("hex  path" or
// "NAME(path)= hex"), or "" when the program is missing or fails.
inline std::string tool_hex(std::vector<std::string> cmd, const std::string& path) {
    cmd.push_back(path);
    proc_result r = run_proc(cmd);
    if (r.status != 0) return {};
    std::string out = r.out;
    size_t eq = out.find("= ");
    if (eq != std::string::npos) out = out.substr(eq + 2);
    return out.substr(0, out.find_first_of(" \n"));
}

inline constexpr uint32_t k_whole_all = HASH_MD5 | HASH_SHA1 | HASH_SHA256 | HASH_SHA512 | HASH_SM3 | HASH_XXH3;
inline constexpr uint32_t k_block_all =
    HASH_PMD5 | HASH_PSHA1 | HASH_PSHA256 | HASH_PSHA512 | HASH_PSM3 | HASH_PXXH3;

// The bits of a set, lowest first.
inline std::vector<uint32_t> bits_of(uint32_t flags) {
    std::vector<uint32_t> v;
    for (uint32_t b = 1; b < 4096; b <<= 1)
        if (flags & b) v.push_back(b);
    return v;
}

// Opens a hash job over a source (nullptr read call: arg is an os_file_ctx).
// With `shared`, the source's reads may also run on the pool's threads.
inline file_hash_param hash_param(uint32_t flags, void* arg, file_read_fn rd, int64_t total, uint64_t bs,
                                  uint32_t bs_count = 0, uint8_t thread = 0, const char* ctx = nullptr,
                                  bool shared = false) {
    file_hash_param p{};
    if (shared) p.pread_shared = mem_source::read_shared;
    p.hash_flag = flags;
    p.arg = arg;
    p.pread = rd;
    p.vperror = rd ? mem_source::error : nullptr;
    p.total_size = total;
    p.bs = bs;
    p.bs_count = bs_count;
    p.thread = thread;
    p.ctx = ctx;
    return p;
}

// Hashes [from, to) in ranges of at most `range` bytes: 0, or the first
// failing range's -1.
inline int hash_ranges(file_hash_ctx* job, int64_t from, int64_t to, uint64_t range) {
    for (int64_t off = from; off < to;) {
        uint64_t len = std::min<uint64_t>(range, static_cast<uint64_t>(to - off));
        if (file_hash_cal(job, off, len) != 0) return -1;
        off += static_cast<int64_t>(len);
    }
    return 0;
}

// The final digests of every algorithm of the job, as hex by bit.
inline std::map<uint32_t, std::string> finals(file_hash_ctx* job, uint32_t flags) {
    std::map<uint32_t, std::string> out;
    for (uint32_t b : bits_of(flags)) {
        uint8_t d[64];
        size_t n = file_hash_digest_len(b);
        EXPECT_EQ(file_hash_final(job, b, d, sizeof d), 0) << file_hash_flag_str(b);
        out[b] = to_hex(d, n);
    }
    return out;
}

inline std::string state_text(file_hash_ctx* job) {
    std::string buf(16384, '\0');
    EXPECT_EQ(file_hash_get_ctx(job, buf.data(), buf.size()), 0);
    buf.resize(strlen(buf.c_str()));
    return buf;
}

// The line of a state text that starts with "word ".
inline std::string state_line(const std::string& text, const std::string& word) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (line.rfind(word + " ", 0) == 0) return line;
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return {};
}

}  // namespace job_test
