#include "liblog/log2.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/time.h>

#include "libbsv/bsv_chan.h"
#include "libbsv/bsv_log.h"
#include "libconf/ini/conf.h"
#include "libpal/basic/verr.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_console.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_size.h"

namespace {

struct level_row {
    int value;
    const char* name;
    const char* prefix;
    const char* std_name;
    const char* color;
};

constexpr level_row k_levels[] = {
    {8, "verb", "VERB", "debug", "\033[32m"},      {7, "dbg", "DEBUG", "debug", "\033[36m"},
    {6, "info", "INFO", "info", nullptr},          {5, "noti", "NOTI", "warning", "\033[07;37m"},
    {4, "warn", "WARN", "warning", "\033[01;33m"}, {3, "err", "ERROR", "error", "\033[01;31m"},
    {2, "crit", "CRIT", "error", "\033[01;07;31m"},
};

constexpr const char* k_reset = "\033[0m";

const level_row* level_find(int value) {
    for (const auto& r : k_levels)
        if (r.value == value) return &r;
    return nullptr;
}

const char* unknown_level(int value) {
    thread_local char text[16];
    snprintf(text, sizeof text, "unkown(%d)", value);
    return text;
}

// The process-wide logger lives in static storage and is never freed, so a
// thread that still logs while the program shuts down never touches freed
// memory. log2_exit only closes its outputs and puts it back to the defaults.
os_mutex g_mutex = {PTHREAD_MUTEX_INITIALIZER};
log2_ctx g_ctx;
std::mutex g_life;                // guards the transitions below
std::atomic<int> g_mark{0};       // 0 none, 1 made by first use, 2 taken by log2_init
std::atomic<bool> g_exit_done{false};
std::atomic<bool> g_self_dbg{false};

// Set while this thread is inside the logger: a log call made from within
// (a failed allocation, an assertion in a helper) is dropped instead of
// deadlocking on the logger's mutex.
thread_local int t_in_logger = 0;

// Where this thread's messages are held (log2_hold), or nothing.
thread_local log2_held* t_held = nullptr;

struct in_logger_guard {
    in_logger_guard() { ++t_in_logger; }
    ~in_logger_guard() { --t_in_logger; }
};

void ctx_defaults(log2_ctx* c, os_mutex* m) {
    c->flags.store(LOG2_F_DEFAULT);
    c->level.store(LOG2_DBG);
    c->shell_out.store(1);
    c->file_out.store(0);
    c->syslog_out.store(0);
    c->mutex = m;
    c->cb_high.store(nullptr);
    c->cb_low.store(nullptr);
    c->hook.store(nullptr);
    os_mutex_guard g(m);
    c->tail[0] = 0;
    c->tail_cap = LOG2_TAIL_SIZE;
    c->tail_len = 0;
    log_file_init(&c->file, m);
    log_net_init(&c->net, c);
    log_bsv_udp_init(&c->bsv);
}

// Closes the three outputs of a context (before it is freed or reset).
void close_outputs(log2_ctx* c) {
    std::lock_guard<std::mutex> g(c->conf);
    log_bsv_udp_close(&c->bsv);
    log_net_close(&c->net);
    log_file_close(&c->file);
}

log2_ctx* global_ctx() {
    if (g_mark.load(std::memory_order_acquire) != 0) return &g_ctx;
    std::lock_guard<std::mutex> lk(g_life);
    if (g_mark.load(std::memory_order_relaxed) == 0) {
        ctx_defaults(&g_ctx, &g_mutex);
        g_exit_done.store(false);
        g_mark.store(1, std::memory_order_release);
    }
    return &g_ctx;
}

log2_ctx* get_ctx(log2_ctx* ctx) { return ctx ? ctx : global_ctx(); }

// Appends to a fixed buffer, cutting what does not fit. The logger never
// logs about its own buffers.
struct line_buf {
    char* buf;
    size_t cap;
    size_t len;

    void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        vprintf(fmt, ap);
        va_end(ap);
    }
    void vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 2, 0))) {
        if (len + 1 >= cap) return;
        int n = vsnprintf(buf + len, cap - len, fmt, ap);
        if (n > 0) len = std::min(cap - 1, len + static_cast<size_t>(n));
    }
    void append(const char* s) {
        size_t n = strlen(s);
        if (len + 1 >= cap) return;
        n = std::min(n, cap - 1 - len);
        memcpy(buf + len, s, n);
        len += n;
        buf[len] = 0;
    }
    bool full() const { return len >= cap - 1; }
    void end_line() {
        if (len > 0 && buf[len - 1] == '\n') return;
        if (len + 1 < cap) {
            buf[len++] = '\n';
            buf[len] = 0;
        } else {
            buf[cap - 2] = '\n';
        }
    }
};

// Standard error, coloured by level when flag 0x20 is set and standard error
// is a terminal; one write per line, at the start of a line (after a
// progress line that shows, a line break comes first).
void log_shell_write(log2_ctx* c, int lv, const char* line, size_t len, int32_t wait_ms) {
    const level_row* r = level_find(lv);
    if ((c->flags.load() & LOG2_F_COLOR) && r && r->color && isatty(2) == 1) {
        char out[LOG2_LINE_SIZE + 32];
        size_t cl = strlen(r->color);
        memcpy(out, r->color, cl);
        memcpy(out + cl, line, len);
        memcpy(out + cl + len, k_reset, 4);
        (void)os_console_err_write(out, cl + len + 4, wait_ms);
    } else {
        (void)os_console_err_write(line, len, wait_ms);
    }
}

// Keeps the newest whole lines within the tail buffer: when a line does not
// fit, whole leading lines are dropped until at least its length is free.
void tail_append(log2_ctx* c, const char* line, size_t len) {
    if (len + 1 > c->tail_cap) return;
    if (c->tail_len + len + 1 > c->tail_cap) {
        size_t drop = 0;
        while (drop < len) {
            const char* nl = static_cast<const char*>(memchr(c->tail + drop, '\n', c->tail_len - drop));
            if (!nl) {
                drop = c->tail_len;
                break;
            }
            drop = static_cast<size_t>(nl - c->tail) + 1;
        }
        memmove(c->tail, c->tail + drop, c->tail_len - drop);
        c->tail_len -= drop;
    }
    memcpy(c->tail + c->tail_len, line, len);
    c->tail_len += len;
    c->tail[c->tail_len] = 0;
}

[[noreturn]] void crit_exit() {
    // Other threads may still run: leave without static destructors or atexit handlers.
    fflush(stderr);
    fflush(stdout);
    _exit(1);
}

int64_t log2_write(log2_ctx* c, uint32_t level, const char* tag, const char* line, size_t len, const char* file_text,
                   int32_t wait_ms = -1) {
    int lv = static_cast<int>(level & 0xff);
    if (c->level.load() < lv) return 0;
    char tagbuf[256];
    snprintf(tagbuf, sizeof tagbuf, "%s", tag ? tag : "");
    if (os_pthread_lock_within(&c->mutex->mutex, wait_ms)) {
        log2_cb hi = c->cb_high.load(), lo = c->cb_low.load();
        if (hi && lo) (lv < 5 ? lo : hi)(level, tagbuf, line, static_cast<uint32_t>(len));
        if (c->shell_out.load()) log_shell_write(c, lv, line, len, wait_ms);
        // A failing output drops the message for itself only.
        if (c->file_out.load()) {
            if (file_text) log_file_write(&c->file, level, tagbuf, file_text, strlen(file_text));
            else log_file_write(&c->file, level, tagbuf, line, len);
        }
        if (c->syslog_out.load()) log_net_write(&c->net, level, tagbuf, line, len);
        tail_append(c, line, len);
        os_mutex_unlock(c->mutex);
    } else if (c->shell_out.load()) {
        // The lock stayed taken (a thread that failed inside the logger):
        // standard error is written without it, the other outputs are skipped.
        log_shell_write(c, lv, line, len, wait_ms);
    }
    if ((level & 0x2FF) == LOG2_CRIT) crit_exit();
    return static_cast<int64_t>(len);
}

// Builds the line with its prefixes and message, then hands it to the
// binary-record hook and the outputs. msg_buf, when given, is msg's own
// buffer (LOG2_LINE_SIZE bytes): the error text is appended there too, so the
// record carries it.
int64_t log_emit(log2_ctx* c, uint32_t level, const char* tag, const char* path, int32_t line_no, const char* func,
                 int err, const char* msg, char* msg_buf, int32_t wait_ms = -1) {
    char line_mem[LOG2_LINE_SIZE], file_mem[LOG2_LINE_SIZE];
    line_buf line{line_mem, sizeof line_mem, 0};
    line_buf file{file_mem, sizeof file_mem, 0};
    line_mem[0] = file_mem[0] = 0;
    uint32_t flags = c->flags.load();
    // A bounded write takes no other lock: the thread name needs the registry's.
    if (wait_ms >= 0) flags &= ~LOG2_F_TID_NAME;

    if (flags & (LOG2_F_TIME | LOG2_F_TIME_MS)) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        if (flags & LOG2_F_TIME)
            line.printf("%02d:%02d:%02d ", tm.tm_hour, tm.tm_min, tm.tm_sec);
        else
            line.printf("%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    }
    if ((flags & LOG2_F_TID) && !line.full()) line.printf("[%u] ", os_thread_id());
    if ((flags & LOG2_F_TID_NAME) && !line.full()) {
        char name[256];
        os_thread_name_get(name, sizeof name);
        line.printf("[%s] ", name);
    }
    if ((flags & LOG2_F_FILE) && !line.full()) {
        const char* p = path ? path : "";
        if (flags & LOG2_F_FILE_BASE) {
            for (const char* q = p; *q; ++q)
                if (*q == '/' || *q == '\\') p = q + 1;
        }
        line.printf("[%s:%d] ", p, line_no);
    }
    if ((flags & LOG2_F_FUNC) && func && !line.full()) {
        line.printf("%s(): ", func);
        file.printf("%s(): ", func);
    }
    line.append(msg);
    file.append(msg);
    size_t len = line.len;
    if (level & LOG2_ERRNO) {
        char etext[256];
        os_strerror_r(err, etext, sizeof etext);
        if (len < LOG2_LINE_SIZE) {
            line.printf("%s\n", etext);
            file.printf("%s\n", etext);
            if (msg_buf) {
                line_buf m{msg_buf, LOG2_LINE_SIZE, strlen(msg_buf)};
                m.printf("%s\n", etext);
            }
            len = line.len;
        }
    }
    if (wait_ms >= 0) bsv_log_hook_bounded(level, tag, path, line_no, func, msg, static_cast<uint32_t>(wait_ms));
    else bsv_log_hook(level, tag, path, line_no, func, msg);
    if (level & LOG2_BSV_ONLY) return static_cast<int64_t>(len);
    line.end_line();
    file.end_line();
    log2_write(c, level, tag, line_mem, strlen(line_mem), file_mem, wait_ms);
    return static_cast<int64_t>(len);
}

}  // namespace

int64_t log2_vprintf(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                     const char* fmt, va_list ap) {
    int saved = errno;
    if (t_in_logger) return 0;
    in_logger_guard guard;
    log2_ctx* c = get_ctx(ctx);
    if (t_held) {
        // Held back: formatted now, written (or dropped) by another thread.
        if (c->hook.load() || c->level.load() >= static_cast<int>(level & 0xff)) {
            char msg[LOG2_LINE_SIZE];
            msg[0] = 0;
            if (fmt) vsnprintf(msg, sizeof msg, fmt, ap);
            t_held->msgs.push_back({ctx, level, tag, path, line, func, saved, msg});
        }
        errno = saved;
        return 0;
    }
    if (log2_hook hook = c->hook.load()) {
        hook(level, tag, path, line, func, saved, fmt, ap);
        return 0;
    }
    if (c->level.load() < static_cast<int>(level & 0xff)) {
        errno = saved;
        return 0;
    }
    char msg[LOG2_LINE_SIZE];
    msg[0] = 0;
    if (fmt) vsnprintf(msg, sizeof msg, fmt, ap);
    int64_t n = log_emit(c, level, tag, path, line, func, saved, msg, msg);
    errno = saved;
    return n;
}

int64_t log2_printf(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                    const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int64_t n = log2_vprintf(ctx, level, tag, path, line, func, fmt, ap);
    va_end(ap);
    return n;
}

int64_t log2_printf_bounded(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line,
                            const char* func, uint32_t wait_ms, const char* fmt, ...) {
    int saved = errno;
    in_logger_guard guard;
    log2_ctx* c = get_ctx(ctx);
    if (c->level.load() < static_cast<int>(level & 0xff)) return 0;
    char msg[LOG2_LINE_SIZE];
    msg[0] = 0;
    va_list ap;
    va_start(ap, fmt);
    if (fmt) vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    auto bound = static_cast<int32_t>(std::min<uint32_t>(wait_ms, 0x7fffffff));
    int64_t n = log_emit(c, level, tag, path, line, func, saved, msg, msg, bound);
    errno = saved;
    return n;
}

void log2_vprintf_errno(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, int32_t err,
                        const char* fmt, va_list ap) {
    if (level & LOG2_ERRNO) errno = err;
    log2_vprintf(nullptr, level, tag, path, line, func, fmt, ap);
}

void log2_printf_plug(uint32_t level, const char* tag, const char* path, int32_t line, const char* func, int32_t err,
                      const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log2_vprintf_errno(level, tag, path, line, func, err, fmt, ap);
    va_end(ap);
}

void log2_hold(log2_held* held) { t_held = held; }

void log2_held_write(log2_held* held) {
    if (!held) return;
    const int saved = errno;
    log2_held* keep = t_held;
    t_held = nullptr;
    for (log2_held_msg& m : held->msgs) {
        errno = m.err;
        log2_printf(m.ctx, m.level, m.tag, m.path, m.line, m.func, "%s", m.text.c_str());
    }
    held->msgs.clear();
    t_held = keep;
    errno = saved;
}

int64_t log2_puts(log2_ctx* ctx, uint32_t level, const char* tag, const char* path, int32_t line, const char* func,
                  const char* text) {
    int saved = errno;
    if (t_in_logger) return 0;
    if (t_held) return log2_printf(ctx, level, tag, path, line, func, "%s", text ? text : "");
    in_logger_guard guard;
    log2_ctx* c = get_ctx(ctx);
    if (c->level.load() < static_cast<int>(level & 0xff)) return 0;
    int64_t n = log_emit(c, level, tag, path, line, func, saved, text ? text : "", nullptr);
    errno = saved;
    return n;
}

int64_t log2_write_line(log2_ctx* ctx, uint32_t level, const char* tag, const char* line, uint32_t len) {
    if (!line) return 0;
    // The outputs take lines of the logger's own size: a longer one is cut,
    // as a formatted message is, and still ends with its line break.
    char mem[LOG2_LINE_SIZE];
    line_buf cut{mem, sizeof mem, 0};
    size_t n = len == 0xFFFFFFFFu ? strlen(line) : len;
    if (n > sizeof mem - 1) {
        memcpy(mem, line, sizeof mem - 1);
        cut.len = sizeof mem - 1;
        mem[cut.len] = 0;
        cut.end_line();
        line = mem;
        n = cut.len;
    }
    in_logger_guard guard;
    return log2_write(get_ctx(ctx), level, tag, line, n, nullptr);
}

// ---- settings ----

bool log_self_dbg_on() { return g_self_dbg.load(); }

void log_self_dbg(const char* fmt, ...) {
    if (!g_self_dbg.load()) return;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    (void)os_fd_write_all(2, buf, strlen(buf));
}

int log_level_2_int(const char* name) {
    if (name)
        for (const auto& r : k_levels)
            if (strcmp(r.name, name) == 0) return r.value;
    fprintf(stderr, "error: invalid level [%s]\n", name ? name : "");
    return -1;
}

const char* log_level_2_str(int value) {
    const level_row* r = level_find(value);
    return r ? r->name : unknown_level(value);
}

const char* log_level_2_prefix(int value) {
    const level_row* r = level_find(value);
    return r ? r->prefix : unknown_level(value);
}

const char* log_level_2_std(int value) {
    const level_row* r = level_find(value);
    return r ? r->std_name : unknown_level(value);
}

int log_prefix_2_int(const char* name) {
    if (name)
        for (const auto& r : k_levels)
            if (strcmp(r.prefix, name) == 0) return r.value;
    fprintf(stderr, "error: invalid prefix [%s]\n", name ? name : "");
    return -1;
}

uint32_t log_flags_2_int(const char* text) {
    uint32_t f = LOG2_F_COLOR;
    const char* p = text ? text : "";
    while (true) {
        const char* bar = strchr(p, '|');
        size_t n = bar ? static_cast<size_t>(bar - p) : strlen(p);
        char w[64];
        if (n < sizeof w) {
            memcpy(w, p, n);
            w[n] = 0;
        } else {
            snprintf(w, sizeof w, "%.*s", static_cast<int>(sizeof w - 1), p);
        }
        if (strcmp(w, "no_colour") == 0) f &= ~LOG2_F_COLOR;
        else if (strcmp(w, "time") == 0) f |= LOG2_F_TIME;
        else if (strcmp(w, "time_ms") == 0) f = (f & ~LOG2_F_TIME) | LOG2_F_TIME_MS;
        else if (strcmp(w, "func") == 0) f |= LOG2_F_FUNC;
        else if (strcmp(w, "tid") == 0) f |= LOG2_F_TID;
        else if (strcmp(w, "tid_name") == 0) f |= LOG2_F_TID_NAME;
        else if (strcmp(w, "file") == 0) f |= LOG2_F_FILE | LOG2_F_FILE_BASE;
        else fprintf(stderr, "Invalid tags: [%s]\n", w);
        if (!bar) break;
        p = bar + 1;
    }
    log_self_dbg("log_flags_2_int=%s 0x%x\n", text ? text : "", f);
    return f;
}

const char* log_level_help() {
    static const char* text = [] {
        static char buf[128];
        snprintf(buf, sizeof buf, "log.verb=%d\nlog.dbg=%d\nlog.info=%d\nlog.noti=%d\nlog.warn=%d\nlog.err=%d\nlog.crit=%d",
                 8, 7, 6, 5, 4, 3, 2);
        return buf;
    }();
    return text;
}

const char* log_level_names() { return "verb|dbg|info|noti|warn|err|crit"; }

void log2_set_thread_name(const char* name) {
    if (name) os_thread_name_set(name);
    else os_thread_name_del();
}

int64_t log2_ioctl(log2_ctx* ctx, int32_t code, uintptr_t arg, uint32_t size) {
    log2_ctx* c = get_ctx(ctx);
    const char* text = reinterpret_cast<const char*>(arg);
    switch (code) {
    case LOG2_IOC_LEVEL:
        c->level.store(static_cast<int32_t>(arg));
        return 0;
    case LOG2_IOC_FLAGS:
        c->flags.store(static_cast<uint32_t>(arg));
        return 0;
    case LOG2_IOC_LEVEL_STR: {
        int v = log_level_2_int(text);
        if (v < 0) return -1;
        c->level.store(v);
        return 0;
    }
    case LOG2_IOC_FLAGS_STR:
        c->flags.store(log_flags_2_int(text));
        return 0;
    case LOG2_IOC_CB_HIGH:
        c->cb_high.store(reinterpret_cast<log2_cb>(arg));
        return 0;
    case LOG2_IOC_CB_LOW:
        c->cb_low.store(reinterpret_cast<log2_cb>(arg));
        return 0;
    case LOG2_IOC_GET_LEVEL:
        if (!arg || size < 4) return -1;
        *reinterpret_cast<uint32_t*>(arg) = static_cast<uint32_t>(c->level.load());
        return 0;
    case LOG2_IOC_FILE: {
        std::lock_guard<std::mutex> g(c->conf);
        return log_file_open(&c->file, text);
    }
    case LOG2_IOC_FILE_DIR: {
        std::lock_guard<std::mutex> g(c->conf);
        return log_file_set_dir(&c->file, text);
    }
    case LOG2_IOC_FILE_SIZE:
        return log_file_set_size(&c->file, static_cast<int64_t>(std::min<uintptr_t>(arg, INT64_MAX)));
    case LOG2_IOC_BSV_URL: {
        std::lock_guard<std::mutex> g(c->conf);
        return log_bsv_udp_open(&c->bsv, text);
    }
    case LOG2_IOC_SYSLOG_URL: {
        std::lock_guard<std::mutex> g(c->conf);
        return log_net_open(&c->net, text);
    }
    case LOG2_IOC_SHELL_OUT:
        c->shell_out.store(arg ? 1 : 0);
        return 0;
    case LOG2_IOC_FILE_OUT:
        c->file_out.store(arg ? 1 : 0);
        return 0;
    case LOG2_IOC_SYSLOG_OUT:
        c->syslog_out.store(arg ? 1 : 0);
        return 0;
    default:
        fprintf(stderr, "Invalid command code\n");
        return -1;
    }
}

log2_ctx* log2_new() {
    auto* c = static_cast<log2_ctx*>(pl_zalloc(sizeof(log2_ctx)));
    if (!c) return nullptr;
    new (c) log2_ctx();
    os_mutex* m = os_mutex_new();
    if (!m) {
        c->~log2_ctx();
        pl_free(c);
        return nullptr;
    }
    ctx_defaults(c, m);
    return c;
}

namespace {

// The settings of section "log" (or "log_<name>") of a configuration file,
// in a fixed order; an absent or empty key changes nothing. The outputs a
// build does not have refuse their keys with their own message.
void log2_apply_conf(log2_ctx* c, conf_ctx* conf, const char* name) {
    char section[300];
    if (name) snprintf(section, sizeof section, "log_%.255s", name);
    else snprintf(section, sizeof section, "log");
    auto value = [&](const char* key) {
        const char* v = conf_get_string(conf, section, key, "");
        return v ? v : "";
    };

    const char* v = value("debug");
    if (strcmp(v, "1") == 0) g_self_dbg.store(true);
    log_self_dbg("log.debug=%s\n", v);

    v = value("level");
    log_self_dbg("log.level=%s\n", v);
    if (*v) log2_ioctl(c, LOG2_IOC_LEVEL_STR, v);

    v = value("flags");
    log_self_dbg("log.flags=%s\n", v);
    if (*v) log2_ioctl(c, LOG2_IOC_FLAGS_STR, v);

    v = value("syslog");
    log_self_dbg("log.syslog=%s\n", v);
    if (*v) {
        log2_ioctl(c, LOG2_IOC_SYSLOG_URL, v);
        log2_ioctl(c, LOG2_IOC_SYSLOG_OUT, 1, 0);
    }

    v = value("bsvlog");
    log_self_dbg("log.bsvlog=%s\n", v);
    if (*v) log2_ioctl(c, LOG2_IOC_BSV_URL, v);

    v = value("file_dir");
    log_self_dbg("log.file_dir=%s\n", v);
    if (*v) log2_ioctl(c, LOG2_IOC_FILE_DIR, v);

    v = value("file_mode");
    if (*v) log_file_set_mode(&c->file, v);

    v = value("file");
    log_self_dbg("log.file=%s\n", v);
    if (*v) {
        // The switch goes on also when the open failed; the output then
        // drops its lines.
        log2_ioctl(c, LOG2_IOC_FILE, v);
        log2_ioctl(c, LOG2_IOC_FILE_OUT, 1, 0);
    }

    v = value("file_size");
    log_self_dbg("log.file_size=%s\n", v);
    if (*v) {
        constexpr uint64_t k_min_file_size = 2048;
        uint64_t size = str_to_size(v);
        if (size >= k_min_file_size) {
            // The cap is an i32: a larger size is its largest value, not a wrapped one.
            size = std::min<uint64_t>(size, INT32_MAX);
            log2_ioctl(c, LOG2_IOC_FILE_SIZE, static_cast<uintptr_t>(size), 0);
            log_self_dbg("log2_ioctl log.file_size=%llu\n", static_cast<unsigned long long>(size));
        } else {
            log2_printf(c, LOG2_WARN, "tag", __FILE__, __LINE__, __func__,
                        "log2_ioctl log.file_size=%llu (must>=%llu error)\n", static_cast<unsigned long long>(size),
                        static_cast<unsigned long long>(k_min_file_size));
        }
    }
}

}  // namespace

log2_ctx* log2_init(const char* ini_path, const char* name) {
    if (getenv("KXDBGLOG")) g_self_dbg.store(true);
    log2_ctx* c;
    {
        std::lock_guard<std::mutex> lk(g_life);
        int mark = g_mark.load();
        if (mark == 0) {
            ctx_defaults(&g_ctx, &g_mutex);
            g_exit_done.store(false);
            g_mark.store(2);
            c = &g_ctx;
        } else if (mark == 1) {
            g_mark.store(2);
            c = &g_ctx;
        } else {
            c = nullptr;
        }
    }
    if (!c) c = log2_new();
    if (!c) return nullptr;
    log_self_dbg("conf_file=%s\n", ini_path ? ini_path : "");
    if (!ini_path) return c;
    conf_ctx* conf = conf_load(ini_path);
    if (!conf) {
        log_self_dbg("conf_load %s failed\n", ini_path);
        return c;
    }
    log2_apply_conf(c, conf, name);
    conf_close(conf);
    return c;
}

int log2_exit(log2_ctx* ctx) {
    if (ctx && ctx != &g_ctx) {
        close_outputs(ctx);
        os_mutex_free(ctx->mutex);
        ctx->~log2_ctx();
        pl_free(ctx);
        return 0;
    }
    if (g_exit_done.exchange(true)) return 0;
    std::lock_guard<std::mutex> lk(g_life);
    if (g_mark.load() == 0) return 0;
    close_outputs(&g_ctx);
    bsv_exit();
    os_thread_name_free();
    // Back to the defaults: a later log call starts afresh.
    g_mark.store(0, std::memory_order_release);
    return 0;
}

const char* log2_get_last_msg(log2_ctx* ctx) { return get_ctx(ctx)->tail; }

int log2_set_level(log2_ctx* ctx, int value) {
    get_ctx(ctx)->level.store(value);
    return value;
}

int log2_set_level_str(log2_ctx* ctx, const char* name) {
    int v = log_level_2_int(name);
    if (v < 0) return -1;
    get_ctx(ctx)->level.store(v);
    return 0;
}

int log2_get_level(log2_ctx* ctx) { return get_ctx(ctx)->level.load(); }

const char* log2_get_level_str(log2_ctx* ctx) { return log_level_2_str(get_ctx(ctx)->level.load()); }

const char* log2_get_file_name(log2_ctx* ctx) { return log_file_get_name(&get_ctx(ctx)->file); }

int log2_get_file_fd(log2_ctx* ctx) {
    log2_ctx* c = get_ctx(ctx);
    os_mutex_guard g(c->mutex);
    return log_file_get_fd(&c->file);
}

void log2_get_info(log2_ctx* ctx, log2_info* info) {
    if (!info) return;
    log2_ctx* c = get_ctx(ctx);
    std::lock_guard<std::mutex> conf(c->conf);
    os_mutex_guard g(c->mutex);
    info->level = c->level.load();
    info->flags = c->flags.load();
    info->shell_out = c->shell_out.load();
    info->file_out = c->file_out.load();
    snprintf(info->file_name, sizeof info->file_name, "%s", log_file_get_name(&c->file));
    info->file_size = static_cast<uint64_t>(log_file_get_size(&c->file));
    info->syslog_out = c->syslog_out.load();
    snprintf(info->syslog_url, sizeof info->syslog_url, "%s", log_net_get_url(&c->net));
    snprintf(info->bsv_url, sizeof info->bsv_url, "%s", log_bsv_udp_get_url(&c->bsv));
}

char* log2_info_text(log2_ctx* ctx) {
    log2_info* i = static_cast<log2_info*>(pl_zalloc(sizeof(log2_info)));
    if (!i) return nullptr;
    log2_get_info(ctx, i);
    auto q = [](const char* s) { return strpbrk(s, " \t;") ? "'" : ""; };
    char* out = nullptr;
    os_asprintf(&out,
                "log_level=%s\nlog_shell_enale_out=%d\nlog_file_enale_out=%d\nlog_file_name=%s%s%s\n"
                "log_file_max_size=%d\nlog_syslog_enale_out=%d\nlog_syslog_url=%s%s%s\nlog_bsvlog_url=%s%s%s\n",
                log_level_2_str(i->level), i->shell_out, i->file_out, q(i->file_name), i->file_name, q(i->file_name),
                static_cast<int>(i->file_size), i->syslog_out, q(i->syslog_url), i->syslog_url, q(i->syslog_url),
                q(i->bsv_url), i->bsv_url, q(i->bsv_url));
    pl_free(i);
    return out;
}

void log2_set_hook(log2_ctx* ctx, log2_hook hook) { get_ctx(ctx)->hook.store(hook); }
