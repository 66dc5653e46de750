// Byte-count jobs over ranges of a source.
#include "libpal/hash/file_bcount.h"

#include <cstring>
#include <new>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/mbuf2.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/text_buf.h"

namespace {

// ----------------------------------------------------------- counters text

bool parse_hex64(std::string_view f, uint64_t* out) {
    while (!f.empty() && (f.front() == ' ' || f.front() == '\t' || f.front() == '\r' || f.front() == '\n'))
        f.remove_prefix(1);
    while (!f.empty() && (f.back() == ' ' || f.back() == '\t' || f.back() == '\r' || f.back() == '\n'))
        f.remove_suffix(1);
    if (f.empty() || f.size() > 16) return false;
    uint64_t v = 0;
    for (char c : f) {
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
        v = (v << 4) | d;
    }
    *out = v;
    return true;
}

// The 256 counters of a counters text: true only for exactly 256 fields of
// hexadecimal digits (out untouched otherwise).
bool parse_counters(const char* text, uint64_t* out) {
    if (!text) return false;
    uint64_t v[256];
    std::string_view rest(text);
    size_t n = 0;
    for (;;) {
        size_t comma = rest.find(',');
        if (n == 256 || !parse_hex64(rest.substr(0, comma), &v[n])) return false;
        n++;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (n != 256) return false;
    memcpy(out, v, sizeof v);
    return true;
}

// counts[256] = the sum; pct as file_bcount_ctx_percent describes.
void fill_percent(uint64_t* counts, uint64_t total, double* pct) {
    counts[256] = total;
    double lo = 0, hi = 0, hi_nonzero = 0;
    for (int v = 0; v < 256; v++) {
        // A total of 0 has no shares: 0 rather than not-a-number.
        double p = total ? static_cast<double>(counts[v]) / static_cast<double>(total) * 100.0 : 0.0;
        pct[v] = p;
        if (v == 0 || p < lo) lo = p;
        if (v == 0 || p > hi) hi = p;
        if (v == 1 || (v > 1 && p > hi_nonzero)) hi_nonzero = p;
    }
    pct[256] = lo;
    pct[257] = hi;
    pct[258] = hi_nonzero;
}

// ------------------------------------------------------------- counting

void count_piece(void* owner, uint32_t, const uint8_t* data, uint64_t len, uint64_t, bool) {
    auto* job = static_cast<file_bcount_ctx*>(owner);
    file_bcount_count(job->counters, data, len);
}

// A pool task: its blocks into a table of its own, then that table into the
// job's counters under the job's lock.
void count_batch(void* owner, const uint8_t* data, uint64_t len, uint32_t) {
    auto* job = static_cast<file_bcount_ctx*>(owner);
    uint64_t local[256] = {};
    file_bcount_count(local, data, len);
    os_mutex_guard g(job->lock);
    for (int v = 0; v < 256; v++) job->counters[v] += local[v];
}

constexpr file_job_ops k_bcount_ops = {
    count_piece, count_batch, "bcount_cal", "bcount_cal", "mbuf_init(bs=%lld) failed\n", true, nullptr, "alloc_wait_wctx failed\n",
    nullptr, nullptr,
};

}  // namespace

void file_bcount_count(uint64_t* counters, const void* data, uint64_t len) {
    if (!counters || !data) return;
    const auto* p = static_cast<const uint8_t*>(data);
    if (len < 1024) {
        for (uint64_t i = 0; i < len; i++) counters[p[i]]++;
        return;
    }
    // Four interleaved tables: neighbouring equal bytes do not wait on each
    // other's increments. 32-bit counts, so at most 4 GiB per table and slab.
    while (len) {
        uint64_t n = len < (uint64_t{1} << 30) ? len : (uint64_t{1} << 30);
        uint32_t t[4][256] = {};
        uint64_t i = 0;
        for (; i + 32 <= n; i += 32) {
            for (int k = 0; k < 32; k += 4) {
                t[0][p[i + k]]++;
                t[1][p[i + k + 1]]++;
                t[2][p[i + k + 2]]++;
                t[3][p[i + k + 3]]++;
            }
        }
        for (; i < n; i++) t[0][p[i]]++;
        for (int v = 0; v < 256; v++) counters[v] += uint64_t{t[0][v]} + t[1][v] + t[2][v] + t[3][v];
        p += n;
        len -= n;
    }
}

file_bcount_ctx* file_bcount_open(const file_bcount_param* p, verr_info* err) {
    if (!p) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "%s", verr2str(VERR_INVALID_PARAMETER));
        return nullptr;
    }
    uint64_t bs = p->bs ? p->bs : FILE_BCOUNT_BS;
    if (bs > UINT32_MAX) {
        VERR_SET(err, VERR_INVALID_PARAMETER, "bs=%llu", static_cast<unsigned long long>(bs));
        return nullptr;
    }
    void* mem = pl_zalloc(sizeof(file_bcount_ctx));
    if (!mem) {
        VERR_SET(err, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return nullptr;
    }
    auto* job = new (mem) file_bcount_ctx{};
    job->verr = err ? err : &job->own_err;
    job->bs = bs;
    job->thread = p->thread;
    file_job_init(&job->job, &k_bcount_ops, job, p->arg, p->pread, p->vperror, job->verr, bs, p->attr);
    job->job.caller_stop = p->stop;
    if (job->thread) {
        job->lock = os_mutex_new();
        if (!job->lock) {
            VERR_SET(job->verr, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
            file_bcount_close(job);
            return nullptr;
        }
        if (file_job_pool_start(&job->job, "bcount_thread_pool") != 0) {
            file_bcount_close(job);
            return nullptr;
        }
    }
    if (p->ctx && *p->ctx && !parse_counters(p->ctx, job->counters))
        LOG2(LOG2_WARN, "pal", "saved counters [%.64s] are not 256 fields: counting from zero\n", p->ctx);
    return job;
}

int file_bcount_close(file_bcount_ctx* job) {
    if (!job) return 0;
    // The threads end before anything they use is freed; one left behind
    // keeps the whole job.
    if (!file_job_exit(&job->job)) return -1;
    os_mutex_free(job->lock);
    job->~file_bcount_ctx();
    pl_free(job);
    return 0;
}

uint64_t file_bcount_last_len(const file_bcount_ctx* job) { return job ? job->job.last_len : 0; }

int file_bcount_cal(file_bcount_ctx* job, int64_t off, uint64_t len) {
    if (!job) return -1;
    job->job.last_len = 0;
    if (file_job_stopped(&job->job)) {
        VERR_SET(job->verr, VERR_CANCELLED, "stopped");
        return -1;
    }
    if (file_job_check_range(&job->job, off, len) != 0) return -1;
    if (len == 0) return 0;
    if (job->job.chunk == 0) {
        uint64_t blocks = len / job->bs + (len % job->bs ? 1 : 0);
        if (blocks > UINT64_MAX / job->bs) {
            VERR_SET(job->verr, VERR_INVALID_PARAMETER, "len=%llu", static_cast<unsigned long long>(len));
            return -1;
        }
        if (file_job_setup(&job->job, blocks * job->bs, 1) != 0) {
            // A later range tries again.
            job->job.chunk = 0;
            return -1;
        }
    }
    return file_job_run(&job->job, off, len);
}

void file_bcount_stop(file_bcount_ctx* job) {
    if (job) file_job_stop(&job->job);
}

int file_bcount_get_ctx(file_bcount_ctx* job, char* buf, size_t size) {
    if (!job || !buf || size == 0) return -1;
    if (file_job_stopped(&job->job)) {
        buf[0] = '\0';
        return -1;
    }
    uint64_t c[256];
    if (job->lock) {
        os_mutex_guard g(job->lock);
        memcpy(c, job->counters, sizeof c);
    } else {
        memcpy(c, job->counters, sizeof c);
    }
    size_t len = 0;
    for (int v = 0; v < 256; v++) {
        char field[24];
        int n = snprintf(field, sizeof field, v < 255 ? "%llx," : "%llx", static_cast<unsigned long long>(c[v]));
        if (len + static_cast<size_t>(n) >= size) {
            buf[0] = '\0';
            return -1;
        }
        memcpy(buf + len, field, static_cast<size_t>(n));
        len += static_cast<size_t>(n);
    }
    buf[len] = '\0';
    return 0;
}

char* file_bcount_table(const uint64_t* counters, uint64_t total) {
    if (!counters) return nullptr;
    text_buf* t = text_buf_new();
    if (!t) return nullptr;
    text_buf_printf(t, "Hex\tDec\tChr\tNo\t%%\n");
    for (int v = 0; v < 256; v++) {
        double pct = total ? static_cast<double>(counters[v]) / static_cast<double>(total) * 100.0 : 0.0;
        text_buf_printf(t, "%02X\t%d\t%c\t%llu\t%0.2f%%\n", v, v, v < 32 || v > 126 ? '.' : static_cast<char>(v),
                        static_cast<unsigned long long>(counters[v]), pct);
    }
    return text_buf_detach(t);
}

char* file_bcount_ctx_table(const char* text) {
    uint64_t c[256];
    if (!parse_counters(text, c)) return nullptr;
    uint64_t total = 0;
    for (uint64_t v : c) total += v;
    return file_bcount_table(c, total);
}

int file_bcount_ctx_percent(const char* text, uint64_t* counts, double* pct) {
    if (!counts || !pct || !parse_counters(text, counts)) return -1;
    uint64_t total = 0;
    for (int v = 0; v < 256; v++) total += counts[v];
    fill_percent(counts, total, pct);
    return 0;
}

int file_bcount_file(const char* path, uint64_t chunk, uint64_t* counts, double* pct) {
    if (!path || !counts || !pct) return -1;
    if (chunk == 0) chunk = FILE_BCOUNT_BS;
    os_file_ctx* f = os_file_open(path, OS_PF_RDONLY);
    if (!f) return -1;
    int64_t size = os_file_size(f);
    file_bcount_param p{};
    p.arg = f;
    p.bs = chunk;
    verr_info err{};
    file_bcount_ctx* job = size >= 0 ? file_bcount_open(&p, &err) : nullptr;
    int rc = job ? 0 : -1;
    for (int64_t off = 0; rc == 0 && off < size;) {
        uint64_t len = static_cast<uint64_t>(size - off) < chunk ? static_cast<uint64_t>(size - off) : chunk;
        if (file_bcount_cal(job, off, len) != 0) {
            LOG2(LOG2_ERR, "pal", "count [%s] offset=%lld error: %s\n", path, static_cast<long long>(off), verr_msg(&err));
            rc = -1;
        }
        off += static_cast<int64_t>(len);
    }
    if (rc == 0) {
        memcpy(counts, job->counters, sizeof job->counters);
        fill_percent(counts, static_cast<uint64_t>(size), pct);
    }
    file_bcount_close(job);
    os_file_close(f);
    return rc;
}
