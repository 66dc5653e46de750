#include "libpal/os/posix/os_udp.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

struct addrinfo_free {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

uint64_t os_udp_open(const char* host, int port) {
    if (!PL_CHECK("pal", host)) return 0;
    char service[16];
    str_sprintf_s(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host, service, &hints, &raw);
    if (rc != 0) {
        const char* why = rc == EAI_SYSTEM ? nullptr : gai_strerror(rc);
        if (why)
            LOG2(LOG2_DBG, "pal", "failed to resolve name %s port %s error: %s\n", host, service, why);
        else
            LOG2(LOG2_DBG | LOG2_ERRNO, "pal", "failed to resolve name %s port %s error: ", host, service);
        return 0;
    }
    std::unique_ptr<addrinfo, addrinfo_free> answer(raw);
    // Only the first address is tried.
    const addrinfo* a = answer.get();
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) return 0;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return 0;
    }
    return static_cast<uint64_t>(fd) + 1;
}

void os_udp_close(uint64_t sock) {
    if (sock == 0 || sock - 1 > static_cast<uint64_t>(INT_MAX)) return;
    close(static_cast<int>(sock - 1));
}

int64_t os_udp_send(uint64_t sock, const void* data, size_t length) {
    if (!PL_CHECK("pal", sock && data)) return -1;
    if (sock - 1 > static_cast<uint64_t>(INT_MAX)) {
        errno = EBADF;
        return -1;
    }
    ssize_t r;
    do {
        r = send(static_cast<int>(sock - 1), data, length, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r;
}
