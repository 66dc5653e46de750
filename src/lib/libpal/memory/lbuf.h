// Allocation list: separately allocated items of one owner, linked in a
// locked list, so that they can be walked and freed together.
//
// Every item is one block of the counting allocator: a header {next,
// previous, payload size} followed by the payload; callers see only the
// payload. Links and count change under the list's lock; the hooks run
// outside it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "libpal/basic/pl_list.h"

struct os_mutex;

// Called with (payload, user argument).
using lbuf_hook_fn = void (*)(void* payload, void* user);

// The configuration of lbuf_create, five words in this order.
struct lbuf_conf {
    const char* name;         // copied; may be absent
    lbuf_hook_fn init_hook;   // on every new item, or none
    lbuf_hook_fn free_hook;   // before an item is freed, or none
    void* user;               // handed to both hooks
    uint64_t item_size;       // size of slab items; 0: items of any size
};

struct lbuf_ctx {
    list_node head;  // points to itself when empty
    char* name;
    void* user;
    uint64_t item_size;
    lbuf_hook_fn init_hook;
    lbuf_hook_fn free_hook;
    uint64_t count;
    os_mutex* lock;
    // The thread that holds the lock through lbuf_lock (0: none). Only that
    // thread works on the list without taking the lock again.
    std::atomic<uint64_t> held;
};

// An empty list, or nothing.
lbuf_ctx* lbuf_create(const lbuf_conf* conf);
// lbuf_clear, then the list itself.
void lbuf_destroy(lbuf_ctx* list);

// A new item of size bytes (zero-filled with the 0 forms), appended at the
// tail after the init hook ran; nothing when memory runs out.
void* lbuf_malloc(lbuf_ctx* list, uint64_t size);
void* lbuf_malloc0(lbuf_ctx* list, uint64_t size);
// The same with the list's item size, which must not be 0.
void* lbuf_slab_malloc(lbuf_ctx* list);
void* lbuf_slab_malloc0(lbuf_ctx* list);
// No payload: a new item. A payload already holding size bytes: the same
// payload, except that size 0 frees it and gives nothing. Otherwise a new
// item with the old contents, the old one freed; nothing (the old item kept)
// when memory runs out.
void* lbuf_realloc(lbuf_ctx* list, void* payload, uint64_t size);
char* lbuf_strdup(lbuf_ctx* list, const char* text);
// At most n characters, then a terminator.
char* lbuf_strndup(lbuf_ctx* list, const char* text, size_t n);
char* lbuf_asprintf(lbuf_ctx* list, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Runs the free hook, then unlinks and frees the item. Nothing for no
// payload. A payload of another list is not detected.
void lbuf_free(lbuf_ctx* list, void* payload);
// Unlinks and frees the item without the hook and without the lock: only for
// a caller that holds it.
void lbuf_free_nolock(lbuf_ctx* list, void* payload);
// Every item in order: free hook, then freed. The list is empty afterwards.
void lbuf_clear(lbuf_ctx* list);

uint64_t lbuf_count(lbuf_ctx* list);
// 1 when the payload is an item of the list, else 0.
int lbuf_contains(lbuf_ctx* list, const void* payload);

// Holds the list's lock across several calls of this thread, which then
// neither lock nor wait; other threads wait for lbuf_unlock.
void lbuf_lock(lbuf_ctx* list);
void lbuf_unlock(lbuf_ctx* list);

// Walks the items from the oldest, without locking: nothing may be added or
// freed during the walk.
struct lbuf_iter {
    list_node* next;
    list_node* head;
};
void lbuf_iter_init(lbuf_ctx* list, lbuf_iter* it);
void* lbuf_iter_next(lbuf_iter* it);
