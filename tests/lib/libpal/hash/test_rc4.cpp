#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <algorithm>
#include <string>
#include <vector>

#include "libpal/hash/crc.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : v) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

std::vector<uint8_t> rc4_once(const std::vector<uint8_t>& key, const std::vector<uint8_t>& in) {
    rc4_ctx ctx;
    EXPECT_EQ(rc4_init(&ctx, key.data(), key.size()), 0);
    std::vector<uint8_t> out(in.size());
    rc4_crypt(&ctx, in.data(), out.data(), in.size());
    return out;
}

// Published RC4 vectors: the three classic texts and the keystream of the
// 40-bit key 0102030405 (zero input, first 32 bytes).
TEST(Rc4, KnownVectors) {
    struct row {
        std::vector<uint8_t> key, plain;
        const char* cipher_hex;
    };
    const row rows[] = {
        {bytes("Key"), bytes("Plaintext"), "bbf316e8d940af0ad3"},
        {bytes("Wiki"), bytes("pedia"), "1021bf0420"},
        {bytes("Secret"), bytes("Attack at dawn"), "45a01f645fc35b383552544b9bf5"},
        {from_hex("0102030405"), std::vector<uint8_t>(32, 0),
         "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"},
    };
    for (const row& r : rows) EXPECT_EQ(to_hex(rc4_once(r.key, r.plain)), r.cipher_hex);
}

// Each call restarts i and j at 0 and keeps the permutation: two calls of 16
// give the standard first 16 bytes, then something other than the standard
// continuation. Stored data depends on exactly this sequence.
TEST(Rc4, EachCallRestartsTheIndices) {
    const auto key = from_hex("0102030405");
    const auto whole = rc4_once(key, std::vector<uint8_t>(32, 0));

    rc4_ctx ctx;
    ASSERT_EQ(rc4_init(&ctx, key.data(), key.size()), 0);
    std::vector<uint8_t> split(32, 0);
    rc4_crypt(&ctx, split.data(), split.data(), 16);
    rc4_crypt(&ctx, split.data() + 16, split.data() + 16, 16);
    EXPECT_TRUE(std::equal(split.begin(), split.begin() + 16, whole.begin()));
    EXPECT_FALSE(std::equal(split.begin() + 16, split.end(), whole.begin() + 16));

    // The second call, written out: i = j = 0 again over the permutation
    // the first 16 steps left behind.
    uint8_t perm[256];
    for (int k = 0; k < 256; k++) perm[k] = static_cast<uint8_t>(k);
    for (int k = 0, j = 0; k < 256; k++) {
        j = (j + perm[k] + key[k % key.size()]) & 0xff;
        std::swap(perm[k], perm[j]);
    }
    uint8_t expect[16];
    for (int call = 0; call < 2; call++) {
        int i = 0, j = 0;
        for (int k = 0; k < 16; k++) {
            i = (i + 1) & 0xff;
            j = (j + perm[i]) & 0xff;
            std::swap(perm[i], perm[j]);
            expect[k] = perm[(perm[i] + perm[j]) & 0xff];
        }
    }
    EXPECT_EQ(std::memcmp(expect, split.data() + 16, 16), 0);
}

TEST(Rc4, InPlaceAndRoundTrip) {
    const auto key = bytes("sixteen byte key");
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
    auto enc = rc4_once(key, data);
    EXPECT_NE(enc, data);
    EXPECT_EQ(rc4_once(key, enc), data);

    std::vector<uint8_t> in_place = data;
    rc4_ctx ctx;
    ASSERT_EQ(rc4_init(&ctx, key.data(), key.size()), 0);
    rc4_crypt(&ctx, in_place.data(), in_place.data(), in_place.size());
    EXPECT_EQ(in_place, enc);
}

// The key schedule takes key[i mod length]: an empty key is refused instead
// of dividing by zero, and the context is not touched.
TEST(Rc4, EmptyOrMissingKeyIsRefused) {
    rc4_ctx ctx;
    std::memset(ctx.permutation, 0xA5, sizeof ctx.permutation);
    const uint8_t key[1] = {1};
    log_capture cap;
    EXPECT_EQ(rc4_init(&ctx, key, 0), -1);
    EXPECT_TRUE(cap.contains("assert failed")) << cap.all();
    EXPECT_EQ(rc4_init(&ctx, nullptr, 16), -1);
    for (uint8_t b : ctx.permutation) ASSERT_EQ(b, 0xA5);
}

// The first call after the key schedule is plain RC4: compare with openssl's
// 128-bit RC4 over odd lengths.
TEST(Rc4, MatchesOpenssl) {
    const std::vector<std::string> base = {"openssl", "enc", "-rc4", "-provider", "legacy", "-provider", "default"};
    auto probe = base;
    probe.insert(probe.end(), {"-K", "00000000000000000000000000000000", "-nosalt"});
    if (run_proc(probe, "x").status != 0) GTEST_SKIP() << "openssl with RC4 (legacy provider) is not available";

    for (size_t len : {size_t{1}, size_t{255}, size_t{4097}}) {
        std::vector<uint8_t> key(16), data(len);
        for (size_t i = 0; i < key.size(); i++) key[i] = static_cast<uint8_t>(0x31 * i + len);
        for (size_t i = 0; i < len; i++) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
        auto argv = base;
        argv.insert(argv.end(), {"-K", to_hex(key), "-nosalt"});
        proc_result r = run_proc(argv, std::string(data.begin(), data.end()));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(to_hex(bytes(r.out)), to_hex(rc4_once(key, data))) << "len=" << len;
    }
}

}  // namespace
