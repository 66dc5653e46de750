// The built kxdd with compressed images: in and out, image to image with
// packed blocks passed through, and a resumed copy.
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <vector>

#include "kxz_test_util.h"
#include "libkxz/kxz_format.h"

namespace {

using namespace kxz_test;

std::string mixed(size_t n) {
    std::string s = marked_data(n);
    std::mt19937 gen(8);
    // Every third 64 KiB is noise, so some records are longer than their block.
    for (size_t at = 0; at < n; at += 3 * 65536)
        for (size_t i = at; i < std::min(n, at + 65536); ++i) s[i] = static_cast<char>(gen());
    return s;
}

// The first processor this process may run on, for a run pinned to one:
// the image is then written by the loop alone, as with one processor.
int first_cpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set)) return i;
    return -1;
}

int cpus_allowed() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

// kxdd through a shell that can pin it to one processor and limit the size
// of the files it writes (SIGXFSZ ignored: the write fails with EFBIG).
proc_result run_limited(const std::vector<std::string>& args, bool one_cpu, long fsize_blocks = -1) {
    std::string script;
    if (fsize_blocks >= 0) script += "ulimit -f " + std::to_string(fsize_blocks) + "; trap '' XFSZ; ";
    script += "cpu=$1; shift; ";
    script += one_cpu ? "exec taskset -c \"$cpu\" \"$0\" \"$@\"" : "exec \"$0\" \"$@\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", script, kxdd_bin(), std::to_string(first_cpu())};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_proc(argv);
}

// Two images of the same blocks agree byte for byte but for their guid.
::testing::AssertionResult same_image(const std::string& a, const std::string& b) {
    std::string x = read_file(a), y = read_file(b);
    if (x.size() != y.size())
        return ::testing::AssertionFailure() << a << ": " << x.size() << " bytes, " << b << ": " << y.size();
    if (x.size() >= KXZ_H_GUID + KXZ_GUID_SIZE) {
        memset(x.data() + KXZ_H_GUID, 0, KXZ_GUID_SIZE);
        memset(y.data() + KXZ_H_GUID, 0, KXZ_GUID_SIZE);
    }
    return same_bytes(x, y);
}

class KxzKxdd : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.file(name); }
    void kxdd(const std::vector<std::string>& args) {
        proc_result r = run_kxdd(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    temp_dir dir;
};

TEST_F(KxzKxdd, CopyInAndOutGivesBackEveryByte) {
    std::string data = mixed(5 * 1024 * 1024 + 123);
    write_file(path("data"), data);
    for (const char* bs : {"bs=1M", "bs=64k"}) {
        SCOPED_TRACE(bs);
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("x.kxz"), bs}));
        EXPECT_FALSE(file_exists(path("x.kxz_off")));
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("x.kxz"), "of=" + path("back"), "bs=100k"}));
        EXPECT_TRUE(same_bytes(read_file(path("back")), data));
        if (!oracle_available()) continue;
        std::string unpacked;
        oracle_result o = oracle_read(path("x.kxz"), &unpacked);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data));
        EXPECT_EQ(o.num("block_len"), std::string(bs) == "bs=1M" ? 1 << 20 : 64 << 10);
    }
    // Without the oracle only the round trip was checked.
    KXZ_NEED_ORACLE();
}

TEST_F(KxzKxdd, ImageToImagePassesPackedBlocksThrough) {
    KXZ_NEED_ORACLE();
    // The independent writer packs harder than the tool does, so records
    // that arrive unchanged are told apart from records packed again.
    std::string data = mixed(3 * 1024 * 1024 + 5000);
    ASSERT_EQ(oracle_write(data, path("in.kxz"), 256 * 1024, PACK_LZ4, 0, 0x8000000, false), 0);
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("in.kxz"), "of=" + path("pass.kxz"), "bs=256k"}));
    ASSERT_NO_FATAL_FAILURE(
        kxdd({"if=" + path("in.kxz"), "of=" + path("repack.kxz"), "disable_pack_transport=1", "bs=256k"}));
    std::string in = read_file(path("in.kxz"));
    std::string pass = read_file(path("pass.kxz"));
    std::string repack = read_file(path("repack.kxz"));
    EXPECT_TRUE(in.substr(KXZ_HEADER_SIZE) == pass.substr(KXZ_HEADER_SIZE)) << "records passed unchanged";
    EXPECT_FALSE(in.substr(KXZ_HEADER_SIZE) == repack.substr(KXZ_HEADER_SIZE)) << "records packed again";
    for (const char* name : {"pass.kxz", "repack.kxz"}) {
        std::string unpacked;
        oracle_result o = oracle_read(path(name), &unpacked);
        ASSERT_EQ(o.status, 0) << name << ": " << o.err;
        EXPECT_TRUE(same_bytes(unpacked, data)) << name;
        EXPECT_EQ(o.num("block_len"), 256 * 1024) << name;
    }
}

TEST_F(KxzKxdd, ResumedCopyContinuesTheImage) {
    std::string data = mixed(4 * 1024 * 1024);
    write_file(path("data"), data);
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("r.kxz"), "bs=512k", "count=3"}));
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("r.kxz"), "bs=512k", "conv=resume"}));
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("r.kxz"), "of=" + path("back")}));
    EXPECT_TRUE(same_bytes(read_file(path("back")), data));
    EXPECT_FALSE(file_exists(path("r.kxz_off")));
}

// The file offsets of an image's records, walked from the header.
std::vector<uint64_t> record_offsets(const std::string& img) {
    std::vector<uint64_t> at;
    for (uint64_t off = KXZ_HEADER_SIZE; off + 4 <= img.size();) {
        uint32_t zlen = 0;
        memcpy(&zlen, img.data() + off, 4);
        if (zlen & KXZ_TRAILER_FLAG) break;
        at.push_back(off);
        off += kxz_record_size(zlen);
    }
    return at;
}

// An image written by the tool with an index read from a trailer it never
// wrote: the stride set to two blocks and the given entries appended.
std::string with_trailer(std::string img, uint32_t stride, const std::vector<uint64_t>& entries) {
    uint64_t off_cache = img.size();
    memcpy(&img[KXZ_H_OFF_BLKSIZE], &stride, 4);
    memcpy(&img[KXZ_H_OFF_CACHE], &off_cache, 8);
    uint32_t word = KXZ_TRAILER_FLAG | static_cast<uint32_t>(entries.size() * 8);
    img.append(reinterpret_cast<const char*>(&word), 4);
    for (uint64_t e : entries) img.append(reinterpret_cast<const char*>(&e), 8);
    img.append(reinterpret_cast<const char*>(&word), 4);
    return img;
}

// Index entries that name the wrong record: reads through the index must
// still give each block's own bytes, or fail; never another block's.
TEST_F(KxzKxdd, DamagedImageFiles) {
    const uint32_t bl = 64 * 1024;
    std::string data = mixed(16 * bl + 5000);
    write_file(path("data"), data);
    ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("data"), "of=" + path("x.kxz"), "bs=64k"}));
    const std::string made = read_file(path("x.kxz"));
    ASSERT_EQ(memcmp(made.data() + KXZ_H_OFF_CACHE, std::string(8, '\0').data(), 8), 0) << "no trailer yet";
    const std::vector<uint64_t> rec = record_offsets(made);
    ASSERT_EQ(rec.size(), 17u);
    // One entry every two blocks: blocks 2, 4, ..., 16.
    std::vector<uint64_t> sound;
    for (size_t b = 2; b < rec.size(); b += 2) sound.push_back(rec[b]);

    struct row {
        const char* what;
        std::function<void(std::vector<uint64_t>&)> damage;
    };
    const row rows[] = {
        {"sound index", [](std::vector<uint64_t>&) {}},
        {"block 2 named at block 3's record", [&](std::vector<uint64_t>& e) { e[0] = rec[3]; }},
        {"blocks 2 and 4 each one record late",
         [&](std::vector<uint64_t>& e) {
             e[0] = rec[3];
             e[1] = rec[5];
         }},
        {"blocks 6 and 8 each one record early",
         [&](std::vector<uint64_t>& e) {
             e[2] = rec[5];
             e[3] = rec[7];
         }},
        {"the last entry one record early", [&](std::vector<uint64_t>& e) { e[7] = rec[15]; }},
        {"block 4 named inside its packed data", [&](std::vector<uint64_t>& e) { e[1] = rec[4] + 16; }},
        {"entries of blocks 2 and 4 swapped", [](std::vector<uint64_t>& e) { std::swap(e[0], e[1]); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint64_t> entries = sound;
        r.damage(entries);
        write_file(path("i.kxz"), with_trailer(made, 2 * bl, entries));
        for (int block : {2, 4, 6, 8, 14, 16}) {
            SCOPED_TRACE(block);
            unlink(path("one").c_str());
            ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("i.kxz"), "of=" + path("one"), "bs=64k",
                                         "skip=" + std::to_string(block), "count=1"}));
            EXPECT_TRUE(same_bytes(read_file(path("one")), data.substr(static_cast<size_t>(block) * bl, bl)));
        }
        unlink(path("all").c_str());
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("i.kxz"), "of=" + path("all"), "bs=64k"}));
        EXPECT_TRUE(same_bytes(read_file(path("all")), data));
    }
}

}  // namespace

// With more than one processor the blocks are packed ahead on threads of
// their own; the image is the one the loop alone writes, byte for byte.
TEST_F(KxzKxdd, PackingOnThreadsWritesTheImageOfOneThread) {
    if (cpus_allowed() < 2) GTEST_SKIP() << "one processor: the blocks are packed by the loop alone";
    // Mixed data with a short last block; the small blocks come in pieces
    // of several, the large ones one to a piece.
    std::string data = mixed(9 * 1024 * 1024 + 4321);
    write_file(path("data"), data);
    for (const char* bs : {"bs=4k", "bs=64k", "bs=100k", "bs=1M", "bs=3M", "bs=5M"}) {
        SCOPED_TRACE(bs);
        for (const char* name : {"one.kxz", "many.kxz"}) {
            proc_result r = run_limited({"if=" + path("data"), "of=" + path(name), bs}, name[0] == 'o');
            ASSERT_EQ(r.status, 0) << r.err;
        }
        EXPECT_TRUE(same_image(path("one.kxz"), path("many.kxz")));
        ASSERT_NO_FATAL_FAILURE(kxdd({"if=" + path("many.kxz"), "of=" + path("back")}));
        EXPECT_TRUE(same_bytes(read_file(path("back")), data));
        for (const char* name : {"one.kxz", "many.kxz", "back"}) unlink(path(name).c_str());
    }
}

// A write that fails part of the way (the file size limit) ends the run
// with the same messages, status and image as with the loop alone.
TEST_F(KxzKxdd, AFailedWriteOfPackedBlocksReportsAsWithOneThread) {
    if (cpus_allowed() < 2) GTEST_SKIP() << "one processor: the blocks are packed by the loop alone";
    std::string data = marked_data(6 * 1024 * 1024, true);
    write_file(path("data"), data);
    proc_result one, many;
    for (auto* r : {&one, &many}) {
        const bool alone = r == &one;
        const std::string name = alone ? "one.kxz" : "many.kxz";
        // 2 MiB of the 6 MiB of noise, which packs to about its own size.
        *r = run_limited({"if=" + path("data"), "of=" + path(name), "bs=64k"}, alone, 2048);
    }
    EXPECT_NE(one.status, 0) << one.err;
    EXPECT_EQ(many.status, one.status);
    auto error_lines = [](const std::string& err, const std::string& name) {
        std::string out, line;
        for (size_t at = 0; at < err.size();) {
            size_t nl = err.find('\n', at);
            line = strip_ansi(err.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
            at = nl == std::string::npos ? err.size() : nl + 1;
            // The time, the process id, the speed and the image's name differ
            // from run to run.
            if (line.find(" copied, ") != std::string::npos) continue;
            line = std::regex_replace(line, std::regex("^[0-9:]+ \\[[0-9]+\\] "), "");
            for (size_t p; (p = line.find(name)) != std::string::npos;) line.replace(p, name.size(), "IMG");
            out += line + "\n";
        }
        return out;
    };
    EXPECT_EQ(error_lines(many.err, "many.kxz"), error_lines(one.err, "one.kxz"));
    EXPECT_NE(error_lines(one.err, "one.kxz").find("IMG"), std::string::npos) << one.err;
    EXPECT_TRUE(same_image(path("one.kxz"), path("many.kxz")));
}
