// The "kxsd" driver: a file on a kxsd server as a block device, for names
// beginning "kxp://" or "kxps://". Every read, write and control code
// becomes a request of the remote client; hashing, byte counting and
// pattern writes run on the server over its own storage.
//
// Offsets from the block layer are window-relative, or -1 for the current
// position: the driver adds the window start to every explicit offset and
// passes -1 on unchanged.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libkxsd/kxsd_cal.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file.h"
#include "liblog/log2.h"
#include "libpack/pack.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_file.h"
#include "libpal/string/str_safe.h"

namespace {

struct kxsd_handle {
    kxsd_cli_ctx* conn;
    kxsd_file_ctx* file;
    os_file_info info;  // taken at open
    // Block sizes of the server's jobs: a range longer than one request
    // can carry is cut at a multiple of them.
    uint64_t hash_bs;
    uint64_t count_bs;
};

// The largest pattern write of one request, whichever form the server takes.
constexpr uint64_t k_pwritex_piece = 0x7FF00000;

int64_t abs_off(const bd_dev* dev, int64_t off) {
    return off == -1 ? -1 : off + static_cast<int64_t>(dev->vol.vol_start);
}

int bdrv_kxsd_probe(const char* url, uint32_t, void*) {
    if (!url) return 1;
    return strncasecmp(url, "kxp://", 6) == 0 || strncasecmp(url, "kxps://", 7) == 0 ? 0 : 1;
}

void* bdrv_kxsd_open(const char* url, bd_open_ctx* ctx) {
    bd_dev* dev = ctx->dev;
    char shown[URL_SIZE];
    bd_url_for_log(url, shown, sizeof shown);
    kxsd_cli_ctx* conn = kxsd_cli_connect(url, reinterpret_cast<stop_flag*>(ctx->param), &dev->verr);
    if (!conn) {
        LOG2(LOG2_DBG, "block2", "kxsd_cli_connect [%s] failed\n", shown);
        return nullptr;
    }
    char path[URL_PART_SIZE];
    if (url_get_path(url, path, sizeof path) != 0) {
        LOG2(LOG2_DBG, "block2", "url_get_path [%s] failed\n", shown);
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        kxsd_cli_exit(conn);
        return nullptr;
    }
    LOG2(LOG2_DBG, "block2", "path=[%s]\n", path);
    // The block layer's own bit means nothing to the server.
    const uint32_t oflag = ctx->oflag & ~BD_OFLAG_IMAGE;
    kxsd_file_ctx* file = kxsd_cli_open(conn, path, oflag);
    if (!file) {
        LOG2(LOG2_DBG, "block2", "kxsd_cli_open [%s] oflag=0x%x error: %s\n", shown, oflag,
             kxsd_cli_get_last_error(conn));
        kxsd_cli_exit(conn);
        return nullptr;
    }
    // On a later failure the connection's end closes the file without
    // touching the error record, which keeps the reason.
    os_file_info info{};
    if (kxsd_cli_ioctl(file, OS_FILE_GET_INFO, &info, sizeof info) != 0) {
        LOG2(LOG2_DBG, "block2", "kxsd_cli_ioctl get_info error: %s\n", kxsd_cli_get_last_error(conn));
        kxsd_cli_exit(conn);
        return nullptr;
    }
    if (kxsd_cli_seek(file, static_cast<int64_t>(dev->vol.vol_start), 0) < 0) {
        LOG2(LOG2_DBG, "block2", "kxsd_cli_seek error: %s\n", kxsd_cli_get_last_error(conn));
        kxsd_cli_exit(conn);
        return nullptr;
    }
    auto* h = static_cast<kxsd_handle*>(pl_zalloc(sizeof(kxsd_handle)));
    if (!h) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        kxsd_cli_exit(conn);
        return nullptr;
    }
    h->conn = conn;
    h->file = file;
    h->info = info;
    h->info.description[sizeof h->info.description - 1] = 0;
    dev->fsize = static_cast<int64_t>(info.size);
    if (dev->sector_size == 0) dev->sector_size = static_cast<int32_t>(info.sector_size);
    return h;
}

int bdrv_kxsd_close(void* handle) {
    auto* h = static_cast<kxsd_handle*>(handle);
    if (!h) return 0;
    kxsd_cli_close(h->file);
    kxsd_cli_exit(h->conn);
    pl_free(h);
    return 0;
}

int64_t bdrv_kxsd_read(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    return kxsd_cli_read(static_cast<kxsd_handle*>(handle)->file, buf, len, abs_off(dev, off));
}

// A request or reply carries the packed form of at most
// KXSD_BLOCK_SIZE_MAX plain bytes (its length has 24 bits). A larger block
// goes plain, in requests of the connection's block size, and is packed or
// unpacked here with the connection's method, the method of the packed data.
bool fits_one_message(int64_t plain_len) { return plain_len <= KXSD_BLOCK_SIZE_MAX; }

// buf holds len bytes; the packed data of a block may take twice its plain
// length, so the server is asked for half of len plain bytes.
int64_t bdrv_kxsd_readz(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len, int64_t* zlen) {
    auto* h = static_cast<kxsd_handle*>(handle);
    const int64_t want = len / 2;
    if (fits_one_message(want)) return kxsd_cli_readz(h->file, buf, want, zlen, abs_off(dev, off));
    std::unique_ptr<void, pl_mem_deleter> plain(pl_malloc(static_cast<size_t>(want)));
    if (!plain) {
        BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    const int64_t n = kxsd_cli_read(h->file, plain.get(), want, abs_off(dev, off));
    if (zlen) *zlen = 0;
    if (n <= 0) return n;
    const int64_t z = zcomp_pack(&h->conn->pack, plain.get(), n, buf, len);
    if (z <= 0 || z > len) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "packing a block of %lld bytes failed", static_cast<long long>(n));
        return -1;
    }
    if (zlen) *zlen = z;
    return n;
}

int64_t bdrv_kxsd_write(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len) {
    return kxsd_cli_write(static_cast<kxsd_handle*>(handle)->file, buf, len, abs_off(dev, off));
}

int64_t bdrv_kxsd_writez(bd_dev* dev, void* handle, int64_t off, const void* buf, int64_t len, int64_t zlen) {
    auto* h = static_cast<kxsd_handle*>(handle);
    if (fits_one_message(len)) return kxsd_cli_writez(h->file, buf, len, zlen, abs_off(dev, off));
    void* plain = nullptr;
    if (zcomp_unpack_buf(&h->conn->pack, buf, zlen, &plain, len) != 0) {
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "unpacking a block of %lld bytes failed", static_cast<long long>(len));
        return -1;
    }
    return kxsd_cli_write(h->file, plain, len, abs_off(dev, off));
}

int64_t bdrv_kxsd_size(bd_dev* dev, void* handle) {
    if (dev->vol.vol_size != 0) return static_cast<int64_t>(dev->vol.vol_size);
    return kxsd_cli_size(static_cast<kxsd_handle*>(handle)->file);
}

// ---- control codes

// The largest piece of a range one step request carries: a multiple of the
// job's block size, so that the server's blocks fall where they would in
// one request.
uint64_t step_piece(uint64_t bs) {
    if (bs == 0 || bs > KXSD_CAL_MAX_LEN) return KXSD_CAL_MAX_LEN;
    return KXSD_CAL_MAX_LEN / bs * bs;
}

using step_fn = int (*)(kxsd_file_ctx*, int64_t, uint64_t, char*, size_t);

// A hash or count range in as many steps as its length needs; the state of
// the last step stays in the caller's buffer.
int cal_range(bd_dev* dev, kxsd_handle* h, const bd_cal_req* r, uint64_t bs, step_fn step) {
    const uint64_t piece = step_piece(bs);
    // On a partition the range ends at the window's end, as a local read
    // does: the bytes behind it belong to another volume.
    uint64_t len = r->len;
    if (dev->vol_bounded) len = r->off >= dev->vol.vol_size ? 0 : std::min(len, dev->vol.vol_size - r->off);
    uint64_t done = 0;
    do {
        const uint64_t n = std::min(piece, len - done);
        if (step(h->file, abs_off(dev, static_cast<int64_t>(r->off + done)), n, r->buf, r->size) != 0) return -1;
        done += n;
    } while (done < len);
    return 0;
}

int pwritex_range(bd_dev* dev, kxsd_handle* h, bd_pwritex_req* r) {
    r->done = 0;
    // On a partition a pattern write that would cross the window's end is
    // refused whole, as a local write is.
    uint64_t end = 0;
    if (dev->vol_bounded && (__builtin_add_overflow(r->off, r->len, &end) || end > dev->vol.vol_size)) {
        BD_SET_ERR(dev, VERR_DISK_FULL, "write of %llu bytes at %llu crosses the end of the volume (%llu bytes)",
                   static_cast<unsigned long long>(r->len), static_cast<unsigned long long>(r->off),
                   static_cast<unsigned long long>(dev->vol.vol_size));
        return -1;
    }
    while (r->done < r->len) {
        const uint64_t n = std::min(k_pwritex_piece, r->len - r->done);
        const int64_t got = kxsd_cli_pwritex(h->file, static_cast<int32_t>(r->mode), n,
                                             abs_off(dev, static_cast<int64_t>(r->off + r->done)));
        if (got < 0) return -1;
        r->done += static_cast<uint64_t>(got);
        if (static_cast<uint64_t>(got) < n) {
            BD_SET_ERR(dev, VERR_WRITE_ERROR, "short write: %llu of %llu bytes",
                       static_cast<unsigned long long>(r->done), static_cast<unsigned long long>(r->len));
            return -1;
        }
    }
    return 0;
}

// A saved state text must end within its field.
bool text_ends(const char* text, size_t size) { return std::memchr(text, 0, size) != nullptr; }

int drv_info(bd_dev* dev, kxsd_handle* h, os_file_info* out) {
    const int64_t pos = kxsd_cli_tell(h->file);
    if (pos < 0) return -1;
    const int64_t size = bdrv_kxsd_size(dev, h);
    if (size < 0) return -1;
    const uint64_t start = dev->vol.vol_start;
    *out = os_file_info{};
    out->type = h->info.type;
    out->size = static_cast<uint64_t>(size);
    out->offset = static_cast<uint64_t>(pos) > start ? static_cast<uint64_t>(pos) - start : 0;
    out->sector_size = static_cast<uint32_t>(dev->sector_size);
    str_safecopy_trunc(out->description, sizeof out->description, h->info.description);
    return 0;
}

int bad_arg(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
    return -1;
}

int bdrv_kxsd_ioctl(bd_dev* dev, void* handle, int32_t cmd, void* arg, int64_t arglen) {
    auto* h = static_cast<kxsd_handle*>(handle);
    kxsd_file_ctx* f = h->file;
    // Every code but these three reads its argument record.
    if (!arg && cmd != BLOCK_SYNC && cmd != BLOCK_FINISH && cmd != BLOCK_HASH_BS_GET) return bad_arg(dev);
    auto fits = [&](size_t need) { return arglen >= static_cast<int64_t>(need); };
    switch (cmd) {
        case BLOCK_SYNC: return kxsd_cli_sync(f);
        case BLOCK_SEEK:
            if (!fits(sizeof(int64_t))) return bad_arg(dev);
            return kxsd_cli_seek(f, abs_off(dev, *static_cast<int64_t*>(arg)), 0) < 0 ? -1 : 0;
        case BLOCK_TRUNCATE:
            if (!fits(sizeof(int64_t))) return bad_arg(dev);
            return kxsd_cli_truncate(f, *static_cast<int64_t*>(arg));
        case BLOCK_FINISH: return 0;
        case BLOCK_GET_PACK_TYPE:
            if (!fits(sizeof(int32_t))) return bad_arg(dev);
            *static_cast<int32_t*>(arg) = kxsd_cli_get_pack_type(f);
            return 0;
        case BLOCK_GET_VOL:
            if (!fits(sizeof(bd_vol))) return bad_arg(dev);
            *static_cast<bd_vol*>(arg) = dev->vol;
            return 0;
        case BLOCK_PWRITEX:
            if (!fits(sizeof(bd_pwritex_req))) return bad_arg(dev);
            return pwritex_range(dev, h, static_cast<bd_pwritex_req*>(arg));
        case BLOCK_HASH_INIT: {
            if (!fits(sizeof(bd_hash_param))) return bad_arg(dev);
            const auto* p = static_cast<const bd_hash_param*>(arg);
            if (!text_ends(p->ctx, sizeof p->ctx)) return bad_arg(dev);
            if (kxsd_cli_hash_init(f, p->hash_flag, p->bs, static_cast<int8_t>(p->thread), p->ctx) != 0) return -1;
            h->hash_bs = p->bs;
            return 0;
        }
        case BLOCK_HASH_CAL:
            if (!fits(sizeof(bd_cal_req))) return bad_arg(dev);
            return cal_range(dev, h, static_cast<const bd_cal_req*>(arg), h->hash_bs, &kxsd_cli_hash_cal);
        case BLOCK_HASH_GET: {
            if (!fits(sizeof(bd_hash_get_req))) return bad_arg(dev);
            const auto* r = static_cast<const bd_hash_get_req*>(arg);
            return kxsd_cli_hash_get(f, r->alg, r->buf, static_cast<size_t>(r->size));
        }
        case BLOCK_HASH_BS_GET: {
            if (!arg) return kxsd_cli_hash_get2(f, nullptr, 0);
            if (!fits(sizeof(bd_hash_get_req))) return bad_arg(dev);
            const auto* r = static_cast<const bd_hash_get_req*>(arg);
            return kxsd_cli_hash_get2(f, static_cast<char*>(r->buf), static_cast<size_t>(r->size));
        }
        case BLOCK_COUNT_INIT: {
            if (!fits(sizeof(bd_count_param))) return bad_arg(dev);
            const auto* p = static_cast<const bd_count_param*>(arg);
            if (!text_ends(p->ctx, sizeof p->ctx)) return bad_arg(dev);
            if (kxsd_cli_bcount_init(f, static_cast<int32_t>(p->word), p->bs, static_cast<int8_t>(p->thread),
                                     p->ctx) != 0)
                return -1;
            h->count_bs = p->bs;
            return 0;
        }
        case BLOCK_COUNT_CAL:
            if (!fits(sizeof(bd_cal_req))) return bad_arg(dev);
            return cal_range(dev, h, static_cast<const bd_cal_req*>(arg), h->count_bs, &kxsd_cli_bcount_cal);
        case BLOCK_PWRITEX_INIT: {
            if (!fits(sizeof(bd_pwritex_init_req))) return bad_arg(dev);
            const auto* r = static_cast<const bd_pwritex_init_req*>(arg);
            return kxsd_cli_pwritex_init(f, r->value, r->bs);
        }
        case BLOCK_GET_HASH_ALGO:
            if (!fits(sizeof(uint64_t))) return bad_arg(dev);
            return kxsd_cli_get_hash_algo(f, static_cast<uint64_t*>(arg));
        case BLOCK_GET_DRV_INFO:
            if (!fits(sizeof(os_file_info))) return bad_arg(dev);
            return drv_info(dev, h, static_cast<os_file_info*>(arg));
        default:
            BD_SET_ERR(dev, VERR_NOT_SUPPORTED, "%s", verr2str(VERR_NOT_SUPPORTED));
            LOG2(LOG2_ERR, "block2", "invliad cmd_code=%d\n", cmd);
            return -1;
    }
}

bd_drv g_kxsd_drv = {
    BD_DRV_KXSD,      nullptr,          "kxsd",           "",
    0,                &bdrv_kxsd_probe, &bdrv_kxsd_open,  &bdrv_kxsd_close,
    &bdrv_kxsd_read,  &bdrv_kxsd_readz, &bdrv_kxsd_write, &bdrv_kxsd_writez,
    &bdrv_kxsd_size,  &bdrv_kxsd_ioctl,
};

}  // namespace

bd_drv* bdrv_kxsd_register() {
    kxsd_cli_init();
    bd_drv_add(&g_kxsd_drv);
    return &g_kxsd_drv;
}

void bdrv_kxsd_exit() { kxsd_cli_uninit(); }
