#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/memory/pl_mem.h"
#include "libpwd/libpwd.h"
#include "pwd_oracle.h"
#include "support/log_capture.h"

using pwd_test::oracle;

namespace {

std::string sha_pwd(const char* pwd, size_t size = 4096) {
    std::vector<char> out(size, 'x');
    EXPECT_EQ(libpwd_sha_pwd(pwd, out.data(), out.size()), out.data());
    return std::string(out.data());
}

std::string build_key(const std::string& user, const std::string& pwd, const std::string& cert) {
    char out[LIBPWD_KEY_SIZE] = "junk";
    EXPECT_EQ(libpwd_build_key(user.c_str(), pwd.c_str(), 1, cert.c_str(), out, sizeof out), 0);
    return out;
}

bool is_lower_hex(const std::string& s) {
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(ShaPwd, PublishedExampleAndEmpty) {
    EXPECT_EQ(sha_pwd("abc"), "{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    EXPECT_EQ(sha_pwd(""), "");
    EXPECT_EQ(sha_pwd(nullptr), "");
    char* dup = libpwd_sha_pwd_dup("abc");
    ASSERT_NE(dup, nullptr);
    EXPECT_STREQ(dup, "{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
    pl_free(dup);
}

TEST(ShaPwd, MatchesHashlib) {
    const std::vector<std::string> pwds = {"a", "password", "p@ss w:rd;\"'", "\xC3\xA9t\xC3\xA9\x01\xFF",
                                           std::string(1000, 'z')};
    std::vector<std::vector<std::string>> reqs;
    for (const auto& p : pwds) reqs.push_back({"sha", p});
    auto want = oracle(reqs);
    if (want.empty()) GTEST_SKIP() << "/usr/bin/python3 is missing";
    ASSERT_EQ(want.size(), pwds.size());
    for (size_t i = 0; i < pwds.size(); ++i) {
        std::string got = sha_pwd(pwds[i].c_str());
        EXPECT_EQ(got, want[i]) << i;
        EXPECT_EQ(got.size(), LIBPWD_SHA_PWD_LEN);
    }
}

TEST(ShaPwd, BufferTooSmallGivesEmptyNotCutForm) {
    // A cut form would be a wrong password that looks like a right one.
    log_capture cap;
    EXPECT_EQ(sha_pwd("abc", LIBPWD_SHA_PWD_LEN), "");
    EXPECT_EQ(sha_pwd("abc", 3), "");
    EXPECT_TRUE(cap.contains("assert failed"));
    EXPECT_EQ(sha_pwd("abc", LIBPWD_SHA_PWD_LEN + 1), "{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST(LoginKey, FortyHexCharactersEqualToHashlibForAnyLengths) {
    struct row {
        std::string user, pwd, cert;
    };
    std::string cert256;
    for (int i = 0; i < 128; ++i) cert256 += "0123456789abcdef"[(i * 7) % 16], cert256 += "fedcba9876543210"[i % 16];
    const std::vector<row> rows = {
        {"", "", ""},
        {"admin", "secret", cert256},
        {"u", "", cert256},
        {"", "p", ""},
        {std::string(5000, 'u'), std::string(3000, 'p'), std::string(9000, 'c')},  // past one 4096-byte step
        {"\xE7\x94\xA8\xE6\x88\xB7", "p\xC3\xA4ss", "c"},
    };
    std::vector<std::vector<std::string>> reqs;
    for (const auto& r : rows) reqs.push_back({"key", LIBPWD_KEY_SALT, r.user, r.pwd, r.cert});
    auto want = oracle(reqs);
    if (want.empty()) GTEST_SKIP() << "/usr/bin/python3 is missing";
    ASSERT_EQ(want.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string key = build_key(rows[i].user, rows[i].pwd, rows[i].cert);
        EXPECT_EQ(key.size(), LIBPWD_KEY_LEN) << i;
        EXPECT_TRUE(is_lower_hex(key)) << key;
        EXPECT_EQ(key, want[i]) << i;
    }
    // The salt is part of the wire format: it stays five upper-case letters.
    EXPECT_EQ(strlen(LIBPWD_KEY_SALT), 5u);
    for (const char* c = LIBPWD_KEY_SALT; *c; ++c) EXPECT_TRUE(*c >= 'A' && *c <= 'Z');
}

TEST(LoginKey, SmallBufferIsEmptyWithAssertion) {
    log_capture cap;
    char out[LIBPWD_KEY_LEN] = "junk";
    EXPECT_EQ(libpwd_build_key("u", "p", 1, "c", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(cap.contains("expr[ret != FALSE]: assert failed"));
}

TEST(LoginKey, LogShowsUserAndCertButNeverPasswordOrKey) {
    log_capture cap(8);
    std::string key = build_key("alice", "Tr0ub4dor", "c3c3c3");
    EXPECT_TRUE(cap.contains("user=[alice] pwd=[***] cert=[c3c3c3]"));
    EXPECT_TRUE(cap.contains("lkey=[***]"));
    EXPECT_FALSE(cap.contains("Tr0ub4dor"));
    EXPECT_FALSE(cap.contains(key));
}

TEST(Encipher, MatchesRc4AndBase64AndRoundTrips) {
    const std::string key = build_key("user", "pwd", "cert");
    const std::vector<std::string> values = {"v", "account-password", std::string(700, 'q'), "\x01\x7F\xFF"};
    std::vector<std::vector<std::string>> reqs;
    for (const auto& v : values) reqs.push_back({"rc4b64", v, key});
    auto want = oracle(reqs);
    if (want.empty()) GTEST_SKIP() << "/usr/bin/python3 is missing";
    ASSERT_EQ(want.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        char out[2048];
        ASSERT_EQ(libpwd_encrypt(values[i].c_str(), key.c_str(), out, sizeof out), 0);
        EXPECT_EQ(std::string(out), want[i]) << i;
        char back[2048];
        ASSERT_EQ(libpwd_decrypt(out, key.c_str(), back, sizeof back), 0);
        EXPECT_EQ(std::string(back), values[i]);
    }
}

TEST(Encipher, FailuresAreReportedWithEmptyOutput) {
    log_capture cap;  // the encoder's and the key schedule's assertion lines
    const std::string key = build_key("user", "pwd", "cert");
    char out[16] = "junk";
    // base64 of 12 bytes needs 17 bytes: a cut text must not pass as success.
    EXPECT_EQ(libpwd_encrypt("twelve bytes", key.c_str(), out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(libpwd_encrypt("v", "", out, sizeof out), -1);
    char enc[64];
    ASSERT_EQ(libpwd_encrypt("12345", key.c_str(), enc, sizeof enc), 0);
    char back[6];
    EXPECT_EQ(libpwd_decrypt(enc, key.c_str(), back, 5), -1);  // no room for the terminator
    EXPECT_EQ(libpwd_decrypt(enc, key.c_str(), back, 6), 0);
    EXPECT_STREQ(back, "12345");
    EXPECT_EQ(libpwd_decrypt("", key.c_str(), back, sizeof back), -1);      // nothing comes out
    EXPECT_EQ(libpwd_decrypt("a b!", key.c_str(), back, sizeof back), -1);  // not base64
    EXPECT_STREQ(back, "");
}

}  // namespace
