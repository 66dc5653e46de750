// The block loop and the writer of every mode.
#include <algorithm>
#include <cstring>

#include "libdd/dd.h"
#include "libdd/dd_digest.h"
#include "libdd/dd_priv.h"
#include "liblog/log2.h"

namespace {

bool all_done(const dd_ctx* ctx) {
    if (ctx->in_end) return ctx->i_offset >= ctx->in_end;
    return ctx->count != static_cast<int64_t>(DD_ALL) &&
           ctx->records_in_full + ctx->records_in_part >= ctx->count;
}

// Writes the output buffer's obuf_fill bytes. After a failure the buffer
// keeps exactly the bytes that did not reach the output, so that a retry
// writes each byte once.
int write_obuf(dd_ctx* ctx) {
    uint64_t before = ctx->o_offset;
    int r = dd_write_and_stats(ctx, ctx->obuf, ctx->obuf_fill, 0);
    if (r < 0) {
        uint64_t done = std::min<uint64_t>(ctx->o_offset - before, ctx->obuf_fill);
        if (done > 0) {
            memmove(ctx->obuf, ctx->obuf + done, static_cast<size_t>(ctx->obuf_fill - done));
            ctx->obuf_fill -= done;
        }
        return r;
    }
    ctx->obuf_fill = 0;
    return 0;
}

// Re-blocks a step into output blocks of obs bytes; `taken`, when given,
// counts the bytes of the step that went into the buffer.
int write_reblocked(dd_ctx* ctx, const uint8_t* p, uint64_t len, uint64_t* taken = nullptr) {
    uint64_t obs = static_cast<uint64_t>(ctx->obs);
    // A buffer left full by a failed write goes out first.
    if (ctx->obuf_fill >= obs) {
        if (int r = write_obuf(ctx); r < 0) return r;
    }
    while (len > 0) {
        uint64_t take = std::min(len, obs - ctx->obuf_fill);
        memcpy(ctx->obuf + ctx->obuf_fill, p, static_cast<size_t>(take));
        ctx->obuf_fill += take;
        if (taken) *taken += take;
        p += take;
        len -= take;
        if (ctx->obuf_fill == obs) {
            if (int r = write_obuf(ctx); r < 0) return r;
        }
    }
    return 0;
}

// Puts the bytes [*at, *at + len) of the current step's output into the
// output buffer, skipping those that a failed write of the step already took
// (step_taken); *at moves on by len.
int put_step_bytes(dd_ctx* ctx, const uint8_t* p, uint64_t len, uint64_t* at) {
    const uint64_t start = *at;
    *at += len;
    if (ctx->step_taken >= start + len) return 0;
    const uint64_t skip = ctx->step_taken > start ? ctx->step_taken - start : 0;
    return write_reblocked(ctx, p + skip, len - skip, &ctx->step_taken);
}

// conv=swab: swaps each pair of the byte stream, as one stream across the
// steps; an odd byte waits for the first byte of the next step (or is
// written alone at the end of the input). The waiting byte changes only once
// the whole step is in the output buffer: a step read again after a failed
// write gives the same output bytes, and those already taken are skipped.
int write_swabbed(dd_ctx* ctx, uint8_t* p, uint64_t len) {
    if (len == 0) return 0;
    uint64_t at = 0;
    const bool held = ctx->swab_held != 0;
    if (held) {
        const uint8_t pair[2] = {p[0], ctx->swab_byte};
        if (int r = put_step_bytes(ctx, pair, 2, &at); r < 0) return r;
        ++p;
        --len;
    }
    const bool odd = (len & 1) != 0;
    const uint64_t even = len & ~1ull;
    for (uint64_t i = 0; i < even; i += 2) std::swap(p[i], p[i + 1]);
    if (int r = put_step_bytes(ctx, p, even, &at); r < 0) return r;
    ctx->step_taken = 0;
    ctx->swab_held = odd;
    if (odd) ctx->swab_byte = p[len - 1];
    return 0;
}

// The byte still waiting for its partner when the input ended: written as
// it is. A run that stops or fails keeps it back, so that the output holds
// only bytes in their final places and a resume starts at an even offset.
int write_swab_tail(dd_ctx* ctx) {
    if (!ctx->swab_held) return 0;
    uint64_t taken = 0;
    int r = write_reblocked(ctx, &ctx->swab_byte, 1, &taken);
    if (taken) ctx->swab_held = 0;
    return r;
}

// A fixed-size output (a disk, a partition) that has no room left.
bool output_full(const dd_ctx* ctx) {
    return ctx->need_out && ctx->out_size_type == BLOCK_SIZE_FIXED && ctx->out_size != 0 &&
           ctx->o_offset >= ctx->out_size;
}

void count_out(dd_ctx* ctx, uint64_t n) {
    ctx->o_offset += n;
    if (n == static_cast<uint64_t>(ctx->obs)) ctx->records_out_full++;
    else if (n > 0) ctx->records_out_part++;
    ctx->total_bytes += n;
}

// A write that took n of len bytes (n < 0: it failed outright). Only what
// was written counts; a short write that names no error of its own gets
// one, so that it never reads as success. The output's error code.
int32_t write_stopped_short(dd_ctx* ctx, int64_t n, uint64_t len) {
    if (n >= 0) {
        count_out(ctx, static_cast<uint64_t>(n));
        if (bd_errno(ctx->out_dev) == 0)
            BD_SET_ERR(ctx->out_dev, VERR_WRITE_ERROR, "short write: %lld of %llu bytes", static_cast<long long>(n),
                       static_cast<unsigned long long>(len));
    }
    return bd_errno(ctx->out_dev);
}

// The status of a failed write: a reader that went away (SIGPIPE) is a
// stop request, like the user's own.
int write_failure(dd_ctx* ctx, int32_t code) {
    if (code == VERR_BROKEN_PIPE || dd_stopped(ctx)) {
        dd_stop(ctx);
        return DD_STOPPED;
    }
    return dd_write_errno(ctx, code);
}

// The read-ahead lives exactly as long as one pass of the loop.
struct ahead_scope {
    dd_ctx* ctx;
    explicit ahead_scope(dd_ctx* c) : ctx(c) { dd_ahead_start(ctx); }
    ~ahead_scope() { dd_ahead_end(ctx); }
    ahead_scope(const ahead_scope&) = delete;
    ahead_scope& operator=(const ahead_scope&) = delete;
};

}  // namespace

int dd_write_errno(const dd_ctx* ctx, int32_t code) {
    if (ctx->out_scheme == 1 || code == VERR_DISK_FULL || code == VERR_NOT_IMPLEMENTED || code == VERR_FILE_NOT_FOUND ||
        code == -258)
        return DD_FATAL;
    return DD_ERR_WRITE;
}

int dd_write_and_stats(dd_ctx* ctx, const void* buf, uint64_t len, uint64_t zlen) {
    char shown[DD_URL_SIZE];
    if (ctx->mode == DD_MODE_COPY) {
        // A block the read-ahead already packed goes out as that record.
        const void* z = nullptr;
        int64_t packed = 0;
        int64_t n = zlen == 0 && dd_ahead_packed(ctx, buf, len, &z, &packed)
                        ? bd_write_packed(ctx->out_dev, z, static_cast<int64_t>(len), packed)
                        : bd_writez(ctx->out_dev, buf, static_cast<int64_t>(len), static_cast<int64_t>(zlen));
        if (n != static_cast<int64_t>(len)) {
            if (n >= 0 && (ctx->flags & (DD_F_ST_MD5 | DD_F_ST_SHA1)))
                dd_digest_feed(ctx->wdigest, buf, static_cast<size_t>(n));
            const int32_t code = write_stopped_short(ctx, n, len);
            LOG2(LOG2_ERR, "dd_a", "writing '%s' offset=%lli len=%d eno=%d error: %s\n",
                 dd_side_name(ctx, ctx->out_dev, shown, sizeof shown), static_cast<long long>(ctx->o_offset),
                 static_cast<int>(len), code, bd_errmsg(ctx->out_dev));
            return write_failure(ctx, code);
        }
    }
    if (ctx->mode == DD_MODE_CLEAR) {
        int64_t n = bd_pwritex(ctx->out_dev, ctx->clear_rec->value, static_cast<int64_t>(len),
                               static_cast<int64_t>(ctx->o_offset));
        if (n != static_cast<int64_t>(len)) {
            const int32_t code = write_stopped_short(ctx, n, len);
            LOG2(LOG2_ERR, "dd_a", "pwritex [%s] offset=%lli mode=%x eno=%d error: %s\n",
                 dd_side_name(ctx, ctx->out_dev, shown, sizeof shown), static_cast<long long>(ctx->o_offset),
                 ctx->clear_rec->value, code, bd_errmsg(ctx->out_dev));
            return write_failure(ctx, code);
        }
    }
    if ((ctx->flags & DD_F_FSYNC) && ctx->need_out && ctx->mode != DD_MODE_HASH && ctx->mode != DD_MODE_BCOUNT &&
        bd_sync(ctx->out_dev) < 0) {
        LOG2(LOG2_ERR, "dd_a", "sync [%s] error: %s\n", dd_side_name(ctx, ctx->out_dev, shown, sizeof shown),
             bd_errmsg(ctx->out_dev));
        return dd_write_errno(ctx, bd_errno(ctx->out_dev));
    }
    if (ctx->mode == DD_MODE_COPY && (ctx->flags & (DD_F_ST_MD5 | DD_F_ST_SHA1)))
        dd_digest_feed(ctx->wdigest, buf, static_cast<size_t>(len));
    count_out(ctx, len);
    return 0;
}

// After a block of len bytes: its record, the progress line and the duty
// cycle's rest. 0, or the rest's negative status.
static int block_done(dd_ctx* ctx, uint64_t len, uint64_t ibs) {
    if (len == ibs) ctx->records_in_full++;
    else ctx->records_in_part++;
    ctx->retry_fails = 0;
    if (!(ctx->flags & DD_F_ST_NONE)) dd_print_progress(ctx, ctx->count, -1, -1);
    if (!ctx->cool_down_work) return 0;
    int c = dd_cool_down(ctx);
    return c < 0 ? c : 0;
}

int dd_work_imp(dd_ctx* ctx) {
    int r = 0;
    const uint64_t ibs = static_cast<uint64_t>(ctx->ibs);
    ahead_scope ahead(ctx);
    while (true) {
        if (all_done(ctx)) break;
        if (dd_stopped(ctx)) {
            r = DD_STOPPED;
            break;
        }
        if (ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN || ctx->mode == DD_MODE_SYNC) {
            int d = diff_sync(ctx);
            if (d < 0) return d;
            if (d == 1) break;  // both sides ended
            if (int c = block_done(ctx, ctx->diff_rec->step_len, ibs); c < 0) return c;
            continue;
        }
        if (ctx->mode == DD_MODE_CLEAR) {
            uint64_t len = ibs;
            if (ctx->out_size != 0)
                len = std::min<uint64_t>(ibs, ctx->out_size > ctx->o_offset ? ctx->out_size - ctx->o_offset : 0);
            if (len == 0) break;
            int w = dd_write_and_stats(ctx, nullptr, len, 0);
            if (w < 0) return w;
            ctx->i_offset += len;
            if (int c = block_done(ctx, len, ibs); c < 0) return c;
            continue;
        }
        uint64_t zlen = 0;
        int64_t n = dd_read_imp(ctx, &zlen);
        if (n == 0) {
            if (dd_stopped(ctx)) {
                r = DD_STOPPED;
                break;
            }
            if (ctx->count == static_cast<int64_t>(DD_ALL) || all_done(ctx)) break;
            if (output_full(ctx)) {
                char shown[DD_URL_SIZE];
                LOG2(LOG2_ERR, "dd_a", "writing '%s' offset=%lli error: %s\n",
                     dd_side_name(ctx, ctx->out_dev, shown, sizeof shown), static_cast<long long>(ctx->o_offset),
                     verr2str(VERR_DISK_FULL));
                r = DD_FATAL;
                break;
            }
            LOG2(LOG2_ERR, "dd_a", "Unread completed\n");
            r = DD_FATAL;
            break;
        }
        if (n == DD_STOPPED) {
            r = DD_STOPPED;  // the pending output block is still written
            break;
        }
        if (n < 0) return static_cast<int>(n);
        uint64_t len = static_cast<uint64_t>(n);
        uint64_t wlen = len;
        if (len < ibs && (ctx->flags & DD_F_SYNC) && ctx->mode == DD_MODE_COPY) {
            memset(ctx->ibuf + len, 0, static_cast<size_t>(ibs - len));
            wlen = ibs;
        }
        int w;
        if ((ctx->flags & DD_F_SWAB) && ctx->mode == DD_MODE_COPY) {
            w = write_swabbed(ctx, ctx->ibuf, wlen);
        } else if (ctx->flags & DD_F_OBUF) {
            // A step read again after a failed write skips what the buffer already took of it.
            uint64_t from = std::min(ctx->step_taken, wlen);
            w = write_reblocked(ctx, ctx->ibuf + from, wlen - from, &ctx->step_taken);
            if (w == 0) ctx->step_taken = 0;
        } else {
            w = dd_write_and_stats(ctx, ctx->ibuf, wlen, zlen);
        }
        if (w < 0) return w;
        ctx->i_offset += len;
        if (int c = block_done(ctx, len, ibs); c < 0) return c;
    }
    if (r == 0) {
        if (int w = write_swab_tail(ctx); w < 0) r = w;
    }
    if (ctx->obuf_fill) {
        if (int w = write_obuf(ctx); w < 0) r = w;
    }
    // The copy is complete when every step ran or, without a count, the input ended.
    if (ctx->mode == DD_MODE_COPY && r == 0 && (ctx->count == static_cast<int64_t>(DD_ALL) || all_done(ctx)))
        bd_ioctl(ctx->out_dev, BLOCK_FINISH, nullptr, 0);
    if (ctx->mode == DD_MODE_HASH) dd_hash_fetch(ctx);
    // The output ends where the input ended; a run limited by "count" leaves
    // the rest of the output as it was. The cut only ever shortens: an
    // unread tail of the input is never made up of zero bytes.
    if (ctx->mode == DD_MODE_SYNC && r == 0 && !(ctx->flags & DD_F_COUNT) &&
        ctx->out_size_type == BLOCK_SIZE_EXTENSIBLE && bd_size(ctx->out_dev) > static_cast<int64_t>(ctx->o_offset) &&
        bd_truncate(ctx->out_dev, static_cast<int64_t>(ctx->o_offset)) != 0) {
        char name[DD_URL_SIZE];
        LOG2(LOG2_ERR, "dd_a", "truncate [%s] error: %s\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name),
             bd_errmsg(ctx->out_dev));
        r = dd_write_errno(ctx, bd_errno(ctx->out_dev));
    }
    return r;
}
