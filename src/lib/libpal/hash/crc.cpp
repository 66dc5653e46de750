#include "libpal/hash/crc.h"

#include <array>

#include "libpal/basic/pl_assert.h"

namespace {

constexpr uint16_t swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Entry n: the most-significant-bit-first remainder of n by 0x07.
constexpr std::array<uint8_t, 256> make_crc8_table() {
    std::array<uint8_t, 256> t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t r = n;
        for (int bit = 0; bit < 8; bit++) r = (r & 0x80) ? (r << 1) ^ 0x07 : r << 1;
        t[n] = static_cast<uint8_t>(r);
    }
    return t;
}

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

// Entry n of a reflected table: n shifted right eight times through poly.
template <class T>
constexpr std::array<T, 256> make_reflected_table(T poly) {
    std::array<T, 256> t{};
    for (uint32_t n = 0; n < 256; n++) {
        T r = n;
        for (int bit = 0; bit < 8; bit++) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
        t[n] = r;
    }
    return t;
}

constexpr auto k_crc8_table = make_crc8_table();
constexpr auto k_crc16_table = make_crc16_table();
constexpr auto k_crc32_table = make_reflected_table<uint32_t>(0xEDB88320u);
constexpr auto k_crc64_table = make_reflected_table<uint64_t>(0x95AC9329AC4BC9B5ull);
static_assert(k_crc8_table[1] == 0x07 && k_crc8_table[0x80] == 0x89);
static_assert(k_crc16_table[1] == 0x0580 && k_crc16_table[2] == 0x0F80 && k_crc16_table[3] == 0x0A00);
static_assert(k_crc32_table[1] == 0x77073096u && k_crc32_table[255] == 0x2D02EF8Du);
static_assert(k_crc64_table[128] == 0x95AC9329AC4BC9B5ull);

// r = (r >> 8) XOR T[(r XOR b) AND 0xff] over every byte.
template <class T>
constexpr T crc_reflected(const std::array<T, 256>& table, const uint8_t* p, size_t n, T r) {
    for (size_t i = 0; i < n; i++) r = (r >> 8) ^ table[(r ^ p[i]) & 0xff];
    return r;
}

}  // namespace

uint32_t hash_crc8(const void* data, int64_t length, int32_t init) {
    if (!PL_CHECK("pal", data)) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t r = static_cast<uint32_t>(init);
    for (int64_t i = 0; i < length; i++) r = k_crc8_table[(r ^ p[i]) & 0xff];
    return r;
}

int32_t hash_crc16(const void* data, size_t length, uint32_t init) {
    if (length && !PL_CHECK("pal", data)) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t r = init;
    for (size_t i = 0; i < length; i++) r = (r >> 8) ^ k_crc16_table[(r ^ p[i]) & 0xff];
    return static_cast<int32_t>(r & 0xffff);
}

uint32_t hash_crc32(const void* data, size_t length, uint32_t crc) {
    if (length && !PL_CHECK("pal", data)) return crc;
    return ~crc_reflected(k_crc32_table, static_cast<const uint8_t*>(data), length, ~crc);
}

uint64_t hash_crc64(const void* data, size_t length, uint64_t init) {
    if (length && !PL_CHECK("pal", data)) return init;
    return crc_reflected(k_crc64_table, static_cast<const uint8_t*>(data), length, init);
}

int32_t rc4_init(rc4_ctx* ctx, const uint8_t* key, uint64_t key_len) {
    // The schedule takes key[i mod key_len]: an empty key has no bytes to take.
    if (!PL_CHECK("pal", ctx) || !PL_CHECK("pal", key) || !PL_CHECK("pal", key_len > 0)) return -1;
    uint8_t* s = ctx->permutation;
    for (int i = 0; i < 256; i++) s[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    for (int i = 0; i < 256; i++) {
        j = static_cast<uint8_t>(j + s[i] + key[static_cast<uint64_t>(i) % key_len]);
        uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
    }
    return 0;
}

void rc4_crypt(rc4_ctx* ctx, const void* input, void* output, uint64_t length) {
    if (!length) return;
    if (!PL_CHECK("pal", ctx) || !PL_CHECK("pal", input) || !PL_CHECK("pal", output)) return;
    const auto* in = static_cast<const uint8_t*>(input);
    auto* out = static_cast<uint8_t*>(output);
    uint8_t* s = ctx->permutation;
    uint8_t i = 0, j = 0;
    for (uint64_t k = 0; k < length; k++) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + s[i]);
        uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
        out[k] = in[k] ^ s[static_cast<uint8_t>(s[i] + s[j])];
    }
}
