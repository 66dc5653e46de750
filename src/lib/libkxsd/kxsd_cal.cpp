// Hashing, byte counting and pattern writes run by the server over a
// remote file's storage.
#include "libkxsd/kxsd_cal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "libkxsd/kxsd_cmd.h"
#include "libkxsd/kxsd_conn.h"
#include "libkxsd/kxsd_file.h"
#include "libkxsd/kxsd_file_priv.h"
#include "libkxsd/kxsd_proto.h"
#include "liblog/log2.h"
#include "libpal/basic/verr.h"
#include "libpal/hash/file_hash.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_size.h"

namespace {

// Sizes of the request texts: steps and single values, pattern requests.
constexpr size_t k_step_text = 256;
constexpr size_t k_pattern_text = 1024;
// Room of a start text besides its saved state.
constexpr size_t k_start_head = 128;

int fail(kxsd_cli_ctx* conn, int32_t code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int fail(kxsd_cli_ctx* conn, int32_t code, const char* fmt, ...) {
    if (!conn->err) return -1;
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    VERR_SET(conn->err, code, "%s", msg);
    return -1;
}

// ioctl2 on a file with a text request: 0 or -1, the answer's count in
// *got (may be none).
int file_ioctl2(kxsd_file_ctx* file, int32_t code, const char* text, void* ans, size_t size, int32_t* got) {
    const int32_t cap = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
    return kxsd_cli_ioctl2(file, code, text, text ? KXSD_DATA_TEXT : 0, ans, ans ? cap : 0, got);
}

// A step's range, within what its request can carry.
int step_text(kxsd_file_ctx* file, int64_t offset, uint64_t length, char (&text)[k_step_text]) {
    if (length > KXSD_CAL_MAX_LEN || offset < 0) {
        return fail(file->conn, VERR_INVALID_PARAMETER, "range offset=%lld len=%llu exceeds a step request",
                    static_cast<long long>(offset), static_cast<unsigned long long>(length));
    }
    std::snprintf(text, sizeof text, "%lld\t%u", static_cast<long long>(offset), static_cast<unsigned>(length));
    return 0;
}

// A step whose answer is the job's state text: the whole text with its
// NUL must fit buf, else the step fails.
int state_step(kxsd_file_ctx* file, int32_t code, int64_t offset, uint64_t length, char* buf, size_t size) {
    char text[k_step_text];
    if (step_text(file, offset, length, text) != 0) return -1;
    int32_t got = 0;
    if (!buf || size == 0) return file_ioctl2(file, code, text, nullptr, 0, nullptr);
    if (file_ioctl2(file, code, text, buf, size, &got) != 0) return -1;
    if (static_cast<size_t>(got) >= size && !std::memchr(buf, 0, size)) {
        buf[size - 1] = 0;
        return fail(file->conn, VERR_BUFFER_OVERFLOW, "state text does not fit %zu bytes", size);
    }
    return 0;
}

// A start text "head\tstate" in a buffer of its own size: never cut.
std::unique_ptr<char, pl_mem_deleter> start_text(const char* head, const char* state, size_t* len) {
    const size_t n = std::strlen(head) + 1 + std::strlen(state) + 1;
    std::unique_ptr<char, pl_mem_deleter> t(static_cast<char*>(pl_malloc(n)));
    if (t) *len = static_cast<size_t>(std::snprintf(t.get(), n, "%s\t%s", head, state));
    return t;
}

int send_start(kxsd_file_ctx* file, int32_t code, const char* head, const char* state) {
    size_t len = 0;
    auto text = start_text(head, state ? state : "", &len);
    if (!text) return fail(file->conn, VERR_NO_MEMORY, "memory allocation failed");
    if (len + 1 >= static_cast<size_t>(MSG_ATTR_MAX_LEN)) {
        return fail(file->conn, VERR_INVALID_PARAMETER, "state text of %zu bytes", len);
    }
    return file_ioctl2(file, code, text.get(), nullptr, 0, nullptr);
}

// A block size the 32-bit field of a start request can carry.
int block_size_ok(kxsd_file_ctx* file, uint64_t bs) {
    if (bs <= 0xFFFFFFFFull) return 0;
    return fail(file->conn, VERR_INVALID_PARAMETER, "block size %llu exceeds a job request",
                static_cast<unsigned long long>(bs));
}

}  // namespace

int kxsd_cli_ioctl2(void* handle, int32_t code, const void* data, int32_t len, void* ans, int32_t ans_size,
                    int32_t* ans_len) {
    int64_t fd = 0;
    kxsd_cli_ctx* conn = cli_get_ctx(handle, &fd);
    if (!conn) return -1;
    const int32_t status = cli_ioctl2(conn, fd, code, data, len, ans, ans_size, ans_len);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

int kxsd_cli_hash_init(kxsd_file_ctx* file, uint32_t hash_flag, uint64_t bs, int8_t thread, const char* state) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    if (!kxsd_cli_ver_at_least(conn, "1.5.9")) return kxsd_cli_not_supported(conn);
    if (hash_flag >= 1024 && !kxsd_cli_ver_at_least(conn, "1.6.3")) return kxsd_cli_not_supported(conn);
    if (block_size_ok(file, bs) != 0) return -1;
    char head[k_start_head];
    std::snprintf(head, sizeof head, "%llx\t%u\t%u\t%u", static_cast<unsigned long long>(file->fd), hash_flag,
                  static_cast<unsigned>(bs), static_cast<unsigned>(static_cast<int32_t>(thread)));
    return send_start(file, KXSD_IOCTL2_HASH_INIT, head, state);
}

int kxsd_cli_hash_cal(kxsd_file_ctx* file, int64_t offset, uint64_t length, char* buf, size_t size) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    return state_step(file, KXSD_IOCTL2_HASH_CAL, offset, length, buf, size);
}

int kxsd_cli_hash_get(kxsd_file_ctx* file, uint32_t alg, void* buf, size_t size) {
    if (!kxsd_file_ok(file) || !buf) return kxsd_file_bad(file);
    const size_t want = file_hash_digest_len(alg);
    if (want > size) {
        return fail(file->conn, VERR_BUFFER_OVERFLOW, "digest of %zu bytes does not fit %zu bytes", want, size);
    }
    char text[k_step_text];
    std::snprintf(text, sizeof text, "%u", alg);
    int32_t got = 0;
    if (file_ioctl2(file, KXSD_IOCTL2_HASH_GET, text, buf, size, &got) != 0) return -1;
    // A digest shorter than the algorithm's would be printed with stale bytes.
    if (static_cast<size_t>(got) < want) {
        LOG2(LOG2_ERR, "sdcli", "hash 0x%x: digest of %d bytes, %zu expected\n", alg, got, want);
        return fail(file->conn, -466, "read data content error");
    }
    return 0;
}

int kxsd_cli_hash_get2(kxsd_file_ctx* file, char* buf, size_t size) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    if (!buf || size == 0) return 0;
    if (!kxsd_cli_ver_at_least(file->conn, "1.6.8")) return kxsd_cli_not_supported(file->conn);
    int64_t fd = 0;
    kxsd_cli_ctx* conn = cli_get_ctx(file, &fd);
    const int32_t cap = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
    const int32_t status = cli_ioctl2_text(conn, fd, KXSD_IOCTL2_HASH_GET2, nullptr, 0, buf, cap, nullptr);
    kxsd_cli_set_last_error(conn, status);
    return status == KXSD_CLI_OK ? 0 : -1;
}

int kxsd_cli_get_hash_algo(kxsd_file_ctx* file, uint64_t* mask) {
    if (!kxsd_file_ok(file) || !mask) return kxsd_file_bad(file);
    if (!kxsd_cli_ver_at_least(file->conn, "1.6.3")) {
        *mask = KXSD_HASH_ALGO_OLD;
        return 0;
    }
    char ans[k_step_text];
    int64_t fd = 0;
    kxsd_cli_ctx* conn = cli_get_ctx(file, &fd);
    const int32_t status =
        cli_ioctl2_text(conn, fd, KXSD_IOCTL2_HASH_ALGO, nullptr, 0, ans, static_cast<int32_t>(sizeof ans), nullptr);
    kxsd_cli_set_last_error(conn, status);
    if (status != KXSD_CLI_OK) return -1;
    *mask = str_hex_to_u64(ans);
    return 0;
}

int kxsd_cli_bcount_init(kxsd_file_ctx* file, int32_t word, uint64_t bs, int8_t thread, const char* counters) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    if (!kxsd_cli_ver_at_least(file->conn, "1.6.2")) return kxsd_cli_not_supported(file->conn);
    if (block_size_ok(file, bs) != 0) return -1;
    char head[k_start_head];
    std::snprintf(head, sizeof head, "%llx\t%d\t%u\t%d", static_cast<unsigned long long>(file->fd), word,
                  static_cast<unsigned>(bs), static_cast<int>(thread));
    return send_start(file, KXSD_IOCTL2_BCOUNT_INIT, head, counters);
}

int kxsd_cli_bcount_cal(kxsd_file_ctx* file, int64_t offset, uint64_t length, char* buf, size_t size) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    return state_step(file, KXSD_IOCTL2_BCOUNT_CAL, offset, length, buf, size);
}

int kxsd_cli_pwritex_init(kxsd_file_ctx* file, uint32_t value, uint64_t bs) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    if (!kxsd_cli_ver_at_least(file->conn, "1.6.2")) return 0;
    if (block_size_ok(file, bs) != 0) return -1;
    char text[k_pattern_text];
    std::snprintf(text, sizeof text, "%llx\t%u\t%u", static_cast<unsigned long long>(file->fd), value,
                  static_cast<unsigned>(bs));
    return file_ioctl2(file, KXSD_IOCTL2_PWRITEX_INIT, text, nullptr, 0, nullptr);
}

int64_t kxsd_cli_pwritex(kxsd_file_ctx* file, int32_t mode, uint64_t length, int64_t offset) {
    if (!kxsd_file_ok(file)) return kxsd_file_bad(file);
    kxsd_cli_ctx* conn = file->conn;
    if (!kxsd_cli_ver_at_least(conn, "1.5.2")) return kxsd_cli_not_supported(conn);
    if (file->need_write_timeout) {
        kxsd_cli_set_fd_write_timeout(file, conn->write_timeout);
        file->need_write_timeout = 0;
    }
    const bool by_ioctl2 = kxsd_cli_ver_at_least(conn, "1.6.2") != 0;
    const uint64_t max = by_ioctl2 ? KXSD_CAL_MAX_LEN : static_cast<uint64_t>(INT32_MAX);
    if (length > max || offset < 0) {
        return fail(conn, VERR_INVALID_PARAMETER, "pattern write offset=%lld len=%llu exceeds a request",
                    static_cast<long long>(offset), static_cast<unsigned long long>(length));
    }
    int64_t wrote = 0;
    if (by_ioctl2) {
        char text[k_pattern_text];
        std::snprintf(text, sizeof text, "%lld\t%u", static_cast<long long>(offset), static_cast<unsigned>(length));
        char ans[512];
        if (file_ioctl2(file, KXSD_IOCTL2_PWRITEX, text, ans, sizeof ans - 1, nullptr) != 0) return -1;
        ans[sizeof ans - 1] = 0;
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(ans, &end, 10);
        if (end == ans || errno != 0 || n < 0 || static_cast<uint64_t>(n) > length) {
            LOG2(LOG2_ERR, "sdcli", "pattern write of %llu bytes answered [%.32s]\n",
                 static_cast<unsigned long long>(length), ans);
            return fail(conn, -466, "read data content error");
        }
        wrote = n;
    } else {
        int32_t n = 0;
        const int32_t status = cli_pwritex(conn, file->fd, mode, static_cast<int32_t>(length), offset, &n);
        kxsd_cli_set_last_error(conn, status);
        if (status != KXSD_CLI_OK) return -1;
        wrote = n;
    }
    return wrote;
}
