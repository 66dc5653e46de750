// Helpers of the path service tests: a temporary directory, the process
// umask and working directory restored after a test, file modes.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "support/proc.h"

// Sets the umask the platform start-up sets (0) for one test.
struct umask_guard {
    mode_t old;
    explicit umask_guard(mode_t mask = 0) : old(umask(mask)) {}
    ~umask_guard() { umask(old); }
};

// Runs a test in another working directory.
struct cwd_guard {
    std::string old;
    explicit cwd_guard(const std::string& dir) {
        char buf[4096];
        if (getcwd(buf, sizeof buf)) old = buf;
        if (chdir(dir.c_str()) != 0) old.clear();
    }
    ~cwd_guard() {
        if (!old.empty()) (void)!chdir(old.c_str());
    }
};

inline bool path_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Permission bits of a path, or -1.
inline int perm_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

inline int64_t size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// A path inside dir that does not fit a 4096-byte buffer.
inline std::string too_long_path(const std::string& dir) { return dir + "/" + std::string(5000, 'x'); }

// n bytes of a pattern that shows shifted or lost chunks.
inline std::string pattern_bytes(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 4096) & 0xFF);
    return s;
}
