#include "libnet/proxy_conf.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "libconf/ini/conf.h"
#include "libkxcli/kx_conf.h"
#include "libnet/net_priv.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/basic/verr.h"
#include "libpal/env/pl_env.h"
#include "libpal/network/url.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_hex.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"

namespace {

constexpr std::string_view k_words[] = {"http", "socks4", "socks5"};

// Longest hexadecimal password text of the proxy file.
constexpr size_t k_pwd_hex_max = 255;

struct conf_closer {
    void operator()(conf_ctx* h) const { conf_close(h); }
};
using conf_ptr = std::unique_ptr<conf_ctx, conf_closer>;

// A URL as it may appear in a log line or an error message: its password
// (and any secret query value) as "***".
std::string shown_url(const char* url) {
    char out[URL_SIZE];
    url_mask_password(url, out, sizeof out);
    return out;
}

// Copies text into a field when it fits; false otherwise (field untouched).
template <size_t N>
bool put_field(char (&field)[N], const char* text) {
    if (strlen(text) >= N) return false;
    memcpy(field, text, strlen(text) + 1);
    return true;
}

// The record of a parsed proxy URL: protocol word and kind, host, port,
// user and password. -1 with the error record filled.
int proxy_from_url(const url_ctx& u, const char* url, conf_proxy* rec, verr_info* err, const char* what) {
    int kind = conf_proxy_2_id(u.protocol, err);
    if (kind < 0) return -1;
    rec->kind = static_cast<uint32_t>(kind);
    // User and password may be percent-encoded, so that any character can
    // be written in them.
    char user[sizeof rec->user], pwd[sizeof rec->pwd];
    const bool decoded = str_unescape_url_args(u.user, user, sizeof user) == 0 &&
                         str_unescape_url_args(u.passwd, pwd, sizeof pwd) == 0;
    const bool fits = decoded && put_field(rec->proto, u.protocol) && put_field(rec->ip, u.host) &&
                      put_field(rec->user, user) && put_field(rec->pwd, pwd);
    explicit_bzero(pwd, sizeof pwd);
    if (!fits) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "%s [%s] invalid", what, shown_url(url).c_str());
        return -1;
    }
    rec->port = u.port;
    return 0;
}

// The environment's proxy URL: an empty value is no proxy, and a value
// without a scheme ("host:port") is an HTTP proxy.
bool env_proxy_url(std::string* out) {
    const char* env = os_getenv("http_proxy");
    if (!env || !*env) return false;
    *out = env;
    if (url_has_no_scheme(env)) *out = "http://" + *out;
    return true;
}

// The address of a text, when it is one: family and 16 bytes.
bool parse_addr(std::string_view text, int* family, unsigned char* bytes) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    const std::string t(text);
    memset(bytes, 0, 16);
    if (inet_pton(AF_INET, t.c_str(), bytes) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, t.c_str(), bytes) == 1) {
        *family = AF_INET6;
        return true;
    }
    return false;
}

bool prefix_equal(const unsigned char* a, const unsigned char* b, unsigned bits) {
    const unsigned whole = bits / 8, rest = bits % 8;
    if (memcmp(a, b, whole) != 0) return false;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

bool iequal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool entry_takes(std::string_view entry, std::string_view host) {
    if (entry == "*") return true;
    int hf = 0, ef = 0;
    unsigned char hb[16], eb[16];
    const bool host_is_addr = parse_addr(host, &hf, hb);
    if (size_t slash = entry.find('/'); slash != std::string_view::npos) {
        if (!host_is_addr || !parse_addr(entry.substr(0, slash), &ef, eb) || ef != hf) return false;
        const std::string bits_text(entry.substr(slash + 1));
        char* end = nullptr;
        const unsigned long bits = strtoul(bits_text.c_str(), &end, 10);
        if (bits_text.empty() || *end || bits > (hf == AF_INET ? 32u : 128u)) return false;
        return prefix_equal(hb, eb, static_cast<unsigned>(bits));
    }
    if (parse_addr(entry, &ef, eb)) return host_is_addr && ef == hf && memcmp(hb, eb, 16) == 0;
    if (host_is_addr) return false;
    if (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
    else if (entry.substr(0, 1) == ".") entry.remove_prefix(1);
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
    if (entry.empty()) return false;
    if (iequal(host, entry)) return true;
    return host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
           iequal(host.substr(host.size() - entry.size()), entry);
}

}  // namespace

bool conf_proxy_bypass(const char* host, const char* list) {
    if (!host || !*host || !list) return false;
    std::string_view rest(list);
    while (!rest.empty()) {
        const size_t end = rest.find_first_of(", \t");
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!entry.empty() && entry_takes(entry, host)) return true;
    }
    return false;
}

int conf_proxy_2_id(const char* proto, verr_info* err) {
    if (proto) {
        for (size_t i = 0; i < std::size(k_words); ++i)
            if (k_words[i] == proto) return static_cast<int>(i + 1);
    }
    NET_ERR(err, VERR_INVALID_PARAMETER, "proxy protocol [%s] Unsupported\n", proto ? proto : "");
    return -1;
}

const char* conf_proxy_id_2_str(uint32_t kind) {
    if (kind >= 1 && kind <= std::size(k_words)) return k_words[kind - 1].data();
    return "unkown";
}

int conf_proxy_get(const char* proxy_url, const char* proxy_name, conf_proxy* proxy, verr_info* err,
                   const char* host) {
    if (!PL_CHECK("net", proxy)) return -1;
    auto rec = std::make_unique<conf_proxy>();
    url_ctx u;
    auto ubuf = std::make_unique<char[]>(URL_SIZE);
    if (proxy_url && *proxy_url) {
        if (url_parser(&u, ubuf.get(), proxy_url) != 0) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "proxy url [%s] invalid", shown_url(proxy_url).c_str());
            return -1;
        }
        if (proxy_from_url(u, proxy_url, rec.get(), err, "proxy url") != 0) return -1;
    } else if (proxy_name && *proxy_name) {
        const char* file = os_getenv("KX_PROXY_FILE");
        if (!file || !*file) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "%%KX_ENV_PROXY_FILE%% Is NULL");
            return -1;
        }
        if (conf_proxy_load(file, proxy_name, rec.get(), nullptr, err) != 0) return -1;
        // The URL text of the load holds the password: log its shape only.
        const bool with_auth = *rec->user && *rec->pwd;
        LOG2(LOG2_DBG, "net", "use proxy=%s [%s://%s%s%s:%u]\n", proxy_name, rec->proto, with_auth ? rec->user : "",
             with_auth ? ":***@" : "", rec->ip, rec->port);
    } else {
        std::string env;
        if (!env_proxy_url(&env)) return 1;
        // no_proxy lifts only the environment's proxy; a proxy the user named
        // for this device is used as asked.
        const char* bypass = os_getenv("no_proxy");
        if (!bypass || !*bypass) bypass = os_getenv("NO_PROXY");
        if (host && conf_proxy_bypass(host, bypass)) {
            LOG2(LOG2_DBG, "net", "no_proxy: %s goes direct\n", host);
            return 1;
        }
        const std::string shown = shown_url(env.c_str());
        if (url_parser(&u, ubuf.get(), env.c_str()) != 0) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "env url [%s] invalid", shown.c_str());
            return -1;
        }
        LOG2(LOG2_DBG, "net", "use http_proxy=%s\n", shown.c_str());
        if (proxy_from_url(u, env.c_str(), rec.get(), err, "env url") != 0) return -1;
    }
    if (!*rec->ip) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "proxy ip is empty");
        return -1;
    }
    if (rec->port == 0) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "proxy port is empty");
        return -1;
    }
    // A port that a connect would cut to 16 bits names another port.
    if (rec->port > 65535) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "proxy port [%u] invalid", rec->port);
        return -1;
    }
    *proxy = *rec;
    return 0;
}

int conf_proxy_load(const char* file, const char* name, conf_proxy* proxy, char* url_text, verr_info* err) {
    if (!PL_CHECK("net", file && name && proxy)) return -1;
    auto rec = std::make_unique<conf_proxy>();
    char pwd_hex[k_pwd_hex_max + 1] = "";
    {
        conf_ptr h(conf_load(file));
        if (!h) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "conf_load [%s] failed", file);
            return -1;
        }
        if (!conf_section_exist(h.get(), name)) {
            NET_ERR(err, VERR_INVALID_PARAMETER, "proxy name [%s] does not exist", name);
            return -1;
        }
        const char* proto = conf_get_string(h.get(), name, "proto", "");
        int kind = conf_proxy_2_id(proto, err);
        if (kind < 0) return -1;
        rec->kind = static_cast<uint32_t>(kind);
        str_lcpy(rec->proto, proto, sizeof rec->proto);
        // Fields too long for the record read as empty.
        if (str_safecopy(rec->ip, sizeof rec->ip, conf_get_string(h.get(), name, "ip", "")) != 0) rec->ip[0] = '\0';
        rec->port = static_cast<uint32_t>(conf_get_int(h.get(), name, "port", 0));
        if (str_safecopy(rec->user, sizeof rec->user, conf_get_string(h.get(), name, "user", "")) != 0)
            rec->user[0] = '\0';
        // Not through the strict copy: its overflow line would show the
        // first characters of the password.
        const char* hex = conf_get_string(h.get(), name, "pwd", "");
        if (strlen(hex) <= k_pwd_hex_max) memcpy(pwd_hex, hex, strlen(hex) + 1);
    }
    if (*pwd_hex && str_hex_decode_bin(pwd_hex, 1, rec->pwd, sizeof rec->pwd) < 0) {
        NET_ERR(err, VERR_INVALID_PARAMETER, "proxy pwd [%s] invalid", "***");
        return -1;
    }
    if (url_text) {
        if (*rec->user && *rec->pwd)
            str_sprintf_s(url_text, URL_SIZE, "%s://%s:%s@%s:%d", rec->proto, rec->user, rec->pwd, rec->ip,
                          static_cast<int>(rec->port));
        else
            str_sprintf_s(url_text, URL_SIZE, "%s://%s:%d", rec->proto, rec->ip, static_cast<int>(rec->port));
    }
    *proxy = *rec;
    return 0;
}

str_vector* conf_proxy_list() {
    conf_ptr h(conf_load(kx_conf_proxy_path()));
    if (!h) return nullptr;
    return conf_get_sections(h.get());
}

int conf_proxy_load_name(const char* name, char* url_text, verr_info* err) {
    auto rec = std::make_unique<conf_proxy>();
    return conf_proxy_load(kx_conf_proxy_path(), name, rec.get(), url_text, err);
}

int conf_proxy_name_by_idx(uint32_t n, char* name) {
    if (!PL_CHECK("net", name)) return -1;
    name[0] = '\0';
    str_vector* list = conf_proxy_list();
    if (!list) return -1;
    int rc = 0;
    if (n >= 1 && n <= list->count && str_safecopy(name, CONF_PROXY_NAME_SIZE, list->items[n - 1]) != 0) rc = -1;
    str_vector_free(list);
    return rc;
}

int conf_proxy_load_by_idx(uint32_t n, conf_proxy* proxy, char* url_text, verr_info* err) {
    char name[CONF_PROXY_NAME_SIZE];
    if (conf_proxy_name_by_idx(n, name) != 0) return -1;
    return conf_proxy_load(kx_conf_proxy_path(), name, proxy, url_text, err);
}

int conf_proxy_save(const char* file, const char* name, const conf_proxy* proxy) {
    if (!PL_CHECK("net", file && name && proxy)) return -1;
    conf_ptr h(conf_create_load(file));
    if (!h) {
        LOG2(LOG2_ERR, "net", "conf_create_load %s failed\n", file);
        return -1;
    }
    char hex[k_pwd_hex_max + 1];
    if (str_bin_encode_hex(proxy->pwd, strnlen(proxy->pwd, sizeof proxy->pwd), hex, sizeof hex) < 0) {
        LOG2(LOG2_ERR, "net", "encode data failed\n");
        return -1;
    }
    conf_ctx* c = h.get();
    if (conf_set_string(c, name, "proto", conf_proxy_id_2_str(proxy->kind)) != 0 ||
        conf_set_string(c, name, "ip", proxy->ip) != 0 ||
        conf_set_int(c, name, "port", static_cast<int32_t>(proxy->port)) != 0 ||
        conf_set_string(c, name, "user", proxy->user) != 0 || conf_set_string(c, name, "pwd", hex) != 0)
        return -1;
    return conf_save(c);
}

int conf_proxy_rename_save(const char* old_name, const char* new_name, const conf_proxy* proxy) {
    if (!PL_CHECK("net", new_name && proxy)) return -1;
    const char* file = kx_conf_proxy_path();
    if (old_name && *old_name && strcmp(old_name, new_name) != 0) {
        conf_ptr h(conf_create_load(file));
        if (!h) {
            LOG2(LOG2_ERR, "net", "conf_create_load %s failed\n", file);
            return -1;
        }
        // A missing old section leaves nothing to rename; an existing new
        // one is another proxy and is not overwritten.
        int rc = conf_rename_section(h.get(), old_name, new_name);
        if (rc == -1 || (rc == 0 && conf_save(h.get()) != 0)) return -1;
    }
    return conf_proxy_save(file, new_name, proxy);
}
