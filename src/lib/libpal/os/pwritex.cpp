// The pattern writer.
#include "libpal/os/pwritex.h"

#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_file.h"

namespace {

bool value_valid(int32_t value) { return value >= 0 && value <= PWRITEX_RANDOM; }

// A new zeroed buffer of size bytes in place of the old one.
bool buffer_make(pwritex_ctx* ctx, uint64_t size) {
    void* buf = size <= SIZE_MAX ? pl_zalloc(static_cast<size_t>(size)) : nullptr;
    if (!buf) {
        if (ctx->verr) VERR_SET(ctx->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return false;
    }
    pl_free(ctx->buf);
    ctx->buf = static_cast<uint8_t*>(buf);
    ctx->size = size;
    ctx->filled = 0;
    return true;
}

// Makes the first n bytes of the buffer hold the pattern.
void buffer_fill(pwritex_ctx* ctx, int32_t value, uint64_t n) {
    if (value == PWRITEX_RANDOM) {
        memory_random(ctx->buf, n);
        ctx->filled = -1;
    } else if (ctx->filled != value) {
        memset(ctx->buf, value, static_cast<size_t>(ctx->size));
        ctx->filled = value;
    }
}

// One write of n bytes of the buffer; a failure fills the error record.
int64_t write_piece(pwritex_ctx* ctx, void* target, uint64_t n, int64_t off) {
    if (ctx->pwrite) {
        int64_t rc = ctx->pwrite(target, ctx->buf, static_cast<int64_t>(n), off);
        if (rc < 0 && PL_CHECK_TEXT("pal", ctx->vperror != nullptr, "ctx->vperror!=NULL") && ctx->verr)
            ctx->vperror(target, ctx->verr);
        return rc;
    }
    int64_t rc = os_file_pwrit(static_cast<os_file_ctx*>(target), ctx->buf, static_cast<size_t>(n), off);
    if (rc < 0 && ctx->verr) VERR_SET_ERRNO(ctx->verr, errno, VERR_WRITE_ERROR);
    return rc;
}

}  // namespace

int pwritex_init(pwritex_ctx* ctx, void* target, int32_t value, uint64_t size) {
    if (!PL_CHECK_TEXT("pal", ctx != nullptr, "ctx!=NULL")) return -1;
    if (!value_valid(value) || size == 0) {
        // A piece of 0 bytes would never advance through a range.
        if (ctx->verr)
            VERR_SET(ctx->verr, VERR_INVALID_PARAMETER, "pattern value=%d size=%llu", value,
                     static_cast<unsigned long long>(size));
        return -1;
    }
    if (!buffer_make(ctx, size)) return -1;
    ctx->target = target;
    ctx->value = value;
    if (value != PWRITEX_RANDOM) buffer_fill(ctx, value, size);
    return 0;
}

int64_t pwritex_exec(pwritex_ctx* ctx, int64_t len, int64_t off) {
    if (!PL_CHECK_TEXT("pal", ctx != nullptr, "ctx!=NULL")) return -1;
    if (!ctx->buf || ctx->size == 0 || !value_valid(ctx->value)) {
        if (ctx->verr) VERR_SET(ctx->verr, VERR_WRONG_ORDER, "%s", "pattern writer not initialised");
        return -1;
    }
    if (len < 0 || off < -1) {
        if (ctx->verr)
            VERR_SET(ctx->verr, VERR_INVALID_PARAMETER, "len=%lld off=%lld", static_cast<long long>(len),
                     static_cast<long long>(off));
        return -1;
    }
    // The offset -1 asks for the target's current position, which every
    // write moves on by itself.
    const bool at_current = off == -1;
    int64_t total = 0;
    while (total < len) {
        uint64_t left = static_cast<uint64_t>(len - total);
        uint64_t n = left < ctx->size ? left : ctx->size;
        // A fill byte may have been replaced by pwritex_write in between.
        buffer_fill(ctx, ctx->value, n);
        int64_t rc = write_piece(ctx, ctx->target, n, at_current ? -1 : off + total);
        if (rc < 0) return -1;
        uint64_t done = static_cast<uint64_t>(rc) < n ? static_cast<uint64_t>(rc) : n;
        total += static_cast<int64_t>(done);
        if (done < n) break;
    }
    return total;
}

int64_t pwritex_write(pwritex_ctx* ctx, void* target, int32_t value, uint64_t size, int64_t off) {
    if (!PL_CHECK_TEXT("pal", ctx != nullptr, "ctx!=NULL")) return -1;
    if (!value_valid(value)) {
        if (ctx->verr) VERR_SET(ctx->verr, VERR_INVALID_PARAMETER, "pattern value=%d", value);
        return VERR_INVALID_PARAMETER;
    }
    if (size == 0) return 0;
    if ((!ctx->buf || ctx->size < size) && !buffer_make(ctx, size)) return VERR_NO_MEMORY;
    buffer_fill(ctx, value, size);
    return write_piece(ctx, target, size, off);
}

int pwritex_free(pwritex_ctx* ctx) {
    if (!ctx) return 0;
    pl_free(ctx->buf);
    ctx->buf = nullptr;
    ctx->size = 0;
    ctx->filled = 0;
    return 0;
}
