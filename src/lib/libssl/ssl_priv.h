// Records and helpers shared by the client and server sides of the TLS layer.
#pragma once

#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "libpal/memory/pl_mem.h"
#include "libssl/ssl_cli.h"

inline constexpr char SSL_TAG[] = "sslcli";

struct ssl_cli_conf {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
};

struct ssl_srv_conf {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config conf;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
};

struct ssl_cli_session {
    mbedtls_ssl_context ssl;
    net_chan* chan;    // the channel whose TLS field holds this session
    bool peer_closed;  // the peer's close-notify alert came: nothing more to read
};

// A zeroed block of the platform's aligned allocator for a record, or
// none; released with pl_aligned_free.
template <typename T>
T* ssl_alloc_record() {
    void* p = pl_aligned_alloc(sizeof(T), alignof(T) < 16 ? 16 : alignof(T));
    if (p) memset(p, 0, sizeof(T));
    return static_cast<T*>(p);
}

// Seeds the generator with the personalisation text and applies the
// defaults of the endpoint. 0, or -1 (logged).
int ssl_conf_setup(mbedtls_entropy_context* entropy, mbedtls_ctr_drbg_context* drbg, mbedtls_ssl_config* conf,
                   const char* pers, int endpoint);
// A new session set up on the configuration with the channel's transport,
// or none ("mbedtls_ssl_setup ..." logged with the given format).
ssl_cli_session* ssl_session_new(const mbedtls_ssl_config* conf, net_chan* chan, const char* setup_fail_fmt);
// After a successful handshake: logs the protocol and the suite, stores
// the session in the channel and sets the channel's hooks.
void ssl_session_attach(ssl_cli_session* session);
// Logs a failed handshake with the library's text of the code.
void ssl_log_handshake_error(int ret);
// Sends the close-notify alert, detaches the session from its channel,
// frees it. Nothing for none.
void ssl_session_end(ssl_cli_session* session);
