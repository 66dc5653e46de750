#include <gtest/gtest.h>

#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "libssl/ssl_rsa.h"
#include "support/proc.h"
#include "tls_test_util.h"

using namespace tls_test;

namespace {

using bytes = std::vector<uint8_t>;

// The test key (2048 bits, k = 256), loaded with the library; openssl
// pkeyutl on the same key file is the independent side.
struct rsa_fixture : ::testing::Test {
    void SetUp() override {
        if (!test_keys().ok) GTEST_SKIP() << "openssl is missing";
        mbedtls_pk_init(&pk);
        ASSERT_EQ(mbedtls_pk_parse_keyfile(&pk, test_keys().key().c_str(), nullptr), 0);
        rsa = mbedtls_pk_rsa(pk);
        k = mbedtls_rsa_get_len(rsa);
        ASSERT_EQ(k, 256u);
    }
    void TearDown() override { mbedtls_pk_free(&pk); }

    // Runs openssl pkeyutl with the given operation over data.
    bytes pkeyutl(const std::string& op, const bytes& data) {
        write_file(dir.file("in"), std::string(data.begin(), data.end()));
        proc_result r = run_proc({"openssl", "pkeyutl", op, "-inkey", test_keys().key(), "-in", dir.file("in"),
                                  "-out", dir.file("out"), "-pkeyopt", "rsa_padding_mode:pkcs1"});
        EXPECT_EQ(r.status, 0) << op << ": " << r.err;
        std::string out = read_file(dir.file("out"));
        return bytes(out.begin(), out.end());
    }
    // The raw block under a ciphertext or signature.
    bytes raw_private(const bytes& in) {
        bytes out(k);
        EXPECT_EQ(mbedtls_rsa_private(rsa, rsa_rand_cb, nullptr, in.data(), out.data()), 0);
        return out;
    }
    bytes raw_public(const bytes& in) {
        bytes out(k);
        EXPECT_EQ(mbedtls_rsa_public(rsa, in.data(), out.data()), 0);
        return out;
    }

    temp_dir dir;
    mbedtls_pk_context pk;
    mbedtls_rsa_context* rsa = nullptr;
    size_t k = 0;
};

bytes sample(size_t n) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 1);
    return b;
}

TEST_F(rsa_fixture, InteroperatesWithOpenssl) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{36}, size_t{100}, k - 11}) {
        SCOPED_TRACE(n);
        const bytes data = sample(n);
        bytes enc(k), dec(k);
        // Ours to theirs.
        ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), n, enc.data(), enc.size()), static_cast<int>(k));
        EXPECT_EQ(pkeyutl("-decrypt", enc), data);
        ASSERT_EQ(rsa_pkcs1_private_encrypt(rsa, data.data(), n, enc.data(), enc.size()), static_cast<int>(k));
        EXPECT_EQ(pkeyutl("-verifyrecover", enc), data);
        // Theirs to ours.
        if (n == 0) continue;  // openssl refuses empty input
        bytes theirs = pkeyutl("-encrypt", data);
        ASSERT_EQ(rsa_pkcs1_private_decrypt(rsa, theirs.data(), theirs.size(), dec.data(), dec.size()),
                  static_cast<int>(n));
        EXPECT_EQ(bytes(dec.begin(), dec.begin() + static_cast<long>(n)), data);
        if (n > 64) continue;  // openssl signs no more than a digest's length
        theirs = pkeyutl("-sign", data);
        ASSERT_EQ(rsa_pkcs1_public_decrypt(rsa, theirs.data(), theirs.size(), dec.data(), dec.size()),
                  static_cast<int>(n));
        EXPECT_EQ(bytes(dec.begin(), dec.begin() + static_cast<long>(n)), data);
    }
}

TEST_F(rsa_fixture, EncryptionPaddingIsRandomAndNonZero) {
    const bytes data = sample(16);
    bytes a(k), b(k);
    ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), data.size(), a.data(), a.size()), static_cast<int>(k));
    ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), data.size(), b.data(), b.size()), static_cast<int>(k));
    EXPECT_NE(a, b);
    bytes block = raw_private(a);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[1], 2);
    const size_t sep = k - data.size() - 1;
    for (size_t i = 2; i < sep; ++i) ASSERT_NE(block[i], 0) << i;
    EXPECT_EQ(block[sep], 0);
}

TEST_F(rsa_fixture, SizeLimits) {
    const bytes data = sample(k);
    bytes out(k), small(k - 1);
    EXPECT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), k - 10, out.data(), out.size()), -1);
    EXPECT_EQ(rsa_pkcs1_private_encrypt(rsa, data.data(), k - 10, out.data(), out.size()), -1);
    EXPECT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), 5, small.data(), small.size()), -1);
    ASSERT_EQ(rsa_pkcs1_public_encrypt(rsa, data.data(), 5, out.data(), out.size()), static_cast<int>(k));
    bytes dec(5);
    EXPECT_EQ(rsa_pkcs1_private_decrypt(rsa, out.data(), k - 1, dec.data(), dec.size()), -1);  // not k bytes
    EXPECT_EQ(rsa_pkcs1_private_decrypt(rsa, out.data(), k, dec.data(), 4), -1);  // data does not fit
    EXPECT_EQ(rsa_pkcs1_private_decrypt(rsa, out.data(), k, dec.data(), 5), 5);
}

TEST_F(rsa_fixture, MalformedBlocksAndTheOtherTypeAreRefused) {
    // Hand-made blocks, put through the key operation that each decrypt undoes.
    auto block = [&](uint8_t type, size_t pad, uint8_t fill) {
        bytes b(k, 0x41);
        b[0] = 0;
        b[1] = type;
        for (size_t i = 0; i < pad; ++i) b[2 + i] = fill;
        b[2 + pad] = 0;
        return b;
    };
    bytes out(k);
    const struct {
        const char* what;
        bytes b;
        bool as_signature;  // public_decrypt (else private_decrypt)
        int want;
    } rows[] = {
        {"signature block", block(1, 8, 0xFF), true, static_cast<int>(k - 11)},
        {"encryption block", block(2, 8, 0x37), false, static_cast<int>(k - 11)},
        {"encryption block as signature", block(2, 8, 0xFF), true, -1},
        {"signature block as encryption", block(1, 8, 0xFF), false, -1},
        {"seven padding bytes", block(1, 7, 0xFF), true, -1},
        {"seven padding bytes, type 2", block(2, 7, 0x37), false, -1},
        {"padding byte not 0xFF", [&] { bytes b = block(1, 8, 0xFF); b[5] = 0xFE; return b; }(), true, -1},
        {"no separator", [&] { bytes b(k, 0x37); b[0] = 0; b[1] = 2; return b; }(), false, -1},
        {"unknown block type", [&] { bytes b = block(1, 8, 0xFF); b[1] = 3; return b; }(), true, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.as_signature) {
            bytes s = raw_private(r.b);
            EXPECT_EQ(rsa_pkcs1_public_decrypt(rsa, s.data(), k, out.data(), out.size()), r.want);
        } else {
            bytes c = raw_public(r.b);
            EXPECT_EQ(rsa_pkcs1_private_decrypt(rsa, c.data(), k, out.data(), out.size()), r.want);
        }
    }
}

}  // namespace
