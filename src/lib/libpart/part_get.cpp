// The partition lookup: opens the device, tries the schemes and gives the
// volume list or the byte window of one volume.
#include <algorithm>
#include <climits>
#include <cstring>

#include "libpart/part.h"
#include "libpart/part_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_err_size = VERR_MSG_SIZE;

constexpr const char* k_scheme_names[] = {"volume", "MBR", "GPT", "APPLE", "AMIGA", "DVH"};

void set_err(char* err, const char* text) {
    if (err) str_safecopy_trunc(err, k_err_size, text);
}

// Closes the device and frees the working state at the end of the scope.
struct ctx_guard {
    part_ctx* c;
    ~ctx_guard() {
        pl_free(c->buf);
        pl_free(c->vols);
        if (c->dev) bd_close(c->dev);
    }
};

// Tries the schemes in order, each only while nothing was found.
int read_schemes(part_ctx* ctx) {
    struct step {
        int (*read)(part_ctx*);
        uint32_t code;  // set when the reader found volumes; MBR and GPT set theirs
    };
    static constexpr step k_steps[] = {
        {&dvh_get_parts, PART_SCHEME_DVH},
        {&amiga_get_parts, PART_SCHEME_AMIGA},
        {&apple_get_parts, PART_SCHEME_APPLE},
        {&dos_get_parts, 0},
    };
    for (const step& s : k_steps) {
        if (ctx->count != 0) break;
        if (s.read(ctx) == -2) return -2;
        if (ctx->count != 0 && s.code != 0) ctx->scheme = s.code;
    }
    return 0;
}

}  // namespace

int part_read_sector(part_ctx* ctx, uint64_t n) {
    if (ctx->buf_sector == n) return 1;
    ctx->buf_sector = UINT64_MAX;
    ctx->last_len = 0;
    uint64_t off;
    if (__builtin_mul_overflow(n, static_cast<uint64_t>(ctx->sector_size), &off) || off >= ctx->image_size) return 0;
    int64_t got = bd_pread(ctx->dev, ctx->buf, ctx->sector_size, static_cast<int64_t>(off));
    ctx->last_len = got;
    if (got < 0) return -2;
    if (got < static_cast<int64_t>(ctx->sector_size)) return 0;
    ctx->buf_sector = n;
    return 1;
}

int part_read_bytes(part_ctx* ctx, uint64_t off, void* out, size_t len) {
    uint64_t end;
    if (__builtin_add_overflow(off, static_cast<uint64_t>(len), &end)) return 0;
    auto* dst = static_cast<uint8_t*>(out);
    const uint64_t ss = ctx->sector_size;
    while (len > 0) {
        int r = part_read_sector(ctx, off / ss);
        if (r <= 0) return r;
        size_t skip = static_cast<size_t>(off % ss);
        size_t take = std::min<size_t>(len, static_cast<size_t>(ss) - skip);
        memcpy(dst, ctx->buf + skip, take);
        dst += take;
        off += take;
        len -= take;
    }
    return 1;
}

void part_add_vol(part_ctx* ctx, uint32_t scheme, uint64_t start, uint64_t size, const char* name) {
    if (ctx->count == ctx->cap) {
        uint32_t cap = ctx->cap ? ctx->cap * 2 : 16;
        auto* grown = static_cast<part_vol*>(pl_realloc(ctx->vols, sizeof(part_vol) * cap));
        if (!grown) {
            ctx->no_memory = true;
            return;
        }
        ctx->vols = grown;
        ctx->cap = cap;
    }
    part_vol* v = &ctx->vols[ctx->count++];
    memset(v, 0, sizeof *v);
    v->start = start;
    v->size = size;
    if (name) str_safecopy_trunc(v->name, sizeof v->name, name);
    ctx->scheme = scheme;
}

int libpart_get(const char* url, part_list* list, char* err, uint32_t oflag) {
    if (!list) return -1;
    memset(list, 0, sizeof *list);
    char text[k_err_size] = "";
    part_ctx ctx{};
    ctx.buf_sector = UINT64_MAX;
    ctx.last_ext = UINT64_MAX;
    ctx_guard guard{&ctx};

    ctx.dev = bd_open_errtext(url, oflag, text);
    if (!ctx.dev) {
        char shown[URL_SIZE] = "";
        if (url) url_mask_password(url, shown, sizeof shown);
        LOG2(LOG2_DBG, "part", "open [%s] error: %s\n", shown, text);
        set_err(err, text);
        return -1;
    }
    bd_dev_info info{};
    if (bd_ioctl(ctx.dev, GET_DEV_INFO, &info, sizeof info) < 0) {
        set_err(err, bd_errmsg(ctx.dev));
        return -1;
    }
    ctx.sector_size = info.sector_size;
    ctx.image_size = info.size;
    if (ctx.sector_size == 0 || info.size < ctx.sector_size) {
        LOG2(LOG2_DBG, "part", "size=%llu sector_bytes=%u\n", static_cast<unsigned long long>(info.size),
             ctx.sector_size);
        set_err(err, "invalid image file size");
        return -1;
    }
    ctx.buf = static_cast<uint8_t*>(pl_malloc(ctx.sector_size));
    if (!ctx.buf) {
        set_err(err, verr2str(VERR_NO_MEMORY));
        return -1;
    }

    if (read_schemes(&ctx) == -2) {
        set_err(err, bd_errmsg(ctx.dev));
        return -2;
    }
    if (ctx.no_memory) {
        set_err(err, verr2str(VERR_NO_MEMORY));
        return -1;
    }
    if (ctx.count == 0) {
        part_add_vol(&ctx, PART_SCHEME_VOLUME, 0, ctx.image_size / ctx.sector_size, "disk or volume");
        if (ctx.no_memory) {
            set_err(err, verr2str(VERR_NO_MEMORY));
            return -1;
        }
    }

    list->vols = ctx.vols;
    ctx.vols = nullptr;
    list->count = ctx.count;
    list->image_size = ctx.image_size;
    list->sector_size = ctx.sector_size;
    list->scheme = ctx.scheme;
    list->scheme_name = part_scheme_name(ctx.scheme);
    str_safecopy_trunc(list->info, sizeof list->info, info.info);
    return 0;
}

int libpart_get_vol(const char* url, int vol_idx, bd_vol* vol, char* err, uint32_t oflag) {
    part_list list{};
    if (libpart_get(url, &list, err, oflag) != 0) return -1;
    int rc = 0;
    char text[k_err_size];
    if (vol_idx >= 1 && static_cast<uint32_t>(vol_idx) <= list.count) {
        const part_vol& v = list.vols[vol_idx - 1];
        uint64_t start, size, end;
        // A window that cannot be expressed in bytes would wrap to the start of the device.
        if (__builtin_mul_overflow(v.start, static_cast<uint64_t>(list.sector_size), &start) ||
            __builtin_mul_overflow(v.size, static_cast<uint64_t>(list.sector_size), &size) ||
            __builtin_add_overflow(start, size, &end) || end > static_cast<uint64_t>(INT64_MAX)) {
            str_sprintf_s(text, sizeof text, "vol_idx=%d start=%llu size=%llu sectors out of range", vol_idx,
                          static_cast<unsigned long long>(v.start), static_cast<unsigned long long>(v.size));
            set_err(err, text);
            rc = -1;
        } else if (vol) {
            vol->vol_start = start;
            vol->vol_size = size;
            LOG2(LOG2_DBG, "part", "vol_idx=%d scheme=%s vol_start=%llu vol_size=%llu\n", vol_idx, list.scheme_name,
                 static_cast<unsigned long long>(start), static_cast<unsigned long long>(size));
        }
    } else {
        str_sprintf_s(text, sizeof text, "vol_idx=%d valid values: 1-%d", vol_idx, static_cast<int>(list.count));
        set_err(err, text);
        rc = -1;
    }
    part_list_free(&list);
    return rc;
}

void part_list_free(part_list* list) {
    if (!list) return;
    pl_free(list->vols);
    list->vols = nullptr;
    list->count = 0;
}

const char* part_scheme_name(uint32_t code) {
    return code < sizeof k_scheme_names / sizeof k_scheme_names[0] ? k_scheme_names[code] : "UNKOWN";
}
