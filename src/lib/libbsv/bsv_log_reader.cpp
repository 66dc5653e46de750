// The log reader: a subscription to the "log" channel rendering records.
#include <ctime>
#include <cstdio>
#include <cstring>

#include "libbsv/bsv_chan.h"
#include "libbsv/bsv_record.h"
#include "libbsv/bsv_value.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/memory/rbuf.h"
#include "liblog/log2.h"

struct bsv_log_reader {
    bsv_sub* sub;
    bsv_value_ctx* value;
    uint8_t chunk[4096];
    rbuf_raw_cursor cur;
};

bsv_log_reader* bsv_open_log(const char* text) {
    bsv_reg_log();
    char err[BSV_ERR_SIZE];
    bsv_sub* sub = bsv_open(text ? text : "log", err);
    if (!sub) {
        LOG2(LOG2_ERR, "bsv", "bsv_open(log), error: %s\n", err);
        return nullptr;
    }
    bsv_chan_info info{};
    bsv_get_info(sub, &info);
    bsv_value_ctx* value = bsv_value_init(info.format, info.swap);
    if (!value) {
        LOG2(LOG2_ERR, "bsv", "bsv_value_init(log) [%s], failed\n", info.format);
        bsv_close(sub);
        return nullptr;
    }
    auto* h = static_cast<bsv_log_reader*>(pl_zalloc(sizeof(bsv_log_reader)));
    if (!h) {
        bsv_value_exit(value);
        bsv_close(sub);
        return nullptr;
    }
    h->sub = sub;
    h->value = value;
    h->cur = {h->chunk, 0, 0, 2};
    return h;
}

void bsv_close_log(bsv_log_reader* h) {
    if (!h) return;
    bsv_close(h->sub);
    bsv_value_exit(h->value);
    pl_free(h);
}

const uint8_t* bsv_read_raw_log(bsv_log_reader* h, uint32_t* len) {
    if (!PL_CHECK_TEXT("bsv", h != nullptr, "h != NULL") || !len) return nullptr;
    uint32_t vlen = 0;
    const uint8_t* msg = rbuf_raw_next(&h->cur, &vlen);
    if (!msg) {
        int64_t n = rbuf_read_raw(h->sub->ring, h->chunk, sizeof h->chunk, 0);
        if (n <= 0) return nullptr;
        h->cur = {h->chunk, static_cast<uint64_t>(n), 0, h->sub->ring->bs_byte};
        msg = rbuf_raw_next(&h->cur, &vlen);
        if (!msg) return nullptr;
    }
    if (!PL_CHECK_TEXT("bsv", vlen != 0, "vlen != 0")) return nullptr;
    *len = vlen;
    return msg;
}

int bsv_read_log(bsv_log_reader* h, uint32_t* level, char* buf, size_t size) {
    if (!buf || size == 0) return -1;
    uint32_t len = 0;
    const uint8_t* rec = bsv_read_raw_log(h, &len);
    if (!rec) return 0;
    bsv_log_rec r{};
    if (bsv_log_record_read(rec, len, &r) != 0) return -1;
    time_t sec = static_cast<time_t>(r.sec);
    struct tm tm{};
    localtime_r(&sec, &tm);
    int n = snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s] %s %s(): %s",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(r.usec / 1000), log_level_2_prefix(r.level), static_cast<int>(r.pid),
                     r.tid_name, r.tag, r.func, r.msg);
    if (n < 0) return -1;
    if (level) *level = r.level;
    return static_cast<size_t>(n) >= size ? static_cast<int>(size - 1) : n;
}

char* bsv_log_stat_text(bsv_log_reader* h) {
    if (!h) return nullptr;
    uint64_t s[6];
    if (bsv_get_stat(h->sub, s) != 0) return nullptr;
    char* out = nullptr;
    os_asprintf(&out, "write_byte=%lli\nread_byte=%lli\ndrop_byte=%lli\nwrite_count=%lli\nread_count=%lli\ndrop_count=%lli\n",
                static_cast<long long>(s[0]), static_cast<long long>(s[1]), static_cast<long long>(s[2]),
                static_cast<long long>(s[3]), static_cast<long long>(s[4]), static_cast<long long>(s[5]));
    return out;
}
