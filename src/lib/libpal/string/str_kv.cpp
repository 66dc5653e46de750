#include "libpal/string/str_kv.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_codec.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"
#include "liblog/log2.h"

namespace {

}  // namespace

int str_view_safecopy(std::string_view v, char* out, size_t size) {
    if (!out || size == 0) return -1;
    if (v.size() < size) {
        memcpy(out, v.data(), v.size());
        out[v.size()] = 0;
        return 0;
    }
    char head[16];
    size_t n = v.size() < sizeof head - 1 ? v.size() : sizeof head - 1;
    memcpy(head, v.data(), n);
    head[n] = 0;
    LOG2(LOG2_ERR, "pal", "need_size=%d buf_size=%u head=[%s]\n", static_cast<int>(v.size() + 1),
         static_cast<unsigned>(size), head);
    pl_assert_hook();
    out[0] = 0;
    errno = ERANGE;
    return -1;
}

bool str_kv_find(std::string_view text, const char* seps, char kv, std::string_view key, std::string_view* val) {
    if (!seps) return false;
    std::string_view rest = text;
    for (;;) {
        size_t cut = rest.find_first_of(seps);
        std::string_view field = rest.substr(0, cut);
        size_t eq = field.find(kv);
        // Empty fields and fields without a value (flags such as "ro") are
        // skipped; they do not hide the fields after them.
        if (eq != std::string_view::npos && str_strip(field.substr(0, eq)) == key) {
            if (val) *val = str_strip(field.substr(eq + 1));
            return true;
        }
        if (cut == std::string_view::npos) return false;
        rest.remove_prefix(cut + 1);
    }
}

int str_kv_get(const char* text, const char* seps, char kv, const char* key, char* out, size_t size) {
    if (!text || !seps || !key || !out || size == 0) return -1;
    std::string_view val;
    if (!str_kv_find(text, seps, kv, key, &val)) return -1;
    return str_view_safecopy(val, out, size);
}

int str_kv_get_eq(const char* text, const char* seps, const char* key, char* out, size_t size) {
    return str_kv_get(text, seps, '=', key, out, size);
}

char* str_get_field(const char* text, const char* seps, size_t n, char* out, size_t size) {
    if (!text || !seps || !out || size == 0) return nullptr;
    std::string_view rest(text);
    for (size_t i = 0;; ++i) {
        size_t cut = rest.find_first_of(seps);
        if (i == n) {
            std::string_view field = rest.substr(0, cut);
            if (field.size() >= size) return nullptr;
            memcpy(out, field.data(), field.size());
            out[field.size()] = 0;
            return out;
        }
        if (cut == std::string_view::npos) return nullptr;
        rest.remove_prefix(cut + 1);
    }
}

int str_get_key_and_val(const char* text, const char* seps, char* key, size_t key_size, char* val, size_t val_size) {
    if (!str_get_field(text, seps, 0, key, key_size)) return -1;
    if (!str_get_field(text, seps, 1, val, val_size)) return -1;
    return 0;
}

int str_kv_get_crlf(const char* text, const char* key, char* out, size_t size) {
    return str_kv_get(text, "\r\n", '=', key, out, size);
}

int str_kv_get_bracket(const char* text, const char* key, char* out, size_t size) {
    if (!text || !key || !out || size == 0) return -1;
    std::string_view val;
    if (!str_kv_find(text, "\n", '=', key, &val)) return -1;
    size_t open = val.find('['), close = val.rfind(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return -1;
    std::string_view part = val.substr(open + 1, close - open - 1);
    if (part.size() >= size) return -1;
    memcpy(out, part.data(), part.size());
    out[part.size()] = 0;
    return 0;
}

int str_kv_get_unquote(const char* text, const char* seps, char kv, const char* key, char* out, size_t size) {
    if (str_kv_get(text, seps, kv, key, out, size) != 0) return -1;
    size_t n = strlen(out);
    if (n < 2) return 0;
    char a = out[0], z = out[n - 1];
    if ((a == '\'' && z == '\'') || (a == '"' && z == '"') || (a == '[' && z == ']')) {
        memmove(out, out + 1, n - 2);
        out[n - 2] = 0;
    }
    return 0;
}

int str_kv_get_unquote_lf(const char* text, const char* key, char* out, size_t size) {
    return str_kv_get_unquote(text, "\n", '=', key, out, size);
}

int str_kv_find_key(const char* text, const char* seps, char kv, const char* val, char* out, size_t size) {
    if (!text || !seps || !val || !out || size == 0) return -1;
    std::string_view rest(text);
    for (;;) {
        size_t cut = rest.find_first_of(seps);
        std::string_view field = rest.substr(0, cut);
        size_t eq = field.find(kv);
        if (eq != std::string_view::npos && str_strip(field.substr(eq + 1)) == val)
            return str_view_safecopy(str_strip(field.substr(0, eq)), out, size);
        if (cut == std::string_view::npos) return -1;
        rest.remove_prefix(cut + 1);
    }
}

int str_kv_set(char* text, size_t size, const char* sep, int mode, const char* key, const char* val) {
    if (!text || size == 0 || !sep || !*sep || !key || !*key || !val) return -1;
    if (mode < STR_KV_SET_ALWAYS || mode > STR_KV_DEL_EXIST) return -1;
    // A separator inside the key or the value would add fields of its own.
    if (strpbrk(key, sep) || strchr(key, '=') || strpbrk(val, sep)) return -1;
    if (!memchr(text, 0, size)) return -1;
    const std::string_view k(key);
    std::string out;
    bool matched = false;
    std::string_view rest(text);
    for (;;) {
        size_t cut = rest.find_first_of(sep);
        std::string_view field = rest.substr(0, cut);
        if (!field.empty()) {
            bool match = field.size() > k.size() && field.substr(0, k.size()) == k && field[k.size()] == '=';
            matched = matched || match;
            if (match && (mode == STR_KV_SET_ALWAYS || mode == STR_KV_SET_EXIST)) {
                out.append(k).append("=").append(val).append(sep);
            } else if (!(match && mode == STR_KV_DEL_EXIST)) {
                out.append(field).append(sep);
            }
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    if (!matched && (mode == STR_KV_SET_ALWAYS || mode == STR_KV_SET_NOT_EXIST))
        out.append(k).append("=").append(val).append(sep);
    const std::string_view s(sep);
    if (out.size() >= s.size() && std::string_view(out).substr(out.size() - s.size()) == s)
        out.resize(out.size() - s.size());
    if (out.size() >= size) return -1;
    memcpy(text, out.c_str(), out.size() + 1);
    return 0;
}

int str_args_add(char* out, size_t size, const char* key, const char* val) {
    if (!out || size == 0 || !key || !val) return -1;
    const void* end = memchr(out, 0, size);
    if (!end) return -1;
    size_t len = static_cast<size_t>(static_cast<const char*>(end) - out);
    size_t need = str_escape_imp(nullptr, val, strlen(val), STR_ESCAPE_URL_ARGS);
    if (need == 0) return -1;
    std::string enc(need, '\0');
    str_escape_imp(enc.data(), val, strlen(val), STR_ESCAPE_URL_ARGS);
    enc.resize(strlen(enc.c_str()));
    std::string add = len ? "&" : "";
    add.append(key).append("=").append(enc);
    if (len + add.size() >= size) return -1;
    memcpy(out + len, add.c_str(), add.size() + 1);
    return 0;
}

int str_to_bool(const char* text) {
    if (!text) return -1;
    char word[16];
    if (str_safecopy(word, text) != 0) return -1;
    for (char* p = word; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    static constexpr const char* k_true = "true,t,yes,y,on,up,running,enabled,available";
    static constexpr const char* k_false = "false,f,no,n,off,down,unused,disabled,unavailable";
    auto in_list = [](std::string_view list, std::string_view w) {
        for (;;) {
            size_t cut = list.find(',');
            if (list.substr(0, cut) == w) return true;
            if (cut == std::string_view::npos) return false;
            list.remove_prefix(cut + 1);
        }
    };
    if (!*word) return -1;
    if (in_list(k_true, word)) return 1;
    if (in_list(k_false, word)) return 0;
    return -1;
}
