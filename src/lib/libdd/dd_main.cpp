// The engine's lifecycle: set-up, the worker thread's frame, stop and close.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "libdd/dd.h"
#include "libdd/dd_digest.h"
#include "libdd/dd_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/hash/file_hash.h"
#include "libpal/network/url.h"
#include "libpal/os/posix/os_system.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

std::atomic<bool> g_global_done{false};

void release(dd_ctx* ctx, bool records);

constexpr int64_t k_bs_warn = 0x8000000;  // 128 MiB

const char* mode_name(uint32_t mode) {
    switch (mode) {
    case DD_MODE_CLEAR: return "clear_mode";
    case DD_MODE_HASH: return "hash_mode";
    case DD_MODE_DIFF:
    case DD_MODE_DIFF_HASH:
    case DD_MODE_DIFF_BIN: return "diff_mode";
    case DD_MODE_SYNC: return "sync_mode";
    case DD_MODE_BCOUNT: return "bcount_mode";
    default: return "copy";
    }
}

// One line of the run's settings, logged as the worker's own.
template <typename... A>
void mode_line(const char* fmt, A... args) {
    log2_printf(nullptr, LOG2_DBG, "dd_a", __FILE__, __LINE__, "dd_work_thread", fmt, args...);
}

// The settings of the run's mode, at dbg level.
void log_mode_lines(const dd_ctx* ctx) {
    switch (ctx->mode) {
    case DD_MODE_CLEAR:
        if (ctx->clear_rec->value > 0xff) mode_line("%s", "clear_chr=[RANDOM]\n");
        else mode_line("clear_chr=[%02X]\n", static_cast<unsigned>(ctx->clear_rec->value));
        mode_line("bs_count=[%d]\n", ctx->clear_rec->bs_count);
        break;
    case DD_MODE_HASH: {
        const char* names = file_hash_flag_str(ctx->hash_rec->param.hash_flag);
        mode_line("hash_mode=[%s]\n", names ? names : "");
        mode_line("bs_count=[%d]\n", ctx->hash_rec->bs_count);
        mode_line("use_thread_pool=[%d]\n", ctx->hash_rec->param.thread);
        break;
    }
    case DD_MODE_BCOUNT:
        mode_line("%s", "bcount_mode=[byte]\n");
        mode_line("bs_count=[%d]\n", ctx->bcount_rec->bs_count);
        mode_line("use_thread_pool=[%d]\n", ctx->bcount_rec->param.thread);
        break;
    case DD_MODE_DIFF_HASH:
    case DD_MODE_SYNC: {
        const dd_diff_rec* d = ctx->diff_rec;
        const char* names = d->hash_auto ? "auto" : file_hash_flag_str(d->in_param.hash_flag);
        mode_line("diff_mode=[%s]\n", names ? names : "");
        mode_line("max_diff=[%d]\n", d->max_count);
        mode_line("bs_count=[%d]\n", d->bs_count);
        mode_line("use_thread_pool=[%d]\n", d->in_param.thread);
        break;
    }
    case DD_MODE_DIFF_BIN:
        mode_line("%s", "diff_mode=[bin]\n");
        mode_line("max_diff=[%d]\n", ctx->diff_rec->max_count);
        break;
    default: break;
    }
}

}  // namespace

int dd_global_init() {
    if (!g_global_done.exchange(true)) bd_init2();
    return 0;
}

int dd_global_exit() {
    bd_exit2();
    return 0;
}

int dd_env_init() { return dd_global_init(); }

dd_ctx* dd_open() {
    void* mem = pl_zalloc(sizeof(dd_ctx));
    if (!mem) return nullptr;
    return new (mem) dd_ctx();
}

void dd_url_add_proxy(const char* name, const dd_opts* opts, char* out) {
    if (str_safecopy(out, DD_URL_SIZE, name) != 0) return;
    if (url_scheme_type(out) == 1) return;
    if (opts->proxy && *opts->proxy) {
        url_set_query_str(out, "proxy", opts->proxy);
    } else if (opts->proxy_url && *opts->proxy_url) {
        url_set_query_base64url(out, "proxy_url", opts->proxy_url);
    }
}

int dd_work(dd_ctx* ctx, const dd_opts* o) {
    if (o->ibs < 1) {
        LOG2(LOG2_ERR, "dd_a", "ibs=%lli error range: [1-%lli]\n", static_cast<long long>(o->ibs), 9223372036854775807ll);
        return 1;
    }
    if (o->obs < 1) {
        LOG2(LOG2_ERR, "dd_a", "obs=%lli error range: [1-%lli]\n", static_cast<long long>(o->obs), 9223372036854775807ll);
        return 1;
    }
    const char* in = o->in_name ? o->in_name : "/dev/stdin";
    const char* out = o->out_name ? o->out_name : "/dev/stdout";
    dd_url_add_proxy(in, o, ctx->in_url);
    dd_url_add_proxy(out, o, ctx->out_url);
    if (!ctx->in_url[0] || !ctx->out_url[0]) {
        LOG2(LOG2_ERR, "dd_a", "device name too long\n");
        return 1;
    }
    url_mask_password(ctx->out_url, ctx->out_shown, sizeof ctx->out_shown);
    ctx->in_scheme = static_cast<uint32_t>(url_scheme_type(ctx->in_url));
    ctx->out_scheme = static_cast<uint32_t>(url_scheme_type(ctx->out_url));

    // A compare by digests as asked is one as run.
    ctx->mode = o->mode == DD_MODE_DIFF ? DD_MODE_DIFF_HASH : o->mode;
    ctx->flags = o->flags;
    ctx->count = (o->flags & DD_F_COUNT) ? static_cast<int64_t>(o->count) : static_cast<int64_t>(DD_ALL);
    ctx->seek = o->seek;
    ctx->skip = o->skip;
    ctx->retry_mode = o->retry_mode;
    ctx->disable_os_hibernate = o->disable_os_hibernate;
    ctx->disable_pack_transport = o->disable_pack_transport;
    ctx->cool_down_work = o->cool_down_work;
    ctx->cool_down_rest = o->cool_down_rest;
    ctx->start_ms = os_mono_ms();
    ctx->ibs = o->ibs;
    ctx->obs = o->obs;
    if (ctx->flags & DD_F_OFF_BLOCKS) ctx->flags &= ~(DD_F_SKIP_BYTES | DD_F_SEEK_BYTES);
    ctx->need_in = ctx->need_out = 1;
    if (ctx->mode == DD_MODE_CLEAR) {
        ctx->clear_rec = static_cast<dd_clear_rec*>(pl_zalloc(sizeof(dd_clear_rec)));
        if (!ctx->clear_rec) {
            LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", static_cast<unsigned>(sizeof(dd_clear_rec)));
            return 1;
        }
        ctx->clear_rec->value = o->clear_mode;
        ctx->clear_rec->unit = static_cast<uint64_t>(o->ibs);
        ctx->clear_rec->bs_count = o->bs_count > 0 ? o->bs_count : 1;
        int64_t step;
        if (__builtin_mul_overflow(static_cast<int64_t>(o->ibs), static_cast<int64_t>(ctx->clear_rec->bs_count), &step) ||
            step > INT32_MAX) {
            LOG2(LOG2_ERR, "dd_a", "ibs=%lli error range: [1-%lli]\n", static_cast<long long>(step),
                 static_cast<long long>(INT32_MAX));
            return 1;
        }
        ctx->ibs = ctx->obs = step;
        ctx->need_in = 0;
    }
    if (dd_modes_setup(ctx, o) != 0) {
        LOG2(LOG2_ERR, "dd_a", "%s: set-up failed\n", mode_name(ctx->mode));
        return 1;
    }

    if (ctx->flags & DD_F_BAD_READ) {
        ctx->bad_retry_count = o->bad_retry_count ? o->bad_retry_count : 1;
        ctx->bad_skip_sectors = o->bad_skip_sectors ? o->bad_skip_sectors : 128;
        memcpy(ctx->bad_fill_str, o->bad_fill_str, sizeof ctx->bad_fill_str);
        LOG2(LOG2_VERB, "dd_a", "ctx->bad_skip_sectors=%d ctx->bad_fill_str=[%s]\n", ctx->bad_skip_sectors,
             ctx->bad_fill_str);
    }

    if (ctx->retry_mode == 2) {
        ctx->retry_open = o->retry_open ? o->retry_open : 1;
        ctx->retry_delay = o->retry_delay_seconds ? o->retry_delay_seconds : 1;
    } else if (ctx->retry_mode == 1) {
        uint64_t minutes = o->retry_timeout_minutes ? o->retry_timeout_minutes : 1;
        ctx->retry_timeout_ms = static_cast<int64_t>(minutes * 60000);
        uint64_t delay = o->retry_delay_seconds ? o->retry_delay_seconds : 5;
        ctx->retry_delay = static_cast<uint32_t>(delay < minutes * 60 ? delay : minutes * 60);
    }

    if (ctx->mode == DD_MODE_COPY || ctx->mode == DD_MODE_DIFF_BIN) {
        ctx->ibuf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(ctx->ibs), k_page));
        if (!ctx->ibuf) {
            LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", static_cast<unsigned>(ctx->ibs));
            return 1;
        }
        ctx->ibuf_size = static_cast<uint64_t>(ctx->ibs);
    }
    ctx->obuf = ctx->ibuf;
    // Swapped bytes go through the output buffer: an odd byte moves into the next block.
    if (ctx->mode == DD_MODE_COPY && (ctx->ibs != ctx->obs || (ctx->flags & DD_F_SWAB))) {
        ctx->flags |= DD_F_OBUF;
        ctx->obuf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(ctx->obs), k_page));
        if (!ctx->obuf) {
            LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", static_cast<unsigned>(ctx->obs));
            return 1;
        }
    }
    if (ctx->ibs >= k_bs_warn)
        LOG2(LOG2_ERR, "dd_a", "warn: bs=%u is too large, timeout error may occur\n", static_cast<unsigned>(ctx->ibs));

    bool failed = false;
    // Only a copy has written data to digest.
    if (ctx->mode != DD_MODE_COPY) ctx->flags &= ~(DD_F_ST_MD5 | DD_F_ST_SHA1);
    ctx->wdigest = dd_digest_start(ctx->flags & DD_F_ST_MD5, ctx->flags & DD_F_ST_SHA1, &failed);
    if (failed) {
        LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", 0u);
        return 1;
    }
    dd_crypt_init(&ctx->crypt);

    ctx->worker = os_thread_init2("dd_work", &dd_work_thread, ctx, 0, o->thread_attr);
    if (!ctx->worker) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "dd_a", "os_thread_init error: ");
        return 1;
    }
    return 0;
}

int32_t dd_work_thread(void* arg) {
    auto* ctx = static_cast<dd_ctx*>(arg);
    // Keep the machine awake for the run; on this platform the hooks have
    // nothing to do, but they are the place for it.
    if (ctx->disable_os_hibernate) LOG2(LOG2_DBG, "dd_a", "os_hibernate_disable ret=%d\n", os_hibernate_disable());
    ctx->running = 1;
    int r;
    while (true) {
        r = dd_init_in_out3(ctx);
        if (r == 0) {
            LOG2(LOG2_DBG, "dd_a", "cool_down=[%d-%d]\n", static_cast<int>(ctx->cool_down_work / 60000),
                 static_cast<int>(ctx->cool_down_rest / 60000));
            LOG2(LOG2_DBG, "dd_a", "ctx->ibs:%u ctx->obs:%u\n", static_cast<unsigned>(ctx->ibs),
                 static_cast<unsigned>(ctx->obs));
            LOG2(LOG2_DBG, "dd_a", "ctx->count: %lli\n", static_cast<long long>(ctx->count));
            log_mode_lines(ctx);
            LOG2(LOG2_VERB, "dd_a", "start...\n");
            ctx->cool_start_ms = os_mono_ms();
            r = dd_work_imp(ctx);
        }
        LOG2(LOG2_DBG, "dd_a", "ret=%d\n", r);
        dd_close_devices(ctx);
        if (!dd_retry_decide(ctx, r)) break;
    }
    bool whole = r == 0;
    // A compare that ran to its end answers with its verdict.
    if (whole && (ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN)) r = dd_diff_print(ctx, false);
    // A sync that could not read some of the input has not made the output
    // the input: it ends as a failed read.
    if (whole && ctx->mode == DD_MODE_SYNC && ctx->unread_in > 0) r = dd_unread_result(ctx);
    // A hash run whose digests cannot all be had has not succeeded.
    if (r == 0 && ctx->hash_rec && (ctx->hash_rec->fetched & ctx->hash_rec->param.hash_flag) != ctx->hash_rec->param.hash_flag) {
        LOG2(LOG2_ERR, "dd_a", "hash_mode: not every digest could be fetched\n");
        r = DD_FATAL;
    }
    ctx->running = 0;
    // A stop ends the run as stopped wherever it was noticed.
    if (dd_stopped(ctx) && r < 0 && r != DD_DIFF && r != DD_DIFF_LEN) r = DD_STOPPED;
    if (ctx->diff_rec && !whole && r != DD_DIFF && r != DD_DIFF_LEN) ctx->diff_rec->incomplete = 1;
    if (!(ctx->flags & DD_F_ST_NONE)) dd_print_stat(ctx, r);
    release(ctx, false);
    if (ctx->disable_os_hibernate) LOG2(LOG2_DBG, "dd_a", "os_hibernate_restore ret=%d\n", os_hibernate_restore());
    LOG2(LOG2_DBG, "dd_a", "ret=%d <==\n", r);
    return r;
}

int dd_wait_stop(dd_ctx* ctx) {
    int32_t result = 0;
    // Looked at in slices, so that a stop request starts the bounded part.
    constexpr uint32_t k_slice_ms = 100;
    uint64_t stop_seen = 0;
    int rc = -1;
    while (ctx->worker && (rc = os_thread_wait(ctx->worker, k_slice_ms, &result)) != 0) {
        if (ctx->worker->finished.load()) break;  // ended, but the join failed
        if (!dd_stopped(ctx)) continue;
        uint64_t now = os_mono_ms();
        if (stop_seen == 0) stop_seen = now;
        if (now - stop_seen < DD_STOP_GRACE_MS) continue;
        LOG2(LOG2_ERR, "dd_a", "the worker did not end within %u ms of the stop request: it is left behind\n",
             DD_STOP_GRACE_MS);
        ctx->abandoned = 1;
        return -DD_STOPPED;
    }
    if (rc != 0) {
        LOG2(LOG2_DBG, "dd_a", "os_thread_wait ret=%d\n", rc);
        return 0;
    }
    LOG2(LOG2_DBG, "dd_a", "os_thread_wait retval=%d\n", result);
    return -result;
}

int dd_stop(dd_ctx* ctx) {
    if (!ctx) return 0;
    ctx->in_stop.stop.store(1);
    ctx->out_stop.stop.store(1);
    ctx->flags.fetch_or(DD_F_STOP);
    return 0;
}

int dd_is_running(const dd_ctx* ctx) { return static_cast<int>(ctx->running.load()); }

int dd_stop_check(const dd_ctx* ctx) { return dd_stopped(ctx) ? DD_STOPPED : 0; }

namespace {

// Closes the devices and frees the buffers; the mode records and the
// digests of the written data too, unless a summary may still read them: at
// the worker's own end SIGUSR1 can come until the command takes its handler
// away.
void release(dd_ctx* ctx, bool records) {
    LOG2(LOG2_VERB, "dd_a", "==>\n");
    dd_close_devices(ctx);
    if (ctx->obuf && ctx->obuf != ctx->ibuf) pl_aligned_free(ctx->obuf);
    pl_aligned_free(ctx->ibuf);
    ctx->ibuf = ctx->obuf = nullptr;
    dd_crypt_free(&ctx->crypt);
    if (records) {
        dd_digest_stop(ctx->wdigest);
        ctx->wdigest = nullptr;
        pl_free(ctx->clear_rec);
        ctx->clear_rec = nullptr;
        dd_modes_free(ctx);
    }
    LOG2(LOG2_VERB, "dd_a", "<==\n");
}

}  // namespace

void dd_close_now(dd_ctx* ctx) { release(ctx, true); }

int dd_close(dd_ctx* ctx) {
    if (!ctx) return 0;
    LOG2(LOG2_VERB, "dd_a", "==>\n");
    dd_stop(ctx);
    if (dd_abandoned(ctx)) {
        // The worker still runs and uses the context: it stays.
        LOG2(LOG2_ERR, "dd_a", "the worker is left behind: its context stays in memory\n");
        return -1;
    }
    if (ctx->worker) {
        LOG2(LOG2_VERB, "dd_a", "for_wait==>\n");
        for (int i = 0; i < 10 && ctx->running.load(); ++i) os_msleep(100);
        if (ctx->running.load()) LOG2(LOG2_DBG, "dd_a", "wait thread exit timeout\n");
        // The worker was asked to stop: it gets a bounded time, never a kill.
        int rc = os_thread_join_or_leave(ctx->worker, DD_STOP_GRACE_MS, nullptr);
        ctx->worker = nullptr;
        if (rc != 0) {
            ctx->abandoned = 1;
            LOG2(LOG2_ERR, "dd_a", "the worker is left behind: its context stays in memory\n");
            return -1;
        }
    }
    dd_close_now(ctx);
    if (ctx->devices_kept.load()) {
        LOG2(LOG2_ERR, "dd_a", "a job thread is left behind: the context stays in memory\n");
        return -1;
    }
    ctx->~dd_ctx();
    pl_free(ctx);
    LOG2(LOG2_VERB, "dd_a", "<==\n");
    return 0;
}
