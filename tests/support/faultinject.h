// Read-fault injection for tests: the environment entries that make the
// preloaded library (tests/support/faultinject) disturb reads of one file.
//
//   fi_options o;
//   o.path = "/dev/loop3";
//   o.err = "ENODATA";
//   o.ranges = {{1024, 1536}};
//   fi_env_guard env(o);          // the entries are now in the environment
//   proc_result r = run_proc({"dd", "if=/dev/loop3", "of=/dev/null"});
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct fi_options {
    std::string path;                                   // the file or device node
    std::string err;                                    // errno name for failing reads; empty: none
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [start, end) bytes; empty: whole file
    size_t short_max = 0;                               // at most this many bytes per read; 0: off
    long fail_count = -1;                               // only this many failures; -1: every time
    long stall_ms = 0;                                  // sleep before reads touching a range
    std::string mark;                                   // a byte is appended here as each stall begins
    bool gone = false;                                  // BLKGETSIZE64 reports 0
    int64_t data_end = -1;                              // reads find no data from here on; -1: off
};

#ifdef KXDD_FAULTINJECT_LIB
inline const char* fi_lib() { return KXDD_FAULTINJECT_LIB; }
#endif

// The entries "NAME=value" for the options (LD_PRELOAD included when the
// library's path is known). ASAN_OPTIONS is extended so that programs built
// with AddressSanitizer accept a library loaded before its runtime.
inline std::vector<std::string> fi_env(const fi_options& o) {
    std::vector<std::string> env;
#ifdef KXDD_FAULTINJECT_LIB
    env.push_back(std::string("LD_PRELOAD=") + fi_lib());
#endif
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : std::string()) +
                  "verify_asan_link_order=0");
    env.push_back("KXDD_FI_PATH=" + o.path);
    if (!o.err.empty()) env.push_back("KXDD_FI_ERRNO=" + o.err);
    if (!o.ranges.empty()) {
        std::string r;
        for (auto& [a, b] : o.ranges) r += (r.empty() ? "" : ",") + std::to_string(a) + "-" + std::to_string(b);
        env.push_back("KXDD_FI_RANGES=" + r);
    }
    if (o.short_max) env.push_back("KXDD_FI_SHORT=" + std::to_string(o.short_max));
    if (o.fail_count >= 0) env.push_back("KXDD_FI_FAIL_COUNT=" + std::to_string(o.fail_count));
    if (o.stall_ms > 0) env.push_back("KXDD_FI_STALL_MS=" + std::to_string(o.stall_ms));
    if (!o.mark.empty()) env.push_back("KXDD_FI_MARK=" + o.mark);
    if (o.gone) env.push_back("KXDD_FI_GONE=1");
    if (o.data_end >= 0) env.push_back("KXDD_FI_END=" + std::to_string(o.data_end));
    return env;
}

// Puts the entries into this process's environment while it lives, so that
// every child started meanwhile inherits them; the old values come back at
// the end. (The test process itself is not affected: the library is only
// loaded by programs started later.)
struct fi_env_guard {
    explicit fi_env_guard(const fi_options& o) {
        for (const std::string& e : fi_env(o)) {
            size_t eq = e.find('=');
            std::string name = e.substr(0, eq);
            const char* old = std::getenv(name.c_str());
            saved_.push_back({name, old ? std::string(old) : std::string(), old != nullptr});
            setenv(name.c_str(), e.c_str() + eq + 1, 1);
        }
    }
    ~fi_env_guard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->had)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }
    fi_env_guard(const fi_env_guard&) = delete;
    fi_env_guard& operator=(const fi_env_guard&) = delete;

private:
    struct saved {
        std::string name;
        std::string value;
        bool had;
    };
    std::vector<saved> saved_;
};

// FNV-1a digest of a byte range, as kxdd_fi_reader prints it.
inline uint64_t fi_digest(const void* data, size_t len) {
    auto* p = static_cast<const unsigned char*>(data);
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < len; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
    return h;
}
