// The pseudo-file kinds: "stdin", "stdout", "null", "zero" and "random".
// "stdin" and "stdout" hold the descriptor plus one as their token (1 and
// 2); the others hold 1 and no descriptor.

#include <cerrno>
#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/random.h"
#include "libpal/os/os_file.h"
#include "libpal/os/posix/os_file_kinds.h"

namespace {

constexpr const char* TAG = "pal";

bool check_token(uint64_t file) { return PL_CHECK_TEXT(TAG, file, "file"); }

// --- operations shared by the pseudo-files ---

int os_comm_file_sync(uint64_t file) { return check_token(file) ? 1 : 0; }

int os_comm_file_truncate(uint64_t file, int64_t) { return check_token(file) ? 1 : 0; }

int64_t os_comm_file_seek(uint64_t file, int64_t, int) { return check_token(file) ? 0 : -1; }

int64_t os_comm_file_offset(uint64_t file) { return check_token(file) ? 0 : -1; }

int64_t os_comm_file_size(uint64_t file) {
    check_token(file);
    return 0;
}

int os_comm_file_ioctl(uint64_t file, uint32_t code, void* arg, size_t len) {
    if (!check_token(file)) return 0;
    if (code == OS_FILE_GET_INFO && arg && len >= sizeof(os_file_info)) {
        auto* info = static_cast<os_file_info*>(arg);
        info->type = OS_FILE_TYPE_VIRTUAL;
        info->size = 0;
        info->offset = 0;
        info->sector_size = 512;
        return 1;
    }
    if (code == OS_FILE_GET_ERROR && arg && len >= sizeof(uint64_t)) {
        *static_cast<uint64_t*>(arg) = 0;
        return 1;
    }
    errno = code == OS_FILE_GET_INFO || code == OS_FILE_GET_ERROR ? EINVAL : EPERM;
    return 0;
}

uint64_t token_one(const char*, uint32_t) { return 1; }
uint64_t token_two(const char*, uint32_t) { return 2; }
int exit_keep(uint64_t) { return 1; }

// --- "stdout" ---

int64_t stdout_writ(uint64_t file, const void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    if (len == 0) return 0;
    return os_fd_write_full(1, data, len, -1);
}

int stdout_sync(uint64_t file) {
    if (!check_token(file)) return 0;
    return os_fd_sync(1);
}

// --- "stdin" ---

int64_t stdin_read(uint64_t file, void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    if (len == 0) return 0;
    return os_fd_read_full(0, data, len, -1);
}

// --- "null", "zero", "random" ---

// "null" discards what is written, wherever it is written, and is empty:
// a read at any offset is at its end.
int64_t null_writ(uint64_t file, const void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    return static_cast<int64_t>(len);
}

int64_t null_pwrit(uint64_t file, const void* data, size_t len, int64_t) { return null_writ(file, data, len); }

int64_t null_read(uint64_t file, void* data, size_t) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    return 0;
}

int64_t null_pread(uint64_t file, void* data, size_t len, int64_t) { return null_read(file, data, len); }

// "zero" and "random" have the same bytes at every offset.
int64_t zero_read(uint64_t file, void* data, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && data, "file && data")) return -1;
    if (len) std::memset(data, 0, len);
    return static_cast<int64_t>(len);
}

int64_t zero_pread(uint64_t file, void* data, size_t len, int64_t) { return zero_read(file, data, len); }

int64_t random_read(uint64_t file, void* buf, size_t len) {
    if (!PL_CHECK_TEXT(TAG, file && buf, "file && buf")) return -1;
    if (len == 0) return 0;
    memory_random(buf, len);
    return static_cast<int64_t>(len);
}

int64_t random_pread(uint64_t file, void* buf, size_t len, int64_t) { return random_read(file, buf, len); }

}  // namespace

const os_file_ops os_stdout_file_ops = {
    .name = "stdout",
    .init = token_two,
    .exit = exit_keep,
    .writ = stdout_writ,
    .sync = stdout_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_stdin_file_ops = {
    .name = "stdin",
    .init = token_one,
    .exit = exit_keep,
    .read = stdin_read,
    .sync = os_comm_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_null_file_ops = {
    .name = "null",
    .init = token_one,
    .exit = exit_keep,
    .read = null_read,
    .writ = null_writ,
    .pread = null_pread,
    .pwrit = null_pwrit,
    .sync = os_comm_file_sync,
    .truncate = os_comm_file_truncate,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_zero_file_ops = {
    .name = "zero",
    .init = token_one,
    .exit = exit_keep,
    .read = zero_read,
    .pread = zero_pread,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};

const os_file_ops os_random_file_ops = {
    .name = "random",
    .init = token_one,
    .exit = exit_keep,
    .read = random_read,
    .pread = random_pread,
    .seek = os_comm_file_seek,
    .offset = os_comm_file_offset,
    .size = os_comm_file_size,
    .ioctl = os_comm_file_ioctl,
};
