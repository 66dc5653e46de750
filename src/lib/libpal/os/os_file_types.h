// Records shared by the file layer and the path services.
#pragma once

#include <cstdint>

// Answer of OS_FILE_GET_INFO.
enum : uint32_t {
    OS_FILE_TYPE_DIR = 1,
    OS_FILE_TYPE_FILE = 2,
    OS_FILE_TYPE_VIRTUAL = 3,
    OS_FILE_TYPE_BLOCK = 5,
};

struct os_file_info {
    uint32_t type;
    uint64_t size;
    uint64_t offset;
    uint32_t sector_size;
    char description[128];
};

struct os_time_val {
    uint64_t sec;
    uint32_t nsec;
};

// Stat record of the file layer and the path services.
enum : uint32_t {
    OS_ATTR_DIR = 1,
    OS_ATTR_OTHER = 2,
    OS_ATTR_LINK_DIR = 257,
    OS_ATTR_LINK = 258,
};

struct os_file_attr {
    uint32_t type;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    os_time_val atime;
    os_time_val mtime;
    os_time_val ctime;
    uint64_t nlink;
    uint64_t dev;
    uint64_t rdev;
    uint64_t ino;
    uint64_t blksize;
    uint64_t blocks;
};

struct os_file_times {
    os_time_val atime;
    os_time_val mtime;
    os_time_val third;
};

struct os_file_lock_req {
    uint32_t op;
    uint64_t start;
    uint64_t length;
};
