#include "libpal/env/os_opt.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_kv.h"
#include "liblog/log2.h"

namespace {

os_opt_row* find_row(os_opt_row* table, const char* key) {
    if (!table || !key) return nullptr;
    for (os_opt_row* r = table; r->key; ++r)
        if (strcasecmp(r->key, key) == 0) return r;
    return nullptr;
}

void write_target(const os_opt_row* r, const char* value) {
    if (!r->target) return;
    if (r->type == OS_OPT_U32) {
        *static_cast<uint32_t*>(r->target) = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else {
        *static_cast<char**>(r->target) = pl_strdup(value);
    }
}

}  // namespace

int os_opt_kv_get(os_opt_row* table, const char* text) {
    if (!table || !text) return -1;
    if (strcmp(text, "list") == 0) {
        fprintf(stderr, "support the following key settings\n");
        for (os_opt_row* r = table; r->key; ++r) fprintf(stderr, "%s\n", r->key);
        fflush(stderr);
        exit(0);
    }
    char key[256], val[256];
    if (str_get_key_and_val(text, "=", key, sizeof key, val, sizeof val) != 0) {
        LOG2(LOG2_ERR, "pal", "%s syntax error Example: k=v\n", text);
        return -1;
    }
    os_opt_row* r = find_row(table, key);
    if (!r) {
        LOG2(LOG2_ERR, "pal", "unsupported key [%s]\n", key);
        return -1;
    }
    char* copy = pl_strdup(val);
    if (!copy) return -1;
    pl_free(r->value);
    r->value = copy;
    return 0;
}

int os_opt_load(os_opt_row* table) {
    if (!table) return 0;
    for (os_opt_row* r = table; r->key; ++r)
        if (r->value) write_target(r, r->value);
    return 0;
}

int os_opt_kv_set2(os_opt_row* table, const char* key, const char* value) {
    os_opt_row* r = find_row(table, key);
    if (!r || !value) {
        LOG2(LOG2_ERR, "pal", "unsupported key=[%s] val=[%s]\n", key ? key : "", value ? value : "");
        return -1;
    }
    write_target(r, value);
    return 0;
}

int os_opt_free(os_opt_row* table) {
    if (!table) return 0;
    for (os_opt_row* r = table; r->key; ++r) {
        pl_free(r->value);
        r->value = nullptr;
    }
    return 0;
}
