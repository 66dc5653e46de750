// Status codes, their fixed messages, per-call error records and the
// mapping between the system's errno values and status codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The status codes that the code names most often. Every code of the table
// has a message (verr2str); callers may use any of them by number.
enum : int32_t {
    VINF_SUCCESS = 0,
    VERR_GENERAL_FAILURE = -1,
    VERR_INVALID_PARAMETER = -2,
    VERR_INVALID_MAGIC = -3,
    VERR_INVALID_HANDLE = -4,
    VERR_INVALID_POINTER = -6,
    VERR_NO_MEMORY = -8,
    VERR_PERMISSION_DENIED = -10,
    VERR_NOT_IMPLEMENTED = -12,
    VERR_INVALID_FLAGS = -13,
    VERR_NOT_EQUAL = -18,
    VERR_WRONG_ORDER = -22,
    VERR_ALREADY_INITIALIZED = -28,
    VERR_INVALID_FUNCTION = -36,
    VERR_NOT_SUPPORTED = -37,
    VERR_ACCESS_DENIED = -38,
    VERR_INTERRUPTED = -39,
    VERR_TIMEOUT = -40,
    VERR_BUFFER_OVERFLOW = -41,
    VERR_TOO_MUCH_DATA = -42,
    VERR_TRY_AGAIN = -52,
    VERR_PARSE_ERROR = -53,
    VERR_OUT_OF_RANGE = -54,
    VERR_NUMBER_TOO_BIG = -55,
    VERR_NO_DIGITS = -56,
    VERR_TRAILING_CHARS = -76,
    VERR_NOT_FOUND = -78,
    VERR_INVALID_STATE = -79,
    VERR_CANCELLED = -70,
    VERR_FILE_IO_ERROR = -100,
    VERR_OPEN_FAILED = -101,
    VERR_FILE_NOT_FOUND = -102,
    VERR_PATH_NOT_FOUND = -103,
    VERR_INVALID_NAME = -104,
    VERR_ALREADY_EXISTS = -105,
    VERR_TOO_MANY_OPEN_FILES = -106,
    VERR_SEEK = -107,
    VERR_SEEK_ON_DEVICE = -109,
    VERR_EOF = -110,
    VERR_READ_ERROR = -111,
    VERR_WRITE_ERROR = -112,
    VERR_WRITE_PROTECT = -113,
    VERR_FILE_TOO_BIG = -128,
    VERR_RESOURCE_BUSY = -138,
    VERR_INVALID_FILE_HEAD = -147,
    VERR_DISK_FULL = -152,
    VERR_DEV_IO_ERROR = -250,
    VERR_DEV_IO_CRC = -254,
    VERR_BROKEN_PIPE = -301,
    VERR_NET_IO_ERROR = -400,
    VERR_NET_CONNECTION_RESET = -454,
    VERR_NET_CONNECTION_REFUSED = -461,
};

// Size of the formatted explanation of an error record, terminator included.
inline constexpr size_t VERR_MSG_SIZE = 4096;

// Error record: the code, a formatted explanation and the place that set it.
// An empty message means that the code's own text stands for the explanation.
struct verr_info {
    const char* file;
    const char* func;
    uint32_t line;
    int32_t code;
    char message[VERR_MSG_SIZE];
};

// One row of the status table.
struct verr_row {
    const char* msg;
    int32_t code;
};

// The status table in its fixed order (for listings and checks).
std::span<const verr_row> verr_table();

// The fixed message of a status code; "Invalid error code" (with a dbg line)
// for a code that has none.
const char* verr2str(int32_t code);

void verr_set(verr_info* err, const char* file, uint32_t line, const char* func, int32_t code,
              const char* fmt, ...) __attribute__((format(printf, 6, 7)));
void verr_set_detail(verr_info* err, const char* file, uint32_t line, const char* func, int32_t code,
                     const char* detail, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
const char* verr_msg(const verr_info* err);
void verr_copy(verr_info* dst, const verr_info* src);

// Fills an error record at the calling place.
#define VERR_SET(err, code, ...) verr_set((err), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)

// The status code of a failed call from its errno value `e`; `none` when the
// call failed without setting errno, so that a failure never reads as success.
int32_t verr_of_failed_errno(int e, int32_t none);
// Fills an error record after a failed call from its errno value `e`: the
// value's code with the system's text, or `none` with that code's own text.
void verr_set_errno_at(verr_info* err, const char* file, uint32_t line, const char* func, int e, int32_t none);
#define VERR_SET_ERRNO(err, e, none) verr_set_errno_at((err), __FILE__, __LINE__, __func__, (e), (none))

// Texts of errno values: "ok" for 0, otherwise the system's text, trimmed.
char* os_strerror_r(int errnum, char* buf, size_t len);
const char* os_strerror();
const char* os_strerror2();
const char* os_errno_str(int errnum);

// errno value -> status code (0 for 0, -1 with a warn line for an unmapped value).
int32_t os_verr_get(int errnum);
// status code -> errno value (EPERM for -1 and, with a warn line, for unmapped codes).
int verr_2_posix(int32_t code);
void verr_set_errno(int32_t code);
void verr_set_errno2(int32_t code);
int verr_to_errno(int32_t code);
