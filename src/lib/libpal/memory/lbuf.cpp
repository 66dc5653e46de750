#include "libpal/memory/lbuf.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/os/os_thread.h"

namespace {

// The item header; 16-byte aligned so the payload keeps the allocator's
// alignment.
struct alignas(16) lbuf_item {
    list_node link;
    uint64_t size;
};

lbuf_item* item_of(const void* payload) {
    return reinterpret_cast<lbuf_item*>(const_cast<char*>(static_cast<const char*>(payload)) - sizeof(lbuf_item));
}

void* payload_of(lbuf_item* item) { return reinterpret_cast<char*>(item) + sizeof(lbuf_item); }

lbuf_item* item_of_node(list_node* node) { return list_owner<lbuf_item>(node, offsetof(lbuf_item, link)); }

// Takes the list's lock unless this thread holds it through lbuf_lock.
class list_guard {
public:
    explicit list_guard(lbuf_ctx* list)
        : list_(list), locked_(list->held.load(std::memory_order_relaxed) != os_thread_id64()) {
        if (locked_) os_mutex_lock(list_->lock);
    }
    ~list_guard() {
        if (locked_) os_mutex_unlock(list_->lock);
    }
    list_guard(const list_guard&) = delete;
    list_guard& operator=(const list_guard&) = delete;

private:
    lbuf_ctx* list_;
    bool locked_;
};

void unlink_free(lbuf_ctx* list, lbuf_item* item) {
    list_del(&item->link);
    list->count--;
    pl_free(item);
}

void* alloc_imp(lbuf_ctx* list, uint64_t size, bool zero) {
    if (!list || size > SIZE_MAX - sizeof(lbuf_item)) return nullptr;
    size_t bytes = sizeof(lbuf_item) + static_cast<size_t>(size);
    auto* item = static_cast<lbuf_item*>(zero ? pl_zalloc(bytes) : pl_malloc(bytes));
    if (!item) return nullptr;
    item->size = size;
    void* payload = payload_of(item);
    if (list->init_hook) list->init_hook(payload, list->user);
    list_guard g(list);
    list_add_tail(&list->head, &item->link);
    list->count++;
    return payload;
}

void* slab_imp(lbuf_ctx* list, bool zero) {
    if (!list) return nullptr;
    if (!PL_CHECK_TEXT("pal", list->item_size != 0, "B->item_size != 0")) return nullptr;
    return alloc_imp(list, list->item_size, zero);
}

}  // namespace

lbuf_ctx* lbuf_create(const lbuf_conf* conf) {
    void* mem = pl_zalloc(sizeof(lbuf_ctx));
    if (!mem) return nullptr;
    auto* list = new (mem) lbuf_ctx{};
    list_init(&list->head);
    list->lock = os_mutex_new();
    if (conf) {
        list->init_hook = conf->init_hook;
        list->free_hook = conf->free_hook;
        list->user = conf->user;
        list->item_size = conf->item_size;
        if (conf->name) list->name = pl_strdup(conf->name);
    }
    if (!list->lock || (conf && conf->name && !list->name)) {
        os_mutex_free(list->lock);
        pl_free(list->name);
        pl_free(list);
        return nullptr;
    }
    return list;
}

void lbuf_destroy(lbuf_ctx* list) {
    if (!list) return;
    lbuf_clear(list);
    os_mutex_free(list->lock);
    pl_free(list->name);
    list->~lbuf_ctx();
    pl_free(list);
}

void* lbuf_malloc(lbuf_ctx* list, uint64_t size) { return alloc_imp(list, size, false); }
void* lbuf_malloc0(lbuf_ctx* list, uint64_t size) { return alloc_imp(list, size, true); }
void* lbuf_slab_malloc(lbuf_ctx* list) { return slab_imp(list, false); }
void* lbuf_slab_malloc0(lbuf_ctx* list) { return slab_imp(list, true); }

void* lbuf_realloc(lbuf_ctx* list, void* payload, uint64_t size) {
    if (!list) return nullptr;
    if (!payload) return lbuf_malloc(list, size);
    uint64_t old = item_of(payload)->size;
    if (old >= size) {
        if (size != 0) return payload;
        lbuf_free(list, payload);
        return nullptr;
    }
    void* fresh = lbuf_malloc(list, size);
    if (!fresh) return nullptr;
    memcpy(fresh, payload, static_cast<size_t>(old));
    lbuf_free(list, payload);
    return fresh;
}

char* lbuf_strndup(lbuf_ctx* list, const char* text, size_t n) {
    if (!text) return nullptr;
    size_t len = strnlen(text, n);
    auto* s = static_cast<char*>(lbuf_malloc(list, len + 1));
    if (!s) return nullptr;
    memcpy(s, text, len);
    s[len] = '\0';
    return s;
}

char* lbuf_strdup(lbuf_ctx* list, const char* text) { return lbuf_strndup(list, text, SIZE_MAX); }

char* lbuf_asprintf(lbuf_ctx* list, const char* fmt, ...) {
    if (!list || !fmt) return nullptr;
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    char* s = n >= 0 ? static_cast<char*>(lbuf_malloc(list, static_cast<uint64_t>(n) + 1)) : nullptr;
    if (s) vsnprintf(s, static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    return s;
}

void lbuf_free(lbuf_ctx* list, void* payload) {
    if (!list || !payload) return;
    if (list->free_hook) list->free_hook(payload, list->user);
    list_guard g(list);
    unlink_free(list, item_of(payload));
}

void lbuf_free_nolock(lbuf_ctx* list, void* payload) {
    if (!list || !payload) return;
    unlink_free(list, item_of(payload));
}

void lbuf_clear(lbuf_ctx* list) {
    if (!list) return;
    // The items move to a private list under the lock; hooks and frees run
    // outside it.
    list_node taken;
    list_init(&taken);
    {
        list_guard g(list);
        list_splice_tail(&list->head, &taken);
        list->count = 0;
    }
    while (!list_empty(&taken)) {
        lbuf_item* item = item_of_node(taken.next);
        list_del(&item->link);
        if (list->free_hook) list->free_hook(payload_of(item), list->user);
        pl_free(item);
    }
}

uint64_t lbuf_count(lbuf_ctx* list) {
    if (!list) return 0;
    list_guard g(list);
    return list->count;
}

int lbuf_contains(lbuf_ctx* list, const void* payload) {
    if (!list || !payload) return 0;
    list_guard g(list);
    for (list_node* n = list->head.next; n != &list->head; n = n->next)
        if (payload_of(item_of_node(n)) == payload) return 1;
    return 0;
}

void lbuf_lock(lbuf_ctx* list) {
    if (!list) return;
    os_mutex_lock(list->lock);
    list->held.store(os_thread_id64(), std::memory_order_relaxed);
}

void lbuf_unlock(lbuf_ctx* list) {
    if (!list) return;
    if (list->held.load(std::memory_order_relaxed) != os_thread_id64()) return;
    list->held.store(0, std::memory_order_relaxed);
    os_mutex_unlock(list->lock);
}

void lbuf_iter_init(lbuf_ctx* list, lbuf_iter* it) {
    if (!it) return;
    it->head = list ? &list->head : nullptr;
    it->next = list ? list->head.next : nullptr;
}

void* lbuf_iter_next(lbuf_iter* it) {
    if (!it || !it->head || it->next == it->head) return nullptr;
    list_node* n = it->next;
    it->next = n->next;
    return payload_of(item_of_node(n));
}
