// Disk plugins: the loader, the adapter over a plugin's entry points, and the
// probes of the built-in drivers that use the adapter.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "bd_test_util.h"
#include "libblock/bd.h"
#include "libblock/bd_plug.h"
#include "libblock/bd_vmdk2.h"
#include "libblock/plug_comm.h"
#include "libpal/os/os_fileutil.h"
#include "liblog/log2.h"
#include "support/log_capture.h"

namespace {

constexpr const char* k_full = KXDD_TPLUG_FULL;
constexpr const char* k_nosync = KXDD_TPLUG_NOSYNC;
constexpr const char* k_nofsize = KXDD_TPLUG_NOFSIZE;

struct drv_ptr {
    bd_drv* d;
    explicit drv_ptr(bd_drv* drv) : d(drv) {}
    ~drv_ptr() { libplugin_free(d); }
    drv_ptr(const drv_ptr&) = delete;
    drv_ptr& operator=(const drv_ptr&) = delete;
};

size_t count_lines(const log_capture& cap, const std::string& part) {
    size_t n = 0;
    for (auto& l : cap.lines()) n += l.text.find(part) != std::string::npos;
    return n;
}

TEST(BdPluginLoad, FullPluginMakesADriverRecord) {
    log_capture cap(LOG2_DBG);
    drv_ptr drv(libplugin_init(k_full));
    ASSERT_NE(drv.d, nullptr);
    EXPECT_EQ(drv.d->type, BD_DRV_PLUGIN);
    EXPECT_STREQ(drv.d->name, "tplug");
    EXPECT_STREQ(drv.d->support_exts, "Test Images(*.tpl)|*.tpl");
    EXPECT_EQ(drv.d->support_open, 3u);
    EXPECT_EQ(drv.d->bdrv_readz, nullptr);
    EXPECT_EQ(drv.d->bdrv_writez, nullptr);
    for (const char* line : {"plugin_name=[tplug]\n", "plugin_version=[1.0.0]\n", "exts=[Test Images(*.tpl)|*.tpl]\n",
                             "support_open=[3]\n"})
        EXPECT_EQ(count_lines(cap, line), 1u) << line;
    // The plugin logs through the host record it was given.
    EXPECT_TRUE(cap.contains("tplug init host_size=16"));
    EXPECT_EQ(bd_plug_host()->size, 16u);
}

TEST(BdPluginLoad, MissingEntryPointsAreRefused) {
    struct row {
        const char* path;
        const char* line;
    };
    const std::string missing_lib = "/nonexistent/libnothing.so";
    const row rows[] = {
        {k_nofsize, "os_dlsym kx_disk_plug_fsize failed\n"},
        {missing_lib.c_str(), "os_dlopen2 [/nonexistent/libnothing.so] error: "},
        // A library that is no plugin at all: the first entry point names the path.
        {"libz.so.1", "os_dlsym [libz.so.1] kx_disk_plug_name failed\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        log_capture cap(LOG2_DBG);
        EXPECT_EQ(libplugin_init(r.path), nullptr);
        EXPECT_TRUE(cap.contains(r.line)) << cap.all();
    }
}

TEST(BdPluginLoad, MissingSyncStillLoads) {
    log_capture cap(LOG2_DBG);
    drv_ptr drv(libplugin_init(k_nosync));
    ASSERT_NE(drv.d, nullptr);
    EXPECT_TRUE(cap.contains("os_dlsym kx_disk_plug_sync failed\n"));
    EXPECT_STREQ(drv.d->name, "tplug_nosync");
}

TEST(BdPluginLoad, UsePluginIsLoggedAtTheFirstAcceptedProbeOnly) {
    drv_ptr drv(libplugin_init(k_full));
    ASSERT_NE(drv.d, nullptr);
    log_capture cap(LOG2_DBG);
    EXPECT_NE(drv.d->bdrv_probe("/x/a.img", OS_PF_RDONLY, drv.d->priv), 0);
    EXPECT_EQ(count_lines(cap, "use plugin"), 0u);
    EXPECT_EQ(drv.d->bdrv_probe("/x/a.tpl", OS_PF_RDONLY, drv.d->priv), 0);
    EXPECT_EQ(drv.d->bdrv_probe("/x/b.tpl", OS_PF_RDWR, drv.d->priv), 0);
    EXPECT_EQ(count_lines(cap, std::string("use plugin [") + k_full + "] [tplug]\n"), 1u) << cap.all();
}

// Devices opened through plugins that the registry loaded from an ini file.
class BdPluginDev : public BdFixture {
protected:
    static void SetUpTestSuite() {
        bd_init2();
        // The registry keeps its plugins for the process: load them once.
        static bool loaded = false;
        if (loaded) return;
        loaded = true;
        temp_dir d;
        std::string ini = d.file("plugins.ini");
        write_file(ini, std::string("[bd_plugins_load]\n0=") + k_full + "\n1=" + k_nosync + "\n2=" + k_nofsize + "\n");
        log_capture cap(LOG2_DBG);
        load_rc = bd_load_conf_plugins(ini.c_str());
        load_log = cap.all();
    }
    std::string make_file(const std::string& name, size_t size) {
        std::string p = dir.file(name);
        write_file(p, sector_file_data(size / 512));
        return p;
    }
    static inline int load_rc = -99;
    static inline std::string load_log;
};

TEST_F(BdPluginDev, ListFromIniIsLoadedInOrder) {
    EXPECT_EQ(load_rc, 0);
    std::string want = std::string("bd_plug_list=[") + k_full + "|" + k_nosync + "|" + k_nofsize + "]\n";
    EXPECT_NE(load_log.find(want), std::string::npos) << load_log;
    // Three load attempts, one of them refused.
    EXPECT_NE(load_log.find("os_dlsym kx_disk_plug_fsize failed"), std::string::npos);
    char exts[8192];
    std::string e = bd_support_exts(exts, sizeof exts);
    EXPECT_NE(e.find(";*.tpl;*.tpn"), std::string::npos) << e;
    EXPECT_EQ(e.find("*.tpf"), std::string::npos) << e;
    EXPECT_NE(std::string(bd_rw_filter()).find("|Test Images(*.tpl)|*.tpl|Test Images(*.tpn)|*.tpn|All Files"), std::string::npos);

    log_capture cap(LOG2_DBG);
    EXPECT_EQ(bd_load_conf_plugins(dir.file("missing.ini").c_str()), -1);
    EXPECT_TRUE(cap.contains("load [" + dir.file("missing.ini") + "] failed\n"));
}

TEST_F(BdPluginDev, ReadAndWriteThroughAPlugin) {
    std::string p = make_file("disk.tpl", 64 * 512);
    dev_ptr dev(open(p, OS_PF_RDWR | BD_OFLAG_IMAGE));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_STREQ(bd_drv_name(dev.get()), "tplug");
    EXPECT_EQ(bd_drv_type(dev.get()), BD_DRV_PLUGIN);
    EXPECT_EQ(bd_size(dev.get()), 64 * 512);
    bd_dev_info info{};
    ASSERT_EQ(bd_info(dev.get(), &info), 0);
    EXPECT_STREQ(info.bd_type, "tplug");
    EXPECT_EQ(info.type, 2u);
    EXPECT_EQ(info.size_type, static_cast<uint32_t>(BLOCK_SIZE_EXTENSIBLE));

    char buf[512];
    ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 5 * 512), 512);
    EXPECT_EQ(sector_at(buf), 5u);
    EXPECT_EQ(bd_offset(dev.get()), 6 * 512);
    ASSERT_EQ(bd_read(dev.get(), buf, sizeof buf), 512);  // goes on at the current position
    EXPECT_EQ(sector_at(buf), 6u);

    std::string patch(1024, 'P');
    ASSERT_EQ(bd_pwrite(dev.get(), patch.data(), 1024, 10 * 512), 1024);
    ASSERT_EQ(bd_seek(dev.get(), 20 * 512), 0);
    ASSERT_EQ(bd_write(dev.get(), patch.data(), 512), 512);
    EXPECT_EQ(bd_sync(dev.get()), 0);
    ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 11 * 512), 512);
    EXPECT_EQ(std::string(buf, 512), std::string(512, 'P'));
    // Reads stop at the end of the device.
    EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, 64 * 512 - 100), 100);
    EXPECT_EQ(bd_pread(dev.get(), buf, sizeof buf, 64 * 512), 0);
    // Control codes a plugin device does not answer.
    EXPECT_EQ(bd_truncate(dev.get(), 512), -1);
    EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
    EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    EXPECT_EQ(bd_close(dev.d), 0);
    dev.d = nullptr;

    std::string want = sector_file_data(64);
    want.replace(10 * 512, 1024, patch);
    want.replace(20 * 512, 512, patch.substr(0, 512));
    EXPECT_EQ(read_file(p), want);
}

TEST_F(BdPluginDev, SectorOffsetAndSectorSizeComeThroughTheWindow) {
    std::string p = make_file("win.tpl", 64 * 512);
    dev_ptr dev(open(p + "?sector=4096&sector_off=2", OS_PF_RDONLY | BD_OFLAG_IMAGE));
    ASSERT_TRUE(dev) << verr_msg(&err);
    EXPECT_EQ(dev->sector_size, 4096);
    EXPECT_EQ(bd_size(dev.get()), 64 * 512 - 8192);
    char buf[512];
    ASSERT_EQ(bd_pread(dev.get(), buf, sizeof buf, 0), 512);
    EXPECT_EQ(sector_at(buf), 16u);
}

TEST_F(BdPluginDev, FixedSizeDevicesCutWritesAtTheirEnd) {
    constexpr int64_t mib = 1 << 20;
    struct row {
        const char* query;
        int64_t at;
        int64_t want;         // bytes the write reports
        int64_t file_size;    // the file afterwards
        bool logs_roffset;
    };
    const row rows[] = {
        {"?fixed=1", mib + 512, 0, mib, true},
        {"?fixed=1", mib - 512, 512, mib, false},
        {"?fixed=1", mib, 0, mib, false},
        {"", mib + 512, 1024, mib + 1536, false},
        {"", mib - 512, 1024, mib + 512, false},
    };
    std::string data(1024, 'W');
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.query) + " at " + std::to_string(r.at));
        std::string p = make_file("clamp.tpl", mib);
        log_capture cap(LOG2_DBG);
        dev_ptr dev(open(p + r.query, OS_PF_RDWR | BD_OFLAG_IMAGE));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_EQ(bd_pwrite(dev.get(), data.data(), 1024, r.at), r.want);
        EXPECT_EQ(cap.contains("roffset=" + std::to_string(r.at) + " > fsize=1048576\n"), r.logs_roffset);
        if (r.want == 0) {
            EXPECT_EQ(bd_errno(dev.get()), VERR_DISK_FULL);
        }
        if (r.query[0] == 0) {
            EXPECT_EQ(bd_size(dev.get()), r.file_size);  // an extensible device grows
        }
        bd_close(dev.d);
        dev.d = nullptr;
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, r.file_size);
    }
}

TEST_F(BdPluginDev, PluginFailuresFillTheErrorRecord) {
    std::string p = make_file("fail.tpl", 8 * 512);
    {
        dev_ptr dev(open(p + "?fail_write=" + std::to_string(ENOSPC) + "&fail_sync=" + std::to_string(EIO),
                         OS_PF_RDWR | BD_OFLAG_IMAGE));
        ASSERT_TRUE(dev) << verr_msg(&err);
        char buf[512] = {};
        EXPECT_EQ(bd_pwrite(dev.get(), buf, sizeof buf, 0), -1);
        EXPECT_EQ(bd_errno(dev.get()), os_verr_get(ENOSPC));
        EXPECT_STREQ(bd_errmsg(dev.get()), "Disk is full.");
        EXPECT_EQ(bd_sync(dev.get()), -1);
        EXPECT_EQ(bd_errno(dev.get()), os_verr_get(EIO));
    }
    {
        // No sync entry point: BLOCK_SYNC is not supported.
        std::string q = make_file("nosync.tpn", 8 * 512);
        dev_ptr dev(open(q, OS_PF_RDWR | BD_OFLAG_IMAGE));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_STREQ(bd_drv_name(dev.get()), "tplug_nosync");
        EXPECT_EQ(bd_sync(dev.get()), -1);
        EXPECT_EQ(bd_errno(dev.get()), VERR_NOT_SUPPORTED);
        EXPECT_STREQ(bd_errmsg(dev.get()), "Not supported.");
    }
    {
        // An error text the plugin did not terminate is cut at its buffer.
        EXPECT_FALSE(open(dir.file("openfail.tpl"), OS_PF_RDWR | BD_OFLAG_IMAGE));
        EXPECT_EQ(err.code, VERR_GENERAL_FAILURE);
        std::string msg = verr_msg(&err);
        EXPECT_GT(msg.size(), 1000u);
        EXPECT_LT(msg.size(), 4096u);
        EXPECT_EQ(msg.find_first_not_of('E'), std::string::npos);
    }
    {
        // The plugin that was refused leaves its names to the other drivers.
        std::string q = make_file("plain.tpf", 8 * 512);
        dev_ptr dev(open(q, OS_PF_RDONLY | BD_OFLAG_IMAGE));
        ASSERT_TRUE(dev) << verr_msg(&err);
        EXPECT_STREQ(bd_drv_name(dev.get()), "file");
    }
}

TEST(BdPluginProbe, BuiltInDriversOverThePluginRecord) {
    struct row {
        const char* url;
        uint32_t oflag;
        int vmdk2;
        int kxi;
    };
    const row rows[] = {
        {"/d/x.vmdk", OS_PF_RDWR, 0, -1},
        {"/d/X.VMDK", OS_PF_WRONLY | OS_PF_CREATE, 0, -1},
        {"/d/x.vmdk?fsize=100", OS_PF_RDWR, 0, -1},
        {"/d/x.vmdk", OS_PF_RDONLY, -1, -1},
        {"/d/x.vmdk.bak", OS_PF_RDWR, -1, -1},
        {"http://h/x.vmdk", OS_PF_RDWR, -1, -1},
        {"/d/img?wcache=", OS_PF_RDONLY, -1, 0},
        {"kxp://h/x?wcache=c.cache", OS_PF_RDWR, -1, 0},
        {"/d/a.KXI", OS_PF_RDONLY, -1, 0},
        {"http://h/a.kxi", OS_PF_RDONLY, -1, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.url);
        EXPECT_EQ(bdrv_vmdk2_probe(r.url, r.oflag, nullptr) == 0 ? 0 : -1, r.vmdk2);
        EXPECT_EQ(bdrv_kxi_probe(r.url, r.oflag, nullptr) == 0 ? 0 : -1, r.kxi);
    }
    bd_init2();
    EXPECT_EQ(bd_probe_driver("/d/x.vmdk", OS_PF_RDWR | BD_OFLAG_IMAGE), bd_vmdk2_drv());
    EXPECT_NE(bd_probe_driver("/d/x.vmdk", OS_PF_RDONLY | BD_OFLAG_IMAGE), bd_vmdk2_drv());
    EXPECT_EQ(bd_vmdk2_drv()->type, BD_DRV_VMDK2);
    EXPECT_STREQ(bd_vmdk2_drv()->name, "vmdk2");
}

}  // namespace
