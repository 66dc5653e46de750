// The logger: one call for every component, filtered by level, with
// configurable line prefixes, written under one mutex to each output.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "liblog/log_bsv_udp.h"
#include "liblog/log_file.h"
#include "liblog/log_net.h"

struct os_mutex;

// Level word: the level in the low byte, flag bits above it.
enum : uint32_t {
    LOG2_CRIT = 2,
    LOG2_ERR = 3,
    LOG2_WARN = 4,
    LOG2_NOTI = 5,
    LOG2_INFO = 6,
    LOG2_DBG = 7,
    LOG2_VERB = 8,

    LOG2_ERRNO = 0x100,     // append the text of the caller's errno
    LOG2_NOEXIT = 0x200,    // a crit message that does not end the process
    LOG2_BSV = 0x400,       // also send as a binary log record
    LOG2_BSV_ONLY = 0x800,  // send as a binary log record only
};

// Prefix flags.
enum : uint32_t {
    LOG2_F_TID = 0x1,
    LOG2_F_TIME = 0x2,
    LOG2_F_FUNC = 0x4,
    LOG2_F_FILE = 0x8,
    LOG2_F_FILE_BASE = 0x10,
    LOG2_F_COLOR = 0x20,
    LOG2_F_TIME_MS = 0x40,
    LOG2_F_TID_NAME = 0x80,
    LOG2_F_DEFAULT = 0x27,
};

// Control codes of log2_ioctl.
enum : int32_t {
    LOG2_IOC_LEVEL = 1,
    LOG2_IOC_FLAGS = 2,
    LOG2_IOC_LEVEL_STR = 3,
    LOG2_IOC_FLAGS_STR = 4,
    LOG2_IOC_CB_HIGH = 5,  // callback for levels 5 and above
    LOG2_IOC_CB_LOW = 6,   // callback for levels below 5
    LOG2_IOC_GET_LEVEL = 7,
    LOG2_IOC_FILE = 20,
    LOG2_IOC_FILE_DIR = 21,
    LOG2_IOC_FILE_SIZE = 22,
    LOG2_IOC_BSV_URL = 23,
    LOG2_IOC_SYSLOG_URL = 24,
    LOG2_IOC_SHELL_OUT = 40,
    LOG2_IOC_FILE_OUT = 42,
    LOG2_IOC_SYSLOG_OUT = 43,
};

inline constexpr size_t LOG2_LINE_SIZE = 8192;
inline constexpr size_t LOG2_TAIL_SIZE = 1024;

// Output callback: (level, tag, line, length); the result is ignored.
using log2_cb = int (*)(uint32_t level, const char* tag, const char* line, uint32_t len);
// Replace hook: takes every log2_printf call in place of the logger.
using log2_hook = void (*)(uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                           int err, const char* fmt, va_list ap);

struct log2_ctx {
    std::atomic<uint32_t> flags;
    std::atomic<int32_t> level;
    std::atomic<uint8_t> shell_out;
    std::atomic<uint8_t> file_out;
    std::atomic<uint8_t> syslog_out;
    os_mutex* mutex;
    std::atomic<log2_cb> cb_high;
    std::atomic<log2_cb> cb_low;
    std::atomic<log2_hook> hook;
    char tail[LOG2_TAIL_SIZE];
    uint32_t tail_cap;
    uint32_t tail_len;
    // The outputs besides standard error. The file and syslog outputs write
    // under the mutex; the UDP record output is fed by the binary-record
    // hook outside it.
    log_file_state file;
    log_net_state net;
    log_bsv_udp_state bsv;
    // Serialises setting up and closing the outputs (never held while
    // writing), so set-up may log.
    std::mutex conf;
};

// Snapshot of a logger's settings.
struct log2_info {
    int32_t level;
    uint32_t flags;
    uint8_t shell_out;
    uint8_t file_out;
    char file_name[4096];
    uint64_t file_size;
    uint8_t syslog_out;
    char syslog_url[8192];
    char bsv_url[8192];
};

int64_t log2_printf(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line,
                    const char* func, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
int64_t log2_vprintf(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line,
                     const char* func, const char* fmt, va_list ap) __attribute__((format(printf, 7, 0)));
// For a fatal-signal handler: log2_printf that waits at most wait_ms for
// the logger's lock (the failing thread may hold it) and otherwise writes the
// line to standard error only, without the lock. Unlike log2_printf it also
// logs from inside a log call of the same thread, and it skips the thread-name
// prefix (the name registry has a lock of its own).
int64_t log2_printf_bounded(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line,
                            const char* func, uint32_t wait_ms, const char* fmt, ...)
    __attribute__((format(printf, 8, 9)));
void log2_printf_plug(uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                      int32_t err, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
void log2_vprintf_errno(uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                        int32_t err, const char* fmt, va_list ap) __attribute__((format(printf, 7, 0)));
int64_t log2_puts(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line,
                  const char* func, const char* text);

int64_t log2_ioctl(log2_ctx* ctx, int32_t code, uintptr_t arg, uint32_t size);
inline int64_t log2_ioctl(log2_ctx* ctx, int32_t code, const char* text) {
    return log2_ioctl(ctx, code, reinterpret_cast<uintptr_t>(text), 0);
}
log2_ctx* log2_init(const char* ini_path, const char* name);
int log2_exit(log2_ctx* ctx);
// A logger of its own, separate from the process-wide one; freed by log2_exit.
log2_ctx* log2_new();

const char* log2_get_last_msg(log2_ctx* ctx);
void log_self_dbg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
bool log_self_dbg_on();

int log_level_2_int(const char* name);
const char* log_level_2_str(int value);
const char* log_level_2_prefix(int value);
const char* log_level_2_std(int value);
int log_prefix_2_int(const char* name);
uint32_t log_flags_2_int(const char* text);
const char* log_level_help();
const char* log_level_names();
void log2_set_thread_name(const char* name);

int log2_set_level(log2_ctx* ctx, int value);
int log2_set_level_str(log2_ctx* ctx, const char* name);
int log2_get_level(log2_ctx* ctx);
const char* log2_get_level_str(log2_ctx* ctx);
const char* log2_get_file_name(log2_ctx* ctx);
int log2_get_file_fd(log2_ctx* ctx);
void log2_get_info(log2_ctx* ctx, log2_info* info);
char* log2_info_text(log2_ctx* ctx);
int64_t log2_write_line(log2_ctx* ctx, uint32_t level, const char* tag, const char* line, uint32_t len);
void log2_set_hook(log2_ctx* ctx, log2_hook hook);

// Messages held back. A worker whose results may be thrown away (a read made
// ahead of its use) holds its thread's messages in one of these instead of
// writing them; the thread that takes the result writes them then, as if it
// had logged them itself, and a result thrown away drops its messages. Only
// messages the logger's level lets through at the time are kept.
struct log2_held_msg {
    log2_ctx* ctx;
    uint32_t level;
    const char* tag;
    const char* path;
    int32_t line;
    const char* func;
    int err;
    std::string text;
};
struct log2_held {
    std::vector<log2_held_msg> msgs;
};
// The calling thread's messages go to held from now on (nullptr: to the
// logger again).
void log2_hold(log2_held* held);
// Writes the held messages in order (each as the logger would have written
// it on the calling thread) and empties held.
void log2_held_write(log2_held* held);
// Drops the held messages.
inline void log2_held_clear(log2_held* held) { held->msgs.clear(); }

// Logs through the process-wide logger at the calling place.
#define LOG2(level, tag, ...) log2_printf(nullptr, (level), (tag), __FILE__, __LINE__, __func__, __VA_ARGS__)
