#include "liblog/log_bsv_udp.h"

#include <strings.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_net.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/posix/os_udp.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

// Shared by the output and its "bsvnet" thread; freed by the last of them.
struct log_bsv_udp_link {
    std::mutex mu;
    std::atomic<int> refs{2};
    uint64_t sock = 0;         // guarded by mu; descriptor plus one
    bool opening = true;       // guarded by mu; "bsvnet" has not finished
    bool closed = false;       // guarded by mu; the output was closed
    uint32_t held_len = 0;     // guarded by mu
    int port = 0;
    log_bsv_udp_opener opener = nullptr;
    char host[8192] = {};
    uint8_t held[LOG_BSV_UDP_HOLD_SIZE];
};

namespace {

void link_release(log_bsv_udp_link* l) {
    if (l && l->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        l->~log_bsv_udp_link();
        pl_free(l);
    }
}

int64_t send_locked(log_bsv_udp_link* l, const uint8_t* packet, uint32_t len) {
    if (!l || !l->sock) return len;
    return os_udp_send(l->sock, packet, len);
}

}  // namespace

void log_bsv_udp_init(log_bsv_udp_state* s) {
    if (!s) return;
    s->url[0] = 0;
    s->host[0] = 0;
    s->port = LOG_BSV_UDP_PORT;
    s->link = nullptr;
    s->thread = nullptr;
    s->opener = os_udp_open;
}

int log_bsv_udp_open(log_bsv_udp_state* s, const char* url) {
    if (!s) return -1;
    log_bsv_udp_close(s);
    url_ctx u{};
    auto buf = std::make_unique<char[]>(URL_SIZE);
    if (!url || url_parser(&u, buf.get(), url) != 0) {
        LOG2(LOG2_DBG, "bsv", "url_parser%s failed\n", url ? url : "");
        return -1;
    }
    s->port = u.port ? u.port : LOG_BSV_UDP_PORT;
    str_safecopy_trunc(s->host, sizeof s->host, u.host);
    if (strcasecmp(u.protocol, "udps") == 0) bsv_net_set_scramble(1);

    void* mem = pl_malloc(sizeof(log_bsv_udp_link));
    if (!mem) return -1;
    auto* l = new (mem) log_bsv_udp_link();
    l->port = static_cast<int>(s->port);
    l->opener = s->opener ? s->opener : os_udp_open;
    str_safecopy_trunc(l->host, sizeof l->host, s->host);
    s->link = l;
    str_safecopy_trunc(s->url, sizeof s->url, url);
    bsv_set_udp_sink(log_bsv_udp_sink, s);
    s->thread = os_thread_create("bsvnet", net_open_thread, l, 0);
    if (!s->thread) {
        {
            std::lock_guard<std::mutex> g(l->mu);
            l->opening = false;
        }
        link_release(l);  // the thread's reference
        log_bsv_udp_close(s);
        return -1;
    }
    return 0;
}

int32_t net_open_thread(void* arg) {
    auto* l = static_cast<log_bsv_udp_link*>(arg);
    uint64_t sock = l->opener(l->host, l->port);
    bool failed = false;
    {
        std::lock_guard<std::mutex> g(l->mu);
        if (l->closed) {
            if (sock) os_udp_close(sock);
        } else if (sock) {
            l->sock = sock;
            if (l->held_len) send_locked(l, l->held, l->held_len);
        } else {
            failed = true;
        }
        l->held_len = 0;
        l->opening = false;
    }
    if (failed) LOG2(LOG2_DBG, "bsv", "os_udp_open %s:%d failed\n", l->host, l->port);
    link_release(l);
    return 0;
}

void log_bsv_udp_sink(uint32_t /*level*/, const uint8_t* packet, uint32_t len, void* state) {
    auto* s = static_cast<log_bsv_udp_state*>(state);
    if (!s || !packet || len == 0 || !s->link) return;
    log_bsv_udp_link* l = s->link;
    std::lock_guard<std::mutex> g(l->mu);
    if (l->closed) return;
    if (l->sock) {
        send_locked(l, packet, len);
    } else if (l->opening && l->held_len == 0 && len <= sizeof l->held) {
        memcpy(l->held, packet, len);
        l->held_len = len;
    }
}

int64_t log_bsv_udp_send(const uint8_t* packet, uint32_t len, log_bsv_udp_state* s) {
    if (!s || !s->link) return len;
    std::lock_guard<std::mutex> g(s->link->mu);
    return send_locked(s->link, packet, len);
}

int log_bsv_udp_close(log_bsv_udp_state* s) {
    if (!s) return 0;
    // Once the sink is cleared no logging thread uses the link any more.
    bsv_unset_udp_sink(s);
    if (s->thread) {
        // A short wait lets "bsvnet" finish its open and send the held
        // packet; a thread still resolving after it holds its own reference
        // to the link and is let go.
        os_thread_wait(s->thread, LOG_BSV_UDP_JOIN_MS, nullptr);
        os_thread_free(s->thread);
        s->thread = nullptr;
    }
    if (log_bsv_udp_link* l = s->link) {
        {
            std::lock_guard<std::mutex> g(l->mu);
            l->closed = true;
            if (l->sock) os_udp_close(l->sock);
            l->sock = 0;
            l->held_len = 0;
        }
        s->link = nullptr;
        link_release(l);
    }
    s->url[0] = 0;
    return 0;
}

const char* log_bsv_udp_get_url(const log_bsv_udp_state* s) { return s ? s->url : ""; }
