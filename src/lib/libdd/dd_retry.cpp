// The retry decision after a failed pass, and the helpers of both sides.
#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/network/url.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

void dd_close_devices(dd_ctx* ctx) {
    char name[DD_URL_SIZE];
    for (bd_dev** d : {&ctx->in_dev, &ctx->out_dev}) {
        if (!*d) continue;
        dd_side_name(ctx, *d, name, sizeof name);
        int rc = bd_close(*d);
        // A device kept open for a job thread left behind refers to the
        // context's stop request: the context must stay as well.
        if (rc == BD_CLOSE_KEPT) ctx->devices_kept.store(1);
        else if (rc != 0) LOG2(LOG2_ERR, "dd_a", "close file %s error\n", name);
        *d = nullptr;
    }
}

const char* dd_side_name(const dd_ctx* ctx, const bd_dev* dev, char* buf, size_t size) {
    if (dev == ctx->out_dev && ctx->out_shown[0]) str_safecopy_trunc(buf, size, ctx->out_shown);
    else url_mask_password(dev == ctx->out_dev ? ctx->out_url : ctx->in_url, buf, size);
    return buf;
}

int dd_side_fatal(const dd_ctx* ctx, const bd_dev* dev) {
    uint32_t scheme = dev == ctx->out_dev ? ctx->out_scheme : ctx->in_scheme;
    return scheme == 1 ? DD_FATAL : DD_ERR_READ;
}

uint32_t dd_side_sector_size(const dd_ctx* ctx, const bd_dev* dev) {
    uint32_t ss = dev == ctx->out_dev ? ctx->out_sector_size : ctx->in_sector_size;
    return ss ? ss : 512;
}

// What a failed pass that is retried met, in words.
static const char* retry_reason(int r) {
    switch (r) {
    case DD_ERR_OPEN: return "an open failed";
    case DD_ERR_READ: return "a read failed";
    case DD_ERR_WRITE: return "a write failed";
    case DD_NO_DATA: return "the input ended early";
    default: return "the pass failed";
    }
}

int dd_retry_decide(dd_ctx* ctx, int r) {
    if (dd_stopped(ctx)) return 0;
    if (ctx->total_bytes == 0 || r == DD_DONE || r == DD_FATAL || r == DD_DIFF) {
        LOG2(LOG2_DBG, "dd_a", "dd_work_imp ret=%d break\n", r);
        return 0;
    }
    if (ctx->flags & DD_F_NOERROR) return 0;
    uint32_t c = ctx->retry_fails++;
    if (ctx->retry_mode == 2) {
        if (c > ctx->retry_open) return 0;
    } else if (ctx->retry_mode == 1) {
        uint64_t now = os_mono_ms();
        if (c == 0) ctx->retry_deadline_ms = now + static_cast<uint64_t>(ctx->retry_timeout_ms);
        if (now > ctx->retry_deadline_ms) return 0;
    } else {
        return 0;
    }
    // Said at the default level: the failure's own line tells what went
    // wrong where; this one that the run is not over and where it resumes.
    const char* what = retry_reason(r);
    const auto in_at = static_cast<unsigned long long>(ctx->i_offset);
    const auto out_at = static_cast<unsigned long long>(ctx->o_offset);
    if (ctx->mode == DD_MODE_CLEAR)
        LOG2(LOG2_WARN, "dd_a", "%s (ret=%d): re-opening the output in %u s, the wipe goes on at output offset %llu\n",
             what, r, ctx->retry_delay, out_at);
    else if (ctx->need_out)
        LOG2(LOG2_WARN, "dd_a",
             "%s (ret=%d): re-opening both sides in %u s, %s goes on at input offset %llu, output offset %llu\n", what, r,
             ctx->retry_delay, ctx->mode == DD_MODE_COPY ? "the copy" : "the run", in_at, out_at);
    else
        LOG2(LOG2_WARN, "dd_a", "%s (ret=%d): re-opening the input in %u s, the run goes on at input offset %llu\n",
             what, r, ctx->retry_delay, in_at);
    for (uint32_t s = 0; s < ctx->retry_delay; ++s) {
        os_msleep(1000);
        if (dd_stopped(ctx)) break;
    }
    return 1;
}
