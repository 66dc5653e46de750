#include "libpal/string/str_util.h"

#include <cstring>

namespace {

constexpr bool is_quote(unsigned char c) { return c == '"' || c == '\''; }

// Strips the characters that strip() accepts from both ends, in place. A
// byte of 0x80 or above is never offered to strip() and stops the stripping
// at its end.
template <typename Pred>
char* trim_by(char* text, Pred strip) {
    if (!text) return text;
    auto accepted = [&](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x80 && strip(u);
    };
    size_t n = strlen(text);
    while (n > 0 && accepted(text[n - 1])) --n;
    text[n] = 0;
    size_t i = 0;
    while (i < n && accepted(text[i])) ++i;
    if (i) memmove(text, text + i, n - i + 1);
    return text;
}

}  // namespace

char* str_trim(char* text) { return trim_by(text, [](unsigned char c) { return str_is_space(static_cast<char>(c)); }); }

char* str_trim_set(char* text, int (*test)(int), char c) {
    auto uc = static_cast<unsigned char>(c);
    return trim_by(text, [&](unsigned char ch) { return (uc != 0 && ch == uc) || (test && test(ch)); });
}

char* str_trim_chr(char* text, char c) {
    auto uc = static_cast<unsigned char>(c);
    return trim_by(text, [&](unsigned char ch) { return uc != 0 && ch == uc; });
}

char* str_rtrim_blank(char* text) {
    if (!text) return text;
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\v' || text[n - 1] == '\f')) --n;
    text[n] = 0;
    return text;
}

char* str_trim_quotes(char* text) { return trim_by(text, is_quote); }

char* str_trim_unquote(char* text) { return str_trim(str_trim_quotes(str_trim(text))); }

char* str_get_head(const char* text, char* buf, size_t size) {
    if (!buf || size == 0) return buf;
    size_t j = 0;
    if (text) {
        for (size_t i = 0; text[i] && i + 1 < size; ++i)
            if (text[i] != '\r' && text[i] != '\n') buf[j++] = text[i];
    }
    buf[j] = 0;
    return buf;
}

int str_list_index(const char* list, const char* word) {
    if (!list || !word) return -1;
    int idx = 0;
    for (const char* p = list; *p; p += strlen(p) + 1, ++idx)
        if (strcmp(p, word) == 0) return idx;
    return -1;
}

// ------------------------------------------------------------- wildcards

namespace {

constexpr bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool chr_equal(char a, char b, bool nocase) {
    if (a == b) return true;
    auto ua = static_cast<unsigned char>(a);
    auto ub = static_cast<unsigned char>(b);
    return nocase && is_letter(ua) && is_letter(ub) && (ua & ~0x20u) == (ub & ~0x20u);
}

// End of the pattern element at p (an escaped character counts as one).
const char* elem_end(const char* p, const char* end) {
    if (*p == '\\' && p + 1 < end) return p + 2;
    return p + 1;
}

// The piece [p, q) (no "*" in it) matched at s; "?" takes any character but "|".
bool piece_at(const char* s, const char* p, const char* q, bool nocase) {
    while (p < q) {
        if (*s == 0) return false;
        if (*p == '?') {
            if (*s == '|') return false;
        } else {
            const char* c = (*p == '\\' && p + 1 < q) ? p + 1 : p;
            if (!chr_equal(*s, *c, nocase)) return false;
        }
        p = elem_end(p, q);
        ++s;
    }
    return true;
}

// One alternative [p, end) against the whole text. Every step consumes at
// least one pattern character, so the loop ends even where the pattern
// matches the empty text.
bool alt_match(const char* t, const char* p, const char* end, bool nocase) {
    while (p < end) {
        if (*p == '*') {
            ++p;
            const char* q = p;
            size_t n = 0;
            while (q < end && *q != '*') {
                q = elem_end(q, end);
                ++n;
            }
            size_t len = strlen(t);
            if (q == end) return len >= n && piece_at(t + len - n, p, q, nocase);
            bool found = false;
            for (size_t i = 0; i + n <= len; ++i) {
                if (piece_at(t + i, p, q, nocase)) {
                    t += i + n;
                    found = true;
                    break;
                }
            }
            if (!found) return false;
            p = q;
            continue;
        }
        if (*t == 0) return false;
        if (*p != '?') {
            const char* c = (*p == '\\' && p + 1 < end) ? p + 1 : p;
            if (!chr_equal(*t, *c, nocase)) return false;
        }
        p = elem_end(p, end);
        ++t;
    }
    return *t == 0;
}

int str_wildcard_imp(const char* text, const char* pattern, bool nocase) {
    if (!text || !pattern) return 0;
    const char* p = pattern;
    for (;;) {
        const char* end = p;
        while (*end && *end != '|') end = (*end == '\\' && end[1]) ? end + 2 : end + 1;
        if (alt_match(text, p, end, nocase)) return 1;
        if (*end == 0) return 0;
        p = end + 1;
    }
}

}  // namespace

int str_wildcard(const char* text, const char* pattern) { return str_wildcard_imp(text, pattern, false); }

int str_wildcard_nocase(const char* text, const char* pattern) { return str_wildcard_imp(text, pattern, true); }
