// Partition tables as outside bytes: every scheme's reader over a disk image,
// then every vol_idx the listing offers (and the first ones past it).
//
// Input: the disk image.
//
// Checks beyond "no crash":
//   - the listing is bounded and every volume of it is what libpart_get_vol
//     gives for its index; an index out of range fails with
//     "vol_idx=%d valid values: 1-%d";
//   - a device opened with "?vol_idx=N" has that volume's window, and any
//     bytes it reads are the image's bytes at the volume's start plus the
//     offset (a window never delivers bytes from anywhere else);
//   - nothing of it writes: the image is unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "libblock/bd.h"
#include "libpal/os/os_fileutil.h"
#include "libpart/part.h"

namespace {

using fuzz::read_file;

constexpr int k_open_cap = 8;  // volumes opened through the block layer per input

struct dev_guard {
    bd_dev* d;
    ~dev_guard() {
        if (d) bd_close(d);
    }
};

// The bytes a read of the window at off gave must be the image's own.
void check_window_read(bd_dev* dev, const bd_vol& vol, const std::string& image, int64_t off, int64_t len) {
    if (off < 0 || len <= 0) return;
    std::string buf(static_cast<size_t>(len), '\0');
    const int64_t n = bd_pread(dev, buf.data(), len, off);
    FUZZ_CHECK(n >= -1 && n <= len);
    if (n <= 0) return;
    // Nothing from past the window's end.
    FUZZ_CHECK(static_cast<uint64_t>(off) < vol.vol_size && static_cast<uint64_t>(n) <= vol.vol_size - static_cast<uint64_t>(off));
    const uint64_t at = vol.vol_start + static_cast<uint64_t>(off);
    FUZZ_CHECK(at + static_cast<uint64_t>(n) <= image.size());
    FUZZ_CHECK(buf.compare(0, static_cast<size_t>(n), image, static_cast<size_t>(at), static_cast<size_t>(n)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    bd_init2();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratch("disk.img");
    fuzz::write_file(path, data, size);
    const std::string image = read_file(path);

    part_list list{};
    char err[4096] = "";
    const int rc = libpart_get(path.c_str(), &list, err);
    FUZZ_CHECK(rc == 0 || rc == -1 || rc == -2);
    if (rc != 0) {
        FUZZ_CHECK(list.count == 0 && list.vols == nullptr);
        FUZZ_CHECK(read_file(path) == image);
        return 0;
    }
    FUZZ_CHECK(list.count >= 1 && list.sector_size > 0);
    FUZZ_CHECK(list.image_size == image.size());
    FUZZ_CHECK(list.scheme <= PART_SCHEME_DVH);
    const uint32_t count = list.count, ss = list.sector_size;
    std::vector<part_vol> vols(list.vols, list.vols + count);
    part_list_free(&list);

    for (int idx = -1; idx <= static_cast<int>(count) + 1; idx++) {
        bd_vol vol{};
        char e[4096] = "";
        const int r = libpart_get_vol(path.c_str(), idx, &vol, e);
        if (idx >= 1 && idx <= static_cast<int>(count)) {
            FUZZ_CHECK(r == 0);
            FUZZ_CHECK(vol.vol_start == vols[idx - 1].start * ss && vol.vol_size == vols[idx - 1].size * ss);
        } else {
            char want[64];
            snprintf(want, sizeof want, "vol_idx=%d valid values: 1-%u", idx, count);
            FUZZ_CHECK(r == -1 && std::string(e) == want);
        }
    }

    for (uint32_t idx = 1; idx <= std::min<uint32_t>(count, k_open_cap); idx++) {
        const std::string url = path + "?vol_idx=" + std::to_string(idx);
        verr_info e{};
        dev_guard dev{bd_open_err(url.c_str(), OS_PF_RDONLY | BD_OFLAG_IMAGE, &e)};
        if (!dev.d) continue;  // a window outside the image may be refused
        bd_vol vol{};
        FUZZ_CHECK(bd_get_vol(dev.d, &vol) == 0);
        FUZZ_CHECK(vol.vol_start == vols[idx - 1].start * ss);
        FUZZ_CHECK(vol.vol_size <= vols[idx - 1].size * ss);  // cut at the image's end
        const int64_t vsize = static_cast<int64_t>(vols[idx - 1].size * ss);
        check_window_read(dev.d, vol, image, 0, ss);
        check_window_read(dev.d, vol, image, vsize - ss, 2 * static_cast<int64_t>(ss));
        check_window_read(dev.d, vol, image, vsize, ss);
    }
    FUZZ_CHECK(read_file(path) == image);
    return 0;
}
