#include "libdd/dd_crypt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "libcrypt/aes.h"
#include "libcrypt/libcrypt.h"
#include "libpal/hash/crc.h"

namespace {

// Sets the three cipher variables for one test (none = unset) and puts the
// old values back afterwards.
struct crypt_env {
    static constexpr const char* k_names[3] = {"KX_CRYPT_NAME", "KX_CRYPT_KEY", "KX_CRYPT_ENC"};
    std::optional<std::string> old[3];

    crypt_env(std::optional<std::string> name, std::optional<std::string> key, std::optional<std::string> enc) {
        const std::optional<std::string>* values[3] = {&name, &key, &enc};
        for (int i = 0; i < 3; i++) {
            if (const char* v = getenv(k_names[i])) old[i] = v;
            if (*values[i])
                setenv(k_names[i], (*values[i])->c_str(), 1);
            else
                unsetenv(k_names[i]);
        }
    }
    ~crypt_env() {
        for (int i = 0; i < 3; i++) {
            if (old[i])
                setenv(k_names[i], old[i]->c_str(), 1);
            else
                unsetenv(k_names[i]);
        }
    }
};

struct crypt_guard {
    dd_crypt c{};
    ~crypt_guard() { dd_crypt_free(&c); }
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 13 + 5);
    return v;
}

// Runs the set-up and returns what it printed on standard error.
std::string init_printing(dd_crypt* c) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(dd_crypt_init(c), 0);
    return testing::internal::GetCapturedStderr();
}

TEST(DdCrypt, WithoutANameBlocksPassUnchanged) {
    crypt_env env(std::nullopt, std::string("ignored"), std::string("0"));
    crypt_guard g;
    EXPECT_EQ(init_printing(&g.c), "");
    EXPECT_EQ(g.c.cipher, nullptr);
    EXPECT_EQ(g.c.enc, 1);
    auto buf = pattern(100);
    EXPECT_EQ(dd_crypt_block(&g.c, buf.data(), buf.size()), 0);
    EXPECT_EQ(buf, pattern(100));
}

// The lower-case row name with a 16-character key: AES-128 over every whole
// block, the last 4 of 100 bytes in the clear; KX_CRYPT_ENC=0 gives the data
// back.
TEST(DdCrypt, AesRoundTripFromTheEnvironment) {
    const std::string key = "sixteen-char-key";
    auto buf = pattern(100);
    {
        crypt_env env(std::string("aes_ecb_128"), key, std::nullopt);
        crypt_guard g;
        std::string printed = init_printing(&g.c);
        EXPECT_EQ(printed, "KX_CRYPT_NAME=aes_ecb_128\nKX_CRYPT_KEY=" + key + "\n");
        ASSERT_NE(g.c.cipher, nullptr);
        EXPECT_EQ(g.c.cipher->id, CIPHER_AES_ECB_128);
        EXPECT_EQ(g.c.enc, 1);
        ASSERT_EQ(dd_crypt_block(&g.c, buf.data(), buf.size()), 0);
    }
    aes_schedule ref{};
    aes_setkey_enc_128(reinterpret_cast<const uint8_t*>(key.data()), &ref);
    auto expect = pattern(100);
    for (size_t off = 0; off + 16 <= 100; off += 16) aes_encrypt_block(&expect[off], &expect[off], &ref);
    EXPECT_EQ(buf, expect);
    EXPECT_EQ(std::memcmp(buf.data() + 96, pattern(100).data() + 96, 4), 0);
    {
        crypt_env env(std::string("aes_ecb_128"), key, std::string("0"));
        crypt_guard g;
        EXPECT_NE(init_printing(&g.c).find("KX_CRYPT_ENC=0\n"), std::string::npos);
        EXPECT_EQ(g.c.enc, 0);
        ASSERT_EQ(dd_crypt_block(&g.c, buf.data(), buf.size()), 0);
    }
    EXPECT_EQ(buf, pattern(100));
}

// A key shorter than the cipher's is padded with zero bytes; 32 bytes for
// AES-256.
TEST(DdCrypt, ShortKeysArePaddedWithZeros) {
    crypt_env env(std::string("AES_ECB_256"), std::string("abc"), std::string("1"));
    crypt_guard g;
    init_printing(&g.c);
    ASSERT_NE(g.c.cipher, nullptr);
    uint8_t key[32] = {'a', 'b', 'c'};
    aes_schedule ref{};
    aes_setkey_enc_256(key, &ref);
    auto buf = pattern(48), expect = pattern(48);
    for (size_t off = 0; off < 48; off += 16) aes_encrypt_block(&expect[off], &expect[off], &ref);
    ASSERT_EQ(dd_crypt_block(&g.c, buf.data(), buf.size()), 0);
    EXPECT_EQ(buf, expect);
}

// RC4 enciphers every byte; deciphering needs the same key and the same
// sequence of blocks.
TEST(DdCrypt, Rc4BlocksInSequence) {
    const std::vector<size_t> blocks = {512, 512, 100};
    std::vector<uint8_t> data = pattern(1124);
    auto apply = [&](const char* enc) {
        crypt_env env(std::string("RC4"), std::string("rc4 test key"), std::string(enc));
        crypt_guard g;
        init_printing(&g.c);
        ASSERT_NE(g.c.cipher, nullptr);
        size_t off = 0;
        for (size_t n : blocks) {
            ASSERT_EQ(dd_crypt_block(&g.c, &data[off], n), 0);
            off += n;
        }
    };
    apply("1");
    size_t same = 0;
    auto orig = pattern(1124);
    for (size_t i = 0; i < data.size(); i++) same += data[i] == orig[i];
    EXPECT_LT(same, 30u) << "every byte is enciphered";
    apply("0");
    EXPECT_EQ(data, orig);
}

// Without KX_CRYPT_KEY the key is random and never shown: two runs encipher
// the same data differently.
TEST(DdCrypt, RandomKeyIsNotShown) {
    crypt_env env(std::string("AES_ECB_128"), std::nullopt, std::nullopt);
    std::vector<uint8_t> out[2];
    for (auto& o : out) {
        crypt_guard g;
        std::string printed = init_printing(&g.c);
        EXPECT_EQ(printed, "KX_CRYPT_NAME=AES_ECB_128\n");
        ASSERT_NE(g.c.cipher, nullptr);
        o = pattern(64);
        ASSERT_EQ(dd_crypt_block(&g.c, o.data(), o.size()), 0);
    }
    EXPECT_NE(out[0], pattern(64));
    EXPECT_NE(out[0], out[1]);
}

// The longest key text that fits the buffer is taken as given.
TEST(DdCrypt, LongestKeyIsAccepted) {
    std::string key(DD_CRYPT_KEY_SIZE - 1, 'k');
    crypt_env env(std::string("rc4"), key, std::nullopt);
    crypt_guard g;
    EXPECT_EQ(init_printing(&g.c), "KX_CRYPT_NAME=rc4\nKX_CRYPT_KEY=" + key + "\n");
    EXPECT_NE(g.c.cipher, nullptr);
}

using DdCryptDeathTest = testing::Test;

TEST_F(DdCryptDeathTest, UnknownNameEndsTheProcess) {
    crypt_env env(std::string("AES_CBC_128"), std::string("k"), std::nullopt);
    dd_crypt c{};
    EXPECT_EXIT(dd_crypt_init(&c), testing::ExitedWithCode(1), "cipher_block_init2 \\[AES_CBC_128\\] error");
}

TEST_F(DdCryptDeathTest, OverlongNameEndsTheProcess) {
    std::string name(300, 'N');
    crypt_env env(name, std::string("k"), std::nullopt);
    dd_crypt c{};
    EXPECT_EXIT(dd_crypt_init(&c), testing::ExitedWithCode(1), "cipher_block_init2 \\[N+\\] error");
}

// A key that does not fit the key buffer is refused, not cut or emptied
// into an all-zero key.
TEST_F(DdCryptDeathTest, OverlongKeyEndsTheProcess) {
    crypt_env env(std::string("AES_ECB_128"), std::string(DD_CRYPT_KEY_SIZE, 'k'), std::nullopt);
    dd_crypt c{};
    EXPECT_EXIT(dd_crypt_init(&c), testing::ExitedWithCode(1), "KX_CRYPT_KEY length=4096 error");
}

}  // namespace
