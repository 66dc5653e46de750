#include "libcrypt/libcrypt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypt_hex.h"
#include "libcrypt/aes.h"
#include "libpal/hash/crc.h"
#include "support/proc.h"

namespace {

struct cipher_deleter {
    void operator()(cipher_ctx* c) const { cipher_free(c); }
};
using cipher_ptr = std::unique_ptr<cipher_ctx, cipher_deleter>;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 37 + 11);
    return v;
}

TEST(Cipher, TableRows) {
    struct row {
        uint32_t id;
        const char* name;
        uint32_t block, key_len;
    };
    const row rows[] = {{1, "AES_ECB_256", 16, 32}, {2, "AES_ECB_128", 16, 16}, {3, "RC4", 0, 16}};
    for (const row& r : rows) {
        const cipher_type* t = cipher_find_by_id(r.id);
        ASSERT_NE(t, nullptr);
        EXPECT_STREQ(t->name, r.name);
        EXPECT_EQ(t->key_len, r.key_len);
        EXPECT_STREQ(cipher_name(r.id), r.name);
        EXPECT_EQ(cipher_block_size(r.id), r.block);
        EXPECT_NE(t->ctx_size, 0u);
    }
    for (uint32_t id : {0u, 4u, 0xFFFFFFFFu}) {
        EXPECT_EQ(cipher_find_by_id(id), nullptr);
        EXPECT_STREQ(cipher_name(id), "");
        EXPECT_EQ(cipher_block_size(id), 0u);
        EXPECT_EQ(cipher_init(id), nullptr);
    }
    EXPECT_EQ(cipher_lib_init(), 0);
}

TEST(Cipher, ByNameIgnoringCase) {
    for (const char* name : {"aes_ecb_128", "AES_ECB_128", "Aes_Ecb_256", "rc4"}) {
        cipher_ptr c(cipher_block_init2(name));
        ASSERT_NE(c, nullptr) << name;
        EXPECT_STRCASEEQ(c->type->name, name);
        EXPECT_EQ(c->id, c->type->id);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(c->ks) % 8, 0u);
        EXPECT_GE(c->type->ctx_size, c->id == CIPHER_RC4 ? sizeof(rc4_ctx) : 2 * sizeof(aes_schedule));
    }
    for (const char* name : {"", "AES", "AES_ECB_128 ", "RC5", "AES_ECB_192"})
        EXPECT_EQ(cipher_block_init2(name), nullptr) << name;
    EXPECT_EQ(cipher_block_init2(nullptr), nullptr);
    cipher_free(nullptr);
}

// ECB: each whole block on its own through the block routine; the last
// length % 16 bytes stay in the clear, in place or into another buffer.
TEST(Cipher, AesEcbLeavesTheTailInTheClear) {
    const std::string key_text = "0123456789abcdef0123456789ABCDEF";
    const auto* key = reinterpret_cast<const uint8_t*>(key_text.data());
    for (uint32_t id : {CIPHER_AES_ECB_128, CIPHER_AES_ECB_256}) {
        SCOPED_TRACE(cipher_name(id));
        cipher_ptr c(cipher_init(id));
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(cipher_setkey_enc(c.get(), key), 0);
        ASSERT_EQ(cipher_setkey_dec(c.get(), key), 0);

        aes_schedule ref{};
        aes_setkey_enc(key, c->type->key_len, &ref);
        const auto plain = pattern(100);
        std::vector<uint8_t> expect = plain;
        for (size_t off = 0; off + 16 <= expect.size(); off += 16) aes_encrypt_block(&expect[off], &expect[off], &ref);
        ASSERT_TRUE(std::equal(expect.begin() + 96, expect.end(), plain.begin() + 96));

        std::vector<uint8_t> buf = plain;
        ASSERT_EQ(cipher_encrypt(c.get(), buf.data(), buf.data(), buf.size()), 0);
        EXPECT_EQ(buf, expect);

        std::vector<uint8_t> other(100, 0xEE);
        ASSERT_EQ(cipher_encrypt(c.get(), plain.data(), other.data(), other.size()), 0);
        EXPECT_EQ(other, expect) << "the tail is copied into another buffer as well";

        ASSERT_EQ(cipher_decrypt(c.get(), buf.data(), buf.data(), buf.size()), 0);
        EXPECT_EQ(buf, plain);

        // Shorter than a block: nothing to encipher.
        std::vector<uint8_t> small = pattern(15);
        ASSERT_EQ(cipher_encrypt(c.get(), small.data(), small.data(), small.size()), 0);
        EXPECT_EQ(small, pattern(15));
    }
}

TEST(Cipher, AesFipsExamplesThroughTheTable) {
    const auto plain = from_hex("00112233445566778899aabbccddeeff");
    struct row {
        uint32_t id;
        const char* key_hex;
        const char* cipher_hex;
    };
    const row rows[] = {
        {CIPHER_AES_ECB_128, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {CIPHER_AES_ECB_256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const row& r : rows) {
        cipher_ptr c(cipher_init(r.id));
        auto key = from_hex(r.key_hex);
        ASSERT_EQ(cipher_setkey_enc(c.get(), key.data()), 0);
        ASSERT_EQ(cipher_setkey_dec(c.get(), key.data()), 0);
        std::vector<uint8_t> buf = plain;
        cipher_encrypt(c.get(), buf.data(), buf.data(), 16);
        EXPECT_EQ(to_hex(buf), r.cipher_hex);
        cipher_decrypt(c.get(), buf.data(), buf.data(), 16);
        EXPECT_EQ(buf, plain);
    }
}

TEST(Cipher, AesWithoutItsScheduleIsRefused) {
    cipher_ptr c(cipher_init(CIPHER_AES_ECB_128));
    uint8_t key[16] = {1};
    std::vector<uint8_t> buf = pattern(32);
    EXPECT_EQ(cipher_encrypt(c.get(), buf.data(), buf.data(), buf.size()), -1) << "no key set";
    ASSERT_EQ(cipher_setkey_enc(c.get(), key), 0);
    EXPECT_EQ(cipher_decrypt(c.get(), buf.data(), buf.data(), buf.size()), -1) << "no decryption key set";
    EXPECT_EQ(buf, pattern(32));
    EXPECT_EQ(cipher_setkey_enc(nullptr, key), -1);
    EXPECT_EQ(cipher_setkey_enc(c.get(), nullptr), -1);
    EXPECT_EQ(cipher_encrypt(nullptr, buf.data(), buf.data(), 16), -1);
}

// RC4 takes the row's 16 key bytes; each call goes on from the permutation
// the last one left, so deciphering needs the same sequence of blocks.
TEST(Cipher, Rc4StreamOverBlocks) {
    uint8_t key[16];
    for (int i = 0; i < 16; i++) key[i] = static_cast<uint8_t>(i + 1);
    cipher_ptr enc(cipher_block_init2("RC4")), dec(cipher_block_init2("RC4"));
    ASSERT_EQ(cipher_setkey_enc(enc.get(), key), 0);
    ASSERT_EQ(cipher_setkey_dec(dec.get(), key), 0);

    rc4_ctx ref;
    ASSERT_EQ(rc4_init(&ref, key, 16), 0);
    const auto plain = pattern(3 * 512 + 7);
    std::vector<uint8_t> buf = plain, expect = plain;
    for (size_t off = 0; off < buf.size(); off += 512) {
        size_t n = std::min<size_t>(512, buf.size() - off);
        ASSERT_EQ(cipher_encrypt(enc.get(), &buf[off], &buf[off], n), 0);
        rc4_crypt(&ref, &expect[off], &expect[off], n);
    }
    EXPECT_EQ(buf, expect);
    EXPECT_NE(buf, plain);
    for (size_t off = 0; off < buf.size(); off += 512) {
        size_t n = std::min<size_t>(512, buf.size() - off);
        ASSERT_EQ(cipher_decrypt(dec.get(), &buf[off], &buf[off], n), 0);
    }
    EXPECT_EQ(buf, plain);
}

// A key text shorter than 16 bytes is its bytes and then zeros: the first
// block is openssl's 128-bit RC4 of the zero-padded key.
TEST(Cipher, Rc4MatchesOpenssl) {
    std::vector<std::string> argv = {"openssl", "enc", "-rc4", "-provider", "legacy", "-provider", "default",
                                     "-K", "6b657900000000000000000000000000", "-nosalt"};
    const auto plain = pattern(1000);
    proc_result r = run_proc(argv, std::string(plain.begin(), plain.end()));
    if (r.status != 0) GTEST_SKIP() << "openssl with RC4 (legacy provider) is not available";

    uint8_t key[16] = {'k', 'e', 'y'};
    cipher_ptr c(cipher_block_init2("rc4"));
    ASSERT_EQ(cipher_setkey_enc(c.get(), key), 0);
    std::vector<uint8_t> buf = plain;
    ASSERT_EQ(cipher_encrypt(c.get(), buf.data(), buf.data(), buf.size()), 0);
    EXPECT_EQ(to_hex(buf), to_hex(reinterpret_cast<const uint8_t*>(r.out.data()), r.out.size()));
}

}  // namespace
