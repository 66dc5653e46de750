#include "libpal/string/str_token.h"

#include <cstring>
#include <string>
#include <string_view>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/str_safe.h"
#include "libpal/string/str_util.h"

namespace {

char* dup_view(std::string_view v) { return pl_strndup(v.data(), v.size()); }

// The n-th token of a line, as a view into it; empty tokens are skipped.
bool line_token(std::string_view line, const char* delims, size_t n, std::string_view* tok) {
    for (size_t i = 0;;) {
        size_t start = line.find_first_not_of(delims);
        if (start == std::string_view::npos) return false;
        line.remove_prefix(start);
        size_t cut = line.find_first_of(delims);
        if (i++ == n) {
            *tok = line.substr(0, cut);
            return true;
        }
        if (cut == std::string_view::npos) return false;
        line.remove_prefix(cut);
    }
}

// Calls fn for every line of text until it returns true.
template <typename Fn>
bool each_line(const char* text, Fn fn) {
    std::string_view rest(text);
    for (;;) {
        size_t cut = rest.find('\n');
        if (fn(rest.substr(0, cut))) return true;
        if (cut == std::string_view::npos) return false;
        rest.remove_prefix(cut + 1);
    }
}

}  // namespace

int str_list_has_trimmed(const char* list, const char* seps, const char* word) {
    if (!list || !seps || !word) return -1;
    std::string_view rest(list);
    for (;;) {
        size_t cut = rest.find_first_of(seps);
        if (str_strip(rest.substr(0, cut)) == word) return 0;
        if (cut == std::string_view::npos) return -1;
        rest.remove_prefix(cut + 1);
    }
}

char* str_token_n(char* text, const char* delims, size_t n) {
    if (!text || !delims) return nullptr;
    char* save = nullptr;
    char* tok = strtok_r(text, delims, &save);
    for (size_t i = 0; tok && i < n; ++i) tok = strtok_r(nullptr, delims, &save);
    return tok;
}

char* str_token_n_dup(const char* text, const char* delims, size_t n) {
    if (!text || !delims) return nullptr;
    std::string_view tok;
    return line_token(text, delims, n, &tok) ? dup_view(tok) : nullptr;
}

char* str_find_line_field(const char* text, const char* delims, const char* key, size_t key_index, size_t val_index) {
    if (!text || !delims || !key) return nullptr;
    char* found = nullptr;
    each_line(text, [&](std::string_view line) {
        std::string_view k, v;
        if (!line_token(line, delims, key_index, &k) || k != key) return false;
        if (line_token(line, delims, val_index, &v)) found = dup_view(str_strip(v));
        return true;
    });
    return found;
}

char* str_find_line_token(const char* text, const char* search, const char* delims, size_t n) {
    if (!text || !search || !delims) return nullptr;
    char* found = nullptr;
    each_line(text, [&](std::string_view line) {
        if (line.find(search) == std::string_view::npos) return false;
        std::string_view tok;
        if (line_token(line, delims, n, &tok)) found = dup_view(str_strip(tok));
        return true;
    });
    return found;
}

char* str_substr(const char* text, size_t start, size_t length) {
    if (!PL_CHECK_TEXT("pal", length > 0, "length > 0")) return nullptr;
    if (!PL_CHECK_TEXT("pal", text != nullptr, "srcstr != NULL")) return nullptr;
    size_t len = strlen(text);
    if (start > len) start = len;
    return pl_strndup(text + start, length);
}

char* str_first_word(const char* text, char* out, size_t size) {
    if (!text || !out || size == 0) return nullptr;
    const char* blank = strchr(text, ' ');
    if (!blank) return str_safecopy(out, size, text) == 0 ? out : nullptr;
    size_t n = static_cast<size_t>(blank - text);
    if (n > size - 1) n = size - 1;
    memcpy(out, text, n);
    out[n] = 0;
    return out;
}

char* str_replace_first_word(const char* text, const char* word, char* out, size_t size) {
    if (!text || !word || !out || size == 0) return nullptr;
    const char* blank = strchr(text, ' ');
    std::string s(word);
    if (blank) s.append(blank);
    return str_view_safecopy(s, out, size) == 0 ? out : nullptr;
}
