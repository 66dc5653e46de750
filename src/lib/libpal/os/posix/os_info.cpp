#include "libpal/os/posix/os_info.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "libpal/os/os_path_buf.h"
#include "libpal/os/posix/os_fs_type.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

void os_release_version(const char* path, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    FILE* f = path ? fopen(path, "re") : nullptr;
    if (!f) return;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        std::string_view v(line);
        if (v.substr(0, 11) != "VERSION_ID=") continue;
        v.remove_prefix(11);
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.remove_suffix(1);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        size_t n = v.size() < size - 1 ? v.size() : size - 1;
        memcpy(out, v.data(), n);
        out[n] = 0;
        break;
    }
    fclose(f);
}

int os_get_info(char* text, size_t size) {
    if (!text || size == 0) return -1;
    text[0] = 0;
    char version[128];
    os_release_version("/etc/os-release", version, sizeof version);
    if (!version[0]) os_release_version("/usr/lib/os-release", version, sizeof version);
    struct utsname u;
    if (uname(&u) != 0) {
        LOG2(LOG2_DBG | LOG2_ERRNO, "pal", "uname error: ");
        return -1;
    }
    // A text that does not fit is cut.
    snprintf(text, size, "%s %s %s %s %s %s", u.sysname, u.nodename, u.release, u.version, u.machine, version);
    return 0;
}

int os_fs_info(const char* path, os_fsinfo* info) {
    if (!info) return -1;
    os_path_buf p(path);
    if (!p.ok()) return -1;
    struct statfs st;
    if (statfs(p.c_str(), &st) != 0) return -1;
    *info = {};
    auto bs = static_cast<uint64_t>(st.f_bsize);
    info->flags = 0x8e;
    info->max = 255;
    info->avail_bytes = static_cast<uint64_t>(st.f_bavail) * bs;
    info->free_bytes = static_cast<uint64_t>(st.f_bfree) * bs;
    info->total_bytes = static_cast<uint64_t>(st.f_blocks) * bs;
    str_safecopy_trunc(info->type_name, sizeof info->type_name, os_fs_type(static_cast<uint32_t>(st.f_type)));
    return 0;
}

int os_statvfs(const char* path, os_statvfs_t* out) {
    if (!out) return -1;
    os_path_buf p(path);
    if (!p.ok()) return -1;
    struct statvfs st;
    int r = statvfs(p.c_str(), &st);
    if (r != 0) return r < 0 ? r : -r;
    out->f_bsize = st.f_bsize;
    out->f_frsize = st.f_frsize;
    out->f_blocks = st.f_blocks;
    out->f_bfree = st.f_bfree;
    out->f_bavail = st.f_bavail;
    out->f_files = st.f_files;
    out->f_ffree = st.f_ffree;
    out->f_favail = st.f_favail;
    out->f_fsid = st.f_fsid;
    out->f_flag = st.f_flag;
    out->f_namemax = st.f_namemax;
    return 0;
}
