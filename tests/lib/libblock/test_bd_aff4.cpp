// The "aff4" driver with a stand-in AFF4 library: reads, errors carried from
// errno, a missing library, and where the built kxdd looks for the library.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "bd_test_util.h"
#include "img_test_util.h"
#include "libblock/bd_aff4.h"
#include "liblog/log2.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

using namespace img_test;

constexpr uint32_t k_read = OS_PF_RDONLY | BD_OFLAG_IMAGE;

// An image of the stand-in library: magic, stream length, the offset from
// which reads fail, the stream.
std::string stub_image(const std::string& stream, uint64_t fail_at = UINT64_MAX) {
    std::string f = "AFF4STUB";
    uint64_t n = stream.size();
    f.append(reinterpret_cast<const char*>(&n), 8);
    f.append(reinterpret_cast<const char*>(&fail_at), 8);
    return f + stream;
}

class BdAff4 : public ::testing::Test {
protected:
    void SetUp() override {
        bd_init2();
        bdrv_aff4_set_library(KXDD_AFF4_STUB);
        data = disk_data(2 * 1024 * 1024 + 1000, 11);
        img = dir.file("x.AFF4");
        write_file(img, stub_image(data));
    }
    void TearDown() override { bdrv_aff4_set_library(nullptr); }
    bd_dev* open(const std::string& name, uint32_t oflag = k_read) {
        err = verr_info{};
        return bd_open2s(name.c_str(), oflag, 0, &err);
    }
    temp_dir dir;
    std::string data;
    std::string img;
    verr_info err{};
};

TEST_F(BdAff4, ReadsTheDataStream) {
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bdrv_aff4_state(), 1);
    EXPECT_EQ(bd_drv_type(dev.get()), BD_DRV_AFF4);
    EXPECT_STREQ(bd_drv_name(dev.get()), "aff4");
    bd_dev_info info = dev_info(dev.get());
    EXPECT_STREQ(info.bd_type, "aff4");
    EXPECT_EQ(info.size, data.size());
    EXPECT_EQ(bd_size(dev.get()), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(same_bytes(read_all(dev.get(), 65536 + 3), data));

    const int64_t size = static_cast<int64_t>(data.size());
    struct row {
        int64_t off;
        int64_t len;
        int64_t want;
    };
    const row rows[] = {{0, 10, 10}, {size - 100, 4096, 100}, {size, 4096, 0}, {size + 1, 1, 0}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.off);
        std::string buf(static_cast<size_t>(r.len), '\0');
        ASSERT_EQ(bd_pread(dev.get(), buf.data(), r.len, r.off), r.want) << bd_errmsg(dev.get());
        if (r.want > 0) {
            EXPECT_EQ(buf.substr(0, static_cast<size_t>(r.want)),
                      data.substr(static_cast<size_t>(r.off), static_cast<size_t>(r.want)));
        }
    }
    ASSERT_EQ(bd_seek(dev.get(), 12345), 0);
    char buf[100];
    ASSERT_EQ(bd_read(dev.get(), buf, sizeof buf), 100);
    EXPECT_EQ(std::string(buf, sizeof buf), data.substr(12345, 100));
    EXPECT_EQ(bd_offset(dev.get()), 12445);
}

TEST_F(BdAff4, WritesAndOtherCodesAreRefused) {
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    // No write slot: the block layer's own answer.
    EXPECT_EQ(bd_pwrite(dev.get(), "x", 1, 0), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_IMPLEMENTED);
    for (int32_t code : {BLOCK_SYNC, BLOCK_TRUNCATE}) {
        int64_t arg = 0;
        EXPECT_EQ(bd_ioctl(dev.get(), code, &arg, sizeof arg), -1);
        EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    }
    EXPECT_EQ(open(img, OS_PF_RDWR | BD_OFLAG_IMAGE), nullptr);
    EXPECT_STREQ(verr_msg(&err), "Only read-only operations are supported");
}

TEST_F(BdAff4, LibraryErrorsCarryErrno) {
    std::string bad = dir.file("bad.aff4");
    write_file(bad, std::string(64, 'x'));
    struct row {
        std::string path;
        int err;
    };
    const row rows[] = {{dir.file("absent.aff4"), ENOENT}, {bad, EINVAL}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(open(r.path), nullptr);
        EXPECT_EQ(err.code, os_verr_get(r.err));
        EXPECT_STREQ(verr_msg(&err), os_errno_str(r.err));
    }
    // A library that fails without saying why still fails the open.
    std::string silent = dir.file("silent.aff4");
    write_file(silent, "AFF4NOER");
    EXPECT_EQ(open(silent), nullptr);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_STREQ(verr_msg(&err), "AFF4_open failed");
    // A stream that fails from 1 MiB on: reads before it work, reads into it fail.
    std::string failing = dir.file("eio.aff4");
    write_file(failing, stub_image(data, 1 << 20));
    dev_ptr dev(open(failing));
    ASSERT_TRUE(dev) << verr_msg(&err);
    std::string buf(8192, '\0');
    EXPECT_EQ(bd_pread(dev.get(), buf.data(), 4096, (1 << 20) - 4096), 4096);
    EXPECT_EQ(bd_pread(dev.get(), buf.data(), 8192, (1 << 20) - 4096), -1);
    EXPECT_EQ(bd_errno(dev.get()), os_verr_get(EIO));
}

TEST_F(BdAff4, MissingLibraryIsTriedOnce) {
    bdrv_aff4_set_library("/nonexistent/libaff4.dll");
    log_capture cap;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(open(img), nullptr);
        EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
        EXPECT_STREQ(verr_msg(&err), "libaff4 init failed\n");
    }
    EXPECT_EQ(bdrv_aff4_state(), 2);
    size_t tries = 0, errors = 0;
    for (const auto& l : cap.lines()) {
        if (l.text.find("os_dlopen2 /nonexistent/libaff4.dll error: ") != std::string::npos) {
            ++tries;
            EXPECT_EQ(l.level, static_cast<uint32_t>(LOG2_DBG));
        }
        if (l.text.find("AFF4 library not loaded: tried /nonexistent/libaff4.dll") != std::string::npos) {
            ++errors;
            EXPECT_EQ(l.level, static_cast<uint32_t>(LOG2_ERR));
        }
    }
    EXPECT_EQ(tries, 1u) << cap.all();
    EXPECT_EQ(errors, 1u) << cap.all();
}

TEST_F(BdAff4, WritableOpenIsRefusedBeforeTheLibraryLoads) {
    bdrv_aff4_set_library("/nonexistent/libaff4.dll");
    EXPECT_EQ(open(img, OS_PF_WRONLY | BD_OFLAG_IMAGE), nullptr);
    EXPECT_STREQ(verr_msg(&err), "Only read-only operations are supported");
    EXPECT_EQ(bdrv_aff4_state(), 0);
}

// kxdd in a folder of its own (a hard link where the file system allows,
// else a copy), so that what lies beside it is what the test puts there.
std::string kxdd_copy(const std::string& dir) {
    std::filesystem::create_directories(dir);
    std::string exe = dir + "/kxdd";
    std::error_code ec;
    std::filesystem::create_hard_link(kxdd_bin(), exe, ec);
    if (ec) std::filesystem::copy_file(kxdd_bin(), exe);
    return exe;
}

// The library names in their order, each beside the executable before the
// search path; the first file that loads is the one used, and one without
// the entry points fails the open rather than being passed over.
TEST_F(BdAff4, KxddFindsTheLibraryBesideItselfThenOnTheSearchPath) {
    const std::string stub = KXDD_AFF4_STUB;
    const std::string broken = KXDD_YAL_PARTIAL;  // a library without the AFF4 entry points
    struct placed {
        std::string file;
        bool beside;  // else in the search-path folder
        bool works;
    };
    struct row {
        const char* what;
        std::vector<placed> files;
        const char* loaded;  // the file name the log says was loaded; nullptr: the open fails
    };
    const row rows[] = {
        {"beside", {{"libaff4.so", true, true}}, "bin/libaff4.so"},
        {"versioned name on the path", {{"libaff4.so.0", false, true}}, "libaff4.so.0"},
        {"Windows name on the path", {{"libaff4.dll", false, true}}, "libaff4.dll"},
        {"beside before the path", {{"libaff4.so", true, true}, {"libaff4.so", false, false}}, "bin/libaff4.so"},
        {"name order before place", {{"libaff4.so.0", true, false}, {"libaff4.so", false, true}}, "libaff4.so"},
        {"first found is used", {{"libaff4.so", true, false}, {"libaff4.so.0", true, true}}, nullptr},
        {"none", {}, nullptr},
    };
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string base = dir.file("case" + std::to_string(n++));
        std::string exe = kxdd_copy(base + "/bin");
        std::filesystem::create_directories(base + "/lib");
        for (const placed& p : r.files)
            std::filesystem::copy_file(p.works ? stub : broken, base + (p.beside ? "/bin/" : "/lib/") + p.file);
        std::string out = base + "/out.raw";
        proc_result res = run_proc({exe, "if=" + img, "of=" + out, "bs=64k", "level=dbg"}, {},
                                   {"LD_LIBRARY_PATH=" + base + "/lib"});
        std::string err_text = strip_ansi(res.err);
        if (r.loaded) {
            ASSERT_EQ(res.status, 0) << err_text;
            EXPECT_TRUE(same_bytes(read_file(out), data));
            std::string want = std::string("loaded ") + (r.loaded[0] == 'b' ? base + "/" + r.loaded : r.loaded);
            EXPECT_NE(err_text.find(want), std::string::npos) << want << "\n" << err_text;
        } else {
            EXPECT_NE(res.status, 0);
            EXPECT_NE(err_text.find("libaff4 init failed"), std::string::npos) << err_text;
        }
    }
    // When none loads, the error names what was tried and where.
    proc_result res = run_proc({dir.file("case6/bin/kxdd"), "if=" + img, "of=" + dir.file("x.raw")}, {},
                               {"LD_LIBRARY_PATH=" + dir.file("case6/lib")});
    EXPECT_NE(strip_ansi(res.err).find("AFF4 library not loaded: tried libaff4.so, libaff4.so.0 and libaff4.dll in " +
                                       dir.file("case6/bin")),
              std::string::npos)
        << res.err;
}

}  // namespace
