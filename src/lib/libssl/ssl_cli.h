// The TLS layer of the remote storage connections (TLS 1.2 over mbedTLS).
//
// One process-wide client configuration; one session per connection, set
// up over an already connected network channel. After the handshake the
// channel reads and writes through the session (its TLS hooks).
//
// The server's certificate is NOT verified (authentication mode none):
// the session protects against eavesdropping, not against an active man in
// the middle. Servers use self-signed certificates, and the login that runs
// inside the session (a "{SHA}" form or a challenge key) never carries the
// plain password.
//
// mbedTLS allocates with the C library: the Debian build of the library
// has no hook to route its blocks through the counting allocator.
//
// A session and its channel are used by one thread at a time. Log tag "sslcli".
#pragma once

#include <cstdint>

struct net_chan;
struct ssl_cli_conf;
struct ssl_srv_conf;
// One TLS session (client or server side).
struct ssl_cli_session;

// The only cipher text that changes the suites: it offers exactly
// TLS-RSA-WITH-AES-256-CBC-SHA (0x0035). Compared without regard to case.
inline constexpr char SSL_CIPHER_AES_256_ECB[] = "aes_256_ecb";
inline constexpr int SSL_SUITE_RSA_AES_256_CBC_SHA = 0x0035;

// Start and end of the TLS layer: nothing to do. 0.
int ssl_init();
int ssl_exit();

// The client configuration: random generator seeded from the system's
// entropy, client defaults, every suite of the library, no certificate
// verification. None on failure (logged).
ssl_cli_conf* ssl_cli_conf_new();
void ssl_cli_conf_free(ssl_cli_conf* conf);

// Runs the handshake over the connected channel (each transport read and
// write waits up to the channel's own deadline; the timeout argument is
// not used). On success the session is stored in the channel's TLS field
// and the channel's hooks read and write through it. None on failure
// (logged, the channel untouched). Connects using one configuration run one
// at a time.
ssl_cli_session* ssl_cli_connect(ssl_cli_conf* conf, net_chan* chan, const char* cipher, int32_t timeout);
// Sends the close-notify alert, detaches the session from its channel and
// frees it. 0. Call it before the channel is closed.
int ssl_cli_free(ssl_cli_session* session);

// The channel's TLS hooks. They loop until the whole length has moved or
// the channel's deadline has passed and return the count moved, or -1 when
// the session fails. A peer that ends the session (close-notify alert or a
// closed connection) makes a read return the bytes it had.
int32_t ssl_recv_proc(net_chan* chan, void* buf, uint32_t len);
int32_t ssl_send_proc(net_chan* chan, const void* buf, uint32_t len);

// Server side. A configuration from a PEM certificate file (the
// certificates after the first form the chain) and an unencrypted key file;
// none on failure (logged).
ssl_srv_conf* sd_srv_ssl_conf_new(const char* cert_file, const char* key_file);
void sd_srv_ssl_conf_free(ssl_srv_conf* conf);
// Accepts the handshake of a client on the connected channel; as
// ssl_cli_connect otherwise.
ssl_cli_session* ssl_srv_new(ssl_srv_conf* conf, net_chan* chan);
int ssl_srv_free(ssl_cli_session* session);

// A debug callback of the library's shape: "%s:%04d: %s" at dbg. Nothing
// installs it; pass it to mbedtls_ssl_conf_dbg when tracing a handshake.
void my_debug(void* ctx, int level, const char* file, int line, const char* text);
// Logs "[name]" for every suite the library offers, at dbg with tag "tag".
void mbedtls_ssl_ciphersuite_dump();
