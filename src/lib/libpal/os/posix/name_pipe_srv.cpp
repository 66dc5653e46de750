#include "libpal/os/posix/name_pipe_srv.h"

#include <fcntl.h>
#include <unistd.h>

#include "libpal/memory/pl_mem.h"
#include "liblog/log2.h"

os_name_pipe_srv* os_name_pipe_srv_open(const char* path, uint32_t, uint32_t) {
    // Non-blocking, so that a pipe without a writer does not hold us here.
    int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "name_pipe=%s error:", path ? path : "");
        return nullptr;
    }
    close(fd);
    return static_cast<os_name_pipe_srv*>(pl_zalloc(sizeof(os_name_pipe_srv)));
}

int os_name_pipe_srv_read(os_name_pipe_srv* h, void*, size_t, uint32_t) {
    if (h) h->state = 0;
    return -1;
}

int os_name_pipe_srv_write(os_name_pipe_srv* h, const void*, size_t) {
    if (h) h->state = 0;
    return -1;
}

uint32_t os_name_pipe_srv_get_err(const os_name_pipe_srv* h) { return h ? h->err : 0; }

int os_name_pipe_srv_disconnect(os_name_pipe_srv* h) {
    if (h) h->state = 0;
    return 0;
}

int os_name_pipe_srv_cancel(os_name_pipe_srv* h) {
    if (h) h->state = 0;
    return 0;
}

int os_name_pipe_srv_flush(os_name_pipe_srv* h) {
    if (h) h->state = 0;
    return 0;
}

int os_name_pipe_srv_close(os_name_pipe_srv* h) {
    pl_free(h);
    return 0;
}
