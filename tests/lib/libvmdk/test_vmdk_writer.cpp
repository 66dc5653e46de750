// The VMDK writer through its own interface: layout, tail writes, resume and
// the refusal of images and resume data it cannot trust.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"
#include "libvmdk/libvmdk.h"
#include "support/log_capture.h"
#include "support/proc.h"
#include "vmdk_test_util.h"

namespace {

constexpr uint32_t k_new = OS_PF_RDWR | OS_PF_CREATE | OS_PF_TRUNC;
constexpr uint32_t k_resume = OS_PF_RDWR | OS_PF_CREATE | OS_PF_APPEND;

std::string url_of(const std::string& path, int64_t fsize, int level = -2) {
    std::string u = path + "?fsize=" + std::to_string(fsize);
    if (level != -2) u += "&pack_level=" + std::to_string(level);
    return u;
}

class VmdkWriter : public testing::Test {
protected:
    vmdk_ctx* open(int64_t fsize, uint32_t oflag = k_new, int level = -2) {
        err = verr_info{};
        return vmdk_open(url_of(img, fsize, level).c_str(), oflag, &err);
    }
    // Writes data from off in pieces of the given size; false on a short write.
    bool write_all(vmdk_ctx* h, const std::string& data, int64_t off, size_t piece) {
        for (size_t at = 0; at < data.size(); at += piece) {
            size_t n = std::min(piece, data.size() - at);
            if (vmdk_pwrite(h, data.data() + at, static_cast<int64_t>(n), off + static_cast<int64_t>(at)) !=
                static_cast<int64_t>(n))
                return false;
        }
        return true;
    }
    std::string file() const { return read_file(img); }
    temp_dir dir;
    std::string img = dir.file("out.vmdk");
    verr_info err{};
};

TEST(VmdkGeometry, CountsOfACapacity) {
    struct row {
        uint64_t capacity;
        uint64_t grains, tables, dir_sectors;
        uint32_t last_bytes;
    };
    const row rows[] = {
        {2048, 16, 1, 1, 0},
        {2, 1, 1, 1, 1024},
        {513 * 128, 513, 2, 1, 0},
        {512ull * 128 * 128, 65536, 128, 1, 0},
        {512ull * 128 * 128 + 1, 65537, 129, 2, 512},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.capacity);
        vmdk_geometry g{};
        ASSERT_EQ(vmdk_calc_geometry(r.capacity, 128, 512, &g), 0);
        EXPECT_EQ(g.grains, r.grains);
        EXPECT_EQ(g.tables, r.tables);
        EXPECT_EQ(g.dir_sectors, r.dir_sectors);
        EXPECT_EQ(g.table_sectors, 4u);
        EXPECT_EQ(g.last_grain_bytes, r.last_bytes);
    }
    EXPECT_EQ(vmdk_cylinders(16065), 1u);
    EXPECT_EQ(vmdk_cylinders(16066), 2u);
    EXPECT_EQ(vmdk_cylinders(1052819775), 65535u);
    EXPECT_EQ(vmdk_cylinders(1052819776), 65535u);
    EXPECT_EQ(vmdk_cylinders(1ull << 40), 65535u);
}

TEST_F(VmdkWriter, FullCopyOfOneMebibyte) {
    std::string data = pattern_data(1 << 20, 1, 0);
    vmdk_ctx* h = open(1 << 20);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    EXPECT_EQ(h->geo.grains, 16u);
    EXPECT_EQ(h->overhead, 26u);
    EXPECT_EQ(vmdk_size(h), 0);
    EXPECT_EQ(vmdk_size_type(h), 2u);
    ASSERT_TRUE(write_all(h, data, 0, 3000));  // pieces that straddle grains
    EXPECT_EQ(vmdk_size(h), 1 << 20);
    ASSERT_EQ(vmdk_close(h), 0);

    std::string f = file();
    vmdk_head hd = parse_head(f);
    EXPECT_EQ(hd.magic, "KDMV");
    EXPECT_EQ(hd.version, 3u);
    EXPECT_EQ(hd.flags, 0x30001u);
    EXPECT_EQ(hd.capacity, 2048u);
    EXPECT_EQ(hd.grain, 128u);
    EXPECT_EQ(hd.desc_off, 1u);
    EXPECT_EQ(hd.desc_size, 20u);
    EXPECT_EQ(hd.gtes, 512u);
    EXPECT_EQ(hd.rgd, 0u);
    EXPECT_EQ(hd.gd, 21u);
    EXPECT_EQ(hd.overhead, 26u);
    EXPECT_EQ(hd.nl, std::string("\n \r\n"));
    EXPECT_EQ(hd.alg, 1u);
    EXPECT_EQ(hd.done, 0u);
    EXPECT_EQ(hd.next_free, 0u);
    EXPECT_EQ(hd.level, 0u);
    EXPECT_EQ(f.substr(92, 420), std::string(420, 0));
    EXPECT_EQ(get_le(f, 21 * 512, 4), 22u);  // the one table follows the directory
    size_t markers = 0;
    EXPECT_EQ(read_back(f, &markers), data);
    EXPECT_EQ(markers, 16u);
    // The end-of-stream marker is the file's last sector.
    EXPECT_EQ(f.size() % 512, 0u);
    EXPECT_EQ(f.substr(f.size() - 512), std::string(512, 0));
    std::string desc = f.substr(512, 20 * 512);
    desc = desc.substr(0, desc.find('\0'));
    EXPECT_EQ(desc.rfind("# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=", 0), 0u);
    for (const char* part : {"\nparentCID=ffffffff\ncreateType=\"streamOptimized\"\n",
                             "\nRW 2048 SPARSE \"out.vmdk\"\n", "ddb.geometry.cylinders = \"1\"\n",
                             "ddb.adapterType = \"lsilogic\"\n", "ddb.toolsVersion = \"2147483647\""})
        EXPECT_NE(desc.find(part), std::string::npos) << part;
    // The long content id ends with the CID.
    std::string cid = desc.substr(desc.find("CID=") + 4, 8);
    EXPECT_NE(desc.find(cid + "\"\nddb.virtualHWVersion"), std::string::npos);
}

// Grains and metadata are written from unaligned buffers: a direct open of
// the output is opened buffered.
TEST_F(VmdkWriter, DirectOpenIsWrittenBuffered) {
    std::string data = pattern_data(65536 + 1000, 9, 0);
    vmdk_ctx* h = open(static_cast<int64_t>(data.size()), k_new | OS_PF_DIRECT);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    ASSERT_TRUE(write_all(h, data, 0, 777));
    ASSERT_EQ(vmdk_close(h), 0) << verr_msg(&err);
    EXPECT_EQ(read_back(file()), data + std::string(24, 0));
}

TEST_F(VmdkWriter, ZeroGrainsCostNoSpace) {
    vmdk_ctx* h = open(1 << 20);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(write_all(h, std::string(1 << 20, 0), 0, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    std::string f = file();
    EXPECT_EQ(f.size(), 27u * 512);  // header, descriptor, directory, table, end marker
    EXPECT_EQ(f.substr(22 * 512, 4 * 512), std::string(4 * 512, 0));
    size_t markers = 1;
    EXPECT_EQ(read_back(f, &markers), std::string(1 << 20, 0));
    EXPECT_EQ(markers, 0u);
}

TEST_F(VmdkWriter, SizeThatIsNoWholeSector) {
    std::string data = pattern_data(1000, 2, 0);
    vmdk_ctx* h = open(1000);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->capacity, 2u);
    EXPECT_EQ(h->geo.last_grain_bytes, 1024u);
    ASSERT_EQ(vmdk_pwrite(h, data.data(), 1000, 0), 1000);
    ASSERT_EQ(vmdk_close(h), 0);
    EXPECT_EQ(read_back(file()), data + std::string(24, 0));

    // An unfinished image of such a size cannot be continued: its size is
    // not capacity x 512.
    h = open(1000);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(vmdk_pwrite(h, data.data(), 500, 0), 500);
    ASSERT_EQ(vmdk_close(h), 0);
    log_capture cap(LOG2_ERR);
    EXPECT_EQ(open(1000, k_resume), nullptr);
    EXPECT_TRUE(cap.contains("n_fize=1000 != o_fize=2\n")) << cap.all();
}

TEST_F(VmdkWriter, OnlyTailWrites) {
    std::string data = pattern_data(4 * 65536, 3, 0);
    vmdk_ctx* h = open(4 * 65536);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(vmdk_pwrite(h, data.data(), 100, 0), 100);
    {
        log_capture cap(LOG2_ERR);
        EXPECT_EQ(vmdk_pwrite(h, data.data() + 50, 10, 50), -1);
        EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
        EXPECT_STREQ(verr_msg(&err), "Only supports tail write data");
        EXPECT_TRUE(cap.contains("pos=50 < w_offset=100\n"));
    }
    // A gap inside the grain, then one across grains: both read as zeros.
    ASSERT_EQ(vmdk_pwrite(h, data.data() + 300, 200, 300), 200);
    ASSERT_EQ(vmdk_pwrite(h, data.data() + 2 * 65536 + 7, 1000, 2 * 65536 + 7), 1000);
    // Past the end nothing is taken; across the end the write is cut.
    {
        log_capture cap(LOG2_ERR);
        EXPECT_EQ(vmdk_pwrite(h, data.data(), 10, 4 * 65536 + 1), 0);
        EXPECT_TRUE(cap.contains("pos=262145 > fsize=262144\n"));
    }
    EXPECT_EQ(vmdk_pwrite(h, data.data() + 4 * 65536 - 10, 10, 4 * 65536 - 10), 10);
    char more[20] = {};
    EXPECT_EQ(vmdk_pwrite(h, more, 20, 4 * 65536), 0);
    EXPECT_EQ(vmdk_pread(h, more, 20, 0), 0);
    EXPECT_EQ(vmdk_sync(h), 0);
    ASSERT_EQ(vmdk_close(h), 0);

    std::string want(4 * 65536, 0);
    want.replace(0, 100, data.substr(0, 100));
    want.replace(300, 200, data.substr(300, 200));
    want.replace(2 * 65536 + 7, 1000, data.substr(2 * 65536 + 7, 1000));
    want.replace(4 * 65536 - 10, 10, data.substr(4 * 65536 - 10, 10));
    size_t markers = 0;
    EXPECT_EQ(read_back(file(), &markers), want);
    EXPECT_EQ(markers, 3u);
}

TEST_F(VmdkWriter, ResumeAfterOneAndAHalfGrains) {
    const int64_t size = 5 * 65536 + 4096;
    std::string data = pattern_data(static_cast<size_t>(size), 4, 3);
    vmdk_ctx* h = open(size, k_new, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(write_all(h, data.substr(0, 98304), 0, 8192));
    ASSERT_EQ(vmdk_close(h), 0);
    vmdk_head hd = parse_head(file());
    EXPECT_EQ(hd.magic, "kdmv");
    EXPECT_EQ(hd.done, 65536u);
    EXPECT_EQ(hd.level, 0u);
    EXPECT_GT(hd.next_free, hd.overhead);
    EXPECT_EQ(file().size(), hd.next_free * 512ull);  // the half grain was never written

    // Continue with another level: the stored one wins.
    log_capture cap(LOG2_WARN);
    h = open(size, k_resume, 6);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    EXPECT_TRUE(cap.contains("zflag=6 !=old_zflag=0\n"));
    EXPECT_EQ(vmdk_size(h), 65536);
    EXPECT_EQ(vmdk_size_type(h), 2u);
    EXPECT_EQ(vmdk_pwrite(h, data.data(), 10, 0), -1);  // before the resume point
    // A second interruption, inside the last grain.
    ASSERT_TRUE(write_all(h, data.substr(65536, 4 * 65536), 65536, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    EXPECT_EQ(parse_head(file()).done, 5u * 65536);

    h = open(size, k_resume);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    ASSERT_TRUE(write_all(h, data.substr(5 * 65536), 5 * 65536, 1000));
    ASSERT_EQ(vmdk_close(h), 0);
    std::string f = file();
    hd = parse_head(f);
    EXPECT_EQ(hd.magic, "KDMV");
    EXPECT_EQ(hd.done, 0u);
    EXPECT_EQ(hd.next_free, 0u);
    EXPECT_EQ(read_back(f), data);
}

TEST_F(VmdkWriter, PackLevelsMakeZlibStreams) {
    std::string data(65536, 'a');
    for (size_t i = 0; i < data.size(); i += 7) data[i] = 'b';
    for (int level : {0, 6}) {
        SCOPED_TRACE(level);
        vmdk_ctx* h = open(65536, k_new, level);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(vmdk_pwrite(h, data.data(), 65536, 0), 65536);
        ASSERT_EQ(vmdk_close(h), 0);
        std::string f = file();
        size_t at = 26 * 512;
        uint32_t clen = static_cast<uint32_t>(get_le(f, at + 8, 4));
        EXPECT_EQ(static_cast<uint8_t>(f[at + 12]), 0x78);  // a zlib header
        if (level == 0) {
            EXPECT_GT(clen, 65536u);  // stored
        } else {
            EXPECT_LT(clen, 4096u);
        }
        EXPECT_EQ(read_back(f), data);
    }
    err = verr_info{};
    EXPECT_EQ(vmdk_open(url_of(img, 65536, 10).c_str(), k_new, &err), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
}

TEST_F(VmdkWriter, BadRequestsAreRefused) {
    struct row {
        std::string url;
        int32_t code;
        const char* msg;
    };
    const row rows[] = {
        {img, VERR_INVALID_PARAMETER, "Need to specify file length"},
        {img + "?fsize=0", VERR_INVALID_PARAMETER, "Need to specify file length"},
        {img + "?fsize=-4096", VERR_INVALID_PARAMETER, "Need to specify file length"},
        // Tables for this size cannot be numbered in 32-bit sectors.
        {img + "?fsize=4611686018427387904", VERR_FILE_TOO_BIG, nullptr},
        // A quote or a line break would break the descriptor's extent line.
        {dir.file("a\"b.vmdk") + "?fsize=1024", VERR_INVALID_NAME, nullptr},
        {dir.file("a\nb.vmdk") + "?fsize=1024", VERR_INVALID_NAME, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url);
        err = verr_info{};
        EXPECT_EQ(vmdk_open(r.url.c_str(), k_new, &err), nullptr);
        EXPECT_EQ(err.code, r.code) << verr_msg(&err);
        if (r.msg) {
            EXPECT_STREQ(verr_msg(&err), r.msg);
        }
    }
    EXPECT_NE(access(dir.file("a\"b.vmdk").c_str(), F_OK), 0);  // refused before anything was created
    // A file too short for a header.
    write_file(img, std::string(100, 'x'));
    EXPECT_EQ(open(65536, k_resume), nullptr);
    EXPECT_EQ(err.code, VERR_INVALID_FILE_HEAD);
}

TEST_F(VmdkWriter, CompleteImageIsNeverDamaged) {
    std::string data = pattern_data(3 * 65536, 5, 0);
    vmdk_ctx* h = open(3 * 65536);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(write_all(h, data, 0, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    std::string done = file();
    // Also an image of flags this writer does not make (no compressed grains).
    std::string plain = done;
    put_le(plain, 8, 4, 0x1);
    for (const std::string& image : {done, plain}) {
        write_file(img, image);
        h = open(3 * 65536, k_resume);
        ASSERT_NE(h, nullptr) << verr_msg(&err);
        EXPECT_EQ(vmdk_size(h), 3 * 65536);
        EXPECT_EQ(vmdk_size_type(h), 5u);
        EXPECT_EQ(vmdk_pwrite(h, data.data(), 65536, 0), -1);
        EXPECT_STREQ(verr_msg(&err), "Only supports tail write data");
        EXPECT_EQ(vmdk_pwrite(h, data.data(), 512, 3 * 65536), 0);
        ASSERT_EQ(vmdk_close(h), 0);
        EXPECT_EQ(file(), image);
    }
}

// Resume data that does not describe what the file holds is refused; the
// file stays as it was.
TEST_F(VmdkWriter, UntrustedResumeDataIsRefused) {
    const int64_t size = 4 * 65536;
    std::string data = pattern_data(static_cast<size_t>(size), 6, 0);
    vmdk_ctx* h = open(size);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(write_all(h, data.substr(0, 2 * 65536 + 100), 0, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    const std::string good = file();
    vmdk_head hd = parse_head(good);
    ASSERT_EQ(hd.done, 2u * 65536);
    const size_t table = 22 * 512;
    const uint32_t g1 = static_cast<uint32_t>(get_le(good, table + 4, 4));

    struct row {
        const char* what;
        std::function<void(std::string&)> spoil;
    };
    const row rows[] = {
        {"magic", [](std::string& f) { f.replace(0, 4, "xdmv"); }},
        {"version 4", [](std::string& f) { put_le(f, 4, 4, 4); }},
        {"unknown flags", [](std::string& f) { put_le(f, 8, 4, 0x70001); }},
        {"markers without compression", [](std::string& f) { put_le(f, 8, 4, 0x20001); }},
        {"no compressed grains", [](std::string& f) { put_le(f, 8, 4, 0x1); }},
        {"new-line characters", [](std::string& f) { f[75] = '\n'; }},
        {"algorithm", [](std::string& f) { put_le(f, 77, 2, 2); }},
        {"grain size 256", [](std::string& f) { put_le(f, 20, 8, 256); }},
        {"grain size 0", [](std::string& f) { put_le(f, 20, 8, 0); }},
        {"entries a table 100", [](std::string& f) { put_le(f, 44, 4, 100); }},
        {"directory offset", [](std::string& f) { put_le(f, 56, 8, 30); }},
        {"overhead", [](std::string& f) { put_le(f, 64, 8, 27); }},
        {"bytes done not whole grains", [](std::string& f) { put_le(f, 79, 8, 1000); }},
        {"bytes done at the end", [](std::string& f) { put_le(f, 79, 8, 4 * 65536); }},
        {"next free inside the tables", [](std::string& f) { put_le(f, 87, 4, 23); }},
        {"next free past the file", [hd](std::string& f) { put_le(f, 87, 4, hd.next_free + 1); }},
        {"pack level", [](std::string& f) { f[91] = 12; }},
        {"directory entry", [](std::string& f) { put_le(f, 21 * 512, 4, 40); }},
        {"grain inside the tables", [](std::string& f) { put_le(f, 22 * 512 + 4, 4, 23); }},
        {"grain past next free", [hd](std::string& f) { put_le(f, 22 * 512, 4, hd.next_free); }},
        {"grains out of order", [g1](std::string& f) { put_le(f, 22 * 512, 4, g1); }},
        {"grain behind the resume point below next free", [g1](std::string& f) { put_le(f, 22 * 512 + 12, 4, g1); }},
        {"capacity overflow", [](std::string& f) { put_le(f, 12, 8, 1ull << 62); }},
        {"file cut in the tables", [](std::string& f) { f.resize(22 * 512 + 100); }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::string bad = good;
        r.spoil(bad);
        write_file(img, bad);
        EXPECT_EQ(open(size, k_resume), nullptr);
        // A stored size that is not the one asked for is the caller's error.
        EXPECT_EQ(err.code, strcmp(r.what, "capacity overflow") ? VERR_INVALID_FILE_HEAD : VERR_INVALID_PARAMETER)
            << verr_msg(&err);
        EXPECT_EQ(file(), bad);
    }

    // Entries of grains from the resume point on that lie past the next free
    // sector come from a close that did not finish: they are dropped.
    std::string stale = good;
    put_le(stale, table + 3 * 4, 4, hd.next_free + 10);
    write_file(img, stale);
    h = open(size, k_resume);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    ASSERT_TRUE(write_all(h, data.substr(2 * 65536), 2 * 65536, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    EXPECT_EQ(read_back(file()), data);
}

TEST_F(VmdkWriter, SectorNumbersThatWouldWrapAreRefused) {
    std::string data = pattern_data(3 * 65536, 7, 0);
    vmdk_ctx* h = open(3 * 65536);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(write_all(h, data.substr(0, 65536), 0, 65536));
    h->next_free = UINT32_MAX - 10;  // as after 2 TiB of grains
    EXPECT_EQ(vmdk_pwrite(h, data.data() + 65536, 65536, 65536), -1);
    EXPECT_EQ(err.code, VERR_DISK_FULL);
    EXPECT_NE(vmdk_close(h), 0);
}

// A disk that fills up: the writes fail, and the close still leaves an image
// that a later open continues.
TEST_F(VmdkWriter, FullDiskLeavesAResumableImage) {
    const int64_t size = 6 * 65536;
    std::string data = pattern_data(static_cast<size_t>(size), 8, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{150000, 150000};  // room for the tables and two stored grains
        setrlimit(RLIMIT_FSIZE, &lim);
        verr_info e{};
        vmdk_ctx* c = vmdk_open(url_of(img, size).c_str(), k_new, &e);
        if (!c) _exit(10);
        int64_t failed_at = -1;
        for (int64_t off = 0; off < size && failed_at < 0; off += 65536)
            if (vmdk_pwrite(c, data.data() + off, 65536, off) != 65536) failed_at = off;
        if (failed_at < 0) _exit(11);
        if (e.code != VERR_FILE_TOO_BIG) _exit(12);
        _exit(vmdk_close(c) == -1 ? 0 : 13);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    ASSERT_EQ(WEXITSTATUS(st), 0);
    vmdk_head hd = parse_head(file());
    EXPECT_EQ(hd.magic, "kdmv");
    EXPECT_EQ(hd.done, 2u * 65536);

    vmdk_ctx* h = open(size, k_resume);
    ASSERT_NE(h, nullptr) << verr_msg(&err);
    EXPECT_EQ(vmdk_size(h), 2 * 65536);
    ASSERT_TRUE(write_all(h, data.substr(2 * 65536), 2 * 65536, 65536));
    ASSERT_EQ(vmdk_close(h), 0);
    EXPECT_EQ(read_back(file()), data);
}

}  // namespace
