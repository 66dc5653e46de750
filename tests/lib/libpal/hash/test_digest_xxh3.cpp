// XXH3-128 through the xxHash library: the state text, also across
// processes, and loading that refuses texts it cannot take whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "support/log_capture.h"
#include "support/proc.h"
#include "test_digest_algos.h"

namespace {

// Byte offsets of fields of the library's state record (xxHash 0.8).
constexpr size_t OFF_CUSTOM_SECRET = 64;
constexpr size_t OFF_BUFFERED = 512;
constexpr size_t OFF_USE_SEED = 516;
constexpr size_t OFF_STRIPES_SO_FAR = 520;
constexpr size_t OFF_TOTAL_LEN = 528;
constexpr size_t OFF_STRIPES_PER_BLOCK = 536;
constexpr size_t OFF_SECRET_LIMIT = 544;
constexpr size_t OFF_SEED = 552;
constexpr size_t OFF_EXT_SECRET = 568;

// The text with the little-endian value of width bytes at a record offset.
std::string with_field(std::string text, size_t offset, uint64_t value, size_t width) {
    char digits[3];
    for (size_t i = 0; i < width; i++) {
        snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>((value >> (8 * i)) & 0xff));
        text.replace(2 * (offset + i), 2, digits);
    }
    return text;
}

const std::string& message() {
    static const std::string m = test_bytes(2000, 11);
    return m;
}

std::string text_after(size_t n) {
    xxh3_run run;
    run.update(message().data(), n);
    return run.text();
}

TEST(DigestXxh3, FreshStateAndText) {
    xxh3_run run;
    const std::string text = run.text();
    ASSERT_EQ(text.size(), 1152u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    // The record was zeroed before the reset: the unused custom secret too.
    EXPECT_EQ(text.substr(2 * OFF_CUSTOM_SECRET, 2 * 192), std::string(384, '0'));
    EXPECT_EQ(run.final_hex(), "99aa06d3014798d86001c324468d497f");
}

TEST(DigestXxh3, RoundTripInProcess) {
    const std::string want = xxh3_algo().one_shot(message().data(), message().size());
    for (size_t cut : {0, 1, 100, 256, 257, 1000, 1024, 1999}) {
        const std::string text = text_after(cut);
        xxh3_run second;
        second.update("unrelated", 9);
        ASSERT_EQ(second.load(text.c_str()), 0) << cut;
        EXPECT_EQ(second.text(), text);
        second.update(message().data() + cut, message().size() - cut);
        EXPECT_EQ(second.final_hex(), want) << cut;
    }
}

// A text holding another process's secret pointer (here: garbage) loads
// and continues with this process's secret.
TEST(DigestXxh3, ForeignSecretPointerIsNotUsed) {
    const std::string text = with_field(text_after(1000), OFF_EXT_SECRET, 0xdeadbeefdeadbeefULL, 8);
    xxh3_run run;
    ASSERT_EQ(run.load(text.c_str()), 0);
    run.update(message().data() + 1000, 1000);
    EXPECT_EQ(run.final_hex(), xxh3_algo().one_shot(message().data(), message().size()));
}

// Run as a child by TextCrossesProcesses: loads the text of the file named
// in KXDD_XXH3_TEXT, finishes the message, writes the digest to the file
// named in KXDD_XXH3_OUT.
TEST(DigestXxh3Child, FinishFromText) {
    const char* in = getenv("KXDD_XXH3_TEXT");
    const char* out = getenv("KXDD_XXH3_OUT");
    if (!in || !out) GTEST_SKIP() << "runs as the child of DigestXxh3.TextCrossesProcesses";
    const std::string text = read_file(in);
    xxh3_run run;
    ASSERT_EQ(run.load(text.c_str()), 0);
    run.update(message().data() + 1000, message().size() - 1000);
    write_file(out, run.final_hex());
}

TEST(DigestXxh3, TextCrossesProcesses) {
    temp_dir dir;
    write_file(dir.file("text"), text_after(1000));
    write_file(dir.file("message"), message());
    proc_result r = run_proc({"/proc/self/exe", "--gtest_filter=DigestXxh3Child.FinishFromText"}, {},
                             {"KXDD_XXH3_TEXT=" + dir.file("text"), "KXDD_XXH3_OUT=" + dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string digest = read_file(dir.file("out"));
    EXPECT_EQ(digest, xxh3_algo().one_shot(message().data(), message().size()));
    try {
        proc_result x = run_proc({"xxhsum", "-H2", dir.file("message")});
        if (x.status == 0) {
            EXPECT_EQ(x.out.substr(0, 32), digest);
        }
    } catch (const std::exception&) {
        // no xxhsum here: the one-shot digest stands alone
    }
}

TEST(DigestXxh3, LoadRefusesBadTexts) {
    const std::string good = text_after(1000);
    const std::string small = text_after(10);
    std::string bad_digit = good;
    bad_digit[10] = 'G';
    std::string lower = good;  // lower-case digits are digits
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const std::pair<const char*, std::string> bad[] = {
        {"empty", ""},
        {"odd length", good.substr(0, 1151)},
        {"short", good.substr(0, 1150)},
        {"long", good + "00"},
        {"not a digit", bad_digit},
        {"buffered beyond the buffer", with_field(good, OFF_BUFFERED, 257, 4)},
        {"stripes beyond a block", with_field(good, OFF_STRIPES_SO_FAR, 16, 8)},
        {"other secret size", with_field(good, OFF_SECRET_LIMIT, 1 << 20, 8)},
        {"other stripes per block", with_field(good, OFF_STRIPES_PER_BLOCK, 1 << 20, 8)},
        {"seeded", with_field(good, OFF_USE_SEED, 1, 4)},
        {"seed", with_field(good, OFF_SEED, 5, 8)},
        {"short message not all buffered", with_field(small, OFF_BUFFERED, 9, 4)},
        {"long message nothing buffered", with_field(good, OFF_BUFFERED, 0, 4)},
        {"total shorter than the buffered bytes", with_field(good, OFF_TOTAL_LEN, 100, 8)},
    };
    const std::string want = xxh3_algo().one_shot(message().data(), message().size());
    for (const auto& [why, text] : bad) {
        SCOPED_TRACE(why);
        xxh3_run run;
        run.update(message().data(), 1000);
        log_capture cap;
        EXPECT_EQ(run.load(text.c_str()), -1);
        EXPECT_TRUE(cap.contains("str_hex_decode_bin failed")) << cap.all();
        EXPECT_EQ(run.text(), good);
        run.update(message().data() + 1000, 1000);
        EXPECT_EQ(run.final_hex(), want);
    }
    xxh3_run run;
    log_capture cap;
    EXPECT_EQ(pl_xxh3_128_set_ctx(run.st, nullptr), -1);
    EXPECT_EQ(run.load(lower.c_str()), 0);
    EXPECT_EQ(run.text(), good);
}

TEST(DigestXxh3, SmallTextBufferIsRefused) {
    xxh3_run run;
    char text[PL_XXH3_TEXT_SIZE - 1];
    memset(text, 'x', sizeof text);
    log_capture cap;
    EXPECT_EQ(pl_xxh3_128_get_ctx(run.st, text, sizeof text), -1);
    EXPECT_TRUE(cap.contains("str_bin_encode_hex failed")) << cap.all();
    EXPECT_EQ(cap.count(LOG2_ERR), 1u);
    EXPECT_EQ(text[0], 'x');
}

}  // namespace
