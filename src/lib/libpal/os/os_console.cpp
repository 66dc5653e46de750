#include "libpal/os/os_console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string_view>

#include "libpal/os/os_file.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"

// ---------------------------------------------------------------- console

namespace {

constexpr std::array<const char*, 10> k_colors = {
    "\033[37m",        // 0, 1: not in the table
    "\033[37m",        //
    "\033[07;37m",     // 2 reverse white
    "\033[32m",        // 3 green
    "\033[37m",        // 4 white
    "\033[36m",        // 5 cyan
    "\033[37m",        // 6 white
    "\033[01;33m",     // 7 bold yellow
    "\033[01;31m",     // 8 bold red
    "\033[01;07;31m",  // 9 bold reverse red
};

std::mutex g_raw_mu;
termios g_saved_tio{};
bool g_saved = false;

std::atomic<bool> g_colour{true};

// Standard error's progress line: whether one shows without its line break,
// and how long its text is. Every write to standard error made here takes
// the lock, so a progress line and another line never interleave.
struct err_progress {
    std::timed_mutex lock;
    bool open = false;
    size_t shown = 0;
};
err_progress g_progress;

// With g_progress.lock held.
bool end_progress_locked() {
    if (!g_progress.open) return true;
    g_progress.open = false;
    g_progress.shown = 0;
    return os_fd_write_all(2, "\n", 1);
}

// The pieces written to standard error at the start of a line, in order,
// under the lock (waited for at most wait_ms when that is not negative).
bool err_write_at_line_start(std::initializer_list<std::string_view> pieces, int32_t wait_ms = -1) {
    std::unique_lock<std::timed_mutex> g(g_progress.lock, std::defer_lock);
    if (wait_ms < 0) {
        fflush(stderr);
        g.lock();
    } else {
        (void)g.try_lock_for(std::chrono::milliseconds(wait_ms));
    }
    bool ok = !g.owns_lock() || end_progress_locked();
    for (std::string_view p : pieces)
        if (!p.empty() && !os_fd_write_all(2, p.data(), p.size())) ok = false;
    return ok;
}

}  // namespace

const char* os_console_color(int code) {
    return code >= 2 && code <= 9 ? k_colors[static_cast<size_t>(code)] : k_colors[0];
}

void os_console_set_colour(bool on) { g_colour.store(on, std::memory_order_relaxed); }

bool os_console_colour_on(int fd) { return g_colour.load(std::memory_order_relaxed) && fd >= 0 && isatty(fd) == 1; }

int os_console_puts(FILE* stream, int code, const char* text) {
    if (!stream) return -1;
    if (!text) text = "";
    bool colour = code && os_console_colour_on(fileno(stream));
    if (stream == stderr) {
        if (colour) err_write_at_line_start({os_console_color(code), text, OS_CONSOLE_RESET});
        else err_write_at_line_start({text});
    } else if (colour) {
        fprintf(stream, "%s%s%s", os_console_color(code), text, OS_CONSOLE_RESET);
    } else {
        fputs(text, stream);
    }
    return 0;
}

void os_console_progress(const char* text) {
    if (!text) text = "";
    char line[OS_CONSOLE_TEXT_SIZE];
    size_t len = strnlen(text, sizeof line - 2);
    line[0] = '\r';
    memcpy(line + 1, text, len);
    fflush(stderr);
    std::lock_guard<std::timed_mutex> g(g_progress.lock);
    size_t n = 1 + len;
    // Blanks over the rest of a longer text still showing.
    if (g_progress.open)
        while (n < 1 + g_progress.shown && n < sizeof line) line[n++] = ' ';
    (void)os_fd_write_all(2, line, n);
    g_progress.open = true;
    g_progress.shown = len;
}

void os_console_end_progress() {
    fflush(stderr);
    std::lock_guard<std::timed_mutex> g(g_progress.lock);
    (void)end_progress_locked();
}

int os_console_err_write(const char* text, size_t len, int32_t wait_ms) {
    return err_write_at_line_start({std::string_view(text ? text : "", text ? len : 0)}, wait_ms) ? 0 : -1;
}

int os_console_printf(FILE* stream, int code, const char* fmt, ...) {
    char text[OS_CONSOLE_TEXT_SIZE];
    text[0] = 0;
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        if (vsnprintf(text, sizeof text, fmt, ap) < 0) text[0] = 0;
        va_end(ap);
    }
    return os_console_puts(stream, code, text);
}

char* os_console_gets(char* buf, size_t size) {
    if (!buf || size < 2) return nullptr;
    if (!fgets(buf, static_cast<int>(size < 0x7fffffff ? size : 0x7fffffff), stdin)) return nullptr;
    size_t len = strlen(buf);
    if (len && buf[len - 1] == '\n') buf[--len] = 0;
    if (len && buf[len - 1] == '\r') buf[--len] = 0;
    return buf;
}

int os_console_raw(int on) {
    std::lock_guard<std::mutex> g(g_raw_mu);
    if (on == 1) {
        termios tio{};
        if (tcgetattr(STDIN_FILENO, &tio) != 0) return -1;
        if (!g_saved) {
            g_saved_tio = tio;
            g_saved = true;
        }
        tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        return tcsetattr(STDIN_FILENO, TCSANOW, &tio) == 0 ? 0 : -1;
    }
    if (!g_saved) return 0;
    g_saved = false;
    return tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_tio) == 0 ? 0 : -1;
}

void os_console_wait_key() {
    os_console_raw(1);
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        int rc = poll(&pfd, 1, 10);
        if (rc > 0 || (rc < 0 && errno != EINTR)) break;
    }
    os_console_raw(0);
}

// ----------------------------------------------------------- time texts

namespace {

bool local_now(tm* out, long* nsec) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *nsec = ts.tv_nsec;
    time_t t = ts.tv_sec;
    return localtime_r(&t, out) != nullptr;
}

char* print_date(char* buf, size_t size, const tm* t) {
    if (t)
        str_sprintf_s(buf, size, "%04d-%02d-%02d", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday);
    else
        str_sprintf_s(buf, size, "0000-00-00");
    return buf;
}

// Compact stamp with `digits` of the fraction of a second (0, 3 or 6).
char* time_compact(char* buf, size_t size, int digits) {
    if (!buf || size == 0) return buf;
    tm t{};
    long nsec = 0;
    if (!local_now(&t, &nsec)) {
        buf[0] = 0;
        return buf;
    }
    str_sprintf_s(buf, size, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec);
    if (digits == 3)
        strcat_printf(buf, size, "%03d", static_cast<int>(nsec / 1000000));
    else if (digits == 6)
        strcat_printf(buf, size, "%06d", static_cast<int>(nsec / 1000));
    return buf;
}

}  // namespace

char* os_time_str(char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    tm t{};
    long nsec = 0;
    if (!local_now(&t, &nsec)) {
        buf[0] = 0;
        return buf;
    }
    str_sprintf_s(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(nsec / 1000000));
    return buf;
}

char* os_time_compact(char* buf, size_t size) { return time_compact(buf, size, 0); }

char* os_time_compact_ms(char* buf, size_t size) { return time_compact(buf, size, 3); }

char* os_time_compact_us(char* buf, size_t size) { return time_compact(buf, size, 6); }

char* os_elapsed_str(uint64_t start_us, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    uint64_t now = os_time_us();
    uint64_t d = now > start_us ? now - start_us : 0;
    str_sprintf_s(buf, size, "%d.%06u", static_cast<int>(d / 1000000), static_cast<unsigned>(d % 1000000));
    return buf;
}

char* os_time_to_str(int64_t seconds, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    auto tt = static_cast<time_t>(seconds);
    tm t{};
    if (!localtime_r(&tt, &t)) {
        str_sprintf_s(buf, size, "0000-00-00 00:00:00");
        return buf;
    }
    str_sprintf_s(buf, size, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return buf;
}

int64_t os_str_to_time(const char* text) {
    if (!text) return -1;
    tm t{};
    if (sscanf(text, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;  // the zone's own rule for that date
    return static_cast<int64_t>(mktime(&t));
}

char* os_date_by_word_at(const char* word, time_t now, char* buf, size_t size) {
    if (!word || !buf || size == 0) return buf;
    struct offset {
        std::string_view word;
        time_t back;
    };
    static constexpr offset k_words[] = {
        {"today", 0},
        {"last_week", 604800},
        {"last_mon", 2592000},
        {"last_year", 31536000},
    };
    for (const auto& w : k_words) {
        if (w.word != word) continue;
        time_t when = now - w.back;
        tm t{};
        return print_date(buf, size, localtime_r(&when, &t) ? &t : nullptr);
    }
    return buf;
}

char* os_date_by_word(const char* word, char* buf, size_t size) {
    return os_date_by_word_at(word, time(nullptr), buf, size);
}

uint32_t os_date_packed() {
    tm t{};
    long nsec = 0;
    if (!local_now(&t, &nsec)) return 0;
    return static_cast<uint32_t>(t.tm_mday) | static_cast<uint32_t>(t.tm_mon) << 8 |
           static_cast<uint32_t>(t.tm_year) << 16;
}

int os_localtime_get(os_localtime* out) {
    tm t{};
    long nsec = 0;
    if (!local_now(&t, &nsec)) return -1;
    if (out) {
        out->year = static_cast<uint16_t>(t.tm_year + 1900);
        out->month = static_cast<uint16_t>(t.tm_mon + 1);
        out->wday = static_cast<uint16_t>(t.tm_wday);
        out->day = static_cast<uint16_t>(t.tm_mday);
        out->hour = static_cast<uint16_t>(t.tm_hour);
        out->minute = static_cast<uint16_t>(t.tm_min);
        out->second = static_cast<uint16_t>(t.tm_sec);
        out->msec = static_cast<uint16_t>(nsec / 1000000);
    }
    return t.tm_wday;
}

// --------------------------------------------------------------- progress

double pl_percent_left(pl_progress* p) {
    if (!p || p->total == 0) return 0.0;
    if (p->done > p->total) p->done = p->total;
    return static_cast<double>(p->total - p->done) / static_cast<double>(p->total) * 100.0;
}
