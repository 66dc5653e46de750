// Path operations: thin wrappers of the system's path calls on normalised
// paths, the path texts and the stat record conversions.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_path_buf.h"
#include "libpal/string/str_safe.h"

namespace {

// The call on one normalised path; -1 when the path does not fit.
template <typename F>
int on_path(const char* path, F call) {
    os_path_buf p(path);
    return p.ok() ? call(p.c_str()) : -1;
}

template <typename F>
int on_paths(const char* a, const char* b, F call) {
    os_path_buf pa(a);
    if (!pa.ok()) return -1;
    os_path_buf pb(b);
    return pb.ok() ? call(pa.c_str(), pb.c_str()) : -1;
}

int stat_into(const char* path, os_file_attr* attr, bool follow) {
    if (!attr) {
        errno = EINVAL;
        return -1;
    }
    return on_path(path, [&](const char* p) {
        struct stat st;
        // A dangling link still answers: with its own record.
        if ((follow && stat(p, &st) == 0) || lstat(p, &st) == 0) {
            os_stat_to_attr(&st, attr);
            return 0;
        }
        return -1;
    });
}

}  // namespace

char* os_realpath(const char* path, char* resolved) {
    if (!resolved) return resolved;
    os_path_buf p(path);
    if (!p.ok() || !realpath(p.c_str(), resolved)) resolved[0] = 0;
    return resolved;
}

int os_truncate(const char* path, uint64_t len) {
    if (len > static_cast<uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return -1;
    }
    return on_path(path, [&](const char* p) { return truncate(p, static_cast<off_t>(len)); });
}

int os_utimens_flags(const char* path, const os_utimens_times* times, int flags) {
    return on_path(path, [&](const char* p) {
        if (!times) return utimensat(AT_FDCWD, p, nullptr, flags);
        timespec ts[2];
        ts[0].tv_sec = static_cast<time_t>(times->atime.sec);
        ts[0].tv_nsec = static_cast<long>(times->atime.nsec);
        ts[1].tv_sec = static_cast<time_t>(times->mtime.sec);
        ts[1].tv_nsec = static_cast<long>(times->mtime.nsec);
        return utimensat(AT_FDCWD, p, ts, flags);
    });
}

int os_utimens(const char* path, const os_utimens_times* times) { return os_utimens_flags(path, times, 0); }

int os_lutimens(const char* path, const os_utimens_times* times) {
    return os_utimens_flags(path, times, AT_SYMLINK_NOFOLLOW);
}

int os_stat(const char* path, os_file_attr* attr) { return stat_into(path, attr, true); }

int os_lstat(const char* path, os_file_attr* attr) { return stat_into(path, attr, false); }

// Without overwrite the kernel refuses an existing destination itself
// (RENAME_NOREPLACE), so nothing created between a check and the rename is
// ever lost; file systems that do not know the flag fall back to the check.
int os_rename(const char* src, const char* dst, int overwrite) {
    os_path_buf s(src);
    if (!s.ok()) return -1;
    os_path_buf d(dst);
    if (!d.ok()) return -1;
    int rc;
    if (overwrite) {
        rc = rename(s.c_str(), d.c_str());
    } else {
        rc = renameat2(AT_FDCWD, s.c_str(), AT_FDCWD, d.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            struct stat st;
            if (lstat(d.c_str(), &st) == 0) {
                errno = EEXIST;
                return -1;
            }
            rc = rename(s.c_str(), d.c_str());
        }
    }
    if (rc == 0) {
        int err = errno;
        os_file_touch(d.c_str());
        errno = err;
    }
    return rc;
}

int os_remove(const char* path) {
    return on_path(path, [](const char* p) { return remove(p); });
}

int os_mknod(const char* path, mode_t mode, dev_t dev) {
    return on_path(path, [&](const char* p) { return mknod(p, mode, dev); });
}

int os_mkfifo(const char* path, mode_t mode) {
    return on_path(path, [&](const char* p) { return mkfifo(p, mode); });
}

int os_symlink(const char* target, const char* linkpath) {
    return on_paths(target, linkpath, [](const char* t, const char* l) { return symlink(t, l); });
}

int os_link(const char* existing, const char* newpath) {
    return on_paths(existing, newpath, [](const char* e, const char* n) { return link(e, n); });
}

int os_chmod(const char* path, mode_t mode) {
    return on_path(path, [&](const char* p) { return chmod(p, mode); });
}

int os_lchmod(const char* path, mode_t mode) {
    return on_path(path, [&](const char* p) { return fchmodat(AT_FDCWD, p, mode, AT_SYMLINK_NOFOLLOW); });
}

int os_chown(const char* path, uid_t uid, gid_t gid) {
    return on_path(path, [&](const char* p) { return chown(p, uid, gid); });
}

int os_lchown(const char* path, uid_t uid, gid_t gid) {
    return on_path(path, [&](const char* p) { return lchown(p, uid, gid); });
}

mode_t os_umask(mode_t mask) { return umask(mask); }

// A result that does not fit is left empty (ENAMETOOLONG) rather than cut:
// a cut path names another file.
char* os_path_to_posix(const char* src, char* dst, size_t size) {
    if (!dst || size == 0) return dst;
    if (!src) {
        dst[0] = 0;
        return dst;
    }
    char work[8192];
    size_t n = strnlen(src, sizeof work);
    if (n >= sizeof work) {
        dst[0] = 0;
        errno = ENAMETOOLONG;
        return dst;
    }
    memcpy(work, src, n + 1);
    for (char* c = work; *c; ++c)
        if (*c == '/') *c = '\\';
    const char* p = work;
    if (strncmp(p, "file:\\\\", 7) == 0) {
        p += 7;
        if (strncmp(p, "\\?\\", 3) == 0) p += 3;
    }
    size_t len = strlen(p);
    if (len >= size) {
        dst[0] = 0;
        errno = ENAMETOOLONG;
        return dst;
    }
    for (size_t i = 0; i <= len; ++i) dst[i] = p[i] == '\\' ? '/' : p[i];
    return dst;
}

char* os_path_copy(const char* src, char* dst, size_t size) {
    (void)str_safecopy(dst, size, src);
    return dst;
}

void os_stat_to_attr(const struct stat* st, os_file_attr* attr) {
    if (!st || !attr) return;
    memset(attr, 0, sizeof *attr);
    if (S_ISDIR(st->st_mode))
        attr->type = OS_ATTR_DIR;
    else if (S_ISLNK(st->st_mode))
        attr->type = OS_ATTR_LINK;
    else
        attr->type = OS_ATTR_OTHER;
    attr->mode = st->st_mode;
    attr->uid = st->st_uid;
    attr->gid = st->st_gid;
    attr->size = static_cast<uint64_t>(st->st_size);
    attr->atime = {static_cast<uint64_t>(st->st_atim.tv_sec), static_cast<uint32_t>(st->st_atim.tv_nsec)};
    attr->mtime = {static_cast<uint64_t>(st->st_mtim.tv_sec), static_cast<uint32_t>(st->st_mtim.tv_nsec)};
    attr->ctime = {static_cast<uint64_t>(st->st_ctim.tv_sec), static_cast<uint32_t>(st->st_ctim.tv_nsec)};
    attr->nlink = st->st_nlink;
    attr->dev = st->st_dev;
    attr->rdev = st->st_rdev;
    attr->ino = st->st_ino;
    attr->blksize = static_cast<uint64_t>(st->st_blksize);
    attr->blocks = static_cast<uint64_t>(st->st_blocks);
}

void os_attr_to_stat(const os_file_attr* attr, struct stat* st) {
    if (!st || !attr) return;
    memset(st, 0, sizeof *st);
    if (attr->type & OS_ATTR_MAKE_MODE)
        st->st_mode = (attr->type & 0xFF) == OS_ATTR_DIR ? 040775 : 0100775;
    else
        st->st_mode = attr->mode;
    st->st_uid = attr->uid;
    st->st_gid = attr->gid;
    st->st_size = static_cast<off_t>(attr->size);
    st->st_atim = {static_cast<time_t>(attr->atime.sec), static_cast<long>(attr->atime.nsec)};
    st->st_mtim = {static_cast<time_t>(attr->mtime.sec), static_cast<long>(attr->mtime.nsec)};
    st->st_ctim = {static_cast<time_t>(attr->ctime.sec), static_cast<long>(attr->ctime.nsec)};
    st->st_nlink = static_cast<nlink_t>(attr->nlink);
    st->st_dev = attr->dev;
    st->st_rdev = attr->rdev;
    st->st_ino = attr->ino;
    st->st_blksize = static_cast<blksize_t>(attr->blksize);
    st->st_blocks = static_cast<blkcnt_t>(attr->blocks);
}
