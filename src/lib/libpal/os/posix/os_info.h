// Operating-system description and file-system information.
#pragma once

#include <cstddef>
#include <cstdint>

// "%s %s %s %s %s %s": the kernel's system name, node name, release, version
// and machine, then the distribution's version (VERSION_ID of
// /etc/os-release; empty when not available). 0, or -1 when uname fails.
int os_get_info(char* text, size_t size);
// VERSION_ID of an os-release file (quotes removed) into out; empty when absent.
void os_release_version(const char* path, char* out, size_t size);

// Space of the file system holding a path.
struct os_fsinfo {
    uint32_t flags;       // 0x8e once filled
    uint32_t max;         // 255
    uint64_t avail_bytes; // each a block count times the block size
    uint64_t free_bytes;
    uint64_t total_bytes;
    char type_name[16];   // os_fs_type of the file-system type number
};
// 0, or -1 when the path's file system cannot be queried.
int os_fs_info(const char* path, os_fsinfo* info);

struct os_statvfs_t {
    uint64_t f_bsize;
    uint64_t f_frsize;
    uint64_t f_blocks;
    uint64_t f_bfree;
    uint64_t f_bavail;
    uint64_t f_files;
    uint64_t f_ffree;
    uint64_t f_favail;
    uint64_t f_fsid;
    uint64_t f_flag;
    uint64_t f_namemax;
};
// 0, or the negative statvfs result.
int os_statvfs(const char* path, os_statvfs_t* out);
