// Memory managers: four operations over an allocation list, in a slab form
// (items of one fixed size) and a pool form (items of any size).
#pragma once

#include <cstdint>

struct lbuf_ctx;

struct mem_mgr {
    uint32_t type;  // only 0 exists
    lbuf_ctx* list;
    void* (*alloc)(lbuf_ctx* list, uint64_t size);  // the slab form ignores the size
    void (*free)(lbuf_ctx* list, void* payload);
    void (*clear)(lbuf_ctx* list);
    void (*destroy)(lbuf_ctx* list);
};

// A manager, or nothing: type must be 0; the options word is not used.
mem_mgr* mem_slab_mgr_init(int32_t type, uint64_t options, uint64_t item_size);
mem_mgr* mem_pool_mgr_init(int32_t type, uint64_t options);

void* mem_slab_mgr_alloc(mem_mgr* m);
void mem_slab_mgr_free(mem_mgr* m, void* payload);
void mem_slab_mgr_clear(mem_mgr* m);
// Destroys the list, then the manager.
void mem_slab_mgr_exit(mem_mgr* m);

void* mem_pool_mgr_alloc(mem_mgr* m, uint64_t size);
void mem_pool_mgr_free(mem_mgr* m, void* payload);
// A copy of the text (strlen + 1 bytes) from the pool.
char* mem_pool_mgr_strdup(mem_mgr* m, const char* text);
void mem_pool_mgr_clear(mem_mgr* m);
void mem_pool_mgr_exit(mem_mgr* m);
