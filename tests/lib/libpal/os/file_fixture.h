// Small helpers of the file-layer tests: an owning handle, file contents
// with a known pattern, and loop devices that are always detached.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "libpal/os/os_file.h"
#include "support/proc.h"

struct file_closer {
    void operator()(os_file_ctx* ctx) const noexcept { os_file_close(ctx); }
};
using file_ptr = std::unique_ptr<os_file_ctx, file_closer>;

inline file_ptr open_file(const std::string& path, uint32_t flags) { return file_ptr(os_file_open(path.c_str(), flags)); }

inline const char* kind_of(const file_ptr& f) { return f && f->ops ? f->ops->name : "<none>"; }

// Bytes where every 512-byte block is filled with its own number plus 'a'.
inline std::string block_pattern(size_t blocks, size_t block = 512) {
    std::string s;
    for (size_t i = 0; i < blocks; ++i) s.append(block, static_cast<char>('a' + i % 26));
    return s;
}

// Bytes that differ at every position within 64 KiB.
inline std::string byte_pattern(size_t len) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return s;
}

// A loop device over an image, detached when it goes. dev stays empty when
// loop devices cannot be attached here (not root, no loop support).
struct loop_device {
    std::string dev;
    std::string why;

    explicit loop_device(const std::string& image, unsigned sector_size = 0) {
        if (geteuid() != 0) {
            why = "needs root";
            return;
        }
        if (access("/dev/loop-control", F_OK) != 0) {
            why = "no /dev/loop-control";
            return;
        }
        std::string tool = access("/usr/sbin/losetup", X_OK) == 0 ? "/usr/sbin/losetup" : "losetup";
        try {
            proc_result r = sector_size ? run_proc({tool, "-f", "--show", "--sector-size",
                                                    std::to_string(sector_size), image})
                                        : run_proc({tool, "-f", "--show", image});
            if (r.status == 0) {
                dev = first_line(r.out);
                tool_ = tool;
            } else {
                why = "losetup: " + first_line(r.err);
            }
        } catch (const std::exception& e) {
            why = e.what();
        }
    }
    ~loop_device() {
        if (dev.empty()) return;
        try {
            run_proc({tool_, "-d", dev});
        } catch (...) {
        }
    }
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;

private:
    std::string tool_;
};

#define SKIP_WITHOUT_LOOP(loop) \
    if ((loop).dev.empty()) GTEST_SKIP() << "no loop device: " << (loop).why
