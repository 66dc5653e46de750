#include "libpal/memory/mem_alloc_mgr.h"

#include <cstring>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/lbuf.h"
#include "libpal/memory/pl_mem.h"

namespace {

void* slab_alloc(lbuf_ctx* list, uint64_t) { return lbuf_slab_malloc(list); }

mem_mgr* mgr_new(int32_t type, uint64_t item_size, void* (*alloc)(lbuf_ctx*, uint64_t)) {
    if (!PL_CHECK_TEXT("pal", type == 0, "0")) return nullptr;
    auto* m = static_cast<mem_mgr*>(pl_zalloc(sizeof(mem_mgr)));
    if (!m) return nullptr;
    lbuf_conf conf{};
    conf.item_size = item_size;
    m->list = lbuf_create(&conf);
    if (!m->list) {
        pl_free(m);
        return nullptr;
    }
    m->type = 0;
    m->alloc = alloc;
    m->free = lbuf_free;
    m->clear = lbuf_clear;
    m->destroy = lbuf_destroy;
    return m;
}

void mgr_exit(mem_mgr* m) {
    if (!m) return;
    if (m->destroy) m->destroy(m->list);
    pl_free(m);
}

}  // namespace

mem_mgr* mem_slab_mgr_init(int32_t type, uint64_t, uint64_t item_size) { return mgr_new(type, item_size, slab_alloc); }

mem_mgr* mem_pool_mgr_init(int32_t type, uint64_t) { return mgr_new(type, 0, lbuf_malloc); }

void* mem_slab_mgr_alloc(mem_mgr* m) { return m && m->alloc ? m->alloc(m->list, 0) : nullptr; }

void mem_slab_mgr_free(mem_mgr* m, void* payload) {
    if (m && m->free) m->free(m->list, payload);
}

void mem_slab_mgr_clear(mem_mgr* m) {
    if (m && m->clear) m->clear(m->list);
}

void mem_slab_mgr_exit(mem_mgr* m) { mgr_exit(m); }

void* mem_pool_mgr_alloc(mem_mgr* m, uint64_t size) { return m && m->alloc ? m->alloc(m->list, size) : nullptr; }

void mem_pool_mgr_free(mem_mgr* m, void* payload) {
    if (m && m->free) m->free(m->list, payload);
}

char* mem_pool_mgr_strdup(mem_mgr* m, const char* text) {
    if (!text) return nullptr;
    size_t n = strlen(text) + 1;
    auto* s = static_cast<char*>(mem_pool_mgr_alloc(m, n));
    if (s) memcpy(s, text, n);
    return s;
}

void mem_pool_mgr_clear(mem_mgr* m) {
    if (m && m->clear) m->clear(m->list);
}

void mem_pool_mgr_exit(mem_mgr* m) { mgr_exit(m); }
