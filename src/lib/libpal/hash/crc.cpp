#include "libpal/hash/crc.h"

#include <array>

#include "libpal/basic/pl_assert.h"

namespace {

constexpr uint16_t swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Entry n: the most-significant-bit-first remainder of n << 8 by 0x8005,
// with its two bytes exchanged (entries 1, 2, 3 are 0x0580, 0x0F80, 0x0A00).
constexpr std::array<uint16_t, 256> make_crc16_table() {
    std::array<uint16_t, 256> t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t r = n << 8;
        for (int bit = 0; bit < 8; bit++) r = (r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1;
        t[n] = swap16(static_cast<uint16_t>(r));
    }
    return t;
}

constexpr auto k_crc16_table = make_crc16_table();
static_assert(k_crc16_table[1] == 0x0580 && k_crc16_table[2] == 0x0F80 && k_crc16_table[3] == 0x0A00);

}  // namespace

int32_t hash_crc16(const void* data, size_t length, uint32_t init) {
    if (length && !PL_CHECK("pal", data)) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t r = init;
    for (size_t i = 0; i < length; i++) r = (r >> 8) ^ k_crc16_table[(r ^ p[i]) & 0xff];
    return static_cast<int32_t>(r & 0xffff);
}
