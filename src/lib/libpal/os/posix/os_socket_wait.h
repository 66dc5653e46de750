// Waiting for a socket to become readable or writable, and the whole-buffer
// send and receive loops built on it.
#pragma once

#include <cstddef>
#include <cstdint>

// Events of os_socket_wait.
enum : uint32_t {
    OS_SOCKET_WAIT_READ = 1,
    OS_SOCKET_WAIT_WRITE = 2,
};

// Waits up to ms milliseconds (negative: without limit, 0: just looks) for
// the events asked. Returns the events that are ready (1 readable, 2
// writable, only those asked), 0 when none is ready within ms or a signal
// interrupted the wait, or -1 when the socket has a pending error (errno
// then holds it, and the error is consumed) or the wait fails.
int os_socket_wait_impl(uint64_t sock, uint32_t events, int64_t ms);
int os_socket_wait(uint64_t sock, uint32_t events, int64_t ms);

// Receives exactly length bytes, waiting as long as it takes. 1 when all
// arrived, 0 when the peer closed first or the socket failed.
int os_socket_recv_all(uint64_t sock, void* buffer, size_t length);
// Sends exactly length bytes, waiting as long as it takes. 1 / 0.
int os_socket_send_all(uint64_t sock, const void* data, size_t length);
