// Fixtures of the compressed-image tests: data with per-block markers,
// images written and read through the block layer, hand-made image bytes,
// and the independent Python reader and writer.
#pragma once

#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libblock/bd.h"
#include "libkxz/kxz.h"
#include "libpack/pack.h"
#include "lib/libblock/img_test_util.h"
#include "libpal/os/os_fileutil.h"
#include "support/proc.h"

namespace kxz_test {

inline constexpr uint32_t k_open_write = OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC | BD_OFLAG_IMAGE;
inline constexpr uint32_t k_open_append = OS_PF_RDWR | OS_PF_CREATE | OS_PF_APPEND | BD_OFLAG_IMAGE;
inline constexpr uint32_t k_open_read = OS_PF_RDONLY | BD_OFLAG_IMAGE;

// n bytes in which every 512-byte piece starts with its own offset, so a
// byte that lands in the wrong place shows; the rest of a piece is text
// (packs well) or, with noise, random bytes (does not).
inline std::string marked_data(size_t n, bool noise = false, uint32_t seed = 1) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (size_t at = 0; at < n; at += 512) {
        size_t len = std::min<size_t>(512, n - at);
        if (noise) {
            for (size_t i = 0; i < len; ++i) s[at + i] = static_cast<char>(gen());
        } else {
            static const char text[] = "the quick brown fox jumps over the lazy dog ";
            for (size_t i = 0; i < len; ++i) s[at + i] = text[i % (sizeof text - 1)];
        }
        uint64_t off = at;
        memcpy(&s[at], &off, std::min<size_t>(8, len));
    }
    return s;
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline uint64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A device closed at the end of the scope.
struct dev_ptr {
    bd_dev* d = nullptr;
    dev_ptr() = default;
    explicit dev_ptr(bd_dev* dev) : d(dev) {}
    ~dev_ptr() { reset(); }
    dev_ptr(const dev_ptr&) = delete;
    dev_ptr& operator=(const dev_ptr&) = delete;
    void reset(bd_dev* dev = nullptr) {
        if (d) bd_close(d);
        d = dev;
    }
    bd_dev* get() const { return d; }
    bd_dev* operator->() const { return d; }
    explicit operator bool() const { return d != nullptr; }
};

// An image of the library closed at the end of the scope.
struct image_ptr {
    kxz_image* p = nullptr;
    explicit image_ptr(kxz_image* img) : p(img) {}
    ~image_ptr() {
        if (p) kxz_close(p);
    }
    image_ptr(const image_ptr&) = delete;
    image_ptr& operator=(const image_ptr&) = delete;
    kxz_image* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// The hand-made bytes of an image, in either byte order.
struct image_bytes {
    bool big = false;
    std::string bytes;

    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            int shift = big ? 8 * (n - 1 - i) : 8 * i;
            bytes += static_cast<char>((v >> shift) & 0xff);
        }
    }
    void set_u64(size_t at, uint64_t v) {
        std::string save;
        save.swap(bytes);
        put(v, 8);
        std::string b = bytes;
        bytes.swap(save);
        bytes.replace(at, 8, b);
    }
    void header(uint32_t pack, uint32_t block_len, int64_t file_len, uint32_t off_blksize = 0x8000000,
                int64_t off_cache = 0, const char* magic = nullptr) {
        bytes.clear();
        bytes += magic ? magic : (big ? "KXZ1" : "KXZ0");
        u16(1);
        u16(0);
        u32(pack);
        u32(block_len);
        u32(512);
        u32(0);
        u64(static_cast<uint64_t>(file_len));
        u32(off_blksize);
        u32(0);
        u64(static_cast<uint64_t>(off_cache));
        bytes += std::string("0123456789abcdef");
    }
    // A record of the given packed bytes; its file offset.
    size_t record(const std::string& z) { return record_len(z, static_cast<uint32_t>(z.size())); }
    // A record whose length words say zlen, whatever the bytes.
    size_t record_len(const std::string& z, uint32_t zlen) {
        size_t at = bytes.size();
        u32(zlen);
        bytes += z;
        bytes += std::string((4 - z.size() % 4) % 4, '\0');
        u32(zlen);
        return at;
    }
    void trailer(const std::vector<uint64_t>& entries) {
        u32(0x80000000u | static_cast<uint32_t>(entries.size() * 8));
        for (uint64_t e : entries) u64(e);
        u32(0x80000000u | static_cast<uint32_t>(entries.size() * 8));
    }
};

inline std::string lz4_block(const std::string& in) {
    std::string out(LZ4_compressBound(static_cast<int>(in.size())), '\0');
    int n = LZ4_compress_default(in.data(), out.data(), static_cast<int>(in.size()), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// Byte-for-byte equality, reported by the first difference (not by dumping
// megabytes).
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                         << ", first difference at byte " << i;
}

// ---- the Python oracle (python3-lz4 under /usr/bin/python3)

struct oracle_result {
    int status = -1;
    std::string json;
    std::string err;
    // A numeric field of the JSON answer; -1 when absent.
    long long num(const std::string& key) const {
        size_t p = json.find("\"" + key + "\": ");
        return p == std::string::npos ? -1 : std::stoll(json.substr(p + key.size() + 4));
    }
    // A list field as its text, e.g. "[1, 2]".
    std::string list(const std::string& key) const {
        size_t p = json.find("\"" + key + "\": [");
        if (p == std::string::npos) return "";
        size_t b = p + key.size() + 4;
        return json.substr(b, json.find(']', b) - b + 1);
    }
    std::string str(const std::string& key) const {
        size_t p = json.find("\"" + key + "\": \"");
        if (p == std::string::npos) return "";
        size_t b = p + key.size() + 5;
        return json.substr(b, json.find('"', b) - b);
    }
};

inline std::string oracle_script() { return std::string(KXDD_TEST_SOURCE_DIR) + "/kxz_oracle.py"; }

inline bool oracle_available() {
    static int ok = -1;
    if (ok < 0) {
        proc_result r;
        try {
            r = run_proc({"/usr/bin/python3", "-c", "import lz4.block"});
        } catch (...) {
            r.status = -1;
        }
        ok = r.status == 0;
    }
    return ok == 1;
}

// Skips the test (fails it under CI) without the oracle.
#define KXZ_NEED_ORACLE() IMG_REQUIRE(::kxz_test::oracle_available(), std::string("/usr/bin/python3 with lz4"))

// Reads an image with the oracle; out gets the unpacked data.
inline oracle_result oracle_read(const std::string& image, std::string* out) {
    std::string tmp = image + ".oracle_out";
    proc_result r = run_proc({"/usr/bin/python3", oracle_script(), "read", image, tmp});
    oracle_result o{r.status, r.out, r.err};
    if (out) *out = r.status == 0 ? read_file(tmp) : "";
    unlink(tmp.c_str());
    return o;
}

// Writes raw data as an image with the oracle.
inline int oracle_write(const std::string& data, const std::string& image, uint32_t block_len, uint32_t pack,
                        int endian, uint32_t off_blksize, bool trailer) {
    std::string raw = image + ".raw";
    write_file(raw, data);
    proc_result r = run_proc({"/usr/bin/python3", oracle_script(), "write", raw, image, std::to_string(block_len),
                              std::to_string(pack), std::to_string(endian), std::to_string(off_blksize),
                              trailer ? "1" : "0"});
    unlink(raw.c_str());
    return r.status;
}

// ---- the block layer

// Parameters of a new image set the way the copy engine sets them.
inline int set_params(bd_dev* dev, uint32_t pack, uint64_t block_len, uint32_t sector_size = 512) {
    bd_pack_param p{};
    if (bd_get_pack_param(dev, &p) != 0) return -1;
    p.pack_type = pack;
    p.block_len = block_len;
    p.sector_size = sector_size;
    return bd_set_pack_param(dev, &p);
}

// Appends data block by block at the current position.
inline ::testing::AssertionResult append_blocks(bd_dev* dev, const std::string& data, uint64_t block_len) {
    for (size_t at = 0; at < data.size(); at += block_len) {
        auto n = static_cast<int64_t>(std::min<uint64_t>(block_len, data.size() - at));
        int64_t w = bd_write(dev, data.data() + at, n);
        if (w != n)
            return ::testing::AssertionFailure()
                   << "write at " << at << " gave " << w << ": " << bd_errmsg(dev);
    }
    return ::testing::AssertionSuccess();
}

// Reads a device from its start to its end with reads of len bytes.
inline std::string read_all(bd_dev* dev, int64_t len = 1 << 20) {
    std::string out;
    std::string buf(static_cast<size_t>(len), '\0');
    for (int64_t off = 0;; off += len) {
        int64_t n = bd_pread(dev, buf.data(), len, off);
        if (n <= 0) break;
        out.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

}  // namespace kxz_test

namespace kxz_test {

// A started block layer and a temporary directory.
class KxzFixture : public ::testing::Test {
protected:
    void SetUp() override { bd_init2(); }
    std::string path(const std::string& name) const { return dir.file(name); }
    bd_dev* open(const std::string& p, uint32_t flags) {
        err = verr_info{};
        return bd_open_err(p.c_str(), flags, &err);
    }
    // Writes data as a new image through the block layer.
    void make_image(const std::string& p, const std::string& data, uint32_t pack, uint64_t block_len,
                    bool finish = true) {
        dev_ptr d(open(p, k_open_write));
        ASSERT_TRUE(d) << verr_msg(&err);
        ASSERT_EQ(set_params(d.get(), pack, block_len), 0) << bd_errmsg(d.get());
        ASSERT_TRUE(append_blocks(d.get(), data, block_len));
        if (finish) {
            ASSERT_EQ(bd_ioctl(d.get(), BLOCK_FINISH, nullptr, 0), 0) << bd_errmsg(d.get());
        }
    }
    std::string read_image(const std::string& p) {
        dev_ptr d(open(p, k_open_read));
        EXPECT_TRUE(d) << verr_msg(&err);
        return d ? read_all(d.get()) : std::string();
    }
    temp_dir dir;
    verr_info err{};
};

}  // namespace kxz_test
