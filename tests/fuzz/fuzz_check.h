// Helpers shared by the fuzz targets: a check that stops the run with a
// message (so libFuzzer keeps the input as a crash), quiet logging, a
// private scratch directory, and a reader of the input in pieces.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "liblog/log2.h"

// Aborts with the failed condition; the run keeps the input as a crash.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Messages of the code under test would only slow the search down.
inline void quiet_logs() { log2_set_level(nullptr, LOG2_CRIT); }

// A directory of this process under TMPDIR (else /tmp), made once and
// removed at exit with whatever is left in it.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kxdd-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        static std::string at_exit_dir;
        at_exit_dir = tmpl;
        atexit([] {
            std::string cmd = "rm -rf '" + at_exit_dir + "'";
            (void)!system(cmd.c_str());
        });
        return tmpl;
    }();
    return dir;
}

// Writes bytes to path (replacing it); false on any failure.
inline bool write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    return ok;
}

// The whole file, or false.
inline bool read_file(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// Takes the input apart front to back: single bytes, and texts that end at
// a zero byte (or at the end of the input).
struct reader {
    const uint8_t* p;
    size_t left;
    reader(const uint8_t* data, size_t size) : p(data), left(size) {}
    uint8_t byte() {
        if (!left) return 0;
        left--;
        return *p++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    std::string text() {
        const void* z = memchr(p, 0, left);
        const size_t n = z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : left;
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        if (left) {
            p++;
            left--;
        }
        return s;
    }
    std::string_view rest() const { return {reinterpret_cast<const char*>(p), left}; }
};

}  // namespace fuzz
