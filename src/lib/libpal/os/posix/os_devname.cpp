#include "libpal/os/posix/os_devname.h"

#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Contents of a small sysfs attribute without surrounding white space;
// empty when it cannot be read.
std::string read_attr(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[512];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return {};
    std::string_view v(buf, static_cast<size_t>(n));
    const char* blanks = " \t\r\n";
    size_t b = v.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    size_t e = v.find_last_not_of(blanks);
    return std::string(v.substr(b, e - b + 1));
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string describe_block(dev_t rdev) {
    char base[64];
    std::snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(rdev), minor(rdev));
    std::string disk = base;
    // A partition's own directory has a "partition" attribute; its parent
    // directory is the disk.
    if (exists(disk + "/partition")) disk += "/..";

    std::string backing = read_attr(disk + "/loop/backing_file");
    if (!backing.empty()) return "loop: " + backing;

    std::string vendor = read_attr(disk + "/device/vendor");
    std::string model = read_attr(disk + "/device/model");
    if (vendor.empty()) return model;
    if (model.empty()) return vendor;
    return vendor + " " + model;
}

}  // namespace

int os_dev_get_name(int fd, char* text, size_t size, const char* path) {
    if (!text || size == 0) return 0;
    text[0] = '\0';
    std::string desc;
    std::string_view p = path ? std::string_view(path) : std::string_view();
    if (p == "/dev/mem" || p == "/dev/pmem" || p == "/dev/ram") {
        desc = "PhysicalMemory";
    } else {
        struct stat st;
        bool have = fd >= 0 ? fstat(fd, &st) == 0 : (path && stat(path, &st) == 0);
        if (have && S_ISBLK(st.st_mode)) desc = describe_block(st.st_rdev);
    }
    size_t n = desc.size() < size - 1 ? desc.size() : size - 1;
    std::memcpy(text, desc.data(), n);
    text[n] = '\0';
    return 0;
}

int os_dev_mnt_info(const char* path, const char* field, char* text, size_t size) {
    if (!path || !field || !text || size == 0) return 0;
    std::string_view f(field);
    bool want_dir = f == "mnt_dir";
    if (!want_dir && f != "mnt_type") return 0;
    struct stat dev;
    bool have_dev = stat(path, &dev) == 0 && S_ISBLK(dev.st_mode);
    FILE* mt = setmntent("/proc/self/mounts", "re");
    if (!mt) return 0;
    std::string found;
    struct mntent ent;
    char buf[4096];
    while (getmntent_r(mt, &ent, buf, sizeof buf)) {
        const char* value = want_dir ? ent.mnt_dir : ent.mnt_type;
        if (strcmp(ent.mnt_fsname, path) == 0) {
            found = value;
            break;
        }
        struct stat st;
        if (have_dev && found.empty() && ent.mnt_fsname[0] == '/' && stat(ent.mnt_fsname, &st) == 0 &&
            S_ISBLK(st.st_mode) && st.st_rdev == dev.st_rdev) {
            found = value;
        }
    }
    endmntent(mt);
    if (found.empty()) return 0;
    size_t n = found.size() < size - 1 ? found.size() : size - 1;
    std::memcpy(text, found.data(), n);
    text[n] = '\0';
    return 0;
}
