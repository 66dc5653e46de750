// The named-pipe server: not available on this platform. The handle holds
// no descriptor and every transfer fails.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_name_pipe_srv {
    uint32_t state;  // 0
    uint32_t err;    // 0
};

// A new handle when path can be opened for reading (checked and closed
// again); nothing otherwise (logged at err).
os_name_pipe_srv* os_name_pipe_srv_open(const char* path, uint32_t flags, uint32_t mode);
// -1; nothing is transferred.
int os_name_pipe_srv_read(os_name_pipe_srv* h, void* buf, size_t length, uint32_t ms);
int os_name_pipe_srv_write(os_name_pipe_srv* h, const void* data, size_t length);
uint32_t os_name_pipe_srv_get_err(const os_name_pipe_srv* h);
int os_name_pipe_srv_disconnect(os_name_pipe_srv* h);
int os_name_pipe_srv_cancel(os_name_pipe_srv* h);
int os_name_pipe_srv_flush(os_name_pipe_srv* h);
// Frees the handle. 0.
int os_name_pipe_srv_close(os_name_pipe_srv* h);
