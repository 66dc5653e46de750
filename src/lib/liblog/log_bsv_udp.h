// The logger's binary-record output over UDP ("bsvlog"): the packets of
// messages whose level word has 0x400 or 0x800, sent to a "udp" or "udps"
// URL ("udps" scrambles them). The socket is opened on a short-lived thread
// "bsvnet", so logging never waits for name resolution; until it is open
// the first packet is held and sent once it is, later ones are dropped.
//
// The socket and the held packet live in a link record shared by the state
// and the thread, each holding a reference, so a thread that finishes after
// the output was closed (or its logger freed) only drops its socket.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_thread_ctx;
struct log_bsv_udp_link;

inline constexpr uint32_t LOG_BSV_UDP_PORT = 514;
inline constexpr size_t LOG_BSV_UDP_HOLD_SIZE = 8192;
// How long closing waits for a "bsvnet" thread still resolving the name.
inline constexpr uint32_t LOG_BSV_UDP_JOIN_MS = 1000;

// Opens the connected UDP socket (the handle, descriptor plus one, or 0).
using log_bsv_udp_opener = uint64_t (*)(const char* host, int port);

struct log_bsv_udp_state {
    char url[8192];
    char host[8192];
    uint32_t port;
    log_bsv_udp_link* link;      // none when closed
    os_thread_ctx* thread;       // the "bsvnet" thread
    log_bsv_udp_opener opener;   // os_udp_open
};

// Port 514, no URL, the opener os_udp_open.
void log_bsv_udp_init(log_bsv_udp_state* s);
// Closes the current output, parses the URL, sets the UDP sink and starts
// "bsvnet". 0, or -1 when the URL does not parse or no thread starts.
int log_bsv_udp_open(log_bsv_udp_state* s, const char* url);
// The UDP sink (context: the state).
void log_bsv_udp_sink(uint32_t level, const uint8_t* packet, uint32_t len, void* state);
// Body of "bsvnet" (argument: the link).
int32_t net_open_thread(void* link);
// Sends a packet now: the bytes sent, or the length when there is no socket
// to send it on.
int64_t log_bsv_udp_send(const uint8_t* packet, uint32_t len, log_bsv_udp_state* s);
// Clears the sink, closes the socket, forgets the URL. 0.
int log_bsv_udp_close(log_bsv_udp_state* s);
const char* log_bsv_udp_get_url(const log_bsv_udp_state* s);
