// Directory listing with a name pattern, and directory creation.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libpal/env/pl_env.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_path_buf.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"

struct os_dir {
    DIR* stream;
    int fd;         // the directory itself; entries are looked up relative to it
    char* pattern;  // owned, or none
    os_dir_entry entry;
    char* path;     // owned, normalised
    int64_t pos;    // entries read so far
};

namespace {

// A new stream at the start of the directory open on fd.
DIR* open_stream(int fd) {
    int sfd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sfd < 0) return nullptr;
    DIR* s = fdopendir(sfd);
    if (!s) {
        int err = errno;
        close(sfd);
        errno = err;
    }
    return s;
}

void dir_free(os_dir* d) {
    int err = errno;
    if (d->stream) closedir(d->stream);
    if (d->fd >= 0) close(d->fd);
    pl_free(d->pattern);
    pl_free(d->path);
    pl_free(d);
    errno = err;
}

void fill_entry(os_dir* d, const dirent* de) {
    os_dir_entry& e = d->entry;
    memset(&e, 0, sizeof e);
    str_safecopy_trunc(e.name, sizeof e.name, de->d_name);
    struct stat lst;
    bool have = fstatat(d->fd, de->d_name, &lst, AT_SYMLINK_NOFOLLOW) == 0;
    bool is_dir = de->d_type == DT_DIR;
    bool is_link = de->d_type == DT_LNK;
    if (de->d_type == DT_UNKNOWN && have) {
        is_dir = S_ISDIR(lst.st_mode);
        is_link = S_ISLNK(lst.st_mode);
    }
    uint32_t type = is_dir ? OS_ATTR_DIR : OS_ATTR_OTHER;
    if (is_link) {
        ssize_t n = readlinkat(d->fd, de->d_name, e.link, sizeof e.link - 1);
        e.link[n > 0 ? n : 0] = 0;
        struct stat tst;
        bool to_dir = fstatat(d->fd, de->d_name, &tst, 0) == 0 && S_ISDIR(tst.st_mode);
        type = to_dir ? OS_ATTR_LINK_DIR : OS_ATTR_LINK;
    }
    if (have) os_stat_to_attr(&lst, &e.attr);
    e.attr.type = type;
}

}  // namespace

os_dir* os_dir_open_match(const char* path, const char* pattern) {
    os_path_buf p(path);
    if (!p.ok()) return nullptr;
    auto* d = static_cast<os_dir*>(pl_zalloc(sizeof(os_dir)));
    if (!d) {
        errno = ENOMEM;
        return nullptr;
    }
    d->fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d->fd < 0 || !(d->stream = open_stream(d->fd))) {
        dir_free(d);
        return nullptr;
    }
    d->path = pl_strdup(p.c_str());
    if (pattern) d->pattern = pl_strdup(pattern);
    if (!d->path || (pattern && !d->pattern)) {
        dir_free(d);
        errno = ENOMEM;
        return nullptr;
    }
    return d;
}

os_dir* os_dir_open(const char* path) { return os_dir_open_match(path, nullptr); }

const os_dir_entry* os_dir_read(os_dir* d) {
    if (!d) {
        errno = EINVAL;
        return nullptr;
    }
    for (;;) {
        const dirent* de = readdir(d->stream);
        if (!de) return nullptr;
        ++d->pos;
        if (d->pattern && !str_wildcard(de->d_name, d->pattern)) continue;
        fill_entry(d, de);
        return &d->entry;
    }
}

int os_dir_seek(os_dir* d, int64_t pos) {
    if (!d || pos < 0) {
        errno = EINVAL;
        return -1;
    }
    if (pos < d->pos) {
        DIR* s = open_stream(d->fd);
        if (!s) return -1;
        closedir(d->stream);
        d->stream = s;
        d->pos = 0;
    }
    while (d->pos < pos && readdir(d->stream)) ++d->pos;
    d->pos = pos;
    return 0;
}

int64_t os_dir_tell(const os_dir* d) { return d ? d->pos : -1; }

const char* os_dir_path(const os_dir* d) { return d ? d->path : nullptr; }

void os_dir_close(os_dir* d) {
    if (d) dir_free(d);
}

int os_mkdir(const char* path, mode_t mode) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    struct stat st;
    if (stat(p.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        errno = EACCES;
        return -1;
    }
    if (mkdir(p.c_str(), mode) == 0) return 0;
    // Someone else made it in between: the directory is there all the same.
    int err = errno;
    if (err == EEXIST && stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    errno = err;
    return -1;
}

int os_mkdir_default(const char* path) { return os_mkdir(path, 0755); }

// The path is normalised first, so a "file://" prefix or quotes never turn
// into directories of their own.
int os_mkdirs(const char* path) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    char* s = p.data();
    for (size_t i = 1; s[i]; ++i) {
        if (s[i] != '/' && s[i] != '\\') continue;
        s[i] = 0;
        struct stat st;
        if (stat(s, &st) != 0 && os_mkdir_default(s) != 0) return -1;
        s[i] = '/';
    }
    return os_mkdir_default(s);
}

int os_mkdirs_parent(const char* path) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    char* s = p.data();
    char* cut = strrchr(s, '/');
    char* bcut = strrchr(s, '\\');
    if (bcut && (!cut || bcut > cut)) cut = bcut;
    if (!cut || cut == s) return 0;  // no directory part, or the root
    *cut = 0;
    return os_mkdirs(s);
}

int os_rmdir(const char* path) {
    os_path_buf p(path);
    return p.ok() ? rmdir(p.c_str()) : -1;
}

char* os_conf_path(char* buf, const char* name) {
    if (!buf) return buf;
    buf[0] = 0;
    if (!name) return buf;
    char dir[PATH_SIZE];
    char conf[PATH_SIZE];
    const char* base = dir;
    if (os_exe_get_dir(dir, sizeof dir) != 0) return buf;
    if (str_sprintf_s(conf, sizeof conf, "%s%cconf", dir, '/') < static_cast<int32_t>(sizeof conf) &&
        os_is_dir(conf) == 1)
        base = conf;
    if (str_sprintf_s(buf, PATH_SIZE, "%s%c%s", base, '/', name) >= static_cast<int32_t>(PATH_SIZE)) {
        buf[0] = 0;
        errno = ENAMETOOLONG;
    }
    return buf;
}
