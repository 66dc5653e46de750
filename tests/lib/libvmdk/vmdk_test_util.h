// Fixtures for the VMDK writer tests: an independent reader of the images it
// writes, data patterns, and the external image tool when it is installed.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "libvmdk/libvmdk.h"
#include "support/proc.h"

inline uint64_t get_le(const std::string& b, size_t off, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(b.at(off + i))) << (8 * i);
    return v;
}

inline void put_le(std::string& b, size_t off, size_t width, uint64_t v) {
    for (size_t i = 0; i < width; ++i) b.at(off + i) = static_cast<char>((v >> (8 * i)) & 0xff);
}

// The header fields of an image file.
struct vmdk_head {
    std::string magic;
    uint32_t version, flags, gtes;
    uint64_t capacity, grain, desc_off, desc_size, rgd, gd, overhead;
    uint16_t alg;
    uint64_t done;
    uint32_t next_free;
    uint8_t level;
    std::string nl;
};

inline vmdk_head parse_head(const std::string& f) {
    vmdk_head h{};
    h.magic = f.substr(0, 4);
    h.version = static_cast<uint32_t>(get_le(f, 4, 4));
    h.flags = static_cast<uint32_t>(get_le(f, 8, 4));
    h.capacity = get_le(f, 12, 8);
    h.grain = get_le(f, 20, 8);
    h.desc_off = get_le(f, 28, 8);
    h.desc_size = get_le(f, 36, 8);
    h.gtes = static_cast<uint32_t>(get_le(f, 44, 4));
    h.rgd = get_le(f, 48, 8);
    h.gd = get_le(f, 56, 8);
    h.overhead = get_le(f, 64, 8);
    h.nl = f.substr(73, 4);
    h.alg = static_cast<uint16_t>(get_le(f, 77, 2));
    h.done = get_le(f, 79, 8);
    h.next_free = static_cast<uint32_t>(get_le(f, 87, 4));
    h.level = static_cast<uint8_t>(f.at(91));
    return h;
}

// What the image holds, read through its directory, tables and markers
// (capacity x 512 bytes); fails the test on anything malformed. markers
// counts the grains stored.
inline std::string read_back(const std::string& f, size_t* markers = nullptr) {
    vmdk_head h = parse_head(f);
    std::string out(h.capacity * 512, 0);
    uint64_t grain_bytes = h.grain * 512;
    uint64_t grains = (h.capacity + h.grain - 1) / h.grain;
    size_t n = 0;
    for (uint64_t g = 0; g < grains; ++g) {
        uint64_t t = g / h.gtes;
        uint64_t table = get_le(f, h.gd * 512 + t * 4, 4);
        uint64_t e = get_le(f, table * 512 + (g % h.gtes) * 4, 4);
        if (e == 0) continue;
        ++n;
        EXPECT_GE(e, h.overhead);
        size_t at = e * 512;
        EXPECT_EQ(get_le(f, at, 8), g * h.grain) << "marker of grain " << g;
        uint32_t clen = static_cast<uint32_t>(get_le(f, at + 8, 4));
        EXPECT_LE(at + 12 + clen, f.size());
        uLongf len = grain_bytes;
        std::string buf(grain_bytes, 0);
        int rc = uncompress(reinterpret_cast<Bytef*>(buf.data()), &len,
                            reinterpret_cast<const Bytef*>(f.data() + at + 12), clen);
        EXPECT_EQ(rc, Z_OK) << "grain " << g;
        uint64_t room = std::min<uint64_t>(grain_bytes, out.size() - g * grain_bytes);
        EXPECT_EQ(len, room) << "grain " << g;
        out.replace(g * grain_bytes, std::min<uint64_t>(len, room), buf.substr(0, std::min<uint64_t>(len, room)));
    }
    if (markers) *markers = n;
    return out;
}

// Random bytes with some all-zero grains, of a fixed seed.
inline std::string pattern_data(size_t size, uint32_t seed, int zero_every = 3) {
    std::mt19937 rng(seed);
    std::string d(size, 0);
    for (size_t i = 0; i < size; ++i) {
        size_t grain = i / 65536;
        if (zero_every > 0 && grain % zero_every == 1) continue;
        d[i] = static_cast<char>(rng() & 0xff);
    }
    return d;
}

// The image tool of the tests; an empty text when it is missing and a skip
// is allowed (under CI it must be there).
inline std::string image_tool() {
    proc_result r;
    try {
        r = run_proc({"qemu-img", "--version"});
    } catch (...) {
        r.status = -1;
    }
    if (r.status == 0) return "qemu-img";
    return {};
}

#define REQUIRE_IMAGE_TOOL()                                                   \
    do {                                                                       \
        if (image_tool().empty()) {                                            \
            if (getenv("CI")) FAIL() << "qemu-img (qemu-utils) is required";   \
            GTEST_SKIP() << "qemu-img (qemu-utils) is not installed";          \
        }                                                                      \
    } while (0)

// The image converted to raw by the external tool, or a text starting "!"
// with the tool's message when it refuses the image.
inline std::string tool_to_raw(const std::string& img, const std::string& raw) {
    proc_result r = run_proc({"qemu-img", "convert", "-f", "vmdk", "-O", "raw", img, raw});
    if (r.status != 0) return "!" + r.err;
    return read_file(raw);
}

inline proc_result tool_check(const std::string& img) { return run_proc({"qemu-img", "check", "-f", "vmdk", img}); }
