#include "libbsv/bsv_chan.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "libbsv/bsv_record.h"
#include "libbsv/bsv_types.h"
#include "libbsv/bsv_value.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/memory/rbuf.h"
#include "libpal/network/url.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "liblog/log2.h"

namespace {

// The "log" channel is registered by the first log message: its table is
// static, so that message allocates nothing.
bsv_sub* g_log_subs[8];

}  // namespace

bsv_chan g_bsv_chan_log = {"log", BSV_FORMAT_LOG, BSV_TYPE_LOG, 0, BSV_NET_PACKET_MAX, 8, {0}, nullptr, g_log_subs};

namespace {

// The registry. Its mutex is static, so it exists before the first use and
// outlives bsv_exit.
std::mutex& g_reg_mu = bsv_registry_mutex();
bsv_chan* g_chans[BSV_CHAN_MAX];  // guarded by g_reg_mu
std::atomic<bool> g_log_reg{false};

constexpr uint64_t k_default_ring = 1024 * 1024;

bool listed_locked(const bsv_sub* sub) {
    for (bsv_chan* c : g_chans) {
        if (!c || !c->subs) continue;
        for (uint32_t i = 0; i < c->max_sub; ++i)
            if (c->subs[i] == sub) return true;
    }
    return false;
}

void sub_free(bsv_sub* sub) {
    if (!sub) return;
    rbuf_exit(sub->ring);
    bsv_value_exit(sub->value);
    bsv_filter_free(sub);
    sub->~bsv_sub();
    pl_free(sub);
}

void set_err(char* err, const char* text) {
    if (err) str_safecopy_trunc(err, BSV_ERR_SIZE, text);
}

}  // namespace

std::mutex& bsv_registry_mutex() {
    static std::mutex mu;
    return mu;
}

int bsv_reg(bsv_chan* chan) {
    if (!chan || chan->max_sub == 0) return -1;
    std::lock_guard<std::mutex> g(g_reg_mu);
    int free_slot = -1;
    for (uint32_t i = 0; i < BSV_CHAN_MAX; ++i) {
        if (g_chans[i] == chan) return 0;
        if (!g_chans[i] && free_slot < 0) free_slot = static_cast<int>(i);
    }
    if (free_slot < 0) return -1;
    bsv_sub** subs = chan->fixed_subs;
    if (subs)
        memset(subs, 0, sizeof(bsv_sub*) * chan->max_sub);
    else
        subs = static_cast<bsv_sub**>(pl_zalloc(sizeof(bsv_sub*) * chan->max_sub));
    if (!subs) return -1;
    chan->subs = subs;
    chan->sub_count.store(0);
    g_chans[free_slot] = chan;
    return 0;
}

int bsv_reg_log() {
    if (g_log_reg.load(std::memory_order_acquire)) return 0;
    LOG2(LOG2_VERB, "bsv", "==>\n");
    if (bsv_reg(&g_bsv_chan_log) != 0) return -1;
    g_log_reg.store(true, std::memory_order_release);
    return 0;
}

int bsv_publish(bsv_chan* chan, const void* record, uint32_t len) {
    if (!chan || chan->sub_count.load(std::memory_order_acquire) == 0) return 0;
    std::lock_guard<std::mutex> g(g_reg_mu);
    if (!chan->subs) return 0;
    for (uint32_t i = 0; i < chan->max_sub; ++i) {
        bsv_sub* s = chan->subs[i];
        if (!s || !s->active.load()) continue;
        if (s->rules && bsv_filter_check(s, record, len) == 1) continue;
        rbuf_write(s->ring, record, len);
    }
    return 0;
}

int bsv_exit() {
    std::lock_guard<std::mutex> g(g_reg_mu);
    for (bsv_chan*& c : g_chans) {
        if (!c) continue;
        if (c->subs) {
            for (uint32_t i = 0; i < c->max_sub; ++i) sub_free(c->subs[i]);
            if (c->subs != c->fixed_subs) pl_free(c->subs);
            c->subs = nullptr;
        }
        c->sub_count.store(0);
        c = nullptr;
    }
    g_log_reg.store(false);
    return 0;
}

bsv_sub* bsv_open(const char* text, char* err) {
    if (err) err[0] = 0;
    if (!text) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    char name[256];
    const char* q = strchr(text, '?');
    size_t n = q ? static_cast<size_t>(q - text) : strlen(text);
    if (n >= sizeof name) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    memcpy(name, text, n);
    name[n] = 0;

    char size_text[64];
    uint64_t ring_size = k_default_ring;
    if (q && url_query_get(text, "bsv_rbuf_size", "1m", size_text, sizeof size_text) == 0) {
        ring_size = str_to_size(size_text);
        if (ring_size == 0) ring_size = k_default_ring;
    }

    std::lock_guard<std::mutex> g(g_reg_mu);
    bsv_chan* chan = nullptr;
    for (bsv_chan* c : g_chans)
        if (c && c->subs && strcmp(c->name, name) == 0) chan = c;
    if (!chan) {
        set_err(err, "name does not exist");
        return nullptr;
    }
    uint32_t slot = chan->max_sub;
    for (uint32_t i = 0; i < chan->max_sub; ++i)
        if (!chan->subs[i]) {
            slot = i;
            break;
        }
    if (slot == chan->max_sub) {
        // An unlisted subscription would never receive a record.
        set_err(err, "too many subscriptions");
        return nullptr;
    }
    void* mem = pl_zalloc(sizeof(bsv_sub));
    if (!mem) {
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    auto* sub = new (mem) bsv_sub{};
    sub->chan = chan;
    sub->ring = rbuf_init(ring_size, chan->max_size);
    sub->value = bsv_value_init(chan->format, chan->swap);
    if (!sub->ring || !sub->value) {
        sub_free(sub);
        set_err(err, "memory allocation failed");
        return nullptr;
    }
    sub->active.store(1);
    chan->subs[slot] = sub;
    chan->sub_count.fetch_add(1, std::memory_order_release);
    return sub;
}

void bsv_close(bsv_sub* sub) {
    if (!sub) return;
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        bool found = false;
        for (bsv_chan* c : g_chans) {
            if (!c || !c->subs) continue;
            for (uint32_t i = 0; i < c->max_sub; ++i) {
                if (c->subs[i] != sub) continue;
                c->subs[i] = nullptr;
                c->sub_count.fetch_sub(1);
                found = true;
            }
        }
        if (!found) return;
    }
    sub_free(sub);
}

int bsv_start(bsv_sub* sub) {
    if (!sub) return -1;
    sub->active.store(1);
    return 0;
}

int bsv_stop(bsv_sub* sub) {
    if (!sub) return -1;
    sub->active.store(0);
    return 0;
}

int64_t bsv_read(bsv_sub* sub, void* buf, uint64_t len) {
    if (!sub || !buf) return -1;
    return rbuf_read(sub->ring, buf, len);
}

int bsv_get_stat(bsv_sub* sub, uint64_t stat[6]) {
    if (!sub || !stat) return -1;
    rbuf_get_stat(sub->ring, &stat[0], &stat[1], &stat[2], &stat[3], &stat[4], &stat[5]);
    return 0;
}

int bsv_get_info(bsv_sub* sub, bsv_chan_info* info) {
    if (!sub || !info || !sub->chan) return -1;
    info->type = sub->chan->type;
    info->swap = sub->chan->swap;
    info->max_size = sub->chan->max_size;
    str_safecopy_trunc(info->format, sizeof info->format, sub->chan->format);
    return 0;
}

int bsv_find_subscription(const bsv_sub* sub) {
    std::lock_guard<std::mutex> g(g_reg_mu);
    return sub && listed_locked(sub) ? 0 : -1;
}
