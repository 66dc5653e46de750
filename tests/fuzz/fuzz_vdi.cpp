// The VDI image as outside bytes: header, block map and data.
//
// Input: the image file. Its last four bytes (when there are four) also pick
// the offset of the unaligned reads and of the write below.
//
// Checks beyond "no crash":
//   - a read-only open, its reads and its close leave the file unchanged; a
//     refused open (either kind) changes nothing;
//   - one read over the disk and reads in odd pieces after seeks agree, and no
//     read delivers more than was asked or than the disk holds;
//   - a writable open takes a piece written anywhere: it reads back at once,
//     and after a reopen the disk is the earlier disk with that piece replaced.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "libpal/os/os_fileutil.h"
#include "libvdi/vdi.h"

namespace {

using fuzz::read_file;

constexpr int64_t k_read_cap = 256 * 1024;
constexpr uint32_t k_write_block_cap = 1u << 20;  // a write may add a whole block of zeros

struct vdi_guard {
    vdi_ctx* p;
    ~vdi_guard() {
        if (p) vdi_close(p);
    }
};

// The first len bytes of the disk in one read, or false.
bool read_head(const std::string& path, int64_t len, std::string* out) {
    verr_info e{};
    vdi_guard v{vdi_open(path.c_str(), OS_PF_RDONLY, &e)};
    if (!v.p) return false;
    out->assign(static_cast<size_t>(len), '\0');
    return len == 0 || (vdi_seek(v.p, 0, 0) == 0 && vdi_read(v.p, out->data(), len) == len);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratch("f.vdi");
    fuzz::write_file(path, data, size);
    const std::string file0 = read_file(path);
    const uint64_t pick = size >= 4 ? fuzz::get_uint(data + size - 4, 4, false) : 0;

    verr_info e{};
    vdi_guard v{vdi_open(path.c_str(), OS_PF_RDONLY, &e)};
    if (!v.p) {
        FUZZ_CHECK(e.code != 0);
        FUZZ_CHECK(read_file(path) == file0);
        return 0;
    }
    const int64_t disk = vdi_size(v.p);
    FUZZ_CHECK(disk >= 0);
    const int64_t len = std::min(disk, k_read_cap);
    std::string whole(static_cast<size_t>(len), '\0');
    int64_t got = 0;
    if (len > 0) {
        FUZZ_CHECK(vdi_seek(v.p, 0, 0) == 0);
        got = vdi_read(v.p, whole.data(), len);
        FUZZ_CHECK(got == -1 || got == len);
    }
    FUZZ_CHECK(vdi_seek(v.p, 0, 2) == -1);  // the disk size itself is no position
    if (got == len && len > 0) {
        // Odd pieces from an odd offset, after a seek relative to the current position.
        const int64_t start = static_cast<int64_t>(pick % static_cast<uint64_t>(len));
        FUZZ_CHECK(vdi_seek(v.p, 0, 0) == 0 && vdi_seek(v.p, start, 1) == start);
        for (int64_t at = start; at < len;) {
            const int64_t want = std::min<int64_t>(len - at, 1000 + (at & 511));
            std::string part(static_cast<size_t>(want), '\0');
            const int64_t n = vdi_read(v.p, part.data(), want);
            FUZZ_CHECK(n == want);
            FUZZ_CHECK(part == whole.substr(static_cast<size_t>(at), static_cast<size_t>(want)));
            at += n;
        }
        // At the end of the disk: only what is left.
        if (disk <= k_read_cap) {
            char tail[64];
            const int64_t from = std::max<int64_t>(0, disk - 10);
            FUZZ_CHECK(vdi_seek(v.p, from, 0) == from);
            const int64_t n = vdi_read(v.p, tail, sizeof tail);
            FUZZ_CHECK(n == disk - from);
            FUZZ_CHECK(std::string(tail, static_cast<size_t>(n)) == whole.substr(static_cast<size_t>(from)));
        }
    }
    const uint32_t block_size = v.p->block_size;
    vdi_close(v.p);
    v.p = nullptr;
    FUZZ_CHECK(read_file(path) == file0);

    // A write through a writable open, then read back.
    v.p = vdi_open(path.c_str(), OS_PF_RDWR, &e);
    if (!v.p) {
        FUZZ_CHECK(read_file(path) == file0);
        return 0;
    }
    if (got != len || len == 0 || block_size > k_write_block_cap) return 0;
    const int64_t at = static_cast<int64_t>((pick >> 8) % static_cast<uint64_t>(len));
    const int64_t n = std::min<int64_t>(len - at, 700);
    std::string piece(static_cast<size_t>(n), '\0');
    for (int64_t i = 0; i < n; i++) piece[static_cast<size_t>(i)] = static_cast<char>(data[i % static_cast<int64_t>(size)] ^ 0x5a);
    FUZZ_CHECK(vdi_seek(v.p, at, 0) == at);
    FUZZ_CHECK(vdi_write(v.p, piece.data(), n) == n);
    std::string back(static_cast<size_t>(n), '\0');
    FUZZ_CHECK(vdi_seek(v.p, at, 0) == at && vdi_read(v.p, back.data(), n) == n);
    FUZZ_CHECK(back == piece);
    FUZZ_CHECK(vdi_close(v.p) == 0);
    v.p = nullptr;
    std::string want = whole;
    want.replace(static_cast<size_t>(at), static_cast<size_t>(n), piece);
    std::string after;
    FUZZ_CHECK(read_head(path, len, &after));
    FUZZ_CHECK(after == want);
    return 0;
}
