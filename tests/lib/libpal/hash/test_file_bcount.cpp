// Byte-count jobs: counts against a Python oracle on the job's thread and
// on the pool, the counters text and its continuation, the printed table,
// the percentages, and the failures.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "file_job_fixture.h"
#include "libpal/hash/file_bcount.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"
#include "support/proc.h"

using namespace job_test;

namespace {

// The counters text of a file: "%x" of every byte value's count, joined by ",".
const char* k_count_oracle = R"PY(
import collections, sys
c = collections.Counter(open(sys.argv[1], 'rb').read())
print(','.join('%x' % c[v] for v in range(256)), end='')
)PY";

// The table of a file, printed independently of the job.
const char* k_table_oracle = R"PY(
import collections, sys
data = open(sys.argv[1], 'rb').read()
c = collections.Counter(data)
out = 'Hex\tDec\tChr\tNo\t%\n'
for v in range(256):
    ch = chr(v) if 32 <= v <= 126 else '.'
    pct = c[v] / len(data) * 100 if data else 0.0
    out += '%02X\t%d\t%s\t%d\t%0.2f%%\n' % (v, v, ch, c[v], pct)
sys.stdout.write(out)
)PY";

std::string python(const char* script, const std::string& path) {
    proc_result r = run_proc({"python3", "-c", script, path});
    return r.status == 0 ? r.out : std::string();
}

file_bcount_param bcount_param(void* arg, file_read_fn rd, uint64_t bs, uint8_t thread, const char* ctx = nullptr) {
    file_bcount_param p{};
    p.arg = arg;
    p.pread = rd;
    p.vperror = rd ? mem_source::error : nullptr;
    p.bs = bs;
    p.thread = thread;
    p.ctx = ctx;
    return p;
}

std::string counters_text(file_bcount_ctx* job) {
    char buf[8192];
    EXPECT_EQ(file_bcount_get_ctx(job, buf, sizeof buf), 0);
    return buf;
}

int count_ranges(file_bcount_ctx* job, int64_t from, int64_t to, uint64_t range) {
    for (int64_t off = from; off < to;) {
        uint64_t len = std::min<uint64_t>(range, static_cast<uint64_t>(to - off));
        if (file_bcount_cal(job, off, len) != 0) return -1;
        off += static_cast<int64_t>(len);
    }
    return 0;
}

std::string zeros_text() {
    std::string s;
    for (int v = 0; v < 256; v++) s += v ? ",0" : "0";
    return s;
}

TEST(FileBcount, CountsEqualThePythonOracle) {
    temp_dir dir;
    const size_t sizes[] = {0, 3, 5 * 1024 * 1024 + 17};
    const uint64_t block_sizes[] = {1000, 4096, 0};
    for (size_t size : sizes) {
        std::string path = dir.file("src_" + std::to_string(size));
        // Skewed data: some values far more often than others.
        std::string data = pattern_bytes(size, size + 1);
        for (size_t i = 0; i < size; i += 3) data[i] = static_cast<char>(data[i] & 0x0F);
        write_file(path, data);
        std::string want = size ? python(k_count_oracle, path) : zeros_text();
        if (want.empty()) GTEST_SKIP() << "python3 is not available";
        for (uint64_t bs : block_sizes) {
            for (uint8_t thread = 0; thread <= 1; thread++) {
                SCOPED_TRACE("size=" + std::to_string(size) + " bs=" + std::to_string(bs) +
                             (thread ? " pool" : " thread"));
                os_file_ctx* f = os_file_open(path.c_str(), OS_PF_RDONLY);
                ASSERT_NE(f, nullptr);
                verr_info err{};
                file_bcount_param p = bcount_param(f, nullptr, bs, thread);
                file_bcount_ctx* job = file_bcount_open(&p, &err);
                ASSERT_NE(job, nullptr) << verr_msg(&err);
                uint64_t range = (bs ? bs : FILE_BCOUNT_BS) * 32;
                ASSERT_EQ(count_ranges(job, 0, static_cast<int64_t>(size), range), 0) << verr_msg(&err);
                EXPECT_EQ(counters_text(job), want);
                file_bcount_close(job);
                os_file_close(f);
            }
        }
    }
}

TEST(FileBcount, CraftedBytesAndTheirTable) {
    mem_source src;
    src.data = std::string("AA\0", 3);
    file_bcount_param p = bcount_param(&src, mem_source::read, 0, 0);
    file_bcount_ctx* job = file_bcount_open(&p, nullptr);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(counters_text(job), zeros_text());
    ASSERT_EQ(file_bcount_cal(job, 0, 3), 0);
    EXPECT_EQ(job->counters[0x41], 2u);
    EXPECT_EQ(job->counters[0], 1u);
    std::string text = counters_text(job);
    file_bcount_close(job);

    char* table = file_bcount_ctx_table(text.c_str());
    ASSERT_NE(table, nullptr);
    std::string t = table;
    pl_free(table);
    EXPECT_EQ(t.rfind("Hex\tDec\tChr\tNo\t%\n00\t0\t.\t1\t33.33%\n01\t1\t.\t0\t0.00%\n", 0), 0u);
    EXPECT_NE(t.find("\n41\t65\tA\t2\t66.67%\n"), std::string::npos);
    EXPECT_NE(t.find("\n1F\t31\t.\t0\t0.00%\n20\t32\t \t0\t0.00%\n"), std::string::npos);
    EXPECT_NE(t.find("\n7E\t126\t~\t0\t0.00%\n7F\t127\t.\t0\t0.00%\n"), std::string::npos);
    EXPECT_NE(t.find("\nFF\t255\t.\t0\t0.00%\n"), std::string::npos);

    // The whole table equals an independent printing of it.
    temp_dir dir;
    write_file(dir.file("crafted"), src.data);
    std::string want = python(k_table_oracle, dir.file("crafted"));
    if (!want.empty()) {
        EXPECT_EQ(t, want);
    }
}

TEST(FileBcount, TableOfLargeSkewedFile) {
    temp_dir dir;
    std::string data = pattern_bytes(1 << 20, 51);
    for (size_t i = 0; i < data.size(); i += 2) data[i] = 'x';
    write_file(dir.file("skewed"), data);
    std::string want = python(k_table_oracle, dir.file("skewed"));
    if (want.empty()) GTEST_SKIP() << "python3 is not available";
    uint64_t counts[FILE_BCOUNT_COUNTS];
    double pct[FILE_BCOUNT_PCTS];
    ASSERT_EQ(file_bcount_file(dir.file("skewed").c_str(), 100000, counts, pct), 0);
    EXPECT_EQ(counts[256], data.size());
    char* table = file_bcount_table(counts, counts[256]);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(std::string(table), want);
    pl_free(table);
}

TEST(FileBcount, EmptyTotalGivesZeroPercentNotNan) {
    temp_dir dir;
    write_file(dir.file("empty"), "");
    uint64_t counts[FILE_BCOUNT_COUNTS];
    double pct[FILE_BCOUNT_PCTS];
    ASSERT_EQ(file_bcount_file(dir.file("empty").c_str(), 0, counts, pct), 0);
    EXPECT_EQ(counts[256], 0u);
    for (double v : pct) EXPECT_EQ(v, 0.0);
    char* table = file_bcount_ctx_table(zeros_text().c_str());
    ASSERT_NE(table, nullptr);
    EXPECT_NE(std::string(table).find("\n41\t65\tA\t0\t0.00%\n"), std::string::npos);
    EXPECT_EQ(std::string(table).find("nan"), std::string::npos);
    pl_free(table);
    EXPECT_EQ(file_bcount_file(dir.file("missing").c_str(), 0, counts, pct), -1);
}

TEST(FileBcount, PercentagesAndExtremes) {
    // 0x00 x3, 0x41 x1: the other values 0.
    std::string text = "3";
    for (int v = 1; v < 256; v++) text += v == 0x41 ? ",1" : ",0";
    uint64_t counts[FILE_BCOUNT_COUNTS];
    double pct[FILE_BCOUNT_PCTS];
    ASSERT_EQ(file_bcount_ctx_percent(text.c_str(), counts, pct), 0);
    EXPECT_EQ(counts[0], 3u);
    EXPECT_EQ(counts[0x41], 1u);
    EXPECT_EQ(counts[256], 4u);
    EXPECT_DOUBLE_EQ(pct[0], 75.0);
    EXPECT_DOUBLE_EQ(pct[0x41], 25.0);
    EXPECT_DOUBLE_EQ(pct[256], 0.0);   // smallest
    EXPECT_DOUBLE_EQ(pct[257], 75.0);  // largest
    EXPECT_DOUBLE_EQ(pct[258], 25.0);  // largest of 1-255
    // Not 256 fields, or a field that is no number: refused.
    std::string short_text = text.substr(0, text.rfind(','));
    EXPECT_EQ(file_bcount_ctx_percent(short_text.c_str(), counts, pct), -1);
    EXPECT_EQ(file_bcount_ctx_percent((text + ",0").c_str(), counts, pct), -1);
    std::string bad = "3,x" + text.substr(text.find(',', 2));
    EXPECT_EQ(file_bcount_ctx_percent(bad.c_str(), counts, pct), -1);
    EXPECT_EQ(file_bcount_ctx_table(short_text.c_str()), nullptr);
    EXPECT_EQ(file_bcount_ctx_table(nullptr), nullptr);
}

// Count half, keep the text, open a new job from it, count the rest: the
// text of one pass. A text of 255 fields is ignored.
TEST(FileBcount, ContinuesFromTheSavedText) {
    mem_source src;
    src.data = pattern_bytes(3 * 1024 * 1024 + 11, 52);
    const int64_t half = 1536 * 1024 + 5;
    const uint64_t bs = 65536;
    for (uint8_t thread = 0; thread <= 1; thread++) {
        SCOPED_TRACE(thread ? "pool" : "thread");
        file_bcount_param p = bcount_param(&src, mem_source::read, bs, thread);
        file_bcount_ctx* one = file_bcount_open(&p, nullptr);
        ASSERT_NE(one, nullptr);
        ASSERT_EQ(count_ranges(one, 0, static_cast<int64_t>(src.data.size()), 16 * bs), 0);
        std::string want = counters_text(one);
        file_bcount_close(one);

        file_bcount_ctx* a = file_bcount_open(&p, nullptr);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(count_ranges(a, 0, half, 16 * bs), 0);
        std::string saved = counters_text(a);
        file_bcount_close(a);

        p.ctx = saved.c_str();
        file_bcount_ctx* b = file_bcount_open(&p, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(counters_text(b), saved);
        ASSERT_EQ(count_ranges(b, half, static_cast<int64_t>(src.data.size()), 16 * bs), 0);
        EXPECT_EQ(counters_text(b), want);
        file_bcount_close(b);

        std::string short_text = saved.substr(0, saved.rfind(','));
        p.ctx = short_text.c_str();
        log_capture cap;
        file_bcount_ctx* c = file_bcount_open(&p, nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(counters_text(c), zeros_text());
        file_bcount_close(c);
    }
}

TEST(FileBcount, LongerSecondRangeIsRefused) {
    mem_source src;
    src.data = pattern_bytes(100000, 53);
    const uint64_t bs = 1000;
    for (uint8_t thread = 0; thread <= 1; thread++) {
        SCOPED_TRACE(thread ? "pool" : "thread");
        file_bcount_param p = bcount_param(&src, mem_source::read, bs, thread);
        verr_info err{};
        file_bcount_ctx* job = file_bcount_open(&p, &err);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(file_bcount_cal(job, 0, 2500), 0);  // a queue of 3 blocks
        std::string before = counters_text(job);
        log_capture cap;
        EXPECT_EQ(file_bcount_cal(job, 2500, 3001), -1);
        EXPECT_TRUE(cap.contains(thread ? "alloc_wait_wctx failed" : "len=3001 > max_len=3000")) << cap.all();
        // Nothing of the refused range was counted.
        EXPECT_EQ(counters_text(job), before);
        EXPECT_EQ(file_bcount_cal(job, 2500, 3000), 0);
        file_bcount_close(job);
    }
}

TEST(FileBcount, FailuresAndStop) {
    const uint64_t bs = 65536;
    for (uint8_t thread = 0; thread <= 1; thread++) {
        SCOPED_TRACE(thread ? "pool" : "thread");
        mem_source src;
        src.data = pattern_bytes(16 * bs, 54);
        src.fail_at = 9 * bs + 1;
        verr_info err{};
        file_bcount_param p = bcount_param(&src, mem_source::read, bs, thread);
        file_bcount_ctx* job = file_bcount_open(&p, &err);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(file_bcount_cal(job, 0, 16 * bs), -1);
        EXPECT_EQ(err.code, VERR_DEV_IO_ERROR);
        EXPECT_EQ(src.errors.load(), 1);
        // Past the end of the data: -110.
        src.fail_at = -1;
        EXPECT_EQ(file_bcount_cal(job, 16 * bs, 16 * bs), -1);
        EXPECT_EQ(err.code, VERR_EOF);
        // A range that ends in a short block at the end of the data counts it.
        file_bcount_close(job);
        job = file_bcount_open(&p, &err);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(file_bcount_cal(job, 15 * bs, 4 * bs), 0);
        uint64_t sum = 0;
        for (uint64_t c : job->counters) sum += c;
        EXPECT_EQ(sum, bs);
        file_bcount_close(job);

        // A stop from the read call ends the range; the close does not hang.
        // (Reads may take several blocks at once: the first at or past block 5.)
        job = file_bcount_open(&p, &err);
        ASSERT_NE(job, nullptr);
        src.on_read = [&](int64_t off, int64_t) {
            if (off >= static_cast<int64_t>(5 * bs)) file_bcount_stop(job);
        };
        EXPECT_EQ(file_bcount_cal(job, 0, 16 * bs), -1);
        EXPECT_EQ(err.code, VERR_CANCELLED);
        file_bcount_close(job);
        src.on_read = nullptr;
    }
}

TEST(FileBcount, CountMatchesANaiveLoop) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{31}, size_t{1023}, size_t{1024}, size_t{100003}}) {
        std::string data = pattern_bytes(n, n + 77);
        uint64_t want[256] = {}, got[256] = {};
        for (unsigned char c : data) want[c]++;
        got[7] = 5;
        want[7] += 5;
        file_bcount_count(got, data.data(), n);
        for (int v = 0; v < 256; v++) EXPECT_EQ(got[v], want[v]) << "n=" << n << " v=" << v;
    }
}

}  // namespace
