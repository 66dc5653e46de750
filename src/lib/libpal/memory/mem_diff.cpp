#include "libpal/memory/mem_diff.h"

#include <algorithm>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/pl_mem.h"

namespace {

bool same(const uint8_t* a, const uint8_t* b, uint64_t len) { return len == 0 || memcmp(a, b, len) == 0; }

// A stored difference turns "same" into "differs"; any other state is kept.
void note_diff(mem_diff_ctx* ctx) {
    if (ctx->state == MDIFF_ST_SAME) ctx->state = MDIFF_ST_DIFF;
}

// The limit test after a record was stored: 0, or MDIFF_ST_STOP.
int32_t after_store(mem_diff_ctx* ctx) {
    if (ctx->count < ctx->max_count) {
        note_diff(ctx);
        return 0;
    }
    ctx->full = 1;
    if (ctx->flag & MDIFF_STOP_AT_LIMIT) {
        ctx->state = MDIFF_ST_STOP;
        return MDIFF_ST_STOP;
    }
    note_diff(ctx);
    return 0;
}

int32_t block_step(mem_diff_ctx* ctx, uint64_t len) {
    uint64_t start = ctx->offset;
    ctx->count++;
    ctx->offset += len;
    if (ctx->full) return 0;
    // Zeroed, so that a block record in a 16-byte item carries no stale bytes.
    auto* rec = static_cast<mem_diff_block_rec*>(lbuf_slab_malloc0(ctx->list));
    if (!rec) {
        ctx->state = MDIFF_ST_NOMEM;
        return MDIFF_ST_NOMEM;
    }
    rec->offset = start;
    return after_store(ctx);
}

// Every differing byte is counted; records are stored until the recorder is
// full. The offset advances over the range when the walk completes.
int32_t byte_walk(mem_diff_ctx* ctx, const uint8_t* a, const uint8_t* b, uint64_t len) {
    for (uint64_t i = 0; i < len; i++) {
        if (a[i] == b[i]) continue;
        ctx->count++;
        if (ctx->full) continue;
        auto* rec = static_cast<mem_diff_byte_rec*>(lbuf_slab_malloc0(ctx->list));
        if (!rec) {
            ctx->state = MDIFF_ST_NOMEM;
            return MDIFF_ST_NOMEM;
        }
        rec->offset = ctx->offset + i;
        rec->first = a[i];
        rec->second = b[i];
        if (int32_t r = after_store(ctx); r != 0) return r;
    }
    ctx->offset += len;
    return 0;
}

int32_t cmp_range(mem_diff_ctx* ctx, const uint8_t* a, const uint8_t* b, uint64_t len, bool whole_first) {
    if (ctx->flag & MDIFF_BS_MODE) {
        if (same(a, b, len)) {
            ctx->offset += len;
            return 0;
        }
        return block_step(ctx, len);
    }
    if (whole_first && same(a, b, len)) {
        ctx->offset += len;
        return 0;
    }
    return byte_walk(ctx, a, b, len);
}

int32_t cmp_imp(mem_diff_ctx* ctx, const uint8_t* a, uint64_t la, const uint8_t* b, uint64_t lb, bool whole_first) {
    if (!PL_CHECK("pal", ctx)) return MDIFF_ST_NOMEM;
    // Unequal lengths: the common part is still compared, so that neither a
    // difference in it nor the offsets of later ranges are lost.
    int32_t r = cmp_range(ctx, a, b, std::min(la, lb), whole_first);
    if (la == lb) return r;
    ctx->len_diff += la > lb ? la - lb : lb - la;
    if (r < 0) return r;
    ctx->state = MDIFF_ST_UNEQUAL_LEN;
    return MDIFF_ST_UNEQUAL_LEN;
}

}  // namespace

mem_diff_ctx* mem_diff_create(uint32_t flag, int32_t max_count) {
    auto* ctx = static_cast<mem_diff_ctx*>(pl_zalloc(sizeof(mem_diff_ctx)));
    if (!ctx) return nullptr;
    ctx->flag = flag;
    ctx->max_count = max_count;
    lbuf_conf conf{};
    conf.item_size = (flag & MDIFF_BS_MODE) ? sizeof(mem_diff_block_rec) : sizeof(mem_diff_byte_rec);
    ctx->list = lbuf_create(&conf);
    if (!ctx->list) {
        pl_free(ctx);
        return nullptr;
    }
    return ctx;
}

int mem_diff_destroy(mem_diff_ctx* ctx) {
    if (!ctx) return 0;
    lbuf_destroy(ctx->list);
    pl_free(ctx);
    return 0;
}

int32_t mem_diff_cmp(mem_diff_ctx* ctx, const uint8_t* buf1, uint64_t len1, const uint8_t* buf2, uint64_t len2) {
    return cmp_imp(ctx, buf1, len1, buf2, len2, true);
}

int32_t mem_diff_cmp_bytes(mem_diff_ctx* ctx, const uint8_t* buf1, uint64_t len1, const uint8_t* buf2, uint64_t len2) {
    return cmp_imp(ctx, buf1, len1, buf2, len2, false);
}

int32_t mem_diff_bs(mem_diff_ctx* ctx, uint64_t len) {
    if (!PL_CHECK("pal", ctx)) return MDIFF_ST_NOMEM;
    PL_CHECK_TEXT("pal", ctx->flag & MDIFF_BS_MODE, "ctx->flag & MDIFF_BS_MODE");
    return block_step(ctx, len);
}

int mem_diff_add_offset(mem_diff_ctx* ctx, uint64_t n) {
    if (ctx) ctx->offset += n;
    return 0;
}

int mem_diff_set_state(mem_diff_ctx* ctx, int32_t state) {
    if (ctx) ctx->state = state;
    return 0;
}

int32_t mem_diff_continue(mem_diff_ctx* ctx) {
    if (!ctx || ctx->max_count != 0) return -1;
    ctx->state = MDIFF_ST_DIFF;
    return 0;
}

int32_t mem_diff_get_state(const mem_diff_ctx* ctx) { return ctx ? ctx->state : 0; }

lbuf_ctx* mem_diff_get_list(const mem_diff_ctx* ctx) { return ctx ? ctx->list : nullptr; }

uint64_t mem_diff_get_list_count(const mem_diff_ctx* ctx) { return ctx ? lbuf_count(ctx->list) : 0; }

int64_t mem_diff_get_count(const mem_diff_ctx* ctx) { return ctx ? ctx->count : 0; }

uint64_t mem_diff_get_offset(const mem_diff_ctx* ctx) { return ctx ? ctx->offset : 0; }

uint64_t mem_diff_get_len_diff(const mem_diff_ctx* ctx) { return ctx ? ctx->len_diff : 0; }

double mem_diff_get_percent(const mem_diff_ctx* ctx, uint64_t unit) {
    if (!ctx || unit == 0) return 0;
    uint64_t units = ctx->offset / unit + (ctx->offset % unit != 0 ? 1 : 0);
    if (units == 0) return 0;
    return 100.0 * static_cast<double>(ctx->count) / static_cast<double>(units);
}
