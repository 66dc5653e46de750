// State texts of the five own digests: format, round trips, and loading
// that refuses every text it cannot take whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/hash/sha512_avx2.h"
#include "libpal/hash/sha_ni.h"
#include "test_digest_algos.h"

namespace {

constexpr size_t DIGEST_TEXT_SIZE = PL_SHA512_TEXT_SIZE;

std::vector<std::string> split_fields(const std::string& text) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        f.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return f;
        start = comma + 1;
    }
}

std::string join_fields(const std::vector<std::string>& f) {
    std::string s;
    for (size_t i = 0; i < f.size(); i++) s += (i ? "," : "") + f[i];
    return s;
}

TEST(DigestText, FreshMd5TextHoldsTheInitialWordsAndZeros) {
    pl_md5_ctx ctx;
    pl_md5_init(&ctx);
    char text[PL_MD5_TEXT_SIZE];
    ASSERT_EQ(pl_md5_get_ctx(&ctx, text, sizeof text), 0);
    std::string want = "67452301,efcdab89,98badcfe,10325476";
    for (int i = 0; i < 66; i++) want += ",0";
    EXPECT_EQ(text, want);
}

// init leaves no stale bytes of the record's memory in the state text.
TEST(DigestText, FreshTextsHoldNoStaleBytes) {
    auto buffer_fields = [](auto init, auto get, auto* ctx, size_t n) {
        memset(static_cast<void*>(ctx), 0xAA, sizeof *ctx);
        init(ctx);
        char text[DIGEST_TEXT_SIZE];
        get(ctx, text, sizeof text);
        std::vector<std::string> f = split_fields(text);
        return std::vector<std::string>(f.end() - static_cast<ptrdiff_t>(n), f.end());
    };
    const std::vector<std::string> zeros64(64, "0"), zeros128(128, "0");
    pl_md5_ctx md5;
    pl_sha1_ctx sha1;
    pl_sha256_ctx sha256;
    pl_sha512_ctx sha512;
    pl_sm3_ctx sm3;
    EXPECT_EQ(buffer_fields(pl_md5_init, pl_md5_get_ctx, &md5, 64), zeros64);
    EXPECT_EQ(buffer_fields(pl_sha1_init, pl_sha1_get_ctx, &sha1, 64), zeros64);
    EXPECT_EQ(buffer_fields(pl_sha256_init, pl_sha256_get_ctx, &sha256, 64), zeros64);
    EXPECT_EQ(buffer_fields(pl_sha512_init, pl_sha512_get_ctx, &sha512, 128), zeros128);
    EXPECT_EQ(buffer_fields(pl_sm3_init, pl_sm3_get_ctx, &sm3, 64), zeros64);
}

// Field counts, and the longest texts: every field at its widest value.
TEST(DigestText, FieldCountsAndLongestTexts) {
    struct widths {
        const char* name;
        size_t longest;
        std::vector<std::pair<size_t, const char*>> runs;  // fields, widest value
    };
    const widths table[] = {
        // bit counts are whole bytes
        {"md5", 245, {{4, "ffffffff"}, {1, "fffffff8"}, {1, "ffffffff"}, {64, "ff"}}},
        {"sha1", 254, {{5, "ffffffff"}, {1, "fffffff8"}, {1, "ffffffff"}, {64, "ff"}}},
        // total's low bits must agree with buffered (0x3f bytes waiting)
        {"sha256", 283, {{1, "fffffffffffffdf8"}, {8, "ffffffff"}, {1, "3f"}, {64, "ff"}}},
        {"sha512", 553, {{10, "fffffffffffffff8"}, {128, "ff"}}},
        {"sm3", 281, {{10, "ffffffff"}, {64, "ff"}}},
    };
    for (const widths& w : table) {
        SCOPED_TRACE(w.name);
        const digest_algo* a = nullptr;
        for (const digest_algo& x : own_algos())
            if (std::string(x.name) == w.name) a = &x;
        ASSERT_NE(a, nullptr);
        auto run = a->make();
        EXPECT_EQ(split_fields(run->text()).size(), a->fields);

        std::vector<std::string> f;
        for (auto& [n, v] : w.runs) f.insert(f.end(), n, v);
        ASSERT_EQ(f.size(), a->fields);
        const std::string widest = join_fields(f);
        ASSERT_EQ(run->load(widest.c_str()), 0);
        EXPECT_EQ(run->text(), widest);
        EXPECT_EQ(widest.size(), w.longest);
    }
}

TEST(DigestText, SmallBufferKeepsTheBeginning) {
    pl_sha1_ctx ctx;
    pl_sha1_init(&ctx);
    pl_sha1_update(&ctx, "some bytes of a message", 23);
    char full[PL_SHA1_TEXT_SIZE];
    ASSERT_EQ(pl_sha1_get_ctx(&ctx, full, sizeof full), 0);
    ASSERT_GT(strlen(full), 99u);

    char small[100];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(pl_sha1_get_ctx(&ctx, small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(full, 99));
    EXPECT_EQ(pl_sha1_get_ctx(&ctx, small, 0), -1);
    EXPECT_EQ(pl_sha1_get_ctx(&ctx, nullptr, 10), -1);
}

// Text taken after every prefix of up to 200 bytes, loaded into a fresh
// context that finishes the message: the digest of the whole message. When
// the processor has the SHA instructions or the AVX2 SHA-512 routine, texts
// also move between those and the portable block routines.
TEST(DigestText, RoundTripAtEverySplit) {
    const std::string data = test_bytes(400, 9);
    struct path_guard {
        int prev = pl_sha_ni_active();
        int prev512 = pl_sha512_avx2_active();
        ~path_guard() {
            pl_sha_ni_set(prev);
            pl_sha512_avx2_set(prev512);
        }
    } guard;
    const int paths = pl_sha_ni_available() || pl_sha512_avx2_available() ? 2 : 1;
    for (const digest_algo& a : own_algos()) {
        SCOPED_TRACE(a.name);
        const std::string want = a.one_shot(data.data(), data.size());
        for (int from = 0; from < paths; from++) {
            for (size_t cut = 0; cut <= 200; cut++) {
                pl_sha_ni_set(from);
                pl_sha512_avx2_set(from);
                auto first = a.make();
                first->update(data.data(), cut);
                const std::string text = first->text();

                pl_sha_ni_set(paths - 1 - from);
                pl_sha512_avx2_set(paths - 1 - from);
                auto second = a.make();
                second->update("unrelated", 9);  // loading replaces everything
                ASSERT_EQ(second->load(text.c_str()), 0) << "cut " << cut;
                EXPECT_EQ(second->text(), text);
                second->update(data.data() + cut, data.size() - cut);
                ASSERT_EQ(second->final_hex(), want) << "cut " << cut << " from path " << from;
            }
        }
    }
}

// Texts that must be refused, made from a valid mid-stream text; the
// context keeps its state and still gives the right digest.
TEST(DigestText, LoadRefusesMalformedTexts) {
    const std::string data = test_bytes(150, 4);
    for (const digest_algo& a : own_algos()) {
        SCOPED_TRACE(a.name);
        auto src = a.make();
        src->update(data.data(), 100);
        const std::string good = src->text();
        const std::vector<std::string> f = split_fields(good);
        ASSERT_EQ(f.size(), a.fields);
        const size_t last = f.size() - 1;

        auto with = [&](size_t i, const std::string& v) {
            std::vector<std::string> g = f;
            g[i] = v;
            return join_fields(g);
        };
        std::vector<std::pair<const char*, std::string>> bad = {
            {"one field short", good.substr(0, good.rfind(','))},
            {"trailing comma", good + ","},
            {"one field more", good + ",0"},
            {"empty text", ""},
            {"empty field", with(1, "")},
            {"not a digit", with(1, "zz")},
            {"digits then junk", with(1, "12g")},
            {"0x prefix", with(1, "0x1")},
            {"sign", with(1, "-1")},
            {"blank", with(1, " 1")},
            {"byte too wide", with(last, "100")},
            {"word too wide", with(1, std::string(a.fields == 138 ? 17 : 9, '1'))},
        };
        const std::string name = a.name;
        if (name == "md5" || name == "sha1") bad.push_back({"count not whole bytes", with(name == "md5" ? 4 : 5, "321")});
        if (name == "sha512") bad.push_back({"count not whole bytes", with(8, "321")});
        if (name == "sha256") {
            bad.push_back({"buffered 64", with(9, "40")});
            bad.push_back({"buffered 64 with a total of 64 bytes", [&] {
                               std::vector<std::string> g = f;
                               g[0] = "200";
                               g[9] = "40";
                               return join_fields(g);
                           }()});
            bad.push_back({"buffered disagrees with total", with(9, "3")});
            bad.push_back({"total not whole bytes", with(0, "323")});
        }

        for (const auto& [why, text] : bad) {
            SCOPED_TRACE(why);
            auto ctx = a.make();
            ctx->update(data.data(), 100);
            EXPECT_EQ(ctx->load(text.c_str()), -1) << text;
            EXPECT_EQ(ctx->text(), good);
            ctx->update(data.data() + 100, 50);
            EXPECT_EQ(ctx->final_hex(), a.one_shot(data.data(), 150));
        }
        auto ctx = a.make();
        EXPECT_EQ(ctx->load(nullptr), -1);
        // Upper-case digits are numbers too.
        std::string upper = good;
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(ctx->load(upper.c_str()), 0);
        EXPECT_EQ(ctx->text(), good);
    }
}

// What each final leaves in its context.
TEST(DigestText, ContextsAfterFinal) {
    uint8_t out[64];
    const uint8_t zero[sizeof(pl_sha512_ctx)] = {};

    pl_md5_ctx md5;
    pl_md5_init(&md5);
    pl_md5_update(&md5, "abc", 3);
    pl_md5_final(&md5, out);
    EXPECT_EQ(memcmp(&md5, zero, sizeof md5), 0);

    pl_sha1_ctx sha1;
    pl_sha1_init(&sha1);
    pl_sha1_update(&sha1, "abc", 3);
    pl_sha1_final(&sha1, out);
    EXPECT_EQ(memcmp(&sha1, zero, sizeof sha1), 0);

    // SHA-256 without an output: nothing written, the context padded.
    pl_sha256_ctx sha256;
    pl_sha256_init(&sha256);
    pl_sha256_update(&sha256, "abc", 3);
    pl_sha256_final(&sha256, nullptr);
    EXPECT_EQ(sha256.buffer[3], 0x80);
    EXPECT_EQ(sha256.buffer[63], 24);  // the bit length, big-endian
    EXPECT_EQ(sha256.state[0], 0xba7816bfu);

    // SHA-512 without an output does nothing; with one, the state words
    // are left in big-endian order, that is, the digest itself.
    pl_sha512_ctx sha512;
    pl_sha512_init(&sha512);
    pl_sha512_update(&sha512, "abc", 3);
    pl_sha512_ctx before = sha512;
    pl_sha512_final(&sha512, nullptr);
    EXPECT_EQ(memcmp(&sha512, &before, sizeof before), 0);
    pl_sha512_final(&sha512, out);
    EXPECT_EQ(memcmp(sha512.state, out, 64), 0);
    EXPECT_EQ(to_hex(out, 64).substr(0, 16), "ddaf35a193617aba");

    pl_sm3_ctx sm3;
    pl_sm3_init(&sm3);
    pl_sm3_update(&sm3, "abc", 3);
    pl_sm3_final(&sm3, out);
    EXPECT_EQ(sm3.buffer[3], 0x80);
    EXPECT_EQ(sm3.state[0], 0x66c7f0f4u);
}

TEST(DigestMd5, TextAndFileForms) {
    char hex[33];
    memset(hex, 'x', sizeof hex);
    EXPECT_STREQ(pl_md5_str_hex("", hex), "");
    EXPECT_STREQ(pl_md5_str_hex("abc", hex), "900150983cd24fb0d6963f7d28e17f72");

    char dir_template[] = "/tmp/digest_md5_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string data = test_bytes(100000, 5), full = dir + "/data", empty = dir + "/empty";
    FILE* fp = fopen(full.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fwrite(data.data(), 1, data.size(), fp);
    fclose(fp);
    fp = fopen(empty.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fclose(fp);

    uint8_t d[16];
    EXPECT_EQ(pl_md5_file(full.c_str(), d), 0);
    EXPECT_EQ(to_hex(d, 16), own_algos()[0].one_shot(data.data(), data.size()));
    EXPECT_EQ(pl_md5_file_hex(full.c_str(), hex), 0);
    EXPECT_EQ(std::string(hex), to_hex(d, 16));
    EXPECT_EQ(pl_md5_file(empty.c_str(), d), -1);
    EXPECT_EQ(pl_md5_file_hex(empty.c_str(), hex), -1);
    EXPECT_STREQ(hex, "");
    EXPECT_EQ(pl_md5_file((dir + "/missing").c_str(), d), -1);

    remove(full.c_str());
    remove(empty.c_str());
    rmdir(dir.c_str());
}

}  // namespace
