// The URL of a saved session.
#include <cstring>
#include <string>
#include <string_view>

#include "libkxcli/kx_conf.h"
#include "libkxcli/kx_conf_priv.h"
#include "libpal/network/url.h"
#include "liblog/log2.h"

namespace {

bool is_ctl_or_blank(unsigned char c) { return c <= 0x20 || c == 0x7f; }

// User and password go between "://" and "@": every character that ends
// the authority or splits it ("@", ":", "/", "?", "#", and "\", which the
// URL normaliser turns into "/"), "%" itself, blanks and control characters
// are percent-encoded. The remote client decodes them.
void add_userinfo(std::string& o, std::string_view text) {
    static constexpr char k_hex[] = "0123456789ABCDEF";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (is_ctl_or_blank(c) || strchr("%@:/?#\\", c)) {
            o += '%';
            o += k_hex[c >> 4];
            o += k_hex[c & 15];
        } else {
            o += ch;
        }
    }
}

// A port text must not end or split the authority, or the URL would name
// another host or path.
bool authority_part_ok(std::string_view text, const char* forbidden) {
    for (char ch : text)
        if (is_ctl_or_blank(static_cast<unsigned char>(ch)) || strchr(forbidden, ch)) return false;
    return true;
}

bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The host of a session URL is the session's own only when the URL parser
// reads it back whole: so only the characters a host can hold are taken,
// never one that ends the host or the authority ("&", "/", ":", "?", "@",
// "#", "\", brackets, quotes, blanks, control characters...). A name or
// IPv4 address: letters, digits, "-" and "."; an IPv6 address (the text
// after "_" became ":"): hex digits, ":" and "." for an IPv4 tail, and an
// optional "%" with a zone of letters, digits, "-" and ".".
bool session_host_ok(std::string_view host) {
    if (host.empty()) return false;
    if (host.find(':') == std::string_view::npos) {
        for (char c : host)
            if (!is_alnum(c) && c != '-' && c != '.') return false;
        return true;
    }
    size_t pct = host.find('%');
    std::string_view addr = host.substr(0, pct);
    for (char c : addr)
        if (!is_hex(c) && c != ':' && c != '.') return false;
    if (pct == std::string_view::npos) return true;
    std::string_view zone = host.substr(pct + 1);
    if (zone.empty()) return false;
    for (char c : zone)
        if (!is_alnum(c) && c != '-' && c != '.') return false;
    return true;
}

int kxp_url(const conf_client_info* cc, std::string& o) {
    o = cc->use_ssl ? "kxps://" : "kxp://";
    if (cc->user[0]) {
        add_userinfo(o, cc->user);
        if (cc->pwd[0]) {
            o += ':';
            add_userinfo(o, cc->pwd);
        }
        o += '@';
    }
    std::string host = cc->ip;
    for (char& ch : host)
        if (ch == '_') ch = ':';
    if (!session_host_ok(host)) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "session [%s] ip [%s] is not a host\n", cc->name, cc->ip);
        return -1;
    }
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    o += host;

    std::string_view port = cc->port;
    if (!port.empty() && !authority_part_ok(port, "@/?#\\[]&\"'")) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "session [%s] port [%s] is not a port\n", cc->name, cc->port);
        return -1;
    }
    // The words stand for the scheme's default port.
    bool default_port = (cc->use_ssl == 1 && port == "KXPS_DEF_PORT") || (cc->use_ssl == 0 && port == "KXP_DEF_PORT");
    if (!port.empty() && !default_port) {
        o += ':';
        o += port;
    }
    if (cc->proxy[0]) {
        if (o.size() >= KX_URL_SIZE) return -1;
        char url[KX_URL_SIZE];
        memcpy(url, o.c_str(), o.size() + 1);
        if (url_set_query(url, "proxy", cc->proxy, 1, set_always) != 0) return -1;
        o = url;
    }
    return 0;
}

}  // namespace

int conf_client_info_2_url(const conf_client_info* info, char* out, size_t size) {
    if (!info || !out || size == 0) return -1;
    std::string o;
    switch (info->kind) {
    case KX_SESSION_LOC:
        o = "loc://";
        break;
    case KX_SESSION_NET:
        o = std::string("net://") + info->name;
        break;
    case KX_SESSION_KXP:
        if (kxp_url(info, o) != 0) {
            out[0] = 0;
            return -1;
        }
        break;
    default:
        return -1;
    }
    if (o.size() >= size || o.size() >= KX_URL_SIZE) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "session [%s] URL is longer than %zu\n", info->name, size - 1);
        out[0] = 0;
        return -1;
    }
    memcpy(out, o.c_str(), o.size() + 1);
    return 0;
}

int kx_session_url(const char* name, char* out, uint32_t* kind) {
    out[0] = 0;
    *kind = 0;
    if (!name || !*name) return 0;
    conf_client_info info;
    if (conf_client_get_info(name, &info) != 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "url [%s] get failed\n", name);
        return -1;
    }
    if (conf_client_info_2_url(&info, out, KX_URL_SIZE) != 0) return -1;
    *kind = info.kind;
    return 0;
}

int conf_client_get_url(const char* name, char* out) {
    if (!out) return -1;
    uint32_t kind;
    return kx_session_url(name, out, &kind);
}
