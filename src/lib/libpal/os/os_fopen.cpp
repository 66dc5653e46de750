#include "libpal/os/os_fopen.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "libpal/os/os_path_buf.h"

namespace {

// The open flags of an fopen mode, and the mode fdopen is given (without
// the "x" that only matters to open). False for a mode fopen refuses.
bool mode_to_flags(const char* mode, int& flags, char (&fdmode)[8]) {
    switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return false;
    }
    size_t n = 0;
    fdmode[n++] = mode[0];
    for (const char* m = mode + 1; *m && *m != ','; ++m) {
        switch (*m) {
        case '+': flags = (flags & ~O_ACCMODE) | O_RDWR; break;
        case 'x': flags |= O_EXCL; continue;
        case 'e': flags |= O_CLOEXEC; break;
        default: break;
        }
        if (n + 1 < sizeof fdmode) fdmode[n++] = *m;
    }
    fdmode[n] = 0;
    return true;
}

}  // namespace

FILE* os_fopen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    os_path_buf p(path);
    if (!p.ok()) return nullptr;
    int flags = 0;
    char fdmode[8];
    if (!mode_to_flags(mode, flags, fdmode)) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(p.c_str(), flags, 0644);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, fdmode);
    if (!f) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

int os_access(const char* path, int mode) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    return access(p.c_str(), mode);
}

int os_chdir(const char* path) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    return chdir(p.c_str());
}
