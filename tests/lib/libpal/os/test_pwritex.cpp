#include "libpal/os/pwritex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

constexpr uint64_t k_mib = 1024 * 1024;

// A write target that records every write; write number `short_at` (from 0)
// writes only half its piece, and number `fail_at` fails with `fail_rc`.
struct recorder {
    struct piece {
        int64_t off;
        std::string bytes;
    };
    std::vector<piece> pieces;
    int short_at = -1;
    int fail_at = -1;
    int64_t fail_rc = VERR_WRITE_ERROR;
    int error_calls = 0;

    static int64_t write(void* target, const void* buf, int64_t len, int64_t off) {
        auto* r = static_cast<recorder*>(target);
        int n = static_cast<int>(r->pieces.size());
        if (n == r->fail_at) {
            r->pieces.push_back({off, {}});
            return r->fail_rc;
        }
        int64_t written = n == r->short_at ? len / 2 : len;
        r->pieces.push_back({off, std::string(static_cast<const char*>(buf), static_cast<size_t>(written))});
        return written;
    }
    static int error(void* target, verr_info* err) {
        auto* r = static_cast<recorder*>(target);
        r->error_calls++;
        VERR_SET(err, r->fail_rc, "device write failed");
        return 0;
    }
    std::string all() const {
        std::string s;
        for (auto& p : pieces) s += p.bytes;
        return s;
    }
};

// A writer on a recorder, released at the end.
struct rec_writer {
    recorder rec;
    verr_info err{};
    pwritex_ctx ctx{};
    explicit rec_writer(bool with_error_call = true) {
        ctx.pwrite = &recorder::write;
        ctx.vperror = with_error_call ? &recorder::error : nullptr;
        ctx.verr = &err;
    }
    ~rec_writer() { pwritex_free(&ctx); }
};

bool constant(const std::string& s, uint8_t v) {
    return s.find_first_not_of(static_cast<char>(v)) == std::string::npos;
}

// ------------------------------------------------------------ fill pieces

TEST(Pwritex, RangesAreWrittenInPiecesOfAtMostTheBufferSize) {
    struct row {
        const char* name;
        int32_t value;
        uint64_t piece;
        int64_t len;
        int64_t off;
        int short_at;
        std::vector<int64_t> want_lens;  // bytes written per piece
        int64_t want_total;
    };
    const std::vector<row> rows = {
        {"10 MiB of 0 in 1 MiB pieces", 0, k_mib, 10 * k_mib, 0, -1, std::vector<int64_t>(10, k_mib), 10485760},
        {"1.5 MiB at an offset", 0xAB, k_mib, 3 * k_mib / 2, 4096, -1, {k_mib, k_mib / 2}, 3 * k_mib / 2},
        {"less than one piece", 0xFF, 4096, 100, 7, -1, {100}, 100},
        {"exactly one piece", 0x5A, 4096, 4096, 0, -1, {4096}, 4096},
        {"nothing to write", 0x11, 4096, 0, 0, -1, {}, 0},
        {"short write ends the range", 0x22, 1000, 5000, 100, 2, {1000, 1000, 500}, 2500},
        {"short first write", 0x33, 1000, 5000, 0, 0, {500}, 500},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        rec_writer w;
        w.rec.short_at = r.short_at;
        ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, r.value, r.piece), 0);
        EXPECT_EQ(pwritex_exec(&w.ctx, r.len, r.off), r.want_total);
        ASSERT_EQ(w.rec.pieces.size(), r.want_lens.size());
        int64_t at = r.off;
        for (size_t i = 0; i < r.want_lens.size(); i++) {
            EXPECT_EQ(w.rec.pieces[i].off, at) << i;
            EXPECT_EQ(static_cast<int64_t>(w.rec.pieces[i].bytes.size()), r.want_lens[i]) << i;
            EXPECT_TRUE(constant(w.rec.pieces[i].bytes, static_cast<uint8_t>(r.value))) << i;
            at += r.want_lens[i];
        }
        EXPECT_EQ(w.err.code, 0);
    }
}

TEST(Pwritex, RandomBytesAreFreshForEveryPiece) {
    rec_writer w;
    constexpr uint64_t k_piece = 4096;
    const int64_t len = 5 * k_piece + 1000;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, PWRITEX_RANDOM, k_piece), 0);
    EXPECT_EQ(pwritex_exec(&w.ctx, len, 512), len);
    ASSERT_EQ(w.rec.pieces.size(), 6u);
    std::set<std::string> distinct;
    for (size_t i = 0; i < w.rec.pieces.size(); i++) {
        const auto& p = w.rec.pieces[i];
        EXPECT_EQ(p.off, static_cast<int64_t>(512 + i * k_piece)) << i;
        EXPECT_EQ(p.bytes.size(), i < 5 ? k_piece : 1000u) << i;
        EXPECT_FALSE(constant(p.bytes, static_cast<uint8_t>(p.bytes[0]))) << i;
        distinct.insert(p.bytes.substr(0, 1000));
    }
    EXPECT_EQ(distinct.size(), 6u);  // no piece repeats another
    EXPECT_EQ(w.rec.all().size(), static_cast<size_t>(len));
}

// The offset -1 (the target's current position) goes to every piece as it
// is; adding to it would write elsewhere.
TEST(Pwritex, CurrentPositionIsPassedToEveryPiece) {
    rec_writer w;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0x77, 1000), 0);
    EXPECT_EQ(pwritex_exec(&w.ctx, 2500, -1), 2500);
    ASSERT_EQ(w.rec.pieces.size(), 3u);
    for (auto& p : w.rec.pieces) EXPECT_EQ(p.off, -1);
}

// --------------------------------------------------------------- failures

TEST(Pwritex, FailedWriteRunsTheErrorCallAndReturnsMinusOne) {
    rec_writer w;
    w.rec.fail_at = 1;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0, 1000), 0);
    EXPECT_EQ(pwritex_exec(&w.ctx, 5000, 0), -1);
    EXPECT_EQ(w.rec.pieces.size(), 2u);  // nothing after the failure
    EXPECT_EQ(w.rec.error_calls, 1);
    EXPECT_EQ(w.err.code, VERR_WRITE_ERROR);
    EXPECT_STREQ(verr_msg(&w.err), "device write failed");
}

TEST(Pwritex, FailedWriteWithoutErrorCallIsAnAssertion) {
    log_capture cap;
    rec_writer w(false);
    w.rec.fail_at = 0;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0, 1000), 0);
    EXPECT_EQ(pwritex_exec(&w.ctx, 5000, 0), -1);
    ASSERT_EQ(cap.count(LOG2_ERR), 1u);
    EXPECT_EQ(cap.lines()[0].tag, "pal");
    EXPECT_TRUE(cap.contains("expr[ctx->vperror!=NULL]: assert failed"));
}

TEST(Pwritex, UnusableSettingsAreRefusedWithoutWriting) {
    struct row {
        const char* name;
        int32_t value;
        uint64_t size;
        int32_t want_code;
    };
    const std::vector<row> rows = {
        {"size 0 (would never advance)", 0, 0, VERR_INVALID_PARAMETER},
        {"value below 0", -1, 4096, VERR_INVALID_PARAMETER},
        {"value above 256", 257, 4096, VERR_INVALID_PARAMETER},
        {"no memory", 0, UINT64_MAX / 2 + 1, VERR_NO_MEMORY},
    };
    log_capture cap;  // the allocator reports the impossible size
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        rec_writer w;
        EXPECT_EQ(pwritex_init(&w.ctx, &w.rec, r.value, r.size), -1);
        EXPECT_EQ(w.err.code, r.want_code);
        if (r.want_code == VERR_NO_MEMORY) {
            EXPECT_STREQ(verr_msg(&w.err), verr2str(VERR_NO_MEMORY));
        }
        // Nothing to write with: exec fails at once.
        EXPECT_EQ(pwritex_exec(&w.ctx, 10000, 0), -1);
        EXPECT_TRUE(w.rec.pieces.empty());
    }
    // A negative length is refused too.
    rec_writer w;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0, 512), 0);
    EXPECT_EQ(pwritex_exec(&w.ctx, -5, 0), -1);
    EXPECT_EQ(w.err.code, VERR_INVALID_PARAMETER);
    EXPECT_TRUE(w.rec.pieces.empty());
}

TEST(Pwritex, InitAgainReplacesTheBuffer) {
    rec_writer w;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0x10, 4096), 0);
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0x20, 100), 0);
    EXPECT_EQ(w.ctx.size, 100u);
    EXPECT_EQ(pwritex_exec(&w.ctx, 250, 0), 250);
    EXPECT_EQ(w.rec.pieces.size(), 3u);
    EXPECT_TRUE(constant(w.rec.all(), 0x20));
    EXPECT_EQ(pwritex_free(&w.ctx), 0);
    EXPECT_EQ(w.ctx.buf, nullptr);
    EXPECT_EQ(pwritex_exec(&w.ctx, 10, 0), -1);
}

// ------------------------------------------------------- single writes

TEST(Pwritex, SingleWritesCarryTheirOwnPattern) {
    rec_writer w;
    ASSERT_EQ(pwritex_init(&w.ctx, &w.rec, 0xFF, 4096), 0);
    // Growing the buffer with the same value must not write the zeros of
    // the new buffer.
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 0xFF, 8192, 0), 8192);
    EXPECT_TRUE(constant(w.rec.pieces.back().bytes, 0xFF));
    EXPECT_EQ(w.rec.pieces.back().bytes.size(), 8192u);
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 0x11, 3000, 100), 3000);
    EXPECT_TRUE(constant(w.rec.pieces.back().bytes, 0x11));
    EXPECT_EQ(w.rec.pieces.back().off, 100);
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, PWRITEX_RANDOM, 2000, 0), 2000);
    std::string r1 = w.rec.pieces.back().bytes;
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, PWRITEX_RANDOM, 2000, 0), 2000);
    EXPECT_NE(w.rec.pieces.back().bytes, r1);
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 0x11, 8192, 0), 8192);
    EXPECT_TRUE(constant(w.rec.pieces.back().bytes, 0x11));
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 300, 10, 0), VERR_INVALID_PARAMETER);

    // The range writer still writes its own value afterwards.
    size_t before = w.rec.pieces.size();
    EXPECT_EQ(pwritex_exec(&w.ctx, 10000, 0), 10000);
    for (size_t i = before; i < w.rec.pieces.size(); i++) EXPECT_TRUE(constant(w.rec.pieces[i].bytes, 0xFF)) << i;
}

TEST(Pwritex, SingleWriteMakesItsBufferOnFirstUse) {
    rec_writer w;
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 0, 512, 0), 512);
    EXPECT_TRUE(constant(w.rec.pieces.back().bytes, 0));
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 0xC3, 512, 512), 512);
    EXPECT_TRUE(constant(w.rec.pieces.back().bytes, 0xC3));
    log_capture cap;
    EXPECT_EQ(pwritex_write(&w.ctx, &w.rec, 1, UINT64_MAX / 2 + 1, 0), VERR_NO_MEMORY);
    EXPECT_EQ(w.err.code, VERR_NO_MEMORY);
}

// ----------------------------------------------------- through the files

TEST(Pwritex, WritesAFileThroughTheFileLayer) {
    temp_dir dir;
    std::string path = dir.file("wipe.img");
    os_file_ctx* f = os_file_open3(path.c_str(), 2 | OS_OF_CREATE | OS_OF_TRUNC, 0600);
    ASSERT_NE(f, nullptr);
    verr_info err{};
    pwritex_ctx ctx{};
    ctx.verr = &err;
    ASSERT_EQ(pwritex_init(&ctx, f, 0xAB, 4096), 0);
    EXPECT_EQ(pwritex_exec(&ctx, 10001, 777), 10001);
    os_file_close(f);
    pwritex_free(&ctx);
    EXPECT_EQ(read_file(path), std::string(777, '\0') + std::string(10001, '\xAB'));

    // Random bytes over the same file: exact length, no long constant run.
    f = os_file_open3(path.c_str(), 2, 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(pwritex_init(&ctx, f, PWRITEX_RANDOM, 4096), 0);
    EXPECT_EQ(pwritex_exec(&ctx, 9000, 0), 9000);
    os_file_close(f);
    pwritex_free(&ctx);
    std::string data = read_file(path);
    ASSERT_EQ(data.size(), 10778u);
    EXPECT_NE(data.substr(0, 4096), data.substr(4096, 4096));
    EXPECT_FALSE(constant(data.substr(0, 9000), static_cast<uint8_t>(data[0])));
    EXPECT_EQ(data.substr(9000), std::string(1778, '\xAB'));
}

TEST(Pwritex, FileLayerFailureFillsTheErrorRecord) {
    temp_dir dir;
    std::string path = dir.file("ro.img");
    write_file(path, "x");
    os_file_ctx* f = os_file_open3(path.c_str(), 0, 0);  // read-only
    ASSERT_NE(f, nullptr);
    verr_info err{};
    pwritex_ctx ctx{};
    ctx.verr = &err;
    ASSERT_EQ(pwritex_init(&ctx, f, 0, 4096), 0);
    EXPECT_EQ(pwritex_exec(&ctx, 8192, 0), -1);
    EXPECT_EQ(err.code, os_verr_get(EBADF));
    EXPECT_STREQ(verr_msg(&err), os_errno_str(EBADF));
    os_file_close(f);
    pwritex_free(&ctx);
    EXPECT_EQ(read_file(path), "x");
}

}  // namespace
