// The VDI reader on images built by hand: map layouts no tool writes,
// damaged headers and maps, and truncated files. Nothing may read outside
// its buffers; every damage gives a clean error or zeros.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "liblog/log2.h"
#include "support/log_capture.h"
#include "vdi_test_util.h"

namespace {

using namespace img_test;
using namespace vdi_test;

constexpr uint32_t k_bs = 4096;

// Four blocks: block 0 stored second, block 1 free, block 2 stored first,
// block 3 discarded; the disk ends 100 bytes before the last block does.
layout base_layout() {
    return layout{4 * k_bs - 100, k_bs, {1, VDI_BLOCK_FREE, 0, VDI_BLOCK_DISCARDED},
                  {block_of(k_bs, 'B'), block_of(k_bs, 'A')}};
}

std::string base_disk() {
    std::string d = block_of(k_bs, 'A') + std::string(k_bs, '\0') + block_of(k_bs, 'B') + std::string(k_bs, '\0');
    d.resize(4 * k_bs - 100);
    return d;
}

class VdiHostile : public ::testing::Test {
protected:
    std::string save(const std::string& bytes) {
        std::string p = dir.file("x.vdi");
        write_file(p, bytes);
        return p;
    }
    temp_dir dir;
};

TEST_F(VdiHostile, HandBuiltMapReadsItsBlocks) {
    vdi_ptr v(save(build(base_layout())));
    ASSERT_TRUE(v) << verr_msg(&v.err);
    for (size_t piece : {size_t{4096}, size_t{1000}, size_t{20000}}) {
        SCOPED_TRACE(piece);
        EXPECT_TRUE(same_bytes(read_whole(v.get(), piece), base_disk()));
    }
    // Free and discarded blocks have no place in the file.
    for (int64_t b : {1, 3}) {
        ASSERT_EQ(vdi_seek(v.get(), b * k_bs + 5, 0), b * k_bs + 5);
        EXPECT_EQ(vdi_lookup(v.get()), 0);
    }
    ASSERT_EQ(vdi_seek(v.get(), 5, 0), 5);
    EXPECT_EQ(vdi_lookup(v.get()), static_cast<int64_t>(data_offset(base_layout()) + k_bs + 5));
}

TEST_F(VdiHostile, EmptyDiskOpensAndReadsNothing) {
    vdi_ptr v(save(build(layout{0, k_bs, {}, {}})));
    ASSERT_TRUE(v) << verr_msg(&v.err);
    char c = 0;
    EXPECT_EQ(vdi_size(v.get()), 0);
    EXPECT_EQ(vdi_read(v.get(), &c, 1), 0);
    EXPECT_EQ(vdi_lookup(v.get()), 0);
}

TEST_F(VdiHostile, DamagedHeadersAreRefused) {
    const char* magic = "Unexpected header size or the magic number has lost its magic.";
    struct row {
        const char* what;
        std::function<void(std::string&)> damage;
        const char* message;
    };
    const row rows[] = {
        {"signature", [](std::string& f) { put_le32(f, VDI_OFF_SIGNATURE, 0xbeda107e); }, magic},
        {"file shorter than the header", [](std::string& f) { f.resize(400); }, magic},
        {"block size 0", [](std::string& f) { put_le32(f, VDI_OFF_BLOCK_SIZE, 0); }, "block size 0"},
        {"disk larger than its blocks", [](std::string& f) { put_le64(f, VDI_OFF_DISK_SIZE, 4 * k_bs + 1); },
         "do not cover the disk size"},
        {"disk size near 2^64", [](std::string& f) { put_le64(f, VDI_OFF_DISK_SIZE, UINT64_MAX); },
         "do not cover the disk size"},
        {"block count over the limit", [](std::string& f) { put_le32(f, VDI_OFF_BLOCKS, 0x40000000); },
         "too many blocks"},
        {"map past the end of the file", [](std::string& f) { put_le32(f, VDI_OFF_BLOCKS, 100000); },
         "ends past the end of the file"},
        {"map offset near 2^32", [](std::string& f) { put_le32(f, VDI_OFF_MAP, 0xfffffff0); },
         "ends past the end of the file"},
        {"map inside the header", [](std::string& f) { put_le32(f, VDI_OFF_MAP, 0); }, "inside the header"},
        {"data inside the header", [](std::string& f) { put_le32(f, VDI_OFF_DATA, 64); }, "inside the header"},
        {"extra bytes per block", [](std::string& f) { put_le32(f, VDI_OFF_BLOCK_EXTRA, 512); }, "extra data"},
        {"differencing image", [](std::string& f) { put_le32(f, VDI_OFF_IMAGE_TYPE, VDI_TYPE_DIFF); },
         "differencing"},
        {"parent image named", [](std::string& f) { f[VDI_OFF_UUID_LINK + 3] = 9; }, "differencing"},
        {"parent modification named", [](std::string& f) { f[VDI_OFF_UUID_PARENT] = 1; }, "differencing"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string f = build(base_layout());
        r.damage(f);
        log_capture cap;
        vdi_ptr v(save(f));
        EXPECT_FALSE(v);
        EXPECT_EQ(v.err.code, VERR_INVALID_FILE_HEAD);
        EXPECT_NE(std::string(verr_msg(&v.err)).find(r.message), std::string::npos) << verr_msg(&v.err);
        EXPECT_EQ(cap.count(LOG2_ERR), 1u) << cap.all();
    }
}

TEST_F(VdiHostile, MissingFileGivesTheSystemError) {
    log_capture cap;
    vdi_ptr v(dir.file("absent.vdi"));
    EXPECT_FALSE(v);
    EXPECT_EQ(v.err.code, os_verr_get(ENOENT));
    EXPECT_TRUE(cap.contains("Error opening file.")) << cap.all();
}

TEST_F(VdiHostile, MapEntriesOutsideTheImageFailTheirBlockOnly) {
    for (uint32_t entry : {4u, 0x7fffffffu, 0xfffffffdu}) {
        SCOPED_TRACE(entry);
        layout l = base_layout();
        l.map[2] = entry;
        vdi_ptr v(save(build(l)));
        ASSERT_TRUE(v) << verr_msg(&v.err);
        int64_t rc = 0;
        read_at(v.get(), 2 * k_bs - 10, 20, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(v.err.code, VERR_INVALID_FILE_HEAD) << verr_msg(&v.err);
        std::string a = read_at(v.get(), 0, 2 * k_bs, &rc);
        ASSERT_EQ(rc, 2 * k_bs);
        EXPECT_TRUE(same_bytes(a, base_disk().substr(0, 2 * k_bs)));
    }
}

TEST_F(VdiHostile, CutBlockDataReadsAsZerosWithOneWarning) {
    std::string f = build(base_layout());
    f.resize(f.size() - k_bs / 2);  // half of block 0's data is gone
    vdi_ptr v(save(f));
    ASSERT_TRUE(v) << verr_msg(&v.err);
    std::string want = base_disk();
    memset(&want[k_bs / 2], 0, k_bs / 2);
    log_capture cap;
    EXPECT_TRUE(same_bytes(read_whole(v.get(), 1000), want));
    EXPECT_TRUE(same_bytes(read_whole(v.get(), 4096), want));
    EXPECT_EQ(cap.count(LOG2_WARN), 1u) << cap.all();
}

TEST_F(VdiHostile, MapCutAfterOpenFailsTheRead) {
    // The map of 3000 blocks spans three pages; the file is cut inside the
    // third once the image is open.
    layout l{3000ull * 512, 512, std::vector<uint32_t>(3000, VDI_BLOCK_FREE), {}};
    l.map[0] = 0;
    l.stored.push_back(block_of(512, 'Z'));
    std::string path = save(build(l));
    vdi_ptr v(path);
    ASSERT_TRUE(v) << verr_msg(&v.err);
    int64_t rc = 0;
    EXPECT_EQ(read_at(v.get(), 0, 512, &rc), block_of(512, 'Z'));
    ASSERT_EQ(truncate(path.c_str(), map_offset() + 2100 * 4), 0);
    read_at(v.get(), 2999LL * 512, 512, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(v.err.code, VERR_INVALID_FILE_HEAD);
    EXPECT_EQ(v.get()->page_bitmap[0] & 4, 0) << "a page read short is not taken";
}

// A map that names slots no block was stored in, or one slot for two blocks,
// is refused by a writable open: the next new block takes the slot at the
// allocated count, and a write would land on another block's data. Read-only
// opens keep reading such a map block by block.
TEST_F(VdiHostile, DamagedImageFiles) {
    const uint32_t rw = OS_PF_RDWR;
    struct row {
        const char* what;
        layout l;
        const char* message;  // nullptr: a sound image
    };
    const layout sound = base_layout();
    layout none_allocated{4 * k_bs, k_bs, {VDI_BLOCK_FREE, 0, VDI_BLOCK_FREE, VDI_BLOCK_FREE}, {}};
    layout past_count = sound;
    past_count.map[1] = 2;
    layout shared = sound;
    shared.map[1] = 0;  // block 2 is stored in slot 0 too
    layout last_shared = sound;
    last_shared.map[3] = 1;  // block 0's slot
    const row rows[] = {
        {"slot of a map with nothing allocated", none_allocated, "block 1 names slot 0, not below the 0 allocated"},
        {"slot at the allocated count", past_count, "block 1 names slot 2, not below the 2 allocated"},
        {"two blocks in one slot", shared, "block 2 names slot 0, which another block holds"},
        {"the last block in the first one's slot", last_shared, "block 3 names slot 1, which another block holds"},
        {"free and discarded entries beside stored blocks", sound, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string bytes = build(r.l);
        std::string path = save(bytes);
        {
            log_capture cap;
            vdi_ptr v(path, rw);
            if (r.message) {
                EXPECT_FALSE(v);
                EXPECT_EQ(v.err.code, VERR_INVALID_FILE_HEAD);
                EXPECT_NE(std::string(verr_msg(&v.err)).find(r.message), std::string::npos) << verr_msg(&v.err);
                EXPECT_EQ(cap.count(LOG2_ERR), 1u) << cap.all();
            } else {
                ASSERT_TRUE(v) << verr_msg(&v.err);
                // Across blocks 1 and 2: block 1 gets a slot of its own.
                ASSERT_EQ(vdi_seek(v.get(), 2 * k_bs - 100, 0), 2 * k_bs - 100);
                ASSERT_EQ(vdi_write(v.get(), std::string(200, 'W').data(), 200), 200);
            }
        }
        if (r.message) {
            EXPECT_TRUE(read_file(path) == bytes) << "a refused image was changed";
            vdi_ptr v(path);
            EXPECT_TRUE(v) << "read-only opens take the map block by block: " << verr_msg(&v.err);
            continue;
        }
        std::string want = base_disk();
        want.replace(2 * k_bs - 100, 200, std::string(200, 'W'));
        vdi_ptr v(path);
        ASSERT_TRUE(v) << verr_msg(&v.err);
        EXPECT_TRUE(same_bytes(read_whole(v.get(), 4096), want));
        // Written again through a writable open, the image still opens.
        vdi_ptr again(path, rw);
        EXPECT_TRUE(again) << verr_msg(&again.err);
    }
}

}  // namespace
