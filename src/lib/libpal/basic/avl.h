// Ordered map on an AVL tree.
//
// Nodes come from a node slab and copied keys and values from a pool (both
// pool resources over the counting allocator), so a tree of short texts
// costs no general allocation per key, and freeing the tree releases every
// copy at once. The tree does not lock: its owner does.
#pragma once

#include <cstdint>
#include <memory_resource>

// Flags of avl_opts.
enum : uint32_t {
    AVL_KEY_STR_COPY = 0x1,     // keys are texts, copied into the pool
    AVL_KEY_STR = 0x2,          // keys are texts the caller keeps alive
    AVL_VAL_STR_COPY = 0x100,   // values are texts, copied into the pool
    AVL_VAL_FREE = 0x200,       // values are freed with pl_free when replaced or deleted
    AVL_VAL_FREE_PROC = 0x400,  // values go to val_free when replaced or deleted
    // Set, get and delete never log, and without an upstream of its own the
    // tree takes its memory from the system allocator, whose failures are
    // silent: for owners that call the tree under a lock the logger takes.
    // Failures show in the results only.
    AVL_NOLOG = 0x10000,
};

// Keys compare as texts (strcmp) with AVL_KEY_STR_COPY or AVL_KEY_STR, else
// as unsigned integers carried in the key pointer, unless a procedure is set.
using avl_cmp_fn = int (*)(const void* a, const void* b);
using avl_free_fn = void (*)(void* value);

struct avl_node {
    const void* key;
    void* value;
    avl_node* left;
    avl_node* right;
    int32_t balance;  // height(right) - height(left): -1, 0 or 1
};

// Creation options; every field may be left zero.
struct avl_opts {
    uint32_t flags;
    avl_cmp_fn cmp;
    uint32_t chunk_items;  // nodes per slab chunk at most (0: the default)
    avl_free_fn val_free;
    // Where the slab and the pool get their chunks: the counting allocator
    // (or, under AVL_NOLOG, the system allocator) when left empty.
    std::pmr::memory_resource* upstream;
};

struct avl_ctx {
    uint32_t flags;
    avl_cmp_fn cmp;
    avl_free_fn val_free;
    std::pmr::memory_resource* hslab;  // nodes
    std::pmr::memory_resource* hpool;  // key and value copies
    avl_node* root;
    uint64_t count;
};

// A new tree, or nothing (each failure logs an assertion). May log: call it
// outside any lock the logger takes.
avl_ctx* avl_new(const avl_opts* opts);
// Releases every node and copy, then the record. Values owned under
// AVL_VAL_FREE or AVL_VAL_FREE_PROC are left to the caller.
void avl_free(avl_ctx* tree);

// 1 a node was added, 0 an existing key's value was replaced, -1 no memory
// (the tree is unchanged; logged as "node != NULL" unless AVL_NOLOG).
int avl_set(avl_ctx* tree, const void* key, const void* value);
void* avl_get(const avl_ctx* tree, const void* key);
avl_node* avl_find_node(const avl_ctx* tree, const void* key);
// 1 deleted, 0 absent.
int avl_del(avl_ctx* tree, const void* key);
uint64_t avl_count(const avl_ctx* tree);

// 1 when every balance is -1, 0 or 1 and equals the height difference, the
// in-order keys strictly increase and the node count matches; else 0.
int avl_check(const avl_ctx* tree);

// In-order walk: direction 0 from the smallest key, 1 from the largest.
// After init and after each next, `node` is the current node (key and value
// beside it), or nothing at the end.
inline constexpr int AVL_ITER_DEPTH = 100;
struct avl_iter {
    const void* key;
    void* value;
    avl_node* node;
    int direction;
    int depth;
    avl_node* stack[AVL_ITER_DEPTH];
};
void avl_iter_init(avl_iter* it, const avl_ctx* tree, int direction);
void avl_iter_next(avl_iter* it);
