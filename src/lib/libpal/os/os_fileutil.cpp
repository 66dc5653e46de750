// Whole-file utilities: existence tests, create, touch, read, write, copy,
// space check and the UTF-8 byte order mark.
//
// Files are created with mode 0644, never wider: platform start-up sets the
// umask to 0, so the mode given here is the mode the file gets. A write or copy succeeds only when
// every byte reached the file: fwrite, fflush and fclose are all checked,
// so a full disk (ENOSPC) or a failing device (EIO) is reported.
#include "libpal/os/os_fileutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_fopen.h"
#include "libpal/os/os_path_buf.h"
#include "liblog/log2.h"

namespace {

constexpr size_t k_chunk = 4096;
constexpr unsigned char k_bom[3] = {0xEF, 0xBB, 0xBF};

// A stream closed exactly once; close() tells whether the final flush and
// the close worked.
class stream_guard {
public:
    explicit stream_guard(FILE* f) : f_(f) {}
    ~stream_guard() {
        if (f_) fclose(f_);
    }
    stream_guard(const stream_guard&) = delete;
    stream_guard& operator=(const stream_guard&) = delete;
    FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    // 0, or -1 with the errno of the first failure (flush, then close).
    int close() {
        FILE* f = f_;
        f_ = nullptr;
        if (!f) return -1;
        int rc = fflush(f);
        int err = errno;
        if (fclose(f) != 0 && rc == 0) return -1;
        if (rc != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }

private:
    FILE* f_;
};

// A descriptor closed once.
class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }
    int close() {
        int fd = fd_;
        fd_ = -1;
        return fd >= 0 ? ::close(fd) : -1;
    }

private:
    int fd_;
};

// Writes the block, then flushes and closes; 0 only when all of it got out.
int write_and_close(stream_guard& out, const void* data, size_t len) {
    if (len && fwrite(data, 1, len, out.get()) != len) {
        int err = errno;
        out.close();
        errno = err ? err : EIO;
        return -1;
    }
    return out.close();
}

// The whole stream in a block of its own, read in chunks; with add_zero a
// zero byte is appended and counted.
void* read_stream(FILE* in, size_t* size, bool add_zero) {
    size_t cap = 2 * k_chunk;
    size_t len = 0;
    auto* buf = static_cast<unsigned char*>(pl_malloc(cap));
    if (!buf) return nullptr;
    for (;;) {
        if (cap - len < k_chunk + 1) {
            if (cap > SIZE_MAX / 2) {
                pl_free(buf);
                errno = EFBIG;
                return nullptr;
            }
            auto* grown = static_cast<unsigned char*>(pl_realloc(buf, cap * 2));
            if (!grown) {
                pl_free(buf);
                errno = ENOMEM;
                return nullptr;
            }
            buf = grown;
            cap *= 2;
        }
        size_t n = fread(buf + len, 1, k_chunk, in);
        len += n;
        if (n < k_chunk) {
            if (ferror(in)) {
                int err = errno;
                pl_free(buf);
                errno = err ? err : EIO;
                return nullptr;
            }
            break;
        }
    }
    if (add_zero) buf[len++] = 0;
    if (size) *size = len;
    return buf;
}

void* read_file(const char* path, const char* mode, size_t* size, bool add_zero) {
    stream_guard in(os_fopen(path, mode));
    if (!in) return nullptr;
    return read_stream(in.get(), size, add_zero);
}

int write_file(const char* path, const char* mode, const void* data, size_t len) {
    os_mkdirs_parent(path);
    stream_guard out(os_fopen(path, mode));
    if (!out) return -1;
    return write_and_close(out, data, len);
}

}  // namespace

int os_file_exist(const char* path) {
    os_path_buf p(path);
    struct stat st;
    if (!p.ok() || stat(p.c_str(), &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 0 : 1;
}

int os_is_dir(const char* path) {
    os_path_buf p(path);
    struct stat st;
    if (!p.ok() || stat(p.c_str(), &st) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int os_file_create(const char* path) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    switch (os_file_exist(p.c_str())) {
    case 1: return 0;
    case 0: errno = EACCES; return -1;
    default: break;
    }
    os_mkdirs_parent(p.c_str());
    fd_guard fd(open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return -1;
    return fd.close() == 0 ? 0 : -1;
}

int os_file_touch(const char* path) {
    os_file_ctx* f = os_file_open(path, OS_PF_RDONLY);
    if (!f) return -1;
    os_time_val now{static_cast<uint64_t>(time(nullptr)), 0};
    os_file_times times{now, now, now};
    int ok = os_file_set_times(f, &times);
    int err = errno;
    int closed = os_file_close(f);
    if (!ok) errno = err;
    return ok && closed ? 0 : -1;
}

char* os_file_read_text(const char* path) { return static_cast<char*>(read_file(path, "r", nullptr, true)); }

void* os_file_read_all(const char* path, size_t* size, int add_zero) {
    return read_file(path, "rb", size, add_zero != 0);
}

void* os_file_read_bin(const char* path, size_t* size) { return os_file_read_all(path, size, 0); }

char* os_file_read_text0(const char* path) { return static_cast<char*>(os_file_read_all(path, nullptr, 1)); }

int os_file_write_text(const char* path, const char* text) {
    if (!text) {
        errno = EINVAL;
        return -1;
    }
    return write_file(path, "w", text, strlen(text));
}

int os_file_write_bin(const char* path, const void* data, size_t len) {
    if (!data && len) {
        errno = EINVAL;
        return -1;
    }
    return write_file(path, "wb", data, len);
}

int os_file_copy(const char* src, const char* dst) {
    stream_guard in(os_fopen(src, "rb"));
    if (!in) return -1;
    // Opening the destination truncates it: a copy onto the source itself
    // (same path, other spelling, hard link) would lose the data.
    os_path_buf d(dst);
    if (!d.ok()) return -1;
    struct stat sst, dstst;
    if (fstat(fileno(in.get()), &sst) == 0 && stat(d.c_str(), &dstst) == 0 && sst.st_dev == dstst.st_dev &&
        sst.st_ino == dstst.st_ino) {
        errno = EINVAL;
        return -1;
    }
    os_mkdirs_parent(d.c_str());
    stream_guard out(os_fopen(d.c_str(), "wb+"));
    if (!out) return -1;
    unsigned char buf[k_chunk];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, in.get());
        if (n && fwrite(buf, 1, n, out.get()) != n) {
            int err = errno;
            out.close();
            errno = err ? err : EIO;
            return -1;
        }
        if (n < sizeof buf) {
            if (ferror(in.get())) {
                int err = errno;
                out.close();
                errno = err ? err : EIO;
                return -1;
            }
            break;
        }
    }
    return out.close();
}

int os_file_save_space_check(const char* path, uint64_t len) {
    os_path_buf p(path);
    if (!p.ok()) return -1;
    if (len > static_cast<uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return -1;
    }
    fd_guard fd(open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -1;
    auto old_size = static_cast<uint64_t>(st.st_size);
    if (old_size >= len) return 0;
    // Growing with ftruncate would only make a sparse file and never find
    // the space missing: reserve the blocks, then give them back.
    int rc = posix_fallocate(fd.get(), static_cast<off_t>(old_size), static_cast<off_t>(len - old_size));
    if (rc != 0) {
        if (ftruncate(fd.get(), static_cast<off_t>(old_size)) != 0)
            LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "ftruncate error:");
        errno = rc;
        return -1;
    }
    if (ftruncate(fd.get(), static_cast<off_t>(old_size)) != 0) LOG2(LOG2_ERR | LOG2_ERRNO, "pal", "ftruncate error:");
    return 0;
}

void os_file_skip_bom(FILE* stream) {
    if (!stream) return;
    unsigned char head[3];
    if (fread(head, 1, sizeof head, stream) == sizeof head && memcmp(head, k_bom, sizeof head) == 0) return;
    clearerr(stream);
    fseek(stream, 0, SEEK_SET);
}

void os_file_write_bom(FILE* stream) {
    if (stream) fwrite(k_bom, 1, sizeof k_bom, stream);
}
