// File-system type names and space, against the stat command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "libpal/os/posix/os_devname.h"
#include "libpal/os/posix/os_fs_type.h"
#include "libpal/os/posix/os_info.h"
#include "support/log_capture.h"
#include "support/proc.h"

namespace {

TEST(FsType, Names) {
    struct row {
        uint32_t magic;
        const char* name;
    };
    const row rows[] = {
        {0xEF53, "EXT4"},          {0x9fa0, "PROC"},      {0x01021994, "TMPFS"},  {0x62656572, "SYSFS"},
        {0x794c7630, "OVERLAYFS"}, {0x9123683e, "BTRFS"}, {0x73727279, "BTRFS"},  {0x28cd3d45, "CRAMFS"},
        {0x453dcd28, "CRAMFS"},    {0x5346414f, "AFS"},   {0x6b414653, "AFS"},    {0x137f, "MINIX"},
        {0x138f, "MINIX"},         {0x2478, "MINIX2"},    {0x65735546, "VMHGFS-FUSE"}, {0xadff, "AFFS"},
    };
    log_capture cap;
    for (const auto& r : rows) EXPECT_STREQ(os_fs_type(r.magic), r.name) << std::hex << r.magic;
    EXPECT_EQ(cap.count(), 0u);
    EXPECT_STREQ(os_fs_type(0), "UNKOWN");
    EXPECT_STREQ(os_fs_type(0x58465342), "UNKOWN");
    ASSERT_EQ(cap.count(), 2u);
    EXPECT_EQ(cap.lines()[0].text, "unkown fs_type=0x0\n");
    EXPECT_EQ(cap.lines()[1].text, "unkown fs_type=0x58465342\n");
    EXPECT_EQ(cap.lines()[0].level, 8u);
}

TEST(FsInfo, AgreesWithStat) {
    for (const char* path : {"/", "/proc", "/dev/shm", "/sys"}) {
        SCOPED_TRACE(path);
        proc_result r = run_proc({"stat", "-f", "-c", "%t %S %b %f %a", path});
        if (r.status != 0) continue;
        std::istringstream in(r.out);
        std::string type_hex;
        uint64_t bsize = 0, blocks = 0, bfree = 0, bavail = 0;
        in >> type_hex >> bsize >> blocks >> bfree >> bavail;
        log_capture cap;
        os_fsinfo info{};
        ASSERT_EQ(os_fs_info(path, &info), 0);
        EXPECT_EQ(info.flags, 0x8eu);
        EXPECT_EQ(info.max, 255u);
        EXPECT_STREQ(info.type_name, os_fs_type(static_cast<uint32_t>(strtoul(type_hex.c_str(), nullptr, 16))));
        EXPECT_EQ(info.total_bytes, blocks * bsize);
        os_statvfs_t v{};
        ASSERT_EQ(os_statvfs(path, &v), 0);
        EXPECT_EQ(v.f_frsize, bsize);
        EXPECT_EQ(v.f_blocks, blocks);
    }
    os_fsinfo proc{};
    ASSERT_EQ(os_fs_info("/proc", &proc), 0);
    EXPECT_STREQ(proc.type_name, "PROC");
    os_fsinfo none{};
    EXPECT_EQ(os_fs_info("/nonexistent/dir", &none), -1);
    os_statvfs_t v{};
    EXPECT_LT(os_statvfs("/nonexistent/dir", &v), 0);
}

TEST(DevMntInfo, MountPointAndTypeFromTheMountTable) {
    // The first mount of a device node in the table.
    std::ifstream mounts("/proc/self/mounts");
    std::string dev, dir, type, rest;
    bool found = false;
    while (mounts >> dev >> dir >> type && std::getline(mounts, rest)) {
        if (dev.rfind("/dev/", 0) == 0) {
            found = true;
            break;
        }
    }
    if (found) {
        char text[256] = "";
        EXPECT_EQ(os_dev_mnt_info(dev.c_str(), "mnt_type", text, sizeof text), 0);
        EXPECT_EQ(std::string(text), type);
        proc_result r = run_proc({"findmnt", "-n", "-o", "TARGET", "--first-only", "--source", dev});
        if (r.status == 0) {
            EXPECT_EQ(os_dev_mnt_info(dev.c_str(), "mnt_dir", text, sizeof text), 0);
            EXPECT_EQ(std::string(text) + "\n", r.out);
        }
    }
    struct row {
        const char* dev;
        const char* field;
    };
    const row untouched[] = {{"/dev/kxdd-none", "mnt_dir"}, {"/dev/kxdd-none", "mnt_type"}, {"/", "mnt_opts"}};
    for (const auto& r : untouched) {
        char text[16] = "keep";
        EXPECT_EQ(os_dev_mnt_info(r.dev, r.field, text, sizeof text), 0);
        EXPECT_STREQ(text, "keep") << r.dev << " " << r.field;
    }
}

}  // namespace
