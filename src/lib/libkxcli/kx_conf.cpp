#include "libkxcli/kx_conf.h"

#include <cstring>

#include "libpal/network/url.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {
char g_conf_dir[4096];
}

int kx_conf_set_path(const char* dir) {
    (void)str_safecopy(g_conf_dir, dir ? dir : "");
    return 0;
}

int kx_conf_url_add_timeout(char* url) {
    // Without a client configuration file the defaults apply.
    url_set_query_int_mode(url, "connect_timeout", 6, set_not_exist);
    url_set_query_int_mode(url, "read_timeout", 15, set_not_exist);
    url_set_query_int_mode(url, "write_timeout", 8, set_not_exist);
    return 0;
}

int url_conf_2_real(const char* url, char* out) {
    if (!url || !out) return -1;
    if (url_scheme_type(url) == 8) {
        // A saved-session alias needs the client configuration file.
        LOG2(LOG2_ERR, "kxcli", "session [%s] cannot be read: no client configuration\n", url);
        out[0] = 0;
        return -1;
    }
    return str_safecopy(out, KX_URL_SIZE, url) == 0 ? 0 : -1;
}
