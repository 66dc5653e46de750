// The "smif" driver: every image kind its libraries read, through the block
// layer and the built kxdd; missing and broken libraries; damaged images.
#include <functional>

#include "bd_test_util.h"
#include "img_test_util.h"
#include "libblock/bd_smif.h"
#include "liblog/log2.h"
#include "libpal/os/os_fileutil.h"
#include "support/log_capture.h"

namespace {

using namespace img_test;

constexpr size_t k_size = 3 * 1024 * 1024 + 4096;
constexpr uint32_t k_read = OS_PF_RDONLY | BD_OFLAG_IMAGE;

// Loads the usual libraries again when a test that replaced them ends.
struct usual_libraries {
    usual_libraries() = default;
    ~usual_libraries() { bdrv_smif_reload(nullptr); }
    usual_libraries(const usual_libraries&) = delete;
    usual_libraries& operator=(const usual_libraries&) = delete;
};

bool all_libraries_loaded() {
    for (const char* name : {"x.vmdk", "x.vhd", "x.E01", "x.001", "x.qcow2"})
        if (!smif_module_find(name)) return false;
    return true;
}

class BdSmif : public ::testing::Test {
protected:
    void SetUp() override {
        bd_init2();
        IMG_REQUIRE(bdrv_smif_state() == 1 && all_libraries_loaded(), "one of the image libraries");
        IMG_NEED_TOOL("qemu-img");
        data = disk_data(k_size);
        raw = dir.file("src.raw");
        write_file(raw, data);
    }
    bd_dev* open(const std::string& name, uint32_t oflag = k_read) {
        err = verr_info{};
        return bd_open2s(name.c_str(), oflag, 0, &err);
    }
    ::testing::AssertionResult qemu(const std::string& format, const std::string& options, const std::string& out) {
        std::vector<std::string> argv{"qemu-img", "convert", "-f", "raw", "-O", format};
        if (!options.empty()) {
            argv.push_back("-o");
            argv.push_back(options);
        }
        argv.push_back(raw);
        argv.push_back(out);
        return run_ok(argv);
    }
    std::string make_vhd() {
        std::string img = dir.file("x.vhd");
        EXPECT_TRUE(qemu("vpc", "subformat=dynamic,force_size=on", img));
        return img;
    }
    temp_dir dir;
    std::string data;
    std::string raw;
    verr_info err{};
};

TEST_F(BdSmif, EveryKindReadsAsItsData) {
    IMG_NEED_TOOL("ewfacquire");
    IMG_NEED_TOOL("split");
    struct row {
        const char* what;
        const char* file;  // the name the image is opened by
        const char* bd_type;
        std::function<::testing::AssertionResult(const std::string& out)> make;
    };
    auto ewf = [this](const char* format) {
        return [this, format](const std::string& out) {
            std::string target = out.substr(0, out.rfind('.'));
            return run_ok({"ewfacquire", "-q", "-u", "-t", target, "-f", format, "-c", "fast", "-S", "1048576", raw});
        };
    };
    auto split = [this](const char* first) {
        return [this, first](const std::string& out) {
            std::string prefix = out.substr(0, out.rfind('.') + 1);
            return run_ok({"split", "-b", "1M", std::string("--numeric-suffixes=") + first, "-a", "3", raw, prefix});
        };
    };
    auto qemu_as = [this](const char* format, const char* options) {
        return [this, format, options](const std::string& out) { return qemu(format, options, out); };
    };
    const row rows[] = {
        {"sparse vmdk", "sparse.vmdk", "vmdk", qemu_as("vmdk", "subformat=monolithicSparse")},
        {"stream vmdk", "stream.VMDK", "vmdk", qemu_as("vmdk", "subformat=streamOptimized")},
        // Extent files beside the descriptor, found from the test's own working directory.
        {"split sparse vmdk", "two.vmdk", "vmdk", qemu_as("vmdk", "subformat=twoGbMaxExtentSparse")},
        {"flat vmdk", "flat.vmdk", "vmdk", qemu_as("vmdk", "subformat=monolithicFlat")},
        {"dynamic vhd", "dyn.vhd", "vhdi", qemu_as("vpc", "subformat=dynamic,force_size=on")},
        {"fixed vhd", "fixed.vhd", "vhdi", qemu_as("vpc", "subformat=fixed,force_size=on")},
        {"vhdx", "x.vhdx", "vhdi", qemu_as("vhdx", "")},
        {"qcow2 0.10", "old.qcow2", "qcow", qemu_as("qcow2", "compat=0.10")},
        {"qcow2 1.1", "new.QCOW3", "qcow", qemu_as("qcow2", "compat=1.1")},
        {"EWF set", "ev.E01", "ewf", ewf("encase6")},
        {"SMART set", "sm.s01", "ewf", ewf("smart")},
        {"split raw from .000", "sp.000", "smraw", split("0")},
        {"split raw from .001", "sq.001", "smraw", split("1")},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string img = dir.file(r.file);
        ASSERT_TRUE(r.make(img));
        {
            dev_ptr dev(open(img));
            ASSERT_TRUE(dev) << verr_msg(&err);
            EXPECT_EQ(bd_drv_type(dev.get()), BD_DRV_SMIF);
            bd_dev_info info = dev_info(dev.get());
            EXPECT_STREQ(info.bd_type, r.bd_type);
            EXPECT_EQ(info.size, k_size);
            EXPECT_EQ(info.sector_size, 512u);
            EXPECT_TRUE(same_bytes(read_all(dev.get(), 300000), data));
            // Reads stop at the media's end.
            char buf[4096];
            EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, static_cast<int64_t>(k_size) - 10), 10);
            EXPECT_EQ(std::string(buf, 10), data.substr(k_size - 10));
            EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, static_cast<int64_t>(k_size)), 0);
        }
        std::string out = dir.file("out.raw");
        proc_result p = run_kxdd({"if=" + img, "of=" + out, "bs=1M"});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_TRUE(same_bytes(read_file(out), data));
    }
}

TEST_F(BdSmif, PositionFollowsSeeksAndReads) {
    std::string img = make_vhd();
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    ASSERT_EQ(bd_seek(dev.get(), 777), 0);
    EXPECT_EQ(bd_offset(dev.get()), 777);
    char buf[1000];
    ASSERT_EQ(bd_read(dev.get(), buf, sizeof buf), 1000);
    EXPECT_EQ(std::string(buf, sizeof buf), data.substr(777, 1000));
    EXPECT_EQ(bd_offset(dev.get()), 1777);
    ASSERT_EQ(bd_pread(dev.get(), buf, 100, 5000), 100);
    EXPECT_EQ(std::string(buf, 100), data.substr(5000, 100));
    bd_vol vol{};
    ASSERT_EQ(bd_get_vol(dev.get(), &vol), 0);
    EXPECT_EQ(vol.vol_size, k_size);
    EXPECT_EQ(bd_get_pack_type(dev.get()), 0);
}

TEST_F(BdSmif, WritesAndWritableOpensAreRefused) {
    std::string img = make_vhd();
    std::string before = read_file(img);
    EXPECT_EQ(open(img, OS_PF_RDWR | BD_OFLAG_IMAGE), nullptr);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_STREQ(verr_msg(&err), "Only read-only operations are supported");
    dev_ptr dev(open(img));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(bd_pwrite(dev.get(), "x", 1, 0), -1);
    EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    for (int32_t code : {BLOCK_SYNC, BLOCK_TRUNCATE, BLOCK_FINISH}) {
        SCOPED_TRACE(code);
        int64_t arg = 0;
        EXPECT_EQ(bd_ioctl(dev.get(), code, &arg, sizeof arg), -1);
        EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
    }
    EXPECT_EQ(read_file(img), before);
}

TEST_F(BdSmif, DamagedImagesGiveTheLibrarysMessage) {
    std::string qcow = dir.file("cut.qcow2");
    ASSERT_TRUE(qemu("qcow2", "", qcow));
    std::string q = read_file(qcow);
    write_file(qcow, q.substr(0, 300));
    std::string vmdk = dir.file("text.vmdk");
    write_file(vmdk, std::string(4096, 'v'));
    std::string vhd = dir.file("zero.vhd");
    write_file(vhd, std::string(65536, '\0'));
    for (const std::string& img : {qcow, vmdk, vhd}) {
        SCOPED_TRACE(img);
        log_capture cap;
        EXPECT_EQ(open(img), nullptr);
        EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
        std::string msg = verr_msg(&err);
        EXPECT_FALSE(msg.empty());
        EXPECT_EQ(msg.find("_handle_"), std::string::npos) << "the library's function name is cut off: " << msg;
        EXPECT_EQ(msg.find("_file_"), std::string::npos) << msg;
        EXPECT_NE(msg.front(), ' ');
    }
}

// The EWF library hands out the data of a chunk whose checksum fails as if
// it had been read: the driver makes such ranges media errors, so no damaged
// byte reaches the copy as good data.
TEST_F(BdSmif, DamagedEwfChunkIsAMediaError) {
    IMG_NEED_TOOL("ewfacquire");
    std::string target = dir.file("ev");
    ASSERT_TRUE(run_ok({"ewfacquire", "-q", "-u", "-t", target, "-f", "encase6", "-c", "fast", "-S", "1048576", raw}));
    std::string e01 = read_file(target + ".E01");
    ASSERT_GT(e01.size(), 300100u);
    memset(&e01[300000], 0xff, 100);
    write_file(target + ".E01", e01);
    dev_ptr dev(open(target + ".E01"));
    ASSERT_TRUE(dev) << verr_msg(&err);
    size_t good = 0;
    size_t damaged = 0;
    std::string buf(65536, '\0');
    for (size_t off = 0; off < k_size; off += buf.size()) {
        SCOPED_TRACE(off);
        int64_t want = static_cast<int64_t>(std::min(buf.size(), k_size - off));
        int64_t n = bd_pread(dev.get(), buf.data(), want, static_cast<int64_t>(off));
        if (n < 0) {
            EXPECT_EQ(bd_errno(dev.get()), VERR_DEV_IO_CRC) << bd_errmsg(dev.get());
            ++damaged;
            continue;
        }
        ASSERT_EQ(n, want);
        EXPECT_EQ(buf.substr(0, static_cast<size_t>(n)), data.substr(off, static_cast<size_t>(n)));
        ++good;
    }
    EXPECT_GE(damaged, 1u);
    EXPECT_GT(good, 40u);
    // A second read of the damaged range is refused again.
    std::string all(k_size, '\0');
    EXPECT_EQ(bd_pread(dev.get(), all.data(), static_cast<int64_t>(k_size), 0), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_DEV_IO_CRC);
}

TEST_F(BdSmif, MissingLibraryRemovesOnlyItsKinds) {
    IMG_NEED_TOOL("ewfacquire");
    std::string e01 = dir.file("ev.E01");
    ASSERT_TRUE(run_ok({"ewfacquire", "-q", "-u", "-t", dir.file("ev"), "-f", "encase6", "-c", "fast", raw}));
    std::string vmdk = dir.file("x.vmdk");
    ASSERT_TRUE(qemu("vmdk", "", vmdk));
    usual_libraries restore;
    const char* files[SMIF_MODULES] = {nullptr, nullptr, "libewf-not-installed.so", nullptr, nullptr};
    EXPECT_EQ(bdrv_smif_reload(files), 0);
    EXPECT_EQ(bdrv_smif_state(), 1);
    // The name still belongs to the driver; its open finds no library.
    EXPECT_STREQ(bd_url_drv_name(e01.c_str()), "smif");
    EXPECT_EQ(open(e01), nullptr);
    EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
    EXPECT_STREQ(verr_msg(&err), "libyal drv init failed\n");
    dev_ptr dev(open(vmdk));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_TRUE(same_bytes(read_all(dev.get(), 1 << 20), data));
}

TEST_F(BdSmif, LibraryWithoutItsVersionFailsTheWholeDriver) {
    std::string vhd = make_vhd();
    usual_libraries restore;
    log_capture cap;
    const char* files[SMIF_MODULES] = {KXDD_AFF4_STUB, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(bdrv_smif_reload(files), -1);
    EXPECT_EQ(bdrv_smif_state(), 2);
    EXPECT_TRUE(cap.contains("libvmdk error: Is not a valid module")) << cap.all();
    EXPECT_EQ(smif_module_find("x.vhd"), nullptr) << "the libraries after it are not loaded";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(open(vhd), nullptr);
        EXPECT_STREQ(verr_msg(&err), "libyal init failed\n");
    }
}

TEST_F(BdSmif, LibraryLackingAFunctionTheDriverCallsIsLeftOut) {
    std::string vhd = make_vhd();
    std::string vmdk = dir.file("x.vmdk");
    ASSERT_TRUE(qemu("vmdk", "", vmdk));
    usual_libraries restore;
    log_capture cap;
    const char* files[SMIF_MODULES] = {KXDD_YAL_PARTIAL, nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(bdrv_smif_reload(files), 0);
    EXPECT_EQ(bdrv_smif_state(), 1);
    EXPECT_TRUE(cap.contains("libvmdk error: no function libvmdk_handle_initialize")) << cap.all();
    EXPECT_EQ(open(vmdk), nullptr);
    EXPECT_STREQ(verr_msg(&err), "libyal drv init failed\n");
    dev_ptr dev(open(vhd));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_TRUE(same_bytes(read_all(dev.get(), 1 << 20), data));
}

TEST(SmifModules, LastLoadedModuleIsAskedFirst) {
    bd_init2();
    usual_libraries restore;
    smif_module a{};
    a.id = 90;
    a.name = "a";
    a.patterns = "*.img;*.a";
    smif_module b{};
    b.id = 91;
    b.name = "b";
    b.patterns = "*.IMG";
    smif_module_clear();
    smif_module_add(&a);
    smif_module_add(&b);
    EXPECT_EQ(smif_module_find("/d.x/disk.img"), &b);
    EXPECT_EQ(smif_module_find("/d.x/disk.A"), &a);
    EXPECT_EQ(smif_module_find("/d.img/disk"), nullptr);
    char exts[256];
    EXPECT_STREQ(smif_module_exts(exts, sizeof exts), ";*.IMG;*.img;*.a");
    // A full table takes no more.
    for (size_t i = 2; i < SMIF_MAX_SLOTS; ++i) smif_module_add(&a);
    smif_module c{};
    c.id = 92;
    c.name = "c";
    c.patterns = "*.c";
    smif_module_add(&c);
    EXPECT_EQ(smif_module_find("x.c"), nullptr);
}

}  // namespace
