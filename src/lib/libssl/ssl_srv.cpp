// The server side of the TLS layer, the debug callback and the suite dump.
#include <mbedtls/error.h>

#include "libpal/basic/pl_assert.h"
#include "libssl/ssl_priv.h"
#include "liblog/log2.h"

namespace {

constexpr char k_server_pers[] = "kxsd_srv";

}  // namespace

ssl_srv_conf* sd_srv_ssl_conf_new(const char* cert_file, const char* key_file) {
    if (!PL_CHECK(SSL_TAG, cert_file && key_file)) return nullptr;
    auto* c = ssl_alloc_record<ssl_srv_conf>();
    if (!c) return nullptr;
    mbedtls_x509_crt_init(&c->cert);
    mbedtls_pk_init(&c->key);
    if (ssl_conf_setup(&c->entropy, &c->drbg, &c->conf, k_server_pers, MBEDTLS_SSL_IS_SERVER) != 0) {
        sd_srv_ssl_conf_free(c);
        return nullptr;
    }
    if (mbedtls_x509_crt_parse_file(&c->cert, cert_file) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_x509_crt_parse_file %s failed", cert_file);
        sd_srv_ssl_conf_free(c);
        return nullptr;
    }
    if (mbedtls_pk_parse_keyfile(&c->key, key_file, nullptr) != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_pk_parse_keyfile %s failed", key_file);
        sd_srv_ssl_conf_free(c);
        return nullptr;
    }
    mbedtls_ssl_conf_ca_chain(&c->conf, c->cert.next, nullptr);
    int ret = mbedtls_ssl_conf_own_cert(&c->conf, &c->cert, &c->key);
    if (ret != 0) {
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ssl_conf_own_cert returned %d", ret);
        sd_srv_ssl_conf_free(c);
        return nullptr;
    }
    return c;
}

void sd_srv_ssl_conf_free(ssl_srv_conf* c) {
    if (!c) return;
    mbedtls_ssl_config_free(&c->conf);
    mbedtls_x509_crt_free(&c->cert);
    mbedtls_pk_free(&c->key);
    mbedtls_ctr_drbg_free(&c->drbg);
    mbedtls_entropy_free(&c->entropy);
    pl_aligned_free(c);
}

ssl_cli_session* ssl_srv_new(ssl_srv_conf* conf, net_chan* chan) {
    if (!PL_CHECK(SSL_TAG, conf && chan)) return nullptr;
    ssl_cli_session* s = ssl_session_new(&conf->conf, chan, "mbedtls_ssl_setup returned %d");
    if (!s) return nullptr;
    mbedtls_ssl_session_reset(&s->ssl);
    int ret;
    do {
        ret = mbedtls_ssl_handshake(&s->ssl);
    } while (ret == MBEDTLS_ERR_SSL_WANT_READ || ret == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (ret != 0) {
        ssl_log_handshake_error(ret);
        ssl_session_end(s);
        return nullptr;
    }
    ssl_session_attach(s);
    return s;
}

int ssl_srv_free(ssl_cli_session* session) {
    ssl_session_end(session);
    return 0;
}

void my_debug(void* /*ctx*/, int /*level*/, const char* file, int line, const char* text) {
    LOG2(LOG2_DBG, SSL_TAG, "%s:%04d: %s", file ? file : "", line, text ? text : "");
}

void mbedtls_ssl_ciphersuite_dump() {
    for (const int* id = mbedtls_ssl_list_ciphersuites(); *id; ++id)
        LOG2(LOG2_DBG, "tag", "[%s]", mbedtls_ssl_get_ciphersuite_name(*id));
}
