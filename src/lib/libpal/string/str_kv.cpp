#include "libpal/string/str_kv.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "liblog/log2.h"

namespace {

constexpr bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && is_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

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
        if (eq != std::string_view::npos && trimmed(field.substr(0, eq)) == key) {
            if (val) *val = trimmed(field.substr(eq + 1));
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
