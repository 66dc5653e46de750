#include "liblog/log_net.h"

#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "libpal/network/url.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

const syslog_code k_syslog_facilities[] = {
    {"auth", 32},     {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},     {"kern", 0},
    {"lpr", 48},      {"mail", 16},     {"mark", 192},   {"news", 56},    {"security", 32}, {"syslog", 40},
    {"user", 8},      {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144}, {"local3", 152},
    {"local4", 160},  {"local5", 168},  {"local6", 176}, {"local7", 184}, {nullptr, -1},
};

const syslog_code k_syslog_priorities[] = {
    {"alert", 1},  {"crit", 2},  {"debug", 7},   {"emerg", 0}, {"err", 3},     {"error", 3},   {"info", 6},
    {"none", 16},  {"notice", 5}, {"panic", 0},  {"warn", 4},  {"warning", 4}, {nullptr, -1},
};

namespace {

constexpr size_t k_msg_size = 1536;
constexpr int k_facility_mask = 0x3F8;
constexpr int k_priority_mask = 7;

// The host name, fetched once per process.
const char* local_host() {
    static char name[128];
    static std::once_flag once;
    std::call_once(once, [] {
        char buf[256] = {};
        if (gethostname(buf, sizeof buf - 1) != 0) buf[0] = 0;
        if (!buf[0] || strcmp(buf, "(none)") == 0) snprintf(buf, sizeof buf, "unknown");
        snprintf(name, sizeof name, "%s", buf);
    });
    return name;
}

struct addrinfo_free {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Waits for a non-blocking connect to finish: true when it succeeded.
bool connect_within(int fd, const sockaddr* addr, socklen_t len, uint32_t ms) {
    if (connect(fd, addr, len) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    uint64_t until = os_mono_ms() + ms;
    while (true) {
        uint64_t now = os_mono_ms();
        if (now >= until) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(until - now));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) continue;
        int err = 0;
        socklen_t el = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0) return false;
        if (err != 0) {
            errno = err;
            return false;
        }
        return true;
    }
}

// One attempt: resolve and connect to the first address. -1 with *fatal set
// when the name does not resolve.
int open_one(const char* host, const char* port, const char* service, const char* fallback, int socktype,
             bool* fatal) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    const char* svc = port ? port : service;
    addrinfo* raw = nullptr;
    int rc = getaddrinfo(host, svc, &hints, &raw);
    // A system whose services table lacks the name gets its registered port.
    if (rc == EAI_SERVICE && !port) {
        svc = fallback;
        rc = getaddrinfo(host, svc, &hints, &raw);
    }
    if (rc != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        fprintf(stderr, "failed to resolve name %s port %s\n", host, svc);
        *fatal = true;
        return -1;
    }
    std::unique_ptr<addrinfo, addrinfo_free> answer(raw);
    const addrinfo* a = answer.get();
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) return -1;
    if (!connect_within(fd, a->ai_addr, a->ai_addrlen, LOG_NET_CONNECT_MS)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends all of data within the send limit.
int64_t send_bounded(int sock, const char* data, size_t len) {
    uint64_t until = os_mono_ms() + LOG_NET_SEND_MS;
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(sock, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        uint64_t now = os_mono_ms();
        if (now >= until) return -1;
        pollfd p{sock, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(until - now)) < 0 && errno != EINTR) return -1;
    }
    return static_cast<int64_t>(done);
}

// The owner's lock, when the state has an owner.
os_mutex* owner_mutex(const log_net_state* s) { return s->owner ? s->owner->mutex : nullptr; }

}  // namespace

void log_net_init(log_net_state* s, log2_ctx* owner) {
    if (!s) return;
    s->url[0] = 0;
    s->host[0] = 0;
    s->port = 0;
    s->transport = LOG_NET_DGRAM;
    s->sock = -1;
    s->state = LOG_NET_UNSET;
    s->owner = owner;
    s->quiet_until_ms = 0;
}

int log_net_open(log_net_state* s, const char* url) {
    if (!s) return -1;
    log_self_dbg("log_net_open [%s]\n", url ? url : "");
    url_ctx u{};
    auto buf = std::make_unique<char[]>(URL_SIZE);
    int rc = url ? url_parser(&u, buf.get(), url) : -1;
    if (rc < 0) {
        {
            os_mutex_guard g(owner_mutex(s));
            s->state = LOG_NET_UNSET;
        }
        LOG2(LOG2_DBG, "tag", "url_parser %s failed\n", url ? url : "");
        return -1;
    }
    os_mutex_guard g(owner_mutex(s));
    s->state = LOG_NET_UNSET;
    str_safecopy_trunc(s->url, sizeof s->url, url);
    s->transport = strcmp(u.protocol, "tcp") == 0 ? LOG_NET_STREAM : LOG_NET_DGRAM;
    str_safecopy_trunc(s->host, sizeof s->host, u.host);
    s->port = u.port;
    syslog_close(s->sock);
    s->sock = -1;
    s->quiet_until_ms = 0;
    s->state = LOG_NET_CONFIGURED;
    return rc;
}

int64_t log_net_write(log_net_state* s, uint32_t level, const char* tag, const char* line, size_t) {
    if (!s || s->state == LOG_NET_UNSET) return 0;
    if (s->state == LOG_NET_CONFIGURED) {
        log_net_connect(s);
        s->state = LOG_NET_TRIED;
    }
    char priority[32];
    const char* sev = syslog_level_name(level & 0xff);
    snprintf(priority, sizeof priority, "user.%s", sev ? sev : "");
    int r = syslog_send(s->owner, s->sock, priority, tag, line);
    if (r >= 0) return r;
    // One new connection per failed message.
    int c = log_net_connect(s);
    if (c < 0) return c;
    r = syslog_send(s->owner, s->sock, priority, tag, line);
    if (r < 0) fprintf(stderr, "syslog_write %s err\n", s->url);
    return r;
}

int log_net_connect(log_net_state* s) {
    if (!s) return -1;
    syslog_close(s->sock);
    s->sock = -1;
    // A host that let the last connect run into its limit is left alone
    // for a while: every message would wait for it again.
    uint64_t start = os_mono_ms();
    if (start < s->quiet_until_ms) return -1;
    char port[16];
    if (s->port) snprintf(port, sizeof port, "%d", static_cast<int>(s->port));
    int fd = syslog_open(s->host, s->port ? port : nullptr, s->transport);
    if (fd < 0 && os_mono_ms() - start >= LOG_NET_CONNECT_MS / 2) s->quiet_until_ms = os_mono_ms() + LOG_NET_BACKOFF_MS;
    s->sock = fd;
    return fd;
}

int log_net_close(log_net_state* s) {
    if (!s) return 0;
    os_mutex_guard g(owner_mutex(s));
    syslog_close(s->sock);
    s->sock = -1;
    s->state = LOG_NET_UNSET;
    return 0;
}

const char* log_net_get_url(const log_net_state* s) { return s ? s->url : ""; }

int syslog_open(const char* host, const char* port, uint32_t transport) {
    log_self_dbg("syslog_open [%s:%s]==>\n", host ? host : "", port ? port : "");
    local_host();
    const char* h = host ? host : "";
    bool fatal = false;
    if (transport & LOG_NET_DGRAM) {
        int fd = open_one(h, port, "syslog", "514", SOCK_DGRAM, &fatal);
        if (fd >= 0 || fatal) return fd;
    }
    if (transport & LOG_NET_STREAM) {
        int fd = open_one(h, port, "syslog-conn", "601", SOCK_STREAM, &fatal);
        if (fd >= 0 || fatal) return fd;
    }
    fprintf(stderr, "failed to connect to %s port %s\n", h, port ? port : "");
    return -1;
}

int syslog_send(const log2_ctx* ctx, int sock, const char* priority, const char* tag, const char* line) {
    if (sock < 0 || !priority) return -1;
    // "facility.severity", or the severity alone.
    char fac_name[64];
    const char* sev_name = priority;
    int facility = 8;
    if (const char* dot = strchr(priority, '.')) {
        snprintf(fac_name, sizeof fac_name, "%.*s", static_cast<int>(dot - priority), priority);
        sev_name = dot + 1;
        facility = syslog_decode(fac_name, k_syslog_facilities);
        if (facility < 0) {
            fprintf(stderr, "unknown facility name: %s\n", fac_name);
            return -1;
        }
        facility &= k_facility_mask;
    }
    int severity = syslog_decode(sev_name, k_syslog_priorities);
    if (severity < 0) {
        fprintf(stderr, "unknown priority name: %s\n", sev_name);
        return -1;
    }
    severity &= k_priority_mask;

    // The line without its time prefix; syslog puts its own time stamp.
    const char* text = line ? line : "";
    uint32_t flags = ctx ? ctx->flags.load() : 0;
    size_t skip = (flags & LOG2_F_TIME) ? 9 : (flags & LOG2_F_TIME_MS) ? 13 : 0;
    if (strnlen(text, skip) == skip) text += skip;

    time_t now = time(nullptr);
    char when[32] = {};
    if (!ctime_r(&now, when)) snprintf(when, sizeof when, "%24s", "");
    char pid[16];
    snprintf(pid, sizeof pid, "[%d]", static_cast<int>(getpid()));
    char msg[k_msg_size];
    int n = snprintf(msg, sizeof msg, "<%d>%.15s %.32s %.64s%s: %.800s", facility + severity, when + 4, local_host(),
                     tag && *tag ? tag : "<someone>", pid, text);
    if (n < 0) return -1;
    size_t len = std::min(static_cast<size_t>(n), sizeof msg - 1) + 1;  // with the terminating zero
    int64_t sent = send_bounded(sock, msg, len);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

void syslog_close(int sock) {
    if (sock >= 0) close(sock);
}

int syslog_decode(const char* text, const syslog_code* table) {
    if (!text || !table) return -1;
    if (isdigit(static_cast<unsigned char>(text[0]))) {
        char* end = nullptr;
        long v = strtol(text, &end, 10);
        if (*end) return -1;
        for (const syslog_code* c = table; c->name; ++c)
            if (c->code == v) return c->code;
        return -1;
    }
    for (const syslog_code* c = table; c->name; ++c)
        if (strcasecmp(c->name, text) == 0) return c->code;
    return -1;
}

const char* syslog_level_name(uint32_t level) {
    static constexpr const char* k_names[] = {"panic", "alert", "crit", "error", "warn",
                                              "notice", "info", "debug", "debug"};
    return level < sizeof k_names / sizeof k_names[0] ? k_names[level] : nullptr;
}
