/*
 * Read-fault injection for tests, loaded with LD_PRELOAD.
 *
 * Descriptors opened on one named file are tracked (through open, open64,
 * openat, openat64 and their fortified forms, dup, dup2, dup3, fcntl
 * F_DUPFD, close), and reads of them through read, pread and pread64 (and
 * the fortified forms) are disturbed as the environment says:
 *
 *   KXDD_FI_PATH        the file (or device node); matched by identity, so
 *                       any path naming it counts (device nodes by their
 *                       device number)
 *   KXDD_FI_RANGES      "start-end,start-end": byte ranges [start, end) the
 *                       errors and stalls apply to; unset: the whole file
 *   KXDD_FI_ERRNO       a read starting inside a range fails with this errno
 *                       (a name such as EIO or ENODATA, or a number); a read
 *                       starting before a range returns only the bytes in
 *                       front of it, as a device does
 *   KXDD_FI_FAIL_COUNT  only the first K such failures happen, then reads
 *                       succeed (process-wide count)
 *   KXDD_FI_SHORT       every read of the file returns at most n bytes
 *   KXDD_FI_STALL_MS    a read touching a range first sleeps this long
 *   KXDD_FI_MARK        a file to which one byte is appended each time such
 *                       a stall begins, so that a test sees a read under way
 *   KXDD_FI_GONE        1: BLKGETSIZE64 on the file reports size 0, as for
 *                       a device that has been removed
 *   KXDD_FI_END         the data ends at this byte offset: positioned reads
 *                       stop there and reads at or past it return 0, while
 *                       the file's size stays what it is (a source that
 *                       delivers less than it claims)
 *
 * Written in C without sanitizers so that it loads into any program. Only
 * the first 65536 descriptors are tracked.
 */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#define FI_EXPORT __attribute__((visibility("default")))
#define FI_MAX_FD 65536
#define FI_MAX_RANGES 32

struct fi_range {
    uint64_t start;
    uint64_t end;
};

static struct {
    int active;
    char path[4096];
    int err;
    struct fi_range ranges[FI_MAX_RANGES];
    int nranges;
    size_t short_max;
    long stall_ms;
    char mark[4096];
    int gone;
    int64_t end; /* -1: no end of its own */
} cfg;

static long failures_left = -1; /* -1: unlimited; atomic builtins */
static unsigned char tracked[FI_MAX_FD];

/* ---- the real functions ---- */

static void* real_fn(void** slot, const char* name) {
    void* fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!fn) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}
#define REAL(type, name)                  \
    ({                                    \
        static void* slot_;               \
        (type) real_fn(&slot_, #name);    \
    })

typedef int (*open_t)(const char*, int, ...);
typedef int (*openat_t)(int, const char*, int, ...);
typedef int (*open2_t)(const char*, int);
typedef int (*openat2_t)(int, const char*, int);
typedef ssize_t (*read_t)(int, void*, size_t);
typedef ssize_t (*pread_t)(int, void*, size_t, off_t);
typedef int (*close_t)(int);
typedef int (*dup_t)(int);
typedef int (*dup2_t)(int, int);
typedef int (*dup3_t)(int, int, int);
typedef int (*fcntl_t)(int, int, ...);
typedef int (*ioctl_t)(int, unsigned long, ...);

/* ---- configuration ---- */

static int parse_errno(const char* s) {
    static const struct {
        const char* name;
        int value;
    } names[] = {
        {"EIO", EIO},       {"ENODATA", ENODATA}, {"EREMOTEIO", EREMOTEIO}, {"EILSEQ", EILSEQ},
        {"ENXIO", ENXIO},   {"EINTR", EINTR},     {"EAGAIN", EAGAIN},       {"ENOSPC", ENOSPC},
        {"EBADF", EBADF},   {"EINVAL", EINVAL},   {"ENODEV", ENODEV},       {"ENOMEDIUM", ENOMEDIUM},
        {"EACCES", EACCES}, {"EPERM", EPERM},     {"ETIMEDOUT", ETIMEDOUT},
    };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (strcmp(s, names[i].name) == 0) return names[i].value;
    return atoi(s);
}

static void parse_ranges(const char* s) {
    while (*s && cfg.nranges < FI_MAX_RANGES) {
        char* end;
        uint64_t a = strtoull(s, &end, 0);
        if (*end != '-') break;
        uint64_t b = strtoull(end + 1, &end, 0);
        cfg.ranges[cfg.nranges].start = a;
        cfg.ranges[cfg.nranges].end = b;
        cfg.nranges++;
        if (*end != ',') break;
        s = end + 1;
    }
}

__attribute__((constructor)) static void fi_init(void) {
    const char* path = getenv("KXDD_FI_PATH");
    if (!path || !*path || strlen(path) >= sizeof cfg.path) return;
    strcpy(cfg.path, path);
    const char* v;
    if ((v = getenv("KXDD_FI_ERRNO")) && *v) cfg.err = parse_errno(v);
    if ((v = getenv("KXDD_FI_RANGES")) && *v) parse_ranges(v);
    if (cfg.nranges == 0) {
        cfg.ranges[0].start = 0;
        cfg.ranges[0].end = UINT64_MAX;
        cfg.nranges = 1;
    }
    if ((v = getenv("KXDD_FI_SHORT")) && *v) cfg.short_max = strtoull(v, NULL, 0);
    if ((v = getenv("KXDD_FI_STALL_MS")) && *v) cfg.stall_ms = strtol(v, NULL, 0);
    if ((v = getenv("KXDD_FI_MARK")) && *v && strlen(v) < sizeof cfg.mark) strcpy(cfg.mark, v);
    if ((v = getenv("KXDD_FI_FAIL_COUNT")) && *v) failures_left = strtol(v, NULL, 0);
    if ((v = getenv("KXDD_FI_GONE")) && *v) cfg.gone = atoi(v);
    cfg.end = -1;
    if ((v = getenv("KXDD_FI_END")) && *v) cfg.end = (int64_t)strtoll(v, NULL, 0);
    cfg.active = 1;
}

/* ---- descriptor tracking ---- */

static int is_tracked(int fd) {
    return cfg.active && fd >= 0 && fd < FI_MAX_FD && __atomic_load_n(&tracked[fd], __ATOMIC_RELAXED);
}

static void set_tracked(int fd, int on) {
    if (fd >= 0 && fd < FI_MAX_FD) __atomic_store_n(&tracked[fd], (unsigned char)(on != 0), __ATOMIC_RELAXED);
}

/* After an open: is the new descriptor the named file? */
static int opened(int fd) {
    if (fd < 0 || !cfg.active) return fd;
    int saved = errno;
    struct stat want, got;
    int match = 0;
    if (stat(cfg.path, &want) == 0 && fstat(fd, &got) == 0) {
        if ((S_ISBLK(want.st_mode) || S_ISCHR(want.st_mode)) && (want.st_mode & S_IFMT) == (got.st_mode & S_IFMT))
            match = want.st_rdev == got.st_rdev;
        else
            match = want.st_dev == got.st_dev && want.st_ino == got.st_ino;
    }
    set_tracked(fd, match);
    errno = saved;
    return fd;
}

static int dup_result(int from, int to) {
    if (to >= 0 && to != from) set_tracked(to, is_tracked(from));
    return to;
}

/* ---- the read faults ---- */

static void stall(void) {
    if (cfg.mark[0]) {
        int saved = errno;
        int fd = REAL(open_t, open)(cfg.mark, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)!write(fd, "s", 1);
            REAL(close_t, close)(fd);
        }
        errno = saved;
    }
    struct timespec ts = {cfg.stall_ms / 1000, (cfg.stall_ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* True when a failure may still happen (does not use one up). */
static int may_fail(void) { return cfg.err != 0 && __atomic_load_n(&failures_left, __ATOMIC_RELAXED) != 0; }

/* Uses one failure up; false when none is left. */
static int take_failure(void) {
    long left = __atomic_load_n(&failures_left, __ATOMIC_RELAXED);
    for (;;) {
        if (left == 0) return 0;
        if (left < 0) return 1;
        if (__atomic_compare_exchange_n(&failures_left, &left, left - 1, 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return 1;
    }
}

/*
 * Decides what a read of *count bytes at off (-1: unknown) does: 0 to go
 * on with the (possibly reduced) count, -1 to fail with errno set.
 */
static int fault(int fd, size_t* count, off_t off) {
    if (cfg.short_max && *count > cfg.short_max) *count = cfg.short_max;
    if (off >= 0 && cfg.end >= 0) {
        uint64_t left = off >= cfg.end ? 0 : (uint64_t)(cfg.end - off);
        if (left < *count) *count = (size_t)left;
    }
    if (off < 0 || *count == 0) return 0;
    uint64_t a = (uint64_t)off, b = a + *count;
    int touched = 0;
    for (int i = 0; i < cfg.nranges; ++i) {
        const struct fi_range* r = &cfg.ranges[i];
        if (r->start < b && a < r->end) touched = 1;
    }
    if (touched && cfg.stall_ms > 0) stall();
    for (int i = 0; i < cfg.nranges; ++i) {
        const struct fi_range* r = &cfg.ranges[i];
        if (r->start <= a && a < r->end && may_fail() && take_failure()) {
            errno = cfg.err;
            return -1;
        }
    }
    for (int i = 0; i < cfg.nranges; ++i) {
        const struct fi_range* r = &cfg.ranges[i];
        if (a < r->start && r->start < a + *count && may_fail()) *count = (size_t)(r->start - a);
    }
    (void)fd;
    return 0;
}

static ssize_t fi_read(int fd, void* buf, size_t count) {
    read_t real = REAL(read_t, read);
    if (!is_tracked(fd)) return real(fd, buf, count);
    int saved = errno;
    off_t off = lseek(fd, 0, SEEK_CUR);
    errno = saved;
    if (fault(fd, &count, off) != 0) return -1;
    return real(fd, buf, count);
}

static ssize_t fi_pread(int fd, void* buf, size_t count, off_t off) {
    pread_t real = REAL(pread_t, pread64);
    if (is_tracked(fd) && fault(fd, &count, off) != 0) return -1;
    return real(fd, buf, count, off);
}

/* ---- exported wrappers ---- */

static mode_t open_mode(int flags, va_list ap) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(ap, int);
    return 0;
}

FI_EXPORT int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return opened(REAL(open_t, open)(path, flags, mode));
}

FI_EXPORT int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return opened(REAL(open_t, open64)(path, flags, mode));
}

FI_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return opened(REAL(openat_t, openat)(dirfd, path, flags, mode));
}

FI_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return opened(REAL(openat_t, openat64)(dirfd, path, flags, mode));
}

FI_EXPORT int __open_2(const char* path, int flags) { return opened(REAL(open2_t, __open_2)(path, flags)); }
FI_EXPORT int __open64_2(const char* path, int flags) { return opened(REAL(open2_t, __open64_2)(path, flags)); }
FI_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    return opened(REAL(openat2_t, __openat_2)(dirfd, path, flags));
}
FI_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    return opened(REAL(openat2_t, __openat64_2)(dirfd, path, flags));
}

FI_EXPORT ssize_t read(int fd, void* buf, size_t count) { return fi_read(fd, buf, count); }
FI_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buflen) {
    if (count > buflen) abort();
    return fi_read(fd, buf, count);
}
FI_EXPORT ssize_t pread(int fd, void* buf, size_t count, off_t off) { return fi_pread(fd, buf, count, off); }
FI_EXPORT ssize_t pread64(int fd, void* buf, size_t count, off_t off) { return fi_pread(fd, buf, count, off); }
FI_EXPORT ssize_t __pread_chk(int fd, void* buf, size_t count, off_t off, size_t buflen) {
    if (count > buflen) abort();
    return fi_pread(fd, buf, count, off);
}
FI_EXPORT ssize_t __pread64_chk(int fd, void* buf, size_t count, off_t off, size_t buflen) {
    if (count > buflen) abort();
    return fi_pread(fd, buf, count, off);
}

FI_EXPORT int close(int fd) {
    set_tracked(fd, 0);
    return REAL(close_t, close)(fd);
}

FI_EXPORT int dup(int fd) { return dup_result(fd, REAL(dup_t, dup)(fd)); }
FI_EXPORT int dup2(int fd, int to) { return dup_result(fd, REAL(dup2_t, dup2)(fd, to)); }
FI_EXPORT int dup3(int fd, int to, int flags) { return dup_result(fd, REAL(dup3_t, dup3)(fd, to, flags)); }

static int fi_fcntl(fcntl_t real, int fd, int cmd, void* arg) {
    int r = real(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) dup_result(fd, r);
    return r;
}

FI_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fi_fcntl(REAL(fcntl_t, fcntl), fd, cmd, arg);
}

FI_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fi_fcntl(REAL(fcntl_t, fcntl64), fd, cmd, arg);
}

FI_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (cfg.gone && request == BLKGETSIZE64 && is_tracked(fd) && arg) {
        *(uint64_t*)arg = 0;
        return 0;
    }
    return REAL(ioctl_t, ioctl)(fd, request, arg);
}
