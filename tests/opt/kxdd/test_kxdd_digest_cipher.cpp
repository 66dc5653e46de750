// The digests of the written data and the block ciphers of a real copy.
#include <gtest/gtest.h>

#include <string>

#include "kxdd_e2e.h"
#include "support/proc.h"

namespace {

using kxdd_e2e::clean_err;
using kxdd_e2e::random_bytes;

// The hexadecimal digest a tool prints first on its output line.
std::string tool_digest(const std::vector<std::string>& argv) {
    proc_result r = run_proc(argv);
    if (r.status != 0) return "";
    return r.out.substr(0, r.out.find_first_of(" \t\n"));
}

std::string line_value(const std::string& err, const std::string& key) {
    size_t p = err.find(key);
    if (p == std::string::npos) return "";
    p += key.size();
    return err.substr(p, err.find('\n', p) - p);
}

TEST(KxddDigest, WrittenDataDigestsEqualTheTools) {
    struct row {
        const char* name;
        std::vector<std::string> ops;
        size_t size;
    };
    const row rows[] = {
        {"one block size", {"bs=64K"}, 1000003},
        {"re-blocking", {"ibs=100k", "obs=7k"}, 777777},
        {"padded last block", {"bs=4096", "conv=sync"}, 10001},
        {"empty input", {"bs=512"}, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir dir;
        write_file(dir.file("in"), random_bytes(r.size, 11));
        std::vector<std::string> args{"if=" + dir.file("in"), "of=" + dir.file("out"), "status=md5,sha1"};
        args.insert(args.end(), r.ops.begin(), r.ops.end());
        proc_result p = run_kxdd(args);
        ASSERT_EQ(p.status, 0) << p.err;
        std::string err = clean_err(p.err);
        EXPECT_EQ(line_value(err, "MD5: "), tool_digest({"md5sum", dir.file("out")})) << err;
        EXPECT_EQ(line_value(err, "SHA1: "), tool_digest({"sha1sum", dir.file("out")})) << err;
        // The digest lines come before the records.
        EXPECT_LT(err.find("SHA1: "), err.find("records in"));
    }
}

TEST(KxddDigest, DigestOfWhatReachedAPipe) {
    std::string data = random_bytes(300000, 12);
    proc_result p = run_kxdd({"bs=4096", "status=md5"}, data);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, data);
    temp_dir dir;
    write_file(dir.file("copy"), p.out);
    EXPECT_EQ(line_value(clean_err(p.err), "MD5: "), tool_digest({"md5sum", dir.file("copy")}));
}

struct cipher_case {
    const char* name;
    const char* key;
    const char* openssl_cipher;  // the same cipher in openssl, or nullptr
    const char* openssl_key_hex;
};

class KxddCipher : public testing::TestWithParam<cipher_case> {};

TEST_P(KxddCipher, EnciphersAndDeciphersBack) {
    const cipher_case& c = GetParam();
    temp_dir dir;
    // 100 kB: not a multiple of 16, so AES leaves the tail of each block in the clear.
    std::string data = random_bytes(100000, 13);
    write_file(dir.file("in"), data);
    std::vector<std::string> env{std::string("KX_CRYPT_NAME=") + c.name, std::string("KX_CRYPT_KEY=") + c.key};
    proc_result e = run_kxdd({"if=" + dir.file("in"), "of=" + dir.file("enc"), "bs=1000"}, "", env);
    ASSERT_EQ(e.status, 0) << e.err;
    std::string err = clean_err(e.err);
    EXPECT_NE(err.find(std::string("KX_CRYPT_NAME=") + c.name), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("KX_CRYPT_KEY=") + c.key), std::string::npos) << err;
    std::string enc = read_file(dir.file("enc"));
    ASSERT_EQ(enc.size(), data.size());
    EXPECT_FALSE(enc == data);

    env.push_back("KX_CRYPT_ENC=0");
    proc_result d = run_kxdd({"if=" + dir.file("enc"), "of=" + dir.file("dec"), "bs=1000"}, "", env);
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(clean_err(d.err).find("KX_CRYPT_ENC=0"), std::string::npos) << d.err;
    EXPECT_TRUE(read_file(dir.file("dec")) == data);

    if (!c.openssl_cipher) return;
    // openssl enciphers one stream; kxdd enciphers block by block (RC4's
    // indices start again at every block), so the first block is compared:
    // for AES its whole cipher blocks (1000 = 62 x 16 + 8), for RC4 all of it.
    std::vector<std::string> args{"openssl", "enc", std::string("-") + c.openssl_cipher, "-K", c.openssl_key_hex,
                                  "-nosalt", "-in", dir.file("in"), "-out", dir.file("ossl")};
    if (std::string(c.openssl_cipher).find("aes") != std::string::npos) args.push_back("-nopad");
    else args.insert(args.begin() + 2, {"-provider", "legacy", "-provider", "default"});
    proc_result o;
    try {
        o = run_proc(args);
    } catch (...) {
        GTEST_SKIP() << "openssl is not available";
    }
    if (o.status != 0) GTEST_SKIP() << "openssl refuses " << c.openssl_cipher << ": " << o.err;
    std::string ossl = read_file(dir.file("ossl"));
    if (std::string(c.openssl_cipher) == "rc4") {
        EXPECT_TRUE(enc.substr(0, 1000) == ossl.substr(0, 1000));
    } else {
        EXPECT_TRUE(enc.substr(0, 992) == ossl.substr(0, 992));
        EXPECT_TRUE(enc.substr(992, 8) == data.substr(992, 8));  // the tail of a block stays in the clear
    }
}

INSTANTIATE_TEST_SUITE_P(Kxdd, KxddCipher,
                         testing::Values(cipher_case{"AES_ECB_128", "0123456789abcdef", "aes-128-ecb",
                                                     "30313233343536373839616263646566"},
                                         cipher_case{"aes_ecb_256", "key", nullptr, nullptr},
                                         cipher_case{"RC4", "abc", "rc4", "61626300000000000000000000000000"}),
                         [](const testing::TestParamInfo<cipher_case>& i) {
                             std::string n = i.param.name;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(KxddCipherDeath, UnknownCipherEndsWithStatus1AndWritesNothing) {
    temp_dir dir;
    write_file(dir.file("in"), "data");
    proc_result p = run_kxdd({"if=" + dir.file("in"), "of=" + dir.file("out")}, "", {"KX_CRYPT_NAME=AES_CBC_128"});
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(clean_err(p.err).find("cipher_block_init2 [AES_CBC_128] error"), std::string::npos) << p.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}

}  // namespace
