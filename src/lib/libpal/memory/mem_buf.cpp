#include "libpal/memory/mem_buf.h"

#include <cstring>

#include "libpal/memory/pl_mem.h"

int mem_buf_init(mem_buf* b, size_t first_size) {
    if (!b) return -1;
    *b = mem_buf{};
    return first_size ? mem_buf_reserve(b, first_size) : 0;
}

int mem_buf_reserve(mem_buf* b, size_t n) {
    if (!b) return -1;
    if (b->cap >= n) return 0;
    if (n > SIZE_MAX - (MEM_BUF_STEP - 1)) return -1;
    size_t cap = (n + MEM_BUF_STEP - 1) / MEM_BUF_STEP * MEM_BUF_STEP;
    auto* data = static_cast<uint8_t*>(pl_realloc(b->data, cap));
    if (!data) return -1;
    b->data = data;
    b->cap = cap;
    return 0;
}

int mem_buf_add(mem_buf* b, const void* bytes, size_t n) {
    if (!b || (!bytes && n)) return -1;
    if (n > SIZE_MAX - b->len - 1) return -1;
    size_t need = b->len + n + 1;
    if (need > b->cap) {
        // Twice the need, or just the need when twice would not fit.
        size_t want = need <= SIZE_MAX / 2 - MEM_BUF_STEP ? need * 2 : need;
        if (mem_buf_reserve(b, want) != 0) return -1;
    }
    if (n) memcpy(b->data + b->len, bytes, n);
    b->len += n;
    return 0;
}

int mem_buf_set_len(mem_buf* b, size_t n) {
    if (!b || mem_buf_reserve(b, n) != 0) return -1;
    b->len = n;
    return 0;
}

int mem_buf_clear(mem_buf* b) {
    if (!b) return -1;
    b->len = 0;
    return 0;
}

int mem_buf_exit(mem_buf* b) {
    if (!b) return -1;
    pl_free(b->data);
    *b = mem_buf{};
    return 0;
}
