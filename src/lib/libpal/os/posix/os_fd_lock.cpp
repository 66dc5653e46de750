#include "libpal/os/posix/os_fd_lock.h"

#include <fcntl.h>

#include <cerrno>

namespace {

int set_lock(int fd, int cmd, short type, uint64_t start, uint64_t length) {
    struct flock fl{};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    int r;
    do {
        r = fcntl(fd, cmd, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

}  // namespace

int os_fd_lock(int fd, uint32_t op, uint64_t start, uint64_t length) {
    short type = (op & 0xf) == OS_FD_LOCK_READ ? F_RDLCK : F_WRLCK;
    return set_lock(fd, (op & OS_FD_LOCK_NOWAIT) ? F_SETLK : F_SETLKW, type, start, length);
}

int os_fd_unlock(int fd, uint32_t, uint64_t start, uint64_t length) {
    return set_lock(fd, F_SETLKW, F_UNLCK, start, length);
}
