// Hash jobs over ranges of a source.
#include "libpal/hash/file_hash.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh.h"
#include "libpal/memory/mem_add.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/text_buf.h"

namespace {

// ---------------------------------------------------------------- algorithms

// A whole-stream digest through untyped calls.
struct whole_alg {
    uint32_t bit;
    const char* word;
    size_t n;
    const char* set_name;  // named in the log line of a failed restore
    void* (*create)();
    void (*init)(void* ctx);
    void (*destroy)(void* ctx);
    void (*update)(void* ctx, const void* data, size_t len);
    // The digest of what the context has seen; the context is kept.
    void (*final)(const void* ctx, uint8_t* out);
    int (*get)(const void* ctx, char* text, size_t size);
    int (*set)(void* ctx, const char* text);
};

// The digests whose context is a plain record.
template <class C, void (*Init)(C*), void (*Update)(C*, const void*, size_t), void (*Final)(C*, uint8_t*),
          int (*Get)(const C*, char*, size_t), int (*Set)(C*, const char*)>
struct plain_digest {
    static void* create() {
        auto* c = static_cast<C*>(pl_zalloc(sizeof(C)));
        if (c) Init(c);
        return c;
    }
    static void init(void* c) { Init(static_cast<C*>(c)); }
    static void destroy(void* c) { pl_free(c); }
    static void update(void* c, const void* d, size_t n) { Update(static_cast<C*>(c), d, n); }
    static void final(const void* c, uint8_t* out) {
        C copy = *static_cast<const C*>(c);
        Final(&copy, out);
    }
    static int get(const void* c, char* t, size_t n) { return Get(static_cast<const C*>(c), t, n); }
    static int set(void* c, const char* t) { return Set(static_cast<C*>(c), t); }
};

template <class D>
constexpr whole_alg make_whole(uint32_t bit, const char* word, size_t n, const char* set_name) {
    return {bit, word, n, set_name, D::create, D::init, D::destroy, D::update, D::final, D::get, D::set};
}

using md5_d = plain_digest<pl_md5_ctx, pl_md5_init, pl_md5_update, pl_md5_final, pl_md5_get_ctx, pl_md5_set_ctx>;
using sha1_d = plain_digest<pl_sha1_ctx, pl_sha1_init, pl_sha1_update, pl_sha1_final, pl_sha1_get_ctx, pl_sha1_set_ctx>;
using sha256_d = plain_digest<pl_sha256_ctx, pl_sha256_init, pl_sha256_update, pl_sha256_final, pl_sha256_get_ctx,
                              pl_sha256_set_ctx>;
using sha512_d = plain_digest<pl_sha512_ctx, pl_sha512_init, pl_sha512_update, pl_sha512_final, pl_sha512_get_ctx,
                              pl_sha512_set_ctx>;
using sm3_d = plain_digest<pl_sm3_ctx, pl_sm3_init, pl_sm3_update, pl_sm3_final, pl_sm3_get_ctx, pl_sm3_set_ctx>;

struct xxh3_d {
    static void* create() { return pl_xxh3_128_new(); }
    static void init(void* c) { pl_xxh3_128_reset(static_cast<XXH3_state_s*>(c)); }
    static void destroy(void* c) { pl_xxh3_128_free(static_cast<XXH3_state_s*>(c)); }
    static void update(void* c, const void* d, size_t n) { pl_xxh3_128_update(static_cast<XXH3_state_s*>(c), d, n); }
    // The library's digest leaves its state as it was.
    static void final(const void* c, uint8_t* out) {
        pl_xxh3_128_final(const_cast<XXH3_state_s*>(static_cast<const XXH3_state_s*>(c)), out);
    }
    static int get(const void* c, char* t, size_t n) { return pl_xxh3_128_get_ctx(static_cast<const XXH3_state_s*>(c), t, n); }
    static int set(void* c, const char* t) { return pl_xxh3_128_set_ctx(static_cast<XXH3_state_s*>(c), t); }
};

// The fixed order of the whole-stream algorithms.
constexpr whole_alg k_whole[FILE_HASH_ALGS] = {
    make_whole<md5_d>(HASH_MD5, "md5", PL_MD5_DIGEST_LEN, "pl_md5_set_ctx"),
    make_whole<sha1_d>(HASH_SHA1, "sha1", PL_SHA1_DIGEST_LEN, "pl_sha1_set_ctx"),
    make_whole<sha256_d>(HASH_SHA256, "sha256", PL_SHA256_DIGEST_LEN, "pl_sha256_set_ctx"),
    make_whole<sha512_d>(HASH_SHA512, "sha512", PL_SHA512_DIGEST_LEN, "pl_sha512_set_ctx"),
    make_whole<sm3_d>(HASH_SM3, "sm3", PL_SM3_DIGEST_LEN, "pl_sm3_set_ctx"),
    make_whole<xxh3_d>(HASH_XXH3, "xxh3", PL_XXH3_128_DIGEST_LEN, "pl_xxh3_128_set_ctx"),
};

// A per-block ("p") algorithm: the one-shot digest of every block.
struct block_alg {
    uint32_t bit;
    const char* word;
    size_t n;
    void (*digest)(const void* data, size_t len, uint8_t* out);
};

// The fixed order of the per-block algorithms.
constexpr block_alg k_block[FILE_HASH_ALGS] = {
    {HASH_PMD5, "pmd5", PL_MD5_DIGEST_LEN, pl_md5_buf},
    {HASH_PSHA1, "psha1", PL_SHA1_DIGEST_LEN, pl_sha1_buf},
    {HASH_PSHA256, "psha256", PL_SHA256_DIGEST_LEN, pl_sha256_buf},
    {HASH_PSHA512, "psha512", PL_SHA512_DIGEST_LEN, pl_sha512_buf},
    {HASH_PSM3, "psm3", PL_SM3_DIGEST_LEN, pl_sm3_buf},
    {HASH_PXXH3, "pxxh3", PL_XXH3_128_DIGEST_LEN, pl_xxh3_128_buf},
};

constexpr size_t k_max_digest = 64;
constexpr uint32_t k_whole_bits = HASH_MD5 | HASH_SHA1 | HASH_SHA256 | HASH_SHA512 | HASH_SM3 | HASH_XXH3;

// Every state line is built in a buffer of this size; all state texts fit.
constexpr size_t k_line_size = 4096;
static_assert(PL_MD5_TEXT_SIZE <= k_line_size && PL_SHA1_TEXT_SIZE <= k_line_size &&
              PL_SHA256_TEXT_SIZE <= k_line_size && PL_SHA512_TEXT_SIZE <= k_line_size &&
              PL_SM3_TEXT_SIZE <= k_line_size && PL_XXH3_TEXT_SIZE <= k_line_size);
// A sums text: n fields of at most 8 digits and a comma.
constexpr size_t sums_text_size(size_t n) { return n * 9 + 1; }
static_assert(sums_text_size(k_max_digest) <= k_line_size);

// The word of one algorithm bit (the first of the fixed order in alg).
const char* alg_word(uint32_t alg) {
    for (const auto& a : k_whole)
        if (alg & a.bit) return a.word;
    for (const auto& a : k_block)
        if (alg & a.bit) return a.word;
    return nullptr;
}

// What follows "word " on the first line of text that starts so; empty
// when there is none.
std::string_view find_line(std::string_view text, std::string_view word) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (line.size() > word.size() && line.substr(0, word.size()) == word && line[word.size()] == ' ') {
            line.remove_prefix(word.size() + 1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            return line;
        }
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return {};
}

// Copies the text into buf when it fits with its terminator: 0, else -1
// with an empty buf.
int put_text(std::string_view s, char* buf, size_t size) {
    if (!buf || size == 0) return -1;
    if (s.size() >= size) {
        buf[0] = '\0';
        return -1;
    }
    if (!s.empty()) memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    return 0;
}

// ------------------------------------------------------------- digesting

// Rough time per byte of each algorithm, md5 ... xxh3 (SHA-1 and SHA-256
// with the processor's SHA instructions), to share them out over the lanes;
// a "p" algorithm costs as much as its whole-stream twin.
constexpr uint32_t k_cost[FILE_HASH_ALGS] = {16, 9, 12, 20, 30, 1};
// Ranges shorter than this keep to one lane.
constexpr uint64_t k_lane_min_chunk = 2 * 1024 * 1024;
// Rough time per byte of reading from memory, on the same scale.
constexpr uint32_t k_read_cost = 2;

// A piece of one "p" algorithm: the digest of every block it closes, as
// that block's record. A block inside the piece is digested at once; one
// spread over several pieces goes through the job's context of the
// algorithm. The last piece of a range closes its block, however short.
void block_piece(file_hash_ctx* job, size_t i, const uint8_t* data, uint64_t len, uint64_t pos, bool end) {
    const uint64_t bs = job->bs;
    const block_alg& a = k_block[i];
    for (;;) {
        uint64_t in = pos % bs;
        uint64_t n = len < bs - in ? len : bs - in;
        if (n == 0 && in == 0) return;  // nothing of a block is open
        auto idx = static_cast<int32_t>(pos / bs);
        bool closes = in + n == bs || (end && n == len);
        uint8_t d[k_max_digest];
        if (in == 0 && closes) {
            a.digest(data, static_cast<size_t>(n), d);
            mem_add_buf(job->padd[i], d, idx);
        } else {
            void* c = job->pctx[i];
            if (in == 0) k_whole[i].init(c);
            k_whole[i].update(c, data, static_cast<size_t>(n));
            if (closes) {
                k_whole[i].final(c, d);
                mem_add_buf(job->padd[i], d, idx);
            }
        }
        data += n;
        pos += n;
        len -= n;
        if (len == 0) return;
    }
}

// The pieces of a range on lane `lane`: its share of the algorithms.
void hash_piece(void* owner, uint32_t lane, const uint8_t* data, uint64_t len, uint64_t pos, bool end) {
    auto* job = static_cast<file_hash_ctx*>(owner);
    uint32_t share = job->share[lane];
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if ((share >> i & 1) && job->whole[i] && len) k_whole[i].update(job->whole[i], data, static_cast<size_t>(len));
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if ((share >> (FILE_HASH_ALGS + i) & 1) && job->padd[i]) block_piece(job, i, data, len, pos, end);
}

// A run of whole blocks on a pool thread: every "p" algorithm.
void hash_batch(void* owner, const uint8_t* data, uint64_t len, uint32_t first) {
    auto* job = static_cast<file_hash_ctx*>(owner);
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if (job->padd[i]) block_piece(job, i, data, len, uint64_t{first} * job->bs, true);
}

// Before a range read on the pool's threads: the sums to go back to.
bool hash_mark(void* owner) {
    auto* job = static_cast<file_hash_ctx*>(owner);
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if (job->padd[i] && mem_add_mark_take(job->padd[i], &job->marks[i]) != 0) return false;
    return true;
}

// The range is read again: its block digests are taken back.
bool hash_rollback(void* owner) {
    auto* job = static_cast<file_hash_ctx*>(owner);
    bool ok = true;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if (job->padd[i] && mem_add_mark_restore(job->padd[i], &job->marks[i]) != 0) ok = false;
    return ok;
}

constexpr file_job_ops k_hash_ops = {
    hash_piece, hash_batch, "hash_cal", "hash_lane", "mbuf_init(len=%lld) failed\n", false, "mbuf_init(len=%lld) failed\n",
    nullptr, hash_mark, hash_rollback,
};

// Shares the algorithms out over "hash_cal" and up to one helper per further
// processor by their rough costs ("hash_cal" is lane 0): largest first, each
// to the least loaded lane, a tie to the lower lane, so "hash_cal" takes the
// slowest. One lane when threads are not allowed or would not pay.
void share_out(file_hash_ctx* job, uint64_t chunk) {
    uint32_t all = 0;
    size_t n = 0;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (job->whole[i]) all |= 1u << i, n++;
        if (job->padd[i]) all |= 1u << (FILE_HASH_ALGS + i), n++;
    }
    job->lanes = 1;
    for (uint32_t& s : job->share) s = 0;
    job->share[0] = all;
    uint32_t cpus = job->job.cpus;
    // Every range ends with all lanes through it: short ranges cost more in
    // those hand-overs than running side by side gains.
    if (job->thread || !job->threads_allowed || n < 2 || cpus < 2 || chunk < k_lane_min_chunk) return;
    auto lanes = static_cast<uint32_t>(std::min<size_t>({n, cpus, FILE_JOB_LANES}));
    uint32_t load[FILE_JOB_LANES] = {};
    job->share[0] = 0;
    for (uint32_t left = all; left;) {
        size_t big = 0;
        for (size_t b = 0; b < 2 * FILE_HASH_ALGS; b++)
            if ((left >> b & 1) && (!(left >> big & 1) || k_cost[b % FILE_HASH_ALGS] > k_cost[big % FILE_HASH_ALGS]))
                big = b;
        left &= ~(1u << big);
        uint32_t w = 0;
        for (uint32_t v = 1; v < lanes; v++)
            if (load[v] < load[w]) w = v;
        job->share[w] |= 1u << big;
        load[w] += k_cost[big % FILE_HASH_ALGS];
    }
    job->lanes = lanes;
}

// ------------------------------------------------------------- set-up

void free_contexts(file_hash_ctx* job) {
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (job->whole[i]) k_whole[i].destroy(job->whole[i]);
        job->whole[i] = nullptr;
        if (job->pctx[i]) k_whole[i].destroy(job->pctx[i]);
        job->pctx[i] = nullptr;
        mem_add_free(job->padd[i]);
        job->padd[i] = nullptr;
    }
}

// Makes the contexts of the job's algorithms, each restored from its line
// of the saved text when there is one. A line that does not restore fails
// the job: it would silently start that digest afresh.
int make_contexts(file_hash_ctx* job) {
    std::string_view saved = job->saved ? job->saved : "";
    std::string line;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        const whole_alg& a = k_whole[i];
        if (!(job->hash_flag & a.bit)) continue;
        job->whole[i] = a.create();
        if (!job->whole[i]) {
            VERR_SET(job->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
            return VERR_NO_MEMORY;
        }
        line = find_line(saved, a.word);
        if (line.empty()) continue;
        if (a.set(job->whole[i], line.c_str()) != 0) {
            LOG2(LOG2_ERR, "pal", "%s [%s] failed\n", a.set_name, line.c_str());
            VERR_SET(job->verr, VERR_INVALID_PARAMETER, "saved %s state cannot be restored", a.word);
            return VERR_INVALID_PARAMETER;
        }
    }
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        const block_alg& a = k_block[i];
        if (!(job->hash_flag & a.bit)) continue;
        line = find_line(saved, a.word);
        job->pctx[i] = k_whole[i].create();
        if (!job->pctx[i]) {
            VERR_SET(job->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
            return VERR_NO_MEMORY;
        }
        // The records come with the set-up, when the blocks per range are known.
        job->padd[i] = mem_add_malloc(static_cast<int32_t>(a.n), 0, line.c_str());
        if (!job->padd[i]) {
            int32_t code = line.empty() ? VERR_NO_MEMORY : VERR_INVALID_PARAMETER;
            if (line.empty())
                VERR_SET(job->verr, code, "%s", verr2str(code));
            else
                VERR_SET(job->verr, code, "saved %s sums cannot be restored", a.word);
            return code;
        }
    }
    return 0;
}

// The set-up once the bytes per range are known: record slots for every
// block of a range, and the pool or the "hash_cal" thread.
int file_hash_init_env(file_hash_ctx* job, uint64_t chunk) {
    // Whole-stream digests take their blocks in order: one thread.
    if (job->hash_flag & k_whole_bits) job->thread = 0;
    uint64_t blocks = chunk / job->bs + (chunk % job->bs ? 1 : 0);
    if (blocks == 0 || blocks > INT32_MAX) {
        VERR_SET(job->verr, VERR_INVALID_PARAMETER, "chunk=%llu bs=%llu", static_cast<unsigned long long>(chunk),
                 static_cast<unsigned long long>(job->bs));
        return VERR_INVALID_PARAMETER;
    }
    char sums[sums_text_size(k_max_digest)];
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!job->padd[i]) continue;
        if (mem_add_get_sum(job->padd[i], sums, sizeof sums) != 0) {
            VERR_SET(job->verr, VERR_GENERAL_FAILURE, "%s sums", k_block[i].word);
            return VERR_GENERAL_FAILURE;
        }
        mem_add_ctx* with_records = mem_add_malloc(static_cast<int32_t>(k_block[i].n), static_cast<int32_t>(blocks), sums);
        if (!with_records) {
            VERR_SET(job->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
            return VERR_NO_MEMORY;
        }
        mem_add_free(job->padd[i]);
        job->padd[i] = with_records;
    }
    if (job->thread) {
        int rc = file_job_pool_start(&job->job, "phash_thread_pool");
        if (rc != 0) return rc;
    }
    share_out(job, chunk);
    // One thread reads about as fast as eight MD5 digests run: the slower
    // the digests, the more pool workers the reading keeps busy.
    uint32_t cost = 0;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if (job->padd[i]) cost += k_cost[i];
    job->job.pool_busy = (cost + k_read_cost - 1) / k_read_cost;
    // Every digest of the job together costs less than the read: no lane.
    uint32_t all_cost = cost;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++)
        if (job->whole[i]) all_cost += k_cost[i];
    job->job.inline_only = !job->job.pool && all_cost < k_read_cost;
    int rc = file_job_setup(&job->job, chunk, job->lanes);
    if (rc != 0) return rc;
    job->chunk_size = job->job.chunk;
    job->bs_count = static_cast<uint32_t>(blocks);
    return 0;
}

int setup(file_hash_ctx* job, uint64_t chunk) {
    int rc = file_hash_init_env(job, chunk);
    job->setup = rc == 0 ? 1 : -1;
    return rc;
}

bool usable(file_hash_ctx* job) {
    if (!job) return false;
    if (file_job_stopped(&job->job)) {
        VERR_SET(job->verr, VERR_CANCELLED, "stopped");
        return false;
    }
    return true;
}

}  // namespace

size_t file_hash_digest_len(uint32_t alg) {
    for (const auto& a : k_whole)
        if (alg == a.bit) return a.n;
    for (const auto& a : k_block)
        if (alg == a.bit) return a.n;
    return 0;
}

file_hash_ctx* file_hash_open(const file_hash_param* p, verr_info* err) {
    if (!p) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    if (p->hash_flag >= 4096) {
        LOG2(LOG2_ERR, "pal", "flag=0x%x\n", p->hash_flag);
        VERR_SET(err, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
        return nullptr;
    }
    // A block size of 0 would never advance through a range; the queues
    // take 32-bit block sizes.
    if (p->hash_flag == 0 || p->total_size < 0 || p->bs == 0 || p->bs > UINT32_MAX ||
        (p->bs_count && p->bs > UINT64_MAX / p->bs_count)) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "flag=0x%x total=%lld bs=%llu", p->hash_flag,
                 static_cast<long long>(p->total_size), static_cast<unsigned long long>(p->bs));
        return nullptr;
    }
    void* mem = pl_zalloc(sizeof(file_hash_ctx));
    if (!mem) {
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    auto* job = new (mem) file_hash_ctx{};
    job->hash_flag = p->hash_flag;
    job->verr = err ? err : &job->own_err;
    job->bs = p->bs;
    job->bs_count = p->bs_count;
    job->thread = p->thread;
    job->threads_allowed = p->thread;
    file_job_init(&job->job, &k_hash_ops, job, p->arg, p->pread, p->vperror, job->verr, p->bs, p->attr);
    job->job.caller_stop = p->stop;
    job->job.total = p->total_size;
    job->job.shared_read = p->pread_shared;

    read_cache_param rp{READ_CACHE_SIZE, p->total_size, p->pread, p->arg};
    job->cache = read_cache_new(&rp);
    job->job.cache = job->cache;
    job->text = text_buf_new();
    if (p->ctx) job->saved = pl_strdup(p->ctx);
    if (!job->cache || !job->text || (p->ctx && !job->saved)) {
        VERR_SET(job->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        file_hash_close(job);
        return nullptr;
    }
    if (make_contexts(job) != 0 || (p->bs_count && setup(job, p->bs_count * p->bs) != 0)) {
        file_hash_close(job);
        return nullptr;
    }
    return job;
}

int file_hash_close(file_hash_ctx* job) {
    if (!job) return 0;
    // The threads end before anything they use is freed; one left behind
    // keeps the whole job, helper threads included.
    if (!file_job_exit(&job->job)) return -1;
    free_contexts(job);
    text_buf_free(job->text);
    read_cache_free(job->cache);
    pl_free(job->saved);
    job->~file_hash_ctx();
    pl_free(job);
    return 0;
}

uint64_t file_hash_last_len(const file_hash_ctx* job) { return job ? job->job.last_len : 0; }

int file_hash_cal(file_hash_ctx* job, int64_t off, uint64_t len) {
    if (job) job->job.last_len = 0;
    if (!usable(job) || file_job_check_range(&job->job, off, len) != 0) return -1;
    if (len == 0) return 0;
    if (job->setup == 0) {
        uint64_t chunk = len / job->bs + (len % job->bs ? 1 : 0);
        if (chunk > UINT64_MAX / job->bs || setup(job, chunk * job->bs) != 0) {
            job->setup = -1;
            if (job->verr->code == 0) VERR_SET(job->verr, VERR_INVALID_PARAMETER, "len=%llu", static_cast<unsigned long long>(len));
            return -1;
        }
    } else if (job->setup < 0) {
        VERR_SET(job->verr, VERR_INVALID_STATE, "the job could not be set up");
        return -1;
    }
    // The records describe the current range only.
    for (auto* a : job->padd) mem_add_clear_record(a);
    return file_job_run(&job->job, off, len);
}

void file_hash_stop(file_hash_ctx* job) {
    if (job) file_job_stop(&job->job);
}

int file_hash_final(file_hash_ctx* job, uint32_t alg, void* buf, size_t size) {
    if (!usable(job) || !buf) return -1;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!(alg & k_whole[i].bit) || !job->whole[i]) continue;
        if (size < k_whole[i].n) return -1;
        k_whole[i].final(job->whole[i], static_cast<uint8_t*>(buf));
        return 0;
    }
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!(alg & k_block[i].bit) || !job->padd[i]) continue;
        return mem_add_get_digest(job->padd[i], buf, size);
    }
    return -1;
}

int file_hash_get_record(file_hash_ctx* job, char* buf, size_t size) {
    if (!usable(job)) return -1;
    int rc = 0;
    if (buf) {
        text_buf_clear(job->text);
        std::string records;
        for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
            mem_add_ctx* a = job->padd[i];
            if (!a) continue;
            size_t need = static_cast<size_t>(a->r_count > 0 ? a->r_count : 1) * (2 * k_block[i].n + 1) + 1;
            records.assign(need, '\0');
            if (mem_add_get_record(a, records.data(), need) != 0) {
                rc = -1;
                break;
            }
            records.resize(strlen(records.c_str()));
            for (char& c : records) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            text_buf_printf(job->text, "%s %s\n", k_block[i].word, records.c_str());
        }
        text_buf_pop(job->text);
        if (rc == 0) rc = put_text(std::string_view(job->text->data, job->text->len), buf, size);
        else if (size) buf[0] = '\0';
    }
    for (auto* a : job->padd) mem_add_clear_record(a);
    return rc;
}

int file_hash_get_ctx(file_hash_ctx* job, char* buf, size_t size) {
    if (!usable(job)) return -1;
    text_buf_clear(job->text);
    char line[k_line_size];
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!job->whole[i]) continue;
        line[0] = '\0';
        if (k_whole[i].get(job->whole[i], line, sizeof line) != 0) {
            if (buf && size) buf[0] = '\0';
            return -1;
        }
        text_buf_printf(job->text, "%s %s\n", k_whole[i].word, line);
    }
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!job->padd[i]) continue;
        if (mem_add_get_sum(job->padd[i], line, sizeof line) != 0) {
            if (buf && size) buf[0] = '\0';
            return -1;
        }
        text_buf_printf(job->text, "%s %s\n", k_block[i].word, line);
    }
    text_buf_pop(job->text);
    return put_text(std::string_view(job->text->data, job->text->len), buf, size);
}

int file_hash_set_ctx(file_hash_ctx* job, const char* text) {
    if (!usable(job)) return -1;
    std::string_view all = text ? text : "";
    std::string line;
    int first = 0;
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!job->whole[i]) continue;
        line = find_line(all, k_whole[i].word);
        int rc = k_whole[i].set(job->whole[i], line.c_str());
        if (rc != 0) {
            LOG2(LOG2_ERR, "pal", "%s [%s] failed\n", k_whole[i].set_name, line.c_str());
            if (first == 0) first = rc;
        }
    }
    for (size_t i = 0; i < FILE_HASH_ALGS; i++) {
        if (!job->padd[i]) continue;
        line = find_line(all, k_block[i].word);
        mem_add_clear_sum(job->padd[i]);
        int rc = mem_add_set_sum(job->padd[i], line.c_str());
        if (rc != 0 && first == 0) first = rc;
    }
    return first;
}

int file_hash_find_ctx(const char* text, uint32_t alg, char* buf, size_t size) {
    const char* word = alg_word(alg);
    std::string_view found = word && text ? find_line(text, word) : std::string_view{};
    return put_text(found, buf, size);
}
