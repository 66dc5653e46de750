// The compressed image (".kxz") as outside bytes: open, walk, trailer, side
// file and unpack, then an append on top of the image.
//
// Input: flags (1 byte), side-file length n (2 bytes, little-endian), n bytes
// of side file, then the image. Flag 0x01: the side file "<image>_off" exists
// (with those n bytes); 0x02: the appended block is one byte short (the image
// becomes final). A shorter input is an image without a side file.
//
// Checks beyond "no crash":
//   - a read-only open, its reads and its close leave image and side file as
//     they were; a refused open of either kind changes neither; a writable
//     open that writes nothing at most cuts a torn tail (and sets the header);
//   - one read over the image, block reads and unaligned reads agree, and no
//     record is reported longer than the format allows;
//   - on an image whose records are whole and end the file and whose pack
//     method is known, an appended block
//     reads back after a reopen, the earlier data is unchanged, and the finish
//     step (trailer written, side file removed) keeps both readable.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "libkxz/kxz.h"
#include "libkxz/kxz_format.h"
#include "libpack/pack.h"
#include "libpal/os/os_fileutil.h"

namespace {

using fuzz::read_file;
using fuzz::write_file;

constexpr int64_t k_read_cap = 256 * 1024;        // bytes of an image read in one run
constexpr int64_t k_read_blocks = 64;             // and blocks
constexpr uint32_t k_read_block_cap = 1u << 20;   // larger blocks: open and close only
constexpr uint32_t k_write_block_cap = 64 * 1024;  // larger blocks: no append

constexpr uint32_t k_ro = OS_PF_RDONLY;
constexpr uint32_t k_append = OS_PF_RDWR | OS_PF_APPEND;

struct image_guard {
    kxz_image* p;
    ~image_guard() {
        if (p) kxz_close(p);
    }
};

// The whole readable length of an image in one read: the bytes, or false
// when the read fails or comes up short.
bool read_all(const std::string& path, int64_t len, std::string* out) {
    verr_info e{};
    image_guard k{kxz_open(path.c_str(), k_ro, &e)};
    if (!k.p) return false;
    out->assign(static_cast<size_t>(len), '\0');
    return len == 0 || kxz_pread(k.p, 0, out->data(), len) == len;
}

// Whether the records of the image are whole, cover file_len exactly, end
// the file and no trailer is named: then an append continues the image.
bool records_end_the_file(const std::string& bytes) {
    if (bytes.size() < KXZ_HEADER_SIZE) return false;
    kxz_header h{};
    uint32_t endian = 0;
    if (kxz_header_decode(reinterpret_cast<const uint8_t*>(bytes.data()), &h, &endian) != 0) return false;
    if (h.block_len == 0 || h.block_len > k_write_block_cap || h.file_len < 0 || h.off_cache != 0) return false;
    const uint64_t blocks = (static_cast<uint64_t>(h.file_len) + h.block_len - 1) / h.block_len;
    uint64_t pos = KXZ_HEADER_SIZE;
    for (uint64_t b = 0; b < blocks; b++) {
        if (pos + 4 > bytes.size()) return false;
        const uint64_t zlen = fuzz::get_uint(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, 4, endian == 1);
        if (zlen == 0 || zlen > 2ull * h.block_len) return false;
        pos += kxz_record_size(zlen);
    }
    return pos == bytes.size();
}

void check_reads(const std::string& img, const std::string& side, const uint8_t* data, size_t size) {
    const std::string img0 = read_file(img), side0 = read_file(side);
    verr_info e{};
    image_guard k{kxz_open(img.c_str(), k_ro, &e)};
    if (!k.p) {
        FUZZ_CHECK(e.code != 0);
        FUZZ_CHECK(read_file(img) == img0 && read_file(side) == side0);
        return;
    }
    const int64_t size_all = kxz_size(k.p);
    const uint32_t bl = kxz_get_block_len(k.p);
    FUZZ_CHECK(size_all >= 0);
    if (kxz_is_new(k.p))  // an empty file: a new image, no block length yet
        FUZZ_CHECK(size_all == 0 && img0.empty());
    else
        FUZZ_CHECK(bl >= 1 && bl <= KXZ_MAX_BLOCK_LEN);
    if (bl >= 1 && bl <= k_read_block_cap) {
        // At most k_read_blocks records: tiny blocks would make one input take seconds.
        const int64_t len = std::min({size_all, k_read_cap, static_cast<int64_t>(bl) * k_read_blocks});
        // One read over everything.
        std::string whole(static_cast<size_t>(len), '\0');
        const int64_t got = len ? kxz_pread(k.p, 0, whole.data(), len) : 0;
        FUZZ_CHECK(got >= -1 && got <= len);
        // Block by block, on an open of its own.
        verr_info e2{};
        image_guard k2{kxz_open(img.c_str(), k_ro, &e2)};
        FUZZ_CHECK(k2.p != nullptr);
        std::vector<char> block(bl);
        for (int64_t off = 0; off < len; off += bl) {
            const int64_t n = kxz_pread_block(k2.p, off, block.data(), bl);
            FUZZ_CHECK(n >= -1 && n <= bl);
            if (n <= 0) continue;
            FUZZ_CHECK(n == std::min<int64_t>(bl, size_all - off));
            const int64_t cmp = std::min(n, len - off);
            if (got == len) FUZZ_CHECK(memcmp(block.data(), whole.data() + off, static_cast<size_t>(cmp)) == 0);
        }
        // Packed records at the walker's position: never longer than the format allows.
        std::vector<char> packed(2 * static_cast<size_t>(bl));
        for (int i = 0; i < 8; i++) {
            int64_t zlen = -1;
            const int64_t n = kxz_preadz(k2.p, -1, packed.data(), static_cast<int64_t>(packed.size()), &zlen);
            if (n <= 0) break;
            FUZZ_CHECK(n <= bl && zlen >= 0 && zlen <= 2 * static_cast<int64_t>(bl));
        }
        // Unaligned reads (head and tail through the kept block) agree with the whole.
        if (got == len && len > 0) {
            const uint64_t pick = size >= 4 ? fuzz::get_uint(data + size - 4, 4, false) : 7;
            const int64_t off = static_cast<int64_t>(pick % static_cast<uint64_t>(len));
            const int64_t want = std::min<int64_t>(len - off, static_cast<int64_t>(bl) + 3);
            std::string part(static_cast<size_t>(want), '\0');
            const int64_t n = kxz_pread(k.p, off, part.data(), want);
            if (n == want) FUZZ_CHECK(part == whole.substr(static_cast<size_t>(off), static_cast<size_t>(want)));
            FUZZ_CHECK(n >= -1 && n <= want);
        }
    }
    kxz_close(k.p);
    k.p = nullptr;
    FUZZ_CHECK(read_file(img) == img0);
    FUZZ_CHECK(read_file(side) == side0);
}

void check_append(const std::string& img, const std::string& side, uint8_t flags, const uint8_t* data, size_t size) {
    const std::string img0 = read_file(img), side0 = read_file(side);
    verr_info e{};
    image_guard k{kxz_open(img.c_str(), k_append, &e)};
    if (!k.p) {
        FUZZ_CHECK(e.code != 0);
        FUZZ_CHECK(read_file(img) == img0 && read_file(side) == side0);
        return;
    }
    const int64_t len0 = kxz_size(k.p);
    const uint32_t bl = kxz_get_block_len(k.p);
    // A pack method the packer does not know fails every write (the image stays as it is).
    const uint32_t method = kxz_get_pack_type(k.p);
    const bool appendable = !kxz_is_new(k.p) && kxz_type_code(k.p) == 2 && !(flags & 0x01) &&
                            (method == PACK_NONE || method == PACK_LZ4) &&
                            records_end_the_file(img0) && len0 <= k_read_cap &&
                            len0 <= static_cast<int64_t>(bl) * k_read_blocks;
    std::string before;
    if (!appendable || !read_all(img, len0, &before)) {
        // An open for writing that writes nothing may only recover the image:
        // cut a torn tail behind the last whole record and set the header's
        // length; every record byte before the cut stays as it was.
        kxz_close(k.p);
        k.p = nullptr;
        const std::string now = read_file(img);
        FUZZ_CHECK(now.size() <= img0.size());
        if (img0.size() > KXZ_HEADER_SIZE)
            FUZZ_CHECK(now.size() >= KXZ_HEADER_SIZE &&
                       now.compare(KXZ_HEADER_SIZE, std::string::npos, img0, KXZ_HEADER_SIZE,
                                   now.size() - KXZ_HEADER_SIZE) == 0);
        return;
    }
    // A block made of the input, repeated to the block length.
    std::string add(bl - ((flags & 0x02) && bl > 1 ? 1 : 0), '\0');
    for (size_t i = 0; i < add.size(); i++) add[i] = static_cast<char>(size ? data[i % size] ^ (i >> 8) : i);
    const int64_t n = kxz_pwrite(k.p, -1, add.data(), static_cast<int64_t>(add.size()));
    FUZZ_CHECK(n == static_cast<int64_t>(add.size()));
    FUZZ_CHECK(kxz_size(k.p) == len0 + n);
    kxz_close(k.p);
    k.p = nullptr;

    std::string after;
    FUZZ_CHECK(read_all(img, len0 + n, &after));
    FUZZ_CHECK(after == before + add);

    // The finish step: the index becomes the trailer, the side file goes.
    k.p = kxz_open(img.c_str(), k_append, &e);
    FUZZ_CHECK(k.p != nullptr);
    FUZZ_CHECK(kxz_woff_cache_write_to_file(k.p) == 0);
    kxz_close(k.p);
    k.p = nullptr;
    FUZZ_CHECK(access(side.c_str(), F_OK) != 0);
    std::string finished;
    FUZZ_CHECK(read_all(img, len0 + n, &finished));
    FUZZ_CHECK(finished == after);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string img = fuzz::scratch("f.kxz");
    const std::string side = img + "_off";
    uint8_t flags = 0;
    const uint8_t* image = data;
    size_t image_len = size;
    fuzz::remove_file(side);
    if (size >= 3) {
        flags = data[0];
        const size_t n = std::min<size_t>(fuzz::get_uint(data + 1, 2, false), size - 3);
        if (flags & 0x01) write_file(side, data + 3, n);
        image = data + 3 + n;
        image_len = size - 3 - n;
    }
    write_file(img, image, image_len);
    check_reads(img, side, data, size);
    check_append(img, side, flags, data, size);
    return 0;
}
