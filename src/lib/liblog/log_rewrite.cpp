#include "liblog/log_rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libpal/os/os_file.h"

namespace {

bool write_parts(int fd, const void* head, size_t head_len, const void* body, size_t body_len) {
    return (head_len == 0 || os_fd_write_all(fd, head, head_len)) &&
           (body_len == 0 || os_fd_write_all(fd, body, body_len));
}

// The kept content is in memory already: write it over the start, then cut.
// The file stays the same file (inode, owner, group, mode), so a reader
// following it and the permissions its owner gave it are kept.
int replace_in_place(const char* path, const void* head, size_t head_len, const void* body, size_t body_len) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    bool ok = write_parts(fd, head, head_len, body, body_len) &&
              ftruncate(fd, static_cast<off_t>(head_len + body_len)) == 0;
    int e = errno;
    close(fd);
    errno = e;
    return ok ? 0 : -1;
}

}  // namespace

int log_file_replace(const char* path, const void* head, size_t head_len, const void* body, size_t body_len) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    return replace_in_place(path, head, head_len, body, body_len);
}
