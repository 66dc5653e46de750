#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "libnet/net_chan.h"
#include "libnet/sock_cli.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "libpal/network/url.h"
#include "libpal/os/posix/name_pipe_srv.h"
#include "libpal/os/posix/os_serial.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

// Process-wide TLS hooks: the fallback for a channel with a TLS session and
// no hooks of its own.
std::atomic<net_read_proc> g_ssl_read_proc{nullptr};
std::atomic<net_write_proc> g_ssl_write_proc{nullptr};

os_name_pipe_srv* npipe_of(const net_chan* chan) { return reinterpret_cast<os_name_pipe_srv*>(chan->handle); }
net_mem_chan* mem_of(const net_chan* chan) { return reinterpret_cast<net_mem_chan*>(chan->handle); }

int32_t npipe_read(net_chan* chan, void* buf, uint32_t len) {
    os_name_pipe_srv* h = npipe_of(chan);
    if (!h || os_name_pipe_srv_get_err(h)) return -1;
    int r = os_name_pipe_srv_read(h, buf, len, chan->timeout < 0 ? 0u : static_cast<uint32_t>(chan->timeout));
    if (r < 0) {
        LOG2(LOG2_VERB | LOG2_ERRNO, "net", "os_name_pipe_srv_read error: ");
        return 0;
    }
    return r;
}

int32_t npipe_write(net_chan* chan, const void* buf, uint32_t len) {
    os_name_pipe_srv* h = npipe_of(chan);
    if (!h) return -1;
    return os_name_pipe_srv_write(h, buf, len);
}

int32_t serial_read(net_chan* chan, void* buf, uint32_t len) {
    ssize_t r = os_serial_read(static_cast<int>(chan->handle), buf, len,
                               chan->timeout < 0 ? 0u : static_cast<uint32_t>(chan->timeout));
    return r < 0 ? -1 : static_cast<int32_t>(r);
}

int32_t serial_write(net_chan* chan, const void* buf, uint32_t len) {
    ssize_t r = os_serial_write(static_cast<int>(chan->handle), buf, len);
    return r < 0 ? -1 : static_cast<int32_t>(r);
}

}  // namespace

int net_init() { return 0; }
int net_exit() { return 0; }

void net_chan_reset(net_chan* chan) {
    if (!PL_CHECK("net", chan)) return;
    chan->stop = 0;
    chan->disconnected = 0;
}

void net_chan_set_ssl_proc(net_chan* chan, net_read_proc read_proc, net_write_proc write_proc) {
    if (!PL_CHECK("net", chan)) return;
    chan->read_proc = read_proc;
    chan->write_proc = write_proc;
}

void net_ssl_set_global_proc(net_read_proc read_proc, net_write_proc write_proc) {
    g_ssl_read_proc.store(read_proc);
    g_ssl_write_proc.store(write_proc);
}

int32_t net_ssl_read_proc(net_chan* chan, void* buf, uint32_t len) {
    net_read_proc proc = chan->read_proc ? chan->read_proc : g_ssl_read_proc.load();
    return proc ? proc(chan, buf, len) : -1;
}

int32_t net_ssl_write_proc(net_chan* chan, const void* buf, uint32_t len) {
    net_write_proc proc = chan->write_proc ? chan->write_proc : g_ssl_write_proc.load();
    return proc ? proc(chan, buf, len) : -1;
}

int32_t net_read(net_chan* chan, void* buf, uint32_t len) {
    if (!PL_CHECK("net", chan && (buf || len == 0))) return -1;
    if (len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    switch (chan->kind) {
    case NET_CHAN_TCP:
    case NET_CHAN_TCP1: return chan->ssl ? net_ssl_read_proc(chan, buf, len) : net_sock_read(chan, buf, len);
    case NET_CHAN_STDIO: return static_cast<int32_t>(read(STDIN_FILENO, buf, len));
    case NET_CHAN_NPIPE: return npipe_read(chan, buf, len);
    case NET_CHAN_SERIAL: return serial_read(chan, buf, len);
    case NET_CHAN_MEM: return mem_of(chan) ? net_mem_read(mem_of(chan), buf, len) : -1;
    default: return -1;
    }
}

int32_t net_write(net_chan* chan, const void* buf, uint32_t len) {
    if (len == 0) return 0;
    if (!PL_CHECK("net", chan && buf)) return -1;
    if (len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    switch (chan->kind) {
    case NET_CHAN_TCP:
    case NET_CHAN_TCP1: return chan->ssl ? net_ssl_write_proc(chan, buf, len) : net_sock_write(chan, buf, len);
    case NET_CHAN_STDIO: return net_sock_write(chan, buf, len);
    case NET_CHAN_NPIPE: return npipe_write(chan, buf, len);
    case NET_CHAN_SERIAL: return serial_write(chan, buf, len);
    case NET_CHAN_MEM: return mem_of(chan) ? net_mem_write(mem_of(chan), buf, len) : -1;
    default: return -1;
    }
}

int net_close(net_chan* chan) {
    if (!PL_CHECK("net", chan)) return -1;
    net_chan_reset(chan);
    switch (chan->kind) {
    case NET_CHAN_TCP:
    case NET_CHAN_TCP1:
        if (chan->handle) sock_close(chan->handle);
        chan->handle = 0;
        return 0;
    case NET_CHAN_STDIO:
    case NET_CHAN_NPIPE: return 0;
    case NET_CHAN_MEM:
        net_mem_free(mem_of(chan));
        chan->handle = 0;
        return 0;
    default: return -1;
    }
}

int net_open(net_chan* chan, const char* url, int32_t timeout) {
    if (!PL_CHECK("net", chan && url)) return -1;
    if (strcmp(url, "net://mem") == 0) {
        net_mem_chan* mem = net_mem_new();
        if (!mem) return -1;
        chan->kind = NET_CHAN_MEM;
        chan->handle = reinterpret_cast<uint64_t>(mem);
        return 0;
    }
    url_ctx u;
    char ubuf[URL_SIZE];
    if (url_parser(&u, ubuf, url) != 0) {
        char shown[URL_SIZE];
        url_mask_password(url, shown, sizeof shown);
        LOG2(LOG2_ERR, "net", "url %s syntax error\n", shown);
        return -1;
    }
    char name[256];
    if (url_query_get(url, "proxy", "", name, sizeof name) != 0) return -1;
    if (strcmp(u.protocol, "tcp") != 0) {
        LOG2(LOG2_ERR, "net", "unkouwn protocol [%s]\n", u.protocol);
        return -1;
    }
    auto opts = std::make_unique<sock_opts>();
    auto err = std::make_unique<verr_info>();
    if (*name) {
        int rc = conf_proxy_get("", name, &opts->proxy, err.get());
        if (rc < 0) {
            LOG2(LOG2_DBG, "net", "conf_proxy_get [%s] error: %s", name, verr_msg(err.get()));
            return rc;
        }
    }
    opts->connect_timeout = timeout;
    chan->kind = NET_CHAN_TCP;
    chan->timeout = timeout;
    uint64_t sock = sock_tcp_init(u.host, u.port, opts.get(), err.get());
    if (!sock) {
        char shown[URL_SIZE];
        url_mask_password(url, shown, sizeof shown);
        LOG2(LOG2_DBG, "net", "tcp_connect %s error: %s\n", shown, verr_msg(err.get()));
        return -1;
    }
    chan->handle = sock;
    return 0;
}
