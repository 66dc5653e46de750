#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "libnet/net_chan.h"
#include "libnet/net_priv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/stop_flag.h"
#include "libpal/basic/verr.h"
#include "libpal/os/posix/os_socket.h"
#include "libpal/os/posix/os_socket_wait.h"
#include "liblog/log2.h"

uint64_t net_now_us() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

int64_t net_elapsed_ms(uint64_t start_us) { return static_cast<int64_t>((net_now_us() - start_us) / 1000); }

namespace {

// One slice of a wait: at most cap, never negative (a negative wait would
// have no end and would not notice the stop request).
int32_t slice_ms(int32_t timeout, int32_t cap) { return std::clamp(timeout, 0, cap); }

// The end of a call that saw the stop request.
int32_t stopped() {
    errno = ECANCELED;
    return -1;
}

}  // namespace

int32_t net_sock_read(net_chan* chan, void* buf, uint32_t len) {
    if (!PL_CHECK("net", chan && (buf || len == 0))) return -1;
    if (len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (chan->kind == NET_CHAN_STDIO) return static_cast<int32_t>(read(STDIN_FILENO, buf, len));
    if (chan->disconnected) {
        LOG2(LOG2_VERB, "net", "_disconnect!!\n");
        return -1;
    }
    auto* p = static_cast<uint8_t*>(buf);
    const uint64_t start = net_now_us();
    uint32_t got = 0;
    while (got < len) {
        errno = 0;
        int64_t r = os_socket_recv(chan->handle, p + got, len - got);
        if (r > 0) {
            got += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0) {
            int e = errno;
            LOG2(LOG2_DBG, "net", "socket_recv error [%d] [%s]\n", e, os_errno_str(e));
            return -1;
        }
        // Nothing moved. A receive that reports neither "would block" nor an
        // interruption met the end of the stream: the peer has closed.
        if (errno == 0) {
            chan->disconnected = 1;
            return static_cast<int32_t>(got);
        }
        for (;;) {
            if (chan->stop) return -1;
            if (pl_stop_requested(chan->stop_req, chan->timeout)) return stopped();
            int w = os_socket_wait(chan->handle, OS_SOCKET_WAIT_READ, slice_ms(chan->timeout, NET_READ_SLICE_MS));
            if (w < 0) {
                int e = errno;
                LOG2(LOG2_DBG, "net", "socket_wait error [%d] [%s]\n", e, os_errno_str(e));
                return static_cast<int32_t>(got);
            }
            if (net_elapsed_ms(start) >= chan->timeout) return static_cast<int32_t>(got);
            if (w & OS_SOCKET_WAIT_READ) break;
        }
    }
    return static_cast<int32_t>(len);
}

int32_t net_sock_write(net_chan* chan, const void* buf, uint32_t len) {
    if (!PL_CHECK("net", chan && (buf || len == 0))) return -1;
    if (len > static_cast<uint32_t>(INT32_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (chan->kind == NET_CHAN_STDIO) {
        size_t n = fwrite(buf, 1, len, stdout);
        fflush(stdout);
        return n == len ? static_cast<int32_t>(len) : -1;
    }
    if (chan->disconnected) {
        LOG2(LOG2_DBG, "net", "_disconnect!!\n");
        return -1;
    }
    const int32_t timeout = chan->timeout;
    const auto* p = static_cast<const uint8_t*>(buf);
    const uint64_t start = net_now_us();
    uint32_t done = 0;
    int last_wait = 0;
    while (done < len) {
        errno = 0;
        int64_t r = os_socket_send(chan->handle, p + done, len - done);
        if (r > 0) {
            done += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0) {
            int e = errno;
            LOG2(LOG2_DBG, "net", "socket_send error [%d] [%s]\n", e, os_errno_str(e));
            return -1;
        }
        if ((last_wait & OS_SOCKET_WAIT_WRITE) && errno == 0) {
            chan->disconnected = 1;
            return static_cast<int32_t>(done);
        }
        for (;;) {
            if (chan->stop) return -1;
            // Writes give way to the stop request too: a peer that reads
            // nothing would otherwise hold a stop for the whole deadline.
            if (pl_stop_requested(chan->stop_req, timeout)) return stopped();
            last_wait = os_socket_wait(chan->handle, OS_SOCKET_WAIT_WRITE, slice_ms(timeout, NET_WRITE_SLICE_MS));
            if (last_wait < 0) {
                int e = errno;
                LOG2(LOG2_DBG, "net", "socket_wait error [%d] [%s]\n", e, os_errno_str(e));
                return -1;
            }
            if (net_elapsed_ms(start) >= timeout) return static_cast<int32_t>(done);
            if (last_wait & OS_SOCKET_WAIT_WRITE) break;
        }
    }
    return static_cast<int32_t>(len);
}
