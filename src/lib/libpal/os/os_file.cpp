#include "libpal/os/os_file.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/posix/os_devname.h"
#include "libpal/os/posix/os_file_kinds.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"

namespace {

constexpr const char* TAG = "pal";

// --- kinds ---

constexpr size_t PROVIDER_SLOTS = 4;
std::array<std::atomic<const os_file_kind_provider*>, PROVIDER_SLOTS> g_providers{};

// The kinds a "/dev/<name>" path selects.
constexpr std::array<const os_file_ops*, 6> BUILTIN_KINDS = {
    &os_local_file_ops, &os_stdout_file_ops, &os_stdin_file_ops,
    &os_null_file_ops,  &os_zero_file_ops,   &os_random_file_ops,
};

const os_file_ops* choose_kind(const char* path) {
    for (auto& slot : g_providers) {
        const os_file_kind_provider* p = slot.load(std::memory_order_acquire);
        if (!p || !p->probe) continue;
        if (const os_file_ops* ops = p->probe(path)) return ops;
    }
    std::string_view v(path);
    if (v.starts_with("/dev/")) {
        v.remove_prefix(5);
        for (const os_file_ops* ops : BUILTIN_KINDS)
            if (v == ops->name) return ops;
    }
    return &os_local_file_ops;
}

// Kinds whose token is a descriptor plus one.
bool token_is_fd(const os_file_ops* ops) {
    return ops == &os_local_file_ops || ops == &os_stdin_file_ops || ops == &os_stdout_file_ops;
}

// Brings a caller's path into the form the kinds open: bounded copy,
// normalisation, the system's separators; the physical-memory device name
// becomes /dev/pmem. False (errno ENAMETOOLONG) when the path does not fit.
bool prepare_path(const char* path, char (&out)[PATH_SIZE]) {
    char buf[PATH_SIZE];
    if (str_safecopy(buf, path) != 0) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    // A Linux file name is taken as it stands: blanks, quotes and
    // backslashes are part of it.
    path_normalize_local(buf);
    if (std::strcmp(buf, "\\\\.\\PhysicalMemory") == 0 || std::strcmp(buf, "//./PhysicalMemory") == 0 ||
        std::strcmp(buf, "/./PhysicalMemory") == 0)
        (void)str_safecopy(out, "/dev/pmem");
    else
        memcpy(out, buf, sizeof out);
    return true;
}

// The common open: prepare, choose, call the kind's open through 'open_fn'
// (which returns the token), keep the caller's path.
template <class OpenFn, class DupFn>
os_file_ctx* open_handle(const char* path, OpenFn open_fn, DupFn dup_fn) {
    if (!PL_CHECK(TAG, path)) {
        errno = EINVAL;
        return nullptr;
    }
    auto* ctx = static_cast<os_file_ctx*>(pl_zalloc(sizeof(os_file_ctx)));
    if (!ctx) {
        errno = ENOMEM;
        return nullptr;
    }
    char prepared[PATH_SIZE];
    uint64_t token = 0;
    const os_file_ops* ops = nullptr;
    if (prepare_path(path, prepared)) {
        ops = choose_kind(prepared);
        token = open_fn(ops, prepared);
    }
    if (!token) {
        int e = errno;
        pl_free(ctx);
        errno = e;
        return nullptr;
    }
    ctx->path = dup_fn(path);
    if (!ctx->path) {
        if (ops->exit) ops->exit(token);
        pl_free(ctx);
        errno = ENOMEM;
        return nullptr;
    }
    ctx->handle = token;
    ctx->ops = ops;
    return ctx;
}

uint64_t call_init(const os_file_ops* ops, const char* path, uint32_t flags) {
    if (!PL_CHECK_TEXT(TAG, ops->init, "ops->init")) {
        errno = EOPNOTSUPP;
        return 0;
    }
    return ops->init(path, flags);
}

// Calls one slot of the handle's kind, or reports the empty slot.
template <auto Slot, class R, class... A>
R call_slot(os_file_ctx* ctx, const char* text, R fail, A... args) {
    if (!PL_CHECK(TAG, ctx)) {
        errno = EINVAL;
        return fail;
    }
    auto fn = ctx->ops ? ctx->ops->*Slot : nullptr;
    if (!PL_CHECK_TEXT(TAG, fn != nullptr, text)) {
        errno = EOPNOTSUPP;
        return fail;
    }
    return fn(ctx->handle, args...);
}

}  // namespace

int os_file_kind_register(const os_file_kind_provider* provider) {
    for (auto& slot : g_providers) {
        const os_file_kind_provider* expected = nullptr;
        if (slot.compare_exchange_strong(expected, provider, std::memory_order_acq_rel)) return 0;
    }
    return -1;
}

os_file_ctx* os_file_open(const char* path, uint32_t flags) {
    return open_handle(
        path, [flags](const os_file_ops* ops, const char* p) { return call_init(ops, p, flags); }, pl_strdup);
}

os_file_ctx* os_file_open2(const char* path, uint32_t access, uint32_t share, const void* /*security*/,
                           uint32_t disposition, uint32_t attributes) {
    return open_handle(
        path,
        [=](const os_file_ops* ops, const char* p) {
            if (ops->init2) return ops->init2(p, access, share, disposition, attributes);
            return call_init(ops, p, os_access_to_pf(access, disposition));
        },
        safe_strdup);
}

os_file_ctx* os_file_open3(const char* path, uint32_t oflag, uint32_t mode) {
    return open_handle(
        path,
        [=](const os_file_ops* ops, const char* p) {
            if (ops->init3) return ops->init3(p, os_oflag_to_sys(oflag), mode);
            return call_init(ops, p, os_oflag_to_pf(oflag));
        },
        pl_strdup);
}

int os_file_close(os_file_ctx* ctx) {
    if (!PL_CHECK(TAG, ctx)) return 0;
    int rc = 0;
    if (PL_CHECK_TEXT(TAG, ctx->ops && ctx->ops->exit, "ctx->ops->exit")) rc = ctx->ops->exit(ctx->handle);
    int e = errno;
    if (ctx->delete_on_close && ctx->path) {
        char buf[PATH_SIZE];
        if (str_safecopy(buf, ctx->path) == 0) {
            path_normalize_local(buf);
            remove(buf);
        }
    }
    pl_free(ctx->path);
    pl_free(ctx);
    errno = e;
    return rc;
}

thread_local const std::atomic<uint32_t>* os_io_stop = nullptr;
thread_local std::atomic<uint8_t>* os_io_kind = nullptr;

namespace {

// The handle's stop request, and what it knows of its descriptor, are
// visible to the kind's transfer loops.
struct io_stop_scope {
    const std::atomic<uint32_t>* saved;
    std::atomic<uint8_t>* saved_kind;
    explicit io_stop_scope(os_file_ctx* ctx) : saved(os_io_stop), saved_kind(os_io_kind) {
        os_io_stop = ctx ? ctx->stop : nullptr;
        os_io_kind = ctx ? &ctx->stream_kind : nullptr;
    }
    ~io_stop_scope() {
        os_io_stop = saved;
        os_io_kind = saved_kind;
    }
    io_stop_scope(const io_stop_scope&) = delete;
    io_stop_scope& operator=(const io_stop_scope&) = delete;
};

}  // namespace

void os_file_set_stop(os_file_ctx* ctx, const std::atomic<uint32_t>* stop) {
    if (ctx) ctx->stop = stop;
}

int64_t os_file_read(os_file_ctx* ctx, void* data, size_t len) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::read>(ctx, "ctx->ops->read", int64_t{-1}, data, len);
}

int64_t os_file_write(os_file_ctx* ctx, const void* data, size_t len) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::writ>(ctx, "ctx->ops->writ", int64_t{-1}, data, len);
}

int64_t os_file_pread(os_file_ctx* ctx, void* data, size_t len, int64_t off) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::pread>(ctx, "ctx->ops->pread", int64_t{-1}, data, len, off);
}

int64_t os_file_pwrit(os_file_ctx* ctx, const void* data, size_t len, int64_t off) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::pwrit>(ctx, "ctx->ops->pwrit", int64_t{-1}, data, len, off);
}

int64_t os_file_readv(os_file_ctx* ctx, const struct iovec* list, int count) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::readv>(ctx, "ctx->ops->readv", int64_t{-1}, list, count);
}

int64_t os_file_writv(os_file_ctx* ctx, const struct iovec* list, int count) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::writv>(ctx, "ctx->ops->writv", int64_t{-1}, list, count);
}

int64_t os_file_preadv(os_file_ctx* ctx, const struct iovec* list, int count, int64_t off) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::preadv>(ctx, "ctx->ops->preadv", int64_t{-1}, list, count, off);
}

int64_t os_file_pwritv(os_file_ctx* ctx, const struct iovec* list, int count, int64_t off) {
    io_stop_scope scope(ctx);
    return call_slot<&os_file_ops::pwritv>(ctx, "ctx->ops->pwritv", int64_t{-1}, list, count, off);
}

int os_file_fsync(os_file_ctx* ctx) { return call_slot<&os_file_ops::sync>(ctx, "ctx->ops->sync", 0); }

int os_file_ftruncate(os_file_ctx* ctx, int64_t len) {
    return call_slot<&os_file_ops::truncate>(ctx, "ctx->ops->truncate", 0, len);
}

int64_t os_file_seek(os_file_ctx* ctx, int64_t off, int whence) {
    return call_slot<&os_file_ops::seek>(ctx, "ctx->ops->seek", int64_t{-1}, off, whence);
}

int64_t os_file_offset(os_file_ctx* ctx) {
    return call_slot<&os_file_ops::offset>(ctx, "ctx->ops->offset", int64_t{-1});
}

int64_t os_file_size(os_file_ctx* ctx) { return call_slot<&os_file_ops::size>(ctx, "ctx->ops->size", int64_t{-1}); }

int os_file_ioctl(os_file_ctx* ctx, uint32_t code, void* arg, size_t len) {
    if (!ctx) {
        errno = EINVAL;
        return 0;
    }
    int rc = call_slot<&os_file_ops::ioctl>(ctx, "ctx->ops->ioctl", 0, code, arg, len);
    if (code == OS_FILE_GET_INFO && arg && len >= sizeof(os_file_info)) {
        int e = errno;
        auto* info = static_cast<os_file_info*>(arg);
        int fd = token_is_fd(ctx->ops) ? os_file_fd(ctx) : -1;
        os_dev_get_name(fd, info->description, sizeof info->description, ctx->path);
        errno = e;
    }
    return rc;
}

int os_file_stat(os_file_ctx* ctx, os_file_attr* attr) {
    return os_file_ioctl(ctx, OS_FILE_GET_STAT, attr, sizeof *attr);
}

int os_file_set_times(os_file_ctx* ctx, const os_file_times* times) {
    return os_file_ioctl(ctx, OS_FILE_SET_TIMES, const_cast<os_file_times*>(times), sizeof *times);
}

int os_file_lock(os_file_ctx* ctx, const os_file_lock_req* req) {
    return os_file_ioctl(ctx, OS_FILE_LOCK, const_cast<os_file_lock_req*>(req), sizeof *req);
}

int os_file_chmod(os_file_ctx* ctx, uint32_t mode) { return os_file_ioctl(ctx, OS_FILE_CHMOD, &mode, sizeof mode); }

int os_file_chown(os_file_ctx* ctx, uint32_t uid, uint32_t gid) {
    os_file_owner owner{uid, gid};
    return os_file_ioctl(ctx, OS_FILE_CHOWN, &owner, sizeof owner);
}

int os_file_read_write_timeout(os_file_ctx* ctx, int write, int32_t ms) {
    if (ms < 1000) {
        LOG2(LOG2_WARN, TAG, "timeout=%ds fix=%ds error: too short\n", ms / 1000, 1);
        ms = 1000;
    } else if (ms > 600000) {
        LOG2(LOG2_WARN, TAG, "timeout=%ds fix=%ds error: too long\n", ms / 1000, 600);
        ms = 600000;
    }
    auto value = static_cast<uint32_t>(ms);
    return os_file_ioctl(ctx, write ? OS_FILE_SET_WRITE_TIMEOUT : OS_FILE_SET_READ_TIMEOUT, &value, sizeof value);
}

int os_file_set_read_timeout(os_file_ctx* ctx, int32_t ms) { return os_file_read_write_timeout(ctx, 0, ms); }

int os_file_set_write_timeout(os_file_ctx* ctx, int32_t ms) { return os_file_read_write_timeout(ctx, 1, ms); }

int os_file_get_info(const char* path, os_file_info* info) {
    os_file_ctx* ctx = os_file_open(path, OS_PF_RDONLY);
    if (!ctx) return 0;
    int rc = os_file_ioctl(ctx, OS_FILE_GET_INFO, info, sizeof *info);
    int e = errno;
    os_file_close(ctx);
    errno = e;
    return rc;
}

int32_t os_file_fd(const os_file_ctx* ctx) {
    if (!ctx || ctx->handle == 0) return -1;
    return static_cast<int32_t>(ctx->handle - 1);
}

const char* os_file_path(const os_file_ctx* ctx) { return ctx ? ctx->path : nullptr; }

int os_file_set_delete(os_file_ctx* ctx, int32_t flag) {
    if (!PL_CHECK(TAG, ctx)) return 0;
    ctx->delete_on_close = flag;
    return 1;
}

int64_t os_readlink(const char* path, char* buf, size_t size) {
    if (!PL_CHECK(TAG, path && buf)) {
        errno = EINVAL;
        return -1;
    }
    char p[PATH_SIZE];
    if (str_safecopy(p, path) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    path_normalize_local(p);
    ssize_t n = readlink(p, buf, size);
    if (n >= 0 && static_cast<size_t>(n) < size) buf[n] = '\0';
    return n;
}

int os_file_err_class(int kind, int err) {
    if (err == 0) return OS_FILE_ERR_NONE;
    if (kind == 1) {
        // Windows numbers: file not found, device gone, device i/o error (all
        // "gone"); CRC error (media).
        if (err == 2 || err == 55 || err == 1117) return OS_FILE_ERR_GONE;
        if (err == 23) return OS_FILE_ERR_MEDIA;
        return OS_FILE_ERR_OTHER;
    }
    if (err == ENXIO) return OS_FILE_ERR_GONE;
    if (err == EIO) return OS_FILE_ERR_MEDIA;
    return OS_FILE_ERR_OTHER;
}
