// The file layer: one handle type for everything that reads and writes like
// a file (local files, disk devices, and the pseudo-files "stdin", "stdout",
// "null", "zero" and "random").
//
// A handle is opened by path; the path decides which kind serves it, and
// every call goes through that kind's operation table. Failures follow the
// POSIX way: -1 (byte counts, offsets) or 0 (predicates) with errno set;
// os_verr_get turns errno into a status code.
//
// Transfers of the "file", "stdin" and "stdout" kinds are complete: a read
// returns the whole length, or less only at the end of the data; a write
// returns the whole length. Interrupted and partial system calls are
// repeated. When a system call of a read fails, the read returns -1 with
// errno set, even if part of the length had already been read, so a failure
// is never mistaken for a short (end-of-data) transfer. A write that fails
// part-way returns the bytes it wrote (less than the length) with errno
// telling why it stopped, so the caller can count what reached the output;
// a write that wrote nothing returns -1.
#pragma once

#include <atomic>

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "libpal/os/os_file_types.h"

// Operation table of a kind. Every operation receives the kind's token
// (what its open returned), never the handle. A slot may be empty.
struct os_file_ops {
    const char* name;
    // (prepared path, os_pf_flags) -> token, 0 on failure.
    uint64_t (*init)(const char* path, uint32_t flags);
    // Open by access rights and disposition.
    uint64_t (*init2)(const char* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t attributes);
    // Open by the system's open flags and creation mode.
    uint64_t (*init3)(const char* path, int sysflags, uint32_t mode);
    int (*exit)(uint64_t file);
    int64_t (*read)(uint64_t file, void* data, size_t len);
    int64_t (*writ)(uint64_t file, const void* data, size_t len);
    int64_t (*pread)(uint64_t file, void* data, size_t len, int64_t off);
    int64_t (*pwrit)(uint64_t file, const void* data, size_t len, int64_t off);
    int64_t (*readv)(uint64_t file, const struct iovec* list, int count);
    int64_t (*writv)(uint64_t file, const struct iovec* list, int count);
    int64_t (*preadv)(uint64_t file, const struct iovec* list, int count, int64_t off);
    int64_t (*pwritv)(uint64_t file, const struct iovec* list, int count, int64_t off);
    int (*sync)(uint64_t file);
    int (*truncate)(uint64_t file, int64_t len);
    int64_t (*seek)(uint64_t file, int64_t off, int whence);
    int64_t (*offset)(uint64_t file);
    int64_t (*size)(uint64_t file);
    int (*ioctl)(uint64_t file, uint32_t code, void* arg, size_t len);
};

// The handle. Owned by the caller of os_file_open until os_file_close.
struct os_file_ctx {
    uint64_t handle;           // the kind's token; 0 means none
    const os_file_ops* ops;    // the kind
    char* path;                // the path exactly as the caller gave it
    int32_t delete_on_close;   // non-zero: closing removes path
    // A stop request that ends a wait for a stream (pipe, terminal, socket):
    // a transfer then fails with EINTR, as does a read that came back short
    // (it is not repeated). None: waits are not cut short.
    const std::atomic<uint32_t>* stop;
    // What the descriptor is, learnt at the first transfer that may wait:
    // 0 not yet known, 1 a stream, 2 a file, device or directory (its kind
    // does not change while it is open).
    std::atomic<uint8_t> stream_kind;
};

// Lets the handle's transfers give up their waits once *stop is non-zero.
void os_file_set_stop(os_file_ctx* ctx, const std::atomic<uint32_t>* stop);

// Control codes of os_file_ioctl.
enum : uint32_t {
    OS_FILE_GET_INFO = 0,           // os_file_info
    OS_FILE_GET_ERROR = 1,          // u64 out: error class of errno
    OS_FILE_GET_STAT = 2,           // os_file_attr
    OS_FILE_SET_TIMES = 3,          // os_file_times
    OS_FILE_LOCK = 4,               // os_file_lock_req
    OS_FILE_SET_READ_TIMEOUT = 5,   // u32 milliseconds
    OS_FILE_SET_WRITE_TIMEOUT = 6,  // u32 milliseconds
    OS_FILE_CHMOD = 9,              // u32 mode
    OS_FILE_CHOWN = 10,             // os_file_owner
};

// Error classes (OS_FILE_GET_ERROR, os_file_err_class).
enum : int {
    OS_FILE_ERR_NONE = 0,
    OS_FILE_ERR_MEDIA = 1,  // EIO: unreadable or unwritable sectors
    OS_FILE_ERR_GONE = 2,   // ENXIO: the device is no longer there
    OS_FILE_ERR_OTHER = 3,
};

// Lock operations of os_file_lock_req.op.
enum : uint32_t {
    OS_FILE_LOCK_READ = 1,
    OS_FILE_LOCK_WRITE = 2,
    OS_FILE_UNLOCK = 3,
    OS_FILE_LOCK_NOWAIT = 0x10,
};

struct os_file_owner {
    uint32_t uid;
    uint32_t gid;
};

// A kind provider: asked first, in registration order, when a path is
// opened; its probe returns a kind's table for paths it serves.
struct os_file_kind_provider {
    const char* name;
    const os_file_ops* (*probe)(const char* path);
};
// Registers a provider (kept, not copied); 0, or -1 when all 4 places are
// taken.
int os_file_kind_register(const os_file_kind_provider* provider);

// Opens a path with an os_pf_flags word; nothing on failure (errno set).
os_file_ctx* os_file_open(const char* path, uint32_t flags);
// Opens by access rights (GENERIC_READ/WRITE) and disposition; security is
// not read.
os_file_ctx* os_file_open2(const char* path, uint32_t access, uint32_t share, const void* security,
                           uint32_t disposition, uint32_t attributes);
// Opens by portable open flags (OS_OF_*) and a creation mode.
os_file_ctx* os_file_open3(const char* path, uint32_t oflag, uint32_t mode);
// Closes the handle (removing the file when asked) and frees it; the kind's
// close result, 1 or 0.
int os_file_close(os_file_ctx* ctx);

int64_t os_file_read(os_file_ctx* ctx, void* data, size_t len);
int64_t os_file_write(os_file_ctx* ctx, const void* data, size_t len);
int64_t os_file_pread(os_file_ctx* ctx, void* data, size_t len, int64_t off);
int64_t os_file_pwrit(os_file_ctx* ctx, const void* data, size_t len, int64_t off);
int64_t os_file_readv(os_file_ctx* ctx, const struct iovec* list, int count);
int64_t os_file_writv(os_file_ctx* ctx, const struct iovec* list, int count);
int64_t os_file_preadv(os_file_ctx* ctx, const struct iovec* list, int count, int64_t off);
int64_t os_file_pwritv(os_file_ctx* ctx, const struct iovec* list, int count, int64_t off);
int os_file_fsync(os_file_ctx* ctx);
int os_file_ftruncate(os_file_ctx* ctx, int64_t len);
int64_t os_file_seek(os_file_ctx* ctx, int64_t off, int whence);
int64_t os_file_offset(os_file_ctx* ctx);
int64_t os_file_size(os_file_ctx* ctx);
// 1 / 0. With OS_FILE_GET_INFO the description is filled after the kind's
// answer.
int os_file_ioctl(os_file_ctx* ctx, uint32_t code, void* arg, size_t len);

// Wrappers over os_file_ioctl.
int os_file_stat(os_file_ctx* ctx, os_file_attr* attr);
int os_file_set_times(os_file_ctx* ctx, const os_file_times* times);
int os_file_lock(os_file_ctx* ctx, const os_file_lock_req* req);
int os_file_chmod(os_file_ctx* ctx, uint32_t mode);
int os_file_chown(os_file_ctx* ctx, uint32_t uid, uint32_t gid);
// Timeouts in milliseconds, clamped to 1000..600000 (with a warning).
int os_file_read_write_timeout(os_file_ctx* ctx, int write, int32_t ms);
int os_file_set_read_timeout(os_file_ctx* ctx, int32_t ms);
int os_file_set_write_timeout(os_file_ctx* ctx, int32_t ms);

// Opens the path read-only and answers OS_FILE_GET_INFO; 1 / 0.
int os_file_get_info(const char* path, os_file_info* info);

// The descriptor (token - 1; -1 without a token).
int32_t os_file_fd(const os_file_ctx* ctx);
const char* os_file_path(const os_file_ctx* ctx);
int os_file_set_delete(os_file_ctx* ctx, int32_t flag);

// Writes all len bytes to a plain descriptor, repeating after EINTR and after
// a partial write; no waiting and no stop request (log and settings files,
// standard error). false with errno set on any other failure (EAGAIN
// included), and ENOSPC when the system takes no byte at all.
bool os_fd_write_all(int fd, const void* data, size_t len);

// readlink of the normalised path; the result is terminated when it fits.
int64_t os_readlink(const char* path, char* buf, size_t size);

// Error class of an error number: kind 1 takes the numbers of a Windows
// peer, any other kind errno values.
int os_file_err_class(int kind, int err);
