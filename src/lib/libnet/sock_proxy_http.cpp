#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "libnet/net_priv.h"
#include "libnet/proxy_conf.h"
#include "libnet/sock_proxy.h"
#include "libnet/sock_proxy_priv.h"
#include "libpal/basic/verr.h"
#include "libpal/string/str_codec.h"
#include "liblog/log2.h"

namespace {

// A byte as it may be shown in a log line.
char shown_byte(char c) { return c >= 0x20 && c < 0x7f ? c : '.'; }

// A host that cannot break the request's lines.
bool host_is_clean(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    });
}

// Reads and drops the rest of the reply up to its empty line: a CR LF pair
// that directly follows another CR LF pair. CR bytes are otherwise skipped,
// and a line ended by a bare LF does not count. Byte by byte, so that no
// byte of the tunnel behind the reply is taken.
bool drain_headers(proxy_tunnel& t) {
    bool cr = false;   // a CR came since the last other byte
    bool eol = false;  // the last line ended with CR LF
    for (uint32_t n = 0; n < PROXY_HTTP_HEADER_MAX; ++n) {
        char c;
        if (!proxy_tunnel_read(t, &c, 1)) return false;
        if (c == '\r') {
            cr = true;
            continue;
        }
        if (c == '\n') {
            if (cr && eol) return true;
            eol = cr;
        } else {
            eol = false;
        }
        cr = false;
    }
    LOG2(LOG2_DBG, "net", "proxy reply headers longer than %u bytes\n", PROXY_HTTP_HEADER_MAX);
    return false;
}

}  // namespace

int proxy_http_connect(proxy_tunnel& t, const char* host, uint16_t port, const conf_proxy& proxy, verr_info* err) {
    if (!host_is_clean(host)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }
    const bool v6 = std::count(host, host + strlen(host), ':') >= 2;
    const std::string target = (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
    std::string req = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    // The log line shows the request with its credentials masked.
    std::string shown = req;
    if (*proxy.user) {
        const std::string cred = std::string(proxy.user) + ":" + proxy.pwd;
        std::string b64(PL_BASE64_ENCODE_LEN(cred.size()), '\0');
        const int n = str_base64_encode(cred.data(), cred.size(), b64.data(), b64.size());
        if (n < 0) {
            NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
            return -1;
        }
        b64.resize(static_cast<size_t>(n));
        req += "Proxy-Authorization: Basic " + b64 + "\r\n";
        shown += "Proxy-Authorization: Basic ***\r\n";
    }
    req += "\r\n";
    shown += "\r\n";
    LOG2(LOG2_VERB, "net", "%s", shown.c_str());
    if (!proxy_tunnel_write(t, req.data(), static_cast<uint32_t>(req.size()))) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy send error");
        return -1;
    }

    // The status line up to its code: "HTTP/1.1 200".
    char status[12];
    int32_t got = 0;
    if (!proxy_tunnel_read(t, status, sizeof status, &got)) {
        LOG2(LOG2_DBG, "net", "net_read ret=%d !=12 error\n", got);
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy recv len error");
        return -1;
    }
    if (status[9] != '2') {
        char head[12];
        std::transform(status, status + 11, head, shown_byte);
        head[11] = '\0';
        LOG2(LOG2_DBG, "net", "net_read [%s] buf[9]=%c !=2 error\n", head, shown_byte(status[9]));
        NET_ERR(err, VERR_GENERAL_FAILURE, status[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
        return -1;
    }
    if (!drain_headers(t)) {
        NET_ERR(err, VERR_GENERAL_FAILURE, "proxy read return error");
        return -1;
    }
    LOG2(LOG2_DBG, "net", "proxy init ok!!\n");
    return 0;
}
