// Fixtures of the partition table tests: tools that make real tables, images
// crafted byte by byte, and the volume list as plain rows.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libblock/bd.h"
#include "libpart/part.h"
#include "support/proc.h"

namespace part_test {

constexpr uint64_t k_sector = 512;

// Full path of a program in PATH or the system directories; empty when absent.
inline std::string find_tool(const std::string& name) {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        std::string p = dirs.substr(pos, end - pos) + "/" + name;
        if (end > pos && access(p.c_str(), X_OK) == 0) return p;
        pos = end + 1;
    }
    return {};
}

// n sectors, each starting with its index (8 bytes, little-endian) and
// filled with the index's low byte: any window shows where it starts.
inline std::string sector_data(uint64_t n) {
    std::string d(n * k_sector, '\0');
    for (uint64_t i = 0; i < n; ++i) {
        memset(&d[i * k_sector], static_cast<int>(i & 0xff) ^ 0x5a, k_sector);
        memcpy(&d[i * k_sector], &i, sizeof i);
    }
    return d;
}

inline uint64_t index_at(const std::string& d, uint64_t off) {
    uint64_t v = 0;
    memcpy(&v, d.data() + off, sizeof v);
    return v;
}

inline void put_le16(std::string& d, size_t off, uint16_t v) {
    for (int i = 0; i < 2; ++i) d[off + i] = static_cast<char>(v >> (8 * i));
}
inline void put_le32(std::string& d, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[off + i] = static_cast<char>(v >> (8 * i));
}
inline void put_le64(std::string& d, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) d[off + i] = static_cast<char>(v >> (8 * i));
}
inline void put_be16(std::string& d, size_t off, uint16_t v) {
    for (int i = 0; i < 2; ++i) d[off + i] = static_cast<char>(v >> (8 * (1 - i)));
}
inline void put_be32(std::string& d, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[off + i] = static_cast<char>(v >> (8 * (3 - i)));
}
inline uint32_t get_be32(const std::string& d, size_t off) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(d[off + i]);
    return v;
}

// One MBR-style entry of the table at sector table, and the table's signature.
inline void mbr_entry(std::string& d, uint64_t table, int idx, uint8_t type, uint32_t start, uint32_t count,
                      uint8_t boot = 0) {
    size_t t = table * k_sector;
    if (d[t + 510] != '\x55' || d[t + 511] != '\xaa') memset(&d[t + 446], 0, 64);  // a new table: no entries yet
    size_t e = t + 446 + 16 * static_cast<size_t>(idx);
    d[e] = static_cast<char>(boot);
    d[e + 4] = static_cast<char>(type);
    put_le32(d, e + 8, start);
    put_le32(d, e + 12, count);
    d[t + 510] = '\x55';
    d[t + 511] = '\xaa';
}

// Sets the checksum word (offset 8) of a big-endian block so that its first
// n words (n at offset 4) sum to 0.
inline void amiga_checksum(std::string& d, size_t block) {
    put_be32(d, block + 8, 0);
    uint32_t n = get_be32(d, block + 4);
    if (n > 128) n = 128;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += get_be32(d, block + 4 * i);
    put_be32(d, block + 8, 0u - sum);
}

// An Amiga RDSK block at sector s whose partition list starts at block head.
inline void amiga_rdsk(std::string& d, uint64_t s, uint32_t head) {
    size_t b = s * k_sector;
    memcpy(&d[b], "RDSK", 4);
    put_be32(d, b + 4, 64);
    put_be32(d, b + 28, head);
    amiga_checksum(d, b);
}

// An Amiga PART block at sector s: cylinders low..high of heads x sectors, next block.
inline void amiga_part(std::string& d, uint64_t s, uint32_t next, uint32_t heads, uint32_t sectors, uint32_t low,
                       uint32_t high) {
    size_t b = s * k_sector;
    memset(&d[b], 0, k_sector);
    memcpy(&d[b], "PART", 4);
    put_be32(d, b + 4, 64);
    put_be32(d, b + 16, next);
    put_be32(d, b + 140, heads);
    put_be32(d, b + 148, sectors);
    put_be32(d, b + 164, low);
    put_be32(d, b + 168, high);
    amiga_checksum(d, b);
}

// A GPT header at device sector lba pointing to count entries of esize bytes at array_lba.
inline void gpt_header(std::string& d, uint64_t lba, uint64_t array_lba, uint32_t count, uint32_t esize) {
    size_t h = lba * k_sector;
    memcpy(&d[h], "EFI PART", 8);
    put_le64(d, h + 72, array_lba);
    put_le32(d, h + 80, count);
    put_le32(d, h + 84, esize);
}

// GPT entry idx: a non-zero type, LBAs first..last and an ASCII name.
inline void gpt_entry(std::string& d, size_t array_off, uint32_t esize, uint32_t idx, uint64_t first, uint64_t last,
                      const std::string& name = {}) {
    size_t e = array_off + static_cast<size_t>(idx) * esize;
    memset(&d[e], 0, esize);
    d[e] = '\x11';
    put_le64(d, e + 32, first);
    put_le64(d, e + 40, last);
    for (size_t i = 0; i < name.size() && i < 36; ++i) put_le16(d, e + 56 + 2 * i, static_cast<uint8_t>(name[i]));
}

struct vol_row {
    uint64_t start;
    uint64_t size;
    std::string name;
    bool operator==(const vol_row& o) const { return start == o.start && size == o.size && name == o.name; }
};

inline std::ostream& operator<<(std::ostream& os, const vol_row& v) {
    return os << "{" << v.start << ", " << v.size << ", \"" << v.name << "\"}";
}

// libpart_get's answer as plain values.
struct listing {
    int rc = -99;
    std::string err;
    std::vector<vol_row> vols;
    std::string scheme;
    uint32_t code = 99;
    uint32_t sector_size = 0;
    uint64_t image_size = 0;
};

inline listing list_of(const std::string& url, uint32_t oflag = LIBPART_OFLAG) {
    listing out;
    part_list l{};
    char err[VERR_MSG_SIZE] = "";
    out.rc = libpart_get(url.c_str(), &l, err, oflag);
    out.err = err;
    if (out.rc == 0) {
        for (uint32_t i = 0; i < l.count; ++i) out.vols.push_back({l.vols[i].start, l.vols[i].size, l.vols[i].name});
        out.scheme = l.scheme_name;
        out.code = l.scheme;
        out.sector_size = l.sector_size;
        out.image_size = l.image_size;
    }
    part_list_free(&l);
    return out;
}

// The block layer started for every test.
class PartTest : public testing::Test {
protected:
    void SetUp() override { bd_init2(); }
    temp_dir dir;
};

}  // namespace part_test
