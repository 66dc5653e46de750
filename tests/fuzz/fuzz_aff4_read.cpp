// The AFF4 library: each input is written as an .aff4 file in a folder of its
// own (under $TMPDIR, removed at exit), then opened and read through the six
// entry points. A read past what was asked, a failure without errno, or a
// handle that stays open is a fault. The library links no project library,
// so neither does this target: it keeps its own scratch folder.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "libaff4/aff4_api.h"

namespace {

std::string g_path;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Reads [off, off + len) in pieces of at most 64 KiB: each read gives no more
// than it was asked, nothing past the end, and fails only with errno set.
void read_range(int h, uint64_t size, uint64_t off, uint64_t len) {
    static std::vector<char> buf(65536 + 64);
    uint64_t end = off + len < off ? UINT64_MAX : off + len;
    while (off < end) {
        int want = static_cast<int>(std::min<uint64_t>(end - off, 65536));
        errno = 0;
        int n = AFF4_read(h, off, buf.data(), want);
        if (n < 0) {
            check(errno != 0);
            return;
        }
        check(n <= want);
        check(off < size || n == 0);
        if (n == 0) return;
        off += static_cast<uint64_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static std::string dir;
    const char* base = getenv("TMPDIR");
    dir = std::string(base && *base ? base : "/tmp") + "/kxdd-fuzz-aff4-XXXXXX";
    check(mkdtemp(dir.data()) != nullptr);
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
    g_path = dir + "/input.aff4";
    AFF4_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);
    errno = 0;
    int h = AFF4_open(g_path.c_str());
    if (h < 0) {
        check(errno != 0);
        return 0;
    }
    uint64_t n = AFF4_object_size(h);
    // Small images are read whole; large (sparse) ones at the start, the
    // middle and the end, and past the end.
    if (n <= (8u << 20)) {
        read_range(h, n, 0, n);
    } else {
        read_range(h, n, 0, 1 << 20);
        read_range(h, n, n / 2 - 4096, 65536);
        read_range(h, n, n - 65536, 65536);
    }
    read_range(h, n, n, 4096);
    read_range(h, n, UINT64_MAX - 10, 20);
    check(AFF4_close(h) == 0);
    errno = 0;
    char b;
    check(AFF4_read(h, 0, &b, 1) < 0 && errno != 0);  // the handle is gone
    return 0;
}
