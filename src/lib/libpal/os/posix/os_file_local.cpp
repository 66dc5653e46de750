// The "file" kind: local files, FIFOs and devices through a descriptor.
// Its token is the descriptor plus one.

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/posix/os_file_kinds.h"

namespace {

constexpr const char* TAG = "pal";

int fd_of(uint64_t file) { return static_cast<int>(file - 1); }

// Waits until the descriptor is ready after EAGAIN (a descriptor inherited
// in non-blocking mode); false with errno set when waiting fails.
bool wait_ready(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, -1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Size of a block device; false when the device does not answer.
bool block_dev_size(int fd, uint64_t* size) { return ioctl(fd, BLKGETSIZE64, size) == 0; }

// After a failed transfer: on a block device, the read errors that report
// unreadable sectors become EIO, and an EIO from a device whose size can no
// longer be read becomes ENXIO (the device is gone).
void map_device_errno(int fd) {
    int e = errno;
    if (e != EIO && e != ENODATA && e != EREMOTEIO && e != EILSEQ) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        errno = e;
        return;
    }
    uint64_t size = 0;
    errno = block_dev_size(fd, &size) && size != 0 ? EIO : ENXIO;
}

bool stop_requested() { return os_io_stop && os_io_stop->load(std::memory_order_relaxed) != 0; }

// With a stop request, a stream is waited for in slices so that the stop
// ends the wait; regular files and devices do not wait. What the descriptor
// is, is asked once per handle.
bool wait_stream(int fd, short events) {
    if (!os_io_stop) return true;
    uint8_t kind = os_io_kind ? os_io_kind->load(std::memory_order_relaxed) : 0;
    if (kind == 0) {
        struct stat st;
        if (fstat(fd, &st) != 0) return true;
        kind = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode) ? 2 : 1;
        if (os_io_kind) os_io_kind->store(kind, std::memory_order_relaxed);
    }
    if (kind == 2) return true;
    pollfd p{fd, events, 0};
    while (!stop_requested()) {
        int r = poll(&p, 1, 200);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return true;  // let the transfer report it
    }
    errno = EINTR;
    return false;
}

bool retry_after(int fd, short events) {
    if (errno == EINTR) return !stop_requested();
    if (errno == EAGAIN || errno == EWOULDBLOCK) return wait_ready(fd, events);
    return false;
}

// One system call moves at most 'chunk' bytes at 'done' bytes into the
// transfer; repeats until the length is done. A read that came back short
// is not repeated once a stop is requested: it fails with EINTR.
template <class Call>
int64_t transfer_full(int fd, size_t len, bool reading, Call call) {
    size_t done = 0;
    while (done < len) {
        if (reading && done > 0 && stop_requested()) {
            errno = EINTR;
            return -1;
        }
        if (!wait_stream(fd, reading ? POLLIN : POLLOUT)) return -1;
        ssize_t n = call(done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            if (reading) break;  // end of data
            errno = EIO;         // a write that makes no progress
        } else if (retry_after(fd, reading ? POLLIN : POLLOUT)) {
            continue;
        }
        map_device_errno(fd);
        // A write that stopped part-way reports what it wrote; errno tells why
        // it stopped. A read never hands out a part of a failing transfer.
        if (!reading && done > 0) return static_cast<int64_t>(done);
        return -1;
    }
    return static_cast<int64_t>(done);
}

// The same over a vector of buffers; call(list, count, done) does one
// system call on the entries not yet transferred.
template <class Call>
int64_t transfer_vec_full(int fd, const struct iovec* list, int count, bool reading, Call call) {
    if (count > IOV_MAX) {
        errno = EINVAL;
        return -1;
    }
    iovec local[IOV_MAX];
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (list[i].iov_len > static_cast<size_t>(SSIZE_MAX) - total) {
            errno = EINVAL;
            return -1;
        }
        total += list[i].iov_len;
        local[i] = list[i];
    }
    int first = 0;
    size_t done = 0;
    while (done < total) {
        while (local[first].iov_len == 0) ++first;
        ssize_t n = call(local + first, count - first, done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            auto left = static_cast<size_t>(n);
            while (left > 0) {
                if (left >= local[first].iov_len) {
                    left -= local[first].iov_len;
                    local[first].iov_len = 0;
                    ++first;
                } else {
                    local[first].iov_base = static_cast<char*>(local[first].iov_base) + left;
                    local[first].iov_len -= left;
                    left = 0;
                }
            }
            continue;
        }
        if (n == 0) {
            if (reading) break;
            errno = EIO;
        } else if (retry_after(fd, reading ? POLLIN : POLLOUT)) {
            continue;
        }
        map_device_errno(fd);
        return -1;
    }
    return static_cast<int64_t>(done);
}

off_t at(int64_t off, size_t done) { return static_cast<off_t>(static_cast<uint64_t>(off) + done); }

int open_retry(const char* path, int oflag, mode_t mode) {
    int fd;
    do {
        fd = open(path, oflag, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// --- the kind's operations ---

uint64_t local_init(const char* path, uint32_t flags) {
    if (!PL_CHECK(TAG, path)) {
        errno = EINVAL;
        return 0;
    }
    int oflag;
    if (flags & OS_PF_RDONLY)
        oflag = O_RDONLY;
    else if (flags & OS_PF_WRONLY)
        oflag = O_WRONLY;
    else if (flags & OS_PF_RDWR)
        oflag = O_RDWR;
    else
        oflag = O_RDONLY;
    mode_t mode = 0;
    if (flags & OS_PF_CREATE) {
        oflag |= O_CREAT;
        mode = 0644;
    }
    if (flags & OS_PF_TRUNC) oflag |= O_TRUNC;
    // OS_PF_APPEND is deliberately not O_APPEND: on this system O_APPEND
    // sends positioned writes to the end of the file too, and this kind
    // writes at the offsets it is given. A caller that appends seeks to the
    // end itself. O_NONBLOCK is not used either: FIFOs and terminals must
    // block, or their reads fail with EAGAIN.
    oflag |= O_CLOEXEC;

    int fd = open_retry(path, oflag, mode);
    if (fd < 0 && (flags & OS_PF_CREATE) && errno == ENOENT) {
        os_mkdirs_parent(path);
        fd = open_retry(path, oflag, mode);
    }
    if (fd < 0) return 0;
    return static_cast<uint64_t>(fd) + 1;
}

uint64_t local_init2(const char* path, uint32_t access, uint32_t /*share*/, uint32_t disposition,
                     uint32_t /*attributes*/) {
    if (!PL_CHECK(TAG, path)) {
        errno = EINVAL;
        return 0;
    }
    if (disposition == 1 && os_file_exist(path) != -1) {
        errno = EEXIST;
        return 0;
    }
    return local_init(path, os_access_to_pf(access, disposition));
}

uint64_t local_init3(const char* path, int sysflags, uint32_t mode) {
    if (!PL_CHECK(TAG, path)) {
        errno = EINVAL;
        return 0;
    }
    int fd = open_retry(path, sysflags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return 0;
    return static_cast<uint64_t>(fd) + 1;
}

int local_exit(uint64_t file) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return 0;
    // On Linux the descriptor is released even when close reports EINTR.
    if (close(fd_of(file)) == 0 || errno == EINTR) return 1;
    return 0;
}

int64_t local_read(uint64_t file, void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    return os_fd_read_full(fd_of(file), data, len, -1);
}

int64_t local_writ(uint64_t file, const void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    return os_fd_write_full(fd_of(file), data, len, -1);
}

int64_t local_pread(uint64_t file, void* data, size_t len, int64_t off) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    return os_fd_read_full(fd_of(file), data, len, off);
}

int64_t local_pwrit(uint64_t file, const void* data, size_t len, int64_t off) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    return os_fd_write_full(fd_of(file), data, len, off);
}

int64_t local_readv(uint64_t file, const struct iovec* list, int count) {
    if (!PL_CHECK_TEXT(TAG, file && list && count > 0, "file && list && size")) return -1;
    int fd = fd_of(file);
    return transfer_vec_full(fd, list, count, true,
                             [fd](const iovec* v, int n, size_t) { return ::readv(fd, v, n); });
}

int64_t local_writv(uint64_t file, const struct iovec* list, int count) {
    if (!PL_CHECK_TEXT(TAG, file && list && count > 0, "file && list && size")) return -1;
    int fd = fd_of(file);
    return transfer_vec_full(fd, list, count, false,
                             [fd](const iovec* v, int n, size_t) { return ::writev(fd, v, n); });
}

// The positioned vector forms use the system's own positioned calls, so the
// descriptor's offset never moves.
int64_t local_preadv(uint64_t file, const struct iovec* list, int count, int64_t off) {
    if (!PL_CHECK_TEXT(TAG, file && list && count > 0, "file && list && size")) return -1;
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = fd_of(file);
    return transfer_vec_full(fd, list, count, true, [fd, off](const iovec* v, int n, size_t done) {
        return ::preadv(fd, v, n, at(off, done));
    });
}

int64_t local_pwritv(uint64_t file, const struct iovec* list, int count, int64_t off) {
    if (!PL_CHECK_TEXT(TAG, file && list && count > 0, "file && list && size")) return -1;
    if (off < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = fd_of(file);
    return transfer_vec_full(fd, list, count, false, [fd, off](const iovec* v, int n, size_t done) {
        return ::pwritev(fd, v, n, at(off, done));
    });
}

int local_sync(uint64_t file) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return 0;
    return os_fd_sync(fd_of(file));
}

int local_truncate(uint64_t file, int64_t len) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return 0;
    int r;
    do {
        r = ftruncate(fd_of(file), static_cast<off_t>(len));
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

int64_t local_seek(uint64_t file, int64_t off, int whence) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return -1;
    return lseek(fd_of(file), static_cast<off_t>(off), whence);
}

int64_t local_offset(uint64_t file) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return -1;
    return lseek(fd_of(file), 0, SEEK_CUR);
}

// Size without reading any data: a regular file's (or directory's) size,
// a block device's size, the end offset of a character device that has one
// (memory-like devices), and 0 for everything else (FIFOs, sockets, streams
// such as /dev/urandom). Keeps the descriptor's offset.
int64_t fd_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG2(LOG2_DBG | LOG2_ERRNO, TAG, "fstat error: ");
        return -1;
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return st.st_size;
    if (S_ISBLK(st.st_mode)) {
        uint64_t size = 0;
        if (!block_dev_size(fd, &size)) {
            LOG2(LOG2_WARN, TAG, "BLKGETSIZE64 error\n");
            return 0;
        }
        return static_cast<int64_t>(size);
    }
    if (S_ISCHR(st.st_mode)) {
        int e = errno;
        off_t cur = lseek(fd, 0, SEEK_CUR);
        off_t end = cur >= 0 ? lseek(fd, 0, SEEK_END) : -1;
        if (end >= 0) lseek(fd, cur, SEEK_SET);
        errno = e;
        if (end > 0) return end;
    }
    return 0;
}

int64_t local_size(uint64_t file) {
    if (!PL_CHECK_TEXT(TAG, file, "file")) return -1;
    return fd_size(fd_of(file));
}

int local_info(int fd, os_file_info* info) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG2(LOG2_DBG | LOG2_ERRNO, TAG, "fstat error: ");
        return 0;
    }
    info->type = OS_FILE_TYPE_FILE;
    info->sector_size = 512;
    if (S_ISBLK(st.st_mode)) {
        info->type = OS_FILE_TYPE_BLOCK;
        int ss = 0;
        if (ioctl(fd, BLKSSZGET, &ss) == 0 && ss > 0)
            info->sector_size = static_cast<uint32_t>(ss);
        else
            LOG2(LOG2_WARN, TAG, "BLKSSZGET error\n");
    } else if (S_ISDIR(st.st_mode)) {
        info->type = OS_FILE_TYPE_DIR;
    }
    int64_t size = fd_size(fd);
    if (size == -1) {
        LOG2(LOG2_DBG, TAG, "info->size == -1 get failed\n");
        return 0;
    }
    info->size = static_cast<uint64_t>(size);
    off_t off = lseek(fd, 0, SEEK_CUR);
    info->offset = off < 0 ? 0 : static_cast<uint64_t>(off);
    return 1;
}

int local_stat(int fd, os_file_attr* attr) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        LOG2(LOG2_DBG | LOG2_ERRNO, TAG, "fstat error: ");
        return 0;
    }
    os_stat_to_attr(&st, attr);
    return 1;
}

// A time with zero seconds is not supplied and stays as it is; each of the
// access and modification times is decided by its own seconds.
int local_set_times(int fd, const os_file_times* t) {
    struct timespec ts[2];
    ts[0] = t->atime.sec ? timespec{static_cast<time_t>(t->atime.sec), static_cast<long>(t->atime.nsec)}
                         : timespec{0, UTIME_OMIT};
    ts[1] = t->mtime.sec ? timespec{static_cast<time_t>(t->mtime.sec), static_cast<long>(t->mtime.nsec)}
                         : timespec{0, UTIME_OMIT};
    if (futimens(fd, ts) == 0) return 1;
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    struct timeval tv[2];
    tv[0] = t->atime.sec ? timeval{static_cast<time_t>(t->atime.sec), static_cast<suseconds_t>(t->atime.nsec / 1000)}
                         : timeval{st.st_atim.tv_sec, st.st_atim.tv_nsec / 1000};
    tv[1] = t->mtime.sec ? timeval{static_cast<time_t>(t->mtime.sec), static_cast<suseconds_t>(t->mtime.nsec / 1000)}
                         : timeval{st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 1000};
    return futimes(fd, tv) == 0;
}

int local_lock(int fd, const os_file_lock_req* req) {
    struct flock fl{};
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(req->start);
    fl.l_len = static_cast<off_t>(req->length);
    if (req->op == OS_FILE_UNLOCK)
        fl.l_type = F_UNLCK;
    else if ((req->op & 0xf) == OS_FILE_LOCK_READ)
        fl.l_type = F_RDLCK;
    else
        fl.l_type = F_WRLCK;
    int cmd = (req->op & OS_FILE_LOCK_NOWAIT) ? F_SETLK : F_SETLKW;
    int r;
    do {
        r = fcntl(fd, cmd, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

template <class T>
T* arg_as(void* arg, size_t len) {
    if (!arg || len < sizeof(T)) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<T*>(arg);
}

int local_ioctl(uint64_t file, uint32_t code, void* arg, size_t len) {
    int err = errno;  // the error class request reports the caller's errno
    if (!PL_CHECK_TEXT(TAG, file, "file")) return 0;
    int fd = fd_of(file);
    switch (code) {
    case OS_FILE_GET_INFO: {
        auto* info = arg_as<os_file_info>(arg, len);
        return info ? local_info(fd, info) : 0;
    }
    case OS_FILE_GET_ERROR: {
        auto* out = arg_as<uint64_t>(arg, len);
        if (!out) return 0;
        *out = static_cast<uint64_t>(os_fd_err_class(fd, err));
        errno = err;
        return 1;
    }
    case OS_FILE_GET_STAT: {
        auto* attr = arg_as<os_file_attr>(arg, len);
        return attr ? local_stat(fd, attr) : 0;
    }
    case OS_FILE_SET_TIMES: {
        auto* t = arg_as<os_file_times>(arg, len);
        return t ? local_set_times(fd, t) : 0;
    }
    case OS_FILE_LOCK: {
        auto* req = arg_as<os_file_lock_req>(arg, len);
        return req ? local_lock(fd, req) : 0;
    }
    case OS_FILE_SET_READ_TIMEOUT:
    case OS_FILE_SET_WRITE_TIMEOUT:
        return 1;
    case OS_FILE_CHMOD: {
        auto* mode = arg_as<uint32_t>(arg, len);
        return mode ? fchmod(fd, static_cast<mode_t>(*mode)) == 0 : 0;
    }
    case OS_FILE_CHOWN: {
        auto* owner = arg_as<os_file_owner>(arg, len);
        return owner ? fchown(fd, owner->uid, owner->gid) == 0 : 0;
    }
    default:
        errno = EPERM;
        return 0;
    }
}

}  // namespace

int64_t os_fd_read_full(int fd, void* data, size_t len, int64_t off) {
    auto* p = static_cast<char*>(data);
    return transfer_full(fd, len, true, [=](size_t done, size_t n) {
        return off < 0 ? ::read(fd, p + done, n) : ::pread(fd, p + done, n, at(off, done));
    });
}

int64_t os_fd_write_full(int fd, const void* data, size_t len, int64_t off) {
    auto* p = static_cast<const char*>(data);
    return transfer_full(fd, len, false, [=](size_t done, size_t n) {
        return off < 0 ? ::write(fd, p + done, n) : ::pwrite(fd, p + done, n, at(off, done));
    });
}

bool os_fd_write_all(int fd, const void* data, size_t len) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t k = ::write(fd, p, len);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) {  // no progress: never loop on it
            errno = ENOSPC;
            return false;
        }
        p += k;
        len -= static_cast<size_t>(k);
    }
    return true;
}

int os_fd_sync(int fd) {
    int r;
    do {
        r = fsync(fd);
    } while (r != 0 && errno == EINTR);
    // EINVAL and EROFS: the descriptor is something that cannot be
    // synchronised (a pipe, a terminal); there is nothing to flush.
    return r == 0 || errno == EINVAL || errno == EROFS;
}

int os_fd_err_class(int fd, int err) {
    if (err == EIO && fd >= 0) {
        struct stat st;
        uint64_t size = 0;
        if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && (!block_dev_size(fd, &size) || size == 0))
            return OS_FILE_ERR_GONE;
    }
    return os_file_err_class(0, err);
}

const os_file_ops os_local_file_ops = {
    .name = "file",
    .init = local_init,
    .init2 = local_init2,
    .init3 = local_init3,
    .exit = local_exit,
    .read = local_read,
    .writ = local_writ,
    .pread = local_pread,
    .pwrit = local_pwrit,
    .readv = local_readv,
    .writv = local_writv,
    .preadv = local_preadv,
    .pwritv = local_pwritv,
    .sync = local_sync,
    .truncate = local_truncate,
    .seek = local_seek,
    .offset = local_offset,
    .size = local_size,
    .ioctl = local_ioctl,
};
