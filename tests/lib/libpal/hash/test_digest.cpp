// The six digests: published vectors, the system's digest programs as
// oracles, split invariance, and every block routine of SHA-1, SHA-256 and
// SHA-512.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "libpal/hash/sha512_avx2.h"
#include "libpal/hash/sha_ni.h"
#include "support/proc.h"
#include "test_digest_algos.h"

namespace {

// Restores the block routine choices of the process.
struct sha_path_guard {
    int prev = pl_sha_ni_active();
    int prev512 = pl_sha512_avx2_active();
    ~sha_path_guard() {
        pl_sha_ni_set(prev);
        pl_sha512_avx2_set(prev512);
    }
};

// The SHA-512 block routines of this processor, the portable one first.
std::vector<int> sha512_routines() {
    std::vector<int> r{PL_SHA512_PORTABLE};
    if (pl_sha512_avx2_available()) r.push_back(PL_SHA512_AVX2);
    if (pl_sha512_avx512_available()) r.push_back(PL_SHA512_AVX512);
    return r;
}

// Runs fn with the portable routines, then with the processor's own (the
// SHA instructions, each vector SHA-512 routine: those it has), naming the
// path in failures.
template <typename F>
void on_each_path(F&& fn) {
    sha_path_guard guard;
    const std::vector<int> sha512 = sha512_routines();
    const int fast = pl_sha_ni_available() || sha512.size() > 1 ? 1 : 0;
    const size_t paths = std::max<size_t>(sha512.size(), 1 + fast);
    for (size_t on = 0; on < paths; on++) {
        const int ni = on > 0 ? 1 : 0;
        const int routine = sha512[std::min(on, sha512.size() - 1)];
        pl_sha_ni_set(ni);
        pl_sha512_avx2_set(routine);
        ASSERT_EQ(pl_sha_ni_active(), ni & pl_sha_ni_available());
        ASSERT_EQ(pl_sha512_avx2_active(), routine);
        SCOPED_TRACE(on ? "processor's routines, SHA-512 routine " + std::to_string(routine) : "portable");
        fn();
    }
}

// Feeds data in pieces of 1, 3, 7, ... bytes (cycling through odd sizes
// around the block boundaries).
void feed_odd_pieces(digest_run& run, const std::string& data) {
    static constexpr size_t sizes[] = {1, 3, 7, 13, 55, 63, 64, 65, 127, 129, 1000, 4099, 65537};
    size_t pos = 0;
    for (size_t i = 0; pos < data.size(); i++) {
        size_t n = std::min(sizes[i % std::size(sizes)], data.size() - pos);
        run.update(data.data() + pos, n);
        pos += n;
    }
}

std::string oracle_hex(const std::vector<std::string>& cmd, const std::string& data) {
    proc_result r = run_proc(cmd, data);
    if (r.status != 0) throw std::runtime_error("status " + std::to_string(r.status) + ": " + r.err);
    std::string out = r.out;
    size_t eq = out.find("= ");  // "SM3(stdin)= hex"
    if (eq != std::string::npos) out = out.substr(eq + 2);
    return out.substr(0, out.find_first_of(" \n"));
}

struct vector_case {
    const char* algo;
    const char* empty;
    const char* abc;
    const char* million_a;
};

constexpr vector_case VECTORS[] = {
    {"md5", "d41d8cd98f00b204e9800998ecf8427e", "900150983cd24fb0d6963f7d28e17f72", "7707d6ae4e027c70eea2a935c2296f21"},
    {"sha1", "da39a3ee5e6b4b0d3255bfef95601890afd80709", "a9993e364706816aba3e25717850c26c9cd0d89d",
     "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"sha256", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"sha512",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    {"sm3", "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b",
     "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0",
     "c8aaf89429554029e231941a2acc0ad61ff2a5acd8fadd25847a3a732b3b02c3"},
    {"xxh3", "99aa06d3014798d86001c324468d497f", "06b05ab6733a618578af5f94892f3950", "a545df8e384a9579b1fd6fae5285c4eb"},
};

const digest_algo& algo_named(const std::string& name) {
    static const std::vector<digest_algo> all = all_algos();
    for (const digest_algo& a : all)
        if (name == a.name) return a;
    throw std::logic_error("no algorithm " + name);
}

TEST(Digest, PublishedVectors) {
    const std::string million(1000000, 'a');
    on_each_path([&] {
        for (const vector_case& v : VECTORS) {
            SCOPED_TRACE(v.algo);
            const digest_algo& a = algo_named(v.algo);
            EXPECT_EQ(a.one_shot("", 0), v.empty);
            EXPECT_EQ(a.one_shot("abc", 3), v.abc);
            EXPECT_EQ(a.one_shot(million.data(), million.size()), v.million_a);

            auto run = a.make();
            feed_odd_pieces(*run, million);
            EXPECT_EQ(run->final_hex(), v.million_a);

            run = a.make();  // empty updates change nothing
            run->update(nullptr, 0);
            run->update("abc", 3);
            run->update(nullptr, 0);
            EXPECT_EQ(run->final_hex(), v.abc);
        }
    });
}

// Every split of a message into two updates, across the block and padding
// boundaries, gives the one-shot digest.
TEST(Digest, AnySplitGivesTheSameDigest) {
    const std::string data = test_bytes(300, 1);
    on_each_path([&] {
        for (const digest_algo& a : all_algos()) {
            SCOPED_TRACE(a.name);
            for (size_t len : {size_t{55}, size_t{56}, size_t{64}, size_t{111}, size_t{112}, size_t{128}, size_t{300}}) {
                const std::string want = a.one_shot(data.data(), len);
                for (size_t cut = 0; cut <= len; cut++) {
                    auto run = a.make();
                    run->update(data.data(), cut);
                    run->update(data.data() + cut, len - cut);
                    ASSERT_EQ(run->final_hex(), want) << "len " << len << " cut " << cut;
                }
            }
        }
    });
}

// The system's digest programs agree on random data of sizes around the
// block and padding boundaries, in one piece and in odd pieces.
class DigestOracle : public testing::TestWithParam<const char*> {};

TEST_P(DigestOracle, AgreesWithSystemProgram) {
    static constexpr size_t sizes[] = {0, 1, 55, 56, 63, 64, 65, 111, 112, 119, 120, 127, 128, 129, 1000003,
                                       (1 << 20) + 7};
    const digest_algo& a = algo_named(GetParam());
    std::vector<std::string> inputs, want;
    for (size_t n : sizes) inputs.push_back(test_bytes(n, n + 7));
    try {
        for (const std::string& in : inputs) want.push_back(oracle_hex(a.oracle, in));
    } catch (const std::exception& e) {
        GTEST_SKIP() << a.oracle[0] << " unusable: " << e.what();
    }
    on_each_path([&] {
        for (size_t i = 0; i < inputs.size(); i++) {
            SCOPED_TRACE(inputs[i].size());
            EXPECT_EQ(a.one_shot(inputs[i].data(), inputs[i].size()), want[i]);
            auto run = a.make();
            feed_odd_pieces(*run, inputs[i]);
            EXPECT_EQ(run->final_hex(), want[i]);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Digest, DigestOracle, testing::Values("md5", "sha1", "sha256", "sha512", "sm3", "xxh3"),
                         [](const testing::TestParamInfo<const char*>& i) { return std::string(i.param); });

// The block routines of the SHA instructions and the portable ones leave the
// same state after any prefix, so the state texts are identical too.
TEST(Digest, ShaInstructionsMatchPortableInDigestsAndTexts) {
    if (!pl_sha_ni_available()) GTEST_SKIP() << "no SHA instructions on this processor";
    sha_path_guard guard;
    const std::string data = test_bytes(64 * 40 + 17, 3);
    for (const char* name : {"sha1", "sha256"}) {
        SCOPED_TRACE(name);
        const digest_algo& a = algo_named(name);
        for (size_t len = 0; len <= data.size(); len += 37) {
            std::string text[2], digest[2];
            for (int ni = 0; ni <= 1; ni++) {
                pl_sha_ni_set(ni);
                auto run = a.make();
                run->update(data.data(), len);
                text[ni] = run->text();
                digest[ni] = run->final_hex();
            }
            ASSERT_EQ(text[1], text[0]) << "len " << len;
            ASSERT_EQ(digest[1], digest[0]) << "len " << len;
        }
    }
}

// The vector SHA-512 routines (two blocks at a time, then a last single
// one) and the portable one leave the same state for every length up to
// eight blocks and beyond, split so that either part may hold an odd or even
// number of whole blocks after a partly filled buffer; sha512sum agrees on
// the whole messages.
TEST(Digest, Sha512VectorRoutinesMatchPortableAndSha512sum) {
    if (!pl_sha512_avx2_available()) GTEST_SKIP() << "no AVX2/BMI2 on this processor";
    sha_path_guard guard;
    const digest_algo& a = algo_named("sha512");
    const std::string data = test_bytes(128 * 9 + 77, 21);
    const std::vector<int> routines = sha512_routines();
    for (size_t len = 0; len <= data.size(); len += (len < 300 ? 1 : 13)) {
        const size_t cuts[] = {0, len / 3, len / 2, len > 0 ? len - 1 : 0, std::min(len, size_t{129}),
                               std::min(len, size_t{255}), std::min(len, size_t{383})};
        for (size_t cut : cuts) {
            std::string text[3], digest[3];
            for (size_t i = 0; i < routines.size(); i++) {
                pl_sha512_avx2_set(routines[i]);
                ASSERT_EQ(pl_sha512_avx2_active(), routines[i]);
                auto run = a.make();
                run->update(data.data(), cut);
                run->update(data.data() + cut, len - cut);
                text[i] = run->text();
                digest[i] = run->final_hex();
                ASSERT_EQ(text[i], text[0]) << "routine " << routines[i] << " len " << len << " cut " << cut;
                ASSERT_EQ(digest[i], digest[0]) << "routine " << routines[i] << " len " << len << " cut " << cut;
            }
        }
    }

    std::vector<std::string> want;
    const size_t lens[] = {0, 127, 128, 255, 256, 257, 383, 384, 511, 640, 1023, 1024, 128 * 9 + 77};
    try {
        for (size_t len : lens) want.push_back(oracle_hex(a.oracle, data.substr(0, len)));
    } catch (const std::exception& e) {
        GTEST_SKIP() << a.oracle[0] << " unusable: " << e.what();
    }
    for (size_t r = 1; r < routines.size(); r++) {
        pl_sha512_avx2_set(routines[r]);
        for (size_t i = 0; i < std::size(lens); i++) {
            EXPECT_EQ(a.one_shot(data.data(), lens[i]), want[i]) << "routine " << routines[r] << " len " << lens[i];
            const size_t first = std::min(lens[i], size_t{1});  // the rest then passes the buffer
            auto run = a.make();
            run->update(data.data(), first);
            run->update(data.data() + first, lens[i] - first);
            EXPECT_EQ(run->final_hex(), want[i]) << "routine " << routines[r] << " len " << lens[i];
        }
    }
}

// Every SHA-512 routine of the processor, openssl as the oracle: lengths on
// both sides of the padding boundary (112: the length no longer fits the
// last block) and past a mebibyte, fed whole and in pieces of random
// lengths (a fixed seed, so a failure repeats).
TEST(Digest, Sha512EveryRoutineAgreesWithOpensslInRandomPieces) {
    static constexpr size_t lens[] = {0, 1, 111, 112, 127, 128, 239, 240, 256, 257, (1 << 20) + 3};
    const digest_algo& a = algo_named("sha512");
    const std::string data = test_bytes(lens[std::size(lens) - 1], 77);
    std::vector<std::string> want;
    try {
        for (size_t len : lens) want.push_back(oracle_hex({"openssl", "dgst", "-sha512", "-r"}, data.substr(0, len)));
    } catch (const std::exception& e) {
        GTEST_SKIP() << "openssl unusable: " << e.what();
    }
    sha_path_guard guard;
    std::mt19937_64 rng(0x5a512);
    for (int routine : sha512_routines()) {
        pl_sha512_avx2_set(routine);
        ASSERT_EQ(pl_sha512_avx2_active(), routine);
        for (size_t i = 0; i < std::size(lens); i++) {
            SCOPED_TRACE("routine " + std::to_string(routine) + " len " + std::to_string(lens[i]));
            EXPECT_EQ(a.one_shot(data.data(), lens[i]), want[i]);
            for (int split = 0; split < 3; split++) {
                // Mostly short pieces around the block size, now and then
                // a long one that holds many whole blocks.
                auto run = a.make();
                size_t pos = 0;
                while (pos < lens[i]) {
                    const size_t most = rng() % 8 == 0 ? 70000 : 300;
                    const size_t n = std::min<size_t>(rng() % (most + 1), lens[i] - pos);
                    run->update(data.data() + pos, n);
                    pos += n;
                }
                EXPECT_EQ(run->final_hex(), want[i]) << "split " << split;
            }
        }
    }
}

// Every update takes a full-size length.
static_assert(std::is_same_v<decltype(&pl_md5_update), void (*)(pl_md5_ctx*, const void*, size_t)>);
static_assert(std::is_same_v<decltype(&pl_sha1_update), void (*)(pl_sha1_ctx*, const void*, size_t)>);
static_assert(std::is_same_v<decltype(&pl_sha256_update), void (*)(pl_sha256_ctx*, const void*, size_t)>);
static_assert(std::is_same_v<decltype(&pl_sha512_update), void (*)(pl_sha512_ctx*, const void*, size_t)>);
static_assert(std::is_same_v<decltype(&pl_sm3_update), void (*)(pl_sm3_ctx*, const void*, size_t)>);
static_assert(std::is_same_v<decltype(&pl_xxh3_128_update), void (*)(XXH3_state_s*, const void*, size_t)>);

// One update of 4 GiB + 3 zero bytes (untouched anonymous pages, so no
// memory is used) is neither cut to 32 bits nor wrapped.
TEST(Digest, UpdateOfFourGibibytesInOneCall) {
    constexpr size_t len = (size_t{1} << 32) + 3;
    void* m = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
    struct unmap {
        void* p;
        ~unmap() { munmap(p, len); }
    } guard{m};
    sha_path_guard path;
    pl_sha_ni_set(1);  // the fastest routine there is; both give the same state

    pl_sha1_ctx sha1;
    pl_sha1_init(&sha1);
    pl_sha1_update(&sha1, m, len);
    EXPECT_EQ(sha1.count[0], 0x18u);  // (2^32 + 3) * 8 bits
    EXPECT_EQ(sha1.count[1], 0x8u);
    uint8_t d[PL_SHA1_DIGEST_LEN];
    pl_sha1_final(&sha1, d);
    EXPECT_EQ(to_hex(d, sizeof d), "c2a34e434ebc0e21d10d44c2c778b2dc631c16db");

    if (pl_sha_ni_active()) {  // the portable routine would take long here
        pl_sha256_ctx sha256;
        pl_sha256_init(&sha256);
        pl_sha256_update(&sha256, m, len);
        EXPECT_EQ(sha256.total, uint64_t{len} * 8);
        EXPECT_EQ(sha256.buffered, 3u);
        uint8_t d256[PL_SHA256_DIGEST_LEN];
        pl_sha256_final(&sha256, d256);
        EXPECT_EQ(to_hex(d256, sizeof d256), "930fa067940ff8d9f427e3a116b7598503c70ce7380d66ff65f8de33d558f7f3");
    }

    uint8_t x[PL_XXH3_128_DIGEST_LEN];
    pl_xxh3_128_buf(m, len, x);
    EXPECT_EQ(to_hex(x, sizeof x), "904a4e6528dfb9bc4f834450ba1bc511");
}

}  // namespace
