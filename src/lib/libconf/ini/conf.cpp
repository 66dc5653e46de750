#include "libconf/ini/conf.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "libconf/ini/ini_conf.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_map.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"
#include "libpal/string/str_vector.h"

namespace {

// The back-end registry: filled once, on the first open, searched in order.
constexpr int k_backends = 4;
const conf_ops* g_backends[k_backends];
std::once_flag g_backends_once;

void enter_backends() { g_backends[0] = ini_conf_get_ops(); }

constexpr const char* k_not_found = "NOT_FOUND";
constexpr const char* k_error_val = "ERROR VAL!!!";
constexpr size_t k_path_section_max = 8191;

bool all_digits(const char* s) {
    if (!s || !*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// Splits "section<TAB>key" (or "section:key" without a TAB).
bool split_path(const char* path, std::string& section, const char*& key) {
    if (!path) return false;
    const char* sep = strchr(path, '\t');
    if (!sep) sep = strchr(path, ':');
    if (!sep || static_cast<size_t>(sep - path) > k_path_section_max) return false;
    section.assign(path, static_cast<size_t>(sep - path));
    key = sep + 1;
    return true;
}

// Unsets every all-digit key of the section. 0 or -1.
int list_clear_keys(conf_ctx* h, const char* section) {
    str_vector* keys = conf_get_keys(h, section);
    if (!keys) return -1;
    for (size_t i = 0; i < keys->count; i++)
        if (all_digits(keys->items[i])) conf_unset_key(h, section, keys->items[i]);
    str_vector_free(keys);
    return 0;
}

// Writes the values as keys "0" upwards, in order, in place of the old list.
int list_store(conf_ctx* h, const char* section, const str_vector* values) {
    if (list_clear_keys(h, section) != 0) return -1;
    for (size_t i = 0; i < values->count; i++) {
        char key[24];
        snprintf(key, sizeof key, "%zu", i);
        if (conf_set_string(h, section, key, values->items[i]) != 0) return -1;
    }
    return 0;
}

}  // namespace

conf_ctx* conf_load_imp(const char* path, int create) {
    if (!path) return nullptr;
    std::call_once(g_backends_once, enter_backends);
    for (const conf_ops* ops : g_backends) {
        if (!ops || ops->probe(path) != 0) continue;
        void* obj = ops->open(path, create);
        if (!obj) return nullptr;
        auto* h = static_cast<conf_ctx*>(pl_zalloc(sizeof(conf_ctx)));
        if (!h) {
            ops->close(obj);
            return nullptr;
        }
        h->obj = obj;
        h->ops = ops;
        return h;
    }
    return nullptr;
}

conf_ctx* conf_load(const char* path) { return conf_load_imp(path, 0); }

conf_ctx* conf_create_load(const char* path) { return conf_load_imp(path, 1); }

int conf_close(conf_ctx* h) {
    if (!h) return 0;
    h->ops->close(h->obj);
    pl_free(h);
    return 0;
}

const char* conf_get_string(conf_ctx* h, const char* section, const char* key, const char* def) {
    return h ? h->ops->get(h->obj, section, key, def) : def;
}

int conf_set_string(conf_ctx* h, const char* section, const char* key, const char* value) {
    return h ? h->ops->set(h->obj, section, key, value) : -1;
}

str_vector* conf_get_sections(conf_ctx* h) { return h ? h->ops->sections(h->obj) : nullptr; }

str_vector* conf_get_keys(conf_ctx* h, const char* section) {
    return h ? h->ops->keys(h->obj, section) : nullptr;
}

int conf_del_section(conf_ctx* h, const char* section) { return h ? h->ops->del_section(h->obj, section) : -2; }

int conf_unset_key(conf_ctx* h, const char* section, const char* key) {
    return h ? h->ops->unset(h->obj, section, key) : -1;
}

int conf_rename_section(conf_ctx* h, const char* old_name, const char* new_name) {
    return h ? h->ops->rename_section(h->obj, old_name, new_name) : -2;
}

int conf_rename_key(conf_ctx* h, const char* section, const char* old_key, const char* new_key) {
    return h ? h->ops->rename_key(h->obj, section, old_key, new_key) : -1;
}

int conf_dump(conf_ctx* h) { return h ? h->ops->dump(h->obj) : -1; }

int conf_save(conf_ctx* h) { return h ? h->ops->save(h->obj) : -1; }

str_vector* conf_get_sections_match(conf_ctx* h, const char* pattern) {
    str_vector* all = conf_get_sections(h);
    if (!all || !pattern) {
        str_vector_free(all);
        return nullptr;
    }
    str_vector* out = str_vector_new(STR_VECTOR_OWN);
    for (size_t i = 0; out && i < all->count; i++) {
        if (str_wildcard(all->items[i], pattern) != 1) continue;
        if (str_vector_push(out, all->items[i]) != 0) {
            str_vector_free(out);
            out = nullptr;
        }
    }
    str_vector_free(all);
    return out;
}

int32_t conf_get_int(conf_ctx* h, const char* section, const char* key, int32_t def) {
    const char* v = conf_get_string(h, section, key, k_not_found);
    if (!v || strcmp(v, k_not_found) == 0) return def;
    long long n = strtoll(v, nullptr, 10);
    return static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

int conf_set_int(conf_ctx* h, const char* section, const char* key, int32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return conf_set_string(h, section, key, text);
}

int conf_section_exist(conf_ctx* h, const char* section) {
    if (!section) return 0;
    str_vector* v = conf_get_sections(h);
    if (!v) return 0;
    int found = str_vector_find(v, section) >= 0 ? 1 : 0;
    str_vector_free(v);
    return found;
}

int conf_key_exist(conf_ctx* h, const char* section, const char* key) {
    static const char absent[] = "";
    return conf_get_string(h, section, key, absent) != absent ? 1 : 0;
}

const char* conf_get_string_path(conf_ctx* h, const char* path, const char* def) {
    std::string section;
    const char* key;
    if (!split_path(path, section, key)) return def;
    return conf_get_string(h, section.c_str(), key, def);
}

int32_t conf_get_int_path(conf_ctx* h, const char* path, int32_t def) {
    std::string section;
    const char* key;
    if (!split_path(path, section, key)) return def;
    return conf_get_int(h, section.c_str(), key, def);
}

int conf_set_string_path(conf_ctx* h, const char* path, const char* value) {
    std::string section;
    const char* key;
    if (!split_path(path, section, key)) return -1;
    return conf_set_string(h, section.c_str(), key, value);
}

int conf_set_int_path(conf_ctx* h, const char* path, int32_t value) {
    std::string section;
    const char* key;
    if (!split_path(path, section, key)) return -1;
    return conf_set_int(h, section.c_str(), key, value);
}

str_vector* conf_get_list(conf_ctx* h, const char* section) {
    str_vector* keys = conf_get_keys(h, section);
    if (!keys) return nullptr;
    str_vector* out = str_vector_new(STR_VECTOR_OWN);
    for (size_t i = 0; out && i < keys->count; i++) {
        if (!all_digits(keys->items[i])) continue;
        if (str_vector_push(out, conf_get_string(h, section, keys->items[i], k_error_val)) != 0) {
            str_vector_free(out);
            out = nullptr;
        }
    }
    str_vector_free(keys);
    return out;
}

int conf_list_add(conf_ctx* h, const char* section, const char* value) {
    if (!value) return -1;
    str_vector* list = conf_get_list(h, section);
    if (!list) return -1;
    int r = 0;
    if (str_vector_find(list, value) < 0)
        r = str_vector_push(list, value) == 0 ? list_store(h, section, list) : -1;
    str_vector_free(list);
    return r;
}

int conf_list_del(conf_ctx* h, const char* section, const char* value) {
    if (!value) return -1;
    str_vector* list = conf_get_list(h, section);
    if (!list) return -1;
    int r = 0;
    if (str_vector_del(list, value) == 0) r = list_store(h, section, list);
    str_vector_free(list);
    return r;
}

int conf_list_clear(conf_ctx* h, const char* section) { return list_clear_keys(h, section); }

str_map* conf_get_map(conf_ctx* h, const char* section) {
    str_vector* keys = conf_get_keys(h, section);
    if (!keys) return nullptr;
    str_map* map = str_map_new(STR_MAP_COPY_KEY | STR_MAP_COPY_VAL);
    for (size_t i = 0; map && i < keys->count; i++) {
        const char* k = keys->items[i];
        if (str_map_set(map, k, conf_get_string(h, section, k, k_error_val)) != 0) {
            str_map_free(map);
            map = nullptr;
        }
    }
    str_vector_free(keys);
    return map;
}

int conf_read_string(const char* file, const char* path, const char* def, char* buf, size_t size) {
    if (!buf || size == 0) return -1;
    conf_ctx* h = conf_load(file);
    const char* v = h ? conf_get_string_path(h, path, nullptr) : nullptr;
    str_safecopy_trunc(buf, size, v ? v : def ? def : "");
    conf_close(h);
    return v ? 0 : -1;
}
