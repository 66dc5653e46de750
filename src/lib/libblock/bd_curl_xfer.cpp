// The "curl" driver's transfers: the options of an easy handle, the
// callbacks, the size probe and the ranged reads.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "libblock/bd_curl_priv.h"
#include "libblock/bd_img.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

constexpr int k_len_attempts = 5;
// Only the protocols this driver stands for, also after a redirect.
constexpr const char* k_protocols = "http,https,ftp,ftps";

bool ieq_prefix(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() && strncasecmp(line.data(), prefix.data(), prefix.size()) == 0;
}

// Whether the answer of a ranged HTTP read holds the bytes asked for: a
// partial answer starting where asked, or the whole resource when the read
// starts at its beginning.
bool range_answer_ok(const bd_curl_handle* h) {
    if (h->status == 206) return h->range_start < 0 || h->range_start == h->req_start;
    return h->req_start == 0;
}

size_t on_body(char* data, size_t size, size_t count, void* arg) {
    auto* h = static_cast<bd_curl_handle*>(arg);
    const size_t n = size * count;
    if (h->check_range && !h->range_checked) {
        h->range_checked = 1;
        if (!range_answer_ok(h)) {
            h->range_refused = 1;
            return n == 0 ? 1 : 0;
        }
    }
    const int64_t room = std::max<int64_t>(h->cap - h->filled, 0);
    const size_t take = std::min<size_t>(n, static_cast<size_t>(room));
    if (take) {
        memcpy(static_cast<char*>(h->buf) + h->filled, data, take);
        h->filled += static_cast<int64_t>(take);
    }
    if (take < n) {
        // More than the target holds: what is wanted is there, so the
        // transfer ends here instead of carrying the rest over the wire.
        h->full = 1;
        return 0;
    }
    return n;
}

// Every header is taken; the status line and Content-Range of each answer
// are noted for the check of a ranged read.
size_t on_header(char* data, size_t size, size_t count, void* arg) {
    auto* h = static_cast<bd_curl_handle*>(arg);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (ieq_prefix(line, "HTTP/")) {
        size_t sp = line.find(' ');
        std::string code(sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1, 3));
        h->status = strtol(code.c_str(), nullptr, 10);
        h->range_start = -1;
        h->location = 0;
    } else if (line == "\r\n" || line == "\n") {
        // The end of an answer's headers; an interim answer (1xx) and a
        // redirect that will be followed are not the final one.
        const bool redirect = h->status >= 300 && h->status < 400 && h->location;
        if (h->status >= 200 && !redirect) h->head_done = 1;
    } else if (ieq_prefix(line, "Location:")) {
        h->location = 1;
    } else if (ieq_prefix(line, "Content-Range:")) {
        std::string value(line.substr(14));
        const char* p = value.c_str();
        while (*p == ' ' || *p == '\t') ++p;
        if (strncasecmp(p, "bytes ", 6) == 0) {
            char* end = nullptr;
            long long start = strtoll(p + 6, &end, 10);
            if (end != p + 6 && *end == '-') h->range_start = start;
        }
    }
    return n;
}

int on_progress(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return pl_stop_requested(static_cast<bd_curl_handle*>(arg)->stop) ? 1 : 0;
}

// The library's trace, through the logger, with the secrets of the
// requests (authorisations, cookies, FTP passwords) masked.
int on_debug(CURL*, curl_infotype type, char* data, size_t size, void*) {
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
    const char* mark = type == CURLINFO_TEXT ? "*" : type == CURLINFO_HEADER_IN ? "<" : ">";
    std::string_view all(data, size);
    while (!all.empty()) {
        size_t nl = all.find('\n');
        std::string_view line = all.substr(0, nl);
        all.remove_prefix(nl == std::string_view::npos ? all.size() : nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (line.empty()) continue;
        bool secret = false;
        if (type == CURLINFO_HEADER_OUT) {
            for (std::string_view name : {"Authorization:", "Proxy-Authorization:", "Cookie:", "PASS "}) {
                if (ieq_prefix(line, name)) {
                    line = line.substr(0, name.size());
                    if (line.back() == ' ') line.remove_suffix(1);
                    secret = true;
                    break;
                }
            }
        }
        if (secret) {
            LOG2(LOG2_INFO, "block2", "%s %.*s ***\n", mark, static_cast<int>(line.size()), line.data());
            continue;
        }
        LOG2(LOG2_INFO, "block2", "%s %.*s\n", mark, static_cast<int>(line.size()), line.data());
    }
    return 0;
}

// One option; a refusal is remembered and reported once at the end.
template <typename T>
void set_opt(CURL* c, CURLoption opt, T value, CURLcode* first) {
    CURLcode rc = g_curl.easy_setopt(c, opt, value);
    if (rc != CURLE_OK && *first == CURLE_OK) *first = rc;
}

void set_transfer_error(bd_curl_handle* h, CURLcode rc) {
    BD_SET_ERR(h->dev, VERR_GENERAL_FAILURE, "%s", g_curl.easy_strerror(rc));
}

}  // namespace

int curl_init_state(bd_curl_handle* h, const char* url, CURL* state) {
    CURLcode bad = CURLE_OK;
    set_opt(state, CURLOPT_URL, url, &bad);
    if (h->tls) {
        // Peer and host are not verified: the devices are read from
        // servers with certificates of their own making.
        set_opt(state, CURLOPT_SSLVERSION, 0L, &bad);
        set_opt(state, CURLOPT_SSL_VERIFYPEER, 0L, &bad);
        set_opt(state, CURLOPT_SSL_VERIFYHOST, 0L, &bad);
    }
    if (h->cookie) set_opt(state, CURLOPT_COOKIE, h->cookie, &bad);
    set_opt(state, CURLOPT_CONNECTTIMEOUT, static_cast<long>(h->connect_timeout), &bad);
    set_opt(state, CURLOPT_TIMEOUT, static_cast<long>(h->read_timeout), &bad);
    set_opt(state, CURLOPT_AUTOREFERER, 1L, &bad);
    set_opt(state, CURLOPT_FOLLOWLOCATION, 1L, &bad);
    set_opt(state, CURLOPT_MAXREDIRS, 16L, &bad);
    set_opt(state, CURLOPT_NOSIGNAL, 1L, &bad);
    set_opt(state, CURLOPT_FAILONERROR, 1L, &bad);
    set_opt(state, CURLOPT_WRITEFUNCTION, &on_body, &bad);
    set_opt(state, CURLOPT_WRITEDATA, static_cast<void*>(h), &bad);
    set_opt(state, CURLOPT_HEADERFUNCTION, &on_header, &bad);
    set_opt(state, CURLOPT_HEADERDATA, static_cast<void*>(h), &bad);
    set_opt(state, CURLOPT_PRIVATE, static_cast<void*>(h), &bad);
    if (h->stop) {
        set_opt(state, CURLOPT_XFERINFOFUNCTION, &on_progress, &bad);
        set_opt(state, CURLOPT_XFERINFODATA, static_cast<void*>(h), &bad);
        set_opt(state, CURLOPT_NOPROGRESS, 0L, &bad);
    }
    // The login goes apart from the URL for every protocol: a user name
    // may hold ":" and a password "@".
    if (h->user) set_opt(state, CURLOPT_USERNAME, h->user, &bad);
    if (h->password) set_opt(state, CURLOPT_PASSWORD, h->password, &bad);
    if ((h->proto == CURL_PROTO_FTP || h->proto == CURL_PROTO_FTPS) && h->ftpport)
        set_opt(state, CURLOPT_FTPPORT, h->ftpport, &bad);
    if (h->proxy.ip[0]) {
        char proxy[sizeof h->proxy.ip + 16];
        // An IPv6 address is written in brackets before its port.
        const bool v6 = strchr(h->proxy.ip, ':') != nullptr;
        str_sprintf_s(proxy, sizeof proxy, v6 ? "[%s]:%u" : "%s:%u", h->proxy.ip, h->proxy.port);
        set_opt(state, CURLOPT_PROXY, proxy, &bad);
        long type = h->proxy.kind == CONF_PROXY_SOCKS4   ? static_cast<long>(CURLPROXY_SOCKS4)
                    : h->proxy.kind == CONF_PROXY_SOCKS5 ? static_cast<long>(CURLPROXY_SOCKS5)
                                                         : static_cast<long>(CURLPROXY_HTTP);
        set_opt(state, CURLOPT_PROXYTYPE, type, &bad);
        if (h->proxy.user[0]) set_opt(state, CURLOPT_PROXYUSERNAME, h->proxy.user, &bad);
        if (h->proxy.pwd[0]) set_opt(state, CURLOPT_PROXYPASSWORD, h->proxy.pwd, &bad);
        if (h->tls) set_opt(state, CURLOPT_HTTPPROXYTUNNEL, 1L, &bad);
    }
    set_opt(state, CURLOPT_PROTOCOLS_STR, k_protocols, &bad);
    set_opt(state, CURLOPT_REDIR_PROTOCOLS_STR, k_protocols, &bad);
    if (h->debug) {
        set_opt(state, CURLOPT_DEBUGFUNCTION, &on_debug, &bad);
        set_opt(state, CURLOPT_VERBOSE, 1L, &bad);
    }
    if (bad != CURLE_OK) {
        LOG2(LOG2_ERR, "block2", "curl_easy_setopt error: %s\n", g_curl.easy_strerror(bad));
        set_transfer_error(h, bad);
        return -1;
    }
    return 0;
}

namespace {

// How long the size probe waits for the body once the headers of the final
// answer are in: the length is known by then, and a server that sends its
// headers and stalls must not hold the open for the whole read time-out.
constexpr auto k_probe_after_head = std::chrono::milliseconds(300);

// Frees a multi handle, leaving its transfer first.
struct probe_multi {
    CURLM* m = g_curl.multi_init();
    CURL* added = nullptr;
    ~probe_multi() {
        if (added) g_curl.multi_remove_handle(m, added);
        if (m) g_curl.multi_cleanup(m);
    }
    probe_multi() = default;
    probe_multi(const probe_multi&) = delete;
    probe_multi& operator=(const probe_multi&) = delete;
};

// One probe transfer of c: until it ends by itself, or until the probe's
// limit after the final headers has passed (then CURLE_OPERATION_TIMEDOUT).
// *len gets the answer's length as the library knows it (-1: unknown), *q
// the result of that query.
CURLcode probe_once(bd_curl_handle* h, CURL* c, curl_off_t* len, CURLcode* q) {
    *len = -1;
    probe_multi pm;
    if (!pm.m || g_curl.multi_add_handle(pm.m, c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    pm.added = c;
    h->filled = 0;
    h->full = 0;
    h->status = 0;
    h->location = 0;
    h->head_done = 0;
    CURLcode rc = CURLE_OK;
    bool head_seen = false;
    std::chrono::steady_clock::time_point deadline{};
    while (true) {
        int running = 0;
        if (g_curl.multi_perform(pm.m, &running) != CURLM_OK) {
            rc = CURLE_OUT_OF_MEMORY;
            break;
        }
        bool done = false;
        int left = 0;
        while (CURLMsg* msg = g_curl.multi_info_read(pm.m, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) {
                rc = msg->data.result;
                done = true;
            }
        }
        if (done) break;
        if (running == 0) {
            rc = CURLE_RECV_ERROR;
            break;
        }
        int wait_ms = 1000;
        if (h->head_done) {
            const auto now = std::chrono::steady_clock::now();
            if (!head_seen) {
                head_seen = true;
                deadline = now + k_probe_after_head;
            }
            if (now >= deadline) {
                rc = CURLE_OPERATION_TIMEDOUT;
                break;
            }
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            wait_ms = static_cast<int>(std::min<int64_t>(rest, wait_ms));
        }
        if (g_curl.multi_poll(pm.m, nullptr, 0, wait_ms, nullptr) != CURLM_OK) {
            rc = CURLE_OUT_OF_MEMORY;
            break;
        }
    }
    *q = g_curl.easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, len);
    if (*q != CURLE_OK) *len = -1;
    return rc;
}

}  // namespace

int curl_get_len(bd_curl_handle* h, const char* url, int64_t* len) {
    *len = -1;
    CURL* c = g_curl.easy_init();
    if (!c) {
        BD_SET_ERR(h->dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    if (curl_init_state(h, url, c) != 0) {
        g_curl.easy_cleanup(c);
        return -1;
    }
    // The answer of a proxy to CONNECT is no answer of the server: its end
    // must not start the probe's limit before the request has even gone.
    if (g_curl.easy_setopt(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) != CURLE_OK) {
        LOG2(LOG2_ERR, "block2", "curl_easy_setopt error: CURLOPT_SUPPRESS_CONNECT_HEADERS\n");
        BD_SET_ERR(h->dev, VERR_GENERAL_FAILURE, "%s", g_curl.easy_strerror(CURLE_UNKNOWN_OPTION));
        g_curl.easy_cleanup(c);
        return -1;
    }
    // No target: the transfer is ended at the first body byte, when the
    // answer's length is known.
    h->buf = nullptr;
    h->cap = 0;
    h->check_range = 0;
    for (int i = 0; i < k_len_attempts; ++i) {
        curl_off_t d = -1;
        CURLcode q = CURLE_OK;
        CURLcode rc = probe_once(h, c, &d, &q);
        if (rc == CURLE_WRITE_ERROR && h->full) rc = CURLE_OK;
        if (rc != CURLE_OK && rc != CURLE_OPERATION_TIMEDOUT) {
            LOG2(LOG2_DBG, "block2", "error: %s\n", g_curl.easy_strerror(rc));
            set_transfer_error(h, rc);
            g_curl.easy_cleanup(c);
            return -1;
        }
        LOG2(LOG2_DBG, "block2", "CONTENT_LENGTH_DOWNLOAD ret=%d d=%ld\n", static_cast<int>(q), static_cast<long>(d));
        if (d != -1) {
            *len = d;
            break;
        }
    }
    g_curl.easy_cleanup(c);
    return 0;
}

int64_t url_read_file(bd_dev* dev, void* handle, int64_t off, void* buf, int64_t len) {
    auto* h = static_cast<bd_curl_handle*>(handle);
    int64_t start = bd_img_read_pos(dev, off, h->pos);
    if (start < 0) return -1;
    int64_t n = bd_img_read_len(dev, start, len);
    if (n == 0) return 0;

    h->buf = buf;
    h->cap = n;
    h->filled = 0;
    h->full = 0;
    h->check_range = h->proto == CURL_PROTO_HTTP || h->proto == CURL_PROTO_HTTPS;
    h->range_checked = 0;
    h->range_refused = 0;
    h->req_start = start;
    h->status = 0;
    h->range_start = -1;
    char range[64];
    str_sprintf_s(range, sizeof range, "%lli-%lli", static_cast<long long>(start),
                  static_cast<long long>(start + n - 1));
    g_curl.easy_setopt(h->curl, CURLOPT_RANGE, range);
    CURLcode rc = g_curl.easy_perform(h->curl);
    h->buf = nullptr;
    h->cap = 0;
    if (rc == CURLE_WRITE_ERROR && h->full) rc = CURLE_OK;
    if (h->range_refused) {
        // Bytes from another place of the resource are no answer to this read.
        LOG2(LOG2_ERR, "block2", "range [%s] not served: status=%ld content_range_start=%lld\n", range, h->status,
             static_cast<long long>(h->range_start));
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "range [%s] not served: status=%ld content_range_start=%lld", range,
                   h->status, static_cast<long long>(h->range_start));
        return -1;
    }
    if (rc != CURLE_OK) {
        LOG2(LOG2_ERR, "block2", "error=%s\n", g_curl.easy_strerror(rc));
        set_transfer_error(h, rc);
        return -1;
    }
    if (h->filled == 0) {
        // Nothing where the size probe saw data: not the end of the device.
        LOG2(LOG2_ERR, "block2", "range [%s] answered without data\n", range);
        BD_SET_ERR(dev, VERR_GENERAL_FAILURE, "range [%s] answered without data", range);
        return -1;
    }
    h->pos = static_cast<uint64_t>(start + h->filled);
    return h->filled;
}
