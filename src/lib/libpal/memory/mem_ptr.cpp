#include "libpal/memory/mem_ptr.h"

#include "libpal/basic/pl_assert.h"

namespace {

constexpr uint64_t k_first_slots = 16;

uintptr_t key(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

int mem_ptr_init(mem_ptr_ctx* a) {
    if (!a) return -1;
    return vec_init<vec_ptr>(a, k_first_slots);
}

int mem_ptr_exit(mem_ptr_ctx* a) {
    if (a) vec_exit<vec_ptr>(a);
    return 0;
}

void mem_ptr_reset(mem_ptr_ctx* a) {
    mem_ptr_exit(a);
    mem_ptr_init(a);
}

int mem_ptr_add(mem_ptr_ctx* a, const void* p) {
    if (!PL_CHECK_TEXT("pal", a != nullptr, "ctx!=NULL")) return -1;
    if ((a->flags & MEM_PTR_UNIQUE) && vec_ptr_find(a, key(p)) >= 0) return 0;
    return vec_ptr_push(a, key(p));
}

int64_t mem_ptr_del(mem_ptr_ctx* a, const void* p) { return a ? vec_ptr_remove(a, key(p)) : -1; }

int mem_ptr_erase(mem_ptr_ctx* a, uint64_t index) {
    if (!a || index >= a->count) return -1;
    return vec_ptr_erase(a, index);
}

void mem_ptr_drop_head(mem_ptr_ctx* a, uint64_t n) {
    if (a && n) vec_ptr_erase_range(a, 0, n);
}

int mem_ptr_clear(mem_ptr_ctx* a) {
    vec_ptr_clear(a);
    return 0;
}

uint64_t mem_ptr_find(const mem_ptr_ctx* a, const void* p) {
    int64_t i = a ? vec_ptr_find(a, key(p)) : -1;
    return i < 0 ? ~uint64_t{0} : static_cast<uint64_t>(i);
}

int mem_ptr_reserve(mem_ptr_ctx* a, uint64_t n) {
    if (!a || a->capacity >= n) return -1;
    // The block keeps one zeroed element past the capacity, as every typed
    // array does.
    size_t bytes = pl_vec_detail::block_bytes<uintptr_t>(n + 1);
    if (bytes == 0) return -1;
    auto* items = static_cast<uintptr_t*>(pl_realloc(a->items, bytes));
    if (!items) return -1;
    uint64_t old_total = a->items ? a->capacity + 1 : 0;
    pl_vec_detail::zero(items + old_total, n + 1 - old_total);
    a->items = items;
    a->capacity = n;
    return 0;
}
