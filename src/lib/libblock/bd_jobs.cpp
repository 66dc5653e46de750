// The device's hash and byte-count jobs and its pattern writer.
#include <algorithm>
#include <memory>

#include "libblock/bd.h"
#include "libblock/bd_priv.h"
#include "libpal/hash/file_bcount.h"
#include "libpal/hash/file_hash.h"
#include "libpal/memory/pl_mem.h"

namespace {

// A read of [off, off + len) failed with a media error: the offset of its
// first sector that cannot be read, found by reading it sector by sector,
// so that the failure names the sector and not the block around it. The
// device's error record is left as the failed read set it; off when no
// sector fails again (or memory or a stop cuts the search short).
int64_t first_bad_sector(bd_dev* dev, int64_t off, int64_t len) {
    const int64_t ss = dev->sector_size > 0 ? dev->sector_size : 512;
    if (len <= ss) return off;
    std::unique_ptr<uint8_t, pl_mem_deleter> buf(static_cast<uint8_t*>(pl_malloc(static_cast<size_t>(ss))));
    if (!buf) return off;
    verr_info kept{};
    verr_copy(&kept, &dev->verr);
    int64_t found = off;
    for (int64_t at = off; at < off + len && !pl_stop_requested(dev->stop); at += ss) {
        int64_t n = bd_pread(dev, buf.get(), std::min(ss, off + len - at), at);
        if (n < 0) {
            if (bd_media_error(dev->verr.code)) found = at;
            break;
        }
        if (n == 0) break;
    }
    verr_copy(&dev->verr, &kept);
    return found;
}

// The jobs' read call: the device's positioned read; a stream, which has
// no positions, is read in order.
int64_t read_from_dev(void* arg, void* buf, int64_t len, int64_t off) {
    auto* dev = static_cast<bd_dev*>(arg);
    // A stop request ends the range at its next read, and the jobs with it:
    // a range of many slow reads is not read to its end first.
    if (pl_stop_requested(dev->stop)) {
        if (dev->hash) file_hash_stop(dev->hash);
        if (dev->bcount) file_bcount_stop(dev->bcount);
        BD_SET_ERR(dev, VERR_CANCELLED, "stopped");
        return -1;
    }
    bd_job_state* st = bd_jobs_of(dev);
    if (!st->stream) {
        int64_t n = bd_pread(dev, buf, len, off);
        if (n < 0) st->fail_off = bd_media_error(dev->verr.code) ? first_bad_sector(dev, off, len) : off;
        return n;
    }
    // The first range starts where the stream is (after any skip).
    if (st->pos < 0) st->pos = off;
    if (off != st->pos) {
        BD_SET_ERR(dev, VERR_SEEK_ON_DEVICE, "%s (offset=%lld, the stream is at %lld)", verr2str(VERR_SEEK_ON_DEVICE),
                   static_cast<long long>(off), static_cast<long long>(st->pos));
        return -1;
    }
    int64_t n = bd_read(dev, buf, len);
    if (n > 0) st->pos += n;
    if (n < 0) st->fail_off = off;
    return n;
}

// Notes once whether the device is a stream.
void note_stream(bd_dev* dev) {
    bd_dev_info info{};
    bd_job_state* st = bd_jobs_of(dev);
    st->stream = bd_ioctl(dev, GET_DEV_INFO, &info, sizeof info) == 0 && info.type == OS_FILE_TYPE_VIRTUAL;
    st->pos = -1;
}

bool remote_hash(const bd_dev* dev) { return dev->drv && dev->drv->type == BD_DRV_KXSD && !dev->hash_local; }
bool remote_count(const bd_dev* dev) { return dev->drv && dev->drv->type == BD_DRV_KXSD && !dev->bcount_local; }

int no_job(bd_dev* dev) {
    BD_SET_ERR(dev, VERR_WRONG_ORDER, "no job set up on this device");
    return -1;
}

// The pattern writer's write call: the device's positioned write.
int64_t write_to_dev(void* dev, const void* buf, int64_t len, int64_t off) {
    return bd_pwrite(static_cast<bd_dev*>(dev), buf, len, off);
}

}  // namespace

int bd_release_jobs(bd_dev* dev) {
    int rc = 0;
    if (dev->hash && file_hash_close(dev->hash) != 0) rc = -1;
    if (dev->bcount && file_bcount_close(dev->bcount) != 0) rc = -1;
    dev->hash = nullptr;
    dev->bcount = nullptr;
    pwritex_free(&dev->pwritex);
    return rc;
}

int bd_hash_init(bd_dev* dev, const bd_hash_param* p) {
    if (!dev || !p) return -1;
    dev->hash_local = p->force_local;
    if (remote_hash(dev)) return bd_ioctl(dev, BLOCK_HASH_INIT, const_cast<bd_hash_param*>(p), sizeof *p) < 0 ? -1 : 0;
    // A second set-up replaces the job.
    if (dev->hash) file_hash_close(dev->hash);
    note_stream(dev);
    int64_t size = bd_size(dev);
    file_hash_param fp{};
    fp.hash_flag = p->hash_flag;
    fp.arg = dev;
    fp.pread = &read_from_dev;
    fp.vperror = &bd_get_error;
    fp.total_size = size > 0 ? size : 0;
    fp.bs = p->bs;
    fp.thread = p->thread;
    fp.stop = dev->stop;
    // A plain local regular file may be read by the job's pool threads at
    // once; anything else (devices above all) is read by one reader, in order.
    if (!bd_jobs_of(dev)->stream) fp.pread_shared = bd_file_shared_read(dev);
    // The job continues from a saved state, so a re-opened device keeps the
    // digests of the ranges already done.
    fp.ctx = p->ctx[0] ? p->ctx : nullptr;
    dev->hash = file_hash_open(&fp, &dev->verr);
    return dev->hash ? 0 : -1;
}

int bd_hash_cal(bd_dev* dev, int64_t off, int64_t len, char* buf, size_t size) {
    if (!dev) return -1;
    bd_jobs_of(dev)->fail_off = -1;
    if (remote_hash(dev)) {
        bd_cal_req r{static_cast<uint64_t>(off), static_cast<uint64_t>(len), buf, size};
        bd_jobs_of(dev)->cal_len = len;
        return bd_ioctl(dev, BLOCK_HASH_CAL, &r, sizeof r) < 0 ? -1 : 0;
    }
    if (!dev->hash) return no_job(dev);
    if (file_hash_cal(dev->hash, off, static_cast<uint64_t>(len)) != 0) return -1;
    bd_jobs_of(dev)->cal_len = static_cast<int64_t>(file_hash_last_len(dev->hash));
    if (buf && size && file_hash_get_ctx(dev->hash, buf, size) != 0) {
        BD_SET_ERR(dev, VERR_BUFFER_OVERFLOW, "hash state text does not fit %zu bytes", size);
        return -1;
    }
    return 0;
}

int bd_hash_get(bd_dev* dev, uint32_t alg, void* buf, size_t size) {
    if (!dev) return -1;
    if (remote_hash(dev)) {
        bd_hash_get_req r{alg, buf, size};
        return bd_ioctl(dev, BLOCK_HASH_GET, &r, sizeof r) < 0 ? -1 : 0;
    }
    if (!dev->hash) return no_job(dev);
    return file_hash_final(dev->hash, alg, buf, size) == 0 ? 0 : -1;
}

int bd_hash_bs_get(bd_dev* dev, char* buf, size_t size) {
    if (!dev) return -1;
    if (remote_hash(dev)) {
        bd_hash_get_req r{0, buf, size};
        return bd_ioctl(dev, BLOCK_HASH_BS_GET, &r, sizeof r) < 0 ? -1 : 0;
    }
    if (!dev->hash) return no_job(dev);
    if (!buf) return 0;
    return file_hash_get_record(dev->hash, buf, size) == 0 ? 0 : -1;
}

int bd_count_init(bd_dev* dev, const bd_count_param* p) {
    if (!dev || !p) return -1;
    dev->bcount_local = p->force_local;
    if (remote_count(dev)) return bd_ioctl(dev, BLOCK_COUNT_INIT, const_cast<bd_count_param*>(p), sizeof *p) < 0 ? -1 : 0;
    if (dev->bcount) file_bcount_close(dev->bcount);
    note_stream(dev);
    file_bcount_param fp{};
    fp.arg = dev;
    fp.pread = &read_from_dev;
    fp.vperror = &bd_get_error;
    fp.bs = p->bs;
    fp.thread = p->thread;
    fp.stop = dev->stop;
    fp.ctx = p->ctx[0] ? p->ctx : nullptr;
    dev->bcount = file_bcount_open(&fp, &dev->verr);
    return dev->bcount ? 0 : -1;
}

int bd_count_cal(bd_dev* dev, int64_t off, int64_t len, char* buf, size_t size) {
    if (!dev) return -1;
    bd_jobs_of(dev)->fail_off = -1;
    if (remote_count(dev)) {
        bd_cal_req r{static_cast<uint64_t>(off), static_cast<uint64_t>(len), buf, size};
        bd_jobs_of(dev)->cal_len = len;
        return bd_ioctl(dev, BLOCK_COUNT_CAL, &r, sizeof r) < 0 ? -1 : 0;
    }
    if (!dev->bcount) return no_job(dev);
    if (file_bcount_cal(dev->bcount, off, static_cast<uint64_t>(len)) != 0) return -1;
    bd_jobs_of(dev)->cal_len = static_cast<int64_t>(file_bcount_last_len(dev->bcount));
    if (buf && size && file_bcount_get_ctx(dev->bcount, buf, size) != 0) {
        BD_SET_ERR(dev, VERR_BUFFER_OVERFLOW, "counters text does not fit %zu bytes", size);
        return -1;
    }
    return 0;
}

int64_t bd_cal_len(const bd_dev* dev) { return dev ? bd_jobs_of(dev)->cal_len : 0; }

int64_t bd_cal_fail_off(const bd_dev* dev) { return dev ? bd_jobs_of(dev)->fail_off : -1; }

int bd_pwritex_ioctl(bd_dev* dev, int32_t cmd, void* arg, int64_t arglen) {
    if (!arg) {
        BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return VERR_INVALID_PARAMETER;
    }
    if (cmd == BLOCK_PWRITEX_INIT) {
        if (arglen < static_cast<int64_t>(sizeof(bd_pwritex_init_req))) return VERR_INVALID_PARAMETER;
        auto* r = static_cast<bd_pwritex_init_req*>(arg);
        dev->pwritex.pwrite = &write_to_dev;
        dev->pwritex.vperror = &bd_get_error;
        dev->pwritex.verr = &dev->verr;
        return pwritex_init(&dev->pwritex, dev, static_cast<int32_t>(r->value), r->bs);
    }
    if (arglen < static_cast<int64_t>(sizeof(bd_pwritex_req))) return VERR_INVALID_PARAMETER;
    auto* r = static_cast<bd_pwritex_req*>(arg);
    if (!dev->pwritex.buf) {
        BD_SET_ERR(dev, VERR_WRONG_ORDER, "pattern writer not set up");
        return -1;
    }
    int64_t n = pwritex_exec(&dev->pwritex, static_cast<int64_t>(r->len), static_cast<int64_t>(r->off));
    r->done = n > 0 ? static_cast<uint64_t>(n) : 0;
    return n == static_cast<int64_t>(r->len) ? 0 : -1;
}

int bd_pwritex_init(bd_dev* dev, uint32_t value, uint64_t bs) {
    bd_pwritex_init_req r{value, bs};
    return bd_ioctl(dev, BLOCK_PWRITEX_INIT, &r, sizeof r);
}

int64_t bd_pwritex(bd_dev* dev, uint32_t mode, int64_t len, int64_t off) {
    if (len < 0) return -1;
    bd_pwritex_req r{mode, static_cast<uint64_t>(off), static_cast<uint64_t>(len), 0};
    int rc = bd_ioctl(dev, BLOCK_PWRITEX, &r, sizeof r);
    if (rc == 0) return len;
    return r.done > 0 ? static_cast<int64_t>(r.done) : -1;
}
