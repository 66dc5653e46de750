// The VDI reader on images qemu-img writes: whole-disk reads against the
// raw data, reads at chosen places, several map pages and 64-bit offsets.
#include <sys/stat.h>

#include "vdi_test_util.h"

namespace {

using namespace img_test;
using namespace vdi_test;

constexpr size_t k_size = 3 * 1024 * 1024 + 4096;  // not a whole number of 1 MiB blocks

class VdiQemu : public ::testing::Test {
protected:
    void SetUp() override {
        IMG_NEED_TOOL("qemu-img");
        data = disk_data(k_size);
        raw = dir.file("src.raw");
        write_file(raw, data);
    }
    // A dynamic image with the blocks of the data written in reverse order:
    // the map is not the identity.
    void make_reversed(const std::string& out) {
        ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", out, std::to_string(k_size)}));
        for (int b = 3; b >= 0; --b) {
            std::string off = std::to_string(b) + "M";
            size_t n = std::min<size_t>(1 << 20, k_size - (static_cast<size_t>(b) << 20));
            // Only the blocks holding data: block 1 stays a hole as in the other images.
            if (b == 1) continue;
            // The pattern file fills the write from its own start.
            std::string piece = dir.file("block" + std::to_string(b));
            write_file(piece, data.substr(static_cast<size_t>(b) << 20, n));
            std::string cmd = "write -q -s " + piece + " " + off + " " + std::to_string(n);
            ASSERT_TRUE(run_ok({"qemu-io", "-f", "vdi", "-c", cmd, out}))
                << "block " << b;
        }
    }
    temp_dir dir;
    std::string data;
    std::string raw;
};

TEST_F(VdiQemu, ImagesReadAsTheirData) {
    IMG_NEED_TOOL("qemu-io");
    struct row {
        const char* name;
        std::vector<std::string> opts;
        bool reversed;
    };
    const row rows[] = {
        {"dynamic", {}, false},
        {"static", {"-o", "static=on"}, false},
        {"reversed", {}, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string img = dir.file(std::string(r.name) + ".vdi");
        if (r.reversed) {
            ASSERT_NO_FATAL_FAILURE(make_reversed(img));
        } else {
            std::vector<std::string> argv{"qemu-img", "convert", "-f", "raw", "-O", "vdi"};
            argv.insert(argv.end(), r.opts.begin(), r.opts.end());
            argv.push_back(raw);
            argv.push_back(img);
            ASSERT_TRUE(run_ok(argv));
        }
        vdi_ptr v(img);
        ASSERT_TRUE(v) << verr_msg(&v.err);
        EXPECT_EQ(vdi_size(v.get()), static_cast<int64_t>(k_size));
        for (size_t piece : {size_t{1} << 20, size_t{100000}, size_t{4} << 20}) {
            SCOPED_TRACE(piece);
            EXPECT_TRUE(same_bytes(read_whole(v.get(), piece), data));
        }
        if (r.reversed) {
            // Block 3 was written first, so it is stored first.
            ASSERT_EQ(vdi_seek(v.get(), 3 << 20, 0), 3 << 20);
            EXPECT_EQ(vdi_lookup(v.get()), static_cast<int64_t>(v.get()->data_off));
        }
    }
}

TEST_F(VdiQemu, ReadsAtChosenPlaces) {
    std::string img = dir.file("x.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", raw, img}));
    vdi_ptr v(img);
    ASSERT_TRUE(v) << verr_msg(&v.err);
    struct row {
        const char* what;
        int64_t off;
        int64_t len;
        int64_t want;  // bytes the read gives
    };
    const int64_t size = static_cast<int64_t>(k_size);
    const row rows[] = {
        {"first bytes", 0, 512, 512},
        {"across a block boundary", (1 << 20) - 700, 1400, 1400},
        {"from a hole into data", (5 << 19) - 100, 4096, 4096},
        {"across two boundaries", (2 << 20) - 10, (1 << 20) + 20, (1 << 20) + 20},
        {"near the end", size - 10, 100, 10},
        {"the last byte", size - 1, 1, 1},
        {"more than the disk", 0, size + 12345, size},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        int64_t rc = 0;
        std::string got = read_at(v.get(), r.off, r.len, &rc);
        ASSERT_EQ(rc, r.want);
        EXPECT_TRUE(same_bytes(got, data.substr(static_cast<size_t>(r.off), static_cast<size_t>(r.want))));
        EXPECT_EQ(static_cast<int64_t>(v.get()->pos), r.off + r.want);
    }
    // At the disk's end a read gives nothing, and no position lies there.
    char c;
    EXPECT_EQ(vdi_read(v.get(), &c, 1), 0);
    EXPECT_EQ(vdi_seek(v.get(), size, 0), -1);
}

TEST_F(VdiQemu, SeekStaysInsideTheDisk) {
    std::string img = dir.file("x.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "convert", "-f", "raw", "-O", "vdi", raw, img}));
    vdi_ptr v(img);
    ASSERT_TRUE(v) << verr_msg(&v.err);
    const int64_t size = static_cast<int64_t>(k_size);
    struct row {
        int64_t off;
        int whence;
        int64_t want;
    };
    // Each row starts from position 1000.
    const row rows[] = {
        {5, 0, 5},       {-1, 0, -1},        {size - 1, 0, size - 1}, {size, 0, -1},
        {24, 1, 1024},   {-1000, 1, 0},      {-1001, 1, -1},          {-1, 2, size - 1},
        {0, 2, -1},      {INT64_MAX, 1, -1}, {0, 7, -1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.off << " whence " << r.whence);
        ASSERT_EQ(vdi_seek(v.get(), 1000, 0), 1000);
        EXPECT_EQ(vdi_seek(v.get(), r.off, r.whence), r.want);
        EXPECT_EQ(static_cast<int64_t>(v.get()->pos), r.want < 0 ? 1000 : r.want);
    }
}

TEST_F(VdiQemu, SecondMapPageIsReadWhenNeeded) {
    IMG_NEED_TOOL("qemu-io");
    std::string img = dir.file("two.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", img, "2G"}));
    ASSERT_TRUE(run_ok({"qemu-io", "-f", "vdi", "-c", "write -P 0x5a 1500M 1M", img}));
    vdi_ptr v(img);
    ASSERT_TRUE(v) << verr_msg(&v.err);
    EXPECT_EQ(v.get()->blocks, 2048u);
    int64_t rc = 0;
    std::string first = read_at(v.get(), 0, 4096, &rc);
    ASSERT_EQ(rc, 4096);
    EXPECT_EQ(first, std::string(4096, '\0'));
    EXPECT_EQ(v.get()->page_bitmap[0], 1) << "only the first page has been read";
    const int64_t at = 1500LL << 20;
    std::string around = read_at(v.get(), at - 4096, (1 << 20) + 8192, &rc);
    ASSERT_EQ(rc, (1 << 20) + 8192);
    EXPECT_TRUE(same_bytes(around, std::string(4096, '\0') + std::string(1 << 20, '\x5a') + std::string(4096, '\0')));
    EXPECT_EQ(v.get()->page_bitmap[0], 3);
}

TEST_F(VdiQemu, LaterBlocksOfALargeImageUseSixtyFourBitOffsets) {
    IMG_NEED_TOOL("qemu-io");
    std::string img = dir.file("big.vdi");
    ASSERT_TRUE(run_ok({"qemu-img", "create", "-q", "-f", "vdi", "-o", "static=on", img, "5G"}));
    struct stat st{};
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    ASSERT_LT(st.st_blocks * 512, 64 << 20) << "the static image must stay sparse";
    const int64_t at = 4608LL << 20;
    ASSERT_TRUE(run_ok({"qemu-io", "-f", "vdi", "-c", "write -P 0x33 4608M 64k", img}));
    vdi_ptr v(img);
    ASSERT_TRUE(v) << verr_msg(&v.err);
    ASSERT_EQ(vdi_seek(v.get(), at, 0), at);
    int64_t file_off = vdi_lookup(v.get());
    EXPECT_GT(file_off, 4LL << 30);
    int64_t rc = 0;
    std::string got = read_at(v.get(), at - 16, 65536 + 32, &rc);
    ASSERT_EQ(rc, 65536 + 32);
    EXPECT_TRUE(same_bytes(got, std::string(16, '\0') + std::string(65536, '\x33') + std::string(16, '\0')));
}

}  // namespace
