#include "libpal/env/pl_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"

int os_exe_get_name(char* buf, size_t size) {
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) >= size) {
        buf[0] = 0;
        errno = ENAMETOOLONG;
        return -1;
    }
    buf[n] = 0;
    return 0;
}

int os_exe_get_dir(char* buf, size_t size) {
    if (os_exe_get_name(buf, size) != 0) {
        LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "os_exe_get_name error:");
        return -1;
    }
    char* slash = strrchr(buf, '/');
    char* bslash = strrchr(buf, '\\');
    if (bslash && (!slash || bslash > slash)) slash = bslash;
    if (slash) *slash = 0;
    return 0;
}

const char* os_getenv(const char* name) { return name ? getenv(name) : nullptr; }

int os_setenv(const char* name, const char* value, int overwrite) { return setenv(name, value, overwrite); }

int os_unsetenv(const char* name) { return unsetenv(name); }

char* os_argv_to_line(int argc, char* const* argv, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = 0;
    if (!argv) return buf;
    const size_t limit = size < 4096 ? size : 4096;
    std::string line;
    for (int i = 0; i < argc && argv[i]; ++i) {
        std::string word = strchr(argv[i], ' ') ? "\"" + std::string(argv[i]) + "\"" : std::string(argv[i]);
        if (line.size() + word.size() + 1 >= limit) break;
        line += word;
        line += ' ';
    }
    memcpy(buf, line.c_str(), line.size() + 1);
    return buf;
}
