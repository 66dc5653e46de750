#include "libpal/os/posix/os_socket_wait.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

#include "libpal/basic/pl_assert.h"
#include "libpal/os/posix/os_socket.h"

namespace {

// What a receive or send of a non-empty request reported when it moved
// nothing: the peer closed (receives only), the call was interrupted, or
// nothing could move yet.
enum class idle { closed, interrupted, would_block };

idle idle_reason(int err) {
    if (err == EINTR) return idle::interrupted;
    if (err == EAGAIN || err == EWOULDBLOCK) return idle::would_block;
    return idle::closed;
}

// Waits without limit for the events; a wait that a signal cut short is
// taken up again. The readiness (> 0) or -1.
int wait_ready(uint64_t sock, uint32_t events) {
    for (;;) {
        int r = os_socket_wait_impl(sock, events, -1);
        if (r != 0) return r;
    }
}

}  // namespace

int os_socket_wait_impl(uint64_t sock, uint32_t events, int64_t ms) {
    if (!PL_CHECK("pal", sock)) return -1;
    // Handles hold the descriptor plus one.
    int64_t fd64 = sock - 1 > static_cast<uint64_t>(INT_MAX) ? -1 : static_cast<int64_t>(sock - 1);
    if (!PL_CHECK_TEXT("pal", fd64 >= 0, "fd >= 0")) return -1;
    int fd = static_cast<int>(fd64);
    pollfd p{};
    p.fd = fd;
    if (events & OS_SOCKET_WAIT_READ) p.events |= POLLIN;
    if (events & OS_SOCKET_WAIT_WRITE) p.events |= POLLOUT;
    int timeout = ms < 0 ? -1 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    int r = poll(&p, 1, timeout);
    if (r == 0) return 0;
    if (r < 0) {
        if (errno == EINTR) return 0;
        PL_CHECK("pal", r >= 0);
        return -1;
    }
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
        errno = err;
        return -1;
    }
    // As with select, a hung-up or failed socket counts as ready: the next
    // transfer reports what happened.
    int ready = 0;
    if ((events & OS_SOCKET_WAIT_READ) && (p.revents & (POLLIN | POLLHUP | POLLERR))) ready |= OS_SOCKET_WAIT_READ;
    if ((events & OS_SOCKET_WAIT_WRITE) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) ready |= OS_SOCKET_WAIT_WRITE;
    return ready;
}

int os_socket_wait(uint64_t sock, uint32_t events, int64_t ms) { return os_socket_wait_impl(sock, events, ms); }

int os_socket_recv_all(uint64_t sock, void* buffer, size_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        errno = 0;
        int64_t n = os_socket_recv(sock, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0) return 0;
        switch (idle_reason(errno)) {
        case idle::closed: return 0;
        case idle::interrupted: continue;
        case idle::would_block:
            if (wait_ready(sock, OS_SOCKET_WAIT_READ) < 1) return 0;
            break;
        }
    }
    return 1;
}

int os_socket_send_all(uint64_t sock, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        errno = 0;
        int64_t n = os_socket_send(sock, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0) return 0;
        switch (idle_reason(errno)) {
        case idle::interrupted: continue;
        case idle::would_block:
            if (wait_ready(sock, OS_SOCKET_WAIT_WRITE) < 1) return 0;
            break;
        case idle::closed: return 0;  // a send of a non-empty buffer that moved nothing and said nothing
        }
    }
    return 1;
}
