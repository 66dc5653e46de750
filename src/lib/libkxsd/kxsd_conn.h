// Connections to a kxsd server: the options of a "kxp://" or "kxps://" URL,
// connect (TCP, optionally through a proxy and under TLS), login, the pack
// method agreed with the server, what the server tells about itself, and
// reconnect, end and the process-wide start and end of the client.
//
// A connection is used by one thread at a time. Every failure leaves its
// explanation in the caller's error record given at connect (code and
// message, verr_info); the record always describes the last request.
// Passwords never appear in logs or error messages.
//
// Log tag "sdcli".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libkxsd/kxsd_cli_ctx.h"
#include "libkxsd/kxsd_cmd.h"

struct stop_flag;
struct url_ctx;
struct verr_info;

// Default ports.
inline constexpr uint16_t KXSD_PORT = 6688;      // "kxp"
inline constexpr uint16_t KXSD_PORT_SSL = 6686;  // "kxps"

// Defaults and limits of the URL options.
inline constexpr int32_t KXSD_CONNECT_TIMEOUT_DEF = 4000;  // ms
inline constexpr int32_t KXSD_READ_TIMEOUT_DEF = 10000;
inline constexpr int32_t KXSD_WRITE_TIMEOUT_DEF = 8000;
inline constexpr int32_t KXSD_BLOCK_SIZE_DEF = 0xA00000;
// The largest block size: a request or reply of one block, packed in the
// worst case, must fit the 24-bit length of a message body.
inline constexpr int32_t KXSD_BLOCK_SIZE_MAX = 0xF00000;
inline constexpr uint32_t KXSD_RDIR_SIZE_DEF = 0x100000;
inline constexpr uint32_t KXSD_RDIR_SIZE_MAX = 0xF00000;
inline constexpr uint32_t KXSD_SOCK_BUFSIZE_DEF = 0x40000;
inline constexpr uint32_t KXSD_SOCK_BUFSIZE_MAX = 0x4000000;
inline constexpr char KXSD_PACK_DEF[] = "lz4";

// Error of a call a server's version predates (code VERR_NOT_IMPLEMENTED, -12).
inline constexpr char KXSD_UPGRADE_TEXT[] = "not supported, please upgrade kxsd to the latest version";

// The options of a connection as the URL gives them, with the defaults
// applied (kxsd_cli_url_opts).
struct kxsd_conn_opts {
    uint32_t bssl;              // 1 for "kxps" (any case)
    uint16_t port;              // the URL's, else 6686 (TLS) or 6688
    int32_t connect_timeout;    // ms
    int32_t read_timeout;       // ms
    int32_t write_timeout;      // ms: below the read timeout by 1000 ms where it can be
    int32_t block_size;         // "mblock-size", at most KXSD_BLOCK_SIZE_MAX
    uint32_t rdir_size;         // "rdir-size", at most KXSD_RDIR_SIZE_MAX
    uint32_t sock_bufsize;      // "sock-bufsize", at most KXSD_SOCK_BUFSIZE_MAX
    char pack[16];              // "pack", "lz4" when empty
    char proxy_url[8192];       // "proxy_url", base64-decoded
    char proxy[256];            // "proxy": a name in the proxy file
    char cipher[48];            // "ssl-cipher" as given
};

// Reads the options of a parsed URL. 0, or -1 with the error record (when
// given) filled: code -2 "proxy_url is not base64" when "proxy_url" cannot
// be decoded (a proxy that cannot be read is never silently bypassed).
int kxsd_cli_url_opts(const url_ctx* url, kxsd_conn_opts* opts, verr_info* err);

// ---- process-wide start and end (the remote storage driver's registration and exit)
// Once per process: network layer, pack layer, TLS layer and its client
// configuration (a failure of that only logs "ssl_cli_conf_new failed" and
// leaves TLS connects to fail). 0.
int kxsd_cli_init();
void kxsd_cli_uninit();

// ---- connect
// Connects, logs in, switches the pack method and reads the server's
// information. The connection, or none with err filled. stop (may be none)
// is the caller's stop request, consulted by the connect and every later
// channel wait; err (may be none) is kept by the connection and receives
// every later failure.
kxsd_cli_ctx* kxsd_cli_connect(const char* url, stop_flag* stop, verr_info* err);
// The work of every connect; login 0 skips the login.
kxsd_cli_ctx* kxsd_cli_connect3_imp(const char* url, stop_flag* stop, int login, verr_info* err);
kxsd_cli_ctx* kxsd_cli_connect_nostop(const char* url, verr_info* err);
kxsd_cli_ctx* kxsd_cli_connect_nologin(const char* url, verr_info* err);

// The login of a connection: the probe (user ":", empty password) first;
// when the server refuses it (errno 1), the "{SHA}" form for a server of
// protocol byte 1, else the challenge login (commands 90 and 91, which
// keeps the login key in the connection). A client status.
int32_t cli_login(kxsd_cli_ctx* conn, const char* user, const char* passwd);

// Asks the server to pack this connection's data with the connection's
// pack method and opens the same method in the client's pack context
// (command 20, code 10001, fd 0). 0, or -1 with the error record filled.
// A connect does it; a caller that reconnects sends it itself.
int kxsd_cli_pack_switch(kxsd_cli_ctx* conn);

// New channel, TLS session and login for an existing connection, through
// the proxy of the connect. Keeps everything else (pack context, feature
// flags, open handles: their server fds are stale). 0, or -1 with the error
// record filled (-40 "connect timeout error" or "ssl connect timeout
// error", or the login's failure). The pack switch is not repeated.
int kxsd_cli_reconnect(kxsd_cli_ctx* conn);

// Ends TLS and closes the channel after a reply that did not arrive whole:
// a late or partial reply would otherwise be taken as the answer of the
// next request. Later requests fail at once (ENOTCONN) until a reconnect.
void kxsd_cli_drop_link(kxsd_cli_ctx* conn);

// Closes every file and directory still open on the connection, logs out
// (when the channel still has a socket) and frees the connection. The
// logout's send status (0 without a socket).
int32_t kxsd_cli_exit(kxsd_cli_ctx* conn);
// Ends TLS, closes the channel and frees the connection and what it owns
// (not the handles of its arrays). None is accepted.
void kxsd_cli_free(kxsd_cli_ctx* conn);

// ---- handles
// Any handle (connection, file, directory) to its connection: none for no
// handle or an unknown kind ("invalid handle" logged). For a file or
// directory the remote fd is written to *fd when fd is given; a connection
// leaves *fd untouched (callers preset 0).
kxsd_cli_ctx* cli_get_ctx(void* handle, int64_t* fd = nullptr);
// A refused call on any handle: -2 in its connection's error record. -1.
int cli_refuse(void* handle);
// The message of the connection's error record (its code's text when the
// message is empty), "invalid handle" for a bad handle, "" without a record.
const char* kxsd_cli_get_last_error(void* handle);
// The error record's code; -1 for a bad handle (0 without a record).
int32_t kxsd_cli_get_last_errno(void* handle);
// Sets the record to code with an empty message. 0 or -1 (bad handle).
int kxsd_cli_set_last_errno(void* handle, int32_t code);
// Copies the error record. 0 or -1 (bad handle or no record).
int kxsd_cli_copy_last_error(void* handle, verr_info* out);
// Sets the record to -12 with KXSD_UPGRADE_TEXT. -1.
int kxsd_cli_not_supported(kxsd_cli_ctx* conn);
// 1 when the server's version is at least ver ("1.6.4"), else 0.
int kxsd_cli_ver_at_least(const kxsd_cli_ctx* conn, const char* ver);

// ---- connection services (each runs kxsd_cli_set_last_error)
// "os_type" of the login reply (1: a Windows server). 0.
int kxsd_cli_get_os_type(kxsd_cli_ctx* conn, int32_t* os_type);
// The server information text (command 4), cut to size. 0 or -1.
int kxsd_cli_info(kxsd_cli_ctx* conn, char* buf, size_t size);
// The server's disk list text (command 3), cut to size. 0 or -1.
int kxsd_cli_lsblk(kxsd_cli_ctx* conn, char* buf, size_t size);
// Volume information of a path (command 5). 0 or -1.
int kxsd_cli_volume_info(kxsd_cli_ctx* conn, const char* path, kxsd_volume_info* info);
// Switches on the resume of a request whose reply read fails: opens a
// server context for the connection (ioctl2 101 with "0") and keeps its id
// (ioctl2 102). 0, or -1 with the error record filled.
int kxsd_cli_enable_resume(kxsd_cli_ctx* conn);
// Sets the send mode (KXSD_SEND_*). 0, or -1 for an unknown mode.
int kxsd_cli_set_send_mode(kxsd_cli_ctx* conn, uint32_t mode);
// Detaches the stop request: later channel waits no longer consult it.
void kxsd_cli_clear_stop(kxsd_cli_ctx* conn);
