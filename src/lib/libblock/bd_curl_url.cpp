// The "curl" driver's URLs: protocol codes, the options of the query, the
// URL handed to the library and the login taken from the URL.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "libblock/bd_curl_priv.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_safe.h"

namespace {

struct proto_prefix {
    std::string_view prefix;
    int32_t code;
};

constexpr proto_prefix k_protos[] = {
    {"http://", CURL_PROTO_HTTP}, {"https://", CURL_PROTO_HTTPS}, {"ftp://", CURL_PROTO_FTP},
    {"ftps://", CURL_PROTO_FTPS}, {"scp://", CURL_PROTO_SCP},     {"sftp://", CURL_PROTO_SFTP},
};

// Query keys the block layer and this driver read: options of the device,
// not of the resource, and some of them secret. They never reach the server.
constexpr std::string_view k_own_keys[] = {
    "proxy_url", "proxy", "connect_timeout", "read_timeout", "write_timeout", "username", "password",
    "cookie",    "ftpport", "debug",         "flags",        "sector_size",   "sector_off", "vol_idx",
};

bool iprefix(const char* text, std::string_view prefix) {
    return strncasecmp(text, prefix.data(), prefix.size()) == 0;
}

bool own_key(std::string_view field) {
    std::string_view key = field.substr(0, field.find('='));
    for (std::string_view k : k_own_keys)
        if (k == key) return true;
    return false;
}

// A time-out of the query in seconds: absent, zero or negative keeps def.
uint32_t query_seconds(const char* query, const char* key, uint32_t def) {
    char text[64];
    if (str_args_get(query, key, text, sizeof text) != 0) return def;
    long v = strtol(text, nullptr, 10);
    if (v <= 0) return def;
    return v > 86400L * 365 ? 86400u * 365 : static_cast<uint32_t>(v);
}

// Reads one text option of the query into the handle. 0 when it is absent
// or stored; -1 when it cannot be stored.
int query_text(bd_curl_handle* h, const char* query, const char* key, char* tmp, size_t size) {
    if (str_args_get(query, key, tmp, size) != 0) return 0;
    char** field = strcmp(key, "cookie") == 0     ? &h->cookie
                   : strcmp(key, "username") == 0 ? &h->user
                   : strcmp(key, "password") == 0 ? &h->password
                                                  : &h->ftpport;
    return curl_set_text(field, tmp) ? 0 : -1;
}

// The decoded text of a URL's user or password part.
bool login_part(const char* raw, char** field) {
    if (!*raw) return true;
    auto dec = std::make_unique<char[]>(URL_SIZE);
    if (str_unescape_url_args(raw, dec.get(), URL_SIZE) != 0) return false;
    return curl_set_text(field, dec.get());
}

}  // namespace

bool curl_set_text(char** field, const char* text) {
    char* copy = pl_strdup(text);
    if (!copy) return false;
    pl_free(*field);
    *field = copy;
    return true;
}

int32_t curl_proto_code(const char* url) {
    if (!url) return -1;
    for (const proto_prefix& p : k_protos)
        if (iprefix(url, p.prefix)) return p.code;
    return -1;
}

uint8_t curl_proto_tls(int32_t proto) {
    return proto == CURL_PROTO_HTTPS || proto == CURL_PROTO_FTPS || proto == CURL_PROTO_SCP ||
           proto == CURL_PROTO_SFTP;
}

int curl_read_query(bd_curl_handle* h, const char* query, const char* host) {
    bd_dev* dev = h->dev;
    auto tmp = std::make_unique<char[]>(URL_SIZE);
    auto proxy_url = std::make_unique<char[]>(URL_SIZE);
    proxy_url[0] = 0;
    if (str_args_get(query, "proxy_url", tmp.get(), URL_SIZE) == 0 && tmp[0]) {
        // The proxy URL travels as base64 of the text and its terminator.
        int n = str_base64_decode(tmp.get(), proxy_url.get(), URL_SIZE - 1);
        if (n < 0) {
            BD_SET_ERR(dev, VERR_INVALID_PARAMETER, "proxy_url invalid");
            return -1;
        }
        proxy_url[n] = 0;
    }
    auto name = std::make_unique<char[]>(URL_SIZE);
    if (str_args_get(query, "proxy", name.get(), URL_SIZE) != 0) name[0] = 0;
    if (conf_proxy_get(proxy_url.get(), name.get(), &h->proxy, &dev->verr, host) < 0) return -1;
    // The decoded proxy URL may hold a password.
    memset(proxy_url.get(), 0, URL_SIZE);

    h->connect_timeout = query_seconds(query, "connect_timeout", h->connect_timeout);
    h->read_timeout = query_seconds(query, "read_timeout", h->read_timeout);
    for (const char* key : {"username", "password", "cookie", "ftpport"}) {
        if (query_text(h, query, key, tmp.get(), URL_SIZE) != 0) {
            BD_SET_ERR(dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
            return -1;
        }
    }
    memset(tmp.get(), 0, URL_SIZE);
    char debug[32];
    if (str_args_get(query, "debug", debug, sizeof debug) == 0)
        h->debug = static_cast<int32_t>(strtol(debug, nullptr, 10));
    return 0;
}

int curl_transfer_url(const char* url, int32_t proto, char* out, size_t size) {
    std::string_view u(url);
    std::string t;
    // Scheme, then the authority without its user information (the last
    // "@" before the path, query or fragment ends it).
    size_t mark = u.find("://");
    size_t auth = mark == std::string_view::npos ? 0 : mark + 3;
    size_t auth_end = u.find_first_of("/?#", auth);
    std::string_view authority =
        u.substr(auth, auth_end == std::string_view::npos ? std::string_view::npos : auth_end - auth);
    size_t at = authority.rfind('@');
    t.append(u.substr(0, auth));
    t.append(at == std::string_view::npos ? authority : authority.substr(at + 1));
    std::string_view rest = auth_end == std::string_view::npos ? std::string_view() : u.substr(auth_end);

    size_t q = rest.find('?');
    t.append(rest.substr(0, q));
    if (q != std::string_view::npos && (proto == CURL_PROTO_HTTP || proto == CURL_PROTO_HTTPS)) {
        std::string_view query = rest.substr(q + 1);
        std::string_view frag;
        if (size_t hash = query.find('#'); hash != std::string_view::npos) {
            frag = query.substr(hash);
            query = query.substr(0, hash);
        }
        std::string kept;
        while (!query.empty()) {
            size_t amp = query.find('&');
            std::string_view field = query.substr(0, amp);
            if (!field.empty() && !own_key(field)) {
                if (!kept.empty()) kept += '&';
                kept.append(field);
            }
            if (amp == std::string_view::npos) break;
            query.remove_prefix(amp + 1);
        }
        if (!kept.empty()) t.append("?").append(kept);
        t.append(frag);
    }
    return str_safecopy(out, size, t.c_str()) == 0 ? 0 : -1;
}

int curl_url_login(bd_curl_handle* h, const char* url) {
    url_ctx u;
    auto buf = std::make_unique<char[]>(URL_SIZE);
    if (url_parser(&u, buf.get(), url) != 0) return 0;
    bool ok = login_part(u.user, &h->user) && login_part(u.passwd, &h->password);
    memset(buf.get(), 0, URL_SIZE);
    if (!ok) {
        BD_SET_ERR(h->dev, VERR_NO_MEMORY, "%s", verr2str(VERR_NO_MEMORY));
        return -1;
    }
    return 0;
}
