#include "liblog/log_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_types.h"
#include "libbsvf/bsvf_pcap.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_fileutil.h"
#include "libpal/os/os_fopen.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"
#include "liblog/log_rewrite.h"

namespace {

bool ends_with_pcap(const char* path) {
    size_t n = strlen(path);
    return n >= 5 && strcmp(path + n - 5, ".pcap") == 0;
}

// Streams are opened with read access too (the cap reads the file back)
// and closed on exec.
FILE* open_stream(const char* path, const char* mode) {
    char m[8];
    snprintf(m, sizeof m, "%c+e", mode[0]);
    return os_fopen(path, m);
}

void remember_identity(log_file_state* s) {
    struct stat st {};
    if (s->stream && fstat(fileno(s->stream), &st) == 0) {
        s->dev = st.st_dev;
        s->ino = st.st_ino;
    } else {
        s->dev = 0;
        s->ino = 0;
    }
}

void close_stream(log_file_state* s) {
    if (s->stream) fclose(s->stream);
    s->stream = nullptr;
    s->dev = 0;
    s->ino = 0;
}

// The stream writes the file the name now names: false when the file was
// removed, replaced (rotated by someone else) or is no regular file.
bool stream_current(const log_file_state* s) {
    if (!s->stream) return false;
    struct stat st {};
    if (stat(s->name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return st.st_dev == s->dev && st.st_ino == s->ino;
}

bool reopen_append(log_file_state* s) {
    close_stream(s);
    if (!s->name[0]) return false;
    s->stream = os_fopen(s->name, "a+e");
    remember_identity(s);
    return s->stream != nullptr;
}

bool write_out(FILE* f, const char* data, size_t len) {
    return fwrite(data, 1, len, f) == len && fflush(f) == 0 && !ferror(f);
}

// Keeps the whole lines of the last cap/2 bytes once the file has reached
// the cap.
void apply_cap(log_file_state* s) {
    int32_t cap = s->size.load(std::memory_order_relaxed);
    struct stat st {};
    if (!s->stream || fstat(fileno(s->stream), &st) != 0 || st.st_size < cap) return;
    size_t keep = static_cast<size_t>(cap / 2);
    if (keep == 0) return;
    auto* buf = static_cast<char*>(pl_malloc(keep));
    if (!buf) return;
    ssize_t got = pread(fileno(s->stream), buf, keep, st.st_size - static_cast<off_t>(keep));
    if (got > 0) {
        size_t n = static_cast<size_t>(got);
        const char* nl = static_cast<const char*>(memchr(buf, '\n', n));
        size_t from = nl ? static_cast<size_t>(nl - buf) + 1 : 1;
        if (log_file_replace(s->name, nullptr, 0, buf + from, n - from) == 0) {
            // The same file, now shorter: the stream continues at its new
            // end; a failed reopen is retried by the next message.
            reopen_append(s);
        }
    }
    pl_free(buf);
}

// Swaps a new output into the state under its lock; the old one is closed
// afterwards, outside it.
void install(log_file_state* s, uint32_t kind, FILE* stream, bsvf_pcap* pcap, const char* name) {
    // No sink call with the old writer may be running once it is closed.
    bsv_unset_file_sink(s);
    FILE* old_stream;
    bsvf_pcap* old_pcap;
    {
        os_mutex_guard g(s->lock);
        old_stream = s->stream;
        old_pcap = s->pcap;
        s->stream = stream;
        s->pcap = pcap;
        s->kind = kind;
        str_safecopy_trunc(s->name, sizeof s->name, name);
        remember_identity(s);
    }
    if (old_stream) fclose(old_stream);
    bsvf_pcap_close(old_pcap);
    if (pcap) bsv_set_file_sink(log_file_pcap_sink, s);
}

}  // namespace

void log_file_init(log_file_state* s, os_mutex* lock) {
    if (!s) return;
    s->name[0] = 0;
    s->dir[0] = 0;
    str_safecopy_trunc(s->mode, sizeof s->mode, "w");
    s->size.store(LOG_FILE_SIZE_DEFAULT);
    s->kind = LOG_FILE_TEXT;
    s->pcap = nullptr;
    s->stream = nullptr;
    s->lock = lock;
    s->dev = 0;
    s->ino = 0;
}

int log_file_set_dir(log_file_state* s, const char* dir) {
    if (!s || !dir) return 0;
    if (os_mkdirs(dir) != 0) log_self_dbg("os_mkdirs %s failed\n", dir);
    os_mutex_guard g(s->lock);
    str_safecopy_trunc(s->dir, sizeof s->dir, dir);
    return 0;
}

int log_file_set_mode(log_file_state* s, const char* mode) {
    if (!s || !mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0)) {
        log_self_dbg("mode %s err\n", mode ? mode : "");
        return -1;
    }
    os_mutex_guard g(s->lock);
    str_safecopy_trunc(s->mode, sizeof s->mode, mode);
    return 0;
}

int log_file_set_size(log_file_state* s, int64_t bytes) {
    if (!s) return 0;
    if (bytes < LOG_FILE_SIZE_MIN + 1) bytes = LOG_FILE_SIZE_MIN;
    if (bytes > INT32_MAX) bytes = INT32_MAX;
    s->size.store(static_cast<int32_t>(bytes));
    return 0;
}

int log_file_open(log_file_state* s, const char* name) {
    if (!s || !name) return -1;
    char dir[sizeof s->dir], mode[sizeof s->mode];
    {
        os_mutex_guard g(s->lock);
        memcpy(dir, s->dir, sizeof dir);
        memcpy(mode, s->mode, sizeof mode);
    }
    char full[PATH_SIZE];
    if (path_is_absolute(name) || !dir[0]) {
        str_safecopy_trunc(full, sizeof full, name);
    } else {
        snprintf(full, sizeof full, "%s%c%s", dir, '/', name);
    }

    FILE* stream = nullptr;
    bsvf_pcap* pcap = nullptr;
    uint32_t kind = ends_with_pcap(full) ? LOG_FILE_PCAP : LOG_FILE_TEXT;
    if (kind == LOG_FILE_TEXT) {
        stream = open_stream(full, mode);
        if (!stream) log_self_dbg("fopen %s err\n", full);
    } else {
        pcap = strcmp(mode, "a") == 0 ? bsvf_pcap_open_append(full, BSV_TYPE_LOG) : bsvf_pcap_create(full, BSV_TYPE_LOG);
        if (!pcap) log_self_dbg("bsvf_pcap_file %s err\n", full);
    }
    if (!stream && !pcap) {
        install(s, LOG_FILE_TEXT, nullptr, nullptr, "");
        return -1;
    }
    // The resolved name; the full path itself when it cannot be resolved,
    // so later messages still find the file.
    char real[PATH_SIZE];
    os_realpath(full, real);
    if (!real[0]) str_safecopy_trunc(real, sizeof real, full);
    path_normalize_local(real);
    install(s, kind, stream, pcap, real);
    return 0;
}

int log_file_write(log_file_state* s, uint32_t level, const char* tag, const char* text, size_t len) {
    if (!s || s->kind != LOG_FILE_TEXT) return 0;
    if (!s->name[0]) return -1;
    if (!stream_current(s) && !reopen_append(s)) return -1;

    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    localtime_r(&ts.tv_sec, &tm);
    char tid_name[256];
    os_thread_name_get(tid_name, sizeof tid_name);
    char line[LOG2_LINE_SIZE + 512];
    int head = snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d.%06u %-5s %d --- [%s] %s ",
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<unsigned>(ts.tv_nsec / 1000), log_level_2_prefix(static_cast<int>(level & 0xff)),
                        os_getpid(), tid_name, tag ? tag : "");
    if (head < 0) return -1;
    size_t n = std::min(static_cast<size_t>(head), sizeof line - 1);
    size_t tlen = text ? std::min(len, sizeof line - 1 - n) : 0;
    if (tlen) memcpy(line + n, text, tlen);
    n += tlen;

    // Header and text in one write, so lines of other writers of the same
    // file never split them.
    if (!write_out(s->stream, line, n)) {
        log_self_dbg("log_file_write: fwrite error\n");
        if (!reopen_append(s)) return -1;
        if (!write_out(s->stream, line, n)) {
            close_stream(s);
            return -1;
        }
    }
    apply_cap(s);
    return 0;
}

int log_file_close(log_file_state* s) {
    if (!s) return 0;
    install(s, LOG_FILE_TEXT, nullptr, nullptr, "");
    return 0;
}

void log_file_pcap_sink(uint32_t, const uint8_t* record, uint32_t len, void* state) {
    auto* s = static_cast<log_file_state*>(state);
    if (!s || !s->pcap) return;
    bsvf_pcap_write(s->pcap, record, len);
    bsvf_pcap_set_fsize(s->pcap, static_cast<uint32_t>(s->size.load(std::memory_order_relaxed)));
    bsvf_pcap_flush(s->pcap);
}

const char* log_file_get_name(const log_file_state* s) { return s ? s->name : ""; }

int32_t log_file_get_size(const log_file_state* s) { return s ? s->size.load() : 0; }

int log_file_get_fd(const log_file_state* s) { return s && s->stream ? fileno(s->stream) : -1; }
