// Hash jobs, state texts: a job opened from the text another job left after
// a range, or restored with file_hash_set_ctx, continues to the same final
// digests as one pass, for all twelve algorithms. The SHA-512, XXH3 and
// per-block texts are longer than a 512-byte line.
#include <gtest/gtest.h>

#include <string>

#include "file_job_fixture.h"
#include "libpal/hash/file_hash.h"
#include "support/log_capture.h"

using namespace job_test;

namespace {

constexpr uint64_t k_bs = 4099;
constexpr size_t k_size = 300 * k_bs + 77;
constexpr uint64_t k_range = 16 * k_bs;
constexpr int64_t k_cut = 7 * static_cast<int64_t>(k_range);  // not a multiple of 64 or 128

struct state_fixture : ::testing::Test {
    mem_source src;
    void SetUp() override { src.data = pattern_bytes(k_size, 21); }

    file_hash_ctx* open(uint32_t flags, const char* ctx = nullptr, uint8_t thread = 0) {
        file_hash_param p = hash_param(flags, &src, mem_source::read, k_size, k_bs, 0, thread, ctx);
        return file_hash_open(&p, &err);
    }
    std::map<uint32_t, std::string> one_pass(uint32_t flags) {
        file_hash_ctx* job = open(flags);
        EXPECT_NE(job, nullptr);
        EXPECT_EQ(hash_ranges(job, 0, k_size, k_range), 0);
        auto f = finals(job, flags);
        file_hash_close(job);
        return f;
    }
    verr_info err{};
};

TEST_F(state_fixture, OpenedFromTheTextContinues) {
    const auto want = one_pass(HASH_ALL);
    for (uint8_t thread = 0; thread <= 1; thread++) {
        // With threads allowed, the "p" algorithms alone go to the pool.
        for (uint32_t flags : {static_cast<uint32_t>(HASH_ALL), k_block_all}) {
            SCOPED_TRACE(std::string(file_hash_flag_str(flags)) + (thread ? " threads" : ""));
            file_hash_ctx* a = open(flags, nullptr, thread);
            ASSERT_NE(a, nullptr);
            ASSERT_EQ(hash_ranges(a, 0, k_cut, k_range), 0);
            std::string text = state_text(a);
            file_hash_close(a);

            file_hash_ctx* b = open(flags, text.c_str(), thread);
            ASSERT_NE(b, nullptr) << verr_msg(&err);
            ASSERT_EQ(hash_ranges(b, k_cut, k_size, k_range), 0);
            auto got = finals(b, flags);
            file_hash_close(b);
            for (uint32_t bit : bits_of(flags)) EXPECT_EQ(got[bit], want.at(bit)) << file_hash_flag_str(bit);
        }
    }
}

TEST_F(state_fixture, SetCtxRestoresLongLines) {
    const auto want = one_pass(HASH_ALL);
    file_hash_ctx* a = open(HASH_ALL);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(hash_ranges(a, 0, k_cut, k_range), 0);
    std::string text = state_text(a);
    file_hash_close(a);

    // The lines a 512-byte line buffer would have lost.
    EXPECT_GT(state_line(text, "sha512").size(), 512u);
    EXPECT_EQ(state_line(text, "xxh3").size(), 5 + 1152u);

    file_hash_ctx* b = open(HASH_ALL);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(file_hash_set_ctx(b, text.c_str()), 0);
    EXPECT_EQ(state_text(b), text);
    ASSERT_EQ(hash_ranges(b, k_cut, k_size, k_range), 0);
    auto got = finals(b, HASH_ALL);
    file_hash_close(b);
    for (uint32_t bit : bits_of(HASH_ALL)) EXPECT_EQ(got[bit], want.at(bit)) << file_hash_flag_str(bit);
}

// Sums of a long run of blocks: a psha512 line longer than 512 bytes.
TEST_F(state_fixture, LongPerBlockSumsLineRestores) {
    // Sums of 0x10000000 and more: eight digits a field, 575 bytes.
    std::string sums;
    for (int i = 0; i < 64; i++) sums += (i ? "," : "") + std::string("f") + std::to_string(1000000 + i);
    std::string text = "psha512 " + sums;
    ASSERT_GT(text.size(), 512u);
    file_hash_ctx* job = open(HASH_PSHA512);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(file_hash_set_ctx(job, text.c_str()), 0);
    EXPECT_EQ(state_text(job), text);
    file_hash_close(job);

    job = open(HASH_PSHA512, text.c_str());
    ASSERT_NE(job, nullptr) << verr_msg(&err);
    EXPECT_EQ(state_text(job), text);
    file_hash_close(job);
}

// A line that does not restore is a failure, never a silent fresh start.
TEST_F(state_fixture, BrokenLinesFail) {
    file_hash_ctx* a = open(HASH_MD5 | HASH_XXH3 | HASH_PMD5);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(file_hash_cal(a, 0, k_range), 0);
    std::string text = state_text(a);
    file_hash_close(a);

    struct row {
        const char* word;
        std::string line;
    };
    const std::string xxh = state_line(text, "xxh3");
    const row rows[] = {
        {"xxh3", xxh.substr(0, xxh.size() - 2)},  // a digit short
        {"md5", "md5 1,2,3"},
        {"pmd5", "pmd5 1,2"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.word);
        std::string broken;
        for (const char* w : {"md5", "xxh3", "pmd5"})
            broken += (broken.empty() ? "" : "\n") + (w == std::string(r.word) ? r.line : state_line(text, w));
        log_capture cap;
        file_hash_ctx* b = open(HASH_MD5 | HASH_XXH3 | HASH_PMD5, broken.c_str());
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
        file_hash_close(b);

        file_hash_ctx* c = open(HASH_MD5 | HASH_XXH3 | HASH_PMD5);
        ASSERT_NE(c, nullptr);
        EXPECT_NE(file_hash_set_ctx(c, broken.c_str()), 0);
        file_hash_close(c);
    }
    // The MD5 restore names itself in the log.
    log_capture cap;
    std::string md5_bad = "md5 zz";
    EXPECT_EQ(open(HASH_MD5, md5_bad.c_str()), nullptr);
    EXPECT_TRUE(cap.contains("pl_md5_set_ctx [zz] failed")) << cap.all();
}

TEST_F(state_fixture, TextFormatAndLimits) {
    file_hash_ctx* job = open(HASH_SHA1 | HASH_MD5 | HASH_PXXH3 | HASH_PMD5);
    ASSERT_NE(job, nullptr);
    std::string fresh = state_text(job);
    // One line per algorithm in the fixed order, without a final line break.
    EXPECT_EQ(fresh.rfind("md5 ", 0), 0u);
    EXPECT_NE(fresh.find("\nsha1 "), std::string::npos);
    EXPECT_NE(fresh.find("\npmd5 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\npxxh3 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0"),
              std::string::npos);
    EXPECT_NE(fresh.back(), '\n');
    EXPECT_LT(fresh.find("md5 "), fresh.find("sha1 "));

    // A buffer one byte short: -1 and an empty text.
    std::string buf(fresh.size(), 'x');
    EXPECT_EQ(file_hash_get_ctx(job, buf.data(), buf.size()), -1);
    EXPECT_EQ(buf[0], '\0');
    file_hash_close(job);

    char line[64];
    EXPECT_EQ(file_hash_find_ctx("md5 a\npmd5 b\nsha1 c", HASH_PMD5, line, sizeof line), 0);
    EXPECT_STREQ(line, "b");
    EXPECT_EQ(file_hash_find_ctx("pmd5 b\nmd5 a", HASH_MD5, line, sizeof line), 0);
    EXPECT_STREQ(line, "a");
    EXPECT_EQ(file_hash_find_ctx("md5x a\nsha1 c", HASH_MD5, line, sizeof line), 0);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(file_hash_find_ctx("md5 0123456789", HASH_MD5, line, 5), -1);
    EXPECT_STREQ(line, "");
}

}  // namespace
