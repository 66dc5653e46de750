#include "libpal/string/str_search.h"

#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

namespace {

constexpr bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_alnum(unsigned char c) { return is_letter(c) || (c >= '0' && c <= '9'); }
constexpr unsigned char fold(char c) {
    auto u = static_cast<unsigned char>(c);
    return is_letter(u) ? static_cast<unsigned char>(u & ~0x20u) : u;
}

// Occurrence of part at or after text, byte for byte or case-free.
const char* find_from(const char* text, const char* part, size_t n, bool nocase) {
    if (!nocase) return strstr(text, part);
    for (const char* p = text; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] && fold(p[i]) == fold(part[i])) ++i;
        if (i == n) return p;
    }
    return n == 0 ? text : nullptr;
}

const char* find_word(const char* text, const char* word, bool nocase) {
    if (!text || !word || !*word) return nullptr;
    size_t n = strlen(word);
    for (const char* p = find_from(text, word, n, nocase); p; p = find_from(p + 1, word, n, nocase)) {
        bool before_ok = p == text || !is_alnum(static_cast<unsigned char>(p[-1]));
        bool after_ok = !is_alnum(static_cast<unsigned char>(p[n]));
        if (before_ok && after_ok) return p;
    }
    return nullptr;
}

}  // namespace

int str_starts_with(const char* text, const char* prefix) {
    if (!text || !prefix) return 0;
    return strncmp(text, prefix, strlen(prefix)) == 0 ? 1 : 0;
}

int str_istarts_with(const char* text, const char* prefix) {
    if (!text || !prefix) return 0;
    for (; *prefix; ++text, ++prefix)
        if (*text == 0 || *text == ' ' || fold(*text) != fold(*prefix)) return 0;
    return 1;
}

int str_ends_with(const char* text, const char* suffix) {
    if (!text || !suffix) return 0;
    size_t n = strlen(text);
    size_t s = strlen(suffix);
    return s <= n && memcmp(text + n - s, suffix, s) == 0 ? 1 : 0;
}

int str_iends_with(const char* text, const char* suffix) {
    if (!text || !suffix || strchr(suffix, ' ')) return 0;
    size_t n = strlen(text);
    size_t s = strlen(suffix);
    if (s > n) return 0;
    for (size_t i = 0; i < s; ++i)
        if (fold(text[n - s + i]) != fold(suffix[i])) return 0;
    return 1;
}

int str_wrapped_in(const char* text, char first, char last) {
    if (!text) return 0;
    size_t n = strlen(text);
    return n >= 2 && text[0] == first && text[n - 1] == last ? 1 : 0;
}

const char* str_istr(const char* text, const char* part) {
    bool ok = PL_CHECK_TEXT("pal", text != nullptr, "pstr!=NULL");
    ok = PL_CHECK_TEXT("pal", part != nullptr, "psubstr!=NULL") && ok;
    if (!ok) return nullptr;
    return find_from(text, part, strlen(part), true);
}

const char* str_rstr(const char* text, const char* part) {
    bool ok = PL_CHECK_TEXT("pal", text != nullptr, "dst");
    ok = PL_CHECK_TEXT("pal", part != nullptr, "src") && ok;
    if (!ok) return nullptr;
    size_t n = strlen(text);
    size_t m = strlen(part);
    if (m > n) return nullptr;
    for (size_t i = n - m + 1; i-- > 0;)
        if (memcmp(text + i, part, m) == 0) return text + i;
    return nullptr;
}

const char* str_find_word(const char* text, const char* word) { return find_word(text, word, false); }

const char* str_find_word_nocase(const char* text, const char* word) { return find_word(text, word, true); }

const char* str_find_any(const char* text, const char* set) {
    if (!text || !set) return nullptr;
    for (const char* s = set; *s; ++s)
        if (const char* p = strchr(text, *s)) return p;
    return nullptr;
}

const char* str_find_last_any(const char* text, const char* set) {
    if (!text || !set || !*set) return nullptr;
    for (size_t i = strlen(text); i-- > 0;)
        if (strchr(set, text[i])) return text + i;
    return nullptr;
}

const char* str_find_nth_chr(const char* text, char c, size_t n) {
    if (!text || c == 0 || n == 0) return nullptr;
    for (const char* p = strchr(text, c); p; p = strchr(p + 1, c))
        if (--n == 0) return p;
    return nullptr;
}

size_t str_count_chr(const char* text, char c) {
    if (!text || c == 0) return 0;
    size_t n = 0;
    for (const char* p = text; *p; ++p) n += *p == c;
    return n;
}

size_t str_count_set(const char* text, const char* set) {
    if (!text || !set || !*set) return 0;
    size_t n = 0;
    for (const char* p = text; *p; ++p) n += strchr(set, *p) != nullptr;
    return n;
}

int str_list_find(const char* word, const char* list, char sep) {
    if (!word || !list) return -1;
    size_t w = strlen(word);
    for (const char* p = list;;) {
        const char* e = sep ? strchr(p, sep) : nullptr;
        size_t n = e ? static_cast<size_t>(e - p) : strlen(p);
        if (n == w && memcmp(p, word, n) == 0) return 0;
        if (!e) return -1;
        p = e + 1;
    }
}

const char* str_get_token(const char* text, const char* seps, char* buf, size_t size) {
    if (!buf || size == 0) return nullptr;
    buf[0] = 0;
    if (!text) return nullptr;
    size_t n = seps ? strcspn(text, seps) : strlen(text);
    if (n >= size) return nullptr;
    memcpy(buf, text, n);
    buf[n] = 0;
    return text + n;
}

int str_cmp_show_dbg(const char* a, const char* b) {
    if (!a || !b) return 0;
    for (unsigned i = 0; a[i] && b[i]; ++i)
        if (a[i] != b[i]) LOG2(LOG2_ERR, "pal", "off=%u %c=%c\n", i, a[i], b[i]);
    return 0;
}

// ---------------------------------------------------------------- new texts

char* str_concat_dup(const char* a, const char* b) {
    if (!a) return nullptr;
    size_t na = strlen(a);
    size_t nb = b ? strlen(b) : 0;
    auto* out = static_cast<char*>(pl_malloc(na + nb + 1));
    if (!out) return nullptr;
    memcpy(out, a, na);
    if (nb) memcpy(out + na, b, nb);
    out[na + nb] = 0;
    return out;
}

char* str_append_chr_dup(const char* text, char c) {
    if (!text || c == 0) return nullptr;
    const char one[2] = {c, 0};
    return str_concat_dup(text, one);
}

// ---------------------------------------------------------------- replacement

char* str_replace(const char* text, const char* find, const char* repl, size_t n, char* out, size_t out_size) {
    if (!text || !find) return nullptr;
    if (!repl) repl = "";
    std::string res;
    size_t flen = strlen(find);
    const char* p = text;
    if (flen) {
        size_t done = 0;
        for (const char* q; (n == 0 || done < n) && (q = strstr(p, find)); p = q + flen, ++done) {
            res.append(p, static_cast<size_t>(q - p));
            res += repl;
        }
    }
    res += p;
    if (!out) return pl_strdup(res.c_str());
    if (res.size() + 1 > out_size) return nullptr;
    memcpy(out, res.c_str(), res.size() + 1);
    return out;
}

char* str_replace_all(const char* text, const char* find, const char* repl, char* out, size_t out_size) {
    return str_replace(text, find, repl, 0, out, out_size);
}

char* str_replace_dup(const char* text, const char* find, const char* repl, size_t n) {
    return str_replace(text, find, repl, n, nullptr, 0);
}
