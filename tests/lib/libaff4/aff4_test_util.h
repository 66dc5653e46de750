// Shared helpers of the AFF4 library tests: temporary files and whole reads
// through the entry points.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "libaff4/aff4_api.h"

namespace aff4_test {

// A folder that goes with the test.
struct temp_dir {
    std::string path;
    temp_dir() {
        std::string tmpl = ::testing::TempDir() + "aff4XXXXXX";
        char* p = mkdtemp(tmpl.data());
        path = p ? p : "";
    }
    ~temp_dir() {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    std::string file(const std::string& name, const std::string& bytes) const {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
        return p;
    }
};

// Reads len bytes at off through the entry points, in pieces of at most
// piece bytes: "" and the errno of a failed read in err.
inline std::string read_all(int h, uint64_t off, uint64_t len, int piece, int* err) {
    std::string out(static_cast<size_t>(len), '\0');
    size_t done = 0;
    *err = 0;
    while (done < len) {
        int want = static_cast<int>(std::min<uint64_t>(piece, len - done));
        errno = 0;
        int n = AFF4_read(h, off + done, out.data() + done, want);
        if (n < 0) *err = errno;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

}  // namespace aff4_test
