// Block devices (loop devices over image files) and device descriptions.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fi_reader_run.h"
#include "file_fixture.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/posix/os_devname.h"

namespace {

std::string real_path(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

TEST(FileLoop, BlockDeviceGeometryAndTransfers) {
    for (unsigned sector : {512u, 4096u}) {
        SCOPED_TRACE("sector size " + std::to_string(sector));
        temp_dir dir;
        std::string image = dir.file("disk.img");
        write_file(image, block_pattern(2048));  // 1 MiB
        loop_device loop(image, sector == 512 ? 0 : sector);
        SKIP_WITHOUT_LOOP(loop);

        file_ptr f = open_file(loop.dev, OS_PF_RDWR);
        ASSERT_TRUE(f) << loop.dev << " errno " << errno;
        EXPECT_STREQ(kind_of(f), "file");
        ASSERT_EQ(os_file_seek(f.get(), 4096, SEEK_SET), 4096);
        os_file_info info{};
        ASSERT_EQ(os_file_ioctl(f.get(), OS_FILE_GET_INFO, &info, sizeof info), 1);
        EXPECT_EQ(info.type, OS_FILE_TYPE_BLOCK);
        EXPECT_EQ(info.size, 1048576u);
        EXPECT_EQ(info.sector_size, sector);
        EXPECT_EQ(info.offset, 4096u);
        EXPECT_EQ(std::string(info.description), "loop: " + real_path(image));
        EXPECT_EQ(os_file_size(f.get()), 1048576);
        EXPECT_EQ(os_file_offset(f.get()), 4096);

        // Three sectors written at sector 2 come back, and reach the image.
        std::string sectors = byte_pattern(3 * sector);
        EXPECT_EQ(os_file_pwrit(f.get(), sectors.data(), sectors.size(), 2 * sector),
                  static_cast<int64_t>(sectors.size()));
        EXPECT_EQ(os_file_fsync(f.get()), 1);
        std::string back(sectors.size(), '\0');
        EXPECT_EQ(os_file_pread(f.get(), back.data(), back.size(), 2 * sector), static_cast<int64_t>(back.size()));
        EXPECT_TRUE(back == sectors);
        std::string after = read_file(image);
        EXPECT_TRUE(after.substr(2 * sector, 3 * sector) == sectors);
        EXPECT_TRUE(after.substr(0, 2 * sector) == block_pattern(2048).substr(0, 2 * sector));

        // The end of the device is the end of data.
        std::vector<char> buf(2 * sector);
        EXPECT_EQ(os_file_pread(f.get(), buf.data(), buf.size(), 1048576 - sector), static_cast<int64_t>(sector));

        os_file_info by_path{};
        EXPECT_EQ(os_file_get_info(loop.dev.c_str(), &by_path), 1);
        EXPECT_EQ(by_path.size, 1048576u);
        EXPECT_EQ(by_path.sector_size, sector);
    }
}

TEST(FileLoop, SectorErrorsBecomeDeviceErrors) {
    temp_dir dir;
    std::string image = dir.file("disk.img");
    write_file(image, block_pattern(2048));
    loop_device loop(image);
    SKIP_WITHOUT_LOOP(loop);

    struct row {
        const char* injected;
        bool gone;
        int err;
        int verr;
        unsigned cls;
    };
    const row rows[] = {
        {"ENODATA", false, EIO, VERR_DEV_IO_ERROR, 1},
        {"EREMOTEIO", false, EIO, VERR_DEV_IO_ERROR, 1},
        {"EILSEQ", false, EIO, VERR_DEV_IO_ERROR, 1},
        {"EIO", false, EIO, VERR_DEV_IO_ERROR, 1},
        // The device no longer reports a size: it is gone, not damaged.
        {"EIO", true, ENXIO, -258, 2},
        {"ENODATA", true, ENXIO, -258, 2},
    };
    for (const row& r : rows) {
        fi_options o;
        o.path = loop.dev;
        o.err = r.injected;
        o.ranges = {{1024, 1536}};
        o.gone = r.gone;
        auto res = fi_run_reader(loop.dev, {"pread:0:512", "pread:512:1024"}, o);
        std::string what = std::string(r.injected) + (r.gone ? " gone" : "");
        EXPECT_EQ(res[0].ret, 512) << what;
        EXPECT_EQ(res[1].ret, -1) << what;
        EXPECT_EQ(res[1].err, r.err) << what;
        EXPECT_EQ(res[1].verr, r.verr) << what;
        EXPECT_EQ(res[1].cls, r.cls) << what;
    }
}

TEST(DeviceName, Descriptions) {
    char text[128];
    for (const char* mem : {"/dev/mem", "/dev/pmem", "/dev/ram"}) {
        EXPECT_EQ(os_dev_get_name(-1, text, sizeof text, mem), 0);
        EXPECT_STREQ(text, "PhysicalMemory") << mem;
    }
    char small[5];
    os_dev_get_name(-1, small, sizeof small, "/dev/pmem");
    EXPECT_STREQ(small, "Phys");

    // Not a block device, or no such path: an empty text, and no program
    // is ever run with the path.
    temp_dir dir;
    std::string marker = dir.file("marker");
    for (std::string path : {dir.path, std::string("/dev/null"), dir.file("x;touch " + marker),
                             dir.file("$(touch " + marker + ")")}) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(os_dev_get_name(-1, text, sizeof text, path.c_str()), 0);
        EXPECT_STREQ(text, "") << path;
        os_file_info info{};
        os_file_get_info(path.c_str(), &info);
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST(DeviceName, LoopDescriptionByDescriptorOrPath) {
    temp_dir dir;
    std::string image = dir.file("backing.img");
    write_file(image, std::string(65536, '\0'));
    loop_device loop(image);
    SKIP_WITHOUT_LOOP(loop);
    char text[128];
    ASSERT_EQ(os_dev_get_name(-1, text, sizeof text, loop.dev.c_str()), 0);
    EXPECT_EQ(std::string(text), "loop: " + real_path(image));
    int fd = open(loop.dev.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(os_dev_get_name(fd, text, 12, "unused"), 0);
    EXPECT_EQ(std::string(text), ("loop: " + real_path(image)).substr(0, 11));
    close(fd);
}

}  // namespace
