// What the engine tells the user: progress, the duty cycle's rests, the summary.
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libdd/dd.h"
#include "libdd/dd_digest.h"
#include "libdd/dd_priv.h"
#include "libpal/memory/mem_diff.h"
#include "libpal/os/os_console.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "liblog/log2.h"

namespace {

// Seconds between keep-alive requests during a rest.
constexpr int k_keep_alive_seconds = 30;

// A summary line on standard error; it never runs on from a progress line.
void stat_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void stat_printf(const char* fmt, ...) {
    char text[OS_CONSOLE_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    (void)os_console_err_write(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

const char* verb_of(uint32_t mode) {
    switch (mode) {
    case DD_MODE_CLEAR: return "clear";
    case DD_MODE_HASH: return "hash";
    case DD_MODE_DIFF_HASH: return "diff_hash";
    case DD_MODE_DIFF_BIN: return "diff_bin";
    case DD_MODE_BCOUNT: return "bcount";
    default: return "copied";
    }
}

}  // namespace

void dd_print_progress(dd_ctx* ctx, int64_t count, int64_t bad_offset, int32_t rest_seconds) {
    if (ctx->flags & DD_F_ST_NOXFER) return;
    uint64_t now = os_mono_ms();
    // The rest count-down comes once a second from its own loop.
    if (rest_seconds < 0) {
        if (ctx->progress_ms == 0) {
            ctx->progress_ms = now;
            ctx->progress_bytes = ctx->total_bytes;
            return;
        }
        if (now - ctx->progress_ms < 1000) return;
    }
    uint64_t b = ctx->total_bytes;
    double seconds = static_cast<double>(now - (ctx->progress_ms ? ctx->progress_ms : now)) / 1000.0;
    if (seconds <= 0) seconds = 0.001;
    double speed = static_cast<double>(b - ctx->progress_bytes) / seconds;
    ctx->progress_bytes = b;
    ctx->progress_ms = now;

    char line[256];
    char szbuf[32];
    char sp[64];
    const char* sz = size_to_text_buf(b, 0, szbuf, sizeof szbuf);
    // Each form is written after "\r", over the line before it.
    if (rest_seconds >= 0) {
        str_sprintf_s(line, sizeof line, "%lli bytes (%s), SLEEP %dS", static_cast<long long>(b), sz, rest_seconds);
    } else if (bad_offset >= 0) {
        str_sprintf_s(line, sizeof line, "%lli bytes (%s), bad_sector_offset=%lli", static_cast<long long>(b), sz,
                      static_cast<long long>(bad_offset));
    } else if (count == static_cast<int64_t>(DD_ALL)) {
        str_sprintf_s(line, sizeof line, "%lli bytes (%s), %s", static_cast<long long>(b), sz,
                      speed_to_text(sp, sizeof sp, speed));
    } else {
        int64_t records = ctx->records_in_full + ctx->records_in_part;
        double done = static_cast<double>(records), total = static_cast<double>(count);
        if (ctx->flags & DD_F_RESUME) {
            done = static_cast<double>(ctx->records_in_full + ctx->off_count + ctx->records_in_part);
            total = static_cast<double>(ctx->all_count);
        }
        int pct = total > 0 ? static_cast<int>(done / total * 100.0) : 0;
        char left[96] = "";
        // Nothing left once every step is done; no estimate while nothing moves.
        if (count <= records)
            str_seconds_text(left, sizeof left, 0.0);
        else if (speed > 0)
            str_seconds_text(left, sizeof left,
                             static_cast<double>(ctx->ibs) * static_cast<double>(count - records) / speed);
        str_sprintf_s(line, sizeof line, "%lli bytes (%s), %s, %s, %d%%", static_cast<long long>(b), sz,
                      speed_to_text(sp, sizeof sp, speed), left, pct);
        char more[96] = "", msz[32];
        if (ctx->mode == DD_MODE_SYNC && ctx->diff_rec) {
            uint64_t sb = ctx->diff_rec->sync_bytes;
            str_sprintf_s(more, sizeof more, " sync_bytes=%lli (%s)", static_cast<long long>(sb),
                          size_to_text_buf(sb, 0, msz, sizeof msz));
        } else if (ctx->mode == DD_MODE_DIFF_HASH && ctx->diff_rec) {
            int64_t dc = mem_diff_get_count(ctx->diff_rec->recorder);
            str_sprintf_s(more, sizeof more, " diff_count=%lli (%s)", static_cast<long long>(dc),
                          size_to_text_buf(static_cast<uint64_t>(dc), 0, msz, sizeof msz));
        }
        size_t used = strlen(line);
        str_sprintf_s(line + used, sizeof line - used, "%s", more);
    }
    os_console_progress(line);
    ctx->progress_shown = 1;
}

int dd_cool_down(dd_ctx* ctx) {
    if (os_mono_ms() - ctx->cool_start_ms < ctx->cool_down_work) return 0;
    uint64_t t0 = os_mono_ms();
    int64_t left = static_cast<int64_t>(ctx->cool_down_rest / 1000);
    while (true) {
        for (int i = 0; i < k_keep_alive_seconds; ++i) {
            if (dd_stopped(ctx)) return DD_STOPPED;
            if (os_mono_ms() - t0 >= ctx->cool_down_rest) {
                ctx->cool_start_ms = os_mono_ms();
                return 0;
            }
            os_msleep(1000);
            // The count-down shows even with status none.
            dd_print_progress(ctx, ctx->count, -1, static_cast<int32_t>(left > 0 ? left : 0));
            --left;
        }
        for (bd_dev* d : {ctx->in_dev, ctx->out_dev}) {
            uint32_t scheme = d == ctx->in_dev ? ctx->in_scheme : ctx->out_scheme;
            if (d && scheme == 4 && bd_size(d) < 0) return DD_ERR_READ;
        }
    }
}

void dd_print_stat(dd_ctx* ctx, int32_t result) {
    // A verdict of unequal lengths is worth a summary even when nothing was compared.
    if (result != 0 && result != DD_DIFF && result != DD_DIFF_LEN && result != DD_NO_DATA && ctx->total_bytes == 0)
        return;
    // A progress line that shows stays above the summary.
    os_console_end_progress();
    uint32_t flags = ctx->flags;
    if (ctx->wdigest && (flags & (DD_F_ST_MD5 | DD_F_ST_SHA1))) {
        uint8_t md5[16], sha1[20];
        dd_digest_peek(ctx->wdigest, md5, sha1);
        char hex[41];
        auto to_hex = [&hex](const uint8_t* d, size_t n) {
            for (size_t i = 0; i < n; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
            return hex;
        };
        if (flags & DD_F_ST_MD5) os_console_printf(stderr, 2, "MD5: %s\n", to_hex(md5, sizeof md5));
        if (flags & DD_F_ST_SHA1) os_console_printf(stderr, 2, "SHA1: %s\n", to_hex(sha1, sizeof sha1));
    }
    if (ctx->mode == DD_MODE_COPY) {
        stat_printf("%lli+%lli records in\n%lli+%lli records out\n", static_cast<long long>(ctx->records_in_full),
                    static_cast<long long>(ctx->records_in_part), static_cast<long long>(ctx->records_out_full),
                    static_cast<long long>(ctx->records_out_part));
    }
    uint64_t total = ctx->total_bytes;
    double secs = static_cast<double>(os_mono_ms() - ctx->start_ms) / 1000.0;
    if (secs <= 0) secs = 0.001;
    char tszbuf[32], ttext[64], bad[96] = "", bsz[32], speed[64];
    const char* tsz = size_to_text_buf(total, 0, tszbuf, sizeof tszbuf);
    str_seconds_text(ttext, sizeof ttext, secs);
    if (ctx->flags & DD_F_BAD_READ) {
        uint64_t bb = ctx->bad_bytes;
        str_sprintf_s(bad, sizeof bad, "bad_bytes: %lli (%s), ", static_cast<long long>(bb), size_to_text_buf(bb, 0, bsz, sizeof bsz));
    }
    speed_to_text(speed, sizeof speed, static_cast<double>(total) / secs);
    if (ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN) dd_diff_print(ctx, true);
    if (ctx->mode == DD_MODE_BCOUNT) dd_bcount_print(ctx);
    // Digests only of a run that ended well; a summary asked for during the
    // run has none yet.
    if (ctx->mode == DD_MODE_HASH && result == 0 && !ctx->running.load()) dd_hash_print(ctx);
    if (ctx->mode == DD_MODE_SYNC) {
        uint64_t sb = ctx->diff_rec ? ctx->diff_rec->sync_bytes.load() : 0;
        char ssz[32];
        if (uint64_t unread = ctx->unread_in; unread > 0)
            stat_printf("%llu bytes (%s) of the input could not be read: the output keeps its own bytes there\n",
                        static_cast<unsigned long long>(unread), size_to_text_buf(unread, 0, ssz, sizeof ssz));
        stat_printf("Check %lli (%s) Sync %lli (%s) Bytes %s[%s], %s\n", static_cast<long long>(total), tsz,
                    static_cast<long long>(sb), size_to_text_buf(sb, 0, ssz, sizeof ssz), bad, ttext, speed);
        fflush(stderr);
        return;
    }
    if (ctx->mode == DD_MODE_COPY) {
        // Blocks a media error turned into zero bytes, or with bad_read the
        // sectors that took the fill pattern (all zero bytes when none was given).
        if (uint64_t unread = ctx->unread_in; unread > 0) {
            char usz[32];
            const char* u = size_to_text_buf(unread, 0, usz, sizeof usz);
            if ((ctx->flags & DD_F_BAD_READ) && ctx->bad_fill_str[0])
                stat_printf("%llu bytes (%s) of the input could not be read: the output holds the fill pattern \"%s\" there\n",
                            static_cast<unsigned long long>(unread), u, ctx->bad_fill_str);
            else
                stat_printf("%llu bytes (%s) of the input could not be read: the output holds zero bytes there\n",
                            static_cast<unsigned long long>(unread), u);
        }
    }
    stat_printf("%lli bytes (%s) %s, %s[%s], %s\n", static_cast<long long>(total), tsz, verb_of(ctx->mode), bad, ttext,
                speed);
    fflush(stderr);
}
