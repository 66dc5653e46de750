#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "libbsv/bsv_chan.h"
#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libbsv/bsv_record.h"
#include "libpal/os/os_thread.h"

namespace {

// A sink and the lock its calls run under.
struct sink_slot {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bsv_sink_fn> fn{nullptr};
    void* ctx = nullptr;  // guarded by mu
};

sink_slot g_udp_sink;
sink_slot g_file_sink;

// The source path loses this build-machine prefix when it starts with it.
constexpr char k_build_prefix[] = "/build/kxdd/";
static_assert(sizeof k_build_prefix - 1 == 12);

thread_local bool t_in_hook = false;

void set_slot(sink_slot& s, bsv_sink_fn fn, void* ctx) {
    pthread_mutex_lock(&s.mu);
    s.ctx = fn ? ctx : nullptr;
    s.fn.store(fn, std::memory_order_release);
    pthread_mutex_unlock(&s.mu);
}

void unset_slot(sink_slot& s, void* ctx) {
    pthread_mutex_lock(&s.mu);
    if (s.ctx == ctx) {
        s.ctx = nullptr;
        s.fn.store(nullptr, std::memory_order_release);
    }
    pthread_mutex_unlock(&s.mu);
}

void call_slot(sink_slot& s, uint32_t level, const uint8_t* data, uint32_t len, int64_t wait_ms) {
    if (!os_pthread_lock_within(&s.mu, wait_ms)) return;
    if (bsv_sink_fn fn = s.fn.load(std::memory_order_acquire)) fn(level, data, len, s.ctx);
    pthread_mutex_unlock(&s.mu);
}

void hook_imp(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, const char* msg,
              int64_t wait_ms) {
    if (t_in_hook) return;
    const char* t = tag ? tag : "";
    if (strcmp(t, "bsv") == 0 || strcmp(t, "net") == 0) return;
    t_in_hook = true;
    struct reset {
        ~reset() { t_in_hook = false; }
    } r;

    // A signal handler does not wait for the registry.
    if (wait_ms < 0) bsv_reg_log();
    bool udp = (level & 0xC00) && g_udp_sink.fn.load(std::memory_order_acquire);
    bool file = g_file_sink.fn.load(std::memory_order_acquire) != nullptr;
    bool subs = g_bsv_chan_log.sub_count.load(std::memory_order_acquire) != 0;
    if (!udp && !file && !subs) return;

    const char* p = path ? path : "";
    if (strncmp(p, k_build_prefix, sizeof k_build_prefix - 1) == 0) p += sizeof k_build_prefix - 1;
    uint8_t rec[BSV_LOG_RECORD_MAX];
    int32_t n = bsv_log_record_write(rec, level, t, p, line, func, msg);
    if (n <= 0) return;
    if (udp) {
        uint8_t packet[BSV_NET_PACKET_MAX];
        int32_t plen = bsv_net_log_packet(packet, static_cast<uint16_t>(g_bsv_chan_log.type), rec,
                                          static_cast<uint32_t>(n));
        if (plen > 0) call_slot(g_udp_sink, level, packet, static_cast<uint32_t>(plen), wait_ms);
    }
    if (file) call_slot(g_file_sink, level, rec, static_cast<uint32_t>(n), wait_ms);
    // A signal handler does not wait for the registry.
    if (subs && wait_ms < 0) bsv_publish(&g_bsv_chan_log, rec, static_cast<uint32_t>(n));
}

}  // namespace

void bsv_set_udp_sink(bsv_sink_fn fn, void* ctx) { set_slot(g_udp_sink, fn, ctx); }
void bsv_set_file_sink(bsv_sink_fn fn, void* ctx) { set_slot(g_file_sink, fn, ctx); }
void bsv_unset_udp_sink(void* ctx) { unset_slot(g_udp_sink, ctx); }
void bsv_unset_file_sink(void* ctx) { unset_slot(g_file_sink, ctx); }

void bsv_log_hook(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, const char* msg) {
    hook_imp(level, tag, path, line, func, msg, -1);
}

void bsv_log_hook_bounded(uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                          const char* msg, uint32_t wait_ms) {
    hook_imp(level, tag, path, line, func, msg, static_cast<int64_t>(wait_ms));
}
