// The cache image (".kxi" project and its cache file) as outside bytes: the
// cache file's header, block table and blocks in front of a fixed base.
//
// Input: the cache file. Its last four bytes (when there are four) also pick
// the sector written below.
//
// Checks beyond "no crash":
//   - the base is never written;
//   - a refused open leaves the cache file unchanged;
//   - every block a read delivers is the cached block the table names (bytes
//     inside the cache file) or, for a block not cached, the base's block;
//   - a sector written reads back at once, the rest of the device is as
//     before, and all of it is still so after a reopen.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "libblock/bd.h"
#include "libkxi/fcache.h"
#include "libpal/os/os_fileutil.h"

namespace {

using fuzz::read_file;

constexpr int64_t k_base_len = 64 * 1024;
constexpr int64_t k_sector = 512;

struct dev_guard {
    bd_dev* d;
    ~dev_guard() {
        if (d) bd_close(d);
    }
};

std::string base_data() {
    std::string s(static_cast<size_t>(k_base_len), '\0');
    for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xff);
    return s;
}

bd_dev* open_cached(const std::string& base, uint32_t oflag) {
    verr_info e{};
    const std::string url = base + "?wcache=" + fuzz::scratch("c.cache");
    return bd_open_err(url.c_str(), oflag | BD_OFLAG_IMAGE, &e);
}

bool read_all(bd_dev* dev, std::string* out) {
    out->assign(static_cast<size_t>(k_base_len), '\0');
    return bd_pread(dev, out->data(), k_base_len, 0) == k_base_len;
}

// What the cache file says each block holds, compared with what was read.
void check_blocks(const std::string& cache, const std::string& base, const std::string& got) {
    if (cache.size() < FCACHE_HEAD_SIZE) return;
    fcache_head h{};
    uint8_t endian = 0;
    FUZZ_CHECK(fcache_head_decode(reinterpret_cast<const uint8_t*>(cache.data()), &h, &endian) == 0);
    FUZZ_CHECK(h.file_size == static_cast<uint64_t>(k_base_len) && h.block_size > 0);
    const uint64_t bs = h.block_size;
    const uint64_t count = (h.file_size + bs - 1) / bs;
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t len = std::min<uint64_t>(bs, h.file_size - i * bs);
        FUZZ_CHECK(FCACHE_HEAD_SIZE + 8 * (i + 1) <= cache.size());
        const uint64_t e = fuzz::get_uint(reinterpret_cast<const uint8_t*>(cache.data()) + FCACHE_HEAD_SIZE + 8 * i, 8,
                                          endian == 1);
        const std::string& from = e ? cache : base;
        const uint64_t at = e ? e : i * bs;
        FUZZ_CHECK(at + len <= from.size());
        FUZZ_CHECK(got.compare(i * bs, len, from, at, len) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    bd_init2();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string base = fuzz::scratch("base.img");
    const std::string cache = fuzz::scratch("c.cache");
    const std::string base0 = base_data();
    static const bool base_written = (fuzz::write_file(base, base0), true);
    (void)base_written;
    fuzz::remove_file(fuzz::scratch("c.kxi"));
    fuzz::write_file(cache, data, size);
    const std::string cache0 = read_file(cache);
    const uint64_t pick = size >= 4 ? fuzz::get_uint(data + size - 4, 4, false) : 0;

    std::string before;
    {
        // Read-only first: no file changes at all.
        dev_guard dev{open_cached(base, OS_PF_RDONLY)};
        if (dev.d && read_all(dev.d, &before)) check_blocks(cache0, base0, before);
        if (dev.d) bd_close(dev.d);
        dev.d = nullptr;
        FUZZ_CHECK(read_file(cache) == cache0);
    }
    dev_guard dev{open_cached(base, OS_PF_RDWR)};
    FUZZ_CHECK(read_file(base) == base0);
    if (!dev.d) {
        FUZZ_CHECK(read_file(cache) == cache0);
        return 0;
    }
    std::string now;
    if (!read_all(dev.d, &now)) return 0;
    if (!before.empty()) FUZZ_CHECK(now == before);
    // One sector of the input's bytes, of the sector size the cache file names.
    const int64_t sector = dev.d->sector_size > 0 && k_base_len % dev.d->sector_size == 0 ? dev.d->sector_size : k_sector;
    const int64_t at = static_cast<int64_t>(pick % static_cast<uint64_t>(k_base_len / sector)) * sector;
    std::string piece(static_cast<size_t>(sector), '\0');
    for (size_t i = 0; i < piece.size(); i++) piece[i] = static_cast<char>(size ? data[i % size] ^ 0xa5 : i);
    FUZZ_CHECK(bd_pwrite(dev.d, piece.data(), sector, at) == sector);
    std::string want = now;
    want.replace(static_cast<size_t>(at), static_cast<size_t>(sector), piece);
    std::string after;
    FUZZ_CHECK(read_all(dev.d, &after) && after == want);
    bd_close(dev.d);
    dev.d = nullptr;
    FUZZ_CHECK(read_file(base) == base0);

    dev.d = open_cached(base, OS_PF_RDONLY);
    FUZZ_CHECK(dev.d != nullptr);
    std::string again;
    FUZZ_CHECK(read_all(dev.d, &again) && again == want);
    check_blocks(read_file(cache), base0, again);
    return 0;
}
