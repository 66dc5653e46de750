// Chunks decoded on the image's threads: every codec reads as it does on
// the reader's thread alone, a damaged chunk fails the read as it does there,
// and the threads start once per image and end with it.
#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "aff4_builder.h"
#include "aff4_test_util.h"
#include "libaff4/aff4.h"

using namespace aff4_test;

namespace {

constexpr uint32_t k_chunk = 512;
constexpr uint32_t k_per_bevy = 7;     // reads cross bevies in the middle
constexpr size_t k_chunks = 600;       // many windows of chunks in flight

// The decoding threads of the images opened while it lives.
struct threads_guard {
    explicit threads_guard(unsigned n) { aff4::set_decode_threads(n); }
    ~threads_guard() { aff4::set_decode_threads(0); }
};

size_t task_count() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

image_recipe stream_recipe(const std::string& method, bool deflate_bevies) {
    image_recipe s;
    s.method = method;
    s.use_map = false;
    s.chunk_size = k_chunk;
    s.per_bevy = k_per_bevy;
    s.deflate_bevies = deflate_bevies;
    s.data = disk_bytes(k_chunk * k_chunks - 123, 5);  // the last chunk short
    return s;
}

struct read_result {
    std::string bytes;
    int err = 0;
    std::string why;
};

// The reads of one pass: whole, in pieces of whole chunks, and in pieces
// that start and end inside chunks.
std::vector<read_result> read_pass(const std::string& path, unsigned threads) {
    threads_guard g(threads);
    int h = AFF4_open(path.c_str());
    EXPECT_GE(h, 0) << aff4::last_error();
    std::vector<read_result> out;
    uint64_t size = AFF4_object_size(h);
    for (auto [off, piece] : std::initializer_list<std::pair<uint64_t, int>>{
             {0, 1 << 30}, {0, k_chunk * 64}, {k_chunk * 3, k_chunk * 5}, {100, k_chunk * 9 + 77}, {777, 3000}}) {
        read_result r;
        r.bytes = read_all(h, off, size - off, piece, &r.err);
        if (r.err) r.why = aff4::last_error();
        out.push_back(std::move(r));
    }
    AFF4_close(h);
    return out;
}

// The index entry (offset, length) of chunk n in its bevy.
std::pair<uint64_t, uint32_t> chunk_place(image_recipe& s, size_t n) {
    char num[32];
    snprintf(num, sizeof num, "/%08zu.index", n / s.per_bevy);
    zip_member* index = s.member(num);
    const auto* p = reinterpret_cast<const uint8_t*>(index->data.data()) + (n % s.per_bevy) * 12;
    uint64_t off = 0;
    for (int i = 7; i >= 0; --i) off = off << 8 | p[i];
    return {off, p[8] | p[9] << 8 | p[10] << 16 | static_cast<uint32_t>(p[11]) << 24};
}

void damage_chunk(image_recipe& s, size_t n) {
    char num[32];
    snprintf(num, sizeof num, "/%08zu", n / s.per_bevy);
    auto [off, len] = chunk_place(s, n);
    ASSERT_LT(len, s.chunk_size) << "chunk " << n << " is stored, not compressed";
    memset(s.member(num)->data.data() + off, 0xff, len);
}

TEST(Aff4Threads, EveryCodecReadsAsOnTheReadersThreadAlone) {
    temp_dir dir;
    struct codec_case {
        const char* method;
        bool deflate_bevies;
    };
    for (codec_case c : {codec_case{"snappy", false}, {"lz4", false}, {"deflate", false}, {"zlib", false},
                         {"stored", false}, {"snappy", true}, {"stored", true}}) {
        SCOPED_TRACE(std::string(c.method) + (c.deflate_bevies ? " in deflated bevies" : ""));
        image_recipe s = stream_recipe(c.method, c.deflate_bevies);
        s.build();
        std::string path = dir.file(std::string(c.method) + (c.deflate_bevies ? "-d" : "") + ".aff4", s.write());
        std::vector<read_result> one = read_pass(path, 1), many = read_pass(path, 8);
        ASSERT_EQ(one.size(), many.size());
        for (size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(one[i].err, 0) << one[i].why;
            EXPECT_EQ(many[i].err, 0) << many[i].why;
            EXPECT_TRUE(many[i].bytes == one[i].bytes) << "pass " << i;
        }
        EXPECT_TRUE(one[0].bytes == s.data);
    }
    // A map whose ranges start inside chunks, over a stream of many chunks.
    image_recipe m = stream_recipe("lz4", false);
    m.use_map = true;
    m.map_size = 2 * m.data.size();
    m.idx = {k_stream, std::string(k_ns) + "Zero"};
    m.rows = {{0, 200000, 1000, 0}, {200000, 5000, 0, 1}, {250001, 100000, 100, 0}};
    m.build();
    std::string path = dir.file("map.aff4", m.write());
    std::vector<read_result> one = read_pass(path, 1), many = read_pass(path, 8);
    for (size_t i = 0; i < one.size(); ++i) {
        EXPECT_EQ(many[i].err, 0) << many[i].why;
        EXPECT_TRUE(many[i].bytes == one[i].bytes) << "pass " << i;
    }
    EXPECT_TRUE(one[0].bytes.substr(250001, 100000) == m.data.substr(100, 100000));
}

// A damaged chunk in the middle: the read that holds it fails with the text
// and errno of the reader's own decode, the bytes before it are read, none
// after it. An earlier damaged chunk comes first, whatever fails after it.
TEST(Aff4Threads, DamagedChunkFailsTheReadAsOnTheReadersThreadAlone) {
    temp_dir dir;
    struct damage_case {
        const char* name;
        const char* method;
        std::vector<size_t> damaged;
        bool drop_last_index;  // a bevy after the damage has no index
        int err;
        const char* says;
    };
    const damage_case cases[] = {
        {"snappy", "snappy", {300}, false, EIO, "chunk 300 of"},
        {"lz4", "lz4", {300}, false, EIO, "chunk 300 of"},
        {"deflate", "deflate", {300}, false, EIO, "chunk 300 of"},
        {"two damaged chunks", "snappy", {300, 310}, false, EIO, "chunk 300 of"},
        {"damage just before a missing index", "lz4", {590}, true, EIO, "chunk 590 of"},
        {"a missing index alone", "lz4", {}, true, ENOENT, ".index is missing"},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.name);
        image_recipe s = stream_recipe(c.method, false);
        s.data = std::string(s.data.size(), 'a');  // every chunk compresses
        s.build();
        for (size_t n : c.damaged) damage_chunk(s, n);
        if (c.drop_last_index) {
            char num[32];
            snprintf(num, sizeof num, "/%08zu.index", (k_chunks - 1) / k_per_bevy);
            std::string name = s.member(num)->name;
            std::erase_if(s.members, [&](const zip_member& m) { return m.name == name; });
        }
        std::string path = dir.file(std::string("damaged.aff4"), s.write());
        std::vector<read_result> one = read_pass(path, 1), many = read_pass(path, 8);
        size_t good = c.damaged.empty() ? (k_chunks - 1) / k_per_bevy * k_per_bevy * k_chunk : c.damaged[0] * k_chunk;
        for (size_t i = 0; i < one.size(); ++i) {
            SCOPED_TRACE("pass " + std::to_string(i));
            EXPECT_EQ(one[i].err, c.err);
            EXPECT_EQ(many[i].err, c.err);
            EXPECT_EQ(many[i].why, one[i].why);
            EXPECT_NE(one[i].why.find(c.says), std::string::npos) << one[i].why;
            EXPECT_TRUE(many[i].bytes == one[i].bytes);
        }
        // The reads in pieces of 64 chunks stop at the piece that holds the failure.
        EXPECT_EQ(one[1].bytes.size(), good / (k_chunk * 64) * (k_chunk * 64));
        EXPECT_TRUE(one[1].bytes == s.data.substr(0, one[1].bytes.size()));
        EXPECT_TRUE(one[0].bytes.empty());
    }
}

// The threads start at the first read of several chunks, not at the open nor
// at a read of one chunk, once per image, and end at its close; a close while
// a read decodes leaves that read whole.
TEST(Aff4Threads, ThreadsStartOnceAndEndAtClose) {
    temp_dir dir;
    image_recipe s = stream_recipe("snappy", false);
    s.build();
    std::string path = dir.file("s.aff4", s.write());
    threads_guard g(4);
    size_t base = task_count();
    int h = AFF4_open(path.c_str());
    ASSERT_GE(h, 0) << aff4::last_error();
    std::string buf(s.data.size(), '\0');
    EXPECT_EQ(task_count(), base);
    ASSERT_EQ(AFF4_read(h, k_chunk, buf.data(), k_chunk), static_cast<int>(k_chunk));
    EXPECT_EQ(task_count(), base) << "a read of one chunk started threads";
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AFF4_read(h, 0, buf.data(), static_cast<int>(buf.size())), static_cast<int>(buf.size()));
        EXPECT_TRUE(buf == s.data);
        EXPECT_EQ(task_count(), base + 4);
    }
    EXPECT_EQ(AFF4_close(h), 0);
    EXPECT_EQ(task_count(), base);

    // Close from another thread once the reader has begun its reads.
    h = AFF4_open(path.c_str());
    ASSERT_GE(h, 0);
    std::atomic<bool> started{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        std::string b(s.data.size(), '\0');
        for (int i = 0; i < 50; ++i) {
            errno = 0;
            int n = AFF4_read(h, 0, b.data(), static_cast<int>(b.size()));
            started = true;
            started.notify_one();
            if (n < 0 && errno == EBADF) break;
            if (n != static_cast<int>(b.size()) || b != s.data) ++bad;
        }
    });
    started.wait(false);
    EXPECT_EQ(AFF4_close(h), 0);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(task_count(), base);
}

}  // namespace
