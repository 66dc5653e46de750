#include "libpal/memory/mbuf.h"

#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/mem_wait.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

namespace {

// With the lock held. A block can be taken while the queue has room and the
// batch has not used every block: past max_count the next block would lie
// beyond the data area, even when earlier blocks were released.
bool can_write(const mbuf_ctx* ctx) { return ctx->count + 1 <= ctx->max_count && ctx->write_idx < ctx->max_count; }

bool has_block(const mbuf_ctx* ctx) { return ctx->read_idx < ctx->write_idx; }

uint8_t* block_at(const mbuf_ctx* ctx, uint32_t idx) { return ctx->data + static_cast<uint64_t>(idx) * ctx->block_size; }

uint8_t* peek_locked(mbuf_ctx* ctx, uint64_t* len) {
    if (!has_block(ctx)) {
        if (len) *len = 0;
        return nullptr;
    }
    if (len) *len = ctx->lens[ctx->read_idx];
    return block_at(ctx, ctx->read_idx);
}

void free_queue(mbuf_ctx* ctx) {
    os_cond_free(ctx->committed);
    os_cond_free(ctx->consumed);
    os_mutex_free(ctx->lock);
    pl_free(ctx->lens);
    pl_free(ctx->data);
    pl_free(ctx);
}

}  // namespace

mbuf_ctx* mbuf_init(uint64_t all_size, uint32_t block_size) {
    if (!PL_CHECK_TEXT("pal", all_size > 2, "all_size>2")) return nullptr;
    if (!PL_CHECK_TEXT("pal", block_size > 0, "block_size>0")) return nullptr;
    uint64_t max_count = all_size / block_size;
    if (max_count == 0) {
        LOG2(LOG2_ERR, "pal", "max_queue_size=%d <=0 error\n", 0);
        return nullptr;
    }
    // The indices are 32-bit.
    if (!PL_CHECK_TEXT("pal", max_count <= UINT32_MAX, "max_count<=UINT32_MAX")) return nullptr;

    auto* ctx = static_cast<mbuf_ctx*>(pl_zalloc(sizeof(mbuf_ctx)));
    if (!ctx) return nullptr;
    ctx->all_size = all_size;
    ctx->block_size = block_size;
    ctx->max_count = max_count;
    ctx->data = all_size <= SIZE_MAX ? static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(all_size))) : nullptr;
    ctx->lens = static_cast<uint32_t*>(pl_calloc(static_cast<size_t>(max_count), sizeof(uint32_t)));
    ctx->lock = os_mutex_new();
    ctx->committed = os_cond_new();
    ctx->consumed = os_cond_new();
    if (!ctx->data || !ctx->lens || !ctx->lock || !ctx->committed || !ctx->consumed) {
        free_queue(ctx);
        return nullptr;
    }
    return ctx;
}

int mbuf_exit(mbuf_ctx* ctx) {
    if (!PL_CHECK_TEXT("pal", ctx, "h!=NULL")) return -1;
    free_queue(ctx);
    return 0;
}

// Under the lock: a consumer that peeks meanwhile sees either the old batch
// or an empty queue, never a half-reset one.
void mbuf_reset(mbuf_ctx* ctx) {
    if (!ctx) return;
    os_mutex_guard g(ctx->lock);
    ctx->count = 0;
    ctx->read_idx = 0;
    ctx->write_idx = 0;
    ctx->last_block = nullptr;
    ctx->last_len = 0;
}

uint8_t* mbuf_get_write_block(mbuf_ctx* ctx) {
    if (!ctx) return nullptr;
    os_mutex_guard g(ctx->lock);
    return can_write(ctx) ? block_at(ctx, ctx->write_idx) : nullptr;
}

int mbuf_alloc_unref(mbuf_ctx* ctx, uint64_t size) {
    if (!ctx) return -1;
    if (!PL_CHECK_TEXT("pal", size > 0 && size <= ctx->block_size, "size>0 && size<=ctx->block_size")) return -1;
    os_mutex_guard g(ctx->lock);
    if (!can_write(ctx)) return -1;
    uint8_t* block = block_at(ctx, ctx->write_idx);
    if (size < ctx->block_size) {
        ctx->last_block = block;
        ctx->last_len = size;
    }
    ctx->lens[ctx->write_idx] = static_cast<uint32_t>(size);
    ctx->count++;
    ctx->write_idx++;
    os_cond_signal(ctx->committed);
    return 0;
}

int mbuf_write(mbuf_ctx* ctx, const void* block, uint64_t size) {
    if (!ctx) return -1;
    if (!PL_CHECK_TEXT("pal", block != nullptr, "block!=NULL")) return -1;
    if (!PL_CHECK_TEXT("pal", size > 0 && size <= ctx->block_size, "size>0 && size<=ctx->block_size")) return -1;
    // Only this producer moves write_idx, so the block stays ours between
    // taking it and committing it.
    uint8_t* dst = mbuf_get_write_block(ctx);
    if (!dst) return -1;
    memcpy(dst, block, static_cast<size_t>(size));
    return mbuf_alloc_unref(ctx, size);
}

int mbuf_write_wait(mbuf_ctx* ctx, const void* block, uint64_t size, uint32_t ms) {
    if (!ctx) return -1;
    {
        os_mutex_guard g(ctx->lock);
        // A batch that has used every block only frees them with a reset,
        // which is this producer's own call: waiting cannot help.
        if (ctx->write_idx >= ctx->max_count) return -1;
        uint64_t twice = static_cast<uint64_t>(ms) * 2;
        uint32_t limit = ms == OS_WAIT_FOREVER ? ms : static_cast<uint32_t>(twice < UINT32_MAX ? twice : UINT32_MAX - 1);
        if (mem_wait_locked(ctx->consumed, ctx->lock, limit, [ctx] { return can_write(ctx); }) != 0) return -1;
    }
    return mbuf_write(ctx, block, size);
}

int mbuf_is_full(mbuf_ctx* ctx) {
    if (!ctx) return 1;
    os_mutex_guard g(ctx->lock);
    return can_write(ctx) ? 0 : 1;
}

int mbuf_is_empty(mbuf_ctx* ctx) {
    if (!ctx) return 1;
    os_mutex_guard g(ctx->lock);
    return has_block(ctx) ? 0 : 1;
}

int mbuf_wait_empty(mbuf_ctx* ctx, uint32_t ms) {
    if (!ctx) return 1;
    os_mutex_guard g(ctx->lock);
    return mem_wait_locked(ctx->consumed, ctx->lock, ms, [ctx] { return !has_block(ctx); }) == 0 ? 1 : 0;
}

uint8_t* mbuf_peek(mbuf_ctx* ctx, uint64_t* len) {
    if (!ctx) return nullptr;
    os_mutex_guard g(ctx->lock);
    return peek_locked(ctx, len);
}

uint8_t* mbuf_get_read_block(mbuf_ctx* ctx, uint64_t* len, uint32_t ms) {
    if (!ctx) return nullptr;
    os_mutex_guard g(ctx->lock);
    mem_wait_locked(ctx->committed, ctx->lock, ms, [ctx] { return has_block(ctx) || ctx->woken; });
    ctx->woken = 0;
    return peek_locked(ctx, len);
}

void mbuf_wake_reader(mbuf_ctx* ctx) {
    if (!ctx) return;
    os_mutex_guard g(ctx->lock);
    ctx->woken = 1;
    os_cond_broadcast(ctx->committed);
}

int mbuf_release(mbuf_ctx* ctx) {
    if (!ctx) return -1;
    os_mutex_guard g(ctx->lock);
    if (!PL_CHECK_TEXT("pal", has_block(ctx), "ctx->read_idx<ctx->write_idx")) return -1;
    ctx->count--;
    ctx->read_idx++;
    os_cond_signal(ctx->consumed);
    return 0;
}

int64_t mbuf_read_wait(mbuf_ctx* ctx, void* buf, uint64_t len, uint32_t ms) {
    if (!PL_CHECK_TEXT("pal", ctx != nullptr, "h!=NULL")) return -1;
    if (!PL_CHECK_TEXT("pal", buf != nullptr, "buf!=NULL")) return -1;
    if (!PL_CHECK_TEXT("pal", len >= ctx->block_size, "len>=ctx->block_size")) return -1;
    uint64_t got = 0;
    uint8_t* block = mbuf_get_read_block(ctx, &got, ms);
    if (!block) return 0;
    memcpy(buf, block, static_cast<size_t>(got));
    mbuf_release(ctx);
    return static_cast<int64_t>(got);
}
