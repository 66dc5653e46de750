#include "libpal/basic/avl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/memory/pl_mem.h"

static_assert(sizeof(avl_node) == 40, "nodes are 40-byte slab items");

namespace {

using pool_resource = std::pmr::unsynchronized_pool_resource;

// The counting allocator as the upstream of the slab and the pool.
class counting_resource final : public std::pmr::memory_resource {
    void* do_allocate(size_t bytes, size_t alignment) override {
        void* p = alignment > alignof(std::max_align_t) ? pl_aligned_alloc(bytes, alignment) : pl_malloc(bytes);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void do_deallocate(void* p, size_t, size_t alignment) override {
        if (alignment > alignof(std::max_align_t))
            pl_aligned_free(p);
        else
            pl_free(p);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

// Never destroyed: a tree freed late in the process exit still finds it.
std::pmr::memory_resource* counting_upstream() {
    alignas(counting_resource) static unsigned char storage[sizeof(counting_resource)];
    static counting_resource* r = new (storage) counting_resource();
    return r;
}

bool quiet(const avl_ctx* t) { return (t->flags & AVL_NOLOG) != 0; }

// Pool allocation without exceptions: nothing when memory runs out.
void* take(std::pmr::memory_resource* r, size_t bytes, size_t alignment) noexcept {
    try {
        return r->allocate(bytes, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// A text copy in the pool, with its block size in front: the size given
// back on release does not depend on what the text holds by then.
char* pool_strdup(avl_ctx* t, const void* text) {
    size_t n = strlen(static_cast<const char*>(text)) + 1;
    auto* block = static_cast<char*>(take(t->hpool, sizeof(size_t) + n, alignof(size_t)));
    if (!block) return nullptr;
    size_t bytes = sizeof(size_t) + n;
    memcpy(block, &bytes, sizeof bytes);
    memcpy(block + sizeof(size_t), text, n);
    return block + sizeof(size_t);
}

void pool_strfree(avl_ctx* t, const void* text) {
    if (!text) return;
    char* block = const_cast<char*>(static_cast<const char*>(text)) - sizeof(size_t);
    size_t bytes;
    memcpy(&bytes, block, sizeof bytes);
    t->hpool->deallocate(block, bytes, alignof(size_t));
}

int cmp_text(const void* a, const void* b) {
    int c = strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int cmp_uint(const void* a, const void* b) {
    auto x = reinterpret_cast<uintptr_t>(a);
    auto y = reinterpret_cast<uintptr_t>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// ------------------------------------------------------------- ownership

// Text keys: a missing key is refused, never compared.
bool text_keys(const avl_ctx* t) { return (t->flags & (AVL_KEY_STR_COPY | AVL_KEY_STR)) != 0; }
bool copies_keys(const avl_ctx* t) { return (t->flags & AVL_KEY_STR_COPY) != 0; }
bool copies_values(const avl_ctx* t) { return (t->flags & AVL_VAL_STR_COPY) != 0; }

// The key and value as the tree keeps them: pool copies by the flags.
// False (nothing taken) when a copy failed.
bool take_pair(avl_ctx* t, const void* key, const void* value, const void** k, void** v) {
    *k = key;
    *v = const_cast<void*>(value);
    if (copies_keys(t)) {
        *k = pool_strdup(t, key);
        if (!*k) return false;
    }
    if (copies_values(t) && value) {
        *v = pool_strdup(t, value);
        if (!*v) {
            if (copies_keys(t)) pool_strfree(t, *k);
            return false;
        }
    }
    return true;
}

void release_key(avl_ctx* t, const void* key) {
    if (copies_keys(t)) pool_strfree(t, key);
}

// A value the tree no longer holds. The value it keeps instead (`kept`) is
// never released, even when it is the very same pointer.
void release_value(avl_ctx* t, void* value, const void* kept) {
    if (value == kept) return;
    if (copies_values(t))
        pool_strfree(t, value);
    else if (t->flags & AVL_VAL_FREE)
        pl_free(value);
    else if ((t->flags & AVL_VAL_FREE_PROC) && t->val_free)
        t->val_free(value);
}

// ------------------------------------------------------------- balancing

void rotate_left(avl_node** pp) {
    avl_node* p = *pp;
    avl_node* r = p->right;
    p->right = r->left;
    r->left = p;
    p->balance = p->balance - 1 - std::max(r->balance, 0);
    r->balance = r->balance - 1 + std::min(p->balance, 0);
    *pp = r;
}

void rotate_right(avl_node** pp) {
    avl_node* p = *pp;
    avl_node* l = p->left;
    p->left = l->right;
    l->right = p;
    p->balance = p->balance + 1 - std::min(l->balance, 0);
    l->balance = l->balance + 1 + std::max(p->balance, 0);
    *pp = l;
}

// A subtree whose balance reached 2 or -2: single or double rotation.
void rebalance(avl_node** pp) {
    avl_node* p = *pp;
    if (p->balance > 1) {
        if (p->right->balance < 0) rotate_right(&p->right);
        rotate_left(pp);
    } else if (p->balance < -1) {
        if (p->left->balance > 0) rotate_left(&p->left);
        rotate_right(pp);
    }
}

// One side of *pp lost a level (delta +1: the left side, -1: the right
// side). True when the subtree as a whole got lower.
bool after_shrink(avl_node** pp, int delta) {
    avl_node* p = *pp;
    p->balance += delta;
    if (p->balance == 1 || p->balance == -1) return false;
    if (p->balance == 0) return true;
    rebalance(pp);
    return (*pp)->balance == 0;
}

// ------------------------------------------------------------- insertion

avl_node* make_node(avl_ctx* t, const void* key, const void* value) {
    auto* node = static_cast<avl_node*>(take(t->hslab, sizeof(avl_node), alignof(avl_node)));
    if (!node) {
        if (!quiet(t)) (void)PL_CHECK("pal", node != NULL);
        return nullptr;
    }
    const void* k;
    void* v;
    if (!take_pair(t, key, value, &k, &v)) {
        t->hslab->deallocate(node, sizeof(avl_node), alignof(avl_node));
        return nullptr;
    }
    *node = {k, v, nullptr, nullptr, 0};
    return node;
}

int replace(avl_ctx* t, avl_node* p, const void* key, const void* value) {
    const void* k;
    void* v;
    if (!take_pair(t, key, value, &k, &v)) return -1;
    const void* old_key = p->key;
    void* old_value = p->value;
    p->key = k;
    p->value = v;
    release_key(t, old_key);
    release_value(t, old_value, v);
    return 0;
}

// 1 added, 0 replaced, -1 no memory. *grew tells whether *pp got higher.
int insert(avl_ctx* t, avl_node** pp, const void* key, const void* value, bool* grew) {
    avl_node* p = *pp;
    if (!p) {
        avl_node* node = make_node(t, key, value);
        *grew = node != nullptr;
        if (!node) return -1;
        *pp = node;
        t->count++;
        return 1;
    }
    int c = t->cmp(key, p->key);
    if (c == 0) {
        *grew = false;
        return replace(t, p, key, value);
    }
    int rc = insert(t, c < 0 ? &p->left : &p->right, key, value, grew);
    if (*grew) {
        p->balance += c < 0 ? -1 : 1;
        if (p->balance == 0) {
            *grew = false;
        } else if (p->balance > 1 || p->balance < -1) {
            rebalance(pp);
            *grew = false;
        }
    }
    return rc;
}

// -------------------------------------------------------------- deletion

// Unlinks the largest (or smallest) node of *pp into *out.
void take_max(avl_node** pp, avl_node** out, bool* shrank) {
    avl_node* p = *pp;
    if (p->right) {
        take_max(&p->right, out, shrank);
        if (*shrank) *shrank = after_shrink(pp, -1);
        return;
    }
    *out = p;
    *pp = p->left;
    *shrank = true;
}

void take_min(avl_node** pp, avl_node** out, bool* shrank) {
    avl_node* p = *pp;
    if (p->left) {
        take_min(&p->left, out, shrank);
        if (*shrank) *shrank = after_shrink(pp, 1);
        return;
    }
    *out = p;
    *pp = p->right;
    *shrank = true;
}

// 1 deleted, 0 absent. *shrank tells whether *pp got lower.
int remove(avl_ctx* t, avl_node** pp, const void* key, bool* shrank) {
    avl_node* p = *pp;
    if (!p) {
        *shrank = false;
        return 0;
    }
    int c = t->cmp(key, p->key);
    if (c != 0) {
        int rc = remove(t, c < 0 ? &p->left : &p->right, key, shrank);
        if (*shrank) *shrank = after_shrink(pp, c < 0 ? 1 : -1);
        return rc;
    }

    release_key(t, p->key);
    release_value(t, p->value, nullptr);
    if (!p->left || !p->right) {
        *pp = p->left ? p->left : p->right;
        *shrank = true;
    } else {
        // The heavier side gives the node that takes p's place.
        avl_node* r = nullptr;
        bool lower = false;
        bool from_left = p->balance <= 0;
        if (from_left)
            take_max(&p->left, &r, &lower);
        else
            take_min(&p->right, &r, &lower);
        r->left = p->left;
        r->right = p->right;
        r->balance = p->balance;
        *pp = r;
        *shrank = lower && after_shrink(pp, from_left ? 1 : -1);
    }
    t->hslab->deallocate(p, sizeof(avl_node), alignof(avl_node));
    t->count--;
    return 1;
}

// ---------------------------------------------------------------- checks

// Height of a subtree whose balances are all right, or -1.
int checked_height(const avl_node* n) {
    if (!n) return 0;
    int l = checked_height(n->left);
    int r = checked_height(n->right);
    if (l < 0 || r < 0 || n->balance < -1 || n->balance > 1 || n->balance != r - l) return -1;
    return std::max(l, r) + 1;
}

// Pushes n and its left (direction 0) or right (1) descendants.
void iter_descend(avl_iter* it, avl_node* n) {
    while (n) {
        if (it->depth == AVL_ITER_DEPTH) {
            it->depth = 0;  // deeper than any valid tree: end the walk
            return;
        }
        it->stack[it->depth++] = n;
        n = it->direction ? n->right : n->left;
    }
}

void iter_advance(avl_iter* it) {
    if (it->depth == 0) {
        it->node = nullptr;
        it->key = nullptr;
        it->value = nullptr;
        return;
    }
    avl_node* n = it->stack[--it->depth];
    it->node = n;
    it->key = n->key;
    it->value = n->value;
    iter_descend(it, it->direction ? n->left : n->right);
}

void destroy_resource(std::pmr::memory_resource* r) {
    if (!r) return;
    r->~memory_resource();
    pl_free(r);
}

// A pool resource in a block of the counting allocator, or nothing.
pool_resource* new_pool(const std::pmr::pool_options& opts, std::pmr::memory_resource* upstream) {
    void* mem = pl_malloc(sizeof(pool_resource));
    return mem ? new (mem) pool_resource(opts, upstream) : nullptr;
}

}  // namespace

avl_ctx* avl_new(const avl_opts* opts) {
    avl_opts o = opts ? *opts : avl_opts{};
    auto* avl = static_cast<avl_ctx*>(pl_zalloc(sizeof(avl_ctx)));
    if (!PL_CHECK("pal", avl != NULL)) return nullptr;
    avl->flags = o.flags;
    avl->cmp = o.cmp ? o.cmp : (o.flags & (AVL_KEY_STR_COPY | AVL_KEY_STR)) ? cmp_text : cmp_uint;
    avl->val_free = o.val_free;

    std::pmr::memory_resource* upstream = o.upstream;
    if (!upstream)
        upstream = (o.flags & AVL_NOLOG) ? std::pmr::new_delete_resource() : counting_upstream();
    std::pmr::pool_options slab_opts{};
    slab_opts.max_blocks_per_chunk = o.chunk_items;
    slab_opts.largest_required_pool_block = sizeof(avl_node);
    avl->hslab = new_pool(slab_opts, upstream);
    if (!PL_CHECK("pal", avl->hslab != NULL)) {
        pl_free(avl);
        return nullptr;
    }
    avl->hpool = new_pool(std::pmr::pool_options{}, upstream);
    if (!PL_CHECK("pal", avl->hpool != NULL)) {
        destroy_resource(avl->hslab);
        pl_free(avl);
        return nullptr;
    }
    return avl;
}

void avl_free(avl_ctx* tree) {
    if (!tree) return;
    // The resources give all their chunks back at once, nodes and copies alike.
    destroy_resource(tree->hslab);
    destroy_resource(tree->hpool);
    pl_free(tree);
}

int avl_set(avl_ctx* tree, const void* key, const void* value) {
    if (!tree) return -1;
    if (!key && text_keys(tree)) return -1;
    bool grew = false;
    return insert(tree, &tree->root, key, value, &grew);
}

avl_node* avl_find_node(const avl_ctx* tree, const void* key) {
    if (!tree) return nullptr;
    if (!key && text_keys(tree)) return nullptr;
    avl_node* n = tree->root;
    while (n) {
        int c = tree->cmp(key, n->key);
        if (c == 0) return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

void* avl_get(const avl_ctx* tree, const void* key) {
    avl_node* n = avl_find_node(tree, key);
    return n ? n->value : nullptr;
}

int avl_del(avl_ctx* tree, const void* key) {
    if (!tree) return 0;
    if (!key && text_keys(tree)) return 0;
    bool shrank = false;
    return remove(tree, &tree->root, key, &shrank);
}

uint64_t avl_count(const avl_ctx* tree) { return tree ? tree->count : 0; }

int avl_check(const avl_ctx* tree) {
    if (!tree) return 0;
    if (checked_height(tree->root) < 0) return 0;
    avl_iter it;
    uint64_t n = 0;
    const void* prev = nullptr;
    for (avl_iter_init(&it, tree, 0); it.node; avl_iter_next(&it)) {
        if (n > 0 && tree->cmp(prev, it.key) >= 0) return 0;
        prev = it.key;
        n++;
    }
    return n == tree->count ? 1 : 0;
}

void avl_iter_init(avl_iter* it, const avl_ctx* tree, int direction) {
    if (!it) return;
    it->direction = direction ? 1 : 0;
    it->depth = 0;
    iter_descend(it, tree ? tree->root : nullptr);
    iter_advance(it);
}

void avl_iter_next(avl_iter* it) {
    if (it && it->node) iter_advance(it);
}
