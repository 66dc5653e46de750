// Opening and positioning the input and the output.
#include <algorithm>
#include <cstring>
#include <memory>

#include "libdd/dd.h"
#include "libdd/dd_priv.h"
#include "libpal/memory/mem_diff.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_console.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "liblog/log2.h"

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

constexpr uint64_t k_skip_buf = 1u << 20;

struct aligned_free {
    void operator()(uint8_t* p) const { pl_aligned_free(p); }
};
using pl_aligned_ptr = std::unique_ptr<uint8_t, aligned_free>;

uint32_t in_oflag(const dd_ctx* ctx) {
    uint32_t f = OS_PF_RDONLY;
    if (ctx->flags & DD_F_IDIRECT) f |= OS_PF_DIRECT;
    if (ctx->flags & DD_F_IIMAGE) f |= BD_OFLAG_IMAGE;
    if (ctx->flags & DD_F_IVSS) f |= OS_PF_VSS;
    return f;
}

uint32_t out_oflag(dd_ctx* ctx) {
    uint32_t f;
    switch (ctx->mode) {
    case DD_MODE_DIFF_HASH:
    case DD_MODE_DIFF_BIN:
        f = OS_PF_RDONLY;
        ctx->flags |= DD_F_NOTRUNC;
        break;
    case DD_MODE_CLEAR:
    case DD_MODE_SYNC:
        f = OS_PF_RDWR;
        ctx->flags |= DD_F_NOTRUNC;
        if (ctx->flags & DD_F_ODIRECT) f |= OS_PF_DIRECT;
        break;
    default:
        if (ctx->flags & DD_F_RESUME) ctx->flags |= DD_F_NOTRUNC;
        f = (ctx->flags & DD_F_NOTRUNC) ? (OS_PF_RDWR | OS_PF_CREATE | OS_PF_APPEND)
                                        : (OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC);
        if (ctx->flags & DD_F_ODIRECT) f |= OS_PF_DIRECT;
        break;
    }
    if (ctx->flags & DD_F_OIMAGE) f |= BD_OFLAG_IMAGE;
    return f;
}

bool info_of(dd_ctx* ctx, bd_dev* dev, bd_dev_info* info) {
    if (bd_ioctl(dev, GET_DEV_INFO, info, sizeof *info) == 0) return true;
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "bd_info [%s] error: %s\n", dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
    return false;
}

// A pseudo-file such as standard output cannot be positioned; /dev/null may
// be positioned anywhere without effect.
bool is_dev_null(const char* url) {
    char path[4096];
    if (url_get_path(url, path, sizeof path) != 0) return false;
    path_normalize_local(path);
    return strcmp(path, "/dev/null") == 0;
}

// The line of a side that could not be positioned at off; DD_FATAL.
int seek_fatal(dd_ctx* ctx, bd_dev* dev, uint64_t off) {
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "lseek [%s] offset=%lli error: %s\n", dd_side_name(ctx, dev, name, sizeof name),
         static_cast<long long>(off), bd_errmsg(dev));
    return DD_FATAL;
}

// Positions a side at off: 0, or the line and DD_FATAL.
int seek_side(dd_ctx* ctx, bd_dev* dev, uint64_t off) {
    return bd_seek(dev, static_cast<int64_t>(off)) == 0 ? 0 : seek_fatal(ctx, dev, off);
}

// Moves the input to i_offset: a seek where the input can seek, else reading
// and dropping the bytes, as a stream allows.
int position_input(dd_ctx* ctx) {
    char name[DD_URL_SIZE];
    if (!ctx->in_stream && bd_seek(ctx->in_dev, static_cast<int64_t>(ctx->i_offset)) == 0) return 0;
    if (!ctx->in_stream && bd_errno(ctx->in_dev) != VERR_SEEK_ON_DEVICE)
        return seek_fatal(ctx, ctx->in_dev, ctx->i_offset);
    ctx->in_stream = 1;
    // Modes that read through the device's jobs have no read buffer of their own.
    uint64_t unit = ctx->ibuf ? static_cast<uint64_t>(ctx->ibs) : k_skip_buf;
    uint8_t* buf = ctx->ibuf;
    pl_aligned_ptr own;
    if (!buf) {
        own.reset(static_cast<uint8_t*>(pl_aligned_alloc(k_skip_buf, k_page)));
        buf = own.get();
        if (!buf) {
            LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", static_cast<unsigned>(k_skip_buf));
            return DD_FATAL;
        }
    }
    uint64_t left = ctx->i_offset;
    while (left > 0) {
        if (dd_stopped(ctx)) return DD_STOPPED;
        int64_t want = static_cast<int64_t>(std::min<uint64_t>(left, unit));
        int64_t n = bd_read(ctx->in_dev, buf, want);
        if (n < 0) {
            LOG2(LOG2_ERR, "dd_a", "read [%s] offset=%lli bs=%d errno=%d error: %s\n",
                 dd_side_name(ctx, ctx->in_dev, name, sizeof name), static_cast<long long>(ctx->i_offset - left),
                 static_cast<int>(want), bd_errno(ctx->in_dev), bd_errmsg(ctx->in_dev));
            return dd_side_fatal(ctx, ctx->in_dev);
        }
        if (n == 0) {
            // Like dd: a skip past the end of a stream leaves nothing to copy.
            LOG2(LOG2_WARN, "dd_a", "[%s] cannot skip to specified offset\n", dd_side_name(ctx, ctx->in_dev, name, sizeof name));
            return 0;
        }
        left -= static_cast<uint64_t>(n);
    }
    return 0;
}

int position_output(dd_ctx* ctx) {
    if (ctx->out_info.type != OS_FILE_TYPE_VIRTUAL) return seek_side(ctx, ctx->out_dev, ctx->o_offset);
    if (is_dev_null(ctx->out_url)) return 0;
    BD_SET_ERR(ctx->out_dev, VERR_SEEK_ON_DEVICE, "%s", verr2str(VERR_SEEK_ON_DEVICE));
    return seek_fatal(ctx, ctx->out_dev, ctx->o_offset);
}

int open_input(dd_ctx* ctx) {
    verr_info err{};
    ctx->in_dev = bd_open2s(ctx->in_url, in_oflag(ctx), reinterpret_cast<uint64_t>(&ctx->in_stop), &err);
    if (!ctx->in_dev) {
        char name[DD_URL_SIZE];
        url_mask_password(ctx->in_url, name, sizeof name);
        LOG2(LOG2_ERR, "dd_a", "open [%s] error: %s\n", name, verr_msg(&err));
        return dd_open_errno(&err);
    }
    ctx->in_positioned = bd_read_ahead_fn(ctx->in_dev, nullptr) != nullptr;
    // Every open starts the mode's job again, from the state of the last range.
    return dd_modes_open_input(ctx);
}

// Opens the output; with "resume" a failed open is an error, never a reason
// to truncate what was already written.
int open_output(dd_ctx* ctx, uint32_t oflag) {
    char text[VERR_MSG_SIZE];
    ctx->out_dev = bd_open_param_errtext(ctx->out_url, oflag, reinterpret_cast<uint64_t>(&ctx->out_stop), text);
    if (ctx->out_dev) return 0;
    LOG2(LOG2_ERR, "dd_a", "open [%s] error: %s\n", ctx->out_shown, text);
    return -1;
}

int check_offset(dd_ctx* ctx, bd_dev* dev, uint64_t want, const char* which) {
    char name[DD_URL_SIZE];
    int64_t off = bd_offset(dev);
    if (off < 0) {
        LOG2(LOG2_ERR, "dd_a", "offset [%s] error: %s\n", dd_side_name(ctx, dev, name, sizeof name), bd_errmsg(dev));
        return DD_FATAL;
    }
    if (off != 0 && static_cast<uint64_t>(off) != want) {
        LOG2(LOG2_ERR, "dd_a", "[%s] %s=%lli offset=%lli %s!=offset error\n", dd_side_name(ctx, dev, name, sizeof name),
             which, static_cast<long long>(want), static_cast<long long>(off), which);
        return DD_FATAL;
    }
    return 0;
}

void device_line(const char* dir, const bd_dev_info& info, uint64_t size, uint64_t offset, uint32_t ss) {
    char sz[32];
    os_console_printf(stderr, 1, "%s type=[%s] size: %lli (%s) offset: %lli sector_size: %d [%s]\n", dir, info.bd_type,
                      static_cast<long long>(size), size_to_text_buf(size, 0, sz, sizeof sz),
                      static_cast<long long>(offset), static_cast<int>(ss), info.info);
}

// Compare and sync read both sides at offsets of their own choosing, again
// and again: a stream cannot give that.
bool reads_at_offsets(const dd_ctx* ctx) {
    return ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN || ctx->mode == DD_MODE_SYNC;
}

int refuse_stream(const dd_ctx* ctx, const char* side) {
    LOG2(LOG2_ERR, "dd_a", "[%s] is a stream: %s needs an input and an output it can read at any offset\n", side,
         ctx->mode == DD_MODE_SYNC ? "sync_mode" : "diff_mode");
    return DD_FATAL;
}

int init_pattern(dd_ctx* ctx) {
    if (bd_pwritex_init(ctx->out_dev, ctx->clear_rec->value, ctx->clear_rec->unit) == 0) return 0;
    char name[DD_URL_SIZE];
    LOG2(LOG2_ERR, "dd_a", "bd_pwritex_init [%s] error: %s\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name),
         bd_errmsg(ctx->out_dev));
    return DD_FATAL;
}

int reopen(dd_ctx* ctx) {
    if (ctx->need_in) {
        LOG2(LOG2_DBG, "dd_a", "i_offset=%lli\n", static_cast<long long>(ctx->i_offset));
        if (!ctx->in_stream && seek_side(ctx, ctx->in_dev, ctx->i_offset) != 0) return DD_FATAL;
    }
    if (ctx->need_out) {
        ctx->out_oflag &= ~OS_PF_TRUNC;
        // A copy goes on behind what it wrote: an image keeps its side file.
        if (ctx->mode == DD_MODE_COPY) ctx->out_oflag |= OS_PF_APPEND;
        if (open_output(ctx, ctx->out_oflag) != 0) return DD_ERR_OPEN;
        if (ctx->mode == DD_MODE_CLEAR && init_pattern(ctx) != 0) return DD_FATAL;
        LOG2(LOG2_DBG, "dd_a", "o_offset=%lli\n", static_cast<long long>(ctx->o_offset));
        if (ctx->out_info.type != OS_FILE_TYPE_VIRTUAL && seek_side(ctx, ctx->out_dev, ctx->o_offset) != 0)
            return DD_FATAL;
        if (ctx->mode == DD_MODE_COPY && dd_pack_mode(ctx, 0) != 0) return DD_FATAL;
    }
    return 0;
}

// Start offsets, truncation and positioning of the first open.
int first_positions(dd_ctx* ctx) {
    char name[DD_URL_SIZE];
    bool resume = (ctx->flags & DD_F_RESUME) != 0;
    // Swapped pairs start at even offsets of both files: a resume of a swab
    // copy whose output ends inside a pair writes that pair again.
    const uint64_t resume_at = (ctx->flags & DD_F_SWAB) ? ctx->out_size & ~1ull : ctx->out_size;
    if (resume) {
        ctx->skip = DD_ALL;
        ctx->flags |= DD_F_SKIP_BYTES | DD_F_SEEK_BYTES;
        ctx->seek = resume_at;
    } else if (ctx->seek == DD_ALL) {
        ctx->seek = ctx->out_size;
    }
    if (ctx->skip == DD_ALL) {
        ctx->skip = resume ? resume_at : ctx->out_size;
        if (resume) {
            dd_side_name(ctx, ctx->out_dev, name, sizeof name);
            // Said at the default level: a finished output is why the run ends.
            if (ctx->in_size >= 1 && ctx->in_size == ctx->out_size) {
                LOG2(LOG2_WARN, "dd_a", "file [%s] skip=%lld size=%ldd error: no data to copy\n", name,
                     static_cast<long long>(ctx->out_size), static_cast<long>(ctx->out_size));
                return DD_NO_DATA;
            }
            if (ctx->out_size > ctx->in_size && ctx->in_size_type != BLOCK_SIZE_UNLIMITED) {
                LOG2(LOG2_ERR, "dd_a", "file [%s] skip=%lli size=%lli error: offset is larger than file size\n", name,
                     static_cast<long long>(ctx->skip), static_cast<long long>(ctx->in_size));
                return DD_NO_DATA;
            }
        }
    }
    uint64_t iunit = (ctx->flags & DD_F_SKIP_BYTES) ? 1 : static_cast<uint64_t>(ctx->ibs);
    uint64_t ounit = (ctx->flags & DD_F_SEEK_BYTES) ? 1 : static_cast<uint64_t>(ctx->obs);
    uint64_t ioff, ooff;
    if (__builtin_mul_overflow(ctx->skip, iunit, &ioff) || __builtin_mul_overflow(ctx->seek, ounit, &ooff) ||
        ioff > INT64_MAX || ooff > INT64_MAX) {
        LOG2(LOG2_ERR, "dd_a", "skip=%llu seek=%llu error: offset out of range\n",
             static_cast<unsigned long long>(ctx->skip), static_cast<unsigned long long>(ctx->seek));
        return DD_FATAL;
    }
    if (ctx->seek != 0 && !(ctx->flags & DD_F_NOTRUNC) && ctx->out_size_type == BLOCK_SIZE_EXTENSIBLE &&
        bd_truncate(ctx->out_dev, static_cast<int64_t>(ooff)) != 0) {
        LOG2(LOG2_ERR, "dd_a", "truncate [%s] error: %s\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name),
             bd_errmsg(ctx->out_dev));
        return DD_FATAL;
    }
    if (ctx->skip != 0) {
        ctx->i_offset = ioff;
        LOG2(LOG2_VERB, "dd_a", "ctx->skip: %lli offset=%lli blocksz=%d\n", static_cast<long long>(ctx->skip),
             static_cast<long long>(ioff), static_cast<int>(ctx->ibs));
        int r = position_input(ctx);
        if (r != 0) return r;
    }
    if (ctx->seek != 0) {
        ctx->o_offset = ooff;
        LOG2(LOG2_VERB, "dd_a", "ctx->seek: %lli offset=%lli blocksz=%d\n", static_cast<long long>(ctx->seek),
             static_cast<long long>(ooff), static_cast<int>(ctx->obs));
        int r = position_output(ctx);
        if (r != 0) return r;
    }
    return 0;
}

// How many steps the run takes and where the input's data ends.
void step_count(dd_ctx* ctx) {
    char name[DD_URL_SIZE];
    uint64_t ibs = static_cast<uint64_t>(ctx->ibs);
    bool out_fixed = ctx->need_out && ctx->out_size_type == BLOCK_SIZE_FIXED;
    uint64_t out_left = ctx->out_size > ctx->o_offset ? ctx->out_size - ctx->o_offset : 0;
    if (!(ctx->flags & DD_F_COUNT)) {
        if (ctx->in_size != 0) {
            uint64_t left = ctx->in_size > ctx->i_offset ? ctx->in_size - ctx->i_offset : 0;
            if (ctx->in_size <= ctx->i_offset)
                LOG2(LOG2_WARN, "dd_a", "[%s] skip=%lli is at or past the end of the input (%lli bytes)\n",
                     dd_side_name(ctx, ctx->in_dev, name, sizeof name), static_cast<long long>(ctx->i_offset),
                     static_cast<long long>(ctx->in_size));
            if (ctx->need_out && ctx->out_size_type == BLOCK_SIZE_EXTENSIBLE &&
                (ctx->mode == DD_MODE_COPY || ctx->mode == DD_MODE_SYNC) &&
                bd_extend_test(ctx->out_dev, -1, static_cast<int64_t>(left)) == 1)
                LOG2(LOG2_ERR, "dd_a", "[%s] Warn: Not enough space.\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name));
            if (out_fixed) left = std::min(left, out_left);
            ctx->count = static_cast<int64_t>(ceil_div(left, ibs));
            ctx->in_end = ctx->i_offset + left;
        } else if ((ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN || ctx->mode == DD_MODE_SYNC) &&
                   !ctx->in_stream) {
            // An empty input (or, in a compare, an empty side): nothing to walk.
            ctx->count = 0;
        } else {
            ctx->count = static_cast<int64_t>(DD_ALL);
            if (out_fixed || (ctx->mode == DD_MODE_CLEAR && ctx->out_size != 0))
                ctx->count = static_cast<int64_t>(ceil_div(out_left, ibs));
            // A wipe never grows an empty file without end.
            if (ctx->mode == DD_MODE_CLEAR && ctx->out_size == 0 && ctx->out_size_type == BLOCK_SIZE_EXTENSIBLE) {
                LOG2(LOG2_WARN, "dd_a", "[%s] is empty: nothing to wipe without count\n",
                     dd_side_name(ctx, ctx->out_dev, name, sizeof name));
                ctx->count = 0;
            }
        }
    } else if (ctx->mode == DD_MODE_COPY && ctx->out_size_type == BLOCK_SIZE_EXTENSIBLE) {
        uint64_t want;
        if (!__builtin_mul_overflow(ibs, static_cast<uint64_t>(ctx->count), &want) && want <= INT64_MAX &&
            bd_extend_test(ctx->out_dev, -1, static_cast<int64_t>(want)) == 1)
            LOG2(LOG2_ERR, "dd_a", "[%s] Warn: Not enough space\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name));
    }
    if ((ctx->flags & DD_F_RESUME) && ctx->in_size != 0) {
        ctx->off_count = static_cast<int64_t>(ceil_div(ctx->out_size, ibs));
        if (ctx->count != static_cast<int64_t>(DD_ALL)) ctx->all_count = ctx->count + ctx->off_count;
        LOG2(LOG2_VERB, "dd_a", "all_count=%lli off_count=%lli\n", static_cast<long long>(ctx->all_count),
             static_cast<long long>(ctx->off_count));
    }
}

}  // namespace

int dd_open_errno(const verr_info* err) {
    LOG2(LOG2_VERB, "dd_a", "ioerr=%d\n", err->code);
    return (err->code == VERR_FILE_NOT_FOUND || err->code == VERR_PATH_NOT_FOUND) ? DD_FATAL : DD_ERR_OPEN;
}

namespace {

// Whether packed blocks of `block_len` bytes give exactly the bytes, records
// and digests of the same run without pass-through: nothing changes the data
// on the way, every step is one whole block of the input image, and the run
// starts and ends on block boundaries (or ends where the image ends).
bool pack_fits(const dd_ctx* ctx, uint64_t block_len) {
    const uint32_t transforms = DD_F_SYNC | DD_F_SWAB | DD_F_ST_MD5 | DD_F_ST_SHA1 | DD_F_OBUF;
    if (ctx->mode != DD_MODE_COPY || (ctx->flags & transforms) || ctx->crypt.cipher) return false;
    if (block_len == 0 || ctx->ibs != ctx->obs || static_cast<uint64_t>(ctx->ibs) != block_len) return false;
    if (ctx->in_size == 0 || ctx->in_stream || ctx->i_offset > ctx->in_size) return false;
    uint64_t start = ctx->in_info.vol_start + ctx->i_offset;
    if (start % block_len != 0) return false;
    // Where the reads of the plain run end.
    uint64_t end = ctx->in_size;
    if (ctx->in_end) {
        end = std::min(end, ctx->in_end);
    } else if (ctx->count != static_cast<int64_t>(DD_ALL)) {
        uint64_t want;
        if (!__builtin_mul_overflow(static_cast<uint64_t>(ctx->count), block_len, &want) && want < end - ctx->i_offset)
            end = ctx->i_offset + want;
    }
    if (ctx->need_out && ctx->out_size_type == BLOCK_SIZE_FIXED && ctx->out_size != 0) {
        uint64_t room = ctx->out_size > ctx->o_offset ? ctx->out_size - ctx->o_offset : 0;
        if (room < end - ctx->i_offset) end = ctx->i_offset + room;
    }
    if ((ctx->in_info.vol_start + end) % block_len == 0) return true;
    // A short last block is the image's own last block only when the window
    // reaches the end of the image.
    return end == ctx->in_size && !ctx->in_dev->vol_bounded;
}

// Whether the run is the whole input into an output at the same offsets,
// from their starts or, resumed, from the output's end: no count, skip,
// seek, partition window or output of fixed size. Only the length of its
// steps is then the caller's choice.
bool whole_input(const dd_ctx* ctx) {
    if (ctx->flags & DD_F_COUNT) return false;
    if (ctx->flags & DD_F_RESUME ? ctx->i_offset != ctx->o_offset : ctx->i_offset != 0 || ctx->o_offset != 0)
        return false;
    if (ctx->in_info.vol_start != 0 || ctx->in_dev->vol_bounded || ctx->out_dev->vol_bounded) return false;
    return !(ctx->need_out && ctx->out_size_type == BLOCK_SIZE_FIXED);
}

// A compressed input image copied whole passes its packed blocks through at
// its own block length, whatever the steps asked for: the steps take that
// length when pass-through then fits (nothing transforms or digests the
// data). True when the steps were changed.
bool take_image_blocks(dd_ctx* ctx, uint64_t block_len) {
    if (bd_drv_type(ctx->in_dev) != BD_DRV_KXZ || block_len == static_cast<uint64_t>(ctx->ibs)) return false;
    if (block_len > INT32_MAX / 2 || ctx->ibs != ctx->obs || !whole_input(ctx)) return false;
    const int64_t ibs = ctx->ibs;
    ctx->ibs = ctx->obs = static_cast<int64_t>(block_len);
    if (!pack_fits(ctx, block_len)) {
        ctx->ibs = ctx->obs = ibs;
        return false;
    }
    // The step counts of step_count, in the new steps.
    ctx->count = static_cast<int64_t>(ceil_div(ctx->in_end - ctx->i_offset, block_len));
    if (ctx->flags & DD_F_RESUME) {
        ctx->off_count = static_cast<int64_t>(ceil_div(ctx->out_size, block_len));
        ctx->all_count = ctx->count + ctx->off_count;
    }
    ctx->pack.block_len = block_len;
    LOG2(LOG2_DBG, "dd_a", "bs=%lld: the image's blocks of %llu bytes pass through\n", static_cast<long long>(ibs),
         static_cast<unsigned long long>(block_len));
    return true;
}

// No pass-through; a new output image takes the block length of the plain run.
int no_pack_mode(dd_ctx* ctx, int first) {
    bd_set_no_pack_mode(ctx->in_dev, ctx->out_dev);
    ctx->pack.on = 0;
    bd_pack_param p{};
    if (first && bd_drv_type(ctx->out_dev) == BD_DRV_KXZ && bd_get_pack_param(ctx->out_dev, &p) == 0 && p.new_image) {
        p.block_len = ctx->pack.block_len;
        p.sector_size = ctx->pack.sector_size;
        if (bd_set_pack_param(ctx->out_dev, &p) != 0) {
            LOG2(LOG2_ERR, "dd_a", "bd_set_best_pack_mode failed\n");
            return -1;
        }
    }
    return 0;
}

}  // namespace

int dd_pack_mode(dd_ctx* ctx, int first) {
    ctx->pack.sector_size = ctx->in_sector_size;
    // A new image takes the length of the blocks it will be given.
    ctx->pack.block_len = static_cast<uint64_t>(ctx->obs);
    if (first) {
        ctx->pack_fits = 0;
        bd_pack_mode peek = ctx->pack;
        if (!ctx->disable_pack_transport && bd_peek_pack_mode(ctx->in_dev, ctx->out_dev, &peek) == 0 && peek.on)
            ctx->pack_fits = take_image_blocks(ctx, peek.block_len) || pack_fits(ctx, peek.block_len);
    }
    if (!ctx->pack_fits) return no_pack_mode(ctx, first);
    if (bd_set_best_pack_mode(ctx->in_dev, ctx->out_dev, &ctx->pack) != 0) {
        LOG2(LOG2_ERR, "dd_a", "bd_set_best_pack_mode failed\n");
        return -1;
    }
    // The blocks must stay the steps of the run (a re-opened output may
    // disagree): plain data then, with the same step sizes.
    if (ctx->pack.on && ctx->pack.block_len != static_cast<uint64_t>(ctx->ibs)) {
        bd_set_no_pack_mode(ctx->in_dev, ctx->out_dev);
        ctx->pack.on = 0;
    }
    if (ctx->pack.on && first) {
        LOG2(LOG2_DBG, "dd_a", "pack mode start...\n");
        // A packed record may be longer than its block (up to twice).
        uint64_t len = ctx->pack.block_len;
        auto* buf = static_cast<uint8_t*>(pl_aligned_alloc(static_cast<size_t>(len * 2), k_page));
        if (!buf) {
            LOG2(LOG2_ERR, "dd_a", "malloc [%u] fail\n", static_cast<unsigned>(len * 2));
            return -1;
        }
        if (ctx->obuf != ctx->ibuf) pl_aligned_free(ctx->obuf);
        pl_aligned_free(ctx->ibuf);
        ctx->ibuf = ctx->obuf = buf;
        ctx->ibuf_size = len * 2;
    }
    return 0;
}

int dd_init_in_out3(dd_ctx* ctx) {
    char name[DD_URL_SIZE];
    if (ctx->need_in) {
        int r = open_input(ctx);
        if (r != 0) return r;
    } else {
        ctx->in_size_type = BLOCK_SIZE_UNLIMITED;
    }
    if (ctx->opened) {
        int r = reopen(ctx);
        if (r != 0) return r;
    } else {
        if (ctx->need_in) {
            if (!info_of(ctx, ctx->in_dev, &ctx->in_info)) return DD_FATAL;
            ctx->in_size_type = ctx->in_info.size_type;
            ctx->in_size = ctx->in_info.size;
            ctx->in_sector_size = ctx->in_info.sector_size;
            ctx->in_stream = ctx->in_info.type == OS_FILE_TYPE_VIRTUAL;
            if (ctx->in_stream && reads_at_offsets(ctx)) return refuse_stream(ctx, "if");
            char sz[32];
            LOG2(LOG2_DBG, "dd_a", "itype: %d [%s] sector_size=%d info=[%s]\n", static_cast<int>(ctx->in_info.type),
                 ctx->in_info.bd_type, static_cast<int>(ctx->in_sector_size), ctx->in_info.info);
            LOG2(LOG2_DBG, "dd_a", "%s [%s] vol_offset=%lld %lld [%s]\n", dd_side_name(ctx, ctx->in_dev, name, sizeof name),
                 ctx->in_info.info, static_cast<long long>(ctx->in_info.vol_start),
                 static_cast<long long>(ctx->in_size), size_to_text_buf(ctx->in_size, 0, sz, sizeof sz));
            if (ctx->flags & DD_F_BAD_READ) {
                uint64_t chunk = static_cast<uint64_t>(ctx->bad_skip_sectors) * ctx->in_sector_size;
                chunk = std::clamp<uint64_t>(chunk, ctx->in_sector_size, static_cast<uint64_t>(ctx->ibs));
                ctx->bad_chunk = static_cast<uint32_t>(chunk);
                if (ctx->ibs % ctx->in_sector_size != 0) {
                    LOG2(LOG2_ERR, "dd_a", "ibs=%d ibs must be sector_size (%d) aligned\n", static_cast<int>(ctx->ibs),
                         static_cast<int>(ctx->in_sector_size));
                    return DD_FATAL;
                }
            }
        }
        if (ctx->need_out) {
            ctx->out_oflag = out_oflag(ctx);
            if (ctx->mode == DD_MODE_COPY) {
                url_set_query_int64(ctx->out_url, "fsize", static_cast<int64_t>(ctx->in_size));
                url_set_query_int(ctx->out_url, "sector_size", static_cast<int32_t>(ctx->in_sector_size));
            }
            if (open_output(ctx, ctx->out_oflag) != 0) return DD_FATAL;
            if (!info_of(ctx, ctx->out_dev, &ctx->out_info)) return DD_FATAL;
            ctx->out_size_type = ctx->out_info.size_type;
            ctx->out_size = ctx->out_info.size;
            ctx->out_sector_size = ctx->out_info.sector_size;
            if (ctx->out_info.type == OS_FILE_TYPE_VIRTUAL && reads_at_offsets(ctx)) return refuse_stream(ctx, "of");
            if (ctx->confirm_text_hook || ctx->confirm_hook) {
                char text[DD_URL_SIZE + 256];
                char sz[32];
                int refuse;
                if (ctx->confirm_text_hook) {
                    str_sprintf_s(text, sizeof text, "%s [%s] [%s]", dd_side_name(ctx, ctx->out_dev, name, sizeof name),
                                  ctx->out_info.info, size_to_text_buf(ctx->out_size, 0, sz, sizeof sz));
                    refuse = ctx->confirm_text_hook(ctx->confirm_arg, text);
                } else {
                    dd_confirm c{ctx->in_url, ctx->out_url, ctx->in_size, ctx->out_size};
                    refuse = ctx->confirm_hook(ctx->confirm_arg, &c);
                }
                if (refuse) return DD_REFUSED;
            }
            if (ctx->mode == DD_MODE_CLEAR && init_pattern(ctx) != 0) return DD_FATAL;
        }
        int r = first_positions(ctx);
        if (r != 0) return r;
    }

    if (ctx->need_in) {
        int r = ctx->in_stream ? 0 : check_offset(ctx, ctx->in_dev, ctx->i_offset, "i_offset");
        if (r != 0) return r;
    }
    if (ctx->need_out) {
        int64_t size = bd_size(ctx->out_dev);
        if (size < 0) {
            LOG2(LOG2_ERR, "dd_a", "size [%s] error: %s\n", dd_side_name(ctx, ctx->out_dev, name, sizeof name),
                 bd_errmsg(ctx->out_dev));
            return DD_FATAL;
        }
        ctx->out_size = static_cast<uint64_t>(size);
        int r = ctx->out_info.type == OS_FILE_TYPE_VIRTUAL ? 0 : check_offset(ctx, ctx->out_dev, ctx->o_offset, "o_offset");
        if (r != 0) return r;
    }
    if (int r = dd_modes_open_both(ctx); r != 0) return r;
    if (ctx->opened) return 0;

    if (ctx->need_in && ctx->mode != DD_MODE_CLEAR)
        device_line("in", ctx->in_info, ctx->in_size, ctx->i_offset, ctx->in_sector_size);
    if (ctx->need_out && ctx->mode != DD_MODE_HASH && ctx->mode != DD_MODE_BCOUNT)
        device_line("out", ctx->out_info, ctx->out_size, ctx->o_offset, ctx->out_sector_size);
    if (ctx->mode == DD_MODE_DIFF_HASH || ctx->mode == DD_MODE_DIFF_BIN) {
        // Only the common length is compared; a stream's length is not known.
        bool streams = ctx->in_stream || ctx->out_info.type == OS_FILE_TYPE_VIRTUAL;
        if (!streams && ctx->in_size != ctx->out_size) {
            mem_diff_set_state(ctx->diff_rec->recorder, MDIFF_ST_UNEQUAL_LEN);
            ctx->in_size = ctx->out_size = std::min(ctx->in_size, ctx->out_size);
        }
    }
    step_count(ctx);
    // Pass-through is decided once the run's steps are known.
    if (ctx->mode == DD_MODE_COPY && dd_pack_mode(ctx, 1) != 0) return DD_FATAL;
    if (ctx->retry_open == 0) ctx->retry_open = 1;
    ctx->opened = 1;
    return 0;
}
