// Jobs the server runs over a remote file against the Python test server:
// hashing with its digests checked against local ones, byte counting,
// pattern writes, the version gates of each call, the request texts as the
// server receives them, step answers that do not fit the caller's buffer
// and server refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "kxsd_file_rig.h"
#include "libkxsd/kxsd_cal.h"
#include "libkxsd/kxsd_cmd.h"
#include "libpal/hash/file_hash.h"
#include "libpal/hash/md5.h"
#include "libpal/hash/sha1.h"
#include "libpal/hash/sha256.h"
#include "libpal/hash/sha512.h"
#include "libpal/hash/sm3.h"
#include "libpal/hash/xxh.h"
#include "libpwd/libpwd.h"

using namespace kxsd_file_rig;

namespace {

constexpr uint64_t k_bs = 65536;
constexpr size_t k_data_len = 300000;  // not a multiple of the block size

file_ptr open_img(const served& s, uint32_t flags = 0x4) {
    return file_ptr(kxsd_cli_open(s.conn(), "/img", flags));
}

std::string read_back(const served& s) {
    std::ifstream in(s.srv.file("img"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += d[p[i] >> 4];
        out += d[p[i] & 15];
    }
    return out;
}

// The whole-stream algorithms and their one-shot digests here.
struct whole_alg {
    uint32_t bit;
    const char* name;
    size_t len;
    void (*buf)(const void*, size_t, uint8_t*);
};
constexpr whole_alg k_whole[] = {
    {HASH_MD5, "md5", 16, &pl_md5_buf},         {HASH_SHA1, "sha1", 20, &pl_sha1_buf},
    {HASH_SHA256, "sha256", 32, &pl_sha256_buf}, {HASH_SHA512, "sha512", 64, &pl_sha512_buf},
    {HASH_SM3, "sm3", 32, &pl_sm3_buf},          {HASH_XXH3, "xxh3", 16, &pl_xxh3_128_buf},
};

// The per-block algorithms' results as a local hash job over the same data
// and ranges computes them.
struct mem_src {
    const std::string* data;
};
int64_t mem_read(void* arg, void* buf, int64_t len, int64_t off) {
    const std::string& d = *static_cast<mem_src*>(arg)->data;
    if (off >= static_cast<int64_t>(d.size())) return 0;
    const int64_t n = std::min<int64_t>(len, static_cast<int64_t>(d.size()) - off);
    std::memcpy(buf, d.data() + off, static_cast<size_t>(n));
    return n;
}
int mem_error(void*, verr_info*) { return 0; }

std::string local_digest(const std::string& data, uint32_t alg, uint64_t bs,
                         const std::vector<std::pair<int64_t, uint64_t>>& ranges) {
    mem_src src{&data};
    file_hash_param p{};
    p.hash_flag = alg;
    p.arg = &src;
    p.pread = &mem_read;
    p.vperror = &mem_error;
    p.total_size = static_cast<int64_t>(data.size());
    p.bs = bs;
    p.bs_count = 16;  // ranges of up to 16 blocks
    verr_info err{};
    file_hash_ctx* job = file_hash_open(&p, &err);
    if (!job) return "open failed: " + std::string(verr_msg(&err));
    for (const auto& [off, len] : ranges) file_hash_cal(job, off, len);
    uint8_t out[64] = {};
    const int rc = file_hash_final(job, alg, out, sizeof out);
    file_hash_close(job);
    return rc == 0 ? hex(out, file_hash_digest_len(alg)) : "final failed";
}

// The remote digest of one algorithm bit as hexadecimal, or the failure.
std::string remote_digest(const served& s, kxsd_file_ctx* f, uint32_t alg) {
    uint8_t out[64] = {};
    if (kxsd_cli_hash_get(f, alg, out, sizeof out) != 0) return "failed: " + s.msg();
    return hex(out, file_hash_digest_len(alg));
}

std::vector<uint64_t> counters_of(const std::string& text) {
    std::vector<uint64_t> out;
    std::stringstream in(text);
    std::string field;
    while (std::getline(in, field, ',')) out.push_back(std::stoull(field, nullptr, 16));
    return out;
}

std::vector<uint64_t> byte_counts(const std::string& data) {
    std::vector<uint64_t> out(256, 0);
    for (unsigned char ch : data) out[ch]++;
    return out;
}

}  // namespace

// Every algorithm the server knows, in two steps; each final digest equals
// the one computed here. The first step's state text, handed to a new job
// on a second file, continues to the same digests.
TEST(KxsdCal, HashDigestsEqualLocalOnesAndResume) {
    served s(noise(k_data_len, 5));
    ASSERT_TRUE(s.ok()) << s.why();
    const uint32_t all = HASH_ALL;
    const std::vector<std::pair<int64_t, uint64_t>> ranges{{0, 2 * k_bs}, {2 * k_bs, k_data_len - 2 * k_bs}};

    file_ptr f = open_img(s);
    ASSERT_TRUE(f) << s.msg();
    ASSERT_EQ(kxsd_cli_hash_init(f.get(), all, k_bs, -1, ""), 0) << s.msg();
    char state[8192];
    ASSERT_EQ(kxsd_cli_hash_cal(f.get(), ranges[0].first, ranges[0].second, state, sizeof state), 0) << s.msg();
    const std::string first_state = state;
    ASSERT_EQ(kxsd_cli_hash_cal(f.get(), ranges[1].first, ranges[1].second, state, sizeof state), 0) << s.msg();
    EXPECT_NE(std::string(state).find("md5 "), std::string::npos) << state;

    // The per-block digests of the last step: one line per "p" algorithm.
    char records[65536];
    ASSERT_EQ(kxsd_cli_hash_get2(f.get(), records, sizeof records), 0) << s.msg();
    EXPECT_NE(std::string(records).find("pmd5"), std::string::npos) << records;

    for (const whole_alg& a : k_whole) {
        SCOPED_TRACE(a.name);
        uint8_t want[64];
        a.buf(s.data.data(), s.data.size(), want);
        EXPECT_EQ(remote_digest(s, f.get(), a.bit), hex(want, a.len));
    }
    for (uint32_t bit : {HASH_PMD5, HASH_PSHA1, HASH_PSHA256, HASH_PSHA512, HASH_PSM3, HASH_PXXH3}) {
        SCOPED_TRACE(file_hash_flag_str(bit));
        EXPECT_EQ(remote_digest(s, f.get(), bit), local_digest(s.data, bit, k_bs, ranges));
    }

    // A new job on another handle, from the state after the first step.
    file_ptr g = open_img(s);
    ASSERT_TRUE(g);
    ASSERT_EQ(kxsd_cli_hash_init(g.get(), all, k_bs, 2, first_state.c_str()), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_hash_cal(g.get(), ranges[1].first, ranges[1].second, state, sizeof state), 0) << s.msg();
    for (uint32_t bit : {HASH_MD5, HASH_XXH3, HASH_PSHA256}) {
        SCOPED_TRACE(file_hash_flag_str(bit));
        EXPECT_EQ(remote_digest(s, g.get(), bit), remote_digest(s, f.get(), bit));
    }
    // The whole state went out with the start.
    const auto starts = s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_HASH_INIT);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1]["text"].s(), "8\t4095\t65536\t2\t" + first_state);
}

// The request texts as the server receives them: the fd in hexadecimal,
// the thread count -1 as "%u" in the hash start and "%d" in the count
// start, ranges as "%lld\t%u"; each request carries the fd in its field.
TEST(KxsdCal, RequestTexts) {
    served s(noise(4096, 2));
    ASSERT_TRUE(s.ok()) << s.why();
    // The server hands out 7, 8, ...: the fourth file is 0xa.
    std::vector<file_ptr> files;
    for (int i = 0; i < 4; i++) files.push_back(open_img(s));
    kxsd_file_ctx* f = files.back().get();
    ASSERT_TRUE(f);
    ASSERT_EQ(f->fd, 10);
    char buf[4096];
    ASSERT_EQ(kxsd_cli_hash_init(f, HASH_MD5 | HASH_PSHA1, 4096, -1, ""), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_hash_cal(f, 1024, 2048, buf, sizeof buf), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_bcount_init(f, -5, 8192, -1, ""), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_bcount_cal(f, 0, 4096, buf, sizeof buf), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_pwritex_init(f, 0x5a, 512), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_pwritex(f, 0, 100, 3000), 100) << s.msg();
    ASSERT_EQ(kxsd_cli_hash_get(f, HASH_MD5, buf, 16), 0) << s.msg();

    struct text_case {
        int32_t code;
        std::string text;
    };
    const text_case cases[] = {
        {KXSD_IOCTL2_HASH_INIT, "a\t9\t4096\t4294967295\t"},
        {KXSD_IOCTL2_HASH_CAL, "1024\t2048"},
        {KXSD_IOCTL2_BCOUNT_INIT, "a\t-5\t8192\t-1\t"},
        {KXSD_IOCTL2_BCOUNT_CAL, "0\t4096"},
        {KXSD_IOCTL2_PWRITEX_INIT, "a\t90\t512"},
        {KXSD_IOCTL2_PWRITEX, "3000\t100"},
        {KXSD_IOCTL2_HASH_GET, "1"},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.code);
        const auto r = s.codes(KXSD_CMD_IOCTL2, c.code);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0]["text"].s(), c.text);
        EXPECT_EQ(r[0]["fields"]["fd"].i(), 10);
        EXPECT_FALSE(r[0].has("error")) << r[0]["error"].s();
    }
}

// The version gates: a call the server predates gets no request and fails
// with -12 and the upgrade text, except where an old server has an answer
// of its own (the mask 1023, a pattern writer that needs no set-up).
TEST(KxsdCal, VersionGates) {
    struct gate_case {
        const char* name;
        const char* ver;
        std::function<int64_t(kxsd_file_ctx*)> call;
        int32_t code;  // control code of the request
        int64_t rc;
        bool sent;
    };
    auto hash = [](uint32_t flag) {
        return [flag](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_hash_init(f, flag, 4096, 0, ""); };
    };
    auto bcount = [](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_bcount_init(f, 0, 4096, 0, ""); };
    auto get2 = [](kxsd_file_ctx* f) -> int64_t {
        char buf[256];
        return kxsd_cli_hash_get2(f, buf, sizeof buf);
    };
    auto pwx_init = [](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_pwritex_init(f, 0, 4096); };
    auto pwx = [](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_pwritex(f, 0, 10, 0); };
    const gate_case cases[] = {
        {"md5 at 1.5.8", "1.5.8", hash(HASH_MD5), KXSD_IOCTL2_HASH_INIT, -1, false},
        {"md5 at 1.5.9", "1.5.9", hash(HASH_MD5), KXSD_IOCTL2_HASH_INIT, 0, true},
        {"xxh3 at 1.6.2", "1.6.2", hash(HASH_MD5 | HASH_XXH3), KXSD_IOCTL2_HASH_INIT, -1, false},
        {"pxxh3 at 1.6.2", "1.6.2", hash(HASH_PXXH3), KXSD_IOCTL2_HASH_INIT, -1, false},
        {"xxh3 at 1.6.3", "1.6.3", hash(HASH_XXH3), KXSD_IOCTL2_HASH_INIT, 0, true},
        {"bcount at 1.6.1", "1.6.1", bcount, KXSD_IOCTL2_BCOUNT_INIT, -1, false},
        {"bcount at 1.6.2", "1.6.2", bcount, KXSD_IOCTL2_BCOUNT_INIT, 0, true},
        {"block digests at 1.6.7", "1.6.7", get2, KXSD_IOCTL2_HASH_GET2, -1, false},
        {"pwritex_init at 1.6.1", "1.6.1", pwx_init, KXSD_IOCTL2_PWRITEX_INIT, 0, false},
        {"pwritex_init at 1.6.2", "1.6.2", pwx_init, KXSD_IOCTL2_PWRITEX_INIT, 0, true},
        {"pwritex at 1.5.1", "1.5.1", pwx, KXSD_IOCTL2_PWRITEX, -1, false},
    };
    for (const gate_case& c : cases) {
        SCOPED_TRACE(c.name);
        served s(noise(4096), {"--ver", c.ver});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f) << s.msg();
        const size_t before = s.srv.requests().size();
        EXPECT_EQ(c.call(f.get()), c.rc) << s.msg();
        EXPECT_EQ(s.codes(KXSD_CMD_IOCTL2, c.code).size(), c.sent ? 1u : 0u);
        if (!c.sent) {
            EXPECT_EQ(s.srv.requests().size(), before);
        }
        if (c.rc < 0) {
            EXPECT_EQ(s.err().code, VERR_NOT_IMPLEMENTED);
            EXPECT_EQ(s.msg(), KXSD_UPGRADE_TEXT);
        }
    }
}

// The algorithm mask: 1023 without a request below 1.6.3, the server's
// answer from it.
TEST(KxsdCal, HashAlgoMask) {
    for (const char* ver : {"1.6.0", "1.6.3"}) {
        SCOPED_TRACE(ver);
        served s("abc", {"--ver", ver});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        uint64_t mask = 0;
        ASSERT_EQ(kxsd_cli_get_hash_algo(f.get(), &mask), 0) << s.msg();
        const bool old = std::string(ver) == "1.6.0";
        EXPECT_EQ(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_HASH_ALGO).size(), old ? 0u : 1u);
        // The test server has every algorithm, xxh3 included.
        EXPECT_EQ(mask, old ? KXSD_HASH_ALGO_OLD : uint64_t{HASH_ALL});
    }
}

// Pattern writes by version: command 50 with the mode before 1.6.2 (its
// set-up sends nothing), the control request from it; the bytes land in the
// served file either way.
TEST(KxsdCal, PatternWritesByVersion) {
    struct ver_case {
        const char* ver;
        bool by_cmd50;
    };
    for (const ver_case& c : {ver_case{"1.6.1", true}, ver_case{"1.6.2", false}}) {
        SCOPED_TRACE(c.ver);
        served s(std::string(8192, 'x'), {"--ver", c.ver});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        // A pattern byte: command 50 takes it from the mode.
        ASSERT_EQ(kxsd_cli_pwritex_init(f.get(), 0x41, 1024), 0) << s.msg();
        EXPECT_EQ(kxsd_cli_pwritex(f.get(), 0x41, 3000, 1000), 3000) << s.msg();
        std::string want(8192, 'x');
        want.replace(1000, 3000, std::string(3000, 'A'));
        EXPECT_TRUE(read_back(s) == want);
        const auto r50 = s.reqs(KXSD_CMD_PWRITEX);
        EXPECT_EQ(r50.size(), c.by_cmd50 ? 1u : 0u);
        EXPECT_EQ(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_PWRITEX).size(), c.by_cmd50 ? 0u : 1u);
        if (c.by_cmd50) {
            EXPECT_EQ(r50[0]["fields"]["fd"].i(), f->fd);
            EXPECT_EQ(r50[0]["fields"]["mode"].i(), 0x41);
            EXPECT_EQ(r50[0]["fields"]["len"].i(), 3000);
            EXPECT_EQ(r50[0]["fields"]["offset"].i(), 1000);
            EXPECT_TRUE(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_PWRITEX_INIT).empty());
        }
    }
}

// The count the server reports is the result: a short write is returned as
// it is, an answer that is not a count between 0 and the length fails.
TEST(KxsdCal, PatternWriteAnswers) {
    struct answer_case {
        const char* name;
        std::string fault;
        int64_t rc;
        int32_t code;
    };
    const answer_case cases[] = {
        {"short write", "shortwrite:cmd=8,code=10108,by=7", 993, 0},
        {"not a number", "payload:cmd=8,code=10108,field=data,hex=787900", -1, -466},
        {"more than asked", "payload:cmd=8,code=10108,field=data,hex=3130303100", -1, -466},
        {"negative", "payload:cmd=8,code=10108,field=data,hex=2d3100", -1, -466},
        {"digits without a NUL", "payload:cmd=8,code=10108,field=data,hex=" + std::string(1200, '3'), -1, -466},
    };
    for (const answer_case& c : cases) {
        SCOPED_TRACE(c.name);
        served s(std::string(4096, 'x'), {"--fault", c.fault});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        ASSERT_EQ(kxsd_cli_pwritex_init(f.get(), 0, 512), 0) << s.msg();
        EXPECT_EQ(kxsd_cli_pwritex(f.get(), 0, 1000, 0), c.rc) << s.msg();
        if (c.rc < 0) {
            EXPECT_EQ(s.err().code, c.code);
        }
    }
}

// A "windows" server gets the write time-out once, before the first
// pattern write.
TEST(KxsdCal, WindowsServerGetsTheWriteTimeoutFirst) {
    served s(std::string(4096, 'x'), {"--plat", "windows"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    ASSERT_EQ(kxsd_cli_pwritex_init(f.get(), 0, 512), 0);
    ASSERT_EQ(kxsd_cli_pwritex(f.get(), 0, 100, 0), 100);
    ASSERT_EQ(kxsd_cli_pwritex(f.get(), 0, 100, 100), 100);
    const auto wt = s.codes(KXSD_CMD_FILE_IOCTL, KXSD_IOCTL_WRITE_TIMEOUT);
    ASSERT_EQ(wt.size(), 1u);
    EXPECT_EQ(wt[0]["text"].s(), "8000");
    EXPECT_LT(wt[0]["seq"].i(), s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_PWRITEX)[0]["seq"].i());
}

// Byte counting in two steps equals the counts of the data; the saved
// counters of the first step continue in a new job.
TEST(KxsdCal, ByteCountsEqualTheDataAndResume) {
    std::string data = noise(k_data_len, 9);
    data.replace(1000, 5000, std::string(5000, '\0'));
    served s(data);
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    ASSERT_EQ(kxsd_cli_bcount_init(f.get(), 0, k_bs, 0, ""), 0) << s.msg();
    char text[4096];
    ASSERT_EQ(kxsd_cli_bcount_cal(f.get(), 0, 100000, text, sizeof text), 0) << s.msg();
    const std::string first = text;
    EXPECT_EQ(counters_of(first), byte_counts(data.substr(0, 100000)));
    ASSERT_EQ(kxsd_cli_bcount_cal(f.get(), 100000, k_data_len - 100000, text, sizeof text), 0) << s.msg();
    EXPECT_EQ(counters_of(text), byte_counts(data));

    file_ptr g = open_img(s);
    ASSERT_TRUE(g);
    ASSERT_EQ(kxsd_cli_bcount_init(g.get(), 0, k_bs, 0, first.c_str()), 0) << s.msg();
    ASSERT_EQ(kxsd_cli_bcount_cal(g.get(), 100000, k_data_len - 100000, text, sizeof text), 0) << s.msg();
    EXPECT_EQ(counters_of(text), byte_counts(data));
}

// A step answer longer than the caller's buffer: the buffer keeps a
// NUL-terminated beginning of the text and the step fails, since a cut
// state would resume a different job. Whether the server sends the whole
// answer or cuts it to the size asked for makes no difference; an answer
// that fits exactly with its NUL succeeds.
TEST(KxsdCal, StepAnswerLongerThanTheBuffer) {
    for (bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "server cuts to olen" : "server sends it all");
        std::vector<std::string> args;
        if (cut) args.push_back("--cut-olen");
        served s(noise(10000), args);
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        ASSERT_EQ(kxsd_cli_hash_init(f.get(), HASH_MD5, 4096, 0, ""), 0);
        std::string full(256, '\0');
        ASSERT_EQ(kxsd_cli_hash_cal(f.get(), 0, 4096, full.data(), full.size()), 0) << s.msg();
        const size_t len = std::strlen(full.c_str());  // "md5 kxsrv-N"
        ASSERT_GT(len, 8u);

        // Heap buffers of exactly the size given, so that a write past them shows.
        std::vector<char> small(8, 'z');
        EXPECT_EQ(kxsd_cli_hash_cal(f.get(), 4096, 10, small.data(), small.size()), -1);
        EXPECT_EQ(s.err().code, VERR_BUFFER_OVERFLOW);
        EXPECT_EQ(std::string(small.data()), std::string("md5 kxs"));

        std::vector<char> exact(len + 1, 'z');
        ASSERT_EQ(kxsd_cli_hash_cal(f.get(), 4106, 10, exact.data(), exact.size()), 0) << s.msg();
        EXPECT_EQ(std::strlen(exact.data()), len);

        ASSERT_EQ(kxsd_cli_bcount_init(f.get(), 0, 4096, 0, ""), 0);
        std::vector<char> counters(100, 'z');  // 256 fields do not fit
        EXPECT_EQ(kxsd_cli_bcount_cal(f.get(), 0, 4096, counters.data(), counters.size()), -1);
        EXPECT_EQ(s.err().code, VERR_BUFFER_OVERFLOW);
        EXPECT_EQ(std::strlen(counters.data()), 99u);
    }
}

// A server refusal fails the call with the server's errno and text in the
// error record; nothing is retried.
TEST(KxsdCal, ServerRefusalsCarryTheServersError) {
    struct refuse_case {
        const char* name;
        int32_t code;
        std::function<int64_t(kxsd_file_ctx*)> call;
    };
    char buf[256];
    const refuse_case cases[] = {
        {"hash start", KXSD_IOCTL2_HASH_INIT,
         [](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_hash_init(f, HASH_MD5, 4096, 0, ""); }},
        {"hash step", KXSD_IOCTL2_HASH_CAL,
         [&](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_hash_cal(f, 0, 10, buf, sizeof buf); }},
        {"digest", KXSD_IOCTL2_HASH_GET,
         [&](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_hash_get(f, HASH_MD5, buf, sizeof buf); }},
        {"count step", KXSD_IOCTL2_BCOUNT_CAL,
         [&](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_bcount_cal(f, 0, 10, buf, sizeof buf); }},
        {"algorithm mask", KXSD_IOCTL2_HASH_ALGO,
         [](kxsd_file_ctx* f) -> int64_t {
             uint64_t m = 0;
             return kxsd_cli_get_hash_algo(f, &m);
         }},
        {"pattern write", KXSD_IOCTL2_PWRITEX,
         [](kxsd_file_ctx* f) -> int64_t { return kxsd_cli_pwritex(f, 0, 10, 0); }},
    };
    for (const refuse_case& c : cases) {
        SCOPED_TRACE(c.name);
        served s(noise(4096), {"--fault", "errno:cmd=8,code=" + std::to_string(c.code) + ",value=-5,text=disk gone"});
        ASSERT_TRUE(s.ok()) << s.why();
        file_ptr f = open_img(s);
        ASSERT_TRUE(f);
        // Jobs set up first where the call needs one.
        ASSERT_EQ(kxsd_cli_bcount_init(f.get(), 0, 4096, 0, ""), 0);
        ASSERT_EQ(kxsd_cli_pwritex_init(f.get(), 0, 512), 0);
        if (c.code != KXSD_IOCTL2_HASH_INIT) {
            ASSERT_EQ(kxsd_cli_hash_init(f.get(), HASH_MD5, 4096, 0, ""), 0);
        }
        EXPECT_EQ(c.call(f.get()), -1);
        EXPECT_EQ(s.err().code, -5);
        EXPECT_EQ(s.msg(), "disk gone");
        EXPECT_EQ(s.codes(KXSD_CMD_IOCTL2, c.code).size(), 1u);
    }
    // The server's own refusal: a step without a job.
    served s(noise(4096));
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    EXPECT_EQ(kxsd_cli_hash_cal(f.get(), 0, 10, buf, sizeof buf), -1);
    EXPECT_EQ(s.err().code, -2);
    EXPECT_EQ(s.msg(), "no hash job");
}

// A digest shorter than the algorithm's fails rather than leaving stale
// bytes in the caller's buffer; a buffer below the digest size is refused
// before the request.
TEST(KxsdCal, DigestAnswerChecks) {
    served s(noise(4096), {"--fault", "payload:cmd=8,code=10105,field=data,hex=0102030405"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    ASSERT_EQ(kxsd_cli_hash_init(f.get(), HASH_SHA1, 4096, 0, ""), 0);
    char state[256];
    ASSERT_EQ(kxsd_cli_hash_cal(f.get(), 0, 4096, state, sizeof state), 0);
    uint8_t out[64];
    EXPECT_EQ(kxsd_cli_hash_get(f.get(), HASH_SHA1, out, sizeof out), -1);
    EXPECT_EQ(s.err().code, -466);
    EXPECT_EQ(kxsd_cli_hash_get(f.get(), HASH_SHA1, out, 19), -1);
    EXPECT_EQ(s.err().code, VERR_BUFFER_OVERFLOW);
    EXPECT_EQ(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_HASH_GET).size(), 1u);
    // The next one is the real digest.
    ASSERT_EQ(kxsd_cli_hash_get(f.get(), HASH_SHA1, out, 20), 0) << s.msg();
    uint8_t want[20];
    pl_sha1_buf(s.data.data(), 4096, want);
    EXPECT_EQ(hex(out, 20), hex(want, 20));
}

// What a request cannot carry is refused before it is sent: a step range
// above 32 bits (the longest one goes out whole), a block size above 32
// bits, a pattern write longer than command 50's signed length, and a start
// state longer than a request attribute. A start state longer than 4 KiB
// goes out whole.
TEST(KxsdCal, RequestLimits) {
    served s(noise(4096), {"--hash-dry", "--ver", "1.6.1"});
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    char buf[256];
    // A long state: an unknown line the server passes over, then nothing.
    const std::string state = "zz " + std::string(7000, 'q');
    ASSERT_EQ(kxsd_cli_hash_init(f.get(), HASH_MD5, 1 << 20, 0, state.c_str()), 0) << s.msg();
    const auto start = s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_HASH_INIT);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0]["text"].s().size(), std::string("7\t1\t1048576\t0\t").size() + state.size());

    const size_t before = s.srv.requests().size();
    EXPECT_EQ(kxsd_cli_hash_cal(f.get(), 0, KXSD_CAL_MAX_LEN + 1, buf, sizeof buf), -1);
    EXPECT_EQ(s.err().code, VERR_INVALID_PARAMETER);
    EXPECT_EQ(kxsd_cli_bcount_cal(f.get(), 0, uint64_t{1} << 32, buf, sizeof buf), -1);
    EXPECT_EQ(kxsd_cli_hash_cal(f.get(), -5, 10, buf, sizeof buf), -1);
    EXPECT_EQ(kxsd_cli_hash_init(f.get(), HASH_MD5, uint64_t{1} << 32, 0, ""), -1);
    EXPECT_EQ(kxsd_cli_pwritex(f.get(), 0, uint64_t{1} << 31, 0), -1);
    EXPECT_EQ(s.err().code, VERR_INVALID_PARAMETER);
    EXPECT_EQ(kxsd_cli_hash_init(f.get(), HASH_MD5, 4096, 0, std::string(MSG_ATTR_MAX_LEN, 'q').c_str()), -1);
    EXPECT_EQ(s.srv.requests().size(), before);

    ASSERT_EQ(kxsd_cli_hash_cal(f.get(), 0, KXSD_CAL_MAX_LEN, buf, sizeof buf), 0) << s.msg();
    const auto steps = s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_HASH_CAL);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0]["text"].s(), "0\t4294967295");
}

// Bad handles and missing buffers: -1 without a request, except the block
// digests without a buffer (0).
TEST(KxsdCal, BadArguments) {
    served s(noise(4096));
    ASSERT_TRUE(s.ok()) << s.why();
    file_ptr f = open_img(s);
    ASSERT_TRUE(f);
    const size_t before = s.srv.requests().size();
    char buf[64];
    EXPECT_EQ(kxsd_cli_hash_init(nullptr, HASH_MD5, 4096, 0, ""), -1);
    EXPECT_EQ(kxsd_cli_hash_cal(nullptr, 0, 1, buf, sizeof buf), -1);
    EXPECT_EQ(kxsd_cli_hash_get(f.get(), HASH_MD5, nullptr, 16), -1);
    EXPECT_EQ(kxsd_cli_get_hash_algo(f.get(), nullptr), -1);
    EXPECT_EQ(kxsd_cli_pwritex(nullptr, 0, 1, 0), -1);
    EXPECT_EQ(kxsd_cli_hash_get2(f.get(), nullptr, 0), 0);
    EXPECT_EQ(kxsd_cli_ioctl2(nullptr, KXSD_IOCTL2_HASH_ALGO, nullptr, 0, buf, sizeof buf, nullptr), -1);
    EXPECT_EQ(s.srv.requests().size(), before);
}

// The other control services: the texts they send and what they make of
// the answers; disk-tool arguments too long are refused before a request.
TEST(KxsdCalServices, RequestTextsAndAnswers) {
    served s("abc", {"--allow-set-readonly", "0"});
    ASSERT_TRUE(s.ok()) << s.why();
    kxsd_cli_ctx* c = s.conn();
    char ans[4096];
    EXPECT_EQ(kxsd_cli_srv_conf(c, ans, sizeof ans), static_cast<int>(std::strlen("allow_set_readonly=0\n")) + 1);
    EXPECT_STREQ(ans, "allow_set_readonly=0\n");
    int ro = -1;
    ASSERT_EQ(kxsd_cli_allow_set_readonly(c, &ro), 0);
    EXPECT_EQ(ro, 1);
    uint64_t nums[11];
    std::fill(std::begin(nums), std::end(nums), 9);
    ASSERT_EQ(kxsd_cli_srv_numbers(c, "q", nums), 0);
    for (uint64_t n : nums) EXPECT_EQ(n, 0u);
    EXPECT_EQ(kxsd_cli_srv_text(c, 10004, "a", "b", ans, sizeof ans), 3);  // "ok" and its NUL
    EXPECT_STREQ(ans, "ok");
    EXPECT_EQ(kxsd_cli_srv_text(c, 10003, "x", nullptr, ans, 2), 1);     // cut to the buffer
    EXPECT_STREQ(ans, "o");
    EXPECT_EQ(kxsd_cli_srv_pair(c, "k", "v"), 0);
    EXPECT_EQ(kxsd_cli_srv_query(c, "what", ans, sizeof ans), 0);
    EXPECT_EQ(kxsd_cli_srv_reset(c), 0);
    EXPECT_EQ(kxsd_cli_disk_scan(c, ans, sizeof ans), 0);
    EXPECT_STREQ(ans, "disk tool not available");
    EXPECT_EQ(kxsd_cli_disk_smart(c, "/dev/sda", ans, sizeof ans), 0);
    EXPECT_EQ(kxsd_cli_disk_test(c, "short", "/dev/sdb", ans, sizeof ans), 0);
    EXPECT_EQ(kxsd_cli_disk_abort(c, "/dev/sdc", ans, sizeof ans), 0);
    const size_t before = s.srv.requests().size();
    EXPECT_EQ(kxsd_cli_disk_smart(c, std::string(4096, 'd').c_str(), ans, sizeof ans), -1);
    EXPECT_EQ(s.err().code, VERR_INVALID_PARAMETER);
    EXPECT_EQ(kxsd_cli_srv_text(c, 10005, "a", "b", ans, sizeof ans), -1);
    EXPECT_EQ(s.srv.requests().size(), before);

    struct text_case {
        int32_t code;
        std::vector<std::string> texts;
    };
    const text_case cases[] = {
        {10001, {"q"}},
        {10004, {"a\tb"}},
        {10003, {"x"}},
        {10005, {"k\tv"}},
        {10101, {"what"}},
        {10112, {""}},
        {10100, {"--scan", "--smart=on -j -a /dev/sda", "-t force -t short /dev/sdb", "-X /dev/sdc"}},
    };
    for (const text_case& tc : cases) {
        SCOPED_TRACE(tc.code);
        std::vector<std::string> got;
        for (const mini_json& r : s.codes(KXSD_CMD_IOCTL2, tc.code)) got.push_back(r["text"].s());
        EXPECT_EQ(got, tc.texts);
    }
}

// Version gates of the services: the snapshot mount needs 1.6.7; the
// read-only query answers 0 without a request below 1.6.1.
TEST(KxsdCalServices, VersionGates) {
    {
        served s("abc", {"--ver", "1.6.6"});
        ASSERT_TRUE(s.ok()) << s.why();
        char ans[64];
        EXPECT_EQ(kxsd_cli_vss_mount(s.conn(), "C:", ans, sizeof ans), -1);
        EXPECT_EQ(s.err().code, VERR_NOT_IMPLEMENTED);
        EXPECT_TRUE(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_VSS_MOUNT).empty());
    }
    {
        served s("abc", {"--ver", "1.6.7"});
        ASSERT_TRUE(s.ok()) << s.why();
        char ans[64];
        EXPECT_EQ(kxsd_cli_vss_mount(s.conn(), "C:", ans, sizeof ans), 0) << s.msg();
        EXPECT_STREQ(ans, "ok");
    }
    {
        served s("abc", {"--ver", "1.6.0", "--allow-set-readonly", "0"});
        ASSERT_TRUE(s.ok()) << s.why();
        int ro = -1;
        EXPECT_EQ(kxsd_cli_allow_set_readonly(s.conn(), &ro), 0);
        EXPECT_EQ(ro, 0);
        EXPECT_TRUE(s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_SRV_CONF).empty());
    }
}

// The account text goes out with user and password enciphered with the
// login key; a value too long to encipher is refused rather than sent
// plain, and so is any account without a login key.
TEST(KxsdCalServices, AccountIsNeverSentPlain) {
    struct account_case {
        const char* name;
        std::vector<std::string> args;
        std::string text;
        bool sent;
    };
    const account_case cases[] = {
        {"enciphered", {"--proto", "2"}, "name=x\nuser=bob\npasswd=secret\n", true},
        {"password too long", {"--proto", "2"}, "user=bob\npasswd=" + std::string(600, 's') + "\n", false},
        {"user too long", {"--proto", "2"}, "user=" + std::string(600, 'b') + "\npasswd=secret\n", false},
        {"no login key", {}, "user=bob\npasswd=secret\n", false},
        {"no password: as it is", {}, "user=bob\npasswd=\n", true},
    };
    for (const account_case& c : cases) {
        SCOPED_TRACE(c.name);
        served s("abc", c.args);
        ASSERT_TRUE(s.ok()) << s.why();
        EXPECT_EQ(kxsd_cli_set_account(s.conn(), c.text.c_str()), c.sent ? 0 : -1) << s.msg();
        const auto r = s.codes(KXSD_CMD_IOCTL2, KXSD_IOCTL2_SET_ACCOUNT);
        ASSERT_EQ(r.size(), c.sent ? 1u : 0u);
        if (!c.sent) continue;
        const std::string sent = r[0]["text"].s();
        if (s.conn()->login_key[0]) {
            EXPECT_EQ(sent.find("secret"), std::string::npos) << sent;
            char enc[1024];
            ASSERT_EQ(libpwd_encrypt("secret", s.conn()->login_key, enc, sizeof enc), 0);
            EXPECT_NE(sent.find(std::string("passwd=") + enc), std::string::npos) << sent;
            EXPECT_NE(sent.find("name=x"), std::string::npos) << sent;
        } else {
            EXPECT_EQ(sent, c.text);
        }
    }
}
