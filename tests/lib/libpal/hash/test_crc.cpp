#include "libpal/hash/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/log_capture.h"

namespace {

uint16_t swap16(uint32_t v) { return static_cast<uint16_t>(((v >> 8) & 0xff) | ((v & 0xff) << 8)); }

// Bit-by-bit CRC-16/0x8005, most significant bit first, no reflection, no
// final XOR (the UMTS variant when init is 0).
uint16_t crc16_msb_bitwise(const uint8_t* p, size_t n, uint16_t init) {
    uint16_t r = init;
    for (size_t i = 0; i < n; i++) {
        r ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; b++) r = (r & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x8005) : static_cast<uint16_t>(r << 1);
    }
    return r;
}

TEST(Crc16, CheckValueOfTheNineDigits) {
    EXPECT_EQ(hash_crc16("123456789", 9, 0), 0xE8FE);
    EXPECT_EQ(crc16_msb_bitwise(reinterpret_cast<const uint8_t*>("123456789"), 9, 0), 0xFEE8);
}

TEST(Crc16, EmptyInputGivesTheInitialValue) {
    EXPECT_EQ(hash_crc16("", 0, 0), 0);
    EXPECT_EQ(hash_crc16(nullptr, 0, 0x1234), 0x1234);
}

// The register holds its bytes exchanged: the result is the plain
// CRC-16/0x8005 of the exchanged initial value, exchanged again.
TEST(Crc16, EqualsTheByteExchangedPlainCrc) {
    std::vector<uint8_t> data(300);
    uint32_t x = 0x9e3779b9;
    for (auto& b : data) {
        x = x * 1664525 + 1013904223;
        b = static_cast<uint8_t>(x >> 24);
    }
    for (size_t len : {size_t{1}, size_t{2}, size_t{16}, size_t{255}, size_t{300}}) {
        for (uint32_t init : {0x0000u, 0x0001u, 0xFFFFu, 0xA55Au}) {
            SCOPED_TRACE(testing::Message() << "len=" << len << " init=" << init);
            uint16_t expect = swap16(crc16_msb_bitwise(data.data(), len, swap16(init)));
            EXPECT_EQ(hash_crc16(data.data(), len, init), expect);
        }
    }
}

TEST(Crc16, SplitInputContinuesFromThePreviousResult) {
    const char* text = "the quick brown fox jumps over the lazy dog";
    size_t n = strlen(text);
    int32_t whole = hash_crc16(text, n, 0);
    int32_t first = hash_crc16(text, 10, 0);
    EXPECT_EQ(hash_crc16(text + 10, n - 10, static_cast<uint32_t>(first)), whole);
}

TEST(Crc16, MissingDataIsAFailedCheck) {
    log_capture cap;
    EXPECT_EQ(hash_crc16(nullptr, 4, 0), 0);
    EXPECT_TRUE(cap.contains("expr[data]: assert failed"));
}

// The catalogue check values of the nine ASCII digits, from 0.
TEST(Crc, CheckValuesOfTheNineDigits) {
    const char* d = "123456789";
    EXPECT_EQ(hash_crc8(d, 9, 0) & 0xff, 0xF4u);
    EXPECT_EQ(hash_crc32(d, 9, 0), 0xCBF43926u);
    EXPECT_EQ(hash_crc64(d, 9, 0), 0xE9C6D914C4B8D9CAull);
}

// Bit-by-bit forms of the same definitions, for inputs the catalogue does
// not list: different initial values, every byte value, odd lengths.
uint8_t crc8_bitwise(const uint8_t* p, size_t n, uint8_t r) {
    for (size_t i = 0; i < n; i++) {
        r ^= p[i];
        for (int b = 0; b < 8; b++) r = (r & 0x80) ? static_cast<uint8_t>((r << 1) ^ 0x07) : static_cast<uint8_t>(r << 1);
    }
    return r;
}

uint32_t crc32_bitwise(const uint8_t* p, size_t n, uint32_t crc) {
    uint32_t r = ~crc;
    for (size_t i = 0; i < n; i++) {
        r ^= p[i];
        for (int b = 0; b < 8; b++) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return ~r;
}

// Jones's polynomial 0xAD93D23594C935A9, reflected through bit reversal.
uint64_t crc64_bitwise(const uint8_t* p, size_t n, uint64_t r) {
    uint64_t poly = 0;
    for (int b = 0; b < 64; b++)
        if (0xAD93D23594C935A9ull >> b & 1) poly |= 1ull << (63 - b);
    for (size_t i = 0; i < n; i++) {
        r ^= p[i];
        for (int b = 0; b < 8; b++) r = (r & 1) ? (r >> 1) ^ poly : r >> 1;
    }
    return r;
}

TEST(Crc, TablesAgreeWithTheBitwiseDefinitions) {
    std::vector<uint8_t> data(777);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
    for (size_t len : {size_t{1}, size_t{7}, size_t{256}, size_t{777}}) {
        for (uint64_t init : {0x0ull, 0x5Aull, 0xFFFFFFFFull, 0x0123456789ABCDEFull}) {
            SCOPED_TRACE(testing::Message() << "len=" << len << " init=" << init);
            EXPECT_EQ(hash_crc8(data.data(), static_cast<int64_t>(len), static_cast<int32_t>(init & 0xff)),
                      crc8_bitwise(data.data(), len, static_cast<uint8_t>(init)));
            EXPECT_EQ(hash_crc32(data.data(), len, static_cast<uint32_t>(init)),
                      crc32_bitwise(data.data(), len, static_cast<uint32_t>(init)));
            EXPECT_EQ(hash_crc64(data.data(), len, init), crc64_bitwise(data.data(), len, init));
        }
    }
}

TEST(Crc, Crc8OfASmallRecord) {
    const uint8_t rec[4] = {0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(hash_crc8(rec, 4, 0), 0x6Bu);
}

TEST(Crc, Crc32ContinuesFromAPreviousResult) {
    uint32_t first = hash_crc32("12345", 5, 0);
    EXPECT_EQ(hash_crc32("6789", 4, first), 0xCBF43926u);
    EXPECT_EQ(hash_crc32("", 0, first), first);
    uint64_t first64 = hash_crc64("12345", 5, 0);
    EXPECT_EQ(hash_crc64("6789", 4, first64), 0xE9C6D914C4B8D9CAull);
}

TEST(Crc, MissingDataIsAFailedCheck) {
    log_capture cap;
    EXPECT_EQ(hash_crc8(nullptr, 4, 0x33), 0u);
    EXPECT_TRUE(cap.contains("expr[data]: assert failed")) << cap.all();
    EXPECT_EQ(hash_crc32(nullptr, 4, 0x1234), 0x1234u);
    EXPECT_EQ(hash_crc64(nullptr, 4, 77), 77u);
    EXPECT_EQ(hash_crc32(nullptr, 0, 0x1234), 0x1234u) << "no bytes, nothing to read";
}

}  // namespace
