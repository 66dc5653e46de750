#include "libnet/sock_proxy.h"

#include <algorithm>
#include <cerrno>
#include <memory>

#include "libnet/net_chan.h"
#include "libnet/net_priv.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_proxy_priv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "liblog/log2.h"

int32_t proxy_tunnel_left_ms(const proxy_tunnel& t) {
    const int64_t left = static_cast<int64_t>(t.budget_ms) - net_elapsed_ms(t.start);
    return static_cast<int32_t>(std::max<int64_t>(left, 0));
}

bool proxy_tunnel_read(proxy_tunnel& t, void* buf, uint32_t len, int32_t* got) {
    t.chan.timeout = proxy_tunnel_left_ms(t);
    errno = 0;
    const int32_t r = net_read(&t.chan, buf, len);
    if (r < 0 && errno == ECANCELED) t.stopped = true;
    if (got) *got = r;
    return r == static_cast<int32_t>(len);
}

bool proxy_tunnel_write(proxy_tunnel& t, const void* buf, uint32_t len) {
    t.chan.timeout = proxy_tunnel_left_ms(t);
    errno = 0;
    const int32_t r = net_write(&t.chan, buf, len);
    if (r < 0 && errno == ECANCELED) t.stopped = true;
    return r == static_cast<int32_t>(len);
}

uint64_t proxy_tcp_connect(const char* host, uint16_t port, const sock_opts* opts, verr_info* err) {
    if (!PL_CHECK("net", host && opts)) return 0;
    const conf_proxy& proxy = opts->proxy;
    if (proxy.port == 0 || proxy.port > 65535) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "proxy port [%u] invalid", proxy.port);
        return 0;
    }
    // The connect to the proxy itself is direct; the caller's options stay
    // as they are.
    auto direct = std::make_unique<sock_opts>(*opts);
    direct->proxy.kind = CONF_PROXY_NONE;
    const uint64_t sock = sock_tcp_init(proxy.ip, static_cast<uint16_t>(proxy.port), direct.get(), err);
    if (!sock) {
        LOG2(LOG2_DBG, "net", "connect proxy server %s:%d failed\n", proxy.ip, static_cast<int>(proxy.port));
        return 0;
    }
    LOG2(LOG2_DBG, "net", "connect proxy ip=%s port=%d ok!\n", proxy.ip, static_cast<int>(proxy.port));

    // The whole handshake has one deadline, and it gives way to the stop
    // request like every other wait of a connect.
    proxy_tunnel t{};
    t.chan.kind = NET_CHAN_TCP;
    t.chan.handle = sock;
    t.chan.stop_req = opts->stop;
    t.start = net_now_us();
    t.budget_ms = opts->connect_timeout;
    int rc;
    switch (proxy.kind) {
    case CONF_PROXY_HTTP: rc = proxy_http_connect(t, host, port, proxy, err); break;
    case CONF_PROXY_SOCKS4: rc = proxy_socks4_connect(t, host, port, proxy, err); break;
    case CONF_PROXY_SOCKS5: rc = proxy_socks5_connect(t, host, port, proxy, err); break;
    default:
        NET_ERR(err, VERR_GENERAL_FAILURE, "Unsupported proxy type=%d", static_cast<int>(proxy.kind));
        rc = -1;
        break;
    }
    if (rc != 0) {
        // A handshake cut short by the stop request says so, as a connect does.
        if (t.stopped) NET_ERR(err, VERR_GENERAL_FAILURE, "User request stop");
        sock_close(sock);
        return 0;
    }
    return sock;
}
