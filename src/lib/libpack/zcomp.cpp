// The pack context: one opened method and a reusable page-aligned buffer.
#include <cstring>

#include "libpack/pack.h"
#include "libpal/memory/memory.h"
#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

namespace {

void release_handle(zcomp_ctx* ctx) {
    pack_handle_free(ctx->handle);
    ctx->handle = nullptr;
}

}  // namespace

int zcomp_init() { return 0; }

uint64_t zcomp_bound(uint64_t n) { return n > 0x7E000000u ? 0 : n + n / 255 + 16; }

int zcomp_open_ex(zcomp_ctx* ctx) {
    if (!ctx) return -1;
    release_handle(ctx);
    // The name may have been filled by a bounded copy without a terminator.
    ctx->name[sizeof ctx->name - 1] = 0;
    pack_handle* h = ctx->name[0] ? pack_open_name_arg(ctx->name, ctx->arg) : pack_open_id_arg(ctx->id, ctx->arg);
    if (!h) {
        LOG2(LOG2_DBG, "pack", "open name=[%s] id=%u failed\n", ctx->name, ctx->id);
        return -1;
    }
    ctx->handle = h;
    ctx->id = pack_handle_id(h);
    return 0;
}

int zcomp_close(zcomp_ctx* ctx) {
    if (!ctx) return 0;
    release_handle(ctx);
    pl_aligned_free(ctx->buf);
    ctx->buf = nullptr;
    ctx->buf_size = 0;
    return 0;
}

int64_t zcomp_pack(zcomp_ctx* ctx, const void* src, int64_t len, void* dst, int64_t capacity) {
    if (!ctx || !ctx->handle) return -1;
    return pack_handle_compress(ctx->handle, src, len, dst, capacity);
}

int64_t zcomp_unpack(zcomp_ctx* ctx, const void* src, int64_t zlen, void* dst, int64_t capacity) {
    if (!ctx || !ctx->handle) return -1;
    return pack_handle_decompress(ctx->handle, src, zlen, dst, capacity);
}

void* zcomp_alloc_align_pagesize(zcomp_ctx* ctx, size_t size) {
    if (!ctx) return nullptr;
    if (mem_get_pagesize() == 0) mem_init();  // platform start-up may not have run yet
    uint32_t align = mem_get_pagesize();
    if (align < 2) {
        LOG2(LOG2_WARN, "pack", "align must >=2\n");
        return nullptr;
    }
    if (ctx->buf && ctx->buf_size >= size) return ctx->buf;
    void* p = pl_aligned_alloc(size, align);
    pl_aligned_free(ctx->buf);
    ctx->buf = p;
    // A failed allocation leaves no buffer, so no later request may take it for one.
    ctx->buf_size = p ? size : 0;
    return p;
}

int zcomp_unpack_buf(zcomp_ctx* ctx, const void* src, int64_t zlen, void** out, int64_t expected) {
    if (!ctx || !out || expected < 0) return -1;
    // An empty request still gets a buffer, so *out is always usable on success.
    void* buf = zcomp_alloc_align_pagesize(ctx, expected > 0 ? static_cast<size_t>(expected) : 1);
    if (!buf) return -1;
    int64_t n = zcomp_unpack(ctx, src, zlen, buf, expected);
    if (n != expected) {
        LOG2(LOG2_DBG, "pack", "unpack ret=%lld expected=%lld error\n", static_cast<long long>(n),
             static_cast<long long>(expected));
        return -1;
    }
    *out = buf;
    return 0;
}
