// Saved sessions: reading, writing, listing, renaming and deleting the
// "session/<name>" sections of the client file.
#include <cstring>

#include "libkxcli/kx_conf.h"
#include "libkxcli/kx_conf_priv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_vector.h"
#include "liblog/log2.h"

namespace {

constexpr const char* k_err_val = "error_val!!!";
constexpr const char* k_quick = "_Quick_Connection";
constexpr size_t k_prefix_len = sizeof("session/") - 1;

// A text that goes into the session's URL: cutting it would name another
// host or account, so a text that does not fit fails the read.
template <size_t N>
bool copy_exact(char (&field)[N], const char* val, const char* sec, const char* key) {
    size_t n = strlen(val);
    if (n >= N) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "[%s][%s] is longer than %zu\n", sec, key, N - 1);
        return false;
    }
    memcpy(field, val, n + 1);
    return true;
}

template <size_t N>
void copy_cut(char (&field)[N], const char* val) {
    str_safecopy_trunc(field, N, val);
}

// A text field of a caller's record: terminated inside its field and free of
// control characters (a line break would end the value in the file).
template <size_t N>
bool field_ok(const char (&field)[N]) {
    size_t n = strnlen(field, N);
    if (n == N) return false;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(field[i]) < 0x20 || field[i] == 0x7f) return false;
    return true;
}

bool record_ok(const conf_client_info* cc) {
    return field_ok(cc->name) && cc->name[0] && field_ok(cc->ip) && field_ok(cc->port) && field_ok(cc->user) &&
           field_ok(cc->pwd) && field_ok(cc->bs) && field_ok(cc->fmod) && field_ok(cc->dmod) && field_ok(cc->proxy);
}

}  // namespace

bool kx_session_section(const char* name, char* sec) {
    sec[0] = 0;
    if (!name || !*name) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "empty session name\n");
        return false;
    }
    // A file cannot hold a section name with a line break or "]".
    for (const char* p = name; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f || *p == ']') {
            LOG2(LOG2_ERR, KX_CONF_TAG, "session name holds a control character or \"]\"\n");
            return false;
        }
    }
    int32_t n = str_sprintf_s(sec, KX_URL_SIZE, "session/%s", name);
    if (n < 0 || static_cast<size_t>(n) >= KX_URL_SIZE) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "session name is longer than %zu\n", KX_URL_SIZE - 1 - k_prefix_len);
        sec[0] = 0;
        return false;
    }
    return true;
}

int conf_client_get_info(const char* name, conf_client_info* info) {
    if (!name || !info) return -1;
    kx_conf_file f(kx_conf_client_load(false));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_load %s failed\n", kx_conf_client_path());
        return -1;
    }
    *info = conf_client_info{};
    char sec[KX_URL_SIZE];
    if (!kx_session_section(name, sec) || !copy_exact(info->name, name, sec, "name")) return -1;

    const char* prot = conf_get_string(f.h, sec, "prot", k_err_val);
    if (!prot || strcmp(prot, k_err_val) == 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_get_string [%s][prot] val=%s type fail\n", sec, prot ? prot : "");
        return -1;
    }
    if (strcmp(prot, "kxp") == 0) {
        info->kind = KX_SESSION_KXP;
        const char* ip = conf_get_string(f.h, sec, "ip", k_err_val);
        if (!ip || strcmp(ip, k_err_val) == 0) {
            LOG2(LOG2_ERR, KX_CONF_TAG, "conf_get_string [%s][prot] type fail\n", sec);
            return -1;
        }
        if (!copy_exact(info->ip, ip, sec, "ip")) return -1;
        info->use_ssl = static_cast<uint8_t>(conf_get_int(f.h, sec, "use_ssl", 0));
        if (!copy_exact(info->port, conf_get_string(f.h, sec, "port", ""), sec, "port") ||
            !copy_exact(info->user, conf_get_string(f.h, sec, "user", ""), sec, "user") ||
            !copy_exact(info->pwd, conf_get_string(f.h, sec, "pwd", ""), sec, "pwd") ||
            !copy_exact(info->proxy, conf_get_string(f.h, sec, "proxy", ""), sec, "proxy"))
            return -1;
        copy_cut(info->bs, conf_get_string(f.h, sec, "bs", "2M"));
        copy_cut(info->fmod, conf_get_string(f.h, sec, "fmod", "644"));
        copy_cut(info->dmod, conf_get_string(f.h, sec, "dmod", "755"));
    } else if (strcmp(prot, "net") == 0) {
        info->kind = KX_SESSION_NET;
    } else if (strcmp(prot, "loc") == 0) {
        info->kind = KX_SESSION_LOC;
    } else {
        LOG2(LOG2_ERR, KX_CONF_TAG, "error prot [%s]\n", prot);
        return -1;
    }
    return 0;
}

int conf_client_set_info(const conf_client_info* info) {
    if (!info) return -1;
    if (!record_ok(info)) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "session record holds an empty name, an unterminated text or a control character\n");
        return -1;
    }
    char sec[KX_URL_SIZE];
    if (!kx_session_section(info->name, sec)) return -1;
    if (info->kind != KX_SESSION_NET && info->kind != KX_SESSION_KXP) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "cc->prot=%d error\n", static_cast<int>(info->kind));
        return -1;
    }
    kx_conf_file f(kx_conf_client_load(true));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_load %s failed\n", kx_conf_client_path());
        return -1;
    }
    LOG2(LOG2_DBG, KX_CONF_TAG, "prot=%d path=[%s]\n", static_cast<int>(info->kind), sec);
    auto set = [&](const char* key, const char* val) { return conf_set_string(f.h, sec, key, val) == 0; };
    bool ok;
    if (info->kind == KX_SESSION_NET) {
        ok = set("prot", "net");
    } else {
        ok = set("prot", "kxp") && conf_set_int(f.h, sec, "use_ssl", info->use_ssl) == 0 && set("ip", info->ip) &&
             set("port", info->port) && set("user", info->user) && set("pwd", info->pwd) && set("bs", info->bs) &&
             set("fmod", info->fmod) && set("dmod", info->dmod) && set("proxy", info->proxy);
    }
    if (!ok) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_set_string [%s] failed\n", sec);
        return -1;
    }
    return kx_conf_client_save(f.h);
}

int conf_walk_item(void (*fn)(void* arg, const char* name, uint32_t kind), void* arg) {
    kx_conf_file f(kx_conf_client_load(true));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_load %s failed\n", kx_conf_client_path());
        return -1;
    }
    // The two fixed entries; the file is rewritten only when they change.
    const char* local = conf_get_string(f.h, "session/localhost", "prot", "");
    const char* network = conf_get_string(f.h, "session/network", "prot", "");
    if (!local || strcmp(local, "loc") != 0 || !network || strcmp(network, "net") != 0) {
        if (conf_set_string(f.h, "session/localhost", "prot", "loc") != 0 ||
            conf_set_string(f.h, "session/network", "prot", "net") != 0 || kx_conf_client_save(f.h) != 0)
            LOG2(LOG2_ERR, KX_CONF_TAG, "writing the fixed sessions to [%s] failed\n", kx_conf_client_path());
    }
    str_vector* list = conf_get_sections_match(f.h, "session/*");
    if (!list) return -1;
    for (size_t i = 0; i < list->count; ++i) {
        const char* sec = list->items[i];
        if (!sec || strncmp(sec, "session/", k_prefix_len) != 0) continue;
        const char* name = sec + k_prefix_len;
        if (strcmp(name, k_quick) == 0) continue;
        conf_client_info info;
        if (conf_client_get_info(name, &info) == 0 && fn) fn(arg, name, info.kind);
    }
    str_vector_free(list);
    return 0;
}

int conf_client_is_exist(const char* name) {
    kx_conf_file f(kx_conf_client_load(false));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_load [%s] failed\n", kx_conf_client_path());
        return -1;
    }
    char sec[KX_URL_SIZE];
    if (!kx_session_section(name, sec)) return 0;
    return conf_section_exist(f.h, sec) ? 1 : 0;
}

int conf_client_del(const char* name) {
    kx_conf_file f(kx_conf_client_load(false));
    char sec[KX_URL_SIZE];
    if (!f || !kx_session_section(name, sec)) return -1;
    if (conf_del_section(f.h, sec) != 0) return -1;
    return kx_conf_client_save(f.h);
}

int conf_client_copy_move(const char* old_name, const char* new_name) {
    kx_conf_file f(kx_conf_client_load(false));
    if (!f) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "conf_load %s failed\n", kx_conf_client_path());
        return -1;
    }
    char old_sec[KX_URL_SIZE], new_sec[KX_URL_SIZE];
    if (!kx_session_section(old_name, old_sec) || !kx_session_section(new_name, new_sec)) return -1;
    if (conf_rename_section(f.h, old_sec, new_sec) != 0) {
        LOG2(LOG2_ERR, KX_CONF_TAG, "rename [%s] to [%s] failed\n", old_sec, new_sec);
        return -1;
    }
    return kx_conf_client_save(f.h);
}
