#include "libpal/os/posix/os_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "libpal/os/os_thread.h"
#include "liblog/log2.h"

namespace {

struct rate_row {
    uint32_t baud;
    speed_t speed;
};
constexpr rate_row k_rates[] = {{38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800},
                                {2400, B2400},   {1200, B1200},   {300, B300}};

// Waits up to ms for the descriptor to become readable (or writable):
// 1 ready, 0 time-out, -1 error.
int wait_fd(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

int os_serial_open(const char* path, uint32_t baud, uint32_t) {
    int fd = path ? open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "open %s error: ", path ? path : "");
        return -1;
    }
    auto fail = [fd] {
        close(fd);
        return -1;
    };
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "fcntl %s error: ", path);
        return fail();
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "tcgetattr error: ");
        return fail();
    }
    const rate_row* rate = nullptr;
    for (const auto& r : k_rates)
        if (r.baud == baud) rate = &r;
    if (!rate) {
        LOG2(LOG2_ERR, "pal", "BaudRate=%d invaild\n", static_cast<int>(baud));
        return fail();
    }
    cfsetispeed(&t, rate->speed);
    cfsetospeed(&t, rate->speed);
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "tcsetattr error: ");
        return fail();
    }
    return fd;
}

ssize_t os_serial_read(int fd, void* buf, size_t length, uint32_t ms) {
    auto* p = static_cast<char*>(buf);
    size_t got = 0;
    uint64_t deadline = os_mono_ms() + ms;
    while (got < length) {
        uint64_t now = os_mono_ms();
        int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
        int r = wait_fd(fd, POLLIN, left);
        if (r < 0) {
            LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "select error: ");
            return got ? static_cast<ssize_t>(got) : -1;
        }
        if (r == 0) break;
        ssize_t k;
        do {
            k = read(fd, p + got, length - got);
        } while (k < 0 && errno == EINTR);
        if (k < 0) return got ? static_cast<ssize_t>(got) : -1;
        if (k == 0) break;
        got += static_cast<size_t>(k);
    }
    return static_cast<ssize_t>(got);
}

ssize_t os_serial_write(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t k = write(fd, p + done, length - done);
        if (k >= 0) {
            done += static_cast<size_t>(k);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            // Busy: wait until it takes more, at most a second per round.
            (void)wait_fd(fd, POLLOUT, 1000);
            continue;
        }
        return -1;
    }
    return static_cast<ssize_t>(length);
}

void os_serial_close(int fd) {
    if (fd >= 0) close(fd);
}
