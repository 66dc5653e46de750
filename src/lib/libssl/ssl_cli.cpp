// The TLS client: the process-wide configuration, the handshake over a
// connected channel, and the channel's read and write hooks.
#include <strings.h>

#include <cerrno>
#include <climits>

#include <mbedtls/error.h>

#include "libnet/net_chan.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/os/os_thread.h"
#include "libssl/ssl_priv.h"
#include "liblog/log2.h"

namespace {

constexpr char k_client_pers[] = "kxsd_client";

// The suite list of "aes_256_ecb". Static: the configuration keeps only a
// pointer to it for as long as any session uses it.
constexpr int k_one_suite[] = {SSL_SUITE_RSA_AES_256_CBC_SHA, 0};

// Transport of a session: the channel's socket read and write with their
// deadlines. Any failure is -1.
int bio_send(void* ctx, const unsigned char* buf, size_t len) {
    int32_t r = net_sock_write(static_cast<net_chan*>(ctx), buf, len > INT32_MAX ? INT32_MAX : len);
    // Nothing sent before the deadline is a failure: the library takes 0
    // as a record sent and would carry on with the record still pending.
    return r > 0 ? r : -1;
}

int bio_recv(void* ctx, unsigned char* buf, size_t len) {
    // 0 (the peer closed, or nothing came before the deadline) is the end
    // of the connection for the library.
    int32_t r = net_sock_read(static_cast<net_chan*>(ctx), buf, len > INT32_MAX ? INT32_MAX : len);
    return r < 0 ? -1 : r;
}

// The session of a channel whose hooks are called, or none.
ssl_cli_session* chan_session(net_chan* chan, const void* buf, uint32_t len) {
    if (!PL_CHECK(SSL_TAG, chan && chan->ssl && (buf || len == 0))) return nullptr;
    if (len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<ssl_cli_session*>(chan->ssl);
}

// True once the call's deadline has passed.
bool past(uint64_t start, int32_t timeout) {
    return os_mono_ms() - start >= static_cast<uint64_t>(timeout < 0 ? 0 : timeout);
}

bool want_more(int ret) { return ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE; }

}  // namespace

int ssl_init() { return 0; }
int ssl_exit() { return 0; }

int ssl_conf_setup(mbedtls_entropy_context* entropy, mbedtls_ctr_drbg_context* drbg, mbedtls_ssl_config* conf,
                   const char* pers, int endpoint) {
    mbedtls_ssl_config_init(conf);
    mbedtls_ctr_drbg_init(drbg);
    mbedtls_entropy_init(entropy);
    if (mbedtls_ctr_drbg_seed(drbg, mbedtls_entropy_func, entropy, reinterpret_cast<const unsigned char*>(pers),
                              strlen(pers)) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ctr_drbg_seed failed");
        return -1;
    }
    if (mbedtls_ssl_config_defaults(conf, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_config_defaults failed");
        return -1;
    }
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);  // TLS 1.2
    mbedtls_ssl_conf_ciphersuites(conf, mbedtls_ssl_list_ciphersuites());
    mbedtls_ssl_conf_rng(conf, mbedtls_ctr_drbg_random, drbg);
    // No certificate check, on either side (see ssl_cli.h).
    mbedtls_ssl_conf_authmode(conf, MBEDTLS_SSL_VERIFY_NONE);
    return 0;
}

ssl_cli_session* ssl_session_new(const mbedtls_ssl_config* conf, net_chan* chan, const char* setup_fail_fmt) {
    auto* s = ssl_alloc_record<ssl_cli_session>();
    if (!s) return nullptr;
    mbedtls_ssl_init(&s->ssl);
    int ret = mbedtls_ssl_setup(&s->ssl, conf);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, setup_fail_fmt, ret);
        mbedtls_ssl_free(&s->ssl);
        pl_aligned_free(s);
        return nullptr;
    }
    s->chan = chan;
    mbedtls_ssl_set_bio(&s->ssl, chan, bio_send, bio_recv, nullptr);
    return s;
}

void ssl_session_attach(ssl_cli_session* s) {
    LOG2(LOG2_DBG, SSL_TAG, "Proto=[%s] Cipher=[%s]", mbedtls_ssl_get_version(&s->ssl),
         mbedtls_ssl_get_ciphersuite(&s->ssl));
    s->chan->ssl = s;
    net_chan_set_ssl_proc(s->chan, ssl_recv_proc, ssl_send_proc);
}

void ssl_log_handshake_error(int ret) {
    char text[512];
    mbedtls_strerror(ret, text, sizeof text);
    LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_handshake eno=%d err=[%s]", ret, text);
}

void ssl_session_end(ssl_cli_session* s) {
    if (!s) return;
    if (s->chan && s->chan->ssl == s) {
        // The alert is a courtesy: a peer that is gone makes it fail, which
        // changes nothing.
        mbedtls_ssl_close_notify(&s->ssl);
        s->chan->ssl = nullptr;
        net_chan_set_ssl_proc(s->chan, nullptr, nullptr);
    }
    mbedtls_ssl_free(&s->ssl);
    pl_aligned_free(s);
}

ssl_cli_conf* ssl_cli_conf_new() {
    auto* c = ssl_alloc_record<ssl_cli_conf>();
    if (!c) return nullptr;
    if (ssl_conf_setup(&c->entropy, &c->drbg, &c->conf, k_client_pers, MBEDTLS_SSL_IS_CLIENT) != 0) {
        ssl_cli_conf_free(c);
        return nullptr;
    }
    return c;
}

void ssl_cli_conf_free(ssl_cli_conf* c) {
    if (!c) return;
    mbedtls_ssl_config_free(&c->conf);
    mbedtls_ctr_drbg_free(&c->drbg);
    mbedtls_entropy_free(&c->entropy);
    pl_aligned_free(c);
}

ssl_cli_session* ssl_cli_connect(ssl_cli_conf* conf, net_chan* chan, const char* cipher, int32_t /*timeout*/) {
    if (!PL_CHECK(SSL_TAG, conf && chan)) return nullptr;
    if (cipher && strcasecmp(cipher, SSL_CIPHER_AES_256_ECB) == 0) {
        LOG2(LOG2_DBG, SSL_TAG, "force_ciphersuite=%d", SSL_SUITE_RSA_AES_256_CBC_SHA);
        mbedtls_ssl_conf_ciphersuites(&conf->conf, k_one_suite);
    } else {
        mbedtls_ssl_conf_ciphersuites(&conf->conf, mbedtls_ssl_list_ciphersuites());
    }
    ssl_cli_session* s = ssl_session_new(&conf->conf, chan, "mbedtls_ssl_setup failed");
    if (!s) return nullptr;
    int ret = mbedtls_ssl_handshake(&s->ssl);
    if (ret != 0) {
        ssl_log_handshake_error(ret);
        ssl_session_end(s);
        return nullptr;
    }
    ssl_session_attach(s);
    return s;
}

int ssl_cli_free(ssl_cli_session* session) {
    ssl_session_end(session);
    return 0;
}

int32_t ssl_recv_proc(net_chan* chan, void* buf, uint32_t len) {
    ssl_cli_session* s = chan_session(chan, buf, len);
    if (!s) return -1;
    if (s->peer_closed) {
        // Like a plain channel after the peer closed: fail at once rather
        // than wait for the deadline on a connection that sends no more.
        LOG2(LOG2_VERB, SSL_TAG, "mbedtls_ssl_read = %d\n", MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY);
        return -1;
    }
    auto* p = static_cast<unsigned char*>(buf);
    const uint64_t start = os_mono_ms();
    uint32_t got = 0;
    while (got < len) {
        int r = mbedtls_ssl_read(&s->ssl, p + got, len - got);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
        } else if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || r == MBEDTLS_ERR_SSL_CONN_EOF) {
            // The peer ended the session (with or without its alert), or
            // nothing came before the deadline: the caller gets what came.
            if (r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) s->peer_closed = true;
            break;
        } else if (!want_more(r)) {
            LOG2(LOG2_VERB, SSL_TAG, "mbedtls_ssl_read = %d\n", r);
            return -1;
        }
        if (got < len && past(start, chan->timeout)) break;
    }
    return static_cast<int32_t>(got);
}

int32_t ssl_send_proc(net_chan* chan, const void* buf, uint32_t len) {
    ssl_cli_session* s = chan_session(chan, buf, len);
    if (!s) return -1;
    const int32_t timeout = chan->timeout;
    const auto* p = static_cast<const unsigned char*>(buf);
    const uint64_t start = os_mono_ms();
    uint32_t done = 0;
    while (done < len) {
        // A positive result is a whole record handed to the socket, so a
        // count cut by the deadline never splits a record.
        int r = mbedtls_ssl_write(&s->ssl, p + done, len - done);
        if (r > 0) {
            done += static_cast<uint32_t>(r);
        } else if (!want_more(r)) {
            LOG2(LOG2_VERB, SSL_TAG, "mbedtls_ssl_write = %d\n", r);
            return -1;
        }
        if (done < len && past(start, timeout)) break;
    }
    return static_cast<int32_t>(done);
}
