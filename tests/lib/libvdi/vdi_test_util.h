// Fixtures of the VDI tests: images made by qemu-img, and images built
// byte by byte (for the layouts and the damage no tool writes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/libblock/img_test_util.h"
#include "libpal/os/os_fileutil.h"
#include "libvdi/vdi.h"

namespace vdi_test {

inline void put_le32(std::string& d, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[off + i] = static_cast<char>(v >> (8 * i));
}
inline void put_le64(std::string& d, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) d[off + i] = static_cast<char>(v >> (8 * i));
}

// An image built by hand: the map's entries and the stored blocks in file order.
struct layout {
    uint64_t disk_size;
    uint32_t block_size;
    std::vector<uint32_t> map;
    std::vector<std::string> stored;  // block_size bytes each
};

inline uint32_t map_offset() { return 512; }
inline uint32_t data_offset(const layout& l) {
    return (map_offset() + static_cast<uint32_t>(l.map.size()) * 4 + 511) / 512 * 512;
}

inline std::string build(const layout& l) {
    std::string f(data_offset(l), '\0');
    const char text[] = "<<< Oracle VM VirtualBox Disk Image >>>\n";
    memcpy(&f[0], text, sizeof text - 1);
    put_le32(f, VDI_OFF_SIGNATURE, VDI_SIGNATURE);
    put_le32(f, 0x44, 0x00010001);  // version 1.1
    put_le32(f, 0x48, 0x190);       // header size
    put_le32(f, VDI_OFF_IMAGE_TYPE, 1);
    put_le32(f, VDI_OFF_MAP, map_offset());
    put_le32(f, VDI_OFF_DATA, data_offset(l));
    put_le32(f, 0x168, 512);
    put_le64(f, VDI_OFF_DISK_SIZE, l.disk_size);
    put_le32(f, VDI_OFF_BLOCK_SIZE, l.block_size);
    put_le32(f, VDI_OFF_BLOCKS, static_cast<uint32_t>(l.map.size()));
    put_le32(f, VDI_OFF_ALLOCATED, static_cast<uint32_t>(l.stored.size()));
    f[0x188] = 1;  // the image's own UUID, never null
    for (size_t i = 0; i < l.map.size(); ++i) put_le32(f, map_offset() + 4 * i, l.map[i]);
    for (const auto& b : l.stored) f += b;
    return f;
}

// A block of the given byte.
inline std::string block_of(uint32_t size, char c) { return std::string(size, c); }

// A vdi_open that closes at the end of the scope.
struct vdi_ptr {
    vdi_ctx* v = nullptr;
    verr_info err{};
    vdi_ptr(const std::string& path, uint32_t oflag = 1) { v = vdi_open(path.c_str(), oflag, &err); }
    ~vdi_ptr() {
        if (v) vdi_close(v);
    }
    vdi_ptr(const vdi_ptr&) = delete;
    vdi_ptr& operator=(const vdi_ptr&) = delete;
    vdi_ctx* get() const { return v; }
    explicit operator bool() const { return v != nullptr; }
};

// len bytes from off through seek and read; the read's result in *rc.
inline std::string read_at(vdi_ctx* v, int64_t off, int64_t len, int64_t* rc) {
    std::string buf(static_cast<size_t>(len), '\x77');
    if (vdi_seek(v, off, 0) != off) {
        *rc = -2;
        return {};
    }
    *rc = vdi_read(v, buf.data(), len);
    buf.resize(*rc > 0 ? static_cast<size_t>(*rc) : 0);
    return buf;
}

// The whole disk read in pieces of the given size.
inline std::string read_whole(vdi_ctx* v, size_t piece) {
    std::string out;
    std::string buf(piece, '\0');
    if (vdi_size(v) > 0) {
        EXPECT_EQ(vdi_seek(v, 0, 0), 0);
    }
    for (;;) {
        int64_t n = vdi_read(v, buf.data(), static_cast<int64_t>(piece));
        if (n <= 0) {
            EXPECT_EQ(n, 0);
            break;
        }
        out.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

}  // namespace vdi_test
