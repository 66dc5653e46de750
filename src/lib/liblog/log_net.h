// The logger's syslog output: BSD-style messages
// "<%d>%.15s %.32s %.64s%s: %.800s" (priority, time stamp, host, tag,
// "[pid]", line), each sent with its terminating zero byte over a
// connected UDP socket, or over TCP for a URL with the scheme "tcp".
//
// log_net_open and log_net_close take the owner's lock themselves; the other
// calls run with it held (from the logger's write stage). Diagnostics go to
// standard error, never through the logger.
#pragma once

#include <cstddef>
#include <cstdint>

struct log2_ctx;

enum : uint32_t {
    LOG_NET_DGRAM = 2,
    LOG_NET_STREAM = 4,
};

enum : uint32_t {
    LOG_NET_UNSET = 0,
    LOG_NET_CONFIGURED = 1,
    LOG_NET_TRIED = 2,
};

// How long one connect may take, and how long sending stays off after a
// connect that ran into that limit (a host that drops packets).
inline constexpr uint32_t LOG_NET_CONNECT_MS = 2000;
inline constexpr uint32_t LOG_NET_SEND_MS = 1000;
inline constexpr uint32_t LOG_NET_BACKOFF_MS = 30000;

struct log_net_state {
    char url[8192];
    char host[8192];
    uint32_t port;       // 0: the service's default
    uint32_t transport;  // LOG_NET_DGRAM or LOG_NET_STREAM
    int32_t sock;        // -1 when none
    uint32_t state;      // LOG_NET_*
    log2_ctx* owner;     // its prefix flags say how much time prefix a line has
    uint64_t quiet_until_ms;  // no connect before this monotonic time
};

void log_net_init(log_net_state* s, log2_ctx* owner);
// Configures the output: the URL parser's result (0), or -1 when the URL
// does not parse.
int log_net_open(log_net_state* s, const char* url);
// Sends one line: the bytes sent, 0 when unset, negative on failure.
int64_t log_net_write(log_net_state* s, uint32_t level, const char* tag, const char* line, size_t len);
// The socket, or -1.
int log_net_connect(log_net_state* s);
int log_net_close(log_net_state* s);
const char* log_net_get_url(const log_net_state* s);

// A socket connected to host and port (none: the service "syslog" for
// datagrams, "syslog-conn" for streams) by the transport bits, or -1. A
// stream connect gives up after LOG_NET_CONNECT_MS.
int syslog_open(const char* host, const char* port, uint32_t transport);
// Sends one message; the bytes sent or -1. The priority text is
// "facility.severity" or "severity".
int syslog_send(const log2_ctx* ctx, int sock, const char* priority, const char* tag, const char* line);
void syslog_close(int sock);

struct syslog_code {
    const char* name;
    int code;
};
extern const syslog_code k_syslog_facilities[];  // ends with a row without name
extern const syslog_code k_syslog_priorities[];
// The code of a name (any letter case) or of a decimal number that the
// table holds; -1 when nothing matches.
int syslog_decode(const char* text, const syslog_code* table);
// "panic", "alert", "crit", "error", "warn", "notice", "info", "debug" for 0
// to 7, "debug" for 8; none above.
const char* syslog_level_name(uint32_t level);
