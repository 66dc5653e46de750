#include "libpal/string/text_buf.h"

#include <cstdint>
#include <cstring>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/str_safe.h"

text_buf* text_buf_new() {
    auto* b = static_cast<text_buf*>(pl_zalloc(sizeof(text_buf)));
    if (!b) return nullptr;
    b->data = static_cast<char*>(pl_zalloc(TEXT_BUF_STEP));
    if (!b->data) {
        pl_free(b);
        return nullptr;
    }
    b->cap = TEXT_BUF_STEP;
    return b;
}

void text_buf_grow(text_buf* buf, size_t need) {
    if (need <= buf->cap) return;
    // The capacity the step-by-step growth would reach, in one reallocation.
    size_t steps = (need - buf->cap + TEXT_BUF_STEP - 1) / TEXT_BUF_STEP;
    size_t cap = buf->cap + steps * TEXT_BUF_STEP;
    buf->data = static_cast<char*>(safe_realloc(buf->data, cap));
    memset(buf->data + buf->cap, 0, cap - buf->cap);
    buf->cap = cap;
}

int text_buf_add(text_buf* buf, const void* bytes, size_t n) {
    if (!buf || (!bytes && n)) return -1;
    if (n == 0) return 0;
    if (n > SIZE_MAX - buf->len - 1) return -1;
    text_buf_grow(buf, buf->len + n + 1);
    memcpy(buf->data + buf->len, bytes, n);
    buf->len += n;
    buf->data[buf->len] = 0;
    return 0;
}

int text_buf_add_str(text_buf* buf, const char* text) {
    if (!text) return -1;
    return text_buf_add(buf, text, strlen(text));
}

int text_buf_add_chr(text_buf* buf, char c) { return text_buf_add(buf, &c, 1); }

int text_buf_vprintf(text_buf* buf, const char* fmt, va_list ap) {
    if (!buf || !fmt) return -1;
    char* text = nullptr;
    int n = safe_vasprintf(&text, fmt, ap);
    if (n > 0) text_buf_add(buf, text, static_cast<size_t>(n));
    pl_free(text);
    return n;
}

int text_buf_printf(text_buf* buf, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = text_buf_vprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}

void text_buf_clear(text_buf* buf) {
    if (!buf) return;
    buf->len = 0;
    if (buf->data) memset(buf->data, 0, buf->cap);
}

const char* text_buf_str(const text_buf* buf) { return buf && buf->len ? buf->data : nullptr; }

size_t text_buf_pop(text_buf* buf) {
    if (!buf || buf->len == 0) return 0;
    size_t old = buf->len;
    buf->data[--buf->len] = 0;
    return old;
}

void text_buf_cut(text_buf* buf, size_t n) {
    if (!buf) return;
    if (n > buf->len) n = buf->len;
    buf->len -= n;
    memset(buf->data + buf->len, 0, n);
}

char* text_buf_detach(text_buf* buf) {
    if (!buf) return nullptr;
    char* data = buf->data;
    if (buf->len == 0) {
        pl_free(data);
        data = nullptr;
    }
    pl_free(buf);
    return data;
}

char* text_buf_detach_str(text_buf* buf) {
    char* data = text_buf_detach(buf);
    return data ? data : pl_strdup("");
}

void text_buf_free(text_buf* buf) {
    if (!buf) return;
    pl_free(buf->data);
    pl_free(buf);
}
