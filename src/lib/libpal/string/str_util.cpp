#include "libpal/string/str_util.h"

#include <cstring>

namespace {

constexpr bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

char* str_trim(char* text) {
    if (!text) return text;
    size_t n = strlen(text);
    while (n > 0 && is_space(static_cast<unsigned char>(text[n - 1]))) --n;
    text[n] = 0;
    size_t i = 0;
    while (i < n && is_space(static_cast<unsigned char>(text[i]))) ++i;
    if (i) memmove(text, text + i, n - i + 1);
    return text;
}

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
