#include "libpal/string/str_quote.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "libpal/string/str_kv.h"

namespace {

constexpr const char* k_seps = " \t;";
constexpr const char* k_shell_seps = " \t$%;";
constexpr const char* k_ini_seps = " #;";

char* quote_inplace(char* text, size_t size, char quote) {
    if (!text || size == 0 || !memchr(text, 0, size)) return nullptr;
    std::string copy(text);
    return str_quote_if(copy.c_str(), k_seps, quote, text, size);
}

}  // namespace

char* str_quote_if(const char* word, const char* seps, char quote, char* out, size_t size) {
    if (!out || size == 0) return out;
    std::string s;
    if (!word || !*word) {
        s.assign(2, quote);
    } else if (seps && strpbrk(word, seps) && word[0] != quote) {
        s.append(1, quote).append(word).append(1, quote);
    } else {
        s.assign(word);
    }
    str_view_safecopy(s, out, size);
    return out;
}

char* str_quote_dq(const char* word, char* out, size_t size) { return str_quote_if(word, k_seps, '"', out, size); }
char* str_quote_sq(const char* word, char* out, size_t size) { return str_quote_if(word, k_seps, '\'', out, size); }
char* str_quote_dq_shell(const char* word, char* out, size_t size) {
    return str_quote_if(word, k_shell_seps, '"', out, size);
}
char* str_quote_sq_shell(const char* word, char* out, size_t size) {
    return str_quote_if(word, k_shell_seps, '\'', out, size);
}
char* str_quote_ini(const char* word, char* out, size_t size) { return str_quote_if(word, k_ini_seps, '"', out, size); }

char* str_quote_dq_inplace(char* text, size_t size) { return quote_inplace(text, size, '"'); }
char* str_quote_sq_inplace(char* text, size_t size) { return quote_inplace(text, size, '\''); }

char* str_shell_quote(const char* text, char* out, size_t size) {
    if (!text || !out || size == 0) return nullptr;
    std::string s;
    std::string_view rest(text);
    if (rest.empty()) s = "''";
    while (!rest.empty()) {
        size_t n;
        if (rest[0] != '\'') {
            n = std::min(rest.find('\''), rest.size());
            s.append(1, '\'').append(rest.substr(0, n)).append(1, '\'');
        } else {
            n = std::min(rest.find_first_not_of('\''), rest.size());
            if (n == 1)
                s.append("\\'");
            else
                s.append(1, '"').append(rest.substr(0, n)).append(1, '"');
        }
        rest.remove_prefix(n);
    }
    if (s.size() >= size) return nullptr;
    memcpy(out, s.c_str(), s.size() + 1);
    return out;
}
