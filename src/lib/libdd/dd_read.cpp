// Reading blocks: failures classified, media errors zero-filled or re-read
// chunk by chunk and sector by sector.
#include <algorithm>
#include <cstring>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/network/url.h"
#include "liblog/log2.h"

namespace {

// Fills an unreadable piece with the 32-byte fill pattern (whole groups only).
void fill_pattern(const dd_ctx* ctx, uint8_t* p, int64_t len) {
    memset(p, 0, static_cast<size_t>(len));
    for (int64_t i = 0; i + 32 <= len; i += 32) memcpy(p + i, ctx->bad_fill_str, 32);
}

// Reads one sector-sized piece at its own offset, with up to bad_retry_count
// tries; what stays unreadable gets the fill pattern. 0, or a worker result.
int read_sector(dd_ctx* ctx, bd_dev* dev, uint8_t* p, int64_t len, uint64_t off, uint32_t ss, dd_holes* holes) {
    for (uint32_t t = 0; t < ctx->bad_retry_count; ++t) {
        int64_t n = bd_pread(dev, p, len, static_cast<int64_t>(off));
        if (n == len) return 0;
        if (n >= 0) {
            // A sector that comes back short holds no trustworthy bytes.
            BD_SET_ERR(dev, VERR_DEV_IO_ERROR, "short sector read: %lld of %lld bytes", static_cast<long long>(n),
                       static_cast<long long>(len));
        }
        LOG2(LOG2_ERR, "dd_a", "read s_offset=%lli bs=%d errno=%d error: %s\n", static_cast<long long>(off / ss),
             static_cast<int>(ss), bd_errno(dev), bd_errmsg(dev));
        if (!bd_media_error(bd_errno(dev))) break;
        if (dd_stopped(ctx)) return DD_STOPPED;
    }
    if (!bd_media_error(bd_errno(dev))) return dd_side_fatal(ctx, dev);
    fill_pattern(ctx, p, len);
    if (dev == ctx->in_dev) ctx->bad_bytes += static_cast<uint64_t>(len);
    (dev == ctx->in_dev ? ctx->unread_in : ctx->unread_out) += static_cast<uint64_t>(len);
    if (holes) dd_holes_add(holes, off, static_cast<uint64_t>(len));
    return 0;
}

// The damaged block at `off`: chunk by chunk, each at its own offset; a chunk
// that fails or comes back short is walked sector by sector.
int chunk_walk(dd_ctx* ctx, bd_dev* dev, uint8_t* buf, int64_t len, uint64_t off, dd_holes* holes) {
    uint32_t ss = dd_side_sector_size(ctx, dev);
    int64_t chunk = std::max<int64_t>(ctx->bad_chunk, ss);
    int64_t done = 0;
    while (done < len) {
        int64_t want = std::min(chunk, len - done);
        uint64_t at = off + static_cast<uint64_t>(done);
        int64_t n = bd_pread(dev, buf + done, want, static_cast<int64_t>(at));
        if (n < 0 && !bd_media_error(bd_errno(dev))) {
            char name[DD_URL_SIZE];
            LOG2(LOG2_ERR, "dd_a", "read [%s] offset=%lli bs=%d errno=%d error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
                 static_cast<long long>(at), static_cast<int>(want), bd_errno(dev), bd_errmsg(dev));
            return dd_side_fatal(ctx, dev);
        }
        if (n != want) {
            for (int64_t s = 0; s < want; s += ss) {
                int64_t piece = std::min<int64_t>(ss, want - s);
                int r = read_sector(ctx, dev, buf + done + s, piece, at + static_cast<uint64_t>(s), ss, holes);
                if (r != 0) return r;
                if (dd_stopped(ctx)) return DD_STOPPED;
            }
        }
        if (dd_stopped(ctx)) return DD_STOPPED;
        done += want;
        if (!(ctx->flags & DD_F_ST_NONE)) dd_print_progress(ctx, ctx->count, static_cast<int64_t>(off), -1);
    }
    return 0;
}

// A hash or byte-count step: the device's job reads and computes the range.
int64_t cal_step(dd_ctx* ctx, int64_t len) {
    bool hash = ctx->mode == DD_MODE_HASH;
    int rc = hash ? bd_hash_cal(ctx->in_dev, static_cast<int64_t>(ctx->i_offset), len, ctx->hash_rec->param.ctx,
                                sizeof ctx->hash_rec->param.ctx)
                  : bd_count_cal(ctx->in_dev, static_cast<int64_t>(ctx->i_offset), len, ctx->bcount_rec->param.ctx,
                                 sizeof ctx->bcount_rec->param.ctx);
    if (rc == 0) return bd_cal_len(ctx->in_dev);
    if (dd_stopped(ctx)) return DD_STOPPED;
    // The end of an input of unknown length is the end of the input, as
    // for a copy's read: the loop decides whether the run is complete (no
    // count, or the count reached) or ended before the count. An input of
    // known size that runs out early stays a failure of the job.
    if (bd_errno(ctx->in_dev) == VERR_EOF && ctx->in_size == 0) return 0;
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", hash ? "bd_hash_cal [%s] offset=%lld error: %s\n" : "bd_count_cal [%s] offset=%lld error: %s\n",
         dd_side_name(ctx, ctx->in_dev, name, sizeof name),
         static_cast<long long>(dd_cal_fail_offset(ctx->in_dev, ctx->i_offset)), bd_errmsg(ctx->in_dev));
    return dd_cal_errno(ctx, ctx->in_dev);
}

}  // namespace

int64_t dd_cal_fail_offset(const bd_dev* dev, uint64_t step_off) {
    int64_t at = bd_cal_fail_off(dev);
    return at >= 0 ? at : static_cast<int64_t>(step_off);
}

int dd_read_errno(int32_t code) {
    if (code == -258 || code == VERR_FILE_NOT_FOUND) return DD_FATAL;
    if (bd_media_error(code)) return 0;
    return DD_ERR_READ;
}

int dd_noerror_errno(uint32_t scheme, int32_t code) {
    if (code == VERR_FILE_NOT_FOUND || code == -258 || code == VERR_NOT_IMPLEMENTED || scheme == 1) return DD_FATAL;
    return DD_ERR_READ;
}

void dd_holes_add(dd_holes* h, uint64_t off, uint64_t len) {
    if (len == 0) return;
    // Neighbours found one after the other make one range.
    if (!h->list.empty() && h->list.back().off + h->list.back().len == off) {
        h->list.back().len += len;
        return;
    }
    h->list.push_back({off, len});
}

int dd_unread_result(const dd_ctx* ctx) {
    uint32_t scheme = ctx->unread_in > 0 ? ctx->in_scheme : ctx->out_scheme;
    return scheme == 1 ? DD_FATAL : DD_ERR_READ;
}

static int64_t preadz(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off, uint64_t* zlen, dd_holes* holes) {
    char name[DD_URL_SIZE];
    int64_t z = 0;
    const char* call = zlen ? "bd_readz" : "bd_pread";
    // A packed record may be longer than its block: the driver is given the
    // whole buffer, while the step (and any fill after an error) stays `len`.
    int64_t cap = zlen && ctx->pack.on && buf == ctx->ibuf ? std::max<int64_t>(len, static_cast<int64_t>(ctx->ibuf_size)) : len;
    int64_t n = !zlen                                     ? bd_pread(dev, buf, len, static_cast<int64_t>(off))
                : dev == ctx->in_dev && ctx->in_positioned ? bd_preadz(dev, buf, cap, &z, static_cast<int64_t>(off))
                                                           : bd_readz(dev, buf, cap, &z);
    if (zlen) *zlen = static_cast<uint64_t>(z);
    if (n == 0) {
        // The end of a stream, or of a side at or past its known size, is the
        // normal end of the data; nothing where the size says there is more
        // is worth a warning.
        uint64_t size = dev == ctx->in_dev ? ctx->in_size : ctx->out_size;
        bool at_end = size == 0 || off >= size;
        LOG2(at_end ? LOG2_DBG : LOG2_WARN, "dd_a", "%s rlen=%u ret=0 error\n", call, static_cast<unsigned>(len));
        return 0;
    }
    if (n > len) {
        LOG2(LOG2_ERR, "dd_a", "%s req_len=%d ret=%d ret>reqlen\n", call, static_cast<int>(len), static_cast<int>(n));
        return DD_FATAL;
    }
    if (n > 0) return n;

    if (dd_stopped(ctx)) return DD_STOPPED;
    int32_t code = bd_errno(dev);
    LOG2(LOG2_ERR, "dd_a", "read [%s] offset=%lli bs=%d errno=%d error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
         static_cast<long long>(off), static_cast<int>(len), code, bd_errmsg(dev));
    uint32_t scheme = dev == ctx->in_dev ? ctx->in_scheme : ctx->out_scheme;
    if (ctx->flags & DD_F_NOERROR) return dd_noerror_errno(scheme, code);
    int r = dd_read_errno(code);
    if (r != 0) return r;
    if (!(ctx->flags & DD_F_BAD_READ)) {
        memset(buf, 0, static_cast<size_t>(len));
        (dev == ctx->in_dev ? ctx->unread_in : ctx->unread_out) += static_cast<uint64_t>(len);
        if (holes) dd_holes_add(holes, off, static_cast<uint64_t>(len));
    } else {
        r = chunk_walk(ctx, dev, static_cast<uint8_t*>(buf), len, off, holes);
        if (r != 0) return r;
    }
    if (zlen && ctx->pack.on) *zlen = 0;
    if (bd_seek(dev, static_cast<int64_t>(off + static_cast<uint64_t>(len))) != 0) {
        LOG2(LOG2_ERR, "dd_a", "lseek [%s] error: %s\n", dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
        return dd_side_fatal(ctx, dev);
    }
    return len;
}

int64_t dd_preadz_imp(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off, uint64_t* zlen) {
    return preadz(ctx, dev, buf, len, off, zlen, nullptr);
}

int64_t dd_pread(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off) {
    return preadz(ctx, dev, buf, len, off, nullptr, nullptr);
}

int64_t dd_pread_holes(dd_ctx* ctx, bd_dev* dev, void* buf, int64_t len, uint64_t off, dd_holes* holes) {
    return preadz(ctx, dev, buf, len, off, nullptr, holes);
}

int64_t dd_read_imp(dd_ctx* ctx, uint64_t* zlen) {
    int64_t len = ctx->ibs;
    if (ctx->in_end) {
        len = std::min<int64_t>(len, static_cast<int64_t>(ctx->in_end > ctx->i_offset ? ctx->in_end - ctx->i_offset : 0));
    } else if (ctx->count != static_cast<int64_t>(DD_ALL) && ctx->in_size != 0) {
        len = std::min<int64_t>(len, static_cast<int64_t>(ctx->in_size > ctx->i_offset ? ctx->in_size - ctx->i_offset : 0));
    }
    // A fixed-size output takes no more than it holds.
    if (ctx->need_out && ctx->out_size_type == BLOCK_SIZE_FIXED && !(ctx->flags & DD_F_OBUF) && ctx->out_size != 0)
        len = std::min<int64_t>(len, static_cast<int64_t>(ctx->out_size > ctx->o_offset ? ctx->out_size - ctx->o_offset : 0));
    if (len <= 0) return 0;
    if (ctx->mode == DD_MODE_HASH || ctx->mode == DD_MODE_BCOUNT) return cal_step(ctx, len);
    int64_t n = ctx->ahead ? dd_ahead_take(ctx, len) : 0;
    if (n < 0) return n;
    if (n > 0) {
        if (zlen) *zlen = 0;
    } else {
        n = dd_preadz_imp(ctx, ctx->in_dev, ctx->ibuf, len, ctx->i_offset, zlen);
    }
    if (n > 0 && ctx->crypt.cipher && dd_crypt_block(&ctx->crypt, ctx->ibuf, static_cast<uint64_t>(n)) != 0) {
        LOG2(LOG2_ERR, "dd_a", "cipher of %lld bytes at %lli failed\n", static_cast<long long>(n),
             static_cast<long long>(ctx->i_offset));
        return DD_FATAL;
    }
    return n;
}
