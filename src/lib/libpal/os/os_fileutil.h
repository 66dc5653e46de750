// Open flags of the file and block layers, whole-file utilities,
// directories and path operations.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "libpal/os/os_file_types.h"

// os_pf_flags: the open flag word.
enum : uint32_t {
    OS_PF_RDONLY = 0x1,
    OS_PF_WRONLY = 0x2,
    OS_PF_RDWR = 0x4,
    OS_PF_CREATE = 0x8,
    OS_PF_APPEND = 0x10,
    OS_PF_TRUNC = 0x20,
    OS_PF_DIRECT = 0x40,
    OS_PF_VSS = 0x10000,
    OS_PF_ACCESS_MASK = 0x7,
};

// Portable open flags (os_file_open3).
enum : uint32_t {
    OS_OF_ACCESS_MASK = 0x3,  // 0 read-only, 1 write-only, 2 read-write
    OS_OF_CREATE = 0x4,
    OS_OF_APPEND = 0x8,
    OS_OF_TRUNC = 0x10,
    OS_OF_DIRECT = 0x20,
    OS_OF_EXCL = 0x40,
    OS_OF_NOFOLLOW = 0x80,
    OS_OF_NONBLOCK = 0x100,
    OS_OF_SYNC = 0x200,
    OS_OF_DIRECTORY = 0x800,
    OS_OF_CLOEXEC = 0x1000,
};

// The "flags" words of a URL ("rw", "readonly", "direct", "vss", "sync"),
// separated by ",", "." or "-"; splits the text in place. Reentrant.
uint32_t os_sflag2pf(char* text);
// Generic access rights and a create disposition to the flag word.
enum : uint32_t {
    OS_GENERIC_READ = 0x80000000u,
    OS_GENERIC_WRITE = 0x40000000u,
    OS_GENERIC_EXECUTE = 0x20000000u,
};
enum : uint32_t {
    OS_CREATE_NEW = 1,
    OS_CREATE_ALWAYS = 2,
    OS_OPEN_EXISTING = 3,
    OS_OPEN_ALWAYS = 4,
    OS_TRUNCATE_EXISTING = 5,
};
uint32_t os_access_to_pf(uint32_t access, uint32_t disposition);
int os_oflag_to_sys(uint32_t oflag);
uint32_t os_oflag_from_sys(int sysflags);
uint32_t os_oflag_to_pf(uint32_t oflag);

// Whole-file utilities. Paths are normalised copies of at most 4096 bytes;
// a longer path fails with ENAMETOOLONG. Files are created with mode 0644,
// directories with 0755. Texts and blocks returned are freed with pl_free.
int os_file_exist(const char* path);  // 1 not a directory, 0 directory, -1 no stat
int os_is_dir(const char* path);      // 1 directory, 0 other, -1 no stat
int os_file_create(const char* path);
int os_file_touch(const char* path);
char* os_file_read_text(const char* path);
// The whole file; with add_zero one zero byte is appended and counted in *size.
void* os_file_read_all(const char* path, size_t* size, int add_zero);
void* os_file_read_bin(const char* path, size_t* size);
char* os_file_read_text0(const char* path);
// 0 only when every byte reached the file: short writes and failing
// flushes or closes (ENOSPC, EIO) give -1.
int os_file_write_text(const char* path, const char* text);
int os_file_write_bin(const char* path, const void* data, size_t len);
int os_file_copy(const char* src, const char* dst);
// 0 when the file system can hold the file at len bytes (space is reserved
// and released again), -1 when it cannot.
int os_file_save_space_check(const char* path, uint64_t len);
void os_file_skip_bom(FILE* stream);
void os_file_write_bom(FILE* stream);

// Directories.
struct os_dir_entry {
    os_file_attr attr;  // type: OS_ATTR_DIR, OS_ATTR_OTHER, OS_ATTR_LINK_DIR, OS_ATTR_LINK
    char name[512];
    char link[4096];  // target of a symbolic link
};
struct os_dir;
os_dir* os_dir_open_match(const char* path, const char* pattern);
os_dir* os_dir_open(const char* path);
// The next entry whose name matches the pattern (case-sensitive
// str_wildcard; "." and ".." included), or nothing at the end. The entry
// stays valid until the next call. The position counts every entry read.
const os_dir_entry* os_dir_read(os_dir* dir);
int os_dir_seek(os_dir* dir, int64_t pos);
int64_t os_dir_tell(const os_dir* dir);
const char* os_dir_path(const os_dir* dir);
void os_dir_close(os_dir* dir);
int os_mkdir(const char* path, mode_t mode);
int os_mkdir_default(const char* path);
// Every missing directory of the (normalised) path; 0 when all are there.
int os_mkdirs(const char* path);
// os_mkdirs of the directory part; 0 when there is none (or it is the root).
int os_mkdirs_parent(const char* path);
int os_rmdir(const char* path);
char* os_conf_path(char* buf, const char* name);  // buf: 4096 bytes

// Path operations: the system call on the normalised path, 0 or -1 with errno.
struct os_utimens_times {
    os_time_val atime;
    os_time_val mtime;
};
char* os_realpath(const char* path, char* resolved);  // resolved: 4096 bytes, "" on failure
int os_truncate(const char* path, uint64_t len);
// times absent: both times become now. flags: 0 or AT_SYMLINK_NOFOLLOW.
int os_utimens_flags(const char* path, const os_utimens_times* times, int flags);
int os_utimens(const char* path, const os_utimens_times* times);
int os_lutimens(const char* path, const os_utimens_times* times);
int os_stat(const char* path, os_file_attr* attr);  // lstat when stat fails
int os_lstat(const char* path, os_file_attr* attr);
// overwrite 0: an existing destination is never replaced (EEXIST).
int os_rename(const char* src, const char* dst, int overwrite);
int os_remove(const char* path);
int os_mknod(const char* path, mode_t mode, dev_t dev);
int os_mkfifo(const char* path, mode_t mode);
int os_symlink(const char* target, const char* linkpath);
int os_link(const char* existing, const char* newpath);
int os_chmod(const char* path, mode_t mode);
int os_lchmod(const char* path, mode_t mode);  // a symbolic link itself: EOPNOTSUPP
int os_chown(const char* path, uid_t uid, gid_t gid);
int os_lchown(const char* path, uid_t uid, gid_t gid);
mode_t os_umask(mode_t mask);

// Path texts.
// Backslash path forms to slashes: a leading "file:\\" and after it a
// leading "\?\" are dropped, then every backslash becomes "/" (so a
// backslash inside a Linux file name becomes a separator). A result that
// does not fit size leaves dst empty (ENAMETOOLONG): it is never cut.
char* os_path_to_posix(const char* src, char* dst, size_t size);
// Strict bounded copy (an overflow leaves dst empty).
char* os_path_copy(const char* src, char* dst, size_t size);

// Record conversions.
// Type bit for os_attr_to_stat: make the mode up from the type.
inline constexpr uint32_t OS_ATTR_MAKE_MODE = 0x800;
void os_stat_to_attr(const struct stat* st, os_file_attr* attr);
void os_attr_to_stat(const os_file_attr* attr, struct stat* st);
