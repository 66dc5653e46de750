// Network channels: the record through which the remote storage client
// sends requests and receives replies.
//
// Reads and writes on a channel have a deadline per call (covering the whole
// length, not each chunk), notice when the peer has closed the connection,
// give way to a stop request, and pass through the channel's TLS hooks when
// it carries a TLS session. A read waits in slices of at most 300 ms, a
// write in slices of at most 500 ms. A short count is not an error in
// itself: the caller compares it with what it asked for.
//
// A channel belongs to one thread at a time; nothing here locks. Log tag "net".
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/memory/mem_buf.h"

struct stop_flag;

// Channel kinds. Only NET_CHAN_TCP and NET_CHAN_MEM are ever created; the
// others exist in the dispatch only.
enum : uint32_t {
    NET_CHAN_TCP = 0,
    NET_CHAN_TCP1 = 1,
    NET_CHAN_STDIO = 2,   // standard input and output
    NET_CHAN_NPIPE = 3,   // named pipe (the handle is an os_name_pipe_srv)
    NET_CHAN_SERIAL = 4,  // serial port (the handle is the descriptor)
    NET_CHAN_MEM = 5,     // memory loopback (the handle is a net_mem_chan)
};

// Longest wait of a read, and of a write, between two looks at the stop
// request and the deadline.
inline constexpr int32_t NET_READ_SLICE_MS = 300;
inline constexpr int32_t NET_WRITE_SLICE_MS = 500;

struct net_chan;
// TLS hooks: (channel, buffer, length) -> bytes moved, or negative.
using net_read_proc = int32_t (*)(net_chan* chan, void* buf, uint32_t len);
using net_write_proc = int32_t (*)(net_chan* chan, const void* buf, uint32_t len);

struct net_chan {
    uint32_t kind;      // NET_CHAN_*
    uint64_t handle;    // socket handle (0: none), memory channel, or descriptor
    void* ssl;          // TLS session, or none for a plain channel
    int32_t timeout;    // ms: the deadline of one read or of one write
    uint32_t stop;      // non-zero: socket reads and writes give up at their next slice
    stop_flag* stop_req;  // stop request consulted at every slice, or none
    net_read_proc read_proc;    // set by the TLS client
    net_write_proc write_proc;  // set by the TLS client
    uint8_t disconnected;       // the peer closed; every later read or write fails at once
};

// Memory loopback: one write followed by reads gives back what was written.
struct net_mem_chan {
    mem_buf buf;      // first reservation 4096 bytes
    uint64_t rpos;    // read position
    uint64_t wcount;  // bytes written since the last read
};

// Process start-up and end of the network layer: nothing to do. 0.
int net_init();
int net_exit();

// Dispatch by kind: bytes read (0 up to length) or -1; bytes written or -1
// (a length of 0 returns 0 at once). Lengths above INT32_MAX fail (EINVAL).
int32_t net_read(net_chan* chan, void* buf, uint32_t len);
int32_t net_write(net_chan* chan, const void* buf, uint32_t len);
// Clears stop and disconnected, closes the socket (handle 0) or frees the
// memory channel. 0, or -1 for a serial port and unknown kinds. The TLS
// session is not touched: its owner ends it first.
int net_close(net_chan* chan);
// Clears stop and disconnected before a reconnect reuses the channel.
void net_chan_reset(net_chan* chan);
void net_chan_set_ssl_proc(net_chan* chan, net_read_proc read_proc, net_write_proc write_proc);

// The socket read and write with deadline and stop, called directly by the
// TLS client's transport. A read that sees the stop request sets errno to
// ECANCELED (status code -70: cancelled) and returns -1; so does a write.
int32_t net_sock_read(net_chan* chan, void* buf, uint32_t len);
int32_t net_sock_write(net_chan* chan, const void* buf, uint32_t len);

// Through the channel's TLS hook, else the process-wide one (-1 when neither
// is set).
int32_t net_ssl_read_proc(net_chan* chan, void* buf, uint32_t len);
int32_t net_ssl_write_proc(net_chan* chan, const void* buf, uint32_t len);
void net_ssl_set_global_proc(net_read_proc read_proc, net_write_proc write_proc);

// "net://mem": a memory channel; "tcp://host:port[?proxy=name]": a TCP
// connect with the timeout (ms) as connect and channel timeout. 0, or
// negative (-1, or the proxy lookup's failure).
int net_open(net_chan* chan, const char* url, int32_t timeout);

// The memory channel.
net_mem_chan* net_mem_new();
void net_mem_free(net_mem_chan* mem);
int32_t net_mem_read(net_mem_chan* mem, void* buf, uint32_t len);
int32_t net_mem_write(net_mem_chan* mem, const void* buf, uint32_t len);
