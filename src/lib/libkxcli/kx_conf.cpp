// The client configuration's paths, the exported environment, section
// "conf" and the time-outs of device URLs.
#include "libkxcli/kx_conf.h"

#include <sys/stat.h>

#include <cstring>
#include <iterator>

#include "libkxcli/kx_conf_priv.h"
#include "libpal/env/pl_env.h"
#include "libpal/network/url.h"
#include "libpal/string/path.h"
#include "libpal/string/str_safe.h"
#include "liblog/log2.h"

namespace {

char g_client_path[KX_CONF_PATH_SIZE];
char g_proxy_path[KX_CONF_PATH_SIZE];

struct timeout_row {
    int def;
    const char* key;
};
constexpr timeout_row k_timeouts[] = {
    {6, "connect_timeout"},
    {15, "read_timeout"},
    {8, "write_timeout"},
};

int timeout_default(const char* key) {
    for (const auto& row : k_timeouts)
        if (strcmp(row.key, key) == 0) return row.def;
    return 0;
}

// dir + "\" + name, normalised, into out; false when it does not fit.
bool join_path(char* out, const char* dir, const char* name) {
    int32_t n = str_sprintf_s(out, KX_CONF_PATH_SIZE, "%s\\%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= KX_CONF_PATH_SIZE) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "path [%s] + [%s] is too long\n", dir, name);
        out[0] = 0;
        return false;
    }
    path_normalize(out);
    return true;
}

bool is_regular_file(const char* path) {
    struct stat st{};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

const char* kx_conf_client_path() { return g_client_path; }
const char* kx_conf_proxy_path() { return g_proxy_path; }

conf_ctx* kx_conf_client_load(bool create) {
    if (!g_client_path[0]) return nullptr;
    // The configuration layer creates and saves files readable by their owner only.
    return create ? conf_create_load(g_client_path) : conf_load(g_client_path);
}

int kx_conf_client_save(conf_ctx* h) {
    if (conf_save(h) != 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_save [%s] failed\n", g_client_path);
        return -1;
    }
    return 0;
}

int kx_conf_set_path(const char* dir) {
    g_client_path[0] = g_proxy_path[0] = 0;
    char exe_dir[KX_CONF_PATH_SIZE] = "";
    if (dir && *dir) {
        if (strlen(dir) >= sizeof exe_dir) {
            LOG2(LOG2_ERR, KX_CONF_TAG, "directory [%s] is too long\n", dir);
            return -1;
        }
        memcpy(exe_dir, dir, strlen(dir) + 1);
    } else if (os_exe_get_dir(exe_dir, sizeof exe_dir) != 0) {
        exe_dir[0] = '.';
        exe_dir[1] = 0;
    }
    const char* conf_dir = exe_dir;
    const char* env = os_getenv("KX_ENV_CONF_DIR");
    if (env && *env) {
        LOG2(LOG2_DBG, KX_CONF_TAG, "use env_conf_dir=[%s]\n", env);
        conf_dir = env;
    }

    int rc = 0;
    if (!join_path(g_client_path, conf_dir, "kxta-gui-user.ini") || !is_regular_file(g_client_path))
        if (!join_path(g_client_path, conf_dir, "kx_client.ini")) rc = -1;
    if (!join_path(g_proxy_path, conf_dir, "kx_proxy.ini")) rc = -1;
    os_setenv("KX_PROXY_FILE", g_proxy_path, 1);

    char cache[KX_CONF_PATH_SIZE];
    if (!join_path(cache, exe_dir, "var\\cache")) rc = -1;
    os_setenv("KX_CACHE", cache, 1);
    // An empty or unusable "cache_dir" keeps the default.
    char conf_cache[KX_CONF_PATH_SIZE];
    if (kx_conf_get_str("cache_dir", conf_cache, sizeof conf_cache) == 0 && conf_cache[0])
        os_setenv("KX_CACHE", conf_cache, 1);

    LOG2(LOG2_VERB, KX_CONF_TAG, "conf_client=[%s] conf_proxy=[%s]\n", g_client_path, g_proxy_path);
    return rc;
}

int kx_conf_get_str(const char* key, char* out, size_t size) {
    if (!out || size == 0) return -1;
    out[0] = 0;
    if (!key) return -1;
    const char* def = "";
    if (strcmp(key, "cache_dir") == 0) {
        const char* cache = os_getenv("KX_CACHE");
        def = cache ? cache : "";
    }
    const char* val = def;
    kx_conf_file f(kx_conf_client_load(false));
    if (f) val = conf_get_string(f.h, KX_CONF_SECTION, key, def);
    if (!val) val = "";
    if (strlen(val) >= size) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "[%s] value is longer than %zu\n", key, size - 1);
        return -1;
    }
    memcpy(out, val, strlen(val) + 1);
    path_normalize(out);
    return 0;
}

int kx_conf_get_int(const char* key) {
    if (!key) return 0;
    int def = timeout_default(key);
    kx_conf_file f(kx_conf_client_load(false));
    return f ? conf_get_int(f.h, KX_CONF_SECTION, key, def) : def;
}

namespace {

template <class Set>
int set_conf_key(const char* key, Set set) {
    kx_conf_file f(kx_conf_client_load(true));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_create_load [%s] fail\n", g_client_path);
        return -1;
    }
    if (set(f.h) != 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "set [%s][%s] failed\n", KX_CONF_SECTION, key);
        return -1;
    }
    return kx_conf_client_save(f.h);
}

}  // namespace

int kx_conf_set_int(const char* key, int value) {
    if (!key || !*key) return -1;
    return set_conf_key(key, [&](conf_ctx* h) { return conf_set_int(h, KX_CONF_SECTION, key, value); });
}

int kx_conf_set_str(const char* key, const char* value) {
    if (!key || !*key || !value) return -1;
    const bool is_cache = strcmp(key, "cache_dir") == 0;
    if (is_cache && strlen(value) >= KX_CONF_PATH_SIZE) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "[%s] value is longer than %zu\n", key, KX_CONF_PATH_SIZE - 1);
        return -1;
    }
    if (set_conf_key(key, [&](conf_ctx* h) { return conf_set_string(h, KX_CONF_SECTION, key, value); }) != 0) return -1;
    if (is_cache) {
        char cache[KX_CONF_PATH_SIZE];
        if (path_normalize_copy(value, cache, sizeof cache)) os_setenv("KX_CACHE", cache, 1);
    }
    return 0;
}

int kx_conf_url_add_timeout(char* url) {
    if (!url) return -1;
    int vals[std::size(k_timeouts)];
    {
        kx_conf_file f(kx_conf_client_load(false));
        for (size_t i = 0; i < std::size(k_timeouts); ++i) {
            const timeout_row& row = k_timeouts[i];
            vals[i] = f ? conf_get_int(f.h, KX_CONF_SECTION, row.key, row.def) : row.def;
        }
    }
    int rc = 0;
    for (size_t i = 0; i < std::size(k_timeouts); ++i)
        if (url_set_query_int_mode(url, k_timeouts[i].key, vals[i], set_not_exist) != 0) rc = -1;
    return rc;
}
