// Session aliases in device names: "///" + session name + "/" + path.
#include <strings.h>

#include <cstring>
#include <string_view>

#include "libkxcli/kx_conf.h"
#include "libkxcli/kx_conf_priv.h"
#include "libpal/network/url.h"
#include "liblog/log2.h"

namespace {

// url into buf: an alias or a URL trimmed, with "\\" turned into "/"; a
// local file name as it stands. False (logged) when it does not fit.
bool normalized_copy(const char* url, char (&buf)[KX_URL_SIZE]) {
    size_t n = strlen(url);
    if (n >= KX_URL_SIZE) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "url is longer than %zu\n", KX_URL_SIZE - 1);
        return false;
    }
    memcpy(buf, url, n + 1);
    url_text_normalize(buf);
    const std::string_view text(buf);
    if (text.substr(0, 3) != "///" && text.find("://") == std::string_view::npos) memcpy(buf, url, n + 1);
    return true;
}

void put(char* out, std::string_view text) {
    memcpy(out, text.data(), text.size());
    out[text.size()] = 0;
}

bool is_alias(std::string_view text) { return text.substr(0, 3) == "///"; }

}  // namespace

int url_conf_split(const char* url, char* name, char* path, int keep_slash) {
    if (!url || !name || !path) return -1;
    name[0] = path[0] = 0;
    char buf[KX_URL_SIZE];
    if (!normalized_copy(url, buf)) return -1;
    const std::string_view text(buf);
    if (!is_alias(text)) {
        put(path, text);
        return 0;
    }
    const std::string_view rest = text.substr(3);
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        put(name, rest);
        put(path, keep_slash ? "" : "/");
    } else {
        put(name, rest.substr(0, slash));
        put(path, rest.substr(keep_slash ? slash : slash + 1));
    }
    return 0;
}

int url_conf_2_real(const char* url, char* out) {
    if (!out) return -1;
    out[0] = 0;
    char buf[KX_URL_SIZE];
    if (!url || !normalized_copy(url, buf)) return -1;
    if (!is_alias(buf)) {
        memcpy(out, buf, strlen(buf) + 1);
        return 0;
    }

    char name[KX_URL_SIZE], path[KX_URL_SIZE];
    if (url_conf_split(buf, name, path, 1) != 0) return -1;
    char real[KX_URL_SIZE];
    uint32_t kind = 0;
    if (kx_session_url(name, real, &kind) != 0) return -1;
    if (kind == KX_SESSION_NET) {
        // "net://<name>/path" would reach the catch-all file driver as the local "/path".
        LOG2(LOG2_ERR, KX_CONF_TAG, "session [%s] is the network entry: no device opens on it\n", name);
        return -1;
    }
    // A local session gives the bare path.
    if (strncasecmp(real, "loc://", 6) == 0) real[0] = 0;
    if (char* q = strchr(path, '?')) {
        *q = 0;
        if (q[1] && url_add_query_raw(real, q + 1) != 0) {
            LOG2(LOG2_ERR, KX_CONF_TAG, "alias [%s] gives a URL longer than %zu\n", buf, KX_URL_SIZE - 1);
            return -1;
        }
    }
    if (url_add_path(real, path) != 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "alias [%s] gives a URL longer than %zu\n", buf, KX_URL_SIZE - 1);
        return -1;
    }
    url_text_normalize(real);
    if (!real[0]) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "alias [%s] names no device\n", buf);
        return -1;
    }
    memcpy(out, real, strlen(real) + 1);
    return 0;
}

int url_conf_2_real_inplace(char* url) {
    if (!url) return -1;
    char out[KX_URL_SIZE];
    if (url_conf_2_real(url, out) != 0) return -1;
    memcpy(url, out, strlen(out) + 1);
    return 0;
}
