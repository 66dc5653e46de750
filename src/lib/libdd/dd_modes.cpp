// The records of the hash, byte-count, compare and sync modes: set-up, the
// devices' jobs at every open, the final digests and the byte table.
#include <cstdio>
#include <cstring>
#include <new>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/basic/thread_pool.h"
#include "libpal/hash/file_bcount.h"
#include "libpal/hash/file_hash.h"
#include "libpal/memory/mem_diff.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_console.h"
#include "liblog/log2.h"

namespace {

// Fetch order and print order of the digests, with their printed names.
constexpr uint32_t k_fetch_order[] = {HASH_MD5,  HASH_SHA1,  HASH_SHA256,  HASH_SHA512,  HASH_SM3,  HASH_XXH3,
                                      HASH_PMD5, HASH_PSHA1, HASH_PSHA256, HASH_PSHA512, HASH_PSM3, HASH_PXXH3};
struct printed {
    uint32_t bit;
    const char* name;
};
constexpr printed k_print_order[] = {
    {HASH_MD5, "MD5"},       {HASH_PMD5, "PMD5"},       {HASH_XXH3, "XXH3"}, {HASH_PXXH3, "PXXH3"},
    {HASH_SHA1, "SHA1"},     {HASH_PSHA1, "PSHA1"},     {HASH_SHA256, "SHA256"}, {HASH_PSHA256, "PSHA256"},
    {HASH_SM3, "SM3"},       {HASH_PSM3, "PSM3"},       {HASH_SHA512, "SHA512"}, {HASH_PSHA512, "PSHA512"},
};

int bit_index(uint32_t bit) { return __builtin_ctz(bit); }

bool step_of(dd_ctx* ctx, int64_t unit, int32_t count, const char* what) {
    int64_t step;
    if (__builtin_mul_overflow(unit, static_cast<int64_t>(count), &step) || step <= 0) {
        LOG2(LOG2_ERR, "dd_a", "%s: ibs=%lli x bs_count=%d is out of range\n", what, static_cast<long long>(unit), count);
        return false;
    }
    ctx->ibs = ctx->obs = step;
    return true;
}

int job_failed(dd_ctx* ctx, bd_dev* dev, const char* call) {
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "%s [%s] error: %s\n", call, dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
    return DD_FATAL;
}

}  // namespace

int dd_modes_setup(dd_ctx* ctx, const dd_opts* o) {
    uint8_t threads = (o->flags & DD_F_CAL_ONE_TASK) ? 0 : 1;
    uint8_t local = (o->flags & DD_F_CAL_FORCE_LOCAL) ? 1 : 0;
    int32_t bs_count = o->bs_count > 0 ? o->bs_count : 1;
    switch (ctx->mode) {
    case DD_MODE_HASH: {
        void* mem = pl_zalloc(sizeof(dd_hash_rec));
        if (!mem) return 1;
        ctx->hash_rec = new (mem) dd_hash_rec();
        ctx->hash_rec->param.hash_flag = o->hash_mode;
        ctx->hash_rec->param.bs = static_cast<uint64_t>(o->ibs);
        ctx->hash_rec->param.thread = threads;
        ctx->hash_rec->param.force_local = local;
        ctx->hash_rec->bs_count = bs_count;
        ctx->need_out = 0;
        return step_of(ctx, o->ibs, bs_count, "hash_mode") ? 0 : 1;
    }
    case DD_MODE_BCOUNT: {
        void* mem = pl_zalloc(sizeof(dd_bcount_rec));
        if (!mem) return 1;
        ctx->bcount_rec = new (mem) dd_bcount_rec();
        ctx->bcount_rec->param.word = o->bcount_mode;
        ctx->bcount_rec->param.bs = static_cast<uint64_t>(o->ibs);
        ctx->bcount_rec->param.thread = threads;
        ctx->bcount_rec->param.force_local = local;
        ctx->bcount_rec->bs_count = bs_count;
        ctx->need_out = 0;
        return step_of(ctx, o->ibs, bs_count, "bcount_mode") ? 0 : 1;
    }
    case DD_MODE_DIFF_HASH:
    case DD_MODE_DIFF_BIN:
    case DD_MODE_SYNC: {
        void* mem = pl_zalloc(sizeof(dd_diff_rec));
        if (!mem) return 1;
        dd_diff_rec* d = new (mem) dd_diff_rec();
        ctx->diff_rec = d;
        d->flags = o->diff_mode ? o->diff_mode : MDIFF_BYTE_MODE;
        d->max_count = o->diff_max_count;
        d->bs_count = bs_count;
        d->sub_bs = static_cast<uint64_t>(o->ibs);
        d->hash_auto = o->hash_mode == 0;
        d->recorder = mem_diff_create(d->flags, d->max_count);
        if (!d->recorder) return 1;
        if (ctx->mode == DD_MODE_DIFF_BIN) {
            // The step is the block size itself; the input side reads into ibuf.
            d->out_buf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(ctx->ibs), k_page));
            if (!d->out_buf) return 1;
        } else {
            if (!step_of(ctx, o->ibs, bs_count, ctx->mode == DD_MODE_SYNC ? "sync_mode" : "diff_mode")) return 1;
            d->in_buf = static_cast<uint8_t*>(pl_aligned_alloc(d->sub_bs, k_page));
            d->out_buf = static_cast<uint8_t*>(pl_aligned_alloc(d->sub_bs, k_page));
            d->list_size = static_cast<uint64_t>(bs_count) * 256 + 256;
            d->in_list = static_cast<char*>(pl_malloc(d->list_size));
            d->out_list = static_cast<char*>(pl_malloc(d->list_size));
            if (!d->in_buf || !d->out_buf || !d->in_list || !d->out_list) return 1;
            for (bd_hash_param* p : {&d->in_param, &d->out_param}) {
                p->hash_flag = o->hash_mode;
                p->bs = d->sub_bs;
                p->thread = threads;
                p->force_local = local;
            }
        }
        thread_pool_param pp{};
        pp.count = 0;  // one per processor
        pp.name = "dd_thread_pool";
        pp.attr = o->thread_attr;
        ctx->pool = thread_pool_init(&pp);
        if (!ctx->pool) {
            LOG2(LOG2_ERR, "dd_a", "thread_pool_init failed\n");
            return 1;
        }
        return 0;
    }
    default:
        return 0;
    }
}

void dd_modes_free(dd_ctx* ctx) {
    // A pool task left behind still uses the compare record: it stays.
    bool joined = !ctx->pool || thread_ctx_exit(ctx->pool) == 0;
    ctx->pool = nullptr;
    if (!joined) {
        LOG2(LOG2_ERR, "dd_a", "a task of dd_thread_pool did not end: the compare record stays in memory\n");
        ctx->diff_rec = nullptr;
    }
    if (dd_diff_rec* d = ctx->diff_rec) {
        mem_diff_destroy(d->recorder);
        pl_aligned_free(d->in_buf);
        pl_aligned_free(d->out_buf);
        pl_free(d->in_list);
        pl_free(d->out_list);
        d->~dd_diff_rec();
        pl_free(d);
        ctx->diff_rec = nullptr;
    }
    pl_free(ctx->hash_rec);
    ctx->hash_rec = nullptr;
    pl_free(ctx->bcount_rec);
    ctx->bcount_rec = nullptr;
}

int dd_modes_open_input(dd_ctx* ctx) {
    if (ctx->mode == DD_MODE_BCOUNT && bd_count_init(ctx->in_dev, &ctx->bcount_rec->param) != 0)
        return job_failed(ctx, ctx->in_dev, "bd_count_init");
    if (ctx->mode == DD_MODE_HASH && bd_hash_init(ctx->in_dev, &ctx->hash_rec->param) != 0)
        return job_failed(ctx, ctx->in_dev, "bd_hash_init");
    return 0;
}

int dd_modes_open_both(dd_ctx* ctx) {
    if (ctx->mode != DD_MODE_DIFF_HASH && ctx->mode != DD_MODE_SYNC) return 0;
    dd_diff_rec* d = ctx->diff_rec;
    char name[DD_URL_SIZE];
    if (d->in_param.hash_flag == 0) {
        uint64_t ia = 0, oa = 0;
        for (auto [dev, mask] : {std::pair{ctx->in_dev, &ia}, std::pair{ctx->out_dev, &oa}}) {
            if (bd_ioctl(dev, BLOCK_GET_HASH_ALGO, mask, sizeof *mask) < 0) {
                LOG2(LOG2_ERR, "dd_a", "bd_ioctl BLOCK_GET_HASH_ALGO [%s] error: %s\n",
                     dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
                return DD_FATAL;
            }
        }
        if ((ia & HASH_PXXH3) && (oa & HASH_PXXH3)) {
            d->in_param.hash_flag = HASH_PXXH3;
            LOG2(LOG2_DBG, "dd_a", "real_hash_mode=xxh3_128\n");
        } else {
            d->in_param.hash_flag = HASH_MD5;
            LOG2(LOG2_DBG, "dd_a", "real_hash_mode=md5\n");
        }
        d->out_param.hash_flag = d->in_param.hash_flag;
    }
    for (auto [dev, p] : {std::pair{ctx->in_dev, &d->in_param}, std::pair{ctx->out_dev, &d->out_param}}) {
        if (bd_hash_init(dev, p) != 0) {
            LOG2(LOG2_ERR, "dd_a", "bd_hash_init [%s] error: %s\n", dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
            return DD_FATAL;
        }
        if (bd_hash_bs_get(dev, nullptr, 0) != 0)
            LOG2(LOG2_ERR, "dd_a", "bd_hash_bs_get [%s] error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
                 bd_errmsg(dev));
    }
    return 0;
}

int dd_cal_errno(const dd_ctx*, bd_dev* dev) {
    int32_t code = bd_errno(dev);
    if (code == -258 || code == VERR_FILE_NOT_FOUND || code == VERR_DEV_IO_ERROR || code == VERR_DEV_IO_CRC)
        return DD_FATAL;
    if (code == VERR_EOF) return DD_NO_DATA;
    return DD_ERR_READ;
}

void dd_hash_fetch(dd_ctx* ctx) {
    dd_hash_rec* h = ctx->hash_rec;
    if (!h || !ctx->in_dev) return;
    for (uint32_t bit : k_fetch_order) {
        if (!(h->param.hash_flag & bit)) continue;
        size_t len = file_hash_digest_len(bit);
        if (bd_hash_get(ctx->in_dev, bit, h->digest[bit_index(bit)], len) == 0) h->fetched |= bit;
    }
}

int dd_hash_print(dd_ctx* ctx) {
    dd_hash_rec* h = ctx->hash_rec;
    if (!h) return 0;
    int missing = 0;
    for (const auto& p : k_print_order) {
        if (!(h->param.hash_flag & p.bit)) continue;
        if (!(h->fetched & p.bit)) {
            // Never print a digest that was not computed.
            LOG2(LOG2_ERR, "dd_a", "%s: the digest could not be fetched\n", p.name);
            missing = 1;
            continue;
        }
        char hex[129];
        size_t len = file_hash_digest_len(p.bit);
        const uint8_t* d = h->digest[bit_index(p.bit)];
        for (size_t i = 0; i < len; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
        os_console_printf(stderr, 2, "%s: %s\n", p.name, hex);
    }
    return missing;
}

void dd_bcount_print(dd_ctx* ctx) {
    if (!ctx->bcount_rec) return;
    char* table = file_bcount_ctx_table(ctx->bcount_rec->param.ctx);
    if (!table) return;
    fprintf(stderr, "%s\n", table);
    pl_free(table);
}
