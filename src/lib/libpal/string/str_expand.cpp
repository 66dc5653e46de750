#include "libpal/string/str_expand.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

namespace {

char* env_lookup(const char* name, void*, size_t) { return env_dup(name); }

// Appends the value of the name [name, name+len) when the lookup has one.
// Returns false when the name has no value.
bool insert_value(std::string& out, const char* name, size_t len, str_lookup_fn lookup, void* arg) {
    if (len == 0 || !lookup) return false;
    std::string key(name, len);
    char* value = lookup(key.c_str(), arg, len);
    if (!value) return false;
    out += value;
    pl_free(value);
    return true;
}

char* to_text(const std::string& s) { return pl_strdup(s.c_str()); }

}  // namespace

char* env_dup(const char* name) {
    if (!name) return nullptr;
    const char* v = getenv(name);
    return v ? pl_strdup(v) : nullptr;
}

char* str_expand_vars(const char* text, str_lookup_fn lookup, void* arg) {
    if (!text) return nullptr;
    std::string out;
    const char* p = text;
    while (*p) {
        if (*p != '$') {
            out += *p++;
            continue;
        }
        const char* name = ++p;
        for (;;) {
            char c = *p;
            if (c == '{') {
                // The braced form: the name runs to "}".
                name = p + 1;
                const char* close = strchr(name, '}');
                if (!close) {
                    out += name;
                    p = name + strlen(name);
                } else {
                    insert_value(out, name, static_cast<size_t>(close - name), lookup, arg);
                    p = close + 1;
                }
                break;
            }
            if (c == 0 || strchr("$-/:=\\", c)) {
                insert_value(out, name, static_cast<size_t>(p - name), lookup, arg);
                // A "$" is left for the next round, where it starts a name.
                if (c != 0 && c != '$') out += *p++;
                break;
            }
            ++p;
        }
    }
    return to_text(out);
}

char* str_expand_env_vars(const char* text) { return str_expand_vars(text, env_lookup, nullptr); }

char* str_expand_pct(const char* text, str_lookup_fn lookup, void* arg) {
    if (!text) return nullptr;
    std::string out;
    const char* p = text;
    while (*p) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* close = strchr(p + 1, '%');
        if (!close) {
            out += p;
            break;
        }
        const char* name = p + 1;
        size_t len = static_cast<size_t>(close - name);
        if (len && !insert_value(out, name, len, lookup, arg)) out.append(p, len + 2);
        p = close + 1;
    }
    return to_text(out);
}

char* str_expand_pct_env_dup(const char* text) { return str_expand_pct(text, env_lookup, nullptr); }

int str_expand_pct_env(const char* text, char* out, size_t out_size) {
    char* s = str_expand_pct_env_dup(text);
    if (!s) {
        if (out && out_size) out[0] = 0;
        return 22;
    }
    int rc = str_safecopy(out, out_size, s);
    pl_free(s);
    return rc;
}
