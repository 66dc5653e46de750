// Fixtures for the block layer tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "libblock/bd.h"
#include "libpal/os/os_fileutil.h"
#include "support/proc.h"

// A file of n 512-byte sectors; every sector starts with its index
// (8 bytes, little-endian) and is filled with the low byte of the index.
inline std::string sector_file_data(uint64_t n) {
    std::string d(n * 512, 0);
    for (uint64_t i = 0; i < n; ++i) {
        memset(&d[i * 512], static_cast<int>(i & 0xff), 512);
        memcpy(&d[i * 512], &i, sizeof i);
    }
    return d;
}

inline uint64_t sector_at(const void* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// A block device that is closed at the end of the scope.
struct dev_ptr {
    bd_dev* d = nullptr;
    dev_ptr() = default;
    explicit dev_ptr(bd_dev* dev) : d(dev) {}
    ~dev_ptr() {
        if (d) bd_close(d);
    }
    dev_ptr(const dev_ptr&) = delete;
    dev_ptr& operator=(const dev_ptr&) = delete;
    bd_dev* operator->() const { return d; }
    bd_dev* get() const { return d; }
    explicit operator bool() const { return d != nullptr; }
};

// A loop device attached to a file for the scope; path is empty when the
// machine cannot attach one.
struct loop_dev {
    std::string path;
    loop_dev(const std::string& file, int sector_size) {
        std::vector<std::string> args{"losetup", "-f", "--show"};
        if (sector_size != 512) {
            args.push_back("--sector-size");
            args.push_back(std::to_string(sector_size));
        }
        args.push_back(file);
        proc_result r;
        try {
            r = run_proc(args);
        } catch (...) {
            return;
        }
        if (r.status == 0 && r.out.rfind("/dev/loop", 0) == 0) path = r.out.substr(0, r.out.find('\n'));
    }
    ~loop_dev() {
        if (!path.empty()) run_proc({"losetup", "-d", path});
    }
};

// A started block layer and a 64-sector image in a temporary directory.
class BdFixture : public testing::Test {
protected:
    void SetUp() override {
        bd_init2();
        data = sector_file_data(64);
        img = dir.file("disk.img");
        write_file(img, data);
    }
    bd_dev* open(const std::string& name, uint32_t oflag = OS_PF_RDONLY) {
        err = verr_info{};
        return bd_open_err(name.c_str(), oflag, &err);
    }
    temp_dir dir;
    std::string data;
    std::string img;
    verr_info err{};
};
