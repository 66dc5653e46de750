// Fixtures of the image driver tests: the image tools that make real
// images, seeded disk contents with runs of zeros, and byte comparisons.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "libblock/bd.h"
#include "support/proc.h"

namespace img_test {

// Full path of a program in PATH or the system directories; empty when absent.
inline std::string find_tool(const std::string& name) {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        std::string p = dirs.substr(pos, end - pos) + "/" + name;
        if (end > pos && access(p.c_str(), X_OK) == 0) return p;
        pos = end + 1;
    }
    return {};
}

// Under CI every tool is installed by the project's scripts: a missing one fails.
inline bool in_ci() {
    const char* ci = getenv("CI");
    return ci && *ci && strcmp(ci, "false") != 0;
}

// Skips the test (fails it under CI) when the condition does not hold.
#define IMG_REQUIRE(cond, what)                                          \
    do {                                                                 \
        if (!(cond)) {                                                   \
            if (::img_test::in_ci()) FAIL() << (what) << " is missing";  \
            GTEST_SKIP() << (what) << " is missing";                     \
        }                                                                \
    } while (0)

#define IMG_NEED_TOOL(name) IMG_REQUIRE(!::img_test::find_tool(name).empty(), std::string("the program ") + (name))

// n bytes of seeded noise, with a run of zeros from 1 MiB - 512 over 1.5 MiB
// (unallocated blocks in the images) when the data is long enough.
inline std::string disk_data(size_t n, uint32_t seed = 7) {
    std::string d(n, '\0');
    std::mt19937_64 gen(seed);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = gen();
        memcpy(&d[i], &v, 8);
    }
    size_t from = (1u << 20) - 512;
    size_t to = from + 3 * (1u << 19);
    if (n >= to) memset(&d[from], 0, to - from);
    return d;
}

// Equal byte strings; the first difference in the failure text.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                         << ", first difference at byte " << i;
}

// Runs a program; a failure shows its output.
inline ::testing::AssertionResult run_ok(const std::vector<std::string>& argv) {
    proc_result r = run_proc(argv);
    if (r.status == 0) return ::testing::AssertionSuccess();
    std::string cmd;
    for (const auto& a : argv) cmd += a + " ";
    return ::testing::AssertionFailure() << cmd << "exited " << r.status << ": " << r.err << r.out;
}

// The whole device, read from its start in pieces of the given size with
// the current position.
inline std::string read_all(bd_dev* dev, size_t piece) {
    std::string out;
    std::string buf(piece, '\0');
    for (;;) {
        int64_t n = bd_read(dev, buf.data(), static_cast<int64_t>(piece));
        if (n <= 0) {
            EXPECT_EQ(n, 0) << bd_errmsg(dev);
            break;
        }
        out.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

// The device information (GET_DEV_INFO).
inline bd_dev_info dev_info(bd_dev* dev) {
    bd_dev_info info{};
    EXPECT_EQ(bd_ioctl(dev, GET_DEV_INFO, &info, sizeof info), 0) << bd_errmsg(dev);
    return info;
}

}  // namespace img_test
