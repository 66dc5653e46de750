// Compare and sync: each step digests (or reads) the input and the output on
// two tasks of the pool, then examines what differs and, for sync, copies it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/basic/thread_pool.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/mem_diff.h"
#include "libpal/os/os_console.h"
#include "libpal/string/str_size.h"
#include "liblog/log2.h"

namespace {

void hash_side(dd_ctx* ctx, bool out) {
    dd_diff_rec* d = ctx->diff_rec;
    bd_dev* dev = out ? ctx->out_dev : ctx->in_dev;
    bd_hash_param& p = out ? d->out_param : d->in_param;
    uint64_t off = out ? ctx->o_offset : ctx->i_offset;
    int32_t& result = out ? d->out_result : d->in_result;
    if (bd_hash_cal(dev, static_cast<int64_t>(off), static_cast<int64_t>(d->step_len), p.ctx, sizeof p.ctx) == 0) {
        result = 0;
        return;
    }
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "bd_hash_cal [%s] offset=%lld error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
         static_cast<long long>(dd_cal_fail_offset(dev, off)), bd_errmsg(dev));
    result = dd_cal_errno(ctx, dev);
}

void read_side(dd_ctx* ctx, bool out) {
    dd_diff_rec* d = ctx->diff_rec;
    bd_dev* dev = out ? ctx->out_dev : ctx->in_dev;
    uint8_t* buf = out ? d->out_buf : ctx->ibuf;
    uint64_t off = out ? ctx->o_offset : ctx->i_offset;
    dd_holes* holes = out ? &d->out_holes : &d->in_holes;
    int64_t n = dd_pread_holes(ctx, dev, buf, static_cast<int64_t>(d->step_len), off, holes);
    if (n < 0) {
        (out ? d->out_result : d->in_result) = static_cast<int32_t>(n);
        return;
    }
    (out ? d->out_bytes : d->in_bytes) = static_cast<uint64_t>(n);
}

// Waits until both tasks have ended: the devices are never left to a task.
void wait_tasks(dd_ctx* ctx) {
    while (thread_pool_pending(ctx->pool) != 0) thread_pool_wait(ctx->pool, 100);
}

// The per-block digests of a side's last range, split at "|".
bool block_list(bd_dev* dev, char* buf, uint64_t size, std::vector<std::string_view>& out) {
    out.clear();
    if (bd_hash_bs_get(dev, buf, size) != 0) return false;
    buf[size - 1] = 0;
    std::string_view t(buf);
    size_t blank = t.find(' ');
    if (blank == std::string_view::npos) return false;
    t.remove_prefix(blank + 1);
    t = t.substr(0, t.find('\n'));
    while (true) {
        size_t bar = t.find('|');
        out.push_back(t.substr(0, bar));
        if (bar == std::string_view::npos) break;
        t.remove_prefix(bar + 1);
    }
    return true;
}

// The pieces of a range of len bytes, read at in_base from the input and at
// out_base from the output: fn(pos, n, both) for each piece in order, both
// false where one side could not be read (holes of that side, if given).
template <class Fn>
void read_pieces(const dd_holes* in_holes, uint64_t in_base, const dd_holes* out_holes, uint64_t out_base,
                 uint64_t len, Fn fn) {
    std::vector<dd_hole> gaps;  // relative to the range
    auto take = [&gaps, len](const dd_holes* h, uint64_t base) {
        if (!h) return;
        for (const dd_hole& x : h->list) {
            if (x.off + x.len <= base || x.off >= base + len) continue;
            uint64_t a = std::max(x.off, base) - base;
            uint64_t b = std::min(x.off + x.len, base + len) - base;
            gaps.push_back({a, b - a});
        }
    };
    take(in_holes, in_base);
    take(out_holes, out_base);
    std::sort(gaps.begin(), gaps.end(), [](const dd_hole& a, const dd_hole& b) { return a.off < b.off; });
    uint64_t pos = 0;
    for (const dd_hole& g : gaps) {
        if (g.off + g.len <= pos) continue;
        if (g.off > pos) fn(pos, g.off - pos, true);
        uint64_t start = std::max(pos, g.off);
        fn(start, g.off + g.len - start, false);
        pos = g.off + g.len;
    }
    if (pos < len) fn(pos, len - pos, true);
}

// Records the differences of two buffers read at in_base and out_base,
// leaving out the bytes either side could not read: the recorder only
// passes over them. Compares as mem_diff_cmp (whole first) or
// mem_diff_cmp_bytes; a negative answer of the recorder is returned.
int32_t compare_read(mem_diff_ctx* rec, bool whole_first, const uint8_t* ib, uint64_t ilen, uint64_t in_base,
                     const dd_holes* ih, const uint8_t* ob, uint64_t olen, uint64_t out_base, const dd_holes* oh) {
    auto cmp = whole_first ? &mem_diff_cmp : &mem_diff_cmp_bytes;
    if (ih->list.empty() && oh->list.empty()) return cmp(rec, ib, ilen, ob, olen);
    uint64_t common = std::min(ilen, olen);
    int32_t r = 0;
    read_pieces(ih, in_base, oh, out_base, common, [&](uint64_t pos, uint64_t n, bool both) {
        if (r < 0) return;
        if (both) r = cmp(rec, ib + pos, n, ob + pos, n);
        else mem_diff_add_offset(rec, n);
    });
    if (r < 0 || ilen == olen) return r;
    // What only one side holds still makes the lengths unequal.
    return cmp(rec, ib + common, ilen - common, ob + common, olen - common);
}

int pread_failed(dd_ctx* ctx, bd_dev* dev, uint64_t off, uint64_t len, int64_t r) {
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "pread [%s] offset=%lli bs=%d errno=%d error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
         static_cast<long long>(off), static_cast<int>(len), bd_errno(dev), bd_errmsg(dev));
    if (r == DD_STOPPED) return DD_STOPPED;
    uint32_t scheme = dev == ctx->out_dev ? ctx->out_scheme : ctx->in_scheme;
    return dd_noerror_errno(scheme, bd_errno(dev));
}

// Reads one sub-block of both sides and records their differences byte by
// byte: 0, a worker result, or 1 when the recorder asks to stop walking.
int compare_bytes(dd_ctx* ctx, uint64_t ioff, uint64_t ooff, uint64_t len, uint64_t* iread, uint64_t* oread) {
    dd_diff_rec* d = ctx->diff_rec;
    d->in_holes.list.clear();
    d->out_holes.list.clear();
    int64_t ni = dd_pread_holes(ctx, ctx->in_dev, d->in_buf, static_cast<int64_t>(len), ioff, &d->in_holes);
    if (ni < 0) return pread_failed(ctx, ctx->in_dev, ioff, len, ni);
    int64_t no = dd_pread_holes(ctx, ctx->out_dev, d->out_buf, static_cast<int64_t>(len), ooff, &d->out_holes);
    if (no < 0) return pread_failed(ctx, ctx->out_dev, ooff, len, no);
    *iread = static_cast<uint64_t>(ni);
    *oread = static_cast<uint64_t>(no);
    return compare_read(d->recorder, false, d->in_buf, *iread, ioff, &d->in_holes, d->out_buf, *oread, ooff,
                        &d->out_holes) < 0
               ? 1
               : 0;
}

// Writes the pieces of n bytes of the input buffer that were read to the
// output at ooff; the output keeps its own bytes where the input could not
// be read. 0 or the write failure's result.
int write_read_pieces(dd_ctx* ctx, uint64_t ioff, uint64_t ooff, uint64_t n) {
    dd_diff_rec* d = ctx->diff_rec;
    char name[DD_URL_SIZE];
    int r = 0;
    read_pieces(&d->in_holes, ioff, nullptr, 0, n, [&](uint64_t pos, uint64_t len, bool read) {
        if (r != 0 || !read) return;
        int64_t w = bd_pwrite(ctx->out_dev, d->in_buf + pos, static_cast<int64_t>(len), static_cast<int64_t>(ooff + pos));
        if (w > 0) d->sync_bytes += static_cast<uint64_t>(w);
        if (w == static_cast<int64_t>(len)) return;
        LOG2(LOG2_ERR, "dd_a", "pwrite [%s] offset=%lli bs=%d errno=%d error: %s\n",
             dd_side_name(ctx, ctx->out_dev, name, sizeof name), static_cast<long long>(ooff + pos), static_cast<int>(len),
             bd_errno(ctx->out_dev), bd_errmsg(ctx->out_dev));
        r = dd_write_errno(ctx, bd_errno(ctx->out_dev));
    });
    return r;
}

}  // namespace

void diff_hash_cal_i(void* ctx) { hash_side(static_cast<dd_ctx*>(ctx), false); }
void diff_hash_cal_o(void* ctx) { hash_side(static_cast<dd_ctx*>(ctx), true); }
void diff_read_i(void* ctx) { read_side(static_cast<dd_ctx*>(ctx), false); }
void diff_read_o(void* ctx) { read_side(static_cast<dd_ctx*>(ctx), true); }

int dd_sync(dd_ctx* ctx, uint64_t ioff, uint64_t ooff, uint64_t length) {
    dd_diff_rec* d = ctx->diff_rec;
    while (length > 0) {
        if (dd_stopped(ctx)) return DD_STOPPED;
        uint64_t chunk = std::min(length, d->sub_bs);
        // A sync writes only bytes it read: what the input could not give
        // (zero bytes or the fill pattern in the buffer) is left out.
        d->in_holes.list.clear();
        int64_t n = dd_pread_holes(ctx, ctx->in_dev, d->in_buf, static_cast<int64_t>(chunk), ioff, &d->in_holes);
        if (n < 0) return pread_failed(ctx, ctx->in_dev, ioff, chunk, n);
        if (n == 0) return 0;
        if (int r = write_read_pieces(ctx, ioff, ooff, static_cast<uint64_t>(n)); r != 0) return r;
        ioff += static_cast<uint64_t>(n);
        ooff += static_cast<uint64_t>(n);
        length -= static_cast<uint64_t>(n);
    }
    return 0;
}

int dd_diff_or_sync(dd_ctx* ctx, uint64_t length) {
    dd_diff_rec* d = ctx->diff_rec;
    bool sync = ctx->mode == DD_MODE_SYNC;
    uint64_t subs = (length + d->sub_bs - 1) / d->sub_bs;
    std::vector<std::string_view> il, ol;
    // A side whose digest task failed has no list of this step.
    bool lists = d->in_result == 0 && d->out_result == 0 && block_list(ctx->in_dev, d->in_list, d->list_size, il) &&
                 block_list(ctx->out_dev, d->out_list, d->list_size, ol) && il.size() == subs && ol.size() == subs;
    uint64_t ioff = ctx->i_offset, ooff = ctx->o_offset, left = length;
    if (lists) {
        for (uint64_t k = 0; left > 0; ++k) {
            uint64_t len = std::min(left, d->sub_bs);
            bool differ = il[k] != ol[k];
            if (sync) {
                if (differ) {
                    int r = dd_sync(ctx, ioff, ooff, len);
                    if (r < 0) return r;
                }
            } else if (!differ) {
                mem_diff_add_offset(d->recorder, len);
            } else if (d->flags & MDIFF_BS_MODE) {
                if (mem_diff_bs(d->recorder, len) < 0) return 0;
            } else {
                uint64_t ri = 0, ro = 0;
                int r = compare_bytes(ctx, ioff, ooff, len, &ri, &ro);
                if (r < 0) return r;
                if (r > 0) return 0;
            }
            ioff += len;
            ooff += len;
            left -= len;
            if (left > 0 && dd_stopped(ctx)) return DD_STOPPED;
        }
        return 0;
    }
    // No usable lists: walk the whole step sub-block by sub-block.
    while (left > 0) {
        uint64_t len = std::min(left, d->sub_bs);
        if (sync) {
            int r = dd_sync(ctx, ioff, ooff, len);
            if (r < 0) return r;
            ioff += len;
            ooff += len;
        } else {
            uint64_t ri = 0, ro = 0;
            int r = compare_bytes(ctx, ioff, ooff, len, &ri, &ro);
            if (r < 0) return r;
            if (r > 0) return 0;
            ioff += ri;
            ooff += ro;
            if (ri == 0 && ro == 0) break;
        }
        left -= len;
        if (dd_stopped(ctx)) return DD_STOPPED;
    }
    return 0;
}

int diff_sync(dd_ctx* ctx) {
    dd_diff_rec* d = ctx->diff_rec;
    bool sync = ctx->mode == DD_MODE_SYNC;
    d->in_result = d->out_result = 0;
    d->in_bytes = d->out_bytes = 0;
    d->in_holes.list.clear();
    d->out_holes.list.clear();
    uint64_t step = static_cast<uint64_t>(ctx->ibs);
    uint64_t tail = 0;
    if (ctx->count != static_cast<int64_t>(DD_ALL) && ctx->in_size != 0) {
        uint64_t in_left = ctx->in_size > ctx->i_offset ? ctx->in_size - ctx->i_offset : 0;
        if (sync) {
            uint64_t common = std::min(ctx->in_size, ctx->out_size);
            tail = std::min(step, in_left);
            if (common > ctx->i_offset) {
                step = std::min(step, common - ctx->i_offset);
                tail -= step;
            } else {
                step = 0;
            }
        } else {
            step = std::min(step, in_left);
        }
    }
    d->step_len = step;
    int examined = 0;
    if (step != 0) {
        // A task the pool cannot take runs here: a side is never left out.
        auto run = [ctx](void (*fn)(void*)) {
            if (thread_pool_dispatch(ctx->pool, fn, ctx) != 0) fn(ctx);
        };
        if (ctx->mode == DD_MODE_DIFF_BIN) {
            run(&diff_read_i);
            run(&diff_read_o);
        } else {
            run(&diff_hash_cal_i);
            run(&diff_hash_cal_o);
        }
        wait_tasks(ctx);
        if (dd_stopped(ctx)) return DD_STOPPED;
        for (auto [result, dev] : {std::pair{d->in_result, ctx->in_dev}, std::pair{d->out_result, ctx->out_dev}}) {
            if (result == 0) continue;
            if (ctx->flags & DD_F_NOERROR) return result;
            int c = dd_read_errno(bd_errno(dev));
            if (c != 0) return c;
            // A media error goes on: the walk below reads what differs.
        }
        if (ctx->mode == DD_MODE_DIFF_BIN) {
            // The end of both sides ends a run of unknown length.
            if (d->in_bytes == 0 && d->out_bytes == 0) return 1;
            compare_read(d->recorder, true, ctx->ibuf, d->in_bytes, ctx->i_offset, &d->in_holes, d->out_buf,
                         d->out_bytes, ctx->o_offset, &d->out_holes);
        } else {
            bool failed = d->in_result != 0 || d->out_result != 0;
            if (failed || strcmp(d->in_param.ctx, d->out_param.ctx) != 0) {
                examined = dd_diff_or_sync(ctx, step);
                LOG2(LOG2_VERB, "dd_a", "ret=%d\n", examined);
                if (examined < 0) return examined;
            } else if (!sync) {
                mem_diff_add_offset(d->recorder, step);
            }
        }
        ctx->i_offset += step;
        ctx->o_offset += step;
    }
    if (tail != 0) {
        int r = dd_sync(ctx, ctx->i_offset, ctx->o_offset, tail);
        if (r < 0) return r;
        step += tail;
        ctx->i_offset += tail;
        ctx->o_offset += tail;
        d->step_len = step;
    }
    if (step == 0) return 1;
    if (step == static_cast<uint64_t>(ctx->obs)) ctx->records_out_full++;
    else ctx->records_out_part++;
    ctx->total_bytes += step;
    return examined;
}

int dd_diff_print(dd_ctx* ctx, bool print) {
    dd_diff_rec* d = ctx->diff_rec;
    if (!d) return 0;
    int32_t state = mem_diff_get_state(d->recorder);
    uint64_t unread = ctx->unread_in + ctx->unread_out;
    int verdict = state == 0 ? 0 : state == MDIFF_ST_UNEQUAL_LEN ? DD_DIFF_LEN : DD_DIFF;
    // Bytes that could not be read are neither the same nor different: with
    // no difference found, the run failed to read.
    if (verdict == 0 && unread > 0) verdict = dd_unread_result(ctx);
    if (dd_stopped(ctx)) verdict = DD_STOPPED;
    if (!print) return verdict;
    const char* text = state == MDIFF_ST_UNEQUAL_LEN ? "diff_same=[Unequal length]\n"
                       : state == 0                  ? "diff_same=[YES]\n"
                                                     : "diff_same=[NO not same!!!]\n";
    // What was not compared is not known to be the same.
    if (state == 0 && d->incomplete)
        LOG2(LOG2_ERR, "dd_a", "the compare ended before the end of the data: no verdict\n");
    else if (state == 0 && unread > 0)
        LOG2(LOG2_ERR, "dd_a", "no difference in the bytes that could be read: no verdict\n");
    else
        os_console_printf(stderr, 2, "%s", text);
    if (unread > 0)
        LOG2(LOG2_ERR, "dd_a", "%llu bytes could not be read: they were not compared\n",
             static_cast<unsigned long long>(unread));
    lbuf_ctx* list = mem_diff_get_list(d->recorder);
    uint64_t shown = mem_diff_get_list_count(d->recorder);
    if (shown > 0) {
        os_console_printf(stderr, 2, "Offsets:\n");
        lbuf_iter it;
        lbuf_iter_init(list, &it);
        while (void* item = lbuf_iter_next(&it)) {
            if (d->flags & MDIFF_BS_MODE) {
                auto* r = static_cast<mem_diff_block_rec*>(item);
                os_console_printf(stderr, 2, "0x%llx\n", static_cast<unsigned long long>(r->offset));
            } else {
                auto* r = static_cast<mem_diff_byte_rec*>(item);
                os_console_printf(stderr, 2, "0x%llx:\t %02x %02x\n", static_cast<unsigned long long>(r->offset), r->first,
                                  r->second);
            }
        }
        if (state != MDIFF_ST_STOP) {
            int64_t count = mem_diff_get_count(d->recorder);
            char sz[32];
            double pct = mem_diff_get_percent(d->recorder, (d->flags & MDIFF_BS_MODE) ? d->sub_bs : 1);
            os_console_printf(stderr, 2, "%d Show, %lli (%s) difference(s) found, %0.3f%%\n", static_cast<int>(shown),
                              static_cast<long long>(count),
                              size_to_text_buf(static_cast<uint64_t>(count), 0, sz, sizeof sz), pct);
        }
    }
    return verdict;
}
