// Reads a file through the file layer and prints one line per request:
//
//   kxdd_fi_reader PATH REQUEST...
//     pread:OFF:LEN  positioned read
//     read:LEN       read at the current position
//     info           OS_FILE_GET_INFO
//     stop           the handle's stop request is set for the requests after it
//                    (printed as a read of nothing)
//
// A read prints "ret=N errno=E verr=V class=C digest=D" (errno, status code
// and error class only describe a failure; the digest is fi_digest of the
// bytes read); info prints "type=T size=S sector=B desc=TEXT". An open that
// fails prints "open errno=E verr=V" and ends with status 1.

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/basic/verr.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "support/faultinject.h"

namespace {

void report_read(os_file_ctx* ctx, const char* req, int64_t ret, const std::vector<unsigned char>& buf) {
    int err = ret < 0 ? errno : 0;
    uint64_t cls = 0;
    if (ret < 0) {
        errno = err;
        os_file_ioctl(ctx, OS_FILE_GET_ERROR, &cls, sizeof cls);
    }
    uint64_t digest = fi_digest(buf.data(), ret > 0 ? static_cast<size_t>(ret) : 0);
    std::printf("%s ret=%" PRId64 " errno=%d verr=%d class=%" PRIu64 " digest=%016" PRIx64 "\n", req, ret, err,
                err ? os_verr_get(err) : 0, cls, digest);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PATH REQUEST...\n", argv[0]);
        return 2;
    }
    os_file_ctx* ctx = os_file_open(argv[1], OS_PF_RDONLY);
    if (!ctx) {
        int err = errno;
        std::printf("open errno=%d verr=%d\n", err, os_verr_get(err));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const char* req = argv[i];
        unsigned long long off = 0, len = 0;
        if (std::sscanf(req, "pread:%llu:%llu", &off, &len) == 2) {
            std::vector<unsigned char> buf(len);
            int64_t ret = os_file_pread(ctx, buf.data(), len, static_cast<int64_t>(off));
            report_read(ctx, req, ret, buf);
        } else if (std::sscanf(req, "read:%llu", &len) == 1) {
            std::vector<unsigned char> buf(len);
            int64_t ret = os_file_read(ctx, buf.data(), len);
            report_read(ctx, req, ret, buf);
        } else if (std::strcmp(req, "stop") == 0) {
            static std::atomic<uint32_t> stop{1};
            os_file_set_stop(ctx, &stop);
            std::printf("stop ret=0 errno=0 verr=0 class=0 digest=0\n");
        } else if (std::strcmp(req, "info") == 0) {
            os_file_info info{};
            int ok = os_file_ioctl(ctx, OS_FILE_GET_INFO, &info, sizeof info);
            std::printf("info ok=%d type=%u size=%" PRIu64 " sector=%u desc=%s\n", ok, info.type, info.size,
                        info.sector_size, info.description);
        } else {
            std::printf("%s unknown request\n", req);
        }
        std::fflush(stdout);
    }
    os_file_close(ctx);
    return 0;
}
