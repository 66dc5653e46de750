// A caller's path copied into a 4096-byte buffer, without a "file://"
// prefix, the way every path service takes its argument.
#pragma once

#include <cerrno>

#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

class os_path_buf {
public:
    // A path that does not fit fails (the strict copy logs the overflow)
    // with errno ENAMETOOLONG; an absent path fails with EINVAL. The path
    // is never cut short.
    explicit os_path_buf(const char* path, bool normalize = true) {
        buf_[0] = 0;
        if (!path) {
            errno = EINVAL;
            return;
        }
        if (str_safecopy(buf_, path) != 0) {
            errno = ENAMETOOLONG;
            return;
        }
        if (normalize) path_normalize_local(buf_);
        ok_ = true;
    }
    os_path_buf(const os_path_buf&) = delete;
    os_path_buf& operator=(const os_path_buf&) = delete;

    bool ok() const { return ok_; }
    const char* c_str() const { return buf_; }
    char* data() { return buf_; }

private:
    char buf_[PATH_SIZE];
    bool ok_ = false;
};
