// Helpers of the fuzz targets: a scratch directory per process, whole-file
// reads and writes, and the check that turns a wrong answer into a crash the
// fuzzer (or the replay test) reports.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "liblog/log2.h"

namespace fuzz {

// A check on what the code under test answered: a failure names the check and
// aborts, which libFuzzer and the replay program report with the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond);          \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// The scratch directory of this process, made on first use and removed at exit.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kxdd-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            perror("mkdtemp");
            abort();
        }
        static std::string keep;
        keep = tmpl;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(keep, ec);
        });
        return tmpl;
    }();
    return dir;
}

inline std::string scratch(const char* name) { return scratch_dir() + "/" + name; }

inline void write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(size == 0 || fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(fclose(f) == 0);
}
inline void write_file(const std::string& path, const std::string& s) { write_file(path, s.data(), s.size()); }

// The whole file, or "<missing>" when it does not exist (a name no content
// can take, since real contents are compared against it).
inline std::string read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return std::string("\0<missing>", 10);
    std::string s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

inline void remove_file(const std::string& path) { unlink(path.c_str()); }

// The logs of the code under test would only slow the search.
inline void quiet_logs() { log2_set_level(nullptr, LOG2_CRIT); }

// Little- and big-endian fields of hand-made inputs.
inline uint64_t get_uint(const uint8_t* p, int bytes, bool big) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++) v |= uint64_t{p[big ? bytes - 1 - i : i]} << (8 * i);
    return v;
}

}  // namespace fuzz
