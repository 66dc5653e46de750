#include "libpal/string/str_vector.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "libpal/memory/pl_mem.h"
#include "libpal/string/ptr_list.h"
#include "liblog/log2.h"

namespace {

// Items always has one slot more than cap, for the NULL after the last item.
bool grow(str_vector* v) {
    if (v->items && v->count < v->cap) return true;
    size_t cap = v->cap ? v->cap * 2 : 16;
    auto* items = static_cast<char**>(pl_realloc(v->items, (cap + 1) * sizeof(char*)));
    if (!items) return false;
    std::fill(items + v->count, items + cap + 1, nullptr);
    v->items = items;
    v->cap = cap;
    return true;
}

bool same(const str_vector* v, const char* a, const char* b) {
    return (v->flags & STR_VECTOR_NOCASE) ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

void drop_items(str_vector* v, size_t from) {
    for (size_t i = from; i < v->count; ++i) {
        if (v->flags & STR_VECTOR_OWN) pl_free(v->items[i]);
        v->items[i] = nullptr;
    }
    if (from < v->count) v->count = from;
}

// Copies text into the split buffer, reusing it when it is large enough.
// text may point into the buffer itself (a field of the previous split).
bool load_split_buf(str_vector* v, const char* text) {
    size_t size = strlen(text) + 1;
    if (v->split_buf && v->split_buf_size >= size) {
        memmove(v->split_buf, text, size);
        return true;
    }
    auto* buf = static_cast<char*>(pl_malloc(size));
    if (!buf) return false;
    memcpy(buf, text, size);
    pl_free(v->split_buf);
    v->split_buf = buf;
    v->split_buf_size = size;
    return true;
}

}  // namespace

void str_vector_init(str_vector* v, uint32_t flags) {
    if (!v) return;
    *v = str_vector{};
    v->flags = (flags & 0xf) ? flags : flags + 4;
}

str_vector* str_vector_new(uint32_t flags) {
    auto* v = static_cast<str_vector*>(pl_zalloc(sizeof(str_vector)));
    if (!v) return nullptr;
    str_vector_init(v, flags);
    v->allocated = 1;
    return v;
}

int str_vector_push(str_vector* v, const char* text) {
    if (!v || !text) return -1;
    if ((v->flags & STR_VECTOR_SKIP_EMPTY) && !*text) return 0;
    if (!grow(v)) return -1;
    if ((v->flags & STR_VECTOR_UNIQUE) && str_vector_find(v, text) >= 0) return 0;
    char* item = const_cast<char*>(text);
    if (v->flags & STR_VECTOR_OWN) {
        item = pl_strdup(text);
        if (!item) return -1;
    }
    v->items[v->count++] = item;
    v->items[v->count] = nullptr;
    return 0;
}

ptrdiff_t str_vector_find(const str_vector* v, const char* text) {
    if (!v || !text) return -1;
    for (size_t i = 0; i < v->count; ++i)
        if (same(v, v->items[i], text)) return static_cast<ptrdiff_t>(i);
    return -1;
}

int str_vector_del(str_vector* v, const char* text) {
    if (!v || !text) return -1;
    size_t kept = 0;
    for (size_t i = 0; i < v->count; ++i) {
        if (same(v, v->items[i], text)) {
            if (v->flags & STR_VECTOR_OWN) pl_free(v->items[i]);
        } else {
            v->items[kept++] = v->items[i];
        }
    }
    if (kept == v->count) return -1;
    std::fill(v->items + kept, v->items + v->count, nullptr);
    v->count = kept;
    return 0;
}

int str_vector_terminate(str_vector* v) {
    if (!v) return -1;
    if (!v->items && !grow(v)) return -1;
    v->items[v->count] = nullptr;
    return 0;
}

int str_vector_split_into(str_vector* v, const char* seps) {
    if (!v || !seps || !v->split_buf) return -1;
    char* field = v->split_buf;
    for (;;) {
        char* end = field + strcspn(field, seps);
        char c = *end;
        *end = 0;
        if (str_vector_push(v, field) != 0) return -1;
        if (!c) return 0;
        field = end + 1;
    }
}

int str_split(const char* text, const char* seps, str_vector* v) {
    if (!text || !seps || !v) return -1;
    if (!load_split_buf(v, text)) return -1;
    drop_items(v, 0);
    int rc = str_vector_split_into(v, seps);
    if (str_vector_terminate(v) != 0) return -1;
    return rc;
}

int str_split_esape(const char* text, const char* seps, const char* quotes, str_vector* v) {
    if (!text || !seps || !v) return -1;
    if (!quotes || !*quotes || !strpbrk(text, quotes)) return str_split(text, seps, v);
    size_t nquotes = 0;
    for (const char* p = text; *p; ++p)
        if (strchr(quotes, *p)) ++nquotes;
    if (nquotes % 2) {
        LOG2(LOG2_ERR, "pal", "syntax error\n");
        return -1;
    }
    if (!load_split_buf(v, text)) return -1;
    drop_items(v, 0);
    char* field = v->split_buf;
    bool quoted = false;
    int rc = 0;
    for (char* p = field; *p && rc == 0; ++p) {
        if (strchr(quotes, *p)) {
            quoted = !quoted;
        } else if (!quoted && strchr(seps, *p)) {
            *p = 0;
            rc = str_vector_push(v, field);
            field = p + 1;
        }
    }
    if (rc == 0 && *field) rc = str_vector_push(v, field);
    if (str_vector_terminate(v) != 0) return -1;
    return rc;
}

void str_vector_clear(str_vector* v) {
    if (!v) return;
    drop_items(v, 0);
    v->count = 0;
    pl_free(v->split_buf);
    v->split_buf = nullptr;
    v->split_buf_size = 0;
}

void str_vector_exit(str_vector* v) {
    if (!v) return;
    str_vector_clear(v);
    pl_free(v->items);
    v->items = nullptr;
    v->cap = 0;
}

void str_vector_free(str_vector* v) {
    if (!v) return;
    str_vector_exit(v);
    if (v->allocated) pl_free(v);
}

// The items are texts whatever the vector's compare bits say: a vector that
// does not own its texts would otherwise be ordered by address.
void str_vector_sort(str_vector* v) {
    if (v) ptr_array_sort(v->items, v->count, PTR_CMP_TEXT);
}

size_t str_vector_uniq(str_vector* v) {
    if (!v) return 0;
    str_vector_sort(v);
    drop_items(v, ptr_array_uniq(v->items, v->count, PTR_CMP_TEXT));
    return v->count;
}
