// Connect, reconnect and end of a connection, its URL options, and the
// process-wide start and end of the client.
#include "libkxsd/kxsd_conn.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "libkxsd/kxsd_handle.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libnet/libnet.h"
#include "libpack/pack.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"
#include "libssl/ssl_cli.h"

namespace {

// ---- process-wide state
std::mutex g_init_mu;
bool g_started = false;
// The TLS client configuration; its connects run one at a time (a connect
// sets the configuration's suites).
std::mutex g_ssl_mu;
ssl_cli_conf* g_ssl_conf = nullptr;

// A zeroed record of the counting allocator, freed with it.
template <typename T>
using pl_unique = std::unique_ptr<T, pl_mem_deleter>;
template <typename T>
pl_unique<T> pl_new() {
    return pl_unique<T>(static_cast<T*>(pl_calloc(1, sizeof(T))));
}

// Proxy records hold a plain password: wipe them before they go.
struct proxy_wiper {
    conf_proxy* p;
    ~proxy_wiper() {
        if (p) explicit_bzero(p, sizeof *p);
    }
};

void free_secret(char* text) {
    if (!text) return;
    explicit_bzero(text, std::strlen(text));
    pl_free(text);
}

// A user or password of the URL with its percent-escapes decoded (so that
// "/", "?", "#", "@" and "%" can be written), in a new text, or none.
char* decoded_secret(const char* raw) {
    const size_t size = std::strlen(raw) + 1;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
    if (!buf || str_unescape_url_args(raw, buf.get(), size) != 0) return nullptr;
    char* out = pl_strdup(buf.get());
    explicit_bzero(buf.get(), size);
    return out;
}

// The value of a query key, URL-decoded and cut to size; empty when absent
// or unusable.
void query_get(const char* query, const char* key, char* out, size_t size) {
    out[0] = 0;
    auto tmp = std::make_unique<char[]>(URL_SIZE);
    if (str_args_get(query, key, tmp.get(), URL_SIZE) == 0) str_safecopy_trunc(out, size, tmp.get());
    explicit_bzero(tmp.get(), URL_SIZE);
}

// Whole seconds of a query key in milliseconds; 0 when absent or not above 0.
int32_t query_ms(const char* query, const char* key) {
    char v[16];
    query_get(query, key, v, sizeof v);
    const long long secs = std::strtoll(v, nullptr, 10);
    if (secs <= 0) return 0;
    return secs >= INT32_MAX / 1000 ? INT32_MAX / 1000 * 1000 : static_cast<int32_t>(secs * 1000);
}

// A size text of a query key; def when absent or 0, at most max.
uint64_t query_size(const char* query, const char* key, uint64_t def, uint64_t max) {
    char v[32];
    query_get(query, key, v, sizeof v);
    const uint64_t n = str_to_size(v);
    if (n == 0) return def;
    if (n > max) {
        LOG2(LOG2_DBG, "sdcli", "%s=%s above %llu: cut\n", key, v, static_cast<unsigned long long>(max));
        return max;
    }
    return n;
}

// TLS over the connection's channel. The session, or none.
ssl_cli_session* tls_connect(kxsd_cli_ctx* conn, const char* cipher) {
    std::lock_guard<std::mutex> lock(g_ssl_mu);
    if (!g_ssl_conf) return nullptr;
    return ssl_cli_connect(g_ssl_conf, &conn->chan, cipher, conn->connect_timeout);
}

bool tls_configured() {
    std::lock_guard<std::mutex> lock(g_ssl_mu);
    return g_ssl_conf != nullptr;
}

void tls_end(kxsd_cli_ctx* conn) {
    if (conn->chan.ssl) ssl_cli_free(static_cast<ssl_cli_session*>(conn->chan.ssl));
    conn->chan.ssl = nullptr;
}

void kxsd_cli_ver_info(const char* ver, const char* plat, const char* arch, const char* bit, const char* order,
                       const char* is_root) {
    LOG2(LOG2_VERB, "sdcli", "ver=%s os=%s.%s.%s order=%s is_root=%s\n", ver, plat, arch, bit, order, is_root);
}

// Reads the server's information and sets the feature flags. 0 or -1.
int server_info(kxsd_cli_ctx* conn) {
    auto info = std::make_unique<char[]>(4096);
    if (kxsd_cli_info(conn, info.get(), 4096) != 0) return -1;
    char plat[64] = "", arch[64] = "", bit[8] = "", order[16] = "", is_root[4] = "";
    conn->srv_ver[0] = 0;
    str_kv_get_bracket(info.get(), "ver", conn->srv_ver, sizeof conn->srv_ver);
    str_kv_get_bracket(info.get(), "plat", plat, sizeof plat);
    str_kv_get_bracket(info.get(), "arch", arch, sizeof arch);
    str_kv_get_bracket(info.get(), "bit", bit, sizeof bit);
    str_kv_get_bracket(info.get(), "order", order, sizeof order);
    str_kv_get_bracket(info.get(), "is_root", is_root, sizeof is_root);
    conn->long_stat = kxsd_cli_ver_at_least(conn, "1.5.3") ? 1 : 0;
    conn->offsets = kxsd_cli_ver_at_least(conn, "1.6.4") ? 1 : 0;
    conn->windows = std::strcmp(plat, "windows") == 0 ? 1 : 0;
    kxsd_cli_ver_info(conn->srv_ver, plat, arch, bit, order, is_root);
    return 0;
}

}  // namespace

int kxsd_cli_url_opts(const url_ctx* url, kxsd_conn_opts* o, verr_info* err) {
    if (!url || !o) return -1;
    std::memset(o, 0, sizeof *o);
    const char* q = url->query ? url->query : "";
    o->bssl = url->protocol && strcasecmp(url->protocol, "kxps") == 0 ? 1 : 0;
    o->port = url->port ? url->port : (o->bssl ? KXSD_PORT_SSL : KXSD_PORT);

    o->connect_timeout = query_ms(q, "connect_timeout");
    if (o->connect_timeout <= 0) o->connect_timeout = KXSD_CONNECT_TIMEOUT_DEF;
    o->read_timeout = query_ms(q, "read_timeout");
    if (o->read_timeout < 1) o->read_timeout = KXSD_READ_TIMEOUT_DEF;
    o->write_timeout = query_ms(q, "write_timeout");
    if (o->write_timeout < 1) o->write_timeout = KXSD_WRITE_TIMEOUT_DEF;
    if (o->write_timeout > o->read_timeout - 1000) o->write_timeout = o->read_timeout - 1000;
    // A read timeout of one second leaves no room below it: half of it
    // rather than a write timeout of 0.
    if (o->write_timeout < 1) o->write_timeout = o->read_timeout / 2;

    query_get(q, "pack", o->pack, sizeof o->pack);
    if (!o->pack[0]) str_safecopy_trunc(o->pack, sizeof o->pack, KXSD_PACK_DEF);
    query_get(q, "proxy", o->proxy, sizeof o->proxy);
    query_get(q, "ssl-cipher", o->cipher, sizeof o->cipher);

    o->block_size = static_cast<int32_t>(
        query_size(q, "mblock-size", KXSD_BLOCK_SIZE_DEF, static_cast<uint64_t>(KXSD_BLOCK_SIZE_MAX)));
    o->rdir_size = static_cast<uint32_t>(query_size(q, "rdir-size", KXSD_RDIR_SIZE_DEF, KXSD_RDIR_SIZE_MAX));
    o->sock_bufsize =
        static_cast<uint32_t>(query_size(q, "sock-bufsize", KXSD_SOCK_BUFSIZE_DEF, KXSD_SOCK_BUFSIZE_MAX));

    auto text = std::make_unique<char[]>(URL_SIZE);
    query_get(q, "proxy_url", text.get(), URL_SIZE);
    if (text[0]) {
        const int n = str_base64_decode(text.get(), o->proxy_url, sizeof o->proxy_url - 1);
        explicit_bzero(text.get(), URL_SIZE);
        if (n < 0) {
            o->proxy_url[0] = 0;
            if (err) VERR_SET(err, VERR_INVALID_PARAMETER, "proxy_url is not base64");
            return -1;
        }
        o->proxy_url[n] = 0;
    }
    return 0;
}

int kxsd_cli_init() {
    std::lock_guard<std::mutex> lock(g_init_mu);
    if (g_started) return 0;
    net_init();
    zcomp_init();
    ssl_init();
    {
        std::lock_guard<std::mutex> ssl_lock(g_ssl_mu);
        g_ssl_conf = ssl_cli_conf_new();
        if (!g_ssl_conf) LOG2(LOG2_DBG, "sdcli", "ssl_cli_conf_new failed\n");
    }
    // The reply policy tables are constant tables of the command catalogue.
    g_started = true;
    return 0;
}

void kxsd_cli_uninit() {
    std::lock_guard<std::mutex> lock(g_init_mu);
    if (!g_started) return;
    {
        std::lock_guard<std::mutex> ssl_lock(g_ssl_mu);
        ssl_cli_conf_free(g_ssl_conf);
        g_ssl_conf = nullptr;
    }
    ssl_exit();
    net_exit();
    g_started = false;
}

kxsd_cli_ctx* kxsd_cli_connect3_imp(const char* url, stop_flag* stop, int login, verr_info* err) {
    // 1-4: the URL and its options.
    pl_unique<char> ubuf(static_cast<char*>(pl_malloc(URL_SIZE)));
    url_ctx u{};
    if (!url || !ubuf || url_parser(&u, ubuf.get(), url) != 0) {
        if (err) VERR_SET(err, VERR_INVALID_PARAMETER, "%s", "");
        return nullptr;
    }
    auto opts = pl_new<kxsd_conn_opts>();
    auto sopts = pl_new<sock_opts>();
    if (!opts || !sopts) {
        if (err) VERR_SET(err, VERR_NO_MEMORY, "%s", "");
        return nullptr;
    }
    const proxy_wiper wipe_proxy{&sopts->proxy};
    if (kxsd_cli_url_opts(&u, opts.get(), err) != 0) return nullptr;

    // 5: the proxy (1: none applies).
    const int proxy = conf_proxy_get(opts->proxy_url, opts->proxy, &sopts->proxy, err, u.host);
    explicit_bzero(opts->proxy_url, sizeof opts->proxy_url);
    if (proxy < 0) return nullptr;

    // 6: TCP.
    sopts->connect_timeout = opts->connect_timeout;
    sopts->buf_size = opts->sock_bufsize;
    sopts->stop = stop;
    const uint64_t sock = sock_tcp_init(u.host, opts->port, sopts.get(), err);
    if (!sock) {
        LOG2(LOG2_DBG, "sdcli", "sock_connect ip=%s port=%d connect_timeout=%d buf_size=%d failed\n", u.host,
             static_cast<int>(opts->port), opts->connect_timeout, static_cast<int>(opts->sock_bufsize));
        return nullptr;
    }

    // 7: the record.
    auto* conn = static_cast<kxsd_cli_ctx*>(pl_calloc(1, sizeof(kxsd_cli_ctx)));
    if (!conn) {
        sock_close(sock);
        if (err) VERR_SET(err, VERR_NO_MEMORY, "%s", "");
        return nullptr;
    }
    conn->kind = KXSD_KIND_CONN;
    conn->block_size = opts->block_size;
    conn->rdir_size = opts->rdir_size;
    conn->chan.kind = NET_CHAN_TCP;
    conn->chan.handle = sock;
    conn->chan.timeout = opts->read_timeout;
    conn->chan.stop_req = stop;
    conn->bssl = opts->bssl;
    conn->connect_timeout = opts->connect_timeout;
    if (mem_ptr_init(&conn->files) != 0 || mem_ptr_init(&conn->dirs) != 0) {
        kxsd_cli_free(conn);
        if (err) VERR_SET(err, VERR_NO_MEMORY, "%s", "");
        return nullptr;
    }

    // 8: TLS.
    if (conn->bssl) {
        if (!tls_configured()) {
            if (err) VERR_SET(err, VERR_GENERAL_FAILURE, "ssl_cli init failed");
            kxsd_cli_free(conn);
            return nullptr;
        }
        if (!tls_connect(conn, opts->cipher)) {
            if (err) VERR_SET(err, VERR_GENERAL_FAILURE, "ssl_cli_connect failed");
            kxsd_cli_free(conn);
            return nullptr;
        }
    }

    // 9: what a reconnect needs again.
    conn->err = err;
    conn->sock_bufsize = opts->sock_bufsize;
    conn->port = opts->port;
    conn->read_timeout = opts->read_timeout;
    conn->write_timeout = opts->write_timeout;
    conn->host = pl_strdup(u.host);
    conn->cipher = pl_strdup(opts->cipher);
    conn->user = decoded_secret(u.user);
    conn->passwd = decoded_secret(u.passwd);
    if (proxy == 0) {
        conn->proxy = static_cast<conf_proxy*>(pl_memdup(&sopts->proxy, sizeof sopts->proxy));
    }
    if (!conn->host || !conn->cipher || !conn->user || !conn->passwd || (proxy == 0 && !conn->proxy)) {
        kxsd_cli_free(conn);
        if (err) VERR_SET(err, VERR_NO_MEMORY, "%s", "");
        return nullptr;
    }
    str_safecopy_trunc(conn->pack.name, sizeof conn->pack.name, opts->pack);

    // 10: login.
    if (login) {
        const int32_t status = cli_login(conn, conn->user, conn->passwd);
        if (status != KXSD_CLI_OK) {
            LOG2(LOG2_DBG, "sdcli", "cli_init ret=%d\n", status);
            kxsd_cli_set_last_error(conn, status);
            kxsd_cli_free(conn);
            return nullptr;
        }
    }

    // 11: the connection as set up (the password never shown).
    LOG2(LOG2_VERB, "sdcli", "ip=%s port=%d sock_bufsize=%d block_size=%d rdir_size=%d\n", conn->host,
         static_cast<int>(conn->port), static_cast<int>(conn->sock_bufsize), conn->block_size,
         static_cast<int>(conn->rdir_size));
    LOG2(LOG2_VERB, "sdcli", "connect_timeout=%d read_timeout=%d write_timeout=%d\n", conn->connect_timeout,
         conn->read_timeout, conn->write_timeout);
    LOG2(LOG2_VERB, "sdcli", "user=[%s] passwd=[%s] pack=[%s] bssl=[%d] cipher=[%s]\n", conn->user,
         conn->passwd[0] ? "***" : "", conn->pack.name, static_cast<int>(conn->bssl), conn->cipher);

    // 12-15: pack method, server information, feature flags.
    if (kxsd_cli_pack_switch(conn) != 0 || server_info(conn) != 0) {
        kxsd_cli_free(conn);
        return nullptr;
    }
    return conn;
}

kxsd_cli_ctx* kxsd_cli_connect(const char* url, stop_flag* stop, verr_info* err) {
    return kxsd_cli_connect3_imp(url, stop, 1, err);
}

kxsd_cli_ctx* kxsd_cli_connect_nostop(const char* url, verr_info* err) {
    return kxsd_cli_connect3_imp(url, nullptr, 1, err);
}

kxsd_cli_ctx* kxsd_cli_connect_nologin(const char* url, verr_info* err) {
    return kxsd_cli_connect3_imp(url, nullptr, 0, err);
}

int kxsd_cli_pack_switch(kxsd_cli_ctx* conn) {
    if (!conn) return -1;
    char name[sizeof conn->pack.name];
    str_safecopy_trunc(name, sizeof name, conn->pack.name);
    const int32_t status = cli_file_ioctl(conn, 0, KXSD_IOCTL_PACK, name, KXSD_DATA_TEXT);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

void kxsd_cli_drop_link(kxsd_cli_ctx* conn) {
    if (!conn) return;
    tls_end(conn);
    if (conn->chan.handle) net_close(&conn->chan);
}

int kxsd_cli_reconnect(kxsd_cli_ctx* conn) {
    if (!conn) return -1;
    tls_end(conn);
    net_close(&conn->chan);
    net_chan_reset(&conn->chan);

    // The route of the connect, but no stop request: the reconnect runs
    // inside a request that already failed and is bounded by its timeout.
    auto opts = pl_new<sock_opts>();
    auto cerr = pl_new<verr_info>();
    if (!opts || !cerr) {
        if (conn->err) VERR_SET(conn->err, VERR_NO_MEMORY, "%s", "");
        return -1;
    }
    const proxy_wiper wipe_proxy{&opts->proxy};
    opts->connect_timeout = conn->connect_timeout;
    opts->buf_size = conn->sock_bufsize;
    if (conn->proxy) opts->proxy = *conn->proxy;
    const uint64_t sock = sock_tcp_init(conn->host, static_cast<uint16_t>(conn->port), opts.get(), cerr.get());
    if (!sock) {
        LOG2(LOG2_DBG, "sdcli", "sock_connect ip=%s port=%u failed: %s\n", conn->host, conn->port, verr_msg(cerr.get()));
        if (conn->err) VERR_SET(conn->err, VERR_TIMEOUT, "connect timeout error");
        return -1;
    }
    conn->chan.handle = sock;

    if (conn->bssl && !tls_connect(conn, conn->cipher)) {
        if (conn->err) VERR_SET(conn->err, VERR_TIMEOUT, "ssl connect timeout error");
        net_close(&conn->chan);
        return -1;
    }

    const int32_t status = cli_login(conn, conn->user, conn->passwd);
    if (status != KXSD_CLI_OK) {
        kxsd_cli_set_last_error(conn, status);
        return -1;
    }
    return 0;
}

int32_t kxsd_cli_exit(kxsd_cli_ctx* conn) {
    if (!conn) return -1;
    LOG2(LOG2_VERB, "sdcli", "==>\n");
    while (auto* f = static_cast<kxsd_file_ctx*>(mem_ptr_at(&conn->files, 0))) {
        if (conn->chan.handle) cli_close(conn, f->fd);
        mem_ptr_del(&conn->files, f);
        kxsd_file_free(f);
    }
    while (auto* d = static_cast<kxsd_dir_ctx*>(mem_ptr_at(&conn->dirs, 0))) {
        if (conn->chan.handle) cli_closedir(conn, d->fd);
        mem_ptr_del(&conn->dirs, d);
        kxsd_dir_free(d);
    }
    const int32_t status = conn->chan.handle ? cli_logout(conn) : 0;
    kxsd_cli_free(conn);
    LOG2(LOG2_VERB, "sdcli", "<==\n");
    return status;
}

void kxsd_cli_free(kxsd_cli_ctx* conn) {
    if (!conn) return;
    tls_end(conn);
    if (conn->chan.handle) net_close(&conn->chan);
    zcomp_close(&conn->pack);
    msg_buf_free(&conn->req);
    pl_free(conn->reply);
    pl_free(conn->cipher);
    pl_free(conn->user);
    pl_free(conn->host);
    free_secret(conn->passwd);
    if (conn->proxy) {
        explicit_bzero(conn->proxy, sizeof *conn->proxy);
        pl_free(conn->proxy);
    }
    mem_ptr_exit(&conn->files);
    mem_ptr_exit(&conn->dirs);
    explicit_bzero(conn->login_key, sizeof conn->login_key);
    pl_free(conn);
}
