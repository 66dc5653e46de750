#include "libpal/string/tail_text.h"

#include <cstring>

void tail_text_init(tail_text* t, char* buf, size_t size) {
    if (!t) return;
    t->buf = buf;
    t->size = buf ? size : 0;
    t->len = 0;
    if (buf && size) buf[0] = 0;
}

int tail_text_add(tail_text* t, const char* text) {
    if (!t || !t->buf || t->size == 0 || !text) return -1;
    size_t n = strlen(text);
    if (t->len + n + 1 > t->size) {
        // Here n > 0 (the terminator always fits). Dropping at least n
        // characters leaves room for n more: the break must sit at n - 1 or
        // later.
        if (n > t->len) return -1;
        const char* brk = static_cast<const char*>(memchr(t->buf + n - 1, '\n', t->len - (n - 1)));
        if (!brk) return -1;
        size_t drop = static_cast<size_t>(brk - t->buf) + 1;
        memmove(t->buf, t->buf + drop, t->len - drop + 1);
        t->len -= drop;
    }
    memcpy(t->buf + t->len, text, n + 1);
    t->len += n;
    return 0;
}
