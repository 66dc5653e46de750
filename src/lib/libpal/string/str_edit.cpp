#include "libpal/string/str_edit.h"

#include <cstring>
#include <string>

#include "libpal/basic/pl_assert.h"
#include "libpal/string/str_safe.h"

namespace {

// Keeps the characters keep() accepts, in order; returns the text.
template <typename Keep>
char* filter(char* text, Keep keep) {
    if (!text) return text;
    char* w = text;
    for (const char* r = text; *r; ++r)
        if (keep(*r)) *w++ = *r;
    *w = 0;
    return text;
}

}  // namespace

char* str_tolower(char* text) {
    if (!text) return text;
    for (char* p = text; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p | 0x20);
    return text;
}

char* str_toupper(char* text) {
    if (!text) return text;
    for (char* p = text; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p & ~0x20);
    return text;
}

void str_wipe(char* text) {
    if (text) explicit_bzero(text, strlen(text));
}

char* str_del_chars(char* text, const char* set) {
    if (!set || !*set) return text;
    return filter(text, [set](char c) { return strchr(set, c) == nullptr; });
}

char* str_del_chr(char* text, char c) {
    if (c == 0) return text;
    return filter(text, [c](char x) { return x != c; });
}

char* str_rdelchar(char* text, char c) {
    if (!PL_CHECK_TEXT("pal", text != nullptr, "str!=NULL")) return text;
    if (c == 0) return text;
    if (char* p = strrchr(text, c)) memmove(p, p + 1, strlen(p + 1) + 1);
    return text;
}

char* str_squeeze_chr(char* text, char c) {
    if (!text || c == 0) return text;
    char* w = text;
    for (const char* r = text; *r; ++r)
        if (*r != c || w == text || w[-1] != c) *w++ = *r;
    *w = 0;
    return text;
}

char* str_strip_ends(char* text) {
    if (!text) return text;
    size_t n = strlen(text);
    if (n < 3) {
        text[0] = 0;
        return text;
    }
    memmove(text, text + 1, n - 2);
    text[n - 2] = 0;
    return text;
}

char* str_del_suffix(char* text, const char* ending) {
    if (!text || !ending) return text;
    size_t n = strlen(text);
    size_t e = strlen(ending);
    if (e <= n && memcmp(text + n - e, ending, e) == 0) text[n - e] = 0;
    return text;
}

char* str_del_range(char* text, size_t pos, size_t n) {
    if (!text) return text;
    size_t len = strlen(text);
    if (pos >= len || n == 0) return text;
    if (n > len - pos) n = len - pos;
    memmove(text + pos, text + pos + n, len - pos - n + 1);
    return text;
}

int str_del_range_copy(char* out, size_t out_size, const char* text, size_t pos, size_t n) {
    if (!text) return str_safecopy(out, out_size, nullptr);
    std::string s(text);
    if (pos < s.size()) s.erase(pos, n);
    return str_safecopy(out, out_size, s.c_str());
}

int str_del_substr(char* text, const char* part) {
    if (!text || !part || !*part) return 0;
    char* p = strstr(text, part);
    if (!p) return 0;
    size_t n = strlen(part);
    memmove(p, p + n, strlen(p + n) + 1);
    return 1;
}

char* str_reverse(char* text) {
    if (!text) return text;
    size_t n = strlen(text);
    for (size_t i = 0; i < n / 2; ++i) {
        char c = text[i];
        text[i] = text[n - 1 - i];
        text[n - 1 - i] = c;
    }
    return text;
}

char* str_replace_chr_n(char* text, size_t n, char from, char to) {
    if (!text || from == 0) return text;
    size_t done = 0;
    for (char* p = text; *p && (n == 0 || done < n); ++p) {
        if (*p != from) continue;
        *p = to;
        ++done;
        if (to == 0) break;  // the text ends here now
    }
    return text;
}

char* str_replace_chr(char* text, char from, char to) { return str_replace_chr_n(text, 0, from, to); }

wchar_t* str_wreplace_chr(wchar_t* text, wchar_t from, wchar_t to) {
    if (!text || from == 0) return text;
    for (wchar_t* p = text; *p; ++p) {
        if (*p != from) continue;
        *p = to;
        if (to == 0) break;
    }
    return text;
}

char* str_replace_chr_in_quotes(char* text, char quote, char from, char to) {
    if (!text || from == 0 || quote == 0) return text;
    bool inside = false;
    for (char* p = text; *p; ++p) {
        if (*p == quote) {
            // Only a quote that has its closing partner opens a quoted part.
            inside = !inside && strchr(p + 1, quote) != nullptr;
        } else if (inside && *p == from) {
            *p = to;
            if (to == 0) break;
        }
    }
    return text;
}

char* str_set_last_chr(char* text, char c) {
    if (text && *text) text[strlen(text) - 1] = c;
    return text;
}

int str_add_chr_not_exist_tail(char* text, size_t size, char c) {
    if (!text || c == 0) return -1;
    size_t len = strnlen(text, size);
    if (!PL_CHECK_TEXT("pal", len + 1 <= size || size >= 2, "len+1 <= slen || slen >= 2")) return -1;
    // A text that is not terminated within its buffer is not touched.
    if (!PL_CHECK_TEXT("pal", len < size, "len+1 <= slen")) return -1;
    if (len > 0 && text[len - 1] == c) return 0;
    // Replacing the last character of a full buffer would corrupt the text
    // ("/a" would become "//"): refuse instead.
    if (!PL_CHECK_TEXT("pal", len + 2 <= size, "len+2 <= slen")) return -1;
    text[len] = c;
    text[len + 1] = 0;
    return 0;
}

int str_prepend(char* text, size_t size, const char* prefix) {
    if (!text || !prefix) return str_safecopy(text, size, nullptr);
    std::string s(prefix);
    s.append(text, strnlen(text, size));
    return str_safecopy(text, size, s.c_str());
}

char* str_resplit_join(char* text, const char* sep) {
    if (!text || !sep || !*sep) return text;
    size_t old_len = strlen(text);
    std::string out;
    const char* p = text;
    while (*p) {
        size_t skip = strspn(p, sep);
        p += skip;
        size_t n = strcspn(p, sep);
        if (n == 0) break;
        if (!out.empty()) out += sep;
        out.append(p, n);
        p += n;
    }
    size_t n = out.size() < old_len ? out.size() : old_len;
    memcpy(text, out.data(), n);
    text[n] = 0;
    return text;
}
