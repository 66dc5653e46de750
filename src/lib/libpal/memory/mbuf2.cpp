#include "libpal/memory/mbuf2.h"

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

mbuf2_ctx* mbuf2_init(uint64_t all_size, uint32_t block_size) {
    if (!PL_CHECK_TEXT("pal", all_size > 2, "all_size>2")) return nullptr;
    if (!PL_CHECK_TEXT("pal", block_size > 0, "block_size>0")) return nullptr;
    uint64_t blocks = all_size / block_size + (all_size % block_size ? 1 : 0);
    if (blocks > SIZE_MAX / block_size || blocks > SIZE_MAX / sizeof(mbuf2_block)) return nullptr;

    auto* ctx = static_cast<mbuf2_ctx*>(pl_zalloc(sizeof(mbuf2_ctx)));
    if (!ctx) return nullptr;
    ctx->block_size = block_size;
    ctx->max_idx = all_size / block_size;
    ctx->data = static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(blocks * block_size)));
    ctx->blocks = static_cast<mbuf2_block*>(pl_calloc(static_cast<size_t>(blocks), sizeof(mbuf2_block)));
    if (!ctx->data || !ctx->blocks) {
        mbuf2_exit(ctx);
        return nullptr;
    }
    return ctx;
}

mbuf2_block* mbuf2_get_block(mbuf2_ctx* ctx) {
    if (!ctx) return nullptr;
    if (!PL_CHECK_TEXT("pal", ctx->alloc_idx < ctx->max_idx, "ctx->alloc_idx<ctx->max_idx")) return nullptr;
    mbuf2_block* b = &ctx->blocks[ctx->alloc_idx];
    b->ptr = ctx->data + ctx->block_size * ctx->alloc_idx;
    ctx->alloc_idx++;
    return b;
}

void mbuf2_reset(mbuf2_ctx* ctx) {
    if (ctx) ctx->alloc_idx = 0;
}

void mbuf2_exit(mbuf2_ctx* ctx) {
    if (!ctx) return;
    pl_free(ctx->data);
    pl_free(ctx->blocks);
    pl_free(ctx);
}
