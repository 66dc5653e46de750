#include "libpal/memory/rbuf.h"

#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/mem_wait.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

namespace {

enum : int { RBUF_RAW = 0, RBUF_ONE = 1, RBUF_CB = 2, RBUF_MANY = 3 };

uint8_t* slot_at(const rbuf_ctx* ctx, uint64_t counter) {
    return ctx->data + (counter % ctx->max_count) * ctx->block_size;
}

uint32_t header_get(const rbuf_ctx* ctx, const uint8_t* slot) {
    if (ctx->wide) {
        uint32_t v;
        memcpy(&v, slot, sizeof v);
        return v;
    }
    uint16_t v;
    memcpy(&v, slot, sizeof v);
    return v;
}

void header_set(const rbuf_ctx* ctx, uint8_t* slot, uint32_t len) {
    if (ctx->wide) {
        memcpy(slot, &len, sizeof len);
    } else {
        auto v = static_cast<uint16_t>(len);
        memcpy(slot, &v, sizeof v);
    }
}

bool has_message(const rbuf_ctx* ctx) { return ctx->read_counter < ctx->write_counter; }

void free_ring(rbuf_ctx* ctx) {
    os_cond_free(ctx->written);
    os_cond_free(ctx->read);
    os_mutex_free(ctx->lock);
    pl_free(ctx->data);
    ctx->~rbuf_ctx();
    pl_free(ctx);
}

}  // namespace

rbuf_ctx* rbuf_init(uint64_t all_size, uint32_t block_size) {
    if (!PL_CHECK_TEXT("bsv", all_size > 2, "all_size>2")) return nullptr;
    if (!PL_CHECK_TEXT("bsv", block_size > 2, "block_size>2 && block_size<=UINT16_MAX")) return nullptr;
    uint8_t wide = block_size > UINT16_MAX ? 1 : 0;
    uint32_t hdr = wide ? 4 : 2;
    uint64_t slot = static_cast<uint64_t>(block_size) + hdr;
    uint64_t slots = all_size / slot;
    if (slots < 2) {
        LOG2(LOG2_ERR, "bsv", "MaxQueueSize=%d <2 error\n", static_cast<int>(slots));
        return nullptr;
    }
    if (slots > SIZE_MAX / slot) return nullptr;

    void* mem = pl_zalloc(sizeof(rbuf_ctx));
    if (!mem) return nullptr;
    auto* ctx = new (mem) rbuf_ctx{};
    ctx->all_size = all_size;
    ctx->block_size = slot;
    ctx->max_count = slots;
    ctx->wide = wide;
    ctx->bs_byte = hdr;
    ctx->data = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(slots * slot)));
    ctx->lock = os_mutex_new();
    ctx->written = os_cond_new();
    ctx->read = os_cond_new();
    if (!ctx->data || !ctx->lock || !ctx->written || !ctx->read) {
        free_ring(ctx);
        return nullptr;
    }
    return ctx;
}

int rbuf_exit(rbuf_ctx* ctx) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return -1;
    free_ring(ctx);
    return 0;
}

int rbuf_clear(rbuf_ctx* ctx) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return -1;
    os_mutex_guard g(ctx->lock);
    ctx->count = 0;
    ctx->read_counter = ctx->write_counter = 0;
    ctx->write_bytes = ctx->write_msgs = 0;
    ctx->read_bytes = ctx->read_calls = 0;
    ctx->drop_bytes = ctx->drop_msgs = 0;
    ctx->pending.store(0);
    // Every slot is free now: a writer waiting for room may go on.
    os_cond_broadcast(ctx->read);
    return 0;
}

uint8_t* rbuf_alloc_lock(rbuf_ctx* ctx, uint32_t size) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return nullptr;
    if (!PL_CHECK_TEXT("bsv", size > 0 && size <= ctx->block_size - ctx->bs_byte,
                       "size>0 && size<=ctx->BlockSize-ctx->bs_byte"))
        return nullptr;
    os_mutex_lock(ctx->lock);
    if (ctx->count >= ctx->max_count) {
        uint32_t old = header_get(ctx, slot_at(ctx, ctx->read_counter));
        ctx->read_counter++;
        ctx->count--;
        ctx->drop_bytes += old;
        ctx->drop_msgs++;
        ctx->pending.fetch_sub(old);
    }
    uint8_t* slot = slot_at(ctx, ctx->write_counter);
    header_set(ctx, slot, size);
    ctx->write_counter++;
    ctx->count++;
    ctx->write_bytes += size;
    ctx->write_msgs++;
    // Counted here rather than by the caller, so that every message in the
    // ring is in pending, whoever filled it: a later drop or read takes it
    // off again. Readers see the message only after rbuf_unlock.
    ctx->pending.fetch_add(size);
    return slot + ctx->bs_byte;
}

void rbuf_unlock(rbuf_ctx* ctx) {
    if (!ctx) return;
    os_cond_signal(ctx->written);
    os_mutex_unlock(ctx->lock);
}

int rbuf_write(rbuf_ctx* ctx, const void* block, uint32_t size) {
    if (!PL_CHECK_TEXT("bsv", block != nullptr, "block!=NULL")) return -1;
    uint8_t* dst = rbuf_alloc_lock(ctx, size);
    if (!dst) return -1;
    memcpy(dst, block, size);
    rbuf_unlock(ctx);
    return 0;
}

int rbuf_write_wait(rbuf_ctx* ctx, const void* block, uint32_t size, uint32_t ms) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return -1;
    {
        os_mutex_guard g(ctx->lock);
        int rc = mem_wait_locked(ctx->read, ctx->lock, ms, [ctx] { return ctx->count + 1 < ctx->max_count; });
        if (rc != 0) return rc;
    }
    return rbuf_write(ctx, block, size);
}

int64_t rbuf_read_imp(rbuf_ctx* ctx, void* buf, rbuf_read_fn cb, uint64_t len, int mode, uint32_t ms) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return -1;
    if (!PL_CHECK_TEXT("bsv", mode == RBUF_CB ? cb != nullptr : buf != nullptr, "buf!=NULL")) return -1;
    if (mode < RBUF_RAW || mode > RBUF_MANY) return -1;
    const uint64_t slot = ctx->block_size;
    const uint64_t hdr = ctx->bs_byte;
    if (mode == RBUF_RAW && !PL_CHECK_TEXT("bsv", len >= slot, "len>=ctx->BlockSize")) return -1;
    if ((mode == RBUF_ONE || mode == RBUF_MANY) &&
        !PL_CHECK_TEXT("bsv", len + hdr >= slot, "len+ctx->bs_byte>=ctx->BlockSize"))
        return -1;

    auto* out = static_cast<uint8_t*>(buf);
    uint64_t copied = 0;
    {
        os_mutex_guard g(ctx->lock);
        if (mode != RBUF_CB && mem_wait_locked(ctx->written, ctx->lock, ms, [ctx] { return has_message(ctx); }) != 0)
            return 0;
        ctx->read_calls++;
        for (;;) {
            uint64_t rest = len - copied;
            if (mode == RBUF_RAW && rest < slot) break;
            if ((mode == RBUF_ONE || mode == RBUF_MANY) && rest + hdr < slot) break;
            if (!has_message(ctx)) break;
            uint64_t counter = ctx->read_counter;
            const uint8_t* src = slot_at(ctx, counter);
            uint32_t n = header_get(ctx, src);
            ctx->read_counter++;
            ctx->read_bytes += n;
            if (mode == RBUF_RAW) {
                memcpy(out + copied, src, hdr + n);
                copied += hdr + n;
            } else if (mode == RBUF_CB) {
                cb(src + hdr, n, counter % ctx->max_count, counter);
            } else {
                memcpy(out + copied, src + hdr, n);
                copied += n;
            }
            ctx->count--;
            ctx->pending.fetch_sub(n);
            if (mode == RBUF_ONE) break;
        }
        os_cond_signal(ctx->read);
    }
    return mode == RBUF_CB ? 0 : static_cast<int64_t>(copied);
}

int64_t rbuf_read(rbuf_ctx* ctx, void* buf, uint64_t len) { return rbuf_read_imp(ctx, buf, nullptr, len, RBUF_ONE, 0); }

int64_t rbuf_read_wait(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms) {
    return rbuf_read_imp(ctx, buf, nullptr, len, RBUF_ONE, ms);
}

int64_t rbuf_read_cb(rbuf_ctx* ctx, rbuf_read_fn cb) { return rbuf_read_imp(ctx, nullptr, cb, 0, RBUF_CB, 0); }

int64_t rbuf_read_raw(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms) {
    return rbuf_read_imp(ctx, buf, nullptr, len, RBUF_RAW, ms);
}

int64_t rbuf_read_many(rbuf_ctx* ctx, void* buf, uint64_t len) {
    return rbuf_read_imp(ctx, buf, nullptr, len, RBUF_MANY, 0);
}

int64_t rbuf_read_many_wait(rbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms) {
    return rbuf_read_imp(ctx, buf, nullptr, len, RBUF_MANY, ms);
}

void rbuf_get_stat(rbuf_ctx* ctx, uint64_t* write_bytes, uint64_t* read_bytes, uint64_t* drop_bytes,
                   uint64_t* write_msgs, uint64_t* read_calls, uint64_t* drop_msgs) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return;
    os_mutex_guard g(ctx->lock);
    if (write_bytes) *write_bytes = ctx->write_bytes;
    if (read_bytes) *read_bytes = ctx->read_bytes;
    if (drop_bytes) *drop_bytes = ctx->drop_bytes;
    if (write_msgs) *write_msgs = ctx->write_msgs;
    if (read_calls) *read_calls = ctx->read_calls;
    if (drop_msgs) *drop_msgs = ctx->drop_msgs;
}

uint64_t rbuf_get_drop_count(rbuf_ctx* ctx) {
    if (!PL_CHECK_TEXT("bsv", ctx != nullptr, "h!=NULL")) return 0;
    os_mutex_guard g(ctx->lock);
    return ctx->drop_msgs;
}

uint32_t rbuf_get_pending(rbuf_ctx* ctx) { return ctx ? ctx->pending.load() : 0; }

int rbuf_has_dropped(rbuf_ctx* ctx) { return rbuf_get_drop_count(ctx) > 0 ? 1 : 0; }

int rbuf_is_empty(rbuf_ctx* ctx) {
    if (!ctx) return 1;
    os_mutex_guard g(ctx->lock);
    return has_message(ctx) ? 0 : 1;
}

int rbuf_is_full(rbuf_ctx* ctx) {
    if (!ctx) return 1;
    os_mutex_guard g(ctx->lock);
    return ctx->count + 1 >= ctx->max_count ? 1 : 0;
}

const uint8_t* rbuf_raw_next(rbuf_raw_cursor* cur, uint32_t* len) {
    if (len) *len = 0;
    if (!cur || !cur->buf) return nullptr;
    uint64_t hdr = cur->hdr_size == 4 ? 4 : 2;
    if (cur->pos >= cur->len || cur->len - cur->pos < hdr) return nullptr;
    const uint8_t* p = cur->buf + cur->pos;
    uint32_t n;
    if (hdr == 4) {
        memcpy(&n, p, sizeof n);
    } else {
        uint16_t v;
        memcpy(&v, p, sizeof v);
        n = v;
    }
    if (cur->len - cur->pos - hdr < n) return nullptr;
    cur->pos += hdr + n;
    if (len) *len = n;
    return p + hdr;
}
