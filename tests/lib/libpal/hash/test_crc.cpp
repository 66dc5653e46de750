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

}  // namespace
