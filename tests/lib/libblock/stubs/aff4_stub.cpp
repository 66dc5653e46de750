// A stand-in for the AFF4 library, for the tests of the "aff4" driver. Its
// images are "AFF4STUB", the stream length (u64), the offset from which reads
// fail with EIO (u64; all ones: never), then the stream's bytes. A file
// starting "AFF4HOLE" has the same header and a stream whose reads leave the
// buffer as it is (for reads larger than the test wants to fill); one
// starting "AFF4NOER" fails to open without setting errno.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libaff4/aff4_api.h"

namespace {

constexpr char k_magic[8] = {'A', 'F', 'F', '4', 'S', 'T', 'U', 'B'};
constexpr char k_silent[8] = {'A', 'F', 'F', '4', 'N', 'O', 'E', 'R'};
constexpr char k_hole[8] = {'A', 'F', 'F', '4', 'H', 'O', 'L', 'E'};
constexpr uint64_t k_head = 24;

struct stream {
    int fd = -1;
    uint64_t size = 0;
    uint64_t fail_at = 0;
    bool hole = false;
};

stream g_streams[16];
bool g_started = false;
int g_max_read = 0;

stream* find(int h) {
    if (h < 0 || h >= static_cast<int>(sizeof g_streams / sizeof g_streams[0]) || g_streams[h].fd < 0) return nullptr;
    return &g_streams[h];
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* AFF4_version(void) { return "stub 1.0"; }

__attribute__((visibility("default"))) void AFF4_init(void) { g_started = true; }

__attribute__((visibility("default"))) int AFF4_open(const char* path) {
    if (!g_started) {
        errno = EPERM;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    unsigned char head[k_head];
    ssize_t got = pread(fd, head, sizeof head, 0);
    if (got >= 8 && memcmp(head, k_silent, 8) == 0) {
        close(fd);
        errno = 0;
        return -5;
    }
    bool hole = got == static_cast<ssize_t>(sizeof head) && memcmp(head, k_hole, 8) == 0;
    if (!hole && (got != static_cast<ssize_t>(sizeof head) || memcmp(head, k_magic, 8) != 0)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    for (int h = 0; h < static_cast<int>(sizeof g_streams / sizeof g_streams[0]); ++h) {
        if (g_streams[h].fd >= 0) continue;
        g_streams[h].fd = fd;
        memcpy(&g_streams[h].size, head + 8, 8);
        memcpy(&g_streams[h].fail_at, head + 16, 8);
        g_streams[h].hole = hole;
        return h;
    }
    close(fd);
    errno = EMFILE;
    return -1;
}

__attribute__((visibility("default"))) uint64_t AFF4_object_size(int handle) {
    stream* s = find(handle);
    return s ? s->size : 0;
}

__attribute__((visibility("default"))) int AFF4_read(int handle, uint64_t offset, void* buffer, int length) {
    stream* s = find(handle);
    if (!s || length < 0) {
        errno = EBADF;
        return -1;
    }
    if (length > g_max_read) g_max_read = length;
    if (offset >= s->size) return 0;
    uint64_t n = static_cast<uint64_t>(length);
    if (n > s->size - offset) n = s->size - offset;
    if (offset + n > s->fail_at) {
        errno = EIO;
        return -1;
    }
    if (s->hole) return static_cast<int>(n);
    ssize_t got = pread(s->fd, buffer, n, static_cast<off_t>(k_head + offset));
    return got < 0 ? -1 : static_cast<int>(got);
}

// For the tests: the largest length a read asked for.
__attribute__((visibility("default"))) int AFF4STUB_max_read(void) { return g_max_read; }

__attribute__((visibility("default"))) int AFF4_close(int handle) {
    stream* s = find(handle);
    if (!s) return -1;
    close(s->fd);
    *s = stream{};
    return 0;
}
}
