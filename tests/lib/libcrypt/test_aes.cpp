#include "libcrypt/aes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypt_hex.h"
#include "support/proc.h"

namespace {

struct fips_row {
    const char* key_hex;
    const char* plain_hex;
    const char* cipher_hex;
};

// FIPS-197 appendix C (AES-128, -192, -256 of one plaintext) and the
// appendix B example.
const fips_row k_fips[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
};

TEST(Aes, FipsExamplesEncryptAndDecrypt) {
    for (const fips_row& r : k_fips) {
        auto key = from_hex(r.key_hex), plain = from_hex(r.plain_hex);
        SCOPED_TRACE(r.key_hex);
        aes_schedule enc{}, dec{};
        auto len = static_cast<uint32_t>(key.size());
        ASSERT_EQ(aes_setkey_enc(key.data(), len, &enc), 0);
        ASSERT_EQ(aes_setkey_dec(key.data(), len * 8, &dec), 0) << "a length in bits works as well";
        uint8_t out[16], back[16];
        ASSERT_EQ(aes_encrypt_block(plain.data(), out, &enc), 0);
        EXPECT_EQ(to_hex(out, 16), r.cipher_hex);
        ASSERT_EQ(aes_decrypt_block(out, back, &dec), 0);
        EXPECT_EQ(to_hex(back, 16), r.plain_hex);
        // In place.
        ASSERT_EQ(aes_encrypt_block(back, back, &enc), 0);
        EXPECT_EQ(to_hex(back, 16), r.cipher_hex);
    }
}

// The fixed-size entry points and the round bytes of their schedules; the
// last expanded words of FIPS-197 appendix A.
TEST(Aes, SchedulesByKeySize) {
    auto k128 = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
    auto k256 = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    auto k192 = from_hex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b");
    aes_schedule ks{};
    EXPECT_EQ(aes_setkey_enc_128(k128.data(), &ks), 0);
    EXPECT_EQ(ks.rounds16 & 0xff, 160u);
    EXPECT_EQ(ks.rk[43], 0xb6630ca6u);
    EXPECT_EQ(aes_setkey_enc_192(k192.data(), &ks), 0);
    EXPECT_EQ(ks.rounds16 & 0xff, 192u);
    EXPECT_EQ(ks.rk[51], 0x01002202u);
    EXPECT_EQ(aes_setkey_enc_256(k256.data(), &ks), 0);
    EXPECT_EQ(ks.rounds16 & 0xff, 224u);
    EXPECT_EQ(ks.rk[59], 0x706c631eu);

    // The decryption schedules start with the last encryption round key.
    aes_schedule dec{};
    for (auto setkey : {aes_setkey_dec_128, aes_setkey_dec_192, aes_setkey_dec_256}) {
        EXPECT_EQ(setkey(k256.data(), &dec), 0);
    }
    EXPECT_EQ(dec.rk[0], 0xfe4890d1u);
    EXPECT_EQ(dec.rk[3], 0x706c631eu);
}

TEST(Aes, UnknownKeyLengthsAndUnsetSchedules) {
    uint8_t key[32] = {};
    aes_schedule ks{};
    for (uint32_t len : {0u, 8u, 20u, 33u, 64u, 512u}) {
        EXPECT_EQ(aes_setkey_enc(key, len, &ks), 1) << len;
        EXPECT_EQ(aes_setkey_dec(key, len, &ks), 1) << len;
    }
    uint8_t in[16], out[16];
    std::memset(in, 1, 16);
    std::memset(out, 0xEE, 16);
    for (uint32_t bad : {0u, 176u, 0x100u}) {
        ks.rounds16 = bad;
        EXPECT_EQ(aes_encrypt_block(in, out, &ks), 1);
        EXPECT_EQ(aes_decrypt_block(in, out, &ks), 1);
    }
    for (uint8_t b : out) ASSERT_EQ(b, 0xEE) << "a refused block leaves the output alone";
}

// ECB over many blocks against openssl, for both key sizes the cipher table
// uses and the 192-bit one.
TEST(Aes, MatchesOpensslEcb) {
    if (run_proc({"openssl", "version"}).status != 0) GTEST_SKIP() << "openssl is not available";
    std::vector<uint8_t> data(16 * 67);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 29 + (i >> 4));
    for (size_t key_len : {size_t{16}, size_t{24}, size_t{32}}) {
        std::vector<uint8_t> key(key_len);
        for (size_t i = 0; i < key_len; i++) key[i] = static_cast<uint8_t>(0xA7 ^ (i * 13));
        std::string algo = "-aes-" + std::to_string(key_len * 8) + "-ecb";
        proc_result r = run_proc({"openssl", "enc", algo, "-nopad", "-K", to_hex(key)},
                                 std::string(data.begin(), data.end()));
        ASSERT_EQ(r.status, 0) << r.err;

        aes_schedule enc{}, dec{};
        ASSERT_EQ(aes_setkey_enc(key.data(), static_cast<uint32_t>(key_len), &enc), 0);
        ASSERT_EQ(aes_setkey_dec(key.data(), static_cast<uint32_t>(key_len), &dec), 0);
        std::vector<uint8_t> mine(data.size());
        for (size_t off = 0; off < data.size(); off += 16) aes_encrypt_block(data.data() + off, mine.data() + off, &enc);
        EXPECT_EQ(to_hex(mine), to_hex(reinterpret_cast<const uint8_t*>(r.out.data()), r.out.size())) << algo;
        for (size_t off = 0; off < data.size(); off += 16) aes_decrypt_block(mine.data() + off, mine.data() + off, &dec);
        EXPECT_EQ(mine, data) << algo;
    }
}

}  // namespace
