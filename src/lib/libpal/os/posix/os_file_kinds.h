// The built-in kinds of the file layer and the descriptor helpers they share.
#pragma once

#include <atomic>

#include <cstddef>
#include <cstdint>

#include "libpal/os/os_file.h"

extern const os_file_ops os_local_file_ops;   // "file"
extern const os_file_ops os_stdout_file_ops;  // "stdout"
extern const os_file_ops os_stdin_file_ops;   // "stdin"
extern const os_file_ops os_null_file_ops;    // "null"
extern const os_file_ops os_zero_file_ops;    // "zero"
extern const os_file_ops os_random_file_ops;  // "random"

// Whole-length transfers on a descriptor: EINTR and partial transfers are
// repeated, EAGAIN waits for the descriptor. A read stops early only at the
// end of the data. Any failure gives -1 with errno set. A negative offset
// means the current position.
// The stop request of the handle whose transfer runs on this thread, or none.
extern thread_local const std::atomic<uint32_t>* os_io_stop;
// That handle's record of whether its descriptor is a stream, or none.
extern thread_local std::atomic<uint8_t>* os_io_kind;

int64_t os_fd_read_full(int fd, void* data, size_t len, int64_t off);
int64_t os_fd_write_full(int fd, const void* data, size_t len, int64_t off);

// fsync that accepts descriptors which cannot be synchronised (pipes,
// terminals, character devices): 1 / 0.
int os_fd_sync(int fd);

// Error class of the current errno for a descriptor.
int os_fd_err_class(int fd, int err);
