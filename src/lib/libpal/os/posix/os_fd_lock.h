// Record locks on open descriptors.
#pragma once

#include <cstdint>

// op: low four bits 1 for a read (shared) lock, anything else a write lock;
// bit 0x10 fails at once when the range is taken instead of waiting.
inline constexpr uint32_t OS_FD_LOCK_READ = 1;
inline constexpr uint32_t OS_FD_LOCK_NOWAIT = 0x10;

// Locks length bytes from start (from the beginning of the file; length 0 up
// to any end). 0, or -1 with errno.
int os_fd_lock(int fd, uint32_t op, uint64_t start, uint64_t length);
// Releases the range. 0, or -1 with errno.
int os_fd_unlock(int fd, uint32_t op, uint64_t start, uint64_t length);
